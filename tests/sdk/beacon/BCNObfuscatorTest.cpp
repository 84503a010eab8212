#include <gtest/gtest.h>

#include "platform/foundation/PropertyList.h"
#include "sdk/beacon/BCNException.h"
#include "sdk/beacon/BCNObfuscator.h"
#include "tests/platform/foundation/BinaryPlistBuilder.h"

using foundation::Data;
using foundation::PlistValue;

namespace {

PlistValue uid(int64_t index) { return PlistValue::Dictionary{{"CF$UID", index}}; }

// The obfuscated form of an archive given as a property list.
Data obfuscate(const PlistValue& archive) {
    return Data::fromString(Data::fromString(foundation::PropertyList::writeXML(archive).value()).base64Encoded());
}

PlistValue archiveOf(PlistValue::Array objects) {
    return PlistValue::Dictionary{{"$archiver", "NSKeyedArchiver"},
                                  {"$version", 100000},
                                  {"$top", PlistValue::Dictionary{{"root", uid(1)}}},
                                  {"$objects", std::move(objects)}};
}

PlistValue classEntry(const std::string& name) {
    return PlistValue::Dictionary{{"$classname", name}, {"$classes", PlistValue::Array{PlistValue(name), PlistValue("NSObject")}}};
}

std::string reasonOf(const Data& data) {
    try {
        BCNObfuscator::dictionaryWithObfuscatedData(data);
    } catch (const BCNException& exception) {
        EXPECT_EQ(exception.name(), "InvalidObfuscatedData");
        return exception.reason();
    }
    return "no raise";
}

}  // namespace

TEST(BCNObfuscatorTest, RoundTrip) {
    PlistValue::Dictionary values{{"text", "ünï"},
                                  {"number", 42},
                                  {"real", 2.5},
                                  {"flag", true},
                                  {"date", foundation::Date(1.7e9)},
                                  {"data", Data::fromString("bytes")},
                                  {"list", PlistValue::Array{PlistValue("a"), PlistValue::Dictionary{{"k", "v"}}}},
                                  {"empty", PlistValue::Dictionary{}}};
    Data obfuscated = BCNObfuscator::obfuscatedDataFromDictionary(values);
    for (uint8_t byte : obfuscated.span()) ASSERT_FALSE(std::isspace(byte));
    EXPECT_EQ(BCNObfuscator::dictionaryWithObfuscatedData(obfuscated), values);

    // The archive inside is the keyed-archiver layout, as XML.
    auto archive = foundation::PropertyList::read(Data::fromBase64(obfuscated.toString())->span());
    ASSERT_TRUE(archive.ok());
    EXPECT_EQ(*archive.value().get("$archiver"), PlistValue("NSKeyedArchiver"));
    EXPECT_EQ(*archive.value().get("$top")->get("root"), uid(1));
}

TEST(BCNObfuscatorTest, ReadsBinaryArchivesAndMutableKinds) {
    testsupport::BinaryPlistBuilder b;
    auto ref = [&](uint8_t index) { return b.add({0x80, index}); };
    // $objects: "$null", {NS.keys, NS.objects, $class}, "key", {NS.string, $class}, NSMutableDictionary, NSMutableString
    uint64_t null = b.addASCII("$null");
    uint64_t root = b.addDictionary({b.addASCII("NS.keys"), b.addASCII("NS.objects"), b.addASCII("$class")},
                                    {b.addArray({ref(2)}), b.addArray({ref(3)}), ref(4)});
    uint64_t key = b.addASCII("key");
    uint64_t string = b.addDictionary({b.addASCII("NS.string"), b.addASCII("$class")}, {b.addASCII("value"), ref(5)});
    uint64_t dictionaryClass = b.addDictionary({b.addASCII("$classname")}, {b.addASCII("NSMutableDictionary")});
    uint64_t stringClass = b.addDictionary({b.addASCII("$classname")}, {b.addASCII("NSMutableString")});
    uint64_t objects = b.addArray({null, root, key, string, dictionaryClass, stringClass});
    uint64_t top = b.addDictionary({b.addASCII("root")}, {ref(1)});
    uint64_t archive = b.addDictionary({b.addASCII("$top"), b.addASCII("$objects")}, {top, objects});
    Data obfuscated = Data::fromString(Data(b.build(archive)).base64Encoded());
    EXPECT_EQ(BCNObfuscator::dictionaryWithObfuscatedData(obfuscated), (PlistValue::Dictionary{{"key", "value"}}));
}

TEST(BCNObfuscatorTest, RefusesWhatIsNoObfuscatedDictionary) {
    const std::string improper = "Improperly obfuscated data.";
    Data good = BCNObfuscator::obfuscatedDataFromDictionary({{"a", 1}});
    std::string withSpace = good.toString();
    withSpace.insert(8, "\n");
    PlistValue dictionaryClass = classEntry("NSDictionary");
    struct Case {
        const char* name;
        Data data;
        std::string reason;
    };
    const Case cases[] = {
        {"empty", Data(), "Attempting to deobfuscate nil or empty data."},
        {"not Base64", Data::fromString("not base64!"), improper},
        {"a line break inside", Data::fromString(withSpace), improper},
        {"Base64 of no property list", Data::fromString(Data::fromString("hello").base64Encoded()), improper},
        {"archive of an array",
         obfuscate(archiveOf({PlistValue("$null"),
                              PlistValue::Dictionary{{"NS.objects", PlistValue::Array{}}, {"$class", uid(2)}},
                              classEntry("NSArray")})),
         improper},
        {"archive of a string", obfuscate(archiveOf({PlistValue("$null"), PlistValue("text")})), improper},
        {"reference out of range",
         obfuscate(archiveOf({PlistValue("$null"),
                              PlistValue::Dictionary{{"NS.keys", PlistValue::Array{uid(9)}},
                                                     {"NS.objects", PlistValue::Array{uid(9)}},
                                                     {"$class", uid(2)}},
                              dictionaryClass})),
         improper},
        {"dictionary holding itself",
         obfuscate(archiveOf({PlistValue("$null"),
                              PlistValue::Dictionary{{"NS.keys", PlistValue::Array{uid(3)}},
                                                     {"NS.objects", PlistValue::Array{uid(1)}},
                                                     {"$class", uid(2)}},
                              dictionaryClass, PlistValue("self")})),
         improper},
        {"keys and objects of different lengths",
         obfuscate(archiveOf({PlistValue("$null"),
                              PlistValue::Dictionary{{"NS.keys", PlistValue::Array{uid(3)}},
                                                     {"NS.objects", PlistValue::Array{}},
                                                     {"$class", uid(2)}},
                              dictionaryClass, PlistValue("k")})),
         improper},
        {"unknown class",
         obfuscate(archiveOf({PlistValue("$null"), PlistValue::Dictionary{{"$class", uid(2)}}, classEntry("NSURL")})),
         improper},
        {"no $top", obfuscate(PlistValue::Dictionary{{"$objects", PlistValue::Array{}}}), improper},
    };
    for (const auto& c : cases) EXPECT_EQ(reasonOf(c.data), c.reason) << c.name;
}
