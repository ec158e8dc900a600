#pragma once

// The command-line plumbing that vantud, vantuctl and vantu-server share:
// getopt_long over a list of arguments (so parsers can be tested without
// a process), one wording for every usage error, and the version line.

#include <getopt.h>
#include <sys/stat.h>

#include <cstdio>
#include <functional>
#include <optional>
#include <iostream>
#include <stdexcept>
#include <string>
#include <vector>

#ifndef VANTU_VERSION
#define VANTU_VERSION "unknown"
#endif

namespace vantu::cli {

inline constexpr const char* kVersion = VANTU_VERSION;

// A command line that cannot be run. main prints it on one line followed by
// a hint to --help, and exits 2.
class UsageError : public std::runtime_error {
public:
    explicit UsageError(const std::string& message) : std::runtime_error(message) {}
};

struct Option {
    const char* name;      // long name, without the dashes
    bool takesValue;
    char shortName = 0;    // 0: long form only
};

// Parses `args` (argv without the program name) against `options`. Each
// option found is handed to onOption with its long name and its value
// ("" for a flag), in command-line order; the operands are returned, in
// order, with everything after "--" taken as operands. Long options may be
// abbreviated while unambiguous, as getopt_long allows.
inline std::vector<std::string> parseOptions(const std::vector<std::string>& args, const std::vector<Option>& options,
                                             const std::function<void(const std::string&, const std::string&)>& onOption) {
    std::vector<std::string> storage;
    storage.reserve(args.size() + 1);
    storage.emplace_back("program");
    storage.insert(storage.end(), args.begin(), args.end());
    std::vector<char*> argv;
    for (std::string& s : storage) argv.push_back(s.data());
    argv.push_back(nullptr);

    // A leading ':' makes a missing value ':' rather than '?'.
    std::string shortOptions = ":";
    std::vector<option> longOptions;
    for (size_t i = 0; i < options.size(); ++i) {
        const Option& o = options[i];
        const int value = o.shortName ? o.shortName : static_cast<int>(256 + i);
        longOptions.push_back({o.name, o.takesValue ? required_argument : no_argument, nullptr, value});
        if (o.shortName) {
            shortOptions += o.shortName;
            if (o.takesValue) shortOptions += ':';
        }
    }
    longOptions.push_back({nullptr, 0, nullptr, 0});
    auto nameOf = [&](int value) -> std::string {
        for (size_t i = 0; i < options.size(); ++i) {
            if (value == (options[i].shortName ? options[i].shortName : static_cast<int>(256 + i))) return options[i].name;
        }
        return "";
    };

    const int argc = static_cast<int>(storage.size());
    // getopt keeps its position in globals; 0 starts over from scratch.
    optind = 0;
    opterr = 0;
    for (;;) {
        const int c = getopt_long(argc, argv.data(), shortOptions.c_str(), longOptions.data(), nullptr);
        if (c == -1) break;
        // The argument getopt stopped at, as the user wrote it (it has
        // stepped past it, and moved any operands before it out of the way).
        const std::string written =
            optind >= 1 && optind <= argc ? std::string(argv[static_cast<size_t>(optind - 1)]) : std::string();
        const std::string shown = written.substr(0, written.find('='));
        if (c == ':') {
            const std::string name = nameOf(optopt);
            throw UsageError("--" + (name.empty() ? shown : name) + " needs a value");
        }
        if (c == '?') {
            if (optopt != 0 && !nameOf(optopt).empty()) {
                throw UsageError("--" + nameOf(optopt) + " takes no value");
            }
            if (optopt != 0 && written.rfind("--", 0) != 0) {
                throw UsageError(std::string("unknown option \"-") + static_cast<char>(optopt) + "\"");
            }
            throw UsageError("unknown option \"" + shown + "\"");
        }
        onOption(nameOf(c), optarg ? std::string(optarg) : std::string());
    }
    std::vector<std::string> operands;
    for (int i = optind; i < argc; ++i) operands.emplace_back(argv[static_cast<size_t>(i)]);
    return operands;
}

inline void printVersion(const char* program) { std::cout << program << " " << kVersion << "\n"; }

// The two lines of a usage error.
inline void printUsageError(const char* program, const std::string& message) {
    std::cerr << program << ": " << message << "\nTry '" << program << " --help' for more information.\n";
}

// A warning when a configuration file holds a secret (`what`) and users
// other than its owner may read it.
inline std::optional<std::string> secretFileWarning(const std::string& path, const std::string& what) {
    struct stat st{};
    if (::stat(path.c_str(), &st) != 0) return std::nullopt;
    if ((st.st_mode & (S_IRGRP | S_IROTH)) == 0) return std::nullopt;
    char mode[8];
    std::snprintf(mode, sizeof mode, "%04o", static_cast<unsigned>(st.st_mode & 07777));
    return path + " holds " + what + " and other users can read it (mode " + mode + "); chmod 600 " + path;
}

}  // namespace vantu::cli
