#pragma once
// A predicate over the objects of one entity, parsed from the format language
// that the callers write:
//   "(text != NULL OR url != NULL) AND list == %@", "name ==[c] %@",
//   "clippingID IN %@", "url contains[cd] %@", "recordSystemFields MATCHES %@",
//   "%K == %@", "list.name CONTAINS[cd] %@", NOT/!, AND/&&, OR/||, TRUEPREDICATE.
// Arguments are bound when the format is parsed and stay values: they are never
// spliced into SQL or re-read as format text. Immutable; any thread.

#include <memory>
#include <string>
#include <string_view>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/Comparison.h"
#include "platform/store/Value.h"

namespace store {

using KeyPath = std::vector<std::string>;

// What a predicate reads values from (a managed object, or a test double).
class KeyValueSource {
public:
    virtual ~KeyValueSource() = default;
    // nil for a key the source does not have.
    virtual Value valueForKeyPath(const KeyPath& keyPath) const = 0;
};

class Predicate {
public:
    enum class Type { True, False, And, Or, Not, Comparison };
    struct Expression {
        bool isKeyPath = false;
        KeyPath keyPath;
        Value constant;
    };

    // Parses the format with its arguments ("%@", "%K", "%d", ... each take the
    // next argument in order).
    static foundation::Result<std::shared_ptr<const Predicate>> withFormatArguments(std::string_view format,
                                                                                  std::vector<Value> arguments);
    template <class... Args>
    static foundation::Result<std::shared_ptr<const Predicate>> withFormat(std::string_view format,
                                                                         const Args&... args) {
        return withFormatArguments(format, std::vector<Value>{Value(args)...});
    }

    static std::shared_ptr<const Predicate> constant(bool value);
    static std::shared_ptr<const Predicate> comparison(Expression lhs, Operator op, Expression rhs,
                                                       TextOptions options = {});
    // "keyPath op value".
    static std::shared_ptr<const Predicate> comparison(std::string_view keyPath, Operator op, Value value,
                                                       TextOptions options = {});
    static std::shared_ptr<const Predicate> compound(Type type, std::vector<std::shared_ptr<const Predicate>> subpredicates);

    Type type() const { return type_; }
    const std::vector<std::shared_ptr<const Predicate>>& subpredicates() const { return subpredicates_; }
    const Expression& lhs() const { return lhs_; }
    const Expression& rhs() const { return rhs_; }
    Operator op() const { return op_; }
    TextOptions options() const { return options_; }

    bool evaluate(const KeyValueSource& source) const;
    // The predicate written back in the format language (arguments as literals).
    std::string format() const;
    std::string description() const { return format(); }
    // Every key path the predicate reads.
    void collectKeyPaths(std::vector<KeyPath>& out) const;

private:
    Type type_ = Type::True;
    std::vector<std::shared_ptr<const Predicate>> subpredicates_;
    Expression lhs_, rhs_;
    Operator op_ = Operator::Equal;
    TextOptions options_;
    // A constant string right-hand side that the operator folds, folded once
    // here rather than for every object evaluated (see foldsRightHandSide).
    std::shared_ptr<const std::string> foldedConstant_;
};

}  // namespace store
