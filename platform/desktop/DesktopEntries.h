#pragma once
// The installed applications as the desktop knows them: the ".desktop" files
// of the "applications" folders under XDG_DATA_HOME and XDG_DATA_DIRS. A
// window names its application only loosely (a GTK application id, the two
// WM_CLASS strings, a process); the entry that matches gives the stable
// identifier (the desktop-file id, "org.gnome.TextEditor") and the name the
// user knows. Plain value; any thread.

#include <filesystem>
#include <optional>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace desktop {

struct DesktopEntry {
    std::string id;              // the desktop-file id without ".desktop"
    std::string name;            // Name=
    std::string startupWMClass;  // StartupWMClass=, may be empty
    std::string executable;      // the file name of Exec='s program, may be empty
    std::string exec;            // Exec= with the string escapes undone, may be empty
    std::string icon;            // Icon=: a theme icon name or an absolute path, may be empty
};

// What a window says about its application.
struct WindowClaims {
    std::string applicationID;  // _GTK_APPLICATION_ID
    std::string wmInstance;     // WM_CLASS, first string
    std::string wmClass;        // WM_CLASS, second string
    std::string executable;     // the file name of the process's program
};

class DesktopEntries {
public:
    // Entries files larger than this are not application entries.
    static constexpr size_t kMaxEntryBytes = 256 * 1024;

    DesktopEntries() = default;
    // The entries of the application folders of the XDG data folders; a folder
    // earlier in the search order hides an entry of the same id in a later one.
    static DesktopEntries load();
    static DesktopEntries loadFrom(const std::vector<std::filesystem::path>& applicationFolders);
    // The "applications" folders in search order.
    static std::vector<std::filesystem::path> applicationFolders();
    // One file's entry: nothing unless its [Desktop Entry] group describes a
    // visible application (Type=Application, not Hidden).
    static std::optional<DesktopEntry> parse(std::string_view text, std::string id);

    // The desktop-file id of the entry file at path: its path below the
    // first application folder that holds it with "/" made "-", or (outside
    // them all) its file name; without ".desktop" either way.
    static std::string idForPath(const std::filesystem::path& path,
                                 const std::vector<std::filesystem::path>& applicationFolders);
    // One entry file read and parsed; nothing when it is too large, unreadable
    // or no visible application.
    static std::optional<DesktopEntry> read(const std::filesystem::path& path, std::string id);

    // Exec's arguments with the desktop-entry quoting undone and "%%" read as
    // "%"; other field codes ("%U") are left as written. exec is the value
    // with its string escapes already undone (DesktopEntry::exec).
    static std::vector<std::string> splitExec(std::string_view exec);
    // A string value as a desktop entry holds it (\s \n \t \r \\).
    static std::string escapeValue(std::string_view value);
    // The value to write after "Exec=" that runs arguments as they are: each
    // one quoted, with a backslash before '"', '`', '$' and '\\' and '%' as
    // "%%", then the whole escaped as a string value.
    static std::string quoteExec(const std::vector<std::string>& arguments);

    // The entry the window's application was installed with, tried from the
    // most to the least specific claim: the application id as a desktop-file
    // id, a WM_CLASS string as StartupWMClass, a WM_CLASS string as a
    // desktop-file id (whole, or its last dotted part), the program's name as
    // Exec's. Null when none matches.
    const DesktopEntry* match(const WindowClaims& claims) const;
    // The entry with this desktop-file id, or null.
    const DesktopEntry* entryWithID(std::string_view id) const { return byKey(byID_, id); }

    size_t size() const { return entries_.size(); }

private:
    void add(DesktopEntry entry);
    const DesktopEntry* byKey(const std::unordered_map<std::string, size_t>& index, std::string_view key) const;

    std::vector<DesktopEntry> entries_;
    // Lower-cased keys to positions in entries_; the first entry wins.
    std::unordered_map<std::string, size_t> byID_, byWMClass_, byShortID_, byExecutable_;
};

}  // namespace desktop
