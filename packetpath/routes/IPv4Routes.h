#pragma once

#include <cstdint>
#include <optional>
#include <set>
#include <string>

namespace vantu {

struct ParsedIPv4Route {
    uint32_t address = 0;  // first dotted number in the most significant byte
    std::string addressString;
    int prefix = 32;
};

std::optional<ParsedIPv4Route> parseIPv4Route(const std::string& text);
std::optional<std::string> ipv4String(uint32_t address);
bool isGlobalIPv4(const std::string& address);
std::optional<std::string> normalizedDirectRoute(const std::string& route);
bool routeSet(const std::set<std::string>& routes, const std::string& address);

}  // namespace vantu
