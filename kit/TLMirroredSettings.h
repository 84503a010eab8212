#pragma once
// Settings kept both in the settings suite and, while sync is on, in the
// account's key-value store, so the user's devices share them: the history
// limit (a number), the copy templates (an array of dictionaries of a name and
// a format) and the recent searches (an array of strings).
//
// Only these keys come in from the store, and only with values of their type:
// anything else there (another program's keys, a device's local settings, a
// string where a number is read) is left alone. Main queue.

#include <string>
#include <vector>

#include "platform/foundation/Notification.h"
#include "platform/foundation/PlistValue.h"

class TLMirroredSettings {
public:
    // Whether key is one the store shares.
    static bool isMirroredKey(const std::string& key);
    // Whether value may stand under key in the suite when it comes from the
    // store; null (the key removed) always may.
    static bool acceptsValue(const std::string& key, const foundation::PlistValue& value);

    // Writes value (null removes the key) to the suite, synchronises it and
    // posts the notification named after the key with the value; then, while
    // sync is on, sets it in the key-value store and synchronises that.
    static void write(const std::string& key, const foundation::PlistValue& value);

    // Takes another device's change into the suite: while sync is on and for a
    // server, first-sync or account change, each changed key the store shares
    // with a value of its type is set (or removed) in order and its
    // notification posted, then the suite is synchronised once. Answers the
    // keys taken.
    static std::vector<std::string> applyStoreChange(const foundation::Notification& change);
};
