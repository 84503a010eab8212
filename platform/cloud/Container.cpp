#include "Container.h"

#include "Database.h"
#include "PostgresSession.h"
#include "PushChannel.h"
#include "SQLiteSession.h"
#include "ZoneServer.h"
#include "platform/dispatch/Queue.h"
#include "platform/foundation/Bundle.h"
#include "platform/foundation/NotificationCenter.h"
#include "platform/foundation/Paths.h"

namespace cloud {

namespace {

std::mutex defaultMutex;
std::shared_ptr<Container> defaultInstance;

}  // namespace

std::shared_ptr<Container> Container::defaultContainer() {
    std::lock_guard lock(defaultMutex);
    if (!defaultInstance) {
        std::string identifier = foundation::Bundle::main()->bundleIdentifier();
        if (identifier.empty()) identifier = "com.tavlo.Tavlo";
        defaultInstance = std::make_shared<Container>(identifier, Configuration::read(),
                                                      Configuration::deviceIdentifier(), true);
    }
    return defaultInstance;
}

std::shared_ptr<Container> Container::containerWithIdentifier(const std::string&) { return defaultContainer(); }

std::shared_ptr<Container> Container::make(std::string identifier, Configuration configuration, std::string deviceID) {
    return std::make_shared<Container>(std::move(identifier), std::move(configuration), std::move(deviceID));
}

Container::Container(std::string identifier, Configuration configuration, std::string deviceID, bool followsSettings)
    : identifier_(std::move(identifier)),
      deviceID_(std::move(deviceID)),
      followsSettings_(followsSettings),
      configuration_(std::move(configuration)) {}

Configuration Container::configuration() const {
    std::lock_guard lock(mutex_);
    return configuration_;
}

std::shared_ptr<Database> Container::privateCloudDatabase() {
    std::lock_guard lock(mutex_);
    if (!database_) database_ = std::make_shared<Database>(weak_from_this());
    return database_;
}

std::shared_ptr<PushChannel> Container::pushChannel() {
    std::lock_guard lock(mutex_);
    if (!pushChannel_) pushChannel_ = std::make_shared<PushChannel>(weak_from_this());
    return pushChannel_;
}

Reply<std::shared_ptr<ZoneServer>> Container::server() {
    std::lock_guard lock(mutex_);
    if (server_) return server_;
    if (configuration_.account.empty())
        return Error(Error::kNotAuthenticated, "no account: run tavlo-cloud use embedded DIR --account NAME");
    std::unique_ptr<SqlSession> session;
    if (configuration_.backend == Configuration::kEmbeddedBackend) {
        auto embedded = SQLiteSession::open(configuration_.folder);
        if (!embedded) return embedded.error();
        session = std::move(embedded).value();
    } else if (configuration_.backend == Configuration::kPostgreSQLBackend) {
        auto postgres = PostgresSession::open(configuration_.connection);
        if (!postgres) return postgres.error();
        session = std::move(postgres).value();
    } else {
        return Error(Error::kNetworkUnavailable, "The back-end \"" + configuration_.backend + "\" is unknown");
    }
    ZoneServer::Options options;
    options.deviceID = deviceID_;
    options.cacheFolder = foundation::Paths::cacheHome() / foundation::Paths::kApplicationFolder / "CloudAssets";
    if (configuration_.assetLimit > 0) options.assetLimit = configuration_.assetLimit;
    auto server = std::make_shared<ZoneServer>(std::move(session), options);
    if (auto opened = server->open(configuration_.account); !opened) return opened.error();
    server_ = server;
    return server;
}

void Container::storeFailed(const Error& error) {
    if (error.code != Error::kNetworkUnavailable && error.code != Error::kNetworkFailure) return;
    std::lock_guard lock(mutex_);
    server_.reset();
}

std::pair<int64_t, std::optional<Error>> Container::accountStatusNow() {
    if (configuration().account.empty()) return {kNoAccount, std::nullopt};
    auto server = this->server();
    if (!server) return {kCouldNotDetermine, server.error()};
    auto restricted = server.value()->isRestricted();
    if (!restricted) {
        storeFailed(restricted.error());
        return {kCouldNotDetermine, restricted.error()};
    }
    return {restricted.value() ? kRestricted : kAvailable, std::nullopt};
}

void Container::accountStatus(AccountStatusHandler completion) {
    auto self = shared_from_this();
    dispatch::Queue::createSerial("com.tavlo.cloud.account")->async([self, completion = std::move(completion)] {
        self->reloadConfiguration();
        auto [status, error] = self->accountStatusNow();
        if (completion) completion(status, error);
    });
}

void Container::reloadConfiguration() {
    if (!followsSettings_) return;
    Configuration fresh = Configuration::read();
    std::shared_ptr<PushChannel> channel;
    {
        std::lock_guard lock(mutex_);
        if (fresh == configuration_) return;
        const bool accountMoved = fresh.account != configuration_.account || fresh.backend != configuration_.backend ||
                                  fresh.folder != configuration_.folder || fresh.connection != configuration_.connection;
        configuration_ = fresh;
        if (!accountMoved) return;
        server_.reset();
        channel = pushChannel_;
    }
    // Pushes come from the new store at once, not only at the next periodic check.
    if (channel) channel->accountDidMove();
    auto self = shared_from_this();
    dispatch::Queue::main()->async([self] {
        foundation::NotificationCenter::defaultCenter().post({kAccountDidChangeNotification, self.get(), {}, {}});
    });
}

}  // namespace cloud
