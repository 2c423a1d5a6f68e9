#!/usr/bin/python3
"""A scripted bus peer for end-to-end tests.

  --hold NAME     owns NAME and answers nothing
  --config MODE   plays a configuration manager that fails: "fail" answers every read
                  with an error code, "refuse-dps" refuses the subscription of
                  gw_dps_switch (only the first N times with --refusals N)
  --value KEY=VAL a stored key: reads answer it, and set_config changes it and calls
                  notify_config on the key's subscribers, as the manager does

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
CONFIG_PATH = "/iot/gateway/config"


def main(argv):
    parser = argparse.ArgumentParser(description=__doc__.splitlines()[0])
    parser.add_argument("--hold")
    parser.add_argument("--config", choices=("fail", "refuse-dps"))
    parser.add_argument("--refusals", type=int)
    parser.add_argument("--value", action="append", default=[])
    opts = parser.parse_args(argv)
    name = opts.hold or CONFIG_NAME
    store = dict(v.split("=", 1) for v in opts.value)
    subscribers = {}  # key -> subscriber bus names
    refused = []

    DBusGMainLoop(set_as_default=True)
    bus = dbus.bus.BusConnection(BUS_ADDRESS)
    bus.set_exit_on_disconnect(False)
    loop = GLib.MainLoop()

    def answer(msg, signature, *values):
        reply = dbus.lowlevel.MethodReturnMessage(msg)
        reply.append(*values, signature=signature)
        bus.send_message(reply)

    def notify(key):
        for subscriber in subscribers.get(key, ()):
            call = dbus.lowlevel.MethodCallMessage(subscriber, CONFIG_PATH, CONFIG_NAME,
                                                   "notify_config")
            call.append(key, store[key], signature="ss")
            bus.send_message(call)

    def subscribe(subscriber, key):
        if opts.config == "refuse-dps" and key == "gw_dps_switch" and (
                opts.refusals is None or len(refused) < opts.refusals):
            refused.append(key)
            return 100101
        subscribers.setdefault(key, set()).add(subscriber)
        return 0

    def on_message(_conn, msg):
        if msg.get_type() != 1 or msg.get_destination() != name:
            return dbus.lowlevel.HANDLER_RESULT_NOT_YET_HANDLED
        member, args = msg.get_member(), [str(a) for a in msg.get_args_list()]
        print("call %s %s" % (member, " ".join(args)), flush=True)
        if opts.hold:
            pass
        elif member == "get_config" and args[0] in store:
            answer(msg, "is", dbus.Int32(0), store[args[0]])
        elif member == "get_config":
            answer(msg, "is", dbus.Int32(-500 if opts.config == "fail" else 100100), "")
        elif member == "subscribe_config":
            answer(msg, "i", dbus.Int32(subscribe(*args[:2])))
        elif member == "set_config":
            store[args[0]] = args[1]
            answer(msg, "i", dbus.Int32(0))
            notify(args[0])
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
