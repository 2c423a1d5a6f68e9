#!/usr/bin/python3
"""A scripted bus peer for end-to-end tests.

  --hold NAME     owns NAME and answers nothing
  --config MODE   plays a configuration manager that fails: "fail" answers every read
                  with an error code, "refuse-dps" refuses the subscription of
                  gw_dps_switch

Prints "serving NAME" once it owns the name and "call MEMBER ARGS..." per call received.
"""

import argparse
import signal
import sys

import dbus
import dbus.bus
import dbus.lowlevel
from dbus.mainloop.glib import DBusGMainLoop
from gi.repository import GLib

BUS_ADDRESS = "unix:path=/tmp/var/run/mbusd/mbusd_socket"
CONFIG_NAME = "iot.gateway.config"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hold")
    parser.add_argument("--config", choices=("fail", "refuse-dps"))
    opts = parser.parse_args(argv)
    name = opts.hold or CONFIG_NAME

    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(BUS_ADDRESS)
    bus.set_exit_on_disconnect(False)
    loop = GLib.MainLoop()

    def answer(msg, signature, *values):
        reply = dbus.lowlevel.MethodReturnMessage(msg)
        reply.append(*values, signature=signature)
        bus.send_message(reply)

    def on_message(_conn, msg):
        if msg.get_type() != 1 or msg.get_destination() != name:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        member, args = msg.get_member(), [str(a) for a in msg.get_args_list()]
        print("call %s %s" % (member, " ".join(args)), flush=True)
        if opts.hold:
            pass
        elif member == "get_config":
            answer(msg, "is", dbus.Int32(-500 if opts.config == "fail" else 100100), "")
        elif member == "subscribe_config":
            refused = opts.config == "refuse-dps" and "gw_dps_switch" in args
            answer(msg, "i", dbus.Int32(100101 if refused else 0))
        else:
            answer(msg, "i", dbus.Int32(0))
        return dbus.lowlevel.HANDLER_RESULT_HANDLED

    bus.add_message_filter(on_message)
    if bus.request_name(name, dbus.bus.NAME_FLAG_DO_NOT_QUEUE) != \
            dbus.bus.REQUEST_NAME_REPLY_PRIMARY_OWNER:
        print("cannot own %s" % name, flush=True)
        return 1
    for signum in (signal.SIGINT, signal.SIGTERM):
        GLib.unix_signal_add(GLib.PRIORITY_HIGH, signum, loop.quit)
    print("serving %s %s" % (name, bus.get_unique_name()), flush=True)
    loop.run()
    return 0


if __name__ == "__main__":
    sys.exit(main(sys.argv[1:]))
