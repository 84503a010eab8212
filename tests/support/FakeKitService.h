#pragma once
// The kit service on 127.0.0.1 for tests, over a LoopbackServer with HTTPS
// (the TestCertificates identity asked for) or plain HTTP. Started and stopped
// by the test. Routes:
//   GET  .../spi/v2/platforms/<platform>/apps/<id>/settings   the settings document
//   POST .../spi/v1/platforms/<platform>/apps                 app create (multipart)
//   PUT  .../spi/v1/platforms/<platform>/apps/<id>            app update (multipart)
//   POST /analytics/events                                    analytics upload (multipart of
//                                                             gzip event logs)
//   GET  .../spi/v2/platforms/<platform>/apps/<id>/beta_update_check
//                                                             the beta check (an update by default)
//   POST /sdk-api/v1/platforms/<platform>/apps/<id>/reports   crash report upload (multipart of
//                                                             gzip record files)
// Each route answers from its script: the replies in turn, the last one again
// once the script runs out (a JSON document with "app" null when nothing was
// scripted for settings, 200 for configure). Replies carry statuses, delays,
// silence and cut bodies (see Reply). Every request is recorded; multipart
// bodies can be read back as their fields. Later kit routes go beside these.

#include <condition_variable>
#include <map>
#include <memory>
#include <mutex>
#include <optional>
#include <string>
#include <vector>

#include "tests/support/LoopbackServer.h"

namespace testsupport {

class FakeKitService {
public:
    enum class Route { Settings, Create, Update, Analytics, Beta, Reports, Other };
    static constexpr const char* kAnalyticsPath = "/analytics/events";

    // One event line of an analytics upload.
    struct Event {
        std::string key;
        std::string eventId;  // "" when the payload names none
        std::string payload;
    };
    // One analytics upload as the service read it.
    struct Upload {
        std::vector<std::string> partNames;
        std::vector<std::string> inflated;  // each part's bytes, gunzipped ("" when not gzip)
        std::vector<Event> events;
        bool wellFormed = true;  // every part gunzipped and every line whole
        bool accepted = false;   // answered 2xx
    };

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
    // Beta checks answer kBetaUpdate unless scripted.
    void scriptBeta(std::vector<Reply> replies);
    static constexpr const char* kBetaUpdate = R"({"url":"https://beta.invalid/build.zip","version_string":"2.0"})";
    // Analytics uploads answer 200 with "{}" unless scripted.
    void scriptAnalytics(std::vector<Reply> replies);
    std::string analyticsURL() const { return server_.url(kAnalyticsPath); }
    std::vector<Upload> uploads() const;
    // While held, analytics uploads wait for their answer (release before stop()).
    void holdAnalytics(bool hold);
    // Until an upload waits held; false after timeout.
    bool waitForHeldAnalytics(double seconds);
    // The upload waiting held, as read (not yet accepted); nullopt when none.
    std::optional<Upload> heldAnalytics() const;
    // Lets the upload waiting held have its answer; later ones are still held.
    void releaseHeldAnalytics();
    // How often each eventId came in uploads that were answered 2xx.
    std::map<std::string, int> acceptedEventIds() const;
    // Crash report uploads answer 200 with "{}" unless scripted.
    void scriptReports(std::vector<Reply> replies);
    // Until count report uploads have come in; false after timeout.
    bool waitForReports(size_t count, double seconds);

    // A settings document with this "app" value (JSON text, "null" for none).
    static Reply settingsDocument(const std::string& appJSON);

    std::vector<RecordedRequest> requests() const { return server_.requests(); }
    std::vector<RecordedRequest> requests(Route route) const;
    // The route a request went to.
    static Route routeOf(const RecordedRequest& request);
    // The parts of a multipart/form-data body, in order; empty when the body
    // is none.
    static std::vector<Field> multipartFields(const RecordedRequest& request);
    // The gzip stream's bytes, or nothing when it is not whole.
    static std::optional<std::string> gunzip(const std::string& bytes);
    // Event log lines read by their length fields; wellFormed goes false at a
    // torn or malformed line, where reading stops.
    static std::vector<Event> eventLines(const std::string& log, bool& wellFormed);

private:
    Reply answer(const RecordedRequest& request);

    LoopbackServer server_;
    mutable std::mutex mutex_;
    std::vector<Reply> settings_, create_, update_, analytics_, beta_, reports_;
    size_t settingsServed_ = 0, createServed_ = 0, updateServed_ = 0, analyticsServed_ = 0, betaServed_ = 0,
           reportsServed_ = 0;
    size_t reportsReceived_ = 0;
    std::vector<Upload> uploads_;
    std::condition_variable holdChanged_;
    bool holding_ = false;
    int held_ = 0;
    std::optional<Upload> heldUpload_;
    uint64_t holdTickets_ = 0, releasedTickets_ = 0;  // each held upload's turn, and how many have had it
};

}  // namespace testsupport
