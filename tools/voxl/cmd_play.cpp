// voxl play: plays a sound file through an output device with the recorder's method table:
// OpenFile (read-only), the position and the pause flag, Play, and a message loop that shows
// the elapsed time, the position and the level meter until the file ends, q or Ctrl-C.  On a
// terminal, space pauses and resumes and the arrow keys move by 5 seconds.
#include <poll.h>
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

void PumpMessages() {
  MSG msg{};
  while (PeekMessageA(&msg, nullptr, 0, 0, PM_REMOVE) > 0) DispatchMessageA(&msg);
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

int RunPlay(PlayOptions o) {
  const std::string shown = o.file;
  StdinFile input(o.file);
  if (!input.ok()) return kExitFailure;
  const int signals = OpenStopSignals();
  if (signals < 0) {
    PrintError(std::string("cannot watch for Ctrl-C: ") + std::strerror(errno));
    return kExitFailure;
  }
  VoxlRecorder* rec = NewRecorder();
  if (rec == nullptr) {
    close(signals);
    return kExitFailure;
  }
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  WORD error = 0;
  auto finish = [&](int code) {
    VoxlDestroyRecorder(rec);
    close(signals);
    return code;
  };
  LONG device = -1;
  if (!o.device.empty() && !ResolveDevice(rec, true, o.device, &device)) {
    return finish(kExitUsage);
  }
  m.SetOutputDevice(rec, device);
  const int opened = OpenForReading(rec, o.file, o.open);
  if (opened != kExitOk) return finish(opened);
  // An opened file stands at its end; playing starts at the beginning unless --at says.
  m.SetPosition(rec, 0);
  if (o.at > 0.0) m.SetPositionSeconds(rec, o.at);
  WORD channels = 2;
  DOUBLE length = 0.0;
  m.GetChannels(rec, &channels);
  m.GetLengthSeconds(rec, &length);

  gPlay = PlayWatch{};
  VoxlRecorderCallbacks callbacks{};
  callbacks.playbackEnded = OnPlaybackEnded;
  callbacks.levels = OnLevels;
  VoxlSetCallbacks(rec, &callbacks);
  m.SetPaused(rec, o.paused ? 1 : 0);
  m.Play(rec, &error);
  if (error == VOXL_ERR_PLAYBACK_START && o.at > 0.0 && o.at >= length) {
    PrintError("nothing to play from --at " + Clock(o.at) + ": " + shown + " lasts " +
               Clock(length));
    m.Close(rec, &error);
    return finish(kExitFailure);
  }
  if (error != VOXL_ERR_NONE) {
    PrintError("cannot play " + shown + ": " + VoxlErrorText(error));
    m.Close(rec, &error);
    return finish(kExitFailure);
  }

  RawKeys keys;
  const LevelMeter::Mode mode = LevelMeter::ModeFor(stderr, o.quiet);
  if (!o.quiet) {
    std::fprintf(stderr, "voxl: playing %s (%s)%s\n", shown.c_str(), Clock(length).c_str(),
                 keys.active() ? "; space pauses, arrows seek 5 s, q stops" : "");
  }
  const double started = MonotonicSeconds();
  double lastDrawn = -1.0;
  auto draw = [&](bool force) {
    const double now = MonotonicSeconds() - started;
    const double interval = mode == LevelMeter::Mode::Redraw ? 0.1 : 1.0;
    if (mode == LevelMeter::Mode::Off || (!force && now - lastDrawn < interval)) return;
    lastDrawn = now;
    DOUBLE position = 0.0;
    WORD paused = 0;
    m.GetPositionSeconds(rec, &position);
    m.GetPaused(rec, &paused);
    // The meter's own clock shows the elapsed time; the bars follow it.
    std::string meter = RenderMeterLine(now, gPlay.levels, channels);
    const size_t bars = meter.find("  ");
    const std::string line = meter.substr(0, bars) + "  at " + Clock(position) + " / " +
                             Clock(length) + (paused != 0 ? " paused" : "       ") +
                             meter.substr(bars);
    std::fprintf(stderr, mode == LevelMeter::Mode::Redraw ? "\r%s" : "%s\n", line.c_str());
  };

  pollfd fds[3] = {{VoxlMessageQueueFd(), POLLIN, 0},
                   {signals, POLLIN, 0},
                   {keys.active() ? STDIN_FILENO : -1, POLLIN, 0}};
  bool interrupted = false;
  for (;;) {
    PumpMessages();
    WORD state = 0;
    m.GetState(rec, &state);
    if (gPlay.ended || state != VOXL_STATE_PLAYING) break;
    draw(false);
    if (poll(fds, 3, 100) < 0 && errno != EINTR) break;
    if ((fds[1].revents & POLLIN) != 0 && TakeStopSignal(signals)) {
      interrupted = true;
      break;
    }
    if ((fds[2].revents & POLLIN) == 0) continue;
    // Seeks of one read add up, from the position before the first of them.
    DOUBLE position = 0.0;
    m.GetPositionSeconds(rec, &position);
    double seekTo = position;
    bool quit = false;
    for (const Key key : ReadKeys()) {
      if (key == Key::Quit) quit = true;
      if (key == Key::Back || key == Key::Forward) {
        seekTo =
            std::clamp(seekTo + (key == Key::Back ? -kSeekSeconds : kSeekSeconds), 0.0, length);
      }
      if (key == Key::Pause) {
        WORD paused = 0;
        m.GetPaused(rec, &paused);
        m.SetPaused(rec, paused != 0 ? 0 : 1);
      }
    }
    if (quit) {
      interrupted = true;
      break;
    }
    if (seekTo != position) m.SetPositionSeconds(rec, seekTo);
    draw(true);
  }
  m.Stop(rec);
  PumpMessages();
  draw(true);
  if (mode == LevelMeter::Mode::Redraw) std::fputc('\n', stderr);
  m.Close(rec, &error);
  if (gPlay.stopReason != VOXL_STOP_NORMAL) {
    PrintError("playback stopped: " + std::string(VoxlErrorText(gPlay.stopReason)));
    return finish(kExitFailure);
  }
  if (!o.quiet && interrupted) std::fprintf(stderr, "voxl: stopped\n");
  return finish(kExitOk);
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
