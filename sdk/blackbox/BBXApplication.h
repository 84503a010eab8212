#pragma once
// What the capture core asks about the running application.
//
// Linux stand-ins: a program here is never an app extension (no bundle
// carries an extension point), the shared application is Qt's, URLs open
// through desktop::Workspace, and activities only remember what they were
// asked for: nothing on Linux ends an idle program on its own, so there is no
// sudden or automatic termination to hold off.

#include <cstdint>
#include <functional>
#include <optional>
#include <string>

#include "platform/foundation/PlistValue.h"

class QCoreApplication;

// None here: no bundle declares an extension point.
std::optional<std::string> BBXApplicationExtensionPointIdentifier();
bool BBXApplicationIsAnExtension();
// The running Qt application, or null outside one.
QCoreApplication* BBXApplicationGetSharedApplication();

// Opens url with opener when one is given, else through the desktop's
// workspace on the main queue; completion (may be empty) hears whether it
// opened.
using BBXURLOpener = std::function<void(const std::string& url, std::function<void(bool)> completion)>;
void BBXApplicationOpenURLWithOpener(const std::string& url, const BBXURLOpener& opener,
                                     std::function<void(bool)> completion);

// An activity in its dictionary form: {"options": options, "reason": reason}.
foundation::PlistValue BBXApplicationActivityBegin(uint64_t options, const std::string& reason);
void BBXApplicationActivityEnd(const foundation::PlistValue& activity);
void BBXApplicationRunInActivity(uint64_t options, const std::string& reason, const std::function<void()>& block);
