// The analytics kit's upload path, each figure beside its peer in one run:
// - bytes per event on the wire: the multipart body holding a gzip-packed log
//   of 1,000 custom events with five attributes, divided by 1,000, beside the
//   plain JSON payloads of the same events;
// - packaging a 10 MiB event log with BBXAnalyticsGzipFile beside `gzip -6` on
//   the same file (time, best of five, and size);
// - peak memory while posting a fragment of three 1 MiB files to a loopback
//   HTTPS service (in a child process, so its copy of the body is not counted),
//   beside the fragment's size; the request-body building alone too.
// A plain timing program: the peak is read from VmHWM, reset before each
// measure through /proc/self/clear_refs.
#include <fcntl.h>
#include <sys/wait.h>
#include <unistd.h>

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <future>
#include <random>
#include <string>
#include <vector>

#include "BenchKitService.h"
#include "platform/net/Certificate.h"
#include "platform/net/TrustStore.h"
#include "sdk/tally/BBXAnalyticsEvent.h"
#include "sdk/tally/BBXAnalyticsGzipFile.h"
#include "sdk/tally/BBXAnalyticsNetworkingClient.h"
#include "sdk/tally/BBXTallyCustomEvent.h"
#include "tests/support/FakeKitService.h"
#include "tests/support/TestCertificates.h"

namespace fs = std::filesystem;
using foundation::PlistValue;

namespace {

constexpr int kEvents = 1000;
constexpr size_t kLogBytes = 10u << 20;
constexpr size_t kFragmentFileBytes = 1u << 20;

std::string eventId(std::mt19937& random) {
    static const char* hex = "0123456789ABCDEF";
    std::string id = "XXXXXXXX-XXXX-4XXX-XXXX-XXXXXXXXXXXX";
    for (auto& c : id)
        if (c == 'X') c = hex[random() % 16];
    return id;
}

PlistValue::Dictionary fiveAttributes(int i) {
    return {{"screen", "preferences"}, {"count", i}, {"ratio", 0.25}, {"source", "status-menu"}, {"first", true}};
}

// Event log lines of custom events until the log holds at least minBytes (or
// count events); the plain JSON payloads' total in jsonBytes.
std::string eventLog(int count, size_t minBytes, size_t& jsonBytes) {
    std::mt19937 random(7);
    std::string log;
    jsonBytes = 0;
    for (int i = 0; i < count || log.size() < minBytes; ++i) {
        auto custom = BBXTallyCustomEvent::initWithName("clipping_copied", fiveAttributes(i));
        auto event = BBXAnalyticsEvent::initWithTallyEvent(*custom, 1700000000000 + i * 250, eventId(random));
        event->appendEventData(log);
        jsonBytes += event->payload()->length();
        if (count > 0 && i + 1 >= count && minBytes == 0) break;
    }
    return log;
}

void writeFile(const fs::path& path, const std::string& bytes) {
    std::ofstream(path, std::ios::binary).write(bytes.data(), static_cast<std::streamsize>(bytes.size()));
}

int gzipFile(const fs::path& from, const fs::path& to) {
    int in = ::open(from.c_str(), O_RDONLY | O_CLOEXEC);
    int out = ::open(to.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0600);
    int result = (in >= 0 && out >= 0) ? BBXAnalyticsGzipFile(in, out) : -1;
    if (in >= 0) ::close(in);
    if (out >= 0) ::close(out);
    return result;
}

double seconds(std::chrono::steady_clock::time_point since) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - since).count();
}

long statusKiB(const char* key) {
    std::ifstream status("/proc/self/status");
    std::string line;
    while (std::getline(status, line))
        if (line.rfind(key, 0) == 0) return std::strtol(line.c_str() + std::strlen(key), nullptr, 10);
    return -1;
}

// Resets the peak to the current resident size and answers that size.
long resetPeakKiB() {
    std::ofstream("/proc/self/clear_refs") << "5";
    return statusKiB("VmRSS:");
}

void bytesPerEvent(const fs::path& folder) {
    size_t jsonBytes = 0;
    std::string log = eventLog(kEvents, 0, jsonBytes);
    writeFile(folder / "events.log", log);
    if (gzipFile(folder / "events.log", folder / "2.log.gz") != 0) {
        std::printf("packaging failed\n");
        return;
    }
    BBXAnalyticsNetworkingClient client;
    auto request = client.requestForLogFilesAtURLs({folder / "2.log.gz"}, "https://127.0.0.1/analytics/events",
                                                   std::string("bench-api-key"));
    if (!request.ok()) {
        std::printf("request failed\n");
        return;
    }
    const auto& body = request.value();
    size_t bodyBytes = body.httpBodyFile() ? fs::file_size(*body.httpBodyFile()) : body.httpBody().length();
    double wire = static_cast<double>(bodyBytes) / kEvents;
    double json = static_cast<double>(jsonBytes) / kEvents;
    std::printf("bytes per event: multipart body %.1f B (log line %.1f B, gzip part %zu B in all), "
                "plain JSON payload %.1f B: %.1f%% (target <= 35%%)\n",
                wire, static_cast<double>(log.size()) / kEvents, static_cast<size_t>(fs::file_size(folder / "2.log.gz")),
                json, 100.0 * wire / json);
}

void packaging(const fs::path& folder) {
    size_t jsonBytes = 0;
    std::string log = eventLog(0, kLogBytes, jsonBytes);
    log.resize(kLogBytes);
    const fs::path source = folder / "big.log";
    writeFile(source, log);
    const std::string gzipCommand =
        "gzip -6 -c '" + source.string() + "' > '" + (folder / "big.gzip6.gz").string() + "'";
    double ours = 1e9, peer = 1e9;
    for (int round = 0; round < 5; ++round) {
        auto start = std::chrono::steady_clock::now();
        if (gzipFile(source, folder / "big.log.gz") != 0) std::printf("packaging failed\n");
        ours = std::min(ours, seconds(start));
        start = std::chrono::steady_clock::now();
        if (std::system(gzipCommand.c_str()) != 0) std::printf("gzip failed\n");
        peer = std::min(peer, seconds(start));
    }
    auto oursBytes = fs::file_size(folder / "big.log.gz");
    auto peerBytes = fs::file_size(folder / "big.gzip6.gz");
    std::printf("packaging 10 MiB log: BBXAnalyticsGzipFile %.1f ms, %ju B; gzip -6 %.1f ms, %ju B: "
                "time %.2fx (target <= 1.5x), size %+.2f%% (target within 5%%)\n",
                ours * 1e3, static_cast<uintmax_t>(oursBytes), peer * 1e3, static_cast<uintmax_t>(peerBytes),
                ours / peer, 100.0 * (static_cast<double>(oursBytes) - static_cast<double>(peerBytes)) /
                                 static_cast<double>(peerBytes));
}

bool post(BBXAnalyticsNetworkingClient& client, const std::vector<fs::path>& files, const std::string& url) {
    std::promise<bool> done;
    auto answered = done.get_future();
    client.transmitLogFilesAtURLs(files, url, std::string("bench-api-key"),
                                  [&done](std::optional<foundation::Error> error) { done.set_value(!error); });
    return answered.get();
}

void postingPeak(const fs::path& folder) {
    // Keys before the fork, so the child serves with the same root the parent trusts.
    const auto& certificates = testsupport::TestCertificates::shared();
    std::string baseURL;
    int keepAlive = -1;
    pid_t child = bench::startKitServiceChild(baseURL, keepAlive);
    if (child < 0 || baseURL.empty()) {
        std::printf("posting: the service did not start\n");
        return;
    }
    net::TrustStore::setDefaultAnchors(net::Certificate::fromPEM(certificates.rootA().certificatePEM));
    const std::string url = baseURL + testsupport::FakeKitService::kAnalyticsPath;

    std::mt19937 random(11);
    std::vector<fs::path> fragment;
    for (int i = 0; i < 3; ++i) {
        std::string bytes(kFragmentFileBytes, '\0');
        for (auto& b : bytes) b = static_cast<char>(random());  // packed logs do not compress further
        fragment.push_back(folder / (std::to_string(i) + ".log.gz"));
        writeFile(fragment.back(), bytes);
    }
    const double fragmentKiB = 3.0 * kFragmentFileBytes / 1024;
    {
        BBXAnalyticsNetworkingClient client;
        // A small post first: connection, TLS and thread set-up are not the body's cost.
        writeFile(folder / "small.log.gz", "x");
        bool warm = post(client, {folder / "small.log.gz"}, url);

        long base = resetPeakKiB();
        auto request = client.requestForLogFilesAtURLs(fragment, url, std::string("bench-api-key"));
        long built = statusKiB("VmHWM:") - base;
        request = foundation::Error("bench", 0, "dropped");

        base = resetPeakKiB();
        bool sent = post(client, fragment, url);
        long posted = statusKiB("VmHWM:") - base;
        std::printf("posting 3 x 1 MiB fragment (%s, warm-up %s): peak growth %ld KiB = %.2fx the fragment "
                    "(target < 2.5x); building the body alone %ld KiB = %.2fx\n",
                    sent ? "accepted" : "FAILED", warm ? "ok" : "FAILED", posted, posted / fragmentKiB, built,
                    built / fragmentKiB);
    }
    bench::stopKitServiceChild(child, keepAlive);
    net::TrustStore::setDefaultAnchors({});
}

}  // namespace

int main() {
    fs::path folder = fs::temp_directory_path() / ("tavlo-tally-upload-bench-" + std::to_string(::getpid()));
    fs::remove_all(folder);
    fs::create_directories(folder);
    postingPeak(folder);  // first: the child is forked before this process starts threads
    bytesPerEvent(folder);
    packaging(folder);
    std::error_code ec;
    fs::remove_all(folder, ec);
    return 0;
}
