#pragma once

// Pointing the system resolver at the tunnel, and putting it back.
//
// Two mechanisms: systemd-resolved, told through resolvectl that the tunnel
// link has a DNS server, is the route for every domain ("~.") and the default
// DNS route, which it forgets by itself when the link goes away; or, without
// resolved, rewriting resolv.conf with the original kept as a backup and
// restored on clear (and at the next start after a crash, whatever that
// start's mode).

#include <functional>
#include <string>
#include <vector>

namespace vantu {

class SystemLog;

enum class DnsMode {
    automatic,         // systemd-resolved when it runs, resolv.conf otherwise
    systemdResolved,   // resolvectl on the TUN link
    resolvConf,        // rewrite resolvConfPath, keep a backup
    none,              // leave the system resolver alone
};

// resolv.conf rewriting with a backup. By default the backup lives next to
// the file (path + ".vantud-backup") so that a rename restores it atomically;
// while a backup exists it is the true original, and later writes never
// replace it.
//
// Where the file's directory is read-only and only the file itself is
// writable (the systemd unit bind-mounts /etc/resolv.conf alone into a
// read-only /etc), no file can be created beside it and a rename over it
// fails: the backup then goes elsewhere (`backupPath`, the state directory)
// and the file is rewritten in place. A symlink is never written through in
// place, since that would overwrite another program's file with no way back;
// it is kept as a link with the same text and made anew beside the file on
// restore, wherever the backup lives, and one that could not be made anew
// there is refused before anything changes.
class ResolvConfFile {
public:
    // An empty backupPath means path + ".vantud-backup".
    explicit ResolvConfFile(std::string path, std::string backupPath = "");

    // Writes a file that sends every query to `nameservers`, keeping the
    // original's search/domain lines; the first call saves the original.
    // Throws VantuError with the failing step and the system's reason.
    void apply(const std::vector<std::string>& nameservers);
    // Puts the original back when a backup exists; returns whether it did.
    // Throws VantuError when the backup exists but cannot be restored.
    bool restore();
    bool hasBackup() const;

    const std::string& path() const { return path_; }
    const std::string& backupPath() const { return backup_; }

    // The text written for these name servers and original contents.
    static std::string render(const std::vector<std::string>& nameservers, const std::string& original);

private:
    void refuseWhatCannotBeRestored() const;
    void makeBackup();
    // The original's text, for its search lines.
    std::string original() const;
    std::string path_;
    std::string backup_;
};

// The resolvectl command lines that make the link `iface` the resolver of
// every name: its DNS server, the catch-all routing domain "~." and the
// default-route flag, so that no query leaves through another link's
// servers. In the order they run; each is an argv without a shell.
std::vector<std::vector<std::string>> resolvedApplyCommands(const std::string& iface, const std::string& address);
// The one that forgets all of that again.
std::vector<std::string> resolvedRevertCommand(const std::string& iface);

// Points the system resolver at the tunnel and back, by either mechanism.
// Commands go through `run` (runProgram by default) so that the resolved
// sequence can be checked without resolved; `resolvedProbe` decides what the
// automatic mode picks. Not thread-safe; the tunnel host calls it on its queue.
class SystemResolver {
public:
    using Runner = std::function<int(const std::vector<std::string>& argv, std::string* output)>;
    struct Options {
        DnsMode mode = DnsMode::automatic;
        std::string iface;
        std::string address;  // the virtual resolver address
        std::string resolvConfPath = "/etc/resolv.conf";
        std::string resolvConfBackupPath;  // empty: beside the file
    };

    explicit SystemResolver(Options options, Runner run = {}, std::function<bool()> resolvedProbe = {},
                            SystemLog* log = nullptr);

    // Applies the configured mode (the automatic mode settles on one here).
    // A resolved sequence that fails midway is reverted. Throws VantuError.
    void apply();
    // Undoes whatever apply did, and restores any resolv.conf backup that
    // exists, whichever mode made it. Throws VantuError when a backup
    // cannot be restored; a failing revert is only logged.
    void clear();
    // At start: restores a resolv.conf backup left by a run that could not
    // clean up, whatever mode this run uses. Returns whether there was one.
    bool restoreLeftover();

    DnsMode applied() const { return applied_; }
    const Options& options() const { return options_; }

private:
    void note(const std::string& line) const;
    int run(const std::vector<std::string>& argv, std::string* output) const;
    ResolvConfFile file() const { return ResolvConfFile(options_.resolvConfPath, options_.resolvConfBackupPath); }

    Options options_;
    Runner run_;
    std::function<bool()> resolvedProbe_;
    SystemLog* log_;
    DnsMode applied_ = DnsMode::none;
};

// Whether systemd-resolved runs here (its varlink socket exists and
// resolvectl is installed).
bool systemdResolvedAvailable();

// Runs a program (looked up in PATH) with arguments, without a shell; returns
// its exit status (127 when it could not run) and its combined output.
int runProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace vantu
