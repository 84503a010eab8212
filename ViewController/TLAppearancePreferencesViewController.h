#pragma once
// The Appearance tab of the preferences window. Each control shows one key of
// the settings suite; changing it writes the key, synchronises, and for the
// settings the running window or tray icon follows posts a notification named
// after the key. Main thread.
#include <QWidget>

#include <memory>

class QCheckBox;
class QComboBox;
class QSlider;
namespace desktop {
class Alert;
}

class TLAppearancePreferencesViewController : public QWidget {
public:
    static constexpr const char* kDetachWindowNotification = "TLDetachWindowNotification";

    explicit TLAppearancePreferencesViewController(QWidget* parent = nullptr);
    ~TLAppearancePreferencesViewController() override;

    // Reads every key into the controls; runs each time the pane shows.
    void viewWillAppear();

    // The actions, one per control.
    void updateAppearanceOption();
    void updateMenuBarVisibility();
    void updateSoundsOption();
    void updateWindowOnLaunchOption();
    void updateSelectFirstClippingOption();
    void updateCloseDetachedWindowOption();
    void updateRowHeight();
    void updateWindowWidth();

    // The width slider's position for a stored window width, and the width a
    // slider value stores.
    static int sliderValueForWidth(double width);
    static double widthForSliderValue(int value);

    QComboBox* themeButton() const { return themeButton_; }
    QCheckBox* showMenuBarButton() const { return showMenuBarButton_; }
    QCheckBox* soundsButton() const { return soundsButton_; }
    QCheckBox* showWindowButton() const { return showWindowButton_; }
    QCheckBox* scrollToTopButton() const { return scrollToTopButton_; }
    QCheckBox* closeDetached() const { return closeDetached_; }
    QSlider* rowHeightSlider() const { return rowHeightSlider_; }
    QSlider* windowWidthSlider() const { return windowWidthSlider_; }

protected:
    void showEvent(QShowEvent* event) override;

private:
    QComboBox* themeButton_;
    QCheckBox* showMenuBarButton_;
    QCheckBox* soundsButton_;
    QCheckBox* showWindowButton_;
    QCheckBox* scrollToTopButton_;
    QCheckBox* closeDetached_;
    QSlider* rowHeightSlider_;
    QSlider* windowWidthSlider_;
    bool loading_ = false;
    std::unique_ptr<desktop::Alert> alert_;  // the sheet shown last
};
