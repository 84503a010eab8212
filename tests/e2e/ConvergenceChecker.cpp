#include "ConvergenceChecker.h"

#include <cmath>
#include <ctime>
#include <set>
#include <sstream>
#include <thread>

#include "CloudAccount.h"
#include "DeviceProcess.h"

namespace e2e {

using foundation::PlistValue;

namespace {

// The fields each record type carries, as the devices' attributes are named.
const std::vector<std::string> kClippingFields = {"addDate", "tavloDate", "index", "items", "text",
                                                  "url", "urlName", "image", "color", "deviceName",
                                                  "pasteboardIndex", "urlSource", "tavloStyle", "tavloTemplate"};
const std::set<std::string> kDateFields = {"addDate", "tavloDate"};

std::string number(double value) {
    if (std::floor(value) == value && std::fabs(value) < 9e15) return std::to_string(static_cast<int64_t>(value));
    std::ostringstream out;
    out.precision(17);
    out << value;
    return out.str();
}

// Dates to whole milliseconds, the server's own grain.
std::string milliseconds(double seconds) { return std::to_string(std::llround(seconds * 1000.0)); }

std::optional<std::string> isoMilliseconds(const std::string& text) {
    tm parts{};
    int ms = 0;
    if (std::sscanf(text.c_str(), "%d-%d-%dT%d:%d:%d.%dZ", &parts.tm_year, &parts.tm_mon, &parts.tm_mday,
                    &parts.tm_hour, &parts.tm_min, &parts.tm_sec, &ms) != 7)
        return std::nullopt;
    parts.tm_year -= 1900;
    parts.tm_mon -= 1;
    return std::to_string(static_cast<int64_t>(timegm(&parts)) * 1000 + ms);
}

// A scalar as text; nothing for null.
std::optional<std::string> scalar(const PlistValue& value) {
    if (value.isNull()) return std::nullopt;
    if (const auto* text = value.asString()) return *text;
    if (auto b = value.asBoolean(); b && value.type() == PlistValue::Type::Boolean) return std::string(*b ? "1" : "0");
    if (auto real = value.asReal()) return number(*real);
    return std::string("?");
}

const PlistValue* member(const PlistValue& value, const std::string& key) {
    const auto* d = value.asDictionary();
    if (!d) return nullptr;
    auto found = d->find(key);
    return found == d->end() ? nullptr : &found->second;
}

std::string text(const PlistValue* value) {
    if (!value) return {};
    auto s = scalar(*value);
    return s ? *s : std::string();
}

}  // namespace

ConvergenceChecker::Records ConvergenceChecker::fromDevice(const std::vector<PlistValue>& dump) {
    Records out;
    for (const auto& entry : dump) {
        const std::string type = text(member(entry, "type"));
        const PlistValue* fields = member(entry, "fields");
        if (!fields) continue;
        auto& record = out[type + " " + text(member(entry, "id"))];
        if (type == "List") {
            if (auto name = member(*fields, "name"); name && scalar(*name)) record["name"] = *scalar(*name);
        } else if (type == "Clipping") {
            for (const auto& key : kClippingFields) {
                const PlistValue* value = member(*fields, key);
                if (!value || value->isNull()) continue;
                if (kDateFields.count(key) && value->asReal()) record[key] = milliseconds(*value->asReal());
                else if (auto s = scalar(*value)) record[key] = *s;
            }
            if (auto list = text(member(entry, "list")); !list.empty()) record["list"] = list;
        } else if (type == "Asset") {
            if (auto name = text(member(*fields, "filename")); !name.empty()) record["filename"] = name;
            if (auto clipping = text(member(entry, "clipping")); !clipping.empty()) {
                record["clippingID"] = clipping;
                record["clipping"] = clipping;
            }
            if (auto hash = text(member(entry, "sha256")); !hash.empty()) record["data"] = hash;
        }
    }
    return out;
}

ConvergenceChecker::Records ConvergenceChecker::fromServer(const std::vector<PlistValue>& dump) {
    Records out;
    for (const auto& entry : dump) {
        const std::string type = text(member(entry, "type"));
        const PlistValue* fields = member(entry, "fields");
        auto& record = out[type + " " + text(member(entry, "name"))];
        if (!fields || !fields->asDictionary()) continue;
        for (const auto& [key, value] : *fields->asDictionary()) {
            if (const PlistValue* date = member(value, "date")) {
                if (auto ms = isoMilliseconds(text(date))) record[key] = *ms;
            } else if (const PlistValue* reference = member(value, "reference")) {
                record[key] = text(reference);
            } else if (const PlistValue* asset = member(value, "asset")) {
                record[key] = text(member(*asset, "sha256"));
            } else if (auto s = scalar(value)) {
                record[key] = *s;
            } else {
                record[key] = "(unreadable)";
            }
        }
    }
    return out;
}

std::string ConvergenceChecker::difference(const Records& expected, const std::string& expectedName,
                                           const Records& actual, const std::string& actualName) {
    std::ostringstream out;
    std::set<std::string> names;
    for (const auto& [name, fields] : expected) names.insert(name);
    for (const auto& [name, fields] : actual) names.insert(name);
    for (const auto& name : names) {
        auto e = expected.find(name);
        auto a = actual.find(name);
        if (e == expected.end()) {
            out << "  " << name << ": only on " << actualName << "\n";
            continue;
        }
        if (a == actual.end()) {
            out << "  " << name << ": only on " << expectedName << "\n";
            continue;
        }
        std::set<std::string> keys;
        for (const auto& [key, value] : e->second) keys.insert(key);
        for (const auto& [key, value] : a->second) keys.insert(key);
        for (const auto& key : keys) {
            auto ev = e->second.find(key);
            auto av = a->second.find(key);
            const std::string left = ev == e->second.end() ? "(none)" : "\"" + ev->second + "\"";
            const std::string right = av == a->second.end() ? "(none)" : "\"" + av->second + "\"";
            if (left != right)
                out << "  " << name << " " << key << ": " << expectedName << " " << left << ", " << actualName << " "
                    << right << "\n";
        }
    }
    return out.str();
}

std::string ConvergenceChecker::problems(const CloudAccount& account, const std::vector<DeviceProcess*>& devices) const {
    std::ostringstream out;
    for (auto* device : devices) {
        if (auto fetched = device->run("fetch"); fetched.back() != "ok")
            out << device->name() << ": fetch answered \"" << fetched.back() << "\"\n";
        if (auto idle = device->idle(); !idle) out << idle.message() << "\n";
    }
    auto zone = account.dump();
    if (!zone) return "the zone could not be dumped";
    Records server = fromServer(*zone);
    if (setAside_.count("zone"))
        for (const auto& name : setAside_.at("zone")) server.erase(name);
    for (auto* device : devices) {
        auto dump = device->dump();
        if (!dump) {
            out << device->name() << ": no dump\n";
            continue;
        }
        const auto aside = setAside_.count(device->name()) ? setAside_.at(device->name()) : std::set<std::string>();
        Records records = fromDevice(*dump);
        for (const auto& name : aside) records.erase(name);
        if (auto diff = difference(server, "zone", records, device->name()); !diff.empty())
            out << device->name() << " differs from the zone:\n" << diff;
        for (const auto& entry : *dump)
            if (const PlistValue* sync = member(entry, "sync");
                sync && sync->asBoolean().value_or(false) &&
                !aside.count(text(member(entry, "type")) + " " + text(member(entry, "id"))))
                out << device->name() << ": " << text(member(entry, "type")) << " " << text(member(entry, "id"))
                    << " still marked for upload\n";
        auto pending = device->query("pending");
        if (!pending || !pending->asArray() || !pending->asArray()->empty())
            out << device->name() << ": deletions pending: " << device->run("pending").front() << "\n";
        auto token = device->query("token");
        const PlistValue* behind = token ? member(*token, "behind") : nullptr;
        const PlistValue* change = token ? member(*token, "change") : nullptr;
        if (!behind || !change || behind->asInteger().value_or(-1) != 0 || change->asInteger().value_or(-1) < 0)
            out << device->name() << ": change token not at the zone's last change: " << device->run("token").front()
                << "\n";
    }
    return out.str();
}

::testing::AssertionResult ConvergenceChecker::converged(const CloudAccount& account,
                                                         const std::vector<DeviceProcess*>& devices,
                                                         std::chrono::seconds limit) const {
    const auto deadline = std::chrono::steady_clock::now() + limit;
    std::string found;
    for (;;) {
        found = problems(account, devices);
        if (found.empty()) return ::testing::AssertionSuccess();
        if (std::chrono::steady_clock::now() >= deadline) break;
        std::this_thread::sleep_for(std::chrono::seconds(1));
    }
    auto failure = ::testing::AssertionFailure();
    failure << "scenario \"" << scenario_ << "\", seed " << seed_ << ": not converged after " << limit.count()
            << " s\n"
            << found;
    for (auto* device : devices) failure << device->transcript(30);
    return failure;
}

}  // namespace e2e
