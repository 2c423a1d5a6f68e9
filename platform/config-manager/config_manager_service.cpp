// config_manager_service: the gateway configuration-manager service.
//
// Usage: config_manager_service [--address BUS] [--store FILE]
//   --address  bus to join (default unix:path=/tmp/var/run/mbusd/mbusd_socket)
//   --store    store file (default /etc/gateway/config.store; its folder is created)
//
// Seeding: write the store file before start in the format described in config_store.h
// (for instance "gw_zeb_switch<TAB>1" lines), or run "cfgtool set KEY VALUE" once the
// service is up. A store with unreadable lines is reported on stderr, copied to
// FILE.corrupt, and served with the entries that could be read.
//
// Runs until SIGINT or SIGTERM (exit 0); exit 1 when it cannot start or loses the bus,
// 2 on a usage error.
#include <dbus/dbus.h>
#include <getopt.h>
#include <signal.h>
#include <sys/stat.h>
#include <unistd.h>

#include <atomic>
#include <cerrno>
#include <cstdio>
#include <cstring>
#include <string>

#include "config_manager_protocol.h"
#include "config_service.h"
#include "config_store.h"
#include "standin_raii.h"

namespace {

std::atomic<bool> g_stop{false};

struct Options {
    std::string address = kDefaultBusAddress;
    std::string store = kDefaultStorePath;
};

void onStopSignal(int) { g_stop.store(true); }

void installSignals() {
    struct sigaction sa {};
    sa.sa_handler = onStopSignal;
    sigemptyset(&sa.sa_mask);
    sigaction(SIGINT, &sa, nullptr);  // no SA_RESTART: the bus wait returns at once
    sigaction(SIGTERM, &sa, nullptr);
    signal(SIGPIPE, SIG_IGN);
}

// 0 parsed, 1 help shown, 2 usage error.
int parseOptions(int argc, char** argv, Options* opts) {
    static const option kLong[] = {{"address", required_argument, nullptr, 'a'},
                                   {"store", required_argument, nullptr, 's'},
                                   {"help", no_argument, nullptr, 'h'},
                                   {nullptr, 0, nullptr, 0}};
    int c = 0;
    while ((c = getopt_long(argc, argv, "a:s:h", kLong, nullptr)) != -1) {
        switch (c) {
        case 'a': opts->address = optarg; break;
        case 's': opts->store = optarg; break;
        case 'h':
            printf("usage: %s [--address BUS] [--store FILE]\n", argv[0]);
            return 1;
        default: return 2;
        }
    }
    return optind == argc ? 0 : 2;
}

void makeFolders(const std::string& path) {
    for (size_t pos = path.find('/', 1); pos != std::string::npos; pos = path.find('/', pos + 1)) {
        mkdir(path.substr(0, pos).c_str(), 0755);  // failures show up when the store is written
    }
}

void keepCorruptCopy(const std::string& path) {
    const std::string copy = path + ".corrupt";
    FilePtr in(fopen(path.c_str(), "rb"));
    FilePtr out(fopen(copy.c_str(), "wb"));
    if (!in || !out) {
        fprintf(stderr, "config_manager_service: cannot keep a copy as %s\n", copy.c_str());
        return;
    }
    char buf[8192];
    size_t n = 0;
    while ((n = fread(buf, 1, sizeof buf, in.get())) > 0) fwrite(buf, 1, n, out.get());
    fprintf(stderr, "config_manager_service: original store kept as %s\n", copy.c_str());
}

bool loadStore(const std::string& path, cfgstore::Entries* entries) {
    cfgstore::LoadResult loaded;
    std::string error;
    if (!cfgstore::loadStoreFile(path, &loaded, &error)) {
        fprintf(stderr, "config_manager_service: %s\n", error.c_str());
        return false;
    }
    if (!loaded.problems.empty()) {
        fprintf(stderr, "config_manager_service: store %s is corrupt; %zu unreadable line(s) "
                        "skipped, %zu entries kept\n",
                path.c_str(), loaded.problems.size(), loaded.entries.size());
        for (const auto& problem : loaded.problems) {
            fprintf(stderr, "config_manager_service: %s: %s\n", path.c_str(), problem.c_str());
        }
        keepCorruptCopy(path);
    }
    unlink((path + ".tmp").c_str());  // left by an interrupted write, never the live store
    *entries = std::move(loaded.entries);
    return true;
}

DBusConnection* joinBus(const std::string& address) {
    ScopedDBusError error;
    DBusConnection* conn = dbus_connection_open_private(address.c_str(), error.get());
    if (conn == nullptr) {
        fprintf(stderr, "config_manager_service: cannot connect to %s: %s\n", address.c_str(),
                error.get()->message);
        return nullptr;
    }
    dbus_connection_set_exit_on_disconnect(conn, FALSE);
    if (dbus_bus_register(conn, error.get()) &&
        dbus_bus_request_name(conn, kConfigBusName, DBUS_NAME_FLAG_DO_NOT_QUEUE, error.get()) ==
            DBUS_REQUEST_NAME_REPLY_PRIMARY_OWNER) {
        return conn;
    }
    fprintf(stderr, "config_manager_service: cannot own %s on %s: %s\n", kConfigBusName,
            address.c_str(), error.isSet() ? error.get()->message : "name already taken");
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return nullptr;
}

int serve(DBusConnection* conn, ConfigService* service) {
    while (!g_stop.load()) {
        // libdbus resumes its wait after a signal, so a short wait keeps the stop prompt.
        if (!dbus_connection_read_write(conn, 250)) {
            fprintf(stderr, "config_manager_service: bus connection lost\n");
            return 1;
        }
        while (DBusMessage* raw = dbus_connection_pop_message(conn)) {
            const DBusMessagePtr msg(raw);
            service->handle(msg.get());
        }
    }
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    Options opts;
    const int parsed = parseOptions(argc, argv, &opts);
    if (parsed == 1) return 0;
    if (parsed == 2) {
        fprintf(stderr, "usage: %s [--address BUS] [--store FILE]\n", argv[0]);
        return 2;
    }
    installSignals();
    makeFolders(opts.store);
    cfgstore::Entries entries;
    if (!loadStore(opts.store, &entries)) return 1;
    DBusConnection* conn = joinBus(opts.address);
    if (conn == nullptr) return 1;
    ConfigService service(conn, opts.store, std::move(entries));
    fprintf(stderr, "config_manager_service: serving %s from %s\n", kConfigBusName,
            opts.store.c_str());
    const int status = serve(conn, &service);
    dbus_connection_flush(conn);
    dbus_connection_close(conn);
    dbus_connection_unref(conn);
    return status;
}
