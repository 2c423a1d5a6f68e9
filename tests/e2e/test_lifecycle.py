#!/usr/bin/python3
"""The daemon's life end to end: start-up and its failures, the pump with its watchdog
feeds, signals and the orderly shutdown."""

import signal
import time

import harness
from harness import (CONFIG_NAME, EXIT_LINE, MONITOR_NAME, MONITOR_PATH, WATCHDOG_NAME,
                     script)

INIT_FAILED = ["DBus init failed", "service monitor init failed", EXIT_LINE]
RECOVER_FAILED = ["Get config:gw_zeb_switch failed!", "recover components failed",
                  "msg handler init failed", "service monitor init failed", EXIT_LINE]
SUBSCRIBE = "subscribe_config"


class StartupTest(harness.GatewayTestCase):
    def start_peer(self, *args):
        return self.gw.start_python("peer", script("bus_peer.py"), args, ready=r"^serving ")

    def test_failed_startups_end_with_status_zero_and_no_feed(self):
        # (label, peer arguments or None for no configuration manager, log lines in order,
        #  keys of the subscriptions seen, reads of gw_zeb_switch, shortest run in seconds)
        cases = [
            ("name-owned", ["--hold", MONITOR_NAME],
             ["WellName(%s) is already running!" % MONITOR_NAME, "register dbus failed"]
             + INIT_FAILED, [], 0, 0),
            ("no-config-manager", None, ["subscribe config(gw_zeb_switch) failed"] + INIT_FAILED,
             ["gw_zeb_switch"] * 4, 0, 3.5),
            ("dps-refused", ["--config", "refuse-dps"],
             ["subscribe config(gw_dps_switch) failed"] + INIT_FAILED,
             ["gw_zeb_switch"] + ["gw_dps_switch"] * 4, 0, 3.5),
            ("reads-fail", ["--config", "fail"], RECOVER_FAILED,
             ["gw_zeb_switch", "gw_dps_switch"], 50, 4.5),
        ]
        for label, peer, lines, keys, reads, shortest in cases:
            with self.subTest(label):
                gw = self.next_gateway(label)
                gw.install_agent()
                gw.install_dps()
                gw.start_bus()
                gw.start_watchdog()
                holder = self.start_peer(*peer) if peer else None
                began = time.monotonic()
                daemon = gw.start_daemon(ready=False)
                self.assertEqual(daemon.wait(60), 0)
                self.assertGreaterEqual(time.monotonic() - began, shortest)
                self.assertInOrder(daemon, lines)
                calls = gw.monitor.calls(SUBSCRIBE, destination=CONFIG_NAME)
                self.assertEqual([c["args"][1] for c in calls], keys)
                self.assertEqual(len([c for c in gw.monitor.calls("get_config")
                                      if c["args"][0] == "gw_zeb_switch"]), reads)
                self.assertEqual(gw.feeds(), [])
                self.assertEqual((harness.agent_processes(), gw.dps_runs()), ({}, []))
                self.assertNoSanitizerReport(daemon)
                if label == "name-owned":
                    self.assertEqual(gw.name_owner(MONITOR_NAME), holder.log_lines()[0].split()[2])

    def test_late_config_manager_is_subscribed_on_a_later_attempt(self):
        gw = self.start_gateway(config=False, daemon=False)
        daemon = gw.start_daemon(ready=False)
        self.wait_until(lambda: gw.monitor.calls(SUBSCRIBE), "a first subscription attempt")
        gw.start_config_manager({})
        gw.wait_for_feeds(1, timeout=20)
        keys = [c["args"][1] for c in gw.monitor.calls(SUBSCRIBE, destination=CONFIG_NAME)]
        self.assertEqual(keys[-1:], ["gw_dps_switch"])
        self.assertIn(keys.count("gw_zeb_switch"), (2, 3, 4), keys)
        self.assertTrue(daemon.alive())


class PumpTest(harness.GatewayTestCase):
    def test_idle_daemon_feeds_every_five_seconds_and_ignores_unknown_members(self):
        gw = self.start_gateway(daemon=False)
        daemon = gw.start_daemon(ready=False)
        owner = harness.poll(lambda: gw.name_owner(MONITOR_NAME), 10, "name not owned")
        named_at = time.time()
        with self.assertRaises(harness.BusError) as caught:
            gw.call_monitor("Frobnicate", timeout=2)
        self.assertTrue(caught.exception.timed_out, str(caught.exception))
        feeds = gw.wait_for_feeds(3, timeout=25)
        # The first feed comes with the first pump turn, not after a 5 s wait.
        self.assertLess(feeds[0]["time"] - named_at, 4.0)
        for feed in feeds:
            self.assertEqual((feed["ok"], feed["sender"], feed["path"], feed["interface"],
                              feed["destination"], feed["service"], feed["loop"],
                              feed["seconds"]),
                             (True, owner, MONITOR_PATH, WATCHDOG_NAME, WATCHDOG_NAME,
                              MONITOR_NAME, "message_loop", 10))
        gaps = [b["time"] - a["time"] for a, b in zip(feeds, feeds[1:])]
        self.assertTrue(all(4.0 <= g <= 7.0 for g in gaps), gaps)
        self.assertEqual(gw.watchdog_records("starved"), [])
        log = daemon.messages()
        self.assertIn("recive signal:NameAcquired", log)
        self.assertIn("receive method call :Frobnicate,from message bus.", log)


class ShutdownTest(harness.GatewayTestCase):
    def test_sigint_unsubscribes_both_keys_then_releases_the_name(self):
        gw = self.start_gateway()
        owner = gw.name_owner(MONITOR_NAME)
        asked = time.monotonic()
        self.stop_daemon(timeout=10)
        self.assertLess(time.monotonic() - asked, 5.0, "no stop within about one turn")
        self.assertInOrder(gw.daemon, ["Caught signal: Interrupt, exiting...", EXIT_LINE])
        self.wait_until(lambda: gw.monitor.calls("ReleaseName"), "ReleaseName seen")
        calls = [m for m in gw.monitor.messages(kind="method call")
                 if m["member"] in (SUBSCRIBE, "unsubscribe_config", "ReleaseName")]
        self.assertEqual([(c["member"], c["args"]) for c in calls], [
            (SUBSCRIBE, [MONITOR_NAME, "gw_zeb_switch", 1]),
            (SUBSCRIBE, [MONITOR_NAME, "gw_dps_switch", 1]),
            ("unsubscribe_config", [MONITOR_NAME, "gw_zeb_switch"]),
            ("unsubscribe_config", [MONITOR_NAME, "gw_dps_switch"]),
            ("ReleaseName", [MONITOR_NAME])])
        # Configuration calls go out on a private connection, not the named one.
        self.assertEqual(len({c["sender"] for c in calls[:4]} - {owner}), 1)
        self.assertEqual(calls[4]["sender"], owner)
        self.assertIsNone(gw.name_owner(MONITOR_NAME))
        # The manager has forgotten the daemon: changes are not sent to its name any more.
        gw.cfgtool("set", "gw_dps_switch", "1")
        time.sleep(1.0)
        self.assertEqual(gw.monitor.calls("notify_config"), [])

    def test_other_ends(self):
        def two_sigints(daemon):
            daemon.send_signal(signal.SIGINT)
            # The second must not merge with the first while that one is still pending.
            harness.poll(lambda: not daemon.signal_pending(signal.SIGINT), 5, "SIGINT taken")
            daemon.send_signal(signal.SIGINT)
        # (label, action, exit status, exit line logged)
        cases = [("two-sigints", two_sigints, 0, False),
                 ("sigterm", lambda d: d.send_signal(signal.SIGTERM), -signal.SIGTERM, False),
                 ("lost-bus", lambda d: self.gw.bus.close(), 0, True)]
        for label, action, status, exit_logged in cases:
            with self.subTest(label):
                self.next_gateway(label)
                daemon = self.start_gateway().daemon
                action(daemon)
                self.assertEqual(daemon.wait(15), status)
                self.assertEqual(EXIT_LINE in daemon.messages(), exit_logged)
                if label != "two-sigints":
                    self.assertFalse(daemon.has("Caught signal"))
                self.assertNoSanitizerReport(daemon)


if __name__ == "__main__":
    harness.main()
