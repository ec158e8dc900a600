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
    if (keepaliveSource) keepaliveSource->cancel();
    // The silence and the path comparison both start over with this channel.
    lastDataFrameReceivedAt = now();
    lastKeepaliveProbeAt = kDistantPast;
    lastDefaultPath = host.defaultPath();
    lastDefaultPathSummary = summaryOf(lastDefaultPath);

    keepaliveSource = queue.repeating(Duration(keepaliveInterval), Duration(keepaliveInterval),
                                      [weak = weak_from_this()] {
                                          const auto self = weak.lock();
                                          if (self && self->session) self->runKeepaliveProbe();
                                      });
    log("keepalive started");
}

void PacketTunnelProvider::runKeepaliveProbe() {
    if (!handshakeCompleted || dataRecoveryInProgress || !session) return;
    const Instant probeTime = now();

    const std::optional<NetworkPath> path = host.defaultPath();
    const std::string summary = summaryOf(path);
    if (path && path->status != PathStatus::satisfied) {
        ++keepaliveTimeouts;
        terminateTunnel("network unavailable during keepalive: " + summary);
        return;
    }
    if (path) {
        if (lastDefaultPath && !lastDefaultPath->isEqual(*path)) {
            // Another interface or gateway: the channel's flow is bound to
            // the old one, so it has to be rebuilt even if frames still flow.
            const std::string previous = lastDefaultPathSummary.empty() ? kNoPathSummary : lastDefaultPathSummary;
            lastDefaultPath = path;
            lastDefaultPathSummary = summary;
            failDataChannel("network path changed: " + previous + " -> " + summary);
            return;
        }
        lastDefaultPath = path;
        lastDefaultPathSummary = summary;
    }

    const double elapsed = secondsBetween(lastDataFrameReceivedAt, probeTime);
    if (isDistantPast(lastDataFrameReceivedAt) || elapsed <= keepaliveTimeout) {
        lastKeepaliveProbeAt = probeTime;
        sendPingFrame();
        return;
    }
    ++keepaliveTimeouts;
    failDataChannel("keepalive timed out: no server frame for " +
                    std::to_string(static_cast<int64_t>(std::trunc(elapsed))) + "s");
}

}  // namespace vantu
