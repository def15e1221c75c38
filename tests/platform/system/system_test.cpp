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
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <optional>
#include <set>
#include <string>
#include <thread>

#include "support/peer.h"

namespace fs = std::filesystem;

namespace {

using voxl::test::TempDir;

// Sets (or, given nullptr, unsets) an environment variable for the life of the object.
class ScopedEnv {
 public:
  ScopedEnv(const char* name, const char* value) : name_(name) {
    if (const char* old = std::getenv(name)) old_ = old;
    Set(name, value);
  }
  ~ScopedEnv() { Set(name_.c_str(), old_ ? old_->c_str() : nullptr); }

 private:
  static void Set(const char* name, const char* value) {
    if (value != nullptr) setenv(name, value, 1);
    if (value == nullptr) unsetenv(name);
  }
  std::string name_;
  std::optional<std::string> old_;
};

void WriteFile(const std::string& path, const std::string& content) {
  voxl::test::WriteBinaryFile(path, content.data(), content.size());
}

std::string ReadFile(const std::string& path) {
  if (!fs::exists(path)) return "<missing>";
  const auto bytes = voxl::test::ReadBinaryFile(path);
  return {bytes.begin(), bytes.end()};
}

// ---- Threads ----

int OwnNice() {
  return getpriority(PRIO_PROCESS, static_cast<id_t>(gettid()));
}

// A started thread reports its nice value when told to, then waits to be let go.
struct PriorityProbe {
  std::atomic<int> nice{-100};
  std::atomic<bool> measure{false}, done{false};
};

TEST(Threads, HandlesAreSmallAndDistinctAndPriorityChangesOnlyThatThread) {
  const int ownNice = OwnNice();
  // Static: a detached thread may still be leaving wait() after the test has returned.
  static PriorityProbe probes[2];
  const int priorities[2] = {-1 /* below normal */, THREAD_PRIORITY_HIGHEST};
  uintptr_t handles[2];
  BOOL ok[2];
  for (int i = 0; i < 2; ++i) {
    probes[i].nice = -100;
    probes[i].measure = probes[i].done = false;
    handles[i] = _beginthread(
        [](void* arg) {
          auto* probe = static_cast<PriorityProbe*>(arg);
          probe->measure.wait(false);
          probe->nice = OwnNice();
          probe->nice.notify_all();
          probe->done.wait(false);
        },
        0, &probes[i]);
    ASSERT_NE(handles[i], 0u);
    ASSERT_NE(handles[i], static_cast<uintptr_t>(-1));
    EXPECT_LE(handles[i], 0xFFFFFFFFu);
  }
  EXPECT_NE(handles[0], handles[1]);
  for (int i = 0; i < 2; ++i) {
    ok[i] = SetThreadPriority(reinterpret_cast<HANDLE>(handles[i]), priorities[i]);
    probes[i].measure = true;
    probes[i].measure.notify_all();
    probes[i].nice.wait(-100);
  }
  EXPECT_TRUE(ok[0]) << "lowering is always allowed";
  EXPECT_GT(probes[0].nice, ownNice);
  EXPECT_TRUE(ok[1] ? probes[1].nice < ownNice : probes[1].nice == ownNice)
      << "raised if allowed, else unchanged: " << probes[1].nice << " vs " << ownNice;
  EXPECT_EQ(OwnNice(), ownNice);
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
  TempDir dir;
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
  for (const char* bad : {"/no/such/dir", "", "/dev/null", static_cast<const char*>(nullptr)}) {
    ScopedEnv env("TMPDIR", bad);
    ASSERT_EQ(GetTempPathA(MAX_PATH, buffer), 5u) << (bad ? bad : "unset");
    EXPECT_STREQ(buffer, "/tmp/");
  }
}

TEST(TempFileName, CreatesANewEmptyFileEachTimeNeverReusesANameAndFailsCleanly) {
  TempDir dir;
  std::set<std::string> names;
  char name[MAX_PATH];
  for (int i = 0; i < 50; ++i) {
    const UINT number = GetTempFileNameA(dir.path().c_str(), "VOXEL", 0, name);
    ASSERT_NE(number, 0u);
    char expected[16];
    std::snprintf(expected, sizeof expected, "VOX%04X.tmp", number);  // prefix cut to three
    EXPECT_EQ(std::string(name), dir.File(expected));
    EXPECT_TRUE(fs::is_regular_file(name));
    EXPECT_EQ(fs::file_size(name), 0u);
    EXPECT_TRUE(names.insert(name).second);
  }
  ASSERT_NE(GetTempFileNameA((dir.path().string() + "/").c_str(), "VOX", 0, name), 0u);
  EXPECT_EQ(std::string(name).find("//"), std::string::npos) << "separator doubled";
  // A given number only forms the name.
  EXPECT_EQ(GetTempFileNameA(dir.path().c_str(), "", 0xBEEF, name), 0xBEEFu);
  EXPECT_EQ(std::string(name), dir.File("BEEF.tmp"));
  EXPECT_FALSE(fs::exists(name));

  // Where no file can be made, the call fails and leaves the name alone.
  std::strcpy(name, "untouched");
  WriteFile(dir.File("plain"), "x");
  for (const std::string& where : {dir.File("missing"), dir.File("plain")}) {
    SetLastError(0);
    EXPECT_EQ(GetTempFileNameA(where.c_str(), "VOX", 0, name), 0u) << where;
    EXPECT_NE(GetLastError(), 0u);
  }
  EXPECT_EQ(GetTempFileNameA(std::string(MAX_PATH, 'a').c_str(), "VOX", 0, name), 0u);
  EXPECT_EQ(GetTempFileNameA(nullptr, "VOX", 0, name), 0u);
  EXPECT_STREQ(name, "untouched");
  EXPECT_FALSE(fs::exists(dir.File("missing")));
  // A folder we may not write to (permissions do not stop the superuser).
  fs::create_directory(dir.File("locked"));
  chmod(dir.File("locked").c_str(), 0500);
  if (geteuid() != 0) {
    EXPECT_EQ(GetTempFileNameA(dir.File("locked").c_str(), "VOX", 0, name), 0u);
    EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ACCESS_DENIED));
  }
}

// ---- Delete and move ----

TEST(MoveAndDelete, RenameReplacesOnlyWhenAskedAndDeleteTakesFilesOnly) {
  TempDir dir;
  const std::string src = dir.File("src"), dst = dir.File("dst"), third = dir.File("third");
  WriteFile(src, "new");
  WriteFile(dst, "old");
  SetLastError(0);
  EXPECT_FALSE(MoveFileExA(src.c_str(), dst.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadFile(dst), "old");
  EXPECT_EQ(ReadFile(src), "new");
  EXPECT_TRUE(MoveFileExA(src.c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(dst), "new");
  EXPECT_FALSE(fs::exists(src));
  EXPECT_TRUE(MoveFileExA(dst.c_str(), third.c_str(), 0));
  EXPECT_EQ(ReadFile(third), "new");
  EXPECT_FALSE(MoveFileExA(dir.File("gone").c_str(), dir.File("x").c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));

  EXPECT_TRUE(DeleteFileA(third.c_str()));
  EXPECT_FALSE(fs::exists(third));
  EXPECT_FALSE(DeleteFileA(third.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  fs::create_directory(dir.File("sub"));
  EXPECT_FALSE(DeleteFileA(dir.File("sub").c_str())) << "files only";
}

TempDir InShm() {
  ScopedEnv env("TMPDIR", "/dev/shm");
  return TempDir();
}

TEST(MoveAcrossFileSystems, CopiesOnlyWhenAllowedKeepsContentAndModeAndLeavesNoPartialTarget) {
  TempDir here, there = InShm();
  struct stat a {
  }, b{};
  if (stat(here.path().c_str(), &a) != 0 || stat(there.path().c_str(), &b) != 0 ||
      a.st_dev == b.st_dev) {
    GTEST_SKIP() << "needs /dev/shm on another file system than the temporary directory";
  }
  std::string payload((1 << 20) + 3, '\0');  // several copy chunks and a ragged end
  for (size_t i = 0; i < payload.size(); ++i) payload[i] = static_cast<char>(i * 131 + 7);
  const std::string src = here.File("src"), dst = there.File("dst");
  WriteFile(src, payload);
  chmod(src.c_str(), 0640);
  constexpr DWORD kCopyReplace = MOVEFILE_COPY_ALLOWED | MOVEFILE_REPLACE_EXISTING;
  auto leftovers = [&](const char* keep) {
    std::set<std::string> names;
    for (const auto& entry : fs::directory_iterator(there.path()))
      if (entry.path().filename() != keep) names.insert(entry.path().filename().string());
    return names;
  };

  // Failures leave the source and no partial target: copying not allowed, no target folder, and a
  // target that is a folder (the copy is made, cannot take its place, and is removed).
  fs::create_directory(there.File("dir"));
  WriteFile(there.File("dir/inside"), "x");
  for (const auto& [to, flags] : {std::pair{dst, DWORD{0}},
                                  {there.File("nodir/dst"), kCopyReplace},
                                  {there.File("dir"), kCopyReplace}}) {
    SetLastError(0);
    EXPECT_FALSE(MoveFileExA(src.c_str(), to.c_str(), flags)) << to;
    EXPECT_NE(GetLastError(), 0u);
    EXPECT_EQ(ReadFile(src), payload);
    EXPECT_TRUE(leftovers("dir").empty());
  }

  ASSERT_TRUE(MoveFileExA(src.c_str(), dst.c_str(), MOVEFILE_COPY_ALLOWED));
  EXPECT_FALSE(fs::exists(src));
  EXPECT_EQ(ReadFile(dst), payload);
  struct stat st {};
  stat(dst.c_str(), &st);
  EXPECT_EQ(st.st_mode & 07777, 0640u);

  WriteFile(src, "newer");
  EXPECT_FALSE(MoveFileExA(src.c_str(), dst.c_str(), MOVEFILE_COPY_ALLOWED)) << "no replacing";
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadFile(dst), payload);
  ASSERT_TRUE(MoveFileExA(src.c_str(), dst.c_str(), kCopyReplace));
  EXPECT_EQ(ReadFile(dst), "newer");
  EXPECT_EQ(leftovers("dir"), std::set<std::string>{"dst"});
}

// ---- Starting the mixer ----

class ShellTest : public ::testing::Test {
 protected:
  void SetUp() override {
    ASSERT_EQ(mkfifo(fifo_.c_str(), 0600), 0);
    // Reader first (non-blocking), so a fake program's open for writing does not block; our own
    // writer keeps the reader from seeing hang-up once a fake program has come and gone.
    reader_ = open(fifo_.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
    writer_ = open(fifo_.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
    ASSERT_GE(reader_, 0);
    ASSERT_GE(writer_, 0);
  }
  void TearDown() override {
    for (int fd : {reader_, writer_})
      if (fd >= 0) close(fd);
  }
  // Fake programs that report their name and arguments through the FIFO.
  void FakePrograms(std::initializer_list<const char*> names) {
    for (const std::string name : names) {
      WriteFile(bin_.File(name), "#!/bin/sh\nprintf '%s\\n' \"" + name + " $*\" > " + fifo_ + "\n");
      chmod(bin_.File(name).c_str(), 0755);
    }
  }
  // What a started fake program reported, waiting at most ten seconds for each piece.
  std::string Started() {
    std::string text;
    char buf[256];
    pollfd p{reader_, POLLIN, 0};
    while (text.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1) {
      const ssize_t got = read(reader_, buf, sizeof buf);
      if (got > 0) text.append(buf, static_cast<size_t>(got));
    }
    if (!text.empty()) text.pop_back();
    return text;
  }
  intptr_t Shell(const char* file, const char* parameters, const char* verb = "open") {
    return reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, verb, file, parameters, nullptr, SW_SHOWNORMAL));
  }

  TempDir bin_;
  std::string fifo_ = bin_.File("started");
  int reader_ = -1, writer_ = -1;
  ScopedEnv display_{"DISPLAY", ":99"};
  ScopedEnv wayland_{"WAYLAND_DISPLAY", nullptr};
  ScopedEnv path_{"PATH", bin_.path().c_str()};
};

TEST_F(ShellTest, VolumeControlPrefersPavucontrolOnTheRightTabThenAlsamixerInATerminal) {
  FakePrograms({"pavucontrol", "x-terminal-emulator", "alsamixer"});
  EXPECT_GT(Shell("sndvol32.exe", "/record"), 32);
  EXPECT_EQ(Started(), "pavucontrol --tab=4");
  EXPECT_GT(Shell("SndVol32.EXE", nullptr), 32);
  EXPECT_EQ(Started(), "pavucontrol --tab=1");
  // The intermediate process has been reaped: no child of ours is left.
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1);
  EXPECT_EQ(errno, ECHILD);

  fs::remove(bin_.File("pavucontrol"));
  const std::string terminal = "x-terminal-emulator -e " + bin_.File("alsamixer");
  EXPECT_GT(Shell("sndvol32.exe", "/record"), 32);
  EXPECT_EQ(Started(), terminal + " -V capture");
  EXPECT_GT(Shell("sndvol32.exe", ""), 32);
  EXPECT_EQ(Started(), terminal);
}

TEST_F(ShellTest, DocumentsGoToXdgOpenAndNothingToStartIsAnErrorAtOrBelow32) {
  FakePrograms({"xdg-open", "alsamixer"});  // alsamixer, but no terminal to show it in
  const std::string doc = bin_.File("take.wav");
  WriteFile(doc, "RIFF");
  EXPECT_GT(Shell(doc.c_str(), nullptr), 32);
  EXPECT_EQ(Started(), "xdg-open " + doc);
  EXPECT_EQ(Shell(bin_.File("missing.wav").c_str(), nullptr), 2);
  EXPECT_LE(Shell("sndvol32.exe", "/record"), 32);
  EXPECT_LE(Shell(nullptr, nullptr), 32);
  EXPECT_LE(Shell("sndvol32.exe", nullptr, "print"), 32);
  FakePrograms({"pavucontrol"});
  {
    ScopedEnv emptyPath("PATH", "");
    EXPECT_EQ(Shell("sndvol32.exe", "/record"), 2);
  }
  ScopedEnv noDisplay("DISPLAY", nullptr);
  EXPECT_LE(Shell("sndvol32.exe", "/record"), 32);
  EXPECT_LE(Shell(doc.c_str(), nullptr), 32);
}

}  // namespace
