// The splice record beside a recording during an insert-mode run.
#include "wavefile/splice_record.h"

#include <cctype>
#include <cstdio>
#include <cstring>
#include <string>

#include "platform/system/system.h"
#include "wavefile/riff_io.h"

namespace voxl {
namespace {

constexpr char kMagic[] = "voxl splice\n";
constexpr size_t kMagicBytes = sizeof kMagic - 1;
constexpr size_t kLengthDigits = 20;
// Bytes read of a record: its head and the longest name a splice file has.
constexpr size_t kMaxRecordBytes = kMagicBytes + kLengthDigits + 1 + 4096;

std::string RecordName(const char* recording) {
  return std::string(recording) + ".voxl-splice";
}

// The last part of a path, split at '/'.
const char* BaseName(const char* path) {
  const char* slash = std::strrchr(path, '/');
  return slash != nullptr ? slash + 1 : path;
}

// Whether `path` names a file the way GetTempFileNameA names splice files: "VOX", four hex
// digits, ".tmp".
bool IsSpliceFileName(const std::string& path) {
  const char* base = BaseName(path.c_str());
  if (std::strlen(base) != 11 || std::strncmp(base, "VOX", 3) != 0 ||
      std::strcmp(base + 7, ".tmp") != 0) {
    return false;
  }
  for (int i = 3; i < 7; ++i) {
    if (!std::isxdigit(static_cast<unsigned char>(base[i]))) return false;
  }
  return true;
}

}  // namespace

bool WriteSpliceRecord(const char* recording, const char* spliceFile, uint64_t lengthBefore) {
  std::string name = RecordName(recording);
  char digits[kLengthDigits + 2];
  std::snprintf(digits, sizeof digits, "%020llu\n", static_cast<unsigned long long>(lengthBefore));
  const std::string text = std::string(kMagic) + digits + spliceFile + "\n";
  HMMIO h = mmioOpenA(name.data(), nullptr, MMIO_CREATE | MMIO_READWRITE);
  if (h == nullptr) return false;
  const bool written = WriteAll(h, text.data(), static_cast<uint32_t>(text.size()));
  mmioClose(h, 0);
  if (!written) DeleteFileA(name.c_str());
  return written;
}

void ForgetLengthBefore(const char* recording) {
  std::string name = RecordName(recording);
  HMMIO h = mmioOpenA(name.data(), nullptr, MMIO_READWRITE);
  if (h == nullptr) return;
  const std::string dashes(kLengthDigits, '-');
  if (SeekTo(h, kMagicBytes)) WriteAll(h, dashes.data(), kLengthDigits);
  mmioClose(h, 0);
}

void RemoveSpliceRecord(const char* recording) {
  DeleteFileA(RecordName(recording).c_str());
}

void RemoveLeftoverSplice(HMMIO file, const char* recording) {
  std::string name = RecordName(recording);
  HMMIO h = mmioOpenA(name.data(), nullptr, MMIO_READ);
  if (h == nullptr) return;
  std::string text(kMaxRecordBytes, '\0');
  const LONG got = mmioRead(h, text.data(), static_cast<LONG>(text.size()));
  mmioClose(h, 0);
  text.resize(got > 0 ? static_cast<size_t>(got) : 0);

  const size_t nameStart = kMagicBytes + kLengthDigits + 1;
  const size_t nameEnd = text.find('\n', nameStart);
  if (text.compare(0, kMagicBytes, kMagic) == 0 && nameEnd != std::string::npos) {
    const std::string splice = text.substr(nameStart, nameEnd - nameStart);
    if (IsSpliceFileName(splice)) DeleteFileA(splice.c_str());
    const std::string length = text.substr(kMagicBytes, kLengthDigits);
    if (length.find_first_not_of("0123456789") == std::string::npos) {
      const unsigned long long before = std::stoull(length);
      if (before <= kMaxRiffOffset) mmio::Truncate(file, static_cast<DWORD>(before));
    }
  }
  DeleteFileA(name.c_str());
}

}  // namespace voxl
