#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds hosts against it through pkg-config, as a
# user of the installed library would.  A small C host, built as C99 (pedantic) and C++,
# creates a recorder on the virtual devices, lists the input devices through the method table
# and the device functions, sets the virtual input, fills a variant and destroys the recorder.
# The sources of voxl build against the installed headers and library alone, and both that
# build and the installed voxl run on the installed library; a CMake project finds the package;
# the manual page and completion name every command.  The library must export exactly
# the functions the public headers declare: no C++ symbols.
# Usage: check_install.sh BUILD_DIR C_COMPILER CXX_COMPILER
set -euo pipefail
build="$1"
cc="$2"
cxx="$3"
prefix="$(mktemp -d)"
trap 'rm -rf "$prefix"' EXIT

cmake --install "$build" --prefix "$prefix" >/dev/null
pcdir="$(dirname "$(find "$prefix" -name voxl310k.pc | head -n 1)")"
export PKG_CONFIG_PATH="$pcdir"

cat > "$prefix/host.c" <<'C'
#include <stdio.h>
#include <voxl310k.h>

int main(void) {
  WORD error = 0;
  VoxlRecorder* r = VoxlCreateRecorder(&error);
  if (r == NULL) {
    printf("no recorder: %s\n", VoxlErrorText(error));
    return 1;
  }
  DWORD count = 0;
  if (r->lpVtbl->GetInputDeviceCount(r, &count) != 0 || count < 1) return 2;
  BSTR name = NULL;
  if (r->lpVtbl->GetInputDeviceName(r, 0, &name) != 0 || SysStringLen(name) == 0) return 3;
  SysFreeString(name);
  WAVEINCAPSA caps;
  DWORD preferred = 0, status = 1;
  if (waveInGetNumDevs() != count || waveInGetDevCapsA(0, &caps, sizeof caps) != MMSYSERR_NOERROR ||
      waveInMessage((HWAVEIN)(UINT_PTR)WAVE_MAPPER, DRVM_MAPPER_PREFERRED_GET,
                    (DWORD_PTR)&preferred, (DWORD_PTR)&status) != MMSYSERR_NOERROR ||
      preferred != 0 || status != 0)
    return 5;
  if (!VoxlSetVirtualInput("tone:1000:-6") || VoxlSetVirtualInput("tone:-1") ||
      !VoxlSetVirtualInput(NULL) || VoxlWaveDriverName()[0] != 'v')
    return 6;
  VARIANT v;
  VariantInit(&v);
  v.vt = VT_ARRAY | VT_UI1;
  v.parray = SafeArrayCreateVector(VT_UI1, 0, 4);
  if (v.parray == NULL || VariantClear(&v) != S_OK || v.vt != VT_EMPTY) return 4;
  VoxlDestroyRecorder(r);
  printf("ok: %u input device(s)\n", (unsigned)count);
  return 0;
}
C
# The prefix given at configure time is not this one: the file finds its paths from where it lies.
flags="$(pkg-config --cflags --libs voxl310k)"
libdir="$(pkg-config --variable=libdir voxl310k)"
includedir="$(pkg-config --variable=includedir voxl310k)"
[[ "$(realpath "$libdir")" == "$(realpath "$pcdir/..")" ]] || { echo "pc libdir $libdir" >&2; exit 1; }
build_host() {  # NAME COMPILER OPTIONS...
  local name="$1" compiler="$2"
  shift 2
  # shellcheck disable=SC2086  # the pkg-config flags are words
  "$compiler" "$@" -Wall -Wextra -Werror "$prefix/host.c" -o "$prefix/$name" $flags \
    -Wl,-rpath,"$libdir"
  VOXL_AUDIO_DRIVER=virtual "$prefix/$name"
}
build_host host-c99 "$cc" -std=c99 -pedantic
build_host host-cxx "$cxx" -x c++ -std=c++20 -pedantic

# voxl from its sources, as a packager would build it against the installed library (one
# compiler per source, side by side: CLI11 makes each slow).
src_root="$(cd "$(dirname "$0")/../.." && pwd)"
cflags="$(pkg-config --cflags voxl310k)"
for source in "$src_root"/tools/voxl/*.cpp; do
  # shellcheck disable=SC2086
  "$cxx" -std=c++20 -Wall -Wextra -Werror -c "$source" -o "$prefix/$(basename "$source" .cpp).o" \
    $cflags &
done
wait  # a source that did not compile leaves its object missing, and the link fails
# shellcheck disable=SC2086
"$cxx" "$prefix"/*.o -o "$prefix/voxl" $flags -Wl,-rpath,"$libdir"
voxls=("$prefix/voxl")
if grep -q '^VOXL_BUILD_TOOLS:BOOL=ON' "$build/CMakeCache.txt"; then voxls+=("$prefix/bin/voxl"); fi
installed_lib="$(realpath "$libdir/libvoxl310k.so")"
for voxl in "${voxls[@]}"; do
  used="$(ldd "$voxl" | awk '$1 ~ /^libvoxl310k/ {print $3}')"
  if [[ -z "$used" || "$(realpath "$used")" != "$installed_lib" ]]; then
    echo "$voxl does not run on the installed library:" >&2
    ldd "$voxl" >&2
    exit 1
  fi
  listed="$(VOXL_AUDIO_DRIVER=virtual "$voxl" devices)"
  if ! grep -q "0  Virtual Input .*(default: -1 opens it)" <<<"$listed"; then
    echo "$voxl devices printed: $listed" >&2
    exit 1
  fi
done
echo "ok: voxl builds and runs on the installed library"

# Exports: exactly the VOXL_API functions of the installed headers (so no C++ symbols).
lib="$libdir/libvoxl310k.so"
exported="$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)"
declared="$(sed -n 's/^VOXL_API [^(]*[ *]\([A-Za-z0-9_]*\)(.*/\1/p' \
  "$includedir/voxl310k.h" "$includedir/voxl310k_platform.h" | sort)"
if [[ "$exported" != "$declared" ]]; then
  echo "exports of $lib differ from the headers' VOXL_API functions (< exported, > declared):" >&2
  diff <(echo "$exported") <(echo "$declared") >&2 || true
  exit 1
fi
echo "ok: $(wc -l <<<"$exported") exports, all declared in the headers"

# A CMake project finds the package and links its target, built from the same host source.
mkdir -p "$prefix/cmake-host"
cat > "$prefix/cmake-host/CMakeLists.txt" <<'CMAKE'
cmake_minimum_required(VERSION 3.16)
project(host C)
find_package(voxl310k 0.1 CONFIG REQUIRED)
add_executable(host ../host.c)
target_link_libraries(host voxl310k::voxl310k)
set_target_properties(host PROPERTIES BUILD_RPATH "${VOXL_LIBDIR}")
CMAKE
cmake -S "$prefix/cmake-host" -B "$prefix/cmake-host/build" -DCMAKE_PREFIX_PATH="$prefix" \
  -DCMAKE_C_COMPILER="$cc" -DVOXL_LIBDIR="$libdir" >/dev/null
cmake --build "$prefix/cmake-host/build" >/dev/null
VOXL_AUDIO_DRIVER=virtual "$prefix/cmake-host/build/host"

# The manual page and the completion, when voxl is installed: every command in both.
if grep -q '^VOXL_BUILD_TOOLS:BOOL=ON' "$build/CMakeCache.txt"; then
  page="$prefix/${MANDIR:-share/man}/man1/voxl.1"
  completion="$prefix/share/bash-completion/completions/voxl"
  for command in devices stream record formats info play cut compact; do
    grep -q "^\.SH \"voxl $command\"" "$page" || { echo "no $command in $page" >&2; exit 1; }
    grep -q "^    $command) options=" "$completion" || { echo "no $command in $completion" >&2; exit 1; }
  done
  bash -n "$completion"
  echo "ok: manual page and bash completion for every command"
fi
