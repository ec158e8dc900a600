// Local DNS answering, route learning from answers and the learned-route
// cache, on the simulated platform in virtual time.

#include "tests/dns_test_support.h"
#include "tests/provider_test_support.h"

namespace vantu::testing {
namespace {

const std::array<uint8_t, 4> kApp{10, 7, 0, 2}, kVirtualResolver{100, 100, 100, 100};

Bytes queryFor(const std::string& name, uint16_t id = 0x0101) {
    return udpPacket(kApp, 40000, kVirtualResolver, 53, dnsQueryMessage(id, name), 0x4242);
}

RoutingPolicy directPolicy() { return RoutingPolicy::decode(nlohmann::json{{"direct_domains", {"example.com"}}}); }

// A provider with a verified data channel and its read loop running. The
// data channel's UDP session is kept aside: every DNS query adds its own.
struct DNSHarness : ProviderHarness {
    sim::SimUDPSession* data = nullptr;

    explicit DNSHarness(std::optional<RoutingPolicy> policy = std::nullopt,
                        std::vector<std::string> dnsServers = {"9.9.9.9", "1.1.1.1"}) {
        session = makeSession("udp", std::move(policy), std::move(dnsServers));
        verifyChannel();
        data = udp();
        provider->readPackets();
        run();
    }
    void send(std::vector<Bytes> packets) {
        sim.packetFlow.inject(std::move(packets));
        run();
    }
    // The sessions created towards upstream resolvers, in order.
    std::vector<std::shared_ptr<sim::SimUDPSession>> upstreams() const {
        std::vector<std::shared_ptr<sim::SimUDPSession>> out;
        for (const auto& s : sim.host.udpSessions)
            if (s->port == "53") out.push_back(s);
        return out;
    }
    // Data frames (packets) that went into the tunnel.
    std::vector<Bytes> tunnelled() const {
        std::vector<Bytes> out;
        for (const Bytes& f : sentFrames(*data))
            if (!f.empty() && f[0] == kClientData) out.emplace_back(f.begin() + 1, f.end());
        return out;
    }
    std::array<int64_t, 4> counters() const {
        const auto& p = *provider;
        return {p.dns.queries, p.dns.responses, p.dns.fallbacks, p.dns.failures};
    }
};

using Counters = std::array<int64_t, 4>;  // queries, responses, fallbacks, failures

TEST(DNSQueries, AnswerComesBackAsAReplyPacketFromTheAskedAddress) {
    DNSHarness h;
    const Bytes query = queryFor("web.vantu.test");
    h.send({query});

    const auto upstreams = h.upstreams();
    ASSERT_EQ(upstreams.size(), 1u);
    const auto& upstream = *upstreams[0];
    EXPECT_EQ(upstream.host, "9.9.9.9") << "only the first server is asked";
    EXPECT_EQ(upstream.maxDatagrams, 1u);
    ASSERT_EQ(upstream.writes.size(), 1u);
    EXPECT_EQ(upstream.writes[0], dnsQueryMessage(0x0101, "web.vantu.test")) << "the DNS message only";
    EXPECT_EQ(h.provider->dns.sessions.size(), 1u);

    const Bytes answer = dnsAnswerMessage(0x0101, "web.vantu.test", {aRecord(pointerTo(12), {198, 51, 100, 30})});
    upstreams[0]->deliver({answer, dnsAnswerMessage(9, "other.test", {})});
    h.run();
    ASSERT_EQ(h.sim.packetFlow.written.size(), 1u);
    const Bytes expected = udpPacket(kVirtualResolver, 53, kApp, 40000, answer, 0x4242);
    const Bytes& reply = h.sim.packetFlow.written[0];
    // The reply carries no DF bit and its own checksum; the rest is the query mirrored.
    EXPECT_EQ(Bytes(reply.begin() + 12, reply.end()), Bytes(expected.begin() + 12, expected.end()));
    EXPECT_EQ(readBE16(&reply[4]), 0x4242);
    EXPECT_EQ(h.sim.packetFlow.writtenProtocols, std::vector<int>{2});
    EXPECT_TRUE(upstream.cancelled);
    EXPECT_TRUE(h.provider->dns.sessions.empty());
    EXPECT_TRUE(h.tunnelled().empty());

    // A late datagram and the overall timeout find the query gone.
    upstreams[0]->deliver({answer});
    h.advance(5);
    EXPECT_EQ(h.sim.packetFlow.written.size(), 1u);
    EXPECT_EQ(h.counters(), (Counters{1, 1, 0, 0}));

    DNSHarness noServers(std::nullopt, {});
    noServers.send({queryFor("a.test")});
    EXPECT_EQ(noServers.upstreams().at(0)->host, "1.1.1.1");
}

TEST(DNSQueries, ReadinessIsPolledUntilTwoSeconds) {
    // Ready at 0.25 s: the message is written at the fifth 0.05 s poll.
    DNSHarness h;
    h.sim.host.initialUDPState = UDPSessionState::preparing;
    const double sent = 1.0;
    h.at(sent);
    h.send({queryFor("slow.test")});
    auto upstream = h.upstreams().at(0);
    h.at(sent + 0.25 - 0.001);
    upstream->setState(UDPSessionState::ready);
    EXPECT_TRUE(upstream->writes.empty());
    h.at(sent + 0.25);
    EXPECT_EQ(upstream->writes.size(), 1u);
    h.advance(1);
    EXPECT_EQ(upstream->writes.size(), 1u);

    // Never ready: one failure and one fallback at 2.0 s, the query unchanged into the tunnel.
    DNSHarness never;
    never.sim.host.initialUDPState = UDPSessionState::waiting;
    const Bytes query = queryFor("never.test");
    never.at(sent);
    never.send({query});
    never.at(sent + 1.99);
    EXPECT_TRUE(never.tunnelled().empty());
    never.at(sent + 2.0);
    EXPECT_EQ(never.tunnelled(), std::vector<Bytes>{query});
    EXPECT_EQ(never.counters(), (Counters{1, 0, 1, 1}));
    EXPECT_TRUE(never.logged("DNS upstream session timeout for never.test"));
    never.advance(5);
    EXPECT_EQ(never.tunnelled().size(), 1u) << "the overall timeout finds the query finished";
}

TEST(DNSQueries, EveryFailureEndsInExactlyOneFallback) {
    struct Case {
        const char* what;
        std::function<void(DNSHarness&)> arrange;                  // before the query
        std::function<void(DNSHarness&, sim::SimUDPSession&)> act;  // after it
        const char* logLine;
        Counters counters;
    };
    const Case cases[] = {
        {"failed session", [](DNSHarness& h) { h.sim.host.initialUDPState = UDPSessionState::failed; }, nullptr,
         "DNS upstream session failed for f.test", {1, 0, 1, 1}},
        {"write error", [](DNSHarness& h) { h.sim.host.onNewUDPSession = [](sim::SimUDPSession& s) { s.failWrites = "boom"; }; },
         nullptr, "DNS upstream write failed for f.test: boom", {1, 0, 1, 1}},
        {"read error, then the timeout", nullptr,
         [](DNSHarness& h, sim::SimUDPSession& s) {
             s.deliverError("refused");
             h.advance(4);
         },
         "DNS upstream 9.9.9.9 read failed for f.test: refused", {1, 0, 1, 1}},
        {"no answer within 3 s, then a late one", nullptr,
         [](DNSHarness& h, sim::SimUDPSession& s) {
             h.advance(2.999);
             EXPECT_TRUE(h.tunnelled().empty());
             h.advance(0.001);
             s.deliver({dnsAnswerMessage(1, "f.test", {})});
             h.run();
         },
         nullptr, {1, 0, 1, 1}},
        {"empty answer", nullptr, [](DNSHarness&, sim::SimUDPSession& s) { s.deliver({Bytes{}}); }, nullptr,
         {1, 0, 1, 0}},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        DNSHarness h;
        if (c.arrange) c.arrange(h);
        const Bytes query = queryFor("f.test");
        h.send({query});
        if (c.act) c.act(h, *h.upstreams().at(0));
        h.run();
        EXPECT_EQ(h.tunnelled(), std::vector<Bytes>{query});
        EXPECT_TRUE(h.sim.packetFlow.written.empty());
        EXPECT_EQ(h.counters(), c.counters);
        EXPECT_TRUE(h.upstreams().at(0)->cancelled);
        if (c.logLine) {
            EXPECT_TRUE(h.logged(c.logLine));
        }
    }
}

TEST(DNSQueries, InFlightQueriesAreBoundedAndStopCancelsThem) {
    DNSHarness h;
    h.sim.host.initialUDPState = UDPSessionState::preparing;
    const size_t limit = DNSState::kMaxDNSQueriesInFlight;
    std::vector<Bytes> burst;
    for (size_t i = 0; i <= limit + 1; ++i) burst.push_back(queryFor("q" + std::to_string(i) + ".test"));
    h.send(burst);
    EXPECT_EQ(h.upstreams().size(), limit);
    EXPECT_EQ(h.tunnelled(), (std::vector<Bytes>{burst[limit], burst[limit + 1]}));
    EXPECT_EQ(h.counters(), (Counters{static_cast<int64_t>(limit) + 2, 0, 2, 0}));
    EXPECT_EQ(std::count_if(h.sim.log.lines.begin(), h.sim.log.lines.end(),
                            [](const std::string& l) { return l.find("DNS queries in flight reached") != l.npos; }),
              1);

    // One finishes: the next query gets an upstream of its own again.
    h.upstreams()[0]->setState(UDPSessionState::failed);
    h.advance(0.05);
    h.send({queryFor("after.test")});
    EXPECT_EQ(h.upstreams().size(), limit + 1);

    // Stop cancels every query still in flight; none of them gets a reply or a fallback.
    const size_t tunnelledBefore = h.tunnelled().size();
    EXPECT_EQ(h.stop(1), 1);
    EXPECT_TRUE(h.provider->dns.sessions.empty());
    for (const auto& s : h.upstreams()) EXPECT_TRUE(s->cancelled);
    for (const auto& s : h.upstreams()) s->setState(UDPSessionState::ready);
    h.upstreams().back()->deliver({dnsAnswerMessage(1, "after.test", {})});
    h.advance(5);
    EXPECT_EQ(h.tunnelled().size(), tunnelledBefore);
    EXPECT_TRUE(h.sim.packetFlow.written.empty());
}

// ------------------------------------------------------------ route learning

std::array<uint8_t, 4> kLearnedAt{203, 0, 113, 10};

Bytes answerFrom(std::array<uint8_t, 4> server, const std::vector<std::array<uint8_t, 4>>& addresses,
                 const std::string& name = "example.com", uint16_t id = 7, uint16_t port = 40000) {
    std::vector<DNSRecord> records;
    for (const auto& a : addresses) records.push_back(aRecord(pointerTo(12), a));
    return udpPacket(server, 53, kApp, port, dnsAnswerMessage(id, name, records));
}
Bytes answerPacket(const std::vector<std::array<uint8_t, 4>>& addresses) { return answerFrom(kVirtualResolver, addresses); }

// Learning with the direct core on. By default every upstream fails, so each
// query the harness asks takes the fallback into the tunnel.
struct LearningHarness : DNSHarness {
    explicit LearningHarness(bool upstreamFails = true) : DNSHarness(directPolicy()) {
        provider->directCore.udpEnabled = true;
        provider->learnedRoutes.cacheKey = "vantu.dynamicDirectRoutes.0123456789abcdef01234567";
        if (upstreamFails) sim.host.initialUDPState = UDPSessionState::failed;
    }
    // To the data channel's session: every query adds a session of its own.
    void fromTunnel(const Bytes& packet) {
        data->deliver({serverUnit(dataFrame(packet, kServerData))});
        run();
    }
    // A query for example.com that falls back into the tunnel, then its answer from there.
    void askedAndAnswered(const Bytes& answer) {
        send({queryFor("example.com", 7)});
        fromTunnel(answer);
    }
    std::array<int64_t, 4> learning() const {
        const auto& p = *provider;
        return {p.learnedRoutes.dnsMatches, p.learnedRoutes.dnsInsertedRoutes, p.learnedRoutes.dnsRepeatedMatches, p.learnedRoutes.dnsLimitDrops};
    }
};

TEST(DNSRouteLearning, AnswersOnBothRoadsTeachRoutesBeforeDelivery) {
    // From the tunnel, answering the client's own fallback query.
    LearningHarness h;
    const Bytes first = answerPacket({kLearnedAt, {198, 51, 100, 7}});
    h.askedAndAnswered(first);
    EXPECT_EQ(h.provider->learnedRoutes.routes, (std::set<std::string>{"198.51.100.0/24", "203.0.113.0/24"}));
    EXPECT_EQ(h.sim.packetFlow.written, std::vector<Bytes>{first});
    EXPECT_EQ(h.learning(), (Counters{1, 2, 0, 0}));
    EXPECT_TRUE(h.recorded("DNS learned direct route cache updated inserted=2 count=2 sample=198.51.100.0/24,203.0.113.0/24"));
    const auto cached = h.sim.defaults.dictionary(h.provider->learnedRoutes.cacheKey);
    ASSERT_TRUE(cached.has_value());
    const double nowSeconds = std::chrono::duration<double>(h.sim.queue.now().time_since_epoch()).count();
    EXPECT_EQ(*cached, (std::map<std::string, double>{{"198.51.100.0/24", nowSeconds}, {"203.0.113.0/24", nowSeconds}}));

    // All known: counted as repeats. One known and one new: one insert, no repeats.
    h.askedAndAnswered(answerPacket({kLearnedAt, {203, 0, 113, 99}, {198, 51, 100, 1}}));
    EXPECT_EQ(h.learning(), (Counters{2, 2, 3, 0})) << "three routes, all of known networks";
    h.askedAndAnswered(answerPacket({{203, 0, 113, 11}, {192, 0, 2, 200}}));
    EXPECT_EQ(h.learning(), (Counters{3, 3, 3, 0}));
    // Not global: noted, not learned.
    h.askedAndAnswered(answerPacket({{10, 1, 2, 3}}));
    EXPECT_TRUE(h.recorded("ignoring non-global DNS learned route example.com->10.1.2.3"));
    EXPECT_EQ(h.provider->learnedRoutes.routes.size(), 3u);

    // From an upstream answer: learned, then written.
    LearningHarness local(false);
    local.send({queryFor("example.com", 7)});
    const Bytes answer = dnsAnswerMessage(7, "example.com", {aRecord(pointerTo(12), {203, 0, 113, 50})});
    local.upstreams().at(0)->deliver({answer});
    local.run();
    EXPECT_EQ(local.provider->learnedRoutes.routes, std::set<std::string>{"203.0.113.0/24"});
    ASSERT_EQ(local.sim.packetFlow.written.size(), 1u);
    EXPECT_EQ(Bytes(local.sim.packetFlow.written[0].begin() + 28, local.sim.packetFlow.written[0].end()), answer);
}

// Anything from port 53 in the tunnel that does not answer a query this
// client sent there is delivered as it came and teaches nothing: a learned
// route would send traffic outside the tunnel.
TEST(DNSRouteLearning, OnlyAnswersToTheClientsOwnTunnelQueriesTeach) {
    const double lifetime = TunnelDNSQueries::kLifetime;
    const std::array<uint8_t, 4> otherClient{10, 7, 0, 3}, cloudflare{1, 1, 1, 1};
    struct Case {
        const char* what;
        std::function<void(LearningHarness&)> before;  // nullptr: no query was sent
        Bytes answer;
        bool learns;
    };
    const auto ask = [](const std::string& name, uint16_t id, double wait = 0) {
        return [=](LearningHarness& h) {
            h.send({queryFor(name, id)});
            h.advance(wait);
        };
    };
    const Case cases[] = {
        {"unsolicited, from another client of the server", nullptr, answerFrom(otherClient, {cloudflare}), false},
        {"unsolicited, from the asked address", nullptr, answerFrom(kVirtualResolver, {cloudflare}), false},
        {"the client's own fallback query", ask("example.com", 7), answerFrom(kVirtualResolver, {cloudflare}), true},
        {"the question in another case", ask("Example.COM", 7), answerFrom(kVirtualResolver, {cloudflare}), true},
        {"from another address", ask("example.com", 7), answerFrom(otherClient, {cloudflare}), false},
        {"to another port", ask("example.com", 7), answerFrom(kVirtualResolver, {cloudflare}, "example.com", 7, 40001), false},
        {"another DNS ID", ask("example.com", 7), answerFrom(kVirtualResolver, {cloudflare}, "example.com", 8), false},
        {"another question", ask("example.com", 7), answerFrom(kVirtualResolver, {cloudflare}, "cdn.example.com"), false},
        {"just before expiry", ask("example.com", 7, lifetime - 0.001), answerFrom(kVirtualResolver, {cloudflare}), true},
        {"expired", ask("example.com", 7, lifetime), answerFrom(kVirtualResolver, {cloudflare}), false},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        LearningHarness h;
        if (c.before) c.before(h);
        h.fromTunnel(c.answer);
        EXPECT_EQ(h.provider->learnedRoutes.routes,
                  c.learns ? std::set<std::string>{"1.1.1.0/24"} : std::set<std::string>{});
        EXPECT_EQ(h.sim.packetFlow.written, std::vector<Bytes>{c.answer}) << "delivered untouched either way";
        if (!c.learns) continue;
        // One answer per query: a second one teaches nothing.
        h.fromTunnel(answerFrom(kVirtualResolver, {{198, 51, 100, 9}}));
        EXPECT_EQ(h.provider->learnedRoutes.routes, std::set<std::string>{"1.1.1.0/24"});
    }

    // The remembered queries are bounded: past the cap the oldest is pushed out.
    LearningHarness h;
    const size_t cap = TunnelDNSQueries::kCapacity;
    for (size_t i = 0; i <= cap; ++i) h.send({queryFor("example.com", static_cast<uint16_t>(100 + i))});
    EXPECT_EQ(h.provider->dns.tunnelQueries.size(), cap);
    EXPECT_EQ(h.provider->dns.tunnelQueries.evicted(), 1);
    h.fromTunnel(answerFrom(kVirtualResolver, {cloudflare}, "example.com", 100));
    h.fromTunnel(answerFrom(kVirtualResolver, {kLearnedAt}, "example.com", static_cast<uint16_t>(100 + cap)));
    EXPECT_EQ(h.provider->learnedRoutes.routes, std::set<std::string>{"203.0.113.0/24"});
}

TEST(DNSRouteLearning, LimitAndDisabledCore) {
    LearningHarness h;
    for (int i = 0; i < LearnedRoutes::kMaxDynamicDirectRoutes; ++i)
        h.provider->learnedRoutes.routes.insert("8." + std::to_string(i) + ".0.0/24");
    h.askedAndAnswered(answerPacket({kLearnedAt, {8, 0, 0, 1}}));
    EXPECT_EQ(h.learning(), (Counters{1, 0, 1, 1})) << "a full set refuses the new key and counts the known one";
    EXPECT_EQ(h.provider->learnedRoutes.routes.size(), 192u);
    EXPECT_EQ(h.sim.packetFlow.written.size(), 1u);

    LearningHarness off;
    off.provider->directCore.udpEnabled = false;
    const Bytes packet = answerPacket({kLearnedAt});
    off.askedAndAnswered(packet);
    EXPECT_EQ(off.learning(), (Counters{1, 0, 0, 0}));
    EXPECT_TRUE(off.recorded("DNS direct match produced 1 route(s), but vantucore direct is disabled"));
    EXPECT_TRUE(off.provider->learnedRoutes.routes.empty());
    EXPECT_EQ(off.sim.packetFlow.written, std::vector<Bytes>{packet});
    off.provider->directCore.tcpEnabled = true;
    off.askedAndAnswered(packet);
    EXPECT_EQ(off.provider->learnedRoutes.routes.size(), 1u) << "either direct switch enables learning";
}

// ------------------------------------------------------------ the cache

TEST(DynamicDirectRoutes, KeysWidenToTheSlash24) {
    const std::pair<const char*, std::optional<std::string>> cases[] = {
        {"203.0.113.77", "203.0.113.0/24"}, {"198.51.100.0/22", "198.51.100.0/22"},
        {"203.0.113.5/32", "203.0.113.0/24"}, {"8.8.8.8/0", "0.0.0.0/0"},
        {"192.168.1.5", std::nullopt},       {"10.0.0.0/8", std::nullopt},
        {"0.0.0.0/0", std::nullopt},         {"garbage", std::nullopt},
    };
    for (const auto& [route, key] : cases) EXPECT_EQ(PacketTunnelProvider::dynamicDirectRouteKey(route), key) << route;
}

TEST(DynamicDirectRoutes, LoadingExpiresRekeysAndKeepsTheNewest) {
    ProviderHarness h;
    const std::string key = "vantu.dynamicDirectRoutes.aaaaaaaaaaaaaaaaaaaaaaaa";
    const double now = std::chrono::duration<double>(h.sim.queue.now().time_since_epoch()).count();
    const double ttl = LearnedRoutes::kDynamicDirectRouteCacheTTL;
    h.sim.defaults.setDictionary(key, {{"203.0.113.0/24", now - ttl},
                                       {"198.51.100.0/24", now - ttl - 1},
                                       {"203.0.114.5/32", now - 10},
                                       {"203.0.114.9", now - 5},
                                       {"192.0.2.0/24", now + 100},
                                       {"10.0.0.0/8", now}});
    EXPECT_EQ(h.provider->loadCachedDynamicDirectRoutes(key),
              (std::set<std::string>{"192.0.2.0/24", "203.0.113.0/24", "203.0.114.0/24"}));
    EXPECT_EQ(h.sim.defaults.dictionary(key),
              (std::map<std::string, double>{{"192.0.2.0/24", now + 100}, {"203.0.113.0/24", now - ttl},
                                             {"203.0.114.0/24", now - 5}}));
    EXPECT_TRUE(h.logged("loaded 3 cached DNS learned direct route(s)"));

    std::map<std::string, double> many;
    for (int i = 0; i < 300; ++i) many["11." + std::to_string(i / 256) + "." + std::to_string(i % 256) + ".0/24"] = now - i;
    h.sim.defaults.setDictionary(key, many);
    const auto kept = h.provider->loadCachedDynamicDirectRoutes(key);
    EXPECT_EQ(kept.size(), 192u);
    EXPECT_TRUE(kept.count("11.0.0.0/24") && kept.count("11.0.191.0/24") && !kept.count("11.0.192.0/24"));
    EXPECT_EQ(h.sim.defaults.dictionary(key)->size(), 192u);

    h.sim.defaults.setStringArray(key, {"203.0.113.0/24"});
    EXPECT_TRUE(h.provider->loadCachedDynamicDirectRoutes(key).empty()) << "a value of another kind is an empty cache";

    // Saving stamps every live route; without a cache key nothing is written.
    h.provider->learnedRoutes.routes = {"203.0.113.0/24", "not a route"};
    const int writes = h.sim.defaults.writes;
    h.provider->persistDynamicDirectRoutes();
    EXPECT_EQ(h.sim.defaults.writes, writes);
    h.provider->learnedRoutes.cacheKey = key;
    h.sim.defaults.setDictionary(key, {{"198.51.100.0/24", now - 60}});
    h.provider->persistDynamicDirectRoutes();
    EXPECT_EQ(h.sim.defaults.dictionary(key),
              (std::map<std::string, double>{{"198.51.100.0/24", now - 60}, {"203.0.113.0/24", now}}));
}

TEST(DynamicDirectRoutes, StartLoadsTheCacheAndStopEmptiesTheSet) {
    for (const bool directCore : {true, false}) {
        SCOPED_TRACE(directCore);
        ProviderHarness h;
        auto configuration = validProviderConfiguration();
        configuration["clientDirectCoreEnabled"] = directCore;
        h.sim.host.protocol = ProtocolConfiguration{true, configuration};
        // The cache key of this configuration, learned from a first start.
        h.startSuccessfully();
        const std::string key = h.provider->learnedRoutes.cacheKey;
        ASSERT_EQ(key.rfind("vantu.dynamicDirectRoutes.", 0), 0u);
        h.stop(1);
        EXPECT_TRUE(h.provider->learnedRoutes.routes.empty());
        EXPECT_TRUE(h.provider->learnedRoutes.cacheKey.empty());

        const double now = std::chrono::duration<double>(h.sim.queue.now().time_since_epoch()).count();
        h.sim.defaults.setDictionary(key, {{"203.0.113.0/24", now}});
        h.startSuccessfully();
        EXPECT_EQ(h.provider->learnedRoutes.routes,
                  directCore ? std::set<std::string>{"203.0.113.0/24"} : std::set<std::string>{});
        h.stop(1);
        EXPECT_TRUE(h.sim.defaults.dictionary(key).has_value()) << "the cache outlives the session";
    }
}

}  // namespace
}  // namespace vantu::testing
