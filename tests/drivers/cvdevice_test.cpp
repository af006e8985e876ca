// Start-up initialisation of the ports of a list, and the tear-down of a whole list or of one card.
#include "config_fixture.h"

#include "CvEngine.h"
#include "CvUart.h"

#include <algorithm>

namespace {

const std::string kSerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class TeardownTest : public BusTest {
protected:
    void TearDown() override {
        for (auto& card : cards)
            for (auto& w : card->ioWindows())
                kernel.ports().detach(w.base);
        BusTest::TearDown();
    }

    // Two PCI cards of two 16550 ports each, made as start-up makes them: UART objects on the cards'
    // UARTs, device objects under their names with their links, SERIALCOMM values, CurrentConfig keys
    // and each card's claim.
    void MakeMachine() {
        for (unsigned i = 0; i < 2; ++i) {
            auto& card = Plug(0, 1 + i, 0, 0x0020, static_cast<uint16_t>(0xD000 + 0x100 * i));
            for (auto& w : card.ioWindows())
                kernel.ports().attach(w.base, w.length, *w.device);
        }
        ASSERT_EQ(ScanAndMatch(TemplateKey(1, 0x20, 2)), STATUS_SUCCESS);
        afterMatch = kernel.pool().liveCount("CvNt");
        ASSERT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_SUCCESS);
        ASSERT_EQ(MatchPciCCvDevicesWithParameters(ports, pci.pParametersCardList), STATUS_SUCCESS);
        ASSERT_EQ(BuildCurrentConfigKey(&servicePath, ports), STATUS_SUCCESS);
        kernel.registry().create(kSerialComm);
        unsigned k = 0, cardNumber = 0;
        for (auto* node : Ports()) {
            CCvDevice* port = node->pClass;
            CCvCard* card = port->pParentCard;
            port->pChip_Uart = CvAllocateUart(CV_UART_16550);
            port->pChip_Uart->m_unBaseAddress =
                static_cast<USHORT>(card->m_ulBusRelativeBaseAddress + 8 * (port->m_unPortOnCardNumber - 1));
            port->pChip_Uart->m_ulClockFrequency = 14745600;
            port->pChip_Uart->m_ulClockFrequencyAdjustment = 1;
            CvCompleteUartSetUp(port->pChip_Uart);
            Name(port->DeviceName, u"Serial" + nt::toUtf16(std::to_string(k)));
            Name(port->SymbolicLinkName, u"COM" + nt::toUtf16(std::to_string(k + 3)));
            std::u16string device = u"\\Device\\" + std::u16string(port->DeviceName.Buffer);
            UNICODE_STRING name, link;
            RtlInitUnicodeString(&name, device.c_str());
            std::u16string linkText = u"\\??\\" + std::u16string(port->SymbolicLinkName.Buffer);
            RtlInitUnicodeString(&link, linkText.c_str());
            ASSERT_EQ(
                IoCreateDevice(&driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &port->DeviceObject),
                STATUS_SUCCESS);
            port->DeviceObject->DeviceExtension = port;
            ASSERT_EQ(IoCreateSymbolicLink(&link, &name), STATUS_SUCCESS);
            kernel.registry().setString(kSerialComm, nt::toUtf8(port->DeviceName.Buffer),
                                        nt::toUtf8(port->SymbolicLinkName.Buffer));
            IoGetConfigurationInformation()->SerialCount++;
            ++k;
            if (CvIsFirstPortOfCard(node)) {
                std::u16string cardName =
                    u"\\Device\\CvNtPciCard" + nt::toUtf16(std::to_string(++cardNumber));
                RtlInitUnicodeString(&name, cardName.c_str());
                ASSERT_EQ(
                    IoCreateDevice(&driver, 0, &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &card->DeviceObject),
                    STATUS_SUCCESS);
                ClaimPorts(card);
            }
        }
    }

    void Name(UNICODE_STRING& target, const std::u16string& text) {
        UNICODE_STRING source;
        RtlInitUnicodeString(&source, text.c_str());
        ASSERT_TRUE(CvCopyUnicodeString(target, &source, NonPagedPool));
    }

    void ClaimPorts(CCvCard* card) {
        std::vector<uint8_t> bytes(offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors) +
                                   sizeof(IO_RESOURCE_DESCRIPTOR));
        auto* list = reinterpret_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(bytes.data());
        list->ListSize = static_cast<ULONG>(bytes.size());
        list->InterfaceType = PCIBus;
        list->AlternativeLists = 1;
        list->List[0].Count = 1;
        auto& d = list->List[0].Descriptors[0];
        d.Type = CmResourceTypePort;
        d.ShareDisposition = CmResourceShareDeviceExclusive;
        d.u.Port.Length = 16;
        d.u.Port.Alignment = 1;
        d.u.Port.MinimumAddress.QuadPart = card->m_ulBusRelativeBaseAddress;
        d.u.Port.MaximumAddress.QuadPart = card->m_ulBusRelativeBaseAddress + 15;
        UNICODE_STRING cls;
        RtlInitUnicodeString(&cls, u"Corvane");
        PCM_RESOURCE_LIST assigned = nullptr;
        ASSERT_EQ(
            IoAssignResources(&card->m_uniPathToCard, &cls, &driver, card->DeviceObject, list, &assigned),
            STATUS_SUCCESS);
        ExFreePool(assigned);
    }

    size_t afterMatch = 0;

    size_t SerialCommValues() {
        auto key = kernel.registry().open(kSerialComm);
        return key ? key->values.size() : 0;
    }
};

TEST_F(TeardownTest, InitializationGivesEnabledPortsTheirDefaultsAndLowersTheirLines) {
    MakeMachine();
    auto nodes = Ports();
    nodes[1]->pClass->m_bDisabled = TRUE;
    for (auto& card : cards)
        for (unsigned i = 0; i < 2; ++i)
            card->uart(i).write(4, 0x0B); // DTR, RTS and OUT2 up, as a previous user left them
    ASSERT_EQ(InitializeExtension(ports), STATUS_SUCCESS);

    CCvDevice* port = nodes[0]->pClass;
    EXPECT_EQ(port->ShortIntervalAmount.QuadPart, -1);
    EXPECT_EQ(port->LongIntervalAmount.QuadPart, -10000000);
    EXPECT_EQ(port->CutOverAmount.QuadPart, 200000000);
    EXPECT_EQ(port->SpecialChars.XonChar, 0x11);
    EXPECT_EQ(port->SpecialChars.XoffChar, 0x13);
    EXPECT_EQ(port->HandFlow.ControlHandShake, (ULONG)SERIAL_DTR_CONTROL);
    EXPECT_EQ(port->HandFlow.FlowReplace, (ULONG)SERIAL_RTS_CONTROL);
    EXPECT_EQ(port->ValidDataMask, 0x7F);
    EXPECT_FALSE(port->DeviceIsOpened);
    EXPECT_TRUE(IsListEmpty(&port->ReadQueue));
    EXPECT_EQ(port->CompleteWriteDpc.DeferredRoutine, SerialCompleteWrite);
    EXPECT_EQ(port->PerhapsLowerRTSDpc.DeferredRoutine, SerialInvokePerhapsLowerRTS);
    EXPECT_EQ(port->PerhapsLowerRTSDpc.DeferredContext, port);
    EXPECT_EQ(cards[0]->uart(0).mcr() & 0x0B, 0) << "DTR and RTS low, OUT2 off while closed";
    EXPECT_EQ(cards[0]->uart(1).mcr() & 0x0B, 0x0B) << "the disabled port is not touched";
    EXPECT_EQ(nodes[1]->pClass->CompleteWriteDpc.DeferredRoutine, nullptr);

    CCvLinkedList* empty = NewList();
    EXPECT_EQ(InitializeExtension(empty), STATUS_NOT_FOUND);
    CvImageFree(empty);
    DoUnload(ports, &driver);
}

TEST_F(TeardownTest, TearDownRemovesEveryTraceOfTheList) {
    const size_t devicesBefore = kernel.io().deviceCount();
    MakeMachine();
    ASSERT_EQ(InitializeExtension(ports), STATUS_SUCCESS);
    ASSERT_EQ(SerialCommValues(), 4u);
    ASSERT_EQ(kernel.resources().claims().size(), 2u);
    ASSERT_EQ(kernel.io().linkNames().size(), 4u);

    DoUnload(ports, &driver);
    EXPECT_EQ(SerialCommValues(), 0u);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 0u);
    EXPECT_TRUE(kernel.resources().claims().empty());
    EXPECT_FALSE(kernel.registry().exists("\\Registry\\Machine\\HARDWARE\\RESOURCEMAP\\Corvane"));
    EXPECT_TRUE(kernel.io().linkNames().empty());
    EXPECT_EQ(kernel.io().deviceCount(), devicesBefore);
    for (auto* node : Ports())
        EXPECT_EQ(node->pClass, nullptr);
    ports->DeleteAllNodes(sizeof(CCvDeviceStruct));
    EXPECT_EQ(kernel.pool().liveCount("CvNt"), afterMatch) << "ports, cards, names and paths all released";
}

TEST_F(TeardownTest, ADisabledPortWithoutNameOrDeviceIsTornDownWithoutTouchingOthers) {
    MakeMachine();
    auto nodes = Ports();
    CCvDevice* first = nodes[0]->pClass;
    // As if its COM number had been taken: no name, no link, no device object.
    kernel.registry().removeValue(kSerialComm, "Serial0");
    IoGetConfigurationInformation()->SerialCount--;
    UNICODE_STRING link;
    RtlInitUnicodeString(&link, u"\\??\\COM3");
    IoDeleteSymbolicLink(&link);
    IoDeleteDevice(first->DeviceObject);
    first->DeviceObject = nullptr;
    CvImageFree(first->DeviceName.Buffer);
    CvImageFree(first->SymbolicLinkName.Buffer);
    RtlZeroMemory(&first->DeviceName, sizeof first->DeviceName);
    RtlZeroMemory(&first->SymbolicLinkName, sizeof first->SymbolicLinkName);
    first->m_bDisabled = TRUE;
    // Another driver's value under a name the port never had stays.
    kernel.registry().setString(kSerialComm, "Serial9", "COM1");
    IoGetConfigurationInformation()->SerialCount++;

    DoUnload(ports, &driver);
    EXPECT_EQ(SerialCommValues(), 1u);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 1u);
    EXPECT_TRUE(kernel.resources().claims().empty()) << "the card's claim went with its first port";
    EXPECT_EQ(kernel.io().deviceCount(), 0u) << "the card's device object went too";
}

TEST_F(TeardownTest, RemovingOneCardLeavesTheOthersAndReturnsTheNextCardsFirstPort) {
    MakeMachine();
    auto nodes = Ports();
    CCvDevice* third = nodes[2]->pClass;
    ports->GetStartNode(sizeof(CCvDeviceStruct));
    PCCvDeviceStruct next = UnloadOneCard(ports, &driver);
    ASSERT_NE(next, nullptr);
    EXPECT_EQ(next->pClass, third);
    EXPECT_EQ(Ports().size(), 2u);
    EXPECT_EQ(SerialCommValues(), 2u);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 2u);
    EXPECT_EQ(kernel.io().linkNames().size(), 2u);
    ASSERT_EQ(kernel.resources().claims().size(), 1u);
    EXPECT_EQ(kernel.resources().claims()[0].owner, third->pParentCard->DeviceObject);

    // The last card: nothing comes after it.
    ports->GetStartNode(sizeof(CCvDeviceStruct));
    EXPECT_EQ(UnloadOneCard(ports, &driver), nullptr);
    EXPECT_TRUE(Ports().empty());
    EXPECT_EQ(SerialCommValues(), 0u);
    EXPECT_EQ(kernel.io().deviceCount(), 0u);
    // The port objects are the tracked allocator's to release.
}

} // namespace
