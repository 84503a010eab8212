#include <gtest/gtest.h>

#include <chrono>
#include <cmath>
#include <set>
#include <sys/stat.h>

#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "platform/foundation/PlistValue.h"
#include "platform/foundation/URL.h"
#include "platform/foundation/UUID.h"
#include "tests/support/TempHome.h"

using namespace foundation;

TEST(DateTest, AnOffsetClockRunsThatFarFromTheSystemsAndBadTextLeavesItAlone) {
    for (const char* bad : {"", "soon", "3600s", "nan", "inf"}) EXPECT_FALSE(Date::offsetClock(bad)) << bad;
    const double before = Date::now().timeIntervalSince1970();
    EXPECT_NEAR(before, std::chrono::duration<double>(std::chrono::system_clock::now().time_since_epoch()).count(), 5);
    ASSERT_TRUE(Date::offsetClock("3600"));
    EXPECT_NEAR(Date::now().timeIntervalSince1970() - before, 3600, 5);
    ASSERT_TRUE(Date::offsetClock("-90.5"));
    EXPECT_NEAR(Date::now().timeIntervalSince1970() - before, -90.5, 5);
    Date::setClock({});
}

TEST(DateTest, InjectedClockAndISOText) {
    Date::setClock([] { return 1700000000.5; });
    EXPECT_EQ(Date::now().timeIntervalSince1970(), 1700000000.5);
    Date::setClock({});
    EXPECT_GT(Date::now().timeIntervalSince1970(), 1700000000.0);

    EXPECT_EQ(Date(0).iso8601(), "1970-01-01T00:00:00Z");
    EXPECT_EQ(Date::fromReferenceDate(0).iso8601(), "2001-01-01T00:00:00Z");
    EXPECT_EQ(Date(-1).iso8601(), "1969-12-31T23:59:59Z");
    EXPECT_EQ(Date(951782400).description(), "2000-02-29 00:00:00 +0000");
    for (double t : {0.0, 1700000000.123456, -12345.25, 1e-7, 4102444800.999999}) {
        SCOPED_TRACE(t);
        auto back = Date::fromISO8601(Date(t).iso8601());
        ASSERT_TRUE(back);
        EXPECT_EQ(back->timeIntervalSince1970(), t);  // exact, not approximately
    }
    for (const char* bad : {"", "2024-13-01T00:00:00Z", "2024-01-01 00:00:00Z", "2024-01-01T00:00:00", "2024-01-01T00:00:00.Z"})
        EXPECT_FALSE(Date::fromISO8601(bad)) << bad;
}

TEST(DataTest, Base64AndAtomicFiles) {
    EXPECT_EQ(Data::fromString("").base64Encoded(), "");
    EXPECT_EQ(Data::fromString("f").base64Encoded(), "Zg==");
    EXPECT_EQ(Data::fromString("foob").base64Encoded(), "Zm9vYg==");
    EXPECT_EQ(Data::fromBase64(" Zm9v\nYmFy ")->toString(), "foobar");
    EXPECT_FALSE(Data::fromBase64("Zm9v!"));
    EXPECT_FALSE(Data::fromBase64("Zg==Zg"));

    testsupport::TempHome home;
    auto path = home.root() / "file.bin";
    ASSERT_TRUE(Data::fromString("old").writeToFile(path, 0600).ok());
    ASSERT_TRUE(Data::fromString("new").writeToFile(path, 0600).ok());
    EXPECT_EQ(Data::contentsOfFile(path).value().toString(), "new");
    struct stat st {};
    ASSERT_EQ(::stat(path.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.root()), {}), 6);  // no temporary left
    EXPECT_FALSE(Data::contentsOfFile(path, 2).ok());
    EXPECT_FALSE(Data::contentsOfFile(home.root()).ok());  // a folder
}

TEST(DataTest, CopiesARegularFileInPiecesWithinItsLimit) {
    testsupport::TempHome home;
    const auto before = std::distance(std::filesystem::directory_iterator(home.root()), {});
    auto from = home.root() / "large.bin";
    std::string bytes(300 * 1024 + 7, '\0');  // several pieces, the last a short one
    for (size_t i = 0; i < bytes.size(); ++i) bytes[i] = char(i * 31 % 251);
    ASSERT_TRUE(Data::fromString(bytes).writeToFile(from).ok());
    auto to = home.root() / "copy.bin";
    ASSERT_TRUE(Data::copyFile(from, to, bytes.size(), 0600).ok());
    EXPECT_EQ(Data::contentsOfFile(to).value().toString(), bytes);
    struct stat st {};
    ASSERT_EQ(::stat(to.c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0600u);

    // Refused: too large, not a regular file, missing, an unwritable place;
    // none leaves a file or a temporary behind.
    auto refused = home.root() / "refused.bin";
    EXPECT_EQ(Data::copyFile(from, refused, bytes.size() - 1).error().code, EFBIG);
    EXPECT_FALSE(Data::copyFile(home.root(), refused).ok());
    EXPECT_FALSE(Data::copyFile(home.root() / "missing", refused).ok());
    EXPECT_FALSE(Data::copyFile(from, home.root() / "no folder" / "copy.bin").ok());
    EXPECT_FALSE(std::filesystem::exists(refused));
    EXPECT_EQ(std::distance(std::filesystem::directory_iterator(home.root()), {}), before + 2);
}

TEST(UUIDTest, RandomCanonicalUpperCase) {
    std::set<std::string> seen;
    for (int i = 0; i < 100; ++i) {
        std::string s = UUID::random().string();
        ASSERT_EQ(s.size(), 36u);
        EXPECT_EQ(s[8], '-');
        EXPECT_EQ(s[14], '4');
        EXPECT_NE(s.find_first_of("89AB", 19), std::string::npos);
        EXPECT_EQ(s.find_first_of("abcdef"), std::string::npos);
        EXPECT_EQ(UUID::parse(s)->string(), s);
        seen.insert(s);
    }
    EXPECT_EQ(seen.size(), 100u);
    EXPECT_EQ(UUID::parse("6ba7b810-9dad-11d1-80b4-00c04fd430c8")->string(), "6BA7B810-9DAD-11D1-80B4-00C04FD430C8");
    EXPECT_FALSE(UUID::parse("6ba7b810-9dad-11d1-80b4-00c04fd430c"));
    EXPECT_FALSE(UUID::parse("6ba7b810x9dad-11d1-80b4-00c04fd430c8"));
}

TEST(URLTest, SchemeAndHostRule) {
    struct Row {
        const char* text;
        bool webAddress;
    };
    const Row rows[] = {
        {"https://example.com", true},
        {"http://example.com/a/b?q=1#f", true},
        {"ftp://files.example.org/x", true},
        {"example.com", false},
        {"mailto:someone@example.com", false},
        {"two words", false},
        {"word", false},
        {"https://exa mple.com", false},
        {"file:///home/user/x.png", false},
        {"", false},
        {"http://", false},
    };
    for (const Row& row : rows) EXPECT_EQ(URL::isWebAddress(row.text), row.webAddress) << row.text;
}

TEST(URLTest, ComponentsAndFileURLs) {
    auto url = URL::parse("HTTPS://Example.com:8080/dir/file.tar.gz?x=1#top");
    ASSERT_TRUE(url);
    EXPECT_EQ(url->scheme(), "https");
    EXPECT_EQ(url->port(), 8080);
    EXPECT_EQ(url->lastPathComponent(), "file.tar.gz");
    EXPECT_EQ(url->pathExtension(), "gz");
    EXPECT_EQ(url->query(), "x=1");
    EXPECT_EQ(url->fragment(), "top");

    URL file = URL::fileURL("/home/a b/x.png");
    EXPECT_TRUE(file.isFileURL());
    EXPECT_EQ(file.absoluteString(), "file:///home/a%20b/x.png");
    EXPECT_EQ(file.filePath(), "/home/a b/x.png");
    EXPECT_EQ(file.deletingLastPathComponent().filePath(), "/home/a b/");
    EXPECT_EQ(file.deletingLastPathComponent().appendingPathComponent("y z.txt").filePath(), "/home/a b/y z.txt");
    EXPECT_EQ(URL::parse("http://a.org/")->lastPathComponent(), "/");
    EXPECT_EQ(URL::parse("http://a.org/.hidden")->pathExtension(), "");
}

TEST(PlistValueTest, FoundationCoercions) {
    struct Row {
        const char* name;
        PlistValue value;
        int64_t integer;
        double real;
        bool flag;
    };
    const Row rows[] = {
        {"integer", PlistValue(12), 12, 12, true},
        {"real", PlistValue(2.9), 2, 2.9, true},
        {"negative real", PlistValue(-2.9), -2, -2.9, true},
        {"true", PlistValue(true), 1, 1, true},
        {"false", PlistValue(false), 0, 0, false},
        {"numeric text", PlistValue("12"), 12, 12, true},
        {"text with a number prefix", PlistValue(" -7px"), -7, -7, true},
        {"YES", PlistValue("YES"), 0, 0, true},
        {"true text", PlistValue("true"), 0, 0, true},
        {"zero-padded text", PlistValue("007"), 7, 7, true},
        {"NO", PlistValue("NO"), 0, 0, false},
        {"huge text", PlistValue("99999999999999999999"), INT64_MAX, 1e20, true},
        {"array", PlistValue(PlistValue::Array{PlistValue(1)}), 0, 0, false},
        {"null", PlistValue(), 0, 0, false},
        {"nan", PlistValue(std::nan("")), 0, std::nan(""), true},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        EXPECT_EQ(row.value.integerValue(), row.integer);
        if (std::isnan(row.real)) EXPECT_TRUE(std::isnan(row.value.doubleValue()));
        else EXPECT_DOUBLE_EQ(row.value.doubleValue(), row.real);
        EXPECT_EQ(row.value.boolValue(), row.flag);
    }
    EXPECT_EQ(PlistValue(42).stringValue(), "42");
    EXPECT_FALSE(PlistValue(PlistValue::Dictionary{}).stringValue());
}
