#pragma once
// The second step of symbolication: C++ names made readable. "_Z..." goes
// through the C++ runtime's demangler; "__Z..._block_invoke..." (a block
// inside a C++ function) keeps its suffix after the demangled function;
// "_T..." would need a Swift demangler, which this program does not have, so
// those names stay as they are; anything else is left alone.

#include <optional>
#include <string>

#include "sdk/blackbox/BBXThreadArrayOperation.h"

class BBXDemangleOperation : public BBXThreadArrayOperation {
public:
    using BBXThreadArrayOperation::BBXThreadArrayOperation;

    // The readable form of a symbol; none when there is nothing to do.
    static std::optional<std::string> demangleSymbol(const char* symbol);
    static std::optional<std::string> demangleCppSymbol(const char* symbol);
    static std::optional<std::string> demangleBlockInvokeCppSymbol(const char* symbol);
    static std::optional<std::string> demangleSwiftSymbol(const char* symbol);

    void main() override;
};
