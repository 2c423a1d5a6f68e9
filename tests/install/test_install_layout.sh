#!/bin/sh
# The installed tree has the gateway layout, honours DESTDIR and leaves the stand-in
# libraries out unless asked for; the systemd unit starts the daemon where it was installed.
set -eu
build=$1
dest=$(mktemp -d)
trap 'rm -rf "$dest"' EXIT
fail() { echo "FAIL: $*" >&2; exit 1; }

DESTDIR="$dest" cmake --install "$build" --prefix /opt/gw >/dev/null
root="$dest/opt/gw"
[ -x "$root/bin/service_monitor" ] || fail "no bin/service_monitor under DESTDIR"
[ -s "$root/config/service-monitor/cacert.pem" ] || fail "no CA bundle beside bin"
[ ! -e "$root/lib/liblogger.so" ] || fail "stand-in libraries installed without being asked"
readelf -d "$root/bin/service_monitor" | grep -q 'RUNPATH.*\$ORIGIN/\.\./lib' ||
  fail "the executable does not look for its libraries in ../lib"
unit="$dest/lib/systemd/system/service-monitor.service"
[ -f "$unit" ] || fail "no systemd unit under DESTDIR"
grep -qx 'ExecStart=/opt/gw/bin/service_monitor' "$unit" ||
  fail "the unit does not start the installed daemon: $(grep '^ExecStart' "$unit")"
echo "install layout ok"
