#include "tests/sdk/beacon/MachOBuilder.h"

#include <cstring>

namespace beacontest {

namespace {
constexpr uint32_t kFatAlignmentPower = 4;
}

MachOBuilder::MachOBuilder(bool is64, bool swapped, int32_t cputype, int32_t cpusubtype, uint32_t filetype)
    : is64_(is64), swapped_(swapped), cputype_(cputype), cpusubtype_(cpusubtype), filetype_(filetype) {}

void MachOBuilder::put32(Bytes& out, uint32_t value) const {
    if (swapped_) value = __builtin_bswap32(value);
    uint8_t bytes[4];
    std::memcpy(bytes, &value, 4);
    out.insert(out.end(), bytes, bytes + 4);
}

void MachOBuilder::put64(Bytes& out, uint64_t value) const {
    if (swapped_) value = __builtin_bswap64(value);
    uint8_t bytes[8];
    std::memcpy(bytes, &value, 8);
    out.insert(out.end(), bytes, bytes + 8);
}

MachOBuilder& MachOBuilder::uuid(const UUIDBytes& bytes) {
    commands_.push_back({27, Bytes(bytes.begin(), bytes.end()), {}});
    return *this;
}

MachOBuilder& MachOBuilder::versionMin(uint32_t cmd, uint32_t version, uint32_t sdk) {
    return command(cmd, {version, sdk});
}

MachOBuilder& MachOBuilder::segment(const std::string& name, uint64_t vmAddress, uint64_t vmSize,
                                    const std::vector<Section>& sections) {
    Command c{is64_ ? 25u : 1u, {}, sections};
    char segname[16] = {};
    std::memcpy(segname, name.data(), std::min<size_t>(name.size(), 16));
    c.body.insert(c.body.end(), segname, segname + 16);
    if (is64_) {
        put64(c.body, vmAddress);
        put64(c.body, vmSize);
        put64(c.body, 0);  // fileoff
        put64(c.body, 0);  // filesize
    } else {
        put32(c.body, static_cast<uint32_t>(vmAddress));
        put32(c.body, static_cast<uint32_t>(vmSize));
        put32(c.body, 0);
        put32(c.body, 0);
    }
    put32(c.body, 5);  // maxprot
    put32(c.body, 5);  // initprot
    put32(c.body, static_cast<uint32_t>(sections.size()));
    put32(c.body, 0);  // flags
    // Section records are written in build(), once their file offsets are known.
    commands_.push_back(std::move(c));
    return *this;
}

MachOBuilder& MachOBuilder::encryptionInfo(uint32_t cryptid) {
    return command(is64_ ? 0x2c : 0x21, is64_ ? std::vector<uint32_t>{0x4000, 0x1000, cryptid, 0}
                                              : std::vector<uint32_t>{0x4000, 0x1000, cryptid});
}

MachOBuilder& MachOBuilder::dylib(const std::string& installName) {
    Command c{0x0c, {}, {}};
    put32(c.body, 24);  // name offset: right after the fixed part
    put32(c.body, 2);   // timestamp
    put32(c.body, 0x10000);
    put32(c.body, 0x10000);
    c.body.insert(c.body.end(), installName.begin(), installName.end());
    do c.body.push_back(0); while ((c.body.size() + 8) % 8 != 0);
    commands_.push_back(std::move(c));
    return *this;
}

MachOBuilder& MachOBuilder::command(uint32_t cmd, const std::vector<uint32_t>& words) {
    Command c{cmd, {}, {}};
    for (uint32_t word : words) put32(c.body, word);
    commands_.push_back(std::move(c));
    return *this;
}

MachOBuilder& MachOBuilder::overrideCommandCount(uint32_t count) {
    overrideCount_ = true;
    commandCount_ = count;
    return *this;
}

MachOBuilder& MachOBuilder::overrideCommandBytes(uint32_t bytes) {
    overrideBytes_ = true;
    commandBytes_ = bytes;
    return *this;
}

Bytes MachOBuilder::build() const {
    const uint32_t headerSize = is64_ ? 32 : 28;
    const uint32_t sectionSize = is64_ ? 80 : 68;
    uint32_t commandBytes = 0;
    for (const Command& c : commands_)
        commandBytes += 8 + static_cast<uint32_t>(c.body.size()) + static_cast<uint32_t>(c.sections.size()) * sectionSize;

    Bytes out;
    put32(out, is64_ ? 0xfeedfacf : 0xfeedface);
    put32(out, static_cast<uint32_t>(cputype_));
    put32(out, static_cast<uint32_t>(cpusubtype_));
    put32(out, filetype_);
    put32(out, overrideCount_ ? commandCount_ : static_cast<uint32_t>(commands_.size()));
    put32(out, overrideBytes_ ? commandBytes_ : commandBytes);
    put32(out, 0);  // flags
    if (is64_) put32(out, 0);

    Bytes data;  // section contents, after the commands
    uint32_t dataStart = headerSize + commandBytes;
    for (const Command& c : commands_) {
        put32(out, c.cmd);
        put32(out, 8 + static_cast<uint32_t>(c.body.size()) + static_cast<uint32_t>(c.sections.size()) * sectionSize);
        out.insert(out.end(), c.body.begin(), c.body.end());
        for (const Section& s : c.sections) {
            char names[32] = {};
            std::memcpy(names, s.name.data(), std::min<size_t>(s.name.size(), 16));
            std::memcpy(names + 16, s.segment.data(), std::min<size_t>(s.segment.size(), 16));
            out.insert(out.end(), names, names + 32);
            uint32_t offset = dataStart + static_cast<uint32_t>(data.size());
            if (is64_) {
                put64(out, s.address);
                put64(out, s.contents.size());
            } else {
                put32(out, static_cast<uint32_t>(s.address));
                put32(out, static_cast<uint32_t>(s.contents.size()));
            }
            put32(out, offset);
            for (int i = 0; i < (is64_ ? 7 : 6); ++i) put32(out, 0);  // align .. reserved
            data.insert(data.end(), s.contents.begin(), s.contents.end());
        }
    }
    out.insert(out.end(), data.begin(), data.end());
    return out;
}

void writeBig32(Bytes& out, size_t at, uint32_t value) {
    if (out.size() < at + 4) out.resize(at + 4);
    out[at] = static_cast<uint8_t>(value >> 24);
    out[at + 1] = static_cast<uint8_t>(value >> 16);
    out[at + 2] = static_cast<uint8_t>(value >> 8);
    out[at + 3] = static_cast<uint8_t>(value);
}

void writeHost32(Bytes& out, size_t at, uint32_t value) {
    if (out.size() < at + 4) out.resize(at + 4);
    std::memcpy(out.data() + at, &value, 4);
}

Bytes makeFat(const std::vector<FatEntry>& entries) {
    const uint32_t alignment = 1u << kFatAlignmentPower;
    Bytes out;
    writeBig32(out, 0, 0xcafebabe);
    writeBig32(out, 4, static_cast<uint32_t>(entries.size()));
    size_t offset = 8 + entries.size() * 20;
    for (size_t i = 0; i < entries.size(); ++i) {
        offset = (offset + alignment - 1) / alignment * alignment;
        size_t at = 8 + i * 20;
        writeBig32(out, at, static_cast<uint32_t>(entries[i].cputype));
        writeBig32(out, at + 4, static_cast<uint32_t>(entries[i].cpusubtype));
        writeBig32(out, at + 8, static_cast<uint32_t>(offset));
        writeBig32(out, at + 12, static_cast<uint32_t>(entries[i].image.size()));
        writeBig32(out, at + 16, kFatAlignmentPower);
        offset += entries[i].image.size();
    }
    offset = 8 + entries.size() * 20;
    for (const FatEntry& entry : entries) {
        offset = (offset + alignment - 1) / alignment * alignment;
        out.resize(offset);
        out.insert(out.end(), entry.image.begin(), entry.image.end());
        offset = out.size();
    }
    return out;
}

}  // namespace beacontest
