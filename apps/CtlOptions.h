#pragma once

// vantuctl's command line, kept apart from main() so that it can be tested.

#include <string>
#include <vector>

#include "apps/CommandLine.h"
#include "apps/ControlSocket.h"

namespace vantu::ctl {

enum class Command { status, report, reset, send };

struct CtlOptions {
    bool help = false;
    bool version = false;
    bool json = false;
    Command command = Command::status;
    std::string text;  // what `send` sends
    std::string controlSocket = control::kDefaultControlSocket;
    std::string stateDir = control::kDefaultStateDir;
    double timeoutSeconds = 15;

    // The bytes that go to the daemon for the command.
    std::string message() const {
        switch (command) {
            case Command::status: return control::kStatusRequest;
            case Command::report: return "diagnostics";
            case Command::reset: return "resetDiagnostics";
            case Command::send: return text;
        }
        return "diagnostics";
    }
};

inline CtlOptions parseCtlArguments(const std::vector<std::string>& args) {
    using cli::UsageError;
    CtlOptions options;
    static const std::vector<cli::Option> known = {
        {"help", false, 'h'},   {"version", false, 'V'},     {"json", false, 'j'},
        {"control-socket", true}, {"state-dir", true},       {"timeout", true},
    };
    const auto operands = cli::parseOptions(args, known, [&](const std::string& name, const std::string& value) {
        if (name == "help") {
            options.help = true;
        } else if (name == "version") {
            options.version = true;
        } else if (name == "json") {
            options.json = true;
        } else if (name == "control-socket") {
            options.controlSocket = value;
        } else if (name == "state-dir") {
            options.stateDir = value;
        } else if (name == "timeout") {
            size_t used = 0;
            double seconds = 0;
            try {
                seconds = std::stod(value, &used);
            } catch (const std::exception&) {
                used = 0;
            }
            if (value.empty() || used != value.size() || !(seconds > 0) || seconds > 3600) {
                throw UsageError("--timeout must be a number of seconds above 0 and up to 3600, not \"" + value +
                                 "\"");
            }
            options.timeoutSeconds = seconds;
        }
    });
    if (options.help || options.version) return options;
    size_t next = 0;
    if (!operands.empty()) {
        const std::string& command = operands[next++];
        if (command == "status") {
            options.command = Command::status;
        } else if (command == "report") {
            options.command = Command::report;
        } else if (command == "reset") {
            options.command = Command::reset;
        } else if (command == "send") {
            options.command = Command::send;
            if (next >= operands.size()) throw UsageError("send needs the TEXT to send");
            options.text = operands[next++];
        } else {
            throw UsageError("unknown command \"" + command + "\" (commands: status, report, reset, send)");
        }
    }
    if (next < operands.size()) throw UsageError("unexpected argument \"" + operands[next] + "\"");
    if (options.json && options.command != Command::status) throw UsageError("--json goes with status only");
    return options;
}

}  // namespace vantu::ctl
