#!/usr/bin/python3
"""Switching the monitoring components on and off at run time through the configuration
manager, and the supervision of the agent process."""

import os
import signal
import subprocess
import time

import harness

harness.ensure_sandbox()

import components  # noqa: E402
from components import (AGENT_KEYS, AGENT_NAME, AGENT_PATH, CONFIG_NAME,  # noqa: E402
                        KEY_FILE, KEY_FILE_TEXT, SERIAL)

REPORT = "report serialNum(%s) to config-manager" % SERIAL


def notify_and_reply(mon, key_value_count):
    """Line positions of the last notify_config call to the daemon, of the daemon's reply to
    it, and of the set_config calls after it, in the monitor's capture."""
    msgs = harness.Gateway.monitor_messages(mon)
    notifies = [i for i, m in enumerate(msgs)
                if m["type"] == "mc" and m["member"] == "notify_config"]
    assert len(notifies) >= key_value_count, "%d notify_config call(s)" % len(notifies)
    at = notifies[key_value_count - 1]
    call = msgs[at]
    # For a method return the capture's fifth field is the serial it answers.
    replies = [i for i, m in enumerate(msgs)
               if m["type"] == "mr" and m["destination"] == call["sender"]
               and m.get("path") == call["serial"]]
    sets = [i for i, m in enumerate(msgs) if i > at and m["type"] == "mc"
            and m["member"] == "set_config" and m["destination"] == CONFIG_NAME]
    return at, replies, sets


class RuntimeSwitchTest(components.ComponentCase):
    def wait_report(self, count):
        self.gw.daemon.wait_for_log(r"report serialNum\(%s\) to config-manager" % SERIAL,
                                    timeout=10, count=count)

    def test_on_twice_then_off(self):
        mon = self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="0"), credential=True,
                                 monitor=True)
        gw, daemon = self.gw, self.gw.daemon
        self.assertEqual(components.agent_processes(), {})

        gw.cfg_set("gw_zeb_switch", "1")
        agent = components.wait_for_agent(parent=daemon.pid)
        self.wait_report(2)
        self.assertEqual(components.read_text(KEY_FILE), KEY_FILE_TEXT)
        daemon.wait_for_log(r"update credential success", timeout=5)
        at, replies, sets = notify_and_reply(mon, 1)
        self.assertTrue(replies, "no reply to notify_config")
        self.assertTrue(sets, "no serial report after notify_config")
        self.assertLess(replies[0], sets[0], "serial report before the reply to notify_config")
        self.assertInOrder(daemon, ["notify_config, gw_zeb_switch:1",
                                    "switch zeb success! value = 1", REPORT])

        # On again: same agent, key file untouched, credential task re-armed.
        mtime = os.stat(KEY_FILE).st_mtime_ns
        time.sleep(0.05)
        gw.cfg_set("gw_zeb_switch", "1")
        self.wait_report(3)
        self.assertLogged(daemon, "agent key not changed and does not need to be updated")
        self.assertLogged(daemon, "credential task is exist and update it")
        self.assertEqual(os.stat(KEY_FILE).st_mtime_ns, mtime)
        self.assertEqual(components.agent_processes(), {agent: daemon.pid})
        self.assertEqual(len(components.agent_records("start")), 1)
        self.assertEqual(daemon.count(r"switch zeb success! value = 1"), 2)

        # Changed keys are written; the running agent stays.
        gw.cfg_set("gw_zeb_secretKey", "rotated-secret")
        gw.cfg_set("gw_zeb_switch", "1")
        self.wait_report(4)
        self.assertEqual(components.read_text(KEY_FILE),
                         "zeb.agent.accesskey=%s\nzeb.agent.secretkey=rotated-secret\n"
                         % AGENT_KEYS["gw_zeb_accessKey"])
        self.assertEqual(components.file_mode(KEY_FILE), 0o600)
        self.assertEqual(components.agent_processes(), {agent: daemon.pid})

        gw.cfg_set("gw_zeb_switch", "0")
        self.wait_report(5)
        components.wait_no_agent()
        self.assertFalse(os.path.exists(KEY_FILE))
        self.assertEqual([(r["pid"], r["signal"]) for r in components.agent_records("signal")],
                         [(agent, 15)])
        at, replies, sets = notify_and_reply(mon, 4)
        self.assertTrue(replies and sets)
        self.assertLess(replies[0], sets[0])
        reply = components.post_metric(gw, components.metric_request())
        self.assertEqual(reply["code"], 110100, reply)
        calls = len(self.credential_calls())
        time.sleep(1.5)  # the task is gone: no refresh comes
        self.assertEqual(len(self.credential_calls()), calls)
        self.assertFalse(daemon.has(r"restart %s" % AGENT_NAME))
        self.stop_daemon()

    def test_missing_agent_keys_fail_the_switch(self):
        mon = self.start_gateway({"gw_zeb_switch": "0", "gw_zeb_secretKey": "only-secret"},
                                 monitor=True)
        gw, daemon = self.gw, self.gw.daemon
        gw.cfg_set("gw_zeb_switch", "1")
        daemon.wait_for_log(r"switch zeb failed! value = 1", timeout=10)
        self.assertInOrder(daemon, ["get config(gw_zeb_accessKey) failed",
                                    "switch zeb failed! value = 1"])
        time.sleep(1.0)
        _, replies, sets = notify_and_reply(mon, 1)
        self.assertTrue(replies, "no reply to notify_config")
        self.assertEqual(sets, [], "a serial report followed a failed switch")
        self.assertEqual(daemon.count(r"report serialNum"), 1)  # the start-up one
        self.assertEqual(components.agent_processes(), {})
        self.assertFalse(os.path.exists(KEY_FILE))

        # With the access key but without the secret the same.
        gw.cfg_set("gw_zeb_accessKey", "only-access")
        gw.cfg_delete("gw_zeb_secretKey")
        gw.cfg_set("gw_zeb_switch", "1")
        daemon.wait_for_log(r"switch zeb failed! value = 1", timeout=10, count=2)
        self.assertLogged(daemon, "get config(gw_zeb_secretKey) failed")
        self.assertEqual(components.agent_processes(), {})
        self.stop_daemon()


class SupervisionTest(components.ComponentCase):
    def test_stray_agent_is_terminated_at_startup(self):
        components.install_agent()
        stray = subprocess.Popen([AGENT_PATH], stderr=subprocess.DEVNULL,
                                 start_new_session=True)
        self.addCleanup(lambda: stray.poll() is None and stray.kill())
        components.wait_for(lambda: components.agent_records("start"), 5, "stray agent")
        self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"))
        daemon = self.gw.daemon
        self.assertLogged(daemon, "%s(%d) already running, kill it" % (AGENT_NAME, stray.pid))
        self.assertEqual(stray.wait(5), -signal.SIGTERM)
        agent = components.wait_for_agent(parent=daemon.pid)
        self.assertNotEqual(agent, stray.pid)
        self.assertEqual(components.agent_processes(), {agent: daemon.pid})
        self.stop_daemon()

    def test_agent_killed_from_outside_is_restarted_after_a_pause(self):
        self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"))
        daemon = self.gw.daemon
        first = components.wait_for_agent(parent=daemon.pid)
        killed = time.monotonic()
        os.kill(first, signal.SIGTERM)
        second = components.wait_for_agent(parent=daemon.pid, exclude=(first,), timeout=10)
        pause = time.monotonic() - killed
        self.assertGreaterEqual(pause, 0.8, "restarted without a pause")
        self.assertLess(pause, 5.0)
        self.assertInOrder(daemon, ["%s exits,status:15" % AGENT_PATH,
                                    "restart %s in 1000 ms" % AGENT_NAME,
                                    "run %s success" % AGENT_PATH])
        self.assertEqual(components.agent_processes(), {second: daemon.pid})
        self.assertIsNone(components.proc_stat(first), "killed agent not reaped")
        self.stop_daemon()

    def test_agent_that_exits_at_once_is_restarted_at_a_paced_rate(self):
        self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"), agent_mode="exit")
        daemon = self.gw.daemon
        # exit status 3: the raw wait status is 3 << 8
        daemon.wait_for_log(r"exits,status:768", timeout=5)
        time.sleep(10)
        starts = components.agent_records("start")
        self.assertGreaterEqual(len(starts), 3, starts)
        self.assertLessEqual(len(starts), 6, "restarted %d times in 10 s" % len(starts))
        gaps = [b["time"] - a["time"] for a, b in zip(starts, starts[1:])]
        self.assertTrue(all(b >= a * 1.5 for a, b in zip(gaps, gaps[1:])),
                        "pauses do not grow: %s" % gaps)
        self.assertLogged(daemon, "restart %s in 4000 ms" % AGENT_NAME)
        # Switching off ends the restarts; switching on again starts at once.
        self.gw.cfg_set("gw_zeb_switch", "0")
        daemon.wait_for_log(r"switch zeb success! value = 0", timeout=10)
        count = len(components.agent_records("start"))
        components.set_agent_mode("normal")
        time.sleep(1.5)
        self.assertEqual(len(components.agent_records("start")), count)
        self.gw.cfg_set("gw_zeb_switch", "1")
        components.wait_for_agent(parent=daemon.pid, timeout=3)
        self.stop_daemon()

    def test_agent_ignoring_sigterm_is_reported_and_reaped(self):
        self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"), agent_mode="ignore-term")
        gw, daemon = self.gw, self.gw.daemon
        agent = components.wait_for_agent(parent=daemon.pid)
        gw.cfg_set("gw_zeb_switch", "0")
        daemon.wait_for_log(r"switch zeb success! value = 0", timeout=10)
        self.assertInOrder(daemon, ["stop zeb proxy failed", "switch zeb success! value = 0"])
        self.assertEqual(components.agent_processes(), {agent: daemon.pid})
        self.assertFalse(os.path.exists(KEY_FILE))
        # When it does end, the daemon reaps it and does not start another.
        os.kill(agent, signal.SIGKILL)
        daemon.wait_for_log(r"%s exits,status:9$" % AGENT_PATH, timeout=5)
        components.wait_for(lambda: components.proc_stat(agent) is None, 5, "agent reaped")
        time.sleep(1.5)
        self.assertEqual(components.agent_processes(), {})
        self.assertEqual(len(components.agent_records("start")), 1)
        self.stop_daemon()


if __name__ == "__main__":
    harness.main()
