// What CvPci does to the driver's configuration as a whole, driven as a person would: the ISA card wizard
// (its proposals, its checks, the card it writes and that CvNt then runs), the deletion of a card, and
// the restart of the driver when a port is held open or the service is not running.
#include "applet_fixture.h"

#include "sim/mainjob.h"

#include "platform/nt/userio.h"

namespace {

using cvtest::Applet;
using cvtest::kCvNt;
using cvtest::kSerialComm;

const std::string kIsa = kCvNt + "Parameters\\Bus1\\";

// Card templates for the wizard: the configuration block's words are, in order, the ports' IRQ mask, the
// shared IRQ mask, an unused word, the status register's offset from the bank, and the four ports'
// jumper masks (bit k: COM(k+1), bit 15: BANK).
std::string Template(const std::string& key, const std::string& description, int ports,
                     std::vector<uint16_t> words) {
    std::string hex;
    for (uint16_t w : words) {
        char text[16];
        std::snprintf(text, sizeof text, "%s%02x,%02x", hex.empty() ? "" : ",", w & 0xFF, w >> 8);
        hex += text;
    }
    char ports_[16];
    std::snprintf(ports_, sizeof ports_, "%08x", ports);
    return "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt\\Templates\\Bus1\\" + key +
           "]\n\"Description\"=\"" + description +
           "\"\n\"DeviceID\"=dword:00000041\n\"nComPorts\"=dword:" + ports_ + "\n\"ConfigData\"=hex:" + hex +
           "\n\n";
}

constexpr uint16_t kBank = 0x8000;
// Four ports on a bank, IRQs 3, 4, 5, 7, 10, 11, 12 and 15 each, a shared IRQ of 10, 11 or 12 and the
// status register 40 above the bank.
const std::string kBanked =
    Template("Banked", "Corvane ISA 4-port", 4, {0x9CB8, 0x1C00, 0, 0x40, kBank, kBank, kBank, kBank});
const std::string kSisrPlus8 =
    Template("Sisr8", "Corvane ISA SISR+8", 4, {0x0400, 0x0400, 0, 8, kBank, kBank, kBank, kBank});
const std::string kTwoJumpered = Template("Jumpered", "Corvane ISA 2-port", 2, {0x18, 0, 0, 0, 0x07, 0x07});
const std::string kOneJumper =
    Template("OneJumper", "Corvane ISA one jumper", 2, {0x18, 0, 0, 0, 0x01, 0x01});
const std::string kSeven =
    Template("Seven", "Corvane ISA 7-port", 7, {0x18, 0, 0, 0, kBank, kBank, kBank, kBank});
const std::string kTemplates = kBanked + kSisrPlus8 + kTwoJumpered + kOneJumper + kSeven;

// The banked card's hardware: four 16550 UARTs at 280 with their status register at 2C0 on IRQ 10.
const char kBankedCard[] = R"(isa-card clock=1843200 sisr=2C0 irq=10
uart address=280 uart=16550
uart address=288 uart=16550
uart address=290 uart=16550
uart address=298 uart=16550
)";

// Opens the wizard (its Add button is disabled by the template, so a test tool sends its command) and
// goes to the card settings of `card`.
void ToCardSettings(Applet& a, const std::string& card) {
    a.command("&Add...");
    ASSERT_EQ(a.caption(), "Add an ISA Card");
    ASSERT_EQ(a.page(), "Select a card");
    a.choose("1050", card);
    a.click("&Next >");
    ASSERT_EQ(a.page(), "Card Settings");
}

void UseSerialComm(Applet& a, const std::vector<std::string>& coms) {
    a.registry().removeTree(kSerialComm);
    a.registry().create(kSerialComm);
    for (size_t i = 0; i < coms.size(); ++i)
        a.registry().setString(kSerialComm, "Serial" + std::to_string(i), coms[i]);
}

TEST(CvPciWizard, ProposesTheFirstGapWideEnoughForTheCard) {
    struct Case {
        std::vector<std::string> used;
        const char* card;
        const char* proposal;
    } cases[] = {{{"COM1", "COM2", "COM3", "COM10"}, "Corvane ISA 4-port", "COM4"},
                 {{"COM1", "COM2", "COM3", "COM10"}, "Corvane ISA 7-port", "COM11"},
                 {{"COM10", "COM3", "COM1", "COM2"}, "Corvane ISA 2-port", "COM4"},
                 {{"COM5"}, "Corvane ISA 4-port", "COM6"},
                 {{}, "Corvane ISA 4-port", "COM1"}};
    for (const auto& c : cases) {
        SCOPED_TRACE(std::string(c.card) + " after " + std::to_string(c.used.size()) + " ports");
        Applet a(kTemplates);
        UseSerialComm(a, c.used);
        a.open();
        ToCardSettings(a, c.card);
        EXPECT_EQ(a.selected("1105"), c.proposal);
        EXPECT_EQ(a.items("1105").size(), 256u);
    }
}

TEST(CvPciWizard, RefusesBadAddressesAndBaseNumbersWithTheirMessages) {
    Applet a(kTemplates);
    a.open();
    ToCardSettings(a, "Corvane ISA 4-port");
    // The status register follows a bad bank address, so its own check fails after the bank's.
    for (const char* bad : {"2A4", "FF", "400", "", "zz"}) {
        SCOPED_TRACE(bad);
        a.type("1106", bad);
        a.answer(IDOK);
        a.answer(IDOK);
        const size_t before = a.boxes().size();
        a.click("&Next >");
        ASSERT_EQ(a.boxes().size(), before + 2);
        EXPECT_EQ(a.boxes()[before].caption, "Bank Address Setting");
        EXPECT_EQ(a.boxes()[before].icon, "stop");
        EXPECT_EQ(a.boxes()[before + 1].caption, "SISR Address Setting");
        EXPECT_EQ(a.page(), "Card Settings") << "the page stays";
    }
    a.type("1106", "2A0");
    EXPECT_EQ(a.control("1060").text, "2E0") << "the status register follows the bank";
    a.click("&Next >");
    EXPECT_EQ(a.page(), "Confirm your settings");
    a.click("< &Back");
    // Closing the wizard restarts the driver, which is not running here.
    a.answer(IDCANCEL);
    a.click("&Cancel");
    EXPECT_EQ(a.boxes().back().caption, "Driver Restart");
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciWizard, BaseNumberTooHighForTheCardsPorts) {
    Applet a(kTemplates);
    a.open();
    ToCardSettings(a, "Corvane ISA 2-port");
    a.choose("1105", "COM256");
    a.answer(IDOK);
    a.click("&Next >");
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_EQ(a.boxes()[0].caption, "Base Com Setting");
    EXPECT_EQ(a.page(), "Card Settings");
    a.choose("1105", "COM254");
    a.click("&Next >");
    EXPECT_EQ(a.page(), "Confirm your settings");
    EXPECT_EQ(a.control("1143").text,
              "Port 1 - COM254 - Address 3f8, IRQ 3\nPort 2 - COM255 - Address 2f8, IRQ 3\n");
}

TEST(CvPciWizard, JumperPositionsAreTakenByOnePortAtMost) {
    Applet a(kTemplates);
    a.open();
    ToCardSettings(a, "Corvane ISA 2-port");
    // Column 1's COMk is 1059 - k, column 2's 1075 - k. Port 1 took COM1, port 2 the next free, COM2.
    EXPECT_TRUE(a.checked("1058"));
    EXPECT_TRUE(a.checked("1073"));
    EXPECT_FALSE(a.enabled("1074")) << "COM1 is port 1's";
    EXPECT_FALSE(a.enabled("1057")) << "COM2 is port 2's";
    EXPECT_FALSE(a.control("1051").visible) << "COM8 is not a position of this card";
    EXPECT_FALSE(a.control("1125").visible) << "nor is BANK";
    EXPECT_FALSE(a.enabled("1106")) << "no bank address without BANK";
    EXPECT_FALSE(a.enabled("1102")) << "no shared interrupt";
    a.click("1056"); // port 1 moves to COM3
    EXPECT_TRUE(a.enabled("1074")) << "COM1 is free again";
    EXPECT_FALSE(a.enabled("1072")) << "COM3 is port 1's now";
    a.click("&Next >");
    // COM1 and COM2 are the machine's own ports: the card's numbers start at COM3.
    EXPECT_EQ(a.control("1143").text,
              "Port 1 - COM3 - Address 3e8, IRQ 3\nPort 2 - COM4 - Address 2f8, IRQ 3\n");
}

TEST(CvPciWizard, APortWithoutAnyJumperPositionIsAskedFor) {
    Applet a(kTemplates);
    a.open();
    ToCardSettings(a, "Corvane ISA one jumper");
    EXPECT_TRUE(a.checked("1058"));
    EXPECT_FALSE(a.checked("1074")) << "port 2's only position is port 1's";
    a.answer(IDOK);
    a.click("&Next >");
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_EQ(a.boxes()[0].text, "Please select a jumper setting for serial port 2.");
    EXPECT_EQ(a.page(), "Card Settings");
}

TEST(CvPciWizard, MoreThanFourPortsIsAnInternalError) {
    Applet a(kTemplates);
    a.open();
    ToCardSettings(a, "Corvane ISA 7-port");
    a.type("1106", "280");
    a.answer(IDOK);
    a.click("&Next >");
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_EQ(a.boxes()[0].caption, "ISA Card Settings");
    EXPECT_EQ(a.page(), "Card Settings");
}

TEST(CvPciWizard, StatusRegisterAtItsOffsetFromTheBank) {
    Applet a(kTemplates);
    a.open();
    ToCardSettings(a, "Corvane ISA SISR+8");
    a.type("1106", "280");
    EXPECT_EQ(a.control("1060").text, "288");
    EXPECT_FALSE(a.enabled("1060")) << "the offset fixes it";
    EXPECT_FALSE(a.enabled("1102")) << "a single shared IRQ is no choice";
    // Its status register is written all the same.
    a.click("&Next >");
    EXPECT_EQ(a.control("1143").text.substr(a.control("1143").text.size() - 38),
              "Shared IRQ 10\nSISR Address Address 288");
    a.answer(IDCANCEL); // the restart: the driver is not running here
    a.click("Finish");
    EXPECT_EQ(a.dword(kIsa + "Card2", "SisrAddress"), 0x288u);
    EXPECT_EQ(a.dword(kIsa + "Card2", "InterruptLevel"), 10u);
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciWizard, FinishWritesTheCardAndTheRestartedDriverRunsIt) {
    Applet a(kTemplates, kBankedCard);
    ASSERT_EQ(a.startDriver(), 0u);
    a.open();
    ToCardSettings(a, "Corvane ISA 4-port");
    EXPECT_EQ(a.control("1063").text, "Please enter the settings from your ISA Card Corvane ISA 4-port");
    EXPECT_EQ(a.selected("1105"), "COM9");
    EXPECT_EQ(a.selected("1059"), "Sh");
    EXPECT_EQ(a.selected("1102"), "10");
    a.type("1106", "280");
    EXPECT_EQ(a.control("1060").text, "2C0");
    a.click("&Next >");
    ASSERT_EQ(a.page(), "Confirm your settings");
    EXPECT_EQ(a.control("1144").text, "Corvane ISA 4-port");
    EXPECT_EQ(a.control("1143").text, "Port 1 - COM9 - Address 280, IRQ Shared\n"
                                      "Port 2 - COM10 - Address 288, IRQ Shared\n"
                                      "Port 3 - COM11 - Address 290, IRQ Shared\n"
                                      "Port 4 - COM12 - Address 298, IRQ Shared\n"
                                      "Shared IRQ 10\n"
                                      "SISR Address Address 2c0");
    a.click("Finish");
    // One ISA card was there: the new one is Card2.
    const std::string card = kIsa + "Card2";
    EXPECT_EQ(a.dword(card, "DeviceID"), 0x41u);
    EXPECT_EQ(a.dword(card, "InterruptVector"), 10u);
    EXPECT_EQ(a.dword(card, "SisrAddress"), 0x2C0u);
    for (uint32_t i = 0; i < 4; ++i) {
        const std::string port = card + "\\ComPort" + std::to_string(i + 1);
        EXPECT_EQ(a.dword(port, "ComPortAddress"), 0x280 + 8 * i);
        EXPECT_EQ(a.dword(port, "nCom"), 9 + i);
        EXPECT_EQ(a.dword(port, "PortIndex"), i);
        EXPECT_FALSE(a.dword(port, "InterruptVector").has_value()) << "the port shares the card's";
    }
    a.wait();
    for (const char* com : {"COM9", "COM10", "COM11", "COM12", "COM3", "COM5"})
        EXPECT_TRUE(a.published(com)) << com;
    std::string report;
    EXPECT_TRUE(sim::runTraffic(*a.machine, {"COM12", "COM5", 0x298, 0x300, 115200, 256}, report)) << report;
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciWizard, ACardTheDriverCannotFindStopsItWithoutAMessage) {
    Applet a(kTemplates); // no hardware behind the card
    ASSERT_EQ(a.startDriver(), 0u);
    a.open();
    ToCardSettings(a, "Corvane ISA 4-port");
    a.type("1106", "280");
    a.click("&Next >");
    a.click("Finish");
    a.wait();
    // The driver refuses to load (no device); that refusal is not reported as a failed restart.
    EXPECT_FALSE(a.driverRunning());
    EXPECT_TRUE(a.boxes().empty());
}

TEST(CvPciDelete, CardOneOfThreeMovesTheOthersDownAndTheRestartDropsItsPorts) {
    const std::string extra =
        R"([HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card2]
"ClockFrequency"=dword:001c2000
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card2\ComPort1]
"BaseAddress"=dword:00000310
"BaseAddressRange"=dword:00000008
"BaseAddressAlignment"=dword:00000008
"InterruptLevel"=dword:00000009
"nCom"=dword:0000000a
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card3]
"ClockFrequency"=dword:001c2000
"Marker"=dword:00000003
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Parameters\Bus1\Card3\ComPort1]
"BaseAddress"=dword:00000318
"BaseAddressRange"=dword:00000008
"BaseAddressAlignment"=dword:00000008
"InterruptLevel"=dword:0000000a
"nCom"=dword:0000000b
)";
    Applet a(extra, "isa-card clock=1843200\nuart address=310 uart=16550 irq=9\n"
                    "isa-card clock=1843200\nuart address=318 uart=16550 irq=10\n");
    ASSERT_EQ(a.startDriver(), 0u);
    a.open();
    ASSERT_TRUE(a.published("COM10") && a.published("COM11"));
    a.selectRow(4); // COM5, card 1's first port
    ASSERT_TRUE(a.enabled("&Delete"));
    a.answer(IDYES);
    a.click("&Delete");
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_EQ(a.boxes()[0].caption, "Delete Card");
    EXPECT_EQ(a.boxes()[0].buttons, (std::vector<std::string>{"Yes", "No"}));
    EXPECT_FALSE(a.enabled("&Delete"));
    EXPECT_EQ(a.dword(kIsa + "Card1\\ComPort1", "BaseAddress"), 0x310u);
    EXPECT_FALSE(a.registry().exists(kIsa + "Card1\\ComPort2")) << "card 1's own subkeys went";
    EXPECT_EQ(a.dword(kIsa + "Card2\\ComPort1", "BaseAddress"), 0x318u);
    EXPECT_EQ(a.dword(kIsa + "Card2", "Marker"), 3u);
    EXPECT_FALSE(a.registry().exists(kIsa + "Card3"));
    a.wait();
    // The driver no longer runs the UARTs at 300 and 308; the PCI card's ports took the free numbers.
    const std::string current = a.registry().saveText(kCvNt + "CurrentConfig");
    EXPECT_EQ(current.find("\"ComPortAddress\"=dword:00000300"), std::string::npos) << current;
    EXPECT_EQ(current.find("\"ComPortAddress\"=dword:00000308"), std::string::npos) << current;
    EXPECT_EQ(a.dword(kCvNt + "CurrentConfig\\Bus1\\Card1\\ComPort1", "ComPortAddress"), 0x310u);
    EXPECT_TRUE(a.published("COM10"));
    EXPECT_TRUE(a.published("COM11"));
    EXPECT_EQ(a.rows().size(), 8u);
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciDelete, NoKeepsTheCard) {
    Applet a;
    ASSERT_EQ(a.startDriver(), 0u);
    a.open();
    const std::string before = a.registry().saveText(kCvNt + "Parameters");
    a.selectRow(5);
    a.answer(IDNO);
    a.click("&Delete");
    a.wait();
    EXPECT_EQ(a.registry().saveText(kCvNt + "Parameters"), before);
    EXPECT_TRUE(a.published("COM6"));
}

TEST(CvPciRestart, AnOpenPortAsksToRetryAndRetryAfterClosingItRestarts) {
    Applet a;
    ASSERT_EQ(a.startDriver(), 0u);
    std::unique_ptr<nt::UserFile> held;
    {
        nt::KernelScope scope(a.kernel());
        ASSERT_EQ(nt::UserFile::open(a.kernel(), "COM4", held), STATUS_SUCCESS);
    }
    a.open();
    a.openRow(2);
    a.choose("1023", "COM9");
    a.answer(IDOK);                            // the modem warning
    a.answer(IDRETRY, [&] { held->close(); }); // the application is closed, then Retry
    a.click("OK");
    ASSERT_EQ(a.boxes().size(), 2u);
    const auto& box = a.boxes()[1];
    EXPECT_EQ(box.caption, "Driver Restart");
    EXPECT_EQ(box.icon, "stop");
    EXPECT_EQ(box.buttons, (std::vector<std::string>{"Retry", "Cancel"}));
    EXPECT_EQ(box.text.substr(0, 45), "The Corvane NT driver could not be restarted.");
    EXPECT_NE(box.text.find("Error Code  1052"), std::string::npos) << box.text;
    a.wait();
    EXPECT_TRUE(a.driverRunning());
    EXPECT_TRUE(a.published("COM9"));
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciRestart, CancelLeavesTheDriverAsItWas) {
    Applet a;
    ASSERT_EQ(a.startDriver(), 0u);
    std::unique_ptr<nt::UserFile> held;
    {
        nt::KernelScope scope(a.kernel());
        ASSERT_EQ(nt::UserFile::open(a.kernel(), "COM4", held), STATUS_SUCCESS);
    }
    a.open();
    a.click("&View...");
    a.click("&Refresh");
    a.answer(IDCANCEL);
    a.click("OK");
    a.wait();
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_TRUE(a.driverRunning());
    EXPECT_TRUE(a.published("COM4"));
    nt::KernelScope scope(a.kernel());
    EXPECT_EQ(held->close(), STATUS_SUCCESS);
}

TEST(CvPciRestart, AStoppedServiceShowsTheBoxAndStartsNothing) {
    Applet a;
    a.open();
    a.click("&View...");
    a.click("&Refresh");
    a.answer(IDCANCEL);
    a.click("OK");
    a.wait();
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_EQ(a.boxes()[0].caption, "Driver Restart");
    EXPECT_NE(a.boxes()[0].text.find("Error Code  1062"), std::string::npos) << a.boxes()[0].text;
    EXPECT_FALSE(a.driverRunning());
    EXPECT_EQ(a.serialComm(), (std::vector<std::string>{"COM1", "COM2"}));
    EXPECT_EQ(a.rows().size(), 2u) << "the list is read again after the restart";
}

} // namespace
