#pragma once

// Hand-built DNS messages and the IPv4/UDP packets that carry them.

#include <array>
#include <cstdint>
#include <string>
#include <vector>

#include "base/Bytes.h"

namespace vantu::testing {

inline void put16(Bytes& out, uint16_t v) {
    out.push_back(static_cast<uint8_t>(v >> 8));
    out.push_back(static_cast<uint8_t>(v));
}

// A name in wire form, uncompressed.
inline Bytes wireName(const std::string& name) {
    Bytes out;
    size_t start = 0;
    while (start < name.size()) {
        size_t dot = name.find('.', start);
        if (dot == std::string::npos) dot = name.size();
        out.push_back(static_cast<uint8_t>(dot - start));
        out.insert(out.end(), name.begin() + static_cast<long>(start), name.begin() + static_cast<long>(dot));
        start = dot + 1;
    }
    out.push_back(0);
    return out;
}

inline Bytes pointerTo(uint16_t offset) { return {static_cast<uint8_t>(0xc0 | (offset >> 8)), static_cast<uint8_t>(offset)}; }

struct DNSRecord {
    Bytes owner;  // wire form (a name, or a pointer)
    uint16_t type = 1, klass = 1;
    Bytes rdata;
};

inline DNSRecord aRecord(const Bytes& owner, std::array<uint8_t, 4> address) {
    return {owner, 1, 1, Bytes(address.begin(), address.end())};
}
inline DNSRecord cnameRecord(const Bytes& owner, const std::string& target) { return {owner, 5, 1, wireName(target)}; }

// A DNS message; `answerCount` overrides the count written in the header.
inline Bytes dnsMessage(uint16_t id, uint16_t flags, const std::vector<Bytes>& questions,
                        const std::vector<DNSRecord>& answers, int answerCount = -1) {
    Bytes m;
    put16(m, id);
    put16(m, flags);
    put16(m, static_cast<uint16_t>(questions.size()));
    put16(m, static_cast<uint16_t>(answerCount < 0 ? answers.size() : static_cast<size_t>(answerCount)));
    put16(m, 0);
    put16(m, 0);
    for (const Bytes& q : questions) {
        m.insert(m.end(), q.begin(), q.end());
        put16(m, 1);  // A
        put16(m, 1);  // IN
    }
    for (const DNSRecord& r : answers) {
        m.insert(m.end(), r.owner.begin(), r.owner.end());
        put16(m, r.type);
        put16(m, r.klass);
        put16(m, 0);
        put16(m, 300);  // TTL
        put16(m, static_cast<uint16_t>(r.rdata.size()));
        m.insert(m.end(), r.rdata.begin(), r.rdata.end());
    }
    return m;
}

inline Bytes dnsQueryMessage(uint16_t id, const std::string& name) {
    return dnsMessage(id, 0x0100, {wireName(name)}, {});
}
inline Bytes dnsAnswerMessage(uint16_t id, const std::string& name, const std::vector<DNSRecord>& answers) {
    return dnsMessage(id, 0x8180, {wireName(name)}, answers);
}

// An IPv4/UDP packet; `optionWords` 32-bit words of IPv4 options (NOPs).
inline Bytes udpPacket(std::array<uint8_t, 4> from, uint16_t fromPort, std::array<uint8_t, 4> to, uint16_t toPort,
                       const Bytes& payload, uint16_t identification = 0x1234, size_t optionWords = 0) {
    const size_t h = 20 + 4 * optionWords;
    Bytes p;
    p.push_back(static_cast<uint8_t>(0x40 | (h / 4)));
    p.push_back(0);
    put16(p, static_cast<uint16_t>(h + 8 + payload.size()));
    put16(p, identification);
    put16(p, 0x4000);
    p.push_back(64);
    p.push_back(17);
    put16(p, 0);
    p.insert(p.end(), from.begin(), from.end());
    p.insert(p.end(), to.begin(), to.end());
    p.resize(h, 0x01);
    put16(p, fromPort);
    put16(p, toPort);
    put16(p, static_cast<uint16_t>(8 + payload.size()));
    put16(p, 0);
    p.insert(p.end(), payload.begin(), payload.end());
    return p;
}

}  // namespace vantu::testing
