// The live level meter and the run control shared by voxl stream and voxl record.
#include "meter.h"

#include <signal.h>
#include <sys/signalfd.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <cmath>
#include <cstdlib>

#include "voxl310k_platform.h"

namespace voxl::cli {
namespace {

constexpr int kBarWidth = 20;
constexpr double kBarFloorDb = -60.0;
constexpr double kClipHoldSeconds = 2.0;
constexpr double kRedrawInterval = 0.1;
constexpr char kVirtualInputVariable[] = "VOXL_VIRTUAL_INPUT";
constexpr char kVoxlTestTone[] = "tone:440:-12";  // 440 Hz at -12 dBFS

std::string FormatElapsed(double seconds) {
  seconds = std::max(seconds, 0.0);
  const auto tenths = static_cast<long long>(seconds * 10.0);
  const long long minutes = tenths / 600;
  char text[32];
  if (minutes >= 60) {
    std::snprintf(text, sizeof text, "%lld:%02lld:%02lld.%lld", minutes / 60, minutes % 60,
                  tenths / 10 % 60, tenths % 10);
  } else {
    std::snprintf(text, sizeof text, "%02lld:%02lld.%lld", minutes, tenths / 10 % 60, tenths % 10);
  }
  return text;
}

std::string Channel(const char* label, double db, bool clip) {
  const bool signal = db > -999.0;
  const double clamped = std::clamp(signal ? db : kBarFloorDb, kBarFloorDb, 0.0);
  const int filled =
      static_cast<int>(std::lround((clamped - kBarFloorDb) / -kBarFloorDb * kBarWidth));
  std::string bar(static_cast<size_t>(filled), '#');
  bar.append(static_cast<size_t>(kBarWidth - filled), '-');
  char value[16];
  if (signal) {
    std::snprintf(value, sizeof value, "%6.1f dB", std::max(db, -99.9));
  } else {
    std::snprintf(value, sizeof value, "  -inf dB");
  }
  return std::string(label) + " [" + bar + "] " + value + (clip ? " CLIP" : "     ");
}

}  // namespace

std::string RenderMeterLine(double elapsedSeconds, const MeterLevels& levels, int channels) {
  std::string line = FormatElapsed(elapsedSeconds) + "  ";
  if (channels == 1) return line + Channel("M", levels.left, levels.clipLeft);
  return line + Channel("L", levels.left, levels.clipLeft) + "  " +
         Channel("R", levels.right, levels.clipRight);
}

LevelMeter::Mode LevelMeter::ModeFor(std::FILE* out, bool quiet) {
  if (quiet) return Mode::Off;
  return isatty(fileno(out)) ? Mode::Redraw : Mode::LinePerSecond;
}

void LevelMeter::SetLevels(double leftDb, double rightDb, bool clipLeft, bool clipRight,
                           double now) {
  levels_.left = leftDb;
  levels_.right = rightDb;
  if (clipLeft) clipLeftUntil_ = now + kClipHoldSeconds;
  if (clipRight) clipRightUntil_ = now + kClipHoldSeconds;
}

void LevelMeter::Show(double elapsedSeconds) {
  if (mode_ == Mode::Off) return;
  if (mode_ == Mode::Redraw) {
    if (drawn_ && elapsedSeconds - lastDrawn_ < kRedrawInterval) return;
  } else if (std::floor(elapsedSeconds) <= lastDrawn_ || elapsedSeconds < 1.0) {
    return;
  }
  MeterLevels shown = levels_;
  shown.clipLeft = elapsedSeconds < clipLeftUntil_;
  shown.clipRight = elapsedSeconds < clipRightUntil_;
  const std::string line = RenderMeterLine(elapsedSeconds, shown, channels_) + note_;
  if (mode_ == Mode::Redraw) {
    std::fprintf(out_, "\r%s\033[K", line.c_str());
    lastDrawn_ = elapsedSeconds;
  } else {
    std::fprintf(out_, "%s\n", line.c_str());
    lastDrawn_ = std::floor(elapsedSeconds);
  }
  std::fflush(out_);
  drawn_ = true;
}

void LevelMeter::Finish() {
  if (mode_ == Mode::Redraw && drawn_) {
    std::fputc('\n', out_);
    std::fflush(out_);
  }
  drawn_ = false;
}

void LevelMeter::Say(const std::string& line) {
  std::fprintf(out_, mode_ == Mode::Redraw && drawn_ ? "\r%s\033[K\n" : "%s\n", line.c_str());
  std::fflush(out_);
  drawn_ = false;
}

int OpenStopSignals() {
  signal(SIGPIPE, SIG_IGN);
  signal(SIGXFSZ, SIG_IGN);
  sigset_t set;
  sigemptyset(&set);
  sigaddset(&set, SIGINT);
  sigaddset(&set, SIGTERM);
  if (pthread_sigmask(SIG_BLOCK, &set, nullptr) != 0) return -1;
  return signalfd(-1, &set, SFD_CLOEXEC | SFD_NONBLOCK);
}

bool TakeStopSignal(int fd) {
  signalfd_siginfo info{};
  return read(fd, &info, sizeof info) == static_cast<ssize_t>(sizeof info);
}

void ChooseVirtualInputSignal() {
  if (std::getenv(kVirtualInputVariable) == nullptr) VoxlSetVirtualInput(kVoxlTestTone);
}

void NoteVirtualInput(bool quiet) {
  if (quiet || std::string(VoxlWaveDriverName()) != "virtual") return;
  const char* signal = std::getenv(kVirtualInputVariable);
  const std::string plays = signal == nullptr || std::string(signal) == kVoxlTestTone
                                ? std::string("a 440 Hz test tone")
                                : std::string(kVirtualInputVariable) + "=" + signal;
  const char* chosen = std::getenv("VOXL_AUDIO_DRIVER");
  if (chosen != nullptr && *chosen != '\0') {
    std::fprintf(
        stderr,
        "voxl: recording from the built-in virtual input (%s), as VOXL_AUDIO_DRIVER=%s asks\n",
        plays.c_str(), chosen);
  } else {
    std::fprintf(stderr,
                 "voxl: no sound device found: recording from the built-in virtual input (%s)\n",
                 plays.c_str());
  }
}

double MonotonicSeconds() {
  using namespace std::chrono;
  return duration<double>(steady_clock::now().time_since_epoch()).count();
}

}  // namespace voxl::cli
