#pragma once
// One suite for every pasteboard back-end, so none drifts from the others:
// our own writes, the change count, and (where another writer can be played)
// foreign changes. Each test program instantiates it for the back-ends it can
// run: the in-process ones, and the X11 clipboard on a real server.
//
// A back-end offers: pasteboard (a desktop::Pasteboard), kForeignWriter,
// kNeedsDisplay (an X server; without one the tests skip, or fail where the
// run requires one), foreignWrite(text) (returns once the pasteboard saw the
// change) and settle() (lets our own write's echoes arrive).

#include <gtest/gtest.h>

#include <memory>

#include "platform/desktop/Pasteboard.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/support/RequireDisplay.h"

namespace pasteboardtest {

template <class Backend>
class PasteboardContractTest : public ::testing::Test {
protected:
    void SetUp() override {
        if constexpr (Backend::kNeedsDisplay) TAVLO_SKIP_WITHOUT_DISPLAY(qGuiApp, "needs an X server (DISPLAY is not set)");
        backend_ = std::make_unique<Backend>();
    }
    std::unique_ptr<Backend> backend_;
    desktop::Pasteboard& pasteboard() { return backend_->pasteboard; }
    void settle() { backend_->settle(); }
};

TYPED_TEST_SUITE_P(PasteboardContractTest);

TYPED_TEST_P(PasteboardContractTest, OwnWriteIsOneChangeAndReadsBackExactly) {
    int64_t before = this->pasteboard().changeCount();
    EXPECT_EQ(this->pasteboard().clearContents(), before + 1);
    ASSERT_TRUE(this->pasteboard().writeItems(threeItems()));
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 1);
    EXPECT_EQ(this->pasteboard().items(), threeItems());
}

TYPED_TEST_P(PasteboardContractTest, WritesAppendAfterTheClear) {
    constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
    auto a = item({{kText, "a"}});
    auto b = item({{kText, "b"}, {foundation::kUTTypeHTML, "<b>b</b>"}});
    int64_t before = this->pasteboard().changeCount();
    // A write with no clear before it is a change of its own; the next appends.
    ASSERT_TRUE(this->pasteboard().writeItems({a}));
    ASSERT_TRUE(this->pasteboard().writeItems({b}));
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 1);
    EXPECT_EQ(this->pasteboard().items(), (std::vector<desktop::PasteboardItem>{a, b}));
    EXPECT_EQ(this->pasteboard().types(), (std::vector<std::string>{kText, foundation::kUTTypeHTML}));

    this->pasteboard().clearContents();
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 2);
    EXPECT_TRUE(this->pasteboard().items().empty());
}

TYPED_TEST_P(PasteboardContractTest, ForeignChangeCountsOnceAndEndsOurWrite) {
    constexpr const char* kText = foundation::kUTTypeUTF8PlainText;
    if (!TypeParam::kForeignWriter) GTEST_SKIP() << "nobody else writes this pasteboard";
    this->pasteboard().clearContents();
    ASSERT_TRUE(this->pasteboard().writeItems(threeItems()));
    this->settle();
    int64_t before = this->pasteboard().changeCount();

    this->backend_->foreignWrite("from elsewhere");
    EXPECT_EQ(this->pasteboard().changeCount(), before + 1);
    auto items = this->pasteboard().items();
    ASSERT_EQ(items.size(), 1u);
    EXPECT_EQ(items[0].string(kText), "from elsewhere");

    // Our next write replaces the foreign content rather than appending to it.
    ASSERT_TRUE(this->pasteboard().writeItems({item({{kText, "ours"}})}));
    this->settle();
    EXPECT_EQ(this->pasteboard().changeCount(), before + 2);
    EXPECT_EQ(this->pasteboard().items(), (std::vector<desktop::PasteboardItem>{item({{kText, "ours"}})}));
}

REGISTER_TYPED_TEST_SUITE_P(PasteboardContractTest, OwnWriteIsOneChangeAndReadsBackExactly, WritesAppendAfterTheClear,
                            ForeignChangeCountsOnceAndEndsOurWrite);

}  // namespace pasteboardtest
