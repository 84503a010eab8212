#pragma once
// The server-corrected clock: dates written on different computers compare on
// the sync server's clock. Any thread.

#include "platform/foundation/Date.h"

namespace NSDateCloudKit {

// Now plus the settings suite's "TLUserDefaultsServerTimeOffset" seconds (0 when unset).
foundation::Date currentServerDate();

}  // namespace NSDateCloudKit
