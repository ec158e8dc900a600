#include "server/ControlService.h"

#include <openssl/crypto.h>
#include <openssl/evp.h>
#include <openssl/ssl.h>

#include <array>
#include <cstdio>

#include <asio/read_until.hpp>
#include <asio/ssl/stream.hpp>
#include <asio/steady_timer.hpp>
#include <asio/streambuf.hpp>
#include <asio/write.hpp>

#include "base/VantuError.h"

namespace vantu::server {

namespace {

constexpr size_t kMaxDeviceIDBytes = 256;
constexpr size_t kMaxEchoedTextBytes = 64;

nlohmann::json errorResponse(const std::string& message) {
    return nlohmann::json{{"status", "error"}, {"message", message}};
}

std::array<uint8_t, 32> sha256(const std::string& text) {
    std::array<uint8_t, 32> digest{};
    unsigned int length = 0;
    if (EVP_Digest(text.data(), text.size(), digest.data(), &length, EVP_sha256(), nullptr) != 1) {
        throw VantuError("SHA-256 failed");
    }
    return digest;
}

// Compares digests so that the time taken reveals neither the secret's
// content nor its length; every accepted secret is always tried.
bool secretAccepted(const std::string& presented, const std::vector<std::string>& accepted) {
    const auto digest = sha256(presented);
    bool match = false;
    for (const auto& secret : accepted) {
        const auto expected = sha256(secret);
        match |= CRYPTO_memcmp(digest.data(), expected.data(), digest.size()) == 0;
    }
    return match;
}

std::string base64(const Bytes& data) {
    std::string out(4 * ((data.size() + 2) / 3) + 1, '\0');
    const int n =
        EVP_EncodeBlock(reinterpret_cast<unsigned char*>(out.data()), data.data(), static_cast<int>(data.size()));
    out.resize(static_cast<size_t>(n));
    return out;
}


// A client-chosen text shortened for messages and log lines. The cut never
// falls inside a character: half a character is not UTF-8, and the response
// holding it could not be serialised.
std::string clip(const std::string& text) {
    if (text.size() <= kMaxEchoedTextBytes) return text;
    size_t cut = kMaxEchoedTextBytes;
    while (cut > 0 && (static_cast<unsigned char>(text[cut]) & 0xC0) == 0x80) --cut;
    return text.substr(0, cut) + "...";
}

// An optional string member: absent or null gives the empty text.
bool optionalString(const nlohmann::json& request, const char* key, std::string& out) {
    const auto it = request.find(key);
    if (it == request.end() || it->is_null()) return true;
    if (!it->is_string()) return false;
    out = it->get<std::string>();
    return true;
}

}  // namespace

// ---------------------------------------------------------------- Connection

class ControlService::Connection : public std::enable_shared_from_this<Connection> {
public:
    Connection(ControlService& owner, asio::ip::tcp::socket socket, uint64_t id, std::string address)
        : owner_(owner), socket_(owner.io_), timer_(owner.io_), buffer_(owner.config_.maxRequestBytes),
          open_(owner.open_), id_(id), address_(std::move(address)) {
        if (owner.tls_) {
            tls_ = std::make_unique<asio::ssl::stream<asio::ip::tcp::socket>>(std::move(socket), *owner.tls_);
        } else {
            socket_ = std::move(socket);
        }
        std::error_code ec;
        const auto remote = tcp().remote_endpoint(ec);
        peer_ = ec ? std::string("unknown peer") : remote.address().to_string() + ":" + std::to_string(remote.port());
    }

    ~Connection() {
        open_->gate.remove(id_);
        open_->connections.erase(id_);
    }

    // The gate's deadline for the request covers the TLS handshake too.
    void start() {
        if (!tls_) {
            read();
            return;
        }
        tls_->async_handshake(asio::ssl::stream_base::server, [self = shared_from_this()](const std::error_code& ec) {
            if (self->phase_ != Phase::reading) return;
            if (ec) {
                ++self->owner_.stats_.controlErrors;
                self->owner_.note(self->owner_.requestLog_,
                                  "control: " + self->peer_ + " failed the TLS handshake: " + ec.message());
                self->close();
                return;
            }
            self->read();
        });
    }

    void close() {
        phase_ = Phase::closed;
        std::error_code ignored;
        timer_.cancel();
        tcp().shutdown(asio::ip::tcp::socket::shutdown_both, ignored);
        tcp().close(ignored);
    }

private:
    asio::ip::tcp::socket& tcp() { return tls_ ? tls_->next_layer() : socket_; }

    // Runs `operation` on whichever stream this connection speaks.
    template <class Operation>
    void onStream(const Operation& operation) {
        if (tls_) {
            operation(*tls_);
        } else {
            operation(socket_);
        }
    }

    enum class Phase { reading, writing, lingering, closed };

    void read() {
        onStream([this](auto& stream) {
            asio::async_read_until(
                stream, buffer_, '\n',
                [self = shared_from_this()](const std::error_code& ec, size_t length) { self->onRead(ec, length); });
        });
    }

    void onRead(const std::error_code& ec, size_t length) {
        if (phase_ != Phase::reading) return;
        if (ec == asio::error::not_found) {
            ++owner_.stats_.controlErrors;
            owner_.note(owner_.requestLog_, "control: " + peer_ + " sent a request line longer than " +
                                                std::to_string(owner_.config_.maxRequestBytes) + " bytes");
            respond(errorResponse("request too long"));
            return;
        }
        std::string line;
        if (!ec) {
            line.assign(asio::buffers_begin(buffer_.data()),
                        asio::buffers_begin(buffer_.data()) + static_cast<std::ptrdiff_t>(length));
        } else if (ec == asio::error::eof && buffer_.size() > 0) {
            // A client that half-closes instead of ending its line still gets
            // an answer for what it sent.
            line.assign(asio::buffers_begin(buffer_.data()), asio::buffers_end(buffer_.data()));
        } else {
            close();
            return;
        }
        respond(owner_.handleRequest(line, peer_, address_));
    }

    // From here on the connection keeps its place (it has done what a
    // client does) for as long as its answer and the close take, at most
    // controlTimeout.
    void respond(const nlohmann::json& response) {
        open_->gate.prove(id_);
        phase_ = Phase::writing;
        timer_.expires_after(owner_.config_.controlTimeout);
        timer_.async_wait([self = shared_from_this()](const std::error_code& ec) {
            if (!ec && self->phase_ != Phase::closed) self->close();
        });
        // Every text in a response is either the server's own or cut with
        // clip(); replacing is the last line of defence, never a throw.
        out_ = response.dump(-1, ' ', false, nlohmann::json::error_handler_t::replace) + "\n";
        onStream([this](auto& stream) {
            asio::async_write(stream, asio::buffer(out_), [self = shared_from_this()](const std::error_code& ec, size_t) {
                if (self->phase_ != Phase::writing) return;
                if (ec) {
                    self->close();
                    return;
                }
                self->linger();
            });
        });
    }

    // Half-close and read until the client closes, so that unread request
    // bytes never turn the close into a reset that could destroy the response
    // before the client read it. The timer bounds this phase too.
    // Over TLS the same is a close_notify each way.
    void linger() {
        phase_ = Phase::lingering;
        open_->gate.done(id_);
        if (tls_) {
            tls_->async_shutdown([self = shared_from_this()](const std::error_code&) {
                if (self->phase_ == Phase::lingering) self->close();
            });
            return;
        }
        std::error_code ignored;
        socket_.shutdown(asio::ip::tcp::socket::shutdown_send, ignored);
        drain();
    }

    void drain() {
        socket_.async_read_some(asio::buffer(owner_.discard_), [self = shared_from_this()](const std::error_code& ec, size_t) {
            if (self->phase_ != Phase::lingering) return;
            if (ec) {
                self->close();
                return;
            }
            self->drain();
        });
    }

    ControlService& owner_;
    // The plain socket, or an unused one when the TLS stream owns the connection.
    asio::ip::tcp::socket socket_;
    std::unique_ptr<asio::ssl::stream<asio::ip::tcp::socket>> tls_;
    asio::steady_timer timer_;
    asio::streambuf buffer_;
    std::shared_ptr<Open> open_;
    const uint64_t id_;
    const std::string address_;
    std::string peer_;
    std::string out_;
    Phase phase_ = Phase::reading;
};

// ---------------------------------------------------------------- ControlService

ControlService::ControlService(asio::io_context& io, const ServerConfig& config, SessionTable& sessions,
                               ServerStats& stats, Logger log, ServerClock clock)
    : io_(io), config_(config), sessions_(sessions), stats_(stats), log_(std::move(log)),
      now_(orSteadyClock(std::move(clock))), tls_(makeControlTLSContext(config)), acceptor_(io),
      open_(std::make_shared<Open>(ConnectionGate::Limits{config.maxControlConnections,
                                                          config.maxControlConnectionsPerPeer, config.controlTimeout})),
      sweep_(io, open_->gate, now_,
             [this](const std::vector<uint64_t>& expired) {
                 stats_.controlTimeouts += expired.size();
                 for (const uint64_t id : expired) drop(id);
                 note(admissionLog_, "control: closed " + std::to_string(expired.size()) +
                                         " connections that sent no whole request in time");
             }),
      acceptRetry_(io) {}

std::unique_ptr<asio::ssl::context> makeControlTLSContext(const ServerConfig& config) {
    if (!config.controlTLS()) return nullptr;
    auto context = std::make_unique<asio::ssl::context>(asio::ssl::context::tls_server);
    SSL_CTX* native = context->native_handle();
    SSL_CTX_set_min_proto_version(native, TLS1_3_VERSION);
    // Each connection carries one exchange; a ticket for resuming would only
    // be more bytes the client has to read past.
    SSL_CTX_set_num_tickets(native, 0);
    std::error_code ec;
    context->use_certificate_chain_file(config.controlTLSCertificate, ec);
    if (ec) {
        throw ConfigError("control_tls_certificate: cannot use " + config.controlTLSCertificate + ": " + ec.message());
    }
    // This also fails for a key that does not belong to the certificate.
    context->use_private_key_file(config.controlTLSKey, asio::ssl::context::pem, ec);
    if (ec) throw ConfigError("control_tls_key: cannot use " + config.controlTLSKey + ": " + ec.message());
    return context;
}

void ControlService::start(uint16_t dataPort) {
    dataPort_ = dataPort;
    const asio::ip::tcp::endpoint endpoint(asio::ip::make_address(config_.controlAddress), config_.controlPort);
    acceptor_.open(endpoint.protocol());
    acceptor_.set_option(asio::ip::tcp::acceptor::reuse_address(true));
    acceptor_.bind(endpoint);
    acceptor_.listen(asio::socket_base::max_listen_connections);
    port_ = acceptor_.local_endpoint().port();
    accept();
}

void ControlService::stop() {
    stopped_ = true;
    std::error_code ignored;
    acceptor_.close(ignored);
    acceptRetry_.cancel();
    sweep_.stop();
    // Closing may destroy a connection, which takes itself out of the table.
    std::vector<std::shared_ptr<Connection>> open;
    for (auto& [id, weak] : open_->connections) {
        if (auto connection = weak.lock()) open.push_back(std::move(connection));
    }
    for (const auto& connection : open) connection->close();
}

void ControlService::note(LogBudget& budget, const std::string& line) {
    if (auto admitted = budget.admit(line, now_())) log_(*admitted);
}

void ControlService::drop(uint64_t id) {
    const auto it = open_->connections.find(id);
    if (it == open_->connections.end()) return;
    if (const auto connection = it->second.lock()) connection->close();
}

void ControlService::accept() {
    acceptor_.async_accept([this](const std::error_code& ec, asio::ip::tcp::socket socket) {
        if (stopped_ || ec == asio::error::operation_aborted) return;
        if (ec) {
            // Out of descriptors (EMFILE, ENFILE) or memory: the connection
            // stays in the backlog and accepting again at once would fail the
            // same way in a busy loop. A pause lets connections finish and
            // give their descriptors back; the service goes on afterwards.
            ++stats_.controlAcceptFailures;
            if (!acceptFailing_) log_("control: accept failed: " + ec.message() + "; pausing accepts");
            acceptFailing_ = true;
            acceptLater();
            return;
        }
        if (acceptFailing_) log_("control: accepting again");
        acceptFailing_ = false;
        admit(std::move(socket));
        accept();
    });
}

void ControlService::admit(asio::ip::tcp::socket socket) {
    std::error_code error;
    const auto remote = socket.remote_endpoint(error);
    const std::string address = error ? std::string("unknown") : peerKey(remote.address());
    const uint64_t id = nextID_++;
    const auto admission = open_->gate.admit(id, address, now_());
    if (!admission.admitted) {
        ++stats_.controlRefused;
        note(admissionLog_, "control: refusing connections from " + address + ": " +
                                std::to_string(open_->gate.from(address)) + " open from that address, " +
                                std::to_string(open_->gate.size()) + " in total");
        socket.close(error);
        return;
    }
    if (admission.evicted) {
        ++stats_.controlEvicted;
        drop(*admission.evicted);
        note(admissionLog_, "control: " + std::to_string(open_->gate.size()) +
                                " connections open; the oldest without a whole request made room for a new one");
    }
    ++stats_.controlConnections;
    auto connection = std::make_shared<Connection>(*this, std::move(socket), id, address);
    open_->connections[id] = connection;
    connection->start();
    sweep_.arm();
}

void ControlService::acceptLater() {
    acceptRetry_.expires_after(kAcceptRetryDelay);
    acceptRetry_.async_wait([this](const std::error_code& ec) {
        if (ec || stopped_) return;
        accept();
    });
}

nlohmann::json ControlService::handleRequest(const std::string& line, const std::string& peer,
                                            const std::string& address) {
    nlohmann::json request;
    try {
        request = nlohmann::json::parse(line);
    } catch (const nlohmann::json::exception&) {
        ++stats_.controlErrors;
        note(requestLog_, "control: " + peer + " sent a request that is not JSON");
        return errorResponse("malformed request: not valid JSON");
    }
    if (!request.is_object()) {
        ++stats_.controlErrors;
        return errorResponse("malformed request: expected a JSON object");
    }
    const auto action = request.find("action");
    if (action == request.end() || !action->is_string()) {
        ++stats_.controlErrors;
        return errorResponse("malformed request: action must be a string");
    }
    if (*action != "open") {
        ++stats_.controlErrors;
        note(requestLog_, "control: " + peer + " asked for unknown action \"" + clip(action->get<std::string>()) + "\"");
        return errorResponse("unknown action \"" + clip(action->get<std::string>()) + "\"");
    }

    std::string secret, deviceID, clientVersion, preferredTransport;
    const auto secretIt = request.find("secret");
    if (secretIt == request.end() || !secretIt->is_string()) {
        ++stats_.controlErrors;
        return errorResponse("malformed request: secret must be a string");
    }
    secret = secretIt->get<std::string>();
    if (!optionalString(request, "device_id", deviceID) || !optionalString(request, "client_version", clientVersion) ||
        !optionalString(request, "data_transport", preferredTransport)) {
        ++stats_.controlErrors;
        return errorResponse("malformed request: device_id, client_version and data_transport must be strings");
    }
    if (deviceID.size() > kMaxDeviceIDBytes) {
        ++stats_.controlErrors;
        return errorResponse("malformed request: device_id longer than " + std::to_string(kMaxDeviceIDBytes) +
                             " bytes");
    }

    try {
        if (const auto wait = guesses_.wait(address, now_())) {
            ++stats_.controlThrottled;
            const std::string seconds = std::to_string((wait->count() + 999) / 1000);
            note(secretLog_, "control: " + peer + " refused: too many failed secrets from " + address +
                                 " (retry in " + seconds + " s)");
            return errorResponse("too many failed secrets; try again in " + seconds + " s");
        }
        if (!secretAccepted(secret, config_.secrets)) {
            ++stats_.controlRejected;
            guesses_.failed(address, now_());
            note(secretLog_, "control: " + peer + " presented an invalid secret (device \"" + clip(deviceID) + "\")");
            return errorResponse("invalid secret");
        }
        guesses_.succeeded(address);
        SessionGrant grant = sessions_.open(deviceID);
        ++stats_.sessionsOpened;
        const auto& session = *grant.session;

        nlohmann::json response{
            {"status", "ok"},
            {"session_id", hex8(session.id)},
            {"session_key", base64(grant.key)},
            {"cipher", config_.cipher},
            {"transport", config_.transport},
            {"data_port", dataPort_},
            {"tunnel_ip", formatIPv4(session.tunnelIP)},
            {"tunnel_mtu", config_.tunnelMTU},
        };
        if (auto routing = config_.routingForClients()) response["routing"] = std::move(*routing);

        std::string line = "control: " + peer + " opened session " + hex8(session.id) + " for device \"" +
                           clip(deviceID) + "\" (client \"" + clip(clientVersion) + "\") at " +
                           formatIPv4(session.tunnelIP);
        if (grant.replaced) line += ", replacing session " + hex8(*grant.replaced);
        if (grant.displaced) {
            line += ", ending anonymous session " + hex8(*grant.displaced) + " (anonymous sessions hold at most " +
                    std::to_string(sessions_.maxAnonymous()) + " addresses)";
        }
        if (!preferredTransport.empty() && preferredTransport != config_.transport) {
            line += "; client preferred transport \"" + clip(preferredTransport) + "\"";
        }
        log_(line + "; " + sessions_.poolUse().text());
        return response;
    } catch (const std::exception& e) {
        ++stats_.controlErrors;
        log_("control: cannot open a session for " + peer + ": " + e.what());
        return errorResponse(e.what());
    }
}

}  // namespace vantu::server
