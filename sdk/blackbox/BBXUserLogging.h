#pragma once
// What the application and the kit record before any crash, so that it
// travels with the report of this launch: custom keys (the application's and
// the kit's own), log lines and recorded errors. Everything is written at
// once into record files of the report folder, bounded in size or count, so
// nothing is left to write when the process crashes.
//
// Every write runs on the logging queue ("org.blackbox.mac.logging"); callers
// wait until their entry is on disk. Compaction of the key-value files and
// the swap of A/B files run later on the same queue. Failures are lines in
// "sdk.log": the entry is lost, nothing is retried. Any thread; none of this
// runs on the crash path.
//
// Key-value files: an incremental file that every write appends a "kv"
// section to (key and value hex-encoded, null for a value without a
// description), and a compacted file holding one "kv" section per live key.
// After 64 incremental writes the two are merged into the compacted file; a
// null value removes its key, and when more keys are live than the store
// allows, the keys least recently written are dropped first.
//
// A/B files: entries go to the active file of a pair; once it holds more
// than its bytes (log lines) or its count of entries (errors, custom
// exceptions), the other file is emptied and becomes the active one, so the
// older entries survive until the next swap.

#include <array>
#include <cstdint>
#include <functional>
#include <optional>
#include <span>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Error.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/PlistValue.h"

struct BBXABStore;
struct BBXFile;
struct BBXReadOnlyContext;
struct BBXWritableContext;

inline constexpr uint32_t kBBXKeyValueMaxIncrementalEntries = 64;
inline constexpr uint32_t kBBXInternalKeyValueMaxKeys = 32;

// One key-value store: its two files and its limits. The counter of
// incremental writes is kept by the owner of the store and handed in beside it.
struct BBXKVStorage {
    const char* incrementalPath = nullptr;
    const char* compactedPath = nullptr;
    uint32_t maxIncrementalEntries = kBBXKeyValueMaxIncrementalEntries;
    uint32_t maxKeys = 0;
};

// Run by context set-up: every A/B store starts on its file A with no
// entries, both key-value stores compact after 64 writes, and log times
// count from now.
void BBXUserLoggingInitStores(BBXReadOnlyContext* readOnly, BBXWritableContext* writable);

// The description a value is recorded with: a string as it is, any other
// value as it describes itself; none for a null value.
std::optional<std::string> BBXUserLoggingValueDescription(const foundation::PlistValue& value);

// The application's keys and the kit's own. Nothing is recorded without a key
// or an initialised context. A null value removes the key.
void BBXUserLoggingRecordUserKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value);
void BBXUserLoggingRecordInternalKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value);
// The internal store, written at once: only for callers already running on
// the logging queue.
void BBXUserLoggingWriteInternalKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value);
// One "kv" section into store's incremental file, on the logging queue (in
// place when there is no queue); every 64th write of a store queues its
// compaction. counter is the store's count of incremental writes.
void BBXUserLoggingWriteKeyValue(const std::optional<std::string>& key, const foundation::PlistValue& value,
                                 const BBXKVStorage* store, uint32_t* counter);

// Merges the incremental file into the compacted one (see above) and removes
// the incremental file.
void BBXUserLoggingCompactKVEntries(const BBXKVStorage* store);
// The "kv" objects of a key-value file in file order; a file that cannot be
// read is removed and gives none.
std::vector<foundation::PlistValue> BBXUserLoggingReadKVFile(const char* path);

// An "error" section through the errors store: domain, code, time, the
// caller's stack (glibc's backtrace(), starting in the caller) and the
// error's and the caller's details. Nothing without an initialised context,
// or when error reporting is off (the store's count limit is then 0).
void BBXUserLoggingRecordError(const foundation::Error* error, const foundation::PlistValue::Dictionary* additional);

// Writes one entry through an A/B store: opens its active file (appending,
// buffered), lets block write its section (into the file in one write, see
// BBXFileWriteWholeSections), closes it, counts the entry, and
// queues the check that swaps the pair when the limit is passed. Nothing when
// the store's limit is 0.
void BBXUserLoggingWriteAndCheckABFiles(const BBXABStore* store, const std::function<void(BBXFile*)>& block);
// The swap check on its own (normally queued by the write above).
void BBXUserLoggingCheckAndSwapABFiles(const BBXABStore* store, uint64_t activeFileSize);
// The path entries of store go to now.
const char* BBXUserLoggingActivePath(const BBXABStore* store);

// Log lines: the message formatted with "%@" for objects, timed in
// milliseconds since logging started, written as a "log" section through the
// log store. The NSLog forms also write the line to the system log.
void BBXUserLogv(std::string_view format, std::span<const foundation::FormatArg> arguments);
void BBXUserLogvAndNSLogv(std::string_view format, std::span<const foundation::FormatArg> arguments);
template <class... Args>
void BBXUserLogFormat(std::string_view format, const Args&... arguments) {
    const std::array<foundation::FormatArg, sizeof...(Args)> list{foundation::FormatArg(arguments)...};
    BBXUserLogv(format, list);
}
template <class... Args>
void BBXUserLogFormatAndNSLog(std::string_view format, const Args&... arguments) {
    const std::array<foundation::FormatArg, sizeof...(Args)> list{foundation::FormatArg(arguments)...};
    BBXUserLogvAndNSLogv(format, list);
}

// The log buffer size the kit settings fall back to.
uint32_t BBXUserLoggingDefaultLogBufferSize();

// The clock log times are taken on, in nanoseconds: the machine's monotonic
// time, or the dispatch layer's virtual clock while tests run on it.
uint64_t BBXUserLoggingMachineTime();
