#pragma once
// A key-value store held in this process's memory: the default store until a
// back-end shared between devices is configured, and the one tests drive.
// It keeps the account's limits (a refused write posts a quota-violation
// change naming the key) and lets tests play another device's changes.

#include <map>
#include <mutex>
#include <optional>

#include "UbiquitousKeyValueStore.h"

namespace cloud {

class MemoryKeyValueStore final : public UbiquitousKeyValueStore {
public:
    foundation::PlistValue objectForKey(const std::string& key) const override;
    void setObject(const foundation::PlistValue& value, const std::string& key) override;
    foundation::PlistValue::Dictionary dictionaryRepresentation() const override;
    bool synchronize() override;

    // Another device's change arriving: each key takes its value (null removes
    // it) in the given order, then the change is announced with reason.
    void simulateExternalChange(int64_t reason,
                                const std::vector<std::pair<std::string, foundation::PlistValue>>& changes);

    // How often synchronize() was called, and how many writes were refused.
    int synchronizeCount() const;
    int refusedWrites() const;

    // The bytes a value counts for against kMaxTotalBytes.
    static size_t byteSize(const foundation::PlistValue& value);

private:
    mutable std::mutex mutex_;
    foundation::PlistValue::Dictionary values_;
    size_t totalBytes_ = 0;
    int synchronizeCount_ = 0;
    int refusedWrites_ = 0;
};

}  // namespace cloud
