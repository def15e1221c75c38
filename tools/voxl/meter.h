// What voxl stream and voxl record share while audio comes in: the live level meter on stderr,
// the stop signals (Ctrl-C, SIGTERM) as a descriptor to poll beside the message queue, and the
// signal of the built-in virtual input with the notice that it serves.
#pragma once

#include <cstdio>
#include <string>

namespace voxl::cli {

// Levels of one moment, in dBFS (-9999 or anything below -999 = no signal).
struct MeterLevels {
  double left = -9999.0;
  double right = -9999.0;
  bool clipLeft = false;
  bool clipRight = false;
};

// One meter line: elapsed time, a bar and the level of each channel, and CLIP marks, e.g.
//   "00:03.2  L [##############------] -12.0 dB       R [#######-------------] -30.0 dB CLIP"
// The bars span -60 to 0 dB.  `channels` 1 shows one bar.
std::string RenderMeterLine(double elapsedSeconds, const MeterLevels& levels, int channels);

// The meter on a stream (stderr).  On a terminal the line is redrawn in place (at most ten times
// a second); otherwise one line is written per second of elapsed time, so logs stay readable.
// Clip marks stay on for two seconds after a clipped measurement.
class LevelMeter {
 public:
  enum class Mode { Off, Redraw, LinePerSecond };
  // Off when quiet; Redraw when `out` is a terminal; else LinePerSecond.
  static Mode ModeFor(std::FILE* out, bool quiet);

  LevelMeter(std::FILE* out, Mode mode, int channels)
      : out_(out), mode_(mode), channels_(channels) {}
  void SetLevels(double leftDb, double rightDb, bool clipLeft, bool clipRight, double now);
  // Text shown behind the bars from the next drawing on (empty: none), e.g. what silence
  // detection is doing.
  void SetNote(std::string note) { note_ = std::move(note); }
  // Draws the meter as of `elapsedSeconds` when it is due.
  void Show(double elapsedSeconds);
  // Ends the redrawn line, so that later messages start on a line of their own.
  void Finish();
  // Writes `line` as a line of its own (also when the meter is off); a redrawn meter line is
  // cleared first and drawn again at the next Show.
  void Say(const std::string& line);

 private:
  std::FILE* out_;
  Mode mode_;
  int channels_;
  MeterLevels levels_;
  std::string note_;
  double clipLeftUntil_ = -1.0;
  double clipRightUntil_ = -1.0;
  double lastDrawn_ = -1.0;
  bool drawn_ = false;
};

// Blocks SIGINT and SIGTERM in the calling thread (threads started later inherit that) and
// returns a descriptor that becomes readable when one arrives; -1 on failure.  Also ignores
// SIGPIPE and SIGXFSZ, so a closed pipe or a file at the process's size limit shows up as a
// write error and the file is still finished.  Call before the recorder starts.
int OpenStopSignals();
// Reads the pending signal; true when one was there.
bool TakeStopSignal(int fd);

// Makes the built-in virtual input play voxl's test tone, a 440 Hz sine at -12 dBFS, unless
// VOXL_VIRTUAL_INPUT already says what it plays.  Call before the library opens any device.
void ChooseVirtualInputSignal();
// When the built-in virtual driver serves, says so on stderr, with what its input plays: a take
// of a test tone must never pass for a real one.  Nothing when quiet.  Call once the command line
// is accepted, before recording starts.
void NoteVirtualInput(bool quiet);

// Seconds of a monotonic clock.
double MonotonicSeconds();

}  // namespace voxl::cli
