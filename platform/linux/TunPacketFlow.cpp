#include "platform/linux/TunPacketFlow.h"

#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <unistd.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>

#include <asio/post.hpp>

namespace vantu {

namespace {

constexpr size_t kMaxPacket = 65536;

int protocolOf(const uint8_t* data, size_t size) {
    if (size == 0) return 0;
    switch (data[0] >> 4) {
        case 4: return AF_INET;
        case 6: return AF_INET6;
        default: return 0;
    }
}

// With `offload`, asks for the virtio-net header and TCP segmentation and
// checksum offload; returns -1 with `refusal` set when the kernel refuses
// any of them (the half-made device goes with its descriptor).
int openTun(const std::string& requestedName, bool offload, std::string* createdName, std::string* refusal) {
    if (requestedName.size() >= IFNAMSIZ) throw VantuError("tun device name too long: " + requestedName);
    const int fd = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
    if (fd < 0) throw VantuError(std::string("cannot open /dev/net/tun: ") + std::strerror(errno));
    ifreq ifr{};
    ifr.ifr_flags = IFF_TUN | IFF_NO_PI | (offload ? IFF_VNET_HDR : 0);
    std::memcpy(ifr.ifr_name, requestedName.c_str(), requestedName.size());
    if (::ioctl(fd, TUNSETIFF, &ifr) != 0) {
        const int e = errno;
        ::close(fd);
        if (offload && e == EINVAL) {
            *refusal = std::string("IFF_VNET_HDR: ") + std::strerror(e);
            return -1;
        }
        throw VantuError("cannot create tun device " + requestedName + ": " + std::strerror(e));
    }
    if (offload) {
        const int headerSize = static_cast<int>(kVirtioHeaderSize);
        const char* step = nullptr;
        if (::ioctl(fd, TUNSETVNETHDRSZ, &headerSize) != 0) {
            step = "TUNSETVNETHDRSZ";
        } else if (::ioctl(fd, TUNSETOFFLOAD, static_cast<unsigned long>(TUN_F_CSUM | TUN_F_TSO4)) != 0) {
            step = "TUNSETOFFLOAD";
        }
        if (step) {
            *refusal = std::string(step) + ": " + std::strerror(errno);
            ::close(fd);
            return -1;
        }
    }
    *createdName = std::string(ifr.ifr_name, strnlen(ifr.ifr_name, IFNAMSIZ));
    return fd;
}

// VANTU_TUN_OFFLOAD=0 (or "off") keeps the plain mode, to compare the two.
bool offloadWanted() {
    const char* value = std::getenv("VANTU_TUN_OFFLOAD");
    if (!value) return true;
    const std::string v = value;
    return v != "0" && v != "off" && v != "no";
}

}  // namespace

TunPacketFlow::TunPacketFlow(AsioWorkQueue& queue, const std::string& requestedName, SystemLog* log)
    : queue_(queue), log_(log), descriptor_(queue.context()) {
    std::string refusal;
    if (offloadWanted()) fd_ = openTun(requestedName, true, &name_, &refusal);
    offload_ = fd_ >= 0;
    if (!offload_) {
        fd_ = openTun(requestedName, false, &name_, &refusal);
        if (log_ && !refusal.empty()) {
            log_->write("platform: tun offloads refused on " + name_ + " (" + refusal +
                        "): one packet per read and write");
        }
    }
    asio::error_code ec;
    descriptor_.assign(fd_, ec);
    if (ec) {
        ::close(fd_);
        throw VantuError("cannot watch tun device " + name_ + ": " + ec.message());
    }
    scratch_.resize(kVirtioHeaderSize + kMaxPacket);
}

TunPacketFlow::TunPacketFlow(AdoptTag, AsioWorkQueue& queue, int fd, std::string name, SystemLog* log)
    : queue_(queue), log_(log), fd_(fd), name_(std::move(name)), descriptor_(queue.context()) {
    const int flags = ::fcntl(fd_, F_GETFL);
    if (flags >= 0) ::fcntl(fd_, F_SETFL, flags | O_NONBLOCK);
    asio::error_code ec;
    descriptor_.assign(fd_, ec);
    if (ec) {
        ::close(fd_);
        throw VantuError("cannot watch packet descriptor: " + ec.message());
    }
    scratch_.resize(kMaxPacket);
}

std::unique_ptr<TunPacketFlow> TunPacketFlow::fromDescriptor(AsioWorkQueue& queue, int fd, std::string name,
                                                            SystemLog* log) {
    return std::make_unique<TunPacketFlow>(AdoptTag{}, queue, fd, std::move(name), log);
}

TunPacketFlow::~TunPacketFlow() { close(); }

void TunPacketFlow::close() {
    *alive_ = false;
    alive_ = std::make_shared<bool>(false);
    pending_ = nullptr;
    readScheduled_ = false;
    if (descriptor_.is_open()) descriptor_.release();  // aborts a pending wait
    if (fd_ >= 0) ::close(fd_);
    fd_ = -1;
}

void TunPacketFlow::readPackets(ReadCompletion completion) {
    pending_ = std::move(completion);
    if (readScheduled_ || fd_ < 0) return;
    readScheduled_ = true;
    // Try at once (from a fresh handler): packets may already be waiting, and
    // the reactor only reports readiness that arrives while a wait is pending.
    std::weak_ptr<bool> alive = alive_;
    asio::post(queue_.context(), [this, alive] {
        auto token = alive.lock();
        if (!token || !*token) return;
        tryRead();
    });
}

void TunPacketFlow::tryRead() {
    // Buffers handed back from earlier batches are filled again; `used`
    // counts the packets of this batch among them.
    std::vector<Bytes> packets = std::move(spare_);
    spare_.clear();
    size_t used = 0;
    std::vector<int> protocols;
    int error = 0;
    while (used < kMaxBatch) {
        const ssize_t n = ::read(fd_, scratch_.data(), scratch_.size());
        if (n < 0) {
            if (errno == EINTR) continue;
            if (errno != EAGAIN) error = errno;
            break;
        }
        if (n == 0) break;  // end of stream on an adopted descriptor
        if (!offload_) {
            if (used < packets.size()) {
                packets[used].assign(scratch_.begin(), scratch_.begin() + n);
            } else {
                packets.emplace_back(scratch_.begin(), scratch_.begin() + n);
            }
            ++used;
            protocols.push_back(protocolOf(scratch_.data(), static_cast<size_t>(n)));
            continue;
        }
        const auto cut = splitTunRead(scratch_.data(), static_cast<size_t>(n), packets, used);
        if (cut.status != TunReadStatus::packets) {
            ++counters_.readsDropped;
            if (cut.status == TunReadStatus::malformed) {
                logRateLimited("tun read dropped a malformed offload packet on " + name_, &suppressedReadLogs_);
            }
            continue;
        }
        if (cut.count > 1) ++counters_.superPacketsRead;
        for (size_t i = protocols.size(); i < used; ++i) {
            protocols.push_back(protocolOf(packets[i].data(), packets[i].size()));
        }
    }
    if (error != 0) {
        ++counters_.readErrors;
        logRateLimited(std::string("tun read failed on ") + name_ + ": " + std::strerror(error),
                       &suppressedReadLogs_);
    }
    // Buffers this batch did not need wait for the next one.
    for (size_t i = used; i < packets.size(); ++i) spare_.push_back(std::move(packets[i]));
    packets.resize(used);
    if (packets.empty()) {
        if (error != 0) {
            // A device in an error state stays "readable"; back off instead of spinning.
            std::weak_ptr<bool> alive = alive_;
            queue_.after(Duration(0.1), [this, alive] {
                auto token = alive.lock();
                if (!token || !*token) return;
                tryRead();
            });
            return;
        }
        waitReadable();
        return;
    }
    counters_.packetsRead += packets.size();
    auto completion = std::move(pending_);
    pending_ = nullptr;
    readScheduled_ = false;
    if (completion) completion(std::move(packets), std::move(protocols));
}

void TunPacketFlow::recyclePackets(std::vector<Bytes>& packets) {
    for (Bytes& packet : packets) {
        if (spare_.size() >= kMaxSpare) break;
        if (packet.capacity() > 0) spare_.push_back(std::move(packet));
    }
}

void TunPacketFlow::waitReadable() {
    std::weak_ptr<bool> alive = alive_;
    descriptor_.async_wait(asio::posix::descriptor_base::wait_read, [this, alive](const asio::error_code& ec) {
        auto token = alive.lock();
        if (!token || !*token || ec) return;
        tryRead();
    });
}

void TunPacketFlow::writePackets(const std::vector<Bytes>& packets, const std::vector<int>&) {
    if (offload_) {
        writeCoalesced(packets);
        return;
    }
    for (const auto& packet : packets) {
        if (packet.empty()) continue;
        if (fd_ < 0) {
            ++counters_.packetsDropped;
            continue;
        }
        ssize_t n;
        do {
            n = ::write(fd_, packet.data(), packet.size());
        } while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(packet.size())) {
            ++counters_.packetsWritten;
            continue;
        }
        // EAGAIN/ENOBUFS (queue full), EIO (device down), EBADFD (device
        // gone), EINVAL (not an IP packet): the packet is lost, as on a wire.
        ++counters_.packetsDropped;
        const std::string reason = n < 0 ? std::strerror(errno) : "short write";
        logRateLimited("tun write dropped a packet on " + name_ + ": " + reason, &suppressedWriteLogs_);
    }
}

void TunPacketFlow::writeCoalesced(std::span<const Bytes> packets) {
    planTunWrites(packets, writes_);
    for (const auto& w : writes_) {
        if (w.count == 1 && packets[w.first].empty()) continue;
        if (fd_ < 0) {
            counters_.packetsDropped += w.count;
            continue;
        }
        // The payloads go to the kernel where they lie: one piece for the
        // header (and the rewritten headers of a run), one per packet.
        pieces_.clear();
        pieces_.push_back({const_cast<uint8_t*>(w.prefix), w.prefixLength});
        size_t total = w.prefixLength;
        for (size_t i = w.first; i < w.first + w.count; ++i) {
            const Bytes& p = packets[i];
            pieces_.push_back({const_cast<uint8_t*>(p.data()) + w.headerLength, p.size() - w.headerLength});
            total += p.size() - w.headerLength;
        }
        ssize_t n;
        do {
            n = ::writev(fd_, pieces_.data(), static_cast<int>(pieces_.size()));
        } while (n < 0 && errno == EINTR);
        if (n == static_cast<ssize_t>(total)) {
            counters_.packetsWritten += w.count;
            if (w.count > 1) ++counters_.coalescedWrites;
            continue;
        }
        counters_.packetsDropped += w.count;
        const std::string reason = n < 0 ? std::strerror(errno) : "short write";
        logRateLimited("tun write dropped " + std::to_string(w.count) + " packet(s) on " + name_ + ": " + reason,
                       &suppressedWriteLogs_);
    }
}

void TunPacketFlow::logRateLimited(const std::string& text, uint64_t* suppressed) {
    const auto now = std::chrono::steady_clock::now();
    if (lastLog_ != std::chrono::steady_clock::time_point{} && now - lastLog_ < std::chrono::seconds(1)) {
        ++*suppressed;
        return;
    }
    lastLog_ = now;
    std::string line = text;
    if (*suppressed > 0) line += " (" + std::to_string(*suppressed) + " similar messages suppressed)";
    *suppressed = 0;
    if (log_) log_->write("platform: " + line);
}

}  // namespace vantu
