// The capture context in this test process: set up once for the whole
// program (a context lives as long as its process), then the diagnostic log,
// the crash-recorded flag and the protected records.
#include "sdk/blackbox/BBXContext.h"

#include <fcntl.h>
#include <gtest/gtest.h>
#include <sys/stat.h>

#include <chrono>
#include <filesystem>
#include <regex>
#include <sstream>
#include <thread>
#include <vector>

#include "platform/crash/ExceptionPorts.h"
#include "sdk/blackbox/BBXMachException.h"
#include "sdk/blackbox/BBXProcess.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXSignal.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"

namespace {

using blackboxtest::fileContents;
using blackboxtest::permissionsAt;
using blackboxtest::signalEndingChild;

class BBXContextTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        umask(022);
        BBXContextInitData data;
        data.maxCustomKeys = 16;
        data.maxCustomExceptions = 16;
        data.customExceptionsEnabled = 1;
        data.logBufferSize = 65536;
        EXPECT_FALSE(BBXContextMarkCrashRecorded());  // nothing to mark before a context
        folder_ = blackboxtest::startTestContext("bbx-context", data);
        ASSERT_FALSE(folder_.empty());
    }
    static void TearDownTestSuite() { std::filesystem::remove_all(folder_); }

    static std::string logPath() { return folder_ + "/sdk.log"; }

    // What one call adds to "sdk.log".
    template <class... Args>
    static std::string logged(const char* format, Args... arguments) {
        size_t before = fileContents(logPath()).size();
        BBXSDKLog(format, arguments...);
        return fileContents(logPath()).substr(before);
    }

    static inline std::string folder_;
};

TEST_F(BBXContextTest, IsInitialisedAndProtected) {
    ASSERT_TRUE(BBXContextIsInitialized());
    BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    BBXAllocator* allocator = BBXContextGetAllocator();
    EXPECT_EQ(readOnly->pageSize, 4096u);
    EXPECT_EQ(std::string(readOnly->binaryImagesPath), folder_ + "/binary_images.bbxrecord");
    EXPECT_EQ(std::string(readOnly->logStore.bPath), folder_ + "/log_b.bbxrecord");
    EXPECT_EQ(readOnly->keyValueStore.maxInternalKeys, 32u);
    EXPECT_EQ(readOnly->exceptionStore.maxCount, 16u);
    EXPECT_EQ(readOnly->errorStore.maxCount, 0u);  // error reporting off
    EXPECT_EQ(readOnly->exceptionStore.counter, &BBXContextGetWritable()->exceptionCount);
    EXPECT_FALSE(BBXContextDebuggerAttachedFlag());

    // Every record and path lies in the mapping: nothing fell back to the heap.
    auto inMapping = [&](const void* p) {
        auto address = reinterpret_cast<uintptr_t>(p);
        auto base = reinterpret_cast<uintptr_t>(allocator->base);
        return address >= base && address < base + BBXAllocatorMappingSize(allocator);
    };
    const void* blocks[] = {readOnly, BBXContextGetWritable(), readOnly->signalStack, readOnly->machServerStack,
                            readOnly->sdkLogPath, readOnly->customExceptionStore.bPath, readOnly->cachesPath};
    for (const void* p : blocks)
        EXPECT_TRUE(inMapping(p));
    EXPECT_EQ(fileContents(logPath()).find("falling back to malloc"), std::string::npos);

    EXPECT_EQ(permissionsAt(reinterpret_cast<uintptr_t>(readOnly)), "r--p");
    EXPECT_EQ(permissionsAt(reinterpret_cast<uintptr_t>(BBXContextGetWritable())), "rw-p");
    EXPECT_EQ(signalEndingChild([readOnly] { std::atomic_ref<uint8_t>(readOnly->debuggerAttached).store(1); }),
              SIGSEGV);
}

TEST_F(BBXContextTest, OnlyTheFirstMarkRecordsTheCrash) {
    // In a child, so the flag stays clear for the rest of this program.
    EXPECT_EQ(signalEndingChild([] {
                  if (BBXContextCrashRecorded() || BBXContextMarkCrashRecorded() || !BBXContextMarkCrashRecorded() ||
                      !BBXContextCrashRecorded())
                      _exit(1);
                  _exit(0);
              }),
              0);
    EXPECT_FALSE(BBXContextCrashRecorded());
}

// A signal handed over without its information (a pointer below 4096) is
// written with the error number and the time only; the handler still records
// the process and sends the signal on, so it ends the process.
TEST_F(BBXContextTest, ASignalWithoutItsInformationIsWrittenWithErrnoAndTimeOnly) {
    int ended = signalEndingChild([] {
        blackboxtest::resetSignalToDefault(SIGABRT);
        errno = EBADF;
        BBXSignalHandler(SIGABRT, reinterpret_cast<siginfo_t*>(16), nullptr);
    });
    EXPECT_EQ(ended, SIGABRT);
    auto signal = blackboxtest::sectionBodies(folder_ + "/signal.bbxrecord", "signal");
    ASSERT_EQ(signal.size(), 1u) << fileContents(logPath());
    std::vector<std::string> keys;
    for (const auto& [key, value] : *signal[0].asDictionary()) keys.push_back(key);
    EXPECT_EQ(keys, (std::vector<std::string>{"errno", "time"}));
    EXPECT_EQ(*signal[0].asDictionary()->at("errno").asInteger(), EBADF);
    EXPECT_EQ(blackboxtest::sectionBodies(folder_ + "/signal.bbxrecord", "threads").size(), 1u);
    std::filesystem::remove(folder_ + "/signal.bbxrecord");
}

TEST(BBXMachExceptionTest, NamesAndMasks) {
    struct Row {
        int32_t exception;
        int64_t firstCode;
        const char* name;
        const char* codeName;
    };
    const Row rows[] = {
        {1, 1, "EXC_BAD_ACCESS", "KERN_INVALID_ADDRESS"}, {1, 2, "EXC_BAD_ACCESS", "KERN_PROTECTION_FAILURE"},
        {1, 10, "EXC_BAD_ACCESS", nullptr},               {2, 1, "EXC_BAD_INSTRUCTION", "EXC_I386_INVOP"},
        {3, 1, "EXC_ARITHMETIC", "EXC_I386_DIV"},         {3, 8, "EXC_ARITHMETIC", "EXC_I386_SSEEXTERR"},
        {3, 9, "EXC_ARITHMETIC", nullptr},                {6, 3, "EXC_BREAKPOINT", "EXC_I386_BPTFLT"},
        {6, 8, "EXC_BREAKPOINT", nullptr},                {6, 15, "EXC_BREAKPOINT", nullptr},
        {6, 33, "EXC_BREAKPOINT", "EXC_I386_ENDPERR"},    {6, 34, "EXC_BREAKPOINT", nullptr},
        {12, 0, "EXC_GUARD", nullptr},                    {10, 0, nullptr, nullptr},
    };
    auto text = [](const char* value) { return value ? std::string(value) : std::string("(null)"); };
    for (const Row& row : rows) {
        const char* name = "unset";
        const char* codeName = "unset";
        BBXMachExceptionNames(row.exception, row.firstCode, &name, &codeName);
        EXPECT_EQ(text(name), text(row.name)) << row.exception << " " << row.firstCode;
        EXPECT_EQ(text(codeName), text(row.codeName)) << row.exception << " " << row.firstCode;
    }
    // A delegate that wants SIGSEGV as a signal: no bad-access exceptions.
    EXPECT_EQ(BBXMachExceptionMaskFor(1069, BBXSignalMachExceptionMask(SIGSEGV)), 76u);
    EXPECT_EQ(BBXMachExceptionMaskFor(101100, 0), 4174u);
    EXPECT_EQ(BBXMachExceptionMaskFor(101100, BBXSignalMachExceptionMask(SIGBUS) | BBXSignalMachExceptionMask(SIGFPE)),
              4174u - 2 - 8);
    EXPECT_EQ(BBXSignalMachExceptionMask(SIGABRT), 1024u);
    EXPECT_EQ(BBXSignalMachExceptionMask(SIGUSR1), 0u);
}

// A request naming another task is answered with failure on its reply port
// and nothing is recorded.
TEST_F(BBXContextTest, AnExceptionOfAnotherTaskIsAnsweredWithFailure) {
    crash::PortName replyPort = crash::allocatePort();
    ASSERT_NE(replyPort, crash::kPortNull);
    crash::ExceptionRequest request{};
    request.header.localPort = replyPort;
    request.header.id = crash::kExceptionRaiseID;
    request.thread.name = BBXThreadSelf();
    request.task.name = crash::taskSelf() + 1;
    request.exception = crash::kExceptionBadAccess;
    request.codeCount = 0;
    EXPECT_EQ(BBXMachExceptionHandleRequest(&BBXContextGetReadOnly()->machStore, &request), crash::kReturnFailure);
    crash::ExceptionReply reply{};
    ASSERT_EQ(crash::receiveMessage(replyPort, &reply, sizeof reply), static_cast<long>(sizeof reply));
    EXPECT_EQ(reply.returnCode, crash::kReturnFailure);
    EXPECT_EQ(reply.header.id, crash::kExceptionRaiseID + crash::kReplyIDOffset);
    crash::deallocatePort(replyPort);
    EXPECT_FALSE(std::filesystem::exists(folder_ + "/mach_exception.bbxrecord"));
    std::string log = fileContents(logPath());
    EXPECT_NE(log.find("code: 0xffffffffffffffff 0xffffffffffffffff\n"), std::string::npos) << log;
    EXPECT_NE(log.find("Mach exception task mis-match, returning failure\n"), std::string::npos);
}

TEST_F(BBXContextTest, SDKLogWritesItsDirectivesOnly) {
    struct Case {
        std::string written;
        std::string expected;
    };
    const Case cases[] = {
        {logged("%s: %lx then %d and %s\n", "f", uint64_t{0x1234567890}, -5, "text"), "f: 1234567890 then -5 and text\n"},
        {logged("%s: %lld %llu %zu %llx\n", "f", int64_t{-5}, UINT64_MAX, size_t{7}, ~uint64_t{0}),
         "f: -5 18446744073709551615 7 ffffffffffffffff\n"},
        {logged("%s: %s\n", "f", static_cast<const char*>(nullptr)), "f: (null)\n"},
        {logged("%s: %d %d %d\n", "f", -5, 0, INT32_MIN), "f: -5 0 -2147483648\n"},
        {logged("%s: %x %x\n", "f", 255u, 0xdeadbeefu), "f: ff deadbeef\n"},
        {logged("%s: %u\n", "f", 4294967295u), "f: 4294967295\n"},
        {logged("%s: %p %p\n", "f", static_cast<void*>(nullptr), reinterpret_cast<void*>(0x7f00ab)), "f: 0x0 0x7f00ab\n"},
        {logged("%s: %02x %f %ls %lp %%\n", "f"), "f: %02x %f %ls %lp %%\n"},
        {logged("%s: ends in %", "f"), "f: ends in %"},
        {logged("%s: ends in %ll", "f"), "f: ends in %ll"},
    };
    for (const auto& c : cases) EXPECT_EQ(c.written, c.expected);
}

// A line goes out with one write: lines of threads logging at once never mix,
// and one longer than the line buffer still arrives whole.
TEST_F(BBXContextTest, SDKLogLinesOfThreadsNeverMix) {
    std::string longText(1500, 'x');
    EXPECT_EQ(logged("%s: %s\n", "f", longText.c_str()), "f: " + longText + "\n");

    size_t before = fileContents(logPath()).size();
    std::vector<std::thread> threads;
    const char* names[] = {"alpha", "bravo", "charlie", "delta"};
    for (const char* name : names)
        threads.emplace_back([name] {
            for (int i = 0; i < 300; ++i) BBXSDKLog("%s: line %d of a thread logging at once\n", name, i);
        });
    for (auto& thread : threads) thread.join();
    std::istringstream lines(fileContents(logPath()).substr(before));
    int count = 0;
    std::regex whole("(alpha|bravo|charlie|delta): line [0-9]+ of a thread logging at once");
    for (std::string line; std::getline(lines, line); ++count) ASSERT_TRUE(std::regex_match(line, whole)) << line;
    EXPECT_EQ(count, 1200);
}

TEST_F(BBXContextTest, SDKLogKeepsOneAppendingDescriptor) {
    BBXSDKLog("%s: one\n", "f");
    BBXSDKLog("%s: two\n", "f");
    int found = 0;
    for (const auto& entry : std::filesystem::directory_iterator("/proc/self/fd")) {
        std::error_code error;
        auto target = std::filesystem::read_symlink(entry.path(), error);
        if (error || target != logPath()) continue;
        ++found;
        int flags = fcntl(std::stoi(entry.path().filename().string()), F_GETFL);
        EXPECT_TRUE(flags & O_APPEND);
    }
    EXPECT_EQ(found, 1);
    struct stat status {};
    ASSERT_EQ(stat(logPath().c_str(), &status), 0);
    EXPECT_EQ(status.st_mode & 0777, 0644u);
}

}  // namespace
