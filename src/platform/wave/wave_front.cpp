// The wave front end: waveIn* and waveOut* on top of the serving driver (wave_driver.h).
//
// Every argument is checked here, once, before a driver sees it.  The front end owns the queue of
// buffers of each open device and all buffer bookkeeping (flags, bytes recorded, reset, pause and
// restart), and posts the MM_WIM_* / MM_WOM_* messages; drivers only move audio through the
// WavePort.  Callbacks supported: CALLBACK_NULL, CALLBACK_WINDOW and CALLBACK_THREAD (function and
// event callbacks are answered MMSYSERR_NOTSUPPORTED).
//
// Handles are serial numbers that are never reused, kept in a registry of live streams, so a
// closed or made-up handle is answered MMSYSERR_INVALHANDLE instead of being followed.  The queue
// is linked through WAVEHDR::lpNext and a prepared header carries its stream's serial in
// WAVEHDR::reserved (both fields are reserved for the device), so queueing never allocates.
#include <algorithm>
#include <array>
#include <atomic>
#include <condition_variable>
#include <cstring>
#include <memory>
#include <mutex>
#include <unordered_map>

#include "platform/messages/messages.h"
#include "platform/wave/wave_driver.h"

namespace voxl::wave {
namespace {

constexpr DWORD kKnownOpenFlags =
    WAVE_FORMAT_QUERY | WAVE_ALLOWSYNC | WAVE_MAPPED | CALLBACK_TYPEMASK;

// Stores the header's flags with release order, so that a caller that polls WHDR_DONE (with
// CALLBACK_NULL) sees dwBytesRecorded written before it.
void StoreFlags(WAVEHDR* header, DWORD flags) {
  std::atomic_ref<DWORD>(header->dwFlags).store(flags, std::memory_order_release);
}
DWORD LoadFlags(WAVEHDR* header) {
  return std::atomic_ref<DWORD>(header->dwFlags).load(std::memory_order_acquire);
}

class Stream final : public WavePort {
 public:
  Stream(Direction dir, const WaveDriver* driver, const WAVEFORMATEX& format, DWORD callbackType,
         DWORD_PTR callback, uintptr_t serial)
      : dir_(dir),
        driver_(driver),
        format_(format),
        callbackType_(callbackType),
        callback_(callback),
        serial_(serial),
        running_(dir == Direction::Output) {}

  // ---- WavePort: the driver's side ----
  Direction direction() const override { return dir_; }
  const WAVEFORMATEX& format() const override { return format_; }

  size_t Capture(const void* data, size_t bytes) override {
    if (dir_ != Direction::Input || data == nullptr) return 0;
    std::lock_guard lock(mutex_);
    if (!running_.load(std::memory_order_relaxed) || closing_) return 0;
    PostBurst burst(*this);
    bytes -= bytes % format_.nBlockAlign;
    const auto* src = static_cast<const uint8_t*>(data);
    size_t stored = 0;
    while (stored < bytes && head_ != nullptr) {
      const size_t usable = Usable(head_);
      const size_t n = std::min(usable - headOffset_, bytes - stored);
      std::memcpy(head_->lpData + headOffset_, src + stored, n);
      headOffset_ += n;
      stored += n;
      if (headOffset_ >= usable) CompleteHead();
    }
    delivered_ += stored;
    // Audio that finds no buffer is lost while time goes on: a gap.
    if (stored < bytes) NoteGap((bytes - stored) / format_.nBlockAlign);
    return stored;
  }

  size_t CaptureInto(size_t bytes, CaptureFill fill, void* context) override {
    if (dir_ != Direction::Input || fill == nullptr) return 0;
    std::lock_guard lock(mutex_);
    if (!running_.load(std::memory_order_relaxed) || closing_) return 0;
    PostBurst burst(*this);
    const size_t block = format_.nBlockAlign;
    bytes -= bytes % block;
    size_t stored = 0;
    while (stored < bytes && head_ != nullptr) {
      const size_t room = std::min(Usable(head_) - headOffset_, bytes - stored);
      uint64_t lost = 0;
      size_t wrote =
          fill(context, reinterpret_cast<uint8_t*>(head_->lpData) + headOffset_, room, &lost);
      wrote = std::min(wrote - wrote % block, room);
      NoteGap(lost);  // before the bytes it wrote: delivered_ has not counted them yet
      headOffset_ += wrote;
      stored += wrote;
      delivered_ += wrote;
      if (headOffset_ >= Usable(head_)) CompleteHead();
      if (wrote < room) break;
    }
    return stored;
  }

  size_t Render(void* out, size_t bytes) override {
    if (dir_ != Direction::Output) return 0;
    std::lock_guard lock(mutex_);
    if (!running_.load(std::memory_order_relaxed) || closing_) return 0;
    PostBurst burst(*this);
    auto* dst = static_cast<uint8_t*>(out);
    size_t given = 0;
    while (given < bytes && head_ != nullptr) {
      const size_t usable = Usable(head_);
      const size_t n = std::min(usable - headOffset_, bytes - given);
      if (dst != nullptr) std::memcpy(dst + given, head_->lpData + headOffset_, n);
      headOffset_ += n;
      given += n;
      if (headOffset_ >= usable) CompleteHead();
    }
    return given;
  }

  size_t PendingBytes() const override {
    std::lock_guard lock(mutex_);
    return head_ == nullptr ? 0 : Usable(head_) - headOffset_;
  }
  size_t QueuedBytes() const override {
    std::lock_guard lock(mutex_);
    size_t bytes = 0;
    for (const WAVEHDR* h = head_; h != nullptr; h = h->lpNext) bytes += Usable(h);
    return bytes - headOffset_;
  }
  size_t QueuedBuffers() const override {
    std::lock_guard lock(mutex_);
    return queued_;
  }
  bool Running() const override { return running_.load(std::memory_order_acquire); }

  bool WaitForWork() override {
    std::unique_lock lock(mutex_);
    cv_.wait(lock, [this] { return closing_ || woken_ || HasWork(); });
    woken_ = false;
    return !closing_;
  }
  bool WaitForWorkFor(unsigned timeoutMs) override {
    std::unique_lock lock(mutex_);
    cv_.wait_for(lock, std::chrono::milliseconds(timeoutMs),
                 [this] { return closing_ || HasWork(); });
    return !closing_ && HasWork();
  }
  void Wake() override {
    {
      std::lock_guard lock(mutex_);
      woken_ = true;
    }
    cv_.notify_all();
  }
  void Gap(uint64_t frames) override {
    std::lock_guard lock(mutex_);
    if (dir_ == Direction::Input && running_.load(std::memory_order_relaxed) && !closing_) {
      NoteGap(frames);
    }
  }
  void Lost() override {
    std::lock_guard lock(mutex_);
    if (lost_ || closing_) return;
    lost_ = true;
    running_.store(false, std::memory_order_release);
    while (head_ != nullptr) CompleteHead();
    cv_.notify_all();
  }

  // ---- The application's side ----
  bool TakeGap(uint64_t upToByte, VOXLWAVEGAP* gap) {
    std::lock_guard lock(mutex_);
    if (gapCount_ == 0 || gaps_[0].byteOffset > upToByte) return false;
    *gap = gaps_[0];
    std::move(gaps_.begin() + 1, gaps_.begin() + gapCount_, gaps_.begin());
    --gapCount_;
    return true;
  }
  Direction dir() const { return dir_; }
  uintptr_t serial() const { return serial_; }
  const WaveDriver& driver() const { return *driver_; }
  DriverStream* driverStream() const { return driverStream_; }
  void set_driver_stream(DriverStream* stream) { driverStream_ = stream; }

  MMRESULT Prepare(WAVEHDR* header) {
    if (header->lpData == nullptr || header->dwBufferLength < format_.nBlockAlign) {
      return MMSYSERR_INVALPARAM;
    }
    const DWORD flags = LoadFlags(header);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if ((flags & WHDR_PREPARED) && header->reserved == serial_) return MMSYSERR_NOERROR;
    MMRESULT result = driver_->prepare(driverStream_, header);
    if (result != MMSYSERR_NOERROR) return result;
    header->reserved = serial_;
    header->lpNext = nullptr;
    StoreFlags(header, flags | WHDR_PREPARED);
    return MMSYSERR_NOERROR;
  }

  MMRESULT Unprepare(WAVEHDR* header) {
    const DWORD flags = LoadFlags(header);
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (!(flags & WHDR_PREPARED)) return MMSYSERR_NOERROR;
    header->reserved = 0;
    StoreFlags(header, flags & ~WHDR_PREPARED);
    return MMSYSERR_NOERROR;
  }

  // waveInAddBuffer / waveOutWrite, and VoxlWaveInAddBuffers / VoxlWaveOutWriteBuffers: queues
  // `count` buffers in order under one lock, stopping at the first one refused; *queued receives
  // how many went in.  The device loop waits only while nothing is queued, so only a queue that
  // was empty wakes it.
  MMRESULT Queue(WAVEHDR* const* headers, size_t count, size_t* queued) {
    *queued = 0;
    MMRESULT result = MMSYSERR_NOERROR;
    bool wake = false;
    {
      std::lock_guard lock(mutex_);
      wake = head_ == nullptr;
      for (; *queued < count; ++*queued) {
        result = QueueLocked(headers[*queued]);
        if (result != MMSYSERR_NOERROR) break;
      }
      wake = wake && head_ != nullptr;
    }
    if (wake) cv_.notify_all();
    return result;
  }

  // waveInStart / waveOutRestart.
  MMRESULT Run() {
    {
      std::lock_guard lock(mutex_);
      if (lost_) return MMSYSERR_NODRIVER;
      if (running_.load(std::memory_order_relaxed)) return MMSYSERR_NOERROR;
      running_.store(true, std::memory_order_release);
      cv_.notify_all();
    }
    driver_->start(driverStream_);
    Wake();
    return MMSYSERR_NOERROR;
  }

  // waveInStop / waveOutPause.  Stopping input returns a partly filled buffer with its bytes;
  // empty buffers stay queued.
  MMRESULT Hold() {
    {
      std::lock_guard lock(mutex_);
      if (!running_.load(std::memory_order_relaxed)) return MMSYSERR_NOERROR;
      running_.store(false, std::memory_order_release);
      if (dir_ == Direction::Input && head_ != nullptr && headOffset_ > 0) CompleteHead();
    }
    driver_->stop(driverStream_);
    Wake();
    return MMSYSERR_NOERROR;
  }

  // waveInReset stops input; waveOutReset clears the pause.  Every queued buffer comes back now,
  // in queue order.
  MMRESULT Reset() {
    bool wasRunning;
    {
      std::lock_guard lock(mutex_);
      wasRunning = running_.load(std::memory_order_relaxed);
      running_.store(dir_ == Direction::Output, std::memory_order_release);
      while (head_ != nullptr) CompleteHead();
    }
    if (dir_ == Direction::Input) {
      if (wasRunning) driver_->stop(driverStream_);
      driver_->reset(driverStream_);
    } else {
      driver_->reset(driverStream_);
      if (!wasRunning) driver_->start(driverStream_);
    }
    Wake();
    return MMSYSERR_NOERROR;
  }

  // First half of close: refuses while buffers are queued, else no port call does work anymore.
  MMRESULT BeginClose() {
    std::lock_guard lock(mutex_);
    if (head_ != nullptr) return WAVERR_STILLPLAYING;
    closing_ = true;
    running_.store(false, std::memory_order_release);
    cv_.notify_all();
    return MMSYSERR_NOERROR;
  }

  void Post(UINT message, LPARAM param) const {
    const messages::PostedPair pair{static_cast<WPARAM>(serial_), param};
    PostAll(message, &pair, 1);
  }

 private:
  // One buffer of Queue.  Caller holds the lock.
  MMRESULT QueueLocked(WAVEHDR* header) {
    const DWORD flags = LoadFlags(header);
    if (!(flags & WHDR_PREPARED) || header->reserved != serial_) return WAVERR_UNPREPARED;
    if (flags & WHDR_INQUEUE) return WAVERR_STILLPLAYING;
    if (header->lpData == nullptr || header->dwBufferLength < format_.nBlockAlign) {
      return MMSYSERR_INVALPARAM;
    }
    if (closing_) return MMSYSERR_INVALHANDLE;
    if (lost_) return MMSYSERR_NODRIVER;
    // The flags belong to the caller; the queue itself decides whether the header is in it, so a
    // header whose WHDR_INQUEUE was cleared by mistake can never be linked twice.
    for (const WAVEHDR* h = head_; h != nullptr; h = h->lpNext) {
      if (h == header) return WAVERR_STILLPLAYING;
    }
    if (dir_ == Direction::Input) header->dwBytesRecorded = 0;
    header->lpNext = nullptr;
    StoreFlags(header, (flags & ~WHDR_DONE) | WHDR_INQUEUE);
    if (tail_ == nullptr) {
      head_ = header;
      headOffset_ = 0;
    } else {
      tail_->lpNext = header;
    }
    tail_ = header;
    ++queued_;
    return MMSYSERR_NOERROR;
  }

  // Bytes of the buffer the device uses: whole blocks of the format.
  size_t Usable(const WAVEHDR* header) const {
    return header->dwBufferLength - header->dwBufferLength % format_.nBlockAlign;
  }
  // Keeps a gap at the current byte of the stream; one at the same byte grows.  Gaps nobody took
  // in time share the last slot (its position is then that of the first of them).  Caller holds
  // the lock.
  void NoteGap(uint64_t frames) {
    if (frames == 0) return;
    if (gapCount_ > 0 &&
        (gaps_[gapCount_ - 1].byteOffset == delivered_ || gapCount_ == kGapSlots)) {
      gaps_[gapCount_ - 1].frames += frames;
      return;
    }
    gaps_[gapCount_++] = VOXLWAVEGAP{delivered_, frames};
  }
  bool HasWork() const { return running_.load(std::memory_order_relaxed) && head_ != nullptr; }

  // Posts `count` messages `message` to the callback, in order, with one wake of its thread.
  void PostAll(UINT message, const messages::PostedPair* pairs, size_t count) const {
    if (callbackType_ == CALLBACK_THREAD) {
      if (auto queue = messages::FindQueue(static_cast<DWORD>(callback_))) {
        messages::PostMany(*queue, nullptr, message, pairs, count);
      }
    } else if (callbackType_ == CALLBACK_WINDOW) {
      messages::PostWindowMessages(reinterpret_cast<HWND>(callback_), message, pairs, count);
    }
  }

  // While one exists (the lock held), the buffers that come back are posted together when it
  // ends, or when kMostHeld are waiting: a driver call that fills or plays several buffers
  // wakes the application once.
  class PostBurst {
   public:
    explicit PostBurst(Stream& stream) : stream_(stream) { stream_.burst_ = this; }
    ~PostBurst() {
      Flush();
      stream_.burst_ = nullptr;
    }
    PostBurst(const PostBurst&) = delete;
    PostBurst& operator=(const PostBurst&) = delete;
    void Add(LPARAM header) {
      if (count_ == held_.size()) Flush();
      held_[count_++] = {static_cast<WPARAM>(stream_.serial_), header};
    }

   private:
    void Flush() {
      if (count_ > 0) stream_.PostAll(stream_.DoneMessage(), held_.data(), count_);
      count_ = 0;
    }
    static constexpr size_t kMostHeld = 16;
    Stream& stream_;
    std::array<messages::PostedPair, kMostHeld> held_{};
    size_t count_ = 0;
  };
  UINT DoneMessage() const { return dir_ == Direction::Input ? MM_WIM_DATA : MM_WOM_DONE; }

  // Returns the first queued buffer to the application.  Caller holds the lock; posting under it
  // keeps the messages in queue order.
  void CompleteHead() {
    WAVEHDR* header = head_;
    head_ = header->lpNext;
    if (head_ == nullptr) tail_ = nullptr;
    --queued_;
    if (dir_ == Direction::Input) header->dwBytesRecorded = static_cast<DWORD>(headOffset_);
    headOffset_ = 0;
    header->lpNext = nullptr;
    StoreFlags(header, (LoadFlags(header) & ~WHDR_INQUEUE) | WHDR_DONE);
    if (burst_ != nullptr) {
      burst_->Add(reinterpret_cast<LPARAM>(header));
    } else {
      Post(DoneMessage(), reinterpret_cast<LPARAM>(header));
    }
  }

  const Direction dir_;
  const WaveDriver* const driver_;
  const WAVEFORMATEX format_;
  const DWORD callbackType_;
  const DWORD_PTR callback_;
  const uintptr_t serial_;
  DriverStream* driverStream_ = nullptr;

  mutable std::mutex mutex_;
  std::condition_variable cv_;
  WAVEHDR* head_ = nullptr;  // queue linked through lpNext
  WAVEHDR* tail_ = nullptr;
  size_t queued_ = 0;
  size_t headOffset_ = 0;      // bytes filled (input) or played (output) of head_
  std::atomic<bool> running_;  // input started, or output not paused
  bool closing_ = false;
  bool woken_ = false;
  PostBurst* burst_ = nullptr;  // guarded by mutex_
  bool lost_ = false;           // the device is gone (Lost)
  // Input: bytes stored into buffers since open, and the gaps not yet taken, oldest first.
  uint64_t delivered_ = 0;
  static constexpr size_t kGapSlots = 16;
  std::array<VOXLWAVEGAP, kGapSlots> gaps_{};
  size_t gapCount_ = 0;
};

// Live streams by handle value.  Never destroyed, so device loops still running at process exit
// never meet a destroyed registry.
struct Registry {
  std::mutex mutex;
  std::unordered_map<uintptr_t, std::shared_ptr<Stream>> streams;
  uintptr_t nextSerial = 0x10000;
};

Registry& Streams() {
  static Registry* registry = new Registry;
  return *registry;
}

std::shared_ptr<Stream> Lookup(const void* handle, Direction dir) {
  Registry& registry = Streams();
  std::lock_guard lock(registry.mutex);
  auto it = registry.streams.find(reinterpret_cast<uintptr_t>(handle));
  if (it == registry.streams.end() || it->second->dir() != dir) return nullptr;
  return it->second;
}

// Only linear PCM of 8 or 16 bits, 1 or 2 channels, with consistent block and byte rates.
bool PcmFormatValid(const WAVEFORMATEX& f) {
  if (f.wFormatTag != WAVE_FORMAT_PCM) return false;
  if (f.nChannels < 1 || f.nChannels > 2) return false;
  if (f.wBitsPerSample != 8 && f.wBitsPerSample != 16) return false;
  if (f.nSamplesPerSec == 0) return false;
  if (f.nBlockAlign != f.nChannels * f.wBitsPerSample / 8) return false;
  return uint64_t{f.nAvgBytesPerSec} == uint64_t{f.nSamplesPerSec} * f.nBlockAlign;
}

// Maps a device number (or WAVE_MAPPER) to the driver's device; false when there is none.
bool ResolveDevice(const WaveDriver& driver, Direction dir, UINT_PTR id, UINT* device) {
  const UINT count = driver.count(dir);
  if (id == WAVE_MAPPER || id == static_cast<UINT_PTR>(-1)) {
    if (count == 0) return false;
    *device = driver.default_device(dir);
    return *device < count;
  }
  if (id >= count) return false;
  *device = static_cast<UINT>(id);
  return true;
}

MMRESULT Open(Direction dir, uintptr_t* handle, UINT id, const WAVEFORMATEX* format,
              DWORD_PTR callback, DWORD fdwOpen) {
  const bool query = (fdwOpen & WAVE_FORMAT_QUERY) != 0;
  if (handle != nullptr && !query) *handle = 0;
  if (fdwOpen & ~kKnownOpenFlags) return MMSYSERR_INVALFLAG;
  const DWORD callbackType = fdwOpen & CALLBACK_TYPEMASK;
  if (callbackType == CALLBACK_FUNCTION || callbackType == CALLBACK_EVENT) {
    return MMSYSERR_NOTSUPPORTED;
  }
  if (callbackType != CALLBACK_NULL && callbackType != CALLBACK_WINDOW &&
      callbackType != CALLBACK_THREAD) {
    return MMSYSERR_INVALFLAG;
  }
  if (format == nullptr || (handle == nullptr && !query)) return MMSYSERR_INVALPARAM;
  WAVEFORMATEX pcm;
  std::memcpy(&pcm, format, sizeof pcm);
  pcm.cbSize = 0;
  if (!PcmFormatValid(pcm)) return WAVERR_BADFORMAT;

  const WaveDriver& driver = ActiveDriver();
  UINT device = 0;
  if (!ResolveDevice(driver, dir, id, &device)) return MMSYSERR_BADDEVICEID;
  if (query) return driver.query(dir, device, &pcm);

  if (callbackType == CALLBACK_THREAD && callback == 0) return MMSYSERR_INVALPARAM;
  if (callbackType == CALLBACK_WINDOW && !IsWindow(reinterpret_cast<HWND>(callback))) {
    return MMSYSERR_INVALPARAM;
  }

  Registry& registry = Streams();
  uintptr_t serial;
  {
    std::lock_guard lock(registry.mutex);
    serial = registry.nextSerial++;
  }
  auto stream = std::make_shared<Stream>(dir, &driver, pcm, callbackType, callback, serial);
  DriverStream* driverStream = nullptr;
  MMRESULT result = driver.open(dir, device, &pcm, stream.get(), &driverStream);
  if (result != MMSYSERR_NOERROR) return result;
  stream->set_driver_stream(driverStream);
  {
    std::lock_guard lock(registry.mutex);
    registry.streams.emplace(serial, stream);
  }
  *handle = serial;
  stream->Post(dir == Direction::Input ? MM_WIM_OPEN : MM_WOM_OPEN, 0);
  return MMSYSERR_NOERROR;
}

MMRESULT Close(const void* handle, Direction dir) {
  std::shared_ptr<Stream> stream = Lookup(handle, dir);
  if (!stream) return MMSYSERR_INVALHANDLE;
  MMRESULT result = stream->BeginClose();
  if (result != MMSYSERR_NOERROR) return result;
  {
    Registry& registry = Streams();
    std::lock_guard lock(registry.mutex);
    registry.streams.erase(stream->serial());
  }
  stream->driver().close(stream->driverStream());
  stream->Post(dir == Direction::Input ? MM_WIM_CLOSE : MM_WOM_CLOSE, 0);
  return MMSYSERR_NOERROR;
}

enum class HeaderOp { Prepare, Unprepare, Queue };

MMRESULT OnHeader(const void* handle, Direction dir, WAVEHDR* header, UINT size, HeaderOp op) {
  std::shared_ptr<Stream> stream = Lookup(handle, dir);
  if (!stream) return MMSYSERR_INVALHANDLE;
  if (header == nullptr || size < sizeof(WAVEHDR)) return MMSYSERR_INVALPARAM;
  switch (op) {
    case HeaderOp::Prepare:
      return stream->Prepare(header);
    case HeaderOp::Unprepare:
      return stream->Unprepare(header);
    case HeaderOp::Queue: {
      size_t queued = 0;
      return stream->Queue(&header, 1, &queued);
    }
  }
  return MMSYSERR_ERROR;
}

template <typename Fn>
MMRESULT OnStream(const void* handle, Direction dir, Fn fn) {
  std::shared_ptr<Stream> stream = Lookup(handle, dir);
  if (!stream) return MMSYSERR_INVALHANDLE;
  return fn(*stream);
}

// VoxlWaveInAddBuffers / VoxlWaveOutWriteBuffers: `count` buffers queued under one lock, so the
// device wakes once for them.
MMRESULT QueueList(const void* handle, Direction dir, LPWAVEHDR const* headers, UINT count,
                   UINT* queued) {
  if (queued != nullptr) *queued = 0;
  if (count > 0 && headers == nullptr) return MMSYSERR_INVALPARAM;
  return OnStream(handle, dir, [&](Stream& s) -> MMRESULT {
    for (UINT i = 0; i < count; ++i) {
      if (headers[i] == nullptr) return MMSYSERR_INVALPARAM;
    }
    size_t done = 0;
    const MMRESULT result = s.Queue(headers, count, &done);
    if (queued != nullptr) *queued = static_cast<UINT>(done);
    return result;
  });
}

// Copies the device's name into a MAXPNAMELEN field: at most 31 bytes, never splitting a UTF-8
// character, always terminated.
void CopyDeviceName(char (&dst)[MAXPNAMELEN], const char* src, size_t srcSize) {
  size_t n = strnlen(src, srcSize);
  if (n > MAXPNAMELEN - 1) {
    n = MAXPNAMELEN - 1;
    while (n > 0 && (static_cast<unsigned char>(src[n]) & 0xC0) == 0x80) --n;
  }
  std::memcpy(dst, src, n);
  std::memset(dst + n, 0, MAXPNAMELEN - n);
}

MMRESULT GetCaps(Direction dir, UINT_PTR id, DeviceCaps* caps) {
  const WaveDriver& driver = ActiveDriver();
  UINT device = 0;
  if (!ResolveDevice(driver, dir, id, &device)) return MMSYSERR_BADDEVICEID;
  std::memset(caps, 0, sizeof *caps);
  MMRESULT result = driver.caps(dir, device, caps);
  caps->name[sizeof caps->name - 1] = '\0';
  return result;
}

constexpr WORD kUnmappedId = 0xFFFF;
constexpr MMVERSION kDriverVersion = 0x0100;

// WAVEINCAPSA and WAVEOUTCAPSA share their leading fields; the output record's dwSupport stays 0.
template <typename Caps>
MMRESULT FillCaps(Direction dir, UINT_PTR id, Caps* out, UINT size) {
  if (out == nullptr || size < sizeof(Caps)) return MMSYSERR_INVALPARAM;
  DeviceCaps caps;
  const MMRESULT result = GetCaps(dir, id, &caps);
  if (result != MMSYSERR_NOERROR) return result;
  Caps filled{};
  filled.wMid = kUnmappedId;
  filled.wPid = kUnmappedId;
  filled.vDriverVersion = kDriverVersion;
  CopyDeviceName(filled.szPname, caps.name, sizeof caps.name);
  filled.dwFormats = caps.formats;
  filled.wChannels = caps.channels;
  *out = filled;
  return MMSYSERR_NOERROR;
}

// waveInMessage / waveOutMessage: only DRVM_MAPPER_PREFERRED_GET on WAVE_MAPPER, which names
// the default device; MMSYSERR_NODRIVER when the direction has no device.
MMRESULT MapperMessage(Direction dir, const void* handle, UINT message, DWORD_PTR device,
                       DWORD_PTR status) {
  const auto id = reinterpret_cast<UINT_PTR>(handle);
  if (message != DRVM_MAPPER_PREFERRED_GET || (id != WAVE_MAPPER && id != UINT_PTR(-1))) {
    return MMSYSERR_NOTSUPPORTED;
  }
  if (device == 0 || status == 0) return MMSYSERR_INVALPARAM;
  UINT preferred = 0;
  if (!ResolveDevice(ActiveDriver(), dir, WAVE_MAPPER, &preferred)) return MMSYSERR_NODRIVER;
  *reinterpret_cast<DWORD*>(device) = preferred;
  *reinterpret_cast<DWORD*>(status) = 0;
  return MMSYSERR_NOERROR;
}

}  // namespace
}  // namespace voxl::wave

using voxl::wave::Direction;
using voxl::wave::HeaderOp;

extern "C" {

UINT waveInGetNumDevs(void) {
  return voxl::wave::ActiveDriver().count(Direction::Input);
}
UINT waveOutGetNumDevs(void) {
  return voxl::wave::ActiveDriver().count(Direction::Output);
}

MMRESULT waveInGetDevCapsA(UINT_PTR uDeviceID, LPWAVEINCAPSA pwic, UINT cbwic) {
  return voxl::wave::FillCaps(Direction::Input, uDeviceID, pwic, cbwic);
}

MMRESULT waveOutGetDevCapsA(UINT_PTR uDeviceID, LPWAVEOUTCAPSA pwoc, UINT cbwoc) {
  return voxl::wave::FillCaps(Direction::Output, uDeviceID, pwoc, cbwoc);
}

MMRESULT waveInMessage(HWAVEIN hwi, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
  return voxl::wave::MapperMessage(Direction::Input, hwi, uMsg, dw1, dw2);
}
MMRESULT waveOutMessage(HWAVEOUT hwo, UINT uMsg, DWORD_PTR dw1, DWORD_PTR dw2) {
  return voxl::wave::MapperMessage(Direction::Output, hwo, uMsg, dw1, dw2);
}

MMRESULT waveInOpen(LPHWAVEIN phwi, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                    DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
  uintptr_t handle = 0;
  MMRESULT result = voxl::wave::Open(Direction::Input, phwi ? &handle : nullptr, uDeviceID, pwfx,
                                     dwCallback, fdwOpen);
  if (phwi != nullptr && !(fdwOpen & WAVE_FORMAT_QUERY)) {
    *phwi = reinterpret_cast<HWAVEIN>(handle);
  }
  return result;
}

MMRESULT waveOutOpen(LPHWAVEOUT phwo, UINT uDeviceID, LPCWAVEFORMATEX pwfx, DWORD_PTR dwCallback,
                     DWORD_PTR /*dwInstance*/, DWORD fdwOpen) {
  uintptr_t handle = 0;
  MMRESULT result = voxl::wave::Open(Direction::Output, phwo ? &handle : nullptr, uDeviceID, pwfx,
                                     dwCallback, fdwOpen);
  if (phwo != nullptr && !(fdwOpen & WAVE_FORMAT_QUERY)) {
    *phwo = reinterpret_cast<HWAVEOUT>(handle);
  }
  return result;
}

MMRESULT waveInClose(HWAVEIN hwi) {
  return voxl::wave::Close(hwi, Direction::Input);
}
MMRESULT waveOutClose(HWAVEOUT hwo) {
  return voxl::wave::Close(hwo, Direction::Output);
}

MMRESULT waveInPrepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
  return voxl::wave::OnHeader(hwi, Direction::Input, pwh, cbwh, HeaderOp::Prepare);
}
MMRESULT waveInUnprepareHeader(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
  return voxl::wave::OnHeader(hwi, Direction::Input, pwh, cbwh, HeaderOp::Unprepare);
}
MMRESULT waveInAddBuffer(HWAVEIN hwi, LPWAVEHDR pwh, UINT cbwh) {
  return voxl::wave::OnHeader(hwi, Direction::Input, pwh, cbwh, HeaderOp::Queue);
}
MMRESULT waveOutPrepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
  return voxl::wave::OnHeader(hwo, Direction::Output, pwh, cbwh, HeaderOp::Prepare);
}
MMRESULT waveOutUnprepareHeader(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
  return voxl::wave::OnHeader(hwo, Direction::Output, pwh, cbwh, HeaderOp::Unprepare);
}
MMRESULT waveOutWrite(HWAVEOUT hwo, LPWAVEHDR pwh, UINT cbwh) {
  return voxl::wave::OnHeader(hwo, Direction::Output, pwh, cbwh, HeaderOp::Queue);
}

MMRESULT VoxlWaveInTakeGap(HWAVEIN hwi, uint64_t upToByte, VOXLWAVEGAP* gap) {
  if (gap == nullptr) return MMSYSERR_INVALPARAM;
  return voxl::wave::OnStream(hwi, Direction::Input, [&](auto& s) {
    return s.TakeGap(upToByte, gap) ? MMSYSERR_NOERROR : MMSYSERR_ERROR;
  });
}

MMRESULT VoxlWaveInAddBuffers(HWAVEIN hwi, LPWAVEHDR const* headers, UINT count, UINT* queued) {
  return voxl::wave::QueueList(hwi, Direction::Input, headers, count, queued);
}

MMRESULT VoxlWaveOutWriteBuffers(HWAVEOUT hwo, LPWAVEHDR const* headers, UINT count, UINT* queued) {
  return voxl::wave::QueueList(hwo, Direction::Output, headers, count, queued);
}

MMRESULT waveInStart(HWAVEIN hwi) {
  return voxl::wave::OnStream(hwi, Direction::Input, [](auto& s) { return s.Run(); });
}
MMRESULT waveInStop(HWAVEIN hwi) {
  return voxl::wave::OnStream(hwi, Direction::Input, [](auto& s) { return s.Hold(); });
}
MMRESULT waveInReset(HWAVEIN hwi) {
  return voxl::wave::OnStream(hwi, Direction::Input, [](auto& s) { return s.Reset(); });
}
MMRESULT waveOutPause(HWAVEOUT hwo) {
  return voxl::wave::OnStream(hwo, Direction::Output, [](auto& s) { return s.Hold(); });
}
MMRESULT waveOutRestart(HWAVEOUT hwo) {
  return voxl::wave::OnStream(hwo, Direction::Output, [](auto& s) { return s.Run(); });
}
MMRESULT waveOutReset(HWAVEOUT hwo) {
  return voxl::wave::OnStream(hwo, Direction::Output, [](auto& s) { return s.Reset(); });
}

}  // extern "C"
