// Store file format and atomic replacement of the configuration-manager service.
#include <gtest/gtest.h>

#include <sys/stat.h>

#include <cstdlib>
#include <random>
#include <string>

#include "config_store.h"
#include "private_bus.h"

namespace {

using cfgstore::Entries;

std::string randomText(std::mt19937* rng, bool validOnly) {
    static const std::string kPieces[] = {"a", "#", "\\", "\t", "\n", "\r", "=", " ", "\\n",
                                          "\xc3\xa9", "\xe2\x82\xac", "\\t"};
    std::string text;
    const int n = static_cast<int>((*rng)() % 12);
    for (int i = 0; i < n; ++i) {
        if (!validOnly && (*rng)() % 10 == 0) {
            text += static_cast<char>((*rng)() % 256);
        } else {
            text += kPieces[(*rng)() % std::size(kPieces)];
        }
    }
    return text;
}

TEST(ConfigStore, AnyTextRoundTrips) {
    const unsigned seed = 12345;
    std::mt19937 rng(seed);
    for (int round = 0; round < 300; ++round) {
        Entries entries;
        for (int i = 0; i < 8; ++i) {
            std::string key = randomText(&rng, true);
            if (key.empty()) key = "k";
            entries[key] = randomText(&rng, true);
        }
        const cfgstore::LoadResult back = cfgstore::parseStore(cfgstore::formatEntries(entries));
        ASSERT_TRUE(back.problems.empty()) << "seed " << seed << " round " << round;
        ASSERT_EQ(back.entries, entries) << "seed " << seed << " round " << round;
    }
}

TEST(ConfigStore, GarbageIsReportedPerLineNeverFatal) {
    const cfgstore::LoadResult r = cfgstore::parseStore(
        "# comment\n\nok\tv\nnotab\nk\\\tv\nk\tend\\\nx\t\xc3\n\\#h\tv\nok\tlater wins\n");
    const Entries expected = {{"ok", "later wins"}, {"#h", "v"}};
    EXPECT_EQ(r.entries, expected);
    ASSERT_EQ(r.problems.size(), 4u);
    EXPECT_EQ(r.problems[0], "line 4: no tab between key and value");
    EXPECT_EQ(r.problems[1], "line 5: bad escape");
    EXPECT_EQ(r.problems[2], "line 6: bad escape");
    EXPECT_EQ(r.problems[3], "line 7: not UTF-8 text");

    std::mt19937 rng(99);
    for (int round = 0; round < 200; ++round) {
        std::string noise;
        for (int i = 0; i < 500; ++i) noise += static_cast<char>(rng() % 256);
        const cfgstore::LoadResult any = cfgstore::parseStore(noise);
        for (const auto& [key, value] : any.entries) {
            EXPECT_TRUE(cfgstore::isValidText(key) && cfgstore::isValidText(value) && !key.empty());
        }
    }
}

TEST(ConfigStore, SaveReplacesAtomicallyAndLoadsBack) {
    char tmpl[] = "/tmp/sm-store-XXXXXX";
    ASSERT_NE(mkdtemp(tmpl), nullptr);
    const std::string dir = tmpl;
    const std::string path = dir + "/config.store";
    std::string error;
    cfgstore::LoadResult loaded;
    ASSERT_TRUE(cfgstore::loadStoreFile(path, &loaded, &error));
    EXPECT_TRUE(loaded.missing);
    EXPECT_TRUE(loaded.entries.empty());

    const Entries entries = {{"a", "1"}, {"b", "two\nlines"}};
    ASSERT_TRUE(cfgstore::saveStoreFile(path, entries, &error)) << error;
    ASSERT_TRUE(cfgstore::loadStoreFile(path, &loaded, &error));
    EXPECT_EQ(loaded.entries, entries);
    EXPECT_FALSE(std::filesystem::exists(path + ".tmp"));
    struct stat st {};
    ASSERT_EQ(stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);  // it holds secrets

    // A failed replacement keeps the old store and says why.
    std::filesystem::create_directory(path + ".tmp");
    EXPECT_FALSE(cfgstore::saveStoreFile(path, {{"c", "3"}}, &error));
    EXPECT_NE(error.find(path + ".tmp"), std::string::npos);
    ASSERT_TRUE(cfgstore::loadStoreFile(path, &loaded, &error));
    EXPECT_EQ(loaded.entries, entries);

    // A store that exists but cannot be read is an error, not an empty configuration.
    std::filesystem::remove(path);
    std::filesystem::create_directory(path);
    EXPECT_FALSE(cfgstore::loadStoreFile(path, &loaded, &error));
    std::filesystem::remove_all(dir);
}

}  // namespace
