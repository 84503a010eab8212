#pragma once
// The one exception that crosses the kits' interfaces: a configuration fault
// the application must fix (a missing "Beacon" dictionary or API key, an object
// passed as a kit that is none, damaged obfuscated kit settings). Thrown only
// by Beacon::with, the first reads of Beacon::APIKey and Beacon::beaconConfig,
// and BCNObfuscator::dictionaryWithObfuscatedData; start-up catches it and goes
// on without kits. Every other failure of the kits is an error value.

#include <stdexcept>
#include <string>

class BCNException : public std::runtime_error {
public:
    static constexpr const char* kName = "BCNException";
    static constexpr const char* kInvalidObfuscatedData = "InvalidObfuscatedData";

    BCNException(std::string name, const std::string& reason) : std::runtime_error(reason), name_(std::move(name)) {}

    const std::string& name() const { return name_; }
    std::string reason() const { return what(); }

private:
    std::string name_;
};
