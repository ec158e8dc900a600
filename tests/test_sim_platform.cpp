// The simulated platform that the provider tests run on: the work queue in
// virtual time, and the scripted sessions and connections.

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
    std::vector<double> fired;
    auto at = [&](std::vector<double>& into) { return [&] { into.push_back(secondsSince(start, q.now())); }; };
    q.after(Duration(8.0), at(fired));
    std::vector<double> repeats;
    auto timer = q.repeating(Duration(10.0), Duration(10.0), at(repeats));
    q.advanceTo(start + 7999ms);
    EXPECT_TRUE(fired.empty());
    q.advance(Duration(0.001));
    EXPECT_EQ(fired, std::vector<double>{8.0});
    q.advance(Duration(27.0));
    EXPECT_EQ(repeats, (std::vector<double>{10.0, 20.0, 30.0}));
    EXPECT_DOUBLE_EQ(secondsSince(start, q.now()), 35.0);
    EXPECT_EQ(q.pendingCount(), 1u);

    // Cancelling takes the queued firing off the queue; cancel is idempotent.
    timer->cancel();
    timer->cancel();
    EXPECT_TRUE(timer->isCancelled());
    EXPECT_EQ(q.pendingCount(), 0u);
    q.advance(Duration(100.0));
    EXPECT_EQ(repeats.size(), 3u);

    // A first firing other than the interval, and a cancel from the timer's own handler.
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
    for (const auto& [delay, name] : std::vector<std::pair<double, std::string>>{{5, "A"}, {3, "B"}, {5, "C"}})
        q.after(Duration(delay), [&order, name = name] { order += name; });
    q.submit([&] { order += "D"; });
    q.after(Duration(0.0), [&] { order += "E"; });
    q.submit([&] { order += "F"; });
    q.advance(Duration(10.0));
    EXPECT_EQ(order, "DEFBAC");

    // Work scheduled during advance runs at its own deadline, after the work already due then.
    const Instant start = q.now();
    std::vector<std::pair<std::string, double>> runs;
    auto record = [&](std::string name) { runs.emplace_back(name, secondsSince(start, q.now())); };
    q.after(Duration(2.0), [&] {
        record("first");
        q.after(Duration(1.0), [&] { record("nested"); });
        q.submit([&] { record("now"); });
    });
    q.after(Duration(2.0), [&] { record("second"); });
    q.advance(Duration(5.0));
    EXPECT_EQ(runs, (std::vector<std::pair<std::string, double>>{
                        {"first", 2.0}, {"second", 2.0}, {"now", 2.0}, {"nested", 3.0}}));
    EXPECT_DOUBLE_EQ(secondsSince(start, q.now()), 5.0);
}

TEST(SimWorkQueue, RunUntilIdleRunsOnlyWhatIsDueNow) {
    SimWorkQueue q;
    const Instant start = q.now();
    int chain = 0;
    bool later = false;
    q.after(Duration(1.0), [&] { later = true; });
    std::function<void()> step = [&] {
        if (++chain < 3) q.submit(step);
    };
    q.submit(step);
    bool negative = false;
    q.after(Duration(-4.0), [&] { negative = true; });  // due now, not in the past
    EXPECT_EQ(chain, 0) << "nothing runs outside run*/advance*";
    EXPECT_EQ(q.runUntilIdle(), 4u);
    EXPECT_EQ(chain, 3);
    EXPECT_TRUE(negative);
    EXPECT_FALSE(later);
    EXPECT_EQ(q.now(), start);
    EXPECT_EQ(q.pendingCount(), 1u);
    EXPECT_EQ(q.runUntilIdle(), 0u);
}

TEST(SimWorkQueue, ReadSourcesRunOnTheQueueAndCancelOnce) {
    SimWorkQueue q;
    int readable = 0, cancels = 0;
    auto source = q.readSource(7, [&] { ++readable; }, [&] { ++cancels; });
    q.makeReadable(7);
    q.makeReadable(8);  // no source there
    EXPECT_EQ(readable, 0);
    q.runUntilIdle();
    EXPECT_EQ(readable, 1);
    // Readable, then cancelled before the queue ran: only the cancel handler runs, once, on the queue.
    q.makeReadable(7);
    source->cancel();
    source->cancel();
    EXPECT_EQ(cancels, 0);
    q.runUntilIdle();
    q.makeReadable(7);
    EXPECT_EQ(q.runUntilIdle(), 0u);
    EXPECT_EQ(readable, 1);
    EXPECT_EQ(cancels, 1);
}

// The scripted behaviours the provider tests build on.
TEST(SimPlatform, SessionsAndConnectionsCallBackThroughTheQueue) {
    SimPlatform sim;
    auto session = sim.host.createUDPSession("192.0.2.1", "5555");
    ASSERT_EQ(sim.host.udpSessions.size(), 1u);
    auto& udp = *sim.host.udpSessions[0];
    std::vector<size_t> batchSizes;
    std::optional<std::string> readError;
    session->setReadHandler([&](std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
        if (error) readError = error->description();
        else batchSizes.push_back(datagrams.size());
    }, 2);
    udp.deliver({Bytes{1}, Bytes{2}, Bytes{3}, Bytes{4}, Bytes{5}});
    udp.deliverError("connection refused");
    EXPECT_TRUE(batchSizes.empty()) << "delivered inline";
    sim.queue.runUntilIdle();
    EXPECT_EQ(batchSizes, (std::vector<size_t>{2, 2, 1}));
    EXPECT_EQ(readError, "connection refused");

    // Write completions: success, scripted failure, held until released.
    std::vector<std::optional<std::string>> completions;
    auto record = [&](std::optional<TunnelError> e) {
        completions.push_back(e ? std::optional<std::string>(e->description()) : std::nullopt);
    };
    session->writeDatagram(Bytes{0xaa}, record);
    udp.failWrites = "no route to host";
    session->writeDatagram(Bytes{0xbb}, record);
    udp.failWrites.reset();
    udp.holdWriteCompletions = true;
    session->writeDatagram(Bytes{0xcc}, record);
    EXPECT_TRUE(completions.empty());
    sim.queue.runUntilIdle();
    EXPECT_EQ(completions.size(), 2u);
    udp.completeHeldWrites("late failure");
    sim.queue.runUntilIdle();
    EXPECT_EQ(completions, (std::vector<std::optional<std::string>>{std::nullopt, "no route to host", "late failure"}));
    session->cancel();
    udp.deliver({Bytes{6}});
    sim.queue.runUntilIdle();
    EXPECT_EQ(batchSizes.size(), 3u);

    // TCP reads take at most the maximum, wait for data, and end with an empty read.
    auto connection = sim.host.createTCPConnection("198.51.100.9", "443");
    auto& tcp = *sim.host.tcpConnections.at(0);
    std::vector<Bytes> reads;
    auto read = [&](size_t maximum) {
        connection->readMinimumLength(1, maximum, [&](Bytes data, std::optional<TunnelError>) { reads.push_back(data); });
        sim.queue.runUntilIdle();
    };
    tcp.deliver(Bytes{1, 2, 3, 4, 5});
    read(3);
    read(3);
    read(100);
    EXPECT_EQ(reads.size(), 2u);
    tcp.deliver(Bytes{6});
    tcp.deliver(Bytes{});
    sim.queue.runUntilIdle();
    read(100);
    EXPECT_EQ(reads, (std::vector<Bytes>{Bytes{1, 2, 3}, Bytes{4, 5}, Bytes{6}, Bytes{}}));
    std::vector<bool> writeOK;
    connection->write(Bytes{7}, [&](std::optional<TunnelError> e) { writeOK.push_back(!e); });
    connection->cancel();
    connection->write(Bytes{8}, [&](std::optional<TunnelError> e) { writeOK.push_back(!e); });
    sim.queue.runUntilIdle();
    EXPECT_EQ(writeOK, (std::vector<bool>{true, false}));
    EXPECT_EQ(tcp.writes, (std::vector<Bytes>{Bytes{7}}));
}
