// Units that do not open, sent as fast as an on-path sender likes: each one
// counts, but the system log gets a short burst of lines and then one a
// second, each saying how many were left out.

#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

size_t decryptLines(const ProviderHarness& h) {
    return static_cast<size_t>(std::count_if(h.sim.log.lines.begin(), h.sim.log.lines.end(), [](const auto& line) {
        return line.find("decrypt failed for") != std::string::npos;
    }));
}

TEST(DecryptLog, AFloodOfUndecryptableUnitsIsCountedButLoggedAtAFixedRate) {
    ProviderHarness h;
    h.verifyChannel();
    const auto flood = [&](size_t units) {
        h.udp()->deliver(std::vector<Bytes>(units, Bytes(40, 0x5a)));
        h.run();
    };

    struct Step {
        double at;           // seconds after the harness started
        size_t units;        // garbage units delivered then
        size_t totalLines;   // decrypt lines in the log afterwards
        int64_t suppressed;  // units not logged since the last line
    };
    // A burst of 5 lines, then the bucket refills at one line a second.
    const std::vector<Step> steps{
        {1.0, 1000, 5, 995},
        {1.5, 100, 5, 1095},
        {2.2, 1, 6, 0},    // 1.2 s of refill: one line, carrying the 1095
        {2.3, 10, 6, 10},  // 0.2 left: nothing
        {20.0, 20, 11, 15},  // a quiet spell refills the burst, and no more
    };
    int64_t delivered = 0;
    for (const Step& step : steps) {
        h.at(step.at);
        flood(step.units);
        delivered += static_cast<int64_t>(step.units);
        EXPECT_EQ(decryptLines(h), step.totalLines) << "at " << step.at;
        EXPECT_EQ(h.provider->dataChannel.decryptLogLinesSuppressed, step.suppressed) << "at " << step.at;
        EXPECT_EQ(h.provider->dataChannel.decryptFailures, delivered) << "at " << step.at;
    }
    EXPECT_TRUE(h.logged("VantuPacketTunnel: decrypt failed for 40 bytes: " + h.provider->dataChannel.lastDecryptError +
                         " (1095 more not logged)"));
    EXPECT_TRUE(h.logged("(10 more not logged)"));
    EXPECT_FALSE(h.provider->dataChannel.lastDecryptError.empty());
    EXPECT_NE(h.report().find("decryptFailures=1131"), std::string::npos);
    // Noise is no sign of life and no reason to end the channel.
    EXPECT_TRUE(h.sim.host.cancellations.empty());
    EXPECT_EQ(h.provider->dataChannel.udpDatagramsReceived, 1131 + 1);  // and the handshake's pong
}

}  // namespace
}  // namespace vantu::testing
