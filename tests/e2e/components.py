#!/usr/bin/python3
"""Helpers for the end-to-end tests of component supervision.

Installs the agent stand-in as the monitoring agent and the DPS stand-in scripts at their
fixed paths, reads what they record, finds agent processes, and starts the gateway around
the daemon (bus, watchdog, configuration manager, credential and cloud stand-ins).

Run as a script it is a configuration manager that fails: it owns the configuration
manager's bus name, accepts subscriptions and answers every read with a failure code
(--mode fail) or leaves the bus at the first read (--mode leave).
"""

import json
import os
import re
import shutil
import signal
import stat
import sys
import time
import unittest

import harness
import peers

AGENT_NAME = "ZebGoAgent.linux"
AGENT_PATH = "/harbex/gateway/build/bin/vestrel/ZebGoAgent.linux"
AGENT_RECORD = "/tmp/agent-sim/record.jsonl"
AGENT_MODE = "/tmp/agent-sim/mode"
SERIAL_FILE = "/etc/vestrel/serial_number.properties"
KEY_FILE = "/harbex/gateway/build/bin/vestrel/config/accesskey.properties"
DPS_DIR = "/harbex/gateway/build/bin/dps/script"
DPS_RECORD = "/tmp/dps-sim/record.log"
DPS_SESSIONS = "/tmp/dps-sim/sessions.log"
GATEWAY_BASE = "/harbex/gateway/build"
CONFIG_NAME = "iot.gateway.config"
CREDENTIAL_NAME = "iot.gateway.credential"

SERIAL = "SN123"
SERIAL_LINE = "zeb.agent.serialNumber=%s\n" % SERIAL
ACCESS_KEY = "agentAccessKey01"
SECRET_KEY = "agentSecret/Key+02"
AGENT_KEYS = {"gw_zeb_accessKey": ACCESS_KEY, "gw_zeb_secretKey": SECRET_KEY}
KEY_FILE_TEXT = "zeb.agent.accesskey=%s\nzeb.agent.secretkey=%s\n" % (ACCESS_KEY, SECRET_KEY)
CLOUD_CREDENTIAL = {"accessKeyId": "STS.gatewayKey", "accessKeySecret": "gateway-secret",
                    "securityToken": "CAIStoken+/="}
DEVICE = {"gw_system_productkey": "pk01", "gw_system_devicename": "dev01",
          "gw_account_id": "1234567890"}

# Every file a test here may leave behind; removed before and after each test.
LEFTOVERS = (AGENT_PATH, AGENT_RECORD, AGENT_MODE, DPS_RECORD, DPS_SESSIONS,
             os.path.join(DPS_DIR, "startDPS.sh"), os.path.join(DPS_DIR, "stopDPS.sh"),
             SERIAL_FILE, KEY_FILE,
             os.path.join(GATEWAY_BASE, "config", "service-monitor", "cacert.pem"))

SANITIZER_REPORT = re.compile(r"ERROR: AddressSanitizer|ERROR: LeakSanitizer|"
                              r"WARNING: ThreadSanitizer|runtime error:|"
                              r"SUMMARY: (Address|Thread|UndefinedBehavior)Sanitizer")


messages = harness.messages


def remove_leftovers():
    for path in LEFTOVERS:
        if os.path.lexists(path):
            os.unlink(path)


# -- agent stand-in ---------------------------------------------------------------------
def agent_binary():
    return os.path.join(harness.build_dir(), "sim", "agent", "zeb_agent_sim")


def install_agent(mode="normal"):
    """Installs the agent stand-in where the daemon starts the agent."""
    src = agent_binary()
    if not os.access(src, os.X_OK):
        raise unittest.SkipTest("agent stand-in not built: %s" % src)
    if not os.path.exists(AGENT_PATH):  # a running agent keeps its executable busy
        os.makedirs(os.path.dirname(AGENT_PATH), exist_ok=True)
        shutil.copy2(src, AGENT_PATH)
    set_agent_mode(mode)
    return AGENT_PATH


def set_agent_mode(mode):
    """Mode of the next agent start: normal, exit, crash or ignore-term."""
    os.makedirs(os.path.dirname(AGENT_MODE), exist_ok=True)
    with open(AGENT_MODE, "w", encoding="utf-8") as f:
        f.write(mode + "\n")


def agent_records(event=None):
    if not os.path.exists(AGENT_RECORD):
        return []
    with open(AGENT_RECORD, encoding="utf-8") as f:
        records = [json.loads(line) for line in f if line.strip()]
    return [r for r in records if event is None or r["event"] == event]


def _read(path):
    try:
        with open(path, "rb") as f:
            return f.read()
    except OSError:
        return None


def proc_stat(pid):
    """(state, ppid, session id) of a process, or None when it is gone."""
    text = _read("/proc/%d/stat" % pid)
    if text is None:
        return None
    fields = text.decode("utf-8", "replace").rsplit(")", 1)[1].split()
    return fields[0], int(fields[1]), int(fields[3])


def agent_processes():
    """{pid: ppid} of the live processes whose argv[0] holds the agent's name."""
    found = {}
    for entry in os.listdir("/proc"):
        if not entry.isdigit():
            continue
        cmdline = _read("/proc/%s/cmdline" % entry)
        if not cmdline or AGENT_NAME not in cmdline.split(b"\0")[0].decode("utf-8", "replace"):
            continue
        st = proc_stat(int(entry))
        if st is not None and st[0] != "Z":
            found[int(entry)] = st[1]
    return found


def argv0(pid):
    cmdline = _read("/proc/%d/cmdline" % pid) or b""
    return cmdline.split(b"\0")[0].decode("utf-8", "replace")


def wait_for(predicate, timeout, what):
    """Polls predicate until it returns something true; returns that, fails on timeout."""
    return harness.poll(predicate, timeout, "%s: not within %.1f s" % (what, timeout))


def wait_for_agent(parent=None, timeout=10.0, exclude=()):
    """The pid of a running agent (a child of `parent` when given), not one of `exclude`."""
    def find():
        for pid, ppid in sorted(agent_processes().items()):
            if pid not in exclude and (parent is None or ppid == parent):
                return pid
        return None
    return wait_for(find, timeout, "agent process (parent %s)" % parent)


def wait_no_agent(timeout=5.0):
    wait_for(lambda: not agent_processes(), timeout, "no agent process")


# -- DPS stand-in scripts -----------------------------------------------------------------
# The installed script notes its session id, then becomes the stand-in script itself (same
# process, so pid, parent and session stay as the daemon left them).
DPS_WRAPPER = """#!/bin/sh
mkdir -p "$(dirname "{sessions}")"
echo "$(basename "$0") $$ $(cut -d' ' -f6 /proc/$$/stat)" >> "{sessions}"
exec "{script}"
"""


def install_dps():
    os.makedirs(DPS_DIR, exist_ok=True)
    for name in ("startDPS.sh", "stopDPS.sh"):
        path = os.path.join(DPS_DIR, name)
        script = os.path.join(harness.source_dir(), "sim", "dps", name)
        with open(path, "w", encoding="utf-8") as f:
            f.write(DPS_WRAPPER.format(sessions=DPS_SESSIONS, script=script))
        os.chmod(path, 0o755)


def dps_runs():
    """One dict per script run: script, time, pid, ppid, sid."""
    sessions = {}
    for line in (_read(DPS_SESSIONS) or b"").decode().splitlines():
        name, pid, sid = line.split()
        sessions[int(pid)] = int(sid)
    runs = []
    for line in (_read(DPS_RECORD) or b"").decode().splitlines():
        name, when, pid, ppid = line.split()
        runs.append({"script": name, "time": float(when), "pid": int(pid), "ppid": int(ppid),
                     "sid": sessions.get(int(pid))})
    return runs


def wait_for_dps_runs(count, timeout=5.0):
    return harness.poll_count(dps_runs, count, timeout, "DPS script run(s)")


# -- property files -----------------------------------------------------------------------
def write_serial_file(text=SERIAL_LINE):
    os.makedirs(os.path.dirname(SERIAL_FILE), exist_ok=True)
    with open(SERIAL_FILE, "w", encoding="utf-8") as f:
        f.write(text)


def write_key_file(text):
    os.makedirs(os.path.dirname(KEY_FILE), exist_ok=True)
    with open(KEY_FILE, "w", encoding="utf-8") as f:
        f.write(text)


def read_text(path):
    data = _read(path)
    return None if data is None else data.decode("utf-8", "replace")


def file_mode(path):
    return stat.S_IMODE(os.stat(path).st_mode)


# -- daemon calls ---------------------------------------------------------------------------
def post_metric(gw, text, timeout=5.0):
    """PostMetricData through busctl; the reply JSON as a dict (fails if it is not JSON)."""
    reply = gw.call_monitor("PostMetricData", "s", text, timeout=timeout)
    return json.loads(reply[0])


def metric_request(ts_ms=None, request_id="req-1", **extra):
    doc = {"id": request_id, "ts": ts_ms if ts_ms is not None else int(time.time() * 1000),
           "moduleName": "gateway/uplink",
           "params": [{"metricName": "cpu_usage", "value": 12.5, "collectRule": "avg"}]}
    doc.update(extra)
    return json.dumps(doc)


# -- the gateway around the daemon ---------------------------------------------------------
class ComponentCase(harness.GatewayTestCase):
    """A gateway test with the component stand-ins installed and the leftovers removed."""

    def setUp(self):
        super().setUp()
        harness.kill_strays()
        remove_leftovers()
        self.addCleanup(remove_leftovers)
        self.credential = None
        self.cloud = None

    def start_gateway(self, entries, serial=SERIAL_LINE, agent_mode="normal", credential=False,
                      cloud=False, monitor=False, daemon=True):
        """Bus, watchdog, configuration manager with `entries`, the stand-ins asked for and
        the daemon, waiting until its start-up has finished (its first watchdog feed).
        Returns the bus monitor when asked for one."""
        gw = self.gw
        install_agent(agent_mode)
        install_dps()
        if serial is not None:
            write_serial_file(serial)
        gw.start_bus()
        mon = gw.start_monitor() if monitor else None
        gw.start_watchdog()
        gw.start_config_manager(entries)
        if credential:
            self.start_credential()
        if cloud:
            self.start_cloud()
        if daemon:
            self.start_daemon()
        return mon

    def start_daemon(self):
        daemon = self.gw.start_daemon()
        self.gw.wait_for_feeds(1, timeout=20)
        return daemon

    def credentials_file(self):
        path = os.path.join(self.gw.log_dir, "credentials.json")
        with open(path, "w", encoding="utf-8") as f:
            json.dump({"credentials": [CLOUD_CREDENTIAL]}, f)
        return path

    def start_credential(self):
        self.credential = peers.start_credential(self.gw, self.credentials_file())
        return self.credential

    def credential_calls(self):
        return self.credential.calls() if self.credential else []

    def start_cloud(self):
        self.cloud = peers.start_cloud(self.gw, [CLOUD_CREDENTIAL])
        return self.cloud

    # -- checks ---------------------------------------------------------------------------
    def assertLogged(self, proc, text):
        self.assertIn(text, messages(proc))

    def assertNotLogged(self, proc, text):
        self.assertNotIn(text, messages(proc))

    def assertNoSanitizerReport(self, proc):
        hits = [line for line in proc.log_lines() if SANITIZER_REPORT.search(line)]
        self.assertEqual(hits, [], "sanitizer report in the %s log" % proc.name)

    def stop_daemon(self, timeout=15.0):
        """SIGINT: the daemon must end in order with status 0 and no sanitizer report."""
        daemon = self.gw.daemon
        self.assertEqual(daemon.stop(signal.SIGINT, timeout=timeout), 0)
        self.assertIn("service_monitor exit", messages(daemon))
        self.assertNoSanitizerReport(daemon)
        return daemon


# -- a configuration manager that fails -----------------------------------------------------
def _serve_failing_config(argv):
    import argparse
    import dbus
    import dbus.bus
    import dbus.lowlevel
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    parser = argparse.ArgumentParser(description="failing configuration manager")
    parser.add_argument("--address", default=harness.BUS_ADDRESS)
    parser.add_argument("--mode", choices=("fail", "leave"), default="fail")
    parser.add_argument("--code", type=int, default=-500, help="result code of a read")
    opts = parser.parse_args(argv)

    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(opts.address)
    bus.set_exit_on_disconnect(False)
    loop = GLib.MainLoop()

    def answer(msg, *values, signature):
        reply = dbus.lowlevel.MethodReturnMessage(msg)
        reply.append(*values, signature=signature)
        bus.send_message(reply)

    def on_message(_conn, msg):
        if msg.get_type() != 1 or msg.get_interface() != CONFIG_NAME:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        member = msg.get_member()
        args = [str(a) for a in msg.get_args_list()]
        print("call %s %s" % (member, " ".join(args)), flush=True)
        if member == "get_config":
            if opts.mode == "leave":
                print("leaving", flush=True)
                loop.quit()
            else:
                answer(msg, dbus.Int32(opts.code), "", signature="is")
        elif member in ("subscribe_config", "unsubscribe_config", "set_config"):
            answer(msg, dbus.Int32(0 if member != "set_config" else opts.code), signature="i")
        return dbus.lowlevel.HANDLER_RESULT_HANDLED

    bus.add_message_filter(on_message)
    if bus.request_name(CONFIG_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != \
            dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        print("cannot own %s" % CONFIG_NAME, flush=True)
        return 1
    for signum in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, loop.quit)
    print("serving %s" % CONFIG_NAME, flush=True)
    loop.run()
    return 0


def start_failing_config(gw, mode):
    return gw.start_python("config", os.path.abspath(__file__),
                           ["--address", harness.BUS_ADDRESS, "--mode", mode],
                           ready_regex=r"^serving ")


if __name__ == "__main__":
    sys.exit(_serve_failing_config(sys.argv[1:]))
