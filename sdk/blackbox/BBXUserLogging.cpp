#include "sdk/blackbox/BBXUserLogging.h"

#include <execinfo.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <ctime>
#include <list>
#include <unordered_map>

#include "platform/crash/MachineTime.h"
#include "platform/dispatch/Clock.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/SystemLog.h"
#include "sdk/blackbox/BBXContext.h"
#include "sdk/blackbox/BBXFile.h"
#include "sdk/blackbox/BBXSDKLog.h"
#include "sdk/blackbox/BBXUtilities.h"

namespace {

constexpr uint32_t kDefaultLogBufferSize = 131072;
constexpr int kMaxErrorFrames = 512;

// Runs block on the logging queue and waits for it; in place when there is
// no queue yet.
void onLoggingQueue(const std::function<void()>& block) {
    if (auto queue = BBXContextLoggingQueue()) queue->sync(block);
    else block();
}

BBXKVStorage userStorage(const BBXReadOnlyContext* readOnly) {
    return BBXKVStorage{readOnly->keyValueStore.userIncrementalPath, readOnly->keyValueStore.userCompactedPath,
                        readOnly->userLogging.maxIncrementalEntries, readOnly->keyValueStore.maxUserKeys};
}

BBXKVStorage internalStorage(const BBXReadOnlyContext* readOnly) {
    return BBXKVStorage{readOnly->keyValueStore.internalIncrementalPath, readOnly->keyValueStore.internalCompactedPath,
                        readOnly->userLogging.maxIncrementalEntries, readOnly->keyValueStore.maxInternalKeys};
}

// A store whose paths outlive the caller's record: the compaction runs later.
struct OwnedStorage {
    std::string incrementalPath;
    std::string compactedPath;
    uint32_t maxIncrementalEntries;
    uint32_t maxKeys;

    explicit OwnedStorage(const BBXKVStorage& store)
        : incrementalPath(store.incrementalPath), compactedPath(store.compactedPath),
          maxIncrementalEntries(store.maxIncrementalEntries), maxKeys(store.maxKeys) {}
    BBXKVStorage storage() const {
        return BBXKVStorage{incrementalPath.c_str(), compactedPath.c_str(), maxIncrementalEntries, maxKeys};
    }
};

void writeKVSection(BBXFile* file, const std::string& key, const std::optional<std::string>& value) {
    BBXFileOpenSection(file, "kv");
    BBXFileBeginObject(file);
    BBXFileWriteHexEntry(file, "key", key.c_str());
    BBXFileWriteHexEntry(file, "value", value ? value->c_str() : nullptr);
    BBXFileEndObject(file);
    BBXFileCloseSection(file);
}

// On the logging queue: the section, then the count that triggers compaction.
void writeKeyValueNow(const std::string& key, const std::optional<std::string>& value, const BBXKVStorage* store,
                      uint32_t* counter) {
    static const char* const kFunction = "BBXUserLoggingWriteKeyValue";
    if (!store || !counter || !store->incrementalPath || !store->compactedPath) {
        BBXSDKLog("%s: Bad parameters\n", kFunction);
        return;
    }
    BBXFile file;
    if (!BBXFileInitWithPathMode(&file, store->incrementalPath, true, true)) {
        BBXSDKLog("%s: Unable to open k-v file\n", kFunction);
        return;
    }
    BBXFileWriteWholeSections(&file, [&](BBXFile* line) { writeKVSection(line, key, value); });
    BBXFileClose(&file);
    *counter += 1;
    if (store->maxIncrementalEntries == 0 || *counter < store->maxIncrementalEntries) return;
    // The count restarts now rather than after the compaction: the compaction
    // is queued ahead of every later write, so it still takes all of them in,
    // and the counter's owner need not outlive the queued block.
    *counter = 0;
    auto owned = std::make_shared<OwnedStorage>(*store);
    if (auto queue = BBXContextLoggingQueue()) {
        queue->async([owned] {
            BBXKVStorage storage = owned->storage();
            BBXUserLoggingCompactKVEntries(&storage);
        });
    } else {
        BBXKVStorage storage = owned->storage();
        BBXUserLoggingCompactKVEntries(&storage);
    }
}

void recordKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value, bool internal) {
    if (!key || !BBXContextIsInitialized()) return;
    BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    BBXWritableContext* writable = BBXContextGetWritable();
    BBXKVStorage store = internal ? internalStorage(readOnly) : userStorage(readOnly);
    uint32_t* counter =
        internal ? &writable->keyValue.internalIncrementalCount : &writable->keyValue.userIncrementalCount;
    BBXUserLoggingWriteKeyValue(key, value, &store, counter);
}

// A dictionary that remembers the order its keys were last set in.
class RecencyDictionary {
public:
    void set(const std::string& key, const foundation::PlistValue& value) {
        remove(key);
        order_.push_back(key);
        entries_[key] = Entry{value, std::prev(order_.end())};
    }
    void remove(const std::string& key) {
        auto found = entries_.find(key);
        if (found == entries_.end()) return;
        order_.erase(found->second.position);
        entries_.erase(found);
    }
    size_t size() const { return entries_.size(); }
    // Drops the count keys set longest ago.
    void dropOldest(size_t count) {
        while (count-- > 0 && !order_.empty()) remove(order_.front());
    }
    template <class Visit>
    void forEach(Visit&& visit) const {
        for (const auto& key : order_) visit(key, entries_.at(key).value);
    }

private:
    struct Entry {
        foundation::PlistValue value;
        std::list<std::string>::iterator position;
    };
    std::list<std::string> order_;
    std::unordered_map<std::string, Entry> entries_;
};

std::string activePath(const BBXABStore* store) {
    const char* path = BBXUserLoggingActivePath(store);
    return path ? path : "";
}

void swap(const BBXABStore* store) {
    bool onA = store->state->activeFile == 0;
    const char* next = onA ? store->bPath : store->aPath;
    if (next && next[0] != '\0' && !BBXUnlinkIfExists(next))
        BBXSDKLog("%s: Error: unable to remove file %s\n", "BBXUserLoggingCheckAndSwapABFiles", next);
    store->state->activeFile = onA ? 1 : 0;
}

}  // namespace

void BBXUserLoggingInitStores(BBXReadOnlyContext* readOnly, BBXWritableContext* writable) {
    if (!readOnly || !writable) return;
    writable->log = BBXABStoreState{};
    writable->errors = BBXABStoreState{};
    writable->customExceptions = BBXABStoreState{};
    writable->keyValue.userIncrementalCount = 0;
    writable->keyValue.internalIncrementalCount = 0;
    readOnly->userLogging.maxIncrementalEntries = kBBXKeyValueMaxIncrementalEntries;
    readOnly->userLogging.startTime = BBXUserLoggingMachineTime();
    crash::Timebase timebase = crash::machineTimebase();
    readOnly->userLogging.timebaseFactor = timebase.denom ? timebase.numer / timebase.denom : 1;
}

std::optional<std::string> BBXUserLoggingValueDescription(const foundation::PlistValue& value) {
    if (value.isNull()) return std::nullopt;
    if (const std::string* text = value.asString()) return *text;
    return value.description();
}

void BBXUserLoggingRecordUserKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value) {
    recordKeyValue(key, value, false);
}

void BBXUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value) {
    recordKeyValue(key, value, true);
}

void BBXUserLoggingWriteInternalKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value) {
    if (!key || !BBXContextIsInitialized()) return;
    BBXKVStorage store = internalStorage(BBXContextGetReadOnly());
    writeKeyValueNow(*key, BBXUserLoggingValueDescription(value), &store,
                     &BBXContextGetWritable()->keyValue.internalIncrementalCount);
}

void BBXUserLoggingWriteKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value,
                                 const BBXKVStorage* store, uint32_t* counter) {
    if (!key) return;
    std::optional<std::string> description = BBXUserLoggingValueDescription(value);
    onLoggingQueue([&] { writeKeyValueNow(*key, description, store, counter); });
}

std::vector<foundation::PlistValue> BBXUserLoggingReadKVFile(const char* path) {
    std::vector<foundation::PlistValue> entries;
    auto sections = BBXFileReadSections(path, true, [](const foundation::PlistValue& section) {
        const foundation::PlistValue* entry = section.get("kv");
        return entry && entry->asDictionary() ? std::optional<foundation::PlistValue>(*entry) : std::nullopt;
    });
    if (sections) entries = std::move(*sections);
    return entries;
}

void BBXUserLoggingCompactKVEntries(const BBXKVStorage* store) {
    static const char* const kFunction = "BBXUserLoggingCompactKVEntries";
    if (reinterpret_cast<uintptr_t>(store) < 4096 || !store->incrementalPath || !store->compactedPath) {
        BBXSDKLog("%s: Error: storage invalid\n", kFunction);
        return;
    }
    // Keys in the order they were last written: the compacted file keeps that
    // order, so the next compaction still drops the stalest keys first.
    RecencyDictionary keys;
    for (const auto& entry : BBXUserLoggingReadKVFile(store->compactedPath)) {
        const foundation::PlistValue* key = entry.get("key");
        if (key && key->asString()) keys.set(*key->asString(), entry.get("value") ? *entry.get("value") : nullptr);
    }
    for (const auto& entry : BBXUserLoggingReadKVFile(store->incrementalPath)) {
        const foundation::PlistValue* key = entry.get("key");
        if (!key || !key->asString()) continue;
        const foundation::PlistValue* value = entry.get("value");
        if (!value || value->isNull()) keys.remove(*key->asString());
        else keys.set(*key->asString(), *value);
    }
    if (!BBXUnlinkIfExists(store->compactedPath))
        BBXSDKLog("%s: Error: Unable to remove compacted KV store before compaction %s\n", kFunction,
                  std::strerror(errno));
    BBXFile file;
    if (!BBXFileInitWithPathMode(&file, store->compactedPath, true, true)) {
        BBXSDKLog("%s: Error: Unable to open compacted k-v file\n", kFunction);
        return;
    }
    if (keys.size() > store->maxKeys) {
        BBXSDKLog("%s: Truncating KV set, which is above max %d\n", kFunction, static_cast<int>(store->maxKeys));
        if (store->maxKeys == 0) BBXSDKLog("%s: Error: Computed a bad count of keys to remove\n", kFunction);
        keys.dropOldest(keys.size() - store->maxKeys);
    }
    // The stored hexadecimal text goes back unchanged.
    keys.forEach([&](const std::string& key, const foundation::PlistValue& value) {
        BBXFileOpenSection(&file, "kv");
        BBXFileBeginObject(&file);
        BBXFileWriteStringEntry(&file, "key", key.c_str());
        BBXFileWriteStringEntry(&file, "value", value.asString() ? value.asString()->c_str() : nullptr);
        BBXFileEndObject(&file);
        BBXFileCloseSection(&file);
    });
    BBXFileClose(&file);
    if (!BBXUnlinkIfExists(store->incrementalPath))
        BBXSDKLog("%s: Error: Unable to remove incremental KV store after compaction %s\n", kFunction,
                  std::strerror(errno));
}

const char* BBXUserLoggingActivePath(const BBXABStore* store) {
    if (!store || !store->state) return nullptr;
    return store->state->activeFile == 0 ? store->aPath : store->bPath;
}

void BBXUserLoggingCheckAndSwapABFiles(const BBXABStore* store, uint64_t activeFileSize) {
    static const char* const kFunction = "BBXUserLoggingCheckAndSwapABFiles";
    if (!store) return;
    if (store->countRestricted) {
        if (!store->state) {
            BBXSDKLog("%s: Error: storage has invalid pointer, but is restricted by entry count\n", kFunction);
            return;
        }
        if (store->state->entryCount < store->maxCount) return;
        store->state->entryCount = 0;
        swap(store);
        return;
    }
    if (store->sizeRestricted && store->state && activeFileSize > store->maxSize) swap(store);
}

void BBXUserLoggingWriteAndCheckABFiles(const BBXABStore* store, const std::function<void(BBXFile*)>& block) {
    if (!store || !store->state || !block) return;
    uint32_t limit = store->sizeRestricted ? store->maxSize : store->maxCount;
    if (limit == 0 || activePath(store).empty()) return;
    onLoggingQueue([&] {
        BBXFile file;
        if (!BBXFileInitWithPathMode(&file, activePath(store).c_str(), true, true)) {
            BBXSDKLog("%s: Unable to open log file\n", "BBXUserLoggingWriteAndCheckABFiles");
            return;
        }
        BBXFileWriteWholeSections(&file, block);
        uint64_t size = 0;
        BBXFileCloseWithOffset(&file, &size);
        if (store->countRestricted) store->state->entryCount += 1;
        // The store record may be the caller's own: the check takes a copy.
        BBXABStore copy = *store;
        if (auto queue = BBXContextLoggingQueue()) queue->async([copy, size] { BBXUserLoggingCheckAndSwapABFiles(&copy, size); });
        else BBXUserLoggingCheckAndSwapABFiles(&copy, size);
    });
}

namespace {

void writeLogLine(const std::string& message) {
    if (!BBXContextIsInitialized()) return;
    const BBXReadOnlyContext* readOnly = BBXContextGetReadOnly();
    uint64_t elapsed = BBXUserLoggingMachineTime() - readOnly->userLogging.startTime;
    uint64_t milliseconds = elapsed * readOnly->userLogging.timebaseFactor / 1000000;
    BBXUserLoggingWriteAndCheckABFiles(&readOnly->logStore, [&](BBXFile* file) {
        BBXFileOpenSection(file, "log");
        BBXFileBeginObject(file);
        BBXFileWriteHexEntry(file, "msg", message.c_str());
        BBXFileWriteUnsignedEntry(file, "time", milliseconds);
        BBXFileEndObject(file);
        BBXFileCloseSection(file);
    });
}

}  // namespace

void BBXUserLogv(std::string_view format, std::span<const foundation::FormatArg> arguments) {
    writeLogLine(foundation::formatArgs(format, arguments));
}

void BBXUserLogvAndNSLogv(std::string_view format, std::span<const foundation::FormatArg> arguments) {
    std::string message = foundation::formatArgs(format, arguments);
    writeLogLine(message);
    foundation::systemLog(foundation::format("%@", message));
}

uint32_t BBXUserLoggingDefaultLogBufferSize() { return kDefaultLogBufferSize; }

uint64_t BBXUserLoggingMachineTime() {
    if (dispatch::Clock::isVirtual()) return static_cast<uint64_t>(dispatch::Clock::now() * 1e9);
    return crash::machineAbsoluteTime();
}

namespace {

// [hex key, hex value] pairs of a dictionary, for entries whose key and value
// both have a description.
void writeInfo(BBXFile* file, const char* key, const std::vector<std::pair<std::string, std::string>>& pairs) {
    if (pairs.empty()) return;
    BBXFileWriteKey(file, key);
    BBXFileBeginArray(file);
    for (const auto& [name, value] : pairs) {
        BBXFileBeginArray(file);
        BBXFileWriteHexElement(file, name.c_str());
        BBXFileWriteHexElement(file, value.c_str());
        BBXFileEndArray(file);
    }
    BBXFileEndArray(file);
}

}  // namespace

__attribute__((noinline)) void BBXUserLoggingRecordError(const foundation::Error* error,
                                                         const foundation::PlistValue::Dictionary* additional) {
    if (!error || !BBXContextIsInitialized()) return;
    // The stack first, on the caller's thread, from the return address into
    // the caller on: the frames of this function (and of any wrapper around
    // backtrace(), as sanitizers have) are left out.
    void* frames[kMaxErrorFrames];
    int count = backtrace(frames, kMaxErrorFrames);
    void* intoCaller = __builtin_return_address(0);
    int first = 1;
    for (int i = 0; i < count; ++i) {
        if (frames[i] == intoCaller) {
            first = i;
            break;
        }
    }
    std::vector<uint64_t> stack;
    for (int i = first; i < count; ++i) stack.push_back(reinterpret_cast<uintptr_t>(frames[i]));
    auto now = static_cast<int64_t>(::time(nullptr));

    std::vector<std::pair<std::string, std::string>> info(error->userInfo.begin(), error->userInfo.end());
    std::vector<std::pair<std::string, std::string>> extra;
    if (additional) {
        for (const auto& [name, value] : *additional)
            if (auto description = BBXUserLoggingValueDescription(value)) extra.emplace_back(name, *description);
    }
    BBXUserLoggingWriteAndCheckABFiles(&BBXContextGetReadOnly()->errorStore, [&](BBXFile* file) {
        BBXFileOpenSection(file, "error");
        BBXFileBeginObject(file);
        BBXFileWriteHexEntry(file, "domain", error->domain.c_str());
        BBXFileWriteSignedEntry(file, "code", error->code);
        BBXFileWriteSignedEntry(file, "time", now);
        BBXFileWriteKey(file, "stacktrace");
        BBXFileBeginArray(file);
        for (uint64_t address : stack) BBXFileWriteUnsignedElement(file, address);
        BBXFileEndArray(file);
        writeInfo(file, "info", info);
        writeInfo(file, "extra_info", extra);
        BBXFileEndObject(file);
        BBXFileCloseSection(file);
    });
}
