#!/usr/bin/env bash
# Builds the libFuzzer harnesses (decoders, format records, opening files, the MPEG frame search,
# editing sessions) with clang (ASan+UBSan) in VOXL_FUZZ_BUILD (default build/fuzz) and runs each
# for VOXL_FUZZ_SECONDS seconds (default 20).  Exits non-zero when any harness finds a crash, a
# leak or a timeout; the reproducer is left in the build folder's findings.
# Usage: scripts/fuzz.sh [harness ...]   (default: all, e.g. fuzz_ima_adpcm)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${VOXL_FUZZ_SECONDS:-20}"
dir="${VOXL_FUZZ_BUILD:-build/fuzz}"

CC=clang CXX=clang++ cmake -S . -B "$dir" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo \
  -DVOXL_SANITIZE=address -DVOXL_BUILD_FUZZ=ON -DVOXL_BUILD_TESTS=OFF -DVOXL_BUILD_BENCH=OFF \
  -DVOXL_BUILD_TOOLS=OFF >/dev/null
cmake --build "$dir" --target fuzz

harnesses=("$@")
if [[ ${#harnesses[@]} -eq 0 ]]; then
  mapfile -t harnesses < <(cd "$dir/fuzz" && ls fuzz_* | sort)
fi
mkdir -p "$dir/findings"
export ASAN_OPTIONS="detect_leaks=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
# The opening harnesses start from the corpus of bad files the tests use.
seeds="$dir/seeds/files"
rm -rf "$seeds"
python3 tests/corpus/make_corpus.py "$seeds" >/dev/null
# The editing harness starts from sessions that touch every operation on every file layout: the
# first byte picks the layout, then 2 bytes of frames, a seed byte and the operations.
edit_seeds="$dir/seeds/edit"
rm -rf "$edit_seeds"
mkdir -p "$edit_seeds"
python3 - "$edit_seeds" <<'PY'
import struct, sys
ops = (b"\0" + struct.pack("<h", 1000) + b"\5\5" + b"\1" + struct.pack("<h", 500) + b"\3\4" +
       b"\2" + struct.pack("<h", 409) + b"\5\2" + b"\0" + struct.pack("<h", 100) + b"\5\0" +
       b"\1" + struct.pack("<h", 30000) + b"\3")
for layout in range(64):
    with open(f"{sys.argv[1]}/session-{layout:02d}", "wb") as f:
        f.write(bytes([layout]) + struct.pack("<H", 4000) + bytes([layout * 5 % 256]) + ops)
PY
status=0
for h in "${harnesses[@]}"; do
  corpus="$dir/corpus/$h"
  mkdir -p "$corpus"
  extra=()
  case "$h" in
    fuzz_open_file | fuzz_mpeg_header) extra=("$seeds") ;;
    fuzz_edit) extra=("$edit_seeds") ;;
  esac
  echo "=== $h: ${seconds}s"
  if ! "$dir/fuzz/$h" -max_total_time="$seconds" -max_len=65536 -timeout=10 -rss_limit_mb=2048 \
      -artifact_prefix="$dir/findings/$h-" -print_final_stats=0 "$corpus" "${extra[@]}" \
      2>"$dir/$h.log"; then
    tail -n 40 "$dir/$h.log"
    echo "=== $h: FAILED (reproducer in $dir/findings)"
    status=1
  fi
done
exit $status
