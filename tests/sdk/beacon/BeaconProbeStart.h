#pragma once
// beacon_probe start [--pinned-anchors PEM] [--wait S]: starts the kits with
// the main bundle's configuration (the pins replaced by the PEM's
// certificates), then, with --wait, reports the settings flow: the number of
// BCNSettingsAvailableNotification posts 1 s after the first one (or after S
// seconds without one) and the settings document then held.

int beaconProbeStart(int argc, char** argv);
