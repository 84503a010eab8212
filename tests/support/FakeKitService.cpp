#include "tests/support/FakeKitService.h"

#include <zlib.h>

namespace testsupport {

namespace {

bool endsWith(const std::string& text, const std::string& end) {
    return text.size() >= end.size() && text.compare(text.size() - end.size(), end.size(), end) == 0;
}

Reply next(const std::vector<Reply>& script, size_t& served, Reply otherwise) {
    if (script.empty()) return otherwise;
    return script[std::min(served++, script.size() - 1)];
}

// The value of parameter in a header such as `form-data; name="a"; filename="b"`.
std::optional<std::string> parameter(const std::string& header, const std::string& name) {
    std::string key = name + "=\"";
    for (size_t at = header.find(key); at != std::string::npos; at = header.find(key, at + 1)) {
        if (at > 0 && header[at - 1] != ' ' && header[at - 1] != ';') continue;
        size_t start = at + key.size();
        size_t end = header.find('"', start);
        if (end == std::string::npos) return std::nullopt;
        return header.substr(start, end - start);
    }
    return std::nullopt;
}

}  // namespace

FakeKitService::FakeKitService(std::optional<TestCertificates::Leaf> leaf)
    : server_(LoopbackServer::Options{leaf ? std::optional<ServerIdentity>(TestCertificates::shared().identity(*leaf))
                                           : std::nullopt}) {}

bool FakeKitService::start() {
    server_.setFallback([this](const RecordedRequest& request) { return answer(request); });
    return server_.start();
}

void FakeKitService::scriptSettings(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    settings_ = std::move(replies);
    settingsServed_ = 0;
}

void FakeKitService::scriptCreate(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    create_ = std::move(replies);
    createServed_ = 0;
}

void FakeKitService::scriptReports(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    reports_ = std::move(replies);
    reportsServed_ = 0;
}

bool FakeKitService::waitForReports(size_t count, double seconds) {
    std::unique_lock lock(mutex_);
    return holdChanged_.wait_for(lock, std::chrono::duration<double>(seconds),
                                 [&] { return reportsReceived_ >= count; });
}

void FakeKitService::scriptAnalytics(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    analytics_ = std::move(replies);
    analyticsServed_ = 0;
}

std::vector<FakeKitService::Upload> FakeKitService::uploads() const {
    std::lock_guard lock(mutex_);
    return uploads_;
}

std::map<std::string, int> FakeKitService::acceptedEventIds() const {
    std::lock_guard lock(mutex_);
    std::map<std::string, int> counts;
    for (const auto& upload : uploads_)
        if (upload.accepted)
            for (const auto& event : upload.events) ++counts[event.eventId];
    return counts;
}

std::optional<std::string> FakeKitService::gunzip(const std::string& bytes) {
    z_stream stream{};
    if (inflateInit2(&stream, 31) != Z_OK) return std::nullopt;
    stream.next_in = reinterpret_cast<Bytef*>(const_cast<char*>(bytes.data()));
    stream.avail_in = static_cast<uInt>(bytes.size());
    std::string out;
    char buffer[16384];
    int result = Z_OK;
    while (result == Z_OK) {
        stream.next_out = reinterpret_cast<Bytef*>(buffer);
        stream.avail_out = sizeof buffer;
        result = inflate(&stream, Z_NO_FLUSH);
        out.append(buffer, sizeof buffer - stream.avail_out);
        if (result == Z_BUF_ERROR && stream.avail_in == 0) break;
    }
    bool whole = result == Z_STREAM_END && stream.avail_in == 0;
    inflateEnd(&stream);
    if (!whole) return std::nullopt;
    return out;
}

std::vector<FakeKitService::Event> FakeKitService::eventLines(const std::string& log, bool& wellFormed) {
    std::vector<Event> events;
    size_t at = 0;
    while (at < log.size()) {
        size_t tab1 = log.find('\t', at);
        size_t tab2 = tab1 == std::string::npos ? tab1 : log.find('\t', tab1 + 1);
        size_t tab3 = tab2 == std::string::npos ? tab2 : log.find('\t', tab2 + 1);
        if (tab3 == std::string::npos) {
            wellFormed = false;
            break;
        }
        size_t length = 0;
        bool digits = tab3 > tab2 + 1;
        for (size_t i = tab2 + 1; i < tab3; ++i) {
            digits = digits && log[i] >= '0' && log[i] <= '9';
            length = length * 10 + static_cast<size_t>(log[i] - '0');
        }
        if (!digits || tab3 + 1 + length >= log.size() || log[tab3 + 1 + length] != '\n') {
            wellFormed = false;
            break;
        }
        Event event;
        event.key = log.substr(tab1 + 1, tab2 - tab1 - 1);
        event.payload = log.substr(tab3 + 1, length);
        if (size_t key = event.payload.find("\"eventId\":\""); key != std::string::npos) {
            size_t start = key + 11;
            event.eventId = event.payload.substr(start, event.payload.find('"', start) - start);
        }
        events.push_back(std::move(event));
        at = tab3 + 2 + length;
    }
    return events;
}

void FakeKitService::scriptUpdate(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    update_ = std::move(replies);
    updateServed_ = 0;
}

void FakeKitService::scriptBeta(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    beta_ = std::move(replies);
    betaServed_ = 0;
}

Reply FakeKitService::settingsDocument(const std::string& appJSON) {
    return Reply::text("{\"app\": " + appJSON + ", \"features\": {\"collect_reports\": true}}", 200,
                       "application/json");
}

FakeKitService::Route FakeKitService::routeOf(const RecordedRequest& request) {
    const std::string& path = request.path;
    if (path.find("/spi/v2/platforms/") != std::string::npos && endsWith(path, "/settings") && request.method == "GET")
        return Route::Settings;
    if (path.find("/spi/v2/platforms/") != std::string::npos && endsWith(path, "/beta_update_check") &&
        request.method == "GET")
        return Route::Beta;
    if (path.find("/spi/v1/platforms/") != std::string::npos) {
        if (request.method == "POST" && endsWith(path, "/apps")) return Route::Create;
        if (request.method == "PUT" && path.find("/apps/") != std::string::npos) return Route::Update;
    }
    if (path == kAnalyticsPath && request.method == "POST") return Route::Analytics;
    if (path.rfind("/sdk-api/v1/platforms/", 0) == 0 && endsWith(path, "/reports") && request.method == "POST")
        return Route::Reports;
    return Route::Other;
}

std::vector<RecordedRequest> FakeKitService::requests(Route route) const {
    std::vector<RecordedRequest> matching;
    for (auto& request : server_.requests())
        if (routeOf(request) == route) matching.push_back(std::move(request));
    return matching;
}

void FakeKitService::holdAnalytics(bool hold) {
    std::lock_guard lock(mutex_);
    holding_ = hold;
    held_ = 0;
    heldUpload_.reset();
    holdChanged_.notify_all();
}

std::optional<FakeKitService::Upload> FakeKitService::heldAnalytics() const {
    std::lock_guard lock(mutex_);
    return heldUpload_;
}

void FakeKitService::releaseHeldAnalytics() {
    std::lock_guard lock(mutex_);
    releasedTickets_ = holdTickets_;
    held_ = 0;
    heldUpload_.reset();
    holdChanged_.notify_all();
}

bool FakeKitService::waitForHeldAnalytics(double seconds) {
    std::unique_lock lock(mutex_);
    return holdChanged_.wait_for(lock, std::chrono::duration<double>(seconds), [this] { return held_ > 0; });
}

Reply FakeKitService::answer(const RecordedRequest& request) {
    std::unique_lock lock(mutex_);
    switch (routeOf(request)) {
    case Route::Settings: return next(settings_, settingsServed_, settingsDocument("null"));
    case Route::Create: return next(create_, createServed_, Reply::text("{}", 200, "application/json"));
    case Route::Update: return next(update_, updateServed_, Reply::text("{}", 200, "application/json"));
    case Route::Analytics: {
        Upload upload;
        for (const auto& field : multipartFields(request)) {
            upload.partNames.push_back(field.name);
            auto inflated = gunzip(field.value);
            if (!inflated) upload.wellFormed = false;
            upload.inflated.push_back(inflated.value_or(""));
            auto events = eventLines(inflated.value_or(""), upload.wellFormed);
            upload.events.insert(upload.events.end(), events.begin(), events.end());
        }
        if (holding_) {
            uint64_t ticket = ++holdTickets_;
            ++held_;
            heldUpload_ = upload;
            holdChanged_.notify_all();
            holdChanged_.wait(lock, [&] { return !holding_ || releasedTickets_ >= ticket; });
        }
        Reply reply = next(analytics_, analyticsServed_, Reply::text("{}", 200, "application/json"));
        // Taken only when the answer goes out as a success.
        upload.accepted = reply.status / 100 == 2 && !reply.neverAnswer && !reply.hangUp &&
                          reply.closeAfterBodyBytes < 0 && reply.raw.empty();
        uploads_.push_back(std::move(upload));
        return reply;
    }
    case Route::Beta: return next(beta_, betaServed_, Reply::text(kBetaUpdate, 200, "application/json"));
    case Route::Reports: {
        ++reportsReceived_;
        holdChanged_.notify_all();
        return next(reports_, reportsServed_, Reply::text("{}", 200, "application/json"));
    }
    case Route::Other: break;
    }
    return Reply::text("no such route", 404);
}

std::vector<FakeKitService::Field> FakeKitService::multipartFields(const RecordedRequest& request) {
    std::vector<Field> fields;
    std::string type = request.header("Content-Type").value_or("");
    size_t at = type.find("boundary=");
    if (at == std::string::npos) return fields;
    std::string delimiter = "--" + type.substr(at + 9);
    const std::string& body = request.body;
    size_t pos = body.find(delimiter);
    while (pos != std::string::npos) {
        pos += delimiter.size();
        if (body.compare(pos, 2, "--") == 0) break;  // the closing boundary
        pos += 2;                                     // CRLF
        size_t headersEnd = body.find("\r\n\r\n", pos);
        if (headersEnd == std::string::npos) break;
        std::string headers = body.substr(pos, headersEnd - pos);
        size_t valueStart = headersEnd + 4;
        size_t next = body.find("\r\n" + delimiter, valueStart);
        if (next == std::string::npos) break;
        Field field;
        for (size_t line = 0; line < headers.size();) {
            size_t end = headers.find("\r\n", line);
            if (end == std::string::npos) end = headers.size();
            std::string text = headers.substr(line, end - line);
            if (text.rfind("Content-Disposition:", 0) == 0) {
                field.name = parameter(text, "name").value_or("");
                field.fileName = parameter(text, "filename");
            } else if (text.rfind("Content-Type: ", 0) == 0) {
                field.contentType = text.substr(14);
            }
            line = end + 2;
        }
        field.value = body.substr(valueStart, next - valueStart);
        fields.push_back(std::move(field));
        pos = next + 2;
    }
    return fields;
}

}  // namespace testsupport
