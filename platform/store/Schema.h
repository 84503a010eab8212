#pragma once
// How a model lies in SQLite: one table per entity ("pk" plus a column per
// attribute and per to-one relationship), a hash column beside each large
// attribute, the indexes the model names, and a full-text table of folded copies
// for entities with searchable attributes. Stateless helpers; any thread.
//
// Every name the store makes itself contains "$", which no model name can, so
// store tables and indexes never clash with entities.

#include <string>
#include <vector>

#include "platform/store/Entity.h"
#include "platform/store/Model.h"
#include "platform/store/Value.h"

namespace store {

class Schema {
public:
    // Bumped whenever foldText() changes what it makes: stores with older folded
    // copies rebuild their search tables when they open.
    static constexpr int kFoldVersion = 1;
    static constexpr const char* kMetadataTable = "$metadata";

    static std::string table(const Entity& entity);
    static std::string column(const Property& property);
    // The hash column of a large attribute.
    static std::string keyColumn(const Property& property);
    static std::string searchTable(const Entity& entity);
    // The search table's own copy of the folded strings (the full-text
    // module's content table), and the column there for a searchable property:
    // scanning it directly is what a needle too short for the index needs.
    static std::string searchContentTable(const Entity& entity);
    static std::string searchContentColumn(const Entity& entity, const Property& property);
    // SQL type of a property's column.
    static const char* columnType(const Property& property);

    static std::vector<std::string> createTable(const Entity& entity);
    // Indexes of the model plus one per to-one relationship that no model index
    // starts with (to-many lookups go through it).
    static std::vector<std::string> createIndexes(const Entity& entity);
    static std::string createSearchTable(const Entity& entity);

    // The hash kept beside a large value; nil for nil. Stable across runs.
    static Value largeValueKey(const Value& value);
    // The folded copy kept in the search table. It covers a string's first
    // kSearchCopyLimit bytes: a clipping of tens of megabytes would otherwise
    // grow the store by several times its size in trigrams. A cut copy ends
    // with kSearchCopyCut, which the index finds in one lookup, so a search
    // reads those clippings' whole text instead and misses nothing past the cut.
    static constexpr size_t kSearchCopyLimit = size_t{256} << 10;
    static constexpr const char* kSearchCopyCut = "\x01\x01\x01";
    static Value searchText(const Value& value);
};

}  // namespace store
