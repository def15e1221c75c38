#!/usr/bin/env bash
# Installs what building, running and testing VOXL310K needs on Debian (12 or later).
# Usage: scripts/install-deps.sh [--runtime-only | --win32]
#   --win32: also the cross compiler and Wine for the original platform's build and tests
#            (scripts/test-win32.sh), with the i386 architecture they need: about 200 MB more.
set -euo pipefail

build_packages=(
  build-essential cmake ninja-build pkg-config
  libasound2-dev libasound2-plugins alsa-utils
  libmp3lame-dev libmpg123-dev libgsm1-dev
  libcli11-dev
)
test_packages=(
  googletest libgtest-dev libgmock-dev libbenchmark-dev
  pulseaudio pulseaudio-utils
  sox ffmpeg lame mpg123 libsndfile1-dev sndfile-programs
  clang libclang-rt-14-dev clang-format
  python3
)

win32_packages=(
  g++-mingw-w64-i686-posix binutils-mingw-w64-i686 wine wine64 wine32:i386
)

packages=("${build_packages[@]}")
if [[ "${1:-}" != "--runtime-only" ]]; then
  packages+=("${test_packages[@]}")
fi
if [[ "${1:-}" == "--win32" ]]; then
  packages+=("${win32_packages[@]}")
fi

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done
if [[ ${#missing[@]} -eq 0 ]]; then
  echo "install-deps: everything is installed"
  exit 0
fi

sudo=""
if [[ $(id -u) -ne 0 ]]; then sudo="sudo"; fi
echo "install-deps: installing ${missing[*]}"
if [[ "${1:-}" == "--win32" ]] && ! dpkg --print-foreign-architectures | grep -qx i386; then
  $sudo dpkg --add-architecture i386
fi
$sudo apt-get update -qq
DEBIAN_FRONTEND=noninteractive $sudo apt-get install -y -qq --no-install-recommends "${missing[@]}"
