#include "sdk/blackbox/BBXSymbolResolver.h"

#include <dlfcn.h>

#include <algorithm>
#include <filesystem>

#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/blackbox/BBXFile.h"

namespace {

std::optional<uint64_t> number(const foundation::PlistValue* value) {
    if (!value) return std::nullopt;
    if (auto integer = value->asInteger()) return static_cast<uint64_t>(*integer);
    if (auto real = value->asReal()) return static_cast<uint64_t>(*real);
    return std::nullopt;
}

}  // namespace

bool BBXSymbolResolver::loadBinaryImagesFromFile(const std::string& path) {
    if (path.empty()) return false;
    auto sections = BBXFileReadSections(path.c_str(), false);
    if (!sections || sections->empty()) {
        foundation::systemLog(
            foundation::format("[Blackbox:Crash:SymbolResolver] failed to read binary image file %@", path));
        return false;
    }
    binaryImages_.clear();
    for (const auto& section : *sections) {
        const foundation::PlistValue* load = section.get("load");
        if (!load || !load->asDictionary()) continue;
        if (!number(load->get("base")) || !number(load->get("size"))) continue;
        binaryImages_.push_back(*load);
    }
    std::stable_sort(binaryImages_.begin(), binaryImages_.end(),
                     [](const foundation::PlistValue& a, const foundation::PlistValue& b) {
                         return *number(a.get("base")) < *number(b.get("base"));
                     });
    return true;
}

const foundation::PlistValue* BBXSymbolResolver::loadedBinaryImageForPC(uint64_t address) const {
    for (const auto& image : binaryImages_) {
        uint64_t base = *number(image.get("base"));
        uint64_t size = *number(image.get("size"));
        if (base <= address && address - base < size) return &image;
    }
    return nullptr;
}

bool BBXSymbolResolver::fillInImageDetails(BBXBinaryImageDetails* details,
                                           const std::optional<std::string>& uuid) const {
    if (!details || !uuid) return false;
    return BBXBinaryImageFindImageForUUID(uuid->c_str(), details);
}

std::shared_ptr<BBXStackFrame> BBXSymbolResolver::frameForAddress(uint64_t address) {
    auto frame = BBXStackFrame::stackFrameWithAddress(address);
    return updateStackFrame(*frame) ? frame : nullptr;
}

bool BBXSymbolResolver::updateStackFrame(BBXStackFrame& frame) {
    uint64_t address = frame.address();
    if (address == 0) return false;
    const foundation::PlistValue* recorded = loadedBinaryImageForPC(address);
    if (!recorded) return false;
    const foundation::PlistValue* uuid = recorded->get("uuid");
    BBXBinaryImageDetails image;
    if (!uuid || !uuid->asString() || !fillInImageDetails(&image, *uuid->asString())) return false;

    uintptr_t here = image.node.base + (address - *number(recorded->get("base")));
    std::optional<Symbol> symbol = symbolContaining(here, image);
    // A return address at a function's first byte returns from a call that
    // ended the function before it.
    if (symbol && symbol->start == here) symbol = symbolContaining(here - 2, image);
    if (symbol) {
        frame.setSymbol(symbol->name);
        if (here > symbol->start) frame.setOffset(here - symbol->start);
    }
    const foundation::PlistValue* path = recorded->get("path");
    if (path && path->asString()) frame.setLibrary(std::filesystem::path(*path->asString()).filename().string());
    return true;
}

std::optional<BBXSymbolResolver::Symbol> BBXSymbolResolver::symbolContaining(uintptr_t address,
                                                                             const BBXBinaryImageDetails& image) {
    Dl_info info{};
    if (dladdr(reinterpret_cast<const void*>(address), &info) != 0 && info.dli_sname && info.dli_saddr)
        return Symbol{info.dli_sname, reinterpret_cast<uintptr_t>(info.dli_saddr)};
    const auto* table = symbolTable(image.node.base);
    if (!table || address < image.node.base) return std::nullopt;
    const beacon::ElfFunctionSymbol* found = beacon::elfFunctionSymbolContaining(*table, address - image.node.base);
    if (!found) return std::nullopt;
    return Symbol{found->name, static_cast<uintptr_t>(image.node.base + found->start)};
}

const std::vector<beacon::ElfFunctionSymbol>* BBXSymbolResolver::symbolTable(uintptr_t header) {
    auto cached = symbolTables_.find(header);
    if (cached == symbolTables_.end()) {
        std::optional<std::vector<beacon::ElfFunctionSymbol>> symbols;
        if (auto loaded = beacon::loadedImageWithHeader(reinterpret_cast<const void*>(header)))
            symbols = beacon::elfFunctionSymbolsFromFile(loaded->path);
        cached = symbolTables_.emplace(header, std::move(symbols)).first;
    }
    return cached->second ? &*cached->second : nullptr;
}
