#include "kit/NSFileManagerExtras.h"

#include <cstdio>

#include "platform/foundation/Paths.h"
#include "platform/foundation/UUID.h"

namespace NSFileManagerExtras {

namespace {

constexpr size_t kMaxFileName = 255;  // bytes, as Linux file systems allow

bool needsEncoding(unsigned char c) { return c < 0x20 || c == 0x7f || c == '/' || c == '%' || c == '\\'; }

int hexDigit(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    return -1;
}

bool isPlainFileName(std::string_view name) {
    return !name.empty() && name != "." && name != ".." && name.size() <= kMaxFileName &&
           name.find('/') == std::string_view::npos && name.find('\0') == std::string_view::npos;
}

}  // namespace

foundation::URL containerURL() { return foundation::URL::fileURL(foundation::Paths::applicationGroupContainer()); }
foundation::URL documentsDirectory() { return containerURL(); }
std::string documentsDirectoryPath() { return foundation::Paths::applicationGroupContainer().string(); }
foundation::URL localAssetsDirectory() { return containerURL().appendingPathComponent("assets"); }

bool isValidClippingID(std::string_view clippingID) {
    return clippingID.size() == 38 && clippingID.substr(0, 2) == "C-" &&
           foundation::UUID::parse(clippingID.substr(2)).has_value();
}

std::optional<foundation::URL> URLForClippingAssetsWithID(const std::optional<std::string>& clippingID) {
    if (!clippingID || !isValidClippingID(*clippingID)) return std::nullopt;
    return localAssetsDirectory().appendingPathComponent(*clippingID);
}

std::optional<std::string> pathForClippingAssetsWithID(const std::optional<std::string>& clippingID) {
    auto url = URLForClippingAssetsWithID(clippingID);
    return url ? std::optional<std::string>(url->filePath().string()) : std::nullopt;
}

std::string logsDirectoryPath() { return (foundation::Paths::applicationGroupContainer() / "logs").string(); }

std::optional<std::string> assetFileName(int64_t itemIndex, std::string_view type) {
    if (itemIndex < 0 || type.empty()) return std::nullopt;
    std::string name = std::to_string(itemIndex) + ".";
    char escape[4];
    for (unsigned char c : type) {
        if (needsEncoding(c)) {
            std::snprintf(escape, sizeof escape, "%%%02X", c);
            name += escape;
        } else {
            name += static_cast<char>(c);
        }
    }
    if (name.size() > kMaxFileName) return std::nullopt;
    return name;
}

std::optional<std::pair<int64_t, std::string>> parseAssetFileName(std::string_view fileName) {
    size_t dot = fileName.find('.');
    if (dot == 0 || dot == std::string_view::npos || dot > 18 || dot + 1 == fileName.size()) return std::nullopt;
    int64_t index = 0;
    for (char c : fileName.substr(0, dot)) {
        if (c < '0' || c > '9') return std::nullopt;
        index = index * 10 + (c - '0');
    }
    std::string type;
    for (size_t i = dot + 1; i < fileName.size(); ++i) {
        char c = fileName[i];
        if (c == '%') {
            if (i + 2 >= fileName.size()) return std::nullopt;
            int hi = hexDigit(fileName[i + 1]), lo = hexDigit(fileName[i + 2]);
            if (hi < 0 || lo < 0) return std::nullopt;
            type += static_cast<char>(hi << 4 | lo);
            i += 2;
        } else {
            type += c;
        }
    }
    return std::make_pair(index, type);
}

std::optional<foundation::URL> URLForAssetFile(const std::optional<std::string>& clippingID, std::string_view fileName) {
    auto folder = URLForClippingAssetsWithID(clippingID);
    if (!folder || !isPlainFileName(fileName)) return std::nullopt;
    return folder->appendingPathComponent(fileName);
}

}  // namespace NSFileManagerExtras
