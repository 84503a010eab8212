#pragma once
// One row of a desktop::Menu: a title shown literally (an "&" is an ampersand,
// never a mnemonic), a key equivalent shown beside it in Linux words but never
// acted on (the hotkey it names does the work, system-wide), an off, on or
// mixed state, a tag, a represented object, an optional submenu and an action.
// Main thread.

#include <any>
#include <cstdint>
#include <functional>
#include <memory>
#include <string>

#include <QIcon>

namespace desktop {

class Menu;

class MenuItem {
public:
    enum class State { Off, On, Mixed };

    // Key equivalent modifier bits: Shift, Control (Super), Option (Alt), Command (Ctrl).
    static constexpr uint64_t kShiftKeyMask = 0x20000;
    static constexpr uint64_t kControlKeyMask = 0x40000;
    static constexpr uint64_t kAlternateKeyMask = 0x80000;
    static constexpr uint64_t kCommandKeyMask = 0x100000;

    using Action = std::function<void(MenuItem& sender)>;

    // The key equivalent's mask starts as Command, as a typed letter's would.
    explicit MenuItem(std::string title = {}, Action action = {}, std::string keyEquivalent = {});
    static std::shared_ptr<MenuItem> separatorItem();
    bool isSeparatorItem() const { return separator_; }

    const std::string& title() const { return title_; }
    void setTitle(std::string title) { title_ = std::move(title); }
    // One character: a lower-case letter, or an upper-case one meaning Shift too;
    // a named key's glyph; " " for Space; U+F704... for F1 to F19.
    const std::string& keyEquivalent() const { return keyEquivalent_; }
    void setKeyEquivalent(std::string keyEquivalent) { keyEquivalent_ = std::move(keyEquivalent); }
    uint64_t keyEquivalentModifierMask() const { return keyEquivalentModifierMask_; }
    void setKeyEquivalentModifierMask(uint64_t mask) { keyEquivalentModifierMask_ = mask; }
    // The key equivalent in Linux words ("Ctrl+Shift+N"); empty without one.
    std::string keyEquivalentLabel() const;

    State state() const { return state_; }
    void setState(State state) { state_ = state; }
    bool isEnabled() const { return enabled_; }
    void setEnabled(bool enabled) { enabled_ = enabled; }
    bool isHidden() const { return hidden_; }
    void setHidden(bool hidden) { hidden_ = hidden; }
    int64_t tag() const { return tag_; }
    void setTag(int64_t tag) { tag_ = tag; }
    const std::any& representedObject() const { return representedObject_; }
    void setRepresentedObject(std::any object) { representedObject_ = std::move(object); }
    // Shown before the title (a blank one lines titles up); none by default.
    const QIcon& image() const { return image_; }
    void setImage(const QIcon& image) { image_ = image; }
    const std::string& toolTip() const { return toolTip_; }
    void setToolTip(std::string toolTip) { toolTip_ = std::move(toolTip); }

    const std::shared_ptr<Menu>& submenu() const { return submenu_; }
    void setSubmenu(std::shared_ptr<Menu> submenu) { submenu_ = std::move(submenu); }
    bool hasSubmenu() const { return submenu_ != nullptr; }

    const Action& action() const { return action_; }
    void setAction(Action action) { action_ = std::move(action); }
    // Runs the action, when there is one and the item is enabled.
    void performAction();

private:
    std::string title_;
    std::string keyEquivalent_;
    uint64_t keyEquivalentModifierMask_ = kCommandKeyMask;
    State state_ = State::Off;
    bool enabled_ = true;
    bool hidden_ = false;
    bool separator_ = false;
    int64_t tag_ = 0;
    std::any representedObject_;
    std::string toolTip_;
    QIcon image_;
    std::shared_ptr<Menu> submenu_;
    Action action_;
};

}  // namespace desktop
