// The Linux platform objects that need no privileges: the Asio work queue,
// the SQLite defaults store, the packet flow over a socket pair and the
// marked sockets on loopback.

#include <fcntl.h>
#include <netinet/udp.h>
#include <poll.h>
#include <sys/resource.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <syslog.h>

#include <atomic>
#include <csignal>
#include <map>
#include <numeric>
#include <set>
#include <thread>

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
#include "platform/linux/UDPBatch.h"
#include "platform/linux/TunPacketFlow.h"
#include "platform/linux/WriteBehindStore.h"
#include "tests/linux_test_support.h"

using namespace vantu;
using namespace vantu::testing;
using namespace std::chrono_literals;

namespace {

// The mark needs CAP_NET_ADMIN; without it the sockets go unmarked.
uint32_t testMark() { return ::geteuid() == 0 ? 0x1ccd : 0; }

void expectMarked(int fd) {
    if (testMark() == 0) return;
    uint32_t mark = 0;
    socklen_t len = sizeof mark;
    ASSERT_EQ(::getsockopt(fd, SOL_SOCKET, SO_MARK, &mark, &len), 0);
    EXPECT_EQ(mark, testMark());
}

// A socket bound to 127.0.0.1 on a free port; `port` receives the port.
int boundLoopback(int type, uint16_t& port) {
    const int fd = ::socket(AF_INET, type | SOCK_CLOEXEC, 0);
    sockaddr_in sin{};
    sin.sin_family = AF_INET;
    sin.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    socklen_t len = sizeof sin;
    ::bind(fd, reinterpret_cast<sockaddr*>(&sin), len);
    ::getsockname(fd, reinterpret_cast<sockaddr*>(&sin), &len);
    port = ntohs(sin.sin_port);
    return fd;
}

// A port on 127.0.0.1 where nothing listens.
std::string closedPort(int type) {
    uint16_t port = 0;
    ::close(boundLoopback(type, port));
    return std::to_string(port);
}

// A UDP socket on 127.0.0.1 that echoes every datagram, served by the queue.
struct UdpEcho {
    uint16_t port = 0;
    std::shared_ptr<Cancellable> source;
    explicit UdpEcho(AsioWorkQueue& queue) {
        const int s = boundLoopback(SOCK_DGRAM | SOCK_NONBLOCK, port);
        source = queue.readSource(
            s,
            [s] {
                uint8_t buffer[2048];
                sockaddr_in from{};
                socklen_t fromLen = sizeof from;
                const ssize_t n = ::recvfrom(s, buffer, sizeof buffer, 0, reinterpret_cast<sockaddr*>(&from), &fromLen);
                if (n >= 0) ::sendto(s, buffer, size_t(n), 0, reinterpret_cast<sockaddr*>(&from), fromLen);
            },
            [s] { ::close(s); });
    }
    ~UdpEcho() { source->cancel(); }
};

double secondsSince(std::chrono::steady_clock::time_point start) {
    return std::chrono::duration<double>(std::chrono::steady_clock::now() - start).count();
}

void idle(AsioWorkQueue& queue, double seconds) {
    queue.runUntil([] { return false; }, Duration(seconds));
}

}  // namespace

// ---------------------------------------------------------------- work queue

TEST(AsioWorkQueue, OrdersWorkAndFiresTimersInRealTime) {
    AsioWorkQueue queue;
    std::vector<std::string> order;
    queue.submit([&] { order.push_back("s1"); });
    queue.after(Duration(0.06), [&] { order.push_back("late"); });
    queue.after(Duration(0.02), [&] { order.push_back("early"); });
    for (int i = 0; i < 3; ++i) queue.after(Duration(0.04), [&, i] { order.push_back("tie" + std::to_string(i)); });
    queue.after(Duration(-1), [&] { order.push_back("negative"); });
    queue.submit([&] { order.push_back("s2"); });
    const auto start = std::chrono::steady_clock::now();
    ASSERT_TRUE(queue.runUntil([&] { return order.size() == 8; }, Duration(5)));
    EXPECT_GE(secondsSince(start), 0.055);
    EXPECT_EQ(order, (std::vector<std::string>{"s1", "s2", "negative", "early", "tie0", "tie1", "tie2", "late"}));
    EXPECT_LT(std::chrono::abs(queue.now() - std::chrono::system_clock::now()), 1s);

    // A repeating timer is never early and stops when cancelled from its own handler.
    std::vector<double> fires;
    std::shared_ptr<Cancellable> timer;
    const auto timerStart = std::chrono::steady_clock::now();
    timer = queue.repeating(Duration(0.05), Duration(0.02), [&] {
        fires.push_back(secondsSince(timerStart));
        if (fires.size() == 4) timer->cancel();
    });
    ASSERT_TRUE(queue.runUntil([&] { return fires.size() >= 4; }, Duration(5)));
    for (size_t i = 0; i < fires.size(); ++i) EXPECT_GE(fires[i], 0.05 + 0.02 * i - 0.001) << i;
    int cancelledFires = 0;
    auto cancelled = queue.repeating(Duration(0.01), Duration(0.01), [&] { ++cancelledFires; });
    cancelled->cancel();
    idle(queue, 0.1);
    EXPECT_EQ(fires.size(), 4u);
    EXPECT_EQ(cancelledFires, 0);
    EXPECT_EQ(queue.pendingTimerCount(), 0u);
}

// One timer handler that throws is reported and skipped: the timers due
// after it, and a repeating timer whose own handler threw, keep firing.
TEST(AsioWorkQueue, AThrowingTimerHandlerDoesNotStopLaterTimers) {
    AsioWorkQueue queue;
    std::vector<std::string> order;
    int ticks = 0, failingTicks = 0;
    queue.after(Duration(0.01), [] { throw VantuError("the first timer failed"); });
    queue.after(Duration(0.03), [&] { order.push_back("later"); });
    auto steady = queue.repeating(Duration(0.02), Duration(0.01), [&] { ++ticks; });
    auto failing = queue.repeating(Duration(0.005), Duration(0.01), [&] {
        if (++failingTicks <= 2) throw std::runtime_error("tick " + std::to_string(failingTicks) + " failed");
    });
    ::testing::internal::CaptureStderr();
    bool done = false;
    EXPECT_NO_THROW(done = queue.runUntil([&] { return !order.empty() && ticks >= 3 && failingTicks >= 4; },
                                          Duration(5)));
    const std::string reported = ::testing::internal::GetCapturedStderr();
    EXPECT_TRUE(done) << "later=" << order.size() << " ticks=" << ticks << " failingTicks=" << failingTicks;
    EXPECT_EQ(order, std::vector<std::string>{"later"});
    for (const char* text : {"the first timer failed", "tick 1 failed", "tick 2 failed"})
        EXPECT_TRUE(contains(reported, text)) << reported;
    steady->cancel();
    failing->cancel();
    EXPECT_EQ(queue.pendingTimerCount(), 0u);
}

TEST(AsioWorkQueue, RunsOnItsOwnThreadAndAcceptsWorkFromOthers) {
    AsioWorkQueue queue;
    queue.startThread();
    std::atomic<bool> onQueueThread{true};
    std::vector<std::vector<int>> seen(2);
    std::atomic<int> done{0};
    std::vector<std::thread> producers;
    for (int p = 0; p < 2; ++p) {
        producers.emplace_back([&, p] {
            for (int i = 0; i < 200; ++i) {
                queue.submit([&, p, i] {
                    onQueueThread = onQueueThread && queue.isQueueThread();
                    seen[p].push_back(i);
                    ++done;
                });
                if (i % 50 == 0) queue.after(Duration(0.001), [&] { ++done; });
            }
        });
    }
    for (auto& t : producers) t.join();
    for (int i = 0; i < 500 && done < 408; ++i) std::this_thread::sleep_for(10ms);
    queue.stopAndJoin();
    EXPECT_EQ(done, 408);
    EXPECT_TRUE(onQueueThread.load());
    std::vector<int> expected(200);
    std::iota(expected.begin(), expected.end(), 0);
    EXPECT_EQ(seen, (std::vector<std::vector<int>>{expected, expected}));
}

TEST(AsioWorkQueue, ReadSourceIsLevelTriggeredAndCancelClosesOnce) {
    AsioWorkQueue queue;
    int fds[2];
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    const int readEnd = fds[0];
    std::string received;
    int cancelCalls = 0;
    auto source = queue.readSource(
        readEnd,
        [&] {
            char c;  // one byte per call: the source must call again while data remains
            if (::read(readEnd, &c, 1) == 1) received.push_back(c);
        },
        [&] {
            ++cancelCalls;
            ::close(readEnd);
        });
    ASSERT_EQ(::write(fds[1], "abc", 3), 3);
    ASSERT_TRUE(queue.runUntil([&] { return received.size() == 3; }, Duration(5)));
    ASSERT_EQ(::write(fds[1], "d", 1), 1);
    ASSERT_TRUE(queue.runUntil([&] { return received.size() == 4; }, Duration(5)));

    ASSERT_EQ(::write(fds[1], "e", 1), 1);
    source->cancel();
    source->cancel();
    ASSERT_TRUE(queue.runUntil([&] { return cancelCalls > 0; }, Duration(5)));
    idle(queue, 0.05);
    EXPECT_EQ(cancelCalls, 1);
    EXPECT_EQ(received, "abcd");
    EXPECT_EQ(::fcntl(readEnd, F_GETFD), -1);
    EXPECT_EQ(errno, EBADF);
    ::close(fds[1]);

    // Cancelled from inside its readable handler with data left unread.
    ASSERT_EQ(::pipe2(fds, O_NONBLOCK | O_CLOEXEC), 0);
    int calls = 0, closes = 0;
    std::shared_ptr<Cancellable> selfCancelling;
    const int r2 = fds[0];
    selfCancelling = queue.readSource(
        r2, [&] { ++calls; selfCancelling->cancel(); }, [&] { ++closes; ::close(r2); });
    ASSERT_EQ(::write(fds[1], "xyz", 3), 3);
    ASSERT_TRUE(queue.runUntil([&] { return closes > 0; }, Duration(5)));
    idle(queue, 0.05);
    EXPECT_EQ(calls, 1);
    EXPECT_EQ(closes, 1);
    ::close(fds[1]);
}

// ---------------------------------------------------------------- defaults store

TEST(SqliteDefaultsStore, KindsWrongKindAsAbsentAndReopen) {
    TempDir dir;
    const std::string path = dir.path + "/state/nested/defaults.sqlite";
    // Which accessors see a key: a(rray) s(tring) d(ictionary) i(nteger, non-zero).
    auto kinds = [](SqliteDefaultsStore& s, const std::string& key) {
        return std::string(s.stringArray(key) ? "a" : "") + (s.string(key) ? "s" : "") +
               (s.dictionary(key) ? "d" : "") + (s.integer(key) != 0 ? "i" : "");
    };
    const std::vector<std::string> events{"first", "", "naïve ✓", "quote \" and \\ backslash"};
    const std::map<std::string, double> routes{{"198.51.100.7/32", 1700000000.25}, {"203.0.113.0/24", 0.0}};
    {
        SqliteDefaultsStore store(path);
        for (const char* sub : {"/state", "/state/nested"}) {
            struct stat st{};
            ASSERT_EQ(::stat((dir.path + sub).c_str(), &st), 0);
            EXPECT_EQ(st.st_mode & 0777, 0700u) << sub;
        }
        EXPECT_EQ(kinds(store, "vantu.none"), "");
        store.setStringArray("vantu.events", events);
        store.setStringArray("vantu.empty", {});
        store.setString("vantu.text", "line1\nline2");
        store.setInteger("vantu.seq", 9007199254740993LL);  // not representable as a double
        store.setInteger("vantu.negative", -42);
        store.setDictionary("vantu.routes", routes);
        store.setString("vantu.gone", "x");
        store.remove("vantu.gone");
        store.remove("vantu.never-set");
        EXPECT_EQ(store.lastError(), "");
    }
    SqliteDefaultsStore store(path);
    EXPECT_EQ(store.stringArray("vantu.events"), events);
    EXPECT_EQ(store.stringArray("vantu.empty"), std::vector<std::string>{});
    EXPECT_EQ(store.string("vantu.text"), "line1\nline2");
    EXPECT_EQ(store.integer("vantu.seq"), 9007199254740993LL);
    EXPECT_EQ(store.integer("vantu.negative"), -42);
    EXPECT_EQ(store.dictionary("vantu.routes"), routes);
    for (const auto& [key, kind] : std::map<std::string, std::string>{
             {"vantu.events", "a"}, {"vantu.text", "s"}, {"vantu.seq", "i"}, {"vantu.routes", "d"}, {"vantu.gone", ""}})
        EXPECT_EQ(kinds(store, key), kind) << key;
    // A key rewritten with another kind has the new kind only, and another
    // connection sees the committed write at once.
    store.setString("vantu.seq", "now text");
    SqliteDefaultsStore second(path);
    EXPECT_EQ(kinds(second, "vantu.seq"), "s");
    EXPECT_THROW(SqliteDefaultsStore("/proc/vantu-no/such/defaults.sqlite"), VantuError);
}

// Neither bytes that are not UTF-8 nor a damaged file stop the store: the
// first is stored repaired, the second is moved aside for inspection and a
// fresh store takes its place.
TEST(SqliteDefaultsStore, RepairsInvalidTextAndMovesADamagedFileAside) {
    TempDir dir;
    {
        SqliteDefaultsStore store(dir.path + "/text.sqlite");
        EXPECT_EQ(store.movedAsidePath(), "");
        EXPECT_NO_THROW(store.setStringArray("vantu.events", {"ok", "bad \xFF\xFE byte"}));
        // Each invalid byte becomes one U+FFFD.
        EXPECT_EQ(store.stringArray("vantu.events"),
                  (std::vector<std::string>{"ok", "bad \xEF\xBF\xBD\xEF\xBF\xBD byte"}));
        EXPECT_TRUE(contains(store.lastError(), "write vantu.events")) << store.lastError();
        EXPECT_NO_THROW(store.setString("vantu.text", "caf\xE9"));
        EXPECT_EQ(store.string("vantu.text"), "caf\xEF\xBF\xBD");
        store.setInteger("vantu.seq", 7);  // later writes go on as before
        EXPECT_EQ(store.integer("vantu.seq"), 7);
    }

    std::string sqliteHeaderThenNoise("SQLite format 3\0", 16);
    sqliteHeaderThenNoise += std::string(4080, '\x5a');
    const std::map<std::string, std::string> damaged{
        {"garbage", std::string(3000, '\x01') + "not a database at all"},
        {"header", sqliteHeaderThenNoise},
    };
    for (const auto& [name, content] : damaged) {
        const std::string path = dir.path + "/" + name + ".sqlite";
        std::ofstream(path, std::ios::binary) << content;
        std::string moved;
        {
            std::unique_ptr<SqliteDefaultsStore> store;
            ASSERT_NO_THROW(store = std::make_unique<SqliteDefaultsStore>(path)) << name;
            moved = store->movedAsidePath();
            EXPECT_EQ(moved.rfind(path + ".corrupt-", 0), 0u) << name << ": " << moved;
            EXPECT_EQ(store->stringArray("vantu.events"), std::nullopt) << name;
            store->setString("vantu.text", "fresh");
            EXPECT_EQ(store->lastError(), "") << name;
        }
        EXPECT_EQ(readText(moved), content) << name;
        // The fresh file is a healthy store: reopening it moves nothing.
        SqliteDefaultsStore reopened(path);
        EXPECT_EQ(reopened.movedAsidePath(), "") << name;
        EXPECT_EQ(reopened.string("vantu.text"), "fresh") << name;
    }
}

// A write failure that repeats, whatever the key, is printed once: the
// event log alone saves two keys per event, and a line for each failed save
// would flood the system log for as long as a disk stays full. The last
// failure is still there to read. A file size limit makes every write fail,
// in a child process so that the limit stays there.
TEST(SqliteDefaultsStore, PrintsARepeatedWriteFailureOnce) {
    TempDir dir;
    std::string last;
    const ChildRun child = runInChild([&](int out) {
        auto* store = new SqliteDefaultsStore(dir.path + "/state.db");  // never closed: the child just ends
        store->setInteger("vantu.seq", 1);
        ::dup2(out, 2);
        ::signal(SIGXFSZ, SIG_IGN);
        const rlimit limit{1, 1};
        ::setrlimit(RLIMIT_FSIZE, &limit);
        for (int i = 0; i < 5; ++i) {
            store->setStringArray("vantu.events", {std::string(8000, 'x'), std::to_string(i)});
            store->setInteger("vantu.seq", i + 2);
        }
        if (store->lastError().rfind("write vantu.seq: ", 0) != 0) return 3;
        // The same through the write-behind store's transactions.
        WriteBehindStore behind(*store);
        for (int i = 0; i < 5; ++i) {
            behind.setStringArray("vantu.events", {std::string(8000, 'y'), std::to_string(i)});
            behind.flush();
        }
        return store->integer("vantu.seq") == 1 ? 0 : 4;
    });
    EXPECT_EQ(child.exitCode, 0) << "the last failure is not kept, or a failed write changed a value";
    const std::string& printed = child.output;
    std::vector<std::string> lines;
    std::istringstream in(printed);
    for (std::string line; std::getline(in, line);) lines.push_back(line);
    ASSERT_EQ(lines.size(), 1u) << printed;
    EXPECT_EQ(lines[0].rfind("vantu: defaults store " + dir.path + "/state.db: write vantu.events: ", 0), 0u) << lines[0];
}

// An existing directory and database left open to others (an older
// version, an administrator's umask) are locked down at open; a new one is
// private from its first byte.
TEST(SqliteDefaultsStore, StateIsPrivateWhateverModesItFound) {
    TempDir dir;
    const std::string old = dir.path + "/old";
    ASSERT_EQ(::mkdir(old.c_str(), 0755), 0);
    { SqliteDefaultsStore(old + "/state.db").setInteger("vantu.seq", 1); }
    for (const char* file : {"/state.db", "/state.db-wal", "/state.db-shm"}) ::chmod((old + file).c_str(), 0644);
    ::chmod(old.c_str(), 0755);
    {
        SqliteDefaultsStore store(old + "/state.db");
        EXPECT_EQ(store.integer("vantu.seq"), 1);
        store.setInteger("vantu.seq", 2);
        EXPECT_EQ(modeOf(old), 0700u);
        for (const char* file : {"/state.db", "/state.db-wal", "/state.db-shm"})
            EXPECT_EQ(modeOf(old + file), 0600u) << file;
    }
    const mode_t umask = ::umask(0);
    { SqliteDefaultsStore(dir.path + "/new/state.db").setInteger("vantu.seq", 1); }
    ::umask(umask);
    EXPECT_EQ(modeOf(dir.path + "/new"), 0700u);
    EXPECT_EQ(modeOf(dir.path + "/new/state.db"), 0600u);
}

// The write-behind store answers reads with what was set last, whatever has
// reached the disk; a burst of sets becomes a handful of commits; flush()
// and the destructor leave everything in the file.
TEST(WriteBehindStore, ReadsItsOwnWritesAndGathersBurstsIntoFewCommits) {
    TempDir dir;
    const std::string path = dir.path + "/state.db";
    SqliteDefaultsStore file(path);
    file.setString("vantu.kept", "on disk");
    file.setString("vantu.removed", "on disk");
    {
        WriteBehindStore store(file);
        EXPECT_EQ(store.string("vantu.kept"), "on disk");
        store.setString("vantu.kind", "text");
        store.setInteger("vantu.kind", 5);  // the newest kind wins
        store.remove("vantu.removed");
        store.setDictionary("vantu.routes", {{"203.0.113.0/24", 1.5}});
        EXPECT_EQ(store.string("vantu.kind"), std::nullopt);
        EXPECT_EQ(store.integer("vantu.kind"), 5);
        EXPECT_EQ(store.string("vantu.removed"), std::nullopt);
        EXPECT_EQ(store.stringArray("vantu.kept"), std::nullopt);
        EXPECT_EQ(store.string("vantu.kept"), "on disk");
        store.flush();
        EXPECT_EQ(SqliteDefaultsStore(path).integer("vantu.kind"), 5);
        EXPECT_EQ(SqliteDefaultsStore(path).string("vantu.removed"), std::nullopt);

        // What the event log does on a burst of events: the whole log and
        // the sequence number, again and again.
        const uint64_t before = store.commits();
        std::vector<std::string> events;
        for (int i = 1; i <= 2000; ++i) {
            events.push_back("event " + std::to_string(i));
            store.setStringArray("vantu.events", events);
            store.setInteger("vantu.seq", i);
            ASSERT_EQ(store.integer("vantu.seq"), i);
        }
        store.flush();
        EXPECT_LT(store.commits() - before, 200u) << "each set was its own commit";
        EXPECT_EQ(SqliteDefaultsStore(path).stringArray("vantu.events"), events);
        store.setInteger("vantu.seq", 2001);
    }
    EXPECT_EQ(SqliteDefaultsStore(path).integer("vantu.seq"), 2001) << "the destructor did not drain";
}

// What a crash can lose is a few milliseconds of sets: one made 100 ms
// before a SIGKILL is in the file afterwards.
TEST(WriteBehindStore, ASetSurvivesASigkillAHundredMillisecondsLater) {
    TempDir dir;
    const std::string path = dir.path + "/state.db";
    int ready[2];
    ASSERT_EQ(::pipe(ready), 0);
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(ready[0]);
        auto* file = new SqliteDefaultsStore(path);  // never closed: the child is killed
        auto* store = new WriteBehindStore(*file);
        store->setStringArray("vantu.events", {"#1 tunnel up"});
        store->setInteger("vantu.seq", 1);
        if (::write(ready[1], "x", 1) != 1) ::_exit(3);
        for (;;) ::pause();
    }
    ASSERT_GT(pid, 0);
    ::close(ready[1]);
    char byte = 0;
    ASSERT_EQ(::read(ready[0], &byte, 1), 1);
    ::close(ready[0]);
    std::this_thread::sleep_for(100ms);
    ::kill(pid, SIGKILL);
    int status = 0;
    ASSERT_EQ(::waitpid(pid, &status, 0), pid);
    ASSERT_TRUE(WIFSIGNALED(status));
    SqliteDefaultsStore after(path);
    EXPECT_EQ(after.stringArray("vantu.events"), std::vector<std::string>{"#1 tunnel up"});
    EXPECT_EQ(after.integer("vantu.seq"), 1);
}

// ---------------------------------------------------------------- system log

// Lines reach the sink in order and off the caller's thread; a sink that
// does not keep up costs lines beyond the bound, never the caller's time,
// and says how many it lost.
TEST(AsyncSystemLog, KeepsOrderBoundsWhatWaitsAndCountsDrops) {
    std::mutex mutex;
    std::condition_variable cv;
    bool entered = false, released = false;
    std::vector<std::string> lines;
    std::vector<int> priorities;
    {
        AsyncSystemLog log([&](int priority, const std::string& line) {
            std::unique_lock<std::mutex> lock(mutex);
            if (!entered) {
                entered = true;
                cv.notify_all();
                cv.wait(lock, [&] { return released; });
            }
            lines.push_back(line);
            priorities.push_back(priority);
        });
        log.write("first");
        {
            std::unique_lock<std::mutex> lock(mutex);
            cv.wait(lock, [&] { return entered; });
        }
        // The sink is stuck in the first line: these wait, beyond the bound
        // they are dropped.
        const auto start = std::chrono::steady_clock::now();
        for (size_t i = 0; i < AsyncSystemLog::kMaxPendingLines + 3; ++i) log.write("line " + std::to_string(i));
        log.write("start failed: x");
        EXPECT_LT(std::chrono::steady_clock::now() - start, 10s);
        {
            std::lock_guard<std::mutex> lock(mutex);
            released = true;
            cv.notify_all();
        }
        log.flush();
        std::lock_guard<std::mutex> lock(mutex);
        ASSERT_EQ(lines.size(), AsyncSystemLog::kMaxPendingLines + 2);
        EXPECT_EQ(lines.front(), "first");
        EXPECT_EQ(lines[1], "line 0");
        EXPECT_EQ(lines[AsyncSystemLog::kMaxPendingLines], "line " + std::to_string(AsyncSystemLog::kMaxPendingLines - 1));
        EXPECT_EQ(lines.back(), "4 log lines dropped: the system log did not keep up");
        EXPECT_EQ(priorities.back(), LOG_WARNING);
        EXPECT_EQ(priorities.front(), logPriorityOf("first"));
    }
    // After the drops, lines flow again and the destructor writes the rest.
    std::vector<std::string> later;
    {
        AsyncSystemLog log([&](int, const std::string& line) { later.push_back(line); });
        for (const char* line : {"a", "b", "c"}) log.write(line);
    }
    EXPECT_EQ(later, (std::vector<std::string>{"a", "b", "c"}));
}

// ---------------------------------------------------------------- packet flow

TEST(TunPacketFlow, ReadsBatchesWritesAndCountsDrops) {
    AsioWorkQueue queue;
    int pair[2];
    ASSERT_EQ(::socketpair(AF_UNIX, SOCK_SEQPACKET | SOCK_CLOEXEC, 0, pair), 0);
    const int peer = pair[1];
    CapturingLog log;
    auto flow = TunPacketFlow::fromDescriptor(queue, pair[0], "test0", &log);
    auto sendPacket = [&](const Bytes& p) { ASSERT_EQ(::send(peer, p.data(), p.size(), 0), ssize_t(p.size())); };

    // 70 waiting: a full batch of 64, then the remaining 6 (an IPv6 and a junk one last).
    std::vector<Bytes> ipv4;
    for (int i = 0; i < 68; ++i) ipv4.push_back({0x45, 0x00, uint8_t(i)});
    for (const auto& p : ipv4) sendPacket(p);
    sendPacket({0x60, 0x01});
    sendPacket({0x00, 0x09});
    std::vector<std::vector<Bytes>> batches;
    std::vector<std::vector<int>> protocols;
    bool onQueue = true;
    std::function<void()> readNext = [&] {
        flow->readPackets([&](std::vector<Bytes> packets, std::vector<int> protos) {
            onQueue = onQueue && queue.isQueueThread();
            batches.push_back(std::move(packets));
            protocols.push_back(std::move(protos));
            readNext();
        });
    };
    readNext();
    ASSERT_TRUE(queue.runUntil([&] { return batches.size() == 2; }, Duration(5)));
    EXPECT_TRUE(onQueue);
    EXPECT_EQ(batches[0], std::vector<Bytes>(ipv4.begin(), ipv4.begin() + 64));
    EXPECT_EQ(batches[1], (std::vector<Bytes>{ipv4[64], ipv4[65], ipv4[66], ipv4[67], {0x60, 0x01}, {0x00, 0x09}}));
    EXPECT_EQ(protocols[0], std::vector<int>(64, AF_INET));
    EXPECT_EQ(protocols[1], (std::vector<int>{AF_INET, AF_INET, AF_INET, AF_INET, AF_INET6, 0}));
    EXPECT_EQ(flow->counters().packetsRead, 70u);

    // No empty batch while idle; a later packet wakes the read.
    idle(queue, 0.05);
    EXPECT_EQ(batches.size(), 2u);
    sendPacket({0x45, 0xff});
    ASSERT_TRUE(queue.runUntil([&] { return batches.size() == 3; }, Duration(5)));
    EXPECT_EQ(batches[2], std::vector<Bytes>{(Bytes{0x45, 0xff})});

    const std::vector<Bytes> out{{0x45, 1, 2, 3}, {0x45, 4}};
    flow->writePackets(out, {AF_INET, AF_INET});
    for (const auto& expected : out) {
        uint8_t buffer[64];
        const ssize_t n = ::recv(peer, buffer, sizeof buffer, MSG_DONTWAIT);
        ASSERT_GT(n, 0);
        EXPECT_EQ(Bytes(buffer, buffer + n), expected);
    }
    EXPECT_EQ(flow->counters().packetsWritten, 2u);

    // The other end gone: writes are dropped and counted, with one log line.
    ::close(peer);
    flow->writePackets({{0x45, 1}, {0x45, 2}, {0x45, 3}}, {2, 2, 2});
    EXPECT_EQ(flow->counters().packetsDropped, 3u);
    ASSERT_EQ(log.lines.size(), 1u);
    EXPECT_TRUE(contains(log.lines[0], "tun write dropped a packet on test0")) << log.lines[0];
    // After close a waiting completion never runs and writes count as drops.
    flow->close();
    flow->close();
    idle(queue, 0.05);
    EXPECT_EQ(batches.size(), 3u);
    flow->writePackets({{0x45}}, {2});
    EXPECT_EQ(flow->counters().packetsDropped, 4u);
    EXPECT_EQ(flow->counters().packetsWritten, 2u);
}

// ---------------------------------------------------------------- marked sockets

TEST(MarkedUDPSession, ReachesReadyAndExchangesDatagramsOnLoopback) {
    AsioWorkQueue queue;
    UdpEcho echo(queue);
    const std::string port = std::to_string(echo.port);
    auto session = MarkedUDPSession::create(queue, "127.0.0.1", port, testMark());
    EXPECT_EQ(session->state(), UDPSessionState::ready);  // a dotted quad needs no resolution
    EXPECT_EQ(session->remoteEndpoint(), "127.0.0.1:" + port);
    expectMarked(session->nativeHandle());

    std::multiset<std::string> received;
    std::optional<TunnelError> readError;
    session->setReadHandler([&](std::vector<Bytes> datagrams, std::optional<TunnelError> error) {
        if (error) readError = error;
        for (auto& d : datagrams) received.emplace(d.begin(), d.end());
    }, 32);
    int writesOK = 0;
    for (int i = 0; i < 5; ++i)
        session->writeDatagram(bytesOf("datagram " + std::to_string(i)), [&](auto e) { writesOK += !e; });
    EXPECT_EQ(writesOK, 0) << "a write completed inline";
    ASSERT_TRUE(queue.runUntil([&] { return received.size() == 5 && writesOK == 5; }, Duration(5)));
    EXPECT_EQ(received, (std::multiset<std::string>{"datagram 0", "datagram 1", "datagram 2", "datagram 3",
                                                    "datagram 4"}));
    EXPECT_FALSE(readError.has_value());

    session->cancel();
    EXPECT_EQ(session->state(), UDPSessionState::cancelled);
    std::optional<std::optional<TunnelError>> afterCancel;
    session->writeDatagram(bytesOf("late"), [&](std::optional<TunnelError> e) { afterCancel = e; });
    ASSERT_TRUE(queue.runUntil([&] { return afterCancel.has_value(); }, Duration(5)));
    ASSERT_TRUE(afterCancel->has_value());
    EXPECT_EQ((*afterCancel)->code, ECANCELED);
    EXPECT_EQ(received.size(), 5u);

    // A name resolves off the queue; a datagram written while preparing goes out once ready.
    auto named = MarkedUDPSession::create(queue, "localhost", port, testMark());
    EXPECT_EQ(named->state(), UDPSessionState::preparing);
    named->writeDatagram(bytesOf("early"), nullptr);
    std::vector<Bytes> got;
    named->setReadHandler([&](std::vector<Bytes> d, std::optional<TunnelError>) { got = d; }, 1);
    ASSERT_TRUE(queue.runUntil([&] { return !got.empty(); }, Duration(10)));
    EXPECT_EQ(named->state(), UDPSessionState::ready);
    EXPECT_EQ(got[0], bytesOf("early"));

    // Nothing listens: the ICMP errors are neither read nor write errors, and the session stays ready.
    auto refused = MarkedUDPSession::create(queue, "127.0.0.1", closedPort(SOCK_DGRAM), testMark());
    int readCalls = 0;
    refused->setReadHandler([&](std::vector<Bytes>, std::optional<TunnelError>) { ++readCalls; }, 32);
    int refusedWritesOK = 0;
    for (int i = 0; i < 3; ++i) {
        refused->writeDatagram(bytesOf("x"), [&](auto e) { refusedWritesOK += !e; });
        idle(queue, 0.03);
    }
    EXPECT_EQ(refusedWritesOK, 3);
    EXPECT_EQ(readCalls, 0);
    EXPECT_EQ(refused->state(), UDPSessionState::ready);

    auto bad = MarkedUDPSession::create(queue, "127.0.0.1", "domain", testMark());
    EXPECT_EQ(bad->state(), UDPSessionState::failed);
    ASSERT_TRUE(bad->failure().has_value());
    EXPECT_EQ(bad->failure()->code, EINVAL);
}

// Sessions that received something hold no receive slots of their own: a
// direct flow per source port of an application costs a few KiB each, not
// a batch of 64 KiB slots.
TEST(MarkedUDPSession, IdleSessionsShareTheirReceiveSlots) {
    AsioWorkQueue queue;
    UdpEcho echo(queue);
    const auto residentBytes = [] {
        long pages = 0, resident = 0;
        std::FILE* statm = std::fopen("/proc/self/statm", "r");
        if (statm && std::fscanf(statm, "%ld %ld", &pages, &resident) != 2) resident = 0;
        if (statm) std::fclose(statm);
        return resident * ::sysconf(_SC_PAGESIZE);
    };
    std::vector<std::shared_ptr<MarkedUDPSession>> sessions;
    size_t replies = 0;
    const auto open = [&](size_t count) {
        for (size_t i = 0; i < count; ++i) {
            auto session = MarkedUDPSession::create(queue, "127.0.0.1", std::to_string(echo.port), testMark());
            session->setReadHandler([&](std::vector<Bytes> d, std::optional<TunnelError>) { replies += d.size(); }, 32);
            session->writeDatagram(bytesOf("hello"), nullptr);
            sessions.push_back(std::move(session));
        }
        return queue.runUntil([&] { return replies == sessions.size(); }, Duration(10));
    };
    ASSERT_TRUE(open(8));  // what is made once: the shared slots, the reactor's tables
    const long before = residentBytes();
    constexpr size_t kSessions = 128;
    ASSERT_TRUE(open(kSessions));
    const long perSession = (residentBytes() - before) / static_cast<long>(kSessions);
    EXPECT_LT(perSession, 8192) << "resident bytes per idle session";
}

// Writes wait while the name resolves; the queue holding them is bounded in
// datagrams and in bytes, and what does not fit is dropped, counted and
// still completed without an error, as a full network card would.
TEST(MarkedUDPSession, OutboundQueueIsBoundedAndCountsWhatItDrops) {
    AsioWorkQueue queue;
    uint16_t port = 0;
    const int receiver = boundLoopback(SOCK_DGRAM, port);
    struct Case {
        size_t datagramSize, offered, dropped;
    };
    const size_t bigSize = 60000;
    const std::vector<Case> cases{
        {100, MarkedUDPSession::kMaxQueuedDatagrams + 76, 76},
        {bigSize, 100, 100 - MarkedUDPSession::kMaxQueuedBytes / bigSize},
    };
    for (const Case& c : cases) {
        auto session = MarkedUDPSession::create(queue, "localhost", std::to_string(port), testMark());
        ASSERT_EQ(session->state(), UDPSessionState::preparing);
        size_t succeeded = 0, failed = 0;
        for (size_t i = 0; i < c.offered; ++i) {
            session->writeDatagram(Bytes(c.datagramSize, 0x42), [&](std::optional<TunnelError> error) {
                ++(error ? failed : succeeded);
            });
        }
        EXPECT_EQ(session->droppedDatagrams(), c.dropped) << c.datagramSize;
        ASSERT_TRUE(queue.runUntil([&] { return succeeded + failed == c.offered; }, Duration(10))) << c.datagramSize;
        EXPECT_EQ(session->state(), UDPSessionState::ready);
        EXPECT_EQ(failed, 0u);
        // Drained, the queue takes datagrams again.
        bool done = false;
        session->writeDatagram(Bytes(c.datagramSize, 0x43), [&](std::optional<TunnelError>) { done = true; });
        ASSERT_TRUE(queue.runUntil([&] { return done; }, Duration(5)));
        EXPECT_EQ(session->droppedDatagrams(), c.dropped) << c.datagramSize;
        session->cancel();
    }
    ::close(receiver);
}

TEST(MarkedTCPConnection, ConnectsWritesReadsAndEndsOnLoopback) {
    AsioWorkQueue queue;
    asio::ip::tcp::acceptor acceptor(queue.context(), {asio::ip::address_v4::loopback(), 0});
    const std::string port = std::to_string(acceptor.local_endpoint().port());
    asio::ip::tcp::socket server(queue.context());
    bool accepted = false;
    acceptor.async_accept(server, [&](const asio::error_code& ec) { accepted = !ec; });

    auto connection = MarkedTCPConnection::create(queue, "127.0.0.1", port, testMark());
    EXPECT_EQ(connection->state(), TCPConnectionState::connecting);
    std::vector<int> writeOrder;  // written while connecting: sent in order once connected
    connection->write(bytesOf("hello "), [&](std::optional<TunnelError> e) { writeOrder.push_back(e ? -1 : 1); });
    connection->write(bytesOf("world"), [&](std::optional<TunnelError> e) { writeOrder.push_back(e ? -2 : 2); });
    ASSERT_TRUE(queue.runUntil([&] { return accepted && connection->state() == TCPConnectionState::connected; },
                               Duration(5)));
    expectMarked(connection->nativeHandle());
    std::string serverGot(11, '\0');
    bool serverRead = false;
    asio::async_read(server, asio::buffer(serverGot), [&](const asio::error_code& ec, size_t) { serverRead = !ec; });
    ASSERT_TRUE(queue.runUntil([&] { return serverRead && writeOrder.size() == 2; }, Duration(5)));
    EXPECT_EQ(serverGot, "hello world");
    EXPECT_EQ(writeOrder, (std::vector<int>{1, 2}));

    // Reads of at most 4 bytes collect the whole reply, then an empty read ends the stream.
    asio::write(server, asio::buffer(std::string("0123456789")));
    server.shutdown(asio::ip::tcp::socket::shutdown_send);
    std::string collected;
    bool ended = false;
    std::function<void()> readMore = [&] {
        connection->readMinimumLength(1, 4, [&](Bytes data, std::optional<TunnelError> e) {
            ASSERT_FALSE(e.has_value()) << e->description();
            ASSERT_LE(data.size(), 4u);
            ended = data.empty();
            collected.append(data.begin(), data.end());
            if (!ended) readMore();
        });
    };
    readMore();
    ASSERT_TRUE(queue.runUntil([&] { return ended; }, Duration(5)));
    EXPECT_EQ(collected, "0123456789");

    // Cancel answers a pending read with ECANCELED.
    auto second = MarkedTCPConnection::create(queue, "127.0.0.1", port, testMark());
    asio::ip::tcp::socket server2(queue.context());
    acceptor.async_accept(server2, [](const asio::error_code&) {});
    ASSERT_TRUE(queue.runUntil([&] { return second->state() == TCPConnectionState::connected; }, Duration(5)));
    std::optional<std::optional<TunnelError>> pendingRead;
    second->readMinimumLength(1, 100, [&](Bytes, std::optional<TunnelError> e) { pendingRead = e; });
    second->cancel();
    EXPECT_EQ(second->state(), TCPConnectionState::cancelled);
    ASSERT_TRUE(queue.runUntil([&] { return pendingRead.has_value(); }, Duration(5)));
    ASSERT_TRUE(pendingRead->has_value());
    EXPECT_EQ((*pendingRead)->code, ECANCELED);

    auto refused = MarkedTCPConnection::create(queue, "127.0.0.1", closedPort(SOCK_STREAM), testMark());
    ASSERT_TRUE(queue.runUntil([&] { return refused->state() != TCPConnectionState::connecting; }, Duration(5)));
    EXPECT_EQ(refused->state(), TCPConnectionState::disconnected);
    ASSERT_TRUE(refused->failure().has_value());
    EXPECT_EQ(refused->failure()->code, ECONNREFUSED);
    EXPECT_EQ(refused->failure()->domain, "posix");
}

// ---------------------------------------------------------------- tunnel host, helpers

TEST(LinuxTunnelHost, CancellationReachesTheHandlerOnTheQueue) {
    AsioWorkQueue queue;
    LinuxTunnelHost host(queue, LinuxTunnelHostOptions{}, std::nullopt);
    std::optional<TunnelError> cancelled;
    host.setCancelHandler([&](const TunnelError& e) {
        EXPECT_TRUE(queue.isQueueThread());
        cancelled = e;
    });
    host.cancelTunnelWithError(TunnelError::fromVantu("keepalive timeout"));
    EXPECT_FALSE(cancelled.has_value()) << "ran inline";
    ASSERT_TRUE(queue.runUntil([&] { return cancelled.has_value(); }, Duration(5)));
    EXPECT_EQ(cancelled->domain, "VantuPacketTunnel.VantuError");
    EXPECT_EQ(cancelled->description(), "keepalive timeout");
}

TEST(NetlinkHelpers, AddressesAndMasks) {
    EXPECT_EQ(parseIPv4("203.0.113.7"), 0xCB007107u);
    EXPECT_EQ(formatIPv4(0xCB007107u), "203.0.113.7");
    for (const char* bad : {"203.0.113", "vpn.example.test", ""}) EXPECT_FALSE(parseIPv4(bad).has_value()) << bad;
    const std::vector<std::pair<std::string, std::optional<int>>> masks{
        {"255.255.255.255", 32}, {"255.255.128.0", 17}, {"0.0.0.0", 0}, {"255.0.255.0", std::nullopt},
        {"not a mask", std::nullopt}};
    for (const auto& [mask, prefix] : masks) EXPECT_EQ(prefixLengthOfMask(mask), prefix) << mask;
}

TEST(ResolvConfFile, RewritesKeepsTheOriginalBackupAndRestores) {
    TempDir dir;
    const std::string path = dir.path + "/resolv.conf";
    const std::string original = "# from DHCP\nsearch corp.example.test\nnameserver 192.0.2.53\noptions edns0\n";
    std::ofstream(path) << original;
    ResolvConfFile file(path);
    EXPECT_FALSE(file.restore());
    file.apply({"100.100.100.100"});
    file.apply({"100.100.100.101"});
    const std::string written = readText(path);
    EXPECT_TRUE(contains(written, "nameserver 100.100.100.101\n")) << written;
    EXPECT_TRUE(contains(written, "search corp.example.test\n")) << written;
    EXPECT_FALSE(contains(written, "192.0.2.53") || contains(written, "100.100.100.100")) << written;
    EXPECT_EQ(readText(file.backupPath()), original);
    EXPECT_TRUE(file.restore());
    EXPECT_EQ(readText(path), original);
    EXPECT_FALSE(file.hasBackup());
    EXPECT_FALSE(std::filesystem::exists(path + ".vantud-new"));

    // A symlink is replaced while applied, its target untouched, and comes back as the same symlink.
    const std::string target = dir.path + "/stub-resolv.conf";
    std::ofstream(target) << "nameserver 127.0.0.53\n";
    std::filesystem::remove(path);
    std::filesystem::create_symlink(target, path);
    file.apply({"100.100.100.100"});
    EXPECT_FALSE(std::filesystem::is_symlink(path));
    EXPECT_EQ(readText(target), "nameserver 127.0.0.53\n");
    EXPECT_TRUE(file.restore());
    EXPECT_EQ(std::filesystem::read_symlink(path), target);

    EXPECT_THROW(ResolvConfFile(dir.path + "/no/such/dir/resolv.conf").apply({"100.100.100.100"}), VantuError);
}

TEST(SystemTools, RunProgramAndLogsOnStandardError) {
    std::string output;
    EXPECT_EQ(runProgram({"sh", "-c", "echo out; echo err >&2; exit 3"}, &output), 3);
    EXPECT_TRUE(contains(output, "out\n") && contains(output, "err\n")) << output;
    EXPECT_EQ(runProgram({"vantu-no-such-program"}, &output), 127);

    const ChildRun logs = runInChild([](int out) {
        ::dup2(out, STDERR_FILENO);
        StderrLog().write("VantuPacketTunnel: first");
        SyslogLog("vantud-test").write("VantuPacketTunnel: second %s %n");  // a line, never a format
        SyslogLog("vantud-test", false).write("VantuPacketTunnel: only in syslog");
        return 0;
    });
    EXPECT_EQ(logs.output, "VantuPacketTunnel: first\nVantuPacketTunnel: second %s %n\n");
}

namespace {

// A bound loopback UDP socket and its address.
struct LoopbackUDP {
    uint16_t port = 0;
    int fd = boundLoopback(SOCK_DGRAM, port);
    sockaddr_in address{};
    LoopbackUDP() {
        address.sin_family = AF_INET;
        address.sin_port = htons(port);
        address.sin_addr.s_addr = htonl(INADDR_LOOPBACK);
    }
    ~LoopbackUDP() { ::close(fd); }
    LoopbackUDP(const LoopbackUDP&) = delete;
    LoopbackUDP& operator=(const LoopbackUDP&) = delete;
    // What arrives until `expected` datagrams are in or a second passes.
    std::vector<Bytes> receive(size_t expected) {
        UDPBatchReceiver receiver(8);
        std::vector<Bytes> got;
        pollfd p{fd, POLLIN, 0};
        while (got.size() < expected && ::poll(&p, 1, 1000) == 1) {
            receiver.receive(fd, [&](const uint8_t* data, size_t size, const sockaddr*, socklen_t) {
                got.emplace_back(data, data + size);
            });
        }
        return got;
    }
};

}  // namespace

TEST(UDPBatch, BatchesArriveAsTheirDatagramsWithAndWithoutGRO) {
    // Runs of equal sizes (one GSO message each), a smaller last one, a
    // larger one that must start a new run, and more datagrams than one
    // message or one call takes.
    const std::vector<std::vector<size_t>> batches = {
        {1400, 1400, 1400, 1400, 1400}, {1400, 1400, 600}, {600, 1400, 1400}, {1}, std::vector<size_t>(150, 100)};
    for (const bool gro : {false, true}) {
        LoopbackUDP receiver;
        if (gro) {
            ASSERT_TRUE(UDPBatchReceiver::enableGRO(receiver.fd));
        }
        const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
        ASSERT_EQ(::connect(sender, reinterpret_cast<sockaddr*>(&receiver.address), sizeof receiver.address), 0);
        UDPBatchSender batchSender;
        uint8_t fill = 0;
        for (const auto& sizes : batches) {
            SCOPED_TRACE(std::string(gro ? "GRO, " : "") + std::to_string(sizes.size()) + " datagrams");
            std::vector<Bytes> datagrams;
            for (const size_t size : sizes) datagrams.emplace_back(size, fill++);
            std::vector<UDPBatchSender::Datagram> batch;
            for (const Bytes& d : datagrams) batch.push_back({d.data(), d.size()});
            const UDPBatchSender::Result result = batchSender.send(sender, batch.data(), batch.size());
            EXPECT_EQ(result.sent, sizes.size());
            EXPECT_EQ(result.error, 0);
            EXPECT_EQ(receiver.receive(sizes.size()), datagrams);
        }
        EXPECT_TRUE(batchSender.gsoEnabled()) << "loopback segments in software";
        ::close(sender);
    }

    // An unconnected socket: alternating destinations never share a message.
    LoopbackUDP first;
    LoopbackUDP second;
    const int sender = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<Bytes> datagrams;
    std::vector<UDPBatchSender::Datagram> batch;
    for (uint8_t i = 0; i < 6; ++i) datagrams.emplace_back(700, i);
    for (size_t i = 0; i < datagrams.size(); ++i) {
        const sockaddr_in& to = (i < 2 || i == 4) ? first.address : second.address;
        batch.push_back({datagrams[i].data(), datagrams[i].size(), reinterpret_cast<const sockaddr*>(&to), sizeof to});
    }
    EXPECT_EQ(UDPBatchSender().send(sender, batch.data(), batch.size()).sent, 6u);
    EXPECT_EQ(first.receive(3), (std::vector<Bytes>{datagrams[0], datagrams[1], datagrams[4]}));
    EXPECT_EQ(second.receive(3), (std::vector<Bytes>{datagrams[2], datagrams[3], datagrams[5]}));
    ::close(sender);

    // A send that cannot go names its error and how many datagrams it took.
    const int unconnected = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    std::vector<UDPBatchSender::Datagram> nowhere = {{datagrams[0].data(), 700}, {datagrams[1].data(), 700}};
    const UDPBatchSender::Result failed = UDPBatchSender().send(unconnected, nowhere.data(), nowhere.size());
    EXPECT_EQ(failed.sent, 0u);
    EXPECT_EQ(failed.error, EDESTADDRREQ);
    EXPECT_EQ(failed.failed, 2u) << "the two formed one GSO message";
    ::close(unconnected);
}

// A burst the server sends as GSO messages comes back whole through the
// session's GRO reads: every datagram, in order, never more per handler call
// than asked for.
TEST(MarkedUDPSession, GROBurstsReachTheHandlerWholeInOrderAndInPieces) {
    AsioWorkQueue queue;
    LoopbackUDP server;
    auto session = MarkedUDPSession::create(queue, "127.0.0.1", std::to_string(server.port), testMark());
    ASSERT_EQ(session->state(), UDPSessionState::ready);
    int gro = 0;
    socklen_t length = sizeof gro;
    ASSERT_EQ(::getsockopt(session->nativeHandle(), SOL_UDP, UDP_GRO, &gro, &length), 0);
    EXPECT_EQ(gro, 1);
    sockaddr_in client{};
    length = sizeof client;
    ASSERT_EQ(::getsockname(session->nativeHandle(), reinterpret_cast<sockaddr*>(&client), &length), 0);

    constexpr size_t kMax = 8;
    std::vector<Bytes> received;
    size_t largestBatch = 0;
    session->setReadHandler([&](std::vector<Bytes> datagrams, std::optional<TunnelError>) {
        largestBatch = std::max(largestBatch, datagrams.size());
        for (auto& d : datagrams) received.push_back(std::move(d));
    }, kMax);
    std::vector<Bytes> sent;
    for (size_t i = 0; i < 130; ++i) sent.emplace_back(i == 129 ? 300 : 1200, static_cast<uint8_t>(i));
    std::vector<UDPBatchSender::Datagram> batch;
    for (const Bytes& d : sent)
        batch.push_back({d.data(), d.size(), reinterpret_cast<const sockaddr*>(&client), sizeof client});
    UDPBatchSender sender;
    ASSERT_EQ(sender.send(server.fd, batch.data(), batch.size()).sent, sent.size());
    ASSERT_TRUE(queue.runUntil([&] { return received.size() >= sent.size(); }, Duration(5)));
    EXPECT_EQ(received, sent);
    EXPECT_EQ(largestBatch, kMax);
}
