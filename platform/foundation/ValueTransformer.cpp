#include "ValueTransformer.h"

#include <map>
#include <mutex>

#include "KeyedArchiver.h"
#include "PlistValue.h"

namespace foundation {

namespace {

// Stored form: the archive's data as settings hold it (a PlistValue of Data);
// forward also takes bare Data.
class KeyedUnarchiveFromDataTransformer : public ValueTransformer {
public:
    std::any transformedValue(const std::any& value) const override {
        if (const Data* data = std::any_cast<Data>(&value)) return KeyedUnarchiver::unarchivedObject(*data);
        if (const PlistValue* plist = std::any_cast<PlistValue>(&value)) {
            if (const Data* data = plist->asData()) return KeyedUnarchiver::unarchivedObject(*data);
        }
        return {};
    }
    bool allowsReverseTransformation() const override { return true; }
    std::any reverseTransformedValue(const std::any& value) const override {
        std::optional<Data> data = KeyedArchiver::archivedData(value);
        if (!data) return {};
        return PlistValue(std::move(*data));
    }
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, std::shared_ptr<ValueTransformer>> byName{
        {ValueTransformer::kKeyedUnarchiveFromDataTransformerName,
         std::make_shared<KeyedUnarchiveFromDataTransformer>()}};
};

Registry& registry() {
    static Registry instance;
    return instance;
}

}  // namespace

ValueTransformer::~ValueTransformer() = default;

std::any ValueTransformer::reverseTransformedValue(const std::any&) const {
    return {};
}

void ValueTransformer::setValueTransformer(std::shared_ptr<ValueTransformer> transformer, const std::string& name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    if (transformer) r.byName[name] = std::move(transformer);
    else r.byName.erase(name);
}

std::shared_ptr<ValueTransformer> ValueTransformer::valueTransformerForName(const std::string& name) {
    Registry& r = registry();
    std::lock_guard lock(r.mutex);
    auto it = r.byName.find(name);
    return it == r.byName.end() ? nullptr : it->second;
}

}  // namespace foundation
