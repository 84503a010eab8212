#pragma once
// Parses the predicate format language into a Predicate (see Predicate.h for the
// forms). Used through Predicate::withFormat. One parse per instance; any thread.

#include <memory>
#include <string_view>
#include <vector>

#include "platform/foundation/Result.h"
#include "platform/store/Predicate.h"

namespace store {

class PredicateParser {
public:
    PredicateParser(std::string_view format, std::vector<Value> arguments);
    foundation::Result<std::shared_ptr<const Predicate>> parse();

private:
    struct Token {
        enum class Kind { End, Identifier, String, Number, Argument, Operator, LParen, RParen, LBrace, RBrace, Comma, Options };
        Kind kind = Kind::End;
        std::string text;  // identifier, string contents, operator, argument directive, options letters
        Value number;
    };

    bool tokenize(std::string& error);
    const Token& peek() const { return tokens_[pos_]; }
    Token take() { return tokens_[pos_ < tokens_.size() - 1 ? pos_++ : pos_]; }
    bool isKeyword(const Token& t, std::string_view word) const;

    std::shared_ptr<const Predicate> parseOr();
    std::shared_ptr<const Predicate> parseAnd();
    std::shared_ptr<const Predicate> parseNot();
    std::shared_ptr<const Predicate> parsePrimary();
    bool parseExpression(Predicate::Expression& out);
    bool parseOperator(Operator& op, bool& negate);
    void fail(const std::string& message);
    Value nextArgument();

    std::string_view format_;
    std::vector<Value> arguments_;
    size_t nextArgument_ = 0;
    std::vector<Token> tokens_;
    size_t pos_ = 0;
    std::string error_;
};

}  // namespace store
