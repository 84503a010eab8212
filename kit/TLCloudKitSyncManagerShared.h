#pragma once
// What the sync engine's source files share: the settings suite, its
// notifications and status line, and log-safe record names.

#include <algorithm>
#include <memory>
#include <optional>
#include <string>
#include <string_view>

#include "kit/Clipping.h"
#include "kit/List.h"
#include "kit/TLSettings.h"
#include "kit/TLUserDefaultsKeys.h"
#include "platform/cloud/Error.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/UserDefaults.h"

namespace syncshared {

// The sync sources' name for the one settings suite.
inline constexpr auto& settings = TLSettings;

inline void postNotification(const char* name) { foundation::NotificationCenter::defaultCenter().post(name); }

// The status line: a text, or none to show the last-sync line again.
inline void postStatus(const std::optional<std::string>& status) {
    foundation::Notification notification{TLShowSyncStatusNotification, nullptr, {}, {}};
    if (status) notification.value = *status;
    foundation::NotificationCenter::defaultCenter().post(notification);
}

// A printable form of a record name for log lines (NULs would end the line).
inline std::string printableName(const std::string& name) {
    std::string out = name.substr(0, 64);
    std::replace(out.begin(), out.end(), '\0', '?');
    return out;
}

// The attribute holding an object's record name.
inline const char* identifierKey(std::string_view entity) {
    if (entity == List::kEntityName) return "listID";
    if (entity == Clipping::kEntityName) return "clippingID";
    return "assetID";
}

// An error for the Sync pane to show.
inline void postError(const cloud::Error& error) {
    foundation::Notification notification{TLSyncErrorNotification, nullptr, error.toFoundationError(), {}};
    foundation::NotificationCenter::defaultCenter().post(notification);
}

// Stores the current local time as the last sync.
inline void storeLastSyncDate() {
    auto suite = settings();
    suite->setObject(foundation::Date::now(), TLUserDefaultsLastSyncDate);
    suite->synchronize();
}

}  // namespace syncshared
