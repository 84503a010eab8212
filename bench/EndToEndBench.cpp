// The built program as a user meets it, on an X server with openbox and an
// xterm (`stty -icanon; cat > out`, Ctrl+V and Shift+Insert bound to insert
// the clipboard), keys and clicks sent through XTEST on this program's own
// connection:
//
// - at 100,000 clippings (a copy of the store_bench store, history limit
//   100,000; run store_bench once first), the xterm in front:
//   - the show hotkey (Super+Shift+C) to the window mapped and to its first
//     rows painted (the rows' strip of the window holding text);
//   - typing "ca" (15,434 results, where "c" has more): the last letter to the
//     rows and the footer's count repainted with the search's results;
//   - Return on the first row (code 3, the window closing) to its text whole
//     in the xterm's file;
//   - the settings button clicked while another client (xclip) offers 200 MB
//     of text on the clipboard, to the application menu's window mapped;
// - holding Down at 30 Hz, in a child process over the same store on the same
//   X server: each step's time to the frame painted and how far the selection
//   trails the presses, for the panel and beside it a plain QTableView over
//   the same rows (SQLite C API);
// - at 10,000 texts of 1 KB (CopyQ keeps at most 10,000 items): Tavlo's
//   hotkey to the window and Return to the xterm as above, beside CopyQ 6.4
//   (Debian's copyq) with `copyq: toggle()` on the same hotkey and `copyq
//   select 0` + `copyq paste` into the same xterm.
//
// Run it inside a private session, e.g.
//   dbus-run-session -- xvfb-run -a -s "-screen 0 1280x1024x24" build/bench/bench/end_to_end_bench
// Options: --runs N (10), --down-presses N (600), --no-copyq. TAVLO_BENCH_STORE
// names another store folder than /tmp/tavlo-store-bench.
#include <sqlite3.h>
#include <sys/prctl.h>
#include <sys/wait.h>

#include <QApplication>
#include <QKeyEvent>
#include <QTableView>

#include <algorithm>
#include <cstdio>
#include <cstring>
#include <fstream>
#include <set>

#include "BenchProcess.h"
#include "BenchTexts.h"
#include "BenchX11.h"
#include "BenchXTest.h"
#include "SQLiteRowsModel.h"
#include "ViewController/TLClippingsViewController.h"
#include "kit/Clipping.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

namespace {

using bench::Home;
using bench::ms;
using bench::runToEnd;
using bench::spawn;
using bench::stop;
using benchx11::waitFor;
using benchx11::XDisplay;

const std::string kHotkeyClass = "tavlo";

fs::path benchStore() {
    const char* env = std::getenv("TAVLO_BENCH_STORE");
    return env ? fs::path(env) : fs::path("/tmp/tavlo-store-bench");
}

struct Stats {
    double p50 = -1, p99 = -1, max = -1;
    size_t count = 0;
};
Stats stats(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    return {at(0.5), at(0.99), v.back(), v.size()};
}
void print(const char* what, const std::vector<double>& values) {
    Stats s = stats(values);
    std::printf("  %-58s median %7.1f ms  p99 %7.1f  max %7.1f  (%zu)\n", what, s.p50, s.p99, s.max, s.count);
}

// --- The program's home and the X side

// A home whose settings are a user's who raised the history limit, pastes on
// Return (code 3) and lets a paste close the window, with the bundle's paste
// script installed; the store's files copied in when given.
Home programHome(const std::string& name, int limit, const fs::path& store = {}) {
    Home home = bench::makeHome(name);
    fs::create_directories(home.root / "config/Tavlo");
    std::ofstream(home.root / "config/Tavlo/group.com.tavlo.Tavlo.plist")
        << "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n<plist version=\"1.0\"><dict>"
        << "<key>" << TLUserDefaultsInitialized << "</key><true/>"
        << "<key>" << TLUserDefaultsCaptureClipboard << "</key><true/>"
        << "<key>" << TLUserDefaultsShowsMenuBarIcon << "</key><true/>"
        << "<key>" << TLUserDefaultsWindowIsDetached << "</key><true/>"
        << "<key>" << TLUserDefaultsHideWindowOnLaunchKey << "</key><true/>"
        << "<key>" << TLUserDefaultsCopyPasteClosesWindow << "</key><true/>"
        << "<key>" << TLUserDefaultsWindowFrame << "</key><string>{{20, 20}, {360, 600}}</string>"
        << "<key>" << TLUserDefaultsReturnActionKey << "</key><integer>3</integer>"
        << "<key>" << TLUserDefaultsClipboardSize << "</key><integer>" << limit << "</integer>"
        << "</dict></plist>\n";
    const fs::path scripts = home.root / "data/Tavlo/Scripts";
    fs::create_directories(scripts);
    fs::copy_file(fs::path(TAVLO_PROGRAM).parent_path().parent_path() / "Resources/Paste.scpt",
                  scripts / "Paste.scpt");
    fs::permissions(scripts / "Paste.scpt", fs::perms(0700));
    if (!store.empty())
        for (const char* suffix : {"", "-wal", "-shm"}) {
            fs::path from = (store / "datastore").string() + suffix;
            if (fs::exists(from)) fs::copy_file(from, home.root / "data/Tavlo" / ("datastore" + std::string(suffix)));
        }
    return home;
}

// The newest clipping's text, the first row's.
std::string newestText(const Home& home) {
    sqlite3* db = nullptr;
    std::string text;
    if (sqlite3_open_v2((home.root / "data/Tavlo/datastore").c_str(), &db, SQLITE_OPEN_READONLY, nullptr) ==
        SQLITE_OK) {
        sqlite3_stmt* statement = nullptr;
        sqlite3_prepare_v2(db, "SELECT text FROM Clipping ORDER BY tavloDate DESC LIMIT 1", -1, &statement, nullptr);
        if (statement && sqlite3_step(statement) == SQLITE_ROW && sqlite3_column_text(statement, 0))
            text = reinterpret_cast<const char*>(sqlite3_column_text(statement, 0));
        sqlite3_finalize(statement);
    }
    sqlite3_close(db);
    return text;
}

bool viewable(xcb_connection_t* c, xcb_window_t window) {
    auto* reply = xcb_get_window_attributes_reply(c, xcb_get_window_attributes(c, window), nullptr);
    bool result = reply && reply->map_state == XCB_MAP_STATE_VIEWABLE;
    free(reply);
    return result;
}

struct Place {
    int x = 0, y = 0, width = 0, height = 0;
};
Place placeOf(xcb_connection_t* c, xcb_window_t root, xcb_window_t window) {
    Place place;
    auto* geometry = xcb_get_geometry_reply(c, xcb_get_geometry(c, window), nullptr);
    auto* at = xcb_translate_coordinates_reply(c, xcb_translate_coordinates(c, window, root, 0, 0), nullptr);
    if (geometry && at) place = {at->dst_x, at->dst_y, geometry->width, geometry->height};
    free(geometry);
    free(at);
    return place;
}

// The program's window of that class wider than a tray icon (a frame's child
// under a window manager), mapped or not.
xcb_window_t findWindow(xcb_connection_t* c, xcb_window_t root, const std::string& wmClass) {
    for (xcb_window_t top : benchx11::children(c, root)) {
        std::vector<xcb_window_t> candidates{top};
        for (xcb_window_t inner : benchx11::children(c, top)) candidates.push_back(inner);
        for (xcb_window_t window : candidates)
            if (benchx11::className(c, window) == wmClass && placeOf(c, root, window).width > 100) return window;
    }
    return XCB_NONE;
}

// The colours in a strip of the window where its first rows are: one or two
// while only the background shows, many once rows' text is drawn; and the
// strip's contents for telling a repaint.
struct Strip {
    size_t colours = 0;
    std::string pixels;
};
Strip rowsStrip(xcb_connection_t* c, xcb_window_t window, int16_t top = 90, uint16_t height = 120) {
    Strip strip;
    auto* image = xcb_get_image_reply(
        c, xcb_get_image(c, XCB_IMAGE_FORMAT_Z_PIXMAP, window, 10, top, 300, height, ~0u), nullptr);
    if (!image) return strip;
    const auto* data = xcb_get_image_data(image);
    const int length = xcb_get_image_data_length(image);
    strip.pixels.assign(reinterpret_cast<const char*>(data), size_t(length));
    std::set<uint32_t> colours;
    for (int i = 0; i + 3 < length && colours.size() < 16; i += 4) {
        uint32_t pixel;
        std::memcpy(&pixel, data + i, 4);
        colours.insert(pixel & 0xffffff);
    }
    strip.colours = colours.size();
    free(image);
    return strip;
}

size_t fileSize(const fs::path& path) {
    std::error_code error;
    auto size = fs::file_size(path, error);
    return error ? 0 : size_t(size);
}

// The terminal a paste goes to, with its output file.
struct Terminal {
    pid_t pid = -1;
    xcb_window_t window = XCB_NONE;
    fs::path out;
};
Terminal startTerminal(XDisplay& x, const Home& home) {
    Terminal terminal;
    terminal.out = home.root / "out";
    terminal.pid = spawn({"xterm", "-geometry", "60x10+600+500", "-xrm",
                          "XTerm*vt100.translations: #override \\n Ctrl<Key>v: insert-selection(CLIPBOARD) \\n "
                          "Shift<Key>Insert: insert-selection(CLIPBOARD)",
                          "-e", "sh", "-c", "stty -icanon; exec cat > \"$0\"", terminal.out.string()},
                         home.env());
    waitFor(Clock::now(), [&] {
        terminal.window = findWindow(x.connection(), x.root(), "xterm");
        return terminal.window != XCB_NONE && viewable(x.connection(), terminal.window);
    });
    return terminal;
}
void activate(const Terminal& terminal) {
    runToEnd({"xdotool", "windowactivate", "--sync", std::to_string(terminal.window)}, {});
}
void clearOut(const Terminal& terminal) { std::ofstream(terminal.out, std::ios::trunc); }

// Waits for the program's log to say start-up is over (the hotkeys are bound then).
bool launched(const Home& home) {
    return waitFor(Clock::now(), [&] {
        std::error_code error;
        for (const auto& entry : fs::directory_iterator(home.root / "data/Logs/Tavlo/General", error)) {
            std::ifstream log(entry.path());
            std::string text((std::istreambuf_iterator<char>(log)), std::istreambuf_iterator<char>());
            if (text.find("Application did finish launching") != std::string::npos) return true;
        }
        return false;
    }, 60s) >= 0;
}

struct ProgramFigures {
    std::vector<double> mapped, painted, results, returned, menuSmall, menu;
};

// The hotkey, a search letter and Return, runs times, over a running program.
void hotkeySearchAndReturn(XDisplay& x, const Home& home, Terminal& terminal, int runs, bool search,
                           ProgramFigures& figures) {
    xcb_connection_t* c = x.connection();
    const std::string expected = newestText(home);
    xcb_window_t window = XCB_NONE;
    for (int run = 0; run < runs; ++run) {
        activate(terminal);
        std::this_thread::sleep_for(300ms);
        x.drain();
        auto start = Clock::now();
        x.chord({benchx11::kSuperL, benchx11::kShiftL}, benchx11::kC);
        double mapped = waitFor(start, [&] {
            if (window == XCB_NONE) window = findWindow(c, x.root(), kHotkeyClass);
            return window != XCB_NONE && viewable(c, window);
        }, 10s);
        double painted = mapped < 0 ? -1 : waitFor(start, [&] { return rowsStrip(c, window).colours >= 4; }, 10s);
        if (mapped < 0 || painted < 0) {
            std::printf("  run %d: the window did not show within 10 s\n", run + 1);
            continue;
        }
        figures.mapped.push_back(mapped);
        figures.painted.push_back(painted);
        std::this_thread::sleep_for(500ms);
        if (search) {
            // As the search's own benchmark times it: the query but its last
            // letter typed first, then the last letter to the rows painted.
            x.tap('c');
            std::this_thread::sleep_for(4s);
            // Below the search field: the rows and the footer's count.
            auto below = [&] { return rowsStrip(c, window, 70, 500).pixels; };
            const std::string before = below();
            auto typed = Clock::now();
            x.tap('a');
            double results = waitFor(typed, [&] { return below() != before; }, 5s);
            if (results >= 0) figures.results.push_back(results);
            std::this_thread::sleep_for(500ms);
            x.tap(benchx11::kEscape);  // ends the search
            std::this_thread::sleep_for(500ms);
        }
        x.tap(benchx11::kDown);
        x.tap(benchx11::kUp);  // the first row, whichever was current
        std::this_thread::sleep_for(300ms);
        clearOut(terminal);
        auto pressed = Clock::now();
        x.tap(benchx11::kReturn);
        double returned = waitFor(pressed, [&] { return fileSize(terminal.out) >= expected.size(); }, 10s);
        if (returned >= 0) figures.returned.push_back(returned);
        std::printf("  run %d: mapped %.1f, rows painted %.1f, results %.1f, Return to xterm %.1f ms\n", run + 1,
                    mapped, painted, search && !figures.results.empty() ? figures.results.back() : -1.0, returned);
        waitFor(Clock::now(), [&] { return !viewable(c, window); }, 5s);
        std::this_thread::sleep_for(500ms);
    }
}

// The settings button clicked, runs times with a small text on the clipboard
// and runs times while xclip offers 200 MB of text.
void menuUnderAHugeOffer(XDisplay& x, Terminal& terminal, const Home& home, int runs, ProgramFigures& figures) {
    xcb_connection_t* c = x.connection();
    runToEnd({"sh", "-c", "printf small | xclip -selection clipboard -i"}, home.env());
    std::this_thread::sleep_for(1s);
    activate(terminal);
    x.chord({benchx11::kSuperL, benchx11::kShiftL}, benchx11::kC);
    xcb_window_t window = XCB_NONE;
    waitFor(Clock::now(), [&] {
        window = findWindow(c, x.root(), kHotkeyClass);
        return window != XCB_NONE && viewable(c, window);
    }, 10s);
    std::this_thread::sleep_for(1s);
    for (int run = 0; run < 2 * runs; ++run) {
        if (run == runs) {
            runToEnd({"sh", "-c", "head -c 209715200 /dev/zero | tr '\\0' a | xclip -selection clipboard -i"},
                     home.env());
            std::this_thread::sleep_for(1s);
        }
        std::vector<double>& into = run < runs ? figures.menuSmall : figures.menu;
        Place place = placeOf(c, x.root(), window);
        x.drain();
        auto start = Clock::now();
        x.click(place.x + place.width - 22, place.y + 22);
        xcb_window_t menu = x.waitForMap(5s, true);
        if (menu == XCB_NONE) {
            std::printf("  run %d: no menu within 5 s\n", run + 1);
        } else {
            into.push_back(ms(Clock::now() - start));
            std::printf("  run %d: application menu mapped %.1f ms (%s)\n", run % runs + 1, into.back(),
                        run < runs ? "a small text offered" : "200 MB offered");
        }
        std::this_thread::sleep_for(300ms);
        x.tap(benchx11::kEscape);
        std::this_thread::sleep_for(300ms);
    }
    x.tap(benchx11::kEscape);
    // A small offer takes the clipboard back; the huge one's xclip ends.
    runToEnd({"sh", "-c", "printf done | xclip -selection clipboard -i"}, home.env());
}

ProgramFigures runProgram(XDisplay& x, const Home& home, int runs, bool search, bool menu) {
    ProgramFigures figures;
    Terminal terminal = startTerminal(x, home);
    auto env = home.env();
    env["TAVLO_BUNDLE"] = "";
    pid_t tavlo = spawn({TAVLO_PROGRAM}, env);
    if (!launched(home)) std::printf("  the program did not finish launching within 60 s\n");
    std::this_thread::sleep_for(3s);  // a long history's first fetch settles
    hotkeySearchAndReturn(x, home, terminal, runs, search, figures);
    if (menu) menuUnderAHugeOffer(x, terminal, home, runs, figures);
    stop(tavlo);
    stop(terminal.pid);
    return figures;
}

// --- CopyQ at 10,000

struct CopyQFigures {
    std::vector<double> mapped, returned;
};

CopyQFigures runCopyQ(XDisplay& x, int runs) {
    CopyQFigures figures;
    Home home = bench::prepareCopyQ("tavlo-end-to-end-bench-copyq");
    auto env = home.env();
    Terminal terminal = startTerminal(x, home);
    pid_t server = spawn({"copyq"}, env);
    for (int i = 0; i < 200 && runToEnd({"copyq", "count"}, env) != 0; ++i) std::this_thread::sleep_for(50ms);
    runToEnd({"copyq", "eval",
              "setCommands([{name: \"show\", cmd: \"copyq: toggle()\", isGlobalShortcut: true, "
              "globalShortcuts: [\"meta+shift+c\"]}])"},
             env);
    runToEnd({"copyq", "hide"}, env);
    std::this_thread::sleep_for(2s);
    benchx11::WindowWatcher windows;
    const size_t expected = std::string("9999 ").size() + 1000;
    for (int run = 0; run < runs; ++run) {
        activate(terminal);
        std::this_thread::sleep_for(300ms);
        auto start = Clock::now();
        x.chord({benchx11::kSuperL, benchx11::kShiftL}, benchx11::kC);
        double mapped = waitFor(start, [&] { return windows.mapped("copyq"); }, 10s);
        if (mapped >= 0) figures.mapped.push_back(mapped);
        std::this_thread::sleep_for(500ms);
        runToEnd({"copyq", "hide"}, env);
        waitFor(Clock::now(), [&] { return !windows.mapped("copyq"); }, 5s);
        activate(terminal);
        std::this_thread::sleep_for(300ms);
        clearOut(terminal);
        auto pasted = Clock::now();
        runToEnd({"copyq", "select", "0"}, env);
        runToEnd({"copyq", "paste"}, env);
        double returned = waitFor(pasted, [&] { return fileSize(terminal.out) >= expected; }, 10s);
        if (returned >= 0) figures.returned.push_back(returned);
        std::printf("  run %d: copyq hotkey to window mapped %.1f ms, select 0 + paste to xterm %.1f ms\n", run + 1,
                    mapped, returned);
    }
    runToEnd({"copyq", "exit"}, env);
    waitpid(server, nullptr, 0);
    stop(terminal.pid);
    fs::remove_all(home.root);
    return figures;
}

// --- Holding Down (child process, over its home's copy of the store)

struct Hold {
    std::vector<double> frames;
    int maxLag = 0;
    int finalRow = -1;
};

// Down pressed (auto-repeating) every 1/30 s, each press's time to its frame
// painted, and how many rows the current row trails the presses sent.
Hold holdDown(QAbstractItemView& view, int presses, const std::function<void()>& settle) {
    Hold hold;
    view.setFocus();
    view.setCurrentIndex(view.model()->index(0, 0));
    settle();
    auto next = Clock::now();
    for (int i = 0; i < presses; ++i) {
        next += std::chrono::microseconds(33333);
        auto start = Clock::now();
        QKeyEvent press(QEvent::KeyPress, Qt::Key_Down, Qt::NoModifier, QString(), i > 0);
        QApplication::sendEvent(&view, &press);
        QKeyEvent release(QEvent::KeyRelease, Qt::Key_Down, Qt::NoModifier, QString(), i + 1 < presses);
        QApplication::sendEvent(&view, &release);
        QCoreApplication::processEvents();
        dispatch::MainQueue::runUntilIdle();
        view.viewport()->repaint();
        hold.frames.push_back(ms(Clock::now() - start));
        hold.maxLag = std::max(hold.maxLag, (i + 1) - view.currentIndex().row());
        while (Clock::now() < next) {
            QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
            dispatch::MainQueue::runUntilIdle();
            std::this_thread::sleep_for(1ms);
        }
    }
    hold.finalRow = view.currentIndex().row();
    return hold;
}

void printHold(const char* who, const Hold& hold, int presses) {
    Stats s = stats(hold.frames);
    const long over = std::count_if(hold.frames.begin(), hold.frames.end(), [](double f) { return f > 16; });
    std::printf("  %-18s frame p50 %6.2f ms  p99 %6.2f  max %6.2f  over 16 ms: %ld of %d; "
                "selection trails by at most %d, ends on row %d\n",
                who, s.p50, s.p99, s.max, over, presses, hold.maxLag, hold.finalRow);
}

int childHoldDown(int argc, char** argv, int presses) {
    QApplication application(argc, argv);
    fs::path home = std::getenv("HOME");
    auto suite = foundation::UserDefaults::applicationGroup();
    suite->setInteger(100000, TLUserDefaultsClipboardSize);
    TLDatabaseManager database(TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd",
                                                                home / "data/Tavlo", 5000});
    TLClippingsViewController::Configuration configuration;
    configuration.context = database.managedObjectContext();
    configuration.pasteboardClippingIDs = [] { return std::nullopt; };
    {
        TLClippingsViewController panel(configuration);
        panel.resize(360, 600);
        panel.show();
        auto settle = [&] {
            for (int i = 0; i < 5; ++i) {
                QCoreApplication::processEvents();
                panel.waitForMeasurements();
                dispatch::MainQueue::runUntilIdle();
            }
        };
        settle();
        std::this_thread::sleep_for(1s);
        settle();
        printHold("panel", holdDown(*panel.tableView(), presses, settle), presses);
    }
    SQLiteRowsModel model(home / "data/Tavlo/datastore");
    model.showKeys("SELECT pk FROM \"Clipping\" ORDER BY \"tavloDate\" DESC");
    QTableView peer;
    peer.setModel(&model);
    peer.resize(360, 600);
    peer.show();
    auto settle = [] {
        for (int i = 0; i < 5; ++i) QCoreApplication::processEvents();
    };
    settle();
    printHold("peer QTableView", holdDown(peer, presses, settle), presses);
    return 0;
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 10, downPresses = 600;
    bool copyq = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--down-presses") && i + 1 < argc) downPresses = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-copyq")) copyq = false;
    }
    if (argc > 1 && !std::strcmp(argv[1], "--child-hold-down")) return childHoldDown(argc, argv, downPresses);
    std::setvbuf(stdout, nullptr, _IOLBF, 0);
    if (!std::getenv("DISPLAY") || !std::getenv("DBUS_SESSION_BUS_ADDRESS")) {
        std::fprintf(stderr, "Run inside dbus-run-session and an X server (see the comment at the top).\n");
        return 2;
    }
    if (!fs::exists(benchStore() / "datastore")) {
        std::fprintf(stderr, "no store at %s: run store_bench once first\n", benchStore().c_str());
        return 1;
    }
    ::prctl(PR_SET_CHILD_SUBREAPER, 1);
    XDisplay x;
    pid_t windowManager = spawn({"openbox", "--sm-disable"}, {});
    std::this_thread::sleep_for(1s);

    std::printf("at 100,000 clippings:\n");
    Home large = programHome("tavlo-end-to-end-bench-100000", 100000, benchStore());
    ProgramFigures big = runProgram(x, large, runs, true, true);

    std::printf("holding Down at 30 Hz, %d presses:\n", downPresses);
    {
        auto env = large.env();
        pid_t child = spawn({fs::canonical("/proc/self/exe").string(), "--child-hold-down", "--down-presses", std::to_string(downPresses)},
                            env, false);
        waitpid(child, nullptr, 0);
    }
    fs::remove_all(large.root);

    std::printf("at 10,000 texts of 1 KB:\n");
    Home small = programHome("tavlo-end-to-end-bench-10000", 10000);
    bench::writeKilobyteTexts(small.root / "data/Tavlo", 10000);
    ProgramFigures tenThousand = runProgram(x, small, runs, false, false);
    fs::remove_all(small.root);
    CopyQFigures peer;
    if (copyq) peer = runCopyQ(x, runs);
    if (windowManager > 0) stop(windowManager);

    std::printf("\nat 100,000 clippings:\n");
    print("hotkey to the window mapped", big.mapped);
    print("hotkey to the first rows painted (target < 100 ms)", big.painted);
    print("\"ca\": the last letter to the results painted (search: < 50 ms)", big.results);
    print("Return to the text in xterm (target < 200 ms)", big.returned);
    print("application menu, a small text offered", big.menuSmall);
    print("application menu during a 200 MB offer (target < 50 ms)", big.menu);
    std::printf("at 10,000 texts:\n");
    print("Tavlo, hotkey to the window mapped", tenThousand.mapped);
    print("Tavlo, hotkey to the first rows painted", tenThousand.painted);
    print("Tavlo, Return to the text in xterm", tenThousand.returned);
    if (copyq) {
        print("CopyQ, hotkey to the window mapped", peer.mapped);
        print("CopyQ, copyq select 0 + copyq paste to the text in xterm", peer.returned);
    }
    return 0;
}
