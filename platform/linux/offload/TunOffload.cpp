#include "platform/linux/offload/TunOffload.h"

#include <algorithm>
#include <bit>
#include <cstring>

namespace vantu {

namespace {

constexpr uint8_t kTCP = 6;
constexpr uint8_t kFIN = 0x01;
constexpr uint8_t kPSH = 0x08;
constexpr uint8_t kACK = 0x10;
constexpr uint8_t kCWR = 0x80;
constexpr size_t kIPv4HeaderMin = 20;
constexpr size_t kTCPHeaderMin = 20;

uint16_t load16(const uint8_t* p) { return static_cast<uint16_t>(p[0] << 8 | p[1]); }
uint32_t load32(const uint8_t* p) {
    return static_cast<uint32_t>(p[0]) << 24 | static_cast<uint32_t>(p[1]) << 16 | static_cast<uint32_t>(p[2]) << 8 |
           p[3];
}
void store16(uint8_t* p, uint16_t v) {
    p[0] = static_cast<uint8_t>(v >> 8);
    p[1] = static_cast<uint8_t>(v);
}
void store32(uint8_t* p, uint32_t v) {
    p[0] = static_cast<uint8_t>(v >> 24);
    p[1] = static_cast<uint8_t>(v >> 16);
    p[2] = static_cast<uint8_t>(v >> 8);
    p[3] = static_cast<uint8_t>(v);
}

uint16_t fold(uint64_t sum) {
    while (sum >> 16) sum = (sum & 0xffff) + (sum >> 16);
    return static_cast<uint16_t>(sum);
}

// Sum of the pseudo-header of a TCP or UDP segment of `length` bytes.
uint32_t pseudoHeaderSum(const uint8_t* ip, uint8_t protocol, size_t length) {
    return static_cast<uint32_t>(load16(ip + 12)) + load16(ip + 14) + load16(ip + 16) + load16(ip + 18) + protocol +
           static_cast<uint32_t>(length);
}

void setIPv4Checksum(uint8_t* ip, size_t headerLength) {
    store16(ip + 10, 0);
    store16(ip + 10, static_cast<uint16_t>(~onesComplementSum(ip, headerLength)));
}

// The slot for the next output packet, reusing an element's capacity.
Bytes& slot(std::vector<Bytes>& out, size_t index) {
    if (index < out.size()) return out[index];
    return out.emplace_back();
}

// Where an IPv4/TCP packet's parts lie; ok is false when it is none.
struct TCPv4Layout {
    bool ok = false;
    size_t ipHeader = 0;
    size_t headers = 0;  // IP and TCP headers
};

TCPv4Layout tcpv4Layout(const uint8_t* p, size_t n) {
    TCPv4Layout l;
    if (n < kIPv4HeaderMin || (p[0] >> 4) != 4 || p[9] != kTCP) return l;
    l.ipHeader = static_cast<size_t>(p[0] & 0x0f) * 4;
    if (l.ipHeader < kIPv4HeaderMin || n < l.ipHeader + kTCPHeaderMin) return l;
    const size_t tcpHeader = static_cast<size_t>(p[l.ipHeader + 12] >> 4) * 4;
    if (tcpHeader < kTCPHeaderMin || n < l.ipHeader + tcpHeader) return l;
    if ((load16(p + 6) & 0x3fff) != 0) return l;  // a fragment (MF or an offset)
    l.headers = l.ipHeader + tcpHeader;
    l.ok = true;
    return l;
}

TunReadResult splitTCPv4(const virtio_net_hdr& header, const uint8_t* p, size_t n, std::vector<Bytes>& out,
                         size_t& used) {
    const TCPv4Layout l = tcpv4Layout(p, n);
    const size_t segment = header.gso_size;
    if (!l.ok || segment == 0) return {TunReadStatus::malformed, 0};
    const size_t payload = n - l.headers;
    const size_t segments = payload == 0 ? 1 : (payload + segment - 1) / segment;
    const uint16_t id = load16(p + 4);
    const uint32_t sequence = load32(p + l.ipHeader + 4);
    const uint8_t flags = p[l.ipHeader + 13];
    for (size_t i = 0; i < segments; ++i) {
        const size_t offset = i * segment;
        const size_t length = std::min(segment, payload - offset);
        Bytes& o = slot(out, used + i);
        o.resize(l.headers + length);
        std::memcpy(o.data(), p, l.headers);
        std::memcpy(o.data() + l.headers, p + l.headers + offset, length);
        uint8_t* ip = o.data();
        uint8_t* tcp = ip + l.ipHeader;
        store16(ip + 2, static_cast<uint16_t>(o.size()));
        store16(ip + 4, static_cast<uint16_t>(id + i));
        setIPv4Checksum(ip, l.ipHeader);
        store32(tcp + 4, sequence + static_cast<uint32_t>(offset));
        uint8_t f = flags;
        if (i + 1 < segments) f &= static_cast<uint8_t>(~(kFIN | kPSH));
        if (i > 0) f &= static_cast<uint8_t>(~kCWR);
        tcp[13] = f;
        store16(tcp + 16, 0);
        const size_t tcpLength = o.size() - l.ipHeader;
        store16(tcp + 16, static_cast<uint16_t>(~onesComplementSum(tcp, tcpLength, pseudoHeaderSum(ip, kTCP, tcpLength))));
    }
    used += segments;
    return {TunReadStatus::packets, segments};
}

}  // namespace

uint16_t onesComplementSum(const uint8_t* data, size_t size, uint32_t initial) {
    // Summed in native 64-bit words with the carries kept in the upper half
    // of a 128-bit accumulator (add with carry): the one's complement sum
    // does not depend on byte order or word width, so only the folded result
    // needs swapping. Every segment cut or coalesced passes through here.
    unsigned __int128 wide = 0;
    size_t i = 0;
    for (; i + 32 <= size; i += 32) {
        uint64_t w[4];
        std::memcpy(w, data + i, 32);
        wide += w[0];
        wide += w[1];
        wide += w[2];
        wide += w[3];
    }
    for (; i + 8 <= size; i += 8) {
        uint64_t w;
        std::memcpy(&w, data + i, 8);
        wide += w;
    }
    uint64_t sum = static_cast<uint64_t>(wide >> 64);
    const uint64_t low = static_cast<uint64_t>(wide);
    sum = (sum & 0xffffffff) + (sum >> 32) + (low & 0xffffffff) + (low >> 32);
    for (; i + 2 <= size; i += 2) {
        uint16_t w;
        std::memcpy(&w, data + i, 2);
        sum += w;
    }
    if (i < size) {
        const uint8_t last[2] = {data[i], 0};
        uint16_t w;
        std::memcpy(&w, last, 2);
        sum += w;
    }
    uint16_t folded = fold(sum);
    if constexpr (std::endian::native == std::endian::little) folded = static_cast<uint16_t>(folded >> 8 | folded << 8);
    return fold(static_cast<uint64_t>(folded) + initial);
}

TunReadResult splitTunRead(const uint8_t* read, size_t size, std::vector<Bytes>& out, size_t& used) {
    if (size < kVirtioHeaderSize) return {TunReadStatus::malformed, 0};
    virtio_net_hdr header;
    std::memcpy(&header, read, sizeof header);
    const uint8_t* p = read + kVirtioHeaderSize;
    const size_t n = size - kVirtioHeaderSize;
    switch (header.gso_type & ~VIRTIO_NET_HDR_GSO_ECN) {
        case VIRTIO_NET_HDR_GSO_NONE: break;
        case VIRTIO_NET_HDR_GSO_TCPV4: return splitTCPv4(header, p, n, out, used);
        case VIRTIO_NET_HDR_GSO_TCPV6: return {TunReadStatus::droppedIPv6, 0};
        default: return {TunReadStatus::malformed, 0};
    }
    if (n == 0) return {TunReadStatus::malformed, 0};
    Bytes& o = slot(out, used);
    o.assign(p, p + n);
    if (header.flags & VIRTIO_NET_HDR_F_NEEDS_CSUM) {
        // The field holds the pseudo-header's sum; the rest is summed here,
        // as a device without checksum offload would have done.
        const size_t start = header.csum_start;
        const size_t field = start + header.csum_offset;
        if (field + 2 > n) {
            o.clear();
            return {TunReadStatus::malformed, 0};
        }
        const uint16_t sum = static_cast<uint16_t>(~onesComplementSum(o.data() + start, n - start));
        store16(o.data() + field, sum == 0 ? 0xffff : sum);
    }
    ++used;
    return {TunReadStatus::packets, 1};
}

// ------------------------------------------------------------------ writing

size_t TunWrite::bytes(std::span<const Bytes> packets) const {
    size_t total = prefixLength;
    for (size_t i = first; i < first + count; ++i) total += packets[i].size() - headerLength;
    return total;
}

namespace {

// A packet that may take part in a coalesced run, with the figures the run
// compares.
struct Segment {
    bool ok = false;
    size_t headers = 0;
    size_t payload = 0;
    uint32_t sequence = 0;
    uint8_t flags = 0;
};

Segment segmentOf(const Bytes& packet) {
    Segment s;
    const uint8_t* p = packet.data();
    const TCPv4Layout l = tcpv4Layout(p, packet.size());
    // IP options would have to be equal too and are rare enough not to bother.
    if (!l.ok || l.ipHeader != kIPv4HeaderMin || load16(p + 2) != packet.size()) return s;
    s.flags = p[l.ipHeader + 13];
    if (s.flags != kACK && s.flags != (kACK | kPSH)) return s;
    s.headers = l.headers;
    s.payload = packet.size() - l.headers;
    if (s.payload == 0) return s;
    // A coalesced write gets its checksums made anew, which would hide a
    // segment damaged before it was sealed: only intact ones are merged.
    if (onesComplementSum(p, kIPv4HeaderMin) != 0xffff) return s;
    const size_t tcpLength = packet.size() - kIPv4HeaderMin;
    if (onesComplementSum(p + kIPv4HeaderMin, tcpLength, pseudoHeaderSum(p, kTCP, tcpLength)) != 0xffff) return s;
    s.sequence = load32(p + kIPv4HeaderMin + 4);
    s.ok = true;
    return s;
}

// Whether `next` continues the flow of `first`: headers equal except the IP
// id, length and checksum, and the TCP sequence number, flags and checksum.
bool sameFlowHeaders(const Bytes& first, const Bytes& next, size_t headers) {
    const uint8_t* a = first.data();
    const uint8_t* b = next.data();
    const uint8_t* ta = a + kIPv4HeaderMin;
    const uint8_t* tb = b + kIPv4HeaderMin;
    return std::memcmp(a, b, 2) == 0 &&                                    // version, IHL, TOS
           std::memcmp(a + 6, b + 6, 4) == 0 &&                            // DF/fragment, TTL, protocol
           std::memcmp(a + 12, b + 12, 8) == 0 &&                          // addresses
           std::memcmp(ta, tb, 4) == 0 &&                                  // ports
           std::memcmp(ta + 8, tb + 8, 5) == 0 &&                          // acknowledgement, data offset
           std::memcmp(ta + 14, tb + 14, 2) == 0 &&                        // window
           std::memcmp(ta + 18, tb + 18, 2) == 0 &&                        // urgent pointer
           std::memcmp(ta + 20, tb + 20, headers - kIPv4HeaderMin - 20) == 0;  // options
}

void coalescedPrefix(TunWrite& w, std::span<const Bytes> packets, size_t segment, size_t total, bool push) {
    const Bytes& first = packets[w.first];
    virtio_net_hdr header{};
    header.flags = VIRTIO_NET_HDR_F_NEEDS_CSUM;
    header.gso_type = VIRTIO_NET_HDR_GSO_TCPV4;
    header.hdr_len = static_cast<uint16_t>(w.headerLength);
    header.gso_size = static_cast<uint16_t>(segment);
    header.csum_start = kIPv4HeaderMin;
    header.csum_offset = 16;
    std::memcpy(w.prefix, &header, sizeof header);
    uint8_t* ip = w.prefix + kVirtioHeaderSize;
    std::memcpy(ip, first.data(), w.headerLength);
    store16(ip + 2, static_cast<uint16_t>(total));
    setIPv4Checksum(ip, kIPv4HeaderMin);
    uint8_t* tcp = ip + kIPv4HeaderMin;
    if (push) tcp[13] |= kPSH;
    // The kernel finishes the checksum of each segment it cuts from the
    // pseudo-header sum over the whole run, left uncomplemented here.
    store16(tcp + 16, fold(pseudoHeaderSum(ip, kTCP, total - kIPv4HeaderMin)));
    w.prefixLength = kVirtioHeaderSize + w.headerLength;
}

}  // namespace

void planTunWrites(std::span<const Bytes> packets, std::vector<TunWrite>& writes) {
    writes.clear();
    size_t i = 0;
    while (i < packets.size()) {
        TunWrite& w = writes.emplace_back();
        w.first = i;
        const Segment head = segmentOf(packets[i]);
        size_t end = i + 1;
        if (head.ok && head.flags == kACK) {
            size_t total = packets[i].size();
            Segment last = head;
            while (end < packets.size() && end - i < kMaxCoalescedSegments) {
                const Segment s = segmentOf(packets[end]);
                if (!s.ok || s.headers != head.headers || s.payload > head.payload ||
                    s.sequence != last.sequence + static_cast<uint32_t>(last.payload) ||
                    total + s.payload > kMaxTunWrite || !sameFlowHeaders(packets[i], packets[end], head.headers)) {
                    break;
                }
                total += s.payload;
                last = s;
                ++end;
                // A shorter segment or one with PSH can only end a run.
                if (s.payload < head.payload || s.flags != kACK) break;
            }
            if (end - i > 1) {
                w.count = end - i;
                w.headerLength = head.headers;
                coalescedPrefix(w, packets, head.payload, total, last.flags & kPSH);
            }
        }
        i = end;
    }
}

void flattenTunWrite(const TunWrite& write, std::span<const Bytes> packets, Bytes& out) {
    out.assign(write.prefix, write.prefix + write.prefixLength);
    for (size_t i = write.first; i < write.first + write.count; ++i) {
        out.insert(out.end(), packets[i].begin() + static_cast<ptrdiff_t>(write.headerLength), packets[i].end());
    }
}

}  // namespace vantu
