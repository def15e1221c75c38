// The codec manager: conversion streams between PCM and the compressed formats, format
// suggestion, details and choice (the acm* services).
//
// The format services a host may call (acmMetrics, acmFormatTagDetailsA, acmFormatDetailsA,
// acmFormatChooseA) and their records are published in voxl310k_platform.h; the streams are the
// library's own business and are declared here.  The codecs behind them are listed in
// acm_driver.h.
#pragma once

#include "platform/wave/wave.h"

#if defined(_WIN32)
// The original platform's own codec manager (msacm.h and mmreg.h, through the public header).
#else  // Linux: the library's own platform layer

#ifdef __cplusplus
extern "C" {
#endif

typedef struct HACMSTREAM__* HACMSTREAM;
typedef HACMSTREAM* LPHACMSTREAM;
typedef struct wavefilter_tag WAVEFILTER;
typedef WAVEFILTER* LPWAVEFILTER;

#define ACM_STREAMOPENF_QUERY 0x00000001u
#define ACM_STREAMOPENF_ASYNC 0x00000002u
#define ACM_STREAMOPENF_NONREALTIME 0x00000004u
#define ACM_STREAMSIZEF_SOURCE 0x00000000u
#define ACM_STREAMSIZEF_DESTINATION 0x00000001u
#define ACM_STREAMCONVERTF_BLOCKALIGN 0x00000004u
#define ACM_STREAMCONVERTF_START 0x00000010u
#define ACM_STREAMCONVERTF_END 0x00000020u
#define ACMSTREAMHEADER_STATUSF_DONE 0x00010000u
#define ACMSTREAMHEADER_STATUSF_PREPARED 0x00020000u
#define ACMSTREAMHEADER_STATUSF_INQUEUE 0x00100000u

#define ACM_FORMATSUGGESTF_WFORMATTAG 0x00010000u
#define ACM_FORMATSUGGESTF_NCHANNELS 0x00020000u
#define ACM_FORMATSUGGESTF_NSAMPLESPERSEC 0x00040000u
#define ACM_FORMATSUGGESTF_WBITSPERSAMPLE 0x00080000u

#pragma pack(push, 1)
// MPEG Layer-3 format record: WAVEFORMATEX with 12 extra bytes (cbSize 12), 30 bytes.
typedef struct mpeglayer3waveformat_tag {
  WAVEFORMATEX wfx;
  WORD wID;
  DWORD fdwFlags;
  WORD nBlockSize;
  WORD nFramesPerBlock;
  WORD nCodecDelay;
} MPEGLAYER3WAVEFORMAT;
#pragma pack(pop)
#define MPEGLAYER3_WFX_EXTRA_BYTES 12
#define MPEGLAYER3_ID_MPEG 1
#define MPEGLAYER3_FLAG_PADDING_ISO 0x00000000u
#define MPEGLAYER3_FLAG_PADDING_ON 0x00000001u
#define MPEGLAYER3_FLAG_PADDING_OFF 0x00000002u

typedef struct tACMSTREAMHEADER {
  DWORD cbStruct;
  DWORD fdwStatus;
  DWORD_PTR dwUser;
  BYTE* pbSrc;
  DWORD cbSrcLength;
  DWORD cbSrcLengthUsed;
  DWORD_PTR dwSrcUser;
  BYTE* pbDst;
  DWORD cbDstLength;
  DWORD cbDstLengthUsed;
  DWORD_PTR dwDstUser;
  DWORD dwReservedDriver[10];
} ACMSTREAMHEADER, *LPACMSTREAMHEADER;

// Suggests a destination format for `source` into `dest` (destBytes): with
// ACM_FORMATSUGGESTF_WFORMATTAG only one of dest->wFormatTag.
MMRESULT WINAPI acmFormatSuggest(HACMDRIVER had, LPWAVEFORMATEX source, LPWAVEFORMATEX dest,
                                 DWORD destBytes, DWORD flags);
// Opens a synchronous conversion from `source` to `dest` (no driver, filter or callback is
// supported); with ACM_STREAMOPENF_QUERY only says whether it could, and `stream` may be null.
// ACMERR_NOTPOSSIBLE when no codec converts the pair.
MMRESULT WINAPI acmStreamOpen(LPHACMSTREAM stream, HACMDRIVER had, LPWAVEFORMATEX source,
                              LPWAVEFORMATEX dest, LPWAVEFILTER filter, DWORD_PTR callback,
                              DWORD_PTR instance, DWORD flags);
// SOURCE: the largest output for `input` source bytes; DESTINATION: the source bytes needed
// for `input` bytes of output.
MMRESULT WINAPI acmStreamSize(HACMSTREAM stream, DWORD input, LPDWORD output, DWORD flags);
MMRESULT WINAPI acmStreamPrepareHeader(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags);
MMRESULT WINAPI acmStreamUnprepareHeader(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags);
// Converts the source bytes of a prepared header into its destination buffer (flags
// ACM_STREAMCONVERTF_*), setting cbSrcLengthUsed and cbDstLengthUsed.
MMRESULT WINAPI acmStreamConvert(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags);
MMRESULT WINAPI acmStreamClose(HACMSTREAM stream, DWORD flags);

#ifdef __cplusplus
}  // extern "C"
#endif

#endif  // Linux

#ifdef __cplusplus
#include <cstddef>

// The decoded frames that come before the first recorded frame of a Layer-3 record's stream,
// as its nCodecDelay states them: the encoder's look-ahead and the decoder's filter bank.  1393
// is the value writers store whatever encoder made the frames (a constant of the first codec of
// the format), so it says nothing about these frames and counts as 0, as does a record too
// short to hold the field.  The recorder's own recordings state their real delay; their length
// is then the frames recorded, and decoding skips the delay.
constexpr WORD kMpegLayer3ConventionalDelay = 1393;
// The delay of a Layer III decoder's filter bank, in samples per channel.
constexpr WORD kMpegLayer3DecoderDelay = 529;
inline WORD MpegLayer3StatedDelay(const WAVEFORMATEX* f, size_t bytes) {
  if (f == nullptr || f->wFormatTag != WAVE_FORMAT_MPEGLAYER3 ||
      f->cbSize < MPEGLAYER3_WFX_EXTRA_BYTES || bytes < sizeof(MPEGLAYER3WAVEFORMAT)) {
    return 0;
  }
  const WORD delay = reinterpret_cast<const MPEGLAYER3WAVEFORMAT*>(f)->nCodecDelay;
  return delay == kMpegLayer3ConventionalDelay ? 0 : delay;
}
#endif
