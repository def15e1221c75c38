#!/usr/bin/env bash
# Runs a command while a 1 kHz tone at -6 dBFS plays into the default PulseAudio sink, whose
# monitor is the default source that Wine records from (scripts/start-pulse.sh sets both).
set -euo pipefail
tone=$(mktemp --suffix=.wav)
player=""
trap '[[ -n "$player" ]] && kill "$player" 2>/dev/null; rm -f "$tone"' EXIT
sox -n -r 44100 -c 2 -b 16 "$tone" synth 120 sine 1000 vol -6dB
paplay "$tone" &
player=$!
"$@"
