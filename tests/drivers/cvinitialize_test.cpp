// The bridge's baud clock divisor register and the divisor each UART object works with: they must
// agree, or the rate on the wire is wrong.
#include "config_fixture.h"

#include "CvUart.h"
#include "hw/wiring.h"

namespace {

std::string PlxTemplate(int type, int divisor, int ports) {
    char text[512];
    std::snprintf(text, sizeof text, R"(
[S\Templates\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000020
"ClockFrequency"=dword:00e10000
"nComPorts"=dword:%d
"nLptPorts"=dword:0
"Description"="Corvane PLX"
"BaseAddressAlignment"=dword:8
"PlxBaudClockType"=dword:%d
"PlxBaudClockDivisor"=dword:%d
"PlxBaudClockOffset"=dword:50
"DuplexOperation"=dword:5
"CtsTrue"=dword:8
)",
                  ports, type, divisor);
    return text;
}

const std::string kInstalledCard = R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000020
"nBus"=dword:0
"nSlot"=dword:1
[S\Parameters\Bus5\Card1\ComPort1]
"PlxBaudClockDivisor"=dword:1
[S\Parameters\Bus5\Card1\ComPort2]
)";

class PlxTest : public BusTest {
protected:
    void TearDown() override {
        peers.clear();
        for (auto& card : cards)
            for (auto& w : card->ioWindows())
                kernel.ports().detach(w.base);
        BusTest::TearDown();
    }

    hw::PciSerialCard& Machine(hw::BridgeDivisor kind, const std::string& body) {
        hw::PciCardLayout layout;
        layout.kind = hw::UartKind::Uart16550;
        layout.uarts = 2;
        layout.divisorKind = kind;
        layout.divisorOffset = 0x50;
        layout.window2 = 0xE400;
        cards.push_back(std::make_unique<hw::PciSerialCard>(layout));
        hw::PciSerialCard& card = *cards.back();
        kernel.pci().plug(0, 1, 0, card);
        for (auto& w : card.ioWindows())
            kernel.ports().attach(w.base, w.length, *w.device);
        EXPECT_EQ(ScanAndMatch(body), STATUS_SUCCESS);
        EXPECT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_SUCCESS);
        EXPECT_EQ(MatchPciCCvDevicesWithParameters(ports, pci.pParametersCardList), STATUS_SUCCESS);
        // What the resource claim gives the card: its bridge and second windows.
        for (auto* node : Ports()) {
            node->pClass->pParentCard->m_unPlxAddress = layout.bridgeIo;
            node->pClass->pParentCard->m_ulPlxAddressRange = card.barSize(1);
            node->pClass->pParentCard->m_unIoWindow2Address = layout.window2;
            node->pClass->pParentCard->m_ulIoWindow2AddressRange = card.barSize(3);
        }
        return card;
    }

    // The UART object of each port as start-up makes it, at `baud` with 8 data bits.
    void MakeUarts(hw::PciSerialCard& card, ULONG baud, bool agree = true) {
        for (auto* node : Ports()) {
            CCvDevice* port = node->pClass;
            unsigned index = port->m_unPortOnCardNumber - 1u;
            port->pChip_Uart = CvAllocateUart(CV_UART_16550);
            port->pChip_Uart->m_unBaseAddress = static_cast<USHORT>(card.layout().uartWindow + 8 * index);
            port->pChip_Uart->m_ulClockFrequency = 14745600;
            port->pChip_Uart->m_ulClockFrequencyAdjustment = 1;
            port->pChip_Uart->m_unPlxBaudClockDivisor = agree ? CvPciPortClockDivisor(node) : 0;
            CvCompleteUartSetUp(port->pChip_Uart);
            ASSERT_EQ(port->pChip_Uart->SetBaudrate(baud), STATUS_SUCCESS);
            card.uart(index).write(3, 0x03);
            card.uart(index).write(2, 0x07); // FIFO on: the bytes below are written back to back
            card.uart(index).attachClock(&kernel.timeline());
            hw::Frame format;
            format.bitTicks = double(hw::kTicksPerSecond) / baud;
            peers.push_back(std::make_unique<hw::ScriptedPeer>(kernel.timeline(), card.uart(index), format));
        }
    }

    // Sends a few bytes from each port and returns what its peer received, with any line errors.
    bool WireIsClean(const std::vector<uint8_t>& bytes) {
        auto nodes = Ports();
        for (auto* node : nodes)
            for (uint8_t b : bytes)
                node->pClass->pChip_Uart->WriteData(b);
        kernel.runUntil(kernel.now() + hw::kTicksPerSecond / 10);
        bool clean = true;
        for (auto& peer : peers) {
            clean = clean && peer->receivedBytes() == bytes;
            for (const auto& r : peer->received())
                clean = clean && r.errors == 0;
        }
        return clean;
    }

    std::vector<std::unique_ptr<hw::ScriptedPeer>> peers;
};

TEST_F(PlxTest, AnInstalledCardWithoutADivisorKeepsTheTemplatesInBridgeAndUartAlike) {
    hw::PciSerialCard& card = Machine(hw::BridgeDivisor::Byte, PlxTemplate(1, 4, 2) + kInstalledCard);
    ASSERT_EQ(InitializePlxChip(ports), STATUS_SUCCESS);
    EXPECT_EQ(card.bridgeDivisor(0), 4u);
    EXPECT_EQ(card.bridgeDivisor(1), 4u);
    for (auto* node : Ports())
        EXPECT_EQ(CvPciPortClockDivisor(node), 4)
            << "a port's own divisor cannot change a card-wide register";
    MakeUarts(card, 9600);
    EXPECT_TRUE(WireIsClean({'C', 'v', 0x00, 0xFF, 0x55}));
}

TEST_F(PlxTest, AUartThatDisagreesWithTheBridgeIsWrongOnTheWire) {
    hw::PciSerialCard& card = Machine(hw::BridgeDivisor::Byte, PlxTemplate(1, 4, 2) + kInstalledCard);
    ASSERT_EQ(InitializePlxChip(ports), STATUS_SUCCESS);
    MakeUarts(card, 9600, /*agree=*/false); // the UART object assumes an undivided clock
    EXPECT_FALSE(WireIsClean({'C', 'v', 0x00, 0xFF, 0x55}));
}

TEST_F(PlxTest, BridgeRegisterValuesForEachType) {
    // Type 1 with divisor 3: /8 and the warning.
    kernel.ports().setTracing(true);
    hw::PciSerialCard& card = Machine(hw::BridgeDivisor::Byte, PlxTemplate(1, 3, 2));
    kernel.eventLog().clear();
    ASSERT_EQ(InitializePlxChip(ports), STATUS_SUCCESS);
    EXPECT_EQ(card.bridgeDivisor(0), 8u);
    auto writes = kernel.ports().trace();
    ASSERT_EQ(writes.size(), 1u) << "once per card";
    EXPECT_EQ(writes[0].address, 0xEC50u);
    EXPECT_EQ(writes[0].value, 0xF6);
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"An invalid Baud Clock Divisor of 3 was attempted to be set on the "
                                        "PLX chip. The value was defaulted to /8."}));
}

TEST_F(PlxTest, PerPortRegistersCarryDuplexAndCtsBits) {
    kernel.ports().setTracing(true);
    hw::PciSerialCard& card = Machine(hw::BridgeDivisor::PerPort, PlxTemplate(3, 2, 2));
    MakeUarts(card, 19200);
    kernel.ports().clearTrace();
    ASSERT_EQ(InitializePlxChip(ports), STATUS_SUCCESS);
    auto writes = kernel.ports().trace();
    ASSERT_EQ(writes.size(), 2u);
    EXPECT_EQ(writes[0].address, 0xE400u);
    EXPECT_EQ(writes[1].address, 0xE402u);
    EXPECT_EQ(writes[0].value, 0x2D);
    EXPECT_EQ(writes[1].value, 0x2D);
    EXPECT_EQ(card.bridgeDivisor(1), 2u);
    EXPECT_TRUE(WireIsClean({0x12, 0x34}));
}

TEST_F(PlxTest, AnUnknownDivisorTypeStopsTheLoad) {
    Machine(hw::BridgeDivisor::None, PlxTemplate(0, 0, 2));
    for (auto* node : Ports())
        node->pClass->pParentCard->m_ucPlxBaudClockType = 5;
    EXPECT_EQ(InitializePlxChip(ports), CV_STATUS_SEVERE);
}

TEST_F(PlxTest, AWordRegisterIsWrittenOncePerCardWithItsSixteenBitValue) {
    kernel.ports().setTracing(true);
    hw::PciSerialCard& card = Machine(hw::BridgeDivisor::Word, PlxTemplate(2, 4, 2));
    kernel.ports().clearTrace();
    ASSERT_EQ(InitializePlxChip(ports), STATUS_SUCCESS);
    auto writes = kernel.ports().trace();
    ASSERT_EQ(writes.size(), 1u);
    EXPECT_EQ(writes[0].address, 0xEC50u);
    EXPECT_EQ(writes[0].width, 2);
    EXPECT_EQ(writes[0].value, 0x4CB6);
    EXPECT_EQ(card.bridgeDivisor(1), 4u) << "the bridge applies it";
    MakeUarts(card, 9600);
    EXPECT_TRUE(WireIsClean({0x5A, 0xA5, 0x00}));
}

} // namespace
