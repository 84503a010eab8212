#pragma once
// What identifies this build of the application to the kit service: the
// install identifier, the escaped bundle identifier, the icon, each
// architecture's UUID, the instance identifier made of them, and the SDK
// versions. Made once by the Beacon bootstrap; immutable after, any thread.
//
// The running program is read as the Mach-O readers read it. An ELF program is
// one "unknown" slice without load commands: its architecture and UUID then
// come from its ELF identity (the first 16 bytes of the GNU build-id), and the
// SDK versions stay 0.0.0.

#include <map>
#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Bundle.h"
#include "sdk/beacon/BCNIcon.h"
#include "sdk/beacon/BCNMachO.h"

class BCNApplicationIdentiferModel {
public:
    // Null when the running executable cannot be read.
    static std::shared_ptr<const BCNApplicationIdentiferModel> initWithInstallID(
        const std::string& installID, const std::shared_ptr<foundation::Bundle>& bundle = foundation::Bundle::main());

    const std::string& installID() const { return installID_; }
    const std::optional<std::string>& bundleIdentifier() const { return bundleIdentifier_; }
    const std::shared_ptr<const BCNIcon>& icon() const { return icon_; }
    // Architecture name to the UUID of that slice, 32 lower-case hex digits.
    const std::map<std::string, std::string>& architectureUUIDMap() const { return architectureUUIDMap_; }
    // SHA-1 (40 lower-case hex digits) of the UUIDs joined in the order of
    // their architecture names.
    const std::string& instanceIdentifier() const { return instanceIdentifier_; }
    BCNMachOVersion minimumSDK() const { return minimumSDK_; }
    BCNMachOVersion builtSDK() const { return builtSDK_; }
    std::string minimumSDKString() const;
    std::string builtSDKString() const;

    // The instance identifier of a map of architecture UUIDs.
    static std::string instanceIdentifierForUUIDs(const std::map<std::string, std::string>& architectureUUIDMap);

private:
    BCNApplicationIdentiferModel() = default;

    std::string installID_;
    std::optional<std::string> bundleIdentifier_;
    std::shared_ptr<const BCNIcon> icon_;
    std::map<std::string, std::string> architectureUUIDMap_;
    std::string instanceIdentifier_;
    BCNMachOVersion minimumSDK_;
    BCNMachOVersion builtSDK_;
};
