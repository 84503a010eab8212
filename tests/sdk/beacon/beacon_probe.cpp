// A child program for the bootstrap's tests: the shared values of one process
// run, or the start of the kits, printed one "name=value" line each.
//   beacon_probe info    installID=, isFirstInstall=0|1, executionIdentifier=, instanceIdentifier=
//   beacon_probe start [--pinned-anchors PEM] [--wait S]
//                        "with: ok" or "with: BCNException: <reason>"; with --wait,
//                        then "settings-available <count>" (1 s after the first
//                        BCNSettingsAvailableNotification, or after S seconds) and
//                        "settings=<document as JSON>" ("settings=" without one)
//   beacon_probe get URL [--pinned-anchors PEM] [--retry-limit N] [--debug]
//                        "status=<code>" or "error=<domain> <code>" (BeaconProbeGet.h)
#include <cstdio>
#include <cstring>

#include "sdk/beacon/Beacon.h"
#include "tests/sdk/beacon/BeaconProbeGet.h"
#include "tests/sdk/beacon/BeaconProbeStart.h"

int main(int argc, char** argv) {
    if (argc == 2 && std::strcmp(argv[1], "info") == 0) {
        auto beacon = Beacon::sharedSDK();
        std::printf("installID=%s\nisFirstInstall=%d\nexecutionIdentifier=%s\ninstanceIdentifier=%s\n",
                    beacon->installID().c_str(), beacon->isFirstInstall() ? 1 : 0,
                    beacon->executionIdentifier().c_str(), beacon->instanceIdentifier().value_or("").c_str());
        return 0;
    }
    if (argc >= 2 && std::strcmp(argv[1], "start") == 0) return beaconProbeStart(argc, argv);
    if (argc >= 2 && std::strcmp(argv[1], "get") == 0) return beaconProbeGet(argc, argv);
    std::fprintf(stderr, "usage: beacon_probe info|start|get\n");
    return 2;
}
