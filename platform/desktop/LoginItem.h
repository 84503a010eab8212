#pragma once
// Login items: helper programs that an application bundle carries in its
// Contents/Library/LoginItems and that the desktop session starts when the user
// logs in. A registered item is an XDG autostart entry,
// $XDG_CONFIG_HOME/autostart/<identifier>.desktop, whose Exec runs the helper's
// program by its absolute path. Items are named by their bundle identifier and
// looked for in the main bundle. Plain file work; any thread.
#include <filesystem>
#include <string>
#include <string_view>

#include "platform/foundation/Result.h"

namespace desktop {

class LoginItem {
public:
    // Registers (enabled) or unregisters the main bundle's login item whose
    // "CFBundleIdentifier" is bundleIdentifier. Registering writes the entry
    // whole through a temporary file and a rename; unregistering removes it,
    // and an absent entry counts as removed. An identifier no login item of
    // the bundle carries, or any I/O error, fails and leaves the entry as it was.
    static foundation::Result<void> setEnabled(const std::string& bundleIdentifier, bool enabled);

    // An entry names the helper by its path, so after the application has
    // moved it starts the old copy or nothing. When the entry exists, is in
    // use (not hidden) and runs another program than this bundle's helper, it
    // is written again for this bundle. Answers whether it was written.
    static foundation::Result<bool> updateIfMoved(const std::string& bundleIdentifier);

    // The program of the main bundle's login item with this identifier, as an
    // absolute path.
    static foundation::Result<std::filesystem::path> programPath(const std::string& bundleIdentifier);
    // Where the item's autostart entry lies.
    static std::filesystem::path entryPath(const std::string& bundleIdentifier);
    // The autostart entry that starts program, shown under name.
    static std::string entryText(const std::string& name, const std::filesystem::path& program);
    // The program an entry's Exec runs, its quoting undone; empty when the
    // entry runs nothing or is hidden.
    static std::string entryProgram(std::string_view text);
};

}  // namespace desktop
