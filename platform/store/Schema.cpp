#include "platform/store/Schema.h"

#include "platform/store/Database.h"
#include "platform/store/TextMatching.h"

namespace store {

std::string Schema::table(const Entity& entity) { return quoted(entity.name()); }
std::string Schema::column(const Property& property) { return quoted(property.name); }
std::string Schema::keyColumn(const Property& property) { return quoted(property.name + "$key"); }
std::string Schema::searchTable(const Entity& entity) { return quoted(entity.name() + "$search"); }
std::string Schema::searchContentTable(const Entity& entity) { return quoted(entity.name() + "$search_content"); }

std::string Schema::searchContentColumn(const Entity& entity, const Property& property) {
    int n = 0;
    for (const Property& p : entity.properties()) {
        if (&p == &property) break;
        if (p.searchable) ++n;
    }
    return "c" + std::to_string(n);
}

const char* Schema::columnType(const Property& property) {
    if (!property.isAttribute()) return "INTEGER";
    switch (property.type) {
        case AttributeType::String: return "TEXT";
        case AttributeType::Integer:
        case AttributeType::Boolean: return "INTEGER";
        case AttributeType::Double:
        case AttributeType::Date: return "REAL";
        case AttributeType::Binary: return "BLOB";
    }
    return "";
}

std::vector<std::string> Schema::createTable(const Entity& entity) {
    // Small columns first and large ones last: SQLite then reads the small ones
    // from a row's first page, without following a long text's overflow pages.
    std::string columns = "pk INTEGER PRIMARY KEY";
    std::string large;
    for (const Property& p : entity.properties()) {
        if (!p.hasColumn()) continue;
        std::string definition = ", " + column(p) + " " + columnType(p);
        if (p.large) {
            columns += ", " + keyColumn(p) + " INTEGER";
            large += definition;
        } else {
            columns += definition;
        }
    }
    std::vector<std::string> sql{"CREATE TABLE " + table(entity) + " (" + columns + large + ")"};
    return sql;
}

std::vector<std::string> Schema::createIndexes(const Entity& entity) {
    std::vector<std::string> sql;
    int n = 0;
    for (const auto& index : entity.indexes()) {
        std::string columns, included;
        for (const IndexElement& e : index) {
            const Property& p = entity.property(e.property);
            const std::string name = p.large ? keyColumn(p) : column(p);
            if (e.included) included += ", " + name;
            else columns += (columns.empty() ? "" : ", ") + name + (e.descending ? " DESC" : "");
        }
        if (!included.empty()) columns += ", pk" + included;
        sql.push_back("CREATE INDEX " + quoted(entity.name() + "$index" + std::to_string(++n)) + " ON " +
                      table(entity) + " (" + columns + ")");
    }
    for (size_t i = 0; i < entity.properties().size(); ++i) {
        const Property& p = entity.properties()[i];
        if (!p.isToOne()) continue;
        bool covered = false;
        for (const auto& index : entity.indexes())
            if (index.front().property == static_cast<int>(i) && !index.front().included) covered = true;
        if (!covered)
            sql.push_back("CREATE INDEX " + quoted(entity.name() + "$" + p.name) + " ON " + table(entity) + " (" +
                          column(p) + ")");
    }
    return sql;
}

std::string Schema::createSearchTable(const Entity& entity) {
    std::string columns;
    for (const Property& p : entity.properties())
        if (p.searchable) columns += (columns.empty() ? "" : ", ") + column(p);
    // The copies are folded already, so the tokenizer must not fold again.
    return "CREATE VIRTUAL TABLE " + searchTable(entity) + " USING fts5(" + columns +
           ", tokenize='trigram case_sensitive 1')";
}

Value Schema::largeValueKey(const Value& value) {
    if (value.isNull()) return {};
    // FNV-1a, 64 bits: stable, and plenty to narrow an equality test to a row or two.
    uint64_t h = 1469598103934665603ull;
    auto mix = [&h](const uint8_t* p, size_t n) {
        for (size_t i = 0; i < n; ++i) {
            h ^= p[i];
            h *= 1099511628211ull;
        }
    };
    if (value.kind() == Value::Kind::String)
        mix(reinterpret_cast<const uint8_t*>(value.string().data()), value.string().size());
    else
        mix(value.data().data(), value.data().size());
    return Value(static_cast<int64_t>(h));
}

Value Schema::searchText(const Value& value) {
    if (value.kind() != Value::Kind::String) return {};
    std::string_view text = value.string();
    if (text.size() <= kSearchCopyLimit) return Value(foldText(text, {true, true}));
    size_t cut = kSearchCopyLimit;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;  // a whole character
    return Value(foldText(text.substr(0, cut), {true, true}) + kSearchCopyCut);
}

}  // namespace store
