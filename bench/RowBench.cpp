// Clipping rows: painting 20 visible mixed rows beside a plain
// QStyledItemDelegate painting the same texts, a 10 MB row beside a
// 500-character one, and the height cache at 100,000 clippings x 2 widths
// (memory beside a std::unordered_map<std::string, float> of the same entries,
// a read, a write, and a synchronise of the settings file with the stored
// cache beside the same file without it). Runs on Qt's offscreen platform in
// a temporary settings folder.

#include <benchmark/benchmark.h>

#include <QApplication>
#include <QPainter>
#include <QStandardItemModel>
#include <QStyledItemDelegate>

#include <malloc.h>

#include <cstdlib>
#include <filesystem>
#include <random>
#include <string>
#include <unordered_map>
#include <vector>

#include "platform/foundation/UserDefaults.h"
#include "views/TLCellHeightCache.h"
#include "views/TLClippingCellView.h"
#include "views/TLClippingRowView.h"

namespace {

using Cell = TLClippingCellView;
using Fields = Cell::Fields;

constexpr int kRows = 20;
constexpr int kWidth = 360;
constexpr int kClippings = 100000;

struct Row {
    Fields fields;
    QImage thumbnail;
    int height;
};

QString sentence(int i) {
    return QStringLiteral("Row %1: a clipping of ordinary length, copied from a mail or a page, which wraps over "
                          "two or three lines in the panel.").arg(i);
}

// Text, link with title, image with thumbnail and listed text with a badge, in turn.
std::vector<Row> mixedRows() {
    std::vector<Row> rows;
    QImage thumbnail(600, 300, QImage::Format_ARGB32_Premultiplied);
    thumbnail.fill(QColor(200, 120, 40));
    for (int i = 0; i < kRows; ++i) {
        Row row;
        row.height = 80;
        Fields& f = row.fields;
        switch (i % 4) {
        case 0:
            f.textEmpty = false;
            f.body = Cell::normalizedBody(sentence(i));
            break;
        case 1:
            f.hasURL = true, f.urlEmpty = false, f.urlNameEmpty = false;
            f.body = QStringLiteral("https://www.example.org/articles/%1/a-page-with-a-long-address").arg(i);
            f.urlName = QStringLiteral("The page's title, number %1").arg(i);
            f.sourceLine = f.body;
            break;
        case 2:
            f.hasImage = true;
            f.color = 0x336699;
            row.thumbnail = thumbnail;
            row.height = 150;
            break;
        default:
            f.textEmpty = false;
            f.body = Cell::normalizedBody(sentence(i));
            f.hasList = true;
            f.listName = QStringLiteral("Work");
            row.height = 100;
            break;
        }
        rows.push_back(std::move(row));
    }
    return rows;
}

int totalHeight(const std::vector<Row>& rows) {
    int h = 0;
    for (const auto& row : rows) h += row.height;
    return h;
}

void paintRows(QPainter& painter, std::vector<std::unique_ptr<Cell>>& cells, const std::vector<Row>& rows) {
    TLClippingRowView rowView;
    double y = 0;
    for (size_t i = 0; i < rows.size(); ++i) {
        QRectF frame(0, y, kWidth, rows[i].height);
        rowView.setFrame(frame);
        rowView.setCellView(cells[i].get());
        cells[i]->setFrame(frame);
        painter.save();
        painter.translate(frame.topLeft());
        rowView.draw(painter, rowView.bounds());
        cells[i]->drawRect(painter, cells[i]->bounds());
        painter.restore();
        y += rows[i].height;
    }
}

std::vector<std::unique_ptr<Cell>> cellsFor(const std::vector<Row>& rows) {
    std::vector<std::unique_ptr<Cell>> cells;
    for (size_t i = 0; i < rows.size(); ++i) {
        auto cell = std::make_unique<Cell>();
        cell->setFields(rows[i].fields);
        cell->setClippingImage(rows[i].thumbnail);
        cell->setShowsListName(true);
        cell->setRow(int64_t(i));
        cells.push_back(std::move(cell));
    }
    return cells;
}

// A repaint of the visible rows, as scrolling or the age timer asks.
void BM_Paint20MixedRows(benchmark::State& state) {
    auto rows = mixedRows();
    auto cells = cellsFor(rows);
    QImage frame(kWidth, totalHeight(rows), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        QPainter painter(&frame);
        paintRows(painter, cells, rows);
    }
}
BENCHMARK(BM_Paint20MixedRows)->Unit(benchmark::kMillisecond);

// The first paint of rows just given to their cells: every text laid out anew.
void BM_Paint20MixedRowsFresh(benchmark::State& state) {
    auto rows = mixedRows();
    QImage frame(kWidth, totalHeight(rows), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        auto cells = cellsFor(rows);
        QPainter painter(&frame);
        paintRows(painter, cells, rows);
    }
}
BENCHMARK(BM_Paint20MixedRowsFresh)->Unit(benchmark::kMillisecond);

class PlainDelegate : public QStyledItemDelegate {
public:
    using QStyledItemDelegate::initStyleOption;
};

void BM_PlainDelegate20Texts(benchmark::State& state) {
    auto rows = mixedRows();
    QStandardItemModel model(kRows, 1);
    for (int i = 0; i < kRows; ++i) {
        QString text = rows[size_t(i)].fields.body.isEmpty() ? QStringLiteral("image") : rows[size_t(i)].fields.body;
        model.setItem(i, 0, new QStandardItem(text));
    }
    PlainDelegate delegate;
    QImage frame(kWidth, totalHeight(rows), QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        QPainter painter(&frame);
        int y = 0;
        for (int i = 0; i < kRows; ++i) {
            QStyleOptionViewItem option;
            option.rect = QRect(0, y, kWidth, rows[size_t(i)].height);
            option.features |= QStyleOptionViewItem::WrapText;
            delegate.initStyleOption(&option, model.index(i, 0));
            delegate.paint(&painter, option, model.index(i, 0));
            y += rows[size_t(i)].height;
        }
    }
}
BENCHMARK(BM_PlainDelegate20Texts)->Unit(benchmark::kMillisecond);

// One text row given its clipping's text (copied as the store hands it over,
// then normalised) and painted, for a 500-character text and a 10 MB one.
void paintTextRow(benchmark::State& state, const std::string& text) {
    QImage frame(kWidth, 180, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        std::string copy = text;
        Fields f;
        f.textEmpty = copy.empty();
        f.body = Cell::normalizedBody(std::string_view(copy));
        Cell cell;
        cell.setFields(f);
        cell.setFrame(QRectF(0, 0, kWidth, 180));
        QPainter painter(&frame);
        cell.drawRect(painter, cell.bounds());
    }
}
void BM_TextRow500(benchmark::State& state) {
    std::string text;
    while (text.size() < 500) text += "word and word, ";
    text.resize(500);
    paintTextRow(state, text);
}
BENCHMARK(BM_TextRow500)->Unit(benchmark::kMicrosecond);
void BM_TextRow10MB(benchmark::State& state) {
    std::string text;
    while (text.size() < (10u << 20)) text += "word and word, ";
    paintTextRow(state, text);
}
BENCHMARK(BM_TextRow10MB)->Unit(benchmark::kMicrosecond);
// Painting alone: the row already holds its cut body.
void paintHeldRow(benchmark::State& state, size_t bytes) {
    std::string text;
    while (text.size() < bytes) text += "word and word, ";
    Fields f;
    f.textEmpty = false;
    f.body = Cell::normalizedBody(std::string_view(text));
    Cell cell;
    cell.setFields(f);
    cell.setFrame(QRectF(0, 0, kWidth, 180));
    QImage frame(kWidth, 180, QImage::Format_ARGB32_Premultiplied);
    for (auto _ : state) {
        QPainter painter(&frame);
        cell.drawRect(painter, cell.bounds());
    }
}
void BM_PaintHeldRow500(benchmark::State& state) { paintHeldRow(state, 500); }
BENCHMARK(BM_PaintHeldRow500)->Unit(benchmark::kMicrosecond);
void BM_PaintHeldRow10MB(benchmark::State& state) { paintHeldRow(state, 10u << 20); }
BENCHMARK(BM_PaintHeldRow10MB)->Unit(benchmark::kMicrosecond);

// Height cache -----------------------------------------------------------------

std::string clippingID(int i) {
    char buffer[40];
    std::snprintf(buffer, sizeof buffer, "C-%08X-1111-2222-3333-444455556666", unsigned(i));
    return buffer;
}

size_t heapBytes() { return mallinfo2().uordblks; }

void fillCache() {
    static bool filled = false;
    if (filled) return;
    filled = true;
    for (int i = 0; i < kClippings; ++i) {
        TLCellHeightCache::setCellHeight(40 + i % 60, clippingID(i), 320);
        TLCellHeightCache::setCellHeight(50 + i % 60, clippingID(i), 400.5);
    }
}

void BM_CacheMemory(benchmark::State& state) {
    TLCellHeightCache::sharedCache().setCachedHeights(foundation::PlistValue::Dictionary{});
    for (auto _ : state) {
        size_t before = heapBytes();
        fillCache();
        state.counters["MB"] = double(heapBytes() - before) / 1e6;
        state.counters["clippings"] = double(TLCellHeightCache::sharedCache().count());
    }
}

void BM_UnorderedMapMemory(benchmark::State& state) {
    for (auto _ : state) {
        size_t before = heapBytes();
        auto* map = new std::unordered_map<std::string, float>();
        for (int i = 0; i < kClippings; ++i) {
            (*map)[clippingID(i) + "/320"] = float(40 + i % 60);
            (*map)[clippingID(i) + "/400.5"] = float(50 + i % 60);
        }
        state.counters["MB"] = double(heapBytes() - before) / 1e6;
        benchmark::DoNotOptimize(map);
        delete map;
    }
}

void BM_CacheRead(benchmark::State& state) {
    fillCache();
    std::vector<std::string> ids;
    std::mt19937 random(7);
    for (int i = 0; i < 4096; ++i) ids.push_back(clippingID(int(random() % kClippings)));
    size_t i = 0;
    for (auto _ : state) benchmark::DoNotOptimize(TLCellHeightCache::cellHeightForClipping(ids[i++ & 4095], 320));
}

void BM_CacheWrite(benchmark::State& state) {
    fillCache();
    std::vector<std::string> ids;
    std::mt19937 random(8);
    for (int i = 0; i < 4096; ++i) ids.push_back(clippingID(int(random() % kClippings)));
    size_t i = 0;
    for (auto _ : state) {
        TLCellHeightCache::setCellHeight(double(i % 90), ids[i & 4095], 320);
        ++i;
    }
}

// synchronize() of the shared settings file after one other setting changed,
// with the stored cache in it and without.
void synchronizeSettings(benchmark::State& state, bool withCache) {
    fillCache();
    auto suite = foundation::UserDefaults::applicationGroup();
    if (withCache) TLCellHeightCache::storeNow();
    if (!withCache) suite->removeObjectForKey(TLCellHeightCache::kSettingsKey);
    for (int i = 0; i < 40; ++i) suite->setInteger(i, "Setting" + std::to_string(i));
    suite->synchronize();
    int64_t n = 0;
    for (auto _ : state) {
        suite->setInteger(++n, "TLUserDefaultsClipboardChangeCount");
        suite->synchronize();
    }
    state.counters["file_KB"] = double(std::filesystem::file_size(suite->filePath())) / 1024;
}
void BM_SynchronizeWithCache(benchmark::State& state) { synchronizeSettings(state, true); }
void BM_SynchronizeWithoutCache(benchmark::State& state) { synchronizeSettings(state, false); }

}  // namespace

BENCHMARK(BM_CacheMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_UnorderedMapMemory)->Iterations(1)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_CacheRead)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_CacheWrite)->Unit(benchmark::kNanosecond);
BENCHMARK(BM_SynchronizeWithCache)->Unit(benchmark::kMillisecond);
BENCHMARK(BM_SynchronizeWithoutCache)->Unit(benchmark::kMillisecond);

int main(int argc, char** argv) {
    ::setenv("QT_QPA_PLATFORM", "offscreen", 1);
    auto home = std::filesystem::temp_directory_path() / ("row_bench." + std::to_string(::getpid()));
    std::filesystem::create_directories(home);
    ::setenv("XDG_CONFIG_HOME", (home / "config").c_str(), 1);
    ::setenv("XDG_DATA_HOME", (home / "data").c_str(), 1);
    ::setenv("XDG_CACHE_HOME", (home / "cache").c_str(), 1);
    int status = 0;
    {
        QApplication app(argc, argv);
        ::benchmark::Initialize(&argc, argv);
        ::benchmark::RunSpecifiedBenchmarks();
        ::benchmark::Shutdown();
    }
    std::error_code ignored;
    std::filesystem::remove_all(home, ignored);
    return status;
}
