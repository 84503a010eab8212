// The panel's search and lists over a copy of the store_bench store (100,000
// clippings, run store_bench once first), with the history limit at 100,000,
// on Qt's offscreen platform:
//
//   search_bench [--runs N]
//
// - one keystroke in the search field, from the key event to the first result
//   rows painted, for each query; beside it, in the same run, the
//   fetched-results controller's own cost for the same query (a new
//   controller over the panel's request and its fetch, as fetched_results_bench
//   measures it) and a plain QTableView fed by the same full-text lookup through
//   the SQLite C API (keys read, model reset, rows painted);
// - a 10 KB query, an emoji and a combining mark over 10,000 clippings;
// - the title menu with 1,000 lists, from the click to the menu shown, beside
//   a plain QMenu of 1,000 rows;
// - deleting a list of 1,000 clippings until the store holds the deletion: the
//   panel's one save, beside a save per clipping.
#include <unistd.h>

#include <QApplication>
#include <QKeyEvent>
#include <QLabel>
#include <QLineEdit>
#include <QMenu>
#include <QTableView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <string>
#include <vector>

#include "ViewController/TLClippingsViewController.h"
#include "bench/SQLiteRowsModel.h"
#include "kit/Clipping.h"
#include "kit/FRFetchedResultsController.h"
#include "kit/List.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/FrontApplication.h"
#include "platform/desktop/Menu.h"
#include "platform/desktop/MemoryPasteboard.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

double median(std::vector<double> v) {
    if (v.empty()) return 0;
    std::sort(v.begin(), v.end());
    return v[v.size() / 2];
}

fs::path benchStore() {
    const char* env = std::getenv("TAVLO_BENCH_STORE");
    return (env ? fs::path(env) : fs::path("/tmp/tavlo-store-bench")) / "datastore";
}

fs::path home() { return fs::temp_directory_path() / ("search-bench-" + std::to_string(::getpid())); }

// A private home; with copy, the store_bench store as the container's.
void prepareHome(bool copy) {
    fs::remove_all(home());
    fs::create_directories(home() / "data/Tavlo");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::path from = benchStore().string() + suffix;
        if (copy && fs::exists(from)) fs::copy_file(from, home() / "data/Tavlo" / ("datastore" + std::string(suffix)));
    }
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

std::unique_ptr<TLDatabaseManager> openDatabase() {
    return std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
        fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", home() / "data/Tavlo", 5000});
}

std::shared_ptr<TLPasteboardManager> makeManager(const std::shared_ptr<store::Context>& context) {
    auto general = std::make_shared<TLMacPasteboard>();
    general->setPasteboard(std::make_shared<desktop::MemoryPasteboard>());
    TLPasteboardManager::Configuration configuration;
    configuration.generalPasteboard = general;
    configuration.managedObjectContext = context;
    configuration.writerQueue = dispatch::Queue::main();
    return std::make_shared<TLPasteboardManager>(std::move(configuration));
}

std::unique_ptr<TLClippingsViewController> makePanel(TLDatabaseManager& database,
                                                     std::shared_ptr<TLPasteboardManager> manager = nullptr) {
    TLClippingsViewController::Configuration configuration;
    configuration.context = database.managedObjectContext();
    configuration.pasteboardClippingIDs = [] { return std::nullopt; };
    configuration.pasteboardManager = std::move(manager);
    auto panel = std::make_unique<TLClippingsViewController>(configuration);
    panel->resize(360, 600);
    panel->show();
    settle(panel.get());
    return panel;
}

// One key typed into the search field, as the window system delivers it.
void typeKey(QLineEdit* field, const QString& character) {
    QKeyEvent press(QEvent::KeyPress, 0, Qt::NoModifier, character);
    QApplication::sendEvent(field, &press);
    QKeyEvent release(QEvent::KeyRelease, 0, Qt::NoModifier, character);
    QApplication::sendEvent(field, &release);
}

// From the last key of the query to the first result rows painted. The rest
// of the query is typed before, untimed.
double keyToRows(TLClippingsViewController& panel, const QString& query) {
    panel.cancelSearchWithAnimation(false);
    panel.toggleSearchWithAnimation(false);
    QLineEdit* field = panel.searchField();
    // The last character, whole: an emoji is two UTF-16 units.
    const qsizetype last = query.size() >= 2 && query.back().isLowSurrogate() ? query.size() - 2 : query.size() - 1;
    field->setText(query.left(last));
    panel.fetchResults();
    settle(&panel);
    auto start = Clock::now();
    typeKey(field, query.mid(last));
    panel.tableView()->viewport()->repaint();
    double taken = ms(Clock::now() - start);
    settle(&panel);
    return taken;
}

// The fetched-results controller alone: a new one over the panel's request for
// the query, and its fetch.
double controllerFetch(TLClippingsViewController& panel, const std::shared_ptr<store::Context>& context,
                       const std::string& query, size_t& count) {
    panel.setSearchString(query);
    auto request = panel.clippingsControllerFetchRequest();
    panel.setSearchString(std::nullopt);
    auto start = Clock::now();
    FRFetchedResultsController controller(context, request);
    controller.performFetch();
    double taken = ms(Clock::now() - start);
    count = controller.count();
    return taken;
}

// The peer's lookup: the same full-text search (trigrams over the folded
// copies of the four searched columns), newest first.
constexpr const char* kPeerSearch =
    "SELECT t.pk FROM \"Clipping\" AS t WHERE (t.\"text\" IS NOT NULL OR t.\"url\" IS NOT NULL OR t.\"image\" IS NOT "
    "NULL) AND +t.pk IN (SELECT rowid FROM \"Clipping$search\" WHERE \"Clipping$search\" MATCH ?) ORDER BY "
    "t.\"tavloDate\" DESC, t.\"pasteboardIndex\"";

void searchQueries(int runs) {
    prepareHome(true);
    auto suite = foundation::UserDefaults::applicationGroup();
    suite->setInteger(100000, TLUserDefaultsClipboardSize);
    auto database = openDatabase();
    auto context = database->managedObjectContext();
    auto panel = makePanel(*database);
    SQLiteRowsModel model(home() / "data/Tavlo/datastore");
    QTableView peer;
    peer.setModel(&model);
    peer.resize(360, 600);
    peer.show();

    std::printf("%-13s %9s %14s %14s %14s\n", "query", "results", "panel key-rows", "controller", "peer QTableView");
    for (const char* query : {"caf", "eclair", "jalapeno", "lorem ipsum", "zzzq", "the"}) {
        std::vector<double> panelTimes, controllerTimes, peerTimes;
        size_t count = 0;
        for (int run = 0; run < runs; ++run) {
            panelTimes.push_back(keyToRows(*panel, QString::fromUtf8(query)));
            controllerTimes.push_back(controllerFetch(*panel, context, query, count));
            auto start = Clock::now();
            model.showKeys(kPeerSearch,
                           ("{\"url\" \"text\" \"urlSource\" \"urlName\"} : \"" + std::string(query) + "\"").c_str());
            peer.viewport()->repaint();
            peerTimes.push_back(ms(Clock::now() - start));
        }
        std::printf("%-13s %9zu %11.1f ms %11.1f ms %11.1f ms\n", query, count, median(panelTimes),
                    median(controllerTimes), median(peerTimes));
    }
    panel.reset();
    database.reset();
}

void hardQueries(int runs) {
    prepareHome(false);
    auto database = openDatabase();
    auto context = database->managedObjectContext();
    for (int i = 0; i < 10000; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText(i == 17 ? "Café au lait 🍰" : "lorem ipsum dolor sit amet " + std::to_string(i));
        clipping->setTavloDate(foundation::Date(1.7e9 - i));
    }
    (void)context->save();
    database->parentManagedObjectContext()->performBlockAndWait([] {});
    auto panel = makePanel(*database);
    struct Query {
        const char* name;
        QString text;
    } const queries[] = {{"10 KB", QString(10 * 1024, QLatin1Char('q')) + QStringLiteral("e")},
                         {"emoji", QString::fromUtf8("🍰")},
                         {"combining mark", QString::fromUtf8("cafe\u0301")}};
    for (const Query& query : queries) {
        std::vector<double> times;
        for (int run = 0; run < runs; ++run) times.push_back(keyToRows(*panel, query.text));
        std::printf("10,000 clippings, %-15s key to rows %8.2f ms (%s)\n", query.name, median(times),
                    panel->footerLabel()->text().toUtf8().constData());
    }
    panel.reset();
    database.reset();
}

void titleMenu(int runs) {
    prepareHome(false);
    auto database = openDatabase();
    auto context = database->managedObjectContext();
    for (int i = 0; i < 1000; ++i) {
        auto list = std::static_pointer_cast<List>(context->insertNewObject(List::kEntityName));
        list->setListID(List::makeListID());
        list->setName("List " + std::to_string(i));
    }
    (void)context->save();
    auto panel = makePanel(*database);
    std::vector<double> times, plain;
    for (int run = 0; run < runs; ++run) {
        auto start = Clock::now();
        panel->showTitleMenu();
        QCoreApplication::processEvents();
        times.push_back(ms(Clock::now() - start));
        panel->titleMenu()->qMenu()->hide();
        settle(panel.get());

        start = Clock::now();
        QMenu menu;
        for (int i = 0; i < 1000; ++i) menu.addAction(QStringLiteral("List %1").arg(i));
        menu.popup(QPoint(10, 5));
        QCoreApplication::processEvents();
        plain.push_back(ms(Clock::now() - start));
        menu.hide();
    }
    std::printf("title menu with 1,000 lists shown         %8.2f ms (plain QMenu %.2f ms)\n", median(times),
                median(plain));
    panel.reset();
    database.reset();
}

// A list of 1,000 clippings; its listID is the run's.
std::shared_ptr<List> makeBigList(store::Context& context, int run) {
    auto list = std::static_pointer_cast<List>(context.insertNewObject(List::kEntityName));
    list->setListID(List::makeListID());
    list->setName("Big " + std::to_string(run));
    for (int i = 0; i < 1000; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(context.insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText("member " + std::to_string(i));
        clipping->setTavloDate(foundation::Date(1.7e9 - i));
        clipping->setList(list);
    }
    (void)context.save();
    return list;
}

void deleteList(int runs) {
    prepareHome(false);
    auto database = openDatabase();
    auto context = database->managedObjectContext();
    auto parent = database->parentManagedObjectContext();
    auto manager = makeManager(context);
    auto panel = makePanel(*database, manager);
    desktop::Animator::setInstant(true);
    std::vector<double> oneSave, perClipping;
    for (int run = 0; run < runs; ++run) {
        auto list = makeBigList(*context, run);
        parent->performBlockAndWait([] {});
        panel->selectList(list);
        settle(panel.get());
        auto start = Clock::now();
        panel->deleteList();
        desktop::Alert::answerShown(0);  // "Delete"
        parent->performBlockAndWait([] {});  // written to the store
        oneSave.push_back(ms(Clock::now() - start));
        settle(panel.get());

        list = makeBigList(*context, run);
        parent->performBlockAndWait([] {});
        start = Clock::now();
        for (const auto& clipping : list->clippings()) manager->deleteClipping(clipping);
        context->deleteObject(list);
        (void)context->save();
        parent->performBlockAndWait([] {});
        perClipping.push_back(ms(Clock::now() - start));
        settle(panel.get());
    }
    std::printf("delete a list of 1,000 clippings, one save %8.2f ms (a save per clipping %.2f ms)\n",
                median(oneSave), median(perClipping));
    panel.reset();
    manager.reset();
    database.reset();
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    if (!fs::exists(benchStore())) {
        std::fprintf(stderr, "no store at %s: run store_bench once first\n", benchStore().c_str());
        return 1;
    }
    QApplication application(argc, argv);
    searchQueries(runs);
    hardQueries(runs);
    titleMenu(runs);
    deleteList(runs);
    fs::remove_all(home());
    return 0;
}
