// Whole processes: the probe records keys and log lines into its report
// folder, and a second probe process, loaded at other addresses, symbolicates
// the stacks a first one recorded, every frame named as nm names it.
#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXUserLogging.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;
using foundation::PlistValue;

using blackboxtest::unhex;
const auto& bodies = blackboxtest::sectionBodies;

// The functions of an ELF file as `nm -C -S` names them.
struct NmSymbol {
    uint64_t start;
    uint64_t size;
    std::string name;
};

std::vector<NmSymbol> nmFunctions(const std::string& file) {
    auto result = testsupport::runCommand({"nm", "-C", "-S", "--defined-only", file}, 30s);
    std::vector<NmSymbol> symbols;
    std::istringstream lines(result.output);
    std::string line;
    while (std::getline(lines, line)) {
        std::istringstream fields(line);
        std::string start, size, type;
        if (!(fields >> start >> size >> type) || (type != "t" && type != "T" && type != "W" && type != "i")) continue;
        std::string name;
        std::getline(fields >> std::ws, name);
        symbols.push_back({std::stoull(start, nullptr, 16), std::stoull(size, nullptr, 16), name});
    }
    return symbols;
}

// The names nm gives the function holding offset, with that function's start.
std::pair<uint64_t, std::vector<std::string>> nmAt(const std::vector<NmSymbol>& symbols, uint64_t offset) {
    std::pair<uint64_t, std::vector<std::string>> found{0, {}};
    for (const auto& symbol : symbols) {
        if (offset < symbol.start || offset >= symbol.start + symbol.size) continue;
        found.first = symbol.start;
        found.second.push_back(symbol.name);
    }
    return found;
}

class BBXReportProbeTest : public ::testing::Test {
protected:
    std::string reportDir() const { return (home_.root() / "report").string(); }
    void runProbe(const std::vector<std::string>& arguments, const char* line) {
        std::vector<std::string> command{BBX_CRASH_PROBE};
        command.insert(command.end(), arguments.begin(), arguments.end());
        auto probe = testsupport::ChildProcess::start(command);
        ASSERT_TRUE(probe);
        EXPECT_TRUE(probe->waitForLine(line, 30s));
        EXPECT_EQ(probe->wait(30s), 0);
    }
    testsupport::TempHome home_;
};

TEST_F(BBXReportProbeTest, KeysAndLogLinesOfAWholeRun) {
    std::filesystem::create_directories(reportDir());
    runProbe({"core", "--report-dir", reportDir(), "--scenario", "user-logging"}, "initialized");

    // k00..k62 and k05 removed by the 64th write: 62 live keys, 16 kept.
    std::vector<std::string> keys = blackboxtest::keysInKVFile(reportDir() + "/user_compacted_kv.bbxrecord");
    std::vector<std::string> expected;
    for (int i = 47; i <= 62; ++i) expected.push_back("k" + std::to_string(i));
    EXPECT_EQ(keys, expected);
    EXPECT_FALSE(std::filesystem::exists(reportDir() + "/user_incremental_kv.bbxrecord"));

    // 300 bytes a file: the newest lines, in order, across the pair.
    auto a = bodies(reportDir() + "/log_a.bbxrecord", "log");
    auto b = bodies(reportDir() + "/log_b.bbxrecord", "log");
    auto number = [](const PlistValue& line) { return std::stoi(unhex(*line.get("msg")->asString()).substr(5)); };
    ASSERT_FALSE(a.empty());
    ASSERT_FALSE(b.empty());
    auto& older = number(a.back()) == 39 ? b : a;
    auto& newer = number(a.back()) == 39 ? a : b;
    EXPECT_EQ(number(newer.back()), 39);
    EXPECT_EQ(number(older.back()) + 1, number(newer.front()));
    for (size_t i = 1; i < older.size(); ++i) EXPECT_EQ(number(older[i - 1]) + 1, number(older[i]));
    EXPECT_LT(older.size() + newer.size(), 40u);
    EXPECT_LE(std::filesystem::file_size(reportDir() + "/log_a.bbxrecord"), 300u + 64u);
}

TEST_F(BBXReportProbeTest, AnotherProcessSymbolicatesLikeNm) {
    std::filesystem::create_directories(reportDir());
    runProbe({"core", "--report-dir", reportDir(), "--scenario", "frames"}, "initialized");
    std::string probePath = std::filesystem::canonical(BBX_CRASH_PROBE).string();
    uint64_t base = 0;
    for (const auto& load : bodies(reportDir() + "/binary_images.bbxrecord", "load"))
        if (load.get("path")->asString() && *load.get("path")->asString() == probePath) base = *load.get("base")->asInteger();
    ASSERT_NE(base, 0u);
    runProbe({"symbolicate", "--report-dir", reportDir()}, "symbolicated");
    auto symbols = nmFunctions(BBX_CRASH_PROBE);
    ASSERT_FALSE(symbols.empty());

    // Every frame in the probe's image of a record file and its companion:
    // the symbol nm gives for the address, the offset into it, the library.
    // Answers the symbols of the probe's frames, and the largest stack.
    auto check = [&](const std::string& name) {
        std::pair<std::vector<std::string>, size_t> seen;
        auto recorded = bodies(reportDir() + "/" + name, "threads");
        auto symbolicated = bodies(reportDir() + "/" + name + ".symbolicated", "threads");
        EXPECT_FALSE(recorded.empty());
        EXPECT_EQ(symbolicated.size(), 1u);
        if (recorded.empty() || symbolicated.size() != 1) return seen;
        const auto& threads = *symbolicated[0].asArray();
        const auto& stacks = *recorded[0].asArray();
        EXPECT_EQ(threads.size(), stacks.size());
        for (size_t t = 0; t < threads.size() && t < stacks.size(); ++t) {
            const auto& frames = *threads[t].asArray();
            const auto& addresses = *stacks[t].get("stacktrace")->asArray();
            EXPECT_EQ(frames.size(), addresses.size());
            seen.second = std::max(seen.second, addresses.size());
            for (size_t f = 0; f < frames.size() && f < addresses.size(); ++f) {
                auto address = static_cast<uint64_t>(*addresses[f].asInteger());
                auto [start, names] = nmAt(symbols, address - base);
                if (address < base || names.empty()) continue;  // another image
                SCOPED_TRACE(name + " thread " + std::to_string(t) + " frame " + std::to_string(f));
                // A return address at a function's first byte names the one before.
                uint64_t offset = address - base;
                if (start == offset) std::tie(start, names) = nmAt(symbols, offset - 2);
                const PlistValue& frame = frames[f];
                if (!frame.get("symbol")->asString()) {
                    ADD_FAILURE() << "no symbol";
                    continue;
                }
                std::string symbol = *frame.get("symbol")->asString();
                EXPECT_NE(std::find(names.begin(), names.end(), symbol), names.end()) << symbol;
                EXPECT_EQ(*frame.get("offset")->asInteger(), static_cast<int64_t>(offset - start));
                EXPECT_EQ(*frame.get("library")->asString(), "bbx_crash_probe");
                seen.first.push_back(symbol);
            }
        }
        return seen;
    };
    auto contains = [](const std::vector<std::string>& names, const char* name) {
        return std::find(names.begin(), names.end(), name) != names.end();
    };

    // The stack taken with backtrace(): the static levels are named too,
    // though the loader exports none of them.
    auto [framesNames, framesDepth] = check("exception.bbxrecord");
    for (const char* level : {"(anonymous namespace)::FramesLevel3()", "(anonymous namespace)::FramesLevel2()",
                              "(anonymous namespace)::FramesLevel1()", "main"})
        EXPECT_TRUE(contains(framesNames, level)) << level;
    // Thread 1: the first byte of FramesLevel2 is named as the function before it.
    auto thread1 = (*bodies(reportDir() + "/exception.bbxrecord.symbolicated", "threads")[0].asArray())[1];
    ASSERT_EQ(thread1.asArray()->size(), 1u);
    EXPECT_NE(*(*thread1.asArray())[0].get("symbol")->asString(), "(anonymous namespace)::FramesLevel2()");

    // The crash handler's record of parked workers: once its stacks go past
    // their first frame, the workers' static levels are named as well.
    auto [signalNames, signalDepth] = check("signal.bbxrecord");
    EXPECT_FALSE(signalNames.empty());  // at least the recording thread's own frame
    if (signalDepth > 2) {
        for (const char* level : {"(anonymous namespace)::ProbeLevel3()", "(anonymous namespace)::ProbeLevel2()",
                                  "(anonymous namespace)::ProbeLevel1()"})
            EXPECT_TRUE(contains(signalNames, level)) << level;
    }
}

}  // namespace
