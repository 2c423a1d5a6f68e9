#!/usr/bin/python3
"""A bare bus peer for end-to-end tests: owns a name and logs what it receives.

Prints "owned NAME UNIQUE" once it is the primary owner, then one line per message
addressed to it ("recv TYPE MEMBER from SENDER"). Method calls get no reply. Ends on
SIGINT/SIGTERM or when the bus goes away.
"""

import argparse
import signal
import sys

import dbus
import dbus.bus
import dbus.lowlevel
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

TYPES = {1: "method_call", 2: "method_return", 3: "error", 4: "signal"}


def main(argv):
    parser = argparse.ArgumentParser(description="bus peer owning a name")
    parser.add_argument("--address", required=True)
    parser.add_argument("--name", required=True)
    opts = parser.parse_args(argv)

    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(opts.address)
    bus.set_exit_on_disconnect(False)
    loop = GLib.MainLoop()

    def on_message(_conn, msg):
        kind = TYPES.get(msg.get_type(), str(msg.get_type()))
        print("recv %s %s from %s" % (kind, msg.get_member(), msg.get_sender()), flush=True)
        if msg.get_member() == "Disconnected" and msg.get_type() == 4:
            loop.quit()
        return dbus.lowlevel.HANDLER_RESULT_HANDLED

    bus.add_message_filter(on_message)
    reply = bus.request_name(opts.name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE)
    if reply != dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        print("cannot own %s (reply %d)" % (opts.name, reply), flush=True)
        return 1
    for signum in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, loop.quit)
    print("owned %s %s" % (opts.name, bus.get_unique_name()), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
