#pragma once

#include <cstddef>
#include <cstdint>

namespace vantu::aead {

// The two AEAD constructions of the data channel, both with 12-byte nonces
// and 16-byte tags. The data channel itself never authenticates associated
// data; the parameter exists so the constructions can be checked against
// published vectors, which mostly carry some.
enum class Algorithm { aes128gcm, chacha20poly1305 };

inline constexpr size_t kNonceLength = 12;
inline constexpr size_t kTagLength = 16;

// 16 for AES-128-GCM, 32 for ChaCha20-Poly1305.
size_t keyLength(Algorithm algorithm);

// Encrypts `length` bytes of `plaintext` into `out`, which must have room for
// length + kTagLength bytes: the ciphertext followed by the tag. `out` may
// equal `plaintext` (in-place) but must not overlap it otherwise. Throws
// VantuError when the library fails.
void seal(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
          const uint8_t* plaintext, size_t length, uint8_t* out);

// Decrypts `length` bytes of ciphertext into `out` (room for `length` bytes)
// and verifies `tag`. Throws VantuError("authentication failed") when the tag
// does not verify; `out` then holds no usable data.
void open(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
          const uint8_t* ciphertext, size_t length, const uint8_t* tag, uint8_t* out);

// seal() of the concatenation head + body without building it: the output is
// the same ciphertext and tag. Lets a frame's type byte and its packet be
// sealed straight from where they already are.
void sealParts(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
               const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength, uint8_t* out);

// open() whose first `headLength` plaintext bytes go to `head` and the rest
// to `body`: a frame's type byte and its packet land in separate buffers.
void openParts(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
               const uint8_t* ciphertext, size_t length, const uint8_t* tag, uint8_t* head, size_t headLength,
               uint8_t* body);

}  // namespace vantu::aead
