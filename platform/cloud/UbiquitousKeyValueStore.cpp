#include "UbiquitousKeyValueStore.h"

#include <mutex>

#include "MemoryKeyValueStore.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/NotificationCenter.h"

namespace cloud {

namespace {

std::mutex defaultMutex;
std::shared_ptr<UbiquitousKeyValueStore> defaultInstance;

}  // namespace

std::shared_ptr<UbiquitousKeyValueStore> UbiquitousKeyValueStore::defaultStore() {
    std::lock_guard lock(defaultMutex);
    if (!defaultInstance) defaultInstance = std::make_shared<MemoryKeyValueStore>();
    return defaultInstance;
}

void UbiquitousKeyValueStore::setDefaultStore(std::shared_ptr<UbiquitousKeyValueStore> store) {
    std::lock_guard lock(defaultMutex);
    defaultInstance = std::move(store);
}

void UbiquitousKeyValueStore::postExternalChange(int64_t reason, std::vector<std::string> changedKeys) {
    foundation::Notification notification{kDidChangeExternallyNotification, this, {}, {}};
    notification.userInfo[kChangeReasonKey] = reason;
    notification.userInfo[kChangedKeysKey] = std::move(changedKeys);
    dispatch::Queue::main()->async(
        [notification = std::move(notification)] { foundation::NotificationCenter::defaultCenter().post(notification); });
}

}  // namespace cloud
