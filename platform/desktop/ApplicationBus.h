#pragma once
// An application's presence on the session bus. The application owns its
// bundle identifier as a bus name and answers "Reopen" on the object and
// interface named after it (com.tavlo.Tavlo: /com/tavlo/Tavlo,
// com.tavlo.Tavlo.Application). Owning the name keeps one running instance: a
// second launch asks the owner to reopen and ends. The same object answers the
// application's script commands on <identifier>.Scripting: each takes its
// arguments as one a{sv} and replies with nothing or a script error. Main
// queue only.
//
// The object is published only once the application is ready and withdrawn as
// soon as it starts to quit, while the name stays owned until the process has
// written everything; a launch that meets an owner without the object waits
// for it to appear or for the name to be released.
#include <sys/types.h>

#include <chrono>
#include <functional>
#include <memory>
#include <string>

#include "platform/desktop/ScriptCommand.h"
#include "platform/foundation/Result.h"

namespace desktop {

class ApplicationBus {
public:
    // What claim() found.
    enum class Claim {
        Owner,       // this process owns the name (or holds the lock without a bus)
        Reopened,    // the running owner was asked to reopen; this launch should end
        OwnerSilent, // an owner did not answer in time; this launch should end with an error
    };
    struct ClaimResult {
        Claim claim = Claim::Owner;
        pid_t ownerPid = 0;        // for OwnerSilent, when the bus or the lock file names it
        std::string message;       // what to tell the person who launched it
    };

    // How long a launch waits for a starting or quitting owner, and for an
    // answer to Reopen, before it gives up on it.
    static constexpr std::chrono::milliseconds kOwnerWait{10'000};

    // Claims identifier as this process's bus name. When another process owns
    // it: asks it to reopen; waits up to ownerWait while it is starting or
    // quitting and then takes the name over; reports an owner that does not
    // answer. Without a session bus a lock file in lockFolder stands in for the
    // name (nobody can be asked to reopen then).
    static std::unique_ptr<ApplicationBus> claim(const std::string& identifier, const std::string& lockFolder,
                                                 ClaimResult& result,
                                                 std::chrono::milliseconds ownerWait = kOwnerWait);
    ~ApplicationBus();  // releases the name or the lock
    ApplicationBus(const ApplicationBus&) = delete;
    ApplicationBus& operator=(const ApplicationBus&) = delete;

    bool onSessionBus() const { return onBus_; }
    // Registers the application's object with its Reopen method; reopen runs on
    // the main queue for each call. False when the bus refused the object.
    bool publish(std::function<void()> reopen);
    // The commands the object answers on the scripting interface; set before
    // publish(). Each call runs on the main queue: its arguments are checked
    // against the definition (a value of another type is InvalidArgs naming
    // its key; arguments without a required one are the parameter error), and
    // the command's script error becomes the error reply.
    void setScriptingDefinition(ScriptingDefinition definition);
    // Withdraws the object while keeping the name (the application is quitting).
    void withdraw();

    // The object path and interface an application with this identifier answers on.
    static std::string objectPathFor(const std::string& identifier);
    static std::string interfaceFor(const std::string& identifier);
    static std::string scriptingInterfaceFor(const std::string& identifier);
    // The error a script error number is sent as: <identifier>.Scripting.ParameterError
    // for the parameter error (-50), <identifier>.Scripting.Error for others.
    static std::string scriptErrorNameFor(const std::string& identifier, int number);
    // True when some process owns identifier on the session bus.
    static bool hasOwner(const std::string& identifier);
    // Calls the owner's Reopen and waits for its answer.
    static foundation::Result<void> reopenOwner(const std::string& identifier,
                                                std::chrono::milliseconds timeout = kOwnerWait);

    struct Private;

private:
    explicit ApplicationBus(std::unique_ptr<Private> d);
    std::unique_ptr<Private> d_;
    bool onBus_ = false;
};

}  // namespace desktop
