#include <gtest/gtest.h>

#include <cmath>
#include <limits>
#include <random>

#include <nlohmann/json.hpp>

#include "platform/foundation/JSON.h"

using foundation::Data;
using foundation::Date;
using foundation::JSON;
using foundation::PlistValue;

namespace {

PlistValue sample() {
    PlistValue::Dictionary app;
    app["status"] = "activated";
    app["update_required"] = false;
    app["icon"] = nullptr;
    PlistValue::Dictionary root;
    root["app"] = app;
    root["numbers"] = PlistValue::Array{PlistValue(0), PlistValue(int64_t{-9223372036854775807 - 1}),
                                        PlistValue(int64_t{9223372036854775807}), PlistValue(0.5), PlistValue(-1e-300)};
    root["text"] = "quote \" backslash \\ newline \n tab \t control \x01 ünï ✓ 😀";
    root["empty"] = PlistValue::Array{};
    root["emptyObject"] = PlistValue::Dictionary{};
    root["on"] = true;
    return root;
}

std::string nested(int depth) { return std::string(depth, '[') + std::string(depth, ']'); }

}  // namespace

TEST(JSONTest, RoundTripKeepsTypesAndNull) {
    for (bool pretty : {false, true}) {
        auto text = JSON::write(sample(), pretty);
        ASSERT_TRUE(text.ok()) << text.error().description();
        auto back = JSON::read(text.value());
        ASSERT_TRUE(back.ok()) << back.error().description();
        EXPECT_EQ(back.value(), sample());
    }
}

TEST(JSONTest, ReadsTheDocumentsTypes) {
    auto value = JSON::read(R"({"a": null, "b": [1, 2.5, true, "x"], "big": 18446744073709551615, "d": {"a": 1, "a": 2}})");
    ASSERT_TRUE(value.ok());
    const PlistValue& root = value.value();
    ASSERT_NE(root.get("a"), nullptr);
    EXPECT_TRUE(root.get("a")->isNull());
    EXPECT_EQ(root.get("b")->asArray()->at(0).type(), PlistValue::Type::Integer);
    EXPECT_EQ(root.get("b")->asArray()->at(1).type(), PlistValue::Type::Real);
    EXPECT_EQ(root.get("b")->asArray()->at(2).type(), PlistValue::Type::Boolean);
    EXPECT_EQ(root.get("big")->type(), PlistValue::Type::Real);
    EXPECT_EQ(root.get("d")->get("a")->asInteger(), 2);
}

TEST(JSONTest, RefusesWhatIsNoDocument) {
    struct Case {
        const char* name;
        std::string text;
    };
    const Case cases[] = {
        {"empty", ""},
        {"white space", "  \n"},
        {"fragment string", "\"text\""},
        {"fragment number", "42"},
        {"trailing garbage", "{} x"},
        {"two documents", "{}{}"},
        {"unterminated", "{\"a\": [1, 2"},
        {"trailing comma", "[1,]"},
        {"comment", "[1] // no"},
        {"NaN literal", "[NaN]"},
        {"infinity literal", "[Infinity]"},
        {"number out of range", "[1e400]"},
        {"invalid UTF-8", "[\"\xff\xfe\"]"},
        {"truncated UTF-8", "[\"\xe2\x82\"]"},
        {"lone surrogate escape", "[\"\\ud800\"]"},
        {"raw control character", "[\"a\x01\"]"},
        {"10,000 deep", nested(10000)},
        {"one past the limit", nested(JSON::kMaxDepth + 1)},
    };
    for (const auto& c : cases) {
        auto value = JSON::read(c.text);
        ASSERT_FALSE(value.ok()) << c.name;
        EXPECT_EQ(value.error().domain, JSON::kErrorDomain) << c.name;
        EXPECT_EQ(value.error().code, JSON::kReadCorruptError) << c.name;
        EXPECT_FALSE(value.error().localizedDescription().empty()) << c.name;
    }
    EXPECT_TRUE(JSON::read(nested(JSON::kMaxDepth)).ok());
    EXPECT_TRUE(JSON::read("42", JSON::Fragments::Allowed).ok());
}

TEST(JSONTest, WritingReplacesInvalidUTF8) {
    auto text = JSON::write(PlistValue::Array{PlistValue(std::string("a\xff" "b\xe2\x82"))});
    ASSERT_TRUE(text.ok());
    EXPECT_EQ(text.value(), "[\"a\xef\xbf\xbd" "b\xef\xbf\xbd\"]");
    EXPECT_TRUE(JSON::read(text.value()).ok());
}

// The compact writer writes what the library's own dump() writes, escapes,
// replaced bytes and number forms alike.
TEST(JSONTest, CompactTextIsTheLibrarysText) {
    const std::string texts[] = {
        "plain", "quote \" back \\ slash", std::string("nul\0 \x01 \x1f \x7f \b\f\n\r\t", 16), "ünï ✓ 😀",
        "\xff", "a\xe2\x82", "\xe2\x82z", "\xed\xa0\x80", "\xc0\xaf", "\xf4\x90\x80\x80", "\xf0\x9f\x98", "\xef\xbf\xbd",
    };
    for (const auto& text : texts) {
        auto ours = JSON::write(PlistValue::Array{PlistValue(text)});
        ASSERT_TRUE(ours.ok());
        EXPECT_EQ(ours.value(), nlohmann::json::array({text}).dump(-1, ' ', false, nlohmann::json::error_handler_t::replace))
            << text;
    }
    const double reals[] = {0.5, 3.0, -2.25, 1e30, 1.5e-7, 1e15, 123456789.125};
    for (double real : reals) EXPECT_EQ(JSON::write(PlistValue::Array{PlistValue(real)}).value(), nlohmann::json::array({real}).dump());
    EXPECT_EQ(JSON::write(sample()).value().find('\n'), std::string::npos);
}

TEST(JSONTest, WritingRefusesWhatJSONCannotHold) {
    const PlistValue cases[] = {
        PlistValue::Array{PlistValue(std::numeric_limits<double>::quiet_NaN())},
        PlistValue::Array{PlistValue(std::numeric_limits<double>::infinity())},
        PlistValue::Dictionary{{"x", PlistValue(-std::numeric_limits<double>::infinity())}},
        PlistValue::Array{PlistValue(Date(0))},
        PlistValue::Array{PlistValue(Data::fromString("x"))},
    };
    for (const auto& value : cases) {
        auto text = JSON::write(value);
        ASSERT_FALSE(text.ok()) << value.description();
        EXPECT_EQ(text.error().code, JSON::kWriteInvalidError);
    }
    PlistValue deep = PlistValue::Array{};
    for (int i = 0; i < JSON::kMaxDepth + 1; ++i) {
        PlistValue::Array outer;
        outer.push_back(std::move(deep));
        deep = PlistValue(std::move(outer));
    }
    EXPECT_FALSE(JSON::write(deep).ok());
}

// Mutations of valid documents: every one either reads or fails with an error,
// and whatever reads writes back and reads again to the same value.
TEST(JSONTest, MutatedInputsNeverCrash) {
    std::mt19937 random(20261211);
    const std::string seeds[] = {JSON::write(sample()).value(), R"({"app":{"status":"new","update_required":true}})",
                                 R"([1,-2.5e3,"\u00e9\ud83d\ude00",null,{"k":[[]]}])"};
    const char alphabet[] = "{}[]\",:\\0123456789eE+-.tfnul \x80\xff\xc3";
    int read = 0;
    for (int i = 0; i < 20000; ++i) {
        std::string text = seeds[i % 3];
        int edits = 1 + static_cast<int>(random() % 4);
        for (int e = 0; e < edits && !text.empty(); ++e) {
            size_t at = random() % text.size();
            switch (random() % 3) {
            case 0: text[at] = alphabet[random() % (sizeof alphabet - 1)]; break;
            case 1: text.erase(at, 1 + random() % 3); break;
            default: text.insert(at, 1, alphabet[random() % (sizeof alphabet - 1)]); break;
            }
        }
        auto value = JSON::read(text);
        if (!value.ok()) continue;
        ++read;
        auto again = JSON::write(value.value());
        ASSERT_TRUE(again.ok()) << text;
        auto back = JSON::read(again.value());
        ASSERT_TRUE(back.ok()) << again.value();
        EXPECT_EQ(back.value(), value.value()) << text;
    }
    EXPECT_GT(read, 0);
}
