// Kit requests over loopback HTTPS (a LoopbackServer with the run-time test
// PKI, in this process):
//   1. sequential small GETs through BCNNetworkClient pinned to the test root,
//      beside net::URLSession with an accepting trust hook (the same fresh
//      connection and handshake per request) and beside `curl --cacert` runs;
//   2. a 200 MiB download task through BCNNetworkClient beside `curl -o`, with
//      the growth of this process's peak resident memory during the task.
// Options: --requests N (1000), --curl-requests N (200), --download-mib N (200),
//          --no-curl. Run it in Release (see README.md).

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
#include "platform/foundation/Paths.h"
#include "platform/net/TrustStore.h"
#include "platform/net/URLSession.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "tests/support/LoopbackServer.h"

using Clock = std::chrono::steady_clock;

namespace {

double seconds(Clock::time_point from) { return std::chrono::duration<double>(Clock::now() - from).count(); }

// One handler call to wait for.
struct Done {
    std::mutex mutex;
    std::condition_variable cv;
    bool done = false;
    bool ok = false;
    void finish(bool success) {
        std::lock_guard lock(mutex);
        ok = success;
        done = true;
        cv.notify_all();
    }
    bool wait() {
        std::unique_lock lock(mutex);
        cv.wait(lock, [&] { return done; });
        return ok;
    }
};

struct Figures {
    std::vector<double> ms;
    int failures = 0;
    double percentile(double p) {
        if (ms.empty()) return 0;
        std::sort(ms.begin(), ms.end());
        return ms[std::min(ms.size() - 1, size_t(p * double(ms.size())))];
    }
};

using bench::resetPeak;

long statusKiB(const char* field) { return bench::selfStatusKiB(field); }
int run(const std::string& command) { return bench::runShell(command); }

}  // namespace

int main(int argc, char** argv) {
    int requests = 1000, curlRequests = 200;
    uint64_t downloadMiB = 200;
    bool curl = true;
    for (int i = 1; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--requests") && i + 1 < argc) requests = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--curl-requests") && i + 1 < argc) curlRequests = std::atoi(argv[++i]);
        else if (!std::strcmp(argv[i], "--download-mib") && i + 1 < argc) downloadMiB = std::strtoull(argv[++i], nullptr, 10);
        else if (!std::strcmp(argv[i], "--no-curl")) curl = false;
    }
    if (curl && run("command -v curl >/dev/null 2>&1") != 0) {
        std::fprintf(stderr, "curl is missing: installing it\n");
        if (run("apt-get install -y -qq curl >/dev/null 2>&1") != 0) {
            std::fprintf(stderr, "curl could not be installed: its columns stay empty\n");
            curl = false;
        }
    }

    const auto& pki = testsupport::TestCertificates::shared();
    testsupport::LoopbackServer server(testsupport::LoopbackServer::Options{pki.identity(testsupport::TestCertificates::Leaf::Good)});
    if (!server.start()) {
        std::fprintf(stderr, "the loopback server did not start\n");
        return 1;
    }
    const uint64_t downloadBytes = downloadMiB << 20;
    server.route("/small", testsupport::Reply::text("{\"status\":\"ok\"}", 200, "application/json"));
    server.route("/big", testsupport::Reply::pattern(downloadBytes));
    auto rootA = *net::Certificate::fromDER(pki.rootA().certificateDER);
    auto folder = std::filesystem::temp_directory_path() / "tavlo-beacon-network-bench";
    std::filesystem::remove_all(folder);
    std::filesystem::create_directories(folder);
    setenv("XDG_CACHE_HOME", (folder / "cache").c_str(), 1);
    auto rootPEM = folder / "root.pem";
    std::ofstream(rootPEM) << pki.rootA().certificatePEM;

    // 1. Small GETs, the two clients taking turns so that a busy machine
    // weighs on both alike.
    auto client = BCNNetworkClient::create(nullptr, std::vector<net::Certificate>{rootA});
    auto session = net::URLSession::create({});
    session->setServerTrustHook([](const net::ServerTrustChallenge&) { return net::AuthChallengeDisposition::UseCredential; });
    Figures pinned, plain;
    for (int i = 0; i < requests; ++i) {
        Done viaClient;
        auto start = Clock::now();
        client->startDataTaskWithRequest(net::URLRequest(server.url("/small")), 0,
                                         [&](const auto&, const auto& response, const auto& error) {
                                             viaClient.finish(!error && response && response->statusCode() == 200);
                                         });
        if (!viaClient.wait()) ++pinned.failures;
        pinned.ms.push_back(seconds(start) * 1000);

        Done viaSession;
        start = Clock::now();
        session->dataTask(net::URLRequest(server.url("/small")), [&](foundation::Result<net::DataResponse> result) {
            viaSession.finish(result.ok() && result.value().response.statusCode() == 200);
        })->resume();
        if (!viaSession.wait()) ++plain.failures;
        plain.ms.push_back(seconds(start) * 1000);
    }

    Figures curlGets;
    if (curl) {
        std::string command = "curl -sf -o /dev/null --cacert " + rootPEM.string() + " " + server.url("/small");
        for (int i = 0; i < curlRequests; ++i) {
            auto start = Clock::now();
            if (run(command) != 0) ++curlGets.failures;
            curlGets.ms.push_back(seconds(start) * 1000);
        }
    }

    std::printf("small GETs over loopback HTTPS, a fresh connection each\n");
    std::printf("| client | requests | p50 ms | p99 ms | failures |\n|---|---|---|---|---|\n");
    std::printf("| BCNNetworkClient, pinned | %d | %.2f | %.2f | %d |\n", requests, pinned.percentile(0.5),
                pinned.percentile(0.99), pinned.failures);
    std::printf("| net::URLSession, accepting hook | %d | %.2f | %.2f | %d |\n", requests, plain.percentile(0.5),
                plain.percentile(0.99), plain.failures);
    if (curl)
        std::printf("| curl --cacert (a process each) | %d | %.2f | %.2f | %d |\n", curlRequests,
                    curlGets.percentile(0.5), curlGets.percentile(0.99), curlGets.failures);
    std::printf("p50 ratio BCNNetworkClient / net::URLSession: %.2fx\n\n",
                pinned.percentile(0.5) / plain.percentile(0.5));

    // 2. The download.
    resetPeak();
    long before = statusKiB("VmHWM:");
    Done downloaded;
    uint64_t size = 0;
    auto start = Clock::now();
    client->startDownloadTaskWithRequest(net::URLRequest(server.url("/big")), 0,
                                         [&](const auto& location, const auto&, const auto& error) {
                                             if (location && !error) size = std::filesystem::file_size(*location);
                                             downloaded.finish(!error && size == downloadBytes);
                                         });
    bool ok = downloaded.wait();
    double clientSeconds = seconds(start);
    long growth = statusKiB("VmHWM:") - before;

    double curlSeconds = 0;
    bool curlOk = false;
    if (curl) {
        auto target = folder / "big.bin";
        auto curlStart = Clock::now();
        curlOk = run("curl -sf -o " + target.string() + " --cacert " + rootPEM.string() + " " + server.url("/big")) == 0 &&
                 std::filesystem::file_size(target) == downloadBytes;
        curlSeconds = seconds(curlStart);
    }
    std::printf("%llu MiB download\n", static_cast<unsigned long long>(downloadMiB));
    std::printf("| client | seconds | MB/s | peak resident growth | complete |\n|---|---|---|---|---|\n");
    std::printf("| BCNNetworkClient download task | %.2f | %.0f | %.1f MiB | %s |\n", clientSeconds,
                double(downloadBytes) / 1e6 / clientSeconds, double(growth) / 1024, ok ? "yes" : "NO");
    if (curl)
        std::printf("| curl -o | %.2f | %.0f | (another process) | %s |\n", curlSeconds,
                    double(downloadBytes) / 1e6 / curlSeconds, curlOk ? "yes" : "NO");
    if (curl) std::printf("time ratio BCNNetworkClient / curl: %.2fx\n", clientSeconds / curlSeconds);

    client->invalidateAndCancel();
    session->invalidateAndCancel();
    server.stop();
    std::filesystem::remove_all(folder);
    return ok && pinned.failures == 0 && plain.failures == 0 ? 0 : 1;
}
