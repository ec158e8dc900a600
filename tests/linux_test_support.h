#pragma once

// What the tests against the Linux platform and the server's TUN sink share:
// a temporary directory, whole files as text, a log that keeps its lines,
// work in a forked child, and a network namespace of the test's own.

#include <net/if.h>
#include <sched.h>
#include <sys/ioctl.h>
#include <sys/socket.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cstdio>
#include <exception>
#include <filesystem>
#include <fstream>
#include <functional>
#include <sstream>
#include <string>
#include <vector>

#include "platform/Platform.h"

namespace vantu::testing {

struct TempDir {
    std::string path;
    TempDir() {
        std::string pattern = (std::filesystem::temp_directory_path() / "vantu-test-XXXXXX").string();
        path = ::mkdtemp(pattern.data());
    }
    ~TempDir() {
        std::error_code ec;
        std::filesystem::remove_all(path, ec);
    }
    TempDir(const TempDir&) = delete;
    TempDir& operator=(const TempDir&) = delete;
};

inline std::string readText(const std::string& path) {
    std::ostringstream out;
    out << std::ifstream(path).rdbuf();
    return out.str();
}

inline std::string writeText(const std::string& path, const std::string& text) {
    std::ofstream(path) << text;
    return path;
}

// The permission bits of `path`, 0 when it does not exist.
inline mode_t modeOf(const std::string& path) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return 0;
    return st.st_mode & 07777;
}

inline bool contains(const std::string& text, const std::string& part) { return text.find(part) != std::string::npos; }

struct CapturingLog : SystemLog {
    std::vector<std::string> lines;
    void write(const std::string& line) override { lines.push_back(line); }
};

struct ChildRun {
    int exitCode = -1;  // -1: killed by a signal
    std::string output;  // what the child wrote to the descriptor it was given
};

// Runs `body` in a forked child, which ends with what `body` returns (2 if it
// throws, and an alarm ends a hung child). Limits, namespaces and
// redirections made there stay there.
inline ChildRun runInChild(const std::function<int(int outFd)>& body) {
    int fds[2];
    if (::pipe(fds) != 0) return {};
    std::fflush(nullptr);
    const pid_t pid = ::fork();
    if (pid == 0) {
        ::close(fds[0]);
        ::alarm(60);
        int status = 2;
        try {
            status = body(fds[1]);
        } catch (const std::exception& e) {
            std::fprintf(stderr, "child failed: %s\n", e.what());
        }
        std::fflush(nullptr);
        ::_exit(status);
    }
    ::close(fds[1]);
    ChildRun run;
    char buffer[4096];
    for (ssize_t n; (n = ::read(fds[0], buffer, sizeof buffer)) > 0;) run.output.append(buffer, size_t(n));
    ::close(fds[0]);
    int status = 0;
    if (pid > 0 && ::waitpid(pid, &status, 0) == pid && WIFEXITED(status)) run.exitCode = WEXITSTATUS(status);
    return run;
}

// Moves the calling process into a fresh network namespace with loopback up;
// false without the privilege.
inline bool enterNetworkNamespace() {
    if (::geteuid() != 0 || ::unshare(CLONE_NEWNET) != 0) return false;
    const int s = ::socket(AF_INET, SOCK_DGRAM | SOCK_CLOEXEC, 0);
    ifreq request{};
    std::snprintf(request.ifr_name, IFNAMSIZ, "lo");
    bool up = ::ioctl(s, SIOCGIFFLAGS, &request) == 0;
    request.ifr_flags |= IFF_UP;
    up = up && ::ioctl(s, SIOCSIFFLAGS, &request) == 0;
    ::close(s);
    return up;
}

}  // namespace vantu::testing
