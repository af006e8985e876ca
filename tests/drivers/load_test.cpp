// CvNt loaded by its driver entry on a machine with PCI and ISA cards, as an observer sees it: names,
// CurrentConfig, claims, the event log, traffic between ports, and an unload that restores everything.
#include "CvEngine.h"
#include "CvPortList.h"
#include "CvResourceKiller.h"
#include "cvntmsg.h"
#include "hw/pci.h"
#include "hw/wiring.h"
#include "platform/nt/include/ntddser.h"
#include "platform/nt/kernel.h"
#include "platform/nt/userio.h"
#include "platform/bus_ranges.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <cstring>
#include <memory>
#include <string>

namespace {

const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt";
const std::string kRegService = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt";
const std::string kSerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

const std::string kRegistry = R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt]
"LogLevel"=dword:3

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Templates\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000020
"ClockFrequency"=dword:00e10000
"nComPorts"=dword:4
"nLptPorts"=dword:0
"Description"="Corvane PCI 4"
"BaseAddressAlignment"=dword:8
"PlxBaudClockType"=dword:1
"PlxBaudClockDivisor"=dword:1
"PlxBaudClockOffset"=dword:50
"UartType"=dword:9

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card1]
"ClockFrequency"=dword:001c2000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card1\ComPort1]
"BaseAddress"=dword:00000280
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"InterruptLevel"=dword:5
"nCom"=dword:5

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card1\ComPort2]
"BaseAddress"=dword:00000288
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"InterruptLevel"=dword:7
"nCom"=dword:6
)";

class LoadTest : public ::testing::Test {
protected:
    void SetUp() override {
        auto result = kernel.registry().loadText(kRegistry, "load.reg");
        ASSERT_TRUE(result) << result.error;
        kernel.eventLog().registerMessageFile("CvNt.sys", CvNtMessageTable);
        // The standard ports, as the system's own serial driver leaves them.
        nt::InstallStandardSerialDriver(kernel, {{0x3F8, 4, 1}, {0x2F8, 3, 2}});

        hw::PciCardLayout layout;
        layout.deviceId = 0x0020;
        layout.divisorKind = hw::BridgeDivisor::Byte;
        layout.divisorOffset = 0x50;
        layout.interruptLine = 11;
        pciCard = std::make_unique<hw::PciSerialCard>(layout);
        kernel.pci().addBus(0);
        kernel.pci().plug(0, 6, 0, *pciCard);
        for (auto& w : pciCard->ioWindows())
            kernel.ports().attach(w.base, w.length, *w.device);
        pciCard->setInterruptSink(
            [this](bool level) { kernel.setInterruptLine(nt::VectorForIrq(11), level); });
        for (unsigned i = 0; i < 4; ++i)
            pciCard->uart(i).attachClock(&kernel.timeline());
        const std::pair<uint16_t, ULONG> isa[] = {{0x280, 5}, {0x288, 7}};
        for (auto [base, irq] : isa) {
            isaUarts.push_back(std::make_unique<hw::Uart>(hw::UartKind::Uart16550, 1843200));
            hw::Uart& uart = *isaUarts.back();
            uart.attachClock(&kernel.timeline());
            uart.setGateWithOut2(true);
            kernel.ports().attach(base, 8, uart);
            ULONG vector = nt::VectorForIrq(irq);
            uart.setInterruptSink([this, vector](bool level) { kernel.setInterruptLine(vector, level); });
        }
        busRanges.install(kernel);
        RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvNt");
        driver.Type = IO_TYPE_DRIVER;
        path16 = nt::toUtf16(kService);
        RtlInitUnicodeString(&servicePath, path16.c_str());
    }

    void TearDown() override {
        files.clear();
        cables.clear();
        if (loaded)
            Unload();
    }

    NTSTATUS Load() {
        nt::ImageScope image(kernel, "CvNt");
        NTSTATUS status = DriverEntry(&driver, &servicePath);
        loaded = status == STATUS_SUCCESS;
        return status;
    }

    void Unload() {
        nt::ImageScope image(kernel, "CvNt");
        ASSERT_EQ(driver.DriverUnload, SerialUnload);
        driver.DriverUnload(&driver);
        loaded = false;
    }

    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const auto& record : kernel.eventLog().records()) {
            std::string line = kernel.eventLog().render(record).substr(46);
            line.erase(0, line.find_first_not_of(' '));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r'))
                line.pop_back();
            out.push_back(line);
        }
        return out;
    }

    // What an unload must give back: names, counts, objects, claims, keys and memory.
    std::string Snapshot() {
        std::string out;
        for (const auto& name : kernel.registry().subkeyNames(kService))
            out += "key " + name + "\n";
        if (auto key = kernel.registry().open(kSerialComm))
            for (const auto& v : key->values)
                out += "serialcomm " + nt::toUtf8(v.name) + "\n";
        out += "count " + std::to_string(kernel.configuration().SerialCount) + "\n";
        out += "devices " + std::to_string(kernel.io().deviceCount()) + "\n";
        out += "links " + std::to_string(kernel.io().linkNames().size()) + "\n";
        for (const auto& l : kernel.io().linkNames())
            out += "link " + nt::toUtf8(l) + "\n";
        out += "claims " + std::to_string(kernel.resources().claims().size()) + "\n";
        for (const auto& name : kernel.registry().subkeyNames("\\Registry\\Machine\\HARDWARE\\RESOURCEMAP"))
            out += "map key " + name + "\n";
        out +=
            "map " +
            std::to_string(kernel.registry().exists("\\Registry\\Machine\\HARDWARE\\RESOURCEMAP\\Corvane")) +
            "\n";
        out += "pool " + std::to_string(kernel.pool().liveCount("CvNt")) + "\n";
        return out;
    }

    // Moves `bytes` from one COM port to another over a null-modem cable at `baud`, 8N1.
    std::vector<uint8_t> Transfer(const std::string& from, const std::string& to, hw::Uart& a, hw::Uart& b,
                                  ULONG baud, const std::vector<uint8_t>& bytes) {
        cables.push_back(std::make_unique<hw::NullModemCable>(a, b));
        std::unique_ptr<nt::UserFile> tx, rx;
        EXPECT_EQ(nt::UserFile::open(kernel, from, tx), STATUS_SUCCESS);
        EXPECT_EQ(nt::UserFile::open(kernel, to, rx), STATUS_SUCCESS);
        if (!tx || !rx)
            return {};
        for (auto* f : {tx.get(), rx.get()}) {
            SERIAL_BAUD_RATE rate{baud};
            SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
            std::vector<uint8_t> r(sizeof rate), l(sizeof line);
            std::memcpy(r.data(), &rate, sizeof rate);
            std::memcpy(l.data(), &line, sizeof line);
            EXPECT_EQ(f->control(IOCTL_SERIAL_SET_BAUD_RATE, r, 0).status, STATUS_SUCCESS) << baud;
            EXPECT_EQ(f->control(IOCTL_SERIAL_SET_LINE_CONTROL, l, 0).status, STATUS_SUCCESS);
        }
        auto read = rx->startRead(static_cast<ULONG>(bytes.size()));
        auto written = tx->write(bytes, kernel.now() + 10 * hw::kTicksPerSecond);
        EXPECT_EQ(written.status, STATUS_SUCCESS);
        auto got = rx->wait(read, kernel.now() + 10 * hw::kTicksPerSecond);
        tx->close();
        rx->close();
        cables.pop_back();
        return got.data;
    }

    nt::Kernel kernel;
    nt::KernelScope scope{kernel};
    BusRanges busRanges;
    std::unique_ptr<hw::PciSerialCard> pciCard;
    std::vector<std::unique_ptr<hw::Uart>> isaUarts;
    std::vector<std::unique_ptr<hw::NullModemCable>> cables;
    std::vector<std::unique_ptr<nt::UserFile>> files;
    DRIVER_OBJECT driver{};
    std::u16string path16;
    UNICODE_STRING servicePath{};
    bool loaded = false;
};

TEST_F(LoadTest, TheDriverLoadsNamesItsPortsAndPublishesWhatItDid) {
    ASSERT_EQ(Load(), STATUS_SUCCESS) << ::testing::PrintToString(Messages());
    EXPECT_EQ(Messages().back(), "The CvNt driver loaded successfully.");
    EXPECT_EQ(kernel.registry().string(kSerialComm, "Serial2"), std::optional<std::string>("COM5"));
    EXPECT_EQ(kernel.registry().string(kSerialComm, "Serial3"), std::optional<std::string>("COM6"));
    EXPECT_EQ(kernel.registry().string(kSerialComm, "Serial4"), std::optional<std::string>("COM3"));
    EXPECT_EQ(kernel.registry().string(kSerialComm, "Serial7"), std::optional<std::string>("COM8"));
    EXPECT_EQ(kernel.configuration().SerialCount, 8u);
    EXPECT_EQ(kernel.io().linkNames().size(), 6u);
    EXPECT_EQ(kernel.registry().dword(kService + "\\CurrentConfig\\Bus5\\Card1\\ComPort1", "ComPortAddress"),
              std::optional<uint32_t>(0xE800));
    EXPECT_EQ(kernel.registry().dword(kService + "\\CurrentConfig\\Bus5\\Card1", "InterruptLevel"),
              std::optional<uint32_t>(11));
    EXPECT_EQ(kernel.registry().dword(kService + "\\CurrentConfig\\Bus1\\Card1\\ComPort2", "InterruptLevel"),
              std::optional<uint32_t>(7));
    EXPECT_EQ(kernel.resources().claims().size(), 5u)
        << "the standard ports, the PCI card and the two ISA ports";
    EXPECT_EQ(pciCard->bridgeDivisor(0), 1u);
    EXPECT_EQ(driver.MajorFunction[IRP_MJ_DEVICE_CONTROL], CvIoControl);
}

TEST_F(LoadTest, BytesCrossBetweenCardsIntactAtEveryRate) {
    ASSERT_EQ(Load(), STATUS_SUCCESS) << ::testing::PrintToString(Messages());
    std::vector<uint8_t> bytes;
    for (int i = 0; i < 200; ++i)
        bytes.push_back(static_cast<uint8_t>(i * 37 + 11));
    for (ULONG baud : {9600u, 115200u})
        EXPECT_EQ(Transfer("COM3", "COM5", pciCard->uart(0), *isaUarts[0], baud, bytes), bytes) << baud;
    EXPECT_EQ(Transfer("COM4", "COM7", pciCard->uart(1), pciCard->uart(2), 921600, bytes), bytes)
        << "the PCI card's highest rate";
}

TEST_F(LoadTest, BytesCrossBetweenTwoPciCardsAtTheirHighestRate) {
    hw::PciCardLayout layout;
    layout.deviceId = 0x0021;
    layout.uartWindow = 0xD000;
    layout.bridgeIo = 0xD800;
    layout.bridgeMemory = 0xFEC00000;
    layout.divisorKind = hw::BridgeDivisor::Byte;
    layout.interruptLine = 10;
    hw::PciSerialCard second(layout);
    kernel.pci().plug(0, 9, 0, second);
    for (auto& w : second.ioWindows())
        kernel.ports().attach(w.base, w.length, *w.device);
    second.setInterruptSink([this](bool level) { kernel.setInterruptLine(nt::VectorForIrq(10), level); });
    for (unsigned i = 0; i < 4; ++i)
        second.uart(i).attachClock(&kernel.timeline());
    ASSERT_EQ(Load(), STATUS_SUCCESS) << ::testing::PrintToString(Messages());
    std::vector<uint8_t> bytes(300);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 101 + 3);
    for (ULONG baud : {9600u, 115200u, 921600u})
        EXPECT_EQ(Transfer("COM3", "COM9", pciCard->uart(0), second.uart(0), baud, bytes), bytes) << baud;
    Unload();
    for (auto& w : second.ioWindows())
        kernel.ports().detach(w.base);
    kernel.pci().unplug(0, 9, 0);
}

TEST_F(LoadTest, UnloadRestoresTheMachineAndASecondLoadMakesOneCopy) {
    const std::string before = Snapshot();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    Unload();
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(Messages().back(), "Driver unloading ends.");
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    EXPECT_EQ(kernel.configuration().SerialCount, 8u);
    EXPECT_EQ(kernel.registry().subkeyNames(kService + "\\CurrentConfig\\Bus5"),
              (std::vector<std::string>{"Card1"}));
    Unload();
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(LoadTest, EveryFailedAllocationOfTheEntryLeavesNothingBehind) {
    const std::string before = Snapshot();
    const uint64_t start = kernel.pool().allocationCount();
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    const uint64_t perLoad = kernel.pool().allocationCount() - start;
    Unload();
    int refused = 0;
    for (uint64_t n = 1; n <= perLoad; ++n) {
        kernel.eventLog().clear();
        kernel.pool().failNth(n, "CvNt");
        NTSTATUS status = Load();
        kernel.pool().clearFailures();
        auto loadMessages = Messages();
        if (status == STATUS_SUCCESS)
            Unload();
        else
            ++refused;
        ASSERT_EQ(Snapshot(), before)
            << "allocation " << n << " of " << perLoad << " (" << status << ")\n"
            << kernel.pool().leakReport("CvNt") << ::testing::PrintToString(loadMessages);
    }
    EXPECT_GT(refused, 0);
    RecordProperty("refused", refused);
    RecordProperty("allocations", static_cast<int>(perLoad));
}

TEST_F(LoadTest, ARequirementListThatCannotBeHadIsASevereFailure) {
    const std::string before = Snapshot();
    // The list of an ISA port with its own interrupt: a port range and an interrupt.
    const size_t listSize =
        offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors) + 2 * sizeof(IO_RESOURCE_DESCRIPTOR);
    kernel.pool().failWhen([listSize](size_t size, uint32_t, const std::string& image) {
        return image == "CvNt" && size == listSize;
    });
    EXPECT_EQ(Load(), STATUS_SERIAL_NO_DEVICE_INITED);
    kernel.pool().clearFailures();
    auto messages = Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "An error occured while allocating the resources for non-SISR ISA devices."),
              messages.end())
        << ::testing::PrintToString(messages);
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(LoadTest, TheServiceManagerStartsAndStopsTheDriver) {
    kernel.services().registerImage("CvNt.sys", "CvNt", DriverEntry);
    kernel.services().install("CvNt", "CvNt.sys");
    const std::string before = Snapshot();
    ASSERT_EQ(kernel.services().start("CvNt"), nt::kErrorSuccess);
    EXPECT_EQ(kernel.services().start("CvNt"), nt::kErrorServiceAlreadyRunning);
    std::unique_ptr<nt::UserFile> file;
    ASSERT_EQ(nt::UserFile::open(kernel, "COM3", file), STATUS_SUCCESS);
    EXPECT_EQ(kernel.services().stop("CvNt"), nt::kErrorDeviceInUse) << "a port is open";
    file->close();
    EXPECT_EQ(kernel.services().stop("CvNt"), nt::kErrorSuccess);
    EXPECT_EQ(Snapshot(), before);
    EXPECT_EQ(kernel.services().stop("CvNt"), nt::kErrorServiceNotActive);
    EXPECT_EQ(kernel.services().start("Missing"), nt::kErrorServiceDoesNotExist);

    // A PCI card without any template: the driver refuses, and the manager says why.
    kernel.registry().removeTree(kService + "\\Templates");
    const std::string withoutTemplates = Snapshot();
    EXPECT_EQ(kernel.services().start("CvNt"), nt::kErrorSerialNoDevice);
    EXPECT_EQ(kernel.services().lastEntryStatus(), STATUS_SERIAL_NO_DEVICE_INITED);
    EXPECT_EQ(Snapshot(), withoutTemplates) << "a refused start leaves nothing";
}

TEST_F(LoadTest, AnIsaPortOnATakenRangeIsDisabledAndCannotBeOpened) {
    // The second ISA port asks for COM2's range, which the standard driver holds.
    kernel.registry().setDword(kService + "\\Parameters\\Bus1\\Card1\\ComPort2", "BaseAddress", 0x2F8);
    ASSERT_EQ(Load(), STATUS_SUCCESS);
    // The disabled port gave its name back (a PCI port took the number); every name published opens.
    auto comm = kernel.registry().open(kSerialComm);
    ASSERT_TRUE(comm);
    EXPECT_EQ(comm->values.size(), 7u) << "COM1, COM2, the first ISA port and four PCI ports";
    for (const auto& v : comm->values) {
        std::string com(v.data.begin(), v.data.end());
        com.erase(std::remove(com.begin(), com.end(), '\0'), com.end());
        if (com == "COM1" || com == "COM2")
            continue; // the standard driver's
        std::unique_ptr<nt::UserFile> file;
        EXPECT_EQ(nt::UserFile::open(kernel, com, file), STATUS_SUCCESS) << com;
    }
    EXPECT_EQ(kernel.registry().string(kService + "\\CurrentConfig\\Bus1\\Card1\\ComPort2", "Status"),
              std::optional<std::string>("Port is disabled"));
}

TEST_F(LoadTest, ASisrCardWhoseFirstPortIsDisabledStillGetsItsInterrupt) {
    // A second ISA card with a shared interrupt status register on IRQ 10; its first port asks for
    // COM1, which the standard driver holds, so that port is disabled.
    kernel.registry().loadText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card2]
"ClockFrequency"=dword:001c2000
"SisrAddress"=dword:000002a0
"InterruptLevel"=dword:0000000a

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card2\ComPort1]
"BaseAddress"=dword:000002b0
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:1

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card2\ComPort2]
"BaseAddress"=dword:000002b8
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:9
)",
                               "sisr.reg");
    std::vector<hw::Uart*> sisrPorts;
    for (uint16_t base : {0x2B0, 0x2B8}) {
        isaUarts.push_back(std::make_unique<hw::Uart>(hw::UartKind::Uart16550, 1843200));
        hw::Uart& uart = *isaUarts.back();
        uart.attachClock(&kernel.timeline());
        kernel.ports().attach(base, 8, uart);
        sisrPorts.push_back(&uart);
    }
    hw::WiredOrLine line([this](bool level) { kernel.setInterruptLine(nt::VectorForIrq(10), level); });
    for (hw::Uart* uart : sisrPorts)
        uart->setInterruptSink(line.input());
    hw::SisrRegister sisr(sisrPorts);
    kernel.ports().attach(0x2A0, 1, sisr);

    ASSERT_EQ(Load(), STATUS_SUCCESS) << ::testing::PrintToString(Messages());
    EXPECT_EQ(kernel.connectedInterrupts(nt::VectorForIrq(10)), 1u) << "the card's interrupt, once";
    EXPECT_EQ(kernel.connectedInterrupts(nt::VectorForIrq(5)), 1u) << "each own-interrupt port once";
    EXPECT_EQ(kernel.registry().string(kService + "\\CurrentConfig\\Bus1\\Card2\\ComPort1", "Status"),
              std::optional<std::string>("Port is disabled"));
    EXPECT_EQ(kernel.registry().dword(kService + "\\CurrentConfig\\Bus1\\Card2", "SisrAddress"),
              std::optional<uint32_t>(0x2A0));
    std::vector<uint8_t> bytes(64);
    for (size_t i = 0; i < bytes.size(); ++i)
        bytes[i] = static_cast<uint8_t>(i * 7);
    EXPECT_EQ(Transfer("COM9", "COM5", *sisrPorts[1], *isaUarts[0], 9600, bytes), bytes)
        << "the card's second port is served through the status register";
    EXPECT_EQ(Transfer("COM5", "COM9", *isaUarts[0], *sisrPorts[1], 115200, bytes), bytes);
    Unload();
    kernel.ports().detach(0x2A0);
    for (uint16_t base : {0x2B0, 0x2B8})
        kernel.ports().detach(base);
    isaUarts.resize(2);
}

TEST_F(LoadTest, SlotAssignmentIsRetriedFiveTimesThenTheCardGoes) {
    kernel.hal().slotAssignmentFailures = 4;
    ASSERT_EQ(Load(), STATUS_SUCCESS) << ::testing::PrintToString(Messages());
    EXPECT_EQ(kernel.hal().slotAssignmentFailures, 0u) << "four attempts failed, the fifth was made";
    int attempts = 0;
    for (const auto& m : Messages())
        attempts += m.find("could not be allocated on the attempt number") != std::string::npos;
    EXPECT_EQ(attempts, 4) << "each failed attempt is in the event log";
    std::unique_ptr<nt::UserFile> file;
    EXPECT_EQ(nt::UserFile::open(kernel, "COM3", file), STATUS_SUCCESS) << "served on the fifth attempt";
    file.reset();
    Unload();

    // Five failures: the card goes, no PCI port is left, and the driver does not load.
    const std::string before = Snapshot();
    kernel.hal().slotAssignmentFailures = 5;
    kernel.eventLog().clear();
    EXPECT_EQ(Load(), STATUS_SERIAL_NO_DEVICE_INITED);
    auto messages = Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "An error occured while allocating the resources for the PCI devices."),
              messages.end());
    EXPECT_EQ(messages.back(), "The driver did not load successfully.");
    EXPECT_EQ(Snapshot(), before);
}

TEST_F(LoadTest, AWindowTheMachineMapsIntoMemorySpaceStopsTheLoad) {
    busRanges.inMemorySpace.push_back({0xE800, 0x20});
    const std::string before = Snapshot();
    EXPECT_EQ(Load(), STATUS_SERIAL_NO_DEVICE_INITED);
    auto messages = Messages();
    EXPECT_NE(
        std::find(messages.begin(), messages.end(),
                  "The port address space Base Address retrieved for the card with the device ID 20 was "
                  "translated by NT to a Memory Mapped address. The driver will unload."),
        messages.end());
    EXPECT_EQ(Snapshot(), before) << "the ISA ports made before are gone again";
}

TEST_F(LoadTest, AnUntranslatableWindowRemovesItsCardButTheDriverServesTheRest) {
    busRanges.untranslatable.push_back({0xEC00, 0x80});
    EXPECT_EQ(Load(), STATUS_SERIAL_NO_DEVICE_INITED) << "the only PCI card went: no PCI port is left";
    busRanges.untranslatable.clear();
}

} // namespace
