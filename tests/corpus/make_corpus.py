#!/usr/bin/env python3
"""Writes the corpus of bad and unusual sound files into OUTDIR, with OUTDIR/manifest.txt.

Usage: make_corpus.py OUTDIR

Files are grouped in folders by what is wrong with them.  Each manifest line says how the file
is opened and what must come of it:

    NAME  KIND  CAPTURE  EXPECT

KIND is the recorder's file kind (0 RIFF/WAVE, 1 headerless, 2 MPEG audio, -N headerless after
N bytes).  CAPTURE is "-" or the capture format of a headerless file as SAMPLEFORMAT,RATE,CHANNELS
(sample format 8, 16, 106 A-law, 107 mu-law).  EXPECT is one of
    err=N        the open fails with error N
    len=N        it opens with a length of N frames
    len~N        it opens with N frames, give or take one (MPEG: a length from bytes per second)
    any=C,..<=N  either outcome is sound: an error among C (0 = opens), and when it opens, at
                 most N frames (never more than the bytes present hold)
Lines starting with '#' are comments.
"""
import os
import struct
import sys

out_dir = sys.argv[1] if len(sys.argv) > 1 else "corpus"
manifest = []


def emit(name, data, expect, kind=0, capture="-", note=""):
    path = os.path.join(out_dir, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    line = f"{name}\t{kind}\t{capture}\t{expect}"
    manifest.append(line + (f"\t# {note}" if note else ""))


# ---- RIFF building blocks ----------------------------------------------------------------------


def chunk(cid, payload, size=None, pad=True):
    size = len(payload) if size is None else size
    body = cid + struct.pack("<I", size) + payload
    if pad and len(payload) % 2:
        body += b"\0"
    return body


def fmt(tag=1, ch=2, rate=44100, bits=16, align=None, avg=None, cb=0, extra=b"", short=None):
    align = ch * bits // 8 if align is None else align
    avg = rate * align if avg is None else avg
    body = struct.pack("<HHIIHH", tag, ch, rate, avg, align, bits)
    if cb is not None:
        body += struct.pack("<H", cb) + extra
    return body if short is None else body[:short]


def riff(*chunks, size=None, form=b"WAVE", cid=b"RIFF"):
    body = form + b"".join(chunks)
    return cid + struct.pack("<I", len(body) if size is None else size) + body


def pattern(n, seed=7):
    # Sample bytes without 0xFF, so no MPEG sync can hide in them.
    return bytes((i * seed + 3) % 251 for i in range(n))


DATA = pattern(4000)  # 1000 frames of 16-bit stereo
FMT = chunk(b"fmt ", fmt())
REF = riff(FMT, chunk(b"data", DATA))  # 12 + 26 + 8 + 4000 bytes
LIST = chunk(b"LIST", b"INFOINAM" + struct.pack("<I", 6) + b"take1\0")
CUE = chunk(b"cue ", struct.pack("<I", 1) + struct.pack("<II4sIII", 1, 0, b"data", 0, 0, 500))

# ---- Very short files: every prefix of a good file up to its form type ------------------------
for n in range(13):
    emit(f"short/prefix_{n:02d}.wav", REF[:n], "err=4")
emit("short/empty_raw.pcm", b"", "len=0", kind=1, capture="16,44100,2")
emit("short/three_bytes_raw.pcm", b"\1\2\3", "len=0", kind=1, capture="16,44100,2")
emit("short/empty_mpeg.mp3", b"", "err=5", kind=2)
emit("short/three_bytes_mpeg.mp3", b"\xff\xfb\x90", "err=5", kind=2)

# ---- Truncated at each structural boundary (and inside the data) -----------------------------
for n, expect, what in [
    (16, "err=4", "after the fmt id"),
    (20, "err=4", "after the fmt size"),
    (30, "err=4", "inside the fmt content"),
    (38, "err=4", "after the fmt chunk"),
    (42, "err=4", "after the data id"),
    (46, "len=0", "after the data size: 4000 bytes declared, none there"),
    (46 + 2001, "len=500", "inside the data"),
    (len(REF) - 1, "len=999", "one byte short"),
]:
    emit(f"truncated/at_{n:04d}.wav", REF[:n], expect, note=what)
LISTED = riff(FMT, LIST, chunk(b"data", DATA))
emit("truncated/inside_list.wav", LISTED[: 38 + 10], "err=4", note="the LIST runs past the end")

# ---- Zero and huge chunk sizes -----------------------------------------------------------------
emit("sizes/riff_size_0.wav", riff(FMT, chunk(b"data", DATA), size=0), "err=4")
emit("sizes/riff_size_4.wav", riff(FMT, chunk(b"data", DATA), size=4), "err=4")
emit("sizes/riff_size_huge.wav", riff(FMT, chunk(b"data", DATA), size=0xFFFFFFFF), "len=1000",
     note="a form size past the end, as streaming writers leave it")
emit("sizes/riff_size_short_of_data.wav", riff(FMT, chunk(b"data", DATA), size=4 + 26), "err=4",
     note="the form ends before the data chunk")
emit("sizes/fmt_size_0.wav", riff(chunk(b"fmt ", b""), chunk(b"data", DATA)), "err=4")
emit("sizes/fmt_size_huge.wav",
     riff(chunk(b"fmt ", fmt(), size=0xFFFFFFF0), chunk(b"data", DATA)), "err=4",
     note="must not allocate the declared size")
emit("sizes/data_size_0.wav", riff(FMT, chunk(b"data", b"")), "len=0")
emit("sizes/data_size_huge.wav", riff(FMT, chunk(b"data", DATA, size=0xFFFFFFFF)), "len=1000")
emit("sizes/data_size_past_end.wav", riff(FMT, chunk(b"data", DATA, size=4004)), "len=1000")
emit("sizes/list_size_0.wav", riff(FMT, chunk(b"LIST", b""), chunk(b"data", DATA)), "len=1000")
emit("sizes/list_size_huge.wav",
     riff(FMT, chunk(b"LIST", b"INFO", size=0x7FFFFFFF), chunk(b"data", DATA)), "err=4",
     note="the data lies inside what the LIST claims")
emit("sizes/fact_size_0.wav", riff(FMT, chunk(b"fact", b""), chunk(b"data", DATA)),
     "len=1000", note="the count read would be the data id")
emit("sizes/fact_count_huge.wav",
     riff(FMT, chunk(b"fact", struct.pack("<I", 0xFFFFFFFF)), chunk(b"data", DATA)),
     "len=1000", note="a count larger than the data holds")
emit("sizes/fact_count_one_more.wav",
     riff(FMT, chunk(b"fact", struct.pack("<I", 1001)), chunk(b"data", DATA)), "len=1000")
emit("sizes/fact_count_smaller.wav",
     riff(FMT, chunk(b"fact", struct.pack("<I", 700)), chunk(b"data", DATA)), "len=700",
     note="the count says how much of the data is audio")
emit("sizes/fact_short.wav", riff(FMT, chunk(b"fact", b"\1\2")), "err=4",
     note="two bytes of count and the end of the file")

# ---- Odd chunk sizes, with and without their pad byte ------------------------------------------
ODD_LIST = b"LIST" + struct.pack("<I", 5) + b"INFOx"
emit("odd/list_5_padded.wav", riff(FMT, ODD_LIST + b"\0", chunk(b"data", DATA)), "len=1000")
emit("odd/list_5_unpadded.wav", riff(FMT, ODD_LIST, chunk(b"data", DATA)), "any=0,4<=1000")
emit("odd/fmt_17_padded.wav", riff(chunk(b"fmt ", fmt(cb=None) + b"\0"), chunk(b"data", DATA)),
     "len=1000")
emit("odd/fmt_17_unpadded.wav",
     riff(chunk(b"fmt ", fmt(cb=None) + b"\0", pad=False), chunk(b"data", DATA)),
     "any=0,4<=1000")
MONO8 = chunk(b"fmt ", fmt(ch=1, rate=8000, bits=8))
emit("odd/data_1001_padded_then_list.wav", riff(MONO8, chunk(b"data", pattern(1001)), LIST),
     "len=1001")
emit("odd/data_1001_unpadded_at_end.wav", riff(MONO8, chunk(b"data", pattern(1001), pad=False)),
     "len=1001")
emit("odd/data_not_whole_frames.wav", riff(FMT, chunk(b"data", pattern(4003))), "len=1000")
emit("odd/fact_5_padded.wav",
     riff(FMT, chunk(b"fact", struct.pack("<I", 900) + b"x"), chunk(b"data", DATA)), "len=900")

# ---- Chunks in unusual order --------------------------------------------------------------------
emit("order/fact_before_fmt.wav",
     riff(chunk(b"fact", struct.pack("<I", 7)), FMT, chunk(b"data", DATA)), "len=1000",
     note="a count before the format is not looked at")
emit("order/list_and_cue_before_data.wav", riff(FMT, LIST, CUE, chunk(b"data", DATA)), "len=1000")
emit("order/junk_before_fmt.wav", riff(chunk(b"JUNK", bytes(28)), LIST, FMT, chunk(b"data", DATA)),
     "len=1000")
emit("order/list_between_fmt_and_fact.wav",
     riff(FMT, LIST, chunk(b"fact", struct.pack("<I", 600)), CUE, chunk(b"data", DATA)), "len=600")
emit("order/data_before_fmt.wav", riff(chunk(b"data", DATA), FMT), "err=4")
emit("order/fact_after_data.wav",
     riff(FMT, chunk(b"data", DATA), chunk(b"fact", struct.pack("<I", 600))), "any=0,4<=1000",
     note="the data search starts behind the fact chunk")
emit("order/two_data_chunks.wav",
     riff(FMT, chunk(b"data", DATA), chunk(b"data", pattern(400))), "len=1000")
emit("order/avi_form_then_wave_form.wav",
     riff(chunk(b"strh", bytes(8)), form=b"AVI ") + REF, "len=1000")
emit("order/data_chunk_inside_list.wav", riff(FMT, chunk(b"LIST", b"wavl" + chunk(b"data", DATA))),
     "err=4")

# ---- Missing chunks and foreign forms -----------------------------------------------------------
emit("missing/no_fmt.wav", riff(chunk(b"data", DATA)), "err=4")
emit("missing/no_data.wav", riff(FMT, LIST), "err=4")
emit("missing/nothing_inside.wav", riff(), "err=4")
emit("missing/form_avi.wav", riff(FMT, chunk(b"data", DATA), form=b"AVI "), "err=4")
emit("missing/rifx_big_endian.wav", riff(FMT, chunk(b"data", DATA), cid=b"RIFX"), "err=4")
emit("missing/raw_samples_as_wave.wav", DATA, "err=4")

# ---- "fmt " too short, too long, and zero fields -----------------------------------------------
emit("fmt/length_14.wav", riff(chunk(b"fmt ", fmt(short=14)), chunk(b"data", DATA)),
     "err=4", note="the old record without wBitsPerSample")
emit("fmt/length_2.wav", riff(chunk(b"fmt ", fmt(short=2)), chunk(b"data", DATA)), "err=4")
emit("fmt/length_16.wav", riff(chunk(b"fmt ", fmt(cb=None)), chunk(b"data", DATA)), "len=1000")
emit("fmt/length_40_extra_bytes.wav",
     riff(chunk(b"fmt ", fmt(cb=22, extra=bytes(range(22)))), chunk(b"data", DATA)), "len=1000")
emit("fmt/length_1000.wav", riff(chunk(b"fmt ", fmt() + bytes(982)), chunk(b"data", DATA)),
     "len=1000")
emit("fmt/channels_0.wav", riff(chunk(b"fmt ", fmt(ch=0, align=4)), chunk(b"data", DATA)), "err=4")
emit("fmt/rate_0.wav", riff(chunk(b"fmt ", fmt(rate=0)), chunk(b"data", DATA)), "err=5")
emit("fmt/rate_12000.wav", riff(chunk(b"fmt ", fmt(rate=12000)), chunk(b"data", DATA)), "err=5")
emit("fmt/block_align_0.wav", riff(chunk(b"fmt ", fmt(align=0)), chunk(b"data", DATA)),
     "err=4", note="no frame size: no length can be derived")
emit("fmt/bytes_per_second_0.wav", riff(chunk(b"fmt ", fmt(avg=0)), chunk(b"data", DATA)),
     "len=1000")
# Sample sizes the recorder cannot record or play: taking them as its sample format would make
# every later open and recording fail.
emit("fmt/bits_0.wav", riff(chunk(b"fmt ", fmt(bits=0, align=4)), chunk(b"data", DATA)),
     "any=4,5")
emit("fmt/bits_24.wav", riff(chunk(b"fmt ", fmt(bits=24)), chunk(b"data", DATA[:3996])),
     "any=4,5")
emit("fmt/alaw_8000_mono.wav",
     riff(chunk(b"fmt ", fmt(tag=6, ch=1, rate=8000, bits=8)),
          chunk(b"fact", struct.pack("<I", 4000)), chunk(b"data", DATA)), "len=4000")
emit("fmt/mulaw_8000_stereo_no_fact.wav",
     riff(chunk(b"fmt ", fmt(tag=7, ch=2, rate=8000, bits=8)), chunk(b"data", DATA)), "len=2000")
emit("fmt/unknown_tag.wav", riff(chunk(b"fmt ", fmt(tag=0x1234)), chunk(b"data", DATA)), "err=5")
emit("fmt/tag_0.wav", riff(chunk(b"fmt ", fmt(tag=0)), chunk(b"data", DATA)), "err=5")
EXT_PCM_GUID = struct.pack("<IHH", 1, 0, 0x10) + bytes([0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71])
emit("fmt/extensible_pcm.wav",
     riff(chunk(b"fmt ", fmt(tag=0xFFFE, cb=22, extra=struct.pack("<HI", 16, 3) + EXT_PCM_GUID)),
          chunk(b"data", DATA)), "any=0,5<=1000")
emit("fmt/extensible_cut_short.wav",
     riff(chunk(b"fmt ", fmt(tag=0xFFFE, cb=22)), chunk(b"data", DATA)), "any=4,5")
# IMA ADPCM, 8000 Hz mono: 256-byte blocks of 505 frames.
IMA = chunk(b"fmt ", fmt(tag=0x11, ch=1, rate=8000, bits=4, align=256, avg=4055, cb=2,
                         extra=struct.pack("<H", 505)))
IMA_DATA = chunk(b"data", pattern(512))
emit("fmt/ima_adpcm_fact.wav", riff(IMA, chunk(b"fact", struct.pack("<I", 1000)), IMA_DATA),
     "len=1000")
emit("fmt/ima_adpcm_no_fact.wav", riff(IMA, IMA_DATA), "len=1010")
emit("fmt/ima_adpcm_fact_huge.wav",
     riff(IMA, chunk(b"fact", struct.pack("<I", 0x7FFFFFFF)), IMA_DATA), "len=1010")
emit("fmt/ima_adpcm_cut_record.wav",
     riff(chunk(b"fmt ", fmt(tag=0x11, ch=1, rate=8000, bits=4, align=256, avg=4055, cb=2)),
          IMA_DATA), "any=0,4,5<=1010", note="cbSize 2 with the two bytes missing")

# ---- Unknown chunk ids --------------------------------------------------------------------------
emit("unknown/binary_ids.wav",
     riff(chunk(b"\0\0\0\0", b""), chunk(b"\xff\xfe\x01\x80", bytes(9)), FMT,
          chunk(b"bext", bytes(602)), chunk(b"data", DATA)), "len=1000")
emit("unknown/many_small_chunks.wav",
     riff(FMT, b"".join(chunk(b"zzzz", bytes(i % 5)) for i in range(5000)), chunk(b"data", DATA)),
     "len=1000")
emit("unknown/lower_case_ids.wav", riff(chunk(b"FMT ", fmt()), chunk(b"DATA", DATA)), "err=4")

# ---- Headerless files ---------------------------------------------------------------------------
emit("raw/pcm16_stereo_partial_frame.pcm", pattern(4003), "len=1000", kind=1,
     capture="16,44100,2")
emit("raw/pcm8_mono.pcm", pattern(1001), "len=1001", kind=1, capture="8,8000,1")
emit("raw/alaw_mono.raw", pattern(800), "len=800", kind=1, capture="106,8000,1")
emit("raw/mulaw_stereo.raw", pattern(801), "len=400", kind=1, capture="107,16000,2")
emit("raw/header_44_of_40_bytes.raw", pattern(40), "len=0", kind=-44, capture="16,44100,2")
emit("raw/header_44_of_wave.wav", REF, "len=1000", kind=-44, capture="16,44100,2")
emit("raw/header_1_of_empty.raw", b"", "len=0", kind=-1, capture="8,8000,1")
emit("raw/header_32768.raw", pattern(100), "len=0", kind=-32768, capture="16,44100,2")
emit("raw/wave_read_headerless.wav", REF, "len=4046", kind=1, capture="8,8000,1")

# ---- MPEG audio streams --------------------------------------------------------------------------
BITRATES = {3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
            2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}
RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def mpeg_header(ver=3, layer=1, br=9, sr=0, pad=0, mode=0):
    return bytes([0xFF, 0xE0 | ver << 3 | layer << 1 | 1, br << 4 | sr << 2 | pad << 1, mode << 6])


def frame_bytes(ver, br, sr, pad=0):
    kbps = BITRATES[3 if ver == 3 else 2][br]
    return (144000 if ver == 3 else 72000) * kbps // RATES[ver][sr] + pad


def stream(frames=10, ver=3, br=9, sr=0, mode=0):
    out = b""
    for i in range(frames):
        pad = i % 3 == 1
        n = frame_bytes(ver, br, sr, pad)
        out += mpeg_header(ver, 1, br, sr, pad, mode) + bytes(n - 4)
    return out


def mpeg_frames(data_bytes, ver=3, br=9, sr=0):
    kbps = BITRATES[3 if ver == 3 else 2][br]
    per_block = RATES[ver][sr] / (kbps * 1000 // 8) * 1
    return int(data_bytes * per_block / 1 + 0.5)


def emit_mpeg(name, lead, body, note="", ver=3, br=9, sr=0):
    emit(name, lead + body, f"len~{mpeg_frames(len(body), ver, br, sr)}", kind=2, note=note)


S128 = stream()
emit_mpeg("mpeg/plain_128k_44100.mp3", b"", S128)
emit_mpeg("mpeg/behind_100_zero_bytes.mp3", bytes(100), S128, "offset 100, nBlockSize 417")
emit_mpeg("mpeg/mpeg2_64k_22050_mono.mp3", b"", stream(ver=2, br=8, sr=0, mode=3), ver=2, br=8)
emit_mpeg("mpeg/mpeg25_8k_8000_mono.mp3", b"", stream(ver=0, br=1, sr=2, mode=3), ver=0, br=1,
          sr=2)
emit_mpeg("mpeg/junk_with_false_syncs.mp3", bytes([0xFF, 0xFB, 0x90, 0x00]) + pattern(300) +
          b"\xff\xfa\x92\x40" + pattern(50) + b"\xff\xff\xff", S128,
          "sync patterns whose frame is not followed by another")
emit_mpeg("mpeg/reserved_indices_first.mp3",
          mpeg_header(br=15) + mpeg_header(sr=3) + mpeg_header(ver=1) + mpeg_header(layer=0) +
          bytes(8), S128, "forbidden bitrate, reserved rate, version and layer")
emit_mpeg("mpeg/single_frame_cut_short.mp3", b"", mpeg_header() + bytes(100),
          "the data ends before the next frame")
emit_mpeg("mpeg/header_only_at_end.mp3", pattern(64), mpeg_header())
emit("mpeg/free_format.mp3", mpeg_header(br=0) + bytes(600) + mpeg_header(br=0) + bytes(600),
     "err=5", kind=2)
emit("mpeg/layer2.mp2", b"".join(mpeg_header(layer=2, br=8) + bytes(414) for _ in range(5)),
     "err=5", kind=2)
emit("mpeg/layer1.mp1", b"".join(mpeg_header(layer=3, br=8) + bytes(200) for _ in range(5)),
     "err=5", kind=2)
emit("mpeg/only_reserved_indices.mp3",
     b"".join(mpeg_header(br=15) + bytes(413) for _ in range(4)), "err=5", kind=2)
emit("mpeg/behind_40000_junk_bytes.mp3", pattern(40000) + S128, "err=5", kind=2,
     note="no frame in the first 32768 bytes")
emit("mpeg/wave_file_as_mpeg.wav", REF, "err=5", kind=2)
emit("mpeg/stream_as_wave.mp3", S128, "err=4", kind=0)


def id3(body, footer=False):
    size = len(body)
    syncsafe = bytes([(size >> 21) & 0x7F, (size >> 14) & 0x7F, (size >> 7) & 0x7F, size & 0x7F])
    head = b"ID3" + bytes([4, 0, 0x10 if footer else 0]) + syncsafe
    return head + body + (b"3DI" + bytes([4, 0, 0x10]) + syncsafe if footer else b"")


TEXT = b"TIT2" + struct.pack(">I", 6) + b"\0\0\3take"
# Two whole frames of a 22050 Hz stream inside the tag: without skipping the tag a scan locks
# onto them.
FALSE_SYNC = b"APIC" + struct.pack(">I", 500) + b"\0\0" + stream(2, ver=2, br=8) + bytes(84)
emit_mpeg("id3/v2_without_footer.mp3", id3(TEXT), S128)
emit_mpeg("id3/v2_with_footer.mp3", id3(TEXT, footer=True), S128)
emit_mpeg("id3/v2_false_sync_in_picture.mp3", id3(TEXT + FALSE_SYNC), S128)
emit_mpeg("id3/v2_false_sync_with_footer.mp3", id3(FALSE_SYNC, footer=True), S128)
emit_mpeg("id3/v2_then_zero_bytes.mp3", id3(TEXT) + bytes(33), S128)
emit_mpeg("id3/v2_large_picture.mp3", id3(b"APIC" + pattern(40000)), S128,
          "a tag larger than the scan window")
tag = id3(TEXT)
emit("id3/v2_size_past_end.mp3", tag[:6] + bytes([0x7F, 0x7F, 0x7F, 0x7F]) + tag[10:] + S128,
     f"any=0,5<={mpeg_frames(len(S128) + len(tag))}", kind=2)
emit("id3/v2_header_only.mp3", id3(b"")[:10], "err=5", kind=2)

with open(os.path.join(out_dir, "manifest.txt"), "w") as f:
    f.write("# NAME\tKIND\tCAPTURE\tEXPECT (see make_corpus.py)\n")
    f.write("\n".join(manifest) + "\n")
print(f"{len(manifest)} files in {out_dir}")
