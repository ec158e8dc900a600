#include "platform/linux/ResolverConfig.h"

#include <fcntl.h>
#include <spawn.h>
#include <sys/stat.h>
#include <sys/wait.h>
#include <unistd.h>

#include <cerrno>
#include <cstring>
#include <fstream>
#include <sstream>

#include "VantuPacketTunnel/VantuError.h"

extern char** environ;

namespace vantu {

namespace {

class ErrnoError : public VantuError {
public:
    ErrnoError(const std::string& what, int code) : VantuError(what + ": " + std::strerror(code)) {}
};

bool exists(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0;
}

std::string readFile(const std::string& path) {
    std::ifstream in(path, std::ios::binary);
    if (!in) return "";
    std::ostringstream out;
    out << in.rdbuf();
    return out.str();
}

void writeAll(int fd, const std::string& text, const std::string& path) {
    const char* p = text.data();
    size_t left = text.size();
    while (left > 0) {
        const ssize_t n = ::write(fd, p, left);
        if (n < 0) {
            if (errno == EINTR) continue;
            throw ErrnoError("cannot write " + path, errno);
        }
        p += n;
        left -= static_cast<size_t>(n);
    }
}

// Replaces the contents of `path` durably: a temporary file renamed over it;
// where the path is a mount point (a container's bind-mounted resolv.conf)
// rename fails with EBUSY and the file is rewritten in place instead.
void replaceFile(const std::string& path, const std::string& text) {
    const std::string temp = path + ".vantud-new";
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) throw ErrnoError("cannot create " + temp, errno);
    try {
        writeAll(fd, text, temp);
    } catch (...) {
        ::close(fd);
        ::unlink(temp.c_str());
        throw;
    }
    ::fsync(fd);
    ::close(fd);
    if (::rename(temp.c_str(), path.c_str()) == 0) return;
    const int e = errno;
    ::unlink(temp.c_str());
    if (e != EBUSY && e != EXDEV) throw ErrnoError("cannot replace " + path, e);
    const int inPlace = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC);
    if (inPlace < 0) throw ErrnoError("cannot rewrite " + path, errno);
    try {
        writeAll(inPlace, text, path);
    } catch (...) {
        ::close(inPlace);
        throw;
    }
    ::fsync(inPlace);
    ::close(inPlace);
}

}  // namespace

ResolvConfFile::ResolvConfFile(std::string path) : path_(std::move(path)), backup_(path_ + ".vantud-backup") {}

bool ResolvConfFile::hasBackup() const { return exists(backup_); }

std::string ResolvConfFile::render(const std::vector<std::string>& nameservers, const std::string& original) {
    std::string out = "# Written by vantud while the tunnel is up; the original is restored when it stops.\n";
    std::istringstream lines(original);
    std::string line;
    while (std::getline(lines, line)) {
        // Search domains still apply to names typed by the user.
        if (line.rfind("search", 0) == 0 || line.rfind("domain", 0) == 0) out += line + "\n";
    }
    for (const auto& server : nameservers) out += "nameserver " + server + "\n";
    return out;
}

void ResolvConfFile::makeBackup() {
    struct stat st{};
    if (::lstat(path_.c_str(), &st) != 0) {
        if (errno != ENOENT) throw ErrnoError("cannot inspect " + path_, errno);
        // No original: an empty backup restores to an empty file.
        replaceFile(backup_, "");
        return;
    }
    if (S_ISLNK(st.st_mode)) {
        // A symlink (to a resolver's generated file) is kept as a symlink.
        std::string target(4096, '\0');
        const ssize_t n = ::readlink(path_.c_str(), target.data(), target.size() - 1);
        if (n < 0) throw ErrnoError("cannot read link " + path_, errno);
        target.resize(static_cast<size_t>(n));
        if (::symlink(target.c_str(), backup_.c_str()) != 0) throw ErrnoError("cannot create " + backup_, errno);
        return;
    }
    // A copy rather than a hard link: an in-place rewrite must not change it.
    replaceFile(backup_, readFile(path_));
}

void ResolvConfFile::apply(const std::vector<std::string>& nameservers) {
    if (!hasBackup()) makeBackup();
    // The original's search lines come from the backup, not from our own file.
    replaceFile(path_, render(nameservers, readFile(backup_)));
}

bool ResolvConfFile::restore() {
    if (!hasBackup()) return false;
    if (::rename(backup_.c_str(), path_.c_str()) == 0) return true;
    const int e = errno;
    if (e != EBUSY && e != EXDEV) throw ErrnoError("cannot restore " + path_, e);
    replaceFile(path_, readFile(backup_));
    ::unlink(backup_.c_str());
    return true;
}

bool systemdResolvedAvailable() {
    if (!exists("/run/systemd/resolve/io.systemd.Resolve")) return false;
    return runProgram({"resolvectl", "--version"}) == 0;
}

int runProgram(const std::vector<std::string>& argv, std::string* output) {
    if (argv.empty()) return 127;
    int pipeFds[2];
    if (::pipe2(pipeFds, O_CLOEXEC) != 0) return 127;
    posix_spawn_file_actions_t actions;
    posix_spawn_file_actions_init(&actions);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDOUT_FILENO);
    posix_spawn_file_actions_adddup2(&actions, pipeFds[1], STDERR_FILENO);
    posix_spawn_file_actions_addopen(&actions, STDIN_FILENO, "/dev/null", O_RDONLY, 0);
    std::vector<char*> args;
    for (const auto& a : argv) args.push_back(const_cast<char*>(a.c_str()));
    args.push_back(nullptr);
    pid_t pid = 0;
    const int rc = posix_spawnp(&pid, argv[0].c_str(), &actions, nullptr, args.data(), environ);
    posix_spawn_file_actions_destroy(&actions);
    ::close(pipeFds[1]);
    if (rc != 0) {
        ::close(pipeFds[0]);
        if (output) *output = std::string("cannot run ") + argv[0] + ": " + std::strerror(rc);
        return 127;
    }
    std::string collected;
    char buffer[512];
    for (;;) {
        const ssize_t n = ::read(pipeFds[0], buffer, sizeof buffer);
        if (n > 0) {
            collected.append(buffer, static_cast<size_t>(n));
            continue;
        }
        if (n < 0 && errno == EINTR) continue;
        break;
    }
    ::close(pipeFds[0]);
    int status = 0;
    while (::waitpid(pid, &status, 0) < 0 && errno == EINTR) {
    }
    if (output) *output = collected;
    if (WIFEXITED(status)) return WEXITSTATUS(status);
    return 128 + (WIFSIGNALED(status) ? WTERMSIG(status) : 0);
}

}  // namespace vantu
