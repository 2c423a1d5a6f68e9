// The watchdog feed: the feedDog signal and its pace. The pump feeds once per message and
// turn; steps that block the main thread elsewhere (switch actions, shutdown) feed in
// between, so this room sits below both.
#ifndef SERVICE_MONITOR_DBUS_MESSAGE_WATCHDOG_H
#define SERVICE_MONITOR_DBUS_MESSAGE_WATCHDOG_H

#include <dbus/dbus.h>

#include "service_monitor_context.h"

constexpr const char* kServiceObjectPath = "/iot/dmp/service/monitor";
constexpr const char* kWatchdogName = "iot.gateway.watchdog";
constexpr const char* kWatchdogLoopName = "message_loop";
constexpr int kWatchdogFeedSeconds = 10;

// A new feedDog signal addressed to the watchdog; the caller owns it. Null when it cannot be built.
[[nodiscard]] DBusMessage* new_feed_dog_signal(const char* service, const char* path,
                                               const char* loop, int seconds);
// Sends one feedDog signal for the main loop; nothing is reported back.
void feed_dog(DBusConnection* conn, int seconds);
// The pump's feed: when none was sent yet or more than 4 s (monotonic) passed since the last.
void feed_dog_on_turn(SERVICE_MONITOR_CTX_T* ctx);
// The same, but only once the pump has fed first. Main thread only: steps that may wait
// call it in between.
void feed_dog_if_due(SERVICE_MONITOR_CTX_T* ctx);

#endif
