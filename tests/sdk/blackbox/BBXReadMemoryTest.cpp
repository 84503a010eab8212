#include <gtest/gtest.h>
#include <sys/mman.h>

#include <cstring>

#include "platform/crash/MemoryReader.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

class BBXReadMemoryTest : public ::testing::TestWithParam<crash::ReadMethod> {
protected:
    void SetUp() override {
        if (GetParam() == crash::ReadMethod::SystemCall && !crash::systemCallReadAvailable())
            GTEST_SKIP() << "process_vm_readv is refused on this system";
        crash::setReadMethod(GetParam());
    }
    void TearDown() override { crash::setReadMethod(crash::ReadMethod::Automatic); }
};

TEST_P(BBXReadMemoryTest, ReadsWhatIsThereAndRefusesWhatIsNot) {
    const size_t page = 4096;
    auto* pages = static_cast<char*>(mmap(nullptr, 3 * page, PROT_READ | PROT_WRITE, MAP_PRIVATE | MAP_ANONYMOUS, -1, 0));
    ASSERT_NE(pages, MAP_FAILED);
    std::memset(pages, 'a', 3 * page);
    ASSERT_EQ(mprotect(pages + page, page, PROT_NONE), 0);
    ASSERT_EQ(munmap(pages + 2 * page, page), 0);

    char buffer[8192] = {};
    EXPECT_TRUE(BBXReadMemory(pages, buffer, page));
    EXPECT_EQ(buffer[page - 1], 'a');
    EXPECT_TRUE(BBXReadMemory(pages + 10, buffer, 0));
    struct Case {
        const char* name;
        const void* source;
        size_t length;
    };
    const Case refused[] = {
        {"null", nullptr, 1},
        {"below 4096", reinterpret_cast<const void*>(4095), 1},
        {"a PROT_NONE page", pages + page, 8},
        {"across into a PROT_NONE page", pages + page - 4, 8},
        {"an unmapped page", pages + 2 * page, 8},
    };
    for (const auto& c : refused) EXPECT_FALSE(BBXReadMemory(c.source, buffer, c.length)) << c.name;

    // Readable once, then unmapped between two reads.
    EXPECT_TRUE(BBXReadMemory(pages + 100, buffer, 16));
    ASSERT_EQ(munmap(pages, page), 0);
    EXPECT_FALSE(BBXReadMemory(pages + 100, buffer, 16));
    munmap(pages + page, page);
}

TEST_P(BBXReadMemoryTest, ReadableStrings) {
    const char* start = nullptr;
    EXPECT_TRUE(BBXIsReadableString("label", &start, 128));
    EXPECT_STREQ(start, "label");
    EXPECT_TRUE(BBXIsReadableString(nullptr, nullptr, 0));
    EXPECT_FALSE(BBXIsReadableString(reinterpret_cast<const char*>(64), &start, 128));
}

INSTANTIATE_TEST_SUITE_P(Methods, BBXReadMemoryTest,
                         ::testing::Values(crash::ReadMethod::SystemCall, crash::ReadMethod::Pipe),
                         [](const auto& info) {
                             return info.param == crash::ReadMethod::SystemCall ? std::string("SystemCall")
                                                                                : std::string("Pipe");
                         });

}  // namespace
