#pragma once
// Keyed archives of small values, as settings store them: one property-list
// dictionary {"$class": <class name>, <key>: <value>, ...} written as XML
// property-list data. Any thread.
//
// A class takes part by registering its name with an encoder and a decoder;
// archivedData() and unarchivedObject() then carry values of it in and out of
// data through std::any. Archives come from settings files, which people edit
// by hand and other programs may damage, so the reader refuses anything that is
// not exactly one registered class's dictionary, and anything larger than an
// archive of a small value can be.

#include <any>
#include <cstddef>
#include <cstdint>
#include <functional>
#include <optional>
#include <string>
#include <typeindex>

#include "Data.h"
#include "PlistValue.h"

namespace foundation {

class KeyedUnarchiver;

class KeyedArchiver {
public:
    static constexpr const char* kClassKey = "$class";

    explicit KeyedArchiver(std::string className);

    void encodeInteger(int64_t value, const std::string& key) { fields_[key] = PlistValue(value); }
    void encodeObject(const PlistValue& value, const std::string& key) { fields_[key] = value; }
    // The archive's data (an XML property list).
    Data encodedData() const;

    // Makes values of T archivable under className. T provides
    //   void encodeWithCoder(KeyedArchiver&) const;
    //   static std::optional<T> initWithCoder(const KeyedUnarchiver&);
    template <class T>
    static void registerClass(const std::string& className) {
        registerClass(className, std::type_index(typeid(T)),
                      [](const std::any& object, KeyedArchiver& archiver) {
                          std::any_cast<const T&>(object).encodeWithCoder(archiver);
                      },
                      [](const KeyedUnarchiver& unarchiver) -> std::any {
                          std::optional<T> value = T::initWithCoder(unarchiver);
                          return value ? std::any(std::move(*value)) : std::any();
                      });
    }
    // The archive of a value of a registered class; nullopt for an empty or
    // unregistered one.
    static std::optional<Data> archivedData(const std::any& rootObject);

private:
    using Encoder = std::function<void(const std::any&, KeyedArchiver&)>;
    using Decoder = std::function<std::any(const KeyedUnarchiver&)>;
    static void registerClass(const std::string& className, std::type_index type, Encoder encoder, Decoder decoder);
    friend class KeyedUnarchiver;

    PlistValue::Dictionary fields_;
};

class KeyedUnarchiver {
public:
    // An archive of one small value is a few hundred bytes; anything this large
    // is not one of ours.
    static constexpr size_t kMaxArchiveBytes = 64 * 1024;

    // nullopt unless data is a property-list dictionary naming its class.
    static std::optional<KeyedUnarchiver> forReadingFromData(const Data& data);
    // The decoded value of the registered class the archive names; an empty
    // std::any for anything else (the decoder refusing it included).
    static std::any unarchivedObject(const Data& data);

    const std::string& className() const { return className_; }
    bool containsValueForKey(const std::string& key) const { return fields_.count(key) != 0; }
    // nullopt when the key is absent or holds no integer.
    std::optional<int64_t> decodeIntegerForKey(const std::string& key) const;
    // Null when absent.
    PlistValue decodeObjectForKey(const std::string& key) const;

private:
    KeyedUnarchiver(std::string className, PlistValue::Dictionary fields)
        : className_(std::move(className)), fields_(std::move(fields)) {}

    std::string className_;
    PlistValue::Dictionary fields_;
};

}  // namespace foundation
