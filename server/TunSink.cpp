#include "server/TunSink.h"

#include <arpa/inet.h>
#include <fcntl.h>
#include <linux/if.h>
#include <linux/if_tun.h>
#include <poll.h>
#include <sys/eventfd.h>
#include <sys/ioctl.h>
#include <unistd.h>

#include <netlink/addr.h>
#include <netlink/netlink.h>
#include <netlink/route/addr.h>
#include <netlink/route/link.h>
#include <netlink/socket.h>

#include <cerrno>
#include <cstdlib>
#include <cstring>
#include <fstream>
#include <sstream>
#include <memory>
#include <vector>

#include "base/VantuError.h"

namespace vantu::server {

namespace {

std::string errnoText(int error) { return std::strerror(error); }

std::string nlText(int error) { return nl_geterror(error); }

// Owners for the libnl objects used while configuring the device.
struct NlSocketDeleter {
    void operator()(nl_sock* s) const { nl_socket_free(s); }
};
struct RtnlLinkDeleter {
    void operator()(rtnl_link* l) const { rtnl_link_put(l); }
};
struct RtnlAddrDeleter {
    void operator()(rtnl_addr* a) const { rtnl_addr_put(a); }
};
struct NlAddrDeleter {
    void operator()(nl_addr* a) const { nl_addr_put(a); }
};

// Address, MTU and link state of the freshly created device, in one netlink
// session. The address goes on before the link comes up so that the subnet
// route appears together with the link.
void configureDevice(const std::string& name, const IPv4Subnet& subnet, int64_t mtu, int& ifindex) {
    std::unique_ptr<nl_sock, NlSocketDeleter> sock(nl_socket_alloc());
    if (!sock) throw VantuError("tun sink: cannot allocate a netlink socket");
    if (int rc = nl_connect(sock.get(), NETLINK_ROUTE); rc < 0) {
        throw VantuError("tun sink: cannot connect to rtnetlink: " + nlText(rc));
    }

    rtnl_link* rawLink = nullptr;
    if (int rc = rtnl_link_get_kernel(sock.get(), 0, name.c_str(), &rawLink); rc < 0) {
        throw VantuError("tun sink: cannot find device " + name + ": " + nlText(rc));
    }
    std::unique_ptr<rtnl_link, RtnlLinkDeleter> link(rawLink);
    ifindex = rtnl_link_get_ifindex(link.get());

    const std::string local = formatIPv4(subnet.serverAddress()) + "/" + std::to_string(subnet.prefix);
    nl_addr* rawLocal = nullptr;
    if (int rc = nl_addr_parse(local.c_str(), AF_INET, &rawLocal); rc < 0) {
        throw VantuError("tun sink: bad address " + local + ": " + nlText(rc));
    }
    std::unique_ptr<nl_addr, NlAddrDeleter> localAddr(rawLocal);
    std::unique_ptr<rtnl_addr, RtnlAddrDeleter> addr(rtnl_addr_alloc());
    if (!addr) throw VantuError("tun sink: cannot allocate an address object");
    rtnl_addr_set_ifindex(addr.get(), ifindex);
    rtnl_addr_set_family(addr.get(), AF_INET);
    if (int rc = rtnl_addr_set_local(addr.get(), localAddr.get()); rc < 0) {
        throw VantuError("tun sink: cannot set address " + local + ": " + nlText(rc));
    }
    if (int rc = rtnl_addr_add(sock.get(), addr.get(), 0); rc < 0) {
        throw VantuError("tun sink: cannot add address " + local + " to " + name + ": " + nlText(rc));
    }

    std::unique_ptr<rtnl_link, RtnlLinkDeleter> change(rtnl_link_alloc());
    if (!change) throw VantuError("tun sink: cannot allocate a link object");
    rtnl_link_set_mtu(change.get(), static_cast<unsigned int>(mtu));
    rtnl_link_set_flags(change.get(), IFF_UP);
    if (int rc = rtnl_link_change(sock.get(), link.get(), change.get(), 0); rc < 0) {
        throw VantuError("tun sink: cannot set MTU " + std::to_string(mtu) + " and bring " + name +
                         " up: " + nlText(rc));
    }
}

// VANTU_TUN_OFFLOAD=0 (or "off") keeps the plain mode, to compare the two.
bool offloadWanted() {
    const char* value = std::getenv("VANTU_TUN_OFFLOAD");
    if (!value) return true;
    const std::string v = value;
    return v != "0" && v != "off" && v != "no";
}

// Asks for the virtio-net header and TCP segmentation and checksum offload
// on a device already created with IFF_VNET_HDR; the refusal's text, or
// empty when the kernel agreed.
std::string enableOffloads(int fd) {
    const int headerSize = static_cast<int>(kVirtioHeaderSize);
    if (::ioctl(fd, TUNSETVNETHDRSZ, &headerSize) != 0) return "TUNSETVNETHDRSZ: " + errnoText(errno);
    if (::ioctl(fd, TUNSETOFFLOAD, static_cast<unsigned long>(TUN_F_CSUM | TUN_F_TSO4)) != 0) {
        return "TUNSETOFFLOAD: " + errnoText(errno);
    }
    return {};
}

bool validInterfaceName(const std::string& name) {
    if (name.empty() || name.size() >= IFNAMSIZ || name == "." || name == "..") return false;
    for (unsigned char c : name) {
        if (c <= ' ' || c == '/' || c == ':' || c >= 0x7f) return false;
    }
    return true;
}

}  // namespace

TunSink::TunSink(Options options) : options_(std::move(options)) {
    if (!validInterfaceName(options_.name)) {
        throw VantuError("tun sink: \"" + options_.name + "\" is not a valid interface name");
    }
    // With offloads first; a kernel that refuses them gets the plain device
    // (the half-made one goes with its descriptor, being non-persistent).
    for (bool offload : {offloadWanted(), false}) {
        fd_ = ::open("/dev/net/tun", O_RDWR | O_NONBLOCK | O_CLOEXEC);
        if (fd_ < 0) throw VantuError("tun sink: cannot open /dev/net/tun: " + errnoText(errno));
        ifreq request{};
        request.ifr_flags = IFF_TUN | IFF_NO_PI | (offload ? IFF_VNET_HDR : 0);
        std::strncpy(request.ifr_name, options_.name.c_str(), IFNAMSIZ - 1);
        if (::ioctl(fd_, TUNSETIFF, &request) < 0) {
            const int error = errno;
            ::close(fd_);
            fd_ = -1;
            if (offload && error == EINVAL) {
                offloadRefusal_ = "IFF_VNET_HDR: " + errnoText(error);
                continue;
            }
            throw VantuError("tun sink: cannot create device " + options_.name + ": " + errnoText(error));
        }
        name_ = request.ifr_name;
        if (offload) {
            offloadRefusal_ = enableOffloads(fd_);
            if (!offloadRefusal_.empty()) {
                ::close(fd_);
                fd_ = -1;
                continue;
            }
        }
        offload_ = offload;
        break;
    }

    try {
        configureDevice(name_, options_.subnet, options_.mtu, ifindex_);
    } catch (...) {
        ::close(fd_);
        fd_ = -1;
        throw;
    }

    wakeFD_ = ::eventfd(0, EFD_CLOEXEC | EFD_NONBLOCK);
    if (wakeFD_ < 0) {
        const int error = errno;
        ::close(fd_);
        fd_ = -1;
        throw VantuError("tun sink: cannot create an eventfd: " + errnoText(error));
    }
}

TunSink::~TunSink() {
    stop();
    if (wakeFD_ >= 0) ::close(wakeFD_);
    if (fd_ >= 0) ::close(fd_);
}

std::string TunSink::address() const { return formatIPv4(options_.subnet.serverAddress()); }

void TunSink::start() {
    std::lock_guard lock(lifecycle_);
    if (reader_.joinable()) return;
    reader_ = std::thread([this] { readLoop(); });
}

void TunSink::stop() {
    std::lock_guard lock(lifecycle_);
    if (!reader_.joinable()) return;
    const uint64_t one = 1;
    // The eventfd counter cannot overflow from a single write, so this
    // never fails in a way that would leave the reader polling.
    [[maybe_unused]] ssize_t n = ::write(wakeFD_, &one, sizeof one);
    reader_.join();
}

void TunSink::deliver(const Bytes& packet) {
    if (offload_) {
        if (gatheredCount_ == gathered_.size()) gathered_.emplace_back();
        gathered_[gatheredCount_++].assign(packet.begin(), packet.end());
        if (gatheredCount_ == kMaxGathered) writeGathered();
        return;
    }
    // The device takes one whole packet per write and never blocks: when its
    // queue is full the packet is lost like any other congestion drop.
    const ssize_t n = ::write(fd_, packet.data(), packet.size());
    if (n != static_cast<ssize_t>(packet.size())) {
        ++writeFailures_;
        return;
    }
    ++packetsIn_;
}

void TunSink::flush() {
    if (gatheredCount_ > 0) writeGathered();
}

void TunSink::writeGathered() {
    const std::span<const Bytes> packets(gathered_.data(), gatheredCount_);
    gatheredCount_ = 0;
    planTunWrites(packets, writes_);
    for (const auto& w : writes_) {
        if (w.count == 1 && packets[w.first].empty()) continue;
        pieces_.clear();
        pieces_.push_back({const_cast<uint8_t*>(w.prefix), w.prefixLength});
        for (size_t i = w.first; i < w.first + w.count; ++i) {
            const Bytes& p = packets[i];
            pieces_.push_back({const_cast<uint8_t*>(p.data()) + w.headerLength, p.size() - w.headerLength});
        }
        // As in the plain mode, a full queue loses the whole write like a
        // congestion drop.
        const ssize_t n = ::writev(fd_, pieces_.data(), static_cast<int>(pieces_.size()));
        if (n != static_cast<ssize_t>(w.bytes(packets))) {
            writeFailures_ += w.count;
            continue;
        }
        packetsIn_ += w.count;
        if (w.count > 1) ++coalescedWrites_;
    }
}

void TunSink::readLoop() {
    std::vector<uint8_t> buffer(kVirtioHeaderSize + 65536);
    // Offload reads are cut into these; their buffers are reused.
    std::vector<Bytes> segments;
    pollfd fds[2] = {{fd_, POLLIN, 0}, {wakeFD_, POLLIN, 0}};
    for (;;) {
        const int ready = ::poll(fds, 2, -1);
        if (ready < 0) {
            if (errno == EINTR) continue;
            return;
        }
        if (fds[1].revents != 0) return;
        // The device went away under us (deleted by hand): nothing more will
        // arrive, and polling on would spin.
        if (fds[0].revents & (POLLERR | POLLHUP | POLLNVAL)) return;
        // Drain what is queued before polling again.
        for (;;) {
            const ssize_t n = ::read(fd_, buffer.data(), buffer.size());
            if (n < 0) {
                if (errno == EINTR) continue;
                break;  // EAGAIN: drained; anything else: poll reports it
            }
            if (offload_) {
                size_t used = 0;
                const auto cut = splitTunRead(buffer.data(), static_cast<size_t>(n), segments, used);
                if (cut.status == TunReadStatus::droppedIPv6) ++nonIPv4Dropped_;
                if (cut.status == TunReadStatus::malformed) ++malformedReads_;
                if (cut.count > 1) ++superPacketsRead_;
                for (size_t i = 0; i < used; ++i) {
                    const Bytes& p = segments[i];
                    if (p.size() < 20 || (p[0] >> 4) != 4) {
                        ++nonIPv4Dropped_;
                        continue;
                    }
                    ++packetsOut_;
                    if (sendToClients) sendToClients(p);
                }
                continue;
            }
            if (n < 20 || (buffer[0] >> 4) != 4) {
                ++nonIPv4Dropped_;
                continue;
            }
            ++packetsOut_;
            if (sendToClients) sendToClients(Bytes(buffer.begin(), buffer.begin() + n));
        }
    }
}

std::optional<std::string> extractTunSinkName(nlohmann::json& document) {
    if (!document.is_object()) return std::nullopt;
    const bool hasName = document.contains("tun_name");
    const bool isTun = document.contains("packet_sink") && document["packet_sink"].is_string() &&
                       document["packet_sink"].get<std::string>() == "tun";
    if (!isTun) {
        if (hasName) throw ConfigError("tun_name is only used with \"packet_sink\": \"tun\"");
        return std::nullopt;
    }
    std::string name = "vantus0";
    if (hasName) {
        const auto& value = document["tun_name"];
        if (!value.is_string()) throw ConfigError(std::string("tun_name must be a string, not ") + value.type_name());
        name = value.get<std::string>();
        if (!validInterfaceName(name)) {
            throw ConfigError("tun_name must be an interface name of 1 to 15 characters without spaces, '/' or ':', "
                              "not \"" + name + "\"");
        }
        document.erase("tun_name");
    }
    document.erase("packet_sink");
    return name;
}

ServerConfig loadServerConfigWithSink(const std::string& path, std::optional<std::string>& tunName,
                                      const std::function<void(nlohmann::json&)>& extractMore) {
    std::ifstream in(path);
    if (!in) throw ConfigError("cannot read configuration file " + path);
    std::stringstream text;
    text << in.rdbuf();
    nlohmann::json document;
    try {
        document = nlohmann::json::parse(text.str());
    } catch (const nlohmann::json::parse_error& e) {
        throw ConfigError(path + " is not valid JSON: " + e.what());
    }
    try {
        tunName = extractTunSinkName(document);
        if (extractMore) extractMore(document);
        return ServerConfig::fromJSON(document);
    } catch (const ConfigError& e) {
        throw ConfigError(path + ": " + e.what());
    }
}

std::string tunSinkConfigHelp() {
    return R"(                             "tun" carries client packets on a TUN device that
                             holds the subnet's first address; the host forwards
                             them (enable net.ipv4.ip_forward and masquerade the
                             subnet, for example with nft)
  tun_name          string   the TUN device of "packet_sink": "tun" (default
                             "vantus0")
)";
}

}  // namespace vantu::server
