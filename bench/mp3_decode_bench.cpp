// MPEG Layer-3 decoding: 600 s of a 128 kbit/s 44100 Hz joint-stereo stream (9.6 MB) decoded to
// a 16-bit PCM WAVE file (105.8 MB), through the codec manager against libmpg123 called
// directly, both in this process (mp3_kernels.h).  The whole-process race, voxl convert against
// the mpg123 program: convert_bench.cpp.
//
// BM_Mp3Decode: the stream is encoded once per run by our own encoder (a minute of a music-like
//   signal: chords of harmonic notes that change four times a second, with some noise; the
//   minute's frames repeated ten times, which is a valid stream since each minute's first frame
//   borrows no bits from before it) and stored in $TMPDIR (or /tmp, in the page cache).  Ours
//   reads the file, converts it through acmStreamConvert in 16 KiB pieces (START on the first,
//   END on the last) and writes the PCM to a new WAVE file with write(2).  The peer opens the
//   file with mpg123_open, reads the PCM with mpg123_read as the mpg123 program does and writes
//   the same WAVE file; both decode with the same libmpg123, so the figure shows what the codec
//   manager adds.  Both are timed in process CPU time (user + system).  Each round runs both,
//   the order alternating; each side keeps its best round (other programs only ever add time).
//   Both outputs must hold the same number of PCM bytes, within 1 %.
//   Counters:
//     audio_s_per_cpu_s        seconds of audio one second of CPU decodes;
//     cpu_ratio_vs_libmpg123   our CPU time over libmpg123's (1 = the same cost).
//   Goal: cpu_ratio_vs_libmpg123 of at most 1.1.
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
#include <cstring>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "alternate.h"
#include "bench_support.h"
#include "mp3_kernels.h"
#include "platform/acm/acm.h"

extern char** environ;

namespace {

using voxl::bench::Scratch;

constexpr uint32_t kRate = 44100;
constexpr uint16_t kChannels = 2;
constexpr uint32_t kKbps = 128;
constexpr uint32_t kMinuteRepeats = 10;
constexpr uint32_t kAudioSeconds = 60 * kMinuteRepeats;
constexpr uint32_t kPieceBytes = 16384;

const WAVEFORMATEX kPcm{WAVE_FORMAT_PCM, kChannels, kRate, kRate* kChannels * 2,
                        kChannels * 2,   16,        0};

MPEGLAYER3WAVEFORMAT Mp3Format() {
  MPEGLAYER3WAVEFORMAT f{};
  f.wfx = WAVEFORMATEX{WAVE_FORMAT_MPEGLAYER3,    kChannels, kRate, kKbps * 1000 / 8, 1, 0,
                       MPEGLAYER3_WFX_EXTRA_BYTES};
  f.wID = MPEGLAYER3_ID_MPEG;
  f.fdwFlags = MPEGLAYER3_FLAG_PADDING_ISO;
  f.nBlockSize = 144000 * kKbps / kRate;
  f.nFramesPerBlock = 1;
  return f;
}

// A minute of chords of harmonic notes changing four times a second, with some noise.
std::vector<int16_t> Minute() {
  std::vector<int16_t> s(size_t{60} * kRate * kChannels);
  const double roots[] = {220.0, 246.9, 261.6, 293.7, 329.6, 349.2, 392.0};
  uint32_t noise = 12345;
  for (size_t i = 0; i < s.size() / kChannels; ++i) {
    const double t = static_cast<double>(i) / kRate;
    const double root = roots[(i / (kRate / 4)) % std::size(roots)];
    double v = 0;
    for (double ratio : {1.0, 1.26, 1.5}) {
      for (int h = 1; h <= 4; ++h) v += 2500.0 / h * std::sin(2 * M_PI * root * ratio * h * t);
    }
    for (size_t c = 0; c < kChannels; ++c) {
      noise = noise * 1664525u + 1013904223u;
      s[i * kChannels + c] =
          static_cast<int16_t>(v * (c == 0 ? 1.0 : 0.8) + static_cast<int>(noise >> 24) - 128);
    }
  }
  return s;
}

// Converts `input` through one stream from `source` to `dest`, handing each output piece to
// `sink`; false when a call fails.
template <typename Sink>
bool ConvertAll(const WAVEFORMATEX* source, const WAVEFORMATEX* dest, const uint8_t* input,
                size_t bytes, Sink sink) {
  HACMSTREAM stream = nullptr;
  if (acmStreamOpen(&stream, nullptr, const_cast<WAVEFORMATEX*>(source),
                    const_cast<WAVEFORMATEX*>(dest), nullptr, 0, 0, 0) != 0) {
    return false;
  }
  DWORD outBytes = 0;
  acmStreamSize(stream, kPieceBytes, &outBytes, ACM_STREAMSIZEF_SOURCE);
  std::vector<uint8_t> in(kPieceBytes), out(std::max<DWORD>(outBytes, 1));
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h;
  h.pbSrc = in.data();
  h.cbSrcLength = kPieceBytes;
  h.pbDst = out.data();
  h.cbDstLength = static_cast<DWORD>(out.size());
  bool ok = acmStreamPrepareHeader(stream, &h, 0) == 0;
  DWORD flags = ACM_STREAMCONVERTF_START;
  for (size_t next = 0; ok;) {
    const size_t take = std::min<size_t>(kPieceBytes, bytes - next);
    std::memcpy(in.data(), input + next, take);
    next += take;
    const bool last = next == bytes;
    h.cbSrcLength = static_cast<DWORD>(take);
    ok = acmStreamConvert(stream, &h, flags | (last ? ACM_STREAMCONVERTF_END : 0)) == 0 &&
         h.cbSrcLengthUsed == take;
    sink(out.data(), h.cbDstLengthUsed);
    flags = 0;
    if (!last) continue;
    // What did not fit the last call comes with further END calls.
    while (ok && h.cbDstLengthUsed == h.cbDstLength) {
      h.cbSrcLength = 0;
      ok = acmStreamConvert(stream, &h, ACM_STREAMCONVERTF_END) == 0;
      sink(out.data(), h.cbDstLengthUsed);
    }
    break;
  }
  acmStreamUnprepareHeader(stream, &h, 0);
  acmStreamClose(stream, 0);
  return ok;
}

// The stream, written once per run; empty when it cannot be made.
std::string StreamFile(const Scratch& scratch) {
  const std::vector<int16_t> minute = Minute();
  std::vector<uint8_t> encoded;
  const MPEGLAYER3WAVEFORMAT mp3 = Mp3Format();
  if (!scratch.ok() || !ConvertAll(&kPcm, &mp3.wfx, reinterpret_cast<const uint8_t*>(minute.data()),
                                   minute.size() * 2, [&](const uint8_t* p, DWORD n) {
                                     encoded.insert(encoded.end(), p, p + n);
                                   })) {
    return {};
  }
  const std::string path = scratch.File("stream.mp3");
  std::ofstream out(path, std::ios::binary | std::ios::trunc);
  for (uint32_t i = 0; i < kMinuteRepeats; ++i) {
    out.write(reinterpret_cast<const char*>(encoded.data()),
              static_cast<std::streamsize>(encoded.size()));
  }
  return out.flush() ? path : "";
}

double ProcessSeconds() {
  return voxl::bench::Now(CLOCK_PROCESS_CPUTIME_ID);
}

void PutU32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

// Ours: the file read, decoded and written as a WAVE file.  CPU seconds, and the PCM bytes.
double DecodeOurs(const std::string& stream, const std::string& wave, uint64_t* pcmBytes) {
  const double start = ProcessSeconds();
  std::ifstream in(stream, std::ios::binary);
  const std::vector<uint8_t> bytes((std::istreambuf_iterator<char>(in)),
                                   std::istreambuf_iterator<char>());
  const int fd = ::open(wave.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  if (fd < 0) return -1;
  uint8_t header[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16};
  std::memcpy(header + 20, &kPcm, 16);
  std::memcpy(header + 36, "data", 4);
  bool ok = ::write(fd, header, sizeof header) == sizeof header;
  uint64_t written = 0;
  const MPEGLAYER3WAVEFORMAT mp3 = Mp3Format();
  ok = ConvertAll(&mp3.wfx, &kPcm, bytes.data(), bytes.size(),
                  [&](const uint8_t* p, DWORD n) {
                    ok = ok && ::write(fd, p, n) == static_cast<ssize_t>(n);
                    written += n;
                  }) &&
       ok;
  PutU32(header + 4, static_cast<uint32_t>(written + 36));
  PutU32(header + 40, static_cast<uint32_t>(written));
  ok = ok && ::pwrite(fd, header, sizeof header, 0) == sizeof header;
  ::close(fd);
  *pcmBytes = written;
  return ok ? ProcessSeconds() - start : -1;
}

void BM_Mp3Decode(benchmark::State& state) {
  const Scratch scratch("mp3-decode-bench");
  const std::string stream = StreamFile(scratch);
  if (stream.empty()) {
    state.SkipWithError("cannot encode the stream");
    return;
  }
  const std::string oursOut = scratch.File("ours.wav");
  const std::string peerOut = scratch.File("libmpg123.wav");
  double bestOurs = 0, bestPeer = 0;
  bool peerFirst = false;
  for (auto _ : state) {
    unlink(oursOut.c_str());
    unlink(peerOut.c_str());
    uint64_t pcmBytes = 0, peerBytes = 0;
    const auto [ours, theirs] = voxl::bench::RunAlternating(
        peerFirst, [&] { return DecodeOurs(stream, oursOut, &pcmBytes); },
        [&] { return voxl::bench::Mpg123InProcess(stream, peerOut, &peerBytes); });
    if (ours < 0 || pcmBytes < uint64_t{kAudioSeconds} * kPcm.nAvgBytesPerSec * 99 / 100) {
      state.SkipWithError("our decoding failed or gave too little");
      break;
    }
    if (theirs < 0 || peerBytes < pcmBytes * 99 / 100 || peerBytes > pcmBytes * 101 / 100) {
      state.SkipWithError("libmpg123 failed, or decoded another length");
      break;
    }
    bestOurs = bestOurs > 0 ? std::min(bestOurs, ours) : ours;
    bestPeer = bestPeer > 0 ? std::min(bestPeer, theirs) : theirs;
  }
  if (bestOurs > 0 && bestPeer > 0) {
    state.counters["audio_s_per_cpu_s"] = kAudioSeconds / bestOurs;
    state.counters["cpu_ratio_vs_libmpg123"] = bestOurs / bestPeer;
    state.SetLabel("in process: the codec manager vs libmpg123 called directly");
  }
}

BENCHMARK(BM_Mp3Decode)->Iterations(5)->Unit(benchmark::kSecond);

}  // namespace

BENCHMARK_MAIN();
