#include "ZoneServer.h"

#include <fcntl.h>
#include <sys/stat.h>
#include <unistd.h>

#include <random>

#include "ByteCodec.h"
#include "platform/foundation/Format.h"
#include "platform/foundation/SystemLog.h"
#include "platform/foundation/UTF8.h"
#include "platform/foundation/UUID.h"

namespace cloud {

namespace {

// Assets live in the store as chunks; a record's field holds this internal
// kind (size and SHA-256 of the whole file) and is turned into a file when the
// record is delivered.
constexpr uint8_t kStoredAssetKind = 200;

// The SQL here is what SQLite and PostgreSQL both take (upserts with ON
// CONFLICT), so every back-end runs the same statements; "?" parameters are
// the back-end's to translate.
constexpr const char* kSetMeta =
    "INSERT INTO meta(key, value) VALUES (?, ?) ON CONFLICT (key) DO UPDATE SET value = excluded.value";

std::string randomTag() {
    thread_local std::mt19937_64 generator(std::random_device{}());
    static const char* kDigits = "0123456789abcdef";
    std::string tag;
    uint64_t bits = generator();
    for (int i = 0; i < 16; ++i, bits >>= 4) tag.push_back(kDigits[bits & 15]);
    return tag;
}

std::string storedAssetBytes(int64_t size, const std::string& sha) {
    std::string out;
    ByteCodec::putI64(out, size);
    ByteCodec::putBytes(out, sha);
    return out;
}

std::optional<std::pair<int64_t, std::string>> parseStoredAsset(const foundation::Data& bytes) {
    std::string_view in(reinterpret_cast<const char*>(bytes.bytes()), bytes.length());
    auto size = ByteCodec::getI64(in);
    auto sha = ByteCodec::getBytes(in, 64);
    if (!size || !sha || !in.empty()) return std::nullopt;
    return std::pair(*size, *sha);
}

// Names are text: valid UTF-8 without NUL. PostgreSQL's text cannot hold
// anything else, so both back-ends refuse such a name rather than one of them
// keeping a different name than was sent.
bool storableName(std::string_view name) {
    for (size_t i = 0; i < name.size();) {
        if (name[i] == '\0') return false;
        const size_t at = i;
        if (foundation::decodeUTF8(name, i) == foundation::kReplacementCharacter &&
            name.substr(at, i - at) != "\xEF\xBF\xBD")
            return false;
    }
    return true;
}

const UnknownValue* storedAsset(const FieldValue& value) {
    const auto* unknown = std::get_if<UnknownValue>(&value);
    return unknown && unknown->kind == kStoredAssetKind ? unknown : nullptr;
}

}  // namespace

int64_t sqlInteger(const SqlValue& value, int64_t fallback) {
    if (const auto* v = std::get_if<int64_t>(&value)) return *v;
    if (const auto* v = std::get_if<double>(&value)) return static_cast<int64_t>(*v);
    return fallback;
}

double sqlReal(const SqlValue& value, double fallback) {
    if (const auto* v = std::get_if<double>(&value)) return *v;
    if (const auto* v = std::get_if<int64_t>(&value)) return static_cast<double>(*v);
    return fallback;
}

std::string sqlText(const SqlValue& value) {
    if (const auto* v = std::get_if<std::string>(&value)) return *v;
    if (const auto* v = std::get_if<SqlBlob>(&value)) return v->bytes;
    if (const auto* v = std::get_if<int64_t>(&value)) return std::to_string(*v);
    return {};
}

// A transaction that rolls back unless committed.
class ZoneServer::Transaction {
public:
    explicit Transaction(SqlSession& session) : session_(session) {}
    ~Transaction() {
        if (open_) session_.rollback();
    }
    Reply<Done> begin(bool writing) {
        auto reply = session_.begin(writing);
        open_ = reply.ok();
        return reply;
    }
    Reply<Done> commit() {
        open_ = false;
        auto reply = session_.commit();
        if (!reply) session_.rollback();
        return reply;
    }

private:
    SqlSession& session_;
    bool open_ = false;
};

// An asset read once: its bytes are held whole only here, and each chunk is
// copied out only while it is sent.
struct ZoneServer::PreparedAsset {
    int64_t size = 0;
    std::string sha;
    std::string contents;
    std::vector<std::string> hashes;  // of each kAssetChunkBytes chunk, in order
};

struct ZoneServer::ZoneRow {
    std::string incarnation;
    int64_t nextChange = 1;
    int64_t lastMilliseconds = 0;
    int64_t horizon = 0;
};

ZoneServer::ZoneServer(std::unique_ptr<SqlSession> session, Options options)
    : session_(std::move(session)), options_(std::move(options)) {}

ZoneServer::~ZoneServer() = default;

Reply<std::vector<SqlRow>> ZoneServer::query(std::string_view sql, const std::vector<SqlValue>& parameters) {
    return session_->query(sql, parameters);
}

#define TRY(expression)                                  \
    do {                                                 \
        auto reply_ = (expression);                      \
        if (!reply_) return reply_.error();              \
    } while (0)

Reply<Done> ZoneServer::open(const std::string& account) {
    std::lock_guard lock(mutex_);
    Transaction transaction(*session_);
    TRY(transaction.begin(true));
    auto rows = query("SELECT key, value FROM meta", {});
    if (!rows) return rows.error();
    std::string storedAccount;
    for (const SqlRow& row : rows.value()) {
        const std::string key = sqlText(row[0]);
        if (key == "format" && std::stoll("0" + sqlText(row[1])) > kFormatVersion)
            return Error(Error::kIncompatibleVersion,
                         "the store in " + session_->location() + " has a newer format than this program reads");
        if (key == "store") storeID_ = sqlText(row[1]);
        if (key == "account") storedAccount = sqlText(row[1]);
    }
    if (!storedAccount.empty() && storedAccount != account)
        return Error(Error::kNotAuthenticated,
                     "the store in " + session_->location() + " belongs to account \"" + storedAccount + "\"");
    if (storeID_.empty()) {
        storeID_ = foundation::UUID::random().string();
        TRY(query("INSERT INTO meta(key, value) VALUES ('store', ?)", {storeID_}));
    }
    if (storedAccount.empty()) TRY(query("INSERT INTO meta(key, value) VALUES ('account', ?)", {account}));
    TRY(query("INSERT INTO zones(name, incarnation, next_change, last_ms, horizon) VALUES (?, ?, 1, 0, 0) "
              "ON CONFLICT (name) DO NOTHING",
              {std::string(kDefaultZoneName), foundation::UUID::random().string()}));
    return transaction.commit();
}

Reply<bool> ZoneServer::isRestricted() {
    std::lock_guard lock(mutex_);
    auto rows = query("SELECT value FROM meta WHERE key = 'restricted'", {});
    if (!rows) return rows.error();
    return !rows.value().empty() && sqlText(rows.value()[0][0]) == "1";
}

std::optional<Error> ZoneServer::injectedFault(const std::string& operation, const std::vector<std::string>& records) {
    auto rows = query("SELECT id, record, occurrence, code, retry_after, hits FROM faults "
                      "WHERE operation = ? AND (device = '' OR device = ?)",
                      {operation, options_.deviceID});
    if (!rows || rows.value().empty()) return std::nullopt;
    for (const SqlRow& row : rows.value()) {
        const std::string record = sqlText(row[1]);
        if (!record.empty() && std::find(records.begin(), records.end(), record) == records.end()) continue;
        const int64_t hits = sqlInteger(row[5]) + 1;
        (void)query("UPDATE faults SET hits = ? WHERE id = ?", {hits, sqlInteger(row[0])});
        const int64_t occurrence = sqlInteger(row[2]);
        if (occurrence != 0 && occurrence != hits) continue;
        Error error(sqlInteger(row[3]), "injected fault on " + operation);
        if (const double retry = sqlReal(row[4]); retry > 0) error.retryAfter = retry;
        return error;
    }
    return std::nullopt;
}

Reply<std::optional<ZoneServer::ZoneRow>> ZoneServer::zoneRow(const std::string& zoneName) {
    if (!storableName(zoneName)) return std::optional<ZoneRow>();
    auto rows = query("SELECT incarnation, next_change, last_ms, horizon FROM zones WHERE name = ?", {zoneName});
    if (!rows) return rows.error();
    if (rows.value().empty()) return std::optional<ZoneRow>();
    const SqlRow& row = rows.value()[0];
    return std::optional<ZoneRow>(
        ZoneRow{sqlText(row[0]), sqlInteger(row[1]), sqlInteger(row[2]), sqlInteger(row[3])});
}

// MARK: Zones

Reply<Done> ZoneServer::modifyZones(const std::vector<RecordZoneID>& saves, const std::vector<RecordZoneID>& deletes) {
    std::lock_guard lock(mutex_);
    if (auto fault = injectedFault("modify-zones", {})) return *fault;
    for (const RecordZoneID& zone : saves)
        if (!storableName(zone.zoneName))
            return Error(Error::kInvalidArguments, "A zone name must be UTF-8 text without NUL");
    Transaction transaction(*session_);
    TRY(transaction.begin(true));
    for (const RecordZoneID& zone : saves) {
        TRY(query("INSERT INTO zones(name, incarnation, next_change, last_ms, horizon) VALUES (?, ?, 1, 0, 0) "
                  "ON CONFLICT (name) DO NOTHING",
                  {zone.zoneName, foundation::UUID::random().string()}));
    }
    for (const RecordZoneID& zone : deletes) {
        if (zone.zoneName == kDefaultZoneName || !storableName(zone.zoneName)) continue;
        TRY(session_->lockZone(zone.zoneName));
        for (const char* sql : {"DELETE FROM records WHERE zone = ?", "DELETE FROM tombstones WHERE zone = ?",
                                "DELETE FROM refs WHERE zone = ?", "DELETE FROM assets WHERE zone = ?",
                                "DELETE FROM zones WHERE name = ?"})
            TRY(query(sql, {zone.zoneName}));
    }
    if (!deletes.empty())
        TRY(query("DELETE FROM chunks WHERE NOT EXISTS (SELECT 1 FROM assets WHERE assets.hash = chunks.hash)", {}));
    TRY(transaction.commit());
    if (!deletes.empty()) session_->announceCommit();
    return Done{};
}

Reply<RecordZoneID> ZoneServer::fetchZone(const RecordZoneID& zoneID) {
    std::lock_guard lock(mutex_);
    if (auto fault = injectedFault("fetch-zone", {})) return *fault;
    auto row = zoneRow(zoneID.zoneName);
    if (!row) return row.error();
    if (!row.value()) return Error(Error::kZoneNotFound, "Zone \"" + zoneID.zoneName + "\" does not exist");
    return zoneID;
}

Reply<std::vector<ZoneServer::ZoneSummary>> ZoneServer::zones() {
    std::lock_guard lock(mutex_);
    auto rows = query("SELECT z.name, (SELECT COUNT(*) FROM records r WHERE r.zone = z.name) FROM zones z "
                      "ORDER BY z.name",
                      {});
    if (!rows) return rows.error();
    std::vector<ZoneSummary> zones;
    for (const SqlRow& row : rows.value()) zones.push_back({{sqlText(row[0])}, sqlInteger(row[1])});
    return zones;
}

// MARK: Records

namespace {

// Reads an asset file whole, checking that it did not change while read.
Reply<std::string> readAssetFile(const std::filesystem::path& path, int64_t limit,
                                 const std::function<void(const std::filesystem::path&)>& afterRead) {
    const int fd = ::open(path.c_str(), O_RDONLY | O_CLOEXEC);
    struct stat before {};
    if (fd < 0 || ::fstat(fd, &before) != 0 || !S_ISREG(before.st_mode)) {
        if (fd >= 0) ::close(fd);
        return Error(Error::kAssetFileNotFound, "Asset file " + path.string() + " not found");
    }
    if (before.st_size > limit) {
        ::close(fd);
        return Error(Error::kLimitExceeded, "Asset file " + path.string() + " is over the limit of " +
                                                std::to_string(limit) + " bytes");
    }
    std::string bytes(static_cast<size_t>(before.st_size), '\0');
    size_t done = 0;
    while (done < bytes.size()) {
        const ssize_t n = ::read(fd, bytes.data() + done, bytes.size() - done);
        if (n <= 0) break;
        done += static_cast<size_t>(n);
    }
    if (afterRead) afterRead(path);
    char extra;
    const bool grew = ::read(fd, &extra, 1) > 0;
    struct stat after {};
    const bool same = ::fstat(fd, &after) == 0 && after.st_size == before.st_size &&
                      after.st_mtim.tv_sec == before.st_mtim.tv_sec && after.st_mtim.tv_nsec == before.st_mtim.tv_nsec;
    ::close(fd);
    if (done != bytes.size() || grew || !same)
        return Error(Error::kAssetFileModified, "Asset file " + path.string() + " changed while it was read");
    return bytes;
}

}  // namespace

Reply<Done> ZoneServer::storeAsset(const std::string& zone, const std::string& name, const std::string& key,
                                   const PreparedAsset& asset) {
    for (size_t i = 0; i < asset.hashes.size(); ++i) {
        SqlBlob chunk{asset.contents.substr(i * kAssetChunkBytes, kAssetChunkBytes)};
        const auto size = static_cast<int64_t>(chunk.bytes.size());
        TRY(query("INSERT INTO chunks(hash, size, data) VALUES (?, ?, ?) ON CONFLICT (hash) DO NOTHING",
                  {asset.hashes[i], size, std::move(chunk)}));
        TRY(query("INSERT INTO assets(zone, name, key, idx, hash) VALUES (?, ?, ?, ?, ?)",
                  {zone, name, key, static_cast<int64_t>(i), asset.hashes[i]}));
    }
    return Done{};
}

Reply<Done> ZoneServer::writeRecord(const Record& record, const std::optional<SqlRow>& existing,
                                    const std::map<std::string, PreparedAsset>& assets, int64_t change, int64_t ms,
                                    Record& saved) {
    const std::string& zone = record.recordID().zoneID.zoneName;
    const std::string& name = record.recordID().recordName;
    std::map<std::string, FieldValue> fields;
    int64_t created = ms;
    bool hadRefs = false;
    if (existing) {
        auto decoded = ByteCodec::decodeFields(sqlText((*existing)[3]));
        if (decoded) fields = std::move(*decoded);
        created = sqlInteger((*existing)[2]);
        hadRefs = sqlInteger((*existing)[4]) != 0;
    }
    std::map<std::string, FieldValue> delivered;
    for (const std::string& key : record.changedKeys()) {
        const bool hadAsset = fields.count(key) && storedAsset(fields.at(key));
        if (hadAsset) {
            TRY(query("DELETE FROM assets WHERE zone = ? AND name = ? AND key = ?", {zone, name, key}));
            assetsRemoved_ = true;
        }
        auto value = record.objectForKey(key);
        if (!value) {
            fields.erase(key);
        } else if (std::holds_alternative<Asset>(*value)) {
            const PreparedAsset& asset = assets.at(key);
            TRY(storeAsset(zone, name, key, asset));
            const std::string bytes = storedAssetBytes(asset.size, asset.sha);
            fields[key] = UnknownValue{kStoredAssetKind, foundation::Data(bytes.data(), bytes.size())};
            delivered[key] = *value;
        } else {
            fields[key] = *value;
        }
    }
    std::vector<std::string> targets;
    for (const auto& [key, value] : fields)
        if (const auto* ref = std::get_if<Reference>(&value); ref && ref->action == Reference::DeleteSelf)
            targets.push_back(ref->recordID.recordName);
    if (hadRefs) TRY(query("DELETE FROM refs WHERE zone = ? AND name = ?", {zone, name}));
    for (const std::string& target : targets)
        TRY(query("INSERT INTO refs(zone, name, target) VALUES (?, ?, ?) ON CONFLICT DO NOTHING", {zone, name, target}));
    const std::string encoded = ByteCodec::encodeFields(fields);
    const std::string tag = randomTag();
    TRY(query("INSERT INTO records(zone, name, type, tag, created_ms, modified_ms, change, writer, fields, bytes, "
              "has_refs) VALUES (?, ?, ?, ?, ?, ?, ?, ?, ?, ?, ?) ON CONFLICT (zone, name) DO UPDATE SET "
              "type = excluded.type, tag = excluded.tag, created_ms = excluded.created_ms, "
              "modified_ms = excluded.modified_ms, change = excluded.change, writer = excluded.writer, "
              "fields = excluded.fields, bytes = excluded.bytes, has_refs = excluded.has_refs",
              {zone, name, record.recordType(), tag, created, ms, change, options_.deviceID, SqlBlob{encoded},
               static_cast<int64_t>(encoded.size()), static_cast<int64_t>(!targets.empty())}));
    if (!existing) TRY(query("DELETE FROM tombstones WHERE zone = ? AND name = ?", {zone, name}));
    // The saved version as the caller knows it: its own asset files, no
    // download of assets it did not send.
    for (auto& [key, value] : fields)
        if (!storedAsset(value)) delivered.emplace(key, value);
    saved = Record::stored(record.recordType(), record.recordID(), std::move(delivered), tag,
                           Record::dateFromMilliseconds(created), Record::dateFromMilliseconds(ms));
    return Done{};
}

Reply<int64_t> ZoneServer::deleteCascade(const std::string& zone, const std::string& name, int64_t& nextChange,
                                         int64_t ms) {
    int64_t deleted = 0;
    std::vector<std::string> pending{name};
    while (!pending.empty()) {
        const std::string current = std::move(pending.back());
        pending.pop_back();
        auto rows = query("SELECT type FROM records WHERE zone = ? AND name = ?", {zone, current});
        if (!rows) return rows.error();
        if (rows.value().empty()) continue;
        const std::string type = sqlText(rows.value()[0][0]);
        TRY(query("DELETE FROM records WHERE zone = ? AND name = ?", {zone, current}));
        TRY(query("DELETE FROM refs WHERE zone = ? AND name = ?", {zone, current}));
        TRY(query("DELETE FROM assets WHERE zone = ? AND name = ?", {zone, current}));
        if (session_->changes() > 0) assetsRemoved_ = true;
        // The default zone has no change feed, so nothing remembers its deletions.
        if (zone != kDefaultZoneName)
            TRY(query("INSERT INTO tombstones(zone, name, type, change, writer, deleted_ms) VALUES (?, ?, ?, ?, ?, ?) "
                      "ON CONFLICT (zone, name) DO UPDATE SET type = excluded.type, change = excluded.change, "
                      "writer = excluded.writer, deleted_ms = excluded.deleted_ms",
                      {zone, current, type, nextChange++, options_.deviceID, ms}));
        ++deleted;
        auto dependants = query("SELECT name FROM refs WHERE zone = ? AND target = ?", {zone, current});
        if (!dependants) return dependants.error();
        for (const SqlRow& row : dependants.value()) pending.push_back(sqlText(row[0]));
    }
    return deleted;
}

Reply<ZoneServer::ModifyResult> ZoneServer::modifyRecords(const std::vector<Record>& saves,
                                                          const std::vector<RecordID>& deletes) {
    std::lock_guard lock(mutex_);
    if (saves.size() + deletes.size() > kMaxItems)
        return Error(Error::kLimitExceeded, "A modify carries at most " + std::to_string(kMaxItems) + " items");
    std::vector<std::string> names;
    for (const Record& record : saves) names.push_back(record.recordID().recordName);
    for (const RecordID& id : deletes) names.push_back(id.recordName);
    if (auto fault = injectedFault("modify", names)) return *fault;

    // Checks that need no store: sizes and asset files, read before the
    // transaction so the zone lock is not held over file reads.
    std::map<RecordID, Error> itemErrors;
    std::vector<std::map<std::string, PreparedAsset>> assets(saves.size());
    size_t requestBytes = 0;
    for (size_t i = 0; i < saves.size(); ++i) {
        const Record& record = saves[i];
        if (!storableName(record.recordID().recordName)) {
            itemErrors.emplace(record.recordID(),
                               Error(Error::kInvalidArguments, "A record name must be UTF-8 text without NUL"));
            continue;
        }
        size_t bytes = 0;
        for (const std::string& key : record.changedKeys()) {
            auto value = record.objectForKey(key);
            if (!value) continue;
            const auto* reference = std::get_if<Reference>(&*value);
            if (!storableName(key) || (reference && !storableName(reference->recordID.recordName))) {
                itemErrors.emplace(record.recordID(), Error(Error::kInvalidArguments,
                                                            "Field keys and referenced names must be UTF-8 text "
                                                            "without NUL"));
                break;
            }
            if (const auto* asset = std::get_if<Asset>(&*value)) {
                auto contents = readAssetFile(asset->fileURL, options_.assetLimit, options_.afterAssetRead);
                if (!contents) {
                    itemErrors.emplace(record.recordID(), contents.error());
                    break;
                }
                PreparedAsset prepared;
                prepared.contents = std::move(contents).value();
                prepared.size = static_cast<int64_t>(prepared.contents.size());
                prepared.sha = ByteCodec::sha256Hex(prepared.contents);
                const std::string_view whole(prepared.contents);
                for (size_t at = 0; at < whole.size(); at += kAssetChunkBytes)
                    prepared.hashes.push_back(ByteCodec::sha256Hex(whole.substr(at, kAssetChunkBytes)));
                assets[i].emplace(key, std::move(prepared));
            } else {
                bytes += key.size() + ByteCodec::encodeValue(*value).size();
            }
        }
        if (bytes > kMaxRecordFieldBytes && !itemErrors.count(record.recordID()))
            itemErrors.emplace(record.recordID(),
                               Error(Error::kLimitExceeded, "Record \"" + record.recordID().recordName +
                                                                "\" has more than 1 MiB of fields"));
        requestBytes += bytes;
    }
    if (requestBytes > kMaxRequestFieldBytes && saves.size() > 1)
        return Error(Error::kLimitExceeded, "A modify carries at most 4 MiB of fields");

    std::set<std::string> zoneNames;
    for (const Record& record : saves) zoneNames.insert(record.recordID().zoneID.zoneName);
    for (const RecordID& id : deletes) zoneNames.insert(id.zoneID.zoneName);
    for (const std::string& zone : zoneNames)
        if (!storableName(zone)) return Error(Error::kZoneNotFound, "No zone has a name that is not UTF-8 text");

    Transaction transaction(*session_);
    TRY(transaction.begin(true));
    auto settings = query("SELECT key, value FROM meta WHERE key IN ('quota', 'restricted')", {});
    if (!settings) return settings.error();
    int64_t quota = 0;
    for (const SqlRow& row : settings.value()) {
        if (sqlText(row[0]) == "quota") quota = std::stoll("0" + sqlText(row[1]));
        if (sqlText(row[0]) == "restricted" && sqlText(row[1]) == "1")
            return Error(Error::kNotAuthenticated, "The account is restricted");
    }
    std::map<std::string, ZoneRow> zones;
    for (const std::string& zone : zoneNames) {
        // The lock first: numbers and dates read after it follow commit order.
        TRY(session_->lockZone(zone));
        auto row = zoneRow(zone);
        if (!row) return row.error();
        if (!row.value()) return Error(Error::kZoneNotFound, "Zone \"" + zone + "\" does not exist");
        zones.emplace(zone, *row.value());
    }

    std::vector<std::optional<SqlRow>> existing(saves.size());
    for (size_t i = 0; i < saves.size(); ++i) {
        const Record& record = saves[i];
        const RecordID& id = record.recordID();
        // Refused already: nothing will be written, and its name may not even be text.
        if (itemErrors.count(id)) continue;
        auto rows = query("SELECT type, tag, created_ms, fields, has_refs, modified_ms FROM records "
                          "WHERE zone = ? AND name = ?",
                          {id.zoneID.zoneName, id.recordName});
        if (!rows) return rows.error();
        if (!rows.value().empty()) existing[i] = rows.value()[0];
        if (itemErrors.count(id)) continue;
        const std::string& tag = record.recordChangeTag();
        if (existing[i] && tag != sqlText((*existing[i])[1])) {
            Error error(Error::kServerRecordChanged, "Record \"" + id.recordName + "\" was changed on the server");
            // The server's version with its fields; assets are left out (a
            // caller that needs them fetches the record).
            const SqlRow& row = *existing[i];
            auto server = recordFromRow(id.zoneID, {id.recordName, row[0], row[1], row[2], row[5], row[3]}, 0,
                                        std::nullopt, false);
            if (server) error.serverRecord = std::make_shared<Record>(std::move(server).value());
            itemErrors.emplace(id, std::move(error));
        } else if (!existing[i] && !tag.empty()) {
            itemErrors.emplace(id, Error(Error::kUnknownItem, "Record \"" + id.recordName + "\" does not exist"));
        }
    }
    if (!itemErrors.empty()) {
        Error error(Error::kPartialFailure, "Failed to modify some records");
        auto add = [&](const RecordID& id) {
            auto it = itemErrors.find(id);
            error.partialErrors[id] = std::make_shared<Error>(
                it != itemErrors.end() ? it->second
                                       : Error(Error::kBatchRequestFailed, "Record \"" + id.recordName +
                                                                               "\" was not saved: another item failed"));
        };
        for (const Record& record : saves) add(record.recordID());
        for (const RecordID& id : deletes) add(id);
        return error;
    }

    const int64_t now = session_->serverMilliseconds();
    assetsRemoved_ = false;
    std::map<std::string, int64_t> stamps;
    for (auto& [name, zone] : zones) {
        stamps[name] = std::max(now, zone.lastMilliseconds + 1);
        zone.lastMilliseconds = stamps[name];
    }
    ModifyResult result;
    for (size_t i = 0; i < saves.size(); ++i) {
        const std::string& zoneName = saves[i].recordID().zoneID.zoneName;
        ZoneRow& zone = zones.at(zoneName);
        const int64_t change = zoneName == kDefaultZoneName ? 0 : zone.nextChange++;
        Record saved;
        TRY(writeRecord(saves[i], existing[i], assets[i], change, stamps.at(zoneName), saved));
        result.saved.push_back(std::move(saved));
    }
    bool removed = false;
    for (const RecordID& id : deletes) {
        // No record has such a name: deleting a missing record succeeds.
        if (!storableName(id.recordName)) {
            result.deleted.push_back(id);
            continue;
        }
        ZoneRow& zone = zones.at(id.zoneID.zoneName);
        auto count = deleteCascade(id.zoneID.zoneName, id.recordName, zone.nextChange, stamps.at(id.zoneID.zoneName));
        if (!count) return count.error();
        removed = removed || count.value() > 0;
        result.deleted.push_back(id);
    }
    if (removed) {
        // Deletions older than the horizon are forgotten; a token from before
        // the newest of them can no longer be answered.
        for (const auto& [name, zone] : zones) {
            const int64_t limit = now - kDeletionHorizonMilliseconds;
            auto old = query("SELECT MAX(change) FROM tombstones WHERE zone = ? AND deleted_ms < ?", {name, limit});
            if (!old) return old.error();
            if (!old.value().empty() && sqlInteger(old.value()[0][0], -1) >= 0) {
                TRY(query("DELETE FROM tombstones WHERE zone = ? AND deleted_ms < ?", {name, limit}));
                zones.at(name).horizon = std::max(zone.horizon, sqlInteger(old.value()[0][0]));
            }
        }
    }
    for (const auto& [name, zone] : zones)
        TRY(query("UPDATE zones SET next_change = ?, last_ms = ?, horizon = ? WHERE name = ?",
                  {zone.nextChange, zone.lastMilliseconds, zone.horizon, name}));
    if (assetsRemoved_)
        TRY(query("DELETE FROM chunks WHERE NOT EXISTS (SELECT 1 FROM assets WHERE assets.hash = chunks.hash)", {}));
    if (quota > 0 && !saves.empty()) {
        auto usage = query("SELECT (SELECT COALESCE(SUM(bytes), 0) FROM records) + "
                           "(SELECT COALESCE(SUM(size), 0) FROM chunks)",
                           {});
        if (!usage) return usage.error();
        if (sqlInteger(usage.value()[0][0]) > quota)
            return Error(Error::kQuotaExceeded, "The account is over its quota of " + std::to_string(quota) + " bytes");
    }
    if (!injectedFault("push", names)) session_->announceCommit();
    TRY(transaction.commit());
    return result;
}

Reply<Record> ZoneServer::recordFromRow(const RecordZoneID& zoneID, const SqlRow& row, size_t first,
                                        const std::optional<std::set<std::string>>& desiredKeys, bool withAssets) {
    const std::string name = sqlText(row[first]);
    auto decoded = ByteCodec::decodeFields(sqlText(row[first + 5]));
    if (!decoded) return Error(Error::kNetworkFailure, "Record \"" + name + "\" is damaged in the store");
    std::map<std::string, FieldValue> fields;
    for (auto& [key, value] : *decoded) {
        if (desiredKeys && !desiredKeys->count(key)) continue;
        if (!withAssets && storedAsset(value)) continue;
        fields.emplace(key, std::move(value));
    }
    if (withAssets) {
        auto downloaded = downloadAssets(zoneID, name, std::move(fields));
        if (!downloaded) return downloaded.error();
        fields = std::move(downloaded).value();
    }
    return Record::stored(sqlText(row[first + 1]), RecordID{name, zoneID}, std::move(fields), sqlText(row[first + 2]),
                          Record::dateFromMilliseconds(sqlInteger(row[first + 3])),
                          Record::dateFromMilliseconds(sqlInteger(row[first + 4])));
}

Reply<std::map<std::string, FieldValue>> ZoneServer::downloadAssets(const RecordZoneID& zoneID, const std::string& name,
                                                                    std::map<std::string, FieldValue> fields) {
    std::vector<std::string> damaged;
    for (auto it = fields.begin(); it != fields.end();) {
        const UnknownValue* stored = storedAsset(it->second);
        if (!stored) {
            ++it;
            continue;
        }
        auto described = parseStoredAsset(stored->bytes);
        auto rows = query("SELECT a.hash, c.data FROM assets a LEFT JOIN chunks c ON c.hash = a.hash "
                          "WHERE a.zone = ? AND a.name = ? AND a.key = ? ORDER BY a.idx",
                          {zoneID.zoneName, name, it->first});
        if (!rows) return rows.error();
        std::string contents;
        bool sound = described.has_value();
        for (const SqlRow& row : rows.value()) {
            const std::string chunk = sqlText(row[1]);
            if (std::holds_alternative<std::monostate>(row[1]) || ByteCodec::sha256Hex(chunk) != sqlText(row[0])) {
                sound = false;
                break;
            }
            contents += chunk;
        }
        sound = sound && static_cast<int64_t>(contents.size()) == described->first &&
                ByteCodec::sha256Hex(contents) == described->second;
        // The file's name is ours, never taken from the record: a record name
        // or field can hold "/" or "..".
        const std::filesystem::path path = options_.cacheFolder / ("asset-" + foundation::UUID::random().string());
        if (sound) {
            std::error_code error;
            std::filesystem::create_directories(options_.cacheFolder, error);
            const foundation::Data data(contents.data(), contents.size());
            sound = data.writeToFile(path, 0600).ok();
        }
        if (!sound) {
            damaged.push_back(it->first);
            it = fields.erase(it);
            continue;
        }
        it->second = Asset{path};
        ++it;
    }
    if (!damaged.empty()) {
        std::string keys;
        for (const std::string& key : damaged) keys += (keys.empty() ? "" : ", ") + key;
        foundation::systemLog(foundation::format("Cloud record \"%@\": asset %@ missing or damaged in the store; "
                                                 "delivered without it",
                                                 name, keys));
    }
    return fields;
}

Reply<std::vector<ZoneServer::FetchedRecord>> ZoneServer::fetchRecords(
    const std::vector<RecordID>& ids, const std::optional<std::set<std::string>>& desiredKeys) {
    std::lock_guard lock(mutex_);
    if (ids.size() > kMaxItems)
        return Error(Error::kLimitExceeded, "A fetch carries at most " + std::to_string(kMaxItems) + " items");
    std::vector<std::string> names;
    for (const RecordID& id : ids) names.push_back(id.recordName);
    if (auto fault = injectedFault("fetch", names)) return *fault;
    Transaction transaction(*session_);
    TRY(transaction.begin(false));
    std::vector<FetchedRecord> fetched;
    for (const RecordID& id : ids) {
        FetchedRecord item{id, std::nullopt, std::nullopt};
        if (!storableName(id.zoneID.zoneName) || !storableName(id.recordName)) {
            item.error = Error(Error::kUnknownItem, "Record \"" + id.recordName + "\" does not exist");
            fetched.push_back(std::move(item));
            continue;
        }
        auto zone = zoneRow(id.zoneID.zoneName);
        if (!zone) return zone.error();
        if (!zone.value()) {
            item.error = Error(Error::kZoneNotFound, "Zone \"" + id.zoneID.zoneName + "\" does not exist");
            fetched.push_back(std::move(item));
            continue;
        }
        auto rows = query("SELECT name, type, tag, created_ms, modified_ms, fields FROM records "
                          "WHERE zone = ? AND name = ?",
                          {id.zoneID.zoneName, id.recordName});
        if (!rows) return rows.error();
        if (rows.value().empty()) {
            item.error = Error(Error::kUnknownItem, "Record \"" + id.recordName + "\" does not exist");
        } else {
            auto record = recordFromRow(id.zoneID, rows.value()[0], 0, desiredKeys, true);
            if (!record) return record.error();
            item.record = std::move(record).value();
        }
        fetched.push_back(std::move(item));
    }
    TRY(transaction.commit());
    return fetched;
}

Reply<ZoneServer::ChangePage> ZoneServer::fetchChanges(const RecordZoneID& zoneID,
                                                       const std::optional<ServerChangeToken>& token,
                                                       const std::optional<std::set<std::string>>& desiredKeys) {
    std::lock_guard lock(mutex_);
    if (auto fault = injectedFault("fetch-changes", {})) return *fault;
    if (zoneID.zoneName == kDefaultZoneName)
        return Error(Error::kZoneNotFound, "The default zone has no change feed");
    Transaction transaction(*session_);
    TRY(transaction.begin(false));
    auto zoneReply = zoneRow(zoneID.zoneName);
    if (!zoneReply) return zoneReply.error();
    if (!zoneReply.value()) return Error(Error::kZoneNotFound, "Zone \"" + zoneID.zoneName + "\" does not exist");
    const ZoneRow zone = *zoneReply.value();
    const int64_t latest = zone.nextChange - 1;
    int64_t after = 0;
    if (token) {
        auto contents = token->decode();
        if (!contents || contents->storeID != storeID_ || contents->zoneName != zoneID.zoneName ||
            contents->incarnation != zone.incarnation || contents->changeNumber < zone.horizon ||
            contents->changeNumber > latest)
            return Error(Error::kChangeTokenExpired, "The change token has expired");
        after = contents->changeNumber;
    }
    const int pageSize = std::max(1, options_.pageSize);
    auto rows = query("SELECT name, type, tag, created_ms, modified_ms, fields, change, 0 FROM records "
                      "WHERE zone = ? AND change > ? "
                      "UNION ALL SELECT name, type, '', 0, 0, NULL, change, 1 FROM tombstones "
                      "WHERE zone = ? AND change > ? ORDER BY 7 LIMIT ?",
                      {zoneID.zoneName, after, zoneID.zoneName, after, int64_t{pageSize} + 1});
    if (!rows) return rows.error();
    ChangePage page;
    page.moreComing = rows.value().size() > static_cast<size_t>(pageSize);
    if (page.moreComing) rows.value().pop_back();
    int64_t reached = rows.value().empty() || !page.moreComing ? latest : after;
    for (const SqlRow& row : rows.value()) {
        if (page.moreComing) reached = sqlInteger(row[6]);
        if (sqlInteger(row[7]) == 1) {
            page.deleted.push_back({RecordID{sqlText(row[0]), zoneID}, sqlText(row[1])});
            continue;
        }
        auto record = recordFromRow(zoneID, row, 0, desiredKeys, true);
        if (!record) return record.error();
        page.changed.push_back(std::move(record).value());
    }
    TRY(transaction.commit());
    page.token = ServerChangeToken::make({storeID_, zoneID.zoneName, zone.incarnation, reached});
    return page;
}

// MARK: Subscriptions and pushes

Reply<Done> ZoneServer::modifySubscriptions(const std::vector<Subscription>& saves,
                                            const std::vector<std::string>& deletes) {
    std::lock_guard lock(mutex_);
    if (auto fault = injectedFault("modify-subscriptions", {})) return *fault;
    Transaction transaction(*session_);
    TRY(transaction.begin(true));
    for (const Subscription& subscription : saves) {
        auto zone = zoneRow(subscription.zoneID.zoneName);
        if (!zone) return zone.error();
        if (!zone.value())
            return Error(Error::kZoneNotFound, "Zone \"" + subscription.zoneID.zoneName + "\" does not exist");
        TRY(query("INSERT INTO subscriptions(device, id, zone, content_available, alert_body) VALUES (?, ?, ?, ?, ?) "
                  "ON CONFLICT (device, id) DO UPDATE SET zone = excluded.zone, "
                  "content_available = excluded.content_available, alert_body = excluded.alert_body",
                  {options_.deviceID, subscription.subscriptionID, subscription.zoneID.zoneName,
                   int64_t{subscription.shouldSendContentAvailable}, subscription.alertBody}));
        // What happened before the first subscription is nobody's push; saving
        // it again keeps what the device has seen, so a restart catches up.
        TRY(query("INSERT INTO seen(device, zone, incarnation, change) VALUES (?, ?, ?, ?) ON CONFLICT DO NOTHING",
                  {options_.deviceID, subscription.zoneID.zoneName, zone.value()->incarnation,
                   zone.value()->nextChange - 1}));
    }
    for (const std::string& id : deletes)
        TRY(query("DELETE FROM subscriptions WHERE device = ? AND id = ?", {options_.deviceID, id}));
    return transaction.commit();
}

Reply<std::vector<Subscription>> ZoneServer::fetchSubscriptions() {
    std::lock_guard lock(mutex_);
    if (auto fault = injectedFault("fetch-subscriptions", {})) return *fault;
    auto rows = query("SELECT id, zone, content_available, alert_body FROM subscriptions WHERE device = ? ORDER BY id",
                      {options_.deviceID});
    if (!rows) return rows.error();
    std::vector<Subscription> subscriptions;
    for (const SqlRow& row : rows.value())
        subscriptions.push_back({sqlText(row[0]), {sqlText(row[1])}, sqlInteger(row[2]) != 0, sqlText(row[3])});
    return subscriptions;
}

Reply<bool> ZoneServer::takePush() {
    std::lock_guard lock(mutex_);
    Transaction transaction(*session_);
    TRY(transaction.begin(true));
    auto subscribed = query("SELECT DISTINCT s.zone, z.incarnation, z.next_change, e.incarnation, e.change "
                            "FROM subscriptions s LEFT JOIN zones z ON z.name = s.zone "
                            "LEFT JOIN seen e ON e.device = s.device AND e.zone = s.zone WHERE s.device = ?",
                            {options_.deviceID});
    if (!subscribed) return subscribed.error();
    bool push = false;
    for (const SqlRow& row : subscribed.value()) {
        const std::string zone = sqlText(row[0]);
        const bool exists = !std::holds_alternative<std::monostate>(row[1]);
        const std::string incarnation = exists ? sqlText(row[1]) : std::string();
        const std::string seenIncarnation = sqlText(row[3]);
        if (incarnation != seenIncarnation) {
            push = true;
        } else if (exists) {
            auto others = query("SELECT 1 FROM records WHERE zone = ? AND change > ? AND writer <> ? "
                                "UNION ALL SELECT 1 FROM tombstones WHERE zone = ? AND change > ? AND writer <> ? "
                                "LIMIT 1",
                                {zone, sqlInteger(row[4]), options_.deviceID, zone, sqlInteger(row[4]),
                                 options_.deviceID});
            if (!others) return others.error();
            push = push || !others.value().empty();
        }
        TRY(query("INSERT INTO seen(device, zone, incarnation, change) VALUES (?, ?, ?, ?) "
                  "ON CONFLICT (device, zone) DO UPDATE SET incarnation = excluded.incarnation, change = excluded.change",
                  {options_.deviceID, zone, incarnation, exists ? sqlInteger(row[2]) - 1 : 0}));
    }
    TRY(transaction.commit());
    return push;
}

// MARK: Key-value store

Reply<int64_t> ZoneServer::putKeyValues(const std::vector<KeyValue>& values) {
    std::lock_guard lock(mutex_);
    if (auto fault = injectedFault("kv-put", {})) return *fault;
    for (const KeyValue& value : values)
        if (value.key.empty() || value.key.size() > kMaxKeyValueKeyBytes)
            return Error(Error::kLimitExceeded, "A key holds 1 to " + std::to_string(kMaxKeyValueKeyBytes) + " bytes");
    Transaction transaction(*session_);
    TRY(transaction.begin(true));
    auto last = query("SELECT COALESCE(MAX(change), 0) FROM kv", {});
    if (!last) return last.error();
    const int64_t change = sqlInteger(last.value().at(0).at(0)) + 1;
    for (const KeyValue& value : values)
        TRY(query("INSERT INTO kv(key, value, bytes, change, writer) VALUES (?, ?, ?, ?, ?) ON CONFLICT (key) DO UPDATE "
                  "SET value = excluded.value, bytes = excluded.bytes, change = excluded.change, "
                  "writer = excluded.writer",
                  {value.key, value.value ? SqlValue(SqlBlob{*value.value}) : SqlValue(), value.value ? value.bytes : 0,
                   change, options_.deviceID}));
    auto totals = query("SELECT COUNT(*), COALESCE(SUM(bytes), 0) FROM kv WHERE value IS NOT NULL", {});
    if (!totals) return totals.error();
    if (sqlInteger(totals.value()[0][0]) > static_cast<int64_t>(kMaxKeyValueKeys) ||
        sqlInteger(totals.value()[0][1]) > kMaxKeyValueBytes)
        return Error(Error::kLimitExceeded, "The key-value store holds at most " + std::to_string(kMaxKeyValueKeys) +
                                                " keys and 1 MiB");
    session_->announceCommit();
    TRY(transaction.commit());
    return change;
}

Reply<ZoneServer::KeyValuePage> ZoneServer::keyValuesAfter(int64_t change, bool everyone) {
    std::lock_guard lock(mutex_);
    if (auto fault = injectedFault("kv-fetch", {})) return *fault;
    Transaction transaction(*session_);
    TRY(transaction.begin(false));
    auto rows = query("SELECT key, value, bytes, change FROM kv WHERE change > ? AND (? = 1 OR writer <> ?) "
                      "ORDER BY change",
                      {change, int64_t{everyone}, options_.deviceID});
    if (!rows) return rows.error();
    auto last = query("SELECT COALESCE(MAX(change), 0) FROM kv", {});
    if (!last) return last.error();
    TRY(transaction.commit());
    KeyValuePage page;
    page.latest = sqlInteger(last.value().at(0).at(0));
    for (const SqlRow& row : rows.value()) {
        KeyValue value{sqlText(row[0]), std::nullopt, sqlInteger(row[2]), sqlInteger(row[3])};
        if (!std::holds_alternative<std::monostate>(row[1])) value.value = sqlText(row[1]);
        page.values.push_back(std::move(value));
    }
    return page;
}

// MARK: Inspection and faults

Reply<std::vector<ZoneServer::StoredRecord>> ZoneServer::dump(const RecordZoneID& zoneID) {
    std::lock_guard lock(mutex_);
    auto zone = zoneRow(zoneID.zoneName);
    if (!zone) return zone.error();
    if (!zone.value()) return Error(Error::kZoneNotFound, "Zone \"" + zoneID.zoneName + "\" does not exist");
    auto rows = query("SELECT name, type, tag, created_ms, modified_ms, fields FROM records WHERE zone = ? "
                      "ORDER BY name",
                      {zoneID.zoneName});
    if (!rows) return rows.error();
    std::vector<StoredRecord> records;
    for (const SqlRow& row : rows.value()) {
        auto record = recordFromRow(zoneID, row, 0, std::nullopt, false);
        if (!record) return record.error();
        StoredRecord stored{std::move(record).value(), {}};
        if (auto fields = ByteCodec::decodeFields(sqlText(row[5])))
            for (const auto& [key, value] : *fields)
                if (const UnknownValue* asset = storedAsset(value))
                    if (auto described = parseStoredAsset(asset->bytes)) stored.assets[key] = *described;
        records.push_back(std::move(stored));
    }
    return records;
}

Reply<Done> ZoneServer::expireTokens() {
    std::lock_guard lock(mutex_);
    Transaction transaction(*session_);
    TRY(transaction.begin(true));
    auto rows = query("SELECT name FROM zones", {});
    if (!rows) return rows.error();
    // A new incarnation: every token given so far names the old one.
    for (const SqlRow& row : rows.value())
        TRY(query("UPDATE zones SET incarnation = ? WHERE name = ?",
                  {foundation::UUID::random().string(), sqlText(row[0])}));
    return transaction.commit();
}

Reply<Done> ZoneServer::setQuota(int64_t bytes) {
    std::lock_guard lock(mutex_);
    return query(kSetMeta, {std::string("quota"), std::to_string(bytes)}).ok()
               ? Reply<Done>(Done{})
               : Reply<Done>(Error(Error::kNetworkFailure, "The quota could not be stored"));
}

Reply<Done> ZoneServer::setRestricted(bool restricted) {
    std::lock_guard lock(mutex_);
    auto reply = query(kSetMeta, {std::string("restricted"), std::string(restricted ? "1" : "0")});
    if (!reply) return reply.error();
    return Done{};
}

Reply<Done> ZoneServer::addFault(const Fault& fault) {
    std::lock_guard lock(mutex_);
    auto reply = query("INSERT INTO faults(device, operation, record, occurrence, code, retry_after, hits) "
                       "VALUES (?, ?, ?, ?, ?, ?, 0)",
                       {fault.device, fault.operation, fault.record, fault.occurrence, fault.code, fault.retryAfter});
    if (!reply) return reply.error();
    return Done{};
}

Reply<std::vector<ZoneServer::Fault>> ZoneServer::faults() {
    std::lock_guard lock(mutex_);
    auto rows = query("SELECT id, operation, device, record, occurrence, code, retry_after, hits FROM faults "
                      "ORDER BY id",
                      {});
    if (!rows) return rows.error();
    std::vector<Fault> faults;
    for (const SqlRow& row : rows.value())
        faults.push_back({sqlInteger(row[0]), sqlText(row[1]), sqlText(row[2]), sqlText(row[3]), sqlInteger(row[4]),
                          sqlInteger(row[5]), sqlReal(row[6]), sqlInteger(row[7])});
    return faults;
}

Reply<Done> ZoneServer::clearFaults() {
    std::lock_guard lock(mutex_);
    auto reply = query("DELETE FROM faults", {});
    if (!reply) return reply.error();
    return Done{};
}

}  // namespace cloud
