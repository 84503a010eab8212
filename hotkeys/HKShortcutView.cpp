#include "HKShortcutView.h"

#include <QAccessible>
#include <QAccessibleWidget>
#include <QApplication>
#include <QKeyEvent>
#include <QMouseEvent>
#include <QPainter>
#include <QStyleOptionButton>
#include <QToolTip>

#include <cstring>

#include "HKShortcutValidator.h"
#include "platform/desktop/Alert.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/ValueTransformer.h"

namespace {

constexpr uint64_t kTabKeyCode = 48;
constexpr uint64_t kDeleteKeyCode = 51;
constexpr uint64_t kForwardDeleteKeyCode = 117;
constexpr uint64_t kEscapeKeyCode = 53;
constexpr uint64_t kWKeyCode = 13;
constexpr uint64_t kQKeyCode = 12;
constexpr const char* kValuesPrefix = "values.";

const QString kEscapeGlyph = QStringLiteral("\u238B");
const QString kDeleteGlyph = QStringLiteral("\u2715");

HKShortcutView* gRecordingView = nullptr;
int gBeeps = 0;
std::function<void(HKShortcutView&, const std::string&)> gAnnouncementHook;

// The modifier a modifier key itself stands for (Meta is Control, Ctrl is Command).
uint64_t flagOfModifierKey(int key) {
    switch (key) {
    case Qt::Key_Shift: return HKShortcut::kShiftKeyMask;
    case Qt::Key_Meta: case Qt::Key_Super_L: case Qt::Key_Super_R: return HKShortcut::kControlKeyMask;
    case Qt::Key_Alt: case Qt::Key_AltGr: return HKShortcut::kAlternateKeyMask;
    case Qt::Key_Control: return HKShortcut::kCommandKeyMask;
    default: return 0;
    }
}

bool isModifierKey(int key) {
    return flagOfModifierKey(key) != 0 || key == Qt::Key_CapsLock;
}

// Sees key presses and modifier changes before any widget while a view records.
class KeyMonitor : public QObject {
public:
    bool eventFilter(QObject*, QEvent* event) override {
        HKShortcutView* view = gRecordingView;
        if (!view || !view->isRecording()) return false;
        switch (event->type()) {
        case QEvent::ShortcutOverride: {
            // A window's shortcut would take the press before any widget sees
            // it; the recorder decides first and claims what it swallows.
            auto* key = static_cast<QKeyEvent*>(event);
            if (!view->handleKeyEvent(*key)) return false;
            claimed_ = {key->key(), static_cast<int>(key->modifiers())};
            event->accept();
            return true;
        }
        case QEvent::KeyPress: {
            auto* key = static_cast<QKeyEvent*>(event);
            std::pair<int, int> press{key->key(), static_cast<int>(key->modifiers())};
            if (claimed_ && *claimed_ == press) {
                claimed_.reset();
                return true;
            }
            claimed_.reset();
            return view->handleKeyEvent(*key);
        }
        case QEvent::KeyRelease: {
            auto* key = static_cast<QKeyEvent*>(event);
            // Releasing a modifier changes the flags; other releases are not the recorder's.
            return isModifierKey(key->key()) && !key->isAutoRepeat() && view->handleKeyEvent(*key);
        }
        default:
            return false;
        }
    }

private:
    std::optional<std::pair<int, int>> claimed_;
};

// Installed while a view records. It outlives every switch, since a switch
// happens inside its own filter call.
KeyMonitor& keyMonitor() {
    static KeyMonitor* monitor = new KeyMonitor;
    return *monitor;
}
bool gKeyMonitorOn = false;

// The recorder is a button to assistive technologies: named by its shortcut,
// pressed to record.
class AccessibleShortcutView : public QAccessibleWidget {
public:
    explicit AccessibleShortcutView(HKShortcutView* view) : QAccessibleWidget(view, QAccessible::Button) {}
    QStringList actionNames() const override { return {pressAction()}; }
    void doAction(const QString& name) override {
        auto* view = static_cast<HKShortcutView*>(widget());
        if (name == pressAction() && !view->isRecording()) view->setRecording(true);
    }
};

QAccessibleInterface* accessibleFactory(const QString& className, QObject* object) {
    if (className == QLatin1String("HKShortcutView") && object && object->isWidgetType()) {
        return new AccessibleShortcutView(static_cast<HKShortcutView*>(object));
    }
    return nullptr;
}

}  // namespace

struct HKShortcutView::Binding {
    std::shared_ptr<foundation::UserDefaults> observedObject;
    std::string observedKeyPath;
    std::shared_ptr<foundation::ValueTransformer> transformer;
    std::string transformerName;
    foundation::UserDefaults::Token token = 0;
    bool observing = false;
};

HKShortcutView::HKShortcutView(QWidget* parent)
    : QWidget(parent), shortcutValidator_(HKShortcutValidator::sharedValidator()) {
    static const bool factoryInstalled = [] {
        QAccessible::installFactory(accessibleFactory);
        return true;
    }();
    (void)factoryInstalled;
    setObjectName("HKShortcutView");
    setMouseTracking(true);
    setFocusPolicy(Qt::NoFocus);
    QFont font = this->font();
    font.setPointSize(11);
    setFont(font);
    setAccessibleDescription("To record a new shortcut, click this button, and then type the new shortcut, or press "
                             "delete to clear an existing shortcut.");
    updateAccessibleName();
}

HKShortcutView::~HKShortcutView() {
    if (recording_) {
        switchKeyMonitor(false);
        switchResignObserver(false);
    }
    if (gRecordingView == this) gRecordingView = nullptr;
    unbind();
}

// --- value -------------------------------------------------------------------

void HKShortcutView::setShortcutValue(std::optional<HKShortcut> value) {
    shortcutValue_ = std::move(value);
    updateAccessibleName();
    update();
    if (!takingFromBinding_) propagateValue(shortcutValue_, kShortcutValueBinding);
    if (shortcutValueChange_) shortcutValueChange_(*this);
}

void HKShortcutView::setShortcutValidator(std::shared_ptr<HKShortcutValidator> validator) {
    shortcutValidator_ = validator ? std::move(validator) : HKShortcutValidator::sharedValidator();
}

void HKShortcutView::setShowsDeleteButton(bool shows) {
    showsDeleteButton_ = shows;
    update();
}

void HKShortcutView::setViewStyle(int style) {
    viewStyle_ = style;
    update();
}

void HKShortcutView::setShortcutPlaceholder(std::string placeholder) {
    shortcutPlaceholder_ = std::move(placeholder);
    update();
}

// --- geometry and drawing ------------------------------------------------------

int HKShortcutView::hintWidth() const {
    switch (viewStyle_) {
    case 1: return 25;
    case 2: return 26;
    case 3: return font().pointSize() + 4;
    default: return 23;
    }
}

QRect HKShortcutView::hintRect() const {
    int width = std::min(hintWidth(), this->width());
    return QRect(this->width() - width, 0, width, height());
}

QRect HKShortcutView::shortcutRect() const {
    return QRect(0, 0, width() - hintRect().width(), height());
}

QString HKShortcutView::title() const {
    QString placeholder = QString::fromStdString(shortcutPlaceholder_);
    if (recording_) {
        if (hinting_) return shortcutValue_ ? "Use Old Shortcut" : "Cancel";
        if (!placeholder.isEmpty()) return placeholder;
        return shortcutValue_ ? "Type New Shortcut" : "Type Shortcut";
    }
    if (shortcutValue_) return QString::fromStdString(shortcutValue_->description());
    return "Record Shortcut";
}

QString HKShortcutView::hintGlyph() const {
    if (recording_) return kEscapeGlyph;
    if (shortcutValue_ && showsDeleteButton_) return kDeleteGlyph;
    return {};
}

void HKShortcutView::paintEvent(QPaintEvent*) {
    if (viewStyle_ < 0 || viewStyle_ > 3) return;  // an unknown look draws nothing
    QPainter painter(this);
    QStyleOptionButton option;
    option.initFrom(this);
    // Styles 0 to 2 all draw the desktop's push-button bezel; the textured and
    // rounded looks have no counterpart here beyond the title's offset.
    option.features = QStyleOptionButton::None;
    bool on = recording_;
    if (on) option.state |= QStyle::State_On | QStyle::State_Sunken;
    if (viewStyle_ != 3) style()->drawControl(QStyle::CE_PushButtonBevel, &option, &painter, this);
    painter.setPen(palette().color(isEnabled() ? QPalette::Active : QPalette::Disabled, QPalette::ButtonText));
    QString glyph = hintGlyph();
    bool centredAlone = !recording_ && !shortcutValue_;
    if (!glyph.isEmpty()) painter.drawText(hintRect(), Qt::AlignCenter, glyph);
    QRect textRect = centredAlone ? rect() : shortcutRect();
    if (viewStyle_ == 1 || viewStyle_ == 2) textRect.translate(0, 1);
    painter.drawText(textRect, Qt::AlignCenter, title());
    if (hasFocus()) {
        QStyleOptionFocusRect focus;
        focus.initFrom(this);
        style()->drawPrimitive(QStyle::PE_FrameFocusRect, &focus, &painter, this);
    }
}

// --- mouse ---------------------------------------------------------------------

void HKShortcutView::mousePressEvent(QMouseEvent* event) {
    if (event->button() != Qt::LeftButton) return QWidget::mousePressEvent(event);
    QPoint point = event->position().toPoint();
    if (recording_) {
        if (hintRect().contains(point)) setRecording(false);  // "Use Old Shortcut" or "Cancel"
    } else if (shortcutValue_ && !shortcutRect().contains(point)) {
        setShortcutValue(std::nullopt);  // the delete mark
    } else {
        setRecording(true);
    }
    event->accept();
}

void HKShortcutView::mouseMoveEvent(QMouseEvent* event) {
    setHinting(isEnabled() && hintRect().contains(event->position().toPoint()));
    QWidget::mouseMoveEvent(event);
}

void HKShortcutView::leaveEvent(QEvent* event) {
    setHinting(false);
    QWidget::leaveEvent(event);
}

// The focus ring is drawn with the rest.
void HKShortcutView::focusInEvent(QFocusEvent* event) {
    update();
    QWidget::focusInEvent(event);
}

void HKShortcutView::focusOutEvent(QFocusEvent* event) {
    update();
    QWidget::focusOutEvent(event);
}

void HKShortcutView::setHinting(bool hinting) {
    if (hinting_ == hinting) return;
    hinting_ = hinting;
    update();
}

bool HKShortcutView::event(QEvent* event) {
    if (event->type() == QEvent::ToolTip) {
        auto* help = static_cast<QHelpEvent*>(event);
        QString tip;
        if (shortcutValue_ && !recording_ && isEnabled()) {
            if (shortcutRect().contains(help->pos())) tip = "Click to record new shortcut";
            else if (hintRect().contains(help->pos())) tip = "Delete shortcut";
        }
        if (tip.isEmpty()) QToolTip::hideText();
        else QToolTip::showText(help->globalPos(), tip, this, shortcutRect().contains(help->pos()) ? shortcutRect() : hintRect());
        return true;
    }
    return QWidget::event(event);
}

void HKShortcutView::changeEvent(QEvent* event) {
    if (event->type() == QEvent::EnabledChange) {
        if (!isEnabled()) {
            setHinting(false);
            if (recording_) setRecording(false);
        }
        update();
    }
    QWidget::changeEvent(event);
}

// --- recording -----------------------------------------------------------------

HKShortcutView* HKShortcutView::recordingView() {
    return gRecordingView;
}

int HKShortcutView::beepCount() {
    return gBeeps;
}

void HKShortcutView::setAnnouncementHook(std::function<void(HKShortcutView&, const std::string&)> hook) {
    gAnnouncementHook = std::move(hook);
}

void HKShortcutView::setRecording(bool recording) {
    if (recording) {
        if (gRecordingView && gRecordingView != this) gRecordingView->setRecording(false);
        // Remembered even when disabled, so a later view stops this one first.
        gRecordingView = this;
        if (!isEnabled()) return;
    }
    if (recording_ == recording) return;
    recording_ = recording;
    shortcutPlaceholder_.clear();
    setHinting(recording_ && underMouse() && hintRect().contains(mapFromGlobal(QCursor::pos())));
    switchKeyMonitor(recording_);
    switchResignObserver(recording_);
    update();
    if (!recording_) announce(shortcutValue_ ? "Shortcut set" : "Shortcut cleared");
}

void HKShortcutView::switchKeyMonitor(bool on) {
    if (on == gKeyMonitorOn) return;
    gKeyMonitorOn = on;
    if (on) QCoreApplication::instance()->installEventFilter(&keyMonitor());
    else QCoreApplication::instance()->removeEventFilter(&keyMonitor());
}

void HKShortcutView::switchResignObserver(bool on) {
    if (on == resignObserverOn_) return;
    resignObserverOn_ = on;
    if (on) window()->installEventFilter(this);
    else window()->removeEventFilter(this);
}

bool HKShortcutView::eventFilter(QObject* watched, QEvent* event) {
    // The window stopped being the active one: recording ends, as the keys now go elsewhere.
    if (watched == window() && event->type() == QEvent::WindowDeactivate && recording_) setRecording(false);
    return QWidget::eventFilter(watched, event);
}

bool HKShortcutView::handleKeyEvent(QKeyEvent& event) {
    HKShortcut typed = HKShortcut::shortcutWithEvent(event);
    if (isModifierKey(event.key())) {
        // A modifier change: the flags held after it.
        uint64_t flags = typed.modifierFlags();
        uint64_t own = flagOfModifierKey(event.key());
        flags = event.type() == QEvent::KeyRelease ? (flags & ~own) : (flags | own);
        typed = HKShortcut(typed.keyCode(), flags);
    }
    uint64_t flags = typed.modifierFlags();
    if (typed.keyCode() == kTabKeyCode) return false;  // focus moves on
    if (flags == 0 && (typed.keyCode() == kDeleteKeyCode || typed.keyCode() == kForwardDeleteKeyCode)) {
        setShortcutValue(std::nullopt);
        setRecording(false);
        return true;
    }
    if (flags == 0 && typed.keyCode() == kEscapeKeyCode) {
        setRecording(false);
        return true;
    }
    if (flags == HKShortcut::kCommandKeyMask && (typed.keyCode() == kWKeyCode || typed.keyCode() == kQKeyCode)) {
        setRecording(false);
        return false;  // the window closes, or the application quits
    }
    if (typed.keyCodeString().empty()) {
        setShortcutPlaceholder(typed.modifierFlagsString());
        return true;
    }
    if (!shortcutValidator_->isShortcutValid(typed)) {
        ++gBeeps;
        QApplication::beep();
        return true;
    }
    std::string explanation;
    if (shortcutValidator_->isShortcutAlreadyTakenBySystem(typed, &explanation)) {
        switchResignObserver(false);
        switchKeyMonitor(false);
        desktop::Alert alert;
        alert.setAlertStyle(desktop::Alert::Style::Critical);
        alert.setMessageText(foundation::format("The key combination %@ cannot be used", typed.description()));
        alert.setInformativeText(explanation);
        alert.addButtonWithTitle("OK");
        alert.runModal();
        setShortcutPlaceholder({});
        // The view may have stopped recording, or another view begun, while the alert was up.
        if (recording_ && gRecordingView == this) {
            switchResignObserver(true);
            switchKeyMonitor(true);
        }
        return true;
    }
    setShortcutValue(typed);
    setRecording(false);
    return true;
}

// --- bindings ------------------------------------------------------------------

std::optional<std::string> HKShortcutView::associatedUserDefaultsKey() const {
    if (!binding_) return std::nullopt;
    const std::string& path = binding_->observedKeyPath;
    return path.rfind(kValuesPrefix, 0) == 0 ? path.substr(std::strlen(kValuesPrefix)) : path;
}

void HKShortcutView::setAssociatedUserDefaultsKey(const std::optional<std::string>& key,
                                                  std::shared_ptr<foundation::ValueTransformer> withTransformer) {
    unbind();
    if (key) bind(foundation::UserDefaults::standard(), kValuesPrefix + *key, std::move(withTransformer), {});
}

void HKShortcutView::setAssociatedUserDefaultsKey(const std::optional<std::string>& key,
                                                  const std::string& withTransformerName) {
    unbind();
    if (key) bind(foundation::UserDefaults::standard(), kValuesPrefix + *key, nullptr, withTransformerName);
}

void HKShortcutView::setAssociatedUserDefaultsKey(const std::optional<std::string>& key) {
    setAssociatedUserDefaultsKey(key, std::string(foundation::ValueTransformer::kKeyedUnarchiveFromDataTransformerName));
}

void HKShortcutView::setKeyEquivalentOfMenuItem(desktop::MenuItem& item, const std::string& key) {
    HKShortcutView reader;
    reader.setAssociatedUserDefaultsKey(key);
    const auto& shortcut = reader.shortcutValue();
    if (!shortcut) return;
    item.setKeyEquivalent(shortcut->keyCodeStringForKeyEquivalent());
    item.setKeyEquivalentModifierMask(shortcut->modifierFlags());
}

void HKShortcutView::bind(std::shared_ptr<foundation::UserDefaults> defaults, const std::string& keyPath,
                          std::shared_ptr<foundation::ValueTransformer> transformer, const std::string& transformerName) {
    unbind();
    binding_ = std::make_unique<Binding>();
    binding_->observedObject = std::move(defaults);
    binding_->observedKeyPath = keyPath;
    binding_->transformer = std::move(transformer);
    binding_->transformerName = transformerName;
    if (binding_->observedObject && !keyPath.empty()) {
        binding_->token = binding_->observedObject->addObserver(
            *associatedUserDefaultsKey(), [this](const std::string&) { takeValueFromBinding(); });
        binding_->observing = true;
        takeValueFromBinding();
    }
}

void HKShortcutView::unbind() {
    if (!binding_) return;
    if (binding_->observing) binding_->observedObject->removeObserver(binding_->token);
    binding_.reset();
}

void HKShortcutView::takeValueFromBinding() {
    if (!binding_ || takingFromBinding_) return;
    std::shared_ptr<foundation::ValueTransformer> transformer =
        binding_->transformer ? binding_->transformer
                              : foundation::ValueTransformer::valueTransformerForName(binding_->transformerName);
    foundation::PlistValue stored = binding_->observedObject->objectForKey(*associatedUserDefaultsKey());
    std::any value = transformer ? transformer->transformedValue(stored) : std::any(stored);
    const HKShortcut* shortcut = std::any_cast<HKShortcut>(&value);
    takingFromBinding_ = true;
    setShortcutValue(shortcut ? std::optional<HKShortcut>(*shortcut) : std::nullopt);
    takingFromBinding_ = false;
}

void HKShortcutView::propagateValue(const std::optional<HKShortcut>& value, const std::string& binding) {
    if (!binding_) return;
    std::any out = value ? std::any(*value) : std::any();
    std::shared_ptr<foundation::ValueTransformer> transformer =
        binding_->transformer ? binding_->transformer
                              : foundation::ValueTransformer::valueTransformerForName(binding_->transformerName);
    if (transformer) {
        if (transformer->allowsReverseTransformation()) {
            out = transformer->reverseTransformedValue(out);
        } else {
            foundation::systemLog(foundation::format(
                "WARNING: binding \"%@\" has value transformer, but it doesn't allow reverse transformations in %s",
                binding, __PRETTY_FUNCTION__));
        }
    }
    if (!binding_->observedObject) {
        foundation::systemLog(
            foundation::format("ERROR: NSObservedObjectKey was nil for binding \"%@\" in %s", binding, __PRETTY_FUNCTION__));
        return;
    }
    if (binding_->observedKeyPath.empty()) {
        foundation::systemLog(foundation::format("ERROR: NSObservedKeyPathKey was nil for binding \"%@\" in %s", binding,
                                                 __PRETTY_FUNCTION__));
        return;
    }
    const foundation::PlistValue* plist = std::any_cast<foundation::PlistValue>(&out);
    // Settings hold property-list values only: an untransformed shortcut cannot be stored.
    if (out.has_value() && !plist) return;
    // Writing to the defaults tells this view's own observer, which must not read the value back in.
    takingFromBinding_ = true;
    binding_->observedObject->setObject(plist ? *plist : foundation::PlistValue(), *associatedUserDefaultsKey());
    takingFromBinding_ = false;
}

// --- accessibility -------------------------------------------------------------

void HKShortcutView::updateAccessibleName() {
    std::string label = shortcutValue_ ? shortcutValue_->description() : "Empty";
    setAccessibleName(QString::fromStdString(label + " keyboard shortcut"));
}

void HKShortcutView::announce(const std::string& text) {
    // Qt has no announcements before 6.8: assistive technologies hear the
    // name change, and the hook receives the text.
    QAccessibleEvent nameChanged(this, QAccessible::NameChanged);
    QAccessible::updateAccessibility(&nameChanged);
    if (gAnnouncementHook) gAnnouncementHook(*this, text);
}
