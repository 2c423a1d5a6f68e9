"""Starts and drives the cloud stand-in for tests and the demo.

    with CloudStandIn(workdir, [{"accessKeyId": "AK", "accessKeySecret": "SK"}]) as cloud:
        cloud.install_ca("/harbex/gateway/build")
        ... cloud.records(), cloud.events(), cloud.set_control({...})
"""

import json
import os
import shutil
import subprocess
import time

HERE = os.path.dirname(os.path.abspath(__file__))
CA_SUFFIX = os.path.join("config", "service-monitor", "cacert.pem")


def make_ca(outdir, hosts=()):
    """A new test CA with a server certificate in outdir (see make_test_ca.sh)."""
    subprocess.run([os.path.join(HERE, "make_test_ca.sh"), outdir, *hosts], check=True)
    return outdir


def read_lines(path):
    if not os.path.exists(path):
        return []
    with open(path, encoding="utf-8") as f:
        # A line still being written has no newline yet: it is read next time.
        return [json.loads(line) for line in f if line.endswith("\n") and line.strip()]


def write_json(path, doc):
    tmp = path + ".tmp"
    with open(tmp, "w", encoding="utf-8") as f:
        json.dump(doc, f)
    os.replace(tmp, path)


class CloudStandIn:
    def __init__(self, workdir, credentials, https_port=443, http_port=80, ca_dir=None,
                 extra_args=()):
        self.workdir = workdir
        os.makedirs(workdir, exist_ok=True)
        self.ca_dir = ca_dir or os.path.join(workdir, "ca")
        self.paths = {name: os.path.join(workdir, name) for name in
                      ("credentials.json", "control.json", "uploads.jsonl", "events.jsonl",
                       "state.json", "ready.json", "stand-in.log")}
        self.https_port, self.http_port = https_port, http_port
        self.extra_args = list(extra_args)
        self.proc = None
        self.ports = {}
        self.set_credentials(credentials)

    def set_credentials(self, credentials):
        write_json(self.paths["credentials.json"], {"credentials": list(credentials)})

    def set_control(self, doc):
        write_json(self.paths["control.json"], doc or {})

    def start(self, timeout=15):
        if not os.path.exists(os.path.join(self.ca_dir, "server.pem")):
            make_ca(self.ca_dir)
        p = self.paths
        if os.path.exists(p["ready.json"]):
            os.unlink(p["ready.json"])
        cmd = ["/usr/bin/python3", os.path.join(HERE, "cloud_sim.py"),
               "--credentials", p["credentials.json"], "--control", p["control.json"],
               "--record", p["uploads.jsonl"], "--events", p["events.jsonl"],
               "--state", p["state.json"], "--ready-file", p["ready.json"],
               "--cert", os.path.join(self.ca_dir, "server.pem"),
               "--key", os.path.join(self.ca_dir, "server.key"),
               "--https-port", str(self.https_port), "--http-port", str(self.http_port),
               *self.extra_args]
        log = open(p["stand-in.log"], "ab")
        self.proc = subprocess.Popen(cmd, stdout=log, stderr=log)
        log.close()
        deadline = time.monotonic() + timeout
        while not os.path.exists(p["ready.json"]):
            if self.proc.poll() is not None or time.monotonic() > deadline:
                self.stop()
                raise RuntimeError("cloud stand-in did not start:\n" + self.log())
            time.sleep(0.05)
        with open(p["ready.json"], encoding="utf-8") as f:
            self.ports = json.load(f)["ports"]
        return self

    def stop(self):
        if self.proc is not None and self.proc.poll() is None:
            self.proc.terminate()
            try:
                self.proc.wait(10)
            except subprocess.TimeoutExpired:
                self.proc.kill()
                self.proc.wait()
        self.proc = None

    def __enter__(self):
        return self.start()

    def __exit__(self, *exc):
        self.stop()

    def install_ca(self, base_dir):
        """Installs the CA certificate where a client under base_dir/bin looks for it."""
        dest = os.path.join(base_dir, CA_SUFFIX)
        os.makedirs(os.path.dirname(dest), exist_ok=True)
        shutil.copyfile(os.path.join(self.ca_dir, "ca.pem"), dest)
        return dest

    def records(self):
        return read_lines(self.paths["uploads.jsonl"])

    def events(self):
        return read_lines(self.paths["events.jsonl"])

    def wait_event(self, kind, timeout=5.0):
        """The last event once it is of that kind (events of a failed handshake are written
        after the client has already given up)."""
        deadline = time.monotonic() + timeout
        while True:
            events = self.events()
            if events and events[-1]["kind"] == kind:
                return events[-1]
            if time.monotonic() > deadline:
                raise AssertionError("last stand-in event is not %r: %s"
                                     % (kind, events[-1:] or "none"))
            time.sleep(0.05)

    def state(self):
        try:
            with open(self.paths["state.json"], encoding="utf-8") as f:
                return json.load(f)
        except OSError:
            return {"groups": []}

    def log(self):
        try:
            with open(self.paths["stand-in.log"], encoding="utf-8", errors="replace") as f:
                return f.read()
        except OSError:
            return ""
