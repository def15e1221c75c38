// The engine thread: its start, its message loop and stage machine, the notifications it posts
// to the helper window, and the steps of a capture or playback run that the loop calls.
//
// Inside view of the recorder; hosts use transport.h.
#pragma once

#include <atomic>
#include <cstdint>
#include <mutex>

#include "core/recorder.h"

namespace voxl {

// ---- Engine thread (engine.cpp) ----

// Starts the engine thread of `r`; on failure threadHandle := kNoThread and engineStage stays
// NotRunning.  Runs on the constructing thread, after the helper window exists.  It does not wait
// for the thread: a recorder that only reads and edits files never needs it, and a short command
// should not pay for its start.
void StartEngine(Recorder& r);
// Returns once the engine thread of `r` is Idle with its queue ready (at once after the first
// time, or when there is no engine).  Everything that talks to the engine calls it first:
// PostEngineCommand, PostEngineTestStage and the destruction of the recorder.
void AwaitEngine(Recorder& r);

// The engine thread's procedure; `recorder` is the Recorder.  Ends only through CmdQuit.
void EngineThreadProc(void* recorder);

// Posts an EngineCommand to the engine thread (message kEngineCommandMessage).  False when the
// post failed (no engine, or its queue is gone).
bool PostEngineCommand(Recorder& r, EngineCommand command, LPARAM argument = 0);

// Posts notification `code` to the helper window (message kNotifyMessage).  Engine thread.  While
// the engine handles a batch of captured buffers the notifications wait and go out together, in
// order, when the batch ends.  A failed post is ignored, except that what the notification owns
// is given back so nothing leaks: a CapturedBlock (NotifyBlock) is freed with its copies, a
// PooledBlock (NotifyPooledBlock) goes back to its pool, a DropoutNote (NotifyDropout) is freed.
void PostNotification(Recorder& r, NotifyCode code, LPARAM argument = 0);

// While the engine handles a batch of captured buffers, the file's sizes are written once for
// the whole batch, just before its notifications go out: true when the open batch has taken
// the update over (engine thread; false outside a capture batch or once the run left Capturing).
bool DeferSizesToBatchEnd(Recorder& r);

// Frees a CapturedBlock, its format copy and its data copy.  Null is accepted.
void FreeCapturedBlock(CapturedBlock* block);

// A thread waiting for engines to move (WaitUntil).  While one exists, every engine wakes it
// after each message it has handled; the holder sleeps in between.
class EngineWait {
 public:
  EngineWait();
  ~EngineWait();
  EngineWait(const EngineWait&) = delete;
  EngineWait& operator=(const EngineWait&) = delete;
  // Sleeps until some engine has handled a message since the last look (or spuriously).
  void Wait();

 private:
  std::unique_lock<std::mutex> lock_;
};

// Sleeps until `condition`, which reads fields the engine thread writes (atomics), holds.  No
// time limit: the engine always answers.
template <typename Condition>
void WaitUntil(Condition condition) {
  if (condition()) return;
  EngineWait engine;
  while (!condition()) engine.Wait();
}

// ---- Capture run (capture.cpp) ----

// CmdRecord in Idle: opens the input device and its buffers.  Ends in Capturing with the device
// running, or in CaptureFailed with everything it opened released.  The engine then sets state
// 3 itself when the stage is Capturing (Record does not), and counts the run in runsStarted.
void BeginCapture(Recorder& r);
// MM_WIM_DATA: stores and delivers the data of a filled buffer.  May move the stage to Draining
// (limit reached, write failure).  The engine then applies the buffer return rule.
void OnCaptureBufferDone(Recorder& r, WAVEHDR& header);
// The last capture buffer is back: releases the device and buffers, stage Idle, posts
// notification 1 and sets state 2 (last).
void FinishCapture(Recorder& r);

// The steps of a run that store recorded audio, without the device: also for converting a file
// into a recording (file_convert.h), on the thread that owns the recorder, with engineStage set
// to Capturing and no device.  BeginStoring, at the start of the run: the write position, the
// encoder, the size updates and the splice file (false, after FailStart's cleanup, when that
// cannot be made).  StoreRecorded: `recorded` bytes of PCM in DeviceFormat(pcmFormat) go into
// the recording as a filled device buffer would (the buffer is used as scratch: A-law and mu-law
// are encoded in place); the length limit, a failed write or a full file move engineStage to
// Draining with the code in stopReason.  EndStoring, at the end: the encoder's flush, the end
// tone, the sizes and the splice.
bool BeginStoring(Recorder& r);
void StoreRecorded(Recorder& r, uint8_t* data, uint32_t recorded);
void EndStoring(Recorder& r);

// ---- Playback run (playback.cpp) ----

// CmdPlay in Idle: opens the output device and queues the first buffers.  Ends in Playing, or in
// PlaybackFailed with everything it opened released.  The engine then sets state 4 itself when
// the stage is Playing, and counts the run in runsStarted.
void StartPlayback(Recorder& r);
// MM_WOM_DONE: accounts for a played buffer and refills it while Playing; the engine gives a
// refilled buffer back with ReturnPlayBuffers.  Refilled, or else Drained, or Last when the last
// buffer is back (buffersQueued <= 0).
enum class PlayedBuffer { Refilled, Drained, Last };
PlayedBuffer OnPlayBufferDone(Recorder& r, WAVEHDR& header);
// Writes `count` refilled buffers back to the device in order, with one wake of the device where
// the platform can.
void ReturnPlayBuffers(Recorder& r, WAVEHDR* const* headers, size_t count);
// The last playback buffer is back: releases the device and buffers, stage Idle, posts
// notification 2 and sets state 2 (last).
void FinishPlayback(Recorder& r);

// Reading the open file as playback reads it, without the device: also for converting a file.
// BeginPlaybackRead opens the decode stream and starts reading at `position`, `bufferBytes` at
// most per read (whole frames of DeviceFormat(pcmFormat); one conversion block at least for a
// compressed file).  ReadPlayBuffer fills header.lpData and sets header.dwBufferLength: returns
// the frames, 0 at the end of the audio, negative when the file could not be read.
// CloseConversionStreams ends it.
void BeginPlaybackRead(Recorder& r, uint32_t bufferBytes);
int32_t ReadPlayBuffer(Recorder& r, WAVEHDR& header);

// ---- Test hooks ----

// Thread message of the test hook below; no part of the library posts it.
constexpr UINT kEngineTestMessage = WM_USER + 0x100;
// Leave engineStage as it is (PostEngineTestStage used as a queue barrier only).
constexpr uint16_t kKeepStage = 0xFFFF;

// Posts a test message to the engine: when the engine reaches it in its queue it sets
// engineStage to `stage` (unless kKeepStage), then sets *reached (when not null).  Lets tests
// put the engine in a stage that no real run produces and use its queue as a barrier.
bool PostEngineTestStage(Recorder& r, uint16_t stage, std::atomic<bool>* reached);

// While set, StartEngine behaves as if the thread could not be created.
void SetEngineStartFailsForTesting(bool fails);

// While not 0, every capture run starts with position and length at `frames`, as if that much
// had been recorded before, so tests reach the end of the 32-bit frame range without waiting.
void SetCaptureStartFramesForTesting(uint32_t frames);

}  // namespace voxl
