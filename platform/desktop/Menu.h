#pragma once
// A menu as the application builds it (the status menu, the browser's menus),
// realised as a QMenu when shown. The model stays the truth: the QMenu is
// rebuilt from it each time it is about to show, after the about-to-show hook
// has brought the items up to date. Main thread.

#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "MenuItem.h"

class QMenu;
class QPoint;
class QWidget;

namespace desktop {

class Menu {
public:
    explicit Menu(std::string title = {});
    ~Menu();

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }

    const std::vector<std::shared_ptr<MenuItem>>& items() const { return items_; }
    int numberOfItems() const { return static_cast<int>(items_.size()); }
    // Null when index is out of range.
    std::shared_ptr<MenuItem> itemAtIndex(int index) const;
    std::shared_ptr<MenuItem> itemWithTag(int64_t tag) const;
    // -1 when the item is not in this menu.
    int indexOfItem(const MenuItem& item) const;
    void addItem(std::shared_ptr<MenuItem> item);
    void insertItem(std::shared_ptr<MenuItem> item, int atIndex);
    void removeItemAtIndex(int index);
    void removeAllItems();

    // The narrowest the shown menu may be, in pixels.
    int minimumWidth() const { return minimumWidth_; }
    void setMinimumWidth(int width) { minimumWidth_ = width; }

    // Runs each time before the menu shows, before it is built and mapped.
    void setAboutToShow(std::function<void(Menu&)> hook) { aboutToShow_ = std::move(hook); }

    // The QMenu that shows this menu (made on first use, owned by the model).
    QMenu* qMenu();
    // Shows the menu with item (item 0 when null or not in the menu) at a screen point.
    void popUp(const QPoint& screenPoint, const MenuItem* positioningItem = nullptr);
    // Brings the QMenu up to date now, as showing does.
    void update();

    // The application's main menu (the browser's); menu checks of new shortcuts walk it.
    static std::shared_ptr<Menu> mainMenu();
    static void setMainMenu(std::shared_ptr<Menu> menu);

private:
    void rebuild();

    std::string title_;
    std::vector<std::shared_ptr<MenuItem>> items_;
    int minimumWidth_ = 0;
    std::function<void(Menu&)> aboutToShow_;
    bool poppingUp_ = false;
    std::unique_ptr<QMenu> qMenu_;
};

}  // namespace desktop
