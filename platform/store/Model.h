#pragma once
// A versioned object model: entities with attributes, to-one and to-many
// relationships with inverses and delete rules, and the indexes the store keeps.
// Loaded from a model resource folder ("<Name>.momd") holding one JSON file per
// version and "VersionInfo.json", which names the current one. Immutable once
// handed to a coordinator; any thread.
//
// JSON shape of one version:
//   {"name": "Tavlo", "version": 2, "entities": [{"name": "Clipping", "class": "Clipping",
//     "attributes": [{"name": "text", "type": "string", "large": true, "searchable": true}],
//     "relationships": [{"name": "list", "destination": "List", "toMany": false,
//                        "inverse": "clippings", "deleteRule": "nullify"}],
//     "indexes": [["clippingID"], ["-tavloDate", "pasteboardIndex"]]}]}
// Types: string, integer, double, boolean, date, binary. Delete rules: nullify,
// cascade, deny, noAction. An index element with a leading "-" is descending; one
// with a leading "+" is only carried (covered), after the primary key, which
// follows the ordered elements so that ties come in key order as fetches sort them.

#include <filesystem>
#include <functional>
#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/Entity.h"

namespace store {

class ManagedObject;

class Model {
public:
    using ObjectFactory = std::function<std::shared_ptr<ManagedObject>()>;

    // The current version from a "<Name>.momd" folder.
    static foundation::Result<std::shared_ptr<Model>> loadResource(const std::filesystem::path& momd);
    static foundation::Result<std::shared_ptr<Model>> loadFile(const std::filesystem::path& file);
    static foundation::Result<std::shared_ptr<Model>> fromJSON(std::string_view json);

    const std::string& name() const { return name_; }
    int64_t version() const { return version_; }
    const std::vector<Entity>& entities() const { return entities_; }
    const Entity* entity(std::string_view name) const;
    const Entity& entity(uint32_t index) const { return entities_[index]; }
    // The model in one canonical JSON text: two models are the same exactly when
    // these texts are equal. Stores keep it to know what wrote them.
    const std::string& canonicalJSON() const { return canonical_; }

    // Objects of the entity are made by the factory (a subclass of ManagedObject),
    // plain ManagedObjects otherwise. Set before the model is shared.
    void setObjectFactory(std::string_view entityName, ObjectFactory factory);
    const ObjectFactory& objectFactory(uint32_t entityIndex) const { return factories_[entityIndex]; }

private:
    std::string name_;
    int64_t version_ = 0;
    std::vector<Entity> entities_;
    std::vector<ObjectFactory> factories_;
    std::string canonical_;
};

}  // namespace store
