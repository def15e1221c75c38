#!/usr/bin/env bash
# Checks who may include whom.  From the bottom up: include/ (public) · src/platform · src/core
# (the recorder record) · src/formats · src/wavefile · src/engine · src/api · tools/ (public
# headers only).  A file includes only from its own folder or from folders below it; tools/ see
# nothing of src/.  Quoted includes are looked up beside the file, then in include/ and src/;
# angle-bracket includes in include/ and src/ (any other is a system header and not checked).
# Prints each upward include and exits 1 when there is one.
# Usage: scripts/check-layers.sh [ROOT]
set -euo pipefail
root="${1:-$(dirname "$0")/..}"
cd "$root"

rank() {
  case "$1" in
    include) echo 0 ;; platform) echo 1 ;; core) echo 2 ;; formats) echo 3 ;;
    wavefile) echo 4 ;; engine) echo 5 ;; api) echo 6 ;; tools) echo 7 ;; *) echo -1 ;;
  esac
}

# The layer an include names, seen from the file that includes it: QUOTE is '"' or '<'.
# Empty for a system header.
target_layer() {
  local from_dir="$1" name="$2" quote="$3"
  if [[ "$quote" == '"' && -e "$from_dir/$name" ]]; then
    layer_of "$from_dir/$name"
  elif [[ -e "include/$name" ]]; then
    layer_of "include/$name"
  elif [[ -e "src/$name" ]]; then
    layer_of "src/$name"
  elif [[ "$quote" == '"' ]]; then
    echo unknown
  fi
}

# The layer of a file; "../" in the path is resolved first, so it cannot hide a layer.
layer_of() {
  local path
  path="$(realpath -m --relative-to=. "$1")"
  case "$path" in
    include/*) echo include ;;
    src/*) path="${path#src/}"; echo "${path%%/*}" ;;
    tools/*) echo tools ;;
    *) echo unknown ;;
  esac
}

violations=0
while IFS= read -r file; do
  from=$(layer_of "$file")
  from_rank=$(rank "$from")
  while IFS= read -r line; do
    quote=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*(["<]).*/\1/' <<<"$line")
    name=$(sed -E 's/^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]([^">]+)[">].*/\1/' <<<"$line")
    to=$(target_layer "$(dirname "$file")" "$name" "$quote")
    [[ -n "$to" ]] || continue
    to_rank=$(rank "$to")
    bad=0
    if [[ "$from" == tools ]]; then
      [[ "$to" == include || "$to" == tools ]] || bad=1
    elif [[ "$to_rank" -lt 0 || "$to_rank" -gt "$from_rank" ]]; then
      bad=1
    fi
    if [[ $bad -eq 1 ]]; then
      echo "check-layers: $file ($from) includes \"$name\" ($to)"
      violations=$((violations + 1))
    fi
  done < <(grep -E '^[[:space:]]*#[[:space:]]*include[[:space:]]*["<]' "$file" || true)
done < <(find src tools include -type f \( -name '*.c' -o -name '*.cpp' -o -name '*.h' \) | sort)

if [[ $violations -gt 0 ]]; then
  echo "check-layers: $violations upward include(s)"
  exit 1
fi
echo "check-layers: every include points down"
