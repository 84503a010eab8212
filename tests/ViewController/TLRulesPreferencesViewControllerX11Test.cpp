// A rule made in the Rules pane applied by capture on a private X server: a
// window whose WM_CLASS matches a desktop entry is the active one (named on
// the root window by openbox) while xclip copies, and that entry's rule
// decides.
#include "tests/kit/CaptureX11Fixture.h"

#include <QComboBox>
#include <QTableWidget>
#include <QToolButton>

#include <xcb/xcb.h>

#include <cstdlib>
#include <fstream>
#include <sstream>

#include "ViewController/TLRulesPreferencesViewController.h"
#include "platform/desktop/OpenPanel.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "tests/support/ChildProcess.h"
#include "views/TLApplicationCellView.h"

namespace {

namespace fs = std::filesystem;
using namespace std::chrono_literals;
using Pane = TLRulesPreferencesViewController;
using desktop::OpenPanel;
using testsupport::runCommand;

class RulesX11Test : public capturetest::CaptureX11Fixture {
protected:
    void SetUp() override {
        CaptureX11Fixture::SetUp();
        if (setUpFailed()) return;
        if (runCommand({"sh", "-c", "command -v xclip && command -v openbox && command -v xdotool"}, 5s).status != 0)
            GTEST_SKIP() << "needs xclip, openbox and xdotool";
        // A window manager makes the other program's window the active one.
        openbox_ = startOpenbox();
        ASSERT_TRUE(openbox_);
        if (const char* dirs = std::getenv("XDG_DATA_DIRS")) savedDirs_ = dirs;
        ::setenv("XDG_DATA_DIRS", (home_.root() / "none").c_str(), 1);
        entry_ = home_.dataHome() / "applications" / "org.example.DemoEditor.desktop";
        fs::create_directories(entry_.parent_path());
        std::ofstream(entry_) << "[Desktop Entry]\nType=Application\nName=Demo Editor\nExec=demo-editor\n"
                                 "StartupWMClass=DemoEditor\n";

        // The other program's window, made active by the window manager.
        c_ = xcb_connect(nullptr, nullptr);
        ASSERT_FALSE(xcb_connection_has_error(c_));
        xcb_window_t root = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        window_ = xcb_generate_id(c_);
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, window_, root, 0, 0, 200, 100, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        std::string classes = std::string("demo-editor") + '\0' + "DemoEditor" + '\0';
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, window_, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING, 8,
                            uint32_t(classes.size()), classes.data());
        xcb_map_window(c_, window_);
        xcb_flush(c_);
        const std::string id = std::to_string(window_);
        ASSERT_TRUE(runEventsUntil(
            [&] {
                runCommand({"xdotool", "windowactivate", "--sync", id}, 5s);
                return runCommand({"sh", "-c", "xprop -root _NET_ACTIVE_WINDOW | grep -qi \"$(printf '0x%x' " + id + ")\""},
                                  5s)
                           .status == 0;
            },
            10s));

        list_ = makeList("L-demo", "Demo Notes");
        startOnSystemClipboard("test.rules.assets");
    }
    void TearDown() override {
        OpenPanel::setDriver(nullptr);
        pane_.reset();
        if (c_) xcb_disconnect(c_);
        if (!savedDirs_.empty()) ::setenv("XDG_DATA_DIRS", savedDirs_.c_str(), 1);
        else ::unsetenv("XDG_DATA_DIRS");
        CaptureX11Fixture::TearDown();
    }

    void choose(int row, int index) {
        QComboBox* options = pane_->cellAtRow(row)->optionsButton();
        options->setCurrentIndex(index);
        emit options->activated(index);
    }
    // The saved clipping with this text, or null.
    std::shared_ptr<Clipping> saved(const std::string& text) {
        for (auto& clipping : savedClippings())
            if (clipping->text() == text) return clipping;
        return nullptr;
    }

    std::string savedDirs_;
    fs::path entry_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t window_ = 0;
    std::unique_ptr<testsupport::ChildProcess> openbox_;
    std::shared_ptr<List> list_;
    std::unique_ptr<Pane> pane_;
};

TEST_F(RulesX11Test, TheFrontApplicationsRuleKeepsACopyOutOrFilesItInItsList) {
    // The pane is never shown: its window would take the front.
    pane_ = std::make_unique<Pane>(context_);
    OpenPanel::setDriver([this](const OpenPanel&) { return std::optional<OpenPanel::Paths>({entry_}); });
    pane_->addButton()->click();
    runEventsFor(50ms);
    ASSERT_EQ(pane_->tableView()->rowCount(), 2);
    auto rules = TLSettings()->arrayForKey(TLApplicationRules);
    ASSERT_TRUE(rules && rules->size() == 1);
    EXPECT_EQ((*rules)[0].get(TLAppRuleBundleIdentifier)->stringValue(), "org.example.DemoEditor");

    choose(1, Pane::kDoNotSaveItem);
    ASSERT_EQ(pasteboardtest::shell("printf 'kept out' | xclip -selection clipboard -i"), 0);
    runEventsFor(1500ms);
    EXPECT_FALSE(saved("kept out"));

    choose(1, Pane::kFirstListItem);
    ASSERT_EQ(pasteboardtest::shell("printf 'filed' | xclip -selection clipboard -i"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return saved("filed") != nullptr; }, 10s));
    auto filed = saved("filed");
    ASSERT_TRUE(filed->list());
    EXPECT_EQ(filed->list()->listID(), "L-demo");
    EXPECT_FALSE(saved("kept out")) << "the earlier copy stays out";
}

}  // namespace
