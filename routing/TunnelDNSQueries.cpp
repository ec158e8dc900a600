#include "routing/TunnelDNSQueries.h"

#include <algorithm>
#include <optional>

namespace vantu {

namespace {

constexpr size_t kDNSHeader = 12;
constexpr size_t kMaxNameLength = 255;

// The one question of a DNS message (name, type and class), letters
// lower-cased; nothing for another question count or a name that is
// compressed or runs out of bytes. A query's first name has nothing before
// it to point at, so its answer repeats it uncompressed too.
std::optional<Bytes> singleQuestion(const uint8_t* message, size_t size) {
    if (size < kDNSHeader || readBE16(message + 4) != 1) return std::nullopt;
    size_t end = kDNSHeader;
    while (true) {
        if (end >= size) return std::nullopt;
        const uint8_t length = message[end];
        if (length == 0) break;
        if (length > 63) return std::nullopt;
        end += 1 + length;
        if (end - kDNSHeader > kMaxNameLength) return std::nullopt;
    }
    end += 1 + 4;
    if (end > size) return std::nullopt;
    Bytes question(message + kDNSHeader, message + end);
    for (uint8_t& c : question) {
        if (c >= 'A' && c <= 'Z') c = static_cast<uint8_t>(c - 'A' + 'a');
    }
    return question;
}

}  // namespace

bool TunnelDNSQueries::expired(const Entry& entry, Instant now) const {
    // A wall clock set back makes an entry young again; it is dropped instead.
    return now < entry.sentAt || secondsBetween(entry.sentAt, now) >= kLifetime;
}

void TunnelDNSQueries::remember(const LocalDNSResolver::Query& query, Instant now) {
    while (!entries_.empty() && expired(entries_.front(), now)) entries_.pop_front();
    std::optional<Bytes> question = singleQuestion(query.dnsPayload.data(), query.dnsPayload.size());
    if (!question) return;
    if (entries_.size() >= kCapacity) {
        entries_.pop_front();
        ++evicted_;
    }
    Entry& entry = entries_.emplace_back();
    entry.client = query.sourceAddress;
    entry.server = query.destinationAddress;
    entry.clientPort = query.sourcePort;
    entry.serverPort = query.destinationPort;
    entry.id = readBE16(query.dnsPayload.data());
    entry.question = std::move(*question);
    entry.sentAt = now;
}

bool TunnelDNSQueries::takeAnswer(const Bytes& packet, Instant now) {
    while (!entries_.empty() && expired(entries_.front(), now)) entries_.pop_front();
    // Most packets from the tunnel are no DNS answer; they leave after a
    // few byte tests, and at once while no query is waiting.
    if (entries_.empty()) return false;
    const size_t n = packet.size();
    if (n < 28 || (packet[0] >> 4) != 4 || packet[9] != 17) return false;
    const size_t h = static_cast<size_t>(packet[0] & 0x0f) * 4;
    if (h < 20 || n < h + 8 + kDNSHeader) return false;
    const uint8_t* message = packet.data() + h + 8;
    if (!(readBE16(message + 2) & 0x8000)) return false;  // a query, not an answer
    const uint16_t serverPort = readBE16(&packet[h]), clientPort = readBE16(&packet[h + 2]);
    const uint16_t id = readBE16(message);

    std::optional<Bytes> question;  // read once, for the first entry on the same 5-tuple and ID
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        if (it->id != id || it->serverPort != serverPort || it->clientPort != clientPort ||
            !std::equal(it->server.begin(), it->server.end(), &packet[12]) ||
            !std::equal(it->client.begin(), it->client.end(), &packet[16]) || expired(*it, now)) {
            continue;
        }
        if (!question) question = singleQuestion(message, n - h - 8);
        if (!question) return false;
        if (*question != it->question) continue;
        entries_.erase(it);
        return true;
    }
    return false;
}

}  // namespace vantu
