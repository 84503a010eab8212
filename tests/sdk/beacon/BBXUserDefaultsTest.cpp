#include <gtest/gtest.h>
#include <sys/stat.h>

#include <fstream>
#include <thread>

#include "platform/foundation/Data.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"
#include "sdk/beacon/BBXUserDefaults.h"
#include "tests/platform/foundation/BinaryPlistBuilder.h"
#include "tests/support/RecordingSystemLog.h"
#include "tests/support/TempHome.h"

using foundation::PlistValue;
using testsupport::RecordingSystemLog;

namespace {

class BBXUserDefaultsTest : public ::testing::Test {
protected:
    std::filesystem::path directory() const { return home_.dataHome() / "com.blackbox" / "com.tavlo.Tavlo"; }
    std::filesystem::path file() const { return directory() / "BBXUserDefaults.plist"; }
    std::shared_ptr<foundation::UserDefaults> standard() const { return foundation::UserDefaults::suite("standard"); }
    std::unique_ptr<BBXUserDefaults> makeStore() const { return std::make_unique<BBXUserDefaults>(directory(), standard()); }

    // The file's values, or nullopt when it is no property-list dictionary.
    std::optional<PlistValue::Dictionary> fileValues() const {
        auto bytes = foundation::Data::contentsOfFile(file());
        if (!bytes.ok()) return std::nullopt;
        auto value = foundation::PropertyList::read(bytes.value().span());
        if (!value.ok() || !value.value().asDictionary()) return std::nullopt;
        return *value.value().asDictionary();
    }

    // A regular file where the store's folder belongs, so no write can succeed
    // (chmod would not stop a test run as root).
    void blockFolder() const {
        std::filesystem::create_directories(directory().parent_path());
        std::ofstream(directory()) << "in the way";
    }

    testsupport::TempHome home_;
    RecordingSystemLog::Scope log_;
};

mode_t modeOf(const std::filesystem::path& path) {
    struct stat st {};
    ::stat(path.c_str(), &st);
    return st.st_mode & 0777;
}

}  // namespace

TEST_F(BBXUserDefaultsTest, PlacesItsFileUnderApplicationSupport) {
    EXPECT_EQ(BBXUserDefaults::generateDirectoryURLForBaseURL("/base", std::string("a_b")),
              std::filesystem::path("/base/com.blackbox/a_b"));
    EXPECT_EQ(BBXUserDefaults::generateDirectoryURLForBaseURL("/base", std::nullopt),
              std::filesystem::path("/base/com.blackbox"));
    EXPECT_EQ(BBXUserDefaults::generateDirectoryURL(), directory());
    auto store = makeStore();
    EXPECT_EQ(store->fileURL(), file());
    EXPECT_EQ(BBXUserDefaults::standardUserDefaults(), BBXUserDefaults::standardUserDefaults());
}

TEST_F(BBXUserDefaultsTest, TypedAccessors) {
    auto store = makeStore();
    store->setObject("text", "string");
    store->setObject(int64_t{7}, "number");
    store->setObject(0, "zero");
    store->setBool(true, "flag");
    struct Case {
        const char* key;
        std::optional<std::string> string;
        bool flag;
    };
    const Case cases[] = {
        {"string", "text", false},  // a string is no number, whatever it says
        {"number", std::nullopt, true},
        {"zero", std::nullopt, false},
        {"flag", std::nullopt, true},
        {"absent", std::nullopt, false},
    };
    for (const auto& c : cases) {
        EXPECT_EQ(store->stringForKey(c.key), c.string) << c.key;
        EXPECT_EQ(store->boolForKey(c.key), c.flag) << c.key;
    }
    store->setObject(PlistValue(), "string");
    EXPECT_TRUE(store->objectForKey("string").isNull());
    store->removeObjectForKey("number");
    EXPECT_EQ(store->dictionaryRepresentation().size(), 2u);
    store->removeAllObjects();
    EXPECT_TRUE(store->dictionaryRepresentation().empty());
}

TEST_F(BBXUserDefaultsTest, OnlySynchronizeReachesTheFile) {
    {
        auto store = makeStore();
        store->setString("lost", "unsynchronized");
        EXPECT_EQ(store->stringForKey("unsynchronized"), "lost");
    }
    EXPECT_FALSE(std::filesystem::exists(file()));
    PlistValue::Dictionary values{{"date", foundation::Date(1.5e9)}, {"data", foundation::Data::fromString("x")},
                                  {"list", PlistValue::Array{PlistValue(1.25), PlistValue(false)}}};
    {
        auto store = makeStore();
        for (const auto& [key, value] : values) store->setObject(value, key);
        EXPECT_TRUE(store->synchronize());
    }
    EXPECT_EQ(makeStore()->dictionaryRepresentation(), values);
    EXPECT_EQ(fileValues(), values);
    EXPECT_EQ(modeOf(file()), 0600u);
    EXPECT_EQ(modeOf(directory()), 0700u);
    EXPECT_TRUE(log_->messages().empty());
}

TEST_F(BBXUserDefaultsTest, DamagedFileStartsEmptyAndIsReplacedAtTheNextSynchronize) {
    struct Case {
        const char* name;
        std::function<void(const std::filesystem::path&)> damage;
        std::vector<std::string> lines;
    };
    const std::string directoryLine =
        "[Beacon:UserDefaults] found directory where file expected. Removing conflicting directory";
    const std::string readLine = "[Beacon:UserDefaults] failed to read existing UserDefaults file";
    const Case cases[] = {
        {"folder in the file's place",
         [](const std::filesystem::path& path) { std::filesystem::create_directories(path / "inside"); },
         {directoryLine}},
        {"not a property list", [](const std::filesystem::path& path) { std::ofstream(path) << "<plist><dict><key>"; },
         {readLine}},
        {"a property list of an array",
         [](const std::filesystem::path& path) {
             std::ofstream(path) << foundation::PropertyList::writeXML(PlistValue::Array{PlistValue(1)}).value();
         },
         {readLine}},
        {"empty file", [](const std::filesystem::path& path) { std::ofstream{path}; }, {readLine}},
    };
    for (const auto& c : cases) {
        std::filesystem::remove_all(directory());
        std::filesystem::create_directories(directory());
        c.damage(file());
        log_->clear();
        auto store = makeStore();
        EXPECT_TRUE(store->dictionaryRepresentation().empty()) << c.name;
        EXPECT_EQ(log_->messages(), c.lines) << c.name;
        store->setString("value", "key");
        EXPECT_TRUE(store->synchronize()) << c.name;
        EXPECT_EQ(fileValues(), (PlistValue::Dictionary{{"key", "value"}})) << c.name;
    }
}

TEST_F(BBXUserDefaultsTest, ReadsABinaryFile) {
    testsupport::BinaryPlistBuilder builder;
    uint64_t top = builder.addDictionary({builder.addASCII("k")}, {builder.addASCII("v")});
    std::filesystem::create_directories(directory());
    ASSERT_TRUE(foundation::Data(builder.build(top)).writeToFile(file()).ok());
    EXPECT_EQ(makeStore()->stringForKey("k"), "v");
}

TEST_F(BBXUserDefaultsTest, MigratingReadTakesTheKeyOver) {
    standard()->setObject("ABC", "iuuid");
    standard()->setObject("standard's", "both");
    ASSERT_TRUE(standard()->synchronize());
    auto store = makeStore();
    store->setString("store's", "both");

    EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("both"), PlistValue("store's"));
    EXPECT_EQ(standard()->stringForKey("both"), "standard's");  // untouched

    EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("iuuid"), PlistValue("ABC"));
    EXPECT_TRUE(standard()->objectForKey("iuuid").isNull());
    EXPECT_EQ(fileValues()->count("iuuid"), 1u);
    EXPECT_TRUE(store->objectForKeyByMigratingFromNSUserDefaults("nowhere").isNull());
}

TEST_F(BBXUserDefaultsTest, ListMigrationRemovesEveryListedKeyOnlyWhenOneWasTakenOver) {
    standard()->setObject("kept", "other");
    standard()->setObject(int64_t{3}, "b");
    auto store = makeStore();

    store->migrateFromNSUserDefaults({"a", "c"});
    EXPECT_FALSE(std::filesystem::exists(file()));
    EXPECT_EQ(standard()->dictionaryRepresentation().size(), 2u);

    store->migrateFromNSUserDefaults({"a", "b", "c"});
    EXPECT_EQ(store->objectForKey("b"), PlistValue(int64_t{3}));
    EXPECT_EQ(standard()->dictionaryRepresentation(), (PlistValue::Dictionary{{"other", "kept"}}));
}

TEST_F(BBXUserDefaultsTest, AFailedWriteKeepsTheKeyInTheStandardDefaults) {
    blockFolder();
    standard()->setObject("ABC", "iuuid");
    standard()->setObject("XYZ", "listed");
    auto store = makeStore();

    EXPECT_EQ(store->objectForKeyByMigratingFromNSUserDefaults("iuuid"), PlistValue("ABC"));
    store->migrateFromNSUserDefaults({"listed"});

    EXPECT_EQ(standard()->stringForKey("iuuid"), "ABC");
    EXPECT_EQ(standard()->stringForKey("listed"), "XYZ");
    EXPECT_EQ(store->stringForKey("listed"), "XYZ");
    EXPECT_EQ(log_->count("[Beacon:UserDefaults] Unable to open file for writing at path " + file().string()), 2u);
}

TEST_F(BBXUserDefaultsTest, FolderCreationFailureIsLoggedAndWriteFails) {
    std::filesystem::create_directories(home_.dataHome());
    std::ofstream(home_.dataHome() / "com.blackbox") << "in the way";
    auto store = makeStore();
    store->setString("v", "k");
    EXPECT_FALSE(store->synchronize());
    EXPECT_TRUE(log_->contains("[Beacon:UserDefaults] failed to create directory with error:Error Domain=NSPOSIXErrorDomain"));
    EXPECT_TRUE(log_->contains("[Beacon:UserDefaults] Unable to open file for writing at path"));
    EXPECT_EQ(store->stringForKey("k"), "v");
}

TEST_F(BBXUserDefaultsTest, ConcurrentUseLeavesTheFileEqualToMemory) {
    // Each write syncs to disk; a memory file system keeps 800 of them quick,
    // and what is checked here is their order, not their durability.
    std::filesystem::path folder = home_.root() / "store";
    std::error_code error;
    if (std::filesystem::is_directory("/dev/shm", error)) {
        std::string pattern = "/dev/shm/tavlo-store-XXXXXX";
        if (::mkdtemp(pattern.data())) folder = pattern;
    }
    struct Remove {
        std::filesystem::path path;
        ~Remove() {
            std::error_code ignored;
            std::filesystem::remove_all(path, ignored);
        }
    } remove{folder};
    auto store = std::make_unique<BBXUserDefaults>(folder, standard());
    std::vector<std::thread> threads;
    for (int t = 0; t < 8; ++t)
        threads.emplace_back([&store, t] {
            for (int i = 1; i <= 10000; ++i) {
                std::string key = "t" + std::to_string(t) + "-" + std::to_string(i % 37);
                store->setObject(int64_t{i}, key);
                if (store->objectForKey(key).asInteger() != i) ADD_FAILURE() << key;
                if (i % 100 == 0) store->synchronize();
            }
        });
    for (auto& thread : threads) thread.join();
    auto memory = store->dictionaryRepresentation();
    EXPECT_EQ(memory.size(), 8u * 37u);
    EXPECT_EQ(BBXUserDefaults(folder, standard()).dictionaryRepresentation(), memory);
}
