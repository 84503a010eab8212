#include "sdk/beacon/BCNKitRegistry.h"

BCNKitRegistry& BCNKitRegistry::shared() {
    static BCNKitRegistry registry;
    return registry;
}

const BCNKitClass* BCNKitRegistry::registerKitClass(BCNKitClass kitClass) {
    std::lock_guard lock(mutex_);
    for (const auto& known : classes_)
        if (known.name == kitClass.name) return &known;
    classes_.push_back(std::move(kitClass));
    return &classes_.back();
}

const BCNKitClass* BCNKitRegistry::classNamed(const std::string& name) const {
    std::lock_guard lock(mutex_);
    for (const auto& known : classes_)
        if (known.name == name) return &known;
    return nullptr;
}

std::vector<const BCNKitClass*> BCNKitRegistry::registeredClasses() const {
    std::lock_guard lock(mutex_);
    std::vector<const BCNKitClass*> out;
    for (const auto& known : classes_) out.push_back(&known);
    return out;
}
