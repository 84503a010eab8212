// Custom keys, log lines and recorded errors in this test process, against
// one capture context set up for the whole program (log buffer 100 bytes, 16
// custom keys, 2 errors a file).
#include "sdk/blackbox/BBXUserLogging.h"

#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <fstream>
#include <thread>

#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXDemangleOperation.h"
#include "sdk/blackbox/BBXException.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXReport.h"
#include "sdk/blackbox/BBXSymbolResolver.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"

namespace {

using foundation::PlistValue;

std::string hex(const std::string& text) { return BBXHexEncodeCString(text.c_str()); }


std::string key(int index) {
    char name[8];
    std::snprintf(name, sizeof name, "k%02d", index);
    return name;
}

bool exists(const std::string& path) {
    struct stat status {};
    return ::stat(path.c_str(), &status) == 0;
}

using blackboxtest::unhex;
const auto& keysIn = blackboxtest::keysInKVFile;
const auto& sections = blackboxtest::sectionBodies;

class BBXUserLoggingTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        BBXContextInitData data;
        data.maxCustomKeys = 16;
        data.errorReportingEnabled = 1;
        data.maxCustomExceptions = 2;
        data.logBufferSize = 100;
        folder_ = blackboxtest::startTestContext("bbx-logging", data);
        ASSERT_TRUE(BBXContextIsInitialized());
    }
    // Writes queued by the last test may still be landing in the folder;
    // let them finish so removing it doesn't race a new file.
    static void TearDownTestSuite() {
        drain();
        std::error_code ignored;
        std::filesystem::remove_all(folder_, ignored);
    }

    void SetUp() override {
        drain();
        for (const char* name : {"user_incremental_kv", "user_compacted_kv", "internal_incremental_kv",
                                 "internal_compacted_kv", "log_a", "log_b", "errors_a", "errors_b", "custom_exception_a", "custom_exception_b", "scratch_a",
                                 "scratch_b", "scratch_incremental", "scratch_compacted"})
            std::filesystem::remove(path(std::string(name) + ".bbxrecord"));
        withContextWritable([](BBXReadOnlyContext* readOnly, BBXWritableContext* writable) {
            BBXUserLoggingInitStores(readOnly, writable);
        });
    }
    void TearDown() override {
        if (dispatch::Clock::isVirtual()) dispatch::Clock::useRealTime();
    }

    static std::string path(const std::string& name) { return folder_ + "/" + name; }
    // Everything queued on the logging queue so far has run, the queued
    // compactions and swaps included.
    static void drain() {
        for (int i = 0; i < 3; ++i) BBXContextLoggingQueue()->sync([] {});
    }
    // The read-only context is write-protected once set up: a test changes it
    // only between unprotecting and protecting it again.
    template <class Change>
    static void withContextWritable(Change change) {
        ASSERT_TRUE(BBXAllocatorUnprotect(BBXContextGetAllocator()));
        change(BBXContextGetReadOnly(), BBXContextGetWritable());
        ASSERT_TRUE(BBXAllocatorProtect(BBXContextGetAllocator()));
    }

    static inline std::string folder_;
};

TEST_F(BBXUserLoggingTest, TheSixtyFourthWriteCompactsKeepingTheSixteenMostRecentlyWritten) {
    for (int i = 0; i <= 62; ++i) BBXUserLoggingRecordUserKeyValue(key(i), PlistValue("value " + key(i)));
    EXPECT_EQ(BBXContextGetWritable()->keyValue.userIncrementalCount, 63u);
    EXPECT_FALSE(exists(path("user_compacted_kv.bbxrecord")));
    BBXUserLoggingRecordUserKeyValue(key(5), nullptr);
    drain();

    std::vector<std::string> expected;
    for (int i = 47; i <= 62; ++i) expected.push_back(key(i));
    EXPECT_EQ(keysIn(path("user_compacted_kv.bbxrecord")), expected);
    EXPECT_FALSE(exists(path("user_incremental_kv.bbxrecord")));
    auto entries = BBXUserLoggingReadKVFile(path("user_compacted_kv.bbxrecord").c_str());
    EXPECT_EQ(*entries.front().get("value")->asString(), hex("value k47"));

    // The next write starts a new incremental file; the compacted file stays.
    BBXUserLoggingRecordUserKeyValue(std::string("after"), PlistValue(3));
    drain();
    EXPECT_EQ(keysIn(path("user_incremental_kv.bbxrecord")), std::vector<std::string>{"after"});
    EXPECT_EQ(*BBXUserLoggingReadKVFile(path("user_incremental_kv.bbxrecord").c_str())[0].get("value")->asString(),
              hex("3"));
    EXPECT_EQ(keysIn(path("user_compacted_kv.bbxrecord")).size(), 16u);
}

TEST_F(BBXUserLoggingTest, ANullValueRemovesItsKeyAndRewritingAKeyMakesItRecent) {
    BBXKVStorage store{"", "", 4, 3};
    std::string incremental = path("scratch_incremental.bbxrecord"), compacted = path("scratch_compacted.bbxrecord");
    store.incrementalPath = incremental.c_str();
    store.compactedPath = compacted.c_str();
    uint32_t counter = 0;
    // a, b, c, then a again: a is now the most recent, b the oldest.
    for (const char* name : {"a", "b", "c", "a"}) BBXUserLoggingWriteKeyValue(std::string(name), PlistValue(1), &store, &counter);
    drain();
    EXPECT_EQ(keysIn(compacted), (std::vector<std::string>{"b", "c", "a"}));
    // d pushes b out; a null for c removes it; nil is written as null first.
    BBXUserLoggingWriteKeyValue(std::string("d"), PlistValue(1), &store, &counter);
    BBXUserLoggingWriteKeyValue(std::string("c"), nullptr, &store, &counter);
    drain();
    auto pending = BBXUserLoggingReadKVFile(incremental.c_str());
    ASSERT_EQ(pending.size(), 2u);
    EXPECT_TRUE(pending[1].get("value")->isNull());
    BBXUserLoggingWriteKeyValue(std::string("e"), PlistValue(1), &store, &counter);
    BBXUserLoggingWriteKeyValue(std::string("f"), PlistValue(1), &store, &counter);
    drain();
    // b, a, d, e, f live (c removed): the two written longest ago go.
    EXPECT_EQ(keysIn(compacted), (std::vector<std::string>{"d", "e", "f"}));
    EXPECT_FALSE(exists(incremental));
    EXPECT_EQ(counter, 0u);
}

TEST_F(BBXUserLoggingTest, WritesMadeWhileACompactionIsQueuedAreAllKept) {
    BBXKVStorage store;
    std::string incremental = path("scratch_incremental.bbxrecord"), compacted = path("scratch_compacted.bbxrecord");
    store.incrementalPath = incremental.c_str();
    store.compactedPath = compacted.c_str();
    store.maxKeys = 1000;
    uint32_t counter = 0;
    // All on the logging queue in one block: writes 65 to 70 land while the
    // compaction queued by the 64th waits behind this block.
    BBXContextLoggingQueue()->sync([&] {
        for (int i = 0; i < 70; ++i) BBXUserLoggingWriteKeyValue(key(i), PlistValue(i), &store, &counter);
        EXPECT_EQ(keysIn(incremental).size(), 70u);
    });
    drain();
    EXPECT_EQ(keysIn(compacted).size(), 70u);
    EXPECT_FALSE(exists(incremental));
    EXPECT_EQ(counter, 6u);
}

TEST_F(BBXUserLoggingTest, InternalKeysAndMissingKeys) {
    BBXUserLoggingRecordInternalKeyValue(std::string("com.blackbox.in-background"), PlistValue(true));
    BBXContextLoggingQueue()->sync([] {
        BBXUserLoggingWriteInternalKeyValue(std::string("com.blackbox.kit-start-time"), PlistValue(12));
    });
    BBXUserLoggingRecordInternalKeyValue(std::nullopt, PlistValue(1));
    BBXUserLoggingRecordUserKeyValue(std::nullopt, PlistValue(1));
    drain();
    EXPECT_EQ(keysIn(path("internal_incremental_kv.bbxrecord")),
              (std::vector<std::string>{"com.blackbox.in-background", "com.blackbox.kit-start-time"}));
    EXPECT_FALSE(exists(path("user_incremental_kv.bbxrecord")));
    EXPECT_EQ(BBXContextGetWritable()->keyValue.internalIncrementalCount, 2u);
}

TEST_F(BBXUserLoggingTest, TheLogLineThatPassesTheBufferSwitchesToAnEmptiedB) {
    std::ofstream(path("log_b.bbxrecord")) << "{\"log\":{\"msg\":\"6f6c64\",\"time\":0}}\n";
    int line = 0;
    std::string last;
    auto logLine = [&] {
        BBXUserLogFormat("line %02d %@", line, std::string("x"));
        last = foundation::format("line %02d x", line++);
        drain();
    };
    do {
        ASSERT_LT(line, 10);
        ASSERT_TRUE(exists(path("log_b.bbxrecord")));
        logLine();
        ASSERT_TRUE(exists(path("log_a.bbxrecord")));
    } while (std::filesystem::file_size(path("log_a.bbxrecord")) <= 100);
    EXPECT_GT(line, 1);
    // The line that passed 100 bytes stayed in A; B was emptied and is active.
    EXPECT_FALSE(exists(path("log_b.bbxrecord")));
    size_t inA = sections(path("log_a.bbxrecord"), "log").size();
    EXPECT_EQ(inA, static_cast<size_t>(line));
    logLine();
    auto inB = sections(path("log_b.bbxrecord"), "log");
    ASSERT_EQ(inB.size(), 1u);
    EXPECT_EQ(unhex(*inB[0].get("msg")->asString()), last);
    EXPECT_EQ(sections(path("log_a.bbxrecord"), "log").size(), inA);
}

TEST_F(BBXUserLoggingTest, ALineOneAndAHalfSecondsAfterStartHasTime1500) {
    dispatch::Clock::useVirtualTime(100);
    withContextWritable([](BBXReadOnlyContext* readOnly, BBXWritableContext* writable) {
        BBXUserLoggingInitStores(readOnly, writable);
    });
    BBXUserLogFormat("first");
    dispatch::Clock::advance(1.5);
    BBXUserLogFormatAndNSLog("second %d", 2);
    drain();
    auto lines = sections(path("log_a.bbxrecord"), "log");
    ASSERT_EQ(lines.size(), 2u);
    EXPECT_EQ(lines[0].get("time")->asInteger(), 0);
    EXPECT_EQ(lines[1].get("time")->asInteger(), 1500);
    EXPECT_EQ(*lines[1].get("msg")->asString(), hex("second 2"));
}

__attribute__((noinline)) void recordErrorFromHere(const foundation::Error& error,
                                                   const PlistValue::Dictionary* additional) {
    BBXUserLoggingRecordError(&error, additional);
    asm volatile("" ::: "memory");
}

TEST_F(BBXUserLoggingTest, ErrorsCarryTheirDetailsAndACallersStackAndSwapByCount) {
    foundation::Error error("org.example.domain", -42, "went wrong");
    PlistValue::Dictionary additional{{"attempt", PlistValue(3)}, {"none", PlistValue()}, {"who", PlistValue("me")}};
    recordErrorFromHere(error, &additional);
    drain();
    auto errors = sections(path("errors_a.bbxrecord"), "error");
    ASSERT_EQ(errors.size(), 1u);
    const PlistValue& recorded = errors[0];
    EXPECT_EQ(*recorded.get("domain")->asString(), hex("org.example.domain"));
    EXPECT_EQ(recorded.get("code")->asInteger(), -42);
    EXPECT_NEAR(static_cast<double>(*recorded.get("time")->asInteger()), static_cast<double>(::time(nullptr)), 5);
    const auto& stack = *recorded.get("stacktrace")->asArray();
    ASSERT_GE(stack.size(), 2u);
    // The first frame is the return address inside the caller.
    auto caller = reinterpret_cast<uintptr_t>(&recordErrorFromHere);
    auto first = static_cast<uintptr_t>(*stack[0].asInteger());
    EXPECT_GT(first, caller);
    BBXContextBinaryImagesQueue()->sync([] {});
    BBXSymbolResolver resolver;
    ASSERT_TRUE(resolver.loadBinaryImagesFromFile(path("binary_images.bbxrecord")));
    auto frame = resolver.frameForAddress(first);
    ASSERT_TRUE(frame && frame->symbol());
    EXPECT_EQ(BBXDemangleOperation::demangleSymbol(frame->symbol()->c_str()).value_or("").rfind(
                  "(anonymous namespace)::recordErrorFromHere(", 0),
              0u)
        << *frame->symbol();
    EXPECT_EQ(*recorded.get("info")->asArray(),
              (PlistValue::Array{PlistValue(PlistValue::Array{hex("NSLocalizedDescription"), hex("went wrong")})}));
    EXPECT_EQ(*recorded.get("extra_info")->asArray(),
              (PlistValue::Array{PlistValue(PlistValue::Array{hex("attempt"), hex("3")}),
                                 PlistValue(PlistValue::Array{hex("who"), hex("me")})}));

    // No details: neither "info" nor "extra_info". The second error fills A,
    // the third goes to B.
    recordErrorFromHere(foundation::Error("d", 1), nullptr);
    drain();
    EXPECT_EQ(sections(path("errors_a.bbxrecord"), "error")[1].get("info"), nullptr);
    EXPECT_EQ(sections(path("errors_a.bbxrecord"), "error")[1].get("extra_info"), nullptr);
    recordErrorFromHere(foundation::Error("d", 2), nullptr);
    drain();
    EXPECT_EQ(sections(path("errors_a.bbxrecord"), "error").size(), 2u);
    EXPECT_EQ(sections(path("errors_b.bbxrecord"), "error").size(), 1u);
}

TEST_F(BBXUserLoggingTest, CustomAndScriptExceptionsAreEntriesOfTheCustomExceptionFilesWithoutAProcessRecord) {
    const uintptr_t frames[] = {0x1000, 0x2000};
    BBXExceptionRecord(BBXExceptionTypeCustom, "CustomName", "custom reason", frames, 2, false);
    BBXExceptionRecord(BBXExceptionTypeJavaScript, "ScriptError", "", nullptr, 0, false);
    drain();
    auto read = BBXFileReadSections(path("custom_exception_a.bbxrecord").c_str(), false);
    ASSERT_TRUE(read);
    ASSERT_EQ(read->size(), 2u);
    std::vector<std::string> types;
    for (const auto& section : *read) {
        const auto& entry = *section.asDictionary();
        ASSERT_EQ(entry.begin()->first, "exception");
        types.push_back(*entry.begin()->second.asDictionary()->at("type").asString());
    }
    EXPECT_EQ(types, (std::vector<std::string>{"custom", "javascript"}));
    const auto& first = *(*read)[0].asDictionary()->begin()->second.asDictionary();
    EXPECT_EQ(unhex(*first.at("name").asString()), "CustomName");
    EXPECT_EQ(unhex(*first.at("reason").asString()), "custom reason");
    EXPECT_EQ(first.at("frames").asArray()->size(), 2u);
    EXPECT_FALSE(exists(path("exception.bbxrecord")));
}

TEST_F(BBXUserLoggingTest, WithErrorReportingOffNoErrorsFileAppears) {
    uint32_t saved = BBXContextGetReadOnly()->errorStore.maxCount;
    withContextWritable([](BBXReadOnlyContext* readOnly, BBXWritableContext*) { readOnly->errorStore.maxCount = 0; });
    recordErrorFromHere(foundation::Error("d", 1), nullptr);
    drain();
    withContextWritable([saved](BBXReadOnlyContext* readOnly, BBXWritableContext*) { readOnly->errorStore.maxCount = saved; });
    EXPECT_FALSE(exists(path("errors_a.bbxrecord")));
    EXPECT_FALSE(exists(path("errors_b.bbxrecord")));
}

// Keys set on an earlier launch's report go into that report's own files.
TEST_F(BBXUserLoggingTest, KeysSetOnAnEarlierReportGoIntoItsFolder) {
    std::filesystem::path folder = path("earlier");
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "metadata.bbxrecord") << "{\"identity\":{\"session_id\":\"s-earlier\"}}\n";
    BBXReport report(BBXInternalReport::reportWithPath(folder.string()));
    ASSERT_EQ(report.identifier(), "s-earlier");
    report.setObjectValue(PlistValue("blue"), std::string("colour"));
    report.setUserIdentifier(std::string("user-7"));
    report.setUserEmail(std::nullopt);
    drain();
    EXPECT_EQ(keysIn((folder / "user_incremental_kv.bbxrecord").string()), std::vector<std::string>{"colour"});
    auto internal = BBXUserLoggingReadKVFile((folder / "internal_incremental_kv.bbxrecord").c_str());
    ASSERT_EQ(internal.size(), 2u);
    EXPECT_EQ(unhex(*internal[0].get("key")->asString()), "com.blackbox.user-id");
    EXPECT_EQ(unhex(*internal[0].get("value")->asString()), "user-7");
    EXPECT_EQ(unhex(*internal[1].get("key")->asString()), "com.blackbox.user-email");
    EXPECT_TRUE(internal[1].get("value")->isNull());
    // This launch's own files are untouched.
    EXPECT_FALSE(exists(path("user_incremental_kv.bbxrecord")));
    EXPECT_FALSE(exists(path("internal_incremental_kv.bbxrecord")));
}

TEST(BBXUserLoggingValues, DescriptionsAndDefaults) {
    EXPECT_EQ(BBXUserLoggingValueDescription(PlistValue("two words")), "two words");
    EXPECT_EQ(BBXUserLoggingValueDescription(PlistValue(12)), "12");
    EXPECT_EQ(BBXUserLoggingValueDescription(PlistValue(true)), "1");
    EXPECT_EQ(BBXUserLoggingValueDescription(PlistValue()), std::nullopt);
    EXPECT_EQ(BBXUserLoggingDefaultLogBufferSize(), 131072u);
}

}  // namespace
