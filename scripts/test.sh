#!/usr/bin/env bash
# Installs what is needed, checks the layers and the formatting, builds, and runs the whole
# suite in the normal build and under ASan+UBSan and TSan, with a PulseAudio null sink for the
# real-device tests; then runs every decoder's fuzz harness briefly.
# Usage: scripts/test.sh [release|asan|tsan|fuzz ...]   (default: all four)
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh

# Who includes whom, and the formatting: both run, and either failing fails the run before the
# builds start.
checks=0
bash scripts/check-layers.sh || checks=1
bash scripts/check-format.sh || checks=1
if [[ $checks -ne 0 ]]; then
  echo "=== the layer or format check failed"
  exit 1
fi

eval "$(bash scripts/start-pulse.sh)"

flavours=("$@")
[[ ${#flavours[@]} -gt 0 ]] || flavours=(release asan tsan fuzz)

# The tests set the virtual input themselves; a developer's own setting must not leak in.
unset VOXL_VIRTUAL_INPUT
export ASAN_OPTIONS="detect_leaks=1:abort_on_error=1:${ASAN_OPTIONS:-}"
export UBSAN_OPTIONS="print_stacktrace=1:halt_on_error=1:${UBSAN_OPTIONS:-}"
export TSAN_OPTIONS="halt_on_error=1:second_deadlock_stack=1:suppressions=$PWD/tests/tsan.supp:${TSAN_OPTIONS:-}"
export LSAN_OPTIONS="suppressions=$PWD/tests/lsan.supp:${LSAN_OPTIONS:-}"

status=0
for flavour in "${flavours[@]}"; do
  if [[ "$flavour" == fuzz ]]; then
    # Any bytes a file may hold, into every decoder: 10 s each here, longer by hand.
    VOXL_FUZZ_SECONDS="${VOXL_FUZZ_SECONDS:-10}" bash scripts/fuzz.sh || status=1
    continue
  fi
  echo "=== $flavour: build"
  bash scripts/build.sh "$flavour"
  echo "=== $flavour: test"
  runner=()
  # Older TSan runtimes cannot map their shadow memory with the kernel's larger mmap randomness;
  # running without address randomisation avoids it.
  if [[ "$flavour" == tsan ]] && command -v setarch >/dev/null; then runner=(setarch "$(uname -m)" -R); fi
  if ! "${runner[@]}" ctest --test-dir "build/$flavour" --output-on-failure --no-tests=error -j "$(nproc)"; then
    status=1
  fi
done
exit $status
