// The panel's search as a user types it: what each text finds, the footer and
// the empty state, the header's animation, the field's keys, the sort order in
// a list, and hard texts over ten thousand clippings.
#include <QAbstractButton>
#include <QClipboard>
#include <QGuiApplication>
#include <QGraphicsOpacityEffect>
#include <QLineEdit>
#include <QSignalSpy>
#include <QTest>
#include <QTimer>

#include <chrono>

#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Animator.h"
#include "platform/foundation/NotificationCenter.h"
#include "tests/ViewController/ClippingsPanelFixture.h"
#include "views/TLTitleView.h"
#include "views/TLView.h"

namespace {

using namespace panelTest;

class ClippingsPanelSearchTest : public ClippingsPanelTest {
protected:
    void SetUp() override {
        ClippingsPanelTest::SetUp();
        TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
        TLSettings()->setBool(false, TLUserDefaultsSortByAddDate);
        TLSettings()->setBool(false, TLUserDefaultsReverseSort);
        desktop::Animator::setInstant(true);
    }
    void TearDown() override {
        desktop::Animator::setInstant(false);
        ClippingsPanelTest::TearDown();
    }
    QLineEdit* field() const { return panel_->searchField(); }
    // Types into the search field as the user does.
    void type(const QString& text) {
        QTest::keyClicks(field(), text);
        drain();
    }
    // The texts of the rows shown, top first.
    std::vector<std::string> texts() const {
        std::vector<std::string> out;
        for (int row = 0; row < panel_->tableView()->model()->rowCount(); ++row)
            out.push_back(panel_->clippingAtRow(row)->text().value_or(""));
        return out;
    }
    int rows() const { return panel_->tableView()->model()->rowCount(); }
    QString footer() const { return panel_->footerLabel()->text(); }
};

TEST_F(ClippingsPanelSearchTest, TextsMatchIgnoringCaseAndDiacriticsAndSymbolsLiterally) {
    const char* stored[] = {"Café au lait", "100% juice", "snake_case", "back\\slash", "it's mine", "plain words"};
    for (size_t i = 0; i < std::size(stored); ++i) add(stored[i], double(i), nullptr, false);
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    panel.toggleSearch();
    ASSERT_TRUE(field());
    struct Row {
        const char* typed;
        std::vector<std::string> found;
    } const table[] = {
        {"cafe", {"Café au lait"}}, {"CAFÉ AU", {"Café au lait"}}, {"%", {"100% juice"}}, {"_", {"snake_case"}},
        {"\\", {"back\\slash"}},    {"'", {"it's mine"}},          {"%%", {}},           {"e_c", {"snake_case"}},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.typed);
        field()->selectAll();
        type(QString::fromUtf8(row.typed));
        EXPECT_EQ(texts(), row.found);
        EXPECT_EQ(panel.searchString(), std::optional<std::string>(row.typed));
    }
}

TEST_F(ClippingsPanelSearchTest, TheFooterCountsResultsAndAnEmptySearchShowsTheEmptyState) {
    for (const char* text : {"apple pie", "apple tart", "apple juice", "pear", "plum"}) add(text, 0, nullptr, false);
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    ASSERT_EQ(rows(), 5);
    EXPECT_FALSE(panel.isShowingEmptyState());

    panel.toggleSearch();
    EXPECT_TRUE(panel.isSearching());
    EXPECT_EQ(rows(), 0);
    EXPECT_EQ(footer(), QString());
    EXPECT_TRUE(panel.isShowingEmptyState());
    EXPECT_EQ(field()->placeholderText(), QStringLiteral("Search"));
    EXPECT_TRUE(field()->hasFocus() || QApplication::focusWidget() == nullptr);

    struct Row {
        const char* typed;
        const char* footer;
        bool empty;
    } const table[] = {{"apple", "3 results", false}, {"pear", "1 result", false}, {"kiwi", "No result", true}};
    for (const Row& row : table) {
        SCOPED_TRACE(row.typed);
        field()->selectAll();
        type(QString::fromLatin1(row.typed));
        EXPECT_EQ(footer(), QString::fromLatin1(row.footer));
        EXPECT_EQ(panel.isShowingEmptyState(), row.empty);
    }
    // A second press of the search button keeps the search and its text.
    panel.toggleSearch();
    EXPECT_EQ(field()->text(), QStringLiteral("kiwi"));
}

TEST_F(ClippingsPanelSearchTest, DeletingTheLastCharacterEndsTheSearchAtOnce) {
    for (int i = 0; i < 4; ++i) add("note " + std::to_string(i), i, nullptr, false);
    add("zebra", 9, nullptr, false);
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    desktop::Animator::setInstant(false);  // the search opens animated; only the end is instant
    panel.toggleSearch();
    advance(Panel::kSearchAnimationSeconds);
    type(QStringLiteral("z"));
    EXPECT_EQ(texts(), std::vector<std::string>{"zebra"});

    QTest::keyClick(field(), Qt::Key_Backspace);
    EXPECT_FALSE(panel.isSearching());
    EXPECT_FALSE(panel.searchString());
    EXPECT_FALSE(field()->isVisible()) << "hidden without waiting for an animation";
    EXPECT_EQ(rows(), 5);
    EXPECT_EQ(footer(), QStringLiteral("5 clippings"));
    EXPECT_FALSE(panel.isShowingEmptyState());
}

TEST_F(ClippingsPanelSearchTest, TheHeaderFadesOverAFifthOfASecond) {
    add("one", 0);
    Panel& panel = makePanel();
    desktop::Animator::setInstant(false);
    panel.toggleSearch();
    auto* fieldOpacity = qobject_cast<QGraphicsOpacityEffect*>(field()->graphicsEffect());
    auto* titleOpacity = qobject_cast<QGraphicsOpacityEffect*>(panel.titleView()->graphicsEffect());
    ASSERT_TRUE(fieldOpacity && titleOpacity);
    EXPECT_TRUE(field()->isVisible());
    EXPECT_TRUE(panel.cancelSearchButton()->isVisible());
    EXPECT_NEAR(fieldOpacity->opacity(), 0, 0.01);
    advance(Panel::kSearchAnimationSeconds / 2);
    EXPECT_GT(fieldOpacity->opacity(), 0.2);
    EXPECT_LT(fieldOpacity->opacity(), 0.8);
    EXPECT_NEAR(titleOpacity->opacity(), 1 - fieldOpacity->opacity(), 0.01);
    advance(Panel::kSearchAnimationSeconds);
    EXPECT_NEAR(fieldOpacity->opacity(), 1, 0.01);
    EXPECT_NEAR(titleOpacity->opacity(), 0, 0.01);
    // The field lies in the header, left of the search button.
    EXPECT_LE(field()->geometry().right(), panel.searchButton()->mapTo(panel.headerView(), QPoint(0, 0)).x());
    EXPECT_GT(field()->width(), panel.width() / 2);

    panel.cancelSearch();  // the cancel button: animated
    EXPECT_FALSE(panel.isSearching());
    EXPECT_FALSE(panel.cancelSearchButton()->isVisible());
    advance(Panel::kSearchAnimationSeconds * 2);
    EXPECT_NEAR(titleOpacity->opacity(), 1, 0.01);
    EXPECT_FALSE(field()->isVisible());
    EXPECT_EQ(rows(), 1);
}

TEST_F(ClippingsPanelSearchTest, TheFieldsKeys) {
    for (const char* text : {"alpha", "beta", "alphabet"}) add(text, 0, nullptr, false);
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    panel.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&panel));
    panel.toggleSearch();
    ASSERT_TRUE(field()->hasFocus());

    // Nothing typed yet: Down, Tab and Return have nowhere to go.
    for (Qt::Key key : {Qt::Key_Down, Qt::Key_Tab, Qt::Key_Return}) {
        const int beeps = Panel::beepCount();
        QTest::keyClick(field(), key);
        EXPECT_EQ(Panel::beepCount(), beeps + 1) << key;
        EXPECT_TRUE(field()->hasFocus()) << key;
    }
    type(QStringLiteral("alp"));
    ASSERT_EQ(rows(), 2);
    int beeps = Panel::beepCount();
    QTest::keyClick(field(), Qt::Key_Down);
    EXPECT_EQ(Panel::beepCount(), beeps);
    EXPECT_TRUE(panel.tableView()->hasFocus());
    EXPECT_TRUE(panel.tableView()->selectionModel()->isRowSelected(0, {}));

    // No results: a beep.
    field()->setFocus();
    type(QStringLiteral("zz"));
    ASSERT_EQ(rows(), 0);
    QTest::keyClick(field(), Qt::Key_Return);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);

    // Ctrl+, opens the preferences.
    int preferences = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    foundation::ObserverRegistration observer(
        center, center.addObserver(TLShowPreferencesWindow, nullptr, [&](const foundation::Notification&) { ++preferences; }));
    QTest::keyClick(field(), Qt::Key_Comma, Qt::ControlModifier);
    EXPECT_EQ(preferences, 1);
    // Ctrl+A selects the text, as the field's own key.
    QTest::keyClick(field(), Qt::Key_A, Qt::ControlModifier);
    EXPECT_EQ(field()->selectedText(), QStringLiteral("alpzz"));

    // Escape ends the search without closing anything.
    QTest::keyClick(field(), Qt::Key_Escape);
    EXPECT_FALSE(panel.isSearching());
    EXPECT_TRUE(panel.isVisible());
    EXPECT_EQ(rows(), 3);

    // Ctrl+W closes the window.
    panel.toggleSearch();
    QTest::keyClick(field(), Qt::Key_W, Qt::ControlModifier);
    EXPECT_FALSE(panel.isVisible());
}

TEST_F(ClippingsPanelSearchTest, TabAndReturnReachTheResultsAndTheEditingKeysStayTheFields) {
    add("alpha", 1, nullptr, false);
    add("beta", 2, nullptr, false);
    add("alphabet", 3, nullptr, false);
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    panel.window()->activateWindow();
    ASSERT_TRUE(QTest::qWaitForWindowActive(&panel));
    panel.toggleSearch();
    type(QStringLiteral("alp"));
    ASSERT_EQ(texts(), (std::vector<std::string>{"alpha", "alphabet"}));
    for (Qt::Key key : {Qt::Key_Tab, Qt::Key_Return, Qt::Key_Enter}) {
        SCOPED_TRACE(key);
        panel.tableView()->clearSelection();
        field()->setFocus();
        const int beeps = Panel::beepCount();
        QTest::keyClick(field(), key);
        EXPECT_EQ(Panel::beepCount(), beeps);
        EXPECT_TRUE(panel.tableView()->hasFocus());
        EXPECT_TRUE(panel.tableView()->selectionModel()->isRowSelected(0, {}));
    }

    // Copy, paste, undo and cut edit the field and leave the clipboard to it.
    field()->setFocus();
    field()->setSelection(0, 2);
    QTest::keyClick(field(), Qt::Key_C, Qt::ControlModifier);
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("al"));
    EXPECT_EQ(field()->text(), QStringLiteral("alp"));
    field()->end(false);
    QTest::keyClick(field(), Qt::Key_V, Qt::ControlModifier);
    drain();
    EXPECT_EQ(field()->text(), QStringLiteral("alpal"));
    EXPECT_TRUE(texts().empty());
    QTest::keyClick(field(), Qt::Key_Z, Qt::ControlModifier);
    EXPECT_EQ(field()->text(), QStringLiteral("alp"));
    field()->setSelection(0, 1);
    QTest::keyClick(field(), Qt::Key_X, Qt::ControlModifier);
    drain();
    EXPECT_EQ(field()->text(), QStringLiteral("lp"));
    EXPECT_EQ(QGuiApplication::clipboard()->text(), QStringLiteral("a"));
    EXPECT_EQ(texts(), (std::vector<std::string>{"alpha", "alphabet"}));
    EXPECT_TRUE(panel.isSearching());

    // Only the user's edits search: text set by code waits for fetchResults.
    field()->setText(QStringLiteral("beta"));
    drain();
    EXPECT_EQ(texts(), (std::vector<std::string>{"alpha", "alphabet"}));
    panel.fetchResults();
    drain();
    EXPECT_EQ(texts(), std::vector<std::string>{"beta"});
    EXPECT_EQ(footer(), QStringLiteral("1 result"));
}

TEST_F(ClippingsPanelSearchTest, CtrlQInTheFieldQuitsTheApplication) {
    add("alpha", 1);
    Panel& panel = makePanel();
    panel.toggleSearch();
    // The key comes from inside the event loop it is to end; the loop ends
    // with another code if it does not.
    QTimer::singleShot(0, field(), [this] { QTest::keyClick(field(), Qt::Key_Q, Qt::ControlModifier); });
    QTimer::singleShot(10000, [] { QCoreApplication::exit(7); });
    EXPECT_EQ(QCoreApplication::exec(), 0);
}

TEST_F(ClippingsPanelSearchTest, AListSortsByItsOrderAndItsSearchByDate) {
    auto list = makeList("Recipes");
    // Made oldest first, ordered by hand newest last but one.
    const char* names[] = {"soup", "salad", "stew"};
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 3; ++i) clippings.push_back(add(names[i], 10 - i, list, false));
    clippings[0]->setIndex(1);
    clippings[1]->setIndex(0);
    clippings[2]->setIndex(2);
    add("soda", 0, nullptr, false);
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    panel.selectList(list);
    EXPECT_EQ(texts(), (std::vector<std::string>{"salad", "soup", "stew"}));
    panel.toggleSearch();
    EXPECT_EQ(field()->placeholderText(), QStringLiteral("Search in Recipes"));
    type(QStringLiteral("s"));
    EXPECT_EQ(texts(), (std::vector<std::string>{"stew", "salad", "soup"})) << "newest first, the list only";

    // In the main history the search finds the list's clippings by its name too.
    panel.selectList(nullptr);
    EXPECT_FALSE(panel.isSearching());
    panel.toggleSearch();
    type(QStringLiteral("recipes"));
    EXPECT_EQ(texts(), (std::vector<std::string>{"stew", "salad", "soup"}));
    // Reverse without the add date is still newest first.
    TLSettings()->setBool(true, TLUserDefaultsReverseSort);
    field()->selectAll();
    type(QStringLiteral("so"));
    EXPECT_EQ(texts(), (std::vector<std::string>{"soda", "soup"}));
}

TEST_F(ClippingsPanelSearchTest, LongTextsEmojiAndCombiningMarksAnswerOverTenThousandClippings) {
    for (int i = 0; i < 10000; ++i) add("lorem ipsum dolor " + std::to_string(i), 100 + i, nullptr, false);
    add("Café au lait", 1, nullptr, false);
    add("cake 🍰 for you", 2, nullptr, false);
    ASSERT_TRUE(context_->save().ok());
    // Written to the file, as the running program's history is: until then
    // the fetches also test every unwritten clipping in memory.
    database_->parentManagedObjectContext()->performBlockAndWait([] {});
    Panel& panel = makePanel();
    panel.toggleSearch();
    const QString tenKilobytes = QString(10 * 1024, QLatin1Char('q')) + QString::fromUtf8("é");
    struct Row {
        const char* name;
        QString typed;
        const char* footer;
    } const table[] = {
        {"10 KB", tenKilobytes, "No result"},
        {"emoji", QString::fromUtf8("🍰"), "1 result"},
        {"combining acute", QString::fromUtf8("cafe\u0301"), "1 result"},
        {"zero-width joiner", QString::fromUtf8("👩\u200D👩"), "No result"},
    };
    for (const Row& row : table) {
        SCOPED_TRACE(row.name);
        const auto start = std::chrono::steady_clock::now();
        field()->setText(row.typed);  // set by code, which then fetches itself
        panel.fetchResults();
        // A time-out, not a figure: the benchmark holds the real one.
        EXPECT_LT(std::chrono::steady_clock::now() - start, std::chrono::seconds(5));
        EXPECT_EQ(footer(), QString::fromLatin1(row.footer));
    }
}

}  // namespace
