// CvInstal on the Windows 2000 machine, from a machine description and a registry to what an observer
// sees: the device tree, the records behind the children, the card device keys and interfaces, the
// reference numbers, settings updates through an interface, the old service, power, low resources,
// and removal.
#include "sim/machinefile.h"
#include "sim/mainjob.h"
#include "sim/pnpdevices.h"
#include "sim/scenario.h"

#include "CvInstalRecords.h"
#include "platform/nt/userio.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <fstream>
#include <memory>
#include <sstream>

namespace {

const std::string kEnum = "\\Registry\\Machine\\System\\CurrentControlSet\\Enum\\";
const std::string kService = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvInstal";

// The built-in Windows 2000 machine with `extraRegistry` (.reg lines) after the built-in registry.
std::unique_ptr<sim::Machine> MakeMachine(const std::string& extraRegistry = "",
                                          sim::MachineSpec spec = sim::MachineSpec::builtInWindows2000()) {
    spec.registryText = sim::MachineSpec::builtInWindows2000().registryText + extraRegistry;
    return std::make_unique<sim::Machine>(spec);
}

std::u16string Text(const UNICODE_STRING& s) {
    return std::u16string(s.Buffer, s.Length / 2);
}

class W2kTest : public ::testing::Test {
protected:
    void Boot(const std::string& extraRegistry = "") {
        machine = MakeMachine(extraRegistry);
        machine->boot();
    }
    nt::Kernel& kernel() { return machine->kernel(); }
    w2k::PnpManager& pnp() { return machine->pnp()->manager(); }
    w2k::DeviceNode* Card(const char* bus, size_t number = 1) {
        return machine->pnp()->cardNode(bus, number);
    }
    CCvCard* Record(w2k::DeviceNode* card) {
        return static_cast<CCvCard*>(kernel().io().topOf(card->pdo)->DeviceExtension);
    }
    CCvPort* Port(w2k::DeviceNode* card, int n) { return Record(card)->apPort[n - 1]; }
    w2k::DeviceNode* Child(w2k::DeviceNode* card, int n) {
        return pnp().nodeOf(Record(card)->apChildPdo[n - 1]);
    }
    // An export of a card's key as CvInstal writes it: without the "Card\Port<n>" subkeys that the port
    // driver on each child publishes.
    std::string CvInstalKey(const std::string& path) {
        std::string text = kernel().registry().saveText(path), out;
        for (size_t at = 0; at < text.size();) {
            size_t next = text.find("\n[", at + 1);
            std::string section =
                text.substr(at, next == std::string::npos ? std::string::npos : next + 1 - at);
            if (section.find("\\Card\\Port") == std::string::npos)
                out += section;
            at = next == std::string::npos ? text.size() : next + 1;
        }
        return out;
    }
    std::string DeviceKey(w2k::DeviceNode* card) {
        return CvInstalKey(card->enumKey() + "\\Device Parameters");
    }
    // What must be gone once CvInstal has no card left.
    void ExpectNothingLeft() {
        EXPECT_FALSE(kernel().services().running("CvInstal"));
        EXPECT_EQ(kernel().pool().liveCount("CvInstal"), 0u) << kernel().pool().leakReport("CvInstal");
        EXPECT_EQ(kernel().queuedDeferredWork("CvInstal"), 0u);
        EXPECT_EQ(kernel().io().outstanding(), 0u);
        for (const auto& entry : pnp().interfaces())
            EXPECT_FALSE(entry->enabled) << nt::toUtf8(entry->symbolicLink);
        EXPECT_EQ(pnp().powerIrpsWithoutStartNext(), 0u);
    }

    std::unique_ptr<sim::Machine> machine;
};

TEST_F(W2kTest, APciCardGetsItsFourComPortsAndItsParallelPort) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::DeviceNode* card = Card("pci");
    ASSERT_TRUE(card);
    ASSERT_EQ(card->state, w2k::NodeState::Started);
    CCvCard* c = Record(card);
    EXPECT_EQ(c->ulBusType, 5u);
    EXPECT_EQ(c->unVendorID, 0x10B5);
    EXPECT_EQ(c->unDeviceID, 0x0450);
    EXPECT_EQ(c->ulSubsysID, 0x045010B5u);
    EXPECT_EQ(c->SlotNumber.u.AsULONG, 6u);
    EXPECT_EQ(c->unNumberComPorts, 4);
    EXPECT_EQ(c->unNumberLptPorts, 1);
    EXPECT_EQ(c->ulPlxAddress, 0xEC00u);
    EXPECT_EQ(c->ulBaseAddress, 0xE000u);
    EXPECT_EQ(c->ulIoWindow2Address, 0xE400u);
    EXPECT_EQ(c->ulBusRelativeInterruptVector, 11u);
    EXPECT_EQ(c->bUsePortSpaceAccess, 0) << "the card offers both memory windows";
    ASSERT_NE(c->pvBaseMemory, nullptr);

    // The UARTs through the memory window, each at its spacing; the card's interrupt for all.
    for (int n = 1; n <= 4; ++n) {
        CCvPort* p = Port(card, n);
        ASSERT_TRUE(p);
        EXPECT_EQ(p->ulPortType, 1u);
        EXPECT_EQ(p->unPortNumber, n);
        EXPECT_EQ(p->ulAddressSpace, 0u);
        EXPECT_EQ(p->ulBaseAddress,
                  static_cast<ULONG>(reinterpret_cast<uintptr_t>(c->pvBaseMemory)) + 8 * (n - 1));
        EXPECT_EQ(p->ulBusRelativeBaseAddress, 0xFEB01000u + 8 * (n - 1));
        EXPECT_EQ(p->ulBaseAddressRange, 8u);
        EXPECT_EQ(p->ulBusRelativeInterruptVector, 11u);
        EXPECT_EQ(p->ulInterruptVector, nt::VectorForIrq(11));
        EXPECT_EQ(p->ulClockFrequency, 14745600u);
        EXPECT_EQ(p->ulUartType, 9u);
        EXPECT_EQ(p->ulPlxBaudClockOffset, 0x50u);
        EXPECT_EQ(p->lRxTriggerLevel, 100);
        EXPECT_EQ(p->lTxTriggerLevel, 1);
        EXPECT_EQ(p->ulBaudrateMultiplier, 1u);
        EXPECT_EQ(p->pCard, c);
    }
    // The mapped window reaches the UARTs: port 2's scratch register through memory is the model's.
    auto* scratch =
        reinterpret_cast<PUCHAR>(static_cast<uintptr_t>(Port(card, 2)->ulBaseAddress)) + hw::reg::SPR;
    WRITE_REGISTER_UCHAR(scratch, 0x5A);
    EXPECT_EQ(machine->uartAt(0xE008)->read(hw::reg::SPR), 0x5A);
    EXPECT_EQ(READ_REGISTER_UCHAR(scratch - 8 + hw::reg::LSR - hw::reg::SPR) & hw::reg::LSR_THRE,
              hw::reg::LSR_THRE)
        << "port 1's line status, idle";
    // The settings groups the property pages offer for the card.
    EXPECT_EQ(
        CvInstalKey(card->enumKey() + "\\Device Parameters\\Card"),
        "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Enum\\" +
            nt::toUtf8(card->instancePath()) +
            "\\Device Parameters\\Card]\n\"Enable_BaudrateSettings\"=dword:00000001\n"
            "\"PlxBaudClockDivisor\"=dword:00000001\n\"MaximumBaudrate\"=dword:000e1000\n"
            "\"Enable_HardwareAccess\"=dword:00000001\n\"UsePortSpaceAccess\"=dword:00000000\n"
            "\"Enable_DriverSettings\"=dword:00000001\n\"LogLevel\"=dword:00000003\n\n");

    // The parallel port at the start of the third I/O window, named after the card's place.
    CCvPort* lpt = Port(card, 5);
    EXPECT_EQ(lpt->ulPortType, 2u);
    EXPECT_EQ(lpt->ulAddressSpace, 1u);
    EXPECT_EQ(lpt->ulBaseAddress, 0xE400u);
    EXPECT_EQ(lpt->ulBaseAddressRange, 8u);
    EXPECT_EQ(lpt->ulBusRelativeInterruptVector, 0u);
    EXPECT_EQ(kernel().io().nameOf(c->apChildPdo[4]), u"\\Device\\CvPar506");

    // What the plug-and-play manager learnt from the children.
    const char* ids[] = {"Ports\\QuorvelPciPort061", "Ports\\QuorvelPciPort062", "Ports\\QuorvelPciPort063",
                         "Ports\\QuorvelPciPort064", "Ports\\QuorvelPciPort065"};
    const char* texts[] = {"Communications Port 1", "Communications Port 2", "Communications Port 3",
                           "Communications Port 4", "Parallel Port 1"};
    for (int n = 1; n <= 5; ++n) {
        w2k::DeviceNode* child = Child(card, n);
        ASSERT_TRUE(child) << n;
        EXPECT_EQ(nt::toUtf8(child->deviceId), ids[n - 1]);
        EXPECT_EQ(nt::toUtf8(child->description), texts[n - 1]);
        ASSERT_EQ(child->hardwareIds.size(), 1u);
        EXPECT_EQ(nt::toUtf8(child->hardwareIds[0]),
                  n < 5 ? "Ports\\QuorvelComPort" : "Ports\\QuorvelLptPort");
        EXPECT_TRUE(child->compatibleIds.empty());
        EXPECT_FALSE(child->capabilities.UniqueID);
        EXPECT_FALSE(child->capabilities.Removable);
        EXPECT_FALSE(child->capabilities.SurpriseRemovalOK);
        EXPECT_EQ(child->capabilities.SystemWake, PowerSystemUnspecified);
        EXPECT_EQ(child->capabilities.DeviceState[PowerSystemWorking], PowerDeviceUnspecified)
            << "the device state table is left as the bus (here: nobody) set it";
        ASSERT_TRUE(child->busInformation);
        EXPECT_EQ(nt::toUtf8(w2k::guidText(child->busInformation->BusTypeGuid)),
                  "{62564062-1F38-11D3-A133-00201888424E}");
        EXPECT_EQ(child->busInformation->LegacyBusType, PNPBus);
        EXPECT_EQ(child->problem, w2k::kProblemNone);
        EXPECT_EQ(child->state, w2k::NodeState::Started) << "the port driver's stand-in serves it";
    }
    EXPECT_NE(Child(card, 1)->instancePath(), Child(card, 2)->instancePath());
}

TEST_F(W2kTest, AnIsaCardFollowsItsFirstPortAndSharesItsInterrupt) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::DeviceNode* card = Card("isa");
    ASSERT_TRUE(card);
    ASSERT_EQ(card->state, w2k::NodeState::Started);
    CCvCard* c = Record(card);
    EXPECT_EQ(c->ulBusType, 1u);
    EXPECT_EQ(c->ulDeviceReference, 2u) << "numbered after the PCMCIA card, which started first";
    for (int n = 1; n <= 4; ++n) {
        CCvPort* p = Port(card, n);
        EXPECT_EQ(p->ulBaseAddress, 0x300u + 8 * (n - 1));
        EXPECT_EQ(p->ulBusRelativeBaseAddress, 0x300u + 8 * (n - 1));
        EXPECT_EQ(p->ulBaseAddressRange, 8u);
        EXPECT_EQ(p->ulBusRelativeInterruptVector, 5u);
        EXPECT_EQ(p->ulInterruptVector, nt::VectorForIrq(5));
        EXPECT_EQ(p->ulAddressSpace, 1u);
        EXPECT_EQ(p->ulPlxBaudClockOffset, 0u);
        EXPECT_EQ(nt::toUtf8(Child(card, n)->deviceId), "Ports\\QuorvelIsaPort2" + std::to_string(n));
    }
    // Its device key, as an export of the registry shows it.
    EXPECT_EQ(DeviceKey(card), R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\Root\MULTIPORTSERIAL\0000\Device Parameters]
"DeviceReference"=dword:00000002
"BaseAddress1"=dword:00000300
"BaseAddressRange1"=dword:00000008
"Irq1"=dword:00000005
"BaseAddress2"=dword:00000308
"BaseAddressRange2"=dword:00000008
"Irq2"=dword:00000005
"BaseAddress3"=dword:00000310
"BaseAddressRange3"=dword:00000008
"Irq3"=dword:00000005
"BaseAddress4"=dword:00000318
"BaseAddressRange4"=dword:00000008
"Irq4"=dword:00000005
"BusType"=dword:00000001
"HardwareID"=hex(1):51,00,52,00,56,00,30,00,31,00,30,00,34,00
"nCom"=dword:00000004
"nLpt"=dword:00000000

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Enum\Root\MULTIPORTSERIAL\0000\Device Parameters\Card]
"Enable_DriverSettings"=dword:00000001
"LogLevel"=dword:00000003

)");
    // Its interface, with the values a tool finds it by.
    auto it = std::find_if(pnp().interfaces().begin(), pnp().interfaces().end(),
                           [&](const auto& e) { return e->node == card; });
    ASSERT_NE(it, pnp().interfaces().end());
    EXPECT_EQ(nt::toUtf8(w2k::guidText((*it)->classGuid)), "{7C4B9CC6-7ABF-47AE-92EE-D34292E8A741}");
    EXPECT_TRUE((*it)->enabled);
    EXPECT_EQ(nt::toUtf8((*it)->symbolicLink),
              "\\??\\Root#MULTIPORTSERIAL#0000#{7c4b9cc6-7abf-47ae-92ee-d34292e8a741}");
    EXPECT_EQ(
        kernel().registry().dword(nt::toUtf8((*it)->registryKey) + "\\Device Parameters", "DeviceReference"),
        2u);
}

TEST_F(W2kTest, APcmciaCardGetsItsPortsAtTheirSpacingInItsWindow) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::DeviceNode* card = Card("pcmcia");
    ASSERT_TRUE(card);
    CCvCard* c = Record(card);
    EXPECT_EQ(c->ulBusType, 8u);
    EXPECT_EQ(c->ulPlxAddress, 0u);
    EXPECT_EQ(c->ulBaseAddress, 0x240u);
    EXPECT_EQ(Port(card, 1)->ulBaseAddress, 0x240u);
    EXPECT_EQ(Port(card, 2)->ulBaseAddress, 0x248u) << "each port its own UART, not all on the first";
    EXPECT_EQ(Port(card, 2)->ulBusRelativeInterruptVector, 10u);
    EXPECT_EQ(Port(card, 2)->ulDuplexOperation, 7u) << "the template's default";
    EXPECT_EQ(nt::toUtf8(Child(card, 2)->deviceId), "Ports\\QuorvelPcmciaPort12");
    auto it = std::find_if(pnp().interfaces().begin(), pnp().interfaces().end(),
                           [&](const auto& e) { return e->node == card; });
    ASSERT_NE(it, pnp().interfaces().end());
    EXPECT_EQ(nt::toUtf8(w2k::guidText((*it)->classGuid)), "{ECE42DDC-A00C-42B3-B978-1F4950CBAA1F}");
    EXPECT_EQ(nt::toUtf8(Text(c->uniInterfaceName)), nt::toUtf8((*it)->symbolicLink)) << "the name it keeps";
}

TEST_F(W2kTest, ASecondStartKeepsTheChildrenAndTheirRecords) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::DeviceNode* card = Card("pci");
    CCvPort* before[5];
    for (int n = 1; n <= 5; ++n)
        before[n - 1] = Port(card, n);
    Port(card, 2)->lRxTriggerLevel = 14; // as a port driver might have left it
    ASSERT_TRUE(pnp().stop(*card).ok());
    EXPECT_EQ(Record(card)->ulPnpState, 2u);
    ASSERT_TRUE(pnp().start(*card).ok());
    CCvCard* c = Record(card);
    EXPECT_EQ(c->ulPnpState, 1u);
    EXPECT_EQ(c->unNumberComPorts, 4) << "existing children are not counted again";
    EXPECT_EQ(c->unNumberLptPorts, 1);
    for (int n = 1; n <= 5; ++n)
        EXPECT_EQ(Port(card, n), before[n - 1]);
    EXPECT_EQ(Port(card, 2)->lRxTriggerLevel, 14);
    EXPECT_EQ(card->children.size(), 5u) << "no new child node";
}

TEST_F(W2kTest, ReferenceNumbersStayWithTheirCardsAcrossRestarts) {
    Boot();
    std::string saved;
    {
        nt::KernelScope in(kernel());
        EXPECT_EQ(Record(Card("pcmcia"))->ulDeviceReference, 1u);
        EXPECT_EQ(Record(Card("isa"))->ulDeviceReference, 2u);
        saved = kernel().registry().saveText("\\Registry\\Machine\\System");
    }
    // The next boot of the same machine, its PC Card left out: the ISA card keeps its number.
    sim::MachineSpec spec = sim::MachineSpec::builtInWindows2000();
    spec.cards.back().inserted = false;
    spec.registryText = saved;
    machine = std::make_unique<sim::Machine>(spec);
    machine->boot();
    nt::KernelScope in(kernel());
    EXPECT_EQ(Record(Card("isa"))->ulDeviceReference, 2u);
    EXPECT_EQ(kernel().registry().dword(kService, "UniqueValue"), 2u) << "no number was given out again";
    std::string error;
    ASSERT_TRUE(machine->pnp()->insert(0, error)) << error;
    EXPECT_EQ(Record(Card("pcmcia"))->ulDeviceReference, 1u);
}

// Parameters written for the PCI card (as its property page would) and the card opened through its
// interface: exactly the changes the new values call for are pending.
TEST_F(W2kTest, OpeningACardThroughItsInterfaceAppliesItsNewParameters) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::DeviceNode* card = Card("pci");
    ASSERT_TRUE(kernel().registry().loadText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000450
"nBus"=dword:00000000
"nSlot"=dword:00000006
"PlxBaudClockDivisor"=dword:00000002
"AlwaysUsePortSpaceAccess"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1\ComPort1]
"UartType"=dword:00000005
"RxTriggerLevel"=dword:00000020

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvInstal\Parameters\Bus5\Card1\ComPort2]
"BaudrateMultiplier"=dword:00000004
"CtsTrue"=dword:00000101
)",
                                             "pages.reg"));
    auto result = sim::RunScenario(*machine, "open-card pci:1\n", "s", false);
    ASSERT_TRUE(result.ok) << result.error << result.transcript;
    EXPECT_NE(result.transcript.find("open-card pci:1: 0x00000000"), std::string::npos) << result.transcript;

    CCvCard* c = Record(card);
    EXPECT_EQ(c->bDivisorChanged, 1);
    EXPECT_EQ(c->ulNewPlxBaudClockDivisor, 2u);
    EXPECT_EQ(c->unPlxBaudClockDivisor, 2);
    EXPECT_EQ(c->bAccessChanged, 1) << "I/O access forced where the ports had memory access";
    EXPECT_EQ(c->bNewUsePortSpaceAccess, 1);
    CCvPort* p1 = Port(card, 1);
    EXPECT_EQ(p1->bUartTypeChanged, 1);
    EXPECT_EQ(p1->ucNewUartType, 5);
    EXPECT_EQ(p1->bTriggerLevelsChanged, 1);
    EXPECT_EQ(p1->lNewRxTriggerLevel, 0x20);
    EXPECT_EQ(p1->lNewTxTriggerLevel, 1) << "the level not given stays as the port has it";
    EXPECT_EQ(p1->bSoftTxLimitChanged + p1->bCtsTrueChanged + p1->bDuplexChanged + p1->bDivisorChanged +
                  p1->bBaudrateMultiplierChanged,
              0);
    CCvPort* p2 = Port(card, 2);
    EXPECT_EQ(p2->bBaudrateMultiplierChanged, 1);
    EXPECT_EQ(p2->ulNewBaudrateMultiplier, 4u);
    EXPECT_EQ(p2->bCtsTrueChanged, 1);
    EXPECT_EQ(p2->ulNewCtsTrue, 1u) << "the low byte";
    EXPECT_EQ(p2->bUartTypeChanged + p2->bTriggerLevelsChanged, 0);
    CCvPort* p3 = Port(card, 3);
    EXPECT_EQ(p3->bUartTypeChanged + p3->bTriggerLevelsChanged + p3->bBaudrateMultiplierChanged, 0)
        << "a port without a record of its own";
    for (int n = 1; n <= 4; ++n)
        EXPECT_EQ(Port(card, n)->bUsePortSpaceAccess, 1);
    EXPECT_EQ(kernel().registry().dword(card->enumKey() + "\\Device Parameters\\Card", "PlxBaudClockDivisor"),
              2u);
}

TEST_F(W2kTest, TheOldServiceIsRemovedAtTheFirstLoadWhichFailsSilently) {
    Boot(R"(
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt]
"Type"=dword:00000001

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
)");
    nt::KernelScope in(kernel());
    EXPECT_FALSE(
        kernel().registry().exists("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt"));
    // The first card's load removed the old service and failed; the next card's load succeeded.
    EXPECT_EQ(Card("pci")->problem, w2k::kProblemFailedDriverEntry);
    EXPECT_EQ(Card("pcmcia")->state, w2k::NodeState::Started);
    EXPECT_EQ(Card("isa")->state, w2k::NodeState::Started);
    // The failed load logged nothing: the log starts with the successful one.
    const auto& records = kernel().eventLog().records();
    ASSERT_FALSE(records.empty());
    EXPECT_EQ(records.front().eventId(), 1u) << kernel().eventLog().renderAll();
    for (const auto& record : records)
        EXPECT_NE(record.errorCode() >> 30, 3u) << kernel().eventLog().renderAll();
    ASSERT_TRUE(pnp().start(*Card("pci")).ok());
    EXPECT_EQ(Card("pci")->state, w2k::NodeState::Started);
}

// The log lines of the power requests from `from` on.
std::vector<std::string> PowerLines(const std::vector<std::string>& log, size_t from) {
    std::vector<std::string> out;
    for (size_t i = from; i < log.size(); ++i)
        if (log[i].find("power") != std::string::npos)
            out.push_back(log[i]);
    return out;
}

TEST_F(W2kTest, ChildrenGoDownBeforeTheirCardAndComeUpAfterIt) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::DeviceNode* card = Card("pcmcia");
    const std::string id = nt::toUtf8(card->deviceId);
    const std::string c1 = "Ports\\QuorvelPcmciaPort11", c2 = "Ports\\QuorvelPcmciaPort12";

    auto send = [&](ULONG state) {
        size_t from = pnp().requestLog().size();
        auto request = kernel().io().issueSystem(card->pdo, IRP_MJ_POWER, STATUS_NOT_SUPPORTED,
                                                 [&](IO_STACK_LOCATION& s) {
                                                     s.MinorFunction = IRP_MN_SET_POWER;
                                                     s.Parameters.Power.Type = DevicePowerState;
                                                     s.Parameters.Power.State = state;
                                                 });
        EXPECT_TRUE(request->completed);
        EXPECT_EQ(request->status, STATUS_SUCCESS);
        return PowerLines(pnp().requestLog(), from);
    };
    // D0 to D3: the children's requests go out before the card's own request reaches its bus.
    EXPECT_EQ(send(PowerDeviceD3),
              (std::vector<std::string>{"requested set-power D3 " + c1, "requested set-power D3 " + c2,
                                        "bus set-power D3 " + id}));
    EXPECT_EQ(Record(card)->DevicePowerState, 4u);
    EXPECT_EQ(Port(card, 1)->DevicePowerState, 4u);
    // D3 to D0: only once the bus has the card up.
    EXPECT_EQ(send(PowerDeviceD0),
              (std::vector<std::string>{"bus set-power D0 " + id, "requested set-power D0 " + c1,
                                        "requested set-power D0 " + c2}));
    EXPECT_EQ(Record(card)->DevicePowerState, 1u);
    EXPECT_EQ(Port(card, 2)->DevicePowerState, 1u);
    EXPECT_EQ(pnp().powerIrpsWithoutStartNext(), 0u);

    // A child asked for a wait-wake does not support it.
    auto wake = kernel().io().issueSystem(Record(card)->apChildPdo[0], IRP_MJ_POWER, STATUS_NOT_SUPPORTED,
                                          [](IO_STACK_LOCATION& s) { s.MinorFunction = IRP_MN_WAIT_WAKE; });
    EXPECT_EQ(wake->status, STATUS_NOT_IMPLEMENTED);
}

TEST_F(W2kTest, TheMachineSleepsAndWakesInAScenario) {
    Boot();
    auto result = sim::RunScenario(*machine, "sleep\nstate isa:1\nwake\nstate isa:1\n", "s", false);
    ASSERT_TRUE(result.ok) << result.error << result.transcript;
    EXPECT_NE(result.transcript.find("sleep: 0x00000000"), std::string::npos);
    EXPECT_NE(result.transcript.find("state isa:1 (started, problem 0, D3"), std::string::npos)
        << result.transcript;
    EXPECT_NE(result.transcript.find("state isa:1 (started, problem 0, D0"), std::string::npos);
    nt::KernelScope in(kernel());
    EXPECT_EQ(Record(Card("isa"))->DevicePowerState, 1u);
    EXPECT_EQ(Port(Card("isa"), 4)->DevicePowerState, 1u);
}

TEST_F(W2kTest, ARemoveIsRefusedWhileAPagingFileIsOnAChild) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::DeviceNode* card = Card("pci");
    w2k::DeviceNode* child = Child(card, 1);
    pnp().usageNotification(*child, DeviceUsageTypePaging, true);
    EXPECT_EQ(Record(card)->ulPagingPathCount, 1u) << "the card lies in the file's path";
    EXPECT_EQ(Record(card)->ulUsageNotificationCount, 1u);
    w2k::PnpResult refused = pnp().remove(*card);
    EXPECT_FALSE(refused.ok());
    EXPECT_EQ(refused.vetoedBy, card);
    EXPECT_EQ(card->state, w2k::NodeState::Started);
    EXPECT_EQ(Record(card)->ulPnpState, 1u) << "the refusal leaves the card as it was";
    pnp().usageNotification(*child, DeviceUsageTypePaging, false);
    EXPECT_EQ(Record(card)->ulPagingPathCount, 0u);
    EXPECT_TRUE(pnp().remove(*card).ok());
}

// A filter above the card that reports a device of its own in the card's bus relations.
struct RelationsFilter {
    static NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
        auto* self = static_cast<RelationsFilter*>(device->DeviceExtension);
        PIO_STACK_LOCATION s = IoGetCurrentIrpStackLocation(irp);
        if (s->MinorFunction == IRP_MN_QUERY_DEVICE_RELATIONS &&
            s->Parameters.QueryDeviceRelations.Type == BusRelations && !irp->IoStatus.Information) {
            auto* relations = static_cast<PDEVICE_RELATIONS>(
                ExAllocatePoolWithTag(PagedPool, sizeof(DEVICE_RELATIONS), 'tliF'));
            relations->Count = 1;
            relations->Objects[0] = self->reported;
            ObReferenceObject(self->reported);
            irp->IoStatus.Information = reinterpret_cast<ULONG_PTR>(relations);
            irp->IoStatus.Status = STATUS_SUCCESS;
        }
        IoSkipCurrentIrpStackLocation(irp);
        return IoCallDriver(self->lower, irp);
    }
    PDEVICE_OBJECT reported = nullptr, lower = nullptr;
};

TEST_F(W2kTest, BusRelationsAddTheChildrenToWhatWasReportedBefore) {
    Boot();
    nt::KernelScope in(kernel());
    w2k::BusStandIn own(kernel(), u"Lower", u"LowerChild");
    pnp().addBus(own);
    w2k::BusDevice extra;
    extra.deviceId = u"LOWER\\EXTRA";
    extra.instanceId.assign(1, u'0');
    extra.rawDeviceOk = true;
    RelationsFilter filter;
    filter.reported = own.create(extra);
    DRIVER_OBJECT driver{};
    driver.Type = IO_TYPE_DRIVER;
    for (auto& f : driver.MajorFunction)
        f = RelationsFilter::Dispatch;
    PDEVICE_OBJECT top = nullptr;
    ASSERT_EQ(IoCreateDevice(&driver, 0, nullptr, FILE_DEVICE_UNKNOWN, 0, FALSE, &top), STATUS_SUCCESS);
    top->DeviceExtension = &filter;
    w2k::DeviceNode* card = Card("pci");
    filter.lower = IoAttachDeviceToDeviceStack(top, card->pdo);
    pnp().reenumerate(*card);
    ASSERT_EQ(card->children.size(), 6u);
    EXPECT_EQ(card->children[5]->pdo, filter.reported);
    auto position = std::find_if(card->children.begin(), card->children.end(),
                                 [&](const auto& c) { return c->pdo == filter.reported; });
    EXPECT_NE(position, card->children.end());
    EXPECT_EQ(card->children[5]->state, w2k::NodeState::Started);
    IoDetachDevice(filter.lower);
    IoDeleteDevice(top);
    EXPECT_TRUE(pnp().remove(*card->children[5]).ok());
    EXPECT_TRUE(pnp().remove(*card).ok());
    own.destroy(filter.reported);
}

TEST_F(W2kTest, PullingAStartedCardOrRemovingOneFreesEverythingOfIt) {
    Boot();
    {
        nt::KernelScope in(kernel());
        // A program holds the PC Card open through its interface while it is pulled.
        const w2k::DeviceInterface* entry = nullptr;
        for (const auto& e : pnp().interfaces())
            if (e->node == Card("pcmcia"))
                entry = e.get();
        ASSERT_TRUE(entry);
        std::unique_ptr<nt::UserFile> file;
        ASSERT_EQ(nt::UserFile::open(kernel(), "\\\\?\\" + nt::toUtf8(entry->symbolicLink.substr(4)), file),
                  STATUS_SUCCESS);
        std::string error;
        ASSERT_TRUE(machine->pnp()->pull(0, error)) << error;
        w2k::DeviceNode* pulled = nullptr;
        for (w2k::DeviceNode* n : pnp().nodes())
            if (nt::toUtf8(n->deviceId).rfind("PCMCIA\\", 0) == 0)
                pulled = n;
        ASSERT_TRUE(pulled);
        EXPECT_EQ(pulled->state, w2k::NodeState::SurpriseRemoved) << "the removal waits for the handle";
        EXPECT_EQ(Record(pulled)->ulPnpState, 6u);
        file->close();
        for (w2k::DeviceNode* n : pnp().nodes())
            EXPECT_NE(nt::toUtf8(n->deviceId).rfind("PCMCIA\\", 0), 0u) << "gone once the handle closed";
        EXPECT_TRUE(kernel().services().running("CvInstal")) << "two cards are left";
        EXPECT_TRUE(pnp().remove(*Card("pci")).ok());
        EXPECT_TRUE(pnp().remove(*Card("isa")).ok());
    }
    nt::KernelScope in(kernel());
    ExpectNothingLeft();
}

// Fails each allocation of the driver entry in turn: the entry refuses cleanly (or does without what it
// did not get), and nothing stands in the way of the next load.
TEST(W2kLowResources, EveryAllocationOfTheDriverEntryMayFail) {
    for (uint64_t n = 1;; ++n) {
        auto machine = MakeMachine();
        nt::Kernel& kernel = machine->kernel();
        nt::KernelScope in(kernel);
        kernel.pool().failNth(n, "CvInstal");
        uint32_t error = kernel.services().start("CvInstal");
        bool failed = kernel.pool().failedCount() > 0;
        kernel.pool().clearFailures();
        if (error == 0) {
            EXPECT_EQ(kernel.services().stop("CvInstal"), 0u);
        } else {
            EXPECT_FALSE(kernel.services().running("CvInstal")) << "allocation " << n;
        }
        EXPECT_EQ(kernel.pool().liveCount("CvInstal"), 0u) << "allocation " << n << "\n"
                                                           << kernel.pool().leakReport("CvInstal");
        EXPECT_EQ(kernel.services().start("CvInstal"), 0u) << "allocation " << n;
        EXPECT_EQ(kernel.services().stop("CvInstal"), 0u);
        if (!failed) {
            EXPECT_GT(n, 3u) << "the entry allocates";
            break;
        }
    }
}

// Fails each allocation of a card's add-device and start in turn: the start fails, the failed stack is
// removed and leaves nothing (pool, children, interface); the next start works.
TEST(W2kLowResources, EveryAllocationOfACardStartMayFail) {
    for (const char* bus : {"pci", "isa", "pcmcia"}) {
        for (uint64_t n = 1;; ++n) {
            auto machine = MakeMachine();
            nt::Kernel& kernel = machine->kernel();
            nt::KernelScope in(kernel);
            w2k::PnpManager& pnp = machine->pnp()->manager();
            // The other cards stay started and keep CvInstal loaded: the sweep reaches only this card's
            // add-device and start.
            machine->boot();
            w2k::DeviceNode* card = machine->pnp()->cardNode(bus, 1);
            ASSERT_TRUE(pnp.stop(*card).ok());
            ASSERT_TRUE(pnp.remove(*card, true).ok());
            size_t live = kernel.pool().liveCount("CvInstal");
            kernel.pool().failNth(n, "CvInstal");
            pnp.start(*card);
            bool failed = kernel.pool().failedCount() > 0;
            kernel.pool().clearFailures();
            if (!failed) {
                EXPECT_EQ(card->state, w2k::NodeState::Started) << bus;
                break;
            }
            if (card->state == w2k::NodeState::Started)
                continue; // the failure hit something the start may do without (the interface)
            EXPECT_NE(card->problem, w2k::kProblemNone) << bus << " allocation " << n;
            EXPECT_FALSE(card->driverAdded) << "the failed stack was removed";
            for (const auto& child : card->children)
                EXPECT_EQ(child->pdo, nullptr) << bus << " allocation " << n;
            for (const auto& entry : pnp.interfaces())
                EXPECT_FALSE(entry->node == card && entry->enabled) << bus << " allocation " << n;
            EXPECT_EQ(kernel.pool().liveCount("CvInstal"), live) << bus << " allocation " << n << "\n"
                                                                 << kernel.pool().leakReport("CvInstal");
            // And the card starts once memory is there again.
            EXPECT_TRUE(pnp.start(*card).ok()) << bus << " allocation " << n;
        }
    }
}

TEST(W2kMainJob, BootsShowsRemovesAndLeavesTheMachineAsItWas) {
    sim::Machine machine(sim::MachineSpec::builtInWindows2000());
    std::string report;
    EXPECT_EQ(sim::runMainJob(machine, sim::TrafficCheck{}, report), 0) << report;
    for (const char* line :
         {"CvInstal loaded; 3 card(s), 3 started, 11 child device(s)",
          "This service has been started successfully.", "Communications Port 4  [Ports\\QuorvelPciPort064",
          "Parallel Port 1  [Ports\\QuorvelPciPort065", "\"Enable_HardwareAccess\"=dword:00000001",
          "{4855010F-0C01-4120-B4AA-8E932B23814E} enabled", "CvInstal unloaded",
          "the machine is as it was before the boot"})
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
}

TEST(W2kMachineFile, TheBuiltInMachineAndItsExampleAgree) {
    sim::MachineSpec builtIn = sim::MachineSpec::builtInWindows2000();
    std::string text = sim::DescribeMachine(builtIn);
    auto read = sim::ParseMachineText(text, "built-in");
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(sim::DescribeMachine(read.spec), text);
    std::ifstream file(std::string(CV_SOURCE_DIR) + "/examples/w2k.machine");
    std::stringstream example;
    example << file.rdbuf();
    auto parsed = sim::ParseMachineText(example.str(), "w2k.machine");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    EXPECT_EQ(sim::DescribeMachine(parsed.spec), text);
    std::ifstream reg(std::string(CV_SOURCE_DIR) + "/examples/w2k.reg");
    std::stringstream regText;
    regText << reg.rdbuf();
    EXPECT_EQ(regText.str(), builtIn.registryText);
}

TEST(W2kMachineFile, MistakesAreRefusedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"system windows-95\n", "t:1: \"system\" takes nt4 or windows-2000"},
        {"pcmcia-card hardware-id=X uart=16550 ports=2 clock=1843200 io=240 irq=10\n",
         "t:1: a \"pcmcia-card\" needs \"system windows-2000\""},
        {"system windows-2000\npcmcia-card uart=16550 ports=2 clock=1843200 io=240 irq=10\n",
         "t:2: \"pcmcia-card\" needs hardware-id="},
        {"system windows-2000\npcmcia-card hardware-id=X uart=16550 ports=4 clock=1 io=240 length=10 "
         "irq=10\n",
         "t:2: length= leaves no room"},
        {"isa-card clock=1843200\nisa-resource irq=5\n",
         "t:2: \"isa-resource\" belongs to an \"isa-card\" line"},
        {"isa-card clock=1843200 hardware-id=Q\nisa-resource io=300 irq=5\n",
         "t:2: an \"isa-resource\" is either"},
        {"isa-card clock=1843200 hardware-id=Q\nisa-resource io=FFF0 length=20\n", "t:2: length=20 is not"},
        {"isa-card clock=1843200 clok=5\n", "t:1: \"isa-card\" has no field clok="},
        {"isa-card clock=1843200 hardware-id=A,B\n", "t:1: hardware-id=A,B is not a hardware ID"},
        {"pci-card bus=0 device=1 id=20 uart=16C950 ports=4 clock=1 uart-window=E000 bridge-io=EC00 irq=11 "
         "uart-memory=FEB00800\n",
         "t:1: bridge-memory= must lie on a 128-byte and uart-memory= on a 4096-byte boundary"},
    };
    for (auto [text, message] : cases) {
        auto read = sim::ParseMachineText(text, "t");
        EXPECT_FALSE(read.ok) << text;
        EXPECT_EQ(read.error.rfind(message, 0), 0u) << read.error;
    }
}

TEST(W2kScenario, TheExampleRunsAndCommandsNeedAWindows2000Machine) {
    std::ifstream file(std::string(CV_SOURCE_DIR) + "/examples/w2k.scenario");
    std::stringstream text;
    text << file.rdbuf();
    sim::Machine machine(sim::MachineSpec::builtInWindows2000());
    auto result = sim::RunScenario(machine, text.str(), "w2k.scenario", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    for (const char* line :
         {"open-card pcmcia:1: 0x00000000", "state isa:1 (stopped", "state pci:1 (started, problem 0, D3",
          "insert 1", "state pcmcia:1 (started, problem 0, D0, 2 child node(s))"})
        EXPECT_NE(result.transcript.find(line), std::string::npos) << line << "\n" << result.transcript;

    sim::Machine nt4(sim::MachineSpec::builtInDefault());
    auto refused = sim::RunScenario(nt4, "sleep\n", "s", false);
    EXPECT_EQ(refused.error, "s:1: \"sleep\" needs a Windows 2000 machine (\"system windows-2000\")");
    auto unknownCard = sim::RunScenario(machine, "state pci:7\n", "s", false);
    EXPECT_EQ(unknownCard.error, "s:1: the machine has no pci:7");
    auto badSocket = sim::RunScenario(machine, "pull 0\n", "s", false);
    EXPECT_EQ(badSocket.error, "s:1: \"0\" is not a socket number (1, 2, ...)");
}

} // namespace
