#include "AppDelegate.h"

#include <cerrno>
#include <cstdio>
#include <system_error>
#include <vector>

#include "platform/desktop/ApplicationLauncher.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/SystemLog.h"

namespace launcher {

namespace {

namespace fs = std::filesystem;

constexpr const char* kDomain = "com.tavlo.TavloLauncher";

// The launcher has no window to say anything in: its lines go to the system
// log and, for a session that keeps its programs' output, standard error.
void report(const std::string& line) {
    foundation::systemLog(line);
    std::fprintf(stderr, "%s\n", line.c_str());
}

bool isApp(const fs::path& component) { return component.extension() == ".app" && component.stem() != ""; }

}  // namespace

AppDelegate::AppDelegate(std::function<void()> terminate) : terminate_(std::move(terminate)) {}

foundation::Result<fs::path> AppDelegate::applicationBundlePath(const fs::path& launcherBundle) {
    std::vector<fs::path> components;
    for (const fs::path& component : launcherBundle.lexically_normal())
        if (!component.empty()) components.push_back(component);
    const size_t count = components.size();
    // A launcher four levels below nothing, or below something that is not an
    // application's login items, would start whatever happens to lie there.
    if (count < 5 || !isApp(components[count - 1]) || components[count - 2] != "LoginItems" ||
        components[count - 3] != "Library" || components[count - 4] != "Contents" || !isApp(components[count - 5]))
        return foundation::Error(kDomain, EINVAL,
                                 "TavloLauncher does not lie in an application's Contents/Library/LoginItems: " +
                                     launcherBundle.string());
    fs::path application;
    for (size_t i = 0; i + 4 < count; ++i) application /= components[i];
    std::error_code ec;
    if (!fs::is_regular_file(application / "Contents" / "Info.plist", ec))
        return foundation::Error(kDomain, ENOENT, "TavloLauncher finds no application at " + application.string());
    return application;
}

void AppDelegate::applicationDidFinishLaunching() {
    auto application = applicationBundlePath(foundation::Bundle::main()->bundlePath());
    if (!application.ok()) {
        report(application.error().localizedDescription());
    } else if (auto launched = desktop::ApplicationLauncher::launchApplicationAtPath(application.value());
               !launched.ok()) {
        report("TavloLauncher could not launch " + application.value().string() + ": " +
               launched.error().localizedDescription());
    }
    terminate_();
}

}  // namespace launcher
