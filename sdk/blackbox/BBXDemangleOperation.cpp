#include "sdk/blackbox/BBXDemangleOperation.h"

#include <cxxabi.h>

#include <cstdlib>
#include <cstring>

std::optional<std::string> BBXDemangleOperation::demangleSymbol(const char* symbol) {
    if (!symbol) return std::nullopt;
    if (std::strncmp(symbol, "_Z", 2) == 0) return demangleCppSymbol(symbol);
    if (std::strncmp(symbol, "__Z", 3) == 0) return demangleBlockInvokeCppSymbol(symbol);
    if (std::strncmp(symbol, "_T", 2) == 0) return demangleSwiftSymbol(symbol);
    return std::nullopt;
}

std::optional<std::string> BBXDemangleOperation::demangleCppSymbol(const char* symbol) {
    if (!symbol) return std::nullopt;
    int status = 0;
    char* demangled = abi::__cxa_demangle(symbol, nullptr, nullptr, &status);
    if (status != 0 || !demangled) {
        std::free(demangled);
        return std::nullopt;
    }
    std::string result(demangled);
    std::free(demangled);
    return result;
}

std::optional<std::string> BBXDemangleOperation::demangleBlockInvokeCppSymbol(const char* symbol) {
    if (!symbol) return std::nullopt;
    static const char kBlockInvoke[] = "_block_invoke";
    std::string text(symbol);
    size_t suffix = text.rfind(kBlockInvoke);
    if (suffix == std::string::npos || suffix < 5) return std::nullopt;
    // The name between the first underscore and the suffix is a mangled C++
    // name with its leading underscore.
    std::optional<std::string> function = demangleCppSymbol(text.substr(1, suffix - 1).c_str());
    if (!function) return std::nullopt;
    return *function + text.substr(suffix);
}

std::optional<std::string> BBXDemangleOperation::demangleSwiftSymbol(const char*) {
    // No Swift runtime here to ask.
    return std::nullopt;
}

void BBXDemangleOperation::main() {
    enumerateFramesWithBlock([](BBXStackFrame& frame) {
        if (!frame.symbol()) return;
        if (auto demangled = demangleSymbol(frame.symbol()->c_str())) frame.setSymbol(std::move(demangled));
    });
}
