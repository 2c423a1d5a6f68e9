#!/usr/bin/python3
"""The cloud stand-in must refuse what the real service refuses, or a wrongly signed request
of the daemon would pass the end-to-end tests unseen. Its signature checks are held here
against a signer written out independently from the daemon's."""

import base64
import hashlib
import hmac
import http.client
import os
import shutil
import ssl
import sys
import tempfile
import time
import unittest
import uuid

SOURCE = os.environ.get("SM_SOURCE_DIR") or os.path.abspath(
    os.path.join(os.path.dirname(__file__), "..", "..", ".."))
sys.path.insert(0, os.path.join(SOURCE, "sim", "cloud"))

from cloud_harness import CloudStandIn  # noqa: E402

UPLOAD_PATH = "/metric/product/tessar/user"
CREDS = [{"accessKeyId": "AKPLAIN", "accessKeySecret": "plain-secret"},
         {"accessKeyId": "AKTOKEN", "accessKeySecret": "token-secret",
          "securityToken": "tok/en+==" + "x" * 500}]
BODY = (b'[{"productCode":"NODE_HUB","metricName":"cpu","groupId":"1000001",'
        b'"instanceId":"i-1","dimensions":{"region":"cn-hangzhou","serviceName":"svc",'
        b'"functionName":""},"value":1.5,"ts":1700000000000}]')


def enc(text):
    return "".join(chr(b) if chr(b).isascii() and (chr(b).isalnum() or chr(b) in "-_.~")
                   else "%%%02X" % b for b in text.encode("utf-8"))


def hmac_sha1(secret, text):
    return hmac.new(secret.encode(), text.encode(), hashlib.sha1)


def sorted_query(params):
    return "&".join(k + "=" + enc(params[k]) for k in sorted(params, key=str.encode))


class SignatureCheckTest(unittest.TestCase):
    @classmethod
    def setUpClass(cls):
        cls.work = tempfile.mkdtemp(prefix="cloud-sim-test-")
        cls.cloud = CloudStandIn(os.path.join(cls.work, "cloud"), CREDS, https_port=0,
                                 http_port=0)
        cls.cloud.start()

    @classmethod
    def tearDownClass(cls):
        cls.cloud.stop()
        shutil.rmtree(cls.work, ignore_errors=True)

    def send(self, method, path, headers, body=None):
        ctx = ssl.create_default_context(cafile=os.path.join(self.cloud.ca_dir, "ca.pem"))
        conn = http.client.HTTPSConnection("127.0.0.1", self.cloud.ports["https"], context=ctx,
                                           timeout=10)
        try:
            conn.putrequest(method, path, skip_host=True, skip_accept_encoding=True)
            for name, value in headers:
                conn.putheader(name, value)
            if body is not None:
                conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            return conn.getresponse().status
        finally:
            conn.close()

    def upload(self, cred, secret=None, token=None):
        token = cred.get("securityToken", "") if token is None else token
        md5 = hashlib.md5(BODY).hexdigest().upper()
        date = time.strftime("%a, %d %b %Y %H:%M:%S GMT", time.gmtime())
        zeb = sorted([("x-zeb-api-version", "1.0"), ("x-zeb-ip", "127.0.0.1"),
                      ("x-zeb-signature", "hmac-sha1")] +
                     ([("x-zeb-caller-type", "token"), ("x-zeb-security-token", token)]
                      if token else []))
        sts = "\n".join(["POST", md5, "application/json", date] +
                        [n + ":" + v for n, v in zeb] + [UPLOAD_PATH])
        sig = hmac_sha1(secret or cred["accessKeySecret"], sts).hexdigest().upper()
        headers = zeb + [("Host", "metrics.cloud.example"), ("Content-Type", "application/json"),
                         ("Date", date), ("Content-MD5", md5),
                         ("Authorization", cred["accessKeyId"] + ":" + sig)]
        return self.send("POST", UPLOAD_PATH, headers, BODY)

    def rpc(self, cred, secret=None):
        p = {"Action": "DescribeMonitorGroups", "AccessKeyId": cred["accessKeyId"],
             "Format": "JSON", "RegionId": "cn-hangzhou", "SignatureMethod": "HMAC-SHA1",
             "SignatureNonce": str(uuid.uuid4()),
             "SignatureVersion": "1.0", "Version": "2019-01-01", "SignatureType": "",
             "Timestamp": time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
             "SecurityToken": cred.get("securityToken", "")}
        digest = hmac_sha1((secret or cred["accessKeySecret"]) + "&",
                           "GET&" + enc("/") + "&" + enc(sorted_query(p))).digest()
        p["Signature"] = base64.b64encode(digest).decode()
        return self.send("GET", "/?" + sorted_query(p), [("Host", "monitor-api.cloud.example")])

    def test_uploads_need_the_right_signature_and_token(self):
        self.assertEqual(self.upload(CREDS[0]), 200)
        self.assertEqual(self.upload(CREDS[1]), 200)
        self.assertEqual(self.upload(CREDS[0], secret="wrong"), 403)
        self.assertEqual(self.upload(CREDS[1], token="other"), 403)
        self.assertEqual(self.upload(CREDS[0], token="surplus"), 403)

    def test_management_calls_need_the_right_signature(self):
        self.assertEqual(self.rpc(CREDS[0]), 200)
        self.assertEqual(self.rpc(CREDS[1]), 200)
        self.assertEqual(self.rpc(CREDS[0], secret="wrong"), 403)


if __name__ == "__main__":
    unittest.main(verbosity=2)
