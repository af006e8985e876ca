// The machine's timeline: events at exact virtual times in 100 ns ticks, run in time order and, at the
// same tick, in the order they were scheduled, so every run of the same machine is the same.
#pragma once

#include <cstdint>
#include <functional>
#include <optional>
#include <vector>

namespace hw {

using Tick = uint64_t; // 100 ns

inline constexpr Tick kTicksPerSecond = 10'000'000;

class EventQueue {
public:
    using Handle = uint64_t;

    Tick now() const { return now_; }
    // Schedules `action` at `when` (not before now). Handles are never 0 and never reused.
    Handle at(Tick when, std::function<void()> action);
    Handle after(Tick delay, std::function<void()> action) { return at(now_ + delay, std::move(action)); }
    // Removes a scheduled event; false when it has already run or was cancelled.
    bool cancel(Handle handle);
    bool scheduled(Handle handle) const;
    std::optional<Tick> nextTime() const;
    size_t size() const { return live_; }

    // Runs the next event (time advances to it); false when there is none.
    bool runNext();
    // Runs every event due up to and including `until`, then sets the time to `until`.
    void runUntil(Tick until);
    void runFor(Tick duration) { runUntil(now_ + duration); }

private:
    // A binary heap of (time, order) over slots that hold the actions: scheduling and running cost the
    // logarithm of the events pending, with no allocation once the slots are there. A cancelled event's
    // slot is freed at once; its heap entry is dropped when it reaches the top.
    struct Entry {
        Tick when;
        uint64_t order;
        uint32_t slot;
    };
    struct Slot {
        std::function<void()> action;
        uint64_t order = 0; // the event's order while it is scheduled, 0 while the slot is free
    };
    struct Later { // the heap's order, as a type so that the heap's steps inline it
        bool operator()(const Entry& a, const Entry& b) const {
            return a.when != b.when ? a.when > b.when : a.order > b.order;
        }
    };
    static constexpr unsigned kSlotBits = 24;
    static Handle handleOf(uint64_t order, uint32_t slot) { return (order << kSlotBits) | slot; }
    // Drops the entries of cancelled events from the top.
    void dropCancelled() const;

    Tick now_ = 0;
    uint64_t order_ = 0;
    size_t live_ = 0;
    mutable std::vector<Entry> heap_;
    std::vector<Slot> slots_;
    std::vector<uint32_t> freeSlots_;
};

} // namespace hw
