#pragma once

#include <sys/socket.h>

#include <cstddef>
#include <cstdint>
#include <functional>
#include <memory>
#include <optional>
#include <string>

#include <netdb.h>
#include <sys/types.h>

#include "base/Bytes.h"
#include "base/Time.h"
#include "VantuPacketTunnel/config/VantuConfig.h"
#include "datachannel/crypto/VantuSession.h"
#include "routing/RoutingPolicy.h"

namespace vantu {

// The control session: one short TCP exchange with the server's control port
// (connect, write one JSON request line, read one JSON response, close) that
// yields the parameters of a data session. With a pinned server certificate
// in the configuration the exchange runs inside TLS 1.3. Everything here is synchronous,
// bounded by one absolute deadline, and touches no provider state.
namespace VantuControl {

// The whole exchange, from before the connection starts to the decoded
// response, must fit in this many seconds.
inline constexpr double requestTimeout = 4.0;

// A response larger than this is not a control response; a server streaming
// bytes that never form a document must not exhaust our memory.
inline constexpr size_t maxResponseBytes = 1048576;

// The size of each read from the control socket.
inline constexpr size_t receiveChunkBytes = 4096;

// The tunnel MTU when the server names none.
inline constexpr int64_t defaultTunnelMTU = 1420;

// ---------------------------------------------------------------------------
// Socket transport

// Milliseconds left until `deadline`, as a poll timeout: 0 once it has passed,
// otherwise the ceiling of the remaining time, at most INT32_MAX.
int32_t remainingMilliseconds(Instant deadline);
// The same against an explicit "now", so that the rounding can be checked exactly.
int32_t remainingMilliseconds(Instant deadline, Instant now);

// The C library's text for an errno value.
std::string posixMessage(int32_t code);

// Makes the descriptor non-blocking. Throws "control socket setup failed: ...".
void setNonBlocking(int socket);

// Connects a non-blocking socket, waiting with poll until the deadline.
void connect(int socket, const sockaddr* address, socklen_t length, Instant deadline);

// Tries each address of a resolver list in order within the deadline and
// returns the first connected, non-blocking socket (the caller closes it).
// Throws "control connect failed: " + the last attempt's failure text.
int connectFirst(const addrinfo* addresses, Instant deadline);

// Resolves the host and connects to the first address that accepts.
int connectControlSocket(const std::string& host, uint16_t port, Instant deadline);

// Writes the whole payload before the deadline or fails.
void writeControlPayload(const Bytes& payload, int socket, Instant deadline);

// ---------------------------------------------------------------------------
// Request and response codec

// The server's answer. Keys are matched exactly; null counts as absent; a
// present key of the wrong JSON type makes the whole document undecodable.
struct ControlResponse {
    std::string status;
    std::optional<std::string> message;
    std::optional<int64_t> udp_port;
    std::optional<int64_t> data_port;
    std::optional<std::string> transport;
    std::optional<std::string> cipher;
    std::optional<std::string> session_id;
    std::optional<std::string> session_key;
    std::optional<std::string> tunnel_ip;
    std::optional<int64_t> tunnel_mtu;
    std::optional<RoutingPolicy> routing;

    // Decodes one JSON document; throws VantuError describing why the bytes
    // are not a control response.
    static ControlResponse decode(const Bytes& bytes);
};

// The decode test of the read loop: throws while the bytes received so far
// are not yet (or never will be) a complete response.
using ResponseDecoder = std::function<ControlResponse(const Bytes&)>;

// Reads from the connected socket until the bytes received so far decode,
// the stream ends or the deadline passes.
ControlResponse readControlResponse(int socket, Instant deadline, const ResponseDecoder& decode);

// One receive of the read loop into `buffer`: the byte count, 0 at the end of
// the stream, -1 once the deadline has passed. Throws on a read failure.
using ChunkSource = std::function<ssize_t(uint8_t* buffer, size_t size)>;
// The read loop itself, shared by the plain and the TLS session: the
// response bound, the decode attempt at each "}", the texts at the end.
ControlResponse readResponseChunks(const ChunkSource& receive, const ResponseDecoder& decode);

// ---------------------------------------------------------------------------
// TLS

// What the client holds the server's certificate against.
struct TLSPin {
    Bytes certificateSHA256;  // the leaf's SHA-256 over its DER; empty: not checked
    std::string caFile;       // PEM trust anchors for chain and host name; empty: not checked
    std::string host;         // the name (or address) the certificate must carry with caFile
};

// A TLS 1.3 client session over a connected, non-blocking socket. Records
// pass through memory buffers and this class moves them with poll and send
// (MSG_NOSIGNAL), so the handshake, the write and the read keep to the one
// deadline of the exchange exactly like the plain path.
class TLSChannel {
public:
    // Handshakes and checks the pin before anything is written. Throws
    // "control TLS handshake failed: ...", "control TLS handshake timed out",
    // "control TLS certificate mismatch: ..." or "control TLS CA file ...".
    TLSChannel(int socket, const TLSPin& pin, Instant deadline);
    // Sends close_notify if the socket takes it at once; never waits.
    ~TLSChannel();
    TLSChannel(const TLSChannel&) = delete;
    TLSChannel& operator=(const TLSChannel&) = delete;

    // Same texts as writeControlPayload.
    void write(const Bytes& payload, Instant deadline);
    // Same loop and texts as readControlResponse.
    ControlResponse read(Instant deadline, const ResponseDecoder& decode);

    struct State;

private:
    std::unique_ptr<State> state_;
};

// SHA-256 fingerprint as upper-case hex pairs joined by colons, as messages show it.
std::string fingerprintText(const Bytes& digest);

// The request line: the compact JSON object followed by one line feed.
Bytes encodeRequest(const VantuConfig& config, const std::string& action,
                    const std::optional<std::string>& preferredTransport);

// One exchange with the configured server; does not look at the status.
ControlResponse request(const VantuConfig& config, const std::string& action,
                        const std::optional<std::string>& preferredTransport);
ControlResponse request(const VantuConfig& config, const std::string& action,
                        const std::optional<std::string>& preferredTransport, Instant deadline);

// Receives the one-line routing overrides summary (without the provider's prefix).
using LogSink = std::function<void(const std::string&)>;

// Opens a session: sends "open", validates the response and builds the
// session record with the client's routing overrides applied.
std::shared_ptr<VantuSession> open(const VantuConfig& config, const LogSink& log);
std::shared_ptr<VantuSession> open(const VantuConfig& config, const LogSink& log, Instant deadline);

// Turns a decoded response into a session; the validation half of `open`.
std::shared_ptr<VantuSession> sessionFromResponse(const VantuConfig& config, const ControlResponse& response,
                                                  const LogSink& log);

// Helpers of the codec, exposed for their own checks.
// Hexadecimal digits only (no prefix or sign) of a value that fits 32 bits.
std::optional<uint32_t> parseSessionID(const std::string& text);
// Standard Base64 with padding; nullopt for anything else.
std::optional<Bytes> decodeBase64(const std::string& text);

}  // namespace VantuControl
}  // namespace vantu
