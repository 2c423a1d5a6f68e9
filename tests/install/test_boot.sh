#!/usr/bin/env bash
# The packages under a real systemd: boots a Debian 12 container (systemd-nspawn, systemd
# as its PID 1) with the gateway's stand-in peers as units of their own, and runs
# boot_checks.sh there (install, readiness, status, watchdog, stop, upgrade, remove,
# purge). The container's root is debootstrapped once into build/boot-root/KEY, KEY
# naming its package list, and booted on a throw-away overlay, so a rerun starts at once.
# Usage: test_boot.sh DIR (the folder holding the .deb files and zeb_agent_sim).
# Prints SKIP with the reason, and exits 0, where no container can boot.
set -euo pipefail
dir=$(realpath "$1")
source "$(dirname "${BASH_SOURCE[0]}")/../../scripts/lib.sh"
skip() { echo "SKIP: boot test: $*"; exit 0; }

[ "$(id -u)" -eq 0 ] || skip "booting a container needs root"
sm_install_packages systemd-container debootstrap
# What the container needs besides systemd: the daemon's libraries and CA bundle, the bus
# daemon, the Python stand-ins and openssl for their test CA.
packages=systemd,dbus-daemon,ca-certificates,libcjson1,libcurl4,openssl,python3,python3-dbus,python3-gi
key=$(echo "bookworm $packages" | sha256sum | cut -c1-12)
base="$SM_ROOT/build/boot-root"
root="$base/$key"
if [ ! -d "$root" ]; then
  echo "==> debootstrap of the container's root (build/boot-root/$key)"
  rm -rf "$base" && mkdir -p "$base"
  mirror=$(sed -n 's/^URIs: *//p' /etc/apt/sources.list.d/debian.sources 2>/dev/null | head -1)
  debootstrap --variant=minbase --include="$packages" bookworm "$root.new" \
    "${mirror:-http://deb.debian.org/debian}" >"$base/debootstrap.log" 2>&1 ||
    skip "debootstrap failed ($(tail -1 "$base/debootstrap.log"))"
  mv "$root.new" "$root"
fi

# A fresh overlay over the cached root for every run; the logs come out through a bind.
run=$(mktemp -d /tmp/sm-boot.XXXXXX)
cleanup() { umount "$run/root" 2>/dev/null || true; umount "$run" 2>/dev/null || true; rm -rf "$run"; }
trap cleanup EXIT
mount -t tmpfs -o mode=0755 sm-boot "$run"
mkdir -p "$run/upper" "$run/work" "$run/root" "$run/logs"
mount -t overlay overlay -o "lowerdir=$root,upperdir=$run/upper,workdir=$run/work" "$run/root"
units="$run/root/etc/systemd/system"
cat >"$units/boot-checks.service" <<EOF
[Unit]
Description=Service monitor boot checks
[Service]
Type=exec
ExecStart=/bin/sh -c '/src/tests/install/boot_checks.sh /pkgs >/logs/checks.log 2>&1; systemctl exit \$?'
[Install]
WantedBy=multi-user.target
EOF
ln -s ../boot-checks.service "$units/multi-user.target.wants/boot-checks.service"
{ echo "127.0.0.1 localhost"
  echo "127.0.0.1 monitor-api.cloud.example metrics.cloud.example metrics-pre.cloud.example"
} >"$run/root/etc/hosts"

# Where systemd is not PID 1 here, --register=no --keep-unit let nspawn run without a
# machine manager; where even a plain command cannot run, no container can boot.
nspawn=(systemd-nspawn -q -M sm-boot --register=no --keep-unit --private-network -D "$run/root")
"${nspawn[@]}" /bin/true </dev/null >"$run/logs/probe.log" 2>&1 ||
  skip "no container can run here: $(tail -1 "$run/logs/probe.log")"
echo "==> booting the container (systemd-nspawn -b)"
rc=0
timeout 900 "${nspawn[@]}" --console=pipe --bind-ro="$SM_ROOT:/src" --bind-ro="$dir:/pkgs" \
  --bind="$run/logs:/logs" -b </dev/null >"$run/logs/console.log" 2>&1 || rc=$?
if [ -e "$run/logs/checks.log" ]; then cat "$run/logs/checks.log"; else tail -20 "$run/logs/console.log"; fi
[ $rc -eq 0 ] || { echo "boot test FAILED (status $rc)"; exit 1; }
