// System services: temporary files, deleting and moving, starting the mixer.
#include "platform/system/system.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <poll.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <cstring>
#include <filesystem>
#include <string>

#include "support/peer.h"

namespace fs = std::filesystem;

namespace {

using voxl::test::ScopedEnv;
using voxl::test::TempDir;

void WriteFile(const std::string& path, const std::string& content) {
  voxl::test::WriteBinaryFile(path, content.data(), content.size());
}

std::string ReadFile(const std::string& path) {
  if (!fs::exists(path)) return "<missing>";
  const auto bytes = voxl::test::ReadBinaryFile(path);
  return {bytes.begin(), bytes.end()};
}

// TMPDIR when it is a directory, else /tmp; a buffer too small gets nothing and the size needed.
TEST(TempFiles, PathFollowsTmpdirAndNamesAreNewFilesOrACleanFailure) {
  TempDir dir;
  char buffer[MAX_PATH];
  {
    ScopedEnv env("TMPDIR", dir.path().c_str());
    const DWORD length = GetTempPathA(MAX_PATH, buffer);
    EXPECT_EQ(std::string(buffer), dir.path().string() + "/");
    char small[4] = "xyz";
    EXPECT_EQ(GetTempPathA(sizeof small, small), length + 1);
    EXPECT_STREQ(small, "xyz");
  }
  for (const char* bad : {"/no/such/dir", "/dev/null", static_cast<const char*>(nullptr)}) {
    ScopedEnv env("TMPDIR", bad);
    ASSERT_EQ(GetTempPathA(MAX_PATH, buffer), 5u) << (bad ? bad : "unset");
    EXPECT_STREQ(buffer, "/tmp/");
  }

  // Each name is a new empty file, never one that exists; the prefix is cut to three.
  char name[MAX_PATH];
  const UINT number = GetTempFileNameA(dir.path().c_str(), "VOXEL", 0, name);
  char expected[16];
  std::snprintf(expected, sizeof expected, "VOX%04X.tmp", number);
  EXPECT_EQ(std::string(name), dir.File(expected));
  EXPECT_EQ(fs::file_size(name), 0u);
  EXPECT_NE(GetTempFileNameA(dir.path().c_str(), "VOX", 0, name), number);

  // Where no file can be made, the call fails and leaves the name alone.
  std::strcpy(name, "untouched");
  WriteFile(dir.File("plain"), "x");
  for (const std::string& where :
       {dir.File("missing"), dir.File("plain"), std::string(MAX_PATH, 'a')}) {
    SetLastError(0);
    EXPECT_EQ(GetTempFileNameA(where.c_str(), "VOX", 0, name), 0u) << where;
    EXPECT_NE(GetLastError(), 0u);
  }
  EXPECT_EQ(GetTempFileNameA(nullptr, "VOX", 0, name), 0u);
  EXPECT_STREQ(name, "untouched");
}

TEST(MoveAndDelete, RenameReplacesOnlyWhenAskedAndDeleteTakesFilesOnly) {
  TempDir dir;
  const std::string src = dir.File("src"), dst = dir.File("dst");
  WriteFile(src, "new");
  WriteFile(dst, "old");
  SetLastError(0);
  EXPECT_FALSE(MoveFileExA(src.c_str(), dst.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_ALREADY_EXISTS));
  EXPECT_EQ(ReadFile(dst) + ReadFile(src), "oldnew");
  EXPECT_TRUE(MoveFileExA(src.c_str(), dst.c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_EQ(ReadFile(dst) + ReadFile(src), "new<missing>");
  EXPECT_FALSE(MoveFileExA(src.c_str(), dst.c_str(), 0));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  // Replacing keeps the replaced file's permission bits, and a linked file is replaced where it
  // lies (saving a recording must not change who may read it, nor break a link to it).
  WriteFile(src, "newer");
  const auto mode = fs::perms::owner_read | fs::perms::owner_write | fs::perms::group_read;
  fs::permissions(dst, mode);
  fs::create_symlink(dst, dir.File("link"));
  EXPECT_TRUE(MoveFileExA(src.c_str(), dir.File("link").c_str(), MOVEFILE_REPLACE_EXISTING));
  EXPECT_TRUE(fs::is_symlink(dir.File("link")));
  EXPECT_EQ(ReadFile(dst), "newer");
  EXPECT_EQ(fs::status(dst).permissions(), mode);

  EXPECT_TRUE(DeleteFileA(dst.c_str()));
  EXPECT_FALSE(DeleteFileA(dst.c_str()));
  EXPECT_EQ(GetLastError(), static_cast<DWORD>(ERROR_FILE_NOT_FOUND));
  fs::create_directory(dir.File("sub"));
  EXPECT_FALSE(DeleteFileA(dir.File("sub").c_str())) << "files only";
}

// The volume control is pavucontrol on the side of the flag, else alsamixer in a terminal; with
// nothing to start the answer is 32 or less.  Fake programs report their name and arguments
// through a FIFO.
TEST(Shell, StartsTheMixerAndFailsCleanly) {
  TempDir bin;
  const std::string fifo = bin.File("started");
  ASSERT_EQ(mkfifo(fifo.c_str(), 0600), 0);
  // Reader first (non-blocking), so a fake program's open for writing does not block; our own
  // writer keeps the reader from seeing hang-up once a fake program has come and gone.
  const int reader = open(fifo.c_str(), O_RDONLY | O_NONBLOCK | O_CLOEXEC);
  const int writer = open(fifo.c_str(), O_WRONLY | O_NONBLOCK | O_CLOEXEC);
  ASSERT_TRUE(reader >= 0 && writer >= 0);
  ScopedEnv display("DISPLAY", ":99"), wayland("WAYLAND_DISPLAY", nullptr);
  ScopedEnv path("PATH", bin.path().c_str());
  for (const std::string name : {"pavucontrol", "x-terminal-emulator", "alsamixer"}) {
    WriteFile(bin.File(name), "#!/bin/sh\nprintf '%s\\n' \"" + name + " $*\" > " + fifo + "\n");
    chmod(bin.File(name).c_str(), 0755);
  }
  // What the started program reported, waiting at most ten seconds.
  auto started = [&] {
    std::string text;
    char buf[256];
    pollfd p{reader, POLLIN, 0};
    while (text.find('\n') == std::string::npos && poll(&p, 1, 10000) == 1) {
      const ssize_t got = read(reader, buf, sizeof buf);
      if (got > 0) text.append(buf, static_cast<size_t>(got));
    }
    return text.empty() ? text : text.substr(0, text.size() - 1);
  };
  auto shell = [](const char* file, const char* parameters, const char* verb = "open") {
    return reinterpret_cast<intptr_t>(
        ShellExecuteA(nullptr, verb, file, parameters, nullptr, SW_SHOWNORMAL));
  };
  for (const char* side : {"/record", static_cast<const char*>(nullptr)}) {
    EXPECT_GT(shell("sndvol32.exe", side), 32);
    EXPECT_EQ(started(), std::string("pavucontrol --tab=") + (side != nullptr ? "4" : "1"));
  }
  fs::remove(bin.File("pavucontrol"));
  EXPECT_GT(shell("sndvol32.exe", "/record"), 32);
  EXPECT_EQ(started(), "x-terminal-emulator -e " + bin.File("alsamixer") + " -V capture");
  EXPECT_EQ(waitpid(-1, nullptr, WNOHANG), -1) << "the intermediate process was not reaped";

  fs::remove(bin.File("x-terminal-emulator"));  // alsamixer, but no terminal to show it in
  EXPECT_LE(shell("sndvol32.exe", "/record"), 32);
  close(reader);
  close(writer);
}

}  // namespace
