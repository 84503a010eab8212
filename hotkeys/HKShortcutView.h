#pragma once
// The control that records a hotkey: it shows the current shortcut, starts
// recording on a click, takes the next combination typed, validates it and
// writes it through its binding to a user-defaults key, from where the hotkey
// binder registers it again. It can also clear the shortcut or cancel.
// Main thread only.
//
// While a view records, an application event filter (one for all views) sees
// every key press and modifier change first; only one view records at a time.
// Labels use Linux words: a stored Command reads "Ctrl", so Ctrl+W and Ctrl+Q
// still close the window and quit while recording.

#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <QWidget>

#include "HKShortcut.h"
#include "platform/desktop/MenuItem.h"
#include "platform/foundation/UserDefaults.h"

class HKShortcutValidator;
class QKeyEvent;

namespace foundation {
class ValueTransformer;
}

class HKShortcutView : public QWidget {
    Q_OBJECT

public:
    // The names the recorder's one binding answers to.
    static constexpr const char* kShortcutValueBinding = "shortcutValue";

    explicit HKShortcutView(QWidget* parent = nullptr);
    ~HKShortcutView() override;

    const std::optional<HKShortcut>& shortcutValue() const { return shortcutValue_; }
    // Stores, redraws, writes through the binding, then runs the change block.
    void setShortcutValue(std::optional<HKShortcut> value);
    using ChangeBlock = std::function<void(HKShortcutView&)>;
    void setShortcutValueChange(ChangeBlock block) { shortcutValueChange_ = std::move(block); }

    const std::shared_ptr<HKShortcutValidator>& shortcutValidator() const { return shortcutValidator_; }
    void setShortcutValidator(std::shared_ptr<HKShortcutValidator> validator);

    bool isRecording() const { return recording_; }
    void setRecording(bool recording);
    bool isHinting() const { return hinting_; }
    bool showsDeleteButton() const { return showsDeleteButton_; }
    void setShowsDeleteButton(bool shows);
    // The look, 0 to 3 (a rounded bezel, a textured one, a push button, no
    // bezel); named apart from QWidget::style().
    int viewStyle() const { return viewStyle_; }
    void setViewStyle(int style);
    // Shown while recording in place of the prompt (the modifiers held so far).
    const std::string& shortcutPlaceholder() const { return shortcutPlaceholder_; }
    void setShortcutPlaceholder(std::string placeholder);
    bool acceptsFirstResponder() const { return focusPolicy() != Qt::NoFocus; }
    void setAcceptsFirstResponder(bool accepts) { setFocusPolicy(accepts ? Qt::StrongFocus : Qt::NoFocus); }

    // The texts drawn now: the main title and the glyph at the right end ("" for none).
    QString title() const;
    QString hintGlyph() const;
    QRect shortcutRect() const;
    QRect hintRect() const;

    // Bindings to the standard user defaults. The key bound, if any.
    std::optional<std::string> associatedUserDefaultsKey() const;
    // Rebinds to key (none unbinds) through the transformer given, through the
    // one registered under a name, or through keyed archives.
    void setAssociatedUserDefaultsKey(const std::optional<std::string>& key,
                                      std::shared_ptr<foundation::ValueTransformer> withTransformer);
    void setAssociatedUserDefaultsKey(const std::optional<std::string>& key, const std::string& withTransformerName);
    void setAssociatedUserDefaultsKey(const std::optional<std::string>& key);
    // Gives a menu item the key equivalent of the shortcut stored under key
    // (or its registered default), read through a recorder bound to that key
    // and never shown; without one the item keeps its own.
    static void setKeyEquivalentOfMenuItem(desktop::MenuItem& item, const std::string& key);
    // The general form: the value at keyPath ("values.<key>") of defaults,
    // through transformer, else the one named.
    void bind(std::shared_ptr<foundation::UserDefaults> defaults, const std::string& keyPath,
              std::shared_ptr<foundation::ValueTransformer> transformer, const std::string& transformerName);
    void unbind();

    // The view recording now, or the last one asked to.
    static HKShortcutView* recordingView();
    // Beeps so far (tests count them).
    static int beepCount();
    // Called with each announcement ("Shortcut set", "Shortcut cleared");
    // screen readers are told through an accessible name change.
    static void setAnnouncementHook(std::function<void(HKShortcutView&, const std::string&)> hook);

    // The recorder's handling of one key press or modifier change; true when it
    // swallows the event. The application event filter calls it.
    bool handleKeyEvent(QKeyEvent& event);

protected:
    void paintEvent(QPaintEvent* event) override;
    void mousePressEvent(QMouseEvent* event) override;
    void mouseMoveEvent(QMouseEvent* event) override;
    void leaveEvent(QEvent* event) override;
    void focusInEvent(QFocusEvent* event) override;
    void focusOutEvent(QFocusEvent* event) override;
    bool event(QEvent* event) override;
    void changeEvent(QEvent* event) override;
    bool eventFilter(QObject* watched, QEvent* event) override;

private:
    struct Binding;

    void setHinting(bool hinting);
    void switchKeyMonitor(bool on);
    void switchResignObserver(bool on);
    void propagateValue(const std::optional<HKShortcut>& value, const std::string& binding);
    void takeValueFromBinding();
    void updateAccessibleName();
    void announce(const std::string& text);
    int hintWidth() const;

    std::optional<HKShortcut> shortcutValue_;
    ChangeBlock shortcutValueChange_;
    std::shared_ptr<HKShortcutValidator> shortcutValidator_;
    bool recording_ = false;
    bool hinting_ = false;
    bool showsDeleteButton_ = true;
    int viewStyle_ = 0;
    std::string shortcutPlaceholder_;
    bool resignObserverOn_ = false;
    std::unique_ptr<Binding> binding_;
    bool takingFromBinding_ = false;
};
