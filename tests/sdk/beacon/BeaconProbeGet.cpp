#include "tests/sdk/beacon/BeaconProbeGet.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <future>
#include <optional>
#include <string>
#include <vector>

#include "platform/foundation/Data.h"
#include "sdk/beacon/BCNNetworkClient.h"
#include "sdk/beacon/Beacon.h"

int beaconProbeGet(int argc, char** argv) {
    if (argc < 3) {
        std::fprintf(stderr, "usage: beacon_probe get URL [--pinned-anchors PEM] [--retry-limit N] [--debug]\n");
        return 2;
    }
    std::string url = argv[2];
    std::optional<std::vector<net::Certificate>> pins;
    unsigned retryLimit = BCNNetworkClient::kDefaultRetryLimit;
    for (int i = 3; i < argc; ++i) {
        if (!std::strcmp(argv[i], "--pinned-anchors") && i + 1 < argc) {
            auto pem = foundation::Data::contentsOfFile(argv[++i], 1 << 20);
            if (!pem.ok()) {
                std::fprintf(stderr, "beacon_probe: cannot read %s\n", argv[i]);
                return 2;
            }
            pins = net::Certificate::fromPEM(pem.value().toString());
        } else if (!std::strcmp(argv[i], "--retry-limit") && i + 1 < argc) {
            retryLimit = unsigned(std::strtoul(argv[++i], nullptr, 10));
        } else if (!std::strcmp(argv[i], "--debug")) {
            Beacon::sharedSDK()->setDebug(true);
        } else {
            std::fprintf(stderr, "beacon_probe: unknown option %s\n", argv[i]);
            return 2;
        }
    }
    auto client = BCNNetworkClient::create(nullptr, std::move(pins));
    std::promise<std::string> line;
    auto printed = line.get_future();
    client->startDataTaskWithRequest(net::URLRequest(url), retryLimit,
                                     [&](const auto&, const auto& response, const auto& error) {
                                         if (error)
                                             line.set_value("error=" + error->domain + " " + std::to_string(error->code));
                                         else
                                             line.set_value("status=" + std::to_string(response ? response->statusCode() : 0));
                                     });
    std::printf("%s\n", printed.get().c_str());
    client->invalidateAndCancel();
    return 0;
}
