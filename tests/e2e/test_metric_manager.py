#!/usr/bin/python3
"""The metric data manager (pre-tasks, aggregation and upload, credential refresh,
shutdown) and the credential client, in-process with a short period, against the real bus,
the configuration manager, the credential stand-in and the cloud stand-in.

The manager runs in metric_manager_driver, installed where the daemon lives so that the
cloud client finds its CA; the test speaks to it one JSON line per command.
"""

import json
import os
import select
import subprocess
import sys
import time
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.ensure_sandbox()
import peers  # noqa: E402

PERIOD_MS = 3000
ACCOUNT, PRODUCT_KEY, DEVICE = "acct-42", "pk-7", "dev-9"
CONFIG = {"gw_system_productkey": PRODUCT_KEY, "gw_system_devicename": DEVICE,
          "gw_account_id": ACCOUNT}
GROUP_NAME = "pxr::service-monitor"
INSTANCE_ID = "pxr:service-monitor::%s:%s/%s-ID" % (ACCOUNT, PRODUCT_KEY, DEVICE)
INSTANCE_NAME = "pxr:service-monitor::%s:%s/%s-NAME" % (ACCOUNT, PRODUCT_KEY, DEVICE)
CRED_A = {"accessKeyId": "STS.keyA", "accessKeySecret": "secret/A+=", "securityToken": "tokA"}
CRED_B = {"accessKeyId": "STS.keyB", "accessKeySecret": "secret-B", "securityToken": "tokB"}
# As long as the credential record holds: 127, 127 and 575 characters.
CRED_MAX = {"accessKeyId": "K" * 127, "accessKeySecret": "S" * 127, "securityToken": "T" * 575}
SANITIZER_MARKS = ("AddressSanitizer", "LeakSanitizer", "runtime error:")


def built_driver():
    path = os.path.join(harness.build_dir(), "tests", "e2e", "metric_manager_driver")
    if not os.access(path, os.X_OK):
        print("SKIP: metric_manager_driver not built: " + path, file=sys.stderr)
        sys.exit(harness.SKIP)
    return path


DRIVER = built_driver()


def now_ms():
    return int(time.time() * 1000)


def number(value):
    """A value as the JSON printer writes it (integral doubles without a fraction)."""
    return int(value) if float(value).is_integer() else value


class MetricDriver(harness.Proc):
    """metric_manager_driver with its commands on a pipe; standard error is its log."""

    def __init__(self, gw, period_ms=PERIOD_MS, tick_ms=1000):
        path = peers.install_beside_daemon(DRIVER)
        self.name = "driver"
        self.argv = [path, "--period", str(period_ms), "--tick-ms", str(tick_ms)]
        self.log_path = os.path.join(gw.log_dir, "driver.log")
        self._log = open(self.log_path, "ab", buffering=0)
        env = dict(os.environ)
        env.setdefault("ASAN_OPTIONS", "detect_leaks=1:abort_on_error=0")
        env.setdefault("UBSAN_OPTIONS", "print_stacktrace=1:halt_on_error=1")
        self.popen = subprocess.Popen(self.argv, stdin=subprocess.PIPE, stdout=subprocess.PIPE,
                                      stderr=self._log, env=env, cwd=os.path.dirname(path),
                                      start_new_session=True)
        self.pid = self.popen.pid
        self.started = time.monotonic()
        self._buf = b""
        gw.procs[self.name] = self
        self.period_ms = period_ms
        self._read_line(15.0)

    def _read_line(self, timeout):
        deadline = time.monotonic() + timeout
        fd = self.popen.stdout.fileno()
        while b"\n" not in self._buf:
            left = deadline - time.monotonic()
            if left <= 0 or not select.select([fd], [], [], left)[0]:
                raise AssertionError("driver: no answer within %.1f s (%s)\n%s"
                                     % (timeout, self.state(), self.tail()))
            chunk = os.read(fd, 65536)
            if not chunk:
                raise AssertionError("driver ended (%s):\n%s" % (self.state(), self.tail()))
            self._buf += chunk
        line, _, self._buf = self._buf.partition(b"\n")
        return json.loads(line)

    def command(self, line, timeout=10.0):
        self.popen.stdin.write(line.encode() + b"\n")
        self.popen.stdin.flush()
        answer = self._read_line(timeout)
        if "error" in answer:
            raise AssertionError("driver: %s: %s" % (line[:60], answer["error"]))
        return answer

    def rc(self, line, timeout=10.0):
        return self.command(line, timeout)["rc"]

    def post(self, module, params, ts=None):
        """Posts samples (name, value, rule); returns the reply as a dict."""
        request = {"id": "req-1", "ts": now_ms() if ts is None else ts, "moduleName": module,
                   "params": [{"metricName": n, "value": v, "collectRule": r}
                              for n, v, r in params]}
        answer = self.command("post " + json.dumps(request))
        reply = json.loads(answer["reply"])
        if (answer["rc"] == 0) != (reply["code"] == 0):
            raise AssertionError("post result %d with reply %s" % (answer["rc"], reply))
        return reply

    def manager_state(self):
        return self.command("state")

    def wait_period(self, count=1):
        """Waits until `count` further periods have started; returns the new bounds."""
        answer = self.command("wait-period %d" % count,
                              timeout=(count + 1) * (self.period_ms / 1000.0 + 14))
        if answer["rc"] != 0:
            raise AssertionError("driver: no new period")
        return answer

    def wait_state(self, predicate, timeout=15.0):
        def reached():
            st = self.manager_state()
            return st if predicate(st) else None
        return harness.poll(reached, timeout,
                            lambda _: "driver state not reached: %s" % self.manager_state(),
                            interval=0.1)

    def count_text(self, text):
        return self.log_text().count(text)

    def log_line(self, text):
        """The last log line containing `text` (fails when there is none)."""
        lines = [l for l in self.log_lines() if text in l]
        if not lines:
            raise AssertionError("driver log has no line with %r" % text)
        return lines[-1]

    def quit(self, timeout=30.0):
        """Ends the driver cleanly; returns its exit status."""
        self.popen.stdin.write(b"quit\n")
        self.popen.stdin.flush()
        self.popen.stdin.close()
        return self.wait(timeout)


class ManagerCase(harness.GatewayTestCase):
    def start_peers(self, config=CONFIG, credentials=(CRED_A,), duration=3600, state=None):
        gw = self.gw
        gw.start_bus()
        gw.start_config_manager(config)
        self.cloud = peers.start_cloud(gw, list(credentials), state=state)
        self.cred = peers.start_credential(gw, self.cloud.paths["credentials.json"],
                                           duration=duration)

    def start_driver(self, **kwargs):
        self.drv = MetricDriver(self.gw, **kwargs)
        return self.drv

    def make_ready(self):
        """Stores a credential, enables the module and waits for the pre-tasks."""
        drv = self.drv
        self.assertEqual(drv.rc("refresh"), 0)
        self.assertEqual(drv.rc("enable"), 0)
        return drv.wait_state(lambda s: all(s["done"].values()))

    def finish(self):
        """The driver ends cleanly, without sanitizer findings."""
        status = self.drv.quit()
        log = self.drv.log_text()
        self.assertEqual(status, 0, self.drv.tail())
        for mark in SANITIZER_MARKS:
            self.assertNotIn(mark, log)

    def wait_records(self, count, timeout=None):
        timeout = timeout or PERIOD_MS / 1000.0 + 12
        return harness.poll_count(self.cloud.records, count, timeout, "upload(s) recorded")

    def actions(self, action):
        return [e for e in self.cloud.events() if e.get("action") == action]


class PreTaskTest(ManagerCase):
    def test_pre_tasks_gate_ingestion_and_create_the_cloud_side(self):
        config = dict(CONFIG)
        del config["gw_system_productkey"]
        self.start_peers(config=config)
        drv = self.start_driver(tick_ms=0)  # the scheduler runs only on "tick"
        sample = [("m", 1, "update")]
        self.assertEqual(drv.post("svc", sample)["code"], 110100)
        self.assertEqual(drv.post("svc", sample)["message"], "metric module is disable")

        # Enabling twice leaves one set of tasks.
        self.assertEqual(drv.rc("enable"), 0)
        self.assertEqual(drv.rc("enable"), 0)
        st = drv.manager_state()
        self.assertEqual((st["taskNum"], st["enable"]), (3, 1))
        self.assertTrue(all(st["tasks"].values()))
        reply = drv.post("svc", sample)
        self.assertEqual((reply["code"], reply["message"]),
                         (110101, "the dependent service are not ready"))
        self.assertIn("FAIL", drv.log_line("service(GetProductKey) abnormal"))

        # No product key yet, no credential yet: only the device name is read.
        drv.command("tick 1")
        st = drv.manager_state()
        self.assertEqual(st["done"], {"GetProductKey": False, "GetDeviceName": True,
                                      "InitZEBSDK": False})
        self.assertEqual(st["tasks"], {"GetProductKey": True, "GetDeviceName": False,
                                       "InitZEBSDK": True})
        self.assertEqual(st["deviceName"], DEVICE)
        self.assertIn("get gw_system_productkey failed", drv.log_text())
        self.assertIn("get gw_system_devicename OK", drv.log_text())
        self.assertIn("credential get msg failed", drv.log_text())
        self.assertEqual(drv.post("svc", sample)["code"], 110101)
        self.assertEqual(drv.count_text("service(GetProductKey) abnormal"), 2)

        # A failed pre-task runs again only 15000 ms later.
        self.gw.cfg_set("gw_system_productkey", PRODUCT_KEY)
        drv.command("tick 14000")
        self.assertFalse(drv.manager_state()["done"]["GetProductKey"])
        drv.command("tick 16000")
        st = drv.manager_state()
        self.assertEqual((st["productKey"], st["done"]["GetProductKey"]), (PRODUCT_KEY, True))
        self.assertEqual(drv.post("svc", sample)["code"], 110101)
        self.assertIn("service(InitZEBSDK) abnormal", drv.log_text())
        self.assertEqual(self.cloud.state()["groups"], [])

        # With a credential the SDK task creates the group and this gateway's instance.
        self.assertEqual(drv.rc("refresh"), 0)
        drv.command("tick 32000")
        st = drv.manager_state()
        self.assertTrue(all(st["done"].values()))
        self.assertEqual(st["taskNum"], 0)
        groups = self.cloud.state()["groups"]
        self.assertEqual([g["GroupName"] for g in groups], [GROUP_NAME])
        self.assertEqual(st["groupId"], str(groups[0]["GroupId"]))
        self.assertEqual([(i["InstanceId"], i["InstanceName"], i["Category"])
                          for i in groups[0]["instances"]],
                         [(INSTANCE_ID, INSTANCE_NAME, "K8S_POD")])
        self.assertEqual((st["instanceId"], st["instanceName"], st["accountId"]),
                         (INSTANCE_ID, INSTANCE_NAME, ACCOUNT))
        self.assertIn("init zeb sdk success", drv.log_text())
        self.assertEqual(drv.post("svc", sample)["code"], 0)
        self.assertEqual(drv.manager_state()["dependReady"], 1)
        self.finish()

    def test_existing_group_is_found_and_disable_drops_the_period(self):
        held_name = "named-by-the-service"
        state = {"nextGroupId": 1000008, "groups": [
            {"GroupId": 1000007, "GroupName": "pxr::service-monitor-old", "instances": []},
            {"GroupId": 1000005, "GroupName": GROUP_NAME, "instances": [
                {"InstanceId": INSTANCE_ID, "InstanceName": held_name, "Category": "K8S_POD",
                 "RegionId": "cn-hangzhou"}]}]}
        self.start_peers(state=state)
        drv = self.start_driver()
        st = self.make_ready()
        self.assertEqual((st["groupId"], st["instanceName"]), ("1000005", held_name))
        self.assertEqual(self.actions("CreateMonitorGroup"), [])
        self.assertEqual(self.actions("CreateMonitorGroupInstances"), [])

        # Disable inside a period: the data so far is gone, ingestion and tasks stop.
        drv.wait_period()
        self.assertEqual(drv.post("svc", [("m", 5, "accumulate")])["code"], 0)
        drv.wait_state(lambda s: s["cached"] == 1, timeout=3)
        self.assertEqual(drv.rc("disable"), 0)
        st = drv.manager_state()
        self.assertEqual((st["enable"], st["dependReady"], st["cached"], st["taskNum"]),
                         (0, 0, 0, 0))
        self.assertFalse(any(st["done"].values()))
        reply = drv.post("svc", [("m", 5, "accumulate")])
        self.assertEqual((reply["code"], reply["message"]), (110100, "metric module is disable"))
        self.assertIn('"code":110100', drv.command("post {not json")["reply"])
        drv.wait_period(2)  # the second start comes after the first period's (empty) walk
        self.assertEqual(self.cloud.records(), [])

        # Enabling again finds the group and instance and reuses the SDK handle.
        st = self.make_ready()
        self.assertEqual(len(self.actions("DescribeMonitorGroups")), 2)
        self.assertEqual(self.actions("CreateMonitorGroup"), [])
        self.assertEqual(self.actions("CreateMonitorGroupInstances"), [])
        self.assertEqual(drv.post("svc", [("m", 7, "update")])["code"], 0)
        body = json.loads(self.wait_records(1)[0]["body"])
        self.assertEqual((body[0]["metricName"], body[0]["value"], body[0]["groupId"]),
                         ("m", 7, "1000005"))
        self.finish()


def expected_body(record, group_id, metric, service, function, value):
    """The exact upload text, with the record's own ts."""
    ts = json.loads(record["body"])[0]["ts"]
    return json.dumps([{"productCode": "NODE_HUB", "metricName": metric, "groupId": group_id,
                        "instanceId": INSTANCE_ID,
                        "dimensions": {"region": "cn-hangzhou", "serviceName": service,
                                       "functionName": function},
                        "value": number(value), "ts": ts}],
                      separators=(",", ":"))


def by_metric(records):
    """Records keyed by (serviceName, functionName, metricName); each key once."""
    out = {}
    for rec in records:
        body = json.loads(rec["body"])
        dims = body[0]["dimensions"]
        key = (dims["serviceName"], dims["functionName"], body[0]["metricName"])
        if key in out:
            raise AssertionError("%s uploaded twice" % (key,))
        out[key] = rec
    return out


class UploadTest(ManagerCase):
    def test_each_metric_is_uploaded_once_per_period_with_its_exact_body(self):
        self.start_peers()
        drv = self.start_driver()
        group_id = self.make_ready()["groupId"]
        period = drv.wait_period()
        posted_ts = period["periodStartMs"] - 2000  # old but inside the tolerance
        for values in ((1, 10, 0.5, 4), (2, 20, 0.25, 5), (6, 15, 1, 6)):
            upd, svc_upd, svc_acc, svc_avg = values
            self.assertEqual(drv.post("svc/func", [("upd", upd, "update"),
                                                   ("acc", upd, "Accumulate"),
                                                   ("avg", upd, "avg")], ts=posted_ts)["code"], 0)
            self.assertEqual(drv.post("svc", [("upd", svc_upd, "update"),
                                              ("acc", svc_acc, "accumulate"),
                                              ("avg", svc_avg, "AVG")])["code"], 0)
        drv.wait_state(lambda s: s["cached"] == 6, timeout=3)
        records = self.wait_records(6)
        self.assertEqual(drv.manager_state()["cached"], 0)
        want = {("svc", "func", "upd"): 6, ("svc", "func", "acc"): 9, ("svc", "func", "avg"): 3,
                ("svc", "", "upd"): 15, ("svc", "", "acc"): 1.75, ("svc", "", "avg"): 5}
        got = by_metric(records)
        self.assertEqual(set(got), set(want))
        for (service, function, metric), value in want.items():
            rec = got[(service, function, metric)]
            self.assertEqual(rec["body"], expected_body(rec, group_id, metric, service,
                                                        function, value))
            ts = json.loads(rec["body"])[0]["ts"]
            # Stamped at the upload: after the period's end, not the posted ts.
            self.assertGreater(ts, period["periodEndMs"])
            self.assertLessEqual(ts, rec["time"] * 1000 + 1)
            self.assertEqual(rec["accessKeyId"], CRED_A["accessKeyId"])

        # Module names split at "/": the first two parts, a leading slash kept.
        for module in ("a/b/c", "/x/y"):
            self.assertEqual(drv.post(module, [("n", 2.5, "update")])["code"], 0)
        got = by_metric(self.wait_records(8)[6:])
        self.assertEqual(set(got), {("a", "b", "n"), ("/x", "y", "n")})
        for (service, function, metric), rec in got.items():
            self.assertEqual(rec["body"], expected_body(rec, group_id, metric, service,
                                                        function, 2.5))
        drv.wait_period()
        self.assertEqual(len(self.cloud.records()), 8)
        # An unexpired credential is not fetched again at period ends.
        self.assertEqual(len(self.cred.calls()), 1)
        self.assertEqual(drv.count_text("upload to zeb failed"), 0)
        self.finish()


class CredentialRefreshTest(ManagerCase):
    def test_expired_credential_is_refreshed_once_before_each_periods_uploads(self):
        # Credentials live 1 s, so each period's end finds the stored one expired.
        self.start_peers(credentials=(CRED_A, CRED_MAX), duration=1)
        drv = self.start_driver()
        self.make_ready()
        used = []
        drv.wait_period()
        for value in (1, 2):
            # Posted right after a period start, so both data periods follow each other.
            self.assertEqual(drv.post("svc/f", [("x", value, "update"),
                                                ("y", value, "update")])["code"], 0)
            before = len(self.cloud.records())
            start = drv.wait_period()["periodStartMs"]
            records = self.wait_records(before + 2)[before:]
            first = min(r["time"] for r in records)
            calls = [c for c in self.cred.calls()
                     if start / 1000.0 - 0.05 <= c["time"] <= first]
            self.assertEqual(len(calls), 1, calls)
            for rec in records:
                self.assertEqual(rec["accessKeyId"], calls[0]["accessKeyId"])
                self.assertEqual(json.loads(rec["body"])[0]["value"], value)
            used.append(calls[0]["accessKeyId"])
        self.assertEqual(sorted(used), sorted([CRED_A["accessKeyId"], CRED_MAX["accessKeyId"]]))
        # The longest credential the record holds signs uploads end to end.
        long_upload = [r for r in self.cloud.records()
                       if r["accessKeyId"] == CRED_MAX["accessKeyId"]][0]
        self.assertEqual(long_upload["securityToken"], CRED_MAX["securityToken"])
        self.assertGreaterEqual(drv.count_text("update credential success"), 2)
        self.assertEqual(drv.count_text("upload to zeb failed"), 0)
        self.finish()


class CredentialFaultTest(ManagerCase):
    FAULTS = [
        ({"mode": "code"}, "FAIL", "get credential failed!response code:500"),
        ({"mode": "code", "code": -1}, "FAIL", "get credential failed!response code:4294967295"),
        ({"mode": "text"}, "ERROR", "Get json root failed: not json"),
        ({"mode": "wrong-type", "field": "code"}, "ERROR",
         "[Json Parse] Get code type error, should be cJSON_Number."),
        ({"mode": "wrong-type", "field": "data"}, "ERROR",
         "[Json Parse] Get data type error, should be cJSON_Object."),
        ({"mode": "wrong-type", "field": "securityToken"}, "ERROR",
         "[Json Parse] Get securityToken type error, should be cJSON_String."),
        ({"mode": "wrong-type", "field": "accessKeyId"}, "ERROR",
         "[Json Parse] Get accessKeyId type error, should be cJSON_String."),
        ({"mode": "wrong-type", "field": "accessKeySecret"}, "ERROR",
         "[Json Parse] Get accessKeySecret type error, should be cJSON_String."),
        ({"mode": "wrong-type", "field": "durationSeconds"}, "ERROR",
         "[Json Parse] Get durationSeconds type error, should be cJSON_Number."),
        ({"mode": "missing", "field": "durationSeconds"}, "ERROR",
         "[Json Parse] Get durationSeconds failed!"),
        ({"mode": "missing", "field": "code"}, "ERROR", "[Json Parse] Get code failed!"),
        ({"mode": "missing", "field": "accessKeySecret"}, "ERROR",
         "[Json Parse] Get accessKeySecret failed!"),
        ({"mode": "too-long", "field": "securityToken"}, "ERROR",
         "[Json Parse] securityToken is too long > 575."),
        ({"mode": "too-long", "field": "accessKeyId"}, "ERROR",
         "[Json Parse] accessKeyId is too long > 127."),
        ({"mode": "too-long", "field": "accessKeySecret"}, "ERROR",
         "[Json Parse] accessKeySecret is too long > 127."),
        ({"mode": "slow", "delay_ms": 3500}, "FAIL", "DBus error:"),
    ]

    def test_every_fault_keeps_the_previous_credential(self):
        self.start_peers(credentials=(CRED_A, CRED_B))
        drv = self.start_driver()
        self.assertEqual(drv.command("credential")["rc"], -1)  # nothing stored yet
        self.assertEqual(drv.rc("refresh"), 0)
        stored = drv.command("credential")
        self.assertEqual((stored["accessKeyId"], stored["securityToken"]),
                         (CRED_A["accessKeyId"], CRED_A["securityToken"]))
        self.assertAlmostEqual(stored["expireTimeMs"] - stored["nowMs"], 3600000, delta=5000)
        keep = {k: stored[k] for k in ("accessKeyId", "accessKeySecret", "securityToken",
                                       "expireTimeMs")}
        for control, level, text in self.FAULTS:
            with self.subTest(control=control):
                self.cred.set_control(control)
                before = drv.count_text(text)
                self.assertEqual(drv.rc("refresh"), -1)
                self.assertEqual(drv.count_text(text), before + 1)
                self.assertIn(" %s " % level, drv.log_line(text))
                now = drv.command("credential")
                self.assertEqual({k: now[k] for k in keep}, keep)

        # A service that has left the bus.
        self.cred.set_control({"mode": "absent"})
        self.cred.wait_for("name-released")
        self.assertEqual(drv.rc("refresh"), -1)
        self.assertIn("iot.gateway.credential", drv.log_line("DBus error:"))
        self.assertEqual({k: drv.command("credential")[k] for k in keep}, keep)
        self.cred.set_control({})
        self.cred.wait_for("name-acquired")
        self.assertEqual(drv.rc("refresh"), 0)
        now = drv.command("credential")
        self.assertEqual(now["accessKeyId"], self.cred.calls()[-1]["accessKeyId"])
        self.assertGreater(now["expireTimeMs"], keep["expireTimeMs"])

        # The longest fields the record holds are taken.
        for field, length in (("securityToken", 575), ("accessKeyId", 127),
                              ("accessKeySecret", 127)):
            self.cred.set_control({"mode": "too-long", "field": field, "length": length})
            self.assertEqual(drv.rc("refresh"), 0)
            self.assertEqual(drv.command("credential")[field], "x" * length)
        self.finish()


class CloudFaultTest(ManagerCase):
    def test_failed_upload_loses_only_its_period(self):
        self.start_peers()
        drv = self.start_driver()
        self.make_ready()
        drv.wait_period()
        self.cloud.set_control({"upload": {"status": 500, "times": 1}})
        self.assertEqual(drv.post("svc", [("m", 1, "accumulate")])["code"], 0)
        drv.wait_for_log("upload to zeb failed", timeout=PERIOD_MS / 1000.0 + 3)
        self.assertEqual([e["status"] for e in self.actions("upload")], [500])
        drv.wait_period()
        self.assertEqual(drv.post("svc", [("m", 2, "accumulate")])["code"], 0)
        records = self.wait_records(1)
        self.assertEqual(json.loads(records[0]["body"])[0]["value"], 2)
        self.finish()

    def test_stalled_upload_times_out_and_the_next_period_uploads(self):
        self.start_peers()
        drv = self.start_driver()
        self.make_ready()
        drv.wait_period()
        # Only the first request stalls past the 10 s time-out.
        self.cloud.set_control({"upload": {"delay": 12, "apply": False, "times": 1}})
        self.assertEqual(drv.post("svc", [("a", 1, "update"), ("b", 1, "update")])["code"], 0)
        drv.wait_for_log("upload to zeb failed", timeout=PERIOD_MS / 1000.0 + 14)
        self.assertIn("curl_easy_perform() failed", drv.log_text())
        self.assertEqual(len(self.wait_records(1)), 1)  # the other metric of that period
        drv.wait_period()
        self.assertEqual(drv.post("svc", [("c", 3, "update")])["code"], 0)
        records = self.wait_records(2)
        self.assertEqual(json.loads(records[1]["body"])[0]["metricName"], "c")
        self.assertEqual(drv.count_text("upload to zeb failed"), 1)
        self.finish()

    def test_shutdown_waits_for_the_upload_in_flight(self):
        self.start_peers()
        drv = self.start_driver()
        self.make_ready()
        drv.wait_period()
        self.cloud.set_control({"upload": {"delay": 3, "times": 1}})
        self.assertEqual(drv.post("svc", [("a", 1, "update"), ("b", 2, "update"),
                                          ("c", 3, "update")])["code"], 0)
        arrived = self.cloud.wait_event("fault", timeout=PERIOD_MS / 1000.0 + 3)
        # Neither a credential update nor disable waits for the request in flight.
        self.assertEqual(drv.rc("refresh"), 0)
        self.assertEqual(drv.rc("disable"), 0)
        self.assertLess(time.time(), arrived["time"] + 3)
        done = drv.command("deinit", timeout=20)
        # The in-flight request was answered (3 s after it arrived) before deinit returned;
        # the rest of that period was dropped.
        self.assertGreaterEqual(done["endMs"] / 1000.0, arrived["time"] + 3)
        self.assertEqual(len(self.actions("upload")), 1)
        self.assertEqual(len(self.cloud.records()), 1)
        self.finish()


if __name__ == "__main__":
    unittest.main(verbosity=2)
