#include "api/strings_util.h"

#include <memory>

namespace voxl {

void ReplaceString(BSTR* out, BSTR text) {
  if (*out != nullptr) SysFreeString(*out);
  *out = text;
}

}  // namespace voxl
