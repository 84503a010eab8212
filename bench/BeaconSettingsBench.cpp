// The kits' settings download and their multipart encoder:
//   1. the settings document downloaded into the cache over loopback HTTPS
//      (a LoopbackServer with the run-time test PKI, in this process) by
//      BCNDownloadAndSaveSettingsOperation on a client pinned to the test root,
//      beside `curl --cacert root.pem -o settings.json` of the same document;
//      every request a fresh connection and handshake on both sides;
//   2. a 10 MiB file part encoded to memory beside memcpy of the same bytes,
//      with the growth of this process's peak resident memory.
// Options: --runs N (200), --no-curl. Run it in Release (see README.md).

#include <sys/wait.h>

#include <algorithm>
#include <chrono>
#include <condition_variable>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <filesystem>
#include <fstream>
#include <mutex>
#include <string>
#include <vector>

#include "BenchProcess.h"
#include "sdk/beacon/BCNDownloadAndSaveSettingsOperation.h"
#include "sdk/beacon/BCNMemoryOutputStream.h"
#include "sdk/beacon/BCNMultipartMimeStreamEncoder.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "tests/support/LoopbackServer.h"

using Clock = std::chrono::steady_clock;

namespace {

double ms(Clock::time_point from) { return bench::ms(Clock::now() - from); }

using bench::median;
using bench::resetPeak;
long statusKiB(const char* field) { return bench::selfStatusKiB(field); }
int run(const std::string& command) { return bench::runShell(command); }

class Waiter : public BCNDownloadAndSaveSettingsOperationDelegate {
public:
    void operationDidDownloadAndSaveSettingsWithError(BCNDownloadAndSaveSettingsOperation&,
                                                      const std::optional<foundation::Error>& error) override {
        std::lock_guard lock(mutex_);
        ok_ = !error;
        done_ = true;
        cv_.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex_);
        cv_.wait(lock, [&] { return done_; });
        done_ = false;
        return ok_;
    }

private:
    std::mutex mutex_;
    std::condition_variable cv_;
    bool done_ = false, ok_ = false;
};

// A settings document of the size the service sends, about 1 KiB.
std::string document() {
    std::string text = R"({"app": {"status": "activated", "update_required": false}, "features": {)";
    for (int i = 0; i < 40; ++i) text += (i ? ", " : "") + std::string("\"feature_") + std::to_string(i) + "\": true";
    return text + R"(}, "fabric": {"org_id": "0123456789abcdef", "bundle_id": "com.tavlo.Tavlo"}})";
}

}  // namespace

int main(int argc, char** argv) {
    int runs = 200;
    bool curl = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--runs") && i + 1 < argc) runs = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--no-curl")) curl = false;
    }
    auto folder = std::filesystem::temp_directory_path() / "tavlo-beacon-settings-bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    for (const char* name : {"HOME", "XDG_CACHE_HOME", "XDG_DATA_HOME", "XDG_CONFIG_HOME"})
        setenv(name, (folder / name).c_str(), 1);
    if (curl && run("command -v curl >/dev/null") != 0) {
        std::fprintf(stderr, "curl is missing: installing it\n");
        if (run("apt-get install -y -qq curl >/dev/null 2>&1") != 0) curl = false;
    }

    const auto& pki = testsupport::TestCertificates::shared();
    testsupport::LoopbackServer server(
        testsupport::LoopbackServer::Options{pki.identity(testsupport::TestCertificates::Leaf::Good)});
    if (!server.start()) {
        std::fprintf(stderr, "the loopback server did not start\n");
        return 1;
    }
    const std::string body = document();
    server.route("/spi/v2/platforms/mac/apps/com.tavlo.Tavlo/settings",
                 testsupport::Reply::text(body, 200, "application/json"));
    const std::string url = server.url("/spi/v2/platforms/mac/apps/com.tavlo.Tavlo/settings?build_version=1&source=1");
    auto rootPEM = folder / "root.pem";
    std::ofstream(rootPEM) << pki.rootA().certificatePEM;
    auto client = BCNNetworkClient::create(
        nullptr, std::vector<net::Certificate>{*net::Certificate::fromDER(pki.rootA().certificateDER)});
    auto waiter = std::make_shared<Waiter>();
    auto cacheFolder = folder / "cache-folder";

    // 1. The two take turns, so a busy machine weighs on both alike.
    std::vector<double> operation, curlRuns;
    int failures = 0;
    for (int i = 0; i < runs; ++i) {
        auto start = Clock::now();
        auto op = std::make_shared<BCNDownloadAndSaveSettingsOperation>(
            "key", waiter, url, cacheFolder, cacheFolder / "settings.json", "INSTALL", std::nullopt, client);
        op->start();
        if (!waiter->wait()) ++failures;
        operation.push_back(ms(start));
        if (curl) {
            start = Clock::now();
            std::string command = "curl -s --cacert '" + rootPEM.string() + "' -o '" + (folder / "settings.json").string() +
                                  "' '" + url + "'";
            if (run(command) != 0) ++failures;
            curlRuns.push_back(ms(start));
        }
    }
    client->invalidateAndCancel();
    std::printf("settings download into the cache (%zu bytes), %d runs, %d failures\n", body.size(), runs, failures);
    std::printf("  BCNDownloadAndSaveSettingsOperation: median %.2f ms\n", median(operation));
    if (curl) std::printf("  curl --cacert -o:                   median %.2f ms (ratio %.2fx)\n", median(curlRuns),
                          median(operation) / median(curlRuns));

    // 2. A 10 MiB file part.
    const size_t partBytes = size_t{10} << 20;
    std::vector<uint8_t> part(partBytes);
    for (size_t i = 0; i < partBytes; ++i) part[i] = static_cast<uint8_t>(i * 131 + 7);
    foundation::Data data(part.data(), part.size());
    std::vector<double> encoded, copied;
    long peakGrowth = 0;
    size_t bodyBytes = 0;
    for (int i = 0; i < 20; ++i) {
        resetPeak();
        long before = statusKiB("VmHWM:");
        auto start = Clock::now();
        {
            auto stream = std::make_shared<BCNMemoryOutputStream>();
            BCNMultipartMimeStreamEncoder encoder(stream, std::nullopt);
            encoder.encode([&] { encoder.addFileData(data, "part.bin", "application/octet-stream", "file"); });
            bodyBytes = stream->data().length();
            encoded.push_back(ms(start));
            peakGrowth = std::max(peakGrowth, statusKiB("VmHWM:") - before);
        }
        start = Clock::now();
        {
            std::vector<uint8_t> copy(partBytes);
            std::memcpy(copy.data(), data.bytes(), partBytes);
            copied.push_back(ms(start));
            if (copy[partBytes / 2] != part[partBytes / 2]) return 1;
        }
    }
    std::printf("10 MiB file part: encoder median %.2f ms, memcpy (into a new buffer) median %.2f ms (ratio %.2fx); "
                "peak memory growth %.2fx the body (%zu bytes)\n",
                median(encoded), median(copied), median(encoded) / median(copied),
                double(peakGrowth) * 1024 / double(bodyBytes), bodyBytes);
    std::filesystem::remove_all(folder);
    return failures == 0 ? 0 : 1;
}
