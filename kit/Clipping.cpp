#include "kit/Clipping.h"

#include <algorithm>
#include <filesystem>
#include <system_error>

#include "kit/Asset.h"
#include "kit/List.h"
#include "kit/NSFileManagerExtras.h"
#include "kit/TLPasteboard.h"
#include "kit/TLPasteboardItem.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/UUID.h"

std::string Clipping::makeClippingID() { return kIDPrefix + foundation::UUID::random().string(); }

std::shared_ptr<List> Clipping::list() const { return std::dynamic_pointer_cast<List>(objectForKey("list")); }

void Clipping::setList(const std::shared_ptr<List>& list) { setObjectForKey("list", list); }

std::vector<std::shared_ptr<Asset>> Clipping::assets() const {
    return objectsForKeyAs<Asset>("assets");
}

void Clipping::addAssetsObject(const std::shared_ptr<Asset>& asset) { addObjectForKey("assets", asset); }
void Clipping::removeAssetsObject(const std::shared_ptr<Asset>& asset) { removeObjectForKey("assets", asset); }

namespace {

namespace fs = std::filesystem;

// More items than this are not a pasteboard content a person copied; a
// damaged or hostile item count must not make millions of items.
constexpr int64_t kMaxPasteboardItems = 4096;
constexpr const char* kFinderNodeType = "com.apple.finder.node";

struct AssetFile {
    fs::path path;
    int64_t index;
    std::string type;  // decoded from the file name
};

// The asset folder's files with the item index and type their names give, in
// listing order; files whose names say neither are not ours and are passed by.
std::vector<AssetFile> assetFiles(const std::optional<std::string>& clippingID) {
    std::vector<AssetFile> out;
    auto folder = NSFileManagerExtras::URLForClippingAssetsWithID(clippingID);
    if (!folder) return out;
    std::error_code error;
    for (fs::directory_iterator it(folder->filePath(), error), end; !error && it != end; it.increment(error)) {
        auto parsed = NSFileManagerExtras::parseAssetFileName(it->path().filename().string());
        if (parsed) out.push_back({it->path(), parsed->first, parsed->second});
    }
    return out;
}

// A name from outside (a link's last path component) as a file name in our
// own folder, or nothing when it cannot be one as it stands.
std::optional<std::string> plainFileName(const std::string& name) {
    if (name.empty() || name == "." || name == ".." || name.size() > 255) return std::nullopt;
    if (std::any_of(name.begin(), name.end(), [](char c) { return c == '/' || static_cast<unsigned char>(c) < 0x20; }))
        return std::nullopt;
    return name;
}

// Copies an image file into the clipping's own folder of the temporary
// folder, replacing an older copy, and answers the copy's URL. The link's
// file name alone is shared by many clippings ("image.png"): a copy under it
// in the shared folder would hand out another clipping's image.
foundation::URL temporaryCopy(const fs::path& file, const std::string& clippingID, const std::string& name) {
    fs::path folder = foundation::Paths::temporaryDirectory() / clippingID;
    fs::path target = folder / name;
    if (foundation::Paths::createDirectory(folder)) {
        std::error_code error;  // a failed copy leaves the URL pointing at nothing, as a missing file would
        fs::copy_file(file, target, fs::copy_options::overwrite_existing, error);
    }
    return foundation::URL::fileURL(target);
}

void setEntry(TLPasteboardDictionary& dictionary, const std::string& type, TLPasteboardValue value) {
    for (auto& entry : dictionary) {
        if (entry.first == type) {
            entry.second = std::move(value);
            return;
        }
    }
    dictionary.emplace_back(type, std::move(value));
}

bool hasEntry(const TLPasteboardDictionary& dictionary, const std::string& type) {
    return std::any_of(dictionary.begin(), dictionary.end(), [&](const auto& entry) { return entry.first == type; });
}

}  // namespace

Clipping::Contents Clipping::contents() const { return {clippingID(), text(), url(), image(), items()}; }

std::shared_ptr<TLPasteboardItem> Clipping::pasteboardItemAtIndex(int64_t index) const {
    return pasteboardItemAtIndex(contents(), index);
}

std::shared_ptr<TLPasteboardItem> Clipping::pasteboardItemAtIndex(const Contents& contents, int64_t index) {
    const std::optional<int64_t>& items = contents.items;
    int64_t count = items.value_or(0) > 0 ? *items : 1;
    if (index < 0 || index >= count) return nullptr;
    const std::optional<std::string>& identifier = contents.clippingID;

    TLPasteboardDictionary dictionary;
    if (index == 0) {
        const auto& text = contents.text;
        const auto& url = contents.url;
        if (text) setEntry(dictionary, foundation::kUTTypeUTF8PlainText, *text);
        if (url) {
            if (auto parsed = foundation::URL::parse(*url)) setEntry(dictionary, foundation::kUTTypeURL, *parsed);
            if (!hasEntry(dictionary, foundation::kUTTypeUTF8PlainText)) setEntry(dictionary, foundation::kUTTypeUTF8PlainText, *url);
        }
    }
    // Files come only with a well-formed identifier, which names the copies' folder.
    for (const AssetFile& file : assetFiles(identifier)) {
        if (file.index != index) continue;
        auto data = foundation::Data::contentsOfFile(file.path);
        if (!data) continue;
        std::string fileExtension = foundation::TypeIdentifier::preferredFilenameExtension(file.type);
        if (index > 0 && TLPasteboardItem::isImageType(file.type)) {
            auto copy = temporaryCopy(file.path, *identifier,
                                      std::to_string(index) + "." + *identifier + "." + fileExtension);
            setEntry(dictionary, foundation::kUTTypeFileURL, copy);
            setEntry(dictionary, kFinderNodeType, copy);
        } else if (index == 0 && contents.image && file.type == *contents.image) {
            std::optional<std::string> name;
            if (const auto& url = contents.url; url && !url->empty()) {
                if (auto parsed = foundation::URL::parse(*url)) name = plainFileName(parsed->lastPathComponent());
            }
            if (!name) name = *identifier + "." + fileExtension;
            setEntry(dictionary, foundation::kUTTypeFileURL, temporaryCopy(file.path, *identifier, *name));
        }
        setEntry(dictionary, file.type, std::move(data).value());
    }
    setEntry(dictionary, TLPasteboard::kClippingMetadataType, identifier.value_or(""));
    return std::make_shared<TLPasteboardItem>(dictionary);
}

std::vector<std::shared_ptr<TLPasteboardItem>> Clipping::pasteboardItems() const {
    int64_t count = std::min(items().value_or(0) > 0 ? *items() : 1, kMaxPasteboardItems);
    std::vector<std::shared_ptr<TLPasteboardItem>> out;
    for (int64_t i = 0; i < count; ++i) out.push_back(pasteboardItemAtIndex(i));
    return out;
}

int64_t Clipping::numberOfImages() const { return numberOfImages(contents()); }

std::optional<foundation::URL> Clipping::URLForImageAssetAtIndex(int64_t index) const {
    return URLForImageAssetAtIndex(contents(), index);
}

int64_t Clipping::numberOfImages(const Contents& contents) {
    auto files = assetFiles(contents.clippingID);
    return std::count_if(files.begin(), files.end(), [](const AssetFile& f) { return TLPasteboardItem::isImageType(f.type); });
}

std::optional<foundation::URL> Clipping::URLForImageAssetAtIndex(const Contents& contents, int64_t index) {
    for (const AssetFile& file : assetFiles(contents.clippingID)) {
        if (file.index == index && TLPasteboardItem::isImageType(file.type)) return foundation::URL::fileURL(file.path);
    }
    return std::nullopt;
}
