#include "Format.h"

#include <cctype>
#include <charconv>
#include <cinttypes>
#include <cstdlib>
#include <cstdio>

namespace foundation {

namespace {

std::string printfOne(const std::string& spec, auto value) {
    char buffer[128];
    int n = std::snprintf(buffer, sizeof buffer, spec.c_str(), value);
    if (n < 0) return {};
    if (static_cast<size_t>(n) < sizeof buffer) return std::string(buffer, static_cast<size_t>(n));
    std::string out(static_cast<size_t>(n) + 1, '\0');
    std::snprintf(out.data(), out.size(), spec.c_str(), value);
    out.resize(static_cast<size_t>(n));
    return out;
}

// Width and precision of a "%-10.3s"-style spec applied to text we already have.
std::string padText(const std::string& flags, const std::string& text) {
    if (flags.empty()) return text;
    return printfOne("%" + flags + "s", text.c_str());
}

template <class T>
void appendInteger(std::string& out, T value) {
    char buffer[24];
    auto [end, ec] = std::to_chars(buffer, buffer + sizeof buffer, value);
    out.append(buffer, end);
}

}  // namespace

FormatArg::FormatArg(const std::vector<std::string>& v) : kind_(Kind::Text), owns_(true) {
    owned_ = "(\n";
    for (size_t i = 0; i < v.size(); ++i) {
        owned_ += "    " + v[i];
        owned_ += (i + 1 < v.size()) ? ",\n" : "\n";
    }
    owned_ += ")";
}

std::string FormatArg::objectText() const {
    switch (kind_) {
    case Kind::Null: return "(null)";
    case Kind::Signed: return std::to_string(i_);
    case Kind::Unsigned: return std::to_string(u_);
    case Kind::Double: {
        // Shortest text that reads back as the same number.
        std::string shortText = printfOne("%.15g", d_);
        return std::strtod(shortText.c_str(), nullptr) == d_ ? shortText : printfOne("%.17g", d_);
    }
    case Kind::Text: return std::string(text());
    case Kind::Pointer: return printfOne("%p", p_);
    }
    return {};
}

std::string formatArgs(std::string_view format, std::span<const FormatArg> args) {
    std::string out;
    out.reserve(format.size() + 32);
    size_t next = 0;
    for (size_t i = 0; i < format.size(); ++i) {
        if (format[i] != '%') {
            // The text up to the next conversion, in one piece.
            size_t percent = format.find('%', i);
            if (percent == std::string_view::npos) percent = format.size();
            out.append(format.substr(i, percent - i));
            i = percent - 1;
            continue;
        }
        size_t start = i + 1;
        size_t j = start;
        // Flags, width and precision.
        while (j < format.size() && std::string_view("-+ #0'").find(format[j]) != std::string_view::npos) ++j;
        while (j < format.size() && (std::isdigit(static_cast<unsigned char>(format[j])) || format[j] == '.')) ++j;
        std::string flags(format.substr(start, j - start));
        // Length modifiers carry no meaning here: the argument knows its type.
        while (j < format.size() && std::string_view("hlqLzjt").find(format[j]) != std::string_view::npos) ++j;
        if (j >= format.size()) { out.append(format.substr(i)); break; }
        char conv = format[j];
        i = j;
        if (conv == '%') { out += '%'; continue; }
        const FormatArg* arg = next < args.size() ? &args[next] : nullptr;
        ++next;
        if (!arg) continue;
        using K = FormatArg::Kind;
        switch (conv) {
        case '@':
            if (flags.empty() && arg->kind_ == K::Text) out.append(arg->text());
            else if (flags.empty() && arg->kind_ == K::Signed) appendInteger(out, arg->i_);
            else if (flags.empty() && arg->kind_ == K::Unsigned) appendInteger(out, arg->u_);
            else out += padText(flags, arg->objectText());
            break;
        case 'd': case 'i': {
            int64_t v = arg->kind_ == K::Unsigned ? static_cast<int64_t>(arg->u_)
                        : arg->kind_ == K::Double  ? static_cast<int64_t>(arg->d_)
                                                   : arg->i_;
            if (flags.empty()) appendInteger(out, v);
            else out += printfOne("%" + flags + PRId64, v);
            break;
        }
        case 'u': case 'x': case 'X': case 'o': {
            uint64_t v = arg->kind_ == K::Signed   ? static_cast<uint64_t>(arg->i_)
                         : arg->kind_ == K::Double ? static_cast<uint64_t>(arg->d_)
                         : arg->kind_ == K::Pointer ? reinterpret_cast<uintptr_t>(arg->p_)
                                                    : arg->u_;
            std::string spec = "%" + flags + (conv == 'u' ? PRIu64 : conv == 'x' ? PRIx64 : conv == 'X' ? PRIX64 : PRIo64);
            out += printfOne(spec, v);
            break;
        }
        case 'f': case 'F': case 'e': case 'E': case 'g': case 'G': case 'a': case 'A': {
            double v = arg->kind_ == K::Signed ? static_cast<double>(arg->i_)
                       : arg->kind_ == K::Unsigned ? static_cast<double>(arg->u_)
                                                   : arg->d_;
            out += printfOne("%" + flags + conv, v);
            break;
        }
        case 'c': {
            char ch = static_cast<char>(arg->kind_ == K::Unsigned ? arg->u_ : arg->i_);
            out += padText(flags, std::string(1, ch));
            break;
        }
        case 's':
            if (flags.empty() && arg->kind_ == K::Text) out.append(arg->text());
            else out += padText(flags, arg->kind_ == K::Null ? std::string("(null)") : arg->objectText());
            break;
        case 'p':
            out += padText(flags, arg->objectText());
            break;
        default:
            // Unknown directive: keep it as written and do not consume an argument.
            out.append(format.substr(start - 1, j - start + 2));
            --next;
            break;
        }
    }
    return out;
}

}  // namespace foundation
