// What the crash handler will record of a whole process: the probe records
// itself (threads parked in known places, a queue, a plugin) and the test
// reads the record.
#include <gtest/gtest.h>
#include <sys/statfs.h>
#include <unistd.h>

#include <algorithm>
#include <chrono>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "sdk/beacon/BCNHex.h"
#include "sdk/blackbox/BBXFile.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;
using blackboxtest::buildIDOf;
using blackboxtest::fileContents;
using foundation::PlistValue;

struct ProbeRun {
    std::optional<int> status;
    std::map<std::string, std::string> facts;
};

const PlistValue& valueOf(const PlistValue& section) { return section.asDictionary()->begin()->second; }
const std::string& keyOf(const PlistValue& section) { return section.asDictionary()->begin()->first; }

class BBXProcessProbeTest : public ::testing::Test {
protected:
    std::string dir() const { return home_.root().string(); }

    ProbeRun run(std::vector<std::string> extra) {
        std::vector<std::string> argv{BBX_CRASH_PROBE, "core", "--report-dir", dir()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto probe = testsupport::ChildProcess::start(argv);
        ProbeRun result;
        if (!probe) return result;
        while (auto line = probe->readLine(30s)) {
            auto equals = line->find('=');
            if (equals != std::string::npos) result.facts[line->substr(0, equals)] = line->substr(equals + 1);
        }
        result.status = probe->wait(30s);
        return result;
    }

    std::vector<PlistValue> sections(const char* name) {
        auto read = BBXFileReadSections((dir() + "/" + name).c_str(), false);
        return read ? *read : std::vector<PlistValue>{};
    }

    testsupport::TempHome home_;
};

TEST_F(BBXProcessProbeTest, RecordsEveryThreadWithItsNamesAndTheProcessFigures) {
    ProbeRun probe = run({"--scenario", "snapshot"});
    ASSERT_EQ(probe.status, 0);
    EXPECT_EQ(probe.facts["suspended"], "1");
    EXPECT_EQ(probe.facts["heap-trap-works"], "1");
    EXPECT_EQ(probe.facts["heap-calls"], "0");
    auto record = sections("snapshot.bbxrecord");
    std::vector<std::string> keys;
    for (const auto& section : record) keys.push_back(keyOf(section));
    ASSERT_EQ(keys, (std::vector<std::string>{"threads", "runtime", "dispatch_queue_names", "thread_names",
                                              "process_stats", "storage"}));

    const auto& threads = *valueOf(record[0]).asArray();
    const auto& queues = *valueOf(record[2]).asArray();
    const auto& names = *valueOf(record[3]).asArray();
    ASSERT_EQ(threads.size(), static_cast<size_t>(std::stoi(probe.facts["threads"])));
    EXPECT_EQ(queues.size(), threads.size());
    EXPECT_EQ(names.size(), threads.size());
    // Each parked worker's stack passes through ProbeLevel3, 2 and 1 in turn.
    std::vector<uint64_t> levels;
    std::istringstream levelText(probe.facts["park-levels"]);
    for (std::string level; std::getline(levelText, level, ',');) levels.push_back(std::stoull(level));
    ASSERT_EQ(levels.size(), 3u);
    auto returnsInto = [](uint64_t frame, uint64_t function) { return frame > function && frame - function < 64; };
    int crashed = 0;
    int parked = 0;
    for (const auto& thread : threads) {
        const auto& fields = *thread.asDictionary();
        const auto& registers = *fields.at("registers").asDictionary();
        EXPECT_EQ(registers.size(), 21u);
        EXPECT_GT(*registers.at("rsp").asInteger(), 4096);
        const auto& stack = *fields.at("stacktrace").asArray();
        EXPECT_FALSE(stack.empty());
        std::vector<uint64_t> frames;
        for (const auto& frame : stack) frames.push_back(static_cast<uint64_t>(*frame.asInteger()));
        EXPECT_EQ(std::adjacent_find(frames.begin(), frames.end()), frames.end()) << "a frame written twice";
        for (size_t i = 0; i + 2 < frames.size(); ++i) {
            if (returnsInto(frames[i], levels[0]) && returnsInto(frames[i + 1], levels[1]) &&
                returnsInto(frames[i + 2], levels[2]))
                ++parked;
        }
        if (fields.count("crashed")) {
            ++crashed;
            // The recording thread's walk starts in a live frame and reaches
            // the function that asked for the record.
            uint64_t recorder = std::stoull(probe.facts["snapshot-function"]);
            EXPECT_NE(std::find_if(frames.begin(), frames.end(),
                                   [&](uint64_t frame) { return frame > recorder && frame - recorder < 4096; }),
                      frames.end());
        }
    }
    EXPECT_EQ(crashed, 1);
    EXPECT_EQ(parked, 3);  // the three workers; the queue's block parks without them

    std::vector<std::string> nameTexts, queueTexts;
    for (const auto& name : names) nameTexts.push_back(*name.asString());
    for (const auto& queue : queues) queueTexts.push_back(*queue.asString());
    for (const char* worker : {"worker-1", "worker-2", "worker-3"})
        EXPECT_NE(std::find(nameTexts.begin(), nameTexts.end(), worker), nameTexts.end()) << worker;
    EXPECT_NE(std::find(queueTexts.begin(), queueTexts.end(), "probe.queue"), queueTexts.end());
    EXPECT_NE(std::find(queueTexts.begin(), queueTexts.end(), ""), queueTexts.end());

    const auto& runtime = *valueOf(record[1]).asDictionary();
    EXPECT_EQ(*runtime.at("objc_selector").asString(), "");
    EXPECT_TRUE(runtime.at("crash_info_entries").asArray()->empty());

    const auto& stats = *valueOf(record[4]).asDictionary();
    std::istringstream statm(probe.facts["statm"]);
    int64_t pages = 0, resident = 0;
    statm >> pages >> resident;
    EXPECT_NEAR(*stats.at("virtual").asInteger(), pages * 4096, 4096);
    EXPECT_NEAR(*stats.at("resident").asInteger(), resident * 4096, 4096);
    EXPECT_EQ(*stats.at("freeMem").asInteger(), *stats.at("free_mem").asInteger());
    for (const char* key : {"active", "inactive", "wired", "user_time", "sys_time"}) EXPECT_TRUE(stats.count(key)) << key;

    struct statfs cache {};
    ASSERT_EQ(statfs(home_.cacheHome().c_str(), &cache), 0);
    const auto& storage = *valueOf(record[5]).asDictionary();
    EXPECT_EQ(*storage.at("total").asInteger(), static_cast<int64_t>(cache.f_bsize * cache.f_blocks));
    // Other tests running beside this one write and remove files meanwhile.
    EXPECT_NEAR(static_cast<double>(*storage.at("free").asInteger()), static_cast<double>(cache.f_bsize * cache.f_bavail),
                1024.0 * 1024 * 1024);
}

TEST_F(BBXProcessProbeTest, AThreadThatCannotBeStoppedLeavesEverySectionWhole) {
    ProbeRun probe = run({"--scenario", "snapshot", "--threads", "2", "--blocked-thread"});
    ASSERT_EQ(probe.status, 0);
    EXPECT_EQ(probe.facts["suspended"], "0");
    EXPECT_LT(std::stod(probe.facts["suspend-ms"]), 300 + 100.0);
    auto record = sections("snapshot.bbxrecord");
    ASSERT_EQ(record.size(), 6u);
    const auto& threads = *valueOf(record[0]).asArray();
    int empty = 0;
    for (const auto& thread : threads) {
        const auto& fields = *thread.asDictionary();
        if (fields.at("registers").asDictionary()->empty()) {
            ++empty;
            EXPECT_TRUE(fields.at("stacktrace").asArray()->empty());
        }
    }
    EXPECT_EQ(empty, 1);
    EXPECT_EQ(valueOf(record[3]).asArray()->size(), threads.size());
    EXPECT_NE(fileContents(dir() + "/sdk.log").find("BBXProcessGetThreadState: failed to get thread state\n"),
              std::string::npos);
}

TEST_F(BBXProcessProbeTest, TracksImagesLoadedAndUnloaded) {
    ProbeRun probe = run({"--scenario", "snapshot", "--threads", "1", "--dlopen", "--dlclose"});
    ASSERT_EQ(probe.status, 0);
    EXPECT_EQ(probe.facts["plugin-answer"], "43");
    EXPECT_EQ(probe.facts["found-plugin"], "1");
    EXPECT_EQ(probe.facts["found-after-unload"], "0");

    auto events = sections("binary_images.bbxrecord");
    int loads = 0;
    std::optional<PlistValue::Dictionary> pluginLoad, pluginUnload;
    for (const auto& event : events) {
        const auto& fields = *valueOf(event).asDictionary();
        bool isPlugin = *fields.at("path").asString() == probe.facts["plugin-path"];
        if (keyOf(event) == "load") {
            ++loads;
            if (isPlugin) pluginLoad = fields;
        } else if (isPlugin) {
            pluginUnload = fields;
        }
    }
    // Every image of the end, plus the plugin that came and went.
    EXPECT_EQ(loads, std::stoi(probe.facts["images"]) + 1);
    ASSERT_TRUE(pluginLoad);
    ASSERT_TRUE(pluginUnload);
    EXPECT_EQ(*pluginLoad->at("uuid").asString(), buildIDOf(BBX_PROBE_PLUGIN).substr(0, 32));
    auto function = static_cast<int64_t>(std::stoull(probe.facts["plugin-function"]));
    int64_t base = *pluginLoad->at("base").asInteger();
    EXPECT_LE(base, function);
    EXPECT_LT(function, base + *pluginLoad->at("size").asInteger());
    EXPECT_EQ(*pluginUnload->at("base").asInteger(), base);
}

TEST_F(BBXProcessProbeTest, ALoadTheCLibraryMakesItselfAppearsAfterTheRescan) {
    ProbeRun probe = run({"--scenario", "snapshot", "--threads", "1", "--getpwnam"});
    ASSERT_EQ(probe.status, 0);
    bool found = false;
    for (const auto& event : sections("binary_images.bbxrecord"))
        found = found || (keyOf(event) == "load" &&
                          valueOf(event).asDictionary()->at("path").asString()->find("libnss_") != std::string::npos);
    EXPECT_TRUE(found);
}

TEST_F(BBXProcessProbeTest, WithEverySlotTakenALoadIsWrittenButNotFound) {
    ProbeRun probe = run({"--scenario", "snapshot", "--threads", "1", "--dlopen", "--fill-slots"});
    ASSERT_EQ(probe.status, 0);
    EXPECT_EQ(probe.facts["found-plugin"], "0");
    EXPECT_NE(fileContents(dir() + "/sdk.log").find("insertNode: Error: Unable to track a loaded node 0x"),
              std::string::npos);
    bool written = false;
    for (const auto& event : sections("binary_images.bbxrecord"))
        written = written || *valueOf(event).asDictionary()->at("path").asString() == probe.facts["plugin-path"];
    EXPECT_TRUE(written);
}

TEST_F(BBXProcessProbeTest, AFailedAssertionsTextIsACrashInfoEntry) {
    ProbeRun probe = run({"--scenario", "runtime-on-assert"});
    EXPECT_EQ(probe.status, 128 + SIGABRT);
    auto record = sections("runtime.bbxrecord");
    ASSERT_EQ(record.size(), 1u);
    const auto& entries = *valueOf(record[0]).asDictionary()->at("crash_info_entries").asArray();
    ASSERT_EQ(entries.size(), 1u);
    std::string hex = *entries[0].asString();
    std::string text;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) text += static_cast<char>(std::stoi(hex.substr(i, 2), nullptr, 16));
    EXPECT_NE(text.find("Assertion `probe-assertion' failed."), std::string::npos) << text;
}

}  // namespace
