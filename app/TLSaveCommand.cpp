#include "TLSaveCommand.h"

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/NSDateCloudKit.h"
#include "kit/TLPasteboardManager.h"
#include "platform/foundation/URL.h"
#include "platform/store/Context.h"

void TLSaveCommand::performDefaultImplementation() {
    if (evaluatedArguments().empty()) {
        setScriptErrorNumber(kParameterError);
        setScriptErrorString(missingParameterMessage("save"));
        return;
    }
    const std::string* text = stringArgument("");
    const std::string* name = stringArgument("in");
    saveClippingForString(text ? *text : std::string(), name ? *name : std::string());
}

void TLSaveCommand::saveClippingForString(const std::string& string, const std::string& inList) {
    auto context = environment_.managedObjectContext;
    auto manager = environment_.pasteboardManager;
    context->performBlock([context, manager, string, inList] {
        auto clipping = std::static_pointer_cast<Clipping>(context->insertNewObject(Clipping::kEntityName));
        const foundation::Date now = NSDateCloudKit::currentServerDate();
        clipping->setClippingID(Clipping::makeClippingID());
        clipping->setDeviceName(std::string("OSX"));
        clipping->setAddDate(now);
        clipping->setTavloDate(now);
        if (foundation::URL::isWebAddress(string)) {
            clipping->setUrl(string);
            clipping->setText(std::nullopt);
        } else {
            clipping->setText(string);
            clipping->setUrl(std::nullopt);
            clipping->setImage(std::nullopt);
        }
        if (!inList.empty()) {
            auto list = listNamed(*context, inList);
            if (!list) {
                list = std::static_pointer_cast<List>(context->insertNewObject(List::kEntityName));
                list->setListID(List::makeListID());
                list->setName(inList);
                list->setSync(true);
                list->setModifiedDate(now);
            }
            clipping->setList(list);
        }
        clipping->setSync(true);
        clipping->setModifiedDate(now);
        // The caller has had its answer: a failed save has nobody to tell.
        if (!context->save()) return;
        manager->copyClippingToGeneralPasteboard(clipping);
        manager->fetchPageTitleForClipping(clipping);
    });
}
