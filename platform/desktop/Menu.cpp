#include "Menu.h"

#include <algorithm>

#include <QAction>
#include <QFontMetrics>
#include <QIcon>
#include <QMenu>
#include <QPainter>
#include <QPixmap>
#include <QPoint>

namespace desktop {

namespace {

// The mark of a mixed item: a short dash where a check mark would be.
QIcon mixedStateIcon() {
    static const QIcon icon = [] {
        QPixmap pixmap(16, 16);
        pixmap.fill(Qt::transparent);
        QPainter painter(&pixmap);
        painter.setPen(QPen(Qt::black, 2));
        painter.drawLine(4, 8, 12, 8);
        return QIcon(pixmap);
    }();
    return icon;
}

// A row that is on and has a picture: the style draws the picture's "on"
// form in a pressed box where the check mark would be, so the picture gets a
// check mark for that form (a blank picture, which only gives a row its
// height, would leave the box empty).
QIcon withCheckMark(QIcon icon, const QColor& color) {
    QPixmap mark(16, 16);
    mark.fill(Qt::transparent);
    QPainter painter(&mark);
    painter.setRenderHint(QPainter::Antialiasing);
    painter.setPen(QPen(color, 2, Qt::SolidLine, Qt::RoundCap, Qt::RoundJoin));
    const QPointF points[] = {{3.5, 8.5}, {6.5, 11.5}, {12.5, 4.5}};
    painter.drawPolyline(points, 3);
    painter.end();
    icon.addPixmap(mark, QIcon::Normal, QIcon::On);
    return icon;
}

// The widest a row's title is shown; a longer one (a clipping's whole text
// as a title) is cut with an ellipsis rather than widening the menu past the
// screen. Cut to a few hundred characters first, so measuring stays cheap.
constexpr int kMaxTitleWidth = 600;
constexpr qsizetype kMaxTitleCharacters = 300;

// A title shown as written: "&" is a character, not a mnemonic, and a
// control character shows as its picture (a tab would start the shortcut
// column, a line break a second line).
QString literalText(const std::string& title, const QFont& font) {
    QString text = QString::fromStdString(title);
    if (text.size() > kMaxTitleCharacters) text = text.left(kMaxTitleCharacters) + QChar(0x2026);
    for (QChar& c : text) {
        if (c.unicode() < 0x20) c = QChar(0x2400 + c.unicode());
        else if (c.unicode() == 0x7F) c = QChar(0x2421);
    }
    text = QFontMetrics(font).elidedText(text, Qt::ElideRight, kMaxTitleWidth);
    return text.replace(QLatin1Char('&'), QLatin1String("&&"));
}

std::shared_ptr<Menu>& mainMenuSlot() {
    static std::shared_ptr<Menu> menu;
    return menu;
}

}  // namespace

Menu::Menu(std::string title) : title_(std::move(title)) {}

Menu::~Menu() = default;

std::shared_ptr<MenuItem> Menu::itemAtIndex(int index) const {
    return index >= 0 && index < numberOfItems() ? items_[static_cast<size_t>(index)] : nullptr;
}

std::shared_ptr<MenuItem> Menu::itemWithTag(int64_t tag) const {
    for (const auto& item : items_) {
        if (item->tag() == tag) return item;
    }
    return nullptr;
}

int Menu::indexOfItem(const MenuItem& item) const {
    for (size_t i = 0; i < items_.size(); ++i) {
        if (items_[i].get() == &item) return static_cast<int>(i);
    }
    return -1;
}

void Menu::addItem(std::shared_ptr<MenuItem> item) {
    items_.push_back(std::move(item));
}

void Menu::insertItem(std::shared_ptr<MenuItem> item, int atIndex) {
    atIndex = std::clamp(atIndex, 0, numberOfItems());
    items_.insert(items_.begin() + atIndex, std::move(item));
}

void Menu::removeItemAtIndex(int index) {
    if (index >= 0 && index < numberOfItems()) items_.erase(items_.begin() + index);
}

void Menu::removeAllItems() {
    items_.clear();
}

QMenu* Menu::qMenu() {
    if (!qMenu_) {
        qMenu_ = std::make_unique<QMenu>();
        // Before the menu maps: the hook first, so the rows shown are the hook's.
        QObject::connect(qMenu_.get(), &QMenu::aboutToShow, qMenu_.get(), [this] {
            if (poppingUp_) poppingUp_ = false;
            else update();
        });
        rebuild();
    }
    return qMenu_.get();
}

void Menu::update() {
    if (aboutToShow_) aboutToShow_(*this);
    rebuild();
}

void Menu::rebuild() {
    if (!qMenu_) return;
    QMenu* menu = qMenu_.get();
    menu->clear();
    menu->setTitle(literalText(title_, menu->font()));
    menu->setMinimumWidth(minimumWidth_);
    for (const std::shared_ptr<MenuItem>& item : items_) {
        if (item->isHidden()) continue;
        if (item->isSeparatorItem()) {
            menu->addSeparator();
            continue;
        }
        QString text = literalText(item->title(), menu->font());
        // After a tab the text is drawn in the shortcut column; no QShortcut is
        // made, so the key never fires from the menu: the hotkey it names does.
        std::string label = item->keyEquivalentLabel();
        if (!label.empty()) text += QLatin1Char('\t') + QString::fromStdString(label);
        QAction* action = menu->addAction(text);
        action->setEnabled(item->isEnabled());
        action->setToolTip(QString::fromStdString(item->toolTip()));
        action->setData(QVariant::fromValue(static_cast<qlonglong>(item->tag())));
        if (!item->image().isNull()) {
            action->setIcon(item->image());
            action->setIconVisibleInMenu(true);
        }
        switch (item->state()) {
        case MenuItem::State::On:
            action->setCheckable(true);
            action->setChecked(true);
            if (!item->image().isNull()) action->setIcon(withCheckMark(item->image(), menu->palette().color(QPalette::Text)));
            break;
        case MenuItem::State::Mixed:
            action->setIcon(mixedStateIcon());
            action->setIconVisibleInMenu(true);
            action->setProperty("mixedState", true);
            break;
        case MenuItem::State::Off:
            break;
        }
        if (item->hasSubmenu()) {
            action->setMenu(item->submenu()->qMenu());
            continue;
        }
        std::weak_ptr<MenuItem> weak = item;
        QObject::connect(action, &QAction::triggered, menu, [weak] {
            if (auto strong = weak.lock()) strong->performAction();
        });
    }
}

void Menu::popUp(const QPoint& screenPoint, const MenuItem* positioningItem) {
    QMenu* menu = qMenu();
    update();
    QAction* at = nullptr;
    int index = positioningItem ? indexOfItem(*positioningItem) : 0;
    if (index < 0) index = 0;
    // Hidden items have no action; count only the shown ones before it.
    int shown = 0;
    for (int i = 0; i < index && i < numberOfItems(); ++i) shown += items_[static_cast<size_t>(i)]->isHidden() ? 0 : 1;
    if (shown < menu->actions().size()) at = menu->actions().at(shown);
    // popup() announces aboutToShow while it places the menu by `at`, which a
    // rebuild would delete; the model is current already.
    poppingUp_ = true;
    menu->popup(screenPoint, at);
    poppingUp_ = false;
}

std::shared_ptr<Menu> Menu::mainMenu() {
    return mainMenuSlot();
}

void Menu::setMainMenu(std::shared_ptr<Menu> menu) {
    mainMenuSlot() = std::move(menu);
}

}  // namespace desktop
