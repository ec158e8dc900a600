#pragma once

#include <array>
#include <cstdint>

namespace vantu {

// Sliding anti-replay window over a peer's sequence numbers, kept as a ring
// of 64-bit blocks so that advancing the window clears whole blocks instead
// of shifting the bitmap (the scheme of RFC 6479). The ring holds 2048 bits;
// one block is always being recycled, so the guaranteed window is 1984
// sequence numbers behind the highest one accepted.
//
// Callers check before spending work on authentication and commit only after
// the unit authenticated, so a forged unit can never move the window.
class ReplayWindow {
public:
    static constexpr uint32_t kBlockBits = 64;
    static constexpr uint32_t kBlocks = 32;
    static constexpr uint32_t kRingBits = kBlockBits * kBlocks;
    static constexpr uint32_t kWindow = kRingBits - kBlockBits;

    // True when seq is neither too old nor already seen. Changes nothing.
    bool check(uint32_t seq) const;
    // check() and, when it passes, marks seq as seen (advancing the window
    // for a new highest number). Returns whether seq was accepted.
    bool commit(uint32_t seq);

    uint32_t highest() const { return highest_; }
    bool empty() const { return !any_; }

private:
    std::array<uint64_t, kBlocks> ring_{};
    uint32_t highest_ = 0;
    bool any_ = false;
};

}  // namespace vantu
