#!/usr/bin/python3
"""The configuration road end to end: the daemon subscribes both switch keys on a private
connection at start-up (retrying a missing configuration manager), changes made with
cfgtool reach it as notify_config, and shutdown unsubscribes both keys in order.

Run with --config-stand-in, this file is itself a configuration manager that accepts the
subscription of gw_zeb_switch and refuses every other one."""

import os
import re
import shutil
import signal
import sys
import time

import harness
from harness import BUS_ADDRESS, MONITOR_NAME

CONFIG_NAME = "iot.gateway.config"
DPS_DIR = "/harbex/gateway/build/bin/dps/script"
SERIAL_FAILED = ('get serialnum failed, write empty string(gw_zeb_serialNumber="") '
                 'to config-manager')
CONFIG_INVALID = 100101
CONFIG_NOT_FOUND = 100100

# First line of an AddressSanitizer, LeakSanitizer or UndefinedBehaviorSanitizer report.
SANITIZER_REPORT = r"ERROR: (Address|Leak)Sanitizer|runtime error:"


def refusing_config_manager(address):
    """Answers subscribe_config with 0 for gw_zeb_switch and an error code otherwise."""
    import dbus
    import dbus.bus
    import dbus.lowlevel
    from dbus.mainloop.glib import DBusGMainLoop
    from gi.repository import GLib

    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(address)
    loop = GLib.MainLoop()

    def on_message(conn, msg):
        if msg.get_type() != 1 or msg.get_destination() != CONFIG_NAME:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        args = msg.get_args_list()
        print("call %s %s" % (msg.get_member(), " ".join(str(a) for a in args)), flush=True)
        reply = dbus.lowlevel.MethodReturnMessage(msg)
        if msg.get_member() == "subscribe_config":
            ok = len(args) > 1 and args[1] == "gw_zeb_switch"
            reply.append(dbus.Int32(0 if ok else CONFIG_INVALID))
        elif msg.get_member() == "get_config":
            reply.append(dbus.Int32(CONFIG_NOT_FOUND), "")
        else:
            reply.append(dbus.Int32(0))
        conn.send_message(reply)
        return dbus.lowlevel.HANDLER_RESULT_HANDLED

    bus.add_message_filter(on_message)
    bus.request_name(CONFIG_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    GLib.unix_signal_add(GLib.PRIORITY_HIGH, signal.SIGTERM, loop.quit)
    print("serving %s" % CONFIG_NAME, flush=True)
    loop.run()


messages = harness.messages


class ArgMonitor:
    """dbus-monitor in its default format for a few members, so that arguments show."""

    HEAD = re.compile(r"^(method call|method return|signal|error) .*?sender=(\S+) -> "
                      r"destination=(\S+) serial=(\d+)(?: path=([^;]*); interface=([^;]*); "
                      r"member=(\S+))?")

    def __init__(self, gw, members, name="argmonitor"):
        rules = ["type='method_call',member='%s'" % m for m in members]
        self.proc = gw.start(name, ["dbus-monitor", "--address", BUS_ADDRESS] + rules)
        time.sleep(0.5)  # until BecomeMonitor has taken effect

    def calls(self, member=None):
        """Method calls seen, as dicts with sender, destination, member and args."""
        out = []
        for line in self.proc.log_lines():
            head = self.HEAD.match(line)
            if head:
                out.append({"kind": head.group(1), "sender": head.group(2),
                            "destination": head.group(3), "member": head.group(7),
                            "args": []})
                continue
            arg = re.match(r'^\s+(string|int32) (.*)$', line)
            if arg and out:
                value = arg.group(2)
                out[-1]["args"].append(json_string(value) if arg.group(1) == "string"
                                       else int(value))
        return [c for c in out if c["kind"] == "method call"
                and (member is None or c["member"] == member)]

    def wait_calls(self, member, count, timeout=5.0):
        """The calls of `member` once at least `count` are seen: the monitor may write a
        call after its destination has already acted on it."""
        return harness.poll_count(lambda: self.calls(member), count, timeout,
                                  "call(s) of %s seen" % member)


def json_string(text):
    """A dbus-monitor string literal ("..." with backslash escapes) as text."""
    inner = text[1:-1] if text.startswith('"') and text.endswith('"') else text
    return re.sub(r'\\(.)', r'\1', inner)


class RoadCase(harness.GatewayTestCase):

    def tearDown(self):
        daemon = self.gw.daemon
        if daemon is not None:
            reports = daemon.count(SANITIZER_REPORT)
            self.assertEqual(reports, 0, "sanitizer report in the daemon log")
    def start_partners(self, config=True, entries=None, members=()):
        gw = self.gw
        gw.start_bus()
        self.args = ArgMonitor(gw, members) if members else None
        gw.start_watchdog()
        if config:
            gw.start_config_manager(entries or {})
        os.makedirs(DPS_DIR, exist_ok=True)
        for name in ("startDPS.sh", "stopDPS.sh"):
            target = os.path.join(DPS_DIR, name)
            shutil.copy(os.path.join(harness.source_dir(), "sim", "dps", name), target)
            os.chmod(target, 0o755)
        gw.remove_at_close.append(DPS_DIR)
        self.dps_record = os.path.join(gw.log_dir, "dps-record.log")
        if os.path.exists(self.dps_record):
            os.unlink(self.dps_record)

    def start_daemon(self, ready=True):
        daemon = self.gw.start_daemon(ready=ready, env={"DPS_SIM_RECORD": self.dps_record})
        if ready:
            self.gw.wait_for_feeds(1, timeout=20)
            self.owner = self.gw.name_owner(MONITOR_NAME)
        return daemon

    def dps_scripts(self):
        if not os.path.exists(self.dps_record):
            return []
        with open(self.dps_record, encoding="utf-8") as f:
            return [line.split()[0] for line in f if line.strip()]



class SubscriptionTest(RoadCase):
    def test_startup_subscribes_both_keys_on_a_private_connection(self):
        self.start_partners(members=["subscribe_config"])
        daemon = self.start_daemon()
        calls = self.args.wait_calls("subscribe_config", 2)
        self.assertEqual([c["args"] for c in calls],
                         [[MONITOR_NAME, "gw_zeb_switch", 1], [MONITOR_NAME, "gw_dps_switch", 1]])
        self.assertEqual([c["destination"] for c in calls], [CONFIG_NAME] * 2)
        senders = {c["sender"] for c in calls}
        self.assertEqual(len(senders), 1, senders)
        self.assertNotIn(self.owner, senders, "subscribed on the named connection")
        log = messages(daemon)
        self.assertLess(log.index("register service monitor to monitor"),
                        log.index("config(gw_zeb_switch) not exists and stop zeb plugin"))

    def test_late_config_manager_is_subscribed_on_a_later_attempt(self):
        self.start_partners(config=False, members=["subscribe_config"])
        daemon = self.start_daemon(ready=False)
        self.wait_until(lambda: self.args.calls("subscribe_config"), "a first subscription")
        self.gw.start_config_manager({})
        self.gw.wait_for_feeds(1, timeout=20)
        self.assertTrue(daemon.alive())
        self.wait_until(lambda: any(c["args"][1] == "gw_dps_switch"
                                    for c in self.args.calls("subscribe_config")),
                        "the subscription of gw_dps_switch seen on the bus")
        keys = [c["args"][1] for c in self.args.calls("subscribe_config")]
        self.assertEqual(keys[-1], "gw_dps_switch")
        self.assertEqual(keys.count("gw_dps_switch"), 1)
        self.assertIn(keys.count("gw_zeb_switch"), (2, 3, 4), keys)
        self.assertNotIn("subscribe config(gw_zeb_switch) failed", messages(daemon))

    def test_refused_second_key_ends_startup_after_four_attempts(self):
        self.start_partners(config=False, members=["subscribe_config"])
        stand_in = self.gw.start_python("config", os.path.abspath(__file__),
                                        ["--config-stand-in", BUS_ADDRESS],
                                        ready_regex=r"^serving ")
        daemon = self.start_daemon(ready=False)
        self.assertEqual(daemon.wait(40), 0)
        keys = [c["args"][1] for c in self.args.wait_calls("subscribe_config", 5)]
        self.assertEqual(keys, ["gw_zeb_switch"] + ["gw_dps_switch"] * 4)
        log = messages(daemon)
        pos = 0
        for text in ("subscribe config(gw_dps_switch) failed", "DBus init failed",
                     "service monitor init failed", "service_monitor exit"):
            self.assertIn(text, log[pos:])
            pos = log.index(text, pos) + 1
        self.assertEqual(self.gw.feeds(), [])
        self.assertTrue(stand_in.alive())


class ConfigRoadTest(RoadCase):
    def test_cfgtool_changes_reach_the_daemon(self):
        self.start_partners(members=["notify_config"])
        daemon = self.start_daemon()
        self.wait_until(lambda: self.dps_scripts() == ["stopDPS.sh"], "the start-up DPS stop")
        gw = self.gw
        gw.cfg_set("gw_dps_switch", 1)
        daemon.wait_for_log(r"notify_config, gw_dps_switch:1$")
        daemon.wait_for_log(r"switch dps success! value = 1$")
        self.wait_until(lambda: self.dps_scripts()[1:] == ["startDPS.sh"], "DPS started")
        gw.cfg_set("gw_zeb_switch", 0)
        daemon.wait_for_log(r"notify_config, gw_zeb_switch:0$")
        daemon.wait_for_log(r"get serialnum failed", count=2)
        # A deleted key reads as empty, which counts as 0.
        gw.cfg_delete("gw_dps_switch")
        daemon.wait_for_log(r"notify_config, gw_dps_switch:$")
        daemon.wait_for_log(r"switch dps success! value = 0$")
        self.wait_until(lambda: self.dps_scripts()[2:] == ["stopDPS.sh"], "DPS stopped")
        # Keys the daemon did not subscribe are not reported to it.
        gw.cfg_set("gw_other_switch", 1)
        gw.cfg_set("gw_dps_switch", "0")
        daemon.wait_for_log(r"notify_config, gw_dps_switch:0$")
        notified = [c["args"] for c in self.args.wait_calls("notify_config", 4)
                    if c["destination"] == MONITOR_NAME]
        self.assertEqual(notified, [["gw_dps_switch", "1"], ["gw_zeb_switch", "0"],
                                    ["gw_dps_switch", ""], ["gw_dps_switch", "0"]])
        self.assertEqual(gw.cfg_get("gw_zeb_serialNumber"), '""')
        self.assertFalse(gw.config.has("notify_config to .* failed"))
        self.assertEqual(messages(daemon).count(SERIAL_FAILED), 2)

    def test_shutdown_unsubscribes_both_keys_before_releasing_the_name(self):
        self.start_partners(members=["subscribe_config", "unsubscribe_config", "ReleaseName",
                                     "notify_config"])
        daemon = self.start_daemon()
        self.assertEqual(daemon.stop(signal.SIGINT, timeout=15), 0)
        self.args.wait_calls("ReleaseName", 1)
        calls = [c for c in self.args.calls() if c["member"] != "notify_config"]
        self.assertEqual([(c["member"], c["args"]) for c in calls], [
            ("subscribe_config", [MONITOR_NAME, "gw_zeb_switch", 1]),
            ("subscribe_config", [MONITOR_NAME, "gw_dps_switch", 1]),
            ("unsubscribe_config", [MONITOR_NAME, "gw_zeb_switch"]),
            ("unsubscribe_config", [MONITOR_NAME, "gw_dps_switch"]),
            ("ReleaseName", [MONITOR_NAME]),
        ])
        self.assertEqual(len({c["sender"] for c in calls[:4]}), 1, "not the private connection")
        self.assertEqual(calls[4]["sender"], self.owner)
        self.assertFalse(self.gw.name_has_owner(MONITOR_NAME))
        # The manager has forgotten the daemon: changes are not sent to its name any more.
        self.gw.cfg_set("gw_zeb_switch", 1)
        self.gw.cfg_set("gw_dps_switch", 1)
        time.sleep(1.0)
        self.assertEqual(self.args.calls("notify_config"), [])
        self.assertFalse(self.gw.config.has("notify_config to .* failed"))


if __name__ == "__main__":
    if len(sys.argv) == 3 and sys.argv[1] == "--config-stand-in":
        refusing_config_manager(sys.argv[2])
    else:
        harness.main()
