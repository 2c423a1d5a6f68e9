#!/usr/bin/python3
"""The daemon's bus methods end to end: Introspect, notify_config with the switch actions
it triggers, getSelfDescribing and PostMetricData, called with busctl, gdbus and dbus-send
on the gateway bus, with the configuration manager and the DPS script stand-ins."""

import json
import os
import shutil
import signal
import subprocess
import time

import harness
from harness import BUS_ADDRESS, MONITOR_NAME, MONITOR_PATH

CONFIG_NAME = "iot.gateway.config"
INTROSPECTABLE = "org.freedesktop.DBus.Introspectable"
DPS_DIR = "/harbex/gateway/build/bin/dps/script"
SERIAL_FILE = "/etc/vestrel/serial_number.properties"
SECRET_FILE = "/harbex/gateway/build/bin/vestrel/config/accesskey.properties"
AGENT_PATH = "/harbex/gateway/build/bin/vestrel/ZebGoAgent.linux"
SERIAL_FAILED = ('get serialnum failed, write empty string(gw_zeb_serialNumber="") '
                 'to config-manager')
DISABLED_REPLY = '{"id":"","code":110100, "message":"metric module is disable"}'

# First line of an AddressSanitizer, LeakSanitizer or UndefinedBehaviorSanitizer report.
SANITIZER_REPORT = r"ERROR: (Address|Leak)Sanitizer|runtime error:"


def introspection_document():
    """The document as pretty-printed XML with each line break turned into one blank."""
    lines = [
        (0, '<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"'
            ' "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">'),
        (0, "<!-- dbus-sharp 0.8.1 -->"),
        (0, "<node>"),
        (1, '<interface name="org.freedesktop.DBus.Introspectable">'),
        (2, '<method name="Introspect">'),
        (3, '<arg name="data" direction="out" type="s" />'),
        (2, "</method>"),
        (1, "</interface>"),
        (1, '<interface name="iot.dmp.service.monitor">'),
        (2, '<method name="notify_config">'),
        (3, '<arg name="key" direction="in" type="s" />'),
        (3, '<arg name="value" direction="out" type="s" />'),
        (3, '<arg name="code" direction="out" type="i" />'),
        (2, "</method>"),
        (1, "</interface>"),
        (0, "</node>"),
    ]
    return "".join(" " + "  " * depth + text for depth, text in lines)


messages = harness.messages


def bus_messages(monitor):
    """The messages a profile-mode dbus-monitor saw, in bus order. Calls and signals carry
    path/interface/member, returns and errors reply_serial."""
    out = []
    for line in monitor.log_lines():
        if line.startswith("#") or "\t" not in line:
            continue
        f = line.split("\t")
        msg = {"type": f[0], "serial": f[2], "sender": f[3], "destination": f[4]}
        if f[0] in ("mc", "sig"):
            msg.update(path=f[5], interface=f[6], member=f[7] if len(f) > 7 else "")
        elif len(f) > 5:
            msg["reply_serial"] = f[-1]
        out.append(msg)
    return out


class MethodCase(harness.GatewayTestCase):
    """A running gateway: bus, watchdog, configuration manager, DPS script stand-ins and a
    daemon that has finished start-up."""

    def tearDown(self):
        daemon = self.gw.daemon
        if daemon is not None:
            # Whatever the test left switched, an orderly stop follows (leaks show here
            # under the sanitizers).
            if daemon.alive():
                self.assertEqual(daemon.stop(signal.SIGINT, timeout=20), 0)
            reports = daemon.count(SANITIZER_REPORT)
            self.assertEqual(reports, 0, "sanitizer report in the daemon log")

    def start_gateway(self, entries=None, monitor=True, agent=False):
        gw = self.gw
        gw.start_bus()
        self.mon = gw.start_monitor() if monitor else None
        gw.start_watchdog()
        gw.start_config_manager(entries or {})
        self.dps_record = os.path.join(gw.log_dir, "dps-record.log")
        self.install_dps_scripts()
        if agent:
            self.install_agent()
        gw.start_daemon(env={"DPS_SIM_RECORD": self.dps_record,
                             "AGENT_SIM_RECORD": os.path.join(gw.log_dir, "agent.jsonl")})
        gw.wait_for_feeds(1, timeout=20)
        self.daemon = gw.daemon
        self.owner = gw.name_owner(MONITOR_NAME)

    def install_dps_scripts(self):
        os.makedirs(DPS_DIR, exist_ok=True)
        for name in ("startDPS.sh", "stopDPS.sh"):
            target = os.path.join(DPS_DIR, name)
            shutil.copy(os.path.join(harness.source_dir(), "sim", "dps", name), target)
            os.chmod(target, 0o755)
        self.gw.remove_at_close.append(DPS_DIR)
        if os.path.exists(self.dps_record):
            os.unlink(self.dps_record)

    def install_agent(self):
        os.makedirs(os.path.dirname(AGENT_PATH), exist_ok=True)
        shutil.copy(os.path.join(harness.build_dir(), "sim", "agent", "zeb_agent_sim"),
                    AGENT_PATH)
        self.gw.remove_at_close.append(AGENT_PATH)

    def notify(self, key, value):
        """notify_config sent with dbus-send (values may begin with "-"); returns the
        reply's arguments."""
        res = self.gw.dbus_send("--print-reply=literal", "--reply-timeout=5000",
                                "--dest=" + MONITOR_NAME, MONITOR_PATH,
                                MONITOR_NAME + ".notify_config", "string:" + key,
                                "string:" + value)
        self.assertEqual(res.returncode, 0, res.stderr)
        words = res.stdout.split()
        self.assertEqual(words[:-1], ["int32"], res.stdout)
        return [int(words[-1])]

    def dps_runs(self):
        """(script, pid, ppid) for each run of a DPS script, in order."""
        if not os.path.exists(self.dps_record):
            return []
        with open(self.dps_record, encoding="utf-8") as f:
            return [(w[0], int(w[2]), int(w[3])) for w in (line.split() for line in f) if w]

    def wait_dps_runs(self, count, timeout=10.0):
        return harness.poll_count(self.dps_runs, count, timeout, "DPS script run(s)")

    def barrier(self):
        """Returns once the daemon has handled everything sent to it before."""
        self.gw.call_monitor("Introspect")


    def calls_of(self, member):
        """(index, record) of each call of `member` to the daemon seen on the bus."""
        return [(i, m) for i, m in enumerate(bus_messages(self.mon))
                if m["type"] == "mc" and m["member"] == member
                and m["destination"] == MONITOR_NAME]

    def nth_call(self, member, n):
        """Index and record of the n-th (from 1) call of `member`, once the monitor has it."""
        return self.wait_until(lambda: self.calls_of(member)[n - 1:n],
                               "call %d of %s seen on the bus" % (n, member))[0]

    def answers(self, call):
        """Indexes of the daemon's returns and errors to `call`."""
        return [i for i, m in enumerate(bus_messages(self.mon))
                if m["type"] in ("mr", "err") and m["sender"] == self.owner
                and m["destination"] == call["sender"]
                and m.get("reply_serial") == call["serial"]]

    def wait_answers(self, call):
        self.wait_until(lambda: self.answers(call), "an answer seen on the bus")
        self.barrier()
        return self.answers(call)

    def set_config_calls(self, after=0):
        return [i for i, m in enumerate(bus_messages(self.mon)) if i > after and
                m["type"] == "mc" and m["destination"] == CONFIG_NAME and
                m["member"] == "set_config"]

    def count(self, text):
        return messages(self.daemon).count(text)

    def count_prefix(self, prefix):
        return sum(1 for m in messages(self.daemon) if m.startswith(prefix))


class IntrospectTest(MethodCase):
    def test_document_is_exact_and_stable(self):
        self.start_gateway(monitor=False)
        expected = introspection_document()
        self.assertEqual(len(expected), 612)
        for _ in range(3):
            self.assertEqual(self.gw.call_monitor("Introspect", interface=INTROSPECTABLE),
                             [expected])
        res = self.gw.dbus_send("--print-reply=literal", "--dest=" + MONITOR_NAME, MONITOR_PATH,
                                INTROSPECTABLE + ".Introspect")
        self.assertEqual(res.returncode, 0, res.stderr)
        # dbus-send indents the literal by three blanks and ends it with a line break.
        self.assertEqual(res.stdout.rstrip("\n"), "   " + expected)
        self.assertEqual(self.count("service_monitor_module_introspect to be called"), 4)

    def test_clients_parse_the_document(self):
        self.start_gateway(monitor=False)
        res = self.gw.busctl("introspect", MONITOR_NAME, MONITOR_PATH)
        self.assertEqual(res.returncode, 0, res.stderr)
        rows = [line.split() for line in res.stdout.splitlines()]
        self.assertIn([INTROSPECTABLE, "interface", "-", "-", "-"], rows)
        self.assertIn([".Introspect", "method", "-", "s", "-"], rows)
        self.assertIn([MONITOR_NAME, "interface", "-", "-", "-"], rows)
        self.assertIn([".notify_config", "method", "s", "si", "-"], rows)
        res = subprocess.run(["gdbus", "introspect", "--address", BUS_ADDRESS, "--dest",
                              MONITOR_NAME, "--object-path", MONITOR_PATH],
                             capture_output=True, text=True, timeout=15)
        self.assertEqual(res.returncode, 0, res.stderr)
        text = " ".join(res.stdout.split())
        self.assertIn("interface %s {" % INTROSPECTABLE, text)
        self.assertIn("Introspect(out s data);", text)
        self.assertIn("interface %s {" % MONITOR_NAME, text)
        self.assertIn("notify_config(in s key, out s value, out i code);", text)


class DispatchTest(MethodCase):
    def test_leading_part_of_a_member_reaches_its_row(self):
        self.start_gateway(monitor=False)
        gw = self.gw
        expected = introspection_document()
        self.assertEqual(gw.call_monitor("Intro"), [expected])
        self.assertEqual(gw.call_monitor("I", interface="org.example.Other", path="/"),
                         [expected])
        self.assertEqual(gw.call_monitor("notify", "ss", "gw_no_such_switch", "1"), [-1])
        self.assertIn("No gw_no_such_switch handler was found", messages(self.daemon))
        self.assertEqual(gw.call_monitor("Post", "s", "{}"), [DISABLED_REPLY])
        abilities = json.loads(gw.call_monitor("getSelf")[0])["abilities"]
        self.assertIn("monitor", [a["name"] for a in abilities])
        # A longer name is not a leading part of any row: no answer at all.
        with self.assertRaises(harness.BusError) as caught:
            gw.call_monitor("IntrospectX", timeout=2)
        self.assertTrue(caught.exception.timed_out, str(caught.exception))
        self.assertTrue(self.daemon.alive())


class NotifyConfigTest(MethodCase):
    def assert_replied_before_report(self, value):
        """notify_config gw_zeb_switch `value` answers 0, and the serial-number report to
        the configuration manager follows the answer on the bus."""
        n = len(self.calls_of("notify_config")) + 1
        self.assertEqual(self.notify("gw_zeb_switch", value), [0])
        index, call = self.nth_call("notify_config", n)
        sets = self.wait_until(lambda: self.set_config_calls(after=index),
                               "a serial-number report")
        answers = self.wait_answers(call)
        self.assertEqual(len(answers), 1, "one answer per call")
        self.assertLess(answers[0], sets[0], "report sent before the caller was answered")
        self.assertNotEqual(bus_messages(self.mon)[sets[0]]["sender"], self.owner)

    def test_zeb_switch_answers_before_reporting_the_serial(self):
        serial = "SN-E2E-0001"
        self.start_gateway({"vt_serialNumber": serial, "gw_zeb_accessKey": "ak-e2e",
                            "gw_zeb_secretKey": "sk-e2e"}, agent=True)
        report = "report serialNum(%s) to config-manager" % serial
        self.assertEqual(messages(self.daemon).count(report), 1)  # start-up
        self.assert_replied_before_report("1")
        self.daemon.wait_for_log(r"report serialNum\(%s\)" % serial, count=2)
        self.assertIn("switch zeb success! value = 1", messages(self.daemon))
        self.assertTrue(os.path.exists(SECRET_FILE))
        self.assert_replied_before_report("0")
        self.daemon.wait_for_log(r"report serialNum\(%s\)" % serial, count=3)
        self.assertIn("switch zeb success! value = 0", messages(self.daemon))
        self.assertFalse(os.path.exists(SECRET_FILE))
        self.assertEqual(self.gw.cfg_get("gw_zeb_serialNumber"), serial)

    def test_failed_zeb_switch_answers_its_code_and_reports_nothing(self):
        # Without the agent program the monitoring agent cannot be switched on.
        self.start_gateway({"gw_zeb_accessKey": "ak-e2e", "gw_zeb_secretKey": "sk-e2e"})
        start = len(bus_messages(self.mon))
        self.assertEqual(self.notify("gw_zeb_switch", "1"), [-1])
        self.assertEqual(self.count("switch zeb failed! value = 1"), 1)
        self.barrier()
        self.assertEqual(self.set_config_calls(after=start), [])
        self.assertEqual(self.count(SERIAL_FAILED), 1)  # start-up only

    def test_zeb_switch_without_serial_reports_empty(self):
        self.start_gateway()
        log = messages(self.daemon)
        self.assertIn("config(gw_zeb_switch) not exists and stop zeb plugin", log)
        self.assertEqual(log.count(SERIAL_FAILED), 1)  # start-up
        self.assert_replied_before_report("0")
        self.daemon.wait_for_log(r"get serialnum failed", count=2)
        # A value without digits counts as 0.
        self.assert_replied_before_report("off")
        self.daemon.wait_for_log(r"get serialnum failed", count=3)
        self.assertEqual(messages(self.daemon).count("switch zeb success! value = 0"), 2)
        self.assertEqual(self.gw.cfg_get("gw_zeb_serialNumber"), '""')

    def test_dps_switch_runs_scripts_detached(self):
        self.start_gateway()
        runs = self.wait_dps_runs(1)  # start-up: the absent switch stops DPS
        self.assertEqual(runs[0][0], "stopDPS.sh")
        start = len(bus_messages(self.mon))
        cases = [("1", 1, "startDPS.sh"), ("0", 0, "stopDPS.sh"), ("off", 0, "stopDPS.sh"),
                 (" +1", 1, "startDPS.sh"), ("1 and more", 1, "startDPS.sh"),
                 ("2", 2, "stopDPS.sh"), ("-1", -1, "stopDPS.sh")]
        for n, (value, number, script) in enumerate(cases, start=2):
            with self.subTest(value=value):
                success = "switch dps success! value = %d" % number
                execs = "exec cmd!path:%s/%s cmd:%s" % (DPS_DIR, script, script)
                before = (self.count(success), self.count(execs))
                self.assertEqual(self.notify("gw_dps_switch", value), [0])
                self.assertEqual((self.count(success), self.count(execs)),
                                 (before[0] + 1, before[1] + 1))
                name, pid, ppid = self.wait_dps_runs(n)[-1]
                self.assertEqual(name, script)
                self.assertNotIn(self.daemon.pid, (pid, ppid), "script not detached")
        self.barrier()
        self.assertEqual(self.set_config_calls(after=start), [], "DPS has no after-handler")
        self.assertEqual(self.count(SERIAL_FAILED), 1)

    def test_unknown_key_or_bad_arguments_answer_minus_one(self):
        self.start_gateway()
        self.wait_dps_runs(1)
        start = len(bus_messages(self.mon))
        for key in ("gw_unknown_switch", "GW_DPS_SWITCH", "gw_dps", "gw_zeb_switch_x", ""):
            with self.subTest(key=key):
                self.assertEqual(self.notify(key, "1"), [-1])
                self.assertEqual(self.count("No %s handler was found" % key), 1)
        for signature, args in (("s", ["gw_zeb_switch"]), ("s", ["gw_dps_switch"]),
                                ("", []), ("si", ["gw_dps_switch", 1])):
            with self.subTest(signature=signature):
                before = (self.count("dbus_message_get_args() failed"),
                          self.count_prefix("DBus error:"))
                self.assertEqual(self.gw.call_monitor("notify_config", signature, *args),
                                 [-1])
                self.assertEqual((self.count("dbus_message_get_args() failed"),
                                  self.count_prefix("DBus error:")),
                                 (before[0] + 1, before[1] + 1))
        self.barrier()
        time.sleep(0.5)  # a detached script would have written its record by now
        self.assertEqual(len(self.dps_runs()), 1)
        self.assertEqual(self.set_config_calls(after=start), [])
        self.assertEqual(self.count(SERIAL_FAILED), 1)
        self.assertEqual(self.count_prefix("switch zeb") + self.count_prefix("switch dps"), 0)


class PostMetricDataTest(MethodCase):
    def test_string_gets_one_json_reply_other_arguments_none(self):
        self.start_gateway()
        gw = self.gw
        request = json.dumps({"id": "req-1", "ts": time.time() * 1000, "moduleName": "e2e/m",
                              "params": [{"metricName": "cpu", "value": 1.5,
                                          "collectRule": "avg"}]})
        res = gw.dbus_send("--print-reply=literal", "--reply-timeout=5000",
                           "--dest=" + MONITOR_NAME, MONITOR_PATH,
                           MONITOR_NAME + ".PostMetricData", "string:" + request)
        self.assertEqual(res.returncode, 0, res.stderr)
        text = res.stdout[3:].rstrip("\n")
        self.assertEqual(text, DISABLED_REPLY)
        self.assertEqual(json.loads(text), {"id": "", "code": 110100,
                                            "message": "metric module is disable"})
        self.assertEqual(len(self.wait_answers(self.nth_call("PostMetricData", 1)[1])), 1)
        log = messages(self.daemon)
        self.assertIn("receive data:%s" % request, log)
        self.assertIn("post metric data failed,errMsg:%s" % DISABLED_REPLY, log)
        self.assertEqual(gw.call_monitor("PostMetricData", "s", "not json at all"),
                         [DISABLED_REPLY])
        errors = self.count_prefix("DBus error:")
        calls = 2
        for signature, args in (("i", [5]), ("", []), ("u", [7])):
            with self.subTest(signature=signature):
                with self.assertRaises(harness.BusError) as caught:
                    gw.call_monitor("PostMetricData", signature, *args, timeout=2)
                self.assertTrue(caught.exception.timed_out, str(caught.exception))
                calls += 1
                self.assertEqual(self.answers(self.nth_call("PostMetricData", calls)[1]), [])
                self.assertEqual(self.count_prefix("DBus error:"), errors + 1)
                errors += 1
        self.assertTrue(self.daemon.alive())


class SelfDescribingTest(MethodCase):
    def test_reports_the_monitor_ability(self):
        self.start_gateway(monitor=False)
        res = subprocess.run(["gdbus", "call", "--address", BUS_ADDRESS, "--dest",
                              MONITOR_NAME, "--object-path", MONITOR_PATH, "--method",
                              MONITOR_NAME + ".getSelfDescribing"],
                             capture_output=True, text=True, timeout=15)
        self.assertEqual(res.returncode, 0, res.stderr)
        out = res.stdout.strip()
        self.assertTrue(out.startswith("('") and out.endswith("',)"), out)
        abilities = json.loads(out[2:-3])["abilities"]
        monitor = [a for a in abilities if a["name"] == "monitor"]
        self.assertEqual(monitor, [{"name": "monitor", "description": {"None": "None"}}])


if __name__ == "__main__":
    harness.main()
