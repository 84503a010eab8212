#pragma once
// The settings start-up writes: the whole first-run table when the suite was
// never initialised, and later-added keys filled in at every launch. Main
// queue only.
#include "platform/foundation/PlistValue.h"
#include "platform/foundation/UserDefaults.h"

namespace TLLaunchSettings {

// The six copy templates a new installation starts with.
foundation::PlistValue::Array defaultCopyTemplates();

// Writes the first-run table, in its order, and synchronises.
void writeFirstRunSettings(foundation::UserDefaults& suite);

// Fills in the keys a launch finds absent, converts the older default rule
// once (then removes it, so the user's later choice in the Rules pane stands),
// and synchronises what changed. hideKeyWasPresent: whether the hide-at-launch
// key was stored before this launch wrote anything.
void fillInSettings(foundation::UserDefaults& suite, bool hideKeyWasPresent);

}  // namespace TLLaunchSettings
