#include "routing/LocalDNSResolver.h"

#include <algorithm>
#include <string_view>

#include "base/Utf8.h"

namespace vantu::LocalDNSResolver {

namespace {

constexpr uint8_t kProtocolUDP = 17;
constexpr uint16_t kDNSPort = 53;
constexpr size_t kUDPHeaderLength = 8;
constexpr size_t kDNSHeaderLength = 12;
constexpr size_t kReplyHeadersLength = 28;  // IPv4 without options, UDP
constexpr size_t kLargestAnswer = 65535 - kReplyHeadersLength;

}  // namespace

std::optional<Query> query(const Bytes& packet) {
    const size_t n = packet.size();
    if (n < kReplyHeadersLength || (packet[0] >> 4) != 4) return std::nullopt;
    const size_t h = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (h < 20 || n < h + kUDPHeaderLength) return std::nullopt;
    if (packet[9] != kProtocolUDP) return std::nullopt;
    if (readBE16(&packet[h + 2]) != kDNSPort) return std::nullopt;
    const size_t udpLength = readBE16(&packet[h + 4]);
    if (udpLength < kUDPHeaderLength || h + udpLength > n) return std::nullopt;
    if (udpLength < kUDPHeaderLength + kDNSHeaderLength) return std::nullopt;
    // Answers (QR set) that happen to travel towards port 53 are not ours.
    if (readBE16(&packet[h + kUDPHeaderLength + 2]) & 0x8000) return std::nullopt;

    Query q;
    q.originalPacket = packet;
    q.dnsPayload.assign(packet.begin() + static_cast<std::ptrdiff_t>(h + kUDPHeaderLength),
                        packet.begin() + static_cast<std::ptrdiff_t>(h + udpLength));
    std::copy_n(packet.begin() + 12, 4, q.sourceAddress.begin());
    std::copy_n(packet.begin() + 16, 4, q.destinationAddress.begin());
    q.sourcePort = readBE16(&packet[h]);
    q.destinationPort = kDNSPort;
    q.identification = readBE16(&packet[4]);
    return q;
}

std::optional<std::string> questionName(const Bytes& dnsPayload) {
    if (dnsPayload.size() < kDNSHeaderLength || readBE16(&dnsPayload[4]) == 0) return std::nullopt;
    std::string name;
    size_t position = kDNSHeaderLength;
    while (position < dnsPayload.size()) {
        const size_t length = dnsPayload[position];
        if (length == 0) return name;
        // Compression pointers (and the reserved label types) have a length
        // byte above 63; a question name is never compressed in practice.
        if (length > 63 || position + 1 + length > dnsPayload.size()) return std::nullopt;
        if (position > kDNSHeaderLength) name += '.';
        name += replacingInvalidUTF8(
            std::string_view(reinterpret_cast<const char*>(&dnsPayload[position + 1]), length));
        position += 1 + length;
    }
    return std::nullopt;
}

std::string Query::debugName() const { return questionName(dnsPayload).value_or("unknown"); }

std::optional<Bytes> responsePacket(const Query& query, const Bytes& dnsPayload) {
    const size_t m = dnsPayload.size();
    if (m == 0 || m > kLargestAnswer) return std::nullopt;

    Bytes packet(kReplyHeadersLength + m, 0);
    packet[0] = 0x45;
    writeBE16(packet.data() + 2, static_cast<uint16_t>(kReplyHeadersLength + m));
    writeBE16(packet.data() + 4, query.identification);
    packet[8] = 64;
    packet[9] = kProtocolUDP;
    // The reply comes from whichever server the system asked.
    std::copy(query.destinationAddress.begin(), query.destinationAddress.end(), packet.begin() + 12);
    std::copy(query.sourceAddress.begin(), query.sourceAddress.end(), packet.begin() + 16);
    writeBE16(packet.data() + 10, ipv4Checksum(packet.data(), 20));
    writeBE16(packet.data() + 20, query.destinationPort);
    writeBE16(packet.data() + 22, query.sourcePort);
    writeBE16(packet.data() + 24, static_cast<uint16_t>(kUDPHeaderLength + m));
    // UDP checksum 0: none present, which IPv4 allows.
    std::copy(dnsPayload.begin(), dnsPayload.end(), packet.begin() + kReplyHeadersLength);
    return packet;
}

uint16_t ipv4Checksum(const uint8_t* header, size_t length) {
    uint32_t sum = 0;
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += static_cast<uint32_t>(header[i] << 8 | header[i + 1]);
    if (i < length) sum += static_cast<uint32_t>(header[i] << 8);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

}  // namespace vantu::LocalDNSResolver
