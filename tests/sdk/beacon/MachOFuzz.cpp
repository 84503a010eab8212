#include "tests/sdk/beacon/MachOFuzz.h"

#include "sdk/beacon/BCNMachO.h"
#include "sdk/beacon/ElfImage.h"

namespace beacontest {

void exerciseReaders(const uint8_t* data, size_t size) {
    volatile size_t sink = 0;
    BCNMachOEnumerateSlices(data, size, [&](BCNMachOSlice slice) {
        sink = sink + *BCNMachOSliceGetArchitectureName(&slice);
        BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t cmd, uint32_t, const void* command) {
            switch (cmd) {
                case 27: sink = sink + BCNMachOUUIDString(BCNMachOUUIDCommandGetUUID(command))->size(); break;
                case 36: case 37: {
                    BCNMachOVersion version = BCNMachOVersionMinCommandGetMinimumVersion(command);
                    BCNMachOVersion sdk = BCNMachOVersionMinCommandGetSDKVersion(command);
                    sink = sink + version.major + sdk.minor;
                    break;
                }
                case 0x21: case 0x2c: sink = sink + BCNMachOEncryptionCommandIsEncrypted(command); break;
                case 0x0c: case 0x0d:
                    if (const char* name = BCNMachODylibCommandGetName(command)) sink = sink + name[0];
                    break;
                default: sink = sink + BCNMachOSegmentCommandGetInfo(command).vmSize; break;
            }
        });
        BCNMachOSection section;
        if (BCNMachOSliceGetSectionInfo(&slice, "__TEXT", "__eh_frame", &section)) sink = sink + section.size;
        const void* bytes = nullptr;
        if (BCNMachOSliceGetSectionData(&slice, "__TEXT", "__text", &bytes) &&
            BCNMachOSliceGetSectionInfo(&slice, "__TEXT", "__text", &section) && section.size > 0)
            sink = sink + static_cast<const uint8_t*>(bytes)[section.size - 1];
    });
    if (auto identity = beacon::elfIdentityFromFileBytes(data, size)) sink = sink + identity->buildID.size();
    (void)sink;
}

}  // namespace beacontest
