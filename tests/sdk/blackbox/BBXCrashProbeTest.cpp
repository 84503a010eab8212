// Real crashes: the probe sets the kit up, crashes in a known place, and the
// test reads what the handlers left in its report folder.
#include <gtest/gtest.h>
#include <signal.h>
#include <sys/ptrace.h>
#include <sys/wait.h>
#include <unistd.h>

#include <algorithm>
#include <cstring>
#include <chrono>
#include <filesystem>
#include <map>
#include <regex>
#include <sstream>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "sdk/blackbox/BBXFile.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "tests/support/TempHome.h"

namespace {

using namespace std::chrono_literals;
using blackboxtest::fileContents;
using foundation::PlistValue;

const PlistValue& valueOf(const PlistValue& section) { return section.asDictionary()->begin()->second; }
const std::string& keyOf(const PlistValue& section) { return section.asDictionary()->begin()->first; }
std::optional<std::string> str(const PlistValue& value) {
    const std::string* text = value.asString();
    return text ? std::optional<std::string>(*text) : std::nullopt;
}

// A sanitizer runtime leaves the fault signals and the alternate stacks to the kit.
const std::map<std::string, std::string> kCrashEnvironment = {
    {"ASAN_OPTIONS", "handle_segv=0:handle_sigbus=0:handle_sigill=0:handle_sigfpe=0:handle_abort=0:"
                     "use_sigaltstack=0:detect_leaks=0"}};

// The probe's own functions by address, from its symbol table.
class ProbeSymbols {
public:
    ProbeSymbols() {
        auto result = testsupport::runCommand({"nm", "--defined-only", "-C", BBX_CRASH_PROBE}, 30s);
        std::istringstream lines(result.output);
        std::string line;
        while (std::getline(lines, line)) {
            std::istringstream fields(line);
            std::string address, type;
            fields >> address >> type;
            if (type != "t" && type != "T") continue;
            std::string name;
            std::getline(fields, name);
            name.erase(0, name.find_first_not_of(' '));
            const std::string anonymous = "(anonymous namespace)::";
            if (name.rfind(anonymous, 0) == 0) name.erase(0, anonymous.size());
            name = name.substr(0, name.find('('));
            auto colon = name.rfind("::");
            if (colon != std::string::npos) name = name.substr(colon + 2);
            symbols_[std::stoull(address, nullptr, 16)] = name;
        }
    }
    // The function holding offset, empty when none.
    std::string at(uint64_t offset) const {
        auto after = symbols_.upper_bound(offset);
        if (after == symbols_.begin()) return {};
        return std::prev(after)->second;
    }

private:
    std::map<uint64_t, std::string> symbols_;
};

struct CrashRun {
    std::optional<int> status;
    double seconds = 0;
};

class BBXCrashProbeTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() { symbols_ = new ProbeSymbols; }
    static void TearDownTestSuite() {
        delete symbols_;
        symbols_ = nullptr;
    }

    std::string dir() const { return folder_.empty() ? home_.root().string() : folder_; }

    CrashRun crash(const std::vector<std::string>& extra, const std::function<void(testsupport::ChildProcess&)>& during = {}) {
        std::vector<std::string> argv{BBX_CRASH_PROBE, "core", "--report-dir", dir()};
        argv.insert(argv.end(), extra.begin(), extra.end());
        auto start = std::chrono::steady_clock::now();
        auto probe = testsupport::ChildProcess::start(argv, kCrashEnvironment);
        CrashRun run;
        if (!probe) return run;
        if (during) during(*probe);
        run.status = probe->wait(20s);
        run.seconds = std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
        return run;
    }

    std::vector<PlistValue> sections(const std::string& name) {
        auto read = BBXFileReadSections((dir() + "/" + name).c_str(), false);
        return read ? *read : std::vector<PlistValue>{};
    }
    const PlistValue* section(const std::vector<PlistValue>& record, const std::string& key) {
        for (const auto& entry : record)
            if (keyOf(entry) == key) return &valueOf(entry);
        return nullptr;
    }

    // Every line of every record file parses.
    void expectEveryLineParses() {
        for (const auto& entry : std::filesystem::directory_iterator(dir())) {
            if (entry.path().extension() != ".bbxrecord") continue;
            std::string text = fileContents(entry.path().string());
            size_t lines = 0;
            std::istringstream all(text);
            for (std::string line; std::getline(all, line);) lines += line.empty() ? 0 : 1;
            EXPECT_EQ(sections(entry.path().filename().string()).size(), lines) << entry.path();
        }
    }

    // The metadata, the images with their build-ids, and the process record
    // of the crash file: one crashed thread, names and queues for each.
    // Answers the crashed thread's frames as function names of the probe.
    // heapFree false leaves out the heap-call count: a sanitizer's runtime
    // takes the heap itself when a fault's handler on the alternate stack
    // leaves by siglongjmp (its no-return bookkeeping), as the recorder's
    // recovery does; an uninstrumented build makes no heap call there.
    std::vector<std::string> expectCompleteReport(const std::string& file, bool heapFree = true) {
        EXPECT_EQ(sections("metadata.bbxrecord").size(), 4u);
        uint64_t probeBase = 0, probeSize = 0;
        bool libc = false;
        for (const auto& event : sections("binary_images.bbxrecord")) {
            if (keyOf(event) != "load") continue;
            const auto& fields = *valueOf(event).asDictionary();
            const std::string& path = *fields.at("path").asString();
            bool hasUUID = fields.at("uuid").asString() != nullptr;
            if (std::filesystem::path(path).filename() == std::filesystem::path(BBX_CRASH_PROBE).filename()) {
                EXPECT_TRUE(hasUUID);
                probeBase = static_cast<uint64_t>(*fields.at("base").asInteger());
                probeSize = static_cast<uint64_t>(*fields.at("size").asInteger());
            }
            if (path.find("libc.so") != std::string::npos) libc = hasUUID;
        }
        EXPECT_NE(probeBase, 0u);
        EXPECT_TRUE(libc);
        expectEveryLineParses();
        EXPECT_NE(fileContents(dir() + "/user_incremental_kv.bbxrecord").find(BBXHexEncodeCString("probe-key")),
                  std::string::npos);
        EXPECT_NE(fileContents(dir() + "/log_a.bbxrecord").find(BBXHexEncodeCString("probe log line before")),
                  std::string::npos);
        // No heap call while the other threads were held, in any recording.
        std::string heapCalls = fileContents(dir() + "/heap-calls");
        EXPECT_FALSE(heapCalls.empty());
        std::istringstream heapLines(heapCalls);
        for (std::string line; heapFree && std::getline(heapLines, line);) EXPECT_EQ(line, "heap-calls=0");

        auto record = sections(file);
        const PlistValue* threads = section(record, "threads");
        const PlistValue* names = section(record, "thread_names");
        const PlistValue* queues = section(record, "dispatch_queue_names");
        EXPECT_TRUE(section(record, "runtime"));
        EXPECT_TRUE(section(record, "process_stats"));
        EXPECT_TRUE(section(record, "storage"));
        if (!threads || !names || !queues) {
            ADD_FAILURE() << "no process record in " << file;
            return {};
        }
        EXPECT_EQ(names->asArray()->size(), threads->asArray()->size());
        EXPECT_EQ(queues->asArray()->size(), threads->asArray()->size());
        std::vector<std::string> frames;
        int crashed = 0;
        for (size_t i = 0; i < threads->asArray()->size(); ++i) {
            const auto& fields = *(*threads->asArray())[i].asDictionary();
            if (!fields.count("crashed")) continue;
            ++crashed;
            crashedName_ = *(*names->asArray())[i].asString();
            // Frames outside the probe (the C library's, say) have no name
            // here. Below the first, frames are return addresses: the call
            // before one may be its function's last instruction (to abort).
            for (const auto& pc : *fields.at("stacktrace").asArray()) {
                uint64_t offset = static_cast<uint64_t>(*pc.asInteger()) - probeBase - (frames.empty() ? 0 : 1);
                frames.push_back(offset < probeSize ? symbols_->at(offset) : std::string());
            }
        }
        EXPECT_EQ(crashed, 1);
        return frames;
    }

    // The crashed frames: leaf, the three levels, ProbeRunScenario, then on
    // the main thread the probe's core and main.
    void expectCrashedIn(const std::vector<std::string>& frames, const std::string& leaf, bool onMain = true) {
        ASSERT_FALSE(frames.empty());
        std::vector<std::string> expected{leaf, "ProbeLevel3", "ProbeLevel2", "ProbeLevel1", "ProbeRunScenario"};
        if (onMain) expected.insert(expected.end(), {"core", "main"});
        ASSERT_GE(frames.size(), expected.size());
        for (size_t i = 0; i < expected.size(); ++i) EXPECT_EQ(frames[i], expected[i]) << i;
    }

    // The same below the frames of whatever ran on top of leaf when the
    // record was made (the C library's abort, the kit's own recording).
    void expectCalledDownTo(const std::vector<std::string>& frames, const std::string& leaf) {
        auto at = std::find(frames.begin(), frames.end(), leaf);
        std::string shown;
        for (const auto& frame : frames) shown += (frame.empty() ? "?" : frame) + " ";
        ASSERT_NE(at, frames.end()) << leaf << " in " << shown;
        expectCrashedIn(std::vector<std::string>(at, frames.end()), leaf);
    }

    std::string sdkLog() { return fileContents(dir() + "/sdk.log"); }

    testsupport::TempHome home_;
    std::string folder_;  // a report folder of its own, for runs side by side
    std::string crashedName_;
    static ProbeSymbols* symbols_;
};

ProbeSymbols* BBXCrashProbeTest::symbols_ = nullptr;

struct FaultRow {
    const char* scenario;
    const char* leaf;
    int signal;
    uint64_t exception;
    uint64_t firstCode;
    const char* codeName;  // null when none
};

TEST_F(BBXCrashProbeTest, EachFaultIsAnExceptionAndEndsTheProcessByItsSignal) {
    const FaultRow rows[] = {
        {"segv-null", "ProbeSegvNull", SIGSEGV, 1, 1, "KERN_INVALID_ADDRESS"},
        {"segv-wild", "ProbeSegvWild", SIGSEGV, 1, 1, "KERN_INVALID_ADDRESS"},
        {"bus", "ProbeBus", SIGBUS, 1, 10, nullptr},
        {"ill", "ProbeIll", SIGILL, 2, 1, "EXC_I386_INVOP"},
        {"fpe", "ProbeFpe", SIGFPE, 3, 1, "EXC_I386_DIV"},
    };
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.scenario);
        std::filesystem::remove_all(dir());
        std::filesystem::create_directories(dir());
        CrashRun run = crash({"--scenario", row.scenario, "--threads", "2"});
        EXPECT_EQ(run.status, 128 + row.signal);
        EXPECT_LT(run.seconds, 20);
        auto record = sections("mach_exception.bbxrecord");
        ASSERT_FALSE(record.empty()) << sdkLog();
        const auto& fields = *valueOf(record[0]).asDictionary();
        EXPECT_EQ(*fields.at("exception").asInteger(), static_cast<int64_t>(row.exception));
        EXPECT_EQ(*(*fields.at("codes").asArray())[0].asInteger(), static_cast<int64_t>(row.firstCode));
        if (row.codeName) {
            EXPECT_EQ(str(fields.at("code_name")), std::optional<std::string>(row.codeName));
        }
        EXPECT_FALSE(std::filesystem::exists(dir() + "/signal.bbxrecord"));
        expectCrashedIn(expectCompleteReport("mach_exception.bbxrecord"), row.leaf);
    }
}

TEST_F(BBXCrashProbeTest, AFaultTheDelegateWantsAsASignalIsRecordedByTheSignalHandler) {
    const FaultRow rows[] = {
        {"segv-null", "ProbeSegvNull", SIGSEGV, 0, 0, nullptr},
        {"segv-wild", "ProbeSegvWild", SIGSEGV, 0, 0, nullptr},
        {"bus", "ProbeBus", SIGBUS, 0, 0, nullptr},
        {"ill", "ProbeIll", SIGILL, 0, 0, nullptr},
        {"fpe", "ProbeFpe", SIGFPE, 0, 0, nullptr},
    };
    for (const FaultRow& row : rows) {
        SCOPED_TRACE(row.scenario);
        std::filesystem::remove_all(dir());
        std::filesystem::create_directories(dir());
        CrashRun run = crash({"--scenario", row.scenario, "--deliver-signal", std::to_string(row.signal)});
        EXPECT_EQ(run.status, 128 + row.signal);
        EXPECT_FALSE(std::filesystem::exists(dir() + "/mach_exception.bbxrecord"));
        auto record = sections("signal.bbxrecord");
        ASSERT_FALSE(record.empty()) << sdkLog();
        EXPECT_EQ(*valueOf(record[0]).asDictionary()->at("number").asInteger(), row.signal);
        expectCrashedIn(expectCompleteReport("signal.bbxrecord"), row.leaf);
    }
}

TEST_F(BBXCrashProbeTest, AnAbortAndAFailedAssertionAreSignals) {
    for (const char* scenario : {"abort", "assert"}) {
        SCOPED_TRACE(scenario);
        std::filesystem::remove_all(dir());
        std::filesystem::create_directories(dir());
        CrashRun run = crash({"--scenario", scenario});
        EXPECT_EQ(run.status, 128 + SIGABRT);
        auto record = sections("signal.bbxrecord");
        ASSERT_FALSE(record.empty()) << sdkLog();
        const auto& fields = *valueOf(record[0]).asDictionary();
        EXPECT_EQ(*fields.at("number").asInteger(), SIGABRT);
        EXPECT_EQ(str(fields.at("name")), std::optional<std::string>("SIGABRT"));
        EXPECT_EQ(str(fields.at("code_name")), std::optional<std::string>("ABORT"));
        expectCalledDownTo(expectCompleteReport("signal.bbxrecord"),
                           std::string(scenario) == "abort" ? "ProbeAbort" : "ProbeAssert");
        const auto& entries = *section(record, "runtime")->asDictionary()->at("crash_info_entries").asArray();
        if (std::string(scenario) == "assert") {
            ASSERT_EQ(entries.size(), 1u);
            EXPECT_NE(entries[0].asString()->find(BBXHexEncodeCString("probe-assertion")), std::string::npos);
        }
    }
}

// An uncaught C++ exception is recorded with its type's name and its text
// (an integer: "int", no text), then the abort after it.
TEST_F(BBXCrashProbeTest, AnUncaughtExceptionIsRecordedThenTheAbortToo) {
    struct Row {
        const char* scenario;
        const char* name;
        const char* reason;
        const char* leaf;
    };
    const Row rows[] = {
        {"cxx-exception", "std::runtime_error", "boom", "ProbeCxxException"},
        {"cxx-integer", "int", "", "ProbeCxxInteger"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.scenario);
        std::filesystem::remove_all(dir());
        std::filesystem::create_directories(dir());
        CrashRun run = crash({"--scenario", row.scenario});
        EXPECT_EQ(run.status, 128 + SIGABRT);
        auto record = sections("exception.bbxrecord");
        ASSERT_FALSE(record.empty()) << sdkLog();
        const auto& fields = *valueOf(record[0]).asDictionary();
        EXPECT_EQ(str(fields.at("type")), std::optional<std::string>("c++"));
        EXPECT_EQ(str(fields.at("name")), std::optional<std::string>(BBXHexEncodeCString(row.name)));
        EXPECT_EQ(str(fields.at("reason")), std::optional<std::string>(BBXHexEncodeCString(row.reason)));
        expectCalledDownTo(expectCompleteReport("exception.bbxrecord"), row.leaf);
        EXPECT_FALSE(sections("signal.bbxrecord").empty());
    }
}

// A kit exception no one caught is left to the application's reporter: the
// terminate handler records nothing of it and calls the handler it replaced,
// and the abort after is what the report holds.
TEST_F(BBXCrashProbeTest, AnUncaughtKitExceptionIsLeftToTheAbort) {
    CrashRun kit = crash({"--scenario", "cxx-kit-exception"});
    EXPECT_EQ(kit.status, 128 + SIGABRT);
    EXPECT_TRUE(sections("exception.bbxrecord").empty());
    std::string log = sdkLog();
    EXPECT_NE(log.find("Skipping ObjC exception at this point"), std::string::npos) << log;
    EXPECT_NE(log.find("BBXTerminateHandler: invoking pre-existing handler"), std::string::npos);
    auto signal = sections("signal.bbxrecord");
    ASSERT_FALSE(signal.empty());
    EXPECT_EQ(str(valueOf(signal[0]).asDictionary()->at("name")), std::optional<std::string>("SIGABRT"));
    expectCalledDownTo(expectCompleteReport("signal.bbxrecord"), "ProbeCxxKitException");
}

TEST_F(BBXCrashProbeTest, AKitExceptionTheApplicationReportsIsRecordedWhenAllowed) {
    CrashRun run = crash({"--scenario", "report-exception"});
    EXPECT_EQ(run.status, 0);
    auto record = sections("exception.bbxrecord");
    ASSERT_FALSE(record.empty()) << sdkLog();
    const auto& fields = *valueOf(record[0]).asDictionary();
    EXPECT_EQ(str(fields.at("type")), std::optional<std::string>("objective-c"));
    EXPECT_EQ(str(fields.at("name")), std::optional<std::string>(BBXHexEncodeCString("ProbeException")));
    EXPECT_FALSE(fields.at("frames").asArray()->empty());
    expectCalledDownTo(expectCompleteReport("exception.bbxrecord"), "ProbeReportException");
}

TEST_F(BBXCrashProbeTest, AStackOverflowOnTheMainThreadIsRecorded) {
    CrashRun run = crash({"--scenario", "overflow"});
    EXPECT_EQ(run.status, 128 + SIGSEGV);
    ASSERT_FALSE(sections("mach_exception.bbxrecord").empty()) << sdkLog();
    auto frames = expectCompleteReport("mach_exception.bbxrecord");
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0], "ProbeRecurse");
    // As much of the recursion as a stack trace holds.
    EXPECT_EQ(std::count(frames.begin(), frames.end(), "ProbeRecurse"), 512);
}

TEST_F(BBXCrashProbeTest, AWorkerThatCrashesIsTheCrashedThread) {
    CrashRun run = crash({"--scenario", "worker", "--threads", "3"});
    EXPECT_EQ(run.status, 128 + SIGSEGV);
    auto frames = expectCompleteReport("mach_exception.bbxrecord");
    EXPECT_EQ(crashedName_, "worker-2");
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0], "ProbeSegvNull");
}

TEST_F(BBXCrashProbeTest, AFaultWithNoUsableStackIsStillRecorded) {
    CrashRun run = crash({"--scenario", "hostile"});
    EXPECT_EQ(run.status, 128 + SIGILL);
    auto frames = expectCompleteReport("mach_exception.bbxrecord");
    // Nothing past the faulting instruction can be walked: that one shows.
    EXPECT_EQ(frames, (std::vector<std::string>{"ProbeHostile"}));
    EXPECT_NE(sdkLog().find("BBXUnwindNextFrame: Error: thread PC/SP invalid before unwind\n"), std::string::npos);
}

TEST_F(BBXCrashProbeTest, AFaultInsideTheRecorderCostsOnlyThatThreadsEntry) {
    CrashRun run = crash({"--scenario", "fault-in-recorder", "--threads", "2"});
    EXPECT_EQ(run.status, 128 + SIGSEGV);
    EXPECT_NE(sdkLog().find("BBXProcessRecordAllThreads: fault while recording thread 1, its entry left empty\n"),
              std::string::npos)
        << sdkLog();
    auto frames = expectCompleteReport("mach_exception.bbxrecord", false);
    expectCrashedIn(frames, "ProbeSegvNull");
    auto record = sections("mach_exception.bbxrecord");
    std::vector<std::string> keys;
    for (const auto& entry : record) keys.push_back(keyOf(entry));
    EXPECT_EQ(keys, (std::vector<std::string>{"mach_exception", "threads", "runtime", "dispatch_queue_names",
                                              "thread_names", "process_stats", "storage"}));
    // The entry being written when the fault came is empty; the others whole.
    const auto& threads = *section(record, "threads")->asArray();
    ASSERT_GE(threads.size(), 4u);
    for (size_t i = 0; i < threads.size(); ++i) {
        const auto& fields = *threads[i].asDictionary();
        EXPECT_EQ(fields.count("registers"), i == 1 ? 0u : 1u) << i;
        EXPECT_EQ(fields.at("stacktrace").asArray()->empty(), i == 1) << i;
    }
}

TEST_F(BBXCrashProbeTest, AFaultInsideTheRecorderBetweenEntriesCostsOnlyItsSection) {
    CrashRun run = crash({"--scenario", "fault-in-section"});
    EXPECT_EQ(run.status, 128 + SIGSEGV);
    EXPECT_NE(sdkLog().find("BBXHandler: fault while recording section process_stats, going on with the next\n"),
              std::string::npos);
    auto record = sections("mach_exception.bbxrecord");
    std::vector<std::string> keys;
    for (const auto& entry : record) keys.push_back(keyOf(entry));
    EXPECT_EQ(keys, (std::vector<std::string>{"mach_exception", "threads", "runtime", "dispatch_queue_names",
                                              "thread_names", "storage"}));
}

TEST_F(BBXCrashProbeTest, TwoThreadsFaultingAtOnceLeaveOneReport) {
    CrashRun run = crash({"--scenario", "two-at-once", "--threads", "2"});
    EXPECT_TRUE(run.status == 128 + SIGSEGV || run.status == 1) << run.status.value_or(-1);
    auto record = sections("mach_exception.bbxrecord");
    ASSERT_EQ(std::count_if(record.begin(), record.end(), [](const auto& s) { return keyOf(s) == "mach_exception"; }), 1);
    expectCompleteReport("mach_exception.bbxrecord");
}

TEST_F(BBXCrashProbeTest, ASignalSentByAnotherProcessIsRecordedAndEndsTheProcess) {
    CrashRun run = crash({"--scenario", "kill"}, [](testsupport::ChildProcess& probe) {
        ASSERT_TRUE(probe.waitForLine("waiting", 20s));
        probe.signal(SIGSEGV);
    });
    EXPECT_EQ(run.status, 128 + SIGSEGV);
    EXPECT_FALSE(std::filesystem::exists(dir() + "/mach_exception.bbxrecord"));
    auto record = sections("signal.bbxrecord");
    ASSERT_FALSE(record.empty()) << sdkLog();
    EXPECT_EQ(*valueOf(record[0]).asDictionary()->at("code").asInteger(), SI_USER);
    expectCalledDownTo(expectCompleteReport("signal.bbxrecord"), "ProbeHoldForKill");
}

TEST_F(BBXCrashProbeTest, FiftyCrashesAmidBusyHeapAndLoaderThreadsEachEndQuicklyAndComplete) {
    constexpr int kRuns = 50, kSideBySide = 4;
    for (int first = 0; first < kRuns; first += kSideBySide) {
        struct Run {
            std::string folder;
            std::unique_ptr<testsupport::ChildProcess> probe;
        };
        std::vector<Run> runs;
        for (int i = first; i < std::min(kRuns, first + kSideBySide); ++i) {
            Run run;
            run.folder = home_.root().string() + "/busy-" + std::to_string(i);
            std::filesystem::create_directories(run.folder);
            run.probe = testsupport::ChildProcess::start(
                {BBX_CRASH_PROBE, "core", "--report-dir", run.folder, "--scenario", "busy", "--threads", "1"},
                kCrashEnvironment);
            ASSERT_TRUE(run.probe);
            runs.push_back(std::move(run));
        }
        for (Run& run : runs) {
            SCOPED_TRACE(run.folder);
            std::optional<std::chrono::steady_clock::time_point> crashing;
            while (auto line = run.probe->readLine(20s)) {
                if (line->rfind("crashing-at=", 0) == 0)
                    crashing = std::chrono::steady_clock::time_point(std::chrono::nanoseconds(std::stoll(line->substr(12))));
            }
            EXPECT_EQ(run.probe->wait(20s), 128 + SIGSEGV);
            ASSERT_TRUE(crashing);
            EXPECT_LT(std::chrono::steady_clock::now() - *crashing, 5s);
            folder_ = run.folder;
            ASSERT_FALSE(sections("mach_exception.bbxrecord").empty()) << sdkLog();
            auto frames = expectCompleteReport("mach_exception.bbxrecord");
            ASSERT_FALSE(frames.empty());
            EXPECT_EQ(frames[0], "ProbeSegvNull");
        }
        folder_.clear();
    }
}

// The thread recording a loaded image is stopped by a crash right after its
// first write of that record: the record's line is whole, as are all others.
TEST_F(BBXCrashProbeTest, AnImageRecordBeingWrittenWhenTheProcessCrashesIsWhole) {
    CrashRun run = crash({"--scenario", "image-write"});
    EXPECT_EQ(run.status, 128 + SIGSEGV);
    ASSERT_FALSE(sections("mach_exception.bbxrecord").empty()) << sdkLog();
    auto frames = expectCompleteReport("mach_exception.bbxrecord");
    ASSERT_FALSE(frames.empty());
    EXPECT_EQ(frames[0], "ProbeFaultAfterImageWrite");
    std::string plugin = std::filesystem::path(BBX_PROBE_PLUGIN).filename();
    auto images = sections("binary_images.bbxrecord");
    EXPECT_TRUE(std::any_of(images.begin(), images.end(), [&](const PlistValue& event) {
        return keyOf(event) == "load" && valueOf(event).asDictionary()->at("path").asString()->find(plugin) != std::string::npos;
    })) << fileContents(dir() + "/binary_images.bbxrecord");
}

// A crash while another thread is midway through writing a record line: the
// process ends only once that line is whole (a killed process's write(2) may
// stop at any page boundary of the file).
TEST_F(BBXCrashProbeTest, ACrashWaitsForAnImageRecordAnotherThreadIsWriting) {
    // Recorded by the exception server, and by the signal handler.
    for (const char* record : {"mach_exception.bbxrecord", "signal.bbxrecord"}) {
        SCOPED_TRACE(record);
        std::filesystem::remove_all(dir());
        std::filesystem::create_directories(dir());
        std::vector<std::string> options{"--scenario", "image-write-cut"};
        if (std::string(record) == "signal.bbxrecord") options.insert(options.end(), {"--deliver-signal", "11"});
        CrashRun run = crash(options);
        EXPECT_EQ(run.status, 128 + SIGSEGV);
        ASSERT_FALSE(sections(record).empty()) << sdkLog();
        expectCrashedIn(expectCompleteReport(record), "ProbeSegvNull");
        std::string plugin = std::filesystem::path(BBX_PROBE_PLUGIN).filename();
        auto images = sections("binary_images.bbxrecord");
        EXPECT_TRUE(std::any_of(images.begin(), images.end(), [&](const PlistValue& event) {
            return keyOf(event) == "load" &&
                   valueOf(event).asDictionary()->at("path").asString()->find(plugin) != std::string::npos;
        })) << fileContents(dir() + "/binary_images.bbxrecord");
        EXPECT_EQ(sdkLog().find("still under way"), std::string::npos);
    }
}

TEST_F(BBXCrashProbeTest, HandlersALibraryPutInPlaceAreWarnedOfEvenPastTheFaultEntry) {
    auto result = testsupport::runCommand({BBX_CRASH_PROBE, "core", "--report-dir", dir(), "--scenario", "warn-foreign"},
                                          20s, kCrashEnvironment);
    EXPECT_EQ(result.status, 0);
    std::vector<std::string> warned;
    std::istringstream lines(result.output);
    for (std::string line; std::getline(lines, line);) {
        std::smatch match;
        if (std::regex_search(line, match, std::regex("^\\[Blackbox\\] The signal (\\w+) has a non-Blackbox handler")))
            warned.push_back(match[1]);
    }
    EXPECT_EQ(warned, (std::vector<std::string>{"SIGABRT", "SIGSEGV"})) << result.output;
}

TEST_F(BBXCrashProbeTest, UnderATracerNothingIsInstalled) {
    pid_t child = fork();
    if (child == 0) {
        raise(SIGSTOP);
        execl(BBX_CRASH_PROBE, BBX_CRASH_PROBE, "core", "--report-dir", dir().c_str(), "--scenario", "abort", nullptr);
        _exit(99);
    }
    int status = 0;
    ASSERT_EQ(waitpid(child, &status, WUNTRACED), child);
    if (ptrace(PTRACE_SEIZE, child, nullptr, nullptr) != 0) {
        kill(child, SIGKILL);
        waitpid(child, &status, 0);
        GTEST_SKIP() << "PTRACE_SEIZE refused here: " << strerror(errno);
    }
    kill(child, SIGCONT);
    for (;;) {
        ASSERT_EQ(waitpid(child, &status, 0), child);
        if (WIFEXITED(status) || WIFSIGNALED(status)) break;
        // Pass every stop's signal on.
        int signal = WIFSTOPPED(status) ? WSTOPSIG(status) : 0;
        if (signal == SIGTRAP || signal == SIGSTOP || signal == SIGCONT) signal = 0;
        ptrace(PTRACE_CONT, child, nullptr, reinterpret_cast<void*>(static_cast<intptr_t>(signal)));
    }
    EXPECT_TRUE(WIFSIGNALED(status));
    EXPECT_FALSE(std::filesystem::exists(dir() + "/signal.bbxrecord"));
    EXPECT_NE(sdkLog().find("Debugger present - not installing handlers"), std::string::npos);
}

}  // namespace
