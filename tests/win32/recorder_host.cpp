// A program of the original platform with the recorder linked in: it records two seconds from
// the default input device into a PCM file, cuts half a second out of it and compacts it, and
// records an IMA ADPCM file encoded by the platform's own codec manager; it prints the lengths
// for recorder_files.sh to compare with ffprobe.
//
// Usage: win32_recorder_host FOLDER   (a path of the platform; prints "FILE FRAMES" after each
// step, the last line of a file being its final length; exit status 0 when all worked)
#include <cstdio>
#include <string>
#include <vector>

#include "voxl310k.h"

namespace {

constexpr DWORD kFrames = 2 * 44100;

// Pumps the thread's messages (the recorder's helper window) until the recording holds kFrames
// frames or 20 s have passed; Wine takes a moment before the first buffer comes.
void PumpUntilRecorded(VoxlRecorder* r) {
  const DWORD start = GetTickCount();
  DWORD frames = 0;
  while (frames < kFrames && GetTickCount() - start < 20000) {
    MSG msg;
    while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE)) DispatchMessageA(&msg);
    MsgWaitForMultipleObjects(0, nullptr, FALSE, 50, QS_ALLINPUT);
    r->lpVtbl->GetLength(r, &frames);
  }
}

// The IMA ADPCM format the codec manager suggests for the capture format.
std::vector<BYTE> ImaFormat() {
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 2, 44100, 176400, 4, 16, 0};
  std::vector<BYTE> format(256);
  auto* ima = reinterpret_cast<WAVEFORMATEX*>(format.data());
  ima->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
  if (acmFormatSuggest(nullptr, &pcm, ima, static_cast<DWORD>(format.size()),
                       ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR) {
    return {};
  }
  format.resize(sizeof(WAVEFORMATEX) + ima->cbSize);
  return format;
}

bool SetFormat(VoxlRecorder* r, const std::vector<BYTE>& format) {
  VARIANT value;
  VariantInit(&value);
  value.vt = VT_ARRAY | VT_UI1;
  value.parray = SafeArrayCreateVector(VT_UI1, 0, static_cast<ULONG>(format.size()));
  for (LONG i = 0; i < static_cast<LONG>(format.size()); ++i) {
    SafeArrayPutElement(value.parray, &i, const_cast<BYTE*>(&format[i]));
  }
  const bool accepted = r->lpVtbl->PutFormat(r, value) == S_OK;
  VariantClear(&value);
  return accepted;
}

BSTR PathIn(const std::string& folder, const char* file) {
  const std::string path = folder + "\\" + file;
  return SysAllocString(std::wstring(path.begin(), path.end()).c_str());
}

bool Record(VoxlRecorder* r, const std::string& folder, const char* file) {
  BSTR name = PathIn(folder, file);
  WORD error = 0;
  r->lpVtbl->NewRecording(r, name, &error);
  SysFreeString(name);
  if (error == 0) r->lpVtbl->Record(r, &error);
  if (error != 0) {
    std::fprintf(stderr, "%s: %s\n", file, VoxlErrorText(error));
    return false;
  }
  PumpUntilRecorded(r);
  r->lpVtbl->Stop(r);
  DWORD frames = 0;
  r->lpVtbl->GetLength(r, &frames);
  std::printf("%s %lu\n", file, static_cast<unsigned long>(frames));
  r->lpVtbl->Close(r, &error);
  return error == 0 && frames >= kFrames;
}

// Opens the file again, removes half a second from 0.5 s on and compacts it: the file's own
// handle, the replace and the flush of the platform's file services at work.
bool CutAndCompact(VoxlRecorder* r, const std::string& folder, const char* file) {
  BSTR name = PathIn(folder, file);
  WORD error = 0;
  r->lpVtbl->OpenFile(r, name, &error);
  SysFreeString(name);
  if (error == 0) {
    r->lpVtbl->SetPositionSeconds(r, 0.5);
    r->lpVtbl->DeleteSeconds(r, 0.5, &error);
  }
  if (error == 0) r->lpVtbl->CompactFile(r, &error);
  DWORD frames = 0;
  r->lpVtbl->GetLength(r, &frames);
  std::printf("%s %lu\n", file, static_cast<unsigned long>(frames));
  if (error != 0) std::fprintf(stderr, "%s: %s\n", file, VoxlErrorText(error));
  WORD closeError = 0;
  r->lpVtbl->Close(r, &closeError);
  return error == 0 && closeError == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc < 2) {
    std::fprintf(stderr, "usage: %s FOLDER\n", argv[0]);
    return 2;
  }
  WORD error = 0;
  VoxlRecorder* r = VoxlCreateRecorder(&error);
  if (r == nullptr) {
    std::fprintf(stderr, "no recorder: %s\n", VoxlErrorText(error));
    return 1;
  }
  bool ok = Record(r, argv[1], "pcm.wav") && CutAndCompact(r, argv[1], "pcm.wav");
  const std::vector<BYTE> ima = ImaFormat();
  if (ima.empty() || !SetFormat(r, ima) || r->lpVtbl->SetSampleFormat(r, 100) != S_OK) {
    std::fprintf(stderr, "the codec manager offers no IMA ADPCM format for the capture format\n");
    ok = false;
  } else {
    ok = Record(r, argv[1], "ima.wav") && ok;
  }
  VoxlDestroyRecorder(r);
  return ok ? 0 : 1;
}
