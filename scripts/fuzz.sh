#!/usr/bin/env bash
# Builds the libFuzzer harnesses (decoders, format records, opening files, the MPEG frame search)
# with clang (ASan+UBSan) in build/fuzz and runs each for VOXL_FUZZ_SECONDS seconds (default 20).
# Exits non-zero when any harness finds a crash, a leak or a timeout; the reproducer is left in
# build/fuzz/findings.
# Usage: scripts/fuzz.sh [harness ...]   (default: all, e.g. fuzz_ima_adpcm)
set -euo pipefail
cd "$(dirname "$0")/.."
seconds="${VOXL_FUZZ_SECONDS:-20}"
dir=build/fuzz

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
status=0
for h in "${harnesses[@]}"; do
  corpus="$dir/corpus/$h"
  mkdir -p "$corpus"
  extra=()
  case "$h" in
    fuzz_open_file | fuzz_mpeg_header) extra=("$seeds") ;;
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
