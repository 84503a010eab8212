// The Rules pane over a store with lists and desktop entries of the test's
// own: the default row, adding applications from their entries through the
// chooser, the options pop-up and what it writes, and removing rows.
#include "tests/kit/CaptureFixture.h"

#include <QComboBox>
#include <QImage>
#include <QLabel>
#include <QTableWidget>
#include <QToolButton>

#include <cstdlib>
#include <fstream>

#include "ViewController/TLRulesPreferencesViewController.h"
#include "platform/desktop/OpenPanel.h"
#include "views/TLApplicationCellView.h"

namespace {

namespace fs = std::filesystem;
using Pane = TLRulesPreferencesViewController;
using desktop::OpenPanel;
using foundation::PlistValue;

// Runs the main queue until the work it queues has run too: blocks queued
// while Qt delivers the queue's events wait for the next delivery.
void settle() {
    for (int i = 0; i < 8; ++i) dispatch::MainQueue::runUntilIdle();
}

class TLRulesPreferencesViewControllerTest : public capturetest::CaptureFixture {
protected:
    void SetUp() override {
        CaptureFixture::SetUp();
        if (const char* dirs = std::getenv("XDG_DATA_DIRS")) savedDirs_ = dirs;
        // Only this test's entries: the user's folder, and a system folder of its own.
        system_ = home_.root() / "system";
        // A folder named that is not there: left out of the chooser's sidebar.
        ::setenv("XDG_DATA_DIRS", (system_.string() + ":" + (home_.root() / "missing").string()).c_str(), 1);
        apps_ = home_.dataHome() / "applications";
        fs::create_directories(apps_);
        fs::create_directories(system_ / "applications");
    }
    void TearDown() override {
        OpenPanel::setDriver(nullptr);
        pane_.reset();
        settle();
        if (savedDirs_.empty()) ::unsetenv("XDG_DATA_DIRS");
        else ::setenv("XDG_DATA_DIRS", savedDirs_.c_str(), 1);
        CaptureFixture::TearDown();
    }

    Pane& makePane() {
        pane_ = std::make_unique<Pane>(context_);
        pane_->resize(480, 400);
        pane_->show();
        return *pane_;
    }
    fs::path entry(const std::string& file, const std::string& text) {
        fs::path path = apps_ / file;
        fs::create_directories(path.parent_path());
        std::ofstream(path) << text;
        return path;
    }
    static std::string app(const std::string& name) {
        return "[Desktop Entry]\nType=Application\nName=" + name + "\nExec=" + name + "\n";
    }
    // Adds through the + button, the chooser answering with paths.
    void add(const OpenPanel::Paths& paths) {
        OpenPanel::setDriver([this, paths](const OpenPanel& panel) -> std::optional<OpenPanel::Paths> {
            panelStart_ = panel.directoryURL();
            panelSidebar_ = panel.sidebarURLs();
            panelMessage_ = panel.message();
            EXPECT_TRUE(panel.allowsMultipleSelection() && panel.canChooseFiles() && !panel.canChooseDirectories());
            EXPECT_EQ(panel.allowedFilePatterns(), std::vector<std::string>{"*.desktop"});
            return paths;
        });
        pane_->addButton()->click();
        settle();
    }
    // The stored rules as "id=name option listID" lines.
    static std::vector<std::string> rules() {
        std::vector<std::string> out;
        for (const auto& rule : TLSettings()->arrayForKey(TLApplicationRules).value_or(PlistValue::Array{})) {
            auto text = [&](const char* key) {
                const PlistValue* v = rule.get(key);
                if (!v) return std::string("-");
                return v->asString() ? *v->asString() : std::to_string(v->integerValue());
            };
            out.push_back(text(TLAppRuleBundleIdentifier) + "=" + text(TLAppRuleBundleName) + " " +
                          text(TLAppRuleOption) + " " + text(TLAppRuleListID));
        }
        return out;
    }
    void storeRules(const std::vector<PlistValue::Dictionary>& list) {
        PlistValue::Array array;
        for (const auto& d : list) array.push_back(PlistValue(d));
        TLSettings()->setObject(PlistValue(array), TLApplicationRules);
    }
    std::string text(int row) const { return pane_->cellAtRow(row)->textField()->text().toStdString(); }
    QComboBox* options(int row) const { return pane_->cellAtRow(row)->optionsButton(); }
    static void choose(QComboBox* button, int index) {
        button->setCurrentIndex(index);
        emit button->activated(index);
    }
    void select(std::initializer_list<int> rows) {
        auto* table = pane_->tableView();
        table->clearSelection();
        for (int row : rows)
            table->selectionModel()->select(table->model()->index(row, 0),
                                            QItemSelectionModel::Select | QItemSelectionModel::Rows);
    }

    std::string savedDirs_;
    fs::path apps_, system_;
    std::unique_ptr<Pane> pane_;
    fs::path panelStart_;
    OpenPanel::Paths panelSidebar_;
    std::string panelMessage_;
};

TEST_F(TLRulesPreferencesViewControllerTest, WithoutRulesTheOnlyRowIsTheDefaultRuleWhichStays) {
    Pane& pane = makePane();
    ASSERT_EQ(pane.tableView()->rowCount(), 1);
    EXPECT_EQ(text(0), "Default Rule");
    EXPECT_EQ(pane.tableView()->rowHeight(0), 48);
    QStringList items;
    for (int i = 0; i < options(0)->count(); ++i) items << options(0)->itemText(i);
    EXPECT_EQ(items, (QStringList{"Do Not Save", "", "Save to Tavlo", ""}));
    EXPECT_EQ(options(0)->currentIndex(), Pane::kSaveItem);
    select({0});
    EXPECT_FALSE(pane.removeButton()->isEnabled());
    pane.controlClicked(1);
    EXPECT_EQ(pane.tableView()->rowCount(), 1);
    EXPECT_TRUE(TLSettings()->objectForKey(TLApplicationRules).isNull()) << "nothing written";
}

TEST_F(TLRulesPreferencesViewControllerTest, AddingEntriesMakesOneRuleEachForTheNewOnesSortedByName) {
    storeRules({{{TLAppRuleBundleIdentifier, "org.example.Mail"}, {TLAppRuleBundleName, "Mail"}, {TLAppRuleOption, 1}}});
    fs::path editor = entry("org.example.Editor.desktop", app("Zed Editor"));
    fs::path mail = entry("org.example.Mail.desktop", app("Mail"));
    fs::path nested = entry("kde/org.example.Notes.desktop", app("Bloc"));
    Pane& pane = makePane();
    add({editor, mail, nested});
    EXPECT_EQ(panelStart_, apps_) << "the first folder that exists";
    EXPECT_EQ(panelSidebar_, (OpenPanel::Paths{apps_, system_ / "applications"}));
    EXPECT_EQ(panelMessage_, "Choose the applications to make rules for");
    EXPECT_EQ(rules(), (std::vector<std::string>{"kde-org.example.Notes=Bloc - -", "org.example.Mail=Mail 1 -",
                                                 "org.example.Editor=Zed Editor - -"}));
    ASSERT_EQ(pane.tableView()->rowCount(), 4);
    EXPECT_EQ(text(1), "Bloc");
    EXPECT_EQ(options(1)->currentIndex(), Pane::kSaveItem) << "a new rule saves";
    EXPECT_EQ(options(2)->currentIndex(), Pane::kDoNotSaveItem);

    // A cancelled chooser changes nothing.
    OpenPanel::setDriver([](const OpenPanel&) { return std::optional<OpenPanel::Paths>(); });
    pane.addButton()->click();
    settle();
    EXPECT_EQ(rules().size(), 3u);
}

TEST_F(TLRulesPreferencesViewControllerTest, EntriesThatAreNoApplicationsAreSkippedAndOneWithoutANameIsNamedByItsID) {
    fs::path malformed = entry("broken.desktop", "\x01\x02 this is not an entry\n[Desktop Entry\nName=Broken\n");
    fs::path unnamed = entry("org.example.Unnamed.desktop", "[Desktop Entry]\nType=Application\nExec=unnamed\n");
    fs::path link = entry("link.desktop", "[Desktop Entry]\nType=Link\nName=A Link\nURL=https://example.org\n");
    fs::path huge = entry("huge.desktop", "[Desktop Entry]\nType=Application\nName=Huge\nIcon=" +
                                              std::string(1 << 20, 'x') + "\n");
    fs::path elsewhere = home_.root() / "Downloads" / "tool.desktop";
    fs::create_directories(elsewhere.parent_path());
    std::ofstream(elsewhere) << app("Tool");
    makePane();
    add({malformed, unnamed, link, huge, elsewhere, home_.root() / "missing.desktop"});
    EXPECT_EQ(rules(),
              (std::vector<std::string>{"org.example.Unnamed=org.example.Unnamed - -", "tool=Tool - -"}));
}

TEST_F(TLRulesPreferencesViewControllerTest, ARuleShowsItsApplicationsIconOrAGenericOne) {
    const fs::path picture = home_.root() / "red.png";
    QImage red(64, 64, QImage::Format_RGB32);
    red.fill(Qt::red);
    ASSERT_TRUE(red.save(QString::fromStdString(picture.string())));
    entry("org.example.Red.desktop", app("Red") + "Icon=" + picture.string() + "\n");
    entry("org.example.Broken.desktop", app("Broken") + "Icon=" + (home_.root() / "gone.png").string() + "\n");
    storeRules({{{TLAppRuleBundleIdentifier, "org.example.Red"}, {TLAppRuleBundleName, "Red"}},
                {{TLAppRuleBundleIdentifier, "org.example.Broken"}, {TLAppRuleBundleName, "Broken"}},
                {{TLAppRuleBundleIdentifier, "org.example.Uninstalled"}, {TLAppRuleBundleName, "Uninstalled"}}});
    Pane& pane = makePane();
    auto icon = [&](int row) { return pane.cellAtRow(row)->imageView()->pixmap().toImage(); };
    const QImage own = icon(1);
    ASSERT_FALSE(own.isNull());
    EXPECT_EQ(own.pixelColor(own.width() / 2, own.height() / 2), QColor(Qt::red));
    const QImage generic = icon(3);
    EXPECT_FALSE(generic.isNull()) << "an application no longer installed: the generic icon";
    EXPECT_NE(generic, own);
    EXPECT_EQ(icon(2), generic) << "an entry whose icon file is gone: the generic icon too";
}

TEST_F(TLRulesPreferencesViewControllerTest, TheOptionsWriteTheRuleAndAMissingListShowsSaveToTavlo) {
    makeList("L-b", "Beta");
    makeList("L-a", "Alpha");
    storeRules({{{TLAppRuleBundleIdentifier, "a"}, {TLAppRuleBundleName, "A"}},
                {{TLAppRuleBundleIdentifier, "b"}, {TLAppRuleBundleName, "B"}, {TLAppRuleOption, 2},
                 {TLAppRuleListID, "L-gone"}}});
    Pane& pane = makePane();
    ASSERT_EQ(options(1)->count(), 6);
    EXPECT_EQ(options(1)->itemText(4), "Add to Alpha");
    EXPECT_EQ(options(1)->itemText(5), "Add to Beta");
    EXPECT_EQ(options(2)->currentIndex(), Pane::kSaveItem);
    EXPECT_EQ(rules()[1], "b=B 2 L-gone") << "shown, not changed";

    choose(options(1), 5);
    EXPECT_EQ(rules()[0], "a=A 2 L-b");
    choose(options(1), Pane::kDoNotSaveItem);
    EXPECT_EQ(rules()[0], "a=A 1 -");
    choose(options(2), Pane::kSaveItem);
    EXPECT_EQ(rules(), (std::vector<std::string>{"a=A 1 -", "b=B 0 -"}));

    // The default rule's own keys.
    auto s = TLSettings();
    choose(options(0), 4);
    EXPECT_EQ(s->integerForKey(TLDefaultRuleOption), 2);
    EXPECT_EQ(s->stringForKey(TLDefaultListID), "L-a");
    choose(options(0), Pane::kDoNotSaveItem);
    EXPECT_EQ(s->integerForKey(TLDefaultRuleOption), 1);
    EXPECT_TRUE(s->objectForKey(TLDefaultListID).isNull());
    choose(options(0), Pane::kSaveItem);
    EXPECT_EQ(s->integerForKey(TLDefaultRuleOption), 0);

    // Shown again, with a list gone meanwhile.
    s->setInteger(2, TLDefaultRuleOption);
    s->setObject(PlistValue("L-b"), TLDefaultListID);
    pane.hide();
    pane.show();
    EXPECT_EQ(options(0)->currentIndex(), 5);
}

TEST_F(TLRulesPreferencesViewControllerTest, RemovingTheSelectedRowsLeavesTheDefaultRuleAndTheOthersInOrder) {
    storeRules({{{TLAppRuleBundleIdentifier, "a"}, {TLAppRuleBundleName, "A"}},
                {{TLAppRuleBundleIdentifier, "b"}, {TLAppRuleBundleName, "B"}},
                {{TLAppRuleBundleIdentifier, "c"}, {TLAppRuleBundleName, "C"}},
                {{TLAppRuleBundleIdentifier, "d"}, {TLAppRuleBundleName, "D"}}});
    Pane& pane = makePane();
    select({0, 2});
    EXPECT_TRUE(pane.removeButton()->isEnabled());
    pane.removeButton()->click();
    EXPECT_EQ(rules(), (std::vector<std::string>{"a=A - -", "c=C - -", "d=D - -"}));
    EXPECT_EQ(pane.tableView()->rowCount(), 4);
    EXPECT_FALSE(pane.removeButton()->isEnabled());

    select({2, 3});
    pane.controlClicked(1);
    EXPECT_EQ(rules(), (std::vector<std::string>{"a=A - -"}));
    EXPECT_EQ(text(1), "A");
    // The row left names its rule by place: its pop-up still writes that rule.
    choose(options(1), Pane::kDoNotSaveItem);
    EXPECT_EQ(rules(), (std::vector<std::string>{"a=A 1 -"}));
}

}  // namespace
