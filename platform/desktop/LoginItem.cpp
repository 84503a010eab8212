#include "LoginItem.h"

#include <QString>

#include <unistd.h>

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cstring>
#include <system_error>
#include <vector>

#include "DesktopEntries.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Paths.h"

namespace desktop {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDomain = "com.tavlo.desktop.LoginItem";

foundation::Error failure(int code, const std::string& message) { return foundation::Error(kDomain, code, message); }

// Identifiers name the entry's file, so they keep to the characters bundle
// identifiers are made of.
bool isPlainIdentifier(const std::string& identifier) {
    if (identifier.empty() || identifier.front() == '.') return false;
    return std::all_of(identifier.begin(), identifier.end(), [](unsigned char c) {
        return std::isalnum(c) || c == '.' || c == '-' || c == '_';
    });
}

bool isValidUTF8(const std::string& text) {
    return QString::fromUtf8(text.data(), static_cast<qsizetype>(text.size())).toUtf8() ==
           QByteArray(text.data(), static_cast<qsizetype>(text.size()));
}

fs::path mainBundlePath() {
    std::error_code ec;
    fs::path path = fs::absolute(foundation::Bundle::main()->bundlePath(), ec).lexically_normal();
    if (path.filename().empty()) path = path.parent_path();
    return path;
}

// The name the session shows for the entry: the application's.
std::string applicationName() {
    auto main = foundation::Bundle::main();
    for (const char* key : {"CFBundleDisplayName", "CFBundleName"}) {
        auto value = main->objectForInfoDictionaryKey(key);
        if (value.asString() && !value.asString()->empty()) return *value.asString();
    }
    return mainBundlePath().stem().string();
}

foundation::Result<void> writeEntry(const std::string& bundleIdentifier, const fs::path& program) {
    std::string text = LoginItem::entryText(applicationName(), program);
    if (!isValidUTF8(text)) return failure(EILSEQ, "A desktop entry cannot name the path " + program.string());
    if (auto made = foundation::Paths::createDirectory(foundation::Paths::autostart()); !made.ok()) return made.error();
    return foundation::Data::fromString(text).writeToFile(LoginItem::entryPath(bundleIdentifier), 0644);
}

}  // namespace

foundation::Result<fs::path> LoginItem::programPath(const std::string& bundleIdentifier) {
    fs::path folder = mainBundlePath() / "Contents" / "Library" / "LoginItems";
    auto unknown = failure(ENOENT, "No login item of " + mainBundlePath().string() + " is named " + bundleIdentifier);
    if (!isPlainIdentifier(bundleIdentifier)) return unknown;
    std::vector<fs::path> bundles;
    std::error_code ec;
    for (fs::directory_iterator it(folder, ec), end; !ec && it != end; it.increment(ec)) {
        if (it->path().extension() == ".app" && it->is_directory(ec)) bundles.push_back(it->path());
    }
    std::sort(bundles.begin(), bundles.end());
    for (const fs::path& path : bundles) {
        auto bundle = foundation::Bundle::withPath(path);
        if (bundle->bundleIdentifier() != bundleIdentifier) continue;
        auto executable = bundle->objectForInfoDictionaryKey("CFBundleExecutable");
        const std::string* name = executable.asString();
        if (!name || name->empty() || *name == "." || *name == ".." || name->find('/') != std::string::npos)
            return failure(ENOENT, "The login item " + path.string() + " names no program");
        fs::path program = bundle->executableFolder() / *name;
        if (!fs::is_regular_file(program, ec) || ::access(program.c_str(), X_OK) != 0)
            return failure(ENOENT, "The login item's program cannot run: " + program.string());
        return program;
    }
    return unknown;
}

fs::path LoginItem::entryPath(const std::string& bundleIdentifier) {
    return foundation::Paths::autostart() / (bundleIdentifier + ".desktop");
}

std::string LoginItem::entryText(const std::string& name, const fs::path& program) {
    return "[Desktop Entry]\n"
           "Type=Application\n"
           "Name=" + DesktopEntries::escapeValue(name) + "\n"
           "Exec=" + DesktopEntries::quoteExec({program.string()}) + "\n"
           "X-GNOME-Autostart-enabled=true\n";
}

std::string LoginItem::entryProgram(std::string_view text) {
    auto entry = DesktopEntries::parse(text, "login-item");
    if (!entry) return {};
    auto words = DesktopEntries::splitExec(entry->exec);
    return words.empty() ? std::string() : words.front();
}

foundation::Result<void> LoginItem::setEnabled(const std::string& bundleIdentifier, bool enabled) {
    auto program = programPath(bundleIdentifier);
    if (!program.ok()) return program.error();
    if (enabled) return writeEntry(bundleIdentifier, program.value());
    fs::path entry = entryPath(bundleIdentifier);
    if (::unlink(entry.c_str()) != 0 && errno != ENOENT && errno != ENOTDIR) {
        int error = errno;
        return failure(error, "Cannot remove " + entry.string() + ": " + std::strerror(error));
    }
    return {};
}

foundation::Result<bool> LoginItem::updateIfMoved(const std::string& bundleIdentifier) {
    auto program = programPath(bundleIdentifier);
    if (!program.ok()) return program.error();
    fs::path entry = entryPath(bundleIdentifier);
    auto data = foundation::Data::contentsOfFile(entry, DesktopEntries::kMaxEntryBytes);
    if (!data.ok()) {
        // No entry: the user took start at login away through the desktop.
        if (data.error().code == ENOENT || data.error().code == ENOTDIR) return false;
        return data.error();
    }
    std::string current = entryProgram(data.value().toString());
    if (current.empty() || current == program.value().string()) return false;
    if (auto written = writeEntry(bundleIdentifier, program.value()); !written.ok()) return written.error();
    return true;
}

}  // namespace desktop
