#!/usr/bin/env bash
# Builds every preset and runs all tests: native (with sanitizers) and the win64 build under Wine.
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh || exit 1

for p in win32 win64 native; do
  cmake --preset "$p" >/dev/null || exit 1
  cmake --build --preset "$p" -- -j2 || exit 1
done

passed=0; failed=0
count() {  # adds ctest's "N tests failed out of M" to the totals
  local line n m
  line=$(grep -E 'tests passed, [0-9]+ tests? failed out of [0-9]+' "$1" | tail -n 1)
  [ -n "$line" ] || { failed=$((failed + 1)); return; }
  n=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\1/' <<<"$line")
  m=$(sed -E 's/.* ([0-9]+) tests? failed out of ([0-9]+).*/\2/' <<<"$line")
  passed=$((passed + m - n)); failed=$((failed + n))
}

log=$(mktemp)
ctest --preset native 2>&1 | tee "$log"; count "$log"

bash scripts/wine.sh up
ctest --preset win64 2>&1 | tee "$log"; count "$log"
bash scripts/wine.sh down
rm -f "$log"

echo "$passed passed, $failed failed"
[ "$failed" -eq 0 ]
