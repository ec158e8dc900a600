#include "routing/DNSRouteResolver.h"

#include <algorithm>
#include <set>
#include <string_view>

#include "base/Utf8.h"

namespace vantu::DNSRouteResolver {

namespace {

constexpr uint16_t kTypeA = 1, kTypeCNAME = 5, kClassIN = 1;
// No real name is longer (RFC 1035); a longer one is built by a hostile
// message from pointers, and following it would only cost time.
constexpr size_t kMaxNameLength = 255;

std::string lowercased(std::string text) {
    for (char& c : text) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return text;
}

}  // namespace

std::optional<Name> readName(const uint8_t* packet, size_t size, size_t packetOffset, size_t offset, int depth) {
    if (depth >= kMaxNameDepth) return std::nullopt;
    std::string name;
    bool first = true;
    const auto append = [&](std::string_view label) {
        if (!first) name += '.';
        name.append(label);
        first = false;
    };
    size_t position = offset;
    while (position < size) {
        const uint8_t length = packet[position];
        if (length == 0) return Name{std::move(name), position + 1};
        if ((length & 0xc0) == 0xc0) {
            if (position + 1 >= size) return std::nullopt;
            const size_t target = packetOffset + (static_cast<size_t>(length & 0x3f) << 8 | packet[position + 1]);
            std::optional<Name> rest = readName(packet, size, packetOffset, target, depth + 1);
            if (!rest) return std::nullopt;
            if (!rest->name.empty()) append(rest->name);
            if (name.size() > kMaxNameLength) return std::nullopt;
            return Name{std::move(name), position + 2};
        }
        if (length > 63) return std::nullopt;
        if (position + 1 + length > size) return std::nullopt;
        const std::string_view label(reinterpret_cast<const char*>(packet + position + 1), length);
        if (!isValidUTF8(label)) return std::nullopt;
        append(label);
        if (name.size() > kMaxNameLength) return std::nullopt;
        position += 1 + length;
    }
    return std::nullopt;
}

std::vector<DirectRoute> directIPv4Routes(const Bytes& packet, const RoutingPolicy& policy) {
    const size_t n = packet.size();
    if (n < 28 || (packet[0] >> 4) != 4) return {};
    const size_t h = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (h < 20 || n < h + 8 || packet[9] != 17) return {};
    if (readBE16(&packet[h]) != 53 && readBE16(&packet[h + 2]) != 53) return {};
    const size_t d = h + 8;
    if (n < d + 12) return {};
    if (!(readBE16(&packet[d + 2]) & 0x8000)) return {};  // a query, not an answer

    const uint8_t* bytes = packet.data();
    const size_t questions = readBE16(&packet[d + 4]);
    const size_t answers = readBE16(&packet[d + 6]);

    std::vector<std::string> questionNames;
    std::set<std::string> matched;
    size_t offset = d + 12;
    for (size_t i = 0; i < questions; ++i) {
        std::optional<Name> name = readName(bytes, n, d, offset);
        if (!name) return {};
        if (policy.matchesDirectDomain(name->name)) matched.insert(lowercased(name->name));
        questionNames.push_back(std::move(name->name));
        offset = name->nextOffset + 4;  // type and class
        if (offset > n) return {};
    }

    std::vector<DirectRoute> routes;
    for (size_t i = 0; i < answers; ++i) {
        std::optional<Name> name = readName(bytes, n, d, offset);
        if (!name) return routes;
        offset = name->nextOffset;
        if (n - offset < 10) return routes;
        const uint16_t type = readBE16(&packet[offset]);
        const uint16_t klass = readBE16(&packet[offset + 2]);
        const size_t rdLength = readBE16(&packet[offset + 8]);
        offset += 10;
        if (n - offset < rdLength) return routes;

        std::string owner = name->name.empty() ? (questionNames.empty() ? std::string() : questionNames.front())
                                               : std::move(name->name);
        owner = lowercased(std::move(owner));
        if (policy.matchesDirectDomain(owner)) matched.insert(owner);
        const bool ownerMatched = matched.count(owner) > 0;

        if (type == kTypeCNAME && klass == kClassIN && ownerMatched) {
            // A name in RDATA may point anywhere in the message, so it is
            // read against the whole packet, not just the record.
            if (std::optional<Name> target = readName(bytes, n, d, offset)) matched.insert(lowercased(target->name));
        }
        if (type == kTypeA && klass == kClassIN && rdLength == 4 && ownerMatched) {
            const uint8_t* a = bytes + offset;
            routes.push_back(DirectRoute{owner, std::to_string(a[0]) + "." + std::to_string(a[1]) + "." +
                                                    std::to_string(a[2]) + "." + std::to_string(a[3])});
        }
        offset += rdLength;
    }
    std::sort(routes.begin(), routes.end());
    routes.erase(std::unique(routes.begin(), routes.end()), routes.end());
    return routes;
}

}  // namespace vantu::DNSRouteResolver
