#pragma once
// Shared pieces of the kit request tests: HTTPS servers on loopback with the
// run-time test PKI, a recorder for completion handlers that counts their
// calls, and guards for default trust and the virtual clock.

#include <chrono>
#include <condition_variable>
#include <filesystem>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include "platform/dispatch/Clock.h"
#include "platform/foundation/Data.h"
#include "platform/foundation/Error.h"
#include "platform/net/Certificate.h"
#include "platform/net/HTTPURLResponse.h"
#include "platform/net/TrustStore.h"
#include "tests/support/LoopbackServer.h"

namespace kittest {

using testsupport::LoopbackServer;
using testsupport::Reply;
using testsupport::TestCertificates;
using Leaf = TestCertificates::Leaf;

inline const TestCertificates& pki() { return TestCertificates::shared(); }
inline net::Certificate cert(const testsupport::TestCertificate& c) { return *net::Certificate::fromDER(c.certificateDER); }

inline std::unique_ptr<LoopbackServer> secureServer(Leaf leaf = Leaf::Good) {
    auto server = std::make_unique<LoopbackServer>(LoopbackServer::Options{pki().identity(leaf)});
    if (!server->start()) return nullptr;
    return server;
}

// Default trust means these anchors while it lives.
struct DefaultAnchors {
    explicit DefaultAnchors(std::vector<net::Certificate> anchors) { net::TrustStore::setDefaultAnchors(std::move(anchors)); }
    ~DefaultAnchors() { net::TrustStore::useSystemAnchors(); }
};

// The virtual clock while it lives.
struct VirtualClock {
    VirtualClock() { dispatch::Clock::useVirtualTime(0); }
    ~VirtualClock() { dispatch::Clock::useRealTime(); }
};

// Waits (bounded) until done() holds.
template <class F>
bool eventually(F done, double seconds = 20) {
    auto until = std::chrono::steady_clock::now() + std::chrono::duration<double>(seconds);
    while (!done()) {
        if (std::chrono::steady_clock::now() > until) return false;
        std::this_thread::sleep_for(std::chrono::milliseconds(1));
    }
    return true;
}

// What a completion handler was called with, and how often.
template <class Payload>
class Completion {
public:
    struct Call {
        std::optional<Payload> payload;
        std::optional<net::HTTPURLResponse> response;
        std::optional<foundation::Error> error;
        bool payloadExisted = false;  // for files: whether it was there during the call
    };

    auto handler() {
        return [this](const std::optional<Payload>& payload, const std::optional<net::HTTPURLResponse>& response,
                      const std::optional<foundation::Error>& error) {
            Call call{payload, response, error, false};
            if constexpr (std::is_same_v<Payload, std::filesystem::path>)
                call.payloadExisted = payload && std::filesystem::exists(*payload);
            std::lock_guard lock(mutex_);
            calls_.push_back(std::move(call));
            changed_.notify_all();
        };
    }

    bool wait(double seconds = 30) {
        std::unique_lock lock(mutex_);
        return changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return !calls_.empty(); });
    }
    size_t count() const {
        std::lock_guard lock(mutex_);
        return calls_.size();
    }
    Call first() const {
        std::lock_guard lock(mutex_);
        return calls_.at(0);
    }
    // The status, or the error's code when there is an error.
    int64_t outcome() const {
        Call c = first();
        if (c.error) return c.error->code;
        return c.response ? c.response->statusCode() : 0;
    }

private:
    mutable std::mutex mutex_;
    std::condition_variable changed_;
    std::vector<Call> calls_;
};

using DataCompletion = Completion<foundation::Data>;
using FileCompletion = Completion<std::filesystem::path>;

}  // namespace kittest
