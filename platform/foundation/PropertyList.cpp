#include "PropertyList.h"

#include <charconv>
#include <cmath>
#include <cstring>
#include <pugixml.hpp>

#include "BinaryPlistReader.h"
#include "UTF8.h"

namespace foundation {

namespace {

Error readError(const std::string& reason) {
    return Error(PropertyList::kErrorDomain, PropertyList::kReadCorruptError,
                 "The property list could not be read: " + reason);
}

bool isSpace(char ch) {
    return ch == ' ' || ch == '\t' || ch == '\n' || ch == '\r';
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && isSpace(text.front())) text.remove_prefix(1);
    while (!text.empty() && isSpace(text.back())) text.remove_suffix(1);
    return text;
}

// Character data is parsed with entity expansion off and decoded here, so only
// XML's five predefined entities and character references are accepted; any
// other entity (which a document type could define to expand into gigabytes)
// is an error.
bool decodeEntities(std::string_view raw, std::string& out) {
    out.reserve(out.size() + raw.size());
    for (size_t i = 0; i < raw.size(); ++i) {
        if (raw[i] != '&') {
            out += raw[i];
            continue;
        }
        size_t semicolon = raw.find(';', i);
        if (semicolon == std::string_view::npos || semicolon - i > 12) return false;
        std::string_view name = raw.substr(i + 1, semicolon - i - 1);
        i = semicolon;
        if (name == "lt") out += '<';
        else if (name == "gt") out += '>';
        else if (name == "amp") out += '&';
        else if (name == "quot") out += '"';
        else if (name == "apos") out += '\'';
        else if (name.size() >= 2 && name[0] == '#') {
            bool hex = name[1] == 'x';
            std::string_view digits = name.substr(hex ? 2 : 1);
            uint32_t cp = 0;
            auto [end, ec] = std::from_chars(digits.data(), digits.data() + digits.size(), cp, hex ? 16 : 10);
            if (ec != std::errc() || end != digits.data() + digits.size() || digits.empty()) return false;
            if (cp == 0 || cp > 0x10FFFF || (cp >= 0xD800 && cp <= 0xDFFF)) return false;
            appendUTF8(out, cp);
        } else {
            return false;
        }
    }
    return true;
}

class XMLReader {
public:
    bool text(const pugi::xml_node& node, std::string& out) {
        for (pugi::xml_node child : node.children()) {
            if (child.type() == pugi::node_pcdata) {
                if (!decodeEntities(child.value(), out)) return fail("unknown entity in <" + std::string(node.name()) + ">");
            } else if (child.type() == pugi::node_cdata) {
                out += child.value();
            } else if (child.type() == pugi::node_element) {
                return fail("unexpected element inside <" + std::string(node.name()) + ">");
            }
        }
        return true;
    }

    // Elements of a container; stray text is an error, white space between
    // elements is not.
    bool elements(const pugi::xml_node& node, std::vector<pugi::xml_node>& out) {
        for (pugi::xml_node child : node.children()) {
            if (child.type() == pugi::node_element) {
                out.push_back(child);
            } else if (child.type() == pugi::node_pcdata || child.type() == pugi::node_cdata) {
                if (!trim(child.value()).empty()) return fail("text inside <" + std::string(node.name()) + ">");
            }
        }
        return true;
    }

    bool value(const pugi::xml_node& node, int depth, PlistValue& out) {
        if (depth > PropertyList::kMaxDepth) return fail("nested too deeply");
        const std::string_view name = node.name();
        if (name == "string") {
            std::string s;
            if (!text(node, s)) return false;
            out = PlistValue(std::move(s));
        } else if (name == "integer") {
            std::string s;
            if (!text(node, s)) return false;
            auto number = parseInteger(trim(s));
            if (!number) return fail("bad integer \"" + s + "\"");
            out = PlistValue(*number);
        } else if (name == "real") {
            std::string s;
            if (!text(node, s)) return false;
            auto number = parseReal(trim(s));
            if (!number) return fail("bad real \"" + s + "\"");
            out = PlistValue(*number);
        } else if (name == "true" || name == "false") {
            out = PlistValue(name == "true");
        } else if (name == "date") {
            std::string s;
            if (!text(node, s)) return false;
            auto date = Date::fromISO8601(trim(s));
            if (!date) return fail("bad date \"" + s + "\"");
            out = PlistValue(*date);
        } else if (name == "data") {
            std::string s;
            if (!text(node, s)) return false;
            auto data = Data::fromBase64(s);
            if (!data) return fail("bad base64 data");
            out = PlistValue(std::move(*data));
        } else if (name == "array") {
            std::vector<pugi::xml_node> children;
            if (!elements(node, children)) return false;
            PlistValue::Array array;
            array.reserve(children.size());
            for (const auto& child : children) {
                PlistValue item;
                if (!value(child, depth + 1, item)) return false;
                array.push_back(std::move(item));
            }
            out = PlistValue(std::move(array));
        } else if (name == "dict") {
            std::vector<pugi::xml_node> children;
            if (!elements(node, children)) return false;
            if (children.size() % 2 != 0) return fail("a dictionary key without a value");
            PlistValue::Dictionary dictionary;
            for (size_t i = 0; i < children.size(); i += 2) {
                if (std::strcmp(children[i].name(), "key") != 0) return fail("a dictionary value without a key");
                std::string key;
                if (!text(children[i], key)) return false;
                PlistValue item;
                if (!value(children[i + 1], depth + 1, item)) return false;
                dictionary[key] = std::move(item);
            }
            out = PlistValue(std::move(dictionary));
        } else {
            return fail("unknown element <" + std::string(name) + ">");
        }
        return true;
    }

    bool fail(const std::string& reason) {
        if (error_.empty()) error_ = reason;
        return false;
    }

    const std::string& error() const { return error_; }

private:
    static std::optional<int64_t> parseInteger(std::string_view s) {
        bool negative = false;
        if (!s.empty() && (s[0] == '+' || s[0] == '-')) {
            negative = s[0] == '-';
            s.remove_prefix(1);
        }
        int base = 10;
        if (s.size() > 2 && s[0] == '0' && (s[1] == 'x' || s[1] == 'X')) {
            base = 16;
            s.remove_prefix(2);
        }
        uint64_t magnitude = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), magnitude, base);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
        constexpr uint64_t kMax = static_cast<uint64_t>(INT64_MAX);
        if (negative) {
            if (magnitude > kMax + 1) return std::nullopt;
            return magnitude == kMax + 1 ? INT64_MIN : -static_cast<int64_t>(magnitude);
        }
        if (magnitude > kMax) return std::nullopt;
        return static_cast<int64_t>(magnitude);
    }

    static std::optional<double> parseReal(std::string_view s) {
        std::string lower;
        for (char ch : s) lower += static_cast<char>(ch >= 'A' && ch <= 'Z' ? ch - 'A' + 'a' : ch);
        if (lower == "nan") return NAN;
        if (lower == "inf" || lower == "+inf" || lower == "infinity" || lower == "+infinity") return INFINITY;
        if (lower == "-inf" || lower == "-infinity") return -INFINITY;
        if (!s.empty() && s[0] == '+') s.remove_prefix(1);
        double value = 0;
        auto [end, ec] = std::from_chars(s.data(), s.data() + s.size(), value);
        if (s.empty() || ec != std::errc() || end != s.data() + s.size()) return std::nullopt;
        return value;
    }

    std::string error_;
};

class XMLWriter {
public:
    bool write(const PlistValue& value, int depth) {
        if (depth > PropertyList::kMaxDepth) return fail("nested too deeply");
        const std::string pad(static_cast<size_t>(depth), '\t');
        switch (value.type()) {
        case PlistValue::Type::Null: return fail("a null value cannot be written");
        case PlistValue::Type::String: out_ += pad + "<string>" + escape(*value.asString()) + "</string>\n"; break;
        case PlistValue::Type::Integer: out_ += pad + "<integer>" + std::to_string(*value.asInteger()) + "</integer>\n"; break;
        case PlistValue::Type::Real: out_ += pad + "<real>" + realText(*value.asReal()) + "</real>\n"; break;
        case PlistValue::Type::Boolean: out_ += pad + (*value.asBoolean() ? "<true/>\n" : "<false/>\n"); break;
        case PlistValue::Type::Date: out_ += pad + "<date>" + value.asDate()->iso8601() + "</date>\n"; break;
        case PlistValue::Type::Data: {
            std::string base64 = value.asData()->base64Encoded();
            out_ += pad + "<data>\n";
            for (size_t i = 0; i < base64.size(); i += 68) out_ += pad + base64.substr(i, 68) + "\n";
            out_ += pad + "</data>\n";
            break;
        }
        case PlistValue::Type::Array: {
            const auto& array = *value.asArray();
            if (array.empty()) {
                out_ += pad + "<array/>\n";
                break;
            }
            out_ += pad + "<array>\n";
            for (const auto& item : array)
                if (!write(item, depth + 1)) return false;
            out_ += pad + "</array>\n";
            break;
        }
        case PlistValue::Type::Dictionary: {
            const auto& dictionary = *value.asDictionary();
            if (dictionary.empty()) {
                out_ += pad + "<dict/>\n";
                break;
            }
            out_ += pad + "<dict>\n";
            for (const auto& [key, item] : dictionary) {
                out_ += pad + "\t<key>" + escape(key) + "</key>\n";
                if (!write(item, depth + 1)) return false;
            }
            out_ += pad + "</dict>\n";
            break;
        }
        }
        return true;
    }

    bool fail(const std::string& reason) {
        if (error_.empty()) error_ = reason;
        return false;
    }

    std::string out_;
    std::string error_;

private:
    // Control characters go out as character references, which our reader takes
    // back; a raw carriage return would be folded into a line feed.
    static std::string escape(const std::string& text) {
        std::string out;
        out.reserve(text.size());
        for (char ch : text) {
            switch (ch) {
            case '&': out += "&amp;"; break;
            case '<': out += "&lt;"; break;
            case '>': out += "&gt;"; break;
            default:
                if (static_cast<unsigned char>(ch) < 0x20 && ch != '\n' && ch != '\t')
                    out += "&#" + std::to_string(static_cast<int>(ch)) + ";";
                else
                    out += ch;
            }
        }
        return out;
    }

    static std::string realText(double value) {
        if (std::isnan(value)) return "nan";
        if (std::isinf(value)) return value > 0 ? "+infinity" : "-infinity";
        char buffer[64];
        auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
        return ec == std::errc() ? std::string(buffer, end) : std::string("0");
    }
};

}  // namespace

Result<PlistValue> PropertyList::read(std::span<const uint8_t> bytes, Format* format) {
    if (bytes.size() >= 8 && std::memcmp(bytes.data(), "bplist", 6) == 0) {
        if (format) *format = Format::Binary;
        return readBinary(bytes);
    }
    if (format) *format = Format::XML;
    return readXML(std::string_view(reinterpret_cast<const char*>(bytes.data()), bytes.size()));
}

Result<PlistValue> PropertyList::readBinary(std::span<const uint8_t> bytes) {
    return BinaryPlistReader::read(bytes);
}

Result<PlistValue> PropertyList::readXML(std::string_view text) {
    if (text.empty()) return readError("empty");
    pugi::xml_document document;
    const unsigned options = pugi::parse_cdata | pugi::parse_eol | pugi::parse_ws_pcdata_single | pugi::parse_doctype;
    pugi::xml_parse_result parsed = document.load_buffer(text.data(), text.size(), options, pugi::encoding_auto);
    if (!parsed) return readError(parsed.description());

    pugi::xml_node root;
    for (pugi::xml_node node : document.children()) {
        if (node.type() == pugi::node_doctype) {
            // An internal subset is where entity definitions would live.
            if (std::strchr(node.value(), '[')) return readError("document type with an internal subset");
        } else if (node.type() == pugi::node_element) {
            if (root) return readError("more than one root element");
            root = node;
        } else if (node.type() == pugi::node_pcdata || node.type() == pugi::node_cdata) {
            if (!trim(node.value()).empty()) return readError("text outside the root element");
        }
    }
    if (!root) return readError("no root element");

    XMLReader reader;
    pugi::xml_node top = root;
    if (std::strcmp(root.name(), "plist") == 0) {
        std::vector<pugi::xml_node> children;
        if (!reader.elements(root, children)) return readError(reader.error());
        if (children.size() != 1) return readError("<plist> must hold exactly one value");
        top = children[0];
    }
    PlistValue value;
    if (!reader.value(top, 0, value)) return readError(reader.error());
    return value;
}

Result<std::string> PropertyList::writeXML(const PlistValue& value) {
    XMLWriter writer;
    writer.out_ =
        "<?xml version=\"1.0\" encoding=\"UTF-8\"?>\n"
        "<!DOCTYPE plist PUBLIC \"-//Apple//DTD PLIST 1.0//EN\" \"http://www.apple.com/DTDs/PropertyList-1.0.dtd\">\n"
        "<plist version=\"1.0\">\n";
    if (!writer.write(value, 0))
        return Error(kErrorDomain, kWriteInvalidError, "The property list could not be written: " + writer.error_);
    writer.out_ += "</plist>\n";
    return std::move(writer.out_);
}

}  // namespace foundation
