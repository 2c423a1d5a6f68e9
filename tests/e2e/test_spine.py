#!/usr/bin/python3
"""The daemon's spine end to end: start-up, the pump with its watchdog feeds, signals and
shutdown, on a real bus with the watchdog and configuration-manager stand-ins."""

import signal
import time
import unittest

import harness
from harness import MONITOR_NAME, MONITOR_PATH, WATCHDOG_NAME

CONFIG_NAME = "iot.gateway.config"
EXIT_LINE = "service_monitor exit"
CAUGHT_LINE = "Caught signal: Interrupt, exiting..."


messages = harness.messages


class SpineCase(harness.GatewayTestCase):
    def start_gateway(self, config=True, monitor=False):
        gw = self.gw
        gw.start_bus()
        mon = gw.start_monitor() if monitor else None
        gw.start_watchdog()
        if config:
            gw.start_config_manager({})
        return mon

    def start_running_daemon(self):
        """A daemon that has finished start-up and fed the watchdog once."""
        daemon = self.gw.start_daemon()
        self.gw.wait_for_feeds(1, timeout=10)
        return daemon


class StartupFailureTest(SpineCase):
    def test_name_already_owned_fails_startup_with_status_zero(self):
        self.start_gateway()
        holder = self.gw.hold_name(MONITOR_NAME)
        daemon = self.gw.start_daemon(ready=False)
        self.assertEqual(daemon.wait(15), 0)
        self.assertInOrder(daemon, [
            "WellName(%s) is already running!" % MONITOR_NAME,
            "register dbus failed",
            "DBus init failed",
            "service monitor init failed",
            EXIT_LINE,
        ])
        self.assertEqual(self.gw.feeds(), [], "a daemon that failed start-up fed the watchdog")
        self.assertTrue(holder.alive())
        self.assertEqual(self.gw.name_owner(MONITOR_NAME),
                         holder.wait_for_log(r"^owned ").split()[2])

    def test_absent_config_manager_fails_after_four_subscriptions(self):
        mon = self.start_gateway(config=False, monitor=True)
        daemon = self.gw.start_daemon(ready=False)
        self.assertEqual(daemon.wait(30), 0)
        self.assertInOrder(daemon, [
            "subscribe config(gw_zeb_switch) failed",
            "DBus init failed",
            "service monitor init failed",
            EXIT_LINE,
        ])
        self.assertFalse(daemon.has(r"subscribe config\(gw_dps_switch\)"))
        calls = self.gw.monitor_messages(mon, type="mc", destination=CONFIG_NAME,
                                         member="subscribe_config")
        self.assertEqual(len(calls), 4, calls)
        times = [float(c["time"]) for c in calls]
        gaps = [b - a for a, b in zip(times, times[1:])]
        self.assertTrue(all(g >= 0.9 for g in gaps), "no 1 s pause between attempts: %s" % gaps)


class PumpTest(SpineCase):
    def test_idle_daemon_feeds_watchdog_every_five_seconds(self):
        self.start_gateway()
        daemon = self.gw.start_daemon()
        owner = self.gw.name_owner(MONITOR_NAME)
        named_at = time.time()
        feeds = self.gw.wait_for_feeds(3, timeout=25)
        # The first feed comes with the first pump turn, not after a 5 s wait.
        self.assertLess(feeds[0]["time"] - named_at, 4.0)
        for feed in feeds:
            self.assertTrue(feed["ok"], feed)
            self.assertEqual(feed["sender"], owner)
            self.assertEqual(feed["path"], MONITOR_PATH)
            self.assertEqual(feed["interface"], WATCHDOG_NAME)
            self.assertEqual(feed["destination"], WATCHDOG_NAME)
            self.assertEqual((feed["service"], feed["loop"], feed["seconds"]),
                             (MONITOR_NAME, "message_loop", 10))
        gaps = [b["time"] - a["time"] for a, b in zip(feeds, feeds[1:])]
        self.assertTrue(all(4.0 <= g <= 7.0 for g in gaps), gaps)
        self.assertEqual(self.gw.watchdog_events("starved"), [])
        self.assertIn("recive signal:NameAcquired", messages(daemon))
        self.assertTrue(daemon.alive())

    def test_unknown_member_gets_no_reply_and_feeds_go_on(self):
        self.start_gateway()
        daemon = self.start_running_daemon()
        asked_at = time.time()
        with self.assertRaises(harness.BusError) as caught:
            self.gw.call_monitor("Frobnicate", timeout=2)
        self.assertTrue(caught.exception.timed_out, str(caught.exception))
        self.assertIn("receive method call :Frobnicate,from message bus.", messages(daemon))
        feeds = self.gw.wait_for_feeds(len(self.gw.feeds()) + 1, timeout=10)
        self.assertGreater(feeds[-1]["time"], asked_at)
        self.assertTrue(daemon.alive())


class ShutdownTest(SpineCase):
    def test_one_sigint_stops_in_order(self):
        mon = self.start_gateway(monitor=True)
        daemon = self.start_running_daemon()
        asked = time.monotonic()
        self.assertEqual(daemon.stop(signal.SIGINT, timeout=10), 0)
        self.assertLess(time.monotonic() - asked, 5.0, "no stop within about one turn")
        self.assertInOrder(daemon, [CAUGHT_LINE, EXIT_LINE])
        self.assertFalse(self.gw.name_has_owner(MONITOR_NAME))
        unsubscribed = self.gw.monitor_messages(mon, type="mc", destination=CONFIG_NAME,
                                                member="unsubscribe_config")
        self.assertEqual(len(unsubscribed), 2, unsubscribed)

    def test_two_quick_sigints_end_at_once(self):
        self.start_gateway()
        daemon = self.start_running_daemon()
        daemon.send_signal(signal.SIGINT)
        # The second must not merge with the first while that one is still pending.
        deadline = time.monotonic() + 5
        while daemon.signal_pending(signal.SIGINT) and time.monotonic() < deadline:
            pass
        daemon.send_signal(signal.SIGINT)
        self.assertEqual(daemon.wait(5), 0)
        self.assertNotIn(EXIT_LINE, messages(daemon))

    def test_sigterm_takes_default_action(self):
        self.start_gateway()
        daemon = self.start_running_daemon()
        self.assertEqual(daemon.stop(signal.SIGTERM, timeout=10), -signal.SIGTERM)
        self.assertNotIn(EXIT_LINE, messages(daemon))
        self.assertFalse(daemon.has("Caught signal"))

    def test_lost_bus_shuts_down_in_order(self):
        self.start_gateway()
        daemon = self.start_running_daemon()
        self.gw.bus.kill()
        self.assertEqual(daemon.wait(15), 0)
        self.assertIn(EXIT_LINE, messages(daemon))
        self.assertFalse(daemon.has("Caught signal"))


class WatchdogStandInTest(harness.GatewayTestCase):
    """The stand-in must tell good feeds from faulty ones, or the tests above prove little."""

    def feed(self, *extra, dest=True, seconds=1):
        args = ["--type=signal"] + (["--dest=" + WATCHDOG_NAME] if dest else [])
        args += [MONITOR_PATH, WATCHDOG_NAME + ".feedDog"]
        args += list(extra) or ["string:" + MONITOR_NAME, "string:message_loop",
                                "int32:%d" % seconds]
        res = self.gw.dbus_send(*args)
        self.assertEqual(res.returncode, 0, res.stderr)

    def test_checks_feeds_and_reports_lapses(self):
        self.gw.start_bus()
        self.gw.start_watchdog()
        self.feed()
        self.feed(dest=False)
        self.feed("string:" + MONITOR_NAME, "int32:10")
        feeds = self.gw.wait_for_feeds(3)
        self.assertEqual([f["ok"] for f in feeds], [True, False, False], feeds)
        self.assertIn("destination", feeds[1]["problem"])
        self.assertIn("signature", feeds[2]["problem"])
        starved = self.gw.watchdog.wait_for_log(r'"event": "starved"', timeout=5)
        self.assertIn('"sender": "%s"' % feeds[0]["sender"], starved)
        self.assertEqual(len(self.gw.watchdog_events("starved")), 1)
        self.assertEqual(len(self.gw.watchdog_events("gone")), 1)


if __name__ == "__main__":
    harness.main()
