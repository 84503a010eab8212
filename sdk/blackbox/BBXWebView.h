#pragma once
// The parts of a web view's configuration the crash kit touches: its user
// content controller's script-message handlers and user scripts, and the
// messages a page's script posts. A web-view host fills these in; there is
// no web view in this program, so the user-script class is not there and
// monitoring a configuration fails (and says so).

#include <functional>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"

struct BBXScriptMessage {
    std::string name;
    foundation::PlistValue body;
};

class BBXScriptMessageHandler {
public:
    virtual ~BBXScriptMessageHandler() = default;
    virtual void userContentControllerDidReceiveScriptMessage(const BBXScriptMessage& message) = 0;
};

struct BBXUserScript {
    static constexpr int kInjectionTimeAtDocumentEnd = 1;
    std::string source;
    int injectionTime = kInjectionTimeAtDocumentEnd;
    bool forMainFrameOnly = true;
};

struct BBXUserContentController {
    std::map<std::string, BBXScriptMessageHandler*> scriptMessageHandlers;
    std::vector<BBXUserScript> userScripts;
};

struct BBXWebViewConfiguration {
    std::string description;
    BBXUserContentController userContentController;
};

// The user-script class a web-view host provides: makes a script, or none.
using BBXUserScriptClass =
    std::function<std::optional<BBXUserScript>(const std::string& source, int injectionTime, bool forMainFrameOnly)>;
