#!/usr/bin/python3
"""The complete start-up with every partner present (configuration, credential and cloud
stand-ins, the agent), PostMetricData through the bus while the monitoring switch and the
metric pre-tasks move, and the orderly shutdown of it all."""

import json
import os
import time

import harness

harness.ensure_sandbox()

import components  # noqa: E402
from components import AGENT_KEYS, DEVICE, KEY_FILE  # noqa: E402

NOT_READY = (110101, "the dependent service are not ready")


def post_until(gw, text, code, timeout=10.0):
    """Posts until the reply carries `code`; returns that reply."""
    replies = []

    def attempt():
        replies.append(components.post_metric(gw, text))
        return replies[-1]["code"] == code and replies[-1]
    try:
        return components.wait_for(attempt, timeout, "PostMetricData code %d" % code)
    except AssertionError as exc:
        raise AssertionError("%s; last replies %s" % (exc, replies[-3:]))


class PreTasksTest(components.ComponentCase):
    def test_missing_product_key_keeps_refusing(self):
        entries = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1")
        del entries["gw_system_productkey"]
        self.start_gateway(entries, credential=True, cloud=True)
        daemon = self.gw.daemon
        daemon.wait_for_log(r"get gw_system_devicename OK", timeout=5)
        reply = components.post_metric(self.gw, components.metric_request())
        self.assertEqual((reply["code"], reply["message"]), NOT_READY)
        self.assertLogged(daemon, "service(GetProductKey) abnormal")
        self.stop_daemon()

    def test_failing_cloud_keeps_refusing(self):
        entries = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1")
        control = {"actions": {"CreateMonitorGroup": {"status": 500, "code": 500, "apply": False}}}
        self.start_gateway(entries, credential=True, cloud=True, daemon=False)
        self.cloud.set_control(control)
        self.start_daemon()
        daemon = self.gw.daemon
        daemon.wait_for_log(r"create group\(pxr::service-monitor\) failed", timeout=10)
        reply = components.post_metric(self.gw, components.metric_request())
        self.assertEqual((reply["code"], reply["message"]), NOT_READY)
        self.assertLogged(daemon, "service(InitZEBSDK) abnormal")
        actions = [e.get("action") for e in self.cloud.events()]
        self.assertIn("CreateMonitorGroup", actions)
        self.assertEqual(self.cloud.state().get("groups", []), [])
        self.stop_daemon()


class CompleteStartupTest(components.ComponentCase):
    def test_everything_running_then_sigint(self):
        entries = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1", gw_dps_switch="1")
        self.start_gateway(entries, credential=True, cloud=True)
        gw, daemon = self.gw, self.gw.daemon
        agent = components.wait_for_agent(parent=daemon.pid)
        self.assertEqual(components.wait_for_dps_runs(1)[0]["script"], "startDPS.sh")

        reply = post_until(gw, components.metric_request(), 0)
        self.assertEqual((reply["id"], reply["message"]), ("req-1", ""))
        # The gateway is registered with the cloud under its own names.
        groups = self.cloud.state()["groups"]
        self.assertEqual([g["GroupName"] for g in groups], ["pxr::service-monitor"], groups)
        text = json.dumps(groups)
        self.assertIn("pxr:service-monitor::%s:%s/%s-ID" % (
            DEVICE["gw_account_id"], DEVICE["gw_system_productkey"],
            DEVICE["gw_system_devicename"]), text)

        # Replies stay JSON whatever the id holds.
        for request_id in ('quo"te', 'back\\slash', 'both\\"', "tab\there"):
            reply = components.post_metric(gw, components.metric_request(request_id=request_id))
            self.assertEqual((reply["id"], reply["code"]), (request_id, 0))
        reply = components.post_metric(gw, '{"id": "x\\"y", "ts": "soon"}')
        self.assertEqual((reply["id"], reply["code"], reply["message"]),
                         ('x"y', 100001, "json object(ts) is invalid"))
        reply = components.post_metric(gw, "{not json")
        self.assertEqual((reply["code"], reply["message"]), (100001, "invalid json format"))

        # Switched off the module refuses again; on again it is ready once more.
        gw.cfg_set("gw_zeb_switch", "0")
        daemon.wait_for_log(r"switch zeb success! value = 0", timeout=10)
        self.assertEqual(components.post_metric(gw, "{")["code"], 110100)
        components.wait_no_agent()
        gw.cfg_set("gw_zeb_switch", "1")
        agent = components.wait_for_agent(parent=daemon.pid)
        post_until(gw, components.metric_request(), 0)

        self.stop_daemon()
        components.wait_no_agent()
        self.assertEqual(components.agent_records("signal")[-1]["pid"], agent)
        self.assertEqual(components.agent_records("signal")[-1]["signal"], 15)
        self.assertFalse(gw.name_has_owner(harness.MONITOR_NAME))
        self.assertInOrder(daemon, ["Caught signal: Interrupt, exiting...",
                                    "zeb proxy thread exit", "service_monitor exit"])
        # Neither the credential task nor the pre-tasks run after the configuration
        # connection is gone: nothing is logged after the proxy's teardown but the end.
        tail = components.messages(daemon)
        tail = tail[tail.index("zeb proxy thread exit"):]
        self.assertFalse([m for m in tail if "credential" in m or "get gw_" in m], tail)
        # The key file stays for the next start (only switching off removes it).
        self.assertTrue(os.path.exists(KEY_FILE))

    def test_sigint_while_the_agent_ignores_sigterm(self):
        self.start_gateway(dict(AGENT_KEYS, gw_zeb_switch="1"), agent_mode="ignore-term")
        daemon = self.gw.daemon
        agent = components.wait_for_agent(parent=daemon.pid)
        began = time.monotonic()
        self.stop_daemon(timeout=20)
        self.assertLess(time.monotonic() - began, 10.0)
        # The agent does not outlive the daemon (it gets SIGHUP when its parent goes).
        components.wait_for(lambda: components.proc_stat(agent) is None
                            or components.proc_stat(agent)[0] == "Z", 5, "agent ended")
        self.assertEqual(components.agent_records("signal")[-1]["signal"], 1)


if __name__ == "__main__":
    harness.main()
