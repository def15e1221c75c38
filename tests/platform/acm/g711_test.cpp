#include "platform/acm/g711/g711.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <numeric>
#include <set>

#include "support/peer.h"

namespace voxl {
namespace {

struct Law {
  const char* name;
  std::uint8_t (*encode)(std::int16_t) noexcept;
  std::int16_t (*decode)(std::uint8_t) noexcept;
  void (*encodeBuffer)(const void*, std::size_t, std::uint8_t*) noexcept;
  void (*decodeBuffer)(const std::uint8_t*, std::size_t, void*) noexcept;
  std::uint16_t formatTag;  // WAVE format tag
  const char* soxEncoding;
  int maxMagnitude;  // largest decoded magnitude
};

const Law kALaw{"ALaw", LinearToALaw, ALawToLinear, LinearToALawBuffer, ALawToLinearBuffer,
                6,      "a-law",      32256};
const Law kMuLaw{"MuLaw", LinearToMuLaw, MuLawToLinear, LinearToMuLawBuffer, MuLawToLinearBuffer,
                 7,       "mu-law",      32124};

std::vector<std::int16_t> AllSamples() {
  std::vector<std::int16_t> samples(65536);
  for (int i = 0; i < 65536; ++i) samples[i] = static_cast<std::int16_t>(i - 32768);
  return samples;
}

class G711Law : public test::TempDirTest, public ::testing::WithParamInterface<Law> {};

// Every sample through the buffer forms, aligned into a separate buffer and at an odd address in
// place (device buffers are byte arrays; capture encodes and playback decodes within one buffer):
// each code equals the single-sample form, decoding is monotonic and gives each sample back within
// one quantisation step (after clipping to the outermost level). A step is at most 16 for small
// magnitudes and about 1/16 of the magnitude above.
TEST_P(G711Law, EverySampleThroughAlignedAndSharedBuffers) {
  const Law& law = GetParam();
  const std::vector<std::int16_t> samples = AllSamples();
  const std::size_t n = samples.size();
  for (std::size_t offset : {0, 1}) {
    std::vector<std::uint8_t> bytes(2 * n + 1), separate(n);
    std::uint8_t* data = bytes.data() + offset;
    std::uint8_t* codes = offset == 0 ? separate.data() : data;
    std::memcpy(data, samples.data(), 2 * n);
    law.encodeBuffer(data, n, codes);
    int previous = -32768;
    for (std::size_t i = 0; i < n; ++i) {
      const int x = samples[i], decoded = law.decode(codes[i]);
      ASSERT_EQ(codes[i], law.encode(samples[i])) << x << " at offset " << offset;
      ASSERT_GE(decoded, previous) << x;
      const int step = std::max(16, (std::min(std::abs(x), law.maxMagnitude) + 0x84) / 16);
      ASSERT_LE(std::abs(decoded - std::clamp(x, -law.maxMagnitude, law.maxMagnitude)), step) << x;
      previous = decoded;
    }
    law.decodeBuffer(codes, n, data);
    for (std::size_t i = 0; i < n; ++i) {
      std::int16_t value;
      std::memcpy(&value, data + 2 * i, 2);
      ASSERT_EQ(value, law.decode(law.encode(samples[i]))) << i << " at offset " << offset;
    }
  }
}

// Peers that carry their own G.711 code.  All 256 codes in a WAVE file, expanded to 16 bits by
// libsndfile, decode as ours do.
TEST_P(G711Law, PeersDecodeEveryCodeAndEncodeEverySampleAsWeDo) {
  const Law& law = GetParam();
  std::vector<std::uint8_t> codes(256);
  std::iota(codes.begin(), codes.end(), 0);
  ASSERT_TRUE(test::WriteWaveFile(File("codes.wav"), {law.formatTag, 1, 8000, 8}, codes));
  std::vector<std::int16_t> decoded(256);
  law.decodeBuffer(codes.data(), 256, decoded.data());
  const auto sndfile = test::ReadWithSndfile(File("codes.wav"));
  ASSERT_TRUE(sndfile.has_value());
  EXPECT_EQ(sndfile->samples, decoded);

  // A ramp of all 65536 samples, compressed by sox. Where the two differ, the sample lies within 8
  // of one of our decision points and sox picks the neighbouring level: sox rounds on its way to 13
  // or 14 bits where we truncate, and our A-law negatives carry a bias of 8. (mu-law's two zero
  // codes count as neighbours.) Any other difference is a fault.
  if (!test::HaveProgram("sox")) GTEST_SKIP() << "sox is not installed";
  const std::vector<std::int16_t> samples = AllSamples();
  const std::string ramp = File("ramp.raw"), out = File("ramp.g711");
  ASSERT_TRUE(test::WriteBinaryFile(ramp, samples.data(), samples.size() * 2));
  const auto result = test::RunCommand("sox -D -V1 -t raw -r 8000 -e signed -b 16 -c 1 " +
                                       test::ShellQuote(ramp) + " -t raw -e " + law.soxEncoding +
                                       " -b 8 " + test::ShellQuote(out) + " 2>&1");
  ASSERT_EQ(result.exitCode, 0) << result.output;
  const std::vector<std::uint8_t> theirs = test::ReadBinaryFile(out);
  ASSERT_EQ(theirs.size(), samples.size());
  std::vector<std::uint8_t> ours(samples.size());
  law.encodeBuffer(samples.data(), samples.size(), ours.data());
  // A code's rank among the decoded levels (mu-law's +0 and -0 are one level).
  std::set<int> levels;
  for (int c = 0; c < 256; ++c) levels.insert(law.decode(static_cast<std::uint8_t>(c)));
  auto level = [&](std::uint8_t code) {
    return std::distance(levels.begin(), levels.find(law.decode(code)));
  };
  constexpr std::size_t kNear = 8;
  for (std::size_t i = 0; i < samples.size(); ++i) {
    if (ours[i] == theirs[i]) continue;
    ASSERT_LE(std::abs(level(ours[i]) - level(theirs[i])), 1) << "sample " << samples[i];
    const auto first = ours.begin() + (i < kNear ? 0 : i - kNear);
    const auto last = ours.begin() + std::min(samples.size() - 1, i + kNear) + 1;
    ASSERT_NE(std::find(first, last, theirs[i]), last)
        << "sample " << samples[i] << " is no decision point of ours";
  }
}

INSTANTIATE_TEST_SUITE_P(Laws, G711Law, ::testing::Values(kALaw, kMuLaw),
                         [](const auto& info) { return std::string(info.param.name); });

}  // namespace
}  // namespace voxl
