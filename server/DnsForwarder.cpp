#include "server/DnsForwarder.h"

#include <openssl/rand.h>

#include <asio/post.hpp>

#include <algorithm>

#include "base/Bytes.h"
#include "server/EchoResponder.h"
#include "server/ServerConfig.h"

namespace vantu::server {

namespace {

constexpr uint8_t kProtoUDP = 17;
constexpr uint16_t kDnsPort = 53;
constexpr size_t kDnsHeader = 12;

void putBE32(uint8_t* p, uint32_t v) {
    writeBE16(p, static_cast<uint16_t>(v >> 16));
    writeBE16(p + 2, static_cast<uint16_t>(v));
}

}  // namespace

DnsForwardingSink::DnsForwardingSink(Options options, std::shared_ptr<PacketSink> inner)
    : options_(std::move(options)), inner_(std::move(inner)), sweep_(io_) {
    options_.maxInFlight = std::clamp<size_t>(options_.maxInFlight, 1, 65536);
    // The inner sink's packets for clients take the same way out as ours.
    inner_->sendToClients = [this](const Bytes& packet) {
        if (sendToClients) sendToClients(packet);
    };
}

DnsForwardingSink::~DnsForwardingSink() {
    stop();
    inner_->sendToClients = nullptr;
}

void DnsForwardingSink::start() {
    if (started_) return;
    work_.emplace(io_.get_executor());
    scheduleSweep();
    started_ = true;
    thread_ = std::thread([this] { io_.run(); });
}

void DnsForwardingSink::stop() {
    if (!started_ || !thread_.joinable()) return;
    asio::post(io_, [this] {
        stopping_ = true;
        release(waiting_.size());
        waiting_.clear();  // closes every socket
        sweep_.cancel();
    });
    work_.reset();
    thread_.join();
}

void DnsForwardingSink::deliver(const Bytes& packet) {
    auto query = parseQuery(packet);
    if (!query) {
        inner_->deliver(packet);
        return;
    }
    if (pending_.fetch_add(1) >= options_.maxInFlight) {
        release(1);
        ++dropped_;
        return;
    }
    asio::post(io_, [this, query = std::move(*query)]() mutable { forward(std::move(query)); });
}

void DnsForwardingSink::release(size_t count) { pending_.fetch_sub(count); }

void DnsForwardingSink::forward(Query query) {
    auto entry = std::make_unique<Waiting>(io_);
    const auto end = questionEnd(query.payload.data(), query.payload.size());
    uint8_t id[2];
    std::error_code ec;
    if (stopping_ || !end || RAND_bytes(id, sizeof id) != 1) {
        ec = std::make_error_code(std::errc::invalid_argument);
    } else {
        // connect() binds the socket to a port of the kernel's choosing,
        // at random within the ephemeral range.
        entry->socket.open(options_.upstream.protocol(), ec);
        if (!ec) entry->socket.connect(options_.upstream, ec);
        if (!ec) entry->socket.non_blocking(true, ec);
    }
    if (!ec) {
        entry->originalID = readBE16(query.payload.data());
        entry->upstreamID = readBE16(id);
        entry->questionEnd = *end;
        entry->deadline = std::chrono::steady_clock::now() + options_.timeout;
        writeBE16(query.payload.data(), entry->upstreamID);
        entry->socket.send(asio::buffer(query.payload), 0, ec);
    }
    if (ec) {
        release(1);
        ++dropped_;
        return;
    }
    ++forwarded_;
    entry->query = std::move(query);
    const uint64_t key = nextKey_++;
    waiting_.emplace(key, std::move(entry));
    receive(key);
}

void DnsForwardingSink::receive(uint64_t key) {
    const auto it = waiting_.find(key);
    if (it == waiting_.end()) return;
    it->second->socket.async_wait(asio::socket_base::wait_read, [this, key](const std::error_code& ec) {
        auto it = waiting_.find(key);
        if (ec || it == waiting_.end()) return;
        for (;;) {
            std::error_code error;
            const size_t length = it->second->socket.receive(asio::buffer(rx_), 0, error);
            if (error == asio::error::would_block || error == asio::error::try_again) break;
            // Other errors (an ICMP port unreachable from a dead forwarder)
            // leave the query to its timeout.
            if (error) break;
            if (isAnswer(*it->second, length)) {
                answer(it, length);
                return;
            }
            ++mismatched_;
        }
        receive(key);
    });
}

bool DnsForwardingSink::isAnswer(const Waiting& waiting, size_t length) const {
    if (length < waiting.questionEnd || !(rx_[2] & 0x80) || readBE16(rx_.data()) != waiting.upstreamID) return false;
    // The question count and the questions as they were sent.
    const uint8_t* sent = waiting.query.payload.data();
    return std::equal(sent + 4, sent + 6, rx_.data() + 4) &&
           std::equal(sent + kDnsHeader, sent + waiting.questionEnd, rx_.data() + kDnsHeader);
}

void DnsForwardingSink::answer(std::unordered_map<uint64_t, std::unique_ptr<Waiting>>::iterator it, size_t length) {
    const std::unique_ptr<Waiting> entry = std::move(it->second);
    waiting_.erase(it);
    release(1);
    writeBE16(rx_.data(), entry->originalID);
    const Query& q = entry->query;
    // From where the client sent it: its resolver accepts nothing else.
    const Bytes reply = udpPacket(q.destination, kDnsPort, q.client, q.clientPort, rx_.data(), length);
    ++answered_;
    if (sendToClients) sendToClients(reply);
}

void DnsForwardingSink::scheduleSweep() {
    const auto interval = std::clamp<std::chrono::steady_clock::duration>(
        options_.timeout / 4, std::chrono::milliseconds(20), std::chrono::seconds(1));
    sweep_.expires_after(interval);
    sweep_.async_wait([this](const std::error_code& ec) {
        if (ec) return;
        const auto now = std::chrono::steady_clock::now();
        const size_t expired = std::erase_if(waiting_, [&](const auto& item) { return item.second->deadline <= now; });
        if (expired > 0) {
            release(expired);
            timedOut_ += expired;
        }
        scheduleSweep();
    });
}

std::optional<size_t> DnsForwardingSink::questionEnd(const uint8_t* message, size_t length) {
    if (length < kDnsHeader) return std::nullopt;
    size_t at = kDnsHeader;
    for (uint16_t question = 0, count = readBE16(message + 4); question < count; ++question) {
        for (;;) {
            if (at >= length) return std::nullopt;
            const uint8_t label = message[at];
            if (label == 0) {
                ++at;
                break;
            }
            if ((label & 0xC0) == 0xC0) {  // a pointer ends the name
                at += 2;
                break;
            }
            if (label & 0xC0) return std::nullopt;
            at += 1 + size_t{label};
        }
        at += 4;  // type and class
        if (at > length) return std::nullopt;
    }
    return at;
}

std::optional<DnsForwardingSink::Query> DnsForwardingSink::parseQuery(const Bytes& packet) {
    if (packet.size() < 20 || (packet[0] >> 4) != 4 || packet[9] != kProtoUDP) return std::nullopt;
    const size_t headerLength = size_t(packet[0] & 0x0f) * 4;
    const size_t totalLength = readBE16(&packet[2]);
    if (headerLength < 20 || totalLength < headerLength + 8 || totalLength > packet.size()) return std::nullopt;
    if ((readBE16(&packet[6]) & 0x3fff) != 0) return std::nullopt;  // a fragment
    const uint8_t* udp = packet.data() + headerLength;
    const size_t udpLength = readBE16(udp + 4);
    if (readBE16(udp + 2) != kDnsPort || udpLength < 8 || udpLength > totalLength - headerLength) return std::nullopt;
    const uint8_t* dns = udp + 8;
    const size_t dnsLength = udpLength - 8;
    if (dnsLength < kDnsHeader || (dns[2] & 0x80)) return std::nullopt;  // short, or a response
    Query query;
    query.client = readBE32(&packet[12]);
    query.destination = readBE32(&packet[16]);
    query.clientPort = readBE16(udp);
    query.payload.assign(dns, dns + dnsLength);
    return query;
}

Bytes DnsForwardingSink::udpPacket(uint32_t source, uint16_t sourcePort, uint32_t destination,
                                   uint16_t destinationPort, const uint8_t* payload, size_t length) {
    const size_t udpLength = 8 + length;
    Bytes out(20 + udpLength, 0);
    uint8_t* ip = out.data();
    ip[0] = 0x45;
    writeBE16(ip + 2, static_cast<uint16_t>(out.size()));
    writeBE16(ip + 6, 0x4000);  // don't fragment
    ip[8] = 64;
    ip[9] = kProtoUDP;
    putBE32(ip + 12, source);
    putBE32(ip + 16, destination);
    writeBE16(ip + 10, internetChecksum(ip, 20));
    uint8_t* udp = ip + 20;
    writeBE16(udp, sourcePort);
    writeBE16(udp + 2, destinationPort);
    writeBE16(udp + 4, static_cast<uint16_t>(udpLength));
    std::copy(payload, payload + length, udp + 8);
    // Pseudo header: addresses, protocol, UDP length.
    uint32_t pseudo = (source >> 16) + (source & 0xffff) + (destination >> 16) + (destination & 0xffff);
    pseudo += kProtoUDP + static_cast<uint32_t>(udpLength);
    uint16_t sum = internetChecksum(udp, udpLength, pseudo);
    if (sum == 0) sum = 0xffff;  // zero means "no checksum" in UDP
    writeBE16(udp + 6, sum);
    return out;
}

asio::ip::udp::endpoint parseDnsForwarder(const std::string& text) {
    const auto colon = text.find(':');
    const std::string host = text.substr(0, colon);
    int64_t port = kDnsPort;
    if (colon != std::string::npos) {
        const std::string portText = text.substr(colon + 1);
        if (portText.empty() || portText.size() > 5 || portText.find_first_not_of("0123456789") != std::string::npos)
            port = -1;
        else
            port = std::stoll(portText);
    }
    const auto address = parseIPv4(host);
    if (!address || port < 1 || port > 65535) {
        throw ConfigError("dns_forwarder must be an IPv4 address with an optional port (1 to 65535), such as "
                          "\"192.0.2.53\" or \"127.0.0.1:5353\", not \"" + text + "\"");
    }
    return {asio::ip::address_v4(*address), static_cast<uint16_t>(port)};
}

std::optional<asio::ip::udp::endpoint> extractDnsForwarder(nlohmann::json& document) {
    if (!document.is_object() || !document.contains("dns_forwarder")) return std::nullopt;
    const auto& value = document["dns_forwarder"];
    if (!value.is_string()) throw ConfigError(std::string("dns_forwarder must be a string, not ") + value.type_name());
    auto endpoint = parseDnsForwarder(value.get<std::string>());
    document.erase("dns_forwarder");
    return endpoint;
}

std::string dnsForwarderConfigHelp() {
    return R"(  dns_forwarder     string   "ADDRESS[:PORT]" (IPv4, port 53 by default): answer
                             every client packet that is UDP to port 53, whatever
                             its destination, by asking this resolver; the answer
                             comes back from the address the query was sent to.
                             Clients send their DNS queries into the tunnel when
                             their own upstream fails. At most 512 queries wait
                             at once; one unanswered after 4 s is dropped
                             (default: no forwarder, such packets go to the
                             packet sink like any other)
)";
}

}  // namespace vantu::server
