#!/usr/bin/env bash
# Prints the share of test code: non-blank, non-comment lines of the C and C++ files under tests/
# against those under src/, include/ and tools/.
# Usage: scripts/test-share.sh [LIMIT]   exits 1 when the share is above LIMIT (e.g. 0.40)
set -euo pipefail
cd "$(dirname "$0")/.."
lines() {
  find "$@" -type f \( -name '*.cpp' -o -name '*.h' -o -name '*.c' \) -print0 | xargs -0 cat |
    grep -v '^\s*$' | grep -v '^\s*//' | grep -cv '^\s*\*\|^\s*/\*'
}
tests=$(lines tests)
code=$(lines src include tools)
share=$(awk -v t="$tests" -v c="$code" 'BEGIN { printf "%.3f", t / c }')
echo "test-share: $tests test lines, $code code lines, share $share"
if [[ $# -gt 0 ]]; then awk -v s="$share" -v l="$1" 'BEGIN { exit !(s <= l) }'; fi
