// CvPci's port list as a person sees it: what the Control Panel learns of the applet, the rows of the
// built-in machine, SERIALCOMM entries that are not what they seem, the Delete rule, the View and About
// dialogs, and a port of another driver with its resources.
#include "applet_fixture.h"

#include <cstring>

namespace {

using cvtest::Applet;
using cvtest::kCvNt;
using cvtest::kMachine;
using cvtest::kSerialComm;

// A resource list with one full descriptor of one I/O range and one interrupt, as a serial driver claims.
std::vector<uint8_t> ResourceList(uint32_t interfaceType, uint32_t busNumber, uint32_t port, uint32_t irq) {
    std::vector<uint8_t> out;
    auto put = [&](uint64_t value, size_t size) {
        for (size_t i = 0; i < size; ++i)
            out.push_back(static_cast<uint8_t>(value >> (8 * i)));
    };
    put(1, 4); // full descriptors
    put(interfaceType, 4);
    put(busNumber, 4);
    put(1, 2), put(1, 2), put(2, 4);                          // version, revision, partial descriptors
    put(1, 1), put(1, 1), put(1, 2), put(port, 8), put(8, 4); // I/O: start, length
    put(2, 1), put(1, 1), put(0, 2), put(irq, 4), put(irq, 4), put(0xFFFFFFFF, 4); // level, vector, affinity
    return out;
}

TEST(CvPciPortList, ControlPanelLearnsOneAppletAndItsNames) {
    Applet a;
    win32::ControlPanelResult result;
    ASSERT_TRUE(
        a.desktop().start("Control Panel", [&] { result = win32::RunControlPanel("CvPci.cpl", -1); }));
    EXPECT_FALSE(a.desktop().programRunning());
    EXPECT_EQ(result.names, std::vector<std::string>{"Corvane"});
    EXPECT_EQ(result.infos, std::vector<std::string>{"Corvane for Windows NT Control Panel Applet"});
    EXPECT_FALSE(result.opened);
}

TEST(CvPciPortList, DefaultMachineListsEveryPortWithItsCardAndTheDeleteRule) {
    Applet a;
    ASSERT_EQ(a.startDriver(), 0u);
    a.open();
    const std::vector<std::string> expected = {
        "COM1|Communications Port|ISA|N/A|N/A|0",   "COM2|Communications Port|ISA|N/A|N/A|0",
        "COM3|Corvane PCI 4-port 16C950|PCI|1|4|0", "COM4|Corvane PCI 4-port 16C950|PCI|2|4|0",
        "COM5|Communications Port|ISA|1|N/A|0",     "COM6|Communications Port|ISA|2|N/A|0",
        "COM7|Corvane PCI 4-port 16C950|PCI|3|4|0", "COM8|Corvane PCI 4-port 16C950|PCI|4|4|0"};
    EXPECT_EQ(a.rows(), expected);
    const auto& list = *a.control("1000").listView;
    ASSERT_EQ(list.columns.size(), 6u);
    std::vector<std::string> headers;
    for (const auto& column : list.columns)
        headers.push_back(column.header);
    EXPECT_EQ(headers, (std::vector<std::string>{"Name", "Card", "Bus", "Port No", "Slot No", "Bus No"}));
    for (size_t i = 0; i < expected.size(); ++i) {
        EXPECT_EQ(a.row(i).data, static_cast<LPARAM>(i)) << "item data is the slot, COM number - 1";
        EXPECT_EQ(a.row(i).image, i < 2 ? 0 : 1) << "the other driver's ports have image 0";
    }
    EXPECT_FALSE(a.enabled("&Delete"));
    EXPECT_FALSE(a.enabled("&Add...")) << "the template creates Add disabled";
    EXPECT_FALSE(a.control("1006").visible);

    a.selectRow(4); // COM5: a CvNt port on the ISA bus
    EXPECT_TRUE(a.enabled("&Delete"));
    a.selectRow(2); // COM3: PCI
    EXPECT_FALSE(a.enabled("&Delete"));
    a.selectRow(4);
    a.selectRow(0); // COM1: another driver's
    EXPECT_FALSE(a.enabled("&Delete"));
    // A key moves the selection as the list view does; the applet applies its rule when the key is
    // pressed, before the list view moves on, so it judges the row the key left.
    a.selectRow(4);
    std::string error;
    EXPECT_TRUE(a.user.key("1000", VK_DOWN, error)) << error;
    EXPECT_EQ(a.row(5).state & LVIS_SELECTED, static_cast<UINT>(LVIS_SELECTED));
    EXPECT_TRUE(a.enabled("&Delete")) << "the rule judged COM5";
    EXPECT_TRUE(a.user.key("1000", VK_DOWN, error)) << error;
    EXPECT_TRUE(a.enabled("&Delete")) << "the rule judged COM6";
    EXPECT_TRUE(a.user.key("1000", VK_DOWN, error)) << error;
    EXPECT_FALSE(a.enabled("&Delete")) << "the rule judged COM7";
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciPortList, SerialCommEntriesThatDoNotParseAreLeftOutAndTheLaterDuplicateWins) {
    Applet a;
    nt::Registry& reg = a.registry();
    reg.removeTree(kSerialComm);
    reg.create(kSerialComm);
    const std::string kMap = kMachine + "HARDWARE\\RESOURCEMAP\\LOADED SERIAL DRIVER RESOURCES\\Other";
    reg.create(kMap);
    reg.setValue(kMap, "\\Device\\Serial7.Raw", REG_RESOURCE_LIST, ResourceList(2, 3, 0x2E8, 9));
    reg.setValue(kMap, "\\Device\\Serial9.Raw", REG_RESOURCE_LIST, ResourceList(20, 0, 0x2F0, 10));
    for (auto [name, data] : std::vector<std::pair<const char*, const char*>>{{"Serial12", "COM7"},
                                                                              {"\\Device\\Serial3", "COM8"},
                                                                              {"Serial012", "COM9"},
                                                                              {"Serial4", "COM1000"},
                                                                              {"Serial5", "COM0"},
                                                                              {"Serial6", "COM11"},
                                                                              {"Serial7", "COM11"},
                                                                              {"Serial9", "com20"},
                                                                              {"Serial10", "LPT1"}})
        reg.setString(kSerialComm, name, data);
    a.open();
    // COM11 comes from Serial7, the later entry: its resources say Eisa bus 3. A bus type without a name
    // in the list's table shows its number.
    EXPECT_EQ(a.rows(), (std::vector<std::string>{"COM7|Communications Port|N/A|N/A|N/A|N/A",
                                                  "COM11|Communications Port|Eisa|N/A|N/A|3",
                                                  "COM20|Communications Port|20|N/A|N/A|0"}));
    EXPECT_EQ(a.row(0).data, 6);
    EXPECT_EQ(a.row(0).image, 0);

    // The resources of another driver's port, on its Resources page.
    a.openRow(1);
    a.tab("Resources");
    EXPECT_EQ(a.control("1044").text, "Eisa");
    const auto& resources = a.control("1039").listView->rows;
    ASSERT_EQ(resources.size(), 2u);
    // Each row goes in at the top: the interrupt, added last, stands first.
    EXPECT_EQ(resources[0].texts, (std::vector<std::string>{"Interrupt Request", "9"}));
    EXPECT_EQ(resources[1].texts, (std::vector<std::string>{"Input/Output Range", "2E8 - 2EF"}));
    EXPECT_FALSE(a.enabled("1037"));
    EXPECT_FALSE(a.enabled("1038"));
    a.click("Cancel");
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciPortList, EmptySerialCommGivesAnEmptyListAndTheNoCardBox) {
    Applet a;
    a.registry().removeTree(kSerialComm);
    a.registry().create(kSerialComm);
    a.open();
    EXPECT_TRUE(a.rows().empty());
    a.answer(IDOK);
    std::string error;
    EXPECT_TRUE(a.user.key("1000", VK_DOWN, error)) << error;
    ASSERT_EQ(a.boxes().size(), 1u);
    EXPECT_EQ(a.boxes()[0].text, "No Card Installed");
    EXPECT_EQ(a.boxes()[0].buttons, (std::vector<std::string>{"OK", "Cancel"}));
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciPortList, ViewSwitchesIconsAndRefreshRestartsTheDriver) {
    Applet a;
    ASSERT_EQ(a.startDriver(), 0u);
    a.open();
    const HIMAGELIST small = a.control("1000").listView->small;
    a.click("&View...");
    ASSERT_EQ(a.caption(), "View Settings");
    EXPECT_TRUE(a.checked("1020")) << "small icons are the current choice";
    EXPECT_FALSE(a.checked("1156"));
    a.click("1019");
    a.click("OK");
    const HIMAGELIST large = a.control("1000").listView->small;
    EXPECT_NE(large, small);
    EXPECT_EQ(a.desktop().imageList(large)->cx, 32);

    // Refresh: the driver restarts (COM3 moves when its nCom was changed behind the applet's back).
    const std::string card = kCvNt + "Parameters\\Bus5\\Card1";
    for (auto [name, value] :
         {std::pair{"DeviceID", 0x20u}, {"VendorID", 0x10B5u}, {"nBus", 0u}, {"nSlot", 4u}})
        a.registry().setDword(card, name, value);
    a.registry().setDword(card + "\\ComPort1", "nCom", 12);
    a.click("&View...");
    EXPECT_TRUE(a.checked("1019"));
    a.click("&Refresh");
    a.click("OK");
    a.wait();
    EXPECT_TRUE(a.published("COM12"));
    EXPECT_EQ(a.rows().back(), "COM12|Corvane PCI 4-port 16C950|PCI|1|4|0");
    EXPECT_EQ(a.desktop().cursor(), "arrow");
    EXPECT_TRUE(a.unexpectedBoxes().empty());
}

TEST(CvPciPortList, AboutShowsTheVersionKeyAndTheDriverBuild) {
    Applet a(R"([HKEY_LOCAL_MACHINE\SOFTWARE\Corvane\Corvane for Windows NT\3.1]
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt]
"BuildNumber"=dword:0000007b
)");
    a.open();
    a.click("A&bout...");
    ASSERT_EQ(a.caption(), "About Corvane");
    EXPECT_EQ(a.control("1134").text, "3.1");
    EXPECT_EQ(a.control("1135").text, "Build 123");
    a.click("OK");
    EXPECT_EQ(a.caption(), "Corvane for Windows NT");
    a.click("&Close");
    EXPECT_FALSE(a.desktop().programRunning());
}

} // namespace
