#pragma once
// The About window: the application's icon, name and version, a button that
// shows the log folder, and links to the privacy policy and licences when the
// bundle's Info.plist carries their addresses ("TLPrivacyPolicyURL",
// "TLLicensesURL"). Main queue only.
#include <QWidget>

#include <memory>

class QLabel;

class TLAboutWindowController {
public:
    TLAboutWindowController();
    ~TLAboutWindowController();
    TLAboutWindowController(const TLAboutWindowController&) = delete;
    TLAboutWindowController& operator=(const TLAboutWindowController&) = delete;

    QWidget* window() const { return window_.get(); }
    void showWindow();

    QLabel* versionLabel() const { return versionLabel_; }
    QLabel* titleLabel() const { return titleLabel_; }

    void showPrivacyPolicy();
    void showLicenses();
    // Opens the folder that holds the three log folders in the file manager.
    void showLogs();

private:
    void windowDidLoad();

    std::unique_ptr<QWidget> window_;
    QLabel* versionLabel_ = nullptr;
    QLabel* titleLabel_ = nullptr;
};
