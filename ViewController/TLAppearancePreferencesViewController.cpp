#include "TLAppearancePreferencesViewController.h"

#include <QCheckBox>
#include <QComboBox>
#include <QFormLayout>
#include <QSlider>

#include <array>

#include "hotkeys/HKShortcutView.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/desktop/Alert.h"
#include "platform/foundation/FrameString.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"

namespace {

void post(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }

// Stored widths up to each bound show the slider at its step; a slider value
// up to the step stores the width beside it.
struct WidthStep {
    double upToWidth;
    int slider;
    double width;
};
constexpr std::array<WidthStep, 5> kWidthSteps = {{
    {280, 0, 280},
    {320, 25, 320},
    {360, 50, 360},
    {400, 75, 400},
    {1e300, 100, 440},
}};

constexpr int kRowHeightMinimum = 1;
constexpr int kRowHeightMaximum = 20;

}  // namespace

TLAppearancePreferencesViewController::TLAppearancePreferencesViewController(QWidget* parent)
    : QWidget(parent),
      themeButton_(new QComboBox(this)),
      showMenuBarButton_(new QCheckBox(QStringLiteral("Show icon in the tray"), this)),
      soundsButton_(new QCheckBox(QStringLiteral("Play sounds"), this)),
      showWindowButton_(new QCheckBox(QStringLiteral("Show the window when Tavlo starts"), this)),
      scrollToTopButton_(new QCheckBox(QStringLiteral("Select the first clipping when the window opens"), this)),
      closeDetached_(new QCheckBox(QStringLiteral("Close the detached window when it loses focus"), this)),
      rowHeightSlider_(new QSlider(Qt::Horizontal, this)),
      windowWidthSlider_(new QSlider(Qt::Horizontal, this)) {
    setObjectName(QStringLiteral("Appearance"));
    // Item indexes are the stored values: 0 follows the desktop, 1 light, 2 dark.
    themeButton_->addItems({QStringLiteral("Follow the desktop"), QStringLiteral("Light"), QStringLiteral("Dark")});
    rowHeightSlider_->setRange(kRowHeightMinimum, kRowHeightMaximum);
    windowWidthSlider_->setRange(0, 100);
    windowWidthSlider_->setTickInterval(25);
    windowWidthSlider_->setTickPosition(QSlider::TicksBelow);
    windowWidthSlider_->setPageStep(25);

    auto* form = new QFormLayout(this);
    form->addRow(QStringLiteral("Theme:"), themeButton_);
    form->addRow(QString(), showMenuBarButton_);
    form->addRow(QString(), soundsButton_);
    form->addRow(QString(), showWindowButton_);
    form->addRow(QString(), scrollToTopButton_);
    form->addRow(QString(), closeDetached_);
    form->addRow(QStringLiteral("Row height:"), rowHeightSlider_);
    form->addRow(QStringLiteral("Window width:"), windowWidthSlider_);

    auto whenUser = [this](void (TLAppearancePreferencesViewController::*action)()) {
        return [this, action] {
            if (!loading_) (this->*action)();
        };
    };
    connect(themeButton_, &QComboBox::activated, this, whenUser(&TLAppearancePreferencesViewController::updateAppearanceOption));
    connect(showMenuBarButton_, &QCheckBox::clicked, this, whenUser(&TLAppearancePreferencesViewController::updateMenuBarVisibility));
    connect(soundsButton_, &QCheckBox::clicked, this, whenUser(&TLAppearancePreferencesViewController::updateSoundsOption));
    connect(showWindowButton_, &QCheckBox::clicked, this, whenUser(&TLAppearancePreferencesViewController::updateWindowOnLaunchOption));
    connect(scrollToTopButton_, &QCheckBox::clicked, this, whenUser(&TLAppearancePreferencesViewController::updateSelectFirstClippingOption));
    connect(closeDetached_, &QCheckBox::clicked, this, whenUser(&TLAppearancePreferencesViewController::updateCloseDetachedWindowOption));
    // Sliders write once the user lets go (or on each step of the keyboard).
    connect(rowHeightSlider_, &QSlider::valueChanged, this, [this] {
        if (!loading_ && !rowHeightSlider_->isSliderDown()) updateRowHeight();
    });
    connect(rowHeightSlider_, &QSlider::sliderReleased, this, [this] { updateRowHeight(); });
    connect(windowWidthSlider_, &QSlider::valueChanged, this, [this] {
        if (!loading_ && !windowWidthSlider_->isSliderDown()) updateWindowWidth();
    });
    connect(windowWidthSlider_, &QSlider::sliderReleased, this, [this] { updateWindowWidth(); });
    viewWillAppear();
}

TLAppearancePreferencesViewController::~TLAppearancePreferencesViewController() = default;

void TLAppearancePreferencesViewController::showEvent(QShowEvent* event) {
    viewWillAppear();
    QWidget::showEvent(event);
}

int TLAppearancePreferencesViewController::sliderValueForWidth(double width) {
    for (const WidthStep& step : kWidthSteps)
        if (width <= step.upToWidth) return step.slider;
    return kWidthSteps.back().slider;
}

double TLAppearancePreferencesViewController::widthForSliderValue(int value) {
    for (const WidthStep& step : kWidthSteps)
        if (value <= step.slider) return step.width;
    return kWidthSteps.back().width;
}

void TLAppearancePreferencesViewController::viewWillAppear() {
    auto suite = TLSettings();
    loading_ = true;
    int64_t appearance = suite->integerForKey(TLUserDefaultsWindowAppearance);
    themeButton_->setCurrentIndex(appearance >= 0 && appearance < themeButton_->count() ? int(appearance)
                                                                                          : themeButton_->count() - 1);
    showMenuBarButton_->setChecked(suite->boolForKey(TLUserDefaultsShowsMenuBarIcon));
    soundsButton_->setChecked(suite->boolForKey(TLUserDefaultsPlaySounds));
    showWindowButton_->setChecked(!suite->boolForKey(TLUserDefaultsHideWindowOnLaunchKey));
    scrollToTopButton_->setChecked(suite->boolForKey(TLUserDefaultsScrollToTopOnActivation));
    closeDetached_->setChecked(suite->boolForKey(TLUserDefaultsCloseDetachedWindowOnResignKey));
    rowHeightSlider_->setValue(int(suite->integerForKey(TLUserDefaultsRowHeightKey)));
    std::string frame = suite->stringForKey(TLUserDefaultsWindowFrame).value_or(std::string());
    windowWidthSlider_->setValue(sliderValueForWidth(foundation::FrameString::rectFromString(frame).width));
    loading_ = false;
}

void TLAppearancePreferencesViewController::updateAppearanceOption() {
    auto suite = TLSettings();
    suite->setInteger(themeButton_->currentIndex(), TLUserDefaultsWindowAppearance);
    suite->synchronize();
    post(TLUserDefaultsWindowAppearance);
}

void TLAppearancePreferencesViewController::updateMenuBarVisibility() {
    auto suite = TLSettings();
    bool shows = showMenuBarButton_->isChecked();
    suite->setBool(shows, TLUserDefaultsShowsMenuBarIcon);
    if (!shows) {
        HKShortcutView reader;
        reader.setAssociatedUserDefaultsKey(std::string(TLHotkeyShowApplication));
        std::string hotkey;
        if (const auto& shortcut = reader.shortcutValue())
            hotkey = shortcut->modifierFlagsString() + shortcut->keyCodeString();
        alert_ = std::make_unique<desktop::Alert>();
        auto& alert = alert_;
        alert->setMessageText("Menu Bar Icon Hidden");
        alert->setInformativeText("Use the hotkey (" + hotkey + ") to activate Tavlo.");
        alert->addButtonWithTitle("OK");
        alert->beginSheetModalForWindow(window(), [](int) {});
        // The window hangs from the icon that is going away.
        if (!suite->boolForKey(TLUserDefaultsWindowIsDetached)) post(kDetachWindowNotification);
    }
    suite->synchronize();
    post(TLUserDefaultsShowsMenuBarIcon);
}

void TLAppearancePreferencesViewController::updateSoundsOption() {
    auto suite = TLSettings();
    suite->setBool(soundsButton_->isChecked(), TLUserDefaultsPlaySounds);
    suite->synchronize();
}

void TLAppearancePreferencesViewController::updateWindowOnLaunchOption() {
    auto suite = TLSettings();
    suite->setBool(!showWindowButton_->isChecked(), TLUserDefaultsHideWindowOnLaunchKey);
    suite->synchronize();
}

void TLAppearancePreferencesViewController::updateSelectFirstClippingOption() {
    auto suite = TLSettings();
    suite->setBool(scrollToTopButton_->isChecked(), TLUserDefaultsScrollToTopOnActivation);
    suite->synchronize();
}

void TLAppearancePreferencesViewController::updateCloseDetachedWindowOption() {
    auto suite = TLSettings();
    suite->setBool(closeDetached_->isChecked(), TLUserDefaultsCloseDetachedWindowOnResignKey);
    suite->synchronize();
}

void TLAppearancePreferencesViewController::updateRowHeight() {
    auto suite = TLSettings();
    suite->setInteger(rowHeightSlider_->value(), TLUserDefaultsRowHeightKey);
    suite->synchronize();
    post(TLUserDefaultsRowHeightKey);
}

void TLAppearancePreferencesViewController::updateWindowWidth() {
    auto suite = TLSettings();
    std::string stored = suite->stringForKey(TLUserDefaultsWindowFrame).value_or(std::string());
    foundation::FrameRect frame = foundation::FrameString::rectFromString(stored);
    double width = widthForSliderValue(windowWidthSlider_->value());
    // The window keeps its centre.
    frame.x += (frame.width - width) / 2;
    frame.width = width;
    suite->setObject(foundation::PlistValue(foundation::FrameString::stringFromRect(frame)), TLUserDefaultsWindowFrame);
    suite->synchronize();
    post(TLUserDefaultsWindowFrame);
}
