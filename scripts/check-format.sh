#!/usr/bin/env bash
# Checks that the C and C++ sources follow .clang-format: src, include, tools, tests and bench.
# Prints each file clang-format would change and exits 1 when there is one; changes nothing.
# `clang-format -i FILE` formats a file.
# Usage: scripts/check-format.sh [ROOT]
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

if ! command -v clang-format >/dev/null; then
  echo "check-format: clang-format is not installed (scripts/install-deps.sh installs it)" >&2
  exit 2
fi

folders=()
for folder in src include tools tests bench; do
  [[ -d "$folder" ]] && folders+=("$folder")
done

unformatted=0
while IFS= read -r -d '' file; do
  if ! clang-format --dry-run -Werror "$file" >/dev/null 2>&1; then
    echo "check-format: $file is not formatted"
    unformatted=$((unformatted + 1))
  fi
done < <(find "${folders[@]}" -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) -print0 |
  sort -z)

if [[ $unformatted -gt 0 ]]; then
  echo "check-format: $unformatted file(s) differ from .clang-format"
  exit 1
fi
echo "check-format: every file follows .clang-format"
