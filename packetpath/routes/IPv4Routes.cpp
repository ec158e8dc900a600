#include "packetpath/routes/IPv4Routes.h"

#include <arpa/inet.h>

#include <string_view>
#include <vector>

namespace vantu {

namespace {

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string_view trim(std::string_view text) {
    size_t begin = 0;
    size_t end = text.size();
    while (begin < end && isBlank(text[begin])) ++begin;
    while (end > begin && isBlank(text[end - 1])) --end;
    return text.substr(begin, end - begin);
}

// A decimal integer with an optional sign; nullopt for anything else and for
// values far outside any range the callers accept.
std::optional<long> parseDecimal(std::string_view text) {
    size_t i = 0;
    bool negative = false;
    if (!text.empty() && (text[0] == '+' || text[0] == '-')) {
        negative = text[0] == '-';
        i = 1;
    }
    if (i == text.size()) return std::nullopt;
    long value = 0;
    for (; i < text.size(); ++i) {
        const char c = text[i];
        if (c < '0' || c > '9') return std::nullopt;
        value = value * 10 + (c - '0');
        if (value > 100000) return std::nullopt;
    }
    return negative ? -value : value;
}

uint32_t prefixMask(int prefix) { return prefix == 0 ? 0u : ~uint32_t{0} << (32 - prefix); }

}  // namespace

std::optional<ParsedIPv4Route> parseIPv4Route(const std::string& text) {
    const std::string_view trimmed = trim(text);
    if (trimmed.empty()) return std::nullopt;

    // One split at "/", with leading slashes skipped and an empty remainder
    // dropped: "1.2.3.4/" is a host route, "1.2.3.4/8/9" keeps "8/9" as the
    // prefix text and fails below.
    std::vector<std::string_view> pieces;
    const size_t start = trimmed.find_first_not_of('/');
    if (start != std::string_view::npos) {
        const size_t slash = trimmed.find('/', start);
        if (slash == std::string_view::npos) {
            pieces.push_back(trimmed.substr(start));
        } else {
            pieces.push_back(trimmed.substr(start, slash - start));
            if (slash + 1 < trimmed.size()) pieces.push_back(trimmed.substr(slash + 1));
        }
    }
    if (pieces.empty()) return std::nullopt;

    int prefix = 32;
    if (pieces.size() == 2) {
        const auto parsed = parseDecimal(pieces[1]);
        prefix = parsed ? static_cast<int>(*parsed) : -1;
    }
    if (prefix < 0 || prefix > 32) return std::nullopt;

    const std::string addressString(pieces[0]);
    in_addr binary{};
    if (inet_pton(AF_INET, addressString.c_str(), &binary) != 1) return std::nullopt;
    return ParsedIPv4Route{ntohl(binary.s_addr), addressString, prefix};
}

std::optional<std::string> ipv4String(uint32_t address) {
    in_addr binary{};
    binary.s_addr = htonl(address);
    char buffer[16];
    if (inet_ntop(AF_INET, &binary, buffer, sizeof(buffer)) == nullptr) return std::nullopt;
    return std::string(buffer);
}

bool isGlobalIPv4(const std::string& address) {
    // Lenient on purpose: pieces that are not numbers are left out rather than
    // rejecting the text, and only the count of numbers decides.
    std::vector<long> numbers;
    std::string_view rest(address);
    while (!rest.empty()) {
        const size_t dot = rest.find('.');
        const std::string_view piece = rest.substr(0, dot);
        if (!piece.empty()) {
            const auto value = parseDecimal(piece);
            if (value && *value >= 0 && *value <= 255) numbers.push_back(*value);
        }
        if (dot == std::string_view::npos) break;
        rest.remove_prefix(dot + 1);
    }
    if (numbers.size() != 4) return false;

    const long a = numbers[0];
    const long b = numbers[1];
    if (a == 0 || a == 10 || a == 127 || a >= 224) return false;
    if (a == 100 && b >= 64 && b <= 127) return false;
    if (a == 169 && b == 254) return false;
    if (a == 172 && b >= 16 && b <= 31) return false;
    if (a == 192 && b == 168) return false;
    return true;
}

std::optional<std::string> normalizedDirectRoute(const std::string& route) {
    const auto parsed = parseIPv4Route(route);
    if (!parsed) return std::nullopt;
    if (!isGlobalIPv4(parsed->addressString)) return std::nullopt;
    const auto network = ipv4String(parsed->address & prefixMask(parsed->prefix));
    if (!network) return std::nullopt;
    if (parsed->prefix == 32) return network;
    return *network + "/" + std::to_string(parsed->prefix);
}

bool routeSet(const std::set<std::string>& routes, const std::string& address) {
    const auto target = parseIPv4Route(address);
    if (!target) return false;
    for (const auto& text : routes) {
        const auto route = parseIPv4Route(text);
        if (!route) continue;
        const uint32_t mask = prefixMask(route->prefix);
        if ((target->address & mask) == (route->address & mask)) return true;
    }
    return false;
}

}  // namespace vantu
