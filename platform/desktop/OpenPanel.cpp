#include "OpenPanel.h"

#include <QFileDialog>
#include <QPointer>
#include <QSplitter>
#include <QUrl>

#include <algorithm>

#include "platform/dispatch/Queue.h"

namespace desktop {

namespace {

// The sidebar's width, for folder names of a word or two.
constexpr int kSidebarWidth = 170;

struct DriverState {
    OpenPanel::Driver driver;
    int begun = 0;
};

DriverState& driverState() {
    static DriverState state;
    return state;
}

QString qt(const std::string& text) { return QString::fromStdString(text); }

}  // namespace

struct OpenPanel::Dialog {
    QPointer<QFileDialog> widget;
};

OpenPanel::OpenPanel() : dialog_(std::make_unique<Dialog>()), self_(std::make_shared<OpenPanel*>(this)) {}

OpenPanel::~OpenPanel() {
    *self_ = nullptr;
    if (dialog_->widget) {
        dialog_->widget->disconnect();
        dialog_->widget->deleteLater();
    }
}

QWidget* OpenPanel::dialog() const { return dialog_->widget.data(); }

void OpenPanel::setDriver(Driver driver) {
    driverState().driver = std::move(driver);
    driverState().begun = 0;
}

int OpenPanel::panelsBegun() { return driverState().begun; }

void OpenPanel::beginSheetModalForWindow(QWidget* window, Completion completion) {
    if (showing_) return;
    showing_ = true;
    urls_.clear();
    completion_ = std::move(completion);
    std::weak_ptr<OpenPanel*> alive = self_;
    if (auto& state = driverState(); state.driver) {
        ++state.begun;
        auto answer = state.driver(*this);
        dispatch::Queue::main()->async([alive, answer = std::move(answer)] {
            if (auto self = alive.lock(); self && *self) (*self)->end(answer);
        });
        return;
    }

    auto* dialog = new QFileDialog(window ? window->window() : nullptr);
    dialog_->widget = dialog;
    dialog->setOption(QFileDialog::DontUseNativeDialog, true);
    dialog->setAttribute(Qt::WA_DeleteOnClose);
    dialog->setWindowModality(window ? Qt::WindowModal : Qt::ApplicationModal);
    dialog->setAcceptMode(QFileDialog::AcceptOpen);
    if (canChooseDirectories_ && !canChooseFiles_) {
        dialog->setFileMode(QFileDialog::Directory);
        dialog->setOption(QFileDialog::ShowDirsOnly, true);
    } else {
        dialog->setFileMode(allowsMultipleSelection_ ? QFileDialog::ExistingFiles : QFileDialog::ExistingFile);
    }
    if (!patterns_.empty()) {
        QStringList patterns;
        for (const auto& pattern : patterns_) patterns << qt(pattern);
        dialog->setNameFilter(patterns.join(' '));
    }
    if (!directory_.empty()) dialog->setDirectory(qt(directory_.string()));
    if (!sidebar_.empty()) {
        QList<QUrl> urls;
        for (const auto& folder : sidebar_) urls << QUrl::fromLocalFile(qt(folder.string()));
        dialog->setSidebarUrls(urls);
        // Wide enough to read the folders' names without scrolling sideways,
        // and the files' beside them.
        dialog->resize(std::max(dialog->width(), kSidebarWidth + 600), dialog->height());
        if (auto* splitter = dialog->findChild<QSplitter*>(QStringLiteral("splitter")))
            splitter->setSizes({kSidebarWidth, std::max(dialog->width() - kSidebarWidth, kSidebarWidth)});
    }
    if (!prompt_.empty()) dialog->setLabelText(QFileDialog::Accept, qt(prompt_));
    dialog->setWindowTitle(message_.empty() ? qt(prompt_) : qt(message_));
    QObject::connect(dialog, &QFileDialog::finished, dialog, [alive, dialog](int result) {
        std::optional<Paths> chosen;
        if (result == QDialog::Accepted) {
            chosen.emplace();
            for (const QString& file : dialog->selectedFiles()) chosen->push_back(file.toStdString());
        }
        // Ended outside the dialog's own call, as a driver's answer is.
        dispatch::Queue::main()->async([alive, chosen = std::move(chosen)] {
            if (auto self = alive.lock(); self && *self) (*self)->end(chosen);
        });
    });
    dialog->open();
}

void OpenPanel::end(std::optional<Paths> chosen) {
    if (!showing_) return;
    showing_ = false;
    dialog_->widget = nullptr;
    if (chosen) urls_ = std::move(*chosen);
    // The completion may begin this panel again: it runs from a copy.
    Completion completion = std::move(completion_);
    completion_ = nullptr;
    if (completion) completion(chosen ? kOK : kCancel);
}

}  // namespace desktop
