#pragma once
// Builds Mach-O bytes for tests: thin 32- and 64-bit images in either byte
// order with the load commands the kits read, and fat files around them.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

namespace beacontest {

using Bytes = std::vector<uint8_t>;
using UUIDBytes = std::array<uint8_t, 16>;

class MachOBuilder {
public:
    struct Section {
        std::string segment;
        std::string name;
        uint64_t address = 0;
        Bytes contents;  // placed after the commands; its offset is filled in
    };

    // swapped: the image's byte order is the opposite of the host's.
    MachOBuilder(bool is64, bool swapped, int32_t cputype, int32_t cpusubtype, uint32_t filetype = 2);

    MachOBuilder& uuid(const UUIDBytes& bytes);
    MachOBuilder& versionMin(uint32_t cmd, uint32_t version, uint32_t sdk);
    MachOBuilder& segment(const std::string& name, uint64_t vmAddress, uint64_t vmSize,
                          const std::vector<Section>& sections);
    MachOBuilder& encryptionInfo(uint32_t cryptid);
    MachOBuilder& dylib(const std::string& installName);
    // Any command: its words are given in host order and written in the image's.
    MachOBuilder& command(uint32_t cmd, const std::vector<uint32_t>& words);

    // Replace header fields after the commands are laid out.
    MachOBuilder& overrideCommandCount(uint32_t count);
    MachOBuilder& overrideCommandBytes(uint32_t bytes);

    Bytes build() const;

private:
    struct Command {
        uint32_t cmd;
        Bytes body;  // after cmd and cmdsize, already in the image's byte order
        std::vector<Section> sections;
    };
    void put32(Bytes& out, uint32_t value) const;
    void put64(Bytes& out, uint64_t value) const;

    bool is64_;
    bool swapped_;
    int32_t cputype_;
    int32_t cpusubtype_;
    uint32_t filetype_;
    std::vector<Command> commands_;
    bool overrideCount_ = false;
    uint32_t commandCount_ = 0;
    bool overrideBytes_ = false;
    uint32_t commandBytes_ = 0;
};

struct FatEntry {
    int32_t cputype;
    int32_t cpusubtype;
    Bytes image;
};

// A fat file: big-endian header and entries, each image aligned to 16 bytes.
Bytes makeFat(const std::vector<FatEntry>& entries);

void writeBig32(Bytes& out, size_t at, uint32_t value);
void writeHost32(Bytes& out, size_t at, uint32_t value);

}  // namespace beacontest
