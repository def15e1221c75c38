// The codec libraries (libmp3lame, libmpg123, libgsm) are loaded when a codec of theirs is first
// used, not with the recorder: most commands never encode or decode, and loading and relocating
// the three libraries at every start costs more than a short command's own work.
//
// Each accessor loads its library at the first call (thread-safe) and keeps it for the life of
// the process.  Null when the library cannot be loaded or lacks a function: that codec's streams
// cannot be opened, and the reason is written once to the standard error.
#pragma once

#include <gsm.h>
#include <lame/lame.h>
#include <mpg123.h>

namespace voxl::acm {

// clang-format off
#define VOXL_LAME_FUNCTIONS(X)                                                                    \
  X(get_lame_short_version) X(lame_init) X(lame_close) X(lame_set_num_channels)                   \
  X(lame_set_in_samplerate) X(lame_set_out_samplerate) X(lame_set_VBR) X(lame_set_brate)          \
  X(lame_set_mode) X(lame_set_bWriteVbrTag) X(lame_set_write_id3tag_automatic)                    \
  X(lame_init_params) X(lame_get_brate) X(lame_get_out_samplerate) X(lame_get_encoder_delay)      \
  X(lame_encode_buffer) X(lame_encode_buffer_interleaved) X(lame_encode_flush)
#define VOXL_MPG123_FUNCTIONS(X)                                                                  \
  X(mpg123_init) X(mpg123_new) X(mpg123_delete) X(mpg123_param) X(mpg123_format_none)             \
  X(mpg123_format) X(mpg123_open_feed) X(mpg123_feed) X(mpg123_read)
#define VOXL_GSM_FUNCTIONS(X)                                                                     \
  X(gsm_create) X(gsm_destroy) X(gsm_option) X(gsm_encode) X(gsm_decode)
// clang-format on

#define VOXL_CODEC_SLOT(name) decltype(&::name) name = nullptr;
struct LameLibrary {
  VOXL_LAME_FUNCTIONS(VOXL_CODEC_SLOT)
};
struct Mpg123Library {
  VOXL_MPG123_FUNCTIONS(VOXL_CODEC_SLOT)
};
struct GsmLibrary {
  VOXL_GSM_FUNCTIONS(VOXL_CODEC_SLOT)
};
#undef VOXL_CODEC_SLOT

const LameLibrary* Lame();      // MPEG Layer-3 encoding
const Mpg123Library* Mpg123();  // MPEG Layer-3 decoding
const GsmLibrary* Gsm();        // GSM 6.10

}  // namespace voxl::acm
