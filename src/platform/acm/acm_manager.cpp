// The codec manager's front end: the acm* services on top of the driver table (acm_driver.h).
//
// Every format record is checked here, once, before a driver sees it (CheckFormat): the 18 bytes
// of WAVEFORMATEX, the cbSize extra bytes only for a non-PCM tag, never more than the caller
// said it holds; zero channels, rate, block size or byte rate are refused, and so is anything
// the driver of the tag does not accept.  Drivers therefore only ever see well-formed records.
//
// A stream handle is a heap record that stays in a registry of live streams while it is open, so
// a closed or made-up handle is answered MMSYSERR_INVALHANDLE instead of being followed.  The
// headers prepared on a stream are kept in its record with the buffers and lengths they were
// prepared with; a conversion may use shorter lengths, never longer ones or other buffers.
// Streams are opened and used on the host thread and on the engine thread, so the registry and
// the counters are locked or atomic; one stream is used by one thread at a time.
//
// Only synchronous streams without driver, filter or callback exist; driver handles are
// refused with MMSYSERR_INVALHANDLE.
#include <algorithm>
#include <array>
#include <atomic>
#include <cstring>
#include <mutex>
#include <new>
#include <unordered_set>
#include <vector>

#include "platform/acm/acm_driver.h"

namespace voxl::acm {
namespace {

constexpr uint32_t kStreamMagic = 0x41434D53;  // "ACMS"
constexpr DWORD kFormatBytes = sizeof(WAVEFORMATEX);

struct PreparedHeader {
  const ACMSTREAMHEADER* header;
  BYTE* src;
  DWORD srcLength;
  BYTE* dst;
  DWORD dstLength;
};

struct StreamRecord {
  uint32_t magic = kStreamMagic;
  std::unique_ptr<CodecStream> codec;
  std::vector<PreparedHeader> prepared;
};

std::mutex gStreamsMutex;
std::unordered_set<StreamRecord*> gStreams;
std::atomic<int> gOpenStreams{0};
std::atomic<int> gPreparedHeaders{0};

// Fault injection: per kind, the number of calls still to pass before one fails (-1: none).
std::mutex gFaultMutex;
std::array<int, 6> gFaultCountdown = {-1, -1, -1, -1, -1, -1};

bool InjectedFault(Call kind) {
  std::lock_guard lock(gFaultMutex);
  int& left = gFaultCountdown[static_cast<size_t>(kind)];
  if (left < 0) return false;
  if (left-- > 0) return false;
  return true;  // left is now -1: the fault fires once
}

StreamRecord* FindStream(HACMSTREAM handle) {
  auto* record = reinterpret_cast<StreamRecord*>(handle);
  std::lock_guard lock(gStreamsMutex);
  if (record == nullptr || !gStreams.contains(record) || record->magic != kStreamMagic) {
    return nullptr;
  }
  return record;
}

// The checked record `format` (`size` readable bytes, or 0 when the caller gave no size: then
// 18 bytes and a non-PCM tag's extra bytes are taken as given).  On success `driver` is the
// driver of its tag.
MMRESULT CheckFormat(const WAVEFORMATEX* format, DWORD size, const CodecDriver** driver) {
  if (format == nullptr) return MMSYSERR_INVALPARAM;
  if (size == 0) {
    size = kFormatBytes;
    if (format->wFormatTag != WAVE_FORMAT_PCM) size += format->cbSize;
  }
  if (size < kFormatBytes) return MMSYSERR_INVALPARAM;
  if (format->wFormatTag != WAVE_FORMAT_PCM && kFormatBytes + format->cbSize > size) {
    return MMSYSERR_INVALPARAM;
  }
  if (format->nChannels == 0 || format->nSamplesPerSec == 0 || format->nBlockAlign == 0 ||
      format->nAvgBytesPerSec == 0) {
    return ACMERR_NOTPOSSIBLE;
  }
  const CodecDriver* d = DriverForTag(format->wFormatTag);
  if (d == nullptr || !d->Accepts(format, size)) return ACMERR_NOTPOSSIBLE;
  *driver = d;
  return MMSYSERR_NOERROR;
}

// Bytes of a checked record: 18 for PCM, else 18 + cbSize.
DWORD RecordBytes(const WAVEFORMATEX* format) {
  return format->wFormatTag == WAVE_FORMAT_PCM ? kFormatBytes : kFormatBytes + format->cbSize;
}

void CopyText(char* dst, size_t capacity, const char* src) {
  if (capacity == 0) return;
  const size_t n = std::min(std::strlen(src), capacity - 1);
  std::memcpy(dst, src, n);
  dst[n] = '\0';
}

// The conversion from `source` to `dest`: decode by the source's driver, encode by the
// destination's, PCM to PCM by the PCM converter.  One side must be PCM.
MMRESULT OpenCodec(const WAVEFORMATEX* source, const WAVEFORMATEX* dest,
                   std::unique_ptr<CodecStream>* codec) {
  const CodecDriver* sourceDriver = nullptr;
  const CodecDriver* destDriver = nullptr;
  if (MMRESULT r = CheckFormat(source, 0, &sourceDriver); r != MMSYSERR_NOERROR) return r;
  if (MMRESULT r = CheckFormat(dest, 0, &destDriver); r != MMSYSERR_NOERROR) return r;
  const bool pcmSource = source->wFormatTag == WAVE_FORMAT_PCM;
  const bool pcmDest = dest->wFormatTag == WAVE_FORMAT_PCM;
  if (!pcmSource && !pcmDest) return ACMERR_NOTPOSSIBLE;
  const CodecDriver* driver = !pcmSource ? sourceDriver : destDriver;
  try {
    *codec = driver->Open(source, dest);
  } catch (const std::bad_alloc&) {
    return MMSYSERR_NOMEM;
  }
  return *codec ? MMSYSERR_NOERROR : ACMERR_NOTPOSSIBLE;
}

}  // namespace

void FailCallForTesting(Call kind, int callsBefore) {
  std::lock_guard lock(gFaultMutex);
  gFaultCountdown[static_cast<size_t>(kind)] = std::max(callsBefore, 0);
}

void LiftFaultsForTesting() {
  std::lock_guard lock(gFaultMutex);
  gFaultCountdown.fill(-1);
}

int OpenStreamsForTesting() {
  return gOpenStreams.load();
}
int PreparedHeadersForTesting() {
  return gPreparedHeaders.load();
}

}  // namespace voxl::acm

using namespace voxl::acm;

extern "C" {

MMRESULT WINAPI acmFormatSuggest(HACMDRIVER had, LPWAVEFORMATEX source, LPWAVEFORMATEX dest,
                                 DWORD destBytes, DWORD flags) {
  constexpr DWORD kKnown = ACM_FORMATSUGGESTF_WFORMATTAG | ACM_FORMATSUGGESTF_NCHANNELS |
                           ACM_FORMATSUGGESTF_NSAMPLESPERSEC | ACM_FORMATSUGGESTF_WBITSPERSAMPLE;
  if (InjectedFault(Call::FormatSuggest)) return MMSYSERR_NOMEM;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if ((flags & ~kKnown) != 0) return MMSYSERR_INVALFLAG;
  if (dest == nullptr || destBytes < kFormatBytes) return MMSYSERR_INVALPARAM;
  const CodecDriver* driver = nullptr;
  if (MMRESULT r = CheckFormat(source, 0, &driver); r != MMSYSERR_NOERROR) return r;

  // Without a tag restriction a compressed source decodes to PCM and PCM stays PCM.
  const WORD tag =
      (flags & ACM_FORMATSUGGESTF_WFORMATTAG) != 0 ? dest->wFormatTag : WAVE_FORMAT_PCM;
  std::vector<BYTE> answer(std::max<DWORD>(destBytes, kFormatBytes));
  auto* out = reinterpret_cast<WAVEFORMATEX*>(answer.data());
  if (tag == WAVE_FORMAT_PCM) {
    driver->PcmCounterpart(source, out);
    out->cbSize = 0;
  } else {
    const CodecDriver* encoder = DriverForTag(tag);
    if (source->wFormatTag != WAVE_FORMAT_PCM || encoder == nullptr ||
        !encoder->SuggestFromPcm(source, out, destBytes) || RecordBytes(out) > destBytes) {
      return ACMERR_NOTPOSSIBLE;
    }
  }
  if (((flags & ACM_FORMATSUGGESTF_NCHANNELS) != 0 && out->nChannels != dest->nChannels) ||
      ((flags & ACM_FORMATSUGGESTF_NSAMPLESPERSEC) != 0 &&
       out->nSamplesPerSec != dest->nSamplesPerSec) ||
      ((flags & ACM_FORMATSUGGESTF_WBITSPERSAMPLE) != 0 &&
       out->wBitsPerSample != dest->wBitsPerSample)) {
    return ACMERR_NOTPOSSIBLE;
  }
  std::memcpy(dest, out, RecordBytes(out));
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamOpen(LPHACMSTREAM stream, HACMDRIVER had, LPWAVEFORMATEX source,
                              LPWAVEFORMATEX dest, LPWAVEFILTER filter, DWORD_PTR callback,
                              DWORD_PTR instance, DWORD flags) {
  (void)instance;
  if (InjectedFault(Call::StreamOpen)) return MMSYSERR_NOMEM;
  const bool query = (flags & ACM_STREAMOPENF_QUERY) != 0;
  if (stream != nullptr) *stream = nullptr;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if ((flags & ~(ACM_STREAMOPENF_QUERY | ACM_STREAMOPENF_NONREALTIME)) != 0 || callback != 0) {
    return MMSYSERR_NOTSUPPORTED;
  }
  if (filter != nullptr || (!query && stream == nullptr)) return MMSYSERR_INVALPARAM;
  std::unique_ptr<CodecStream> codec;
  if (MMRESULT r = OpenCodec(source, dest, &codec); r != MMSYSERR_NOERROR) return r;
  if (query) return MMSYSERR_NOERROR;

  auto* record = new (std::nothrow) StreamRecord;
  if (record == nullptr) return MMSYSERR_NOMEM;
  record->codec = std::move(codec);
  {
    std::lock_guard lock(gStreamsMutex);
    gStreams.insert(record);
  }
  gOpenStreams.fetch_add(1);
  *stream = reinterpret_cast<HACMSTREAM>(record);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamSize(HACMSTREAM stream, DWORD input, LPDWORD output, DWORD flags) {
  if (InjectedFault(Call::StreamSize)) return MMSYSERR_NOMEM;
  StreamRecord* record = FindStream(stream);
  if (record == nullptr) return MMSYSERR_INVALHANDLE;
  if (output == nullptr) return MMSYSERR_INVALPARAM;
  DWORD size;
  if (flags == ACM_STREAMSIZEF_SOURCE) {
    size = record->codec->MaxOutputBytes(input);
  } else if (flags == ACM_STREAMSIZEF_DESTINATION) {
    size = record->codec->SourceBytesFor(input);
  } else {
    return MMSYSERR_INVALFLAG;
  }
  if (size == 0) return ACMERR_NOTPOSSIBLE;
  *output = size;
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamPrepareHeader(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags) {
  if (InjectedFault(Call::PrepareHeader)) return MMSYSERR_NOMEM;
  StreamRecord* record = FindStream(stream);
  if (record == nullptr) return MMSYSERR_INVALHANDLE;
  if (flags != 0) return MMSYSERR_INVALFLAG;
  if (header == nullptr || header->cbStruct < sizeof(ACMSTREAMHEADER) || header->pbSrc == nullptr ||
      header->pbDst == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  for (const PreparedHeader& p : record->prepared) {
    if (p.header == header) return MMSYSERR_INVALPARAM;  // already prepared
  }
  record->prepared.push_back(
      {header, header->pbSrc, header->cbSrcLength, header->pbDst, header->cbDstLength});
  header->fdwStatus = ACMSTREAMHEADER_STATUSF_PREPARED;
  gPreparedHeaders.fetch_add(1);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamUnprepareHeader(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags) {
  StreamRecord* record = FindStream(stream);
  if (record == nullptr) return MMSYSERR_INVALHANDLE;
  if (flags != 0) return MMSYSERR_INVALFLAG;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  auto it = std::find_if(record->prepared.begin(), record->prepared.end(),
                         [&](const PreparedHeader& p) { return p.header == header; });
  if (it == record->prepared.end()) return ACMERR_UNPREPARED;
  record->prepared.erase(it);
  header->fdwStatus &= ~(ACMSTREAMHEADER_STATUSF_PREPARED | ACMSTREAMHEADER_STATUSF_DONE);
  gPreparedHeaders.fetch_sub(1);
  return MMSYSERR_NOERROR;
}

MMRESULT WINAPI acmStreamConvert(HACMSTREAM stream, LPACMSTREAMHEADER header, DWORD flags) {
  constexpr DWORD kKnown =
      ACM_STREAMCONVERTF_BLOCKALIGN | ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_END;
  StreamRecord* record = FindStream(stream);
  if (record == nullptr) return MMSYSERR_INVALHANDLE;
  if ((flags & ~kKnown) != 0) return MMSYSERR_INVALFLAG;
  if (header == nullptr) return MMSYSERR_INVALPARAM;
  auto it = std::find_if(record->prepared.begin(), record->prepared.end(),
                         [&](const PreparedHeader& p) { return p.header == header; });
  if (it == record->prepared.end() || (header->fdwStatus & ACMSTREAMHEADER_STATUSF_PREPARED) == 0) {
    return ACMERR_UNPREPARED;
  }
  if (header->pbSrc != it->src || header->pbDst != it->dst || header->cbSrcLength > it->srcLength ||
      header->cbDstLength > it->dstLength) {
    return MMSYSERR_INVALPARAM;
  }
  header->fdwStatus &= ~ACMSTREAMHEADER_STATUSF_DONE;
  ConvertIo io;
  io.src = header->pbSrc;
  io.srcBytes = header->cbSrcLength;
  io.dst = header->pbDst;
  io.dstBytes = header->cbDstLength;
  MMRESULT result;
  try {
    result = record->codec->Convert(io, flags);
  } catch (const std::bad_alloc&) {
    result = MMSYSERR_NOMEM;
  }
  header->cbSrcLengthUsed = std::min(io.srcUsed, io.srcBytes);
  header->cbDstLengthUsed = std::min(io.dstUsed, io.dstBytes);
  header->fdwStatus |= ACMSTREAMHEADER_STATUSF_DONE;
  return result;
}

MMRESULT WINAPI acmStreamClose(HACMSTREAM stream, DWORD flags) {
  if (flags != 0) return MMSYSERR_INVALFLAG;
  auto* record = reinterpret_cast<StreamRecord*>(stream);
  {
    std::lock_guard lock(gStreamsMutex);
    if (record == nullptr || gStreams.erase(record) == 0) return MMSYSERR_INVALHANDLE;
  }
  // Headers still prepared are let go with the stream; their memory is the caller's.
  gPreparedHeaders.fetch_sub(static_cast<int>(record->prepared.size()));
  gOpenStreams.fetch_sub(1);
  record->magic = 0;
  delete record;
  return MMSYSERR_NOERROR;
}

VOXL_API MMRESULT WINAPI acmMetrics(HACMOBJ hao, UINT uMetric, LPVOID pMetric) {
  if (InjectedFault(Call::Metrics)) return MMSYSERR_NOMEM;
  if (hao != nullptr) return MMSYSERR_INVALHANDLE;
  if (pMetric == nullptr) return MMSYSERR_INVALPARAM;
  if (uMetric != ACM_METRIC_MAX_SIZE_FORMAT) return MMSYSERR_NOTSUPPORTED;
  DWORD largest = 0;
  for (const CodecDriver* d : Drivers()) largest = std::max(largest, d->largestFormatBytes);
  std::memcpy(pMetric, &largest, sizeof largest);
  return MMSYSERR_NOERROR;
}

VOXL_API MMRESULT WINAPI acmFormatTagDetailsA(HACMDRIVER had, LPACMFORMATTAGDETAILSA paftd,
                                              DWORD fdwDetails) {
  if (InjectedFault(Call::Details)) return MMSYSERR_NOMEM;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (paftd == nullptr || paftd->cbStruct < sizeof(ACMFORMATTAGDETAILSA)) {
    return MMSYSERR_INVALPARAM;
  }
  const auto drivers = Drivers();
  const CodecDriver* driver = nullptr;
  DWORD index = 0;
  if (fdwDetails == ACM_FORMATTAGDETAILSF_INDEX) {
    index = paftd->dwFormatTagIndex;
    if (index < drivers.size()) driver = drivers[index];
  } else if (fdwDetails == ACM_FORMATTAGDETAILSF_FORMATTAG) {
    for (; index < drivers.size() && driver == nullptr; ++index) {
      if (drivers[index]->formatTag == paftd->dwFormatTag) driver = drivers[index];
    }
    --index;
  } else {
    return MMSYSERR_INVALFLAG;
  }
  if (driver == nullptr) return ACMERR_NOTPOSSIBLE;
  paftd->dwFormatTagIndex = index;
  paftd->dwFormatTag = driver->formatTag;
  paftd->cbFormatSize = driver->largestFormatBytes;
  paftd->fdwSupport = driver->support;
  paftd->cStandardFormats = driver->StandardFormatCount();
  CopyText(paftd->szFormatTag, sizeof paftd->szFormatTag, driver->tagName);
  return MMSYSERR_NOERROR;
}

VOXL_API MMRESULT WINAPI acmFormatDetailsA(HACMDRIVER had, LPACMFORMATDETAILSA pafd,
                                           DWORD fdwDetails) {
  if (InjectedFault(Call::Details)) return MMSYSERR_NOMEM;
  if (had != nullptr) return MMSYSERR_INVALHANDLE;
  if (pafd == nullptr || pafd->cbStruct < sizeof(ACMFORMATDETAILSA) || pafd->pwfx == nullptr) {
    return MMSYSERR_INVALPARAM;
  }
  const CodecDriver* driver = nullptr;
  if (fdwDetails == ACM_FORMATDETAILSF_INDEX) {
    if (pafd->dwFormatTag <= 0xFFFF) driver = DriverForTag(static_cast<WORD>(pafd->dwFormatTag));
    if (driver == nullptr || pafd->dwFormatIndex >= driver->StandardFormatCount()) {
      return ACMERR_NOTPOSSIBLE;
    }
    if (!driver->StandardFormat(pafd->dwFormatIndex, pafd->pwfx, pafd->cbwfx)) {
      return MMSYSERR_INVALPARAM;  // does not fit cbwfx
    }
  } else if (fdwDetails == ACM_FORMATDETAILSF_FORMAT) {
    if (pafd->dwFormatTag != WAVE_FORMAT_UNKNOWN && pafd->cbwfx >= sizeof(WORD) &&
        pafd->dwFormatTag != pafd->pwfx->wFormatTag) {
      return MMSYSERR_INVALPARAM;
    }
    const DWORD size = pafd->cbwfx;
    if (size == 0) return MMSYSERR_INVALPARAM;
    if (MMRESULT r = CheckFormat(pafd->pwfx, size, &driver); r != MMSYSERR_NOERROR) return r;
    pafd->dwFormatTag = driver->formatTag;
  } else {
    return MMSYSERR_INVALFLAG;
  }
  pafd->fdwSupport = driver->support;
  pafd->szFormat[0] = '\0';
  driver->Describe(pafd->pwfx, pafd->szFormat, sizeof pafd->szFormat);
  pafd->szFormat[sizeof pafd->szFormat - 1] = '\0';
  return MMSYSERR_NOERROR;
}

}  // extern "C"
