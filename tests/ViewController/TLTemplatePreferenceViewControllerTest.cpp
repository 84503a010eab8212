// The Templates pane and the template editor under Qt's offscreen platform:
// live token styling, token insertion, the save rule, reordering by drag, an
// index gone stale under an inbound change, and the key-value store written
// only while sync is on.
#include <gtest/gtest.h>

#include <QApplication>
#include <QLineEdit>
#include <QMimeData>
#include <QTableView>
#include <QTest>
#include <QTextEdit>
#include <QToolButton>

#include "ViewController/TLTemplatePreferenceViewController.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/cloud/MemoryKeyValueStore.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/TempHome.h"

namespace {

using foundation::PlistValue;
using Editor = TLTemplateEditorViewController;
using Pane = TLTemplatePreferenceViewController;
using Names = std::vector<std::string>;
using Ranges = std::vector<std::pair<int, int>>;

PlistValue entry(const std::string& name, const std::string& format) {
    return PlistValue(PlistValue::Dictionary{{TLUserDefaultsTemplateName, PlistValue(name)},
                                             {TLUserDefaultsTemplateFormat, PlistValue(format)}});
}

class TLTemplatePreferenceViewControllerTest : public ::testing::Test {
protected:
    void SetUp() override {
        cloud::UbiquitousKeyValueStore::setDefaultStore(store_);
        PlistValue::Array six;
        for (const char* name : {"A", "B", "C", "D", "E", "F"}) six.push_back(entry(name, std::string("{text} ") + name));
        setTemplates(six);
    }
    void TearDown() override { cloud::UbiquitousKeyValueStore::setDefaultStore(nullptr); }

    static std::shared_ptr<foundation::UserDefaults> suite() { return foundation::UserDefaults::applicationGroup(); }
    static void setTemplates(PlistValue::Array templates) {
        suite()->setObject(PlistValue(std::move(templates)), TLUserDefaultsCopyTemplates);
    }
    static Names names() {
        Names out;
        for (const PlistValue& t : Editor::storedTemplates())
            out.push_back(t.get(TLUserDefaultsTemplateName) ? t.get(TLUserDefaultsTemplateName)->stringValue().value_or("?") : "?");
        return out;
    }
    static void drain() { dispatch::MainQueue::runUntilIdle(); }
    static void fill(Editor& editor, const QString& name, const QString& format) {
        editor.titleField()->setText(name);
        editor.textView()->setPlainText(format);
    }

    testsupport::TempHome home_;
    std::shared_ptr<cloud::MemoryKeyValueStore> store_ = std::make_shared<cloud::MemoryKeyValueStore>();
};

// MARK: Editor

TEST_F(TLTemplatePreferenceViewControllerTest, ATypedTokenTurnsBlueAndBoldAtItsLastCharacterAndBackWithout) {
    Editor editor(-1);
    editor.show();
    QTest::keyClicks(editor.textView(), "see {url");
    EXPECT_EQ(editor.tokenRanges(), Ranges{});
    QTest::keyClicks(editor.textView(), "}");
    EXPECT_EQ(editor.tokenRanges(), (Ranges{{4, 5}}));
    QTest::keyClick(editor.textView(), Qt::Key_Backspace);
    EXPECT_EQ(editor.textView()->toPlainText(), "see {url");
    EXPECT_EQ(editor.tokenRanges(), Ranges{});
}

TEST_F(TLTemplatePreferenceViewControllerTest, InsertingATokenReplacesTheSelectionAndLeavesTheCaretAfterIt) {
    struct Row {
        void (Editor::*insert)();
        const char* text;
        int caret;
    };
    for (Row row : {Row{&Editor::insertTitle, "say {title} now", 11}, Row{&Editor::insertText, "say {text} now", 10},
                    Row{&Editor::insertURL, "say {url} now", 9}}) {
        Editor editor(-1);
        editor.textView()->setPlainText("say hello now");
        QTextCursor cursor = editor.textView()->textCursor();
        cursor.setPosition(4);
        cursor.setPosition(9, QTextCursor::KeepAnchor);
        editor.textView()->setTextCursor(cursor);
        (editor.*row.insert)();
        EXPECT_EQ(editor.textView()->toPlainText().toStdString(), row.text);
        EXPECT_EQ(editor.textView()->textCursor().position(), row.caret);
        EXPECT_FALSE(editor.textView()->textCursor().hasSelection());
        EXPECT_EQ(editor.tokenRanges(), (Ranges{{4, row.caret - 4}}));
    }
}

TEST_F(TLTemplatePreferenceViewControllerTest, SavingNeedsATokenAndANameThatIsNotBlankAndKeepsTheNameAsTyped) {
    struct Row {
        const char* name;
        const char* format;
        bool saved;
    };
    for (Row row : {Row{"x", "no token here", false}, Row{" \t ", "{url}", false}, Row{"", "{text}", false},
                    Row{" x ", "{title} - {url}", true}}) {
        SCOPED_TRACE(row.name);
        Editor editor(-1);
        editor.show();
        fill(editor, row.name, row.format);
        int beeps = Editor::beepCount();
        auto before = names();
        EXPECT_EQ(editor.saveTemplate(), row.saved);
        EXPECT_EQ(Editor::beepCount(), beeps + (row.saved ? 0 : 1));
        EXPECT_EQ(editor.isVisible(), !row.saved) << "a refused save keeps the pop-up";
        if (!row.saved) {
            EXPECT_EQ(names(), before);
        }
    }
    auto stored = Editor::storedTemplates();
    ASSERT_EQ(stored.size(), 7u);
    EXPECT_EQ(stored.back(), entry(" x ", "{title} - {url}"));
}

TEST_F(TLTemplatePreferenceViewControllerTest, AnEditorOpensOnItsTemplateAndSavesInPlace) {
    Editor editor(2);
    EXPECT_EQ(editor.titleField()->text(), "C");
    EXPECT_EQ(editor.textView()->toPlainText(), "{text} C");
    EXPECT_EQ(editor.tokenRanges(), (Ranges{{0, 6}}));
    editor.titleField()->setText("Changed");
    EXPECT_TRUE(editor.saveTemplate());
    EXPECT_EQ(names(), (Names{"A", "B", "Changed", "D", "E", "F"}));

    setTemplates({entry("A", "{url}"), PlistValue("not a template")});
    Editor onString(1);
    EXPECT_EQ(onString.templateIndex(), -1) << "no dictionary there: a new template";
    EXPECT_TRUE(onString.titleField()->text().isEmpty());
}

TEST_F(TLTemplatePreferenceViewControllerTest, AnIndexGoneStaleUnderAnInboundChangeSavesAsANewTemplate) {
    Editor editor(4);
    EXPECT_EQ(editor.titleField()->text(), "E");
    setTemplates({entry("A", "{url}"), entry("B", "{url}"), entry("C", "{url}")});  // another device shrank it
    EXPECT_TRUE(editor.saveTemplate());
    EXPECT_EQ(names(), (Names{"A", "B", "C", "E"}));
    EXPECT_EQ(editor.templateIndex(), 3);

    Editor moved(1);  // "B"
    setTemplates({entry("A", "{url}"), entry("C", "{url}"), entry("B", "{url}")});
    moved.titleField()->setText("B2");
    EXPECT_TRUE(moved.saveTemplate());
    EXPECT_EQ(names(), (Names{"A", "C", "B", "B2"})) << "C is not overwritten";
}

TEST_F(TLTemplatePreferenceViewControllerTest, ShiftTabInTheTextMovesToTheNameField) {
    Editor editor(0);
    editor.show();
    QApplication::setActiveWindow(&editor);
    editor.textView()->setFocus();
    QTest::keyClick(editor.textView(), Qt::Key_Backtab, Qt::ShiftModifier);
    EXPECT_TRUE(editor.titleField()->hasFocus());
    EXPECT_EQ(editor.textView()->toPlainText(), "{text} A") << "nothing typed";
}

TEST_F(TLTemplatePreferenceViewControllerTest, TenThousandTokensAndALongNameWork) {
    Editor editor(-1);
    QString format;
    for (int i = 0; i < 10000; ++i) format += QStringLiteral("{url} ");
    QString name(5000, QChar(u'n'));
    fill(editor, name, format);
    EXPECT_EQ(editor.tokenRanges().size(), 10000u);
    EXPECT_TRUE(editor.saveTemplate());
    auto stored = Editor::storedTemplates();
    ASSERT_EQ(stored.size(), 7u);
    EXPECT_EQ(stored.back(), entry(name.toStdString(), format.toStdString()));
}

// MARK: Pane

TEST_F(TLTemplatePreferenceViewControllerTest, TheTableShowsTheNamesAndRemoveNeedsASelection) {
    Pane pane;
    pane.show();
    auto* model = pane.tableView()->model();
    ASSERT_EQ(model->rowCount(), 6);
    EXPECT_EQ(model->index(3, 0).data().toString(), "D");
    EXPECT_EQ(pane.tableView()->rowHeight(0), Pane::kRowHeight);
    EXPECT_FALSE(pane.removeButton()->isEnabled());
    pane.selectRow(1);
    EXPECT_TRUE(pane.removeButton()->isEnabled());
    pane.removeButton()->click();
    EXPECT_EQ(names(), (Names{"A", "C", "D", "E", "F"}));
}

TEST_F(TLTemplatePreferenceViewControllerTest, ADragCarriesTheTwoStringsAndADropMovesTheSelectedTemplate) {
    Pane pane;
    std::unique_ptr<QMimeData> data(pane.writeRows({0, 2}));
    EXPECT_EQ(pane.selectedRow(), 0);
    EXPECT_EQ(data->data(Pane::kNameType), "A");
    EXPECT_EQ(data->data(Pane::kFormatType), "{text} A");
    EXPECT_TRUE(Pane::validateDrop(true, Pane::DropPosition::AboveRow));
    EXPECT_FALSE(Pane::validateDrop(true, Pane::DropPosition::OnRow));
    EXPECT_FALSE(Pane::validateDrop(false, Pane::DropPosition::AboveRow));
    EXPECT_TRUE(pane.acceptDrop(3));
    EXPECT_EQ(names(), (Names{"B", "C", "A", "D", "E", "F"}));
    pane.selectRow(4);  // E above B
    EXPECT_TRUE(pane.acceptDrop(0));
    EXPECT_EQ(names(), (Names{"E", "B", "C", "A", "D", "F"}));
    pane.selectRow(0);
    EXPECT_TRUE(pane.acceptDrop(6));  // below the last row
    EXPECT_EQ(names(), (Names{"B", "C", "A", "D", "F", "E"}));
    EXPECT_FALSE(pane.acceptDrop(7));
}

TEST_F(TLTemplatePreferenceViewControllerTest, EditingWithNoRowSelectedAddsANewTemplate) {
    Pane pane;
    pane.show();
    pane.editTemplate();
    ASSERT_TRUE(pane.editor());
    EXPECT_EQ(pane.editor()->templateIndex(), -1);
    EXPECT_TRUE(pane.editor()->isVisible());
    fill(*pane.editor(), "New", "{url}");
    EXPECT_TRUE(pane.editor()->saveTemplate());
    EXPECT_EQ(names(), (Names{"A", "B", "C", "D", "E", "F", "New"}));
    drain();
    EXPECT_EQ(pane.tableView()->model()->rowCount(), 7);

    pane.controlClicked(Pane::kAddSegment);
    ASSERT_TRUE(pane.editor());
    EXPECT_EQ(pane.editor()->templateIndex(), -1);
}

TEST_F(TLTemplatePreferenceViewControllerTest, TheTableFollowsAnyChangeOfTheSettings) {
    Pane pane;
    pane.selectRow(1);
    setTemplates({entry("Only", "{url}")});
    EXPECT_EQ(pane.tableView()->model()->rowCount(), 6) << "once the change is done";
    drain();
    EXPECT_EQ(pane.tableView()->model()->rowCount(), 1);
    EXPECT_FALSE(pane.removeButton()->isEnabled());
}

TEST_F(TLTemplatePreferenceViewControllerTest, TheStoreGetsTheWholeListAfterEveryChangeOnlyWhileSyncIsOn) {
    for (bool sync : {false, true}) {
        SCOPED_TRACE(sync);
        suite()->setBool(sync, TLUserDefaultsSyncEnabled);
        store_->removeObjectForKey(TLUserDefaultsCopyTemplates);
        int synchronized = store_->synchronizeCount();
        Pane pane;
        auto expectMirrored = [&](const char* what) {
            SCOPED_TRACE(what);
            PlistValue inStore = store_->objectForKey(TLUserDefaultsCopyTemplates);
            EXPECT_EQ(inStore, sync ? PlistValue(Editor::storedTemplates()) : PlistValue());
            EXPECT_EQ(store_->synchronizeCount(), synchronized += sync ? 1 : 0);
        };
        pane.controlClicked(Pane::kAddSegment);
        fill(*pane.editor(), "Added", "{url}");
        ASSERT_TRUE(pane.editor()->saveTemplate());
        expectMirrored("add");
        Editor edit(0);
        edit.titleField()->setText("Edited");
        ASSERT_TRUE(edit.saveTemplate());
        expectMirrored("edit");
        pane.selectRow(0);
        pane.controlClicked(Pane::kRemoveSegment);
        expectMirrored("remove");
        pane.selectRow(0);
        ASSERT_TRUE(pane.acceptDrop(2));
        expectMirrored("move");
    }
}

}  // namespace
