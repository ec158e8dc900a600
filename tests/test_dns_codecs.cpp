#include <gtest/gtest.h>

#include <numeric>

#include "dns_test_support.h"
#include "routing/DNSRouteResolver.h"
#include "routing/LocalDNSResolver.h"

using namespace vantu;
using namespace vantu::testing;
namespace LDR = vantu::LocalDNSResolver;
namespace DRR = vantu::DNSRouteResolver;

namespace {

const std::array<uint8_t, 4> kClient{10, 8, 0, 2}, kResolver{192, 0, 2, 53};

Bytes queryPacket(const Bytes& dns, uint16_t toPort = 53, size_t optionWords = 0) {
    return udpPacket(kClient, 51000, kResolver, toPort, dns, 0x1234, optionWords);
}

RoutingPolicy directDomains(std::vector<std::string> domains) {
    return RoutingPolicy::decode(nlohmann::json{{"direct_domains", domains}});
}

}  // namespace

TEST(LocalDNSResolver, RecognisesQueriesOnlyAndCopiesWhatTheReplyNeeds) {
    const Bytes dns = dnsQueryMessage(0xbeef, "Web.Vantu.test");
    const Bytes good = queryPacket(dns);

    struct Case {
        const char* what;
        Bytes packet;
    };
    std::vector<Case> rejected = {
        {"27 bytes", Bytes(good.begin(), good.begin() + 27)},
        {"port 5353", queryPacket(dns, 5353)},
        {"from port 53 to another port", udpPacket(kResolver, 53, kClient, 51000, dns)},
        {"DNS answer towards port 53", queryPacket(dnsAnswerMessage(1, "a.test", {}))},
    };
    auto mutate = [&](const char* what, auto change) {
        Bytes p = good;
        change(p);
        rejected.push_back({what, p});
    };
    mutate("IPv6", [](Bytes& p) { p[0] = 0x60; });
    mutate("header length 16", [](Bytes& p) { p[0] = 0x44; });
    mutate("TCP", [](Bytes& p) { p[9] = 6; });
    mutate("UDP length 7", [](Bytes& p) { p[24] = 0, p[25] = 7; });
    mutate("UDP length past the packet", [&](Bytes& p) { p[25] = static_cast<uint8_t>(p[25] + 1); });
    mutate("DNS header cut by the UDP length", [](Bytes& p) { p[24] = 0, p[25] = 8 + 11; });
    for (const Case& c : rejected) EXPECT_FALSE(LDR::query(c.packet).has_value()) << c.what;

    // Any server's port 53 is ours; IPv4 options are skipped and bytes past
    // the UDP length are not part of the message.
    Bytes withOptions = queryPacket(dns, 53, 1);
    withOptions.insert(withOptions.end(), {0xde, 0xad});
    for (const Bytes& packet : {good, withOptions}) {
        const auto q = LDR::query(packet);
        ASSERT_TRUE(q.has_value());
        EXPECT_EQ(q->dnsPayload, dns);
        EXPECT_EQ(q->originalPacket, packet);
        EXPECT_EQ(q->sourceAddress, kClient);
        EXPECT_EQ(q->destinationAddress, kResolver);
        EXPECT_EQ(q->sourcePort, 51000);
        EXPECT_EQ(q->destinationPort, 53);
        EXPECT_EQ(q->identification, 0x1234);
        EXPECT_EQ(q->debugName(), "Web.Vantu.test");
    }
}

TEST(LocalDNSResolver, QuestionNames) {
    Bytes noQuestion = dnsQueryMessage(1, "a.test");
    noQuestion[5] = 0;
    Bytes compressed = dnsMessage(1, 0x0100, {pointerTo(12)}, {});
    Bytes longLabel = dnsQueryMessage(1, std::string(64, 'a') + ".test");
    Bytes truncated = dnsQueryMessage(1, "abc.test");
    truncated.resize(12 + 6);
    Bytes badUTF8 = dnsQueryMessage(1, "xx.test");
    badUTF8[13] = 0xff;

    const std::pair<Bytes, std::optional<std::string>> cases[] = {
        {dnsQueryMessage(1, "www.example.com"), "www.example.com"},
        {dnsQueryMessage(1, ""), ""},
        {badUTF8, "\xEF\xBF\xBDx.test"},
        {noQuestion, std::nullopt},
        {compressed, std::nullopt},
        {longLabel, std::nullopt},
        {truncated, std::nullopt},
        {Bytes(11, 0), std::nullopt},
    };
    for (const auto& [payload, expected] : cases) EXPECT_EQ(LDR::questionName(payload), expected) << expected.value_or("none");

    LDR::Query q;
    q.dnsPayload = compressed;
    EXPECT_EQ(q.debugName(), "unknown");
}

TEST(LocalDNSResolver, ReplyPacketLayoutAndBounds) {
    const auto q = LDR::query(queryPacket(dnsQueryMessage(7, "a.test"), 53, 1));
    ASSERT_TRUE(q.has_value());
    Bytes answer(45);
    std::iota(answer.begin(), answer.end(), uint8_t{1});

    const auto reply = LDR::responsePacket(*q, answer);
    ASSERT_TRUE(reply.has_value());
    // Always a 20-byte header, whatever the query had; the query's
    // identification, no DF bit, no UDP checksum.
    Bytes expected = udpPacket(kResolver, 53, kClient, 51000, answer, 0x1234);
    expected[6] = 0;
    ASSERT_EQ(reply->size(), expected.size());
    EXPECT_EQ(LDR::ipv4Checksum(reply->data(), 20), 0);  // the header's checksum is right
    std::copy(reply->begin() + 10, reply->begin() + 12, expected.begin() + 10);
    EXPECT_EQ(*reply, expected);

    EXPECT_FALSE(LDR::responsePacket(*q, {}).has_value());
    EXPECT_FALSE(LDR::responsePacket(*q, Bytes(65508)).has_value());
    const auto largest = LDR::responsePacket(*q, Bytes(65507));
    ASSERT_TRUE(largest.has_value());
    EXPECT_EQ(readBE16(&(*largest)[2]), 65535);
}

TEST(LocalDNSResolver, InternetChecksum) {
    const Bytes header{0x45, 0x00, 0x00, 0x73, 0x00, 0x00, 0x40, 0x00, 0x40, 0x11,
                       0x00, 0x00, 0xc0, 0xa8, 0x00, 0x01, 0xc0, 0xa8, 0x00, 0xc7};
    EXPECT_EQ(LDR::ipv4Checksum(header.data(), header.size()), 0xb861);
    const uint8_t odd[] = {0x01};  // a trailing byte is the high half of a word
    EXPECT_EQ(LDR::ipv4Checksum(odd, 1), 0xfeff);
    const uint8_t carries[] = {0xff, 0xff, 0xff, 0xff, 0x00, 0x02};
    EXPECT_EQ(LDR::ipv4Checksum(carries, sizeof carries), 0xfffd);
}

TEST(DNSRouteResolver, ReadNameFollowsPointersWithinBounds) {
    // 12-byte header, then "example.com" at 12, "www" + pointer at 25.
    Bytes m(12, 0);
    const Bytes example = wireName("Example.com");
    m.insert(m.end(), example.begin(), example.end());
    m.insert(m.end(), {3, 'w', 'w', 'w', 0xc0, 12});
    const auto www = DRR::readName(m.data(), m.size(), 0, 25);
    ASSERT_TRUE(www.has_value());
    EXPECT_EQ(www->name, "www.Example.com");
    EXPECT_EQ(www->nextOffset, 31u);

    // A chain of pointers: depth 7 is followed, the eighth nesting fails.
    Bytes chain(12, 0);
    chain.insert(chain.end(), {1, 'a', 0});  // 12
    for (int i = 0; i < 8; ++i) {
        const uint16_t previous = static_cast<uint16_t>(chain.size() == 15 ? 12 : chain.size() - 2);
        const Bytes p = pointerTo(previous);
        chain.insert(chain.end(), p.begin(), p.end());
    }
    EXPECT_EQ(DRR::readName(chain.data(), chain.size(), 0, 15 + 2 * 6)->name, "a");  // 7 pointers
    EXPECT_FALSE(DRR::readName(chain.data(), chain.size(), 0, 15 + 2 * 7).has_value());

    const auto fails = [](Bytes bytes, size_t offset) { return !DRR::readName(bytes.data(), bytes.size(), 0, offset); };
    EXPECT_TRUE(fails({0xc0, 0x00}, 0)) << "pointer to itself";
    EXPECT_TRUE(fails({0xc0}, 0)) << "pointer cut off";
    EXPECT_TRUE(fails({3, 'a', 'b'}, 0)) << "label runs past the end";
    EXPECT_TRUE(fails({1, 'a'}, 0)) << "no terminating zero";
    EXPECT_TRUE(fails({0x80, 0}, 0)) << "reserved label type";
    EXPECT_TRUE(fails({2, 0xc3, 0x28, 0}, 0)) << "invalid UTF-8";
    EXPECT_TRUE(fails(wireName(std::string(64, 'a')), 0)) << "64-byte label";
    EXPECT_TRUE(fails({0xc0, 0x40}, 0)) << "pointer past the end";
    std::string longName;
    for (int i = 0; i < 5; ++i) longName += std::string(60, 'a') + ".";
    EXPECT_TRUE(fails(wireName(longName + "com"), 0)) << "longer than any real name";
    EXPECT_EQ(DRR::readName(wireName("").data(), 1, 0, 0)->name, "");
}

TEST(DNSRouteResolver, LearnsAddressesOfDirectDomainsInAnswerOrder) {
    const RoutingPolicy policy = directDomains({"example.com"});
    const auto routes = [&](const Bytes& dns, bool fromPort53 = true) {
        const Bytes packet = fromPort53 ? udpPacket(kResolver, 53, kClient, 51000, dns)
                                        : udpPacket(kClient, 51000, kResolver, 53, dns);
        return DRR::directIPv4Routes(packet, policy);
    };
    using R = std::vector<DirectRoute>;
    const Bytes q = wireName("api.example.com");
    const DNSRecord cname = cnameRecord(pointerTo(12), "edge.example.net");
    const DNSRecord edgeA = aRecord(wireName("edge.example.net"), {203, 0, 113, 10});

    EXPECT_EQ(routes(dnsMessage(1, 0x8180, {q}, {cname, edgeA})), (R{{"edge.example.net", "203.0.113.10"}}));
    EXPECT_EQ(routes(dnsMessage(1, 0x8180, {q}, {edgeA, cname})), R{}) << "CNAME after the A record";
    // The owner may point back at the question; case is folded; a non-zero
    // rcode is still read, and a query towards port 53 with QR set too.
    const DNSRecord viaPointer = aRecord(pointerTo(12), {198, 51, 100, 7});
    EXPECT_EQ(routes(dnsMessage(1, 0x8183, {wireName("API.Example.COM")}, {viaPointer})),
              (R{{"api.example.com", "198.51.100.7"}}));
    EXPECT_EQ(routes(dnsMessage(1, 0x8180, {q}, {viaPointer}), false), (R{{"api.example.com", "198.51.100.7"}}));
    // An empty owner stands for the first question.
    EXPECT_EQ(routes(dnsMessage(1, 0x8180, {q}, {aRecord({0}, {198, 51, 100, 8})})),
              (R{{"api.example.com", "198.51.100.8"}}));
    // Skipped: RDLENGTH 6, class CH, AAAA, an address of another domain.
    DNSRecord six = viaPointer;
    six.rdata.resize(6);
    DNSRecord chaos = viaPointer;
    chaos.klass = 3;
    const DNSRecord aaaa{pointerTo(12), 28, 1, Bytes(16, 1)};
    const DNSRecord other = aRecord(wireName("other.org"), {198, 51, 100, 9});
    EXPECT_EQ(routes(dnsMessage(1, 0x8180, {q}, {six, chaos, aaaa, other})), R{});
    // Duplicates collapse.
    EXPECT_EQ(routes(dnsMessage(1, 0x8180, {q}, {viaPointer, viaPointer})), (R{{"api.example.com", "198.51.100.7"}}));
    // A query (QR clear), or a packet with no port 53, yields nothing.
    EXPECT_EQ(routes(dnsMessage(1, 0x0100, {q}, {viaPointer})), R{});
    EXPECT_EQ(DRR::directIPv4Routes(udpPacket(kResolver, 5353, kClient, 5353, dnsMessage(1, 0x8180, {q}, {viaPointer})),
                                    policy),
              R{});
}

TEST(DNSRouteResolver, HostileAnswersKeepWhatCameBefore) {
    const RoutingPolicy policy = directDomains({"example.com"});
    const Bytes q = wireName("example.com");
    const DNSRecord good = aRecord(pointerTo(12), {203, 0, 113, 1});
    const std::vector<DirectRoute> first{{"example.com", "203.0.113.1"}};
    const auto routes = [&](const Bytes& dns) {
        return DRR::directIPv4Routes(udpPacket(kResolver, 53, kClient, 51000, dns), policy);
    };

    // A count that promises more answers than exist.
    EXPECT_EQ(routes(dnsMessage(1, 0x8180, {q}, {good}, 50)), first);
    // A record cut in its fixed part, and one whose RDATA runs past the end.
    Bytes cut = dnsMessage(1, 0x8180, {q}, {good, good});
    cut.resize(cut.size() - 9);
    EXPECT_EQ(routes(cut), first);
    Bytes overlong = dnsMessage(1, 0x8180, {q}, {good, aRecord(pointerTo(12), {203, 0, 113, 2})});
    overlong.resize(overlong.size() - 1);
    EXPECT_EQ(routes(overlong), first);
    // An owner that points at itself ends the read after eight nested reads.
    Bytes loop = dnsMessage(1, 0x8180, {q}, {good});
    const uint16_t self = static_cast<uint16_t>(loop.size());
    const Bytes selfPointer = pointerTo(self);
    loop.insert(loop.end(), selfPointer.begin(), selfPointer.end());
    loop.insert(loop.end(), {0, 1, 0, 1, 0, 0, 0, 0, 0, 4, 1, 2, 3, 4});
    loop[7] = 2;
    EXPECT_EQ(routes(loop), first);
    // A question that cannot be read, or whose type and class are missing, spoils the whole answer.
    Bytes badQuestion = dnsMessage(1, 0x8180, {q}, {good});
    badQuestion[12] = 0x40;
    EXPECT_EQ(routes(badQuestion), std::vector<DirectRoute>{});
    Bytes noQuestionTail(12, 0);
    noQuestionTail[2] = 0x81, noQuestionTail[5] = 1;
    noQuestionTail.insert(noQuestionTail.end(), q.begin(), q.end());
    noQuestionTail.push_back(0);
    EXPECT_EQ(routes(noQuestionTail), std::vector<DirectRoute>{});
}
