// CvPci's port property sheet driven as a person would, and what the machine shows afterwards: a new
// COM number that the restarted driver really uses, the line settings Windows keeps for the port, the
// FIFO values of the Advanced Settings dialog, another driver's port, and a user who is no
// administrator.
#include "applet_fixture.h"

#include "sim/mainjob.h"

namespace {

using cvtest::Applet;
using cvtest::kCvNt;
using cvtest::kPorts;

const std::string kPciPort1 = kCvNt + "Parameters\\Bus5\\Card1\\ComPort1";
const std::string kCurrentPciPort1 = kCvNt + "CurrentConfig\\Bus5\\Card1\\ComPort1";
constexpr int kCom3Row = 2;

// The built-in machine with CvNt running and the applet open.
struct Running : Applet {
    explicit Running(const std::string& extraRegistry = "") : Applet(extraRegistry) {
        EXPECT_EQ(startDriver(), 0u);
        open();
    }
};

TEST(CvPciSheet, NewComNumberRestartsTheDriverAndThePortAnswersUnderIt) {
    Running a;
    a.openRow(kCom3Row);
    ASSERT_EQ(a.caption(), "Settings for communications port  COM3");
    EXPECT_EQ(a.selected("1023"), "COM3 (Auto)");
    EXPECT_EQ(a.control("1024").text, "Corvane PCI 4-port 16C950\nFirmware revision 1");
    EXPECT_EQ(a.control("1026").text, "CvNt.sys");
    EXPECT_FALSE(a.control("1043").visible);
    // Neither the other driver's COM1 and COM2 nor the ISA card's fixed COM5 and COM6 are offered.
    auto offered = a.items("1023");
    EXPECT_EQ(offered.front(), "COM3 (Auto)");
    EXPECT_EQ(offered.size(), 255u - 4u);
    EXPECT_EQ(std::find(offered.begin(), offered.end(), "COM5"), offered.end());
    EXPECT_NE(std::find(offered.begin(), offered.end(), "COM4"), offered.end())
        << "COM4 is numbered by the driver";

    a.choose("1023", "COM9");
    EXPECT_TRUE(a.control("12321").enabled) << "Apply follows the change";
    a.answer(IDOK);
    a.click("OK");
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_EQ(a.boxes()[0].caption, "Warning : Change may affect modems.");
    EXPECT_EQ(a.boxes()[0].icon, "exclamation");
    EXPECT_EQ(a.dword(kPciPort1, "nCom"), 9u);
    EXPECT_EQ(a.dword(kPciPort1, "Disable"), 0u);
    EXPECT_EQ(a.dword(kPciPort1, "AdminOnly"), 0u);
    EXPECT_EQ(a.dword(kCvNt + "Parameters\\Bus5\\Card1", "DeviceID"), 0x20u);
    // Every PCI port the driver published has a Parameters key after the sheet.
    for (int port = 2; port <= 4; ++port)
        EXPECT_TRUE(a.registry().exists(kCvNt + "Parameters\\Bus5\\Card1\\ComPort" + std::to_string(port)));

    a.wait();
    EXPECT_TRUE(a.published("COM9"));
    EXPECT_EQ(a.dword(kCurrentPciPort1, "nCom"), 9u);
    EXPECT_EQ(a.rows().back(), "COM9|Corvane PCI 4-port 16C950|PCI|1|4|0");
    // The first UART of the PCI card answers as COM9: bytes go from it to the ISA card's COM5.
    std::string report;
    EXPECT_TRUE(sim::runTraffic(*a.machine, {"COM9", "COM5", 0xE000, 0x300, 115200, 64}, report)) << report;

    // "(Auto)" gives the number back: nCom goes and the driver numbers the port itself again.
    a.openRow(a.rows().size() - 1);
    EXPECT_EQ(a.items("1023").front(), "(Auto)");
    EXPECT_EQ(a.selected("1023"), "COM9");
    a.choose("1023", "(Auto)");
    a.answer(IDOK);
    a.click("OK");
    a.wait();
    EXPECT_FALSE(a.dword(kPciPort1, "nCom").has_value());
    EXPECT_FALSE(a.published("COM9"));
    EXPECT_EQ(a.dword(kCurrentPciPort1, "nCom"), 3u);
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciSheet, ClosingWithoutAChangeRestartsNothing) {
    Running a;
    const auto events = a.kernel().eventLog().records().size();
    a.openRow(kCom3Row);
    a.click("OK");
    a.wait();
    EXPECT_TRUE(a.boxes().empty());
    EXPECT_EQ(a.kernel().eventLog().records().size(), events) << "a restart logs the driver's load";
    EXPECT_FALSE(a.dword(kPciPort1, "nCom").has_value());
    EXPECT_EQ(a.caption(), "Corvane for Windows NT");
}

struct PortsCase {
    const char* value;
    const char* baud;
    const char* data;
    const char* parity;
    const char* stop;
    const char* flow;
};

TEST(CvPciSheet, PortSettingsReadTheWindowsPortsValue) {
    const PortsCase cases[] = {{"9600,n,8,1", "9600", "8", "None", "1", "None"},
                               {"9600,e,7,1.5,x", "9600", "7", "Even", "1.5", "Xon/Xoff"},
                               {"19200,n,8,2,p", "19200", "8", "None", "2", "Hardware"},
                               {"115200,o,5,1", "115200", "5", "Odd", "1", "None"},
                               {"garbage", "", "", "", "", ""},
                               {"1,2,3", "", "", "", "", ""}};
    for (const auto& c : cases) {
        SCOPED_TRACE(c.value);
        Running a;
        a.registry().setString(kPorts, "COM3:", c.value);
        a.openRow(kCom3Row);
        a.tab("Port Settings");
        EXPECT_EQ(a.selected("1031"), c.baud);
        EXPECT_EQ(a.selected("1032"), c.data);
        EXPECT_EQ(a.selected("1033"), c.parity);
        EXPECT_EQ(a.selected("1034"), c.stop);
        EXPECT_EQ(a.selected("1035"), c.flow);
        EXPECT_EQ(a.items("1035"), (std::vector<std::string>{"Hardware", "None", "Xon/Xoff"}));
        EXPECT_TRUE(a.enabled("&Advanced..."));
        a.click("Cancel");
    }
}

TEST(CvPciSheet, PortSettingsWriteTheFirstLetterOfEachChoice) {
    Running a;
    a.registry().setString(kPorts, "COM3:", "9600,e,7,1.5,x");
    a.openRow(kCom3Row);
    a.tab("Port Settings");
    a.choose("1033", "None");
    a.click("&Apply");
    EXPECT_EQ(a.string(kPorts, "COM3:"), "9600,N,7,1.5,x");
    a.choose("1031", "57600");
    a.choose("1035", "Hardware");
    a.choose("1034", "2");
    a.click("OK");
    EXPECT_EQ(a.string(kPorts, "COM3:"), "57600,N,7,2,p");

    // A value that cannot be read: apply writes the defaults for the lists without a selection.
    a.wait();
    a.registry().removeValue(kPorts, "COM4:");
    a.openRow(kCom3Row + 1);
    a.tab("Port Settings");
    a.choose("1032", "7");
    a.click("OK");
    EXPECT_EQ(a.string(kPorts, "COM4:"), "9600,n,7,1");
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciSheet, RestoreDefaultsSelectsTheDefaultsAndWritesTheLevelsAtOnce) {
    Running a;
    a.registry().setString(kPorts, "COM3:", "19200,e,7,2,p");
    a.registry().setDword(kPciPort1, "DisableFifo", 1);
    a.openRow(kCom3Row);
    a.tab("Port Settings");
    a.click("&Restore Defaults");
    EXPECT_EQ(a.selected("1031"), "9600");
    EXPECT_EQ(a.selected("1033"), "None");
    EXPECT_EQ(a.selected("1032"), "8");
    EXPECT_EQ(a.selected("1034"), "1");
    EXPECT_EQ(a.selected("1035"), "None");
    EXPECT_EQ(a.dword(kPciPort1, "SoftTxLimit"), 75u);
    EXPECT_EQ(a.dword(kPciPort1, "RxTriggerLevel"), 50u);
    EXPECT_EQ(a.dword(kPciPort1, "DisableFifo"), 1u) << "the FIFO switch is not a level";
    a.click("Cancel");
    EXPECT_EQ(a.string(kPorts, "COM3:"), "19200,e,7,2,p") << "the line settings wait for Apply";
    EXPECT_EQ(a.dword(kPciPort1, "SoftTxLimit"), 75u) << "Cancel does not take back what was written";
}

TEST(CvPciSheet, AdvancedSettingsWriteExactlyWhatChanged) {
    Running a;
    a.openRow(kCom3Row);
    a.tab("Port Settings");
    a.click("&Advanced...");
    ASSERT_EQ(a.caption(), "Advanced Settings");
    EXPECT_TRUE(a.checked("1122"));
    EXPECT_FALSE(a.enabled("1047")) << "no port is RS-485 capable";
    EXPECT_TRUE(a.checked("1048"));
    const int tx = a.control("1123").range->pos, rx = a.control("1124").range->pos;
    a.slide("1123", 0);
    a.click("OK");
    EXPECT_EQ(a.dword(kPciPort1, "SoftTxLimit"), 1u) << "0 is written as 1";
    EXPECT_FALSE(a.dword(kPciPort1, "RxTriggerLevel").has_value()) << "unchanged";
    EXPECT_FALSE(a.dword(kPciPort1, "DisableFifo").has_value()) << "unchanged";
    EXPECT_FALSE(a.dword(kPciPort1, "HalfDuplex").has_value());
    EXPECT_TRUE(a.dword(kPciPort1, "TxTriggerLevel").has_value()) << "always written with its value";

    a.click("&Advanced...");
    EXPECT_EQ(a.control("1123").range->pos, 1);
    EXPECT_EQ(a.control("1124").range->pos, rx);
    // Cancel writes nothing.
    a.slide("1124", 90);
    a.click("Cancel");
    EXPECT_FALSE(a.dword(kPciPort1, "RxTriggerLevel").has_value());

    // Enable Fifos unchecked: the sliders and their labels go grey, and only the switch is written.
    a.click("&Advanced...");
    a.click("1122");
    for (const char* id : {"1123", "1124", "1125", "1126", "1127", "1128", "1129", "1130"})
        EXPECT_FALSE(a.enabled(id)) << id;
    a.click("OK");
    EXPECT_EQ(a.dword(kPciPort1, "DisableFifo"), 1u);
    EXPECT_EQ(a.dword(kPciPort1, "SoftTxLimit"), 1u);
    EXPECT_FALSE(a.dword(kPciPort1, "RxTriggerLevel").has_value());
    EXPECT_NE(tx, 1);

    // The changes restart the driver when the sheet closes.
    a.click("OK");
    a.wait();
    EXPECT_EQ(a.dword(kCurrentPciPort1, "SoftTxLimit"), 1u);
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciSheet, SliderPositionsFallBackWhenTheLevelsAreOutOfRange) {
    Applet a;
    ASSERT_EQ(a.startDriver(), 0u);
    // What the driver reported, as the applet reads it: a level outside 0 to 100 and one missing.
    a.registry().setDword(kCurrentPciPort1, "SoftTxLimit", 250);
    a.registry().removeValue(kCurrentPciPort1, "RxTriggerLevel");
    a.open();
    a.openRow(kCom3Row);
    a.tab("Port Settings");
    a.click("&Advanced...");
    EXPECT_EQ(a.control("1123").range->pos, 75);
    EXPECT_EQ(a.control("1124").range->pos, 50);
    a.click("OK");
    EXPECT_EQ(a.dword(kPciPort1, "SoftTxLimit"), 75u) << "250 differs from the position shown";
    EXPECT_EQ(a.dword(kPciPort1, "RxTriggerLevel"), 50u) << "so does an unset level";
}

TEST(CvPciSheet, AnotherDriversPortOffersOnlyItsLineSettings) {
    Running a;
    const std::string before = a.registry().saveText(kCvNt + "Parameters");
    a.openRow(0);
    ASSERT_EQ(a.caption(), "Settings for communications port  COM1");
    EXPECT_TRUE(a.control("1025").visible);
    EXPECT_FALSE(a.control("1022").visible);
    EXPECT_EQ(a.items("1023"), std::vector<std::string>{"COM1"});
    EXPECT_EQ(a.control("1024").text, "Communications Port\nFirmware revision N/A");
    a.tab("Port Settings");
    EXPECT_FALSE(a.enabled("&Advanced..."));
    a.choose("1031", "19200");
    a.tab("Resources");
    EXPECT_FALSE(a.enabled("Port"));
    EXPECT_FALSE(a.enabled("Card"));
    a.click("&Apply");
    EXPECT_EQ(a.string(kPorts, "COM1:"), "19200,n,8,1");
    EXPECT_EQ(a.registry().saveText(kCvNt + "Parameters"), before);
    a.click("OK");
    a.wait();
    EXPECT_TRUE(a.boxes().empty());
}

TEST(CvPciSheet, ResourcesShowThePortAndTheCard) {
    Running a;
    a.openRow(kCom3Row);
    a.tab("Resources");
    EXPECT_EQ(a.control("1044").text, "PCI");
    EXPECT_EQ(a.control("1046").text, "4");
    EXPECT_EQ(a.control("1040").text, "1");
    EXPECT_TRUE(a.checked("Port"));
    auto texts = [&] {
        std::vector<std::string> out;
        for (const auto& row : a.control("1039").listView->rows)
            out.push_back(row.texts[0] + ": " + row.texts[1]);
        return out;
    };
    EXPECT_EQ(texts(),
              (std::vector<std::string>{"Interrupt Request: 11", "Input/Output Range: E000 - E007"}));
    a.click("Card");
    // The card's claim: its UART window, its bridge registers and its interrupt, last first.
    auto card = texts();
    EXPECT_GE(card.size(), 3u);
    EXPECT_NE(std::find(card.begin(), card.end(), "Input/Output Range: E000 - E01F"), card.end());
    EXPECT_NE(std::find(card.begin(), card.end(), "Interrupt Request: 11"), card.end());
    a.click("Cancel");
}

TEST(CvPciSheet, AUserWithoutAdministratorRightsChangesNothing) {
    Applet a;
    ASSERT_EQ(a.startDriver(), 0u);
    a.desktop().setAdministrator(false);
    a.open();
    const std::string before = a.registry().saveText(kCvNt + "Parameters");
    a.openRow(kCom3Row);
    EXPECT_FALSE(a.enabled("1023"));
    a.tab("Port Settings");
    a.click("&Restore Defaults");
    a.click("&Advanced...");
    a.slide("1123", 10);
    a.click("OK");
    a.click("OK");
    a.wait();
    EXPECT_EQ(a.registry().saveText(kCvNt + "Parameters"), before);
    EXPECT_TRUE(a.boxes().empty()) << "no restart is tried";
    EXPECT_TRUE(a.published("COM3"));
}

} // namespace
