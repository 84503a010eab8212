#include "tests/support/FakeKitService.h"

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

void FakeKitService::scriptUpdate(std::vector<Reply> replies) {
    std::lock_guard lock(mutex_);
    update_ = std::move(replies);
    updateServed_ = 0;
}

Reply FakeKitService::settingsDocument(const std::string& appJSON) {
    return Reply::text("{\"app\": " + appJSON + ", \"features\": {\"collect_reports\": true}}", 200,
                       "application/json");
}

FakeKitService::Route FakeKitService::routeOf(const RecordedRequest& request) {
    const std::string& path = request.path;
    if (path.find("/spi/v2/platforms/") != std::string::npos && endsWith(path, "/settings") && request.method == "GET")
        return Route::Settings;
    if (path.find("/spi/v1/platforms/") != std::string::npos) {
        if (request.method == "POST" && endsWith(path, "/apps")) return Route::Create;
        if (request.method == "PUT" && path.find("/apps/") != std::string::npos) return Route::Update;
    }
    return Route::Other;
}

std::vector<RecordedRequest> FakeKitService::requests(Route route) const {
    std::vector<RecordedRequest> matching;
    for (auto& request : server_.requests())
        if (routeOf(request) == route) matching.push_back(std::move(request));
    return matching;
}

Reply FakeKitService::answer(const RecordedRequest& request) {
    std::lock_guard lock(mutex_);
    switch (routeOf(request)) {
    case Route::Settings: return next(settings_, settingsServed_, settingsDocument("null"));
    case Route::Create: return next(create_, createServed_, Reply::text("{}", 200, "application/json"));
    case Route::Update: return next(update_, updateServed_, Reply::text("{}", 200, "application/json"));
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
