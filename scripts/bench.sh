#!/usr/bin/env bash
# Benchmark: builds Corvane.exe (win64), the native runner without sanitizers and the benchmark's own
# compiled peers (an ideal lock-step server, a delaying and duplicating relay), takes atftpd 0.8 out of its
# Debian package without installing it, and runs scripts/bench.py in a network namespace of its own
# (loopback only, so ports 6051 and 6970-6975, every 127.0.0.x and ::1 are its alone; sections 1 and 2 measure
# over IPv6 too, a client to ::1). Extra arguments go to bench.py: --quick for a smoke check of a few minutes,
# --sections N... (any of 123456; 6 is a forged sender's amplification and lock-out, about two minutes),
# --rounds N, --mib N, --delay-mib N, --clients-mib N.
set -euo pipefail
root=$(cd "$(dirname "$0")/.." && pwd)
cd "$root"
win64=${CORVANE_WIN64_BUILD:-$root/build/win64}
native=${CORVANE_NATIVE_BUILD:-$root/build/native-release}
tools=$root/build/bench

bash scripts/setup.sh
cmake --preset win64 -B "$win64" >/dev/null
cmake --build "$win64" --target Corvane -- -j2 >/dev/null
cmake --preset native-release -B "$native" >/dev/null
cmake --build "$native" --target corvane_serve -- -j2 >/dev/null
mkdir -p "$tools"
for tool in IdealServer:ideal-server Relay:relay; do
  g++ -std=c++17 -O2 -Wall -Wextra -o "$tools/${tool#*:}" "scripts/bench/${tool%:*}.cpp"
done
if [ ! -x "$tools/atftpd" ]; then
  # Installing atftpd would remove tftpd-hpa's in.tftpd, the other peer: run it from the package instead.
  (cd "$tools" && rm -rf atftpd-deb atftpd_*.deb &&
   { apt-get download -q atftpd >/dev/null 2>&1 || { apt-get update -qq && apt-get download -q atftpd >/dev/null; }; } &&
   dpkg-deb -x atftpd_*.deb atftpd-deb && ln -sf atftpd-deb/usr/sbin/atftpd atftpd)
fi

export WINEPREFIX=$win64/wineprefix
# in.tftpd will not start without an address beside 127.0.0.1; a second one on lo keeps the namespace closed.
# Clients that run at once each reach the servers at an address of their own, 10.254.1.N, and so come from it: the
# runner holds at most 8 transfers per host, as a laboratory's instruments each have their own address.
exec unshare -n bash -c '
  ip link set lo up && ip addr add 10.254.0.1/24 dev lo || exit 1
  for n in $(seq 16); do ip addr add 10.254.1.$n/32 dev lo || exit 1; done
  bash scripts/wine.sh up
  trap "bash scripts/wine.sh down" EXIT
  python3 scripts/bench.py --exe "$1/Corvane.exe" --native "$2/corvane-serve" --wineprefix "$WINEPREFIX" \
    --tools "$3" "${@:4}"' bench "$win64" "$native" "$tools" "$@"
