// The virtual wave driver (kVirtualDriver, wave_driver.h) and its control interface
// (virtual_device.h).
//
// Input devices deliver a configured signal and output devices keep everything played, with no
// hardware.  Each open device gets the settings current at its open: clock, signal and faults.
// An input's signal is the one set for it through SetInputSignal or, when none is, the one the
// environment variable VOXL_VIRTUAL_INPUT asks for at that open (silence without it).
// The clock is the one SetClock (or Reset) chose or, before either, the one the environment
// variable VOXL_VIRTUAL_CLOCK asks for at that open (real time without it).
// RealTime and FreeRunning devices run a device loop thread; Manual devices have none and move
// audio only inside CompleteInputBuffers / CompleteOutputBuffers, on the caller's thread.  A
// device can be open once at a time (a second open answers MMSYSERR_ALLOCATED), so a device
// number names one stream for the manual clock.
//
// Locks: `State::mutex` guards the settings and the records kept per device number; each open
// stream's `work` mutex is held while audio moves through its port, so that close waits for a
// manual completion in progress.  Neither is held while waiting for the other.
#include <algorithm>
#include <atomic>
#include <chrono>
#include <condition_variable>
#include <cstdint>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <thread>

#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/virtual/virtual_signal.h"
#include "platform/wave/wave_driver.h"

namespace voxl::virtualaudio {
namespace {

using voxl::wave::Direction;
using voxl::wave::DriverStream;
using voxl::wave::WavePort;
using Steady = std::chrono::steady_clock;

constexpr DWORD kMinRate = 1000;
constexpr DWORD kMaxRate = 384000;
// A real-time device moves audio in slices of this many milliseconds, so a stopped input returns
// a partly filled buffer as hardware does.
constexpr unsigned kSliceMs = 10;

struct Capture {
  std::vector<uint8_t> bytes;
  WAVEFORMATEX format{};
  std::string path;
};

struct VStream {
  Direction dir;
  UINT device;
  WAVEFORMATEX format;
  WavePort* port;
  Clock clock;
  Signal signal;
  FileAudio file;
  Faults faults;
  std::atomic<int> prepares{0};

  std::mutex work;  // held while audio moves through the port
  bool closed = false;
  uint64_t frame = 0;        // next frame the signal generates
  int completedBuffers = 0;  // input buffers filled since open
  bool lost = false;         // input: the device is gone (Faults::loseAfterFrames)
  bool gapDone = false;      // input: Faults::gapAtFrame has been met
  uint64_t stored = 0;       // input: frames the port took since open
  std::vector<uint8_t> scratch;
  std::FILE* captureFile = nullptr;
  uint64_t captureFileBytes = 0;

  std::atomic<bool> stopLoop{false};
  // Input: stopped since the device loop last looked (so the time until the next start is no
  // gap).  Set at open and by the stop slot, which runs before input can start again.
  std::atomic<bool> stopped{true};
  std::mutex sleepMutex;
  std::condition_variable sleepCv;
  std::thread loop;
};

struct State {
  std::mutex mutex;
  std::vector<std::string> inputs{"Virtual Input"};
  std::vector<std::string> outputs{"Virtual Output"};
  // The clock set with SetClock (tests call Reset() for Manual); none: kClockVariable decides at
  // each open.
  std::optional<Clock> clock;
  std::map<UINT, Signal> signals;
  std::optional<std::string> inputSetting;  // VoxlSetVirtualInput's, over kInputSettingVariable
  std::map<UINT, Faults> inputFaults, outputFaults;
  std::map<UINT, std::shared_ptr<VStream>> openInputs, openOutputs;

  // Guards the records of audio moved.  Held across the port call that moves the audio, so that
  // when the application sees a buffer come back, its audio is already counted and captured.
  // Lock order: mutex, then audio, then the port's own lock.
  std::mutex audio;
  std::map<UINT, Capture> captures;
  std::map<UINT, uint64_t> delivered, consumed;
  // Whether played audio is kept in `captures`: only once a test (Reset) asks, so that a program
  // playing on the virtual output runs in flat memory.
  bool keepCaptures = false;
};

// The clock of a device opened now: the one set, else what kClockVariable asks for.
Clock ClockOf(const State& s) {
  if (s.clock) return *s.clock;
  const char* text = std::getenv(kClockVariable);
  return text != nullptr && std::strcmp(text, "free") == 0 ? Clock::FreeRunning : Clock::RealTime;
}

// Never destroyed: device loops may still run while the process exits.
State& Global() {
  static State* state = new State;
  return *state;
}

VStream* FromDriver(DriverStream* stream) {
  return reinterpret_cast<VStream*>(stream);
}

UINT ResolveDevice(UINT device) {
  return device == WAVE_MAPPER ? 0 : device;
}

std::shared_ptr<VStream> FindOpen(Direction dir, UINT device) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  auto& open = dir == Direction::Input ? s.openInputs : s.openOutputs;
  auto it = open.find(ResolveDevice(device));
  return it == open.end() ? nullptr : it->second;
}

// ---- WAVE file of the output capture ----

void PutLe32(uint8_t* p, uint32_t v) {
  for (int i = 0; i < 4; ++i) p[i] = static_cast<uint8_t>(v >> (8 * i));
}

void WriteCaptureHeader(std::FILE* f, const WAVEFORMATEX& format, uint32_t dataBytes) {
  uint8_t h[44] = {'R', 'I', 'F', 'F', 0, 0, 0, 0, 'W', 'A', 'V', 'E', 'f', 'm', 't', ' ', 16};
  PutLe32(h + 4, 36 + dataBytes);
  std::memcpy(h + 20, &format, 16);  // the 16 bytes of a PCM "fmt " chunk (little-endian host)
  std::memcpy(h + 36, "data", 4);
  PutLe32(h + 40, dataBytes);
  std::fseek(f, 0, SEEK_SET);
  std::fwrite(h, 1, sizeof h, f);
}

// Largest data chunk the capture file takes; audio beyond it stays in memory only, so the RIFF
// sizes never wrap.
constexpr uint64_t kMaxCaptureFileData = 0xFFFFFFFFull - 36 - 1;

// ---- Moving audio (caller holds vs.work, stream not closed) ----

// What one step moved.  A step of the manual clock never goes past the first queued buffer, so
// "Completed" means that buffer came back; the manual clock counts buffers with it (counting the
// queue instead would be wrong when the application queues a buffer again at once from another
// thread).  The free-running clock's steps may cover the whole queue (StepBytes) and count none.
enum class Moved { Nothing, Part, Completed };

// Whether the input device has stopped delivering, for good or for the moment (no buffer moves).
bool InputHalted(const VStream& vs) {
  return vs.lost ||
         (vs.faults.stopAfterBuffers >= 0 && vs.completedBuffers >= vs.faults.stopAfterBuffers);
}

// The device is gone once loseAfterFrames frames are delivered: the port gives back its buffers.
void LoseWhenDue(VStream& vs) {
  const int64_t lose = vs.faults.loseAfterFrames;
  if (vs.lost || lose < 0 || vs.frame < static_cast<uint64_t>(lose)) return;
  vs.lost = true;
  vs.port->Lost();
}

// Once gapAtFrame frames are delivered, the signal skips gapFrames frames and the port hears of
// the gap.
void GapWhenDue(VStream& vs) {
  const int64_t at = vs.faults.gapAtFrame;
  if (vs.gapDone || at < 0 || vs.frame < static_cast<uint64_t>(at)) return;
  vs.gapDone = true;
  vs.frame += vs.faults.gapFrames;
  vs.port->Gap(vs.faults.gapFrames);
}

// The bytes one step may move, at most `limit`: those of the first queued buffer or, on the
// free-running clock, of every buffer queued (one pass of the device loop then hands the
// application all it can take or all it gave, with one wake).  An input that stops after so
// many buffers counts them one step each.
size_t StepBytes(const VStream& vs, size_t pending, size_t limit) {
  const bool wholeQueue = vs.clock == Clock::FreeRunning &&
                          (vs.dir == Direction::Output || vs.faults.stopAfterBuffers < 0);
  return std::min(wholeQueue ? vs.port->QueuedBytes() : pending, limit);
}

// Input: fills up to `limit` bytes of the queued buffers (StepBytes).  Nothing when no buffer is
// queued or the device has stopped delivering.
Moved InputStep(VStream& vs, size_t limit) {
  GapWhenDue(vs);
  LoseWhenDue(vs);
  if (InputHalted(vs)) return Moved::Nothing;
  const size_t block = vs.format.nBlockAlign;
  const size_t pending = vs.port->PendingBytes();
  size_t bytes = StepBytes(vs, pending, limit);
  // A step ends where a fault is due (the device is lost, a gap begins).
  const auto stopAt = [&](int64_t frame) {
    if (frame < 0) return;
    const uint64_t left = static_cast<uint64_t>(frame) - vs.frame;
    bytes = static_cast<size_t>(std::min<uint64_t>(bytes / block, left) * block);
  };
  stopAt(vs.faults.loseAfterFrames);
  if (!vs.gapDone) stopAt(vs.faults.gapAtFrame);
  bytes -= bytes % block;
  if (bytes == 0) return Moved::Nothing;
  State& s = Global();
  std::lock_guard lock(s.audio);
  // The signal goes straight into the queued buffers; only when none is there to take it does
  // it go through the scratch buffer to Capture, which counts it as lost.
  size_t stored = vs.port->CaptureInto(
      bytes,
      [](void* context, uint8_t* destination, size_t room, uint64_t*) {
        VStream& stream = *static_cast<VStream*>(context);
        GenerateSignal(stream.signal, stream.file, stream.format, stream.frame, destination, room);
        stream.frame += room / stream.format.nBlockAlign;
        return room;
      },
      &vs);
  if (stored < bytes) {
    const size_t rest = bytes - stored;
    if (vs.scratch.size() < rest) vs.scratch.resize(rest);
    GenerateSignal(vs.signal, vs.file, vs.format, vs.frame, vs.scratch.data(), rest);
    vs.frame += rest / block;
    stored += vs.port->Capture(vs.scratch.data(), rest);
  }
  s.delivered[vs.device] += stored / block;
  vs.stored += stored / block;
  const Moved moved =
      stored == 0 ? Moved::Nothing : (stored < pending ? Moved::Part : Moved::Completed);
  if (moved == Moved::Completed) ++vs.completedBuffers;
  LoseWhenDue(vs);
  return moved;
}

// Output: plays up to `limit` bytes of the queued audio (StepBytes).  The bytes go through the
// scratch buffer only when something keeps them (the capture, the capture file); otherwise the
// port uses them up in place.
Moved OutputStep(VStream& vs, size_t limit) {
  const size_t block = vs.format.nBlockAlign;
  const size_t pending = vs.port->PendingBytes();
  size_t bytes = StepBytes(vs, pending, limit);
  bytes -= bytes % block;
  if (bytes == 0) return Moved::Nothing;
  State& s = Global();
  {
    std::lock_guard lock(s.audio);
    const bool kept = s.keepCaptures || vs.captureFile != nullptr;
    if (kept && vs.scratch.size() < bytes) vs.scratch.resize(bytes);
    const size_t got = vs.port->Render(kept ? vs.scratch.data() : nullptr, bytes);
    if (got == 0) return Moved::Nothing;
    if (s.keepCaptures) {
      Capture& capture = s.captures[vs.device];
      if (capture.bytes.empty()) capture.format = vs.format;
      capture.bytes.insert(capture.bytes.end(), vs.scratch.begin(), vs.scratch.begin() + got);
    }
    s.consumed[vs.device] += got / block;
    bytes = got;
  }
  if (vs.captureFile != nullptr) {
    const size_t room =
        static_cast<size_t>(std::min<uint64_t>(bytes, kMaxCaptureFileData - vs.captureFileBytes));
    vs.captureFileBytes += std::fwrite(vs.scratch.data(), 1, room, vs.captureFile);
  }
  return bytes < pending ? Moved::Part : Moved::Completed;
}

Moved Step(VStream& vs, size_t limit) {
  return vs.dir == Direction::Input ? InputStep(vs, limit) : OutputStep(vs, limit);
}

// Sleeps until `until` or until close; false on close.
bool SleepUntil(VStream& vs, Steady::time_point until) {
  std::unique_lock lock(vs.sleepMutex);
  return !vs.sleepCv.wait_until(lock, until, [&] { return vs.stopLoop.load(); });
}

// The device loop of the RealTime and FreeRunning clocks.
void DeviceLoop(VStream* vs) {
  const bool realTime = vs->clock == Clock::RealTime;
  const size_t block = vs->format.nBlockAlign;
  const size_t slice = std::max<size_t>(1, vs->format.nSamplesPerSec * kSliceMs / 1000) * block;
  Steady::time_point next = Steady::now();
  while (!vs->stopLoop.load()) {
    if (!vs->port->WaitForWork()) break;
    if (!vs->port->Running()) continue;
    if (vs->dir == Direction::Input && InputHalted(*vs)) {
      // The device has stopped delivering: wait for close without spinning.
      std::unique_lock lock(vs->sleepMutex);
      vs->sleepCv.wait(lock, [&] { return vs->stopLoop.load(); });
      break;
    }
    // Free-running, StepBytes alone bounds the step.
    const size_t limit = realTime ? slice : SIZE_MAX;
    if (realTime) {
      const size_t bytes = std::min(vs->port->PendingBytes(), limit);
      const auto now = Steady::now();
      if (vs->stopped.exchange(false)) {
        next = now;  // input starts: its clock with it
      } else if (next + std::chrono::milliseconds(50) < now) {
        // The device's time went on while its thread did not run, or while no buffer was there
        // to take the audio: an input loses that audio, as hardware overruns.
        if (vs->dir == Direction::Input) {
          const auto late = std::chrono::duration_cast<std::chrono::microseconds>(now - next);
          vs->port->Gap(uint64_t(late.count()) * vs->format.nSamplesPerSec / 1000000u);
        }
        next = now;  // no catching up
      }
      next +=
          std::chrono::microseconds(uint64_t{bytes / block} * 1000000u / vs->format.nSamplesPerSec);
      if (!SleepUntil(*vs, next)) break;
    }
    std::lock_guard lock(vs->work);
    Step(*vs, limit);
  }
}

// Completes `count` buffers of a Manual device on the caller's thread.
size_t CompleteBuffers(Direction dir, UINT device, size_t count, unsigned timeoutMs) {
  std::shared_ptr<VStream> vs = FindOpen(dir, device);
  if (!vs || vs->clock != Clock::Manual) return 0;
  std::lock_guard lock(vs->work);
  if (vs->closed) return 0;
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  size_t done = 0;
  while (done < count) {
    if (dir == Direction::Input && InputHalted(*vs)) break;
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    if (!vs->port->WaitForWorkFor(static_cast<unsigned>(std::max<int64_t>(0, left.count())))) {
      break;
    }
    if (Step(*vs, vs->port->PendingBytes()) == Moved::Completed) ++done;
  }
  return done;
}

// Delivers exactly `frames` frames into the buffers of a Manual input device.
uint64_t DeliverFrames(UINT device, uint64_t frames, unsigned timeoutMs) {
  std::shared_ptr<VStream> vs = FindOpen(Direction::Input, device);
  if (!vs || vs->clock != Clock::Manual) return 0;
  std::lock_guard lock(vs->work);
  if (vs->closed) return 0;
  const auto deadline = Steady::now() + std::chrono::milliseconds(timeoutMs);
  const size_t block = vs->format.nBlockAlign;
  uint64_t delivered = 0;
  while (delivered < frames && !InputHalted(*vs)) {
    const auto left =
        std::chrono::duration_cast<std::chrono::milliseconds>(deadline - Steady::now());
    if (!vs->port->WaitForWorkFor(static_cast<unsigned>(std::max<int64_t>(0, left.count())))) {
      break;
    }
    const uint64_t before = vs->stored;
    const size_t limit = static_cast<size_t>(
        std::min<uint64_t>(frames - delivered, vs->port->PendingBytes() / block) * block);
    if (InputStep(*vs, limit) == Moved::Nothing) break;
    delivered += vs->stored - before;
  }
  return delivered;
}

// The signal of an input device opened now: the one set through SetInputSignal, else the one
// VoxlSetVirtualInput or else kInputSettingVariable asks for (silence without either).  Caller
// holds the state lock.
Signal InputSignalOf(const State& s, UINT device) {
  if (auto it = s.signals.find(device); it != s.signals.end()) return it->second;
  if (s.inputSetting) return ParseInputSetting(s.inputSetting->c_str());
  return ParseInputSetting(std::getenv(kInputSettingVariable));
}

bool FormatAccepted(const WAVEFORMATEX& f) {
  return f.wFormatTag == WAVE_FORMAT_PCM && (f.nChannels == 1 || f.nChannels == 2) &&
         (f.wBitsPerSample == 8 || f.wBitsPerSample == 16) && f.nSamplesPerSec >= kMinRate &&
         f.nSamplesPerSec <= kMaxRate && f.nBlockAlign == f.nChannels * f.wBitsPerSample / 8;
}

// ---- Driver slots ----

bool VirtualInit() {
  return true;
}

UINT VirtualCount(Direction dir) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  return static_cast<UINT>(dir == Direction::Input ? s.inputs.size() : s.outputs.size());
}

MMRESULT VirtualCaps(Direction dir, UINT device, voxl::wave::DeviceCaps* caps) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  const auto& names = dir == Direction::Input ? s.inputs : s.outputs;
  if (device >= names.size()) return MMSYSERR_BADDEVICEID;
  std::snprintf(caps->name, sizeof caps->name, "%s", names[device].c_str());
  caps->formats = 0x000FFFFFu;  // every WAVE_FORMAT_* rate, mono and stereo, 8 and 16 bits
  caps->channels = 2;
  return MMSYSERR_NOERROR;
}

// Common checks of query and open.  Caller holds the state lock.
MMRESULT CheckDevice(State& s, Direction dir, UINT device, const WAVEFORMATEX& format) {
  const auto& names = dir == Direction::Input ? s.inputs : s.outputs;
  if (device >= names.size()) return MMSYSERR_BADDEVICEID;
  const auto& faults = dir == Direction::Input ? s.inputFaults : s.outputFaults;
  auto it = faults.find(device);
  if (it != faults.end() && it->second.refuseFormat) return WAVERR_BADFORMAT;
  if (!FormatAccepted(format)) return WAVERR_BADFORMAT;
  return MMSYSERR_NOERROR;
}

MMRESULT VirtualQuery(Direction dir, UINT device, const WAVEFORMATEX* format) {
  State& s = Global();
  Signal signal;
  {
    std::lock_guard lock(s.mutex);
    MMRESULT result = CheckDevice(s, dir, device, *format);
    if (result != MMSYSERR_NOERROR || dir == Direction::Output) return result;
    // A file named by the environment is checked only when the device opens: a recorder checks
    // its default format when it is created, and that must not fail because of a file meant
    // for a recording at another rate.
    auto it = s.signals.find(device);
    if (it == s.signals.end() || it->second.kind != Signal::Kind::File) return result;
    signal = it->second;
  }
  return LoadFileSignal(signal.path, *format, nullptr);
}

MMRESULT VirtualOpen(Direction dir, UINT device, const WAVEFORMATEX* format, WavePort* port,
                     DriverStream** stream) {
  State& s = Global();
  auto vs = std::make_shared<VStream>();
  vs->dir = dir;
  vs->device = device;
  vs->format = *format;
  vs->port = port;
  std::string capturePath;
  {
    std::lock_guard lock(s.mutex);
    MMRESULT result = CheckDevice(s, dir, device, *format);
    if (result != MMSYSERR_NOERROR) return result;
    const auto& faults = dir == Direction::Input ? s.inputFaults : s.outputFaults;
    if (auto it = faults.find(device); it != faults.end()) vs->faults = it->second;
    if (vs->faults.refuseOpen) return MMSYSERR_ALLOCATED;
    auto& open = dir == Direction::Input ? s.openInputs : s.openOutputs;
    if (open.count(device)) return MMSYSERR_ALLOCATED;
    vs->clock = ClockOf(s);
    if (dir == Direction::Input) vs->signal = InputSignalOf(s, device);
    if (dir == Direction::Output) {
      std::lock_guard audio(s.audio);
      capturePath = s.captures[device].path;
    }
  }
  if (vs->signal.kind == Signal::Kind::File) {
    MMRESULT result = LoadFileSignal(vs->signal.path, *format, &vs->file);
    if (result != MMSYSERR_NOERROR) return result;
  }
  if (!capturePath.empty()) {
    vs->captureFile = std::fopen(capturePath.c_str(), "wb");
    if (vs->captureFile != nullptr) WriteCaptureHeader(vs->captureFile, *format, 0);
  }
  {
    std::lock_guard lock(s.mutex);
    auto& open = dir == Direction::Input ? s.openInputs : s.openOutputs;
    if (open.count(device)) {
      if (vs->captureFile != nullptr) std::fclose(vs->captureFile);
      return MMSYSERR_ALLOCATED;
    }
    open[device] = vs;
    std::lock_guard audio(s.audio);
    if (dir == Direction::Input) {
      s.delivered[device] = 0;
    } else {
      s.consumed[device] = 0;
      Capture& capture = s.captures[device];
      // The capture holds one format: audio of another format would be garbage after it.
      if (std::memcmp(&capture.format, format, 16) != 0) capture.bytes.clear();
      capture.format = *format;
    }
  }
  if (vs->clock != Clock::Manual) vs->loop = std::thread(DeviceLoop, vs.get());
  *stream = reinterpret_cast<DriverStream*>(vs.get());
  return MMSYSERR_NOERROR;
}

void VirtualClose(DriverStream* stream) {
  VStream* vs = FromDriver(stream);
  {
    std::lock_guard lock(vs->sleepMutex);
    vs->stopLoop.store(true);
  }
  vs->sleepCv.notify_all();
  vs->port->Wake();
  if (vs->loop.joinable()) vs->loop.join();
  {
    std::lock_guard lock(vs->work);
    vs->closed = true;
    if (vs->captureFile != nullptr) {
      WriteCaptureHeader(vs->captureFile, vs->format, static_cast<uint32_t>(vs->captureFileBytes));
      std::fclose(vs->captureFile);
      vs->captureFile = nullptr;
    }
  }
  State& s = Global();
  std::lock_guard lock(s.mutex);
  auto& open = vs->dir == Direction::Input ? s.openInputs : s.openOutputs;
  auto it = open.find(vs->device);
  if (it != open.end() && it->second.get() == vs) open.erase(it);
}

void VirtualStop(DriverStream* stream) {
  VStream* vs = FromDriver(stream);
  vs->stopped.store(true);
  vs->port->Wake();
}

MMRESULT VirtualPrepare(DriverStream* stream, WAVEHDR*) {
  VStream* vs = FromDriver(stream);
  const int k = vs->prepares.fetch_add(1) + 1;
  return vs->faults.failPrepareAt > 0 && k == vs->faults.failPrepareAt ? MMSYSERR_NOMEM
                                                                       : MMSYSERR_NOERROR;
}

}  // namespace

void Reset() {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.inputs = {"Virtual Input"};
  s.outputs = {"Virtual Output"};
  s.clock = Clock::Manual;
  s.signals.clear();
  s.inputSetting.reset();
  s.inputFaults.clear();
  s.outputFaults.clear();
  std::lock_guard audio(s.audio);
  for (auto& [device, capture] : s.captures) {
    capture.bytes.clear();
    capture.path.clear();
  }
  s.keepCaptures = true;
}

void KeepOutputCapture(bool keep) {
  State& s = Global();
  std::lock_guard audio(s.audio);
  s.keepCaptures = keep;
  if (!keep) {
    for (auto& [device, capture] : s.captures) std::vector<uint8_t>().swap(capture.bytes);
  }
}

void SetInputDevices(const std::vector<std::string>& names) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.inputs = names;
}

void SetOutputDevices(const std::vector<std::string>& names) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.outputs = names;
}

void SetClock(std::optional<Clock> clock) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.clock = clock;
}

Clock GetClock() {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  return ClockOf(s);
}

void SetInputSignal(UINT device, const Signal& signal) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.signals[ResolveDevice(device)] = signal;
}

void SetInputFaults(UINT device, const Faults& faults) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.inputFaults[ResolveDevice(device)] = faults;
}

void SetOutputFaults(UINT device, const Faults& faults) {
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.outputFaults[ResolveDevice(device)] = faults;
}

size_t CompleteInputBuffers(UINT device, size_t count, unsigned timeoutMs) {
  return CompleteBuffers(Direction::Input, device, count, timeoutMs);
}

size_t CompleteOutputBuffers(UINT device, size_t count, unsigned timeoutMs) {
  return CompleteBuffers(Direction::Output, device, count, timeoutMs);
}

uint64_t DeliverInputFrames(UINT device, uint64_t frames, unsigned timeoutMs) {
  return DeliverFrames(device, frames, timeoutMs);
}

uint64_t FramesDelivered(UINT device) {
  State& s = Global();
  std::lock_guard lock(s.audio);
  auto it = s.delivered.find(ResolveDevice(device));
  return it == s.delivered.end() ? 0 : it->second;
}

uint64_t FramesConsumed(UINT device) {
  State& s = Global();
  std::lock_guard lock(s.audio);
  auto it = s.consumed.find(ResolveDevice(device));
  return it == s.consumed.end() ? 0 : it->second;
}

bool InputOpen(UINT device) {
  return FindOpen(Direction::Input, device) != nullptr;
}
bool OutputOpen(UINT device) {
  return FindOpen(Direction::Output, device) != nullptr;
}

std::vector<uint8_t> OutputCapture(UINT device) {
  State& s = Global();
  std::lock_guard lock(s.audio);
  auto it = s.captures.find(ResolveDevice(device));
  return it == s.captures.end() ? std::vector<uint8_t>{} : it->second.bytes;
}

WAVEFORMATEX OutputCaptureFormat(UINT device) {
  State& s = Global();
  std::lock_guard lock(s.audio);
  auto it = s.captures.find(ResolveDevice(device));
  return it == s.captures.end() ? WAVEFORMATEX{} : it->second.format;
}

void ClearOutputCapture(UINT device) {
  State& s = Global();
  std::lock_guard lock(s.audio);
  auto it = s.captures.find(ResolveDevice(device));
  if (it != s.captures.end()) it->second.bytes.clear();
}

void SetOutputCaptureFile(UINT device, const std::string& path) {
  State& s = Global();
  std::lock_guard lock(s.audio);
  s.captures[ResolveDevice(device)].path = path;
}

}  // namespace voxl::virtualaudio

extern "C" BOOL WINAPI VoxlSetVirtualInput(const char* setting) {
  using namespace voxl::virtualaudio;
  // Text that does not follow the syntax parses as silence; only "silence" itself means it.
  if (setting != nullptr && ParseInputSetting(setting).kind == Signal::Kind::Silence &&
      std::strcmp(setting, "silence") != 0) {
    return FALSE;
  }
  State& s = Global();
  std::lock_guard lock(s.mutex);
  s.inputSetting = setting != nullptr ? std::optional<std::string>(setting) : std::nullopt;
  return TRUE;
}

namespace voxl::wave {

const WaveDriver kVirtualDriver = {
    "virtual",
    "built-in virtual devices: a configured signal as input, output kept in memory",
    voxl::virtualaudio::VirtualInit,
    voxl::virtualaudio::VirtualCount,
    voxl::virtualaudio::VirtualCaps,
    nullptr,
    voxl::virtualaudio::VirtualQuery,
    voxl::virtualaudio::VirtualOpen,
    voxl::virtualaudio::VirtualClose,
    nullptr,
    voxl::virtualaudio::VirtualStop,
    nullptr,
    voxl::virtualaudio::VirtualPrepare,
};

}  // namespace voxl::wave
