#include <gtest/gtest.h>

#include "platform/foundation/KeyedArchiver.h"
#include "platform/foundation/ValueTransformer.h"

using foundation::Data;
using foundation::KeyedArchiver;
using foundation::KeyedUnarchiver;
using foundation::ValueTransformer;

namespace {

struct Point {
    int64_t x = 0, y = 0;
    void encodeWithCoder(KeyedArchiver& archiver) const {
        archiver.encodeInteger(x, "X");
        archiver.encodeInteger(y, "Y");
    }
    static std::optional<Point> initWithCoder(const KeyedUnarchiver& unarchiver) {
        auto x = unarchiver.decodeIntegerForKey("X");
        auto y = unarchiver.decodeIntegerForKey("Y");
        if (!x || !y) return std::nullopt;
        return Point{*x, *y};
    }
};

struct Unregistered {};

// CTest runs each test in a process of its own, so each registers.
void registerPoint() {
    KeyedArchiver::registerClass<Point>("TestPoint");
}

TEST(KeyedArchiverTest, RegisteredClassesRoundTripAndOthersDoNot) {
    registerPoint();
    std::optional<Data> data = KeyedArchiver::archivedData(Point{3, -4});
    ASSERT_TRUE(data);
    std::optional<KeyedUnarchiver> unarchiver = KeyedUnarchiver::forReadingFromData(*data);
    ASSERT_TRUE(unarchiver);
    EXPECT_EQ(unarchiver->className(), "TestPoint");
    EXPECT_TRUE(unarchiver->containsValueForKey("X"));
    EXPECT_FALSE(unarchiver->containsValueForKey("$class"));
    std::any back = KeyedUnarchiver::unarchivedObject(*data);
    ASSERT_TRUE(std::any_cast<Point>(&back));
    EXPECT_EQ(std::any_cast<Point>(back).y, -4);

    EXPECT_FALSE(KeyedArchiver::archivedData(Unregistered{}));
    EXPECT_FALSE(KeyedArchiver::archivedData(std::any()));
    KeyedArchiver unknown("NoSuchClass");
    unknown.encodeInteger(1, "X");
    EXPECT_FALSE(KeyedUnarchiver::unarchivedObject(unknown.encodedData()).has_value());
    EXPECT_TRUE(KeyedUnarchiver::forReadingFromData(unknown.encodedData()));
}

TEST(KeyedArchiverTest, TransformersByName) {
    registerPoint();
    auto keyed = ValueTransformer::valueTransformerForName(ValueTransformer::kKeyedUnarchiveFromDataTransformerName);
    ASSERT_TRUE(keyed);
    std::any stored = keyed->reverseTransformedValue(Point{1, 2});
    std::any value = keyed->transformedValue(stored);
    ASSERT_TRUE(std::any_cast<Point>(&value));
    EXPECT_EQ(std::any_cast<Point>(value).x, 1);
    EXPECT_FALSE(keyed->reverseTransformedValue(Unregistered{}).has_value());

    struct Twice : ValueTransformer {
        std::any transformedValue(const std::any& v) const override { return std::any_cast<int>(v) * 2; }
    };
    ValueTransformer::setValueTransformer(std::make_shared<Twice>(), "Twice");
    auto twice = ValueTransformer::valueTransformerForName("Twice");
    ASSERT_TRUE(twice);
    EXPECT_EQ(std::any_cast<int>(twice->transformedValue(21)), 42);
    EXPECT_FALSE(twice->allowsReverseTransformation());
    EXPECT_FALSE(twice->reverseTransformedValue(42).has_value());
    ValueTransformer::setValueTransformer(nullptr, "Twice");
    EXPECT_FALSE(ValueTransformer::valueTransformerForName("Twice"));
}

}  // namespace
