// The detail popover and the merge sheet over a store in a private home, on
// Qt's offscreen platform:
//
//   popover_bench [--runs N]
//
// - a 10 MB text (lines of 80 characters) from the popover made to its text
//   painted and to the whole text in the view, with the main thread's longest
//   block meanwhile (the longest gap between two turns of the event loop, the
//   opening itself included); beside QPlainTextEdit::setPlainText of the same
//   text in a plain window, shown and painted;
// - a 4000 x 3000 JPEG from the popover made to its image painted;
// - link detection over the first 100,000 characters of a text with a link
//   every 400 characters;
// - merging 25 clippings, each with an asset file, on the main thread (the
//   save and the files' removal included);
// - a 5,000-frame GIF playing in the popover for 5 s: resident memory after
//   the first second and at the end.
// Each figure is the median of the runs (5 unless given).
#include <unistd.h>

#include <QApplication>
#include <QBuffer>
#include <QElapsedTimer>
#include <QImage>
#include <QLabel>
#include <QMovie>
#include <QPlainTextEdit>
#include <QTextEdit>
#include <QTimer>

#include <algorithm>
#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <functional>
#include <string>
#include <vector>

#include "ViewController/TLClippingItemViewController.h"
#include "ViewController/TLClippingPopoverViewController.h"
#include "kit/Asset.h"
#include "kit/Clipping.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "platform/desktop/Popover.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/store/Context.h"
#include "views/TLMergeWindowController.h"

namespace fs = std::filesystem;
using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::duration d) { return std::chrono::duration<double, std::milli>(d).count(); }

// Resident memory now, in KiB.
long residentKiB() {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind("VmRSS:", 0) == 0) return std::atol(line.c_str() + 6);
    return 0;
}

// A GIF of frames 1 x 1 pixel frames, 10 ms each, looping.
std::string animatedGIF(int frames) {
    std::string gif("GIF89a\x01\x00\x01\x00\x80\x00\x00\x00\x00\x00\xff\xff\xff", 19);
    gif += std::string("\x21\xff\x0bNETSCAPE2.0\x03\x01\x00\x00\x00", 19);
    for (int i = 0; i < frames; ++i) {
        gif += std::string("\x21\xf9\x04\x00\x01\x00\x00\x00", 8);
        gif += std::string("\x2c\x00\x00\x00\x00\x01\x00\x01\x00\x00", 10);
        gif += std::string(i % 2 ? "\x02\x02\x44\x01\x00" : "\x02\x02\x4c\x01\x00", 5);
    }
    return gif + ";";
}

double median(std::vector<double> values) {
    std::sort(values.begin(), values.end());
    return values.empty() ? 0 : values[values.size() / 2];
}

fs::path prepareHome() {
    fs::path home = fs::temp_directory_path() / ("popover-bench-" + std::to_string(::getpid()));
    fs::remove_all(home);
    fs::create_directories(home / "data");
    ::setenv("HOME", home.c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    return home;
}

// Records the longest gap between two turns of the event loop while it runs.
class BlockMeter : public QObject {
public:
    BlockMeter() {
        timer_.setInterval(0);
        QObject::connect(&timer_, &QTimer::timeout, this, [this] {
            auto now = Clock::now();
            longest_ = std::max(longest_, ms(now - last_));
            last_ = now;
        });
    }
    void start() {
        longest_ = 0;
        last_ = Clock::now();
        timer_.start();
    }
    // Counts the time since the last turn, as the current block ends.
    double stop() {
        longest_ = std::max(longest_, ms(Clock::now() - last_));
        timer_.stop();
        return longest_;
    }

private:
    QTimer timer_;
    Clock::time_point last_;
    double longest_ = 0;
};

// Turns the event loop until done or 60 s.
void runUntil(const std::function<bool()>& done) {
    auto end = Clock::now() + std::chrono::seconds(60);
    while (!done() && Clock::now() < end) {
        QCoreApplication::processEvents(QEventLoop::AllEvents, 5);
        dispatch::MainQueue::runUntilIdle();
    }
}

// Notes the first paint of a widget.
class PaintWatch : public QObject {
public:
    explicit PaintWatch(QWidget* widget) { widget->installEventFilter(this); }
    bool painted = false;
    Clock::time_point at;

protected:
    bool eventFilter(QObject*, QEvent* event) override {
        if (event->type() == QEvent::Paint && !painted) {
            painted = true;
            at = Clock::now();
        }
        return false;
    }
};

struct Opened {
    double painted = 0, whole = 0, longestBlock = 0;
};

Opened openPopover(const std::shared_ptr<Clipping>& clipping, QWidget& anchor) {
    BlockMeter meter;
    meter.start();
    const auto start = Clock::now();
    desktop::Popover popover;
    auto* controller = new TLClippingPopoverViewController;
    controller->setMaxWidth(1200);
    controller->setClipping(clipping);
    controller->setPopover(&popover);
    controller->viewDidLoad();
    popover.setContentView(controller);
    popover.setContentSize(controller->preferredContentSize());
    popover.setDidShow([controller](desktop::Popover& p) { controller->popoverDidShow(p); });
    TLClippingItemViewController* item = controller->stackViewControllers().front();
    QWidget* body = item->textView() ? item->textView()->viewport() : static_cast<QWidget*>(item->imageView());
    PaintWatch watch(body);
    popover.showRelativeToRect(anchor.rect(), &anchor, desktop::Popover::Edge::MaxX);
    runUntil([&] { return watch.painted; });
    Opened opened;
    opened.painted = ms(watch.at - start);
    runUntil([&] { return !item->isFilling(); });
    opened.whole = ms(Clock::now() - start);
    opened.longestBlock = meter.stop();
    popover.close();
    return opened;
}

Opened openPlainTextEdit(const QString& text) {
    BlockMeter meter;
    meter.start();
    const auto start = Clock::now();
    QPlainTextEdit edit;
    edit.resize(1200, 1000);
    PaintWatch watch(edit.viewport());
    edit.setPlainText(text);
    edit.show();
    runUntil([&] { return watch.painted; });
    Opened opened;
    opened.painted = ms(watch.at - start);
    opened.whole = opened.painted;
    opened.longestBlock = meter.stop();
    return opened;
}

std::string jpeg(int w, int h) {
    QImage image(w, h, QImage::Format_RGB32);
    for (int y = 0; y < h; ++y) {
        auto* line = reinterpret_cast<QRgb*>(image.scanLine(y));
        for (int x = 0; x < w; ++x) line[x] = qRgb(x * 255 / w, y * 255 / h, (x ^ y) & 255);
    }
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "JPEG", 90);
    return bytes.toStdString();
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 5;
    for (int i = 1; i + 1 < argc; ++i)
        if (std::string(argv[i]) == "--runs") runs = std::max(1, std::atoi(argv[i + 1]));
    const fs::path home = prepareHome();
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    QApplication application(argc, argv);
    {
        TLDatabaseManager database(TLDatabaseManager::Configuration{fs::path(TAVLO_SOURCE_DIR) / "resources/Tavlo.momd",
                                                                    home / "data/Tavlo", 100});
        auto context = database.managedObjectContext();
        auto make = [&](std::optional<std::string> text) {
            auto clipping = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
            clipping->setClippingID(Clipping::makeClippingID());
            clipping->setText(std::move(text));
            return clipping;
        };
        QWidget anchor;
        anchor.setGeometry(100, 100, 300, 600);
        anchor.show();

        std::string big;
        while (big.size() < 10u << 20) big += "A line of a long text, eighty characters long, no more and no less here.....\n";
        auto text = make(big);
        auto photo = make(std::nullopt);
        photo->setImage("public.jpeg");
        {
            fs::path folder = NSFileManagerExtras::URLForClippingAssetsWithID(photo->clippingID())->filePath();
            fs::create_directories(folder);
            std::ofstream(folder / "0.public.jpeg", std::ios::binary) << jpeg(4000, 3000);
        }
        (void)context->save();

        std::vector<double> painted, whole, blocks, peerPainted, peerBlocks, photoPainted;
        const QString bigText = QString::fromStdString(big);
        for (int run = 0; run < runs; ++run) {
            Opened popover = openPopover(text, anchor);
            painted.push_back(popover.painted);
            whole.push_back(popover.whole);
            blocks.push_back(popover.longestBlock);
            Opened peer = openPlainTextEdit(bigText);
            peerPainted.push_back(peer.painted);
            peerBlocks.push_back(peer.longestBlock);
            photoPainted.push_back(openPopover(photo, anchor).painted);
            QCoreApplication::sendPostedEvents(nullptr, QEvent::DeferredDelete);
        }
        std::printf("10 MB text, popover: painted %.1f ms, whole text in %.1f ms, longest block %.1f ms\n",
                    median(painted), median(whole), median(blocks));
        std::printf("10 MB text, QPlainTextEdit::setPlainText: painted %.1f ms, longest block %.1f ms\n",
                    median(peerPainted), median(peerBlocks));
        std::printf("4000 x 3000 JPEG, popover: painted %.1f ms\n", median(photoPainted));

        QString links;
        const QString words = QStringLiteral("word ").repeated(75);
        while (links.size() < TLClippingItemViewController::kLinkDetectionLength)
            links += words + QStringLiteral("https://example.com/p ");
        std::vector<double> detect;
        size_t found = 0;
        for (int run = 0; run < std::max(runs, 20); ++run) {
            auto start = Clock::now();
            found = TLClippingItemViewController::detectLinks(links).size();
            detect.push_back(ms(Clock::now() - start));
        }
        std::printf("link detection, first 100,000 characters (%zu links): %.2f ms\n", found, median(detect));

        std::vector<double> merges;
        for (int run = 0; run < runs; ++run) {
            std::vector<std::shared_ptr<Clipping>> clippings;
            for (int i = 0; i < 25; ++i) {
                auto clipping = make("clipping " + std::to_string(i) + " of the merge, a line of text");
                fs::path folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping->clippingID())->filePath();
                fs::create_directories(folder);
                std::ofstream(folder / "0.public.rtf") << "{\\rtf1 clipping}";
                auto asset = std::static_pointer_cast<Asset>(context->insertNewObject(Asset::kEntityName));
                asset->setAssetID(Asset::makeAssetID(*clipping->clippingID(), "0.public.rtf"));
                asset->setFilename("0.public.rtf");
                asset->setClipping(clipping);
                clippings.push_back(clipping);
            }
            (void)context->save();
            TLMergeWindowController::Configuration configuration;
            configuration.context = context;
            TLMergeWindowController sheet(configuration);
            sheet.setSelectedClippings(clippings);
            sheet.windowDidLoad();
            auto start = Clock::now();
            sheet.mergeClippings();
            merges.push_back(ms(Clock::now() - start));
        }
        std::printf("merging 25 clippings, main thread: %.1f ms\n", median(merges));

        auto gif = make(std::nullopt);
        gif->setImage("com.compuserve.gif");
        {
            fs::path folder = NSFileManagerExtras::URLForClippingAssetsWithID(gif->clippingID())->filePath();
            fs::create_directories(folder);
            std::ofstream(folder / "0.com.compuserve.gif", std::ios::binary) << animatedGIF(5000);
        }
        (void)context->save();
        desktop::Popover popover;
        auto* controller = new TLClippingPopoverViewController;
        controller->setClipping(gif);
        controller->setPopover(&popover);
        controller->viewDidLoad();
        popover.setContentView(controller);
        popover.setContentSize(controller->preferredContentSize());
        popover.showRelativeToRect(anchor.rect(), &anchor, desktop::Popover::Edge::MaxX);
        auto playFor = [](double seconds) {
            auto end = Clock::now() + std::chrono::duration<double>(seconds);
            runUntil([&] { return Clock::now() > end; });
        };
        playFor(1);
        const long early = residentKiB();
        const int earlyFrame = controller->stackViewControllers().front()->movie()->currentFrameNumber();
        playFor(4);
        std::printf("5,000-frame GIF: resident %.1f MiB after 1 s (frame %d), %.1f MiB after 5 s (frame %d)\n",
                    early / 1024.0, earlyFrame, residentKiB() / 1024.0,
                    controller->stackViewControllers().front()->movie()->currentFrameNumber());
        popover.close();
    }
    fs::remove_all(home);
    return 0;
}
