#pragma once
// An HTTP or HTTPS server on 127.0.0.1 for tests: started and stopped by the
// test, it records every request and answers from a script (status, headers,
// body, delays, closing mid-body, never answering, raw bytes). Bodies of any
// size stream through it without being held: it keeps a request body's first
// bytes, its length and its SHA-256, and can answer with generated pattern
// bytes that a test can reproduce in a file. One thread per connection.
// Requests are read whole (body included) before the script is asked.

#include <atomic>
#include <condition_variable>
#include <cstdint>
#include <filesystem>
#include <functional>
#include <map>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <utility>
#include <vector>

#include "tests/support/TestCertificates.h"

struct ssl_ctx_st;

namespace testsupport {

struct Reply {
    int status = 200;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;
    uint64_t patternBodyBytes = 0;     // when set, the body is this many pattern bytes
    double delayBeforeHeaders = 0;     // seconds
    int64_t closeAfterBodyBytes = -1;  // announce the whole body, close after this many bytes
    bool neverAnswer = false;          // stay silent until the client leaves or stop()
    bool hangUp = false;               // close at once without answering
    double dripInterval = 0;           // send the body a byte at a time, this many seconds apart
    bool closeConnection = false;      // "Connection: close", then close
    std::string raw;                   // sent as is instead of a reply, then close

    static Reply text(std::string body, int status = 200, std::string contentType = "text/plain; charset=utf-8");
    static Reply redirect(std::string location, int status = 302);
    static Reply pattern(uint64_t bytes);
};

struct RecordedRequest {
    std::string method, target, path, version;
    std::vector<std::pair<std::string, std::string>> headers;
    std::string body;  // the first kKeptBodyBytes bytes
    uint64_t bodyLength = 0;
    std::string bodySha256;  // hex, of the whole body
    int connection = 0;      // 1 for the first connection accepted, and so on
    bool tls = false;
    bool tlsResumed = false;
    std::string serverName;

    static constexpr size_t kKeptBodyBytes = 1 << 20;
    std::optional<std::string> header(std::string_view name) const;
};

using Handler = std::function<Reply(const RecordedRequest&)>;

class LoopbackServer {
public:
    struct Options {
        std::optional<ServerIdentity> tls;  // HTTPS with this identity, else HTTP
    };

    explicit LoopbackServer(Options options = {});
    ~LoopbackServer();
    LoopbackServer(const LoopbackServer&) = delete;
    LoopbackServer& operator=(const LoopbackServer&) = delete;

    // Listens on an ephemeral port; false when it cannot.
    bool start();
    // Closes every connection and joins every thread.
    void stop();

    uint16_t port() const { return port_; }
    std::string baseURL() const;
    std::string url(std::string_view path) const;

    // Answers requests for path (the target without its query).
    void route(const std::string& path, Reply reply);
    void route(const std::string& path, Handler handler);
    // Answers every other path; 404 unless set.
    void setFallback(Handler handler);

    std::vector<RecordedRequest> requests() const;
    size_t requestCount() const;
    bool waitForRequests(size_t count, double timeoutSeconds) const;
    int connectionCount() const { return connections_.load(); }
    // Connection threads running now.
    int liveThreads() const { return liveThreads_.load(); }

    // The pattern bytes a pattern body consists of, from offset on.
    static void patternBytes(uint64_t offset, uint8_t* out, size_t length);
    static bool writePatternFile(const std::filesystem::path& path, uint64_t length);
    static std::string patternSha256(uint64_t length);
    static std::string fileSha256(const std::filesystem::path& path);
    static std::string sha256Hex(const void* data, size_t length);

private:
    struct Stream;

    void acceptLoop();
    void serve(int fd, int connection);
    bool serveOne(Stream& stream, std::string& buffer, int connection);
    bool waitOrStop(double seconds);
    void waitForPeerToLeave(int fd);

    Options options_;
    ssl_ctx_st* tlsContext_ = nullptr;
    int listenFd_ = -1;
    int wakePipe_[2] = {-1, -1};
    uint16_t port_ = 0;
    std::thread acceptThread_;
    std::atomic<bool> stopping_{false};
    std::atomic<int> connections_{0};
    std::atomic<int> liveThreads_{0};

    mutable std::mutex mutex_;
    mutable std::condition_variable changed_;
    std::map<std::string, Handler> routes_;
    Handler fallback_;
    std::vector<RecordedRequest> requests_;
    std::vector<std::thread> threads_;
    std::vector<int> openFds_;
};

}  // namespace testsupport
