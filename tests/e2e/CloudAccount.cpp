#include "CloudAccount.h"

#include <cstdlib>

#include "DeviceProcess.h"
#include "platform/cloud/Configuration.h"
#include "platform/foundation/JSON.h"
#include "platform/foundation/UserDefaults.h"
#include "tests/support/LockedDatabase.h"
#include "tests/support/PostgresServer.h"

namespace e2e {

namespace fs = std::filesystem;
using foundation::PlistValue;

std::string backendName(const ::testing::TestParamInfo<Backend>& info) {
    return info.param == Backend::Postgresql ? "Postgresql" : "Embedded";
}

std::unique_ptr<CloudAccount> CloudAccount::make(Backend backend, const fs::path& root, std::string& whyNot) {
    std::unique_ptr<CloudAccount> account(new CloudAccount(backend, root));
    fs::create_directories(root / "tool" / "config");
    if (backend == Backend::Postgresql) {
        auto* server = testsupport::PostgresServer::shared();
        if (!server) {
            whyNot = testsupport::PostgresServer::skipReason();
            return nullptr;
        }
        account->connection_ = server->databaseForCurrentTest();
        if (account->connection_.empty()) {
            whyNot = "the PostgreSQL server made no database for the test";
            return nullptr;
        }
    }
    auto used = testsupport::runCommand(account->useArguments(), std::chrono::seconds(30), account->toolEnvironment());
    if (used.status != 0) {
        whyNot = "tavlo-cloud use failed: " + used.output;
        return nullptr;
    }
    return account;
}

std::vector<std::string> CloudAccount::useArguments() const {
    if (backend_ == Backend::Postgresql)
        return {TAVLO_CLOUD_TOOL, "use", "postgresql", connection_, "--account", kAccountName};
    return {TAVLO_CLOUD_TOOL, "use", "embedded", (root_ / "store").string(), "--account", kAccountName};
}

std::map<std::string, std::string> CloudAccount::toolEnvironment() const {
    const fs::path home = root_ / "tool";
    return {{"HOME", home.string()},
            {"XDG_DATA_HOME", (home / "data").string()},
            {"XDG_CONFIG_HOME", (home / "config").string()},
            {"XDG_CACHE_HOME", (home / "cache").string()}};
}

::testing::AssertionResult CloudAccount::use(const DeviceProcess& device) {
    auto used = testsupport::runCommand(useArguments(), std::chrono::seconds(30), device.environment());
    if (used.status != 0) return ::testing::AssertionFailure() << "tavlo-cloud use for " << device.name() << ": " << used.output;
    return writeSettings(device.configHome(), cloud::Configuration::kSuiteName,
                         {{cloud::Configuration::kPushCheckIntervalKey, PlistValue(kPushCheckInterval)},
                          {"ErrorReconcileInterval", PlistValue(kErrorReconcileInterval)}});
}

testsupport::CommandResult CloudAccount::tool(const std::vector<std::string>& arguments, std::chrono::seconds timeout) const {
    std::vector<std::string> argv{TAVLO_CLOUD_TOOL};
    argv.insert(argv.end(), arguments.begin(), arguments.end());
    return testsupport::runCommand(argv, timeout, toolEnvironment());
}

::testing::AssertionResult CloudAccount::toolSucceeds(const std::vector<std::string>& arguments) const {
    auto result = tool(arguments);
    if (result.status == 0) return ::testing::AssertionSuccess();
    std::string line = "tavlo-cloud";
    for (const auto& a : arguments) line += " " + a;
    return ::testing::AssertionFailure() << line << ": exit " << result.status << "\n" << result.output;
}

std::optional<std::vector<PlistValue>> CloudAccount::dump() const {
    auto result = tool({"dump", kZone});
    if (result.status != 0) return std::nullopt;
    std::vector<PlistValue> out;
    size_t start = 0;
    while (start < result.output.size()) {
        size_t end = result.output.find('\n', start);
        if (end == std::string::npos) end = result.output.size();
        if (end > start) {
            auto value = foundation::JSON::read(std::string_view(result.output).substr(start, end - start));
            if (!value) return std::nullopt;
            out.push_back(value.value());
        }
        start = end + 1;
    }
    return out;
}

::testing::AssertionResult CloudAccount::addFault(const Fault& fault) const {
    std::vector<std::string> args{"fault", "add", fault.operation, std::to_string(fault.code)};
    if (!fault.device.empty()) args.insert(args.end(), {"--device", fault.device});
    if (!fault.record.empty()) args.insert(args.end(), {"--record", fault.record});
    if (fault.occurrence) args.insert(args.end(), {"--occurrence", std::to_string(fault.occurrence)});
    if (fault.retryAfter > 0) args.insert(args.end(), {"--retry-after", std::to_string(fault.retryAfter)});
    return toolSucceeds(args);
}

::testing::AssertionResult CloudAccount::takeOffline(const std::string& deviceID, int code) const {
    if (deviceID.empty()) return ::testing::AssertionFailure() << "no device identifier";
    for (const char* operation : {"modify", "fetch", "fetch-changes", "fetch-zone", "modify-zones",
                                  "modify-subscriptions", "fetch-subscriptions"}) {
        Fault fault;
        fault.operation = operation;
        fault.code = code;
        fault.device = deviceID;
        auto added = addFault(fault);
        if (!added) return added;
    }
    return ::testing::AssertionSuccess();
}

::testing::AssertionResult CloudAccount::clearFaults() const { return toolSucceeds({"fault", "clear"}); }

::testing::AssertionResult CloudAccount::sql(const std::string& statement) const {
    auto result = backend_ == Backend::Postgresql
                      ? testsupport::runCommand({"psql", "-q", "-v", "ON_ERROR_STOP=1", connection_, "-c", statement},
                                                std::chrono::seconds(30))
                      : testsupport::runCommand({"sqlite3", (root_ / "store" / "cloud.sqlite").string(), statement},
                                                std::chrono::seconds(30));
    if (result.status == 0) return ::testing::AssertionSuccess();
    return ::testing::AssertionFailure() << statement << ": exit " << result.status << "\n" << result.output;
}

namespace {

class EmbeddedHold : public CloudAccount::WriteHold {
public:
    explicit EmbeddedHold(const fs::path& file) : lock_(file, testsupport::LockedDatabase::Mode::Writer) {}
    bool held() const { return lock_.locked(); }

private:
    testsupport::LockedDatabase lock_;
};

// A psql session holding the records table in a transaction; readers go on.
class PostgresHold : public CloudAccount::WriteHold {
public:
    explicit PostgresHold(const std::string& connection) {
        session_ = testsupport::ChildProcess::start({"psql", "-q", "-t", "-A", "-v", "ON_ERROR_STOP=1", connection}, {},
                                                    testsupport::ChildProcess::Input::Pipe);
        held_ = session_ && session_->writeInput("BEGIN;\nLOCK TABLE records IN EXCLUSIVE MODE;\nSELECT 'held';\n") &&
                session_->waitForLine("held", std::chrono::seconds(30));
    }
    ~PostgresHold() override {
        if (!session_) return;
        session_->writeInput("COMMIT;\n");
        session_->closeInput();
        session_->wait(std::chrono::seconds(30));
    }
    bool held() const { return held_; }

private:
    std::unique_ptr<testsupport::ChildProcess> session_;
    bool held_ = false;
};

}  // namespace

std::unique_ptr<CloudAccount::WriteHold> CloudAccount::holdWrites() const {
    if (backend_ == Backend::Postgresql) {
        auto hold = std::make_unique<PostgresHold>(connection_);
        return hold->held() ? std::move(hold) : nullptr;
    }
    auto hold = std::make_unique<EmbeddedHold>(root_ / "store" / "cloud.sqlite");
    return hold->held() ? std::move(hold) : nullptr;
}

bool CloudAccount::stopServer() const {
    auto* server = testsupport::PostgresServer::shared();
    return backend_ == Backend::Postgresql && server && server->stop();
}

bool CloudAccount::startServer() const {
    auto* server = testsupport::PostgresServer::shared();
    return backend_ == Backend::Postgresql && server && server->start();
}

namespace {

// Runs body with XDG_CONFIG_HOME pointing at configHome, where suites are found
// (read afresh for each path).
template <class Body>
auto inSettingsFolder(const fs::path& configHome, Body body) {
    const char* saved = std::getenv("XDG_CONFIG_HOME");
    const std::string previous = saved ? saved : "";
    ::setenv("XDG_CONFIG_HOME", configHome.c_str(), 1);
    auto result = body();
    if (saved) ::setenv("XDG_CONFIG_HOME", previous.c_str(), 1);
    else ::unsetenv("XDG_CONFIG_HOME");
    return result;
}

}  // namespace

::testing::AssertionResult writeSettings(const fs::path& configHome, const std::string& suite,
                                         const std::map<std::string, PlistValue>& values) {
    const bool written = inSettingsFolder(configHome, [&] {
        auto defaults = foundation::UserDefaults::suite(suite);
        for (const auto& [key, value] : values) defaults->setObject(value, key);
        return defaults->synchronize();
    });
    if (!written) return ::testing::AssertionFailure() << "the suite " << suite << " in " << configHome << " was not written";
    return ::testing::AssertionSuccess();
}

PlistValue readSetting(const fs::path& configHome, const std::string& suite, const std::string& key) {
    return inSettingsFolder(configHome, [&] {
        // A read takes the file again once another process has replaced it.
        return foundation::UserDefaults::suite(suite)->objectForKey(key);
    });
}

}  // namespace e2e
