// vantud: the tunnel daemon. Runs one PacketTunnelProvider in the foreground
// on a TUN device, with the Linux tunnel host (routes, rules, DNS), the
// SQLite defaults store and syslog; answers app messages on a UNIX socket.
// Everything, signals and control connections included, runs on the
// provider's one work queue thread. See --help.

#include <signal.h>
#include <syslog.h>
#include <string.h>

#include <cstdlib>
#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/signal_set.hpp>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "apps/ControlSocket.h"
#include "apps/ConfigCheck.h"
#include "apps/DaemonOptions.h"
#include "apps/ProcessLimits.h"
#include "apps/ServiceStatus.h"
#include "diagnostics/Status.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/LinuxTunnelHost.h"
#include "platform/linux/ServiceNotifier.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "platform/linux/SystemLogs.h"
#include "platform/linux/TunPacketFlow.h"
#include "platform/linux/WriteBehindStore.h"

namespace vantu::daemon {

namespace {

// One line on standard error in one write: the system log writes there too,
// from a thread of its own, and the two must not cut into each other's lines.
void errorLine(const std::string& line) { StderrLog().write(line); }

constexpr int kReasonUserInitiated = 1;
constexpr int kReasonProviderFailed = 2;
constexpr int kReasonConfigurationFailed = 7;
// The exit status of a configuration no tunnel can start with; the unit's
// RestartPreventExitStatus= names it, so a broken file is not restarted.
constexpr int kExitConfigurationError = 2;
// A stop whose completion does not arrive in this time is finished anyway,
// so that the system is always cleaned up and the daemon always exits.
constexpr double kStopDeadlineSeconds = 15.0;
constexpr double kStatusWatchSeconds = 2.0;

class Daemon {
public:
    Daemon(DaemonOptions options, ProviderConfiguration configuration, std::vector<std::string> warnings)
        : options_(std::move(options)), configuration_(std::move(configuration)), warnings_(std::move(warnings)) {}

    int run() {
        // Installed first, so no moment of the start is left to the default
        // action. Every signal whose default action would end the process: the
        // daemon must not die with its routes, rules and resolver changes in
        // place, whoever sends the signal (a closing terminal sends SIGHUP,
        // a stray kill -USR1 or a CPU limit SIGXCPU). SIGPIPE is ignored.
        signals_ = std::make_unique<asio::signal_set>(queue_.context());
        for (int signo : {SIGHUP, SIGINT, SIGQUIT, SIGTERM, SIGUSR1, SIGUSR2, SIGALRM, SIGVTALRM, SIGPROF, SIGIO,
                          SIGPWR, SIGXCPU, SIGXFSZ}) {
            signals_->add(signo);
        }
        waitForSignal();
        for (const std::string& warning : warnings_) log_.write(LOG_WARNING, "vantud: configuration: " + warning);
        // The control socket comes first: it is what finds another vantud
        // still running, before anything of that daemon's is touched.
        std::string storeFailure;
        control_ = std::make_unique<control::ControlSocketServer>(
            queue_.context(), options_.controlSocket,
            [this](Bytes message, std::function<void(Bytes)> reply) {
                // Connections are served on the queue, which runs only once
                // the provider exists.
                if (std::string(message.begin(), message.end()) == control::kStatusRequest) {
                    reply(bytesOf(tunnelStatus(*provider_).dump()));
                    return;
                }
                provider_->handleAppMessage(message, [reply = std::move(reply)](std::optional<Bytes> answer) {
                    reply(answer.value_or(Bytes{}));
                });
            },
            [this](const std::string& line) { note(line); });
        try {
            control_->open();
            try {
                store_ = std::make_unique<SqliteDefaultsStore>(options_.statePath());
            } catch (const std::exception& e) {
                // The state is the event log, the last stop's snapshot and
                // the learned-route cache: diagnostics and a cache, nothing
                // the tunnel needs. A state directory that cannot hold it (a
                // full disk, a read-only mount) must neither keep the tunnel
                // down nor stop this start before it removes what a crashed
                // run left in the routing.
                storeFailure = e.what();
                store_ = std::make_unique<SqliteDefaultsStore>(":memory:");
            }
            flow_ = std::make_unique<TunPacketFlow>(queue_, options_.host.tunName, &log_);
            LinuxTunnelHostOptions hostOptions = options_.host;
            hostOptions.tunName = flow_->name();
            host_ = std::make_unique<LinuxTunnelHost>(queue_, hostOptions, configuration_, &log_);
        } catch (const std::exception& e) {
            errorLine(std::string("vantud: ") + std::string(e.what()));
            service_.failed(e.what());
            return 1;
        }
        if (!storeFailure.empty()) {
            note("the state database " + options_.statePath() + " cannot be used: " + storeFailure +
                 "; this run keeps its state in memory only");
        }
        if (!store_->movedAsidePath().empty()) {
            note("the state database " + options_.statePath() + " was unreadable; kept it as " +
                 store_->movedAsidePath() + " and started with a fresh one");
        }
        // A daemon that crashed or was killed left its rules, its table's
        // routes and perhaps a rewritten resolv.conf behind.
        // With the kill switch the block stays (or is put in place) instead.
        if (auto error = host_->cleanupStale()) note("cleaning up after an earlier run: " + error->description());

        state_ = std::make_unique<WriteBehindStore>(*store_);
        provider_ = PacketTunnelProvider::create(Platform{queue_, *flow_, *host_, *state_, log_});
        host_->setCancelHandler([this](const TunnelError& error) { onTunnelCancelled(error); });


        note("starting on " + flow_->name() + ", table " + std::to_string(options_.host.table) + ", fwmark " +
             std::to_string(options_.host.fwmark) + ", dns " + dnsModeName(options_.host.dnsMode) + ", control " +
             options_.controlSocket + ", state " + options_.statePath());
        const auto server = configuration_.find("server");
        service_.starting(server != configuration_.end() && server->is_string() ? server->get<std::string>()
                                                                                 : std::string("the server"));
        provider_->startTunnel([this](std::optional<TunnelError> error) { onStarted(error); });

        while (phase_ != Phase::done) {
            try {
                queue_.run();
            } catch (const std::exception& e) {
                // One failing handler must not leave the routes in place.
                note(std::string("unexpected failure on the work queue: ") + e.what());
                if (phase_ == Phase::starting || phase_ == Phase::running) {
                    errorLine(std::string("vantud: internal error: ") + std::string(e.what()));
                    finish(kReasonProviderFailed, 1, std::string("internal error: ") + e.what());
                }
            }
        }
        teardown();
        return exitCode_;
    }

private:
    enum class Phase { starting, running, stopping, done };

    void note(const std::string& line) { log_.write("vantud: " + line); }

    void waitForSignal() {
        signals_->async_wait([this](const std::error_code& ec, int signo) {
            if (ec) return;
            const char* abbreviation = ::sigabbrev_np(signo);
            const std::string name = abbreviation ? std::string("SIG") + abbreviation : std::to_string(signo);
            if (phase_ == Phase::stopping || phase_ == Phase::done) {
                note(name + " while stopping; still cleaning up");
            } else {
                note("stopping on " + name);
                finish(kReasonUserInitiated, 0, name);
            }
            waitForSignal();
        });
    }

    void onStarted(const std::optional<TunnelError>& error) {
        if (phase_ != Phase::starting) return;
        if (error) {
            errorLine(std::string("vantud: start failed: ") + error->description());
            service_.failed("start failed: " + error->description());
            finish(kReasonProviderFailed, 1, "start failed");
            return;
        }
        phase_ = Phase::running;
        log_.write(LOG_NOTICE, "vantud: tunnel up on " + flow_->name());
        service_.up(tunnelStatus(*provider_), flow_->name());
        watchStatus();
    }

    // The service manager's status line follows the data channel's
    // recoveries; the provider's state is looked at every few seconds.
    void watchStatus() {
        queue_.after(Duration(kStatusWatchSeconds), [this] {
            if (phase_ != Phase::running) return;
            service_.observe(tunnelStatus(*provider_));
            watchStatus();
        });
    }

    void onTunnelCancelled(const TunnelError& error) {
        if (phase_ == Phase::stopping || phase_ == Phase::done) return;
        errorLine(std::string("vantud: tunnel failed: ") + error.description());
        service_.failed("tunnel failed: " + error.description());
        finish(kReasonProviderFailed, 1, "tunnel failed");
    }

    // Stops the provider, then removes everything the tunnel put on the
    // system and ends the work queue.
    void finish(int reason, int exitCode, const std::string& why) {
        if (phase_ == Phase::stopping || phase_ == Phase::done) return;
        phase_ = Phase::stopping;
        exitCode_ = exitCode;
        service_.stopping(why);
        auto finished = std::make_shared<bool>(false);
        auto complete = [this, finished] {
            if (*finished) return;
            *finished = true;
            // The stop's events and snapshot are on disk before anything
            // else happens: a kill during the cleanup below loses none.
            state_->flush();
            // With the kill switch a failed tunnel leaves the block in place:
            // traffic stays stopped until someone stops vantud on purpose.
            if (exitCode_ != 0 && options_.host.killSwitch) {
                if (auto error = host_->block()) note("kill switch incomplete: " + error->description());
            } else if (auto error = host_->cleanup()) {
                note("cleanup incomplete: " + error->description());
            }
            flow_->close();
            control_->close();
            if (signals_) {
                std::error_code ignored;
                signals_->cancel(ignored);
            }
            log_.write(exitCode_ == 0 ? LOG_NOTICE : LOG_ERR,
                       exitCode_ == 0 ? "vantud: stopped" : "vantud: stopped after a failure");
            phase_ = Phase::done;
            queue_.stop();
        };
        provider_->stopTunnel(reason, complete);
        queue_.after(Duration(kStopDeadlineSeconds), [this, complete] {
            if (phase_ != Phase::done) note("the provider did not finish stopping in time; cleaning up anyway");
            complete();
        });
    }

    void teardown() {
        control_.reset();
        signals_.reset();
        provider_.reset();
        host_.reset();
        flow_.reset();
        state_.reset();
        store_.reset();
        log_.flush();
    }

    DaemonOptions options_;
    ProviderConfiguration configuration_;
    std::vector<std::string> warnings_;
    // Declared first: every platform object below lives on it.
    AsioWorkQueue queue_;
    SyslogLog syslog_{"vantud", true};
    // Nothing on the work queue waits for the system log or the disk.
    AsyncSystemLog log_{[this](int priority, const std::string& line) { syslog_.write(priority, line); }};
    ServiceNotifier notifier_;
    ServiceStatus service_{notifier_};
    std::unique_ptr<SqliteDefaultsStore> store_;
    std::unique_ptr<WriteBehindStore> state_;
    std::unique_ptr<TunPacketFlow> flow_;
    std::unique_ptr<LinuxTunnelHost> host_;
    std::shared_ptr<PacketTunnelProvider> provider_;
    std::unique_ptr<control::ControlSocketServer> control_;
    std::unique_ptr<asio::signal_set> signals_;
    Phase phase_ = Phase::starting;
    int exitCode_ = 0;
};

// What a start with a configuration error runs on: a host that hands the
// provider the configuration and nothing else, and a packet flow that never
// delivers. The start fails before it needs either (no network call, no TUN
// device, no routes, no resolver change).
class ConfigurationOnlyHost final : public TunnelHost {
public:
    explicit ConfigurationOnlyHost(std::optional<ProviderConfiguration> configuration)
        : configuration_(std::move(configuration)) {}
    std::optional<ProtocolConfiguration> protocolConfiguration() const override {
        return ProtocolConfiguration{true, configuration_};
    }
    void setTunnelNetworkSettings(std::optional<TunnelNetworkSettings>, ErrorCompletion completion) override {
        completion(TunnelError::fromVantu("no tunnel device for a configuration that cannot start"));
    }
    void cancelTunnelWithError(const TunnelError&) override {}
    std::shared_ptr<UDPSession> createUDPSession(const std::string&, const std::string&) override { return nullptr; }
    std::shared_ptr<TCPConnection> createTCPConnection(const std::string&, const std::string&) override {
        return nullptr;
    }
    std::optional<NetworkPath> defaultPath() const override { return std::nullopt; }

private:
    std::optional<ProviderConfiguration> configuration_;
};

class IdlePacketFlow final : public PacketFlow {
public:
    void readPackets(ReadCompletion) override {}
    void writePackets(const std::vector<Bytes>&, const std::vector<int>&) override {}
};

// A configuration no tunnel can start with (or a file that does not parse:
// then there is none) still makes a start, so that its failure is recorded
// like any other: "startTunnel failed: ..." in the event log and a stop
// with its snapshot, persisted, for `vantuctl status` and `vantuctl report`
// to show once vantud is gone. Another daemon's state is never touched.
int recordConfigurationFailure(const DaemonOptions& options, std::optional<ProviderConfiguration> configuration) {
    try {
        AsioWorkQueue queue;
        // The system log only: standard error has its one line already.
        SyslogLog log("vantud", false);
        std::shared_ptr<PacketTunnelProvider> provider;
        control::ControlSocketServer control(
            queue.context(), options.controlSocket,
            [&provider](Bytes message, std::function<void(Bytes)> reply) {
                provider->handleAppMessage(message, [reply = std::move(reply)](std::optional<Bytes> answer) {
                    reply(answer.value_or(Bytes{}));
                });
            });
        control.open();
        SqliteDefaultsStore store(options.statePath());
        ConfigurationOnlyHost host(std::move(configuration));
        IdlePacketFlow flow;
        provider = PacketTunnelProvider::create(Platform{queue, flow, host, store, log});
        provider->startTunnel([&](std::optional<TunnelError>) {
            provider->stopTunnel(kReasonConfigurationFailed, [&] {
                control.close();
                queue.stop();
            });
        });
        queue.run();
    } catch (const std::exception& e) {
        // Another daemon runs, or the state cannot be written: the error on
        // standard error is all there is to say.
        std::cerr << "vantud: the failed start is not recorded: " << e.what() << std::endl;
    }
    return kExitConfigurationError;
}

// vantud --cleanup: what a daemon with these options left is removed. Run
// by the unit after every stop; after a failure that the unit answers with a
// restart, a kill switch's block stays for the next start to take over.
int cleanupOnly(const DaemonOptions& options) {
    const char* result = std::getenv("SERVICE_RESULT");
    const char* exitStatus = std::getenv("EXIT_STATUS");
    const bool restartFollows = result && std::string(result) != "success" &&
                                !(exitStatus && std::string(exitStatus) == "2");
    SyslogLog log("vantud", true);
    try {
        AsioWorkQueue queue;
        LinuxTunnelHost host(queue, options.host, std::nullopt, &log);
        if (options.host.killSwitch && restartFollows) {
            log.write(LOG_NOTICE, std::string("vantud: kill switch: the daemon ended (") + result +
                                      ") and is restarted; traffic stays blocked");
            return host.block() ? 1 : 0;
        }
        auto error = host.cleanup();
        if (auto dns = host.cleanupStaleDns(); dns && !error) error = dns;
        if (error) {
            std::cerr << "vantud: cleanup incomplete: " << error->description() << std::endl;
            return 1;
        }
        log.write(LOG_NOTICE, "vantud: cleanup done");
        return 0;
    } catch (const std::exception& e) {
        std::cerr << "vantud: cleanup failed: " << e.what() << std::endl;
        return 1;
    }
}

}  // namespace

}  // namespace vantu::daemon

int main(int argc, char** argv) {
    using namespace vantu::daemon;
    DaemonOptions options;
    try {
        options = parseDaemonArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        vantu::cli::printUsageError("vantud", e.what());
        return 2;
    }
    if (options.help) {
        std::cout << daemonUsage();
        return 0;
    }
    if (options.version) {
        vantu::cli::printVersion("vantud");
        return 0;
    }
    vantu::ProviderConfiguration configuration;
    if (options.cleanupOnly && options.configPath.empty()) return cleanupOnly(options);
    try {
        configuration = loadProviderConfiguration(options.configPath);
    } catch (const std::exception& e) {
        std::cerr << "vantud: " << e.what() << std::endl;
        // A broken file must not keep the last daemon's leftovers in place.
        if (options.cleanupOnly) return cleanupOnly(options);
        if (options.checkConfig) return kExitConfigurationError;
        return recordConfigurationFailure(options, std::nullopt);
    }
    const auto killSwitch = configuration.find("killSwitch");
    if (killSwitch != configuration.end() && killSwitch->is_boolean() && killSwitch->get<bool>()) {
        options.host.killSwitch = true;
    }
    if (options.cleanupOnly) return cleanupOnly(options);
    ConfigurationCheck check = checkConfiguration(configuration);
    if (configuration.contains("secretKey")) {
        if (auto warning = secretFileWarning(options.configPath, "secretKey")) check.warnings.push_back(*warning);
    }
    if (options.checkConfig) {
        std::cout << "configuration " << options.configPath << "\n";
        for (const auto& [name, value] : check.effective) {
            std::cout << "  " << name << std::string(name.size() < 24 ? 25 - name.size() : 1, ' ') << value << "\n";
        }
        for (const std::string& warning : check.warnings) std::cout << "warning: " << warning << "\n";
        if (check.error) {
            std::cout << "error: " << *check.error << "\n";
            return kExitConfigurationError;
        }
        std::cout << (check.warnings.empty() ? "no warnings\n" : "usable, with the warnings above\n");
        return 0;
    }
    // A file no tunnel can start with: exit 2, which the unit does not
    // restart, instead of a start that fails again every few seconds.
    if (check.error) {
        std::cerr << "vantud: configuration " << options.configPath << ": " << *check.error << std::endl;
        return recordConfigurationFailure(options, configuration);
    }
    vantu::cli::raiseDescriptorLimit();
    // A control client that hangs up early must not end the daemon.
    signal(SIGPIPE, SIG_IGN);
    Daemon daemon(std::move(options), std::move(configuration), std::move(check.warnings));
    return daemon.run();
}
