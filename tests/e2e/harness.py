"""End-to-end harness: a throw-away gateway around the production service monitor.

A test script calls `harness.main()`, which re-runs it inside scripts/sandbox (private
namespaces, copy-on-write root) so that the daemon writes to its fixed paths and the bus
lives at its real address. Each test of a `GatewayTestCase` gets a fresh `self.gw`;
`start_gateway(...)` brings up the bus, a bus monitor, the watchdog, the configuration
manager with the given keys, the stand-ins asked for and the daemon. Every process logs
to its own file; a failed test prints the logs and keeps them.

Environment: SM_BUILD_DIR (build tree), SM_SOURCE_DIR (source tree), SM_E2E_DAEMON (daemon
to test instead of $SM_BUILD_DIR/src/service_monitor; when it is the installed path itself
it runs in place), SM_E2E_AGENT (agent stand-in to install, default
$SM_BUILD_DIR/sim/agent/zeb_agent_sim), SM_E2E_KEEP_LOGS (where logs of failed tests go;
default $SM_BUILD_DIR/Testing/e2e-logs).
"""

import glob
import json
import os
import re
import shutil
import signal
import socket
import stat
import subprocess
import sys
import threading
import time
import unittest

BUS_ADDRESS = "unix:path=/tmp/var/run/mbusd/mbusd_socket"
MONITOR_NAME = "iot.dmp.service.monitor"
MONITOR_PATH = "/iot/dmp/service/monitor"
WATCHDOG_NAME = "iot.gateway.watchdog"
CONFIG_NAME = "iot.gateway.config"
BASE_DIR = "/harbex/gateway/build"
INSTALLED_DAEMON = BASE_DIR + "/bin/service_monitor"
AGENT_NAME = "ZebGoAgent.linux"
AGENT_PATH = BASE_DIR + "/bin/vestrel/" + AGENT_NAME
DPS_DIR = BASE_DIR + "/bin/dps/script"
SERIAL_FILE = "/etc/vestrel/serial_number.properties"
KEY_FILE = BASE_DIR + "/bin/vestrel/config/accesskey.properties"
CA_FILE = BASE_DIR + "/config/service-monitor/cacert.pem"
BACKLOG_DIR = BASE_DIR + "/data/service-monitor"
PYTHON = "/usr/bin/python3"
SKIP = 77
EXIT_LINE = "service_monitor exit"

SERIAL = "SN123"
SERIAL_LINE = "zeb.agent.serialNumber=%s\n" % SERIAL
AGENT_KEYS = {"gw_zeb_accessKey": "agentAccessKey01", "gw_zeb_secretKey": "agentSecret/Key+02"}
KEY_FILE_TEXT = "zeb.agent.accesskey=%s\nzeb.agent.secretkey=%s\n" % (
    AGENT_KEYS["gw_zeb_accessKey"], AGENT_KEYS["gw_zeb_secretKey"])
DEVICE = {"gw_system_productkey": "pk01", "gw_system_devicename": "dev01",
          "gw_account_id": "1234567890"}
CLOUD_CREDENTIAL = {"accessKeyId": "STS.gatewayKey", "accessKeySecret": "gateway-secret",
                    "securityToken": "CAIStoken+/="}

# Short: a socket path holds at most 107 bytes.
NOTIFY_SOCKET = "/tmp/e2e-notify.sock"

SANITIZER_REPORT = re.compile(r"ERROR: (Address|Leak)Sanitizer|WARNING: ThreadSanitizer|"
                              r"runtime error:|SUMMARY: \w+Sanitizer")
# Files a test may leave behind; each test starts and ends without them.
LEFTOVERS = (AGENT_PATH, SERIAL_FILE, KEY_FILE, DPS_DIR, CA_FILE, BACKLOG_DIR)


def source_dir():
    return os.environ.get("SM_SOURCE_DIR") or os.path.dirname(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build_dir():
    path = os.environ.get("SM_BUILD_DIR")
    if not path:
        sys.exit("SM_BUILD_DIR is not set: point it at the build tree")
    return path


sys.path.insert(0, os.path.join(source_dir(), "sim", "cloud"))
from cloud_harness import CloudStandIn, read_lines, write_json  # noqa: E402


def ensure_sandbox():
    """Re-executes the calling script inside the gateway sandbox unless already there."""
    if os.environ.get("SM_IN_SANDBOX"):
        return
    if os.geteuid() != 0:
        print("SKIP: end-to-end tests need root for the gateway sandbox", file=sys.stderr)
        sys.exit(SKIP)
    visible = [os.path.realpath(p) for p in (source_dir(), build_dir())]
    binds = []
    for path in (os.environ.get("SM_E2E_DAEMON"), os.environ.get("SM_E2E_AGENT")):
        folder = os.path.dirname(os.path.realpath(path)) if path else None
        if folder and not folder.startswith(BASE_DIR) and not any(
                folder == v or folder.startswith(v + os.sep) for v in visible):
            binds += ["--bind", os.path.dirname(folder)]
    argv = [os.path.join(source_dir(), "scripts", "sandbox")] + binds + \
        [PYTHON, os.path.abspath(sys.argv[0])] + sys.argv[1:]
    sys.stdout.flush()
    env = dict(os.environ, SM_SOURCE_DIR=source_dir(), SM_BUILD_DIR=build_dir())
    sys.exit(subprocess.call(argv, env=env))


def poll(probe, timeout, failure, interval=0.05):
    """Calls `probe` until it returns a true value, which is returned; on time-out fails
    with `failure` (a text, or a function of the last value giving one)."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(failure(value) if callable(failure) else failure)
        time.sleep(interval)


def poll_count(fetch, count, timeout, what):
    """Calls `fetch` until its list has `count` entries or more; returns that list."""
    last = []

    def enough():
        last[:] = fetch()
        return list(last) if len(last) >= count else None
    return poll(enough, timeout, lambda _: "%d %s within %.1f s, %d wanted"
                % (len(last), what, timeout, count))


def read_text(path):
    try:
        with open(path, "rb") as f:
            return f.read().decode("utf-8", "replace")
    except OSError:
        return None


def write_text(path, text):
    os.makedirs(os.path.dirname(path), exist_ok=True)
    with open(path, "w", encoding="utf-8") as f:
        f.write(text)


def file_mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


def log_message(line):
    """The message part of a daemon log line (after 'file:line function: ')."""
    m = re.match(r"^\S+ \S+ \S+\s+\S+\[\d+\] \S+:\d+ \S+: (.*)$", line)
    return m.group(1) if m else line


class Proc:
    """One started process with its combined output in a log file."""

    def __init__(self, name, argv, log_path, env=None, cwd=None):
        self.name, self.log_path = name, log_path
        self._log = open(log_path, "ab", buffering=0)
        self.popen = subprocess.Popen(argv, stdout=self._log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, env=env, cwd=cwd,
                                      start_new_session=True)
        self.pid = self.popen.pid

    def log_lines(self):
        return (read_text(self.log_path) or "").splitlines()

    def messages(self):
        return [log_message(line) for line in self.log_lines()]

    def count(self, pattern):
        rx = re.compile(pattern)
        return sum(1 for line in self.log_lines() if rx.search(line))

    def has(self, pattern):
        return self.count(pattern) > 0

    def wait_for_log(self, pattern, timeout=10.0, count=1):
        """Waits until `count` lines match; returns the last of them."""
        rx = re.compile(pattern)
        found = poll(lambda: [l for l in self.log_lines() if rx.search(l)][count - 1:] or None,
                     timeout, lambda _: "%s: no %d line(s) matching %r within %.1f s (%s)"
                     % (self.name, count, pattern, timeout, self.state()))
        return found[0]

    def alive(self):
        return self.popen.poll() is None

    def state(self):
        rc = self.popen.poll()
        if rc is None:
            return "running"
        return "killed by signal %d" % -rc if rc < 0 else "exited with %d" % rc

    def wait(self, timeout=10.0):
        """Waits for the exit; returns the status (negative: killed by that signal)."""
        try:
            return self.popen.wait(timeout)
        except subprocess.TimeoutExpired:
            raise AssertionError("%s still running after %.1f s" % (self.name, timeout))

    def send_signal(self, signum):
        if self.alive():
            os.kill(self.pid, signum)

    def stop(self, signum=signal.SIGINT, timeout=10.0):
        self.send_signal(signum)
        return self.wait(timeout)

    def signal_pending(self, signum):
        """True while `signum` is queued for the process and not yet delivered."""
        for line in (read_text("/proc/%d/status" % self.pid) or "").splitlines():
            if line.startswith(("SigPnd:", "ShdPnd:")) and int(line.split()[1], 16) & (
                    1 << (signum - 1)):
                return True
        return False

    def close(self):
        if self.alive():
            try:
                os.killpg(self.pid, signal.SIGKILL)  # a stand-in may have children
            except OSError:
                pass
            self.popen.wait()
        self._log.close()


class _Closer:
    """Lets Gateway.close() stop a stand-in that is not a Proc."""

    def __init__(self, log_path, stop):
        self.log_path, self.close = log_path, stop


class BusError(Exception):
    """A bus call failed; `timed_out` tells a missing reply from an error reply."""

    def __init__(self, message, timed_out=False):
        super().__init__(message)
        self.timed_out = timed_out


class BusMonitor(Proc):
    """dbus-monitor in its default format: every message with its serials and arguments."""

    HEAD = re.compile(r"^(method call|method return|signal|error) time=\S+ sender=(\S+) -> "
                      r"destination=(.+?) serial=(\d+)(?: error_name=\S+)?"
                      r"(?: reply_serial=(\d+))?"
                      r"(?: path=([^;]*); interface=([^;]*); member=(\S+))?")
    ARG = re.compile(r'^\s+(string|int32|uint32) (.*)$')

    def messages(self, **match):
        """Messages seen, as dicts (kind, sender, destination, serial, reply_serial, path,
        interface, member, args), filtered by equal fields."""
        out = []
        for line in self.log_lines():
            head = self.HEAD.match(line)
            if head:
                out.append(dict(zip(("kind", "sender", "destination", "serial", "reply_serial",
                                     "path", "interface", "member"), head.groups()), args=[]))
            elif out and self.ARG.match(line):
                kind, value = self.ARG.match(line).groups()
                out[-1]["args"].append(re.sub(r'\\(.)', r'\1', value[1:-1])
                                       if kind == "string" else int(value))
        return [m for m in out if all(m.get(k) == v for k, v in match.items())]

    def calls(self, member, **match):
        return self.messages(kind="method call", member=member, **match)


class Gateway:
    """A gateway in the sandbox: bus, stand-ins and the daemon, all stopped on close()."""

    def __init__(self, name, log_dir=None):
        self.log_dir = log_dir or "/tmp/e2e-logs/%s" % re.sub(r"[^\w.-]", "_", name)
        shutil.rmtree(self.log_dir, ignore_errors=True)
        os.makedirs(self.log_dir)
        self.procs = {}
        self.bus = self.monitor = self.watchdog = self.config = self.daemon = None
        self.cloud = self.credential = None
        self.env = {"AGENT_SIM_RECORD": self.path("agent.jsonl"),
                    "AGENT_SIM_MODE": self.path("agent-mode"),
                    "DPS_SIM_RECORD": self.path("dps.log")}
        remove_leftovers()

    def path(self, name):
        return os.path.join(self.log_dir, name)

    def start(self, name, argv, ready=None, timeout=10.0, env=None, cwd=None):
        """Starts a process logged to <log_dir>/<name>.log; waits for the `ready` pattern."""
        proc = Proc(name, argv, self.path(name + ".log"), dict(os.environ, **(env or {})), cwd)
        self.procs[name] = proc
        if ready:
            try:
                proc.wait_for_log(ready, timeout)
            except AssertionError:
                raise AssertionError("%s did not start (%s):\n%s"
                                     % (name, proc.state(), "\n".join(proc.log_lines()[-30:])))
        return proc

    def start_python(self, name, script, args=(), ready=None):
        return self.start(name, [PYTHON, "-u", script] + list(args), ready)

    def close(self):
        # The daemon first, so that it does not see its partners vanish one by one.
        for proc in sorted(self.procs.values(), key=lambda p: (p is not self.daemon,
                                                              p is self.bus)):
            proc.close()
        kill_strays()
        remove_leftovers()

    # -- bus ----------------------------------------------------------------------
    def start_bus(self, monitor=True):
        socket = BUS_ADDRESS.split("=", 1)[1]
        os.makedirs(os.path.dirname(socket), exist_ok=True)
        if os.path.exists(socket):
            os.unlink(socket)
        conf = os.path.join(source_dir(), "sim", "bus", "gateway-bus.conf")
        self.bus = self.start("bus", ["dbus-daemon", "--config-file=" + conf, "--nofork",
                                      "--print-address=1"], ready=r"^unix:")
        if monitor:
            self.monitor = BusMonitor("monitor", ["dbus-monitor", "--address", BUS_ADDRESS],
                                      self.path("monitor.log"), dict(os.environ))
            self.procs["monitor"] = self.monitor
            poll(lambda: self.monitor.has(r"member=NameLost"), 5, "bus monitor ready")

    def run(self, tool, *args, timeout=5.0):
        argv = {"busctl": ["busctl", "--address=" + BUS_ADDRESS, "--no-pager"],
                "dbus-send": ["dbus-send", "--bus=" + BUS_ADDRESS],
                "gdbus": ["gdbus"]}[tool] + [str(a) for a in args]
        return subprocess.run(argv, capture_output=True, text=True, timeout=timeout + 5)

    def call(self, dest, path, interface, member, signature="", *args, timeout=5.0):
        """Method call through busctl; the reply's arguments, or BusError."""
        argv = ["call", "--json=short", "--timeout=%gs" % timeout, dest, path, interface, member]
        res = self.run("busctl", *(argv + ([signature] + list(args) if signature else [])),
                       timeout=timeout)
        if res.returncode != 0:
            err = res.stderr.strip()
            raise BusError(err, timed_out=bool(re.search(r"timed out|NoReply|Timeout", err)))
        return json.loads(res.stdout)["data"] if res.stdout.strip() else []

    def call_monitor(self, member, signature="", *args, timeout=5.0, interface=MONITOR_NAME,
                     path=MONITOR_PATH):
        return self.call(MONITOR_NAME, path, interface, member, signature, *args,
                         timeout=timeout)

    def post(self, text, timeout=5.0):
        """PostMetricData; the reply JSON as a dict (fails if it is not JSON)."""
        return json.loads(self.call_monitor("PostMetricData", "s", text, timeout=timeout)[0])

    def name_owner(self, name):
        try:
            return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                             "org.freedesktop.DBus", "GetNameOwner", "s", name)[0]
        except BusError:
            return None

    # -- stand-ins ----------------------------------------------------------------------
    def start_watchdog(self):
        self.start_python("watchdog", os.path.join(source_dir(), "sim", "watchdog",
                                                   "watchdog_sim.py"),
                          ["--address", BUS_ADDRESS, "--record", self.path("watchdog.jsonl")],
                          ready=r'"event": "ready"')

    def watchdog_records(self, event):
        return [r for r in read_lines(self.path("watchdog.jsonl")) if r["event"] == event]

    def feeds(self):
        return [r for r in self.watchdog_records("feed") if r.get("service") == MONITOR_NAME]

    def largest_feed_gap(self):
        times = [f["time"] for f in self.feeds()]
        return max((b - a for a, b in zip(times, times[1:])), default=0.0)

    def wait_for_feeds(self, count, timeout=15.0):
        return poll_count(self.feeds, count, timeout, "watchdog feed(s)")

    def start_config_manager(self, entries):
        binary = os.path.join(build_dir(), "platform", "config-manager", "config_manager_service")
        store = self.path("config.store")
        write_text(store, "".join("%s\t%s\n" % kv for kv in sorted(entries.items())))
        self.config = self.start("config", [binary, "--address", BUS_ADDRESS, "--store", store],
                                 ready=r"config_manager_service: serving ")

    def cfgtool(self, *args):
        tool = os.path.join(build_dir(), "platform", "config-manager", "cfgtool")
        res = subprocess.run([tool, "--address", BUS_ADDRESS] + [str(a) for a in args],
                             capture_output=True, text=True, timeout=10)
        if res.returncode != 0 and args[0] != "get":
            raise BusError("cfgtool %s: %s" % (" ".join(map(str, args)), res.stderr.strip()))
        return res.stdout.rstrip("\n") if res.returncode == 0 else None

    def start_credential(self, credentials, duration=3600):
        write_json(self.path("credentials.json"), {"credentials": credentials})
        self.credential = self.start_python(
            "credential", os.path.join(source_dir(), "sim", "credential", "credential_sim.py"),
            ["--address", BUS_ADDRESS, "--credentials", self.path("credentials.json"),
             "--duration", str(duration), "--control", self.path("credential-control.json"),
             "--record", self.path("credential.jsonl")], ready=r'"event": "ready"')

    def credential_control(self, doc):
        write_json(self.path("credential-control.json"), doc)

    def credential_calls(self):
        return [r for r in read_lines(self.path("credential.jsonl")) if r["event"] == "call"]

    def start_cloud(self, credentials, install_ca=True, control=None, https_port=443):
        """The cloud stand-in (HTTPS 443, or another port behind a link) with its CA where
        the daemon looks for it, or, when `install_ca` is a path, that bundle instead."""
        self.cloud = CloudStandIn(self.path("cloud"), credentials, https_port=https_port,
                                  ca_dir="/tmp/e2e-cloud-ca")
        if control:
            self.cloud.set_control(control)
        self.cloud.start()
        self.procs["cloud"] = _Closer(self.cloud.paths["stand-in.log"], self.cloud.stop)
        if install_ca is True:
            self.cloud.install_ca(BASE_DIR)
        elif install_ca:
            write_text(CA_FILE, read_text(install_ca))

    def install_agent(self, mode="normal"):
        src = os.environ.get("SM_E2E_AGENT") or os.path.join(build_dir(), "sim", "agent",
                                                             "zeb_agent_sim")
        os.makedirs(os.path.dirname(AGENT_PATH), exist_ok=True)
        shutil.copy2(src, AGENT_PATH + ".new")
        os.replace(AGENT_PATH + ".new", AGENT_PATH)  # a running agent keeps the old file
        self.agent_mode(mode)

    def agent_mode(self, mode):
        """Mode of the next agent start: normal, exit, crash or ignore-term."""
        write_text(self.env["AGENT_SIM_MODE"], mode + "\n")

    def agent_records(self, event=None):
        return [r for r in read_lines(self.env["AGENT_SIM_RECORD"])
                if event in (None, r["event"])]

    def install_dps(self):
        for name in ("startDPS.sh", "stopDPS.sh"):
            os.makedirs(DPS_DIR, exist_ok=True)
            shutil.copy(os.path.join(source_dir(), "sim", "dps", name), DPS_DIR)

    def dps_runs(self):
        """(script, pid, ppid, session id) of each DPS script run, in order."""
        lines = (read_text(self.env["DPS_SIM_RECORD"]) or "").split("\n")
        return [(w[0], int(w[2]), int(w[3]), int(w[4]))
                for w in (line.split() for line in lines) if w]

    def fake_clock_env(self):
        """Environment that shifts the daemon's wall clock by what <log_dir>/faketime says
        (read anew on every call), through Debian's libfaketime of the daemon's own
        architecture; its monotonic clock is left alone, as a real clock step leaves it."""
        write_text(self.path("faketime"), "+0\n")
        return {"LD_PRELOAD": "libfaketimeMT.so.1",
                "LD_LIBRARY_PATH": ":".join(glob.glob("/usr/lib/*/faketime")),
                "FAKETIME_TIMESTAMP_FILE": self.path("faketime"),
                "FAKETIME_NO_CACHE": "1", "FAKETIME_DONT_FAKE_MONOTONIC": "1",
                # A sanitizer runtime need not come first when faketime is preloaded.
                "ASAN_OPTIONS": asan_options() + ":verify_asan_link_order=0"}

    def step_clock(self, offset_s):
        """Moves the wall clock of a daemon started with fake_clock_env to real + offset_s."""
        write_text(self.path("faketime"), "%+d\n" % offset_s)

    # -- service manager ------------------------------------------------------------
    def notify_env(self, watchdog_usec=2000000):
        """Environment that has the daemon notify a datagram socket this harness owns and,
        like systemd, drains at once, with the keep-alive at half of `watchdog_usec`."""
        if os.path.lexists(NOTIFY_SOCKET):
            os.unlink(NOTIFY_SOCKET)
        sock = socket.socket(socket.AF_UNIX, socket.SOCK_DGRAM)
        sock.bind(NOTIFY_SOCKET)
        sock.settimeout(0.2)
        self._notes, stop = [], threading.Event()

        def drain():
            with open(self.path("notify.log"), "a", encoding="utf-8") as log:
                while not stop.is_set():
                    try:
                        note = sock.recv(4096).decode("utf-8", "replace")
                    except socket.timeout:
                        continue
                    self._notes.append(note)
                    log.write(repr(note) + "\n")
                    log.flush()
        reader = threading.Thread(target=drain, daemon=True)
        reader.start()

        def close():
            stop.set()
            reader.join()
            sock.close()
        self.procs["notify"] = _Closer(self.path("notify.log"), close)
        return {"NOTIFY_SOCKET": NOTIFY_SOCKET, "WATCHDOG_USEC": str(watchdog_usec)}

    def notifications(self):
        """Every datagram received so far, in order (also kept in notify.log)."""
        return list(self._notes)

    def wait_for_notification(self, text, timeout=10.0):
        """Waits for a datagram equal to `text`; returns the datagrams up to it."""
        notes = poll(lambda: text in self._notes and self.notifications(), timeout,
                     lambda _: "no notification %r within %.1f s: %r"
                     % (text, timeout, self._notes))
        return notes[:notes.index(text) + 1]

    # -- daemon -----------------------------------------------------------------------
    def start_daemon(self, ready=True, env=None):
        """Installs and starts the daemon; with `ready`, waits for its first feed."""
        src = os.environ.get("SM_E2E_DAEMON") or os.path.join(build_dir(), "src",
                                                              "service_monitor")
        if os.path.realpath(src) != INSTALLED_DAEMON:
            os.makedirs(os.path.dirname(INSTALLED_DAEMON), exist_ok=True)
            shutil.copy2(src, INSTALLED_DAEMON)
        daemon_env = dict(self.env, ASAN_OPTIONS=asan_options())
        daemon_env.update(env or {})
        self.daemon = self.start("daemon", [INSTALLED_DAEMON], env=daemon_env,
                                 cwd=os.path.dirname(INSTALLED_DAEMON))
        if ready:
            poll(lambda: self.feeds() or (not self.daemon.alive() and AssertionError(
                "daemon ended (%s)" % self.daemon.state())), 20, "no first feed from the daemon")
            if not self.daemon.alive():
                raise AssertionError("daemon ended during start-up (%s)" % self.daemon.state())
        return self.daemon


def asan_options():
    """The sanitizer options the daemon runs with: the test run's, or leak checks on."""
    return os.environ.get("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")


def script(name):
    return os.path.join(os.path.dirname(os.path.abspath(__file__)), name)


def remove_leftovers():
    for path in LEFTOVERS:
        if os.path.isdir(path) and not os.path.islink(path):
            shutil.rmtree(path, ignore_errors=True)
        elif os.path.lexists(path):
            os.unlink(path)


def kill_strays():
    """Ends whatever is left in the sandbox (programs the daemon started detached) but
    this process and the sandbox's init, and reaps our own children."""
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) not in (1, me):
            try:
                os.kill(int(entry), signal.SIGKILL)
            except OSError:
                pass
    try:
        while os.waitpid(-1, os.WNOHANG)[0] != 0:
            pass
    except ChildProcessError:
        pass


def agent_processes():
    """{pid: ppid} of the live processes whose argv[0] holds the agent's name."""
    found = {}
    for entry in filter(str.isdigit, os.listdir("/proc")):
        argv0 = (read_text("/proc/%s/cmdline" % entry) or "").split("\0")[0]
        st = proc_stat(int(entry))
        if AGENT_NAME in argv0 and st is not None and st[0] != "Z":
            found[int(entry)] = st[1]
    return found


def proc_stat(pid):
    """(state, ppid, session id) of a process, or None when it is gone."""
    text = read_text("/proc/%d/stat" % pid)
    if not text:
        return None
    fields = text.rsplit(")", 1)[1].split()
    return fields[0], int(fields[1]), int(fields[3])


def metric_request(ts_ms=None, request_id="req-1", module="gateway/uplink", params=None):
    return json.dumps({"id": request_id, "ts": int(time.time() * 1000) if ts_ms is None
                       else ts_ms, "moduleName": module,
                       "params": params or [{"metricName": "cpu_usage", "value": 12.5,
                                             "collectRule": "avg"}]})


class GatewayTestCase(unittest.TestCase):
    """Gives each test a fresh `self.gw`; on failure prints and keeps the logs."""

    def setUp(self):
        self.gw = Gateway(self.id().split(".", 1)[-1])
        self.addCleanup(self.gw.close)

    def start_gateway(self, entries=None, serial=SERIAL_LINE, agent="normal", credential=False,
                      cloud=False, config=True, daemon=True):
        """Bus with monitor, watchdog, the configuration manager with `entries`, the agent
        and DPS stand-ins, the stand-ins asked for, and the daemon once start-up is done."""
        gw = self.gw
        if agent:
            gw.install_agent(agent)
        gw.install_dps()
        if serial is not None:
            write_text(SERIAL_FILE, serial)
        gw.start_bus()
        gw.start_watchdog()
        if config:
            gw.start_config_manager(entries or {})
        if credential:
            gw.start_credential([CLOUD_CREDENTIAL])
        if cloud:
            gw.start_cloud([CLOUD_CREDENTIAL])
        if daemon:
            gw.start_daemon()
        return gw

    def next_gateway(self, label):
        """A fresh gateway for the next row of a table."""
        self.gw.close()
        self.gw = Gateway("%s-%s" % (self.id().split(".", 1)[-1], label))
        self.addCleanup(self.gw.close)
        return self.gw

    def wait_until(self, probe, what, timeout=10.0):
        return poll(probe, timeout, "%s within %.1f s" % (what, timeout))

    def assertInOrder(self, proc, expected):
        """Each expected message appears, exactly, after the previous one."""
        got, pos = proc.messages(), 0
        for text in expected:
            self.assertIn(text, got[pos:], "missing or out of order in the %s log" % proc.name)
            pos = got.index(text, pos) + 1

    def assertNoSanitizerReport(self, proc):
        hits = [line for line in proc.log_lines() if SANITIZER_REPORT.search(line)]
        self.assertEqual(hits, [], "sanitizer report in the %s log" % proc.name)

    def stop_daemon(self, timeout=15.0):
        """SIGINT: the daemon ends in order with status 0 and no sanitizer report."""
        daemon = self.gw.daemon
        self.assertEqual(daemon.stop(signal.SIGINT, timeout=timeout), 0)
        self.assertIn(EXIT_LINE, daemon.messages())
        self.assertNoSanitizerReport(daemon)
        return daemon

    def run(self, result=None):
        result = result if result is not None else self.defaultTestResult()
        before = len(result.failures) + len(result.errors)
        out = super().run(result)
        if len(result.failures) + len(result.errors) > before and hasattr(self, "gw"):
            self._report_logs()
        return out

    def _report_logs(self):
        for name, proc in self.gw.procs.items():
            lines = (read_text(proc.log_path) or "").splitlines()
            sys.stderr.write("----- %s: %s (last %d lines) -----\n%s\n"
                             % (self.id(), name, min(len(lines), 80), "\n".join(lines[-80:])))
        keep = os.environ.get("SM_E2E_KEEP_LOGS") or os.path.join(build_dir(), "Testing",
                                                                   "e2e-logs")
        dest = os.path.join(keep, os.path.basename(self.gw.log_dir))
        shutil.rmtree(dest, ignore_errors=True)
        shutil.copytree(self.gw.log_dir, dest, ignore_dangling_symlinks=True)
        sys.stderr.write("----- logs kept in %s -----\n" % dest)


def main():
    """unittest.main for a test script, run inside the sandbox."""
    ensure_sandbox()
    unittest.main(verbosity=2)
