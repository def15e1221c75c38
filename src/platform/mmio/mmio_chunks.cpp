// The mmio chunk operations: mmioDescend, mmioCreateChunk, mmioAscend.
//
// A chunk is an 8-byte header (ckid, cksize, little-endian) followed by cksize bytes of data and
// one pad byte (0) when cksize is odd.  RIFF and LIST chunks start their data with a 4-byte form
// type; their dwDataOffset names the form type and their cksize counts it.
//
// Reading files that may be damaged: the search works in 64-bit offsets and always moves
// forward, at least one header per step, so it ends on any input.  A chunk it passes over must
// lie inside the bound (the parent's data end and the file's end); one that does not, or a
// header cut short, ends the search with MMIOERR_CHUNKNOTFOUND.  The chunk found is reported with
// the size its header gives, even when fewer bytes follow: its reader clamps to what is present.
#include <algorithm>
#include <cstdint>

#include "platform/mmio/mmio_file.h"

namespace voxl::mmio {
namespace {

constexpr uint64_t kHeaderBytes = 8;
constexpr uint64_t kFormTypeBytes = 4;

bool IsForm(FOURCC id) {
  return id == FOURCC_RIFF || id == FOURCC_LIST;
}

struct Header {
  FOURCC id = 0;
  DWORD size = 0;
};

// Reads exactly `count` bytes at `offset`.  Returns 1 when read, 0 when the file ends first,
// -1 on a read error.
int ReadExactly(HMMIO h, uint64_t offset, unsigned char* out, uint64_t count) {
  int64_t got = ReadAt(h, offset, out, count);
  if (got < 0) return -1;
  return static_cast<uint64_t>(got) == count ? 1 : 0;
}

}  // namespace
}  // namespace voxl::mmio

extern "C" MMRESULT mmioDescend(HMMIO h, LPMMCKINFO ck, const MMCKINFO* parent, UINT flags) {
  using namespace voxl::mmio;
  if (!IsOpenFile(h) || ck == nullptr) return MMIOERR_INVALIDFILE;
  if (!h->readable) return MMIOERR_CANNOTREAD;

  uint64_t end = 0;
  if (!FileLength(h, &end)) return MMIOERR_CANNOTREAD;
  if (parent != nullptr) {
    end = std::min(end, uint64_t{parent->dwDataOffset} + parent->cksize);
  }
  // Every offset handed back must fit the 32-bit record.
  end = std::min(end, kMaxPosition);

  const UINT find = flags & (MMIO_FINDCHUNK | MMIO_FINDRIFF | MMIO_FINDLIST);
  uint64_t at = h->position;
  while (at + kHeaderBytes <= end) {
    unsigned char raw[kHeaderBytes + kFormTypeBytes];
    int read = ReadExactly(h, at, raw, kHeaderBytes);
    if (read < 0) return MMIOERR_CANNOTREAD;
    if (read == 0) break;
    const Header header{LoadLe32(raw), LoadLe32(raw + 4)};
    const uint64_t dataOffset = at + kHeaderBytes;

    // A RIFF or LIST chunk too small to hold its form type is an ordinary chunk here: its form
    // type is never read from bytes that belong to something else.
    bool hasForm =
        IsForm(header.id) && header.size >= kFormTypeBytes && dataOffset + kFormTypeBytes <= end;
    FOURCC formType = 0;
    if (hasForm) {
      read = ReadExactly(h, dataOffset, raw + kHeaderBytes, kFormTypeBytes);
      if (read < 0) return MMIOERR_CANNOTREAD;
      hasForm = read == 1;
      if (hasForm) formType = LoadLe32(raw + kHeaderBytes);
    }

    bool match;
    switch (find) {
      case 0:
        // No search: the chunk here, whatever it is; a RIFF or LIST must be whole.
        if (IsForm(header.id) && !hasForm) return MMIOERR_CHUNKNOTFOUND;
        match = true;
        break;
      case MMIO_FINDCHUNK:
        match = header.id == ck->ckid && (hasForm || !IsForm(header.id));
        break;
      case MMIO_FINDRIFF:
        match = header.id == FOURCC_RIFF && hasForm && formType == ck->fccType;
        break;
      case MMIO_FINDLIST:
        match = header.id == FOURCC_LIST && hasForm && formType == ck->fccType;
        break;
      default:
        return MMIOERR_CHUNKNOTFOUND;
    }

    if (match) {
      ck->ckid = header.id;
      ck->cksize = header.size;
      if (hasForm) ck->fccType = formType;
      ck->dwDataOffset = static_cast<DWORD>(dataOffset);
      ck->dwFlags = 0;
      h->position = dataOffset + (hasForm ? kFormTypeBytes : 0);
      return 0;
    }

    const uint64_t dataEnd = dataOffset + header.size;
    if (dataEnd > end) break;
    at = dataEnd + (header.size & 1u);
  }
  // The position stays where the search began, so the caller may search again from there.
  return MMIOERR_CHUNKNOTFOUND;
}

extern "C" MMRESULT mmioCreateChunk(HMMIO h, LPMMCKINFO ck, UINT flags) {
  using namespace voxl::mmio;
  if (!IsOpenFile(h) || ck == nullptr) return MMIOERR_INVALIDFILE;
  if (!h->writable) return MMIOERR_CANNOTWRITE;

  const bool form = (flags & (MMIO_CREATERIFF | MMIO_CREATELIST)) != 0;
  if (flags & MMIO_CREATERIFF) {
    ck->ckid = FOURCC_RIFF;
  } else if (flags & MMIO_CREATELIST) {
    ck->ckid = FOURCC_LIST;
  }
  const uint64_t headerBytes = kHeaderBytes + (form ? kFormTypeBytes : 0);
  if (h->position + headerBytes > kMaxPosition) return MMIOERR_CANNOTWRITE;

  unsigned char raw[kHeaderBytes + kFormTypeBytes];
  StoreLe32(raw, ck->ckid);
  StoreLe32(raw + 4, ck->cksize);
  StoreLe32(raw + 8, ck->fccType);
  if (WriteAt(h, h->position, raw, headerBytes) != static_cast<int64_t>(headerBytes)) {
    return MMIOERR_CANNOTWRITE;
  }
  ck->dwDataOffset = static_cast<DWORD>(h->position + kHeaderBytes);
  ck->dwFlags = MMIO_DIRTY;
  h->position += headerBytes;
  return 0;
}

// Leaving a chunk with MMIO_DIRTY (set by mmioCreateChunk, or by a caller that wrote into it):
// the position is its end, so its size is the distance from dwDataOffset to the position.  The
// size field is written when that differs from cksize, which holds what the field says (the
// size given to mmioCreateChunk, or found by mmioDescend); an odd size gets its zero pad byte.
// A caller that wants another size puts the position there first.
extern "C" MMRESULT mmioAscend(HMMIO h, LPMMCKINFO ck, UINT /*flags*/) {
  using namespace voxl::mmio;
  if (!IsOpenFile(h) || ck == nullptr) return MMIOERR_INVALIDFILE;
  const uint64_t dataOffset = ck->dwDataOffset;

  if (!(ck->dwFlags & MMIO_DIRTY)) {
    const uint64_t behind = dataOffset + ck->cksize + (ck->cksize & 1u);
    if (behind > kMaxPosition) return MMIOERR_CANNOTSEEK;
    h->position = behind;
    return 0;
  }

  if (!h->writable) return MMIOERR_CANNOTWRITE;
  if (dataOffset < kHeaderBytes) return MMIOERR_CANNOTWRITE;
  // A position before the data leaves an empty chunk.
  const uint64_t size = h->position > dataOffset ? h->position - dataOffset : 0;
  const uint64_t pad = size & 1u;
  // Refused, not wrapped: nothing is written and the chunk stays dirty.
  if (size > 0xFFFFFFFFu || dataOffset + size + pad > kMaxPosition) return MMIOERR_CANNOTWRITE;

  if (size != ck->cksize) {
    unsigned char raw[4];
    StoreLe32(raw, static_cast<uint32_t>(size));
    if (WriteAt(h, dataOffset - 4, raw, 4) != 4) return MMIOERR_CANNOTWRITE;
    ck->cksize = static_cast<DWORD>(size);
  }
  if (pad != 0) {
    const unsigned char zero = 0;
    if (WriteAt(h, dataOffset + size, &zero, 1) != 1) return MMIOERR_CANNOTWRITE;
  }
  ck->dwFlags &= ~MMIO_DIRTY;
  h->position = dataOffset + size + pad;
  return 0;
}
