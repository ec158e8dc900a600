#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <vector>

namespace vantu {

using Bytes = std::vector<uint8_t>;

// Every multi-byte integer on the wire is big-endian.
inline void appendBE(Bytes& out, uint32_t value) {
    out.push_back(static_cast<uint8_t>(value >> 24));
    out.push_back(static_cast<uint8_t>(value >> 16));
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void appendBE(Bytes& out, uint16_t value) {
    out.push_back(static_cast<uint8_t>(value >> 8));
    out.push_back(static_cast<uint8_t>(value));
}

inline void writeBE16(uint8_t* p, uint16_t value) {
    p[0] = static_cast<uint8_t>(value >> 8);
    p[1] = static_cast<uint8_t>(value);
}

inline uint32_t readBE32(const uint8_t* p) {
    return (uint32_t(p[0]) << 24) | (uint32_t(p[1]) << 16) | (uint32_t(p[2]) << 8) | uint32_t(p[3]);
}

inline uint16_t readBE16(const uint8_t* p) { return static_cast<uint16_t>((p[0] << 8) | p[1]); }

// The first maxBytes bytes as lower-case hex digits without separators.
inline std::string hexPrefix(const Bytes& bytes, size_t maxBytes) {
    static const char* digits = "0123456789abcdef";
    std::string out;
    const size_t n = bytes.size() < maxBytes ? bytes.size() : maxBytes;
    out.reserve(n * 2);
    for (size_t i = 0; i < n; ++i) {
        out.push_back(digits[bytes[i] >> 4]);
        out.push_back(digits[bytes[i] & 0x0f]);
    }
    return out;
}

inline Bytes bytesOf(const std::string& text) { return Bytes(text.begin(), text.end()); }

}  // namespace vantu
