#!/usr/bin/python3
"""The two roads through the whole daemon, end to end with every partner present: one
posted sample from PostMetricData to the signed upload at the end of the daemon's own
60000 ms period, and a run-time switch of the monitoring components on and off."""

import json
import os
import time

import harness

harness.ensure_sandbox()

import components  # noqa: E402
from components import (AGENT_KEYS, AGENT_NAME, CLOUD_CREDENTIAL, DEVICE,  # noqa: E402
                        KEY_FILE, KEY_FILE_TEXT, SERIAL)

PERIOD_S = 60.0
# The manager wakes at least once a second; a period's uploads come right after its end.
UPLOAD_SLACK_S = 15.0
GROUP_NAME = "pxr::service-monitor"
INSTANCE_ID = "pxr:service-monitor::%s:%s/%s-ID" % (
    DEVICE["gw_account_id"], DEVICE["gw_system_productkey"], DEVICE["gw_system_devicename"])
MODULE, SERVICE, FUNCTION = "svc/func", "svc", "func"
# (metric name, collect rule, posted values, aggregated value as the daemon prints it)
SAMPLES = (("latency_ms", "avg", (1, 2, 6), 3),
           ("requests", "accumulate", (0.5, 0.25, 1), 1.75))
SERIAL_KEYS = ("gw_zeb_serialNumber", "vt_serialNumber")
# Refused before the request is read, so without its id.
OFF = {"id": "", "code": 110100, "message": "metric module is disable"}
NOT_READY = {"id": "", "code": 110101, "message": "the dependent service are not ready"}
ACCEPTED = {"id": "req-1", "code": 0, "message": ""}


def now_ms():
    return int(time.time() * 1000)


def header(record, name):
    """The value of a recorded request header (names compared without case), or None."""
    for key, value in record["headers"]:
        if key.lower() == name.lower():
            return value
    return None


class SampleRoadTest(components.ComponentCase):
    def test_posted_samples_reach_the_cloud_signed_and_aggregated_at_the_period_end(self):
        entries = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1")
        self.start_gateway(entries, credential=True, cloud=True, daemon=False)
        gw, cloud = self.gw, self.cloud
        # The first period starts when the daemon creates its metric manager.
        launched = time.time()
        self.start_daemon()
        daemon = gw.daemon
        daemon.wait_for_log(r"init zeb sdk success", timeout=30)
        groups = [g for g in cloud.state()["groups"] if g["GroupName"] == GROUP_NAME]
        self.assertEqual(len(groups), 1, cloud.state())
        group_id = str(groups[0]["GroupId"])

        posted_at = []
        for i in range(3):
            request_id = "road-%d" % i
            ts = now_ms()
            posted_at.append(ts)
            request = {"id": request_id, "ts": ts, "moduleName": MODULE,
                       "params": [{"metricName": name, "value": values[i], "collectRule": rule}
                                  for name, rule, values, _ in SAMPLES]}
            reply = components.post_metric(gw, json.dumps(request))
            self.assertEqual(reply, {"id": request_id, "code": 0, "message": ""})
        # Every sample is inside the first period, well before its end.
        self.assertLess(time.time(), launched + PERIOD_S - 10,
                        "registration took too long for the samples to share a period")
        self.assertEqual(cloud.records(), [])

        deadline = launched + PERIOD_S + UPLOAD_SLACK_S
        components.wait_for(lambda: len(cloud.records()) >= len(SAMPLES),
                            max(deadline - time.time(), 1.0), "uploads of the first period")
        time.sleep(2.0)  # nothing more comes for that period
        records = cloud.records()
        self.assertEqual(len(records), len(SAMPLES), [r["body"] for r in records])

        by_name = {json.loads(r["body"])[0]["metricName"]: r for r in records}
        self.assertEqual(sorted(by_name), sorted(name for name, _, _, _ in SAMPLES))
        for name, _, _, value in SAMPLES:
            with self.subTest(metric=name):
                rec = by_name[name]
                ts = json.loads(rec["body"])[0]["ts"]
                want = json.dumps([{"productCode": "NODE_HUB", "metricName": name,
                                    "groupId": group_id, "instanceId": INSTANCE_ID,
                                    "dimensions": {"region": "cn-hangzhou",
                                                   "serviceName": SERVICE,
                                                   "functionName": FUNCTION},
                                    "value": value, "ts": ts}], separators=(",", ":"))
                self.assertEqual(rec["body"], want)
                # Stamped at the upload, after the period's end; not a posted ts.
                self.assertNotIn(ts, posted_at)
                self.assertGreater(ts, (launched + PERIOD_S) * 1000)
                self.assertLessEqual(ts, rec["time"] * 1000 + 1)
                self.assertGreater(rec["time"], launched + PERIOD_S)
                self.assertLess(rec["time"], deadline)
                # The stand-in records verified uploads only; these say whose they are.
                self.assertEqual(rec["listener"], "https")
                self.assertEqual(rec["accessKeyId"], CLOUD_CREDENTIAL["accessKeyId"])
                self.assertTrue(header(rec, "Authorization").startswith(
                    CLOUD_CREDENTIAL["accessKeyId"] + ":"), rec["headers"])
                self.assertEqual(header(rec, "x-zeb-security-token"),
                                 CLOUD_CREDENTIAL["securityToken"])
        self.assertEqual(daemon.count(r"post metric data:.* success"), len(SAMPLES))
        self.assertEqual(daemon.count(r"upload to zeb failed"), 0)
        self.stop_daemon()


class SwitchRoadTest(components.ComponentCase):
    def assertSerialPublished(self):
        for key in SERIAL_KEYS:
            components.wait_for(lambda k=key: self.gw.cfg_get(k) == SERIAL, 5,
                                "%s holds %s" % (key, SERIAL))

    def clear_published_serial(self):
        for key in SERIAL_KEYS:
            self.gw.cfg_delete(key)
            self.assertIsNone(self.gw.cfg_get(key))

    def post(self):
        return components.post_metric(self.gw, components.metric_request())

    def post_until_accepted(self, timeout):
        deadline = time.monotonic() + timeout
        while True:
            reply = self.post()
            if reply["code"] != NOT_READY["code"] or time.monotonic() > deadline:
                self.assertEqual(reply, ACCEPTED)
                return
            time.sleep(0.2)

    def test_monitoring_switched_on_and_off_at_run_time(self):
        entries = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="0")
        self.start_gateway(entries, credential=True, cloud=True)
        gw, daemon, cloud = self.gw, self.gw.daemon, self.cloud

        # Off: no agent, no key file, no credential calls, ingestion refused.
        self.assertSerialPublished()
        time.sleep(2.5)  # a couple of scheduler passes
        self.assertEqual(components.agent_processes(), {})
        self.assertFalse(os.path.exists(KEY_FILE))
        self.assertEqual(self.credential_calls(), [])
        self.assertEqual(self.post(), OFF)
        self.assertEqual(cloud.events(), [])

        # On. The first group lookup answers slowly, so the not-ready window is certain.
        self.clear_published_serial()
        cloud.set_control({"actions": {"DescribeMonitorGroups": {"delay": 3, "times": 1}}})
        switched = time.time()
        gw.cfg_set("gw_zeb_switch", "1")
        daemon.wait_for_log(r"switch zeb success! value = 1$", timeout=5)
        self.assertEqual(self.post(), NOT_READY)
        agent = components.wait_for_agent(parent=daemon.pid, timeout=5)
        self.assertEqual(components.argv0(agent), AGENT_NAME)
        self.assertEqual(components.read_text(KEY_FILE), KEY_FILE_TEXT)
        calls = self.credential.wait_for("call", timeout=5)
        self.assertLess(calls[0]["time"] - switched, 2.5)
        self.assertSerialPublished()
        self.post_until_accepted(timeout=20)
        self.assertLogged(daemon, "init zeb sdk success")

        # Off again.
        self.clear_published_serial()
        gw.cfg_set("gw_zeb_switch", "0")
        daemon.wait_for_log(r"switch zeb success! value = 0$", timeout=5)
        components.wait_no_agent()
        self.assertFalse(os.path.exists(KEY_FILE))
        self.assertEqual(self.post(), OFF)
        self.assertSerialPublished()
        # The refresh task is gone (its next regular run would be minutes away).
        self.assertEqual(daemon.count(r"del node\(updataCredentialTask\) from list$"), 1)
        calls = len(self.credential_calls())
        time.sleep(3.0)
        self.assertEqual(len(self.credential_calls()), calls)
        self.assertEqual(components.agent_processes(), {})
        self.assertEqual(components.agent_records("signal")[-1]["pid"], agent)
        self.stop_daemon()


if __name__ == "__main__":
    harness.main()
