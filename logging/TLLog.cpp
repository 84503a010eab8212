#include "TLLog.h"

#include <string_view>

std::string TLCompactFunctionName(const char* prettyFunction) {
    if (!prettyFunction) return {};
    std::string_view s(prettyFunction);
    // Cut the parameter list: the first "(" at template depth 0.
    int depth = 0;
    size_t paren = s.size();
    for (size_t i = 0; i < s.size(); ++i) {
        if (s[i] == '<') ++depth;
        else if (s[i] == '>') --depth;
        else if (s[i] == '(' && depth == 0) {
            // "operator()" keeps its own parentheses.
            if (i >= 8 && s.substr(i - 8, 8) == "operator" && i + 1 < s.size() && s[i + 1] == ')') {
                ++i;
                continue;
            }
            paren = i;
            break;
        }
    }
    std::string_view head = s.substr(0, paren);
    // Cut the return type: the last blank at template depth 0.
    depth = 0;
    size_t start = 0;
    for (size_t i = 0; i < head.size(); ++i) {
        if (head[i] == '<') ++depth;
        else if (head[i] == '>') --depth;
        else if (head[i] == ' ' && depth == 0) start = i + 1;
    }
    return std::string(head.substr(start));
}
