// The watch on the tick and the application rules: which changes are
// captured, and into which list.

#include "tests/kit/CaptureFixture.h"

#include "platform/dispatch/Clock.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"

namespace {

using pasteboardtest::item;
constexpr const char* kText = foundation::kUTTypeUTF8PlainText;

class TLPasteboardManagerRulesTest : public capturetest::CaptureFixture {
protected:
    void copyText(const std::string& text) { copy({item({{kText, text}})}); }
    std::vector<std::string> savedTexts() {
        std::vector<std::string> out;
        for (auto& c : savedClippings()) out.push_back(c->text().value_or(""));
        return out;
    }
};

TEST_F(TLPasteboardManagerRulesTest, ContentPresentAtLaunchIsNotCapturedTheNextChangeIs) {
    copyText("before launch");
    start();
    tick();
    EXPECT_TRUE(savedClippings().empty());
    copyText("after launch");
    tick();
    EXPECT_EQ(savedTexts(), std::vector<std::string>{"after launch"});
}

TEST_F(TLPasteboardManagerRulesTest, WithCaptureOffChangesAreCountedNeverSaved) {
    auto& manager = start();
    manager.pause();
    copyText("while off");
    tick();
    manager.resume();
    tick();
    EXPECT_TRUE(savedClippings().empty());
    EXPECT_FALSE(manager.isPaused());
    copyText("on again");
    tick();
    EXPECT_EQ(savedTexts(), std::vector<std::string>{"on again"});
}

TEST_F(TLPasteboardManagerRulesTest, TheCaptureSwitchIsReadAtStart) {
    TLSettings()->setBool(false, TLUserDefaultsCaptureClipboard);
    auto& manager = start();
    EXPECT_TRUE(manager.isPaused());
    copyText("x");
    tick();
    EXPECT_TRUE(savedClippings().empty());
}

TEST_F(TLPasteboardManagerRulesTest, OurOwnWritesAreNeverCaptured) {
    start();
    copy({item({{kText, "ours"}, {TLPasteboard::kClippingMetadataType, "C-1"}})});
    tick();
    // The joined text of several clippings carries an empty identifier.
    copy({item({{kText, "joined"}, {TLPasteboard::kClippingMetadataType, ""}})});
    tick();
    EXPECT_TRUE(savedClippings().empty());
}

struct Rule {
    const char* bundleIdentifier;
    std::optional<int64_t> option;
    const char* listID = nullptr;
};

struct RuleRow {
    const char* name;
    std::vector<Rule> rules;
    int64_t defaultOption;
    const char* front;  // null: no active window
    bool saved;
    const char* listName;  // null: no list
    const char* defaultListID = nullptr;
    const char* selectedListID = nullptr;
};

TEST_F(TLPasteboardManagerRulesTest, RulesDecideWhetherAndWhere) {
    const char* app = "org.example.Editor";
    const RuleRow rows[] = {
        {"no rules: default save", {}, 0, app, true, nullptr},
        {"default do not save", {}, 1, app, false, nullptr},
        {"default do not save, a rule saves", {{app, 0}}, 1, app, true, nullptr},
        {"rule do not save", {{app, 1}}, 0, app, false, nullptr},
        {"the later of two rules wins", {{app, 1}, {app, 0}}, 1, app, true, nullptr},
        {"the later of two rules wins, the other way", {{app, 0}, {app, 1}}, 0, app, false, nullptr},
        {"other applications' rules do not apply", {{"org.example.Other", 1}}, 0, app, true, nullptr},
        {"a rule without option saves", {{app, std::nullopt}}, 1, app, true, nullptr},
        {"an unknown option follows the default", {{app, 7}}, 1, app, false, nullptr},
        {"rule into a list", {{app, 2, "L-work"}}, 1, app, true, "Work"},
        {"rule into a list that does not exist", {{app, 2, "L-gone"}}, 0, app, true, nullptr},
        {"rule into a list without id: the selected list", {{app, 2, ""}}, 0, app, true, "Home", nullptr, "L-home"},
        {"default list", {}, 2, app, true, "Work", "L-work"},
        {"default list with no front application", {{app, 1}}, 2, nullptr, true, "Work", "L-work"},
        {"selected list when nothing names one", {}, 0, app, true, "Home", nullptr, "L-home"},
        {"a rule's list beats the selected one", {{app, 2, "L-work"}}, 0, app, true, "Work", nullptr, "L-home"},
        {"no front application: default", {{app, 1}}, 0, nullptr, true, nullptr},
    };
    makeList("L-work", "Work");
    makeList("L-home", "Home");
    auto& manager = start();
    int n = 0;
    for (const RuleRow& r : rows) {
        SCOPED_TRACE(r.name);
        foundation::PlistValue::Array rules;
        for (const Rule& rule : r.rules) {
            foundation::PlistValue::Dictionary d{{TLAppRuleBundleIdentifier, rule.bundleIdentifier},
                                                 {TLAppRuleBundleName, "Name"}};
            if (rule.option) d[TLAppRuleOption] = *rule.option;
            if (rule.listID) d[TLAppRuleListID] = rule.listID;
            rules.push_back(d);
        }
        TLSettings()->setObject(rules, TLApplicationRules);
        TLSettings()->setInteger(r.defaultOption, TLDefaultRuleOption);
        TLSettings()->setObject(r.defaultListID ? foundation::PlistValue(r.defaultListID) : foundation::PlistValue(),
                              TLDefaultListID);
        TLSettings()->setObject(r.selectedListID ? foundation::PlistValue(r.selectedListID) : foundation::PlistValue(),
                              TLUserDefaultsSelectedListID);
        front_->setActive(r.front ? std::optional<desktop::AppIdentity>({r.front, "Editor", 42}) : std::nullopt);
        std::string text = "row " + std::to_string(n++);
        std::shared_ptr<Clipping> saved;
        copyText(text);
        tick();
        for (auto& c : savedClippings())
            if (c->text() == text) saved = c;
        EXPECT_EQ(saved != nullptr, r.saved);
        if (!saved) continue;
        auto list = saved->list();
        EXPECT_EQ(list ? list->name().value_or("") : "", r.listName ? r.listName : "");
    }
    EXPECT_FALSE(manager.isPaused());
}

TEST_F(TLPasteboardManagerRulesTest, ANewClippingGoesToTheEndOfItsListWhichIsRenumbered) {
    auto list = makeList("L-work", "Work");
    for (int64_t index : {3, 7}) {
        auto member = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        member->setClippingID(Clipping::makeClippingID());
        member->setText("member " + std::to_string(index));
        member->setIndex(index);
        member->setSync(false);
        member->setList(list);
    }
    ASSERT_TRUE(context_->save().ok());
    TLSettings()->setObject(foundation::PlistValue("L-work"), TLUserDefaultsSelectedListID);
    start();
    copyText("new");
    tick();
    std::map<std::string, std::pair<int64_t, bool>> indexes;
    for (auto& c : savedClippings()) indexes[c->text().value_or("")] = {c->index().value_or(-1), c->sync().value_or(false)};
    EXPECT_EQ(indexes["member 3"], std::make_pair(int64_t(0), true));
    EXPECT_EQ(indexes["member 7"], std::make_pair(int64_t(1), true));
    EXPECT_EQ(indexes["new"].first, 2);
}

TEST_F(TLPasteboardManagerRulesTest, SomeApplicationsMakeTheCaptureWait) {
    dispatch::Clock::useVirtualTime();
    struct Row {
        const char* name;
        const char* front;
        std::vector<desktop::AppIdentity> running;
        double delay;
    };
    const Row rows[] = {
        {"ordinary", "org.example.Editor", {}, 0},
        {"a book reader in front", TLPasteboardManager::kDelayedFrontApplication, {}, 0.25},
        {"a helper running", "org.example.Editor", {{TLPasteboardManager::kDelayingRunningApplication, "P", 9}}, 0.5},
        {"the book reader is asked first",
         TLPasteboardManager::kDelayedFrontApplication,
         {{TLPasteboardManager::kDelayingRunningApplication, "P", 9}},
         0.25},
    };
    start();
    int n = 0;
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        front_->setActive(desktop::AppIdentity{r.front, "App", 1});
        front_->setRunning(r.running);
        std::string text = "wait " + std::to_string(n++);
        copyText(text);
        tick();
        auto has = [&] {
            for (auto& c : savedClippings())
                if (c->text() == text) return true;
            return false;
        };
        if (r.delay > 0) {
            dispatch::Clock::advance(r.delay - 0.01);
            EXPECT_FALSE(has());
            dispatch::Clock::advance(0.01);
        }
        EXPECT_TRUE(has());
    }
    dispatch::Clock::useRealTime();
}

}  // namespace
