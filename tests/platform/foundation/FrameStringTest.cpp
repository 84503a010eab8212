// Rectangles as text: the lenient reading of stored frames and the writing back.
#include <gtest/gtest.h>

#include "platform/foundation/FrameString.h"

namespace {

using foundation::FrameRect;
using foundation::FrameString;

TEST(FrameStringTest, ReadsWhatItCanAndZeroForTheRest) {
    struct Row {
        const char* text;
        FrameRect rect;
    };
    const Row rows[] = {
        {"{{20, 20}, {360, 600}}", {20, 20, 360, 600}},
        {"{{-12.5, 3e2}, {300, 400.25}}", {-12.5, 300, 300, 400.25}},
        {"{{10, 20}, {300}}", {10, 20, 300, 0}},
        {"{{1,2},{3,4}}", {1, 2, 3, 4}},
        {"garbage", {0, 0, 0, 0}},
        {"", {0, 0, 0, 0}},
        {"{{-, .}, {+5, 6}}", {5, 6, 0, 0}},
        {"{{1e999, 2}, {3, 4}}", {0, 2, 3, 4}},
        {"{{1, 2}, {3, 4}} {5, 6}", {1, 2, 3, 4}},
    };
    for (const Row& row : rows) EXPECT_EQ(FrameString::rectFromString(row.text), row.rect) << row.text;
}

TEST(FrameStringTest, WritesWholeNumbersWithoutAFractionAndReadsBackWhatItWrote) {
    EXPECT_EQ(FrameString::stringFromRect({20, 20, 360, 600}), "{{20, 20}, {360, 600}}");
    EXPECT_EQ(FrameString::stringFromRect({-30.5, 0, 360, -0.0}), "{{-30.5, 0}, {360, 0}}");
    FrameRect odd{0.1, -7.25, 1e6, 333.333};
    EXPECT_EQ(FrameString::rectFromString(FrameString::stringFromRect(odd)), odd);
}

}  // namespace
