#!/usr/bin/python3
"""The monitoring components end to end: the stored switches applied at start-up, the
run-time switch through the configuration manager, the serial number, the agent's
property files and the supervision of the agent process."""

import os
import signal
import subprocess
import time

import harness
from harness import (AGENT_KEYS, AGENT_NAME, AGENT_PATH, DEVICE, KEY_FILE, KEY_FILE_TEXT,
                     SERIAL, SERIAL_FILE, SERIAL_LINE, agent_processes)

OFF = {"id": "", "code": 110100, "message": "metric module is disable"}
NOT_READY = {"id": "", "code": 110101, "message": "the dependent service are not ready"}
ACCEPTED = {"id": "req-1", "code": 0, "message": ""}
SERIAL_KEYS = ("gw_zeb_serialNumber", "vt_serialNumber")


def wait_for_agent(gw, exclude=(), timeout=10.0):
    """The pid of a running agent that is the daemon's child and not one of `exclude`."""
    return harness.poll(lambda: next((p for p, pp in sorted(agent_processes().items())
                                      if pp == gw.daemon.pid and p not in exclude), None),
                        timeout, "no agent started by the daemon")


def wait_no_agent(timeout=5.0):
    harness.poll(lambda: not agent_processes(), timeout, "an agent still runs")


class StartupTest(harness.GatewayTestCase):
    def test_switch_on_runs_agent_credential_task_metrics_and_serial_report(self):
        gw = self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1", gw_dps_switch="0"),
                                credential=True, daemon=False)
        started = time.time()
        daemon = gw.start_daemon()
        agent = wait_for_agent(gw)
        self.assertEqual(harness.read_text("/proc/%d/cmdline" % agent).split("\0")[0],
                         AGENT_NAME)
        self.assertEqual((harness.read_text(KEY_FILE), harness.file_mode(KEY_FILE)),
                         (KEY_FILE_TEXT, 0o600))
        start = harness.poll_count(lambda: gw.agent_records("start"), 1, 5, "agent start")[0]
        # The agent finds both files in place when it starts.
        self.assertEqual((start["serialNumber"], start["accessKey"], start["secretKey"],
                          start["keyFileMode"]), (SERIAL, AGENT_KEYS["gw_zeb_accessKey"],
                                                  AGENT_KEYS["gw_zeb_secretKey"], "0600"))
        # The credential task is due at once, then only every 300 s.
        daemon.wait_for_log(r"update credential success", timeout=5)
        calls = gw.credential_calls()
        self.assertLess(calls[0]["time"] - started, 3.0)
        self.assertNotEqual(gw.post(harness.metric_request())["code"], OFF["code"])
        self.assertEqual([gw.cfgtool("get", key) for key in SERIAL_KEYS], [SERIAL, SERIAL])
        self.assertInOrder(daemon, ["ZEB switch:1", "DPS switch:0",
                                    "report serialNum(%s) to config-manager" % SERIAL])
        time.sleep(max(0.0, calls[0]["time"] + 8.0 - time.time()))
        self.assertEqual(len(gw.credential_calls()), 1)
        self.assertEqual(list(agent_processes()), [agent])
        self.stop_daemon()
        wait_no_agent()
        self.assertEqual([(r["pid"], r["signal"]) for r in gw.agent_records("signal")],
                         [(agent, 15)])
        # The key file stays for the next start (only switching off removes it).
        self.assertTrue(os.path.exists(KEY_FILE))
        # No task runs once the configuration connection is closed.
        log = daemon.messages()
        tail = log[log.index("zeb proxy thread exit"):]
        self.assertFalse([m for m in tail if "credential" in m or "get gw_" in m], tail)

    def test_switch_off_at_startup(self):
        # A stored value that is missing, not 1, or not a number switches everything off.
        for value, number in ((None, 0), ("0", 0), ("2", 2), ("on", 0)):
            with self.subTest(value=value):
                gw = self.next_gateway(str(value))
                entries = dict(AGENT_KEYS, **({"gw_zeb_switch": value} if value else {}))
                harness.write_text(KEY_FILE, KEY_FILE_TEXT)  # left from an earlier run
                self.start_gateway(entries, credential=True)
                self.assertFalse(os.path.exists(KEY_FILE))
                self.assertEqual(gw.post(harness.metric_request()), OFF)
                self.assertEqual(gw.post("{not json"), OFF)
                self.assertInOrder(gw.daemon, ["ZEB switch:%d" % number,
                                               "delete %s success" % KEY_FILE,
                                               "report serialNum(%s) to config-manager" % SERIAL])
                missing = "config(gw_zeb_switch) not exists and stop zeb plugin"
                self.assertEqual(missing in gw.daemon.messages(), value is None)
                time.sleep(1.5)  # a credential task would have run by now
                self.assertEqual((gw.credential_calls(), agent_processes(),
                                  gw.agent_records()), ([], {}, []))
                self.stop_daemon()

    def test_serial_number_sources(self):
        # (label, serial file text, vt_serialNumber, file afterwards, published serial)
        cases = [("none", None, None, None, '""'),
                 ("restored", None, "SN777", "zeb.agent.serialNumber=SN777\n", "SN777"),
                 ("file-wins", SERIAL_LINE, "SN-OTHER", SERIAL_LINE, SERIAL)]
        for label, text, stored, after, published in cases:
            with self.subTest(label):
                gw = self.next_gateway(label)
                entries = dict(AGENT_KEYS, gw_zeb_switch="1",
                               **({"vt_serialNumber": stored} if stored else {}))
                self.start_gateway(entries, serial=text)
                self.assertEqual(harness.read_text(SERIAL_FILE), after)
                self.assertEqual(gw.cfgtool("get", "gw_zeb_serialNumber"), published)
                if published == '""':
                    # Without a serial number monitoring is switched off again; the stored
                    # switch stays as it was.
                    self.assertInOrder(gw.daemon, ["ZEB switch:1", "config(switch) changed:0",
                                                   "delete %s success" % KEY_FILE])
                    wait_no_agent()
                    self.assertEqual(gw.cfgtool("get", "gw_zeb_switch"), "1")
                else:
                    start = harness.poll_count(lambda: gw.agent_records("start"), 1, 5, "start")
                    self.assertEqual(start[0]["serialNumber"], published)
                self.stop_daemon()


class RuntimeSwitchTest(harness.GatewayTestCase):
    def test_monitoring_switched_on_twice_then_off(self):
        gw = self.start_gateway(dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="0"), credential=True,
                                cloud=True)
        daemon = gw.daemon
        self.assertEqual(gw.post(harness.metric_request()), OFF)
        # On. The first group lookup answers slowly, so the not-ready window is certain.
        gw.cloud.set_control({"actions": {"DescribeMonitorGroups": {"delay": 3, "times": 1}}})
        gw.cfgtool("set", "gw_zeb_switch", "1")
        daemon.wait_for_log(r"switch zeb success! value = 1$", timeout=5)
        self.assertEqual(gw.post(harness.metric_request()), NOT_READY)
        agent = wait_for_agent(gw)
        self.assertEqual(harness.read_text(KEY_FILE), KEY_FILE_TEXT)
        harness.poll_count(gw.credential_calls, 1, 5, "credential calls")
        harness.poll(lambda: gw.post(harness.metric_request())["code"] == 0, 20,
                     "samples still refused after registration")
        # On again: same agent, key file untouched, credential task re-armed.
        mtime = os.stat(KEY_FILE).st_mtime_ns
        gw.cfgtool("set", "gw_zeb_switch", "1")
        daemon.wait_for_log(r"report serialNum", count=3)
        self.assertIn("agent key not changed and does not need to be updated", daemon.messages())
        self.assertIn("credential task is exist and update it", daemon.messages())
        self.assertEqual(os.stat(KEY_FILE).st_mtime_ns, mtime)
        # Changed keys are written; the running agent stays.
        gw.cfgtool("set", "gw_zeb_secretKey", "rotated-secret")
        gw.cfgtool("set", "gw_zeb_switch", "1")
        daemon.wait_for_log(r"report serialNum", count=4)
        self.assertEqual(harness.read_text(KEY_FILE), KEY_FILE_TEXT.replace(
            AGENT_KEYS["gw_zeb_secretKey"], "rotated-secret"))
        self.assertEqual((agent_processes(), len(gw.agent_records("start"))),
                         ({agent: daemon.pid}, 1))
        # Off: agent stopped, key file gone, refresh task removed, ingestion refused.
        gw.cfgtool("set", "gw_zeb_switch", "0")
        daemon.wait_for_log(r"report serialNum", count=5)
        wait_no_agent()
        self.assertFalse(os.path.exists(KEY_FILE))
        self.assertEqual(gw.post(harness.metric_request()), OFF)
        self.assertEqual(daemon.count(r"del node\(updataCredentialTask\) from list$"), 1)
        calls = len(gw.credential_calls())
        time.sleep(2.0)
        self.assertEqual(len(gw.credential_calls()), calls)
        self.stop_daemon()

    def test_missing_agent_keys_or_program_fail_the_switch_without_a_report(self):
        gw = self.start_gateway({"gw_zeb_switch": "0", "gw_zeb_secretKey": "only-secret"})
        # (what is missing, what to change first, the line that tells)
        for n, (missing, change, line) in enumerate((
                ("gw_zeb_accessKey", None, "get config(gw_zeb_accessKey) failed"),
                ("gw_zeb_secretKey", "gw_zeb_accessKey", "get config(gw_zeb_secretKey) failed"),
                (AGENT_PATH, "gw_zeb_secretKey", "start zeb proxy failed")), start=1):
            if change:
                gw.cfgtool("set", change, "only-" + change)
            if missing == AGENT_PATH:
                os.unlink(AGENT_PATH)
            elif change:
                gw.cfgtool("delete", missing)
            gw.cfgtool("set", "gw_zeb_switch", "1")
            gw.daemon.wait_for_log(r"switch zeb failed! value = 1", count=n)
            self.assertIn(line, gw.daemon.messages())
        time.sleep(0.5)
        self.assertEqual(gw.daemon.count(r"report serialNum"), 1)  # the start-up one
        self.assertEqual(agent_processes(), {})
        self.stop_daemon()


class SupervisionTest(harness.GatewayTestCase):
    def test_stray_agent_is_ended_and_a_killed_one_restarted_after_a_pause(self):
        self.gw.install_agent()
        stray = subprocess.Popen([AGENT_PATH], stderr=subprocess.DEVNULL, env=dict(
            os.environ, **self.gw.env), start_new_session=True)
        self.addCleanup(lambda: stray.poll() is None and stray.kill())
        harness.poll_count(lambda: self.gw.agent_records("start"), 1, 5, "stray start")
        gw = self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"))
        self.assertIn("%s(%d) already running, kill it" % (AGENT_NAME, stray.pid),
                      gw.daemon.messages())
        self.assertEqual(stray.wait(5), -signal.SIGTERM)
        first = wait_for_agent(gw)
        killed = time.monotonic()
        os.kill(first, signal.SIGTERM)
        second = wait_for_agent(gw, exclude=(first,))
        self.assertGreaterEqual(time.monotonic() - killed, 0.8, "restarted without a pause")
        self.assertInOrder(gw.daemon, ["%s exits,status:15" % AGENT_PATH,
                                       "restart %s in 1000 ms" % AGENT_NAME,
                                       "run %s success" % AGENT_PATH])
        self.assertEqual(agent_processes(), {second: gw.daemon.pid})
        self.assertIsNone(harness.proc_stat(first), "killed agent not reaped")
        self.stop_daemon()

    def test_agent_exiting_at_once_is_restarted_at_a_growing_pause(self):
        gw = self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"), agent="exit")
        gw.daemon.wait_for_log(r"exits,status:768", timeout=5)  # exit status 3
        # The pacing itself is a unit's; here, that the supervision follows it.
        gw.daemon.wait_for_log(r"restart %s in 2000 ms" % AGENT_NAME, timeout=10)
        # Switching off ends the restarts; switching on again starts at once.
        gw.cfgtool("set", "gw_zeb_switch", "0")
        gw.daemon.wait_for_log(r"switch zeb success! value = 0", timeout=10)
        count = len(gw.agent_records("start"))
        gw.agent_mode("normal")
        time.sleep(1.5)
        self.assertEqual(len(gw.agent_records("start")), count)
        gw.cfgtool("set", "gw_zeb_switch", "1")
        wait_for_agent(gw, timeout=3)
        self.stop_daemon()

    def test_agent_ignoring_sigterm_is_reported_reaped_and_outlived_by_nothing(self):
        gw = self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"), agent="ignore-term")
        agent = wait_for_agent(gw)
        gw.cfgtool("set", "gw_zeb_switch", "0")
        gw.daemon.wait_for_log(r"switch zeb success! value = 0", timeout=10)
        self.assertInOrder(gw.daemon, ["stop zeb proxy failed", "switch zeb success! value = 0"])
        self.assertEqual(agent_processes(), {agent: gw.daemon.pid})
        # When it does end, the daemon reaps it and starts no other.
        os.kill(agent, signal.SIGKILL)
        gw.daemon.wait_for_log(r"%s exits,status:9$" % AGENT_PATH, timeout=5)
        time.sleep(1.0)
        self.assertEqual((agent_processes(), len(gw.agent_records("start"))), ({}, 1))
        # On again, then SIGINT: the daemon ends in time and the agent, which ignores
        # SIGTERM, gets SIGHUP when its parent goes.
        gw.cfgtool("set", "gw_zeb_switch", "1")
        agent = wait_for_agent(gw)
        began = time.monotonic()
        self.stop_daemon(timeout=20)
        self.assertLess(time.monotonic() - began, 10.0)
        harness.poll(lambda: (harness.proc_stat(agent) or "Z")[0] == "Z", 5,
                     "agent outlived the daemon")
        self.assertEqual(gw.agent_records("signal")[-1]["signal"], signal.SIGHUP)


if __name__ == "__main__":
    harness.main()
