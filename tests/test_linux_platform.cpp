// Tests of the Linux platform objects that need no privileges: the Asio work
// queue, the SQLite defaults store, the packet flow over a socket pair and the
// marked sockets on loopback.

#include <fcntl.h>
#include <poll.h>
#include <sqlite3.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <unistd.h>

#include <arpa/inet.h>
#include <netinet/in.h>

#include <atomic>
#include <cstdlib>
#include <filesystem>
#include <fstream>
#include <sstream>
#include <string>
#include <thread>
#include <vector>

#include <gtest/gtest.h>

#include <asio/ip/tcp.hpp>
#include <asio/read.hpp>
#include <asio/write.hpp>

#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/LinuxTunnelHost.h"
#include "platform/linux/MarkedSockets.h"
#include "platform/linux/Netlink.h"
#include "platform/linux/ResolverConfig.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "platform/linux/SystemLogs.h"
#include "platform/linux/TunPacketFlow.h"

using namespace vantu;
using namespace std::chrono_literals;

namespace {

std::string makeTempDir() {
    std::string pattern = (std::filesystem::temp_directory_path() / "vantu-linux-XXXXXX").string();
    char* dir = ::mkdtemp(pattern.data());
    if (!dir) throw std::runtime_error("mkdtemp failed");
    return dir;
}

struct TempDir {
    std::string path = makeTempDir();
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
};

struct CapturingLog : SystemLog {
    std::vector<std::string> lines;
    void write(const std::string& line) override { lines.push_back(line); }
};

std::string readText(const std::string& path) {
    std::ifstream in(path);
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeText(const std::string& path, const std::string& text) {
    std::ofstream out(path, std::ios::trunc);
    out << text;
}

// The mark needs CAP_NET_ADMIN; without it the sockets go unmarked.
uint32_t testMark() { return ::geteuid() == 0 ? 0x1ccd : 0; }

// A UDP socket on 127.0.0.1 that echoes every datagram, served by the queue.
struct UdpEcho {
    int fd = -1;
    uint16_t port = 0;
    int echoed = 0;
    std::shared_ptr<Cancellable> source;
    explicit UdpEcho(AsioWorkQueue& queue) {
        fd = ::socket(AF_INET, SOCK_DGRAM | SOCK_NONBLOCK | SOCK_CLOEXEC, 0);
        sockaddr_in sin{};
        sin.sin_family = AF_INET;
        sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
        ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
        socklen_t len = sizeof sin;
        ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
        port = ntohs(sin.sin_port);
        const int s = fd;
        source = queue.readSource(
            fd,
            [this, s] {
                uint8_t buffer[2048];
                sockaddr_in from{};
                socklen_t fromLen = sizeof from;
                const ssize_t n = ::recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
                if (n < 0) return;
                ::sendto(s, buffer, static_cast<size_t>(n), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
                ++echoed;
            },
            [s] { ::close(s); });
    }
    ~UdpEcho() { source->cancel(); }
};

// A port on 127.0.0.1 where nothing listens.
uint16_t closedPort(int type) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), sizeof sin);
    socklen_t len = sizeof sin;
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    ::close(fd);
    return ntohs(sin.sin_port);
}

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

}  // namespace

// ---------------------------------------------------------------- work queue

TEST(AsioWorkQueue, SubmittedAndDelayedWorkRunsInOrder) {
    AsioWorkQueue queue;
    std::vector<std::string> order;
    queue.submit([&] { order.push_back("s1"); });
    queue.after(Duration(0.06), [&] { order.push_back("late"); });
    queue.after(Duration(0.02), [&] { order.push_back("early"); });
    // Equal delays keep their scheduling order.
    for (int i = 0; i < 5; ++i) queue.after(Duration(0.04), [&, i] { order.push_back("tie" + std::to_string(i)); });
    queue.after(Duration(-1), [&] { order.push_back("negative"); });  // runs as soon as possible
    queue.submit([&] { order.push_back("s2"); });

    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(queue.runUntil([&] { return order.size() == 10; }, Duration(5)));
    EXPECT_GE(secondsSince(start), 0.055);  // the late one did not fire early
    const std::vector<std::string> expected{"s1", "s2", "negative", "early", "tie0", "tie1",
                                            "tie2", "tie3", "tie4", "late"};
    EXPECT_EQ(order, expected);
    EXPECT_EQ(queue.pendingTimerCount(), 0u);

    // The queue's clock is the wall clock.
    const auto wall = std::chrono::system_clock::now();
    EXPECT_LT(std::chrono::abs(queue.now() - wall), std::chrono::seconds(1));
}

TEST(AsioWorkQueue, RunsOnItsOwnThreadAndAcceptsWorkFromOthers) {
    AsioWorkQueue queue;
    std::atomic<int> done{0};
    std::atomic<bool> onQueueThread{true};
    std::thread::id queueThread;
    queue.submit([&] { queueThread = std::this_thread::get_id(); });
    queue.startThread();
    // Work from several threads, each with its own ordering, all on one thread.
    std::vector<std::thread> producers;
    std::vector<std::vector<int>> seen(3);
    for (int p = 0; p < 3; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 200; ++i) {
                queue.submit([&, p, i] {
                    if (!queue.isQueueThread()) onQueueThread = false;
                    seen[p].push_back(i);
                    ++done;
                });
                if (i % 50 == 0) queue.after(Duration(0.001), [&] { ++done; });
            }
        });
    }
    for (auto& t : producers) t.join();
    for (int i = 0; i < 500 && done.load() < 612; ++i) std::this_thread::sleep_for(10ms);
    queue.stopAndJoin();
    EXPECT_EQ(done.load(), 612);
    EXPECT_TRUE(onQueueThread.load());
    EXPECT_FALSE(queue.isQueueThread());
    EXPECT_NE(queueThread, std::this_thread::get_id());
    for (const auto& list : seen) {
        ASSERT_EQ(list.size(), 200u);
        for (int i = 0; i < 200; ++i) EXPECT_EQ(list[i], i);
    }
    // After stop, submitted work waits; run() returns at once.
    std::atomic<bool> ran{false};
    queue.submit([&] { ran = true; });
    queue.run();
    EXPECT_FALSE(ran.load());
    queue.poll();
    EXPECT_TRUE(ran.load());
}

TEST(AsioWorkQueue, RepeatingTimerFiresAtItsRateUntilCancelled) {
    AsioWorkQueue queue;
    std::vector<double> fires;
    const auto start = std::chrono::steady_clock::now();
    std::shared_ptr<Cancellable> timer;
    timer = queue.repeating(Duration(0.05), Duration(0.02), [&] {
        fires.push_back(secondsSince(start));
        if (fires.size() == 4) timer->cancel();  // cancelling from inside the handler
    });
    EXPECT_FALSE(timer->isCancelled());
    ASSERT_TRUE(queue.runUntil([&] { return fires.size() >= 4; }, Duration(5)));
    EXPECT_TRUE(timer->isCancelled());
    // Never early: the first at 50 ms, then one per 20 ms.
    for (size_t i = 0; i < fires.size(); ++i) EXPECT_GE(fires[i], 0.05 + 0.02 * i - 0.001) << i;
    // Nothing more after the cancel, and the queue holds no timer any more.
    queue.runUntil([] { return false; }, Duration(0.1));
    EXPECT_EQ(fires.size(), 4u);
    EXPECT_EQ(queue.pendingTimerCount(), 0u);

    // A timer cancelled before its first firing never runs; cancel is idempotent.
    int count = 0;
    auto other = queue.repeating(Duration(0.01), Duration(0.01), [&] { ++count; });
    other->cancel();
    other->cancel();
    EXPECT_TRUE(other->isCancelled());
    queue.runUntil([] { return false; }, Duration(0.05));
    EXPECT_EQ(count, 0);
}

TEST(AsioWorkQueue, ReadSourceIsLevelTriggeredAndCancelClosesOnce) {
    AsioWorkQueue queue;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    const int readEnd = fds[0];
    const int writeEnd = fds[1];
    std::string received;
    int readableCalls = 0;
    int cancelCalls = 0;
    std::shared_ptr<Cancellable> source;
    source = queue.readSource(
        readEnd,
        [&] {
            ++readableCalls;
            char c;
            // One byte per call: the source must call again while data remains.
            if (::read(readEnd, &c, 1) == 1) received.push_back(c);
        },
        [&] {
            ++cancelCalls;
            ::close(readEnd);
        });

    ASSERT_EQ(::write(writeEnd, "abc", 3), 3);
    ASSERT_TRUE(queue.runUntil([&] { return received.size() == 3; }, Duration(5)));
    EXPECT_EQ(received, "abc");
    // No data: no calls.
    const int callsBefore = readableCalls;
    queue.runUntil([] { return false; }, Duration(0.05));
    EXPECT_EQ(readableCalls, callsBefore);
    // New data wakes it again.
    ASSERT_EQ(::write(writeEnd, "d", 1), 1);
    ASSERT_TRUE(queue.runUntil([&] { return received.size() == 4; }, Duration(5)));

    // Cancel: the cancel handler runs once and closes the descriptor, and
    // data written afterwards no longer reaches the readable handler.
    ASSERT_EQ(::write(writeEnd, "e", 1), 1);
    source->cancel();
    source->cancel();
    EXPECT_TRUE(source->isCancelled());
    ASSERT_TRUE(queue.runUntil([&] { return cancelCalls > 0; }, Duration(5)));
    queue.runUntil([] { return false; }, Duration(0.05));
    EXPECT_EQ(cancelCalls, 1);
    EXPECT_EQ(received, "abcd");
    EXPECT_EQ(::fcntl(readEnd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    ::close(writeEnd);

    // Cancelling from inside the readable handler: no further call, one cancel.
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    int calls = 0;
    bool closed = false;
    std::shared_ptr<Cancellable> selfCancelling;
    const int r2 = fds[0];
    selfCancelling = queue.readSource(
        r2, [&] { ++calls; selfCancelling->cancel(); },
        [&] {
            EXPECT_FALSE(closed);
            closed = true;
            ::close(r2);
        });
    ASSERT_EQ(::write(fds[1], "xyz", 3), 3);  // stays unread: level-triggered would call forever
    ASSERT_TRUE(queue.runUntil([&] { return closed; }, Duration(5)));
    queue.runUntil([] { return false; }, Duration(0.05));
    EXPECT_EQ(calls, 1);
    ::close(fds[1]);
}

// ---------------------------------------------------------------- defaults store

TEST(SqliteDefaultsStore, KindsRoundTripAndWrongKindReadsAsAbsent) {
    TempDir dir;
    const std::string path = dir.path + "/state/nested/defaults.sqlite";
    SqliteDefaultsStore store(path);

    // The missing directories were created private.
    struct stat st{};
    ASSERT_EQ(::stat((dir.path + "/state").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);
    ASSERT_EQ(::stat((dir.path + "/state/nested").c_str(), &st), 0);
    EXPECT_EQ(st.st_mode & 0777, 0700u);

    // Absent keys.
    EXPECT_FALSE(store.stringArray("vantu.none").has_value());
    EXPECT_FALSE(store.string("vantu.none").has_value());
    EXPECT_EQ(store.integer("vantu.none"), 0);
    EXPECT_FALSE(store.dictionary("vantu.none").has_value());

    const std::vector<std::string> events{"first", "", "naïve ✓", "quote \" and \\ backslash"};
    store.setStringArray("vantu.diagnostics.events", events);
    store.setStringArray("vantu.empty", {});
    store.setString("vantu.text", "line1\nline2");
    store.setInteger("vantu.seq", 9007199254740993LL);  // not representable as a double
    store.setInteger("vantu.negative", -42);
    const std::map<std::string, double> routes{{"198.51.100.7/32", 1700000000.25}, {"203.0.113.0/24", 0.0}};
    store.setDictionary("vantu.dynamicDirectRoutes.abc", routes);

    EXPECT_EQ(store.stringArray("vantu.diagnostics.events"), events);
    EXPECT_EQ(store.stringArray("vantu.empty"), std::vector<std::string>{});
    EXPECT_EQ(store.string("vantu.text"), "line1\nline2");
    EXPECT_EQ(store.integer("vantu.seq"), 9007199254740993LL);
    EXPECT_EQ(store.integer("vantu.negative"), -42);
    EXPECT_EQ(store.dictionary("vantu.dynamicDirectRoutes.abc"), routes);

    // Every other accessor sees the key as absent.
    EXPECT_FALSE(store.string("vantu.diagnostics.events").has_value());
    EXPECT_EQ(store.integer("vantu.diagnostics.events"), 0);
    EXPECT_FALSE(store.dictionary("vantu.diagnostics.events").has_value());
    EXPECT_FALSE(store.stringArray("vantu.text").has_value());
    EXPECT_EQ(store.integer("vantu.text"), 0);
    EXPECT_FALSE(store.string("vantu.seq").has_value());
    EXPECT_FALSE(store.stringArray("vantu.seq").has_value());
    EXPECT_FALSE(store.dictionary("vantu.seq").has_value());
    EXPECT_FALSE(store.string("vantu.dynamicDirectRoutes.abc").has_value());
    EXPECT_EQ(store.integer("vantu.dynamicDirectRoutes.abc"), 0);

    // A key rewritten with another kind takes the new kind only.
    store.setString("vantu.seq", "now text");
    EXPECT_EQ(store.integer("vantu.seq"), 0);
    EXPECT_EQ(store.string("vantu.seq"), "now text");

    store.remove("vantu.text");
    store.remove("vantu.never-set");
    EXPECT_FALSE(store.string("vantu.text").has_value());
    EXPECT_EQ(store.lastError(), "");
}

TEST(SqliteDefaultsStore, SurvivesReopenAndIsDurable) {
    TempDir dir;
    const std::string path = dir.path + "/defaults.sqlite";
    {
        SqliteDefaultsStore store(path);
        store.setInteger("vantu.diagnostics.sequence", 120);
        store.setStringArray("vantu.diagnostics.events", {"a", "b"});
        store.setString("gone", "x");
        store.remove("gone");
        store.setDictionary("vantu.d", {{"k", 1.5}});
    }
    {
        SqliteDefaultsStore store(path);
        EXPECT_EQ(store.integer("vantu.diagnostics.sequence"), 120);
        EXPECT_EQ(store.stringArray("vantu.diagnostics.events"), (std::vector<std::string>{"a", "b"}));
        EXPECT_FALSE(store.string("gone").has_value());
        EXPECT_EQ(store.dictionary("vantu.d"), (std::map<std::string, double>{{"k", 1.5}}));
        store.setInteger("vantu.diagnostics.sequence", 121);
        // A second connection (another process) sees the committed write at once.
        SqliteDefaultsStore second(path);
        EXPECT_EQ(second.integer("vantu.diagnostics.sequence"), 121);
    }
    // The journal mode is persistent in the file.
    sqlite3* db = nullptr;
    ASSERT_EQ(sqlite3_open(path.c_str(), &db), SQLITE_OK);
    sqlite3_stmt* st = nullptr;
    ASSERT_EQ(sqlite3_prepare_v2(db, "PRAGMA journal_mode", -1, &st, nullptr), SQLITE_OK);
    ASSERT_EQ(sqlite3_step(st), SQLITE_ROW);
    EXPECT_STREQ(reinterpret_cast<const char*>(sqlite3_column_text(st, 0)), "wal");
    sqlite3_finalize(st);
    sqlite3_close(db);

    // A path that cannot be created is an error, not a crash.
    EXPECT_THROW(SqliteDefaultsStore("/proc/vantu-no/such/defaults.sqlite"), VantuError);
}

// ---------------------------------------------------------------- packet flow

TEST(TunPacketFlow, ReadsBatchesWritesAndCountsDrops) {
    AsioWorkQueue queue;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    const int peer = pair[1];
    CapturingLog log;
    auto flow = TunPacketFlow::fromDescriptor(queue, pair[0], "test0", &log);
    EXPECT_EQ(flow->name(), "test0");

    // 70 packets waiting: a full batch of 64, then the remaining 6.
    for (int i = 0; i < 68; ++i) {
        Bytes packet{0x45, 0x00, static_cast<uint8_t>(i)};
        ASSERT_EQ(::send(peer, packet.data(), packet.size(), 0), 3);
    }
    const Bytes ipv6{0x60, 0x01, 0x02, 0x03};
    const Bytes junk{0x00, 0x09};
    ASSERT_EQ(::send(peer, ipv6.data(), ipv6.size(), 0), 4);
    ASSERT_EQ(::send(peer, junk.data(), junk.size(), 0), 2);

    std::vector<std::vector<Bytes>> batches;
    std::vector<std::vector<int>> protocols;
    bool onQueue = true;
    std::function<void()> readNext = [&] {
        flow->readPackets([&](std::vector<Bytes> packets, std::vector<int> protos) {
            if (!queue.isQueueThread()) onQueue = false;
            batches.push_back(std::move(packets));
            protocols.push_back(std::move(protos));
            readNext();
        });
    };
    readNext();
    ASSERT_TRUE(queue.runUntil([&] { return batches.size() == 2; }, Duration(5)));
    EXPECT_TRUE(onQueue);
    ASSERT_EQ(batches[0].size(), TunPacketFlow::kMaxBatch);
    ASSERT_EQ(batches[1].size(), 6u);
    for (size_t i = 0; i < 64; ++i) {
        EXPECT_EQ(batches[0][i], (Bytes{0x45, 0x00, static_cast<uint8_t>(i)}));
        EXPECT_EQ(protocols[0][i], AF_INET);
    }
    EXPECT_EQ(batches[1][3], (Bytes{0x45, 0x00, 67}));
    EXPECT_EQ(batches[1][4], ipv6);
    EXPECT_EQ(protocols[1][4], AF_INET6);
    EXPECT_EQ(protocols[1][5], 0);
    EXPECT_EQ(flow->counters().packetsRead, 70u);

    // Nothing waiting: no empty batch; a packet arriving later wakes the read.
    queue.runUntil([] { return false; }, Duration(0.05));
    EXPECT_EQ(batches.size(), 2u);
    const Bytes late{0x45, 0xff};
    ASSERT_EQ(::send(peer, late.data(), late.size(), 0), 2);
    ASSERT_TRUE(queue.runUntil([&] { return batches.size() == 3; }, Duration(5)));
    EXPECT_EQ(batches[2], std::vector<Bytes>{late});

    // Writes arrive one packet each.
    const std::vector<Bytes> out{{0x45, 1, 2, 3}, {0x45, 4}, {0x45, 5, 6}};
    flow->writePackets(out, {AF_INET, AF_INET, AF_INET});
    for (const auto& expected : out) {
        uint8_t buffer[64];
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        ASSERT_EQ(n, static_cast<ssize_t>(expected.size()));
        EXPECT_EQ(Bytes(buffer, buffer + n), expected);
    }
    EXPECT_EQ(flow->counters().packetsWritten, 3u);

    // The other end gone: writes are dropped and counted, one log line.
    ::close(peer);
    flow->writePackets({{0x45, 1}, {0x45, 2}, {0x45, 3}, {0x45, 4}}, {2, 2, 2, 2});
    EXPECT_EQ(flow->counters().packetsDropped, 4u);
    EXPECT_EQ(flow->counters().packetsWritten, 3u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_NE(log.lines[0].find("tun write dropped a packet on test0"), std::string::npos) << log.lines[0];

    // After close a waiting completion never runs and writes count as drops.
    flow->close();
    flow->close();
    queue.runUntil([] { return false; }, Duration(0.05));
    EXPECT_EQ(batches.size(), 3u);
    flow->writePackets({{0x45}}, {2});
    EXPECT_EQ(flow->counters().packetsDropped, 5u);
}

// ---------------------------------------------------------------- marked sockets

TEST(MarkedUDPSession, ExchangesDatagramsOnLoopback) {
    AsioWorkQueue queue;
    UdpEcho echo(queue);
    auto session = MarkedUDPSession::create(queue, "127.0.0.1", std::to_string(echo.port), testMark());
    // A dotted quad needs no resolution.
    EXPECT_EQ(session->state(), UDPSessionState::ready);
    EXPECT_EQ(session->remoteEndpoint(), "127.0.0.1:" + std::to_string(echo.port));
    if (testMark() != 0) {
        uint32_t mark = 0;
        socklen_t len = sizeof mark;
        ASSERT_EQ(::getsockopt(session->nativeHandle(), SOL_SOCKET, SO_MARK, &mark, &len), 0);
        EXPECT_EQ(mark, testMark());
    }

    std::vector<Bytes> received;
    std::vector<size_t> batchSizes;
    std::optional<TunnelError> readError;
    session->setReadHandler(
        [&](std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
            if (error) readError = error;
            batchSizes.push_back(datagrams.size());
            for (auto& d : datagrams) received.push_back(std::move(d));
        },
        32);
    std::vector<std::optional<TunnelError>> writeResults;
    bool completedInline = false;
    for (int i = 0; i < 5; ++i) {
        auto returned = std::make_shared<bool>(false);
        session->writeDatagram(bytesOf("datagram " + std::to_string(i)), [&, returned](std::optional<TunnelError> e) {
            if (!*returned) completedInline = true;
            writeResults.push_back(e);
        });
        *returned = true;
    }
    ASSERT_TRUE(queue.runUntil([&] { return received.size() == 5 && writeResults.size() == 5; }, Duration(5)));
    EXPECT_FALSE(completedInline);
    for (const auto& r : writeResults) EXPECT_FALSE(r.has_value());
    std::vector<std::string> texts;
    for (const auto& d : received) texts.emplace_back(d.begin(), d.end());
    std::sort(texts.begin(), texts.end());
    for (int i = 0; i < 5; ++i) EXPECT_EQ(texts[i], "datagram " + std::to_string(i));
    for (size_t n : batchSizes) EXPECT_GE(n, 1u);
    EXPECT_FALSE(readError.has_value());

    // Cancel: state, failing writes, and no more read calls.
    session->cancel();
    EXPECT_EQ(session->state(), UDPSessionState::cancelled);
    EXPECT_EQ(session->nativeHandle(), -1);
    std::optional<TunnelError> afterCancel;
    bool called = false;
    session->writeDatagram(bytesOf("late"), [&](std::optional<TunnelError> e) {
        called = true;
        afterCancel = e;
    });
    ASSERT_TRUE(queue.runUntil([&] { return called; }, Duration(5)));
    ASSERT_TRUE(afterCancel.has_value());
    EXPECT_EQ(afterCancel->code, ECANCELED);
    EXPECT_EQ(received.size(), 5u);
}

TEST(MarkedUDPSession, ResolvesNamesAndSurvivesRefusedDatagrams) {
    AsioWorkQueue queue;
    UdpEcho echo(queue);
    // A name resolves off the queue: preparing first, then ready.
    auto named = MarkedUDPSession::create(queue, "localhost", std::to_string(echo.port), testMark());
    EXPECT_EQ(named->state(), UDPSessionState::preparing);
    // Written while preparing: sent once ready.
    std::optional<TunnelError> early = TunnelError::platform("unset", 0, "");
    named->writeDatagram(bytesOf("early"), [&](std::optional<TunnelError> e) { early = e; });
    std::vector<Bytes> got;
    named->setReadHandler([&](std::vector<Bytes> d, std::optional<TunnelError>) {
        for (auto& x : d) got.push_back(x);
    }, 1);
    ASSERT_TRUE(queue.runUntil([&] { return got.size() == 1; }, Duration(10)));
    EXPECT_EQ(named->state(), UDPSessionState::ready);
    EXPECT_FALSE(early.has_value());
    EXPECT_EQ(got[0], bytesOf("early"));

    // Nothing listens: the ICMP error of one datagram is neither a read error
    // nor the next write's error, and the session stays ready.
    auto refused = MarkedUDPSession::create(queue, "127.0.0.1", std::to_string(closedPort(SOCK_DGRAM)), testMark());
    std::optional<TunnelError> readError;
    int readCalls = 0;
    refused->setReadHandler([&](std::vector<Bytes>, std::optional<TunnelError> e) {
        ++readCalls;
        readError = e;
    }, 32);
    std::vector<std::optional<TunnelError>> results;
    for (int i = 0; i < 3; ++i) {
        refused->writeDatagram(bytesOf("x"), [&](std::optional<TunnelError> e) { results.push_back(e); });
        queue.runUntil([] { return false; }, Duration(0.03));
    }
    ASSERT_TRUE(queue.runUntil([&] { return results.size() == 3; }, Duration(5)));
    for (const auto& r : results) EXPECT_FALSE(r.has_value()) << r->description();
    EXPECT_EQ(readCalls, 0);
    EXPECT_EQ(refused->state(), UDPSessionState::ready);

    // A port that is not a number fails the session at once.
    auto bad = MarkedUDPSession::create(queue, "127.0.0.1", "domain", testMark());
    EXPECT_EQ(bad->state(), UDPSessionState::failed);
    ASSERT_TRUE(bad->failure().has_value());
    EXPECT_EQ(bad->failure()->code, EINVAL);
}

TEST(MarkedTCPConnection, ConnectsWritesReadsAndEndsOnLoopback) {
    AsioWorkQueue queue;
    asio::ip::tcp::acceptor acceptor(queue.context(),
                                     asio::ip::tcp::endpoint(asio::ip::address_v4::loopback(), 0));
    const uint16_t port = acceptor.local_endpoint().port();
    asio::ip::tcp::socket server(queue.context());
    bool accepted = false;
    acceptor.async_accept(server, [&](const asio::error_code& ec) { accepted = !ec; });

    auto connection = MarkedTCPConnection::create(queue, "127.0.0.1", std::to_string(port), testMark());
    EXPECT_EQ(connection->state(), TCPConnectionState::connecting);
    // Written while connecting: sent in order once connected.
    std::vector<int> writeOrder;
    connection->write(bytesOf("hello "), [&](std::optional<TunnelError> e) { writeOrder.push_back(e ? -1 : 1); });
    connection->write(bytesOf("world"), [&](std::optional<TunnelError> e) { writeOrder.push_back(e ? -2 : 2); });
    ASSERT_TRUE(queue.runUntil([&] { return accepted && connection->state() == TCPConnectionState::connected; },
                               Duration(5)));
    if (testMark() != 0) {
        uint32_t mark = 0;
        socklen_t len = sizeof mark;
        ASSERT_EQ(::getsockopt(connection->nativeHandle(), SOL_SOCKET, SO_MARK, &mark, &len), 0);
        EXPECT_EQ(mark, testMark());
    }
    std::string serverGot(11, '\0');
    bool serverRead = false;
    asio::async_read(server, asio::buffer(serverGot), [&](const asio::error_code& ec, size_t) { serverRead = !ec; });
    ASSERT_TRUE(queue.runUntil([&] { return serverRead && writeOrder.size() == 2; }, Duration(5)));
    EXPECT_EQ(serverGot, "hello world");
    EXPECT_EQ(writeOrder, (std::vector<int>{1, 2}));

    // Reads of at most 4 bytes collect the whole reply, then end of stream.
    const std::string reply = "0123456789";
    asio::write(server, asio::buffer(reply));
    server.shutdown(asio::ip::tcp::socket::shutdown_send);
    std::string collected;
    bool ended = false;
    std::optional<TunnelError> readError;
    std::function<void()> readMore = [&] {
        connection->readMinimumLength(1, 4, [&](Bytes data, std::optional<TunnelError> e) {
            if (e) {
                readError = e;
                return;
            }
            if (data.empty()) {
                ended = true;
                return;
            }
            EXPECT_LE(data.size(), 4u);
            collected.append(data.begin(), data.end());
            readMore();
        });
    };
    readMore();
    ASSERT_TRUE(queue.runUntil([&] { return ended || readError; }, Duration(5)));
    EXPECT_FALSE(readError.has_value());
    EXPECT_EQ(collected, reply);

    // Cancel answers a pending read with ECANCELED and fails later writes.
    std::optional<TunnelError> pendingRead;
    bool readAnswered = false;
    auto second = MarkedTCPConnection::create(queue, "127.0.0.1", std::to_string(port), testMark());
    asio::ip::tcp::socket server2(queue.context());
    acceptor.async_accept(server2, [](const asio::error_code&) {});
    ASSERT_TRUE(queue.runUntil([&] { return second->state() == TCPConnectionState::connected; }, Duration(5)));
    second->readMinimumLength(1, 100, [&](Bytes, std::optional<TunnelError> e) {
        readAnswered = true;
        pendingRead = e;
    });
    second->cancel();
    EXPECT_EQ(second->state(), TCPConnectionState::cancelled);
    ASSERT_TRUE(queue.runUntil([&] { return readAnswered; }, Duration(5)));
    ASSERT_TRUE(pendingRead.has_value());
    EXPECT_EQ(pendingRead->code, ECANCELED);

    // Nothing listening: disconnected with the refusal.
    auto refused = MarkedTCPConnection::create(queue, "127.0.0.1", std::to_string(closedPort(SOCK_STREAM)), testMark());
    ASSERT_TRUE(queue.runUntil([&] { return refused->state() != TCPConnectionState::connecting; }, Duration(5)));
    EXPECT_EQ(refused->state(), TCPConnectionState::disconnected);
    ASSERT_TRUE(refused->failure().has_value());
    EXPECT_EQ(refused->failure()->code, ECONNREFUSED);
    EXPECT_EQ(refused->failure()->domain, "posix");
}

// ---------------------------------------------------------------- tunnel host (no privileges)

TEST(LinuxTunnelHost, ConfigurationCancellationAndSessions) {
    AsioWorkQueue queue;
    LinuxTunnelHostOptions options;
    options.fwmark = testMark();
    const ProviderConfiguration configuration = {{"server", "203.0.113.7"}, {"useServerRouting", true}};
    LinuxTunnelHost host(queue, options, configuration);
    auto protocol = host.protocolConfiguration();
    ASSERT_TRUE(protocol.has_value());
    EXPECT_TRUE(protocol->isPacketTunnelProvider);
    ASSERT_TRUE(protocol->providerConfiguration.has_value());
    EXPECT_EQ(*protocol->providerConfiguration, configuration);
    EXPECT_TRUE((*protocol->providerConfiguration)["useServerRouting"].is_boolean());

    LinuxTunnelHost bare(queue, options, std::nullopt);
    ASSERT_TRUE(bare.protocolConfiguration().has_value());
    EXPECT_FALSE(bare.protocolConfiguration()->providerConfiguration.has_value());

    // Cancellation reaches the daemon's handler on the queue, not inline.
    std::optional<TunnelError> cancelled;
    host.setCancelHandler([&](const TunnelError& e) {
        EXPECT_TRUE(queue.isQueueThread());
        cancelled = e;
    });
    host.cancelTunnelWithError(TunnelError::fromVantu("keepalive timeout"));
    EXPECT_FALSE(cancelled.has_value());
    ASSERT_TRUE(queue.runUntil([&] { return cancelled.has_value(); }, Duration(5)));
    EXPECT_EQ(cancelled->domain, "VantuPacketTunnel.VantuError");
    EXPECT_EQ(cancelled->description(), "keepalive timeout");

    // Sessions the host creates are marked sockets that work.
    UdpEcho echo(queue);
    auto session = host.createUDPSession("127.0.0.1", std::to_string(echo.port));
    ASSERT_TRUE(session);
    EXPECT_EQ(session->state(), UDPSessionState::ready);
    std::vector<Bytes> got;
    session->setReadHandler([&](std::vector<Bytes> d, std::optional<TunnelError>) {
        for (auto& x : d) got.push_back(x);
    }, 32);
    session->writeDatagram(bytesOf("ping"), nullptr);
    ASSERT_TRUE(queue.runUntil([&] { return !got.empty(); }, Duration(5)));
    EXPECT_EQ(got[0], bytesOf("ping"));
    auto tcp = host.createTCPConnection("127.0.0.1", std::to_string(closedPort(SOCK_STREAM)));
    ASSERT_TRUE(queue.runUntil([&] { return tcp->state() == TCPConnectionState::disconnected; }, Duration(5)));
}

TEST(NetlinkHelpers, AddressesAndMasks) {
    EXPECT_EQ(parseIPv4("203.0.113.7"), 0xCB007107u);
    EXPECT_FALSE(parseIPv4("203.0.113").has_value());
    EXPECT_FALSE(parseIPv4("vpn.example.test").has_value());
    EXPECT_FALSE(parseIPv4("").has_value());
    EXPECT_EQ(formatIPv4(0xCB007107u), "203.0.113.7");
    EXPECT_EQ(prefixLengthOfMask("255.255.255.255"), 32);
    EXPECT_EQ(prefixLengthOfMask("255.255.255.0"), 24);
    EXPECT_EQ(prefixLengthOfMask("0.0.0.0"), 0);
    EXPECT_EQ(prefixLengthOfMask("255.255.128.0"), 17);
    EXPECT_FALSE(prefixLengthOfMask("255.0.255.0").has_value());
    EXPECT_FALSE(prefixLengthOfMask("not a mask").has_value());
}

// ---------------------------------------------------------------- resolv.conf

TEST(ResolvConfFile, RewritesKeepsOneBackupAndRestores) {
    TempDir dir;
    const std::string path = dir.path + "/resolv.conf";
    const std::string original = "# from DHCP\nsearch corp.example.test\nnameserver 192.0.2.53\noptions edns0\n";
    writeText(path, original);
    ResolvConfFile file(path);
    EXPECT_FALSE(file.hasBackup());
    EXPECT_FALSE(file.restore());

    file.apply({"100.100.100.100"});
    EXPECT_TRUE(file.hasBackup());
    const std::string written = readText(path);
    EXPECT_NE(written.find("nameserver 100.100.100.100\n"), std::string::npos);
    EXPECT_NE(written.find("search corp.example.test\n"), std::string::npos);
    EXPECT_EQ(written.find("192.0.2.53"), std::string::npos);
    EXPECT_EQ(readText(file.backupPath()), original);

    // Applying again keeps the true original as the backup.
    file.apply({"100.100.100.101"});
    EXPECT_NE(readText(path).find("nameserver 100.100.100.101\n"), std::string::npos);
    EXPECT_EQ(readText(path).find("100.100.100.100"), std::string::npos);
    EXPECT_EQ(readText(file.backupPath()), original);
    EXPECT_NE(readText(path).find("search corp.example.test\n"), std::string::npos);

    EXPECT_TRUE(file.restore());
    EXPECT_EQ(readText(path), original);
    EXPECT_FALSE(file.hasBackup());
    EXPECT_FALSE(std::filesystem::exists(path + ".vantud-new"));

    // A symlink comes back as the same symlink.
    const std::string target = dir.path + "/stub-resolv.conf";
    writeText(target, "nameserver 127.0.0.53\n");
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
    file.apply({"100.100.100.100"});
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readText(target), "nameserver 127.0.0.53\n");  // the target is untouched
    EXPECT_TRUE(file.restore());
    ASSERT_TRUE(std::filesystem::is_symlink(path));
    EXPECT_EQ(std::filesystem::read_symlink(path), target);

    // A directory that cannot be written: an error, and no backup left behind.
    ResolvConfFile missing(dir.path + "/no/such/dir/resolv.conf");
    EXPECT_THROW(missing.apply({"100.100.100.100"}), VantuError);
}

TEST(RunProgram, ExitStatusAndOutput) {
    std::string output;
    EXPECT_EQ(runProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, &output), 3);
    EXPECT_NE(output.find("out\n"), std::string::npos);
    EXPECT_NE(output.find("err\n"), std::string::npos);
    EXPECT_EQ(runProgram({"vantu-no-such-program"}, &output), 127);
}

// ---------------------------------------------------------------- logs

TEST(SystemLogs, LinesReachStandardError) {
    int pipeFds[2];
    ASSERT_EQ(::pipe(pipeFds), 0);
    const int savedStderr = ::dup(STDERR_FILENO);
    ::dup2(pipeFds[1], STDERR_FILENO);
    {
        StderrLog plain;
        plain.write("VantuPacketTunnel: first");
        SyslogLog both("vantud-test");
        both.write("VantuPacketTunnel: second %s %n");  // a line, never a format
        SyslogLog quiet("vantud-test", false);
        quiet.write("VantuPacketTunnel: only in syslog");
    }
    ::dup2(savedStderr, STDERR_FILENO);
    ::close(savedStderr);
    ::close(pipeFds[1]);
    std::string captured;
    char buffer[256];
    ssize_t n;
    while ((n = ::read(pipeFds[0], buffer, sizeof buffer)) > 0) captured.append(buffer, static_cast<size_t>(n));
    ::close(pipeFds[0]);
    EXPECT_EQ(captured, "VantuPacketTunnel: first\nVantuPacketTunnel: second %s %n\n");
}
