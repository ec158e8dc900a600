#pragma once

#include <atomic>
#include <cstdint>
#include <functional>
#include <mutex>
#include <optional>
#include <string>
#include <thread>
#include <vector>

#include <sys/uio.h>

#include <nlohmann/json.hpp>

#include "platform/linux/offload/TunOffload.h"
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
// The device is opened with TCP segmentation and checksum offload (a
// virtio-net header before each packet) unless the kernel refuses or
// VANTU_TUN_OFFLOAD=0 is set: the reader then gets TCP super-packets of up to
// 64 KiB in one read and cuts them into ordinary packets before they go to
// clients, and deliver() gathers a receive batch so that flush() can write
// runs of one TCP flow's segments as one super-packet.
//
// Threads: deliver() and flush() run on the server's network thread and
// write to the device; a reader thread of the sink's own takes packets out of
// the device and passes them to sendToClients, one packet at a time, which
// may be called from any thread.
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

    // Without offloads a packet is written at once; with them it waits for
    // flush() (or for a full gathering buffer).
    void deliver(const Bytes& packet) override;
    void flush() override;

    const std::string& name() const { return name_; }
    int ifindex() const { return ifindex_; }
    bool offloads() const { return offload_; }
    // Why the kernel refused the offloads (empty when it did not).
    const std::string& offloadRefusal() const { return offloadRefusal_; }
    std::string address() const;

    uint64_t packetsIn() const { return packetsIn_; }     // client packets written to the device
    uint64_t packetsOut() const { return packetsOut_; }   // device packets handed to sendToClients
    uint64_t writeFailures() const { return writeFailures_; }
    uint64_t nonIPv4Dropped() const { return nonIPv4Dropped_; }
    uint64_t coalescedWrites() const { return coalescedWrites_; }   // writes carrying more than one packet
    uint64_t superPacketsRead() const { return superPacketsRead_; } // reads cut into more than one packet
    uint64_t malformedReads() const { return malformedReads_; }

    // Packets gathered before deliver() writes on its own.
    static constexpr size_t kMaxGathered = 128;

private:
    void readLoop();
    void writeGathered();

    Options options_;
    std::string name_;
    int fd_ = -1;
    int wakeFD_ = -1;  // eventfd that ends the reader's poll
    int ifindex_ = 0;
    bool offload_ = false;
    std::string offloadRefusal_;
    // Network thread only: the packets deliver() gathered (their buffers are
    // reused from batch to batch) and the write plan.
    std::vector<Bytes> gathered_;
    size_t gatheredCount_ = 0;
    std::vector<TunWrite> writes_;
    std::vector<iovec> pieces_;
    std::thread reader_;
    std::mutex lifecycle_;
    std::atomic<uint64_t> packetsIn_{0};
    std::atomic<uint64_t> packetsOut_{0};
    std::atomic<uint64_t> writeFailures_{0};
    std::atomic<uint64_t> nonIPv4Dropped_{0};
    std::atomic<uint64_t> coalescedWrites_{0};
    std::atomic<uint64_t> superPacketsRead_{0};
    std::atomic<uint64_t> malformedReads_{0};
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
