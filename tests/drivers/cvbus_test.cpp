// PCI discovery on machines with chosen buses and cards: the scan, family matching of templates, card
// and port objects, and attaching the installed-card records.
#include "config_fixture.h"

#include <algorithm>

namespace {

TEST_F(BusTest, TheScanListsEveryAnsweringFunctionAndEndsAtTheFirstMissingBus) {
    kernel.pci().addBus(0);
    Plug(1, 4, 0, 0x0029);
    Plug(0, 7, 1, 0x0020);
    Plug(0, 2, 0, 0x9999); // not a Corvane card: listed all the same
    Plug(3, 0, 0, 0x0020); // behind the missing bus 2
    Load("");
    functions = NewList();
    ASSERT_EQ(FindDevicesOnPciBus(functions), STATUS_SUCCESS);
    auto found = Functions();
    ASSERT_EQ(found.size(), 3u);
    EXPECT_EQ(found[0]->unDeviceID, 0x9999);
    EXPECT_EQ(found[1]->ucDeviceNumber, 7);
    EXPECT_EQ(found[1]->ucFunctionNumber, 1);
    EXPECT_EQ(found[2]->ulBusNumber, 1u);
    EXPECT_EQ(found[2]->unVendorID, 0x10B5);
    EXPECT_EQ(Messages()[2], "A card with the Device ID 29 and Vendor ID 10B5 was found on the PCI Bus.");

    // A machine without PCI: nothing, and no hang.
    hw::PciBuses none;
    std::swap(kernel.pci(), none);
    DeleteList(functions, sizeof(PciDeviceStruct));
    functions = NewList();
    EXPECT_EQ(FindDevicesOnPciBus(functions), STATUS_SUCCESS);
    EXPECT_TRUE(Functions().empty());
    std::swap(kernel.pci(), none);
}

TEST_F(BusTest, AmongMatchingTemplatesTheOneReadLastWins) {
    Plug(0, 3, 0, 0x0029);
    ASSERT_EQ(ScanAndMatch(TemplateKey(1, 0x20) + TemplateKey(2, 0x28)), STATUS_SUCCESS);
    ASSERT_EQ(Functions().size(), 1u);
    EXPECT_EQ(Functions()[0]->pTemplatesCardStruct->DeviceID, 0x28u);
    EXPECT_EQ(Messages().back(),
              "A match for the card with the Device ID 29 was found in the Templates information. "
              "The device will be supported by the Template with the Device ID 28.");
}

TEST_F(BusTest, TheSameTemplatesInTheOtherOrderChooseTheLowerOne) {
    Plug(0, 3, 0, 0x0029);
    ASSERT_EQ(ScanAndMatch(TemplateKey(1, 0x28) + TemplateKey(2, 0x20)), STATUS_SUCCESS);
    EXPECT_EQ(Functions()[0]->pTemplatesCardStruct->DeviceID, 0x20u);
}

TEST_F(BusTest, ATemplateCoversItsOwnFamilyOnly) {
    Plug(0, 1, 0, 0x002F);
    Plug(0, 2, 0, 0x0040);
    Plug(0, 3, 0, 0x0030);
    Plug(0, 4, 0, 0x003F);
    ASSERT_EQ(ScanAndMatch(TemplateKey(1, 0x30)), STATUS_SUCCESS);
    auto matched = Functions();
    ASSERT_EQ(matched.size(), 2u) << "0x2F lies below the template, 0x40 in the next family";
    EXPECT_EQ(matched[0]->unDeviceID, 0x30);
    EXPECT_EQ(matched[1]->unDeviceID, 0x3F);
    auto messages = Messages();
    EXPECT_NE(std::find(messages.begin(), messages.end(),
                        "A match for the card with the Device ID 30 was found in the Templates information."),
              messages.end());
}

TEST_F(BusTest, NothingToMatch) {
    Plug(0, 1, 0, 0x0040);
    EXPECT_EQ(ScanAndMatch(TemplateKey(1, 0x20)), STATUS_NOT_FOUND);
    EXPECT_EQ(Messages().back(),
              "No device on the PCI Bus can be supported. No matching Templates information could be found.");
    EXPECT_TRUE(Functions().empty());
    EXPECT_EQ(MatchPciDevicesWithTemplates(functions, pci.pTemplatesCardList), STATUS_NOT_FOUND)
        << "an empty function list";

    Plug(0, 2, 0, 0x0020);
    ASSERT_EQ(FindDevicesOnPciBus(functions), STATUS_SUCCESS);
    DeleteRegistrySettings(&pci, &isa);
    pci.pTemplatesCardList = CvCreateTemplatesCardList();
    EXPECT_EQ(MatchPciDevicesWithTemplates(functions, pci.pTemplatesCardList), CV_STATUS_SEVERE)
        << "functions on the bus and no template at all";
}

TEST_F(BusTest, TwoIdenticalCardsGetTheirOwnObjectsAndTheirOwnRecords) {
    Plug(0, 9, 0, 0x0021, 0xD000);
    Plug(0, 4, 1, 0x0021, 0xD800);
    std::string body = TemplateKey(1, 0x20) + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nBus"=dword:0
"nSlot"=dword:00000009
"PlxBaudClockDivisor"=dword:4
[S\Parameters\Bus5\Card1\ComPort1]
"nCom"=dword:9
[S\Parameters\Bus5\Card1\ComPort2]
"nCom"=dword:a
"UartType"=dword:5
"Duplexoperation"=dword:1
[S\Parameters\Bus5\Card2]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nBus"=dword:0
"nSlot"=dword:00000024
[S\Parameters\Bus5\Card2\ComPort1]
"nCom"=dword:5
)";
    ASSERT_EQ(ScanAndMatch(body), STATUS_SUCCESS);
    ASSERT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_SUCCESS);
    auto nodes = Ports();
    ASSERT_EQ(nodes.size(), 8u);
    CCvCard* first = nodes[0]->pClass->pParentCard;
    CCvCard* second = nodes[4]->pClass->pParentCard;
    ASSERT_NE(first, second);
    EXPECT_EQ(first->ucDeviceNumber, 4) << "scan order: device 4 before device 9";
    EXPECT_EQ(first->ucFunctionNumber, 1);
    EXPECT_EQ(first->m_ulBusRelativeBaseAddress, 0xD800u);
    EXPECT_EQ(second->m_ulBusRelativeBaseAddress, 0xD000u);
    EXPECT_EQ(first->ulDeviceID, 0x21u) << "the function's own identifier";
    EXPECT_EQ(first->ulVendorID, 0x10B5u);
    EXPECT_EQ(first->m_ucPlxBaudClockType, 1);
    EXPECT_EQ(first->m_unPlxBaudClockOffset, 0x50);
    EXPECT_EQ(first->m_ucBusRelativeInterruptLine, 10);
    for (unsigned i = 0; i < 8; ++i) {
        CCvDevice* port = nodes[i]->pClass;
        EXPECT_EQ(port->m_unPortOnCardNumber, i % 4 + 1);
        EXPECT_EQ(port->pParentCard->apDevice[i % 4], port);
        EXPECT_EQ(port->m_ucBusType, 5);
        EXPECT_EQ(port->m_ucCtsTrue, 8);
        EXPECT_EQ(port->m_ucDuplexOperation, 3);
        EXPECT_EQ(CvIsFirstPortOfCard(nodes[i]), i % 4 == 0);
    }

    kernel.eventLog().clear();
    ASSERT_EQ(MatchPciCCvDevicesWithParameters(ports, pci.pParametersCardList), STATUS_SUCCESS);
    // The card in slot 0x24 (device 4, function 1) has Card2's record: one port record.
    EXPECT_EQ(nodes[0]->pClass->m_ulForcedComNumber, 5u);
    EXPECT_EQ(Text(first->m_uniPathToCard), kServiceKeyPath + "\\Parameters\\Bus5\\Card2");
    EXPECT_EQ(first->m_unPlxBaudClockDivisor, 1) << "Card2 gives no divisor: the template's stays";
    for (unsigned i = 1; i < 4; ++i) {
        EXPECT_EQ(nodes[i]->pClass->m_ulForcedComNumber, 0u) << "no port record: automatic";
        EXPECT_EQ(nodes[i]->pClass->m_uniPathToPort.Buffer, nullptr);
        EXPECT_EQ(nodes[i]->pAssociatedParametersCardPortStruct, nullptr);
    }
    // The card in slot 9 has Card1's: two port records and a divisor.
    EXPECT_EQ(second->m_unPlxBaudClockDivisor, 4);
    EXPECT_EQ(nodes[4]->pClass->m_ulForcedComNumber, 9u);
    EXPECT_EQ(nodes[5]->pClass->m_ulForcedComNumber, 10u);
    EXPECT_EQ(nodes[5]->pClass->m_ulUartType, 5u);
    EXPECT_EQ(nodes[5]->pClass->m_ucDuplexOperation, 1);
    EXPECT_EQ(nodes[5]->pClass->m_ucCtsTrue, 8) << "not given: the template's";
    EXPECT_EQ(Text(nodes[5]->pClass->m_uniPathToPort),
              kServiceKeyPath + "\\Parameters\\Bus5\\Card1\\ComPort2");
    EXPECT_EQ(nodes[6]->pClass->m_ulForcedComNumber, 0u);
    auto messages = Messages();
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "A match was found under the Parameters key for the device with the ID 21."),
              3);
    EXPECT_EQ(std::count(messages.begin(), messages.end(),
                         "No match was found under the Parameters key for the device with the ID 21."),
              5);
}

TEST_F(BusTest, AMemoryWindowOrAVanishedFunctionStopsTheWholePciList) {
    Plug(0, 1, 0, 0x0020);
    Plug(0, 2, 0, 0x0020, 0xD000, /*memory=*/true);
    ASSERT_EQ(ScanAndMatch(TemplateKey(1, 0x20)), STATUS_SUCCESS);
    size_t before = kernel.pool().liveCount("CvNt");
    kernel.eventLog().clear();
    EXPECT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_UNSUCCESSFUL);
    EXPECT_TRUE(Ports().empty()) << "the first card's ports go too";
    EXPECT_EQ(kernel.pool().liveCount("CvNt"), before) << "with their objects";
    EXPECT_EQ(Messages().back(),
              "A memory mapped base address was found on the device with the ID 20 where a port "
              "space address was expected.");

    kernel.pci().unplug(0, 2, 0);
    kernel.eventLog().clear();
    EXPECT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_UNSUCCESSFUL) << "the scan still lists it";
    EXPECT_TRUE(Ports().empty());
    EXPECT_EQ(Messages().back(),
              "The information obtained from the PCI Bus on a previous iteration does not match "
              "the information found on this iteration.");
}

TEST_F(BusTest, AnAllocationFailureWhileBuildingLeavesNoObjectBehind) {
    Plug(0, 1, 0, 0x0020);
    Plug(0, 2, 0, 0x0020);
    ASSERT_EQ(ScanAndMatch(TemplateKey(1, 0x20)), STATUS_SUCCESS);
    const size_t before = kernel.pool().liveCount("CvNt");
    const uint64_t start = kernel.pool().allocationCount();
    ASSERT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_SUCCESS);
    const uint64_t perBuild = kernel.pool().allocationCount() - start;
    DropPorts();
    ports->DeleteAllNodes(sizeof(CCvDeviceStruct));
    ASSERT_EQ(kernel.pool().liveCount("CvNt"), before);
    int severe = 0;
    for (uint64_t n = 1; n <= perBuild; ++n) {
        kernel.pool().failNth(n, "CvNt");
        NTSTATUS status = BuildPciCCvDeviceList(functions, ports);
        kernel.pool().clearFailures();
        if (status == STATUS_SUCCESS) {
            // The allocator absorbed this one (a bookkeeping page of its own): the list is whole.
            EXPECT_EQ(Ports().size(), 8u);
            DropPorts();
            ports->DeleteAllNodes(sizeof(CCvDeviceStruct));
        } else {
            ++severe;
            EXPECT_EQ(status, CV_STATUS_SEVERE) << "allocation " << n;
            EXPECT_TRUE(Ports().empty());
        }
        ASSERT_EQ(kernel.pool().liveCount("CvNt"), before) << "allocation " << n;
    }
    EXPECT_GE(severe, 10) << "two cards, eight ports, eight nodes";
}

} // namespace
