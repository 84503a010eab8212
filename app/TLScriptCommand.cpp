#include "TLScriptCommand.h"

#include "TLCopyCommand.h"
#include "TLSaveClipboardCommand.h"
#include "TLSaveCommand.h"
#include "kit/List.h"
#include "kit/TLDatabaseManager.h"
#include "kit/TLMacPasteboard.h"
#include "kit/TLPasteboardManager.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"

std::shared_ptr<List> TLScriptCommand::listNamed(store::Context& context, const std::string& name) {
    auto predicate = store::Predicate::withFormat("name ==[c] %@", name);
    if (!predicate) return nullptr;
    store::FetchRequest request(List::kEntityName);
    request.predicate = predicate.value();
    request.fetchLimit = 1;
    auto found = context.fetch(request);
    if (!found || found.value().empty()) return nullptr;
    return std::dynamic_pointer_cast<List>(found.value().front());
}

const std::string* TLScriptCommand::stringArgument(const std::string& key) const {
    auto it = evaluatedArguments().find(key);
    return it == evaluatedArguments().end() ? nullptr : it->second.asString();
}

desktop::ScriptingDefinition TLScriptCommand::scriptingDefinition(std::function<Environment()> environment) {
    if (!environment)
        environment = [] {
            return Environment{TLDatabaseManager::sharedManager()->managedObjectContext(),
                               TLPasteboardManager::sharedManager(), TLMacPasteboard::generalPasteboard()};
        };
    using Type = desktop::ScriptCommandDefinition::Type;
    const desktop::ScriptCommandDefinition::Parameter in{"in", Type::Text, false, "the name of a list"};
    return {
        {"SaveClipboard", "save clipboard", {in},
         [environment] { return std::make_unique<TLSaveClipboardCommand>(environment()); }},
        {"Save", "save", {{"", Type::Text, true, "the text to save"}, in},
         [environment] { return std::make_unique<TLSaveCommand>(environment()); }},
        {"Copy", "copy", {{"", Type::Integer, true, "the position of the clipping"}, in},
         [environment] { return std::make_unique<TLCopyCommand>(environment()); }},
    };
}
