// The engine's interrupt service, modem lines and flow control, wait-on-mask, and the read, write and
// immediate-character paths, on a UART model wired to a scripted peer.
#include "engine_fixture.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <cstring>

TEST_F(EngineTest, ReceivedCharactersLandInTheRingBuffer) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    peer->sendAt(kernel.now(), {'a', 'b', 'c'});
    Run(100'000);
    EXPECT_EQ(RingContents(), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(ext->PerfStats.ReceivedCount, 3u);
}

TEST_F(EngineTest, TheTransmitterIsFedInBurstsOfTheSoftLimit) {
    struct Case {
        hw::UartKind kind;
        UCHAR type;
        uint32_t clock;
        ULONG burst;
    } cases[] = {{hw::UartKind::Uart16C950, 9, 14745600, 128},
                 {hw::UartKind::Uart16750, 7, 1843200, 64},
                 {hw::UartKind::Uart16550, 5, 1843200, 16},
                 {hw::UartKind::Uart16450, 4, 1843200, 1}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.burst);
        MakePort(c.kind, c.type, c.clock, 115200, 256);
        ext->pChip_Uart->DisableRxDataAvailableInterrupt(); // only transmit interrupts count
        const size_t n = c.burst == 1 ? 100 : 1000;
        auto data = Pattern(n);
        auto written = file->write(data, kernel.now() + hw::kTicksPerSecond);
        EXPECT_EQ(written.status, STATUS_SUCCESS);
        EXPECT_EQ(written.information, n);
        Run(hw::kTicksPerSecond / 50); // the last burst leaves the FIFO after the write has completed
        EXPECT_EQ(peer->receivedBytes(), data);
        int bursts = static_cast<int>((n + c.burst - 1) / c.burst);
        EXPECT_GE(counters.isrCalls, bursts);
        EXPECT_LE(counters.isrCalls, bursts + 2) << "one transmit interrupt per burst";
        EXPECT_EQ(ext->PerfStats.TransmittedCount, n);
        TearDown();
        ext = nullptr;
        counters = {};
        ASSERT_EQ(ConstructResourceKiller(), STATUS_SUCCESS);
    }
}

TEST_F(EngineTest, ReceiveHoldsEngageAtTheXoffLimitAndReleaseAtTheXonLimit) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 64);
    SERIAL_HANDFLOW flow{SERIAL_DTR_HANDSHAKE, SERIAL_RTS_HANDSHAKE | SERIAL_AUTO_RECEIVE, 32, 8};
    CV_HANDFLOW_CONTEXT context{ext, &flow};
    CvSynchronizeWithIsr(ext, SerialSetHandFlow, &context);
    EXPECT_TRUE(uart->mcr() & 0x03) << "DTR and RTS up";
    peer->sendAt(kernel.now(), Pattern(60));
    Run(hw::kTicksPerSecond / 100);
    EXPECT_EQ(ext->RXHolding,
              static_cast<ULONG>(SERIAL_RX_DTR_HOLD | SERIAL_RX_RTS_HOLD | SERIAL_RX_XOFF_HOLD));
    EXPECT_EQ(uart->mcr() & 0x03, 0) << "DTR and RTS lowered at the XOFF limit";
    auto bytes = peer->receivedBytes();
    ASSERT_FALSE(bytes.empty());
    EXPECT_EQ(bytes.back(), 0x13) << "XOFF on the wire";
    Drain(20); // 40 left: above the XON limit
    Run(hw::kTicksPerSecond / 100);
    EXPECT_NE(ext->RXHolding, 0u);
    Drain(10); // 30 left: at or below it
    Run(hw::kTicksPerSecond / 100);
    EXPECT_EQ(ext->RXHolding, 0u);
    EXPECT_EQ(uart->mcr() & 0x03, 0x03);
    EXPECT_EQ(peer->receivedBytes().back(), 0x11) << "XON on the wire";
}

TEST_F(EngineTest, CtsHandshakeHoldsTransmissionUntilCtsRises) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE, SERIAL_RTS_CONTROL, 128, 32};
    CV_HANDFLOW_CONTEXT context{ext, &flow};
    CvSynchronizeWithIsr(ext, SerialSetHandFlow, &context);
    EXPECT_EQ(ext->TXHolding, static_cast<ULONG>(SERIAL_TX_WAITING_FOR_CTS));
    auto write = file->startWrite(Pattern(300));
    Run(hw::kTicksPerSecond / 20);
    EXPECT_TRUE(peer->received().empty()) << "nothing leaves while CTS is low";
    hw::Tick raised = kernel.now();
    peer->modemAt(raised, hw::ModemInputs{true, false, false, false});
    auto done = file->wait(write, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    Run(hw::kTicksPerSecond / 50);
    ASSERT_EQ(peer->received().size(), 300u);
    double charTicks = Format(115200).ticks();
    EXPECT_LE(peer->received().front().time, raised + static_cast<hw::Tick>(2 * charTicks))
        << "restarted within one interrupt of CTS rising";
}

TEST_F(EngineTest, ReceivedXoffHoldsAndXonResumesTransmission) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    ext->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
    peer->sendAt(kernel.now(), {0x13});
    Run(hw::kTicksPerSecond / 100);
    EXPECT_EQ(ext->TXHolding, static_cast<ULONG>(SERIAL_TX_WAITING_FOR_XON));
    EXPECT_TRUE(RingContents().empty()) << "flow characters are not stored";
    auto write = file->startWrite(Pattern(10));
    Run(hw::kTicksPerSecond / 100);
    EXPECT_TRUE(peer->received().empty());
    peer->sendAt(kernel.now(), {0x11});
    EXPECT_EQ(file->wait(write, kernel.now() + hw::kTicksPerSecond).information, 10u);
    Run(hw::kTicksPerSecond / 100);
    EXPECT_EQ(peer->received().size(), 10u);
}

TEST_F(EngineTest, WaitEventsFireFromTheirCauses) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 64);
    auto setMask = [&](ULONG mask) {
        std::vector<uint8_t> in(4);
        std::memcpy(in.data(), &mask, 4);
        return file->control(IOCTL_SERIAL_SET_WAIT_MASK, in, 0);
    };
    auto events = [](const nt::IoResult& r) {
        ULONG value = 0;
        if (r.data.size() == 4)
            std::memcpy(&value, r.data.data(), 4);
        return value;
    };
    EXPECT_EQ(file->control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER) << "mask 0";
    EXPECT_EQ(setMask(SERIAL_EV_RXCHAR | SERIAL_EV_CTS | SERIAL_EV_BREAK | SERIAL_EV_ERR | SERIAL_EV_RX80FULL)
                  .status,
              STATUS_SUCCESS);

    auto wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_FALSE(wait->completed);
    EXPECT_EQ(file->control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4).status, STATUS_INVALID_PARAMETER)
        << "a second wait while one is pending";
    peer->sendAt(kernel.now(), {'x'});
    auto r = file->wait(wait, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(r.status, STATUS_SUCCESS);
    EXPECT_EQ(events(r), static_cast<ULONG>(SERIAL_EV_RXCHAR));

    wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    peer->modemAt(kernel.now() + 100, hw::ModemInputs{true, false, false, false});
    EXPECT_EQ(events(file->wait(wait, kernel.now() + hw::kTicksPerSecond)),
              static_cast<ULONG>(SERIAL_EV_CTS));

    // A break also delivers a zero character; events seen with no wait pending wait for the next one,
    // so each cause below is watched on its own.
    setMask(SERIAL_EV_BREAK);
    wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    peer->breakAt(kernel.now() + 100, kernel.now() + 3000);
    EXPECT_EQ(events(file->wait(wait, kernel.now() + hw::kTicksPerSecond)),
              static_cast<ULONG>(SERIAL_EV_BREAK));

    Run(10000);
    setMask(SERIAL_EV_ERR);
    wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    peer->sendWithErrorAt(kernel.now() + 100, 'p', false, true);
    auto errorWait = file->wait(wait, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(events(errorWait), static_cast<ULONG>(SERIAL_EV_ERR));

    // Events seen before the wait complete it at once; 80 % full is one of them here.
    setMask(SERIAL_EV_RX80FULL);
    peer->sendAt(kernel.now(), Pattern(60));
    Run(hw::kTicksPerSecond / 100);
    auto immediate = file->control(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_EQ(events(immediate), static_cast<ULONG>(SERIAL_EV_RX80FULL));

    // A new mask completes a pending wait with no events.
    wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    setMask(SERIAL_EV_DSR);
    auto finished = file->wait(wait, kernel.now() + 1000);
    EXPECT_EQ(finished.status, STATUS_SUCCESS);
    EXPECT_EQ(events(finished), 0u);

    // Cancelling a pending wait.
    wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    EXPECT_TRUE(file->cancel(*wait));
    EXPECT_EQ(file->wait(wait).status, STATUS_CANCELLED);
}

TEST_F(EngineTest, WaitEventsForTheEventCharacterAndEachModemLine) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    auto waitFor = [&](ULONG mask, const std::function<void()>& cause) {
        std::vector<uint8_t> in(4);
        std::memcpy(in.data(), &mask, 4);
        file->control(IOCTL_SERIAL_SET_WAIT_MASK, in, 0);
        auto wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        cause();
        auto result = file->wait(wait, kernel.now() + hw::kTicksPerSecond);
        ULONG value = 0;
        if (result.data.size() == 4)
            std::memcpy(&value, result.data.data(), 4);
        return value;
    };
    ext->SpecialChars.EventChar = '!';
    EXPECT_EQ(waitFor(SERIAL_EV_RXFLAG,
                      [&] {
                          peer->sendAt(kernel.now(), {'a', 'b', '!'});
                      }),
              static_cast<ULONG>(SERIAL_EV_RXFLAG));
    EXPECT_EQ(waitFor(SERIAL_EV_DSR,
                      [&] {
                          peer->modemAt(kernel.now() + 10, {false, true, false, false});
                      }),
              static_cast<ULONG>(SERIAL_EV_DSR));
    EXPECT_EQ(waitFor(SERIAL_EV_RLSD,
                      [&] {
                          peer->modemAt(kernel.now() + 10, {false, true, false, true});
                      }),
              static_cast<ULONG>(SERIAL_EV_RLSD));
    EXPECT_EQ(waitFor(SERIAL_EV_RING,
                      [&] {
                          peer->modemAt(kernel.now() + 10, {false, true, true, true});
                          peer->modemAt(kernel.now() + 20, {false, true, false, true}); // the trailing edge
                      }),
              static_cast<ULONG>(SERIAL_EV_RING));
}

TEST_F(EngineTest, TheTransmitEmptyEventComesWhenTheLastWriteHasGone) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    auto setMask = [&](ULONG mask) {
        std::vector<uint8_t> in(4);
        std::memcpy(in.data(), &mask, 4);
        file->control(IOCTL_SERIAL_SET_WAIT_MASK, in, 0);
    };
    auto eventsOf = [](const nt::IoResult& r) {
        ULONG events = 0;
        if (r.data.size() == 4)
            std::memcpy(&events, r.data.data(), 4);
        return events;
    };
    setMask(SERIAL_EV_TXEMPTY);
    auto wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    auto first = file->startWrite(Pattern(300)); // several bursts: the second write queues behind it
    auto second = file->startWrite(Pattern(5));
    EXPECT_EQ(eventsOf(file->wait(wait, kernel.now() + hw::kTicksPerSecond)),
              static_cast<ULONG>(SERIAL_EV_TXEMPTY));
    EXPECT_TRUE(first->completed && second->completed) << "only when the queue has emptied";

    // A wait given after the transmitter emptied, with the history cleared, waits for the next write.
    setMask(0);
    setMask(SERIAL_EV_TXEMPTY);
    wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    Run(hw::kTicksPerSecond / 100);
    EXPECT_FALSE(wait->completed);
    file->write(Pattern(3), kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(eventsOf(file->wait(wait, kernel.now() + hw::kTicksPerSecond)),
              static_cast<ULONG>(SERIAL_EV_TXEMPTY));
}

TEST_F(EngineTest, TransmitToggleRaisesRtsForTheBytesAndDropsItOneCharacterAfterTheLastStopBit) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    SERIAL_HANDFLOW flow{SERIAL_DTR_CONTROL, SERIAL_TRANSMIT_TOGGLE, 128, 32};
    CV_HANDFLOW_CONTEXT context{ext, &flow};
    CvSynchronizeWithIsr(ext, SerialSetHandFlow, &context);
    Run(hw::kTicksPerSecond / 100);
    ASSERT_FALSE(peer->modemChanges().empty());
    EXPECT_FALSE(peer->modemChanges().back().rts) << "RTS is down while nothing is sent";
    size_t changesBefore = peer->modemChanges().size();
    file->write(Pattern(5), kernel.now() + hw::kTicksPerSecond);
    Run(hw::kTicksPerSecond / 100);
    ASSERT_EQ(peer->received().size(), 5u);
    std::vector<hw::ScriptedPeer::ModemChange> changes(peer->modemChanges().begin() + changesBefore,
                                                       peer->modemChanges().end());
    ASSERT_GE(changes.size(), 2u);
    double charTicks = Format(115200).ticks();
    hw::Tick firstStart = peer->received().front().time - static_cast<hw::Tick>(charTicks);
    hw::Tick lastEnd = peer->received().back().time;
    EXPECT_TRUE(changes.front().rts);
    EXPECT_LE(changes.front().time, firstStart) << "RTS rises before the first start bit";
    EXPECT_FALSE(changes.back().rts);
    EXPECT_GE(changes.back().time, lastEnd) << "and stays up until the last stop bit has left";
    EXPECT_LE(changes.back().time, lastEnd + static_cast<hw::Tick>(2 * charTicks))
        << "then drops about one character time later";
    for (size_t i = 1; i + 1 < changes.size(); ++i)
        EXPECT_TRUE(changes[i].rts) << "no drop between the bytes of one write";
    EXPECT_EQ(ext->CountOfTryingToLowerRTS, 0u);
}

TEST_F(EngineTest, AWriteTimerTakesTheWriteBackFromTheServiceRoutine) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    ext->Timeouts.WriteTotalTimeoutConstant = 1; // 1 ms: about 11 characters at 115200 bit/s
    auto result = file->write(Pattern(300), kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(result.status, STATUS_TIMEOUT);
    EXPECT_GT(result.information, 0u);
    EXPECT_LT(result.information, 300u) << "the bytes handed to the UART before the timer fired";
}

TEST_F(EngineTest, TimedAndCancelledWritesReportTheBytesSent) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 1200, 256, 16);
    auto empty = file->write({});
    EXPECT_EQ(empty.status, STATUS_SUCCESS);
    EXPECT_EQ(empty.information, 0u);
    EXPECT_EQ(ext->TotalCharsQueued, 0u) << "an empty write never enters the queue";

    // 50 bytes at 1200 bit/s take 417 ms; the total timeout is 50 x 2 + 100 = 200 ms.
    ext->Timeouts.WriteTotalTimeoutMultiplier = 2;
    ext->Timeouts.WriteTotalTimeoutConstant = 100;
    hw::Tick start = kernel.now();
    auto timed = file->write(Pattern(50));
    EXPECT_EQ(timed.status, STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now() - start, 2'000'000u) << "200 ms to the tick";
    EXPECT_GT(timed.information, 0u);
    EXPECT_LT(timed.information, 50u);
    EXPECT_EQ(timed.information, ext->PerfStats.TransmittedCount) << "the count is what the UART was given";
    Run(hw::kTicksPerSecond);
    auto sent = Pattern(50);
    sent.resize(timed.information);
    EXPECT_EQ(peer->receivedBytes(), sent) << "and exactly that reaches the wire";
    EXPECT_EQ(ext->TotalCharsQueued, 0u);

    ext->Timeouts = {};
    auto write = file->startWrite(Pattern(50));
    Run(hw::kTicksPerSecond / 10);
    ULONG handed = ext->PerfStats.TransmittedCount - static_cast<ULONG>(timed.information);
    EXPECT_TRUE(file->cancel(*write));
    auto cancelled = file->wait(write);
    EXPECT_EQ(cancelled.status, STATUS_CANCELLED);
    EXPECT_EQ(cancelled.information, handed);
    EXPECT_GT(handed, 0u);
    EXPECT_LT(handed, 50u);
    EXPECT_EQ(ext->TotalCharsQueued, 0u);
    EXPECT_EQ(ext->WriteLength, 0u) << "the service routine no longer points into the request";
}

TEST_F(EngineTest, TheXoffCounterEndsByCountByTimeoutOrByANewWrite) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 9600, 256);
    auto counter = [](ULONG timeout, LONG count, UCHAR xoff) {
        SERIAL_XOFF_COUNTER c{timeout, count, xoff};
        std::vector<uint8_t> in(sizeof c);
        std::memcpy(in.data(), &c, sizeof c);
        return in;
    };

    // No timeout: it waits for the third stored character, however long that takes.
    auto counted = file->startControl(IOCTL_SERIAL_XOFF_COUNTER, counter(0, 3, 0x93), 0);
    Run(hw::kTicksPerSecond * 5);
    EXPECT_FALSE(counted->completed);
    EXPECT_EQ(peer->receivedBytes(), std::vector<uint8_t>{0x93}) << "its XOFF character went out";
    EXPECT_EQ(ext->TotalCharsQueued, 0u);
    peer->sendAt(kernel.now(), {'a', 'b'});
    Run(hw::kTicksPerSecond / 10);
    EXPECT_FALSE(counted->completed);
    peer->sendAt(kernel.now(), {'c'});
    auto byCount = file->wait(counted, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(byCount.status, STATUS_SUCCESS);
    EXPECT_EQ(ext->CurrentXoffIrp, nullptr);

    // A 100 ms timeout that runs out with one character of three.
    auto timed = file->startControl(IOCTL_SERIAL_XOFF_COUNTER, counter(100, 3, 0x13), 0);
    Run(hw::kTicksPerSecond / 100);
    hw::Tick xoffSent = peer->received().back().time;
    peer->sendAt(kernel.now(), {'d'});
    auto byTimeout = file->wait(timed, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(byTimeout.status, STATUS_SERIAL_COUNTER_TIMEOUT);
    EXPECT_GE(kernel.now(), xoffSent + 1'000'000 - 20'000) << "about 100 ms after the XOFF byte";
    EXPECT_LE(kernel.now(), xoffSent + 1'000'000 + 20'000);
    EXPECT_EQ(ext->CountSinceXoff, 0);

    // A write behind a pending count ends it.
    auto pending = file->startControl(IOCTL_SERIAL_XOFF_COUNTER, counter(0, 5, 0x13), 0);
    Run(hw::kTicksPerSecond / 100);
    auto write = file->write({'w'}, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(write.status, STATUS_SUCCESS);
    auto ended = file->wait(pending, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(ended.status, STATUS_SERIAL_MORE_WRITES);
    EXPECT_EQ(ext->CountSinceXoff, 0);

    // Cancelled while counting.
    auto cancelled = file->startControl(IOCTL_SERIAL_XOFF_COUNTER, counter(0, 5, 0x13), 0);
    Run(hw::kTicksPerSecond / 100);
    EXPECT_TRUE(file->cancel(*cancelled));
    EXPECT_EQ(file->wait(cancelled).status, STATUS_CANCELLED);
    EXPECT_EQ(ext->TotalCharsQueued, 0u);
    EXPECT_EQ(kernel.io().outstanding(), 0u);
}

TEST_F(EngineTest, AnImmediateCharacterOvertakesAWriteInProgress) {
    // No FIFO, so the write goes out one byte per transmit interrupt and can be overtaken.
    MakePort(hw::UartKind::Uart16450, CV_UART_16450, 1843200, 9600, 256);
    auto write = file->startWrite(Pattern(20));
    Run(hw::kTicksPerSecond / 200); // about five characters
    auto immediate = file->startControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0xEE}, 0);
    auto second = file->startControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0xEF}, 0);
    EXPECT_EQ(file->wait(second).status, STATUS_INVALID_PARAMETER) << "one immediate character at a time";
    auto done = file->wait(immediate, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_FALSE(write->completed) << "it completes on its own, ahead of the write";
    EXPECT_EQ(file->wait(write, kernel.now() + hw::kTicksPerSecond).status, STATUS_SUCCESS);
    Run(hw::kTicksPerSecond / 100); // the last bytes leave the shift register

    auto wire = peer->receivedBytes();
    ASSERT_EQ(wire.size(), 21u);
    auto at = std::find(wire.begin(), wire.end(), 0xEE);
    ASSERT_NE(at, wire.end());
    EXPECT_GT(at - wire.begin(), 2) << "sent after the bytes already under way";
    EXPECT_LT(at - wire.begin(), 10) << "and before the rest of the write";
    wire.erase(at);
    EXPECT_EQ(wire, Pattern(20)) << "the write itself is intact";
    EXPECT_EQ(ext->TotalCharsQueued, 0u);

    // Held by flow control, an immediate character times out with the write total timeout.
    ext->Timeouts.WriteTotalTimeoutConstant = 50;
    Synchronised([&] { ext->TXHolding |= SERIAL_TX_WAITING_FOR_CTS; });
    hw::Tick start = kernel.now();
    auto held = file->control(IOCTL_SERIAL_IMMEDIATE_CHAR, {0xAB}, 0, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(held.status, STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now() - start, 500'000u);
    EXPECT_FALSE(ext->TransmitImmediate);
    EXPECT_EQ(ext->TotalCharsQueued, 0u);
}

TEST_F(EngineTest, LineErrorsAndTheEscapeCharacterAsTheyReachTheBuffer) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    ext->EscapeChar = 0xFF;
    peer->sendAt(kernel.now(), {0xFF});
    Run(hw::kTicksPerSecond / 100);
    EXPECT_EQ(RingContents(), (std::vector<uint8_t>{0xFF, 0x00}))
        << "an escape character is doubled with a zero";

    Synchronised([&] { ext->CharsInInterruptBuffer = 0, ext->FirstReadableChar = ext->CurrentCharSlot; });
    ext->EscapeChar = 0;
    ext->HandFlow.FlowReplace |= SERIAL_ERROR_CHAR;
    ext->SpecialChars.ErrorChar = '?';
    ext->LineControl = 0x1B; // 8 data bits, even parity
    uart->write(3, ext->LineControl);
    hw::Frame even = Format(115200);
    even.parity = 0x18;
    peer->setFormat(even);
    ULONG received = ext->PerfStats.ReceivedCount;
    peer->sendAt(kernel.now(), {'o', 'k'});
    peer->sendWithErrorAt(kernel.now(), 'x', true, false);
    Run(hw::kTicksPerSecond / 100);
    EXPECT_EQ(RingContents(), (std::vector<uint8_t>{'o', 'k', '?'})) << "the character in error is replaced";
    EXPECT_EQ(ext->PerfStats.ParityErrorCount, 1u);
    EXPECT_EQ(ext->PerfStats.ReceivedCount, received + 3) << "the dropped byte still counts as received";
    EXPECT_EQ(ext->ErrorWord, static_cast<ULONG>(SERIAL_ERROR_PARITY));
}

TEST_F(EngineTest, ReadsInEachTimeoutCase) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    auto& t = ext->Timeouts;
    // Return at once with what is buffered, possibly nothing.
    t = {MAXULONG, 0, 0, 0, 0};
    auto none = file->read(10, kernel.now());
    EXPECT_EQ(none.status, STATUS_SUCCESS);
    EXPECT_EQ(none.information, 0u);
    peer->sendAt(kernel.now(), {'a', 'b', 'c'});
    Run(hw::kTicksPerSecond / 100);
    auto some = file->read(10, kernel.now());
    EXPECT_EQ(some.data, (std::vector<uint8_t>{'a', 'b', 'c'}));

    // A total timeout, to the tick.
    t = {0, 0, 100, 0, 0};
    hw::Tick start = kernel.now();
    auto timedOut = file->read(10);
    EXPECT_EQ(timedOut.status, STATUS_TIMEOUT);
    EXPECT_EQ(timedOut.information, 0u);
    EXPECT_EQ(kernel.now() - start, 1'000'000u) << "100 ms";

    // Filled by the service routine as characters arrive.
    t = {0, 0, 0, 0, 0};
    auto filled = file->startRead(5);
    peer->sendAt(kernel.now() + 10, {'1', '2', '3', '4', '5'});
    auto done = file->wait(filled, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(done.status, STATUS_SUCCESS);
    EXPECT_EQ(done.data, (std::vector<uint8_t>{'1', '2', '3', '4', '5'}));

    // Interval MAXULONG with multiplier MAXULONG: one character as soon as one arrives.
    t = {MAXULONG, MAXULONG, 100, 0, 0};
    auto one = file->startRead(10);
    peer->sendAt(kernel.now() + 1000, {'x', 'y'});
    auto got = file->wait(one, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(got.status, STATUS_SUCCESS);
    EXPECT_EQ(got.data, std::vector<uint8_t>{'x'});
    Run(hw::kTicksPerSecond / 100);
    Drain(ext->CharsInInterruptBuffer);
    start = kernel.now();
    auto nothing = file->read(10);
    EXPECT_EQ(nothing.status, STATUS_TIMEOUT);
    EXPECT_EQ(kernel.now() - start, 1'000'000u);
}

TEST_F(EngineTest, AnIntervalTimeoutCountsFromTheFirstCharacter) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    ext->Timeouts = {5, 0, 0, 0, 0}; // 5 ms between characters
    auto read = file->startRead(100);
    Run(200'000); // 20 ms with nothing: no interval timeout yet
    EXPECT_FALSE(read->completed);
    hw::Tick sent = peer->sendAt(kernel.now(), {'p', 'q', 'r'});
    auto result = file->wait(read, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(result.status, STATUS_TIMEOUT);
    EXPECT_EQ(result.data, (std::vector<uint8_t>{'p', 'q', 'r'}));
    EXPECT_GE(kernel.now(), sent + 50'000) << "5 ms after the last character";
    // The driver sees the last byte after three character times on the wire and the FIFO's receive
    // timeout of four more; the interval counts from there.
    const auto charTicks = static_cast<hw::Tick>(Format(115200).ticks());
    EXPECT_LE(kernel.now(), sent + 50'000 + 8 * charTicks);
}

TEST_F(EngineTest, ACancelledReadReportsTheBytesAlreadyStored) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    ext->Timeouts = {0, 0, 0, 0, 0};
    auto read = file->startRead(10);
    peer->sendAt(kernel.now(), {'a', 'b', 'c', 'd'});
    Run(hw::kTicksPerSecond / 100);
    EXPECT_TRUE(file->cancel(*read));
    auto result = file->wait(read);
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 4u) << "the bytes already in the caller's buffer are reported";
    EXPECT_EQ(ext->CharsInInterruptBuffer, 0u);
    EXPECT_EQ(ext->ReadBufferBase, ext->InterruptReadBuffer)
        << "the service routine is back on the ring buffer";
}

TEST_F(EngineTest, AReadFoundCancelledAtItsStartReportsWhatItTookFromTheBuffer) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 256);
    ext->Timeouts = {0, 0, 0, 0, 0};
    peer->sendAt(kernel.now(), {'a', 'b', 'c'});
    Run(hw::kTicksPerSecond / 100);
    ASSERT_EQ(ext->CharsInInterruptBuffer, 3u);
    // The program cancels the read as it is sent: the driver copies the buffered bytes, then finds it
    // cancelled while it would wait for the rest. A cancelled read hands no data back, so the bytes stay.
    auto result = file->wait(file->startRead(10, true));
    EXPECT_EQ(result.status, STATUS_CANCELLED);
    EXPECT_EQ(result.information, 0u);
    EXPECT_EQ(RingContents(), (std::vector<uint8_t>{'a', 'b', 'c'}));
    auto next = file->wait(file->startRead(3));
    EXPECT_EQ(next.data, (std::vector<uint8_t>{'a', 'b', 'c'})) << "no byte is lost";
}

TEST(ReadTiming, EachCaseOfTheTimeoutsAsTheWin32DocumentationGivesThem) {
    auto plan = [](SERIAL_TIMEOUTS t, ULONG length) {
        CV_READ_TIMING timing;
        CvReadTiming(&t, length, &timing);
        return timing;
    };
    // No timeouts at all: wait for every byte.
    auto none = plan({0, 0, 0, 0, 0}, 10);
    EXPECT_FALSE(none.bUseInterval || none.bUseTotal || none.bReturnWhatsPresent || none.bReturnOnAny);
    // Interval MAXDWORD with both totals 0: return at once with what is there.
    EXPECT_TRUE(plan({MAXULONG, 0, 0, 0, 0}, 10).bReturnWhatsPresent);
    // Interval and multiplier MAXDWORD with a constant: one character, or a timeout after the constant.
    auto one = plan({MAXULONG, MAXULONG, 100, 0, 0}, 10);
    EXPECT_TRUE(one.bUseTotal && one.bReturnOnAny && one.bCrunchToOne);
    EXPECT_EQ(one.llTotal, -100 * 10000);
    // Interval MAXDWORD with ordinary totals: return as soon as anything arrived, else after the total.
    auto any = plan({MAXULONG, 2, 50, 0, 0}, 10);
    EXPECT_TRUE(any.bReturnOnAny && !any.bCrunchToOne);
    EXPECT_EQ(any.llTotal, -(10 * 2 + 50) * 10000);
    // An interval and a total together.
    auto both = plan({5, 1, 20, 0, 0}, 30);
    EXPECT_TRUE(both.bUseInterval && both.bUseTotal && !both.bReturnOnAny);
    EXPECT_EQ(both.llInterval, 5 * 10000);
    EXPECT_EQ(both.llTotal, -(30 * 1 + 20) * 10000);
}

// The transmit-empty event tells a program that the line is idle: the last stop bit has left the
// shift register, not merely that the last byte went into the FIFO.
struct TxEmptyCase {
    hw::UartKind kind;
    UCHAR type;
    bool waitFirst; // the wait is given before the write, or after the write has ended
};

class TransmitEmpty : public EngineTest, public ::testing::WithParamInterface<TxEmptyCase> {
protected:
    void TestBody() override {}
};

TEST_P(TransmitEmpty, ComesWhenTheLastStopBitHasLeft) {
    const TxEmptyCase& c = GetParam();
    MakePort(c.kind, c.type, 1843200, 9600, 256);
    ULONG mask = SERIAL_EV_TXEMPTY;
    std::vector<uint8_t> in(4);
    std::memcpy(in.data(), &mask, 4);
    ASSERT_EQ(file->control(IOCTL_SERIAL_SET_WAIT_MASK, in, 0).status, STATUS_SUCCESS);
    const auto bytes = Pattern(100);
    std::shared_ptr<nt::IoRequest> wait;
    if (c.waitFirst) {
        wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
        file->startWrite(bytes);
    } else {
        auto written = file->write(bytes, kernel.now() + 2 * hw::kTicksPerSecond);
        ASSERT_EQ(written.status, STATUS_SUCCESS);
        ASSERT_LT(peer->received().size(), bytes.size()) << "the write ended with bytes still to go out";
        wait = file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4);
    }
    auto result = file->wait(wait, kernel.now() + 2 * hw::kTicksPerSecond);
    ASSERT_TRUE(result.finished);
    ASSERT_EQ(result.status, STATUS_SUCCESS);
    ULONG events = 0;
    std::memcpy(&events, result.data.data(), 4);
    EXPECT_EQ(events, static_cast<ULONG>(SERIAL_EV_TXEMPTY));
    ASSERT_EQ(peer->receivedBytes(), bytes);
    const hw::Tick lastStop = peer->received().back().time;
    const auto charTicks = static_cast<hw::Tick>(Format(9600).ticks());
    EXPECT_GE(kernel.now(), lastStop) << "not before the line is idle";
    EXPECT_LE(kernel.now(), lastStop + 2 * charTicks) << "within a character time of it";
}

INSTANTIATE_TEST_SUITE_P(WithAndWithoutFifo, TransmitEmpty,
                         ::testing::Values(TxEmptyCase{hw::UartKind::Uart16550, 5, true},
                                           TxEmptyCase{hw::UartKind::Uart16550, 5, false},
                                           TxEmptyCase{hw::UartKind::Uart16450, 4, true},
                                           TxEmptyCase{hw::UartKind::Uart16450, 4, false}),
                         [](const ::testing::TestParamInfo<TxEmptyCase>& info) {
                             return std::string(info.param.type == 4 ? "Without" : "With") + "Fifo_Wait" +
                                    (info.param.waitFirst ? "Before" : "After");
                         });

// A register that always reports an interrupt: a mistaken address, or a UART that never quiets.
class StuckRegisters final : public hw::PortDevice {
public:
    uint8_t read(uint16_t) override { return 0x00; }
    void write(uint16_t, uint8_t) override {}
};

TEST_F(EngineTest, TheServiceRoutineGivesUpOnARegisterThatNeverQuiets) {
    MakePort(hw::UartKind::Uart16550, 5, 1843200, 9600, 256);
    kernel.ports().detach(kBase);
    StuckRegisters stuck;
    kernel.ports().attach(kBase, 8, stuck);
    BOOLEAN claimed = FALSE;
    Synchronised([&] { claimed = SerialISR(nullptr, ext); });
    EXPECT_TRUE(claimed);
    EXPECT_EQ(ext->m_ulIsrLoopsAbandoned, 1u) << "open port";
    ext->DeviceIsOpened = FALSE;
    Synchronised([&] { claimed = SerialISR(nullptr, ext); });
    EXPECT_EQ(ext->m_ulIsrLoopsAbandoned, 2u) << "closed port";
    ext->DeviceIsOpened = TRUE;
    kernel.ports().detach(kBase);
    kernel.ports().attach(kBase, 8, *uart);
}

TEST_F(EngineTest, ALargerQueueKeepsTheUnreadCharactersInOrderAndASmallerOneChangesNothing) {
    MakePort(hw::UartKind::Uart16C950, 9, 14745600, 115200, 64);
    peer->sendAt(kernel.now(), Pattern(40));
    Run(hw::kTicksPerSecond / 100);
    Drain(30); // the unread ten wrap around the end of the ring later
    peer->sendAt(kernel.now(), Pattern(40));
    Run(hw::kTicksPerSecond / 100);
    std::vector<uint8_t> before = RingContents();
    ASSERT_EQ(before.size(), 50u);
    auto resize = [&](ULONG size) {
        SERIAL_QUEUE_SIZE q{size, 0};
        std::vector<uint8_t> in(sizeof q);
        std::memcpy(in.data(), &q, sizeof q);
        return file->control(IOCTL_SERIAL_SET_QUEUE_SIZE, in, 0);
    };
    EXPECT_EQ(resize(32).status, STATUS_SUCCESS);
    EXPECT_EQ(ext->BufferSize, 64u);
    EXPECT_EQ(resize(1024).status, STATUS_SUCCESS);
    EXPECT_EQ(ext->BufferSize, 1024u);
    EXPECT_EQ(ext->HandFlow.XoffLimit, 128);
    EXPECT_EQ(ext->HandFlow.XonLimit, 512);
    EXPECT_EQ(RingContents(), before);
    ext->Timeouts = {MAXULONG, 0, 0, 0, 0};
    auto read = file->read(100, kernel.now());
    EXPECT_EQ(read.data, before);
}

TEST_F(EngineTest, CharacterTimeAt9600EightNoneOne) {
    MakePort(hw::UartKind::Uart16550, 5, 1843200, 9600, 64);
    EXPECT_EQ(SerialGetCharTime(ext).QuadPart, 10420);
}

// Traffic both ways, modem changes, write timeouts, waits and cancellations with time let pass inside
// driver routines at random. Each seed is one repeatable run: CV_STRESS_SEED=n replays seed n alone.
TEST_F(EngineTest, StressInterleavingsKeepEveryRequestAccountedFor) {
    std::vector<uint64_t> seeds;
    if (const char* one = std::getenv("CV_STRESS_SEED"))
        seeds.push_back(std::strtoull(one, nullptr, 10));
    else
        for (uint64_t seed = 1; seed <= 12; ++seed)
            seeds.push_back(seed);
    uint64_t interleavings = 0;
    for (uint64_t seed : seeds) {
        SCOPED_TRACE("stress seed " + std::to_string(seed));
        std::fprintf(stderr, "stress seed %llu\n", static_cast<unsigned long long>(seed));
        MakePort(hw::UartKind::Uart16C950, 9, 14745600, 460800, 512);
        ext->HandFlow.FlowReplace |= SERIAL_AUTO_TRANSMIT;
        uint64_t interleavingsBefore = kernel.stressInterleavings();
        kernel.setStress(seed, 400);
        std::mt19937_64 random(seed);
        auto pick = [&](uint64_t n) { return random() % n; };
        std::vector<std::shared_ptr<nt::IoRequest>> requests;
        for (int step = 0; step < 150; ++step) {
            switch (pick(9)) {
            case 0:
            case 1:
                ext->Timeouts.WriteTotalTimeoutConstant = pick(3) ? 0 : static_cast<ULONG>(1 + pick(2));
                requests.push_back(file->startWrite(Pattern(1 + pick(300))));
                if (pick(4) == 0)
                    file->cancel(*requests.back());
                break;
            case 2:
                peer->sendAt(kernel.now() + pick(5000), Pattern(1 + pick(100)));
                break;
            case 3:
                peer->modemAt(kernel.now() + pick(5000),
                              hw::ModemInputs{pick(2) == 0, pick(2) == 0, pick(2) == 0, pick(2) == 0});
                break;
            case 4: {
                ULONG mask = static_cast<ULONG>(pick(0x1000)) | SERIAL_EV_RXCHAR;
                std::vector<uint8_t> in(4);
                std::memcpy(in.data(), &mask, 4);
                requests.push_back(file->startControl(IOCTL_SERIAL_SET_WAIT_MASK, in, 0));
                requests.push_back(file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4));
                if (pick(2) == 0)
                    file->cancel(*requests.back());
                break;
            }
            case 5:
                ext->Timeouts.ReadIntervalTimeout = pick(2) ? 0 : static_cast<ULONG>(1 + pick(3));
                ext->Timeouts.ReadTotalTimeoutConstant = pick(2) ? 0 : static_cast<ULONG>(1 + pick(5));
                requests.push_back(file->startRead(static_cast<ULONG>(1 + pick(200))));
                break;
            case 6:
                requests.push_back(file->startControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x55}, 0));
                break;
            case 7: {
                SERIAL_XOFF_COUNTER counter{static_cast<ULONG>(pick(3)), static_cast<LONG>(1 + pick(20)),
                                            0x13};
                std::vector<uint8_t> in(sizeof counter);
                std::memcpy(in.data(), &counter, sizeof counter);
                requests.push_back(file->startControl(IOCTL_SERIAL_XOFF_COUNTER, in, 0));
                break;
            }
            default:
                if (!requests.empty())
                    file->cancel(*requests[pick(requests.size())]);
                break;
            }
            Run(pick(3000));
        }
        kernel.clearStress();
        for (auto& r : requests)
            file->cancel(*r);
        Run(hw::kTicksPerSecond);
        for (auto& r : requests)
            EXPECT_TRUE(r->completed) << "every request ends";
        EXPECT_EQ(kernel.io().outstanding(), 0u);
        EXPECT_EQ(ext->TotalCharsQueued, 0u) << "every request took its characters back out of the count";
        std::map<NTSTATUS, int> outcomes;
        for (auto& r : requests)
            ++outcomes[r->status];
        std::fprintf(stderr, "  %zu requests:", requests.size());
        for (auto& [status, count] : outcomes)
            std::fprintf(stderr, " 0x%08X x%d", static_cast<unsigned>(status), count);
        std::fprintf(stderr, "; %llu interleavings, %llu bytes received\n",
                     static_cast<unsigned long long>(kernel.stressInterleavings() - interleavingsBefore),
                     static_cast<unsigned long long>(ext->PerfStats.ReceivedCount));
        interleavings += kernel.stressInterleavings() - interleavingsBefore;
        TearDown();
        ext = nullptr;
        counters = {};
        ASSERT_EQ(ConstructResourceKiller(), STATUS_SUCCESS);
    }
    if (seeds.size() > 1) {
        EXPECT_GE(interleavings, 10000u);
    }
    std::fprintf(stderr, "stress: %llu interleavings\n", static_cast<unsigned long long>(interleavings));
}

TEST(SharedStatusRegister, TheCardRoutineServesThePortsItNamesAndBoundsNoise) {
    nt::Kernel kernel;
    nt::KernelScope scope(kernel);
    nt::ImageScope image(kernel, kImage);
    ASSERT_EQ(ConstructResourceKiller(), STATUS_SUCCESS);
    struct Scripted : hw::PortDevice {
        std::vector<uint8_t> answers;
        size_t next = 0;
        uint8_t read(uint16_t) override { return next < answers.size() ? answers[next++] : 0xFF; }
        void write(uint16_t, uint8_t) override {}
    } sisr;
    kernel.ports().attach(0x2A0, 1, sisr);
    auto* card = new (CvImageAllocate(NonPagedPool, sizeof(CCvCard))) CCvCard;
    card->m_ulSisrAddress = 0x2A0;
    card->ulNumberComPorts = 2;
    static int served[2];
    served[0] = served[1] = 0;
    CCvDevice ports[2]{};
    for (int i = 0; i < 2; ++i) {
        card->apDevice[i] = &ports[i];
        ports[i].m_CardDependentIsr = [](PKINTERRUPT, PVOID c) -> BOOLEAN {
            auto* p = static_cast<CCvDevice*>(c);
            int& count = served[p->m_unPortOnCardNumber];
            return ++count % 2 == 1; // services once, then reports nothing pending
        };
        ports[i].m_unPortOnCardNumber = static_cast<USHORT>(i);
    }
    sisr.answers = {0xFF};
    EXPECT_FALSE(SisrIsr(nullptr, card)) << "0xFF at once: not serviced";
    sisr = {};
    sisr.answers = {1, 1, 0, 0xFF};
    EXPECT_TRUE(SisrIsr(nullptr, card));
    EXPECT_EQ(served[1], 4) << "named twice: serviced twice, each until it reports nothing";
    EXPECT_EQ(served[0], 2);
    ports[0].m_bDisabled = TRUE;
    sisr = {};
    sisr.answers = std::vector<uint8_t>(1000, 0);
    EXPECT_FALSE(SisrIsr(nullptr, card)) << "a register stuck on a disabled port is given up";
    EXPECT_EQ(served[0], 2);
    EXPECT_EQ(card->m_ulSisrLoopsAbandoned, 1u);
    EXPECT_EQ(card->m_ulSisrNoiseReads, 64u);
    for (auto& p : ports)
        p.pParentCard = nullptr;
    card->~CCvCard();
    CvImageFree(card);
    deleteall();
    DestructResourceKiller();
}
