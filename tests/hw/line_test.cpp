// The UART models' line side: characters on the wire with real timing, what a receiver with its own
// settings makes of them, and the wiring between ports.
#include "hw/eventqueue.h"
#include "hw/uart.h"
#include "hw/wiring.h"

#include <gtest/gtest.h>

#include <cmath>

using namespace hw;
using namespace hw::reg;

namespace {

// Programs a UART the way a driver would: divisor, 8N1 (or the given line control), FIFO.
void Program(Uart& u, uint16_t divisor, uint8_t lcr = 0x03, uint8_t fcr = 0x00) {
    u.write(LCR, LCR_DLAB);
    u.write(DLL, static_cast<uint8_t>(divisor));
    u.write(DLM, static_cast<uint8_t>(divisor >> 8));
    u.write(LCR, lcr);
    u.write(FCR, fcr);
}

Frame Format(double baud, unsigned dataBits = 8, uint8_t parity = 0, double stopBits = 1) {
    Frame f;
    f.dataBits = dataBits;
    f.parity = parity;
    f.stopBits = stopBits;
    f.bitTicks = kTicksPerSecond / baud;
    return f;
}

std::vector<uint8_t> Drain(Uart& u) {
    std::vector<uint8_t> bytes;
    while (u.read(LSR) & LSR_DR)
        bytes.push_back(u.read(RBR));
    return bytes;
}

} // namespace

TEST(EventQueue, RunsInTimeOrderAndSchedulingOrderWithinATick) {
    EventQueue q;
    std::vector<int> order;
    q.at(20, [&] { order.push_back(3); });
    q.at(10, [&] { order.push_back(1); });
    auto h = q.at(10, [&] { order.push_back(99); });
    q.at(10, [&] { order.push_back(2); });
    EXPECT_TRUE(q.cancel(h));
    EXPECT_FALSE(q.cancel(h));
    q.runUntil(15);
    EXPECT_EQ(order, (std::vector<int>{1, 2}));
    EXPECT_EQ(q.now(), 15u);
    EXPECT_THROW(q.at(14, [] {}), std::logic_error);
    q.runUntil(100);
    EXPECT_EQ(order, (std::vector<int>{1, 2, 3}));
}

TEST(UartLine, BackToBackCharactersLeaveAtExactFrameTimes) {
    EventQueue q;
    Uart a(UartKind::Uart16550, 1843200);
    a.attachClock(&q);
    Program(a, 12); // 9600 8N1: 10 bits of 1041.67 us
    ScriptedPeer peer(q, a, Format(9600));
    a.write(FCR, 0x01);
    for (uint8_t c : {'a', 'b', 'c'})
        a.write(THR, c);
    EXPECT_EQ(a.lsr() & (LSR_THRE | LSR_TEMT), 0) << "two characters still wait in the FIFO";
    q.runUntil(kTicksPerSecond);
    ASSERT_EQ(peer.received().size(), 3u);
    EXPECT_EQ(peer.receivedBytes(), (std::vector<uint8_t>{'a', 'b', 'c'}));
    EXPECT_EQ(peer.received()[0].time, 10417u);
    EXPECT_EQ(peer.received()[1].time, 20833u);
    EXPECT_EQ(peer.received()[2].time, 31250u) << "no rounding drift over consecutive frames";
    EXPECT_EQ(a.lsr() & (LSR_THRE | LSR_TEMT), LSR_THRE | LSR_TEMT);
    // The model counts what crossed its line, read or not.
    peer.sendAt(q.now(), {'x', 'y'});
    q.runUntil(2 * kTicksPerSecond);
    EXPECT_EQ(a.charactersSent(), 3u);
    EXPECT_EQ(a.charactersReceived(), 2u);
}

TEST(UartLine, HoldingEmptyComesAtOnceAndTransmitterEmptyAfterTheStopBit) {
    EventQueue q;
    Uart a(UartKind::Uart16450, 1843200);
    a.attachClock(&q);
    Program(a, 96); // 1200 baud
    a.write(IER, 0x02);
    EXPECT_EQ(a.read(IIR), 0x02);
    a.write(THR, 0x55);
    EXPECT_EQ(a.lsr() & (LSR_THRE | LSR_TEMT), LSR_THRE) << "moved to the shift register at once";
    EXPECT_EQ(a.read(IIR), 0x02) << "and the holding-empty interrupt is raised again";
    q.runUntil(83332);
    EXPECT_EQ(a.lsr() & LSR_TEMT, 0);
    q.runUntil(83333);
    EXPECT_EQ(a.lsr() & LSR_TEMT, LSR_TEMT);
    EXPECT_EQ(a.takeTransmitted(), std::vector<uint8_t>{0x55});
}

TEST(UartLine, WithoutABaudClockCharactersWaitInTheHoldingRegister) {
    EventQueue q;
    Uart a(UartKind::Uart16550, 1843200);
    a.attachClock(&q);
    a.write(THR, 0x41);
    q.runUntil(kTicksPerSecond);
    EXPECT_EQ(a.lsr() & (LSR_THRE | LSR_TEMT), 0) << "never empties without a divisor";
    // The character starts as soon as the divisor gives a clock, in the word length set then.
    a.write(LCR, LCR_DLAB | 0x03);
    a.write(DLL, 1);
    a.write(LCR, 0x03);
    q.runUntil(2 * kTicksPerSecond);
    EXPECT_EQ(a.takeTransmitted(), std::vector<uint8_t>{0x41});
}

TEST(UartLine, ANullModemCableCarriesDataAndModemLinesBothWays) {
    EventQueue q;
    Uart a(UartKind::Uart16C950, 14745600), b(UartKind::Uart16550, 1843200);
    a.attachClock(&q);
    b.attachClock(&q);
    Program(a, 8, 0x03, 0x01); // 115200 at 16 samples per bit, FIFO on
    Program(b, 1, 0x03, 0x01);
    NullModemCable cable(a, b);
    for (uint8_t c = 0; c < 10; ++c)
        a.write(THR, static_cast<uint8_t>('0' + c));
    b.write(THR, 'z');
    q.runUntil(kTicksPerSecond / 100);
    EXPECT_EQ(Drain(b), (std::vector<uint8_t>{'0', '1', '2', '3', '4', '5', '6', '7', '8', '9'}));
    EXPECT_EQ(Drain(a), std::vector<uint8_t>{'z'});

    a.write(MCR, MCR_RTS);
    EXPECT_EQ(b.read(MSR), MSR_CTS | MSR_DCTS);
    a.write(MCR, MCR_RTS | MCR_DTR);
    EXPECT_EQ(b.read(MSR), MSR_CTS | MSR_DSR | MSR_DCD | MSR_DDSR | MSR_DDCD);
    b.write(MCR, MCR_DTR);
    EXPECT_EQ(a.read(MSR), MSR_DSR | MSR_DCD | MSR_DDSR | MSR_DDCD);
    a.write(MCR, MCR_LOOP | MCR_RTS | MCR_DTR);
    EXPECT_EQ(b.read(MSR) & (MSR_CTS | MSR_DSR), 0) << "loopback holds the outputs inactive";
}

TEST(UartLine, AWrongRateOrFormatShowsAsErrorsAtTheReceiver) {
    EventQueue q;
    Uart a(UartKind::Uart16550, 1843200), b(UartKind::Uart16550, 1843200);
    a.attachClock(&q);
    b.attachClock(&q);
    Program(a, 12); // 9600
    Program(b, 6);  // 19200
    NullModemCable cable(a, b);
    a.write(THR, 0x00);
    q.runUntil(kTicksPerSecond / 10);
    uint8_t lsr = b.read(LSR);
    EXPECT_TRUE(lsr & LSR_FE) << "the receiver samples the sender's data bits where it expects its stop bit";
    Drain(b);

    Program(b, 12, 0x1B); // 9600, even parity: the sender sends none
    a.write(THR, 0xFF);
    q.runUntil(2 * kTicksPerSecond / 10);
    lsr = b.read(LSR);
    EXPECT_TRUE(lsr & (LSR_PE | LSR_FE)) << std::hex << int(lsr);
    Drain(b);

    Program(b, 12);
    a.write(THR, 0xA5);
    q.runUntil(3 * kTicksPerSecond / 10);
    EXPECT_EQ(b.read(LSR) & (LSR_PE | LSR_FE | LSR_BI), 0);
    EXPECT_EQ(Drain(b), std::vector<uint8_t>{0xA5});
}

TEST(UartLine, InjectedErrorsBreakAndTheCharacterTimeout) {
    EventQueue q;
    Uart u(UartKind::Uart16550, 1843200);
    u.attachClock(&q);
    Program(u, 12, 0x1B, 0x81); // 9600 8E1, FIFO with trigger 8
    u.write(IER, 0x05);
    Frame format = Format(9600, 8, 0x18);
    ScriptedPeer peer(q, u, format);
    Tick end = peer.sendAt(0, {'x', 'y'});
    end = peer.sendWithErrorAt(end, 'p', true, false);
    q.runUntil(end);
    EXPECT_EQ(u.rxCount(), 3u);
    EXPECT_EQ(u.read(IIR) & 0x0F, 0x01) << "below the trigger level and not yet timed out";
    double charTicks = format.ticks();
    q.runUntil(end + static_cast<Tick>(4 * charTicks) + 1);
    EXPECT_EQ(u.read(IIR) & 0x0F, 0x0C) << "character timeout after four character times";
    EXPECT_EQ(u.read(RBR), 'x');
    EXPECT_EQ(u.read(IIR) & 0x0F, 0x01) << "reading restarts the timeout";
    EXPECT_EQ(u.read(RBR), 'y');
    EXPECT_TRUE(u.read(LSR) & LSR_PE) << "the parity error shows with its character";
    EXPECT_EQ(u.read(RBR), 'p');

    Tick from = q.now() + 1000;
    peer.breakAt(from, from + static_cast<Tick>(3 * charTicks));
    q.runUntil(from + static_cast<Tick>(5 * charTicks));
    EXPECT_EQ(u.rxCount(), 1u) << "one character for one break";
    EXPECT_TRUE(u.read(LSR) & LSR_BI);
    EXPECT_EQ(u.read(RBR), 0);

    peer.sendWithErrorAt(q.now(), 'f', false, true);
    q.runUntil(q.now() + static_cast<Tick>(2 * charTicks));
    EXPECT_TRUE(u.read(LSR) & LSR_FE);
}

TEST(UartLine, APeerSeesTheBreakAndTheModemLinesTheUartDrives) {
    EventQueue q;
    Uart u(UartKind::Uart16750, 1843200);
    u.attachClock(&q);
    Program(u, 12);
    ScriptedPeer peer(q, u, Format(9600));
    q.runUntil(100);
    u.write(MCR, MCR_DTR | MCR_RTS);
    q.runUntil(200);
    u.write(LCR, 0x43);
    u.write(LCR, 0x03);
    ASSERT_EQ(peer.modemChanges().size(), 1u);
    EXPECT_EQ(peer.modemChanges()[0].time, 100u);
    ASSERT_EQ(peer.received().size(), 1u);
    EXPECT_EQ(peer.received()[0].errors & LSR_BI, LSR_BI);
    peer.modemAt(500, ModemInputs{true, false, true, false});
    peer.modemAt(600, ModemInputs{true, false, false, false});
    q.runUntil(700);
    EXPECT_EQ(u.read(MSR), MSR_CTS | MSR_DCTS | MSR_TERI);
}

TEST(UartLine, TheInterruptOutputFollowsPendingAndOut2) {
    EventQueue q;
    Uart u(UartKind::Uart16550, 1843200);
    u.attachClock(&q);
    u.setGateWithOut2(true);
    std::vector<bool> levels;
    u.setInterruptSink([&](bool level) { levels.push_back(level); });
    Program(u, 12);
    u.write(IER, 0x01);
    u.receive('a');
    EXPECT_TRUE(levels.empty()) << "gated off while OUT2 is low";
    u.write(MCR, MCR_OUT2);
    u.read(RBR);
    EXPECT_EQ(levels, (std::vector<bool>{true, false}));
}

TEST(UartLine, TheSharedStatusRegisterNamesTheLowestPortNeedingService) {
    EventQueue q;
    Uart p0(UartKind::Uart16550, 1843200), p1(UartKind::Uart16550, 1843200), p2(UartKind::Uart16550, 1843200);
    SisrRegister sisr({&p0, &p1, &p2});
    EXPECT_EQ(sisr.read(0), 0xFF);
    for (Uart* u : {&p1, &p2}) {
        u->write(IER, 0x01);
        u->receive('x');
    }
    EXPECT_EQ(sisr.read(0), 1);
    p1.read(RBR);
    EXPECT_EQ(sisr.read(0), 2);
    p2.read(RBR);
    EXPECT_EQ(sisr.read(0), 0xFF);
}

TEST(UartLine, LoopbackPlugAndInternalLoopbackReturnCharactersAfterOneFrame) {
    EventQueue q;
    Uart u(UartKind::Uart16550, 1843200);
    u.attachClock(&q);
    Program(u, 12);
    LoopbackPlug plug(u);
    u.write(MCR, MCR_RTS | MCR_DTR);
    EXPECT_EQ(u.read(MSR) & 0xF0, MSR_CTS | MSR_DSR | MSR_DCD) << "RI is left open";
    u.write(THR, 0x42);
    q.runUntil(10416);
    EXPECT_EQ(u.rxCount(), 0u);
    q.runUntil(10417);
    EXPECT_EQ(Drain(u), std::vector<uint8_t>{0x42});
    u.write(MCR, MCR_LOOP);
    u.write(THR, 0x43);
    q.runFor(10417);
    EXPECT_EQ(Drain(u), std::vector<uint8_t>{0x43});
}
