// The contract between the wave front end (wave_front.cpp) and the audio drivers.
//
// The front end is the only caller of a driver.  It checks every argument, keeps the queue of
// WAVEHDR buffers per open device, posts the MM_WIM_* / MM_WOM_* messages, handles prepare,
// reset, pause and restart bookkeeping, and maps WAVE_MAPPER to the driver's default device.
// A driver only moves audio between its device and the front end's WavePort, on a thread of its
// own (its device loop) or, for the virtual driver's manual clock, on the thread of a test.
//
// Call order for one open device: query* -> open -> (start | stop | pause | restart | reset)* ->
// close.  The front end never calls two slots of one stream at once; slots of different streams
// may run concurrently.  Slots left null are filled with defaults by the front end
// (FillDriverDefaults), so the front end never tests for null.
#pragma once

#include <cstddef>
#include <cstdint>

#include "platform/wave/wave.h"

namespace voxl::wave {

enum class Direction { Input, Output };

// The front end's side of one open device, handed to the driver at open.  Thread-safe: the
// driver's device loop calls it while the application thread queues and resets buffers.
class WavePort {
 public:
  virtual ~WavePort() = default;
  virtual Direction direction() const = 0;
  // The format the device was opened with (PCM).
  virtual const WAVEFORMATEX& format() const = 0;

  // Input: copies captured bytes (whole frames) into the queued buffers in order; each buffer
  // that becomes full comes back to the application.  Bytes for which no buffer is queued, or
  // that arrive while input is not started, are dropped (an overrun).  Returns bytes stored.
  virtual size_t Capture(const void* data, size_t bytes) = 0;

  // Input: lets the driver write captured audio straight into the queued buffers, saving the
  // copy through a buffer of its own.  `fill(context, destination, room, &lost)` is called for
  // the free part of the first queued buffer (room: whole frames, at most `bytes` in all), then
  // for the next buffer while it filled everything it was offered, and returns the bytes it
  // wrote there (whole frames; fewer than `room` ends the call).  It may set `lost` to frames of
  // audio lost just before what it wrote (as Gap would report them).  Each buffer that becomes
  // full comes back to the application.  Called with the port's lock held, so `fill` must not
  // block or call the port.  Returns the bytes stored; 0 without calling `fill` when no buffer is
  // queued or input is not started (the driver then reads into a buffer of its own and hands it
  // to Capture, which counts the overrun).  A port that cannot lend its buffers answers 0 always.
  using CaptureFill = size_t (*)(void* context, uint8_t* destination, size_t room, uint64_t* lost);
  virtual size_t CaptureInto(size_t /*bytes*/, CaptureFill /*fill*/, void* /*context*/) {
    return 0;
  }

  // Output: copies up to `bytes` of queued audio into `out`, in order, and returns the count;
  // each buffer that is used up comes back to the application.  With `out` null the bytes are
  // used up the same way without being copied (a device that keeps nothing of them).  Returns 0
  // while paused or when nothing is queued (the driver then plays silence or waits).
  virtual size_t Render(void* out, size_t bytes) = 0;

  // Bytes still free (input) or still to play (output) in the first queued buffer; 0 when no
  // buffer is queued.  The virtual driver's manual clock completes buffers one at a time with it.
  virtual size_t PendingBytes() const = 0;
  // Bytes still free (input) or still to play (output) in all the queued buffers together, for a
  // driver that fills or plays every buffer queued in one go (the virtual driver's free-running
  // clock).
  virtual size_t QueuedBytes() const { return PendingBytes(); }
  // Number of buffers queued and not yet returned.
  virtual size_t QueuedBuffers() const = 0;
  // Input started and not stopped, or output not paused.
  virtual bool Running() const = 0;

  // Blocks until the port has work for the device loop (a queued buffer while running) or
  // until Wake() / close; returns false when the stream is closing.  Lets device loops sleep
  // instead of spinning when the application has nothing queued.
  virtual bool WaitForWork() = 0;
  // Like WaitForWork with a time limit: true when there is work (a queued buffer while running),
  // false on timeout or close.  The virtual driver's manual clock waits with it.
  virtual bool WaitForWorkFor(unsigned timeoutMs) = 0;
  virtual void Wake() = 0;

  // Input: `frames` frames of audio were lost just before the bytes the driver captures next
  // (an overrun, a suspend, a thread that woke late), while input was running.  The front end
  // ties the gap to the stream's byte position (VoxlWaveInTakeGap).  Not for time while input
  // is stopped.
  virtual void Gap(uint64_t frames) = 0;

  // Input: the device is gone for good (unplugged, its sound server ended).  Every queued buffer
  // comes back now, in queue order, the partly filled one with the bytes it holds; from then on
  // the device takes no buffer (waveInAddBuffer and waveInStart answer MMSYSERR_NODRIVER) and
  // only close is left.  The driver moves no more audio through the port.
  virtual void Lost() = 0;
};

// Capabilities of one device as a driver reports them; the front end fills WAVEINCAPSA /
// WAVEOUTCAPSA from them and truncates the name to 31 bytes on a UTF-8 character boundary.
struct DeviceCaps {
  char name[256];
  DWORD formats;  // WAVE_FORMAT_1M08 ... bits
  WORD channels;  // largest channel count
};

// Per-open-device state of a driver.
struct DriverStream;

struct WaveDriver {
  const char* name;         // "alsa", "virtual": the value of VOXL_AUDIO_DRIVER that picks it
  const char* description;  // one line for "voxl devices"

  // Called once before any other slot, when the driver is chosen or probed.  Returns true when
  // the driver can serve at least one device; a driver that finds nothing answers false without
  // an error and is skipped by the automatic choice.
  bool (*init)();
  // Device count of one direction.
  UINT (*count)(Direction dir);
  // Device 0..count-1.  Returns MMSYSERR_NOERROR or MMSYSERR_BADDEVICEID.
  MMRESULT (*caps)(Direction dir, UINT device, DeviceCaps* caps);
  // The driver's default device (what WAVE_MAPPER means).  Default: 0.
  UINT (*default_device)(Direction dir);
  // Whether the device accepts the PCM format (8 or 16 bits, 1 or 2 channels); nothing opened.
  // MMSYSERR_NOERROR, WAVERR_BADFORMAT, MMSYSERR_BADDEVICEID or MMSYSERR_ALLOCATED.
  MMRESULT (*query)(Direction dir, UINT device, const WAVEFORMATEX* format);
  // Opens the device for the format, starts its device loop and keeps `port` until close; the
  // new stream goes to *out.
  // (clang-format 14 cannot settle on one layout of this declaration.)
  // clang-format off
  MMRESULT (*open)(Direction dir, UINT device, const WAVEFORMATEX* fmt, WavePort* port,
                   DriverStream** out);
  // clang-format on
  // Stops the device loop (joins it) and releases the device.  No port call after it returns.
  void (*close)(DriverStream* stream);
  // Input: waveInStart / waveInStop.  Output: waveOutRestart / waveOutPause (the port's
  // Running() already tells the new state when these are called).  Default: Wake the port.
  void (*start)(DriverStream* stream);
  void (*stop)(DriverStream* stream);
  // waveInReset / waveOutReset: drop audio the device still holds.  Called after the front end
  // has returned the queued buffers.  Default: nothing.
  void (*reset)(DriverStream* stream);
  // Called by waveIn/OutPrepareHeader after the front end's checks: the driver may refuse
  // (fault injection).  Default: MMSYSERR_NOERROR.
  MMRESULT (*prepare)(DriverStream* stream, WAVEHDR* header);
};

// The driver table, in the order of the automatic choice, null-terminated (wave_drivers.cpp).
extern const WaveDriver* const kWaveDrivers[];

// Each driver's record (its own folder).
extern const WaveDriver kVirtualDriver;
extern const WaveDriver kAlsaDriver;

// Fills the empty slots of a driver record with the defaults named above.
void FillDriverDefaults(WaveDriver* driver);

// The driver serving the wave functions of this process (chosen at first call).
const WaveDriver& ActiveDriver();

// Tests only: serve with the named driver from now on (closing nothing; call it while no device
// is open).  Returns false for an unknown name or a driver whose init fails.  A null name makes
// the choice again as at first use (VOXL_AUDIO_DRIVER, else the first driver that finds a device).
bool SelectDriverForTesting(const char* name);

}  // namespace voxl::wave
