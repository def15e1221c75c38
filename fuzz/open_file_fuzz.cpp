// libFuzzer harness: any bytes a disk may hold, opened as the recorder's file with every file
// kind: RIFF/WAVE, headerless from byte 0, MPEG audio found by scanning, and headerless behind a
// header whose length the input picks.  Headerless opens take a capture format the input picks.
// A failed open must leave the recorder idle with nothing open; an opened file must not claim
// more sample frames than its bytes can hold (for uncompressed formats).
#include <unistd.h>

#include <cstdint>
#include <cstdlib>
#include <string>

#include "api/recorder_creation.h"
#include "core/recorder.h"
#include "voxl310k.h"

namespace {

voxl::Recorder* gRecorder = nullptr;
std::string gPath;
BSTR gName = nullptr;

void Check(bool condition) {
  if (!condition) std::abort();
}

}  // namespace

extern "C" int LLVMFuzzerInitialize(int*, char***) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  char folder[] = "/tmp/voxl-open-fuzz-XXXXXX";
  if (mkdtemp(folder) == nullptr) std::abort();
  gPath = std::string(folder) + "/input.bin";
  static std::string gFolder = folder;
  std::atexit([] {
    unlink(gPath.c_str());
    rmdir(gFolder.c_str());
  });
  const std::u16string wide(gPath.begin(), gPath.end());
  gName = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  gRecorder = voxl::NewRecorder();
  WORD error = 0;
  VoxlRecorder* rec = voxl::ToHost(gRecorder);
  rec->lpVtbl->Close(rec, &error);
  if (gRecorder == nullptr || error != 0) std::abort();
  return 0;
}

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
  FILE* f = std::fopen(gPath.c_str(), "wb");
  if (f == nullptr) std::abort();
  if (size > 0 && std::fwrite(data, 1, size, f) != size) std::abort();
  std::fclose(f);

  VoxlRecorder* rec = voxl::ToHost(gRecorder);
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  static const WORD kFormats[] = {8, 16, 106, 107};
  static const DWORD kRates[] = {8000, 22050, 44100, 48000};
  const uint8_t pick = size > 0 ? data[0] : 0;
  const SHORT header = static_cast<SHORT>(-1 - (size > 1 ? data[1] : 0) * 4);
  for (SHORT kind : {SHORT{0}, SHORT{1}, SHORT{2}, header}) {
    Check(m.SetFileKind(rec, kind) == 0);
    m.SetSampleFormat(rec, kFormats[pick & 3]);
    m.SetSampleRate(rec, kRates[(pick >> 2) & 3]);
    m.SetChannels(rec, static_cast<WORD>(1 + ((pick >> 4) & 1)));
    WORD error = 0xFFFF;
    m.OpenFile(rec, gName, &error);
    WORD state = 0;
    DWORD length = 0;
    m.GetState(rec, &state);
    m.GetLength(rec, &length);
    if (error != 0) {
      Check(state == voxl::StateIdle && gRecorder->fileHandle == nullptr);
    } else {
      Check(state == voxl::StateOpen);
      const uint32_t align = gRecorder->pcmFormat.nBlockAlign;
      if (gRecorder->compressed.load() == 0 && align != 0) {
        Check(static_cast<uint64_t>(length) * align <= size);
      }
    }
    m.Close(rec, &error);
    Check(error == 0);
  }
  return 0;
}
