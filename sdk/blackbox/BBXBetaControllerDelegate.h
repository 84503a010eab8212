#pragma once
// What the beta check asks of the kit that owns it.

#include <memory>
#include <optional>
#include <string>

class BBXBetaController;
class BBXSettings;

class BBXBetaControllerDelegate {
public:
    virtual ~BBXBetaControllerDelegate() = default;
    virtual std::optional<std::string> APIKeyForBetaController(BBXBetaController&) = 0;
    virtual std::shared_ptr<BBXSettings> settingsForBetaController(BBXBetaController&) = 0;
};
