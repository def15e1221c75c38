#!/usr/bin/env bash
# Runs the recorder host under Wine into FOLDER, then has ffprobe read both files: the codec,
# rate and channels of the capture format, and the last length the recorder reported, after the
# cut and compaction of the PCM file (exact for PCM;
# within one block for IMA ADPCM, whose last block ffprobe counts whole); sox finds the tone in
# both at its level.
# Usage: recorder_files.sh RECORDER_HOST.EXE FOLDER
set -euo pipefail
host=$1 folder=$2
rm -rf "$folder" && mkdir -p "$folder"
report=$(wine "$host" "Z:${folder//\//\\}" | tr -d "\r")  # the platform ends lines with CR LF
echo "$report"
status=0
check() {  # file codec tolerance_frames
  local file=$1 codec=$2 tolerance=$3 frames
  frames=$(awk -v f="$file" '$1 == f {n = $2} END {print n}' <<<"$report")
  local probed
  probed=$(ffprobe -v error -select_streams a:0 \
    -show_entries stream=codec_name,sample_rate,channels,duration_ts -of csv=p=0 "$folder/$file")
  echo "$file: ffprobe $probed; recorder $frames frames"
  IFS=, read -r name rate channels duration <<<"$probed"
  if [[ "$name" != "$codec" || "$rate" != 44100 || "$channels" != 2 || -z "$frames" ]] ||
    ((duration < frames || duration > frames + tolerance)); then
    echo "FAILED: $file is not $codec, 44100 Hz, 2 channels, $frames frames"
    status=1
  fi
  # The tone that with_tone.sh plays at -6 dBFS, at its level.
  local peak
  peak=$(sox "$folder/$file" -n stats 2>&1 | awk '/^Pk lev dB/ {print $4}')
  echo "$file: peak $peak dB"
  if ! awk -v p="$peak" 'BEGIN {exit !(p != "" && p >= -6.5 && p <= -5.5)}'; then
    echo "FAILED: $file does not hold the -6 dB tone"
    status=1
  fi
}
check pcm.wav pcm_s16le 0
check ima.wav adpcm_ima_wav 2041
exit $status
