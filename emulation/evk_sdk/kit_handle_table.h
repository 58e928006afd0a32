// The open kits, found by handle. Each handle has a slot of its own with a
// reference count in one atomic word, so the capture paths of two kits
// share no lock (not even the table's), a stale or made-up handle is
// refused instead of followed, and a kit closed while another thread still
// captures on it is destroyed only when that call has returned.
#pragma once

#include <atomic>
#include <cstdint>
#include <memory>

#include "emulated_kit.h"
#include "quorvan_evk_sdk.h"

namespace Quorvan {
namespace evk {

class KitHandleTable {
    struct Slot;

public:
    static constexpr uint32_t kSlots = 64;

    // A kit in use by one call; the kit stays alive while the lease lasts.
    class Lease {
    public:
        Lease() = default;
        Lease(Slot* slot, EmulatedKit* kit) : slot_(slot), kit_(kit) {}
        ~Lease();
        Lease(Lease&& other) noexcept : slot_(other.slot_), kit_(other.kit_) {
            other.slot_ = nullptr;
            other.kit_ = nullptr;
        }
        Lease(const Lease&) = delete;
        Lease& operator=(const Lease&) = delete;
        Lease& operator=(Lease&&) = delete;

        explicit operator bool() const { return kit_ != nullptr; }
        EmulatedKit* operator->() const { return kit_; }

    private:
        Slot* slot_ = nullptr;
        EmulatedKit* kit_ = nullptr;
    };

    // Null when every slot is taken.
    QuorvanCameraHandle add(std::unique_ptr<EmulatedKit> kit);
    Lease find(QuorvanCameraHandle handle);
    // Refuses further leases, waits for the current ones to end, then
    // destroys the kit; false for a handle that is not open.
    bool remove(QuorvanCameraHandle handle);

private:
    // state: bits 0-29 leases, bit 30 being filled, bit 31 open, 32-63 generation.
    struct alignas(64) Slot {
        std::atomic<uint64_t> state{0};
        std::atomic<EmulatedKit*> kit{nullptr};
    };

    Slot* slotOf(QuorvanCameraHandle handle, uint32_t* generation);

    Slot slots_[kSlots];
};

// The process's table, never destroyed (a capture thread may still be
// inside the library while static objects are torn down at exit).
KitHandleTable& kitHandleTable();

}  // namespace evk
}  // namespace Quorvan
