#pragma once
// The server's rules, written once over the SQL seam: zones, records and
// their change feed, assets, subscriptions, pushes, limits and injected
// faults. Each device of a process has its own server object on its own
// session; two devices, in one process or two, meet only in the store.
// Synchronous; any thread, one call at a time (calls are serialised).
//
// A modify is one transaction under the lock of its zones: every item is
// checked first and any failing item writes nothing (2, the item's own error,
// 22 for the rest). A save merges the keys the record changed over the stored
// fields, gets a random change tag, the zone's next change number and a
// modification date in whole milliseconds later than every date in the zone,
// so a server clock that steps back never makes a newer version look older.

#include <filesystem>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <set>
#include <string>
#include <vector>

#include "Record.h"
#include "Reply.h"
#include "ServerChangeToken.h"
#include "SqlSession.h"
#include "Subscription.h"

namespace cloud {

class ZoneServer {
public:
    static constexpr const char* kDefaultZoneName = cloud::kDefaultZoneName;
    static constexpr size_t kMaxItems = 400;
    static constexpr size_t kMaxRecordFieldBytes = size_t{1} << 20;
    static constexpr size_t kMaxRequestFieldBytes = size_t{4} << 20;
    static constexpr int64_t kDefaultAssetLimit = int64_t{64} << 20;
    static constexpr size_t kAssetChunkBytes = size_t{1} << 20;
    static constexpr int kDefaultPageSize = 200;
    static constexpr int64_t kDeletionHorizonMilliseconds = int64_t{30} * 24 * 3600 * 1000;
    // The store format this layer writes; a store of a newer one answers 18.
    static constexpr int64_t kFormatVersion = 1;

    struct Options {
        std::string deviceID;
        // Where fetched assets are written; each file is the caller's to remove.
        std::filesystem::path cacheFolder;
        int64_t assetLimit = kDefaultAssetLimit;
        int pageSize = kDefaultPageSize;
        // Tests: called between reading an asset file and checking it again.
        std::function<void(const std::filesystem::path&)> afterAssetRead;
    };

    struct ModifyResult {
        std::vector<Record> saved;
        std::vector<RecordID> deleted;
    };
    struct FetchedRecord {
        RecordID recordID;
        std::optional<Record> record;
        std::optional<Error> error;
    };
    struct Deletion {
        RecordID recordID;
        std::string recordType;
    };
    struct ChangePage {
        std::vector<Record> changed;
        std::vector<Deletion> deleted;
        ServerChangeToken token;
        bool moreComing = false;
    };
    struct ZoneSummary {
        RecordZoneID zoneID;
        int64_t records = 0;
    };
    // A rule of the faults table: the operation (and, when set, the device and
    // one of the records) it matches, the occurrence it fires at (0: every
    // time) and the error it answers. Operation "push" drops the push.
    struct Fault {
        int64_t id = 0;
        std::string operation;
        std::string device;
        std::string record;
        int64_t occurrence = 0;
        int64_t code = Error::kNetworkFailure;
        double retryAfter = 0;
        int64_t hits = 0;
    };
    // A record as the tool shows it: fields, with assets as size and hash.
    struct StoredRecord {
        Record record;
        std::map<std::string, std::pair<int64_t, std::string>> assets;
    };

    ZoneServer(std::unique_ptr<SqlSession> session, Options options);
    ~ZoneServer();
    ZoneServer(const ZoneServer&) = delete;
    ZoneServer& operator=(const ZoneServer&) = delete;

    const Options& options() const { return options_; }
    SqlSession& session() { return *session_; }

    // Makes the tables on first use and checks the store's format (18 when
    // newer) and account name (a store made for another account is refused).
    Reply<Done> open(const std::string& account);
    // Whether the account carries the restricted mark.
    Reply<bool> isRestricted();

    Reply<Done> modifyZones(const std::vector<RecordZoneID>& saves, const std::vector<RecordZoneID>& deletes);
    Reply<RecordZoneID> fetchZone(const RecordZoneID& zoneID);
    Reply<std::vector<ZoneSummary>> zones();

    Reply<ModifyResult> modifyRecords(const std::vector<Record>& saves, const std::vector<RecordID>& deletes);
    // No desiredKeys: every key.
    Reply<std::vector<FetchedRecord>> fetchRecords(const std::vector<RecordID>& ids,
                                                   const std::optional<std::set<std::string>>& desiredKeys);
    Reply<ChangePage> fetchChanges(const RecordZoneID& zoneID, const std::optional<ServerChangeToken>& token,
                                   const std::optional<std::set<std::string>>& desiredKeys);

    Reply<Done> modifySubscriptions(const std::vector<Subscription>& saves, const std::vector<std::string>& deletes);
    Reply<std::vector<Subscription>> fetchSubscriptions();

    // Whether another device changed a zone this device subscribes to since
    // this device last asked; asking moves what it has seen to now.
    Reply<bool> takePush();

    // The account's key-value store: keys with property-list bytes, the
    // last write to arrive winning. A put writes its keys (nothing: removed)
    // under one new change number and tells other devices; past the limits
    // (kMaxKeyValueKeys keys, kMaxKeyValueKeyBytes a key, kMaxKeyValueBytes in
    // all, as each value's counted bytes say) it answers 27 and writes nothing.
    static constexpr size_t kMaxKeyValueKeys = 1024;
    static constexpr size_t kMaxKeyValueKeyBytes = 64;
    static constexpr int64_t kMaxKeyValueBytes = int64_t{1} << 20;
    struct KeyValue {
        std::string key;
        std::optional<std::string> value;
        int64_t bytes = 0;  // what it counts against kMaxKeyValueBytes
        int64_t change = 0;
    };
    struct KeyValuePage {
        std::vector<KeyValue> values;
        int64_t latest = 0;  // the newest change number of the store
    };
    Reply<int64_t> putKeyValues(const std::vector<KeyValue>& values);
    // Keys changed after change, by other devices unless everyone.
    Reply<KeyValuePage> keyValuesAfter(int64_t change, bool everyone);
    // The store's identity, which a new store of the same account name does not share.
    const std::string& storeID() const { return storeID_; }

    // What the tool inspects and injects.
    Reply<std::vector<StoredRecord>> dump(const RecordZoneID& zoneID);
    Reply<Done> expireTokens();
    Reply<Done> setQuota(int64_t bytes);
    Reply<Done> setRestricted(bool restricted);
    Reply<Done> addFault(const Fault& fault);
    Reply<std::vector<Fault>> faults();
    Reply<Done> clearFaults();

private:
    class Transaction;
    struct PreparedAsset;
    struct ZoneRow;

    Reply<std::vector<SqlRow>> query(std::string_view sql, const std::vector<SqlValue>& parameters);
    std::optional<Error> injectedFault(const std::string& operation, const std::vector<std::string>& records);
    Reply<std::optional<ZoneRow>> zoneRow(const std::string& zoneName);
    // A record from the columns name, type, tag, created, modified, fields
    // starting at first; its assets become files when withAssets.
    Reply<Record> recordFromRow(const RecordZoneID& zoneID, const SqlRow& row, size_t first,
                                const std::optional<std::set<std::string>>& desiredKeys, bool withAssets);
    Reply<std::map<std::string, FieldValue>> downloadAssets(const RecordZoneID& zoneID, const std::string& name,
                                                            std::map<std::string, FieldValue> fields);
    Reply<Done> storeAsset(const std::string& zone, const std::string& name, const std::string& key,
                           const PreparedAsset& asset);
    Reply<int64_t> deleteCascade(const std::string& zone, const std::string& name, int64_t& nextChange, int64_t ms);
    Reply<Done> writeRecord(const Record& record, const std::optional<SqlRow>& existing,
                            const std::map<std::string, PreparedAsset>& assets, int64_t change, int64_t ms,
                            Record& saved);

    std::mutex mutex_;
    std::unique_ptr<SqlSession> session_;
    Options options_;
    std::string storeID_;
    bool assetsRemoved_ = false;
};

}  // namespace cloud
