#include "hw/eventqueue.h"

#include <algorithm>
#include <stdexcept>

namespace hw {

EventQueue::Handle EventQueue::at(Tick when, std::function<void()> action) {
    if (when < now_)
        throw std::logic_error("an event cannot be scheduled in the past");
    uint32_t slot;
    if (!freeSlots_.empty()) {
        slot = freeSlots_.back();
        freeSlots_.pop_back();
    } else {
        if (slots_.size() >= (size_t{1} << kSlotBits))
            throw std::length_error("more events pending than the timeline holds");
        slot = static_cast<uint32_t>(slots_.size());
        slots_.emplace_back();
    }
    const uint64_t order = ++order_;
    slots_[slot].action = std::move(action);
    slots_[slot].order = order;
    heap_.push_back({when, order, slot});
    std::push_heap(heap_.begin(), heap_.end(), Later{});
    ++live_;
    return handleOf(order, slot);
}

bool EventQueue::scheduled(Handle handle) const {
    const uint32_t slot = static_cast<uint32_t>(handle & ((Handle{1} << kSlotBits) - 1));
    return handle && slot < slots_.size() && slots_[slot].order == (handle >> kSlotBits);
}

bool EventQueue::cancel(Handle handle) {
    if (!scheduled(handle))
        return false;
    Slot& slot = slots_[handle & ((Handle{1} << kSlotBits) - 1)];
    slot.order = 0;
    slot.action = nullptr;
    freeSlots_.push_back(static_cast<uint32_t>(handle & ((Handle{1} << kSlotBits) - 1)));
    --live_;
    return true;
}

void EventQueue::dropCancelled() const {
    while (!heap_.empty() && slots_[heap_.front().slot].order != heap_.front().order) {
        std::pop_heap(heap_.begin(), heap_.end(), Later{});
        heap_.pop_back();
    }
}

std::optional<Tick> EventQueue::nextTime() const {
    dropCancelled();
    if (heap_.empty())
        return std::nullopt;
    return heap_.front().when;
}

bool EventQueue::runNext() {
    dropCancelled();
    if (heap_.empty())
        return false;
    const Entry next = heap_.front();
    std::pop_heap(heap_.begin(), heap_.end(), Later{});
    heap_.pop_back();
    now_ = next.when;
    Slot& slot = slots_[next.slot];
    std::function<void()> action = std::move(slot.action);
    slot.action = nullptr;
    slot.order = 0;
    freeSlots_.push_back(next.slot);
    --live_;
    action();
    return true;
}

void EventQueue::runUntil(Tick until) {
    for (std::optional<Tick> next = nextTime(); next && *next <= until; next = nextTime())
        runNext();
    if (until > now_)
        now_ = until;
}

} // namespace hw
