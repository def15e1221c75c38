// G.711 conversion speed, each time the same work on both sides, on 600 s of 44.1 kHz stereo
// 16-bit audio (a tone with noise, so every segment is used; 105.8 MB as PCM, 52.9 MB as codes).
//
// BM_WholeProcess/<law><direction>: file to file, whole process against whole process.  Ours is
//   bench_g711_convert (bench/g711_convert.cpp: the recorder's G.711 buffer functions and its
//   mmio file functions, a tenth of a second at a time); the peer is sox (`sox -D IN -e a-law -b 8
//   OUT`, or mu-law, or `-e signed -b 16` to decode; -D because dither would be extra work ours
//   does not do).  Both are started with posix_spawn on the same input WAVE, written once per run
//   to $TMPDIR (or /tmp, in the page cache), and both write a new WAVE there (removed before each
//   run), so start-up, reading, converting and writing are on both sides.  Each round runs both,
//   the order alternating; the counters divide sox's best time over the rounds by ours:
//     ratio_vs_sox_cpu   CPU time (user + system of the process, from wait4);
//     ratio_vs_sox_wall  wall time from spawn to exit (more disturbed by other load).
//   Goal: ratio_vs_sox_cpu of at least 1 (ours no slower than sox doing the same job).
// BM_Kernel/<law><direction>: the conversion loops alone, in memory, over the same samples: our
//   table-driven buffer function against a table-free reference written here (the segment from
//   the bit length of each magnitude, computed per sample) that gives exactly the same output,
//   checked on every input value before timing.  ratio_vs_reference divides the reference's best
//   thread CPU time over the rounds by ours.  Goal: above 1 (the tables must pay for
//   themselves).  Our loops are a handful of instructions each, and their speed depends on where
//   the linker places them (a loop across a 32-byte boundary ran 1.7 times slower on an AMD EPYC),
//   so compare these figures within one build.
//
// Above 1 means ours is faster.  Times are never reported bare.  Other work on the machine only
// ever adds time, so the best of several rounds is the steadiest figure of each side (medians
// and sums swing by 15 % and more while other programs build on the same cores).
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
#include <bit>
#include <cmath>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "alternate.h"
#include "bench_support.h"
#include "platform/acm/g711/g711.h"
#include "voxl310k_platform.h"

extern char** environ;

namespace {

using voxl::bench::Best;
using voxl::bench::ProcessTimes;
using voxl::bench::PutU32;
using voxl::bench::Scratch;
using voxl::bench::Seconds;

constexpr uint32_t kRate = 44100;
constexpr uint16_t kChannels = 2;
constexpr uint32_t kSeconds = 600;
constexpr std::size_t kSamples = std::size_t{kSeconds} * kRate * kChannels;

// ---- The table-free reference, with the recorder's results (including A-law's -1 to -7 -> 0x55).

uint8_t ReferenceALaw(int16_t sample) {
  const int mask = sample >= 0 ? 0xD5 : 0x55;
  const int magnitude = sample >= 0 ? sample : std::max(-static_cast<int>(sample) - 8, 0);
  const int segment =
      std::max(static_cast<int>(std::bit_width(static_cast<unsigned>(magnitude))) - 8, 0);
  const int shift = segment == 0 ? 4 : segment + 3;
  return static_cast<uint8_t>(((segment << 4) | ((magnitude >> shift) & 0xF)) ^ mask);
}

uint8_t ReferenceMuLaw(int16_t sample) {
  const int mask = sample >= 0 ? 0xFF : 0x7F;
  const int magnitude = (sample >= 0 ? sample : -static_cast<int>(sample)) + 0x84;
  const int segment = static_cast<int>(std::bit_width(static_cast<unsigned>(magnitude))) - 8;
  if (segment >= 8) return static_cast<uint8_t>(0x7F ^ mask);
  return static_cast<uint8_t>(((segment << 4) | ((magnitude >> (segment + 3)) & 0xF)) ^ mask);
}

int16_t ReferenceALawDecode(uint8_t code) {
  const int c = code ^ 0x55;
  const int segment = (c >> 4) & 7;
  int magnitude = ((c & 0xF) << 4) + 8;
  if (segment > 0) magnitude = (magnitude + 0x100) << (segment - 1);
  return static_cast<int16_t>((c & 0x80) != 0 ? magnitude : -magnitude);
}

int16_t ReferenceMuLawDecode(uint8_t code) {
  const int c = ~code & 0xFF;
  const int segment = (c >> 4) & 7;
  const int magnitude = ((((c & 0xF) << 3) + 0x84) << segment) - 0x84;
  return static_cast<int16_t>((c & 0x80) != 0 ? -magnitude : magnitude);
}

// Plain loops over whole buffers, the form a straightforward converter has.
template <uint8_t (*Encode)(int16_t)>
void ReferenceEncodeBuffer(const int16_t* samples, std::size_t count, uint8_t* codes) {
  for (std::size_t i = 0; i < count; ++i) codes[i] = Encode(samples[i]);
}
template <int16_t (*Decode)(uint8_t)>
void ReferenceDecodeBuffer(const uint8_t* codes, std::size_t count, int16_t* samples) {
  for (std::size_t i = 0; i < count; ++i) samples[i] = Decode(codes[i]);
}

struct Case {
  const char* soxEncoding;  // the G.711 side's name for sox and for bench_g711_convert
  uint16_t tag;             // its WAVE format tag
  bool encode;              // PCM -> G.711, else G.711 -> PCM
  void (*ours)(const void*, std::size_t, uint8_t*) noexcept;
  void (*oursDecode)(const uint8_t*, std::size_t, void*) noexcept;
  void (*reference)(const int16_t*, std::size_t, uint8_t*);
  void (*referenceDecode)(const uint8_t*, std::size_t, int16_t*);
};

const Case kALawEncode{"a-law",
                       WAVE_FORMAT_ALAW,
                       true,
                       voxl::LinearToALawBuffer,
                       voxl::ALawToLinearBuffer,
                       ReferenceEncodeBuffer<ReferenceALaw>,
                       ReferenceDecodeBuffer<ReferenceALawDecode>};
const Case kMuLawEncode{"mu-law",
                        WAVE_FORMAT_MULAW,
                        true,
                        voxl::LinearToMuLawBuffer,
                        voxl::MuLawToLinearBuffer,
                        ReferenceEncodeBuffer<ReferenceMuLaw>,
                        ReferenceDecodeBuffer<ReferenceMuLawDecode>};
Case Decoding(Case c) {
  c.encode = false;
  return c;
}
const Case kALawDecode = Decoding(kALawEncode);
const Case kMuLawDecode = Decoding(kMuLawEncode);

// ---- Data and files.

const std::vector<int16_t>& Samples() {
  static const std::vector<int16_t> samples = [] {
    std::vector<int16_t> s(kSamples);
    uint32_t noise = 12345;
    for (std::size_t frame = 0; frame < kSamples / kChannels; ++frame) {
      const double tone = 20000.0 * std::sin(static_cast<double>(frame) * 0.0627);
      for (std::size_t c = 0; c < kChannels; ++c) {
        noise = noise * 1664525u + 1013904223u;
        const double jitter = static_cast<double>(static_cast<int32_t>(noise >> 16) - 32768);
        s[frame * kChannels + c] =
            static_cast<int16_t>(std::clamp(tone + jitter * 0.2, -32768.0, 32767.0));
      }
    }
    return s;
  }();
  return samples;
}

Scratch& TheScratch() {
  static Scratch scratch("g711-bench");
  return scratch;
}

bool WriteWave(const std::string& path, uint16_t tag, const void* data, std::size_t bytes) {
  const bool pcm = tag == WAVE_FORMAT_PCM;
  const uint16_t bits = pcm ? 16 : 8;
  const uint16_t align = static_cast<uint16_t>(kChannels * bits / 8);
  const WAVEFORMATEX format{tag, kChannels, kRate, kRate * align, align, bits, 0};
  const uint32_t formatBytes = pcm ? 16 : 18;
  std::string header = "RIFF";
  const uint32_t factBytes = pcm ? 0 : 12;
  PutU32(header, static_cast<uint32_t>(4 + 8 + formatBytes + factBytes + 8 + bytes));
  header += "WAVEfmt ";
  PutU32(header, formatBytes);
  header.append(reinterpret_cast<const char*>(&format), formatBytes);
  if (!pcm) {
    header += "fact";
    PutU32(header, 4);
    PutU32(header, static_cast<uint32_t>(bytes / align));
  }
  header += "data";
  PutU32(header, static_cast<uint32_t>(bytes));
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  out.write(header.data(), static_cast<std::streamsize>(header.size()));
  out.write(static_cast<const char*>(data), static_cast<std::streamsize>(bytes));
  return static_cast<bool>(out.flush());
}

// The input of a case, written once per run; empty when it cannot be written.
std::string InputFile(const Case& c) {
  Scratch& scratch = TheScratch();
  if (!scratch.ok()) return {};
  const std::vector<int16_t>& samples = Samples();
  if (c.encode) {
    static const std::string pcm = [&] {
      const std::string path = scratch.File("input.wav");
      return WriteWave(path, WAVE_FORMAT_PCM, samples.data(), samples.size() * 2) ? path : "";
    }();
    return pcm;
  }
  const std::string path = scratch.File(std::string("input-") + c.soxEncoding + ".wav");
  if (access(path.c_str(), R_OK) == 0) return path;
  std::vector<uint8_t> codes(samples.size());
  c.ours(samples.data(), samples.size(), codes.data());
  return WriteWave(path, c.tag, codes.data(), codes.size()) ? path : "";
}

// ---- Processes.

// Whether `path` holds the expected audio bytes plus no more than a header's worth.
bool SizeFits(const std::string& path, std::size_t dataBytes) {
  struct stat st {};
  if (stat(path.c_str(), &st) != 0) return false;
  const auto size = static_cast<std::size_t>(st.st_size);
  return size >= dataBytes && size <= dataBytes + 256;
}

void BM_WholeProcess(benchmark::State& state, const Case& c) {
  const std::string input = InputFile(c);
  if (input.empty()) {
    state.SkipWithError("cannot write the input file");
    return;
  }
  const std::string oursOut = TheScratch().File("ours.wav");
  const std::string soxOut = TheScratch().File("sox.wav");
  const std::string target = c.encode ? c.soxEncoding : "signed";
  const std::vector<std::string> ours = {VOXL_G711_CONVERT, input, oursOut, target};
  const std::vector<std::string> sox = {
      "sox", "-D", "-V1", input, "-e", target, "-b", c.encode ? "8" : "16", soxOut};
  const std::size_t outBytes = c.encode ? kSamples : kSamples * 2;

  Best cpu, wall;
  bool soxFirst = false;
  for (auto _ : state) {
    unlink(oursOut.c_str());
    unlink(soxOut.c_str());
    const auto [o, s] = voxl::bench::RunAlternating(
        soxFirst, [&] { return voxl::bench::RunProgram(ours); },
        [&] { return voxl::bench::RunProgram(sox); });
    if (o.cpu < 0 || !SizeFits(oursOut, outBytes)) {
      state.SkipWithError("bench_g711_convert failed");
      break;
    }
    if (s.cpu < 0 || !SizeFits(soxOut, outBytes)) {
      state.SkipWithError("sox is not installed or failed; no peer to compare with");
      break;
    }
    cpu.Add(o.cpu, s.cpu);
    wall.Add(o.wall, s.wall);
  }
  unlink(oursOut.c_str());
  unlink(soxOut.c_str());
  if (cpu.Valid()) {
    state.counters["ratio_vs_sox_cpu"] = cpu.PeerOverOurs();
    state.counters["ratio_vs_sox_wall"] = wall.PeerOverOurs();
  }
}

// ---- Kernels.

double ThreadSeconds() {
  return voxl::bench::Now(CLOCK_THREAD_CPUTIME_ID);
}

// Whether our buffer functions and the reference agree on every sample value and every code.
bool ReferenceAgrees(const Case& c) {
  std::vector<int16_t> values(65536);
  for (int i = 0; i < 65536; ++i) values[i] = static_cast<int16_t>(i - 32768);
  std::vector<uint8_t> ours(values.size()), theirs(values.size());
  c.ours(values.data(), values.size(), ours.data());
  c.reference(values.data(), values.size(), theirs.data());
  if (ours != theirs) return false;
  std::vector<uint8_t> codes(256);
  for (int i = 0; i < 256; ++i) codes[i] = static_cast<uint8_t>(i);
  std::vector<int16_t> oursDecoded(256), theirsDecoded(256);
  c.oursDecode(codes.data(), codes.size(), oursDecoded.data());
  c.referenceDecode(codes.data(), codes.size(), theirsDecoded.data());
  return oursDecoded == theirsDecoded;
}

void BM_Kernel(benchmark::State& state, const Case& c) {
  if (!ReferenceAgrees(c)) {
    state.SkipWithError("the reference does not give our results; the comparison would be unfair");
    return;
  }
  const std::vector<int16_t>& samples = Samples();
  std::vector<uint8_t> codes(samples.size());
  c.ours(samples.data(), samples.size(), codes.data());
  std::vector<int16_t> decoded(c.encode ? 0 : samples.size());
  std::vector<uint8_t> encoded(c.encode ? samples.size() : 0);

  auto runOurs = [&] {
    const double t0 = ThreadSeconds();
    if (c.encode) {
      c.ours(samples.data(), samples.size(), encoded.data());
      benchmark::DoNotOptimize(encoded.data());
    } else {
      c.oursDecode(codes.data(), codes.size(), decoded.data());
      benchmark::DoNotOptimize(decoded.data());
    }
    benchmark::ClobberMemory();
    return ThreadSeconds() - t0;
  };
  auto runReference = [&] {
    const double t0 = ThreadSeconds();
    if (c.encode) {
      c.reference(samples.data(), samples.size(), encoded.data());
      benchmark::DoNotOptimize(encoded.data());
    } else {
      c.referenceDecode(codes.data(), codes.size(), decoded.data());
      benchmark::DoNotOptimize(decoded.data());
    }
    benchmark::ClobberMemory();
    return ThreadSeconds() - t0;
  };

  Best best;
  bool referenceFirst = false;
  for (auto _ : state) {
    const auto [ours, reference] =
        voxl::bench::RunAlternating(referenceFirst, runOurs, runReference);
    best.Add(ours, reference);
  }
  if (best.Valid()) state.counters["ratio_vs_reference"] = best.PeerOverOurs();
}

constexpr int kProcessRounds = 7;
constexpr int kKernelRounds = 9;
BENCHMARK_CAPTURE(BM_WholeProcess, ALawEncode, kALawEncode)->Iterations(kProcessRounds);
BENCHMARK_CAPTURE(BM_WholeProcess, MuLawEncode, kMuLawEncode)->Iterations(kProcessRounds);
BENCHMARK_CAPTURE(BM_WholeProcess, ALawDecode, kALawDecode)->Iterations(kProcessRounds);
BENCHMARK_CAPTURE(BM_WholeProcess, MuLawDecode, kMuLawDecode)->Iterations(kProcessRounds);
BENCHMARK_CAPTURE(BM_Kernel, ALawEncode, kALawEncode)->Iterations(kKernelRounds);
BENCHMARK_CAPTURE(BM_Kernel, MuLawEncode, kMuLawEncode)->Iterations(kKernelRounds);
BENCHMARK_CAPTURE(BM_Kernel, ALawDecode, kALawDecode)->Iterations(kKernelRounds);
BENCHMARK_CAPTURE(BM_Kernel, MuLawDecode, kMuLawDecode)->Iterations(kKernelRounds);

}  // namespace

BENCHMARK_MAIN();
