#!/usr/bin/python3
"""Start-up of the component handler end to end: the stored switches turned into the agent,
its property files, the credential task, the metric module and the DPS scripts."""

import os
import time

import harness

harness.ensure_sandbox()

import components  # noqa: E402
from components import (AGENT_KEYS, AGENT_NAME, KEY_FILE, KEY_FILE_TEXT,  # noqa: E402
                        SERIAL, SERIAL_FILE, SERIAL_LINE, messages)

METRIC_OFF = 110100


class SwitchOnAtStartupTest(components.ComponentCase):
    def test_agent_keys_credential_task_metrics_and_serial(self):
        entries = dict(AGENT_KEYS, gw_zeb_switch="1", gw_dps_switch="0")
        self.start_gateway(entries, credential=True, daemon=False)
        started = time.time()
        self.start_daemon()
        gw, daemon = self.gw, self.gw.daemon

        agent = components.wait_for_agent(parent=daemon.pid)
        self.assertEqual(components.argv0(agent), AGENT_NAME)
        self.assertEqual(components.read_text(KEY_FILE), KEY_FILE_TEXT)
        self.assertEqual(components.file_mode(KEY_FILE), 0o600)
        start = components.wait_for(lambda: components.agent_records("start"), 5, "agent record")
        self.assertEqual(len(start), 1, start)
        self.assertEqual((start[0]["pid"], start[0]["argv0"], start[0]["ppid"]),
                         (agent, AGENT_NAME, daemon.pid))
        # The agent finds both files in place when it starts.
        self.assertEqual((start[0]["serialNumber"], start[0]["accessKey"],
                          start[0]["secretKey"], start[0]["keyFileMode"]),
                         (SERIAL, AGENT_KEYS["gw_zeb_accessKey"],
                          AGENT_KEYS["gw_zeb_secretKey"], "0600"))

        # The credential task is due at once: the next scheduler tick runs it.
        daemon.wait_for_log(r"update credential success", timeout=5)
        calls = self.credential_calls()
        self.assertEqual(len(calls), 1, calls)
        self.assertLess(calls[0]["time"] - started, 3.0, "no credential refresh at start-up")
        self.assertTrue(calls[0]["answered"])

        # The metric module is on: requests are no longer refused as switched off.
        reply = components.post_metric(gw, components.metric_request())
        self.assertNotEqual(reply["code"], METRIC_OFF, reply)

        self.assertEqual(gw.cfg_get("gw_zeb_serialNumber"), SERIAL)
        self.assertEqual(gw.cfg_get("vt_serialNumber"), SERIAL)
        self.assertInOrder(daemon, ["ZEB switch:1", "DPS switch:0",
                                    "report serialNum(%s) to config-manager" % SERIAL])

        # Interval 300000 ms: no second refresh follows within ten seconds.
        while time.time() - calls[0]["time"] < 10.0:
            time.sleep(0.5)
        self.assertEqual(len(self.credential_calls()), 1)
        self.assertEqual(daemon.count(r"update credential (success|failed)"), 1)
        self.assertEqual(list(components.agent_processes()), [agent])
        self.assertEqual(components.read_text(SERIAL_FILE), SERIAL_LINE)

        self.stop_daemon()
        components.wait_no_agent()
        signals = components.agent_records("signal")
        self.assertEqual([(r["pid"], r["signal"]) for r in signals], [(agent, 15)])


class SwitchOffAtStartupTest(components.ComponentCase):
    """gw_zeb_switch missing, 0, 2 or not a number: everything off."""

    def check_off(self, value, number):
        entries = dict(AGENT_KEYS)
        if value is not None:
            entries["gw_zeb_switch"] = value
        # A key file left from an earlier run is removed when the switch is off.
        components.write_key_file(KEY_FILE_TEXT)
        self.start_gateway(entries, credential=True)
        gw, daemon = self.gw, self.gw.daemon

        self.assertFalse(os.path.exists(KEY_FILE))
        reply = components.post_metric(gw, components.metric_request())
        self.assertEqual((reply["code"], reply["message"]),
                         (METRIC_OFF, "metric module is disable"))
        reply = components.post_metric(gw, "{not json")
        self.assertEqual(reply["code"], METRIC_OFF, reply)
        self.assertEqual(components.agent_processes(), {})
        self.assertEqual(components.agent_records(), [])
        self.assertInOrder(daemon, ["ZEB switch:%d" % number,
                                    "delete %s success" % KEY_FILE,
                                    "report serialNum(%s) to config-manager" % SERIAL])
        missing = "config(gw_zeb_switch) not exists and stop zeb plugin"
        (self.assertLogged if value is None else self.assertNotLogged)(daemon, missing)
        time.sleep(1.5)  # a credential task would have run by now
        self.assertEqual(self.credential_calls(), [])
        self.assertEqual(components.agent_processes(), {})
        self.stop_daemon()

    def test_missing(self):
        self.check_off(None, 0)

    def test_zero(self):
        self.check_off("0", 0)

    def test_two(self):
        self.check_off("2", 2)

    def test_not_a_number(self):
        self.check_off("on", 0)


class SerialNumberTest(components.ComponentCase):
    def test_no_serial_anywhere_publishes_empty_and_switches_off(self):
        self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"), serial=None, credential=True)
        daemon = self.gw.daemon
        self.assertEqual(self.gw.cfg_get("gw_zeb_serialNumber"), '""')
        self.assertIsNone(self.gw.cfg_get("vt_serialNumber"))
        self.assertInOrder(daemon, [
            "ZEB switch:1",
            'get serialnum failed, write empty string(gw_zeb_serialNumber="") to config-manager',
            "config(switch) changed:0",
            "delete %s success" % KEY_FILE,
        ])
        components.wait_no_agent()
        self.assertFalse(os.path.exists(KEY_FILE))
        self.assertFalse(os.path.exists(SERIAL_FILE))
        self.assertEqual(components.post_metric(self.gw, "{}")["code"], METRIC_OFF)
        # The stored switch itself stays as it was.
        self.assertEqual(self.gw.cfg_get("gw_zeb_switch"), "1")
        self.stop_daemon()

    def test_missing_file_is_restored_from_config_before_the_agent_starts(self):
        entries = dict(AGENT_KEYS, gw_zeb_switch="1", vt_serialNumber="SN777")
        self.start_gateway(entries, serial=None)
        self.assertEqual(components.read_text(SERIAL_FILE), "zeb.agent.serialNumber=SN777\n")
        start = components.wait_for(lambda: components.agent_records("start"), 5, "agent start")
        self.assertEqual((start[0]["serialFile"], start[0]["serialNumber"]), (True, "SN777"))
        self.assertEqual(self.gw.cfg_get("gw_zeb_serialNumber"), "SN777")
        self.assertInOrder(self.gw.daemon, ["set serialnum SN777", "ZEB switch:1"])
        self.stop_daemon()

    def test_existing_file_is_never_overwritten(self):
        entries = dict(AGENT_KEYS, gw_zeb_switch="1", vt_serialNumber="SN-OTHER")
        components.write_serial_file()
        before = os.stat(SERIAL_FILE).st_mtime_ns
        time.sleep(0.05)
        self.start_gateway(entries, serial=None)
        self.assertEqual(components.read_text(SERIAL_FILE), SERIAL_LINE)
        self.assertEqual(os.stat(SERIAL_FILE).st_mtime_ns, before)
        # The file wins: the report copies it into both keys.
        self.assertEqual(self.gw.cfg_get("vt_serialNumber"), SERIAL)
        self.assertEqual(self.gw.cfg_get("gw_zeb_serialNumber"), SERIAL)
        self.assertFalse(any(m.startswith("set serialnum") for m in messages(self.gw.daemon)))
        self.stop_daemon()


class DpsTest(components.ComponentCase):
    def assertDetached(self, run, daemon):
        self.assertNotEqual(run["ppid"], daemon.pid, run)
        daemon_sid = components.proc_stat(daemon.pid)[2]
        self.assertIsNotNone(run["sid"], run)
        self.assertNotEqual(run["sid"], daemon_sid, run)

    def test_switch_runs_start_or_stop_script_detached(self):
        self.start_gateway({"gw_zeb_switch": "0", "gw_dps_switch": "1"})
        daemon = self.gw.daemon
        runs = components.wait_for_dps_runs(1)
        self.assertEqual([r["script"] for r in runs], ["startDPS.sh"])
        self.assertDetached(runs[0], daemon)
        for value, script in (("0", "stopDPS.sh"), ("1", "startDPS.sh"), ("7", "stopDPS.sh"),
                              ("x", "stopDPS.sh")):
            count = len(components.dps_runs())
            self.gw.cfg_set("gw_dps_switch", value)
            runs = components.wait_for_dps_runs(count + 1)
            self.assertEqual(runs[-1]["script"], script, (value, runs))
            self.assertDetached(runs[-1], daemon)
        self.assertEqual(daemon.count(r"switch dps success! value = "), 4)
        self.stop_daemon()

    def test_missing_dps_switch_runs_stop_script(self):
        self.start_gateway({"gw_zeb_switch": "0"})
        runs = components.wait_for_dps_runs(1)
        self.assertEqual([r["script"] for r in runs], ["stopDPS.sh"])
        self.assertLogged(self.gw.daemon, "config(gw_dps_switch) not exists and stop dps plugin")
        self.stop_daemon()


class ConfigManagerDownTest(components.ComponentCase):
    """Start-up gives up when the switches cannot be read; the exit status stays 0."""

    def run_case(self, mode):
        gw = self.gw
        components.install_agent()
        components.install_dps()
        gw.start_bus()
        gw.start_watchdog()
        config = components.start_failing_config(gw, mode)
        began = time.monotonic()
        daemon = gw.start_daemon(ready=False)
        self.assertEqual(daemon.wait(120), 0)
        took = time.monotonic() - began
        self.assertInOrder(daemon, ["Get config:gw_zeb_switch failed!",
                                    "recover components failed",
                                    "msg handler init failed",
                                    "service monitor init failed",
                                    "service_monitor exit"])
        self.assertNotLogged(daemon, "ZEB switch:0")
        self.assertEqual(gw.feeds(), [])
        self.assertEqual(components.agent_processes(), {})
        self.assertEqual(components.dps_runs(), [])
        self.assertNoSanitizerReport(daemon)
        return config, took

    def test_reads_that_fail_give_up_after_fifty_attempts(self):
        config, took = self.run_case("fail")
        reads = config.count(r"^call get_config gw_zeb_switch$")
        self.assertEqual(reads, 50)
        self.assertGreaterEqual(took, 4.5, "no pause between attempts")
        self.assertEqual(config.count(r"^call subscribe_config "), 2)

    def test_service_gone_after_subscribing(self):
        config, _ = self.run_case("leave")
        self.assertTrue(config.has(r"^leaving"))


if __name__ == "__main__":
    harness.main()
