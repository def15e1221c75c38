// Signals of the virtual input devices: generating device-format audio for a Signal, and reading
// a PCM WAVE file to use as the microphone.  Private to the virtual driver.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

#include "platform/wave/virtual/virtual_device.h"

namespace voxl::virtualaudio {

// The audio of a WAVE file converted to one device format, whole frames.
struct FileAudio {
  std::vector<uint8_t> bytes;
  size_t frames = 0;
};

// Reads the PCM WAVE file at `path` and converts it to `format` (channels duplicated or averaged,
// 8 or 16 bits).  MMSYSERR_NOERROR; WAVERR_BADFORMAT when the file is not 8/16-bit PCM of 1 or 2
// channels or its rate differs from the device's; MMSYSERR_ERROR when it cannot be read.  With
// `audio` null only the header is checked.
MMRESULT LoadFileSignal(const std::string& path, const WAVEFORMATEX& format, FileAudio* audio);

// Fills `bytes` (whole frames) of device-format audio for the frames starting at `frame`.
// `file` is the converted file for Signal::Kind::File.
void GenerateSignal(const Signal& signal, const FileAudio& file, const WAVEFORMATEX& format,
                    uint64_t frame, uint8_t* data, size_t bytes);

}  // namespace voxl::virtualaudio
