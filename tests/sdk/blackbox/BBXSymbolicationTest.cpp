// Symbolication against the images of this test process: a report whose
// binary-image list names this program at another base (as a later launch
// of the same build sees it) and an image that is not loaded.
#include "sdk/blackbox/BBXProcessReportOperation.h"

#include <dlfcn.h>
#include <gtest/gtest.h>
#include <unistd.h>

#include <algorithm>
#include <filesystem>
#include <cstring>
#include <fstream>
#include <random>

#include "platform/foundation/JSON.h"
#include "sdk/beacon/ElfImage.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXDemangleOperation.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXInternalReport.h"
#include "sdk/blackbox/BBXStackFrame.h"
#include "sdk/blackbox/BBXSymbolResolver.h"
#include "tests/sdk/blackbox/BlackboxTestSupport.h"
#include "tests/support/RecordingSystemLog.h"

namespace {

namespace fs = std::filesystem;
using foundation::PlistValue;

constexpr uint64_t kRecordedBase = 0x100000000;
constexpr uint64_t kOtherBase = 0x7f0000000000;

__attribute__((noinline)) int symbolicationStaticHelper(int value) {
    asm volatile("" ::: "memory");
    return value * 3 + 1;
}

class BBXSymbolicationTest : public ::testing::Test {
protected:
    static void SetUpTestSuite() {
        if (!BBXContextIsInitialized()) {
            BBXContextInitData data;
            contextFolder_ = blackboxtest::startTestContext("bbx-symbolication", data);
        }
    }
    static void TearDownTestSuite() {
        if (!contextFolder_.empty()) fs::remove_all(contextFolder_);
    }

    void SetUp() override {
        ASSERT_TRUE(BBXContextIsInitialized());
        char pattern[] = "/tmp/bbx-report-XXXXXX";
        ASSERT_NE(mkdtemp(pattern), nullptr);
        folder_ = pattern;
        auto program = beacon::mainProgramImage();
        ASSERT_TRUE(program);
        header_ = reinterpret_cast<uintptr_t>(program->header);
        uuid_ = beacon::runningProgramIdentity()->uuidString().value_or("");
        ASSERT_EQ(uuid_.size(), 32u);
        // The program as it was recorded, a library of another build, an
        // image without a size, and an unload (never applied).
        std::ofstream images(folder_ + "/binary_images.bbxrecord", std::ios::binary);
        images << "{\"load\":{\"path\":\"/usr/lib/libother.so\",\"uuid\":\"" << std::string(32, 'f')
               << "\",\"base\":" << kOtherBase << ",\"size\":4096}}\n";
        images << "{\"load\":{\"path\":\"/x\",\"uuid\":\"" << uuid_ << "\",\"base\":4096,\"size\":null}}\n";
        images << "{\"load\":{\"path\":\"/build/blackbox_report_tests\",\"uuid\":\"" << uuid_
               << "\",\"base\":" << kRecordedBase << ",\"size\":268435456}}\n";
        images << "{\"unload\":{\"path\":\"/build/blackbox_report_tests\",\"base\":" << kRecordedBase << "}}\n";
    }
    void TearDown() override { fs::remove_all(folder_); }

    // Where a function of this program lay in the recorded launch.
    uint64_t recorded(const void* function, int64_t delta = 0) const {
        return kRecordedBase + (reinterpret_cast<uintptr_t>(function) - header_) + delta;
    }
    std::shared_ptr<BBXSymbolResolver> resolver() const {
        auto resolver = std::make_shared<BBXSymbolResolver>();
        EXPECT_TRUE(resolver->loadBinaryImagesFromFile(folder_ + "/binary_images.bbxrecord"));
        return resolver;
    }

    static inline std::string contextFolder_;
    std::string folder_;
    uintptr_t header_ = 0;
    std::string uuid_;
};

TEST_F(BBXSymbolicationTest, LoadsOnlyWholeImagesSortedByBase) {
    auto images = resolver()->binaryImages();
    ASSERT_EQ(images.size(), 2u);
    EXPECT_EQ(images[0].get("base")->asInteger(), static_cast<int64_t>(kRecordedBase));
    EXPECT_EQ(images[1].get("base")->asInteger(), static_cast<int64_t>(kOtherBase));

    testsupport::RecordingSystemLog::Scope log;
    BBXSymbolResolver empty;
    EXPECT_FALSE(empty.loadBinaryImagesFromFile(""));
    EXPECT_FALSE(empty.loadBinaryImagesFromFile(folder_ + "/missing.bbxrecord"));
    EXPECT_TRUE(log->contains("[Blackbox:Crash:SymbolResolver] failed to read binary image file " + folder_ +
                              "/missing.bbxrecord"));
}

TEST_F(BBXSymbolicationTest, NamesAStaticFunctionFromTheSymbolTable) {
    auto resolver = this->resolver();
    void* helper = reinterpret_cast<void*>(&symbolicationStaticHelper);
    auto frame = resolver->frameForAddress(recorded(helper, 5));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->symbol(), "_ZN12_GLOBAL__N_125symbolicationStaticHelperEi");
    EXPECT_EQ(frame->offset(), 5u);
    EXPECT_EQ(frame->library(), "blackbox_report_tests");
    // An exported function is named by the dynamic loader.
    auto exported = resolver->frameForAddress(recorded(reinterpret_cast<void*>(&BBXContextIsInitialized), 1));
    ASSERT_TRUE(exported);
    EXPECT_EQ(exported->symbol(), "_Z23BBXContextIsInitializedv");
    EXPECT_EQ(exported->offset(), 1u);

    // A return address at a function's first byte belongs to the one before.
    auto atStart = resolver->frameForAddress(recorded(helper));
    ASSERT_TRUE(atStart);
    ASSERT_TRUE(atStart->symbol());
    EXPECT_NE(atStart->symbol(), "_ZN12_GLOBAL__N_125symbolicationStaticHelperEi");
    EXPECT_GE(atStart->offset(), 2u);
}

// A path that is no UTF-8, a broken 10 MiB line and a line cut short by a
// killed writer cost their own lines; the rest of the list still symbolicates.
TEST_F(BBXSymbolicationTest, BadImageLinesCostOnlyThemselves) {
    {
        std::ofstream images(folder_ + "/binary_images.bbxrecord", std::ios::binary | std::ios::app);
        images << "{\"load\":{\"path\":\"/opt/" << std::string(1, '\xff') << "x.so\",\"uuid\":\"" << uuid_
               << "\",\"base\":" << kOtherBase + 8192 << ",\"size\":4096}}\n";
        images << "{\"load\":{\"path\":\"/y\",\"uuid\":\"" << std::string(10 << 20, 'a') << "\n";
        images << "{\"load\":{\"path\":\"/cut/short\",\"uuid\":\"" << uuid_ << "\",\"base\":" << kOtherBase + 32768;
    }
    auto resolver = this->resolver();
    EXPECT_EQ(resolver->binaryImages().size(), 2u);
    auto frame = resolver->frameForAddress(recorded(reinterpret_cast<void*>(&symbolicationStaticHelper), 3));
    ASSERT_TRUE(frame);
    EXPECT_EQ(frame->symbol(), "_ZN12_GLOBAL__N_125symbolicationStaticHelperEi");
    EXPECT_EQ(resolver->frameForAddress(kOtherBase + 8192 + 16), nullptr);
}

TEST_F(BBXSymbolicationTest, AnImageNotLoadedNowOrNoImageGivesNothing) {
    auto resolver = this->resolver();
    for (uint64_t address : {uint64_t(0), kOtherBase + 16, uint64_t(0x10), kRecordedBase - 1}) {
        auto frame = BBXStackFrame::stackFrameWithAddress(address);
        EXPECT_FALSE(resolver->updateStackFrame(*frame)) << address;
        EXPECT_EQ(frame->symbol(), std::nullopt);
        EXPECT_EQ(frame->offset(), 0u);
        EXPECT_EQ(frame->library(), std::nullopt);
    }
    EXPECT_EQ(resolver->frameForAddress(kOtherBase + 16), nullptr);
}

TEST_F(BBXSymbolicationTest, AReportGetsCompanionFilesForItsCrashRecords) {
    void* helper = reinterpret_cast<void*>(&symbolicationStaticHelper);
    std::ofstream(folder_ + "/metadata.bbxrecord") << "{\"identity\":{\"session_id\":\"s-1\"}}\n";
    std::ofstream(folder_ + "/signal.bbxrecord")
        << "{\"signal\":{\"number\":11}}\n"
        << "{\"threads\":[{\"registers\":{},\"stacktrace\":[" << recorded(helper, 7) << "," << kOtherBase + 8
        << "],\"crashed\":true},{\"stacktrace\":[]}]}\n"
        << "{\"threads\":[{\"stacktrace\":[1]}]}\n";
    std::ofstream(folder_ + "/mach_exception.bbxrecord") << "{\"mach_exception\":{}}\n";
    auto report = BBXInternalReport::reportWithPath(folder_);
    ASSERT_TRUE(report);
    BBXProcessReportOperation operation(report, std::make_shared<BBXSymbolResolver>());
    operation.start();

    EXPECT_FALSE(fs::exists(folder_ + "/exception.bbxrecord.symbolicated"));
    EXPECT_FALSE(fs::exists(folder_ + "/mach_exception.bbxrecord.symbolicated"));
    std::string written = blackboxtest::fileContents(folder_ + "/signal.bbxrecord.symbolicated");
    EXPECT_EQ(written,
              "{\"threads\":[[{\"symbol\":\"(anonymous namespace)::symbolicationStaticHelper(int)\",\"offset\":7,"
              "\"library\":\"blackbox_report_tests\"},{\"symbol\":null,\"offset\":0,\"library\":null}],[]]}\n");
}

TEST(BBXDemangleOperationTest, DemanglesCppAndBlockNamesAndLeavesTheRest) {
    struct Case {
        const char* symbol;
        std::optional<std::string> demangled;
    } cases[] = {
        {"_ZN3foo3barEv", "foo::bar()"},
        {"_ZN12_GLOBAL__N_16levelsEi", "(anonymous namespace)::levels(int)"},
        {"__ZN3foo3barEv_block_invoke_2", "foo::bar()_block_invoke_2"},
        {"__ZN3foo3barEv_block_invoke", "foo::bar()_block_invoke"},
        {"__Z_block_invoke", std::nullopt},  // the suffix must start at index 5 or beyond
        {"__Znot-mangled_block_invoke", std::nullopt},
        {"_T0So8NSObjectC", std::nullopt},
        {"_Zbad", std::nullopt},
        {"main", std::nullopt},
        {"", std::nullopt},
        {nullptr, std::nullopt},
    };
    for (const auto& c : cases)
        EXPECT_EQ(BBXDemangleOperation::demangleSymbol(c.symbol), c.demangled) << (c.symbol ? c.symbol : "null");

    auto threads = std::make_shared<BBXThreadArray>(BBXThreadArray{
        {BBXStackFrame::stackFrameWithSymbol("__ZN3foo3barEv_block_invoke_2"),
         BBXStackFrame::stackFrameWithSymbol("_T0So8NSObjectC"), BBXStackFrame::stackFrameWithSymbol(std::nullopt)},
        {BBXStackFrame::stackFrameWithSymbol("_ZN3foo3barEv")}});
    BBXDemangleOperation(threads).start();
    EXPECT_EQ((*threads)[0][0]->symbol(), "foo::bar()_block_invoke_2");
    EXPECT_EQ((*threads)[0][1]->symbol(), "_T0So8NSObjectC");
    EXPECT_EQ((*threads)[0][2]->symbol(), std::nullopt);
    EXPECT_EQ((*threads)[1][0]->symbol(), "foo::bar()");
}

TEST(BBXThreadArrayOperationTest, ACancelStopsAfterTheFrameInProgress) {
    auto threads = std::make_shared<BBXThreadArray>();
    for (int t = 0; t < 2; ++t) {
        threads->emplace_back();
        for (int f = 0; f < 3; ++f) threads->back().push_back(BBXStackFrame::stackFrameWithAddress(10 * t + f));
    }
    BBXDemangleOperation operation(threads);
    std::vector<uint64_t> seen;
    operation.enumerateFramesWithBlock([&](BBXStackFrame& frame) {
        seen.push_back(frame.address());
        if (frame.address() == 1) operation.cancel();
    });
    EXPECT_EQ(seen, (std::vector<uint64_t>{0, 1}));
}

TEST(BBXStackFrameTest, Descriptions) {
    auto frame = BBXStackFrame::stackFrameWithAddress(0x1f);
    frame->setSymbol("main");
    frame->setLineNumber(12);
    EXPECT_EQ(frame->description(), "{[0x1f + 12] main}");
    frame->setFileName("main.cpp");
    EXPECT_EQ(frame->description(), "{[0x1f] main.cpp - main:12}");
    EXPECT_EQ(BBXStackFrame::stackFrame()->description(), "{[0x0 + 0] (null)}");
}

TEST(ElfFunctionSymbolsTest, RejectsWhatIsNoWholeElfFileAndSurvivesDamage) {
    EXPECT_EQ(beacon::elfFunctionSymbolsFromFileBytes(nullptr, 0), std::nullopt);
    EXPECT_EQ(beacon::elfFunctionSymbolsFromFileBytes("\x7f" "ELF", 4), std::nullopt);
    // The library that holds write(2) for this process (the C library, or a
    // sanitizer's runtime), read whole: its "write" is where the loader put it.
    Dl_info info{};
    ASSERT_NE(dladdr(reinterpret_cast<const void*>(&::write), &info), 0);
    std::string library = blackboxtest::fileContents(info.dli_fname);
    ASSERT_GT(library.size(), 4096u);
    auto whole = beacon::elfFunctionSymbolsFromFileBytes(library.data(), library.size());
    ASSERT_TRUE(whole);
    EXPECT_GT(whole->size(), 100u);
    auto write = std::find_if(whole->begin(), whole->end(), [](const auto& symbol) { return symbol.name == "write"; });
    ASSERT_NE(write, whole->end());
    EXPECT_EQ(reinterpret_cast<uintptr_t>(info.dli_fbase) + write->start, reinterpret_cast<uintptr_t>(&::write));
    // Cut short: the section headers lie at the end of the file.
    EXPECT_EQ(beacon::elfFunctionSymbolsFromFileBytes(library.data(), library.size() / 2), std::nullopt);
    EXPECT_EQ(beacon::elfFunctionSymbolsFromFile("/nonexistent"), std::nullopt);

    // Damaged headers, section table and symbols never read outside the bytes
    // (the sanitizers watch): a seeded pass of random byte changes over the
    // small plugin built beside the probe.
    std::string plugin = blackboxtest::fileContents(BBX_PROBE_PLUGIN);
    auto pluginSymbols = beacon::elfFunctionSymbolsFromFileBytes(plugin.data(), plugin.size());
    ASSERT_TRUE(pluginSymbols);
    EXPECT_TRUE(std::any_of(pluginSymbols->begin(), pluginSymbols->end(),
                            [](const auto& symbol) { return symbol.name == "bbx_probe_plugin_answer"; }));
    uint64_t sectionTable = 0;
    std::memcpy(&sectionTable, plugin.data() + 40, sizeof sectionTable);
    ASSERT_LT(sectionTable, plugin.size());
    std::mt19937 random(43);
    for (int round = 0; round < 500; ++round) {
        std::string damaged = plugin;
        for (int change = 0; change < 4; ++change) {
            size_t where = 0;
            switch (random() % 3) {
                case 0: where = random() % 64; break;
                case 1: where = sectionTable + random() % (plugin.size() - sectionTable); break;
                default: where = random() % plugin.size(); break;
            }
            damaged[where] = static_cast<char>(random());
        }
        auto symbols = beacon::elfFunctionSymbolsFromFileBytes(damaged.data(), damaged.size());
        if (!symbols) continue;
        for (const auto& symbol : *symbols) EXPECT_FALSE(symbol.name.empty());
    }
}

}  // namespace
