// RIFF file I/O: chunk search, memory files, seek limits and the 4 GiB
// and full-disk write limits.  (The chunks a recording writes are checked byte for byte by the
// recording file tests.)
#include "platform/mmio/mmio.h"

#include <gtest/gtest.h>

#include <filesystem>
#include <string>
#include <vector>

#if !defined(_WIN32)
#include "support/peer.h"
#endif

namespace {

namespace fs = std::filesystem;
using Bytes = std::vector<uint8_t>;

FOURCC Id(const char* s) {
  return mmioFOURCC(s[0], s[1], s[2], s[3]);
}

// A chunk header for `ckid` (and form type `type`, when given).
MMCKINFO Ck(const char* ckid, const char* type = nullptr) {
  MMCKINFO ck{};
  ck.ckid = ckid != nullptr ? Id(ckid) : 0, ck.fccType = type != nullptr ? Id(type) : 0;
  return ck;
}

Bytes Cat(std::initializer_list<Bytes> parts) {
  Bytes b;
  for (const Bytes& p : parts) b.insert(b.end(), p.begin(), p.end());
  return b;
}

// A chunk as it must appear on disk: header with the true size, data, pad byte when odd.
Bytes Chunk(const char* id, const Bytes& data) {
  const auto n = uint32_t(data.size());
  const Bytes size = {uint8_t(n), uint8_t(n >> 8), uint8_t(n >> 16), uint8_t(n >> 24)};
  return Cat({Bytes(id, id + 4), size, data, Bytes(n & 1, 0)});
}

Bytes Form(const char* id, const char* type, std::initializer_list<Bytes> parts) {
  return Chunk(id, Cat({Bytes(type, type + 4), Cat(parts)}));
}

HMMIO OpenMemory(Bytes& bytes, DWORD access = MMIO_READ) {
  MMIOINFO info{};
  info.fccIOProc = FOURCC_MEM;
  info.pchBuffer = reinterpret_cast<HPSTR>(bytes.data());
  info.cchBuffer = LONG(bytes.size());
  return mmioOpenA(nullptr, &info, access);
}

// PCM, mono, 8000 Hz, 8 bits.
const Bytes kFmt = {1, 0, 1, 0, 0x40, 0x1F, 0, 0, 0x40, 0x1F, 0, 0, 1, 0, 8, 0};

const Bytes kWave = Form("RIFF", "WAVE",
                         {Chunk("junk", {1, 2, 3}), Form("LIST", "INFO", {Chunk("INAM", {'x'})}),
                          Chunk("fmt ", kFmt), Chunk("odd ", {9}), Chunk("data", {5, 6, 7, 8})});

// The search skips odd unknown chunks and lists, stays inside its parent and restores the position
// when nothing is found.
TEST(MmioDescend, FindsChunksInsideTheParentOnly) {
  Bytes file = kWave;
  HMMIO h = OpenMemory(file);
  MMCKINFO riff = Ck(nullptr, "WAVE"), list = Ck(nullptr, "INFO"), fmt = Ck("fmt "),
           data = Ck("data");
  ASSERT_EQ(mmioDescend(h, &riff, nullptr, MMIO_FINDRIFF), 0u);
  EXPECT_EQ(riff.cksize, kWave.size() - 8);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 12);
  ASSERT_EQ(mmioDescend(h, &list, &riff, MMIO_FINDLIST), 0u);
#if !defined(_WIN32)
  // Wine's search runs on past the parent's end; a failed search leaves the position undefined
  // on the system.
  const LONG inside = mmioSeek(h, 0, SEEK_CUR);
  EXPECT_EQ(mmioDescend(h, &fmt, &list, MMIO_FINDCHUNK), UINT(MMIOERR_CHUNKNOTFOUND));
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), inside);
#endif
  ASSERT_EQ(mmioAscend(h, &list, 0), 0u);
  ASSERT_EQ(mmioDescend(h, &fmt, &riff, MMIO_FINDCHUNK), 0u);
  ASSERT_EQ(mmioAscend(h, &fmt, 0), 0u);
  ASSERT_EQ(mmioDescend(h, &data, &riff, MMIO_FINDCHUNK), 0u);
  char got[8];
  EXPECT_EQ(mmioRead(h, got, sizeof got), 4) << "short read at the end of the file";
  EXPECT_EQ(Bytes(got, got + 4), Bytes({5, 6, 7, 8}));
  mmioSeek(h, 0, SEEK_SET);
  MMCKINFO here{};
  ASSERT_EQ(mmioDescend(h, &here, nullptr, 0), 0u) << "no flag: the header right here";
  EXPECT_EQ(here.fccType, Id("WAVE"));
  mmioClose(h, 0);
}

// Leaving a written chunk takes its size from the position, whatever cksize says, and pads an
// odd size; the size field is written only when it changes.
TEST(MmioAscend, TakesTheSizeFromThePosition) {
  Bytes block(32, 0xAA);
  HMMIO h = OpenMemory(block, MMIO_READWRITE);
  MMCKINFO ck = Ck("data");
  ASSERT_EQ(mmioCreateChunk(h, &ck, 0), 0u);
  ASSERT_EQ(mmioWrite(h, "abcde", 5), 5);
  ck.cksize = 20;  // claims more than was written
  ASSERT_EQ(mmioAscend(h, &ck, 0), 0u);
  EXPECT_EQ(Bytes(block.begin() + 4, block.begin() + 8), Bytes({5, 0, 0, 0}));
  EXPECT_EQ(block[13], 0) << "pad byte";
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), 14);
  EXPECT_EQ(ck.cksize, 5u);
  block[4] = 9;  // the field no longer says what cksize says: unchanged sizes are not written
  ck.dwFlags |= MMIO_DIRTY;
  mmioSeek(h, 13, SEEK_SET);
  ASSERT_EQ(mmioAscend(h, &ck, 0), 0u);
  EXPECT_EQ(block[4], 9);
  mmioClose(h, 0);
}

// (Damaged sizes of every chunk, zero, huge and past the end, go through the same search in the
// corpus of bad files.)
#if !defined(_WIN32)
// Seeks reach only 32-bit positions, memory files never grow, and a chunk that would end past
// 4 GiB is refused (its size left dirty), not wrapped.  (The system takes offsets as signed, so
// its files end at 2 GiB.)
TEST(MmioLimits, SeeksAndChunkSizesStayWithinThirtyTwoBits) {
  const struct {
    uint32_t from;
    LONG offset;
    int origin;
    uint32_t to;  // ~0u: refused, position unchanged
  } cases[] = {{0, LONG(0x80000000), SEEK_SET, 0x80000000},
               {50, -51, SEEK_CUR, ~0u},
               {0xF0000000, 0x10000000, SEEK_CUR, ~0u},
               {0xF0000000, 0x0FFFFFFE, SEEK_CUR, 0xFFFFFFFE},
               {5, -101, SEEK_END, ~0u},
               {5, 0x7FFFFFFF, SEEK_END, 0x80000063},
               {5, 0, 7, ~0u}};
  Bytes block(100);
  HMMIO h = OpenMemory(block, MMIO_READWRITE);
  for (const auto& c : cases) {
    ASSERT_EQ(mmioSeek(h, LONG(c.from), SEEK_SET), LONG(c.from));
    EXPECT_EQ(mmioSeek(h, c.offset, c.origin), LONG(c.to)) << c.from << " " << c.offset;
    EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), LONG(c.to == ~0u ? c.from : c.to));
  }
  char c;
  mmioSeek(h, 200, SEEK_SET);
  EXPECT_EQ(mmioRead(h, &c, 1), 0);
  mmioSeek(h, 98, SEEK_SET);
  EXPECT_EQ(mmioWrite(h, "abc", 3), 2) << "no growth";
  EXPECT_EQ(mmioWrite(h, "abc", 3), -1);

  mmioSeek(h, 0, SEEK_SET);
  MMCKINFO ck = Ck("data");
  ASSERT_EQ(mmioCreateChunk(h, &ck, 0), 0u);
  mmioSeek(h, LONG(0xFFFFFFF0), SEEK_SET);
  mmioSeek(h, 0x0F, SEEK_CUR);  // an odd size whose pad byte would lie at 4 GiB
  EXPECT_EQ(mmioAscend(h, &ck, 0), UINT(MMIOERR_CANNOTWRITE));
  EXPECT_EQ(Bytes(block.begin() + 4, block.begin() + 8), Bytes({0, 0, 0, 0}));
  EXPECT_NE(ck.dwFlags & MMIO_DIRTY, 0u);
  EXPECT_EQ(mmioSeek(h, 0, SEEK_CUR), LONG(0xFFFFFFFF));
  mmioClose(h, 0);
}

using MmioWriteFaults = voxl::test::TempDirTest;

TEST_F(MmioWriteFaults, FullDiskAndTheFourGiBLimitFailWrites) {
  HMMIO h = mmioOpenA(File("big").data(), nullptr,
                      MMIO_CREATE | MMIO_READWRITE);  // sparse: little on disk
  ASSERT_EQ(mmioSeek(h, LONG(0xFFFFFFF0), SEEK_SET), LONG(0xFFFFFFF0));
  EXPECT_EQ(mmioWrite(h, std::string(32, 'x').data(), 32), 15);
  EXPECT_EQ(mmioWrite(h, "x", 1), -1);
  EXPECT_EQ(fs::file_size(File("big")), 0xFFFFFFFFu);
  char back[16] = {};
  EXPECT_EQ(mmioSeek(h, -15, SEEK_END), LONG(0xFFFFFFF0));
  EXPECT_EQ(mmioRead(h, back, 16), 15);
  EXPECT_EQ(back[14], 'x');
  mmioClose(h, 0);

  // Only regular files open: a device node is never written.
  EXPECT_EQ(mmioOpenA(const_cast<LPSTR>("/dev/full"), nullptr, MMIO_WRITE), nullptr);
}
#endif

}  // namespace
