#pragma once
// Puts a clipping on the clipboard by its position: in the list "in" names by
// list position, else in the whole history newest first. A position outside
// the clippings, or a name no list has, copies nothing and reports nothing.
#include <cstdint>
#include <string>

#include "TLScriptCommand.h"

class TLCopyCommand : public TLScriptCommand {
public:
    using TLScriptCommand::TLScriptCommand;
    void performDefaultImplementation() override;
    // An empty list name copies from the whole history.
    void copyClippingAtIndex(int64_t index, const std::string& fromList);
};
