// bench_g711_convert: converts a WAVE file between 16-bit PCM and G.711 with the recorder's own
// code, file to file, so that bench_g711 can time it as a whole process against sox doing the same
// conversion of the same file.
//
//   bench_g711_convert IN OUT a-law    16-bit PCM IN -> A-law OUT (8 bits)
//   bench_g711_convert IN OUT mu-law   16-bit PCM IN -> mu-law OUT (8 bits)
//   bench_g711_convert IN OUT signed   A-law or mu-law IN -> 16-bit PCM OUT
//
// Files are read and written with the mmio functions (unbuffered, as the recorder uses them), a
// tenth of a second of audio at a time, which is the capture path's device buffer; the samples
// are converted in place by the G.711 buffer functions, as capture does.  OUT is laid out as the
// recorder lays out its own files: "fmt " with the 18-byte format record, "fact" for G.711,
// then "data".  Exit status: 0 done, 1 unreadable input or a failed write, 2 bad arguments.
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <string_view>
#include <vector>

#include "platform/acm/g711/g711.h"
#include "platform/mmio/mmio.h"

namespace {

constexpr FOURCC kWave = mmioFOURCC('W', 'A', 'V', 'E');
constexpr FOURCC kFmt = mmioFOURCC('f', 'm', 't', ' ');
constexpr FOURCC kFact = mmioFOURCC('f', 'a', 'c', 't');
constexpr FOURCC kData = mmioFOURCC('d', 'a', 't', 'a');
constexpr LONG kFormatBytes = sizeof(WAVEFORMATEX);  // 18

bool IsG711(uint16_t tag) {
  return tag == WAVE_FORMAT_ALAW || tag == WAVE_FORMAT_MULAW;
}

// The input's format and its data chunk; the file is left at the first data byte.
bool OpenInput(HMMIO in, WAVEFORMATEX& format, MMCKINFO& data) {
  MMCKINFO form{};
  form.fccType = kWave;
  if (mmioDescend(in, &form, nullptr, MMIO_FINDRIFF) != 0) return false;
  MMCKINFO fmt{};
  fmt.ckid = kFmt;
  if (mmioDescend(in, &fmt, &form, MMIO_FINDCHUNK) != 0 || fmt.cksize < 16) return false;
  const LONG want = fmt.cksize < kFormatBytes ? static_cast<LONG>(fmt.cksize) : kFormatBytes;
  format = WAVEFORMATEX{};
  if (mmioRead(in, reinterpret_cast<HPSTR>(&format), want) != want) return false;
  if (mmioAscend(in, &fmt, 0) != 0) return false;
  data = MMCKINFO{};
  data.ckid = kData;
  return mmioDescend(in, &data, &form, MMIO_FINDCHUNK) == 0;
}

bool Convert(HMMIO in, HMMIO out, const WAVEFORMATEX& from, uint32_t dataBytes, uint16_t toTag) {
  const uint16_t channels = from.nChannels;
  const uint16_t outBits = toTag == WAVE_FORMAT_PCM ? 16 : 8;
  const uint16_t outAlign = static_cast<uint16_t>(channels * outBits / 8);
  const WAVEFORMATEX to{
      toTag, channels, from.nSamplesPerSec, from.nSamplesPerSec * outAlign, outAlign, outBits, 0};
  const uint32_t frames = dataBytes / from.nBlockAlign;

  MMCKINFO form{FOURCC_RIFF, 0, kWave, 0, 0};
  MMCKINFO fmt{kFmt, 0, 0, 0, 0};
  MMCKINFO fact{kFact, 0, 0, 0, 0};
  MMCKINFO data{kData, 0, 0, 0, 0};
  if (mmioCreateChunk(out, &form, MMIO_CREATERIFF) != 0 || mmioCreateChunk(out, &fmt, 0) != 0 ||
      mmioWrite(out, reinterpret_cast<const char*>(&to), kFormatBytes) != kFormatBytes ||
      mmioAscend(out, &fmt, 0) != 0) {
    return false;
  }
  if (IsG711(toTag)) {
    if (mmioCreateChunk(out, &fact, 0) != 0 ||
        mmioWrite(out, reinterpret_cast<const char*>(&frames), 4) != 4 ||
        mmioAscend(out, &fact, 0) != 0) {
      return false;
    }
  }
  if (mmioCreateChunk(out, &data, 0) != 0) return false;

  // One device buffer: a tenth of a second in whole frames, with room for decoding in place.
  const uint32_t pieceFrames = from.nSamplesPerSec / 10 > 0 ? from.nSamplesPerSec / 10 : 1;
  const uint32_t pieceBytes = pieceFrames * from.nBlockAlign;
  std::vector<uint8_t> buffer(2u * pieceBytes);
  const uint32_t total = frames * from.nBlockAlign;
  for (uint32_t done = 0; done < total;) {
    const LONG want = static_cast<LONG>(total - done < pieceBytes ? total - done : pieceBytes);
    if (mmioRead(in, reinterpret_cast<HPSTR>(buffer.data()), want) != want) return false;
    done += static_cast<uint32_t>(want);
    LONG bytes;
    if (toTag == WAVE_FORMAT_ALAW) {
      voxl::LinearToALawBuffer(buffer.data(), static_cast<size_t>(want) / 2, buffer.data());
      bytes = want / 2;
    } else if (toTag == WAVE_FORMAT_MULAW) {
      voxl::LinearToMuLawBuffer(buffer.data(), static_cast<size_t>(want) / 2, buffer.data());
      bytes = want / 2;
    } else if (from.wFormatTag == WAVE_FORMAT_ALAW) {
      voxl::ALawToLinearBuffer(buffer.data(), static_cast<size_t>(want), buffer.data());
      bytes = want * 2;
    } else {
      voxl::MuLawToLinearBuffer(buffer.data(), static_cast<size_t>(want), buffer.data());
      bytes = want * 2;
    }
    if (mmioWrite(out, reinterpret_cast<const char*>(buffer.data()), bytes) != bytes) return false;
  }
  return mmioAscend(out, &data, 0) == 0 && mmioAscend(out, &form, 0) == 0;
}

}  // namespace

int main(int argc, char** argv) {
  if (argc != 4) {
    std::fprintf(stderr, "usage: bench_g711_convert IN OUT a-law|mu-law|signed\n");
    return 2;
  }
  const std::string_view target = argv[3];
  uint16_t toTag;
  if (target == "a-law") {
    toTag = WAVE_FORMAT_ALAW;
  } else if (target == "mu-law") {
    toTag = WAVE_FORMAT_MULAW;
  } else if (target == "signed") {
    toTag = WAVE_FORMAT_PCM;
  } else {
    std::fprintf(stderr, "bench_g711_convert: unknown target encoding '%s'\n", argv[3]);
    return 2;
  }

  HMMIO in = mmioOpenA(argv[1], nullptr, MMIO_READ);
  if (in == nullptr) {
    std::fprintf(stderr, "bench_g711_convert: cannot open %s\n", argv[1]);
    return 1;
  }
  WAVEFORMATEX from{};
  MMCKINFO data{};
  const bool encode = toTag != WAVE_FORMAT_PCM;
  const bool usable = OpenInput(in, from, data) && from.nChannels > 0 &&
                      (encode ? from.wFormatTag == WAVE_FORMAT_PCM && from.wBitsPerSample == 16
                              : IsG711(from.wFormatTag) && from.wBitsPerSample == 8) &&
                      from.nBlockAlign == from.nChannels * from.wBitsPerSample / 8;
  if (!usable) {
    std::fprintf(stderr, "bench_g711_convert: %s is not a WAVE file this conversion takes\n",
                 argv[1]);
    mmioClose(in, 0);
    return 1;
  }
  HMMIO out = mmioOpenA(argv[2], nullptr, MMIO_CREATE | MMIO_WRITE);
  if (out == nullptr) {
    std::fprintf(stderr, "bench_g711_convert: cannot create %s\n", argv[2]);
    mmioClose(in, 0);
    return 1;
  }
  const bool converted = Convert(in, out, from, data.cksize, toTag);
  const bool closed = mmioClose(out, 0) == 0;
  mmioClose(in, 0);
  if (!converted || !closed) {
    std::fprintf(stderr, "bench_g711_convert: conversion to %s failed\n", argv[2]);
    return 1;
  }
  return 0;
}
