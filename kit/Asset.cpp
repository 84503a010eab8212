#include "kit/Asset.h"

#include "kit/Clipping.h"

std::string Asset::makeAssetID(const std::string& clippingID, const std::string& filename) {
    return clippingID + "." + filename;
}

std::shared_ptr<Clipping> Asset::clipping() const {
    return std::dynamic_pointer_cast<Clipping>(objectForKey("clipping"));
}

void Asset::setClipping(const std::shared_ptr<Clipping>& clipping) { setObjectForKey("clipping", clipping); }
