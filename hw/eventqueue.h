// The machine's timeline: events at exact virtual times in 100 ns ticks, run in time order and, at the
// same tick, in the order they were scheduled, so every run of the same machine is the same.
#pragma once

#include <array>
#include <cstddef>
#include <cstdint>
#include <cstring>
#include <new>
#include <optional>
#include <type_traits>
#include <utility>
#include <vector>

namespace hw {

using Tick = uint64_t; // 100 ns

inline constexpr Tick kTicksPerSecond = 10'000'000;

// What an event does: any callable, kept in place when it is small (the machine's events capture a
// pointer or two, or a character's frame), so that scheduling allocates nothing.
class EventAction {
public:
    static constexpr size_t kInline = 56;

    EventAction() = default;
    template <class F, class D = std::decay_t<F>,
              class = std::enable_if_t<!std::is_same_v<D, EventAction> && std::is_invocable_v<D&>>>
    EventAction(F&& f) { // NOLINT: converts from any callable, as std::function does
        emplace(std::forward<F>(f));
    }
    // Keeps `f` in place of what was kept.
    template <class F, class D = std::decay_t<F>>
    void emplace(F&& f) {
        reset();
        if constexpr (std::is_same_v<D, EventAction>) {
            take(f);
        } else if constexpr (sizeof(D) <= kInline && alignof(D) <= alignof(std::max_align_t) &&
                             std::is_nothrow_move_constructible_v<D>) {
            new (storage_) D(std::forward<F>(f));
            invoke_ = [](void* p) { (*static_cast<D*>(p))(); };
            if constexpr (!std::is_trivially_copyable_v<D>)
                ops_ = &kInPlaceOps<D>;
        } else {
            *reinterpret_cast<D**>(storage_) = new D(std::forward<F>(f));
            invoke_ = [](void* p) { (**static_cast<D**>(p))(); };
            ops_ = &kAllocatedOps<D>;
        }
    }
    EventAction(EventAction&& other) noexcept { take(other); }
    EventAction& operator=(EventAction&& other) noexcept {
        if (this != &other) {
            reset();
            take(other);
        }
        return *this;
    }
    EventAction(const EventAction&) = delete;
    EventAction& operator=(const EventAction&) = delete;
    ~EventAction() { reset(); }

    explicit operator bool() const { return invoke_ != nullptr; }
    void operator()() { invoke_(storage_); }
    void reset() {
        if (ops_)
            ops_->destroy(storage_);
        invoke_ = nullptr;
        ops_ = nullptr;
    }

private:
    // How a callable that is not a plain copy of bytes moves and ends; none for those that are.
    struct Ops {
        void (*relocate)(void* to, void* from);
        void (*destroy)(void* p);
    };
    template <class D>
    static constexpr Ops kInPlaceOps = {[](void* to, void* from) {
                                            new (to) D(std::move(*static_cast<D*>(from)));
                                            static_cast<D*>(from)->~D();
                                        },
                                        [](void* p) { static_cast<D*>(p)->~D(); }};
    template <class D>
    static constexpr Ops kAllocatedOps = {[](void* to, void* from) { std::memcpy(to, from, sizeof(D*)); },
                                          [](void* p) { delete *static_cast<D**>(p); }};

    void take(EventAction& other) {
        if (other.ops_)
            other.ops_->relocate(storage_, other.storage_);
        else
            std::memcpy(storage_, other.storage_, kInline);
        invoke_ = other.invoke_;
        ops_ = other.ops_;
        other.invoke_ = nullptr;
        other.ops_ = nullptr;
    }

    alignas(std::max_align_t) unsigned char storage_[kInline] = {};
    void (*invoke_)(void*) = nullptr;
    const Ops* ops_ = nullptr;
};

class EventQueue {
public:
    using Handle = uint64_t;

    EventQueue();

    Tick now() const { return now_; }
    // Schedules `action` at `when` (not before now), kept in the event's own place. Handles are never 0
    // and never reused.
    // `subject`, when given, is the object the action works on: it is brought into the processor's
    // cache while the event before this one runs, since with many devices it has long left it.
    // `alsoSubject` is a second object the action reaches (a frame's receiver), brought in the same way.
    template <class F>
    Handle at(Tick when, F&& action, const void* subject = nullptr, const void* alsoSubject = nullptr) {
        const uint32_t slot = takeSlot(when);
        try {
            slots_[slot].action.emplace(std::forward<F>(action));
        } catch (...) { // a large action's allocation failed: the slot is free again
            freeSlots_.push_back(slot);
            throw;
        }
        slots_[slot].subject = subject;
        slots_[slot].alsoSubject = alsoSubject;
        return place(slot, when);
    }
    template <class F>
    Handle after(Tick delay, F&& action) {
        return at(now_ + delay, std::forward<F>(action));
    }
    // Removes a scheduled event; false when it has already run or was cancelled.
    bool cancel(Handle handle);
    bool scheduled(Handle handle) const;
    std::optional<Tick> nextTime() const;
    size_t size() const { return live_; }

    // Runs the next event (time advances to it); false when there is none.
    bool runNext() { return runNextUntil(~Tick{0}); }
    // Runs the next event when it is due at or before `until`; false when none is.
    bool runNextUntil(Tick until);
    // Runs every event due up to and including `until`, then sets the time to `until`.
    void runUntil(Tick until);
    void runFor(Tick duration) { runUntil(now_ + duration); }

private:
    // Events due within the wheel's span of the present wait in a list per tick, in the order they
    // were scheduled: scheduling, cancelling and running cost the same however many are pending.
    // Later ones wait in a binary heap of (time, handle); the next event is the earlier of the two
    // firsts. A handle's high bits are its scheduling order, so (time, handle) orders as (time,
    // order) does. A cancelled event in the heap leaves its entry until it reaches the top.
    static constexpr unsigned kWheelBits = 12;
    static constexpr Tick kWheelSpan = Tick{1} << kWheelBits;
    static constexpr unsigned kWords = kWheelSpan / 64;
    static constexpr unsigned kSlotBits = 24;
    static constexpr uint32_t kNone = ~uint32_t{0};

    struct Slot {
        EventAction action;
        const void* subject = nullptr;
        const void* alsoSubject = nullptr;
        Handle handle = 0; // 0 while the slot is free
        Tick when = 0;
        uint32_t previous = kNone, next = kNone; // the tick's list, while on the wheel
        bool onWheel = false;
    };
    struct Bucket {
        uint32_t first = kNone, last = kNone;
    };
    struct Entry {
        Tick when;
        Handle handle;
    };
    struct Later { // the heap's order, as a type so that the heap's steps inline it
        bool operator()(const Entry& a, const Entry& b) const {
            return a.when != b.when ? a.when > b.when : a.handle > b.handle;
        }
    };
    static uint32_t slotOf(Handle handle) {
        return static_cast<uint32_t>(handle & ((Handle{1} << kSlotBits) - 1));
    }

    // A free slot for an event at `when`; refuses a time in the past.
    uint32_t takeSlot(Tick when);
    // Puts the event in `slot`, its action already there, on the wheel or in the heap.
    Handle place(uint32_t slot, Tick when);
    void link(uint32_t slot);
    void unlink(uint32_t slot);
    // The slot of the wheel's earliest event, kNone when the wheel is empty.
    uint32_t firstOnWheel() const;
    // Brings the subject of the wheel's earliest event into the cache.
    void prefetchNext() const;
    // Drops the entries of cancelled events from the heap's top.
    void dropCancelled() const;

    Tick now_ = 0;
    uint64_t order_ = 0;
    size_t live_ = 0;
    std::vector<Slot> slots_;
    std::vector<uint32_t> freeSlots_;
    std::vector<Bucket> wheel_;
    std::array<uint64_t, kWords> occupied_{}; // a bit per tick whose list is not empty
    uint64_t occupiedWords_ = 0;              // a bit per word of `occupied_` that is not zero
    mutable std::vector<Entry> later_;
};

} // namespace hw
