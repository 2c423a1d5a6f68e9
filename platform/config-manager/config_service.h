// The configuration-manager service: answers the calls of config_manager_protocol.h on
// one bus connection, keeps the entries in memory and in the store file, and notifies
// subscribers.
//
// Notifications never wait: notify_config is sent and its answer is handled when it
// arrives in the service's own loop, so a subscriber may call back into the service
// while it handles one. At most kMaxUnanswered notifications per subscriber are on the
// way at a time (the bus limits how many calls of one connection may await an answer);
// further changes wait in the subscriber's queue, where a newer value of a key replaces
// the older one, and go out as answers (or bus errors) arrive.
#ifndef GATEWAY_CONFIG_SERVICE_H
#define GATEWAY_CONFIG_SERVICE_H

#include <dbus/dbus.h>

#include <cstdint>
#include <deque>
#include <map>
#include <string>
#include <utility>

#include "config_store.h"

class ConfigService {
public:
    static constexpr int kMaxUnanswered = 4;

    ConfigService(DBusConnection* conn, std::string storePath, cfgstore::Entries entries);

    // Handles one message popped from the connection.
    void handle(DBusMessage* msg) noexcept;

private:
    struct Subscriber {
        std::map<std::string, int> keys;  // key -> subscription type
        int unanswered = 0;
        std::deque<std::pair<std::string, std::string>> queue;  // key, value
    };

    void handleCall(DBusMessage* call);
    void handleAnswer(DBusMessage* answer);
    void onGet(DBusMessage* call);
    void onSet(DBusMessage* call);
    void onDelete(DBusMessage* call);
    void onList(DBusMessage* call);
    void onSubscribe(DBusMessage* call);
    void onUnsubscribe(DBusMessage* call);

    [[nodiscard]] bool persist();
    void notifyChange(const std::string& key, const std::string& value);
    void enqueue(const std::string& name, Subscriber* sub, const std::string& key,
                 const std::string& value);
    void flush(const std::string& name, Subscriber* sub);
    void reply(DBusMessage* call, int code, const char* text = nullptr);
    void forget(const std::string& name);

    DBusConnection* conn_;
    const std::string storePath_;
    cfgstore::Entries entries_;
    std::map<std::string, Subscriber> subscribers_;  // by bus name
    std::map<uint32_t, std::string> inFlight_;       // notification serial -> subscriber
};

#endif
