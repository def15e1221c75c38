// Stand-in for the conversion set until the codec manager's streams are wired in: no target
// format is convertible yet, so compressed recordings are refused cleanly (17 without a target
// format, 5 with one) and nothing is allocated.
#include <cstdlib>

#include "formats/conversion.h"

namespace voxl {

void SetUpConversion(Recorder& r, uint16_t* error) {
  ReportError(r, error, r.chosenFormat == nullptr ? ErrNoTargetFormat : ErrFormatUnusable);
}

// No conversion set is ever built here, so there are no streams to open or close.
void OpenConversionStreams(Recorder&) {}
void CloseConversionStreams(Recorder&) {}

void ReleaseConversion(Recorder& r) {
  std::free(r.fileFormat);
  r.fileFormat = nullptr;
  r.fileFormatSize = 0;
  r.compressed = 0;
}

}  // namespace voxl
