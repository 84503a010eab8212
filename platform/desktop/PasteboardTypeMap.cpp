#include "platform/desktop/PasteboardTypeMap.h"

#include <algorithm>
#include <array>
#include <cstring>
#include <optional>

#include "platform/desktop/PasteboardItemArchive.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/TypeIdentifier.h"
#include "platform/foundation/UTF8.h"

namespace desktop {

namespace {

using foundation::TypeIdentifier;

// A list with more entries than this is not a selection of files a person
// made; the rest are left out rather than turned into items one by one.
constexpr size_t kMaxListEntries = 4096;

constexpr std::array kPlumbing = {
    "TARGETS", "MULTIPLE", "TIMESTAMP", "SAVE_TARGETS", "DELETE", "INSERT_SELECTION", "INSERT_PROPERTY",
    "INCR", "TEXT", "COMPOUND_TEXT", "CLIPBOARD", "PRIMARY", "application/x-qt-image",
};

constexpr std::array kImageTypes = {
    foundation::kUTTypeJPEG, foundation::kUTTypeTIFF, foundation::kUTTypeGIF,
    foundation::kUTTypePNG,  foundation::kUTTypeBMP,  foundation::kUTTypeICO,
};

constexpr const char* kMozURLTarget = "text/x-moz-url";
constexpr const char* kMozURLDescriptionTarget = "text/x-moz-url-desc";

bool isPlumbing(std::string_view name) {
    if (!name.empty() && name.front() == '_') return true;  // private X11 atoms (_QT_..., _NETSCAPE_...)
    return std::any_of(kPlumbing.begin(), kPlumbing.end(), [&](const char* p) { return name == p; });
}

bool isImageType(std::string_view type) {
    return std::any_of(kImageTypes.begin(), kImageTypes.end(),
                       [&](const char* t) { return TypeIdentifier::equal(t, type); });
}

// The texts an owner offers under several names, best first: the rank of a
// name, or nothing when it is no plain text.
std::optional<int> textRank(std::string_view name) {
    if (name == "UTF8_STRING") return 0;
    std::string normal = TypeIdentifier::normalizedMIMEType(name);
    if (normal == "text/plain;charset=utf-8" || normal == "text/plain;charset=utf8") return 1;
    if (normal == "text/plain") return 2;
    if (name == "STRING") return 3;
    if (normal.rfind("text/plain;", 0) == 0) return 4;  // other charsets: never preferred
    return std::nullopt;
}

bool isListTarget(std::string_view name) {
    std::string normal = TypeIdentifier::normalizedMIMEType(name);
    return normal == PasteboardTypeMap::kURIListTarget || normal == PasteboardTypeMap::kGnomeFilesTarget;
}

bool isHint(std::string_view name) { return TypeIdentifier::equal(name, TypeIdentifier::kPasswordManagerHintMIME); }

bool isMozTarget(std::string_view name) {
    std::string normal = TypeIdentifier::normalizedMIMEType(name);
    return normal == kMozURLTarget || normal == kMozURLDescriptionTarget;
}

std::string latin1ToUTF8(const foundation::Data& data) {
    std::string out;
    out.reserve(data.length());
    for (uint8_t byte : data.span()) foundation::appendUTF8(out, byte);
    return out;
}

// Browsers write their x-moz-url targets in UTF-16 (little-endian, sometimes
// with a byte-order mark), others in UTF-8: text with NUL bytes is the former.
std::string mozText(const foundation::Data& data) {
    auto bytes = data.span();
    bool utf16 = bytes.size() % 2 == 0 && std::find(bytes.begin(), bytes.end(), 0) != bytes.end();
    if (!utf16) return data.toString();
    std::string out;
    size_t i = 0;
    if (bytes.size() >= 2 && bytes[0] == 0xFF && bytes[1] == 0xFE) i = 2;
    for (; i + 1 < bytes.size(); i += 2) {
        uint32_t unit = bytes[i] | (bytes[i + 1] << 8);
        if (unit == 0) break;
        if (unit >= 0xD800 && unit < 0xDC00 && i + 3 < bytes.size()) {
            uint32_t low = bytes[i + 2] | (bytes[i + 3] << 8);
            if (low >= 0xDC00 && low < 0xE000) {
                foundation::appendUTF8(out, 0x10000 + ((unit - 0xD800) << 10) + (low - 0xDC00));
                i += 2;
                continue;
            }
        }
        if (unit >= 0xD800 && unit < 0xE000) unit = 0xFFFD;  // a lone surrogate
        foundation::appendUTF8(out, unit);
    }
    return out;
}

std::vector<std::string> lines(std::string_view text) {
    std::vector<std::string> out;
    size_t start = 0;
    while (start <= text.size()) {
        size_t end = text.find('\n', start);
        if (end == std::string_view::npos) end = text.size();
        std::string_view line = text.substr(start, end - start);
        while (!line.empty() && (line.back() == '\r' || line.back() == ' ' || line.back() == '\t')) line.remove_suffix(1);
        while (!line.empty() && (line.front() == ' ' || line.front() == '\t')) line.remove_prefix(1);
        out.emplace_back(line);
        start = end + 1;
    }
    return out;
}

// The entries of a URI list; GNOME's form starts with "copy" or "cut".
std::vector<std::string> listEntries(std::string_view name, const foundation::Data& data,
                                     std::vector<std::string>* skipped) {
    std::vector<std::string> all = lines(data.toString());
    bool gnome = TypeIdentifier::normalizedMIMEType(name) == PasteboardTypeMap::kGnomeFilesTarget;
    std::vector<std::string> out;
    size_t dropped = 0;
    for (size_t i = gnome ? 1 : 0; i < all.size(); ++i) {
        const std::string& line = all[i];
        if (line.empty() || line.front() == '#') continue;
        if (out.size() == kMaxListEntries) {
            ++dropped;
            continue;
        }
        out.push_back(line);
    }
    if (dropped && skipped) skipped->push_back(foundation::format("%@ (%@ entries past %@)", name, dropped, kMaxListEntries));
    return out;
}

void appendTarget(std::vector<ClipboardTarget>& out, std::string name, foundation::Data data) {
    for (const auto& t : out) {
        if (t.name == name) return;
    }
    out.push_back({std::move(name), std::move(data)});
}

std::string joined(const std::vector<std::string>& parts, std::string_view separator) {
    std::string out;
    for (size_t i = 0; i < parts.size(); ++i) {
        if (i) out += separator;
        out += parts[i];
    }
    return out;
}

}  // namespace

int PasteboardTypeMap::readPriority(std::string_view name) {
    if (isHint(name) || TypeIdentifier::equal(name, foundation::kConcealedType)) return 0;
    if (textRank(name)) return 1;
    std::string type = typeForTarget(name);
    if (isMozTarget(name) || TypeIdentifier::equal(type, foundation::kUTTypeURL)) return 2;
    if (TypeIdentifier::equal(type, foundation::kUTTypeHTML) || TypeIdentifier::equal(type, foundation::kUTTypeRTF) ||
        TypeIdentifier::equal(type, foundation::kUTTypeFlatRTFD))
        return 3;
    if (isImageType(type)) return 4;
    if (isListTarget(name)) return 5;
    return 6;
}

bool PasteboardTypeMap::replyFits(std::string_view target, std::string_view type, int format, size_t length) {
    if (length == 0) return true;  // nothing to misread
    if (format != 8) return false;  // every target read here is a string of bytes
    if (!textRank(target)) return true;
    return textRank(type) || type == "TEXT" || type == "C_STRING";
}

foundation::Data PasteboardTypeMap::cleanedText(foundation::Data text) {
    size_t length = text.length();
    while (length > 0 && text.bytes()[length - 1] == 0) --length;
    text.truncate(length);
    std::span<const uint8_t> bytes = text.span();
    // The length of a well-formed UTF-8 sequence at i (no NUL, no overlong
    // form, no surrogate, nothing past U+10FFFF); 0 when there is none.
    auto sequence = [&](size_t i) -> size_t {
        uint8_t b = bytes[i];
        if (b == 0) return 0;
        if (b < 0x80) return 1;
        size_t n = b >= 0xF0 ? 4 : b >= 0xE0 ? 3 : b >= 0xC2 ? 2 : 0;
        if (n == 0 || b > 0xF4 || i + n > bytes.size()) return 0;
        for (size_t k = 1; k < n; ++k)
            if ((bytes[i + k] & 0xC0) != 0x80) return 0;
        uint8_t second = bytes[i + 1];
        if (b == 0xE0 && second < 0xA0) return 0;  // overlong
        if (b == 0xED && second >= 0xA0) return 0;  // a surrogate
        if (b == 0xF0 && second < 0x90) return 0;  // overlong
        if (b == 0xF4 && second >= 0x90) return 0;  // past U+10FFFF
        return n;
    };
    size_t i = 0;
    while (i < bytes.size()) {
        // Eight ASCII bytes without a NUL at a time: most text is nothing else.
        if (i + 8 <= bytes.size()) {
            uint64_t word;
            std::memcpy(&word, bytes.data() + i, sizeof word);
            constexpr uint64_t kLow = 0x0101010101010101ull, kHigh = 0x8080808080808080ull;
            if (!(word & kHigh) && !((word - kLow) & ~word & kHigh)) {
                i += 8;
                continue;
            }
        }
        size_t n = sequence(i);
        if (!n) break;
        i += n;
    }
    if (i == bytes.size()) return text;  // the usual case: well formed, kept without a copy
    std::string out(reinterpret_cast<const char*>(bytes.data()), i);
    while (i < bytes.size()) {
        size_t n = sequence(i);
        if (n) {
            out.append(reinterpret_cast<const char*>(bytes.data() + i), n);
            i += n;
        } else {
            foundation::appendUTF8(out, 0xFFFD);
            ++i;
        }
    }
    return foundation::Data(std::move(out));
}

bool PasteboardTypeMap::isSafeTargetName(std::string_view name) {
    if (name.empty() || name.size() > kMaxTargetNameLength) return false;
    for (unsigned char ch : name) {
        if (ch < 0x20 || ch == 0x7F) return false;
    }
    size_t start = 0;
    while (start <= name.size()) {
        size_t end = name.find('/', start);
        if (end == std::string_view::npos) end = name.size();
        std::string_view segment = name.substr(start, end - start);
        if (segment == "." || segment == "..") return false;
        start = end + 1;
    }
    return true;
}

std::string PasteboardTypeMap::typeForTarget(std::string_view name) {
    if (isPlumbing(name) || isListTarget(name)) return {};
    if (isHint(name)) return foundation::kConcealedType;
    if (auto rank = textRank(name); rank && *rank < 4) return foundation::kUTTypeUTF8PlainText;
    if (name.find('/') == std::string_view::npos) return std::string(name);
    return TypeIdentifier::typeForMIMEType(name);
}

PasteboardTypeMap::ReadPlan PasteboardTypeMap::planRead(const std::vector<std::string>& offered, bool useArchive) {
    ReadPlan plan;
    std::vector<std::string> safe;
    for (const auto& name : offered) {
        if (!isSafeTargetName(name)) {
            plan.refused.push_back(name);
        } else if (std::find(safe.begin(), safe.end(), name) == safe.end()) {
            safe.push_back(name);
        }
    }
    if (useArchive && std::find(safe.begin(), safe.end(), PasteboardItemArchive::kMIMEType) != safe.end()) {
        plan.fetch = {PasteboardItemArchive::kMIMEType};
        return plan;
    }

    std::optional<std::string> text;
    int bestRank = 99;
    bool hasImage = false;
    bool hasURIList = false;
    for (const auto& name : safe) {
        if (auto rank = textRank(name); rank && *rank < bestRank) {
            bestRank = *rank;
            text = name;
        }
        hasImage = hasImage || isImageType(TypeIdentifier::typeForMIMEType(name));
        hasURIList = hasURIList || TypeIdentifier::normalizedMIMEType(name) == kURIListTarget;
    }

    std::vector<std::string> types;  // types already planned, so aliases are read once
    bool listPlanned = false;
    for (const auto& name : safe) {
        if (name == PasteboardItemArchive::kMIMEType || isPlumbing(name)) continue;
        if (textRank(name)) {
            if (name == text) plan.fetch.push_back(name);
            continue;
        }
        if (isListTarget(name)) {
            bool gnome = TypeIdentifier::normalizedMIMEType(name) == kGnomeFilesTarget;
            if (!listPlanned && (!gnome || !hasURIList)) {
                plan.fetch.push_back(name);
                listPlanned = true;
            }
            continue;
        }
        if (isHint(name) || isMozTarget(name)) {
            plan.fetch.push_back(name);
            continue;
        }
        std::string type = typeForTarget(name);
        if (hasImage && !isImageType(type) && TypeIdentifier::normalizedMIMEType(name).rfind("image/", 0) == 0 &&
            type.rfind("dyn.mime.", 0) == 0) {
            continue;  // an image format the owner converts to on request, beside one of ours
        }
        bool seen = std::any_of(types.begin(), types.end(), [&](const std::string& t) { return TypeIdentifier::equal(t, type); });
        if (seen) continue;
        types.push_back(type);
        plan.fetch.push_back(name);
    }
    return plan;
}

std::vector<std::string> PasteboardTypeMap::targetsForType(const std::vector<std::string>& offered, std::string_view type,
                                                          bool* direct) {
    const bool link = TypeIdentifier::equal(type, foundation::kUTTypeURL) ||
                      TypeIdentifier::equal(type, foundation::kUTTypeURLName);
    const bool listed = link || TypeIdentifier::equal(type, foundation::kUTTypeFileURL);
    const bool text = TypeIdentifier::equal(type, foundation::kUTTypeUTF8PlainText);
    std::vector<std::string> out;
    bool byName = false;
    for (const auto& name : planRead(offered, false).fetch) {
        if (isListTarget(name) || isMozTarget(name)) {
            // Links and files are in the content, one per line.
            if ((listed && isListTarget(name)) || (link && isMozTarget(name))) out.push_back(name);
        } else if ((text && textRank(name)) || TypeIdentifier::equal(typeForTarget(name), type)) {
            byName = byName || !isHint(name);  // a hint marks concealed content only when it says "secret"
            out.push_back(name);
        }
    }
    if (direct) *direct = byName;
    return out;
}

std::vector<PasteboardItem> PasteboardTypeMap::itemsFromTargets(std::vector<ClipboardTarget> fetched,
                                                                std::vector<std::string>* skipped) {
    for (const auto& target : fetched) {
        if (target.name != PasteboardItemArchive::kMIMEType) continue;
        if (auto items = PasteboardItemArchive::decode(target.data)) return *items;
        if (skipped) skipped->push_back(foundation::format("%@ (malformed)", target.name));
    }

    PasteboardItem first;
    std::vector<std::string> entries;
    // Each target's bytes move into the items: a large text is never held twice.
    for (auto& target : fetched) {
        const std::string& name = target.name;
        if (name == PasteboardItemArchive::kMIMEType) continue;
        if (isListTarget(name)) {
            if (entries.empty()) entries = listEntries(name, target.data, skipped);
        } else if (isHint(name)) {
            if (TypeIdentifier::isConcealedMarker(name, target.data.toString()))
                first.setData(foundation::kConcealedType, target.data);
        } else if (isMozTarget(name)) {
            std::vector<std::string> parts = lines(mozText(target.data));
            bool description = TypeIdentifier::normalizedMIMEType(name) == kMozURLDescriptionTarget;
            if (description) {
                if (!parts.empty() && !parts[0].empty()) first.setString(foundation::kUTTypeURLName, parts[0]);
            } else {
                if (!parts.empty() && !parts[0].empty() && !first.hasType(foundation::kUTTypeURL))
                    first.setString(foundation::kUTTypeURL, parts[0]);
                if (parts.size() > 1 && !parts[1].empty() && !first.hasType(foundation::kUTTypeURLName))
                    first.setString(foundation::kUTTypeURLName, parts[1]);
            }
        } else if (name == "STRING") {
            first.setData(foundation::kUTTypeUTF8PlainText,
                          cleanedText(foundation::Data::fromString(latin1ToUTF8(target.data))));
        } else {
            std::string type = typeForTarget(name);
            if (type.empty() || first.hasType(type)) continue;
            if (auto rank = textRank(name); rank && *rank < 4) {
                first.setData(type, cleanedText(std::move(target.data)));
            } else {
                first.setData(type, std::move(target.data));
            }
        }
    }

    std::vector<PasteboardItem> items;
    if (!first.empty() || !entries.empty()) items.push_back(std::move(first));
    for (size_t i = 0; i < entries.size(); ++i) {
        std::string type = TypeIdentifier::typeForURIListEntry(entries[i]);
        if (i == 0) {
            items[0].setString(type, entries[i]);
        } else {
            PasteboardItem item;
            item.setString(type, entries[i]);
            items.push_back(std::move(item));
        }
    }
    return items;
}

std::vector<PasteboardItem> PasteboardTypeMap::readItems(const std::vector<std::string>& offered, const Fetch& fetch,
                                                         std::vector<std::string>& skipped) {
    bool useArchive = true;
    for (;;) {
        ReadPlan plan = planRead(offered, useArchive);
        if (useArchive) {
            for (const auto& name : plan.refused) skipped.push_back(describeTarget(name) + " (unsafe name)");
        }
        // Fetched in the order of need; kept in the owner's order, which decides between aliases.
        std::vector<size_t> order(plan.fetch.size());
        for (size_t i = 0; i < order.size(); ++i) order[i] = i;
        std::stable_sort(order.begin(), order.end(),
                         [&](size_t a, size_t b) { return readPriority(plan.fetch[a]) < readPriority(plan.fetch[b]); });
        std::vector<std::optional<foundation::Data>> answers(plan.fetch.size());
        for (size_t i : order) answers[i] = fetch(plan.fetch[i]);
        std::vector<ClipboardTarget> fetched;
        for (size_t i = 0; i < answers.size(); ++i) {
            if (answers[i]) fetched.push_back({plan.fetch[i], std::move(*answers[i])});
        }
        bool archiveOnly = plan.fetch.size() == 1 && plan.fetch[0] == PasteboardItemArchive::kMIMEType;
        std::vector<PasteboardItem> items = itemsFromTargets(std::move(fetched), &skipped);
        if (!items.empty() || !archiveOnly) return items;
        useArchive = false;  // our archive was offered but unusable: read the rest
    }
}

std::string PasteboardTypeMap::describeTarget(std::string_view name) {
    constexpr size_t kShown = 80;
    std::string out;
    for (size_t i = 0; i < name.size() && i < kShown; ++i) {
        unsigned char ch = static_cast<unsigned char>(name[i]);
        if (ch < 0x20 || ch == 0x7F) {
            out += foundation::format("\\x%02x", static_cast<unsigned>(ch));
        } else {
            out += static_cast<char>(ch);
        }
    }
    if (name.size() > kShown) out += foundation::format("... (%@ characters)", name.size());
    return out;
}

std::string PasteboardTypeMap::joinedNotes(const std::vector<std::string>& notes) { return joined(notes, ", "); }

std::vector<ClipboardTarget> PasteboardTypeMap::targetsForItems(const std::vector<PasteboardItem>& items) {
    std::vector<ClipboardTarget> out;
    if (items.empty()) return out;

    for (const auto& r : items.front().representations()) {
        const std::string& type = r.type;
        if (TypeIdentifier::equal(type, foundation::kUTTypeFileURL) || TypeIdentifier::equal(type, foundation::kUTTypeURL) ||
            TypeIdentifier::equal(type, "com.apple.finder.node")) {
            continue;  // links travel in the URI list below, one entry per item
        }
        if (TypeIdentifier::equal(type, foundation::kUTTypeUTF8PlainText)) {
            appendTarget(out, "text/plain", r.data);
            appendTarget(out, "text/plain;charset=utf-8", r.data);
        } else if (TypeIdentifier::equal(type, foundation::kUTTypePlainText)) {
            appendTarget(out, "text/plain", r.data);
        } else if (TypeIdentifier::equal(type, foundation::kConcealedType)) {
            appendTarget(out, TypeIdentifier::kPasswordManagerHintMIME,
                         foundation::Data::fromString(TypeIdentifier::kPasswordManagerHintSecret));
        } else {
            appendTarget(out, TypeIdentifier::preferredMIMEType(type), r.data);
        }
    }

    std::vector<std::string> files;
    std::vector<std::string> links;
    for (const auto& item : items) {
        if (auto file = item.string(foundation::kUTTypeFileURL)) files.push_back(*file);
        if (auto link = item.string(foundation::kUTTypeURL)) links.push_back(*link);
    }
    if (!files.empty()) {
        appendTarget(out, kURIListTarget, foundation::Data::fromString(joined(files, "\r\n") + "\r\n"));
        appendTarget(out, kGnomeFilesTarget, foundation::Data::fromString("copy\n" + joined(files, "\n")));
    } else if (!links.empty()) {
        appendTarget(out, kURIListTarget, foundation::Data::fromString(joined(links, "\r\n") + "\r\n"));
    }

    appendTarget(out, PasteboardItemArchive::kMIMEType, PasteboardItemArchive::encode(items));
    return out;
}

}  // namespace desktop
