#include "VantuPacketTunnel/PacketTunnelProvider.h"

#include "control/VantuControl.h"

namespace vantu {

// Construction only wires the platform in; every field keeps its initial
// value and nothing runs until the platform calls startTunnel.
PacketTunnelProvider::PacketTunnelProvider(Platform platform)
    : queue(platform.queue),
      packetFlow(platform.packetFlow),
      host(platform.host),
      defaults(platform.defaults),
      systemLog(platform.log) {
    // The control exchange writes its routing-override summary through the
    // provider's own log. The function lives inside the provider, so the
    // plain pointer cannot outlive it.
    openControlSession = [this](const VantuConfig& config) {
        return VantuControl::open(config, [this](const std::string& line) { log(line); });
    };
}

}  // namespace vantu
