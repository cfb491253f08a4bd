#!/usr/bin/env bash
# Installs from Debian's packages everything that building, testing and benchmarking Corvane need.
# Idempotent: packages already present are not fetched again.
set -euo pipefail

packages=(
  cmake ninja-build g++ python3 iproute2
  g++-mingw-w64-i686-posix g++-mingw-w64-x86-64-posix mingw-w64-tools binutils-mingw-w64
  wine wine64
  googletest
  curl tftp-hpa atftp tftpd-hpa
  libwrap0 libpcre2-8-0  # what the benchmark's atftpd, taken from its package uninstalled, links against
)

missing=()
for p in "${packages[@]}"; do
  dpkg-query -W -f='${Status}' "$p" 2>/dev/null | grep -q "install ok installed" || missing+=("$p")
done

if [ "${#missing[@]}" -gt 0 ]; then
  SUDO=""
  [ "$(id -u)" -eq 0 ] || SUDO="sudo"
  # The benchmark starts its own in.tftpd; the packaged daemon must not come up as a system service.
  policy=/usr/sbin/policy-rc.d
  had_policy=0
  [ -e "$policy" ] && had_policy=1
  if [ "$had_policy" -eq 0 ]; then
    printf '#!/bin/sh\nexit 101\n' | $SUDO tee "$policy" >/dev/null
    $SUDO chmod 755 "$policy"
  fi
  $SUDO apt-get update -qq
  DEBIAN_FRONTEND=noninteractive $SUDO apt-get install -y -qq --no-install-recommends "${missing[@]}"
  [ "$had_policy" -eq 1 ] || $SUDO rm -f "$policy"
fi

# Should an earlier install have started the packaged tftpd (started with --listen, a child of init), stop
# that daemon only: the init script would end every in.tftpd, the benchmark's own among them.
for pid in $(pgrep -x in.tftpd || true); do
  if [ "$(ps -o ppid= -p "$pid" | tr -d ' ')" = 1 ] && tr '\0' ' ' <"/proc/$pid/cmdline" | grep -q -- '--listen'; then
    kill "$pid" 2>/dev/null || true
  fi
done
if command -v systemctl >/dev/null 2>&1 && systemctl is-enabled tftpd-hpa >/dev/null 2>&1; then
  systemctl disable --now tftpd-hpa >/dev/null 2>&1 || true
fi
exit 0
