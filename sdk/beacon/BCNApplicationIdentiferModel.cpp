#include "sdk/beacon/BCNApplicationIdentiferModel.h"

#include <cstdio>

#include "sdk/beacon/BCNAppIconUtility.h"
#include "sdk/beacon/BCNApplication.h"
#include "sdk/beacon/BCNMachOFile.h"
#include "sdk/beacon/BCNSHA1.h"
#include "sdk/beacon/BCNUUID.h"
#include "sdk/beacon/ElfImage.h"

namespace {

std::string versionString(BCNMachOVersion version) {
    char text[40];
    std::snprintf(text, sizeof text, "%u.%u.%u", version.major, version.minor, version.patch);
    return text;
}

}  // namespace

std::shared_ptr<const BCNApplicationIdentiferModel> BCNApplicationIdentiferModel::initWithInstallID(
    const std::string& installID, const std::shared_ptr<foundation::Bundle>& bundle) {
    BCNMachOFile file;
    if (!BCNMachOFileOpenExecutable(&file)) return nullptr;
    std::shared_ptr<BCNApplicationIdentiferModel> model(new BCNApplicationIdentiferModel());
    bool elfSlice = false;
    BCNMachOFileEnumerateSlices(&file, [&](BCNMachOSlice slice) {
        std::string name = BCNMachOSliceGetArchitectureName(&slice);
        bool commands = false;
        BCNMachOSliceEnumerateLoadCommands(&slice, [&](uint32_t cmd, uint32_t, const void* command) {
            commands = true;
            if (cmd == kBCNMachOLoadCommandUUID) {
                model->architectureUUIDMap_[name] = BCNUUIDHexStringFromBytes(BCNMachOUUIDCommandGetUUID(command));
            } else if (cmd == kBCNMachOLoadCommandVersionMinMacOSX || cmd == kBCNMachOLoadCommandVersionMinIPhoneOS) {
                model->minimumSDK_ = BCNMachOVersionMinCommandGetMinimumVersion(command);
                model->builtSDK_ = BCNMachOVersionMinCommandGetSDKVersion(command);
            }
        });
        if (!commands) elfSlice = true;
    });
    BCNMachOFileClose(&file);
    if (elfSlice && model->architectureUUIDMap_.empty()) {
        if (auto identity = beacon::runningProgramIdentity())
            if (auto uuid = identity->uuidString()) model->architectureUUIDMap_[identity->architecture] = *uuid;
    }
    model->instanceIdentifier_ = instanceIdentifierForUUIDs(model->architectureUUIDMap_);
    model->icon_ = BCNAppIconUtility(bundle).applicationIcon();
    model->installID_ = installID;
    model->bundleIdentifier_ = BCNApplicationGetEscapedBundleIdentifier(bundle);
    return model;
}

std::string BCNApplicationIdentiferModel::instanceIdentifierForUUIDs(const std::map<std::string, std::string>& map) {
    std::string joined;
    for (const auto& [architecture, uuid] : map) joined += uuid;  // a map is in name order
    return BCNSHA1HexStringFromBytes(joined.data(), joined.size());
}

std::string BCNApplicationIdentiferModel::minimumSDKString() const { return versionString(minimumSDK_); }
std::string BCNApplicationIdentiferModel::builtSDKString() const { return versionString(builtSDK_); }
