#pragma once
// One frame of a recorded stack: the return address (or PC) as recorded,
// and once symbolicated, the function that holds it, how far into it the
// address lies, and the image it belongs to. Thread arrays are one array of
// frames per thread, innermost first. One thread at a time.

#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <vector>

class BBXStackFrame {
public:
    static std::shared_ptr<BBXStackFrame> stackFrame();
    static std::shared_ptr<BBXStackFrame> stackFrameWithAddress(uint64_t address);
    static std::shared_ptr<BBXStackFrame> stackFrameWithSymbol(const std::optional<std::string>& symbol);

    const std::optional<std::string>& symbol() const { return symbol_; }
    void setSymbol(std::optional<std::string> symbol) { symbol_ = std::move(symbol); }
    const std::optional<std::string>& library() const { return library_; }
    void setLibrary(std::optional<std::string> library) { library_ = std::move(library); }
    const std::optional<std::string>& fileName() const { return fileName_; }
    void setFileName(std::optional<std::string> fileName) { fileName_ = std::move(fileName); }
    uint32_t lineNumber() const { return lineNumber_; }
    void setLineNumber(uint32_t lineNumber) { lineNumber_ = lineNumber; }
    uint64_t offset() const { return offset_; }
    void setOffset(uint64_t offset) { offset_ = offset; }
    uint64_t address() const { return address_; }
    void setAddress(uint64_t address) { address_ = address; }

    // "{[0x<address>] <file> - <symbol>:<line>}" with a file name, else
    // "{[0x<address> + <line>] <symbol>}".
    std::string description() const;

private:
    std::optional<std::string> symbol_;
    std::optional<std::string> library_;
    std::optional<std::string> fileName_;
    uint32_t lineNumber_ = 0;
    uint64_t offset_ = 0;
    uint64_t address_ = 0;
};

using BBXThreadArray = std::vector<std::vector<std::shared_ptr<BBXStackFrame>>>;
