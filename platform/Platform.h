#pragma once

// The boundary between the tunnel and the system it runs on. The provider
// depends only on these interfaces; platform/linux implements them on a real
// host (TUN, netlink, marked sockets, SQLite, syslog, Asio) and platform/sim
// implements them deterministically with a virtual clock for tests.
//
// Threading contract: every callback, completion and handler that a platform
// object invokes is delivered through the provider's WorkQueue, so provider
// code never runs concurrently with itself and needs no locks.

#include <cstdint>
#include <functional>
#include <map>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <nlohmann/json.hpp>

#include "base/Bytes.h"
#include "base/Time.h"
#include "base/VantuError.h"

namespace vantu {

using ErrorCompletion = std::function<void(std::optional<TunnelError>)>;

// ---------------------------------------------------------------- clock & queue

class Clock {
public:
    virtual ~Clock() = default;
    virtual Instant now() const = 0;
};

// A handle to a timer or read source; cancel() is idempotent and, once it
// returns, the handler never runs again.
class Cancellable {
public:
    virtual ~Cancellable() = default;
    virtual void cancel() = 0;
    virtual bool isCancelled() const = 0;
};

// The provider's one serial work queue. Work submitted runs in submission
// order; delayed work runs in deadline order, ties in scheduling order.
class WorkQueue {
public:
    virtual ~WorkQueue() = default;
    virtual const Clock& clock() const = 0;
    Instant now() const { return clock().now(); }

    virtual void submit(std::function<void()> work) = 0;
    virtual void after(Duration delay, std::function<void()> work) = 0;
    // First firing `first` from now, then every `interval`, until cancelled.
    virtual std::shared_ptr<Cancellable> repeating(Duration first, Duration interval,
                                                   std::function<void()> handler) = 0;
    // Runs onReadable while fd is readable; onCancel runs once after cancel()
    // (it owns closing the descriptor).
    virtual std::shared_ptr<Cancellable> readSource(int fd, std::function<void()> onReadable,
                                                    std::function<void()> onCancel) = 0;
};

// ---------------------------------------------------------------- packet flow

class PacketFlow {
public:
    virtual ~PacketFlow() = default;
    using ReadCompletion = std::function<void(std::vector<Bytes> packets, std::vector<int> protocols)>;
    // One call of the completion with the next batch; call again for the next.
    virtual void readPackets(ReadCompletion completion) = 0;
    // IPv4 packets towards local applications; protocol 2 (AF_INET) each.
    virtual void writePackets(const std::vector<Bytes>& packets, const std::vector<int>& protocols) = 0;
    // Hands back the packets of a read batch the caller is done with: a flow
    // that reads into reusable buffers fills them again instead of
    // allocating one per packet. Optional; the buffers may be taken or not.
    virtual void recyclePackets(std::vector<Bytes>& /*packets*/) {}
};

// ---------------------------------------------------------------- outside sessions

// Numeric values are part of the diagnostics ("udpState=3").
enum class UDPSessionState : int { invalid = 0, waiting = 1, preparing = 2, ready = 3, failed = 4, cancelled = 5 };

inline const char* udpSessionStateName(UDPSessionState s) {
    switch (s) {
        case UDPSessionState::invalid: return "invalid";
        case UDPSessionState::waiting: return "waiting";
        case UDPSessionState::preparing: return "preparing";
        case UDPSessionState::ready: return "ready";
        case UDPSessionState::failed: return "failed";
        case UDPSessionState::cancelled: return "cancelled";
    }
    return "unknown";
}

// A UDP flow to one endpoint whose traffic does not enter the tunnel.
class UDPSession {
public:
    virtual ~UDPSession() = default;
    virtual UDPSessionState state() const = 0;
    // The handler runs with a batch (at most maxDatagrams) or an error, repeatedly.
    using ReadHandler = std::function<void(std::vector<Bytes> datagrams, std::optional<TunnelError> error)>;
    virtual void setReadHandler(ReadHandler handler, size_t maxDatagrams) = 0;
    virtual void writeDatagram(Bytes datagram, ErrorCompletion completion) = 0;
    // Writes a batch in order, as writeDatagram() each would, and runs the
    // completion once with one result per datagram (in the same order) when
    // all of them are done; never for an empty batch. A platform that can
    // hand the kernel many datagrams in one call does so here, and one
    // completion per batch spares the packet path a closure per packet.
    // The completion also gets the datagrams' buffers back where the
    // platform kept them (possibly none), for the caller to reuse.
    using BatchCompletion =
        std::function<void(const std::vector<std::optional<TunnelError>>& results, std::vector<Bytes>& buffers)>;
    virtual void writeDatagrams(std::vector<Bytes> datagrams, BatchCompletion completion) {
        if (datagrams.empty()) return;
        struct Pending {
            std::vector<std::optional<TunnelError>> results;
            size_t remaining;
            BatchCompletion completion;
        };
        auto pending = std::make_shared<Pending>(
            Pending{std::vector<std::optional<TunnelError>>(datagrams.size()), datagrams.size(), std::move(completion)});
        for (size_t i = 0; i < datagrams.size(); ++i) {
            writeDatagram(std::move(datagrams[i]), [pending, i](std::optional<TunnelError> error) {
                pending->results[i] = std::move(error);
                if (--pending->remaining == 0 && pending->completion) {
                    std::vector<Bytes> none;
                    pending->completion(pending->results, none);
                }
            });
        }
    }
    virtual void cancel() = 0;
    // Datagrams dropped because the outbound queue was full. Like a full
    // network card the session drops them and its write still succeeds, so
    // this count is the only trace they leave (shown in the diagnostics).
    virtual uint64_t droppedDatagrams() const { return 0; }
};

enum class TCPConnectionState : int { invalid = 0, connecting = 1, waiting = 2, connected = 3, disconnected = 4, cancelled = 5 };

// A TCP connection that does not enter the tunnel.
class TCPConnection {
public:
    virtual ~TCPConnection() = default;
    virtual TCPConnectionState state() const = 0;
    // Completion with bytes (empty at end of stream) or an error, once.
    virtual void readMinimumLength(size_t minimum, size_t maximum,
                                   std::function<void(Bytes data, std::optional<TunnelError> error)> completion) = 0;
    virtual void write(Bytes data, ErrorCompletion completion) = 0;
    // Ends the stream towards the remote end once every write queued so far
    // has been sent (a half-close); reading goes on until the remote end
    // closes its side.
    virtual void closeWrite() = 0;
    virtual void cancel() = 0;
};

// ---------------------------------------------------------------- default path

enum class PathStatus { invalid, satisfied, unsatisfied, satisfiable };

inline const char* pathStatusName(PathStatus s) {
    switch (s) {
        case PathStatus::invalid: return "invalid";
        case PathStatus::satisfied: return "satisfied";
        case PathStatus::unsatisfied: return "unsatisfied";
        case PathStatus::satisfiable: return "satisfiable";
    }
    return "invalid";
}

// The system's default network path. Two paths are equal when nothing about
// them changed: status, flags and identity (on Linux: interface, gateway and
// source address of the main table's default route).
struct NetworkPath {
    PathStatus status = PathStatus::invalid;
    bool isExpensive = false;
    bool isConstrained = false;
    std::string identity;

    bool isEqual(const NetworkPath& other) const { return *this == other; }
    bool operator==(const NetworkPath&) const = default;
};

// ---------------------------------------------------------------- tunnel settings

struct IPv4Route {
    std::string destinationAddress;
    std::string destinationSubnetMask;
    bool operator==(const IPv4Route&) const = default;
};

// The tunnel network settings as a plain record; whatever applies them owns
// the routes, addresses and DNS of the tunnel interface.
struct TunnelNetworkSettings {
    std::string tunnelRemoteAddress;
    int64_t mtu = 0;
    std::vector<std::string> ipv4Addresses;
    std::vector<std::string> ipv4SubnetMasks;
    bool includeDefaultRoute = false;           // included routes: [default route]
    std::vector<IPv4Route> includedRoutes;      // further included routes (none today)
    std::optional<std::vector<IPv4Route>> excludedRoutes;  // unset when there is none
    std::vector<std::string> dnsServers;
    bool operator==(const TunnelNetworkSettings&) const = default;
};

// ---------------------------------------------------------------- tunnel host

// The provider-configuration dictionary: string keys to typed values (text,
// boolean, number, list, dictionary). A JSON object models it exactly,
// including the distinction between a boolean, a number and a text.
using ProviderConfiguration = nlohmann::json;

struct ProtocolConfiguration {
    bool isPacketTunnelProvider = true;
    std::optional<ProviderConfiguration> providerConfiguration;
};

class TunnelHost {
public:
    virtual ~TunnelHost() = default;
    virtual std::optional<ProtocolConfiguration> protocolConfiguration() const = 0;
    // Completion runs once, on the work queue. nullopt settings clears them.
    virtual void setTunnelNetworkSettings(std::optional<TunnelNetworkSettings> settings,
                                          ErrorCompletion completion) = 0;
    // The host stops the tunnel and later calls stop on the provider.
    virtual void cancelTunnelWithError(const TunnelError& error) = 0;
    virtual std::shared_ptr<UDPSession> createUDPSession(const std::string& host, const std::string& port) = 0;
    virtual std::shared_ptr<TCPConnection> createTCPConnection(const std::string& host, const std::string& port) = 0;
    virtual std::optional<NetworkPath> defaultPath() const = 0;
    // The firewall mark that keeps a socket the provider opens itself (the
    // TCP data channel) outside the tunnel; 0 when the host needs none.
    virtual uint32_t outsideSocketMark() const { return 0; }
};

// ---------------------------------------------------------------- defaults store

// A persistent key-value store. A value stored under a key with another kind
// reads as absent. Writes are visible to the next read in the same process.
class DefaultsStore {
public:
    virtual ~DefaultsStore() = default;
    virtual std::optional<std::vector<std::string>> stringArray(const std::string& key) const = 0;
    virtual std::optional<std::string> string(const std::string& key) const = 0;
    virtual int64_t integer(const std::string& key) const = 0;  // 0 when absent
    virtual std::optional<std::map<std::string, double>> dictionary(const std::string& key) const = 0;
    virtual void setStringArray(const std::string& key, const std::vector<std::string>& value) = 0;
    virtual void setString(const std::string& key, const std::string& value) = 0;
    virtual void setInteger(const std::string& key, int64_t value) = 0;
    virtual void setDictionary(const std::string& key, const std::map<std::string, double>& value) = 0;
    virtual void remove(const std::string& key) = 0;
};

// ---------------------------------------------------------------- system log

class SystemLog {
public:
    virtual ~SystemLog() = default;
    // One already formatted line ("VantuPacketTunnel: ...").
    virtual void write(const std::string& line) = 0;
};

// What the provider is constructed with. The platform objects outlive it.
struct Platform {
    WorkQueue& queue;
    PacketFlow& packetFlow;
    TunnelHost& host;
    DefaultsStore& defaults;
    SystemLog& log;
};

}  // namespace vantu
