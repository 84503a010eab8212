#pragma once
// Builds binary property lists byte by byte for the reader's tests, including
// broken ones: objects are raw bytes, references and the trailer are set by hand.

#include <cstdint>
#include <string>
#include <vector>

namespace testsupport {

class BinaryPlistBuilder {
public:
    // Adds an object's bytes; answers its reference.
    uint64_t add(std::vector<uint8_t> bytes) {
        objects_.push_back(std::move(bytes));
        return objects_.size() - 1;
    }
    uint64_t addInteger(int64_t value) {
        std::vector<uint8_t> b = {0x13};
        for (int i = 7; i >= 0; --i) b.push_back(static_cast<uint8_t>(uint64_t(value) >> (i * 8)));
        return add(b);
    }
    uint64_t addASCII(const std::string& text) {
        std::vector<uint8_t> b = marker(0x50, text.size());
        b.insert(b.end(), text.begin(), text.end());
        return add(b);
    }
    uint64_t addContainer(uint8_t type, const std::vector<uint64_t>& refs, size_t count) {
        std::vector<uint8_t> b = marker(type, count);
        for (uint64_t r : refs) b.push_back(static_cast<uint8_t>(r));  // one-byte references
        return add(b);
    }
    uint64_t addArray(const std::vector<uint64_t>& refs) { return addContainer(0xA0, refs, refs.size()); }
    uint64_t addDictionary(const std::vector<uint64_t>& keys, const std::vector<uint64_t>& values) {
        std::vector<uint64_t> refs = keys;
        refs.insert(refs.end(), values.begin(), values.end());
        return addContainer(0xD0, refs, keys.size());
    }

    static std::vector<uint8_t> marker(uint8_t type, size_t count) {
        if (count < 15) return {static_cast<uint8_t>(type | count)};
        std::vector<uint8_t> b = {static_cast<uint8_t>(type | 0xF), 0x13};
        for (int i = 7; i >= 0; --i) b.push_back(static_cast<uint8_t>(uint64_t(count) >> (i * 8)));
        return b;
    }

    // The whole file. Fields of the trailer may be overridden to break it.
    struct Trailer {
        int offsetSize = 4;
        int refSize = 1;
        int64_t objectCount = -1;  // -1: the real count
        uint64_t topObject = 0;
        int64_t tableOffset = -1;  // -1: the real offset
    };
    std::vector<uint8_t> build(uint64_t top) const { return build(top, Trailer()); }
    std::vector<uint8_t> build(uint64_t top, Trailer t) const {
        t.topObject = top;
        std::vector<uint8_t> out = {'b', 'p', 'l', 'i', 's', 't', '0', '0'};
        std::vector<uint64_t> offsets;
        for (const auto& o : objects_) {
            offsets.push_back(out.size());
            out.insert(out.end(), o.begin(), o.end());
        }
        uint64_t table = out.size();
        for (uint64_t off : offsets) put(out, off, t.offsetSize);
        for (int i = 0; i < 6; ++i) out.push_back(0);
        out.push_back(static_cast<uint8_t>(t.offsetSize));
        out.push_back(static_cast<uint8_t>(t.refSize));
        put(out, t.objectCount < 0 ? objects_.size() : uint64_t(t.objectCount), 8);
        put(out, t.topObject, 8);
        put(out, t.tableOffset < 0 ? table : uint64_t(t.tableOffset), 8);
        return out;
    }

private:
    static void put(std::vector<uint8_t>& out, uint64_t value, int width) {
        for (int i = width - 1; i >= 0; --i) out.push_back(static_cast<uint8_t>(value >> (i * 8)));
    }

    std::vector<std::vector<uint8_t>> objects_;
};

}  // namespace testsupport
