#!/usr/bin/env bash
# Installs the build into a scratch prefix and builds a small C host against it through
# pkg-config, as a user of the installed library would; the host creates a recorder on the
# virtual devices, lists the input devices through the method table and destroys it.
# Usage: check_install.sh BUILD_DIR C_COMPILER
set -euo pipefail
build="$1"
cc="$2"
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
  VoxlDestroyRecorder(r);
  printf("ok: %u input device(s)\n", (unsigned)count);
  return 0;
}
C
"$cc" -std=c11 -Wall -Wextra -Werror "$prefix/host.c" -o "$prefix/host" \
  $(pkg-config --define-variable=prefix="$prefix" --cflags --libs voxl310k) \
  -Wl,-rpath,"$(pkg-config --define-variable=prefix="$prefix" --variable=libdir voxl310k)"
VOXL_AUDIO_DRIVER=virtual "$prefix/host"
