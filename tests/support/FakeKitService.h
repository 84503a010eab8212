#pragma once
// The kit service on 127.0.0.1 for tests, over a LoopbackServer with HTTPS
// (the TestCertificates identity asked for) or plain HTTP. Started and stopped
// by the test. Routes:
//   GET  .../spi/v2/platforms/<platform>/apps/<id>/settings   the settings document
//   POST .../spi/v1/platforms/<platform>/apps                 app create (multipart)
//   PUT  .../spi/v1/platforms/<platform>/apps/<id>            app update (multipart)
// Each route answers from its script: the replies in turn, the last one again
// once the script runs out (a JSON document with "app" null when nothing was
// scripted for settings, 200 for configure). Replies carry statuses, delays,
// silence and cut bodies (see Reply). Every request is recorded; multipart
// bodies can be read back as their fields. Later kit routes go beside these.

#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/LoopbackServer.h"

namespace testsupport {

class FakeKitService {
public:
    enum class Route { Settings, Create, Update, Other };

    // One part of a multipart body.
    struct Field {
        std::string name;
        std::string value;                    // the part's bytes
        std::optional<std::string> fileName;  // for file parts
        std::optional<std::string> contentType;
    };

    // HTTPS with this leaf's identity; nullopt for plain HTTP.
    explicit FakeKitService(std::optional<TestCertificates::Leaf> leaf = TestCertificates::Leaf::Good);

    bool start();
    void stop() { server_.stop(); }
    // "https://127.0.0.1:<port>" (or http): what the endpoints are set to.
    std::string baseURL() const { return server_.baseURL(); }
    LoopbackServer& server() { return server_; }

    void scriptSettings(std::vector<Reply> replies);
    void scriptCreate(std::vector<Reply> replies);
    void scriptUpdate(std::vector<Reply> replies);
    // A settings document with this "app" value (JSON text, "null" for none).
    static Reply settingsDocument(const std::string& appJSON);

    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    std::vector<RecordedRequest> requests(Route route) const;
    // The route a request went to.
    static Route routeOf(const RecordedRequest& request);
    // The parts of a multipart/form-data body, in order; empty when the body
    // is none.
    static std::vector<Field> multipartFields(const RecordedRequest& request);

private:
    Reply answer(const RecordedRequest& request);

    LoopbackServer server_;
    mutable std::mutex mutex_;
    std::vector<Reply> settings_, create_, update_;
    size_t settingsServed_ = 0, createServed_ = 0, updateServed_ = 0;
};

}  // namespace testsupport
