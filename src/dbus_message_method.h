// The bus methods served under the daemon's name, the configuration-switch table behind
// notify_config, and the DPS script runners.
#ifndef SERVICE_MONITOR_DBUS_MESSAGE_METHOD_H
#define SERVICE_MONITOR_DBUS_MESSAGE_METHOD_H

#include <dbus/dbus.h>

#include "service_monitor.h"

using METHOD_HANDLER_T = int (*)(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg);

struct METHOD_ENTRY_T {
    const char* member;
    METHOD_HANDLER_T handler;
};

struct CONFIG_SWITCH_ENTRY_T {
    const char* key;
    int (*handler)(SERVICE_MONITOR_CTX_T* ctx, const char* value);
    int (*after)(SERVICE_MONITOR_CTX_T* ctx, int code, const char* key, const char* value);
};

constexpr int kReplyBufferSize = 256;

// The method table: four rows, no terminating row.
const METHOD_ENTRY_T* get_method_table();
int get_method_count();

int service_monitor_module_introspect(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg);
int service_monitor_module_notify_config(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg);
int service_monitor_module_get_self_describing(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg);
int service_monitor_module_post_metric_data(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg);

int switch_zeb(SERVICE_MONITOR_CTX_T* ctx, const char* value);
int switch_dps(SERVICE_MONITOR_CTX_T* ctx, const char* value);
int switch_zeb_after(SERVICE_MONITOR_CTX_T* ctx, int code, const char* key, const char* value);

// Applies a switch value read from the configuration manager as notify_config would (the
// after-handler included), but only when it differs from the value in force: a change
// whose notify_config was missed while the configuration manager was away.
void apply_stored_switch(SERVICE_MONITOR_CTX_T* ctx, const char* key, const char* value);

// Launch the DPS start or stop script detached; always 0.
int start_dps();
int stop_dps();

// The introspection document, one line.
extern const char kIntrospectXml[];

#endif
