// The machine's timeline: events at exact virtual times in 100 ns ticks, run in time order and, at the
// same tick, in the order they were scheduled, so every run of the same machine is the same.
#pragma once

#include <cstdint>
#include <functional>
#include <map>
#include <optional>
#include <unordered_map>

namespace hw {

using Tick = uint64_t; // 100 ns

inline constexpr Tick kTicksPerSecond = 10'000'000;

class EventQueue {
public:
    using Handle = uint64_t;

    Tick now() const { return now_; }
    // Schedules `action` at `when` (not before now). Handles are never 0.
    Handle at(Tick when, std::function<void()> action);
    Handle after(Tick delay, std::function<void()> action) { return at(now_ + delay, std::move(action)); }
    // Removes a scheduled event; false when it has already run or was cancelled.
    bool cancel(Handle handle);
    bool scheduled(Handle handle) const { return byHandle_.count(handle) != 0; }
    std::optional<Tick> nextTime() const;
    size_t size() const { return events_.size(); }

    // Runs the next event (time advances to it); false when there is none.
    bool runNext();
    // Runs every event due up to and including `until`, then sets the time to `until`.
    void runUntil(Tick until);
    void runFor(Tick duration) { runUntil(now_ + duration); }

private:
    using Key = std::pair<Tick, uint64_t>;
    Tick now_ = 0;
    uint64_t sequence_ = 0;
    std::map<Key, std::pair<Handle, std::function<void()>>> events_;
    std::unordered_map<Handle, Key> byHandle_;
};

} // namespace hw
