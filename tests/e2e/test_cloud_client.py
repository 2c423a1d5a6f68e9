#!/usr/bin/python3
"""The gateway's cloud client against the cloud stand-in, over real TLS in the sandbox.

The client is driven by cloud_client_driver, installed where the daemon lives so that it
finds its CA bundle at /harbex/gateway/build/config/service-monitor/cacert.pem.
"""

import base64
import collections
import json
import os
import shutil
import subprocess
import sys
import tempfile
import unittest

sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))
import harness  # noqa: E402

harness.ensure_sandbox()
sys.path.insert(0, os.path.join(harness.source_dir(), "sim", "cloud"))
from cloud_harness import CloudStandIn, make_ca  # noqa: E402

BASE = "/harbex/gateway/build"
DRIVER = os.path.join(BASE, "bin", "cloud_client_driver")
CA_PATH = os.path.join(BASE, "config", "service-monitor", "cacert.pem")
UPLOAD_URL = "https://metrics.cloud.example/metric/product/tessar/user"
CREDS = {
    "plain": {"accessKeyId": "LTAIplainKey", "accessKeySecret": "plain/Secret+=="},
    "token": {"accessKeyId": "STS.tokenKey", "accessKeySecret": "token-secret",
              "securityToken": "CAIS" + "t0k/en+=" * 71 + "abc"},  # 575 characters
    # As long as the client's fields hold (127, 127, 575 characters).
    "full": {"accessKeyId": "K" * 127, "accessKeySecret": "S" * 127,
             "securityToken": "T" * 575},
}
# Given to the client longer than its fields: it cuts them to the lengths above.
CREDS["overlong"] = {k: v + "-cut" for k, v in CREDS["full"].items()}
Result = collections.namedtuple("Result", "result out log")


def metric_body(name="cpu_usage", value=12.5):
    record = [{"productCode": "NODE_HUB", "metricName": name, "groupId": "1000001",
               "instanceId": "pxr:service-monitor::acc:pk/dev-ID",
               "dimensions": {"region": "cn-hangzhou", "serviceName": "svc",
                              "functionName": "fn"}, "value": value, "ts": 1700000000123}]
    return json.dumps(record, separators=(",", ":"), ensure_ascii=False)


def built_driver():
    driver = os.path.join(harness.build_dir(), "sim", "cloud", "cloud_client_driver")
    if not os.access(driver, os.X_OK):
        print("SKIP: cloud_client_driver not built: " + driver, file=sys.stderr)
        sys.exit(harness.SKIP)
    return driver


def setUpModule():
    global WORK, CLOUD
    driver = built_driver()
    WORK = tempfile.mkdtemp(prefix="cloud-client-")
    CLOUD = CloudStandIn(os.path.join(WORK, "cloud"),
                         [v for k, v in CREDS.items() if k != "overlong"])
    CLOUD.start()
    os.makedirs(os.path.dirname(DRIVER), exist_ok=True)
    shutil.copy(driver, DRIVER)
    CLOUD.install_ca(BASE)


def tearDownModule():
    CLOUD.stop()


def drive(*args, creds="plain", timeout=None, pre=False):
    cred = CREDS[creds]
    env = dict(os.environ, CLOUD_ACCESS_KEY_ID=cred["accessKeyId"],
               CLOUD_ACCESS_KEY_SECRET=cred["accessKeySecret"],
               CLOUD_SECURITY_TOKEN=cred.get("securityToken", ""))
    argv = [DRIVER] + (["--pre"] if pre else [])
    argv += ["--timeout", str(timeout)] if timeout else []
    proc = subprocess.run(argv + [str(a) for a in args], capture_output=True, env=env,
                          timeout=60)
    out, log = proc.stdout.decode("utf-8", "replace"), proc.stderr.decode("utf-8", "replace")
    if proc.returncode != 0 or not out.startswith("result="):
        raise AssertionError("driver %s failed (%d):\n%s%s" % (args, proc.returncode, out, log))
    result, _, text = out[len("result="):].rstrip("\n").partition(" out=")
    return Result(int(result), text, log)


class CloudCase(unittest.TestCase):
    def setUp(self):
        CLOUD.set_control({})

    def expect(self, res, result, out=None, log=(), event=None):
        """Checks the call's result, output and log lines, and how the stand-in saw the
        last request (so that a failure cannot come from an unintended refusal)."""
        events = CLOUD.events()
        detail = "%s\n--- client log ---\n%s\n--- stand-in ---\n%s" % (
            res.result, res.log, "\n".join(json.dumps(e) for e in events[-4:]))
        self.assertEqual(res.result, result, detail)
        if out is not None:
            self.assertEqual(res.out, out, detail)
        for line in [log] if isinstance(log, str) else log:
            self.assertIn(line, res.log, detail)
        if event is not None:
            self.assertEqual(events[-1]["kind"], event, detail)


class UploadTest(CloudCase):
    def test_accepted_uploads_arrive_byte_for_byte(self):
        for creds, pre, listener, name in (
                ("plain", False, "https", "température"), ("token", False, "https", "t"),
                ("token", True, "http", "pre"), ("overlong", False, "https", "m" * 3000)):
            body = metric_body(name, 3)
            before = len(CLOUD.records())
            self.expect(drive("post", body, creds=creds, pre=pre), 0)
            records = CLOUD.records()[before:]
            self.assertEqual(len(records), 1)
            rec = records[0]
            self.assertEqual(base64.b64decode(rec["bodyBase64"]), body.encode())
            self.assertEqual(rec["listener"], listener)
            self.assertEqual(rec["securityToken"],
                             CREDS[creds].get("securityToken", "")[:575])
            headers = dict((k.lower(), v) for k, v in rec["headers"])
            self.assertEqual(headers["user-agent"], "zeb-java-sdk-v-1.0")
            self.assertEqual("x-zeb-caller-type" in headers, creds != "plain")

    def test_non_200_answers_and_refusals_fail_the_upload(self):
        before = len(CLOUD.records())
        for status in (201, 400):
            CLOUD.set_control({"upload": {"status": status}})
            self.expect(drive("post", metric_body()), -1, event="fault",
                        log=["POST %s status:-1!req:%s" % (UPLOAD_URL, metric_body()),
                             "post metric data failed"])
        CLOUD.set_control({})
        wrong = dict(CREDS["plain"], accessKeySecret="other")
        CREDS["wrong"] = wrong
        try:
            self.expect(drive("post", metric_body(), creds="wrong"), -1)
        finally:
            del CREDS["wrong"]
        self.assertIn("signature mismatch", CLOUD.events()[-1]["reason"])
        CLOUD.set_control({"upload": {"delay": 2.5, "apply": False}})
        self.expect(drive("post", metric_body(), timeout=1), -1, event="fault",
                    log="curl_easy_perform() failed")
        self.assertEqual(len(CLOUD.records()), before)


class GroupTest(CloudCase):
    def test_group_lookup_picks_the_exact_name(self):
        for name in ("PXR::lookup", "pxr::lookup-old", "pxr::lookup"):
            self.expect(drive("create-group", name, 64), 0)
        want = [g["GroupId"] for g in CLOUD.state()["groups"] if g["GroupName"] == "pxr::lookup"]
        self.expect(drive("get-group", "pxr::lookup", 64, creds="token"), 0, str(want[0]))
        self.expect(drive("get-group", "pxr::lookup", 4), 0, str(want[0])[:3])
        self.expect(drive("get-group", "pxr::LOOKUP", 64), -1, "UNTOUCHED", event="accepted")
        self.expect(drive("create-group", "pxr::lookup", 64), -1, "UNTOUCHED",
                    event="accepted")

    def test_instance_lifecycle(self):
        gid = drive("create-group", "pxr::instances", 64, creds="token").out
        long_name = "pxr:service-monitor::acc:pk/" + "n" * 200
        iid = "pxr:service-monitor::acc:pk/dev-ID"
        self.expect(drive("get-instance", gid, iid, 128), -1, "UNTOUCHED", event="accepted",
                    log="json object(InstanceName) is invalid")
        self.expect(drive("add-instance", gid, iid, long_name, "K8S_POD", creds="token"), 0)
        self.expect(drive("get-instance", gid, iid, 128), 0, long_name[:127])
        self.expect(drive("delete-instance", gid, iid, "K8S_POD"), 0)
        self.expect(drive("get-instance", gid, iid, 128), -1, "UNTOUCHED", event="accepted")
        self.expect(drive("delete-group", gid), 0)
        self.expect(drive("delete-group", gid), -1, event="accepted")
        self.expect(drive("add-instance", gid, iid, "x", "K8S_POD"), -1, event="accepted")

    def test_management_get_passes_the_http_status_up(self):
        self.expect(drive("get", "https://monitor-api.cloud.example/?Action=x"), 400)


# (driver call, action, fault-free result) of every monitor-group call.
def group_calls(gid):
    iid = "pxr:service-monitor::acc:pk/faults-ID"
    return [
        (("get-group", "pxr::faults", 64), "DescribeMonitorGroups", gid),
        (("create-group", "pxr::faults-new", 64), "CreateMonitorGroup", None),
        (("delete-group", gid), "DeleteMonitorGroup", ""),
        (("add-instance", gid, iid, "faults-NAME", "K8S_POD"), "CreateMonitorGroupInstances",
         ""),
        (("delete-instance", gid, iid, "K8S_POD"), "DeleteMonitorGroupInstances", ""),
        (("get-instance", gid, iid, 128), "DescribeMonitorGroupInstances", "faults-NAME"),
    ]


class GroupFaultTest(CloudCase):
    FAULTS = {"http 400 with code 200": {"status": 400},
              "code 403": {"code": 403},
              "code as a string": {"code": "200"},
              "no code": {"code": None},
              "not json": {"body": "<html>busy</html>"},
              "past the time-out": {"delay": 2.5}}

    def test_every_call_fails_on_every_fault(self):
        gid = drive("create-group", "pxr::faults", 64).out
        iid = group_calls(gid)[3][0][2]
        self.expect(drive("add-instance", gid, iid, "faults-NAME", "K8S_POD"), 0)
        for args, action, _ in group_calls(gid):
            for label, fault in self.FAULTS.items():
                # Nothing changes on the service, so every call can be repeated.
                CLOUD.set_control({"actions": {action: dict(fault, apply=False)}
                                   if action.startswith(("Create", "Delete")) else
                                   {action: fault}})
                with self.subTest(action=action, fault=label):
                    self.expect(drive(*args, timeout=1 if "delay" in fault else None), -1,
                                "UNTOUCHED" if len(args) in (3, 4) and
                                args[0].startswith(("get", "create")) else None,
                                event="fault")
        CLOUD.set_control({})
        for args, action, good in group_calls(gid)[:1] + group_calls(gid)[5:]:
            self.expect(drive(*args), 0, good)

    def test_group_id_as_a_string_is_refused(self):
        gid = drive("create-group", "pxr::string-id", 64).out
        CLOUD.set_control({"actions": {"*": {"groupIdAsString": True}}})
        self.expect(drive("get-group", "pxr::string-id", 64), -1, "UNTOUCHED", event="fault",
                    log="parse groupID failed")
        self.expect(drive("create-group", "pxr::string-id-2", 64), -1, "UNTOUCHED",
                    event="fault", log="GroupId is valid")
        CLOUD.set_control({"actions": {"CreateMonitorGroup": {"code": None}}})
        self.expect(drive("create-group", "pxr::string-id-3", 64), -1, event="fault",
                    log="code is valid")
        CLOUD.set_control({"actions": {"DescribeMonitorGroups": {
            "reply": {"Code": 200, "Resources": {"Resource": []}}}}})
        self.expect(drive("get-group", "pxr::string-id", 64), -1, "UNTOUCHED", event="fault")
        CLOUD.set_control({})
        self.expect(drive("get-group", "pxr::string-id", 64), 0, gid)


class CertificateTest(CloudCase):
    def test_server_of_another_ca_is_refused(self):
        other = make_ca(os.path.join(WORK, "other-ca"))
        shutil.copyfile(os.path.join(other, "ca.pem"), CA_PATH)
        try:
            before = len(CLOUD.records())
            self.expect(drive("post", metric_body()), -1, log="curl_easy_perform() failed")
            self.expect(drive("get-group", "pxr::any", 64), -1, "UNTOUCHED",
                        log="curl_easy_perform() failed")
            self.assertEqual(len(CLOUD.records()), before)
            CLOUD.wait_event("tls-error")
            os.unlink(CA_PATH)
            self.expect(drive("post", metric_body()), -1,
                        log="ca file doesn't exist, maybe fail in use")
        finally:
            CLOUD.install_ca(BASE)
        self.expect(drive("post", metric_body()), 0)


if __name__ == "__main__":
    unittest.main(verbosity=2)
