// voxl play: plays a sound file through an output device with the recorder's method table:
// OpenFile (read-only), the position and the pause flag, Play, and a message loop that shows
// the elapsed time, the position and the level meter until the file ends, q or Ctrl-C.  On a
// terminal, space pauses and resumes and the arrow keys move by 5 seconds.
#include <termios.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>
#include <vector>

#include "commands.h"
#include "meter.h"
#include "voxl310k.h"

namespace voxl::cli {
namespace {

constexpr double kSeekSeconds = 5.0;

struct PlayOptions {
  std::string file;
  OpenOptions open;
  double at = 0.0;  // seconds from the start
  std::string device;
  bool paused = false;
  bool quiet = false;
};

// The callbacks have no context argument; voxl plays with one recorder at a time.
struct PlayWatch {
  bool ended = false;
  WORD stopReason = VOXL_STOP_NORMAL;
  MeterLevels levels;
};
PlayWatch gPlay;

void CALLBACK OnPlaybackEnded(DWORD code) {
  gPlay.ended = true;
  gPlay.stopReason = static_cast<WORD>(code);
}

void CALLBACK OnLevels(FLOAT left, DWORD clipLeft, FLOAT right, DWORD clipRight) {
  gPlay.levels = MeterLevels{left, right, clipLeft != 0, clipRight != 0};
}

// Single keys from a terminal on stdin, without echo, for the life of the object.
class RawKeys {
 public:
  RawKeys() {
    if (isatty(STDIN_FILENO) == 0 || tcgetattr(STDIN_FILENO, &saved_) != 0) return;
    termios raw = saved_;
    raw.c_lflag &= ~static_cast<tcflag_t>(ICANON | ECHO);
    raw.c_cc[VMIN] = 0;
    raw.c_cc[VTIME] = 0;
    active_ = tcsetattr(STDIN_FILENO, TCSANOW, &raw) == 0;
  }
  ~RawKeys() {
    if (active_) tcsetattr(STDIN_FILENO, TCSANOW, &saved_);
  }
  bool active() const { return active_; }

 private:
  termios saved_{};
  bool active_ = false;
};

enum class Key { None, Pause, Back, Forward, Quit };

// Every key of what the terminal sent in one read: space, q, and the arrow keys (ESC [ D /
// ESC [ C).  A held key arrives as several presses at once, and each one counts.
std::vector<Key> ReadKeys() {
  char bytes[64];
  const ssize_t n = read(STDIN_FILENO, bytes, sizeof bytes);
  std::vector<Key> keys;
  for (ssize_t i = 0; i < n; ++i) {
    if (bytes[i] == ' ') keys.push_back(Key::Pause);
    if (bytes[i] == 'q' || bytes[i] == 'Q') keys.push_back(Key::Quit);
    if (bytes[i] == '\x1b' && i + 2 < n && bytes[i + 1] == '[') {
      if (bytes[i + 2] == 'D') keys.push_back(Key::Back);
      if (bytes[i + 2] == 'C') keys.push_back(Key::Forward);
      i += 2;
    }
  }
  return keys;
}

std::string Clock(double seconds) {
  // Clamped to what the display holds (a million hours), so any value converts safely.
  const double shown = std::isnan(seconds) ? 0.0 : std::clamp(seconds, 0.0, 3.6e9);
  const auto tenths = static_cast<long long>(shown * 10.0);
  char text[32];
  std::snprintf(text, sizeof text, "%02lld:%02lld.%lld", tenths / 600, tenths / 10 % 60,
                tenths % 10);
  return text;
}

// The status line of a run: elapsed time, the position in the file, paused, and the levels.
class PlayStatus {
 public:
  PlayStatus(VoxlRecorder* rec, bool quiet, WORD channels, double length)
      : rec_(rec),
        mode_(LevelMeter::ModeFor(stderr, quiet)),
        channels_(channels),
        length_(length),
        started_(MonotonicSeconds()) {}
  // Draws the line when it is due (`force`: now).
  void Draw(bool force) {
    const double now = MonotonicSeconds() - started_;
    const double interval = mode_ == LevelMeter::Mode::Redraw ? 0.1 : 1.0;
    if (mode_ == LevelMeter::Mode::Off || (!force && now - lastDrawn_ < interval)) return;
    lastDrawn_ = now;
    DOUBLE position = 0.0;
    WORD paused = 0;
    rec_->lpVtbl->GetPositionSeconds(rec_, &position);
    rec_->lpVtbl->GetPaused(rec_, &paused);
    // The meter's own clock shows the elapsed time; the bars follow it.
    std::string meter = RenderMeterLine(now, gPlay.levels, channels_);
    const size_t bars = meter.find("  ");
    const std::string line = meter.substr(0, bars) + "  at " + Clock(position) + " / " +
                             Clock(length_) + (paused != 0 ? " paused" : "       ") +
                             meter.substr(bars);
    std::fprintf(stderr, mode_ == LevelMeter::Mode::Redraw ? "\r%s" : "%s\n", line.c_str());
  }
  void Finish() {
    Draw(true);
    if (mode_ == LevelMeter::Mode::Redraw) std::fputc('\n', stderr);
  }

 private:
  VoxlRecorder* rec_;
  LevelMeter::Mode mode_;
  WORD channels_;
  double length_;
  double started_;
  double lastDrawn_ = -1.0;
};

// Acts on the keys of one read; false when q asks to stop.  Seeks of one read add up, from the
// position before the first of them.
bool HandleKeys(VoxlRecorder* rec, double length) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  DOUBLE position = 0.0;
  m.GetPositionSeconds(rec, &position);
  double seekTo = position;
  bool quit = false;
  for (const Key key : ReadKeys()) {
    if (key == Key::Quit) quit = true;
    if (key == Key::Back || key == Key::Forward) {
      seekTo = std::clamp(seekTo + (key == Key::Back ? -kSeekSeconds : kSeekSeconds), 0.0, length);
    }
    if (key == Key::Pause) {
      WORD paused = 0;
      m.GetPaused(rec, &paused);
      m.SetPaused(rec, paused != 0 ? 0 : 1);
    }
  }
  if (quit) return false;
  if (seekTo != position) m.SetPositionSeconds(rec, seekTo);
  return true;
}

// Opens the file on the output device at --at and starts playing.  kExitOk, or the exit code
// after printing why.
int StartPlaying(VoxlRecorder* rec, const PlayOptions& o, const std::string& shown,
                 double* length) {
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  LONG device = -1;
  if (!o.device.empty() && !ResolveDevice(rec, true, o.device, &device)) return kExitUsage;
  m.SetOutputDevice(rec, device);
  const int opened = OpenForReading(rec, o.file, o.open);
  if (opened != kExitOk) return opened;
  // An opened file stands at its end; playing starts at the beginning unless --at says.
  m.SetPosition(rec, 0);
  if (o.at > 0.0) m.SetPositionSeconds(rec, o.at);
  DOUBLE seconds = 0.0;
  m.GetLengthSeconds(rec, &seconds);
  *length = seconds;
  gPlay = PlayWatch{};
  VoxlRecorderCallbacks callbacks{};
  callbacks.playbackEnded = OnPlaybackEnded;
  callbacks.levels = OnLevels;
  VoxlSetCallbacks(rec, &callbacks);
  m.SetPaused(rec, o.paused ? 1 : 0);
  WORD error = 0;
  m.Play(rec, &error);
  if (error == VOXL_ERR_NONE) return kExitOk;
  if (error == VOXL_ERR_PLAYBACK_START && o.at > 0.0 && o.at >= seconds) {
    PrintError("nothing to play from --at " + Clock(o.at) + ": " + shown + " lasts " +
               Clock(seconds));
  } else {
    PrintError("cannot play " + shown + ": " + VoxlErrorText(error));
  }
  m.Close(rec, &error);
  return kExitFailure;
}

int RunPlay(PlayOptions o) {
  const std::string shown = o.file;
  StdinFile input(o.file);
  if (!input.ok()) return kExitFailure;
  RunLoop loop;
  if (!loop.ok()) return kExitFailure;
  VoxlRecorder* rec = NewRecorder();
  if (rec == nullptr) return kExitFailure;
  const std::unique_ptr<VoxlRecorder, void (*)(VoxlRecorder*)> owner(rec, VoxlDestroyRecorder);
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  double length = 0.0;
  const int started = StartPlaying(rec, o, shown, &length);
  if (started != kExitOk) return started;
  WORD channels = 2;
  m.GetChannels(rec, &channels);

  RawKeys keys;
  PlayStatus status(rec, o.quiet, channels, length);
  if (!o.quiet) {
    std::fprintf(stderr, "voxl: playing %s (%s)%s\n", shown.c_str(), Clock(length).c_str(),
                 keys.active() ? "; space pauses, arrows seek 5 s, q stops" : "");
  }
  const RunLoop::End end = loop.Run(
      [&] {
        WORD state = 0;
        m.GetState(rec, &state);
        if (gPlay.ended || state != VOXL_STATE_PLAYING) return false;
        status.Draw(false);
        return true;
      },
      keys.active() ? STDIN_FILENO : -1,
      [&] {
        const bool more = HandleKeys(rec, length);
        if (more) status.Draw(true);
        return more;
      });
  m.Stop(rec);
  PumpMessages();
  status.Finish();
  WORD error = 0;
  m.Close(rec, &error);
  if (gPlay.stopReason != VOXL_STOP_NORMAL) {
    PrintError("playback stopped: " + std::string(VoxlErrorText(gPlay.stopReason)));
    return kExitFailure;
  }
  if (!o.quiet && end == RunLoop::End::Interrupted) std::fprintf(stderr, "voxl: stopped\n");
  return kExitOk;
}

}  // namespace

void AddPlayCommand(CLI::App& app, int& exitCode) {
  CLI::App* cmd = app.add_subcommand(
      "play", "Play a sound file through an output device, with a live level meter");
  auto o = std::make_shared<PlayOptions>();
  cmd->add_option("FILE", o->file, "A RIFF/WAVE, headerless or MPEG audio file")->required();
  AddOpenOptions(cmd, o->open);
  cmd->add_option("--at", o->at, "Start at this position")
      ->check(SecondsOption())
      ->type_name("SECONDS");
  cmd->add_option("--device", o->device,
                  "Output device: a number from 'voxl devices' (-1 = default) or its name");
  cmd->add_flag("--paused", o->paused, "Start paused (space resumes)");
  cmd->add_flag("-q,--quiet", o->quiet, "No level meter and no messages");
  cmd->footer(
      "On a terminal: space pauses and resumes, the left and right arrows move by 5 s, q stops;\n"
      "Ctrl-C stops cleanly.  Exit status: 0 done, 1 the file cannot be played (the reason is\n"
      "printed), 2 a wrong option.");
  cmd->callback([o, &exitCode] { exitCode = RunPlay(*o); });
}

}  // namespace voxl::cli
