#include "datachannel/crypto/VantuSession.h"

#include <algorithm>

#include "base/VantuError.h"
#include "datachannel/crypto/Aead.h"

namespace vantu {

namespace {

aead::Algorithm algorithmOf(VantuCipher::Kind kind) {
    return kind == VantuCipher::Kind::aes128gcm ? aead::Algorithm::aes128gcm : aead::Algorithm::chacha20poly1305;
}

constexpr size_t kUnitOverhead = aead::kNonceLength + aead::kTagLength;

}  // namespace

VantuCipher::VantuCipher(const std::string& name, const Bytes& keyData) {
    if (name == "aes-128-gcm") {
        if (keyData.size() < 16) throw VantuError("invalid AES-128 session key");
        kind_ = Kind::aes128gcm;
        key_.assign(keyData.begin(), keyData.begin() + 16);
    } else if (name == "chacha20-poly1305" || name == "chacha20poly1305" || name == "chacha") {
        if (keyData.size() != 32) throw VantuError("invalid ChaCha20-Poly1305 session key");
        kind_ = Kind::chacha20poly1305;
        key_ = keyData;
    } else {
        throw VantuError("macOS packet tunnel does not support cipher " + name);
    }
}

std::pair<Bytes, Bytes> VantuCipher::seal(const Bytes& plaintext, const uint8_t nonce[12]) const {
    Bytes sealed;
    sealInto(plaintext.data(), plaintext.size(), nonce, sealed);
    Bytes tag(sealed.end() - aead::kTagLength, sealed.end());
    sealed.resize(sealed.size() - aead::kTagLength);
    return {std::move(sealed), std::move(tag)};
}

void VantuCipher::sealInto(const uint8_t* plaintext, size_t length, const uint8_t nonce[12], Bytes& out) const {
    const size_t offset = out.size();
    // Resizing may move `out`; the plaintext must not live inside it.
    out.resize(offset + length + aead::kTagLength);
    try {
        aead::seal(algorithmOf(kind_), key_.data(), nonce, nullptr, 0, plaintext, length, out.data() + offset);
    } catch (...) {
        out.resize(offset);
        throw;
    }
}

Bytes VantuCipher::open(const uint8_t* ciphertext, size_t length, const uint8_t tag[16],
                        const uint8_t nonce[12]) const {
    Bytes plain(length);
    aead::open(algorithmOf(kind_), key_.data(), nonce, nullptr, 0, ciphertext, length, tag, plain.data());
    return plain;
}

VantuSession::VantuSession(uint32_t sessionID, const Bytes& keyData, const std::string& cipherName,
                           std::string tunnelIP, int64_t mtu, uint16_t dataPort, std::string transport,
                           std::vector<std::string> dnsServers, std::optional<RoutingPolicy> routingPolicy)
    : sessionID(sessionID),
      cipher(cipherName, keyData),
      tunnelIP(std::move(tunnelIP)),
      mtu(mtu),
      dataPort(dataPort),
      transport(std::move(transport)),
      dnsServers(std::move(dnsServers)),
      routingPolicy(std::move(routingPolicy)) {}

uint32_t VantuSession::nextSeq() {
    // The counter starts at 1 and wraps from 0xFFFFFFFF to 0, which no unit
    // has used yet. After 0 the next value would be 1 again: a repeated nonce
    // under the same key, which breaks both ciphers. From then on the session
    // refuses to seal anything; recovery replaces it with a fresh one.
    if (exhausted_) throw VantuError("session sequence exhausted");
    const uint32_t current = seq;
    seq = current + 1;
    if (current == 0) exhausted_ = true;
    return current;
}

std::array<uint8_t, 12> VantuSession::nonce(uint32_t seq, uint32_t direction) const {
    return makeNonce(sessionID, seq, direction);
}

Bytes VantuSession::encrypt(const Bytes& plain) {
    const uint32_t s = nextSeq();
    const auto n = nonce(s, kClientDirection);
    // One allocation for the whole unit: nonce, then ciphertext and tag.
    Bytes unit(plain.size() + kUnitOverhead);
    std::copy(n.begin(), n.end(), unit.begin());
    aead::seal(algorithmOf(cipher.kind()), cipher.key().data(), n.data(), nullptr, 0, plain.data(), plain.size(),
               unit.data() + aead::kNonceLength);
    return unit;
}

std::optional<uint8_t> VantuCipher::openFrame(const uint8_t* ciphertext, size_t length, const uint8_t tag[16],
                                              const uint8_t nonce[12], Bytes& body) const {
    uint8_t type = 0;
    const size_t headLength = length == 0 ? 0 : 1;
    body.resize(length - headLength);
    aead::openParts(algorithmOf(kind_), key_.data(), nonce, nullptr, 0, ciphertext, length, tag, &type, headLength,
                    body.data());
    if (headLength == 0) return std::nullopt;
    return type;
}

Bytes VantuSession::encryptFrame(uint8_t type, const uint8_t* payload, size_t length) {
    Bytes unit;
    encryptFrameInto(type, payload, length, unit);
    return unit;
}

void VantuSession::encryptFrameInto(uint8_t type, const uint8_t* payload, size_t length, Bytes& unit) {
    const uint32_t s = nextSeq();
    const auto n = nonce(s, kClientDirection);
    unit.resize(1 + length + kUnitOverhead);
    std::copy(n.begin(), n.end(), unit.begin());
    aead::sealParts(algorithmOf(cipher.kind()), cipher.key().data(), n.data(), nullptr, 0, &type, 1, payload, length,
                    unit.data() + aead::kNonceLength);
}

std::optional<uint8_t> VantuSession::decryptFrame(const uint8_t* unit, size_t size, Bytes& body) const {
    if (size < kUnitOverhead) throw VantuError("packet too short");
    return cipher.openFrame(unit + aead::kNonceLength, size - kUnitOverhead, unit + size - aead::kTagLength, unit,
                            body);
}

Bytes VantuSession::decrypt(const Bytes& unit) const {
    if (unit.size() < kUnitOverhead) throw VantuError("packet too short");
    const size_t cipherLength = unit.size() - kUnitOverhead;
    return cipher.open(unit.data() + aead::kNonceLength, cipherLength, unit.data() + unit.size() - aead::kTagLength,
                       unit.data());
}

std::array<uint8_t, 12> makeNonce(uint32_t sessionID, uint32_t seq, uint32_t direction) {
    std::array<uint8_t, 12> out{};
    const uint32_t fields[3] = {sessionID, seq, direction};
    for (size_t i = 0; i < 3; ++i) {
        out[i * 4] = static_cast<uint8_t>(fields[i] >> 24);
        out[i * 4 + 1] = static_cast<uint8_t>(fields[i] >> 16);
        out[i * 4 + 2] = static_cast<uint8_t>(fields[i] >> 8);
        out[i * 4 + 3] = static_cast<uint8_t>(fields[i]);
    }
    return out;
}

}  // namespace vantu
