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
#include <thread>

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

// A window of another process: the pid of init, never this test's.
TEST_F(FrontApplicationX11Test, TheLastForeignWindowIsRememberedWhileOursIsActive) {
    const uint32_t otherPid = 1;
    xcb_window_t editor = window("editor", "Example-editor"), viewer = window("viewer", "Viewer", "org.example.Viewer");
    xcb_window_t ours = window("tavlo", "Tavlo");
    set(editor, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, &otherPid, 1);
    set(viewer, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, &otherPid, 1);
    EXPECT_FALSE(app_->lastForeignApplication()) << "nothing seen: this application is the front one";

    setRootWindows("_NET_ACTIVE_WINDOW", {ours});
    EXPECT_FALSE(app_->lastForeignApplication());
    setRootWindows("_NET_ACTIVE_WINDOW", {editor});
    ASSERT_TRUE(app_->lastForeignApplication());
    setRootWindows("_NET_ACTIVE_WINDOW", {ours});
    auto last = app_->lastForeignApplication();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->bundleIdentifier, "org.example.Editor");

    // The watch notes a foreign window that was active while nobody asked
    // (for a moment a person could not switch faster than).
    setRootWindows("_NET_ACTIVE_WINDOW", {viewer});
    std::this_thread::sleep_for(std::chrono::milliseconds(500));
    setRootWindows("_NET_ACTIVE_WINDOW", {ours});
    last = app_->lastForeignApplication();
    ASSERT_TRUE(last);
    EXPECT_EQ(last->bundleIdentifier, "org.example.Viewer");
}

TEST_F(FrontApplicationX11Test, ActivatingAsksTheWindowManagerAndWaitsUntilItIsActive) {
    const uint32_t otherPid = 1;
    xcb_window_t editor = window("editor", "Example-editor"), ours = window("tavlo", "Tavlo");
    set(editor, "_NET_WM_PID", XCB_ATOM_CARDINAL, 32, &otherPid, 1);
    EXPECT_FALSE(app_->activateLastForeignWindow()) << "no foreign window";
    setRootWindows("_NET_ACTIVE_WINDOW", {editor});
    ASSERT_TRUE(app_->lastForeignApplication());
    setRootWindows("_NET_ACTIVE_WINDOW", {ours});

    // Without a window manager nobody answers: false once the wait is over.
    EXPECT_FALSE(app_->activateLastForeignWindow());

    // A window manager of the test's own: it makes the asked window active.
    xcb_connection_t* wm = xcb_connect(nullptr, nullptr);
    ASSERT_FALSE(xcb_connection_has_error(wm));
    uint32_t mask = XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT;
    auto* error = xcb_request_check(wm, xcb_change_window_attributes_checked(wm, root_, XCB_CW_EVENT_MASK, &mask));
    ASSERT_FALSE(error) << "another window manager runs";
    xcb_atom_t active = atom("_NET_ACTIVE_WINDOW");
    std::vector<uint32_t> asked;
    std::thread manager([&] {
        while (xcb_generic_event_t* event = xcb_wait_for_event(wm)) {
            bool done = false;
            if ((event->response_type & 0x7F) == XCB_CLIENT_MESSAGE) {
                auto* message = reinterpret_cast<xcb_client_message_event_t*>(event);
                if (message->type == active) {
                    asked = {message->window, message->data.data32[0], message->data.data32[2]};
                    xcb_change_property(wm, XCB_PROP_MODE_REPLACE, root_, active, XCB_ATOM_WINDOW, 32, 1,
                                        &message->window);
                    xcb_flush(wm);
                    done = true;
                }
            }
            std::free(event);
            if (done) break;
        }
    });
    bool activated = app_->activateLastForeignWindow();
    manager.join();
    xcb_disconnect(wm);
    EXPECT_TRUE(activated);
    EXPECT_EQ(asked, (std::vector<uint32_t>{editor, 2, ours}));
}

}  // namespace
