#pragma once
// The key-value store of the configured account, kept on its back-end and
// copied on this device: the local copy (a property-list file) answers reads
// and takes writes, offline too; synchronize() sends the keys written here
// since (the last write to arrive at the account wins) and takes the keys
// other devices wrote, announcing them with reason 0. Other devices' writes
// are also taken when the account's commits wake the store, and at start.
// The first meeting with an account that holds values announces them with
// reason 1; a write past the limits writes nothing and is announced with
// reason 2; a change of account replaces every value and announces every key
// with reason 3. Values are property lists: one that cannot be written as one,
// or a stored one that cannot be read as one, is refused with a log line.
// Any thread; the exchange runs on the store's own queue.

#include <filesystem>
#include <functional>
#include <memory>
#include <mutex>
#include <set>

#include "UbiquitousKeyValueStore.h"

namespace dispatch {
class Queue;
}

namespace cloud {

class ChangeWatch;
class Container;

class StoredKeyValueStore final : public UbiquitousKeyValueStore,
                                  public std::enable_shared_from_this<StoredKeyValueStore> {
public:
    // The default container's store, its copy in $XDG_DATA_HOME/Tavlo/KeyValueStore.plist.
    static std::shared_ptr<StoredKeyValueStore> make();
    // A store over the container the function answers at each exchange (the
    // tool, tests), its copy in localFile.
    static std::shared_ptr<StoredKeyValueStore> make(std::function<std::shared_ptr<Container>()> container,
                                                     std::filesystem::path localFile);
    ~StoredKeyValueStore() override;

    foundation::PlistValue objectForKey(const std::string& key) const override;
    void setObject(const foundation::PlistValue& value, const std::string& key) override;
    foundation::PlistValue::Dictionary dictionaryRepresentation() const override;
    // Queues the exchange; false when no account is configured.
    bool synchronize() override;
    // The exchange on the calling thread; false when the account could not
    // be reached (the writes wait for the next one).
    bool synchronizeNow();

private:
    StoredKeyValueStore(std::function<std::shared_ptr<Container>()> container, std::filesystem::path localFile);
    void load();
    void save();          // with mutex_ held
    void scheduleSave();  // with mutex_ held
    void watch(const std::shared_ptr<Container>& container);

    std::function<std::shared_ptr<Container>()> container_;
    const std::filesystem::path localFile_;
    std::shared_ptr<dispatch::Queue> queue_;
    // One exchange at a time.
    std::mutex exchangeMutex_;
    mutable std::mutex mutex_;
    foundation::PlistValue::Dictionary values_;
    std::set<std::string> dirty_;
    int64_t seen_ = 0;
    bool saveWaiting_ = false;
    std::string account_;  // the account and store the copy belongs to; empty: none yet
    std::shared_ptr<ChangeWatch> watch_;
    std::string watched_;
};

}  // namespace cloud
