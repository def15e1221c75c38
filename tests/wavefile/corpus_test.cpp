// Opening bad and unusual files: every file of the corpus that tests/corpus/make_corpus.py writes
// opens through the recorder's method table with the error or the length its manifest line
// names, within a second, and a failure leaves the recorder idle with nothing open.
#include <chrono>
#include <fstream>
#include <sstream>

#include "engine/capture_fixture.h"

namespace voxl {
namespace {

using CorpusTest = testing::CaptureTest;

TEST_F(CorpusTest, EveryFileOpensWithItsErrorOrLengthQuickly) {
  const test::CommandResult made = test::RunCommand(
      "python3 " + test::ShellQuote(VOXL_CORPUS_SCRIPT) + " " + test::ShellQuote(File("")));
  ASSERT_EQ(made.exitCode, 0) << made.output;
  VoxlRecorder* rec = ToHost(&r());
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  WORD error = 0;
  std::ifstream manifest(File("manifest.txt"));
  int files = 0;
  for (std::string line; std::getline(manifest, line);) {
    if (line.empty() || line[0] == '#') continue;
    std::istringstream fields(line);
    std::string name, capture, codes;
    int kind = 0;
    DWORD low = 0, high = 0;
    fields >> name >> kind >> capture >> codes >> low >> high;
    SCOPED_TRACE(line);
    ++files;

    // The capture format the line names, else the default: nothing carries over from the last.
    unsigned format = 16, rate = 44100, channels = 2;
    ASSERT_TRUE(capture == "-" ||
                std::sscanf(capture.c_str(), "%u,%u,%u", &format, &rate, &channels) == 3);
    ASSERT_EQ(m.SetFileKind(rec, SHORT(kind)) | m.SetSampleFormat(rec, WORD(format)) |
                  m.SetSampleRate(rec, rate) | m.SetChannels(rec, WORD(channels)),
              0);
    error = 0xFFFF;
    const auto start = std::chrono::steady_clock::now();
    Named(File(name), [&](BSTR path) { EXPECT_EQ(m.OpenFile(rec, path, &error), 0); });
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));

    EXPECT_NE(("," + codes + ",").find("," + std::to_string(error) + ","), std::string::npos)
        << "error " << error;
    // Failed: idle with nothing open; opened: the length in its bounds, ready to record at the end.
    EXPECT_TRUE(error != 0
                    ? r().state == StateIdle && r().fileHandle == nullptr
                    : low <= r().length && r().length <= high && DWORD(r().position) == r().length)
        << r().length;
    EXPECT_EQ(m.Close(rec, &error), 0);
    EXPECT_EQ(error, 0);
  }
  EXPECT_GE(files, 60);
}

}  // namespace
}  // namespace voxl
