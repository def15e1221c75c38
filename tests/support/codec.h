// Codecs driven through the codec manager's streams, and compressed WAVE files built from what
// they give, for the codec tests and their peer checks.
#pragma once

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

#include "platform/acm/acm.h"

namespace voxl::test {

// A format record with its extra bytes.
using FormatBytes = std::vector<std::uint8_t>;

inline const WAVEFORMATEX& AsFormat(const FormatBytes& f) {
  return *reinterpret_cast<const WAVEFORMATEX*>(f.data());
}

// A PCM format record (or one of `tag` laid out as PCM: A-law, mu-law, an unknown tag).
inline WAVEFORMATEX Pcm(DWORD rate, WORD channels, WORD bits, WORD tag = WAVE_FORMAT_PCM) {
  const auto align = static_cast<WORD>(channels * bits / 8);
  return WAVEFORMATEX{tag, channels, rate, rate * align, align, bits, 0};
}

// The format of `tag` the codec manager suggests for 16-bit PCM of `rate` and `channels`; empty
// when it has none.
FormatBytes SuggestFormat(WORD tag, DWORD rate, WORD channels);

// Encodes 16-bit samples into `format`, and decodes its bytes back to 16-bit samples, through one
// stream the way a run does: the first call with START|BLOCKALIGN, then BLOCKALIGN with what each
// call left unconsumed moved to the front, pieces of 100 ms, and a last call with END that takes
// the rest.  nullopt when the stream cannot be opened or a call fails.
std::optional<std::vector<std::uint8_t>> Encode(const FormatBytes& format,
                                                const std::vector<std::int16_t>& samples);
std::optional<std::vector<std::int16_t>> Decode(const FormatBytes& format,
                                                const std::vector<std::uint8_t>& bytes);

// Chords with a slow swell, each channel its own phase: what an encoder treats like music.
std::vector<std::int16_t> MusicLike(std::uint32_t rate, std::uint16_t channels, std::size_t frames);

// Signal-to-noise ratio (dB) of `decoded` against `source` (both interleaved) from sample `from`
// on, `decoded` taken at the delay of 0..maxDelay frames that fits channel 0 best; *delay
// receives it.
double SnrDb(const std::vector<std::int16_t>& source, const std::vector<std::int16_t>& decoded,
             std::size_t channels, std::size_t maxDelay = 0, std::size_t from = 0,
             std::size_t* delay = nullptr);

// A RIFF/WAVE file of `format` (with its extra bytes) and a "fact" chunk of `factFrames`.
bool WriteCompressedWave(const std::string& path, const FormatBytes& format,
                         const std::vector<std::uint8_t>& data, std::uint32_t factFrames);

// The "fmt " record and the data chunk of a RIFF/WAVE file written by a peer.
struct ParsedWave {
  FormatBytes format;
  std::vector<std::uint8_t> data;
  std::optional<std::uint32_t> factFrames;
};
std::optional<ParsedWave> ParseWave(const std::string& path);

// 16-bit samples that ffmpeg decodes from `path` (interleaved, native channels and rate).
std::optional<std::vector<std::int16_t>> FfmpegDecode(const std::string& path);

}  // namespace voxl::test
