#include <gtest/gtest.h>

#include "base/VantuError.h"
#include "datachannel/crypto/Aead.h"
#include "datachannel/crypto/VantuSession.h"
#include "tests/loopback_test_support.h"

using vantu::Bytes;
using vantu::VantuCipher;
using vantu::VantuError;
using vantu::VantuSession;
using vantu::testing::failureOf;
namespace aead = vantu::aead;

namespace {

Bytes fromHex(const std::string& hex) {
    Bytes out;
    for (size_t i = 0; i + 1 < hex.size(); i += 2) {
        out.push_back(static_cast<uint8_t>(std::stoi(hex.substr(i, 2), nullptr, 16)));
    }
    return out;
}

Bytes sequentialKey(size_t length, uint8_t first = 0) {
    Bytes key(length);
    for (size_t i = 0; i < length; ++i) key[i] = static_cast<uint8_t>(first + i);
    return key;
}

Bytes concat(Bytes a, const Bytes& b) {
    a.insert(a.end(), b.begin(), b.end());
    return a;
}

VantuSession makeSession(const std::string& cipher = "aes-128-gcm") {
    return VantuSession(0x01020304, sequentialKey(cipher == "aes-128-gcm" ? 16 : 32, 0x40), cipher, "10.7.0.2", 1400,
                        51820, "udp", {"1.1.1.1"}, std::nullopt);
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

// McGrew and Viega's Galois/Counter Mode paper, test cases 3 (no associated
// data) and 4 (the same text shortened by 4 bytes, 20 bytes of associated data).
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

}  // namespace

TEST(Aead, PublishedVectorsWithAssociatedData) {
    const Rfc8439 rfc;
    const GcmCases gcm;
    struct Vector {
        aead::Algorithm algorithm;
        const Bytes &key, &nonce, &aad, &plain, &ciphertext, &tag;
    };
    for (const Vector& v : {Vector{aead::Algorithm::chacha20poly1305, rfc.key, rfc.nonce, rfc.aad, rfc.plain,
                                   rfc.ciphertext, rfc.tag},
                            Vector{aead::Algorithm::aes128gcm, gcm.key, gcm.iv, gcm.aad4, gcm.plain4, gcm.cipher4,
                                   gcm.tag4}}) {
        Bytes sealed(v.plain.size() + aead::kTagLength);
        aead::seal(v.algorithm, v.key.data(), v.nonce.data(), v.aad.data(), v.aad.size(), v.plain.data(),
                   v.plain.size(), sealed.data());
        EXPECT_EQ(sealed, concat(v.ciphertext, v.tag));

        Bytes opened(v.plain.size());
        aead::open(v.algorithm, v.key.data(), v.nonce.data(), v.aad.data(), v.aad.size(), v.ciphertext.data(),
                   v.ciphertext.size(), v.tag.data(), opened.data());
        EXPECT_EQ(opened, v.plain);

        // The associated data is authenticated.
        Bytes otherAad = v.aad;
        otherAad[0] ^= 1;
        EXPECT_EQ(failureOf([&] {
                      aead::open(v.algorithm, v.key.data(), v.nonce.data(), otherAad.data(), otherAad.size(),
                                 v.ciphertext.data(), v.ciphertext.size(), v.tag.data(), opened.data());
                  }),
                  "authentication failed");
    }
}

TEST(VantuCipher, SealsPublishedVectorsWithoutAssociatedData) {
    const GcmCases gcm;
    const VantuCipher aes("aes-128-gcm", gcm.key);
    EXPECT_EQ(aes.seal(gcm.plain3, gcm.iv.data()), std::make_pair(gcm.cipher3, gcm.tag3));
    EXPECT_EQ(aes.open(gcm.cipher3.data(), gcm.cipher3.size(), gcm.tag3.data(), gcm.iv.data()), gcm.plain3);
    // sealInto appends after what the buffer already holds.
    Bytes out = {0xaa, 0xbb};
    aes.sealInto(gcm.plain3.data(), gcm.plain3.size(), gcm.iv.data(), out);
    EXPECT_EQ(out, concat(Bytes{0xaa, 0xbb}, concat(gcm.cipher3, gcm.tag3)));
    // Another key on the same thread is really used, and then the first again.
    EXPECT_NE(VantuCipher("aes-128-gcm", sequentialKey(16)).seal(gcm.plain3, gcm.iv.data()).second, gcm.tag3);
    EXPECT_EQ(aes.seal(gcm.plain3, gcm.iv.data()).second, gcm.tag3);

    // Associated data changes only the tag, so the ciphertext is the published one.
    const Rfc8439 rfc;
    const VantuCipher chacha("chacha20-poly1305", rfc.key);
    const auto [ciphertext, tag] = chacha.seal(rfc.plain, rfc.nonce.data());
    EXPECT_EQ(ciphertext, rfc.ciphertext);
    EXPECT_EQ(chacha.open(ciphertext.data(), ciphertext.size(), tag.data(), rfc.nonce.data()), rfc.plain);
    EXPECT_EQ(failureOf([&] { chacha.open(ciphertext.data(), ciphertext.size(), rfc.tag.data(), rfc.nonce.data()); }),
              "authentication failed");
}

TEST(VantuCipher, NamesAndKeyLengths) {
    // AES-128-GCM takes the first 16 bytes of a longer key.
    const VantuCipher aes("aes-128-gcm", sequentialKey(20));
    EXPECT_EQ(aes.kind(), VantuCipher::Kind::aes128gcm);
    EXPECT_EQ(aes.key(), sequentialKey(16));
    for (const char* name : {"chacha20-poly1305", "chacha20poly1305", "chacha"}) {
        const VantuCipher chacha(name, sequentialKey(32));
        EXPECT_EQ(chacha.kind(), VantuCipher::Kind::chacha20poly1305) << name;
        EXPECT_EQ(chacha.key(), sequentialKey(32)) << name;
    }

    const std::tuple<const char*, size_t, std::string> rejected[] = {
        {"aes-128-gcm", 15, "invalid AES-128 session key"},
        {"aes-128-gcm", 0, "invalid AES-128 session key"},
        {"chacha", 31, "invalid ChaCha20-Poly1305 session key"},
        {"chacha20-poly1305", 33, "invalid ChaCha20-Poly1305 session key"},
        {"chacha20poly1305", 16, "invalid ChaCha20-Poly1305 session key"},
        {"AES-128-GCM", 32, "macOS packet tunnel does not support cipher AES-128-GCM"},
        {"aes-256-gcm", 32, "macOS packet tunnel does not support cipher aes-256-gcm"},
        {" aes-128-gcm", 32, "macOS packet tunnel does not support cipher  aes-128-gcm"},
    };
    for (const auto& [name, length, message] : rejected) {
        EXPECT_EQ(failureOf([&] { VantuCipher(name, sequentialKey(length)); }), message) << name << " " << length;
    }
    EXPECT_EQ(failureOf([] { makeSession("xchacha"); }), "macOS packet tunnel does not support cipher xchacha");
}

TEST(VantuSession, UnitLayoutAndSequenceNumbersThatNeverRepeat) {
    for (const char* cipher : {"aes-128-gcm", "chacha"}) {
        SCOPED_TRACE(cipher);
        VantuSession session = makeSession(cipher);
        EXPECT_EQ(session.seq, 1u);
        // Nonce (session id, sequence, "C2S\0"), then the cipher's own output under it.
        const Bytes frame(1400, 0x45);
        const Bytes first = session.encrypt(frame);
        const Bytes nonce = {0x01, 0x02, 0x03, 0x04, 0x00, 0x00, 0x00, 0x01, 0x43, 0x32, 0x53, 0x00};
        const auto [ciphertext, tag] = session.cipher.seal(frame, nonce.data());
        EXPECT_EQ(first, concat(nonce, concat(ciphertext, tag)));
        EXPECT_EQ(session.decrypt(first), frame);

        const Bytes second = session.encrypt(frame);
        EXPECT_EQ(Bytes(second.begin() + 4, second.begin() + 8), (Bytes{0, 0, 0, 2}));
        EXPECT_EQ(session.seq, 3u);

        const Bytes empty = session.encrypt({});
        EXPECT_EQ(empty.size(), 28u);
        EXPECT_TRUE(session.decrypt(empty).empty());
    }
    EXPECT_EQ(makeSession().nonce(9, 0x53324300),
              (std::array<uint8_t, 12>{1, 2, 3, 4, 0, 0, 0, 9, 0x53, 0x32, 0x43, 0x00}));

    // The counter wraps once; the value after 0 would be 1 again, a nonce already used under this key.
    VantuSession session = makeSession();
    session.seq = 0xFFFFFFFF;
    const Bytes last = session.encrypt({9});
    EXPECT_EQ(Bytes(last.begin() + 4, last.begin() + 8), (Bytes{0xff, 0xff, 0xff, 0xff}));
    const Bytes wrapped = session.encrypt({9});
    EXPECT_EQ(Bytes(wrapped.begin() + 4, wrapped.begin() + 8), (Bytes{0, 0, 0, 0}));
    EXPECT_EQ(failureOf([&] { session.encrypt({9}); }), "session sequence exhausted");
    EXPECT_EQ(failureOf([&] { session.nextSeq(); }), "session sequence exhausted");
    EXPECT_EQ(session.decrypt(wrapped), Bytes{9});
}

TEST(VantuSession, FramesSealedAndOpenedInPartsMatchWholeFrames) {
    // Lengths around the cipher block and a full packet: the two-part
    // paths must give the very bytes of the one-buffer ones.
    for (const char* cipher : {"aes-128-gcm", "chacha"}) {
        for (const size_t length : {size_t{0}, size_t{1}, size_t{15}, size_t{16}, size_t{17}, size_t{1400}}) {
            SCOPED_TRACE(std::string(cipher) + " payload " + std::to_string(length));
            Bytes payload(length);
            for (size_t i = 0; i < length; ++i) payload[i] = static_cast<uint8_t>(i * 7 + 3);
            const Bytes frame = concat(Bytes{0x82}, payload);
            VantuSession whole = makeSession(cipher);
            VantuSession parts = makeSession(cipher);
            const Bytes unit = parts.encryptFrame(0x82, payload.data(), payload.size());
            EXPECT_EQ(unit, whole.encrypt(frame));

            Bytes body{0xff, 0xff};  // a reused buffer keeps nothing of before
            EXPECT_EQ(parts.decryptFrame(unit.data(), unit.size(), body), std::optional<uint8_t>(0x82));
            EXPECT_EQ(body, payload);
            Bytes tampered = unit;
            tampered[12] ^= 0x01;
            EXPECT_EQ(failureOf([&] { parts.decryptFrame(tampered.data(), tampered.size(), body); }),
                      "authentication failed");
        }
        const Bytes empty = makeSession(cipher).encrypt({});
        Bytes body;
        EXPECT_EQ(makeSession(cipher).decryptFrame(empty.data(), empty.size(), body), std::nullopt);
        EXPECT_TRUE(body.empty());
    }
}

TEST(VantuSession, DecryptRejectsShortAndTamperedUnits) {
    for (const char* cipher : {"aes-128-gcm", "chacha20poly1305"}) {
        SCOPED_TRACE(cipher);
        const VantuSession session = makeSession(cipher);
        const Bytes unit = makeSession(cipher).encrypt({0x10, 0x20, 0x30, 0x40});
        EXPECT_EQ(failureOf([&] { session.decrypt(Bytes(27, 0)); }), "packet too short");
        EXPECT_EQ(failureOf([&] { session.decrypt(Bytes(unit.begin(), unit.end() - 1)); }), "authentication failed");
        for (size_t bit = 0; bit < unit.size() * 8; ++bit) {
            Bytes tampered = unit;
            tampered[bit / 8] ^= static_cast<uint8_t>(1 << (bit % 8));
            EXPECT_EQ(failureOf([&] { session.decrypt(tampered); }), "authentication failed") << "bit " << bit;
        }
        const VantuSession otherKey(0x01020304, sequentialKey(32, 0x41), "chacha", "10.7.0.2", 1400, 51820, "udp", {},
                                    std::nullopt);
        EXPECT_EQ(failureOf([&] { otherKey.decrypt(unit); }), "authentication failed");

        // Units from the server carry their own session id and direction: only the tag decides.
        const auto nonce = vantu::makeNonce(0x99999999, 5, 0x53324300);
        Bytes fromServer(nonce.begin(), nonce.end());
        session.cipher.sealInto(unit.data(), 3, nonce.data(), fromServer);
        EXPECT_EQ(session.decrypt(fromServer), Bytes(unit.begin(), unit.begin() + 3));
    }
}
