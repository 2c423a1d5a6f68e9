#!/usr/bin/python3
"""Ingestion figures of the daemon beside a no-op echo service on the same gateway bus.

Runs in the gateway sandbox (root): bus, watchdog, configuration manager (monitoring on),
credential and cloud stand-ins, the daemon registered with the cloud, and ingest_echo.
ingest_client calls PostMetricData on each in turn and the script prints, as JSON:

  instructions  instructions per call (callgrind, whole process: every thread, the manager
                thread's merge included), 1 entry and 10 entries, daemon and echo: counters
                zeroed before the calls and dumped once the manager thread has had its turn
                after them, less the process's idle instructions over that time (measured
                first, over 20 s without calls); a window in which the daemon logs other
                work (period end, upload, credential) is measured again
  calls/s       calls per second with daemon (or echo), bus and client pinned to CPU 0,
                1 client, 10 entries; best of --rounds runs, taken alternately
  switches      context switches of the service's threads per 10-entry call (pinned)
  rss (--rss)   the daemon's resident memory idle, at its peak during a 60 s flood of
                10-entry calls from 2 clients while the cloud hangs every upload, and one
                period after the cloud answers again

Usage: bench/ingest_bench.py --build BUILD [--daemon PATH] [--calls N] [--rounds R] [--rss]
  --daemon  the daemon binary to measure (default BUILD/src/service_monitor); the echo
            and client always come from BUILD/bench.
"""

import argparse
import glob
import json
import os
import re
import shutil
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
sys.path.insert(0, os.path.join(HERE, "..", "tests", "e2e"))

import harness  # noqa: E402

ECHO_NAME = "bench.ingest.echo"
CONFIG = dict(harness.DEVICE, **harness.AGENT_KEYS, gw_zeb_switch="1", gw_dps_switch="0")


def tool(name):
    return os.path.join(harness.build_dir(), "bench", name)


def client(dest, entries, calls, pinned=False):
    argv = [tool("ingest_client"), harness.BUS_ADDRESS, dest, str(entries), str(calls)]
    if pinned:
        argv = ["taskset", "-c", "0"] + argv
    out = subprocess.run(argv, capture_output=True, text=True, check=True, timeout=3600)
    result = json.loads(out.stdout)
    if result["failed"]:
        raise RuntimeError("%s: %d of %d calls failed" % (dest, result["failed"], calls))
    return result


def pin(pid):
    subprocess.run(["taskset", "-a", "-p", "-c", "0", str(pid)], check=True,
                   stdout=subprocess.DEVNULL)


def unpin(pid):
    subprocess.run(["taskset", "-a", "-p", "-c", "0-%d" % (os.cpu_count() - 1), str(pid)],
                   check=True, stdout=subprocess.DEVNULL)


def switches(pid):
    total = 0
    for status in glob.glob("/proc/%d/task/*/status" % pid):
        with open(status, encoding="utf-8") as f:
            for line in f:
                if line.startswith(("voluntary_ctxt_switches", "nonvoluntary_ctxt_switches")):
                    total += int(line.split()[1])
    return total


def daemon_binary():
    return os.environ.get("SM_E2E_DAEMON") or os.path.join(harness.build_dir(), "src",
                                                           "service_monitor")


def start_gateway(gw, wrapper=()):
    """The gateway around the daemon (run under `wrapper`), registered with the cloud."""
    gw.install_agent("normal")
    gw.install_dps()
    harness.write_text(harness.SERIAL_FILE, harness.SERIAL_LINE)
    gw.start_bus(monitor=False)
    gw.start_watchdog()
    gw.start_config_manager(CONFIG)
    gw.start_credential([harness.CLOUD_CREDENTIAL])
    gw.start_cloud([harness.CLOUD_CREDENTIAL])
    src = daemon_binary()
    os.makedirs(os.path.dirname(harness.INSTALLED_DAEMON), exist_ok=True)
    shutil.copy2(src, harness.INSTALLED_DAEMON)
    gw.daemon = gw.start("daemon", list(wrapper) + [harness.INSTALLED_DAEMON], env=gw.env,
                         cwd=os.path.dirname(harness.INSTALLED_DAEMON))
    gw.daemon.wait_for_log("init zeb sdk success", timeout=120)
    # The first call after registration is the one that sets the ready flag.
    client(harness.MONITOR_NAME, 1, 1)


def start_echo(gw, wrapper=()):
    return gw.start("echo", list(wrapper) + [tool("ingest_echo"), harness.BUS_ADDRESS, ECHO_NAME],
                    ready="echo ready", timeout=60)


# Daemon log lines of work that is not ingestion (period end, uploads, credential refresh):
# a window that saw one is measured again.
FOREIGN_WORK = r"period summary|post metric data|upload to zeb|credential"
# Longer than the manager thread's one-second turn, so the calls' batches are merged
# before the counters are dumped.
MERGE_SETTLE_S = 2.5
IDLE_WINDOW_S = 20.0


def measure_instructions(args):
    out_dir = os.path.join(harness.build_dir(), "bench", "callgrind")  # kept for callgrind_annotate
    shutil.rmtree(out_dir, ignore_errors=True)  # process ids repeat from one sandbox to the next
    os.makedirs(out_dir)
    grind = ["valgrind", "--tool=callgrind", "--callgrind-out-file=%s/callgrind.out.%%p" % out_dir]
    figures = {}
    gw = harness.Gateway("bench-callgrind")
    try:
        start_gateway(gw, grind)
        echo = start_echo(gw, grind)
        daemon = Grind(gw.daemon, out_dir)
        reference = Grind(echo, out_dir)
        for entries in (1, 10):
            d = daemon.per_call(harness.MONITOR_NAME, entries, args.callgrind_calls)
            e = reference.per_call(ECHO_NAME, entries, args.callgrind_calls)
            figures["instructions_%d" % entries] = {"daemon": round(d), "echo": round(e),
                                                    "ratio": round(d / e, 2)}
        figures["idle_instructions_per_s"] = {"daemon": round(daemon.idle_rate),
                                              "echo": round(reference.idle_rate)}
    finally:
        gw.close()
    return figures


class Grind:
    """Instruction counts of one process running under callgrind (every thread)."""

    def __init__(self, proc, out_dir):
        self.proc, self.out_dir = proc, out_dir
        self.idle_rate = None

    def per_call(self, dest, entries, calls):
        """Instructions per call over `calls` calls: everything the process did from the
        first call until its merge of the last one, less what it does idle in that time."""
        if self.idle_rate is None:
            self.idle_rate = self._window(lambda: time.sleep(IDLE_WINDOW_S))
        return self._window(lambda: client(dest, entries, calls)) / calls

    def _window(self, work):
        """Instructions of `work` plus MERGE_SETTLE_S, idle subtracted (or, while the idle
        rate is not known yet, the idle rate itself per second)."""
        for _ in range(5):
            foreign = self.proc.count(FOREIGN_WORK)
            subprocess.run(["callgrind_control", "-z", str(self.proc.pid)], check=True,
                           capture_output=True)
            start = time.monotonic()
            work()
            time.sleep(MERGE_SETTLE_S)
            total = self._dump()
            seconds = time.monotonic() - start
            if self.proc.count(FOREIGN_WORK) == foreign:
                if self.idle_rate is None:
                    return total / seconds
                return total - self.idle_rate * seconds
        raise RuntimeError("%s: no window free of period ends" % self.proc.name)

    def _dump(self):
        pattern = os.path.join(self.out_dir, "callgrind.out.%d*" % self.proc.pid)
        before = set(glob.glob(pattern))
        subprocess.run(["callgrind_control", "-d", str(self.proc.pid)], check=True,
                       capture_output=True)
        dumps = harness.poll(lambda: set(glob.glob(pattern)) - before, 30, "no callgrind dump")
        total = 0
        for dump in dumps:
            with open(dump, encoding="utf-8") as f:
                for line in f:
                    m = re.match(r"(totals|summary):\s+(\d+)", line)
                    if m:
                        total = max(total, int(m.group(2)))
        return total


def measure_pinned(args):
    best = {"daemon": 0.0, "echo": 0.0}
    sw = {"daemon": None, "echo": None}
    gw = harness.Gateway("bench-pinned")
    try:
        start_gateway(gw)
        echo = start_echo(gw)
        targets = {"daemon": (gw.daemon.pid, harness.MONITOR_NAME),
                   "echo": (echo.pid, ECHO_NAME)}
        bus_pid = gw.bus.pid
        pin(bus_pid)
        for _ in range(args.rounds):
            for who, (pid, dest) in targets.items():
                pin(pid)
                before = switches(pid)
                result = client(dest, 10, args.calls, pinned=True)
                per_call = (switches(pid) - before) / args.calls
                unpin(pid)
                rate = result["calls"] / result["seconds"]
                if rate > best[who]:
                    best[who] = rate
                sw[who] = per_call if sw[who] is None else min(sw[who], per_call)
    finally:
        gw.close()
    return {"calls_per_s": {k: round(v) for k, v in best.items()},
            "calls_ratio": round(best["daemon"] / best["echo"], 2),
            "switches_per_call": {k: round(v, 1) for k, v in sw.items()}}


def rss_kib(pid):
    with open("/proc/%d/status" % pid, encoding="utf-8") as f:
        return next(int(line.split()[1]) for line in f if line.startswith("VmRSS:"))


def measure_rss(args):
    gw = harness.Gateway("bench-rss")
    try:
        start_gateway(gw)
        pid = gw.daemon.pid
        time.sleep(2)
        idle = rss_kib(pid)
        gw.cloud.set_control({"upload": {"delay": 3600}})
        clients = []
        peak = idle
        deadline = time.monotonic() + args.flood_seconds
        while time.monotonic() < deadline:
            clients = [c for c in clients if c.poll() is None]
            while len(clients) < 2:
                clients.append(subprocess.Popen(
                    [tool("ingest_client"), harness.BUS_ADDRESS, harness.MONITOR_NAME, "10",
                     "2000"], stdout=subprocess.DEVNULL))
            peak = max(peak, rss_kib(pid))
            time.sleep(0.5)
        for c in clients:
            c.wait()
        gw.cloud.set_control({})
        time.sleep(70)  # one period with a working cloud
        after = rss_kib(pid)
    finally:
        gw.close()
    return {"rss_kib": {"idle": idle, "peak": peak, "after": after,
                        "peak_above_idle": peak - idle, "after_above_idle": after - idle}}


def main():
    parser = argparse.ArgumentParser(description=__doc__,
                                     formatter_class=argparse.RawDescriptionHelpFormatter)
    parser.add_argument("--build", default=os.environ.get("SM_BUILD_DIR"), required=False)
    parser.add_argument("--daemon", default=None)
    parser.add_argument("--calls", type=int, default=5000)
    parser.add_argument("--callgrind-calls", type=int, default=1000)
    parser.add_argument("--rounds", type=int, default=3)
    parser.add_argument("--skip-callgrind", action="store_true")
    parser.add_argument("--skip-pinned", action="store_true")
    parser.add_argument("--rss", action="store_true", help="measure memory only")
    parser.add_argument("--flood-seconds", type=float, default=60)
    args = parser.parse_args()
    if not args.build:
        sys.exit("--build (or SM_BUILD_DIR) is required")
    os.environ["SM_BUILD_DIR"] = os.path.abspath(args.build)
    if args.daemon:
        os.environ["SM_E2E_DAEMON"] = os.path.abspath(args.daemon)
    harness.ensure_sandbox()
    figures = {"daemon": daemon_binary()}
    if args.rss:
        figures.update(measure_rss(args))
        print(json.dumps(figures, indent=1))
        return
    if not args.skip_pinned:
        figures.update(measure_pinned(args))
    if not args.skip_callgrind:
        figures.update(measure_instructions(args))
    print(json.dumps(figures, indent=1))


if __name__ == "__main__":
    main()
