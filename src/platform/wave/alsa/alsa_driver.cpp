// The ALSA driver: wave devices on real sound hardware and sound servers through libasound.
// Placeholder until the driver lands: it finds no device, so the automatic choice skips it.
#include "platform/wave/wave_driver.h"

namespace voxl::wave {
namespace {
bool AlsaInit() { return false; }
UINT AlsaCount(Direction) { return 0; }
}  // namespace

const WaveDriver kAlsaDriver = {
    "alsa", "ALSA sound devices (default device: PipeWire or PulseAudio where they run)",
    AlsaInit, AlsaCount, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr, nullptr,
    nullptr};
}  // namespace voxl::wave
