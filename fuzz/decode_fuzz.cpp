// libFuzzer harness: any bytes a file may hold, decoded through the codec manager's streams.
//
// Built once per decoder; VOXL_FUZZ_TAG selects the format tag.  The first input byte picks one
// of the tag's standard formats, the rest is the data chunk, fed as playback feeds it: pieces of
// a tenth of a second of output, rounded up to whole blocks, the first with START|BLOCKALIGN,
// then BLOCKALIGN with what was left moved to the front, and the rest with END until nothing
// more comes.  With VOXL_FUZZ_TAG 0 the input is a format record instead, given to the format
// services with its true size.
#include <algorithm>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/acm/acm_driver.h"

#ifndef VOXL_FUZZ_TAG
#error "VOXL_FUZZ_TAG selects the decoder"
#endif

namespace {

void FuzzFormatRecord(const uint8_t* data, size_t size) {
  std::vector<uint8_t> record(data, data + size);  // exactly the given bytes, for ASan
  auto* f = reinterpret_cast<WAVEFORMATEX*>(record.data());
  ACMFORMATDETAILSA d{};
  d.cbStruct = sizeof d;
  d.pwfx = f;
  d.cbwfx = static_cast<DWORD>(size);
  if (size < sizeof(WAVEFORMATEX)) {
    acmFormatDetailsA(nullptr, &d, ACM_FORMATDETAILSF_FORMAT);
    return;
  }
  d.dwFormatTag = f->wFormatTag;
  const bool described = acmFormatDetailsA(nullptr, &d, ACM_FORMATDETAILSF_FORMAT) == 0;
  if (described && std::memchr(d.szFormat, 0, sizeof d.szFormat) == nullptr) std::abort();
  // Without a size the services read 18 bytes and a compressed tag's extra bytes.
  if (f->wFormatTag != WAVE_FORMAT_PCM && sizeof(WAVEFORMATEX) + f->cbSize > size) return;
  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  if (acmFormatSuggest(nullptr, f, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG) == 0) {
    const MMRESULT decode =
        acmStreamOpen(nullptr, nullptr, f, &pcm, nullptr, 0, 0, ACM_STREAMOPENF_QUERY);
    if (described != (decode == 0) && f->wFormatTag != WAVE_FORMAT_PCM) std::abort();
  }
}

void FuzzDecoder(const uint8_t* data, size_t size) {
  if (size < 1) return;
  ACMFORMATTAGDETAILSA tag{};
  tag.cbStruct = sizeof tag;
  tag.dwFormatTag = VOXL_FUZZ_TAG;
  if (acmFormatTagDetailsA(nullptr, &tag, ACM_FORMATTAGDETAILSF_FORMATTAG) != 0 ||
      tag.cStandardFormats == 0) {
    std::abort();
  }
  std::vector<uint8_t> format(tag.cbFormatSize);
  ACMFORMATDETAILSA d{};
  d.cbStruct = sizeof d;
  d.dwFormatTag = VOXL_FUZZ_TAG;
  d.dwFormatIndex = data[0] % tag.cStandardFormats;
  d.pwfx = reinterpret_cast<WAVEFORMATEX*>(format.data());
  d.cbwfx = tag.cbFormatSize;
  if (acmFormatDetailsA(nullptr, &d, ACM_FORMATDETAILSF_INDEX) != 0) std::abort();
  ++data, --size;

  WAVEFORMATEX pcm{};
  pcm.wFormatTag = WAVE_FORMAT_PCM;
  if (acmFormatSuggest(nullptr, d.pwfx, &pcm, sizeof pcm, ACM_FORMATSUGGESTF_WFORMATTAG) != 0) {
    std::abort();
  }
  HACMSTREAM s = nullptr;
  if (acmStreamOpen(&s, nullptr, d.pwfx, &pcm, nullptr, 0, 0, 0) != 0) std::abort();
  const DWORD align = d.pwfx->nBlockAlign;
  const DWORD pcmBlock = pcm.nAvgBytesPerSec / 10 / pcm.nBlockAlign * pcm.nBlockAlign;
  DWORD piece = 0;
  if (acmStreamSize(s, pcmBlock, &piece, ACM_STREAMSIZEF_DESTINATION) != 0) std::abort();
  piece = (piece + align - 1) / align * align;
  // Exactly sized buffers, so that ASan sees any access past them.
  std::vector<uint8_t> src(piece), dst(pcmBlock);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = src.data();
  h.cbSrcLength = piece;
  h.pbDst = dst.data();
  h.cbDstLength = pcmBlock;
  if (acmStreamPrepareHeader(s, &h, 0) != 0) std::abort();
  DWORD flags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
  size_t next = 0;
  DWORD held = 0;
  for (int idle = 0; idle < 2;) {
    const size_t take = std::min<size_t>(piece - held, size - next);
    std::memcpy(src.data() + held, data + next, take);
    next += take;
    if (next == size) flags = ACM_STREAMCONVERTF_END;
    h.cbSrcLength = held + static_cast<DWORD>(take);
    h.cbDstLength = pcmBlock;
    if (acmStreamConvert(s, &h, flags) != 0) break;
    if (h.cbSrcLengthUsed > h.cbSrcLength || h.cbDstLengthUsed > h.cbDstLength) std::abort();
    held = h.cbSrcLength - h.cbSrcLengthUsed;
    std::memmove(src.data(), src.data() + h.cbSrcLengthUsed, held);
    flags = next == size ? ACM_STREAMCONVERTF_END : ACM_STREAMCONVERTF_BLOCKALIGN;
    // At the end, stop once two calls in a row take and give nothing.
    const bool progress = take > 0 || h.cbSrcLengthUsed > 0 || h.cbDstLengthUsed > 0;
    idle = next == size && !progress ? idle + 1 : 0;
  }
  acmStreamUnprepareHeader(s, &h, 0);
  acmStreamClose(s, 0);
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (VOXL_FUZZ_TAG == 0) {
    FuzzFormatRecord(data, size);
  } else {
    FuzzDecoder(data, size);
  }
  return 0;
}
