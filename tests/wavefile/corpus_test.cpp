// Opening bad and unusual files: every file of the corpus that tests/corpus/make_corpus.py writes
// opens through the recorder's method table with the error or the length its manifest line
// names, within a second, and a failure leaves the recorder idle with nothing open.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <string>

#include "api/recorder_creation.h"
#include "core/recorder.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "support/peer.h"

namespace voxl {
namespace {

TEST(CorpusTest, EveryFileOpensWithItsErrorOrLengthQuickly) {
  ASSERT_TRUE(wave::SelectDriverForTesting("virtual"));
  virtualaudio::Reset();
  test::TempDir dir;
  const test::CommandResult made = test::RunCommand(
      "python3 " + test::ShellQuote(VOXL_CORPUS_SCRIPT) + " " + test::ShellQuote(dir.File("")));
  ASSERT_EQ(made.exitCode, 0) << made.output;

  Recorder* r = NewRecorder();
  ASSERT_NE(r, nullptr);
  VoxlRecorder* rec = ToHost(r);
  const VoxlRecorderVtbl& m = *rec->lpVtbl;
  WORD error = 0;
  ASSERT_EQ(m.Close(rec, &error), 0);

  std::ifstream manifest(dir.File("manifest.txt"));
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

    ASSERT_EQ(m.SetFileKind(rec, static_cast<SHORT>(kind)), 0);
    if (capture != "-") {
      unsigned format = 0, rate = 0, channels = 0;
      ASSERT_EQ(std::sscanf(capture.c_str(), "%u,%u,%u", &format, &rate, &channels), 3);
      ASSERT_EQ(m.SetSampleFormat(rec, static_cast<WORD>(format)), 0);
      ASSERT_EQ(m.SetSampleRate(rec, rate), 0);
      ASSERT_EQ(m.SetChannels(rec, static_cast<WORD>(channels)), 0);
    }
    const std::string path = dir.File(name);
    const std::u16string wide(path.begin(), path.end());
    BSTR bstr = SysAllocStringLen(wide.data(), static_cast<UINT>(wide.size()));
    error = 0xFFFF;
    const auto start = std::chrono::steady_clock::now();
    EXPECT_EQ(m.OpenFile(rec, bstr, &error), 0);
    EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(1));
    SysFreeString(bstr);

    EXPECT_NE(("," + codes + ",").find("," + std::to_string(error) + ","), std::string::npos)
        << "error " << error;
    if (error != 0) {
      EXPECT_TRUE(r->state == StateIdle && r->fileHandle == nullptr);
    } else {  // the length in its bounds, ready to record at the end
      EXPECT_TRUE(low <= r->length && r->length <= high) << r->length;
      EXPECT_EQ(DWORD(r->position), r->length);
    }
    EXPECT_EQ(m.Close(rec, &error), 0);
    EXPECT_EQ(error, 0);
    // The next line starts from the default capture format, whatever this file left behind.
    m.SetSampleFormat(rec, 16);
    m.SetSampleRate(rec, 44100);
    m.SetChannels(rec, 2);
  }
  EXPECT_GE(files, 60);
  DeleteRecorder(r);
}

}  // namespace
}  // namespace voxl
