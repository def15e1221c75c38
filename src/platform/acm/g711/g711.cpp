// Table-driven G.711 buffer conversions for the capture and playback paths.
//
// The tables are filled at compile time: decoding has one entry per code byte, taken from the
// defining functions in g711.h; encoding has one entry per 16-bit sample (64 KiB per law, indexed
// by the sample's bit pattern), computed by the equivalent bit-length forms below. The tests hold
// every entry against the defining functions.
#include "platform/acm/g711/g711.h"

#include <cstring>

namespace voxl {
namespace {

// Plain arrays rather than std::array: each element access in a constant evaluation then costs no
// function call, which matters for the 65536-entry build.
struct EncodeTable {
  std::uint8_t code[65536];
};
struct DecodeTable {
  std::int16_t sample[256];
};

// Number of significant bits of v (0 <= v < 2^31); 1 for v = 0, which lands in segment 0 all the
// same.
constexpr int BitLength(int v) {
  return 32 - __builtin_clz(static_cast<unsigned>(v) | 1u);
}

// Encoders for the table build. They take the segment from the bit length of the magnitude in one
// step instead of searching the segment ends (segment s holds magnitudes of 8 + s bits, segment 0
// also the shorter ones), which keeps the compile-time build of 65536 entries within the
// compilers' evaluation limits. Same results as LinearToALaw and LinearToMuLaw.
constexpr std::uint8_t ALawByBitLength(int sample) {
  const int mask = sample >= 0 ? 0xD5 : 0x55;
  int v = sample >= 0 ? sample : -sample - 8;
  v = v < 0 ? 0 : v;
  int s = BitLength(v) - 8;
  s = s < 0 ? 0 : s;
  return static_cast<std::uint8_t>(((s << 4) | ((v >> (s < 2 ? 4 : s + 3)) & 0xF)) ^ mask);
}

constexpr std::uint8_t MuLawByBitLength(int sample) {
  const int mask = sample >= 0 ? 0xFF : 0x7F;
  const int v = (sample >= 0 ? sample : -sample) + 0x84;
  const int s = BitLength(v) - 8;
  if (s >= 8) return static_cast<std::uint8_t>(0x7F ^ mask);
  return static_cast<std::uint8_t>(((s << 4) | ((v >> (s + 3)) & 0xF)) ^ mask);
}

template <std::uint8_t (*Encode)(int)>
constexpr EncodeTable MakeEncodeTable() {
  EncodeTable table;  // every entry is written below
  for (int x = -32768; x < 32768; ++x) table.code[static_cast<std::uint16_t>(x)] = Encode(x);
  return table;
}

template <std::int16_t (*Decode)(std::uint8_t) noexcept>
constexpr DecodeTable MakeDecodeTable() {
  DecodeTable table;  // every entry is written below
  for (int i = 0; i < 256; ++i) table.sample[i] = Decode(static_cast<std::uint8_t>(i));
  return table;
}

constexpr EncodeTable kALawEncode = MakeEncodeTable<ALawByBitLength>();
constexpr EncodeTable kMuLawEncode = MakeEncodeTable<MuLawByBitLength>();
constexpr DecodeTable kALawDecode = MakeDecodeTable<ALawToLinear>();
constexpr DecodeTable kMuLawDecode = MakeDecodeTable<MuLawToLinear>();

// The listed reference values, checked by the compiler.
static_assert(kALawEncode.code[0] == 0xD5 && kMuLawEncode.code[0] == 0xFF &&
              kMuLawEncode.code[0x8000] == 0x00);
static_assert(kALawDecode.sample[0xD5] == 8 && kMuLawDecode.sample[0xFF] == 0);

// Forward pass: sample i is loaded (bytes 2i, 2i+1) before code i is stored at byte i <= 2i, so
// encoding in place never overwrites a sample that is still to be read.
void EncodeBuffer(const EncodeTable& table, const void* samples, std::size_t count,
                  std::uint8_t* codes) noexcept {
  const auto* in = static_cast<const unsigned char*>(samples);
  for (std::size_t i = 0; i < count; ++i) {
    std::uint16_t bits;
    std::memcpy(&bits, in + 2 * i, sizeof bits);
    codes[i] = table.code[bits];
  }
}

// Backward pass: code i is loaded before sample i is stored at bytes 2i, 2i+1 >= i, and the codes
// there (indices 2i and 2i+1, both >= i) have already been used, so decoding in place is safe.
void DecodeBuffer(const DecodeTable& table, const std::uint8_t* codes, std::size_t count,
                  void* samples) noexcept {
  auto* out = static_cast<unsigned char*>(samples);
  for (std::size_t i = count; i-- > 0;) {
    const std::int16_t value = table.sample[codes[i]];
    std::memcpy(out + 2 * i, &value, sizeof value);
  }
}

}  // namespace

void LinearToALawBuffer(const void* samples, std::size_t count, std::uint8_t* codes) noexcept {
  EncodeBuffer(kALawEncode, samples, count, codes);
}

void LinearToMuLawBuffer(const void* samples, std::size_t count, std::uint8_t* codes) noexcept {
  EncodeBuffer(kMuLawEncode, samples, count, codes);
}

void ALawToLinearBuffer(const std::uint8_t* codes, std::size_t count, void* samples) noexcept {
  DecodeBuffer(kALawDecode, codes, count, samples);
}

void MuLawToLinearBuffer(const std::uint8_t* codes, std::size_t count, void* samples) noexcept {
  DecodeBuffer(kMuLawDecode, codes, count, samples);
}

}  // namespace voxl
