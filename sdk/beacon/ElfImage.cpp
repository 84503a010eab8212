#include "sdk/beacon/ElfImage.h"

#include <elf.h>
#include <fcntl.h>
#include <link.h>
#include <sys/mman.h>
#include <sys/stat.h>
#include <unistd.h>

#include <algorithm>
#include <climits>
#include <cstring>

#include "sdk/beacon/BCNMachO.h"
#include "sdk/beacon/BCNMachOBytes.h"
#include "sdk/beacon/BCNUUID.h"

namespace beacon {

namespace {

using macho::fits;

constexpr size_t kUUIDLength = 16;
constexpr char kGNUNoteName[] = "GNU";  // with its NUL, 4 bytes

uint16_t load16(const uint8_t* p, bool swapped) {
    uint16_t value;
    std::memcpy(&value, p, sizeof value);
    return swapped ? __builtin_bswap16(value) : value;
}

uint64_t alignUp(uint64_t value, uint64_t alignment) {
    return (value + alignment - 1) / alignment * alignment;
}

// Finds the GNU build-id among the notes of one note segment. Notes are
// padded to the segment's alignment (4, or 8 for some 64-bit segments).
std::optional<std::vector<uint8_t>> findBuildID(const uint8_t* notes, uint64_t size, uint64_t alignment,
                                                bool swapped) {
    if (alignment != 8) alignment = 4;
    uint64_t offset = 0;
    while (fits(offset, 12, size)) {
        uint32_t nameSize = macho::load32(notes + offset, swapped);
        uint32_t descSize = macho::load32(notes + offset + 4, swapped);
        uint32_t type = macho::load32(notes + offset + 8, swapped);
        uint64_t nameStart = offset + 12;
        uint64_t descStart = nameStart + alignUp(nameSize, alignment);
        if (!fits(nameStart, nameSize, size) || !fits(descStart, descSize, size)) return std::nullopt;
        if (type == NT_GNU_BUILD_ID && nameSize == sizeof kGNUNoteName &&
            std::memcmp(notes + nameStart, kGNUNoteName, sizeof kGNUNoteName) == 0 && descSize > 0) {
            return std::vector<uint8_t>(notes + descStart, notes + descStart + descSize);
        }
        offset = descStart + alignUp(descSize, alignment);
    }
    return std::nullopt;
}

ElfIdentity identityFor(uint16_t machine) {
    ElfIdentity identity;
    identity.machine = machine;
    identity.cpu = cpuTypeForElfMachine(machine);
    BCNMachOSlice slice{nullptr, identity.cpu.cputype, identity.cpu.cpusubtype};
    identity.architecture = BCNMachOSliceGetArchitectureName(&slice);
    return identity;
}

// The loader's view of one image: where it sits and its program headers.
struct ImageRecord {
    const ElfW(Ehdr)* header = nullptr;
    ElfW(Addr) bias = 0;
    const ElfW(Phdr)* programHeaders = nullptr;
    ElfW(Half) programHeaderCount = 0;
    const char* name = nullptr;
    bool isMainProgram = false;
};

// The ELF header sits at the start of the segment mapped from file offset 0.
const ElfW(Ehdr)* headerOf(const dl_phdr_info* info) {
    for (ElfW(Half) i = 0; i < info->dlpi_phnum; ++i) {
        const ElfW(Phdr)& segment = info->dlpi_phdr[i];
        if (segment.p_type == PT_LOAD && segment.p_offset == 0)
            return reinterpret_cast<const ElfW(Ehdr)*>(info->dlpi_addr + segment.p_vaddr);
    }
    return nullptr;
}

// Calls visit for each loaded image, the main program first, until it
// returns true. Returns whether it did.
template <class Visit>
bool forEachImage(Visit&& visit) {
    struct State {
        Visit* visit;
        bool first = true;
    } state{&visit};
    int stopped = dl_iterate_phdr(
        [](dl_phdr_info* info, size_t, void* data) -> int {
            auto* state = static_cast<State*>(data);
            ImageRecord record{headerOf(info), info->dlpi_addr, info->dlpi_phdr, info->dlpi_phnum, info->dlpi_name,
                               state->first};
            state->first = false;
            return (*state->visit)(record) ? 1 : 0;
        },
        &state);
    return stopped != 0;
}

std::optional<ImageRecord> imageRecord(const void* header, bool mainProgram) {
    std::optional<ImageRecord> found;
    forEachImage([&](const ImageRecord& record) {
        if (mainProgram ? record.isMainProgram : (record.header && record.header == header)) {
            found = record;
            return true;
        }
        return false;
    });
    return found;
}

std::string mainProgramPath() {
    char path[PATH_MAX];
    ssize_t length = ::readlink("/proc/self/exe", path, sizeof path - 1);
    if (length <= 0) return {};
    return std::string(path, static_cast<size_t>(length));
}

LoadedImage loadedImage(const ImageRecord& record) {
    LoadedImage image;
    image.header = record.header;
    image.isMainProgram = record.isMainProgram;
    image.path = record.isMainProgram ? mainProgramPath() : std::string(record.name ? record.name : "");
    return image;
}

// Reads one pointer of the eh_frame_hdr encoding; only the forms linkers
// write (absolute, or relative to the field or to the header).
std::optional<uintptr_t> readEncodedPointer(const uint8_t* field, uint8_t encoding, const uint8_t* sectionStart) {
    uintptr_t value = 0;
    switch (encoding & 0x0f) {
        case 0x00: { uintptr_t v; std::memcpy(&v, field, sizeof v); value = v; break; }
        case 0x03: { uint32_t v; std::memcpy(&v, field, sizeof v); value = v; break; }
        case 0x0b: { int32_t v; std::memcpy(&v, field, sizeof v); value = static_cast<uintptr_t>(intptr_t(v)); break; }
        case 0x04: { uint64_t v; std::memcpy(&v, field, sizeof v); value = static_cast<uintptr_t>(v); break; }
        case 0x0c: { int64_t v; std::memcpy(&v, field, sizeof v); value = static_cast<uintptr_t>(v); break; }
        default: return std::nullopt;
    }
    switch (encoding & 0x70) {
        case 0x00: return value;
        case 0x10: return reinterpret_cast<uintptr_t>(field) + value;
        case 0x30: return reinterpret_cast<uintptr_t>(sectionStart) + value;
        default: return std::nullopt;
    }
}

}  // namespace

CPUType cpuTypeForElfMachine(uint16_t machine) {
    switch (machine) {
        case EM_X86_64: return {0x01000007, 3};
        case EM_386: return {7, 3};
        case EM_AARCH64: return {0x0100000c, 0};
        case EM_ARM: return {12, 9};
        case EM_PPC: return {18, 0};
        case EM_PPC64: return {0x01000012, 0};
        default: return {};
    }
}

CPUType localCPUType() {
#if defined(__x86_64__)
    return cpuTypeForElfMachine(EM_X86_64);
#elif defined(__aarch64__)
    return cpuTypeForElfMachine(EM_AARCH64);
#elif defined(__i386__)
    return cpuTypeForElfMachine(EM_386);
#elif defined(__arm__)
    return cpuTypeForElfMachine(EM_ARM);
#else
    return {};
#endif
}

std::optional<std::string> ElfIdentity::uuidString() const {
    if (buildID.empty()) return std::nullopt;
    uint8_t uuid[kUUIDLength] = {};
    std::memcpy(uuid, buildID.data(), std::min(buildID.size(), kUUIDLength));
    return BCNUUIDHexStringFromBytes(uuid);
}

std::optional<ElfIdentity> elfIdentityFromFileBytes(const void* bytes, uint64_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    if (!p || size < EI_NIDENT || std::memcmp(p, ELFMAG, SELFMAG) != 0) return std::nullopt;
    const bool is64 = p[EI_CLASS] == ELFCLASS64;
    if (!is64 && p[EI_CLASS] != ELFCLASS32) return std::nullopt;
    if (p[EI_DATA] != ELFDATA2LSB && p[EI_DATA] != ELFDATA2MSB) return std::nullopt;
    const bool swapped = (p[EI_DATA] == ELFDATA2LSB) != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    if (size < (is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr))) return std::nullopt;

    ElfIdentity identity = identityFor(load16(p + 18, swapped));
    const uint64_t tableOffset = is64 ? macho::load64(p + 32, swapped) : macho::load32(p + 28, swapped);
    const uint16_t entrySize = load16(p + (is64 ? 54 : 42), swapped);
    const uint16_t entryCount = load16(p + (is64 ? 56 : 44), swapped);
    const uint64_t minimumEntry = is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    if (entryCount == 0 || entrySize < minimumEntry || !fits(tableOffset, uint64_t(entrySize) * entryCount, size))
        return identity;

    for (uint16_t i = 0; i < entryCount; ++i) {
        const uint8_t* entry = p + tableOffset + uint64_t(i) * entrySize;
        if (macho::load32(entry, swapped) != PT_NOTE) continue;
        uint64_t offset = is64 ? macho::load64(entry + 8, swapped) : macho::load32(entry + 4, swapped);
        uint64_t length = is64 ? macho::load64(entry + 32, swapped) : macho::load32(entry + 16, swapped);
        uint64_t alignment = is64 ? macho::load64(entry + 48, swapped) : macho::load32(entry + 28, swapped);
        if (!fits(offset, length, size)) continue;
        if (auto buildID = findBuildID(p + offset, length, alignment, swapped)) {
            identity.buildID = std::move(*buildID);
            break;
        }
    }
    return identity;
}

namespace {

// The identity of a loaded image from its headers and notes in memory.
std::optional<ElfIdentity> loadedIdentity(const std::optional<ImageRecord>& record) {
    if (!record || !record->header) return std::nullopt;
    ElfIdentity identity = identityFor(record->header->e_machine);
    for (ElfW(Half) i = 0; i < record->programHeaderCount; ++i) {
        const ElfW(Phdr)& segment = record->programHeaders[i];
        if (segment.p_type != PT_NOTE) continue;
        const auto* notes = reinterpret_cast<const uint8_t*>(record->bias + segment.p_vaddr);
        if (auto buildID = findBuildID(notes, segment.p_memsz, segment.p_align, false)) {
            identity.buildID = std::move(*buildID);
            break;
        }
    }
    return identity;
}

}  // namespace

std::optional<ElfIdentity> runningProgramIdentity() { return loadedIdentity(imageRecord(nullptr, true)); }

std::optional<ElfIdentity> loadedImageIdentity(const void* header) {
    if (!header) return std::nullopt;
    return loadedIdentity(imageRecord(header, false));
}

std::optional<LoadedImage> mainProgramImage() {
    std::optional<ImageRecord> record = imageRecord(nullptr, true);
    if (!record || !record->header) return std::nullopt;
    return loadedImage(*record);
}

std::optional<LoadedImage> loadedImageWithHeader(const void* header) {
    if (!header) return std::nullopt;
    std::optional<ImageRecord> record = imageRecord(header, false);
    if (!record) return std::nullopt;
    return loadedImage(*record);
}

const void* loadedImageEhFrame(const void* header) {
    if (!header) return nullptr;
    std::optional<ImageRecord> record = imageRecord(header, false);
    if (!record) return nullptr;
    for (ElfW(Half) i = 0; i < record->programHeaderCount; ++i) {
        const ElfW(Phdr)& segment = record->programHeaders[i];
        if (segment.p_type != PT_GNU_EH_FRAME || segment.p_memsz < 4 + sizeof(uintptr_t)) continue;
        const auto* table = reinterpret_cast<const uint8_t*>(record->bias + segment.p_vaddr);
        // version 1, then the encoding of the pointer to .eh_frame that follows.
        if (table[0] != 1 || table[1] == 0xff) return nullptr;
        std::optional<uintptr_t> frames = readEncodedPointer(table + 4, table[1], table);
        return frames ? reinterpret_cast<const void*>(*frames) : nullptr;
    }
    return nullptr;
}

namespace {

// The fields of the ELF headers this reader needs, in either class and byte order.
struct ElfLayout {
    bool is64 = false;
    bool swapped = false;
    uint64_t word(const uint8_t* p) const { return is64 ? macho::load64(p, swapped) : macho::load32(p, swapped); }
};

struct SectionHeader {
    uint32_t type = 0;
    uint64_t offset = 0;
    uint64_t size = 0;
    uint32_t link = 0;
    uint64_t entrySize = 0;
};

SectionHeader sectionAt(const ElfLayout& layout, const uint8_t* entry) {
    SectionHeader section;
    section.type = macho::load32(entry + 4, layout.swapped);
    if (layout.is64) {
        section.offset = macho::load64(entry + 24, layout.swapped);
        section.size = macho::load64(entry + 32, layout.swapped);
        section.link = macho::load32(entry + 40, layout.swapped);
        section.entrySize = macho::load64(entry + 56, layout.swapped);
    } else {
        section.offset = macho::load32(entry + 16, layout.swapped);
        section.size = macho::load32(entry + 20, layout.swapped);
        section.link = macho::load32(entry + 24, layout.swapped);
        section.entrySize = macho::load32(entry + 36, layout.swapped);
    }
    return section;
}

// The virtual address the ELF header is mapped at: the offset-0 load segment's.
std::optional<uint64_t> headerAddress(const ElfLayout& layout, const uint8_t* p, uint64_t size) {
    const uint64_t tableOffset = layout.word(p + (layout.is64 ? 32 : 28));
    const uint16_t entrySize = load16(p + (layout.is64 ? 54 : 42), layout.swapped);
    const uint16_t entryCount = load16(p + (layout.is64 ? 56 : 44), layout.swapped);
    const uint64_t minimumEntry = layout.is64 ? sizeof(Elf64_Phdr) : sizeof(Elf32_Phdr);
    if (entrySize < minimumEntry || !fits(tableOffset, uint64_t(entrySize) * entryCount, size)) return std::nullopt;
    for (uint16_t i = 0; i < entryCount; ++i) {
        const uint8_t* entry = p + tableOffset + uint64_t(i) * entrySize;
        if (macho::load32(entry, layout.swapped) != PT_LOAD) continue;
        uint64_t offset = layout.is64 ? macho::load64(entry + 8, layout.swapped) : macho::load32(entry + 4, layout.swapped);
        uint64_t address = layout.is64 ? macho::load64(entry + 16, layout.swapped) : macho::load32(entry + 8, layout.swapped);
        if (offset == 0) return address;
    }
    return std::nullopt;
}

}  // namespace

std::optional<std::vector<ElfFunctionSymbol>> elfFunctionSymbolsFromFileBytes(const void* bytes, uint64_t size) {
    const auto* p = static_cast<const uint8_t*>(bytes);
    if (!p || size < EI_NIDENT || std::memcmp(p, ELFMAG, SELFMAG) != 0) return std::nullopt;
    ElfLayout layout;
    layout.is64 = p[EI_CLASS] == ELFCLASS64;
    if (!layout.is64 && p[EI_CLASS] != ELFCLASS32) return std::nullopt;
    if (p[EI_DATA] != ELFDATA2LSB && p[EI_DATA] != ELFDATA2MSB) return std::nullopt;
    layout.swapped = (p[EI_DATA] == ELFDATA2LSB) != (__BYTE_ORDER__ == __ORDER_LITTLE_ENDIAN__);
    if (size < (layout.is64 ? sizeof(Elf64_Ehdr) : sizeof(Elf32_Ehdr))) return std::nullopt;
    std::optional<uint64_t> base = headerAddress(layout, p, size);
    if (!base) return std::nullopt;

    const uint64_t tableOffset = layout.word(p + (layout.is64 ? 40 : 32));
    const uint16_t entrySize = load16(p + (layout.is64 ? 58 : 46), layout.swapped);
    const uint16_t entryCount = load16(p + (layout.is64 ? 60 : 48), layout.swapped);
    const uint64_t minimumEntry = layout.is64 ? sizeof(Elf64_Shdr) : sizeof(Elf32_Shdr);
    if (entrySize < minimumEntry || !fits(tableOffset, uint64_t(entrySize) * entryCount, size)) return std::nullopt;
    auto section = [&](uint32_t index) { return sectionAt(layout, p + tableOffset + uint64_t(index) * entrySize); };

    std::optional<SectionHeader> table;
    for (uint32_t wanted : {uint32_t(SHT_SYMTAB), uint32_t(SHT_DYNSYM)}) {
        for (uint16_t i = 0; i < entryCount && !table; ++i)
            if (section(i).type == wanted) table = section(i);
        if (table) break;
    }
    const uint64_t symbolSize = layout.is64 ? sizeof(Elf64_Sym) : sizeof(Elf32_Sym);
    if (!table || table->link >= entryCount || table->entrySize < symbolSize || !fits(table->offset, table->size, size))
        return std::nullopt;
    SectionHeader names = section(table->link);
    if (names.type != SHT_STRTAB || !fits(names.offset, names.size, size)) return std::nullopt;

    std::vector<ElfFunctionSymbol> symbols;
    const uint8_t* strings = p + names.offset;
    for (uint64_t at = 0; at + symbolSize <= table->size; at += table->entrySize) {
        const uint8_t* entry = p + table->offset + at;
        uint32_t nameOffset = macho::load32(entry, layout.swapped);
        uint8_t info = layout.is64 ? entry[4] : entry[12];
        uint16_t sectionIndex = load16(entry + (layout.is64 ? 6 : 14), layout.swapped);
        uint64_t value = layout.is64 ? macho::load64(entry + 8, layout.swapped) : macho::load32(entry + 4, layout.swapped);
        uint64_t length = layout.is64 ? macho::load64(entry + 16, layout.swapped) : macho::load32(entry + 8, layout.swapped);
        uint8_t type = info & 0xf;
        if ((type != STT_FUNC && type != STT_GNU_IFUNC) || sectionIndex == SHN_UNDEF || value < *base) continue;
        if (nameOffset >= names.size) continue;
        const auto* name = reinterpret_cast<const char*>(strings + nameOffset);
        size_t nameLength = strnlen(name, names.size - nameOffset);
        if (nameLength == 0 || nameOffset + nameLength >= names.size) continue;
        symbols.push_back(ElfFunctionSymbol{value - *base, length, std::string(name, nameLength)});
    }
    std::stable_sort(symbols.begin(), symbols.end(),
                     [](const ElfFunctionSymbol& a, const ElfFunctionSymbol& b) { return a.start < b.start; });
    return symbols;
}

std::optional<std::vector<ElfFunctionSymbol>> elfFunctionSymbolsFromFile(const std::string& path) {
    int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    if (fd < 0) return std::nullopt;
    struct stat status {};
    if (::fstat(fd, &status) != 0 || !S_ISREG(status.st_mode) || status.st_size <= 0) {
        ::close(fd);
        return std::nullopt;
    }
    auto size = static_cast<uint64_t>(status.st_size);
    void* mapped = ::mmap(nullptr, size, PROT_READ, MAP_PRIVATE, fd, 0);
    ::close(fd);
    if (mapped == MAP_FAILED) return std::nullopt;
    auto symbols = elfFunctionSymbolsFromFileBytes(mapped, size);
    ::munmap(mapped, size);
    return symbols;
}

const ElfFunctionSymbol* elfFunctionSymbolContaining(const std::vector<ElfFunctionSymbol>& symbols, uint64_t offset) {
    // The last symbol starting at or before offset, and the ones before it
    // that start at the same place (aliases of one function).
    auto after = std::upper_bound(symbols.begin(), symbols.end(), offset,
                                  [](uint64_t value, const ElfFunctionSymbol& symbol) { return value < symbol.start; });
    const ElfFunctionSymbol* found = nullptr;
    for (auto it = after; it != symbols.begin();) {
        --it;
        if (offset < it->start + it->size) {
            found = &*it;
            break;
        }
        // A symbol further back may still hold offset when symbols nest; stop
        // once no earlier one could (sizes are bounded by the next start in
        // practice, so a few steps suffice).
        if (after - it > 16) break;
    }
    return found;
}

}  // namespace beacon
