#include "datachannel/crypto/Aead.h"

#include <climits>
#include <cstring>
#include <tuple>
#include <utility>
#include <string>

#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>

#include "base/VantuError.h"

namespace vantu::aead {

namespace {

const EVP_CIPHER* cipherFor(Algorithm algorithm) {
    return algorithm == Algorithm::aes128gcm ? EVP_aes_128_gcm() : EVP_chacha20_poly1305();
}

[[noreturn]] void libraryFailure(const char* step) {
    std::string message = std::string("AEAD ") + step + " failed";
    if (unsigned long code = ERR_get_error(); code != 0) {
        char text[256];
        ERR_error_string_n(code, text, sizeof(text));
        message += ": ";
        message += text;
    }
    ERR_clear_error();
    throw VantuError(message);
}

// Setting up a context (cipher fetch, key schedule, GHASH table) costs more
// than sealing a small packet, and the data channel seals and opens every
// packet under the same session key. Each thread therefore keeps one context
// per direction and keeps it keyed; a call with the same algorithm and key
// only loads the new nonce. The contexts are per thread, so the sender on
// the packet path and the receiver on the work queue never share one.
struct CachedContext {
    EVP_CIPHER_CTX* ctx = nullptr;
    bool keyed = false;
    Algorithm algorithm = Algorithm::aes128gcm;
    uint8_t key[32] = {};

    CachedContext() = default;
    CachedContext(const CachedContext&) = delete;
    CachedContext& operator=(const CachedContext&) = delete;
    ~CachedContext() {
        EVP_CIPHER_CTX_free(ctx);
        OPENSSL_cleanse(key, sizeof(key));
    }

    EVP_CIPHER_CTX* prepare(Algorithm wanted, const uint8_t* wantedKey, const uint8_t* nonce, int encrypt) {
        if (ctx == nullptr) {
            ctx = EVP_CIPHER_CTX_new();
            if (ctx == nullptr) libraryFailure("context allocation");
        }
        const size_t length = keyLength(wanted);
        if (keyed && algorithm == wanted && std::memcmp(key, wantedKey, length) == 0) {
            if (EVP_CipherInit_ex(ctx, nullptr, nullptr, nullptr, nonce, encrypt) != 1) {
                keyed = false;
                libraryFailure("nonce setup");
            }
            return ctx;
        }
        keyed = false;
        if (EVP_CipherInit_ex(ctx, cipherFor(wanted), nullptr, wantedKey, nonce, encrypt) != 1) {
            libraryFailure("key setup");
        }
        algorithm = wanted;
        OPENSSL_cleanse(key, sizeof(key));
        std::memcpy(key, wantedKey, length);
        keyed = true;
        return ctx;
    }

    // After a library failure the context's state is unknown: rebuild it
    // from scratch on the next call.
    [[noreturn]] void fail(const char* step) {
        keyed = false;
        libraryFailure(step);
    }
};

thread_local CachedContext sealContext;
thread_local CachedContext openContext;

void checkLengths(size_t aadLength, size_t length) {
    if (aadLength > INT_MAX || length > INT_MAX) throw VantuError("AEAD input too long");
}

}  // namespace

size_t keyLength(Algorithm algorithm) { return algorithm == Algorithm::aes128gcm ? 16 : 32; }

void seal(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
          const uint8_t* plaintext, size_t length, uint8_t* out) {
    sealParts(algorithm, key, nonce, aad, aadLength, nullptr, 0, plaintext, length, out);
}

void sealParts(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
               const uint8_t* head, size_t headLength, const uint8_t* body, size_t bodyLength, uint8_t* out) {
    checkLengths(aadLength, headLength);
    checkLengths(headLength + bodyLength, bodyLength);
    const size_t length = headLength + bodyLength;
    CachedContext& cache = sealContext;
    EVP_CIPHER_CTX* ctx = cache.prepare(algorithm, key, nonce, 1);
    int written = 0;
    if (aadLength > 0 && EVP_EncryptUpdate(ctx, nullptr, &written, aad, static_cast<int>(aadLength)) != 1) {
        cache.fail("associated data");
    }
    size_t total = 0;
    for (const auto& [part, partLength] : {std::pair{head, headLength}, std::pair{body, bodyLength}}) {
        if (partLength == 0) continue;
        if (EVP_EncryptUpdate(ctx, out + total, &written, part, static_cast<int>(partLength)) != 1) {
            cache.fail("encrypt");
        }
        total += static_cast<size_t>(written);
    }
    if (EVP_EncryptFinal_ex(ctx, out + total, &written) != 1) cache.fail("encrypt final");
    total += static_cast<size_t>(written);
    if (total != length) cache.fail("encrypt length");
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_GET_TAG, static_cast<int>(kTagLength), out + length) != 1) {
        cache.fail("tag");
    }
}

void open(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
          const uint8_t* ciphertext, size_t length, const uint8_t* tag, uint8_t* out) {
    openParts(algorithm, key, nonce, aad, aadLength, ciphertext, length, tag, nullptr, 0, out);
}

void openParts(Algorithm algorithm, const uint8_t* key, const uint8_t* nonce, const uint8_t* aad, size_t aadLength,
               const uint8_t* ciphertext, size_t length, const uint8_t* tag, uint8_t* head, size_t headLength,
               uint8_t* body) {
    checkLengths(aadLength, length);
    if (headLength > length) throw VantuError("AEAD head longer than the ciphertext");
    CachedContext& cache = openContext;
    EVP_CIPHER_CTX* ctx = cache.prepare(algorithm, key, nonce, 0);
    int written = 0;
    if (aadLength > 0 && EVP_DecryptUpdate(ctx, nullptr, &written, aad, static_cast<int>(aadLength)) != 1) {
        cache.fail("associated data");
    }
    // Stream ciphers underneath both constructions: each part's output is
    // exactly as long as its input, so the two outputs stay independent.
    const size_t bodyLength = length - headLength;
    size_t total = 0;
    for (const auto& [in, to, partLength] : {std::tuple{ciphertext, head, headLength},
                                             std::tuple{ciphertext + headLength, body, bodyLength}}) {
        if (partLength == 0) continue;
        if (EVP_DecryptUpdate(ctx, to, &written, in, static_cast<int>(partLength)) != 1) cache.fail("decrypt");
        if (static_cast<size_t>(written) != partLength) cache.fail("decrypt length");
        total += partLength;
    }
    if (EVP_CIPHER_CTX_ctrl(ctx, EVP_CTRL_AEAD_SET_TAG, static_cast<int>(kTagLength), const_cast<uint8_t*>(tag)) !=
        1) {
        cache.fail("tag");
    }
    uint8_t finalBlock[16];
    if (EVP_DecryptFinal_ex(ctx, finalBlock, &written) != 1) {
        // A tag mismatch leaves the context keyed and reusable; the next call
        // loads a fresh nonce, which resets the per-message state.
        ERR_clear_error();
        throw VantuError("authentication failed");
    }
    if (written != 0 || total != length) cache.fail("decrypt length");
}

}  // namespace vantu::aead
