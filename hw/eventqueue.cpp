#include "hw/eventqueue.h"

#include <stdexcept>

namespace hw {

EventQueue::Handle EventQueue::at(Tick when, std::function<void()> action) {
    if (when < now_)
        throw std::logic_error("an event cannot be scheduled in the past");
    Key key{when, ++sequence_};
    Handle handle = sequence_;
    events_.emplace(key, std::make_pair(handle, std::move(action)));
    byHandle_.emplace(handle, key);
    return handle;
}

bool EventQueue::cancel(Handle handle) {
    auto it = byHandle_.find(handle);
    if (it == byHandle_.end())
        return false;
    events_.erase(it->second);
    byHandle_.erase(it);
    return true;
}

std::optional<Tick> EventQueue::nextTime() const {
    if (events_.empty())
        return std::nullopt;
    return events_.begin()->first.first;
}

bool EventQueue::runNext() {
    if (events_.empty())
        return false;
    auto first = events_.begin();
    now_ = first->first.first;
    auto action = std::move(first->second.second);
    byHandle_.erase(first->second.first);
    events_.erase(first);
    action();
    return true;
}

void EventQueue::runUntil(Tick until) {
    while (!events_.empty() && events_.begin()->first.first <= until)
        runNext();
    if (until > now_)
        now_ = until;
}

} // namespace hw
