#pragma once
// Facts about the application from its bundle's Info.plist: identifier,
// versions, name, install source and what it may report. Plain functions,
// reentrant, any thread. Each reads the main bundle unless a test hands in
// another one.
//
// On Linux the kits' classes live in the main program, so the bundle "that
// holds the class named Blackbox" is the main bundle too.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "sdk/beacon/HostFacts.h"

// Where an installed copy came from, as the kit service counts it.
enum BCNInstallationSource : int {
    BCNInstallationSourceUnknown = 1,
    BCNInstallationSourceSignedForDistribution = 3,
    BCNInstallationSourceAppStore = 4,
};

// "CFBundleIdentifier" with every "/" replaced by "_", so it can name a folder.
std::optional<std::string> BCNApplicationGetEscapedBundleIdentifier(
    const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

// "CFBundleVersion"; a number there is given in decimal.
std::optional<std::string> BCNApplicationGetBuildVersion(
    const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

// "CFBundleShortVersionString"; a number there is given in decimal.
std::optional<std::string> BCNApplicationGetDisplayVersion(
    const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

// "CFBundleDisplayName", else "CFBundleName", else the build version.
std::optional<std::string> BCNApplicationGetName(
    const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

// Whether a store receipt lies in the bundle ("Contents/_MASReceipt/receipt"),
// looked for only on an OS whose version number is at least 1070. The receipt
// is not read.
bool BCNApplicationHasAppStoreReceipt(const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main(),
                                      const beacon::HostFacts& host = beacon::HostFacts::system());

// The boolean value of "BlackboxSignedForDistribution"; false when absent.
bool BCNApplicationIsSignedForDistribution(
    const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

// App Store (4) when a receipt is there, else signed for distribution (3),
// else 1.
BCNInstallationSource BCNApplicationGetInstallationSource(
    const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main(),
    const beacon::HostFacts& host = beacon::HostFacts::system());

// "ReportIdentifiers" of the "Beacon" dictionary; when absent, the top-level
// "BlackboxCollectDeviceIdentifiers"; true when both are absent.
bool BCNApplicationCanReportDeviceIdentifiers(
    const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());
