#pragma once
// The application's icon in the desktop's notification area (the tray). A
// left press runs the item's action; a right press shows its menu, whose
// about-to-show hook fills it anew each time it opens. Main queue only.
//
// Without a tray the item still exists and remembers its settings: it is not
// visible, and isVisibleInTray() says so; a tray that appears later gets the
// icon.
#include <functional>
#include <memory>
#include <optional>
#include <string>

namespace desktop {

class Menu;

struct Rect {
    int x = 0;
    int y = 0;
    int width = 0;
    int height = 0;
    bool isEmpty() const { return width <= 0 || height <= 0; }
};

class StatusItem {
public:
    using Action = std::function<void()>;

    virtual ~StatusItem() = default;

    // The width the item asked for, in points; trays size icons themselves.
    virtual double length() const = 0;
    // The icon: a PNG or SVG file.
    virtual void setImage(const std::string& path) = 0;
    // Greys the icon out (capture paused) or restores it.
    virtual void setAppearsDisabled(bool disabled) = 0;
    virtual bool appearsDisabled() const = 0;
    virtual void setAction(Action action) = 0;
    // The menu a right press shows; the item keeps it while it lives.
    virtual void setMenu(std::shared_ptr<Menu> menu) = 0;
    // Where the icon sits on the screen; empty when the tray does not say.
    virtual Rect geometry() const = 0;
    // What a window hung under the icon points at: the icon's geometry when
    // the tray gives one, else the pointer where the icon was last pressed (a
    // rectangle without size), else nothing.
    virtual std::optional<Rect> anchor() const {
        Rect icon = geometry();
        if (!icon.isEmpty()) return icon;
        return std::nullopt;
    }
    virtual bool isVisibleInTray() const = 0;
    // Takes the icon out of the tray for good.
    virtual void remove() = 0;

    // Makes items in the desktop's tray.
    static std::unique_ptr<StatusItem> makeTrayItem(double length);
    // True when a tray is there to show icons.
    static bool isTrayAvailable();
};

}  // namespace desktop
