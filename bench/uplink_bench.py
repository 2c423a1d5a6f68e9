#!/usr/bin/python3
"""The daemon's uploads over a slow uplink, in the gateway sandbox:

    daemon -> link emulator (127.0.0.1:443, where the cloud's host names resolve)
           -> nginx (TLS, HTTP/1.1 or HTTP/2) -> cloud stand-in (plain HTTP)

A period run posts --modules x --metrics metrics over the bus and measures the daemon's
upload of them at its first period end. A drain run (--drain) holds the link (it vanishes:
nothing forwarded, nothing closed) once the daemon has registered, posts 5000 metrics in two
periods (4000 in the first, then one period's load), releases the link once the daemon has
kept them all, and measures the drain while every period from then on gets its load. Prints one Markdown row (with a header unless --no-header).

    bench/uplink_bench.py --link 300,1000,2000 --protocol h2 [--drain]
        [--modules 100] [--metrics 10] [--daemon PATH] [--label TEXT] [--keep-logs DIR]

Root: it re-runs itself in scripts/sandbox, and installs nginx-light first when nginx is
missing. SM_BUILD_DIR names the build tree (default build/normal).
"""

import argparse
import json
import os
import re
import shutil
import socket
import subprocess
import sys
import time

HERE = os.path.dirname(os.path.abspath(__file__))
SOURCE = os.path.dirname(HERE)
sys.path.insert(0, os.path.join(SOURCE, "tests", "e2e"))
sys.path.insert(0, HERE)
import harness  # noqa: E402
from cloud_harness import CloudStandIn  # noqa: E402
from link_emulator import LinkEmulator  # noqa: E402
from upload_period import start_peers  # noqa: E402

PERIOD_S = 60.0
NGINX_PORT, CLOUD_PORT = 8443, 8080
BACKLOG_METRICS = 5000
# The periods whose metrics the outage keeps: the first carries the rest of the backlog.
OUTAGE_PERIODS = 2
KEPT = re.compile(r"upload failed, (\d+) metrics kept in the backlog")  # every keep logs one

# nginx's defaults but for what a reverse proxy needs (kept upstream connections, the Host
# header) and keepalive_requests: at its default of 1000 one HTTP/2 connection would be
# closed every 1000 uploads of a drain, a cost of this front end rather than the daemon's.
NGINX_CONF = """\
pid {work}/nginx.pid;
error_log {work}/nginx-error.log;
events {{}}
http {{
    log_format timing '$connection $connection_requests $server_protocol $status '
                      '$request_time $upstream_response_time';
    access_log {work}/nginx-access.log timing;
    keepalive_requests 100000;
    upstream cloud {{
        server 127.0.0.1:{cloud_port};
        keepalive 16;
    }}
    server {{
        listen 127.0.0.1:{port} ssl{http2};
        ssl_certificate {ca}/server.pem;
        ssl_certificate_key {ca}/server.key;
        location / {{
            proxy_pass http://cloud;
            proxy_http_version 1.1;
            proxy_set_header Connection "";
            proxy_set_header Host $host;
        }}
    }}
}}
"""


def parse_args():
    p = argparse.ArgumentParser(description=__doc__,
                                formatter_class=argparse.RawDescriptionHelpFormatter)
    p.add_argument("--link", required=True, metavar="RTT_MS,UP_KBPS,DOWN_KBPS")
    p.add_argument("--protocol", choices=("h1", "h2"), default="h1")
    p.add_argument("--modules", type=int, default=100)
    p.add_argument("--metrics", type=int, default=10)
    p.add_argument("--drain", action="store_true",
                   help="a backlog of %d metrics kept in an outage, then the drain"
                        % BACKLOG_METRICS)
    p.add_argument("--daemon", help="the daemon to measure (default: the build tree's)")
    p.add_argument("--label", default="", help="first column of the row")
    p.add_argument("--no-header", action="store_true")
    p.add_argument("--keep-logs", metavar="DIR", help="copy the gateway's logs here")
    args = p.parse_args()
    try:
        args.rtt, args.up, args.down = (float(v) for v in args.link.split(","))
    except ValueError:
        p.error("--link takes RTT_MS,UP_KBPS,DOWN_KBPS")
    if args.up <= 0:
        p.error("the link's share needs an up rate")
    seed = BACKLOG_METRICS - (OUTAGE_PERIODS - 1) * args.modules * args.metrics
    if args.drain and (seed <= 0 or seed % args.metrics):
        p.error("--drain needs %d metrics a period at most, in whole modules"
                % (BACKLOG_METRICS // OUTAGE_PERIODS))
    return args


def prepare(args):
    """On the host: nginx installed, then the same command again in the sandbox."""
    if os.environ.get("SM_IN_SANDBOX"):
        return
    os.environ.setdefault("SM_BUILD_DIR", os.path.join(SOURCE, "build", "normal"))
    if args.daemon:
        os.environ["SM_E2E_DAEMON"] = os.path.realpath(args.daemon)
    keep = os.path.realpath(args.keep_logs or SOURCE)
    if not any(keep == tree or keep.startswith(tree + os.sep) for tree in
               (os.path.realpath(SOURCE), os.path.realpath(os.environ["SM_BUILD_DIR"]))):
        sys.exit("uplink_bench: --keep-logs must be in the source or build tree: the "
                 "sandbox shares only those")
    if os.geteuid() != 0:
        sys.exit("uplink_bench: needs root (package installation, the gateway sandbox)")
    if not shutil.which("nginx", path="/usr/sbin:/usr/bin"):
        subprocess.run(["bash", "-c", 'source "$1/scripts/lib.sh" && sm_install_packages '
                        "nginx-light", "install", SOURCE], check=True)
    harness.ensure_sandbox()


def cpu_seconds(pid):
    fields = harness.read_text("/proc/%d/stat" % pid).rsplit(")", 1)[1].split()
    return (int(fields[11]) + int(fields[12])) / os.sysconf("SC_CLK_TCK")


def wait_listening(port, proc, timeout=10.0):
    def probe():
        if not proc.alive():
            raise AssertionError("%s ended (%s):\n%s" % (proc.name, proc.state(),
                                                         "\n".join(proc.log_lines()[-20:])))
        with socket.socket() as s:
            return s.connect_ex(("127.0.0.1", port)) == 0
    harness.poll(probe, timeout, "%s not listening on %d" % (proc.name, port))


class Bench:
    def __init__(self, args):
        self.args = args
        self.gw = gw = start_peers("uplink-bench")
        self.cloud = CloudStandIn(gw.path("cloud"), [harness.CLOUD_CREDENTIAL], https_port=-1,
                                  http_port=CLOUD_PORT, extra_args=["--behind-tls-proxy"])
        self.cloud.start()
        gw.cloud = self.cloud
        gw.procs["cloud"] = harness._Closer(self.cloud.paths["stand-in.log"], self.cloud.stop)
        self.cloud.install_ca(harness.BASE_DIR)
        self._start_nginx()
        self.link = LinkEmulator("127.0.0.1:443", "127.0.0.1:%d" % NGINX_PORT,
                                 rtt_ms=args.rtt, up_kbps=args.up, down_kbps=args.down)
        self.link.start()
        gw.procs["link"] = harness._Closer(gw.path("link.log"), self.link.stop)
        self.per_period = args.modules * args.metrics

    def _start_nginx(self):
        conf = self.gw.path("nginx.conf")
        harness.write_text(conf, NGINX_CONF.format(
            work=self.gw.log_dir, cloud_port=CLOUD_PORT, port=NGINX_PORT,
            http2=" http2" if self.args.protocol == "h2" else "", ca=self.cloud.ca_dir))
        subprocess.run(["nginx", "-t", "-q", "-c", conf], check=True)
        self.nginx = self.gw.start("nginx", ["nginx", "-c", conf, "-g", "daemon off;"])
        wait_listening(NGINX_PORT, self.nginx)

    def close(self):
        if self.args.keep_logs:
            dest = os.path.join(self.args.keep_logs, "%s-%s%s" % (
                self.args.link.replace(",", "-"), self.args.protocol,
                "-drain" if self.args.drain else ""))
            shutil.rmtree(dest, ignore_errors=True)
            shutil.copytree(self.gw.log_dir, dest, ignore_dangling_symlinks=True)
        self.gw.close()

    def start_daemon(self):
        self.launched = time.time()  # the first period starts during the daemon's start-up
        self.daemon = self.gw.start_daemon()
        # Registration goes over the link too.
        self.daemon.wait_for_log(r"init zeb sdk success", timeout=120)

    def post(self, modules):
        """One request of --metrics metrics for each module; fails on any refusal."""
        for m in range(modules):
            params = [{"metricName": "metric_%d" % i, "value": m + i * 0.5,
                       "collectRule": "avg"} for i in range(self.args.metrics)]
            reply = self.gw.post(harness.metric_request(None, "bench-%d" % m,
                                                        "module_%d/fn" % m, params))
            if reply["code"] != 0:
                raise AssertionError("post refused: %r" % reply)

    def uploads(self):
        """(time accepted, the metric's ts in s) of every accepted upload."""
        return [(r["time"], json.loads(r["body"])[0]["ts"] / 1000)
                for r in self.cloud.records()]

    def settle(self):
        """Lets the last answers cross the link before its bytes are counted."""
        time.sleep(2 * self.args.rtt / 1000 + 1)

    def capacity(self, bytes_up):
        """Uploads per second the up rate carries at that many bytes each."""
        return self.args.up * 1000 / 8 / bytes_up

    def check_protocol(self):
        """Fails unless nginx saw every request over the protocol asked; reports on standard
        error what tells whether nginx held anything up."""
        want = {"h1": "HTTP/1.1", "h2": "HTTP/2.0"}[self.args.protocol]
        lines = [line.split() for line in
                 (harness.read_text(self.gw.path("nginx-access.log")) or "").splitlines()]
        other = [w for w in lines if w[2] != want]
        if not lines or other:
            raise AssertionError("requests not all over %s: %d of %d" % (
                want, len(other), len(lines)))
        upstream = [float(w[5]) for w in lines if w[5] != "-"]
        print("nginx: %d requests, %d connections (at most %d requests on one), answers "
              "other than 200: %d; request time mean %.3f s max %.3f s; upstream mean %.4f s "
              "max %.3f s" % (len(lines), len({w[0] for w in lines}),
                              max(int(w[1]) for w in lines), sum(w[3] != "200" for w in lines),
                              sum(float(w[4]) for w in lines) / len(lines),
                              max(float(w[4]) for w in lines),
                              sum(upstream) / max(len(upstream), 1), max(upstream, default=0)),
              file=sys.stderr, flush=True)

    def period(self):
        self.start_daemon()
        self.post(self.args.modules)
        time.sleep(max(self.launched + PERIOD_S - 3 - time.time(), 0))
        start, cpu0, link0 = time.time(), cpu_seconds(self.daemon.pid), self.link.stats()
        harness.poll_count(self.cloud.records, self.per_period, 900, "uploads")
        cpu = cpu_seconds(self.daemon.pid) - cpu0
        self.settle()
        link1 = self.link.stats()
        uploads = self.uploads()
        ends = {ts for _, ts in uploads}
        if len(ends) != 1 or min(ends) < start:
            raise AssertionError("the posts were not all in the first period, measured "
                                 "from its end: ts %s, measured from %.3f" % (ends, start))
        n, end, last = len(uploads), ends.pop(), max(t for t, _ in uploads)
        up = (link1["bytes_up"] - link0["bytes_up"]) / n
        down = (link1["bytes_down"] - link0["bytes_down"]) / n
        rate = n / (last - end)
        self.check_protocol()
        return [self.args.label, self.link_text(), self.args.protocol, "%d" % n,
                "%.1f s" % (last - end), "%.1f" % rate, "%.0f %%" % (100 * rate / self.capacity(up)),
                "%.0f / %.0f" % (up, down), "%.2f ms" % (cpu * 1000 / n),
                "%d" % (link1["connections"] - link0["connections"])]

    def wait_summaries(self, count, timeout=PERIOD_S + 30):
        return self.daemon.wait_for_log(r"period summary", timeout=timeout, count=count)

    def drain(self):
        self.start_daemon()
        self.link.hold()
        held = time.time()
        summaries = self.daemon.count(r"period summary")
        # The first period carries what the outage's earlier periods would have.
        self.post((BACKLOG_METRICS - (OUTAGE_PERIODS - 1) * self.per_period)
                  // self.args.metrics)
        for n in range(1, OUTAGE_PERIODS):
            self.wait_summaries(summaries + n)
            self.post(self.args.modules)
        # Released once the outage's metrics are all kept: a round in flight when the link
        # vanished ends only when its waves of uploads have timed out.
        harness.poll(lambda: self.kept() >= BACKLOG_METRICS, 900,
                     lambda _: "%d of %d metrics kept" % (self.kept(), BACKLOG_METRICS), 0.5)
        summaries = self.daemon.count(r"period summary")  # the periods since had no load
        self.link.release()
        back, link0 = time.time(), self.link.stats()
        self.post(self.args.modules)
        deadline, judge_until, ends = back + 3600, None, []
        while judge_until is None or time.time() < judge_until:
            if time.time() > deadline:
                raise AssertionError("no drain within an hour")
            if self.daemon.count(r"period summary") > summaries:
                summaries += 1
                ends.append(time.time())
                self.post(self.args.modules)  # every period has its load
            kept = [t for t, ts in self.uploads() if ts < back]
            if judge_until is None and len(kept) >= BACKLOG_METRICS:
                # The periods that ended while the backlog drained, each given its period.
                judged = [end for end in ends if end < max(kept)]
                judge_until = max(judged, default=0) + PERIOD_S + 2
            time.sleep(0.5)
        self.settle()
        link1 = self.link.stats()
        uploads = self.uploads()
        kept = sorted(t for t, ts in uploads if ts < back)
        if len(kept) != BACKLOG_METRICS or len({ts for _, ts in uploads if ts < back}) \
                != OUTAGE_PERIODS:
            raise AssertionError("%d kept metrics in %d periods uploaded, %d in %d wanted" % (
                len(kept), len({ts for _, ts in uploads if ts < back}), BACKLOG_METRICS,
                OUTAGE_PERIODS))
        after = [t for t, _ in uploads if t > back]
        up = (link1["bytes_up"] - link0["bytes_up"]) / len(after)
        down = (link1["bytes_down"] - link0["bytes_down"]) / len(after)
        span = kept[-1] - kept[0]
        rate = len(kept) / span
        # New periods' uploads share the link with the kept ones while the backlog drains.
        everything = sum(1 for t, _ in uploads if kept[0] <= t <= kept[-1]) / span
        in_time = []
        for seen in judged:
            # The period's own end is its metrics' ts; seen is when its summary was noticed.
            ts = min((ts for _, ts in uploads if abs(ts - seen) < 5), default=seen,
                     key=lambda ts: abs(ts - seen))
            in_time.append("%d" % sum(1 for t, u in uploads if u == ts and t < ts + PERIOD_S))
        self.check_protocol()
        return [self.args.label, self.link_text(), self.args.protocol,
                "%d in %d periods, %.0f s held" % (len(kept), OUTAGE_PERIODS, back - held),
                "%.1f s" % (kept[0] - back), "%.1f s" % span,
                "%.1f (%.1f)" % (rate, everything),
                "%.0f %% (%.0f %%)" % (100 * rate / self.capacity(up),
                                       100 * everything / self.capacity(up)),
                "%.0f / %.0f" % (up, down),
                "%d of %d (%s of %d)" % (sum(c == str(self.per_period) for c in in_time),
                                         len(judged), ", ".join(in_time) or "-",
                                         self.per_period)]

    def kept(self):
        return sum(int(m.group(1)) for m in map(KEPT.search, self.daemon.log_lines()) if m)

    def link_text(self):
        return "%g ms, %g/%g kbit/s" % (self.args.rtt, self.args.up, self.args.down)


PERIOD_HEADER = ["daemon", "link", "protocol", "uploads accepted",
                 "period end → last accepted upload", "uploads/s", "share of the link",
                 "bytes per upload up / down", "daemon CPU per upload", "TLS connections"]
DRAIN_HEADER = ["daemon", "link", "protocol", "kept", "cloud back → first kept accepted",
                "first → last kept accepted", "kept/s (all uploads/s)",
                "share of the link (all uploads)",
                "bytes per upload up / down", "periods ending meanwhile uploaded within "
                "their period (their uploads in time)"]


def main():
    args = parse_args()
    prepare(args)
    bench = Bench(args)
    try:
        row = bench.drain() if args.drain else bench.period()
    finally:
        bench.close()
    if not args.no_header:
        header = DRAIN_HEADER if args.drain else PERIOD_HEADER
        print("| " + " | ".join(header) + " |")
        print("|" + "---|" * len(header))
    print("| " + " | ".join(row) + " |", flush=True)


if __name__ == "__main__":
    main()
