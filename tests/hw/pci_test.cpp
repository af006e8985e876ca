// The PCI model: configuration reads as the HAL sees them, and a card whose bridge divisor register
// really divides the clock of the UARTs behind it.
#include "hw/pci.h"

#include <gtest/gtest.h>

namespace {

TEST(PciBuses, ConfigurationReadsTellMissingBusesEmptySlotsAndFunctionsApart) {
    hw::PciBuses buses;
    buses.addBus(0);
    hw::PciCardLayout layout;
    layout.deviceId = 0x0029;
    layout.interruptLine = 10;
    hw::PciSerialCard card(layout);
    buses.plug(1, 3, 2, card); // device 3, function 2 on bus 1

    uint8_t buffer[256];
    EXPECT_EQ(buses.readConfig(2, 0, buffer, 4), 0u) << "a bus the machine does not have";
    std::fill(std::begin(buffer), std::end(buffer), 0);
    EXPECT_EQ(buses.readConfig(0, 3, buffer, 4), 2u) << "an empty slot";
    EXPECT_EQ(buffer[0], 0xFF);
    EXPECT_EQ(buffer[1], 0xFF);
    EXPECT_EQ(buses.readConfig(1, 3, buffer, 4), 2u) << "function 0 of that device is empty";

    const uint32_t slot = 3 | 2 << 5;
    ASSERT_EQ(buses.readConfig(1, slot, buffer, 256), 256u);
    EXPECT_EQ(buffer[0] | buffer[1] << 8, 0x10B5);
    EXPECT_EQ(buffer[2] | buffer[3] << 8, 0x0029);
    uint32_t bar2 = buffer[0x18] | buffer[0x19] << 8 | buffer[0x1A] << 16 | uint32_t(buffer[0x1B]) << 24;
    EXPECT_EQ(bar2, 0xE801u) << "the UART window is an I/O window";
    EXPECT_EQ(buffer[0x3C], 10);
    buses.unplug(1, 3, 2);
    EXPECT_EQ(buses.readConfig(1, slot, buffer, 4), 2u) << "gone";
}

TEST(PciBridge, RegisterValuesDecodeToTheDivisionsTheDriverWrites) {
    const std::pair<uint8_t, unsigned> bytes[] = {{0xD2, 1}, {0xD6, 2}, {0xF2, 4},
                                                  {0xF6, 8}, {0x00, 0}, {0xFF, 0}};
    for (auto [value, divisor] : bytes)
        EXPECT_EQ(hw::DecodeBridgeByte(value), divisor) << std::hex << int(value);
    const std::pair<uint16_t, unsigned> words[] = {
        {0x4DB2, 1}, {0x4D96, 2}, {0x4CB6, 4}, {0x45B6, 8}, {0x4DB3, 0}};
    for (auto [value, divisor] : words)
        EXPECT_EQ(hw::DecodeBridgeWord(value), divisor) << std::hex << value;
    EXPECT_EQ(hw::DecodeBridgePerPort(0x30), 1u);
    EXPECT_EQ(hw::DecodeBridgePerPort(0x2D), 2u) << "duplex and CTS bits leave the clock alone";
    EXPECT_EQ(hw::DecodeBridgePerPort(0x1F), 4u);
    EXPECT_EQ(hw::DecodeBridgePerPort(0x08), 8u);
}

hw::PortDevice* WindowAt(hw::PciSerialCard& card, uint16_t base) {
    for (auto& w : card.ioWindows())
        if (w.base == base)
            return w.device;
    return nullptr;
}

TEST(PciBridge, TheBridgeRegisterDividesTheClockOfEveryUartBehindIt) {
    hw::PciCardLayout layout;
    layout.divisorKind = hw::BridgeDivisor::Byte;
    layout.divisorOffset = 0x50;
    hw::PciSerialCard card(layout);
    ASSERT_NE(WindowAt(card, 0xE818), nullptr) << "the fourth UART at window + 3 x spacing";
    EXPECT_EQ(WindowAt(card, 0xE818), &card.uart(3));
    EXPECT_EQ(card.uart(0).inputClock(), 14745600u) << "undivided until programmed";

    hw::PortDevice* bridge = WindowAt(card, 0xEC00);
    ASSERT_NE(bridge, nullptr);
    bridge->write(0x50, 0xF2);
    for (unsigned i = 0; i < 4; ++i)
        EXPECT_EQ(card.uart(i).inputClock(), 14745600u / 4);
    // The UART's own divisor now gives a quarter of the rate it would have had.
    card.uart(0).write(3, 0x80);
    card.uart(0).write(0, 8); // 115 200 baud at the full clock
    card.uart(0).write(1, 0);
    card.uart(0).write(3, 0x03);
    EXPECT_NEAR(card.uart(0).baudRate(), 28800.0, 0.5);

    bridge->write(0x50, 0x12); // selects nothing: the clock stays
    EXPECT_EQ(card.bridgeDivisor(2), 4u);
    bridge->write(0x40, 0xD2); // another register
    EXPECT_EQ(card.bridgeDivisor(2), 4u);
}

TEST(PciBridge, WordAndPerPortRegisters) {
    hw::PciCardLayout word;
    word.divisorKind = hw::BridgeDivisor::Word;
    word.divisorOffset = 0x4C;
    hw::PciSerialCard wordCard(word);
    hw::PortDevice* bridge = WindowAt(wordCard, 0xEC00);
    bridge->write(0x4C, 0x96);
    bridge->write(0x4D, 0x4D);
    EXPECT_EQ(wordCard.bridgeDivisor(0), 2u);
    EXPECT_EQ(wordCard.uart(1).inputClock(), 14745600u / 2);

    hw::PciCardLayout perPort;
    perPort.divisorKind = hw::BridgeDivisor::PerPort;
    perPort.window2 = 0xE400;
    perPort.uarts = 2;
    hw::PciSerialCard card(perPort);
    hw::PortDevice* window2 = WindowAt(card, 0xE400);
    ASSERT_NE(window2, nullptr);
    window2->write(2, 0x2D); // port 2: divide by 2
    EXPECT_EQ(card.bridgeDivisor(0), 1u);
    EXPECT_EQ(card.bridgeDivisor(1), 2u);
    EXPECT_EQ(card.uart(1).inputClock(), 14745600u / 2);
    EXPECT_EQ(window2->read(2), 0x2D);
}

TEST(PciSerialCard, InterruptsOfAllUartsShareTheCardsLine) {
    hw::PciCardLayout layout;
    layout.kind = hw::UartKind::Uart16550;
    hw::PciSerialCard card(layout);
    bool line = false;
    card.setInterruptSink([&](bool level) { line = level; });
    for (unsigned i : {0u, 2u}) {
        card.uart(i).write(4, 0x08); // OUT2
        card.uart(i).write(1, 0x02); // transmit holding empty
    }
    EXPECT_TRUE(line);
    card.uart(0).write(1, 0x00);
    EXPECT_TRUE(line) << "the third UART still asks";
    card.uart(2).write(1, 0x00);
    EXPECT_FALSE(line);
}

} // namespace
