#!/usr/bin/env bash
# Configures and builds one flavour into build/<flavour>.
# Usage: scripts/build.sh [release|debug|asan|tsan] [extra cmake arguments...]
set -euo pipefail
cd "$(dirname "$0")/.."
flavour="${1:-release}"
shift || true
case "$flavour" in
  release) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo) ;;
  debug) args=(-DCMAKE_BUILD_TYPE=Debug) ;;
  asan) args=(-DCMAKE_BUILD_TYPE=Debug -DVOXL_SANITIZE=address -DVOXL_BUILD_BENCH=OFF) ;;
  tsan) args=(-DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXL_SANITIZE=thread -DVOXL_BUILD_BENCH=OFF) ;;
  *) echo "build.sh: unknown flavour '$flavour' (release, debug, asan, tsan)" >&2; exit 2 ;;
esac
cmake -S . -B "build/$flavour" -G Ninja "${args[@]}" "$@" >/dev/null
cmake --build "build/$flavour" -j "$(nproc)"
