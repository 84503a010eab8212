#pragma once
// What Tavlo's script commands share: the store's main context, the pasteboard
// manager and the general pasteboard they work on, the lookup of a list by
// name, and the definition that offers the commands on the session bus.
// Main queue only.
#include <functional>
#include <memory>
#include <string>

#include "platform/desktop/ScriptCommand.h"

class List;
class TLPasteboard;
class TLPasteboardManager;
namespace store {
class Context;
}

class TLScriptCommand : public desktop::ScriptCommand {
public:
    struct Environment {
        std::shared_ptr<store::Context> managedObjectContext;
        std::shared_ptr<TLPasteboardManager> pasteboardManager;
        std::shared_ptr<TLPasteboard> generalPasteboard;
    };

    explicit TLScriptCommand(Environment environment) : environment_(std::move(environment)) {}

    // The first list of the context whose name equals name ignoring case (the
    // store's own comparison, so "Äpfel" is "äpfel" and "%" or "_" are plain
    // characters), in store order; null when none has it.
    static std::shared_ptr<List> listNamed(store::Context& context, const std::string& name);

    // save-clipboard, save and copy, each made over the environment the
    // function gives at the time of the call (by default the application's
    // store, pasteboard manager and clipboard).
    static desktop::ScriptingDefinition scriptingDefinition(std::function<Environment()> environment = {});

protected:
    // The evaluated argument's text, if it is a string.
    const std::string* stringArgument(const std::string& key) const;

    Environment environment_;
};
