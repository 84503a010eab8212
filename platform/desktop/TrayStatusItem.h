#pragma once
// StatusItem over QSystemTrayIcon (an XEmbed tray, or a StatusNotifier host
// when the session has one). Main queue only.
#include <QIcon>
#include <QObject>
#include <QSystemTrayIcon>

#include <memory>

#include "Menu.h"
#include "StatusItem.h"

namespace desktop {

class TrayStatusItem final : public QObject, public StatusItem {
public:
    explicit TrayStatusItem(double length);
    ~TrayStatusItem() override;

    double length() const override { return length_; }
    void setImage(const std::string& path) override;
    void setAppearsDisabled(bool disabled) override;
    bool appearsDisabled() const override { return disabled_; }
    void setAction(Action action) override { action_ = std::move(action); }
    void setMenu(std::shared_ptr<Menu> menu) override;
    Rect geometry() const override;
    std::optional<Rect> anchor() const override;
    bool isVisibleInTray() const override;
    void remove() override;

private:
    void updateIcon();
    void activated(QSystemTrayIcon::ActivationReason reason);

    double length_;
    bool disabled_ = false;
    bool removed_ = false;
    std::optional<Rect> pressedAt_;  // the pointer at the last activation
    QIcon image_;
    Action action_;
    std::shared_ptr<Menu> menu_;
    std::unique_ptr<QSystemTrayIcon> icon_;
};

}  // namespace desktop
