// The keepalive of a verified data channel and the default-path checks that
// other parts of the channel share.

#include <cmath>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>

#include "VantuPacketTunnel/PacketTunnelProvider.h"

namespace vantu {

namespace {

constexpr const char* kNoPathSummary = "status=unknown path=nil";

std::string summaryOf(const std::optional<NetworkPath>& path) {
    if (!path) return kNoPathSummary;
    return std::string("status=") + pathStatusName(path->status) +
           " expensive=" + (path->isExpensive ? "true" : "false") +
           " constrained=" + (path->isConstrained ? "true" : "false");
}

}  // namespace

std::string PacketTunnelProvider::defaultPathSummary() const { return summaryOf(host.defaultPath()); }

bool PacketTunnelProvider::isDefaultPathUnavailable() const {
    // Having no path information at all is not proof that the network is
    // gone; only a known path that is not satisfied counts.
    const std::optional<NetworkPath> path = host.defaultPath();
    return path && path->status != PathStatus::satisfied;
}

void PacketTunnelProvider::startKeepalive() {
    if (keepalive.source) keepalive.source->cancel();
    // The silence and the path comparison both start over with this channel.
    keepalive.lastDataFrameReceivedAt = now();
    keepalive.lastProbeAt = kDistantPast;
    keepalive.lastDefaultPath = host.defaultPath();
    keepalive.lastDefaultPathSummary = summaryOf(keepalive.lastDefaultPath);

    keepalive.source = queue.repeating(Duration(KeepaliveState::keepaliveInterval), Duration(KeepaliveState::keepaliveInterval),
                                      [weak = weak_from_this()] {
                                          const auto self = weak.lock();
                                          if (self && self->session) self->runKeepaliveProbe();
                                      });
    log("keepalive started");
}

void PacketTunnelProvider::runKeepaliveProbe() {
    if (!dataChannel.handshakeCompleted || recovery.inProgress || !session) return;
    const Instant probeTime = now();

    const std::optional<NetworkPath> path = host.defaultPath();
    const std::string summary = summaryOf(path);
    if (path && path->status != PathStatus::satisfied) {
        ++keepalive.timeouts;
        terminateTunnel("network unavailable during keepalive: " + summary);
        return;
    }
    if (path) {
        if (keepalive.lastDefaultPath && !keepalive.lastDefaultPath->isEqual(*path)) {
            // Another interface or gateway: the channel's flow is bound to
            // the old one, so it has to be rebuilt even if frames still flow.
            const std::string previous = keepalive.lastDefaultPathSummary.empty() ? kNoPathSummary : keepalive.lastDefaultPathSummary;
            keepalive.lastDefaultPath = path;
            keepalive.lastDefaultPathSummary = summary;
            failDataChannel("network path changed: " + previous + " -> " + summary);
            return;
        }
        keepalive.lastDefaultPath = path;
        keepalive.lastDefaultPathSummary = summary;
    }

    const double elapsed = secondsBetween(keepalive.lastDataFrameReceivedAt, probeTime);
    if (isDistantPast(keepalive.lastDataFrameReceivedAt) || elapsed <= KeepaliveState::keepaliveTimeout) {
        keepalive.lastProbeAt = probeTime;
        sendPingFrame();
        return;
    }
    ++keepalive.timeouts;
    failDataChannel("keepalive timed out: no server frame for " +
                    std::to_string(static_cast<int64_t>(std::trunc(elapsed))) + "s");
}

}  // namespace vantu
