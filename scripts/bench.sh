#!/usr/bin/env bash
# Benchmark: builds Corvane.exe (win64) and the native runner without sanitizers, then times 1, 4 and 16
# atftp clients at once against them and against tftpd-hpa's in.tftpd, and counts the DATA datagrams sent
# per block through a path that duplicates 5 % of the datagrams (scripts/bench.py).
# Extra arguments go to bench.py (e.g. --rounds 3, --mib 8). Build directories can be moved with
# CORVANE_WIN64_BUILD and CORVANE_NATIVE_BUILD; CORVANE_OLD_NATIVE names the corvane-serve of an earlier
# build to compare on the duplicating path. It binds UDP 6051, 6970 and 6971 of this machine's loopback.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
win64=${CORVANE_WIN64_BUILD:-$root/build/win64}
native=${CORVANE_NATIVE_BUILD:-$root/build/native-release}

bash scripts/setup.sh
cmake --preset win64 -B "$win64" >/dev/null
cmake --build "$win64" --target Corvane -- -j2 >/dev/null
cmake --preset native-release -B "$native" >/dev/null
cmake --build "$native" --target corvane_serve -- -j2 >/dev/null

export WINEPREFIX=$win64/wineprefix
bash scripts/wine.sh up
trap 'bash scripts/wine.sh down' EXIT
old=()
[ -n "${CORVANE_OLD_NATIVE:-}" ] && old=(--old-native "$CORVANE_OLD_NATIVE")
python3 scripts/bench.py --exe "$win64/Corvane.exe" --native "$native/corvane-serve" \
  --wineprefix "$WINEPREFIX" "${old[@]}" "$@"
