#include "server/EchoResponder.h"
#include "base/Bytes.h"

#include <algorithm>

namespace vantu::server {

namespace {

constexpr uint8_t kProtoICMP = 1;
constexpr uint8_t kProtoUDP = 17;
constexpr uint8_t kICMPEchoRequest = 8;
constexpr uint8_t kICMPEchoReply = 0;

uint32_t sumWords(const uint8_t* data, size_t length, uint32_t sum) {
    size_t i = 0;
    for (; i + 1 < length; i += 2) sum += (uint32_t(data[i]) << 8) | data[i + 1];
    if (i < length) sum += uint32_t(data[i]) << 8;  // odd trailing byte, zero padded
    return sum;
}

void swapBytes(uint8_t* a, uint8_t* b, size_t n) { std::swap_ranges(a, a + n, b); }

}  // namespace

uint16_t internetChecksum(const uint8_t* data, size_t length, uint32_t partial) {
    uint64_t sum = sumWords(data, length, partial);
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(~sum & 0xffff);
}

std::optional<Bytes> EchoResponder::reply(const Bytes& packet) {
    if (packet.size() < 20 || (packet[0] >> 4) != 4) return std::nullopt;
    const size_t headerLength = size_t(packet[0] & 0x0f) * 4;
    const size_t totalLength = readBE16(&packet[2]);
    if (headerLength < 20 || totalLength < headerLength || totalLength > packet.size()) return std::nullopt;
    // A fragment cannot be answered on its own: its checksum covers the
    // whole datagram.
    const uint16_t fragment = readBE16(&packet[6]);
    if ((fragment & 0x3fff) != 0) return std::nullopt;

    Bytes out(packet.begin(), packet.begin() + static_cast<std::ptrdiff_t>(totalLength));
    uint8_t* ip = out.data();
    uint8_t* l4 = ip + headerLength;
    const size_t l4Length = totalLength - headerLength;

    if (ip[9] == kProtoICMP) {
        if (l4Length < 8 || l4[0] != kICMPEchoRequest) return std::nullopt;
        l4[0] = kICMPEchoReply;
        l4[1] = 0;
        writeBE16(l4 + 2, 0);
        writeBE16(l4 + 2, internetChecksum(l4, l4Length));
    } else if (ip[9] == kProtoUDP) {
        if (l4Length < 8 || readBE16(l4 + 4) != l4Length) return std::nullopt;
        swapBytes(l4, l4 + 2, 2);
    } else {
        return std::nullopt;
    }

    swapBytes(ip + 12, ip + 16, 4);
    ip[8] = 64;  // a fresh TTL, as a reply originates here
    writeBE16(ip + 10, 0);
    writeBE16(ip + 10, internetChecksum(ip, headerLength));

    if (ip[9] == kProtoUDP) {
        // Pseudo header: source, destination, zero, protocol, UDP length.
        uint32_t pseudo = sumWords(ip + 12, 8, 0);
        pseudo += kProtoUDP;
        pseudo += static_cast<uint32_t>(l4Length);
        writeBE16(l4 + 6, 0);
        uint16_t sum = internetChecksum(l4, l4Length, pseudo);
        if (sum == 0) sum = 0xffff;  // zero means "no checksum" in UDP
        writeBE16(l4 + 6, sum);
    }
    return out;
}

void EchoResponder::deliver(const Bytes& packet) {
    auto answer = reply(packet);
    if (!answer) {
        ++ignored_;
        return;
    }
    if (packet[9] == kProtoICMP) {
        ++echoedICMP_;
    } else {
        ++echoedUDP_;
    }
    if (sendToClients) sendToClients(*answer);
}

}  // namespace vantu::server
