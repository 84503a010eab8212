#pragma once
// Settings kept for the user's account and shared by its devices: property-list
// values under short keys. Reads answer from this device's copy, offline too;
// synchronize() exchanges changed keys with the account (the last arrival
// wins). Writes made here are never announced back; changes that arrive from
// elsewhere are announced by kDidChangeExternallyNotification, on the main
// queue, with the store as its object and in its userInfo the reason
// (kChangeReasonKey, an int64_t) and the changed keys (kChangedKeysKey, a
// std::vector<std::string>). Any thread.

#include <cstdint>
#include <memory>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"

namespace cloud {

class UbiquitousKeyValueStore {
public:
    static constexpr const char* kDidChangeExternallyNotification =
        "UbiquitousKeyValueStoreDidChangeExternallyNotification";
    static constexpr const char* kChangeReasonKey = "UbiquitousKeyValueStoreChangeReasonKey";
    static constexpr const char* kChangedKeysKey = "UbiquitousKeyValueStoreChangedKeysKey";

    // Why values changed.
    enum ChangeReason : int64_t {
        kServerChange = 0,          // another device wrote them
        kInitialSyncChange = 1,     // the first meeting with an account that has values
        kQuotaViolationChange = 2,  // a write of this device went past the limits; nothing was written
        kAccountChange = 3,         // the account changed: every key
    };

    // What one account may hold; a write past them is refused whole.
    static constexpr size_t kMaxKeys = 1024;
    static constexpr size_t kMaxKeyBytes = 64;
    static constexpr size_t kMaxTotalBytes = size_t{1} << 20;

    virtual ~UbiquitousKeyValueStore() = default;

    // The store of the configured account; an in-memory one until a back-end
    // shared between devices is configured.
    static std::shared_ptr<UbiquitousKeyValueStore> defaultStore();
    // Replaces the default store (start-up of a back-end, tests); null restores
    // a fresh in-memory one.
    static void setDefaultStore(std::shared_ptr<UbiquitousKeyValueStore> store);

    // Null when the key holds nothing.
    virtual foundation::PlistValue objectForKey(const std::string& key) const = 0;
    // Setting a null value removes the key.
    virtual void setObject(const foundation::PlistValue& value, const std::string& key) = 0;
    void removeObjectForKey(const std::string& key) { setObject(foundation::PlistValue(), key); }
    virtual foundation::PlistValue::Dictionary dictionaryRepresentation() const = 0;
    // Sends this device's changes and takes others'; false when the account
    // could not be reached (the changes wait for the next call).
    virtual bool synchronize() = 0;

    // Posts the external-change notification for this store on the main queue,
    // whichever thread calls.
    void postExternalChange(int64_t reason, std::vector<std::string> changedKeys);
};

}  // namespace cloud
