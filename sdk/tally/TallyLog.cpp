#include "sdk/tally/TallyLog.h"

#include "platform/foundation/SystemLog.h"
#include "sdk/beacon/Beacon.h"

namespace tally {

void log(std::string_view message) { foundation::systemLog(message); }

bool debugEnabled() { return Beacon::sharedSDK()->debug(); }

void debugLog(std::string_view message) {
    if (debugEnabled()) log(message);
}

}  // namespace tally
