#!/bin/sh
# The Debian packages pass lintian and install with dpkg where systemd is not running (the
# unit enabled, the CA bundle a link to the system's), their systemd unit passes
# systemd-analyze verify and security, the installed daemon comes up on the gateway bus
# against the installed stand-ins, answers Introspect and stops in order on SIGINT; an
# integrator's CA bundle survives an upgrade, and purge takes the daemon's backlog only.
# Usage: test_packages.sh DIR (the folder holding the .deb files). Runs itself in the
# gateway sandbox; exit status 77 (skipped) without root.
set -eu
dir=$(realpath "$1")
src=$(cd "$(dirname "$0")/../.." && pwd)
if [ -z "${SM_IN_SANDBOX:-}" ]; then
  exec "$src/scripts/sandbox" --bind "$dir" sh "$src/tests/install/test_packages.sh" "$dir"
fi
base=/harbex/gateway/build
bus=unix:path=/tmp/var/run/mbusd/mbusd_socket
name=iot.dmp.service.monitor
logs=$(mktemp -d)
fail() { echo "FAIL: $*" >&2; for f in "$logs"/*; do echo "--- $f"; tail -20 "$f"; done >&2; exit 1; }
# wait_until SECONDS COMMAND...: polls COMMAND every 0.1 s for at most SECONDS.
wait_until() {
  tries=$(($1 * 10)); shift
  while ! "$@" >/dev/null 2>&1; do
    tries=$((tries - 1)); [ "$tries" -gt 0 ] || return 1; sleep 0.1
  done
}

unit=/lib/systemd/system/service-monitor.service
ca=$base/config/service-monitor/cacert.pem
dpkg -i "$dir"/service-monitor_*.deb "$dir"/service-monitor-standins_*.deb >"$logs/dpkg" 2>&1 ||
  fail "dpkg -i"
grep -q "systemd is not running here" "$logs/dpkg" || fail "postinst did not say systemd is not running"
[ -L /etc/systemd/system/multi-user.target.wants/service-monitor.service ] ||
  fail "the unit is not enabled"
[ "$(readlink "$ca")" = /etc/ssl/certs/ca-certificates.crt ] || fail "cacert.pem is not the system's"
grep -qx "ExecStart=$base/bin/service_monitor" "$unit" ||
  fail "no systemd unit starting $base/bin/service_monitor"
# verify passes a setting it ignores with a message only: a clean unit prints nothing.
systemd-analyze verify "$unit" >"$logs/verify" 2>&1 &&
  [ ! -s "$logs/verify" ] || fail "systemd-analyze verify: $(cat "$logs/verify")"
systemd-analyze security --offline=yes --threshold=45 "$unit" >"$logs/security" 2>&1 ||
  fail "unit exposure above 4.5: $(tail -1 "$logs/security")"
# Overridden tags are not printed: any error or warning left is a finding.
lintian --no-cfg --fail-on none "$dir"/*.deb >"$logs/lintian" 2>&1 ||
  fail "lintian did not run"
! grep -E '^[EW]: ' "$logs/lintian" || fail "lintian found errors or warnings"

mkdir -p /tmp/var/run/mbusd
dbus-daemon --config-file="$src/sim/bus/gateway-bus.conf" --nofork >"$logs/bus" 2>&1 &
wait_until 10 busctl --address="$bus" list || fail "gateway bus did not start"
: >"$logs/store"
"$base/bin/config_manager_service" --address "$bus" --store "$logs/store" >"$logs/config" 2>&1 &
wait_until 20 grep -q "config_manager_service: serving " "$logs/config" ||
  fail "configuration manager did not start"
(cd "$base/bin" && exec ./service_monitor) >"$logs/daemon" 2>&1 &
daemon=$!
owned() {
  busctl --address="$bus" call org.freedesktop.DBus /org/freedesktop/DBus org.freedesktop.DBus \
    NameHasOwner s "$name" | grep -q true
}
wait_until 30 owned || fail "daemon did not own $name"
busctl --address="$bus" call "$name" /iot/dmp/service/monitor \
  org.freedesktop.DBus.Introspectable Introspect | grep -q notify_config ||
  fail "Introspect did not list notify_config"
kill -INT "$daemon"
wait_until 30 sh -c "! kill -0 $daemon" || fail "daemon did not stop within 30 s of SIGINT"
wait "$daemon" || fail "daemon exited with status $?"

# An integrator's CA bundle stays through an upgrade and a purge; purge takes the daemon's
# segments and their folder, and leaves the gateway's files.
rm "$ca" && echo integrator >"$ca"
dpkg -i "$dir"/service-monitor_*.deb >"$logs/dpkg" 2>&1 || fail "dpkg -i again"
[ "$(cat "$ca")" = integrator ] || fail "an upgrade replaced the integrator's CA bundle"
mkdir -p "$base/data/service-monitor"
touch "$base/data/service-monitor/backlog-0000000000000001.seg" "$base/data/gateway-file"
dpkg --purge service-monitor >"$logs/dpkg" 2>&1 || fail "dpkg --purge"
grep -q "no unit to stop" "$logs/dpkg" || fail "prerm did not say systemd is not running"
[ ! -e "$base/data/service-monitor" ] && [ "$(cat "$ca")" = integrator ] &&
  [ -e "$base/data/gateway-file" ] && [ -x "$base/bin/cfgtool" ] || fail "purge: $(find "$base")"
echo "packages ok"
