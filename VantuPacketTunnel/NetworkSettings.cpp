// The tunnel network settings, built anew from the server address and the
// session on every call.

#include <arpa/inet.h>
#include <netinet/in.h>

#include <optional>
#include <string>
#include <vector>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

std::optional<IPv4Route> PacketTunnelProvider::serverExclusionRoute(const std::string& address) {
    // inet_addr on purpose: it accepts the classic forms (such as "127.1"),
    // and its error value doubles as the broadcast address, which can never
    // be a server anyway.
    if (inet_addr(address.c_str()) == INADDR_NONE) return std::nullopt;
    return IPv4Route{address, "255.255.255.255"};
}

TunnelNetworkSettings PacketTunnelProvider::networkSettings(const std::string& serverAddress,
                                                            const VantuSession& tunnelSession) {
    TunnelNetworkSettings settings;
    settings.tunnelRemoteAddress = serverAddress;
    settings.mtu = tunnelSession.mtu;
    settings.ipv4Addresses = {tunnelSession.tunnelIP};
    settings.ipv4SubnetMasks = {"255.255.255.255"};
    settings.includeDefaultRoute = true;

    // The data channel's own packets to the server must leave outside the
    // tunnel, or the tunnel would carry itself.
    std::vector<IPv4Route> excluded;
    if (std::optional<IPv4Route> route = serverExclusionRoute(serverAddress)) {
        excluded.push_back(*route);
        log("excluded server route " + route->destinationAddress + "/" + route->destinationSubnetMask);
    }
    // Learned direct routes stay out of the system's routing table; they act
    // only through the direct core.
    learnedRoutes.lastAppliedCount = 0;
    if (!excluded.empty()) settings.excludedRoutes = std::move(excluded);

    // Every DNS query is addressed to the tunnel's own address, where the
    // read loop picks it up.
    settings.dnsServers = {tunnelSession.tunnelIP};
    return settings;
}

}  // namespace vantu
