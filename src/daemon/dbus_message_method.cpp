#include "dbus_message_method.h"

#include <atomic>
#include <cstdlib>
#include <cstring>

#include "common.h"
#include "msg_handler.h"
#include "raii.h"
#include "self_describing.h"
#include "service_monitor_metric_manager.h"

const char kIntrospectXml[] =
    " <!DOCTYPE node PUBLIC \"-//freedesktop//DTD D-BUS Object Introspection 1.0//EN\""
    " \"http://www.freedesktop.org/standards/dbus/1.0/introspect.dtd\">"
    " <!-- dbus-sharp 0.8.1 -->"
    " <node>"
    "   <interface name=\"org.freedesktop.DBus.Introspectable\">"
    "     <method name=\"Introspect\">"
    "       <arg name=\"data\" direction=\"out\" type=\"s\" />"
    "     </method>"
    "   </interface>"
    "   <interface name=\"iot.dmp.service.monitor\">"
    "     <method name=\"notify_config\">"
    "       <arg name=\"key\" direction=\"in\" type=\"s\" />"
    "       <arg name=\"value\" direction=\"out\" type=\"s\" />"
    "       <arg name=\"code\" direction=\"out\" type=\"i\" />"
    "     </method>"
    "   </interface>"
    " </node>";

namespace {

constexpr const char* kStartDpsPath = "/harbex/gateway/build/bin/dps/script/startDPS.sh";
constexpr const char* kStopDpsPath = "/harbex/gateway/build/bin/dps/script/stopDPS.sh";
std::atomic<DPS_RUNNER_T> g_dpsRunner{process_deamon};

const METHOD_ENTRY_T kMethodTable[] = {
    {"Introspect", service_monitor_module_introspect},
    {"notify_config", service_monitor_module_notify_config},
    {"getSelfDescribing", service_monitor_module_get_self_describing},
    {"PostMetricData", service_monitor_module_post_metric_data},
};

const CONFIG_SWITCH_ENTRY_T kSwitchTable[] = {
    {kZebSwitchKey, switch_zeb, switch_zeb_after},
    {kDpsSwitchKey, switch_dps, nullptr},
};

// A reply that cannot be queued is lost like one the bus drops: the caller times out.
void sendReply(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* reply) {
    (void)dbus_connection_send(ctx->bus_conn.get(), reply, nullptr);
}

// The call's first argument when it is a string; else false, with the bus library's own
// account of the mismatch logged. The iterator spares the variadic reader and its error
// record on every well-formed call.
bool readStringArgument(DBusMessage* msg, const char** text) {
    DBusMessageIter args;
    if (dbus_message_iter_init(msg, &args) &&
        dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_STRING) {
        dbus_message_iter_get_basic(&args, text);
        return true;
    }
    ScopedDBusError err;
    (void)dbus_message_get_args(msg, err.get(), DBUS_TYPE_STRING, text, DBUS_TYPE_INVALID);
    return check_and_abort(err.get()) == 0;
}

}  // namespace

const METHOD_ENTRY_T* get_method_table() { return kMethodTable; }

int get_method_count() { return static_cast<int>(sizeof kMethodTable / sizeof kMethodTable[0]); }

const CONFIG_SWITCH_ENTRY_T* find_config_switch(const char* key) {
    for (const auto& row : kSwitchTable) {
        if (strcmp(row.key, key) == 0) return &row;
    }
    return nullptr;
}

int service_monitor_module_introspect(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept {
    SM_LOG(0, "service_monitor_module_introspect to be called\n");
    DBusMessagePtr reply(dbus_message_new_method_return(msg));
    const char* doc = kIntrospectXml;
    if (!reply || !dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &doc, DBUS_TYPE_INVALID)) {
        return -1;
    }
    sendReply(ctx, reply.get());
    return 0;
}

int service_monitor_module_notify_config(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept {
    SM_LOG(0, "service_monitor_module_notify_config to be called\n");
    dbus_int32_t code = -1;
    DBusMessagePtr reply(dbus_message_new_method_return(msg));
    const CONFIG_SWITCH_ENTRY_T* row = nullptr;
    const char* key = nullptr;
    const char* value = nullptr;
    ScopedDBusError err;
    (void)dbus_message_get_args(msg, err.get(), DBUS_TYPE_STRING, &key, DBUS_TYPE_STRING,
                                &value, DBUS_TYPE_INVALID);  // checked through err
    if (check_and_abort(err.get()) != 0) {
        SM_LOG(2, "dbus_message_get_args() failed\n");
    } else {
        SM_LOG(1, "notify_config, %s:%s\n", key, value);
        row = find_config_switch(key);
        if (row != nullptr) {
            code = row->handler(ctx, value);
        } else {
            SM_LOG(2, "No %s handler was found\n", key);
        }
    }
    if (!reply) return -1;
    dbus_message_append_args(reply.get(), DBUS_TYPE_INT32, &code, DBUS_TYPE_INVALID);
    sendReply(ctx, reply.get());
    // The caller has its answer before the after-handler runs.
    if (row != nullptr && row->after != nullptr) (void)row->after(ctx, code, key, value);
    return 0;
}

int service_monitor_module_get_self_describing(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept {
    return methodCall_getAbilitiesMethod(ctx->bus_conn.get(), msg);
}

int service_monitor_module_post_metric_data(SERVICE_MONITOR_CTX_T* ctx, DBusMessage* msg) noexcept {
    char replyText[kReplyBufferSize] = {};
    DBusMessagePtr reply(dbus_message_new_method_return(msg));
    const char* data = nullptr;
    if (!readStringArgument(msg, &data)) return -1;
    SM_LOG(0, "receive data:%s\n", data);
    if (post_metric_data(ctx->metric_manager, data, replyText) != 0) {
        SM_LOG(2, "post metric data failed,errMsg:%s\n", replyText);
    }
    const char* text = replyText;
    DBusMessageIter args;
    if (!reply) return -1;
    dbus_message_iter_init_append(reply.get(), &args);
    if (!dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &text)) return -1;
    sendReply(ctx, reply.get());
    return 0;
}

void apply_stored_switch(SERVICE_MONITOR_CTX_T* ctx, const char* key, const char* value) {
    const CONFIG_SWITCH_ENTRY_T* row = find_config_switch(key);
    if (row == nullptr) return;
    const int wanted = switch_text_is_on(value) ? 1 : 0;
    if (msg_handler_switch_in_force(key) == wanted) return;
    SM_LOG(1, "config(%s) changed to %s while not notified\n", key, value);
    const int code = row->handler(ctx, value);
    if (row->after != nullptr) (void)row->after(ctx, code, key, value);
}

int switch_zeb(SERVICE_MONITOR_CTX_T* ctx, const char* value) noexcept {
    const int number = atoi(value);
    const int ret = msg_handler_switch_zeb(ctx, number);
    if (ret == 0) {
        SM_LOG(1, "switch zeb success! value = %d\n", number);
    } else {
        SM_LOG(2, "switch zeb failed! value = %d\n", number);
    }
    return ret;
}

int switch_dps(SERVICE_MONITOR_CTX_T* ctx, const char* value) noexcept {
    const int number = atoi(value);
    const int ret = msg_handler_switch_dps(ctx, number);
    if (ret == 0) {
        SM_LOG(1, "switch dps success! value = %d\n", number);
    } else {
        SM_LOG(2, "switch dps failed! value = %d\n", number);
    }
    return ret;
}

int switch_zeb_after(SERVICE_MONITOR_CTX_T* ctx, int code, const char* /*key*/,
                     const char* /*value*/) noexcept {
    if (ctx == nullptr) {
        SM_LOG(3, "The params is NULL\n");
        return -1;
    }
    if (code == 0 && msg_handler_report_zeb_serialnum(ctx) != 0) {
        SM_LOG(2, "report serialnum failed\n");
        return -1;
    }
    return 0;
}

int start_dps() {
    (void)g_dpsRunner.load()(kStartDpsPath, "startDPS.sh");
    return 0;
}

int stop_dps() {
    (void)g_dpsRunner.load()(kStopDpsPath, "stopDPS.sh");
    return 0;
}

void set_dps_runner(DPS_RUNNER_T runner) {
    g_dpsRunner = runner != nullptr ? runner : process_deamon;
}
