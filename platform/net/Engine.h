#pragma once
// The network threads: one libcurl multi handle on one thread runs every
// transfer of the process without a trust hook, so any number of requests
// costs one thread. A transfer with a hook runs on a thread of its own, with a
// multi handle of its own: the hook answers inside OpenSSL's certificate check,
// which libcurl cannot pause and resume, so a slow answer would otherwise hold
// up every other transfer. start/cancel/resume may be called from any thread
// (a network thread included); they take effect on the transfer's network
// thread, where its events run.

#include <atomic>
#include <map>
#include <memory>
#include <mutex>
#include <string>
#include <thread>
#include <vector>

namespace net {

class Transfer;

class Engine {
public:
    // Never destroyed: a worker may still start a request while the process
    // exits. The network thread stops at exit (shutdown), before libcurl and
    // OpenSSL clean up.
    static Engine& shared();

    void start(std::shared_ptr<Transfer> transfer);
    // Stops a transfer without any further event.
    void cancel(std::shared_ptr<Transfer> transfer);
    // Goes on with a transfer that paused because its owner refused data.
    void resume(std::shared_ptr<Transfer> transfer);
    // Stops the network thread for good: transfers running, waiting to start or
    // started later are abandoned. Runs at exit; not from the network thread.
    void shutdown();

    // On any network thread.
    bool isNetworkThread() const;
    // Transfers started and not yet ended, on every network thread.
    size_t activeCount() const { return activeCount_.load(); }

    // Seconds on a monotonic clock: the time transfer limits are measured in.
    // Never the dispatch clock, whose virtual time would stop network time-outs.
    static double monotonicNow();

    // The "User-Agent" of requests that carry none: "<CFBundleName>/<CFBundleVersion>"
    // of the main bundle unless set.
    static void setDefaultUserAgent(std::string userAgent);
    static std::string defaultUserAgent();

private:
    enum class CommandKind { Start, Cancel, Resume };
    struct Command {
        CommandKind kind;
        std::shared_ptr<Transfer> transfer;
    };

    // The shared engine, or one for a single hooked transfer that ends once
    // its transfer has.
    explicit Engine(bool isShared);
    ~Engine();
    friend struct std::default_delete<Engine>;
    void post(CommandKind kind, std::shared_ptr<Transfer> transfer);
    // The engine a hooked transfer runs on; the shared one for the others.
    // Joins the threads of hooked transfers that have ended.
    Engine& engineFor(const std::shared_ptr<Transfer>& transfer, bool starting);
    void run();
    void apply(const Command& command);
    void collectFinished();
    void expireTimedOut();
    int waitMilliseconds() const;
    // Takes a transfer out of the multi handle and the active set.
    void remove(void* handle);

    const bool shared_;
    void* multi_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Command> commands_;
    bool stopping_ = false;
    bool stopped_ = false;  // the network thread has ended
    // Shared by every engine: the shared one's count.
    std::atomic<size_t>& activeCount_;
    // Shared engine only, under mutex_: the engines of hooked transfers, by
    // transfer, until their threads are joined.
    std::map<Transfer*, std::pair<std::shared_ptr<Transfer>, std::unique_ptr<Engine>>> dedicated_;
    // Network thread only: the transfers in the multi handle, by easy handle.
    std::map<void*, std::shared_ptr<Transfer>> active_;
};

}  // namespace net
