#include "platform/desktop/X11FrontApplication.h"

#include <poll.h>
#include <sys/eventfd.h>
#include <unistd.h>
#include <xcb/xcb.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <map>
#include <set>

namespace desktop {

namespace {

// How old the entries may be before a window that matches none makes us read
// them again (an application installed while we run).
constexpr std::chrono::seconds kEntriesRefresh{30};
// Windows past this many in the client list are not looked at.
constexpr uint32_t kMaxClientWindows = 4096;
// Longest property value we read, in 32-bit units (1 KiB of text).
constexpr uint32_t kMaxPropertyLongs = 256;

template <class T>
using Reply = std::unique_ptr<T, decltype(&std::free)>;

template <class T>
Reply<T> take(T* reply) {
    return Reply<T>(reply, &std::free);
}

std::string programOfProcess(int64_t pid) {
    if (pid <= 0) return {};
    std::string proc = "/proc/" + std::to_string(pid);
    char buffer[4096];
    ssize_t n = ::readlink((proc + "/exe").c_str(), buffer, sizeof buffer - 1);
    if (n > 0) {
        std::string path(buffer, size_t(n));
        if (auto deleted = path.rfind(" (deleted)"); deleted != std::string::npos && deleted + 10 == path.size())
            path.resize(deleted);
        return path.substr(path.rfind('/') + 1);
    }
    std::ifstream comm(proc + "/comm");
    std::string name;
    std::getline(comm, name);
    return name;
}

}  // namespace

struct X11FrontApplication::State {
    xcb_connection_t* connection = nullptr;
    xcb_window_t root = 0;
    xcb_atom_t activeWindow = XCB_NONE, clientList = XCB_NONE, wmPid = XCB_NONE, gtkApplicationID = XCB_NONE;
    // The managed windows' applications, in the client list's order, as of
    // the last change of the list the watch saw.
    std::vector<std::pair<uint32_t, AppIdentity>> managed;
    bool clientListChanged = true;
    bool activeWindowChanged = true;
    // The server time of the last property change seen (0: none yet).
    xcb_timestamp_t lastTime = XCB_CURRENT_TIME;
    // The last active window not ours, and its application.
    xcb_window_t lastForeign = XCB_NONE;
    AppIdentity lastForeignIdentity;

    // Takes the root window's property changes the watch delivered.
    void drainEvents() {
        while (xcb_generic_event_t* event = xcb_poll_for_event(connection)) {
            if ((event->response_type & 0x7F) == XCB_PROPERTY_NOTIFY) {
                auto* change = reinterpret_cast<xcb_property_notify_event_t*>(event);
                if (change->window == root) {
                    lastTime = change->time;
                    if (change->atom == clientList) clientListChanged = true;
                    if (change->atom == activeWindow) activeWindowChanged = true;
                }
            }
            std::free(event);
        }
        if (xcb_connection_has_error(connection)) clientListChanged = true;
    }

    xcb_window_t currentActiveWindow() {
        auto active = longs(ask(root, activeWindow, XCB_ATOM_WINDOW));
        return active.empty() ? XCB_NONE : active[0];
    }

    ~State() {
        if (connection) xcb_disconnect(connection);
    }

    xcb_atom_t intern(const char* name) {
        auto reply = take(xcb_intern_atom_reply(
            connection, xcb_intern_atom(connection, 0, uint16_t(std::strlen(name)), name), nullptr));
        return reply ? reply->atom : XCB_NONE;
    }

    xcb_get_property_cookie_t ask(xcb_window_t window, xcb_atom_t property, xcb_atom_t type) {
        return xcb_get_property(connection, 0, window, property, type, 0, kMaxPropertyLongs);
    }

    // The property's 32-bit values (windows, cardinals).
    std::vector<uint32_t> longs(xcb_get_property_cookie_t cookie) {
        auto reply = take(xcb_get_property_reply(connection, cookie, nullptr));
        if (!reply || reply->format != 32) return {};
        auto* values = static_cast<const uint32_t*>(xcb_get_property_value(reply.get()));
        return std::vector<uint32_t>(values, values + xcb_get_property_value_length(reply.get()) / 4);
    }

    std::string bytes(xcb_get_property_cookie_t cookie) {
        auto reply = take(xcb_get_property_reply(connection, cookie, nullptr));
        if (!reply || reply->format != 8) return {};
        return std::string(static_cast<const char*>(xcb_get_property_value(reply.get())),
                           size_t(xcb_get_property_value_length(reply.get())));
    }

    // What each window says of its application, asked in one round trip.
    std::vector<std::pair<WindowClaims, int64_t>> claimsOf(const std::vector<uint32_t>& windows) {
        struct Asked {
            xcb_get_property_cookie_t pid, appID, wmClass;
        };
        std::vector<Asked> asked;
        for (uint32_t w : windows)
            asked.push_back({ask(w, wmPid, XCB_ATOM_CARDINAL), ask(w, gtkApplicationID, XCB_GET_PROPERTY_TYPE_ANY),
                             ask(w, XCB_ATOM_WM_CLASS, XCB_ATOM_STRING)});
        std::vector<std::pair<WindowClaims, int64_t>> out;
        for (auto& a : asked) {
            WindowClaims claims;
            auto pids = longs(a.pid);
            int64_t pid = pids.empty() ? 0 : int64_t(pids[0]);
            claims.applicationID = bytes(a.appID);
            // WM_CLASS is two strings, each ended by a NUL.
            std::string wm = bytes(a.wmClass);
            size_t nul = wm.find('\0');
            claims.wmInstance = wm.substr(0, nul);
            if (nul != std::string::npos) {
                std::string rest = wm.substr(nul + 1);
                claims.wmClass = rest.substr(0, rest.find('\0'));
            }
            claims.executable = programOfProcess(pid);
            out.emplace_back(std::move(claims), pid);
        }
        return out;
    }
};

std::unique_ptr<X11FrontApplication> X11FrontApplication::open() {
    const char* display = std::getenv("DISPLAY");
    if (!display || !*display) return nullptr;
    auto state = std::make_unique<State>();
    int screenNumber = 0;
    state->connection = xcb_connect(nullptr, &screenNumber);
    if (xcb_connection_has_error(state->connection)) return nullptr;
    auto it = xcb_setup_roots_iterator(xcb_get_setup(state->connection));
    for (int i = 0; i < screenNumber && it.rem; ++i) xcb_screen_next(&it);
    if (!it.rem) return nullptr;
    state->root = it.data->root;
    state->activeWindow = state->intern("_NET_ACTIVE_WINDOW");
    state->clientList = state->intern("_NET_CLIENT_LIST");
    state->wmPid = state->intern("_NET_WM_PID");
    state->gtkApplicationID = state->intern("_GTK_APPLICATION_ID");
    uint32_t mask = XCB_EVENT_MASK_PROPERTY_CHANGE;
    xcb_change_window_attributes(state->connection, state->root, XCB_CW_EVENT_MASK, &mask);
    xcb_flush(state->connection);
    return std::unique_ptr<X11FrontApplication>(new X11FrontApplication(std::move(state)));
}

X11FrontApplication::X11FrontApplication(std::unique_ptr<State> state) : s_(std::move(state)) {
    wake_ = ::eventfd(0, EFD_CLOEXEC);
    if (wake_ >= 0) watcher_ = std::thread([this] { watch(); });
}

X11FrontApplication::~X11FrontApplication() {
    if (watcher_.joinable()) {
        uint64_t one = 1;
        (void)!::write(wake_, &one, sizeof one);
        watcher_.join();
    }
    if (wake_ >= 0) ::close(wake_);
}

void X11FrontApplication::watch() {
    const int fd = xcb_get_file_descriptor(s_->connection);
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            follow();
            if (xcb_connection_has_error(s_->connection)) return;
        }
        pollfd fds[2] = {{fd, POLLIN, 0}, {wake_, POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (fds[1].revents) return;
        // A connection that broke is seen as an error at the next turn.
    }
}

void X11FrontApplication::follow() {
    s_->drainEvents();
    // Reading the property may take more events off the connection: until quiet.
    while (s_->activeWindowChanged) {
        s_->activeWindowChanged = false;
        xcb_window_t active = s_->currentActiveWindow();
        if (active == XCB_NONE || active == s_->lastForeign) {
            s_->drainEvents();
            continue;
        }
        auto [claims, pid] = s_->claimsOf({active}).front();
        if (pid != int64_t(::getpid())) {
            s_->lastForeign = active;
            s_->lastForeignIdentity = identify(claims, pid);
        }
        s_->drainEvents();
    }
}

std::optional<AppIdentity> X11FrontApplication::lastForeignApplication() {
    std::lock_guard lock(mutex_);
    follow();
    if (s_->lastForeign == XCB_NONE) return std::nullopt;
    return s_->lastForeignIdentity;
}

bool X11FrontApplication::activateLastForeignWindow() {
    xcb_window_t target = XCB_NONE;
    {
        std::lock_guard lock(mutex_);
        follow();
        target = s_->lastForeign;
        if (target == XCB_NONE) return false;
        xcb_window_t active = s_->currentActiveWindow();
        if (active == target) return true;
        xcb_client_message_event_t message{};
        message.response_type = XCB_CLIENT_MESSAGE;
        message.format = 32;
        message.window = target;
        message.type = s_->activeWindow;
        message.data.data32[0] = 2;  // a pager: the user asked for it
        message.data.data32[1] = s_->lastTime;
        message.data.data32[2] = active;
        xcb_send_event(s_->connection, 0, s_->root,
                       XCB_EVENT_MASK_SUBSTRUCTURE_REDIRECT | XCB_EVENT_MASK_SUBSTRUCTURE_NOTIFY,
                       reinterpret_cast<const char*>(&message));
        xcb_flush(s_->connection);
    }
    auto deadline = std::chrono::steady_clock::now() + kActivationTimeout;
    for (;;) {
        {
            std::lock_guard lock(mutex_);
            xcb_window_t active = s_->currentActiveWindow();
            follow();
            if (active == target) return true;
        }
        if (std::chrono::steady_clock::now() >= deadline) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(10));
    }
}

const DesktopEntry* X11FrontApplication::entryFor(const WindowClaims& claims) {
    auto now = std::chrono::steady_clock::now();
    if (!entriesRead_) {
        entries_ = DesktopEntries::load();
        entriesLoaded_ = now;
        entriesRead_ = true;
    }
    if (auto* entry = entries_.match(claims)) return entry;
    if (now - entriesLoaded_ < kEntriesRefresh) return nullptr;
    entries_ = DesktopEntries::load();
    entriesLoaded_ = now;
    return entries_.match(claims);
}

AppIdentity X11FrontApplication::identify(const WindowClaims& claims, int64_t pid) {
    AppIdentity identity;
    identity.processIdentifier = pid;
    if (const DesktopEntry* entry = entryFor(claims)) {
        identity.bundleIdentifier = entry->id;
        identity.bundleName = entry->name;
    } else {
        // Not installed through an entry: the names the window gives are the best we have.
        identity.bundleIdentifier = !claims.applicationID.empty() ? claims.applicationID : claims.wmClass;
        identity.bundleName = !claims.wmClass.empty() ? claims.wmClass : claims.wmInstance;
    }
    return identity;
}

std::optional<AppIdentity> X11FrontApplication::activeApplication() {
    std::lock_guard lock(mutex_);
    follow();
    auto active = s_->longs(s_->ask(s_->root, s_->activeWindow, XCB_ATOM_WINDOW));
    if (active.empty() || active[0] == XCB_NONE) return std::nullopt;
    auto [claims, pid] = s_->claimsOf({active[0]}).front();
    // Events the replies brought are taken now: the watch may not wake for them.
    follow();
    return identify(claims, pid);
}

std::vector<AppIdentity> X11FrontApplication::runningApplications() {
    std::lock_guard lock(mutex_);
    follow();
    if (s_->clientListChanged) {
        s_->clientListChanged = false;
        auto windows = s_->longs(
            xcb_get_property(s_->connection, 0, s_->root, s_->clientList, XCB_ATOM_WINDOW, 0, kMaxClientWindows));
        std::map<uint32_t, AppIdentity> known;
        for (auto& [window, identity] : s_->managed) known.emplace(window, std::move(identity));
        std::vector<uint32_t> added;
        for (uint32_t w : windows)
            if (!known.count(w)) added.push_back(w);
        auto claims = s_->claimsOf(added);
        for (size_t i = 0; i < added.size(); ++i) known[added[i]] = identify(claims[i].first, claims[i].second);
        s_->managed.clear();
        for (uint32_t w : windows) s_->managed.emplace_back(w, known[w]);
        follow();
    }
    std::vector<AppIdentity> out;
    std::set<std::pair<std::string, int64_t>> seen;
    for (const auto& [window, identity] : s_->managed)
        if (seen.emplace(identity.bundleIdentifier, identity.processIdentifier).second) out.push_back(identity);
    return out;
}

}  // namespace desktop
