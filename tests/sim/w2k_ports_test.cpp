// The Windows 2000 machine's ports as programs use them: the port drivers' stand-ins on CvInstal's
// children carry bytes between cards at every rate the cards run, through the PCI card's mapped window as
// through I/O space; a settings update takes effect at the next open, measured on the wire and in the
// UART; a PC Card pulled under an open port leaves nothing behind; the ports are named from the COM port
// database and publish what their card and UART can do; and the parallel port prints.
#include "sim/mainjob.h"
#include "sim/pnpdevices.h"
#include "sim/scenario.h"

#include "CvInstalRecords.h"
#include "hw/wiring.h"
#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"
#include "platform/w2k/comdb.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>

namespace {

const std::string kParameters =
    "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvInstal\\Parameters\\";
const std::string kSerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

class PortsTest : public ::testing::Test {
protected:
    void Boot(const std::string& extraRegistry = "",
              sim::MachineSpec spec = sim::MachineSpec::builtInWindows2000()) {
        spec.registryText = sim::MachineSpec::builtInWindows2000().registryText + extraRegistry;
        machine = std::make_unique<sim::Machine>(spec);
        machine->boot();
    }
    nt::Kernel& kernel() { return machine->kernel(); }
    // The port `number` of a card ("pci:1"): its name and address.
    sim::PnpDevices::Port Port(const std::string& card, unsigned number) {
        for (const auto& port : machine->pnp()->ports())
            if (port.card == card && port.number == number)
                return port;
        ADD_FAILURE() << "no port " << number << " on " << card;
        return {};
    }
    bool Carries(const std::string& a, const std::string& b, unsigned number, uint32_t baud, size_t bytes,
                 unsigned numberB = 0) {
        auto from = Port(a, number), to = Port(b, numberB ? numberB : number);
        std::string report;
        bool intact =
            sim::runTraffic(*machine, {from.name, to.name, from.address, to.address, baud, bytes}, report);
        EXPECT_TRUE(intact) << report;
        return intact;
    }
    std::unique_ptr<nt::UserFile> Open(const std::string& name) {
        std::unique_ptr<nt::UserFile> file;
        EXPECT_EQ(nt::UserFile::open(kernel(), name, file), STATUS_SUCCESS) << name;
        return file;
    }
    void SetBaud(nt::UserFile& file, ULONG baud) {
        SERIAL_BAUD_RATE rate{baud};
        EXPECT_EQ(file.control(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate), 0).status, STATUS_SUCCESS);
    }
    std::optional<uint32_t> PortValue(const std::string& card, unsigned number, const char* name) {
        w2k::DeviceNode* node = machine->pnp()->cardNode(card.substr(0, card.find(':')), 1);
        return kernel().registry().dword(
            node->enumKey() + "\\Device Parameters\\Card\\Port" + std::to_string(number), name);
    }

    std::unique_ptr<sim::Machine> machine;
};

TEST_F(PortsTest, BytesCrossBetweenCardsAtEveryRateTheyRun) {
    Boot();
    nt::KernelScope in(kernel());
    // The PCI card to the ISA card at the rates both run, each card at its highest, and the PC Card's two
    // ports to each other.
    Carries("pci:1", "isa:1", 1, 9600, 200);
    Carries("pci:1", "isa:1", 1, 115200, 2048);
    Carries("pci:1", "pci:1", 1, 921600, 4096, 2);
    Carries("isa:1", "isa:1", 3, 115200, 2048, 4);
    Carries("pcmcia:1", "pcmcia:1", 1, 115200, 2048, 2);
    Carries("pcmcia:1", "pci:1", 2, 57600, 512, 4);
}

TEST_F(PortsTest, ThePciCardsMappedWindowCarriesBytesWithoutTouchingIoSpace) {
    Boot();
    nt::KernelScope in(kernel());
    auto* port = static_cast<CCvPort*>(machine->pnp()->cardNode("pci", 1)->children[0]->pdo->DeviceExtension);
    ASSERT_EQ(port->ulAddressSpace, 0u) << "the template lets the card use its memory window";
    kernel().ports().clearTrace();
    kernel().ports().setTracing(true);
    Carries("pci:1", "pci:1", 1, 115200, 1024, 3);
    kernel().ports().setTracing(false);
    for (const auto& access : kernel().ports().trace())
        EXPECT_FALSE(access.address >= 0xE000 && access.address < 0xE020)
            << "I/O access at " << std::hex << access.address;
}

TEST_F(PortsTest, ATemplateThatAsksForPortSpaceGetsItAndCarriesBytesAsWell) {
    Boot(R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Templates\Bus5\Card1]
"AlwaysUsePortSpaceAccess"=dword:00000001
)");
    nt::KernelScope in(kernel());
    auto* port = static_cast<CCvPort*>(machine->pnp()->cardNode("pci", 1)->children[0]->pdo->DeviceExtension);
    ASSERT_EQ(port->ulAddressSpace, 1u);
    kernel().ports().clearTrace();
    kernel().ports().setTracing(true);
    Carries("pci:1", "isa:1", 1, 115200, 1024);
    kernel().ports().setTracing(false);
    size_t atPciUart = 0;
    for (const auto& access : kernel().ports().trace())
        atPciUart += access.address >= 0xE000 && access.address < 0xE008;
    EXPECT_GT(atPciUart, 1024u) << "every byte went through I/O space";
}

TEST_F(PortsTest, ASettingsUpdateTakesEffectAtTheNextOpenOnTheWireAndInTheUart) {
    Boot();
    nt::KernelScope in(kernel());
    hw::Uart& uart1 = *machine->uartAt(0xE000);
    hw::Uart& uart2 = *machine->uartAt(0xE008);
    const std::string com3 = Port("pci:1", 1).name, com4 = Port("pci:1", 2).name;
    // Port 2 is open while the update comes.
    auto held = Open(com4);
    ASSERT_TRUE(kernel().registry().loadText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000450
"nBus"=dword:00000000
"nSlot"=dword:00000006
"PlxBaudClockDivisor"=dword:00000002

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1\ComPort1]
"UartType"=dword:00000005
"RxTriggerLevel"=dword:00000020

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1\ComPort2]
"BaudrateMultiplier"=dword:00000004
)",
                                             "update.reg"));
    auto result = sim::RunScenario(*machine, "open-card pci:1\n", "s", false);
    ASSERT_TRUE(result.ok) << result.error << result.transcript;

    // The open port runs on as it was.
    SetBaud(*held, 115200);
    EXPECT_NEAR(uart2.baudRate(), 115200, 1200);
    EXPECT_EQ(machine->pciCard(0)->bridgeDivisor(1), 1u) << "nothing changed under an open port";
    EXPECT_EQ(held->close(), STATUS_SUCCESS);

    // Opened again, port 2 runs four times the rate a program asks for, over a bridge that halves the clock.
    auto reopened = Open(com4);
    SetBaud(*reopened, 115200);
    EXPECT_EQ(machine->pciCard(0)->bridgeDivisor(1), 2u);
    EXPECT_NEAR(uart2.baudRate(), 460800, 4608);
    EXPECT_EQ(PortValue("pci:1", 2, "BaudrateMultiplier"), 4u);
    EXPECT_EQ(PortValue("pci:1", 2, "PlxBaudClockDivisor"), 2u);
    EXPECT_EQ(reopened->close(), STATUS_SUCCESS);
    // On the wire: what a peer sends at 460800 arrives intact at a program that asked for "115200".
    {
        auto peer = Port("pci:1", 3);
        hw::NullModemCable cable(*machine->uartAt(peer.address), uart2);
        auto sender = Open(peer.name), receiver = Open(com4);
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        for (auto* f : {sender.get(), receiver.get()})
            EXPECT_EQ(f->control(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(line), 0).status, STATUS_SUCCESS);
        SetBaud(*sender, 460800);
        SetBaud(*receiver, 115200);
        std::vector<uint8_t> payload(256);
        for (size_t i = 0; i < payload.size(); ++i)
            payload[i] = static_cast<uint8_t>(i * 7 + 3);
        auto read = receiver->startRead(static_cast<ULONG>(payload.size()));
        EXPECT_EQ(sender->write(payload).status, STATUS_SUCCESS);
        auto got = receiver->wait(read, kernel().now() + 10'000'000);
        EXPECT_EQ(got.data, payload) << "the multiplier reaches the line";
        sender->close();
        receiver->close();
    }

    // Port 1 runs as a 16550 with the new receive trigger (the 16C950 then has a 16-byte FIFO).
    const unsigned triggerBefore = uart1.rxTriggerLevel();
    auto first = Open(com3);
    SetBaud(*first, 115200);
    EXPECT_EQ(PortValue("pci:1", 1, "UsedUartType"), 5u);
    EXPECT_EQ(PortValue("pci:1", 1, "DetectedUartType"), 9u);
    EXPECT_EQ(PortValue("pci:1", 1, "RxTriggerLevel"), 0x20u);
    EXPECT_EQ(uart1.fifoDepth(), 16u);
    EXPECT_NE(uart1.rxTriggerLevel(), triggerBefore);
    EXPECT_NEAR(uart1.baudRate(), 115200, 1200) << "the divisor is counted in, not felt";
    EXPECT_EQ(first->close(), STATUS_SUCCESS);
    EXPECT_TRUE(Carries("pci:1", "isa:1", 1, 115200, 512));
}

TEST_F(PortsTest, ACardWideDivisorWaitsWhileAnotherPortOfTheCardIsOpen) {
    Boot(R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000450
"nBus"=dword:00000000
"nSlot"=dword:00000006

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1\ComPort1]
"RxTriggerLevel"=dword:00000064
)");
    nt::KernelScope in(kernel());
    // Port 1 is open when the card's new divisor comes.
    auto other = Open(Port("pci:1", 1).name);
    SetBaud(*other, 9600);
    kernel().registry().setDword(kParameters + "Bus5\\Card1", "PlxBaudClockDivisor", 4);
    ASSERT_TRUE(sim::RunScenario(*machine, "open-card pci:1\n", "s", false).ok);
    auto second = Open(Port("pci:1", 2).name);
    EXPECT_EQ(machine->pciCard(0)->bridgeDivisor(0), 1u) << "port 1 runs on at the rate its program set";
    EXPECT_NEAR(machine->uartAt(0xE000)->baudRate(), 9600, 96);
    second->close();
    other->close();
    auto later = Open(Port("pci:1", 2).name);
    EXPECT_EQ(machine->pciCard(0)->bridgeDivisor(0), 4u) << "with the card's ports closed it takes effect";
    SetBaud(*later, 9600);
    EXPECT_NEAR(machine->uartAt(0xE008)->baudRate(), 9600, 96) << "the prescaler divides the quartered clock";
    later->close();
    EXPECT_EQ(PortValue("pci:1", 1, "PlxBaudClockDivisor"), 4u)
        << "and every port of the card counts with it";
    EXPECT_TRUE(Carries("pci:1", "isa:1", 1, 115200, 256));
}

TEST_F(PortsTest, APcCardPulledUnderAnOpenPortLeavesNothingBehind) {
    sim::MachineSpec spec = sim::MachineSpec::builtInWindows2000();
    for (auto& card : spec.cards)
        if (card.bus == "PCMCIA")
            card.inserted = false;
    Boot("", spec);
    nt::KernelScope in(kernel());
    const std::set<std::string> before = sim::Inventory(kernel());
    const size_t devices = kernel().io().deviceCount();
    std::string error;
    ASSERT_TRUE(machine->pnp()->insert(0, error)) << error;
    const auto port = Port("pcmcia:1", 1);
    ASSERT_EQ(port.name, "COM11") << "numbered from the COM port database after the other cards' ports";
    auto file = Open(port.name);
    SetBaud(*file, 9600);
    auto read = file->startRead(64);
    kernel().runUntil(kernel().now() + 10'000'000);
    EXPECT_FALSE(read->completed);

    ASSERT_TRUE(machine->pnp()->pull(0, error)) << error;
    auto ended = file->wait(read, kernel().now() + 10'000'000);
    ASSERT_TRUE(ended.finished) << "the open read ends with the device";
    EXPECT_EQ(ended.status, STATUS_CANCELLED);
    EXPECT_EQ(file->write({'x'}).status, STATUS_DELETE_PENDING) << "the program sees the device gone";
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    // Once the handle is closed the device goes, and with it everything the port had.
    EXPECT_EQ(sim::Inventory(kernel()), before);
    EXPECT_EQ(kernel().io().deviceCount(), devices);
    EXPECT_FALSE(kernel().registry().value(kSerialComm, "\\Device\\Serial10").has_value());
    std::unique_ptr<nt::UserFile> again;
    EXPECT_NE(nt::UserFile::open(kernel(), port.name, again), STATUS_SUCCESS);
    // In again, the card's ports keep their numbers.
    ASSERT_TRUE(machine->pnp()->insert(0, error)) << error;
    EXPECT_EQ(Port("pcmcia:1", 1).name, "COM11");
    EXPECT_TRUE(Carries("pcmcia:1", "pcmcia:1", 1, 115200, 256, 2));
}

TEST_F(PortsTest, EachPortPublishesWhatItsCardAndUartCanDo) {
    Boot(R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Templates\Bus8\Card1]
"DuplexOperation"=dword:00000007
"CtsTrue"=dword:00000001
)");
    nt::KernelScope in(kernel());
    struct Expected {
        const char* card;
        unsigned flexible, maximum, used, detected, rs485;
    } cards[] = {
        {"pci:1", 1, 921600, 9, 9, 0}, {"isa:1", 0, 115200, 5, 5, 0}, {"pcmcia:1", 0, 115200, 5, 5, 1}};
    for (const auto& e : cards) {
        w2k::DeviceNode* card =
            machine->pnp()->cardNode(std::string(e.card).substr(0, std::string(e.card).find(':')), 1);
        const unsigned ports =
            card == machine->pnp()->cardNode("pci", 1) ? 4 : (std::string(e.card) == "isa:1" ? 4 : 2);
        for (unsigned n = 1; n <= ports; ++n) {
            SCOPED_TRACE(std::string(e.card) + " port " + std::to_string(n));
            EXPECT_EQ(PortValue(e.card, n, "Enable_TriggerLevel"), 1u);
            EXPECT_EQ(PortValue(e.card, n, "Enable_BaudrateSettingsFlexible"), e.flexible);
            EXPECT_EQ(PortValue(e.card, n, "Enable_BaudrateSettingsFixed"), 1 - e.flexible);
            EXPECT_EQ(PortValue(e.card, n, "MaximumBaudrate"), e.maximum);
            EXPECT_EQ(PortValue(e.card, n, "PlxBaudClockDivisor"), 1u);
            EXPECT_EQ(PortValue(e.card, n, "BaudrateMultiplier"), 1u);
            EXPECT_EQ(PortValue(e.card, n, "UsedUartType"), e.used);
            EXPECT_EQ(PortValue(e.card, n, "DetectedUartType"), e.detected);
            EXPECT_EQ(PortValue(e.card, n, "Enable_422485Settings"), e.rs485);
            if (e.rs485) {
                EXPECT_EQ(PortValue(e.card, n, "DuplexOperation"), 7u);
                EXPECT_EQ(PortValue(e.card, n, "CtsTrue"), 1u);
            }
        }
    }
}

TEST_F(PortsTest, PortsAreNamedFromTheComDatabaseAndKeepTheirNames) {
    Boot();
    nt::KernelScope in(kernel());
    std::map<std::string, std::string> names;
    for (const auto& port : machine->pnp()->ports()) {
        names[port.card + "/" + std::to_string(port.number)] = port.name;
        EXPECT_EQ(kernel().registry().string(port.node->enumKey(), "FriendlyName"),
                  std::string(port.parallel ? "Quorvel Parallel Port (" : "Quorvel Serial Port (") +
                      port.name + ")");
    }
    EXPECT_EQ(names["pci:1/1"], "COM3") << "COM1 and COM2 are the machine's own";
    EXPECT_EQ(names["pci:1/5"], "LPT1");
    EXPECT_EQ(names["pcmcia:1/1"], "COM7") << "the socket's card was installed before the ISA card";
    EXPECT_EQ(names["isa:1/4"], "COM12");
    w2k::ComDatabase database(kernel().registry());
    for (unsigned com = 1; com <= 12; ++com)
        EXPECT_TRUE(database.inUse(com)) << com;
    EXPECT_FALSE(database.inUse(13));
    EXPECT_EQ(database.size(), 256u);

    // A port renamed in its device parameters (as the card page does) runs under its new name after a
    // restart of the card; the database is the page's to keep.
    w2k::DeviceNode* card = machine->pnp()->cardNode("isa", 1);
    kernel().registry().setString(card->children[1]->enumKey() + "\\Device Parameters", "PortName", "COM42");
    ASSERT_TRUE(machine->pnp()->manager().stop(*card).ok());
    ASSERT_TRUE(machine->pnp()->manager().start(*card).ok());
    EXPECT_EQ(Port("isa:1", 2).name, "COM42");
    auto file = Open("COM42");
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    std::unique_ptr<nt::UserFile> gone;
    EXPECT_NE(nt::UserFile::open(kernel(), "COM10", gone), STATUS_SUCCESS);

    // A name the serial driver cannot serve fails that port's start alone.
    kernel().registry().setString(card->children[2]->enumKey() + "\\Device Parameters", "PortName", "PRN");
    ASSERT_TRUE(machine->pnp()->manager().stop(*card).ok());
    machine->pnp()->manager().start(*card);
    EXPECT_EQ(card->children[2]->problem, w2k::kProblemFailedStart);
    EXPECT_EQ(card->children[3]->state, w2k::NodeState::Started);
}

TEST_F(PortsTest, TheParallelPortPrintsWhatIsWrittenToIt) {
    Boot();
    nt::KernelScope in(kernel());
    EXPECT_EQ(kernel().registry().string("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\PARALLEL PORTS",
                                         "\\Device\\Parallel0"),
              "\\DosDevices\\LPT1");
    auto printer = Open("LPT1");
    const std::string text = "Hello, printer\f";
    auto written = printer->write(std::vector<uint8_t>(text.begin(), text.end()));
    EXPECT_EQ(written.status, STATUS_SUCCESS);
    EXPECT_EQ(written.information, text.size());
    const auto& received = machine->pciCard(0)->parallelPort().received();
    EXPECT_EQ(std::string(received.begin(), received.end()), text);
    EXPECT_EQ(printer->close(), STATUS_SUCCESS);
}

TEST_F(PortsTest, ScenariosRunOnWindows2000PortsAsOnNt4Ones) {
    Boot();
    auto result = sim::RunScenario(*machine, R"(
cable E000 300
open COM3
open COM9
set-line COM3 38400 8N1
set-line COM9 38400 8N1
write COM3 "from the PCI card"
read COM9 17 limit=1s
close COM3
close COM9
)",
                                   "w2k.scenario", false);
    ASSERT_TRUE(result.ok) << result.error << result.transcript;
    EXPECT_NE(result.transcript.find("read COM9: 0x00000000, 17 bytes \"from the PCI card\""),
              std::string::npos)
        << result.transcript;
}

} // namespace
