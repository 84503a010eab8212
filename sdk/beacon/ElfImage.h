#pragma once
// The running program and its libraries as ELF images: the facts the kits
// take from Mach-O headers on macOS (architecture, UUID, image list, unwind
// tables) come from here on Linux. Plain functions, reentrant, any thread.
//
// Architectures are given in Mach-O numbering so the kits name them with one
// table ("x86_64", "arm64", ...). An image's UUID is the first 16 bytes of its
// GNU build-id note (zero-padded when shorter), which, like a Mach-O UUID,
// stays the same for one build and changes with every rebuild.

#include <cstdint>
#include <optional>
#include <string>
#include <vector>

namespace beacon {

struct CPUType {
    int32_t cputype = 0;
    int32_t cpusubtype = 0;
};

// The Mach-O cputype and cpusubtype of an ELF machine (EM_X86_64 ->
// x86_64 ...); zeros for a machine without one.
CPUType cpuTypeForElfMachine(uint16_t machine);
// The architecture this program was built for.
CPUType localCPUType();

struct ElfIdentity {
    uint16_t machine = 0;
    CPUType cpu;
    std::string architecture;  // "x86_64", "arm64", ...; "unknown" without a name
    std::vector<uint8_t> buildID;

    // 32 lower-case hex digits; nullopt without a build-id.
    std::optional<std::string> uuidString() const;
};

// The identity of an ELF file held whole in memory (a mapped file). Every
// offset and count is checked against size; nullopt when the bytes are not a
// whole ELF header.
std::optional<ElfIdentity> elfIdentityFromFileBytes(const void* bytes, uint64_t size);

// The identity of the running program, read from its loaded headers and notes.
std::optional<ElfIdentity> runningProgramIdentity();
// The identity of the loaded image whose ELF header is at this address, read
// from its headers and notes in memory; nullopt when no loaded image starts there.
std::optional<ElfIdentity> loadedImageIdentity(const void* header);

struct LoadedImage {
    const void* header = nullptr;  // the ELF header in memory
    std::string path;              // the file; the main program's is /proc/self/exe resolved
    bool isMainProgram = false;
};

// A function of an ELF file's symbol table. start is counted from the image's
// ELF header as the loader maps it (the file's offset-0 segment), so a loaded
// copy holds the function at its header address + start.
struct ElfFunctionSymbol {
    uint64_t start = 0;
    uint64_t size = 0;
    std::string name;  // as stored: mangled
};

// The defined functions of an ELF file held whole in memory (a mapped file),
// from ".symtab", else from ".dynsym" (a stripped file), sorted by start.
// Every offset, count and name is checked against size; nullopt when the
// bytes are no ELF file or hold no symbol table.
std::optional<std::vector<ElfFunctionSymbol>> elfFunctionSymbolsFromFileBytes(const void* bytes, uint64_t size);
// The same for a file on disk, mapped read-only while it is read.
std::optional<std::vector<ElfFunctionSymbol>> elfFunctionSymbolsFromFile(const std::string& path);
// The symbol whose range holds offset (counted as start is); null for none.
const ElfFunctionSymbol* elfFunctionSymbolContaining(const std::vector<ElfFunctionSymbol>& symbols, uint64_t offset);

// The running program as the dynamic loader lists it (its first image).
std::optional<LoadedImage> mainProgramImage();
// The loaded image whose ELF header is at this address; nullopt when none is.
std::optional<LoadedImage> loadedImageWithHeader(const void* header);
// The start of a loaded image's .eh_frame, found through its PT_GNU_EH_FRAME
// header; null when the address is no loaded image or it has none.
const void* loadedImageEhFrame(const void* header);

}  // namespace beacon
