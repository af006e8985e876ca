// Reading the configuration tree: records, defaults, repairs, deletions with their messages, the
// outcome of each branch, and nothing left behind.
#include "config_fixture.h"

#include <algorithm>

namespace {

const std::string kTemplate = R"(
[S\Templates\Bus5\Card1]
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
"UartType"=dword:6
)";

class RegistryTest : public ConfigTest {
protected:
    void TearDown() override {
        DeleteRegistrySettings(&pci, &isa);
        EXPECT_EQ(kernel.pool().liveCount("CvNt"), baseline) << kernel.pool().leakReport("CvNt");
        ConfigTest::TearDown();
    }

    NTSTATUS Read(const std::string& body) {
        Load(body);
        baseline = kernel.pool().liveCount("CvNt");
        return GetRegistrySettings(&servicePath, &pci, &isa);
    }

    std::vector<TemplatesCardStruct*> Templates() {
        return Records<TemplatesCardStruct>(pci.pTemplatesCardList);
    }
    std::vector<ParametersCardStruct*> PciCards() {
        return Records<ParametersCardStruct>(pci.pParametersCardList);
    }
    std::vector<ParametersCardStruct*> IsaCards() {
        return Records<ParametersCardStruct>(isa.pParametersCardList);
    }
    static std::vector<ParametersCardPortStruct*> Ports(ParametersCardStruct* card) {
        return Records<ParametersCardPortStruct>(card->pParametersCardPortList);
    }

    PciBusStruct pci{};
    IsaBusStruct isa{};
    size_t baseline = 0;
};

TEST_F(RegistryTest, ATreeIsReadIntoRecordsWithDefaultsAndRepairs) {
    ASSERT_EQ(Read(kTemplate + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nBus"=dword:0
"nSlot"=dword:00000023
[S\Parameters\Bus5\Card1\ComPort1]
[S\Parameters\Bus5\Card1\ComPort2]
"nCom"=dword:7
"UartType"=dword:9
"Duplexoperation"=dword:2
"PlxBaudClockDivisor"=dword:2
[S\Parameters\Bus1\Card1]
"ClockFrequency"=dword:001c2000
[S\Parameters\Bus1\Card1\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:5
)"),
              STATUS_SUCCESS);
    EXPECT_TRUE(Messages().empty()) << Messages()[0];

    auto templates = Templates();
    ASSERT_EQ(templates.size(), 1u);
    TemplatesCardStruct* t = templates[0];
    EXPECT_EQ(t->VendorID, 0x10B5u);
    EXPECT_EQ(t->DeviceID, 0x20u);
    EXPECT_EQ(t->ClockFrequency, 14745600u);
    EXPECT_EQ(t->ClockFrequencyAdjustment, 1u) << "absent: 1";
    EXPECT_EQ(t->nComPorts, 4);
    EXPECT_EQ(Text(t->Description), "Corvane PCI 4");
    EXPECT_EQ(t->Description.MaximumLength, t->Description.Length + 2) << "the text keeps only its own room";
    EXPECT_EQ(t->PlxBaudClockOffset, 0x50u);
    EXPECT_EQ(t->UartType, 0u) << "type 6 means detection";
    EXPECT_EQ(t->RxTriggerLevel, 100);
    EXPECT_EQ(t->TxTriggerLevel, 1);
    EXPECT_EQ(t->SoftTxLimit, 100);
    EXPECT_EQ(t->CtsTrue, -1);
    EXPECT_EQ(t->BaseAddressRange, 0u);

    auto cards = PciCards();
    ASSERT_EQ(cards.size(), 1u);
    EXPECT_EQ(cards[0]->nSlot, 0x23);
    EXPECT_EQ(cards[0]->PlxBaudClockDivisor, 0u);
    EXPECT_EQ(Text(cards[0]->uniPathToCard), kServiceKeyPath + "\\Parameters\\Bus5\\Card1");
    auto ports = Ports(cards[0]);
    ASSERT_EQ(ports.size(), 2u);
    EXPECT_EQ(ports[0]->nCom, 0) << "an empty port key: automatic COM number";
    EXPECT_EQ(ports[0]->RxTriggerLevel, -1) << "the template's value stands";
    EXPECT_EQ(ports[0]->PlxBaudClockDivisor, -1);
    EXPECT_EQ(ports[0]->UartType, 0u);
    EXPECT_EQ(ports[1]->nCom, 7);
    EXPECT_EQ(ports[1]->UartType, 9u);
    EXPECT_EQ(ports[1]->DuplexOperation, 2) << "the value name is matched without regard to case";
    EXPECT_EQ(ports[1]->PlxBaudClockDivisor, 2);
    EXPECT_EQ(Text(ports[1]->uniPathToPort), kServiceKeyPath + "\\Parameters\\Bus5\\Card1\\ComPort2");

    auto isaCards = IsaCards();
    ASSERT_EQ(isaCards.size(), 1u);
    EXPECT_EQ(isaCards[0]->ClockFrequencyAdjustment, 1u) << "0 is repaired to 1";
    auto isaPorts = Ports(isaCards[0]);
    ASSERT_EQ(isaPorts.size(), 1u);
    EXPECT_EQ(isaPorts[0]->ulBaseAddress, 0x300u);
    EXPECT_EQ(isaPorts[0]->RxTriggerLevel, 100);
    EXPECT_EQ(isaPorts[0]->TxTriggerLevel, 1);
    EXPECT_EQ(isaPorts[0]->SoftTxLimit, 100);
    EXPECT_EQ(isaPorts[0]->UartType, 0u);
    EXPECT_EQ(isaPorts[0]->ulInterruptLevel, 0u);
}

TEST_F(RegistryTest, AGapInTheNumberingEndsTheList) {
    std::string isaCard = R"(
"ClockFrequency"=dword:001c2000
[S\Parameters\Bus1\CardN\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:5
[S\Parameters\Bus1\CardN\ComPort3]
"BaseAddress"=dword:00000310
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:6
)";
    std::string body = kTemplate;
    for (const char* n : {"1", "2", "4"}) {
        std::string card = "[S\\Parameters\\Bus1\\Card" + std::string(n) + "]" + isaCard;
        for (size_t at; (at = card.find("CardN")) != std::string::npos;)
            card.replace(at, 5, std::string("Card") + n);
        body += card;
    }
    ASSERT_EQ(Read(body), STATUS_SUCCESS);
    auto cards = IsaCards();
    ASSERT_EQ(cards.size(), 2u) << "Card4 lies behind the gap";
    EXPECT_EQ(Text(cards[1]->uniPathToCard), kServiceKeyPath + "\\Parameters\\Bus1\\Card2");
    EXPECT_EQ(Ports(cards[0]).size(), 1u) << "ComPort3 lies behind the gap";
}

TEST_F(RegistryTest, EveryTemplateRuleDropsTheRecordOnceWithItsMessage) {
    const std::string valid = R"(
"VendorID"=dword:000010b5
"DeviceID"=dword:00000040
"ClockFrequency"=dword:00e10000
"nComPorts"=dword:2
"nLptPorts"=dword:0
"Description"="X"
"BaseAddressAlignment"=dword:8
)";
    // Each case: what replaces or adds to the valid values.
    const std::vector<std::pair<std::string, std::string>> cases = {
        {"\"ClockFrequency\"=dword:0", "ClockFrequency 0"},
        {"\"VendorID\"=dword:0", "VendorID 0"},
        {"\"nComPorts\"=-", "nComPorts absent"},
        {"\"nComPorts\"=dword:9", "more ports than a card holds"},
        {"\"nComPorts\"=dword:0", "no ports"},
        {"\"BaseAddressAlignment\"=dword:0", "alignment 0"},
        {"\"Description\"=\"\"", "empty description"},
        {"\"nLptPorts\"=-", "nLptPorts absent"},
        {"\"PlxBaudClockType\"=dword:2\n\"PlxBaudClockDivisor\"=dword:1", "type 2 without offset"},
        {"\"PlxBaudClockType\"=dword:1\n\"PlxBaudClockOffset\"=dword:4", "type 1 without divisor"},
        {"\"PlxBaudClockType\"=dword:3\n\"PlxBaudClockDivisor\"=dword:1\n\"CtsTrue\"=dword:0",
         "type 3 without duplex"},
        {"\"PlxBaudClockType\"=dword:3\n\"PlxBaudClockDivisor\"=dword:1\n\"DuplexOperation\"=dword:0",
         "type 3 without CtsTrue"},
        {"\"ClockFrequency\"=dword:0\n\"VendorID\"=dword:0\n\"Description\"=\"\"", "three rules at once"},
    };
    std::string body;
    int n = 1;
    for (const auto& [change, why] : cases)
        body += "[S\\Templates\\Bus5\\Card" + std::to_string(n++) + "]" + valid + change + "\n";
    body += "[S\\Templates\\Bus5\\Card" + std::to_string(n++) + "]" + valid +
            "\"PlxBaudClockType\"=dword:3\n\"PlxBaudClockDivisor\"=dword:1\n\"DuplexOperation\"=dword:0\n"
            "\"CtsTrue\"=dword:8\n\"ClockFrequencyAdjustment\"=dword:0\n";
    body += "[S\\Templates\\Bus5\\Card" + std::to_string(n++) + "]" + valid + "\"DeviceID\"=dword:0\n";
    ASSERT_EQ(Read(body), STATUS_SUCCESS);

    auto templates = Templates();
    ASSERT_EQ(templates.size(), 1u) << "only the complete type-3 template survives";
    EXPECT_EQ(templates[0]->PlxBaudClockType, 3u);
    EXPECT_EQ(templates[0]->ClockFrequencyAdjustment, 1u) << "0 is repaired to 1";
    auto messages = Messages();
    ASSERT_EQ(messages.size(), cases.size() + 1 + 2)
        << "one message per dropped record, then the missing branches";
    messages.resize(cases.size() + 1);
    for (size_t i = 0; i < cases.size(); ++i)
        EXPECT_EQ(messages[i],
                  "One or more values under the PCI Templates key with the Device ID 40 are not existing "
                  "or incorrect. Correct the values, or alternatively reinstall the driver.")
            << cases[i].second;
    EXPECT_EQ(messages.back(), "A Device ID value is missing under a Templates key.");
}

TEST_F(RegistryTest, CardAndPortRulesOfBothBuses) {
    ASSERT_EQ(Read(kTemplate + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nSlot"=dword:3
[S\Parameters\Bus5\Card1\ComPort1]
[S\Parameters\Bus5\Card2]
"VendorID"=dword:000010b5
"nBus"=dword:0
"nSlot"=dword:3
[S\Parameters\Bus5\Card2\ComPort1]
[S\Parameters\Bus5\Card3]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000022
"nBus"=dword:0
"nSlot"=dword:4
[S\Parameters\Bus5\Card4]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000023
"nBus"=dword:0
"nSlot"=dword:5
[S\Parameters\Bus5\Card4\ComPort1]
[S\Parameters\Bus1\Card1]
"ClockFrequency"=dword:001c2000
"SisrAddress"=dword:00000400
[S\Parameters\Bus1\Card1\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:5
[S\Parameters\Bus1\Card2]
"ClockFrequency"=dword:001c2000
"PlxBaudClockType"=dword:4
[S\Parameters\Bus1\Card2\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:5
[S\Parameters\Bus1\Card3]
"ClockFrequency"=dword:001c2000
[S\Parameters\Bus1\Card3\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:8
"nCom"=dword:5
[S\Parameters\Bus1\Card3\ComPort2]
"BaseAddress"=dword:00000308
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:6
[S\Parameters\Bus1\Card4]
"ClockFrequency"=dword:001c2000
[S\Parameters\Bus1\Card4\ComPort1]
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
[S\Parameters\Bus1\Card5]
[S\Parameters\Bus1\Card5\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:5
)"),
              STATUS_SUCCESS);
    auto pciCards = PciCards();
    ASSERT_EQ(pciCards.size(), 1u);
    EXPECT_EQ(pciCards[0]->DeviceID, 0x23u) << "no bus, no Device ID, no ComPort1: dropped";
    auto isaCards = IsaCards();
    ASSERT_EQ(isaCards.size(), 1u);
    EXPECT_EQ(Text(isaCards[0]->uniPathToCard), kServiceKeyPath + "\\Parameters\\Bus1\\Card3");
    ASSERT_EQ(Ports(isaCards[0]).size(), 1u) << "its port without an alignment is dropped";
    EXPECT_EQ(Ports(isaCards[0])[0]->nCom, 6);

    const std::string isaMessage =
        "One or more values under the ISA Parameters key are not existing or incorrect.";
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "One or more values under the Parameters key with the Device ID 21 are not existing or "
                  "incorrect.",
                  "A Device ID value is missing under a Parameters key.",
                  isaMessage, // Card3's ComPort1, while reading
                  isaMessage, // Card4's only port; the card goes silently with it
                  isaMessage, // Card1: status register without an interrupt
                  isaMessage, // Card2: type 4 without a divisor
                  isaMessage, // Card5: no clock
              }));
}

TEST_F(RegistryTest, AnOverlongDescriptionMakesTheTemplateBranchUnreadable) {
    std::string longest(256, 'D');
    ASSERT_EQ(
        Read(kTemplate +
             "[S\\Templates\\Bus5\\Card2]\n\"VendorID\"=dword:1\n\"DeviceID\"=dword:2\n\"Description\"=\"" +
             longest + "\"\n"),
        STATUS_SUCCESS);
    EXPECT_EQ(Templates().size(), 1u) << "256 characters fit; the record fails validation for other reasons";
    EXPECT_EQ(Messages().size(), 3u) << "that record's, and the two missing Parameters branches";

    DeleteRegistrySettings(&pci, &isa);
    kernel.eventLog().clear();
    kernel.registry().setString(kRegServiceKey + "\\Templates\\Bus5\\Card2", "Description", longest + "D");
    ASSERT_EQ(GetRegistrySettings(&servicePath, &pci, &isa), STATUS_SUCCESS);
    EXPECT_TRUE(Templates().empty()) << "the whole branch counts as unreadable";
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "The registry information from the PCI Templates key could not be read correctly.",
                  "The PCI Parameters key does not exist.", "The ISA Parameters key does not exist."}));
}

TEST_F(RegistryTest, AValueOfTheWrongTypeFailsItsKeyInsteadOfBeingWrittenOverTheRecord) {
    ASSERT_EQ(Read(kTemplate + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nBus"=dword:0
"nSlot"=dword:3
[S\Parameters\Bus5\Card1\ComPort1]
"nCom"="seven"
[S\Parameters\Bus5\Card2]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nBus"=dword:0
"nSlot"=dword:4
[S\Parameters\Bus5\Card2\ComPort1]
"SoftTxLimit"=hex:64,00,00,00,00,00,00,00
[S\Parameters\Bus5\Card3]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nBus"=dword:0
"nSlot"=dword:5
[S\Parameters\Bus5\Card3\ComPort1]
[S\Parameters\Bus1\Card1]
"ClockFrequency"="fast"
)"),
              STATUS_SUCCESS);
    auto cards = PciCards();
    ASSERT_EQ(cards.size(), 1u) << "inside a card, only that card is dropped";
    EXPECT_EQ(cards[0]->nSlot, 5);
    EXPECT_TRUE(IsaCards().empty());
    EXPECT_EQ(Messages(),
              (std::vector<std::string>{
                  "The registry information from the ISA Parameters key could not be read correctly."}));
}

TEST_F(RegistryTest, MissingBranchesAreLoggedAndLeaveEmptyLists) {
    ASSERT_EQ(Read(""), STATUS_SUCCESS);
    EXPECT_TRUE(Templates().empty());
    EXPECT_TRUE(PciCards().empty());
    EXPECT_TRUE(IsaCards().empty());
    EXPECT_EQ(Messages(), (std::vector<std::string>{"The PCI Templates key does not exist.",
                                                    "The PCI Parameters key does not exist.",
                                                    "The ISA Parameters key does not exist."}));
    std::vector<std::string> types;
    for (const auto& record : kernel.eventLog().records())
        types.push_back(record.type());
    EXPECT_EQ(types, (std::vector<std::string>{"Error", "Information", "Information"}));
}

TEST_F(RegistryTest, AnAllocationFailureAtAnyPointLosesNothingAndLeaksNothing) {
    const std::string body = kTemplate + R"(
[S\Parameters\Bus5\Card1]
"VendorID"=dword:000010b5
"DeviceID"=dword:00000021
"nBus"=dword:0
"nSlot"=dword:3
[S\Parameters\Bus5\Card1\ComPort1]
[S\Parameters\Bus1\Card1]
"ClockFrequency"=dword:001c2000
[S\Parameters\Bus1\Card1\ComPort1]
"BaseAddress"=dword:00000300
"BaseAddressRange"=dword:8
"BaseAddressAlignment"=dword:8
"nCom"=dword:5
)";
    Load(body);
    baseline = kernel.pool().liveCount("CvNt");
    ASSERT_EQ(GetRegistrySettings(&servicePath, &pci, &isa), STATUS_SUCCESS);
    DeleteRegistrySettings(&pci, &isa);
    const uint64_t allocations = kernel.pool().allocationCount();
    ASSERT_EQ(GetRegistrySettings(&servicePath, &pci, &isa), STATUS_SUCCESS);
    const uint64_t perRead = kernel.pool().allocationCount() - allocations;
    DeleteRegistrySettings(&pci, &isa);
    ASSERT_GT(perRead, 10u);

    int severe = 0, emptied = 0;
    for (uint64_t n = 1; n <= perRead; ++n) {
        kernel.eventLog().clear();
        kernel.pool().failNth(n, "CvNt");
        NTSTATUS status = GetRegistrySettings(&servicePath, &pci, &isa);
        kernel.pool().clearFailures();
        if (status == CV_STATUS_SEVERE) {
            ++severe;
            EXPECT_EQ(pci.pTemplatesCardList, nullptr) << "a severe failure leaves no list";
        } else {
            ASSERT_EQ(status, STATUS_SUCCESS) << "allocation " << n;
            // A branch that lost an allocation is empty and says so (a card that lost one inside its
            // ports is dropped silently); nothing else is reported.
            auto messages = Messages();
            auto said = [&](const std::string& m) {
                return std::find(messages.begin(), messages.end(), m) != messages.end();
            };
            EXPECT_EQ(
                Templates().empty(),
                said("The registry information from the PCI Templates key could not be read correctly."))
                << "allocation " << n;
            if (PciCards().size() + IsaCards().size() + Templates().size() < 3)
                ++emptied;
            for (const auto& m : messages)
                EXPECT_NE(m.find("could not be read correctly"), std::string::npos) << m;
            if (!PciCards().empty()) {
                EXPECT_EQ(Ports(PciCards()[0]).size(), 1u);
            }
            if (!IsaCards().empty()) {
                EXPECT_EQ(Ports(IsaCards()[0]).size(), 1u);
            }
        }
        DeleteRegistrySettings(&pci, &isa);
        ASSERT_EQ(kernel.pool().liveCount("CvNt"), baseline) << "allocation " << n;
    }
    EXPECT_GT(severe, 0);
    EXPECT_GT(emptied, 0);
}

} // namespace
