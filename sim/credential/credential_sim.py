#!/usr/bin/python3
"""Stand-in of the gateway credential service.

Owns iot.gateway.credential on the gateway bus and answers getCredential (one string
argument) at /iot/gateway/credential, interface iot.gateway.credential, with

  {"code": 0, "data": {"accessKeyId": "...", "accessKeySecret": "...",
                       "securityToken": "...", "durationSeconds": N}}

The credentials come from the JSON credentials file shared with the cloud stand-in,
{"credentials": [{"accessKeyId": "...", "accessKeySecret": "...", "securityToken": "..."},
...]}, read again on every call; successive calls hand out its entries in turn.

The control file (JSON, read again on every call and polled for the name) injects faults:

  {"mode": MODE, ...}           a missing or empty file means {"mode": "normal"}

  normal        the reply above; "duration": N overrides --duration
  absent        releases the name (a call already delivered gets no answer); the name is
                taken again once the mode changes
  silent        keeps the name, never answers
  slow          answers after "delay_ms" (default 3500) milliseconds
  code          {"code": N} with "code" (default 500) and no data
  text          replies with "text" as it is (default "not json")
  wrong-type    "field" (default "data": code, data, securityToken, accessKeyId,
                accessKeySecret, durationSeconds) gets a value of the wrong type
  missing       "field" (default "durationSeconds") is left out
  too-long      "field" (default "securityToken") is made "length" characters long
                (default: one more than the client accepts, 576 or 128)

Every call is written as one JSON line to the record file (and standard output):
  {"event": "call", "time": ..., "sender": ":1.5", "arg": "", "mode": "normal",
   "accessKeyId": "..." or null, "answered": true}
and also "ready", "name-released", "name-acquired" and "exit" records.
"""

import argparse
import json
import os
import signal
import sys
import time

sys.path.insert(0, os.path.join(os.path.dirname(os.path.abspath(__file__)), ".."))
from recorder import Recorder  # noqa: E402

import dbus  # noqa: E402
import dbus.bus
import dbus.service
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

GATEWAY_BUS = "unix:path=/tmp/var/run/mbusd/mbusd_socket"
SERVICE_NAME = "iot.gateway.credential"
OBJECT_PATH = "/iot/gateway/credential"
INTERFACE = "iot.gateway.credential"
TOO_LONG = {"securityToken": 576, "accessKeyId": 128, "accessKeySecret": 128}
WRONG_TYPE = {"code": "0", "data": "data", "securityToken": 5, "accessKeyId": 5,
              "accessKeySecret": 5, "durationSeconds": "3600"}


def read_json(path, default):
    if not path:
        return default
    try:
        with open(path, encoding="utf-8") as f:
            text = f.read()
    except OSError:
        return default
    if not text.strip():
        return default
    try:
        doc = json.loads(text)
    except ValueError:
        print("credential stand-in: %s is not JSON, ignored" % path, file=sys.stderr,
              flush=True)
        return default
    return doc if isinstance(doc, dict) else default


class Issuer:
    """Hands out the credentials file's entries in turn."""

    def __init__(self, path):
        self.path = path
        self.turn = 0

    def next(self):
        entries = read_json(self.path, {}).get("credentials") or []
        entries = [e for e in entries if isinstance(e, dict) and "accessKeyId" in e]
        if not entries:
            return None
        entry = entries[self.turn % len(entries)]
        self.turn += 1
        return entry


def build_reply(control, entry, duration):
    """The reply text for a control document and an issued entry."""
    mode = control.get("mode", "normal")
    if mode == "text":
        return str(control.get("text", "not json"))
    if mode == "code":
        return json.dumps({"code": control.get("code", 500), "message": "refused"})
    if entry is None:
        return json.dumps({"code": 404, "message": "no credentials to issue"})
    reply = {"code": 0, "data": {
        "accessKeyId": str(entry["accessKeyId"]),
        "accessKeySecret": str(entry.get("accessKeySecret", "")),
        "securityToken": str(entry.get("securityToken") or ""),
        "durationSeconds": control.get("duration", duration)}}
    field = control.get("field")
    if mode == "wrong-type":
        field = field or "data"
        target = reply if field in ("code", "data") else reply["data"]
        target[field] = WRONG_TYPE.get(field, [])
    elif mode == "missing":
        field = field or "durationSeconds"
        (reply if field in ("code", "data") else reply["data"]).pop(field, None)
    elif mode == "too-long":
        field = field or "securityToken"
        reply["data"][field] = "x" * int(control.get("length", TOO_LONG.get(field, 1024)))
    return json.dumps(reply)


class CredentialService(dbus.service.Object):
    def __init__(self, bus, opts, recorder):
        super().__init__(bus, OBJECT_PATH)
        self.bus = bus
        self.opts = opts
        self.recorder = recorder
        self.issuer = Issuer(opts.credentials)
        self.owned = False
        self.loop = GLib.MainLoop()

    def control(self):
        return read_json(self.opts.control, {})

    # -- name ---------------------------------------------------------------------------
    def take_name(self):
        reply = self.bus.request_name(SERVICE_NAME, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
        self.owned = reply in (dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER,
                               dbus.bus.REQUEST_NAME_REPLY_ALREADY_OWNER)
        return self.owned

    def poll_name(self):
        absent = self.control().get("mode") == "absent"
        if absent and self.owned:
            self.bus.release_name(SERVICE_NAME)
            self.owned = False
            self.recorder.write("name-released")
        elif not absent and not self.owned:
            if self.take_name():
                self.recorder.write("name-acquired")
        return True

    # -- method -------------------------------------------------------------------------
    @dbus.service.method(INTERFACE, in_signature="s", out_signature="s", sender_keyword="sender",
                         async_callbacks=("reply_ok", "reply_err"))
    def getCredential(self, arg, sender=None, reply_ok=None, reply_err=None):
        control = self.control()
        mode = control.get("mode", "normal")
        entry = None
        if mode not in ("absent", "silent", "code", "text"):
            entry = self.issuer.next()
        answered = mode not in ("absent", "silent")
        self.recorder.write("call", sender=str(sender), arg=str(arg), mode=mode,
                            accessKeyId=entry and str(entry["accessKeyId"]), answered=answered)
        if mode == "absent":
            self.poll_name()
            return
        if not answered:
            return
        text = build_reply(control, entry, self.opts.duration)
        if mode == "slow":
            delay = int(control.get("delay_ms", 3500))
            GLib.timeout_add(delay, lambda: reply_ok(text) and False)
        else:
            reply_ok(text)

    def stop(self, signum):
        self.recorder.write("exit", reason=signal.Signals(signum).name)
        self.loop.quit()
        return False


def parse_args(argv):
    p = argparse.ArgumentParser(description="gateway credential service stand-in")
    p.add_argument("--address", default=GATEWAY_BUS)
    p.add_argument("--credentials", required=True, help="credentials JSON file")
    p.add_argument("--duration", type=float, default=3600, help="durationSeconds issued")
    p.add_argument("--control", help="control file of injected faults")
    p.add_argument("--record", help="JSON lines of every call")
    return p.parse_args(argv)


def main(argv):
    opts = parse_args(argv)
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(opts.address)
    recorder = Recorder(opts.record)
    service = CredentialService(bus, opts, recorder)
    if service.control().get("mode") != "absent" and not service.take_name():
        print("credential stand-in: %s is owned by another peer" % SERVICE_NAME,
              file=sys.stderr, flush=True)
        return 1
    GLib.timeout_add(100, service.poll_name)
    for signum in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, service.stop, signum)
    recorder.write("ready", name=SERVICE_NAME, owned=service.owned, pid=os.getpid())
    service.loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
