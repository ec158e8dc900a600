#include "directcore/codec/DirectCodec.h"

#include <algorithm>

namespace vantu {

namespace {

constexpr uint8_t kProtocolTCP = 6, kProtocolUDP = 17;

void put16(Bytes& b, size_t at, uint16_t v) {
    b[at] = static_cast<uint8_t>(v >> 8);
    b[at + 1] = static_cast<uint8_t>(v);
}
void put32(Bytes& b, size_t at, uint32_t v) {
    put16(b, at, static_cast<uint16_t>(v >> 16));
    put16(b, at + 2, static_cast<uint16_t>(v));
}

// The IPv4 header of a reply from the flow's remote end to its local end.
void writeIPv4Header(Bytes& p, uint8_t protocol, const DirectFlowKey& key) {
    p[0] = 0x45;
    put16(p, 2, static_cast<uint16_t>(p.size()));
    p[8] = 64;
    p[9] = protocol;
    put32(p, 12, key.destinationAddress);
    put32(p, 16, key.sourceAddress);
    put16(p, 10, DirectCodec::ipv4Checksum(p.data(), 20));
}

// Header length, if the packet is an unfragmented IPv4 packet of `protocol`
// whose total length is present and leaves room for `transportMinimum`.
std::optional<size_t> ipv4Payload(const Bytes& b, uint8_t protocol, size_t minimum, size_t transportMinimum,
                                  size_t& totalLength) {
    if (b.size() < minimum || (b[0] >> 4) != 4) return std::nullopt;
    const size_t ihl = static_cast<size_t>(b[0] & 0x0f) * 4;
    if (ihl < 20 || b.size() < ihl + transportMinimum || b[9] != protocol) return std::nullopt;
    if ((readBE16(&b[6]) & 0x3fff) != 0) return std::nullopt;  // a fragment
    totalLength = readBE16(&b[2]);
    if (totalLength < ihl + transportMinimum || b.size() < totalLength) return std::nullopt;
    return ihl;
}

}  // namespace

std::string dottedQuad(uint32_t a) {
    return std::to_string(a >> 24) + "." + std::to_string((a >> 16) & 0xff) + "." + std::to_string((a >> 8) & 0xff) +
           "." + std::to_string(a & 0xff);
}

std::string DirectFlowKey::destination() const {
    return dottedQuad(destinationAddress) + ":" + std::to_string(destinationPort);
}

std::string DirectFlowKey::description() const {
    return dottedQuad(sourceAddress) + ":" + std::to_string(sourcePort) + "->" + destination();
}

namespace DirectCodec {

uint32_t addWords(const uint8_t* bytes, size_t length, uint32_t sum) {
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += static_cast<uint32_t>(bytes[i] << 8 | bytes[i + 1]);
    if (i < length) sum += static_cast<uint32_t>(bytes[i] << 8);
    return sum;
}

uint16_t foldedChecksum(uint32_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum);
}

uint16_t ipv4Checksum(const uint8_t* bytes, size_t length) { return foldedChecksum(addWords(bytes, length, 0)); }

uint16_t tcpChecksum(const uint8_t* packet, size_t tcpStart, size_t tcpLength, const uint8_t* sourceAddress,
                     const uint8_t* destinationAddress) {
    uint32_t sum = addWords(sourceAddress, 4, 0);
    sum = addWords(destinationAddress, 4, sum);
    sum += kProtocolTCP;
    sum += static_cast<uint32_t>(tcpLength);
    return foldedChecksum(addWords(packet + tcpStart, tcpLength, sum));
}

}  // namespace DirectCodec

namespace DirectUDPCore {

std::optional<Datagram> datagram(const Bytes& b) {
    size_t total = 0;
    const std::optional<size_t> ihl = ipv4Payload(b, kProtocolUDP, 28, 8, total);
    if (!ihl) return std::nullopt;
    const size_t udpLength = readBE16(&b[*ihl + 4]);
    if (udpLength < 8 || *ihl + udpLength > total) return std::nullopt;
    Datagram d;
    d.key = {readBE32(&b[12]), readBE16(&b[*ihl]), readBE32(&b[16]), readBE16(&b[*ihl + 2])};
    d.payload.assign(b.begin() + static_cast<std::ptrdiff_t>(*ihl + 8),
                     b.begin() + static_cast<std::ptrdiff_t>(*ihl + udpLength));
    return d;
}

std::optional<Bytes> responsePacket(const uint8_t* payload, size_t length, const DirectUDPKey& key) {
    if (length > 65507) return std::nullopt;
    Bytes p(28 + length, 0);
    writeIPv4Header(p, kProtocolUDP, key);
    put16(p, 20, key.destinationPort);
    put16(p, 22, key.sourcePort);
    put16(p, 24, static_cast<uint16_t>(8 + length));
    // UDP checksum 0: none present, which IPv4 allows.
    std::copy(payload, payload + length, p.begin() + 28);
    return p;
}

}  // namespace DirectUDPCore

namespace DirectTCPCore {

std::optional<int> tcpMSS(const uint8_t* options, size_t length) {
    size_t i = 0;
    while (i < length) {
        const uint8_t kind = options[i];
        if (kind == 0) return std::nullopt;
        if (kind == 1) {
            ++i;
            continue;
        }
        if (i + 1 >= length) return std::nullopt;
        const size_t optionLength = options[i + 1];
        if (optionLength < 2 || i + optionLength > length) return std::nullopt;
        if (kind == 2 && optionLength == 4) return options[i + 2] * 256 + options[i + 3];
        i += optionLength;
    }
    return std::nullopt;
}

std::optional<Segment> segment(const Bytes& b) {
    size_t total = 0;
    const std::optional<size_t> ihl = ipv4Payload(b, kProtocolTCP, 40, 20, total);
    if (!ihl) return std::nullopt;
    const size_t dataOffset = static_cast<size_t>(b[*ihl + 12] >> 4) * 4;
    if (dataOffset < 20 || *ihl + dataOffset > total) return std::nullopt;
    Segment s;
    s.key = {readBE32(&b[12]), readBE16(&b[*ihl]), readBE32(&b[16]), readBE16(&b[*ihl + 2])};
    s.sequence = readBE32(&b[*ihl + 4]);
    s.acknowledgement = readBE32(&b[*ihl + 8]);
    s.flags = b[*ihl + 13];
    s.window = readBE16(&b[*ihl + 14]);
    s.payload.assign(b.begin() + static_cast<std::ptrdiff_t>(*ihl + dataOffset),
                     b.begin() + static_cast<std::ptrdiff_t>(total));
    s.maxSegmentSize = tcpMSS(&b[*ihl + 20], dataOffset - 20);
    return s;
}

std::optional<Bytes> responsePacket(const uint8_t* payload, size_t length, uint8_t flags, uint32_t sequence,
                                    uint32_t acknowledgement, std::optional<int> maxSegmentSize,
                                    const DirectTCPKey& key, uint16_t window) {
    if (length >= 65496) return std::nullopt;
    const bool mssOption = (flags & DirectTCPFlags::syn) && maxSegmentSize;
    const size_t h = mssOption ? 24 : 20;
    if (20 + h + length > 65535) return std::nullopt;
    Bytes p(20 + h + length, 0);
    writeIPv4Header(p, kProtocolTCP, key);
    put16(p, 20, key.destinationPort);
    put16(p, 22, key.sourcePort);
    put32(p, 24, sequence);
    put32(p, 28, acknowledgement);
    p[32] = static_cast<uint8_t>((h / 4) << 4);
    p[33] = flags;
    put16(p, 34, window);
    if (mssOption) {
        const int mss = std::clamp(*maxSegmentSize, 536, 65535);
        p[40] = 2;
        p[41] = 4;
        put16(p, 42, static_cast<uint16_t>(mss));
    }
    std::copy(payload, payload + length, p.begin() + static_cast<std::ptrdiff_t>(20 + h));
    put16(p, 36, DirectCodec::tcpChecksum(p.data(), 20, h + length, &p[12], &p[16]));
    return p;
}

std::optional<Bytes> resetPacket(uint32_t sequence, uint32_t acknowledgement, const DirectTCPKey& key) {
    return responsePacket(nullptr, 0, DirectTCPFlags::rst | DirectTCPFlags::ack, sequence, acknowledgement,
                          std::nullopt, key);
}

}  // namespace DirectTCPCore

}  // namespace vantu
