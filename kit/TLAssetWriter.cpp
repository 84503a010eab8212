#include "kit/TLAssetWriter.h"

#include <algorithm>
#include <system_error>

#include "kit/NSFileManagerExtras.h"
#include "kit/TLImageUtilities.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLWebArchive.h"
#include "logging/TLLog.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/TypeIdentifier.h"

namespace {

namespace fs = std::filesystem;

bool startsWith(const std::string& text, std::string_view prefix) { return text.rfind(prefix, 0) == 0; }

}  // namespace

TLAssetWriter::TLAssetWriter(fs::path folder, std::vector<std::string> excludedTypes)
    : folder_(std::move(folder)), excludedTypes_(std::move(excludedTypes)) {}

bool TLAssetWriter::makeFolder() {
    if (folderMade_) return true;
    std::error_code error;
    // Something that is not a folder in its place is not ours to keep.
    if (fs::exists(fs::symlink_status(folder_, error)) && !fs::is_directory(fs::symlink_status(folder_, error)))
        fs::remove(folder_, error);
    folderMade_ = foundation::Paths::createDirectory(folder_).ok();
    return folderMade_;
}

bool TLAssetWriter::write(Written& written, int64_t index, const std::string& type, const foundation::Data& data) {
    auto name = NSFileManagerExtras::assetFileName(index, type);
    if (!name || !makeFolder()) return false;
    if (!data.writeToFile(folder_ / *name, 0600)) return false;
    if (std::find(written.files.begin(), written.files.end(), *name) == written.files.end())
        written.files.push_back(*name);
    // The clipping's colour is its first image's: the one stored as item 0.
    if (index == 0 && written.imageType && foundation::TypeIdentifier::equal(type, *written.imageType))
        written.color = TLImageUtilities::averageColorOfFile(folder_ / *name);
    return true;
}

TLAssetWriter::Written TLAssetWriter::writeItems(const std::vector<std::shared_ptr<TLPasteboardItem>>& items,
                                                 size_t chosen, const std::vector<std::string>& types,
                                                 std::optional<std::string> imageType, const std::string& itemURL) {
    Written written;
    written.imageType = std::move(imageType);
    auto excluded = [this](const std::string& type) {
        return std::any_of(excludedTypes_.begin(), excludedTypes_.end(),
                           [&](const std::string& e) { return foundation::TypeIdentifier::equal(e, type); });
    };
    for (const auto& type : types) {
        if (excluded(type)) continue;
        const foundation::Data* data = items[chosen]->pasteboardItem()->data(type);
        // What only another item offers stands in, as the pasteboard's string for the type.
        for (size_t i = 0; !data && i < items.size(); ++i) data = items[i]->pasteboardItem()->data(type);
        std::string storedType = type == TLWebArchive::kPasteboardType ? foundation::kUTTypeWebArchive : type;
        if (data && storedType == foundation::kUTTypeWebArchive) {
            if (auto archive = TLWebArchive::fromData(*data); archive && startsWith(archive->mainResource.url, "http"))
                written.urlSource = archive->mainResource.url;
        }
        if (!data) {
            auto link = foundation::URL::parse(itemURL);
            if (written.imageType && foundation::TypeIdentifier::equal(type, *written.imageType) && link &&
                link->pathExtension() == "gif") {
                TLLogWarning(TLLogContextPasteboard,
                             "Pasteboard returned no data for %@. Attempting to download data from URL.", type);
                written.imageType.reset();
            }
            continue;
        }
        if (foundation::TypeIdentifier::equal(type, foundation::kUTTypeTIFF)) {
            if (auto png = TLImageUtilities::pngData(*data)) {
                if (written.imageType && foundation::TypeIdentifier::equal(*written.imageType, foundation::kUTTypeTIFF))
                    written.imageType = foundation::kUTTypePNG;
                write(written, 0, foundation::kUTTypePNG, *png);
                continue;
            }
            // Undecodable TIFF is kept as it came rather than lost.
        }
        write(written, 0, storedType, *data);
    }
    written.items = 1;
    auto supported = TLMacPasteboard().supportedTypes();
    for (size_t k = chosen + 1; k < items.size(); ++k) {
        if (!items[k]->hasTypes(supported)) continue;
        ++written.items;
        for (const auto& representation : items[k]->pasteboardItem()->representations()) {
            if (!excluded(representation.type))
                write(written, int64_t(k - chosen), representation.type, representation.data);
        }
    }
    return written;
}

TLAssetWriter::Written TLAssetWriter::copyImageFiles(const std::vector<ImageFile>& files) {
    Written written;
    for (const auto& file : files) {
        auto data = foundation::Data::contentsOfFile(file.url.filePath(), kMaxImageFileBytes);
        if (!data) {
            TLLogWarning(TLLogContextPasteboard, "Image file not taken: %@", data.error().description());
            continue;
        }
        if (!written.imageType) written.imageType = file.type;
        if (write(written, written.items, file.type, data.value())) ++written.items;
    }
    return written;
}

TLAssetWriter::Written TLAssetWriter::writeWebArchiveImages(const foundation::Data& data) {
    Written written;
    auto archive = TLWebArchive::fromData(data);
    if (!archive) return written;
    // The page itself is clipboard content: only its size and address go to the log.
    foundation::systemLog(foundation::format("Web archive main resource: %@ bytes from %@",
                                             archive->mainResource.data.length(), archive->mainResource.url));
    if (!archive->subresources) return written;
    for (const auto& resource : *archive->subresources) {
        std::string type = foundation::TypeIdentifier::typeForMIMEType(resource.mimeType);
        if (!foundation::TypeIdentifier::conformsTo(type, foundation::kUTTypeImage)) continue;
        if (!written.imageType) {
            written.imageType = type;
            written.url = resource.url;
        }
        if (write(written, written.items, type, resource.data)) ++written.items;
    }
    return written;
}
