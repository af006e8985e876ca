// CvInstal's routines on their own: the hardware-ID and location parsers, picking a resource, reading
// and validating the registry tree with its messages, matching a card to its template and parameters,
// the settings-update lock and the removal of the old service.
#include "driver_fixture.h"

#include "CvInstal.h"
#include "CvLinkedList.h"
#include "cvinstalmsg.h"
#include "platform/nt/resources.h"

#include <memory>
#include <new>
#include <string>
#include <vector>

extern "C" const MESSAGE_TABLE CvInstalMessageTable;

namespace {

const std::string kServicePath = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvInstal";
const std::string kRegService = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvInstal";

// The parsers and the resource picker on a running machine (the parsers build strings).
class CvInstalParsing : public DriverTest {};

TEST_F(CvInstalParsing, PciIdentifiersComeFromTheHardwareId) {
    USHORT vendor = 0, device = 0;
    ULONG subsystem = 0;
    auto parse = [&](const std::u16string& id) {
        return GetPciIDsFromHardwareID(id.c_str(), static_cast<ULONG>(id.size()), &vendor, &device,
                                       &subsystem);
    };
    ASSERT_EQ(parse(u"PCI\\VEN_10B5&DEV_9050&SUBSYS_045010b5&REV_01"), STATUS_SUCCESS);
    EXPECT_EQ(vendor, 0x10B5);
    EXPECT_EQ(device, 0x9050);
    EXPECT_EQ(subsystem, 0x045010B5u);
    for (const char16_t* bad :
         {u"PCI_VEN_10B5&DEV_9050&SUBSYS_045010B5", u"PCI\\VEN_10B5&DEV_9050",
          u"PCI\\VEN_10B5&DEV_9050&REV_01", u"PCI\\VEN_10G5&DEV_9050&SUBSYS_045010B5",
          u"PCI\\VEN_10B5&DEV_9050&SUBSYS_0450", u"PCI\\DEV_9050&VEN_10B5&SUBSYS_045010B5", u"PCI\\", u""})
        EXPECT_EQ(parse(bad), STATUS_UNSUCCESSFUL) << nt::toUtf8(bad);
    // The counted length bounds the parse even when the text runs on.
    std::u16string whole = u"PCI\\VEN_10B5&DEV_9050&SUBSYS_045010B5";
    EXPECT_EQ(GetPciIDsFromHardwareID(whole.c_str(), static_cast<ULONG>(whole.size() - 1), &vendor, &device,
                                      &subsystem),
              STATUS_UNSUCCESSFUL);
}

TEST_F(CvInstalParsing, BusAndSlotComeFromTheLocation) {
    ULONG bus = 0;
    PCI_SLOT_NUMBER slot{};
    auto parse = [&](const std::u16string& text) {
        return GetBusAndSlotNumberFromLocationInformation(text.c_str(), static_cast<ULONG>(text.size()), &bus,
                                                          &slot);
    };
    ASSERT_EQ(parse(u"PCI bus 1, device 10, function 2"), STATUS_SUCCESS);
    EXPECT_EQ(bus, 1u);
    EXPECT_EQ(slot.u.AsULONG, 0x4Au) << "device in bits 0-4, function in bits 5-7";
    ASSERT_EQ(parse(u"PCI bus 255, device 31, function 7"), STATUS_SUCCESS);
    EXPECT_EQ(slot.u.AsULONG, 0xFFu);
    for (const char16_t* bad :
         {u"PCI bus 1, device 10", u"PCI bus 0, device 32, function 0", u"PCI bus 0, device 1, function 8",
          u"PCI bus 99999999999, device 1, function 1", u""})
        EXPECT_EQ(parse(bad), STATUS_UNSUCCESSFUL) << nt::toUtf8(bad);
}

TEST_F(CvInstalParsing, ADescriptorIsPickedByTypeFlagsAndIndex) {
    nt::ResourceClaim claim;
    claim.interfaceType = PCIBus;
    auto port = [](ULONG start, ULONG length, USHORT flags) {
        CM_PARTIAL_RESOURCE_DESCRIPTOR d{};
        d.Type = CmResourceTypePort;
        d.Flags = flags;
        d.u.Port.Start.QuadPart = start;
        d.u.Port.Length = length;
        return d;
    };
    CM_PARTIAL_RESOURCE_DESCRIPTOR irq{};
    irq.Type = CmResourceTypeInterrupt;
    irq.u.Interrupt.Level = 9;
    irq.u.Interrupt.Vector = 0x39;
    irq.u.Interrupt.Affinity = 1;
    claim.resources = {port(0xEC00, 0x80, CM_RESOURCE_PORT_IO), irq, port(0xD000, 8, CM_RESOURCE_PORT_MEMORY),
                       port(0xE000, 0x20, CM_RESOURCE_PORT_IO)};
    auto bytes = nt::ResourceArbiter::resourceList(claim);
    auto* list = reinterpret_cast<PCM_RESOURCE_LIST>(bytes.data());
    ULONG a = 0, b = 0, c = 0;
    ASSERT_EQ(QueryResources(list, CmResourceTypePort, CM_RESOURCE_PORT_IO, 2, &a, &b, &c), STATUS_SUCCESS);
    EXPECT_EQ(a, 0xE000u) << "the range without the I/O flag does not count";
    EXPECT_EQ(c, 0x20u);
    ASSERT_EQ(QueryResources(list, CmResourceTypeInterrupt, 0, 1, &a, &b, &c), STATUS_SUCCESS);
    EXPECT_EQ(a, 9u);
    EXPECT_EQ(b, 0x39u);
    EXPECT_EQ(c, 1u);
    EXPECT_EQ(QueryResources(list, CmResourceTypePort, CM_RESOURCE_PORT_IO, 3, &a, &b, &c),
              STATUS_UNSUCCESSFUL);
    EXPECT_EQ(QueryResources(list, CmResourceTypeMemory, 0, 1, &a, &b, &c), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(QueryResources(nullptr, CmResourceTypePort, 0, 1, &a, &b, &c), STATUS_UNSUCCESSFUL);
    list->Count = 2;
    EXPECT_EQ(QueryResources(list, CmResourceTypePort, 0, 1, &a, &b, &c), STATUS_UNSUCCESSFUL)
        << "exactly one full descriptor";
}

// The registry tree of CvInstal as .reg text under its service key ("[S\...]").
class InstalRegistryTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvInstal");
        driver.Type = IO_TYPE_DRIVER;
        path16 = nt::toUtf16(kServicePath);
        RtlInitUnicodeString(&uniGlobalRegistryPath, path16.c_str());
        kernel.eventLog().registerMessageFile("CvInstal.sys", CvInstalMessageTable);
    }
    void TearDown() override {
        DeleteRegistrySettings();
        RtlZeroMemory(&uniGlobalRegistryPath, sizeof uniGlobalRegistryPath);
        DriverTest::TearDown();
    }

    NTSTATUS Read(const std::string& body) {
        std::string text =
            "Windows Registry Editor Version 5.00\n\n[" + kRegService + "]\n\"LogLevel\"=dword:3\n";
        std::string expanded = body;
        for (size_t at = 0; (at = expanded.find("[S", at)) != std::string::npos; at += kRegService.size())
            expanded.replace(at, 2, "[" + kRegService);
        auto loaded = kernel.registry().loadText(text + expanded, "test.reg");
        EXPECT_TRUE(loaded) << loaded.error;
        ULONG level = 0;
        EXPECT_EQ(RegisterEventLogging(&driver, &uniGlobalRegistryPath, &level), STATUS_SUCCESS);
        kernel.eventLog().clear();
        return GetRegistrySettings(&uniGlobalRegistryPath);
    }

    std::vector<std::string> Messages() {
        std::vector<std::string> out;
        for (const auto& record : kernel.eventLog().records()) {
            std::string line = kernel.eventLog().render(record).substr(46);
            line.erase(0, line.find_first_not_of(' '));
            while (!line.empty() && (line.back() == '\n' || line.back() == '\r' || line.back() == ' '))
                line.pop_back();
            out.push_back(line);
        }
        return out;
    }

    template <typename Record>
    static std::vector<Record*> Records(CCvLinkedList* list) {
        std::vector<Record*> out;
        for (PVOID p = list ? list->m_pvStartStruct : nullptr; p;
             p = CCvLinkedList::NextOf(p, sizeof(Record)))
            out.push_back(static_cast<Record*>(p));
        return out;
    }

    static std::string Text(const UNICODE_STRING& s) {
        return s.Buffer ? nt::toUtf8(std::u16string(s.Buffer, s.Length / 2)) : std::string();
    }

    // A PCI card as a start would have identified it (a record of the image's own allocator).
    struct CardRelease {
        void operator()(CCvCard* card) const {
            card->~CCvCard();
            CvImageFree(card);
        }
    };
    using CardPtr = std::unique_ptr<CCvCard, CardRelease>;
    static CardPtr PciCard(USHORT device, ULONG bus = 0, ULONG slot = 4) {
        CardPtr card(new (CvImageAllocate(NonPagedPool, sizeof(CCvCard))) CCvCard);
        card->unVendorID = 0x10B5;
        card->unDeviceID = device;
        card->ulBusNumber = bus;
        card->SlotNumber.u.AsULONG = slot;
        card->ulBusType = PCIBus;
        return card;
    }

    std::u16string path16;
    DRIVER_OBJECT driver{};
};

std::string PciTemplate(int n, const char* device, const char* extra = "") {
    return std::string("[S\\Templates\\Bus5\\Card") + std::to_string(n) + R"(]
"VendorID"=dword:000010b5
"DeviceID"=dword:)" +
           device + R"(
"SubsysID"=dword:00011234
"ClockFrequency"=dword:00e10000
"nComPorts"=dword:4
"nLptPorts"=dword:0
"Description"="Template )" +
           std::to_string(n) + R"("
"ComBaseAddressAlignment"=dword:8
)" + extra +
           "\n";
}

TEST_F(InstalRegistryTest, ATemplateServesTheFamilyMembersAtOrAboveItsDeviceId) {
    ASSERT_EQ(Read(PciTemplate(1, "00000120") + PciTemplate(2, "00000124")), STATUS_SUCCESS);
    CardPtr card = PciCard(0x0123);
    PTemplatesCardPciStruct match = MatchPciDevicesWithTemplates(card.get(), TRUE);
    ASSERT_TRUE(match);
    EXPECT_EQ(match->DeviceID, 0x0120u) << "0x0124 is newer than the card";
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "A match for the card with the Device ID 123 was found in the Templates information. "
                  "The device will be supported by the Template with the Device ID 120."}));
    kernel.eventLog().clear();
    card->unDeviceID = 0x0124;
    EXPECT_EQ(MatchPciDevicesWithTemplates(card.get(), TRUE)->DeviceID, 0x0124u);
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "A match for the card with the Device ID 124 was found in the Templates information."}));
    card->unDeviceID = 0x0140; // another family
    EXPECT_EQ(MatchPciDevicesWithTemplates(card.get(), FALSE), nullptr);
    card->unDeviceID = 0x0123;
    card->unVendorID = 0x1234;
    EXPECT_EQ(MatchPciDevicesWithTemplates(card.get(), FALSE), nullptr);
}

TEST_F(InstalRegistryTest, OfTwoMatchingTemplatesTheOneReadLastWins) {
    ASSERT_EQ(Read(PciTemplate(1, "00000120") + PciTemplate(2, "00000120")), STATUS_SUCCESS);
    CardPtr card = PciCard(0x0120);
    EXPECT_EQ(Text(MatchPciDevicesWithTemplates(card.get(), FALSE)->Description), "Template 2");
}

TEST_F(InstalRegistryTest, InvalidTemplatesAreDroppedWithTheirMessage) {
    ASSERT_EQ(
        Read(
            PciTemplate(1, "00000120", "\"ComBaseAddressAlignment\"=dword:0") +
            PciTemplate(2, "00000000") + // no device ID
            PciTemplate(3, "00000130",
                        "\"nComPorts\"=dword:6\n\"nLptPorts\"=dword:3\n\"LptBaseAddressAlignment\"=dword:8") +
            PciTemplate(4, "00000140", "\"PlxBaudClockType\"=dword:1\n\"PlxBaudClockDivisor\"=dword:1") +
            PciTemplate(5, "00000150",
                        "\"UartType\"=dword:6\n\"PlxBaudClockType\"=dword:2\n"
                        "\"PlxBaudClockDivisor\"=dword:1\n\"PlxBaudClockOffset\"=dword:50\n"
                        "\"MaximumBaudrate\"=dword:0001c200") +
            PciTemplate(7, "00000170")), // Card6 is missing: the list ends before it
        STATUS_SUCCESS);
    auto templates = Records<TemplatesCardPciStruct>(pPciTemplatesList);
    ASSERT_EQ(templates.size(), 1u);
    EXPECT_EQ(templates[0]->DeviceID, 0x0150u);
    EXPECT_EQ(templates[0]->UartType, 0u) << "6 is no UART type: detect";
    EXPECT_EQ(templates[0]->RxTriggerLevel, 100u);
    EXPECT_EQ(templates[0]->SoftTxLimit, 100u);
    EXPECT_EQ(templates[0]->TxTriggerLevel, 1u);
    EXPECT_EQ(templates[0]->ClockFrequencyAdjustment, 1u);
    const std::string invalid = "One or more values under the PCI Templates key with the Device ID ";
    const std::string tail =
        " are not existing or incorrect. Correct the values, or alternatively reinstall the driver.";
    EXPECT_EQ(Messages(), (std::vector<std::string>{invalid + "120" + tail,
                                                    "A Device ID value is missing under a Templates key.",
                                                    invalid + "130" + tail, invalid + "140" + tail}))
        << "no spacing for its ports; no device ID; more than 8 ports; a clock type without its offset "
           "and maximum rate";
}

TEST_F(InstalRegistryTest, IsaAndPcmciaTemplatesAreCompletedAndCheckedSilently) {
    ASSERT_EQ(Read(R"(
[S\Templates\Bus1\Card1]
"HardwareID"="QRV0104"
"ClockFrequency"=dword:001c2000
"nComPorts"=dword:4
"nLptPorts"=dword:0
"Description"="ISA"
"ComBaseAddressAlignment"=dword:8
[S\Templates\Bus1\Card2]
"HardwareID"="QRV0105"
"ClockFrequency"=dword:001c2000
"nComPorts"=dword:2
"Description"="ISA without nLptPorts"
"ComBaseAddressAlignment"=dword:8
[S\Templates\Bus8\Card1]
"HardwareID"="PCMCIA\\Corvane-Dual"
"ClockFrequency"=dword:001c2000
"nComPorts"=dword:2
"nLptPorts"=dword:0
"Description"="PC Card"
"ComBaseAddressAlignment"=dword:8
"PlxBaudClockType"=dword:3
[S\Templates\Bus8\Card2]
"HardwareID"="PCMCIA\\Corvane-Odd"
"ClockFrequency"=dword:001c2000
"nComPorts"=dword:2
"nLptPorts"=dword:0
"Description"="odd spacing"
"ComBaseAddressAlignment"=dword:6
)"),
              STATUS_SUCCESS);
    auto isa = Records<TemplatesCardIsaStruct>(pIsaTemplatesList);
    ASSERT_EQ(isa.size(), 1u);
    EXPECT_EQ(Text(isa[0]->HardwareID), "QRV0104");
    auto pcmcia = Records<TemplatesCardPcmciaStruct>(pPcmciaTemplatesList);
    ASSERT_EQ(pcmcia.size(), 1u) << "a spacing that puts ports on top of each other is refused";
    EXPECT_EQ(pcmcia[0]->DuplexOperation, 7u);
    EXPECT_EQ(pcmcia[0]->CtsTrue, 0u);
    EXPECT_EQ(pcmcia[0]->PlxBaudClockType, 0u) << "only 0, 5 and 7 are PC Card clock types";
    EXPECT_EQ(Messages(), (std::vector<std::string>{"The PCI Templates key does not exist."}));

    UNICODE_STRING id;
    RtlInitUnicodeString(&id, u"pcmcia\\CORVANE-dual");
    EXPECT_EQ(MatchPcmciaDevicesWithTemplates(&id), pcmcia[0]) << "PC Card IDs compare without case";
    RtlInitUnicodeString(&id, u"qrv0104");
    EXPECT_EQ(MatchIsaDevicesWithTemplates(&id), nullptr) << "ISA IDs compare exactly";
}

TEST_F(InstalRegistryTest, ParametersNeedTheirIdentityAndAtLeastOnePort) {
    ASSERT_EQ(Read(PciTemplate(1, "00000120") + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000123
"nBus"=dword:0
"nSlot"=dword:4
"AlwaysUsePortSpaceAccess"=dword:7
[S\Parameters\Bus5\Card1\ComPort1]
"UartType"=dword:6
[S\Parameters\Bus5\Card1\ComPort2]
"RxTriggerLevel"=dword:20
[S\Parameters\Bus5\Card2]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000123
"nBus"=dword:0
"nSlot"=dword:5
[S\Parameters\Bus5\Card3]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000123
"nSlot"=dword:6
[S\Parameters\Bus5\Card3\ComPort1]
[S\Parameters\Bus1\Card1]
"HardwareID"="QRV0104"
[S\Parameters\Bus1\Card1\ComPort1]
)"),
              STATUS_SUCCESS);
    auto pci = Records<ParametersCardPciStruct>(pPciParametersList);
    ASSERT_EQ(pci.size(), 1u) << "card 2 has no ComPort1, card 3 no nBus";
    EXPECT_EQ(pci[0]->nSlot, 4u);
    EXPECT_EQ(pci[0]->AlwaysUsePortSpaceAccess, 0u);
    auto ports = Records<ParametersCardPortPciStruct>(pci[0]->pPortList);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0]->UartType, 0u);
    EXPECT_EQ(ports[0]->RxTriggerLevel, CV_NOT_GIVEN);
    EXPECT_EQ(ports[1]->RxTriggerLevel, 0x20u);
    EXPECT_TRUE(Records<ParametersCardIsaStruct>(pIsaParametersList).empty()) << "no device reference";

    CardPtr card = PciCard(0x0123);
    EXPECT_EQ(MatchPciDevicesWithParameters(pPciParametersList, card.get()), pci[0]);
    EXPECT_EQ(MatchPciDevicesPortParameters(pci[0], 2), ports[1]);
    EXPECT_EQ(MatchPciDevicesPortParameters(pci[0], 3), nullptr);
    EXPECT_EQ(MatchPciDevicesPortParameters(pci[0], 0), nullptr);
    card->SlotNumber.u.AsULONG = 5;
    EXPECT_EQ(MatchPciDevicesWithParameters(pPciParametersList, card.get()), nullptr);
}

// An update that fails gives its bus free again and keeps the parameters it had.
TEST_F(InstalRegistryTest, AFailedUpdateKeepsTheOldParametersAndFreesItsBus) {
    ASSERT_EQ(Read(PciTemplate(1, "00000120") + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000123
"nBus"=dword:0
"nSlot"=dword:4
[S\Parameters\Bus5\Card1\ComPort1]
)"),
              STATUS_SUCCESS);
    CCvLinkedList* before = pPciParametersList;
    CardPtr card = PciCard(0x0140); // no template for it
    EXPECT_EQ(UpdatePciCard(card.get()), STATUS_UNSUCCESSFUL);
    EXPECT_EQ(pPciParametersList, before);
    EXPECT_EQ(KeReadStateEvent(&aBusUpdateLock[CV_BUS_PCI]), 1) << "the lock is free again";
    kernel.registry().removeTree(kServicePath + "\\Parameters\\Bus5");
    card->unDeviceID = 0x0123;
    EXPECT_EQ(UpdatePciCard(card.get()), STATUS_UNSUCCESSFUL) << "the Parameters key must exist";
    EXPECT_EQ(pPciParametersList, before);
    EXPECT_EQ(KeReadStateEvent(&aBusUpdateLock[CV_BUS_PCI]), 1);
}

TEST_F(DriverTest, TheOldServiceIsDeletedAndTheLoadRefused) {
    ASSERT_TRUE(kernel.registry().loadText(R"(Windows Registry Editor Version 5.00

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card1\ComPort1]
"nCom"=dword:5
)",
                                           "old.reg"));
    EXPECT_EQ(CheckAndDeleteCvNt(), STATUS_UNSUCCESSFUL) << "even a successful deletion refuses this load";
    EXPECT_FALSE(kernel.registry().exists("\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt"));
    EXPECT_EQ(CheckAndDeleteCvNt(), STATUS_SUCCESS);
}

} // namespace
