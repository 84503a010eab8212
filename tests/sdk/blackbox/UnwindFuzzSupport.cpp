// What the unwinder's readers need of the rest of the capture core, for the
// libFuzzer target alone: the checked read itself, a silent log and an empty
// image table, so the target builds from the readers and platform/crash only.
#include <cstddef>
#include <cstdint>

#include "platform/crash/MemoryReader.h"
#include "sdk/blackbox/BBXBinaryImage.h"
#include "sdk/blackbox/BBXUtilities.h"

bool BBXReadMemory(const void* source, void* destination, size_t length) {
    if (reinterpret_cast<uintptr_t>(source) < 4096) return false;
    return crash::readMemory(source, destination, length);
}

void BBXSDKLog(const char*, ...) {}

bool BBXBinaryImageSafeFindImageForAddress(uintptr_t, BBXBinaryImageNode*) { return false; }

bool BBXBinaryImageHasUnwindInfo(const BBXBinaryImageNode* node) { return node && node->unwindInfo != 0; }
