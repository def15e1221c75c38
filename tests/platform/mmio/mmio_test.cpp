// RIFF file I/O: files and memory files, chunk layout written by create/ascend, chunk search
// over good and damaged files, seek limits, write faults, and a peer reader (sox).
#include "platform/mmio/mmio.h"

#include <gtest/gtest.h>
#include <stdlib.h>
#include <unistd.h>

#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<unsigned char>;

FOURCC Id(const char* s) {
  return mmioFOURCC(s[0], s[1], s[2], s[3]);
}

void Put32(Bytes& b, uint32_t v) {
  for (int i = 0; i < 4; ++i) b.push_back(static_cast<unsigned char>(v >> (8 * i)));
}

Bytes Header(const char* id, uint32_t size) {
  Bytes b(id, id + 4);
  Put32(b, size);
  return b;
}

// A chunk as it must appear on disk: header with the true size, data, pad byte when odd.
Bytes Chunk(const char* id, const Bytes& data) {
  Bytes b = Header(id, static_cast<uint32_t>(data.size()));
  b.insert(b.end(), data.begin(), data.end());
  if (data.size() & 1) b.push_back(0);
  return b;
}

Bytes Form(const char* id, const char* type, std::initializer_list<Bytes> parts) {
  Bytes data(type, type + 4);
  for (const Bytes& p : parts) data.insert(data.end(), p.begin(), p.end());
  return Chunk(id, data);
}

Bytes Concat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

Bytes ReadFile(const fs::path& p) {
  std::ifstream in(p, std::ios::binary);
  return Bytes(std::istreambuf_iterator<char>(in), {});
}

HMMIO Open(const fs::path& p, DWORD flags, MMIOINFO* info = nullptr) {
  std::string name = p.string();
  return mmioOpenA(name.data(), info, flags);
}

HMMIO OpenMemory(Bytes& bytes, DWORD access = MMIO_READ) {
  MMIOINFO info{};
  info.fccIOProc = FOURCC_MEM;
  info.pchBuffer = reinterpret_cast<HPSTR>(bytes.data());
  info.cchBuffer = static_cast<LONG>(bytes.size());
  return mmioOpenA(nullptr, &info, access);
}

class TempDir {
 public:
  TempDir() {
    std::string pattern = (fs::temp_directory_path() / "mmio_test.XXXXXX").string();
    path_ = mkdtemp(pattern.data());
  }
  ~TempDir() { fs::remove_all(path_); }
  fs::path operator/(const char* name) const { return path_ / name; }

 private:
  fs::path path_;
};

const Bytes kFmt = {1, 0, 2, 0, 0x44, 0xAC, 0, 0, 0x10, 0xB1, 2, 0, 4, 0, 16, 0};

// Writes chunk `id` with `data` through create/ascend, the way the recorder writes.
void WriteChunk(HMMIO h, const char* id, const Bytes& data) {
  MMCKINFO ck{};
  ck.ckid = Id(id);
  ASSERT_EQ(mmioCreateChunk(h, &ck, 0), 0u);
  ASSERT_EQ(mmioWrite(h, reinterpret_cast<const char*>(data.data()), LONG(data.size())),
            LONG(data.size()));
  ASSERT_EQ(mmioAscend(h, &ck, 0), 0u);
}

TEST(MmioWriteRiff, WaveWithOddChunksHasExactBytes) {
  TempDir dir;
  HMMIO h = Open(dir / "a.wav", MMIO_CREATE | MMIO_WRITE);
  ASSERT_NE(h, nullptr);
  MMCKINFO riff{};
  riff.fccType = Id("WAVE");
  ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), 0u);
  EXPECT_EQ(riff.dwDataOffset, 8u);
  WriteChunk(h, "fmt ", kFmt);
  WriteChunk(h, "fact", {7, 0, 0, 0});
  WriteChunk(h, "note", {'a', 'b', 'c'});
  WriteChunk(h, "data", {1, 2, 3, 4, 5});
  ASSERT_EQ(mmioAscend(h, &riff, 0), 0u);
  EXPECT_EQ(riff.dwFlags & MMIO_DIRTY, 0u);
  EXPECT_EQ(mmioClose(h, 0), 0u);

  Bytes expected = Form("RIFF", "WAVE",
                        {Chunk("fmt ", kFmt), Chunk("fact", {7, 0, 0, 0}),
                         Chunk("note", {'a', 'b', 'c'}), Chunk("data", {1, 2, 3, 4, 5})});
  EXPECT_EQ(ReadFile(dir / "a.wav"), expected);
}

TEST(MmioWriteRiff, DirtyAscendRewritesChangedSize) {
  Bytes file = Form("RIFF", "WAVE", {Chunk("data", {1, 2, 3, 4})});
  HMMIO h = OpenMemory(file, MMIO_READWRITE);
  MMCKINFO riff{}, data{};
  riff.fccType = Id("WAVE");
  data.ckid = Id("data");
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);
  ASSERT_EQ(mmioDescend(h, &data, &riff, MMIO_FINDCHUNK), 0u);
  data.cksize = 3;  // position still at the data: the size given is kept
  data.dwFlags |= MMIO_DIRTY;
  ASSERT_EQ(mmioAscend(h, &data, 0), 0u);
  EXPECT_EQ(file[16], 3);
  EXPECT_EQ(file[23], 0) << "pad byte after odd data";
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 24);
  mmioClose(h, 0);
}

TEST(MmioWriteRiff, SizePastFourGiBIsRefusedNotWrapped) {
  Bytes file(32, 0xAA);
  HMMIO h = OpenMemory(file, MMIO_READWRITE);
  MMCKINFO ck{};
  ck.ckid = Id("data");
  ck.cksize = 0xFFFFFFFEu;  // the chunk would end past 4 GiB
  ASSERT_EQ(mmioCreateChunk(h, &ck, 0), 0u);
  EXPECT_EQ(mmioAscend(h, &ck, 0), UINT(MMIOERR_CANNOTWRITE));
  EXPECT_EQ(Bytes(file.begin() + 4, file.begin() + 8), Bytes({0xFE, 0xFF, 0xFF, 0xFF}));
  EXPECT_NE(ck.dwFlags & MMIO_DIRTY, 0u);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 8);
  mmioClose(h, 0);
}

const Bytes kWave = Form("RIFF", "WAVE",
                         {Chunk("junk", {1, 2, 3}), Form("LIST", "INFO", {Chunk("INAM", {'x'})}),
                          Chunk("fmt ", kFmt), Chunk("odd ", {9}), Chunk("data", {5, 6, 7, 8})});

TEST(MmioDescend, FindsChunksBehindOddUnknownChunks) {
  Bytes file = kWave;
  HMMIO h = OpenMemory(file);
  MMCKINFO riff{}, fmt{}, data{};
  riff.fccType = Id("WAVE");
  fmt.ckid = Id("fmt ");
  data.ckid = Id("data");
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);
  EXPECT_EQ(riff.cksize, kWave.size() - 8);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 12);
  ASSERT_EQ(mmioDescend(h, &fmt, &riff, MMIO_FINDCHUNK), 0u);
  EXPECT_EQ(fmt.cksize, 16u);
  ASSERT_EQ(mmioAscend(h, &fmt, 0), 0u);
  ASSERT_EQ(mmioDescend(h, &data, &riff, MMIO_FINDCHUNK), 0u);
  char got[8];
  EXPECT_EQ(mmioRead(h, got, sizeof got), 4) << "short read at the end of the file";
  EXPECT_EQ(Bytes(got, got + 4), Bytes({5, 6, 7, 8}));
  mmioClose(h, 0);
}

TEST(MmioDescend, SearchStaysInsideParentAndRestoresPosition) {
  Bytes file = kWave;
  HMMIO h = OpenMemory(file);
  MMCKINFO riff{}, list{}, ck{};
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, 0), 0u);  // no flag: the header right here
  EXPECT_EQ(riff.fccType, Id("WAVE"));
  list.fccType = Id("INFO");
  ASSERT_EQ(mmioDescend(h, &list, &riff, MMIO_FINDLIST), 0u);
  const LONG inside = mmioSeek(h, 0, SEEK_CUR);
  ck.ckid = Id("fmt ");
  EXPECT_EQ(mmioDescend(h, &ck, &list, MMIO_FINDCHUNK), UINT(MMIOERR_CHUNKNOTFOUND));
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), inside);
  ASSERT_EQ(mmioAscend(h, &list, 0), 0u);
  EXPECT_EQ(mmioDescend(h, &ck, &riff, MMIO_FINDCHUNK), 0u);
  mmioClose(h, 0);
}

// Hand-built damaged files.  Each searches RIFF/WAVE, then "data" inside it.
struct BadFile {
  const char* name;
  Bytes bytes;
  MMRESULT riff;
  MMRESULT data;
  DWORD dataSize;
};

std::vector<BadFile> BadFiles() {
  const Bytes fmt = Chunk("fmt ", kFmt);
  auto riff = [](uint32_t size, const Bytes& body) {
    return Concat({Header("RIFF", size), {'W', 'A', 'V', 'E'}, body});
  };
  const Bytes data = Chunk("data", {1, 2});
  return {
      {"bad_001_skipped_chunk_past_end", riff(100, Concat({Header("junk", 500), data})), 0,
       MMIOERR_CHUNKNOTFOUND, 0},
      {"bad_002_skipped_size_all_ones", riff(100, Concat({Header("junk", 0xFFFFFFFF), data})), 0,
       MMIOERR_CHUNKNOTFOUND, 0},
      {"bad_003_truncated_header", riff(100, Concat({fmt, {'d', 'a', 't', 'a', 4}})), 0,
       MMIOERR_CHUNKNOTFOUND, 0},
      {"good_004_zero_sized_chunks",
       riff(100, Concat({Header("junk", 0), Header("fmt ", 0), data})), 0, 0, 2},
      {"bad_005_riff_size_zero", riff(0, Concat({fmt, data})), MMIOERR_CHUNKNOTFOUND, 0, 0},
      {"bad_009_riff_size_only_form", riff(4, Concat({fmt, data})), 0, MMIOERR_CHUNKNOTFOUND, 0},
      {"bad_006_riff_too_small_for_form", Concat({Header("RIFF", 3), {'W', 'A', 'V', 'E'}, data}),
       MMIOERR_CHUNKNOTFOUND, 0, 0},
      {"bad_007_truncated_form_type", Concat({Header("RIFF", 100), {'W', 'A'}}),
       MMIOERR_CHUNKNOTFOUND, 0, 0},
      {"good_008_data_larger_than_file",
       riff(0xFFFFFFFF, Concat({fmt, Header("data", 0xFFFFFFF0)})), 0, 0, 0xFFFFFFF0},
  };
}

class MmioBadFile : public testing::TestWithParam<BadFile> {};

TEST_P(MmioBadFile, SearchEndsCleanly) {
  Bytes file = GetParam().bytes;
  HMMIO h = OpenMemory(file);
  MMCKINFO riff{}, data{};
  riff.fccType = Id("WAVE");
  data.ckid = Id("data");
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), GetParam().riff);
  if (GetParam().riff == 0) {
    ASSERT_EQ(mmioDescend(h, &data, &riff, MMIO_FINDCHUNK), GetParam().data);
    if (GetParam().data == 0) {
      EXPECT_EQ(data.cksize, GetParam().dataSize);
    }
  }
  mmioClose(h, 0);
}

INSTANTIATE_TEST_SUITE_P(Vectors, MmioBadFile, testing::ValuesIn(BadFiles()),
                         [](const auto& info) { return std::string(info.param.name); });

// Every size field of a good file set to each edge value: the walk ends, never reports a chunk
// outside the file, and never moves backwards.
TEST(MmioDescend, DamagedSizeFieldsNeverEscapeTheFile) {
  const uint32_t values[] = {0,  1,  2,          3,          4,          5,         15,
                             16, 17, 0x7FFFFFFF, 0x80000000, 0xFFFFFFF7, 0xFFFFFFFF};
  for (size_t field = 4; field + 4 <= kWave.size(); field += 2) {
    for (uint32_t v : values) {
      Bytes file = kWave;
      for (int i = 0; i < 4; ++i) file[field + i] = static_cast<unsigned char>(v >> (8 * i));
      HMMIO h = OpenMemory(file);
      MMCKINFO riff{}, ck{};
      riff.fccType = Id("WAVE");
      if (mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF) == 0) {
        for (const char* id : {"fmt ", "data"}) {
          const LONG before = mmioSeek(h, 0, SEEK_CUR);
          ck.ckid = Id(id);
          if (mmioDescend(h, &ck, &riff, MMIO_FINDCHUNK) != 0) continue;
          EXPECT_LE(ck.dwDataOffset, file.size()) << field << " " << v;
          EXPECT_GE(mmioSeek(h, 0, SEEK_CUR), before);
          mmioSeek(h, riff.dwDataOffset + 4, SEEK_SET);
        }
      }
      mmioClose(h, 0);
    }
  }
}

TEST(MmioOpen, ExistDeleteCreateAndErrors) {
  TempDir dir;
  std::ofstream(dir / "f") << "old contents";
  EXPECT_EQ(Open(dir / "f", MMIO_EXIST), reinterpret_cast<HMMIO>(1));
  MMIOINFO info{};
  EXPECT_EQ(Open(dir / "missing", MMIO_EXIST, &info), nullptr);
  EXPECT_EQ(info.wErrorRet, UINT(MMIOERR_FILENOTFOUND));
  EXPECT_EQ(Open(dir / "no/such/dir", MMIO_READ, &info), nullptr);
  EXPECT_EQ(info.wErrorRet, UINT(MMIOERR_PATHNOTFOUND));
  EXPECT_EQ(Open(dir / "", MMIO_READ, &info), nullptr) << "a folder is no file";
  EXPECT_EQ(info.wErrorRet, UINT(MMIOERR_ACCESSDENIED));
  EXPECT_EQ(mmioClose(reinterpret_cast<HMMIO>(1), 0), UINT(MMIOERR_INVALIDFILE));

  HMMIO h = Open(dir / "f", MMIO_READ);
  EXPECT_EQ(mmioWrite(h, "x", 1), -1) << "opened for reading";
  mmioClose(h, 0);
  h = Open(dir / "f", MMIO_CREATE | MMIO_READWRITE);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_END), 0) << "MMIO_CREATE truncates";
  mmioClose(h, 0);
  EXPECT_EQ(Open(dir / "f", MMIO_DELETE), reinterpret_cast<HMMIO>(1));
  EXPECT_FALSE(fs::exists(dir / "f"));
}

TEST(MmioMemoryFile, ReadsAndWritesWithinTheBlockOnly) {
  Bytes block = {1, 2, 3, 4};
  HMMIO h = OpenMemory(block, MMIO_READWRITE);
  ASSERT_NE(h, nullptr);
  EXPECT_EQ(mmioSeek(h, 2, SEEK_SET), 2);
  EXPECT_EQ(mmioWrite(h, "abc", 3), 2) << "no growth";
  EXPECT_EQ(mmioWrite(h, "abc", 3), -1);
  EXPECT_EQ(block, Bytes({1, 2, 'a', 'b'}));
  EXPECT_EQ(mmioSeek(h, 8, SEEK_SET), 8);
  char c;
  EXPECT_EQ(mmioRead(h, &c, 1), 0);
  mmioClose(h, 0);
  h = OpenMemory(block);
  EXPECT_EQ(mmioWrite(h, "x", 1), -1) << "read-only block";
  mmioClose(h, 0);
}

struct SeekCase {
  LONG from;
  LONG offset;
  int origin;
  LONG result;  // -1: refused, position unchanged
};

class MmioSeek : public testing::TestWithParam<SeekCase> {};

TEST_P(MmioSeek, ReachesOnlyThirtyTwoBitPositions) {
  Bytes block(100);
  HMMIO h = OpenMemory(block);
  const SeekCase& c = GetParam();
  ASSERT_EQ(mmioSeek(h, c.from, SEEK_SET), c.from);
  EXPECT_EQ(mmioSeek(h, c.offset, c.origin), c.result);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), c.result == -1 ? c.from : c.result);
  mmioClose(h, 0);
}

INSTANTIATE_TEST_SUITE_P(
    Edges, MmioSeek,
    testing::Values(SeekCase{0, LONG(0x80000000), SEEK_SET, LONG(0x80000000)},
                    SeekCase{50, -51, SEEK_CUR, -1}, SeekCase{50, -50, SEEK_CUR, 0},
                    SeekCase{LONG(0xF0000000), 0x10000000, SEEK_CUR, -1},
                    SeekCase{LONG(0xF0000000), 0x0FFFFFFE, SEEK_CUR, LONG(0xFFFFFFFE)},
                    SeekCase{5, -101, SEEK_END, -1}, SeekCase{5, -100, SEEK_END, 0},
                    SeekCase{5, 0x7FFFFFFF, SEEK_END, LONG(0x80000063)}, SeekCase{5, 0, 7, -1}));

TEST(MmioWriteFaults, WriteLimitGivesShortWriteThenFailure) {
  TempDir dir;
  HMMIO h = Open(dir / "a.wav", MMIO_CREATE | MMIO_READWRITE);
  MMCKINFO riff{}, data{};
  riff.fccType = Id("WAVE");
  data.ckid = Id("data");
  ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), 0u);
  ASSERT_EQ(mmioCreateChunk(h, &data, 0), 0u);
  voxl::mmio::SetWriteLimitForTesting(101);
  const std::string piece(64, 'p');
  EXPECT_EQ(mmioWrite(h, piece.data(), 64), 64);
  EXPECT_EQ(mmioWrite(h, piece.data(), 64), 37);
  EXPECT_EQ(mmioWrite(h, piece.data(), 64), -1);
  voxl::mmio::SetWriteLimitForTesting(-1);
  // What was written before the fault stays readable.
  ASSERT_EQ(mmioAscend(h, &data, 0), 0u);
  ASSERT_EQ(mmioAscend(h, &riff, 0), 0u);
  EXPECT_EQ(data.cksize, 101u);
  EXPECT_EQ(riff.cksize, 4u + 8u + 102u);
  EXPECT_EQ(fs::file_size(dir / "a.wav"), 8u + riff.cksize);
  mmioClose(h, 0);
}

TEST(MmioWriteFaults, FullDiskFailsWritesAndHeaders) {
  HMMIO h = mmioOpenA(const_cast<LPSTR>("/dev/full"), nullptr, MMIO_WRITE);
  if (h == nullptr) GTEST_SKIP() << "no /dev/full";
  EXPECT_EQ(mmioWrite(h, "abcd", 4), -1);
  MMCKINFO ck{};
  EXPECT_EQ(mmioCreateChunk(h, &ck, MMIO_CREATERIFF), UINT(MMIOERR_CANNOTWRITE));
  mmioClose(h, 0);
}

TEST(MmioWriteFaults, WritesStopAtTheFourGiBLimit) {
  TempDir dir;
  HMMIO h = Open(dir / "big", MMIO_CREATE | MMIO_READWRITE);  // sparse: nothing much on disk
  ASSERT_EQ(mmioSeek(h, LONG(0xFFFFFFF0), SEEK_SET), LONG(0xFFFFFFF0));
  EXPECT_EQ(mmioWrite(h, std::string(32, 'x').data(), 32), 15);
  EXPECT_EQ(mmioWrite(h, "x", 1), -1);
  EXPECT_EQ(fs::file_size(dir / "big"), 0xFFFFFFFFu);
  EXPECT_EQ(mmioSeek(h, -15, SEEK_END), LONG(0xFFFFFFF0));
  char back[16] = {};
  EXPECT_EQ(mmioRead(h, back, 16), 15);
  EXPECT_EQ(back[14], 'x');
  mmioClose(h, 0);
}

TEST(MmioStringToFourcc, PadsCutsAndUppercases) {
  EXPECT_EQ(mmioStringToFOURCCA("fmt", 0), Id("fmt "));
  EXPECT_EQ(mmioStringToFOURCCA("datax", 0), Id("data"));
  EXPECT_EQ(mmioStringToFOURCCA("wave", MMIO_TOUPPER), Id("WAVE"));
  EXPECT_EQ(mmioStringToFOURCCA("", 0), Id("    "));
}

// sox must read a PCM file written through create/ascend with the right length, including an
// odd-sized data chunk and a chunk after the data.
class MmioPeer : public testing::TestWithParam<int> {};

TEST_P(MmioPeer, SoxReadsTheLength) {
  if (std::system("command -v soxi >/dev/null 2>&1") != 0) GTEST_SKIP() << "soxi not installed";
  const int bits = GetParam();
  const int channels = bits == 8 ? 1 : 2;
  const int frames = 44101;
  TempDir dir;
  HMMIO h = Open(dir / "peer.wav", MMIO_CREATE | MMIO_WRITE);
  MMCKINFO riff{};
  riff.fccType = Id("WAVE");
  ASSERT_EQ(mmioCreateChunk(h, &riff, MMIO_CREATERIFF), 0u);
  const int align = channels * bits / 8;
  Bytes fmt = {1, 0, static_cast<unsigned char>(channels), 0};
  Put32(fmt, 44100);
  Put32(fmt, 44100u * align);
  fmt.insert(fmt.end(),
             {static_cast<unsigned char>(align), 0, static_cast<unsigned char>(bits), 0});
  WriteChunk(h, "fmt ", fmt);
  WriteChunk(h, "data", Bytes(size_t(frames) * align, 0x80));
  WriteChunk(h, "tail", {1, 2, 3});
  ASSERT_EQ(mmioAscend(h, &riff, 0), 0u);
  mmioClose(h, 0);

  std::string command = "soxi -s '" + (dir / "peer.wav").string() + "' 2>&1";
  FILE* pipe = popen(command.c_str(), "r");
  ASSERT_NE(pipe, nullptr);
  char line[128] = {};
  ASSERT_NE(fgets(line, sizeof line, pipe), nullptr);
  pclose(pipe);
  EXPECT_EQ(std::string(line), std::to_string(frames) + "\n");
}

INSTANTIATE_TEST_SUITE_P(Pcm, MmioPeer, testing::Values(8, 16));

}  // namespace
