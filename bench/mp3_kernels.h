// The in-process peers of the MPEG Layer-3 benchmarks that time the recorder inside the
// benchmark's process (capture, playback, the codec manager's streams): the same job done by
// calling libmp3lame or libmpg123 directly, file to file, in the same process and timed with the
// same clock (process CPU time), so that both sides are in-process work.  The whole-process race,
// `voxl convert` against the lame and mpg123 programs, is convert_bench.cpp.
#pragma once

#include <fcntl.h>
#include <lame/lame.h>
#include <mpg123.h>
#include <unistd.h>

#include <cstdint>
#include <cstring>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

#include "bench_support.h"

namespace voxl::bench {

// libmp3lame as the lame program runs it with --cbr -b KBPS -q 3 -m j --noreplaygain: the PCM of
// a 16-bit stereo WAVE file with a 44-byte header, encoded into `mp3`.  Process CPU seconds;
// negative on failure.
inline double LameInProcess(const std::string& wave, const std::string& mp3, int kbps) {
  const double start = Now(CLOCK_PROCESS_CPUTIME_ID);
  std::ifstream in(wave, std::ios::binary);
  const std::vector<char> bytes((std::istreambuf_iterator<char>(in)),
                                std::istreambuf_iterator<char>());
  if (bytes.size() < 44) return -1;
  uint32_t rate = 0;
  std::memcpy(&rate, bytes.data() + 24, 4);
  lame_global_flags* gf = lame_init();
  lame_set_num_channels(gf, 2);
  lame_set_in_samplerate(gf, static_cast<int>(rate));
  lame_set_VBR(gf, vbr_off);
  lame_set_brate(gf, kbps);
  lame_set_quality(gf, 3);
  lame_set_mode(gf, JOINT_STEREO);
  lame_set_findReplayGain(gf, 0);
  lame_set_bWriteVbrTag(gf, 0);
  const int fd = ::open(mp3.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0 && lame_init_params(gf) == 0;
  const int kFrames = 1152 * 16;
  std::vector<unsigned char> out(kFrames * 5 / 4 + 7200);
  const auto* pcm = reinterpret_cast<const short*>(bytes.data() + 44);
  const size_t frames = (bytes.size() - 44) / 4;
  for (size_t at = 0; ok && at < frames; at += kFrames) {
    const int n = static_cast<int>(std::min<size_t>(kFrames, frames - at));
    const int got = lame_encode_buffer_interleaved(gf, const_cast<short*>(pcm + 2 * at), n,
                                                   out.data(), static_cast<int>(out.size()));
    ok = got >= 0 && ::write(fd, out.data(), static_cast<size_t>(got)) == got;
  }
  const int last = ok ? lame_encode_flush(gf, out.data(), static_cast<int>(out.size())) : -1;
  ok = ok && last >= 0 && ::write(fd, out.data(), static_cast<size_t>(last)) == last;
  lame_close(gf);
  if (fd >= 0) ::close(fd);
  return ok ? Now(CLOCK_PROCESS_CPUTIME_ID) - start : -1;
}

// libmpg123 as mpg123 -w runs it: the stream decoded into a 16-bit PCM WAVE file (its sizes
// written at the end).  Process CPU seconds, negative on failure; *pcmBytes the PCM written.
inline double Mpg123InProcess(const std::string& stream, const std::string& wave,
                              uint64_t* pcmBytes) {
  const double start = Now(CLOCK_PROCESS_CPUTIME_ID);
  static const bool ready = mpg123_init() == MPG123_OK;
  mpg123_handle* mh = ready ? mpg123_new(nullptr, nullptr) : nullptr;
  if (mh == nullptr) return -1;
  mpg123_param(mh, MPG123_ADD_FLAGS, MPG123_QUIET, 0);
  long rate = 0;
  int channels = 0, encoding = 0;
  const int fd = ::open(wave.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
  bool ok = fd >= 0 && mpg123_open(mh, stream.c_str()) == MPG123_OK &&
            mpg123_getformat(mh, &rate, &channels, &encoding) == MPG123_OK;
  std::string header(44, '\0');
  ok = ok && ::write(fd, header.data(), header.size()) == 44;
  std::vector<unsigned char> buffer(1 << 16);
  uint64_t written = 0;
  for (int result = MPG123_OK; ok && result != MPG123_DONE;) {
    size_t done = 0;
    result = mpg123_read(mh, buffer.data(), buffer.size(), &done);
    ok = (result == MPG123_OK || result == MPG123_DONE || result == MPG123_NEW_FORMAT) &&
         ::write(fd, buffer.data(), done) == static_cast<ssize_t>(done);
    written += done;
  }
  header = "RIFF";
  PutU32(header, static_cast<uint32_t>(36 + written));
  header += "WAVEfmt ";
  PutU32(header, 16);
  header += std::string("\x01\x00", 2) + static_cast<char>(channels) + '\0';
  PutU32(header, static_cast<uint32_t>(rate));
  PutU32(header, static_cast<uint32_t>(rate * channels * 2));
  header += static_cast<char>(channels * 2);
  header += std::string("\x00\x10\x00", 3) + "data";
  PutU32(header, static_cast<uint32_t>(written));
  ok = ok && ::pwrite(fd, header.data(), header.size(), 0) == 44;
  mpg123_close(mh);
  mpg123_delete(mh);
  if (fd >= 0) ::close(fd);
  *pcmBytes = written;
  return ok ? Now(CLOCK_PROCESS_CPUTIME_ID) - start : -1;
}

}  // namespace voxl::bench
