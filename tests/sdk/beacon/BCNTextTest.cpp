#include <sys/wait.h>
#include <unistd.h>

#include <gtest/gtest.h>

#include <cstring>
#include <set>
#include <string>
#include <vector>

#include "sdk/beacon/BCNData.h"
#include "sdk/beacon/BCNHex.h"
#include "sdk/beacon/BCNSHA1.h"
#include "sdk/beacon/BCNUUID.h"

namespace {

foundation::Data bytesOf(const std::string& text) {
    return foundation::Data::fromString(text);
}

TEST(BCNHexTest, EncodesLowerCaseHighNibbleFirst) {
    EXPECT_EQ(BCNHexStringFromData(foundation::Data(std::vector<uint8_t>{0x0f, 0xa0})), "0fa0");
    EXPECT_EQ(BCNHexStringFromData(foundation::Data()), "");

    char pair[2] = {'x', 'x'};
    BCNHexEncodeByte(0xc3, pair);
    EXPECT_EQ(std::string(pair, 2), "c3");
    BCNHexEncodeByte(0xc3, nullptr);  // nothing to write into: no crash
}

TEST(BCNHexTest, EncodeBytesZeroFillsTheWholeBuffer) {
    const uint8_t input[3] = {0x00, 0x7f, 0xff};
    char out[7];
    std::memset(out, 'x', sizeof out);
    BCNHexEncodeBytes(input, 3, out);
    EXPECT_STREQ(out, "007fff");

    std::memset(out, 'x', sizeof out);
    BCNHexEncodeBytes(nullptr, 3, out);
    EXPECT_EQ(std::string(out, 7), std::string(7, '\0'));
    BCNHexEncodeBytes(input, 3, nullptr);
}

TEST(BCNSHA1Test, DigestsKnownVectors) {
    struct Row {
        const char* name;
        std::string input;
        const char* digest;
    };
    const Row rows[] = {
        {"empty", "", "da39a3ee5e6b4b0d3255bfef95601890afd80709"},
        {"abc", "abc", "a9993e364706816aba3e25717850c26c9cd0d89d"},
        {"two blocks", "abcdbcdecdefdefgefghfghighijhijkijkljklmklmnlmnomnopnopq",
         "84983e441c3bd26ebaae4aa1f95129e5e54670f1"},
        {"million a", std::string(1000000, 'a'), "34aa973cd4c4daa4f61eeb2bdbad27316534016f"},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(BCNSHA1HexStringFromData(bytesOf(row.input)), row.digest);
        EXPECT_EQ(BCNSHA1HexStringFromBytes(row.input.data(), row.input.size()), row.digest);
    }
    EXPECT_EQ(BCNSHA1HexStringFromBytes(nullptr, 10), "da39a3ee5e6b4b0d3255bfef95601890afd80709");
}

TEST(BCNUUIDTest, CreatesUniqueUpperCaseVersion4Strings) {
    std::set<std::string> seen;
    for (int i = 0; i < 10000; ++i) {
        std::string uuid = BCNCreateUUIDString();
        ASSERT_EQ(uuid.size(), 36u) << uuid;
        for (size_t j = 0; j < uuid.size(); ++j) {
            if (j == 8 || j == 13 || j == 18 || j == 23) {
                ASSERT_EQ(uuid[j], '-') << uuid;
            } else {
                ASSERT_TRUE(std::isdigit(static_cast<unsigned char>(uuid[j])) || (uuid[j] >= 'A' && uuid[j] <= 'F'))
                    << uuid;
            }
        }
        ASSERT_EQ(uuid[14], '4') << uuid;
        ASSERT_NE(std::string("89AB").find(uuid[19]), std::string::npos) << uuid;
        seen.insert(uuid);
    }
    EXPECT_EQ(seen.size(), 10000u);
}

// UUIDs come from a per-thread pool of random bytes: a forked child must not
// make the UUIDs its parent makes next, from bytes both hold.
TEST(BCNUUIDTest, AForkedChildMakesOtherUUIDsThanItsParent) {
    BCNCreateUUIDString();  // the pool is filled
    int fds[2];
    ASSERT_EQ(::pipe(fds), 0);
    pid_t child = ::fork();
    ASSERT_GE(child, 0);
    if (child == 0) {
        std::string text;
        for (int i = 0; i < 4; ++i) text += BCNCreateUUIDString();
        ssize_t written = ::write(fds[1], text.data(), text.size());
        ::_exit(written == static_cast<ssize_t>(text.size()) ? 0 : 1);
    }
    ::close(fds[1]);
    std::set<std::string> parents;
    for (int i = 0; i < 4; ++i) parents.insert(BCNCreateUUIDString());
    std::string text;
    char buffer[256];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) text.append(buffer, static_cast<size_t>(n));
    ::close(fds[0]);
    int status = 0;
    ASSERT_EQ(::waitpid(child, &status, 0), child);
    EXPECT_TRUE(WIFEXITED(status) && WEXITSTATUS(status) == 0);
    ASSERT_EQ(text.size(), 4u * 36u);
    for (size_t at = 0; at < text.size(); at += 36) EXPECT_EQ(parents.count(text.substr(at, 36)), 0u) << text.substr(at, 36);
}

TEST(BCNUUIDTest, HexOfUUIDBytesIsLowerCaseWithoutHyphens) {
    uint8_t bytes[16];
    for (int i = 0; i < 16; ++i) bytes[i] = static_cast<uint8_t>(0xa0 + i);
    EXPECT_EQ(BCNUUIDHexStringFromBytes(bytes), "a0a1a2a3a4a5a6a7a8a9aaabacadaeaf");
    EXPECT_EQ(BCNUUIDHexStringFromBytes(nullptr), "");
}

TEST(BCNDataTest, VisitsContiguousDataOnceAndEmptyDataNever) {
    foundation::Data data = bytesOf("hello");
    int calls = 0;
    BCNEnumerateDataByteRanges(data, [&](const uint8_t* bytes, BCNRange range, bool* stop) {
        ++calls;
        EXPECT_EQ(bytes, data.bytes());
        EXPECT_EQ(range.location, 0u);
        EXPECT_EQ(range.length, 5u);
        EXPECT_FALSE(*stop);
    });
    EXPECT_EQ(calls, 1);
    BCNEnumerateDataByteRanges(foundation::Data(), [&](const uint8_t*, BCNRange, bool*) { ++calls; });
    EXPECT_EQ(calls, 1);
}

}  // namespace
