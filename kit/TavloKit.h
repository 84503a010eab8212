#pragma once
// Identifiers and the dark-mode decision shared by the whole application.
// Any thread.

#include <string>

class TavloKit {
public:
    // A new random UUID as its canonical 36-character upper-case text.
    static std::string generateUUID();
    // Whether the dark palette is in force, from the settings suite's
    // "TLUserDefaultsWindowAppearance" read afresh: 0 follows the desktop (dark
    // exactly when the global "AppleInterfaceStyle" is a string equal to "dark"
    // ignoring case), 1 is light, anything else dark.
    static bool isDarkMode();
};
