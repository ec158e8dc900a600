// Pointing the system resolver at the tunnel: the resolvectl sequence (run
// through a recording runner, since no resolved runs here), the resolv.conf
// backup left by a crashed run whatever the next run's mode, the read-only
// /etc of the systemd unit where only resolv.conf is writable, and a
// symlinked resolv.conf whose backup sits on another file system.

#include <sys/mount.h>
#include <sys/stat.h>

#include <cerrno>
#include <cstring>

#include <gtest/gtest.h>

#include "base/VantuError.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/LinuxTunnelHost.h"
#include "platform/linux/ResolverConfig.h"
#include "tests/linux_test_support.h"

using namespace vantu;
using namespace vantu::testing;

namespace {

using Argv = std::vector<std::string>;

// Records every command; the one at index `failAt` exits 1.
struct RecordingRunner {
    std::vector<Argv> ran;
    size_t failAt = SIZE_MAX;
    SystemResolver::Runner runner() {
        return [this](const Argv& argv, std::string* output) {
            ran.push_back(argv);
            if (ran.size() - 1 != failAt) return 0;
            if (output) *output = "Failed to set DNS configuration: Link vantu0 not known\n";
            return 1;
        };
    }
};

const Argv kDns{"resolvectl", "dns", "vantu0", "100.100.100.100"};
const Argv kDomain{"resolvectl", "domain", "vantu0", "~."};
const Argv kDefaultRoute{"resolvectl", "default-route", "vantu0", "yes"};
const Argv kRevert{"resolvectl", "revert", "vantu0"};

SystemResolver::Options resolverOptions(DnsMode mode, const std::string& resolvConf) {
    SystemResolver::Options options;
    options.mode = mode;
    options.iface = "vantu0";
    options.address = "100.100.100.100";
    options.resolvConfPath = resolvConf;
    return options;
}

// Runs `body` in a forked child with a private mount namespace, after
// `mounts` (false: failed, with errno) set it up; what `body` reports comes
// back as the child's output.
ChildRun inMountNamespace(const std::function<bool()>& mounts, const std::function<void(std::ostream&)>& body) {
    return runInChild([&](int out) {
        std::ostringstream report;
        int code = 0;
        if (::unshare(CLONE_NEWNS) != 0 || ::mount(nullptr, "/", nullptr, MS_REC | MS_PRIVATE, nullptr) != 0 ||
            !mounts()) {
            report << "setup failed: " << std::strerror(errno);
            code = 3;
        } else {
            body(report);
        }
        const std::string text = report.str();
        [[maybe_unused]] ssize_t n = ::write(out, text.data(), text.size());
        return code;
    });
}

}  // namespace

TEST(SystemResolver, ResolvedSequenceRevertAndPartialFailure) {
    EXPECT_EQ(resolvedApplyCommands("vantu0", "100.100.100.100"), (std::vector<Argv>{kDns, kDomain, kDefaultRoute}));
    EXPECT_EQ(resolvedRevertCommand("vantu0"), kRevert);

    TempDir dir;
    const std::string resolvConf = dir.path + "/resolv.conf";
    std::ofstream(resolvConf) << "nameserver 192.0.2.53\n";

    // Explicit mode, and the automatic mode when resolved runs: the three
    // settings, then the revert; resolv.conf is never touched.
    for (DnsMode mode : {DnsMode::systemdResolved, DnsMode::automatic}) {
        RecordingRunner recorder;
        SystemResolver resolver(resolverOptions(mode, resolvConf), recorder.runner(), [] { return true; });
        resolver.apply();
        EXPECT_EQ(resolver.applied(), DnsMode::systemdResolved);
        EXPECT_EQ(recorder.ran, (std::vector<Argv>{kDns, kDomain, kDefaultRoute}));
        resolver.clear();
        EXPECT_EQ(resolver.applied(), DnsMode::none);
        EXPECT_EQ(recorder.ran.back(), kRevert);
        EXPECT_EQ(recorder.ran.size(), 4u);
        EXPECT_EQ(readText(resolvConf), "nameserver 192.0.2.53\n");
        EXPECT_FALSE(std::filesystem::exists(resolvConf + ".vantud-backup"));
    }

    // A step that fails takes back the ones before it, and the error says
    // which step and why.
    for (size_t failAt = 0; failAt < 3; ++failAt) {
        RecordingRunner recorder;
        recorder.failAt = failAt;
        SystemResolver resolver(resolverOptions(DnsMode::systemdResolved, resolvConf), recorder.runner());
        try {
            resolver.apply();
            ADD_FAILURE() << "step " << failAt << " failed but apply succeeded";
        } catch (const VantuError& e) {
            const std::string expected = "resolvectl " + recorder.ran[failAt][1] +
                                         " failed: Failed to set DNS configuration: Link vantu0 not known";
            EXPECT_EQ(e.message(), expected);
        }
        std::vector<Argv> expected{kDns, kDomain, kDefaultRoute};
        expected.resize(failAt + 1);
        expected.push_back(kRevert);
        EXPECT_EQ(recorder.ran, expected) << "failing step " << failAt;
        EXPECT_EQ(resolver.applied(), DnsMode::none);
        // Nothing left to revert on clear.
        resolver.clear();
        EXPECT_EQ(recorder.ran.size(), expected.size());
    }

    // Without resolved, the automatic mode rewrites resolv.conf and runs nothing.
    RecordingRunner recorder;
    SystemResolver resolver(resolverOptions(DnsMode::automatic, resolvConf), recorder.runner(), [] { return false; });
    resolver.apply();
    EXPECT_EQ(resolver.applied(), DnsMode::resolvConf);
    EXPECT_NE(readText(resolvConf).find("nameserver 100.100.100.100\n"), std::string::npos);
    resolver.clear();
    EXPECT_TRUE(recorder.ran.empty());
    EXPECT_EQ(readText(resolvConf), "nameserver 192.0.2.53\n");
}

TEST(SystemResolver, LeftoverBackupIsRestoredWhateverTheNextMode) {
    AsioWorkQueue queue;
    const std::string original = "# from DHCP\nsearch corp.example.test\nnameserver 192.0.2.53\n";
    struct Case {
        DnsMode mode;
        bool backupInStateDir;
    };
    for (const Case c : {Case{DnsMode::automatic, false}, Case{DnsMode::systemdResolved, false},
                         Case{DnsMode::resolvConf, false}, Case{DnsMode::none, false},
                         Case{DnsMode::none, true}, Case{DnsMode::systemdResolved, true}}) {
        SCOPED_TRACE("mode " + std::to_string(int(c.mode)) + (c.backupInStateDir ? ", backup in state dir" : ""));
        TempDir dir;
        const std::string path = dir.path + "/resolv.conf";
        const std::string backup = c.backupInStateDir ? dir.path + "/state-resolv.conf.backup" : "";
        std::ofstream(path) << original;
        // A run that crashed while resolv.conf pointed at the tunnel.
        ResolvConfFile(path, backup).apply({"100.100.100.100"});
        ASSERT_NE(readText(path), original);

        LinuxTunnelHostOptions options;
        options.dnsMode = c.mode;
        options.resolvConfPath = path;
        options.resolvConfBackupPath = backup;
        LinuxTunnelHost host(queue, options, std::nullopt);
        EXPECT_FALSE(host.cleanupStaleDns().has_value());
        EXPECT_EQ(readText(path), original);
        EXPECT_FALSE(ResolvConfFile(path, backup).hasBackup());
        // Nothing left: a second start finds nothing to do and changes nothing.
        EXPECT_FALSE(host.cleanupStaleDns().has_value());
        EXPECT_EQ(readText(path), original);
    }
}

// The systemd unit's arrangement: /etc read-only, resolv.conf alone
// bind-mounted writable, the backup in the state directory. Built in a child
// in a mount namespace of its own; the child reports what it saw.
TEST(SystemResolver, ReadOnlyDirectoryWithOnlyTheFileWritable) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (a private mount namespace)";
    TempDir dir;
    const std::string etc = dir.path + "/etc";
    const std::string state = dir.path + "/state";
    std::filesystem::create_directories(etc);
    std::filesystem::create_directories(state);
    const std::string path = etc + "/resolv.conf";
    const std::string backup = state + "/resolv.conf.backup";
    const std::string linked = etc + "/linked-resolv.conf";
    const std::string original = "search corp.example.test\nnameserver 192.0.2.53\n";
    std::ofstream(path) << original;
    std::ofstream(state + "/stub") << "nameserver 127.0.0.53\n";
    std::filesystem::create_symlink(state + "/stub", linked);

    const auto mounts = [&] {
        return ::mount(etc.c_str(), etc.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               ::mount(path.c_str(), path.c_str(), nullptr, MS_BIND, nullptr) == 0 &&
               ::mount(nullptr, etc.c_str(), nullptr, MS_REMOUNT | MS_BIND | MS_RDONLY, nullptr) == 0;
    };
    const ChildRun child = inMountNamespace(mounts, [&](std::ostream& report) {
        report << "sibling=" << (std::ofstream(etc + "/probe") ? "created" : "refused") << "\n";
        try {
            ResolvConfFile file(path, backup);
            file.apply({"100.100.100.100"});
            report << "applied=" << readText(path) << "backup=" << readText(backup);
            file.restore();
            report << "restored=" << readText(path) << "left=" << file.hasBackup() << "\n";
        } catch (const VantuError& e) {
            report << "error=" << e.message() << "\n";
        }
        try {
            ResolvConfFile(linked, backup).apply({"100.100.100.100"});
            report << "symlink=written\n";
        } catch (const VantuError& e) {
            report << "symlink=refused " << e.message() << "\n";
        }
        report << "stub=" << readText(state + "/stub") << "leftAfterRefusal=" << ResolvConfFile(linked, backup).hasBackup()
               << " stillALink=" << std::filesystem::is_symlink(linked) << "\n";
    });
    ASSERT_EQ(child.exitCode, 0) << child.output;
    const std::string& report = child.output;
    const std::string expected =
        "sibling=refused\n"
        "applied=# Written by vantud while the tunnel is up; the original is restored when it stops.\n"
        "search corp.example.test\n"
        "nameserver 100.100.100.100\n"
        "backup=" + original +
        "restored=" + original + "left=0\n"
        "symlink=refused refusing to replace the symlink " + linked +
        ", which could not be put back: cannot create " + linked + ".vantud-new: Read-only file system\n"
        "stub=nameserver 127.0.0.53\n"
        "leftAfterRefusal=0 stillALink=1\n";
    EXPECT_EQ(report, expected);
    // Outside the child's namespace the same file went through the same states.
    EXPECT_EQ(readText(path), original);
}

// A symlinked resolv.conf (a relative link, as distributions ship it) with
// the backup on another file system, where no rename reaches: every way the
// original comes back puts the link back as a link, with its text unchanged,
// and the file it points to is never written.
TEST(SystemResolver, SymlinkComesBackAsASymlinkFromABackupOnAnotherFileSystem) {
    if (::geteuid() != 0) GTEST_SKIP() << "needs root (a tmpfs in a private mount namespace)";
    TempDir dir;
    // The state directory deeper than /etc: the link's text means another file there.
    const std::string etc = dir.path + "/etc", run = dir.path + "/run", state = dir.path + "/var/lib/vantud";
    for (const std::string& d : {etc, run, state}) std::filesystem::create_directories(d);
    const std::string path = etc + "/resolv.conf", target = "../run/stub-resolv.conf";
    const std::string stub = writeText(run + "/stub-resolv.conf", "search corp.example.test\nnameserver 127.0.0.53\n");
    SystemResolver::Options options = resolverOptions(DnsMode::resolvConf, path);
    options.resolvConfBackupPath = state + "/resolv.conf.backup";

    const auto mounts = [&] { return ::mount("tmpfs", state.c_str(), "tmpfs", 0, "size=1m") == 0; };
    const ChildRun child = inMountNamespace(mounts, [&](std::ostream& report) {
        struct stat etcStat{}, stateStat{};
        ::stat(etc.c_str(), &etcStat);
        ::stat(state.c_str(), &stateStat);
        report << "other file system=" << (etcStat.st_dev != stateStat.st_dev) << "\n";
        // A stop; the next start after a crash; vantud --cleanup (a fresh
        // resolver's clear, then the leftover check).
        const std::pair<const char*, std::function<void(SystemResolver&)>> exits[] = {
            {"stop", [](SystemResolver& r) { r.clear(); }},
            {"next start", [&](SystemResolver&) { SystemResolver(options).restoreLeftover(); }},
            {"cleanup", [&](SystemResolver&) {
                 SystemResolver cleanup(options);
                 cleanup.clear();
                 cleanup.restoreLeftover();
             }},
        };
        for (const auto& [name, exit] : exits) {
            std::filesystem::remove(path);
            std::filesystem::create_symlink(target, path);
            try {
                SystemResolver resolver(options);
                resolver.apply();
                const std::string applied = readText(path);
                report << name << ": applied a file=" << !std::filesystem::is_symlink(path)
                       << " search kept=" << contains(applied, "search corp.example.test\n")
                       << " virtual=" << contains(applied, "nameserver 100.100.100.100\n");
                exit(resolver);
                report << " restored link=" << std::filesystem::read_symlink(path).string()
                       << " backup left=" << std::filesystem::exists(std::filesystem::symlink_status(options.resolvConfBackupPath))
                       << " beside left=" << std::filesystem::exists(std::filesystem::symlink_status(path + ".vantud-new")) << "\n";
            } catch (const std::exception& e) {
                report << name << ": error=" << e.what() << "\n";
            }
        }
        report << "stub=" << readText(stub);
    });
    ASSERT_EQ(child.exitCode, 0) << child.output;
    std::string expected = "other file system=1\n";
    for (const char* name : {"stop", "next start", "cleanup"})
        expected += std::string(name) + ": applied a file=1 search kept=1 virtual=1 restored link=" + target +
                    " backup left=0 beside left=0\n";
    EXPECT_EQ(child.output, expected + "stub=search corp.example.test\nnameserver 127.0.0.53\n");
}
