// The bus methods served under the daemon's name, the configuration-switch table behind
// notify_config, and the DPS script runners.
#ifndef SERVICE_MONITOR_DBUS_MESSAGE_METHOD_H
#define SERVICE_MONITOR_DBUS_MESSAGE_METHOD_H

#include <dbus/dbus.h>

#include "service_monitor_context.h"

// Handlers run inside the pump: noexcept in the row types, so every row is checked.
// Their results are for tests and logs; the pump and notify_config do not act on them.
using METHOD_HANDLER_T = int (*)(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept;
using SWITCH_HANDLER_T = int (*)(SERVICE_MONITOR_CTX_T* ctx, const char* value) noexcept;
using SWITCH_AFTER_T = int (*)(SERVICE_MONITOR_CTX_T* ctx, int code, const char* key,
                               const char* value) noexcept;

struct METHOD_ENTRY_T {
    const char* member;
    METHOD_HANDLER_T handler;
};

struct CONFIG_SWITCH_ENTRY_T {
    const char* key;
    SWITCH_HANDLER_T handler;
    SWITCH_AFTER_T after;  // null: none
};

constexpr int kReplyBufferSize = 256;

// The method table: four rows, no terminating row.
[[nodiscard]] const METHOD_ENTRY_T* get_method_table();
[[nodiscard]] int get_method_count();
// The switch table's row for exactly this key, or null.
[[nodiscard]] const CONFIG_SWITCH_ENTRY_T* find_config_switch(const char* key);

int service_monitor_module_introspect(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept;
int service_monitor_module_notify_config(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept;
int service_monitor_module_get_self_describing(SERVICE_MONITOR_CTX_T* ctx,
                                               DBusMessage* msg) noexcept;
int service_monitor_module_post_metric_data(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept;

// The switch handlers: the action's result, 0 on success.
int switch_zeb(SERVICE_MONITOR_CTX_T* ctx, const char* value) noexcept;
int switch_dps(SERVICE_MONITOR_CTX_T* ctx, const char* value) noexcept;
int switch_zeb_after(SERVICE_MONITOR_CTX_T* ctx, int code, const char* key,
                     const char* value) noexcept;

// Applies a switch value read from the configuration manager as notify_config would (the
// after-handler included), but only when it differs from the value in force: a change
// whose notify_config was missed while the configuration manager was away.
void apply_stored_switch(SERVICE_MONITOR_CTX_T* ctx, const char* key, const char* value);

// Launch the DPS start or stop script detached; always 0.
int start_dps();
int stop_dps();
// What launches a DPS script: process_deamon's shape (path, process name). Unit tests put
// in their own, so that a test never starts a gateway script that exists on the machine;
// null puts process_deamon back.
using DPS_RUNNER_T = int (*)(const char* path, const char* cmd);
void set_dps_runner(DPS_RUNNER_T runner);

// The introspection document, one line.
extern const char kIntrospectXml[];

#endif
