#!/usr/bin/python3
"""The upload backlog through the whole daemon: the cloud answers 503 for two periods, SIGINT
comes during the outage, and the daemon starts again with the cloud back. Every metric of
every period reaches the cloud exactly once with its period's ts, in increasing ts per
series; a metric the cloud refuses for good (400) is tried once, counted, never again."""

import json
import os
import sys

import harness
from harness import AGENT_KEYS, BACKLOG_DIR, DEVICE

sys.path.insert(0, os.path.join(harness.source_dir(), "bench"))
from link_emulator import LinkEmulator  # noqa: E402

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
        got = self.series_points()
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

    def series_points(self):
        got = {}
        for rec in self.gw.cloud.records():
            body = json.loads(rec["body"])[0]
            got.setdefault(body["metricName"], []).append((body["ts"], body["value"]))
        return got

    def test_a_slow_link_that_vanishes_is_probed_then_drained_in_order(self):
        # A cellular link in front of the cloud: 300 ms round trip, 1 Mbit/s up. It goes
        # (bytes lost, nothing closed) across a period end, then comes back.
        gw = self.start_gateway(ON, credential=True, daemon=False)
        gw.start_cloud([harness.CLOUD_CREDENTIAL], control=BACK, https_port=4443)
        with LinkEmulator("127.0.0.1:443", "127.0.0.1:4443", rtt_ms=300, up_kbps=1000,
                          down_kbps=2000) as link:
            daemon = gw.start_daemon()
            daemon.wait_for_log(r"init zeb sdk success", timeout=30)
            link.drop()
            self.post_period(1)
            daemon.wait_for_log(r"upload failed, 3 metrics kept in the backlog", timeout=90)
            # The period's round cost one time-out: nothing else of it was sent.
            self.assertEqual(daemon.count(r"Timeout was reached"), 1)
            link.undrop()
            # A probe finds the link back: the kept period goes out without a period end.
            daemon.wait_for_log(r"upload backlog drained", timeout=30)
            self.assertEqual(len(gw.cloud.records()), 2)  # rx and tx; bad refused
            self.post_period(2)
            harness.poll(lambda: len(gw.cloud.records()) == 4, 90, "the next period uploaded")
            self.stop_daemon()
        got = self.series_points()
        self.assertEqual(got["rx"], got["tx"])  # one ts per period
        self.assertEqual([v for _, v in got["rx"]], [1, 2])  # once each, in order
        self.assertLess(got["rx"][0][0], got["rx"][1][0])
        self.assertEqual(daemon.count(r"metric\(net/wan/bad\) refused with HTTP 400"), 2)


if __name__ == "__main__":
    harness.main()
