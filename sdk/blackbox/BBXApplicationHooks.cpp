#include "sdk/blackbox/BBXApplicationHooks.h"

#include <map>
#include <mutex>

namespace {

struct Registration {
    void* application = nullptr;
    BBXReportExceptionFunction reporter = nullptr;
};

struct Registry {
    std::mutex mutex;
    std::map<std::string, Registration> classes;
};

Registry& registry() {
    static auto* shared = new Registry;  // outlives static destructors
    return *shared;
}

}  // namespace

void BBXApplicationRegister(const std::string& className, void* application, BBXReportExceptionFunction reporter) {
    std::lock_guard lock(registry().mutex);
    if (!application) registry().classes.erase(className);
    else registry().classes[className] = Registration{application, reporter};
}

void* BBXApplicationShared(const std::string& className) {
    std::lock_guard lock(registry().mutex);
    auto found = registry().classes.find(className);
    return found == registry().classes.end() ? nullptr : found->second.application;
}

BBXReportExceptionFunction BBXApplicationReporter(const std::string& className) {
    std::lock_guard lock(registry().mutex);
    auto found = registry().classes.find(className);
    return found == registry().classes.end() ? nullptr : found->second.reporter;
}

BBXReportExceptionFunction BBXApplicationReplaceReporter(const std::string& className,
                                                         BBXReportExceptionFunction replacement) {
    std::lock_guard lock(registry().mutex);
    auto found = registry().classes.find(className);
    if (found == registry().classes.end()) return nullptr;
    BBXReportExceptionFunction replaced = found->second.reporter;
    found->second.reporter = replacement;
    return replaced;
}

bool BBXApplicationReportException(const std::string& className, const BBXKitException& exception) {
    Registration registration;
    {
        std::lock_guard lock(registry().mutex);
        auto found = registry().classes.find(className);
        if (found == registry().classes.end() || !found->second.reporter) return false;
        registration = found->second;
    }
    registration.reporter(registration.application, exception);
    return true;
}
