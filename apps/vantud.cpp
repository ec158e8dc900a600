// vantud: the tunnel daemon. Runs one PacketTunnelProvider in the foreground
// on a TUN device, with the Linux tunnel host (routes, rules, DNS), the
// SQLite defaults store and syslog; answers app messages on a UNIX socket.
// Everything, signals and control connections included, runs on the
// provider's one work queue thread. See --help.

#include <signal.h>
#include <sys/resource.h>
#include <string.h>

#include <exception>
#include <iostream>
#include <memory>
#include <optional>
#include <string>
#include <vector>

#include <asio/signal_set.hpp>

#include "VantuPacketTunnel/PacketTunnelProvider.h"
#include "apps/ControlSocket.h"
#include "apps/DaemonOptions.h"
#include "platform/linux/AsioWorkQueue.h"
#include "platform/linux/LinuxTunnelHost.h"
#include "platform/linux/SqliteDefaultsStore.h"
#include "platform/linux/SystemLogs.h"
#include "platform/linux/TunPacketFlow.h"

namespace vantu::daemon {

namespace {

constexpr int kReasonUserInitiated = 1;
constexpr int kReasonProviderFailed = 2;
// A stop whose completion does not arrive in this time is finished anyway,
// so that the system is always cleaned up and the daemon always exits.
constexpr double kStopDeadlineSeconds = 15.0;

class Daemon {
public:
    Daemon(DaemonOptions options, ProviderConfiguration configuration)
        : options_(std::move(options)), configuration_(std::move(configuration)) {}

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
        // The control socket comes first: it is what finds another vantud
        // still running, before anything of that daemon's is touched.
        control_ = std::make_unique<control::ControlSocketServer>(
            queue_.context(), options_.controlSocket,
            [this](Bytes message, std::function<void(Bytes)> reply) {
                // Connections are served on the queue, which runs only once
                // the provider exists.
                provider_->handleAppMessage(message, [reply = std::move(reply)](std::optional<Bytes> answer) {
                    reply(answer.value_or(Bytes{}));
                });
            },
            [this](const std::string& line) { note(line); });
        try {
            control_->open();
            store_ = std::make_unique<SqliteDefaultsStore>(options_.statePath());
            flow_ = std::make_unique<TunPacketFlow>(queue_, options_.host.tunName, &log_);
            LinuxTunnelHostOptions hostOptions = options_.host;
            hostOptions.tunName = flow_->name();
            host_ = std::make_unique<LinuxTunnelHost>(queue_, hostOptions, configuration_, &log_);
        } catch (const std::exception& e) {
            std::cerr << "vantud: " << e.what() << std::endl;
            return 1;
        }
        if (!store_->movedAsidePath().empty()) {
            note("the state database " + options_.statePath() + " was unreadable; kept it as " +
                 store_->movedAsidePath() + " and started with a fresh one");
        }
        // A daemon that crashed or was killed left its rules, its table's
        // routes and perhaps a rewritten resolv.conf behind.
        if (auto error = host_->cleanupStale()) note("cleaning up after an earlier run: " + error->description());

        provider_ = PacketTunnelProvider::create(Platform{queue_, *flow_, *host_, *store_, log_});
        host_->setCancelHandler([this](const TunnelError& error) { onTunnelCancelled(error); });


        note("starting on " + flow_->name() + ", table " + std::to_string(options_.host.table) + ", fwmark " +
             std::to_string(options_.host.fwmark) + ", dns " + dnsModeName(options_.host.dnsMode) + ", control " +
             options_.controlSocket + ", state " + options_.statePath());
        provider_->startTunnel([this](std::optional<TunnelError> error) { onStarted(error); });

        while (phase_ != Phase::done) {
            try {
                queue_.run();
            } catch (const std::exception& e) {
                // One failing handler must not leave the routes in place.
                note(std::string("unexpected failure on the work queue: ") + e.what());
                if (phase_ == Phase::starting || phase_ == Phase::running) {
                    std::cerr << "vantud: internal error: " << e.what() << std::endl;
                    finish(kReasonProviderFailed, 1);
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
                finish(kReasonUserInitiated, 0);
            }
            waitForSignal();
        });
    }

    void onStarted(const std::optional<TunnelError>& error) {
        if (phase_ != Phase::starting) return;
        if (error) {
            std::cerr << "vantud: start failed: " << error->description() << std::endl;
            finish(kReasonProviderFailed, 1);
            return;
        }
        phase_ = Phase::running;
        note("tunnel up on " + flow_->name());
    }

    void onTunnelCancelled(const TunnelError& error) {
        if (phase_ == Phase::stopping || phase_ == Phase::done) return;
        std::cerr << "vantud: tunnel failed: " << error.description() << std::endl;
        finish(kReasonProviderFailed, 1);
    }

    // Stops the provider, then removes everything the tunnel put on the
    // system and ends the work queue.
    void finish(int reason, int exitCode) {
        if (phase_ == Phase::stopping || phase_ == Phase::done) return;
        phase_ = Phase::stopping;
        exitCode_ = exitCode;
        auto finished = std::make_shared<bool>(false);
        auto complete = [this, finished] {
            if (*finished) return;
            *finished = true;
            if (auto error = host_->cleanup()) note("cleanup incomplete: " + error->description());
            flow_->close();
            control_->close();
            if (signals_) {
                std::error_code ignored;
                signals_->cancel(ignored);
            }
            note(exitCode_ == 0 ? "stopped" : "stopped after a failure");
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
        store_.reset();
    }

    DaemonOptions options_;
    ProviderConfiguration configuration_;
    // Declared first: every platform object below lives on it.
    AsioWorkQueue queue_;
    SyslogLog log_{"vantud", true};
    std::unique_ptr<SqliteDefaultsStore> store_;
    std::unique_ptr<TunPacketFlow> flow_;
    std::unique_ptr<LinuxTunnelHost> host_;
    std::shared_ptr<PacketTunnelProvider> provider_;
    std::unique_ptr<control::ControlSocketServer> control_;
    std::unique_ptr<asio::signal_set> signals_;
    Phase phase_ = Phase::starting;
    int exitCode_ = 0;
};

}  // namespace

}  // namespace vantu::daemon

int main(int argc, char** argv) {
    using namespace vantu::daemon;
    DaemonOptions options;
    try {
        options = parseDaemonArguments(std::vector<std::string>(argv + 1, argv + argc));
    } catch (const UsageError& e) {
        std::cerr << "vantud: " << e.what() << "\n\n" << daemonUsage();
        return 2;
    }
    if (options.help) {
        std::cout << daemonUsage();
        return 0;
    }
    vantu::ProviderConfiguration configuration;
    try {
        configuration = loadProviderConfiguration(options.configPath);
    } catch (const std::exception& e) {
        std::cerr << "vantud: " << e.what() << std::endl;
        return 2;
    }
    // Every direct flow and every DNS query in flight holds a socket of its
    // own: the usual soft limit of 1024 descriptors would cap them long before
    // memory does, so take all the hard limit allows.
    if (rlimit files{}; getrlimit(RLIMIT_NOFILE, &files) == 0 && files.rlim_cur < files.rlim_max) {
        files.rlim_cur = files.rlim_max;
        setrlimit(RLIMIT_NOFILE, &files);
    }
    // A control client that hangs up early must not end the daemon.
    signal(SIGPIPE, SIG_IGN);
    Daemon daemon(std::move(options), std::move(configuration));
    return daemon.run();
}
