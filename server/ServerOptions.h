#pragma once

// vantu-server's command line, kept apart from main() so that it can be tested.

#include <string>
#include <vector>

#include "apps/CommandLine.h"

namespace vantu::server {

struct ServerOptions {
    bool help = false;
    bool version = false;
    bool checkConfig = false;
    std::string configPath;
};

inline ServerOptions parseServerArguments(const std::vector<std::string>& args) {
    ServerOptions options;
    static const std::vector<cli::Option> known = {
        {"help", false, 'h'}, {"version", false, 'V'}, {"config", true, 'c'}, {"check-config", false}};
    const auto operands = cli::parseOptions(args, known, [&](const std::string& name, const std::string& value) {
        if (name == "help") options.help = true;
        if (name == "version") options.version = true;
        if (name == "config") options.configPath = value;
        if (name == "check-config") options.checkConfig = true;
    });
    if (!operands.empty()) throw cli::UsageError("unexpected argument \"" + operands.front() + "\"");
    if (!options.help && !options.version && options.configPath.empty()) {
        throw cli::UsageError("--config FILE is required");
    }
    return options;
}

}  // namespace vantu::server
