#include "tests/support/LoopbackServer.h"

#include <algorithm>
#include <arpa/inet.h>
#include <cerrno>
#include <chrono>
#include <csignal>
#include <cstring>
#include <fcntl.h>
#include <fstream>
#include <netinet/in.h>
#include <netinet/tcp.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/ssl.h>
#include <poll.h>
#include <sys/socket.h>
#include <unistd.h>

namespace testsupport {

namespace {

constexpr size_t kMaxHeadBytes = 256 * 1024;
constexpr size_t kChunk = 64 * 1024;

bool namesEqual(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::tolower(static_cast<unsigned char>(x)) == std::tolower(static_cast<unsigned char>(y));
           });
}

std::string trim(std::string_view s) {
    size_t b = 0, e = s.size();
    while (b < e && (s[b] == ' ' || s[b] == '\t')) ++b;
    while (e > b && (s[e - 1] == ' ' || s[e - 1] == '\t' || s[e - 1] == '\r')) --e;
    return std::string(s.substr(b, e - b));
}

const char* reason(int status) {
    switch (status) {
    case 200: return "OK";
    case 201: return "Created";
    case 204: return "No Content";
    case 301: return "Moved Permanently";
    case 302: return "Found";
    case 303: return "See Other";
    case 307: return "Temporary Redirect";
    case 308: return "Permanent Redirect";
    case 404: return "Not Found";
    case 500: return "Internal Server Error";
    default: return "Status";
    }
}

std::string hex(const unsigned char* bytes, size_t length) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    for (size_t i = 0; i < length; ++i) {
        out += digits[bytes[i] >> 4];
        out += digits[bytes[i] & 15];
    }
    return out;
}

// SHA-256 over bytes fed in pieces.
class Sha256 {
public:
    Sha256() : ctx_(EVP_MD_CTX_new()) { EVP_DigestInit_ex(ctx_, EVP_sha256(), nullptr); }
    ~Sha256() { EVP_MD_CTX_free(ctx_); }
    void add(const void* data, size_t length) { EVP_DigestUpdate(ctx_, data, length); }
    std::string hexDigest() {
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        EVP_DigestFinal_ex(ctx_, digest, &length);
        return hex(digest, length);
    }

private:
    EVP_MD_CTX* ctx_;
};

}  // namespace

// One accepted connection, plain or TLS.
struct LoopbackServer::Stream {
    int fd = -1;
    SSL* ssl = nullptr;

    // Bytes read, 0 at the end or on error.
    size_t read(char* out, size_t length) {
        if (ssl) {
            int n = SSL_read(ssl, out, int(std::min<size_t>(length, INT32_MAX)));
            return n > 0 ? size_t(n) : 0;
        }
        for (;;) {
            ssize_t n = ::recv(fd, out, length, 0);
            if (n < 0 && errno == EINTR) continue;
            return n > 0 ? size_t(n) : 0;
        }
    }
    bool writeAll(const void* data, size_t length) {
        const char* p = static_cast<const char*>(data);
        while (length > 0) {
            if (ssl) {
                int n = SSL_write(ssl, p, int(std::min<size_t>(length, INT32_MAX)));
                if (n <= 0) return false;
                p += n;
                length -= size_t(n);
            } else {
                ssize_t n = ::send(fd, p, length, MSG_NOSIGNAL);
                if (n < 0 && errno == EINTR) continue;
                if (n <= 0) return false;
                p += n;
                length -= size_t(n);
            }
        }
        return true;
    }
    bool writeAll(const std::string& text) { return writeAll(text.data(), text.size()); }
};

Reply Reply::text(std::string body, int status, std::string contentType) {
    Reply r;
    r.status = status;
    r.body = std::move(body);
    r.headers.emplace_back("Content-Type", std::move(contentType));
    return r;
}

Reply Reply::redirect(std::string location, int status) {
    Reply r;
    r.status = status;
    r.headers.emplace_back("Location", std::move(location));
    return r;
}

Reply Reply::pattern(uint64_t bytes) {
    Reply r;
    r.patternBodyBytes = bytes;
    r.headers.emplace_back("Content-Type", "application/octet-stream");
    return r;
}

std::optional<std::string> RecordedRequest::header(std::string_view name) const {
    for (const auto& [n, v] : headers)
        if (namesEqual(n, name)) return v;
    return std::nullopt;
}

LoopbackServer::LoopbackServer(Options options) : options_(std::move(options)) {}

LoopbackServer::~LoopbackServer() { stop(); }

bool LoopbackServer::start() {
    // A client that leaves while we write must not end the test process.
    std::signal(SIGPIPE, SIG_IGN);
    if (options_.tls) {
        SSL_CTX* ctx = SSL_CTX_new(TLS_server_method());
        BIO* bio = BIO_new_mem_buf(options_.tls->chainPEM.data(), int(options_.tls->chainPEM.size()));
        X509* leaf = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr);
        bool ok = leaf && SSL_CTX_use_certificate(ctx, leaf) == 1;
        X509_free(leaf);
        while (X509* extra = PEM_read_bio_X509(bio, nullptr, nullptr, nullptr))
            ok = ok && SSL_CTX_add0_chain_cert(ctx, extra) == 1;
        ERR_clear_error();  // the end of the PEM text
        BIO_free(bio);
        bio = BIO_new_mem_buf(options_.tls->privateKeyPEM.data(), int(options_.tls->privateKeyPEM.size()));
        EVP_PKEY* key = PEM_read_bio_PrivateKey(bio, nullptr, nullptr, nullptr);
        ok = ok && key && SSL_CTX_use_PrivateKey(ctx, key) == 1;
        EVP_PKEY_free(key);
        BIO_free(bio);
        if (!ok) {
            SSL_CTX_free(ctx);
            return false;
        }
        // Offer resumption, so tests can show that a client does not take it.
        SSL_CTX_set_session_cache_mode(ctx, SSL_SESS_CACHE_SERVER);
        tlsContext_ = ctx;
    }
    listenFd_ = ::socket(AF_INET, SOCK_STREAM | SOCK_CLOEXEC, 0);
    if (listenFd_ < 0) return false;
    sockaddr_in address{};
    address.sin_family = AF_INET;
    address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t length = sizeof address;
    if (::bind(listenFd_, reinterpret_cast<sockaddr*>(&address), length) != 0 || ::listen(listenFd_, 512) != 0 ||
        ::getsockname(listenFd_, reinterpret_cast<sockaddr*>(&address), &length) != 0 ||
        ::pipe2(wakePipe_, O_CLOEXEC) != 0) {
        stop();
        return false;
    }
    port_ = ntohs(address.sin_port);
    stopping_ = false;
    acceptThread_ = std::thread([this] { acceptLoop(); });
    return true;
}

void LoopbackServer::stop() {
    stopping_ = true;
    if (wakePipe_[1] >= 0) (void)!::write(wakePipe_[1], "x", 1);
    if (acceptThread_.joinable()) acceptThread_.join();
    std::vector<std::thread> threads;
    {
        std::lock_guard lock(mutex_);
        for (int fd : openFds_) ::shutdown(fd, SHUT_RDWR);  // wakes readers; each thread closes its own
        threads.swap(threads_);
    }
    changed_.notify_all();
    for (auto& t : threads) t.join();
    for (int* fd : {&listenFd_, &wakePipe_[0], &wakePipe_[1]}) {
        if (*fd >= 0) ::close(*fd);
        *fd = -1;
    }
    if (tlsContext_) SSL_CTX_free(tlsContext_);
    tlsContext_ = nullptr;
}

std::string LoopbackServer::baseURL() const {
    return std::string(options_.tls ? "https" : "http") + "://127.0.0.1:" + std::to_string(port_);
}

std::string LoopbackServer::url(std::string_view path) const { return baseURL() + std::string(path); }

void LoopbackServer::route(const std::string& path, Reply reply) {
    route(path, [reply = std::move(reply)](const RecordedRequest&) { return reply; });
}

void LoopbackServer::route(const std::string& path, Handler handler) {
    std::lock_guard lock(mutex_);
    routes_[path] = std::move(handler);
}

void LoopbackServer::setFallback(Handler handler) {
    std::lock_guard lock(mutex_);
    fallback_ = std::move(handler);
}

std::vector<RecordedRequest> LoopbackServer::requests() const {
    std::lock_guard lock(mutex_);
    return requests_;
}

size_t LoopbackServer::requestCount() const {
    std::lock_guard lock(mutex_);
    return requests_.size();
}

bool LoopbackServer::waitForRequests(size_t count, double timeoutSeconds) const {
    std::unique_lock lock(mutex_);
    return changed_.wait_for(lock, std::chrono::duration<double>(timeoutSeconds),
                             [&] { return requests_.size() >= count; });
}

void LoopbackServer::acceptLoop() {
    for (;;) {
        pollfd fds[2] = {{listenFd_, POLLIN, 0}, {wakePipe_[0], POLLIN, 0}};
        if (::poll(fds, 2, -1) < 0 && errno != EINTR) return;
        if (stopping_ || (fds[1].revents & POLLIN)) return;
        if (!(fds[0].revents & POLLIN)) continue;
        int fd = ::accept4(listenFd_, nullptr, nullptr, SOCK_CLOEXEC);
        if (fd < 0) continue;
        int one = 1;
        ::setsockopt(fd, IPPROTO_TCP, TCP_NODELAY, &one, sizeof one);
        int connection = ++connections_;
        std::lock_guard lock(mutex_);
        if (stopping_) {
            ::close(fd);
            return;
        }
        openFds_.push_back(fd);
        ++liveThreads_;
        threads_.emplace_back([this, fd, connection] {
            serve(fd, connection);
            --liveThreads_;
        });
    }
}

bool LoopbackServer::waitOrStop(double seconds) {
    std::unique_lock lock(mutex_);
    return !changed_.wait_for(lock, std::chrono::duration<double>(seconds), [&] { return stopping_.load(); });
}

void LoopbackServer::waitForPeerToLeave(int fd) {
    while (!stopping_) {
        pollfd p{fd, POLLIN | POLLRDHUP, 0};
        if (::poll(&p, 1, 50) > 0) {
            char c;
            if ((p.revents & (POLLRDHUP | POLLHUP | POLLERR)) || ::recv(fd, &c, 1, MSG_PEEK | MSG_DONTWAIT) == 0)
                return;
        }
    }
}

void LoopbackServer::serve(int fd, int connection) {
    Stream stream{fd, nullptr};
    bool ok = true;
    if (tlsContext_) {
        stream.ssl = SSL_new(tlsContext_);
        SSL_set_fd(stream.ssl, fd);
        ok = SSL_accept(stream.ssl) == 1;
    }
    std::string buffer;
    while (ok && !stopping_) ok = serveOne(stream, buffer, connection);
    if (stream.ssl) SSL_free(stream.ssl);
    {
        std::lock_guard lock(mutex_);
        openFds_.erase(std::remove(openFds_.begin(), openFds_.end(), fd), openFds_.end());
    }
    ::close(fd);
}

// Reads one request, records it and answers it; false when the connection ends.
bool LoopbackServer::serveOne(Stream& stream, std::string& buffer, int connection) {
    char chunk[16384];
    size_t headEnd;
    while ((headEnd = buffer.find("\r\n\r\n")) == std::string::npos) {
        if (buffer.size() > kMaxHeadBytes) return false;
        size_t n = stream.read(chunk, sizeof chunk);
        if (n == 0) return false;
        buffer.append(chunk, n);
    }
    RecordedRequest request;
    request.connection = connection;
    request.tls = stream.ssl != nullptr;
    if (stream.ssl) {
        request.tlsResumed = SSL_session_reused(stream.ssl) == 1;
        if (const char* name = SSL_get_servername(stream.ssl, TLSEXT_NAMETYPE_host_name)) request.serverName = name;
    }
    std::string head = buffer.substr(0, headEnd);
    buffer.erase(0, headEnd + 4);
    size_t lineEnd = head.find("\r\n");
    std::string requestLine = head.substr(0, lineEnd);
    size_t s1 = requestLine.find(' '), s2 = requestLine.rfind(' ');
    if (s1 == std::string::npos || s2 == s1) return false;
    request.method = requestLine.substr(0, s1);
    request.target = requestLine.substr(s1 + 1, s2 - s1 - 1);
    request.version = requestLine.substr(s2 + 1);
    request.path = request.target.substr(0, request.target.find('?'));
    size_t pos = lineEnd == std::string::npos ? head.size() : lineEnd + 2;
    while (pos < head.size()) {
        size_t end = head.find("\r\n", pos);
        if (end == std::string::npos) end = head.size();
        std::string line = head.substr(pos, end - pos);
        size_t colon = line.find(':');
        if (colon != std::string::npos) request.headers.emplace_back(trim(line.substr(0, colon)), trim(line.substr(colon + 1)));
        pos = end + 2;
    }

    if (auto expect = request.header("Expect"); expect && namesEqual(*expect, "100-continue"))
        if (!stream.writeAll("HTTP/1.1 100 Continue\r\n\r\n")) return false;

    // The body: counted, hashed, its start kept.
    Sha256 hash;
    auto take = [&](const char* data, size_t n) {
        hash.add(data, n);
        request.bodyLength += n;
        size_t keep = std::min(n, RecordedRequest::kKeptBodyBytes - std::min(request.body.size(), RecordedRequest::kKeptBodyBytes));
        request.body.append(data, keep);
    };
    auto fill = [&](size_t atLeast) {
        while (buffer.size() < atLeast) {
            size_t n = stream.read(chunk, sizeof chunk);
            if (n == 0) return false;
            buffer.append(chunk, n);
        }
        return true;
    };
    auto transferEncoding = request.header("Transfer-Encoding");
    if (transferEncoding && transferEncoding->find("chunked") != std::string::npos) {
        for (;;) {
            size_t end;
            while ((end = buffer.find("\r\n")) == std::string::npos)
                if (!fill(buffer.size() + 1)) return false;
            uint64_t size = std::strtoull(buffer.substr(0, end).c_str(), nullptr, 16);
            buffer.erase(0, end + 2);
            if (size == 0) {
                while ((end = buffer.find("\r\n")) != 0) {  // trailers up to the empty line
                    if (end == std::string::npos) {
                        if (!fill(buffer.size() + 1)) return false;
                        continue;
                    }
                    buffer.erase(0, end + 2);
                }
                buffer.erase(0, 2);
                break;
            }
            if (!fill(size_t(size) + 2)) return false;
            take(buffer.data(), size_t(size));
            buffer.erase(0, size_t(size) + 2);
        }
    } else if (auto lengthText = request.header("Content-Length")) {
        uint64_t remaining = std::strtoull(lengthText->c_str(), nullptr, 10);
        size_t fromBuffer = size_t(std::min<uint64_t>(remaining, buffer.size()));
        take(buffer.data(), fromBuffer);
        buffer.erase(0, fromBuffer);
        remaining -= fromBuffer;
        while (remaining > 0) {
            size_t n = stream.read(chunk, size_t(std::min<uint64_t>(remaining, sizeof chunk)));
            if (n == 0) return false;
            take(chunk, n);
            remaining -= n;
        }
    }
    request.bodySha256 = hash.hexDigest();

    Handler handler;
    {
        std::lock_guard lock(mutex_);
        auto it = routes_.find(request.path);
        handler = it != routes_.end() ? it->second : fallback_;
        requests_.push_back(request);
    }
    changed_.notify_all();
    Reply reply = handler ? handler(request) : Reply::text("not found", 404);

    if (reply.hangUp) return false;
    if (reply.neverAnswer) {
        waitForPeerToLeave(stream.fd);
        return false;
    }
    if (reply.delayBeforeHeaders > 0 && !waitOrStop(reply.delayBeforeHeaders)) return false;
    if (!reply.raw.empty()) {
        stream.writeAll(reply.raw);
        return false;
    }
    uint64_t bodyLength = reply.patternBodyBytes > 0 ? reply.patternBodyBytes : reply.body.size();
    auto connectionHeader = request.header("Connection");
    bool close = reply.closeConnection || reply.closeAfterBodyBytes >= 0 ||
                 (connectionHeader && namesEqual(*connectionHeader, "close")) || request.version == "HTTP/1.0";
    std::string out = "HTTP/1.1 " + std::to_string(reply.status) + " " + reason(reply.status) + "\r\n";
    bool hasLength = false;
    for (const auto& [name, value] : reply.headers) {
        out += name + ": " + value + "\r\n";
        hasLength = hasLength || namesEqual(name, "Content-Length");
    }
    bool bodyless = reply.status == 204 || reply.status == 304 || (reply.status >= 100 && reply.status < 200);
    if (!hasLength && !bodyless) out += "Content-Length: " + std::to_string(bodyLength) + "\r\n";
    if (close) out += "Connection: close\r\n";
    out += "\r\n";
    if (!stream.writeAll(out)) return false;
    if (request.method == "HEAD" || bodyless) return !close;

    uint64_t limit = reply.closeAfterBodyBytes >= 0 ? std::min<uint64_t>(uint64_t(reply.closeAfterBodyBytes), bodyLength)
                                                    : bodyLength;
    if (reply.dripInterval > 0) {
        for (uint64_t sent = 0; sent < limit; ++sent)
            if ((sent > 0 && !waitOrStop(reply.dripInterval)) || !stream.writeAll(reply.body.data() + sent, 1)) return false;
    } else if (reply.patternBodyBytes > 0) {
        std::vector<uint8_t> piece(kChunk);
        for (uint64_t sent = 0; sent < limit;) {
            size_t n = size_t(std::min<uint64_t>(kChunk, limit - sent));
            patternBytes(sent, piece.data(), n);
            if (!stream.writeAll(piece.data(), n)) return false;
            sent += n;
        }
    } else if (!stream.writeAll(reply.body.data(), size_t(limit))) {
        return false;
    }
    if (reply.closeAfterBodyBytes >= 0 && stream.ssl) {
        // End the TCP stream without a TLS close_notify: a lost connection.
        ::shutdown(stream.fd, SHUT_RDWR);
    }
    return !close;
}

void LoopbackServer::patternBytes(uint64_t offset, uint8_t* out, size_t length) {
    for (size_t i = 0; i < length; ++i) {
        uint64_t x = offset + i;
        out[i] = uint8_t((x * 131) ^ (x >> 9) ^ (x >> 17));
    }
}

bool LoopbackServer::writePatternFile(const std::filesystem::path& path, uint64_t length) {
    std::ofstream file(path, std::ios::binary | std::ios::trunc);
    std::vector<uint8_t> piece(kChunk);
    for (uint64_t written = 0; written < length && file;) {
        size_t n = size_t(std::min<uint64_t>(kChunk, length - written));
        patternBytes(written, piece.data(), n);
        file.write(reinterpret_cast<const char*>(piece.data()), std::streamsize(n));
        written += n;
    }
    return bool(file);
}

std::string LoopbackServer::patternSha256(uint64_t length) {
    Sha256 hash;
    std::vector<uint8_t> piece(kChunk);
    for (uint64_t done = 0; done < length;) {
        size_t n = size_t(std::min<uint64_t>(kChunk, length - done));
        patternBytes(done, piece.data(), n);
        hash.add(piece.data(), n);
        done += n;
    }
    return hash.hexDigest();
}

std::string LoopbackServer::sha256Hex(const void* data, size_t length) {
    Sha256 hash;
    hash.add(data, length);
    return hash.hexDigest();
}

std::string LoopbackServer::fileSha256(const std::filesystem::path& path) {
    std::ifstream file(path, std::ios::binary);
    Sha256 hash;
    std::vector<char> piece(kChunk);
    while (file) {
        file.read(piece.data(), std::streamsize(piece.size()));
        if (file.gcount() > 0) hash.add(piece.data(), size_t(file.gcount()));
    }
    return hash.hexDigest();
}

}  // namespace testsupport
