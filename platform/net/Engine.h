#pragma once
// The network thread: one libcurl multi handle that runs every transfer of the
// process, so any number of requests costs one thread. start/cancel/resume may
// be called from any thread (the network thread included); they take effect
// on the network thread, where all transfer events run.

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

    bool isNetworkThread() const { return std::this_thread::get_id() == thread_.get_id(); }
    // Transfers started and not yet ended.
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

    Engine();
    void post(CommandKind kind, std::shared_ptr<Transfer> transfer);
    void run();
    void apply(const Command& command);
    void collectFinished();
    void expireTimedOut();
    int waitMilliseconds() const;
    // Takes a transfer out of the multi handle and the active set.
    void remove(void* handle);

    void* multi_ = nullptr;
    std::thread thread_;
    std::mutex mutex_;
    std::vector<Command> commands_;
    bool stopping_ = false;
    bool stopped_ = false;  // the network thread has ended
    std::atomic<size_t> activeCount_{0};
    // Network thread only: the transfers in the multi handle, by easy handle.
    std::map<void*, std::shared_ptr<Transfer>> active_;
};

}  // namespace net
