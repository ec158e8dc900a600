#pragma once

#include <string>
#include <vector>

namespace vantu {

// Booleans appear in events, log lines and the report as "true" or "false".
inline const char* boolText(bool value) { return value ? "true" : "false"; }

// The value of one hexadecimal digit, either case; -1 for anything else.
inline int hexDigitValue(char c) {
    if (c >= '0' && c <= '9') return c - '0';
    if (c >= 'a' && c <= 'f') return c - 'a' + 10;
    if (c >= 'A' && c <= 'F') return c - 'A' + 10;
    return -1;
}

inline std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += separator;
        out += items[i];
    }
    return out;
}

}  // namespace vantu
