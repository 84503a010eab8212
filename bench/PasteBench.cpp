// The panel's copy, paste and drag, on the X server the benchmark runs in
// (scripts/bench gives it a private one), with openbox and xterm:
//
//   paste_bench [--runs N]
//
// - pasteItems: from the call to the text arriving in an xterm that was active
//   before the panel (the paste script installed from the bundle), beside
//   xclip writing the clipboard and then `xdotool key ctrl+v` into the same
//   xterm;
// - copying 10 selected rows of 100,000 (history limit 100,000): the main
//   thread's part of copyClipping, beside refetching the panel's rows with a
//   full model reset;
// - starting a drag of 25 rows: writeRowsForDrag;
// - a drop that reorders a list of 10,000: acceptDrop, with its saves counted.
#include <unistd.h>

#include <QApplication>
#include <QMimeData>
#include <QProcess>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
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
#include "kit/TLPasteScript.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

using bench::median;
using bench::ms;

fs::path home() { return fs::temp_directory_path() / ("paste-bench-" + std::to_string(::getpid())); }

void prepareHome() {
    fs::remove_all(home());
    fs::create_directories(home() / "data/Tavlo/Scripts");
    ::setenv("HOME", home().c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home() / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home() / "config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home() / "cache").c_str(), 1);
}

void settle(TLClippingsViewController* panel) {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        if (panel) panel->waitForMeasurements();
        dispatch::MainQueue::runUntilIdle();
    }
}

template <class Done>
bool runUntil(Done done, std::chrono::milliseconds limit) {
    auto deadline = Clock::now() + limit;
    while (!done()) {
        if (Clock::now() > deadline) return false;
        QCoreApplication::processEvents(QEventLoop::AllEvents, 2);
        dispatch::MainQueue::runUntilIdle();
    }
    return true;
}

int run(const QStringList& argv) {
    QProcess process;
    process.start(argv.front(), argv.mid(1));
    process.waitForFinished(10000);
    return process.exitCode();
}

std::string output(const QStringList& argv) {
    QProcess process;
    process.start(argv.front(), argv.mid(1));
    process.waitForFinished(10000);
    return process.readAllStandardOutput().trimmed().toStdString();
}

struct Store {
    std::unique_ptr<TLDatabaseManager> database;
    std::shared_ptr<store::Context> context;
    std::vector<std::shared_ptr<Clipping>> clippings;
};

// n text clippings, newest first; in list when given, numbered in that order.
Store makeStore(const fs::path& folder, int n, bool inList) {
    Store s;
    s.database = std::make_unique<TLDatabaseManager>(
        TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", folder, 200000});
    s.context = s.database->managedObjectContext();
    std::shared_ptr<List> list;
    if (inList) {
        list = std::static_pointer_cast<List>(s.context->insertNewObject(List::kEntityName));
        list->setListID("L-bench");
        list->setName("Bench");
    }
    for (int i = 0; i < n; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(s.context->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText("clipping " + std::to_string(i) + " with a line of text to paste");
        auto date = foundation::Date(1.7e9 - i);
        clipping->setTavloDate(date);
        clipping->setAddDate(date);
        if (list) {
            clipping->setList(list);
            clipping->setIndex(i);
        }
        s.clippings.push_back(clipping);
        if ((i + 1) % 10000 == 0) (void)s.context->save();
    }
    (void)s.context->save();
    return s;
}

std::unique_ptr<TLClippingsViewController> makePanel(const Store& store, std::shared_ptr<TLPasteboardManager> manager,
                                                     std::function<foundation::Result<void>(store::Context&)> save = {}) {
    TLClippingsViewController::Configuration configuration;
    configuration.context = store.context;
    configuration.pasteboardClippingIDs = [] { return std::nullopt; };
    configuration.pasteboardManager = std::move(manager);
    configuration.saveContext = std::move(save);
    auto panel = std::make_unique<TLClippingsViewController>(configuration);
    panel->resize(360, 600);
    panel->show();
    settle(panel.get());
    return panel;
}

void select(TLClippingsViewController& panel, const std::vector<int>& rows) {
    auto* selection = panel.tableView()->selectionModel();
    selection->clearSelection();
    for (int row : rows)
        selection->setCurrentIndex(panel.tableView()->model()->index(row, 0),
                                   QItemSelectionModel::Select | QItemSelectionModel::Rows);
}

std::shared_ptr<TLPasteboardManager> memoryManager(const std::shared_ptr<store::Context>& context) {
    auto general = std::make_shared<TLMacPasteboard>();
    general->setPasteboard(std::make_shared<desktop::MemoryPasteboard>());
    TLPasteboardManager::Configuration configuration;
    configuration.generalPasteboard = general;
    configuration.managedObjectContext = context;
    configuration.writerQueue = dispatch::Queue::main();
    return std::make_shared<TLPasteboardManager>(std::move(configuration));
}

// --- Paste into xterm

void benchPaste(int runs) {
    if (run({"sh", "-c", "command -v openbox && command -v xterm && command -v xdotool && command -v xclip"}) != 0) {
        std::printf("paste: needs openbox, xterm, xdotool and xclip; skipped\n");
        return;
    }
    QProcess openbox;
    openbox.start("openbox", {"--sm-disable"});
    runUntil([] { return run({"sh", "-c", "xprop -root _NET_SUPPORTING_WM_CHECK | grep -q window"}) == 0; },
             std::chrono::seconds(10));
    const fs::path out = home() / "out";
    QProcess xterm;
    xterm.start("xterm", {"-xrm", "XTerm*vt100.translations: #override Ctrl<Key>v: insert-selection(CLIPBOARD)",
                          "-e", "sh", "-c", "stty -icanon; exec cat > \"$0\"", QString::fromStdString(out.string())});
    std::string terminal;
    runUntil(
        [&] {
            terminal = output({"xdotool", "search", "--onlyvisible", "--class", "XTerm"});
            return !terminal.empty();
        },
        std::chrono::seconds(20));
    terminal = terminal.substr(0, terminal.find('\n'));

    foundation::Bundle::setMainBundlePath(TAVLO_BUNDLE_DIR);
    (void)TLPasteScript::installPasteScript(foundation::Paths::applicationScripts());
    Store store = makeStore(home() / "data/paste", 40, false);
    TLPasteboardManager::Configuration configuration;
    configuration.generalPasteboard = TLMacPasteboard::generalPasteboard();
    configuration.managedObjectContext = store.context;
    configuration.frontApplication = desktop::FrontApplication::create();
    configuration.clipboardReader = TLMacPasteboard::generalClipboardReader();
    auto manager = std::make_shared<TLPasteboardManager>(std::move(configuration));
    auto panel = makePanel(store, manager);
    const QString panelWindow = QString::number(panel->window()->winId());
    auto size = [&] {
        std::error_code error;
        auto n = fs::file_size(out, error);
        return error ? uintmax_t(0) : n;
    };

    // The last n bytes the terminal wrote.
    auto tail = [&](size_t n) {
        std::ifstream in(out, std::ios::binary);
        std::string all((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return all.size() >= n ? all.substr(all.size() - n) : all;
    };
    std::vector<double> ours, peer;
    for (int i = 0; i < runs; ++i) {
        run({"xdotool", "windowactivate", "--sync", QString::fromStdString(terminal)});
        run({"xdotool", "windowactivate", "--sync", panelWindow});
        runUntil([&] { return panel->isActiveWindow(); }, std::chrono::seconds(5));
        // The user clicks the row: a real event, so the program's clipboard
        // write carries a time later than xclip's last one.
        const int row = 1 + i % 8;
        const QRect rect = panel->tableView()->visualRect(panel->tableView()->model()->index(row, 0));
        const QPoint at = panel->tableView()->viewport()->mapToGlobal(rect.center());
        run({"xdotool", "mousemove", "--sync", QString::number(at.x()), QString::number(at.y()), "click", "1"});
        runUntil([&] { return panel->selectedClippings().size() == 1 &&
                              panel->selectedClippings().front() == panel->clippingAtRow(row); },
                 std::chrono::seconds(5));
        const std::string text = panel->clippingAtRow(row)->text().value_or("");
        const uintmax_t before = size();
        auto start = Clock::now();
        panel->pasteItems();
        if (runUntil([&] { return size() >= before + text.size(); }, std::chrono::seconds(10)) &&
            tail(text.size()) == text)
            ours.push_back(ms(Clock::now() - start));
        settle(panel.get());

        run({"xdotool", "windowactivate", "--sync", QString::fromStdString(terminal)});
        const uintmax_t peerBefore = size();
        start = Clock::now();
        QProcess xclip;
        xclip.start("xclip", {"-selection", "clipboard", "-i"});
        xclip.write(text.data(), qint64(text.size()));
        xclip.closeWriteChannel();
        xclip.waitForFinished(10000);
        run({"xdotool", "key", "ctrl+v"});
        if (runUntil([&] { return size() >= peerBefore + text.size(); }, std::chrono::seconds(10)) &&
            tail(text.size()) == text)
            peer.push_back(ms(Clock::now() - start));
    }
    std::printf("paste into xterm (median of the %zu / %zu runs that pasted the right text): pasteItems %.1f ms; xclip then xdotool key ctrl+v %.1f ms\n",
                ours.size(), peer.size(), median(ours), median(peer));
    panel.reset();
    xterm.kill();
    xterm.waitForFinished(5000);
    openbox.kill();
    openbox.waitForFinished(5000);
    foundation::Bundle::setMainBundlePath({});
}

// --- Copy, drag and drop in long histories and lists

void benchCopyAndDrag(int runs) {
    foundation::UserDefaults::applicationGroup()->setInteger(100000, TLUserDefaultsClipboardSize);
    auto made = Clock::now();
    Store store = makeStore(home() / "data/history", 100000, false);
    std::printf("(100,000 clippings stored in %.0f ms)\n", ms(Clock::now() - made));
    auto manager = memoryManager(store.context);
    auto panel = makePanel(store, manager);
    std::vector<double> copy, reset, drag;
    for (int i = 0; i < runs; ++i) {
        std::vector<int> rows;
        for (int k = 0; k < 10; ++k) rows.push_back(10 + 97 * k + i);
        select(*panel, rows);
        auto start = Clock::now();
        panel->copyClipping();
        copy.push_back(ms(Clock::now() - start));
        settle(panel.get());
        start = Clock::now();
        panel->fetchClippings();
        reset.push_back(ms(Clock::now() - start));
        settle(panel.get());

        std::vector<int> dragged;
        for (int k = 0; k < 25; ++k) dragged.push_back(k);
        select(*panel, dragged);
        start = Clock::now();
        auto data = panel->writeRowsForDrag(dragged);
        drag.push_back(ms(Clock::now() - start));
        settle(panel.get());
    }
    std::printf("copy 10 selected rows of 100,000 (median): copyClipping %.2f ms; refetch with a full model reset "
                "%.2f ms\n",
                median(copy), median(reset));
    std::printf("start a drag of 25 rows (median): writeRowsForDrag %.2f ms\n", median(drag));
}

void benchReorder(int runs) {
    Store store = makeStore(home() / "data/list", 10000, true);
    int saves = 0;
    auto manager = memoryManager(store.context);
    auto panel = makePanel(store, manager, [&](store::Context& context) {
        ++saves;
        return context.save();
    });
    auto list = store.clippings.front()->list();
    panel->selectList(list);
    settle(panel.get());
    std::vector<double> times;
    std::vector<int> savesPer;
    for (int i = 0; i < runs; ++i) {
        // Two rows near the end, dropped above the first: every index changes.
        select(*panel, {9990 - i, 9995 - i});
        saves = 0;
        auto start = Clock::now();
        panel->acceptDrop(0);
        times.push_back(ms(Clock::now() - start));
        savesPer.push_back(saves);
        settle(panel.get());
    }
    std::printf("reorder a list of 10,000 by a drop (median): acceptDrop %.1f ms, %d save(s) each\n", median(times),
                savesPer.empty() ? 0 : *std::max_element(savesPer.begin(), savesPer.end()));
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 10;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    prepareHome();
    QApplication app(argc, argv);
    desktop::Animator::setInstant(true);
    benchPaste(runs);
    benchCopyAndDrag(runs);
    benchReorder(std::max(3, runs / 2));
    fs::remove_all(home());
    return 0;
}
