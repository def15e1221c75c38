// Loading the codec libraries at their first use (codec_library.h).
#include "platform/acm/codec_library.h"

#include <dlfcn.h>

#include <cstdio>

namespace voxl::acm {
namespace {

// The library's table, or null with the reason on the standard error.  `fill` looks up every
// function and says whether all were there.
template <typename Table, typename Fill>
const Table* Load(const char* soname, const char* purpose, Fill fill) {
  void* handle = dlopen(soname, RTLD_NOW | RTLD_LOCAL);
  if (handle == nullptr) {
    const char* error = dlerror();
    std::fprintf(stderr, "voxl310k: %s is not available: %s\n", purpose,
                 error != nullptr ? error : soname);
    return nullptr;
  }
  auto* table = new Table;
  if (!fill(handle, *table)) {
    std::fprintf(stderr, "voxl310k: %s is not available: %s lacks a function it needs\n", purpose,
                 soname);
    delete table;
    dlclose(handle);
    return nullptr;
  }
  return table;
}

#define VOXL_CODEC_LOOK_UP(name)                                 \
  t.name = reinterpret_cast<decltype(&::name)>(dlsym(h, #name)); \
  complete = complete && t.name != nullptr;

}  // namespace

const LameLibrary* Lame() {
  static const LameLibrary* const table =
      Load<LameLibrary>(VOXL_MP3LAME_SONAME, "MPEG Layer-3 encoding", [](void* h, LameLibrary& t) {
        bool complete = true;
        VOXL_LAME_FUNCTIONS(VOXL_CODEC_LOOK_UP)
        return complete;
      });
  return table;
}

const Mpg123Library* Mpg123() {
  static const Mpg123Library* const table = Load<Mpg123Library>(
      VOXL_MPG123_SONAME, "MPEG Layer-3 decoding", [](void* h, Mpg123Library& t) {
        bool complete = true;
        VOXL_MPG123_FUNCTIONS(VOXL_CODEC_LOOK_UP)
        return complete;
      });
  return table;
}

const GsmLibrary* Gsm() {
  static const GsmLibrary* const table =
      Load<GsmLibrary>(VOXL_GSM_SONAME, "GSM 6.10", [](void* h, GsmLibrary& t) {
        bool complete = true;
        VOXL_GSM_FUNCTIONS(VOXL_CODEC_LOOK_UP)
        return complete;
      });
  return table;
}

}  // namespace voxl::acm
