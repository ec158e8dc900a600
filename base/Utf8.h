#pragma once

// UTF-8 validation and repair. Texts that peers send (DNS labels, control
// responses, error messages) end up in events, logs and the store, all of
// which must hold valid UTF-8; invalid sequences become U+FFFD.

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace vantu {

// The length of the well-formed UTF-8 sequence starting at s[i], or 0 when
// the bytes there are not one (overlong forms, surrogates and code points
// above U+10FFFF included).
inline size_t utf8SequenceLength(std::string_view s, size_t i) {
    const auto byte = [&](size_t k) { return static_cast<uint8_t>(s[k]); };
    const uint8_t b0 = byte(i);
    if (b0 < 0x80) return 1;
    size_t length = 0;
    uint8_t low = 0x80, high = 0xbf;  // allowed range of the second byte
    if (b0 >= 0xc2 && b0 <= 0xdf) {
        length = 2;
    } else if (b0 >= 0xe0 && b0 <= 0xef) {
        length = 3;
        if (b0 == 0xe0) low = 0xa0;   // overlong
        if (b0 == 0xed) high = 0x9f;  // surrogates
    } else if (b0 >= 0xf0 && b0 <= 0xf4) {
        length = 4;
        if (b0 == 0xf0) low = 0x90;   // overlong
        if (b0 == 0xf4) high = 0x8f;  // above U+10FFFF
    } else {
        return 0;
    }
    if (i + length > s.size()) return 0;
    if (byte(i + 1) < low || byte(i + 1) > high) return 0;
    for (size_t k = 2; k < length; ++k) {
        if ((byte(i + k) & 0xc0) != 0x80) return 0;
    }
    return length;
}

inline bool isValidUTF8(std::string_view s) {
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8SequenceLength(s, i);
        if (n == 0) return false;
        i += n;
    }
    return true;
}

// Each maximal invalid piece becomes one U+FFFD; valid text comes back as is.
inline std::string replacingInvalidUTF8(std::string_view s) {
    std::string out;
    out.reserve(s.size());
    bool inInvalid = false;
    for (size_t i = 0; i < s.size();) {
        const size_t n = utf8SequenceLength(s, i);
        if (n == 0) {
            if (!inInvalid) out += "\xEF\xBF\xBD";
            inInvalid = true;
            ++i;
            continue;
        }
        inInvalid = false;
        out.append(s.substr(i, n));
        i += n;
    }
    return out;
}

}  // namespace vantu
