#!/usr/bin/env bash
# Starts a PulseAudio server with a null sink named voxl_null (no sound hardware needed; works as
# root) unless one is already answering, and prints the environment that reaches it.
# Usage: eval "$(scripts/start-pulse.sh)"
set -uo pipefail
runtime="${XDG_RUNTIME_DIR:-/tmp/voxl-pulse-runtime}"
mkdir -p "$runtime" && chmod 700 "$runtime"
export XDG_RUNTIME_DIR="$runtime"
export PULSE_SERVER="unix:$runtime/pulse/native"

if ! command -v pulseaudio >/dev/null; then
  echo "echo 'start-pulse: pulseaudio is not installed' >&2"
  exit 0
fi
# norewinds: a null sink that rewinds when a stream starts re-renders audio its monitor has
# already passed on, so the first milliseconds of every new stream would be missing from the
# monitor (the tests compare what is played with what the monitor records).
sink_args="sink_name=voxl_null sink_properties=device.description=VOXL-Null norewinds=1"
# A server that was killed (as at the end of a session) leaves its pid file and socket behind,
# and the next daemon start can fail on them: clear them and try again a few times.
for attempt in 1 2 3; do
  pactl info >/dev/null 2>&1 && break
  if [[ $attempt -gt 1 ]]; then
    rm -f "$runtime/pulse/pid" "$runtime/pulse/native"
  fi
  pulseaudio --daemonize=yes --exit-idle-time=-1 -n --system=false \
    --load=module-native-protocol-unix \
    --load="module-null-sink $sink_args" \
    --load="module-always-sink" >>"$runtime/pulseaudio.log" 2>&1 || true
  for _ in $(seq 1 50); do
    pactl info >/dev/null 2>&1 && break
    sleep 0.1
  done
done
if pactl info >/dev/null 2>&1; then
  # A server started before the sink had its arguments: load the sink again with them.
  module=$(pactl list short modules 2>/dev/null | awk '$2 == "module-null-sink" && /sink_name=voxl_null/ {print $1; exit}')
  if [[ -z "$module" ]] || ! pactl list short modules | awk -v m="$module" '$1 == m' | grep -q norewinds=1; then
    [[ -n "$module" ]] && pactl unload-module "$module" >/dev/null 2>&1
    pactl load-module module-null-sink $sink_args >/dev/null 2>&1 || true
  fi
  pactl set-default-sink voxl_null >/dev/null 2>&1 || true
  pactl set-default-source voxl_null.monitor >/dev/null 2>&1 || true
  echo "export XDG_RUNTIME_DIR='$runtime'"
  echo "export PULSE_SERVER='$PULSE_SERVER'"
  echo "export VOXL_PULSE_SINK=voxl_null"
else
  echo "echo 'start-pulse: no PulseAudio server could be started' >&2"
fi
