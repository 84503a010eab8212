#include "sdk/blackbox/BBXApplication.h"

#include <QCoreApplication>

#include "platform/desktop/Workspace.h"
#include "platform/dispatch/Queue.h"

std::optional<std::string> BBXApplicationExtensionPointIdentifier() { return std::nullopt; }

bool BBXApplicationIsAnExtension() { return BBXApplicationExtensionPointIdentifier().has_value(); }

QCoreApplication* BBXApplicationGetSharedApplication() { return QCoreApplication::instance(); }

void BBXApplicationOpenURLWithOpener(const std::string& url, const BBXURLOpener& opener,
                                     std::function<void(bool)> completion) {
    if (opener) {
        opener(url, std::move(completion));
        return;
    }
    // The workspace belongs to the main queue.
    dispatch::Queue::main()->async([url, completion = std::move(completion)] {
        bool opened = desktop::Workspace::current()->openURL(url);
        if (completion) completion(opened);
    });
}

foundation::PlistValue BBXApplicationActivityBegin(uint64_t options, const std::string& reason) {
    return foundation::PlistValue::Dictionary{{"options", foundation::PlistValue(options)},
                                              {"reason", foundation::PlistValue(reason)}};
}

void BBXApplicationActivityEnd(const foundation::PlistValue&) {}

void BBXApplicationRunInActivity(uint64_t options, const std::string& reason, const std::function<void()>& block) {
    foundation::PlistValue activity = BBXApplicationActivityBegin(options, reason);
    if (block) block();
    BBXApplicationActivityEnd(activity);
}
