#include "StoredKeyValueStore.h"

#include "ChangeWatch.h"
#include "Container.h"
#include "MemoryKeyValueStore.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/SystemLog.h"

namespace cloud {

using foundation::PlistValue;

static_assert(UbiquitousKeyValueStore::kMaxKeys == ZoneServer::kMaxKeyValueKeys);
static_assert(UbiquitousKeyValueStore::kMaxKeyBytes == ZoneServer::kMaxKeyValueKeyBytes);
static_assert(static_cast<int64_t>(UbiquitousKeyValueStore::kMaxTotalBytes) == ZoneServer::kMaxKeyValueBytes);

namespace {

// What a key and its value count against the account's total.
int64_t countedBytes(const std::string& key, const PlistValue& value) {
    return static_cast<int64_t>(key.size() + MemoryKeyValueStore::byteSize(value));
}

// The account and the store the local copy belongs to: a store made again
// under the same name is another account to the values.
std::string accountOf(const Configuration& configuration, const ZoneServer& server) {
    return configuration.account + "/" + server.storeID();
}

constexpr const char* kValuesKey = "Values";
constexpr const char* kDirtyKey = "Unsent";
constexpr const char* kSeenKey = "Seen";
constexpr const char* kAccountKey = "Account";

}  // namespace

std::shared_ptr<StoredKeyValueStore> StoredKeyValueStore::make() {
    return make([] { return Container::defaultContainer(); },
                foundation::Paths::dataHome() / foundation::Paths::kApplicationFolder / "KeyValueStore.plist");
}

std::shared_ptr<StoredKeyValueStore> StoredKeyValueStore::make(std::function<std::shared_ptr<Container>()> container,
                                                               std::filesystem::path localFile) {
    std::shared_ptr<StoredKeyValueStore> store(new StoredKeyValueStore(std::move(container), std::move(localFile)));
    store->load();
    return store;
}

StoredKeyValueStore::StoredKeyValueStore(std::function<std::shared_ptr<Container>()> container,
                                         std::filesystem::path localFile)
    : container_(std::move(container)),
      localFile_(std::move(localFile)),
      queue_(dispatch::Queue::createSerial("com.tavlo.cloud.keyvalue")) {}

StoredKeyValueStore::~StoredKeyValueStore() {
    if (watch_) watch_->cancel();
    std::lock_guard lock(mutex_);
    if (saveWaiting_) save();
}

// Writes coalesce: the copy is written once for a run of writes, soon after.
void StoredKeyValueStore::scheduleSave() {
    if (saveWaiting_) return;
    saveWaiting_ = true;
    std::weak_ptr<StoredKeyValueStore> weak = weak_from_this();
    queue_->async([weak] {
        auto self = weak.lock();
        if (!self) return;
        std::lock_guard lock(self->mutex_);
        if (self->saveWaiting_) self->save();
    });
}

void StoredKeyValueStore::load() {
    auto data = foundation::Data::contentsOfFile(localFile_, 8u << 20);
    if (!data) return;
    auto plist = foundation::PropertyList::read(
        std::span<const uint8_t>(data.value().bytes(), data.value().length()));
    if (!plist) {
        foundation::systemLog(foundation::format("The key-value store's copy %@ cannot be read; it starts empty",
                                                 localFile_.string()));
        return;
    }
    std::lock_guard lock(mutex_);
    if (const PlistValue* values = plist.value().get(kValuesKey); values && values->asDictionary())
        values_ = *values->asDictionary();
    if (const PlistValue* dirty = plist.value().get(kDirtyKey); dirty && dirty->asArray())
        for (const PlistValue& key : *dirty->asArray())
            if (key.asString()) dirty_.insert(*key.asString());
    if (const PlistValue* seen = plist.value().get(kSeenKey); seen && seen->asInteger()) seen_ = *seen->asInteger();
    if (const PlistValue* account = plist.value().get(kAccountKey); account && account->asString())
        account_ = *account->asString();
}

void StoredKeyValueStore::save() {
    saveWaiting_ = false;
    PlistValue::Array dirty;
    for (const std::string& key : dirty_) dirty.push_back(PlistValue(key));
    PlistValue::Dictionary root{{kValuesKey, PlistValue(values_)},
                                {kDirtyKey, PlistValue(dirty)},
                                {kSeenKey, PlistValue(seen_)},
                                {kAccountKey, PlistValue(account_)}};
    auto text = foundation::PropertyList::writeXML(PlistValue(root));
    if (!text) return;
    (void)foundation::Paths::createDirectory(localFile_.parent_path());
    if (!foundation::Data::fromString(text.value()).writeToFile(localFile_, 0600))
        foundation::systemLog(
            foundation::format("The key-value store's copy %@ cannot be written", localFile_.string()));
}

PlistValue StoredKeyValueStore::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? PlistValue() : it->second;
}

PlistValue::Dictionary StoredKeyValueStore::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    return values_;
}

void StoredKeyValueStore::setObject(const PlistValue& value, const std::string& key) {
    if (!value.isNull() && !foundation::PropertyList::writeXML(value)) {
        foundation::systemLog(
            foundation::format("Key-value store: the value for \"%@\" is not a property list; nothing written", key));
        return;
    }
    {
        std::lock_guard lock(mutex_);
        if (value.isNull()) {
            if (values_.erase(key) == 0 && !dirty_.count(key)) return;
            dirty_.insert(key);
            scheduleSave();
            return;
        }
        int64_t total = countedBytes(key, value);
        for (const auto& [name, stored] : values_)
            if (name != key) total += countedBytes(name, stored);
        const size_t keys = values_.size() + (values_.count(key) ? 0 : 1);
        if (key.size() <= kMaxKeyBytes && keys <= kMaxKeys && total <= ZoneServer::kMaxKeyValueBytes) {
            values_[key] = value;
            dirty_.insert(key);
            scheduleSave();
            return;
        }
    }
    postExternalChange(kQuotaViolationChange, {key});
}

bool StoredKeyValueStore::synchronize() {
    auto container = container_();
    if (!container || container->configuration().account.empty()) return false;
    std::weak_ptr<StoredKeyValueStore> weak = weak_from_this();
    queue_->async([weak] {
        if (auto self = weak.lock()) self->synchronizeNow();
    });
    return true;
}

// Watches the account's commits, so that other devices' writes come in
// without waiting for the next synchronize.
void StoredKeyValueStore::watch(const std::shared_ptr<Container>& container) {
    const Configuration configuration = container->configuration();
    const std::string place = configuration.backend + "\n" + configuration.folder.string() + "\n" +
                              configuration.connection + "\n" + configuration.account;
    if (watch_ && watched_ == place && watch_->isWatching()) return;
    if (watch_) watch_->cancel();
    std::weak_ptr<StoredKeyValueStore> weak = weak_from_this();
    watch_ = ChangeWatch::start(configuration, queue_, [weak] {
        if (auto self = weak.lock()) self->synchronizeNow();
    });
    watched_ = place;
}

bool StoredKeyValueStore::synchronizeNow() {
    std::lock_guard exchange(exchangeMutex_);
    {
        std::lock_guard lock(mutex_);
        if (saveWaiting_) save();
    }
    auto container = container_();
    if (!container) return false;
    auto reached = container->server();
    if (!reached) return false;
    ZoneServer& server = *reached.value();
    watch(container);
    const std::string account = accountOf(container->configuration(), server);

    std::string previous;
    {
        std::lock_guard lock(mutex_);
        previous = account_;
    }
    const bool moved = !previous.empty() && previous != account;
    const bool first = previous.empty();

    // This device's writes first (not those meant for an account left behind).
    std::vector<ZoneServer::KeyValue> sending;
    if (!moved) {
        std::lock_guard lock(mutex_);
        for (const std::string& key : dirty_) {
            ZoneServer::KeyValue change{key, std::nullopt, 0, 0};
            if (auto it = values_.find(key); it != values_.end()) {
                auto text = foundation::PropertyList::writeXML(it->second);
                if (!text) continue;
                change.value = std::move(text).value();
                change.bytes = countedBytes(key, it->second);
            }
            sending.push_back(std::move(change));
        }
    }
    std::vector<std::string> refused;
    if (!sending.empty()) {
        auto put = server.putKeyValues(sending);
        if (!put) {
            if (put.error().code != Error::kLimitExceeded) {
                container->storeFailed(put.error());
                return false;
            }
            // The account would go past its limits with them (other devices
            // filled it meanwhile): they are dropped, and said so.
            for (const auto& change : sending) refused.push_back(change.key);
        }
        std::lock_guard lock(mutex_);
        for (const auto& change : sending) dirty_.erase(change.key);
        save();
    }

    // Everything when the copy starts over or must take refused keys back.
    const bool everything = moved || first || !refused.empty();
    int64_t after = 0;
    {
        std::lock_guard lock(mutex_);
        after = everything ? 0 : seen_;
    }
    auto page = server.keyValuesAfter(after, everything);
    if (!page) {
        container->storeFailed(page.error());
        return false;
    }
    std::vector<std::string> changed;
    {
        std::lock_guard lock(mutex_);
        std::set<std::string> keys;
        if (moved) {
            for (const auto& [key, value] : values_) keys.insert(key);
            values_.clear();
            dirty_.clear();
        }
        const std::set<std::string> refusedKeys(refused.begin(), refused.end());
        std::set<std::string> stored;
        for (const auto& entry : page.value().values) {
            // A key written here since is newer than what arrived before it.
            if (dirty_.count(entry.key)) continue;
            stored.insert(entry.key);
            if (!entry.value) {
                if (values_.erase(entry.key) && !refusedKeys.count(entry.key)) keys.insert(entry.key);
                continue;
            }
            auto value = foundation::PropertyList::readXML(*entry.value);
            if (!value || value.value().isNull()) {
                foundation::systemLog(foundation::format(
                    "Key-value store: the stored value for \"%@\" is not a property list; not taken", entry.key));
                continue;
            }
            auto it = values_.find(entry.key);
            if (it != values_.end() && it->second == value.value()) continue;
            values_[entry.key] = std::move(value).value();
            if (!refusedKeys.count(entry.key)) keys.insert(entry.key);
        }
        // A refused write the account never held goes away here too.
        for (const std::string& key : refused)
            if (!stored.count(key) && !dirty_.count(key)) values_.erase(key);
        seen_ = page.value().latest;
        account_ = account;
        save();
        changed.assign(keys.begin(), keys.end());
    }
    if (!refused.empty()) postExternalChange(kQuotaViolationChange, refused);
    if (moved)
        postExternalChange(kAccountChange, changed);
    else if (!changed.empty())
        postExternalChange(first ? kInitialSyncChange : kServerChange, changed);
    return true;
}

}  // namespace cloud
