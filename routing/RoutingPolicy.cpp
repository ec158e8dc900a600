#include "routing/RoutingPolicy.h"

#include <atomic>
#include <cmath>
#include <limits>
#include <string_view>
#include <unordered_set>

#include <re2/re2.h>

#include "base/VantuError.h"

namespace vantu {

using nlohmann::json;

namespace {

// ---- Strict decoding -------------------------------------------------------

[[noreturn]] void decodeFailure(const std::string& path, const std::string& problem) {
    throw VantuError("routing policy: \"" + path + "\" " + problem);
}

// The member's value, or nullptr when it is absent or JSON null.
const json* member(const json& object, const char* key) {
    auto it = object.find(key);
    if (it == object.end() || it->is_null()) return nullptr;
    return &*it;
}

std::string decodeString(const json& value, const std::string& path) {
    if (!value.is_string()) decodeFailure(path, "must be a string");
    return value.get<std::string>();
}

std::optional<std::string> optionalString(const json& object, const char* key, const std::string& path) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    return decodeString(*value, path);
}

std::optional<bool> optionalBool(const json& object, const char* key, const std::string& path) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_boolean()) decodeFailure(path, "must be a boolean");
    return value->get<bool>();
}

std::optional<int64_t> optionalInt64(const json& object, const char* key, const std::string& path) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (value->is_number_integer() && !value->is_number_unsigned()) return value->get<int64_t>();
    if (value->is_number_unsigned()) {
        const uint64_t raw = value->get<uint64_t>();
        if (raw > static_cast<uint64_t>(std::numeric_limits<int64_t>::max())) {
            decodeFailure(path, "does not fit a 64-bit integer");
        }
        return static_cast<int64_t>(raw);
    }
    if (value->is_number_float()) {
        // 3.0 is accepted as 3, like decoders that read numbers exactly; 3.5 is not.
        const double raw = value->get<double>();
        if (std::trunc(raw) != raw || raw < -9.2233720368547758e18 || raw >= 9.2233720368547758e18) {
            decodeFailure(path, "must be an integer");
        }
        return static_cast<int64_t>(raw);
    }
    decodeFailure(path, "must be an integer");
}

std::optional<std::vector<std::string>> optionalStringList(const json& object, const char* key,
                                                           const std::string& path) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_array()) decodeFailure(path, "must be an array of strings");
    std::vector<std::string> out;
    out.reserve(value->size());
    for (size_t i = 0; i < value->size(); ++i) {
        out.push_back(decodeString((*value)[i], path + "[" + std::to_string(i) + "]"));
    }
    return out;
}

const json& requireObject(const json& value, const std::string& path) {
    if (!value.is_object()) decodeFailure(path, "must be an object");
    return value;
}

std::string requiredString(const json& object, const char* key, const std::string& path) {
    const json* value = member(object, key);
    if (!value) decodeFailure(path, "is missing");
    return decodeString(*value, path);
}

RouteOutbound decodeOutbound(const json& value, const std::string& path) {
    const json& object = requireObject(value, path);
    RouteOutbound outbound;
    outbound.tag = requiredString(object, "tag", path + ".tag");
    outbound.type = optionalString(object, "type", path + ".type");
    return outbound;
}

RouteRule decodeRule(const json& value, const std::string& path) {
    const json& object = requireObject(value, path);
    RouteRule rule;
    rule.type = optionalString(object, "type", path + ".type");
    rule.domain = optionalStringList(object, "domain", path + ".domain");
    rule.ip = optionalStringList(object, "ip", path + ".ip");
    rule.network = optionalString(object, "network", path + ".network");
    rule.outboundTag = requiredString(object, "outboundTag", path + ".outboundTag");
    return rule;
}

template <typename T, typename Decode>
std::optional<std::vector<T>> optionalObjectList(const json& object, const char* key, Decode decode) {
    const json* value = member(object, key);
    if (!value) return std::nullopt;
    if (!value->is_array()) decodeFailure(key, "must be an array of objects");
    std::vector<T> out;
    out.reserve(value->size());
    for (size_t i = 0; i < value->size(); ++i) {
        out.push_back(decode((*value)[i], std::string(key) + "[" + std::to_string(i) + "]"));
    }
    return out;
}

// ---- Matching helpers ----------------------------------------------------

bool isBlank(char c) { return c == ' ' || c == '\t' || c == '\r' || c == '\n' || c == '\v' || c == '\f'; }

std::string asciiLower(std::string_view text) {
    std::string out(text);
    for (char& c : out) {
        if (c >= 'A' && c <= 'Z') c = static_cast<char>(c - 'A' + 'a');
    }
    return out;
}

// Entries are trimmed of blanks, then lower-cased; dots at their ends stay.
std::string normalizeEntry(std::string_view entry) {
    size_t begin = 0;
    size_t end = entry.size();
    while (begin < end && isBlank(entry[begin])) ++begin;
    while (end > begin && isBlank(entry[end - 1])) --end;
    return asciiLower(entry.substr(begin, end - begin));
}

// Names lose every leading and trailing dot, then are lower-cased.
std::string normalizeName(std::string_view name) {
    size_t begin = 0;
    size_t end = name.size();
    while (begin < end && name[begin] == '.') ++begin;
    while (end > begin && name[end - 1] == '.') --end;
    return asciiLower(name.substr(begin, end - begin));
}

bool startsWith(std::string_view text, std::string_view prefix) {
    return text.size() >= prefix.size() && text.compare(0, prefix.size(), prefix) == 0;
}

struct StringHash {
    using is_transparent = void;
    size_t operator()(std::string_view text) const noexcept { return std::hash<std::string_view>{}(text); }
};

}  // namespace

// Every non-pattern entry form reduces to "the name equals X" and/or "the
// name ends with Y", where Y always begins with a dot. Since the answer is
// true as soon as any entry matches, the order of entries does not matter and
// the forms can be folded into two hash sets: one lookup for the whole name
// and one per dot in it. Patterns that compile are kept in document order.
struct RoutingPolicy::Matcher {
    std::unordered_set<std::string, StringHash, std::equal_to<>> exact;
    std::unordered_set<std::string, StringHash, std::equal_to<>> dottedSuffixes;
    std::vector<std::unique_ptr<RE2>> patterns;
    std::vector<std::string> directRoutes;

    explicit Matcher(const RoutingPolicy& policy) {
        forEachDirectEntry(policy, &RoutingPolicy::direct_domains, &RouteRule::domain,
                           [this](const std::string& entry) { addDomainEntry(entry); });

        std::unordered_set<std::string> seen;
        forEachDirectEntry(policy, &RoutingPolicy::direct_ips, &RouteRule::ip, [&](const std::string& entry) {
            std::string route = normalizeEntry(entry);
            if (route.empty() || !seen.insert(route).second) return;
            directRoutes.push_back(std::move(route));
        });
    }

    // The working list: the top-level list, then the matching list of each
    // rule whose outbound tag is exactly "direct", in document order.
    template <typename Visit>
    static void forEachDirectEntry(const RoutingPolicy& policy,
                                   const std::optional<std::vector<std::string>> RoutingPolicy::*topLevel,
                                   const std::optional<std::vector<std::string>> RouteRule::*ruleList,
                                   Visit visit) {
        if (const auto& list = policy.*topLevel) {
            for (const auto& entry : *list) visit(entry);
        }
        if (!policy.rules) return;
        for (const auto& rule : *policy.rules) {
            if (rule.outboundTag != "direct") continue;
            if (const auto& list = rule.*ruleList) {
                for (const auto& entry : *list) visit(entry);
            }
        }
    }

    void addDomainEntry(const std::string& entry) {
        const std::string p = normalizeEntry(entry);
        if (p.empty()) return;
        const std::string_view view(p);
        if (startsWith(view, ".")) {
            exact.emplace(view.substr(1));
            dottedSuffixes.emplace(p);
        } else if (startsWith(view, "*.")) {
            dottedSuffixes.emplace(p.substr(1));
        } else if (startsWith(view, "domain:") || startsWith(view, "suffix:")) {
            const std::string s = p.substr(7);
            exact.emplace(s);
            dottedSuffixes.emplace("." + s);
        } else if (startsWith(view, "regexp:")) {
            // The pattern was lower-cased with the entry; that is deliberate
            // (an upper-case escape such as \D turns into \d).
            RE2::Options options;
            options.set_log_errors(false);
            auto pattern = std::make_unique<RE2>(p.substr(7), options);
            if (pattern->ok()) patterns.push_back(std::move(pattern));
        } else {
            exact.emplace(p);
            dottedSuffixes.emplace("." + p);
        }
    }

    bool matches(const std::string& d) const {
        if (exact.find(std::string_view(d)) != exact.end()) return true;
        if (!dottedSuffixes.empty()) {
            for (size_t dot = d.find('.'); dot != std::string::npos; dot = d.find('.', dot + 1)) {
                if (dottedSuffixes.find(std::string_view(d).substr(dot)) != dottedSuffixes.end()) return true;
            }
        }
        for (const auto& pattern : patterns) {
            if (RE2::PartialMatch(d, *pattern)) return true;
        }
        return false;
    }
};

RoutingPolicy RoutingPolicy::decode(const json& object) {
    if (!object.is_object()) throw VantuError("routing policy must be a JSON object");
    RoutingPolicy policy;
    policy.version = optionalInt64(object, "version", "version");
    policy.domainStrategy = optionalString(object, "domainStrategy", "domainStrategy");
    policy.server_routing_enabled = optionalBool(object, "server_routing_enabled", "server_routing_enabled");
    policy.client_route_learning_enabled =
        optionalBool(object, "client_route_learning_enabled", "client_route_learning_enabled");
    policy.dns_servers = optionalStringList(object, "dns_servers", "dns_servers");
    policy.direct_domains = optionalStringList(object, "direct_domains", "direct_domains");
    policy.proxy_domains = optionalStringList(object, "proxy_domains", "proxy_domains");
    policy.direct_ips = optionalStringList(object, "direct_ips", "direct_ips");
    policy.proxy_ips = optionalStringList(object, "proxy_ips", "proxy_ips");
    policy.outbounds = optionalObjectList<RouteOutbound>(object, "outbounds", decodeOutbound);
    policy.rules = optionalObjectList<RouteRule>(object, "rules", decodeRule);
    return policy;
}

const RoutingPolicy::Matcher& RoutingPolicy::matcher() const {
    // Copies share the matcher and a session's policy can be asked from more
    // than one thread, so the lazy slot is read and filled atomically. Two
    // threads racing on the first use both build one; the loser's is dropped.
    auto current = std::atomic_load_explicit(&matcher_, std::memory_order_acquire);
    if (!current) {
        auto built = std::make_shared<const Matcher>(*this);
        std::shared_ptr<const Matcher> expected;
        if (std::atomic_compare_exchange_strong_explicit(&matcher_, &expected, built, std::memory_order_acq_rel,
                                                         std::memory_order_acquire)) {
            current = std::move(built);
        } else {
            current = std::move(expected);
        }
    }
    // The matcher is owned by matcher_ (and by copies), which outlives this call.
    return *current;
}

bool RoutingPolicy::matchesDirectDomain(const std::string& name) const {
    const std::string d = normalizeName(name);
    if (d.empty()) return false;
    return matcher().matches(d);
}

std::vector<std::string> RoutingPolicy::directIPRoutes() const { return matcher().directRoutes; }

bool RoutingPolicy::operator==(const RoutingPolicy& other) const {
    return version == other.version && domainStrategy == other.domainStrategy &&
           server_routing_enabled == other.server_routing_enabled &&
           client_route_learning_enabled == other.client_route_learning_enabled &&
           dns_servers == other.dns_servers && direct_domains == other.direct_domains &&
           proxy_domains == other.proxy_domains && direct_ips == other.direct_ips && proxy_ips == other.proxy_ips &&
           outbounds == other.outbounds && rules == other.rules;
}

}  // namespace vantu
