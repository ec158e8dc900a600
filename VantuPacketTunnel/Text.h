#pragma once

#include <string>
#include <vector>

namespace vantu {

// Booleans appear in events, log lines and the report as "true" or "false".
inline const char* boolText(bool value) { return value ? "true" : "false"; }

inline std::string joined(const std::vector<std::string>& items, const std::string& separator) {
    std::string out;
    for (size_t i = 0; i < items.size(); ++i) {
        if (i > 0) out += separator;
        out += items[i];
    }
    return out;
}

}  // namespace vantu
