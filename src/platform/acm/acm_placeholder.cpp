// Stand-in for the codec manager's stream conversion until the codec manager (its front end and
// codec drivers) replaces this file.  No stream can be opened yet, so every conversion answers
// MMSYSERR_NOTSUPPORTED and touches neither the header nor its buffers.
#include "platform/acm/acm.h"

extern "C" MMRESULT acmStreamConvert(HACMSTREAM, LPACMSTREAMHEADER, DWORD) {
  return MMSYSERR_NOTSUPPORTED;
}
