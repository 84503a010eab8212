#include "kit/TLAssetWriter.h"

#include <algorithm>
#include <functional>
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

foundation::Result<void> TLAssetWriter::makeFolder() {
    if (folderMade_) return {};
    std::error_code error;
    // Something that is not a folder in its place is not ours to keep.
    if (fs::exists(fs::symlink_status(folder_, error)) && !fs::is_directory(fs::symlink_status(folder_, error)))
        fs::remove(folder_, error);
    auto made = foundation::Paths::createDirectory(folder_);
    folderMade_ = made.ok();
    return made;
}

bool TLAssetWriter::write(Written& written, int64_t index, const std::string& type, const foundation::Data& data) {
    if (!NSFileManagerExtras::assetFileName(index, type)) return false;  // a type no file is named after
    auto stored = store(written, index, type, [&data](const fs::path& file) { return data.writeToFile(file, 0600); });
    if (!stored) TLLogError(TLLogContextPasteboard, "Error writing asset: %@", stored.error().description());
    return stored.ok();
}

foundation::Result<void> TLAssetWriter::store(Written& written, int64_t index, const std::string& type,
                                              const std::function<foundation::Result<void>(const fs::path&)>& save) {
    auto name = NSFileManagerExtras::assetFileName(index, type);
    if (!name) return foundation::Error("NSCocoaErrorDomain", 4, "No asset file name for type " + type);
    if (auto made = makeFolder(); !made) return made.error();
    if (auto saved = save(folder_ / *name); !saved) return saved.error();
    if (std::find(written.files.begin(), written.files.end(), *name) == written.files.end())
        written.files.push_back(*name);
    // The clipping's colour is its first image's: the one stored as item 0.
    if (index == 0 && written.imageType && foundation::TypeIdentifier::equal(type, *written.imageType))
        written.color = TLImageUtilities::averageColorOfFile(folder_ / *name);
    return {};
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
        // The copy streams: an image file is never held whole in memory.
        const std::optional<std::string> wasType = written.imageType;
        if (!written.imageType) written.imageType = file.type;
        auto copied = store(written, written.items, file.type, [&](const fs::path& to) {
            return foundation::Data::copyFile(file.url.filePath(), to, kMaxImageFileBytes, 0600);
        });
        if (copied) {
            ++written.items;
        } else {
            written.imageType = wasType;
            TLLogWarning(TLLogContextPasteboard, "Image file not taken: %@", copied.error().description());
        }
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
