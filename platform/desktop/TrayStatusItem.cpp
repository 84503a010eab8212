#include "TrayStatusItem.h"

#include <QCursor>
#include <QPixmap>

namespace desktop {

namespace {
constexpr int kIconSide = 22;
}

std::unique_ptr<StatusItem> StatusItem::makeTrayItem(double length) { return std::make_unique<TrayStatusItem>(length); }

bool StatusItem::isTrayAvailable() { return QSystemTrayIcon::isSystemTrayAvailable(); }

TrayStatusItem::TrayStatusItem(double length)
    : length_(length), icon_(std::make_unique<QSystemTrayIcon>()) {
    icon_->setToolTip(QStringLiteral("Tavlo"));
    connect(icon_.get(), &QSystemTrayIcon::activated, this, &TrayStatusItem::activated);
}

TrayStatusItem::~TrayStatusItem() { remove(); }

void TrayStatusItem::setImage(const std::string& path) {
    image_ = QIcon(QString::fromStdString(path));
    updateIcon();
}

void TrayStatusItem::setAppearsDisabled(bool disabled) {
    disabled_ = disabled;
    updateIcon();
}

void TrayStatusItem::updateIcon() {
    if (removed_) return;
    if (!disabled_) {
        icon_->setIcon(image_);
    } else {
        // Trays draw every icon in its normal mode, so the dimmed look is
        // baked into the pixmaps.
        QIcon dimmed;
        for (int side : {kIconSide, kIconSide * 2}) dimmed.addPixmap(image_.pixmap(side, side, QIcon::Disabled));
        icon_->setIcon(dimmed);
    }
    // Shown even without a tray: Qt embeds the icon once a tray appears.
    if (!image_.isNull()) icon_->show();
}

void TrayStatusItem::activated(QSystemTrayIcon::ActivationReason reason) {
    // Context is the right press, answered by the menu itself.
    if (reason == QSystemTrayIcon::Context) return;
    // StatusNotifier hosts never say where the icon is: the press is the
    // best mark of it there is.
    QPoint pointer = QCursor::pos();
    pressedAt_ = Rect{pointer.x(), pointer.y(), 0, 0};
    if (action_) action_();
}

void TrayStatusItem::setMenu(std::shared_ptr<Menu> menu) {
    // The tray pops the menu up by itself on a right press (XEmbed and
    // StatusNotifier hosts alike); the menu's own about-to-show hook fills it
    // just before it shows.
    menu_ = std::move(menu);
    if (!removed_) icon_->setContextMenu(menu_ ? menu_->qMenu() : nullptr);
}

Rect TrayStatusItem::geometry() const {
    if (removed_) return {};
    QRect r = icon_->geometry();
    return {r.x(), r.y(), r.width(), r.height()};
}

std::optional<Rect> TrayStatusItem::anchor() const {
    if (removed_) return std::nullopt;
    Rect icon = geometry();
    if (!icon.isEmpty()) return icon;
    return pressedAt_;
}

bool TrayStatusItem::isVisibleInTray() const {
    return !removed_ && QSystemTrayIcon::isSystemTrayAvailable() && icon_->isVisible();
}

void TrayStatusItem::remove() {
    if (removed_) return;
    removed_ = true;
    icon_->hide();
    icon_->setContextMenu(nullptr);
}

}  // namespace desktop
