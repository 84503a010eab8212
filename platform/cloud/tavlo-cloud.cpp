// tavlo-cloud: chooses the cloud account this user's Tavlo processes share,
// shows it, plays another device against it and injects faults.
//
// Exit status: 0 done, 1 the store refused ("error CODE: description", or one
// "NAME: error CODE" line per failed item), 2 a usage error.
#include <cmath>
#include <cstdio>
#include <ctime>
#include <cstdlib>
#include <cstring>
#include <map>
#include <optional>
#include <string>
#include <vector>

#include "Configuration.h"
#include "Container.h"
#include "PostgresSession.h"
#include "SQLiteSession.h"
#include "StoredKeyValueStore.h"
#include "ZoneServer.h"
#include "platform/dispatch/MainQueue.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"
#include "platform/foundation/PropertyList.h"
#include "platform/foundation/UserDefaults.h"

namespace {

using cloud::Configuration;
using cloud::Error;
using cloud::ZoneServer;
using foundation::PlistValue;

constexpr const char* kUsage =
    "Usage: tavlo-cloud use embedded DIR --account NAME | use postgresql CONNINFO --account NAME | use none\n"
    "       tavlo-cloud status\n"
    "       tavlo-cloud zone add|delete NAME\n"
    "       tavlo-cloud save ZONE TYPE NAME key=value... [--tag TAG]\n"
    "         values: text, #12 an integer, @NAME a reference, @!NAME a reference that deletes\n"
    "         its record with NAME, <FILE an asset, nothing (key=) removes the value\n"
    "       tavlo-cloud delete ZONE NAME...\n"
    "       tavlo-cloud dump ZONE\n"
    "       tavlo-cloud expire-tokens | quota BYTES | restrict on|off\n"
    "       tavlo-cloud fault add OPERATION CODE [--device ID] [--record NAME] [--occurrence N]\n"
    "                                  [--retry-after SECONDS]\n"
    "       tavlo-cloud fault list | fault clear\n"
    "       tavlo-cloud kv get KEY | kv set KEY VALUE | kv set KEY | kv list\n"
    "         VALUE: a number, text, or a property list (<?xml ... or <plist ...); none removes KEY\n"
    "Operations: modify, fetch, fetch-changes, fetch-zone, modify-zones, modify-subscriptions,\n"
    "fetch-subscriptions, push (drops the push).\n";

// The tool plays a device of its own, so the application's device hears of
// what it saves.
constexpr const char* kToolDevice = "tavlo-cloud";

const char* statusWords(int64_t status) {
    switch (status) {
    case cloud::Container::kAvailable: return "available";
    case cloud::Container::kRestricted: return "restricted";
    case cloud::Container::kNoAccount: return "no account";
    default: return "could not determine";
    }
}

// Dates are whole milliseconds; shown so, not as the nearest double.
std::string isoMilliseconds(const foundation::Date& date) {
    const long long ms = std::llround(date.timeIntervalSince1970() * 1000.0);
    const time_t seconds = static_cast<time_t>(ms / 1000);
    tm parts{};
    gmtime_r(&seconds, &parts);
    char text[64];
    std::snprintf(text, sizeof text, "%04d-%02d-%02dT%02d:%02d:%02d.%03lldZ", parts.tm_year + 1900, parts.tm_mon + 1,
                  parts.tm_mday, parts.tm_hour, parts.tm_min, parts.tm_sec, ms % 1000);
    return text;
}

int usageError(const std::string& problem) {
    std::fprintf(stderr, "tavlo-cloud: %s\n%s", problem.c_str(), kUsage);
    return 2;
}

int failed(const Error& error) {
    if (error.code == Error::kPartialFailure && !error.partialErrors.empty()) {
        for (const auto& [id, item] : error.partialErrors)
            std::printf("%s: error %lld\n", id.recordName.c_str(), static_cast<long long>(item->code));
        return 1;
    }
    std::printf("%s\n", error.line().c_str());
    return 1;
}

cloud::Reply<std::shared_ptr<ZoneServer>> openStore(const std::string& device) {
    return cloud::Container::make("com.tavlo.Tavlo", Configuration::read(), device)->server();
}

int use(const std::vector<std::string>& args) {
    auto suite = foundation::UserDefaults::suite(Configuration::kSuiteName);
    if (args.size() == 1 && args[0] == "none") {
        for (const char* key : {Configuration::kAccountKey, Configuration::kBackendKey, Configuration::kFolderKey,
                                Configuration::kConnectionKey})
            suite->removeObjectForKey(key);
        suite->synchronize();
        std::printf("no account\n");
        return 0;
    }
    if (args.size() != 4 || args[2] != "--account" || args[3].empty())
        return usageError("use needs a back-end, its place and --account NAME");
    if (args[0] == Configuration::kEmbeddedBackend) {
        std::error_code error;
        const auto folder = std::filesystem::absolute(args[1], error);
        auto session = cloud::SQLiteSession::open(folder);
        if (!session) return failed(session.error());
        suite->setObject(PlistValue(folder.string()), Configuration::kFolderKey);
        suite->removeObjectForKey(Configuration::kConnectionKey);
    } else if (args[0] == Configuration::kPostgreSQLBackend) {
        // The setting is shown and logged only as its host and database.
        if (auto refusal = cloud::PostgresSession::connectionRefusal(args[1])) return usageError(*refusal);
        auto session = cloud::PostgresSession::open(args[1]);
        if (!session) return failed(session.error());
        suite->setObject(PlistValue(args[1]), Configuration::kConnectionKey);
    } else {
        return usageError("unknown back-end \"" + args[0] + "\"");
    }
    suite->setObject(PlistValue(args[0]), Configuration::kBackendKey);
    suite->setObject(PlistValue(args[3]), Configuration::kAccountKey);
    suite->synchronize();
    const std::string place =
        args[0] == Configuration::kEmbeddedBackend ? args[1] : cloud::PostgresSession::describe(args[1]);
    std::printf("using %s %s as account %s\n", args[0].c_str(), place.c_str(), args[3].c_str());
    return 0;
}

int status() {
    const Configuration configuration = Configuration::read();
    if (configuration.account.empty()) {
        std::printf("no account (status 3): choose one with tavlo-cloud use embedded DIR --account NAME\n");
        return 0;
    }
    const std::string device = Configuration::deviceIdentifier();
    auto container = cloud::Container::make("com.tavlo.Tavlo", configuration, device);
    auto [code, error] = container->accountStatusNow();
    std::printf("back-end: %s %s\n", configuration.backend.c_str(),
                configuration.backend == Configuration::kEmbeddedBackend
                    ? configuration.folder.c_str()
                    : cloud::PostgresSession::describe(configuration.connection).c_str());
    std::printf("account: %s\n", configuration.account.c_str());
    std::printf("status %lld (%s)%s\n", static_cast<long long>(code), statusWords(code),
                error ? (": " + error->line()).c_str() : "");
    std::printf("device: %s\n", device.c_str());
    if (code != cloud::Container::kAvailable && code != cloud::Container::kRestricted) return error ? 1 : 0;
    auto server = container->server();
    auto zones = server.value()->zones();
    if (!zones) return failed(zones.error());
    for (const auto& zone : zones.value())
        if (zone.zoneID.zoneName != ZoneServer::kDefaultZoneName)
            std::printf("zone %s: %lld records\n", zone.zoneID.zoneName.c_str(), static_cast<long long>(zone.records));
    auto subscriptions = server.value()->fetchSubscriptions();
    if (!subscriptions) return failed(subscriptions.error());
    for (const auto& subscription : subscriptions.value())
        std::printf("subscription %s on zone %s\n", subscription.subscriptionID.c_str(),
                    subscription.zoneID.zoneName.c_str());
    return 0;
}

std::optional<int64_t> number(const std::string& text) {
    if (text.empty()) return std::nullopt;
    char* end = nullptr;
    errno = 0;
    const long long value = std::strtoll(text.c_str(), &end, 10);
    if (errno != 0 || *end != '\0') return std::nullopt;
    return value;
}

int save(ZoneServer& server, const std::vector<std::string>& args) {
    if (args.size() < 3) return usageError("save needs ZONE TYPE NAME");
    const cloud::RecordZoneID zone{args[0]};
    const cloud::RecordID id{args[2], zone};
    std::optional<std::string> tag;
    cloud::Record record(args[1], id);
    for (size_t i = 3; i < args.size(); ++i) {
        if (args[i] == "--tag") {
            if (++i == args.size()) return usageError("--tag needs a tag");
            tag = args[i];
            continue;
        }
        const size_t equals = args[i].find('=');
        if (equals == std::string::npos || equals == 0) return usageError("\"" + args[i] + "\" is not key=value");
        const std::string key = args[i].substr(0, equals);
        const std::string text = args[i].substr(equals + 1);
        if (text.empty()) {
            record.setObject(key, std::nullopt);
        } else if (text[0] == '#') {
            auto value = number(text.substr(1));
            if (!value) return usageError("\"" + text + "\" is not an integer");
            record.setObject(key, *value);
        } else if (text.rfind("@!", 0) == 0) {
            record.setObject(key, cloud::Reference{{text.substr(2), zone}, cloud::Reference::DeleteSelf});
        } else if (text[0] == '@') {
            record.setObject(key, cloud::Reference{{text.substr(1), zone}, cloud::Reference::None});
        } else if (text[0] == '<') {
            record.setObject(key, cloud::Asset{std::filesystem::absolute(text.substr(1))});
        } else {
            record.setObject(key, text);
        }
    }
    if (!tag) {
        // Without a tag the tool saves over the current version, as a device
        // that is up to date would.
        auto current = server.fetchRecords({id}, std::set<std::string>{});
        if (!current) return failed(current.error());
        if (current.value()[0].record) tag = current.value()[0].record->recordChangeTag();
    }
    if (tag && !tag->empty()) {
        cloud::Record known = cloud::Record::stored(args[1], id, {}, *tag, foundation::Date(), foundation::Date());
        for (const std::string& key : record.changedKeys()) known.setObject(key, record.objectForKey(key));
        record = known;
    }
    auto reply = server.modifyRecords({record}, {});
    if (!reply) return failed(reply.error());
    const cloud::Record& saved = reply.value().saved.at(0);
    std::printf("saved %s tag %s modified %s\n", saved.recordID().recordName.c_str(), saved.recordChangeTag().c_str(),
                isoMilliseconds(*saved.modificationDate()).c_str());
    return 0;
}

PlistValue jsonValue(const cloud::FieldValue& value) {
    using Dictionary = PlistValue::Dictionary;
    struct Visitor {
        PlistValue operator()(const std::string& v) { return PlistValue(v); }
        PlistValue operator()(int64_t v) { return PlistValue(v); }
        PlistValue operator()(double v) { return PlistValue(v); }
        PlistValue operator()(const foundation::Date& v) { return PlistValue(Dictionary{{"date", PlistValue(isoMilliseconds(v))}}); }
        PlistValue operator()(const foundation::Data& v) {
            return PlistValue(Dictionary{{"bytes", PlistValue(v.base64Encoded())}});
        }
        PlistValue operator()(const cloud::Reference& v) {
            return PlistValue(Dictionary{{"reference", PlistValue(v.recordID.recordName)},
                                         {"action", PlistValue(v.action == cloud::Reference::DeleteSelf ? "delete-self" : "none")}});
        }
        PlistValue operator()(const cloud::Asset& v) { return PlistValue(Dictionary{{"asset", PlistValue(v.fileURL.string())}}); }
        PlistValue operator()(const cloud::UnknownValue& v) {
            return PlistValue(Dictionary{{"unknown", PlistValue(int64_t{v.kind})}, {"bytes", PlistValue(v.bytes.base64Encoded())}});
        }
    };
    return std::visit(Visitor{}, value);
}

int dump(ZoneServer& server, const std::string& zone) {
    auto records = server.dump({zone});
    if (!records) return failed(records.error());
    for (const ZoneServer::StoredRecord& stored : records.value()) {
        PlistValue::Dictionary fields;
        for (const auto& [key, value] : stored.record.fields()) fields[key] = jsonValue(value);
        for (const auto& [key, asset] : stored.assets)
            fields[key] = PlistValue(PlistValue::Dictionary{
                {"asset", PlistValue(PlistValue::Dictionary{{"size", PlistValue(asset.first)},
                                                            {"sha256", PlistValue(asset.second)}})}});
        const PlistValue line(PlistValue::Dictionary{
            {"type", PlistValue(stored.record.recordType())},
            {"name", PlistValue(stored.record.recordID().recordName)},
            {"tag", PlistValue(stored.record.recordChangeTag())},
            {"modified", PlistValue(isoMilliseconds(*stored.record.modificationDate()))},
            {"fields", PlistValue(std::move(fields))}});
        auto text = foundation::JSON::write(line);
        if (!text) return failed(Error(Error::kNetworkFailure, text.error().localizedDescription()));
        std::printf("%s\n", text.value().c_str());
    }
    return 0;
}

int fault(ZoneServer& server, const std::vector<std::string>& args) {
    if (args.size() == 1 && args[0] == "list") {
        auto faults = server.faults();
        if (!faults) return failed(faults.error());
        for (const auto& f : faults.value())
            std::printf("%lld %s error %lld device %s record %s occurrence %lld retry-after %g hits %lld\n",
                        static_cast<long long>(f.id), f.operation.c_str(), static_cast<long long>(f.code),
                        f.device.empty() ? "*" : f.device.c_str(), f.record.empty() ? "*" : f.record.c_str(),
                        static_cast<long long>(f.occurrence), f.retryAfter, static_cast<long long>(f.hits));
        return 0;
    }
    if (args.size() == 1 && args[0] == "clear") {
        auto reply = server.clearFaults();
        return reply ? 0 : failed(reply.error());
    }
    if (args.size() < 3 || args[0] != "add") return usageError("fault add OPERATION CODE, fault list or fault clear");
    ZoneServer::Fault rule;
    rule.operation = args[1];
    auto code = number(args[2]);
    if (!code) return usageError("\"" + args[2] + "\" is not an error code");
    rule.code = *code;
    for (size_t i = 3; i + 1 < args.size() + 1; i += 2) {
        if (i + 1 >= args.size()) return usageError("\"" + args[i] + "\" needs a value");
        const std::string& option = args[i];
        const std::string& value = args[i + 1];
        if (option == "--device") {
            rule.device = value;
        } else if (option == "--record") {
            rule.record = value;
        } else if (option == "--occurrence" && number(value)) {
            rule.occurrence = *number(value);
        } else if (option == "--retry-after") {
            char* end = nullptr;
            rule.retryAfter = std::strtod(value.c_str(), &end);
            if (*end != '\0') return usageError("\"" + value + "\" is not a number of seconds");
        } else {
            return usageError("unknown option \"" + option + "\"");
        }
    }
    auto reply = server.addFault(rule);
    return reply ? 0 : failed(reply.error());
}

// A value as the user typed it: a whole number, a real number, a property
// list's XML, or text.
std::optional<PlistValue> typedValue(const std::string& text) {
    if (text.rfind("<?xml", 0) == 0 || text.rfind("<plist", 0) == 0) {
        auto plist = foundation::PropertyList::readXML(text);
        if (!plist) return std::nullopt;
        return plist.value();
    }
    if (auto whole = number(text)) return PlistValue(*whole);
    char* end = nullptr;
    const double real = std::strtod(text.c_str(), &end);
    if (!text.empty() && end == text.c_str() + text.size() && std::isfinite(real)) return PlistValue(real);
    return PlistValue(text);
}

// A value as it is shown: numbers and text as they are, the rest as XML.
std::string shownValue(const PlistValue& value) {
    if (const auto* text = value.asString()) return *text;
    if (value.type() == PlistValue::Type::Integer) return std::to_string(*value.asInteger());
    if (value.type() == PlistValue::Type::Real) {
        char buffer[40];
        std::snprintf(buffer, sizeof buffer, "%.17g", *value.asReal());
        return buffer;
    }
    auto xml = foundation::PropertyList::writeXML(value);
    return xml ? xml.value() : std::string();
}

// The tool's key-value store: a device of its own, its copy in the cache.
int keyValues(const std::vector<std::string>& args) {
    const Configuration configuration = Configuration::read();
    auto container = cloud::Container::make("com.tavlo.Tavlo", configuration, kToolDevice);
    auto store = cloud::StoredKeyValueStore::make(
        [container] { return container; },
        foundation::Paths::cacheHome() / foundation::Paths::kApplicationFolder / "tavlo-cloud-KeyValueStore.plist");
    auto exchange = [&]() -> int {
        if (store->synchronizeNow()) return 0;
        auto reached = container->server();
        return failed(reached ? Error(Error::kNetworkFailure, "the key-value store could not be reached")
                              : reached.error());
    };
    if (args.size() == 2 && args[0] == "get") {
        if (int status = exchange()) return status;
        const PlistValue value = store->objectForKey(args[1]);
        if (value.isNull()) {
            std::fprintf(stderr, "tavlo-cloud: no value for %s\n", args[1].c_str());
            return 1;
        }
        std::printf("%s\n", shownValue(value).c_str());
        return 0;
    }
    if ((args.size() == 2 || args.size() == 3) && args[0] == "set") {
        if (int status = exchange()) return status;
        std::optional<PlistValue> value = args.size() == 3 ? typedValue(args[2]) : PlistValue();
        if (!value) return usageError("the value is not a property list");
        // The store announces a refused write; the tool reads its own answer.
        int64_t refusedReason = -1;
        auto& center = foundation::NotificationCenter::defaultCenter();
        auto token = center.addObserver(cloud::UbiquitousKeyValueStore::kDidChangeExternallyNotification, store.get(),
                                        [&](const foundation::Notification& notification) {
                                            if (auto* reason = notification.info<int64_t>(
                                                    cloud::UbiquitousKeyValueStore::kChangeReasonKey))
                                                refusedReason = *reason;
                                        });
        store->setObject(*value, args[1]);
        const int status = exchange();
        dispatch::MainQueue::runUntilIdle();
        center.removeObserver(token);
        if (refusedReason == cloud::UbiquitousKeyValueStore::kQuotaViolationChange) {
            std::printf("%s: refused, past the store's limits (1,024 keys, 64-byte keys, 1 MiB)\n", args[1].c_str());
            return 1;
        }
        if (!value->isNull() && store->objectForKey(args[1]).isNull()) {
            std::printf("%s: refused, not a property list\n", args[1].c_str());
            return 1;
        }
        return status;
    }
    if (args.size() == 1 && args[0] == "list") {
        if (int status = exchange()) return status;
        for (const auto& [key, value] : store->dictionaryRepresentation())
            std::printf("%s = %s\n", key.c_str(), shownValue(value).c_str());
        return 0;
    }
    return usageError("kv needs get KEY, set KEY [VALUE] or list");
}

}  // namespace

int main(int argc, char** argv) {
    std::vector<std::string> args(argv + 1, argv + argc);
    if (args.empty() || args[0] == "--help" || args[0] == "-h") {
        std::printf("%s", kUsage);
        return args.empty() ? 2 : 0;
    }
    const std::string command = args[0];
    const std::vector<std::string> rest(args.begin() + 1, args.end());
    if (command == "use") return use(rest);
    if (command == "status") return status();
    if (command == "kv") return keyValues(rest);

    auto server = openStore(kToolDevice);
    if (!server) return failed(server.error());
    ZoneServer& store = *server.value();
    if (command == "zone" && rest.size() == 2 && (rest[0] == "add" || rest[0] == "delete")) {
        const cloud::RecordZoneID zone{rest[1]};
        auto reply = rest[0] == "add" ? store.modifyZones({zone}, {}) : store.modifyZones({}, {zone});
        return reply ? 0 : failed(reply.error());
    }
    if (command == "save") return save(store, rest);
    if (command == "delete" && rest.size() >= 2) {
        std::vector<cloud::RecordID> ids;
        for (size_t i = 1; i < rest.size(); ++i) ids.push_back({rest[i], {rest[0]}});
        auto reply = store.modifyRecords({}, ids);
        return reply ? 0 : failed(reply.error());
    }
    if (command == "dump" && rest.size() == 1) return dump(store, rest[0]);
    if (command == "expire-tokens" && rest.empty()) {
        auto reply = store.expireTokens();
        return reply ? 0 : failed(reply.error());
    }
    if (command == "quota" && rest.size() == 1 && number(rest[0])) {
        auto reply = store.setQuota(*number(rest[0]));
        return reply ? 0 : failed(reply.error());
    }
    if (command == "restrict" && rest.size() == 1 && (rest[0] == "on" || rest[0] == "off")) {
        auto reply = store.setRestricted(rest[0] == "on");
        return reply ? 0 : failed(reply.error());
    }
    if (command == "fault" && !rest.empty()) return fault(store, rest);
    return usageError("unknown command \"" + command + "\"");
}
