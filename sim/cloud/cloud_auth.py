"""Request authentication of the cloud stand-in.

Both checks rebuild the signed text from the request as received and compare signatures
computed here with hashlib/hmac, so they stay independent of the gateway's own signer.
A failed check raises Refusal with the HTTP status to answer and a reason for the log.
"""

import base64
import calendar
import hashlib
import hmac
import json
import os
import re
import threading
import time
import urllib.parse

UPLOAD_PATH = "/metric/product/tessar/user"

RPC_FIXED = {
    "Format": "JSON",
    "RegionId": "cn-hangzhou",
    "SignatureMethod": "HMAC-SHA1",
    "SignatureVersion": "1.0",
    "Version": "2019-01-01",
    "SignatureType": "",
}
NONCE_RE = re.compile(r"^[0-9a-f]{8}-[0-9a-f]{4}-4[0-9a-f]{3}-[89ab][0-9a-f]{3}-[0-9a-f]{12}$")
TIMESTAMP_RE = re.compile(r"^(\d{4})-(\d{2})-(\d{2})T(\d{2}):(\d{2}):(\d{2})Z$")
DATE_RE = re.compile(r"^(Mon|Tue|Wed|Thu|Fri|Sat|Sun), (\d{2}) "
                     r"(Jan|Feb|Mar|Apr|May|Jun|Jul|Aug|Sep|Oct|Nov|Dec) (\d{4}) "
                     r"(\d{2}):(\d{2}):(\d{2}) GMT$")
MONTHS = ["Jan", "Feb", "Mar", "Apr", "May", "Jun",
          "Jul", "Aug", "Sep", "Oct", "Nov", "Dec"]
DAYS = ["Mon", "Tue", "Wed", "Thu", "Fri", "Sat", "Sun"]


class Refusal(Exception):
    def __init__(self, status, reason):
        super().__init__(reason)
        self.status = status
        self.reason = reason


class Credentials:
    """The credentials file, re-read whenever its modification time or size changes.

    Format: {"credentials": [{"accessKeyId": "...", "accessKeySecret": "...",
             "securityToken": "..." (optional, "" = none), "expireTimeMs": N (optional)}]}
    """

    def __init__(self, path):
        self.path = path
        self._lock = threading.Lock()
        self._stamp = None
        self._entries = {}

    def _reload(self):
        try:
            st = os.stat(self.path)
        except OSError:
            self._stamp, self._entries = None, {}
            return
        stamp = (st.st_mtime_ns, st.st_size, st.st_ino)
        if stamp == self._stamp:
            return
        try:
            with open(self.path, encoding="utf-8") as f:
                doc = json.load(f)
            entries = {}
            for item in doc.get("credentials", []):
                entries[str(item["accessKeyId"])] = {
                    "secret": str(item["accessKeySecret"]),
                    "token": str(item.get("securityToken") or ""),
                    "expire": int(item.get("expireTimeMs") or 0),
                }
        except (OSError, ValueError, KeyError, TypeError, AttributeError):
            # A half-written file is read again at the next request.
            return
        self._stamp, self._entries = stamp, entries

    def lookup(self, access_key_id):
        """The entry of that key id, or a Refusal (403) when unknown or expired."""
        with self._lock:
            self._reload()
            entry = self._entries.get(access_key_id)
        if entry is None:
            raise Refusal(403, "unknown access key id %r" % access_key_id)
        if entry["expire"] and time.time() * 1000 > entry["expire"]:
            raise Refusal(403, "credential %r expired" % access_key_id)
        return entry


def check_token(entry, token):
    if entry["token"] == "" and token:
        raise Refusal(403, "security token given for a credential without one")
    if entry["token"] != "" and token != entry["token"]:
        raise Refusal(403, "security token missing or wrong")


def check_skew(when, now, max_skew, what):
    if abs(now - when) > max_skew:
        raise Refusal(403, "%s is %+d s away from now (allowed %d s)"
                      % (what, int(when - now), max_skew))


def parse_http_date(text):
    """Epoch seconds of an RFC 1123 GMT date as the upload writes it, or a Refusal."""
    m = DATE_RE.match(text or "")
    if not m:
        raise Refusal(400, "Date %r is not in the form 'Sun, 06 Nov 1994 08:49:37 GMT'" % text)
    day, mon, year = int(m.group(2)), MONTHS.index(m.group(3)) + 1, int(m.group(4))
    try:
        when = calendar.timegm((year, mon, day, int(m.group(5)), int(m.group(6)),
                                int(m.group(7)), 0, 0, 0))
    except (ValueError, OverflowError):
        raise Refusal(400, "Date %r is not a valid time" % text) from None
    if DAYS[time.gmtime(when).tm_wday] != m.group(1) or time.gmtime(when).tm_mday != day:
        raise Refusal(400, "Date %r names the wrong weekday or day" % text)
    return when


def upload_string_to_sign(md5, date, zeb_headers, path):
    """POST, digest, content type, date, the x-zeb-* lines in byte order of name, path."""
    lines = ["POST", md5, "application/json", date]
    for name in sorted(zeb_headers, key=lambda n: n.encode()):
        lines.append("%s:%s" % (name, zeb_headers[name]))
    return "\n".join(lines) + "\n" + path


def _single(headers, name):
    values = headers.get_all(name) or []
    if len(values) > 1:
        raise Refusal(400, "header %s given %d times" % (name, len(values)))
    return values[0] if values else None


def verify_upload(headers, path, body, creds, max_skew):
    """Checks a metric upload; returns (accessKeyId, token) of the signer."""
    if path != UPLOAD_PATH:
        raise Refusal(404, "unknown upload path %r" % path)
    ctype = _single(headers, "Content-Type")
    if ctype != "application/json":
        raise Refusal(400, "Content-Type %r is not application/json" % ctype)
    md5 = _single(headers, "Content-MD5")
    want_md5 = hashlib.md5(body).hexdigest().upper()
    if md5 != want_md5:
        raise Refusal(400, "Content-MD5 %r does not match the body (%s)" % (md5, want_md5))
    date = _single(headers, "Date")
    check_skew(parse_http_date(date), time.time(), max_skew, "Date")
    zeb = {}
    for name in headers.keys():
        low = name.lower()
        if low.startswith("x-zeb-"):
            zeb[low] = _single(headers, name)
    for name, want in (("x-zeb-api-version", "1.0"), ("x-zeb-signature", "hmac-sha1")):
        if zeb.get(name) != want:
            raise Refusal(400, "header %s is %r, not %r" % (name, zeb.get(name), want))
    if "x-zeb-ip" not in zeb:
        raise Refusal(400, "header x-zeb-ip missing")
    token = zeb.get("x-zeb-security-token")
    caller = zeb.get("x-zeb-caller-type")
    if (token is None) != (caller is None) or (caller is not None and caller != "token"):
        raise Refusal(400, "x-zeb-caller-type:token and x-zeb-security-token go together")
    auth = _single(headers, "Authorization") or ""
    key_id, sep, signature = auth.rpartition(":")
    if not sep or not key_id:
        raise Refusal(403, "Authorization %r is not accessKeyId:SIGNATURE" % auth)
    entry = creds.lookup(key_id)
    check_token(entry, token or "")
    sts = upload_string_to_sign(md5, date, zeb, path)
    want = hmac.new(entry["secret"].encode(), sts.encode(), hashlib.sha1).hexdigest().upper()
    if not hmac.compare_digest(signature.encode(), want.encode()):
        raise Refusal(403, "signature mismatch: got %r, string to sign %r" % (signature, sts))
    return key_id, token or ""


def percent_encode(text):
    """RFC 3986: unreserved characters kept, every other UTF-8 byte as %XX upper case."""
    return urllib.parse.quote(text, safe="")


def parse_rpc_query(raw_query):
    """Ordered (key, value) pairs of the query; keys plain, values strictly percent-encoded."""
    pairs = []
    for part in raw_query.split("&") if raw_query else []:
        key, sep, raw_value = part.partition("=")
        if not sep or not key:
            raise Refusal(400, "query item %r is not key=value" % part)
        try:
            value = urllib.parse.unquote(raw_value, errors="strict")
        except UnicodeDecodeError:
            raise Refusal(400, "value of %s is not UTF-8" % key) from None
        if percent_encode(value) != raw_value:
            raise Refusal(400, "value of %s is not percent-encoded as %r"
                          % (key, percent_encode(value)))
        pairs.append((key, value))
    return pairs


def rpc_signature(params, secret):
    """Base64 HMAC-SHA1 (key secret&) of GET&%2F& and the encoded canonical query."""
    items = sorted(params.items(), key=lambda kv: kv[0].encode())
    canonical = "&".join("%s=%s" % (percent_encode(k), percent_encode(v)) for k, v in items)
    sts = "GET&%2F&" + percent_encode(canonical)
    digest = hmac.new((secret + "&").encode(), sts.encode(), hashlib.sha1).digest()
    return base64.b64encode(digest).decode(), sts


def parse_timestamp(text):
    m = TIMESTAMP_RE.match(text or "")
    if not m:
        raise Refusal(400, "Timestamp %r is not YYYY-MM-DDThh:mm:ssZ" % text)
    try:
        return calendar.timegm(tuple(int(g) for g in m.groups()) + (0, 0, 0))
    except (ValueError, OverflowError):
        raise Refusal(400, "Timestamp %r is not a valid time" % text) from None


class NonceBook:
    """Nonces seen within the allowed clock skew; a nonce seen again is a replay."""

    def __init__(self, window):
        self.window = window
        self._seen = {}
        self._lock = threading.Lock()

    def claim(self, nonce):
        now = time.time()
        with self._lock:
            for old in [n for n, t in self._seen.items() if now - t > 2 * self.window]:
                del self._seen[old]
            if nonce in self._seen:
                raise Refusal(403, "SignatureNonce %s was used before" % nonce)
            self._seen[nonce] = now


def verify_rpc(raw_query, creds, nonces, max_skew):
    """Checks a signed management call; returns its parameters without Signature."""
    params = {}
    for key, value in parse_rpc_query(raw_query):
        if key in params:
            raise Refusal(400, "parameter %s given twice" % key)
        params[key] = value
    signature = params.pop("Signature", None)
    for key in ("Action", "AccessKeyId", "SignatureNonce", "Timestamp", "SecurityToken",
                *RPC_FIXED):
        if key not in params:
            raise Refusal(400, "parameter %s missing" % key)
    for key, want in RPC_FIXED.items():
        if params[key] != want:
            raise Refusal(400, "parameter %s is %r, not %r" % (key, params[key], want))
    if signature is None:
        raise Refusal(400, "parameter Signature missing")
    entry = creds.lookup(params["AccessKeyId"])
    want, sts = rpc_signature(params, entry["secret"])
    if not hmac.compare_digest(signature.encode(), want.encode()):
        raise Refusal(403, "signature mismatch: got %r, string to sign %r" % (signature, sts))
    check_token(entry, params["SecurityToken"])
    check_skew(parse_timestamp(params["Timestamp"]), time.time(), max_skew, "Timestamp")
    if not NONCE_RE.match(params["SignatureNonce"]):
        raise Refusal(400, "SignatureNonce %r is not a version-4 UUID"
                      % params["SignatureNonce"])
    nonces.claim(params["SignatureNonce"])
    return params
