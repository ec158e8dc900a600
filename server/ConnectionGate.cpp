#include "server/ConnectionGate.h"

namespace vantu::server {

std::string peerKey(const asio::ip::address& address) {
    if (address.is_v4()) return address.to_string();
    const asio::ip::address_v6 v6 = address.to_v6();
    if (v6.is_v4_mapped()) return asio::ip::make_address_v4(asio::ip::v4_mapped, v6).to_string();
    asio::ip::address_v6::bytes_type bytes = v6.to_bytes();
    for (size_t i = 8; i < bytes.size(); ++i) bytes[i] = 0;
    return asio::ip::address_v6(bytes).to_string() + "/64";
}

ConnectionGate::Admission ConnectionGate::admit(uint64_t id, const std::string& address, Time now) {
    Admission admission;
    if (from(address) >= limits_.perAddress) return admission;
    if (entries_.size() >= limits_.total) {
        const std::list<uint64_t>& first = unproven_.empty() ? done_ : unproven_;
        if (first.empty()) return admission;
        admission.evicted = first.front();
        erase(entries_.find(first.front()));
    }
    unproven_.push_back(id);
    entries_[id] = Entry{address, now + limits_.proveWithin, State::unproven, std::prev(unproven_.end())};
    ++perAddress_[address];
    admission.admitted = true;
    return admission;
}

void ConnectionGate::prove(uint64_t id) {
    const auto it = entries_.find(id);
    if (it == entries_.end() || it->second.state != State::unproven) return;
    unlist(it->second);
    it->second.state = State::proven;
}

void ConnectionGate::done(uint64_t id) {
    const auto it = entries_.find(id);
    if (it == entries_.end() || it->second.state == State::done) return;
    unlist(it->second);
    done_.push_back(id);
    it->second.order = std::prev(done_.end());
    it->second.state = State::done;
}

void ConnectionGate::unlist(Entry& entry) {
    if (entry.state == State::unproven) unproven_.erase(entry.order);
    if (entry.state == State::done) done_.erase(entry.order);
}

void ConnectionGate::remove(uint64_t id) {
    const auto it = entries_.find(id);
    if (it != entries_.end()) erase(it);
}

std::vector<uint64_t> ConnectionGate::expire(Time now) {
    std::vector<uint64_t> expired;
    while (!unproven_.empty()) {
        const auto it = entries_.find(unproven_.front());
        if (it->second.deadline > now) break;
        expired.push_back(it->first);
        erase(it);
    }
    return expired;
}

size_t ConnectionGate::from(const std::string& address) const {
    const auto it = perAddress_.find(address);
    return it == perAddress_.end() ? 0 : it->second;
}

void ConnectionGate::erase(std::unordered_map<uint64_t, Entry>::iterator it) {
    unlist(it->second);
    const auto count = perAddress_.find(it->second.address);
    if (--count->second == 0) perAddress_.erase(count);
    entries_.erase(it);
}

}  // namespace vantu::server
