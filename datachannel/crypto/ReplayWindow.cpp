#include "datachannel/crypto/ReplayWindow.h"

namespace vantu {

namespace {
constexpr uint32_t kIndexMask = ReplayWindow::kBlocks - 1;
constexpr uint32_t kBitMask = ReplayWindow::kBlockBits - 1;
constexpr uint32_t kBlockShift = 6;  // log2(kBlockBits)
static_assert((ReplayWindow::kBlocks & kIndexMask) == 0, "block count must be a power of two");
static_assert((1u << kBlockShift) == ReplayWindow::kBlockBits);
}  // namespace

bool ReplayWindow::check(uint32_t seq) const {
    if (!any_ || seq > highest_) return true;
    if (highest_ - seq >= kWindow) return false;
    const uint32_t block = (seq >> kBlockShift) & kIndexMask;
    return (ring_[block] & (uint64_t(1) << (seq & kBitMask))) == 0;
}

bool ReplayWindow::commit(uint32_t seq) {
    if (!check(seq)) return false;
    const uint32_t block = seq >> kBlockShift;
    if (!any_) {
        // Start from a clean ring; nothing below the first number is ever
        // accepted since it is treated like any other highest number.
        ring_.fill(0);
        highest_ = seq;
        any_ = true;
    } else if (seq > highest_) {
        // Clear every block between the old top block and the new one; a jump
        // of a whole ring or more clears them all.
        const uint32_t current = highest_ >> kBlockShift;
        const uint32_t diff = block - current;
        const uint32_t toClear = diff < kBlocks ? diff : kBlocks;
        for (uint32_t i = 1; i <= toClear; ++i) ring_[(current + i) & kIndexMask] = 0;
        highest_ = seq;
    }
    ring_[block & kIndexMask] |= uint64_t(1) << (seq & kBitMask);
    return true;
}

}  // namespace vantu
