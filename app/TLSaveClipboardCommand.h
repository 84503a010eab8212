#pragma once
// Saves what the clipboard holds now, concealed content too: without any
// arguments into the history, with "in" naming a list into that list (or the
// history when no list has the name); arguments without a name save nothing.
#include "TLScriptCommand.h"

class TLSaveClipboardCommand : public TLScriptCommand {
public:
    using TLScriptCommand::TLScriptCommand;
    void performDefaultImplementation() override;
};
