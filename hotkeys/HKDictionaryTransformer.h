#pragma once
// Converts a shortcut to and from the plain dictionary {"keyCode": <integer>,
// "modifierFlags": <integer>}; registered as "HKDictionaryTransformer". Forward:
// a PlistValue dictionary whose two entries read as integers (numbers or
// numeric text) gives an HKShortcut, anything else nothing. Reverse: an
// HKShortcut gives the dictionary, nothing gives an empty dictionary.

#include "platform/foundation/ValueTransformer.h"

class HKDictionaryTransformer : public foundation::ValueTransformer {
public:
    static constexpr const char* kName = "HKDictionaryTransformer";

    std::any transformedValue(const std::any& value) const override;
    bool allowsReverseTransformation() const override { return true; }
    std::any reverseTransformedValue(const std::any& value) const override;
};
