#pragma once
// JSON text to and from property-list values, as downloaded settings and
// analytics payloads need them. Any thread; nothing here throws.
//
// Reading: objects become dictionaries, arrays arrays, strings strings,
// true/false booleans, whole numbers integers (a whole number beyond the
// 64-bit range becomes a real) and other numbers reals; JSON null is kept as a
// null value, so a key that holds null is still present. Only whole documents
// are read (an object or an array at the top, as settings documents are):
// fragments, invalid UTF-8, numbers out of a double's range and nesting deeper
// than kMaxDepth are errors.
//
// Writing: the same mapping back. Strings with invalid UTF-8 are written with
// U+FFFD in place of each bad sequence; NaN and infinities, dates and data
// have no JSON form and make the write fail.

#include <optional>
#include <string>
#include <string_view>

#include "PlistValue.h"
#include "Result.h"

namespace foundation {

class JSON {
public:
    static constexpr const char* kErrorDomain = "NSCocoaErrorDomain";
    static constexpr int64_t kReadCorruptError = 3840;
    static constexpr int64_t kWriteInvalidError = 3851;
    // No real document comes near this; it keeps every walk far from the stack's end.
    static constexpr int kMaxDepth = 512;

    enum class Fragments { Refused, Allowed };

    static Result<PlistValue> read(std::string_view text, Fragments fragments = Fragments::Refused);
    // Compact text with dictionary keys in sorted order; pretty adds line breaks
    // and an indent of two spaces.
    static Result<std::string> write(const PlistValue& value, bool pretty = false);
    // Appends value's compact text to out as write() writes it, for callers that
    // lay out a document from parts (a fragment is fine here). On failure out
    // may hold part of the text.
    static std::optional<Error> appendValue(std::string& out, const PlistValue& value);
    static std::optional<Error> appendValue(std::string& out, const PlistValue::Dictionary& dictionary);
    // Appends text as a JSON string, quotes and escapes as write() makes them.
    static void appendQuoted(std::string& out, std::string_view text);
};

}  // namespace foundation
