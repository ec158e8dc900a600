#include <gtest/gtest.h>

#include <atomic>
#include <thread>

#include "VantuPacketTunnel/VantuError.h"
#include "datachannel/crypto/Aead.h"
#include "datachannel/crypto/VantuSession.h"

using vantu::Bytes;
using vantu::VantuCipher;
using vantu::VantuError;
using vantu::VantuSession;
namespace aead = vantu::aead;

namespace {

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    return out;
}

Bytes sequentialKey(size_t length, uint8_t first = 0) {
    Bytes key(length);
    for (size_t i = 0; i < length; ++i) key[i] = static_cast<uint8_t>(first + i);
    return key;
}

template <typename F>
std::string errorOf(F&& call) {
    try {
        call();
    } catch (const VantuError& error) {
        return error.message();
    }
    return "";
}

VantuSession makeSession(const std::string& cipher = "aes-128-gcm", uint32_t sessionID = 0x01020304) {
    const size_t keyLength = cipher == "aes-128-gcm" ? 16 : 32;
    return VantuSession(sessionID, sequentialKey(keyLength, 0x40), cipher, "10.7.0.2", 1400, 51820, "udp",
                        {"1.1.1.1"}, std::nullopt);
}

// RFC 8439, section 2.8.2.
struct Rfc8439 {
    Bytes key = sequentialKey(32, 0x80);
    Bytes nonce = fromHex("070000004041424344454647");
    Bytes aad = fromHex("50515253c0c1c2c3c4c5c6c7");
    std::string text =
        "Ladies and Gentlemen of the class of '99: If I could offer you only one tip for the future, sunscreen would "
        "be it.";
    Bytes plain = Bytes(text.begin(), text.end());
    Bytes ciphertext = fromHex(
        "d31a8d34648e60db7b86afbc53ef7ec2a4aded51296e08fea9e2b5a736ee62d63dbea45e8ca9671282fafb69da92728b"
        "1a71de0a9e060b2905d6a5b67ecd3b3692ddbd7f2d778b8c9803aee328091b58fab324e4fad675945585808b4831d7bc"
        "3ff4def08e4b7a9de576d26586cec64b6116");
    Bytes tag = fromHex("1ae10b594f09e26a7e902ecbd0600691");
};

// McGrew and Viega's Galois/Counter Mode paper, test cases 3
// (64 bytes, no associated data) and 4 (60 bytes, 20 bytes of associated data).
struct GcmCases {
    Bytes key = fromHex("feffe9928665731c6d6a8f9467308308");
    Bytes iv = fromHex("cafebabefacedbaddecaf888");
    Bytes plain3 = fromHex(
        "d9313225f88406e5a55909c5aff5269a86a7a9531534f7da2e4c303d8a318a721c3c0c95956809532fcf0e2449a6b525"
        "b16aedf5aa0de657ba637b391aafd255");
    Bytes cipher3 = fromHex(
        "42831ec2217774244b7221b784d0d49ce3aa212f2c02a4e035c17e2329aca12e21d514b25466931c7d8f6a5aac84aa05"
        "1ba30b396a0aac973d58e091473f5985");
    Bytes tag3 = fromHex("4d5c2af327cd64a62cf35abd2ba6fab4");
    Bytes plain4 = Bytes(plain3.begin(), plain3.end() - 4);
    Bytes aad4 = fromHex("feedfacedeadbeeffeedfacedeadbeefabaddad2");
    Bytes cipher4 = Bytes(cipher3.begin(), cipher3.end() - 4);
    Bytes tag4 = fromHex("5bc94fbc3221a5db94fae95ae7121a47");
};

Bytes concat(const Bytes& a, const Bytes& b) {
    Bytes out = a;
    out.insert(out.end(), b.begin(), b.end());
    return out;
}

}  // namespace

TEST(Aead, PublishedVectorsWithAssociatedData) {
    const Rfc8439 rfc;
    Bytes sealed(rfc.plain.size() + aead::kTagLength);
    aead::seal(aead::Algorithm::chacha20poly1305, rfc.key.data(), rfc.nonce.data(), rfc.aad.data(), rfc.aad.size(),
               rfc.plain.data(), rfc.plain.size(), sealed.data());
    EXPECT_EQ(sealed, concat(rfc.ciphertext, rfc.tag));

    Bytes opened(rfc.plain.size());
    aead::open(aead::Algorithm::chacha20poly1305, rfc.key.data(), rfc.nonce.data(), rfc.aad.data(), rfc.aad.size(),
               rfc.ciphertext.data(), rfc.ciphertext.size(), rfc.tag.data(), opened.data());
    EXPECT_EQ(opened, rfc.plain);

    const GcmCases gcm;
    Bytes sealed4(gcm.plain4.size() + aead::kTagLength);
    aead::seal(aead::Algorithm::aes128gcm, gcm.key.data(), gcm.iv.data(), gcm.aad4.data(), gcm.aad4.size(),
               gcm.plain4.data(), gcm.plain4.size(), sealed4.data());
    EXPECT_EQ(sealed4, concat(gcm.cipher4, gcm.tag4));

    Bytes opened4(gcm.cipher4.size());
    aead::open(aead::Algorithm::aes128gcm, gcm.key.data(), gcm.iv.data(), gcm.aad4.data(), gcm.aad4.size(),
               gcm.cipher4.data(), gcm.cipher4.size(), gcm.tag4.data(), opened4.data());
    EXPECT_EQ(opened4, gcm.plain4);

    // The associated data is authenticated: without it, or with one byte
    // changed, the published tag no longer verifies.
    EXPECT_EQ(errorOf([&] {
                  aead::open(aead::Algorithm::aes128gcm, gcm.key.data(), gcm.iv.data(), nullptr, 0,
                             gcm.cipher4.data(), gcm.cipher4.size(), gcm.tag4.data(), opened4.data());
              }),
              "authentication failed");
    Bytes otherAad = rfc.aad;
    otherAad[0] ^= 1;
    EXPECT_EQ(errorOf([&] {
                  aead::open(aead::Algorithm::chacha20poly1305, rfc.key.data(), rfc.nonce.data(), otherAad.data(),
                             otherAad.size(), rfc.ciphertext.data(), rfc.ciphertext.size(), rfc.tag.data(),
                             opened.data());
              }),
              "authentication failed");
    // After a failure the same thread's context still works.
    aead::open(aead::Algorithm::chacha20poly1305, rfc.key.data(), rfc.nonce.data(), rfc.aad.data(), rfc.aad.size(),
               rfc.ciphertext.data(), rfc.ciphertext.size(), rfc.tag.data(), opened.data());
    EXPECT_EQ(opened, rfc.plain);
}

TEST(VantuCipher, SealsPublishedVectorsWithoutAssociatedData) {
    const GcmCases gcm;
    // Test case 3 has no associated data: the whole output is the vector.
    const VantuCipher aes("aes-128-gcm", gcm.key);
    const auto [ciphertext3, tag3] = aes.seal(gcm.plain3, gcm.iv.data());
    EXPECT_EQ(ciphertext3, gcm.cipher3);
    EXPECT_EQ(tag3, gcm.tag3);
    EXPECT_EQ(aes.open(gcm.cipher3.data(), gcm.cipher3.size(), gcm.tag3.data(), gcm.iv.data()), gcm.plain3);

    // The RFC 8439 vector carries associated data, which only changes the
    // tag: the ciphertext of the same plaintext must be the published one,
    // and the published tag must not verify without the associated data.
    const Rfc8439 rfc;
    const VantuCipher chacha("chacha20-poly1305", rfc.key);
    const auto [ciphertext, tag] = chacha.seal(rfc.plain, rfc.nonce.data());
    EXPECT_EQ(ciphertext, rfc.ciphertext);
    EXPECT_NE(tag, rfc.tag);
    EXPECT_EQ(errorOf([&] { chacha.open(rfc.ciphertext.data(), rfc.ciphertext.size(), rfc.tag.data(), rfc.nonce.data()); }),
              "authentication failed");
    EXPECT_EQ(chacha.open(ciphertext.data(), ciphertext.size(), tag.data(), rfc.nonce.data()), rfc.plain);

    // sealInto appends after what the buffer already holds.
    Bytes out = {0xaa, 0xbb};
    aes.sealInto(gcm.plain3.data(), gcm.plain3.size(), gcm.iv.data(), out);
    EXPECT_EQ(out, concat(Bytes{0xaa, 0xbb}, concat(gcm.cipher3, gcm.tag3)));

    // Alternating keys and ciphers on one thread does not mix up contexts.
    const VantuCipher otherAes("aes-128-gcm", sequentialKey(16));
    for (int round = 0; round < 3; ++round) {
        EXPECT_EQ(aes.seal(gcm.plain3, gcm.iv.data()).second, gcm.tag3);
        EXPECT_NE(otherAes.seal(gcm.plain3, gcm.iv.data()).second, gcm.tag3);
        EXPECT_EQ(chacha.seal(rfc.plain, rfc.nonce.data()).first, rfc.ciphertext);
    }
}

TEST(VantuCipher, NamesAndKeyLengths) {
    const Bytes key20 = sequentialKey(20);
    const VantuCipher aes("aes-128-gcm", key20);
    EXPECT_EQ(aes.kind(), VantuCipher::Kind::aes128gcm);
    EXPECT_EQ(aes.key(), sequentialKey(16));
    // Only the first 16 bytes are used: a 16-byte key seals identically.
    const Bytes nonce(12, 7);
    const Bytes plain = {1, 2, 3};
    EXPECT_EQ(aes.seal(plain, nonce.data()), VantuCipher("aes-128-gcm", sequentialKey(16)).seal(plain, nonce.data()));

    EXPECT_EQ(errorOf([] { VantuCipher("aes-128-gcm", sequentialKey(15)); }), "invalid AES-128 session key");
    EXPECT_EQ(errorOf([] { VantuCipher("aes-128-gcm", Bytes{}); }), "invalid AES-128 session key");

    for (const char* name : {"chacha20-poly1305", "chacha20poly1305", "chacha"}) {
        SCOPED_TRACE(name);
        const VantuCipher chacha(name, sequentialKey(32));
        EXPECT_EQ(chacha.kind(), VantuCipher::Kind::chacha20poly1305);
        EXPECT_EQ(chacha.key(), sequentialKey(32));
        EXPECT_EQ(chacha.seal(plain, nonce.data()),
                  VantuCipher("chacha20-poly1305", sequentialKey(32)).seal(plain, nonce.data()));
        for (size_t bad : {0, 16, 31, 33}) {
            EXPECT_EQ(errorOf([&] { VantuCipher(name, sequentialKey(bad)); }), "invalid ChaCha20-Poly1305 session key")
                << bad;
        }
    }

    for (const char* name : {"AES-128-GCM", "aes-256-gcm", "ChaCha", "", " aes-128-gcm"}) {
        EXPECT_EQ(errorOf([&] { VantuCipher(name, sequentialKey(32)); }),
                  std::string("macOS packet tunnel does not support cipher ") + name);
    }
    // The session constructor passes the cipher error on unchanged.
    EXPECT_EQ(errorOf([] { makeSession("xchacha"); }), "macOS packet tunnel does not support cipher xchacha");
}

TEST(VantuSession, UnitLayoutAndSequenceNumbers) {
    for (const char* cipher : {"aes-128-gcm", "chacha"}) {
        SCOPED_TRACE(cipher);
        VantuSession session = makeSession(cipher);
        EXPECT_EQ(session.seq, 1u);
        EXPECT_EQ(session.tunnelIP, "10.7.0.2");
        EXPECT_EQ(session.mtu, 1400);
        EXPECT_EQ(session.dataPort, 51820);
        EXPECT_EQ(session.transport, "udp");

        const Bytes frame = {0x02, 0x45, 0x00, 0x00, 0x14};
        const Bytes first = session.encrypt(frame);
        ASSERT_EQ(first.size(), frame.size() + 28);
        EXPECT_EQ(Bytes(first.begin(), first.begin() + 12),
                  (Bytes{0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x01, 0x43, 0x32, 0x53, 0x00}));
        // The body is the cipher's own output under that nonce.
        const auto [ciphertext, tag] = session.cipher.seal(frame, first.data());
        EXPECT_EQ(Bytes(first.begin() + 12, first.end()), concat(ciphertext, tag));
        EXPECT_EQ(session.decrypt(first), frame);

        const Bytes second = session.encrypt(frame);
        EXPECT_EQ(Bytes(second.begin() + 4, second.begin() + 8), (Bytes{0, 0, 0, 2}));
        EXPECT_NE(Bytes(first.begin() + 12, first.end()), Bytes(second.begin() + 12, second.end()));
        EXPECT_EQ(session.seq, 3u);

        // An empty frame is a 28-byte unit that opens to nothing.
        const Bytes empty = session.encrypt({});
        EXPECT_EQ(empty.size(), 28u);
        EXPECT_TRUE(session.decrypt(empty).empty());

        // A larger, datagram-sized frame round-trips.
        Bytes big(1400);
        for (size_t i = 0; i < big.size(); ++i) big[i] = static_cast<uint8_t>(i * 31);
        EXPECT_EQ(session.decrypt(session.encrypt(big)), big);
    }

    EXPECT_EQ(vantu::makeNonce(0xdeadbeef, 0x00010203, VantuSession::kClientDirection),
              (std::array<uint8_t, 12>{0xde, 0xad, 0xbe, 0xef, 0x00, 0x01, 0x02, 0x03, 0x43, 0x32, 0x53, 0x00}));
    EXPECT_EQ(makeSession().nonce(9, 0x53324300),
              (std::array<uint8_t, 12>{1, 2, 3, 4, 0, 0, 0, 9, 0x53, 0x32, 0x43, 0x00}));
}

TEST(VantuSession, CounterWrapsOnceThenRefusesToRepeatANonce) {
    VantuSession session = makeSession();
    session.seq = 0xFFFFFFFE;
    EXPECT_EQ(session.nextSeq(), 0xFFFFFFFEu);
    const Bytes last = session.encrypt({9});
    EXPECT_EQ(Bytes(last.begin() + 4, last.begin() + 8), (Bytes{0xff, 0xff, 0xff, 0xff}));
    const Bytes wrapped = session.encrypt({9});
    EXPECT_EQ(Bytes(wrapped.begin() + 4, wrapped.begin() + 8), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(session.decrypt(wrapped), Bytes{9});

    // The next value would be 1 again: a nonce already used under this key.
    EXPECT_EQ(errorOf([&] { session.nextSeq(); }), "session sequence exhausted");
    EXPECT_EQ(errorOf([&] { session.encrypt({9}); }), "session sequence exhausted");
    EXPECT_EQ(errorOf([&] { session.nextSeq(); }), "session sequence exhausted");
    // Opening received units still works.
    EXPECT_EQ(session.decrypt(wrapped), Bytes{9});

    // A fresh session starts over at 1.
    VantuSession fresh = makeSession();
    EXPECT_EQ(fresh.nextSeq(), 1u);
    EXPECT_EQ(fresh.nextSeq(), 2u);
}

TEST(VantuSession, DecryptRejectsShortAndTamperedUnits) {
    for (const char* cipher : {"aes-128-gcm", "chacha20poly1305"}) {
        SCOPED_TRACE(cipher);
        VantuSession session = makeSession(cipher);
        const Bytes unit = session.encrypt({0x10, 0x20, 0x30, 0x40});

        EXPECT_EQ(errorOf([&] { session.decrypt(Bytes(27, 0)); }), "packet too short");
        EXPECT_EQ(errorOf([&] { session.decrypt(Bytes{}); }), "packet too short");
        EXPECT_EQ(errorOf([&] { session.decrypt(Bytes(unit.begin(), unit.end() - 1)); }), "authentication failed");

        // Every single-bit flip in nonce, ciphertext and tag is caught.
        for (size_t byte = 0; byte < unit.size(); ++byte) {
            for (int bit = 0; bit < 8; ++bit) {
                Bytes tampered = unit;
                tampered[byte] ^= static_cast<uint8_t>(1 << bit);
                EXPECT_EQ(errorOf([&] { session.decrypt(tampered); }), "authentication failed")
                    << "byte " << byte << " bit " << bit;
            }
        }
        EXPECT_EQ(session.decrypt(unit), (Bytes{0x10, 0x20, 0x30, 0x40}));

        // A unit under another key fails; so does a unit of the other cipher.
        VantuSession other(0x01020304, sequentialKey(32, 0x41), "chacha", "10.7.0.2", 1400, 51820, "udp", {},
                           std::nullopt);
        EXPECT_EQ(errorOf([&] { other.decrypt(unit); }), "authentication failed");
    }
}

TEST(VantuSession, AcceptsAnyNonceWhoseTagVerifies) {
    // Units from the server carry their own session id and direction; only
    // the tag decides.
    VantuSession session = makeSession("chacha");
    const Bytes plain = {0x01, 0x02};
    for (const auto& nonce : {vantu::makeNonce(0x99999999, 5, 0x53324300),
                              vantu::makeNonce(0x01020304, 77, VantuSession::kClientDirection)}) {
        Bytes unit(nonce.begin(), nonce.end());
        session.cipher.sealInto(plain.data(), plain.size(), nonce.data(), unit);
        EXPECT_EQ(session.decrypt(unit), plain);
    }
    // A 28-byte unit with a correct tag opens to an empty frame.
    const auto nonce = vantu::makeNonce(7, 7, 7);
    Bytes emptyUnit(nonce.begin(), nonce.end());
    session.cipher.sealInto(nullptr, 0, nonce.data(), emptyUnit);
    ASSERT_EQ(emptyUnit.size(), 28u);
    EXPECT_TRUE(session.decrypt(emptyUnit).empty());
    EXPECT_EQ(session.seq, 1u);  // decrypt never touches the counter
}

TEST(VantuSession, ThreadsSealAndOpenIndependently) {
    // Each thread keeps its own cipher contexts; units sealed on one thread
    // open on another, with either cipher interleaved.
    VantuSession aes = makeSession("aes-128-gcm");
    VantuSession chacha = makeSession("chacha");
    std::vector<Bytes> aesUnits;
    std::vector<Bytes> chachaUnits;
    for (uint8_t i = 0; i < 50; ++i) {
        aesUnits.push_back(aes.encrypt(Bytes(i, i)));
        chachaUnits.push_back(chacha.encrypt(Bytes(i, static_cast<uint8_t>(i + 1))));
    }
    std::atomic<int> failures{0};
    std::vector<std::thread> threads;
    for (int t = 0; t < 3; ++t) {
        threads.emplace_back([&] {
            for (uint8_t i = 0; i < 50; ++i) {
                if (aes.decrypt(aesUnits[i]) != Bytes(i, i)) ++failures;
                if (chacha.decrypt(chachaUnits[i]) != Bytes(i, static_cast<uint8_t>(i + 1))) ++failures;
            }
        });
    }
    for (auto& thread : threads) thread.join();
    EXPECT_EQ(failures.load(), 0);
}
