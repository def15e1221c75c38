// voxl cut and voxl compact: edit a recording in place through the recorder's method table.
//
// cut opens the file for editing, stands at --from (SetPositionSeconds) and removes the samples
// up to --to, or --length seconds of them (DeleteSeconds), or all of them to the end
// (DeleteSamples).  The file keeps its size on disk: the old tail stays behind the content until
// the file is compacted.  compact, and cut --compact, rewrite the file without those bytes
// (CompactFile).
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <memory>
#include <string>

#include "commands.h"
#include "voxl310k.h"

namespace voxl::cli {
namespace {

struct EditOptions {
  std::string file;
  OpenOptions open;
  double from = 0.0;
  double to = -1.0;      // < 0: not given
  double length = -1.0;  // < 0: not given
  bool compact = false;
  bool quiet = false;
};

// A progress line on a terminal, like sox -S: the work and its percentage, redrawn when the
// percentage moves on, and cleared when the work is done.
struct ProgressLine {
  const char* what = "";
  int shown = -1;
  static void CALLBACK Show(DOUBLE fraction, void* context) {
    auto* p = static_cast<ProgressLine*>(context);
    const int percent = static_cast<int>(fraction * 100.0);
    if (percent == p->shown) return;
    p->shown = percent;
    std::fprintf(stderr, "\rvoxl: %s %3d%%", p->what, percent);
    std::fflush(stderr);
  }
  void Clear() {
    if (shown >= 0) std::fprintf(stderr, "\r\033[K");
    shown = -1;
  }
};

std::string SecondsText(double seconds) {
  char text[32];
  std::snprintf(text, sizeof text, "%.3f s", seconds);
  return text;
}

long long FileBytes(const std::string& path) {
  struct stat st {};
  return stat(path.c_str(), &st) == 0 ? static_cast<long long>(st.st_size) : -1;
}

// Why `path` cannot be edited: the file must be writable and, to be compacted, its folder too
// (the copy is made there).  Empty when nothing shows, and for a missing file, which the
// opening reports.
std::string EditProblem(const std::string& path, bool compact) {
  if (access(path.c_str(), F_OK) != 0) return std::string();
  if (compact) return CreateProblem(path);
  struct stat st {};
  if (stat(path.c_str(), &st) == 0 && S_ISDIR(st.st_mode)) return std::strerror(EISDIR);
  return access(path.c_str(), W_OK) == 0 ? std::string() : std::strerror(errno);
}

// A recorder with `o.file` open for editing, closed and destroyed with the object.
class EditSession {
 public:
  explicit EditSession(const EditOptions& o) : file_(o.file), startBytes_(FileBytes(o.file)) {
    const std::string why = EditProblem(o.file, o.compact);
    if (!why.empty()) {
      PrintError("cannot edit " + o.file + ": " + why);
      return;
    }
    rec_ = NewRecorder(true);
    if (rec_ == nullptr) return;
    OpenOptions open = o.open;
    open.writable = true;
    result_ = OpenForReading(rec_, o.file, open);
    open_ = result_ == kExitOk;
    if (!o.quiet && isatty(STDERR_FILENO))
      VoxlSetProgressCallback(rec_, ProgressLine::Show, &line_);
  }
  ~EditSession() {
    if (open_) Close();
    if (rec_ != nullptr) VoxlDestroyRecorder(rec_);
  }
  EditSession(const EditSession&) = delete;
  EditSession& operator=(const EditSession&) = delete;

  // kExitOk once the file is open, else the exit code (the reason is printed).
  int result() const { return result_; }
  const VoxlRecorderVtbl& m() const { return *rec_->lpVtbl; }
  VoxlRecorder* rec() const { return rec_; }

  // Reports a method's failure (unless it succeeded) and gives the exit code.
  int Check(HRESULT called, WORD error, const std::string& what) const {
    if (called == E_NOTIMPL) {
      PrintError(what + " is not available yet");
      return kExitFailure;
    }
    if (error == VOXL_ERR_NONE) return kExitOk;
    PrintError("cannot " + what + " " + file_ + ": " + VoxlErrorText(error));
    return kExitFailure;
  }

  // Writes the sizes of the edited file and closes it.
  int Close() {
    if (!open_) return kExitOk;
    open_ = false;
    WORD error = 0;
    return Check(m().Close(rec_, &error), error, "finish");
  }

  // The line that the next long call shows its progress on.
  void Shows(const char* what) { line_.what = what; }
  void Done() { line_.Clear(); }

  // CompactFile.
  int Compact() {
    WORD error = 0;
    Shows("compacting");
    const HRESULT called = m().CompactFile(rec_, &error);
    Done();
    if (error == VOXL_ERR_VOLUME_CONTROL) {
      PrintError("cannot compact " + file_ +
                 ": the shortened copy could not be written or put in its place; the file "
                 "keeps its size on disk");
      return kExitFailure;
    }
    if (called != E_NOTIMPL && error != VOXL_ERR_NONE) {
      // The copy replaced the file but it did not open again.
      open_ = false;
      PrintError("compacted " + file_ + " but cannot open it again: " + VoxlErrorText(error));
      return kExitFailure;
    }
    return Check(called, error, "compact");
  }

  // The bytes the file has lost on disk since it was opened.
  void PrintSaved() const {
    const long long now = FileBytes(file_);
    std::printf("saved:     %lld bytes (the file is now %lld bytes)\n",
                std::max(startBytes_ - now, 0LL), now);
  }
  bool Shrunk() const { return FileBytes(file_) < startBytes_; }

 private:
  std::string file_;
  long long startBytes_;
  VoxlRecorder* rec_ = nullptr;
  int result_ = kExitFailure;
  bool open_ = false;
  ProgressLine line_;
};

int RunCut(const EditOptions& o) {
  if (o.to >= 0.0 && o.to <= o.from) {
    PrintError("--to " + SecondsText(o.to) + " must come after --from " + SecondsText(o.from));
    return kExitUsage;
  }
  EditSession s(o);
  if (s.result() != kExitOk) return s.result();
  const VoxlRecorderVtbl& m = s.m();
  VoxlRecorder* rec = s.rec();

  DWORD length = 0;
  DOUBLE seconds = 0.0;
  m.GetLength(rec, &length);
  m.GetLengthSeconds(rec, &seconds);
  const uint64_t frames = LengthFrames(rec);
  // An opened file stands at its end; a --from past it lands there too.
  m.SetPosition(rec, 0);
  m.SetPositionSeconds(rec, o.from);
  LONG at = 0;
  DOUBLE atSeconds = 0.0;
  m.GetPosition(rec, &at);
  m.GetPositionSeconds(rec, &atSeconds);
  if (at < 0 || static_cast<DWORD>(at) >= length) {
    PrintError("nothing to cut from --from " + SecondsText(o.from) + ": " + o.file + " lasts " +
               SecondsText(seconds));
    return kExitFailure;
  }

  WORD error = 0;
  HRESULT called = 0;
  s.Shows("cutting");
  if (o.length >= 0.0) {
    called = m.DeleteSeconds(rec, o.length, &error);
  } else {
    // Up to --to (the same rounding as --from, so the two ends meet exact frames), or the end.
    LONG end = static_cast<LONG>(std::min<DWORD>(length, 0x7FFFFFFF));
    DOUBLE endSeconds = seconds;
    if (o.to >= 0.0) {
      m.SetPositionSeconds(rec, o.to);
      m.GetPosition(rec, &end);
      m.GetPositionSeconds(rec, &endSeconds);
      m.SetPositionSeconds(rec, o.from);
    }
    // Frame counts stop at 2147483647: an end past that is reached in seconds, the difference of
    // the two ends' frame times and a tenth of a microsecond more (less than any frame, more than
    // any rounding), which the cut truncates to the frames between them.
    called = end < 0x7FFFFFFF ? m.DeleteSamples(rec, end - at, &error)
                              : m.DeleteSeconds(rec, endSeconds - atSeconds + 1e-7, &error);
  }
  s.Done();
  int result = s.Check(called, error, "cut");
  if (result != kExitOk) return result;

  DOUBLE nowSeconds = 0.0;
  const uint64_t now = LengthFrames(rec);
  m.GetLengthSeconds(rec, &nowSeconds);
  std::printf("removed:   %llu frames (%s) at %s\n", static_cast<unsigned long long>(frames - now),
              SecondsText(seconds - nowSeconds).c_str(), SecondsText(atSeconds).c_str());
  std::printf("length:    %llu frames (%s)\n", static_cast<unsigned long long>(now),
              SecondsText(nowSeconds).c_str());
  if (o.compact) result = s.Compact();
  // A headerless file has no sizes of its own, so the cut shortens it at once.
  if (result == kExitOk && (o.compact || s.Shrunk())) s.PrintSaved();
  const int closed = s.Close();
  return result != kExitOk ? result : closed;
}

int RunCompact(const EditOptions& o) {
  EditSession s(o);
  if (s.result() != kExitOk) return s.result();
  const int result = s.Compact();
  if (result == kExitOk) s.PrintSaved();
  const int closed = s.Close();
  return result != kExitOk ? result : closed;
}

}  // namespace

void AddEditCommands(CLI::App& app, int& exitCode) {
  auto cut = std::make_shared<EditOptions>();
  CLI::App* cmd = app.add_subcommand("cut", "Remove a stretch of a recording, in place");
  cmd->add_option("FILE", cut->file, "A RIFF/WAVE or headerless file")->required();
  AddOpenOptions(cmd, cut->open);
  cmd->add_option("--from", cut->from, "Start of the stretch removed")
      ->required()
      ->check(SecondsOption())
      ->type_name("SECONDS");
  CLI::Option* to = cmd->add_option("--to", cut->to, "End of the stretch (default: the end)")
                        ->check(SecondsOption())
                        ->type_name("SECONDS");
  CLI::Option* length = cmd->add_option("--length", cut->length, "Length of the stretch")
                            ->check(SecondsOption())
                            ->type_name("SECONDS");
  to->excludes(length);
  cmd->add_flag("--compact", cut->compact,
                "Then shorten the file on disk (as 'voxl compact' does)");
  cmd->add_flag("-q,--quiet", cut->quiet, "No progress line on a terminal");
  cmd->footer(
      "The audio after the stretch moves forward; without --to or --length everything from\n"
      "--from on goes.  A compressed file is cut in whole blocks.  The file keeps its size on\n"
      "disk until it is compacted (a headerless file shrinks at once).  Prints the frames removed\n"
      "and the new length, and the bytes saved on disk.  Exit status: 0 done, 1 the file\n"
      "cannot be edited or --from is at or past its end (the reason is printed), 2 a wrong\n"
      "option.");
  cmd->callback([cut, &exitCode] { exitCode = RunCut(*cut); });

  auto compact = std::make_shared<EditOptions>();
  compact->compact = true;
  CLI::App* shrink = app.add_subcommand(
      "compact", "Shorten a file on disk to its content, dropping what cuts left behind it");
  shrink->add_option("FILE", compact->file, "A RIFF/WAVE or headerless file")->required();
  AddOpenOptions(shrink, compact->open);
  shrink->add_flag("-q,--quiet", compact->quiet, "No progress line on a terminal");
  shrink->footer(
      "The file is copied into a new file in its own folder, which then takes its place; if the\n"
      "copy fails the file is left as it was.  Prints the bytes saved.  Exit status: 0 done, 1\n"
      "the file cannot be compacted (the reason is printed), 2 a wrong option.");
  shrink->callback([compact, &exitCode] { exitCode = RunCompact(*compact); });
}

}  // namespace voxl::cli
