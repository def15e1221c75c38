// libFuzzer harness: the MPEG audio frame search on any bytes.  The header parser must stay
// inside the buffer and answer only real candidates (sync bits, defined version, layer and rate,
// a bitrate that is not forbidden); the Info frame reader must stay inside the frame and read back
// what the maker wrote; the ID3v2 tag size must not pass the bytes given; the stream
// scan of a file holding the bytes must answer an offset inside it or an error, never crash.
#include <cstdint>
#include <cstdlib>
#include <vector>

#include "api/recorder_creation.h"
#include "core/recorder.h"
#include "formats/conversion.h"
#include "platform/mmio/mmio.h"
#include "wavefile/mpeg_scan.h"

namespace {

voxl::Recorder* gRecorder = nullptr;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  gRecorder = voxl::NewRecorder();
  if (gRecorder == nullptr) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  if (size > 0xFFFFFFF) return 0;
  std::vector<uint8_t> bytes(data, data + size);  // exactly the given bytes, for ASan
  const auto count = static_cast<uint32_t>(size);

  uint32_t at = count;
  const voxl::MpegFrameHeader h = voxl::ParseMpegFrameHeader(bytes.data(), &at);
  if (h.versionId == voxl::kMpegNoHeader) {
    Check(at == count);
  } else {
    Check(at + 3 < count && bytes[at] == 0xFF && (bytes[at + 1] & 0xE0) == 0xE0);
    Check(h.layerId != 0 && h.sampleRate != 0 && h.bitrateIndex != 15);
    voxl::MpegFrameBytes(h);
  }
  // An Info frame's reader stays inside the bytes given, and what it reads a frame back from
  // the maker it reads back the same.
  voxl::MpegInfoTag said;
  if (voxl::ParseMpegInfoFrame(bytes.data(), count, &said) && said.statesDelays) {
    MPEGLAYER3WAVEFORMAT f{};
    f.wfx = WAVEFORMATEX{WAVE_FORMAT_MPEGLAYER3, 2, 44100, 16000, 1, 0, MPEGLAYER3_WFX_EXTRA_BYTES};
    said.delay &= 0xFFF, said.padding &= 0xFFF, said.bytes &= 0xFFFFFF;
    const std::vector<uint8_t> made = voxl::MakeMpegInfoFrame(f.wfx, said);
    voxl::MpegInfoTag back;
    Check(voxl::ParseMpegInfoFrame(made.data(), uint32_t(made.size()), &back));
    Check(back.frames == said.frames && back.bytes == said.bytes && back.delay == said.delay &&
          back.padding == said.padding && back.statesDelays);
  }
  const uint32_t tag = voxl::Id3v2TagBytes(bytes.data(), count);
  Check(tag == 0 || tag >= 10);

  // The scan reads the bytes as a file in memory.
  MMIOINFO info{};
  info.fccIOProc = FOURCC_MEM;
  info.pchBuffer = reinterpret_cast<HPSTR>(bytes.data());
  info.cchBuffer = static_cast<LONG>(count);
  voxl::Recorder& r = *gRecorder;
  r.fileHandle = mmioOpenA(nullptr, &info, MMIO_READ);
  Check(r.fileHandle != nullptr);
  uint16_t error = 0;
  const uint32_t offset = voxl::ScanMpegStream(r, &error);
  if (error == 0) Check(offset + 4 <= count);
  mmioClose(r.fileHandle, 0);
  r.fileHandle = nullptr;
  voxl::ReleaseConversion(r);
  return 0;
}
