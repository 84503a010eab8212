#include "platform/store/Predicate.h"

#include "platform/store/PredicateParser.h"

namespace store {

namespace {

Predicate::Expression keyPathExpression(std::string_view keyPath) {
    Predicate::Expression e;
    e.isKeyPath = true;
    size_t start = 0;
    while (start <= keyPath.size()) {
        size_t dot = keyPath.find('.', start);
        if (dot == std::string_view::npos) dot = keyPath.size();
        e.keyPath.emplace_back(keyPath.substr(start, dot - start));
        start = dot + 1;
    }
    return e;
}

std::string joinKeyPath(const KeyPath& path) {
    std::string out;
    for (const auto& c : path) out += (out.empty() ? "" : ".") + c;
    return out;
}

std::string expressionText(const Predicate::Expression& e) {
    return e.isKeyPath ? joinKeyPath(e.keyPath) : e.constant.description();
}

// Comparisons written "value op key" are turned around so that the key comes
// first, which is the one shape the SQL translation needs to know.
bool flipped(Operator op, Operator& out) {
    switch (op) {
        case Operator::Equal:
        case Operator::NotEqual: out = op; return true;
        case Operator::Less: out = Operator::Greater; return true;
        case Operator::LessEqual: out = Operator::GreaterEqual; return true;
        case Operator::Greater: out = Operator::Less; return true;
        case Operator::GreaterEqual: out = Operator::LessEqual; return true;
        default: return false;
    }
}

}  // namespace

foundation::Result<std::shared_ptr<const Predicate>> Predicate::withFormatArguments(std::string_view format,
                                                                                  std::vector<Value> arguments) {
    return PredicateParser(format, std::move(arguments)).parse();
}

std::shared_ptr<const Predicate> Predicate::constant(bool value) {
    auto p = std::make_shared<Predicate>();
    p->type_ = value ? Type::True : Type::False;
    return p;
}

std::shared_ptr<const Predicate> Predicate::comparison(Expression lhs, Operator op, Expression rhs,
                                                       TextOptions options) {
    auto p = std::make_shared<Predicate>();
    p->type_ = Type::Comparison;
    Operator turned;
    if (!lhs.isKeyPath && rhs.isKeyPath && flipped(op, turned)) {
        std::swap(lhs, rhs);
        op = turned;
    }
    p->lhs_ = std::move(lhs);
    p->rhs_ = std::move(rhs);
    p->op_ = op;
    p->options_ = options;
    if (!p->rhs_.isKeyPath && p->rhs_.constant.kind() == Value::Kind::String && foldsRightHandSide(op, options))
        p->foldedConstant_ = std::make_shared<const std::string>(foldText(p->rhs_.constant.string(), options));
    return p;
}

std::shared_ptr<const Predicate> Predicate::comparison(std::string_view keyPath, Operator op, Value value,
                                                       TextOptions options) {
    Expression rhs;
    rhs.constant = std::move(value);
    return comparison(keyPathExpression(keyPath), op, std::move(rhs), options);
}

std::shared_ptr<const Predicate> Predicate::compound(Type type, std::vector<std::shared_ptr<const Predicate>> subpredicates) {
    auto p = std::make_shared<Predicate>();
    p->type_ = type;
    p->subpredicates_ = std::move(subpredicates);
    return p;
}

bool Predicate::evaluate(const KeyValueSource& source) const {
    switch (type_) {
        case Type::True: return true;
        case Type::False: return false;
        case Type::And:
            for (const auto& p : subpredicates_)
                if (!p->evaluate(source)) return false;
            return true;
        case Type::Or:
            for (const auto& p : subpredicates_)
                if (p->evaluate(source)) return true;
            return false;
        case Type::Not: return subpredicates_.empty() || !subpredicates_[0]->evaluate(source);
        case Type::Comparison: {
            Value l = lhs_.isKeyPath ? source.valueForKeyPath(lhs_.keyPath) : lhs_.constant;
            if (foldedConstant_) return compareFolded(op_, options_, l, *foldedConstant_);
            Value r = rhs_.isKeyPath ? source.valueForKeyPath(rhs_.keyPath) : rhs_.constant;
            return compareValues(op_, options_, l, r);
        }
    }
    return false;
}

std::string Predicate::format() const {
    switch (type_) {
        case Type::True: return "TRUEPREDICATE";
        case Type::False: return "FALSEPREDICATE";
        case Type::And:
        case Type::Or: {
            std::string out;
            for (const auto& p : subpredicates_) {
                if (!out.empty()) out += type_ == Type::And ? " AND " : " OR ";
                bool wrap = p->type_ == Type::And || p->type_ == Type::Or;
                out += wrap ? "(" + p->format() + ")" : p->format();
            }
            return out;
        }
        case Type::Not: return "NOT (" + (subpredicates_.empty() ? std::string() : subpredicates_[0]->format()) + ")";
        case Type::Comparison: {
            std::string options;
            if (options_.caseInsensitive || options_.diacriticInsensitive)
                options = std::string("[") + (options_.caseInsensitive ? "c" : "") +
                          (options_.diacriticInsensitive ? "d" : "") + "]";
            return expressionText(lhs_) + " " + operatorText(op_) + options + " " + expressionText(rhs_);
        }
    }
    return {};
}

void Predicate::collectKeyPaths(std::vector<KeyPath>& out) const {
    if (type_ == Type::Comparison) {
        if (lhs_.isKeyPath) out.push_back(lhs_.keyPath);
        if (rhs_.isKeyPath) out.push_back(rhs_.keyPath);
        return;
    }
    for (const auto& p : subpredicates_) p->collectKeyPaths(out);
}

}  // namespace store
