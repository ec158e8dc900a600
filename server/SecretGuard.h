#pragma once

#include <chrono>
#include <optional>
#include <string>
#include <unordered_map>

namespace vantu::server {

// What failed secrets cost the address that sends them (keyed by peerKey()).
// Each address has kBurst tries, refilled at one per kRefill; a failure
// takes one. The failure that leaves less than one try shuts the address
// out for a backoff that doubles each time it runs dry (kFirstBackoff up
// to kMaxBackoff), and the refill only starts again after it. Meanwhile its
// requests are refused before their secret is looked at, so that a guess
// tells nothing. The backoff is forgotten once the tries are full again,
// and at the first correct secret.
//
// Addresses are independent: a correct secret from another address is
// never slowed (one behind the guesser's address waits with it). At most
// kMaxAddresses are remembered; a new one pushes out one that has refilled,
// or else the one that failed longest ago. Pure: the caller passes the time.
class SecretGuard {
public:
    using Time = std::chrono::steady_clock::time_point;
    static constexpr double kBurst = 5;
    static constexpr std::chrono::seconds kRefill{2};
    static constexpr std::chrono::seconds kFirstBackoff{1};
    static constexpr std::chrono::seconds kMaxBackoff{300};
    static constexpr size_t kMaxAddresses = 4096;

    // How long `address` must wait before its secret is checked; nullopt
    // when it may be checked now.
    std::optional<std::chrono::milliseconds> wait(const std::string& address, Time now);
    void failed(const std::string& address, Time now);
    void succeeded(const std::string& address) { entries_.erase(address); }
    size_t size() const { return entries_.size(); }

private:
    struct Entry {
        double tries = kBurst;
        Time refilled{};
        Time shutUntil{};
        Time lastFailure{};
        int strikes = 0;
    };
    static void refill(Entry& entry, Time now);
    void makeRoom(Time now);

    std::unordered_map<std::string, Entry> entries_;
};

}  // namespace vantu::server
