#pragma once
// Whether two devices and the zone agree once the faults are healed: the
// same record names with the same record fields in both stores and on the
// server, equal asset bytes (SHA-256), nothing left marked for upload, no
// deletion pending and both change tokens at the zone's last change. A
// failure names the scenario and the seed and shows each store's
// difference from the zone, with the devices' transcripts.

#include <gtest/gtest.h>

#include <chrono>
#include <cstdint>
#include <map>
#include <set>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"

namespace e2e {

class CloudAccount;
class DeviceProcess;

class ConvergenceChecker {
public:
    // "Type name" to the record's fields, each as text.
    using Records = std::map<std::string, std::map<std::string, std::string>>;

    ConvergenceChecker(std::string scenario, uint64_t seed) : scenario_(std::move(scenario)), seed_(seed) {}
    // Records ("Type name") the device (or "zone") holds that the others do
    // not on purpose, such as an asset the server refuses or a record no
    // device takes: left out of its comparison.
    void setAside(const std::string& device, std::set<std::string> records) { setAside_[device] = std::move(records); }

    // Lets every device fetch and go idle, then compares; again until limit.
    ::testing::AssertionResult converged(const CloudAccount& account, const std::vector<DeviceProcess*>& devices,
                                         std::chrono::seconds limit = std::chrono::seconds(60)) const;

    // The record fields of a device's dump and of the tool's.
    static Records fromDevice(const std::vector<foundation::PlistValue>& dump);
    static Records fromServer(const std::vector<foundation::PlistValue>& dump);
    // One line per record or field that differs; empty when equal.
    static std::string difference(const Records& expected, const std::string& expectedName, const Records& actual,
                                  const std::string& actualName);

private:
    // Empty when converged, else what differs.
    std::string problems(const CloudAccount& account, const std::vector<DeviceProcess*>& devices) const;

    std::string scenario_;
    uint64_t seed_;
    std::map<std::string, std::set<std::string>> setAside_;
};

}  // namespace e2e
