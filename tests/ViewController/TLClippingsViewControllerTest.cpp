// The clippings panel over a store in a temporary home, on Qt's offscreen
// platform with the virtual clock: the rows it shows at and beyond the history
// limit, the table's model under every kind of change, row heights measured
// off the main thread, thumbnails of good and bad image files, the clipboard
// marks, the footer and the empty state, and the table's clicks.
#include <gtest/gtest.h>

#include <QAbstractItemModelTester>
#include <QApplication>
#include <QBuffer>
#include <QContextMenuEvent>
#include <QAbstractButton>
#include <QHeaderView>
#include <QLabel>
#include <QPainter>
#include <QPdfWriter>
#include <QScrollBar>
#include <QTest>
#include <QThread>

#include <atomic>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <thread>

#include "ViewController/TLClippingsViewController.h"
#include "tests/ViewController/ClippingsPanelFixture.h"
#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSColorTavloColors.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Menu.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "tests/support/TempHome.h"
#include "views/NSStringGeometrics.h"
#include "views/TLCellHeightCache.h"
#include "views/TLClippingCellView.h"
#include "views/TLImageView.h"
#include "views/TLTitleView.h"
#include "views/TLView.h"

namespace {

using namespace panelTest;

TEST_F(ClippingsPanelTest, TheHistoryLimitCapsRowsAndFooterAndItsLastRowColoursTheFooter) {
    auto list = makeList("Work");
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 150; ++i) clippings.push_back(add("clipping " + std::to_string(i), i, nullptr, false));
    ASSERT_TRUE(context_->save().ok());
    TLSettings()->setInteger(100, TLUserDefaultsClipboardSize);
    Panel& panel = makePanel();
    EXPECT_EQ(panel.tableView()->model()->rowCount(), 100);
    EXPECT_EQ(panel.footerLabel()->text(), QStringLiteral("100 clippings"));
    EXPECT_EQ(footerColor(), NSColorTavloColors::tlRedColor()) << "row 99 is in no list";

    clippings[99]->setList(list);
    ASSERT_TRUE(context_->save().ok());
    drain();
    EXPECT_EQ(footerColor(), QColor(Qt::black)) << "row 99 is listed (light)";
    EXPECT_FALSE(panel.isShowingEmptyState());

    // A limit of 0 or less is no limit, as the trim takes it.
    for (int64_t limit : {int64_t(0), int64_t(-1)}) {
        TLSettings()->setInteger(limit, TLUserDefaultsClipboardSize);
        panel.fetchClippings();
        EXPECT_EQ(panel.tableView()->model()->rowCount(), 150) << limit;
        EXPECT_EQ(panel.footerLabel()->text(), QStringLiteral("150 clippings")) << limit;
        EXPECT_EQ(footerColor(), QColor(Qt::black)) << limit;
    }
}

TEST_F(ClippingsPanelTest, AnEmptyStoreShowsTheEmptyStateAndTheSingular) {
    Panel& panel = makePanel();
    EXPECT_EQ(panel.tableView()->model()->rowCount(), 0);
    EXPECT_EQ(panel.footerLabel()->text(), QStringLiteral("0 clipping"));
    EXPECT_TRUE(panel.isShowingEmptyState());
    ASSERT_NE(panel.emptyStateImageView(), nullptr);
    EXPECT_FALSE(panel.emptyStateImageView()->image().isNull());

    add("one", 0);
    drain();
    EXPECT_EQ(panel.footerLabel()->text(), QStringLiteral("1 clipping"));
    EXPECT_FALSE(panel.isShowingEmptyState());
    add("two", 0);
    drain();
    EXPECT_EQ(panel.footerLabel()->text(), QStringLiteral("2 clippings"));
}

TEST_F(ClippingsPanelTest, RowsFollowCapturesDeletionsAndRefreshesAtTheCap) {
    auto list = makeList("Kept");
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 15; ++i) clippings.push_back(add("old " + std::to_string(i), 100 + i, i == 12 ? list : nullptr, false));
    ASSERT_TRUE(context_->save().ok());
    TLSettings()->setInteger(10, TLUserDefaultsClipboardSize);
    Panel& panel = makePanel();
    QAbstractItemModelTester tester(panel.tableView()->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    ASSERT_EQ(shown(), expected());

    // A capture at the cap: exactly ten rows, the new one first, selected half a second later.
    auto fresh = add("new", 0);
    drain();
    EXPECT_EQ(shown().size(), 10u);
    EXPECT_EQ(shown().front(), fresh->clippingID());
    EXPECT_EQ(shown(), expected());
    EXPECT_FALSE(panel.tableView()->selectionModel()->isRowSelected(0, {}));
    advance(Panel::kSelectNewRowDelay);
    EXPECT_TRUE(panel.tableView()->selectionModel()->isRowSelected(0, {}));

    // A deletion refills from beyond the cap.
    context_->deleteObject(clippings[2]);
    ASSERT_TRUE(context_->save().ok());
    drain();
    EXPECT_EQ(shown().size(), 10u);
    EXPECT_EQ(shown(), expected());

    // A duplicate refresh of a listed clipping beyond the cap brings it to the top.
    auto before = shown();
    ASSERT_EQ(std::count(before.begin(), before.end(), clippings[12]->clippingID().value()), 0);
    clippings[12]->setTavloDate(foundation::Date(1.7e9 + 10));
    ASSERT_TRUE(context_->save().ok());
    drain();
    EXPECT_EQ(shown().front(), clippings[12]->clippingID());
    EXPECT_EQ(shown(), expected());

    // The duplicate pass deletes in the parent context and says so.
    auto victim = shown()[3];
    auto parent = database_->parentManagedObjectContext();
    parent->performBlockAndWait([&] {
        store::FetchRequest request(Clipping::kEntityName);
        auto found = parent->fetch(request);
        ASSERT_TRUE(found);
        for (auto& object : found.value())
            if (std::static_pointer_cast<Clipping>(object)->clippingID() == victim) parent->deleteObject(object);
        ASSERT_TRUE(parent->save().ok());
    });
    foundation::NotificationCenter::defaultCenter().post(TLRemovedDuplicateClippingNotification);
    drain();
    auto after = shown();
    EXPECT_EQ(std::count(after.begin(), after.end(), victim), 0);
    EXPECT_EQ(shown().size(), 10u);

    // A while after the panel is made, the heights of clippings gone go too.
    const std::string kept = shown().front();
    TLCellHeightCache::setCellHeight(40, kept, 320);
    TLCellHeightCache::setCellHeight(40, victim, 320);
    advance(Panel::kPruneDelay);
    parent->performBlockAndWait([] {});
    EXPECT_EQ(TLCellHeightCache::cellHeightForClipping(kept, 320), 40.0f);
    EXPECT_EQ(TLCellHeightCache::cellHeightForClipping(victim, 320), 0.0f);
}

TEST_F(ClippingsPanelTest, TheModelMirrorsTheShownRowsThroughRandomChanges) {
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 30; ++i) clippings.push_back(add("c" + std::to_string(i), 1000 + i, nullptr, false));
    ASSERT_TRUE(context_->save().ok());
    TLSettings()->setInteger(20, TLUserDefaultsClipboardSize);
    Panel& panel = makePanel();
    QAbstractItemModelTester tester(panel.tableView()->model(), QAbstractItemModelTester::FailureReportingMode::Fatal);
    std::mt19937 random(24);
    double now = 0;
    for (int step = 0; step < 200; ++step) {
        int kind = int(random() % 5);
        int batch = 1 + int(random() % 3);  // some batches hold several changes
        for (int b = 0; b < batch; ++b) {
            if (clippings.empty()) kind = 0;
            size_t pick = clippings.empty() ? 0 : random() % clippings.size();
            switch (kind) {
            case 0: clippings.push_back(add("n" + std::to_string(step), -(now += 1), nullptr, false)); break;
            case 1:
                context_->deleteObject(clippings[pick]);
                clippings.erase(clippings.begin() + long(pick));
                break;
            case 2: clippings[pick]->setTavloDate(foundation::Date(1.7e9 + (now += 1))); break;
            case 3: clippings[pick]->setText("edited " + std::to_string(step)); break;
            default: clippings[pick]->setPasteboardIndex(int64_t(step)); break;
            }
        }
        ASSERT_TRUE(context_->save().ok());
        drain();
        ASSERT_EQ(shown(), expected()) << "step " << step;
    }
}

TEST_F(ClippingsPanelTest, HeightsArePlaceholdersThenMeasurementsOffTheMainThread) {
    std::string longText;
    while (longText.size() < 2000) longText += "words of a long text ";
    longText = "   \n" + longText;
    auto two = add(longText, 1, nullptr, false);
    std::string first500 = longText.substr(4, 500);
    while (!first500.empty() && first500.back() == ' ') first500.pop_back();
    auto five = add(first500, 2, nullptr, false);
    auto wide = addImage("public.png", 3);
    QImage picture(1000, 500, QImage::Format_RGB32);
    picture.fill(Qt::green);
    ASSERT_TRUE(picture.save(QString::fromStdString((assetFolder(*wide) / "0.public.png").string())));
    auto missing = addImage("public.png", 4);  // no folder, no file

    std::atomic<int> onMain{0}, measured{0};
    Panel::Configuration configuration;
    configuration.context = context_;
    panel_ = std::make_unique<Panel>(configuration);
    panel_->setMeasurementObserver([&] {
        ++measured;
        if (QThread::currentThread() == qApp->thread()) ++onMain;
    });
    panel_->resize(360, 600);
    panel_->show();
    Panel& panel = *panel_;
    // Before the measurements land (they come back through the event loop):
    // the placeholder, a whole number.
    const int placeholder = int(std::ceil(2 * (14.0 + 3) + 10 + 10));
    EXPECT_EQ(panel.tableView()->rowHeight(0), placeholder);
    drain();
    EXPECT_EQ(onMain.load(), 0);
    EXPECT_GE(measured.load(), 4);
    EXPECT_EQ(panel.pendingMeasurements(), 0u);
    const double width = 360;
    EXPECT_EQ(TLCellHeightCache::cellHeightForClipping(*two->clippingID(), width),
              TLCellHeightCache::cellHeightForClipping(*five->clippingID(), width));
    EXPECT_GT(TLCellHeightCache::cellHeightForClipping(*two->clippingID(), width), 34);
    EXPECT_EQ(TLCellHeightCache::cellHeightForClipping(*wide->clippingID(), width), std::floor(0.308 * 500));
    EXPECT_EQ(TLCellHeightCache::cellHeightForClipping(*missing->clippingID(), width), 34) << "the minimum, kept";
    EXPECT_GT(panel.tableView()->rowHeight(0), placeholder);
    for (int row = 0; row < 4; ++row) EXPECT_EQ(panel.tableView()->rowHeight(row), panel.heightOfRow(row)) << row;
    // Nothing is measured again.
    int before = measured.load();
    panel.updateVisibleRowHeights();
    drain();
    EXPECT_EQ(measured.load(), before);

    // One line per row: the content is one line of the 14-px font at most.
    TLSettings()->setInteger(1, TLUserDefaultsRowHeightKey);
    panel.rowHeightChanged();
    QFont font = TLClippingCellView::systemFont(14);
    EXPECT_EQ(panel.maxHeight(), std::ceil(NSStringGeometrics::sizeForWidth("hg", 308, 300, &font).height()));
}

TEST_F(ClippingsPanelTest, PendingMeasurementsLandOnTheirOwnRowsAfterAnInsert) {
    for (int i = 0; i < 20; ++i) {
        std::string text = "row";
        for (int line = 0; line < i % 7; ++line) text += "\nline";
        add(text, 10 + i, nullptr, false);
    }
    ASSERT_TRUE(context_->save().ok());
    std::promise<void> gate;
    std::shared_future<void> open = gate.get_future().share();
    Panel::Configuration configuration;
    configuration.context = context_;
    panel_ = std::make_unique<Panel>(configuration);
    panel_->setMeasurementObserver([open] { open.wait(); });
    panel_->resize(360, 2000);
    panel_->show();
    QCoreApplication::processEvents();
    EXPECT_EQ(panel_->pendingMeasurements(), 20u);
    add("a new first row", 0);  // every row moves down one
    dispatch::MainQueue::runUntilIdle();
    gate.set_value();
    drain();
    EXPECT_EQ(panel_->pendingMeasurements(), 0u);
    for (int row = 0; row < 21; ++row)
        EXPECT_EQ(panel_->tableView()->rowHeight(row), panel_->heightOfRow(row)) << row;
}

TEST_F(ClippingsPanelTest, MarksFollowTheClipboardNoticeFromAnyThread) {
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 10; ++i) clippings.push_back(add("c" + std::to_string(i), i, nullptr, false));
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    (void)panel.grab();  // the visible rows get their cells
    pasteboardIDs_ = std::vector<std::string>{*clippings[3]->clippingID(), *clippings[7]->clippingID()};
    std::thread poster([] {
        foundation::NotificationCenter::defaultCenter().post(TLClipboardDidUpdateNotification);
    });
    poster.join();
    dispatch::MainQueue::runUntilIdle();
    for (int row = 0; row < 10; ++row) {
        TLClippingCellView* cell = panel.tableView()->viewAtRow(row, false);
        ASSERT_NE(cell, nullptr) << row;
        EXPECT_EQ(cell->tavlo(), row == 3 || row == 7) << row;
    }
}

TEST_F(ClippingsPanelTest, MarksFollowTheClipboardThroughDuplicateRefreshesAndCaptures) {
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 10; ++i) clippings.push_back(add("c" + std::to_string(i), i, nullptr, false));
    ASSERT_TRUE(context_->save().ok());
    pasteboardIDs_ = std::vector<std::string>{*clippings[5]->clippingID()};
    Panel& panel = makePanel();
    auto marked = [&] {
        (void)panel.grab();
        drain();
        std::vector<int> rows;
        for (int row = 0; row < panel.tableView()->model()->rowCount(); ++row) {
            TLClippingCellView* cell = panel.tableView()->viewAtRow(row, false);
            if (cell && cell->tavlo()) rows.push_back(row);
        }
        return rows;
    };
    EXPECT_EQ(marked(), std::vector<int>{5});
    // A duplicate copied again comes to the top and is what the clipboard
    // holds now, with no clipboard notice: the mark follows it.
    clippings[7]->setTavloDate(foundation::Date(1.7e9 + 5));
    pasteboardIDs_ = std::vector<std::string>{*clippings[7]->clippingID()};
    ASSERT_TRUE(context_->save().ok());
    EXPECT_EQ(marked(), std::vector<int>{0});
    // A capture above it takes the mark down with it.
    add("newest", -10);
    EXPECT_EQ(marked(), std::vector<int>{1});
}

TEST_F(ClippingsPanelTest, AClippingWithoutAnAddDateTakesItsClipboardDateEvenWhenTheSaveFails) {
    auto old = add("from before add dates were kept", 50, nullptr, false);
    old->setAddDate(std::nullopt);
    ASSERT_TRUE(context_->save().ok());
    int saves = 0;
    saveContext_ = [&](store::Context&) -> foundation::Result<void> {
        ++saves;
        return foundation::Error("NSCocoaErrorDomain", 134030, "The disk is full.");
    };
    Panel& panel = makePanel();
    (void)panel.grab();
    drain();
    ASSERT_EQ(shown(), std::vector<std::string>{old->clippingID().value()});
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(old->addDate(), old->tavloDate());
    EXPECT_EQ(old->sync(), true);
    EXPECT_TRUE(old->modifiedDate());

    // The failure is ignored: the row stays, and the repair waits among the
    // context's unsaved changes instead of being made and saved at every paint.
    EXPECT_TRUE(context_->hasChanges());
    for (int i = 0; i < 3; ++i) {
        panel.fetchClippings();
        (void)panel.grab();
        drain();
    }
    EXPECT_EQ(saves, 1);
    EXPECT_EQ(shown(), std::vector<std::string>{old->clippingID().value()});
    // The context's next save writes it.
    ASSERT_TRUE(context_->save().ok());
    EXPECT_FALSE(context_->hasChanges());
    EXPECT_EQ(old->addDate(), old->tavloDate());
}

TEST_F(ClippingsPanelTest, ClicksSelectInOrderAndAltClicksAreReported) {
    std::vector<std::shared_ptr<Clipping>> clippings;
    for (int i = 0; i < 8; ++i) clippings.push_back(add("c" + std::to_string(i), i, nullptr, false));
    ASSERT_TRUE(context_->save().ok());
    Panel& panel = makePanel();
    TLClippingsTableView& table = *panel.tableView();
    auto* selection = table.selectionModel();
    auto* model = table.model();

    // Row 5, then row 2 added: the selection keeps that order.
    selection->setCurrentIndex(model->index(5, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
    selection->setCurrentIndex(model->index(2, 0), QItemSelectionModel::Select | QItemSelectionModel::Rows);
    ASSERT_EQ(panel.selectedClippings().size(), 2u);
    EXPECT_EQ(panel.selectedClippings()[0], clippings[5]);
    EXPECT_EQ(panel.selectedClippings()[1], clippings[2]);
    EXPECT_EQ(panel.nextClippingIndex(), 3);

    // A right click below the rows: no menu, the selection stays.
    table.setMenu(std::make_shared<desktop::Menu>("Row"));
    QPoint below(20, table.viewport()->height() - 5);
    ASSERT_LT(table.rowAt(below.y()), 0);
    EXPECT_EQ(table.menuForEventAt(below), nullptr);
    QContextMenuEvent belowEvent(QContextMenuEvent::Mouse, below, table.viewport()->mapToGlobal(below));
    QApplication::sendEvent(table.viewport(), &belowEvent);
    EXPECT_EQ(selection->selectedRows().size(), 2);
    // On an unselected row: it alone; on a selected one: the selection stays.
    QPoint row6 = table.visualRect(model->index(6, 0)).center();
    EXPECT_NE(table.menuForEventAt(row6), nullptr);
    EXPECT_EQ(selection->selectedRows().size(), 1);
    EXPECT_TRUE(selection->isRowSelected(6, {}));

    // Alt alone carries out its action after the release (opening a link here,
    // which beeps for a row without one); Alt+Shift does not. Every press ends
    // with the notice.
    TLSettings()->setInteger(8, TLUserDefaultsOptionClickActionKey);
    const int beeps = Panel::beepCount();
    int ends = 0;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto token = center.addObserver(TLClippingTableViewEndDraggingNotification, nullptr,
                                    [&](const foundation::Notification&) { ++ends; });
    QPoint row1 = table.visualRect(model->index(1, 0)).center();
    QTest::mouseClick(table.viewport(), Qt::LeftButton, Qt::AltModifier, row1);
    QTest::mouseClick(table.viewport(), Qt::LeftButton, Qt::AltModifier | Qt::ShiftModifier, row1);
    QTest::mouseClick(table.viewport(), Qt::LeftButton, Qt::NoModifier, row1);
    center.removeObserver(token);
    EXPECT_EQ(Panel::beepCount(), beeps + 1);
    EXPECT_EQ(ends, 3);
}

TEST_F(ClippingsPanelTest, ThumbnailsOfGoodAndBadFiles) {
    const fs::path folder = home_.root() / "images";
    fs::create_directories(folder);
    auto path = [&](const char* name) { return QString::fromStdString((folder / name).string()); };

    // A PDF of two pages, red then blue: its first page.
    {
        QPdfWriter writer(path("two.pdf"));
        writer.setResolution(72);
        QPainter painter(&writer);
        painter.fillRect(QRect(0, 0, 2000, 2000), Qt::red);
        writer.newPage();
        painter.fillRect(QRect(0, 0, 2000, 2000), Qt::blue);
    }
    QImage page = Panel::thumbnailForFile(path("two.pdf"), 404);
    ASSERT_FALSE(page.isNull());
    int red = 0, blue = 0;
    for (int y = 0; y < page.height(); y += 4)
        for (int x = 0; x < page.width(); x += 4) {
            QColor c = page.pixelColor(x, y);
            if (c.red() > 200 && c.green() < 60 && c.blue() < 60) ++red;
            if (c.blue() > 200 && c.red() < 60 && c.green() < 60) ++blue;
        }
    EXPECT_GT(red, 0);
    EXPECT_EQ(blue, 0);

    // A 4000 x 3000 photo in a 404-px panel: 600 x 450.
    QImage photo(4000, 3000, QImage::Format_RGB32);
    photo.fill(Qt::darkCyan);
    ASSERT_TRUE(photo.save(path("photo.jpg"), "JPEG"));
    EXPECT_EQ(Panel::thumbnailForFile(path("photo.jpg"), 404).size(), QSize(600, 450));

    // Bad files give nothing, or a small picture, and never a crash.
    { std::ofstream(folder / "empty.png"); }
    QByteArray png;
    {
        QBuffer buffer(&png);
        buffer.open(QIODevice::WriteOnly);
        photo.save(&buffer, "PNG");
    }
    { std::ofstream(folder / "truncated.png", std::ios::binary).write(png.constData(), png.size() / 3); }
    { std::ofstream(folder / "0.public.jpeg", std::ios::binary).write(png.constData(), png.size()); }
    // A header claiming 60,000 x 60,000 pixels.
    QByteArray huge = png.left(33);
    for (int i : {16, 20}) {
        huge[i] = 0, huge[i + 1] = 0, huge[i + 2] = char(0xEA), huge[i + 3] = char(0x60);
    }
    { std::ofstream(folder / "huge.png", std::ios::binary).write(huge.constData(), huge.size()); }
    // 5,000 frames of one pixel.
    {
        std::ofstream gif(folder / "frames.gif", std::ios::binary);
        const unsigned char head[] = {'G', 'I', 'F', '8', '9', 'a', 1, 0, 1, 0, 0x80, 0, 0, 0, 0, 0, 255, 255, 255};
        gif.write(reinterpret_cast<const char*>(head), sizeof head);
        const unsigned char frame[] = {0x21, 0xF9, 4, 0, 1, 0, 0, 0, 0x2C, 0, 0, 0, 0, 1, 0, 1, 0, 0, 2, 2, 0x44, 1, 0};
        for (int i = 0; i < 5000; ++i) gif.write(reinterpret_cast<const char*>(frame), sizeof frame);
        gif.put(0x3B);
    }
    for (const char* name : {"empty.png", "truncated.png", "huge.png", "missing.png"})
        EXPECT_TRUE(Panel::thumbnailForFile(path(name), 404).isNull()) << name;
    QImage mislabelled = Panel::thumbnailForFile(path("0.public.jpeg"), 404);
    EXPECT_TRUE(mislabelled.isNull() || mislabelled.width() <= 600);
    QImage frames = Panel::thumbnailForFile(path("frames.gif"), 404);
    EXPECT_TRUE(frames.isNull() || frames.size() == QSize(1, 1));

    // In the panel: thumbnails land in the cache; a missing file leaves the plate.
    auto shownPhoto = addImage("public.jpeg", 1);
    fs::copy_file(folder / "photo.jpg", assetFolder(*shownPhoto) / "0.public.jpeg");
    auto bad = addImage("public.png", 2);
    fs::copy_file(folder / "huge.png", assetFolder(*bad) / "0.public.png");
    auto gone = addImage("public.png", 3);
    Panel& panel = makePanel(404, 600);
    (void)panel.grab();
    drain();
    EXPECT_EQ(panel.cachedThumbnail(*shownPhoto->clippingID()).size(), QSize(600, 450));
    EXPECT_TRUE(panel.cachedThumbnail(*bad->clippingID()).isNull());
    EXPECT_TRUE(panel.cachedThumbnail(*gone->clippingID()).isNull());
    EXPECT_EQ(TLCellHeightCache::cellHeightForClipping(*gone->clippingID(), 404), 34);
}

TEST_F(ClippingsPanelTest, TheSyncButtonTurnsWhileSyncingAndOpensThePreferencesWhenOff) {
    add("one", 0);
    Panel& panel = makePanel();
    std::optional<std::string> tab;
    auto& center = foundation::NotificationCenter::defaultCenter();
    auto token = center.addObserver(TLShowPreferencesWindow, nullptr, [&](const foundation::Notification& n) {
        const std::string* value = n.valueAs<std::string>();
        tab = value ? *value : std::string();
    });
    panel.syncButton()->click();
    center.removeObserver(token);
    EXPECT_EQ(tab, "sync");
    EXPECT_FALSE(panel.isSyncButtonAnimating());

    std::thread engine([] {
        foundation::Notification status{TLShowSyncStatusNotification, nullptr, std::string("Syncing"), {}};
        foundation::NotificationCenter::defaultCenter().post(status);
    });
    engine.join();
    dispatch::MainQueue::runUntilIdle();
    EXPECT_TRUE(panel.syncing());
    EXPECT_TRUE(panel.isSyncButtonAnimating());
    center.post(TLShowSyncStatusNotification);
    dispatch::MainQueue::runUntilIdle();
    EXPECT_FALSE(panel.syncing());
}

TEST_F(ClippingsPanelTest, PredicatesAndSortOrders) {
    auto list = makeList("Recipes");
    Panel& panel = makePanel();
    struct Case {
        bool searching, inList, hideListItems;
    } cases[] = {{true, true, false}, {true, false, false}, {false, true, false}, {false, false, true}, {false, false, false}};
    for (const auto& c : cases) {
        TLSettings()->setBool(c.hideListItems, TLUserDefaultsHideListItems);
        panel.setList(c.inList ? list : nullptr);
        panel.setSearchString(c.searching ? std::optional<std::string>("cafe") : std::nullopt);
        auto request = panel.clippingsControllerFetchRequest();
        ASSERT_TRUE(request->predicate);
        EXPECT_TRUE(context_->fetch(*request)) << c.searching << c.inList;
    }
    panel.setList(list);
    panel.setSearchString(std::nullopt);
    ASSERT_EQ(panel.clippingsControllerSortDescriptors().size(), 1u);
    panel.setSearchString("x");
    EXPECT_EQ(panel.clippingsControllerSortDescriptors().size(), 2u);
    panel.setList(nullptr);
    panel.setSearchString(std::nullopt);
    TLSettings()->setBool(false, TLUserDefaultsSortByAddDate);
    TLSettings()->setBool(true, TLUserDefaultsReverseSort);
    auto sort = panel.clippingsControllerSortDescriptors();
    EXPECT_EQ(sort[0].key, "tavloDate");
    EXPECT_FALSE(sort[0].ascending) << "reverse needs the add date";
    TLSettings()->setBool(true, TLUserDefaultsSortByAddDate);
    sort = panel.clippingsControllerSortDescriptors();
    EXPECT_EQ(sort[0].key, "addDate");
    EXPECT_TRUE(sort[0].ascending);
    EXPECT_EQ(sort[1].key, "pasteboardIndex");
}

TEST_F(ClippingsPanelTest, ChildrenCarryTheirOutletNamesAndTheTitleHoldsTheMiddleThird) {
    Panel& panel = makePanel();
    panel.toggleSearch();  // the search field and its cancel button come with the first search
    const std::pair<const char*, const QObject*> outlets[] = {
        {"headerView", panel.headerView()},       {"titleView", panel.titleView()},
        {"searchButton", panel.searchButton()},   {"syncButton", panel.syncButton()},
        {"settingsButton", panel.settingsButton()}, {"tableView", panel.tableView()},
        {"footerView", panel.footerView()},       {"footerLabel", panel.footerLabel()},
        {"searchField", panel.searchField()},     {"cancelSearchButton", panel.cancelSearchButton()},
    };
    for (const auto& [name, object] : outlets) {
        SCOPED_TRACE(name);
        ASSERT_NE(object, nullptr);
        EXPECT_EQ(panel.findChild<QObject*>(QString::fromLatin1(name)), object);
    }
    EXPECT_EQ(panel.objectName(), QStringLiteral("clippingsView"));
    panel.cancelSearch();
    const QRect title = panel.titleView()->geometry();
    const int third = panel.headerView()->contentsRect().width() / 3;
    EXPECT_NEAR(title.width(), third, 8);
    EXPECT_NEAR(title.left(), third, 8);
}

TEST_F(ClippingsPanelTest, HugeTextsMeasureLikeShortOnes) {
    std::string huge(10 << 20, 'x');
    for (size_t i = 80; i < huge.size(); i += 81) huge[i] = ' ';
    auto big = add(huge, 0);
    Panel& panel = makePanel();
    (void)panel.grab();
    drain();
    float height = TLCellHeightCache::cellHeightForClipping(*big->clippingID(), 360);
    EXPECT_GT(height, 34);
    EXPECT_LE(height, 300);
    EXPECT_EQ(panel.tableView()->rowHeight(0), panel.heightOfRow(0));
}

}  // namespace
