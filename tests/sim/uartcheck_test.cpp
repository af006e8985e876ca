// cvsim's UART check on the built-in machine, as a person or a script reads it.
#include "sim/machine.h"
#include "sim/mainjob.h"
#include "sim/uartcheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

namespace {

std::vector<sim::PortReport> RunCheck() {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto reports = sim::runUartCheck(machine);
    EXPECT_EQ(machine.kernel().pool().liveCount("CvNt"), 0u) << machine.kernel().pool().leakReport("CvNt");
    return reports;
}

} // namespace

TEST(UartCheck, DetectsTheBuiltInMachinesUartsAndTheEmptyAddress) {
    auto reports = RunCheck();
    ASSERT_EQ(reports.size(), 7u);
    EXPECT_EQ(reports[0].address, 0x2E8);
    EXPECT_EQ(reports[0].type, 0);
    EXPECT_TRUE(reports[0].rates.empty());
    for (int i : {1, 2}) {
        EXPECT_EQ(reports[i].type, 5);
        EXPECT_EQ(reports[i].supportedBauds, 0x1006FFFFu);
    }
    for (int i = 3; i < 7; ++i) {
        EXPECT_EQ(reports[i].type, 9);
        EXPECT_EQ(reports[i].clockHz, 14745600u);
    }
}

TEST(UartCheck, AcceptedRatesAreProducedWithinOnePercentAndRefusedOnesChangeNothing) {
    for (const auto& report : RunCheck()) {
        double previous = 0;
        for (const auto& rate : report.rates) {
            if (rate.status == 0 && rate.requested != 56000) {
                EXPECT_LT(std::fabs(rate.produced - rate.requested) / rate.requested, 0.01)
                    << report.address << " " << rate.requested;
            }
            if (rate.status != 0) {
                EXPECT_EQ(rate.produced, previous) << "a refused rate leaves the UART as it was";
            }
            previous = rate.produced;
        }
    }
    auto reports = RunCheck();
    EXPECT_NE(reports[1].rates.back().status, 0u) << "3686400 is beyond a 1.8432 MHz 16550";
    EXPECT_EQ(reports[3].rates.back().status, 0u) << "a 16950 at 14.7456 MHz reaches 3686400";
}

TEST(UartCheck, JsonLinesCarryTheDocumentedKeys) {
    std::string json = sim::formatJsonLines(RunCheck());
    std::istringstream lines(json);
    std::string line;
    std::regex shape(
        R"(^\{"address": "0x[0-9A-F]{4}", "type": \d, "uart": "\w+", "supported_bauds": "0x[0-9A-F]{8}", "rates": \[.*\]\}$)");
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        ++count;
    }
    EXPECT_EQ(count, 7);
    EXPECT_NE(json.find("{\"address\": \"0x0300\", \"type\": 5, \"uart\": \"16550\", \"supported_bauds\": "
                        "\"0x1006FFFF\", "
                        "\"rates\": [{\"requested\": 75, \"status\": \"0x00000000\", \"produced\": "),
              std::string::npos);
    EXPECT_NE(json.find("{\"requested\": 921600, \"status\": \"0x00000000\", \"produced\": 921600}"),
              std::string::npos);
    EXPECT_NE(json.find("{\"requested\": 230400, \"status\": \"0xC0000001\", \"produced\": 115200}"),
              std::string::npos);
}

TEST(UartCheck, TextReportNamesEachPort) {
    std::string text = sim::formatText(RunCheck());
    EXPECT_NE(text.find("Port 0x02E8: no UART answers"), std::string::npos);
    EXPECT_NE(
        text.find("Port 0xE000: 16C950 UART (type 9) on the PCI card, clock 14745600 Hz, supported bauds "
                  "0x1006FFFF"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("      921600  accepted      921600.000   +0.000 %"), std::string::npos) << text;
}

TEST(Machine, BothDriverImagesShareTheProcessEachWithItsOwnCatalogue) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto& registry = machine.kernel().registry();
    const std::string sources = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";
    registry.setString(sources + "CvNt", "EventMessageFile", "%SystemRoot%\\System32\\Drivers\\CvNt.sys", 2);
    registry.setString(sources + "CvInstal", "EventMessageFile",
                       "%SystemRoot%\\System32\\Drivers\\CvInstal.sys", 2);
    auto cvnt = machine.kernel().eventLog().messageText("CvNt", 0x60070001);
    auto cvinstal = machine.kernel().eventLog().messageText("CvInstal", 0x60070001);
    ASSERT_TRUE(cvnt && cvinstal);
    EXPECT_EQ(*cvinstal, u"Event Logging for this driver has been started.\r\n");
    EXPECT_NE(*cvnt, *cvinstal);
    // And CvNt's code runs with its own tracked allocator while CvInstal's image is present.
    auto reports = sim::runUartCheck(machine);
    EXPECT_EQ(reports.size(), 7u);
}

namespace {
struct Received {
    std::vector<uint8_t> bytes;
    std::vector<uint64_t> times;
    sim::Machine* machine = nullptr;
    USHORT base = 0;
};

BOOLEAN ReceiveIsr(PKINTERRUPT, PVOID context) {
    auto* r = static_cast<Received*>(context);
    auto* port = reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(r->base));
    if (READ_PORT_UCHAR(port + 2) & 0x01)
        return FALSE; // not ours
    while (READ_PORT_UCHAR(port + 5) & 0x01) {
        r->bytes.push_back(READ_PORT_UCHAR(port));
        r->times.push_back(r->machine->kernel().now());
    }
    return TRUE;
}
} // namespace

TEST(Machine, UartInterruptsReachTheKernelOnTheirCardsLines) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    nt::KernelScope scope(machine.kernel());
    hw::Uart& a = *machine.uartAt(0xE000);
    hw::Uart& b = *machine.uartAt(0xE008);
    hw::NullModemCable cable(a, b);
    for (hw::Uart* u : {&a, &b}) {
        u->write(3, 0x80);
        u->write(0, 8); // 115200 at 14.7456 MHz, 16 samples per bit
        u->write(3, 0x03);
    }
    Received received;
    received.machine = &machine;
    received.base = 0xE000;
    PKINTERRUPT interrupt = nullptr;
    ASSERT_EQ(IoConnectInterrupt(&interrupt, ReceiveIsr, &received, nullptr, nt::VectorForIrq(11), 11, 11,
                                 LevelSensitive, TRUE, 1, FALSE),
              STATUS_SUCCESS);
    a.write(1, 0x01); // receive interrupts on
    b.write(0, 'h');
    b.write(0, 'i');
    machine.run(10'000);
    EXPECT_EQ(received.bytes, (std::vector<uint8_t>{'h', 'i'}));
    ASSERT_EQ(received.times.size(), 2u);
    EXPECT_EQ(received.times[0], 868u) << "one 10-bit frame at 115200 bit/s";
    EXPECT_EQ(received.times[1], 1736u);
    IoDisconnectInterrupt(interrupt);
}

TEST(Machine, IsaPortsInterruptOnlyWithOut2) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    hw::Uart& port = *machine.uartAt(0x300);
    port.write(1, 0x01);
    port.receive('x');
    EXPECT_FALSE(machine.kernel().interruptLine(nt::VectorForIrq(5)));
    port.write(4, 0x08);
    EXPECT_TRUE(machine.kernel().interruptLine(nt::VectorForIrq(5)));
    port.read(0);
    EXPECT_FALSE(machine.kernel().interruptLine(nt::VectorForIrq(5)));
}

TEST(Machine, PciCardsSitOnTheirBusesWithTheirWindowsAndBridge) {
    sim::MachineSpec spec = sim::MachineSpec::builtInDefault();
    sim::CardSpec second = spec.cards[0];
    second.pciBus = 2;
    second.pciDevice = 1;
    second.pciFunction = 1;
    second.pci.deviceId = 0x0023;
    second.pci.uartWindow = 0xD000;
    second.pci.bridgeIo = 0xD800;
    second.pci.divisorKind = hw::BridgeDivisor::Byte;
    second.pci.divisorOffset = 0x50;
    second.uarts.resize(2);
    second.vector = 0x3C;
    spec.cards.push_back(second);
    spec.pciBuses = {0, 1, 2};
    sim::Machine machine(spec);
    auto& pci = machine.kernel().pci();

    uint8_t header[64];
    EXPECT_EQ(pci.readConfig(0, 4, header, 64), 64u) << "the built-in card: bus 0, device 4";
    EXPECT_EQ(pci.readConfig(1, 0, header, 4), 2u) << "bus 1 exists and is empty";
    ASSERT_EQ(pci.readConfig(2, 1 | 1 << 5, header, 64), 64u);
    EXPECT_EQ(header[2] | header[3] << 8, 0x0023);
    EXPECT_EQ(pci.readConfig(3, 0, header, 4), 0u) << "no bus 3";

    ASSERT_NE(machine.uartAt(0xD008), nullptr);
    EXPECT_EQ(machine.uartAt(0xD010), nullptr) << "two UARTs on the second card";
    machine.kernel().ports().write8(0xD850, 0xD6); // the bridge: divide by 2
    EXPECT_EQ(machine.uartAt(0xD008)->inputClock(), 14745600u / 2);
    EXPECT_EQ(machine.uartAt(0xE000)->inputClock(), 14745600u) << "the other card's bridge is untouched";
}

TEST(MainJob, StartsMovesDataStopsAndLeavesTheMachineAsItWas) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    std::string report;
    EXPECT_EQ(sim::runMainJob(machine, sim::TrafficCheck{}, report), 0) << report;
    for (const char* line :
         {"The CvNt driver loaded successfully.", "  Serial4 = COM3\n", "\"ComPortAddress\"=dword:0000e000",
          "Corvane\\CvNt  \\Device\\CvNtPciCard1", "4096 bytes; intact", "100.0 % of the line rate",
          "the machine is as it was before the start"})
        EXPECT_NE(report.find(line), std::string::npos) << line;
    EXPECT_EQ(report.find("LEFT BEHIND"), std::string::npos);
}

TEST(MainJob, ARefusedStartIsReportedWithItsReason) {
    sim::MachineSpec spec = sim::MachineSpec::builtInDefault();
    // A PCI card on the bus and no template for it: the driver does not load.
    size_t at =
        spec.registryText.find("[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt\\Templates");
    size_t end = spec.registryText.find("[HKEY", at + 1);
    spec.registryText.erase(at, end - at);
    sim::Machine machine(spec);
    std::string report;
    EXPECT_EQ(sim::runMainJob(machine, sim::TrafficCheck{}, report), 1);
    EXPECT_NE(report.find("result: 1118"), std::string::npos) << report;
    EXPECT_NE(report.find("The driver did not load successfully."), std::string::npos);
    EXPECT_NE(report.find("== Left behind by the refused start\n  nothing: the machine is as it was"),
              std::string::npos)
        << report;
}

TEST(MainJob, TheTrafficCheckUsesTheMachinesOwnPortsOrTheNamedOnes) {
    // Only the ISA card, at other addresses: its two ports carry the bytes.
    sim::MachineSpec spec = sim::MachineSpec::builtInDefault();
    spec.cards.erase(spec.cards.begin()); // the PCI card goes
    sim::Machine machine(spec);
    std::string report;
    EXPECT_EQ(sim::runMainJob(machine, sim::TrafficCheck{}, report), 0) << report;
    EXPECT_NE(report.find("  COM5 (UART 300) and COM6 (UART 308)"), std::string::npos) << report;

    sim::Machine named(sim::MachineSpec::builtInDefault());
    sim::TrafficCheck traffic;
    traffic.from = "COM4";
    traffic.to = "COM8";
    report.clear();
    EXPECT_EQ(sim::runMainJob(named, traffic, report), 0) << report;
    EXPECT_NE(report.find("COM4 -> COM8 over a null-modem cable"), std::string::npos) << report;
    sim::Machine missing(sim::MachineSpec::builtInDefault());
    traffic.to = "COM99";
    report.clear();
    EXPECT_EQ(sim::runMainJob(missing, traffic, report), 1);
    EXPECT_NE(report.find("CvNt serves no port COM99"), std::string::npos) << report;
}

TEST(MainJob, TheEventLogOfANormalStartReadsAsExpected) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    nt::KernelScope scope(machine.kernel());
    ASSERT_EQ(machine.startCvNt(), 0u);
    std::vector<std::string> lines;
    for (const auto& record : machine.kernel().eventLog().records()) {
        std::string line = machine.kernel().eventLog().render(record);
        line = line.substr(line.find(" s  ") + 1); // from the unit of the time on
        while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
            line.pop_back();
        lines.push_back(line);
    }
    const std::vector<std::string> expected = {
        "s  Information  CvNt         19  The PCI Parameters key does not exist.",
        "s  Information  CvNt         15  The existing CurrentConfig key has been deleted.",
        "s  Information  CvNt         33  The ISA part of the CurrentConfig key has been created fully.",
        "s  Information  CvNt         24  A 550 UART was detected on a ISA card.",
        "s  Information  CvNt         24  A 550 UART was detected on a ISA card.",
        "s  Information  CvNt          1  A card with the Device ID 20 and Vendor ID 10B5 was found on the "
        "PCI Bus.",
        "s  Information  CvNt          2  A match for the card with the Device ID 20 was found in the "
        "Templates "
        "information.",
        "s  Information  CvNt          4  The device with the ID 20 contains the Base Address setting E000.",
        "s  Information  CvNt          6  No match was found under the Parameters key for the device with "
        "the ID 20.",
        "s  Information  CvNt          6  No match was found under the Parameters key for the device with "
        "the ID 20.",
        "s  Information  CvNt          6  No match was found under the Parameters key for the device with "
        "the ID 20.",
        "s  Information  CvNt          6  No match was found under the Parameters key for the device with "
        "the ID 20.",
        "s  Information  CvNt          8  The COM port number 3 has been assigned a port on the card with "
        "the device ID "
        "20.",
        "s  Information  CvNt          8  The COM port number 4 has been assigned a port on the card with "
        "the device ID "
        "20.",
        "s  Information  CvNt          8  The COM port number 7 has been assigned a port on the card with "
        "the device ID "
        "20.",
        "s  Information  CvNt          8  The COM port number 8 has been assigned a port on the card with "
        "the device ID "
        "20.",
        "s  Information  CvNt         16  The PCI part of the CurrentConfig key has been created fully.",
        "s  Information  CvNt         11  The Interrupt Vector B and the Interrupt Level B was allocated "
        "for the card "
        "with the Device ID 20.",
        "s  Information  CvNt         21  The PLX Base Address EC00 was allocated for the card with the "
        "Device ID 20.",
        "s  Information  CvNt         10  The Base Address E000 was allocated for the card with the Device "
        "ID 20.",
        "s  Information  CvNt         14  A 950 UART was detected on a port of the card with the Device ID "
        "20.",
        "s  Information  CvNt         14  A 950 UART was detected on a port of the card with the Device ID "
        "20.",
        "s  Information  CvNt         14  A 950 UART was detected on a port of the card with the Device ID "
        "20.",
        "s  Information  CvNt         14  A 950 UART was detected on a port of the card with the Device ID "
        "20.",
        "s  Information  CvNt          7  The CvNt driver loaded successfully.",
    };
    EXPECT_EQ(lines, expected);
    EXPECT_EQ(machine.stopCvNt(), 0u);
}
