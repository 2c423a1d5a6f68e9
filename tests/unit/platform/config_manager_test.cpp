// The configuration-manager service and its client library on a private bus.
#include <gtest/gtest.h>

#include <atomic>
#include <cstdlib>
#include <set>
#include <string>
#include <thread>
#include <vector>

#include "config_manager.h"
#include "config_store.h"
#include "private_bus.h"

namespace {

using testbus::Client;
using testbus::PrivateBus;
using testbus::Service;
using testbus::Subscriber;

constexpr int kTimeout = 3000;

std::string getValue(DBusConnection* conn, const char* key, int* code = nullptr) {
    char* raw = nullptr;
    const int ret = get_config(conn, key, &raw, kTimeout);
    if (code != nullptr) *code = ret;
    std::string value = raw != nullptr ? raw : "<none>";
    free(raw);
    return value;
}

class ConfigManagerTest : public ::testing::Test {
protected:
    void SetUp() override {
        store_ = bus_.dir() + "/etc/config.store";
        errPath_ = bus_.dir() + "/service.err";
        service_ = std::make_unique<Service>(bus_.address(), store_, errPath_);
        ASSERT_TRUE(service_->start()) << testbus::readFile(errPath_);
        client_ = std::make_unique<Client>(bus_.address());
    }
    void TearDown() override {
        // A clean exit also means no sanitizer report from the service.
        if (service_->running()) {
            EXPECT_EQ(service_->stop(SIGTERM), 0) << testbus::readFile(errPath_);
        }
    }
    void restart(int sig) {
        const int status = service_->stop(sig);
        if (sig == SIGTERM) {
            EXPECT_EQ(status, 0) << testbus::readFile(errPath_);
        }
        ASSERT_TRUE(service_->start()) << testbus::readFile(errPath_);
    }
    DBusConnection* conn() { return client_->get(); }

    PrivateBus bus_;
    std::string store_;
    std::string errPath_;
    std::unique_ptr<Service> service_;
    std::unique_ptr<Client> client_;
};

TEST_F(ConfigManagerTest, ValuesRoundTripAndSurviveRestart) {
    const std::vector<std::pair<std::string, std::string>> entries = {
        {"plain", "1"},
        {"#hash key", "value"},
        {"multi", "line one\nline two\r\n\ttabbed \\ back\\slash \\n literal"},
        {"empty", ""},
        {"unicode", "gr\xc3\xbc\xc3\x9f \xe6\x97\xa5\xe6\x9c\xac"},
        {"long", std::string(100000, 'x')},
    };
    for (const auto& [key, value] : entries) {
        ASSERT_EQ(set_config(conn(), key.c_str(), value.c_str(), kTimeout), 0) << key;
    }
    int code = -1;
    EXPECT_EQ(getValue(conn(), "missing", &code), "<none>");
    EXPECT_EQ(code, CONFIG_ERR_NOT_FOUND);

    restart(SIGTERM);
    for (const auto& [key, value] : entries) {
        EXPECT_EQ(getValue(conn(), key.c_str(), &code), value) << key;
        EXPECT_EQ(code, 0);
    }
    ASSERT_EQ(delete_config(conn(), "plain", kTimeout), 0);
    EXPECT_EQ(delete_config(conn(), "plain", kTimeout), CONFIG_ERR_NOT_FOUND);
    restart(SIGKILL);
    getValue(conn(), "plain", &code);
    EXPECT_EQ(code, CONFIG_ERR_NOT_FOUND);
    EXPECT_EQ(getValue(conn(), "multi"), entries[2].second);
}

TEST_F(ConfigManagerTest, BadArgumentsAreRefusedWithoutHarm) {
    char* value = reinterpret_cast<char*>(0x1);
    EXPECT_EQ(get_config(nullptr, "k", &value, kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(value, nullptr);
    EXPECT_EQ(get_config(conn(), nullptr, &value, kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(get_config(conn(), "k", nullptr, kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(set_config(conn(), "", "v", kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(set_config(conn(), "k", nullptr, kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(set_config(conn(), "k", "\xff\xfe", kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(set_config(conn(), "\xc3", "v", kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(subscribe_config(conn(), "not a bus name", "k", 1, kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(subscribe_config(conn(), nullptr, "k", 1, kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(unsubscribe_config(conn(), "a.b", nullptr, kTimeout), CONFIG_ERR_INVALID);
    EXPECT_EQ(list_config(conn(), nullptr, kTimeout), CONFIG_ERR_INVALID);
    // A negative timeout other than -1 means the default, not a libdbus assertion.
    EXPECT_EQ(set_config(conn(), "k", "v", -5), 0);
    EXPECT_EQ(getValue(conn(), "k"), "v");
}

TEST_F(ConfigManagerTest, FailuresAreReportedNotMistakenForMissingKeys) {
    ASSERT_EQ(service_->stop(SIGTERM), 0);
    int code = 0;
    getValue(conn(), "k", &code);
    EXPECT_EQ(code, CONFIG_ERR_NO_SERVICE);
    EXPECT_EQ(set_config(conn(), "k", "v", kTimeout), CONFIG_ERR_NO_SERVICE);

    // A store that cannot be replaced refuses the change and keeps the old value.
    ASSERT_TRUE(service_->start());
    ASSERT_EQ(set_config(conn(), "k", "old", kTimeout), 0);
    std::filesystem::create_directory(store_ + ".tmp");
    EXPECT_EQ(set_config(conn(), "k", "new", kTimeout), CONFIG_ERR_STORE);
    EXPECT_EQ(set_config(conn(), "fresh", "v", kTimeout), CONFIG_ERR_STORE);
    EXPECT_EQ(getValue(conn(), "k"), "old");
    getValue(conn(), "fresh", &code);
    EXPECT_EQ(code, CONFIG_ERR_NOT_FOUND);
    EXPECT_NE(testbus::readFile(errPath_).find("change not stored"), std::string::npos);
}

std::string burstValue(int key, int n) {
    return "k" + std::to_string(key) + "-" + std::to_string(n) + "-" + std::string(4000, 'a' + n % 26);
}

TEST_F(ConfigManagerTest, KillDuringWriteBurstNeverTearsTheStore) {
    constexpr int kKeys = 5;
    for (int k = 0; k < kKeys; ++k) {
        ASSERT_EQ(set_config(conn(), ("k" + std::to_string(k)).c_str(), burstValue(k, 0).c_str(),
                             kTimeout), 0);
    }
    for (int round = 0; round < 3; ++round) {
        std::atomic<int> written{0};
        std::atomic<bool> stopped{false};
        std::thread writer([&] {
            Client own(bus_.address());
            for (int n = 1;; ++n) {
                const int k = n % kKeys;
                if (set_config(own.get(), ("k" + std::to_string(k)).c_str(),
                               burstValue(k, n).c_str(), kTimeout) != 0) {
                    stopped = true;
                    return;
                }
                ++written;
            }
        });
        while (written < 20 + round * 7 && !stopped) std::this_thread::yield();
        ASSERT_FALSE(stopped);
        service_->stop(SIGKILL);
        writer.join();

        const cfgstore::LoadResult stored = cfgstore::parseStore(testbus::readFile(store_));
        EXPECT_TRUE(stored.problems.empty()) << stored.problems.front();
        ASSERT_EQ(stored.entries.size(), static_cast<size_t>(kKeys));
        for (const auto& [key, value] : stored.entries) {
            const int k = key[1] - '0';
            const int n = atoi(value.c_str() + value.find('-') + 1);
            EXPECT_EQ(value, burstValue(k, n)) << key;
        }
        ASSERT_TRUE(service_->start()) << testbus::readFile(errPath_);
        for (const auto& [key, value] : stored.entries) EXPECT_EQ(getValue(conn(), key.c_str()), value);
    }
}

TEST_F(ConfigManagerTest, CorruptStoreIsReportedAndReadableEntriesKept) {
    ASSERT_EQ(service_->stop(SIGTERM), 0);
    const std::string corrupt = std::string("good\tvalue\n") + "no tab here\n" +
                                "bad\\qescape\tv\n" + "\xff\xfe\tv\n" +
                                std::string("nul\0key\tv\n", 10) + "\tempty key\n" +
                                "also\tgood\\nline\r\n" + "last\tno newline";
    testbus::writeFile(store_, corrupt);
    ASSERT_TRUE(service_->start()) << testbus::readFile(errPath_);

    const std::string err = testbus::readFile(errPath_);
    EXPECT_NE(err.find("is corrupt; 5 unreadable line(s)"), std::string::npos) << err;
    EXPECT_NE(err.find("line 2: no tab"), std::string::npos) << err;
    EXPECT_EQ(testbus::readFile(store_ + ".corrupt"), corrupt);
    EXPECT_EQ(getValue(conn(), "good"), "value");
    EXPECT_EQ(getValue(conn(), "also"), "good\nline");
    EXPECT_EQ(getValue(conn(), "last"), "no newline");

    // The next write leaves a clean store with the readable entries.
    ASSERT_EQ(set_config(conn(), "new", "1", kTimeout), 0);
    const cfgstore::LoadResult stored = cfgstore::parseStore(testbus::readFile(store_));
    EXPECT_TRUE(stored.problems.empty());
    EXPECT_EQ(stored.entries.size(), 4u);

    // Random bytes as a store: the service still starts and answers.
    ASSERT_EQ(service_->stop(SIGTERM), 0) << testbus::readFile(errPath_);
    std::string noise;
    srand(7);
    for (int i = 0; i < 20000; ++i) noise += static_cast<char>(rand() % 256);
    testbus::writeFile(store_, noise);
    ASSERT_TRUE(service_->start()) << testbus::readFile(errPath_);
    EXPECT_EQ(set_config(conn(), "after", "noise", kTimeout), 0);
    EXPECT_EQ(getValue(conn(), "after"), "noise");
}

TEST_F(ConfigManagerTest, ConcurrentClientsGetTheirOwnValues) {
    constexpr int kThreads = 6;
    std::atomic<int> mismatches{0};
    std::vector<std::thread> threads;
    Client shared(bus_.address());
    for (int t = 0; t < kThreads; ++t) {
        threads.emplace_back([&, t] {
            // Half the threads share one connection, the others have their own.
            Client own(bus_.address());
            DBusConnection* c = t % 2 == 0 ? own.get() : shared.get();
            const std::string key = "thread" + std::to_string(t);
            for (int i = 0; i < 30; ++i) {
                const std::string value = key + ":" + std::to_string(i);
                if (set_config(c, key.c_str(), value.c_str(), kTimeout) != 0 ||
                    getValue(c, key.c_str()) != value) {
                    ++mismatches;
                }
            }
        });
    }
    for (auto& t : threads) t.join();
    EXPECT_EQ(mismatches, 0);
}

TEST_F(ConfigManagerTest, SilentSubscriberBlocksNobody) {
    Client stuck(bus_.address());  // owns a name and never reads
    ASSERT_TRUE(stuck.own("test.stuck"));
    ASSERT_EQ(subscribe_config(conn(), "test.stuck", "sw", 1, kTimeout), 0);
    Subscriber live(bus_.address(), "test.live");
    ASSERT_EQ(subscribe_config(conn(), "test.live", "sw", 1, kTimeout), 0);
    ASSERT_EQ(subscribe_config(conn(), "test.gone", "sw", 1, kTimeout), 0);  // nobody owns it

    // More changes than the bus lets one connection await answers for.
    for (int i = 0; i < 200; ++i) {
        ASSERT_EQ(set_config(conn(), "sw", std::to_string(i).c_str(), 2000), 0) << i;
    }
    EXPECT_TRUE(live.waitForValue("sw", "199"));
    // Values a busy subscriber has not taken yet may be merged, but never reordered.
    int previous = -1;
    for (const auto& [key, value] : live.notices()) {
        EXPECT_GT(atoi(value.c_str()), previous);
        previous = atoi(value.c_str());
    }
    EXPECT_EQ(getValue(conn(), "sw"), "199");
    EXPECT_EQ(testbus::readFile(errPath_).find("LimitsExceeded"), std::string::npos);

    // Once the silent one is gone its queue is dropped and the others go on.
    ASSERT_EQ(unsubscribe_config(conn(), "test.stuck", "sw", kTimeout), 0);
    ASSERT_EQ(set_config(conn(), "sw", "last", kTimeout), 0);
    EXPECT_TRUE(live.waitForValue("sw", "last"));
}

TEST_F(ConfigManagerTest, SubscriberMayCallBackWhileNotified) {
    Client inner(bus_.address());
    Subscriber sub(bus_.address(), "test.echo", [&](const std::string& key, const std::string& value) {
        if (key != "sw") return;
        // What the daemon does: read and write through the service before answering.
        const std::string seen = getValue(inner.get(), "sw");
        EXPECT_EQ(set_config(inner.get(), "echo", (value + "/" + seen).c_str(), kTimeout), 0);
    });
    ASSERT_EQ(subscribe_config(conn(), "test.echo", "sw", 1, kTimeout), 0);
    ASSERT_EQ(set_config(conn(), "sw", "1", kTimeout), 0);
    ASSERT_TRUE(sub.waitForValue("sw", "1"));
    EXPECT_EQ(getValue(conn(), "echo"), "1/1");

    // Setting the same value again notifies again.
    ASSERT_EQ(set_config(conn(), "sw", "1", kTimeout), 0);
    EXPECT_TRUE(sub.waitFor([](const auto& all) { return all.size() == 2; }));
}

TEST_F(ConfigManagerTest, UnsubscribeStopsNotifications) {
    Subscriber sub(bus_.address(), "test.sub");
    ASSERT_EQ(subscribe_config(conn(), "test.sub", "a", 1, kTimeout), 0);
    ASSERT_EQ(subscribe_config(conn(), "test.sub", "b", 2, kTimeout), 0);
    ASSERT_EQ(set_config(conn(), "a", "1", kTimeout), 0);
    ASSERT_EQ(delete_config(conn(), "a", kTimeout), 0);
    ASSERT_TRUE(sub.waitForValue("a", ""));
    ASSERT_EQ(unsubscribe_config(conn(), "test.sub", "a", kTimeout), 0);
    EXPECT_EQ(unsubscribe_config(conn(), "test.sub", "a", kTimeout), 0);
    ASSERT_EQ(set_config(conn(), "a", "2", kTimeout), 0);
    ASSERT_EQ(set_config(conn(), "b", "3", kTimeout), 0);
    // Notifications to one subscriber keep their order, so "a" would have come before "b".
    ASSERT_TRUE(sub.waitForValue("b", "3"));
    const std::vector<Subscriber::Notice> expected = {{"a", "1"}, {"a", ""}, {"b", "3"}};
    EXPECT_EQ(sub.notices(), expected);
}

struct ToolRun {
    int status;
    std::string out;
    std::string err;
};

ToolRun runTool(const std::string& dir, std::vector<std::string> args) {
    const std::string outPath = dir + "/tool.out";
    const std::string errPath = dir + "/tool.err";
    std::filesystem::remove(errPath);
    args.insert(args.begin(), CFGTOOL_PATH);
    const int outFd = open(outPath.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0644);
    const pid_t pid = testbus::spawn(args, outFd, errPath);
    close(outFd);
    int status = 0;
    waitpid(pid, &status, 0);
    return {WIFEXITED(status) ? WEXITSTATUS(status) : -1, testbus::readFile(outPath),
            testbus::readFile(errPath)};
}

TEST_F(ConfigManagerTest, CfgtoolCommands) {
    const std::string dir = bus_.dir();
    const std::string addr = bus_.address();
    EXPECT_EQ(runTool(dir, {"--address", addr, "set", "gw_zeb_switch", "1"}).status, 0);
    EXPECT_EQ(runTool(dir, {"--address", addr, "set", "neg", "-1"}).status, 0);
    const ToolRun get = runTool(dir, {"--address", addr, "get", "gw_zeb_switch"});
    EXPECT_EQ(get.status, 0);
    EXPECT_EQ(get.out, "1\n");
    EXPECT_EQ(runTool(dir, {"--address", addr, "get", "neg"}).out, "-1\n");
    EXPECT_EQ(runTool(dir, {"--address", addr, "set", "two", "a\tb\nc"}).status, 0);
    EXPECT_EQ(runTool(dir, {"--address", addr, "list"}).out,
              "gw_zeb_switch\t1\nneg\t-1\ntwo\ta\\tb\\nc\n");

    const ToolRun missing = runTool(dir, {"--address", addr, "get", "nope"});
    EXPECT_EQ(missing.status, 1);
    EXPECT_EQ(missing.out, "");
    EXPECT_NE(missing.err.find("get nope: no such key"), std::string::npos) << missing.err;
    EXPECT_EQ(runTool(dir, {"--address", addr, "delete", "neg"}).status, 0);
    EXPECT_EQ(runTool(dir, {"--address", addr, "delete", "neg"}).status, 1);
    EXPECT_EQ(runTool(dir, {"--address", addr, "set", "only-key"}).status, 2);
    EXPECT_EQ(runTool(dir, {"--address", addr}).status, 2);

    const ToolRun noBus = runTool(dir, {"--address", "unix:path=" + dir + "/none", "get", "k"});
    EXPECT_EQ(noBus.status, 1);
    EXPECT_NE(noBus.err.find("cannot connect"), std::string::npos) << noBus.err;
    ASSERT_EQ(service_->stop(SIGTERM), 0) << testbus::readFile(errPath_);
    const ToolRun noService = runTool(dir, {"--address", addr, "get", "gw_zeb_switch"});
    EXPECT_EQ(noService.status, 1);
    EXPECT_NE(noService.err.find("not running"), std::string::npos) << noService.err;
}

}  // namespace
