#include "NSDateCloudKit.h"

#include <cmath>

#include "kit/TLUserDefaultsKeys.h"
#include "platform/foundation/UserDefaults.h"

namespace NSDateCloudKit {

foundation::Date currentServerDate() {
    double offset = foundation::UserDefaults::applicationGroup()->doubleForKey(TLUserDefaultsServerTimeOffset);
    if (!std::isfinite(offset)) offset = 0;  // a damaged setting must not poison every date
    return foundation::Date::now().addingTimeInterval(offset);
}

}  // namespace NSDateCloudKit
