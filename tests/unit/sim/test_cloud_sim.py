#!/usr/bin/python3
"""Checks of the cloud stand-in itself, driven by the reference client over loopback."""

import base64
import json
import os
import shutil
import ssl
import sys
import tempfile
import time
import unittest

SOURCE = os.environ.get("SM_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "sim", "cloud"))
sys.path.insert(0, os.path.dirname(os.path.abspath(__file__)))

from cloud_harness import CloudStandIn, make_ca  # noqa: E402
from cloud_ref_client import RefClient, gmt_date  # noqa: E402

CREDS = [{"accessKeyId": "AKPLAIN", "accessKeySecret": "plain-secret"},
         {"accessKeyId": "AKTOKEN", "accessKeySecret": "token-secret",
          "securityToken": "tok/en+==" + "x" * 500}]
BODY = (b'[{"productCode":"NODE_HUB","metricName":"cpu","groupId":"1000001",'
        b'"instanceId":"i-1","dimensions":{"region":"cn-hangzhou","serviceName":"svc",'
        b'"functionName":""},"value":1.5,"ts":1700000000000}]')


def setUpModule():
    global WORK, CLOUD
    WORK = tempfile.mkdtemp(prefix="cloud-sim-test-")
    CLOUD = CloudStandIn(os.path.join(WORK, "cloud"), CREDS, https_port=0, http_port=0)
    CLOUD.start()


def tearDownModule():
    CLOUD.stop()
    shutil.rmtree(WORK, ignore_errors=True)


def client(index=0, **kw):
    c = CREDS[index]
    return RefClient(CLOUD.ports["https"], os.path.join(CLOUD.ca_dir, "ca.pem"),
                     c["accessKeyId"], kw.pop("secret", c["accessKeySecret"]),
                     kw.pop("token", c.get("securityToken", "")),
                     http_port=CLOUD.ports["http"], **kw)


def last_event():
    return CLOUD.events()[-1]


class StandInCase(unittest.TestCase):
    def setUp(self):
        CLOUD.set_control({})
        CLOUD.set_credentials(CREDS)

    def assertRefused(self, result, status, reason_part):
        self.assertEqual(result[0], status, result[1])
        event = last_event()
        self.assertEqual(event["kind"], "refused")
        self.assertIn(reason_part, event["reason"])
        self.assertEqual(json.loads(result[1])["Code"], status)


class UploadTest(StandInCase):
    def test_good_uploads_are_recorded_byte_for_byte(self):
        before = len(CLOUD.records())
        self.assertEqual(client(0).upload(BODY)[0], 200)
        self.assertEqual(client(1).upload(BODY)[0], 200)
        self.assertEqual(client(0).upload(BODY, tls=False)[0], 200)
        records = CLOUD.records()[before:]
        self.assertEqual([r["listener"] for r in records], ["https", "https", "http"])
        self.assertEqual([r["securityToken"] for r in records],
                         ["", CREDS[1]["securityToken"], ""])
        self.assertTrue(all(base64.b64decode(r["bodyBase64"]) == BODY for r in records))
        names = [h[0].lower() for h in records[1]["headers"]]
        self.assertIn("x-zeb-security-token", names)

    def test_bad_uploads_are_refused_with_the_reason(self):
        c = client(0)
        self.assertRefused(c.upload(BODY, secret="wrong"), 403, "signature mismatch")
        self.assertRefused(c.upload(BODY, md5="0" * 32), 400, "Content-MD5")
        lower = c.upload_headers(BODY)
        lower = [(n, v.lower() if n == "Content-MD5" else v) for n, v in lower]
        self.assertRefused(c.upload(BODY, headers=lower), 400, "Content-MD5")
        self.assertRefused(c.upload(BODY, date=gmt_date(time.time() - 3600)), 403, "Date")
        self.assertRefused(c.upload(BODY, date="2024-01-01 00:00:00"), 400, "Date")
        self.assertRefused(c.upload(BODY, path="/metric/other"), 404, "path")
        self.assertRefused(c.upload(b"not json"), 400, "not JSON")
        wrong_type = [(n, "text/plain" if n == "Content-Type" else v)
                      for n, v in c.upload_headers(BODY)]
        self.assertRefused(c.upload(BODY, headers=wrong_type), 400, "Content-Type")

    def test_token_must_match_the_credential(self):
        self.assertRefused(client(1, token="").upload(BODY), 403, "token")
        self.assertRefused(client(1, token="other").upload(BODY), 403, "token")
        self.assertRefused(client(0, token="surplus").upload(BODY), 403, "token")

    def test_credentials_file_is_read_again_when_it_changes(self):
        self.assertEqual(client(0).upload(BODY)[0], 200)
        CLOUD.set_credentials(CREDS[1:])
        self.assertRefused(client(0).upload(BODY), 403, "unknown access key id")
        CLOUD.set_credentials([dict(CREDS[0], expireTimeMs=1000)])
        self.assertRefused(client(0).upload(BODY), 403, "expired")

    def test_upload_faults(self):
        before = len(CLOUD.records())
        CLOUD.set_control({"upload": {"status": 201, "times": 1}})
        self.assertEqual(client(0).upload(BODY)[0], 201)
        self.assertEqual(client(0).upload(BODY)[0], 200)
        self.assertEqual(len(CLOUD.records()), before + 1)
        self.assertEqual(CLOUD.events()[-2]["kind"], "fault")


class ManagementTest(StandInCase):
    def test_group_and_instance_lifecycle(self):
        c = client(1)
        status, body = c.rpc("CreateMonitorGroup", {"GroupName": "pxr::service-monitor"})
        self.assertEqual(status, 200, body)
        gid = json.loads(body)["GroupId"]
        self.assertIsInstance(gid, int)
        c.rpc("CreateMonitorGroup", {"GroupName": "PXR::service-monitor-old"})
        listed = json.loads(c.rpc("DescribeMonitorGroups",
                                  {"GroupName": "pxr::service-monitor"})[1])
        names = [r["GroupName"] for r in listed["Resources"]["Resource"]]
        self.assertIn("pxr::service-monitor", names)
        self.assertIn("PXR::service-monitor-old", names)
        self.assertEqual(c.rpc("CreateMonitorGroup",
                               {"GroupName": "pxr::service-monitor"})[0], 409)
        add = {"GroupId": str(gid), "Instances.1.InstanceId": "a:b/c-ID",
               "Instances.1.InstanceName": "a:b/c-NAME", "Instances.1.Category": "K8S_POD",
               "Instances.1.RegionId": "cn-hangzhou"}
        self.assertEqual(c.rpc("CreateMonitorGroupInstances", add)[0], 200)
        found = json.loads(c.rpc("DescribeMonitorGroupInstances",
                                 {"GroupId": str(gid), "InstanceIds": "a:b/c-ID"})[1])
        self.assertEqual(found["Resources"]["Resource"][0]["InstanceName"], "a:b/c-NAME")
        self.assertEqual(c.rpc("DeleteMonitorGroupInstances",
                               {"GroupId": str(gid), "InstanceIdList": "a:b/c-ID",
                                "Category": "K8S_POD"})[0], 200)
        found = json.loads(c.rpc("DescribeMonitorGroupInstances",
                                 {"GroupId": str(gid), "InstanceIds": "a:b/c-ID"})[1])
        self.assertEqual(found["Resources"]["Resource"], [])
        self.assertEqual(c.rpc("DeleteMonitorGroup", {"GroupId": str(gid)})[0], 200)
        self.assertEqual(c.rpc("DeleteMonitorGroup", {"GroupId": str(gid)})[0], 404)
        self.assertEqual(c.rpc("DescribeMonitorGroupInstances", {"GroupId": "x1"})[0], 400)
        self.assertEqual(c.rpc("NoSuchAction")[0], 400)

    def test_bad_calls_are_refused_with_the_reason(self):
        c = client(0)
        self.assertRefused(c.rpc("DescribeMonitorGroups", secret="wrong"), 403,
                           "signature mismatch")
        stale = time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime(time.time() - 3600))
        self.assertRefused(c.rpc("DescribeMonitorGroups", timestamp=stale), 403, "Timestamp")
        self.assertRefused(c.rpc("DescribeMonitorGroups", signature_nonce="1234"), 400,
                           "SignatureNonce")
        url = c.rpc_url("DescribeMonitorGroups", {})
        self.assertEqual(c.get(url)[0], 200)
        self.assertRefused(c.get(url), 403, "used before")
        raw = c.rpc_url("DescribeMonitorGroups", {}, encode_values=False)
        self.assertRefused(c.get(raw), 400, "percent-encoded")
        self.assertRefused(client(1, token="").rpc("DescribeMonitorGroups"), 403, "token")

    def test_faults_change_the_reply(self):
        c = client(0)
        gid = json.loads(c.rpc("CreateMonitorGroup", {"GroupName": "faults"})[1])["GroupId"]
        CLOUD.set_control({"actions": {"DescribeMonitorGroups": {"groupIdAsString": True},
                                       "CreateMonitorGroup": {"status": 400, "apply": False},
                                       "*": {"code": "403"}}})
        listed = json.loads(c.rpc("DescribeMonitorGroups", {"GroupName": "faults"})[1])
        self.assertEqual(listed["Resources"]["Resource"][0]["GroupId"], str(gid))
        status, body = c.rpc("CreateMonitorGroup", {"GroupName": "never"})
        self.assertEqual((status, json.loads(body)["Code"]), (400, 200))
        self.assertNotIn("never", [g["GroupName"] for g in CLOUD.state()["groups"]])
        self.assertEqual(json.loads(c.rpc("DeleteMonitorGroup",
                                          {"GroupId": str(gid)})[1])["Code"], "403")
        CLOUD.set_control({"actions": {"*": {"body": "<html>", "delay": 1.5}}})
        with self.assertRaises(TimeoutError):
            c.get(c.rpc_url("DescribeMonitorGroups", {}), timeout=0.5)
        self.assertEqual(c.rpc("DescribeMonitorGroups"), (200, b"<html>"))


class LifecycleTest(unittest.TestCase):
    def test_state_survives_a_restart(self):
        c = client(0)
        CLOUD.set_control({})
        gid = json.loads(c.rpc("CreateMonitorGroup", {"GroupName": "kept"})[1])["GroupId"]
        CLOUD.stop()
        CLOUD.start()
        c = client(0)
        listed = json.loads(c.rpc("DescribeMonitorGroups", {"GroupName": "kept"})[1])
        self.assertEqual(listed["Resources"]["Resource"],
                         [{"GroupName": "kept", "GroupId": gid}])

    def test_client_of_another_ca_fails_verification(self):
        other = make_ca(os.path.join(WORK, "other-ca"))
        c = client(0)
        c.cafile = os.path.join(other, "ca.pem")
        with self.assertRaises(ssl.SSLCertVerificationError):
            c.rpc("DescribeMonitorGroups")
        self.assertIn("unknown ca", CLOUD.wait_event("tls-error")["reason"])


if __name__ == "__main__":
    unittest.main(verbosity=2)
