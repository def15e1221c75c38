#!/usr/bin/env python3
# Writes the corpus of bad and unusual sound files into OUTDIR, with OUTDIR/manifest.txt.
#
# Usage: make_corpus.py OUTDIR
#
# Files are grouped in folders by what is wrong with them.  Each manifest line is
# NAME KIND CAPTURE CODES LOW HIGH: KIND the recorder's file kind (0 RIFF/WAVE, 1 headerless, 2 MPEG
# audio, -N headerless after N bytes); CAPTURE "-" or a headerless file's SAMPLEFORMAT,RATE,CHANNELS
# (8, 16, 106 A-law, 107 mu-law); CODES the errors the open may give (0 = opens), and LOW..HIGH the
# frames it may open with.  Below, an expectation is written err=N (fails with N), len=N (opens
# with N frames), len~N (N give or take one) or any=C,..[<=N] (an error among C, at most N frames).
import os
import struct
import sys

out_dir = sys.argv[1] if len(sys.argv) > 1 else "corpus"
manifest = []


def emit(name, data, expect, kind=0, capture="-"):
    path = os.path.join(out_dir, name)
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "wb") as f:
        f.write(data)
    head, value = expect[:4], expect[4:]
    codes, _, most = value.partition("<=")
    if head[:3] == "len":
        codes, most = "0", int(value) + (head == "len~")
        least = int(value) - (head == "len~")
    else:
        least, most = 0, int(most or 0xFFFFFFFF)
    manifest.append(f"{name}\t{kind}\t{capture}\t{codes}\t{least}\t{most}")


def emit_all(folder, rows, ext=".wav", **kw):
    for name, data, expect in rows:
        emit(f"{folder}/{name}{ext}", data, expect, **kw)


# ---- RIFF building blocks ----------------------------------------------------------------------
def chunk(cid, payload, size=None, pad=True):
    body = cid + struct.pack("<I", len(payload) if size is None else size) + payload
    return body + b"\0" if pad and len(payload) % 2 else body


def fmt(tag=1, ch=2, rate=44100, bits=16, align=None, avg=None, cb=0, extra=b"", short=None):
    align = ch * bits // 8 if align is None else align
    body = struct.pack("<HHIIHH", tag, ch, rate, rate * align if avg is None else avg, align, bits)
    body += b"" if cb is None else struct.pack("<H", cb) + extra
    return body if short is None else body[:short]


def riff(*chunks, size=None, form=b"WAVE", cid=b"RIFF"):
    body = form + b"".join(chunks)
    return cid + struct.pack("<I", len(body) if size is None else size) + body


def pattern(n, seed=7):  # sample bytes without 0xFF, so no MPEG sync can hide in them
    return bytes((i * seed + 3) % 251 for i in range(n))


DATA = pattern(4000)  # 1000 frames of 16-bit stereo
FMT = chunk(b"fmt ", fmt())


def fmtc(payload=None, **kw):
    return chunk(b"fmt ", fmt(**kw) if payload is None else payload)


def fact(n):
    return chunk(b"fact", struct.pack("<I", n))


def wav(*chunks, data=DATA, **kw):  # chunks, then the data chunk
    return riff(*chunks, chunk(b"data", data), **kw)


REF = wav(FMT)  # 12 + 26 + 8 + 4000 bytes
LIST = chunk(b"LIST", b"INFOINAM" + struct.pack("<I", 6) + b"take1\0")
CUE = chunk(b"cue ", struct.pack("<I", 1) + struct.pack("<II4sIII", 1, 0, b"data", 0, 0, 500))
RAW16 = dict(kind=1, capture="16,44100,2")

# ---- Very short files: every prefix of a good file up to its form type ------------------------
emit_all("short", [(f"prefix_{n:02d}", REF[:n], "err=4") for n in range(13)])
emit_all("short", [("empty_raw", b"", "len=0"), ("three_bytes_raw", b"\1\2\3", "len=0")], ".pcm",
         **RAW16)
emit_all("short", [("empty_mpeg", b"", "err=5"), ("three_bytes_mpeg", b"\xff\xfb\x90", "err=5")],
         ".mp3", kind=2)

# ---- Truncated at each structural boundary: fmt id, fmt size, inside and after fmt, data id and
# size (4000 bytes declared, none there), inside the data, one byte short ------------------------
emit_all("truncated", [(f"at_{n:04d}", REF[:n], e) for n, e in [
    (16, "err=4"), (20, "err=4"), (30, "err=4"), (38, "err=4"), (42, "err=4"), (46, "len=0"),
    (46 + 2001, "len=500"), (len(REF) - 1, "len=999")]])
emit("truncated/inside_list.wav", wav(FMT, LIST)[: 38 + 10], "err=4")  # the LIST runs past the end

# ---- Zero and huge chunk sizes -----------------------------------------------------------------
emit_all("sizes", [
    ("riff_size_0", wav(FMT, size=0), "len=1000"),  # the form size is advisory
    ("riff_size_4", wav(FMT, size=4), "len=1000"),
    ("riff_size_huge", wav(FMT, size=0xFFFFFFFF), "len=1000"),  # as streaming writers leave it
    ("riff_size_short_of_data", wav(FMT, size=4 + 26), "len=1000"),  # ends before the data
    ("fmt_size_0", wav(fmtc(b"")), "err=4"),
    ("fmt_size_huge", wav(chunk(b"fmt ", fmt(), size=0xFFFFFFF0)), "err=4"),  # never allocated
    ("data_size_0", wav(FMT, data=b""), "len=0"),
    ("data_size_huge", riff(FMT, chunk(b"data", DATA, size=0xFFFFFFFF)), "len=1000"),
    ("data_size_past_end", riff(FMT, chunk(b"data", DATA, size=4004)), "len=1000"),
    ("list_size_0", wav(FMT, chunk(b"LIST", b"")), "len=1000"),
    # The data lies inside what the LIST claims.
    ("list_size_huge", wav(FMT, chunk(b"LIST", b"INFO", size=0x7FFFFFFF)), "err=4"),
    ("fact_size_0", wav(FMT, chunk(b"fact", b"")), "len=1000"),  # the count would be "data"
    ("fact_count_huge", wav(FMT, fact(0xFFFFFFFF)), "len=1000"),  # more than the data holds
    ("fact_count_one_more", wav(FMT, fact(1001)), "len=1000"),
    ("fact_count_smaller", wav(FMT, fact(700)), "len=1000"),  # PCM: the data size counts
    ("fact_short", riff(FMT, chunk(b"fact", b"\1\2")), "err=4"),  # and the end of the file
])

# ---- Odd chunk sizes, with and without their pad byte ------------------------------------------
ODD_LIST = b"LIST" + struct.pack("<I", 5) + b"INFOx"
MONO8 = fmtc(ch=1, rate=8000, bits=8)
emit_all("odd", [
    ("list_5_padded", wav(FMT, ODD_LIST + b"\0"), "len=1000"),
    ("list_5_unpadded", wav(FMT, ODD_LIST), "any=0,4<=1000"),
    ("fmt_17_padded", wav(fmtc(fmt(cb=None) + b"\0")), "len=1000"),
    ("fmt_17_unpadded", wav(chunk(b"fmt ", fmt(cb=None) + b"\0", pad=False)), "any=0,4<=1000"),
    ("data_1001_padded_then_list", riff(MONO8, chunk(b"data", pattern(1001)), LIST), "len=1001"),
    ("data_1001_unpadded_at_end", riff(MONO8, chunk(b"data", pattern(1001), pad=False)),
     "len=1001"),
    ("data_not_whole_frames", wav(FMT, data=pattern(4003)), "len=1000"),
    ("fact_5_padded", wav(FMT, chunk(b"fact", struct.pack("<I", 900) + b"x")), "len=1000"),
])

# ---- Chunks in unusual order -------------------------------------------------------------------
emit_all("order", [
    ("fact_before_fmt", wav(fact(7), FMT), "len=1000"),  # a count before the format is ignored
    ("list_and_cue_before_data", wav(FMT, LIST, CUE), "len=1000"),
    ("junk_before_fmt", wav(chunk(b"JUNK", bytes(28)), LIST, FMT), "len=1000"),
    ("list_between_fmt_and_fact", wav(FMT, LIST, fact(600), CUE), "len=1000"),
    ("data_before_fmt", riff(chunk(b"data", DATA), FMT), "err=4"),
    # The data search starts behind the fact chunk.
    ("fact_after_data", riff(FMT, chunk(b"data", DATA), fact(600)), "any=0,4<=1000"),
    ("two_data_chunks", riff(FMT, chunk(b"data", DATA), chunk(b"data", pattern(400))), "len=1000"),
    ("avi_form_then_wave_form", riff(chunk(b"strh", bytes(8)), form=b"AVI ") + REF, "len=1000"),
    ("data_chunk_inside_list", riff(FMT, chunk(b"LIST", b"wavl" + chunk(b"data", DATA))), "err=4"),
])

# ---- Missing chunks and foreign forms ----------------------------------------------------------
emit_all("missing", [
    ("no_fmt", wav(), "err=4"), ("no_data", riff(FMT, LIST), "err=4"),
    ("nothing_inside", riff(), "err=4"), ("form_avi", wav(FMT, form=b"AVI "), "err=4"),
    ("rifx_big_endian", wav(FMT, cid=b"RIFX"), "err=4"), ("raw_samples_as_wave", DATA, "err=4"),
])

# ---- "fmt " too short (14: the old record without wBitsPerSample), too long, and zero fields.
# Wider samples, float and extensible records open through the PCM converters; nBlockAlign 0
# leaves no length to derive.
EXT_PCM_GUID = struct.pack("<IHH", 1, 0, 0x10) + bytes([0x80, 0, 0, 0xAA, 0, 0x38, 0x9B, 0x71])
emit_all("fmt", [
    ("length_14", wav(fmtc(short=14)), "err=4"), ("length_2", wav(fmtc(short=2)), "err=4"),
    ("length_16", wav(fmtc(cb=None)), "len=1000"),
    ("length_40_extra_bytes", wav(fmtc(cb=22, extra=bytes(range(22)))), "len=1000"),
    ("length_1000", wav(fmtc(fmt() + bytes(982))), "len=1000"),
    ("channels_0", wav(fmtc(ch=0, align=4)), "err=4"), ("rate_0", wav(fmtc(rate=0)), "err=5"),
    ("rate_12000", wav(fmtc(rate=12000)), "err=5"),
    ("block_align_0", wav(fmtc(align=0)), "err=4"),
    ("bytes_per_second_0", wav(fmtc(avg=0)), "len=1000"),
    ("bits_0", wav(fmtc(bits=0, align=4)), "any=4,5"),
    ("bits_24", wav(fmtc(bits=24), data=DATA[:3996]), "len=666"),
    ("float_32", wav(fmtc(tag=3, bits=32), fact(3)), "len=500"),
    ("alaw_fact_stale", wav(fmtc(tag=6, ch=1, rate=8000, bits=8), fact(100)), "len=4000"),
    ("alaw_8000_mono", wav(fmtc(tag=6, ch=1, rate=8000, bits=8), fact(4000)), "len=4000"),
    ("mulaw_8000_stereo_no_fact", wav(fmtc(tag=7, ch=2, rate=8000, bits=8)), "len=2000"),
    ("unknown_tag", wav(fmtc(tag=0x1234)), "err=5"), ("tag_0", wav(fmtc(tag=0)), "err=5"),
    ("extensible_pcm",
     wav(fmtc(tag=0xFFFE, cb=22, extra=struct.pack("<HI", 16, 3) + EXT_PCM_GUID)),
     "len=1000"),
    ("extensible_cut_short", wav(fmtc(tag=0xFFFE, cb=22)), "any=4,5"),
])
# IMA ADPCM, 8000 Hz mono: 256-byte blocks of 505 frames; the last with cbSize 2 and the two
# bytes missing.
IMA = dict(tag=0x11, ch=1, rate=8000, bits=4, align=256, avg=4055, cb=2)
IMA_FMT = fmtc(**IMA, extra=struct.pack("<H", 505))
emit_all("fmt", [(name, wav(*chunks, data=pattern(512)), e) for name, chunks, e in [
    ("ima_adpcm_fact", (IMA_FMT, fact(1000)), "len=1000"),
    ("ima_adpcm_no_fact", (IMA_FMT,), "len=1010"),
    ("ima_adpcm_fact_huge", (IMA_FMT, fact(0x7FFFFFFF)), "len=1010"),
    ("ima_adpcm_cut_record", (fmtc(**IMA),), "any=0,4,5<=1010")]])

# ---- Unknown chunk ids -------------------------------------------------------------------------
emit_all("unknown", [
    ("binary_ids", wav(chunk(b"\0\0\0\0", b""), chunk(b"\xff\xfe\x01\x80", bytes(9)), FMT,
                       chunk(b"bext", bytes(602))), "len=1000"),
    ("many_small_chunks", wav(FMT, *(chunk(b"zzzz", bytes(i % 5)) for i in range(5000))),
     "len=1000"),
    ("lower_case_ids", riff(chunk(b"FMT ", fmt()), chunk(b"DATA", DATA)), "err=4"),
])

# ---- Headerless files --------------------------------------------------------------------------
for name, data, expect, kind, capture in [
        ("pcm16_stereo_partial_frame.pcm", pattern(4003), "len=1000", 1, "16,44100,2"),
        ("pcm8_mono.pcm", pattern(1001), "len=1001", 1, "8,8000,1"),
        ("alaw_mono.raw", pattern(800), "len=800", 1, "106,8000,1"),
        ("mulaw_stereo.raw", pattern(801), "len=400", 1, "107,16000,2"),
        ("header_44_of_40_bytes.raw", pattern(40), "len=0", -44, "16,44100,2"),
        ("header_44_of_wave.wav", REF, "len=1000", -44, "16,44100,2"),
        ("header_1_of_empty.raw", b"", "len=0", -1, "8,8000,1"),
        ("header_32768.raw", pattern(100), "len=0", -32768, "16,44100,2"),
        ("wave_read_headerless.wav", REF, "len=4046", 1, "8,8000,1")]:
    emit(f"raw/{name}", data, expect, kind, capture)

# ---- MPEG audio streams ------------------------------------------------------------------------
KBPS = {3: [0, 32, 40, 48, 56, 64, 80, 96, 112, 128, 160, 192, 224, 256, 320],
        2: [0, 8, 16, 24, 32, 40, 48, 56, 64, 80, 96, 112, 128, 144, 160]}
RATES = {3: [44100, 48000, 32000], 2: [22050, 24000, 16000], 0: [11025, 12000, 8000]}


def mpeg_header(ver=3, layer=1, br=9, sr=0, pad=0, mode=0):
    return bytes([0xFF, 0xE0 | ver << 3 | layer << 1 | 1, br << 4 | sr << 2 | pad << 1, mode << 6])


def stream(frames=10, ver=3, br=9, sr=0, mode=0):
    kbps, rate = KBPS[3 if ver == 3 else 2][br], RATES[ver][sr]
    return b"".join(mpeg_header(ver, 1, br, sr, i % 3 == 1, mode) +
                    bytes((144000 if ver == 3 else 72000) * kbps // rate + (i % 3 == 1) - 4)
                    for i in range(frames))


def mpeg_frames(data_bytes, ver=3, br=9, sr=0):
    return int(data_bytes * RATES[ver][sr] / (KBPS[3 if ver == 3 else 2][br] * 1000 // 8) + 0.5)


def emit_mpeg(name, lead, body, ver=3, br=9, sr=0):
    emit(name, lead + body, f"len~{mpeg_frames(len(body), ver, br, sr)}", kind=2)


S128 = stream()
for name, lead, body, shape in [
        ("plain_128k_44100", b"", S128, ()),
        ("behind_100_zero_bytes", bytes(100), S128, ()),  # offset 100, nBlockSize 417
        ("mpeg2_64k_22050_mono", b"", stream(ver=2, br=8, mode=3), (2, 8)),
        ("mpeg25_8k_8000_mono", b"", stream(ver=0, br=1, sr=2, mode=3), (0, 1, 2)),
        # Sync patterns whose frame is not followed by another.
        ("junk_with_false_syncs", bytes([0xFF, 0xFB, 0x90, 0x00]) + pattern(300) +
         b"\xff\xfa\x92\x40" + pattern(50) + b"\xff\xff\xff", S128, ()),
        # Forbidden bitrate, reserved rate, version and layer.
        ("reserved_indices_first", mpeg_header(br=15) + mpeg_header(sr=3) + mpeg_header(ver=1) +
         mpeg_header(layer=0) + bytes(8), S128, ()),
        ("single_frame_cut_short", b"", mpeg_header() + bytes(100), ()),  # nothing follows
        ("header_only_at_end", pattern(64), mpeg_header(), ())]:
    emit_mpeg(f"mpeg/{name}.mp3", lead, body, *shape)
emit_all("mpeg", [
    ("free_format.mp3", (mpeg_header(br=0) + bytes(600)) * 2, "err=5"),
    ("layer2.mp2", (mpeg_header(layer=2, br=8) + bytes(414)) * 5, "err=5"),
    ("layer1.mp1", (mpeg_header(layer=3, br=8) + bytes(200)) * 5, "err=5"),
    ("only_reserved_indices.mp3", (mpeg_header(br=15) + bytes(413)) * 4, "err=5"),
    ("behind_40000_junk_bytes.mp3", pattern(40000) + S128, "err=5"),  # none in the first 32768
    ("wave_file_as_mpeg.wav", REF, "err=5")], "", kind=2)
emit("mpeg/stream_as_wave.mp3", S128, "err=4", kind=0)


def id3(body, footer=False):
    n = len(body)
    size = bytes([(n >> 21) & 0x7F, (n >> 14) & 0x7F, (n >> 7) & 0x7F, n & 0x7F])
    tail = b"3DI" + bytes([4, 0, 0x10]) + size if footer else b""
    return b"ID3" + bytes([4, 0, 0x10 if footer else 0]) + size + body + tail


TEXT = b"TIT2" + struct.pack(">I", 6) + b"\0\0\3take"
# Two whole frames of a 22050 Hz stream inside the tag: without skipping the tag a scan locks
# onto them.
FALSE_SYNC = b"APIC" + struct.pack(">I", 500) + b"\0\0" + stream(2, ver=2, br=8) + bytes(84)
for name, tag in [("without_footer", id3(TEXT)), ("with_footer", id3(TEXT, footer=True)),
                  ("false_sync_in_picture", id3(TEXT + FALSE_SYNC)),
                  ("false_sync_with_footer", id3(FALSE_SYNC, footer=True)),
                  ("then_zero_bytes", id3(TEXT) + bytes(33)),
                  ("large_picture", id3(b"APIC" + pattern(40000)))]:  # larger than the window
    emit_mpeg(f"id3/v2_{name}.mp3", tag, S128)
tag = id3(TEXT)
emit("id3/v2_size_past_end.mp3", tag[:6] + bytes([0x7F] * 4) + tag[10:] + S128,
     f"any=0,5<={mpeg_frames(len(S128) + len(tag))}", kind=2)
emit("id3/v2_header_only.mp3", id3(b"")[:10], "err=5", kind=2)

with open(os.path.join(out_dir, "manifest.txt"), "w") as f:
    f.write("# NAME\tKIND\tCAPTURE\tCODES\tLOW\tHIGH (see make_corpus.py)\n" + "\n".join(manifest) + "\n")
print(f"{len(manifest)} files in {out_dir}")
