#pragma once

// The packet flow of a Linux TUN device: IPv4 packets that the system routes
// into the tunnel are read from the device, packets for local applications
// are written to it.
//
// A device created here asks the kernel for TCP segmentation and checksum
// offload (a virtio-net header before each packet): the kernel then hands
// over TCP super-packets of up to 64 KiB in one read, which are cut into
// ordinary packets at once, and takes runs of segments of one TCP flow back
// in one write. Everything above the device sees ordinary packets either way.
// A kernel that refuses the offloads, or VANTU_TUN_OFFLOAD=0 in the
// environment, leaves the plain mode: one packet per read and write
// (IFF_TUN | IFF_NO_PI).

#include <chrono>
#include <cstdint>
#include <memory>
#include <span>
#include <string>
#include <vector>

#include <sys/uio.h>

#include <asio/posix/stream_descriptor.hpp>

#include "platform/linux/offload/TunOffload.h"
#include "platform/Platform.h"
#include "platform/linux/AsioWorkQueue.h"

namespace vantu {

class TunPacketFlow final : public PacketFlow {
public:
    static constexpr size_t kMaxBatch = 64;

    // Creates the TUN device. `requestedName` may be a name ("vantu0") or a
    // kernel pattern ("vantu%d"); name() tells what the kernel created. The
    // device exists as long as this object (it is not persistent), down and
    // without addresses until the tunnel host configures it. Needs
    // CAP_NET_ADMIN. Throws VantuError on failure. `log` may be null.
    TunPacketFlow(AsioWorkQueue& queue, const std::string& requestedName, SystemLog* log = nullptr);

    // Wraps a descriptor that already carries one packet per read and write,
    // such as one end of a SOCK_SEQPACKET socket pair (used by tests), in the
    // plain mode. Takes ownership of the descriptor and makes it non-blocking.
    static std::unique_ptr<TunPacketFlow> fromDescriptor(AsioWorkQueue& queue, int fd, std::string name,
                                                         SystemLog* log = nullptr);

    ~TunPacketFlow() override;
    TunPacketFlow(const TunPacketFlow&) = delete;
    TunPacketFlow& operator=(const TunPacketFlow&) = delete;

    // Runs the completion once, on the queue, with the next batch of 1 to
    // about kMaxBatch packets (a last super-packet read may add up to 45).
    // Protocol numbers: AF_INET (2) for IPv4 packets,
    // AF_INET6 for IPv6, 0 for anything else. A second call before the
    // first completed replaces the waiting completion. Call on the queue.
    void readPackets(ReadCompletion completion) override;
    // Writes the batch at once. With offloads, runs of one TCP flow in it
    // go to the kernel as one write each (the packet path hands over all
    // that one receive brought in); without them, one write per packet. A
    // packet the device refuses (queue full, device gone or down) is counted
    // as dropped and logged at most once a second; nothing is ever fatal.
    // Call on the queue.
    void writePackets(const std::vector<Bytes>& packets, const std::vector<int>& protocols) override;
    // Keeps up to kMaxSpare buffers for the next reads.
    void recyclePackets(std::vector<Bytes>& packets) override;
    static constexpr size_t kMaxSpare = 256;

    // Stops reading and closes the device; a waiting completion never runs.
    // Later writes count as dropped. Idempotent; call on the queue (or once
    // the queue has stopped).
    void close();

    const std::string& name() const { return name_; }
    int descriptor() const { return fd_; }
    // Whether the device runs with segmentation offload.
    bool offloads() const { return offload_; }

    // Packets are always the ordinary ones, however many shared a read or write.
    struct Counters {
        uint64_t packetsRead = 0;
        uint64_t packetsWritten = 0;
        uint64_t packetsDropped = 0;  // writes refused
        uint64_t readErrors = 0;
        uint64_t superPacketsRead = 0;  // reads cut into more than one packet
        uint64_t coalescedWrites = 0;   // writes that carried more than one packet
        uint64_t readsDropped = 0;      // IPv6 super-packets, malformed offload reads
    };
    Counters counters() const { return counters_; }

private:
    struct AdoptTag {};

public:
    TunPacketFlow(AdoptTag, AsioWorkQueue& queue, int fd, std::string name, SystemLog* log);

private:
    void tryRead();
    void waitReadable();
    void writeCoalesced(std::span<const Bytes> packets);
    void logRateLimited(const std::string& text, uint64_t* suppressed);

    AsioWorkQueue& queue_;
    SystemLog* log_;
    int fd_ = -1;
    std::string name_;
    asio::posix::stream_descriptor descriptor_;
    ReadCompletion pending_;
    bool readScheduled_ = false;
    Bytes scratch_;
    std::vector<Bytes> spare_;
    bool offload_ = false;
    std::vector<TunWrite> writes_;
    std::vector<iovec> pieces_;
    Counters counters_;
    std::chrono::steady_clock::time_point lastLog_{};
    uint64_t suppressedWriteLogs_ = 0;
    uint64_t suppressedReadLogs_ = 0;
    // Lets handlers that outlive close() or the object see that it is gone.
    std::shared_ptr<bool> alive_ = std::make_shared<bool>(true);
};

}  // namespace vantu
