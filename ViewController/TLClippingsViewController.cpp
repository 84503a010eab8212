#include "TLClippingsViewController.h"

#include <QAbstractTableModel>
#include <QEvent>
#include <QFile>
#include <QGuiApplication>
#include <QHBoxLayout>
#include <QHeaderView>
#include <QImageReader>
#include <QKeyEvent>
#include <QLabel>
#include <QMimeData>
#include <QPainter>
#include <QPainterPath>
#include <QPdfDocument>
#include <QRegularExpression>
#include <QScrollBar>
#include <QThread>
#include <QToolButton>
#include <QVBoxLayout>
#include <QVariantAnimation>

#include <algorithm>
#include <cctype>
#include <cmath>
#include <condition_variable>
#include <deque>
#include <filesystem>
#include <mutex>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSColorTavloColors.h"
#include "kit/NSDateCloudKit.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLPasteboardManager.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "kit/TavloKit.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/Animator.h"
#include "platform/desktop/InterfaceStyle.h"
#include "platform/desktop/Menu.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/UserDefaults.h"
#include "platform/store/Context.h"
#include "views/NSImageExtras.h"
#include "views/NSStringGeometrics.h"
#include "views/TLCellHeightCache.h"
#include "views/TLClippingCellView.h"
#include "views/TLClippingRowView.h"
#include "views/TLFooterTextField.h"
#include "views/TLImageView.h"
#include "views/TLListWindowController.h"
#include "views/TLTitleView.h"
#include "views/TLView.h"

namespace {

constexpr double kContentFontSize = 14;  // p
constexpr double kLineFontSize = 12;     // q: the list-name and source lines
constexpr int kIconSize = 18;
constexpr int kLargeIconSize = 72;
constexpr int64_t kMostRowLines = 100;   // a larger setting measures no taller

// The least content height of a row: two lines of the content font.
double minimumContentHeight() { return 2 * (kContentFontSize + 3); }

}  // namespace

QImage TLClippingsViewController::panelImage(const QString& name, int size) {
    QImage image(size, size, QImage::Format_ARGB32_Premultiplied);
    image.fill(Qt::transparent);
    QPainter painter(&image);
    painter.setRenderHint(QPainter::Antialiasing);
    const double s = size;
    QPen pen(Qt::white, std::max(1.5, s / 12), Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin);
    painter.setPen(pen);
    if (name.startsWith(QLatin1String("icon-search"))) {
        painter.drawEllipse(QRectF(s * 0.15, s * 0.15, s * 0.5, s * 0.5));
        painter.drawLine(QPointF(s * 0.58, s * 0.58), QPointF(s * 0.85, s * 0.85));
    } else if (name == QLatin1String("icon-settings")) {
        QPointF c(s / 2, s / 2);
        for (int i = 0; i < 8; ++i) {
            double a = i * M_PI / 4;
            painter.drawLine(c + QPointF(std::cos(a), std::sin(a)) * s * 0.28,
                             c + QPointF(std::cos(a), std::sin(a)) * s * 0.42);
        }
        painter.drawEllipse(c, s * 0.25, s * 0.25);
        painter.drawEllipse(c, s * 0.09, s * 0.09);
    } else if (name == QLatin1String("icon-sync") || name == QLatin1String("icon-nosync")) {
        QRectF r(s * 0.18, s * 0.18, s * 0.64, s * 0.64);
        painter.drawArc(r, 30 * 16, 150 * 16);
        painter.drawArc(r, 210 * 16, 150 * 16);
        painter.drawLine(QPointF(s * 0.78, s * 0.22), QPointF(s * 0.80, s * 0.36));
        painter.drawLine(QPointF(s * 0.80, s * 0.36), QPointF(s * 0.66, s * 0.36));
        painter.drawLine(QPointF(s * 0.22, s * 0.78), QPointF(s * 0.20, s * 0.64));
        painter.drawLine(QPointF(s * 0.20, s * 0.64), QPointF(s * 0.34, s * 0.64));
        if (name == QLatin1String("icon-nosync")) painter.drawLine(QPointF(s * 0.15, s * 0.85), QPointF(s * 0.85, s * 0.15));
    } else if (name == QLatin1String("icon-cancel")) {  // a ring with a cross
        painter.drawEllipse(QRectF(s * 0.18, s * 0.18, s * 0.64, s * 0.64));
        painter.drawLine(QPointF(s * 0.38, s * 0.38), QPointF(s * 0.62, s * 0.62));
        painter.drawLine(QPointF(s * 0.62, s * 0.38), QPointF(s * 0.38, s * 0.62));
    } else if (name.startsWith(QLatin1String("icon-list"))) {
        for (int i = 0; i < 3; ++i) {
            double y = s * (0.3 + 0.2 * i);
            painter.drawEllipse(QPointF(s * 0.22, y), s * 0.03, s * 0.03);
            painter.drawLine(QPointF(s * 0.34, y), QPointF(s * 0.8, y));
        }
    } else {  // icon-tavlo-large: a clipboard
        painter.drawRoundedRect(QRectF(s * 0.2, s * 0.16, s * 0.6, s * 0.72), s * 0.06, s * 0.06);
        painter.drawRoundedRect(QRectF(s * 0.36, s * 0.1, s * 0.28, s * 0.12), s * 0.03, s * 0.03);
        for (int i = 0; i < 3; ++i)
            painter.drawLine(QPointF(s * 0.32, s * (0.42 + 0.14 * i)), QPointF(s * 0.68, s * (0.42 + 0.14 * i)));
    }
    return image;
}

QColor TLClippingsViewController::tintColor(bool dark) {
    return dark ? QColor(Qt::white) : QColor::fromRgbF(0.25, 0.25, 0.25, 1);
}

namespace {

QString assetPath(const std::optional<std::string>& clippingID, const std::optional<std::string>& type) {
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clippingID);
    if (!folder || !type) return {};
    return QString::fromStdString((folder->filePath() / ("0." + *type)).string());
}

bool isPDF(const QString& path) {
    QFile file(path);
    if (!file.open(QIODevice::ReadOnly)) return false;
    return file.read(5) == "%PDF-";
}

// The text a row measures, read on the main thread: the link or the text,
// from its first non-blank byte, at most what 500 characters can take.
QString measuredText(const Clipping& clipping) {
    std::shared_ptr<const std::string> text;
    if (auto url = clipping.url(); url && !url->empty()) text = std::make_shared<const std::string>(std::move(*url));
    else text = clipping.sharedText();
    if (!text) return {};
    size_t start = 0;
    while (start < text->size() && std::isspace(static_cast<unsigned char>((*text)[start]))) ++start;
    size_t end = std::min(text->size(), start + 4 * size_t(TLClippingsViewController::kMeasuredCharacters) + 64);
    while (end < text->size() && end > start && (static_cast<unsigned char>((*text)[end]) & 0xC0) == 0x80) --end;
    return QString::fromUtf8(text->data() + start, qsizetype(end - start));
}

// The text measurement's own trimming: blanks off the front, the first 500
// characters, blanks off the end.
QString trimmedForMeasuring(QString s) {
    static const QRegularExpression leading(QStringLiteral("^\\s*"));
    static const QRegularExpression trailing(QStringLiteral("\\s*$"));
    s.remove(leading);
    int limit = TLClippingsViewController::kMeasuredCharacters;
    if (s.size() > limit) s.truncate(s.at(limit - 1).isHighSurrogate() ? limit - 1 : limit);
    s.remove(trailing);
    return s;
}

// Rows resized together: with its updates on, the header finds the position
// of every section it resizes, adding up the sizes of all the sections before
// it (100,000 at the longest history). The table still hears of each resize.
class QuietHeader {
public:
    explicit QuietHeader(QHeaderView& header) : header_(header), was_(header.updatesEnabled()) {
        if (was_) header_.setUpdatesEnabled(false);
    }
    ~QuietHeader() {
        if (was_) header_.setUpdatesEnabled(true);
    }
    QuietHeader(const QuietHeader&) = delete;
    QuietHeader& operator=(const QuietHeader&) = delete;

private:
    QHeaderView& header_;
    bool was_;
};

// Drops the heights of clippings the store no longer holds (on the context's
// queue). Only the identifiers that have heights are looked up, a few hundred
// at a time through the identifier's index: the store's queue is held for
// milliseconds, not for as long as reading every identifier of a long history
// would take, which rows scrolled into view would wait for.
void pruneHeights(store::Context& context) {
    constexpr size_t kLookup = 500;
    const std::vector<std::string> cached = TLCellHeightCache::clippingIDs();
    std::vector<std::string> gone;
    for (size_t start = 0; start < cached.size(); start += kLookup) {
        const size_t end = std::min(cached.size(), start + kLookup);
        std::vector<store::Value> some;
        some.reserve(end - start);
        for (size_t i = start; i < end; ++i) some.emplace_back(cached[i]);
        store::FetchRequest held(Clipping::kEntityName);
        held.propertiesToFetch = {"clippingID"};
        held.returnsDistinctResults = true;
        auto predicate = store::Predicate::withFormatArguments("clippingID IN %@", {store::Value(std::move(some))});
        if (!predicate) return;
        held.predicate = predicate.value();
        auto rows = context.fetchDictionaries(held);
        if (!rows) return;
        std::unordered_set<std::string> found;
        for (const auto& row : rows.value())
            if (auto it = row.find("clippingID"); it != row.end() && it->second.kind() == store::Value::Kind::String)
                found.insert(it->second.string());
        for (size_t i = start; i < end; ++i)
            if (!found.count(cached[i])) gone.push_back(cached[i]);
    }
    TLCellHeightCache::deleteCellHeightsForClippings(gone);
}

}  // namespace

// The rows shown, exactly: changed only by the panel's insert, remove and reset.
class TLClippingsViewController::Model : public QAbstractTableModel {
public:
    explicit Model(QObject* parent) : QAbstractTableModel(parent) {}

    std::vector<std::shared_ptr<Clipping>> rows;

    int rowCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : int(rows.size()); }
    int columnCount(const QModelIndex& parent) const override { return parent.isValid() ? 0 : 1; }
    QVariant data(const QModelIndex& index, int role) const override {
        if (role != Qt::AccessibleTextRole || !index.isValid() || index.row() >= int(rows.size())) return {};
        return TLClippingCellView::normalizedBody(std::string_view(rows[size_t(index.row())]->text().value_or("")));
    }
    Qt::ItemFlags flags(const QModelIndex& index) const override {
        if (!index.isValid()) return Qt::NoItemFlags;
        return Qt::ItemIsEnabled | Qt::ItemIsSelectable | Qt::ItemIsDragEnabled;
    }
    QStringList mimeTypes() const override { return {QStringLiteral("text/plain")}; }
    QMimeData* mimeData(const QModelIndexList& indexes) const override {
        std::vector<int> rowsDragged;
        for (const auto& index : indexes)
            if (index.row() >= 0 && index.row() < int(rows.size())) rowsDragged.push_back(index.row());
        std::sort(rowsDragged.begin(), rowsDragged.end());
        rowsDragged.erase(std::unique(rowsDragged.begin(), rowsDragged.end()), rowsDragged.end());
        return static_cast<TLClippingsViewController*>(parent())->writeRowsForDrag(rowsDragged).release();
    }

    void insert(int at, std::vector<std::shared_ptr<Clipping>> added) {
        if (added.empty()) return;
        beginInsertRows({}, at, at + int(added.size()) - 1);
        rows.insert(rows.begin() + at, std::make_move_iterator(added.begin()), std::make_move_iterator(added.end()));
        endInsertRows();
    }
    void remove(int at, int count) {
        if (count <= 0) return;
        beginRemoveRows({}, at, at + count - 1);
        rows.erase(rows.begin() + at, rows.begin() + at + count);
        endRemoveRows();
    }
    void move(int from, int to) {
        if (from == to) return;
        beginMoveRows({}, from, from, {}, to > from ? to + 1 : to);
        auto clipping = std::move(rows[size_t(from)]);
        rows.erase(rows.begin() + from);
        rows.insert(rows.begin() + to, std::move(clipping));
        endMoveRows();
    }
    void reset(std::vector<std::shared_ptr<Clipping>> fresh) {
        beginResetModel();
        rows = std::move(fresh);
        endResetModel();
    }
};

// The row heights' one-at-a-time queue: a thread of the panel's own, ended
// and joined with it. Qt keeps a font cache per thread, and a pool thread
// outliving the application would leave that cache behind.
class TLClippingsViewController::MeasuringThread : public QThread {
public:
    ~MeasuringThread() override {
        {
            std::lock_guard lock(mutex_);
            stopping_ = true;
        }
        wake_.notify_all();
        wait();
    }
    void async(std::function<void()> block) {
        {
            std::lock_guard lock(mutex_);
            blocks_.push_back(std::move(block));
        }
        wake_.notify_one();
        if (!isRunning()) start();
    }
    void waitUntilIdle() {
        std::unique_lock lock(mutex_);
        idle_.wait(lock, [this] { return blocks_.empty() && !busy_; });
    }

protected:
    void run() override {
        std::unique_lock lock(mutex_);
        for (;;) {
            wake_.wait(lock, [this] { return stopping_ || !blocks_.empty(); });
            if (blocks_.empty()) return;  // stopping
            auto block = std::move(blocks_.front());
            blocks_.pop_front();
            busy_ = true;
            lock.unlock();
            block();
            lock.lock();
            busy_ = false;
            idle_.notify_all();
        }
    }

private:
    std::mutex mutex_;
    std::condition_variable wake_, idle_;
    std::deque<std::function<void()>> blocks_;
    bool busy_ = false;
    bool stopping_ = false;
};

// Clippings measured on the measuring thread and not yet seen on the main one.
class TLClippingsViewController::Landings {
public:
    // True when the main queue has to be told (nothing was waiting).
    bool add(std::string clippingID) {
        std::lock_guard lock(mutex_);
        ids_.push_back(std::move(clippingID));
        return ids_.size() == 1;
    }
    std::vector<std::string> take() {
        std::lock_guard lock(mutex_);
        return std::exchange(ids_, {});
    }

private:
    std::mutex mutex_;
    std::vector<std::string> ids_;
};

// What one change batch reported.
struct TLClippingsViewController::Batch {
    struct Removal {
        uint64_t index;
        const store::ManagedObject* object;
    };
    std::vector<Removal> removals;  // deletes and the moves' old places
    std::vector<std::shared_ptr<Clipping>> updated;
    bool inserted = false;
    int moves = 0;
};

// --- Set-up

TLClippingsViewController::TLClippingsViewController(Configuration configuration, QWidget* parent)
    : QWidget(parent), configuration_(std::move(configuration)),
      landings_(std::make_shared<Landings>()), self_(std::make_shared<TLClippingsViewController*>(this)) {
    setObjectName(QStringLiteral("clippingsView"));
    imageCache_.setMaxCost(kImageCacheBytes);
    QImageReader::setAllocationLimit(kDecodeLimitMiB);
    previewImageOperationQueue_ = dispatch::Queue::createSerial("com.tavlo.panel.thumbnails");
    isDarkMode_ = TavloKit::isDarkMode();
    buildViews();

    observe(TLUserDefaultsWindowAppearance, [this](const foundation::Notification&) { updateAppearance(); });
    observe(desktop::InterfaceStyle::kChangedNotification, [this](const foundation::Notification&) { updateAppearance(); });
    observe(TLUserDefaultsClipboardSize, [this](const foundation::Notification&) { fetchClippings(); });
    observe(TLShowSyncStatusNotification, [this](const foundation::Notification& notification) {
        const std::string* text = notification.valueAs<std::string>();
        showStatus(text ? std::optional<std::string>(*text) : std::nullopt);
    });
    observe(TLSyncManagerEnableSyncNotification, [this](const foundation::Notification&) { syncEnabled(); });
    observe(TLSyncManagerDidDisableSyncNotification, [this](const foundation::Notification&) { syncDisabled(); });
    observe(TLUserDefaultsRowHeightKey, [this](const foundation::Notification&) { rowHeightChanged(); });
    observe(TLUserDefaultsWindowFrame, [this](const foundation::Notification&) { rowHeightChanged(); });
    observe(TLTavloWindowActivatedNotification, [this](const foundation::Notification&) { windowActivated(); });
    // The duplicate pass deletes in the parent context: rows of clippings it
    // removed would stay on show, so the panel fetches anew.
    observe(TLRemovedDuplicateClippingNotification, [this](const foundation::Notification&) { fetchClippings(); });
    // Any thread: the marks are read and set on the main queue.
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    observers_.emplace_back(center, center.addObserver(TLClipboardDidUpdateNotification, nullptr,
                                                       [alive](const foundation::Notification&) {
                                                           if (auto self = alive.lock()) (*self)->clipboardUpdated();
                                                       }));
    observeHotkeys();

    // viewDidLoad: the first fetch, the table's delegates, the sync button.
    if (!fetchFirstScreen()) {
        (void)clippingsController();
        reconcileRows(nullptr);
    }
    updateFooterText();
    if (TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) startAnimatingSyncButton();
    updateAppearance();
    readPasteboardClippingIDs();
    applyPasteboardMarks();
    // Once a launch: heights of clippings the store no longer holds go. They are
    // looked up on the parent's queue, after the first rows have been read and
    // drawn (the store serves one reader at a time).
    if (auto main = context())
        if (auto parent = main->parentContext())
            later(kPruneDelay, [parent] { parent->performBlock([parent] { pruneHeights(*parent); }); });
}

TLClippingsViewController::~TLClippingsViewController() {
    observers_.clear();
    self_.reset();
    if (searchAnimation_) searchAnimation_->stop();  // its frames would reach this panel
    listWindowController_.reset();
    deleteListAlert_.reset();
    missingScriptAlert_.reset();
    queue_.reset();  // joins the measuring thread
    if (clippingsController_) clippingsController_->setDelegate(nullptr);
    tableView_->setMouseEventDelegate(nullptr);
}

void TLClippingsViewController::observe(const char* name, std::function<void(const foundation::Notification&)> handler) {
    auto& center = foundation::NotificationCenter::defaultCenter();
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    // Observers run on the posting thread; the panel lives on the main one.
    auto onMain = [alive, handler = std::move(handler)](const foundation::Notification& notification) {
        auto main = dispatch::Queue::main();
        if (main->isCurrent()) {
            if (alive.lock()) handler(notification);
            return;
        }
        main->async([alive, handler, notification] {
            if (alive.lock()) handler(notification);
        });
    };
    observers_.emplace_back(center, center.addObserver(name, nullptr, std::move(onMain)));
}

void TLClippingsViewController::later(double seconds, std::function<void()> block) {
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    dispatch::after(seconds, dispatch::Queue::main(), [alive, block = std::move(block)] {
        if (alive.lock()) block();
    });
}

void TLClippingsViewController::buildViews() {
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    layout->setSpacing(0);

    headerView_ = new TLView(this);
    headerView_->setObjectName(QStringLiteral("headerView"));
    headerView_->setFixedHeight(kHeaderHeight);
    headerView_->setDrawBlock([this](TLView& view, QPainter& painter) {
        QColor line = isDarkMode_ ? QColor::fromRgbF(0.2, 0.2, 0.2, 1) : NSColorTavloColors::tableViewSeparatorColor();
        painter.fillRect(QRectF(0, view.height() - 1, view.width(), 1), line);
    });
    auto* header = new QHBoxLayout(headerView_);
    header->setContentsMargins(0, 0, 8, 0);
    header->setSpacing(0);
    auto makeButton = [this](const char* name) {
        auto* button = new QToolButton(headerView_);
        button->setObjectName(QString::fromLatin1(name));
        button->setAutoRaise(true);
        button->setFocusPolicy(Qt::NoFocus);
        button->setIconSize(QSize(kIconSize, kIconSize));
        button->setFixedSize(28, 28);
        button->setStyleSheet(QStringLiteral("QToolButton { border: none; background: transparent; }"));
        return button;
    };
    titleView_ = new TLTitleView(headerView_);
    titleView_->setObjectName(QStringLiteral("titleView"));
    titleView_->setTitle(QStringLiteral("Tavlo"));
    searchButton_ = makeButton("searchButton");
    syncButton_ = makeButton("syncButton");
    settingsButton_ = makeButton("settingsButton");
    // The title holds the header's middle third; the window's own buttons sit
    // in the left one, the panel's in the right one.
    auto* left = new QWidget(headerView_);
    left->setAttribute(Qt::WA_TransparentForMouseEvents);
    auto* right = new QWidget(headerView_);
    auto* rightLayout = new QHBoxLayout(right);
    rightLayout->setContentsMargins(0, 0, 0, 0);
    rightLayout->setSpacing(2);
    rightLayout->addStretch(1);
    rightLayout->addWidget(searchButton_);
    rightLayout->addWidget(syncButton_);
    rightLayout->addWidget(settingsButton_);
    header->addWidget(left, 1);
    header->addWidget(titleView_, 1);
    header->addWidget(right, 1);
    QObject::connect(syncButton_, &QAbstractButton::clicked, this, [this] { syncButtonClicked(); });
    QObject::connect(searchButton_, &QAbstractButton::clicked, this, [this] { toggleSearch(); });
    titleView_->setClickAction([this] { showTitleMenu(); });
    titleView_->setRightClickAction([this] { showTitleRightClickMenu(); });
    headerView_->installEventFilter(this);  // the search field follows its size
    QObject::connect(settingsButton_, &QAbstractButton::clicked, this, [this] {
        if (settingsAction_) settingsAction_();
        else foundation::NotificationCenter::defaultCenter().post(TLShowPreferencesWindow);
    });
    layout->addWidget(headerView_);

    tableView_ = new TLClippingsTableView(this);
    tableView_->setObjectName(QStringLiteral("tableView"));
    model_ = new Model(this);
    tableView_->setModel(model_);
    QHeaderView* rows = tableView_->verticalHeader();
    rows->setSectionResizeMode(QHeaderView::Fixed);
    rows->setMinimumSectionSize(1);
    // What a short unmeasured row takes: the least content, its margin and no bottom line.
    rows->setDefaultSectionSize(int(std::ceil(minimumContentHeight() + 10 + 10)));
    tableView_->setMouseEventDelegate(this);
    tableView_->setRowViewMaker([this](TLClippingsTableView&, int) {
        auto row = std::make_unique<TLClippingRowView>();
        row->setDarkMode(isDarkMode_);
        return row;
    });
    tableView_->setCellConfigurator(
        [this](TLClippingsTableView&, TLClippingCellView& cell, int row) { configureCell(cell, row); });
    QObject::connect(tableView_->selectionModel(), &QItemSelectionModel::selectionChanged, this,
                     [this] { tableViewSelectionDidChange(); });
    QObject::connect(tableView_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { scrollViewDidScroll(); });
    tableView_->installEventFilter(this);
    // Rows dropped between rows of a list reorder it.
    tableView_->setAcceptDrops(true);
    tableView_->viewport()->setAcceptDrops(true);
    tableView_->viewport()->installEventFilter(this);
    // Where the rows dragged would go, drawn over the rows.
    dropIndicator_ = new QWidget(tableView_->viewport());
    dropIndicator_->setObjectName(QStringLiteral("dropIndicator"));
    dropIndicator_->setAttribute(Qt::WA_TransparentForMouseEvents);
    dropIndicator_->setAutoFillBackground(true);
    dropIndicator_->setBackgroundRole(QPalette::Highlight);
    dropIndicator_->hide();
    layout->addWidget(tableView_, 1);

    footerView_ = new TLView(this);
    footerView_->setObjectName(QStringLiteral("footerView"));
    footerView_->setFixedHeight(kFooterHeight);
    auto* footer = new QHBoxLayout(footerView_);
    footer->setContentsMargins(8, 0, 8, 0);
    footerLabel_ = new TLFooterTextField(footerView_);
    footerLabel_->setObjectName(QStringLiteral("footerLabel"));
    footerLabel_->setAlignment(Qt::AlignCenter);
    QFont font = footerLabel_->font();
    font.setPixelSize(12);
    footerLabel_->setFont(font);
    footer->addWidget(footerLabel_);
    layout->addWidget(footerView_);
    setUpKeysAndMenus();
}

void TLClippingsViewController::setSettingsAction(std::function<void()> action) { settingsAction_ = std::move(action); }

std::shared_ptr<store::Context> TLClippingsViewController::context() const {
    if (configuration_.context) return configuration_.context;
    auto manager = TLDatabaseManager::sharedManager();
    return manager ? manager->managedObjectContext() : nullptr;
}

std::shared_ptr<TLPasteboardManager> TLClippingsViewController::pasteboardManager() const {
    return configuration_.pasteboardManager ? configuration_.pasteboardManager : TLPasteboardManager::sharedManager();
}

int64_t TLClippingsViewController::historyLimit() const {
    auto suite = TLSettings();
    if (suite->objectForKey(TLUserDefaultsClipboardSize).isNull()) return kDefaultHistoryLimit;
    return suite->integerForKey(TLUserDefaultsClipboardSize);
}

// --- Appearing

void TLClippingsViewController::showEvent(QShowEvent* event) {
    QWidget::showEvent(event);
    viewWillAppear();
}

void TLClippingsViewController::viewWillAppear() {
    tableView_->setFocus(Qt::OtherFocusReason);
    if (hasAppeared_) return;
    reloadTable();
    tableView_->verticalScrollBar()->setValue(0);
    if (firstScreenOnly_ || clippingsController().count() > 0) hideEmptyState();
    else showEmptyState();
    hasAppeared_ = true;
    updateVisibleRowHeights();
}

void TLClippingsViewController::resizeEvent(QResizeEvent* event) {
    QWidget::resizeEvent(event);
    // Heights are kept per panel width: a new width measures anew.
    maxHeight_ = 0;
    updateVisibleRowHeights();
}

void TLClippingsViewController::changeEvent(QEvent* event) {
    QWidget::changeEvent(event);
    if (event->type() == QEvent::ActivationChange && !isActiveWindow()) windowDidResignKey();
}

bool TLClippingsViewController::eventFilter(QObject* watched, QEvent* event) {
    if (watched == tableView_->viewport()) return tableDropEvent(event) || QWidget::eventFilter(watched, event);
    if (watched == searchField_ && event->type() == QEvent::KeyPress)
        return searchFieldKeyPress(static_cast<QKeyEvent&>(*event));
    if (watched == headerView_) {
        if (event->type() == QEvent::Resize || event->type() == QEvent::LayoutRequest) layoutSearchField();
        return QWidget::eventFilter(watched, event);
    }
    return QWidget::eventFilter(watched, event);
}

void TLClippingsViewController::windowActivated() {
    if (!TLSettings()->boolForKey(TLUserDefaultsScrollToTopOnActivation) || model_->rows.empty()) return;
    tableView_->scrollTo(model_->index(0, 0));
    tableView_->selectionModel()->setCurrentIndex(model_->index(0, 0),
                                                  QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TLClippingsViewController::windowDidResignKey() {
    if (flags_ == 0) return;
    flags_ = 0;
    later(kResignReloadDelay, [this] { reloadTable(); });
}

void TLClippingsViewController::reloadTable() {
    // The selection lives in the selection model: a reload keeps it.
    tableView_->reloadData();
}

// --- Appearance

void TLClippingsViewController::updateAppearance() {
    isDarkMode_ = TavloKit::isDarkMode();
    const bool dark = isDarkMode_;
    QColor background = dark ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                             : NSColorTavloColors::lightClippingsViewBackgroundColor();
    QColor tint = tintColor(dark);
    QPalette palette = this->palette();
    for (auto role : {QPalette::Base, QPalette::Window}) palette.setColor(role, background);
    palette.setColor(QPalette::Button, dark ? QColor::fromRgbF(0.3, 0.3, 0.3) : QColor::fromRgbF(0.94, 0.94, 0.94));
    palette.setColor(QPalette::ButtonText, dark ? QColor::fromRgbF(0.8, 0.8, 0.8) : QColor::fromRgbF(0.2, 0.2, 0.2));
    palette.setColor(QPalette::Text, tint);
    palette.setColor(QPalette::WindowText, tint);
    setPalette(palette);
    setAutoFillBackground(true);
    tableView_->setPalette(palette);
    headerView_->setBackgroundColor(dark ? NSColorTavloColors::darkActiveHeaderColor()
                                         : NSColorTavloColors::lightActiveHeaderColor());
    footerView_->setBackgroundColor(headerView_->backgroundColor());
    titleView_->setDarkMode(dark);
    settingsButton_->setIcon(QPixmap::fromImage(
        NSImageExtras::colorizedImage(panelImage(QStringLiteral("icon-settings"), kIconSize * 2), tint)));
    searchButton_->setIcon(QPixmap::fromImage(NSImageExtras::colorizedImage(
        panelImage(QString::fromLatin1(isSearching_ ? "icon-search-selected" : "icon-search"), kIconSize * 2),
        isSearching_ ? NSColorTavloColors::appTintColor() : tint)));
    updateSearchFieldAppearance();
    updateSyncButtonImage();
    headerView_->update();
    footerView_->update();
    if (emptyStateImageView_) emptyStateImageView_->setBackgroundColor(background);
    reloadTable();
    updateFooterText();
}

void TLClippingsViewController::updateSyncButtonImage() {
    QString name = TLSettings()->boolForKey(TLUserDefaultsSyncEnabled) ? QStringLiteral("icon-sync")
                                                                      : QStringLiteral("icon-nosync");
    QImage image = NSImageExtras::colorizedImage(panelImage(name, kIconSize * 2), tintColor(isDarkMode_));
    double angle = syncAnimation_ ? syncAnimation_->currentValue().toDouble() : 0;
    if (angle != 0) {
        QImage turned(image.size(), QImage::Format_ARGB32_Premultiplied);
        turned.fill(Qt::transparent);
        QPainter painter(&turned);
        painter.setRenderHint(QPainter::SmoothPixmapTransform);
        painter.translate(image.width() / 2.0, image.height() / 2.0);
        painter.rotate(angle);
        painter.translate(-image.width() / 2.0, -image.height() / 2.0);
        painter.drawImage(0, 0, image);
        painter.end();
        image = turned;
    }
    syncButton_->setIcon(QPixmap::fromImage(image));
}

void TLClippingsViewController::rowHeightChanged() {
    maxHeight_ = 0;
    reloadTable();
    updateVisibleRowHeights();
}

// --- The clipboard marks

void TLClippingsViewController::clipboardUpdated() {
    // The clipboard is read on the main thread only.
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    auto work = [alive] {
        auto self = alive.lock();
        if (!self) return;
        (*self)->readPasteboardClippingIDs();
        (*self)->applyPasteboardMarks();
    };
    auto main = dispatch::Queue::main();
    if (main->isCurrent()) work();
    else main->async(work);
}

void TLClippingsViewController::readPasteboardClippingIDs() {
    std::optional<std::vector<std::string>> ids;
    if (configuration_.pasteboardClippingIDs) ids = configuration_.pasteboardClippingIDs();
    else if (auto manager = TLPasteboardManager::sharedManager()) ids = manager->pasteboardClippingIDs();
    pasteboardClippingIDs_.clear();
    if (ids) pasteboardClippingIDs_.insert(ids->begin(), ids->end());
}

void TLClippingsViewController::applyPasteboardMarks() {
    for (int row = 0; row < int(model_->rows.size()); ++row) {
        TLClippingCellView* cell = tableView_->viewAtRow(row, false);
        if (!cell) continue;
        auto id = model_->rows[size_t(row)]->clippingID();
        cell->setTavlo(id && pasteboardClippingIDs_.count(*id));
    }
}

// --- Sync button

void TLClippingsViewController::showStatus(std::optional<std::string> status) {
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    auto work = [alive, status] {
        auto self = alive.lock();
        if (!self) return;
        if (status) {
            (*self)->syncing_ = true;
            (*self)->startAnimatingSyncButton();
        } else {
            (*self)->syncing_ = false;
        }
    };
    auto main = dispatch::Queue::main();
    if (main->isCurrent()) work();
    else main->async(work);
}

bool TLClippingsViewController::isSyncButtonAnimating() const {
    return syncAnimation_ && syncAnimation_->state() == QAbstractAnimation::Running;
}

void TLClippingsViewController::startAnimatingSyncButton() {
    if (isSyncButtonAnimating()) return;
    if (!syncAnimation_) {
        syncAnimation_ = new QVariantAnimation(this);
        syncAnimation_->setStartValue(0.0);
        syncAnimation_->setEndValue(360.0);
        syncAnimation_->setDuration(int(kSyncTurnSeconds * 1000));
        syncAnimation_->setEasingCurve(QEasingCurve::Linear);
        QObject::connect(syncAnimation_, &QVariantAnimation::valueChanged, this, [this] { updateSyncButtonImage(); });
        // A sync that ends lets the current turn finish.
        QObject::connect(syncAnimation_, &QAbstractAnimation::finished, this, [this] {
            if (syncing_) startAnimatingSyncButton();
            else updateSyncButtonImage();
        });
    }
    syncAnimation_->start();
}

void TLClippingsViewController::syncButtonClicked() {
    if (!TLSettings()->boolForKey(TLUserDefaultsSyncEnabled)) {
        foundation::Notification notification{TLShowPreferencesWindow, nullptr, std::string("sync"), {}};
        foundation::NotificationCenter::defaultCenter().post(notification);
        return;
    }
    if (syncing_ || isSyncButtonAnimating()) return;
    startAnimatingSyncButton();
    syncWithiCloud();
}

void TLClippingsViewController::syncWithiCloud() {
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    auto done = [alive] {
        if (auto self = alive.lock()) (*self)->showStatus(std::nullopt);
    };
    // Without a sync engine nothing happens.
    if (syncAction_) syncAction_(done);
    else done();
}

void TLClippingsViewController::syncEnabled() {
    isDarkMode_ = TavloKit::isDarkMode();
    updateSyncButtonImage();
    startAnimatingSyncButton();
}

void TLClippingsViewController::syncDisabled() {
    isDarkMode_ = TavloKit::isDarkMode();
    updateSyncButtonImage();
}

// --- Fetching

void TLClippingsViewController::fetchClippings() {
    auto suite = TLSettings();
    if (list_ && list_->listID()) suite->setObject(foundation::PlistValue(*list_->listID()), TLUserDefaultsSelectedListID);
    else suite->removeObjectForKey(TLUserDefaultsSelectedListID);
    suite->synchronize();
    showFetchedRows();
}

void TLClippingsViewController::showFetchedRows() {
    nextClippingIndex_ = -1;
    refetchRows();
    updateFooterText();
    if (clippingsController().count() > 0) hideEmptyState();
    else showEmptyState();
    updateVisibleRowHeights();
}

// A long history is fetched whole (the controller follows every clipping, to
// refill from beyond the cap), which takes a while for 100,000. Its first
// screen is fetched and shown first, and the whole fetch follows from the event
// loop, before anything else is asked of the panel. False when the first fetch
// held everything, or for a list or a search: the controller is made at once.
bool TLClippingsViewController::fetchFirstScreen() {
    auto main = context();
    if (!main || list_ || searchString_) return false;
    auto request = clippingsControllerFetchRequest();
    request->fetchLimit = kFirstScreenRows + 1;
    auto first = main->fetch(*request);
    if (!first || first.value().size() <= size_t(kFirstScreenRows)) return false;
    int64_t shown = kFirstScreenRows;
    if (int64_t limit = historyLimit(); limit > 0) shown = std::min(shown, limit);
    std::vector<std::shared_ptr<Clipping>> rows;
    rows.reserve(size_t(shown));
    for (int64_t i = 0; i < shown; ++i) rows.push_back(std::static_pointer_cast<Clipping>(first.value()[size_t(i)]));
    model_->reset(std::move(rows));
    firstScreenOnly_ = true;
    later(0, [this] { finishFirstFetch(); });
    return true;
}

void TLClippingsViewController::finishFirstFetch() {
    if (!firstScreenOnly_) return;  // a refetch or a change made the rows whole
    // The rows on show are the whole fetch's first: the rest go in after them.
    Batch none;
    reconcileRows(&none);
    updateFooterText();
    if (clippingsController().count() > 0) hideEmptyState();
    else showEmptyState();
    applyPasteboardMarks();
    updateVisibleRowHeights();
}

void TLClippingsViewController::refetchRows() {
    resetClippingsController();
    (void)clippingsController();
    reconcileRows(nullptr);
    reloadTable();
}

void TLClippingsViewController::resetClippingsController() {
    if (clippingsController_) clippingsController_->setDelegate(nullptr);
    clippingsController_.reset();
}

FRFetchedResultsController& TLClippingsViewController::clippingsController() {
    if (!clippingsController_) {
        clippingsController_ =
            std::make_unique<FRFetchedResultsController>(context(), clippingsControllerFetchRequest());
        clippingsController_->setDelegate(this);
        clippingsController_->performFetch();
    }
    return *clippingsController_;
}

std::shared_ptr<store::FetchRequest> TLClippingsViewController::clippingsControllerFetchRequest() const {
    auto request = std::make_shared<store::FetchRequest>(Clipping::kEntityName);
    request->predicate = clippingsControllerPredicate();
    request->sortDescriptors = clippingsControllerSortDescriptors();
    request->shouldRefreshRefetchedObjects = true;
    return request;
}

std::shared_ptr<const store::Predicate> TLClippingsViewController::clippingsControllerPredicate() const {
    constexpr const char* content = "(text != NULL OR url != NULL OR image != NULL)";
    std::string format;
    std::vector<store::Value> arguments;
    if (searchString_) {
        store::Value text(*searchString_);
        if (list_) {
            format = std::string(content) +
                     " AND list == %@ AND (url contains[cd] %@ OR text contains[cd] %@ OR urlSource contains[cd] %@"
                     " OR urlName contains[cd] %@)";
            arguments = {store::Value(list_), text, text, text, text};
        } else {
            format = std::string(content) +
                     " AND (url contains[cd] %@ OR text contains[cd] %@ OR urlSource contains[cd] %@"
                     " OR urlName contains[cd] %@ OR list.name contains[cd] %@)";
            arguments = {text, text, text, text, text};
        }
    } else if (list_) {
        format = std::string(content) + " AND list == %@";
        arguments = {store::Value(list_)};
    } else if (TLSettings()->boolForKey(TLUserDefaultsHideListItems)) {
        format = std::string(content) + " AND list == NULL";
    } else {
        format = "text != NULL OR url != NULL OR image != NULL";
    }
    auto predicate = store::Predicate::withFormatArguments(format, std::move(arguments));
    return predicate ? predicate.value() : store::Predicate::constant(false);
}

store::SortDescriptors TLClippingsViewController::clippingsControllerSortDescriptors() const {
    if (list_ && !searchString_) return {{"index", true}};
    auto suite = TLSettings();
    bool byAddDate = suite->boolForKey(TLUserDefaultsSortByAddDate);
    bool ascending = byAddDate && suite->boolForKey(TLUserDefaultsReverseSort);
    return {{byAddDate ? "addDate" : "tavloDate", ascending}, {"pasteboardIndex", true}};
}

int64_t TLClippingsViewController::numberOfRows() {
    int64_t count = int64_t(clippingsController().count());
    if (list_ || searchString_) return count;
    // A limit of 0 or less is no limit, as the trim takes it.
    int64_t limit = historyLimit();
    return limit > 0 ? std::min(count, limit) : count;
}

std::shared_ptr<Clipping> TLClippingsViewController::clippingAtRow(int row) const {
    if (row < 0 || row >= int(model_->rows.size())) return nullptr;
    return model_->rows[size_t(row)];
}

// --- Footer and empty state

void TLClippingsViewController::updateFooterText() {
    if (firstScreenOnly_) {
        footerLabel_->clear();  // the count comes with the whole fetch
        return;
    }
    auto& controller = clippingsController();
    int64_t n = int64_t(controller.count());
    QColor color = isDarkMode_ ? QColor(Qt::white) : QColor(Qt::black);
    if (!list_ && !searchString_) {
        int64_t cap = historyLimit();
        if (cap > 0) {
            n = std::min(n, cap);
            if (n == cap && int64_t(controller.count()) >= cap) {
                auto last = std::dynamic_pointer_cast<Clipping>(controller.objectAtIndex(uint64_t(cap - 1)));
                if (last && !last->list()) color = NSColorTavloColors::tlRedColor();
            }
        }
    }
    footerLabel_->setText(QStringLiteral("%1 clipping%2").arg(n).arg(n > 1 ? QStringLiteral("s") : QString()));
    QPalette palette = footerLabel_->palette();
    palette.setColor(QPalette::WindowText, color);
    footerLabel_->setPalette(palette);
}

bool TLClippingsViewController::isShowingEmptyState() const {
    return emptyStateImageView_ && emptyStateImageView_->parentWidget() == this && emptyStateImageView_->isVisible();
}

void TLClippingsViewController::showEmptyState() {
    if (!emptyStateImageView_) {
        emptyStateImageView_ = new TLImageView(this);
        emptyStateImageView_->setObjectName(QStringLiteral("emptyStateImageView"));
        emptyStateImageView_->setAttribute(Qt::WA_TransparentForMouseEvents);
    }
    const bool dark = TavloKit::isDarkMode();
    emptyStateImageView_->setBackgroundColor(dark ? NSColorTavloColors::darkClippingsViewBackgroundColor()
                                                  : NSColorTavloColors::lightClippingsViewBackgroundColor());
    emptyStateImageView_->setGeometry(tableView_->geometry());
    QString name = isSearching_ ? QStringLiteral("icon-search-large")
                   : list_      ? QStringLiteral("icon-list-large")
                                : QStringLiteral("icon-tavlo-large");
    QImage image = NSImageExtras::colorizedImage(panelImage(name, kLargeIconSize), QColor::fromRgbF(1, 1, 1, 1));
    emptyStateImageView_->setImage(NSImageExtras::imageByApplyingAlpha(
        NSImageExtras::colorizedImage(image, QColor::fromRgbF(0.5, 0.5, 0.5, 1)), 0.5));
    emptyStateImageView_->show();
    emptyStateImageView_->raise();
    headerView_->raise();
}

void TLClippingsViewController::hideEmptyState() {
    if (emptyStateImageView_) emptyStateImageView_->hide();
}

// --- Cells and heights

void TLClippingsViewController::configureCell(TLClippingCellView& cell, int row) {
    auto clipping = clippingAtRow(row);
    cell.setClipping(clipping);
    cell.setClippingImage(QImage());
    cell.setRow(row);
    cell.setDarkMode(isDarkMode_);
    cell.setShowsListName(!list_);
    if (clipping) {
        if (!clipping->addDate() && clipping->tavloDate()) {
            // A clipping from before the add date was kept takes its clipboard date.
            std::weak_ptr<store::ManagedObject> weak = clipping;
            if (auto main = context(); main && clipping->managedObjectContext() == main.get())
                main->performBlock([weak, main, save = configuration_.saveContext] {
                    auto object = std::static_pointer_cast<Clipping>(weak.lock());
                    if (!object || object->addDate()) return;
                    object->setAddDate(object->tavloDate());
                    object->setModifiedDate(NSDateCloudKit::currentServerDate());
                    object->setSync(true);
                    // A failed save leaves the repair to the context's next one.
                    (void)(save ? save(*main) : main->save());
                });
        }
        auto id = clipping->clippingID();
        if (clipping->image() && clipping->text().value_or("").empty() && id) {
            if (QImage* cached = imageCache_.object(QString::fromStdString(*id))) cell.setClippingImage(*cached);
            else loadThumbnailForClipping(clipping);
        }
        cell.setTavlo(id && pasteboardClippingIDs_.count(*id));
        cell.setSelected(std::find(selectedClippings_.begin(), selectedClippings_.end(), clipping) !=
                         selectedClippings_.end());
    }
    cell.setFlags(flags_);
    cell.updateClippingIcon();
}

int TLClippingsViewController::heightOfRow(int row) {
    auto clipping = clippingAtRow(row);
    if (!clipping) return 0;
    const double panelWidth = width();
    const double textWidth = panelWidth - kTextInset;
    const double p = kContentFontSize, q = kLineFontSize;
    if (maxHeight_ <= 0) {
        int64_t lines = TLSettings()->objectForKey(TLUserDefaultsRowHeightKey).isNull()
                            ? kDefaultRowLines
                            : TLSettings()->integerForKey(TLUserDefaultsRowHeightKey);
        lines = std::min(lines, kMostRowLines);
        QString sample = QStringLiteral("hg");
        for (int64_t i = 1; i < lines; ++i) sample += QStringLiteral("\n%1hg").arg(i);
        QFont font = TLClippingCellView::systemFont(p);
        maxHeight_ = std::ceil(
            NSStringGeometrics::sizeForWidth(sample, float(textWidth), float(kMeasureBox), &font).height());
    }
    const double minimum = minimumContentHeight();
    double h = 0;
    if (auto id = clipping->clippingID()) h = TLCellHeightCache::cellHeightForClipping(*id, panelWidth);
    if (!(h > 0)) {
        queueMeasurement(*clipping);
        h = minimum;
    }
    if (h > maxHeight_) h = maxHeight_;
    else if (h < minimum) h = minimum;
    h += 10;
    if (!list_ && clipping->list()) h += std::ceil(q) + 12;
    double f = 10;
    const bool image = clipping->image().has_value();
    const bool url = TLNonEmpty(clipping->url());
    const auto text = clipping->sharedText();  // no copy of a long text
    const bool hasText = text && !text->empty();
    if (!image && url && TLNonEmpty(clipping->urlName())) f = p + 15;
    else if (hasText && TLNonEmpty(clipping->urlSource())) f = q + 15;
    else if (hasText) f = 10;
    else if (url && image) f = q + 15;
    return int(std::ceil(h + f));
}

void TLClippingsViewController::queueMeasurement(const Clipping& clipping) {
    auto id = clipping.clippingID();
    if (!id || pendingMeasurements_.count(*id)) return;
    // What the measurement reads is taken here, on the main thread.
    QString path, text;
    if (clipping.image()) {
        path = assetPath(id, clipping.image());
    } else if (TLNonEmpty(clipping.url()) || TLNonEmpty(clipping.text())) {
        text = measuredText(clipping);
    } else {
        return;
    }
    if (!queue_) {
        queue_ = std::make_unique<MeasuringThread>();
        queue_->setObjectName(QStringLiteral("com.tavlo.panel.heights"));
    }
    pendingMeasurements_.insert(*id);
    const double panelWidth = width();
    const double textWidth = panelWidth - kTextInset;
    const bool image = bool(clipping.image());
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    queue_->async([alive, landings = landings_, id = *id, path, text, image, panelWidth, textWidth,
                   observer = measurementObserver_] {
        if (observer) observer();
        double height = 0;
        if (image) {
            if (!path.isEmpty()) {
                QSizeF size = imageSizeOfFile(path);
                if (size.width() > 0 && size.height() > 0) {
                    height = size.height();
                    if (textWidth < size.width()) height = std::floor(textWidth / size.width() * size.height());
                }
            }
        } else {
            QFont font = TLClippingCellView::systemFont(kContentFontSize);
            height = NSStringGeometrics::sizeForWidth(trimmedForMeasuring(text), float(textWidth), float(kMeasureBox),
                                                      &font)
                         .height();
        }
        // A clipping that cannot be measured keeps the least height, and is
        // not measured again at every request.
        TLCellHeightCache::setCellHeight(height > 0 ? height : minimumContentHeight(), id, panelWidth);
        // The main queue is told once for every measurement landed since it
        // last looked, so that a screenful of them is one pass over the rows.
        if (landings->add(id))
            dispatch::Queue::main()->async([alive] {
                if (auto self = alive.lock()) (*self)->measurementsLanded();
            });
    });
}

void TLClippingsViewController::measurementsLanded() {
    std::vector<std::string> ids = landings_->take();
    for (const auto& id : ids) pendingMeasurements_.erase(id);
    std::unordered_set<std::string> landed(std::make_move_iterator(ids.begin()), std::make_move_iterator(ids.end()));
    auto [from, to] = rowsNearViewport();
    QuietHeader quiet(*tableView_->verticalHeader());
    for (int row = from; row <= to && !landed.empty(); ++row)
        if (auto id = model_->rows[size_t(row)]->clippingID(); id && landed.erase(*id)) setRowHeight(row);
}

std::pair<int, int> TLClippingsViewController::rowsNearViewport() const {
    // A measurement lands on the row its clipping is on now, which rows added
    // or removed since it was queued may have moved; rows far from the
    // viewport take their height when they come near it.
    const int count = int(model_->rows.size());
    if (count == 0) return {0, -1};
    int first = tableView_->rowAt(0), last = tableView_->rowAt(tableView_->viewport()->height() - 1);
    if (first < 0) first = 0;
    if (last < 0) last = count - 1;
    int span = last - first + 1;
    return {std::max(0, first - 3 * span - 8), std::min(count - 1, last + 3 * span + 8)};
}

int TLClippingsViewController::rowOfClippingNearViewport(const std::string& clippingID) const {
    auto [from, to] = rowsNearViewport();
    for (int row = from; row <= to; ++row)
        if (model_->rows[size_t(row)]->clippingID() == clippingID) return row;
    return -1;
}

void TLClippingsViewController::setRowHeight(int row) {
    int height = heightOfRow(row);
    if (height > 0 && tableView_->rowHeight(row) != height) tableView_->setRowHeight(row, height);
}

void TLClippingsViewController::updateVisibleRowHeights() {
    if (updatingHeights_) return;
    const int count = int(model_->rows.size());
    if (count == 0) return;
    updatingHeights_ = true;
    // Rows within two screens of the viewport, above and below.
    const int screen = std::max(1, tableView_->viewport()->height());
    const int offset = tableView_->verticalScrollBar()->value();
    QHeaderView* header = tableView_->verticalHeader();
    int first = header->logicalIndexAt(std::max(0, offset - 2 * screen) - offset);
    if (first < 0) first = offset - 2 * screen <= 0 ? 0 : count - 1;
    // Positions are added up here: the header would lay out every row after
    // each resized one to answer a position.
    const int bottom = offset + 3 * screen;
    int position = header->sectionPosition(first);
    QuietHeader quiet(*header);
    for (int row = first; row < count && position < bottom; ++row) {
        setRowHeight(row);
        position += header->sectionSize(row);
    }
    updatingHeights_ = false;
}

void TLClippingsViewController::waitForMeasurements() {
    if (queue_) queue_->waitUntilIdle();
}

// --- Change handling

void TLClippingsViewController::controllerWillChangeContent(FRFetchedResultsController&) {
    if (manualUpdate_) return;
    batch_ = std::make_unique<Batch>();
}

void TLClippingsViewController::controller(FRFetchedResultsController&,
                                           const std::shared_ptr<store::ManagedObject>& object, uint64_t atIndex,
                                           FRFetchedResultsChangeType type, uint64_t newIndex) {
    if (manualUpdate_ || !batch_) return;
    // A clipping that stays in its place (the top one copied again) keeps its
    // row, and the row its selection: only its content may have changed.
    if (type == FRFetchedResultsChangeType::Move && atIndex == newIndex) type = FRFetchedResultsChangeType::Update;
    switch (type) {
    case FRFetchedResultsChangeType::Insert: batch_->inserted = true; break;
    case FRFetchedResultsChangeType::Delete: batch_->removals.push_back({atIndex, object.get()}); break;
    case FRFetchedResultsChangeType::Move:
        ++batch_->moves;
        batch_->removals.push_back({atIndex, object.get()});
        break;
    case FRFetchedResultsChangeType::Update: {
        static const char* const kShownKeys[] = {"text", "url", "urlName", "urlSource", "image", "list", "tavloDate",
                                                 "assets"};
        auto keys = object->changedKeysForCurrentEvent();
        bool shown = std::any_of(keys.begin(), keys.end(), [](const std::string& key) {
            return std::any_of(std::begin(kShownKeys), std::end(kShownKeys), [&](const char* k) { return key == k; });
        });
        if (shown)
            if (auto clipping = std::dynamic_pointer_cast<Clipping>(object)) batch_->updated.push_back(clipping);
        break;
    }
    }
}

void TLClippingsViewController::controllerDidChangeContent(FRFetchedResultsController& controller) {
    if (controller.count() > 0) hideEmptyState();
    else showEmptyState();
    if (manualUpdate_ || !batch_) return;
    std::unique_ptr<Batch> batch = std::move(batch_);
    reconcileRows(batch.get());
    QuietHeader quiet(*tableView_->verticalHeader());
    for (const auto& clipping : batch->updated) {
        TLCellHeightCache::deleteCellHeightForClipping(clipping->clippingID());
        if (auto id = clipping->clippingID(); id && !pendingMeasurements_.count(*id))
            if (int row = rowOfClippingNearViewport(*id); row >= 0) setRowHeight(row);
    }
    if (!batch->updated.empty()) later(kReloadRowDelay, [this] { reloadTable(); });
    updateFooterText();
    if (batch->moves >= 2) reloadTable();
    // A duplicate refresh moves the clipping the clipboard holds without a
    // clipboard notice: the marks are read again after every batch.
    readPasteboardClippingIDs();
    applyPasteboardMarks();
    updateVisibleRowHeights();
    if (batch->inserted && !model_->rows.empty())
        later(kSelectNewRowDelay, [this] {
            if (model_->rows.empty()) return;
            tableView_->selectionModel()->setCurrentIndex(
                model_->index(0, 0), QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
            tableView_->scrollTo(model_->index(0, 0));
        });
    if (!isActiveWindow() && controller.count() == 1) later(kResignReloadDelay, [this] { reloadTable(); });
}

void TLClippingsViewController::reconcileRows(const Batch* batch) {
    firstScreenOnly_ = false;  // the rows become the whole fetch's
    auto& controller = clippingsController();
    const auto& objects = controller.fetchedObjects();
    const size_t shown = size_t(numberOfRows());
    auto& rows = model_->rows;
    if (!batch) {
        // A new fetch: the rows are the fetch's.
        std::vector<std::shared_ptr<Clipping>> fresh;
        fresh.reserve(shown);
        for (size_t i = 0; i < shown; ++i) fresh.push_back(std::static_pointer_cast<Clipping>(objects[i]));
        model_->reset(std::move(fresh));
        return;
    }
    // 1. The rows of deleted and moved clippings go, by their old places.
    std::vector<Batch::Removal> removals = batch->removals;
    std::sort(removals.begin(), removals.end(),
              [](const Batch::Removal& a, const Batch::Removal& b) { return a.index > b.index; });
    bool consistent = true;
    for (const auto& removal : removals) {
        if (removal.index >= rows.size()) continue;  // beyond the rows shown
        if (rows[removal.index].get() != removal.object) {
            consistent = false;
            break;
        }
        model_->remove(int(removal.index), 1);
    }
    if (!consistent) {
        // Rows out of step with the reports: every row whose clipping left goes.
        std::unordered_set<const store::ManagedObject*> kept;
        for (size_t i = 0; i < shown; ++i) kept.insert(objects[i].get());
        for (int row = int(rows.size()) - 1; row >= 0; --row)
            if (!kept.count(rows[size_t(row)].get())) model_->remove(row, 1);
    }
    // 2. What stays keeps its order: walk the fetch's first rows, inserting
    // the new, moved and refilled ones where they stand.
    size_t i = 0, k = 0;
    while (i < shown) {
        if (k < rows.size() && rows[k].get() == objects[i].get()) {
            ++i, ++k;
            continue;
        }
        size_t j = i;
        std::vector<std::shared_ptr<Clipping>> run;
        while (j < shown && !(k < rows.size() && rows[k].get() == objects[j].get())) {
            run.push_back(std::static_pointer_cast<Clipping>(objects[j]));
            ++j;
        }
        if (k < rows.size() && j == shown) {
            // The row at k is no longer among the first rows: it and those
            // after it are pushed beyond the limit.
            model_->remove(int(k), int(rows.size() - k));
        }
        model_->insert(int(k), std::move(run));
        k += j - i;
        i = j;
    }
    // 3. Rows pushed beyond the limit go.
    if (rows.size() > shown) model_->remove(int(shown), int(rows.size() - shown));
}

// --- Selection and scrolling

void TLClippingsViewController::tableViewSelectionDidChange() {
    auto* selection = tableView_->selectionModel();
    std::vector<int> selected;
    for (const auto& index : selection->selectedRows()) selected.push_back(index.row());
    std::sort(selected.begin(), selected.end());
    std::vector<std::shared_ptr<Clipping>> selectedNow;
    for (int row : selected)
        if (auto clipping = clippingAtRow(row)) selectedNow.push_back(clipping);
    for (const auto& clipping : selectedNow)
        if (std::find(selectedClippings_.begin(), selectedClippings_.end(), clipping) == selectedClippings_.end())
            selectedClippings_.push_back(clipping);
    std::erase_if(selectedClippings_, [&](const std::shared_ptr<Clipping>& clipping) {
        return std::find(selectedNow.begin(), selectedNow.end(), clipping) == selectedNow.end();
    });
    nextClippingIndex_ = tableView_->selectedRow() + 1;
    for (int row = 0; row < int(model_->rows.size()); ++row)
        if (TLClippingCellView* cell = tableView_->viewAtRow(row, false))
            cell->setSelected(std::binary_search(selected.begin(), selected.end(), row));
}

const std::vector<std::shared_ptr<Clipping>>& TLClippingsViewController::shownRows() const { return model_->rows; }

void TLClippingsViewController::moveRow(int from, int to) {
    model_->move(from, to);
    // The rows between took other places: each gets its clipping's height.
    QuietHeader quiet(*tableView_->verticalHeader());
    for (int row = std::min(from, to); row <= std::max(from, to); ++row) setRowHeight(row);
}

void TLClippingsViewController::selectRows(const std::vector<int>& rows) {
    QItemSelection selection;
    for (int row : rows)
        if (row >= 0 && row < int(model_->rows.size())) selection.select(model_->index(row, 0), model_->index(row, 0));
    tableView_->selectionModel()->select(selection, QItemSelectionModel::ClearAndSelect | QItemSelectionModel::Rows);
}

void TLClippingsViewController::scrollViewDidScroll() {
    dismissPresentedPopover();
    if (scrollAction_) scrollAction_();
    updateVisibleRowHeights();
}

void TLClippingsViewController::tableViewOptionClickedRow(TLClippingsTableView&, int row) {
    tableViewOptionClickedRow(row);
}

// --- Thumbnails

QImage TLClippingsViewController::cachedThumbnail(const std::string& clippingID) const {
    const QImage* image = imageCache_.object(QString::fromStdString(clippingID));
    return image ? *image : QImage();
}

QSizeF TLClippingsViewController::imageSizeOfFile(const QString& path) {
    if (isPDF(path)) {
        QPdfDocument document;
        if (document.load(path) != QPdfDocument::Error::None || document.pageCount() < 1) return {};
        return document.pagePointSize(0);
    }
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    QSize size = reader.size();
    if (!size.isValid()) return {};
    return QSizeF(size);
}

QImage TLClippingsViewController::thumbnailForFile(const QString& path, double panelWidth) {
    const double width = panelWidth - 4.0;
    const double third = std::round(float(width / 3));
    const double target = std::max(width * 1.5, third * 1.5);
    if (target < 1) return {};
    if (isPDF(path)) {
        QPdfDocument document;
        if (document.load(path) != QPdfDocument::Error::None || document.pageCount() < 1) return {};
        QSizeF page = document.pagePointSize(0);
        if (page.width() <= 0 || page.height() <= 0) return {};
        QSize size = page.scaled(QSizeF(target, target * 4), Qt::KeepAspectRatio).toSize().expandedTo(QSize(1, 1));
        QImage image = document.render(0, size);
        return image;
    }
    QImageReader reader(path);
    reader.setDecideFormatFromContent(true);
    reader.setAutoTransform(true);
    QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) return {};
    // Orientation turns the picture: the limits apply to what is shown.
    if (reader.transformation() & QImageIOHandler::TransformationRotate90) size.transpose();
    int32_t w = size.width(), h = size.height();
    if (w > target) {
        int32_t t = int32_t(target);
        h = int32_t(int64_t(h) * t / w);
        w = t;
    }
    // A tall picture is bounded too: its height never decodes beyond four widths.
    int32_t tallest = int32_t(target * 4);
    if (h > tallest) {
        w = std::max<int32_t>(1, int32_t(int64_t(w) * tallest / h));
        h = tallest;
    }
    QSize scaled(std::max(1, w), std::max(1, h));
    if (reader.transformation() & QImageIOHandler::TransformationRotate90) scaled.transpose();
    if (scaled != reader.size()) reader.setScaledSize(scaled);
    QImage image = reader.read();
    return image;
}

void TLClippingsViewController::loadThumbnailForClipping(const std::shared_ptr<Clipping>& clipping) {
    auto id = clipping ? clipping->clippingID() : std::nullopt;
    if (!id || pendingThumbnails_.count(*id)) return;
    QString path = assetPath(id, clipping->image());
    if (path.isEmpty()) return;
    pendingThumbnails_.insert(*id);
    const double panelWidth = width();
    std::weak_ptr<TLClippingsViewController*> alive = self_;
    previewImageOperationQueue_->async([alive, id = *id, path, panelWidth] {
        QImage image = std::filesystem::exists(path.toStdString()) ? thumbnailForFile(path, panelWidth) : QImage();
        dispatch::Queue::main()->async([alive, id, image, pdf = !image.isNull() && isPDF(path)] {
            auto self = alive.lock();
            if (!self) return;
            TLClippingsViewController& panel = **self;
            panel.pendingThumbnails_.erase(id);
            if (image.isNull()) return;  // the row keeps its plate
            QString key = QString::fromStdString(id);
            panel.imageCache_.insert(key, new QImage(image), std::max<qsizetype>(1, image.sizeInBytes()));
            if (pdf) TLCellHeightCache::deleteCellHeightForClipping(id);  // a page's height is its own
            int row = panel.rowOfClippingNearViewport(id);
            if (row < 0) return;
            if (TLClippingCellView* cell = panel.tableView_->viewAtRow(row, false)) cell->setClippingImage(image);
            if (pdf) panel.setRowHeight(row);
        });
    });
}
