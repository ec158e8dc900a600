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

#include "base/VantuError.h"
#include "platform/Platform.h"

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

bool isSymlink(const std::string& path) {
    struct stat st{};
    return ::lstat(path.c_str(), &st) == 0 && S_ISLNK(st.st_mode);
}

// The text of a symlink, exactly as written (relative links stay relative).
std::string readLink(const std::string& path) {
    std::string target(4096, '\0');
    const ssize_t n = ::readlink(path.c_str(), target.data(), target.size());
    if (n < 0) throw ErrnoError("cannot read link " + path, errno);
    if (static_cast<size_t>(n) == target.size()) throw VantuError("cannot read link " + path + ": too long");
    target.resize(static_cast<size_t>(n));
    return target;
}

// Where a replacement is built before it is renamed over `path`: beside it,
// in the same directory, so that the rename never crosses file systems.
std::string besidePath(const std::string& path) { return path + ".vantud-new"; }

// A new symlink to `target` beside `path`, to be renamed over it; false
// with errno set when the directory takes none.
bool linkBeside(const std::string& path, const std::string& target) {
    const std::string beside = besidePath(path);
    ::unlink(beside.c_str());  // one a crashed run left
    return ::symlink(target.c_str(), beside.c_str()) == 0;
}

// Rewrites the file itself (truncate and write), for where neither a file
// beside it can be created nor a rename can land on it. Refuses a symlink:
// writing through it would change another program's file.
void rewriteInPlace(const std::string& path, const std::string& text) {
    const int fd = ::open(path.c_str(), O_WRONLY | O_TRUNC | O_CLOEXEC | O_NOFOLLOW);
    if (fd < 0) {
        const int e = errno;
        if (e == ELOOP)
            throw VantuError("cannot rewrite " + path +
                             ": it is a symlink in a read-only directory and is not written through");
        throw ErrnoError("cannot rewrite " + path, e);
    }
    try {
        writeAll(fd, text, path);
    } catch (...) {
        ::close(fd);
        throw;
    }
    ::fsync(fd);
    ::close(fd);
}

// Errors that mean "this directory takes no new file" or "nothing can be
// renamed onto this path" rather than a real failure of the file itself.
bool needsInPlace(int e) { return e == EBUSY || e == EXDEV || e == EROFS || e == EACCES || e == EPERM; }

// Replaces the contents of `path` durably: a temporary file renamed over it.
// Where the path is a mount point (a container's or the systemd unit's
// bind-mounted resolv.conf) the rename fails with EBUSY, and in a read-only
// directory the temporary cannot even be created; the file is then
// rewritten in place.
void replaceFile(const std::string& path, const std::string& text) {
    const std::string temp = besidePath(path);
    const int fd = ::open(temp.c_str(), O_WRONLY | O_CREAT | O_TRUNC | O_CLOEXEC, 0644);
    if (fd < 0) {
        const int e = errno;
        if (!needsInPlace(e) || !exists(path)) throw ErrnoError("cannot create " + temp, e);
        rewriteInPlace(path, text);
        return;
    }
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
    if (!needsInPlace(e)) throw ErrnoError("cannot replace " + path, e);
    rewriteInPlace(path, text);
}

}  // namespace

ResolvConfFile::ResolvConfFile(std::string path, std::string backupPath)
    : path_(std::move(path)), backup_(backupPath.empty() ? path_ + ".vantud-backup" : std::move(backupPath)) {}

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
        // A symlink (to a resolver's generated file) is kept as a symlink
        // with the same text, wherever the backup lives; restore makes the
        // link anew beside the file (replaceFile never writes through it).
        const std::string target = readLink(path_);
        if (::symlink(target.c_str(), backup_.c_str()) != 0) throw ErrnoError("cannot create " + backup_, errno);
        return;
    }
    // A copy rather than a hard link: an in-place rewrite must not change it.
    replaceFile(backup_, readFile(path_));
}

void ResolvConfFile::refuseWhatCannotBeRestored() const {
    if (!isSymlink(path_)) return;
    // Restoring a link makes a new one beside the file and renames it over
    // it; where no link can be made (a read-only directory), the link would
    // be lost for good, so nothing is changed at all.
    const std::string beside = besidePath(path_);
    if (!linkBeside(path_, readLink(path_))) {
        throw ErrnoError(
            "refusing to replace the symlink " + path_ + ", which could not be put back: cannot create " + beside, errno);
    }
    ::unlink(beside.c_str());
}

std::string ResolvConfFile::original() const {
    if (!isSymlink(backup_)) return readFile(backup_);
    // The link's text is read as the file's own: a relative link means
    // another file next to a backup kept elsewhere.
    const std::string target = readLink(backup_);
    if (target.empty() || target[0] == '/') return readFile(target);
    const size_t slash = path_.rfind('/');
    return readFile((slash == std::string::npos ? std::string() : path_.substr(0, slash + 1)) + target);
}

void ResolvConfFile::apply(const std::vector<std::string>& nameservers) {
    const bool fresh = !hasBackup();
    if (fresh) {
        refuseWhatCannotBeRestored();
        makeBackup();
    }
    try {
        // The original's search lines come from the backup, not from our own file.
        replaceFile(path_, render(nameservers, original()));
    } catch (...) {
        // The file is unchanged: a backup left now would be "restored" over
        // whatever the file becomes later.
        if (fresh) ::unlink(backup_.c_str());
        throw;
    }
}

bool ResolvConfFile::restore() {
    if (!hasBackup()) return false;
    if (isSymlink(backup_)) {
        // Made anew beside the file rather than renamed from the backup,
        // which may sit on another file system. The backup goes last, so a
        // failure leaves it for the next try.
        const std::string beside = besidePath(path_);
        if (!linkBeside(path_, readLink(backup_)))
            throw ErrnoError("cannot restore the symlink " + path_ + ": cannot create " + beside, errno);
        if (::rename(beside.c_str(), path_.c_str()) != 0) {
            const int e = errno;
            ::unlink(beside.c_str());
            throw ErrnoError("cannot restore the symlink " + path_, e);
        }
        ::unlink(backup_.c_str());
        return true;
    }
    if (::rename(backup_.c_str(), path_.c_str()) == 0) return true;
    const int e = errno;
    if (!needsInPlace(e)) throw ErrnoError("cannot restore " + path_, e);
    replaceFile(path_, readFile(backup_));
    ::unlink(backup_.c_str());
    return true;
}

std::vector<std::vector<std::string>> resolvedApplyCommands(const std::string& iface, const std::string& address) {
    return {
        {"resolvectl", "dns", iface, address},
        // "~." makes the link the route for every domain, not a search domain.
        {"resolvectl", "domain", iface, "~."},
        // And the one used for names no link's domains match.
        {"resolvectl", "default-route", iface, "yes"},
    };
}

std::vector<std::string> resolvedRevertCommand(const std::string& iface) { return {"resolvectl", "revert", iface}; }

SystemResolver::SystemResolver(Options options, Runner run, std::function<bool()> resolvedProbe, SystemLog* log)
    : options_(std::move(options)),
      run_(run ? std::move(run) : Runner([](const std::vector<std::string>& argv, std::string* output) {
          return runProgram(argv, output);
      })),
      resolvedProbe_(resolvedProbe ? std::move(resolvedProbe) : std::function<bool()>(systemdResolvedAvailable)),
      log_(log) {}

void SystemResolver::note(const std::string& line) const {
    if (log_) log_->write("platform: " + line);
}

int SystemResolver::run(const std::vector<std::string>& argv, std::string* output) const { return run_(argv, output); }

void SystemResolver::apply() {
    if (options_.mode == DnsMode::none) return;
    DnsMode mode = options_.mode;
    if (mode == DnsMode::automatic) mode = resolvedProbe_() ? DnsMode::systemdResolved : DnsMode::resolvConf;
    if (applied_ != DnsMode::none && applied_ != mode) clear();
    if (mode == DnsMode::systemdResolved) {
        for (const auto& argv : resolvedApplyCommands(options_.iface, options_.address)) {
            std::string output;
            if (run(argv, &output) == 0) continue;
            // Half a configuration (a server but no "~.") would leak queries
            // to other links' servers: take back what went through.
            std::string ignored;
            run(resolvedRevertCommand(options_.iface), &ignored);
            applied_ = DnsMode::none;
            while (!output.empty() && (output.back() == '\n' || output.back() == ' ')) output.pop_back();
            throw VantuError(argv[0] + " " + argv[1] + " failed: " + output);
        }
    } else {
        file().apply({options_.address});
    }
    applied_ = mode;
}

void SystemResolver::clear() {
    if (applied_ == DnsMode::systemdResolved) {
        std::string output;
        // Also forgotten by resolved when the link disappears with the daemon.
        if (run(resolvedRevertCommand(options_.iface), &output) != 0) note("resolvectl revert failed: " + output);
    }
    applied_ = DnsMode::none;
    // Whatever the mode: a backup is only ever ours.
    if (file().restore()) note("restored " + options_.resolvConfPath);
}

bool SystemResolver::restoreLeftover() {
    if (!file().restore()) return false;
    note("restored " + options_.resolvConfPath + " left by an earlier run");
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
