#!/usr/bin/env bash
# Builds Corvane.exe (x86_64, so that it runs under this machine's Wine), registers it for foreground
# mode and serves a boot directory on UDP port 6051, with its trace lines on this console. Ctrl-C ends it.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
bash scripts/setup.sh

cmake --preset win64 >/dev/null
cmake --build --preset win64 --target Corvane

# The program serves the directory it lies in: put it beside the boot files.
boot=${CORVANE_BOOT_DIR:-$root/build/boot}
mkdir -p "$boot"
cp build/win64/Corvane.exe "$boot/"
cp -n scripts/boot/* "$boot/" 2>/dev/null || true

bash scripts/wine.sh up
trap 'bash "$root/scripts/wine.sh" down' EXIT
cd "$boot"
# "RegServer" writes the program's AppID entries without the service value: a start without a switch
# then serves in the foreground of this console.
bash "$root/scripts/wine.sh" Corvane.exe /RegServer
echo "Serving $boot on UDP port 6051 (try: curl -o /tmp/sample.txt tftp://127.0.0.1:6051/sample.txt)"
bash "$root/scripts/wine.sh" Corvane.exe
