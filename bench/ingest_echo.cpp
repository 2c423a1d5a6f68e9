// The reference the ingestion path is measured against: the simplest libdbus service that
// owns a name on the gateway bus and answers every method call with its first string
// argument, pumped as the daemon pumps (blocking read/write, then pop every message). Per
// call it does only what any libdbus service must: take the message, read the string,
// build and send the reply.
//
// Usage: ingest_echo BUS_ADDRESS NAME   (ends on SIGINT or SIGTERM)
#include <dbus/dbus.h>

#include <csignal>
#include <cstdio>

namespace {

volatile sig_atomic_t g_stop = 0;

void onSignal(int) { g_stop = 1; }

// The reply carries the call's first argument when it is a string, else the empty string:
// one iterator to read it, one to write it, nothing a service would not do anyway.
void answer(DBusConnection* conn, DBusMessage* call) {
    DBusMessage* reply = dbus_message_new_method_return(call);
    if (reply == nullptr) return;
    const char* text = "";
    DBusMessageIter args;
    if (dbus_message_iter_init(call, &args) &&
        dbus_message_iter_get_arg_type(&args) == DBUS_TYPE_STRING) {
        dbus_message_iter_get_basic(&args, &text);
    }
    dbus_message_iter_init_append(reply, &args);
    if (dbus_message_iter_append_basic(&args, DBUS_TYPE_STRING, &text)) {
        dbus_connection_send(conn, reply, nullptr);
    }
    dbus_message_unref(reply);
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 3) {
        fprintf(stderr, "usage: %s BUS_ADDRESS NAME\n", argv[0]);
        return 2;
    }
    signal(SIGINT, onSignal);
    signal(SIGTERM, onSignal);
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* conn = dbus_connection_open_private(argv[1], &error);
    if (conn == nullptr || !dbus_bus_register(conn, &error) ||
        dbus_bus_request_name(conn, argv[2], DBUS_NAME_FLAG_DO_NOT_QUEUE, &error) !=
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        fprintf(stderr, "echo: %s\n", error.message != nullptr ? error.message : "no name");
        return 1;
    }
    printf("echo ready\n");
    fflush(stdout);
    while (g_stop == 0 && dbus_connection_read_write(conn, 1000)) {
        for (DBusMessage* msg = dbus_connection_pop_message(conn); msg != nullptr;
             msg = dbus_connection_pop_message(conn)) {
            if (dbus_message_get_type(msg) == DBUS_MESSAGE_TYPE_METHOD_CALL) answer(conn, msg);
            dbus_message_unref(msg);
        }
    }
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return 0;
}
