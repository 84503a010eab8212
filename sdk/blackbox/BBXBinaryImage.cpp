#include "sdk/blackbox/BBXBinaryImage.h"

#include <elf.h>
#include <link.h>

#include <cstring>

#include "sdk/beacon/ElfImage.h"
#include "sdk/blackbox/BBXFile.h"

namespace {

// Base, size and the eh_frame_hdr of an image from its program headers, which
// lie in its first segment right after the ELF header.
bool layoutOf(const ElfW(Ehdr)* header, BBXBinaryImageNode* node, intptr_t* slide) {
    if (std::memcmp(header->e_ident, ELFMAG, SELFMAG) != 0 || header->e_phentsize != sizeof(ElfW(Phdr)))
        return false;
    auto* programHeaders = reinterpret_cast<const ElfW(Phdr)*>(reinterpret_cast<const uint8_t*>(header) + header->e_phoff);
    const ElfW(Phdr)* first = nullptr;
    for (ElfW(Half) i = 0; i < header->e_phnum; ++i)
        if (programHeaders[i].p_type == PT_LOAD && programHeaders[i].p_offset == 0) first = &programHeaders[i];
    if (!first) return false;
    uintptr_t bias = reinterpret_cast<uintptr_t>(header) - first->p_vaddr;
    uintptr_t low = UINTPTR_MAX;
    uintptr_t high = 0;
    for (ElfW(Half) i = 0; i < header->e_phnum; ++i) {
        const ElfW(Phdr)& segment = programHeaders[i];
        if (segment.p_type == PT_GNU_EH_FRAME) node->ehFrameHdr = bias + segment.p_vaddr;
        if (segment.p_type != PT_LOAD || (segment.p_flags & PF_W)) continue;
        low = std::min<uintptr_t>(low, segment.p_vaddr);
        high = std::max<uintptr_t>(high, segment.p_vaddr + segment.p_memsz);
    }
    node->base = reinterpret_cast<uintptr_t>(header);
    node->size = high > low ? high - low : 0;
    *slide = static_cast<intptr_t>(bias);
    return true;
}

}  // namespace

bool BBXBinaryImageDetailsForHeader(const void* header, BBXBinaryImageDetails* details) {
    if (!header || !details) return false;
    auto image = beacon::loadedImageWithHeader(header);
    if (!image) return false;
    *details = BBXBinaryImageDetails{};
    if (!layoutOf(static_cast<const ElfW(Ehdr)*>(header), &details->node, &details->slide)) return false;
    details->node.ehFrame = reinterpret_cast<uintptr_t>(beacon::loadedImageEhFrame(header));
    auto identity = beacon::loadedImageIdentity(header);
    if (identity) {
        details->uuid = identity->uuidString();
        details->architecture = identity->architecture;
    }
    return true;
}

bool BBXBinaryImageRecordExecutable(BBXFile* file) {
    if (!BBXFileIsOpen(file)) return false;
    auto program = beacon::mainProgramImage();
    BBXBinaryImageDetails details;
    if (!program || !BBXBinaryImageDetailsForHeader(program->header, &details)) return false;
    BBXFileOpenSection(file, "executable");
    BBXFileBeginObject(file);
    BBXFileWriteNSStringEntry(file, "architecture", details.architecture);
    BBXFileWriteNSStringEntry(file, "uuid", details.uuid);
    BBXFileWriteUnsignedEntry(file, "base", details.node.base);
    BBXFileWriteUnsignedEntry(file, "size", details.node.size);
    BBXFileWriteBoolEntry(file, "encrypted", details.encrypted);
    BBXFileWriteNSStringEntry(file, "minimum_sdk_version", details.minimumSDKVersion);
    BBXFileWriteNSStringEntry(file, "built_sdk_version", details.builtSDKVersion);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
    return true;
}
