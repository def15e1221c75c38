// The settings that shape the next recording.
#include "wavefile/recording_settings.h"

#include <algorithm>
#include <iterator>

#include "wavefile/frames.h"

namespace voxl {
namespace {

constexpr uint32_t kSampleRates[] = {6000,  8000,  11025, 16000, 22050, 32000,
                                     44100, 48000, 64000, 88200, 96000, 192000};

void ApplyMaxLengthSeconds(Recorder& r, double seconds) {
  r.maxLengthSeconds = seconds;
  r.maxLengthSamples = SecondsToFrames(seconds, r.sampleRate);
}

}  // namespace

uint32_t SetFileKind(Recorder& r, int16_t kind) {
  if (!StateIsCreatedOrIdle(r) || kind > 2) return kRefused;
  r.fileKind = kind;
  return kAccepted;
}

uint32_t SetReadOnly(Recorder& r, uint16_t readOnly) {
  if (!StateIsCreatedOrIdle(r)) return kRefused;
  r.readOnly = readOnly != 0 ? 1 : 0;
  return kAccepted;
}

uint32_t SetChannels(Recorder& r, uint16_t channels) {
  if (!StateIsCreatedOrIdle(r) || (channels != 1 && channels != 2)) return kRefused;
  r.channels = channels;
  return kAccepted;
}

uint32_t SetSampleFormat(Recorder& r, uint16_t sampleFormat) {
  const bool known = sampleFormat == 8 || sampleFormat == 16 || sampleFormat == 106 ||
                     sampleFormat == 107 || sampleFormat == 100;
  if (!StateIsCreatedOrIdle(r) || !known) return kRefused;
  r.sampleFormat = sampleFormat;
  return kAccepted;
}

uint32_t SetSampleRate(Recorder& r, uint32_t hertz) {
  const bool known =
      std::find(std::begin(kSampleRates), std::end(kSampleRates), hertz) != std::end(kSampleRates);
  if (!StateIsCreatedOrIdle(r) || !known) return kRefused;
  r.sampleRate = hertz;
  ApplyMaxLengthSeconds(r, r.maxLengthSeconds.load());
  return kAccepted;
}

uint32_t SetMaxLengthSeconds(Recorder& r, double seconds) {
  if (!(seconds >= 0.0)) return kRefused;  // not-a-number too
  ApplyMaxLengthSeconds(r, seconds);
  return kAccepted;
}

uint32_t SetMaxLength(Recorder& r, int32_t frames) {
  if (frames < 0) return kRefused;
  r.maxLengthSamples = static_cast<uint64_t>(frames);
  r.maxLengthSeconds = static_cast<double>(frames) / static_cast<double>(r.sampleRate);
  return kAccepted;
}

uint32_t SetInsertMode(Recorder& r, uint16_t insert) {
  if (insert > 1) return kRefused;
  r.insertMode = insert;
  return kAccepted;
}

}  // namespace voxl
