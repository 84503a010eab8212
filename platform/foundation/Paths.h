#pragma once
// The folders the application keeps its files in, after the XDG base-directory
// rules. Every path is derived from HOME and the XDG_* variables at each call,
// so a test that points them at a temporary folder touches nothing else. Any
// thread.

#include <filesystem>

#include "Result.h"

namespace foundation {

class Paths {
public:
    // The folder name the application uses inside the XDG folders.
    static constexpr const char* kApplicationFolder = "Tavlo";

    static std::filesystem::path home();
    static std::filesystem::path dataHome();    // $XDG_DATA_HOME or ~/.local/share
    static std::filesystem::path configHome();  // $XDG_CONFIG_HOME or ~/.config
    static std::filesystem::path cacheHome();   // $XDG_CACHE_HOME or ~/.cache

    // What the desktop frameworks call Application Support, and Caches.
    static std::filesystem::path applicationSupport() { return dataHome(); }
    static std::filesystem::path caches() { return cacheHome(); }
    // The container shared by the application's processes: the store and assets.
    static std::filesystem::path applicationGroupContainer();
    // Settings files (the settings suite and the standard user defaults).
    static std::filesystem::path preferences();
    // The application's private temporary folder. Start-up empties it, so it is
    // never the shared /tmp itself.
    static std::filesystem::path temporaryDirectory();
    // Where the paste script is installed.
    static std::filesystem::path applicationScripts();
    static std::filesystem::path autostart();

    // Creates the folder and its missing parents with the given mode (private by
    // default: the history is nobody else's business).
    static Result<void> createDirectory(const std::filesystem::path& path, unsigned mode = 0700);
};

}  // namespace foundation
