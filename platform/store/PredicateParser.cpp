#include "platform/store/PredicateParser.h"

#include <cctype>
#include <cstdlib>

#include "platform/store/StoreError.h"

namespace store {

namespace {

bool equalsNoCase(std::string_view a, std::string_view b) {
    if (a.size() != b.size()) return false;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return false;
    return true;
}

bool isIdentStart(char c) { return std::isalpha(static_cast<unsigned char>(c)) || c == '_' || c == '#' || c == '@'; }
bool isIdentChar(char c) { return std::isalnum(static_cast<unsigned char>(c)) || c == '_' || c == '.' || c == '@'; }

constexpr std::string_view kReserved[] = {"AND", "OR", "NOT", "IN", "CONTAINS", "BEGINSWITH", "ENDSWITH", "LIKE",
                                          "MATCHES", "NULL", "NIL", "YES", "NO", "TRUE", "FALSE", "TRUEPREDICATE",
                                          "FALSEPREDICATE", "ANY", "ALL", "SOME", "NONE", "BETWEEN"};

KeyPath splitKeyPath(std::string_view text) {
    KeyPath path;
    size_t start = 0;
    while (start <= text.size()) {
        size_t dot = text.find('.', start);
        if (dot == std::string_view::npos) dot = text.size();
        path.emplace_back(text.substr(start, dot - start));
        start = dot + 1;
    }
    return path;
}

}  // namespace

PredicateParser::PredicateParser(std::string_view format, std::vector<Value> arguments)
    : format_(format), arguments_(std::move(arguments)) {}

bool PredicateParser::isKeyword(const Token& t, std::string_view word) const {
    return t.kind == Token::Kind::Identifier && equalsNoCase(t.text, word);
}

void PredicateParser::fail(const std::string& message) {
    if (error_.empty()) error_ = message;
}

Value PredicateParser::nextArgument() {
    if (nextArgument_ >= arguments_.size()) {
        fail("Too few arguments for the format");
        return {};
    }
    return arguments_[nextArgument_++];
}

bool PredicateParser::tokenize(std::string& error) {
    const std::string_view s = format_;
    size_t i = 0;
    while (i < s.size()) {
        char c = s[i];
        if (std::isspace(static_cast<unsigned char>(c))) {
            ++i;
            continue;
        }
        Token t;
        if (c == '(' || c == ')' || c == '{' || c == '}' || c == ',') {
            t.kind = c == '(' ? Token::Kind::LParen
                   : c == ')' ? Token::Kind::RParen
                   : c == '{' ? Token::Kind::LBrace
                   : c == '}' ? Token::Kind::RBrace
                              : Token::Kind::Comma;
            ++i;
        } else if (c == '[') {
            size_t end = s.find(']', i);
            if (end == std::string_view::npos) {
                error = "Unclosed [ in the format";
                return false;
            }
            t.kind = Token::Kind::Options;
            t.text = std::string(s.substr(i + 1, end - i - 1));
            i = end + 1;
        } else if (c == '\'' || c == '"') {
            char quote = c;
            ++i;
            std::string text;
            bool closed = false;
            while (i < s.size()) {
                char d = s[i++];
                if (d == quote) {
                    closed = true;
                    break;
                }
                if (d == '\\' && i < s.size()) {
                    char e = s[i++];
                    switch (e) {
                        case 'n': text += '\n'; break;
                        case 't': text += '\t'; break;
                        case 'r': text += '\r'; break;
                        case '0': text += '\0'; break;
                        default: text += e; break;
                    }
                } else {
                    text += d;
                }
            }
            if (!closed) {
                error = "Unterminated string in the format";
                return false;
            }
            t.kind = Token::Kind::String;
            t.text = std::move(text);
        } else if (c == '%') {
            size_t j = i + 1;
            while (j < s.size() && (s[j] == 'l' || s[j] == 'h' || s[j] == 'q')) ++j;
            if (j >= s.size()) {
                error = "Dangling % in the format";
                return false;
            }
            t.kind = Token::Kind::Argument;
            t.text = std::string(1, s[j]);
            if (std::string_view("@KdiuxXfgeso").find(s[j]) == std::string_view::npos) {
                error = "Unsupported format directive %" + t.text;
                return false;
            }
            i = j + 1;
        } else if (std::isdigit(static_cast<unsigned char>(c)) ||
                   (c == '-' && i + 1 < s.size() && std::isdigit(static_cast<unsigned char>(s[i + 1])))) {
            size_t j = i + 1;
            bool isDouble = false;
            while (j < s.size() && (std::isdigit(static_cast<unsigned char>(s[j])) || s[j] == '.' || s[j] == 'e' ||
                                    s[j] == 'E')) {
                if (s[j] == '.' || s[j] == 'e' || s[j] == 'E') isDouble = true;
                ++j;
            }
            std::string text(s.substr(i, j - i));
            t.kind = Token::Kind::Number;
            t.number = isDouble ? Value(std::strtod(text.c_str(), nullptr)) : Value(int64_t(std::strtoll(text.c_str(), nullptr, 10)));
            i = j;
        } else if (isIdentStart(c)) {
            size_t j = i + 1;
            while (j < s.size() && isIdentChar(s[j])) ++j;
            t.kind = Token::Kind::Identifier;
            t.text = std::string(s.substr(i, j - i));
            i = j;
        } else {
            static constexpr std::string_view kOps[] = {"==", "!=", "<>", "<=", "=<", ">=", "=>", "&&", "||",
                                                        "=",  "<",  ">",  "!"};
            bool found = false;
            for (std::string_view op : kOps)
                if (s.substr(i, op.size()) == op) {
                    t.kind = Token::Kind::Operator;
                    t.text = std::string(op);
                    i += op.size();
                    found = true;
                    break;
                }
            if (!found) {
                error = std::string("Unexpected character '") + c + "' in the format";
                return false;
            }
        }
        tokens_.push_back(std::move(t));
    }
    tokens_.push_back(Token{});
    return true;
}

foundation::Result<std::shared_ptr<const Predicate>> PredicateParser::parse() {
    std::string error;
    if (!tokenize(error)) return makeError(ErrorCode::InvalidPredicate, error + ": " + std::string(format_));
    auto predicate = parseOr();
    if (error_.empty() && peek().kind != Token::Kind::End) fail("Unexpected text after the predicate");
    if (error_.empty() && nextArgument_ != arguments_.size()) fail("Too many arguments for the format");
    if (!error_.empty() || !predicate)
        return makeError(ErrorCode::InvalidPredicate,
                         (error_.empty() ? std::string("Cannot parse") : error_) + ": " + std::string(format_));
    return predicate;
}

std::shared_ptr<const Predicate> PredicateParser::parseOr() {
    auto first = parseAnd();
    if (!first) return nullptr;
    std::vector<std::shared_ptr<const Predicate>> parts{first};
    while (isKeyword(peek(), "OR") || (peek().kind == Token::Kind::Operator && peek().text == "||")) {
        take();
        auto next = parseAnd();
        if (!next) return nullptr;
        parts.push_back(next);
    }
    return parts.size() == 1 ? first : Predicate::compound(Predicate::Type::Or, std::move(parts));
}

std::shared_ptr<const Predicate> PredicateParser::parseAnd() {
    auto first = parseNot();
    if (!first) return nullptr;
    std::vector<std::shared_ptr<const Predicate>> parts{first};
    while (isKeyword(peek(), "AND") || (peek().kind == Token::Kind::Operator && peek().text == "&&")) {
        take();
        auto next = parseNot();
        if (!next) return nullptr;
        parts.push_back(next);
    }
    return parts.size() == 1 ? first : Predicate::compound(Predicate::Type::And, std::move(parts));
}

std::shared_ptr<const Predicate> PredicateParser::parseNot() {
    if (isKeyword(peek(), "NOT") || (peek().kind == Token::Kind::Operator && peek().text == "!")) {
        take();
        auto inner = parseNot();
        if (!inner) return nullptr;
        return Predicate::compound(Predicate::Type::Not, {inner});
    }
    return parsePrimary();
}

std::shared_ptr<const Predicate> PredicateParser::parsePrimary() {
    if (peek().kind == Token::Kind::LParen) {
        take();
        auto inner = parseOr();
        if (!inner) return nullptr;
        if (peek().kind != Token::Kind::RParen) {
            fail("Missing )");
            return nullptr;
        }
        take();
        return inner;
    }
    if (isKeyword(peek(), "TRUEPREDICATE")) {
        take();
        return Predicate::constant(true);
    }
    if (isKeyword(peek(), "FALSEPREDICATE")) {
        take();
        return Predicate::constant(false);
    }
    Predicate::Expression lhs, rhs;
    if (!parseExpression(lhs)) return nullptr;
    Operator op;
    bool negate = false;
    if (!parseOperator(op, negate)) return nullptr;
    TextOptions options;
    if (peek().kind == Token::Kind::Options) {
        for (char c : take().text) {
            if (c == 'c' || c == 'C') options.caseInsensitive = true;
            else if (c == 'd' || c == 'D') options.diacriticInsensitive = true;
            else if (c != 'n' && c != 'N' && c != 'l' && c != 'L') {
                fail(std::string("Unknown comparison option ") + c);
                return nullptr;
            }
        }
    }
    if (!parseExpression(rhs)) return nullptr;
    auto comparison = Predicate::comparison(std::move(lhs), op, std::move(rhs), options);
    return negate ? Predicate::compound(Predicate::Type::Not, {comparison}) : comparison;
}

bool PredicateParser::parseOperator(Operator& op, bool& negate) {
    Token t = take();
    if (t.kind == Token::Kind::Operator) {
        const std::string& o = t.text;
        if (o == "==" || o == "=") op = Operator::Equal;
        else if (o == "!=" || o == "<>") op = Operator::NotEqual;
        else if (o == "<") op = Operator::Less;
        else if (o == "<=" || o == "=<") op = Operator::LessEqual;
        else if (o == ">") op = Operator::Greater;
        else if (o == ">=" || o == "=>") op = Operator::GreaterEqual;
        else {
            fail("Unexpected operator " + o);
            return false;
        }
        return true;
    }
    if (t.kind == Token::Kind::Identifier) {
        if (equalsNoCase(t.text, "NOT") && !isKeyword(peek(), "NOT")) {
            negate = true;
            t = take();
        }
        static constexpr Operator kWords[] = {Operator::In,       Operator::Contains, Operator::BeginsWith,
                                              Operator::EndsWith, Operator::Like,     Operator::Matches};
        for (Operator o : kWords)
            if (t.kind == Token::Kind::Identifier && equalsNoCase(t.text, operatorText(o))) {
                op = o;
                return true;
            }
    }
    fail("Expected a comparison operator");
    return false;
}

bool PredicateParser::parseExpression(Predicate::Expression& out) {
    Token t = take();
    switch (t.kind) {
        case Token::Kind::String: out.constant = Value(t.text); return true;
        case Token::Kind::Number: out.constant = t.number; return true;
        case Token::Kind::Argument: {
            Value arg = nextArgument();
            if (t.text == "K") {
                if (arg.kind() != Value::Kind::String || arg.string().empty()) {
                    fail("%K needs a key name");
                    return false;
                }
                out.isKeyPath = true;
                out.keyPath = splitKeyPath(arg.string());
            } else {
                out.constant = std::move(arg);
            }
            return true;
        }
        case Token::Kind::LBrace: {
            std::vector<Value> elements;
            if (peek().kind == Token::Kind::RBrace) {
                take();
                out.constant = Value(std::move(elements));
                return true;
            }
            while (true) {
                Predicate::Expression element;
                if (!parseExpression(element)) return false;
                if (element.isKeyPath) {
                    fail("An array literal holds constants only");
                    return false;
                }
                elements.push_back(element.constant);
                Token sep = take();
                if (sep.kind == Token::Kind::RBrace) break;
                if (sep.kind != Token::Kind::Comma) {
                    fail("Expected , or } in an array literal");
                    return false;
                }
            }
            out.constant = Value(std::move(elements));
            return true;
        }
        case Token::Kind::Identifier: {
            if (equalsNoCase(t.text, "NULL") || equalsNoCase(t.text, "NIL")) {
                out.constant = Value();
                return true;
            }
            if (equalsNoCase(t.text, "YES") || equalsNoCase(t.text, "TRUE")) {
                out.constant = Value(true);
                return true;
            }
            if (equalsNoCase(t.text, "NO") || equalsNoCase(t.text, "FALSE")) {
                out.constant = Value(false);
                return true;
            }
            std::string text = t.text;
            if (!text.empty() && text[0] == '#') text.erase(0, 1);  // "#key" escapes a reserved word
            else
                for (std::string_view word : kReserved)
                    if (equalsNoCase(text, word)) {
                        fail("Reserved word " + text + " where a key was expected");
                        return false;
                    }
            KeyPath path = splitKeyPath(text);
            for (const auto& component : path)
                if (component.empty()) {
                    fail("Empty key in " + t.text);
                    return false;
                }
            out.isKeyPath = true;
            out.keyPath = std::move(path);
            return true;
        }
        default: fail("Expected a key or a value"); return false;
    }
}

}  // namespace store
