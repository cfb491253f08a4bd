#!/usr/bin/env bash
# Builds every preset and runs all tests: native (with sanitizers), the release build's imports (all on
# Windows 7) and the win64 build under Wine.
# Each suite runs in a network namespace of its own where the system allows it, so that UDP port 6051 is
# the suite's alone whatever else runs on the machine. The result is ctest's exit status; the last line
# adds up ctest's counts as "N passed, N failed".
set -uo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh || exit 1

for p in win32 win64 native; do
  cmake --preset "$p" >/dev/null || exit 1
  cmake --build --preset "$p" -- -j2 || exit 1
done

# The namespace's loopback gets an address of each family beside 127.0.0.1 and ::1: a client that looks names up
# only for the families with a configured address (tftp-hpa) would otherwise take neither loopback address.
isolated() {
  if unshare -n true 2>/dev/null; then
    unshare -n bash -c 'ip link set lo up && { ip addr add 10.254.0.1/32 dev lo; ip addr add fd00:6051::1/128 dev lo; } 2>/dev/null
                        exec "$@"' isolated "$@"
  else
    "$@"
  fi
}

passed=0; failed=0; status=0
suite() {  # runs one suite's command, adding its counts to the totals
  local log rc line
  log=$(mktemp)
  isolated "$@" 2>&1 | tee "$log"
  rc=${PIPESTATUS[0]}
  line=$(grep -E '[0-9]+ tests? failed out of [0-9]+' "$log" | tail -n 1)
  rm -f "$log"
  if [[ $line =~ ([0-9]+)\ tests?\ failed\ out\ of\ ([0-9]+) ]]; then
    passed=$((passed + BASH_REMATCH[2] - BASH_REMATCH[1])); failed=$((failed + BASH_REMATCH[1]))
  fi
  # A suite that failed without counting a failed test (it did not run, or ctest itself failed) counts once.
  if [ "$rc" -ne 0 ]; then
    status=1
    [[ $line =~ [1-9][0-9]*\ tests?\ failed ]] || failed=$((failed + 1))
  fi
}

suite ctest --preset native
suite bash scripts/win7-imports.sh
suite bash -c 'bash scripts/wine.sh up && { ctest --preset win64; rc=$?; bash scripts/wine.sh down; exit $rc; }'

echo "$passed passed, $failed failed"
exit "$status"
