#pragma once

// The byte work of a TUN device opened with a virtio-net header
// (IFF_VNET_HDR), which lets the kernel hand over TCP super-packets of up to
// 64 KiB and take them back, instead of one system call per MTU-sized packet.
//
// Reading: splitTunRead() turns one read (header + packet) into the ordinary
// IPv4 packets the kernel would have sent without offloads, so that everything
// after the read sees exactly what it saw before. Writing: planTunWrites()
// groups runs of adjacent TCP segments of one flow into one write carrying a
// TCP segmentation request; every other packet is written alone.
//
// Pure functions of their input: no device, no state between calls.

// The kernel's header names a member of its control header `class`, which
// C++ cannot parse; that struct is never used here.
#define class class_
#include <linux/virtio_net.h>
#undef class

#include <cstddef>
#include <cstdint>
#include <span>
#include <vector>

#include "base/Bytes.h"

namespace vantu {

inline constexpr size_t kVirtioHeaderSize = sizeof(virtio_net_hdr);
// Largest write the device takes in one piece (the IPv4 total length field).
inline constexpr size_t kMaxTunWrite = 65535;
// At most this many segments go into one coalesced write: bounds the pieces
// of one writev and what a single failed write loses.
inline constexpr size_t kMaxCoalescedSegments = 64;

// ------------------------------------------------------------------ reading

enum class TunReadStatus {
    packets,       // `count` packets were added
    droppedIPv6,   // an IPv6 super-packet; the tunnel carries IPv4 only
    malformed,     // header and packet disagree, or an offload we never asked for
};

struct TunReadResult {
    TunReadStatus status = TunReadStatus::packets;
    size_t count = 0;
};

// Cuts one read (virtio_net_hdr followed by the packet) into ordinary packets:
//  - no segmentation request: the packet itself, with a partial checksum
//    (VIRTIO_NET_HDR_F_NEEDS_CSUM) completed;
//  - GSO_TCPV4: IPv4/TCP packets of gso_size payload each, with their own
//    total length, IP id (incremented), header checksum, sequence number and
//    TCP checksum; FIN and PSH stay on the last, CWR on the first only.
// The packets go into out[used], out[used + 1], ...: elements that already
// exist are overwritten in place (their capacity is reused), missing ones are
// appended; `used` advances by the count. Nothing is added unless the status
// is `packets`.
TunReadResult splitTunRead(const uint8_t* read, size_t size, std::vector<Bytes>& out, size_t& used);

// ------------------------------------------------------------------ writing

// One write to the device: a prefix (the virtio header, and for a coalesced
// run the first segment's headers rewritten for the whole run), then the
// payloads of packets[first, first + count), each without its first
// `headerLength` bytes. A packet written alone has a zero virtio header,
// headerLength 0 and count 1: prefix + packet is the write.
struct TunWrite {
    size_t first = 0;
    size_t count = 1;
    size_t headerLength = 0;
    size_t prefixLength = kVirtioHeaderSize;
    uint8_t prefix[kVirtioHeaderSize + 60 + 60] = {};

    size_t bytes(std::span<const Bytes> packets) const;
};

// Plans the writes of a batch, in the batch's order. A run of packets is
// coalesced when they are consecutive segments of one TCP flow: IPv4 without
// options or fragmentation, the same addresses, ports, acknowledgement,
// window and TCP options, IP header fields equal but for id, length and
// checksum, contiguous sequence numbers, ACK alone as flags (PSH allowed on
// the last), every payload but the last of the first one's size, valid
// checksums, and the whole at most kMaxTunWrite bytes. `writes` is cleared
// first; its capacity is reused.
void planTunWrites(std::span<const Bytes> packets, std::vector<TunWrite>& writes);

// The write as one contiguous buffer (prefix and pieces), replacing `out`.
void flattenTunWrite(const TunWrite& write, std::span<const Bytes> packets, Bytes& out);

// ------------------------------------------------------------------ checksums

// The RFC 1071 sum of `size` bytes folded to 16 bits (not complemented), as
// the value of big-endian 16-bit words, starting from `initial`.
uint16_t onesComplementSum(const uint8_t* data, size_t size, uint32_t initial = 0);

}  // namespace vantu
