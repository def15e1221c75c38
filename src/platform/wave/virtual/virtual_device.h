// The virtual audio driver's control interface, for tests, benchmarks and the demo.
//
// The virtual driver needs no hardware.  Its input devices deliver a configured signal; its
// output devices can keep everything played, for tests.  Its clock decides when buffers complete:
//   RealTime     one buffer's worth of audio per its duration (the demo on a machine without
//   sound); FreeRunning  as fast as the application turns buffers round (benchmarks); Manual only
//   when a test calls CompleteInputBuffers / CompleteOutputBuffers, so tests are
//                deterministic and never sleep.
// Settings apply to devices opened afterwards unless said otherwise.  All functions are
// thread-safe.
#pragma once

#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <vector>

#include "platform/wave/wave.h"

namespace voxl::virtualaudio {

enum class Clock { RealTime, FreeRunning, Manual };

// What an input device delivers.  Samples are generated per frame index n counted from the
// moment the device was opened (n = 0 for the first frame ever delivered by that open).
struct Signal {
  enum class Kind { Silence, Sine, File, Callback };
  Kind kind = Kind::Silence;
  // Sine: per channel (index 0 left, 1 right; a mono device uses index 0).  The value of frame n
  // is amplitude * sin(2 * pi * frequency * n / rate + phase), amplitude as a fraction of full
  // scale, quantised by SampleValue below.
  double frequency[2] = {1000.0, 1000.0};
  double amplitude[2] = {0.5, 0.5};
  double phase[2] = {0.0, 0.0};
  // File: a PCM WAVE file used as the microphone (converted to the device format: channels
  // duplicated or averaged, 8/16 bits; its rate must match or the open is refused), looped when
  // `loop` is set, else silence after its end.
  std::string path;
  bool loop = false;
  // Callback: fills `bytes` bytes of device-format audio for the frames starting at `frame`.
  std::function<void(const WAVEFORMATEX& format, uint64_t frame, void* data, size_t bytes)> fill;
};

// The sample value the driver delivers for a sine (or silence) signal at frame n, channel c, in
// the given PCM format: 16-bit signed, or 8-bit unsigned (128 = zero).  Tests compute expected
// audio with it.
int SampleValue(const Signal& signal, const WAVEFORMATEX& format, uint64_t frame, int channel);

struct Faults {
  bool refuseOpen = false;    // open answers MMSYSERR_ALLOCATED
  bool refuseFormat = false;  // query and open answer WAVERR_BADFORMAT
  int failPrepareAt =
      0;  // the k-th prepare (1-based) since open fails with MMSYSERR_NOMEM; 0 = never
  int stopAfterBuffers =
      -1;  // input: after this many completed buffers nothing more is delivered; -1 = never
  // Input: once this many frames are delivered the device is gone, as an unplugged one is: it
  // returns its queued buffers (the partly filled one with what it holds) and takes no more
  // (waveInAddBuffer answers MMSYSERR_NODRIVER).  -1 = never.
  int64_t loseAfterFrames = -1;
  // Input: once this many frames are delivered, `gapFrames` frames of the signal are lost (time
  // goes on: the next frame delivered is the one `gapFrames` later), as when the device overruns;
  // the gap is reported to the front end.  -1 = never.  loseAfterFrames counts the lost frames.
  int64_t gapAtFrame = -1;
  uint64_t gapFrames = 0;
};

// The environment variable that chooses what the input devices deliver when no signal was set
// for them with SetInputSignal and no setting with VoxlSetVirtualInput.  Read at every open of an
// input device (a format query does not check a file it names; the open does).
constexpr const char* kInputSettingVariable = "VOXL_VIRTUAL_INPUT";

// The signal a value of kInputSettingVariable asks for:
//   silence                          silence (also for null, empty or any text not listed here);
//   tone[:FREQ_HZ[:LEVEL_DBFS]]      a sine on every channel, 440 Hz and -12 dBFS unless given;
//                                    FREQ_HZ above 0, LEVEL_DBFS at most 0, both finite decimals;
//   file:PATH                        the PCM WAVE file at PATH, once, then silence.
Signal ParseInputSetting(const char* text);

// The environment variable that chooses the clock of devices opened while no clock was set with
// SetClock (or Reset): "free" for FreeRunning; "realtime", not set or any other text for
// RealTime.  Read at every open, so the command-line tool and a host run the virtual devices as
// fast as the machine allows with VOXL_VIRTUAL_CLOCK=free.
constexpr const char* kClockVariable = "VOXL_VIRTUAL_CLOCK";

// Back to the defaults: one input "Virtual Input" and one output "Virtual Output", no input
// signals and no VoxlSetVirtualInput setting (so kInputSettingVariable, or silence, applies),
// Manual clock, no faults, empty captures that keep what is played from now on (until the first
// Reset nothing played is kept: a program on the virtual output runs in flat memory), no capture
// files.  Devices still open keep running with their settings.  (Until the first Reset or
// SetClock, kClockVariable chooses the clock, RealTime unless it says otherwise, so the
// command-line tool and the demo run on a machine without sound; tests call Reset() in their
// fixtures.)
void Reset();

void SetInputDevices(const std::vector<std::string>& names);
void SetOutputDevices(const std::vector<std::string>& names);
// The clock of devices opened from now on; std::nullopt hands the choice back to kClockVariable.
void SetClock(std::optional<Clock> clock);
// The clock a device opened now gets.
Clock GetClock();
// The signal of input device `device` from its next open on.  It takes precedence over
// kInputSettingVariable; Reset() forgets it, and the variable (or silence) applies again.
void SetInputSignal(UINT device, const Signal& signal);
void SetInputFaults(UINT device, const Faults& faults);
void SetOutputFaults(UINT device, const Faults& faults);
// Devices accept every PCM format of 8 or 16 bits, 1 or 2 channels, 1000 to 384000 Hz, unless
// refuseFormat is set.

// Manual clock.  Completes the next `count` buffers of the open input (output) device number
// `device` (WAVE_MAPPER = the default device): each is filled (input) or consumed (output)
// entirely and returned to the application.  Waits up to `timeoutMs` for the application to
// queue them; returns how many were completed.
size_t CompleteInputBuffers(UINT device, size_t count, unsigned timeoutMs = 5000);
size_t CompleteOutputBuffers(UINT device, size_t count, unsigned timeoutMs = 5000);
// Manual clock.  Delivers exactly `frames` frames of the signal into the queued buffers of the
// open input device `device`, in order, leaving the last buffer partly filled when the frames end
// inside it (so tests can stop or reset a device in mid-buffer).  Waits up to `timeoutMs` for
// buffers to be queued; returns the frames delivered.
uint64_t DeliverInputFrames(UINT device, uint64_t frames, unsigned timeoutMs = 5000);
// Frames delivered (input) or consumed (output) since the device was last opened.
uint64_t FramesDelivered(UINT device);
uint64_t FramesConsumed(UINT device);
// Whether an input (output) device is open now.
bool InputOpen(UINT device);
bool OutputOpen(UINT device);

// Whether output devices keep what they play (Reset turns it on; benchmarks of long playback turn
// it off).  Off empties the captures.
void KeepOutputCapture(bool keep);

// Everything played on output device `device` since its capture was last cleared (while captures
// are kept): the bytes in
// the format of the last open, with pause, restart and reset honoured (audio dropped by a reset
// is not in it).  Optionally also written to a WAVE file, which holds the audio played during
// the latest open of the device (its sizes are written at close).
std::vector<uint8_t> OutputCapture(UINT device);
WAVEFORMATEX OutputCaptureFormat(UINT device);
void ClearOutputCapture(UINT device);
void SetOutputCaptureFile(UINT device, const std::string& path);

}  // namespace voxl::virtualaudio
