// The benchmarks' large NT 4 machine: N PCI cards of eight 16C950 ports behind a bridge (an
// installation's largest is 16) and up to four ISA cards of four 16550 ports with a shared interrupt
// status register, with CvNt's registry for them.
#pragma once

#include "platform/nt/kernel.h"
#include "sim/machine.h"

#include <cstdio>
#include <string>

namespace bench {

inline std::string Hex(unsigned value) {
    char text[16];
    std::snprintf(text, sizeof text, "%08x", value);
    return text;
}

// The address of port `port` (from 0) of PCI card `card` (from 0) of CardMachine.
inline uint16_t CardPortAddress(unsigned card, unsigned port) {
    return static_cast<uint16_t>(0x8000 + 0x40 * card + 8 * port);
}

// PCI card `c` (from 0): eight 16C950 ports at 14.7456 MHz, its windows and its interrupt line.
inline sim::CardSpec PciCard(unsigned c) {
    sim::CardSpec card;
    card.name = "PCI card " + std::to_string(c + 1);
    card.bus = "PCI";
    card.clockHz = 14745600;
    card.uarts.assign(8, sim::UartSpec{0, hw::UartKind::Uart16C950});
    card.pciDevice = static_cast<uint8_t>(c + 1);
    card.pci.uartWindow = CardPortAddress(c, 0);
    card.pci.bridgeIo = static_cast<uint16_t>(0xC000 + 0x80 * c);
    card.pci.interruptLine = static_cast<uint8_t>(11 + c % 2);
    card.vector = nt::VectorForIrq(card.pci.interruptLine);
    return card;
}

inline sim::MachineSpec CardMachine(unsigned pciCards, unsigned isaCards) {
    sim::MachineSpec spec;
    spec.standardPorts = {sim::StandardPortSpec{0x3F8, 4, 1}, sim::StandardPortSpec{0x2F8, 3, 2}};
    spec.pciBuses = {0};
    const std::string service = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt";
    std::string reg =
        "Windows Registry Editor Version 5.00\n\n" + service + "]\n\"Type\"=dword:1\n\"Start\"=dword:3\n" +
        "\"LogLevel\"=dword:1\n\n" + service + "\\Templates\\Bus5\\Card1]\n" +
        "\"VendorID\"=dword:000010b5\n\"DeviceID\"=dword:00000020\n\"ClockFrequency\"=dword:00e10000\n"
        "\"nComPorts\"=dword:8\n\"nLptPorts\"=dword:0\n\"Description\"=\"Corvane PCI 8\"\n"
        "\"BaseAddressAlignment\"=dword:8\n\"PlxBaudClockType\"=dword:1\n\"PlxBaudClockDivisor\"=dword:1\n"
        "\"PlxBaudClockOffset\"=dword:50\n\"UartType\"=dword:9\n";
    for (unsigned c = 0; c < pciCards; ++c) {
        sim::CardSpec card = PciCard(c);
        card.pci.bridgeMemory = 0xFE000000u + 0x1000u * c;
        card.pci.divisorKind = hw::BridgeDivisor::Byte;
        spec.cards.push_back(card);
    }
    const unsigned irqs[] = {5, 7, 9, 10};
    for (unsigned c = 0; c < isaCards; ++c) {
        sim::CardSpec card;
        card.name = "ISA card " + std::to_string(c + 1);
        card.bus = "ISA";
        card.clockHz = 1843200;
        card.sisrAddress = static_cast<uint16_t>(0x1A0 + 0x40 * c);
        card.vector = nt::VectorForIrq(irqs[c]);
        std::string cardKey = service + "\\Parameters\\Bus1\\Card" + std::to_string(c + 1);
        reg += "\n" + cardKey +
               "]\n\"ClockFrequency\"=dword:001c2000\n\"SisrAddress\"=dword:" + Hex(card.sisrAddress) +
               "\n\"InterruptLevel\"=dword:" + Hex(irqs[c]) + "\n";
        for (unsigned p = 0; p < 4; ++p) {
            auto base = static_cast<uint16_t>(0x1A0 + 0x40 * c + 8 + 8 * p);
            card.uarts.push_back(sim::UartSpec{base, hw::UartKind::Uart16550});
            reg += "\n" + cardKey + "\\ComPort" + std::to_string(p + 1) +
                   "]\n\"BaseAddress\"=dword:" + Hex(base) +
                   "\n\"BaseAddressRange\"=dword:8\n\"BaseAddressAlignment\"=dword:8\n\"nCom\"=dword:" +
                   Hex(20 + 4 * c + p) + "\n";
        }
        spec.cards.push_back(card);
    }
    spec.registryText = reg;
    return spec;
}

} // namespace bench
