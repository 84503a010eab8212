#pragma once
// The process's one LISTEN connection to a PostgreSQL account, on a thread
// of its own: it waits on the connection's socket and wakes every device of
// the process that listens, once per batch of notifications. Any client of
// the database can notify our channel, so a notification only makes a device
// check the account's change numbers; its payload is never read. A lost
// connection is made again with back-off (kFirstRetry doubling up to
// kLongestRetry seconds), and once back every device checks once, for what
// changed meanwhile. Wakes run on the listener's thread and must return soon.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>

namespace cloud {

class PostgresListener {
public:
    static constexpr double kFirstRetry = 0.5;
    static constexpr double kLongestRetry = 30.0;

    // The listener of this connection setting, started when first asked for;
    // it stops when the last holder lets it go.
    static std::shared_ptr<PostgresListener> forConnection(const std::string& connection);
    ~PostgresListener();
    PostgresListener(const PostgresListener&) = delete;
    PostgresListener& operator=(const PostgresListener&) = delete;

    using Wake = std::function<void()>;
    uint64_t add(Wake wake);
    void remove(uint64_t token);

    // Whether the LISTEN connection is up now, and how often it was made (tests, status).
    bool isListening() const;
    int connections() const;

private:
    struct State;
    explicit PostgresListener(std::string connection);
    static void run(const std::shared_ptr<State>& state);

    // Shared with the thread, which may outlive this object by a moment.
    std::shared_ptr<State> state_;
    std::thread thread_;
};

}  // namespace cloud
