#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>.
# Usage: scripts/build.sh [release|debug|asan|tsan] [extra cmake arguments...]
# Each flavour states its options in full (extra arguments come last and win), so a build folder
# configured once without tests gets them back the next time.
set -euo pipefail
cd "$(dirname "$0")/.."
flavour="${1:-release}"
shift || true
case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXL_BUILD_TESTS=ON -DVOXL_BUILD_BENCH=ON) ;;
  debug) args=(-DCMAKE_BUILD_TYPE=Debug -DVOXL_BUILD_TESTS=ON -DVOXL_BUILD_BENCH=ON) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=Debug -DVOXL_SANITIZE=address -DVOXL_BUILD_TESTS=ON -DVOXL_BUILD_BENCH=OFF) ;;
  tsan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXL_SANITIZE=thread -DVOXL_BUILD_TESTS=ON -DVOXL_BUILD_BENCH=OFF) ;;
  *) echo "build.sh: unknown flavour '$flavour' (release, debug, asan, tsan)" >&2; exit 2 ;;
esac
cmake -S . -B "build/$flavour" -G Ninja "${args[@]}" "$@" >/dev/null
cmake --build "build/$flavour" -j "$(nproc)"
