#pragma once
// Builds compact unwind tables ("__unwind_info", version 1) for the unwinder's
// tests: common encodings, a first-level index whose last entry is the end
// sentinel, and second-level pages, compressed (entries of a 24-bit function
// offset and an 8-bit encoding index, with the page's own encodings) or
// regular (function offset and encoding pairs).

#include <cstdint>
#include <vector>

namespace blackboxtest {

struct CompactEntry {
    uint32_t functionOffset;  // from the page's first function
    uint32_t encodingIndex;   // common encodings first, then the page's
};

class UnwindInfoBuilder {
public:
    explicit UnwindInfoBuilder(std::vector<uint32_t> commonEncodings) : common_(std::move(commonEncodings)) {}

    // A compressed page for the functions from firstFunctionOffset (from the
    // load address).
    void addCompressedPage(uint32_t firstFunctionOffset, std::vector<CompactEntry> entries,
                           std::vector<uint32_t> pageEncodings);
    // A regular page: (function offset from the load address, encoding) pairs.
    void addRegularPage(uint32_t firstFunctionOffset, std::vector<std::pair<uint32_t, uint32_t>> entries);
    // The sentinel entry that ends the last page's range.
    void setEnd(uint32_t functionOffset) { end_ = functionOffset; }

    std::vector<uint8_t> build() const;

private:
    struct Page {
        uint32_t firstFunctionOffset;
        bool regular;
        std::vector<CompactEntry> entries;
        std::vector<uint32_t> encodings;
        std::vector<std::pair<uint32_t, uint32_t>> regularEntries;
    };
    std::vector<uint32_t> common_;
    std::vector<Page> pages_;
    uint32_t end_ = 0;
};

}  // namespace blackboxtest
