// File conversion, `voxl convert` against the programs that do the same job, whole process
// against whole process (process_race.h): encoding and decoding MS ADPCM (ffmpeg and sox), GSM
// 6.10 (sox and ffmpeg's libgsm_ms) and MPEG Layer-3 (lame to encode, mpg123 -w to decode), and
// changing the rate (sox).  IMA ADPCM: ima_bench.cpp.
//
// Inputs, made with sox in $TMPDIR (or /tmp, in the page cache) once per run: 600 s of pink noise
// at 44100 Hz stereo 16-bit (105.8 MB), and at 8000 Hz mono for GSM 6.10 (the only format it
// has).  The encoded inputs of the decoding races are made by voxl convert (the ADPCM and GSM
// files) and lame (a 128 kbit/s stream, which voxl reads with --mpeg); both sides decode the same
// file to 16-bit PCM.  Peers decode and encode without dither (sox -D), as voxl does.  voxl runs
// with VOXL_AUDIO_DRIVER=virtual: a conversion needs no device, and a sound server's start-up
// would only add noise.
//
// Goals (cpu_ratio_min, our CPU time over the peer's, at most): MS ADPCM encoding 1.0 against
// ffmpeg, MPEG Layer-3 encoding 1.05 against lame, decoding 1.1 against mpg123.
//
// BM_ResampleSnr: a 1 kHz tone at -1 dBFS, 10 s at 44100 Hz, taken to 8000 Hz and back by voxl
// convert and by sox (its default, high-quality rate conversion); the signal-to-noise ratio of
// each result against the original over the middle 8 s (the ends see the filters start and stop):
//   snr_db_ours, snr_db_sox, snr_ours_minus_sox_db (above 0 = ours is cleaner).
#include <benchmark/benchmark.h>
#include <stdlib.h>

#include <cmath>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"
#include "process_race.h"

namespace {

using voxl::bench::Race;
using voxl::bench::Scratch;
using voxl::bench::Shell;

const Scratch& Folder() {
  static const Scratch scratch("convert-bench");
  return scratch;
}
std::string F(const std::string& name) {
  return Folder().File(name);
}

const std::string kVoxl = VOXL_BINARY;

// The inputs, made on first use; false when a tool to make them is missing.
bool Inputs() {
  static const bool made = [] {
    setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
    return Folder().ok() &&
           Shell("sox -n -r 44100 -b 16 -c 2 " + F("pcm.wav") + " synth 600 pinknoise vol 0.5") &&
           Shell("sox -n -r 8000 -b 16 -c 1 " + F("pcm8k.wav") + " synth 600 pinknoise vol 0.5") &&
           Shell(kVoxl + " convert -q " + F("pcm.wav") + " " + F("adpcm.wav") +
                 " --format adpcm") &&
           Shell(kVoxl + " convert -q " + F("pcm8k.wav") + " " + F("gsm.wav") + " --format gsm") &&
           Shell("lame --silent --cbr -b 128 " + F("pcm.wav") + " " + F("stream.mp3"));
  }();
  return made;
}

Race Against(const std::string& in, const std::vector<std::string>& args, const std::string& peer,
             std::vector<std::string> peerArgs, const std::string& peerOut, double goal) {
  return voxl::bench::VoxlAgainst(kVoxl, F(in), F("ours.wav"), args, peer, std::move(peerArgs),
                                  peerOut, goal);
}

void BM_Convert(benchmark::State& state, Race (*make)()) {
  if (!Inputs()) {
    state.SkipWithError("cannot make the inputs (sox, lame and voxl needed)");
    return;
  }
  voxl::bench::RunRace(state, make());
}

Race AdpcmEncodeFfmpeg() {
  const std::string out = F("peer.wav");
  return Against("pcm.wav", {"--format", "adpcm"}, "ffmpeg -c:a adpcm_ms",
                 voxl::bench::FfmpegArgs(F("pcm.wav"), "adpcm_ms", out), out, 1.0);
}
Race AdpcmEncodeSox() {
  const std::string out = F("peer.wav");
  return Against("pcm.wav", {"--format", "adpcm"}, "sox -D -e ms-adpcm",
                 {"sox", "-D", F("pcm.wav"), "-e", "ms-adpcm", out}, out, 0);
}
Race AdpcmDecodeFfmpeg() {
  const std::string out = F("peer.wav");
  return Against("adpcm.wav", {}, "ffmpeg -c:a pcm_s16le",
                 voxl::bench::FfmpegArgs(F("adpcm.wav"), "pcm_s16le", out), out, 0);
}
Race AdpcmDecodeSox() {
  const std::string out = F("peer.wav");
  return Against("adpcm.wav", {}, "sox -D -e signed -b 16",
                 {"sox", "-D", F("adpcm.wav"), "-e", "signed", "-b", "16", out}, out, 0);
}
Race GsmEncodeSox() {
  const std::string out = F("peer.wav");
  return Against("pcm8k.wav", {"--format", "gsm"}, "sox -D -e gsm-full-rate",
                 {"sox", "-D", F("pcm8k.wav"), "-e", "gsm-full-rate", out}, out, 0);
}
Race GsmEncodeFfmpeg() {
  const std::string out = F("peer.wav");
  return Against("pcm8k.wav", {"--format", "gsm"}, "ffmpeg -c:a libgsm_ms",
                 voxl::bench::FfmpegArgs(F("pcm8k.wav"), "libgsm_ms", out), out, 0);
}
Race GsmDecodeSox() {
  const std::string out = F("peer.wav");
  return Against("gsm.wav", {}, "sox -D -e signed -b 16",
                 {"sox", "-D", F("gsm.wav"), "-e", "signed", "-b", "16", out}, out, 0);
}
Race GsmDecodeFfmpeg() {
  const std::string out = F("peer.wav");
  return Against("gsm.wav", {}, "ffmpeg -c:a pcm_s16le",
                 voxl::bench::FfmpegArgs(F("gsm.wav"), "pcm_s16le", out), out, 0);
}
Race Mp3EncodeLame() {
  const std::string out = F("peer.mp3");
  return Against(
      "pcm.wav", {"--format", "mp3", "--bitrate", "128"}, "lame --cbr -b 128 --noreplaygain",
      {"lame", "--silent", "--cbr", "-b", "128", "--noreplaygain", F("pcm.wav"), out}, out, 1.05);
}
Race Mp3DecodeMpg123() {
  const std::string out = F("peer.wav");
  return Against("stream.mp3", {"--mpeg"}, "mpg123 -w",
                 {"mpg123", "-q", "-w", out, F("stream.mp3")}, out, 1.1);
}
Race ResampleSox() {
  const std::string out = F("peer.wav");
  return Against("pcm.wav", {"--rate", "48000"}, "sox -D -r 48000",
                 {"sox", "-D", F("pcm.wav"), "-r", "48000", out}, out, 0);
}

// The 16-bit samples of a PCM WAVE file (empty when it is none).
std::vector<int16_t> ReadSamples(const std::string& path) {
  std::ifstream in(path, std::ios::binary);
  const std::string bytes((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
  for (size_t at = 12; at + 8 <= bytes.size();) {
    uint32_t size = 0;
    std::memcpy(&size, bytes.data() + at + 4, 4);
    if (bytes.compare(at, 4, "data") == 0) {
      std::vector<int16_t> s(std::min<size_t>(size, bytes.size() - at - 8) / 2);
      std::memcpy(s.data(), bytes.data() + at + 8, s.size() * 2);
      return s;
    }
    at += 8 + size + (size & 1);
  }
  return {};
}

// The signal-to-noise ratio of `got` against `want` over frames [from, to), in dB.
double Snr(const std::vector<int16_t>& want, const std::vector<int16_t>& got, size_t from,
           size_t to) {
  double signal = 0, noise = 0;
  for (size_t i = from; i < to && i < want.size() && i < got.size(); ++i) {
    signal += double(want[i]) * want[i];
    noise += (double(got[i]) - want[i]) * (double(got[i]) - want[i]);
  }
  return noise > 0 ? 10 * std::log10(signal / noise) : 200;
}

void BM_ResampleSnr(benchmark::State& state) {
  setenv("VOXL_AUDIO_DRIVER", "virtual", 1);
  const std::string tone = F("tone.wav");
  if (!Folder().ok() ||
      !Shell("sox -n -r 44100 -b 16 -c 1 " + tone + " synth 10 sine 1000 gain -1")) {
    state.SkipWithError("cannot make the tone (sox needed)");
    return;
  }
  double ours = 0, sox = 0;
  for (auto _ : state) {
    if (!Shell(kVoxl + " convert -q " + tone + " " + F("v8.wav") + " --rate 8000") ||
        !Shell(kVoxl + " convert -q " + F("v8.wav") + " " + F("v44.wav") + " --rate 44100") ||
        !Shell("sox -D " + tone + " -r 8000 " + F("s8.wav")) ||
        !Shell("sox -D " + F("s8.wav") + " -r 44100 " + F("s44.wav"))) {
      state.SkipWithError("a conversion failed");
      return;
    }
    const std::vector<int16_t> want = ReadSamples(tone);
    ours = Snr(want, ReadSamples(F("v44.wav")), 44100, 9 * 44100);
    sox = Snr(want, ReadSamples(F("s44.wav")), 44100, 9 * 44100);
  }
  state.counters["snr_db_ours"] = ours;
  state.counters["snr_db_sox"] = sox;
  state.counters["snr_ours_minus_sox_db"] = ours - sox;
  state.SetLabel("whole processes: voxl convert --rate vs sox -r, 44100 -> 8000 -> 44100 Hz");
}

const int kRounds = [] {
  const struct {
    const char* name;
    Race (*make)();
    int rounds;
  } races[] = {
      {"AdpcmEncode/ffmpeg", AdpcmEncodeFfmpeg, 5}, {"AdpcmEncode/sox", AdpcmEncodeSox, 5},
      {"AdpcmDecode/ffmpeg", AdpcmDecodeFfmpeg, 5}, {"AdpcmDecode/sox", AdpcmDecodeSox, 5},
      {"GsmEncode/sox", GsmEncodeSox, 5},           {"GsmEncode/ffmpeg", GsmEncodeFfmpeg, 5},
      {"GsmDecode/sox", GsmDecodeSox, 5},           {"GsmDecode/ffmpeg", GsmDecodeFfmpeg, 5},
      {"Mp3Encode/lame", Mp3EncodeLame, 3},         {"Mp3Decode/mpg123", Mp3DecodeMpg123, 5},
      {"Resample48000/sox", ResampleSox, 3}};
  for (const auto& race : races) {
    benchmark::RegisterBenchmark((std::string("BM_Convert/") + race.name).c_str(), BM_Convert,
                                 race.make)
        ->Iterations(race.rounds)
        ->Unit(benchmark::kSecond);
  }
  benchmark::RegisterBenchmark("BM_ResampleSnr", BM_ResampleSnr)->Iterations(1);
  return 0;
}();

}  // namespace

BENCHMARK_MAIN();
