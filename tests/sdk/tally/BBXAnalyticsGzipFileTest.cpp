#include "sdk/tally/BBXAnalyticsGzipFile.h"

#include <fcntl.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <fstream>
#include <cstring>
#include <random>
#include <string>
#include <vector>

#include "tests/support/ChildProcess.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/TempHome.h"

namespace {

using testsupport::FakeKitService;

std::string randomBytes(size_t length, uint32_t seed) {
    std::mt19937 random(seed);
    std::string bytes(length, '\0');
    for (auto& byte : bytes) byte = static_cast<char>(random());
    return bytes;
}

// Event-log-like text: compresses well, as real logs do.
std::string logText(size_t length) {
    std::string text;
    for (int i = 0; text.size() < length; ++i)
        text += "1700000000000\tcustom\t40\t{\"eventId\":\"E" + std::to_string(i) + "\",\"name\":\"probe\"}\n";
    text.resize(length);
    return text;
}

// Packs bytes from memory, recording each read's length.
struct Packed {
    int result;
    std::string output;
    std::vector<size_t> reads;
};

Packed pack(const std::string& input, size_t writeLimit = SIZE_MAX) {
    Packed packed{};
    size_t offset = 0;
    packed.result = BBXAnalyticsGzipFile(
        [&](void* bytes, size_t length) -> ssize_t {
            size_t n = std::min(length, input.size() - offset);
            std::memcpy(bytes, input.data() + offset, n);
            offset += n;
            if (n > 0) packed.reads.push_back(n);
            return static_cast<ssize_t>(n);
        },
        [&](const void* bytes, size_t length) -> ssize_t {
            size_t n = std::min(length, writeLimit - std::min(writeLimit, packed.output.size()));
            packed.output.append(static_cast<const char*>(bytes), n);
            return static_cast<ssize_t>(n);
        });
    return packed;
}

}  // namespace

TEST(BBXAnalyticsGzipFileTest, PacksWholeAndInflatesBack) {
    const struct {
        const char* what;
        std::string input;
        std::vector<size_t> reads;
    } cases[] = {
        {"a 12 KiB log", logText(12288), {5120, 5120, 2048}},
        {"an empty log", "", {}},
        // Random bytes do not shrink: deflate fills its 5120-byte buffer and is called again.
        {"1 MiB of random bytes", randomBytes(1 << 20, 7), {}},
        {"exactly two reads", logText(10240), {5120, 5120}},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.what);
        Packed packed = pack(c.input);
        ASSERT_EQ(packed.result, 0);
        if (!c.reads.empty()) {
            EXPECT_EQ(packed.reads, c.reads);
        }
        ASSERT_GE(packed.output.size(), 20u);
        EXPECT_EQ(packed.output.substr(0, 4), std::string("\x1f\x8b\x08\x00", 4));
        auto inflated = FakeKitService::gunzip(packed.output);
        ASSERT_TRUE(inflated);
        EXPECT_TRUE(*inflated == c.input);
    }
    EXPECT_EQ(pack("").output, std::string("\x1f\x8b\x08\x00\x00\x00\x00\x00\x00\x03\x03\x00\x00\x00\x00\x00\x00\x00\x00\x00", 20));
}

TEST(BBXAnalyticsGzipFileTest, AShortOrFailedWriteFails) {
    for (size_t limit : {0, 10, 6000}) {
        SCOPED_TRACE(limit);
        EXPECT_EQ(pack(randomBytes(20000, 3), limit).result, -1);
    }
    int failedRead = BBXAnalyticsGzipFile([](void*, size_t) -> ssize_t { return -1; },
                                          [](const void*, size_t length) -> ssize_t { return static_cast<ssize_t>(length); });
    EXPECT_EQ(failedRead, -1);
}

TEST(BBXAnalyticsGzipFileTest, GzipAcceptsAPackagedFile) {
    testsupport::TempHome home;
    auto source = home.root() / "0.log", target = home.root() / "0.log.zip";
    std::ofstream(source, std::ios::binary) << logText(300000);
    int in = ::open(source.c_str(), O_RDONLY), out = ::open(target.c_str(), O_WRONLY | O_CREAT | O_TRUNC, 0600);
    ASSERT_GE(in, 0);
    ASSERT_GE(out, 0);
    EXPECT_EQ(BBXAnalyticsGzipFile(in, out), 0);
    ::close(in);
    ::close(out);
    auto tested = testsupport::runCommand({"gzip", "-t", target.string()}, std::chrono::seconds(20));
    EXPECT_EQ(tested.status, 0);
    auto compared = testsupport::runCommand(
        {"sh", "-c", "gzip -dc \"$0\" | cmp - \"$1\"", target.string(), source.string()}, std::chrono::seconds(20));
    EXPECT_EQ(compared.status, 0) << compared.output;
}
