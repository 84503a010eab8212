#include "sdk/beacon/BCNObfuscator.h"

#include <set>
#include <vector>

#include "platform/foundation/PropertyList.h"
#include "sdk/beacon/BCNException.h"

using foundation::PlistValue;

namespace {

constexpr const char* kUIDKey = "CF$UID";
// Kit settings are a handful of values; an archive beyond these is no settings
// archive, and the limits keep shared references from expanding without end.
constexpr size_t kMaxArchiveBytes = size_t{1} << 20;
constexpr size_t kMaxDecodedValues = 100000;
constexpr int kMaxDepth = 64;

PlistValue uid(size_t index) { return PlistValue::Dictionary{{kUIDKey, PlistValue(static_cast<int64_t>(index))}}; }

class Writer {
public:
    Writer() { objects_.push_back("$null"); }

    size_t add(const PlistValue& value) {
        switch (value.type()) {
        case PlistValue::Type::Array: {
            size_t index = reserve();
            PlistValue::Array references;
            for (const auto& element : *value.asArray()) references.push_back(uid(add(element)));
            objects_[index] = PlistValue::Dictionary{{"NS.objects", references}, {"$class", uid(classIndex("NSArray"))}};
            return index;
        }
        case PlistValue::Type::Dictionary: {
            size_t index = reserve();
            PlistValue::Array keys, values;
            for (const auto& [key, element] : *value.asDictionary()) {
                keys.push_back(uid(add(key)));
                values.push_back(uid(add(element)));
            }
            objects_[index] = PlistValue::Dictionary{
                {"NS.keys", keys}, {"NS.objects", values}, {"$class", uid(classIndex("NSDictionary"))}};
            return index;
        }
        case PlistValue::Type::Date: {
            size_t index = reserve();
            objects_[index] = PlistValue::Dictionary{{"NS.time", value.asDate()->timeIntervalSinceReferenceDate()},
                                                     {"$class", uid(classIndex("NSDate"))}};
            return index;
        }
        case PlistValue::Type::Null:
            return 0;
        default:  // strings, numbers and data are archived as they are
            objects_.push_back(value);
            return objects_.size() - 1;
        }
    }

    PlistValue archive(size_t root) {
        return PlistValue::Dictionary{{"$archiver", "NSKeyedArchiver"},
                                      {"$version", int64_t{100000}},
                                      {"$top", PlistValue::Dictionary{{"root", uid(root)}}},
                                      {"$objects", objects_}};
    }

private:
    size_t reserve() {
        objects_.emplace_back();
        return objects_.size() - 1;
    }
    size_t classIndex(const std::string& name) {
        for (const auto& [known, index] : classes_)
            if (known == name) return index;
        objects_.push_back(PlistValue::Dictionary{
            {"$classname", name}, {"$classes", PlistValue::Array{PlistValue(name), PlistValue("NSObject")}}});
        classes_.emplace_back(name, objects_.size() - 1);
        return objects_.size() - 1;
    }

    PlistValue::Array objects_;
    std::vector<std::pair<std::string, size_t>> classes_;
};

class Reader {
public:
    explicit Reader(const PlistValue::Array& objects) : objects_(objects) {}

    // The value a reference stands for; false for anything improper.
    bool decode(const PlistValue& reference, PlistValue& out, int depth) {
        auto index = referenceIndex(reference);
        if (!index || depth > kMaxDepth || ++decoded_ > kMaxDecodedValues) return false;
        if (!visiting_.insert(*index).second) return false;  // a loop back to itself
        bool ok = decodeObject(objects_[*index], out, depth);
        visiting_.erase(*index);
        return ok;
    }

private:
    std::optional<size_t> referenceIndex(const PlistValue& reference) const {
        const auto* dictionary = reference.asDictionary();
        if (!dictionary || dictionary->size() != 1) return std::nullopt;
        auto number = dictionary->begin()->first == kUIDKey ? dictionary->begin()->second.asInteger() : std::nullopt;
        if (!number || *number < 0 || static_cast<uint64_t>(*number) >= objects_.size()) return std::nullopt;
        return static_cast<size_t>(*number);
    }

    std::optional<std::string> className(const PlistValue& object) const {
        const PlistValue* reference = object.get("$class");
        auto index = reference ? referenceIndex(*reference) : std::nullopt;
        if (!index) return std::nullopt;
        const PlistValue* name = objects_[*index].get("$classname");
        if (!name || !name->asString()) return std::nullopt;
        return *name->asString();
    }

    bool decodeList(const PlistValue* references, PlistValue::Array& out, int depth) {
        if (!references || !references->asArray()) return false;
        for (const auto& reference : *references->asArray()) {
            PlistValue element;
            if (!decode(reference, element, depth + 1)) return false;
            out.push_back(std::move(element));
        }
        return true;
    }

    bool decodeObject(const PlistValue& object, PlistValue& out, int depth) {
        if (const auto* text = object.asString()) {
            if (*text == "$null") return false;  // no value: nothing a setting can hold
            out = object;
            return true;
        }
        if (!object.asDictionary()) {
            if (object.isNull() || object.asArray()) return false;
            out = object;
            return true;
        }
        auto name = className(object);
        if (!name) return false;
        if (*name == "NSDictionary" || *name == "NSMutableDictionary") {
            PlistValue::Array keys, values;
            if (!decodeList(object.get("NS.keys"), keys, depth) || !decodeList(object.get("NS.objects"), values, depth) ||
                keys.size() != values.size())
                return false;
            PlistValue::Dictionary dictionary;
            for (size_t i = 0; i < keys.size(); ++i) {
                if (!keys[i].asString()) return false;
                dictionary[*keys[i].asString()] = std::move(values[i]);
            }
            out = std::move(dictionary);
            return true;
        }
        if (*name == "NSArray" || *name == "NSMutableArray") {
            PlistValue::Array array;
            if (!decodeList(object.get("NS.objects"), array, depth)) return false;
            out = std::move(array);
            return true;
        }
        if (*name == "NSDate") {
            const PlistValue* time = object.get("NS.time");
            if (!time || !time->asReal()) return false;
            out = foundation::Date::fromReferenceDate(*time->asReal());
            return true;
        }
        if (*name == "NSString" || *name == "NSMutableString") {
            const PlistValue* text = object.get("NS.string");
            if (!text || !text->asString()) return false;
            out = *text;
            return true;
        }
        if (*name == "NSData" || *name == "NSMutableData") {
            const PlistValue* bytes = object.get("NS.bytes");
            if (!bytes || !bytes->asData()) return false;
            out = *bytes;
            return true;
        }
        return false;
    }

    const PlistValue::Array& objects_;
    std::set<size_t> visiting_;
    size_t decoded_ = 0;
};

[[noreturn]] void improper() { throw BCNException(BCNException::kInvalidObfuscatedData, BCNObfuscator::kImproperDataReason); }

bool isBase64Alphabet(uint8_t byte) {
    return (byte >= 'A' && byte <= 'Z') || (byte >= 'a' && byte <= 'z') || (byte >= '0' && byte <= '9') ||
           byte == '+' || byte == '/' || byte == '=';
}

}  // namespace

foundation::Data BCNObfuscator::obfuscatedDataFromDictionary(const PlistValue::Dictionary& dictionary) {
    Writer writer;
    size_t root = writer.add(PlistValue(dictionary));
    auto text = foundation::PropertyList::writeXML(writer.archive(root));
    // Every value of a dictionary can be written, so this never fails.
    return foundation::Data::fromString(foundation::Data::fromString(text.valueOr({})).base64Encoded());
}

PlistValue::Dictionary BCNObfuscator::dictionaryWithObfuscatedData(const foundation::Data& data) {
    if (data.empty()) throw BCNException(BCNException::kInvalidObfuscatedData, kEmptyDataReason);
    // Base64 decoding elsewhere passes over white space; archives here are one unbroken line.
    for (uint8_t byte : data.span())
        if (!isBase64Alphabet(byte)) improper();
    if (data.length() > kMaxArchiveBytes / 3 * 4 + 4) improper();
    auto archive = foundation::Data::fromBase64(data.toString());
    if (!archive) improper();
    auto plist = foundation::PropertyList::read(archive->span());
    if (!plist.ok()) improper();
    const PlistValue& root = plist.value();
    const PlistValue* objects = root.get("$objects");
    const PlistValue* top = root.get("$top");
    const PlistValue* rootReference = top ? top->get("root") : nullptr;
    if (!objects || !objects->asArray() || !rootReference) improper();
    PlistValue value;
    Reader reader(*objects->asArray());
    if (!reader.decode(*rootReference, value, 0) || !value.asDictionary()) improper();
    return *value.asDictionary();
}
