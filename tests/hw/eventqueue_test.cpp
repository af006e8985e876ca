// The timeline's order, cancellation and handles, against a plain ordered reference; and the receiver's
// sampling of a character sent as it expects, against the bit-by-bit sampling.
#include "hw/eventqueue.h"
#include "hw/uart.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <array>
#include <cmath>
#include <functional>
#include <map>
#include <memory>
#include <random>
#include <set>
#include <vector>

namespace {

TEST(EventQueue, RunsInTimeThenSchedulingOrderAsAnOrderedReferenceDoes) {
    hw::EventQueue q;
    std::mt19937_64 random(7);
    std::map<std::pair<hw::Tick, uint64_t>, int> reference; // (time, order) -> id
    std::map<int, hw::EventQueue::Handle> handles;
    std::map<int, std::pair<hw::Tick, uint64_t>> keys;
    std::vector<int> ran;
    std::set<hw::EventQueue::Handle> seen;
    uint64_t order = 0;
    int next = 0;
    for (int step = 0; step < 20000; ++step) {
        const unsigned what = random() % 10;
        if (what < 6) { // schedule, often at the same tick as others, sometimes far beyond the wheel
            const unsigned kind = random() % 8; // near; about the wheel's span of 4096 ticks; far
            const hw::Tick when = q.now() + (kind > 1    ? random() % 50
                                             : kind == 1 ? 4000 + random() % 150
                                                         : random() % 20000);
            const int id = next++;
            const auto handle = q.at(when, [&ran, id] { ran.push_back(id); });
            EXPECT_TRUE(seen.insert(handle).second) << "a handle is never given twice";
            EXPECT_NE(handle, 0u);
            handles[id] = handle;
            keys[id] = {when, ++order};
            reference[keys[id]] = id;
        } else if (what < 8 && !handles.empty()) { // cancel one
            auto it = std::next(handles.begin(), random() % handles.size());
            EXPECT_TRUE(q.scheduled(it->second));
            EXPECT_TRUE(q.cancel(it->second));
            EXPECT_FALSE(q.cancel(it->second)) << "cancelled once";
            EXPECT_FALSE(q.scheduled(it->second));
            reference.erase(keys[it->first]);
            handles.erase(it);
        } else if (what == 9 && step % 7 == 0) { // let time pass up to a point
            const hw::Tick until = q.now() + random() % 5000;
            size_t at = ran.size();
            q.runUntil(until);
            while (!reference.empty() && reference.begin()->first.first <= until) {
                ASSERT_LT(at, ran.size());
                EXPECT_EQ(ran[at++], reference.begin()->second);
                handles.erase(reference.begin()->second);
                reference.erase(reference.begin());
            }
            EXPECT_EQ(at, ran.size()) << "nothing ran that was not due";
            EXPECT_EQ(q.now(), until);
        } else if (!reference.empty()) { // run the next
            const auto first = reference.begin();
            ASSERT_EQ(q.nextTime(), first->first.first);
            ASSERT_TRUE(q.runNext());
            ASSERT_EQ(ran.back(), first->second);
            EXPECT_EQ(q.now(), first->first.first);
            EXPECT_FALSE(q.scheduled(handles[first->second])) << "run, it is no longer scheduled";
            handles.erase(first->second);
            reference.erase(first);
        }
        ASSERT_EQ(q.size(), reference.size());
    }
    q.runUntil(q.now() + 20000);
    EXPECT_EQ(q.size(), 0u);
    EXPECT_FALSE(q.nextTime().has_value());
    EXPECT_FALSE(q.runNext());
    EXPECT_THROW(q.at(q.now() - 1, [] {}), std::logic_error);
}

TEST(EventQueue, AnEventMayScheduleAndCancelOthersWhileItRuns) {
    hw::EventQueue q;
    std::vector<int> ran;
    hw::EventQueue::Handle victim = q.at(20, [&] { ran.push_back(99); });
    q.at(10, [&] {
        ran.push_back(1);
        q.cancel(victim);
        q.at(10, [&] { ran.push_back(2); }); // same tick: after those already due then
        q.after(5, [&] { ran.push_back(3); });
    });
    q.at(10, [&] { ran.push_back(4); });
    q.runUntil(100);
    EXPECT_EQ(ran, (std::vector<int>{1, 4, 2, 3}));
    EXPECT_EQ(q.now(), 100u);
}

// Events due round the whole wheel from wherever now stands, and just beyond it, run in time order.
TEST(EventQueue, EventsAllRoundTheWheelRunInTimeOrder) {
    for (hw::Tick start : {0, 5, 63, 64, 70, 4031, 4095, 4096, 5000}) {
        hw::EventQueue q;
        q.runUntil(start);
        std::vector<hw::Tick> ran;
        for (hw::Tick delay : {4095, 4090, 1, 4093, 64, 4096, 2, 10000, 0, 4097, 4089})
            q.at(start + delay, [&q, &ran] { ran.push_back(q.now()); });
        q.runUntil(start + 20000);
        EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end())) << "from " << start;
        EXPECT_EQ(ran.size(), 11u);
        // Only events just short of a whole turn: they sit behind now in now's own stretch of the wheel.
        ran.clear();
        for (hw::Tick delay : {4095, 4090, 4093, 1})
            q.after(delay, [&q, &ran] { ran.push_back(q.now()); });
        q.runFor(4096);
        EXPECT_TRUE(std::is_sorted(ran.begin(), ran.end())) << "from " << start;
        EXPECT_EQ(ran.size(), 4u);
    }
}

// The callables an event keeps: small ones in place, large ones or those that own something moved or
// freed exactly once, whether they run or are cancelled.
TEST(EventQueue, AnEventsActionIsKeptAndFreedOnce) {
    auto owned = std::make_shared<int>(0);
    {
        hw::EventQueue q;
        std::array<uint64_t, 16> large{};
        large[15] = 5;
        int sum = 0;
        q.at(3, [owned, &sum] { sum += ++*owned; });
        q.at(2, [large, &sum] { sum += int(large[15]); });
        const auto dropped = q.at(4, [owned] { *owned += 100; });
        q.at(1, std::function<void()>([owned, &sum] { sum += 10 * ++*owned; }));
        EXPECT_EQ(owned.use_count(), 4);
        EXPECT_TRUE(q.cancel(dropped));
        EXPECT_EQ(owned.use_count(), 3) << "a cancelled event's action is freed at once";
        q.runUntil(10);
        EXPECT_EQ(sum, 10 + 5 + 2);
        EXPECT_EQ(owned.use_count(), 1);
        q.at(20, [owned] {}); // still pending when the timeline ends
        EXPECT_EQ(owned.use_count(), 2);
    }
    EXPECT_EQ(owned.use_count(), 1);
}

// The line's rounding of times to ticks is the library's, halves away from zero, including the values
// just either side of a half.
TEST(LineTiming, TicksRoundAsTheLibraryRoundsThem) {
    std::mt19937_64 random(11);
    std::vector<double> values = {0.0, 0.5, 1.5, 2.5, 108.50694444444444, 4503599627370495.5};
    for (int i = 0; i < 200000; ++i) {
        const double half = double(random() % 100000000) + 0.5;
        values.insert(values.end(), {half, std::nextafter(half, 0.0), std::nextafter(half, 1e18),
                                     std::ldexp(double(random() >> 11), -int(random() % 60))});
    }
    for (double v : values)
        ASSERT_EQ(hw::RoundTicks(v), static_cast<hw::Tick>(std::llround(v))) << std::hexfloat << v;
}

TEST(LineSampling, ACharacterSentAsTheReceiverExpectsReadsAsTheBitsSay) {
    for (unsigned dataBits = 5; dataBits <= 8; ++dataBits)
        for (uint8_t parity : {uint8_t(0), hw::reg::LCR_ODD_PARITY, hw::reg::LCR_EVEN_PARITY,
                               hw::reg::LCR_MARK_PARITY, hw::reg::LCR_SPACE_PARITY})
            for (unsigned data = 0; data < 256; ++data) {
                hw::Frame frame;
                frame.data = static_cast<uint8_t>(data);
                frame.dataBits = dataBits;
                frame.parity = parity;
                frame.bitTicks = 10'000'000.0 / 921600;
                // A sender a hair off the receiver's rate is sampled bit by bit: the same result.
                hw::Frame nearly = frame;
                nearly.bitTicks *= 1 + 1e-9;
                const hw::Sampled fast = hw::sample(frame, frame), slow = hw::sample(nearly, frame);
                ASSERT_TRUE(fast.valid && slow.valid);
                ASSERT_EQ(fast.data, slow.data) << dataBits << " bits, " << data;
                ASSERT_EQ(fast.errors, slow.errors) << dataBits << " bits, " << data;
                EXPECT_EQ(fast.errors, 0);
            }
    // Injected errors still take the bit-by-bit way.
    hw::Frame bad;
    bad.bitTicks = 100;
    bad.data = 0x41;
    bad.badStop = true;
    EXPECT_EQ(hw::sample(bad, bad).errors, hw::reg::LSR_FE);
}

} // namespace
