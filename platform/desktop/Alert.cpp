#include "Alert.h"

#include <QApplication>
#include <QDialog>
#include <QFrame>
#include <QHBoxLayout>
#include <QLabel>
#include <QPointer>
#include <QPushButton>
#include <QStyle>
#include <QVBoxLayout>

#include <algorithm>
#include <map>

namespace desktop {

namespace {

// Alerts up now, the last shown last.
std::vector<Alert*>& showing() {
    static std::vector<Alert*> alerts;
    return alerts;
}

std::map<const QWidget*, Alert*>& sheets() {
    static std::map<const QWidget*, Alert*> byWindow;
    return byWindow;
}

// Escape answers a "Cancel" button when there is one, as in any alert;
// otherwise only a button ends the alert.
class AlertDialog : public QDialog {
public:
    using QDialog::QDialog;
    QPushButton* cancelButton = nullptr;
    void reject() override {
        if (cancelButton) cancelButton->click();
    }
};

QStyle::StandardPixmap iconFor(Alert::Style style) {
    switch (style) {
    case Alert::Style::Critical: return QStyle::SP_MessageBoxCritical;
    case Alert::Style::Informational: return QStyle::SP_MessageBoxInformation;
    case Alert::Style::Warning: break;
    }
    return QStyle::SP_MessageBoxWarning;
}

}  // namespace

AlertHost::~AlertHost() = default;

struct Alert::Panel {
    QPointer<QWidget> widget;
    AlertDialog* dialog = nullptr;  // null inside a host
    std::vector<QPushButton*> buttons;
    Completion completion;
    AlertHost* host = nullptr;
    const QWidget* sheetWindow = nullptr;
};

Alert::Alert() = default;

Alert::~Alert() {
    if (!panel_) return;
    std::erase(showing(), this);
    if (panel_->sheetWindow) sheets().erase(panel_->sheetWindow);
    if (panel_->host) panel_->host->alertDidClose(*this);
    delete panel_->widget.data();
}

namespace {

// Icon and texts on the left and above, buttons right-aligned below with the
// first (default) button at the right end.
std::vector<QPushButton*> buildContent(QWidget* into, const Alert& alert, const std::function<void(int)>& pressed) {
    auto* outer = new QVBoxLayout(into);
    auto* top = new QHBoxLayout;
    auto* icon = new QLabel(into);
    int extent = into->style()->pixelMetric(QStyle::PM_MessageBoxIconSize, nullptr, into);
    icon->setPixmap(into->style()->standardIcon(iconFor(alert.alertStyle()), nullptr, into).pixmap(extent, extent));
    icon->setAlignment(Qt::AlignTop);
    top->addWidget(icon);
    auto* texts = new QVBoxLayout;
    auto* message = new QLabel(QString::fromStdString(alert.messageText()), into);
    message->setObjectName("alertMessage");
    message->setTextFormat(Qt::PlainText);
    message->setWordWrap(true);
    QFont bold = message->font();
    bold.setBold(true);
    message->setFont(bold);
    texts->addWidget(message);
    auto* informative = new QLabel(QString::fromStdString(alert.informativeText()), into);
    informative->setObjectName("alertInformative");
    informative->setTextFormat(Qt::PlainText);
    informative->setWordWrap(true);
    informative->setVisible(!alert.informativeText().empty());
    texts->addWidget(informative);
    top->addLayout(texts, 1);
    outer->addLayout(top);

    std::vector<std::string> titles = alert.buttonTitles();
    if (titles.empty()) titles.push_back("OK");
    std::vector<QPushButton*> buttons;
    auto* row = new QHBoxLayout;
    row->addStretch(1);
    for (size_t i = 0; i < titles.size(); ++i) {
        auto* button = new QPushButton(QString::fromStdString(titles[i]), into);
        button->setObjectName(QString("alertButton%1").arg(i));
        if (i == 0) button->setDefault(true);
        int response = Alert::kFirstButtonReturn + static_cast<int>(i);
        QObject::connect(button, &QPushButton::clicked, into, [pressed, response] { pressed(response); });
        buttons.push_back(button);
    }
    for (auto it = buttons.rbegin(); it != buttons.rend(); ++it) row->addWidget(*it);
    outer->addLayout(row);
    return buttons;
}

}  // namespace

void Alert::withdraw() {
    if (!panel_) return;
    panel_->completion = nullptr;
    finish(0);
}

void Alert::finish(int response) {
    if (!panel_) return;
    std::unique_ptr<Panel> panel = std::move(panel_);
    std::erase(showing(), this);
    if (panel->sheetWindow) sheets().erase(panel->sheetWindow);
    if (panel->widget) {
        panel->widget->hide();
        if (panel->dialog) panel->dialog->done(response);
        panel->widget->deleteLater();
    }
    if (panel->host) panel->host->alertDidClose(*this);
    if (panel->completion) panel->completion(response);
}

QDialog* Alert::makeModalDialog(Completion completion) {
    panel_ = std::make_unique<Panel>();
    auto* dialog = new AlertDialog;
    panel_->widget = dialog;
    panel_->dialog = dialog;
    panel_->completion = std::move(completion);
    panel_->buttons = buildContent(dialog, *this, [this](int response) { finish(response); });
    for (QPushButton* button : panel_->buttons) {
        if (button->text() == "Cancel") dialog->cancelButton = button;
    }
    dialog->setWindowModality(Qt::ApplicationModal);
    showing().push_back(this);
    return dialog;
}

int Alert::runModal() {
    int result = kFirstButtonReturn;
    makeModalDialog([&result](int response) { result = response; })->exec();
    return result;
}

void Alert::beginModal(Completion completion) {
    QDialog* dialog = makeModalDialog(std::move(completion));
    dialog->show();
    dialog->raise();
    dialog->activateWindow();
}

void Alert::beginSheetModalForWindow(QWidget* window, Completion completion) {
    if (!window) return;
    window = window->window();
    panel_ = std::make_unique<Panel>();
    auto* dialog = new AlertDialog(window);
    panel_->widget = dialog;
    panel_->dialog = dialog;
    panel_->completion = std::move(completion);
    panel_->sheetWindow = window;
    panel_->buttons = buildContent(dialog, *this, [this](int response) { finish(response); });
    for (QPushButton* button : panel_->buttons) {
        if (button->text() == "Cancel") dialog->cancelButton = button;
    }
    dialog->setWindowModality(Qt::WindowModal);
    dialog->adjustSize();
    QRect frame = window->geometry();
    // Placed by its content's top, as the window's own geometry counts, whatever frames the window manager adds.
    dialog->setGeometry(frame.x() + (frame.width() - dialog->width()) / 2, frame.y() + kSheetOffset, dialog->width(),
                        dialog->height());
    sheets()[window] = this;
    showing().push_back(this);
    dialog->open();
}

void Alert::beginInHost(AlertHost& host, Completion completion) {
    QWidget* container = host.alertContainer();
    if (!container) return;
    panel_ = std::make_unique<Panel>();
    auto* frame = new QFrame(container);
    frame->setFrameShape(QFrame::StyledPanel);
    frame->setAutoFillBackground(true);
    panel_->widget = frame;
    panel_->completion = std::move(completion);
    panel_->host = &host;
    panel_->buttons = buildContent(frame, *this, [this](int response) { finish(response); });
    frame->setGeometry(container->rect());
    frame->raise();
    frame->show();
    if (!panel_->buttons.empty()) panel_->buttons.front()->setFocus();
    showing().push_back(this);
    host.alertDidShow(*this);
}

bool Alert::isShowing() const {
    return panel_ != nullptr;
}

QWidget* Alert::widget() const {
    return panel_ ? panel_->widget.data() : nullptr;
}

Alert* Alert::attachedSheet(const QWidget* window) {
    if (!window) return nullptr;
    auto it = sheets().find(window->window());
    return it == sheets().end() ? nullptr : it->second;
}

bool Alert::answerShown(int index) {
    if (showing().empty()) return false;
    Alert* alert = showing().back();
    if (index < 0 || static_cast<size_t>(index) >= alert->panel_->buttons.size()) return false;
    alert->panel_->buttons[static_cast<size_t>(index)]->click();
    return true;
}

}  // namespace desktop
