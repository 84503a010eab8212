// The clippings panel over a copy of the store_bench store (100,000
// clippings, run store_bench once first), with the history limit at 100,000,
// beside a plain QTableView over the same SQLite rows (SQLite C API), on Qt's
// offscreen platform:
//
//   panel_bench [--scroll-steps N] [--scroll-only]
//
// - first rows: the panel made at launch, then shown and painted (warm); and
//   from a new process's start to its first rows painted (a child of this one);
// - scrolling all rows by the scroll bar in 100 steps and by Page Down: each
//   step's time to the frame painted, p99 and maximum, and each step over
//   16 ms by its number;
// - a 4000 x 3000 JPEG to a 600-px thumbnail, beside a full decode and
//   QImage::scaled, each in a child process for its peak resident memory;
//   the 60,000 x 60,000 PNG header and the 5,000-frame GIF the same way;
// - one capture at the cap (limit 100 over the same store), from the store's
//   report to the row painted, on the main thread.
//
// --scroll-only runs the panel's scrolling alone (no peer, child processes,
// captures or thumbnails), for a profiler.
#include <sys/wait.h>
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QHeaderView>
#include <QImageReader>
#include <QKeyEvent>
#include <QProcess>
#include <QScrollBar>
#include <QTableView>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <string>
#include <vector>

#include "ViewController/TLClippingsViewController.h"
#include "bench/SQLiteRowsModel.h"
#include "kit/Clipping.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

fs::path benchStore() {
    const char* env = std::getenv("TAVLO_BENCH_STORE");
    return (env ? fs::path(env) : fs::path("/tmp/tavlo-store-bench")) / "datastore";
}

// A private home with a copy of the store as the container's.
fs::path prepareHome() {
    fs::path home = fs::temp_directory_path() / ("panel-bench-" + std::to_string(::getpid()));
    fs::remove_all(home);
    fs::create_directories(home / "data/Tavlo");
    for (const char* suffix : {"", "-wal", "-shm"}) {
        fs::path from = benchStore().string() + suffix;
        if (fs::exists(from)) fs::copy_file(from, home / "data/Tavlo" / ("datastore" + std::string(suffix)));
    }
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    return home;
}

struct Stats {
    double p50 = 0, p99 = 0, max = 0;
};
Stats stats(std::vector<double> v) {
    if (v.empty()) return {};
    std::sort(v.begin(), v.end());
    auto at = [&](double q) { return v[std::min(v.size() - 1, size_t(q * double(v.size())))]; };
    return {at(0.5), at(0.99), v.back()};
}

void settle(TLClippingsViewController* panel) {
    for (int i = 0; i < 3; ++i) {
        QCoreApplication::processEvents();
        if (panel) panel->waitForMeasurements();
        dispatch::MainQueue::runUntilIdle();
    }
}

// One frame: the scroll applied, laid out and painted.
template <class Step>
std::vector<double> frames(QAbstractScrollArea& view, int count, Step step) {
    std::vector<double> out;
    for (int i = 0; i < count; ++i) {
        auto start = Clock::now();
        step(i);
        QCoreApplication::processEvents();
        dispatch::MainQueue::runUntilIdle();
        view.viewport()->repaint();
        out.push_back(ms(Clock::now() - start));
        if (out.back() > 16) std::printf("  slow step %d: %.1f ms\n", i, out.back());
    }
    return out;
}

void printScroll(const char* who, const char* how, const std::vector<double>& times) {
    Stats s = stats(times);
    std::printf("%-18s %-22s p50 %6.2f ms  p99 %6.2f ms  max %6.2f ms\n", who, how, s.p50, s.p99, s.max);
}

template <class View>
void scrollBoth(const char* who, View& view, int steps) {
    QScrollBar* bar = view.verticalScrollBar();
    bar->setValue(0);
    printScroll(who, "scroll bar, 100 steps", frames(view, steps, [&](int i) {
                    bar->setValue(int(int64_t(bar->maximum()) * (i + 1) / steps));
                }));
    bar->setValue(0);
    view.setFocus();
    printScroll(who, "Page Down x 200", frames(view, 200, [&](int) {
                    QKeyEvent press(QEvent::KeyPress, Qt::Key_PageDown, Qt::NoModifier);
                    QApplication::sendEvent(&view, &press);
                }));
}

std::unique_ptr<TLDatabaseManager> openDatabase(const fs::path& home) {
    return std::make_unique<TLDatabaseManager>(TLDatabaseManager::Configuration{
        fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd", home / "data/Tavlo", 5000});
}

std::unique_ptr<TLClippingsViewController> makePanel(TLDatabaseManager& database) {
    TLClippingsViewController::Configuration configuration;
    configuration.context = database.managedObjectContext();
    configuration.pasteboardClippingIDs = [] { return std::nullopt; };
    auto panel = std::make_unique<TLClippingsViewController>(configuration);
    panel->resize(360, 600);
    return panel;
}

// --child-first-rows: a new process up to its first rows painted, over the
// parent's copy of the store (its home comes in the environment).
int childFirstRows(int argc, char** argv) {
    QApplication application(argc, argv);
    fs::path home = std::getenv("HOME");
    auto database = openDatabase(home);
    auto panel = makePanel(*database);
    panel->show();
    panel->repaint();
    std::printf("painted\n");
    std::fflush(stdout);
    return 0;
}

// The process's peak resident memory (its high-water mark since exec), in KiB.
long peakResidentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmHWM:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// --child-thumbnail MODE FILE: one decode, then the peak resident memory.
int childThumbnail(int argc, char** argv) {
    QApplication application(argc, argv);
    std::string mode = argv[2];
    QString file = QString::fromLocal8Bit(argv[3]);
    auto start = Clock::now();
    QImage image;
    if (mode == "panel") {
        image = TLClippingsViewController::thumbnailForFile(file, 404);
    } else {
        QImageReader::setAllocationLimit(0);
        image = QImageReader(file).read().scaled(600, 450, Qt::KeepAspectRatio, Qt::SmoothTransformation);
    }
    double took = ms(Clock::now() - start);
    std::printf("%.2f %ld %dx%d\n", took, peakResidentKiB(), image.width(), image.height());
    return 0;
}

void runThumbnail(const char* self, const char* label, const char* mode, const fs::path& file, long baselineKiB) {
    QProcess child;
    child.start(QString::fromLocal8Bit(self), {"--child-thumbnail", mode, QString::fromStdString(file.string())});
    child.waitForFinished(120000);
    double took = 0;
    long kib = 0;
    char size[32] = {};
    std::sscanf(child.readAllStandardOutput().constData(), "%lf %ld %31s", &took, &kib, size);
    std::printf("%-34s %8.2f ms  peak RSS %7.1f MiB (%+.1f MiB over an idle process)  %s\n", label, took,
                double(kib) / 1024, double(kib - baselineKiB) / 1024, size);
}

void writeAssets(const fs::path& folder) {
    fs::create_directories(folder);
    QImage photo(4000, 3000, QImage::Format_RGB32);
    for (int y = 0; y < photo.height(); ++y)
        for (int x = 0; x < photo.width(); x += 1) photo.setPixel(x, y, qRgb(x % 256, y % 256, (x + y) % 256));
    photo.save(QString::fromStdString((folder / "photo.jpg").string()), "JPEG", 90);
    QByteArray png;
    QBuffer buffer(&png);
    buffer.open(QIODevice::WriteOnly);
    QImage(8, 8, QImage::Format_RGB32).save(&buffer, "PNG");
    QByteArray huge = png.left(33);
    for (int i : {16, 20}) huge[i] = 0, huge[i + 1] = 0, huge[i + 2] = char(0xEA), huge[i + 3] = char(0x60);
    std::ofstream(folder / "huge.png", std::ios::binary).write(huge.constData(), huge.size());
    std::ofstream gif(folder / "frames.gif", std::ios::binary);
    const unsigned char head[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
    gif.write(reinterpret_cast<const char*>(head), sizeof head);
    const unsigned char frame[] = {0x21, 0xF9, 4, 0, 1, 0, 0, 0, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 1, 0};
    for (int i = 0; i < 5000; ++i) gif.write(reinterpret_cast<const char*>(frame), sizeof frame);
    gif.put(0x3B);
}

}  // namespace

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    if (argc > 1 && std::string(argv[1]) == "--child-first-rows") return childFirstRows(argc, argv);
    if (argc > 3 && std::string(argv[1]) == "--child-thumbnail") return childThumbnail(argc, argv);
    int steps = 100;
    bool scrollOnly = false;
    for (int i = 1; i < argc; ++i) {
        if (std::string(argv[i]) == "--scroll-steps" && i + 1 < argc) steps = std::atoi(argv[i + 1]);
        if (std::string(argv[i]) == "--scroll-only") scrollOnly = true;
    }
    if (!fs::exists(benchStore())) {
        std::fprintf(stderr, "no store at %s: run store_bench once first\n", benchStore().c_str());
        return 1;
    }
    QApplication application(argc, argv);
    fs::path home = prepareHome();
    auto suite = foundation::UserDefaults::applicationGroup();
    suite->setInteger(100000, TLUserDefaultsClipboardSize);
    suite->synchronize();  // the child processes read it

    // First rows, warm: the panel made at launch, then shown.
    auto database = openDatabase(home);
    auto made = Clock::now();
    auto panel = makePanel(*database);
    double making = ms(Clock::now() - made);
    auto shown = Clock::now();
    panel->show();
    panel->repaint();
    double showing = ms(Clock::now() - shown);
    settle(panel.get());
    std::printf("panel made at launch (fetch of 100,000)   %8.2f ms\n", making);
    std::printf("window shown to first rows painted (warm)  %8.2f ms\n", showing);
    if (scrollOnly) {
        scrollBoth("panel", *panel->tableView(), steps);
        panel.reset();
        database.reset();
        fs::remove_all(home);
        return 0;
    }
    {
        // The peer: every row's key read at once, a row's text read when it is drawn.
        SQLiteRowsModel model(benchStore());
        model.showKeys("SELECT pk FROM \"Clipping\" ORDER BY \"tavloDate\" DESC");
        QTableView peer;
        peer.setModel(&model);
        peer.resize(360, 600);
        auto start = Clock::now();
        peer.show();
        peer.repaint();
        std::printf("peer QTableView shown to first rows        %8.2f ms\n", ms(Clock::now() - start));
        scrollBoth("peer QTableView", peer, steps);
    }
    std::vector<double> starts;
    for (int i = 0; i < 3; ++i) {
        QProcess child;
        auto start = Clock::now();
        child.start(QString::fromLocal8Bit(argv[0]), {"--child-first-rows"});
        child.waitForReadyRead(60000);
        starts.push_back(ms(Clock::now() - start));
        child.waitForFinished(60000);
    }
    std::printf("process start to first rows (panel only)   %8.2f ms (best of 3; %.2f worst)\n",
                *std::min_element(starts.begin(), starts.end()), *std::max_element(starts.begin(), starts.end()));

    scrollBoth("panel", *panel->tableView(), steps);

    // One capture at the cap: the report to the row painted.
    suite->setInteger(100, TLUserDefaultsClipboardSize);
    panel->fetchClippings();
    settle(panel.get());
    auto context = database->managedObjectContext();
    std::vector<double> captures;
    const auto capturing = Clock::now();
    for (int i = 0; i < 20; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText("captured " + std::to_string(i));
        clipping->setTavloDate(foundation::Date::now());
        clipping->setAddDate(foundation::Date::now());
        auto start = Clock::now();
        context->processPendingChanges();  // the report
        panel->tableView()->viewport()->repaint();
        captures.push_back(ms(Clock::now() - start));
        if (captures.back() > 5) std::printf("  slow capture %d: %.1f ms (%.0f ms into the captures)\n", i, captures.back(), ms(Clock::now() - capturing));
        (void)context->save();
        settle(panel.get());
    }
    Stats c = stats(captures);
    std::printf("capture at the cap, report to row painted  p50 %6.2f ms  max %6.2f ms\n", c.p50, c.max);
    panel.reset();
    database.reset();

    // Thumbnails, each in a process of its own for its peak memory.
    fs::path assets = home / "assets";
    writeAssets(assets);
    QProcess idle;
    idle.start(QString::fromLocal8Bit(argv[0]), {"--child-thumbnail", "panel", "/nonexistent"});
    idle.waitForFinished(60000);
    long baseline = 0;
    double unused = 0;
    std::sscanf(idle.readAllStandardOutput().constData(), "%lf %ld", &unused, &baseline);
    runThumbnail(argv[0], "4000x3000 JPEG, panel thumbnail", "panel", assets / "photo.jpg", baseline);
    runThumbnail(argv[0], "4000x3000 JPEG, decode + scaled", "full", assets / "photo.jpg", baseline);
    runThumbnail(argv[0], "60,000x60,000 PNG header, panel", "panel", assets / "huge.png", baseline);
    runThumbnail(argv[0], "5,000-frame GIF, panel", "panel", assets / "frames.gif", baseline);
    fs::remove_all(home);
    return 0;
}
