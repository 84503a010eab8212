#pragma once
// Opening addresses, files and folders with the programs the desktop chooses,
// and starting another application bundle. Main queue only.
//
// The real back-end is made once at start-up; tests put a recording fake in
// its place with setCurrent().
#include <filesystem>
#include <memory>
#include <string>

#include "platform/foundation/Result.h"

namespace desktop {

class Workspace {
public:
    virtual ~Workspace() = default;

    // Opens the address with the desktop's handler for its scheme (the
    // browser for web addresses); false when nothing could be started.
    virtual bool openURL(const std::string& url) = 0;
    // Opens a file with its program, or a folder in the file manager.
    virtual bool openFile(const std::filesystem::path& path) = 0;
    // Starts the application bundle at bundlePath: when a process already owns
    // the bundle's identifier on the session bus, that process is asked to
    // reopen instead; otherwise the bundle's executable is started detached (a
    // session of its own, no standard streams, nobody waiting for it).
    virtual foundation::Result<void> launchApplicationAtPath(const std::filesystem::path& bundlePath) = 0;

    // The workspace in use: the desktop's until a test replaces it.
    static std::shared_ptr<Workspace> current();
    // Makes workspace the current one; null restores the desktop's.
    static void setCurrent(std::shared_ptr<Workspace> workspace);
    // The desktop's workspace (QDesktopServices and the session bus).
    static std::shared_ptr<Workspace> makeDefault();
};

}  // namespace desktop
