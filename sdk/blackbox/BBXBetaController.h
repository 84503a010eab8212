#pragma once
// Asks the beta service, after every settings download, whether a newer test
// build of the application exists, and keeps the answer. It works only for
// builds signed for distribution outside a store and only with a beta token;
// nothing in this program gives one (the token source answers none), so the
// controller the kit makes stays idle.
//
// A successful check suspends checks for the settings' suspension time (a
// one-shot timer on the main queue); a failed one leaves the controller
// "retrying" for the rest of the process, so no further check runs. Checks
// run on the serial queue "org.blackbox.mac.beta". Any thread.

#include <atomic>
#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "platform/dispatch/Queue.h"
#include "platform/foundation/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/net/URLRequest.h"

class BBXBetaControllerDelegate;
class BBXBetaUpdate;
class BCNNetworkClient;

class BBXBetaController : public std::enable_shared_from_this<BBXBetaController> {
public:
    static constexpr const char* kQueueLabel = "org.blackbox.mac.beta";
    static constexpr unsigned kRetryLimit = 10;
    static constexpr double kTimeout = 10.0;

    // Where the beta token comes from; none answers none.
    using TokenSource = std::function<std::optional<std::string>()>;

    // Not an application extension, and signed for distribution outside a store.
    static bool isBetaSupported();

    // delegate is not owned and must outlive the controller.
    static std::shared_ptr<BBXBetaController> initWithDelegate(BBXBetaControllerDelegate* delegate,
                                                               TokenSource tokenSource = {});
    ~BBXBetaController();

    // False without a token; otherwise checks after each settings download.
    bool start();
    const std::optional<std::string>& betaToken() const { return betaToken_; }

    void beaconSettingsDownloaded();
    void checkForUpdate();

    // The request of a check: GET of the update-check address with the kit's
    // headers and the token.
    std::optional<net::URLRequest> betaUpdateRequest();
    std::optional<std::string> betaUpdateURL();

    // The serial queue checks run on.
    const std::shared_ptr<dispatch::Queue>& queue() const { return queue_; }
    std::shared_ptr<BBXBetaUpdate> activeUpdate() const;
    bool checksSuspended() const { return checksSuspended_.load(); }
    bool retrying() const { return retrying_.load(); }
    // Parses an answer; null with an error for anything but an update.
    static std::shared_ptr<BBXBetaUpdate> updateWithData(const std::string& data, foundation::Error* error);

    void allowChecks();

private:
    BBXBetaController(BBXBetaControllerDelegate* delegate, std::optional<std::string> betaToken);

    bool shouldGetUpdates() const;
    using UpdateCompletion =
        std::function<void(const std::shared_ptr<BBXBetaUpdate>&, const std::optional<foundation::Error>&)>;
    void maybeGetUpdate(UpdateCompletion completion);
    void loadUpdate(UpdateCompletion completion);
    void handleCompletedBetaRequest(const std::optional<std::string>& data, const std::optional<foundation::Error>& error,
                                    UpdateCompletion completion);
    void temporarilySuspendChecks();
    void didGetUpdate(const std::shared_ptr<BBXBetaUpdate>& update);

    BBXBetaControllerDelegate* delegate_;
    std::optional<std::string> betaToken_;
    std::shared_ptr<dispatch::Queue> queue_;
    std::shared_ptr<BCNNetworkClient> networkClient_;
    std::atomic<bool> checksSuspended_{false};
    std::atomic<bool> retrying_{false};
    // Bumped by allowChecks, so a suspension timer of an earlier check does
    // not end a later suspension.
    uint64_t suspensionGeneration_ = 0;  // main queue
    mutable std::mutex mutex_;
    std::shared_ptr<BBXBetaUpdate> activeUpdate_;
    foundation::ObserverRegistration settingsObserver_;
};
