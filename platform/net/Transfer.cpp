#include "platform/net/Transfer.h"

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <curl/curl.h>
#include <fcntl.h>
#include <openssl/ssl.h>
#include <openssl/x509.h>
#include <sys/stat.h>
#include <unistd.h>

#include "platform/net/Engine.h"
#include "platform/net/URLError.h"

namespace net {

namespace {

// Hosts never sent through a proxy from the environment: tests and local
// services talk to themselves.
constexpr const char* kLoopbackHosts = "localhost,127.0.0.1,::1";

bool isRedirectStatus(int status) {
    return status == 301 || status == 302 || status == 303 || status == 307 || status == 308;
}

// The parts of a URL the transfer needs; nothing when libcurl cannot parse it.
struct URLParts {
    std::string scheme, host;
    int port = 0;
};

std::optional<URLParts> parseURL(const std::string& url) {
    CURLU* u = curl_url();
    if (!u) return std::nullopt;
    std::optional<URLParts> parts;
    if (curl_url_set(u, CURLUPART_URL, url.c_str(), CURLU_NON_SUPPORT_SCHEME) == CURLUE_OK) {
        char *scheme = nullptr, *host = nullptr, *port = nullptr;
        curl_url_get(u, CURLUPART_SCHEME, &scheme, 0);
        curl_url_get(u, CURLUPART_HOST, &host, 0);
        curl_url_get(u, CURLUPART_PORT, &port, CURLU_DEFAULT_PORT);
        parts = URLParts{scheme ? scheme : "", host ? host : "", port ? std::atoi(port) : 0};
        curl_free(scheme);
        curl_free(host);
        curl_free(port);
    }
    curl_url_cleanup(u);
    return parts;
}

}  // namespace

struct Transfer::Callbacks {
    static size_t header(char* data, size_t size, size_t count, void* self);
    static size_t write(char* data, size_t size, size_t count, void* self);
    static size_t read(char* data, size_t size, size_t count, void* self);
    static int seek(void* self, curl_off_t offset, int origin);
    static CURLcode sslContext(CURL* curl, void* sslContext, void* self);
    static int verify(X509_STORE_CTX* context, void* self);
};

Transfer::Transfer(URLRequest request, TransferEvents events)
    : request_(std::move(request)), events_(std::move(events)) {}

Transfer::~Transfer() {
    closeFiles();
    curl_slist_free_all(static_cast<curl_slist*>(headerList_));
    if (easy_) curl_easy_cleanup(easy_);
}

double Transfer::idleTimeout() const {
    return request_.timeoutInterval() > 0 ? request_.timeoutInterval() : URLRequest::kDefaultTimeout;
}

double Transfer::resourceTimeout() const {
    return request_.resourceTimeout() > 0 ? request_.resourceTimeout() : URLRequest::kDefaultResourceTimeout;
}

void Transfer::fail(int64_t code, const std::string& detail) {
    if (!outcome_) outcome_ = makeURLError(code, request_.url(), detail);
}

void Transfer::closeFiles() {
    if (downloadFd_ >= 0) ::close(downloadFd_);
    if (bodyFd_ >= 0) ::close(bodyFd_);
    downloadFd_ = bodyFd_ = -1;
}

std::optional<foundation::Error> Transfer::begin(double now) {
    startTime_ = lastActivity_ = now;
    easy_ = curl_easy_init();
    if (!easy_) return makeURLError(URLErrorUnknown, request_.url(), "no transfer handle");
    if (downloadPath_) {
        downloadFd_ = ::open(downloadPath_->c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
        if (downloadFd_ < 0) return makeURLError(URLErrorCannotCreateFile, request_.url(), std::strerror(errno));
    }
    return configureHop();
}

std::optional<foundation::Error> Transfer::configureHop() {
    std::optional<URLParts> parts = parseURL(request_.url());
    if (!parts || parts->host.empty()) return makeURLError(URLErrorBadURL, request_.url());
    if (!request_.allowsScheme(parts->scheme) || (parts->scheme != "http" && parts->scheme != "https"))
        return makeURLError(URLErrorUnsupportedURL, request_.url());
    host_ = parts->host;
    port_ = parts->port;
    status_ = 0;
    headers_ = {};
    redirectPending_ = responseDelivered_ = trustCancelled_ = false;
    certificateError_ = 0;

    CURL* e = easy_;
    curl_easy_reset(e);  // keeps the connections and the DNS cache
    curl_easy_setopt(e, CURLOPT_URL, request_.url().c_str());
    curl_easy_setopt(e, CURLOPT_PROTOCOLS_STR, "http,https");
    curl_easy_setopt(e, CURLOPT_NOSIGNAL, 1L);
    curl_easy_setopt(e, CURLOPT_PRIVATE, this);
    curl_easy_setopt(e, CURLOPT_ERRORBUFFER, errorBuffer_);
    errorBuffer_[0] = 0;
    curl_easy_setopt(e, CURLOPT_FOLLOWLOCATION, 0L);  // redirects are followed here, hop by hop
    curl_easy_setopt(e, CURLOPT_SUPPRESS_CONNECT_HEADERS, 1L);
    curl_easy_setopt(e, CURLOPT_CONNECTTIMEOUT_MS, long(idleTimeout() * 1000));

    std::string noProxy = kLoopbackHosts;
    if (const char* env = std::getenv("no_proxy")) noProxy += std::string(",") + env;
    else if (const char* envUpper = std::getenv("NO_PROXY")) noProxy += std::string(",") + envUpper;
    curl_easy_setopt(e, CURLOPT_NOPROXY, noProxy.c_str());

    // Method and body.
    const std::string& method = request_.httpMethod();
    if (request_.hasBody()) {
        uint64_t size = request_.httpBody().length();
        if (bodyFd_ >= 0) ::close(bodyFd_);
        bodyFd_ = -1;
        bodyOffset_ = 0;
        if (request_.httpBodyFile()) {
            // Opened per hop: the body is the file as it is when it is sent.
            bodyFd_ = ::open(request_.httpBodyFile()->c_str(), O_RDONLY | O_CLOEXEC);
            struct stat st {};
            if (bodyFd_ < 0 || ::fstat(bodyFd_, &st) != 0 || !S_ISREG(st.st_mode))
                return makeURLError(errno == ENOENT ? URLErrorFileDoesNotExist : URLErrorCannotOpenFile,
                                    request_.url(), request_.httpBodyFile()->string());
            size = uint64_t(st.st_size);
        }
        curl_easy_setopt(e, CURLOPT_POST, 1L);
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(size));
        curl_easy_setopt(e, CURLOPT_READFUNCTION, &Callbacks::read);
        curl_easy_setopt(e, CURLOPT_READDATA, this);
        curl_easy_setopt(e, CURLOPT_SEEKFUNCTION, &Callbacks::seek);
        curl_easy_setopt(e, CURLOPT_SEEKDATA, this);
        if (method != "POST") curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    } else if (method == "GET") {
        curl_easy_setopt(e, CURLOPT_HTTPGET, 1L);
    } else if (method == "HEAD") {
        curl_easy_setopt(e, CURLOPT_NOBODY, 1L);
    } else if (method == "POST") {
        curl_easy_setopt(e, CURLOPT_POSTFIELDS, "");
        curl_easy_setopt(e, CURLOPT_POSTFIELDSIZE_LARGE, curl_off_t(0));
    } else {
        curl_easy_setopt(e, CURLOPT_CUSTOMREQUEST, method.c_str());
    }

    // Headers. libcurl works out Content-Length from the body; "Expect:" keeps
    // it from waiting for a 100-continue that servers often never send.
    curl_slist_free_all(static_cast<curl_slist*>(headerList_));
    curl_slist* list = curl_slist_append(nullptr, "Expect:");
    for (const auto& [name, value] : request_.allHTTPHeaderFields().fields()) {
        if (HeaderFields::namesEqual(name, "Content-Length")) continue;
        // "Name;" is how libcurl sends a field with an empty value.
        std::string line = value.empty() ? name + ";" : name + ": " + value;
        list = curl_slist_append(list, line.c_str());
    }
    headerList_ = list;
    curl_easy_setopt(e, CURLOPT_HTTPHEADER, list);
    if (!request_.allHTTPHeaderFields().contains("User-Agent")) {
        std::string ua = Engine::defaultUserAgent();
        if (!ua.empty()) curl_easy_setopt(e, CURLOPT_USERAGENT, ua.c_str());
    }
    // Transparent decoding of compressed bodies, unless the caller asks itself.
    if (!request_.allHTTPHeaderFields().contains("Accept-Encoding")) curl_easy_setopt(e, CURLOPT_ACCEPT_ENCODING, "");

    curl_easy_setopt(e, CURLOPT_HEADERFUNCTION, &Callbacks::header);
    curl_easy_setopt(e, CURLOPT_HEADERDATA, this);
    curl_easy_setopt(e, CURLOPT_WRITEFUNCTION, &Callbacks::write);
    curl_easy_setopt(e, CURLOPT_WRITEDATA, this);

    // Trust: our verify callback decides every handshake (hook, else default
    // trust with the host check), so libcurl's own host check is off, and so
    // is its CA bundle: it would be read and parsed for every new connection
    // handle (each hooked transfer has one) and never consulted. Should the
    // callback be unavailable, libcurl checks the peer and host itself.
    curl_easy_setopt(e, CURLOPT_SSL_VERIFYPEER, 1L);
    curl_easy_setopt(e, CURLOPT_SSL_CTX_DATA, this);
    if (curl_easy_setopt(e, CURLOPT_SSL_CTX_FUNCTION, &Callbacks::sslContext) == CURLE_OK) {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 0L);
        curl_easy_setopt(e, CURLOPT_CAINFO, nullptr);
        curl_easy_setopt(e, CURLOPT_CAPATH, nullptr);
    } else {
        curl_easy_setopt(e, CURLOPT_SSL_VERIFYHOST, 2L);
    }
    if (hook_) {
        // The hook must see every connection: no resumed TLS session, and no
        // connection shared with a request under another policy, neither one
        // taken from the pool, nor one left in it, nor HTTP/2 streams of others
        // riding on this one while it runs.
        curl_easy_setopt(e, CURLOPT_SSL_SESSIONID_CACHE, 0L);
        curl_easy_setopt(e, CURLOPT_FRESH_CONNECT, 1L);
        curl_easy_setopt(e, CURLOPT_FORBID_REUSE, 1L);
        curl_easy_setopt(e, CURLOPT_HTTP_VERSION, long(CURL_HTTP_VERSION_1_1));
    }
    return std::nullopt;
}

bool Transfer::hopFinished(int curlCode, double now) {
    lastActivity_ = now;
    if (outcome_) return false;  // a callback already decided
    if (trustCancelled_) {
        fail(URLErrorCancelled, "server trust refused");
        return false;
    }
    if (certificateError_ != 0) {
        fail(urlErrorCodeForCertificateError(certificateError_), X509_verify_cert_error_string(certificateError_));
        outcome_->userInfo[kURLErrorCertificateErrorKey] = std::to_string(certificateError_);
        return false;
    }
    if (curlCode != CURLE_OK) {
        long osErrno = 0;
        curl_easy_getinfo(easy_, CURLINFO_OS_ERRNO, &osErrno);
        // The scheme was checked before the hop began, so libcurl refusing the
        // protocol here means the server answered with something not HTTP.
        int64_t code = curlCode == CURLE_UNSUPPORTED_PROTOCOL ? URLErrorBadServerResponse
                                                               : urlErrorCodeForTransportCode(curlCode, int(osErrno));
        fail(code,
             errorBuffer_[0] ? errorBuffer_ : curl_easy_strerror(CURLcode(curlCode)));
        outcome_->userInfo[kURLErrorTransportCodeKey] = std::to_string(curlCode);
        return false;
    }
    if (redirectPending_) {
        if (auto error = followRedirect()) {
            outcome_ = error;
            return false;
        }
        return true;
    }
    if (!responseDelivered_) fail(URLErrorBadServerResponse, "no response");
    return false;
}

std::optional<foundation::Error> Transfer::followRedirect() {
    char* target = nullptr;
    curl_easy_getinfo(easy_, CURLINFO_REDIRECT_URL, &target);
    if (!target) return makeURLError(URLErrorBadServerResponse, request_.url(), "redirect without a usable location");
    if (redirects_ >= request_.maxRedirects()) return makeURLError(URLErrorHTTPTooManyRedirects, request_.url());
    std::optional<URLParts> parts = parseURL(target);
    if (!parts || !request_.allowsScheme(parts->scheme))
        return makeURLError(URLErrorUnsupportedURL, target, "redirect to a scheme this request does not allow");
    ++redirects_;
    std::string method = request_.httpMethod();
    // As browsers do: 303 turns everything but HEAD into GET, and 301/302 turn
    // POST into GET; 307/308 keep method and body.
    bool toGet = (status_ == 303 && method != "HEAD") || ((status_ == 301 || status_ == 302) && method == "POST");
    request_.setURL(target);
    if (toGet) {
        request_.setHTTPMethod("GET");
        request_.clearBody();
        request_.removeValue("Content-Type");
    }
    return configureHop();
}

void Transfer::headerBlockEnded() {
    if (status_ >= 100 && status_ < 200) return;  // an interim answer; the real one follows
    if (isRedirectStatus(status_) && headers_.contains("Location") && request_.maxRedirects() > 0) {
        redirectPending_ = true;
        return;
    }
    HTTPURLResponse response(request_.url(), status_, headers_);
    int64_t announced = response.expectedContentLength();
    if (request_.maxBodyBytes() > 0 && announced > 0 && uint64_t(announced) > request_.maxBodyBytes()) {
        fail(URLErrorDataLengthExceedsMaximum, "announced body over the limit");
        return;
    }
    responseDelivered_ = true;
    if (events_.response) events_.response(response);
}

size_t Transfer::Callbacks::header(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    size_t length = size * count;
    t->lastActivity_ = Engine::monotonicNow();
    if (t->responseDelivered_) return length;  // trailers after the body
    std::string_view line(data, length);
    if (line.rfind("HTTP/", 0) == 0) {
        size_t space = line.find(' ');
        t->status_ = space == std::string_view::npos ? 0 : std::atoi(std::string(line.substr(space + 1, 3)).c_str());
        t->headers_ = {};
        return length;
    }
    std::string text = HeaderFields::trimmed(line);
    if (text.empty()) {
        t->headerBlockEnded();
        return t->outcome_ ? 0 : length;  // 0 makes libcurl stop the transfer
    }
    if ((line[0] == ' ' || line[0] == '\t') && !t->headers_.empty()) {
        // A folded continuation of the previous field.
        HeaderFields::Field last = t->headers_.fields().back();
        t->headers_.set(last.first, last.second + " " + text);
        return length;
    }
    size_t colon = text.find(':');
    if (colon != std::string::npos) t->headers_.add(HeaderFields::trimmed(text.substr(0, colon)), HeaderFields::trimmed(text.substr(colon + 1)));
    return length;
}

size_t Transfer::Callbacks::write(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    size_t length = size * count;
    t->lastActivity_ = Engine::monotonicNow();
    uint64_t cap = t->request_.maxBodyBytes();
    if (cap > 0 && t->bodyBytes_ + length > cap) {
        t->fail(URLErrorDataLengthExceedsMaximum, "body over the limit");
        return 0;
    }
    if (!t->responseDelivered_) {  // the body of a redirect being followed
        t->bodyBytes_ += length;
        return length;
    }
    if (t->downloadFd_ >= 0) {
        size_t done = 0;
        while (done < length) {
            ssize_t n = ::write(t->downloadFd_, data + done, length - done);
            if (n < 0 && errno == EINTR) continue;
            if (n <= 0) {
                t->fail(URLErrorCannotWriteToFile, std::strerror(errno));
                return 0;
            }
            done += size_t(n);
        }
    } else if (t->events_.data && !t->events_.data(reinterpret_cast<const uint8_t*>(data), length)) {
        t->paused_ = true;
        return CURL_WRITEFUNC_PAUSE;
    }
    t->bodyBytes_ += length;
    return length;
}

size_t Transfer::Callbacks::read(char* data, size_t size, size_t count, void* self) {
    auto* t = static_cast<Transfer*>(self);
    size_t length = size * count;
    t->lastActivity_ = Engine::monotonicNow();
    if (t->bodyFd_ >= 0) {
        for (;;) {
            ssize_t n = ::read(t->bodyFd_, data, length);
            if (n >= 0) return size_t(n);
            if (errno == EINTR) continue;
            t->fail(URLErrorCannotOpenFile, std::strerror(errno));
            return CURL_READFUNC_ABORT;
        }
    }
    const foundation::Data& body = t->request_.httpBody();
    size_t n = std::min<size_t>(length, body.length() - std::min<size_t>(body.length(), t->bodyOffset_));
    if (n > 0) std::memcpy(data, body.bytes() + t->bodyOffset_, n);
    t->bodyOffset_ += n;
    return n;
}

int Transfer::Callbacks::seek(void* self, curl_off_t offset, int origin) {
    auto* t = static_cast<Transfer*>(self);
    if (origin != SEEK_SET || offset < 0) return CURL_SEEKFUNC_CANTSEEK;
    if (t->bodyFd_ >= 0) return ::lseek(t->bodyFd_, offset, SEEK_SET) < 0 ? CURL_SEEKFUNC_FAIL : CURL_SEEKFUNC_OK;
    t->bodyOffset_ = uint64_t(offset);
    return CURL_SEEKFUNC_OK;
}

CURLcode Transfer::Callbacks::sslContext(CURL*, void* sslContext, void* self) {
    auto* context = static_cast<SSL_CTX*>(sslContext);
    // The callback's transfer is only sure to be alive during the first
    // handshake; a renegotiation on a reused connection could call it later.
    SSL_CTX_set_options(context, SSL_OP_NO_RENEGOTIATION);
    SSL_CTX_set_cert_verify_callback(context, &Callbacks::verify, self);
    return CURLE_OK;
}

int Transfer::Callbacks::verify(X509_STORE_CTX* context, void* self) {
    auto* t = static_cast<Transfer*>(self);
    X509* leaf = X509_STORE_CTX_get0_cert(context);
    if (!leaf) return 0;
    std::vector<Certificate> chain{Certificate::retaining(leaf)};
    if (STACK_OF(X509)* presented = X509_STORE_CTX_get0_untrusted(context))
        for (int i = 0; i < sk_X509_num(presented); ++i) {
            X509* c = sk_X509_value(presented, i);
            if (X509_cmp(c, leaf) != 0) chain.push_back(Certificate::retaining(c));
        }
    Trust trust(std::move(chain), t->host_);

    AuthChallengeDisposition disposition = AuthChallengeDisposition::PerformDefaultHandling;
    if (t->hook_) {
        disposition = t->hook_(ServerTrustChallenge{trust.host(), t->port_, trust});
        t->lastActivity_ = Engine::monotonicNow();  // the hook's time is not the server's idleness
    }
    switch (disposition) {
    case AuthChallengeDisposition::UseCredential:
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    case AuthChallengeDisposition::CancelAuthenticationChallenge:
        t->trustCancelled_ = true;
        X509_STORE_CTX_set_error(context, X509_V_ERR_APPLICATION_VERIFICATION);
        return 0;
    case AuthChallengeDisposition::PerformDefaultHandling:
    case AuthChallengeDisposition::RejectProtectionSpace:
        break;
    }
    TrustEvaluation evaluation = trust.evaluate();
    if (evaluation.trusted()) {
        X509_STORE_CTX_set_error(context, X509_V_OK);
        return 1;
    }
    t->certificateError_ = evaluation.certificateError ? evaluation.certificateError : X509_V_ERR_UNSPECIFIED;
    X509_STORE_CTX_set_error(context, t->certificateError_);
    return 0;
}

std::optional<foundation::Error> Transfer::expired(double now) const {
    if (now - startTime_ >= resourceTimeout())
        return makeURLError(URLErrorTimedOut, request_.url(), "request took longer than its limit");
    if (!paused_ && now - lastActivity_ >= idleTimeout())
        return makeURLError(URLErrorTimedOut, request_.url(), "no data within the time-out");
    return std::nullopt;
}

double Transfer::nextDeadline() const {
    double deadline = startTime_ + resourceTimeout();
    if (!paused_) deadline = std::min(deadline, lastActivity_ + idleTimeout());
    return deadline;
}

void Transfer::resumed(double now) {
    paused_ = false;
    lastActivity_ = now;  // time spent waiting for the owner is not the server's
}

void Transfer::finish(const std::optional<foundation::Error>& error) {
    if (finished_) return;
    finished_ = true;
    closeFiles();
    TransferEvents events = std::move(events_);
    events_ = {};
    if (events.complete) events.complete(error);
}

void Transfer::abandon() {
    if (finished_) return;
    finished_ = true;
    closeFiles();
    TransferEvents events = std::move(events_);
    events_ = {};
    if (events.abandoned) events.abandoned();
}

}  // namespace net
