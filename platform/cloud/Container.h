#pragma once
// The application's container in the configured account: its private
// database, the account's status and this device's push channel. Every
// container of a process is the configured account's (its identifier is only
// a name). The store is opened on first use and again after a failure; with
// no account configured every call answers 9. Any thread; completions run on
// the container's own serial queue, never the main one.

#include <functional>
#include <memory>
#include <mutex>
#include <optional>
#include <string>

#include "Configuration.h"
#include "Error.h"
#include "Reply.h"

namespace cloud {

class Database;
class PushChannel;
class ZoneServer;

// Posted on the main queue (object: the container) when the configured
// back-end, folder or account changed.
inline constexpr const char* kAccountDidChangeNotification = "CloudAccountDidChangeNotification";

class Container : public std::enable_shared_from_this<Container> {
public:
    enum AccountStatus : int64_t {
        kCouldNotDetermine = 0,
        kAvailable = 1,
        kRestricted = 2,
        kNoAccount = 3,
    };
    using AccountStatusHandler = std::function<void(int64_t status, std::optional<Error> error)>;

    // The configured account's container, named by the bundle identifier.
    static std::shared_ptr<Container> defaultContainer();
    static std::shared_ptr<Container> containerWithIdentifier(const std::string& identifier);
    // A container over the given settings and device (the tool, tests).
    static std::shared_ptr<Container> make(std::string identifier, Configuration configuration, std::string deviceID);

    const std::string& containerIdentifier() const { return identifier_; }
    const std::string& deviceIdentifier() const { return deviceID_; }
    Configuration configuration() const;

    std::shared_ptr<Database> privateCloudDatabase();
    std::shared_ptr<PushChannel> pushChannel();

    void accountStatus(AccountStatusHandler completion);
    // The same, answered on the calling thread (it may wait for the store).
    std::pair<int64_t, std::optional<Error>> accountStatusNow();

    // The store of this device, opened when needed: 9 without an account,
    // 3 when the store cannot be reached, 18 for a newer one.
    Reply<std::shared_ptr<ZoneServer>> server();
    // Forgets an open store after a failure that may mean it went away.
    void storeFailed(const Error& error);
    // Reads the settings again (the default container only); a changed account, back-end or folder closes
    // the store and posts kAccountDidChangeNotification.
    void reloadConfiguration();

    Container(std::string identifier, Configuration configuration, std::string deviceID, bool followsSettings = false);

private:
    std::string identifier_;
    std::string deviceID_;
    // The default container reads the settings again when asked for the
    // account's status; one made for given settings keeps them.
    const bool followsSettings_;
    mutable std::mutex mutex_;
    Configuration configuration_;
    std::shared_ptr<ZoneServer> server_;
    std::shared_ptr<Database> database_;
    std::shared_ptr<PushChannel> pushChannel_;
};

}  // namespace cloud
