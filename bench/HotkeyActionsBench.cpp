// The panel's numbered hotkeys on the X server the benchmark runs in
// (scripts/bench gives it a private one):
//
//   hotkey_actions_bench [--runs N]
//
// - copy at a position: from the copy notification posted on the main thread
//   (as the hotkey posts it) to its row's text read by another client with
//   `xclip -selection clipboard -o`, beside `xclip -i` writing the same text
//   and another `xclip -o` reading it, and a lone `xclip -o` of text already
//   there (the reading client's own cost, in both);
// - 1,000 posts in a burst, from the main thread (each its own turn of the
//   event loop, as key events arrive) and from another thread as fast as it
//   can post: the longest the main thread went without turning its event loop
//   (a 1 ms timer's largest gap), until the last position's text is on the
//   clipboard, beside the same timer with no posts and a single copy; the
//   copies a burst made are counted;
// - 1,000 copy-next posts from another thread, which are not coalesced: the
//   same longest hold until the 1,000 copies were made.
#include <unistd.h>

#include <QApplication>
#include <QEventLoop>
#include <QProcess>
#include <QTimer>

#include <algorithm>
#include <atomic>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <memory>
#include <string>
#include <thread>
#include <vector>

#include "BenchProcess.h"
#include "ViewController/TLClippingsViewController.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/desktop/SystemPasteboard.h"
#include "platform/desktop/UserNotificationCenter.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/store/Context.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::median;
using bench::ms;

// A home of the benchmark's own, made once.
fs::path home() {
    static const bench::Home made = bench::makeHome("hotkey-actions-bench-" + std::to_string(::getpid()));
    return made.root;
}

void prepareHome() {
    for (const auto& [name, value] : bench::Home{home()}.env()) ::setenv(name.c_str(), value.c_str(), 1);
}

template <class Done>
bool runUntil(Done done, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 1);
        dispatch::MainQueue::runUntilIdle();
    }
    return true;
}

void settle() { runUntil([] { return false; }, std::chrono::milliseconds(100)); }

// What another client reads off the clipboard; this process serves it from
// the event loop meanwhile.
std::string readClipboard() {
    QProcess xclip;
    xclip.start("xclip", {"-selection", "clipboard", "-o"});
    runUntil([&] { return xclip.state() == QProcess::NotRunning; }, std::chrono::seconds(10));
    return xclip.readAllStandardOutput().toStdString();
}

// Milliseconds from start until another client reads text, or -1.
double readableAfter(Clock::time_point start, const std::string& text) {
    for (int attempt = 0; attempt < 200; ++attempt)
        if (readClipboard() == text) return ms(Clock::now() - start);
    return -1;
}

void post(const char* name, int64_t position) {
    foundation::NotificationCenter::defaultCenter().post(foundation::Notification{name, nullptr, position, {}});
}

// Nothing is told here: the numbered positions tell nobody, and a session
// without a notification service would log.
class SilentCenter : public desktop::UserNotificationCenter {
public:
    void deliver(const std::string&, const std::string&, const std::string&) override {}
    void removeAllDelivered() override {}
};

struct Setup {
    std::unique_ptr<TLDatabaseManager> database;
    std::shared_ptr<store::Context> context;
    std::shared_ptr<TLPasteboardManager> manager;
    std::unique_ptr<TLClippingsViewController> panel;
    std::shared_ptr<List> list;

    std::string textAt(int row) const {
        auto clipping = panel->clippingAtRow(row);
        return clipping ? clipping->text().value_or("") : "";
    }
};

// 40 texts in the history and 10 in a list, the manager on the X clipboard and the panel
// beside it, not shown: the hotkeys act while the window is hidden.
std::unique_ptr<Setup> makeSetup() {
    auto s = std::make_unique<Setup>();
    s->database = std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
        fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", home() / "data/store", 200000});
    s->context = s->database->managedObjectContext();
    for (int i = 0; i < 40; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(s->context->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText("clipping " + std::to_string(i) + " with a line of text to copy");
        auto date = foundation::Date::now().addingTimeInterval(-1000 - i);
        clipping->setTavloDate(date);
        clipping->setAddDate(date);
    }
    // A list keeps its order whatever is copied: the burst's positions stay put.
    s->list = std::static_pointer_cast<List>(s->context->insertNewObject(List::kEntityName));
    s->list->setListID("L-bench");
    s->list->setName("Bench");
    for (int i = 0; i < 10; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(s->context->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText("listed " + std::to_string(i));
        auto date = foundation::Date::now().addingTimeInterval(-5000 - i);
        clipping->setTavloDate(date);
        clipping->setAddDate(date);
        clipping->setList(s->list);
        clipping->setIndex(i);
    }
    (void)s->context->save();

    auto general = std::make_shared<TLMacPasteboard>();
    general->setPasteboard(std::shared_ptr<desktop::Pasteboard>(desktop::SystemPasteboard::create()));
    TLPasteboardManager::Configuration configuration;
    configuration.generalPasteboard = general;
    configuration.managedObjectContext = s->context;
    configuration.frontApplication = desktop::FrontApplication::create();
    configuration.clipboardReader = desktop::ClipboardReader::open();
    s->manager = std::make_shared<TLPasteboardManager>(std::move(configuration));

    TLClippingsViewController::Configuration panel;
    panel.context = s->context;
    std::weak_ptr<TLPasteboardManager> manager = s->manager;
    panel.pasteboardClippingIDs = [manager]() -> std::optional<std::vector<std::string>> {
        auto strong = manager.lock();
        return strong ? strong->pasteboardClippingIDs() : std::nullopt;
    };
    panel.pasteboardManager = s->manager;
    panel.frontApplication = s->manager->frontApplication();
    s->panel = std::make_unique<TLClippingsViewController>(panel);
    s->panel->resize(360, 600);
    s->panel->setUserNotificationCenter([] { return std::make_shared<SilentCenter>(); });
    settle();
    return s;
}

// --- Copy at a position, read by another client

void benchCopyAtIndex(Setup& s, int runs) {
    std::vector<double> ours, peer, lone;
    int wrong = 0;
    for (int i = 0; i < runs; ++i) {
        const int64_t position = 2 + i % 8;  // never the top row: a copy that changes nothing proves nothing
        const std::string text = s.textAt(int(position - 1));
        auto start = Clock::now();
        post(TLCopyClippingAtIndexNotification, position);
        double took = readableAfter(start, text);
        if (took >= 0) ours.push_back(took);
        else ++wrong;
        settle();

        start = Clock::now();
        QProcess xclip;
        xclip.start("xclip", {"-selection", "clipboard", "-i"});
        const std::string theirs = text + " ";  // differs from what we hold, so its arrival is seen
        xclip.write(theirs.data(), qint64(theirs.size()));
        xclip.closeWriteChannel();
        runUntil([&] { return xclip.state() == QProcess::NotRunning; }, std::chrono::seconds(10));
        took = readableAfter(start, theirs);
        if (took >= 0) peer.push_back(took);
        else ++wrong;

        start = Clock::now();
        if (readClipboard() == theirs) lone.push_back(ms(Clock::now() - start));
        else ++wrong;
        settle();
    }
    std::printf("copy at a position to readable by xclip -o (median of %d): the hotkey's post %.1f ms; xclip -i then "
                "xclip -o %.1f ms; a lone xclip -o %.1f ms; %d run(s) read the wrong text\n",
                runs, median(ours), median(peer), median(lone), wrong);
}

// --- A burst of posts

// Runs the application's own event loop, as the program does (the main
// queue's blocks arrive through it one wake-up each), until done holds.
template <class Done>
void exec(Done done) {
    QEventLoop loop;
    QTimer check;
    check.setTimerType(Qt::PreciseTimer);
    const auto deadline = Clock::now() + std::chrono::seconds(30);
    QObject::connect(&check, &QTimer::timeout, [&] {
        if (done() || Clock::now() > deadline) loop.quit();
    });
    check.start(1);
    loop.exec();
}

// The longest the main thread went without turning its event loop (a 1 ms
// timer's largest gap) while burst ran and until done held.
template <class Burst, class Done>
double longestHold(Burst burst, Done done, double* settled) {
    QTimer heartbeat;
    heartbeat.setTimerType(Qt::PreciseTimer);
    double longest = 0;
    auto last = Clock::now();
    QObject::connect(&heartbeat, &QTimer::timeout, [&] {
        auto now = Clock::now();
        longest = std::max(longest, ms(now - last));
        last = now;
    });
    heartbeat.start(1);
    const auto warm = Clock::now() + std::chrono::milliseconds(50);
    exec([&] { return Clock::now() > warm; });
    longest = 0;
    last = Clock::now();
    auto start = Clock::now();
    burst();
    exec(done);
    if (settled) *settled = ms(Clock::now() - start);
    const auto after = Clock::now() + std::chrono::milliseconds(20);
    exec([&] { return Clock::now() > after; });
    heartbeat.stop();
    return longest;
}

void benchBurst(Setup& s, int runs) {
    constexpr int kPosts = 1000;
    auto positionOf = [](int i) { return int64_t(1 + (i * 7) % 9); };
    const int64_t last = positionOf(kPosts - 1);
    s.panel->selectList(s.list);
    settle();
    const std::string lastID = s.panel->clippingAtRow(int(last - 1))->clippingID().value_or("");
    const std::string otherID = s.panel->clippingAtRow(int(last % 9))->clippingID().value_or("");
    auto holds = [&](const std::string& id) {
        auto ids = s.manager->pasteboardClippingIDs();
        return ids && !ids->empty() && ids->front() == id;
    };
    // Another position first, so the last one's copy is seen to arrive.
    auto takeOther = [&] {
        post(TLCopyClippingAtIndexNotification, last % 9 + 1);
        runUntil([&] { return holds(otherID); }, std::chrono::seconds(5));
        settle();
    };
    // The copies a burst made: each announces the clipboard's update.
    std::atomic<int> copies = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto counting = center.addObserver(TLClipboardDidUpdateNotification, nullptr,
                                       [&](const foundation::Notification&) { ++copies; });
    // One copy at a time, for what a single copy holds the main thread.
    std::vector<double> single;
    for (int run = 0; run < 2 * runs; ++run) {
        takeOther();
        single.push_back(longestHold([&] { post(TLCopyClippingAtIndexNotification, last); },
                                     [&] { return s.panel->pendingHotkeyActions() == 0 && holds(lastID); }, nullptr));
    }
    std::vector<double> idle, onMain, fromThread, mainSettled, threadSettled;
    std::vector<int> mainCopies, threadCopies;
    int wrong = 0;
    for (int run = 0; run < runs; ++run) {
        const auto quiet = Clock::now() + std::chrono::seconds(1);
        idle.push_back(longestHold([] {}, [&] { return Clock::now() > quiet; }, nullptr));

        // Done once the last post was made, nothing waits, and the clipboard
        // holds the last position's clipping.
        std::atomic<bool> posted = false;
        auto done = [&] { return posted.load() && s.panel->pendingHotkeyActions() == 0 && holds(lastID); };
        double settled = 0;
        takeOther();
        copies = 0;
        // Each post its own event, as key presses arrive.
        onMain.push_back(longestHold(
            [&] {
                for (int i = 0; i < kPosts; ++i)
                    QMetaObject::invokeMethod(
                        qApp,
                        [&, i] {
                            post(TLCopyClippingAtIndexNotification, positionOf(i));
                            if (i == kPosts - 1) posted = true;
                        },
                        Qt::QueuedConnection);
            },
            done, &settled));
        mainSettled.push_back(settled);
        mainCopies.push_back(copies);
        wrong += !done();
        settle();

        takeOther();
        posted = false;
        copies = 0;
        std::thread poster;
        fromThread.push_back(longestHold(
            [&] {
                poster = std::thread([&] {
                    for (int i = 0; i < kPosts; ++i) post(TLCopyClippingAtIndexNotification, positionOf(i));
                    posted = true;
                });
            },
            done, &settled));
        poster.join();
        threadSettled.push_back(settled);
        threadCopies.push_back(copies);
        wrong += !done();
        settle();
    }
    std::printf("1,000 posts in a burst (median of %d): longest main-thread hold with no posts %.1f ms; posted on the "
                "main thread %.1f ms (the last position on the clipboard after %.0f ms); posted from another thread "
                "%.1f ms (after %.0f ms); %d burst(s) ended on another clipping\n",
                runs, median(idle), median(onMain), median(mainSettled), median(fromThread), median(threadSettled),
                wrong);
    std::printf("  every run (no posts / main thread / another thread, ms; copies made):");
    for (size_t i = 0; i < idle.size(); ++i)
        std::printf(" %.1f/%.1f/%.1f;%d/%d", idle[i], onMain[i], fromThread[i], mainCopies[i], threadCopies[i]);
    std::printf("\n  a single copy at a position: longest hold median %.1f ms, worst %.1f ms\n", median(single),
                *std::max_element(single.begin(), single.end()));
    center.removeObserver(counting);
    std::printf("  worst of the runs: no posts %.1f ms; main thread %.1f ms; another thread %.1f ms\n",
                *std::max_element(idle.begin(), idle.end()), *std::max_element(onMain.begin(), onMain.end()),
                *std::max_element(fromThread.begin(), fromThread.end()));
}

// Copy-next is not coalesced: each press takes the next row, so a burst of
// them is a burst of copies, each in a turn of its own once the one before
// landed. In the history past its end each takes the last row again.
void benchCopyNextBurst(Setup& s, int runs) {
    constexpr int kPosts = 1000;
    s.panel->selectList(nullptr);
    settle();
    std::atomic<int> copies = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto counting = center.addObserver(TLClipboardDidUpdateNotification, nullptr,
                                       [&](const foundation::Notification&) { ++copies; });
    std::vector<double> holds, settledAfter;
    for (int run = 0; run < runs; ++run) {
        copies = 0;
        std::atomic<bool> posted = false;
        std::thread poster;
        double settled = 0;
        holds.push_back(longestHold(
            [&] {
                poster = std::thread([&] {
                    for (int i = 0; i < kPosts; ++i)
                        foundation::NotificationCenter::defaultCenter().post(TLHotkeyCopyNextClipping);
                    posted = true;
                });
            },
            [&] { return posted.load() && copies.load() >= kPosts; }, &settled));
        poster.join();
        settledAfter.push_back(settled);
        settle();
    }
    center.removeObserver(counting);
    std::printf("1,000 copy-next posts from another thread (median of %d): longest main-thread hold %.1f ms, the "
                "1,000 copies made in %.0f ms\n",
                runs, median(holds), median(settledAfter));
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 20;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    prepareHome();
    QApplication app(argc, argv);
    desktop::Animator::setInstant(true);
    if (QProcess::execute("sh", {"-c", "command -v xclip >/dev/null"}) != 0) {
        std::printf("needs xclip\n");
        return 1;
    }
    {
        auto setup = makeSetup();
        benchCopyAtIndex(*setup, runs);
        benchBurst(*setup, std::max(3, runs / 4));
        benchCopyNextBurst(*setup, 3);
    }
    fs::remove_all(home());
    return 0;
}
