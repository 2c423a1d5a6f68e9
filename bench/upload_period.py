#!/usr/bin/python3
"""One busy period through the production daemon in the gateway sandbox: 100 modules post 10
metrics each over the bus, and at the daemon's own period end it uploads the 1000 aggregated
metrics to the cloud stand-in over real TLS. Once with the system CA bundle plus the stand-in's
CA installed as cacert.pem (a gateway's default), once with the stand-in's CA alone. Prints a
Markdown table: period end to the last accepted upload, daemon CPU per upload, uploads
accepted, samples refused, and the TLS connections the stand-in saw.

    SM_BUILD_DIR=build/normal bench/upload_period.py [--modules 100] [--metrics 10]
        [--label TEXT]          # SM_E2E_DAEMON=path runs another daemon binary

Takes a little over a minute per CA case (the period is 60 s).
"""

import argparse
import os
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.dirname(os.path.abspath(__file__))),
                                "tests", "e2e"))
import harness  # noqa: E402

PERIOD_S = 60.0
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
UPLOAD_PATH = "/metric/product/tessar/user"


def parse_args():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--modules", type=int, default=100)
    p.add_argument("--metrics", type=int, default=10)
    p.add_argument("--label", default="")
    return p.parse_args()


def cpu_seconds(pid):
    fields = harness.read_text("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def start_peers(name):
    """A gateway with monitoring switched on and every peer of the daemon but the cloud."""
    gw = harness.Gateway(name)
    gw.install_agent("normal")
    gw.install_dps()
    harness.write_text(harness.SERIAL_FILE, harness.SERIAL_LINE)
    gw.start_bus(monitor=False)
    gw.start_watchdog()
    gw.start_config_manager(dict(harness.AGENT_KEYS, **harness.DEVICE, gw_zeb_switch="1"))
    gw.start_credential([harness.CLOUD_CREDENTIAL])
    return gw


def start(label, full_bundle):
    gw = start_peers("upload-period-" + label)
    gw.start_cloud([harness.CLOUD_CREDENTIAL])
    if full_bundle:
        harness.write_text(harness.CA_FILE, harness.read_text(SYSTEM_BUNDLE) + "\n" +
                           harness.read_text(harness.CA_FILE))
    return gw


def post_period(gw, args):
    refused = 0
    for m in range(args.modules):
        params = [{"metricName": "metric_%d" % i, "value": m + i * 0.5, "collectRule": "avg"}
                  for i in range(args.metrics)]
        reply = gw.post(harness.metric_request(None, "bench-%d" % m, "module_%d/fn" % m, params))
        refused += reply["code"] != 0
    return refused


def run_case(args, label, full_bundle):
    gw = start(label, full_bundle)
    try:
        certs = harness.read_text(harness.CA_FILE).count("BEGIN CERTIFICATE")
        launched = time.time()  # the daemon's first period starts during its start-up
        daemon = gw.start_daemon()
        daemon.wait_for_log(r"init zeb sdk success", timeout=40)
        refused = post_period(gw, args)
        time.sleep(max(launched + PERIOD_S - 2 - time.time(), 0))
        cpu_before = cpu_seconds(daemon.pid)
        count = args.modules * args.metrics
        harness.poll_count(gw.cloud.records, count - refused * args.metrics, 300, "uploads")
        cpu = cpu_seconds(daemon.pid) - cpu_before
        uploads = [e for e in gw.cloud.events() if e.get("path") == UPLOAD_PATH]
        accepted = [e for e in uploads if e["kind"] == "accepted"]
        last = max(e["time"] for e in accepted)
        refused += daemon.count(r"not in")
        return ("| %s | %d certificate%s | %d of %d | %.1f s | %.2f ms | %d | %d |"
                % (args.label, certs, "s" if certs > 1 else "", len(accepted), count,
                   last - (launched + PERIOD_S), cpu * 1000 / max(len(uploads), 1), refused,
                   len({e.get("connection") for e in uploads})))
    finally:
        gw.close()


def main():
    args = parse_args()
    harness.ensure_sandbox()
    print("| daemon | CA bundle | uploads accepted | period end → last accepted upload "
          "| daemon CPU per upload | posts refused | TLS connections |")
    print("|---|---|---|---|---|---|---|")
    for label, full in (("full", True), ("one", False)):
        print(run_case(args, label, full), flush=True)


if __name__ == "__main__":
    main()
