#!/usr/bin/python3
"""The simulated gateway around the installed service monitor (run by scripts/demo, inside
the sandbox): bus, configuration manager, credential service, watchdog, cloud stand-in,
agent and DPS stand-ins; sample modules post metrics with busctl; each period's uploads
are shown as the cloud stand-in verified them. Ctrl-C stops everything in order."""

import argparse
import json
import os
import random
import shutil
import signal
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402

BASE = "/harbex/gateway/build"
DAEMON = os.path.join(BASE, "bin", "service_monitor")
PERIOD_S = 60
# How long the demo waits for a period's verified uploads before it gives up: two periods.
PERIOD_WAIT_S = 2 * PERIOD_S + 15

CONFIG = dict(harness.DEVICE, **harness.AGENT_KEYS,
              gw_zeb_switch="1", gw_dps_switch="1", vt_serialNumber="GW-DEMO-0001")

# Sample gateway modules: (module name, metric, collect rule, value generator).
SAMPLES = [
    ("network/wan", "rx_kbytes", "accumulate", lambda: random.randint(50, 150)),
    ("network/wan", "rssi_dbm", "avg", lambda: random.randint(-80, -55)),
    ("system", "cpu_load", "update", lambda: round(random.uniform(0.1, 2.5), 2)),
    ("system", "mem_free_mb", "avg", lambda: random.randint(180, 260)),
    ("storage/sd/card0", "writes", "accumulate", lambda: random.randint(0, 12)),
]

# Start-up and registration steps, as the daemon logs them.
MILESTONES = [
    ("register service monitor to monitor", "on the gateway bus as iot.dmp.service.monitor"),
    ("ZEB switch:", "monitoring switch read"),
    ("run /harbex/gateway/build/bin/vestrel/ZebGoAgent.linux success", "monitoring agent started"),
    ("report serialNum(", "agent serial number published"),
    ("update credential success", "cloud credential fetched"),
    ("get gw_system_productkey OK", "product key read"),
    ("get gw_system_devicename OK", "device name read"),
    ("init zeb sdk success", "registered in the cloud monitor group"),
]

tty = sys.stdout.isatty()
stop_requested = False


def say(text):
    stamp = time.strftime("%H:%M:%S")
    print(("\r\033[K" if tty else "") + "%s  %s" % (stamp, text), flush=True)


def status(text):
    if tty:
        print("\r\033[K" + text, end="", flush=True)


def on_sigint(_signum, _frame):
    global stop_requested
    if stop_requested:  # a second Ctrl-C: no more waiting
        raise KeyboardInterrupt
    stop_requested = True


def install_daemon(build):
    say("installing the service monitor with cmake --install into %s" % BASE)
    subprocess.run(["cmake", "--install", build, "--prefix", BASE], check=True,
                   stdout=subprocess.DEVNULL)


def start_gateway(gw, build):
    gw.install_agent("normal")
    gw.install_dps()
    gw.start_bus(monitor=False)
    gw.start_watchdog()
    gw.start_config_manager(CONFIG)
    say("bus, watchdog and configuration manager up (switches on, keys, serial, device)")
    install_daemon(build)
    # After the installation: the stand-in's test CA replaces the installed bundle.
    gw.start_cloud([harness.CLOUD_CREDENTIAL])
    gw.start_credential([harness.CLOUD_CREDENTIAL])
    say("cloud stand-in (HTTPS, test CA) and credential service up")
    gw.daemon = gw.start("daemon", [DAEMON], env=gw.env, cwd=os.path.dirname(DAEMON))
    say("service monitor started (pid %d)" % gw.daemon.pid)
    return gw.cloud


# Failures a person wants to see while the gateway registers or uploads.
TROUBLE = ("zeb sdk init failed", "create group(", "create group instance(",
           "upload to zeb failed", "update credential failed", "curl_easy_perform() failed")


class Milestones:
    def __init__(self, daemon):
        self.daemon = daemon
        self.seen = set()
        self.lines_read = 0

    def report(self):
        lines = self.daemon.log_lines()
        fresh, self.lines_read = lines[self.lines_read:], len(lines)
        for line in fresh:
            if any(t in line for t in TROUBLE):
                say("  \u2718 " + harness.log_message(line))
            for needle, label in MILESTONES:
                if needle not in self.seen and needle in line:
                    self.seen.add(needle)
                    say("  \u2714 " + label)
        return len(self.seen) == len(MILESTONES)


class Watchdog:
    """Reports the daemon's feedDog signals as the watchdog stand-in received them."""

    def __init__(self, gw):
        self.gw = gw
        self.count = 0
        self.starved = 0

    def report(self):
        feeds = self.gw.feeds()
        if feeds and self.count == 0:
            say("  \u2714 watchdog fed (feedDog %s, %s, %s s), then about every 5 s"
                % (feeds[0].get("service"), feeds[0].get("loop"), feeds[0].get("seconds")))
        starved = self.gw.watchdog_records("starved")
        if len(starved) > self.starved:
            say("  \u2718 watchdog: main loop starved")
        self.starved = len(starved)
        self.count = len(feeds)
        return self.count


def post(gw, module, params):
    request = {"id": "demo-%d" % random.randint(1, 99999), "ts": int(time.time() * 1000),
               "moduleName": module, "params": params}
    res = gw.run("busctl", "--json=short", "call", harness.MONITOR_NAME, harness.MONITOR_PATH,
                 harness.MONITOR_NAME, "PostMetricData", "s", json.dumps(request))
    if res.returncode != 0:
        return None, res.stderr.strip()
    reply = json.loads(json.loads(res.stdout)["data"][0])
    return reply["code"], reply["message"]


def post_round(gw, posted):
    by_module = {}
    for module, metric, rule, gen in SAMPLES:
        by_module.setdefault(module, []).append(
            {"metricName": metric, "value": gen(), "collectRule": rule})
    summary = []
    for module, params in by_module.items():
        code, message = post(gw, module, params)
        if code is None:
            summary.append("%s not delivered (%s)" % (module, message))
            continue
        if code != 0:
            summary.append("%s refused (code %s: %s)" % (module, code, message))
            continue
        for p in params:
            posted[(module, p["metricName"])] = posted.get((module, p["metricName"]), 0) + 1
        summary.append("%s %d" % (module, len(params)))
    return summary


def dims_key(body):
    rec = body[0]
    dims = rec["dimensions"]
    module = dims["serviceName"] + ("/" + dims["functionName"] if dims["functionName"] else "")
    return module, rec["metricName"]


def show_uploads(batch, posted):
    rules = {(m, n): r for m, n, r, _ in SAMPLES}
    say("period uploads verified by the cloud stand-in (%d):" % len(batch))
    print("    %-20s %-12s %-11s %12s  %s" % ("module", "metric", "rule", "value", "samples"))
    for rec in batch:
        body = json.loads(rec["body"])
        module, metric = dims_key(body)
        # The upload carries serviceName/functionName only: match the posting module.
        full = next((m for m, n, _, _ in SAMPLES if n == metric and m.startswith(module)), module)
        print("    %-20s %-12s %-11s %12s  %d" % (full, metric, rules.get((full, metric), "?"),
                                                 "%.10g" % body[0]["value"],
                                                 posted.pop((full, metric), 0)))
    sys.stdout.flush()


def run(gw, cloud, args):
    """Shows each period's verified uploads; returns how many periods were shown."""
    milestones = Milestones(gw.daemon)
    watchdog = Watchdog(gw)
    posted = {}
    seen_uploads = 0
    periods = 0
    period_end = time.time() + PERIOD_S  # the daemon's first period starts with it
    # The first period may end before the gateway is registered: its uploads come with the
    # next one at the latest.
    give_up = time.time() + PERIOD_WAIT_S
    next_post = 0.0
    registered = False
    while not stop_requested and gw.daemon.alive():
        registered = milestones.report() or registered
        now = time.time()
        if registered and now >= next_post:
            say("samples accepted: " + ", ".join(post_round(gw, posted)))
            next_post = now + args.every
        records = cloud.records()
        if len(records) > seen_uploads:
            time.sleep(1.0)  # the rest of the period's uploads
            records = cloud.records()
            show_uploads(records[seen_uploads:], posted)
            seen_uploads = len(records)
            periods += 1
            period_end = time.time() + PERIOD_S
            give_up = time.time() + PERIOD_WAIT_S
            if args.periods and periods >= args.periods:
                say("%d period(s) uploaded" % periods)
                return periods
        if now > give_up:
            say("  \u2718 no verified uploads within %d s: stopping" % PERIOD_WAIT_S)
            return periods
        while period_end < now:
            period_end += PERIOD_S
        feeds = watchdog.report()
        status("  next upload in %2d s   watchdog feeds: %d   (Ctrl-C stops)"
               % (max(0, int(period_end - now)), feeds))
        time.sleep(0.5)
    if not gw.daemon.alive():
        say("  \u2718 the service monitor ended unexpectedly (%s):\n%s"
            % (gw.daemon.state(), "\n".join(gw.daemon.log_lines()[-20:])))
    return periods


def stop_gateway(gw):
    """Stops the daemon with SIGINT, then the gateway; True when the daemon ended in order
    (status 0 and its exit line)."""
    orderly = False
    if gw.daemon is not None and gw.daemon.alive():
        say("stopping the service monitor (SIGINT)")
        try:
            status_code = gw.daemon.stop(signal.SIGINT, timeout=30)
        except AssertionError as e:  # still running
            status_code = str(e)
        orderly = status_code == 0 and gw.daemon.has("service_monitor exit")
        say("service monitor exited with status %s%s"
            % (status_code, ", orderly" if orderly else ", NOT in order"))
    gw.close()
    say("gateway stopped; nothing is left behind")
    return orderly


def keep_logs(gw, dest):
    """Copies the gateway's logs out of the sandbox: daemon, bus peers, cloud requests."""
    if not dest:
        say("logs were in the sandbox's %s (gone with it; --keep-logs DIR keeps them)"
            % gw.log_dir)
        return
    target = os.path.join(dest, os.path.basename(gw.log_dir))
    shutil.rmtree(target, ignore_errors=True)
    shutil.copytree(gw.log_dir, target, ignore_dangling_symlinks=True)
    say("logs kept in %s" % target)


def main():
    parser = argparse.ArgumentParser(description=__doc__)
    parser.add_argument("--build", required=True, help="the build tree to install from")
    parser.add_argument("--periods", type=int, default=0,
                        help="stop after this many upload periods (default: until Ctrl-C)")
    parser.add_argument("--every", type=float, default=5.0,
                        help="seconds between sample rounds (default 5)")
    parser.add_argument("--keep-logs", metavar="DIR",
                        help="copy the gateway's logs into DIR before the sandbox goes")
    args = parser.parse_args()
    os.environ.setdefault("SM_BUILD_DIR", args.build)
    signal.signal(signal.SIGINT, on_sigint)
    gw = harness.Gateway("demo", log_dir="/tmp/gateway-demo")
    periods, orderly = 0, False
    try:
        cloud = start_gateway(gw, args.build)
        periods = run(gw, cloud, args)
    except KeyboardInterrupt:
        pass
    except (OSError, subprocess.CalledProcessError, AssertionError) as e:
        say("  \u2718 the gateway could not be started: %s" % e)
    finally:
        print()
        orderly = stop_gateway(gw)
        keep_logs(gw, args.keep_logs)
    wanted = max(args.periods, 1)
    if periods < wanted or not orderly:
        say("demo FAILED: %d of %d period(s) verified, %s"
            % (periods, wanted, "stopped in order" if orderly else "not stopped in order"))
        return 1
    return 0


if __name__ == "__main__":
    sys.exit(main())
