#pragma once
// Saves a text, or a link when it has a scheme and a host, as a new clipping
// (into the list "in" names, made when no list has that name), then puts it on
// the clipboard. The call returns before the clipping is saved: the work waits
// its turn on the main context's queue.
#include <string>

#include "TLScriptCommand.h"

class TLSaveCommand : public TLScriptCommand {
public:
    using TLScriptCommand::TLScriptCommand;
    void performDefaultImplementation() override;
    // An empty list name saves into the history.
    void saveClippingForString(const std::string& string, const std::string& inList);
};
