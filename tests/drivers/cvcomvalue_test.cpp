// COM names: numbers in use, requested numbers served first, the lowest free ones, and the SERIALCOMM
// values and serial port count that go with them.
#include "config_fixture.h"

#include <algorithm>

namespace {

const std::string kSerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";

class ComNameTest : public BusTest {
protected:
    // SERIALCOMM as the system left it: one value per COM name, the count to match.
    void Existing(const std::vector<std::string>& names) {
        kernel.registry().create(kSerialComm);
        int i = 0;
        for (const auto& n : names)
            kernel.registry().setString(kSerialComm, "Other" + std::to_string(i++), n);
        IoGetConfigurationInformation()->SerialCount = static_cast<ULONG>(names.size());
    }

    // A four-port PCI card; `ncom` gives the ports' requested numbers (0: automatic).
    void PciCard(std::vector<int> ncom) {
        Plug(0, 1, 0, 0x0020);
        std::string body = TemplateKey(1, 0x20, static_cast<int>(ncom.size())) + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000020
"nBus"=dword:0
"nSlot"=dword:1
)";
        for (size_t i = 0; i < ncom.size(); ++i)
            body += "[S\\Parameters\\Bus5\\Card1\\ComPort" + std::to_string(i + 1) +
                    "]\n\"nCom\"=dword:" + std::to_string(ncom[i]) + "\n";
        ASSERT_EQ(ScanAndMatch(body), STATUS_SUCCESS);
        ASSERT_EQ(BuildPciCCvDeviceList(functions, ports), STATUS_SUCCESS);
        ASSERT_EQ(MatchPciCCvDevicesWithParameters(ports, pci.pParametersCardList), STATUS_SUCCESS);
        kernel.eventLog().clear();
    }

    std::vector<std::string> Links() {
        std::vector<std::string> out;
        for (auto* node : Ports())
            out.push_back(Text(node->pClass->SymbolicLinkName));
        return out;
    }
};

TEST_F(ComNameTest, FreeNumbersFollowTheStandardPorts) {
    Existing({"COM1", "COM2"});
    PciCard({0, 0, 0, 0});
    ASSERT_EQ(AssignComNumberToPort(ports), STATUS_SUCCESS);
    EXPECT_EQ(Links(), (std::vector<std::string>{"COM3", "COM4", "COM5", "COM6"}));
    auto nodes = Ports();
    EXPECT_EQ(Text(nodes[0]->pClass->DeviceName), "Serial2");
    EXPECT_EQ(Text(nodes[3]->pClass->DeviceName), "Serial5");
    EXPECT_EQ(nodes[3]->pClass->m_ulForcedComNumber, 6u);
    EXPECT_EQ(IoGetConfigurationInformation()->SerialCount, 6u);
    auto value = kernel.registry().value(kSerialComm, "Serial4");
    ASSERT_TRUE(value);
    EXPECT_EQ(value->type, (uint32_t)REG_SZ);
    EXPECT_EQ(value->data.size(), 8u) << "\"COM5\" without a terminating zero";
    EXPECT_EQ(Messages()[0],
              "The COM port number 3 has been assigned a port on the card with the device ID 20.");
}

TEST_F(ComNameTest, TheLowestGapIsTaken) {
    Existing({"COM1", "COM2", "COM4"});
    PciCard({0, 0});
    ASSERT_EQ(AssignComNumberToPort(ports), STATUS_SUCCESS);
    EXPECT_EQ(Links(), (std::vector<std::string>{"COM3", "COM5"}));
}

TEST_F(ComNameTest, WithoutComOneTheFirstFreeNumberIsOne) {
    Existing({"COM2"});
    PciCard({0, 0});
    ASSERT_EQ(AssignComNumberToPort(ports), STATUS_SUCCESS);
    EXPECT_EQ(Links(), (std::vector<std::string>{"COM1", "COM3"}));
}

TEST_F(ComNameTest, RequestedNumbersAreServedFirstAndATakenOneMovesToAFreeNumber) {
    Existing({"COM1", "COM2"});
    PciCard({0, 3, 5, 5});
    ASSERT_EQ(AssignComNumberToPort(ports), STATUS_SUCCESS);
    EXPECT_EQ(Links(), (std::vector<std::string>{"COM4", "COM3", "COM5", "COM6"}))
        << "port 2 gets COM3 though port 1 comes first; the second request for COM5 gets a free number";
    auto messages = Messages();
    EXPECT_EQ(messages[0],
              "The requested COM port number 5 already exists on the system. An arbitrary number is "
              "chosen for this COM port on the card with the device ID 20.");
    EXPECT_EQ(
        std::count_if(messages.begin(), messages.end(),
                      [](const std::string& m) { return m.find("has been assigned") != std::string::npos; }),
        2);
}

TEST_F(ComNameTest, IsaPortsWithATakenNumberAreDisabled) {
    Existing({"COM1", "COM10"});
    Load("");
    ports = NewList();
    auto* card = new (CvImageAllocate(NonPagedPool, sizeof(CCvCard))) CCvCard;
    const ULONG requested[] = {1, 10, 7};
    for (int m = 1; m <= 3; ++m) {
        auto* node =
            static_cast<PCCvDeviceStruct>(ports->AllocateAndInsertNodeAtEnd(sizeof(CCvDeviceStruct)));
        auto* port = new (CvImageAllocate(NonPagedPool, sizeof(CCvDevice))) CCvDevice();
        port->pParentCard = card;
        port->m_unPortOnCardNumber = static_cast<USHORT>(m);
        port->m_ucBusType = Isa;
        port->m_ulForcedComNumber = requested[m - 1];
        card->apDevice[m - 1] = port;
        node->pClass = port;
    }
    ASSERT_EQ(AssignIsaComNumberToPort(ports), STATUS_SUCCESS);
    auto nodes = Ports();
    EXPECT_TRUE(nodes[0]->pClass->m_bDisabled);
    EXPECT_TRUE(nodes[1]->pClass->m_bDisabled);
    EXPECT_EQ(nodes[0]->pClass->DeviceName.Buffer, nullptr) << "no name for a disabled port";
    EXPECT_FALSE(nodes[2]->pClass->m_bDisabled);
    EXPECT_EQ(Text(nodes[2]->pClass->SymbolicLinkName), "COM7");
    EXPECT_EQ(Text(nodes[2]->pClass->DeviceName), "Serial2");
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "The requested COM port number 1 already exists on the system. The COM port is being "
                  "disabled.",
                  "The requested COM port number A already exists on the system. The COM port is being "
                  "disabled."}));
}

TEST_F(ComNameTest, ValuesThatNameNoNumberAndRepeatedNumbersTakeNothingFromThePorts) {
    // Other drivers' values ("COMx", "COM0", a number beyond 32 bits) name no COM number; a number
    // listed twice is in use once. None of them keeps the driver from loading.
    const std::pair<std::vector<std::string>, const char*> cases[] = {{{"COM1", "COMx"}, "COM2"},
                                                                      {{"COM2", "COM2"}, "COM1"},
                                                                      {{"COM99999999999"}, "COM1"},
                                                                      {{"COM0"}, "COM1"}};
    for (const auto& [names, first] : cases) {
        kernel.registry().removeTree(kSerialComm);
        Existing(names);
        if (!ports)
            PciCard({0});
        kernel.eventLog().clear();
        EXPECT_EQ(AssignComNumberToPort(ports), STATUS_SUCCESS) << names.back();
        EXPECT_EQ(Links()[0], first) << names.back();
    }
    // Values that are not REG_SZ, or no longer than "COM", are not numbers in use.
    kernel.registry().removeTree(kSerialComm);
    Existing({"COM"});
    kernel.registry().setDword(kSerialComm, "Dword", 5);
    EXPECT_EQ(AssignComNumberToPort(ports), STATUS_SUCCESS);
    EXPECT_EQ(Links(), (std::vector<std::string>{"COM1"}));
}

TEST_F(ComNameTest, NumbersAreKeptSortedWithoutRepeats) {
    Load("");
    CCvLinkedList* list = NewList();
    for (ULONG n : {5u, 2u, 9u, 1u, 7u})
        ASSERT_EQ(SetUpNodes(list, n, COM_VALUE_ALLOCATED), STATUS_SUCCESS);
    EXPECT_EQ(SetUpNodes(list, 7, COM_VALUE_FORCED), STATUS_UNSUCCESSFUL);
    std::vector<ULONG> order;
    for (auto* d : Records<DosName>(list))
        order.push_back(d->ulPortValue);
    EXPECT_EQ(order, (std::vector<ULONG>{1, 2, 5, 7, 9}));
    DeleteList(list, sizeof(DosName));
}

} // namespace
