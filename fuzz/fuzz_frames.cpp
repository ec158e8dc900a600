// What arrives on the data channel, through the provider: units that must be
// opened (almost all of which fail authentication), and opened frames of any
// type and content, including packets from the tunnel that pass DNS route
// learning and direct-core traffic that the relays answer, and bytes of the
// stream transport, cut into length-prefixed units. The first byte chooses
// the road.

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <memory>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "platform/sim/SimPlatform.h"

using namespace vantu;

namespace {

struct World {
    sim::SimPlatform sim;
    std::shared_ptr<PacketTunnelProvider> provider = PacketTunnelProvider::create(sim.platform());
    World() {
        const RoutingPolicy policy = RoutingPolicy::decode(
            nlohmann::json{{"direct_domains", {"example.com"}}, {"direct_ips", {"203.0.113.0/24"}}});
        provider->session = std::make_shared<VantuSession>(0x01020304u, Bytes(16, 0x33), "aes-128-gcm", "10.7.0.2",
                                                           1420, 5555, "udp", std::vector<std::string>{"9.9.9.9"},
                                                           policy);
        provider->directCore.udpEnabled = true;
        provider->directCore.tcpEnabled = true;
        provider->learnedRoutes.cacheKey = "vantu.dynamicDirectRoutes.000000000000000000000000";
    }
};

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    static World world;
    PacketTunnelProvider& p = *world.provider;
    const Bytes rest(data + 1, data + size);
    switch (data[0] % 4) {
        case 0:
            p.decryptAndHandlePacket(rest);
            break;
        case 1:
            p.handleFrame(rest);
            break;
        case 3:
            // The stream transport's reassembly: any cut of units, lengths
            // too long, zero or past the end. Each input starts a fresh
            // stream, so runs stay independent.
            p.receiveTCPBytes(rest);
            p.dataChannel.tcpReadBuffer.clear();
            break;
        default:
            // An outbound packet from the system: DNS interception and the
            // direct-core gate, then whatever the relays answer.
            if (auto query = LocalDNSResolver::query(rest)) {
                p.resolveDNSQuery(std::move(*query));
            } else {
                p.handleDirectCorePacket(rest);
            }
            break;
    }
    // Past every timer a run can set (readiness polls, query timeouts, idle
    // checks), so the tables drain and memory stays flat across runs.
    world.sim.queue.advance(Duration(125));
    world.sim.packetFlow.written.clear();
    world.sim.host.udpSessions.clear();
    world.sim.host.tcpConnections.clear();
    if (p.learnedRoutes.routes.size() > LearnedRoutes::kMaxDynamicDirectRoutes) std::abort();
    return 0;
}
