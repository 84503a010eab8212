#include "sdk/tally/BBXAnalyticsIdentifierGenerator.h"

#include "sdk/beacon/BCNUUID.h"

std::string BBXAnalyticsIdentifierGenerator::generateSessionFragmentIdentifier() { return BCNCreateUUIDString(); }

std::string BBXAnalyticsIdentifierGenerator::generateEventIdentifier() { return BCNCreateUUIDString(); }
