#pragma once
// beacon_probe get URL [--pinned-anchors PEM] [--retry-limit N] [--debug]:
// one data task through BCNNetworkClient (pinned to the PEM file's
// certificates when given, else default trust; Beacon's debug flag set with
// --debug), printed as one line: "status=<code>" or "error=<domain> <code>".
// Answers the exit status (2 for a usage error).

int beaconProbeGet(int argc, char** argv);
