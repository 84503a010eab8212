#include "TLCopyCommand.h"

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLPasteboardManager.h"
#include "platform/store/Context.h"
#include "platform/store/Predicate.h"

void TLCopyCommand::performDefaultImplementation() {
    if (evaluatedArguments().empty()) {
        setScriptErrorNumber(kParameterError);
        setScriptErrorString(missingParameterMessage("copy"));
        return;
    }
    auto position = evaluatedArguments().find("");
    const std::string* name = stringArgument("in");
    copyClippingAtIndex(position == evaluatedArguments().end() ? 0 : position->second.integerValue(),
                        name ? *name : std::string());
}

void TLCopyCommand::copyClippingAtIndex(int64_t index, const std::string& fromList) {
    // The store's offset is signed and would read a negative one as none,
    // copying the first clipping: no position before the first exists.
    if (index < 0) return;
    auto& context = *environment_.managedObjectContext;
    store::FetchRequest request(Clipping::kEntityName);
    if (!fromList.empty()) {
        auto list = listNamed(context, fromList);
        if (!list) return;
        auto predicate = store::Predicate::withFormat("list == %@", list);
        if (!predicate) return;
        request.predicate = predicate.value();
        request.sortDescriptors = {{"index", true}};
    } else {
        request.sortDescriptors = {{"tavloDate", false}};
    }
    request.fetchOffset = index;
    request.fetchLimit = 1;
    auto found = context.fetch(request);
    if (!found || found.value().empty()) return;
    if (auto clipping = std::dynamic_pointer_cast<Clipping>(found.value().front()))
        environment_.pasteboardManager->copyClippingToGeneralPasteboard(clipping);
}
