// IMA ADPCM encoding speed: the codec manager's IMA ADPCM encoder against ffmpeg's
// (`ffmpeg -i IN -c:a adpcm_ima_wav OUT`), file to file, on 600 s of 44.1 kHz stereo 16-bit audio
// (a tone with noise; 105.8 MB as PCM, 26.5 MB encoded).
//
// BM_Encode: the input WAVE is written once per run to $TMPDIR (or /tmp, in the page cache).
//   Ours reads it in pieces of a tenth of a second, encodes each through an encode stream
//   (acmStreamConvert with START, then BLOCKALIGN, the rest with END) and writes the blocks to a
//   new file, on the benchmark's thread, timed with that thread's CPU clock and the wall clock.
//   ffmpeg is started with posix_spawn on the same input and writes its own new file; its CPU
//   time (user + system) comes from wait4, so its start-up counts against it (about 0.03 s, a
//   few per cent).  Each round runs both, the order alternating; the counters divide ffmpeg's best
//   time over the rounds by ours:
//     ratio_vs_ffmpeg_cpu    CPU time;
//     ratio_vs_ffmpeg_wall   wall time (more disturbed by other load).
//   Goal: ratio_vs_ffmpeg_cpu of at least 1 (ours no slower than ffmpeg doing the same job).
//
// Above 1 means ours is faster.  ProcessTimes are never reported bare.  Other work on the machine
// only ever adds time, so the best of several rounds is the steadiest figure of each side.
#include <benchmark/benchmark.h>
#include <fcntl.h>
#include <spawn.h>
#include <stdlib.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <time.h>
#include <unistd.h>

#include <algorithm>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <filesystem>
#include <memory>
#include <string>
#include <vector>

#include "alternate.h"
#include "bench_support.h"
#include "platform/acm/acm.h"

extern char** environ;

namespace {

using voxl::bench::Best;
using voxl::bench::Now;
using voxl::bench::ProcessTimes;
using voxl::bench::PutU32;
using voxl::bench::RunProgram;
using voxl::bench::Scratch;

constexpr uint32_t kRate = 44100;
constexpr uint16_t kChannels = 2;
constexpr uint32_t kSeconds = 600;
constexpr std::size_t kFrames = std::size_t{kSeconds} * kRate;
constexpr uint32_t kHeaderBytes = 44;  // the canonical PCM WAVE header the input file has

// The 16-bit PCM input: a tone with noise in both channels.
bool WriteInput(const std::string& path) {
  std::vector<int16_t> s(kFrames * kChannels);
  uint32_t noise = 12345;
  for (std::size_t frame = 0; frame < kFrames; ++frame) {
    const double tone = 20000.0 * std::sin(static_cast<double>(frame) * 0.0627);
    for (std::size_t c = 0; c < kChannels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      const double jitter = static_cast<double>(static_cast<int32_t>(noise >> 16) - 32768);
      s[frame * kChannels + c] =
          static_cast<int16_t>(std::clamp(tone + jitter * 0.2, -32768.0, 32767.0));
    }
  }
  const auto bytes = static_cast<uint32_t>(s.size() * 2);
  const WAVEFORMATEX format{WAVE_FORMAT_PCM, kChannels, kRate, kRate * 2 * kChannels,
                            2 * kChannels,   16,        0};
  std::string header = "RIFF";
  PutU32(header, 36 + bytes);
  header += "WAVEfmt ";
  PutU32(header, 16);
  header.append(reinterpret_cast<const char*>(&format), 16);
  header += "data";
  PutU32(header, bytes);
  std::unique_ptr<FILE, int (*)(FILE*)> f(std::fopen(path.c_str(), "wb"), std::fclose);
  return f && header.size() == kHeaderBytes &&
         std::fwrite(header.data(), 1, header.size(), f.get()) == header.size() &&
         std::fwrite(s.data(), 1, bytes, f.get()) == bytes;
}

// Ours: the PCM of `input` through an encode stream into `output` (the blocks only; a header
// would be a few bytes more and is the container's business, not the codec's).
ProcessTimes RunOurs(const std::string& input, const std::string& output) {
  ProcessTimes times;
  const double cpu0 = Now(CLOCK_THREAD_CPUTIME_ID);
  const double wall0 = Now(CLOCK_MONOTONIC);
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, kChannels, kRate, kRate * 2 * kChannels, 2 * kChannels, 16, 0};
  alignas(WAVEFORMATEX) uint8_t formatBytes[64] = {};
  auto* ima = reinterpret_cast<WAVEFORMATEX*>(formatBytes);
  ima->wFormatTag = WAVE_FORMAT_IMA_ADPCM;
  HACMSTREAM stream = nullptr;
  if (acmFormatSuggest(nullptr, &pcm, ima, sizeof formatBytes, ACM_FORMATSUGGESTF_WFORMATTAG) !=
          0 ||
      acmStreamOpen(&stream, nullptr, &pcm, ima, nullptr, 0, 0, 0) != 0) {
    return times;
  }
  std::unique_ptr<FILE, int (*)(FILE*)> in(std::fopen(input.c_str(), "rb"), std::fclose);
  std::unique_ptr<FILE, int (*)(FILE*)> out(std::fopen(output.c_str(), "wb"), std::fclose);
  const uint32_t pieceBytes = pcm.nAvgBytesPerSec / 10 / pcm.nBlockAlign * pcm.nBlockAlign;
  DWORD outBytes = 0;
  bool ok = in && out && std::fseek(in.get(), kHeaderBytes, SEEK_SET) == 0 &&
            acmStreamSize(stream, pieceBytes, &outBytes, ACM_STREAMSIZEF_SOURCE) == 0;
  std::vector<uint8_t> src(pieceBytes), dst(outBytes);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = src.data();
  h.cbSrcLength = pieceBytes;
  h.pbDst = dst.data();
  h.cbDstLength = outBytes;
  ok = ok && acmStreamPrepareHeader(stream, &h, 0) == 0;
  DWORD flags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
  std::size_t held = 0;
  for (bool last = false; ok && !last;) {
    const std::size_t got = std::fread(src.data() + held, 1, pieceBytes - held, in.get());
    last = held + got < pieceBytes;
    h.cbSrcLength = static_cast<DWORD>(held + got);
    ok = acmStreamConvert(stream, &h, last ? ACM_STREAMCONVERTF_END : flags) == 0 &&
         std::fwrite(dst.data(), 1, h.cbDstLengthUsed, out.get()) == h.cbDstLengthUsed;
    held = h.cbSrcLength - h.cbSrcLengthUsed;
    std::copy(src.begin() + h.cbSrcLengthUsed, src.begin() + h.cbSrcLength, src.begin());
    flags = ACM_STREAMCONVERTF_BLOCKALIGN;
  }
  acmStreamUnprepareHeader(stream, &h, 0);
  acmStreamClose(stream, 0);
  ok = ok && std::fflush(out.get()) == 0;
  if (!ok) return times;
  times.cpu = Now(CLOCK_THREAD_CPUTIME_ID) - cpu0;
  times.wall = Now(CLOCK_MONOTONIC) - wall0;
  return times;
}

// Whether `path` holds at least `bytes` and at most 2 % more (block headers, a last block).
bool SizeFits(const std::string& path, std::size_t bytes) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  const auto size = static_cast<std::size_t>(st.st_size);
  return size >= bytes && size <= bytes + bytes / 50;
}

void BM_Encode(benchmark::State& state) {
  static Scratch scratch("ima-bench");
  const std::string input = scratch.File("input.wav");
  if (!scratch.ok() || (access(input.c_str(), R_OK) != 0 && !WriteInput(input))) {
    state.SkipWithError("cannot write the input file");
    return;
  }
  const std::string oursOut = scratch.File("ours.ima");
  const std::string peerOut = scratch.File("ffmpeg.wav");
  const std::vector<std::string> ffmpeg = {"ffmpeg", "-nostdin", "-v",   "error",         "-y",
                                           "-i",     input,      "-c:a", "adpcm_ima_wav", peerOut};
  // 4 bits a sample, without the block headers.
  const std::size_t encodedBytes = kFrames * kChannels / 2;
  Best cpu, wall;
  bool peerFirst = false;
  for (auto _ : state) {
    unlink(oursOut.c_str());
    unlink(peerOut.c_str());
    const auto [o, p] = voxl::bench::RunAlternating(
        peerFirst, [&] { return RunOurs(input, oursOut); }, [&] { return RunProgram(ffmpeg); });
    if (o.cpu < 0 || !SizeFits(oursOut, encodedBytes)) {
      state.SkipWithError("our encoding failed");
      break;
    }
    if (p.cpu < 0 || !SizeFits(peerOut, encodedBytes)) {
      state.SkipWithError("ffmpeg is not installed or failed; no peer to compare with");
      break;
    }
    cpu.Add(o.cpu, p.cpu);
    wall.Add(o.wall, p.wall);
  }
  unlink(oursOut.c_str());
  unlink(peerOut.c_str());
  if (cpu.Valid()) {
    state.counters["ratio_vs_ffmpeg_cpu"] = cpu.PeerOverOurs();
    state.counters["ratio_vs_ffmpeg_wall"] = wall.PeerOverOurs();
  }
}

BENCHMARK(BM_Encode)->Iterations(7)->Unit(benchmark::kMillisecond);

}  // namespace

BENCHMARK_MAIN();
