// Stand-in for the codec manager's stream conversion until the codec manager (its front end and
// codec drivers) replaces this file.  No stream can be opened yet, so every conversion answers
// MMSYSERR_NOTSUPPORTED and touches neither buffer; the header's used counts are cleared, so a
// caller that looks at them sees that nothing was converted.
#include "platform/acm/acm.h"

extern "C" MMRESULT acmStreamConvert(HACMSTREAM, LPACMSTREAMHEADER header, DWORD) {
  if (header != nullptr) {
    header->cbSrcLengthUsed = 0;
    header->cbDstLengthUsed = 0;
  }
  return MMSYSERR_NOTSUPPORTED;
}
