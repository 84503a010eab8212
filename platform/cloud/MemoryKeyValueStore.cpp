#include "MemoryKeyValueStore.h"

namespace cloud {

using foundation::PlistValue;

size_t MemoryKeyValueStore::byteSize(const PlistValue& value) {
    switch (value.type()) {
    case PlistValue::Type::Null: return 0;
    case PlistValue::Type::String: return value.asString()->size();
    case PlistValue::Type::Data: return value.asData()->length();
    case PlistValue::Type::Array: {
        size_t total = 0;
        for (const PlistValue& element : *value.asArray()) total += byteSize(element);
        return total;
    }
    case PlistValue::Type::Dictionary: {
        size_t total = 0;
        for (const auto& [key, element] : *value.asDictionary()) total += key.size() + byteSize(element);
        return total;
    }
    default: return 8;  // numbers, booleans, dates
    }
}

PlistValue MemoryKeyValueStore::objectForKey(const std::string& key) const {
    std::lock_guard lock(mutex_);
    auto it = values_.find(key);
    return it == values_.end() ? PlistValue() : it->second;
}

void MemoryKeyValueStore::setObject(const PlistValue& value, const std::string& key) {
    {
        std::lock_guard lock(mutex_);
        auto it = values_.find(key);
        size_t oldBytes = it == values_.end() ? 0 : key.size() + byteSize(it->second);
        if (value.isNull()) {
            if (it != values_.end()) values_.erase(it);
            totalBytes_ -= oldBytes;
            return;
        }
        size_t newBytes = key.size() + byteSize(value);
        size_t keys = values_.size() + (it == values_.end() ? 1 : 0);
        if (key.size() <= kMaxKeyBytes && keys <= kMaxKeys && totalBytes_ - oldBytes + newBytes <= kMaxTotalBytes) {
            values_[key] = value;
            totalBytes_ = totalBytes_ - oldBytes + newBytes;
            return;
        }
        ++refusedWrites_;
    }
    postExternalChange(kQuotaViolationChange, {key});
}

PlistValue::Dictionary MemoryKeyValueStore::dictionaryRepresentation() const {
    std::lock_guard lock(mutex_);
    return values_;
}

bool MemoryKeyValueStore::synchronize() {
    std::lock_guard lock(mutex_);
    ++synchronizeCount_;
    return true;
}

void MemoryKeyValueStore::simulateExternalChange(int64_t reason,
                                                 const std::vector<std::pair<std::string, PlistValue>>& changes) {
    std::vector<std::string> keys;
    {
        std::lock_guard lock(mutex_);
        for (const auto& [key, value] : changes) {
            auto it = values_.find(key);
            if (it != values_.end()) totalBytes_ -= key.size() + byteSize(it->second);
            if (value.isNull()) {
                if (it != values_.end()) values_.erase(it);
            } else {
                values_[key] = value;
                totalBytes_ += key.size() + byteSize(value);
            }
            keys.push_back(key);
        }
    }
    postExternalChange(reason, std::move(keys));
}

int MemoryKeyValueStore::synchronizeCount() const {
    std::lock_guard lock(mutex_);
    return synchronizeCount_;
}

int MemoryKeyValueStore::refusedWrites() const {
    std::lock_guard lock(mutex_);
    return refusedWrites_;
}

}  // namespace cloud
