#include <gtest/gtest.h>

#include <chrono>
#include <string>
#include <vector>

#include "platform/sim/SimPlatform.h"

using namespace vantu;
using namespace vantu::sim;
using namespace std::chrono_literals;

namespace {

double secondsSince(Instant start, Instant t) { return std::chrono::duration<double>(t - start).count(); }

}  // namespace

TEST(SimWorkQueue, TimersFireAtTheirOwnDeadlineInVirtualTime) {
    SimWorkQueue q;
    const Instant start = q.now();

    // A one-shot 8-second timer fires at exactly 8 s, with the clock reading 8 s.
    std::vector<double> oneShot;
    q.after(Duration(8.0), [&] { oneShot.push_back(secondsSince(start, q.now())); });
    // A repeating 10-second timer, observed over 35 s.
    std::vector<double> repeats;
    auto timer = q.repeating(Duration(10.0), Duration(10.0), [&] { repeats.push_back(secondsSince(start, q.now())); });

    q.advanceTo(start + 7999ms);
    EXPECT_TRUE(oneShot.empty());
    q.advance(Duration(0.001));
    ASSERT_EQ(oneShot.size(), 1u);
    EXPECT_DOUBLE_EQ(oneShot[0], 8.0);

    q.advance(Duration(27.0));  // now 35 s
    EXPECT_EQ(repeats, (std::vector<double>{10.0, 20.0, 30.0}));
    EXPECT_DOUBLE_EQ(secondsSince(start, q.now()), 35.0);
    EXPECT_EQ(q.pendingCount(), 1u);  // the firing at 40 s

    // Cancelling takes the queued firing off the queue and stops the timer.
    EXPECT_FALSE(timer->isCancelled());
    timer->cancel();
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    EXPECT_EQ(q.pendingCount(), 0u);
    q.advance(Duration(100.0));
    EXPECT_EQ(repeats.size(), 3u);

    // A repeating timer with a different first firing, cancelled by its own handler.
    std::vector<double> selfCancelling;
    std::shared_ptr<Cancellable> handle;
    const Instant t0 = q.now();
    handle = q.repeating(Duration(0.5), Duration(2.0), [&] {
        selfCancelling.push_back(secondsSince(t0, q.now()));
        if (selfCancelling.size() == 2) handle->cancel();
    });
    q.advance(Duration(60.0));
    EXPECT_EQ(selfCancelling, (std::vector<double>{0.5, 2.5}));
    EXPECT_EQ(q.pendingCount(), 0u);
}

TEST(SimWorkQueue, EqualDeadlinesRunInSchedulingOrder) {
    SimWorkQueue q;
    std::string order;
    q.after(Duration(5.0), [&] { order += "A"; });
    q.after(Duration(3.0), [&] { order += "B"; });
    q.after(Duration(5.0), [&] { order += "C"; });
    q.submit([&] { order += "D"; });
    q.after(Duration(0.0), [&] { order += "E"; });
    q.submit([&] { order += "F"; });
    q.advance(Duration(10.0));
    EXPECT_EQ(order, "DEFBAC");

    // Work scheduled during advance that falls inside the window runs at its
    // own deadline, after the work already due at that instant.
    SimWorkQueue r;
    const Instant start = r.now();
    std::vector<std::pair<std::string, double>> runs;
    r.after(Duration(2.0), [&] {
        runs.emplace_back("first", secondsSince(start, r.now()));
        r.after(Duration(1.0), [&] { runs.emplace_back("nested", secondsSince(start, r.now())); });
        r.submit([&] { runs.emplace_back("now", secondsSince(start, r.now())); });
    });
    r.after(Duration(2.0), [&] { runs.emplace_back("second", secondsSince(start, r.now())); });
    r.advance(Duration(5.0));
    ASSERT_EQ(runs.size(), 4u);
    EXPECT_EQ(runs[0], std::make_pair(std::string("first"), 2.0));
    EXPECT_EQ(runs[1], std::make_pair(std::string("second"), 2.0));
    EXPECT_EQ(runs[2], std::make_pair(std::string("now"), 2.0));
    EXPECT_EQ(runs[3], std::make_pair(std::string("nested"), 3.0));
    EXPECT_DOUBLE_EQ(secondsSince(start, r.now()), 5.0);
}

TEST(SimWorkQueue, RunUntilIdleRunsOnlyWhatIsDueNow) {
    SimWorkQueue q;
    const Instant start = q.now();
    int chain = 0;
    bool later = false;
    q.after(Duration(1.0), [&] { later = true; });
    // Work that schedules more work for now is all run in one call.
    std::function<void()> step = [&] {
        ++chain;
        if (chain < 3) q.submit(step);
    };
    q.submit(step);
    EXPECT_EQ(chain, 0);  // nothing runs outside run*/advance*
    EXPECT_EQ(q.runUntilIdle(), 3u);
    EXPECT_EQ(chain, 3);
    EXPECT_FALSE(later);
    EXPECT_EQ(q.now(), start);
    EXPECT_EQ(q.pendingCount(), 1u);
    EXPECT_EQ(q.runUntilIdle(), 0u);

    // A negative delay is due now, not in the past.
    q.after(Duration(-4.0), [&] { ++chain; });
    EXPECT_EQ(q.runUntilIdle(), 1u);
    EXPECT_EQ(chain, 4);
    EXPECT_EQ(q.now(), start);
}

TEST(SimWorkQueue, ReadSourcesRunOnTheQueueAndCancelOnce) {
    SimWorkQueue q;
    int readable = 0, cancels = 0;
    auto source = q.readSource(7, [&] { ++readable; }, [&] { ++cancels; });
    q.makeReadable(7);
    q.makeReadable(8);  // no source on that descriptor
    EXPECT_EQ(readable, 0);
    q.runUntilIdle();
    EXPECT_EQ(readable, 1);

    // Readable, then cancelled before the queue ran: the handler never runs,
    // the cancel handler runs once, later, on the queue.
    q.makeReadable(7);
    source->cancel();
    source->cancel();
    EXPECT_EQ(cancels, 0);
    q.runUntilIdle();
    EXPECT_EQ(readable, 1);
    EXPECT_EQ(cancels, 1);
    q.makeReadable(7);
    EXPECT_EQ(q.runUntilIdle(), 0u);
    EXPECT_EQ(readable, 1);
}

TEST(SimPlatform, PacketFlowDeliversInjectedBatchesThroughTheQueue) {
    SimPlatform sim;
    std::vector<std::vector<Bytes>> batches;
    std::vector<int> protocols;
    PacketFlow::ReadCompletion reader = [&](std::vector<Bytes> packets, std::vector<int> protos) {
        batches.push_back(packets);
        protocols.insert(protocols.end(), protos.begin(), protos.end());
    };
    sim.packetFlow.inject({Bytes{1, 2}, Bytes{3}});
    sim.packetFlow.inject({Bytes{4}});
    sim.packetFlow.readPackets(reader);
    EXPECT_FALSE(sim.packetFlow.readPending());
    EXPECT_TRUE(batches.empty());
    sim.queue.runUntilIdle();
    ASSERT_EQ(batches.size(), 1u);
    EXPECT_EQ(batches[0], (std::vector<Bytes>{Bytes{1, 2}, Bytes{3}}));
    EXPECT_EQ(protocols, (std::vector<int>{2, 2}));

    // One batch per read: the second batch waits for the next read.
    sim.queue.runUntilIdle();
    EXPECT_EQ(batches.size(), 1u);
    sim.packetFlow.readPackets(reader);
    sim.queue.runUntilIdle();
    ASSERT_EQ(batches.size(), 2u);
    EXPECT_EQ(batches[1], (std::vector<Bytes>{Bytes{4}}));
    // A read with nothing queued stays pending until a batch arrives.
    sim.packetFlow.readPackets(reader);
    EXPECT_TRUE(sim.packetFlow.readPending());
    sim.packetFlow.inject({Bytes{5}});
    sim.queue.runUntilIdle();
    EXPECT_EQ(batches.size(), 3u);
    EXPECT_EQ(sim.packetFlow.readRequests, 3);

    sim.packetFlow.writePackets({Bytes{9}}, {2});
    EXPECT_EQ(sim.packetFlow.written, (std::vector<Bytes>{Bytes{9}}));
    EXPECT_EQ(sim.packetFlow.writtenProtocols, (std::vector<int>{2}));
}

TEST(SimPlatform, UDPSessionsAreScriptableAndCallBackThroughTheQueue) {
    SimPlatform sim;
    int created = 0;
    sim.host.initialUDPState = UDPSessionState::preparing;
    sim.host.onNewUDPSession = [&](SimUDPSession& s) {
        ++created;
        EXPECT_EQ(s.state(), UDPSessionState::preparing);
    };
    auto session = sim.host.createUDPSession("192.0.2.1", "5555");
    ASSERT_EQ(sim.host.udpSessions.size(), 1u);
    auto& udp = *sim.host.udpSessions[0];
    EXPECT_EQ(created, 1);
    EXPECT_EQ(udp.host, "192.0.2.1");
    EXPECT_EQ(udp.port, "5555");

    std::vector<size_t> batchSizes;
    std::vector<std::string> errors;
    session->setReadHandler(
        [&](std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
            if (error) errors.push_back(error->description());
            else batchSizes.push_back(datagrams.size());
        },
        2);
    EXPECT_EQ(udp.maxDatagrams, 2u);
    udp.deliver({Bytes{1}, Bytes{2}, Bytes{3}, Bytes{4}, Bytes{5}});
    udp.deliverError("connection refused");
    EXPECT_TRUE(batchSizes.empty());
    sim.queue.runUntilIdle();
    EXPECT_EQ(batchSizes, (std::vector<size_t>{2, 2, 1}));
    EXPECT_EQ(errors, (std::vector<std::string>{"connection refused"}));

    // Write completions: success, scripted failure, held until released.
    std::vector<std::optional<std::string>> completions;
    auto record = [&](std::optional<TunnelError> e) {
        completions.push_back(e ? std::optional<std::string>(e->description()) : std::nullopt);
    };
    session->writeDatagram(Bytes{0xaa}, record);
    udp.failWrites = "no route to host";
    session->writeDatagram(Bytes{0xbb}, record);
    EXPECT_TRUE(completions.empty());
    sim.queue.runUntilIdle();
    ASSERT_EQ(completions.size(), 2u);
    EXPECT_FALSE(completions[0].has_value());
    EXPECT_EQ(completions[1], std::optional<std::string>("no route to host"));
    udp.failWrites.reset();
    udp.holdWriteCompletions = true;
    session->writeDatagram(Bytes{0xcc}, record);
    sim.queue.runUntilIdle();
    EXPECT_EQ(completions.size(), 2u);
    udp.completeHeldWrites("late failure");
    sim.queue.runUntilIdle();
    ASSERT_EQ(completions.size(), 3u);
    EXPECT_EQ(completions[2], std::optional<std::string>("late failure"));
    EXPECT_EQ(udp.writes, (std::vector<Bytes>{Bytes{0xaa}, Bytes{0xbb}, Bytes{0xcc}}));

    session->cancel();
    EXPECT_TRUE(udp.cancelled);
    EXPECT_EQ(session->state(), UDPSessionState::cancelled);
    udp.deliver({Bytes{6}});
    sim.queue.runUntilIdle();
    EXPECT_EQ(batchSizes.size(), 3u);
}

TEST(SimPlatform, TCPConnectionsBufferSplitAndEndTheirStream) {
    SimPlatform sim;
    auto connection = sim.host.createTCPConnection("198.51.100.9", "443");
    ASSERT_EQ(sim.host.tcpConnections.size(), 1u);
    auto& tcp = *sim.host.tcpConnections[0];
    EXPECT_EQ(tcp.state(), TCPConnectionState::connecting);

    std::vector<Bytes> reads;
    std::vector<std::string> errors;
    auto reader = [&](Bytes data, std::optional<TunnelError> error) {
        if (error) errors.push_back(error->description());
        else reads.push_back(data);
    };
    tcp.deliver(Bytes{1, 2, 3, 4, 5});
    connection->readMinimumLength(1, 3, reader);
    sim.queue.runUntilIdle();
    connection->readMinimumLength(1, 3, reader);
    sim.queue.runUntilIdle();
    EXPECT_EQ(reads, (std::vector<Bytes>{Bytes{1, 2, 3}, Bytes{4, 5}}));

    // A pending read gets the next bytes, then the end of the stream.
    connection->readMinimumLength(1, 100, reader);
    sim.queue.runUntilIdle();
    EXPECT_EQ(reads.size(), 2u);
    tcp.deliver(Bytes{6});
    tcp.deliver(Bytes{});
    sim.queue.runUntilIdle();
    connection->readMinimumLength(1, 100, reader);
    sim.queue.runUntilIdle();
    EXPECT_EQ(reads, (std::vector<Bytes>{Bytes{1, 2, 3}, Bytes{4, 5}, Bytes{6}, Bytes{}}));

    // An error without a pending read fails the next one.
    auto second = sim.host.createTCPConnection("198.51.100.9", "80");
    sim.host.tcpConnections[1]->deliverError("connection reset");
    second->readMinimumLength(1, 10, reader);
    sim.queue.runUntilIdle();
    EXPECT_EQ(errors, (std::vector<std::string>{"connection reset"}));

    std::vector<bool> writeOK;
    connection->write(Bytes{7}, [&](std::optional<TunnelError> e) { writeOK.push_back(!e); });
    connection->cancel();
    connection->write(Bytes{8}, [&](std::optional<TunnelError> e) { writeOK.push_back(!e); });
    sim.queue.runUntilIdle();
    EXPECT_EQ(writeOK, (std::vector<bool>{true, false}));
    EXPECT_EQ(tcp.writes, (std::vector<Bytes>{Bytes{7}}));
    EXPECT_EQ(connection->state(), TCPConnectionState::cancelled);
}

TEST(SimPlatform, TunnelHostCapturesSettingsAndCompletesOnTheQueue) {
    SimPlatform sim;
    TunnelNetworkSettings settings;
    settings.tunnelRemoteAddress = "203.0.113.7";
    settings.mtu = 1420;
    std::vector<std::optional<std::string>> results;
    auto record = [&](std::optional<TunnelError> e) {
        results.push_back(e ? std::optional<std::string>(e->description()) : std::nullopt);
    };
    sim.host.setTunnelNetworkSettings(settings, record);
    EXPECT_TRUE(results.empty());
    sim.queue.runUntilIdle();
    ASSERT_EQ(results.size(), 1u);
    EXPECT_FALSE(results[0].has_value());

    sim.host.settingsError = "route table refused";
    sim.host.setTunnelNetworkSettings(std::nullopt, record);
    sim.queue.runUntilIdle();
    ASSERT_EQ(results.size(), 2u);
    EXPECT_EQ(results[1], std::optional<std::string>("route table refused"));
    ASSERT_EQ(sim.host.appliedSettings.size(), 2u);
    EXPECT_EQ(sim.host.appliedSettings[0], std::optional<TunnelNetworkSettings>(settings));
    EXPECT_FALSE(sim.host.appliedSettings[1].has_value());

    sim.host.cancelTunnelWithError(TunnelError::fromVantu("gone"));
    ASSERT_EQ(sim.host.cancellations.size(), 1u);
    EXPECT_EQ(sim.host.cancellations[0].domain, "VantuPacketTunnel.VantuError");
    EXPECT_EQ(sim.host.defaultPath()->status, PathStatus::satisfied);
}

TEST(SimPlatform, DefaultsStoreTreatsAnotherKindAsAbsent) {
    MemoryDefaultsStore store;
    EXPECT_FALSE(store.string("k").has_value());
    EXPECT_EQ(store.integer("k"), 0);

    store.setString("k", "text");
    EXPECT_EQ(store.string("k"), std::optional<std::string>("text"));
    EXPECT_EQ(store.integer("k"), 0);
    EXPECT_FALSE(store.stringArray("k").has_value());
    EXPECT_FALSE(store.dictionary("k").has_value());

    store.setInteger("k", 500);
    EXPECT_EQ(store.integer("k"), 500);
    EXPECT_FALSE(store.string("k").has_value());

    store.setStringArray("a", {"x", "y"});
    store.setDictionary("d", {{"10.0.0.1/32", 1.5}});
    EXPECT_EQ(store.stringArray("a"), (std::optional<std::vector<std::string>>({"x", "y"})));
    EXPECT_EQ(store.dictionary("d")->at("10.0.0.1/32"), 1.5);
    EXPECT_FALSE(store.stringArray("d").has_value());

    store.remove("k");
    EXPECT_EQ(store.integer("k"), 0);
    EXPECT_EQ(store.writes, 5);

    CapturingLog log;
    log.write("VantuPacketTunnel: UDP session ready 192.0.2.1:5555");
    EXPECT_TRUE(log.contains("session ready"));
    EXPECT_FALSE(log.contains("session failed"));
}
