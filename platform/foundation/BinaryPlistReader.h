#pragma once
// Reader of binary property lists ("bplist00"), behind PropertyList::readBinary.
// Any thread; one reader per read.
//
// Layout: the header, the objects, a table of object offsets, and a 32-byte
// trailer giving the offset table's place, the widths of offsets and object
// references, the object count and the top object.

#include <cstdint>
#include <span>
#include <string>
#include <vector>

#include "PlistValue.h"
#include "Result.h"

namespace foundation {

class BinaryPlistReader {
public:
    static Result<PlistValue> read(std::span<const uint8_t> bytes);

private:
    explicit BinaryPlistReader(std::span<const uint8_t> bytes) : bytes_(bytes) {}

    bool readTrailer();
    bool readObject(uint64_t ref, int depth, PlistValue& out);
    bool readObjectAt(size_t pos, int depth, PlistValue& out);
    bool readCount(size_t& pos, uint8_t info, uint64_t& count);
    bool readReferences(size_t pos, uint64_t count, std::vector<uint64_t>& refs);
    uint64_t readUnsigned(size_t pos, size_t width) const;
    bool addPayload(uint64_t bytes);
    bool fail(const std::string& reason);

    std::span<const uint8_t> bytes_;
    size_t offsetSize_ = 0;
    size_t refSize_ = 0;
    uint64_t objectCount_ = 0;
    uint64_t topObject_ = 0;
    uint64_t tableOffset_ = 0;
    size_t maxValues_ = 0;
    size_t maxPayload_ = 0;
    size_t values_ = 0;
    size_t payload_ = 0;
    // Objects on the path from the top object to the one being read: meeting
    // one of them again means the graph loops.
    std::vector<bool> onPath_;
    std::string error_;
};

}  // namespace foundation
