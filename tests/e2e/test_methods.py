#!/usr/bin/python3
"""The daemon's bus methods as real clients see them: Introspect, getSelfDescribing,
notify_config with the switch actions it triggers, and PostMetricData, called with busctl,
gdbus and dbus-send, and changes made with cfgtool arriving as notify_config."""

import json
import subprocess
import time

import harness
from harness import BUS_ADDRESS, CONFIG_NAME, DPS_DIR, MONITOR_NAME, MONITOR_PATH, SERIAL

INTROSPECTABLE = "org.freedesktop.DBus.Introspectable"
DISABLED_REPLY = '{"id":"","code":110100, "message":"metric module is disable"}'


def introspection_document():
    """The document as pretty-printed XML with each line break turned into one blank."""
    lines = [
        (0, '<!DOCTYPE node PUBLIC "-//freedesktop//DTD D-BUS Object Introspection 1.0//EN"'
            ' "http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd">'),
        (0, "<!-- dbus-sharp 0.8.1 -->"), (0, "<node>"),
        (1, '<interface name="org.freedesktop.DBus.Introspectable">'),
        (2, '<method name="Introspect">'), (3, '<arg name="data" direction="out" type="s" />'),
        (2, "</method>"), (1, "</interface>"),
        (1, '<interface name="iot.dmp.service.monitor">'), (2, '<method name="notify_config">'),
        (3, '<arg name="key" direction="in" type="s" />'),
        (3, '<arg name="value" direction="out" type="s" />'),
        (3, '<arg name="code" direction="out" type="i" />'),
        (2, "</method>"), (1, "</interface>"), (0, "</node>"),
    ]
    return "".join(" " + "  " * depth + text for depth, text in lines)


class MethodCase(harness.GatewayTestCase):
    def send(self, member, *args):
        """dbus-send call (values may begin with "-"); its literal reply without the indent."""
        res = self.gw.run("dbus-send", "--print-reply=literal", "--reply-timeout=5000",
                          "--dest=" + MONITOR_NAME, MONITOR_PATH, member, *args)
        self.assertEqual(res.returncode, 0, res.stderr)
        return res.stdout.strip()

    def notify(self, key, value):
        words = self.send(MONITOR_NAME + ".notify_config", "string:" + key,
                          "string:" + value).split()
        self.assertEqual(words[:-1], ["int32"])
        return int(words[-1])

    def answers(self, call, messages=None):
        """Positions of the daemon's returns and errors to a call seen on the bus."""
        return [i for i, m in enumerate(messages or self.gw.monitor.messages())
                if m["kind"] in ("method return", "error") and m["destination"] == call["sender"]
                and m["reply_serial"] == call["serial"]]

    def answer_and_report(self, n):
        """Bus positions of the answer to the n-th notify_config and of the first
        set_config after that call, once the monitor has written both."""
        messages = self.gw.monitor.messages()
        calls = [i for i, m in enumerate(messages) if m["kind"] == "method call"
                 and m["member"] == "notify_config" and m["destination"] == MONITOR_NAME]
        if len(calls) < n:
            return None
        answers = self.answers(messages[calls[n - 1]], messages)
        reports = [i for i, m in enumerate(messages) if i > calls[n - 1]
                   and m["kind"] == "method call" and m["member"] == "set_config"
                   and m["destination"] == CONFIG_NAME]
        return answers and reports and (answers[0], reports[0])


class IntrospectionTest(MethodCase):
    def test_document_self_description_and_dispatch_by_leading_part(self):
        gw = self.start_gateway()
        expected = introspection_document()
        self.assertEqual(len(expected), 612)
        self.assertEqual(gw.call_monitor("Introspect", interface=INTROSPECTABLE), [expected])
        self.assertEqual(self.send(INTROSPECTABLE + ".Introspect"), expected.strip())
        rows = [line.split() for line in gw.run("busctl", "introspect", MONITOR_NAME,
                                                 MONITOR_PATH).stdout.splitlines()]
        self.assertIn([".notify_config", "method", "s", "si", "-"], rows)
        res = gw.run("gdbus", "introspect", "--address", BUS_ADDRESS, "--dest", MONITOR_NAME,
                     "--object-path", MONITOR_PATH)
        self.assertIn("notify_config(in s key, out s value, out i code);",
                      " ".join(res.stdout.split()))
        res = gw.run("gdbus", "call", "--address", BUS_ADDRESS, "--dest", MONITOR_NAME,
                     "--object-path", MONITOR_PATH, "--method",
                     MONITOR_NAME + ".getSelfDescribing")
        abilities = json.loads(res.stdout.strip()[2:-3])["abilities"]
        self.assertIn({"name": "monitor", "description": {"None": "None"}}, abilities)
        # Rows match over the length of the received member, whatever interface or path.
        self.assertEqual(gw.call_monitor("I", interface="org.example.Other", path="/"),
                         [expected])
        self.assertEqual(gw.call_monitor("notify", "ss", "gw_no_such_switch", "1"), [-1])
        self.assertEqual(gw.call_monitor("Post", "s", "{}"), [DISABLED_REPLY])
        self.assertIn("monitor", gw.call_monitor("getSelf")[0])
        for member in ("IntrospectX", "Frobnicate"):
            with self.assertRaises(harness.BusError) as caught:
                gw.call_monitor(member, timeout=2)
            self.assertTrue(caught.exception.timed_out, str(caught.exception))
        self.assertEqual(gw.daemon.count("service_monitor_module_introspect to be called"), 6)
        self.stop_daemon()


class NotifyConfigTest(MethodCase):
    def test_zeb_switch_answers_before_the_serial_report(self):
        gw = self.start_gateway(dict(harness.AGENT_KEYS, vt_serialNumber=SERIAL))
        for n, value in enumerate(("1", "0", "off"), start=1):
            with self.subTest(value=value):
                self.assertEqual(self.notify("gw_zeb_switch", value), 0)
                gw.daemon.wait_for_log(r"report serialNum\(%s\)" % SERIAL, count=n + 1)
                answer, report = self.wait_until(lambda: self.answer_and_report(n),
                                                 "the answer and the report seen on the bus")
                self.assertLess(answer, report, "report before the answer")
        self.assertEqual(gw.cfgtool("get", "gw_zeb_serialNumber"), SERIAL)
        self.stop_daemon()

    def test_switch_values_unknown_keys_and_bad_arguments(self):
        gw = self.start_gateway({"gw_zeb_switch": "0"})
        self.assertEqual(harness.poll_count(gw.dps_runs, 1, 5, "DPS runs")[0][0], "stopDPS.sh")
        daemon_sid = harness.proc_stat(gw.daemon.pid)[2]
        # (value sent, number the daemon reads, script run); "cfg:" values go through cfgtool.
        cases = [("1", 1, "startDPS.sh"), ("0", 0, "stopDPS.sh"), ("off", 0, "stopDPS.sh"),
                 (" +1", 1, "startDPS.sh"), ("2", 2, "stopDPS.sh"), ("-1", -1, "stopDPS.sh"),
                 ("cfg:1", 1, "startDPS.sh"), ("cfg:", 0, "stopDPS.sh")]
        for n, (value, number, script) in enumerate(cases, start=2):
            with self.subTest(value=value):
                if value.startswith("cfg:"):
                    if value[4:]:
                        gw.cfgtool("set", "gw_dps_switch", value[4:])
                    else:
                        gw.cfgtool("delete", "gw_dps_switch")  # read as empty, so 0
                else:
                    self.assertEqual(self.notify("gw_dps_switch", value), 0)
                gw.daemon.wait_for_log(r"switch dps success! value = %d$" % number,
                                       count=sum(1 for c in cases[:n - 1] if c[1] == number))
                name, pid, ppid, sid = harness.poll_count(gw.dps_runs, n, 5, "DPS runs")[-1]
                self.assertEqual(name, script)
                self.assertNotIn(gw.daemon.pid, (pid, ppid), "script not detached")
                self.assertNotEqual(sid, daemon_sid, "script in the daemon's session")
        for key in ("gw_unknown_switch", "GW_DPS_SWITCH", "gw_dps", ""):
            self.assertEqual(self.notify(key, "1"), -1)
            self.assertIn("No %s handler was found" % key, gw.daemon.messages())
        for signature, args in (("s", ["gw_zeb_switch"]), ("", []), ("si", ["gw_dps_switch", 1])):
            self.assertEqual(gw.call_monitor("notify_config", signature, *args), [-1])
        self.assertEqual(gw.daemon.count(r"dbus_message_get_args\(\) failed"), 3)
        # Only the two subscribed keys reach the daemon; nothing else ran or was reported.
        gw.cfgtool("set", "gw_other_switch", "1")
        time.sleep(0.5)
        self.assertEqual([c["args"][0] for c in gw.monitor.calls(
            "notify_config", sender=gw.name_owner(CONFIG_NAME))], ["gw_dps_switch"] * 2)
        self.assertEqual(len(gw.dps_runs()), len(cases) + 1)
        self.assertEqual(gw.daemon.count(r"report serialNum"), 1)  # start-up only
        self.stop_daemon()


class PostMetricDataTest(MethodCase):
    def test_a_string_gets_one_json_reply_other_arguments_none(self):
        gw = self.start_gateway()
        request = harness.metric_request()
        self.assertEqual(self.send(MONITOR_NAME + ".PostMetricData", "string:" + request),
                         DISABLED_REPLY)
        log = gw.daemon.messages()
        self.assertIn("receive data:%s" % request, log)
        self.assertIn("post metric data failed,errMsg:%s" % DISABLED_REPLY, log)
        for signature, args in (("i", [5]), ("", []), ("u", [7])):
            with self.assertRaises(harness.BusError) as caught:
                gw.call_monitor("PostMetricData", signature, *args, timeout=2)
            self.assertTrue(caught.exception.timed_out, str(caught.exception))
        calls = gw.monitor.calls("PostMetricData", destination=MONITOR_NAME)
        self.assertEqual([len(self.answers(c)) for c in calls], [1, 0, 0, 0])
        self.assertEqual(gw.daemon.count(r"DBus error:"), 3)
        self.stop_daemon()


if __name__ == "__main__":
    harness.main()
