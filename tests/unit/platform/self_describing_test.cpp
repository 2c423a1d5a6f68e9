// The self-description library answering getSelfDescribing on a private bus.
#include <gtest/gtest.h>

#include <cjson/cJSON.h>

#include <string>
#include <thread>
#include <vector>

#include "private_bus.h"
#include "self_describing.h"

namespace {

using testbus::Client;

// Calls getSelfDescribing on the server's name while the server's own thread answers it
// through the library; returns the answer text.
std::string askAbilities(const std::string& address) {
    Client server(address);
    if (!server.own("test.described")) return "<no name>";
    std::atomic<bool> done{false};
    std::thread answer([&] {
        while (!done && dbus_connection_read_write(server.get(), 50)) {
            while (DBusMessage* msg = dbus_connection_pop_message(server.get())) {
                if (dbus_message_is_method_call(msg, "any.iface", "getSelfDescribing")) {
                    EXPECT_EQ(methodCall_getAbilitiesMethod(server.get(), msg), 0);
                    dbus_connection_flush(server.get());
                }
                dbus_message_unref(msg);
            }
        }
    });
    Client client(address);
    DBusMessage* call = dbus_message_new_method_call("test.described", "/", "any.iface",
                                                     "getSelfDescribing");
    const char* ignored = "ignored argument";
    dbus_message_append_args(call, DBUS_TYPE_STRING, &ignored, DBUS_TYPE_INVALID);
    DBusMessage* reply = dbus_connection_send_with_reply_and_block(client.get(), call, 5000, nullptr);
    dbus_message_unref(call);
    done = true;
    answer.join();
    std::string text = "<no reply>";
    const char* value = nullptr;
    if (reply != nullptr &&
        dbus_message_get_args(reply, nullptr, DBUS_TYPE_STRING, &value, DBUS_TYPE_INVALID)) {
        text = value;
    }
    if (reply != nullptr) dbus_message_unref(reply);
    return text;
}

TEST(SelfDescribing, AnswersWithTheRegisteredAbilities) {
    testbus::PrivateBus bus;
    EXPECT_EQ(registerAbility(nullptr, "monitor", "{\"None\": \"None\"}"), 0);
    EXPECT_EQ(registerAbility(nullptr, "plain", "not json {"), 0);
    EXPECT_EQ(registerAbility(nullptr, "trailing", "1 apple"), 0);
    EXPECT_EQ(registerAbility(nullptr, "nothing", nullptr), 0);
    EXPECT_EQ(registerAbility(nullptr, "plain", "[1,2]"), 0);  // replaces
    EXPECT_EQ(registerAbility(nullptr, nullptr, "x"), -1);
    EXPECT_EQ(registerAbility(nullptr, "", "x"), -1);
    EXPECT_EQ(registerAbility(nullptr, "bad", "\xff"), -1);
    EXPECT_EQ(registerAbility(nullptr, "quote\"name", "\"a\\\"b\""), 0);

    EXPECT_EQ(askAbilities(bus.address()),
              "{\"abilities\":[{\"name\":\"monitor\",\"description\":{\"None\":\"None\"}},"
              "{\"name\":\"plain\",\"description\":[1,2]},"
              "{\"name\":\"trailing\",\"description\":\"1 apple\"},"
              "{\"name\":\"nothing\",\"description\":null},"
              "{\"name\":\"quote\\\"name\",\"description\":\"a\\\"b\"}]}");
}

TEST(SelfDescribing, RefusesWhatIsNotACall) {
    EXPECT_EQ(methodCall_getAbilitiesMethod(nullptr, nullptr), -1);
    testbus::PrivateBus bus;
    Client client(bus.address());
    DBusMessage* signal = dbus_message_new_signal("/", "a.b", "getSelfDescribing");
    EXPECT_EQ(methodCall_getAbilitiesMethod(client.get(), signal), -1);
    EXPECT_EQ(methodCall_getAbilitiesMethod(client.get(), nullptr), -1);
    dbus_message_unref(signal);
}

TEST(SelfDescribing, ConcurrentRegistrationsAreAllKept) {
    std::vector<std::thread> threads;
    for (int t = 0; t < 4; ++t) {
        threads.emplace_back([t] {
            for (int i = 0; i < 100; ++i) {
                const std::string name = "conc-" + std::to_string(t) + "-" + std::to_string(i);
                EXPECT_EQ(registerAbility(nullptr, name.c_str(), "{}"), 0);
            }
        });
    }
    for (auto& t : threads) t.join();
    testbus::PrivateBus bus;
    cJSON* doc = cJSON_Parse(askAbilities(bus.address()).c_str());
    ASSERT_NE(doc, nullptr);
    int named = 0;
    const cJSON* item = nullptr;
    cJSON_ArrayForEach(item, cJSON_GetObjectItem(doc, "abilities")) {
        named += std::string(cJSON_GetObjectItem(item, "name")->valuestring).rfind("conc-", 0) == 0;
    }
    EXPECT_EQ(named, 400);
    cJSON_Delete(doc);
}

}  // namespace
