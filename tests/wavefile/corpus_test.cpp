// Opening bad and unusual files: every file of the corpus that tests/corpus/make_corpus.py writes
// opens through the recorder's method table with the error or the length its manifest line
// names, within a second, and a failure leaves the recorder idle with nothing open.
#include <gtest/gtest.h>

#include <chrono>
#include <cstdlib>
#include <fstream>
#include <set>
#include <sstream>
#include <string>

#include "api/recorder_creation.h"
#include "core/recorder.h"
#include "platform/wave/virtual/virtual_device.h"
#include "platform/wave/wave_driver.h"
#include "support/peer.h"

namespace voxl {
namespace {

// What a manifest line expects: one of `codes` (0 = opens), and when it opens a length of
// `frames` (within `slack`), or at most `frames` for the lines that leave the choice open.
struct Expect {
  std::set<int> codes;
  long frames = -1;
  long slack = 0;
  bool atMost = false;
};

Expect ParseExpect(const std::string& text) {
  Expect e;
  const size_t eq = text.find_first_of("=~");
  const std::string key = text.substr(0, eq);
  std::string value = text.substr(eq + 1);
  if (key == "err") {
    e.codes = {std::stoi(value)};
  } else if (key == "len") {
    e.codes = {0};
    e.frames = std::stol(value);
    e.slack = text[eq] == '~' ? 1 : 0;
  } else {  // any=C,C<=N
    const size_t at = value.find("<=");
    if (at != std::string::npos) {
      e.frames = std::stol(value.substr(at + 2));
      e.atMost = true;
      value.resize(at);
    }
    std::istringstream codes(value);
    for (std::string c; std::getline(codes, c, ',');) e.codes.insert(std::stoi(c));
  }
  return e;
}

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
    std::string name, capture, expectText;
    int kind = 0;
    fields >> name >> kind >> capture >> expectText;
    SCOPED_TRACE(line);
    ++files;
    const Expect expect = ParseExpect(expectText);

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

    EXPECT_TRUE(expect.codes.count(error)) << "error " << error;
    WORD state = 0;
    DWORD length = 0;
    m.GetState(rec, &state);
    m.GetLength(rec, &length);
    if (error != 0) {
      EXPECT_EQ(state, StateIdle);
    } else if (expect.atMost) {
      EXPECT_LE(static_cast<long>(length), expect.frames);
    } else if (expect.frames >= 0) {
      EXPECT_NEAR(static_cast<double>(length), static_cast<double>(expect.frames),
                  static_cast<double>(expect.slack));
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
