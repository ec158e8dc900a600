#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>

#include <nlohmann/json.hpp>

#include "server/PacketSink.h"
#include "server/ServerConfig.h"

namespace vantu::server {

// Hands client packets to the host's own IP stack through a TUN device, and
// carries what the host routes into that device back to the clients. The
// device holds the tunnel subnet's first address with the subnet's prefix, so
// the kernel routes the whole subnet into it; forwarding and NAT towards the
// rest of the network are the operator's (sysctl net.ipv4.ip_forward and an
// nft masquerade rule for the subnet).
//
// Threads: deliver() runs on the server's network thread and writes to the
// device; a reader thread of the sink's own takes packets out of the device
// and passes them to sendToClients, which may be called from any thread.
class TunSink final : public PacketSink {
public:
    struct Options {
        std::string name = "vantus0";
        IPv4Subnet subnet;
        int64_t mtu = 1420;
    };

    // Creates the device and configures it over rtnetlink: address
    // subnet.serverAddress()/prefix, MTU, link up. Throws VantuError naming
    // the step that failed (opening /dev/net/tun needs CAP_NET_ADMIN).
    explicit TunSink(Options options);
    // Stops the reader and closes the device; the kernel removes a
    // non-persistent device together with its address and routes.
    ~TunSink() override;
    TunSink(const TunSink&) = delete;
    TunSink& operator=(const TunSink&) = delete;

    // Starts the reader thread. sendToClients must be set (the server sets it
    // when it is constructed) and must stay valid until stop().
    void start();
    // Joins the reader; idempotent. Call before whatever sendToClients points
    // into goes away.
    void stop();

    void deliver(const Bytes& packet) override;

    const std::string& name() const { return name_; }
    int ifindex() const { return ifindex_; }
    std::string address() const;

    uint64_t packetsIn() const { return packetsIn_; }     // client packets written to the device
    uint64_t packetsOut() const { return packetsOut_; }   // device packets handed to sendToClients
    uint64_t writeFailures() const { return writeFailures_; }
    uint64_t nonIPv4Dropped() const { return nonIPv4Dropped_; }

private:
    void readLoop();

    Options options_;
    std::string name_;
    int fd_ = -1;
    int wakeFD_ = -1;  // eventfd that ends the reader's poll
    int ifindex_ = 0;
    std::thread reader_;
    std::mutex lifecycle_;
    std::atomic<uint64_t> packetsIn_{0};
    std::atomic<uint64_t> packetsOut_{0};
    std::atomic<uint64_t> writeFailures_{0};
    std::atomic<uint64_t> nonIPv4Dropped_{0};
};

// The sink keys of a server configuration file that the core configuration
// does not know: "packet_sink": "tun" with "tun_name" (default "vantus0").
// extractTunSinkName removes both keys from `document` when the sink is
// "tun" and returns the device name; with another sink it removes nothing
// and returns nullopt, except that a stray "tun_name" is an error. Throws
// ConfigError for a name that is empty, too long for an interface or not a
// string.
std::optional<std::string> extractTunSinkName(nlohmann::json& document);

// ServerConfig::load for a file that may name the "tun" sink: the same
// errors, prefixed with the path, and the TUN device name in `tunName`
// (nullopt for the other sinks).
// `extractMore`, when given, takes further keys the core configuration does
// not know out of the document first (its ConfigErrors get the same prefix).
ServerConfig loadServerConfigWithSink(const std::string& path, std::optional<std::string>& tunName,
                                      const std::function<void(nlohmann::json&)>& extractMore = {});

// The text for --help describing those keys.
std::string tunSinkConfigHelp();

}  // namespace vantu::server
