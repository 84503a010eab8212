#pragma once
// The account two devices share in a test: the embedded store in a folder of
// the test, or a database of its own on the test program's PostgreSQL server.
// The tool tavlo-cloud, run as a third device with its own folders, chooses
// it for each device, dumps the zone and injects faults.

#include <gtest/gtest.h>

#include <chrono>
#include <filesystem>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/PlistValue.h"
#include "tests/support/ChildProcess.h"

namespace e2e {

class DeviceProcess;

enum class Backend { Embedded, Postgresql };
std::string backendName(const ::testing::TestParamInfo<Backend>& info);

class CloudAccount {
public:
    static constexpr const char* kAccountName = "e2e";
    static constexpr const char* kZone = "Tavlo Zone";
    // How often a device looks for changes it was not told of, and the least
    // time between two reconciles started by upload errors: short, so no
    // test waits for the minute or the ten minutes a user's device waits.
    static constexpr double kPushCheckInterval = 2;
    static constexpr double kErrorReconcileInterval = 20;

    // The account in root (a folder of the test), or the reason it cannot be made.
    static std::unique_ptr<CloudAccount> make(Backend backend, const std::filesystem::path& root, std::string& whyNot);

    Backend backend() const { return backend_; }
    // Points the device's cloud settings at this account, with the intervals above.
    ::testing::AssertionResult use(const DeviceProcess& device);

    // Runs the tool as its own device on this account.
    testsupport::CommandResult tool(const std::vector<std::string>& arguments,
                                    std::chrono::seconds timeout = std::chrono::seconds(30)) const;
    ::testing::AssertionResult toolSucceeds(const std::vector<std::string>& arguments) const;
    // The zone's records as the tool dumps them; nothing when it failed.
    std::optional<std::vector<foundation::PlistValue>> dump() const;

    // A fault rule: the operation, the error code, and optionally the device,
    // a record, the occurrence it fires at (0: every time) and retry-after.
    struct Fault {
        std::string operation;
        int code = 0;
        std::string device;
        std::string record;
        int occurrence = 0;
        double retryAfter = 0;
    };
    ::testing::AssertionResult addFault(const Fault& fault) const;
    // Every operation of the device fails with code, as when it is offline.
    ::testing::AssertionResult takeOffline(const std::string& deviceID, int code = 3) const;
    ::testing::AssertionResult clearFaults() const;

    // Runs one SQL statement straight on the store, past the layer, as a
    // damaged or foreign writer would.
    ::testing::AssertionResult sql(const std::string& statement) const;

    // Another writer in the middle of a long transaction: while the hold
    // lives, every device's upload waits for the store (on the embedded
    // store until its busy time-out, 5 s; on PostgreSQL until the request
    // limit, 30 s). Null when the hold could not be taken.
    class WriteHold {
    public:
        virtual ~WriteHold() = default;
    };
    std::unique_ptr<WriteHold> holdWrites() const;

    // PostgreSQL only: the server stopped at once and started again.
    bool stopServer() const;
    bool startServer() const;

private:
    CloudAccount(Backend backend, std::filesystem::path root) : backend_(backend), root_(std::move(root)) {}
    std::map<std::string, std::string> toolEnvironment() const;
    // The use arguments for a device.
    std::vector<std::string> useArguments() const;

    Backend backend_;
    std::filesystem::path root_;
    std::string connection_;
};

// Writes values into one settings suite of a folder of settings (a device's
// XDG_CONFIG_HOME), as a user editing the file would.
::testing::AssertionResult writeSettings(const std::filesystem::path& configHome, const std::string& suite,
                                         const std::map<std::string, foundation::PlistValue>& values);

// A value of one settings suite of a folder of settings, as its file now holds it.
foundation::PlistValue readSetting(const std::filesystem::path& configHome, const std::string& suite,
                                   const std::string& key);

}  // namespace e2e
