#include "platform/store/SQLTranslator.h"

#include <map>
#include <optional>

#include "platform/store/Schema.h"
#include "platform/store/StoreError.h"

namespace store {

namespace {

constexpr TextOptions kFolded{true, true};

// A whole-value pattern that only the empty value matches.
bool matchesOnlyEmpty(const std::string& pattern) { return pattern.empty() || pattern == ".{0}"; }

bool kindMatches(AttributeType type, const Value& v) { return SQLTranslator::valueFitsAttribute(type, v); }

const char* sqlOperator(Operator op) {
    switch (op) {
        case Operator::Less: return "<";
        case Operator::LessEqual: return "<=";
        case Operator::Greater: return ">";
        case Operator::GreaterEqual: return ">=";
        default: return "=";
    }
}

// A contains[cd] of a searchable attribute of the entity itself, with a string.
const Property* searchedProperty(const Entity& entity, const Predicate& p) {
    if (p.type() != Predicate::Type::Comparison || p.op() != Operator::Contains) return nullptr;
    if (!p.options().caseInsensitive || !p.options().diacriticInsensitive) return nullptr;
    if (!p.lhs().isKeyPath || p.lhs().keyPath.size() != 1 || p.rhs().isKeyPath) return nullptr;
    if (p.rhs().constant.kind() != Value::Kind::String) return nullptr;
    if (p.rhs().constant.string().find('\0') != std::string::npos) return nullptr;
    const Property* property = entity.property(p.lhs().keyPath[0]);
    return property && property->searchable ? property : nullptr;
}

// The search copies of long strings are cut: the rows whose copy was cut
// (found through the index by the mark at its end) are searched in their
// whole folded text as well.
std::string beyondSearchCopies(const Entity& entity, const std::string& alias, const std::vector<const Property*>& columns,
                               const std::string& folded, std::vector<Value>& binds) {
    std::string sql;
    for (const Property* p : columns) {
        sql += " OR (+" + alias + ".pk IN (SELECT rowid FROM " + Schema::searchTable(entity) + " WHERE " +
               Schema::searchTable(entity) + " MATCH ?) AND tl_has(tl_fold(" + std::to_string(kFolded.bits()) + ", " +
               alias + "." + Schema::column(*p) + "), ?))";
        binds.emplace_back("{" + Schema::column(*p) + "} : \"" + Schema::kSearchCopyCut + "\"");
        binds.emplace_back(folded);
    }
    return sql;
}

// A long needle is looked up by its first kLookupCharacters characters, and the
// few rows found are checked for the whole of it in their folded copies: a
// phrase of every trigram of a 10 KB needle costs the full-text module an
// iterator and its memory per trigram, for no better answer.
constexpr size_t kLookupCharacters = 32;

// The first count characters of UTF-8 text.
std::string firstCharacters(const std::string& text, size_t count) {
    size_t seen = 0;
    for (size_t i = 0; i < text.size(); ++i)
        if ((static_cast<unsigned char>(text[i]) & 0xC0) != 0x80 && seen++ == count) return text.substr(0, i);
    return text;
}

// One lookup in the entity's search table for a needle in any of the columns.
// The copies there are folded, so folding the needle the same way makes the
// lookup answer contains[cd] exactly. The trigram index needs three characters;
// shorter needles scan the folded copies. The unary "+" keeps SQLite from
// answering the lookup row by row through the primary key: a common needle
// matches most rows, and walking the ordered (covering) index while probing the
// lookup's result costs far less. A long needle: see kLookupCharacters.
std::string searchCondition(const Entity& entity, const std::string& alias, const std::vector<const Property*>& columns,
                            const std::string& needle, std::vector<Value>& binds) {
    std::string folded = foldText(needle, kFolded);
    if (folded.empty()) return "0";
    if (characterCount(folded) >= 3) {
        std::string filter = "{";
        for (const Property* p : columns) filter += (filter.size() > 1 ? " " : "") + Schema::column(*p);
        const std::string head = firstCharacters(folded, kLookupCharacters);
        std::string phrase = "\"";
        for (char c : head) {
            if (c == '"') phrase += '"';
            phrase += c;
        }
        binds.emplace_back(filter + "} : " + phrase + "\"");
        std::string lookup =
            "SELECT rowid FROM " + Schema::searchTable(entity) + " WHERE " + Schema::searchTable(entity) + " MATCH ?";
        if (head.size() < folded.size()) {
            lookup = "SELECT id FROM " + Schema::searchContentTable(entity) + " WHERE id IN (" + lookup + ") AND (";
            for (size_t i = 0; i < columns.size(); ++i) {
                lookup += (i ? " OR " : "") + std::string("tl_has(") +
                          Schema::searchContentColumn(entity, *columns[i]) + ", ?)";
                binds.emplace_back(folded);
            }
            lookup += ")";
        }
        return "(+" + alias + ".pk IN (" + lookup + ")" + beyondSearchCopies(entity, alias, columns, folded, binds) + ")";
    }
    std::string sql = "(+" + alias + ".pk IN (SELECT id FROM " + Schema::searchContentTable(entity) + " WHERE ";
    for (size_t i = 0; i < columns.size(); ++i) {
        sql += (i ? " OR " : "") + std::string("tl_has(") + Schema::searchContentColumn(entity, *columns[i]) + ", ?)";
        binds.emplace_back(folded);
    }
    return sql + ")" + beyondSearchCopies(entity, alias, columns, folded, binds) + ")";
}

}  // namespace

foundation::Result<void> SQLTranslator::validate(const Predicate& predicate) const {
    std::vector<KeyPath> paths;
    predicate.collectKeyPaths(paths);
    for (const KeyPath& path : paths) {
        const Entity* e = &entity_;
        std::string text;
        for (size_t i = 0; i < path.size(); ++i) {
            text += (i ? "." : "") + path[i];
            const Property* p = e->property(path[i]);
            if (!p) return makeError(ErrorCode::InvalidPredicate, "Unknown key " + text + " of " + entity_.name());
            if (p->isToMany())
                return makeError(ErrorCode::InvalidPredicate, "To-many key paths are not supported: " + text);
            if (i + 1 < path.size()) {
                if (!p->isToOne()) return makeError(ErrorCode::InvalidPredicate, text + " is not a relationship");
                e = &model_.entity(p->destinationEntity);
            }
        }
    }
    return {};
}

bool SQLTranslator::valueFitsAttribute(AttributeType type, const Value& v) {
    switch (type) {
        case AttributeType::String: return v.kind() == Value::Kind::String;
        case AttributeType::Integer:
        case AttributeType::Double:
        case AttributeType::Boolean: return v.isNumeric();
        case AttributeType::Date: return v.kind() == Value::Kind::Date;
        case AttributeType::Binary: return v.kind() == Value::Kind::Data;
    }
    return false;
}

SQLCondition SQLTranslator::translate(const Predicate& predicate) const {
    SQLCondition c;
    int alias = 0;
    std::string sql;
    if (!node(predicate, true, sql, c.binds, c.complete, alias)) return SQLCondition{{}, {}, false};
    c.sql = sql == "1" ? std::string() : sql;
    return c;
}

bool SQLTranslator::node(const Predicate& p, bool topLevel, std::string& sql, std::vector<Value>& binds,
                         bool& complete, int& alias) const {
    switch (p.type()) {
        case Predicate::Type::True: sql = "1"; return true;
        case Predicate::Type::False: sql = "0"; return true;
        case Predicate::Type::Not: {
            std::string inner;
            bool innerComplete = true;
            if (p.subpredicates().empty()) {
                sql = "0";
                return true;
            }
            if (!node(*p.subpredicates()[0], false, inner, binds, innerComplete, alias)) return false;
            sql = "NOT (" + inner + ")";
            return true;
        }
        case Predicate::Type::And: {
            std::vector<std::string> parts;
            for (const auto& child : p.subpredicates()) {
                std::string s;
                std::vector<Value> b;
                bool childComplete = true;
                if (node(*child, topLevel, s, b, childComplete, alias)) {
                    parts.push_back(s);
                    binds.insert(binds.end(), b.begin(), b.end());
                    complete = complete && childComplete;
                } else if (topLevel) {
                    complete = false;
                } else {
                    return false;
                }
            }
            if (parts.empty()) {
                sql = "1";
                return true;
            }
            sql = "(";
            for (size_t i = 0; i < parts.size(); ++i) sql += (i ? " AND " : "") + parts[i];
            sql += ")";
            return true;
        }
        case Predicate::Type::Or: {
            std::vector<bool> used(p.subpredicates().size(), false);
            std::string merged;
            std::vector<Value> b;
            mergedSearch(p.subpredicates(), used, merged, b);
            std::vector<std::string> parts;
            if (!merged.empty()) parts.push_back(merged);
            for (size_t i = 0; i < p.subpredicates().size(); ++i) {
                if (used[i]) continue;
                std::string s;
                bool childComplete = true;
                if (!node(*p.subpredicates()[i], false, s, b, childComplete, alias)) return false;
                parts.push_back(s);
            }
            binds.insert(binds.end(), b.begin(), b.end());
            sql = "(";
            for (size_t i = 0; i < parts.size(); ++i) sql += (i ? " OR " : "") + parts[i];
            sql += ")";
            return true;
        }
        case Predicate::Type::Comparison: return comparison(p, sql, binds, alias);
    }
    return false;
}

bool SQLTranslator::mergedSearch(const std::vector<std::shared_ptr<const Predicate>>& parts, std::vector<bool>& used,
                                 std::string& sql, std::vector<Value>& binds) const {
    // "url contains[cd] %@ OR text contains[cd] %@ OR ..." with one search text
    // becomes one lookup over those columns instead of one per column.
    std::map<std::string, std::vector<size_t>> byNeedle;
    for (size_t i = 0; i < parts.size(); ++i)
        if (searchedProperty(entity_, *parts[i])) byNeedle[parts[i]->rhs().constant.string()].push_back(i);
    std::vector<std::string> lookups;
    for (const auto& [needle, indexes] : byNeedle) {
        if (indexes.size() < 2) continue;
        std::vector<const Property*> columns;
        for (size_t i : indexes) {
            columns.push_back(searchedProperty(entity_, *parts[i]));
            used[i] = true;
        }
        lookups.push_back(searchCondition(entity_, "t", columns, needle, binds));
    }
    for (size_t i = 0; i < lookups.size(); ++i) sql += (i ? " OR " : "") + lookups[i];
    return !lookups.empty();
}

bool SQLTranslator::comparison(const Predicate& p, std::string& sql, std::vector<Value>& binds, int& alias) const {
    if (!p.lhs().isKeyPath && !p.rhs().isKeyPath) {
        struct None : KeyValueSource {
            Value valueForKeyPath(const KeyPath&) const override { return {}; }
        } none;
        sql = p.evaluate(none) ? "1" : "0";
        return true;
    }
    if (!p.lhs().isKeyPath || p.rhs().isKeyPath) return false;
    bool nilResult = compareValues(p.op(), p.options(), Value(), p.rhs().constant);
    return pathCondition(entity_, "t", p.lhs().keyPath, 0, p, nilResult, sql, binds, alias);
}

bool SQLTranslator::pathCondition(const Entity& entity, const std::string& alias, const KeyPath& path, size_t i,
                                  const Predicate& p, bool nilResult, std::string& sql, std::vector<Value>& binds,
                                  int& aliasCounter) const {
    const Property* property = entity.property(path[i]);
    if (!property || property->isToMany()) return false;
    if (i + 1 == path.size()) return columnCondition(entity, alias, *property, p, sql, binds);
    if (!property->isToOne()) return false;
    const Entity& destination = model_.entity(property->destinationEntity);
    std::string inner = "s" + std::to_string(++aliasCounter);
    std::string sub;
    if (!pathCondition(destination, inner, path, i + 1, p, nilResult, sub, binds, aliasCounter)) return false;
    // A nil relationship gives the last key nil, so the comparison then answers
    // as it does for nil.
    const std::string column = alias + "." + Schema::column(*property);
    const std::string in = "+" + column + " IN (SELECT " + inner + ".pk FROM " + Schema::table(destination) + " AS " + inner +
                           " WHERE " + sub + ")";
    sql = nilResult ? "(" + column + " IS NULL OR " + in + ")" : "(" + column + " IS NOT NULL AND " + in + ")";
    return true;
}

bool SQLTranslator::columnCondition(const Entity& entity, const std::string& alias, const Property& property,
                                    const Predicate& p, std::string& sql, std::vector<Value>& binds) const {
    const std::string column = alias + "." + Schema::column(property);
    const Value& v = p.rhs().constant;
    const Operator op = p.op();
    const int bits = p.options().bits();
    auto constant = [&sql](bool b) {
        sql = b ? "1" : "0";
        return true;
    };
    auto function = [&]() {
        sql = "tl_cmp(" + std::to_string(static_cast<int>(op)) + ", " + std::to_string(bits) + ", " + column + ", ?)";
        binds.push_back(v);
        return true;
    };
    // "x IN array": the array's elements that can equal the column (as keep
    // gives them, or nothing), as JSON.
    auto membership = [&](const std::string& expression, auto&& keep) {
        if (v.kind() != Value::Kind::Array) return constant(false);
        std::vector<Value> elements;
        bool hasNil = false;
        for (const Value& e : v.array()) {
            if (e.isNull()) hasNil = true;
            else if (e.kind() == Value::Kind::Data || e.kind() == Value::Kind::Array) return false;
            else if (e.kind() == Value::Kind::String && e.string().find('\0') != std::string::npos) return false;
            else if (std::optional<Value> kept = keep(e)) elements.push_back(std::move(*kept));
        }
        if (elements.empty() && !hasNil) return constant(false);
        std::string in = "(" + column + " IS NOT NULL AND " + expression + " IN (SELECT value FROM json_each(?)))";
        binds.emplace_back(std::move(elements));
        sql = hasNil ? "(" + column + " IS NULL OR " + in + ")" : in;
        return true;
    };

    if (property.isToOne()) {
        const uint32_t destination = property.destinationEntity;
        auto isDestination = [destination](const Value& e) {
            return e.kind() == Value::Kind::Object && e.objectID().entity == destination;
        };
        auto keepDestination = [&isDestination](const Value& e) {
            return isDestination(e) ? std::optional<Value>(e) : std::nullopt;
        };
        switch (op) {
            case Operator::Equal:
            case Operator::NotEqual: {
                const bool equal = op == Operator::Equal;
                if (v.isNull()) {
                    sql = column + (equal ? " IS NULL" : " IS NOT NULL");
                    return true;
                }
                if (!isDestination(v)) return constant(!equal);
                sql = column + (equal ? " IS ?" : " IS NOT ?");
                binds.push_back(v);
                return true;
            }
            case Operator::In: return membership(column, keepDestination);
            default: return constant(false);
        }
    }

    const bool text = property.type == AttributeType::String;
    const bool folded = text && bits != 0;
    switch (op) {
        case Operator::Equal:
        case Operator::NotEqual: {
            const bool equal = op == Operator::Equal;
            if (v.isNull()) {
                sql = (property.large ? alias + "." + Schema::keyColumn(property) : column) +
                      (equal ? " IS NULL" : " IS NOT NULL");
                return true;
            }
            if (!kindMatches(property.type, v)) return constant(!equal);
            if (folded) return function();
            if (property.large) {
                // The hash column finds the candidates through its index.
                std::string same = "(" + alias + "." + Schema::keyColumn(property) + " IS ? AND " + column + " IS ?)";
                binds.push_back(Schema::largeValueKey(v));
                binds.push_back(v);
                sql = equal ? same : "NOT " + same;
                return true;
            }
            sql = column + (equal ? " IS ?" : " IS NOT ?");
            binds.push_back(v);
            return true;
        }
        case Operator::Less:
        case Operator::LessEqual:
        case Operator::Greater:
        case Operator::GreaterEqual:
            if (v.isNull() || !kindMatches(property.type, v)) return constant(false);
            if (folded) return function();
            sql = "(" + column + " IS NOT NULL AND " + column + " " + sqlOperator(op) + " ?)";
            binds.push_back(v);
            return true;
        case Operator::In:
            if (!folded)
                return membership(column, [&](const Value& e) {
                    return kindMatches(property.type, e) ? std::optional<Value>(e) : std::nullopt;
                });
            // Fold the candidates once here, the column per row in SQL.
            return membership("tl_fold(" + std::to_string(bits) + ", " + column + ")", [&](const Value& e) {
                return e.kind() == Value::Kind::String ? std::optional<Value>(foldText(e.string(), p.options()))
                                                       : std::nullopt;
            });
        case Operator::Contains:
            if (!text || v.kind() != Value::Kind::String) return constant(false);
            if (searchedProperty(entity, p) && property.searchable) {
                sql = searchCondition(entity, alias, {&property}, v.string(), binds);
                return true;
            }
            return function();
        case Operator::BeginsWith:
        case Operator::EndsWith:
        case Operator::Like:
            if (!text || v.kind() != Value::Kind::String) return constant(false);
            return function();
        case Operator::Matches:
            if (!(text || property.type == AttributeType::Binary) || v.kind() != Value::Kind::String)
                return constant(false);
            if (property.large && matchesOnlyEmpty(v.string())) {
                // "Empty" needs no look at a value that may be megabytes: the
                // hash column names the empty value's hash, and length() reads
                // only the size.
                sql = "(" + alias + "." + Schema::keyColumn(property) + " IS ? AND length(" + column + ") = 0)";
                binds.push_back(Schema::largeValueKey(Value(std::string())));
                return true;
            }
            return function();
    }
    return false;
}

}  // namespace store
