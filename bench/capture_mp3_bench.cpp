// MP3 capture: 600 s of 44100 Hz 16-bit stereo from the virtual input recorded into a 128 kbit/s
// MPEG Layer-3 WAVE file, against libmp3lame called directly on the same PCM at the same bitrate,
// both in this process (mp3_kernels.h).  The whole-process race, voxl convert against the lame
// program: convert_bench.cpp.
//
// BM_CaptureMp3: ours is the whole road of each buffer (device, engine, level meter, encoder,
//   file, blocks to the host, the host's callback) with the device's free-running clock (buffers
//   complete as fast as the engine hands them back), timed in process CPU time (every thread)
//   from Record until the run has stopped and the encoder's last frames are written.  The peer
//   encodes a WAVE file of exactly the samples the virtual input delivers with libmp3lame as the
//   lame program does with `--cbr -b 128 -q 3 -m j --noreplaygain` (the file read whole, encoded
//   in pieces, the frames written with write(2)), timed with the same clock.  Both use
//   libmp3lame's default quality (3) and joint stereo; no replay-gain analysis, which is work the
//   recorder does not do.  The signal is music-like (chords of harmonic notes that change four
//   times a second, with some noise), since silence or a pure tone would make the encoder's
//   search unrealistically cheap.  Each round runs both, the order alternating; each side keeps
//   its best round (other programs only ever add time).
//   Counters:
//     audio_s_per_cpu_s       seconds of audio one second of CPU records in MP3;
//     cpu_ratio_vs_libmp3lame our CPU time per second of audio over libmp3lame's (1 = the same
//                             cost; the recorder's own work comes on top of the encoding).
//   Goal: cpu_ratio_vs_libmp3lame of at most 1.05.
//
// Files go to $TMPDIR (or /tmp) and are removed afterwards.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <sys/resource.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "alternate.h"
#include "api/recorder_creation.h"
#include "bench_support.h"
#include "engine/transport.h"
#include "formats/conversion.h"
#include "mp3_kernels.h"
#include "platform/acm/acm.h"
#include "platform/wave/virtual/virtual_device.h"
#include "wavefile/recording_close.h"
#include "wavefile/recording_file.h"

extern char** environ;

namespace {

using voxl::bench::PutU32;
using voxl::bench::Scratch;

using namespace voxl;

constexpr uint32_t kRate = 44100;
constexpr uint16_t kChannels = 2;
constexpr uint32_t kKbps = 128;
constexpr uint32_t kAudioSeconds = 600;
constexpr uint32_t kBuffers = kAudioSeconds * 10;  // device buffers of 100 ms
constexpr uint32_t kLoopSeconds = 60;              // the signal repeats after this
constexpr size_t kLoopFrames = size_t{kLoopSeconds} * kRate;

// A minute of music-like audio, interleaved: each quarter second a chord of three notes with
// four harmonics each and a decaying envelope, the notes spread across the two channels, and
// quiet noise.
const std::vector<int16_t>& Music() {
  static const std::vector<int16_t> samples = [] {
    std::vector<int16_t> s(kLoopFrames * kChannels);
    const double kPi = 3.14159265358979323846;
    const size_t chordFrames = kRate / 4;
    uint32_t noise = 12345;
    for (size_t frame = 0; frame < kLoopFrames; ++frame) {
      const size_t chord = frame / chordFrames;
      const double t = static_cast<double>(frame) / kRate;
      const double envelope = std::exp(-3.0 * static_cast<double>(frame % chordFrames) / kRate);
      double channel[2] = {0.0, 0.0};
      for (int note = 0; note < 3; ++note) {
        // Notes of a wandering scale between 110 and 880 Hz.
        const int step = static_cast<int>((chord * 7 + static_cast<size_t>(note) * 4) % 36);
        const double hz = 110.0 * std::pow(2.0, step / 12.0);
        double value = 0.0;
        for (int h = 1; h <= 4; ++h) value += std::sin(2 * kPi * hz * h * t) / h;
        const double pan = (note + 1) / 4.0;
        channel[0] += value * (1.0 - pan);
        channel[1] += value * pan;
      }
      for (int c = 0; c < kChannels; ++c) {
        noise = noise * 1664525u + 1013904223u;
        const double hiss = static_cast<double>(static_cast<int32_t>(noise >> 16) - 32768) * 0.02;
        s[frame * kChannels + c] = static_cast<int16_t>(
            std::clamp(6000.0 * envelope * channel[c] + hiss, -32768.0, 32767.0));
      }
    }
    return s;
  }();
  return samples;
}

// The virtual input's signal: the minute of music over and over.
void FillMusic(const WAVEFORMATEX&, uint64_t frame, void* data, size_t bytes) {
  const std::vector<int16_t>& music = Music();
  const size_t frameBytes = kChannels * sizeof(int16_t);
  auto* out = static_cast<uint8_t*>(data);
  size_t at = static_cast<size_t>(frame % kLoopFrames);
  while (bytes > 0) {
    const size_t n = std::min(bytes, (kLoopFrames - at) * frameBytes);
    std::memcpy(out, music.data() + at * kChannels, n);
    out += n;
    bytes -= n;
    at = 0;
  }
}

bool WriteInputWave(const std::string& path) {
  const std::vector<int16_t>& music = Music();
  const uint32_t loopBytes = static_cast<uint32_t>(music.size() * sizeof(int16_t));
  const uint32_t dataBytes = loopBytes * (kAudioSeconds / kLoopSeconds);
  const WAVEFORMATEX format{WAVE_FORMAT_PCM, kChannels, kRate, kRate * kChannels * 2,
                            kChannels * 2,   16,        0};
  std::string header = "RIFF";
  PutU32(header, 4 + 8 + 16 + 8 + dataBytes);
  header += "WAVEfmt ";
  PutU32(header, 16);
  header.append(reinterpret_cast<const char*>(&format), 16);
  header += "data";
  PutU32(header, dataBytes);
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(header.data(), static_cast<std::streamsize>(header.size()));
  for (uint32_t i = 0; i < kAudioSeconds / kLoopSeconds; ++i) {
    out.write(reinterpret_cast<const char*>(music.data()), loopBytes);
  }
  return static_cast<bool>(out.flush());
}

// The recorder's 128 kbit/s stereo MPEG Layer-3 format for 44100 Hz 16-bit stereo PCM, as the
// codec manager suggests it; empty when it suggests another bitrate or none.
std::vector<uint8_t> Mp3Format() {
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, kChannels, kRate, kRate * kChannels * 2, kChannels * 2, 16, 0};
  std::vector<uint8_t> format(sizeof(MPEGLAYER3WAVEFORMAT));
  auto* mp3 = reinterpret_cast<WAVEFORMATEX*>(format.data());
  mp3->wFormatTag = WAVE_FORMAT_MPEGLAYER3;
  if (acmFormatSuggest(nullptr, &pcm, mp3, static_cast<DWORD>(format.size()),
                       ACM_FORMATSUGGESTF_WFORMATTAG) != MMSYSERR_NOERROR ||
      mp3->nAvgBytesPerSec != kKbps * 1000 / 8 || mp3->nChannels != kChannels) {
    return {};
  }
  return format;
}

uint64_t gLevels = 0;  // levels callbacks of the run: one per device buffer (host thread only)

void CALLBACK CountLevels(FLOAT, DWORD, FLOAT, DWORD) {
  ++gLevels;
}
void CALLBACK TakeBlock(void* format, DWORD, void* data, DWORD) {
  std::free(format);
  std::free(data);
}

struct CaptureResult {
  double cpu = -1;     // process CPU seconds; negative when the recording failed
  double seconds = 0;  // seconds of audio in the file
};

// Records kBuffers buffers of the music into a new MP3 WAVE file at `path` with the
// free-running clock, and stops.
CaptureResult CaptureMp3(const std::string& path, const std::vector<uint8_t>& format) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  virtualaudio::Reset();
  virtualaudio::SetClock(virtualaudio::Clock::FreeRunning);
  virtualaudio::Signal signal;
  signal.kind = virtualaudio::Signal::Kind::Callback;
  signal.fill = FillMusic;
  virtualaudio::SetInputSignal(0, signal);
  virtualaudio::Faults faults;
  faults.stopAfterBuffers = static_cast<int>(kBuffers);
  virtualaudio::SetInputFaults(0, faults);

  CaptureResult result;
  Recorder* r = NewRecorder();
  RecorderCallbacks callbacks{};
  callbacks.levels = CountLevels;
  callbacks.block = TakeBlock;
  SetCallbacks(*r, callbacks);
  uint16_t error = 0;
  Close(*r, &error);
  r->sampleFormat = 100;
  const std::u16string wide(path.begin(), path.end());
  BSTR name = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
  if (SetTargetFormat(*r, reinterpret_cast<const WAVEFORMATEX*>(format.data()),
                      static_cast<int32_t>(format.size()), true) == kAccepted) {
    NewRecording(*r, name, &error);
    gLevels = 0;
    const double start = voxl::bench::Now(CLOCK_PROCESS_CPUTIME_ID);
    if (error == ErrNone) Record(*r, &error);
    if (error == ErrNone) {
      MSG msg{};
      while (gLevels < kBuffers && GetMessageA(&msg, nullptr, 0, 0) > 0) DispatchMessageA(&msg);
      Stop(*r);
      while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) DispatchMessageA(&msg);
      result.cpu = voxl::bench::Now(CLOCK_PROCESS_CPUTIME_ID) - start;
      result.seconds = static_cast<double>(r->length.load()) / kRate;
    }
  }
  SysFreeString(name);
  Close(*r, &error);
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) DispatchMessageA(&msg);
  DeleteRecorder(r);
  std::remove(path.c_str());
  virtualaudio::Reset();
  return result;
}

void BM_CaptureMp3(benchmark::State& state) {
  Scratch scratch("capture-mp3-bench");
  const std::vector<uint8_t> format = Mp3Format();
  if (format.empty()) {
    state.SkipWithError("the codec manager suggests no 128 kbit/s MPEG Layer-3 format");
    return;
  }
  const std::string input = scratch.File("input.wav");
  if (!scratch.ok() || !WriteInputWave(input)) {
    state.SkipWithError("cannot write the input file");
    return;
  }
  const std::string ours = scratch.File("ours.wav");
  const std::string theirs = scratch.File("lame.mp3");
  double bestOurs = 0, bestLame = 0;  // CPU seconds per second of audio
  bool lameFirst = false;
  for (auto _ : state) {
    unlink(theirs.c_str());
    const auto [capture, peer] = voxl::bench::RunAlternating(
        lameFirst, [&] { return CaptureMp3(ours, format); },
        [&] { return voxl::bench::LameInProcess(input, theirs, kKbps); });
    if (capture.cpu <= 0 || capture.seconds < kAudioSeconds - 1) {
      state.SkipWithError("the recording failed or came out short");
      break;
    }
    if (peer <= 0) {
      state.SkipWithError("libmp3lame failed; no peer to compare with");
      break;
    }
    const double oursPerSecond = capture.cpu / capture.seconds;
    const double lamePerSecond = peer / kAudioSeconds;
    bestOurs = bestOurs > 0 ? std::min(bestOurs, oursPerSecond) : oursPerSecond;
    bestLame = bestLame > 0 ? std::min(bestLame, lamePerSecond) : lamePerSecond;
  }
  if (bestOurs > 0 && bestLame > 0) {
    state.counters["audio_s_per_cpu_s"] = 1.0 / bestOurs;
    state.counters["cpu_ratio_vs_libmp3lame"] = bestOurs / bestLame;
    state.SetLabel("in process: the recorder's capture vs libmp3lame called directly");
  }
}

}  // namespace

BENCHMARK(BM_CaptureMp3)->Iterations(3)->Unit(benchmark::kSecond);

BENCHMARK_MAIN();
