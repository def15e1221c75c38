// The recorder record: everything the library knows about one recorder, with its method table at
// its head, its public states, its error codes and the engine's stages and commands.
//
// Two threads use the record: the host's thread (methods, helper window, callbacks) and the
// engine thread (devices, conversion streams and, during a run, the file).  Every field that
// both touch is a std::atomic of the stated width; the hand-off order is by message queue and by
// the engine writing `state` last when it ends a run.  Fields without an atomic belong to one
// thread at a time: the host's while the engine is idle, the engine's during a run.
#pragma once

#include <algorithm>
#include <atomic>
#include <cstdint>
#include <cstdio>
#include <mutex>

#include "core/take_marks.h"
#include "platform/acm/acm.h"
#include "platform/mmio/mmio.h"
#include "platform/wave/wave.h"
#include "voxl310k.h"
#include "voxl310k_platform.h"

namespace voxl {

class HelperWindow;
class EditJournal;
class BlockPool;
struct PooledBlock;

// The public states, error codes and stop reasons are those of voxl310k.h; these are their
// names in the recorder's own code.
enum RecorderState : uint16_t {
  StateCreated = VOXL_STATE_CREATED,
  StateIdle = VOXL_STATE_IDLE,
  StateOpen = VOXL_STATE_OPEN,
  StateRecording = VOXL_STATE_RECORDING,
  StatePlaying = VOXL_STATE_PLAYING,
};

// Error codes of the recorder's operations; stopReason holds ErrNone or the code that ended a
// run (one of VoxlStopReason).
enum RecorderError : uint16_t {
  ErrNone = VOXL_ERR_NONE,
  ErrCaptureFormatRefused = VOXL_ERR_CAPTURE_FORMAT_REFUSED,
  ErrFileOpen = VOXL_ERR_FILE_OPEN,
  ErrRiffWrite = VOXL_ERR_RIFF_WRITE,
  ErrNotRiffWave = VOXL_ERR_NOT_RIFF_WAVE,
  ErrFormatUnusable = VOXL_ERR_FORMAT_UNUSABLE,
  ErrNoEngine = VOXL_ERR_NO_ENGINE,
  ErrNeedsOpen = VOXL_ERR_NEEDS_OPEN,
  ErrCaptureWrite = VOXL_ERR_CAPTURE_WRITE,
  ErrCaptureStart = VOXL_ERR_CAPTURE_START,
  ErrPlaybackStart = VOXL_ERR_PLAYBACK_START,
  ErrPlaybackRead = VOXL_ERR_PLAYBACK_READ,
  ErrVolumeControl = VOXL_ERR_VOLUME_CONTROL,
  ErrLengthLimit = VOXL_ERR_LENGTH_LIMIT,
  ErrNoCodecManager = VOXL_ERR_NO_CODEC_MANAGER,
  ErrChooserCancelled = VOXL_ERR_CHOOSER_CANCELLED,
  ErrFormatNotDescribed = VOXL_ERR_FORMAT_NOT_DESCRIBED,
  ErrNoTargetFormat = VOXL_ERR_NO_TARGET_FORMAT,
  ErrReadOnly = VOXL_ERR_READ_ONLY,
  ErrNoFile = VOXL_ERR_NO_FILE,
  ErrDeviceLost = VOXL_ERR_DEVICE_LOST,
  ErrFileInUse = VOXL_ERR_FILE_IN_USE,
  ErrNotAFile = VOXL_ERR_NOT_A_FILE,
  ErrCancelled = VOXL_ERR_CANCELLED,
  ErrSameFile = VOXL_ERR_SAME_FILE,
};

// The engine thread's own stage.
enum EngineStage : uint16_t {
  NotRunning = 0,
  QueueReady = 1,
  Idle = 2,
  CaptureFailed = 3,
  Capturing = 4,
  Draining = 5,
  PlaybackFailed = 6,
  Playing = 7,
};

// Commands posted to the engine thread as message kEngineCommandMessage, code in wParam.
enum EngineCommand : uint32_t {
  CmdHandshake = 0,
  CmdQuit = 1,
  CmdRecord = 2,
  CmdStopRecord = 3,
  CmdPlay = 4,
  CmdStopPlay = 5,
  CmdPause = 6,  // lParam: the new paused value, sign-extended
};

constexpr UINT kEngineCommandMessage = WM_USER + 14;  // 1038
constexpr UINT kNotifyMessage = WM_USER + 13;         // 1037, to the helper window

// Notification codes of kNotifyMessage (wParam).
enum NotifyCode : uint32_t {
  NotifyCaptureEnded = 1,  // lParam: the run it belongs to
  NotifyPlaybackEnded = 2,
  NotifyLevels = 3,        // lParam: the run it belongs to
  NotifyBlock = 4,         // lParam: a CapturedBlock the receiver owns
  NotifyCallbackFive = 5,  // posted by nothing in the library
  NotifySilenceChanged = 6,
  NotifyDropout = 7,  // lParam: a DropoutNote the receiver owns
  // lParam: a PooledBlock (engine/block_pool.h) the receiver gives back to its pool; posted
  // instead of NotifyBlock to a recorder with a block sink.
  NotifyPooledBlock = 8,
};

constexpr uint32_t kNoThread = 0xFFFFFFFFu;      // threadHandle when the engine could not start
constexpr uint64_t kCursorUnknown = UINT64_MAX;  // fileCursor: recompute from position
constexpr float kNoLevel = -9999.0f;
constexpr int kNameBytes = 300;       // fixed text buffers, terminator included
constexpr int kWaveBufferCount = 10;  // device buffers per run

// A piece of recorded data on its way from the engine to the host (notification 4).  The
// receiver owns the record and both copies (allocated with malloc).
struct CapturedBlock {
  void* format;         // copy of the format: WAVEFORMATEX and its extra bytes
  uint32_t formatSize;  // bytes
  void* data;           // copy of the data
  uint32_t dataLength;  // bytes
  uint32_t run;         // the run that recorded it (Recorder::run)
};

// The six host callbacks, in slot order.
using RecorderCallbacks = VoxlRecorderCallbacks;

// The host's progress callback for long work on its own thread (a cut's move of the audio
// behind it, a compaction's copy): `done` of `total` bytes, reported as a fraction.
struct ProgressHook {
  VoxlProgressCallback report = nullptr;
  void* context = nullptr;
  void Report(uint64_t done, uint64_t total) const {
    if (report != nullptr && total > 0) {
      report(static_cast<double>(std::min(done, total)) / static_cast<double>(total), context);
    }
  }
};

// The 64-bit sizes of an RF64 recording, as its "ds64" chunk (at offset 12) holds them.  A file
// has the room for them when a "JUNK" chunk of kLargeSizesBytes or more sits at offset 12 (a
// recording made in large-file mode) or it is an RF64 file already; while `active`, the 32-bit
// form and data sizes say 0xFFFFFFFF and these are the sizes.
struct LargeSizes {
  bool room = false;
  bool active = false;
  uint64_t form = 0, data = 0, samples = 0;
};
// Bytes of the "ds64" body: form size, data size and sample count (8 each), a table length of 0.
constexpr uint32_t kLargeSizesBytes = 28;
// File offset of that body: behind "RIFF" <size> "WAVE" and the chunk's own header.
constexpr uint64_t kLargeSizesAt = 20;

struct Recorder {
  // Method table at the head: a Recorder* is a VoxlRecorder* for hosts.
  const VoxlRecorderVtbl* methods = nullptr;

  // ---- Link to the engine and the host ----
  std::atomic<uint32_t> threadHandle{0};  // kNoThread when the thread could not start
  std::atomic<uint16_t> engineStage{NotRunning};
  std::atomic<uint32_t> threadId{0};  // target of every engine command
  std::once_flag engineGreeted;       // the start handshake (AwaitEngine) has been done
  HelperWindow* helperWindow = nullptr;
  RecorderCallbacks callbacks{};
  // Set by a host inside the library (the flat functions) before any run: recorded data then
  // reaches it as blocks of `blockPool`, handed to `blockSink` on the host thread, without the
  // separate copies that callback slot 4 receives.
  std::atomic<BlockPool*> blockPool{nullptr};
  std::atomic<void (*)(PooledBlock*)> blockSink{nullptr};
  ProgressHook progress{};  // host's thread only
  TakeMarks marks;          // dropouts and the lost device of the open recording
  // The helper window's handle, target of every notification.  Cleared before the window is
  // destroyed; the engine reads it for each post, so it never touches the HelperWindow object.
  std::atomic<HWND> notifyWindow{nullptr};
  // Runs the engine has started or tried to start: incremented after each CmdRecord or CmdPlay
  // taken in Idle, once the stage and state show the outcome.  Record and Play wait for it to
  // move, so a run that ends before they look cannot leave them waiting.
  std::atomic<uint32_t> runsStarted{0};
  // The latest run, counted from 1: moved by the engine when it takes CmdRecord or CmdPlay in
  // Idle, before the run posts anything.  The engine stamps it on every block and level
  // notification, so that what a stopped run posted can be told from what a later run posts.
  std::atomic<uint32_t> run{0};
  // Host thread only: the run of the block, level or capture-ended notification the helper window
  // is handing to a callback right now, for callbacks that must tell runs apart (the flat
  // functions).
  uint32_t deliveringRun = 0;

  // ---- Public state and errors ----
  std::atomic<uint16_t> state{StateCreated};
  std::atomic<uint16_t> lastError{ErrNone};
  std::atomic<uint16_t> stopReason{ErrNone};

  // ---- Capture format (set by the host in states 0 and 1) ----
  uint32_t sampleRate = 44100;  // Hz
  uint16_t sampleFormat = 16;   // 8, 16 linear PCM; 106 A-law; 107 mu-law; 100 compressed
  uint16_t channels = 2;        // 1 or 2

  // ---- File, stream and position ----
  HMMIO fileHandle = nullptr;  // null in streaming mode
  MMCKINFO riffChunk{};
  MMCKINFO fmtChunk{};
  MMCKINFO factChunk{};
  MMCKINFO dataChunk{};
  uint16_t hasFactChunk = 0;
  WAVEFORMATEX pcmFormat{};  // the PCM format used on the wave devices
  // Sample frames, 64-bit: an RF64 file holds more than the method table's 32-bit counts reach
  // (GetPosition and GetLength report them capped; the seconds methods are exact).
  std::atomic<uint64_t> length{0};
  std::atomic<int64_t> position{0};
  char fileName[kNameBytes] = {};  // system code page, zero-terminated; empty = none
  std::atomic<uint16_t> deleteOnClose{0};
  // Whether anything was written to the open file (a new file, a run, an edit): only then does
  // closing it write its sizes, so a file that was only opened stays byte for byte as it was.
  std::atomic<uint16_t> fileChanged{0};
  uint16_t readOnly = 0;
  int16_t fileKind = 0;  // 0 RIFF/WAVE, 1 headerless from byte 0, 2 scanned, -n from byte n
  std::atomic<uint16_t> insertMode{0};
  std::atomic<uint16_t> largeFileMode{VOXL_LARGE_FILE_NONE};  // VoxlSetLargeFileMode
  LargeSizes large;                         // of the open RIFF/WAVE file (riff_layout.h)
  std::atomic<uint64_t> recordedLength{0};  // frames captured into the current file
  std::atomic<uint16_t> paused{0};

  // ---- Limits and marker tones ----
  std::atomic<uint64_t> maxLengthSamples{0};  // 0 = no limit
  std::atomic<double> maxLengthSeconds{0.0};
  std::atomic<float> startToneSeconds{0.0f};
  std::atomic<float> endToneSeconds{0.0f};
  uint32_t startTonePending = 0;  // engine: start tone due before the next recorded data

  // ---- Devices ----
  std::atomic<int32_t> inputDevice{-1};  // -1 = wave mapper
  std::atomic<int32_t> outputDevice{-1};
  // A recorder made for files (VoxlCreateFileRecorder, file conversion): its formats are not
  // asked of the devices (neither by Close in states 0 and 1 nor when a compressed format is
  // taken), so it touches no sound device until it records (a refusing device then fails the
  // start) or plays.
  uint16_t withoutDevices = 0;

  // ---- Levels and silence detection (written by the engine, read by the host) ----
  std::atomic<float> levelLeft{0.0f};
  std::atomic<float> levelRight{0.0f};
  std::atomic<uint32_t> clipLeft{0};
  std::atomic<uint32_t> clipRight{0};
  double peakLeft = 0.0;  // engine only: largest squared normalised sample of the buffer
  double peakRight = 0.0;
  std::atomic<int16_t> clipHoldLeft{0};
  std::atomic<int16_t> clipHoldRight{0};
  std::atomic<uint16_t> silenceMode{0};       // 0 off, 1 left, 2 right, 3 both
  std::atomic<float> soundThreshold{0.0f};    // dB <= 0
  std::atomic<float> silenceThreshold{0.0f};  // dB <= 0
  std::atomic<uint16_t> silenceHold{0};       // quiet measurements before silence is declared
  std::atomic<uint16_t> silent{0};
  std::atomic<uint16_t> silenceCountdown{0};

  // ---- Conversion set ----
  WAVEFORMATEX* chosenFormat = nullptr;  // heap, with its extra bytes
  int32_t chosenFormatSize = 0;          // bytes allocated
  WAVEFORMATEX* fileFormat = nullptr;
  int32_t fileFormatSize = 0;
  std::atomic<uint32_t> compressed{0};
  double samplesPerBlock = 0.0;
  WAVEFORMATEX suggestedPcmFormat{};
  HACMSTREAM encodeStream = nullptr;
  HACMSTREAM decodeStream = nullptr;
  uint32_t pcmBlockBytes = 0;
  uint32_t encodedBlockBytes = 0;
  uint32_t decodeSourceBytes = 0;
  ACMSTREAMHEADER encodeHeader{};
  ACMSTREAMHEADER decodeHeader{};
  uint32_t encodeFlags = 0;
  uint32_t decodeFlags = 0;
  // A file whose format states the decoded frames before its first recorded one (an MPEG
  // Layer-3 recording of this system): its length is the frames recorded, not what the data's
  // bytes give at the bitrate.  The encoder's count of frames it took in this run, whether the
  // run encodes the file's whole data (it began with an empty file), and what the decoder may
  // still give before the length ends it.
  std::atomic<uint64_t> encoderFramesIn{0};
  std::atomic<uint8_t> encodesWholeFile{0};
  uint64_t decodeFramesLeft = 0;  // engine only

  // ---- Device buffers and run state ----
  WAVEHDR* waveHeaders = nullptr;  // kWaveBufferCount records
  uint32_t waveBufferBytes = 0;    // bytes per device buffer, whole blocks
  HWAVEIN waveIn = nullptr;
  HWAVEOUT waveOut = nullptr;
  int16_t buffersQueued = 0;
  HMMIO spliceFile = nullptr;
  char spliceFileName[kNameBytes] = {};
  // The edit journal of an insert-mode run while its splice file exists (wavefile/edit_journal.h).
  EditJournal* spliceJournal = nullptr;
  // An overwrite-mode run into a RIFF/WAVE file: the file's bytes up to its first data byte, in
  // which the sizes are brought up to date and written back in one piece (riff_layout.h).
  uint8_t* sizeHeader = nullptr;
  uint32_t sizeHeaderBytes = 0;
  int64_t insertStart = 0;
  std::atomic<double> readPosition{0.0};
  std::atomic<uint64_t> fileCursor{0};
  std::atomic<uint32_t> stopPhase{0};

  // ---- Display properties (stored for the host, not interpreted) ----
  uint32_t meterBackColor = 0x8000000Fu;
  uint32_t meterLowColor = 0x0000FF00u;
  uint32_t meterMidColor = 0x0000FFFFu;
  uint32_t meterHighColor = 0x000000FFu;
  uint16_t meterSegments = 8;  // 1 to 20
  uint16_t meterStyle = 0;     // 0 to 3
  uint16_t meterOption = 0;    // 0 or 1
};

// The VoxlRecorder a host sees and the Recorder behind it are the same object.
inline Recorder* FromHost(VoxlRecorder* r) {
  return reinterpret_cast<Recorder*>(r);
}
inline VoxlRecorder* ToHost(Recorder* r) {
  return reinterpret_cast<VoxlRecorder*>(r);
}

// What the body of a method answers, and the method table passes on: the call was accepted, or
// refused (an argument out of range or a state that forbids it; nothing changed).
constexpr uint32_t kAccepted = 0;
constexpr uint32_t kRefused = 1;

// Whether nothing is open yet (states 0 and 1), when the capture settings may change.
inline bool StateIsCreatedOrIdle(const Recorder& r) {
  const uint16_t state = r.state.load();
  return state == StateCreated || state == StateIdle;
}

// Records an operation's error code in the out-parameter and, when not 0, in lastError.
inline void ReportError(Recorder& r, uint16_t* error, uint16_t code) {
  if (error != nullptr) *error = code;
  if (code != ErrNone) r.lastError = code;
}

// The last error code, once: lastError is 0 afterwards.
inline uint16_t TakeLastError(Recorder& r) {
  return r.lastError.exchange(ErrNone);
}

// The meter's "no signal" reading: both levels kNoLevel and no clip.  The clip-hold counters and
// `silent` are left alone.
inline void ClearMeter(Recorder& r) {
  r.levelLeft = kNoLevel;
  r.levelRight = kNoLevel;
  r.clipLeft = 0;
  r.clipRight = 0;
}

}  // namespace voxl
