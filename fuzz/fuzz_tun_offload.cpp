// One TUN read as the kernel might hand it over (virtio-net header, then the
// packet): cutting it never reads out of bounds, every packet it yields is a
// whole IPv4 packet, and writing those packets back the way the device is
// written (runs coalesced) and cutting each write again gives the same
// packets, IP id and header checksum apart (a coalesced run leaves the ids to
// the kernel, which numbers them from the first).

#include <cstddef>
#include <cstdint>
#include <cstdlib>
#include <cstring>
#include <vector>

#include "platform/linux/offload/TunOffload.h"

using namespace vantu;

namespace {

bool sameButIPIdAndChecksum(const Bytes& a, const Bytes& b) {
    if (a.size() != b.size() || a.size() < 20) return false;
    for (size_t i = 0; i < a.size(); ++i) {
        if (i == 4 || i == 5 || i == 10 || i == 11) continue;
        if (a[i] != b[i]) return false;
    }
    return true;
}

}  // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::vector<Bytes> packets;
    size_t used = 0;
    const TunReadResult cut = splitTunRead(data, size, packets, used);
    if (cut.status != TunReadStatus::packets) {
        if (used != 0) std::abort();
        return 0;
    }
    if (used != cut.count) std::abort();
    packets.resize(used);
    // A segmentation request becomes IPv4 packets with their own lengths and
    // header checksums; anything else passes as it came.
    const bool segmented =
        size >= kVirtioHeaderSize && (data[1] & ~VIRTIO_NET_HDR_GSO_ECN) != VIRTIO_NET_HDR_GSO_NONE;
    for (const Bytes& p : packets) {
        if (!segmented) break;
        if (p.size() < 20 || (p[0] >> 4) != 4 || static_cast<size_t>((p[2] << 8) | p[3]) != p.size()) std::abort();
        if (onesComplementSum(p.data(), static_cast<size_t>(p[0] & 0x0f) * 4) != 0xffff) std::abort();
    }

    std::vector<TunWrite> writes;
    planTunWrites(packets, writes);
    size_t next = 0;
    Bytes flat;
    std::vector<Bytes> again;
    for (const TunWrite& w : writes) {
        if (w.first != next || w.count == 0 || w.first + w.count > packets.size()) std::abort();
        next += w.count;
        flattenTunWrite(w, packets, flat);
        if (flat.size() != w.bytes(packets) || flat.size() > kVirtioHeaderSize + kMaxTunWrite) std::abort();
        size_t n = 0;
        const TunReadResult back = splitTunRead(flat.data(), flat.size(), again, n);
        if (back.status != TunReadStatus::packets || n != w.count) std::abort();
        for (size_t i = 0; i < n; ++i) {
            const Bytes& original = packets[w.first + i];
            if (w.count == 1 ? again[i] != original : !sameButIPIdAndChecksum(again[i], original)) std::abort();
        }
    }
    if (next != packets.size()) std::abort();
    return 0;
}
