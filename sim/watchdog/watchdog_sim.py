#!/usr/bin/python3
"""Stand-in of the gateway watchdog service.

Owns iot.gateway.watchdog on the gateway bus and receives the feedDog signals that the
gateway's daemons address to it. Each feed is checked field by field and written as
one JSON line to the record file:

  {"event": "feed", "time": 1700000000.123, "sender": ":1.4", "path": "/a/b",
   "interface": "...", "member": "feedDog", "destination": "...", "signature": "ssi",
   "type": "signal", "service": "...", "loop": "...", "seconds": 10,
   "ok": true, "problem": null}

When the seconds a sender announced for one of its loops pass without a new feed from
that sender and loop, a "starved" record follows (once per lapse); a sender that leaves
the bus gets a "gone" record. Its own start and end are recorded as "ready" and "exit".
The watchdog only watches: it never restarts anything.
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
import dbus.lowlevel
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

GATEWAY_BUS = "unix:path=/tmp/var/run/mbusd/mbusd_socket"
WATCHDOG_NAME = "iot.gateway.watchdog"
FEED_MEMBER = "feedDog"
MESSAGE_TYPES = {1: "method_call", 2: "method_return", 3: "error", 4: "signal"}


def check_feed(msg, name):
    """Returns the problems of a feed message, or an empty list when it is well formed."""
    problems = []
    kind = MESSAGE_TYPES.get(msg.get_type(), str(msg.get_type()))
    expected = {
        "type": (kind, "signal"),
        "interface": (msg.get_interface(), WATCHDOG_NAME),
        "member": (msg.get_member(), FEED_MEMBER),
        "destination": (msg.get_destination(), name),
        "signature": (str(msg.get_signature() or ""), "ssi"),
    }
    for field, (got, want) in expected.items():
        if got != want:
            problems.append("%s is %r, expected %r" % (field, got, want))
    if not msg.get_path():
        problems.append("no object path")
    return problems


def feed_args(msg):
    """Returns (service, loop, seconds) from whatever arguments the message carries."""
    try:
        args = msg.get_args_list()
    except Exception as exc:  # a malformed body is itself worth recording
        return None, None, None, "unreadable arguments: %s" % exc
    service = str(args[0]) if len(args) > 0 and isinstance(args[0], str) else None
    loop = str(args[1]) if len(args) > 1 and isinstance(args[1], str) else None
    seconds = int(args[2]) if len(args) > 2 and isinstance(args[2], (int, dbus.Int32)) else None
    return service, loop, seconds, None


class Watchdog:
    def __init__(self, bus, name, recorder):
        self.bus = bus
        self.name = name
        self.recorder = recorder
        self.deadlines = {}  # (sender, loop) -> [deadline, seconds, service, starved]
        self.loop = GLib.MainLoop()

    def on_message(self, _conn, msg):
        member = msg.get_member()
        if msg.get_type() == 4 and member == "Disconnected" and \
                msg.get_path() == "/org/freedesktop/DBus/Local":
            self.recorder.write("exit", reason="bus connection lost")
            self.loop.quit()
            return dbus.lowlevel.HANDLER_RESULT_HANDLED
        if msg.get_type() == 4 and member == "NameOwnerChanged" and \
                msg.get_interface() == "org.freedesktop.DBus":
            self._on_owner_changed(msg)
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        if member == FEED_MEMBER or msg.get_interface() == WATCHDOG_NAME:
            self._on_feed(msg)
            return dbus.lowlevel.HANDLER_RESULT_HANDLED
        return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED

    def _on_feed(self, msg):
        problems = check_feed(msg, self.name)
        service, loop, seconds, arg_problem = feed_args(msg)
        if arg_problem:
            problems.append(arg_problem)
        if seconds is None or seconds <= 0:
            if not arg_problem and msg.get_signature() == "ssi":
                problems.append("seconds %r is not positive" % seconds)
        sender = msg.get_sender()
        self.recorder.write(
            "feed", sender=sender, path=msg.get_path(), interface=msg.get_interface(),
            member=msg.get_member(), destination=msg.get_destination(),
            signature=str(msg.get_signature() or ""),
            type=MESSAGE_TYPES.get(msg.get_type(), str(msg.get_type())),
            service=service, loop=loop, seconds=seconds,
            ok=not problems, problem="; ".join(problems) or None)
        if not problems:
            self.deadlines[(sender, loop)] = [time.monotonic() + seconds, seconds, service, False]

    def _on_owner_changed(self, msg):
        name, _old, new = (str(a) for a in msg.get_args_list())
        if not name.startswith(":") or new:
            return
        for (sender, loop), entry in self.deadlines.items():
            if sender == name:
                self.recorder.write("gone", sender=sender, loop=loop, service=entry[2])

    def stop(self, signum):
        self.recorder.write("exit", reason=signal.Signals(signum).name)
        self.loop.quit()
        return False

    def check_deadlines(self):
        now = time.monotonic()
        for (sender, loop), entry in self.deadlines.items():
            deadline, seconds, service, starved = entry
            if not starved and now > deadline:
                entry[3] = True
                self.recorder.write("starved", sender=sender, loop=loop, service=service,
                                    seconds=seconds)
        return True


def parse_args(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--address", default=GATEWAY_BUS, help="bus address")
    parser.add_argument("--name", default=WATCHDOG_NAME, help="bus name to own")
    parser.add_argument("--record", default=None, help="JSON-lines file of feeds and lapses")
    parser.add_argument("--check-ms", type=int, default=200,
                        help="how often announced deadlines are checked")
    return parser.parse_args(argv)


def main(argv):
    opts = parse_args(argv)
    recorder = Recorder(opts.record)
    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(opts.address)
    bus.set_exit_on_disconnect(False)
    dog = Watchdog(bus, opts.name, recorder)
    bus.add_message_filter(dog.on_message)
    # Feeds arrive addressed to us; the rule also brings in broadcast ones, which are faulty.
    bus.add_match_string("type='signal',interface='%s'" % WATCHDOG_NAME)
    bus.add_match_string("type='signal',sender='org.freedesktop.DBus',"
                         "interface='org.freedesktop.DBus',member='NameOwnerChanged'")
    reply = bus.request_name(opts.name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    if reply != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        print("watchdog: cannot own %s (reply %d)" % (opts.name, reply), file=sys.stderr)
        return 1
    GLib.timeout_add(opts.check_ms, dog.check_deadlines)
    for signum in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, dog.stop, signum)
    recorder.write("ready", name=opts.name, unique=bus.get_unique_name())
    dog.loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
