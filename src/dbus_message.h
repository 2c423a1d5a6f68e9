// The named bus connection, the message pump and the watchdog feed.
#ifndef SERVICE_MONITOR_DBUS_MESSAGE_H
#define SERVICE_MONITOR_DBUS_MESSAGE_H

#include <dbus/dbus.h>

#include "service_monitor.h"

constexpr const char* kGatewayBusAddress = "unix:path=/tmp/var/run/mbusd/mbusd_socket";
constexpr const char* kServiceName = "iot.dmp.service.monitor";
constexpr const char* kServiceObjectPath = "/iot/dmp/service/monitor";
constexpr const char* kWatchdogName = "iot.gateway.watchdog";
constexpr const char* kWatchdogLoopName = "message_loop";
constexpr int kWatchdogFeedSeconds = 10;
constexpr const char* kConfigManagerName = "iot.gateway.config";

// Connects, takes the name, opens the configuration connection, subscribes the switches.
[[nodiscard]] int dbus_module_init(SERVICE_MONITOR_CTX_T* ctx);
// Unsubscribes, closes the configuration connection, releases the name. Null accepted.
void dbus_module_deinit(SERVICE_MONITOR_CTX_T* ctx);
// One pump turn: 0 to continue, -1 to stop (stop requested or connection lost).
[[nodiscard]] int dbus_message_yield(SERVICE_MONITOR_CTX_T* ctx, int timeout_ms);
[[nodiscard]] int register_service_monitor_to_bus(SERVICE_MONITOR_CTX_T* ctx);
// Dispatches one message by type; method calls go through the method table.
int messages_proc(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg);

// A new feedDog signal addressed to the watchdog; the caller owns it. Null when it cannot be built.
DBusMessage* new_feed_dog_signal(const char* service, const char* path, const char* loop,
                                 int seconds);
// Sends one feedDog signal for the main loop; nothing is reported back.
void feed_dog(DBusConnection* conn, int seconds);
// Feeds the watchdog when more than 4 s (monotonic) passed since the last feed, once the
// pump has fed it first. Main thread only: steps that may wait call it in between.
void feed_dog_if_due(SERVICE_MONITOR_CTX_T* ctx);
// True for the bus's NameOwnerChanged signal telling that the configuration manager got a
// new owner (it restarted, and a new one knows nothing of our subscriptions).
[[nodiscard]] bool is_config_manager_restart(DBusMessage* msg);

#endif
