#include "sdk/blackbox/BBXStackFrame.h"

#include "platform/foundation/Format.h"

std::shared_ptr<BBXStackFrame> BBXStackFrame::stackFrame() { return std::make_shared<BBXStackFrame>(); }

std::shared_ptr<BBXStackFrame> BBXStackFrame::stackFrameWithAddress(uint64_t address) {
    auto frame = stackFrame();
    frame->address_ = address;
    return frame;
}

std::shared_ptr<BBXStackFrame> BBXStackFrame::stackFrameWithSymbol(const std::optional<std::string>& symbol) {
    auto frame = stackFrame();
    frame->symbol_ = symbol;
    return frame;
}

std::string BBXStackFrame::description() const {
    if (fileName_)
        return foundation::format("{[0x%llx] %@ - %@:%u}", static_cast<unsigned long long>(address_), fileName_,
                                  symbol_, lineNumber_);
    return foundation::format("{[0x%llx + %u] %@}", static_cast<unsigned long long>(address_), lineNumber_, symbol_);
}
