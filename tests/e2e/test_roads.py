#!/usr/bin/python3
"""The metric road through the whole daemon with every partner present: posted samples to
their signed, aggregated uploads at the end of the daemon's own 60000 ms period, with the
credential refreshed on expiry, the wall clock stepped and a hanging upload on the way (kept
and sent again),
the daemon's own metrics beside them (gw_monitor_self_metrics), and the registration that
gates ingestion until it has succeeded."""

import json
import re
import time

import harness
from harness import AGENT_KEYS, DEVICE, MONITOR_NAME

PERIOD_S = 60.0
UPLOAD_SLACK_S = 25.0  # the period end is noticed within a second; one upload hangs 10 s
GROUP_NAME = "pxr::service-monitor"
INSTANCE_ID = "pxr:service-monitor::%s:%s/%s-ID" % (
    DEVICE["gw_account_id"], DEVICE["gw_system_productkey"], DEVICE["gw_system_devicename"])
CRED_A = {"accessKeyId": "STS.keyA", "accessKeySecret": "secret/A+=", "securityToken": "tokA"}
CRED_B = {"accessKeyId": "STS.keyB", "accessKeySecret": "secret-B", "securityToken": "tokB"}
MODULE, SERVICE, FUNCTION = "svc/func/extra", "svc", "func"
# (metric name, collect rule, posted values, aggregated value as the daemon prints it)
SAMPLES = (("latency_ms", "avg", (1, 2, 6), 3),
           ("requests", "accumulate", (0.5, 0.25, 1), 1.75),
           ("state", "update", (7, 8, 9), 9))
# Names cut within their 63 and 31 bytes at a character boundary: 64 bytes of "é" keep 62,
# 33 of "度" keep 30.
WIDE_MODULE, WIDE_METRIC = "é" * 32, "度" * 11
HUGE = 1.79769313486231e308  # two samples of 1e308: held at the largest value 15 digits carry
# The daemon's own metrics of the first period, as its summary line counts it (the queue's
# peak is read from the line; the resident memory is only positive).
SELF_SERVICE, SELF_FUNCTION = "service_monitor", "self"
SELF_METRICS = {"samples_accepted": 13, "requests_refused": 1, "uploads_accepted": 0,
                "uploads_failed": 0, "backlog_metrics": 0, "backlog_bytes": 0,
                "metrics_dropped": 0}
NOT_READY = (110101, "the dependent service are not ready")
STARTED = ["STATUS=starting", "READY=1\nSTATUS=running"]
PERIOD_STATUS = "STATUS=period: samples accepted 13, uploads accepted 0 failed 0, backlog 0 metrics"


def header(record, name):
    return next((v for k, v in record["headers"] if k.lower() == name.lower()), None)


class SampleRoadTest(harness.GatewayTestCase):
    def post_value(self, metric, value_text, rule="accumulate", module=MODULE, ts_ms=None):
        text = harness.metric_request(ts_ms, "edge", module, [
            {"metricName": metric, "value": 12345, "collectRule": rule}])
        return self.gw.post(text.replace("12345", value_text))

    def step_clock(self, offset_s, steps_seen):
        """Moves the daemon's wall clock (libfaketime) to real time + offset_s."""
        self.gw.step_clock(offset_s)
        self.gw.daemon.wait_for_log(r"wall clock stepped by", timeout=10, count=steps_seen)

    def test_samples_reach_the_cloud_signed_and_aggregated_at_the_period_end(self):
        gw = self.start_gateway(dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1",
                                     gw_monitor_self_metrics="1"), daemon=False)
        # Credential A lives 20 s, so it has expired at the period end: B signs the uploads.
        gw.start_credential([CRED_A, CRED_B], duration=20)
        # The first upload hangs past the daemon's 10 s time-out: kept, and sent again at once
        # since the others got through.
        gw.start_cloud([CRED_A, CRED_B], control={"upload": {"status": 500, "delay": 12,
                                                             "times": 1}})
        launched = time.time()  # the first period starts with the daemon's manager
        # Under a service manager that expects a keep-alive every second.
        daemon = gw.start_daemon(env=dict(gw.fake_clock_env(), **gw.notify_env(2000000)))
        self.assertEqual(gw.wait_for_notification(STARTED[-1]), STARTED)
        self.assertIsNotNone(gw.name_owner(MONITOR_NAME))
        daemon.wait_for_log(r"init zeb sdk success", timeout=30)
        group_id = [g["GroupId"] for g in gw.cloud.state()["groups"]
                    if g["GroupName"] == GROUP_NAME]
        self.assertEqual(len(group_id), 1, gw.cloud.state())
        posted = []
        for i in range(3):
            posted.append(int(time.time() * 1000))
            reply = gw.post(harness.metric_request(posted[-1], "road-%d" % i, MODULE, [
                {"metricName": name, "value": values[i], "collectRule": rule}
                for name, rule, values, _ in SAMPLES]))
            self.assertEqual(reply, {"id": "road-%d" % i, "code": 0, "message": ""})
        # A value that cannot be uploaded is refused; a sum past the doubles is held.
        self.assertEqual(self.post_value("overflow", "1e309"),
                         {"id": "edge", "code": 100001, "message": "json object(value) is invalid"})
        for _ in range(2):
            self.assertEqual(self.post_value("huge", "1e308")["code"], 0)
        self.assertEqual(self.post_value(WIDE_METRIC, "5", "update", WIDE_MODULE)["code"], 0)
        # The clock steps back a minute and returns: samples stamped with the stepped clock
        # are taken at once, and the period's data is kept.
        self.step_clock(-60, 1)
        stepped_ts = int((time.time() - 60) * 1000)
        self.assertEqual(self.post_value("stepped", "4", "update", ts_ms=stepped_ts)["code"], 0)
        self.step_clock(0, 2)
        self.assertLess(time.time(), launched + PERIOD_S - 10, "registration took too long")
        self.assertEqual(gw.cloud.records(), [])

        # The next period starts on time while an upload hangs: its samples are taken.
        daemon.wait_for_log(r"period summary: ", timeout=launched + PERIOD_S + 5 - time.time())
        summary = [m for m in daemon.messages() if m.startswith("period summary: ")][-1]
        self.assertRegex(summary, r"^period summary: samples accepted 13, dropped by disable 0, "
                         r"requests refused "
                         r"100000:0 100001:1 100002:0 110100:0 110101:0, queue peak \d+ bytes, "
                         r"uploads accepted 0 failed 0, backlog 0 metrics 0 bytes, kept 0 "
                         r"retried 0 uploaded 0, dropped full 0 age 0 refused 0 instance 0, "
                         r"records cut 0$")
        gw.wait_for_notification(PERIOD_STATUS, timeout=5)
        time.sleep(4.0)  # past the old window's tolerance
        self.assertEqual(self.post_value("next", "1")["code"], 0)

        # One upload times out: it is sent again, so every metric arrives once.
        expected = {name: (SERVICE, FUNCTION, value) for name, _, _, value in SAMPLES}
        expected.update({"huge": (SERVICE, FUNCTION, HUGE), "stepped": (SERVICE, FUNCTION, 4),
                         WIDE_METRIC[:10]: (WIDE_MODULE[:31], "", 5)})
        queue_peak = int(re.search(r"queue peak (\d+) bytes", summary).group(1))
        self.assertGreater(queue_peak, 0)
        expected.update({name: (SELF_SERVICE, SELF_FUNCTION, value) for name, value in
                         dict(SELF_METRICS, queue_peak_bytes=queue_peak, rss_kb=None).items()})
        deadline = launched + PERIOD_S + UPLOAD_SLACK_S
        records = harness.poll_count(gw.cloud.records, len(expected),
                                     max(deadline - time.time(), 1), "uploads")
        time.sleep(2.0)  # nothing more comes for that period
        self.assertEqual(len(gw.cloud.records()), len(expected))
        self.assertEqual(daemon.count(r"post metric data:.* success"), len(expected))
        self.assertEqual(len({json.loads(r["body"])[0]["ts"] for r in records}), 1)
        calls = gw.credential_calls()
        self.assertEqual([c["accessKeyId"] for c in calls], ["STS.keyA", "STS.keyB"])
        self.assertGreater(calls[1]["time"], launched + PERIOD_S)
        for rec in records:
            body = json.loads(rec["body"])[0]
            with self.subTest(metric=body["metricName"]):
                ts = body["ts"]
                service, function, value = expected[body["metricName"]]
                if value is None:  # the resident memory
                    self.assertGreater(body["value"], 0)
                    value = body["value"]
                want = json.dumps([{"productCode": "NODE_HUB", "metricName": body["metricName"],
                                    "groupId": str(group_id[0]), "instanceId": INSTANCE_ID,
                                    "dimensions": {"region": "cn-hangzhou",
                                                   "serviceName": service,
                                                   "functionName": function},
                                    "value": value, "ts": ts}],
                                  separators=(",", ":"), ensure_ascii=False)
                self.assertEqual(rec["body"], want)
                # Stamped at the period's end, not with a posted ts, even when sent again.
                self.assertNotIn(ts, posted)
                self.assertTrue(launched + PERIOD_S < ts / 1000 <= rec["time"] + 0.001
                                < deadline, (launched, ts, rec["time"]))
                # The stand-in records verified uploads only; these say whose they are.
                self.assertEqual((rec["listener"], rec["accessKeyId"],
                                  header(rec, "x-zeb-security-token")),
                                 ("https", CRED_B["accessKeyId"], CRED_B["securityToken"]))
        self.stop_daemon()
        # The keep-alive came from the turning loop all along; the agent never saw the
        # manager's variables.
        notes = gw.notifications()
        self.assertEqual(notes[-1], "STOPPING=1\nSTATUS=stopping")
        self.assertEqual(set(notes), set(STARTED + [PERIOD_STATUS, notes[-1], "WATCHDOG=1"]))
        self.assertGreaterEqual(notes.count("WATCHDOG=1"), 10, notes)
        starts = gw.agent_records("start")
        self.assertEqual([r["managerVariables"] for r in starts], [""] * max(len(starts), 1))


class RegistrationTest(harness.GatewayTestCase):
    def test_each_missing_partner_keeps_ingestion_refused(self):
        entries = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1")
        # (label, configuration key left out, cloud control, CA bundle installed (True: the
        #  cloud's own), credential service up, pre-task reported, daemon line)
        cases = [
            ("product-key", "gw_system_productkey", None, True, True, "GetProductKey",
             "get gw_system_productkey failed"),
            ("group-refused", None, {"actions": {"CreateMonitorGroup": {
                "status": 500, "code": 500, "apply": False}}}, True, True, "InitZEBSDK",
             "create group(pxr::service-monitor) failed"),
            ("wrong-ca", None, None, "/etc/ssl/certs/ca-certificates.crt", True, "InitZEBSDK",
             "curl_easy_perform() failed: SSL peer certificate or SSH remote key was not OK"),
            ("no-credential", None, None, True, False, "InitZEBSDK", "update credential failed"),
        ]
        for label, missing, control, ca, credential, task, line in cases:
            with self.subTest(label):
                gw = self.next_gateway(label)
                keys = {k: v for k, v in entries.items() if k != missing}
                self.start_gateway(keys, credential=credential, daemon=False)
                gw.start_cloud([harness.CLOUD_CREDENTIAL], install_ca=ca, control=control)
                gw.start_daemon()
                gw.daemon.wait_for_log(line.replace("(", r"\(").replace(")", r"\)"),
                                       timeout=15)
                reply = gw.post(harness.metric_request())
                self.assertEqual((reply["code"], reply["message"]), NOT_READY)
                self.assertIn("service(%s) abnormal" % task, gw.daemon.messages())
                self.assertEqual(gw.cloud.records(), [])
                self.stop_daemon()


if __name__ == "__main__":
    harness.main()
