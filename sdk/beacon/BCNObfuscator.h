#pragma once
// Kit settings kept in Info.plist as "ObfuscatedKitInfo": the standard Base64
// text (no line breaks) of a keyed archive of a dictionary. No key or secret is
// involved. Any thread.
//
// The archive is the keyed-archiver layout of property lists ("$archiver",
// "$version", "$top" with "root", "$objects" holding the values and
// {"CF$UID": n} references), written as XML; archives of either property-list
// format are read. Strings, numbers, data, dates, arrays and dictionaries (and
// their mutable kinds) are understood; anything else makes the archive improper.

#include "platform/foundation/Data.h"
#include "platform/foundation/PlistValue.h"

class BCNObfuscator {
public:
    static constexpr const char* kEmptyDataReason = "Attempting to deobfuscate nil or empty data.";
    static constexpr const char* kImproperDataReason = "Improperly obfuscated data.";

    static foundation::Data obfuscatedDataFromDictionary(const foundation::PlistValue::Dictionary& dictionary);
    // Throws BCNException "InvalidObfuscatedData": kEmptyDataReason for empty
    // data; kImproperDataReason for anything but Base64 (white space included)
    // or for an archive that does not hold a dictionary.
    static foundation::PlistValue::Dictionary dictionaryWithObfuscatedData(const foundation::Data& data);
};
