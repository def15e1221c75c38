#!/usr/bin/env bash
# Shows that the test suite catches real faults: applies each deliberate fault of
# scripts/faults.txt to the source, one at a time, rebuilds, runs the tests that should notice,
# and restores the source.  Prints one line per fault (caught, SURVIVED, STALE when its text is
# no longer found exactly once or its labels select no test, BROKEN when the faulty source does
# not compile) and the share caught; exits 1 below 90% or when any fault is STALE or BROKEN.
# Usage: scripts/fault-check.sh [FAULT-ID...]     (default: every fault)
# Works on a private copy of the tree in build/faults/tree (built in build/faults/build), so the
# shared source is never touched and other builds never see a fault.
set -euo pipefail
cd "$(dirname "$0")/.."
list="$PWD/scripts/faults.txt"
root="$PWD/build/faults/tree"
build="$PWD/build/faults/build"

# One run at a time: runs share the copy and the build.
mkdir -p build/faults
exec 9>build/faults/lock
flock -n 9 || { echo "fault-check: another run is using build/faults" >&2; exit 2; }

# A fresh copy each run (files deleted here must vanish there); -p keeps the times of unchanged
# files, so the build stays incremental.
rm -rf "$root" && mkdir -p "$root"
tar -C . --exclude=./build --exclude=./.git -cf - . | tar -C "$root" -xpf -
# A run stopped while a fault was built leaves that file's faulty objects behind: rebuild it.
marker="$PWD/build/faults/faulted"
[[ -f "$marker" ]] && touch -c "$root/$(cat "$marker")"
cmake -S "$root" -B "$build" -G Ninja -DCMAKE_BUILD_TYPE=RelWithDebInfo -DVOXL_BUILD_TESTS=ON \
  -DVOXL_BUILD_BENCH=OFF >/dev/null
cmake --build "$build" -j "$(nproc)" >/dev/null
eval "$(bash scripts/start-pulse.sh 9>&-)" || true  # the server must not inherit the lock
unset VOXL_VIRTUAL_INPUT

# One fault per block of "key: value" lines (id, file, find, replace, tests), blocks separated
# by blank lines; "#" starts a comment line.  `tests` is a ctest -L label expression (the test
# folders: engine, wavefile, api, mmio, wave, alsa, messages, strings, system, tools, acm, ...).
declare -a ids files finds replaces tests whats
parse() {
  local id="" file="" find="" replace="" test="" what=""
  flush() {
    if [[ -n "$id" ]]; then
      ids+=("$id"); files+=("$file"); finds+=("$find"); replaces+=("$replace")
      tests+=("$test"); whats+=("$what")
    fi
    id="" file="" find="" replace="" test="" what=""
  }
  while IFS= read -r line || [[ -n "$line" ]]; do
    [[ "$line" =~ ^[[:space:]]*# ]] && continue
    if [[ -z "${line// /}" ]]; then flush; continue; fi
    local key="${line%%:*}" value="${line#*:}"
    value="${value# }"  # "replace:" alone is an empty replacement
    case "$key" in
      id) id="$value" ;; what) what="$value" ;; file) file="$value" ;;
      find) find="$value" ;; replace) replace="$value" ;; tests) test="$value" ;;
      *) echo "fault-check: unknown key '$key' in $list" >&2; exit 2 ;;
    esac
  done <"$list"
  flush
}
parse

wanted=("$@")
is_wanted() {
  [[ ${#wanted[@]} -eq 0 ]] && return 0
  local w
  for w in "${wanted[@]}"; do [[ "$w" == "$1" ]] && return 0; done
  return 1
}

# The tests of a label expression, quietly; the first failure ends the run (a hung test ends at
# its time limit).  The same call checks the unfaulted suite, so it cannot fail for its own sake.
run_tests() {
  ctest --test-dir "$build" -L "$1" -j "$(nproc)" --timeout 60 --stop-on-failure >/dev/null 2>&1
}

# The unfaulted suite must pass the tests the faults name, or every fault would look caught.
# (One run per label expression: ctest's regular expressions have a small size limit.)
declare -A checked=()
for i in "${!ids[@]}"; do
  is_wanted "${ids[$i]}" || continue
  label="${tests[$i]}"
  [[ -n "${checked[$label]:-}" ]] && continue
  checked[$label]=1
  run_tests "$label" && continue
  echo "fault-check: the unfaulted tests labelled $label fail in $build; fix them first" >&2
  exit 2
done

caught=0 survived=0 stale=0
survivors=()
backup=$(mktemp)
trap 'rm -f "$backup"' EXIT
for i in "${!ids[@]}"; do
  is_wanted "${ids[$i]}" || continue
  file="$root/${files[$i]}"
  count=$(FIND="${finds[$i]}" perl -0ne '$n = () = /\Q$ENV{FIND}\E/g; print $n' "$file" 2>/dev/null || echo 0)
  selected=$(ctest --test-dir "$build" -N -L "${tests[$i]}" | sed -n 's/^Total Tests: //p')
  if [[ "$count" != 1 || "${selected:-0}" == 0 ]]; then
    printf '%-6s STALE     %s (text found %s times in %s, %s tests labelled %s)\n' "${ids[$i]}" \
      "${whats[$i]}" "${count:-0}" "${files[$i]}" "${selected:-0}" "${tests[$i]}"
    stale=$((stale + 1))
    continue
  fi
  cp -p "$file" "$backup"
  echo "${files[$i]}" >"$marker"
  FIND="${finds[$i]}" REPLACE="${replaces[$i]}" perl -0pi -e 's/\Q$ENV{FIND}\E/$ENV{REPLACE}/' "$file"
  verdict=SURVIVED
  if ! cmake --build "$build" -j "$(nproc)" >/dev/null 2>&1; then
    verdict=BROKEN  # the fault does not compile: it tests nothing, so the list must change
  elif ! run_tests "${tests[$i]}"; then
    verdict=caught
  fi
  cp -p "$backup" "$file"
  touch "$file"
  case "$verdict" in
    caught) caught=$((caught + 1)) ;;
    BROKEN) stale=$((stale + 1)) ;;
    *) survived=$((survived + 1)); survivors+=("${ids[$i]}") ;;
  esac
  printf '%-6s %-9s %s\n' "${ids[$i]}" "$verdict" "${whats[$i]}"
done
cmake --build "$build" -j "$(nproc)" >/dev/null
rm -f "$marker"

total=$((caught + survived))
echo "fault-check: $caught of $total faults caught, $survived survived${survivors[*]:+ (${survivors[*]})}, $stale stale or broken"
[[ $total -gt 0 && $((caught * 100)) -ge $((total * 90)) && $stale -eq 0 ]]
