"""End-to-end harness: a throw-away gateway around the production service monitor.

A test script starts with

    import harness
    harness.ensure_sandbox()

which re-runs the script inside scripts/sandbox (private namespaces, copy-on-write root),
so the daemon may write to its fixed paths and the gateway bus lives at its real
address. Each test then builds a `Gateway`: the bus, the watchdog stand-in, the
configuration manager, the daemon and any further stand-in, each a `Proc` whose output
goes to its own log file. `GatewayTestCase` does this per test and prints the logs when
a test fails.

Environment: SM_BUILD_DIR (build tree), SM_SOURCE_DIR (source tree), SM_E2E_DAEMON
(daemon binary to test instead of $SM_BUILD_DIR/src/service_monitor), SM_E2E_KEEP_LOGS
(directory where the logs of failed tests are copied; default
$SM_BUILD_DIR/Testing/e2e-logs).
"""

import json
import os
import re
import shutil
import signal
import subprocess
import sys
import time
import unittest

BUS_DIR = "/tmp/var/run/mbusd"
BUS_ADDRESS = "unix:path=%s/mbusd_socket" % BUS_DIR
MONITOR_NAME = "iot.dmp.service.monitor"
MONITOR_PATH = "/iot/dmp/service/monitor"
WATCHDOG_NAME = "iot.gateway.watchdog"
INSTALLED_DAEMON = "/harbex/gateway/build/bin/service_monitor"
PYTHON = "/usr/bin/python3"

SKIP = 77

DAEMON_OUTPUT_FILES = (
    "/etc/vestrel/serial_number.properties",
    "/harbex/gateway/build/bin/vestrel/config/accesskey.properties",
)


def source_dir():
    return os.environ.get("SM_SOURCE_DIR") or os.path.dirname(
        os.path.dirname(os.path.dirname(os.path.abspath(__file__))))


def build_dir():
    path = os.environ.get("SM_BUILD_DIR")
    if not path:
        sys.exit("SM_BUILD_DIR is not set: point it at the build tree")
    return path


def ensure_sandbox():
    """Re-executes the calling script inside the gateway sandbox unless already there."""
    if os.environ.get("SM_IN_SANDBOX"):
        return
    sandbox = os.path.join(source_dir(), "scripts", "sandbox")
    script = os.path.abspath(sys.argv[0])
    env = dict(os.environ, SM_SOURCE_DIR=source_dir(), SM_BUILD_DIR=build_dir())
    binds = []
    visible = [os.path.realpath(source_dir()), os.path.realpath(build_dir())]
    daemon = os.environ.get("SM_E2E_DAEMON")
    if daemon:
        # A daemon from another build tree needs that tree's libraries too.
        daemon = os.path.realpath(daemon)
        if os.path.basename(os.path.dirname(daemon)) == "src":
            daemon = os.path.dirname(daemon)
    for path in (daemon, script):
        if path:
            folder = os.path.dirname(os.path.realpath(path))
            if not any(folder == v or folder.startswith(v + os.sep) for v in visible):
                binds += ["--bind", folder]
    if os.geteuid() != 0:
        print("SKIP: end-to-end tests need root for the gateway sandbox", file=sys.stderr)
        sys.exit(SKIP)
    argv = [sandbox] + binds + [PYTHON, script] + sys.argv[1:]
    sys.stdout.flush()
    sys.stderr.flush()
    status = subprocess.call(argv, env=env)
    if status == SKIP:
        print("SKIP: the gateway sandbox cannot be made here (see above)", file=sys.stderr)
    sys.exit(status)


def poll(probe, timeout, failure, interval=0.05):
    """Calls `probe` until it returns a true value, which is returned. On time-out raises
    AssertionError with `failure`: a text, or a function of probe's last value giving one."""
    deadline = time.monotonic() + timeout
    while True:
        value = probe()
        if value:
            return value
        if time.monotonic() > deadline:
            raise AssertionError(failure(value) if callable(failure) else failure)
        time.sleep(interval)


def poll_count(fetch, count, timeout, what, interval=0.05):
    """Calls `fetch` until the list it returns has `count` entries or more, and returns that
    list; on time-out fails naming how many of `what` were seen."""
    last = []

    def enough():
        last[:] = fetch()
        return list(last) if len(last) >= count else None
    return poll(enough, timeout, lambda _: "%d %s within %.1f s, %d wanted"
                % (len(last), what, timeout, count), interval)


class Proc:
    """One started process with its combined stdout/stderr in a log file."""

    def __init__(self, name, argv, log_path, env=None, cwd=None):
        self.name = name
        self.argv = list(argv)
        self.log_path = log_path
        self._log = open(log_path, "ab", buffering=0)
        self.popen = subprocess.Popen(self.argv, stdout=self._log, stderr=subprocess.STDOUT,
                                      stdin=subprocess.DEVNULL, env=env, cwd=cwd,
                                      start_new_session=True)
        self.pid = self.popen.pid
        self.started = time.monotonic()

    # -- log ------------------------------------------------------------------------
    def log_text(self):
        with open(self.log_path, "rb") as f:
            return f.read().decode("utf-8", "replace")

    def log_lines(self):
        return self.log_text().splitlines()

    def count(self, pattern):
        """Number of log lines that match the regular expression."""
        rx = re.compile(pattern)
        return sum(1 for line in self.log_lines() if rx.search(line))

    def has(self, pattern):
        return self.count(pattern) > 0

    def wait_for_log(self, pattern, timeout=10.0, count=1):
        """Waits until `count` log lines match; returns the last match, fails on timeout."""
        rx = re.compile(pattern)

        def hits():
            found = [line for line in self.log_lines() if rx.search(line)]
            return found if len(found) >= count else None
        return poll(hits, timeout, lambda _: "%s: no %d line(s) matching %r within %.1f s (%s)"
                    % (self.name, count, pattern, timeout, self.state()))[count - 1]

    def tail(self, lines=60):
        return "\n".join(self.log_lines()[-lines:])

    # -- life -----------------------------------------------------------------------
    @property
    def returncode(self):
        return self.popen.poll()

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
        """Sends `signum` and waits for the exit; returns the status."""
        self.send_signal(signum)
        return self.wait(timeout)

    def kill(self):
        if self.alive():
            os.kill(self.pid, signal.SIGKILL)
        return self.popen.wait()

    def signal_pending(self, signum):
        """True while `signum` is queued for the process and not yet delivered."""
        bit = 1 << (signum - 1)
        try:
            with open("/proc/%d/status" % self.pid) as f:
                for line in f:
                    if line.startswith(("SigPnd:", "ShdPnd:")) and int(line.split()[1], 16) & bit:
                        return True
        except OSError:
            return False
        return False

    def close(self):
        if self.alive():
            # The whole session: a stand-in may have children of its own.
            try:
                os.killpg(self.pid, signal.SIGKILL)
            except OSError:
                pass
            self.popen.wait()
        self._log.close()


def kill_strays():
    """Ends whatever is left in the sandbox (children that left their session, such as
    programs the daemon started), apart from this process and the sandbox's init."""
    if not os.environ.get("SM_IN_SANDBOX"):
        return
    me = os.getpid()
    for entry in os.listdir("/proc"):
        if entry.isdigit() and int(entry) not in (1, me):
            try:
                os.kill(int(entry), signal.SIGKILL)
            except OSError:
                pass
    # Our own children are reaped here; orphans are reaped by the sandbox's init.
    while True:
        try:
            if os.waitpid(-1, os.WNOHANG)[0] == 0:
                break
        except ChildProcessError:
            break


class BusError(Exception):
    """A bus call failed; `timed_out` tells a missing reply from an error reply."""

    def __init__(self, message, timed_out=False):
        super().__init__(message)
        self.timed_out = timed_out


class Gateway:
    """A gateway in the sandbox: bus, stand-ins and the daemon, all stopped on close()."""

    def __init__(self, name="gateway", log_dir=None):
        self.name = name
        self.log_dir = log_dir or "/tmp/e2e-logs/%s" % re.sub(r"[^\w.-]", "_", name)
        os.makedirs(self.log_dir, exist_ok=True)
        self.procs = {}
        self.bus = self.watchdog = self.config = self.daemon = None
        self.watchdog_record = os.path.join(self.log_dir, "watchdog.jsonl")
        self.cfg_store = os.path.join(self.log_dir, "config.store")
        # Files the daemon leaves behind; the next test in the same sandbox starts clean.
        self.remove_at_close = list(DAEMON_OUTPUT_FILES)

    def __enter__(self):
        return self

    def __exit__(self, *exc):
        self.close()
        return False

    # -- generic --------------------------------------------------------------------
    def start(self, name, argv, ready_regex=None, timeout=10.0, env=None, cwd=None):
        """Starts a process logged to <log_dir>/<name>.log; waits for `ready_regex`."""
        if name in self.procs and self.procs[name].alive():
            raise RuntimeError("%s is already running" % name)
        full_env = dict(os.environ)
        full_env.update(env or {})
        proc = Proc(name, argv, os.path.join(self.log_dir, name + ".log"), full_env, cwd)
        self.procs[name] = proc
        if ready_regex:
            try:
                proc.wait_for_log(ready_regex, timeout)
            except AssertionError:
                if not proc.alive():
                    raise AssertionError("%s did not start (%s):\n%s"
                                         % (name, proc.state(), proc.tail()))
                raise
        return proc

    def start_python(self, name, script, args=(), ready_regex=None, timeout=10.0, env=None):
        """Starts a Python stand-in (unbuffered, so its log is current)."""
        return self.start(name, [PYTHON, "-u", script] + list(args), ready_regex, timeout,
                          env=env)

    def close(self):
        # The daemon first, so that it does not see its partners vanish one by one.
        order = sorted(self.procs.values(), key=lambda p: p is not self.daemon)
        for proc in order:
            if proc is self.bus:
                continue
            proc.close()
        if self.bus:
            self.bus.close()
        kill_strays()
        for path in self.remove_at_close:
            if os.path.isdir(path) and not os.path.islink(path):
                shutil.rmtree(path, ignore_errors=True)
            elif os.path.lexists(path):
                os.unlink(path)

    def logs(self):
        return {name: proc.log_path for name, proc in self.procs.items()}

    # -- bus ------------------------------------------------------------------------
    def start_bus(self):
        os.makedirs(BUS_DIR, exist_ok=True)
        socket = BUS_ADDRESS.split("=", 1)[1]
        if os.path.exists(socket):
            os.unlink(socket)
        conf = os.path.join(source_dir(), "sim", "bus", "gateway-bus.conf")
        self.bus = self.start("bus", ["dbus-daemon", "--config-file=" + conf, "--nofork",
                                      "--print-address=1"], ready_regex=r"^unix:")
        return self.bus

    def busctl(self, *args, timeout=5.0):
        """Runs busctl on the gateway bus; returns the CompletedProcess."""
        argv = ["busctl", "--address=" + BUS_ADDRESS, "--no-pager"] + [str(a) for a in args]
        return subprocess.run(argv, capture_output=True, text=True, timeout=timeout + 5)

    def call(self, dest, path, interface, member, signature="", *args, timeout=5.0):
        """Method call through busctl; returns the reply's argument list, raises BusError."""
        argv = ["call", "--json=short", "--timeout=%gs" % timeout, dest, path, interface,
                member]
        if signature:
            argv += [signature] + [str(a) for a in args]
        res = self.busctl(*argv, timeout=timeout)
        if res.returncode != 0:
            err = res.stderr.strip()
            raise BusError(err, timed_out=bool(re.search(r"timed out|NoReply|Timeout", err)))
        out = res.stdout.strip()
        return json.loads(out)["data"] if out else []

    def dbus_send(self, *args, timeout=5.0):
        """Runs dbus-send on the gateway bus; returns the CompletedProcess."""
        argv = ["dbus-send", "--bus=" + BUS_ADDRESS] + [str(a) for a in args]
        return subprocess.run(argv, capture_output=True, text=True, timeout=timeout + 5)

    def call_bus_driver(self, member, signature="", *args):
        return self.call("org.freedesktop.DBus", "/org/freedesktop/DBus",
                         "org.freedesktop.DBus", member, signature, *args)

    def name_has_owner(self, name):
        return bool(self.call_bus_driver("NameHasOwner", "s", name)[0])

    def name_owner(self, name):
        try:
            return self.call_bus_driver("GetNameOwner", "s", name)[0]
        except BusError:
            return None

    def wait_for_name(self, name, present=True, timeout=10.0):
        poll(lambda: self.name_has_owner(name) == present, timeout,
             "bus name %s %s after %.1f s"
             % (name, "not owned" if present else "still owned", timeout))

    def hold_name(self, name, proc_name=None):
        """Starts a peer that owns `name` (as primary owner) until it is stopped."""
        peer = os.path.join(os.path.dirname(os.path.abspath(__file__)), "bus_peer.py")
        return self.start_python(proc_name or "holder-" + name, peer,
                                 ["--address", BUS_ADDRESS, "--name", name],
                                 ready_regex=r"^owned ")

    def start_monitor(self, name="monitor"):
        """dbus-monitor in profile mode: one line per message on the bus."""
        proc = self.start(name, ["dbus-monitor", "--address", BUS_ADDRESS, "--profile"],
                          ready_regex=r"^#type")
        time.sleep(0.2)  # the header is printed before BecomeMonitor has taken effect
        return proc

    @staticmethod
    def monitor_messages(proc, **match):
        """Messages seen by a monitor, as dicts, filtered by equal fields (type, sender,
        destination, path, interface, member)."""
        keys = ("type", "time", "serial", "sender", "destination", "path", "interface",
                "member")
        out = []
        for line in proc.log_lines():
            if line.startswith("#") or "\t" not in line:
                continue
            msg = dict(zip(keys, line.split("\t")))
            if all(msg.get(k) == v for k, v in match.items()):
                out.append(msg)
        return out

    # -- watchdog -------------------------------------------------------------------
    def start_watchdog(self):
        script = os.path.join(source_dir(), "sim", "watchdog", "watchdog_sim.py")
        if os.path.exists(self.watchdog_record):
            os.unlink(self.watchdog_record)
        self.watchdog = self.start_python("watchdog", script,
                                          ["--address", BUS_ADDRESS, "--record",
                                           self.watchdog_record],
                                          ready_regex=r'"event": "ready"')
        return self.watchdog

    def watchdog_events(self, event=None):
        """The watchdog's records (dicts), optionally only those of one event kind."""
        if not os.path.exists(self.watchdog_record):
            return []
        with open(self.watchdog_record, encoding="utf-8") as f:
            records = [json.loads(line) for line in f if line.strip()]
        return [r for r in records if event is None or r["event"] == event]

    def feeds(self, service=MONITOR_NAME):
        return [r for r in self.watchdog_events("feed") if r.get("service") == service]

    def wait_for_feeds(self, count, timeout=15.0, service=MONITOR_NAME):
        return poll_count(lambda: self.feeds(service), count, timeout,
                          "feed(s) from %s" % service, interval=0.1)

    # -- configuration manager ----------------------------------------------------------
    def _cfg_binary(self, name):
        return os.path.join(build_dir(), "platform", "config-manager", name)

    def start_config_manager(self, entries=None, test=None):
        """Starts the configuration manager with `entries` (key -> value) in its store.
        Skips the calling test (unittest.SkipTest) when the service is not built."""
        service = self._cfg_binary("config_manager_service")
        if not os.access(service, os.X_OK):
            raise unittest.SkipTest("configuration manager not built: %s" % service)
        with open(self.cfg_store, "w", encoding="utf-8") as f:
            f.write(format_store(entries or {}))
        self.config = self.start("config", [service, "--address", BUS_ADDRESS,
                                            "--store", self.cfg_store],
                                 ready_regex=CONFIG_READY)
        return self.config

    def cfgtool(self, *args, timeout=5.0):
        tool = self._cfg_binary("cfgtool")
        argv = [tool, "--address", BUS_ADDRESS] + [str(a) for a in args]
        return subprocess.run(argv, capture_output=True, text=True, timeout=timeout + 5)

    def cfg_get(self, key):
        """The stored value, or None when the key is absent."""
        res = self.cfgtool("get", key)
        return res.stdout.rstrip("\n") if res.returncode == 0 else None

    def cfg_set(self, key, value):
        res = self.cfgtool("set", key, str(value))
        if res.returncode != 0:
            raise BusError("cfgtool set %s: %s" % (key, res.stderr.strip()))

    def cfg_delete(self, key):
        res = self.cfgtool("delete", key)
        if res.returncode != 0:
            raise BusError("cfgtool delete %s: %s" % (key, res.stderr.strip()))

    # -- daemon ---------------------------------------------------------------------
    @staticmethod
    def daemon_binary():
        return os.environ.get("SM_E2E_DAEMON") or os.path.join(build_dir(), "src",
                                                              "service_monitor")

    def install_daemon(self):
        src = self.daemon_binary()
        if not os.access(src, os.X_OK):
            raise unittest.SkipTest("daemon not built: %s" % src)
        os.makedirs(os.path.dirname(INSTALLED_DAEMON), exist_ok=True)
        shutil.copy2(src, INSTALLED_DAEMON)
        return INSTALLED_DAEMON

    def start_daemon(self, ready=True, env=None, timeout=15.0):
        """Installs and starts the daemon; with `ready`, waits for its name on the bus."""
        path = self.install_daemon()
        daemon_env = {"ASAN_OPTIONS": os.environ.get("ASAN_OPTIONS",
                                                     "detect_leaks=1:abort_on_error=0"),
                      "UBSAN_OPTIONS": os.environ.get("UBSAN_OPTIONS",
                                                      "print_stacktrace=1:halt_on_error=1")}
        daemon_env.update(env or {})
        self.daemon = self.start("daemon", [path], env=daemon_env,
                                 cwd=os.path.dirname(path))
        if ready:
            self.wait_for_daemon_name(timeout)
        return self.daemon

    def wait_for_daemon_name(self, timeout=15.0):
        def owned():
            if not self.daemon.alive():
                raise AssertionError("daemon ended before owning its name (%s):\n%s"
                                     % (self.daemon.state(), self.daemon.tail()))
            return self.name_has_owner(MONITOR_NAME)
        poll(owned, timeout, "daemon did not own %s within %.1f s" % (MONITOR_NAME, timeout))

    def call_monitor(self, member, signature="", *args, timeout=5.0,
                     interface=MONITOR_NAME, path=MONITOR_PATH):
        return self.call(MONITOR_NAME, path, interface, member, signature, *args,
                         timeout=timeout)


def _escape_field(text, is_key):
    out = (text.replace("\\", "\\\\").replace("\t", "\\t").replace("\r", "\\r")
           .replace("\n", "\\n"))
    return "\\" + out if is_key and out.startswith("#") else out


def format_store(entries):
    """The configuration store file for `entries`: one key<TAB>value line per entry."""
    return "".join("%s\t%s\n" % (_escape_field(str(k), True), _escape_field(str(v), False))
                   for k, v in sorted(entries.items()))


# The configuration manager prints this once it serves the bus.
CONFIG_READY = r"config_manager_service: serving "


def log_message(line):
    """The message part of a daemon log line (after 'file:line function: ')."""
    m = re.match(r"^\S+ \S+ \S+\s+\S+\[\d+\] \S+:\d+ \S+: (.*)$", line)
    return m.group(1) if m else line


def messages(proc):
    """The message texts of the daemon's log lines."""
    return [log_message(line) for line in proc.log_lines()]


class GatewayTestCase(unittest.TestCase):
    """Gives each test a fresh `self.gw`; on failure prints and keeps the logs."""

    def setUp(self):
        self.gw = Gateway(self.id().split(".", 1)[-1])
        self.addCleanup(self.gw.close)

    def assertInOrder(self, proc, expected):
        """Each expected message appears, exactly, after the previous one."""
        got = messages(proc)
        pos = 0
        for text in expected:
            try:
                pos = got.index(text, pos) + 1
            except ValueError:
                self.fail("%r missing (or out of order) in the daemon log" % text)

    def wait_until(self, probe, what, timeout=10.0):
        """Polls `probe` until it gives a true value, which it returns."""
        return poll(probe, timeout, "%s within %.1f s" % (what, timeout))

    def run(self, result=None):
        result = result if result is not None else self.defaultTestResult()
        before = len(result.failures) + len(result.errors)
        out = super().run(result)
        if len(result.failures) + len(result.errors) > before:
            self._report_logs()
        return out

    def _report_logs(self):
        gw = getattr(self, "gw", None)
        if gw is None:
            return
        err = sys.stderr
        for name, path in gw.logs().items():
            try:
                with open(path, "rb") as f:
                    lines = f.read().decode("utf-8", "replace").splitlines()
            except OSError:
                continue
            err.write("----- %s: %s (last %d of %d lines) -----\n"
                      % (self.id(), name, min(len(lines), 80), len(lines)))
            err.write("\n".join(lines[-80:]) + "\n")
        keep = os.environ.get("SM_E2E_KEEP_LOGS") or os.path.join(build_dir(), "Testing",
                                                                   "e2e-logs")
        try:
            dest = os.path.join(keep, os.path.basename(gw.log_dir))
            shutil.rmtree(dest, ignore_errors=True)
            shutil.copytree(gw.log_dir, dest)
            err.write("----- logs kept in %s -----\n" % dest)
        except OSError as exc:
            err.write("----- logs not kept: %s -----\n" % exc)
        err.flush()


def main():
    """unittest.main for a test script, run inside the sandbox."""
    ensure_sandbox()
    unittest.main(verbosity=2)
