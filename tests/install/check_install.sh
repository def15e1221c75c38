#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small host against it through
# pkg-config, as a user of the installed library would: as C99 (pedantic), C11 and C++.  The
# host creates a recorder on the virtual devices, lists the input devices through the method
# table, fills a variant and destroys the recorder.  The library must export exactly the
# functions the public headers declare: no C++ symbols.
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
flags="$(pkg-config --define-variable=prefix="$prefix" --cflags --libs voxl310k)"
libdir="$(pkg-config --define-variable=prefix="$prefix" --variable=libdir voxl310k)"
includedir="$(pkg-config --define-variable=prefix="$prefix" --variable=includedir voxl310k)"
build_host() {  # NAME COMPILER OPTIONS...
  local name="$1" compiler="$2"
  shift 2
  # shellcheck disable=SC2086  # the pkg-config flags are words
  "$compiler" "$@" -Wall -Wextra -Werror "$prefix/host.c" -o "$prefix/$name" $flags \
    -Wl,-rpath,"$libdir"
  VOXL_AUDIO_DRIVER=virtual "$prefix/$name"
}
build_host host-c99 "$cc" -std=c99 -pedantic
build_host host-c11 "$cc" -std=c11
build_host host-cxx "$cxx" -x c++ -std=c++20 -pedantic

# Exports: exactly the VOXL_API functions of the installed headers.
lib="$libdir/libvoxl310k.so"
exported="$(nm -D --defined-only "$lib" | awk '{print $3}' | sort)"
declared="$(sed -n 's/^VOXL_API [^(]*[ *]\([A-Za-z0-9_]*\)(.*/\1/p' \
  "$includedir/voxl310k.h" "$includedir/voxl310k_platform.h" | sort)"
if grep -q '^_Z' <<<"$exported"; then
  echo "C++ symbols exported by $lib:" >&2
  grep '^_Z' <<<"$exported" >&2
  exit 1
fi
if [[ "$exported" != "$declared" ]]; then
  echo "exports of $lib differ from the headers' VOXL_API functions (< exported, > declared):" >&2
  diff <(echo "$exported") <(echo "$declared") >&2 || true
  exit 1
fi
echo "ok: $(wc -l <<<"$exported") exports, all declared in the headers"
