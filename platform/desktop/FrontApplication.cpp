#include "platform/desktop/FrontApplication.h"

#include "platform/desktop/X11FrontApplication.h"

namespace desktop {

namespace {

// A desktop that tells no window's application (Wayland, no display).
class NoFrontApplication final : public FrontApplication {
public:
    bool canIdentifyApplications() const override { return false; }
    std::optional<AppIdentity> activeApplication() override { return std::nullopt; }
    std::vector<AppIdentity> runningApplications() override { return {}; }
};

}  // namespace

FrontApplication::~FrontApplication() = default;

std::vector<AppIdentity> FrontApplication::runningApplicationsWithBundleIdentifier(std::string_view bundleIdentifier) {
    std::vector<AppIdentity> out;
    for (auto& app : runningApplications())
        if (app.bundleIdentifier == bundleIdentifier) out.push_back(std::move(app));
    return out;
}

std::shared_ptr<FrontApplication> FrontApplication::create() {
    if (auto x11 = X11FrontApplication::open()) return x11;
    return std::make_shared<NoFrontApplication>();
}

}  // namespace desktop
