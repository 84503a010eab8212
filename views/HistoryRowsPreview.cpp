#include "HistoryRowsPreview.h"

#include <QAbstractListModel>
#include <QEvent>
#include <QGuiApplication>
#include <QHash>
#include <QHeaderView>
#include <QImageReader>
#include <QKeyEvent>
#include <QMimeData>
#include <QPointer>
#include <QVBoxLayout>

#include <cmath>
#include <unordered_set>

#include "NSStringGeometrics.h"
#include "TLCellHeightCache.h"
#include "TLClippingCellView.h"
#include "TLClippingRowView.h"
#include "TLClippingsTableView.h"
#include "kit/Clipping.h"
#include "kit/NSColorTavloColors.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TavloKit.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"

namespace {

constexpr double kTextInset = 52;  // the text width is the panel's less this
constexpr int kThumbnailWidth = 600;
constexpr double kRefetchDelay = 0.2;

// Measured within width x 300, as the panel measures its rows.
double textHeight(const QString& text, const QFont& font, double width) {
    return NSStringGeometrics::sizeForWidth(text, float(width), 300.0f, &font).height();
}

// The first image file of an image clipping, decoded no larger than the
// thumbnail width.
QImage readThumbnail(const Clipping& clipping) {
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping.clippingID());
    auto type = clipping.image();
    if (!folder || !type) return {};
    QImageReader reader(QString::fromStdString((folder->filePath() / ("0." + *type)).string()));
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (size.width() > kThumbnailWidth && size.height() > 0)
        reader.setScaledSize(QSize(kThumbnailWidth, std::max(1, size.height() * kThumbnailWidth / size.width())));
    return reader.read();
}

}  // namespace

class HistoryRowsPreview::Model : public QAbstractListModel {
public:
    using QAbstractListModel::QAbstractListModel;

    std::vector<std::shared_ptr<Clipping>> clippings;
    QHash<QString, QImage> thumbnails;

    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(clippings.size()); }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::DisplayRole || index.row() < 0 || index.row() >= rowCount({})) return {};
        return QString::fromStdString(clippings[size_t(index.row())]->text().value_or(""));
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        return QAbstractListModel::flags(index) | Qt::ItemIsDragEnabled;
    }
    QStringList mimeTypes() const override { return {QStringLiteral("text/plain")}; }
    QMimeData* mimeData(const QModelIndexList& indexes) const override {
        QStringList texts;
        for (const auto& index : indexes) {
            const auto& clipping = clippings[size_t(index.row())];
            std::string text = clipping->url().value_or("");
            if (text.empty()) text = clipping->text().value_or("");
            texts << QString::fromStdString(text);
        }
        auto* data = new QMimeData();
        data->setText(texts.join(u'\n'));
        return data;
    }
    void reset(std::vector<std::shared_ptr<Clipping>> fetched) {
        beginResetModel();
        clippings = std::move(fetched);
        endResetModel();
    }
};

HistoryRowsPreview* HistoryRowsPreview::installIn(QWidget* window) {
    auto* host = window ? window->findChild<QWidget*>(QStringLiteral("clippingsView")) : nullptr;
    if (!host) return nullptr;
    auto* layout = host->layout() ? host->layout() : new QVBoxLayout(host);
    layout->setContentsMargins(0, 0, 0, 0);
    auto* preview = new HistoryRowsPreview(host);
    layout->addWidget(preview);
    window->installEventFilter(preview);
    return preview;
}

HistoryRowsPreview::HistoryRowsPreview(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("historyRowsPreview"));
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    table_ = new TLClippingsTableView(this);
    table_->setObjectName(QStringLiteral("tableView"));
    model_ = new Model(this);
    table_->setModel(model_);
    table_->verticalHeader()->setSectionResizeMode(QHeaderView::Fixed);
    table_->installEventFilter(this);
    layout->addWidget(table_);

    table_->setRowViewMaker([](TLClippingsTableView&, int) {
        auto row = std::make_unique<TLClippingRowView>();
        row->setDarkMode(TavloKit::isDarkMode());
        return row;
    });
    table_->setCellConfigurator([this](TLClippingsTableView&, TLClippingCellView& cell, int row) {
        if (row < 0 || row >= int(model_->clippings.size())) return;
        const auto& clipping = model_->clippings[size_t(row)];
        cell.setClipping(clipping);
        cell.setClippingImage(QImage());
        cell.setRow(row);
        cell.setDarkMode(TavloKit::isDarkMode());
        cell.setShowsListName(true);
        auto id = clipping->clippingID();
        if (clipping->image() && clipping->text().value_or("").empty() && id) {
            QString key = QString::fromStdString(*id);
            auto it = model_->thumbnails.find(key);
            if (it == model_->thumbnails.end()) it = model_->thumbnails.insert(key, readThumbnail(*clipping));
            cell.setClippingImage(*it);
        }
        bool onPasteboard = false;
        if (auto manager = TLPasteboardManager::sharedManager(); manager && id)
            if (auto ids = manager->pasteboardClippingIDs())
                onPasteboard = std::find(ids->begin(), ids->end(), *id) != ids->end();
        cell.setTavlo(onPasteboard);
        cell.setSelected(table_->selectionModel() &&
                         table_->selectionModel()->isRowSelected(row, table_->rootIndex()));
        cell.setFlags(flags_);
        cell.updateClippingIcon();
    });

    auto& center = foundation::NotificationCenter::defaultCenter();
    QPointer<HistoryRowsPreview> self(this);
    // Captures in quick succession are taken in one refetch.
    auto refetch = [self](const foundation::Notification&) {
        dispatch::Queue::main()->async([self] {
            if (!self || self->reloadPending_) return;
            self->reloadPending_ = true;
            dispatch::after(kRefetchDelay, dispatch::Queue::main(), [self] {
                if (!self) return;
                self->reloadPending_ = false;
                if (self->isVisible()) self->reload();
            });
        });
    };
    observers_.emplace_back(center, center.addObserver(TLClipboardDidUpdateNotification, nullptr, refetch));
}

HistoryRowsPreview::~HistoryRowsPreview() = default;

void HistoryRowsPreview::reload() {
    std::vector<std::shared_ptr<Clipping>> fetched;
    auto manager = TLDatabaseManager::sharedManager();
    auto context = manager ? manager->managedObjectContext() : nullptr;
    if (context) {
        auto defaults = foundation::UserDefaults::applicationGroup();
        int64_t limit = defaults->objectForKey(TLUserDefaultsClipboardSize).isNull()
                            ? 100
                            : defaults->integerForKey(TLUserDefaultsClipboardSize);
        if (limit <= 0 || limit > kMaxRows) limit = kMaxRows;  // no limit: as many as the preview holds
        if (!pruned_) {
            // Once a launch: heights of clippings the store no longer holds go.
            // Every identifier of a long history is read on the parent's queue,
            // so the first show does not wait for it.
            pruned_ = true;
            if (auto parent = manager->parentManagedObjectContext()) {
                parent->performBlock([parent] {
                    store::FetchRequest all(Clipping::kEntityName);
                    all.propertiesToFetch = {"clippingID"};
                    auto rows = parent->fetchDictionaries(all);
                    if (!rows) return;
                    std::unordered_set<std::string> ids;
                    for (const auto& row : rows.value()) {
                        auto it = row.find("clippingID");
                        if (it != row.end() && it->second.kind() == store::Value::Kind::String)
                            ids.insert(it->second.string());
                    }
                    TLCellHeightCache::pruneToClippingIDs(ids);
                });
            }
        }
        store::FetchRequest request(Clipping::kEntityName);
        request.sortDescriptors = {{"tavloDate", false}};
        request.fetchLimit = limit;
        if (auto objects = context->fetch(request)) {
            for (auto& object : objects.value())
                if (auto clipping = std::dynamic_pointer_cast<Clipping>(object)) fetched.push_back(std::move(clipping));
        }
    }
    // The table and its scroll bar in the appearance in force.
    bool dark = TavloKit::isDarkMode();
    QPalette palette = table_->palette();
    QColor background = dark ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                             : NSColorTavloColors::lightClippingsViewBackgroundColor();
    for (auto role : {QPalette::Base, QPalette::Window}) palette.setColor(role, background);
    palette.setColor(QPalette::Button, dark ? QColor::fromRgbF(0.3, 0.3, 0.3) : QColor::fromRgbF(0.94, 0.94, 0.94));
    palette.setColor(QPalette::ButtonText, dark ? QColor::fromRgbF(0.8, 0.8, 0.8) : QColor::fromRgbF(0.2, 0.2, 0.2));
    table_->setPalette(palette);
    if (model_->thumbnails.size() > 2 * kMaxRows) model_->thumbnails.clear();
    model_->reset(std::move(fetched));
    maxHeight_ = 0;
    updateHeights();
}

float HistoryRowsPreview::measure(const Clipping& clipping, double textWidth) {
    std::string text = clipping.url().value_or("");
    if (text.empty()) text = clipping.text().value_or("");
    if (clipping.image() && (text.empty() || clipping.text().value_or("").empty())) {
        auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clipping.clippingID());
        if (!folder) return 0;
        QImageReader reader(QString::fromStdString((folder->filePath() / ("0." + *clipping.image())).string()));
        QSize size = reader.size();
        if (!size.isValid() || size.width() <= 0) return 0;
        double height = size.height();
        if (textWidth < size.width()) height = std::floor(textWidth / size.width() * size.height());
        return float(height);
    }
    QString body = TLClippingCellView::normalizedBody(std::string_view(text));
    return float(textHeight(body, TLClippingCellView::systemFont(TLClippingCellView::kMainFontSize), textWidth));
}

int HistoryRowsPreview::heightOfRow(int row) {
    if (row < 0 || row >= int(model_->clippings.size())) return 0;
    const Clipping& clipping = *model_->clippings[size_t(row)];
    const double panelWidth = table_->viewport()->width();
    const double width = panelWidth - kTextInset;
    const double p = TLClippingCellView::kMainFontSize, q = TLClippingCellView::kSmallFontSize;
    if (maxHeight_ <= 0) {
        int64_t lines = foundation::UserDefaults::applicationGroup()->integerForKey(TLUserDefaultsRowHeightKey);
        if (lines <= 0) lines = 8;
        QString sample = QStringLiteral("hg");
        for (int64_t i = 1; i < lines; ++i) sample += QStringLiteral("\n%1hg").arg(i);
        maxHeight_ = std::ceil(textHeight(sample, TLClippingCellView::systemFont(p), width));
    }
    const double minimum = 2 * (p + 3);
    double h = 0;
    if (auto id = clipping.clippingID()) {
        h = TLCellHeightCache::cellHeightForClipping(*id, panelWidth);
        if (h <= 0) {
            h = measure(clipping, width);
            // A measurement of 0 is kept as the minimum, so it is not asked again.
            TLCellHeightCache::setCellHeight(h > 0 ? h : minimum, *id, panelWidth);
        }
    }
    if (h > maxHeight_) h = maxHeight_;
    else if (h < minimum) h = minimum;
    h += 10;
    if (clipping.list()) h += std::ceil(q) + 12;
    auto nonEmpty = [](const std::optional<std::string>& s) { return s && !s->empty(); };
    double f = 10;
    if (!clipping.image() && nonEmpty(clipping.urlName()) && nonEmpty(clipping.url())) f = p + 15;
    else if (nonEmpty(clipping.text()) && nonEmpty(clipping.urlSource())) f = q + 15;
    else if (nonEmpty(clipping.text())) f = 10;
    else if (nonEmpty(clipping.url()) && clipping.image()) f = q + 15;
    return int(std::ceil(h + f));
}

void HistoryRowsPreview::updateHeights() {
    for (int row = 0; row < int(model_->clippings.size()); ++row) table_->setRowHeight(row, heightOfRow(row));
    table_->reloadData();
}

void HistoryRowsPreview::updateFlags() {
    // Command, Option or Control alone: Ctrl, Alt or Super.
    Qt::KeyboardModifiers held = QGuiApplication::queryKeyboardModifiers() &
                                 (Qt::ControlModifier | Qt::AltModifier | Qt::MetaModifier | Qt::ShiftModifier);
    uint64_t flags = held == Qt::ControlModifier ? 0x100000
                     : held == Qt::AltModifier   ? 0x80000
                     : held == Qt::MetaModifier  ? 0x40000
                                                 : 0;
    if (flags == flags_) return;
    flags_ = flags;
    table_->reloadData();
}

bool HistoryRowsPreview::eventFilter(QObject* watched, QEvent* event) {
    if (event->type() == QEvent::KeyPress || event->type() == QEvent::KeyRelease ||
        event->type() == QEvent::WindowDeactivate)
        updateFlags();
    return QWidget::eventFilter(watched, event);
}

void HistoryRowsPreview::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    reload();
}

void HistoryRowsPreview::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    maxHeight_ = 0;
    if (isVisible()) updateHeights();
}
