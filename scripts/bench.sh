#!/usr/bin/env bash
# Benchmark: builds Corvane.exe (win64) and the native runner without sanitizers, then times atftp
# downloads of a 64 MiB file from them and from tftpd-hpa's in.tftpd (scripts/bench.py).
# Extra arguments go to bench.py (e.g. --rounds 3). Build directories can be moved with
# CORVANE_WIN64_BUILD and CORVANE_NATIVE_BUILD.
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
python3 scripts/bench.py --exe "$win64/Corvane.exe" --native "$native/corvane-serve" \
  --wineprefix "$WINEPREFIX" "$@"
