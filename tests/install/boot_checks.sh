#!/bin/sh
# Inside the container test_boot.sh boots, as a unit of its systemd: the packages of
# folder $1 installed, upgraded, removed and purged, the daemon among the gateway's
# stand-in peers (transient units), checked with systemctl and journalctl.
set -eu
pkgs=$1
base=/harbex/gateway/build
bus=unix:path=/tmp/var/run/mbusd/mbusd_socket
unit=service-monitor.service
work=/var/lib/sm-boot
passed=0
mkdir -p "$work"

fail() {
  echo "FAIL: $*"
  journalctl -u "$unit" --no-pager -o cat -n 40
  echo "boot: $passed passed, 1 failed"
  exit 1
}
ok() { passed=$((passed + 1)); echo "ok: $*"; }
# wait_until SECONDS COMMAND...: polls COMMAND every 0.2 s for at most SECONDS.
wait_until() {
  tries=$(($1 * 5)); shift
  while ! "$@" >/dev/null 2>&1; do
    tries=$((tries - 1)); [ "$tries" -gt 0 ] || return 1; sleep 0.2
  done
}
prop() { systemctl show -p "$1" --value "$unit"; }
logged() { journalctl -u "$unit" --no-pager -o cat | grep -q "$1"; }
# logged_now PATTERN: in the log of the unit's current run only.
logged_now() { journalctl --no-pager -o cat _SYSTEMD_INVOCATION_ID="$(prop InvocationID)" | grep -q "$1"; }
owned() { busctl --address="$bus" status "$1"; }
outage() { echo "$1" >"$work/control.json"; }
post() {
  reply=$(busctl --address="$bus" call iot.dmp.service.monitor /iot/dmp/service/monitor \
    iot.dmp.service.monitor PostMetricData s "{\"id\":\"$1\",\"ts\":$(date +%s%3N),\
\"moduleName\":\"boot\",\"params\":[{\"metricName\":\"$1\",\"value\":1,\"collectRule\":\"update\"}]}")
  echo "$reply" | grep -q '\\"code\\":0' || fail "PostMetricData $1: $reply"
}

# The gateway's peers: bus, configuration manager (switches on), credential service and the
# cloud, whose test CA joins the system's bundle as an integrator's private CA would.
dpkg -i "$pkgs"/service-monitor-standins_*.deb >"$work/dpkg.log" 2>&1 || fail "stand-ins: dpkg -i"
sh /src/sim/cloud/make_test_ca.sh "$work/ca"
cp "$work/ca/ca.pem" /usr/local/share/ca-certificates/cloud-stand-in.crt
update-ca-certificates >/dev/null 2>&1
printf '%s\t%s\n' gw_account_id 1234567890 gw_system_productkey pk01 gw_system_devicename dev01 \
  gw_zeb_accessKey agentAccessKey01 gw_zeb_secretKey agentSecretKey02 gw_zeb_switch 1 \
  gw_dps_switch 1 vt_serialNumber GW-BOOT-0001 >"$work/config.store"
echo '{"credentials": [{"accessKeyId": "STS.gatewayKey", "accessKeySecret": "gateway-secret",
  "securityToken": "CAIStoken"}]}' >"$work/credentials.json"
outage '{"upload": {"status": 503}}'
mkdir -p /tmp/var/run/mbusd "$base/bin/vestrel" "$base/bin/dps/script"
cp "$pkgs/zeb_agent_sim" "$base/bin/vestrel/ZebGoAgent.linux"
cp /src/sim/dps/startDPS.sh /src/sim/dps/stopDPS.sh "$base/bin/dps/script/"
systemd-run -q --unit=mbusd dbus-daemon --config-file=/src/sim/bus/gateway-bus.conf --nofork
wait_until 20 busctl --address="$bus" list || fail "gateway bus"
systemd-run -q --unit=gw-config "$base/bin/config_manager_service" --address "$bus" \
  --store "$work/config.store"
systemd-run -q --unit=gw-credential python3 /src/sim/credential/credential_sim.py \
  --address "$bus" --credentials "$work/credentials.json" --duration 3600 \
  --control "$work/credential-control.json" --record "$work/credential.jsonl"
systemd-run -q --unit=gw-cloud python3 /src/sim/cloud/cloud_sim.py \
  --credentials "$work/credentials.json" --control "$work/control.json" \
  --record "$work/uploads.jsonl" --events "$work/events.jsonl" --state "$work/state.json" \
  --ready-file "$work/ready.json" --cert "$work/ca/server.pem" --key "$work/ca/server.key" \
  --https-port 443 --http-port 80
wait_until 30 owned iot.gateway.config && wait_until 30 owned iot.gateway.credential &&
  wait_until 30 test -e "$work/ready.json" || fail "stand-in peers"

# Install: enabled, started, active only once ready (its bus name is logged before
# systemd's start line), the STATUS line shown.
dpkg -i "$pkgs"/service-monitor_*.deb >"$work/dpkg.log" 2>&1 || fail "dpkg -i: $(cat "$work/dpkg.log")"
[ "$(systemctl is-enabled "$unit")" = enabled ] && [ "$(prop ActiveState)" = active ] ||
  fail "not enabled and active after install"
[ "$(readlink "$base/config/service-monitor/cacert.pem")" = /etc/ssl/certs/ca-certificates.crt ] ||
  fail "cacert.pem is not the system's"
order=$(journalctl -u "$unit" --no-pager -o cat | awk -v u="^Started $unit" '
  /register service monitor to monitor/ { printf "on-bus " } $0 ~ u { printf "started" }')
[ "$order" = "on-bus started" ] || fail "active before the daemon was ready: $order"
systemctl status "$unit" --no-pager | grep -Eq 'Status: "(running|period: )' ||
  fail "no STATUS line: $(systemctl status "$unit" --no-pager | head -8)"
ok "install: enabled, active once ready, status '$(prop StatusText)'"

# The hardened unit leaves the gateway's work possible: the daemon registers in the cloud
# (TLS through the system's bundle), writes the agent's property files and starts the agent
# and the DPS start script.
wait_until 60 logged "init zeb sdk success" || fail "no cloud registration"
wait_until 30 test -s /tmp/agent-sim/record.jsonl || fail "the agent did not start"
wait_until 30 grep -q startDPS.sh /tmp/dps-sim/record.log || fail "startDPS.sh did not run"
[ -s /etc/vestrel/serial_number.properties ] && [ -s "$base/bin/vestrel/config/accesskey.properties" ] ||
  fail "the agent's property files are missing"
grep -q '"serialNumber": "GW-BOOT-0001"' /tmp/agent-sim/record.jsonl ||
  fail "the agent did not read its serial number: $(cat /tmp/agent-sim/record.jsonl)"
ok "confined: registered, agent, property files, DPS script"

# Upgrade to a rebuilt package: restarted (SIGINT, its exit line), the metric posted before
# kept at the stop and uploaded by the new daemon.
post before-upgrade
dpkg-deb -R "$pkgs"/service-monitor_*.deb "$work/rebuilt"
sed -i 's/^Version: .*/&+boot1/' "$work/rebuilt/DEBIAN/control"
dpkg-deb -b "$work/rebuilt" "$work/rebuilt.deb" >/dev/null
pid=$(prop MainPID)
dpkg -i "$work/rebuilt.deb" >"$work/dpkg.log" 2>&1 || fail "upgrade: $(cat "$work/dpkg.log")"
[ "$(prop ActiveState)" = active ] && [ "$(prop MainPID)" != "$pid" ] || fail "not restarted on upgrade"
logged "service_monitor exit" || fail "no exit line at the upgrade's stop"
outage '{}'
wait_until 120 grep -q before-upgrade "$work/uploads.jsonl" || fail "the kept metric was not uploaded"
logged "metrics kept from before" || fail "the new daemon found no backlog"
ok "upgrade: restarted, backlog carried over and uploaded"

# A daemon that stops answering is ended by the watchdog and restarted.
pid=$(prop MainPID) restarts=$(prop NRestarts)
kill -STOP "$pid"
wait_until 120 sh -c "[ \"\$(systemctl show -p NRestarts --value $unit)\" -gt $restarts ] &&
  [ \"\$(systemctl show -p ActiveState --value $unit)\" = active ]" || fail "no watchdog restart"
logged "Watchdog timeout" || fail "no watchdog time-out logged"
ok "watchdog: a stopped daemon was ended and restarted"

# systemctl stop: SIGINT, the exit line, the backlog written, a clean result.
wait_until 60 logged_now "init zeb sdk success" || fail "no registration after the restart"
outage '{"upload": {"status": 503}}'
post before-stop
systemctl stop "$unit"
logged_now "service_monitor exit" || fail "no exit line at stop"
[ "$(prop Result)" = success ] && ls "$base"/data/service-monitor/backlog-*.seg >/dev/null ||
  fail "stop: result $(prop Result), backlog: $(ls "$base/data/service-monitor" 2>&1)"
ok "stop: in order, backlog written"

# Remove stops the running daemon and keeps its backlog; purge takes the backlog and the
# link, and leaves the gateway's files.
systemctl start "$unit"
dpkg -r service-monitor >"$work/dpkg.log" 2>&1 || fail "dpkg -r"
[ "$(prop ActiveState)" != active ] && [ ! -e "$base/bin/service_monitor" ] &&
  ls "$base"/data/service-monitor/backlog-*.seg >/dev/null || fail "remove"
ok "remove: stopped, backlog kept"
dpkg -P service-monitor >"$work/dpkg.log" 2>&1 || fail "dpkg -P"
[ ! -e "$base/data/service-monitor" ] && [ ! -L "$base/config/service-monitor/cacert.pem" ] &&
  [ -s /etc/vestrel/serial_number.properties ] && [ -x "$base/bin/cfgtool" ] &&
  [ ! -e /etc/systemd/system/multi-user.target.wants/$unit ] || fail "purge: $(find "$base")"
ok "purge: backlog and link gone, the gateway's files kept"
echo "boot: $passed passed, 0 failed"
