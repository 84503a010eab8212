// The clippings panel beside the real pasteboard manager on a private X
// server: xclip copies, the application's tick captures, and the panel's rows
// follow the store at the history limit.
#include "tests/kit/CaptureX11Fixture.h"

#include <QBuffer>
#include <QCoreApplication>
#include <QGuiApplication>
#include <QImage>
#include <QProcess>
#include <QTableView>
#include <QTimer>

#include <fstream>

#include "ViewController/TLClippingItemViewController.h"
#include "ViewController/TLClippingsViewController.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLPasteScript.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Paths.h"
#include "tests/support/ChildProcess.h"
#include "kit/NSTimerBlocks.h"
#include "platform/desktop/ClipboardReader.h"
#include "platform/desktop/SystemPasteboard.h"
#include "tests/platform/desktop/PasteboardTestSupport.h"
#include "views/TLCellHeightCache.h"
#include "views/TLClippingCellView.h"

namespace {

using Clock = std::chrono::steady_clock;
using namespace std::chrono_literals;

class ClippingsPanelX11Test : public capturetest::CaptureX11Fixture {
protected:
    void SetUp() override {
        CaptureX11Fixture::SetUp();
        if (setUpFailed()) return;
        TLCellHeightCache::sharedCache().setCachedHeights(foundation::PlistValue::Dictionary{});
        TLSettings()->setInteger(kLimit, TLUserDefaultsClipboardSize);
        list_ = makeList("L-kept", "Kept");
        // Older clippings than the limit holds; the oldest is listed.
        for (int i = 0; i < kLimit + 3; ++i) {
            auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
            clipping->setClippingID(Clipping::makeClippingID());
            clipping->setText("seed " + std::to_string(i));
            auto date = foundation::Date::now().addingTimeInterval(-1000 - i);
            clipping->setTavloDate(date);
            clipping->setAddDate(date);
            if (i == kLimit + 2) clipping->setList(list_);
            seeds_.push_back(clipping);
        }
        ASSERT_TRUE(context_->save().ok());

        startOnSystemClipboard("test.panel.assets");
        if (HasFatalFailure()) return;

        TLClippingsViewController::Configuration panelConfiguration;
        panelConfiguration.context = context_;
        std::weak_ptr<TLPasteboardManager> manager = manager_;
        panelConfiguration.pasteboardClippingIDs = [manager]() -> std::optional<std::vector<std::string>> {
            auto strong = manager.lock();
            return strong ? strong->pasteboardClippingIDs() : std::nullopt;
        };
        // The paste goes to the window the manager's front application saw.
        panelConfiguration.frontApplication = manager_->frontApplication();
        panel_ = std::make_unique<TLClippingsViewController>(panelConfiguration);
        panel_->resize(360, 600);
        panel_->show();
        runEventsFor(100ms);
    }
    void TearDown() override {
        panel_.reset();
        CaptureX11Fixture::TearDown();
    }
    int rows() const { return panel_->tableView()->model()->rowCount(); }
    std::string textAt(int row) const {
        auto clipping = panel_->clippingAtRow(row);
        return clipping ? clipping->text().value_or("") : "";
    }
    // The rows the store's first clippings give, capped.
    bool matchesStore() {
        auto& controller = panel_->clippingsController();
        if (int64_t(rows()) != std::min<int64_t>(int64_t(controller.count()), kLimit)) return false;
        for (int row = 0; row < rows(); ++row)
            if (controller.objectAtIndex(uint64_t(row)) != panel_->clippingAtRow(row)) return false;
        return true;
    }

    // What another program reads of the clipboard (xclip, while this process
    // serves the selection from its event loop).
    std::string readClipboard(const QString& target) {
        QProcess xclip;
        xclip.start(QStringLiteral("xclip"), {"-selection", "clipboard", "-o", "-t", target});
        runEventsUntil([&] { return xclip.state() == QProcess::NotRunning; }, 10s);
        return xclip.readAllStandardOutput().toStdString();
    }

    static constexpr int kLimit = 5;
    std::shared_ptr<List> list_;
    std::vector<std::shared_ptr<Clipping>> seeds_;
    std::unique_ptr<TLClippingsViewController> panel_;
};

TEST_F(ClippingsPanelX11Test, CopiesAppearAtTheTopWithinTheLimit) {
    ASSERT_EQ(rows(), kLimit);
    ASSERT_EQ(pasteboardtest::shell("printf 'copied by xclip' | xclip -selection clipboard -i"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return textAt(0) == "copied by xclip"; }, 5s)) << textAt(0);
    EXPECT_EQ(rows(), kLimit);
    EXPECT_TRUE(matchesStore());
    // Selected half a second after it came, and marked as the clipboard's.
    EXPECT_TRUE(runEventsUntil([&] { return panel_->tableView()->selectionModel()->isRowSelected(0, {}); }, 2s));
    (void)panel_->grab();
    EXPECT_TRUE(runEventsUntil(
        [&] {
            auto* cell = panel_->tableView()->viewAtRow(0, false);
            return cell && cell->tavlo();
        },
        2s));

    // The copy of a listed clipping beyond the limit refreshes it to the top.
    ASSERT_EQ(pasteboardtest::shell("printf 'seed 7' | xclip -selection clipboard -i"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return textAt(0) == "seed 7"; }, 5s)) << textAt(0);
    EXPECT_EQ(rows(), kLimit);
    EXPECT_TRUE(matchesStore());

    // A deletion refills from beyond the limit.
    manager_->deleteClipping(panel_->clippingAtRow(2));
    ASSERT_TRUE(runEventsUntil([&] { return matchesStore(); }, 2s));
    EXPECT_EQ(rows(), std::min<int>(kLimit, int(panel_->clippingsController().count())));
}

TEST_F(ClippingsPanelX11Test, AnOlderTwinTheDuplicatePassDeletesLeavesTheRows) {
    // Another device's copy of the newest clipping, under the same identifier.
    auto twin = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
    twin->setClippingID(seeds_.front()->clippingID());
    twin->setText("older twin");
    auto date = seeds_[2]->tavloDate()->addingTimeInterval(-0.5);
    twin->setTavloDate(date);
    twin->setAddDate(date);
    ASSERT_TRUE(context_->save().ok());
    ASSERT_TRUE(runEventsUntil([&] { return textAt(3) == "older twin"; }, 5s)) << textAt(3);

    // The next capture's trim runs the duplicate pass.
    ASSERT_EQ(pasteboardtest::shell("printf 'after the twin' | xclip -selection clipboard -i"), 0);
    ASSERT_TRUE(runEventsUntil([&] { return textAt(0) == "after the twin"; }, 5s)) << textAt(0);
    auto shown = [&] {
        std::vector<std::string> texts;
        for (int row = 0; row < rows(); ++row) texts.push_back(textAt(row));
        return texts;
    };
    EXPECT_TRUE(runEventsUntil(
        [&] {
            auto texts = shown();
            return std::find(texts.begin(), texts.end(), "older twin") == texts.end() && matchesStore();
        },
        5s));
    EXPECT_EQ(rows(), kLimit);
    EXPECT_EQ(textAt(1), "seed 0") << "the newest of the two stays";
}

TEST_F(ClippingsPanelX11Test, CopiedRowsReachOtherProgramsInTheOrderTheyWereSelected) {
    auto* selection = panel_->tableView()->selectionModel();
    auto* model = panel_->tableView()->model();
    const std::string third = textAt(3), first = textAt(1);
    selection->setCurrentIndex(model->index(3, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selection->setCurrentIndex(model->index(1, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    panel_->copyClipping();
    const std::string joined = third + "\n" + first;
    std::string read;
    const auto deadline = Clock::now() + 10s;
    while ((read = readClipboard(QStringLiteral("UTF8_STRING"))) != joined && Clock::now() < deadline)
        runEventsFor(50ms);
    EXPECT_EQ(read, joined);
    EXPECT_EQ(textAt(0), third);
    EXPECT_EQ(textAt(1), first);
    runEventsFor(500ms);
    EXPECT_EQ(rows(), kLimit) << "our own write is no new clipping";
    EXPECT_TRUE(matchesStore());
}

// A row dragged with the pointer (xdotool, as a hand would) onto another
// program's window: that program receives the clipping.
TEST_F(ClippingsPanelX11Test, ARowDraggedOntoAnotherProgramsWindowDeliversItsText) {
    panel_->window()->move(0, 0);
    runEventsFor(100ms);
    QProcess target;
    target.start(QStringLiteral(TAVLO_DROP_WINDOW), {"600", "100", "300", "300"});
    std::string said;
    auto heard = [&](const std::string& what) {
        return runEventsUntil(
            [&] {
                said += target.readAllStandardOutput().toStdString();
                return said.find(what) != std::string::npos || target.state() == QProcess::NotRunning;
            },
            15s) &&
               said.find(what) != std::string::npos;
    };
    ASSERT_TRUE(heard("ready\n")) << said;
    const std::string text = textAt(1);
    QTableView* table = panel_->tableView();
    const QPoint from = table->viewport()->mapToGlobal(table->visualRect(table->model()->index(1, 0)).center());
    auto at = [](QPoint p) { return std::to_string(p.x()) + " " + std::to_string(p.y()); };
    // Pressed, moved past the drag distance, carried over and let go; the
    // steps leave the event loop time to start the drag and follow it.
    QProcess hand;
    hand.start(QStringLiteral("sh"),
               {"-c", QString::fromStdString("xdotool mousemove " + at(from) + " mousedown 1 sleep 0.3 mousemove " +
                                             at(from + QPoint(20, 20)) + " sleep 0.3 mousemove " + at(QPoint(700, 200)) +
                                             " sleep 0.3 mousemove " + at(QPoint(750, 250)) + " sleep 0.3 mouseup 1")});
    ASSERT_TRUE(heard("text ")) << said;
    runEventsUntil([&] { return hand.state() == QProcess::NotRunning; }, 5s);
    EXPECT_NE(said.find("format application/x-tavlo-clipping-metadata\n"), std::string::npos) << said;
    EXPECT_NE(said.find("text " + text + "\n"), std::string::npos) << said;
    runEventsUntil([&] { return target.state() == QProcess::NotRunning; }, 5s);
}

// A drag within a list, by the pointer: it enters the rows in the middle of
// one (where nothing can drop), yet as it moves on a line shows the edge
// between rows where the rows would go, and the line goes with the drop.
TEST_F(ClippingsPanelX11Test, ADragWithinAListShowsWhereTheRowsWouldGo) {
    auto list = makeList("L-order", "Order");
    for (int i = 0; i < 3; ++i) {
        auto clipping = std::static_pointer_cast<Clipping>(context_->insertNewObject(Clipping::kEntityName));
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setText("ordered " + std::to_string(i));
        clipping->setTavloDate(foundation::Date::now().addingTimeInterval(-5000 - i));
        clipping->setList(list);
        clipping->setIndex(i);
    }
    ASSERT_TRUE(context_->save().ok());
    // Drops onto the dragging program's own window are found through the
    // window manager's stacking, as on a desktop.
    auto openbox = startOpenbox();
    ASSERT_TRUE(openbox);
    panel_->window()->move(0, 0);
    panel_->selectList(list);
    runEventsFor(300ms);
    ASSERT_EQ(rows(), 3);
    QTableView* table = panel_->tableView();
    auto rowRect = [&](int row) { return table->visualRect(table->model()->index(row, 0)); };
    const QPoint from = table->viewport()->mapToGlobal(rowRect(2).center());
    const QPoint to = table->viewport()->mapToGlobal(QPoint(rowRect(0).center().x(), rowRect(0).top() + 2));
    // The drag runs a loop of its own: a timer looks at the line meanwhile.
    std::vector<int> lineAt;
    QTimer look;
    QObject::connect(&look, &QTimer::timeout, [&] {
        if (panel_->dropIndicator()->isVisible()) lineAt.push_back(panel_->dropIndicator()->geometry().center().y());
    });
    look.start(20);
    int ended = 0;
    auto token = foundation::NotificationCenter::defaultCenter().addObserver(
        TLClippingTableViewEndDraggingNotification, nullptr, [&](const foundation::Notification&) { ++ended; });
    auto at = [](QPoint p) { return std::to_string(p.x()) + " " + std::to_string(p.y()); };
    // Pressed, moved past the drag distance and up the rows in steps, held at
    // the top edge of the first row and let go.
    std::string steps = "xdotool mousemove " + at(from) + " mousedown 1 sleep 0.3";
    for (int y = from.y() - 20; y > to.y(); y -= 20) steps += " mousemove " + at(QPoint(from.x(), y)) + " sleep 0.2";
    steps += " mousemove " + at(to) + " sleep 0.6 mouseup 1";
    QProcess hand;
    hand.start(QStringLiteral("sh"), {"-c", QString::fromStdString(steps)});
    EXPECT_TRUE(runEventsUntil([&] { return ended > 0 && hand.state() == QProcess::NotRunning; }, 15s));
    look.stop();
    foundation::NotificationCenter::defaultCenter().removeObserver(token);
    ASSERT_FALSE(lineAt.empty()) << "a line showed where the rows would go";
    EXPECT_LE(std::abs(lineAt.back() - rowRect(0).top()), 2) << "at the top of the first row, under the pointer";
    EXPECT_FALSE(panel_->dropIndicator()->isVisible()) << "and went with the drop";
}

TEST_F(ClippingsPanelX11Test, AnImageItemCopiedFromThePopoverReachesOtherPrograms) {
    auto clipping = seeds_.front();
    clipping->setText(std::nullopt);
    clipping->setImage("public.png");
    ASSERT_TRUE(context_->save().ok());
    QImage image(40, 30, QImage::Format_RGB32);
    image.fill(Qt::magenta);
    QByteArray bytes;
    QBuffer buffer(&bytes);
    buffer.open(QIODevice::WriteOnly);
    image.save(&buffer, "PNG");
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping->clippingID())->filePath();
    std::filesystem::create_directories(folder);
    std::ofstream(folder / "0.public.png", std::ios::binary) << bytes.toStdString();

    TLClippingItemViewController item;
    item.setClipping(clipping);
    item.setItemImage(image);
    item.setItemImageType("public.png");
    item.setItemImageIndex(0);
    item.viewDidLoad();
    item.copyItem();
    runEventsFor(100ms);
    const std::string targets = readClipboard(QStringLiteral("TARGETS"));
    EXPECT_NE(targets.find("image/png"), std::string::npos) << targets;
    EXPECT_NE(targets.find("application/x-tavlo-clipping-metadata"), std::string::npos) << targets;
    EXPECT_EQ(readClipboard(QStringLiteral("image/png")), bytes.toStdString());
    EXPECT_EQ(readClipboard(QStringLiteral("application/x-tavlo-clipping-metadata")), *clipping->clippingID());
}


// As the user meets it: a terminal was active, the panel came over it, and a
// paste puts the selected clipping into the terminal.
TEST_F(ClippingsPanelX11Test, APastePutsTheClippingIntoTheTerminalActiveBefore) {
    using testsupport::runCommand;
    if (runCommand({"sh", "-c", "command -v openbox && command -v xterm"}, 5s).status != 0)
        GTEST_SKIP() << "needs openbox and xterm";
    auto openbox = startOpenbox();
    ASSERT_TRUE(openbox);
    const std::filesystem::path out = home_.root() / "out";
    auto xterm = startPasteTerminal(out.string());
    ASSERT_TRUE(xterm);

    foundation::Bundle::setMainBundlePath(TAVLO_BUNDLE_DIR);
    std::filesystem::create_directories(foundation::Paths::applicationScripts());
    ASSERT_TRUE(TLPasteScript::installPasteScript(foundation::Paths::applicationScripts()).ok());

    // The panel comes over the terminal and takes the keyboard.
    const std::string panelWindow = std::to_string(panel_->window()->winId());
    runCommand({"xdotool", "windowactivate", "--sync", panelWindow}, 5s);
    ASSERT_TRUE(runEventsUntil([&] { return panel_->isActiveWindow(); }, 5s));
    auto front = manager_->frontApplication()->lastForeignApplication();
    ASSERT_TRUE(front);
    EXPECT_EQ(front->bundleName, "XTerm");

    const auto floatSetting = TLSettings()->objectForKey(TLUserDefaultsFloatWindow);
    const size_t stored = panel_->clippingsController().count();
    auto* selection = panel_->tableView()->selectionModel();
    selection->setCurrentIndex(panel_->tableView()->model()->index(3, 0),
                               QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    const std::string text = textAt(3);
    panel_->pasteItems();
    auto written = [&] {
        std::ifstream in(out);
        std::string got((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
        return got;
    };
    EXPECT_TRUE(runEventsUntil([&] { return written() == text; }, 10s)) << written();
    runEventsFor(1s);
    EXPECT_EQ(written(), text);
    EXPECT_EQ(textAt(0), text) << "the pasted clipping moved to the top";
    EXPECT_EQ(panel_->clippingsController().count(), stored) << "our own write is no new clipping";
    EXPECT_EQ(TLSettings()->objectForKey(TLUserDefaultsFloatWindow), floatSetting);
    foundation::Bundle::setMainBundlePath({});
}

}  // namespace
