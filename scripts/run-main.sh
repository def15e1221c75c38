#!/usr/bin/env bash
# Installs what is needed, builds, and runs the main job: five seconds captured from
# "Default Device" through the flat capture functions into capture.wav, with a live level meter.
# On a machine without sound hardware the built-in virtual input (a test tone) serves, and voxl
# says so.
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --runtime-only
bash scripts/build.sh release -DVOXL_BUILD_TESTS=OFF -DVOXL_BUILD_BENCH=OFF
build/release/tools/voxl devices
echo
build/release/tools/voxl stream --seconds 5 capture.wav

# What was written, read back from the file's own header.
field() { od -An -t "u$2" -j "$1" -N "$2" capture.wav | tr -d ' '; }
[[ "$(head -c 4 capture.wav)" == "RIFF" ]] || { echo "capture.wav is not a RIFF file" >&2; exit 1; }
channels=$(field 22 2)
rate=$(field 24 4)
bits=$(field 34 2)
bytes_per_second=$(field 28 4)
data=$(field 40 4)
echo
echo "capture.wav: RIFF/WAVE PCM, $rate Hz, $bits-bit, $channels channels," \
  "$data bytes of audio ($(awk "BEGIN { printf \"%.2f\", $data / $bytes_per_second }") s)," \
  "$(stat -c %s capture.wav) bytes in all"
