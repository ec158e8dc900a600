// TLS for the control session. Without it the secret goes out and the
// session key comes back in clear text, and with the key every data frame
// can be read. The client opts in by pinning the server's certificate.
//
// OpenSSL never touches the socket here: it reads and writes memory buffers,
// and this file moves their contents with poll, send and recv. That keeps one
// absolute deadline over the handshake, the write and the read, and every
// send carries MSG_NOSIGNAL (OpenSSL's socket BIO would write() and could
// raise SIGPIPE).

#include <arpa/inet.h>
#include <openssl/crypto.h>
#include <openssl/err.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>
#include <openssl/x509v3.h>
#include <poll.h>
#include <sys/socket.h>

#include <cerrno>
#include <cstdio>

#include "base/VantuError.h"
#include "control/VantuControl.h"

namespace vantu {
namespace VantuControl {

namespace {

bool beforeDeadline(Instant deadline) { return std::chrono::system_clock::now() < deadline; }

// The first entry of OpenSSL's error queue, or a word on the I/O state.
std::string tlsReason(int sslError) {
    const unsigned long code = ERR_get_error();
    ERR_clear_error();
    if (code != 0) {
        if (const char* reason = ERR_reason_error_string(code)) return reason;
        char text[256];
        ERR_error_string_n(code, text, sizeof text);
        return text;
    }
    if (sslError == SSL_ERROR_SYSCALL || sslError == SSL_ERROR_ZERO_RETURN) return "connection closed";
    return "TLS error " + std::to_string(sslError);
}

bool isAddressLiteral(const std::string& host) {
    unsigned char scratch[sizeof(in6_addr)];
    return ::inet_pton(AF_INET, host.c_str(), scratch) == 1 || ::inet_pton(AF_INET6, host.c_str(), scratch) == 1;
}

// A failure of the TLS layer itself, as opposed to one of the socket.
struct TLSFailure {
    std::string reason;
};

}  // namespace

std::string fingerprintText(const Bytes& digest) {
    std::string out;
    char pair[4];
    for (size_t i = 0; i < digest.size(); ++i) {
        std::snprintf(pair, sizeof pair, i == 0 ? "%02X" : ":%02X", digest[i]);
        out += pair;
    }
    return out;
}

struct TLSChannel::State {
    int socket = -1;
    SSL_CTX* context = nullptr;
    SSL* ssl = nullptr;
    BIO* fromNetwork = nullptr;  // owned by ssl once attached
    BIO* toNetwork = nullptr;

    ~State() {
        if (ssl) SSL_free(ssl);
        if (context) SSL_CTX_free(context);
    }

    // Sends every record OpenSSL has produced. Throws the plain write texts.
    void flush(Instant deadline) {
        while (const size_t pending = BIO_ctrl_pending(toNetwork)) {
            Bytes records(pending);
            const int taken = BIO_read(toNetwork, records.data(), static_cast<int>(records.size()));
            if (taken <= 0) return;
            records.resize(static_cast<size_t>(taken));
            writeControlPayload(records, socket, deadline);
        }
    }

    // Feeds OpenSSL what the socket has. False once the deadline passed.
    bool fill(Instant deadline) {
        uint8_t buffer[receiveChunkBytes];
        while (beforeDeadline(deadline)) {
            pollfd record{socket, POLLIN, 0};
            const int ready = ::poll(&record, 1, remainingMilliseconds(deadline));
            if (ready == 0) return false;
            if (ready < 0) {
                if (errno == EINTR) continue;
                throw VantuError("control poll failed: " + posixMessage(errno));
            }
            if (record.revents & (POLLERR | POLLNVAL)) throw VantuError("control read failed: socket error");
            const ssize_t count = ::recv(socket, buffer, sizeof buffer, 0);
            if (count < 0) {
                if (errno == EAGAIN || errno == EWOULDBLOCK || errno == EINTR) continue;
                throw VantuError("control read failed: " + posixMessage(errno));
            }
            if (count == 0) {
                // From now on an empty buffer reads as end of stream, not "try again".
                BIO_set_mem_eof_return(fromNetwork, 0);
            } else {
                BIO_write(fromNetwork, buffer, static_cast<int>(count));
            }
            return true;
        }
        return false;
    }

    // Runs one OpenSSL operation to completion: its result (> 0), 0 at the
    // peer's end of stream, -1 at the deadline. Throws TLSFailure.
    template <class Operation>
    int drive(const Operation& operation, Instant deadline) {
        for (;;) {
            ERR_clear_error();
            const int result = operation();
            const int error = result > 0 ? SSL_ERROR_NONE : SSL_get_error(ssl, result);
            if (result > 0 || error == SSL_ERROR_WANT_READ || error == SSL_ERROR_WANT_WRITE) {
                flush(deadline);
            } else {
                // An alert explains the failure to the peer; losing it is fine.
                std::string reason = tlsReason(error);
                try {
                    flush(deadline);
                } catch (const VantuError&) {
                }
                if (error == SSL_ERROR_ZERO_RETURN) return 0;
                throw TLSFailure{std::move(reason)};
            }
            if (result > 0) return result;
            if (error == SSL_ERROR_WANT_READ && !fill(deadline)) return -1;
        }
    }
};

TLSChannel::TLSChannel(int socket, const TLSPin& pin, Instant deadline) : state_(std::make_unique<State>()) {
    State& s = *state_;
    s.socket = socket;
    ERR_clear_error();
    s.context = SSL_CTX_new(TLS_client_method());
    if (!s.context) throw VantuError("control TLS setup failed: " + tlsReason(SSL_ERROR_SSL));
    SSL_CTX_set_min_proto_version(s.context, TLS1_3_VERSION);
    // A server that closes without close_notify after its answer has still
    // answered; the read loop judges the bytes, as it does without TLS.
    SSL_CTX_set_options(s.context, SSL_OP_IGNORE_UNEXPECTED_EOF);
    if (!pin.caFile.empty()) {
        if (SSL_CTX_load_verify_locations(s.context, pin.caFile.c_str(), nullptr) != 1) {
            throw VantuError("control TLS CA file " + pin.caFile + " cannot be loaded: " + tlsReason(SSL_ERROR_SSL));
        }
        SSL_CTX_set_verify(s.context, SSL_VERIFY_PEER, nullptr);
    } else {
        // The fingerprint alone decides; self-signed certificates are the rule then.
        SSL_CTX_set_verify(s.context, SSL_VERIFY_NONE, nullptr);
    }

    s.ssl = SSL_new(s.context);
    s.fromNetwork = BIO_new(BIO_s_mem());
    s.toNetwork = BIO_new(BIO_s_mem());
    if (!s.ssl || !s.fromNetwork || !s.toNetwork) {
        if (s.fromNetwork) BIO_free(s.fromNetwork);
        if (s.toNetwork) BIO_free(s.toNetwork);
        throw VantuError("control TLS setup failed: " + tlsReason(SSL_ERROR_SSL));
    }
    BIO_set_mem_eof_return(s.fromNetwork, -1);
    SSL_set_bio(s.ssl, s.fromNetwork, s.toNetwork);
    SSL_set_connect_state(s.ssl);
    const bool literal = isAddressLiteral(pin.host);
    if (!literal && !pin.host.empty()) SSL_set_tlsext_host_name(s.ssl, pin.host.c_str());
    if (!pin.caFile.empty()) {
        const int set = literal ? X509_VERIFY_PARAM_set1_ip_asc(SSL_get0_param(s.ssl), pin.host.c_str())
                                : SSL_set1_host(s.ssl, pin.host.c_str());
        if (set != 1) throw VantuError("control TLS setup failed: cannot check the name " + pin.host);
    }

    int result;
    try {
        result = s.drive([&] { return SSL_do_handshake(s.ssl); }, deadline);
    } catch (const TLSFailure& failure) {
        const long verified = SSL_get_verify_result(s.ssl);
        if (!pin.caFile.empty() && verified != X509_V_OK) {
            throw VantuError(std::string("control TLS certificate mismatch: ") +
                             X509_verify_cert_error_string(verified) + " (CA file " + pin.caFile + ")");
        }
        throw VantuError("control TLS handshake failed: " + failure.reason);
    } catch (const VantuError& error) {
        if (!beforeDeadline(deadline)) throw VantuError("control TLS handshake timed out");
        throw VantuError("control TLS handshake failed: " + error.message());
    }
    if (result < 0) throw VantuError("control TLS handshake timed out");
    if (result == 0) throw VantuError("control TLS handshake failed: connection closed");

    if (!pin.certificateSHA256.empty()) {
        X509* certificate = SSL_get1_peer_certificate(s.ssl);
        if (!certificate) throw VantuError("control TLS certificate mismatch: the server presented no certificate");
        unsigned char digest[EVP_MAX_MD_SIZE];
        unsigned int length = 0;
        const int digested = X509_digest(certificate, EVP_sha256(), digest, &length);
        X509_free(certificate);
        if (digested != 1) throw VantuError("control TLS setup failed: " + tlsReason(SSL_ERROR_SSL));
        const Bytes presented(digest, digest + length);
        if (presented != pin.certificateSHA256) {
            throw VantuError("control TLS certificate mismatch: the server presented SHA-256 " +
                             fingerprintText(presented) + ", expected " + fingerprintText(pin.certificateSHA256));
        }
    }
}

TLSChannel::~TLSChannel() {
    State& s = *state_;
    if (!s.ssl || !SSL_is_init_finished(s.ssl)) return;
    ERR_clear_error();
    SSL_shutdown(s.ssl);
    uint8_t records[1024];
    const int taken = BIO_read(s.toNetwork, records, sizeof records);
    if (taken > 0) (void)::send(s.socket, records, static_cast<size_t>(taken), MSG_NOSIGNAL | MSG_DONTWAIT);
    ERR_clear_error();
}

void TLSChannel::write(const Bytes& payload, Instant deadline) {
    if (payload.empty()) return;
    State& s = *state_;
    int result;
    try {
        result = s.drive([&] { return SSL_write(s.ssl, payload.data(), static_cast<int>(payload.size())); },
                         deadline);
    } catch (const TLSFailure& failure) {
        throw VantuError("control write failed: " + failure.reason);
    }
    if (result < 0) throw VantuError("control write timed out");
    if (result == 0) throw VantuError("control write failed: socket closed");
}

ControlResponse TLSChannel::read(Instant deadline, const ResponseDecoder& decode) {
    State& s = *state_;
    const ChunkSource receive = [&](uint8_t* buffer, size_t size) -> ssize_t {
        try {
            return s.drive([&] { return SSL_read(s.ssl, buffer, static_cast<int>(size)); }, deadline);
        } catch (const TLSFailure& failure) {
            throw VantuError("control read failed: " + failure.reason);
        }
    };
    return readResponseChunks(receive, decode);
}

}  // namespace VantuControl
}  // namespace vantu
