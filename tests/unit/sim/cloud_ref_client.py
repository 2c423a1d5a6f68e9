"""A reference client of the cloud service, written out step by step, for checking the
stand-in without the gateway's own client. Each call returns (status, body bytes)."""

import base64
import hashlib
import hmac
import http.client
import random
import ssl
import time

UPLOAD_PATH = "/metric/product/tessar/user"


def gmt_date(when=None):
    t = time.gmtime(time.time() if when is None else when)
    days = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"][t.tm_wday]
    months = ["Jan", "Feb", "Mar", "Apr", "May", "Jun", "Jul", "Aug", "Sep", "Oct", "Nov",
              "Dec"][t.tm_mon - 1]
    return "%s, %02d %s %04d %02d:%02d:%02d GMT" % (days, t.tm_mday, months, t.tm_year,
                                                    t.tm_hour, t.tm_min, t.tm_sec)


def nonce():
    b = [random.randrange(256) for _ in range(16)]
    h = "".join("%02x" % x for x in b)
    return "%s-%s-4%s-%s%s-%s" % (h[0:8], h[8:12], h[13:16], "89ab"[b[8] % 4], h[17:20],
                                 h[20:32])


def enc(text):
    out = []
    for byte in text.encode("utf-8"):
        c = chr(byte)
        if c.isascii() and (c.isalnum() or c in "-_.~"):
            out.append(c)
        else:
            out.append("%%%02X" % byte)
    return "".join(out)


class RefClient:
    def __init__(self, port, cafile, access_key_id, secret, token="", http_port=None,
                 api_host="monitor-api.cloud.example", upload_host="metrics.cloud.example",
                 pre_host="metrics-pre.cloud.example"):
        self.port, self.http_port, self.cafile = port, http_port, cafile
        self.ak, self.sk, self.token = access_key_id, secret, token
        self.api_host, self.upload_host, self.pre_host = api_host, upload_host, pre_host

    def _conn(self, tls=True, timeout=10):
        if not tls:
            return http.client.HTTPConnection("127.0.0.1", self.http_port, timeout=timeout)
        ctx = ssl.create_default_context(cafile=self.cafile)
        return http.client.HTTPSConnection("127.0.0.1", self.port, context=ctx,
                                           timeout=timeout)

    def upload_headers(self, body, date=None, md5=None, secret=None, path=UPLOAD_PATH):
        md5 = md5 or hashlib.md5(body).hexdigest().upper()
        date = date or gmt_date()
        sts = "POST\n" + md5 + "\n" + "application/json\n" + date + "\n"
        sts += "x-zeb-api-version:1.0\n"
        if self.token:
            sts += "x-zeb-caller-type:token\nx-zeb-ip:127.0.0.1\n"
            sts += "x-zeb-security-token:" + self.token + "\n"
        else:
            sts += "x-zeb-ip:127.0.0.1\n"
        sts += "x-zeb-signature:hmac-sha1\n" + path
        sig = hmac.new((secret or self.sk).encode(), sts.encode(), hashlib.sha1)
        headers = [("x-zeb-api-version", "1.0"), ("x-zeb-ip", "127.0.0.1"),
                   ("x-zeb-signature", "hmac-sha1")]
        if self.token:
            headers += [("x-zeb-caller-type", "token"), ("x-zeb-security-token", self.token)]
        headers += [("Host", self.upload_host), ("User-Agent", "zeb-java-sdk-v-1.0"),
                    ("Content-Type", "application/json"), ("Date", date),
                    ("Content-MD5", md5),
                    ("Authorization", self.ak + ":" + sig.hexdigest().upper())]
        return headers

    def upload(self, body, tls=True, headers=None, path=UPLOAD_PATH, **kw):
        headers = headers or self.upload_headers(body, path=path, **kw)
        conn = self._conn(tls)
        try:
            conn.putrequest("POST", path, skip_host=True, skip_accept_encoding=True)
            for name, value in headers:
                if name == "Host" and not tls:
                    value = self.pre_host
                conn.putheader(name, value)
            conn.putheader("Content-Length", str(len(body)))
            conn.endheaders(body)
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def rpc_url(self, action, params, secret=None, timestamp=None, signature_nonce=None,
                encode_values=True):
        p = dict(params, Action=action, AccessKeyId=self.ak, Format="JSON",
                 RegionId="cn-hangzhou", SignatureMethod="HMAC-SHA1",
                 SignatureNonce=signature_nonce or nonce(), SignatureVersion="1.0",
                 Timestamp=timestamp or time.strftime("%Y-%m-%dT%H:%M:%SZ", time.gmtime()),
                 Version="2019-01-01", SignatureType="", SecurityToken=self.token)
        keys = sorted(p, key=lambda k: k.encode())
        canonical = "&".join(enc(k) + "=" + enc(p[k]) for k in keys)
        sts = "GET&" + enc("/") + "&" + enc(canonical)
        digest = hmac.new(((secret or self.sk) + "&").encode(), sts.encode(), hashlib.sha1)
        p["Signature"] = base64.b64encode(digest.digest()).decode()
        keys = sorted(p, key=lambda k: k.encode())
        value = enc if encode_values else (lambda v: v)
        return "/?" + "&".join(k + "=" + value(p[k]) for k in keys)

    def get(self, url, timeout=10):
        conn = self._conn(timeout=timeout)
        try:
            conn.request("GET", url, headers={"Host": self.api_host})
            resp = conn.getresponse()
            return resp.status, resp.read()
        finally:
            conn.close()

    def rpc(self, action, params=None, **kw):
        return self.get(self.rpc_url(action, params or {}, **kw))
