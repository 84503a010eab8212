#pragma once
// Saves and deletes this device's subscriptions.

#include <functional>
#include <optional>
#include <vector>

#include "DatabaseOperation.h"
#include "Subscription.h"

namespace cloud {

class ModifySubscriptionsOperation final : public DatabaseOperation {
public:
    using Completion = std::function<void(const std::vector<Subscription>& savedSubscriptions,
                                          const std::vector<std::string>& deletedSubscriptionIDs,
                                          const std::optional<Error>& error)>;

    ModifySubscriptionsOperation(std::vector<Subscription> subscriptionsToSave,
                                 std::vector<std::string> subscriptionIDsToDelete)
        : saves_(std::move(subscriptionsToSave)), deletes_(std::move(subscriptionIDsToDelete)) {}

    void setModifySubscriptionsCompletionBlock(Completion block) { completion_ = std::move(block); }

protected:
    void perform(const Reply<std::shared_ptr<ZoneServer>>& server, Container& container,
                 dispatch::Queue& callbacks) override;

private:
    std::vector<Subscription> saves_;
    std::vector<std::string> deletes_;
    Completion completion_;
};

}  // namespace cloud
