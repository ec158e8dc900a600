// The learned direct routes: their key form (every learned address widens
// to its /24), and the per-server cache in the defaults store that lets the
// next tunnel session start with what this one learned.

#include <algorithm>
#include <chrono>
#include <map>
#include <string>
#include <utility>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "packetpath/routes/IPv4Routes.h"

namespace vantu {

namespace {

double secondsSince1970(Instant instant) {
    return std::chrono::duration<double>(instant.time_since_epoch()).count();
}

// Drops expired entries, re-keys the rest (two routes of one network keep
// the newer time) and keeps the newest ones up to the cap.
std::map<std::string, double> prunedCache(const std::map<std::string, double>& stored, double now) {
    std::map<std::string, double> byKey;
    for (const auto& [route, savedAt] : stored) {
        // Entries dated in the future count as fresh.
        if (now - savedAt > LearnedRoutes::kDynamicDirectRouteCacheTTL) continue;
        const std::optional<std::string> key = PacketTunnelProvider::dynamicDirectRouteKey(route);
        if (!key) continue;
        const auto [it, added] = byKey.emplace(*key, savedAt);
        if (!added) it->second = std::max(it->second, savedAt);
    }
    std::vector<std::pair<std::string, double>> entries(byKey.begin(), byKey.end());
    std::stable_sort(entries.begin(), entries.end(), [](const auto& a, const auto& b) { return a.second > b.second; });
    if (entries.size() > static_cast<size_t>(LearnedRoutes::kMaxDynamicDirectRoutes)) {
        entries.resize(LearnedRoutes::kMaxDynamicDirectRoutes);
    }
    return {entries.begin(), entries.end()};
}

}  // namespace

std::optional<std::string> PacketTunnelProvider::dynamicDirectRouteKey(const std::string& route) {
    const std::optional<ParsedIPv4Route> parsed = parseIPv4Route(route);
    if (!parsed || !isGlobalIPv4(parsed->addressString)) return std::nullopt;
    const int prefix = std::min(parsed->prefix, 24);
    const uint32_t mask = prefix == 0 ? 0 : ~uint32_t{0} << (32 - prefix);
    const std::optional<std::string> network = ipv4String(parsed->address & mask);
    if (!network) return std::nullopt;
    return *network + "/" + std::to_string(prefix);
}

std::set<std::string> PacketTunnelProvider::loadCachedDynamicDirectRoutes(const std::string& cacheKey) {
    const double current = secondsSince1970(now());
    const std::map<std::string, double> kept = prunedCache(defaults.dictionary(cacheKey).value_or(
                                                               std::map<std::string, double>{}),
                                                           current);
    // Pruned on every load, so a cache that is never added to still ages out.
    defaults.setDictionary(cacheKey, kept);
    log("loaded " + std::to_string(kept.size()) + " cached DNS learned direct route(s)");
    std::set<std::string> routes;
    for (const auto& entry : kept) routes.insert(entry.first);
    return routes;
}

void PacketTunnelProvider::persistDynamicDirectRoutes() {
    if (learnedRoutes.cacheKey.empty()) return;
    const double current = secondsSince1970(now());
    std::map<std::string, double> stored =
        defaults.dictionary(learnedRoutes.cacheKey).value_or(std::map<std::string, double>{});
    // Every route of the live set is stamped, so whatever this session uses
    // stays cached for another full period.
    for (const std::string& route : learnedRoutes.routes) {
        if (const std::optional<std::string> key = dynamicDirectRouteKey(route)) stored[*key] = current;
    }
    const std::map<std::string, double> kept = prunedCache(stored, current);
    defaults.setDictionary(learnedRoutes.cacheKey, kept);
    log("persisted " + std::to_string(kept.size()) + " DNS learned direct route(s)");
}

void PacketTunnelProvider::applyDynamicDirectRoutesIfNeeded(bool /*waitForApply*/,
                                                            const std::function<void()>& completion) {
    // Learned routes serve the direct core and the cache only; nothing is
    // installed in the system's routing table, so there is nothing to wait
    // for whether or not the caller would.
    completion();
}

}  // namespace vantu
