#!/usr/bin/python3
"""The upload backlog's files in the field: a daemon killed (SIGKILL) after a period was
kept, its segment then damaged at the tail, and a folder on a full disk. Whatever was on
disk intact is uploaded once after the restart, the damage is cut and counted, and a full
disk keeps the backlog in memory: the daemon never stops for its files."""

import json
import os
import signal
import subprocess

import harness
from harness import AGENT_KEYS, BACKLOG_DIR, DEVICE

ON = dict(AGENT_KEYS, **DEVICE, gw_zeb_switch="1")
OUTAGE = {"upload": {"status": 503}}
NAMES = ["metric_name_%02d" % i for i in range(60)]
MODULE = "net/" + "m" * 59  # the longest module name: 60 metrics need about 5.5 kB


class BacklogFilesTest(harness.GatewayTestCase):
    def outage_period(self, count):
        """Starts the daemon against a failing cloud and lets one period of `count`
        metrics fail; the names posted."""
        gw = self.gw
        gw.start_cloud([harness.CLOUD_CREDENTIAL], control=OUTAGE)
        daemon = gw.start_daemon()
        daemon.wait_for_log(r"init zeb sdk success", timeout=30)
        reply = gw.post(harness.metric_request(None, "p", MODULE, [
            {"metricName": name, "value": i, "collectRule": "update"}
            for i, name in enumerate(NAMES[:count])]))
        self.assertEqual(reply["code"], 0)
        daemon.wait_for_log(r"upload failed, %d metrics kept in the backlog" % count, timeout=90)
        return NAMES[:count]

    def assertUploadedOnce(self, names):
        bodies = [json.loads(r["body"])[0] for r in self.gw.cloud.records()]
        self.assertEqual(sorted(b["metricName"] for b in bodies), sorted(names))
        self.assertEqual(len({b["ts"] for b in bodies}), 1)  # the period's end, for all

    def test_a_killed_daemon_and_a_damaged_segment(self):
        gw = self.start_gateway(ON, credential=True, daemon=False)
        names = self.outage_period(5)
        self.assertEqual(gw.daemon.stop(signal.SIGKILL), -signal.SIGKILL)
        segments = sorted(os.listdir(BACKLOG_DIR))
        self.assertEqual(len(segments), 1)
        with open(os.path.join(BACKLOG_DIR, segments[0]), "ab") as f:
            f.write(b"SMBL\x01\x00\x00\x00torn")  # a record cut short by the power loss
        harness.write_text(os.path.join(BACKLOG_DIR, "notes"), "not ours")
        gw.cloud.set_control({})
        daemon = gw.start_daemon()
        daemon.wait_for_log(r"upload backlog drained", timeout=60)
        self.assertEqual(daemon.count(r"damaged at byte \d+, cut there"), 1)
        self.assertUploadedOnce(names)
        self.assertEqual(os.listdir(BACKLOG_DIR), ["notes"])  # unknown files stay
        self.stop_daemon()

    def test_a_full_disk_keeps_the_backlog_in_memory(self):
        os.makedirs(BACKLOG_DIR, exist_ok=True)
        subprocess.run(["mount", "-t", "tmpfs", "-o", "size=4k", "tmpfs", BACKLOG_DIR],
                       check=True)
        self.addCleanup(subprocess.run, ["umount", BACKLOG_DIR], check=False)
        gw = self.start_gateway(ON, credential=True, daemon=False)
        names = self.outage_period(len(NAMES))  # a record larger than the disk
        self.assertEqual(gw.daemon.count(r"backlog kept in memory only"), 1)
        self.assertIn("No space left on device", "\n".join(gw.daemon.messages()))
        gw.cloud.set_control({})
        gw.daemon.wait_for_log(r"upload backlog drained", timeout=60)
        self.assertUploadedOnce(names)
        self.stop_daemon()


if __name__ == "__main__":
    harness.main()
