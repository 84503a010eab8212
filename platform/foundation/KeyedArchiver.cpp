#include "KeyedArchiver.h"

#include <map>
#include <mutex>

#include "PropertyList.h"

namespace foundation {

namespace {

struct ArchivedClass {
    std::string name;
    std::function<void(const std::any&, KeyedArchiver&)> encode;
    std::function<std::any(const KeyedUnarchiver&)> decode;
};

struct ClassRegistry {
    std::mutex mutex;
    std::map<std::type_index, ArchivedClass> byType;
    std::map<std::string, std::type_index> byName;
};

ClassRegistry& registry() {
    static ClassRegistry instance;
    return instance;
}

}  // namespace

KeyedArchiver::KeyedArchiver(std::string className) {
    fields_[kClassKey] = PlistValue(std::move(className));
}

Data KeyedArchiver::encodedData() const {
    // Every value put in is a string or an encodable property-list value, so the
    // writer cannot refuse it.
    Result<std::string> xml = PropertyList::writeXML(PlistValue(fields_));
    return xml.ok() ? Data::fromString(xml.value()) : Data();
}

void KeyedArchiver::registerClass(const std::string& className, std::type_index type, Encoder encoder,
                                  Decoder decoder) {
    ClassRegistry& r = registry();
    std::lock_guard lock(r.mutex);
    r.byType.insert_or_assign(type, ArchivedClass{className, std::move(encoder), std::move(decoder)});
    r.byName.insert_or_assign(className, type);
}

std::optional<Data> KeyedArchiver::archivedData(const std::any& rootObject) {
    if (!rootObject.has_value()) return std::nullopt;
    ArchivedClass archived;
    {
        ClassRegistry& r = registry();
        std::lock_guard lock(r.mutex);
        auto it = r.byType.find(std::type_index(rootObject.type()));
        if (it == r.byType.end()) return std::nullopt;
        archived = it->second;
    }
    KeyedArchiver archiver(archived.name);
    archived.encode(rootObject, archiver);
    return archiver.encodedData();
}

std::optional<KeyedUnarchiver> KeyedUnarchiver::forReadingFromData(const Data& data) {
    if (data.empty() || data.length() > kMaxArchiveBytes) return std::nullopt;
    Result<PlistValue> root = PropertyList::read(data.span());
    if (!root.ok()) return std::nullopt;
    const PlistValue::Dictionary* fields = root.value().asDictionary();
    if (!fields) return std::nullopt;
    auto name = fields->find(KeyedArchiver::kClassKey);
    if (name == fields->end() || !name->second.asString()) return std::nullopt;
    std::string className = *name->second.asString();
    PlistValue::Dictionary rest = *fields;
    rest.erase(KeyedArchiver::kClassKey);
    return KeyedUnarchiver(std::move(className), std::move(rest));
}

std::any KeyedUnarchiver::unarchivedObject(const Data& data) {
    std::optional<KeyedUnarchiver> unarchiver = forReadingFromData(data);
    if (!unarchiver) return {};
    std::function<std::any(const KeyedUnarchiver&)> decode;
    {
        ClassRegistry& r = registry();
        std::lock_guard lock(r.mutex);
        auto name = r.byName.find(unarchiver->className());
        if (name == r.byName.end()) return {};
        decode = r.byType.at(name->second).decode;
    }
    return decode(*unarchiver);
}

std::optional<int64_t> KeyedUnarchiver::decodeIntegerForKey(const std::string& key) const {
    auto it = fields_.find(key);
    if (it == fields_.end() || it->second.type() != PlistValue::Type::Integer) return std::nullopt;
    return it->second.asInteger();
}

PlistValue KeyedUnarchiver::decodeObjectForKey(const std::string& key) const {
    auto it = fields_.find(key);
    return it == fields_.end() ? PlistValue() : it->second;
}

}  // namespace foundation
