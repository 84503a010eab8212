#include "platform/desktop/MimeDataCodec.h"

#include <QMimeData>
#include <QStringList>

#include "platform/desktop/PasteboardTypeMap.h"
#include "platform/foundation/Format.h"

namespace desktop {

std::vector<PasteboardItem> MimeDataCodec::read(const QMimeData& data, const ReadLimits& limits,
                                                std::vector<std::string>& skipped) {
    std::vector<std::string> offered;
    for (const QString& format : data.formats()) {
        if (offered.size() == limits.maxTargets) break;
        offered.push_back(format.toStdString());
    }
    size_t total = 0;
    auto fetch = [&](const std::string& name) -> std::optional<foundation::Data> {
        QByteArray bytes = data.data(QString::fromStdString(name));
        size_t size = static_cast<size_t>(bytes.size());
        if (size > limits.maxRepresentationBytes || total + size > limits.maxTotalBytes) {
            skipped.push_back(foundation::format("%@ (%@ bytes)", PasteboardTypeMap::describeTarget(name), size));
            return std::nullopt;
        }
        total += size;
        return foundation::Data(bytes.constData(), size);
    };
    return PasteboardTypeMap::readItems(offered, fetch, skipped);
}

void MimeDataCodec::write(QMimeData& data, const std::vector<PasteboardItem>& items) {
    data.clear();
    for (const ClipboardTarget& target : PasteboardTypeMap::targetsForItems(items)) {
        data.setData(QString::fromStdString(target.name),
                     QByteArray(reinterpret_cast<const char*>(target.data.bytes()),
                                static_cast<qsizetype>(target.data.length())));
    }
}

}  // namespace desktop
