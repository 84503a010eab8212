#pragma once
// printf-style formatting with "%@" for objects, as the log texts and messages
// are written. Arguments are typed, so a wrong conversion gives odd text, never
// undefined behaviour; a missing argument leaves its directive empty.

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <span>
#include <string_view>
#include <type_traits>
#include <vector>

namespace foundation {

// One argument of a format. Built implicitly from numbers, text, pointers and
// anything with a description() member, so callers write format("%@ %d", s, n).
class FormatArg {
public:
    enum class Kind { Null, Signed, Unsigned, Double, Text, Pointer };

    FormatArg(std::nullptr_t) {}
    FormatArg(bool v) : kind_(Kind::Signed), i_(v ? 1 : 0) {}
    FormatArg(char v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(signed char v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned char v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(short v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned short v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(int v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(long long v) : kind_(Kind::Signed), i_(v) {}
    FormatArg(unsigned long long v) : kind_(Kind::Unsigned), u_(v) {}
    FormatArg(float v) : kind_(Kind::Double), d_(v) {}
    FormatArg(double v) : kind_(Kind::Double), d_(v) {}
    // Text arguments are referred to, not copied: a FormatArg lives only for the
    // format() call that its argument outlives.
    FormatArg(const char* v) : kind_(v ? Kind::Text : Kind::Null), view_(v ? v : "") {}
    FormatArg(std::string_view v) : kind_(Kind::Text), view_(v) {}
    FormatArg(const std::string& v) : kind_(Kind::Text), view_(v) {}
    FormatArg(const void* v) : kind_(Kind::Pointer), p_(v) {}
    FormatArg(const std::vector<std::string>& v);
    template <class T>
    FormatArg(const std::optional<T>& v) : FormatArg(v ? FormatArg(*v) : FormatArg(nullptr)) {}
    template <class T, class = decltype(std::declval<const T&>().description())>
    FormatArg(const T& v) : kind_(Kind::Text), owned_(v.description()), owns_(true) {}
    template <class T, class = decltype(std::declval<const T&>().description())>
    FormatArg(const std::shared_ptr<T>& v) : FormatArg(v ? FormatArg(v->description()) : FormatArg(nullptr)) {}

    Kind kind() const { return kind_; }
    // The "%@" text: "(null)" for null, numbers in their shortest decimal form.
    std::string objectText() const;

private:
    friend std::string formatArgs(std::string_view, std::span<const FormatArg>);
    std::string_view text() const { return owns_ ? std::string_view(owned_) : view_; }
    Kind kind_ = Kind::Null;
    int64_t i_ = 0;
    uint64_t u_ = 0;
    double d_ = 0;
    std::string_view view_;
    std::string owned_;  // text made for this argument (descriptions)
    bool owns_ = false;
    const void* p_ = nullptr;
};

std::string formatArgs(std::string_view format, std::span<const FormatArg> args);

template <class... Args>
std::string format(std::string_view fmt, const Args&... args) {
    const std::array<FormatArg, sizeof...(Args)> argv{FormatArg(args)...};
    return formatArgs(fmt, argv);
}

}  // namespace foundation
