// The versions of the codec libraries the codec manager's drivers are built on: libmp3lame's as
// it reports itself (once loaded: asking loads it), libmpg123's interface and libgsm's release as
// their headers give them.
#include <string>

#include "platform/acm/acm_driver.h"
#include "platform/acm/codec_library.h"

namespace voxl::acm {

const char* CodecLibraryVersions() {
  static const std::string text =
      std::string("libmp3lame ") +
      (Lame() != nullptr ? Lame()->get_lame_short_version() : "(not available)") +
      ", libmpg123 (interface " + std::to_string(MPG123_API_VERSION) + "), libgsm " +
      std::to_string(GSM_MAJOR) + "." + std::to_string(GSM_MINOR) + "." +
      std::to_string(GSM_PATCHLEVEL);
  return text.c_str();
}

}  // namespace voxl::acm
