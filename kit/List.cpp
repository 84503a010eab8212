#include "kit/List.h"

#include "kit/Clipping.h"
#include "platform/foundation/UUID.h"

std::string List::makeListID() { return kIDPrefix + foundation::UUID::random().string(); }

std::vector<std::shared_ptr<Clipping>> List::clippings() const {
    return objectsForKeyAs<Clipping>("clippings");
}

void List::addClippingsObject(const std::shared_ptr<Clipping>& clipping) { addObjectForKey("clippings", clipping); }
void List::removeClippingsObject(const std::shared_ptr<Clipping>& clipping) {
    removeObjectForKey("clippings", clipping);
}
