#include "SharingServices.h"

#include <QApplication>
#include <QBuffer>
#include <QDir>
#include <QFileDialog>
#include <QSaveFile>
#include <QStandardPaths>
#include <QStyle>
#include <QTemporaryFile>
#include <QUrl>

#include <algorithm>

#include "Workspace.h"
#include "platform/foundation/Paths.h"

namespace desktop {

namespace {

SharingServices::SavePanel& savePanel() {
    static SharingServices::SavePanel panel;
    return panel;
}

foundation::Error shareError(int code, const std::string& description) {
    return foundation::Error(SharingServices::kErrorDomain, code, description);
}

bool isTextual(const SharingItem& item) {
    return item.kind != SharingItem::Kind::Image;
}

// The bytes a file of the item holds, and the suffix that tells its kind.
QByteArray fileBytes(const SharingItem& item, QString* suffix) {
    if (item.kind == SharingItem::Kind::Image) {
        *suffix = QStringLiteral("png");
        QByteArray bytes;
        QBuffer buffer(&bytes);
        buffer.open(QIODevice::WriteOnly);
        item.image.save(&buffer, "PNG");
        return bytes;
    }
    *suffix = QStringLiteral("txt");
    return item.text.toUtf8();
}

class EmailService : public SharingService {
public:
    EmailService() : SharingService(SharingServices::kEmail, QStringLiteral("mail-send")) {}
    bool canPerformWithItems(const std::vector<SharingItem>& items) const override {
        return !items.empty() && std::all_of(items.begin(), items.end(), isTextual) &&
               SharingServices::mailtoURLForItems(items).size() <= SharingServices::kMaxMailtoBytes;
    }
    void performWithItems(const std::vector<SharingItem>& items) override {
        if (!canPerformWithItems(items)) return failed(items, shareError(1, "These items cannot be sent by email."));
        if (Workspace::current()->openURL(SharingServices::mailtoURLForItems(items))) succeeded(items);
        else failed(items, shareError(2, "No mail program could be started."));
    }
};

class SaveToFileService : public SharingService {
public:
    SaveToFileService() : SharingService(SharingServices::kSaveToFile, QStringLiteral("document-save")) {}
    bool canPerformWithItems(const std::vector<SharingItem>& items) const override { return items.size() == 1; }
    void performWithItems(const std::vector<SharingItem>& items) override {
        if (!canPerformWithItems(items)) return failed(items, shareError(1, "Only one item can be saved to a file."));
        QString suffix;
        fileBytes(items.front(), &suffix);
        std::string suggested = (items.front().kind == SharingItem::Kind::Image ? "Image." : "Clipping.") + suffix.toStdString();
        if (savePanel()) {
            if (auto path = savePanel()(suggested); path && !path->empty()) write(items, *path);
            return;
        }
        QString folder = QStandardPaths::writableLocation(QStandardPaths::DocumentsLocation);
        auto* dialog = new QFileDialog(QApplication::activeWindow(), QString(), QDir(folder).filePath(QString::fromStdString(suggested)));
        dialog->setAcceptMode(QFileDialog::AcceptSave);
        dialog->setAttribute(Qt::WA_DeleteOnClose);
        // The items are copied into the answer: the dialog may outlive the caller's list.
        QObject::connect(dialog, &QFileDialog::fileSelected, dialog,
                         [this, items, keep = shared_from_this()](const QString& file) {
                             write(items, file.toStdString());
                         });
        dialog->open();
    }

private:
    void write(const std::vector<SharingItem>& items, const std::filesystem::path& path) {
        QString suffix;
        QByteArray bytes = fileBytes(items.front(), &suffix);
        QSaveFile file(QString::fromStdString(path.string()));
        if (!file.open(QIODevice::WriteOnly) || file.write(bytes) != bytes.size() || !file.commit()) {
            return failed(items, shareError(3, "The file could not be saved: " + file.errorString().toStdString()));
        }
        succeeded(items);
    }
};

class OpenWithDefaultApplicationService : public SharingService {
public:
    OpenWithDefaultApplicationService()
        : SharingService(SharingServices::kOpenWithDefaultApplication, QStringLiteral("document-open")) {}
    bool canPerformWithItems(const std::vector<SharingItem>& items) const override { return !items.empty(); }
    void performWithItems(const std::vector<SharingItem>& items) override {
        if (items.empty()) return failed(items, shareError(1, "There is nothing to open."));
        for (const SharingItem& item : items) {
            if (item.kind == SharingItem::Kind::URL) {
                if (!Workspace::current()->openURL(item.text.toStdString()))
                    return failed(items, shareError(2, "The link could not be opened."));
                continue;
            }
            auto path = writeCopy(item);
            if (!path) return failed(items, shareError(3, "A copy to open could not be written."));
            if (!Workspace::current()->openFile(*path))
                return failed(items, shareError(2, "No program could open the copy."));
        }
        succeeded(items);
    }

private:
    // A copy in the application's own temporary folder (emptied at each
    // start), readable by the user alone.
    static std::optional<std::filesystem::path> writeCopy(const SharingItem& item) {
        std::filesystem::path folder = foundation::Paths::temporaryDirectory();
        if (!foundation::Paths::createDirectory(folder)) return std::nullopt;
        QString suffix;
        QByteArray bytes = fileBytes(item, &suffix);
        QTemporaryFile file(QString::fromStdString((folder / "Clipping-XXXXXX.").string()) + suffix);
        file.setAutoRemove(false);
        if (!file.open() || file.write(bytes) != bytes.size() || !file.flush()) {
            if (!file.fileName().isEmpty()) file.remove();
            return std::nullopt;
        }
        return std::filesystem::path(file.fileName().toStdString());
    }
};

}  // namespace

SharingService::SharingService(std::string title, QString iconName)
    : title_(std::move(title)), iconName_(std::move(iconName)) {}

const QIcon& SharingService::image() const {
    if (image_.isNull()) {
        QIcon fallback;
        if (qobject_cast<QApplication*>(QCoreApplication::instance())) {
            fallback = QApplication::style()->standardIcon(iconName_ == QLatin1String("document-save")
                                                               ? QStyle::SP_DialogSaveButton
                                                               : QStyle::SP_FileIcon);
        }
        image_ = QIcon::fromTheme(iconName_, fallback);
    }
    return image_;
}

void SharingService::succeeded(const std::vector<SharingItem>& items) {
    if (auto delegate = delegate_.lock()) delegate->sharingServiceDidShareItems(*this, items);
}

void SharingService::failed(const std::vector<SharingItem>& items, const foundation::Error& error) {
    if (auto delegate = delegate_.lock()) delegate->sharingServiceDidFailToShareItems(*this, items, error);
}

std::vector<std::shared_ptr<SharingService>> SharingServices::servicesForItems(const std::vector<SharingItem>& items) {
    std::vector<std::shared_ptr<SharingService>> all = {std::make_shared<EmailService>(),
                                                        std::make_shared<SaveToFileService>(),
                                                        std::make_shared<OpenWithDefaultApplicationService>()};
    std::vector<std::shared_ptr<SharingService>> fitting;
    for (auto& service : all) {
        if (service->canPerformWithItems(items)) fitting.push_back(std::move(service));
    }
    return fitting;
}

std::string SharingServices::mailtoURLForItems(const std::vector<SharingItem>& items) {
    QString body;
    for (const SharingItem& item : items) {
        if (!isTextual(item)) continue;
        if (!body.isEmpty()) body += QLatin1Char('\n');
        body += item.text;
    }
    return "mailto:?body=" + QUrl::toPercentEncoding(body).toStdString();
}

void SharingServices::setSavePanel(SavePanel panel) {
    savePanel() = std::move(panel);
}

}  // namespace desktop
