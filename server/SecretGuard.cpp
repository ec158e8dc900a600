#include "server/SecretGuard.h"

#include <algorithm>

namespace vantu::server {

namespace {

double seconds(std::chrono::steady_clock::duration d) { return std::chrono::duration<double>(d).count(); }

std::chrono::milliseconds roundedUp(std::chrono::steady_clock::duration d) {
    return std::chrono::ceil<std::chrono::milliseconds>(d);
}

}  // namespace

void SecretGuard::refill(Entry& entry, Time now) {
    if (now < entry.shutUntil) return;
    const Time from = std::max(entry.refilled, entry.shutUntil);
    entry.tries = std::min(kBurst, entry.tries + seconds(now - from) / seconds(kRefill));
    entry.refilled = now;
}

std::optional<std::chrono::milliseconds> SecretGuard::wait(const std::string& address, Time now) {
    const auto it = entries_.find(address);
    if (it == entries_.end()) return std::nullopt;
    Entry& entry = it->second;
    refill(entry, now);
    if (now < entry.shutUntil) return roundedUp(entry.shutUntil - now);
    if (entry.tries >= 1) return std::nullopt;
    return roundedUp(std::chrono::duration_cast<std::chrono::steady_clock::duration>((1 - entry.tries) * kRefill));
}

void SecretGuard::failed(const std::string& address, Time now) {
    auto it = entries_.find(address);
    if (it == entries_.end()) {
        if (entries_.size() >= kMaxAddresses) makeRoom(now);
        it = entries_.emplace(address, Entry{kBurst, now, {}, {}, 0}).first;
    }
    Entry& entry = it->second;
    refill(entry, now);
    if (entry.tries >= kBurst) entry.strikes = 0;
    entry.tries = std::max(0.0, entry.tries - 1);
    entry.lastFailure = now;
    if (entry.tries >= 1) return;
    ++entry.strikes;
    const auto backoff = std::min<std::chrono::seconds>(kFirstBackoff * (1LL << std::min(entry.strikes - 1, 20)),
                                                        kMaxBackoff);
    entry.shutUntil = now + backoff;
}

void SecretGuard::makeRoom(Time now) {
    auto victim = entries_.end();
    for (auto it = entries_.begin(); it != entries_.end(); ++it) {
        refill(it->second, now);
        if (it->second.tries >= kBurst) {
            entries_.erase(it);
            return;
        }
        if (victim == entries_.end() || it->second.lastFailure < victim->second.lastFailure) victim = it;
    }
    if (victim != entries_.end()) entries_.erase(victim);
}

}  // namespace vantu::server
