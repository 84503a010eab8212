#include "platform/net/Engine.h"

#include <algorithm>
#include <chrono>
#include <csignal>
#include <cstdlib>
#include <curl/curl.h>
#include <optional>

#include "platform/foundation/Bundle.h"
#include "platform/net/Transfer.h"

namespace net {

namespace {

// Longest sleep of the network thread when nothing is due: short enough that a
// stuck poll is noticed, long enough to cost nothing.
constexpr int kMaxWaitMs = 1000;

struct UserAgent {
    std::mutex mutex;
    std::optional<std::string> value;  // until set, made from the main bundle on first use
};

UserAgent& userAgent() {
    static UserAgent* ua = new UserAgent;  // used by the network thread until exit
    return *ua;
}

// "<CFBundleName>/<CFBundleVersion>" of the main bundle.
std::string bundleUserAgent() {
    std::shared_ptr<foundation::Bundle> bundle = foundation::Bundle::main();
    std::optional<std::string> name, version;
    if (bundle) {
        name = bundle->objectForInfoDictionaryKey("CFBundleName").stringValue();
        version = bundle->objectForInfoDictionaryKey("CFBundleVersion").stringValue();
    }
    std::string ua = name && !name->empty() ? *name : "Tavlo";
    if (version && !version->empty()) ua += "/" + *version;
    return ua;
}

std::atomic<size_t>& transferCount() {
    static auto* count = new std::atomic<size_t>(0);
    return *count;
}

thread_local bool onNetworkThread = false;

}  // namespace

Engine& Engine::shared() {
    static Engine* engine = new Engine(true);  // used by workers until the process ends
    return *engine;
}

bool Engine::isNetworkThread() const { return onNetworkThread; }

double Engine::monotonicNow() {
    using namespace std::chrono;
    return duration<double>(steady_clock::now().time_since_epoch()).count();
}

void Engine::setDefaultUserAgent(std::string value) {
    UserAgent& ua = userAgent();
    std::lock_guard lock(ua.mutex);
    ua.value = std::move(value);
}

std::string Engine::defaultUserAgent() {
    UserAgent& ua = userAgent();
    std::lock_guard lock(ua.mutex);
    if (!ua.value) ua.value = bundleUserAgent();
    return *ua.value;
}

Engine::Engine(bool isShared) : shared_(isShared), activeCount_(transferCount()) {
    if (shared_) {
        // A peer that closes while we write must not kill the process; libcurl is
        // told not to use signals, and OpenSSL writes through plain send().
        std::signal(SIGPIPE, SIG_IGN);
        curl_global_init(CURL_GLOBAL_DEFAULT);
    }
    multi_ = curl_multi_init();
    thread_ = std::thread([this] {
        onNetworkThread = true;
        run();
    });
    // Registered after curl (and with it OpenSSL) set up their exit handlers,
    // so it runs first: the network threads have stopped before OpenSSL cleans up.
    if (shared_) std::atexit([] { shared().shutdown(); });
}

Engine::~Engine() {
    // Only a hooked transfer's engine ends, once its thread has been joined.
    curl_multi_cleanup(multi_);
}

void Engine::shutdown() {
    decltype(dedicated_) dedicated;
    {
        std::lock_guard lock(mutex_);
        if (stopping_) return;
        stopping_ = true;
        dedicated.swap(dedicated_);
    }
    for (auto& [key, entry] : dedicated) {
        entry.second->shutdown();
        // Shut down from that very thread (an exit inside its hook): it cannot
        // be joined, so it is left to end with the process.
        if (entry.second->thread_.joinable()) {
            entry.second->thread_.detach();
            (void)entry.second.release();
        }
    }
    curl_multi_wakeup(multi_);
    if (thread_.joinable() && std::this_thread::get_id() != thread_.get_id()) thread_.join();
    std::vector<Command> unapplied;
    {
        std::lock_guard lock(mutex_);
        stopped_ = true;
        unapplied.swap(commands_);
    }
    for (const Command& command : unapplied)
        if (command.kind == CommandKind::Start) command.transfer->abandon();
}

void Engine::start(std::shared_ptr<Transfer> transfer) {
    if (transfer) engineFor(transfer, true).post(CommandKind::Start, std::move(transfer));
}

void Engine::cancel(std::shared_ptr<Transfer> transfer) {
    if (transfer) engineFor(transfer, false).post(CommandKind::Cancel, std::move(transfer));
}

void Engine::resume(std::shared_ptr<Transfer> transfer) {
    if (transfer) engineFor(transfer, false).post(CommandKind::Resume, std::move(transfer));
}

Engine& Engine::engineFor(const std::shared_ptr<Transfer>& transfer, bool starting) {
    if (!shared_) return *this;
    std::vector<std::unique_ptr<Engine>> ended;
    Engine* engine = this;
    {
        std::lock_guard lock(mutex_);
        for (auto it = dedicated_.begin(); it != dedicated_.end();) {
            bool done;
            {
                std::lock_guard engineLock(it->second.second->mutex_);
                done = it->second.second->stopped_;
            }
            if (done && it->first != transfer.get()) {
                ended.push_back(std::move(it->second.second));
                it = dedicated_.erase(it);
            } else {
                ++it;
            }
        }
        if (auto it = dedicated_.find(transfer.get()); it != dedicated_.end()) {
            engine = it->second.second.get();
        } else if (starting && transfer->hasServerTrustHook() && !stopping_) {
            auto own = std::unique_ptr<Engine>(new Engine(false));
            engine = own.get();
            dedicated_[transfer.get()] = {transfer, std::move(own)};
        }
    }
    for (auto& done : ended) done->thread_.join();  // ended already: at once
    return *engine;
}

void Engine::post(CommandKind kind, std::shared_ptr<Transfer> transfer) {
    if (!transfer) return;
    bool posted = false;
    {
        std::lock_guard lock(mutex_);
        if (!stopped_) {
            if (kind == CommandKind::Start) ++activeCount_;
            commands_.push_back({kind, transfer});
            posted = true;
        }
    }
    if (posted)
        curl_multi_wakeup(multi_);
    else if (kind == CommandKind::Start)
        transfer->abandon();  // nothing runs transfers any more
}

void Engine::run() {
    bool started = false;
    for (;;) {
        std::vector<Command> commands;
        {
            std::lock_guard lock(mutex_);
            if (stopping_) break;
            commands.swap(commands_);
            // A hooked transfer's engine ends with its transfer; later commands
            // find it stopped.
            if (!shared_ && started && commands.empty() && active_.empty()) {
                stopped_ = true;
                return;
            }
        }
        started = started || !commands.empty();
        for (const Command& command : commands) apply(command);
        int running = 0;
        curl_multi_perform(multi_, &running);
        collectFinished();
        expireTimedOut();
        if (!shared_ && started && active_.empty()) continue;  // its transfer ended: stop now
        curl_multi_poll(multi_, nullptr, 0, waitMilliseconds(), nullptr);
    }
    // Shutting down: transfers still running are abandoned.
    for (auto& [handle, transfer] : active_) {
        curl_multi_remove_handle(multi_, handle);
        transfer->abandon();
    }
    activeCount_ -= active_.size();
    active_.clear();
}

void Engine::apply(const Command& command) {
    const std::shared_ptr<Transfer>& transfer = command.transfer;
    switch (command.kind) {
    case CommandKind::Start: {
        std::optional<foundation::Error> error = transfer->begin(monotonicNow());
        if (error) {
            transfer->finish(error);
            --activeCount_;
            return;
        }
        active_[transfer->handle()] = transfer;
        curl_multi_add_handle(multi_, transfer->handle());
        return;
    }
    case CommandKind::Cancel: {
        auto it = active_.find(transfer->handle());
        if (it != active_.end() && it->second == transfer) {
            remove(it->first);
            transfer->abandon();
        }
        return;
    }
    case CommandKind::Resume: {
        auto it = active_.find(transfer->handle());
        if (it != active_.end() && it->second == transfer && transfer->isPaused()) {
            transfer->resumed(monotonicNow());
            curl_easy_pause(it->first, CURLPAUSE_CONT);
        }
        return;
    }
    }
}

void Engine::remove(void* handle) {
    curl_multi_remove_handle(multi_, handle);
    active_.erase(handle);
    --activeCount_;
}

void Engine::collectFinished() {
    int queued = 0;
    while (CURLMsg* message = curl_multi_info_read(multi_, &queued)) {
        if (message->msg != CURLMSG_DONE) continue;
        CURL* handle = message->easy_handle;
        CURLcode code = message->data.result;
        auto it = active_.find(handle);
        if (it == active_.end()) continue;
        std::shared_ptr<Transfer> transfer = it->second;
        curl_multi_remove_handle(multi_, handle);
        if (transfer->hopFinished(code, monotonicNow())) {
            curl_multi_add_handle(multi_, handle);  // the next hop of a redirect
            continue;
        }
        remove(handle);
        transfer->finish(transfer->outcome());
    }
}

void Engine::expireTimedOut() {
    double now = monotonicNow();
    std::vector<std::pair<std::shared_ptr<Transfer>, foundation::Error>> expired;
    for (auto& [handle, transfer] : active_)
        if (auto error = transfer->expired(now)) expired.emplace_back(transfer, *error);
    for (auto& [transfer, error] : expired) {
        remove(transfer->handle());
        transfer->finish(error);
    }
}

int Engine::waitMilliseconds() const {
    long curlWait = -1;
    curl_multi_timeout(multi_, &curlWait);
    double wait = curlWait < 0 ? kMaxWaitMs : std::min<double>(curlWait, kMaxWaitMs);
    double now = monotonicNow();
    for (const auto& [handle, transfer] : active_)
        wait = std::min(wait, (transfer->nextDeadline() - now) * 1000.0 + 1.0);
    return std::max(0, int(wait));
}

}  // namespace net
