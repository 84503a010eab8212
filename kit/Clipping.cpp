#include "kit/Clipping.h"

#include "kit/Asset.h"
#include "kit/List.h"
#include "platform/foundation/UUID.h"

std::string Clipping::makeClippingID() { return kIDPrefix + foundation::UUID::random().string(); }

std::shared_ptr<List> Clipping::list() const { return std::dynamic_pointer_cast<List>(objectForKey("list")); }

void Clipping::setList(const std::shared_ptr<List>& list) { setObjectForKey("list", list); }

std::vector<std::shared_ptr<Asset>> Clipping::assets() const {
    return objectsForKeyAs<Asset>("assets");
}

void Clipping::addAssetsObject(const std::shared_ptr<Asset>& asset) { addObjectForKey("assets", asset); }
void Clipping::removeAssetsObject(const std::shared_ptr<Asset>& asset) { removeObjectForKey("assets", asset); }
