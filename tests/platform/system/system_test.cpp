// System services: threads, temporary files, deleting and moving, starting the mixer.
#include "platform/system/system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <chrono>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <optional>
#include <set>
#include <string>
#include <thread>

namespace fs = std::filesystem;

namespace {

// A fresh directory under `base`, removed with everything in it at the end.
class ScratchDir {
 public:
  explicit ScratchDir(const fs::path& base = fs::temp_directory_path()) {
    std::string pattern = (base / "voxl-sys-XXXXXX").string();
    if (mkdtemp(pattern.data()) != nullptr) path_ = pattern;
  }
  ~ScratchDir() {
    if (path_.empty()) return;
    std::error_code ignored;
    fs::permissions(path_, fs::perms::owner_all, fs::perm_options::add, ignored);
    fs::remove_all(path_, ignored);
  }
  const fs::path& path() const { return path_; }
  std::string operator/(const std::string& name) const { return (path_ / name).string(); }

 private:
  fs::path path_;
};

// Sets an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    if (value != nullptr) {
      setenv(name, value, 1);
    } else {
      unsetenv(name);
    }
  }
  ~ScopedEnv() {
    if (old_) {
      setenv(name_.c_str(), old_->c_str(), 1);
    } else {
      unsetenv(name_.c_str());
    }
  }

 private:
  std::string name_;
  std::optional<std::string> old_;
};

void WriteFile(const std::string& path, const std::string& content) {
  std::ofstream(path, std::ios::binary) << content;
}

std::string ReadFile(const std::string& path) {
  std::ifstream in(path, std::ios::binary | std::ios::ate);
  if (!in) return "<missing>";
  std::string content(static_cast<size_t>(in.tellg()), '\0');
  in.seekg(0);
  in.read(content.data(), static_cast<std::streamsize>(content.size()));
  return content;
}

// ---- Threads ----

// A started thread reports its nice value when told to, then waits to be let go.
struct PriorityProbe {
  std::atomic<int> nice{-100};
  std::atomic<bool> measure{false};
  std::atomic<bool> done{false};
};

void ReportNice(void* arg) {
  auto* probe = static_cast<PriorityProbe*>(arg);
  probe->measure.wait(false);
  probe->nice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  probe->nice.notify_all();
  probe->done.wait(false);
}

TEST(Threads, HandlesAreSmallAndDistinctAndPriorityChangesOnlyThatThread) {
  const int ownNice = getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
  // Static: a detached thread may still be leaving wait() after the test has returned.
  static PriorityProbe probes[2];
  const int priorities[2] = {-1 /* below normal */, THREAD_PRIORITY_HIGHEST};
  uintptr_t handles[2];
  for (int i = 0; i < 2; ++i) {
    probes[i].nice = -100;
    probes[i].measure = probes[i].done = false;
    handles[i] = _beginthread(ReportNice, 0, &probes[i]);
    ASSERT_NE(handles[i], 0u);
    ASSERT_NE(handles[i], static_cast<uintptr_t>(-1));
    EXPECT_LE(handles[i], 0xFFFFFFFFu);
  }
  EXPECT_NE(handles[0], handles[1]);
  BOOL ok[2];
  for (int i = 0; i < 2; ++i) {
    ok[i] = SetThreadPriority(reinterpret_cast<HANDLE>(handles[i]), priorities[i]);
    probes[i].measure = true;
    probes[i].measure.notify_all();
    probes[i].nice.wait(-100);
  }
  EXPECT_TRUE(ok[0]) << "lowering is always allowed";
  EXPECT_GT(probes[0].nice, ownNice);
  if (ok[1]) {
    EXPECT_LT(probes[1].nice, ownNice);
  } else {
    EXPECT_EQ(probes[1].nice, ownNice) << "a refused change changes nothing";
  }
  EXPECT_EQ(getpriority(PRIO_PROCESS, static_cast<id_t>(gettid())), ownNice);
  for (auto& probe : probes) {
    probe.done = true;
    probe.done.notify_all();
  }
  EXPECT_EQ(_beginthread(nullptr, 0, nullptr), static_cast<uintptr_t>(-1));
}

TEST(Threads, HandleOfAFinishedThreadIsRefused) {
  const uintptr_t h = _beginthread([](void*) {}, 0, nullptr);
  ASSERT_NE(h, static_cast<uintptr_t>(-1));
  const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
  while (SetThreadPriority(reinterpret_cast<HANDLE>(h), THREAD_PRIORITY_NORMAL)) {
    ASSERT_LT(std::chrono::steady_clock::now(), deadline);
    std::this_thread::yield();
  }
  EXPECT_FALSE(SetThreadPriority(reinterpret_cast<HANDLE>(0x7FFFFFF0), THREAD_PRIORITY_NORMAL));
  EXPECT_FALSE(SetThreadPriority(nullptr, THREAD_PRIORITY_NORMAL));
}

// ---- Temporary files ----

TEST(TempPath, FollowsTmpdirWhenItIsADirectory) {
  ScratchDir dir;
  char buffer[MAX_PATH];
  {
    ScopedEnv env("TMPDIR", dir.path().c_str());
    const DWORD length = GetTempPathA(MAX_PATH, buffer);
    EXPECT_EQ(std::string(buffer), dir.path().string() + "/");
    EXPECT_EQ(length, std::strlen(buffer));
    // Too small: the size needed, terminator included, and nothing written.
    char small[4] = "xyz";
    EXPECT_EQ(GetTempPathA(sizeof small, small), length + 1);
    EXPECT_STREQ(small, "xyz");
    EXPECT_EQ(GetTempPathA(0, nullptr), length + 1);
  }
  for (const char* bad : {"/no/such/dir", "", "/dev/null"}) {
    ScopedEnv env("TMPDIR", bad);
    ASSERT_EQ(GetTempPathA(MAX_PATH, buffer), 5u) << bad;
    EXPECT_STREQ(buffer, "/tmp/");
  }
  ScopedEnv unset("TMPDIR", nullptr);
  GetTempPathA(MAX_PATH, buffer);
  EXPECT_STREQ(buffer, "/tmp/");
}

TEST(TempFileName, CreatesANewEmptyFileEachTimeAndNeverReusesANameTaken) {
  ScratchDir dir;
  std::set<std::string> names;
  for (int i = 0; i < 50; ++i) {
    char name[MAX_PATH];
    const UINT number = GetTempFileNameA(dir.path().c_str(), "VOXEL", 0, name);
    ASSERT_NE(number, 0u);
    const std::string base = fs::path(name).filename().string();
    EXPECT_EQ(fs::path(name).parent_path(), dir.path());
    EXPECT_EQ(base.substr(0, 3), "VOX") << "prefix cut to three characters";
    EXPECT_EQ(base.substr(base.size() - 4), ".tmp");
    EXPECT_EQ(std::stoul(base.substr(3, base.size() - 7), nullptr, 16), number);
    EXPECT_TRUE(fs::is_regular_file(name));
    EXPECT_EQ(fs::file_size(name), 0u);
    EXPECT_TRUE(names.insert(name).second);
  }
  // A trailing separator in the directory does not double it.
  char name[MAX_PATH];
  ASSERT_NE(GetTempFileNameA((dir.path().string() + "/").c_str(), "VOX", 0, name), 0u);
  EXPECT_EQ(std::string(name).find("//"), std::string::npos);
  // A given number only forms the name.
  EXPECT_EQ(GetTempFileNameA(dir.path().c_str(), "", 0xBEEF, name), 0xBEEFu);
  EXPECT_EQ(std::string(name), dir / "BEEF.tmp");
  EXPECT_FALSE(fs::exists(name));
}

TEST(TempFileName, FailsCleanlyWhereNoFileCanBeMade) {
  ScratchDir dir;
  char name[MAX_PATH] = "untouched";
  WriteFile(dir / "plain", "x");
  for (const std::string& where : {dir / "missing", dir / "plain"}) {
    SetLastError(0);
    EXPECT_EQ(GetTempFileNameA(where.c_str(), "VOX", 0, name), 0u) << where;
    EXPECT_NE(GetLastError(), 0u);
  }
  const std::string tooLong(MAX_PATH, 'a');
  EXPECT_EQ(GetTempFileNameA(tooLong.c_str(), "VOX", 0, name), 0u);
  EXPECT_EQ(GetTempFileNameA(nullptr, "VOX", 0, name), 0u);
  EXPECT_STREQ(name, "untouched");
  EXPECT_FALSE(fs::exists(dir / "missing"));
  // A folder we may not write to (permissions do not stop the superuser).
  fs::create_directory(dir / "locked");
  chmod((dir / "locked").c_str(), 0500);
  if (geteuid() != 0) {
    EXPECT_EQ(GetTempFileNameA((dir / "locked").c_str(), "VOX", 0, name), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
}

// ---- Delete and move ----

TEST(MoveAndDelete, RenameReplacesOnlyWhenAskedAndDeleteTakesFilesOnly) {
  ScratchDir dir;
  WriteFile(dir / "src", "new");
  WriteFile(dir / "dst", "old");
  SetLastError(0);
  EXPECT_FALSE(MoveFileExA((dir / "src").c_str(), (dir / "dst").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadFile(dir / "dst"), "old");
  EXPECT_EQ(ReadFile(dir / "src"), "new");
  EXPECT_TRUE(MoveFileExA((dir / "src").c_str(), (dir / "dst").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(dir / "dst"), "new");
  EXPECT_FALSE(fs::exists(dir / "src"));
  EXPECT_TRUE(MoveFileExA((dir / "dst").c_str(), (dir / "third").c_str(), 0));
  EXPECT_EQ(ReadFile(dir / "third"), "new");
  EXPECT_FALSE(MoveFileExA((dir / "gone").c_str(), (dir / "x").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_TRUE(DeleteFileA((dir / "third").c_str()));
  EXPECT_FALSE(fs::exists(dir / "third"));
  EXPECT_FALSE(DeleteFileA((dir / "third").c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  fs::create_directory(dir / "sub");
  EXPECT_FALSE(DeleteFileA((dir / "sub").c_str())) << "files only";
}

class MoveAcrossFileSystems : public ::testing::Test {
 protected:
  void SetUp() override {
    struct stat a {
    }, b{};
    if (stat(here_.path().c_str(), &a) != 0 || stat(there_.path().c_str(), &b) != 0 ||
        a.st_dev == b.st_dev) {
      GTEST_SKIP() << "needs /dev/shm on another file system than the temporary directory";
    }
    payload_.resize((1 << 20) + 3);  // several copy chunks and a ragged end
    for (size_t i = 0; i < payload_.size(); ++i) payload_[i] = static_cast<char>(i * 131 + 7);
    WriteFile(here_ / "src", payload_);
    chmod((here_ / "src").c_str(), 0640);
  }
  // Names in the target folder other than `keep`.
  std::set<std::string> Leftovers(const std::string& keep = "") {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(there_.path())) {
      if (entry.path().filename() != keep) names.insert(entry.path().filename().string());
    }
    return names;
  }

  ScratchDir here_;
  ScratchDir there_{"/dev/shm"};
  std::string payload_;
};

TEST_F(MoveAcrossFileSystems, CopiesOnlyWhenAllowedKeepsContentAndModeAndReplacesOnlyWhenAsked) {
  SetLastError(0);
  EXPECT_FALSE(MoveFileExA((here_ / "src").c_str(), (there_ / "dst").c_str(), 0));
  EXPECT_NE(GetLastError(), 0u);
  EXPECT_TRUE(fs::exists(here_ / "src"));
  EXPECT_TRUE(Leftovers().empty());

  ASSERT_TRUE(
      MoveFileExA((here_ / "src").c_str(), (there_ / "dst").c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_FALSE(fs::exists(here_ / "src"));
  EXPECT_EQ(ReadFile(there_ / "dst"), payload_);
  struct stat st {};
  stat((there_ / "dst").c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);
  EXPECT_TRUE(Leftovers("dst").empty());

  // An existing target stays unless replacing.
  WriteFile(here_ / "src", "newer");
  EXPECT_FALSE(
      MoveFileExA((here_ / "src").c_str(), (there_ / "dst").c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadFile(there_ / "dst"), payload_);
  ASSERT_TRUE(MoveFileExA((here_ / "src").c_str(), (there_ / "dst").c_str(),
                          MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(there_ / "dst"), "newer");
  EXPECT_TRUE(Leftovers("dst").empty());
}

TEST_F(MoveAcrossFileSystems, FailureLeavesTheSourceAndNoPartialTarget) {
  // The target folder does not exist: nothing can be written there.
  EXPECT_FALSE(MoveFileExA((here_ / "src").c_str(), (there_ / "nodir/dst").c_str(),
                           MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(here_ / "src"), payload_);
  EXPECT_TRUE(Leftovers().empty());
  // The target is a folder: the copy is made, then cannot take its place, and is removed.
  fs::create_directory(there_ / "dir");
  WriteFile(there_ / "dir/inside", "x");
  EXPECT_FALSE(MoveFileExA((here_ / "src").c_str(), (there_ / "dir").c_str(),
                           MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(here_ / "src"), payload_);
  EXPECT_TRUE(Leftovers("dir").empty());
}

// ---- Starting the mixer ----

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    fifo_ = bin_ / "started";
    ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
    // Reader first (non-blocking), so a fake program's open for writing does not block.
    reader_ = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader_, 0);
  }
  void TearDown() override {
    if (reader_ >= 0) close(reader_);
  }
  // A fake program that reports its name and arguments through the FIFO.
  void FakeProgram(const std::string& name) {
    const std::string path = bin_ / name;
    WriteFile(path, "#!/bin/sh\nprintf '%s\\n' \"" + name + " $*\" > " + fifo_ + "\n");
    chmod(path.c_str(), 0755);
  }
  // What a started fake program reported, waiting at most ten seconds.
  std::string Started() {
    std::string text;
    const auto deadline = std::chrono::steady_clock::now() + std::chrono::seconds(10);
    while (text.find('\n') == std::string::npos) {
      const auto left = std::chrono::duration_cast<std::chrono::milliseconds>(
          deadline - std::chrono::steady_clock::now());
      if (left.count() <= 0) break;
      pollfd p{reader_, POLLIN, 0};
      if (poll(&p, 1, static_cast<int>(left.count())) != 1) break;
      char buf[256];
      const ssize_t got = read(reader_, buf, sizeof buf);
      if (got > 0) text.append(buf, static_cast<size_t>(got));
    }
    if (!text.empty() && text.back() == '\n') text.pop_back();
    // A fresh reader: the old one reports hang-up for ever once a writer has come and gone.
    close(reader_);
    reader_ = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    return text;
  }
  intptr_t Shell(const char* file, const char* parameters) {
    return reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, "open", file, parameters, nullptr, SW_SHOWNORMAL));
  }

  ScratchDir bin_;
  std::string fifo_;
  int reader_ = -1;
  ScopedEnv display_{"DISPLAY", ":99"};
  ScopedEnv wayland_{"WAYLAND_DISPLAY", nullptr};
  ScopedEnv path_{"PATH", bin_.path().c_str()};
};

TEST_F(ShellTest, VolumeControlStartsPavucontrolOnTheRightTab) {
  FakeProgram("pavucontrol");
  FakeProgram("x-terminal-emulator");
  FakeProgram("alsamixer");
  EXPECT_GT(Shell("sndvol32.exe", "/record"), 32);
  EXPECT_EQ(Started(), "pavucontrol --tab=4");
  EXPECT_GT(Shell("SndVol32.EXE", nullptr), 32);
  EXPECT_EQ(Started(), "pavucontrol --tab=1");
  // The intermediate process has been reaped: no child of ours is left.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);
}

TEST_F(ShellTest, WithoutPavucontrolAlsamixerRunsInATerminal) {
  FakeProgram("x-terminal-emulator");
  FakeProgram("alsamixer");
  EXPECT_GT(Shell("sndvol32.exe", "/record"), 32);
  EXPECT_EQ(Started(), "x-terminal-emulator -e " + (bin_ / "alsamixer") + " -V capture");
  EXPECT_GT(Shell("sndvol32.exe", ""), 32);
  EXPECT_EQ(Started(), "x-terminal-emulator -e " + (bin_ / "alsamixer"));
}

TEST_F(ShellTest, NothingToStartIsAnErrorAtOrBelow32) {
  FakeProgram("alsamixer");  // no terminal to show it in
  EXPECT_LE(Shell("sndvol32.exe", "/record"), 32);
  FakeProgram("pavucontrol");
  {
    ScopedEnv noDisplay("DISPLAY", nullptr);
    EXPECT_LE(Shell("sndvol32.exe", "/record"), 32);
  }
  {
    ScopedEnv emptyPath("PATH", "");
    EXPECT_EQ(Shell("sndvol32.exe", "/record"), 2);
  }
  EXPECT_LE(Shell(nullptr, nullptr), 32);
  EXPECT_LE(reinterpret_cast<intptr_t>(
                ShellExecuteA(nullptr, "print", "sndvol32.exe", nullptr, nullptr, 0)),
            32);
}

TEST_F(ShellTest, DocumentsGoToXdgOpen) {
  FakeProgram("xdg-open");
  const std::string doc = bin_ / "take.wav";
  WriteFile(doc, "RIFF");
  EXPECT_GT(Shell(doc.c_str(), nullptr), 32);
  EXPECT_EQ(Started(), "xdg-open " + doc);
  EXPECT_EQ(Shell((bin_ / "missing.wav").c_str(), nullptr), 2);
  ScopedEnv noDisplay("DISPLAY", nullptr);
  EXPECT_LE(Shell(doc.c_str(), nullptr), 32);
}

}  // namespace
