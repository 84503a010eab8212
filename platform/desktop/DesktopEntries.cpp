#include "platform/desktop/DesktopEntries.h"

#include <algorithm>
#include <cstdlib>
#include <fstream>
#include <sstream>
#include <system_error>
#include <unordered_set>

#include "platform/foundation/Paths.h"

namespace desktop {

namespace {

namespace fs = std::filesystem;

std::string lower(std::string_view text) {
    std::string out(text);
    std::transform(out.begin(), out.end(), out.begin(), [](unsigned char c) { return char(std::tolower(c)); });
    return out;
}

std::string_view trim(std::string_view text) {
    while (!text.empty() && (text.front() == ' ' || text.front() == '\t')) text.remove_prefix(1);
    while (!text.empty() && (text.back() == ' ' || text.back() == '\t' || text.back() == '\r')) text.remove_suffix(1);
    return text;
}

// The escapes a string value may hold (\s \n \t \r \\).
std::string unescape(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        if (value[i] != '\\' || i + 1 == value.size()) {
            out += value[i];
            continue;
        }
        switch (value[++i]) {
            case 's': out += ' '; break;
            case 'n': out += '\n'; break;
            case 't': out += '\t'; break;
            case 'r': out += '\r'; break;
            default: out += value[i]; break;
        }
    }
    return out;
}

// The file name of the program Exec runs, past an "env VAR=value" prefix.
std::string programOf(std::string_view exec) {
    auto words = DesktopEntries::splitExec(exec);
    size_t i = 0;
    if (!words.empty() && fs::path(words[0]).filename() == "env") {
        for (i = 1; i < words.size() && words[i].find('=') != std::string::npos; ++i) {
        }
    }
    return i < words.size() ? fs::path(words[i]).filename().string() : std::string();
}

std::string lastDottedPart(std::string_view id) {
    size_t dot = id.rfind('.');
    return std::string(dot == std::string_view::npos ? id : id.substr(dot + 1));
}

void collect(const fs::path& folder, const fs::path& base, std::vector<std::pair<std::string, fs::path>>& out) {
    std::error_code ec;
    for (fs::recursive_directory_iterator it(folder, fs::directory_options::skip_permission_denied, ec), end;
         !ec && it != end; it.increment(ec)) {
        if (it.depth() > 4) it.disable_recursion_pending();
        const fs::path& path = it->path();
        if (path.extension() != ".desktop" || !it->is_regular_file(ec)) continue;
        // The id is the path below the folder with "/" made "-".
        std::string id = path.lexically_relative(base).replace_extension().string();
        std::replace(id.begin(), id.end(), '/', '-');
        out.emplace_back(std::move(id), path);
    }
}

}  // namespace

std::vector<std::string> DesktopEntries::splitExec(std::string_view exec) {
    std::vector<std::string> words;
    std::string word;
    bool quoted = false, inWord = false;
    for (size_t i = 0; i < exec.size(); ++i) {
        char c = exec[i];
        if (quoted && c == '\\' && i + 1 < exec.size()) {
            word += exec[++i];
        } else if (c == '"') {
            quoted = !quoted;
            inWord = true;
        } else if (!quoted && (c == ' ' || c == '\t')) {
            if (inWord) words.push_back(std::move(word));
            word.clear();
            inWord = false;
        } else if (c == '%' && i + 1 < exec.size() && exec[i + 1] == '%') {
            word += exec[++i];
            inWord = true;
        } else {
            word += c;
            inWord = true;
        }
    }
    if (inWord) words.push_back(std::move(word));
    return words;
}

std::string DesktopEntries::escapeValue(std::string_view value) {
    std::string out;
    for (size_t i = 0; i < value.size(); ++i) {
        switch (value[i]) {
            case '\\': out += "\\\\"; break;
            case '\n': out += "\\n"; break;
            case '\t': out += "\\t"; break;
            case '\r': out += "\\r"; break;
            case ' ': out += i == 0 ? "\\s" : " "; break;
            default: out += value[i]; break;
        }
    }
    return out;
}

std::string DesktopEntries::quoteExec(const std::vector<std::string>& arguments) {
    std::string exec;
    for (const std::string& argument : arguments) {
        if (!exec.empty()) exec += ' ';
        exec += '"';
        for (char c : argument) {
            if (c == '"' || c == '`' || c == '$' || c == '\\') exec += '\\';
            if (c == '%') exec += '%';
            exec += c;
        }
        exec += '"';
    }
    return escapeValue(exec);
}

std::vector<fs::path> DesktopEntries::applicationFolders() {
    std::vector<fs::path> folders{foundation::Paths::dataHome() / "applications"};
    const char* dirs = std::getenv("XDG_DATA_DIRS");
    std::string list = dirs && *dirs ? dirs : "/usr/local/share:/usr/share";
    std::stringstream stream(list);
    for (std::string dir; std::getline(stream, dir, ':');) {
        if (!dir.empty() && fs::path(dir).is_absolute()) folders.push_back(fs::path(dir) / "applications");
    }
    return folders;
}

DesktopEntries DesktopEntries::load() { return loadFrom(applicationFolders()); }

DesktopEntries DesktopEntries::loadFrom(const std::vector<fs::path>& applicationFolders) {
    DesktopEntries entries;
    std::unordered_set<std::string> seen;
    for (const auto& folder : applicationFolders) {
        std::vector<std::pair<std::string, fs::path>> files;
        collect(folder, folder, files);
        std::sort(files.begin(), files.end());
        for (auto& [id, path] : files) {
            // An id an earlier folder had is hidden here, even when that entry was not an application.
            if (!seen.insert(id).second) continue;
            if (auto entry = read(path, id)) entries.add(std::move(*entry));
        }
    }
    return entries;
}

std::optional<DesktopEntry> DesktopEntries::read(const fs::path& path, std::string id) {
    std::error_code ec;
    if (fs::file_size(path, ec) > kMaxEntryBytes || ec) return std::nullopt;
    std::ifstream in(path, std::ios::binary);
    if (!in) return std::nullopt;
    std::string text((std::istreambuf_iterator<char>(in)), std::istreambuf_iterator<char>());
    return parse(text, std::move(id));
}

std::string DesktopEntries::idForPath(const fs::path& path, const std::vector<fs::path>& applicationFolders) {
    std::error_code ec;
    fs::path file = fs::weakly_canonical(path, ec);
    if (ec) file = path.lexically_normal();
    for (const auto& folder : applicationFolders) {
        fs::path base = fs::weakly_canonical(folder, ec);
        if (ec) continue;
        fs::path relative = file.lexically_relative(base);
        if (relative.empty() || *relative.begin() == "..") continue;
        std::string id = relative.replace_extension().string();
        std::replace(id.begin(), id.end(), '/', '-');
        return id;
    }
    return path.filename().replace_extension().string();
}

std::optional<DesktopEntry> DesktopEntries::parse(std::string_view text, std::string id) {
    DesktopEntry entry;
    entry.id = std::move(id);
    bool inMain = false, application = false, hidden = false;
    while (!text.empty()) {
        size_t end = text.find('\n');
        std::string_view line = trim(text.substr(0, end));
        text.remove_prefix(end == std::string_view::npos ? text.size() : end + 1);
        if (line.empty() || line.front() == '#') continue;
        if (line.front() == '[') {
            inMain = line == "[Desktop Entry]";
            continue;
        }
        size_t eq = line.find('=');
        if (!inMain || eq == std::string_view::npos) continue;
        std::string_view key = trim(line.substr(0, eq));
        std::string value = unescape(trim(line.substr(eq + 1)));
        if (key == "Type") application = value == "Application";
        else if (key == "Name") entry.name = value;
        else if (key == "StartupWMClass") entry.startupWMClass = value;
        else if (key == "Exec") entry.exec = value;
        else if (key == "Icon") entry.icon = value;
        else if (key == "Hidden") hidden = value == "true";
    }
    if (!application || hidden || entry.id.empty()) return std::nullopt;
    entry.executable = programOf(entry.exec);
    return entry;
}

void DesktopEntries::add(DesktopEntry entry) {
    size_t at = entries_.size();
    byID_.emplace(lower(entry.id), at);
    byShortID_.emplace(lower(lastDottedPart(entry.id)), at);
    if (!entry.startupWMClass.empty()) byWMClass_.emplace(lower(entry.startupWMClass), at);
    if (!entry.executable.empty()) byExecutable_.emplace(lower(entry.executable), at);
    entries_.push_back(std::move(entry));
}

const DesktopEntry* DesktopEntries::byKey(const std::unordered_map<std::string, size_t>& index,
                                          std::string_view key) const {
    if (key.empty()) return nullptr;
    auto it = index.find(lower(key));
    return it == index.end() ? nullptr : &entries_[it->second];
}

const DesktopEntry* DesktopEntries::match(const WindowClaims& claims) const {
    const std::string_view wm[] = {claims.wmClass, claims.wmInstance};
    if (auto* e = byKey(byID_, claims.applicationID)) return e;
    for (auto name : wm)
        if (auto* e = byKey(byWMClass_, name)) return e;
    for (auto name : wm)
        if (auto* e = byKey(byID_, name)) return e;
    for (auto name : wm)
        if (auto* e = byKey(byShortID_, name)) return e;
    return byKey(byExecutable_, claims.executable);
}

}  // namespace desktop
