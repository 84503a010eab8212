// The front application on a real X server: windows made here carry the
// hints a window manager and toolkits set, and the root window names the
// active window and the managed ones as a window manager would.

#include <gtest/gtest.h>

#include <QGuiApplication>

#include <unistd.h>
#include <xcb/xcb.h>

#include <cstdlib>
#include <cstring>
#include <fstream>

#include "platform/desktop/X11FrontApplication.h"
#include "tests/support/TempHome.h"
#include "tests/support/RequireDisplay.h"

namespace {

namespace fs = std::filesystem;

class FrontApplicationX11Test : public ::testing::Test {
protected:
    void SetUp() override {
        TAVLO_SKIP_WITHOUT_DISPLAY(qGuiApp, "needs an X server (DISPLAY is not set)");
        // Only this test's entries: no system folder takes part.
        if (const char* dirs = std::getenv("XDG_DATA_DIRS")) savedDirs_ = dirs;
        ::setenv("XDG_DATA_DIRS", (home_.root() / "none").c_str(), 1);
        fs::path apps = home_.dataHome() / "applications";
        fs::create_directories(apps);
        std::ofstream(apps / "org.example.Editor.desktop")
            << "[Desktop Entry]\nType=Application\nName=Example Editor\nStartupWMClass=Example-editor\n";
        std::ofstream(apps / "org.example.Viewer.desktop") << "[Desktop Entry]\nType=Application\nName=Viewer\n";

        c_ = xcb_connect(nullptr, nullptr);
        ASSERT_FALSE(xcb_connection_has_error(c_));
        root_ = xcb_setup_roots_iterator(xcb_get_setup(c_)).data->root;
        app_ = desktop::X11FrontApplication::open();
        ASSERT_TRUE(app_);
    }
    void TearDown() override {
        if (!c_) return;
        setRootWindows("_NET_ACTIVE_WINDOW", {});
        setRootWindows("_NET_CLIENT_LIST", {});
        xcb_disconnect(c_);
        if (savedDirs_.empty()) ::unsetenv("XDG_DATA_DIRS");
        else ::setenv("XDG_DATA_DIRS", savedDirs_.c_str(), 1);
    }

    xcb_atom_t atom(const char* name) {
        auto* reply = xcb_intern_atom_reply(c_, xcb_intern_atom(c_, 0, uint16_t(std::strlen(name)), name), nullptr);
        xcb_atom_t a = reply->atom;
        std::free(reply);
        return a;
    }
    void set(xcb_window_t w, const char* property, xcb_atom_t type, uint8_t format, const void* data, uint32_t n) {
        xcb_change_property(c_, XCB_PROP_MODE_REPLACE, w, atom(property), type, format, n, data);
    }
    xcb_window_t window(const std::string& instance, const std::string& wmClass, const char* gtkID = nullptr,
                        bool withPid = true) {
        xcb_window_t w = xcb_generate_id(c_);
        xcb_create_window(c_, XCB_COPY_FROM_PARENT, w, root_, 0, 0, 10, 10, 0, XCB_WINDOW_CLASS_INPUT_OUTPUT,
                          XCB_COPY_FROM_PARENT, 0, nullptr);
        std::string classes = instance + '\0' + wmClass + '\0';
        set(w, "WM_CLASS", XCB_ATOM_STRING, 8, classes.data(), uint32_t(classes.size()));
        if (gtkID) set(w, "_GTK_APPLICATION_ID", atom("UTF8_STRING"), 8, gtkID, uint32_t(std::strlen(gtkID)));
        uint32_t pid = uint32_t(::getpid());
        if (withPid) set(w, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, &pid, 1);
        return w;
    }
    void setRootWindows(const char* property, const std::vector<xcb_window_t>& windows) {
        set(root_, property, XCB_ATOM_WINDOW, 32, windows.data(), uint32_t(windows.size()));
        roundTrip();
    }
    void roundTrip() { std::free(xcb_get_input_focus_reply(c_, xcb_get_input_focus(c_), nullptr)); }

    testsupport::TempHome home_;
    std::string savedDirs_;
    xcb_connection_t* c_ = nullptr;
    xcb_window_t root_ = 0;
    std::unique_ptr<desktop::X11FrontApplication> app_;
};

TEST_F(FrontApplicationX11Test, NoActiveWindowIsNoApplication) {
    setRootWindows("_NET_ACTIVE_WINDOW", {});
    EXPECT_FALSE(app_->activeApplication());
    setRootWindows("_NET_ACTIVE_WINDOW", {XCB_NONE});
    EXPECT_FALSE(app_->activeApplication());
}

TEST_F(FrontApplicationX11Test, TheActiveWindowsEntryNamesItsApplication) {
    struct Row {
        const char* name;
        xcb_window_t window;
        desktop::AppIdentity expected;
    };
    const int64_t pid = ::getpid();
    const Row rows[] = {
        {"startup class", window("editor", "Example-editor"), {"org.example.Editor", "Example Editor", pid}},
        {"application id", window("viewer", "Viewer", "org.example.Viewer"), {"org.example.Viewer", "Viewer", pid}},
        {"no entry: the window's names", window("paint", "Paint", nullptr, false), {"Paint", "Paint", 0}},
        {"no entry, an application id", window("x", "X", "com.example.Gone"), {"com.example.Gone", "X", pid}},
    };
    for (const Row& r : rows) {
        SCOPED_TRACE(r.name);
        setRootWindows("_NET_ACTIVE_WINDOW", {r.window});
        auto app = app_->activeApplication();
        ASSERT_TRUE(app);
        EXPECT_EQ(*app, r.expected);
    }
}

TEST_F(FrontApplicationX11Test, RunningApplicationsAreTheManagedWindowsOnce) {
    xcb_window_t a = window("editor", "Example-editor"), b = window("editor", "Example-editor"),
                 v = window("viewer", "Viewer", "org.example.Viewer");
    setRootWindows("_NET_CLIENT_LIST", {a, b, v});
    auto running = app_->runningApplications();
    ASSERT_EQ(running.size(), 2u);
    EXPECT_EQ(running[0].bundleIdentifier, "org.example.Editor");
    EXPECT_EQ(running[1].bundleIdentifier, "org.example.Viewer");
    EXPECT_EQ(app_->runningApplicationsWithBundleIdentifier("org.example.Viewer").size(), 1u);
    EXPECT_TRUE(app_->runningApplicationsWithBundleIdentifier("com.pilotmoon.popclip").empty());
}

TEST_F(FrontApplicationX11Test, RunningApplicationsFollowTheClientListsChanges) {
    auto ids = [this] {
        std::vector<std::string> out;
        for (const auto& app : app_->runningApplications()) out.push_back(app.bundleIdentifier);
        return out;
    };
    xcb_window_t a = window("editor", "Example-editor");
    setRootWindows("_NET_CLIENT_LIST", {a});
    EXPECT_EQ(ids(), std::vector<std::string>{"org.example.Editor"});
    xcb_window_t v = window("viewer", "Viewer", "org.example.Viewer");
    setRootWindows("_NET_CLIENT_LIST", {a, v});
    EXPECT_EQ(ids(), (std::vector<std::string>{"org.example.Editor", "org.example.Viewer"}));
    // Between changes of the list the windows are not asked again.
    std::string classes = std::string("paint") + '\0' + "Paint" + '\0';
    set(a, "WM_CLASS", XCB_ATOM_STRING, 8, classes.data(), uint32_t(classes.size()));
    roundTrip();
    EXPECT_EQ(ids(), (std::vector<std::string>{"org.example.Editor", "org.example.Viewer"}));
    setRootWindows("_NET_CLIENT_LIST", {v});
    EXPECT_EQ(ids(), std::vector<std::string>{"org.example.Viewer"});
}

}  // namespace
