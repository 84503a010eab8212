#include "tests/sdk/blackbox/UnwindInfoBuilder.h"

#include <cstring>

namespace blackboxtest {

namespace {

template <typename T>
void put(std::vector<uint8_t>& bytes, size_t at, T value) {
    if (bytes.size() < at + sizeof value) bytes.resize(at + sizeof value);
    std::memcpy(bytes.data() + at, &value, sizeof value);
}

}  // namespace

void UnwindInfoBuilder::addCompressedPage(uint32_t firstFunctionOffset, std::vector<CompactEntry> entries,
                                          std::vector<uint32_t> pageEncodings) {
    pages_.push_back({firstFunctionOffset, false, std::move(entries), std::move(pageEncodings), {}});
}

void UnwindInfoBuilder::addRegularPage(uint32_t firstFunctionOffset,
                                       std::vector<std::pair<uint32_t, uint32_t>> entries) {
    pages_.push_back({firstFunctionOffset, true, {}, {}, std::move(entries)});
}

std::vector<uint8_t> UnwindInfoBuilder::build() const {
    std::vector<uint8_t> bytes(28, 0);
    uint32_t commonOffset = 28;
    uint32_t indexOffset = commonOffset + static_cast<uint32_t>(common_.size() * 4);
    uint32_t indexCount = static_cast<uint32_t>(pages_.size() + 1);
    uint32_t pageOffset = indexOffset + indexCount * 12;
    put<uint32_t>(bytes, 0, 1);
    put<uint32_t>(bytes, 4, commonOffset);
    put<uint32_t>(bytes, 8, static_cast<uint32_t>(common_.size()));
    put<uint32_t>(bytes, 12, 0);
    put<uint32_t>(bytes, 16, 0);
    put<uint32_t>(bytes, 20, indexOffset);
    put<uint32_t>(bytes, 24, indexCount);
    for (size_t i = 0; i < common_.size(); ++i) put(bytes, commonOffset + i * 4, common_[i]);
    for (size_t i = 0; i < pages_.size(); ++i) {
        const Page& page = pages_[i];
        size_t at = (pageOffset + 3) & ~size_t(3);
        put(bytes, indexOffset + i * 12, page.firstFunctionOffset);
        put(bytes, indexOffset + i * 12 + 4, static_cast<uint32_t>(at));
        put<uint32_t>(bytes, indexOffset + i * 12 + 8, 0);
        if (page.regular) {
            put<uint32_t>(bytes, at, 2);
            put<uint16_t>(bytes, at + 4, 8);
            put<uint16_t>(bytes, at + 6, static_cast<uint16_t>(page.regularEntries.size()));
            for (size_t e = 0; e < page.regularEntries.size(); ++e) {
                put(bytes, at + 8 + e * 8, page.regularEntries[e].first);
                put(bytes, at + 12 + e * 8, page.regularEntries[e].second);
            }
        } else {
            uint16_t entriesAt = 12;
            auto encodingsAt = static_cast<uint16_t>(12 + page.entries.size() * 4);
            put<uint32_t>(bytes, at, 3);
            put<uint16_t>(bytes, at + 4, entriesAt);
            put<uint16_t>(bytes, at + 6, static_cast<uint16_t>(page.entries.size()));
            put<uint16_t>(bytes, at + 8, encodingsAt);
            put<uint16_t>(bytes, at + 10, static_cast<uint16_t>(page.encodings.size()));
            for (size_t e = 0; e < page.entries.size(); ++e)
                put<uint32_t>(bytes, at + entriesAt + e * 4,
                              (page.entries[e].encodingIndex << 24) | (page.entries[e].functionOffset & 0xffffff));
            for (size_t e = 0; e < page.encodings.size(); ++e) put(bytes, at + encodingsAt + e * 4, page.encodings[e]);
        }
        pageOffset = static_cast<uint32_t>(bytes.size());
    }
    put(bytes, indexOffset + pages_.size() * 12, end_);
    put<uint32_t>(bytes, indexOffset + pages_.size() * 12 + 4, 0);
    put<uint32_t>(bytes, indexOffset + pages_.size() * 12 + 8, 0);
    return bytes;
}

}  // namespace blackboxtest
