#include "support/codec.h"

#include <algorithm>
#include <cmath>
#include <cstring>

#include "support/peer.h"
#include "support/tone.h"

namespace voxl::test {
namespace {

void PutU32(std::vector<std::uint8_t>& out, std::uint32_t v) {
  for (int i = 0; i < 4; ++i) out.push_back(static_cast<std::uint8_t>(v >> (8 * i)));
}
void PutChunk(std::vector<std::uint8_t>& out, const char* id, const void* data, std::size_t n) {
  out.insert(out.end(), id, id + 4);
  PutU32(out, static_cast<std::uint32_t>(n));
  const auto* p = static_cast<const std::uint8_t*>(data);
  out.insert(out.end(), p, p + n);
  if (n % 2 != 0) out.push_back(0);
}

// The PCM format the codec manager suggests for `format` (one no stream opens when it has none).
WAVEFORMATEX PcmFor(const FormatBytes& format) {
  WAVEFORMATEX pcm{WAVE_FORMAT_PCM, 0, 0, 0, 0, 0, 0};
  acmFormatSuggest(nullptr, const_cast<WAVEFORMATEX*>(&AsFormat(format)), &pcm, sizeof pcm,
                   ACM_FORMATSUGGESTF_WFORMATTAG);
  return pcm;
}

std::optional<std::vector<std::uint8_t>> Convert(const void* source, const void* dest,
                                                 const std::vector<std::uint8_t>& input,
                                                 std::uint32_t pieceBytes) {
  HACMSTREAM stream = nullptr;
  auto* src = static_cast<WAVEFORMATEX*>(const_cast<void*>(source));
  auto* dst = static_cast<WAVEFORMATEX*>(const_cast<void*>(dest));
  if (acmStreamOpen(&stream, nullptr, src, dst, nullptr, 0, 0, 0) != 0) return std::nullopt;
  DWORD outBytes = 0;
  if (acmStreamSize(stream, pieceBytes, &outBytes, ACM_STREAMSIZEF_SOURCE) != 0 || outBytes == 0) {
    acmStreamClose(stream, 0);
    return std::nullopt;
  }
  std::vector<std::uint8_t> in(pieceBytes), out(outBytes);
  ACMSTREAMHEADER h{};
  h.cbStruct = sizeof h, h.pbSrc = in.data(), h.cbSrcLength = pieceBytes;
  h.pbDst = out.data(), h.cbDstLength = outBytes;
  std::vector<std::uint8_t> result;
  bool ok = acmStreamPrepareHeader(stream, &h, 0) == 0;
  std::size_t next = 0;
  std::uint32_t held = 0;
  DWORD flags = ACM_STREAMCONVERTF_START | ACM_STREAMCONVERTF_BLOCKALIGN;
  for (bool last = false; ok && !last;) {
    const std::size_t take = std::min<std::size_t>(pieceBytes - held, input.size() - next);
    std::memcpy(in.data() + held, input.data() + next, take);
    next += take;
    last = next == input.size();
    h.cbSrcLength = held + static_cast<std::uint32_t>(take);
    h.cbDstLength = outBytes;
    ok = acmStreamConvert(stream, &h, last ? flags | ACM_STREAMCONVERTF_END : flags) == 0;
    // Before the end, no call gives more than the stream's size for its source promised.
    DWORD bound = 0;
    if (ok && !last && h.cbDstLengthUsed > 0) {
      ok = acmStreamSize(stream, h.cbSrcLength, &bound, ACM_STREAMSIZEF_SOURCE) == 0 &&
           h.cbDstLengthUsed <= bound;
    }
    result.insert(result.end(), out.begin(), out.begin() + h.cbDstLengthUsed);
    held = h.cbSrcLength - h.cbSrcLengthUsed;
    std::memmove(in.data(), in.data() + h.cbSrcLengthUsed, held);
    flags = ACM_STREAMCONVERTF_BLOCKALIGN;
    // The END call may leave output behind when the destination was too small: ask again.
    while (ok && last && (held > 0 || h.cbDstLengthUsed == outBytes)) {
      h.cbSrcLength = held;
      ok = acmStreamConvert(stream, &h, ACM_STREAMCONVERTF_END) == 0;
      if (h.cbDstLengthUsed == 0 && h.cbSrcLengthUsed == 0) break;
      result.insert(result.end(), out.begin(), out.begin() + h.cbDstLengthUsed);
      held -= h.cbSrcLengthUsed;
      std::memmove(in.data(), in.data() + h.cbSrcLengthUsed, held);
    }
  }
  acmStreamUnprepareHeader(stream, &h, 0);
  acmStreamClose(stream, 0);
  if (!ok) return std::nullopt;
  return result;
}

}  // namespace

FormatBytes SuggestFormat(WORD tag, DWORD rate, WORD channels) {
  WAVEFORMATEX pcm = Pcm(rate, channels, 16);
  FormatBytes format(100);
  auto* out = reinterpret_cast<WAVEFORMATEX*>(format.data());
  out->wFormatTag = tag;
  if (acmFormatSuggest(nullptr, &pcm, out, 100, ACM_FORMATSUGGESTF_WFORMATTAG) != 0) return {};
  format.resize(sizeof(WAVEFORMATEX) + out->cbSize);
  return format;
}

std::vector<std::int16_t> MusicLike(std::uint32_t rate, std::uint16_t channels,
                                    std::size_t frames) {
  std::vector<std::int16_t> s(frames * channels);
  for (std::size_t i = 0; i < frames; ++i) {
    const double t = static_cast<double>(i) / rate;
    for (std::size_t c = 0; c < channels; ++c) {
      double v = 0;
      for (double hz : {220.0, 277.2, 329.6, 440.0, 659.3}) v += std::sin(2 * M_PI * hz * t + c);
      s[i * channels + c] = static_cast<std::int16_t>(v * 2500 * (0.6 + 0.4 * std::sin(9 * t)));
    }
  }
  return s;
}

double SnrDb(const std::vector<std::int16_t>& in, const std::vector<std::int16_t>& out,
             std::size_t channels, std::size_t maxDelay, std::size_t from, std::size_t* delay) {
  std::size_t best = 0;
  double least = 1e300;
  for (std::size_t d = 0; d <= maxDelay; ++d) {
    double e = 0, n = 0;
    for (std::size_t i = 1000;
         i < 3000 && i * channels < in.size() && (i + d) * channels < out.size(); ++i, ++n) {
      e += std::pow(double(in[i * channels]) - out[(i + d) * channels], 2);
    }
    if (n > 500 && e / n < least) least = e / n, best = d;
  }
  double signal = 0, noise = 0;
  for (std::size_t i = from; i < in.size() && i + best * channels < out.size(); ++i) {
    signal += double(in[i]) * in[i];
    noise += std::pow(double(in[i]) - out[i + best * channels], 2);
  }
  if (delay != nullptr) *delay = best;
  return 10 * std::log10(signal / std::max(noise, 1.0));
}

std::optional<std::vector<std::uint8_t>> Encode(const FormatBytes& format,
                                                const std::vector<std::int16_t>& samples) {
  const WAVEFORMATEX pcm = PcmFor(format);
  std::vector<std::uint8_t> bytes(samples.size() * 2);
  std::memcpy(bytes.data(), samples.data(), bytes.size());
  return Convert(&pcm, format.data(), bytes,
                 pcm.nAvgBytesPerSec / 10 / pcm.nBlockAlign * pcm.nBlockAlign);
}

std::optional<std::vector<std::int16_t>> Decode(const FormatBytes& format,
                                                const std::vector<std::uint8_t>& bytes) {
  const WAVEFORMATEX pcm = PcmFor(format);
  const std::uint32_t align = std::max<std::uint32_t>(AsFormat(format).nBlockAlign, 1);
  const std::uint32_t piece =
      std::max<std::uint32_t>(AsFormat(format).nAvgBytesPerSec / 10 / align, 1) * align;
  auto out = Convert(format.data(), &pcm, bytes, piece);
  if (!out) return std::nullopt;
  return SamplesFromBytes(*out);
}

bool WriteCompressedWave(const std::string& path, const FormatBytes& format,
                         const std::vector<std::uint8_t>& data, std::uint32_t factFrames) {
  std::vector<std::uint8_t> body{'W', 'A', 'V', 'E'};
  PutChunk(body, "fmt ", format.data(), format.size());
  PutChunk(body, "fact", &factFrames, 4);  // little-endian, as the machine stores it
  PutChunk(body, "data", data.data(), data.size());
  std::vector<std::uint8_t> file{'R', 'I', 'F', 'F'};
  PutU32(file, static_cast<std::uint32_t>(body.size()));
  file.insert(file.end(), body.begin(), body.end());
  return WriteBinaryFile(path, file.data(), file.size());
}

std::optional<ParsedWave> ParseWave(const std::string& path) {
  const std::vector<std::uint8_t> f = ReadBinaryFile(path);
  if (f.size() < 12 || std::memcmp(f.data(), "RIFF", 4) != 0) return std::nullopt;
  ParsedWave w;
  for (std::size_t p = 12; p + 8 <= f.size();) {
    const std::uint32_t n = U32At(f, p + 4);
    const std::size_t end = std::min<std::size_t>(f.size(), p + 8 + n);
    if (std::memcmp(&f[p], "fmt ", 4) == 0) w.format.assign(f.begin() + p + 8, f.begin() + end);
    if (std::memcmp(&f[p], "fact", 4) == 0 && n >= 4) w.factFrames = U32At(f, p + 8);
    if (std::memcmp(&f[p], "data", 4) == 0) w.data.assign(f.begin() + p + 8, f.begin() + end);
    p += 8 + n + (n % 2);
  }
  if (w.format.size() < 16) return std::nullopt;
  return w;
}

std::optional<std::vector<std::int16_t>> FfmpegDecode(const std::string& path) {
  const std::string out = path + ".ffmpeg.raw";
  const CommandResult r = RunCommand("ffmpeg -nostdin -v error -y -i " + ShellQuote(path) +
                                     " -f s16le -acodec pcm_s16le " + ShellQuote(out));
  if (r.exitCode != 0) return std::nullopt;
  return SamplesFromBytes(ReadBinaryFile(out));
}

}  // namespace voxl::test
