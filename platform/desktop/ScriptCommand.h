#pragma once
// A command that scripts send to the running application, and the definition
// that says which commands the application answers and what each takes. The
// bus side (ApplicationBus) checks a call's arguments against the definition,
// makes the command, hands it the evaluated arguments and runs its default
// implementation on the main queue; a script error the command sets is the
// call's error reply. Commands return nothing.
#include <functional>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"

namespace desktop {

class ScriptCommand {
public:
    // Argument key to value: "" is the direct parameter. Values are strings or
    // integers, as the definition's types allow.
    using Arguments = foundation::PlistValue::Dictionary;

    // The error number of a missing or unusable parameter.
    static constexpr int kParameterError = -50;
    // "Parameter Error: A Parameter is expected for the verb 'save'."
    static std::string missingParameterMessage(const std::string& verb);

    virtual ~ScriptCommand() = default;

    const Arguments& evaluatedArguments() const { return evaluatedArguments_; }
    void setEvaluatedArguments(Arguments arguments) { evaluatedArguments_ = std::move(arguments); }
    int scriptErrorNumber() const { return scriptErrorNumber_; }
    void setScriptErrorNumber(int number) { scriptErrorNumber_ = number; }
    const std::string& scriptErrorString() const { return scriptErrorString_; }
    void setScriptErrorString(std::string text) { scriptErrorString_ = std::move(text); }

    virtual void performDefaultImplementation() = 0;

private:
    Arguments evaluatedArguments_;
    int scriptErrorNumber_ = 0;
    std::string scriptErrorString_;
};

// One command as scripts see it.
struct ScriptCommandDefinition {
    enum class Type {
        Text,     // a string
        Integer,  // an integer, or a string the command reads as one
    };
    struct Parameter {
        std::string key;          // "" for the direct parameter
        Type type = Type::Text;
        bool required = false;    // arguments without it are a parameter error
        std::string description;  // for error messages: "the text to save"
    };
    std::string member;  // the bus method: "Save"
    std::string verb;    // the scripts' word for it: "save"
    std::vector<Parameter> parameters;
    std::function<std::unique_ptr<ScriptCommand>()> make;
};

using ScriptingDefinition = std::vector<ScriptCommandDefinition>;

}  // namespace desktop
