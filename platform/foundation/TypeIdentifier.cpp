#include "TypeIdentifier.h"

#include <algorithm>
#include <cctype>

namespace foundation {

namespace {

struct TypeInfo {
    const char* identifier;
    std::vector<const char*> parents;
    std::vector<const char*> mimeTypes;   // preferred first; the rest are read as aliases
    std::vector<const char*> extensions;  // preferred first
};

const std::vector<TypeInfo>& table() {
    static const std::vector<TypeInfo> types = {
        {kUTTypeItem, {}, {}, {}},
        {kUTTypeContent, {kUTTypeItem}, {}, {}},
        {kUTTypeCompositeContent, {kUTTypeContent}, {}, {}},
        {kUTTypeData, {kUTTypeItem}, {"application/octet-stream"}, {}},
        {kUTTypeText, {kUTTypeData, kUTTypeContent}, {}, {}},
        {kUTTypePlainText, {kUTTypeText}, {"text/plain"}, {"txt", "text"}},
        {kUTTypeUTF8PlainText, {kUTTypePlainText}, {"text/plain;charset=utf-8", "utf8_string", "text/plain;charset=utf8"}, {}},
        {kUTTypeUTF16PlainText, {kUTTypePlainText}, {"text/plain;charset=utf-16"}, {}},
        {kUTTypeRTF, {kUTTypeText}, {"text/rtf", "application/rtf", "text/richtext"}, {"rtf"}},
        {kUTTypeHTML, {kUTTypeText}, {"text/html"}, {"html", "htm"}},
        {kUTTypeXML, {kUTTypeText}, {"application/xml", "text/xml"}, {"xml"}},
        {kUTTypeURL, {kUTTypeData}, {"text/x-moz-url"}, {}},
        {kUTTypeFileURL, {kUTTypeURL}, {"text/uri-list"}, {}},
        {kUTTypeURLName, {kUTTypeUTF8PlainText}, {"text/x-moz-url-desc"}, {}},
        {kUTTypeImage, {kUTTypeData, kUTTypeContent}, {}, {}},
        {kUTTypeJPEG, {kUTTypeImage}, {"image/jpeg", "image/jpg", "image/pjpeg"}, {"jpeg", "jpg", "jpe"}},
        {kUTTypeTIFF, {kUTTypeImage}, {"image/tiff", "image/x-tiff"}, {"tiff", "tif"}},
        {kUTTypeGIF, {kUTTypeImage}, {"image/gif"}, {"gif"}},
        {kUTTypePNG, {kUTTypeImage}, {"image/png"}, {"png"}},
        {kUTTypeBMP, {kUTTypeImage}, {"image/bmp", "image/x-bmp", "image/x-ms-bmp"}, {"bmp"}},
        {kUTTypeICO, {kUTTypeImage}, {"image/vnd.microsoft.icon", "image/x-icon", "image/ico"}, {"ico"}},
        {kUTTypeSVG, {kUTTypeImage, kUTTypeXML}, {"image/svg+xml"}, {"svg"}},
        {kUTTypePDF, {kUTTypeData, kUTTypeCompositeContent}, {"application/pdf"}, {"pdf"}},
        {kUTTypeWebArchive, {kUTTypeData, kUTTypeCompositeContent}, {"application/x-webarchive"}, {"webarchive"}},
        {kUTTypeFlatRTFD, {kUTTypeData, kUTTypeCompositeContent}, {"application/x-rtfd"}, {"rtfd"}},
        {kConcealedType, {}, {TypeIdentifier::kPasswordManagerHintMIME}, {}},
        {"com.tavlo.clipping-metadata", {}, {"application/x-tavlo-clipping-metadata"}, {}},
    };
    return types;
}

constexpr std::string_view kUnknownTypeMIMEPrefix = "application/x-uti-";
constexpr std::string_view kUnknownMIMETypePrefix = "dyn.mime.";

std::string lower(std::string_view text) {
    std::string out(text);
    for (char& ch : out) ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    return out;
}

const TypeInfo* find(std::string_view type) {
    for (const auto& info : table()) {
        if (TypeIdentifier::equal(info.identifier, type)) return &info;
    }
    return nullptr;
}

bool conforms(std::string_view type, std::string_view parent, int depth) {
    if (TypeIdentifier::equal(type, parent)) return true;
    if (depth > 16) return false;  // the table is shallow; this only guards a mistake in it
    const TypeInfo* info = find(type);
    if (!info) return false;
    return std::any_of(info->parents.begin(), info->parents.end(),
                       [&](const char* p) { return conforms(p, parent, depth + 1); });
}

}  // namespace

bool TypeIdentifier::equal(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

bool TypeIdentifier::conformsTo(std::string_view type, std::string_view parent) {
    if (type.empty() || parent.empty()) return false;
    return conforms(type, parent, 0);
}

std::vector<std::string> TypeIdentifier::parents(std::string_view type) {
    std::vector<std::string> out;
    if (const TypeInfo* info = find(type)) out.assign(info->parents.begin(), info->parents.end());
    return out;
}

std::string TypeIdentifier::normalizedMIMEType(std::string_view mime) {
    std::string text;
    for (char ch : mime) {
        if (ch != ' ' && ch != '\t') text += static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
    }
    size_t semicolon = text.find(';');
    if (semicolon == std::string::npos) return text;
    std::string base = text.substr(0, semicolon);
    if (base != "text/plain") return base;
    // Keep only the charset, without quotes.
    size_t charset = text.find("charset=", semicolon);
    if (charset == std::string::npos) return base;
    std::string value = text.substr(charset + 8);
    value = value.substr(0, value.find(';'));
    value.erase(std::remove(value.begin(), value.end(), '"'), value.end());
    return base + ";charset=" + value;
}

std::string TypeIdentifier::preferredMIMEType(std::string_view type) {
    if (const TypeInfo* info = find(type); info && !info->mimeTypes.empty()) return info->mimeTypes.front();
    if (type.substr(0, kUnknownMIMETypePrefix.size()) == kUnknownMIMETypePrefix)
        return std::string(type.substr(kUnknownMIMETypePrefix.size()));
    return std::string(kUnknownTypeMIMEPrefix) + std::string(type);
}

std::string TypeIdentifier::typeForMIMEType(std::string_view mime) {
    std::string normal = normalizedMIMEType(mime);
    if (normal.empty()) return {};
    for (const auto& info : table()) {
        for (const char* candidate : info.mimeTypes) {
            if (normal == lower(candidate)) return info.identifier;
        }
    }
    // Other text/plain charsets are still plain text.
    if (normal.rfind("text/plain;", 0) == 0) return kUTTypePlainText;
    if (normal.rfind(kUnknownTypeMIMEPrefix, 0) == 0 && normal.size() > kUnknownTypeMIMEPrefix.size())
        return std::string(mime.substr(mime.size() - (normal.size() - kUnknownTypeMIMEPrefix.size())));
    return std::string(kUnknownMIMETypePrefix) + std::string(mime);
}

std::string TypeIdentifier::typeForURIListEntry(std::string_view url) {
    return lower(url.substr(0, 5)) == "file:" ? kUTTypeFileURL : kUTTypeURL;
}

bool TypeIdentifier::isConcealedMarker(std::string_view mime, std::string_view value) {
    if (equal(mime, kConcealedType)) return true;
    if (!equal(mime, kPasswordManagerHintMIME)) return false;
    while (!value.empty() && (value.back() == '\n' || value.back() == '\0' || value.back() == ' ')) value.remove_suffix(1);
    return value == kPasswordManagerHintSecret;
}

std::string TypeIdentifier::preferredFilenameExtension(std::string_view type) {
    if (const TypeInfo* info = find(type); info && !info->extensions.empty()) return info->extensions.front();
    return {};
}

std::string TypeIdentifier::typeForFilenameExtension(std::string_view extension) {
    std::string wanted = lower(extension);
    if (!wanted.empty() && wanted[0] == '.') wanted.erase(0, 1);
    if (wanted.empty()) return {};
    for (const auto& info : table()) {
        for (const char* candidate : info.extensions) {
            if (wanted == candidate) return info.identifier;
        }
    }
    return {};
}

}  // namespace foundation
