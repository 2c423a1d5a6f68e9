// The named bus connection, the message pump and the SIGINT handling that stops it.
#ifndef SERVICE_MONITOR_DBUS_MESSAGE_H
#define SERVICE_MONITOR_DBUS_MESSAGE_H

#include <dbus/dbus.h>

#include <atomic>
#include <cstdint>

#include "service_monitor_context.h"

constexpr const char* kGatewayBusAddress = "unix:path=/tmp/var/run/mbusd/mbusd_socket";
constexpr const char* kConfigManagerName = "iot.gateway.config";
constexpr uint32_t kExitRequested = 0x5AA5;

// Stop flag: SIGINT stores kExitRequested; the pump stops on exactly that value.
extern std::atomic<uint32_t> exit_flag;
static_assert(std::atomic<uint32_t>::is_always_lock_free, "exit_flag must be signal-safe");

// Connects, takes the name, opens the configuration connection, subscribes the switches.
[[nodiscard]] int dbus_module_init(SERVICE_MONITOR_CTX_T* ctx);
// Unsubscribes, closes the configuration connection, releases the name. Null accepted;
// also undoes a start-up that stopped half way.
void dbus_module_deinit(SERVICE_MONITOR_CTX_T* ctx);
// One pump turn: 0 to continue, -1 to stop (stop requested or connection lost).
[[nodiscard]] int dbus_message_yield(SERVICE_MONITOR_CTX_T* ctx, int timeout_ms);
[[nodiscard]] int register_service_monitor_to_bus(SERVICE_MONITOR_CTX_T* ctx);
// Dispatches one message by type; method calls go through the method table. The pump
// ignores the result.
int messages_proc(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg);
// True for the bus's NameOwnerChanged signal telling that the configuration manager got a
// new owner (it restarted, and a new one knows nothing of our subscriptions).
[[nodiscard]] bool is_config_manager_restart(DBusMessage* msg);

void install_signal_handler();
void sig_int_handler(int sig) noexcept;
// Writes the "Caught signal" line for a SIGINT the handler recorded, once, on the main thread.
void report_caught_signal();

#endif
