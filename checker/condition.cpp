// Reading a condition's property names (condition.h). A lexical scan: the checker
// needs the names, not the value, and a text it cannot scan is reported as such
// rather than guessed at.
#include "checker/condition.h"

#include <algorithm>
#include <cctype>

namespace {

bool IsNameStart(char c) {
    return std::isalpha(static_cast<unsigned char>(c)) != 0 || c == '_';
}

bool IsNamePart(char c) {
    return IsNameStart(c) || std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '.';
}

bool IsKeyword(std::string word) {
    std::transform(word.begin(), word.end(), word.begin(),
                   [](unsigned char c) { return static_cast<char>(std::toupper(c)); });
    return word == "NOT" || word == "AND" || word == "OR" || word == "XOR" || word == "EQV" ||
           word == "IMP";
}

}  // namespace

ConditionReading ReadCondition(const std::string& condition) {
    ConditionReading reading;
    size_t i = 0;
    size_t depth = 0;
    const size_t n = condition.size();
    while (i < n) {
        const char c = condition[i];
        if (std::isspace(static_cast<unsigned char>(c)) != 0) {
            ++i;
            continue;
        }
        reading.empty = false;
        if (c == '"') {
            const size_t close = condition.find('"', i + 1);
            if (close == std::string::npos) {
                reading.readable = false;
                return reading;
            }
            i = close + 1;
        } else if (std::isdigit(static_cast<unsigned char>(c)) != 0 || c == '-') {
            ++i;
            while (i < n && std::isdigit(static_cast<unsigned char>(condition[i])) != 0) {
                ++i;
            }
        } else if (c == '%' || c == '$' || c == '?' || c == '&' || c == '!') {
            // An environment, component or feature reference: its name is no property.
            ++i;
            if (i >= n || !IsNameStart(condition[i])) {
                reading.readable = false;
                return reading;
            }
            while (i < n && IsNamePart(condition[i])) {
                ++i;
            }
        } else if (IsNameStart(c)) {
            const size_t start = i;
            while (i < n && IsNamePart(condition[i])) {
                ++i;
            }
            const std::string name = condition.substr(start, i - start);
            if (!IsKeyword(name) && std::find(reading.properties.begin(), reading.properties.end(),
                                              name) == reading.properties.end()) {
                reading.properties.push_back(name);
            }
        } else if (c == '(') {
            ++depth;
            ++i;
        } else if (c == ')') {
            if (depth == 0) {
                reading.readable = false;
                return reading;
            }
            --depth;
            ++i;
        } else if (c == '=' || c == '<' || c == '>' || c == '~') {
            ++i;
        } else {
            reading.readable = false;
            return reading;
        }
    }
    reading.readable = depth == 0;
    return reading;
}
