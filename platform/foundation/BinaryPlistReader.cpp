#include "BinaryPlistReader.h"

#include <algorithm>
#include <bit>
#include <cstring>
#include <limits>

#include "PropertyList.h"
#include "UTF8.h"

namespace foundation {

namespace {

constexpr size_t kHeaderSize = 8;
constexpr size_t kTrailerSize = 32;
// Arrays grow as they are read; a declared count only reserves this much, so a
// lying count cannot make us allocate ahead of the data.
constexpr size_t kMaxReserve = 4096;

}  // namespace

Result<PlistValue> BinaryPlistReader::read(std::span<const uint8_t> bytes) {
    BinaryPlistReader reader(bytes);
    PlistValue top;
    if (!reader.readTrailer() || !reader.readObject(reader.topObject_, 0, top))
        return Error(PropertyList::kErrorDomain, PropertyList::kReadCorruptError,
                     "The binary property list is damaged: " + reader.error_);
    return top;
}

bool BinaryPlistReader::fail(const std::string& reason) {
    if (error_.empty()) error_ = reason;
    return false;
}

uint64_t BinaryPlistReader::readUnsigned(size_t pos, size_t width) const {
    uint64_t value = 0;
    for (size_t i = 0; i < width; ++i) value = value << 8 | bytes_[pos + i];
    return value;
}

bool BinaryPlistReader::readTrailer() {
    const size_t size = bytes_.size();
    if (size < kHeaderSize + 1 + kTrailerSize) return fail("too short");
    if (std::memcmp(bytes_.data(), "bplist00", kHeaderSize) != 0) return fail("no bplist00 header");
    const size_t trailer = size - kTrailerSize;
    offsetSize_ = bytes_[trailer + 6];
    refSize_ = bytes_[trailer + 7];
    objectCount_ = readUnsigned(trailer + 8, 8);
    topObject_ = readUnsigned(trailer + 16, 8);
    tableOffset_ = readUnsigned(trailer + 24, 8);
    if (offsetSize_ < 1 || offsetSize_ > 8 || refSize_ < 1 || refSize_ > 8) return fail("bad integer widths");
    if (tableOffset_ <= kHeaderSize || tableOffset_ > trailer) return fail("offset table out of range");
    if (objectCount_ == 0 || objectCount_ > (trailer - tableOffset_) / offsetSize_)
        return fail("object count out of range");
    if (topObject_ >= objectCount_) return fail("top object out of range");
    // Only objects that fit in the file can exist, so these stay within its size.
    maxValues_ = static_cast<size_t>(
        std::min<uint64_t>(PropertyList::kMaxValues, objectCount_ * PropertyList::kMaxExpansion + 4096));
    maxPayload_ = std::min<size_t>(PropertyList::kMaxPayloadBytes, size * PropertyList::kMaxExpansion);
    onPath_.assign(static_cast<size_t>(objectCount_), false);
    return true;
}

bool BinaryPlistReader::addPayload(uint64_t bytes) {
    if (bytes > maxPayload_ - payload_) return fail("expands beyond the size limit");
    payload_ += static_cast<size_t>(bytes);
    return true;
}

bool BinaryPlistReader::readCount(size_t& pos, uint8_t info, uint64_t& count) {
    if (info != 0xF) {
        count = info;
        return true;
    }
    if (pos >= tableOffset_) return fail("length out of range");
    const uint8_t marker = bytes_[pos];
    if ((marker >> 4) != 0x1 || (marker & 0xF) > 3) return fail("bad length marker");
    const size_t width = size_t{1} << (marker & 0xF);
    if (width > tableOffset_ - pos - 1) return fail("length out of range");
    count = readUnsigned(pos + 1, width);
    pos += 1 + width;
    return true;
}

bool BinaryPlistReader::readReferences(size_t pos, uint64_t count, std::vector<uint64_t>& refs) {
    if (count > (tableOffset_ - pos) / refSize_) return fail("references out of range");
    refs.resize(static_cast<size_t>(count));
    for (size_t i = 0; i < refs.size(); ++i) refs[i] = readUnsigned(pos + i * refSize_, refSize_);
    return true;
}

bool BinaryPlistReader::readObject(uint64_t ref, int depth, PlistValue& out) {
    if (depth > PropertyList::kMaxDepth) return fail("nested too deeply");
    if (ref >= objectCount_) return fail("object reference out of range");
    if (onPath_[ref]) return fail("object graph contains a cycle");
    if (++values_ > maxValues_) return fail("expands into too many values");
    const uint64_t offset = readUnsigned(static_cast<size_t>(tableOffset_ + ref * offsetSize_), offsetSize_);
    if (offset < kHeaderSize || offset >= tableOffset_) return fail("object offset out of range");
    onPath_[ref] = true;
    bool ok = readObjectAt(static_cast<size_t>(offset), depth, out);
    onPath_[ref] = false;
    return ok;
}

bool BinaryPlistReader::readObjectAt(size_t pos, int depth, PlistValue& out) {
    const uint8_t marker = bytes_[pos++];
    const uint8_t info = marker & 0xF;
    const size_t available = static_cast<size_t>(tableOffset_) - pos;
    switch (marker >> 4) {
    case 0x0:
        if (info == 0x8 || info == 0x9) {
            out = PlistValue(info == 0x9);
            return true;
        }
        return fail("unsupported simple object");
    case 0x1: {
        if (info > 4) return fail("bad integer width");
        const size_t width = size_t{1} << info;
        if (width > available) return fail("integer out of range");
        if (width < 8) {
            out = PlistValue(static_cast<int64_t>(readUnsigned(pos, width)));
        } else if (width == 8) {
            out = PlistValue(std::bit_cast<int64_t>(readUnsigned(pos, 8)));
        } else {
            // 16 bytes: the high half only sign-extends values that fit in 64 bits.
            const uint64_t high = readUnsigned(pos, 8), low = readUnsigned(pos + 8, 8);
            const bool fits = (high == 0 && low <= uint64_t(std::numeric_limits<int64_t>::max())) ||
                              (high == ~uint64_t{0} && low > uint64_t(std::numeric_limits<int64_t>::max()));
            if (!fits) return fail("integer does not fit in 64 bits");
            out = PlistValue(std::bit_cast<int64_t>(low));
        }
        return true;
    }
    case 0x2:
        if (info == 2 && available >= 4) {
            out = PlistValue(static_cast<double>(std::bit_cast<float>(static_cast<uint32_t>(readUnsigned(pos, 4)))));
            return true;
        }
        if (info == 3 && available >= 8) {
            out = PlistValue(std::bit_cast<double>(readUnsigned(pos, 8)));
            return true;
        }
        return fail("bad real");
    case 0x3:
        if (info != 3 || available < 8) return fail("bad date");
        out = PlistValue(Date::fromReferenceDate(std::bit_cast<double>(readUnsigned(pos, 8))));
        return true;
    case 0x4: {
        uint64_t count;
        if (!readCount(pos, info, count)) return false;
        if (count > tableOffset_ - pos) return fail("data out of range");
        if (!addPayload(count)) return false;
        out = PlistValue(Data(bytes_.data() + pos, static_cast<size_t>(count)));
        return true;
    }
    case 0x5: {
        uint64_t count;
        if (!readCount(pos, info, count)) return false;
        if (count > tableOffset_ - pos) return fail("string out of range");
        if (!addPayload(count * 2)) return false;
        std::string text;
        text.reserve(static_cast<size_t>(count));
        for (size_t i = 0; i < count; ++i) appendUTF8(text, bytes_[pos + i]);  // single bytes as Latin-1
        out = PlistValue(std::move(text));
        return true;
    }
    case 0x6: {
        uint64_t count;
        if (!readCount(pos, info, count)) return false;
        if (count > (tableOffset_ - pos) / 2) return fail("string out of range");
        if (!addPayload(count * 3)) return false;
        std::string text;
        text.reserve(static_cast<size_t>(count));
        for (size_t i = 0; i < count; ++i) {
            uint32_t unit = static_cast<uint32_t>(readUnsigned(pos + i * 2, 2));
            if (unit >= 0xD800 && unit <= 0xDBFF && i + 1 < count) {
                uint32_t next = static_cast<uint32_t>(readUnsigned(pos + (i + 1) * 2, 2));
                if (next >= 0xDC00 && next <= 0xDFFF) {
                    appendUTF8(text, 0x10000 + ((unit - 0xD800) << 10) + (next - 0xDC00));
                    ++i;
                    continue;
                }
            }
            // A lone surrogate cannot be written as UTF-8: it becomes U+FFFD.
            appendUTF8(text, (unit >= 0xD800 && unit <= 0xDFFF) ? 0xFFFD : unit);
        }
        out = PlistValue(std::move(text));
        return true;
    }
    case 0x8: {
        const size_t width = size_t{info} + 1;
        if (width > 8 || width > available) return fail("bad uid");
        PlistValue::Dictionary uid;
        uid["CF$UID"] = PlistValue(static_cast<int64_t>(readUnsigned(pos, width)));
        out = PlistValue(std::move(uid));
        return true;
    }
    case 0xA:
    case 0xC: {
        uint64_t count;
        std::vector<uint64_t> refs;
        if (!readCount(pos, info, count) || !readReferences(pos, count, refs)) return false;
        PlistValue::Array array;
        array.reserve(std::min(refs.size(), kMaxReserve));
        for (uint64_t child : refs) {
            PlistValue item;
            if (!readObject(child, depth + 1, item)) return false;
            array.push_back(std::move(item));
        }
        out = PlistValue(std::move(array));
        return true;
    }
    case 0xD: {
        uint64_t count;
        if (!readCount(pos, info, count)) return false;
        if (count > (tableOffset_ - pos) / refSize_ / 2) return fail("dictionary out of range");
        std::vector<uint64_t> refs;
        if (!readReferences(pos, count * 2, refs)) return false;
        PlistValue::Dictionary dictionary;
        for (size_t i = 0; i < count; ++i) {
            PlistValue key, value;
            if (!readObject(refs[i], depth + 1, key)) return false;
            if (!key.asString()) return fail("dictionary key is not a string");
            if (!readObject(refs[count + i], depth + 1, value)) return false;
            dictionary[*key.asString()] = std::move(value);
        }
        out = PlistValue(std::move(dictionary));
        return true;
    }
    default:
        return fail("unknown object type");
    }
}

}  // namespace foundation
