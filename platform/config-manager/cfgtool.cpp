// cfgtool: reads and changes the gateway configuration through the configuration manager.
//
// Usage: cfgtool [--address BUS] [--timeout MS] COMMAND
//   get KEY          prints the value alone (one line)
//   set KEY VALUE    stores VALUE (subscribers are notified)
//   delete KEY       removes KEY
//   list             prints every entry as "key<TAB>value" with \\ \t \r \n escapes
// Exit status: 0 done, 1 failure (message on stderr), 2 usage error.
#include <dbus/dbus.h>
#include <getopt.h>

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <string>

#include "config_manager.h"
#include "config_manager_protocol.h"
#include "standin_raii.h"

namespace {

const char kUsage[] =
    "usage: cfgtool [--address BUS] [--timeout MS] get KEY | set KEY VALUE | delete KEY | list\n";

const char* describe(int code) {
    switch (code) {
    case CONFIG_ERR_NOT_FOUND: return "no such key";
    case CONFIG_ERR_INVALID: return "invalid key or value (empty key, or not UTF-8 text)";
    case CONFIG_ERR_NO_SERVICE: return "the configuration manager is not running";
    case CONFIG_ERR_TIMEOUT: return "the configuration manager did not answer in time";
    case CONFIG_ERR_STORE: return "the configuration manager could not store the change";
    case CONFIG_ERR_PROTOCOL: return "unexpected answer from the configuration manager";
    default: return "bus failure";
    }
}

struct Connection {
    Connection() = default;
    Connection(const Connection&) = delete;
    Connection& operator=(const Connection&) = delete;
    ~Connection() {
        if (conn != nullptr) {
            dbus_connection_close(conn);
            dbus_connection_unref(conn);
        }
    }
    DBusConnection* conn = nullptr;
};

bool connect(const char* address, Connection* out) {
    ScopedDBusError error;
    out->conn = dbus_connection_open_private(address, error.get());
    if (out->conn != nullptr) {
        dbus_connection_set_exit_on_disconnect(out->conn, FALSE);
        if (dbus_bus_register(out->conn, error.get())) return true;
    }
    fprintf(stderr, "cfgtool: cannot connect to %s: %s\n", address,
            error.isSet() ? error.get()->message : "unknown error");
    return false;
}

int fail(const char* what, const char* key, int code) {
    fprintf(stderr, "cfgtool: %s%s%s: %s (%d)\n", what, key != nullptr ? " " : "",
            key != nullptr ? key : "", describe(code), code);
    return 1;
}

int run(DBusConnection* conn, int argc, char** argv, int timeout) {
    const std::string cmd = argv[0];
    if (cmd == "get" && argc == 2) {
        char* raw = nullptr;
        const int code = get_config(conn, argv[1], &raw, timeout);
        const MallocPtr<char> value(raw);
        if (code != CONFIG_OK) return fail("get", argv[1], code);
        printf("%s\n", value.get());
        return 0;
    }
    if (cmd == "set" && argc == 3) {
        const int code = set_config(conn, argv[1], argv[2], timeout);
        return code == CONFIG_OK ? 0 : fail("set", argv[1], code);
    }
    if (cmd == "delete" && argc == 2) {
        const int code = delete_config(conn, argv[1], timeout);
        return code == CONFIG_OK ? 0 : fail("delete", argv[1], code);
    }
    if (cmd == "list" && argc == 1) {
        char* raw = nullptr;
        const int code = list_config(conn, &raw, timeout);
        const MallocPtr<char> listing(raw);
        if (code != CONFIG_OK) return fail("list", nullptr, code);
        fputs(listing.get(), stdout);
        return 0;
    }
    fputs(kUsage, stderr);
    return 2;
}

}  // namespace

int main(int argc, char** argv) {
    static const option kLong[] = {{"address", required_argument, nullptr, 'a'},
                                   {"timeout", required_argument, nullptr, 't'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    const char* address = kDefaultBusAddress;
    int timeout = 3000;
    int c = 0;
    // "+": options end at the command, so values such as "-1" are taken as they are.
    while ((c = getopt_long(argc, argv, "+a:t:h", kLong, nullptr)) != -1) {
        switch (c) {
        case 'a': address = optarg; break;
        case 't': timeout = atoi(optarg); break;
        case 'h': fputs(kUsage, stdout); return 0;
        default: fputs(kUsage, stderr); return 2;
        }
    }
    if (optind >= argc) {
        fputs(kUsage, stderr);
        return 2;
    }
    Connection bus;
    if (!connect(address, &bus)) return 1;
    const int status = run(bus.conn, argc - optind, argv + optind, timeout);
    fflush(stdout);
    return ferror(stdout) ? 1 : status;
}
