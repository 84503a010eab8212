#pragma once
// Property-list files: XML read and write, binary ("bplist00") read. Any thread.
//
// Input is untrusted (settings files edited by hand or torn, pasteboard
// archives): every offset, count and nesting depth is checked, binary object
// graphs may not loop back on themselves, and shared objects may not blow up
// into more values or bytes than the limits below. Malformed input is an error,
// never a crash.

#include <cstdint>
#include <span>
#include <string>
#include <string_view>

#include "PlistValue.h"
#include "Result.h"

namespace foundation {

class PropertyList {
public:
    enum class Format { XML, Binary };

    static constexpr const char* kErrorDomain = "NSCocoaErrorDomain";
    static constexpr int64_t kReadCorruptError = 3840;
    static constexpr int64_t kWriteInvalidError = 3851;

    // Deeper nesting is refused: no real settings come near it, and it keeps the
    // readers' recursion far from the stack's end.
    static constexpr int kMaxDepth = 256;
    // Caps on what one binary read may produce. Objects may be shared (written
    // once, referred to from many places), which real writers do for repeated
    // keys and strings; a list built to share one object exponentially often
    // would otherwise expand without bound. So the values and bytes produced may
    // exceed the input's objects and bytes only kMaxExpansion times, and never
    // the absolute caps.
    static constexpr size_t kMaxExpansion = 32;
    static constexpr size_t kMaxValues = size_t{1} << 21;
    static constexpr size_t kMaxPayloadBytes = size_t{256} << 20;

    // Reads either format, telling which one it found.
    static Result<PlistValue> read(std::span<const uint8_t> bytes, Format* format = nullptr);
    static Result<PlistValue> readXML(std::string_view text);
    static Result<PlistValue> readBinary(std::span<const uint8_t> bytes);

    // Apple's XML property-list text. Null values cannot be written.
    static Result<std::string> writeXML(const PlistValue& value);
};

}  // namespace foundation
