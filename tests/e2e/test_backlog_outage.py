#!/usr/bin/python3
"""The upload backlog through the whole daemon: the cloud answers 503 for two periods, SIGINT
comes during the outage, and the daemon starts again with the cloud back. Every metric of
every period reaches the cloud exactly once with its period's ts, in increasing ts per
series; a metric the cloud refuses for good (400) is tried once, counted, never again."""

import json
import os

import harness
from harness import AGENT_KEYS, BACKLOG_DIR, DEVICE

ON = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1")
SERIES = ("rx", "tx", "bad")
OUTAGE = {"upload": {"status": 503}}
BACK = {"upload": {"match": '"metricName":"bad"', "status": 400}}


class OutageTest(harness.GatewayTestCase):
    def post_period(self, value):
        reply = self.gw.post(harness.metric_request(None, "p%d" % value, "net/wan", [
            {"metricName": name, "value": value, "collectRule": "update"} for name in SERIES]))
        self.assertEqual(reply["code"], 0)

    def test_an_outage_and_a_restart_lose_nothing_and_keep_the_order(self):
        gw = self.start_gateway(ON, credential=True, daemon=False)
        gw.start_cloud([harness.CLOUD_CREDENTIAL], control=OUTAGE)
        daemon = gw.start_daemon()
        daemon.wait_for_log(r"init zeb sdk success", timeout=30)
        # Two periods end in the outage: each is kept with one record, the second without
        # being tried once the backlog's probe failed.
        for period in (1, 2):
            self.post_period(period)
            daemon.wait_for_log(r"upload failed, 3 metrics kept in the backlog", count=period,
                                timeout=90)
        self.post_period(3)  # the current period when SIGINT comes: kept at the exit
        self.stop_daemon()
        self.assertEqual(daemon.count(r"upload failed, 3 metrics kept in the backlog"), 3)
        self.assertEqual(gw.cloud.records(), [])
        self.assertEqual(harness.file_mode(BACKLOG_DIR), 0o700)
        for name in os.listdir(BACKLOG_DIR):
            self.assertEqual(harness.file_mode(os.path.join(BACKLOG_DIR, name)), 0o600, name)

        gw.cloud.set_control(BACK)
        daemon = gw.start_daemon()
        daemon.wait_for_log(r"upload backlog drained", timeout=60)
        got = {}
        for rec in gw.cloud.records():
            body = json.loads(rec["body"])[0]
            got.setdefault(body["metricName"], []).append((body["ts"], body["value"]))
        self.assertEqual(sorted(got), ["rx", "tx"])
        for name, points in got.items():
            with self.subTest(series=name):
                self.assertEqual([v for _, v in points], [1, 2, 3])  # once each, in order
                self.assertEqual([ts for ts, _ in points], sorted({ts for ts, _ in points}))
        self.assertEqual(got["rx"], got["tx"])  # one ts per period, whenever sent
        self.assertEqual(daemon.count(r"metric\(net/wan/bad\) refused with HTTP 400"), 1)
        refusals = [e for e in gw.cloud.events() if e.get("status") == 400]
        self.assertEqual(len(refusals), 3)  # one per period, never retried
        self.assertEqual(os.listdir(BACKLOG_DIR), [])  # all resolved: no segment left
        self.stop_daemon()


if __name__ == "__main__":
    harness.main()
