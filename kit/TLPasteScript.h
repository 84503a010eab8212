#pragma once
// The paste script: "Paste.scpt" in the user's scripts folder, a program that
// presses the paste keys for the window that has the keyboard. The bundle
// carries one among its resources; installPasteScript() copies it into the
// scripts folder when the user asks, and run() starts the installed one.
//
// Only a script the user owns is run: a regular executable file of this user
// that others cannot write. Anything else in its place is logged and counts as
// no script. It is started directly (no shell) with no arguments, so nothing
// of a clipping ever reaches it.
//
// Main thread (run() reports there).
#include <filesystem>
#include <functional>
#include <optional>

#include "platform/foundation/Error.h"
#include "platform/foundation/Result.h"

class TLPasteScript {
public:
    static constexpr const char* kScriptName = "Paste.scpt";
    static constexpr const char* kErrorDomain = "NSCocoaErrorDomain";
    // The file is there already (a file, a link or a folder of that name).
    static constexpr int64_t kFileExistsError = 516;
    // Not the scripts folder, or the copy could not be made.
    static constexpr int64_t kWriteNoPermissionError = 513;
    static constexpr int64_t kWriteUnknownError = 512;
    // A script still running this long is stopped.
    static constexpr double kTimeoutSeconds = 10;

    // Where the installed script lives: the scripts folder's "Paste.scpt".
    static std::filesystem::path scriptPath();
    // The installed script, when it is one this program runs (else logged).
    static std::optional<std::filesystem::path> installedScript();
    // The script among the bundle's resources.
    static std::optional<std::filesystem::path> bundledScript();

    // Copies the bundle's script into folder, which must be the scripts
    // folder (compared by canonical path), as "Paste.scpt" with mode 0700. It
    // never replaces a file nor writes through a link: an existing name
    // answers kFileExistsError and changes nothing. A copy that fails leaves
    // no file behind. source: the script to copy (tests); none: the bundle's.
    static foundation::Result<void> installPasteScript(const std::filesystem::path& folder,
                                                       std::optional<std::filesystem::path> source = std::nullopt);

    // Runs the script at path; completion gets nothing when it exited 0, else
    // what went wrong (it did not start, it failed, or it was stopped after
    // kTimeoutSeconds on the dispatch clock). Completion runs once, on the
    // main thread.
    static void run(const std::filesystem::path& path, std::function<void(std::optional<foundation::Error>)> completion);
};
