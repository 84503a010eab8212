// Architecture names of (cputype, cpusubtype) pairs, as the Mach-O tools print them.

#include "sdk/beacon/BCNMachO.h"

namespace {

struct ArchitectureName {
    int32_t cputype;
    int32_t cpusubtype;
    const char* name;
};

constexpr int32_t kX86 = 7;
constexpr int32_t kARM = 12;
constexpr int32_t kPowerPC = 18;
constexpr int32_t kABI64_32 = 0x02000000;

// The public architecture table. Subtypes are compared without their
// capability bits (the top byte), which real executables set: x86_64 binaries
// carry 0x80000003.
constexpr ArchitectureName kNames[] = {
    {kX86, 3, "i386"},
    {kX86, 4, "i486"},
    {kX86, 0x84, "i486SX"},
    {kX86, 5, "pentium"},
    {kX86, 0x16, "pentpro"},
    {kX86, 0x36, "pentIIm3"},
    {kX86, 0x56, "pentIIm5"},
    {kX86, 0x0a, "pentium4"},
    {kX86 | kBCNMachOCPUArchABI64, 3, "x86_64"},
    {kX86 | kBCNMachOCPUArchABI64, 8, "x86_64h"},
    {kARM, 0, "arm"},
    {kARM, 5, "armv4t"},
    {kARM, 6, "armv6"},
    {kARM, 7, "armv5"},
    {kARM, 8, "xscale"},
    {kARM, 9, "armv7"},
    {kARM, 10, "armv7f"},
    {kARM, 11, "armv7s"},
    {kARM, 12, "armv7k"},
    {kARM, 13, "armv8"},
    {kARM, 14, "armv6m"},
    {kARM, 15, "armv7m"},
    {kARM, 16, "armv7em"},
    {kARM | kBCNMachOCPUArchABI64, 0, "arm64"},
    {kARM | kBCNMachOCPUArchABI64, 1, "arm64v8"},
    {kARM | kBCNMachOCPUArchABI64, 2, "arm64e"},
    {kARM | kABI64_32, 1, "arm64_32"},
    {kPowerPC, 0, "ppc"},
    {kPowerPC, 1, "ppc601"},
    {kPowerPC, 3, "ppc603"},
    {kPowerPC, 4, "ppc603e"},
    {kPowerPC, 5, "ppc603ev"},
    {kPowerPC, 6, "ppc604"},
    {kPowerPC, 7, "ppc604e"},
    {kPowerPC, 9, "ppc750"},
    {kPowerPC, 10, "ppc7400"},
    {kPowerPC, 11, "ppc7450"},
    {kPowerPC, 100, "ppc970"},
    {kPowerPC | kBCNMachOCPUArchABI64, 0, "ppc64"},
    {kPowerPC | kBCNMachOCPUArchABI64, 100, "ppc970-64"},
    {6, 1, "m68k"},
    {11, 0, "hppa"},
    {13, 0, "m88k"},
    {14, 0, "sparc"},
    {15, 0, "i860"},
};

constexpr int32_t kCapabilityMask = static_cast<int32_t>(0xff000000u);

}  // namespace

const char* BCNMachOSliceGetArchitectureName(const BCNMachOSlice* slice) {
    if (!slice) return "unknown";
    int32_t subtype = slice->cpusubtype & ~kCapabilityMask;
    for (const ArchitectureName& entry : kNames) {
        if (entry.cputype == slice->cputype && entry.cpusubtype == subtype) return entry.name;
    }
    return "unknown";
}
