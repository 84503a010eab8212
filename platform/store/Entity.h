#pragma once
// The description of one entity of a model: its properties (attributes first,
// then relationships, in model order) and the indexes the store keeps for it.
// Immutable once its model is loaded; any thread.

#include <cstdint>
#include <string>
#include <string_view>
#include <unordered_map>
#include <vector>

namespace store {

enum class AttributeType { String, Integer, Double, Boolean, Date, Binary };
enum class DeleteRule { Nullify, Cascade, Deny, NoAction };

struct Property {
    enum class Kind { Attribute, ToOne, ToMany };

    std::string name;
    Kind kind = Kind::Attribute;
    // Attributes.
    AttributeType type = AttributeType::String;
    // A large value (a clipping's text, archived data) is never copied into an
    // index; the store keeps a hash of it beside it instead, which answers nil
    // tests and equality without reading the value.
    bool large = false;
    // A string whose folded copy (case and diacritics removed) the store keeps in
    // the entity's full-text index, so substring searches need not read the rows.
    bool searchable = false;
    // Relationships.
    std::string destination;
    std::string inverse;
    DeleteRule deleteRule = DeleteRule::Nullify;
    uint32_t destinationEntity = 0;  // resolved when the model loads
    int inverseIndex = -1;           // the inverse's property index in the destination

    bool isAttribute() const { return kind == Kind::Attribute; }
    bool isToOne() const { return kind == Kind::ToOne; }
    bool isToMany() const { return kind == Kind::ToMany; }
    // Attributes and to-one relationships are columns; a to-many relationship is
    // the set of destination rows whose inverse column names this object.
    bool hasColumn() const { return kind != Kind::ToMany; }
};

struct IndexElement {
    int property = 0;
    bool descending = false;
    // Carried in the index (after the primary key) so a scan of it needs no row,
    // but not part of its order.
    bool included = false;
};

class Entity {
public:
    const std::string& name() const { return name_; }
    // The class that objects of this entity are made as (see Model::setObjectFactory).
    const std::string& className() const { return className_; }
    uint32_t index() const { return index_; }
    const std::vector<Property>& properties() const { return properties_; }
    const Property& property(int index) const { return properties_[static_cast<size_t>(index)]; }
    // -1 when the entity has no such property.
    int propertyIndex(std::string_view name) const;
    const Property* property(std::string_view name) const;
    // One bit per property that is a column.
    uint64_t columnMask() const { return columnMask_; }
    const std::vector<std::vector<IndexElement>>& indexes() const { return indexes_; }
    bool hasSearchIndex() const { return hasSearchIndex_; }

private:
    friend class Model;
    struct NameHash {
        using is_transparent = void;
        size_t operator()(std::string_view s) const noexcept { return std::hash<std::string_view>()(s); }
    };

    std::string name_;
    std::string className_;
    uint32_t index_ = 0;
    std::vector<Property> properties_;
    std::unordered_map<std::string, int, NameHash, std::equal_to<>> byName_;
    uint64_t columnMask_ = 0;
    std::vector<std::vector<IndexElement>> indexes_;
    bool hasSearchIndex_ = false;
};

}  // namespace store
