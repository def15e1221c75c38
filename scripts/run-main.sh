#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: lists the sound devices.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --runtime-only
bash scripts/build.sh release -DVOXL_BUILD_TESTS=OFF -DVOXL_BUILD_BENCH=OFF
build/release/tools/voxl devices
