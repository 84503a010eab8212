#include "TLAboutWindowController.h"

#include <QHBoxLayout>
#include <QKeyEvent>
#include <QLabel>
#include <QPushButton>
#include <QVBoxLayout>

#include <filesystem>
#include <optional>

#include "TLWindowCommandKeys.h"
#include "logging/TLLog.h"
#include "logging/TLLogFiles.h"
#include "platform/desktop/Workspace.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Format.h"

namespace {

constexpr const char* kPrivacyPolicyKey = "TLPrivacyPolicyURL";
constexpr const char* kLicensesKey = "TLLicensesURL";

class AboutWindow final : public QWidget {
protected:
    void keyPressEvent(QKeyEvent* event) override {
        if (!TLWindowCommandKeys::handleKeyPress(*this, *event)) QWidget::keyPressEvent(event);
    }
};

std::optional<std::string> infoString(const char* key) {
    auto value = foundation::Bundle::main()->objectForInfoDictionaryKey(key);
    if (const std::string* text = value.asString(); text && !text->empty()) return *text;
    return std::nullopt;
}

}  // namespace

TLAboutWindowController::TLAboutWindowController() : window_(std::make_unique<AboutWindow>()) {
    window_->setObjectName(QStringLiteral("TLAboutWindow"));
    window_->setWindowTitle(QStringLiteral("About Tavlo"));
    auto* layout = new QVBoxLayout(window_.get());
    layout->setContentsMargins(32, 24, 32, 24);
    layout->setSpacing(8);

    auto* icon = new QLabel(window_.get());
    if (auto path = foundation::Bundle::main()->pathForResource("AppIcon", "png"))
        icon->setPixmap(QPixmap(QString::fromStdString(path->string())).scaled(96, 96, Qt::KeepAspectRatio,
                                                                                   Qt::SmoothTransformation));
    icon->setAlignment(Qt::AlignCenter);
    layout->addWidget(icon);

    titleLabel_ = new QLabel(QStringLiteral("Tavlo"), window_.get());
    titleLabel_->setObjectName(QStringLiteral("titleLabel"));
    QFont title = titleLabel_->font();
    title.setPointSizeF(title.pointSizeF() * 1.6);
    title.setBold(true);
    titleLabel_->setFont(title);
    titleLabel_->setAlignment(Qt::AlignCenter);
    layout->addWidget(titleLabel_);

    versionLabel_ = new QLabel(window_.get());
    versionLabel_->setObjectName(QStringLiteral("versionLabel"));
    versionLabel_->setAlignment(Qt::AlignCenter);
    versionLabel_->setTextInteractionFlags(Qt::TextSelectableByMouse);
    layout->addWidget(versionLabel_);
    layout->addSpacing(8);

    auto* buttons = new QHBoxLayout;
    buttons->addStretch(1);
    auto addButton = [&](const QString& title, const QString& name, void (TLAboutWindowController::*action)()) {
        auto* button = new QPushButton(title, window_.get());
        button->setObjectName(name);
        QObject::connect(button, &QPushButton::clicked, window_.get(), [this, action] { (this->*action)(); });
        buttons->addWidget(button);
    };
    if (infoString(kPrivacyPolicyKey))
        addButton(QStringLiteral("Privacy Policy"), QStringLiteral("privacyButton"), &TLAboutWindowController::showPrivacyPolicy);
    if (infoString(kLicensesKey))
        addButton(QStringLiteral("Licenses"), QStringLiteral("licensesButton"), &TLAboutWindowController::showLicenses);
    addButton(QStringLiteral("Show Logs"), QStringLiteral("logsButton"), &TLAboutWindowController::showLogs);
    buttons->addStretch(1);
    layout->addLayout(buttons);
    windowDidLoad();
    window_->setFixedSize(window_->sizeHint().expandedTo(QSize(320, 0)));
}

TLAboutWindowController::~TLAboutWindowController() = default;

void TLAboutWindowController::windowDidLoad() {
    auto text = [](const char* key) { return infoString(key).value_or(std::string()); };
    versionLabel_->setText(QString::fromStdString(
        foundation::format("Version %@ (%@)", text("CFBundleShortVersionString"), text("CFBundleVersion"))));
}

void TLAboutWindowController::showWindow() {
    window_->show();
    window_->raise();
    window_->activateWindow();
}

void TLAboutWindowController::showPrivacyPolicy() {
    if (auto address = infoString(kPrivacyPolicyKey)) desktop::Workspace::current()->openURL(*address);
}

void TLAboutWindowController::showLicenses() {
    if (auto address = infoString(kLicensesKey)) desktop::Workspace::current()->openURL(*address);
}

void TLAboutWindowController::showLogs() {
    desktop::Workspace::current()->openFile(TLLogFiles::logsDirectory());
}
