// The CurrentConfig branch and the recursive key deletion under it.
#include "config_fixture.h"

#include "CvUart.h"

#include <algorithm>

namespace {

const std::string kCurrentConfig = kRegServiceKey + "\\CurrentConfig";

class CurrentConfigTest : public BusTest {
protected:
    // The PCI port list of the machine, each port given a UART object and a COM number as the later
    // start-up steps would.
    void BuildPciList(const std::string& body) {
        ASSERT_EQ(ScanAndMatch(body), STATUS_SUCCESS);
        ASSERT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_SUCCESS);
        ULONG com = 5;
        for (auto* node : Ports()) {
            CCvDevice* port = node->pClass;
            CCvCard* card = port->pParentCard;
            port->pChip_Uart = CvAllocateUart(CV_UART_16950);
            ASSERT_NE(port->pChip_Uart, nullptr);
            port->pChip_Uart->m_unBaseAddress =
                static_cast<USHORT>(card->m_ulBusRelativeBaseAddress + 8 * (port->m_unPortOnCardNumber - 1));
            port->pChip_Uart->m_lRxTriggerLevel = 100;
            port->pChip_Uart->m_lTxTriggerLevel = 1;
            port->pChip_Uart->m_lSoftTxLimit = 90;
            port->m_ulForcedComNumber = com++;
            card->OriginalIrql = card->m_ucBusRelativeInterruptLine;
            card->OriginalVector = nt::VectorForIrq(card->m_ucBusRelativeInterruptLine);
        }
    }

    std::vector<std::string> ValueNames(const std::string& key) {
        std::vector<std::string> names;
        auto k = kernel.registry().open(key);
        if (k)
            for (const auto& v : k->values)
                names.push_back(nt::toUtf8(v.name));
        return names;
    }

    uint32_t Dword(const std::string& key, const char* name) {
        return kernel.registry().dword(key, name).value_or(0xDEADBEEF);
    }
};

TEST_F(CurrentConfigTest, DeleteSubkeysRemovesNestedKeysDepthFirstAndLeavesTheKey) {
    Load(R"(
[S\Tree]
"Kept"=dword:1
[S\Tree\A\B\C]
"x"=dword:1
[S\Tree\A\D]
[S\Tree\E]
)");
    std::u16string path = nt::toUtf16(kServiceKeyPath + "\\Tree");
    UNICODE_STRING uni;
    RtlInitUnicodeString(&uni, path.c_str());
    ASSERT_EQ(DeleteSubkeys(&uni), STATUS_SUCCESS);
    EXPECT_TRUE(kernel.registry().exists(kRegServiceKey + "\\Tree"));
    EXPECT_TRUE(kernel.registry().subkeyNames(kRegServiceKey + "\\Tree").empty());
    EXPECT_EQ(Dword(kRegServiceKey + "\\Tree", "Kept"), 1u);
    EXPECT_EQ(kernel.registry().openHandles(), 0u);

    std::u16string missing = nt::toUtf16(kServiceKeyPath + "\\Nothing");
    RtlInitUnicodeString(&uni, missing.c_str());
    EXPECT_EQ(DeleteSubkeys(&uni), CV_STATUS_SEVERE);
}

TEST_F(CurrentConfigTest, PciCardsAreNumberedByScanOrderAndHoldExactlyTheirValues) {
    Plug(1, 0, 0, 0x0029, 0xD800); // bus 1: found second
    Plug(0, 6, 0, 0x0020, 0xD000);
    Plug(0, 2, 3, 0x0021, 0xC800); // bus 0, device 2: found first
    BuildPciList(TemplateKey(1, 0x20, 2));
    kernel.eventLog().clear();
    ASSERT_EQ(BuildCurrentConfigKey(&servicePath, ports), STATUS_SUCCESS);
    ASSERT_EQ(FillCurrentConfigKey(ports), STATUS_SUCCESS);
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"The PCI part of the CurrentConfig key has been created fully."}));

    const std::string bus = kCurrentConfig + "\\Bus5";
    EXPECT_EQ(kernel.registry().subkeyNames(kCurrentConfig), (std::vector<std::string>{"Bus5"}));
    EXPECT_EQ(kernel.registry().subkeyNames(bus), (std::vector<std::string>{"Card1", "Card2", "Card3"}));
    EXPECT_EQ(Dword(bus + "\\Card1", "DeviceID"), 0x21u);
    EXPECT_EQ(Dword(bus + "\\Card1", "nSlot"), 2u | 3u << 5);
    EXPECT_EQ(Dword(bus + "\\Card2", "DeviceID"), 0x20u);
    EXPECT_EQ(Dword(bus + "\\Card3", "nBus"), 1u);
    EXPECT_EQ(ValueNames(bus + "\\Card1"),
              (std::vector<std::string>{"VendorID", "DeviceID", "nBus", "InterruptLevel", "InterruptVector",
                                        "nSlot"}));
    EXPECT_EQ(Dword(bus + "\\Card1", "VendorID"), 0x10B5u);
    EXPECT_EQ(Dword(bus + "\\Card1", "InterruptLevel"), 11u);
    EXPECT_EQ(Dword(bus + "\\Card1", "InterruptVector"), nt::VectorForIrq(11));

    const std::string port = bus + "\\Card2\\ComPort2";
    EXPECT_EQ(ValueNames(port), (std::vector<std::string>{"nCom", "RxTriggerLevel", "TxTriggerLevel",
                                                          "SoftTxLimit", "ComPortAddress", "UartType"}));
    EXPECT_EQ(Dword(port, "nCom"), 8u);
    EXPECT_EQ(Dword(port, "ComPortAddress"), 0xD008u);
    EXPECT_EQ(Dword(port, "UartType"), 0x950u);
    EXPECT_EQ(Dword(port, "SoftTxLimit"), 90u);
    CCvDevice* second = Ports()[3]->pClass;
    EXPECT_EQ(Text(second->m_uniPathToPort), kServiceKeyPath + "\\CurrentConfig\\Bus5\\Card2\\ComPort2");
    EXPECT_EQ(Text(second->pParentCard->m_uniPathToCard), kServiceKeyPath + "\\CurrentConfig\\Bus5\\Card2");
}

TEST_F(CurrentConfigTest, PortNumbersAreHexadecimal) {
    Plug(0, 1, 0, 0x0020);
    BuildPciList(TemplateKey(1, 0x20, 8) + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000020
"nBus"=dword:0
"nSlot"=dword:1
[S\Parameters\Bus5\Card1\ComPort1]
)");
    // A card's port 10 and 11 do not exist; the key names use hexadecimal all the same for 1 to 8.
    ASSERT_EQ(BuildCurrentConfigKey(&servicePath, ports), STATUS_SUCCESS);
    auto names = kernel.registry().subkeyNames(kCurrentConfig + "\\Bus5\\Card1");
    ASSERT_EQ(names.size(), 8u);
    EXPECT_EQ(names.back(), "ComPort8");
    EXPECT_EQ(Text(Ports()[0]->pClass->m_uniPathToPort),
              kServiceKeyPath + "\\CurrentConfig\\Bus5\\Card1\\ComPort1")
        << "the Parameters path is replaced";
}

TEST_F(CurrentConfigTest, IsaCardsPublishWhatTheyHaveAndDisabledPortsOnlyTheirStatus) {
    Load("");
    ports = NewList();
    auto* card = new (CvImageAllocate(NonPagedPool, sizeof(CCvCard))) CCvCard;
    card->m_ulSisrAddress = 0x2F0;
    card->OriginalIrql = 5;
    card->OriginalVector = 0x35;
    for (int m = 1; m <= 2; ++m) {
        auto* node =
            static_cast<PCCvDeviceStruct>(ports->AllocateAndInsertNodeAtEnd(sizeof(CCvDeviceStruct)));
        auto* port = new (CvImageAllocate(NonPagedPool, sizeof(CCvDevice))) CCvDevice();
        port->pParentCard = card;
        port->m_unPortOnCardNumber = static_cast<USHORT>(m);
        port->m_ucBusType = Isa;
        card->apDevice[m - 1] = port;
        node->pClass = port;
    }
    CCvDevice* first = card->apDevice[0];
    first->m_bDisabled = TRUE;
    CCvDevice* second = card->apDevice[1];
    second->pChip_Uart = CvAllocateUart(CV_UART_16550);
    second->pChip_Uart->m_unBaseAddress = 0x2E8;
    second->m_ulForcedComNumber = 4;

    ASSERT_EQ(BuildCurrentConfigKey(&servicePath, ports), STATUS_SUCCESS);
    ASSERT_EQ(FillCurrentConfigKeyIsa(ports), STATUS_SUCCESS);
    const std::string cardKey = kCurrentConfig + "\\Bus1\\Card1";
    EXPECT_EQ(ValueNames(cardKey),
              (std::vector<std::string>{"InterruptLevel", "InterruptVector", "SisrAddress"}));
    EXPECT_EQ(ValueNames(cardKey + "\\ComPort1"), (std::vector<std::string>{"Status"}));
    auto status = kernel.registry().value(cardKey + "\\ComPort1", "Status");
    ASSERT_TRUE(status);
    EXPECT_EQ(status->type, (uint32_t)REG_SZ);
    EXPECT_EQ(status->data.size(), 32u) << "no terminating zero";
    EXPECT_EQ(ValueNames(cardKey + "\\ComPort2"),
              (std::vector<std::string>{"nCom", "RxTriggerLevel", "TxTriggerLevel", "SoftTxLimit",
                                        "ComPortAddress", "UartType"}))
        << "a port on the shared interrupt has no interrupt of its own to publish";
    EXPECT_EQ(Dword(cardKey + "\\ComPort2", "UartType"), 0x550u);
}

TEST_F(CurrentConfigTest, AMissingKeyStopsTheFillAndDeletingLeavesNothing) {
    Plug(0, 1, 0, 0x0020);
    BuildPciList(TemplateKey(1, 0x20, 2));
    ASSERT_EQ(BuildCurrentConfigKey(&servicePath, ports), STATUS_SUCCESS);
    kernel.registry().removeTree(kCurrentConfig + "\\Bus5\\Card1\\ComPort2");
    kernel.eventLog().clear();
    EXPECT_EQ(FillCurrentConfigKey(ports), CV_STATUS_SEVERE);
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"A key under CurrentConfig\\..\\CardX is not existing, also the "
                                        "driver has created it beforehand. The driver will unload."}));
    kernel.registry().removeTree(kCurrentConfig + "\\Bus5\\Card1");
    kernel.eventLog().clear();
    EXPECT_EQ(FillCurrentConfigKey(ports), CV_STATUS_SEVERE);
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{"A key under CurrentConfig is not existing, also the driver has "
                                        "created it beforehand. The driver will unload."}));

    // Build, delete, build again: one copy of everything.
    for (int round = 0; round < 2; ++round) {
        kernel.eventLog().clear();
        ASSERT_EQ(DeleteCurrentConfigKey(&servicePath), STATUS_SUCCESS);
        EXPECT_EQ(Messages(), (std::vector<std::string>{"The existing CurrentConfig key has been deleted."}));
        EXPECT_FALSE(kernel.registry().exists(kCurrentConfig));
        ASSERT_EQ(BuildCurrentConfigKey(&servicePath, ports), STATUS_SUCCESS);
        ASSERT_EQ(FillCurrentConfigKey(ports), STATUS_SUCCESS);
        EXPECT_EQ(kernel.registry().subkeyNames(kCurrentConfig + "\\Bus5"),
                  (std::vector<std::string>{"Card1"}));
        EXPECT_EQ(kernel.registry().subkeyNames(kCurrentConfig + "\\Bus5\\Card1").size(), 2u);
    }
    EXPECT_EQ(kernel.registry().openHandles(), 0u);
}

} // namespace
