#!/usr/bin/python3
"""The period-end upload against the cloud stand-in, over real TLS in the gateway sandbox.

Runs upload_driver (one period's bodies through the cloud client) once per CA case: the
system CA bundle with the stand-in's CA appended (what a gateway installs by default) and
the stand-in's CA alone. Prints a Markdown table: period end to the last accepted upload,
daemon CPU per upload, and the TLS connections the stand-in saw.

    SM_BUILD_DIR=build/normal bench/upload_bench.py [--count 1000] [--driver PATH]
        [--sequential] [--label TEXT] [--link RTT_MS,UP_KBPS,DOWN_KBPS]
"""

import argparse
import os
import shutil
import subprocess
import sys
import tempfile

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "sim", "cloud"))
sys.path.insert(0, HERE)
from cloud_harness import CloudStandIn  # noqa: E402

BASE = "/harbex/gateway/build"
SYSTEM_BUNDLE = "/etc/ssl/certs/ca-certificates.crt"
CRED = {"accessKeyId": "LTAIbenchKey", "accessKeySecret": "bench/Secret+=",
        "securityToken": "CAIS" + "t0k/en+=" * 40}


def parse_args():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--count", type=int, default=1000)
    p.add_argument("--driver", help="upload_driver to run (default: the build tree's)")
    p.add_argument("--sequential", action="store_true",
                   help="one upload after another, as a client without batch upload does")
    p.add_argument("--label", default="", help="first column of the table")
    p.add_argument("--link", metavar="RTT_MS,UP_KBPS,DOWN_KBPS",
                   help="upload through link_emulator.py with this round trip and these rates "
                        "(the stand-in's CA alone then)")
    return p.parse_args()


def in_sandbox():
    """Re-executes this script inside scripts/sandbox unless already there."""
    if os.environ.get("SM_IN_SANDBOX"):
        return
    build = os.path.realpath(os.environ.get("SM_BUILD_DIR", os.path.join(SOURCE, "build/normal")))
    env = dict(os.environ, SM_BUILD_DIR=build, SM_SOURCE_DIR=SOURCE)
    argv = [os.path.join(SOURCE, "scripts", "sandbox")]
    driver = parse_args().driver
    if driver:
        argv += ["--bind", os.path.dirname(os.path.realpath(driver))]
    sys.exit(subprocess.call(argv + [sys.executable, os.path.abspath(__file__)] + sys.argv[1:],
                             env=env))


def install_driver(path):
    for sub in ("bin", "lib"):
        os.makedirs(os.path.join(BASE, sub), exist_ok=True)
    shutil.copy(path, os.path.join(BASE, "bin", "upload_driver"))
    logger = os.path.join(os.environ["SM_BUILD_DIR"], "platform", "logger", "liblogger.so")
    shutil.copy(logger, os.path.join(BASE, "lib", "liblogger.so"))


def install_bundle(cloud, full):
    dest = cloud.install_ca(BASE)
    if full:
        with open(SYSTEM_BUNDLE, "rb") as f:
            system = f.read()
        with open(dest, "rb") as f:
            ours = f.read()
        with open(dest, "wb") as f:
            f.write(system + b"\n" + ours)
    with open(dest, encoding="ascii", errors="replace") as f:
        return f.read().count("BEGIN CERTIFICATE")


def run_driver(args, work):
    env = dict(os.environ, CLOUD_ACCESS_KEY_ID=CRED["accessKeyId"],
               CLOUD_ACCESS_KEY_SECRET=CRED["accessKeySecret"],
               CLOUD_SECURITY_TOKEN=CRED["securityToken"],
               GATEWAY_LOG_FILE=os.path.join(work, "driver.log"))
    argv = [os.path.join(BASE, "bin", "upload_driver"), str(args.count)]
    argv += ["--sequential"] if args.sequential else []
    out = subprocess.run(argv, capture_output=True, text=True, env=env, timeout=600).stdout
    return dict(kv.split("=") for kv in out.split())


def over_link(args, work):
    """One period through the link emulator: the relay takes the client's port 443 and
    forwards to the stand-in on 4443. Prints one row with the link's bytes per upload."""
    from link_emulator import LinkEmulator
    rtt, up, down = (float(v) for v in args.link.split(","))
    print("| link | uploads accepted | period end → last accepted upload | uploads/s "
          "| bytes per upload up / down | TLS connections |")
    print("|---|---|---|---|---|---|")
    with CloudStandIn(os.path.join(work, "cloud"), [CRED], https_port=4443,
                      http_port=-1) as cloud, \
            LinkEmulator("127.0.0.1:443", "127.0.0.1:4443", rtt_ms=rtt, up_kbps=up,
                         down_kbps=down) as link:
        install_bundle(cloud, False)
        figures = run_driver(args, work)
        stats = link.stats()
    seconds = int(figures["wall_ms"]) / 1000
    accepted = int(figures["accepted"])
    print("| %g ms, %g/%g kbit/s %s | %d of %s | %.1f s | %.1f | %d / %d | %d |"
          % (rtt, up, down, args.label, accepted, figures["uploads"], seconds,
             accepted / max(seconds, 0.001), stats["bytes_up"] / max(accepted, 1),
             stats["bytes_down"] / max(accepted, 1), stats["connections"]), flush=True)


def main():
    args = parse_args()
    in_sandbox()
    driver = args.driver or os.path.join(os.environ["SM_BUILD_DIR"], "bench", "upload_driver")
    install_driver(driver)
    work = tempfile.mkdtemp(prefix="upload-bench-")
    if args.link:
        over_link(args, work)
        return
    print("| client | CA bundle | uploads accepted | period end → last accepted upload "
          "| CPU per upload | TLS connections |")
    print("|---|---|---|---|---|---|")
    with CloudStandIn(os.path.join(work, "cloud"), [CRED], http_port=-1) as cloud:
        for full in (True, False):
            certs = install_bundle(cloud, full)
            before = len(cloud.events())
            figures = run_driver(args, work)
            connections = {e.get("connection") for e in cloud.events()[before:]}
            print("| %s | %d certificate%s | %s of %s | %.1f s | %.3f ms | %d |"
                  % (args.label, certs, "s" if certs > 1 else "", figures["accepted"],
                     figures["uploads"], int(figures["wall_ms"]) / 1000,
                     float(figures["cpu_per_upload_ms"]), len(connections)), flush=True)


if __name__ == "__main__":
    main()
