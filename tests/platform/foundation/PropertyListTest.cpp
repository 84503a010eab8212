#include <gtest/gtest.h>

#include <random>

#include "BinaryPlistBuilder.h"
#include "platform/foundation/PropertyList.h"

using foundation::Data;
using foundation::Date;
using foundation::PlistValue;
using foundation::PropertyList;
using testsupport::BinaryPlistBuilder;

namespace {

PlistValue sample() {
    PlistValue::Dictionary rule;
    rule["TLAppRuleBundleIdentifier"] = "org.gnome.TextEditor";
    rule["TLAppRuleOption"] = 2;
    PlistValue::Dictionary root;
    root["TLApplicationRules"] = PlistValue::Array{PlistValue(rule)};
    root["count"] = int64_t{-9223372036854775807 - 1};
    root["offset"] = -3600.125;
    root["tiny"] = 1e-300;
    root["on"] = true;
    root["off"] = false;
    root["date"] = Date(1700000000.123456);
    root["data"] = Data::fromString(std::string("\x00\x01\xff bytes", 9));
    root["text"] = "a < b & c > d \"quoted\" 'single'\r\n\ttab \x01 ünï ✓";
    root["empty"] = PlistValue::Array{};
    root["emptyDict"] = PlistValue::Dictionary{};
    root["emptyString"] = "";
    root["spaces"] = "   ";
    return root;
}

std::string wrap(const std::string& body) {
    return "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\">" + body + "</plist>";
}

std::string nested(const std::string& open, const std::string& close, int depth, const std::string& inner) {
    std::string out;
    for (int i = 0; i < depth; ++i) out += open;
    out += inner;
    for (int i = 0; i < depth; ++i) out += close;
    return out;
}

}  // namespace

TEST(PropertyListTest, XMLRoundTripKeepsEveryTypeExactly) {
    auto text = PropertyList::writeXML(sample());
    ASSERT_TRUE(text.ok());
    auto back = PropertyList::readXML(text.value());
    ASSERT_TRUE(back.ok()) << back.error().description();
    EXPECT_EQ(back.value(), sample());
}

TEST(PropertyListTest, ReadsApplesLayout) {
    auto value = PropertyList::readXML(wrap(R"(
<dict>
    <key>name</key><string>x &amp; y &#x41;&#66;</string>
    <key>list</key><array><integer>0x10</integer><real>2.5</real><true/></array>
    <key>raw</key><string><![CDATA[<not markup>]]></string>
    <key>when</key><date>2001-01-01T00:00:00Z</date>
    <key>blob</key><data>
        AAEC
        /w==
    </data>
</dict>)"));
    ASSERT_TRUE(value.ok()) << value.error().description();
    const PlistValue& v = value.value();
    EXPECT_EQ(*v.get("name")->asString(), "x & y AB");
    EXPECT_EQ(v.get("list")->asArray()->at(0).asInteger(), 16);
    EXPECT_EQ(v.get("list")->asArray()->at(1).asReal(), 2.5);
    EXPECT_EQ(*v.get("raw")->asString(), "<not markup>");
    EXPECT_EQ(v.get("when")->asDate()->timeIntervalSinceReferenceDate(), 0);
    EXPECT_EQ(*v.get("blob")->asData(), Data(std::vector<uint8_t>{0, 1, 2, 0xff}));
}

TEST(PropertyListTest, RejectsMalformedXML) {
    struct Row {
        const char* name;
        std::string text;
    };
    const Row rows[] = {
        {"empty", ""},
        {"not xml", "hello"},
        {"truncated", wrap("<dict><key>a</key><string>b</str")},
        {"unknown entity", wrap("<string>&foo;</string>")},
        {"entity from an internal subset",
         "<?xml version=\"1.0\"?><!DOCTYPE plist [<!ENTITY a \"aaaaaaaaaa\">]><plist><string>&a;</string></plist>"},
        {"billion laughs", "<!DOCTYPE l [<!ENTITY a \"x\"><!ENTITY b \"&a;&a;&a;&a;&a;&a;&a;&a;\">]>"
                           "<plist><string>&b;&b;&b;</string></plist>"},
        {"nul character reference", wrap("<string>&#0;</string>")},
        {"surrogate reference", wrap("<string>&#xD800;</string>")},
        {"dictionary key without value", wrap("<dict><key>a</key></dict>")},
        {"value without key", wrap("<dict><string>a</string><string>b</string></dict>")},
        {"unknown element", wrap("<set/>")},
        {"two values in plist", wrap("<true/><false/>")},
        {"empty plist", wrap("")},
        {"bad integer", wrap("<integer>12abc</integer>")},
        {"integer overflow", wrap("<integer>9223372036854775808</integer>")},
        {"bad real", wrap("<real>1.5.5</real>")},
        {"bad date", wrap("<date>yesterday</date>")},
        {"bad base64", wrap("<data>@@@@</data>")},
        {"text in array", wrap("<array>stray</array>")},
        {"element in string", wrap("<string>a<b/></string>")},
        {"two roots", "<plist><true/></plist><plist><true/></plist>"},
        {"too deep", wrap(nested("<array>", "</array>", PropertyList::kMaxDepth + 2, ""))},
        {"huge depth", wrap(nested("<array>", "</array>", 200000, ""))},
    };
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto value = PropertyList::readXML(row.text);
        ASSERT_FALSE(value.ok());
        EXPECT_EQ(value.error().domain, PropertyList::kErrorDomain);
        EXPECT_EQ(value.error().code, PropertyList::kReadCorruptError);
    }
}

TEST(PropertyListTest, DepthLimitIsInclusiveAndSymmetric) {
    PlistValue deep = PlistValue::Array{};
    for (int i = 0; i < PropertyList::kMaxDepth; ++i) deep = PlistValue::Array{deep};
    auto text = PropertyList::writeXML(deep);
    ASSERT_TRUE(text.ok());
    EXPECT_TRUE(PropertyList::readXML(text.value()).ok());
    EXPECT_FALSE(PropertyList::writeXML(PlistValue::Array{deep}).ok());
}

TEST(PropertyListTest, NullCannotBeWritten) {
    PlistValue::Dictionary d;
    d["a"] = PlistValue();
    EXPECT_FALSE(PropertyList::writeXML(PlistValue(d)).ok());
}

TEST(PropertyListTest, ReadsBinaryObjects) {
    BinaryPlistBuilder b;
    auto kInt = b.addASCII("int");
    auto kText = b.addASCII("text");
    auto kList = b.addASCII("list");
    auto vInt = b.addInteger(-5);
    // "é✓" and a pair making U+1F600, in UTF-16 big-endian.
    auto vText = b.add({0x64, 0x00, 0xE9, 0x27, 0x13, 0xD8, 0x3D, 0xDE, 0x00});
    auto t = b.add({0x09});
    auto f = b.add({0x08});
    auto real = b.add({0x23, 0x3F, 0xF8, 0, 0, 0, 0, 0, 0});  // 1.5
    auto date = b.add({0x33, 0x41, 0xCD, 0xCD, 0x65, 0x00, 0, 0, 0});
    auto data = b.add({0x42, 0xAB, 0xCD});
    auto uid = b.add({0x80, 0x07});
    auto big = b.add({0x14, 0, 0, 0, 0, 0, 0, 0, 0, 0x7F, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF, 0xFF});
    auto list = b.addArray({t, f, real, date, data, uid, big, kInt});  // kInt shared with a key
    auto top = b.addDictionary({kInt, kText, kList}, {vInt, vText, list});
    auto value = PropertyList::read(b.build(top));
    ASSERT_TRUE(value.ok()) << value.error().description();
    const PlistValue& v = value.value();
    EXPECT_EQ(v.get("int")->asInteger(), -5);
    EXPECT_EQ(*v.get("text")->asString(), "\xC3\xA9\xE2\x9C\x93\xF0\x9F\x98\x80");
    const auto& items = *v.get("list")->asArray();
    ASSERT_EQ(items.size(), 8u);
    EXPECT_EQ(items[0], PlistValue(true));
    EXPECT_EQ(items[1], PlistValue(false));
    EXPECT_EQ(items[2], PlistValue(1.5));
    EXPECT_EQ(items[3].asDate()->timeIntervalSinceReferenceDate(), 1000000000.0);
    EXPECT_EQ(*items[4].asData(), Data(std::vector<uint8_t>{0xAB, 0xCD}));
    EXPECT_EQ(items[5].get("CF$UID")->asInteger(), 7);
    EXPECT_EQ(items[6].asInteger(), INT64_MAX);
    EXPECT_EQ(*items[7].asString(), "int");
}

TEST(PropertyListTest, LoneSurrogatesBecomeReplacementCharacters) {
    BinaryPlistBuilder b;
    auto top = b.add({0x62, 0xD8, 0x00, 0x00, 0x41});
    auto value = PropertyList::readBinary(b.build(top));
    ASSERT_TRUE(value.ok());
    EXPECT_EQ(*value.value().asString(), "\xEF\xBF\xBD" "A");
}

TEST(PropertyListTest, RejectsDamagedBinaryLists) {
    using Trailer = BinaryPlistBuilder::Trailer;
    struct Row {
        const char* name;
        std::vector<uint8_t> bytes;
    };
    std::vector<Row> rows;
    {
        BinaryPlistBuilder b;
        auto top = b.addArray({0});
        rows.push_back({"array containing itself", b.build(top)});
    }
    {
        BinaryPlistBuilder b;
        b.addArray({1});
        b.addArray({0});
        rows.push_back({"two arrays in a loop", b.build(0)});
    }
    {
        BinaryPlistBuilder b;
        auto top = b.addArray({5});
        rows.push_back({"reference beyond the objects", b.build(top)});
    }
    {
        BinaryPlistBuilder b;
        auto top = b.add({0x5F, 0x12, 0x7F, 0xFF, 0xFF, 0xFF, 'a'});
        rows.push_back({"string count of 2^31", b.build(top)});
    }
    {
        BinaryPlistBuilder b;
        auto top = b.add(BinaryPlistBuilder::marker(0xA0, size_t{1} << 31));
        rows.push_back({"array count of 2^31", b.build(top)});
    }
    {
        BinaryPlistBuilder b;
        auto top = b.add(BinaryPlistBuilder::marker(0xD0, size_t(-1) / 2));
        rows.push_back({"dictionary count overflowing", b.build(top)});
    }
    {
        BinaryPlistBuilder b;
        auto key = b.addInteger(1);
        auto top = b.addDictionary({key}, {key});
        rows.push_back({"key that is not a string", b.build(top)});
    }
    {
        BinaryPlistBuilder b;
        auto top = b.add({0x09});
        Trailer t;
        t.tableOffset = 1 << 30;
        rows.push_back({"offset table beyond the end", b.build(top, t)});
        t = {};
        t.objectCount = int64_t{1} << 40;
        rows.push_back({"object count beyond the table", b.build(top, t)});
        t = {};
        t.offsetSize = 0;
        rows.push_back({"offset width zero", b.build(top, t)});
        t = {};
        t.refSize = 9;
        rows.push_back({"reference width nine", b.build(top, t)});
        std::vector<uint8_t> bytes = b.build(top);
        bytes[8] = 0x00;  // the null object
        rows.push_back({"null object", bytes});
        std::vector<uint8_t> truncated(bytes.begin(), bytes.begin() + 20);
        rows.push_back({"truncated", truncated});
        std::vector<uint8_t> wrongVersion = b.build(top);
        wrongVersion[7] = '1';
        rows.push_back({"unknown version", wrongVersion});
    }
    {
        BinaryPlistBuilder b;
        b.add({0x09});
        std::vector<uint8_t> bytes = b.build(0, Trailer{4, 1, -1, 0, -1});
        // Point the only offset at the trailer.
        size_t table = bytes.size() - 32 - 4;
        bytes[table + 3] = static_cast<uint8_t>(bytes.size() - 10);
        rows.push_back({"object offset inside the trailer", bytes});
    }
    {
        // Each array holds two references to the next: 2^40 values from 41 objects.
        BinaryPlistBuilder b;
        for (int i = 0; i < 40; ++i) b.addArray({uint64_t(i + 1), uint64_t(i + 1)});
        b.add({0x09});
        rows.push_back({"exponential sharing", b.build(0)});
    }
    {
        // A chain of one-element arrays with two-byte references.
        BinaryPlistBuilder chain;
        for (int i = 0; i < 10000; ++i) {
            uint16_t next = static_cast<uint16_t>(i + 1);
            chain.add({0xA1, static_cast<uint8_t>(next >> 8), static_cast<uint8_t>(next)});
        }
        chain.add({0xA0});
        rows.push_back({"depth of 10000", chain.build(0, Trailer{4, 2, -1, 0, -1})});
    }
    for (const Row& row : rows) {
        SCOPED_TRACE(row.name);
        auto value = PropertyList::read(row.bytes);
        ASSERT_FALSE(value.ok());
        EXPECT_EQ(value.error().code, PropertyList::kReadCorruptError);
    }
}

// Random mutations of a valid list must be read or refused, never crash or hang
// (the sanitizers watch). TAVLO_FUZZ_ITERATIONS runs it longer by hand.
TEST(PropertyListTest, SurvivesMutatedBinaryLists) {
    BinaryPlistBuilder b;
    auto k1 = b.addASCII("key");
    auto k2 = b.addASCII("other");
    auto s = b.add({0x63, 0, 'a', 0xD8, 0x3D, 0xDE, 0});
    auto d = b.add({0x44, 1, 2, 3, 4});
    auto inner = b.addArray({s, d, k1});
    auto top = b.addDictionary({k1, k2}, {inner, s});
    const std::vector<uint8_t> seed = b.build(top);
    ASSERT_TRUE(PropertyList::read(seed).ok());

    size_t iterations = 20000;
    if (const char* env = std::getenv("TAVLO_FUZZ_ITERATIONS")) iterations = std::strtoull(env, nullptr, 10);
    std::mt19937_64 random(12345);
    for (size_t i = 0; i < iterations; ++i) {
        std::vector<uint8_t> bytes = seed;
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits; ++e) {
            size_t at = random() % bytes.size();
            switch (random() % 4) {
            case 0: bytes[at] = static_cast<uint8_t>(random()); break;
            case 1: bytes[at] ^= static_cast<uint8_t>(1u << (random() % 8)); break;
            case 2: bytes[at] = (random() % 2) ? 0xFF : 0x00; break;
            case 3: bytes.resize(std::max<size_t>(1, at)); break;
            }
        }
        auto value = PropertyList::read(bytes);
        if (value.ok()) {
            EXPECT_TRUE(PropertyList::writeXML(value.value()).ok());
        }
    }
}
