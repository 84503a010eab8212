#include "ScriptCommand.h"

namespace desktop {

std::string ScriptCommand::missingParameterMessage(const std::string& verb) {
    return "Parameter Error: A Parameter is expected for the verb '" + verb + "'.";
}

}  // namespace desktop
