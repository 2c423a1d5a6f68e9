#include "self_describing.h"

#include <cjson/cJSON.h>

#include <memory>
#include <mutex>
#include <new>
#include <string>
#include <utility>
#include <vector>

#include "standin_raii.h"

namespace {

struct CJsonDeleter {
    void operator()(cJSON* j) const noexcept { cJSON_Delete(j); }
};
struct CJsonTextDeleter {
    void operator()(char* t) const noexcept { cJSON_free(t); }
};
using CJsonPtr = std::unique_ptr<cJSON, CJsonDeleter>;
using CJsonText = std::unique_ptr<char, CJsonTextDeleter>;

struct Ability {
    std::string name;
    std::string description;
    bool hasDescription;
};

std::mutex g_lock;  // guards g_abilities
std::vector<Ability> g_abilities;

cJSON* describe(const Ability& ability) {
    if (!ability.hasDescription) return cJSON_CreateNull();
    cJSON* parsed = cJSON_ParseWithOpts(ability.description.c_str(), nullptr, 1);
    return parsed != nullptr ? parsed : cJSON_CreateString(ability.description.c_str());
}

// The answer document, or null when memory ran out.
CJsonText buildDocument() {
    const CJsonPtr root(cJSON_CreateObject());
    cJSON* list = root ? cJSON_AddArrayToObject(root.get(), "abilities") : nullptr;
    if (list == nullptr) return nullptr;
    const std::lock_guard<std::mutex> lock(g_lock);
    for (const Ability& ability : g_abilities) {
        cJSON* item = cJSON_CreateObject();
        if (item == nullptr) return nullptr;
        cJSON_AddItemToArray(list, item);
        cJSON* description = describe(ability);
        if (cJSON_AddStringToObject(item, "name", ability.name.c_str()) == nullptr ||
            description == nullptr) {
            cJSON_Delete(description);
            return nullptr;
        }
        cJSON_AddItemToObject(item, "description", description);
    }
    return CJsonText(cJSON_PrintUnformatted(root.get()));
}

}  // namespace

extern "C" int registerAbility(DBusConnection* /*conn*/, const char* name,
                               const char* description) {
    if (name == nullptr || *name == '\0' || !dbus_validate_utf8(name, nullptr) ||
        (description != nullptr && !dbus_validate_utf8(description, nullptr))) {
        return -1;
    }
    try {
        Ability ability{name, description != nullptr ? description : "", description != nullptr};
        const std::lock_guard<std::mutex> lock(g_lock);
        for (Ability& known : g_abilities) {
            if (known.name == ability.name) {
                known = std::move(ability);
                return 0;
            }
        }
        g_abilities.push_back(std::move(ability));
        return 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}

extern "C" int methodCall_getAbilitiesMethod(DBusConnection* conn, DBusMessage* call) {
    if (conn == nullptr || call == nullptr ||
        dbus_message_get_type(call) != DBUS_MESSAGE_TYPE_METHOD_CALL) {
        return -1;
    }
    if (dbus_message_get_no_reply(call)) return 0;
    try {
        const CJsonText document = buildDocument();
        const DBusMessagePtr reply(document ? dbus_message_new_method_return(call) : nullptr);
        const char* text = document.get();
        if (!reply ||
            !dbus_message_append_args(reply.get(), DBUS_TYPE_STRING, &text, DBUS_TYPE_INVALID) ||
            !dbus_connection_send(conn, reply.get(), nullptr)) {
            return -1;
        }
        return 0;
    } catch (const std::bad_alloc&) {
        return -1;
    }
}
