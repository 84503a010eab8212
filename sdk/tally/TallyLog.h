#pragma once
// The kit's diagnostic lines, "[Blackbox:Tally] ..." on the system log. Some
// are always written (attribute refusals, disabled tracking); the rest only
// while Beacon's debug flag is set. Any thread.

#include <string_view>

namespace tally {

void log(std::string_view message);
// Written only while Beacon's debug flag is set.
void debugLog(std::string_view message);
bool debugEnabled();

}  // namespace tally
