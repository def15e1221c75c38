#!/usr/bin/env bash
# The second platform: builds VOXL310K.DLL for the original 32-bit desktop platform with the
# mingw-w64 cross compiler, checks its exports and imports, and runs its tests under Wine (display
# driver null, audio through a PulseAudio null sink).  Installs what it needs first
# (scripts/install-deps.sh --win32): the i386 architecture, the cross compiler and Wine, about
# 200 MB beside what the test command installs.
# Usage: scripts/test-win32.sh
set -euo pipefail
cd "$(dirname "$0")/.."
bash scripts/install-deps.sh --win32

build=build/win32
cmake -S . -B "$build" -G Ninja -DCMAKE_TOOLCHAIN_FILE=cmake/mingw-w64-i686.cmake \
  -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXL_BUILD_TESTS=ON
cmake --build "$build" -j "$(nproc)"

# Exactly the eight decorated exports at ordinals 1 to 8, and only the system's own libraries.
dll="$build/src/VOXL310K.dll"
headers=$(i686-w64-mingw32-objdump -p "$dll")
ordinals=$(awk '/\[Ordinal\/Name Pointer\] Table/ {p = 1; next} p && NF == 0 {exit} p {n++; print n "] " $NF}' <<<"$headers")
expected=$(printf '%s\n' "1] _DeinitACM@0" "2] _FreeACMBlock@4" "3] _GetFirstACMDevice@4" \
  "4] _GetNextACMBlock@4" "5] _GetNextACMDevice@4" "6] _InitACM@4" "7] _StartACMRecord@4" \
  "8] _StopACMRecord@0")
if [[ "$ordinals" != "$expected" ]] || ! grep -q "Ordinal Base 1" <<<"$headers"; then
  echo "=== VOXL310K.dll exports, expected the eight decorated names at ordinals 1 to 8:"
  echo "$ordinals"
  exit 1
fi
imports=$(awk '/DLL Name:/ {print toupper($3)}' <<<"$headers" | sort -u)
unexpected=$(grep -vxE 'GDI32.DLL|KERNEL32.DLL|MSACM32.DLL|MSVCRT.DLL|OLEAUT32.DLL|SHELL32.DLL|USER32.DLL|WINMM.DLL' <<<"$imports" || true)
if [[ -n "$unexpected" ]]; then
  echo "=== VOXL310K.dll needs libraries beyond the system's own: $unexpected"
  exit 1
fi
echo "=== VOXL310K.dll: the eight exports at ordinals 1 to 8; imports $(echo $imports)"

# A 32-bit Wine prefix of the build's own, without a display and with PulseAudio for sound.
export WINEPREFIX="$PWD/$build/wineprefix" WINEARCH=win32 WINEDEBUG=-all
export WINEDLLOVERRIDES="mscoree,mshtml=;winemenubuilder.exe=d"
eval "$(bash scripts/start-pulse.sh)"
if ! grep -qs '"Graphics"="null"' "$WINEPREFIX/user.reg"; then
  # The first start builds the prefix; the settings go in once it is done, and the server writes
  # them to disk when it ends.
  wineboot --init
  wineserver -w
  wine reg add 'HKCU\Software\Wine\Drivers' /v Graphics /d null /f >/dev/null
  wine reg add 'HKCU\Software\Wine\Drivers' /v Audio /d pulse /f >/dev/null
  wineserver -w
  grep -q '"Graphics"="null"' "$WINEPREFIX/user.reg" || {
    echo "=== the Wine prefix did not take the null display driver"
    exit 1
  }
fi
status=0
ctest --test-dir "$build" --output-on-failure --no-tests=error || status=1
wineserver -k 2>/dev/null || true
exit $status
