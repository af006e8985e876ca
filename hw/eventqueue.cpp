#include "hw/eventqueue.h"

#include <algorithm>
#include <bit>
#include <stdexcept>

namespace hw {

static_assert(EventQueue::Handle{1} << 63 != 0, "handles keep their order in the high bits");

EventQueue::EventQueue() : wheel_(kWheelSpan) {}

uint32_t EventQueue::takeSlot(Tick when) {
    if (when < now_)
        throw std::logic_error("an event cannot be scheduled in the past");
    if (!freeSlots_.empty()) {
        const uint32_t slot = freeSlots_.back();
        freeSlots_.pop_back();
        return slot;
    }
    if (slots_.size() >= (size_t{1} << kSlotBits))
        throw std::length_error("more events pending than the timeline holds");
    slots_.emplace_back();
    return static_cast<uint32_t>(slots_.size() - 1);
}

EventQueue::Handle EventQueue::place(uint32_t slot, Tick when) {
    const Handle handle = (++order_ << kSlotBits) | slot;
    Slot& s = slots_[slot];
    s.handle = handle;
    s.when = when;
    if (when - now_ < kWheelSpan) {
        link(slot);
    } else {
        s.onWheel = false;
        later_.push_back({when, handle});
        std::push_heap(later_.begin(), later_.end(), Later{});
    }
    ++live_;
    return handle;
}

void EventQueue::link(uint32_t slot) {
    Slot& s = slots_[slot];
    const size_t tick = s.when & (kWheelSpan - 1);
    Bucket& bucket = wheel_[tick];
    s.onWheel = true;
    s.next = kNone;
    s.previous = bucket.last;
    if (bucket.last == kNone) {
        bucket.first = slot;
        occupied_[tick / 64] |= uint64_t{1} << (tick % 64);
        occupiedWords_ |= uint64_t{1} << (tick / 64);
    } else {
        slots_[bucket.last].next = slot;
    }
    bucket.last = slot;
}

void EventQueue::unlink(uint32_t slot) {
    Slot& s = slots_[slot];
    const size_t tick = s.when & (kWheelSpan - 1);
    Bucket& bucket = wheel_[tick];
    (s.previous == kNone ? bucket.first : slots_[s.previous].next) = s.next;
    (s.next == kNone ? bucket.last : slots_[s.next].previous) = s.previous;
    if (bucket.first == kNone) {
        occupied_[tick / 64] &= ~(uint64_t{1} << (tick % 64));
        if (!occupied_[tick / 64])
            occupiedWords_ &= ~(uint64_t{1} << (tick / 64));
    }
    s.onWheel = false;
}

uint32_t EventQueue::firstOnWheel() const {
    if (!occupiedWords_)
        return kNone;
    // Every event on the wheel is due within the span from now, so the ticks from now's place round
    // the wheel are in time order.
    const unsigned start = now_ & (kWheelSpan - 1), word = start / 64, bit = start % 64;
    const uint64_t here = occupied_[word];
    unsigned tick;
    if (const uint64_t ahead = here & (~uint64_t{0} << bit)) {
        tick = word * 64 + std::countr_zero(ahead);
    } else if (const uint64_t words = occupiedWords_ & (word == 63 ? 0 : ~uint64_t{0} << (word + 1))) {
        const unsigned w = std::countr_zero(words);
        tick = w * 64 + std::countr_zero(occupied_[w]);
    } else if (const uint64_t wrapped = occupiedWords_ & ((uint64_t{1} << word) - 1)) {
        const unsigned w = std::countr_zero(wrapped);
        tick = w * 64 + std::countr_zero(occupied_[w]);
    } else {
        tick = word * 64 + std::countr_zero(here); // behind now's place in its own word
    }
    return wheel_[tick].first;
}

void EventQueue::prefetchNext() const {
    if (const uint32_t next = firstOnWheel(); next != kNone) {
        if (const void* subject = slots_[next].subject) {
            __builtin_prefetch(subject);
            __builtin_prefetch(static_cast<const char*>(subject) + 64);
        }
        if (const void* also = slots_[next].alsoSubject) { // a receiver reaches a line further in
            __builtin_prefetch(also);
            __builtin_prefetch(static_cast<const char*>(also) + 64);
            __builtin_prefetch(static_cast<const char*>(also) + 128);
        }
    }
}

bool EventQueue::scheduled(Handle handle) const {
    const uint32_t slot = slotOf(handle);
    return handle && slot < slots_.size() && slots_[slot].handle == handle;
}

bool EventQueue::cancel(Handle handle) {
    if (!scheduled(handle))
        return false;
    const uint32_t slot = slotOf(handle);
    Slot& s = slots_[slot];
    if (s.onWheel)
        unlink(slot);
    s.handle = 0;
    s.action.reset();
    freeSlots_.push_back(slot);
    --live_;
    return true;
}

void EventQueue::dropCancelled() const {
    while (!later_.empty() && slots_[slotOf(later_.front().handle)].handle != later_.front().handle) {
        std::pop_heap(later_.begin(), later_.end(), Later{});
        later_.pop_back();
    }
}

std::optional<Tick> EventQueue::nextTime() const {
    dropCancelled();
    const uint32_t wheel = firstOnWheel();
    if (wheel == kNone && later_.empty())
        return std::nullopt;
    if (wheel == kNone)
        return later_.front().when;
    return later_.empty() ? slots_[wheel].when : std::min(slots_[wheel].when, later_.front().when);
}

bool EventQueue::runNextUntil(Tick until) {
    dropCancelled();
    uint32_t slot = firstOnWheel();
    const bool fromHeap =
        !later_.empty() &&
        (slot == kNone || Later{}({slots_[slot].when, slots_[slot].handle}, later_.front()));
    if (fromHeap) {
        if (later_.front().when > until)
            return false;
        slot = slotOf(later_.front().handle);
        std::pop_heap(later_.begin(), later_.end(), Later{});
        later_.pop_back();
    } else {
        if (slot == kNone || slots_[slot].when > until)
            return false;
        unlink(slot);
    }
    Slot& s = slots_[slot];
    now_ = s.when;
    EventAction action = std::move(s.action);
    s.handle = 0;
    freeSlots_.push_back(slot);
    --live_;
    prefetchNext();
    action();
    return true;
}

void EventQueue::runUntil(Tick until) {
    while (runNextUntil(until)) {
    }
    if (until > now_)
        now_ = until;
}

} // namespace hw
