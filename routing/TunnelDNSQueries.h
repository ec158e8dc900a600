#pragma once

// The DNS queries this client itself sent into the tunnel (the fallback when
// the outside upstream fails or is slow), kept so that their answers can be
// told from everything else that comes out of the tunnel from port 53. Only
// an answer on its query's own 5-tuple, with its DNS ID and its question,
// may teach direct routes. Any other DNS-shaped packet (crafted by another
// client of the server, or the answer of a DNS server an app asks through
// the tunnel) is delivered and teaches nothing: a learned route sends that
// address's traffic outside the tunnel, in clear.

#include <array>
#include <cstddef>
#include <cstdint>
#include <deque>

#include "base/Bytes.h"
#include "base/Time.h"
#include "routing/LocalDNSResolver.h"

namespace vantu {

class TunnelDNSQueries {
public:
    // As many as the outside upstream keeps in flight. A larger burst of
    // fallbacks pushes out the oldest: its answer still reaches the system,
    // it only teaches nothing.
    static constexpr size_t kCapacity = 256;
    // Longer than resolvers wait for an answer (glibc: 5 s per try), in
    // the work queue's time.
    static constexpr double kLifetime = 10.0;

    // Notes a query on its way into the tunnel. One whose question cannot be
    // compared (not exactly one question, or a compressed name) is not noted.
    void remember(const LocalDNSResolver::Query& query, Instant now);
    // Whether this IPv4 packet from the tunnel answers a noted query that has
    // not expired: from the address and port asked, to the asking port, with
    // the query's ID and question (names compared without regard to ASCII
    // case). The query is forgotten then: it teaches once.
    bool takeAnswer(const Bytes& packet, Instant now);

    bool empty() const { return entries_.empty(); }
    size_t size() const { return entries_.size(); }
    void clear() { entries_.clear(); }
    // Noted queries pushed out by the bound before their answer came.
    int64_t evicted() const { return evicted_; }

private:
    struct Entry {
        std::array<uint8_t, 4> client{}, server{};
        uint16_t clientPort = 0, serverPort = 0, id = 0;
        Bytes question;  // name, type and class, letters lower-cased
        Instant sentAt;
    };
    bool expired(const Entry& entry, Instant now) const;
    std::deque<Entry> entries_;
    int64_t evicted_ = 0;
};

}  // namespace vantu
