// The script commands over a store in a temporary home and an in-memory
// clipboard: where a saved clipping goes and when, and which clipping a
// position names.
#include <gtest/gtest.h>

#include "app/TLCopyCommand.h"
#include "app/TLSaveCommand.h"
#include "kit/NSDateCloudKit.h"
#include "tests/kit/CaptureFixture.h"

namespace {

class ScriptCommandsTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        start();
    }
    TLScriptCommand::Environment environment() { return {context_, manager_, general_}; }
    std::shared_ptr<Clipping> makeClipping(const std::string& text, double age, std::optional<int64_t> index = {},
                                           const std::shared_ptr<List>& list = nullptr) {
        auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText(text);
        clipping->setTavloDate(foundation::Date(NSDateCloudKit::currentServerDate().timeIntervalSince1970() - age));
        clipping->setIndex(index);
        if (list) clipping->setList(list);
        EXPECT_TRUE(context_->save().ok());
        return clipping;
    }
    // The clipping the copy put on the clipboard, or "" when nothing was copied.
    std::string copied(int64_t index, const std::string& list) {
        const int64_t before = memory_->changeCount();
        TLCopyCommand(environment()).copyClippingAtIndex(index, list);
        // The clipboard is written once the clipping's files were read (nothing when nothing was copied).
        runUntil([&] { return memory_->changeCount() != before; }, std::chrono::milliseconds(500));
        auto ids = manager_->pasteboardClippingIDs();
        if (!ids || ids->empty()) return "";
        auto found = database_->clippingsWithIDs(*ids);
        return found.empty() ? "" : found.begin()->second->text().value_or("");
    }
};

TEST_F(ScriptCommandsTest, APositionCountsNewestFirstOrByListPosition) {
    auto list = makeList("L-1", "Work");
    makeClipping("old", 30);
    makeClipping("new", 10);
    makeClipping("listed second", 5, 1, list);
    makeClipping("listed first", 40, 0, list);
    EXPECT_EQ(copied(-1, ""), "");
    EXPECT_EQ(copied(int64_t(1) << 31, ""), "");
    EXPECT_EQ(copied(0, "nothing by that name"), "");
    EXPECT_EQ(copied(3, ""), "listed first");  // every clipping counts without a list
    EXPECT_EQ(copied(0, "work"), "listed first");
    EXPECT_EQ(copied(1, "WORK"), "listed second");
}

TEST_F(ScriptCommandsTest, ASaveWaitsItsTurnOnTheMainQueue) {
    TLSaveCommand save(environment());
    save.setEvaluatedArguments({{"", "https://a.example/x"}, {"in", "Äpfel"}});
    save.performDefaultImplementation();
    EXPECT_EQ(save.scriptErrorNumber(), 0);
    EXPECT_TRUE(savedClippings().empty()) << "saved before the caller had its answer";
    dispatch::MainQueue::runUntilIdle();
    EXPECT_TRUE(runUntil([&] { return manager_->pasteboardClippingIDs().has_value(); }));
    auto saved = savedClippings();
    ASSERT_EQ(saved.size(), 1u);
    EXPECT_EQ(saved[0]->url(), "https://a.example/x");
    ASSERT_TRUE(saved[0]->list());
    EXPECT_EQ(saved[0]->list()->name(), "Äpfel");
    EXPECT_EQ(manager_->pasteboardClippingIDs(), std::vector<std::string>{*saved[0]->clippingID()});
}

}  // namespace
