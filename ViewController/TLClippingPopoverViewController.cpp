#include "TLClippingPopoverViewController.h"

#include <QGuiApplication>
#include <QImageReader>
#include <QKeyEvent>
#include <QPainter>
#include <QPainterPath>
#include <QPointer>
#include <QScreen>
#include <QScrollArea>
#include <QScrollBar>
#include <QVBoxLayout>

#include <algorithm>
#include <cmath>

#include "kit/Clipping.h"
#include "kit/NSColorTavloColors.h"
#include "kit/TLSettings.h"
#include "kit/TavloKit.h"
#include "platform/desktop/Alert.h"
#include "platform/desktop/KeyEvent.h"
#include "platform/desktop/Popover.h"
#include "platform/foundation/TypeIdentifier.h"

namespace {

constexpr double kCornerRadius = 5;

// An image file's pixel size and type, read from its header alone; invalid
// when it cannot be read or its pixels would not fit the bound.
struct ImageFile {
    QString path;
    QSize size;
    std::string type;
};

std::optional<ImageFile> readImageHeader(const QString& path) {
    QImageReader reader(path);
    reader.setAutoTransform(true);
    const QSize size = reader.size();
    if (!size.isValid() || size.isEmpty()) return std::nullopt;
    const double bytes = double(size.width()) * size.height() * 4;
    if (bytes > double(TLClippingPopoverViewController::kImageAllocationLimitMiB) * 1024 * 1024) return std::nullopt;
    std::string type = foundation::TypeIdentifier::typeForFilenameExtension(reader.format().toStdString());
    if (type.empty()) type = "public.image";
    return ImageFile{path, size, type};
}

// The image decoded no larger than it shows in a popover of width W.
QImage decodeForWidth(const ImageFile& file, double width) {
    QImageReader reader(file.path);
    reader.setAutoTransform(true);
    reader.setAllocationLimit(TLClippingPopoverViewController::kImageAllocationLimitMiB);
    QSize shown = file.size;
    if (width < shown.width()) shown = file.size.scaled(QSize(int(width), INT_MAX), Qt::KeepAspectRatio);
    if (shown != file.size) reader.setScaledSize(shown.expandedTo(QSize(1, 1)));
    return reader.read();
}

}  // namespace

// --- Geometry.

double TLClippingPopoverViewController::popoverWidth(const std::vector<QSize>& imageSizes, double maxWidth) {
    double width = kDefaultWidth;
    for (const QSize& size : imageSizes) {
        if (size.width() > kDefaultWidth) width = size.width() > maxWidth ? maxWidth : size.width();
    }
    return width;
}

int TLClippingPopoverViewController::imageItemHeight(const QSize& imageSize, double width) {
    double h = imageSize.height();
    if (width < imageSize.width()) h = std::floor(width / imageSize.width() * imageSize.height());
    return static_cast<int>(std::max(kMinimumHeight, h + TLClippingItemViewController::kHeaderHeight));
}

int TLClippingPopoverViewController::headerOffset(int visibleTop, int itemTop, int itemHeight) {
    if (itemTop > visibleTop) return 0;
    return std::max(0, std::min(visibleTop - itemTop, itemHeight - TLClippingItemViewController::kHeaderHeight));
}

QString TLClippingPopoverViewController::charactersText(qsizetype length) {
    return QStringLiteral("%1 character%2").arg(length).arg(length > 1 ? QStringLiteral("s") : QString());
}

// --- Life.

TLClippingPopoverViewController::TLClippingPopoverViewController(QWidget* parent) : QWidget(parent) {
    setObjectName(QStringLiteral("TLClippingPopoverViewController"));
    setFocusPolicy(Qt::StrongFocus);
}

TLClippingPopoverViewController::~TLClippingPopoverViewController() {
    if (closeGuardAlert_) closeGuardAlert_->withdraw();
}

void TLClippingPopoverViewController::setPopover(desktop::Popover* popover) {
    popover_ = popover;
    for (auto* item : stackViewControllers_) item->setPopover(popover);
}

void TLClippingPopoverViewController::viewDidLoad() {
    if (loaded_) return;
    loaded_ = true;
    auto* layout = new QVBoxLayout(this);
    layout->setContentsMargins(0, 0, 0, 0);
    scrollView_ = new QScrollArea(this);
    scrollView_->setObjectName(QStringLiteral("scrollView"));
    scrollView_->setFrameShape(QFrame::NoFrame);
    scrollView_->setHorizontalScrollBarPolicy(Qt::ScrollBarAlwaysOff);
    scrollView_->setWidgetResizable(true);
    layout->addWidget(scrollView_);
    const QColor background = TavloKit::isDarkMode() ? NSColorTavloColors::darkClippingsViewBackgroundColor() : NSColorTavloColors::lightClippingsViewBackgroundColor();
    QPalette palette = this->palette();
    palette.setColor(QPalette::Window, background);
    palette.setColor(QPalette::Base, background);
    setPalette(palette);
    scrollView_->setPalette(palette);
    scrollView_->viewport()->setAutoFillBackground(false);
    QObject::connect(scrollView_->verticalScrollBar(), &QScrollBar::valueChanged, this, [this] { boundsDidChange(); });
    loadClippingItems();
}

TLClippingItemViewController* TLClippingPopoverViewController::makeItem() {
    auto* item = new TLClippingItemViewController;
    item->setClipping(clipping_);
    if (saveContext_) item->setSaveContext(saveContext_);
    return item;
}

int TLClippingPopoverViewController::heightLimit() const {
    QScreen* screen = popover_ && popover_->window() && popover_->isShown() ? popover_->window()->screen() : nullptr;
    if (!screen) screen = this->screen();
    if (!screen) screen = QGuiApplication::primaryScreen();
    return screen ? static_cast<int>(screen->availableGeometry().height() - kScreenMargin) : static_cast<int>(-kScreenMargin);
}

void TLClippingPopoverViewController::loadClippingItems() {
    stackViewControllers_.clear();
    stackView_ = new QWidget;
    stackView_->setObjectName(QStringLiteral("stackView"));
    auto* stack = new QVBoxLayout(stackView_);
    stack->setContentsMargins(0, 0, 0, 0);
    stack->setSpacing(0);
    stack->setAlignment(Qt::AlignHCenter | Qt::AlignTop);
    if (!clipping_) {
        scrollView_->setWidget(stackView_);
        preferredContentSize_ = QSize(int(kDefaultWidth), int(kMinimumHeight));
        return;
    }

    // Images only for a clipping without text: a text's own files (its rich
    // forms, a picture of it) are not what it shows.
    std::vector<ImageFile> images;
    auto text = clipping_->sharedText();
    if (!text || text->empty()) {
        const int64_t count = clipping_->numberOfImages();
        for (int64_t n = 0; n < count; ++n) {
            auto url = clipping_->URLForImageAssetAtIndex(n);
            if (!url) continue;
            if (auto file = readImageHeader(QString::fromStdString(url->filePath().string()))) images.push_back(*file);
        }
    }
    std::vector<QSize> sizes;
    for (const auto& file : images) sizes.push_back(file.size);
    const double width = popoverWidth(sizes, maxWidth_);
    const int w = static_cast<int>(width);
    int height = 0;

    int index = 0;
    for (const auto& file : images) {
        QImage image = decodeForWidth(file, width);
        if (image.isNull()) continue;
        auto* item = makeItem();
        QString kind = QString::fromStdString(file.type).section(u'.', -1).toUpper();
        item->setItemHeaderText(QStringLiteral("%1 - %2 \u00D7 %3").arg(kind).arg(file.size.width()).arg(file.size.height()));
        item->setItemImage(image);
        item->setItemImagePath(file.path);
        item->setItemImageType(file.type);
        item->setItemImageIndex(index++);
        const int h = imageItemHeight(file.size, width);
        item->setFixedSize(w, h);
        height += h;
        stackViewControllers_.push_back(item);
    }

    const int limit = heightLimit();
    auto addTextItem = [&](TLClippingItemViewController* item) {
        item->setDelegate(this);
        item->setMaxHeight(limit);
        item->setFixedWidth(w);
        item->setHeightConstraint(kDefaultTextItemHeight);
        item->setFixedHeight(kDefaultTextItemHeight);
        stackViewControllers_.push_back(item);
    };
    const std::string url = clipping_->url().value_or("");
    if (text && !text->empty() && *text != url) {
        auto* item = makeItem();
        QString itemText = QString::fromStdString(*text);
        if (TLNonEmpty(clipping_->urlName())) {
            item->setItemHeaderText(QString::fromStdString(*clipping_->urlName()));
        } else if (TLNonEmpty(clipping_->urlSource())) {
            item->setItemHeaderText(QString::fromStdString(*clipping_->urlSource()));
        } else {
            item->setItemHeaderText(charactersText(itemText.size()));
        }
        item->setItemText(std::move(itemText));
        addTextItem(item);
    }
    if (!url.empty()) {
        auto* item = makeItem();
        QString itemURL = QString::fromStdString(url);
        item->setItemHeaderText(TLNonEmpty(clipping_->urlName()) ? QString::fromStdString(*clipping_->urlName())
                                                               : charactersText(itemURL.size()));
        item->setItemURL(std::move(itemURL));
        addTextItem(item);
    }

    for (auto* item : stackViewControllers_) {
        item->setPopover(popover_);
        stack->addWidget(item, 0, Qt::AlignHCenter);
        item->viewDidLoad();
    }
    scrollView_->setWidget(stackView_);
    preferredContentSize_ = QSize(w, height);
    updatePreferredContentSize();
}

void TLClippingPopoverViewController::updatePreferredContentSize() {
    if (updatingSize_) return;
    updatingSize_ = true;
    int sum = 0;
    for (auto* item : stackViewControllers_) sum += item->height();
    sum = std::max(sum, static_cast<int>(kMinimumHeight));
    preferredContentSize_.setHeight(std::min(sum, heightLimit()));
    pushContentSize();
    updatingSize_ = false;
}

void TLClippingPopoverViewController::pushContentSize() {
    if (popover_) popover_->setContentSize(preferredContentSize_);
}

void TLClippingPopoverViewController::boundsDidChange() {
    if (!scrollView_) return;
    const int top = scrollView_->verticalScrollBar()->value();
    for (auto* item : stackViewControllers_) item->setHeaderViewTopConstraint(headerOffset(top, item->y(), item->height()));
}

void TLClippingPopoverViewController::paintEvent(QPaintEvent*) {
    QPainter painter(this);
    painter.setRenderHint(QPainter::Antialiasing);
    QPainterPath path;
    path.addRoundedRect(QRectF(rect()), kCornerRadius, kCornerRadius);
    painter.fillPath(path, palette().color(QPalette::Window));
}

// --- Keys and the popover.

void TLClippingPopoverViewController::keyPressEvent(QKeyEvent* event) {
    auto key = desktop::KeyEvent::fromQKeyEvent(*event);
    if (key.character() == u' ' && popover_) {
        popover_->performClose();
        return;
    }
    QWidget::keyPressEvent(event);
}

void TLClippingPopoverViewController::popoverDidShow(desktop::Popover& popover) {
    setPopover(&popover);
    for (auto* item : stackViewControllers_) item->popoverDidShow();
    updatePreferredContentSize();
    setFocus();
}

bool TLClippingPopoverViewController::popoverShouldClose(desktop::Popover& popover) {
    if (!isEditing()) return true;
    if (closeGuardAlert_ && closeGuardAlert_->isShowing()) return false;
    scrollView_->verticalScrollBar()->setValue(0);
    closeGuardAlert_ = std::make_shared<desktop::Alert>();
    closeGuardAlert_->setMessageText("Changes have not been saved.");
    closeGuardAlert_->setAlertStyle(desktop::Alert::Style::Warning);
    closeGuardAlert_->addButtonWithTitle("Save");
    closeGuardAlert_->addButtonWithTitle("Discard");
    QPointer<TLClippingPopoverViewController> alive(this);
    desktop::Popover* shown = &popover;
    closeGuardAlert_->beginInHost(popover, [alive, shown](int response) {
        if (!alive) return;
        TLClippingItemViewController* editing = alive->editingItemViewController_;
        if (response == desktop::Alert::kFirstButtonReturn && editing) {
            // Closed only once the edit is stored: a refused or failed save
            // keeps the popover open with the edit.
            editing->saveChanges([alive, shown](bool saved) {
                if (!alive || !saved) return;
                alive->editingItemViewController_ = nullptr;
                shown->close();
            });
            return;
        }
        alive->editingItemViewController_ = nullptr;
        shown->close();
    });
    return false;
}

void TLClippingPopoverViewController::clippingItemViewControllerSizeDidChange(TLClippingItemViewController&) {
    updatePreferredContentSize();
}

void TLClippingPopoverViewController::clippingItemViewControllerSizeDidBeginEditing(TLClippingItemViewController& item) {
    editingItemViewController_ = &item;
}

void TLClippingPopoverViewController::clippingItemViewControllerSizeDidEndEditing(TLClippingItemViewController& item) {
    if (editingItemViewController_ == &item) editingItemViewController_ = nullptr;
}
