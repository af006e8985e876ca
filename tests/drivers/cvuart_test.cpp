// CvNt's UART classes driving the UART models through the platform's port I/O.
#include "driver_fixture.h"

#include "CvUart.h"
#include "hw/uart.h"

#include <functional>
#include <map>
#include <memory>
#include <vector>

namespace {

using Write = std::pair<uint16_t, uint8_t>; // offset, value

class CvUartTest : public DriverTest {
protected:
    static constexpr uint16_t kBase = 0x300;

    hw::Uart& Attach(hw::UartKind kind, uint32_t clock = 1843200, uint16_t base = kBase) {
        models.push_back(std::make_unique<hw::Uart>(kind, clock));
        kernel.ports().attach(base, 8, *models.back());
        return *models.back();
    }

    CCvUart* Create(UCHAR type, uint32_t clock = 1843200, LONG softLimit = 100) {
        CCvUart* uart = CvAllocateUart(type);
        EXPECT_NE(uart, nullptr);
        uart->m_unBaseAddress = kBase;
        uart->m_ulClockFrequency = clock;
        uart->m_ulClockFrequencyAdjustment = 1;
        uart->m_lSoftTxLimit = softLimit;
        return uart;
    }

    std::vector<Write> Writes() {
        std::vector<Write> writes;
        for (const auto& a : kernel.ports().trace())
            if (a.write)
                writes.emplace_back(static_cast<uint16_t>(a.address - kBase), static_cast<uint8_t>(a.value));
        return writes;
    }

    std::vector<std::unique_ptr<hw::Uart>> models;
};

// A register file that answers reads from a script, for probes no real model gives.
class ScriptedDevice : public hw::PortDevice {
public:
    std::function<uint8_t(uint16_t offset, const std::vector<Write>& writes)> answer;
    std::vector<Write> writes;
    uint8_t read(uint16_t offset) override { return answer(offset, writes); }
    void write(uint16_t offset, uint8_t value) override { writes.emplace_back(offset, value); }
};

} // namespace

TEST_F(CvUartTest, DetectsEachTypeAndNothingWhereNothingAnswers) {
    const std::pair<hw::UartKind, UCHAR> kinds[] = {{hw::UartKind::Uart16450, 4},
                                                    {hw::UartKind::Uart16550, 5},
                                                    {hw::UartKind::Uart16750, 7},
                                                    {hw::UartKind::Uart16C950, 9}};
    uint16_t base = 0x100;
    for (const auto& [kind, code] : kinds) {
        Attach(kind, 1843200, base);
        EXPECT_EQ(DetectUart(base), code) << hw::toString(kind);
        base += 8;
    }
    EXPECT_EQ(DetectUart(0x2E8), 0) << "an address nothing decodes reads 0xFF";
}

TEST_F(CvUartTest, The16950ProbeWinsOverThe16750Answer) {
    ScriptedDevice device;
    device.answer = [](uint16_t offset, const std::vector<Write>& writes) -> uint8_t {
        uint8_t index = 0;
        for (const auto& [o, v] : writes)
            if (o == 7)
                index = v;
        if (offset == 5)
            return index == 0x08 ? 0x16 : index == 0x09 ? 0xC9 : index == 0x0A ? 0x52 : 0x60;
        if (offset == 2)
            return 0xE1; // would also pass as a 16750
        return 0;
    };
    kernel.ports().attach(kBase, 8, device);
    EXPECT_EQ(DetectUart(kBase), 9);
    EXPECT_EQ(device.writes.back(), Write(5, 0x00)) << "the indexed registers are left with read enable off";
}

TEST_F(CvUartTest, A16750AnswerEndsTheProbeBeforeThe16550Test) {
    Attach(hw::UartKind::Uart16750);
    kernel.ports().setTracing(true);
    ASSERT_EQ(DetectUart(kBase), 7);
    auto writes = Writes();
    ASSERT_GE(writes.size(), 3u);
    EXPECT_EQ(std::vector<Write>(writes.end() - 3, writes.end()),
              (std::vector<Write>{{3, 0x80}, {2, 0x21}, {3, 0x00}}));
}

TEST_F(CvUartTest, ResetWritesExactlyItsSequence) {
    hw::Uart& model = Attach(hw::UartKind::Uart16550);
    CCvUart* uart = Create(5);
    model.write(3, 0x5B);
    model.write(4, 0x1F);
    model.write(1, 0x0F);
    uart->m_ucFCR = 0xCF;
    kernel.ports().setTracing(true);
    uart->ResetUart();
    std::vector<Write> expected = {
        {3, 0x1B},                                  // break off
        {2, 0xC7},                                  // DMA mode off
        {4, 0x1E}, {4, 0x0E}, {4, 0x06}, {4, 0x04}, // DTR, loopback, OUT2, RTS off
        {1, 0x0E}, {1, 0x0C}, {1, 0x08}, {1, 0x00}, // the four interrupt enables off
        {2, 0xC6},                                  // FIFO off
        {4, 0x00},                                  // OUT1 and OUT2 off
        {2, 0xC6}, {2, 0xC6},                       // both FIFOs cleared, from the image
        {3, 0x1B}, {3, 0x1B}, {3, 0x03},            // 8 data bits, 1 stop bit, no parity
        {3, 0x83}, {0, 96},   {1, 0},    {3, 0x03}, // 1200 baud
    };
    EXPECT_EQ(Writes(), expected);
    EXPECT_EQ(model.lcr(), 0x03);
    EXPECT_EQ(model.ier(), 0x00);
    EXPECT_EQ(model.mcr(), 0x00);
    EXPECT_FALSE(model.fifoEnabled());
    EXPECT_DOUBLE_EQ(model.baudRate(), 1200.0);
    EXPECT_EQ(uart->GetBaudrate(), 1200u);
    CvFreeUart(uart);
}

TEST_F(CvUartTest, FifoImageKeepsItsClearBitsAndTriggerLevels) {
    hw::Uart& model = Attach(hw::UartKind::Uart16550);
    CCvUart* uart = Create(5);
    EXPECT_FALSE(uart->EnableFifoAndFlush()) << "both trigger levels 0: FIFO off";
    EXPECT_FALSE(model.fifoEnabled());
    uart->m_lRxTriggerLevel = 0x40;
    ASSERT_TRUE(uart->EnableFifoAndFlush());
    EXPECT_EQ(uart->m_ucFCR & 0x07, 0x07);
    kernel.ports().setTracing(true);
    uart->SetReceiverTriggerLevel(0x80);
    uart->SetReceiverTriggerLevel(0x20); // not a trigger value: 1-byte trigger
    EXPECT_EQ(Writes(), (std::vector<Write>{{2, 0x87}, {2, 0x07}}));
    EXPECT_EQ(model.rxTriggerLevel(), 1u);
    CvFreeUart(uart);
}

TEST_F(CvUartTest, LineControlAndModemControlOperations) {
    hw::Uart& model = Attach(hw::UartKind::Uart16550);
    CCvUart* uart = Create(5);
    uart->SetDataLength(2);
    uart->SetNumberStopBits(2);
    uart->SetParity(3);
    EXPECT_EQ(model.lcr(), 0x01 | 0x04 | 0x28);
    uart->SetDataLength(6); // not a data-length code: bits 0-1 stay clear
    uart->SetParity(9);
    EXPECT_EQ(model.lcr(), 0x04);
    uart->SetBreak();
    EXPECT_TRUE(model.breakOn());
    uart->SetDtr();
    uart->SetRts();
    uart->SetOut2();
    EXPECT_TRUE(uart->GetDtr());
    EXPECT_TRUE(uart->GetRts());
    EXPECT_EQ(model.mcr(), 0x0B);
    uart->ClearRts();
    EXPECT_FALSE(uart->GetRts());
    uart->EnableAllInterrupts();
    EXPECT_EQ(model.ier(), 0x0F);
    uart->DisableTxHoldingRegisterEmptyInterrupt();
    EXPECT_EQ(model.ier(), 0x0D);
    CvFreeUart(uart);
}

TEST_F(CvUartTest, DivisorsWithAZeroLowByteAreWrittenOneHigher) {
    hw::Uart& model = Attach(hw::UartKind::Uart16550);
    CCvUart* uart = Create(5);
    kernel.ports().setTracing(true);
    uart->WriteDivisor(256);
    EXPECT_EQ(model.divisor(), 0x0101);
    uart->WriteDivisor(0x0300);
    EXPECT_EQ(model.divisor(), 0x0301);
    uart->WriteDivisor(12);
    EXPECT_EQ(model.divisor(), 12);
    CvFreeUart(uart);
}

TEST_F(CvUartTest, SetUpCompletesEachTypeAndItsSoftTransmitLimit) {
    struct Case {
        hw::UartKind kind;
        UCHAR type;
        LONG softLimit;
        LONG bytes;
    } cases[] = {
        {hw::UartKind::Uart16450, 4, 100, 1}, {hw::UartKind::Uart16550, 5, 50, 8},
        {hw::UartKind::Uart16550, 5, 0, 1},   {hw::UartKind::Uart16750, 7, 50, 32},
        {hw::UartKind::Uart16750, 7, 1, 1},   {hw::UartKind::Uart16C950, 9, 50, 64},
        {hw::UartKind::Uart16C950, 9, 0, 1},
    };
    for (const auto& c : cases) {
        models.clear();
        kernel.ports().detach(kBase);
        uint32_t clock = c.type == 9 ? 14745600 : 1843200;
        hw::Uart& model = Attach(c.kind, clock);
        CCvUart* uart = Create(c.type, clock, c.softLimit);
        CvCompleteUartSetUp(uart);
        EXPECT_EQ(uart->m_lSoftTxLimitInBytes, c.bytes)
            << hw::toString(c.kind) << " at " << c.softLimit << "%";
        EXPECT_DOUBLE_EQ(model.baudRate(), 1200.0) << hw::toString(c.kind);
        if (c.type == 7) {
            EXPECT_TRUE(model.fifo64());
        }
        if (c.type == 9) {
            EXPECT_TRUE(model.enhancedMode());
            EXPECT_EQ(model.mcr() & 0x80, 0x80) << "prescaler switched in";
        }
        CvFreeUart(uart);
    }
}

TEST_F(CvUartTest, AllocationFailureAndUnknownTypesGiveNoObject) {
    EXPECT_EQ(CvAllocateUart(0), nullptr);
    EXPECT_EQ(CvAllocateUart(6), nullptr);
    kernel.pool().failNth(1);
    EXPECT_EQ(CvAllocateUart(5), nullptr);
}
