#include "sdk/beacon/BBXURLSessionConfiguration.h"

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::defaultSessionConfiguration() {
    return std::make_shared<BBXURLSessionConfiguration>();
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::ephemeralSessionConfiguration() {
    return std::make_shared<BBXURLSessionConfiguration>();
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::backgroundSessionConfigurationWithIdentifier(
    const std::string&) {
    return nullptr;
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::backgroundSessionConfiguration(
    const std::string& identifier) {
    return backgroundSessionConfigurationWithIdentifier(identifier);
}

std::shared_ptr<BBXURLSessionConfiguration> BBXURLSessionConfiguration::copy() const {
    auto copy = std::make_shared<BBXURLSessionConfiguration>();
    copy->additionalHeaders_ = additionalHeaders_;
    return copy;
}
