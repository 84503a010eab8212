#pragma once
// One file of a clipping's asset folder, synced as a file (entity "Asset"). An
// object of the store: used on its context's queue only.

#include <memory>
#include <optional>
#include <string>

#include "platform/foundation/Data.h"
#include "platform/foundation/Date.h"
#include "kit/TLSyncedObject.h"

class Clipping;

class Asset : public TLSyncedObject {
public:
    static constexpr const char* kEntityName = "Asset";

    // The clipping's identifier, a full stop and the file name.
    static std::string makeAssetID(const std::string& clippingID, const std::string& filename);

    std::optional<std::string> assetID() const { return stringForKey("assetID"); }
    void setAssetID(const std::optional<std::string>& v) { setOptionalString("assetID", v); }
    std::optional<std::string> filename() const { return stringForKey("filename"); }
    void setFilename(const std::optional<std::string>& v) { setOptionalString("filename", v); }

    std::shared_ptr<Clipping> clipping() const;
    void setClipping(const std::shared_ptr<Clipping>& clipping);
};
