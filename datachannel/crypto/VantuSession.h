#pragma once

#include <array>
#include <cstdint>
#include <memory>
#include <optional>
#include <string>
#include <utility>
#include <vector>

#include "base/Bytes.h"
#include "routing/RoutingPolicy.h"

namespace vantu {

// AEAD algorithm and its key. Both ciphers use 12-byte nonces, 16-byte tags
// and no associated data.
class VantuCipher {
public:
    enum class Kind { aes128gcm, chacha20poly1305 };

    // Throws VantuError for an unknown name or a key of the wrong length.
    VantuCipher(const std::string& name, const Bytes& keyData);

    Kind kind() const { return kind_; }
    const Bytes& key() const { return key_; }

    // (ciphertext, tag); throws VantuError on a library failure.
    std::pair<Bytes, Bytes> seal(const Bytes& plaintext, const uint8_t nonce[12]) const;
    // Appends nonce-less ciphertext and tag to `out` without extra copies.
    void sealInto(const uint8_t* plaintext, size_t length, const uint8_t nonce[12], Bytes& out) const;
    // Throws VantuError when the tag does not verify.
    Bytes open(const uint8_t* ciphertext, size_t length, const uint8_t tag[16], const uint8_t nonce[12]) const;
    // open() of a frame: returns its type byte (nullopt for an empty frame)
    // and puts the rest into `body`, reusing its buffer. Throws like open();
    // `body` then holds nothing usable.
    std::optional<uint8_t> openFrame(const uint8_t* ciphertext, size_t length, const uint8_t tag[16],
                                     const uint8_t nonce[12], Bytes& body) const;

private:
    Kind kind_;
    Bytes key_;
};

// One control session's parameters and the client's send sequence.
class VantuSession {
public:
    static constexpr uint32_t kClientDirection = 0x43325300;  // "C2S\0"

    VantuSession(uint32_t sessionID, const Bytes& keyData, const std::string& cipherName, std::string tunnelIP,
                 int64_t mtu, uint16_t dataPort, std::string transport, std::vector<std::string> dnsServers,
                 std::optional<RoutingPolicy> routingPolicy);

    const uint32_t sessionID;
    const VantuCipher cipher;
    const std::string tunnelIP;
    const int64_t mtu;
    const uint16_t dataPort;
    const std::string transport;
    const std::vector<std::string> dnsServers;
    const std::optional<RoutingPolicy> routingPolicy;
    // The next sequence number to send; 1 in a new session.
    uint32_t seq = 1;

    // Returns seq and advances it, wrapping 0xFFFFFFFF -> 0. Once every value
    // has been handed out under this key it throws VantuError instead of
    // repeating a nonce.
    uint32_t nextSeq();
    // True once nextSeq() has handed out its last value.
    bool sequenceExhausted() const { return exhausted_; }
    std::array<uint8_t, 12> nonce(uint32_t seq, uint32_t direction) const;

    Bytes encrypt(const Bytes& plain);
    Bytes decrypt(const Bytes& unit) const;
    // encrypt() of the frame `type` + payload, sealed from where the payload
    // already is (the packet path would otherwise copy every packet once
    // more just to put the type byte in front).
    Bytes encryptFrame(uint8_t type, const uint8_t* payload, size_t length);
    // The same into `unit`, whose buffer is reused.
    void encryptFrameInto(uint8_t type, const uint8_t* payload, size_t length, Bytes& unit);
    // decrypt() that returns the frame's type byte and leaves the rest of
    // the frame in `body`; nullopt for an empty frame. Throws as decrypt().
    std::optional<uint8_t> decryptFrame(const uint8_t* unit, size_t size, Bytes& body) const;

private:
    // Set once 0, the last value of the cycle that starts at 1, has been
    // handed out; every later nextSeq() throws.
    bool exhausted_ = false;
};

// Nonce layout shared with the server: sessionID, sequence, direction, each BE.
std::array<uint8_t, 12> makeNonce(uint32_t sessionID, uint32_t seq, uint32_t direction);

}  // namespace vantu
