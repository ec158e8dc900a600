// The direct core's codecs on arbitrary packets: parsing never reads out of
// bounds, and whatever parses can be answered with a packet whose checksums
// verify.

#include <cstddef>
#include <cstdint>
#include <cstdlib>

#include "directcore/codec/DirectCodec.h"

using namespace vantu;

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    const Bytes packet(data, data + size);
    if (auto datagram = DirectUDPCore::datagram(packet)) {
        auto reply = DirectUDPCore::responsePacket(datagram->payload.data(), datagram->payload.size(), datagram->key);
        if (!reply || DirectCodec::ipv4Checksum(reply->data(), 20) != 0) std::abort();
    }
    if (auto segment = DirectTCPCore::segment(packet)) {
        auto reply = DirectTCPCore::responsePacket(segment->payload.data(), segment->payload.size(), segment->flags,
                                                   segment->acknowledgement, segment->sequence,
                                                   segment->maxSegmentSize, segment->key);
        if (!reply) std::abort();
        const Bytes& r = *reply;
        if (DirectCodec::ipv4Checksum(r.data(), 20) != 0 ||
            DirectCodec::tcpChecksum(r.data(), 20, r.size() - 20, &r[12], &r[16]) != 0) {
            std::abort();
        }
    }
    return 0;
}
