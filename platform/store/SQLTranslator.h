#pragma once
// Turns a predicate over one entity into an SQL condition over the alias "t",
// with every argument bound as a parameter (never written into the SQL text).
// The condition is two-valued (never NULL) and gives, row for row, the answer of
// Predicate::evaluate on the stored values. What SQL cannot say (comparing two
// keys, arrays of data) is left for in-memory evaluation: inside a top-level
// AND the other parts still narrow the rows; elsewhere the whole predicate is
// evaluated in memory. Stateless; any thread.

#include <string>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/Model.h"
#include "platform/store/Predicate.h"

namespace store {

struct SQLCondition {
    std::string sql;  // empty: every row
    std::vector<Value> binds;
    bool complete = true;  // false: the rows still need Predicate::evaluate
};

class SQLTranslator {
public:
    SQLTranslator(const Model& model, const Entity& entity) : model_(model), entity_(entity) {}

    // Every key path must name properties of the entity, with to-one
    // relationships before the last key.
    foundation::Result<void> validate(const Predicate& predicate) const;
    SQLCondition translate(const Predicate& predicate) const;

    // Whether a (non-nil) value is of the kind an attribute of the type stores.
    static bool valueFitsAttribute(AttributeType type, const Value& value);

private:
    bool node(const Predicate& p, bool topLevel, std::string& sql, std::vector<Value>& binds, bool& complete, int& alias) const;
    bool comparison(const Predicate& p, std::string& sql, std::vector<Value>& binds, int& alias) const;
    bool pathCondition(const Entity& entity, const std::string& alias, const KeyPath& path, size_t i, const Predicate& p,
                       bool nilResult, std::string& sql, std::vector<Value>& binds, int& aliasCounter) const;
    bool columnCondition(const Entity& entity, const std::string& alias, const Property& property, const Predicate& p,
                         std::string& sql, std::vector<Value>& binds) const;
    bool mergedSearch(const std::vector<std::shared_ptr<const Predicate>>& parts, std::vector<bool>& used,
                      std::string& sql, std::vector<Value>& binds) const;

    const Model& model_;
    const Entity& entity_;
};

}  // namespace store
