// CvNt's start on machines that go wrong: cards whose claims are refused, names that are taken,
// windows that cannot be translated, and mistaken or hostile configuration. What an observer of the
// machine sees: names, devices, claims, the event log, the ports that work, and a stop that leaves the
// machine as it was. The driver never touches an I/O address it did not claim.
#include "sim/machine.h"
#include "sim/machinefile.h"
#include "sim/mainjob.h"

#include "hw/wiring.h"
#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"

#include <gtest/gtest.h>

#include <cstring>
#include <map>
#include <memory>
#include <set>
#include <string>
#include <vector>

namespace {

const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt";
const std::string kSerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kRegKey = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt";

const char kDefaultMachine[] = R"(
standard-port address=3F8 irq=4 com=1
standard-port address=2F8 irq=3 com=2
pci-card bus=0 device=4 id=0020 uart=16C950 ports=4 clock=14745600 uart-window=E000 bridge-io=EC00 irq=11 divisor=byte divisor-offset=50
isa-card clock=1843200
uart address=300 uart=16550 irq=5
uart address=308 uart=16550 irq=7
)";

std::string ValueText(const nt::RegValue& value) {
    std::u16string wide(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
    while (!wide.empty() && wide.back() == 0)
        wide.pop_back();
    return nt::toUtf8(wide);
}

// A machine from a description and a registry, with CvNt's service, and what tests ask of it.
class Booted {
public:
    Booted(const std::string& machineText, const std::string& registryText) {
        auto parsed = sim::ParseMachineText(machineText, "test.machine");
        if (!parsed.ok)
            throw std::runtime_error(parsed.error);
        parsed.spec.registryText = registryText;
        machine = std::make_unique<sim::Machine>(parsed.spec);
        kernel().ports().setClaimCheck(true);
        before = sim::Inventory(kernel());
    }

    nt::Kernel& kernel() { return machine->kernel(); }
    uint32_t start() {
        nt::KernelScope scope(kernel());
        return machine->startCvNt();
    }
    uint32_t stop() {
        nt::KernelScope scope(kernel());
        files.clear();
        return machine->stopCvNt();
    }
    bool restored() { return sim::Inventory(kernel()) == before; }
    std::string difference() {
        std::string out;
        auto now = sim::Inventory(kernel());
        for (const auto& item : now)
            if (!before.count(item))
                out += "left: " + item + "\n";
        for (const auto& item : before)
            if (!now.count(item))
                out += "missing: " + item + "\n";
        return out;
    }

    // The event log's texts, one per entry.
    std::vector<std::string> messages() {
        std::vector<std::string> out;
        for (const auto& record : kernel().eventLog().records()) {
            std::string line = kernel().eventLog().render(record);
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            out.push_back(line);
        }
        return out;
    }
    bool logged(const std::string& text) {
        for (const auto& m : messages())
            if (m.find(text) != std::string::npos)
                return true;
        return false;
    }
    std::string log() {
        std::string out;
        for (const auto& m : messages())
            out += m + "\n";
        return out;
    }

    // SERIALCOMM as value name -> COM name.
    std::map<std::string, std::string> serialComm() {
        std::map<std::string, std::string> out;
        if (auto key = kernel().registry().open(kSerialComm))
            for (const auto& v : key->values)
                out[nt::toUtf8(v.name)] = ValueText(v);
        return out;
    }

    NTSTATUS open(const std::string& com) {
        nt::KernelScope scope(kernel());
        std::unique_ptr<nt::UserFile> file;
        NTSTATUS status = nt::UserFile::open(kernel(), com, file);
        if (NT_SUCCESS(status))
            files[com] = std::move(file);
        return status;
    }

    // Moves bytes from one open port to another over a null-modem cable between their UARTs.
    std::vector<uint8_t> transfer(const std::string& from, uint16_t fromAddress, const std::string& to,
                                  uint16_t toAddress, ULONG baud, const std::vector<uint8_t>& bytes) {
        nt::KernelScope scope(kernel());
        hw::NullModemCable cable(*machine->uartAt(fromAddress), *machine->uartAt(toAddress));
        for (auto* f : {files.at(from).get(), files.at(to).get()}) {
            SERIAL_BAUD_RATE rate{baud};
            SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
            std::vector<uint8_t> in(sizeof rate);
            std::memcpy(in.data(), &rate, sizeof rate);
            EXPECT_EQ(f->control(IOCTL_SERIAL_SET_BAUD_RATE, in, 0).status, STATUS_SUCCESS);
            in.resize(sizeof line);
            std::memcpy(in.data(), &line, sizeof line);
            EXPECT_EQ(f->control(IOCTL_SERIAL_SET_LINE_CONTROL, in, 0).status, STATUS_SUCCESS);
        }
        const uint64_t limit = kernel().now() + 10 * hw::kTicksPerSecond;
        auto read = files.at(to)->startRead(static_cast<ULONG>(bytes.size()));
        files.at(from)->write(bytes, limit);
        return files.at(to)->wait(read, limit).data;
    }

    // Every I/O access CvNt made outside what it had claimed, as text.
    std::string unclaimed() {
        std::string out;
        char line[80];
        for (const auto& u : kernel().ports().unclaimedAccesses()) {
            std::snprintf(line, sizeof line, "%s %s %04X\n", u.image.c_str(),
                          u.access.write ? "wrote" : "read", u.access.address);
            out += line;
        }
        return out;
    }

    std::unique_ptr<sim::Machine> machine;
    std::set<std::string> before;
    std::map<std::string, std::unique_ptr<nt::UserFile>> files;
};

std::vector<uint8_t> Payload(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>(i * 37 + 11);
    return bytes;
}

std::string DefaultRegistry() {
    return sim::MachineSpec::builtInDefault().registryText;
}

// The default registry with one value of one key replaced (or added), as "name"=dword:hex.
std::string WithValue(std::string reg, const std::string& key, const std::string& name, uint32_t value) {
    char data[16];
    std::snprintf(data, sizeof data, "%08x", value);
    std::string header = kRegKey + key + "]\n";
    size_t at = reg.find(header);
    if (at == std::string::npos)
        return reg + "\n" + header + "\"" + name + "\"=dword:" + data + "\n";
    size_t end = reg.find("\n[", at);
    size_t line = reg.find("\"" + name + "\"=", at);
    if (line != std::string::npos && (end == std::string::npos || line < end)) {
        size_t eol = reg.find('\n', line);
        return reg.replace(line, eol - line, "\"" + name + "\"=dword:" + data);
    }
    return reg.insert(at + header.size(), "\"" + name + "\"=dword:" + data + "\n");
}

// Whether every COM name in SERIALCOMM is distinct, and every link of CvNt's leads to a device.
void ExpectConsistentNames(Booted& b) {
    std::set<std::string> coms;
    for (const auto& [name, com] : b.serialComm())
        EXPECT_TRUE(coms.insert(com).second) << com << " is published twice";
    for (const auto& link : b.kernel().io().linkNames()) {
        auto target = b.kernel().io().linkTarget(link);
        ASSERT_TRUE(target.has_value());
        EXPECT_NE(b.kernel().io().device(*target), nullptr) << nt::toUtf8(link) << " leads nowhere";
    }
}

TEST(StartUp, TheDefaultMachineTouchesOnlyWhatItClaimed) {
    Booted b(kDefaultMachine, DefaultRegistry());
    ASSERT_EQ(b.start(), 0u) << b.log();
    ASSERT_EQ(b.open("COM3"), STATUS_SUCCESS);
    ASSERT_EQ(b.open("COM5"), STATUS_SUCCESS);
    auto bytes = Payload(300);
    EXPECT_EQ(b.transfer("COM3", 0xE000, "COM5", 0x300, 115200, bytes), bytes);
    EXPECT_EQ(b.stop(), 0u);
    EXPECT_TRUE(b.restored()) << b.difference();
    EXPECT_EQ(b.unclaimed(), "");
}

// Card 1 of Bus1 has a shared interrupt status register on IRQ 4, which COM1 holds; card 2 after it
// has its own interrupts; a PCI card follows.
const char kSisrConflictMachine[] = R"(
standard-port address=3F8 irq=4 com=1
standard-port address=2F8 irq=3 com=2
pci-card bus=0 device=4 id=0020 uart=16C950 ports=4 clock=14745600 uart-window=E000 bridge-io=EC00 irq=11 divisor=byte divisor-offset=50
isa-card clock=1843200 sisr=2A0 irq=4
uart address=2B0 uart=16550
uart address=2B8 uart=16550
isa-card clock=1843200
uart address=300 uart=16550 irq=5
uart address=308 uart=16550 irq=7
)";

std::string SisrRegistry(uint32_t sisrIrq) {
    std::string reg = DefaultRegistry();
    // The default ISA card becomes Card2; Card1 is the card with the status register.
    size_t at = 0;
    while ((at = reg.find("Parameters\\Bus1\\Card1", at)) != std::string::npos)
        reg.replace(at, 21, "Parameters\\Bus1\\Card2");
    char sisr[600];
    std::snprintf(sisr, sizeof sisr, R"(
%s\Parameters\Bus1\Card1]
"ClockFrequency"=dword:001c2000
"SisrAddress"=dword:000002a0
"InterruptLevel"=dword:%08x

%s\Parameters\Bus1\Card1\ComPort1]
"BaseAddress"=dword:000002b0
"BaseAddressRange"=dword:00000008
"BaseAddressAlignment"=dword:00000008
"nCom"=dword:00000003

%s\Parameters\Bus1\Card1\ComPort2]
"BaseAddress"=dword:000002b8
"BaseAddressRange"=dword:00000008
"BaseAddressAlignment"=dword:00000008
"nCom"=dword:00000004
)",
                  kRegKey.c_str(), sisrIrq, kRegKey.c_str(), kRegKey.c_str());
    return reg + sisr;
}

TEST(StartUp, ACardWhoseClaimIsRefusedTakesAllItsOwnAndNothingOfOtherCards) {
    Booted b(kSisrConflictMachine, SisrRegistry(4));
    ASSERT_EQ(b.start(), 0u) << b.log();
    EXPECT_TRUE(b.logged("could not be claimed")) << b.log();
    ExpectConsistentNames(b);
    auto comm = b.serialComm();
    EXPECT_EQ(comm.size(), 8u) << "COM1, COM2, two ports of the second ISA card and four PCI ports";
    for (const char* com : {"COM3", "COM4", "COM5", "COM6", "COM7", "COM8"})
        EXPECT_EQ(b.open(com), STATUS_SUCCESS) << com << "\n" << b.log();
    for (const auto& claim : b.kernel().resources().claims()) {
        for (const auto& d : claim.resources) {
            if (d.Type == CmResourceTypePort) {
                EXPECT_FALSE(d.u.Port.Start.QuadPart >= 0x2A0 && d.u.Port.Start.QuadPart < 0x2C0)
                    << "a claim of the removed card stayed: " << nt::toUtf8(claim.valueName);
            }
        }
    }
    auto bytes = Payload(200);
    EXPECT_EQ(b.transfer("COM3", 0xE000, "COM5", 0x300, 115200, bytes), bytes);
    EXPECT_EQ(b.stop(), 0u);
    EXPECT_TRUE(b.restored()) << b.difference();
    EXPECT_EQ(b.unclaimed(), "");
}

TEST(StartUp, AnUntranslatableStatusRegisterDisablesItsCardsPorts) {
    Booted b(std::string(kSisrConflictMachine) + "untranslatable start=2A0 length=1\n", SisrRegistry(10));
    ASSERT_EQ(b.start(), 0u) << b.log();
    EXPECT_TRUE(b.logged("could not be translated")) << b.log();
    ExpectConsistentNames(b);
    EXPECT_EQ(b.serialComm().size(), 8u)
        << "COM1, COM2, the second ISA card's two ports and four PCI ports; not the disabled two";
    ASSERT_EQ(b.open("COM3"), STATUS_SUCCESS)
        << "the number the disabled port gave back went to the PCI card";
    ASSERT_EQ(b.open("COM5"), STATUS_SUCCESS);
    auto bytes = Payload(100);
    EXPECT_EQ(b.transfer("COM3", 0xE000, "COM5", 0x300, 115200, bytes), bytes);
    const std::string card = kService + "\\CurrentConfig\\Bus1\\Card1\\ComPort1";
    auto status = b.kernel().registry().value(card, "Status");
    ASSERT_TRUE(status.has_value()) << "the administrator still sees the port, as disabled";
    EXPECT_EQ(ValueText(*status), "Port is disabled");
    EXPECT_EQ(b.kernel().connectedInterrupts(nt::VectorForIrq(10)), 0u);
    EXPECT_EQ(b.stop(), 0u);
    EXPECT_TRUE(b.restored()) << b.difference();
    EXPECT_EQ(b.unclaimed(), "");
}

TEST(StartUp, APortWhoseDeviceCannotBeCreatedIsDroppedAndTheRestIsServed) {
    Booted b(kDefaultMachine, DefaultRegistry());
    // Another driver holds \Device\Serial4, the name the first PCI port would get.
    DRIVER_OBJECT other{};
    RtlInitUnicodeString(&other.DriverName, u"\\Driver\\Other");
    PDEVICE_OBJECT foreign = nullptr;
    UNICODE_STRING name;
    RtlInitUnicodeString(&name, u"\\Device\\Serial4");
    {
        nt::KernelScope scope(b.kernel());
        ASSERT_EQ(IoCreateDevice(&other, 0, &name, FILE_DEVICE_UNKNOWN, 0, FALSE, &foreign), STATUS_SUCCESS);
    }
    b.before = sim::Inventory(b.kernel());
    ASSERT_EQ(b.start(), 0u) << b.log();
    EXPECT_TRUE(b.logged(
        "The Device Object for the Device under the registry path \\Device\\Serial4 could not be created."))
        << b.log();
    ExpectConsistentNames(b);
    auto comm = b.serialComm();
    EXPECT_EQ(comm.count("Serial4"), 0u) << "the failed port's value went with it";
    EXPECT_EQ(comm.size(), 7u);
    EXPECT_NE(b.kernel().io().device(u"\\Device\\CvNtPciCard1"), nullptr) << "the card's own device exists";
    int opened = 0;
    for (const char* com : {"COM3", "COM4", "COM7", "COM8"})
        opened += b.open(com) == STATUS_SUCCESS;
    EXPECT_EQ(opened, 3) << "the other three PCI ports are served";
    EXPECT_EQ(b.stop(), 0u);
    EXPECT_TRUE(b.restored()) << b.difference();
    nt::KernelScope scope(b.kernel());
    IoDeleteDevice(foreign);
}

TEST(StartUp, AnInvalidBridgeDivisorIsAppliedAsTheBridgeAppliesIt) {
    Booted b(kDefaultMachine,
             WithValue(DefaultRegistry(), "\\Templates\\Bus5\\Card1", "PlxBaudClockDivisor", 3));
    ASSERT_EQ(b.start(), 0u) << b.log();
    EXPECT_TRUE(b.logged("An invalid Baud Clock Divisor of 3 was attempted to be set on the PLX chip."))
        << b.log();
    ASSERT_EQ(b.open("COM3"), STATUS_SUCCESS);
    ASSERT_EQ(b.open("COM5"), STATUS_SUCCESS);
    auto bytes = Payload(400);
    EXPECT_EQ(b.transfer("COM3", 0xE000, "COM5", 0x300, 9600, bytes), bytes);
    EXPECT_EQ(b.transfer("COM5", 0x300, "COM3", 0xE000, 115200, bytes), bytes);
    EXPECT_EQ(b.stop(), 0u);
    EXPECT_TRUE(b.restored()) << b.difference();
}

TEST(StartUp, SlotAssignmentRetriesAreLoggedWithinTheEntryMaximum) {
    Booted b(kDefaultMachine, DefaultRegistry());
    b.kernel().hal().slotAssignmentFailures = 2;
    ASSERT_EQ(b.start(), 0u) << b.log();
    int attempts = 0;
    for (const auto& m : b.messages())
        if (m.find("could not be allocated on the attempt number") != std::string::npos) {
            ++attempts;
            EXPECT_NE(m.find("\\CurrentConfig\\Bus5\\Card1 key"), std::string::npos)
                << "the inserted path keeps its end: " << m;
        }
    EXPECT_EQ(attempts, 2) << b.log();
    EXPECT_EQ(b.stop(), 0u);
}

TEST(StartUp, ScratchBlocksCarryTheDriversTag) {
    Booted b(kSisrConflictMachine, SisrRegistry(10));
    ASSERT_EQ(b.start(), 0u) << b.log();
    EXPECT_EQ(b.stop(), 0u);
    // Besides its own blocks, only what the system hands the driver (claimed resources) carries
    // another tag.
    for (uint32_t tag : b.kernel().pool().tagsUsed("CvNt"))
        EXPECT_TRUE(nt::tagText(tag) == "Ddk " || nt::tagText(tag) == "IoRs" || nt::tagText(tag) == "HalR")
            << nt::tagText(tag);
}

// One value changed in the default registry: the driver loads (or refuses to) cleanly, never touches
// an address it did not claim, and the stop leaves the machine as it was.
struct Hostile {
    const char* key;
    const char* name;
    uint32_t value;
    const char* logged; // a text the event log must hold
    bool pciServed;     // whether COM3 (the PCI card's first port) works
};

class HostileConfiguration : public ::testing::TestWithParam<Hostile> {};

TEST_P(HostileConfiguration, NeitherCrashesNorHangsNorTouchesWhatItDidNotClaim) {
    const Hostile& h = GetParam();
    Booted b(kDefaultMachine, WithValue(DefaultRegistry(), h.key, h.name, h.value));
    uint32_t error = b.start();
    EXPECT_TRUE(error == 0 || error == 1118) << error;
    EXPECT_TRUE(b.logged(h.logged)) << b.log();
    EXPECT_EQ(b.unclaimed(), "");
    if (error == 0) {
        ExpectConsistentNames(b);
        EXPECT_EQ(b.open("COM3") == STATUS_SUCCESS, h.pciServed) << b.log();
        if (h.pciServed) {
            // The PCI card's first two ports take COM3 and COM4 whatever the ISA card got.
            ASSERT_EQ(b.open("COM4"), STATUS_SUCCESS);
            auto bytes = Payload(64);
            EXPECT_EQ(b.transfer("COM3", 0xE000, "COM4", 0xE008, 115200, bytes), bytes);
        }
        EXPECT_EQ(b.stop(), 0u);
    }
    EXPECT_TRUE(b.restored()) << b.difference();
}

const char kTemplate[] = "\\Templates\\Bus5\\Card1";
const char kIsaPort1[] = "\\Parameters\\Bus1\\Card1\\ComPort1";

INSTANTIATE_TEST_SUITE_P(
    OneValue, HostileConfiguration,
    ::testing::Values(
        Hostile{kTemplate, "PlxBaudClockOffset", 0x1400, "lies outside the bridge window", true},
        Hostile{kTemplate, "PlxBaudClockOffset", 0x80, "lies outside the bridge window", true},
        Hostile{kTemplate, "BaseAddressAlignment", 1, "under the PCI Templates key", false},
        Hostile{kTemplate, "BaseAddressAlignment", 3, "under the PCI Templates key", false},
        Hostile{kTemplate, "BaseAddressAlignment", 6, "under the PCI Templates key", false},
        Hostile{kTemplate, "BaseAddressAlignment", 9, "under the PCI Templates key", false},
        Hostile{kTemplate, "BaseAddressAlignment", 12, "under the PCI Templates key", false},
        Hostile{kTemplate, "nComPorts", 8, "lies outside the card's UART window", true},
        Hostile{kIsaPort1, "BaseAddress", 0x10300,
                "under the ISA Parameters key are not existing or incorrect", true},
        Hostile{kIsaPort1, "InterruptLevel", 2, "could not be claimed", true},
        Hostile{kIsaPort1, "InterruptLevel", 13, "could not be claimed", true},
        Hostile{kIsaPort1, "nCom", 300, "under the ISA Parameters key are not existing or incorrect", true}),
    [](const ::testing::TestParamInfo<Hostile>& info) {
        return std::string(info.param.name) + "_" + std::to_string(info.param.value);
    });

TEST(StartUp, ANumberOutsideWhatWindowsNamesIsTreatedAsNotGiven) {
    std::string reg = DefaultRegistry() + "\n" + kRegKey + R"(\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000020
"nBus"=dword:00000000
"nSlot"=dword:00000004

)" + kRegKey + R"(\Parameters\Bus5\Card1\ComPort1]
"nCom"=dword:00000101
)";
    Booted b(kDefaultMachine, reg);
    ASSERT_EQ(b.start(), 0u) << b.log();
    EXPECT_TRUE(b.logged("The requested COM port number 101 is outside the range 1 to 256")) << b.log();
    for (const auto& [name, com] : b.serialComm())
        EXPECT_LE(com.size(), 6u) << com;
    EXPECT_EQ(b.open("COM3"), STATUS_SUCCESS) << "the port got the lowest free number";
    EXPECT_EQ(b.stop(), 0u);
    EXPECT_TRUE(b.restored()) << b.difference();
}

TEST(StartUp, ForeignValuesInSerialCommAreSkippedAndComZeroIsNeverHandedOut) {
    Booted b(kDefaultMachine, DefaultRegistry() + R"(
[HKEY_LOCAL_MACHINE\HARDWARE\DEVICEMAP\SERIALCOMM]
"Parallel0"="LPT1"
"Odd1"="COMX"
"Odd2"="COM 9"
"Odd3"="COM0"
)");
    ASSERT_EQ(b.start(), 0u) << b.log();
    std::set<std::string> coms;
    for (const auto& [name, com] : b.serialComm())
        coms.insert(com);
    for (const char* com : {"COM3", "COM4", "COM5", "COM6", "COM7", "COM8"})
        EXPECT_TRUE(coms.count(com)) << com;
    EXPECT_EQ(b.open("COM3"), STATUS_SUCCESS);
    EXPECT_EQ(b.stop(), 0u);
    EXPECT_TRUE(b.restored()) << b.difference();
}

} // namespace
