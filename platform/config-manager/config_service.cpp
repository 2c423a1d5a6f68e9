#include "config_service.h"

#include <cstdio>
#include <cstring>

#include "config_manager.h"
#include "config_manager_protocol.h"
#include "standin_raii.h"

ConfigService::ConfigService(DBusConnection* conn, std::string storePath,
                             cfgstore::Entries entries)
    : conn_(conn), storePath_(std::move(storePath)), entries_(std::move(entries)) {}

void ConfigService::handle(DBusMessage* msg) noexcept {
    try {
        switch (dbus_message_get_type(msg)) {
        case DBUS_MESSAGE_TYPE_METHOD_CALL: handleCall(msg); break;
        case DBUS_MESSAGE_TYPE_METHOD_RETURN:
        case DBUS_MESSAGE_TYPE_ERROR: handleAnswer(msg); break;
        default: break;  // signals of the bus itself
        }
    } catch (const std::exception& e) {
        fprintf(stderr, "config_manager_service: dropped a message: %s\n", e.what());
    } catch (...) {
        fprintf(stderr, "config_manager_service: dropped a message\n");
    }
}

void ConfigService::handleCall(DBusMessage* call) {
    using Handler = void (ConfigService::*)(DBusMessage*);
    static const std::pair<const char*, Handler> kMethods[] = {
        {kMethodGet, &ConfigService::onGet},
        {kMethodSet, &ConfigService::onSet},
        {kMethodDelete, &ConfigService::onDelete},
        {kMethodList, &ConfigService::onList},
        {kMethodSubscribe, &ConfigService::onSubscribe},
        {kMethodUnsubscribe, &ConfigService::onUnsubscribe},
    };
    const char* iface = dbus_message_get_interface(call);
    const char* member = dbus_message_get_member(call);
    if (member != nullptr && (iface == nullptr || strcmp(iface, kConfigInterface) == 0)) {
        for (const auto& [name, handler] : kMethods) {
            if (strcmp(member, name) == 0) {
                (this->*handler)(call);
                return;
            }
        }
    }
    if (dbus_message_get_no_reply(call)) return;
    const DBusMessagePtr error(dbus_message_new_error(call, DBUS_ERROR_UNKNOWN_METHOD,
                                                      "no such method"));
    if (error) dbus_connection_send(conn_, error.get(), nullptr);
}

void ConfigService::reply(DBusMessage* call, int code, const char* text) {
    if (dbus_message_get_no_reply(call)) return;
    const DBusMessagePtr ret(dbus_message_new_method_return(call));
    if (!ret) return;
    const dbus_int32_t value = code;
    bool ok = dbus_message_append_args(ret.get(), DBUS_TYPE_INT32, &value, DBUS_TYPE_INVALID);
    if (ok && text != nullptr) {
        ok = dbus_message_append_args(ret.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID);
    }
    if (ok) dbus_connection_send(conn_, ret.get(), nullptr);
}

void ConfigService::onGet(DBusMessage* call) {
    const char* key = nullptr;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &key, DBUS_TYPE_INVALID)) {
        reply(call, CONFIG_ERR_INVALID, "");
        return;
    }
    const auto it = entries_.find(key);
    if (it == entries_.end()) {
        reply(call, CONFIG_ERR_NOT_FOUND, "");
    } else {
        reply(call, CONFIG_OK, it->second.c_str());
    }
}

void ConfigService::onSet(DBusMessage* call) {
    const char* key = nullptr;
    const char* value = nullptr;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &key, DBUS_TYPE_STRING, &value,
                               DBUS_TYPE_INVALID) ||
        *key == '\0') {
        reply(call, CONFIG_ERR_INVALID);
        return;
    }
    const auto old = entries_.find(key);
    const bool existed = old != entries_.end();
    const std::string previous = existed ? old->second : std::string();
    entries_[key] = value;
    if (!persist()) {
        if (existed) {
            entries_[key] = previous;
        } else {
            entries_.erase(key);
        }
        reply(call, CONFIG_ERR_STORE);
        return;
    }
    reply(call, CONFIG_OK);
    notifyChange(key, value);
}

void ConfigService::onDelete(DBusMessage* call) {
    const char* key = nullptr;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &key, DBUS_TYPE_INVALID)) {
        reply(call, CONFIG_ERR_INVALID);
        return;
    }
    const auto it = entries_.find(key);
    if (it == entries_.end()) {
        reply(call, CONFIG_ERR_NOT_FOUND);
        return;
    }
    const std::string previous = it->second;
    entries_.erase(it);
    if (!persist()) {
        entries_[key] = previous;
        reply(call, CONFIG_ERR_STORE);
        return;
    }
    reply(call, CONFIG_OK);
    notifyChange(key, "");  // a deleted key reads as empty to its subscribers
}

void ConfigService::onList(DBusMessage* call) {
    const std::string listing = cfgstore::formatEntries(entries_);
    reply(call, CONFIG_OK, listing.c_str());
}

void ConfigService::onSubscribe(DBusMessage* call) {
    const char* name = nullptr;
    const char* key = nullptr;
    dbus_int32_t type = 0;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &key,
                               DBUS_TYPE_INT32, &type, DBUS_TYPE_INVALID) ||
        !dbus_validate_bus_name(name, nullptr) || *key == '\0') {
        reply(call, CONFIG_ERR_INVALID);
        return;
    }
    subscribers_[name].keys[key] = type;
    reply(call, CONFIG_OK);
}

void ConfigService::onUnsubscribe(DBusMessage* call) {
    const char* name = nullptr;
    const char* key = nullptr;
    if (!dbus_message_get_args(call, nullptr, DBUS_TYPE_STRING, &name, DBUS_TYPE_STRING, &key,
                               DBUS_TYPE_INVALID)) {
        reply(call, CONFIG_ERR_INVALID);
        return;
    }
    const auto it = subscribers_.find(name);
    if (it != subscribers_.end()) {
        Subscriber& sub = it->second;
        sub.keys.erase(key);
        for (auto q = sub.queue.begin(); q != sub.queue.end();) {
            q = q->first == key ? sub.queue.erase(q) : q + 1;
        }
        forget(name);
    }
    reply(call, CONFIG_OK);
}

// Drops a subscriber record once nothing refers to it any more.
void ConfigService::forget(const std::string& name) {
    const auto it = subscribers_.find(name);
    if (it != subscribers_.end() && it->second.keys.empty() && it->second.queue.empty() &&
        it->second.unanswered == 0) {
        subscribers_.erase(it);
    }
}

bool ConfigService::persist() {
    std::string error;
    if (!cfgstore::saveStoreFile(storePath_, entries_, &error)) {
        fprintf(stderr, "config_manager_service: change not stored: %s\n", error.c_str());
        return false;
    }
    if (!error.empty()) fprintf(stderr, "config_manager_service: warning: %s\n", error.c_str());
    return true;
}

void ConfigService::notifyChange(const std::string& key, const std::string& value) {
    for (auto& [name, sub] : subscribers_) {
        if (sub.keys.count(key) != 0) enqueue(name, &sub, key, value);
    }
}

void ConfigService::enqueue(const std::string& name, Subscriber* sub, const std::string& key,
                            const std::string& value) {
    bool queued = false;
    for (auto& entry : sub->queue) {
        if (entry.first == key) {
            entry.second = value;
            queued = true;
        }
    }
    if (!queued) sub->queue.emplace_back(key, value);
    flush(name, sub);
}

void ConfigService::flush(const std::string& name, Subscriber* sub) {
    while (sub->unanswered < kMaxUnanswered && !sub->queue.empty()) {
        const auto& [key, value] = sub->queue.front();
        const DBusMessagePtr call(dbus_message_new_method_call(name.c_str(), kConfigPath,
                                                               kConfigInterface, kMethodNotify));
        if (!call) return;
        const char* k = key.c_str();
        const char* v = value.c_str();
        dbus_uint32_t serial = 0;
        dbus_message_set_auto_start(call.get(), FALSE);
        if (!dbus_message_append_args(call.get(), DBUS_TYPE_STRING, &k, DBUS_TYPE_STRING, &v,
                                      DBUS_TYPE_INVALID) ||
            !dbus_connection_send(conn_, call.get(), &serial)) {
            return;  // out of memory: the entry stays queued for the next answer
        }
        inFlight_[serial] = name;
        ++sub->unanswered;
        sub->queue.pop_front();
    }
}

void ConfigService::handleAnswer(DBusMessage* answer) {
    const auto it = inFlight_.find(dbus_message_get_reply_serial(answer));
    if (it == inFlight_.end()) return;
    const std::string name = it->second;
    inFlight_.erase(it);
    if (dbus_message_get_type(answer) == DBUS_MESSAGE_TYPE_ERROR) {
        fprintf(stderr, "config_manager_service: notify_config to %s failed: %s\n", name.c_str(),
                dbus_message_get_error_name(answer));
    }
    const auto sub = subscribers_.find(name);
    if (sub == subscribers_.end()) return;
    --sub->second.unanswered;
    flush(name, &sub->second);
    forget(name);
}
