// One PostMetricData client: calls the destination CALLS times, one call at a time, each
// request carrying ENTRIES samples stamped with the current time, and prints
// {"calls":N,"seconds":S,"failed":F} (F: transport errors and replies whose code is not 0;
// an echo's reply, being the request, has no code and counts as answered).
//
// Usage: ingest_client BUS_ADDRESS DEST ENTRIES CALLS
#include <dbus/dbus.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

namespace {

std::string request(int entries, long id) {
    const long long ts = std::chrono::duration_cast<std::chrono::milliseconds>(
                             std::chrono::system_clock::now().time_since_epoch())
                             .count();
    std::string text = "{\"id\":\"bench-" + std::to_string(id) + "\",\"ts\":" +
                       std::to_string(ts) + ",\"moduleName\":\"bench/ingest\",\"params\":[";
    for (int i = 0; i < entries; ++i) {
        if (i != 0) text += ",";
        text += "{\"metricName\":\"metric" + std::to_string(i) + "\",\"value\":" +
                std::to_string(i * 3 + 1) + ",\"collectRule\":\"" +
                (i % 3 == 0 ? "update" : i % 3 == 1 ? "accumulate" : "avg") + "\"}";
    }
    return text + "]}";
}

// True when the call was answered and, for the daemon's reply, with code 0.
bool call(DBusConnection* conn, const char* dest, const std::string& body) {
    DBusMessage* msg = dbus_message_new_method_call(dest, "/iot/dmp/service/monitor",
                                                    "iot.dmp.service.monitor", "PostMetricData");
    const char* text = body.c_str();
    dbus_message_append_args(msg, DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    DBusError error;
    dbus_error_init(&error);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(conn, msg, 10000, &error);
    dbus_message_unref(msg);
    if (reply == nullptr) {
        dbus_error_free(&error);
        return false;
    }
    const char* answer = "";
    bool ok = dbus_message_get_args(reply, &error, DBUS_TYPE_STRING, &answer, DBUS_TYPE_INVALID);
    dbus_error_free(&error);
    ok = ok && (strstr(answer, "\"code\":") == nullptr || strstr(answer, "\"code\":0,") != nullptr);
    dbus_message_unref(reply);
    return ok;
}

}  // namespace

int main(int argc, char** argv) {
    if (argc != 5) {
        fprintf(stderr, "usage: %s BUS_ADDRESS DEST ENTRIES CALLS\n", argv[0]);
        return 2;
    }
    const int entries = atoi(argv[3]);
    const long calls = atol(argv[4]);
    DBusError error;
    dbus_error_init(&error);
    DBusConnection* conn = dbus_connection_open_private(argv[1], &error);
    if (conn == nullptr || !dbus_bus_register(conn, &error)) {
        fprintf(stderr, "client: %s\n", error.message != nullptr ? error.message : "no bus");
        return 1;
    }
    long failed = 0;
    const auto start = std::chrono::steady_clock::now();
    for (long i = 0; i < calls; ++i) failed += call(conn, argv[2], request(entries, i)) ? 0 : 1;
    const double seconds =
        std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
    printf("{\"calls\":%ld,\"seconds\":%.4f,\"failed\":%ld}\n", calls, seconds, failed);
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return 0;
}
