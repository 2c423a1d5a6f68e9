"""Injected faults and the journal files of the cloud stand-in."""

import base64
import json
import sys
import threading
import time

FAULT_KEYS = {"delay", "status", "code", "groupIdAsString", "body", "reply", "apply", "times",
              "drop", "match"}


class Control:
    """The control file, read again for every request (a missing file means no faults).

    {"upload": FAULT, "actions": {"<Action>" or "*": FAULT}}, FAULT keys in README.md.
    A fault with "times": N applies to the first N matching requests after the file's
    content last changed.
    """

    def __init__(self, path):
        self.path = path
        self._lock = threading.Lock()
        self._text = None
        self._used = {}

    def _load(self):
        try:
            with open(self.path, encoding="utf-8") as f:
                text = f.read()
        except (OSError, TypeError):
            text = ""
        if text != self._text:
            self._text, self._used = text, {}
        try:
            doc = json.loads(text) if text.strip() else {}
        except ValueError:
            print("cloud stand-in: control file %s is not JSON, ignored" % self.path,
                  file=sys.stderr, flush=True)
            return {}
        return doc if isinstance(doc, dict) else {}

    def fault_for(self, action, body=b""):
        """The fault for an action name, or for "upload" (of this body); None when there is
        none."""
        if self.path is None:
            return None
        with self._lock:
            doc = self._load()
            if action == "upload":
                selector, fault = "upload", doc.get("upload")
            else:
                actions = doc.get("actions") or {}
                selector = action if action in actions else "*"
                fault = actions.get(selector)
            if not isinstance(fault, dict):
                return None
            if "match" in fault and str(fault["match"]).encode() not in body:
                return None
            unknown = set(fault) - FAULT_KEYS
            if unknown:
                print("cloud stand-in: unknown fault keys %s ignored" % sorted(unknown),
                      file=sys.stderr, flush=True)
            if "times" in fault:
                used = self._used.get(selector, 0)
                if used >= int(fault["times"]):
                    return None
                self._used[selector] = used + 1
            return fault


def stringify_group_ids(value):
    if isinstance(value, dict):
        return {k: (str(v) if k == "GroupId" and isinstance(v, int) else stringify_group_ids(v))
                for k, v in value.items()}
    if isinstance(value, list):
        return [stringify_group_ids(v) for v in value]
    return value


def apply_fault(fault, status, reply):
    """(status, body bytes) of a reply after the fault's changes."""
    if fault is None:
        return status, json.dumps(reply).encode()
    if "code" in fault:
        reply = dict(reply)
        if fault["code"] is None:
            reply.pop("Code", None)
        else:
            reply["Code"] = fault["code"]
    if fault.get("groupIdAsString"):
        reply = stringify_group_ids(reply)
    if "reply" in fault:
        reply = fault["reply"]
    body = json.dumps(reply).encode()
    if "body" in fault:
        body = str(fault["body"]).encode()
    return int(fault.get("status", status)), body


class Journal:
    """Accepted uploads go to the record file; every request outcome to the events file.

    Refusals, faults and TLS failures are also written to standard error.
    """

    def __init__(self, record_path, events_path):
        self._lock = threading.Lock()
        self.record_path = record_path
        self.events_path = events_path

    @staticmethod
    def _append(path, item):
        if path:
            with open(path, "a", encoding="utf-8") as f:
                f.write(json.dumps(item) + "\n")

    def upload(self, listener, headers, body, key_id, token):
        item = {"time": time.time(), "listener": listener,
                "headers": [[k, v] for k, v in headers.items()],
                "accessKeyId": key_id, "securityToken": token,
                "body": body.decode("utf-8", "replace"),
                "bodyBase64": base64.b64encode(body).decode()}
        with self._lock:
            self._append(self.record_path, item)

    def event(self, kind, **fields):
        item = dict({"time": time.time(), "kind": kind}, **fields)
        with self._lock:
            self._append(self.events_path, item)
            if kind != "accepted":
                print("cloud stand-in: %s %s" % (kind, json.dumps(fields)),
                      file=sys.stderr, flush=True)
