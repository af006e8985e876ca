// The UART models against datasheet behaviour, each on its own (no kernel involved).
#include "hw/uart.h"

#include <gtest/gtest.h>

#include <iterator>
#include <utility>
#include <vector>
#include <random>

using namespace hw;
using namespace hw::reg;

namespace {

Uart make(UartKind kind, uint32_t clock = 1843200) {
    return Uart(kind, clock);
}

const UartKind kAllKinds[] = {UartKind::Uart16450, UartKind::Uart16550, UartKind::Uart16750,
                              UartKind::Uart16C950};

} // namespace

TEST(UartModel, DivisorLatchSitsBehindDlabAndSurvivesHoldingRegisterWrites) {
    for (UartKind kind : kAllKinds) {
        Uart u = make(kind);
        u.write(LCR, LCR_DLAB | 0x03);
        u.write(DLL, 0x0C);
        u.write(DLM, 0x01);
        u.write(LCR, 0x03);
        u.write(THR, 0x41); // goes to the transmitter, not the latch
        u.write(IER, 0x00);
        EXPECT_EQ(u.divisor(), 0x010C) << toString(kind);
        u.write(LCR, LCR_DLAB | 0x03);
        EXPECT_EQ(u.read(DLL), 0x0C);
        EXPECT_EQ(u.read(DLM), 0x01);
        EXPECT_DOUBLE_EQ(u.baudRate(), 1843200.0 / (16.0 * 0x010C)) << toString(kind);
    }
}

TEST(UartModel, ZeroDivisorProducesNoClock) {
    Uart u = make(UartKind::Uart16550);
    EXPECT_EQ(u.baudRate(), 0.0);
}

TEST(UartModel, ScratchRegisterHoldsItsValue) {
    for (UartKind kind : kAllKinds) {
        Uart u = make(kind);
        u.write(SPR, 0x5A);
        EXPECT_EQ(u.read(SPR), 0x5A) << toString(kind);
    }
}

TEST(UartModel, FifoControlIsWriteOnlyAndShowsInTheIir) {
    Uart u450 = make(UartKind::Uart16450);
    u450.write(FCR, 0x07);
    EXPECT_EQ(u450.read(IIR), 0x01) << "the 16450 has no FIFO control register";
    EXPECT_FALSE(u450.fifoEnabled());

    Uart u550 = make(UartKind::Uart16550);
    EXPECT_EQ(u550.read(IIR), 0x01);
    u550.write(FCR, 0xC7);
    EXPECT_EQ(u550.read(IIR), 0xC1) << "FIFO-enabled bits, no interrupt pending";
    EXPECT_TRUE(u550.fifoEnabled());
    EXPECT_EQ(u550.rxTriggerLevel(), 14u);
    u550.write(FCR, 0x00);
    EXPECT_EQ(u550.read(IIR), 0x01);
}

TEST(UartModel, The16750TakesIts64ByteBitOnlyWithTheLatchOpen) {
    Uart u = make(UartKind::Uart16750);
    u.write(FCR, 0x21);
    EXPECT_EQ(u.read(IIR) & 0x20, 0) << "written with DLAB clear: ignored";
    EXPECT_EQ(u.fifoDepth(), 16u);
    u.write(LCR, LCR_DLAB);
    u.write(FCR, 0x21);
    u.write(LCR, 0x00);
    EXPECT_EQ(u.read(IIR), 0xE1);
    EXPECT_EQ(u.fifoDepth(), 64u);
    u.write(FCR, 0xC1); // the bit cannot be cleared without DLAB either
    EXPECT_EQ(u.rxTriggerLevel(), 56u);
}

TEST(UartModel, InterruptIdentificationFollowsPriority) {
    Uart u = make(UartKind::Uart16550);
    u.write(IER, 0x0F);
    // Transmit holding empty is raised as soon as it is enabled with the register empty.
    EXPECT_EQ(u.read(IIR), 0x02);
    EXPECT_EQ(u.read(IIR), 0x01) << "reading the IIR that names it clears it";

    u.write(MCR, MCR_LOOP | MCR_RTS); // loopback: RTS shows as CTS, a modem status change
    EXPECT_EQ(u.pendingIdentification(), 0x00);
    u.receive(0x41);
    EXPECT_EQ(u.pendingIdentification(), 0x04) << "received data outranks modem status";
    u.receive(0x42); // overrun: line status outranks everything
    EXPECT_EQ(u.pendingIdentification(), 0x06);
    EXPECT_EQ(u.read(LSR) & (LSR_OE | LSR_DR), LSR_OE | LSR_DR);
    EXPECT_EQ(u.pendingIdentification(), 0x04);
    EXPECT_EQ(u.read(RBR), 0x42) << "the 16450-style holding register keeps the newest character";
    EXPECT_EQ(u.pendingIdentification(), 0x00);
    EXPECT_EQ(u.read(MSR) & (MSR_DCTS | MSR_CTS), MSR_DCTS | MSR_CTS);
    EXPECT_EQ(u.pendingIdentification(), 0x01);
}

TEST(UartModel, LoopbackMirrorsModemControlWithDeltasAndTheRingTrailingEdge) {
    Uart u = make(UartKind::Uart16550);
    u.write(MCR, MCR_LOOP | MCR_DTR | MCR_OUT1 | MCR_OUT2);
    EXPECT_EQ(u.read(MSR), MSR_DSR | MSR_RI | MSR_DCD | MSR_DDSR | MSR_DDCD)
        << "ring rising edge has no delta";
    u.write(MCR, MCR_LOOP);
    EXPECT_EQ(u.read(MSR), MSR_DDSR | MSR_TERI | MSR_DDCD);
    EXPECT_EQ(u.read(MSR), 0);
}

TEST(UartModel, LoopbackReturnsTransmittedCharactersMaskedToTheWordLength) {
    Uart u = make(UartKind::Uart16450);
    u.write(MCR, MCR_LOOP);
    u.write(LCR, 0x00); // 5 data bits
    u.write(THR, 0x32);
    EXPECT_EQ(u.read(RBR), 0x12);
    u.write(LCR, 0x03);
    u.write(THR, 0xA5);
    EXPECT_EQ(u.read(RBR), 0xA5);
    EXPECT_TRUE(u.takeTransmitted().empty()) << "in loopback nothing reaches the line";
    u.write(MCR, 0);
    u.write(THR, 0x55);
    EXPECT_EQ(u.takeTransmitted(), std::vector<uint8_t>{0x55});
}

TEST(UartModel, FifoOverrunKeepsContentsAndErrorsAppearWithTheirCharacter) {
    Uart u = make(UartKind::Uart16550);
    u.write(FCR, 0x01);
    for (int i = 0; i < 16; ++i)
        u.receive(static_cast<uint8_t>(i), i == 1 ? LSR_PE : 0);
    EXPECT_EQ(u.rxCount(), 16u);
    u.receive(0xEE);
    EXPECT_EQ(u.rxCount(), 16u);
    uint8_t lsr = u.read(LSR);
    EXPECT_TRUE(lsr & LSR_OE);
    EXPECT_TRUE(lsr & LSR_FIFO_ERROR) << "a character with an error is in the FIFO";
    EXPECT_FALSE(lsr & LSR_PE) << "its parity error shows only when it reaches the top";
    EXPECT_EQ(u.read(RBR), 0);
    EXPECT_TRUE(u.read(LSR) & LSR_PE);
    EXPECT_EQ(u.read(RBR), 1);
    EXPECT_FALSE(u.read(LSR) & (LSR_PE | LSR_FIFO_ERROR));
    u.write(FCR, 0x03); // clear the receive FIFO
    EXPECT_EQ(u.rxCount(), 0u);
    EXPECT_FALSE(u.read(LSR) & LSR_DR);
}

TEST(UartModel, FifoReceiveInterruptWaitsForTheTriggerLevel) {
    Uart u = make(UartKind::Uart16550);
    u.write(FCR, 0x41); // trigger at 4
    u.write(IER, 0x01);
    for (int i = 0; i < 3; ++i)
        u.receive(0x30);
    EXPECT_EQ(u.pendingIdentification() & 0x0F, 0x01);
    u.receive(0x30);
    EXPECT_EQ(u.pendingIdentification() & 0x0F, 0x04);
}

TEST(Uart16C950Model, IndexedRegistersNeedTheirReadEnable) {
    Uart u = make(UartKind::Uart16C950, 14745600);
    u.write(SPR, ICR_ID1);
    EXPECT_EQ(u.read(LSR), LSR_THRE | LSR_TEMT) << "without the read enable offset 5 is the line status";
    u.write(SPR, ICR_ACR);
    u.write(ICR, ACR_ICR_READ);
    u.write(SPR, ICR_ID1);
    EXPECT_EQ(u.read(ICR), 0x16);
    u.write(SPR, ICR_ID2);
    EXPECT_EQ(u.read(ICR), 0xC9);
    u.write(SPR, ICR_ID3);
    EXPECT_EQ(u.read(ICR) & 0xF0, 0x50);
    u.write(ICR, 0x00); // identification registers are read-only
    EXPECT_EQ(u.icr(ICR_ID3), 0x50);
}

TEST(Uart16C950Model, EnhancedModeOpensTheHighModemControlBits) {
    Uart u = make(UartKind::Uart16C950, 14745600);
    u.write(MCR, MCR_PRESCALER);
    EXPECT_EQ(u.mcr(), 0) << "bit 7 cannot be set in 550 mode";
    u.write(LCR, LCR_ENHANCED_ACCESS);
    u.write(EFR, EFR_ENHANCED);
    u.write(LCR, 0x03);
    EXPECT_TRUE(u.enhancedMode());
    EXPECT_EQ(u.lcr(), 0x03);
    EXPECT_EQ(u.fifoDepth(), 128u);
    u.write(MCR, MCR_PRESCALER);
    EXPECT_EQ(u.mcr(), MCR_PRESCALER);
}

TEST(Uart16C950Model, RateFollowsSampleClockPrescalerAndDivisor) {
    Uart u = make(UartKind::Uart16C950, 14745600);
    u.write(LCR, LCR_DLAB);
    u.write(DLL, 1);
    u.write(LCR, 0);
    EXPECT_DOUBLE_EQ(u.baudRate(), 921600.0) << "16 samples, prescaler off";
    u.write(SPR, ICR_TCR);
    u.write(ICR, 4);
    EXPECT_DOUBLE_EQ(u.baudRate(), 3686400.0);
    u.write(SPR, ICR_CPR);
    u.write(ICR, 12); // 1.5, effective only once switched in
    EXPECT_DOUBLE_EQ(u.baudRate(), 3686400.0);
    u.write(LCR, LCR_ENHANCED_ACCESS);
    u.write(EFR, EFR_ENHANCED);
    u.write(LCR, 0);
    u.write(MCR, MCR_PRESCALER);
    EXPECT_DOUBLE_EQ(u.baudRate(), 14745600.0 * 8 / (4 * 1 * 12));
    u.write(SPR, ICR_TCR);
    u.write(ICR, 2); // values below 4 select 16 samples
    EXPECT_EQ(u.samplesPerBit(), 16u);
}

TEST(Uart16C950Model, WritingZeroToTheResetRegisterResetsTheUart) {
    Uart u = make(UartKind::Uart16C950, 14745600);
    u.write(LCR, 0x1B);
    u.write(SPR, ICR_CPR);
    u.write(ICR, 0x08);
    u.write(SPR, ICR_CSR);
    u.write(ICR, 0x00);
    EXPECT_EQ(u.lcr(), 0);
    EXPECT_EQ(u.icr(ICR_CPR), 0x20);
}

// What the model keeps to spare work at every character (whether an interrupt is pending, the format
// and its times) agrees with what the registers say, whatever a driver writes and however the line
// runs: random accesses, received characters and time passing, on every kind.
TEST(UartModel, WhatTheModelKeepsAgreesWithItsRegisters) {
    std::mt19937 random(23);
    const uint16_t writable[] = {THR, IER, FCR, LCR, MCR, SPR, ICR};
    for (UartKind kind : kAllKinds) {
        EventQueue clock;
        Uart u(kind, 14745600);
        u.attachClock(&clock);
        u.write(LCR, LCR_DLAB);
        u.write(DLL, 1);
        u.write(LCR, 0x03);
        for (int step = 0; step < 20000; ++step) {
            const unsigned what = random() % 10;
            if (what < 3) {
                uint8_t value = static_cast<uint8_t>(random());
                const uint16_t offset = writable[random() % std::size(writable)];
                if (offset == LCR && random() % 4) // mostly without the latch or the enhanced registers open
                    value &= static_cast<uint8_t>(~LCR_DLAB);
                u.write(offset, value);
            } else if (what < 6) { // reads, half of them of received characters
                u.read(random() % 2 ? RBR : static_cast<uint16_t>(random() % 8));
            } else if (what < 7) {
                u.receive(static_cast<uint8_t>(random()), random() % 32 ? 0 : LSR_PE);
            } else if (what < 8) { // the FIFO emptied, a character, then a pause for a receive timeout
                for (size_t n = u.rxCount(); n; --n)
                    u.read(RBR);
                u.read(LSR);
                u.receive(static_cast<uint8_t>(random()));
                clock.runFor(RoundTicks(5 * u.currentFormat().ticks()));
            } else {
                clock.runFor(random() % 1500);
            }
            if (step % 997 == 0) // a divider or the clock changed behind the format's back
                u.setInputClock(random() % 2 ? 14745600 : 1843200);
            const uint8_t iir = u.pendingIdentification();
            ASSERT_EQ(u.interruptPending(), (iir & IIR_NO_INTERRUPT) == 0)
                << toString(kind) << " at step " << step;
            // What the identification shows of the FIFOs and of received data, against the registers.
            const bool fifos = u.fifoEnabled() && kind != UartKind::Uart16450;
            ASSERT_EQ(iir & IIR_FIFOS_ENABLED, fifos ? IIR_FIFOS_ENABLED : 0) << toString(kind);
            ASSERT_EQ((iir & IIR_64_BYTE_FIFO) != 0, fifos && kind == UartKind::Uart16750 && u.fifo64());
            const bool lineErrors = (u.ier() & IER_RLS) && (u.lsr() & (LSR_OE | LSR_PE | LSR_FE | LSR_BI));
            const bool dataReady =
                u.fifoEnabled() ? u.rxCount() >= u.rxTriggerLevel() : (u.lsr() & LSR_DR) != 0;
            if ((u.ier() & IER_RDA) && !lineErrors) {
                ASSERT_EQ((iir & IIR_ID_MASK) == IIR_RX_DATA, dataReady)
                    << toString(kind) << " at step " << step;
            }
            const Frame f = u.currentFormat();
            const double rate = u.baudRate();
            // Within rounding: a 32-bit build may keep the expected value at extended precision.
            ASSERT_DOUBLE_EQ(f.bitTicks, rate > 0 ? double(kTicksPerSecond) / rate : 0.0) << toString(kind);
            ASSERT_EQ(f.dataBits, 5u + (u.lcr() & LCR_WORD_LENGTH_MASK)) << toString(kind);
            ASSERT_EQ(f.parity, (u.lcr() & LCR_PARITY_ENABLE) ? (u.lcr() & LCR_PARITY_MASK) : 0)
                << toString(kind);
        }
    }
}

namespace {
// Every frame a UART sends, with the time its last stop bit ends.
struct RecordingLine final : LineSide {
    const EventQueue* clock = nullptr;
    std::vector<std::pair<Tick, uint8_t>> frames;
    void transmit(const Frame& frame) override { frames.emplace_back(clock->now(), frame.data); }
};
} // namespace

// A run of writes to one register (a string output instruction) does exactly what the same writes one
// by one do: to the transmit holding register, to the divisor behind the latch, to any other register.
TEST(UartModel, ARunOfWritesIsTheWritesOneByOne) {
    std::mt19937 random(41);
    for (UartKind kind : kAllKinds) {
        EventQueue clock;
        Uart run(kind, 14745600), single(kind, 14745600);
        RecordingLine runLine, singleLine;
        std::vector<bool> runLevels, singleLevels;
        auto connect = [&clock](Uart& u, RecordingLine& line, std::vector<bool>& levels) {
            line.clock = &clock;
            u.attachClock(&clock);
            u.attachLine(&line);
            u.setInterruptSink([&levels](bool level) { levels.push_back(level); });
            u.write(LCR, LCR_DLAB);
            u.write(DLL, 4);
            u.write(LCR, 0x03);
            u.write(IER, IER_THRE | IER_RDA);
        };
        connect(run, runLine, runLevels);
        connect(single, singleLine, singleLevels);
        for (int step = 0; step < 2000; ++step) {
            const unsigned what = random() % 8;
            uint8_t values[40];
            const size_t count = 1 + random() % std::size(values);
            for (uint8_t& v : values)
                v = static_cast<uint8_t>(random());
            if (what < 4) { // characters, or the scratch or interrupt enable register
                const uint16_t offset = what < 3 ? THR : (random() % 2 ? SPR : IER);
                run.writeRun(offset, values, count);
                for (size_t i = 0; i < count; ++i)
                    single.write(offset, values[i]);
            } else if (what < 5) { // the latch opened, a run to the divisor's low byte, the FIFOs switched
                for (uint8_t& v : values)
                    v = static_cast<uint8_t>(1 + v % 8);
                for (Uart* u : {&run, &single})
                    u->write(LCR, LCR_DLAB | 0x03);
                run.writeRun(DLL, values, count);
                for (size_t i = 0; i < count; ++i)
                    single.write(DLL, values[i]);
                const uint8_t fcr = random() % 2 ? FCR_ENABLE : 0;
                for (Uart* u : {&run, &single}) {
                    u->write(LCR, 0x03);
                    u->write(FCR, fcr);
                }
            } else {
                clock.runFor(random() % 3000);
            }
            ASSERT_EQ(run.divisor(), single.divisor()) << toString(kind) << " at step " << step;
            ASSERT_EQ(run.txCount(), single.txCount()) << toString(kind) << " at step " << step;
            ASSERT_EQ(run.pendingIdentification(), single.pendingIdentification()) << toString(kind);
            ASSERT_EQ(run.lsr(), single.lsr()) << toString(kind) << " at step " << step;
        }
        clock.runFor(kTicksPerSecond);
        EXPECT_EQ(runLine.frames, singleLine.frames) << toString(kind);
        EXPECT_GT(runLine.frames.size(), 500u) << toString(kind) << ": the runs reached the line";
        EXPECT_EQ(runLevels, singleLevels) << toString(kind);
    }
}
