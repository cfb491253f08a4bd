#!/usr/bin/env bash
# Runs the Wine prefix of the win64 build: "up" creates and warms it, "down" ends its server,
# anything else runs that Windows command inside it. The prefix lives in the build tree, never in ~/.wine.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
export WINEPREFIX=${WINEPREFIX:-$root/build/win64/wineprefix}
export WINEDEBUG=${WINEDEBUG:--all}
export WINEDLLOVERRIDES=${WINEDLLOVERRIDES:-mscoree,mshtml=}
W=/usr/lib/wine

case "${1:-}" in
  up)
    mkdir -p "$(dirname "$WINEPREFIX")"
    if [ ! -f "$WINEPREFIX/system.reg" ]; then
      $W/wine64 wineboot --init </dev/null >/dev/null 2>&1
      $W/wineserver64 -w
    fi
    # A persistent server and services.exe must not hold the caller's pipes (ctest would wait forever).
    $W/wineserver64 -p </dev/null >/dev/null 2>&1 || true
    $W/wine64 wineboot </dev/null >/dev/null 2>&1
    ;;
  down)
    $W/wineserver64 -k </dev/null >/dev/null 2>&1 || true
    ;;
  "")
    echo "usage: $0 up|down|COMMAND [ARGS...]" >&2; exit 2
    ;;
  *)
    exec $W/wine64 "$@"
    ;;
esac
