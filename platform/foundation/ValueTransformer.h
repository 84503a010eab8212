#pragma once
// Named conversions between a stored form and a value, as settings bindings
// use them: a recorder writes its value through a transformer's reverse
// direction and reads the stored form back through the forward one. Values are
// carried in std::any; an empty std::any is "no value". Any thread.

#include <any>
#include <memory>
#include <string>

namespace foundation {

class ValueTransformer {
public:
    // Archive data (a PlistValue holding Data, or Data) to the archived value,
    // and back; registered under this name from the start.
    static constexpr const char* kKeyedUnarchiveFromDataTransformerName = "NSKeyedUnarchiveFromData";

    virtual ~ValueTransformer();

    virtual std::any transformedValue(const std::any& value) const = 0;
    virtual bool allowsReverseTransformation() const { return false; }
    // Empty unless the transformer allows reverse transformation.
    virtual std::any reverseTransformedValue(const std::any& value) const;

    // A null transformer removes the name.
    static void setValueTransformer(std::shared_ptr<ValueTransformer> transformer, const std::string& name);
    static std::shared_ptr<ValueTransformer> valueTransformerForName(const std::string& name);
};

}  // namespace foundation
