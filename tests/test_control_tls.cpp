// The control session over TLS: the client's pins (fingerprint and CA file)
// against the real control service with certificates made here, failures on
// a mismatch and on a peer that speaks the other way, the deadline during a
// stalled handshake, and what an observer on the path sees.

#include <gtest/gtest.h>

#include <openssl/evp.h>
#include <openssl/pem.h>
#include <openssl/x509.h>
#include <openssl/x509v3.h>
#include <stdlib.h>

#include <cstdio>
#include <filesystem>
#include <atomic>
#include <nlohmann/json.hpp>
#include <string>
#include <vector>

#include "base/VantuError.h"
#include "control/VantuControl.h"
#include "server/VantuServer.h"
#include "tests/loopback_test_support.h"

using namespace vantu;
using namespace vantu::testing;
using namespace std::chrono_literals;
using Clock = std::chrono::system_clock;
using nlohmann::json;

namespace {

struct Certificate {
    std::string certificatePath;
    std::string keyPath;
    Bytes sha256;
};

// A fresh P-256 key and a self-signed certificate for the given subject
// alternative names ("DNS:...,IP:..."), written as PEM files into `directory`.
Certificate makeCertificate(const std::string& directory, const std::string& name, const std::string& altNames) {
    static long serial = 1;
    EVP_PKEY* key = EVP_EC_gen("P-256");
    X509* certificate = X509_new();
    if (!key || !certificate) throw std::runtime_error("key generation failed");
    X509_set_version(certificate, 2);
    ASN1_INTEGER_set(X509_get_serialNumber(certificate), serial++);
    X509_gmtime_adj(X509_getm_notBefore(certificate), -60);
    X509_gmtime_adj(X509_getm_notAfter(certificate), 3600);
    X509_set_pubkey(certificate, key);
    X509_NAME* subject = X509_get_subject_name(certificate);
    X509_NAME_add_entry_by_txt(subject, "CN", MBSTRING_ASC, reinterpret_cast<const unsigned char*>(name.c_str()), -1,
                               -1, 0);
    X509_set_issuer_name(certificate, subject);
    X509V3_CTX context;
    X509V3_set_ctx_nodb(&context);
    X509V3_set_ctx(&context, certificate, certificate, nullptr, nullptr, 0);
    X509_EXTENSION* extension = X509V3_EXT_conf_nid(nullptr, &context, NID_subject_alt_name, altNames.c_str());
    if (!extension || X509_add_ext(certificate, extension, -1) != 1) throw std::runtime_error("SAN failed");
    X509_EXTENSION_free(extension);
    if (X509_sign(certificate, key, EVP_sha256()) == 0) throw std::runtime_error("signing failed");

    Certificate out{directory + "/" + name + ".crt", directory + "/" + name + ".key", {}};
    FILE* file = std::fopen(out.certificatePath.c_str(), "w");
    PEM_write_X509(file, certificate);
    std::fclose(file);
    file = std::fopen(out.keyPath.c_str(), "w");
    PEM_write_PrivateKey(file, key, nullptr, nullptr, 0, nullptr, nullptr);
    std::fclose(file);
    unsigned char digest[EVP_MAX_MD_SIZE];
    unsigned int length = 0;
    X509_digest(certificate, EVP_sha256(), digest, &length);
    out.sha256.assign(digest, digest + length);
    X509_free(certificate);
    EVP_PKEY_free(key);
    return out;
}

class ControlTLS : public ::testing::Test {
protected:
    void SetUp() override {
        char pattern[] = "/tmp/vantu-control-tls-XXXXXX";
        ASSERT_NE(::mkdtemp(pattern), nullptr);
        directory_ = pattern;
        local_ = makeCertificate(directory_, "local", "DNS:localhost,IP:127.0.0.1");
        other_ = makeCertificate(directory_, "other", "DNS:other.invalid");
    }
    void TearDown() override { std::filesystem::remove_all(directory_); }

    server::ServerConfig serverConfig(const Certificate* certificate) const {
        server::ServerConfig config;
        config.secrets = {"s3cret"};
        if (certificate) {
            config.controlTLSCertificate = certificate->certificatePath;
            config.controlTLSKey = certificate->keyPath;
        }
        return config;
    }

    static VantuConfig clientConfig(uint16_t port, const std::string& host = "127.0.0.1") {
        VantuConfig config;
        config.host = host;
        config.controlPort = port;
        config.secret = "s3cret";
        config.deviceID = "device-1";
        return config;
    }

    std::string directory_;
    Certificate local_;
    Certificate other_;
};

TEST_F(ControlTLS, PinsAgainstTheControlService) {
    Bytes wrong = local_.sha256;
    wrong[31] ^= 0x01;
    const std::string missingFile = directory_ + "/absent.pem";
    struct Case {
        const char* name;
        const Certificate* served;
        Bytes fingerprint;
        std::string caFile;
        std::string host;
        std::string failure;  // "" for a granted session; else the start of the message
    };
    const std::vector<Case> cases = {
        {"fingerprint", &local_, local_.sha256, "", "127.0.0.1", ""},
        {"fingerprint ignores names and chain", &other_, other_.sha256, "", "127.0.0.1", ""},
        {"CA file, address in the certificate", &local_, {}, local_.certificatePath, "127.0.0.1", ""},
        {"CA file, name in the certificate", &local_, {}, local_.certificatePath, "localhost", ""},
        {"fingerprint and CA file", &local_, local_.sha256, local_.certificatePath, "localhost", ""},
        {"fingerprint off by one bit", &local_, wrong, "", "127.0.0.1",
         "control TLS certificate mismatch: the server presented SHA-256 " + VantuControl::fingerprintText(local_.sha256) +
             ", expected " + VantuControl::fingerprintText(wrong)},
        {"another server's fingerprint", &local_, other_.sha256, "", "127.0.0.1",
         "control TLS certificate mismatch: the server presented SHA-256 " + VantuControl::fingerprintText(local_.sha256)},
        {"CA file of another server", &local_, {}, other_.certificatePath, "127.0.0.1",
         "control TLS certificate mismatch: self-signed certificate (CA file " + other_.certificatePath + ")"},
        {"name not in the certificate", &other_, {}, other_.certificatePath, "127.0.0.1",
         "control TLS certificate mismatch: IP address mismatch"},
        {"right fingerprint, CA file fails", &local_, local_.sha256, other_.certificatePath, "localhost",
         "control TLS certificate mismatch: self-signed certificate"},
        {"unreadable CA file", &local_, {}, missingFile, "127.0.0.1",
         "control TLS CA file " + missingFile + " cannot be loaded: "},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.name);
        server::VantuServer server(serverConfig(c.served));
        server.start();
        VantuConfig config = clientConfig(server.controlPort(), c.host);
        config.serverCertificateSHA256 = c.fingerprint;
        config.serverCAFile = c.caFile;
        ASSERT_TRUE(config.usesControlTLS());

        std::shared_ptr<VantuSession> session;
        const std::string failure = failureOf([&] { session = VantuControl::open(config, nullptr); });
        if (c.failure.empty()) {
            EXPECT_EQ(failure, "");
            ASSERT_TRUE(session);
            EXPECT_EQ(session->tunnelIP, "10.7.0.2");
            EXPECT_EQ(session->cipher.key().size(), 16u);
            EXPECT_EQ(server.stats().sessionsOpened.load(), 1u);
        } else {
            EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << failure;
            // The secret never went out: nothing was granted.
            EXPECT_EQ(server.stats().sessionsOpened.load(), 0u);
        }
        server.stop();
    }

    // Recovery reconnects to the address in use; the name checked stays the
    // configured one, which the certificate carries and the address does not.
    server::VantuServer server(serverConfig(&other_));
    server.start();
    const VantuConfig named = VantuConfig::fromProviderConfiguration(
        json{{"server", "other.invalid:" + std::to_string(server.controlPort())},
             {"secretKey", "s3cret"},
             {"serverCAFile", other_.certificatePath}});
    const VantuConfig byAddress = named.withHost("127.0.0.1");
    EXPECT_EQ(byAddress.serverName, "other.invalid");
    EXPECT_EQ(failureOf([&] { VantuControl::open(byAddress, nullptr); }), "");
    VantuConfig addressOnly = byAddress;
    addressOnly.serverName.clear();
    EXPECT_EQ(failureOf([&] { VantuControl::open(addressOnly, nullptr); }),
              "control TLS certificate mismatch: IP address mismatch (CA file " + other_.certificatePath + ")");
    EXPECT_EQ(server.stats().sessionsOpened.load(), 1u);
    server.stop();
}

TEST_F(ControlTLS, PeersSpeakingTheOtherWayFailWithinTheDeadline) {
    // A plain client at a TLS control port: the server drops it at the
    // handshake, the client learns at once, and no session is granted.
    {
        std::atomic<bool> handshakeFailed = false;
        server::VantuServer server(serverConfig(&local_), nullptr, [&](const std::string& line) {
            if (line.find("failed the TLS handshake") != std::string::npos) handshakeFailed = true;
        });
        server.start();
        const auto started = Clock::now();
        const std::string failure =
            failureOf([&] { VantuControl::open(clientConfig(server.controlPort()), nullptr, started + 2s); });
        EXPECT_LT(Clock::now() - started, 1500ms);
        EXPECT_TRUE(failure.rfind("control read failed: ", 0) == 0 || failure == "control request timed out" ||
                    failure.rfind("invalid control response: ", 0) == 0)
            << failure;
        EXPECT_EQ(server.stats().sessionsOpened.load(), 0u);
        for (int i = 0; i < 100 && !handshakeFailed; ++i) std::this_thread::sleep_for(10ms);
        EXPECT_TRUE(handshakeFailed);
        server.stop();
    }
    // A TLS client at a plain server that answers in clear at once fails the
    // handshake at once; at a server that never says a word, at the deadline.
    for (const bool answers : {true, false}) {
        SCOPED_TRACE(answers ? "answers in clear" : "silent");
        LoopbackServer plain([answers](int fd) {
            if (answers) sendAll(fd, R"({"status":"ok","session_id":"01020304","session_key":"AAECAwQFBgcICQoLDA0ODw==",)"
                                     R"("tunnel_ip":"10.7.0.2","data_port":51820})" "\n");
            waitForPeerClose(fd);
        });
        VantuConfig config = clientConfig(plain.port());
        config.serverCertificateSHA256 = local_.sha256;
        const auto started = Clock::now();
        const std::string failure = failureOf([&] { VantuControl::open(config, nullptr, started + (answers ? 2s : 300ms)); });
        const auto elapsed = Clock::now() - started;
        if (answers) EXPECT_EQ(failure.rfind("control TLS handshake failed: ", 0), 0u) << failure;
        else EXPECT_EQ(failure, "control TLS handshake timed out");
        EXPECT_GE(elapsed, answers ? 0ms : 300ms);
        EXPECT_LT(elapsed, answers ? 1500ms : 1000ms);
    }
}

// An observer between client and control port sees neither the secret nor
// the session key, while the same relay shows both when TLS is off, which
// proves it would have seen them.
TEST_F(ControlTLS, ObserverOnThePathReadsNoSecretOrKey) {
    for (const bool tls : {true, false}) {
        SCOPED_TRACE(tls ? "TLS" : "plain");
        server::VantuServer server(serverConfig(tls ? &local_ : nullptr));
        server.start();
        const uint16_t serverPort = server.controlPort();
        std::string wire;
        LoopbackServer relay([&](int client) {
            const Fd upstream{connectLoopback(serverPort)};
            pollfd ends[2] = {{client, POLLIN, 0}, {upstream.fd, POLLIN, 0}};
            bool open[2] = {true, true};
            const auto giveUp = std::chrono::steady_clock::now() + 3s;
            char buffer[4096];
            while ((open[0] || open[1]) && std::chrono::steady_clock::now() < giveUp) {
                if (::poll(ends, 2, 50) <= 0) continue;
                for (int i = 0; i < 2; ++i) {
                    if (!open[i] || !(ends[i].revents & (POLLIN | POLLHUP | POLLERR))) continue;
                    const ssize_t n = ::recv(ends[i].fd, buffer, sizeof buffer, 0);
                    if (n <= 0) {
                        open[i] = false;
                        ends[i].events = 0;
                        ::shutdown(ends[1 - i].fd, SHUT_WR);
                        continue;
                    }
                    wire.append(buffer, static_cast<size_t>(n));
                    sendAll(ends[1 - i].fd, std::string(buffer, static_cast<size_t>(n)));
                }
            }
        });
        VantuConfig config = clientConfig(relay.port());
        if (tls) config.serverCertificateSHA256 = local_.sha256;
        const auto session = VantuControl::open(config, nullptr);
        relay.join();
        ASSERT_TRUE(session);
        const Bytes& key = session->cipher.key();
        std::string keyText(4 * ((key.size() + 2) / 3) + 1, '\0');
        keyText.resize(static_cast<size_t>(
            EVP_EncodeBlock(reinterpret_cast<unsigned char*>(keyText.data()), key.data(), static_cast<int>(key.size()))));
        EXPECT_EQ(wire.find("s3cret") != std::string::npos, !tls);
        EXPECT_EQ(wire.find(keyText) != std::string::npos, !tls);
        EXPECT_EQ(wire.find(std::string(key.begin(), key.end())) != std::string::npos, false);
        EXPECT_GT(wire.size(), 100u);
        server.stop();
    }
}

TEST(ControlTLSConfiguration, ClientPinKeys) {
    const std::string hex = "00112233445566778899aabbccddeeff00112233445566778899AABBCCDDEEFF";
    std::string colons;
    for (size_t i = 0; i < hex.size(); i += 2) colons += (i ? ":" : "") + hex.substr(i, 2);
    Bytes expected;
    for (int i = 0; i < 32; ++i) expected.push_back(static_cast<uint8_t>(i % 16 * 0x11));
    const std::string kFingerprintError =
        "invalid serverCertificateSHA256: expected 64 hexadecimal digits, colons allowed between bytes";
    const std::string kCAFileError = "invalid serverCAFile: expected a file path";
    struct Case {
        json extra;
        Bytes fingerprint;
        std::string caFile;
        std::string failure;
    };
    // A TLS key that is named is used or stops the start: null, another type
    // or empty text never fall back to a control session in plain text.
    const std::vector<Case> cases = {
        {json::object(), {}, "", ""},
        {{{"serverCertificateSHA256", hex}}, expected, "", ""},
        {{{"serverCertificateSHA256", colons}}, expected, "", ""},
        {{{"serverCAFile", "/etc/vantu/ca.pem"}}, {}, "/etc/vantu/ca.pem", ""},
        {{{"serverCertificateSHA256", hex}, {"serverCAFile", "/etc/vantu/ca.pem"}}, expected, "/etc/vantu/ca.pem", ""},
        {{{"serverCertificateSHA256", hex.substr(2)}}, {}, "", kFingerprintError},
        {{{"serverCertificateSHA256", hex + "00"}}, {}, "", kFingerprintError},
        {{{"serverCertificateSHA256", "g" + hex.substr(1)}}, {}, "", kFingerprintError},
        {{{"serverCertificateSHA256", "0:" + hex.substr(1)}}, {}, "", kFingerprintError},
        {{{"serverCertificateSHA256", nullptr}}, {}, "", kFingerprintError + ", not null"},
        {{{"serverCertificateSHA256", ""}}, {}, "", kFingerprintError + ", not empty text"},
        {{{"serverCertificateSHA256", 42}}, {}, "", kFingerprintError + ", not a number"},
        {{{"serverCertificateSHA256", false}}, {}, "", kFingerprintError + ", not a boolean"},
        {{{"serverCertificateSHA256", json::array({hex})}}, {}, "", kFingerprintError + ", not a list"},
        {{{"serverCAFile", nullptr}}, {}, "", kCAFileError + ", not null"},
        {{{"serverCAFile", ""}}, {}, "", kCAFileError + ", not empty text"},
        {{{"serverCAFile", true}}, {}, "", kCAFileError + ", not a boolean"},
        {{{"serverCAFile", json::object()}}, {}, "", kCAFileError + ", not an object"},
        {{{"serverCertificateSHA256", hex}, {"serverCAFile", nullptr}}, {}, "", kCAFileError + ", not null"},
        {{{"serverCertificateSHA256", nullptr}, {"serverCAFile", "/etc/vantu/ca.pem"}}, {}, "", kFingerprintError + ", not null"},
    };
    EXPECT_EQ(VantuControl::fingerprintText({0xAB, 0x01, 0x00}), "AB:01:00");
    for (const auto& c : cases) {
        SCOPED_TRACE(c.extra.dump());
        json dictionary = {{"server", "vpn.example.net:8443"}, {"secretKey", "s3cret"}};
        dictionary.update(c.extra);
        VantuConfig config;
        const std::string failure =
            failureOf([&] { config = VantuConfig::fromProviderConfiguration(dictionary); });
        EXPECT_EQ(failure, c.failure);
        if (!c.failure.empty()) continue;
        EXPECT_EQ(config.serverCertificateSHA256, c.fingerprint);
        EXPECT_EQ(config.serverCAFile, c.caFile);
        EXPECT_EQ(config.usesControlTLS(), !c.extra.empty()) << "a named key that loads means TLS";
    }
}

TEST_F(ControlTLS, ServerCertificateKeys) {
    const std::string missing = directory_ + "/absent.pem";
    struct Case {
        json keys;
        std::string failure;  // the start of the message
    };
    const std::vector<Case> cases = {
        {{{"control_tls_certificate", local_.certificatePath}}, "control_tls_certificate and control_tls_key go together"},
        {{{"control_tls_key", local_.keyPath}}, "control_tls_certificate and control_tls_key go together"},
        {{{"control_tls_certificate", 7}, {"control_tls_key", local_.keyPath}},
         "control_tls_certificate must be a string"},
        {{{"control_tls_certificate", missing}, {"control_tls_key", local_.keyPath}},
         "control_tls_certificate: cannot use " + missing + ": "},
        {{{"control_tls_certificate", local_.certificatePath}, {"control_tls_key", missing}},
         "control_tls_key: cannot use " + missing + ": "},
        {{{"control_tls_certificate", local_.certificatePath}, {"control_tls_key", other_.keyPath}},
         "control_tls_key: cannot use " + other_.keyPath + ": key values mismatch"},
        {{{"control_tls_certificate", local_.certificatePath}, {"control_tls_key", local_.keyPath}}, ""},
    };
    for (const auto& c : cases) {
        SCOPED_TRACE(c.keys.dump());
        json document = {{"control_port", 0}, {"data_port", 0}, {"secrets", {"s3cret"}},
                         {"tunnel_subnet", "10.7.0.0/24"}, {"control_address", "127.0.0.1"},
                         {"data_address", "127.0.0.1"}};
        document.update(c.keys);
        std::string failure;
        try {
            server::VantuServer server(server::ServerConfig::fromJSON(document));
            EXPECT_TRUE(server.config().controlTLS());
        } catch (const server::ConfigError& error) {
            failure = error.what();
        }
        EXPECT_EQ(failure.substr(0, c.failure.size()), c.failure) << failure;
        EXPECT_EQ(failure.empty(), c.failure.empty()) << failure;
    }
}

}  // namespace
