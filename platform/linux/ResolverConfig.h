#pragma once

// Pointing the system resolver at the tunnel, and putting it back.
//
// Two mechanisms: systemd-resolved, told through resolvectl that the tunnel
// link has a DNS server and is the route for every domain ("~."), which it
// forgets by itself when the link goes away; or, without resolved, rewriting
// resolv.conf with the original kept beside it and restored on clear (and
// at the next start after a crash).

#include <string>
#include <vector>

namespace vantu {

// resolv.conf rewriting with a backup. The backup lives next to the file
// (path + ".vantud-backup") so that a rename restores it atomically; while a
// backup exists it is the true original, and later writes never replace it.
class ResolvConfFile {
public:
    explicit ResolvConfFile(std::string path);

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
    void makeBackup();
    std::string path_;
    std::string backup_;
};

// Whether systemd-resolved runs here (its varlink socket exists and
// resolvectl is installed).
bool systemdResolvedAvailable();

// Runs a program (looked up in PATH) with arguments, without a shell; returns
// its exit status (127 when it could not run) and its combined output.
int runProgram(const std::vector<std::string>& argv, std::string* output = nullptr);

}  // namespace vantu
