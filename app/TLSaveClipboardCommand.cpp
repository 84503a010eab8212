#include "TLSaveClipboardCommand.h"

#include "kit/List.h"
#include "kit/TLPasteboardManager.h"

void TLSaveClipboardCommand::performDefaultImplementation() {
    auto& manager = *environment_.pasteboardManager;
    if (evaluatedArguments().empty()) {
        manager.saveContentsOfPasteboard(environment_.generalPasteboard, nullptr, true);
        return;
    }
    const std::string* name = stringArgument("in");
    if (!name || name->empty()) return;
    manager.saveContentsOfPasteboard(environment_.generalPasteboard,
                                     listNamed(*environment_.managedObjectContext, *name), true);
}
