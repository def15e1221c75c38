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

// The accessor `name` of `Table`: loaded once, at the first call.
#define VOXL_CODEC_ACCESSOR(Table, name, soname, purpose, FUNCTIONS)                       \
  const Table* name() {                                                                    \
    static const Table* const table = Load<Table>(soname, purpose, [](void* h, Table& t) { \
      bool complete = true;                                                                \
      FUNCTIONS(VOXL_CODEC_LOOK_UP)                                                        \
      return complete;                                                                     \
    });                                                                                    \
    return table;                                                                          \
  }

VOXL_CODEC_ACCESSOR(LameLibrary, Lame, VOXL_MP3LAME_SONAME, "MPEG Layer-3 encoding",
                    VOXL_LAME_FUNCTIONS)
VOXL_CODEC_ACCESSOR(Mpg123Library, Mpg123, VOXL_MPG123_SONAME, "MPEG Layer-3 decoding",
                    VOXL_MPG123_FUNCTIONS)
VOXL_CODEC_ACCESSOR(GsmLibrary, Gsm, VOXL_GSM_SONAME, "GSM 6.10", VOXL_GSM_FUNCTIONS)

}  // namespace voxl::acm
