#pragma once
// Turns recorded addresses into function names at a later launch. The images
// of the report ("load" sections of "binary_images.bbxrecord") are matched by
// UUID with the images loaded in this process; an address is moved from the
// recorded image's base to where that image lies now, and named by the
// dynamic loader, or, where the loader names nothing (the executable's
// functions, static functions), by the image file's own symbol table, read
// once per image for the life of the resolver. One thread at a time.

#include <cstdint>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "sdk/beacon/ElfImage.h"
#include "sdk/blackbox/BBXBinaryImage.h"
#include "sdk/blackbox/BBXStackFrame.h"

class BBXSymbolResolver {
public:
    BBXSymbolResolver() = default;

    // The "load" objects with a "base" and a "size", sorted by base; unloads
    // are not applied. False for an empty path or a file without sections.
    bool loadBinaryImagesFromFile(const std::string& path);
    const std::vector<foundation::PlistValue>& binaryImages() const { return binaryImages_; }
    // The first recorded image that holds address; null for none.
    const foundation::PlistValue* loadedBinaryImageForPC(uint64_t address) const;
    // The image loaded now with this UUID.
    bool fillInImageDetails(BBXBinaryImageDetails* details, const std::optional<std::string>& uuid) const;
    // A frame for address when it resolves, else null.
    std::shared_ptr<BBXStackFrame> frameForAddress(uint64_t address);
    // Names the frame's function: symbol, offset into it, library (the last
    // component of the recorded image path). A return address at the very
    // start of a function is named as the function before it (looked up 2
    // bytes lower), whose call it returns from. False when the address lies in
    // no recorded image, or that image is not loaded now.
    bool updateStackFrame(BBXStackFrame& frame);

private:
    struct Symbol {
        std::string name;
        uintptr_t start = 0;
    };
    std::optional<Symbol> symbolContaining(uintptr_t address, const BBXBinaryImageDetails& image);
    const std::vector<beacon::ElfFunctionSymbol>* symbolTable(uintptr_t header);

    std::vector<foundation::PlistValue> binaryImages_;
    std::map<uintptr_t, std::optional<std::vector<beacon::ElfFunctionSymbol>>> symbolTables_;
};
