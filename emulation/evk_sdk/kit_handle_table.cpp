#include "kit_handle_table.h"

#include <chrono>
#include <thread>

namespace Quorvan {
namespace evk {

namespace {

constexpr uint64_t kLeaseMask = (uint64_t{1} << 30) - 1;
constexpr uint64_t kFilling = uint64_t{1} << 30;
constexpr uint64_t kOpen = uint64_t{1} << 31;
constexpr int kGenerationShift = 32;
// Handles are the slot number and generation packed into a pointer-sized
// value; the low bits keep slot 0 from giving a null handle.
constexpr int kHandleSlotBits = 8;

uint32_t generationOf(uint64_t state) {
    return static_cast<uint32_t>(state >> kGenerationShift);
}

}  // namespace

KitHandleTable::Lease::~Lease() {
    if (slot_)
        slot_->state.fetch_sub(1, std::memory_order_release);
}

QuorvanCameraHandle KitHandleTable::add(std::unique_ptr<EmulatedKit> kit) {
    for (uint32_t index = 0; index < kSlots; ++index) {
        Slot& slot = slots_[index];
        uint64_t state = slot.state.load();
        if ((state & (kOpen | kFilling | kLeaseMask)) != 0)
            continue;
        // Generation 0 is never handed out, so no handle is ever 0-based.
        uint32_t generation = generationOf(state) + 1;
        if (generation == 0)
            generation = 1;
        const uint64_t filling = (uint64_t{generation} << kGenerationShift) | kFilling;
        if (!slot.state.compare_exchange_strong(state, filling))
            continue;
        slot.kit.store(kit.release());
        slot.state.store((uint64_t{generation} << kGenerationShift) | kOpen);
        const uintptr_t value = (uintptr_t{generation} << kHandleSlotBits) | (uintptr_t{index} + 1);
        return reinterpret_cast<QuorvanCameraHandle>(value);
    }
    return nullptr;
}

KitHandleTable::Slot* KitHandleTable::slotOf(QuorvanCameraHandle handle, uint32_t* generation) {
    const auto value = reinterpret_cast<uintptr_t>(handle);
    const uintptr_t number = value & ((uintptr_t{1} << kHandleSlotBits) - 1);
    if (number == 0 || number > kSlots)
        return nullptr;
    *generation = static_cast<uint32_t>(value >> kHandleSlotBits);
    if ((uintptr_t{*generation} << kHandleSlotBits | number) != value)
        return nullptr;
    return &slots_[number - 1];
}

KitHandleTable::Lease KitHandleTable::find(QuorvanCameraHandle handle) {
    uint32_t generation = 0;
    Slot* slot = slotOf(handle, &generation);
    if (!slot)
        return Lease{};
    uint64_t state = slot->state.load(std::memory_order_acquire);
    for (;;) {
        if ((state & kOpen) == 0 || generationOf(state) != generation)
            return Lease{};
        if (slot->state.compare_exchange_weak(state, state + 1, std::memory_order_acquire))
            return Lease{slot, slot->kit.load(std::memory_order_acquire)};
    }
}

bool KitHandleTable::remove(QuorvanCameraHandle handle) {
    uint32_t generation = 0;
    Slot* slot = slotOf(handle, &generation);
    if (!slot)
        return false;
    uint64_t state = slot->state.load();
    for (;;) {
        if ((state & kOpen) == 0 || generationOf(state) != generation)
            return false;
        if (slot->state.compare_exchange_weak(state, state & ~kOpen))
            break;
    }
    // The kit was stopped first, so the calls still inside it return soon.
    while ((slot->state.load(std::memory_order_acquire) & kLeaseMask) != 0)
        std::this_thread::sleep_for(std::chrono::microseconds(200));
    delete slot->kit.exchange(nullptr);
    // Free again; the generation stays until the next add raises it.
    slot->state.store(uint64_t{generation} << kGenerationShift);
    return true;
}

KitHandleTable& kitHandleTable() {
    static KitHandleTable* const table = new KitHandleTable;
    return *table;
}

}  // namespace evk
}  // namespace Quorvan
