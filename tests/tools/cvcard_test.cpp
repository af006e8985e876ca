// CvCard driven as an administrator would drive it in the device manager of the Windows 2000 machine,
// with CvInstal and the port drivers loaded: the card page of each kind of card, renames of COM and LPT
// ports with everything that moves with them (and the undo of a rename that fails half way), the card
// settings that reach the wire, the port settings dialog from what the port driver published, and the
// rule that one CvCard dialog is open at a time.
#include "sim/mainjob.h"
#include "sim/pnpdevices.h"

#include "platform/nt/userio.h"
#include "platform/w2k/comdb.h"
#include "platform/win32/devmgr.h"
#include "platform/win32/user.h"
#include "platform/win32/window.h"

#include <gtest/gtest.h>

#include <algorithm>
#include <memory>

namespace {

const std::string kHklm = "\\Registry\\Machine\\";
const std::string kService = kHklm + "System\\CurrentControlSet\\Services\\CvInstal\\";
const std::string kSerialComm = kHklm + "HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kParallelPorts = kHklm + "HARDWARE\\DEVICEMAP\\PARALLEL PORTS";
const std::string kPciCard = "PCI multiport serial controller";
const std::string kPciSheet = kPciCard + " Properties";

class CvCardTest : public ::testing::Test {
public:
    // The built-in Windows 2000 machine; without its ISA card COM9 is free.
    void Boot(bool withIsaCard = true, const std::string& extraRegistry = "") {
        sim::MachineSpec spec = sim::MachineSpec::builtInWindows2000();
        if (!withIsaCard)
            spec.cards.erase(std::remove_if(spec.cards.begin(), spec.cards.end(),
                                            [](const sim::CardSpec& c) { return c.bus == "ISA"; }),
                             spec.cards.end());
        spec.registryText += extraRegistry;
        machine = std::make_unique<sim::Machine>(spec);
        machine->boot();
        user = std::make_unique<win32::User>(machine->desktop());
    }
    nt::Kernel& kernel() { return machine->kernel(); }
    nt::Registry& registry() { return kernel().registry(); }
    win32::Desktop& desktop() { return machine->desktop(); }

    // The device manager opens a device's properties; for a card, its page is shown.
    void Open(const std::string& device, bool cardPage = true) {
        ASSERT_TRUE(desktop().start("Device Manager",
                                    [this, device] { result = win32::RunDeviceProperties(device); }));
        if (cardPage)
            Do(user->selectTab("Card Properties", error));
    }
    void Do(bool done) { ASSERT_TRUE(done) << error << "\n" << user->describe(); }
    void Click(const std::string& control) { Do(user->click(control, error)); }
    void Choose(const std::string& control, const std::string& item) {
        Do(user->choose(control, item, error));
    }
    void Slide(const std::string& control, int position) { Do(user->slide(control, position, error)); }
    void Activate(const std::string& caption) { Do(user->activate(caption, error)); }
    win32::Window& Control(const std::string& id) {
        win32::Window* w = user->find(id, error);
        EXPECT_NE(w, nullptr) << error << "\n" << user->describe();
        static win32::Window none;
        return w ? *w : none;
    }
    std::string Selected(const std::string& id) {
        const win32::Window& w = Control(id);
        return w.list && w.list->selection >= 0 ? w.list->items[static_cast<size_t>(w.list->selection)].text
                                                : "";
    }
    std::vector<std::string> Items(const std::string& id) {
        std::vector<std::string> out;
        if (Control(id).list)
            for (const auto& item : Control(id).list->items)
                out.push_back(item.text);
        return out;
    }
    std::string Text(const std::string& id) { return Control(id).text; }
    std::string Caption() { return user->activeCaption(); }

    // What the port `number` of a card is called now.
    sim::PnpDevices::Port Port(const std::string& card, unsigned number) {
        for (const auto& port : machine->pnp()->ports())
            if (port.card == card && port.number == number)
                return port;
        return {};
    }
    w2k::DeviceNode* PortNode(const std::string& card, unsigned number) {
        return machine->pnp()->cardNode(card.substr(0, card.find(':')), 1)->children[number - 1].get();
    }
    std::string Friendly(w2k::DeviceNode* node) {
        return registry().string(node->enumKey(), "FriendlyName").value_or("");
    }
    std::string PortName(w2k::DeviceNode* node) {
        return registry().string(node->enumKey() + "\\Device Parameters", "PortName").value_or("");
    }
    std::vector<std::u16string> Targets(const std::string& name) {
        return kernel().io().linkTargets(u"\\??\\" + nt::toUtf16(name));
    }
    bool Claimed(unsigned com) { return w2k::ComDatabase(registry()).inUse(com); }
    std::optional<uint32_t> PortParameter(const std::string& card, int port, const char* value) {
        return registry().dword(kService + "Parameters\\" + card + "\\ComPort" + std::to_string(port), value);
    }

    std::unique_ptr<sim::Machine> machine;
    std::unique_ptr<win32::User> user;
    win32::DevicePropertiesResult result;
    std::string error;
};

TEST_F(CvCardTest, ThePciCardsPageListsItsFourComPortsAndItsParallelPort) {
    Boot();
    Open(kPciCard);
    EXPECT_EQ(Text("1017"), kPciCard);
    const char* lists[] = {"1000", "1008", "1018", "1019"};
    const char* addressTexts[] = {"1052", "1053", "1058", "1060"};
    const char* addresses[] = {"FEB01000 - FEB01007", "FEB01008 - FEB0100F", "FEB01010 - FEB01017",
                               "FEB01018 - FEB0101F"};
    for (int r = 0; r < 4; ++r) {
        EXPECT_EQ(Selected(lists[r]), "COM" + std::to_string(3 + r));
        EXPECT_EQ(Text(addressTexts[r]), addresses[r]);
    }
    EXPECT_EQ(Text("1054"), "11");
    // The list offers the numbers without a DOS name, and the row's own.
    auto comList = Items("1000");
    EXPECT_NE(std::find(comList.begin(), comList.end(), "COM3"), comList.end());
    EXPECT_EQ(std::find(comList.begin(), comList.end(), "COM4"), comList.end());
    EXPECT_EQ(std::find(comList.begin(), comList.end(), "COM9"), comList.end())
        << "the ISA card's first port";
    // The parallel row: its LPT list, its address, no IRQ and no port button.
    EXPECT_EQ(Selected("1020"), "LPT1");
    EXPECT_EQ(Text("1062"), "0000E400 - 0000E407");
    EXPECT_EQ(Text("1063"), "N/A");
    EXPECT_FALSE(Control("1039").visible);
    EXPECT_TRUE(Control("1036").visible);
    EXPECT_FALSE(Control("1021").visible);
    // The page asked the device manager to restart the card once the sheet closes.
    Click("Cancel");
    EXPECT_FALSE(desktop().programRunning());
    EXPECT_TRUE(result.restarted);
    EXPECT_EQ(result.pages, 2);
}

TEST_F(CvCardTest, TheIsaAndPcCardPagesShowTheirPortsAndNoPageComesForAnImpossibleCard) {
    Boot();
    Open("PC Card multiport serial");
    EXPECT_EQ(Selected("1000"), "COM7");
    EXPECT_EQ(Selected("1008"), "COM8");
    EXPECT_FALSE(Control("1018").visible);
    Click("Cancel");
    w2k::DeviceNode* isa = machine->pnp()->cardNode("isa", 1);
    Open(nt::toUtf8(isa->description));
    EXPECT_EQ(Selected("1000"), "COM9");
    EXPECT_EQ(Selected("1019"), "COM12");
    EXPECT_EQ(Text("1052"), "00000300 - 00000307");
    Click("Cancel");

    // A card whose published values are impossible gets no page: 8 COM and 1 LPT port, then bus type 2.
    w2k::DeviceNode* pci = machine->pnp()->cardNode("pci", 1);
    const std::string device = pci->enumKey() + "\\Device Parameters";
    registry().setDword(device, "nCom", 8);
    Open(kPciCard, false);
    EXPECT_EQ(user->describe().find("Card Properties"), std::string::npos) << user->describe();
    Do(user->close(error));
    EXPECT_EQ(result.pages, 1) << "the General page only";
    registry().setDword(device, "nCom", 4);
    registry().setDword(device, "BusType", 2);
    Open(kPciCard, false);
    EXPECT_EQ(user->describe().find("Card Properties"), std::string::npos) << user->describe();
    Do(user->close(error));
    EXPECT_EQ(result.pages, 1);
}

TEST_F(CvCardTest, RenamingCom3ToCom9MovesEverythingAndThePortCarriesBytesUnderItsNewName) {
    Boot(false);
    w2k::DeviceNode* port = PortNode("pci:1", 1);
    const std::u16string device = Targets("COM3").at(0);
    Open(kPciCard);
    Choose("1000", "COM9");
    EXPECT_EQ(Selected("1000"), "COM9");
    EXPECT_TRUE(Claimed(9));
    EXPECT_FALSE(Claimed(3));
    EXPECT_TRUE(Targets("COM3").empty());
    EXPECT_EQ(Targets("COM9"), std::vector<std::u16string>{device});
    EXPECT_EQ(registry().string(kSerialComm, nt::toUtf8(device)), "COM9");
    EXPECT_EQ(Friendly(port), "Quorvel Serial Port (COM9)");
    EXPECT_EQ(PortName(port), "COM9");
    // Every list is filled again: COM9 is the first row's, COM3 is free for the others.
    auto second = Items("1008");
    EXPECT_NE(std::find(second.begin(), second.end(), "COM3"), second.end());
    EXPECT_EQ(std::find(second.begin(), second.end(), "COM9"), second.end());
    Click("OK");
    // The card restarted: the port's driver came back under its new name and carries bytes.
    ASSERT_TRUE(result.restarted);
    EXPECT_EQ(Port("pci:1", 1).name, "COM9");
    EXPECT_TRUE(Targets("COM3").empty());
    EXPECT_EQ(Targets("COM9").size(), 1u) << "one name for the port, not a leftover definition as well";
    nt::KernelScope in(kernel());
    std::string report;
    auto from = Port("pci:1", 1), to = Port("pci:1", 2);
    EXPECT_TRUE(
        sim::runTraffic(*machine, {from.name, to.name, from.address, to.address, 115200, 1024}, report))
        << report;
}

TEST_F(CvCardTest, CancelAfterTwoRenamesRestoresBothNames) {
    Boot(false);
    Open(kPciCard);
    Choose("1000", "COM9");
    Choose("1008", "COM20");
    EXPECT_EQ(Friendly(PortNode("pci:1", 2)), "Quorvel Serial Port (COM20)");
    Click("Cancel");
    EXPECT_EQ(Friendly(PortNode("pci:1", 1)), "Quorvel Serial Port (COM3)");
    EXPECT_EQ(Friendly(PortNode("pci:1", 2)), "Quorvel Serial Port (COM4)");
    EXPECT_EQ(Port("pci:1", 1).name, "COM3");
    EXPECT_EQ(Port("pci:1", 2).name, "COM4");
    EXPECT_TRUE(Claimed(3) && Claimed(4));
    EXPECT_FALSE(Claimed(9) || Claimed(20));
    EXPECT_TRUE(Targets("COM9").empty() && Targets("COM20").empty());
}

TEST_F(CvCardTest, AClaimedNumberAsksToResolveTheConflictAndNoChangesNothing) {
    Boot(false);
    // COM15 is claimed in the database, though no device has the name.
    {
        nt::KernelScope in(kernel());
        w2k::ComDatabase(registry()).claim(15, true);
    }
    Open(kPciCard);
    desktop().answerNextBox(IDNO);
    Choose("1000", "COM15");
    ASSERT_FALSE(desktop().boxes().empty());
    EXPECT_EQ(desktop().boxes().back().caption, "Resolve Conflict");
    EXPECT_EQ(desktop().boxes().back().icon, "question");
    EXPECT_EQ(Selected("1000"), "COM3");
    EXPECT_EQ(Friendly(PortNode("pci:1", 1)), "Quorvel Serial Port (COM3)");
    EXPECT_TRUE(Claimed(3));
    // Yes takes the number.
    desktop().answerNextBox(IDYES);
    Choose("1000", "COM15");
    EXPECT_EQ(Friendly(PortNode("pci:1", 1)), "Quorvel Serial Port (COM15)");
    EXPECT_TRUE(desktop().unexpectedBoxes().empty());
}

TEST_F(CvCardTest, ARenameThatFailsAtAnyStepLeavesTheOldNameInForce) {
    // Each step made to fail in turn: the friendly name (another device's name changed away), the port
    // name (the port's Device Parameters key deleted and made unwritable is not possible here, so its
    // instance loses its Control key), and the DOS name (no definition to move).
    struct Case {
        const char* what;
        std::function<void(CvCardTest&)> breakIt;
    };
    const Case cases[] = {
        {"DOS name", [](CvCardTest& t) { t.kernel().io().undefineLink(u"\\??\\COM3", nullptr); }},
        {"friendly name",
         [](CvCardTest& t) {
             t.registry().setString(t.PortNode("pci:1", 1)->enumKey(), "FriendlyName", "Other (COM3)");
         }},
    };
    for (const Case& c : cases) {
        SCOPED_TRACE(c.what);
        Boot(false);
        const std::u16string device = Targets("COM3").at(0);
        Open(kPciCard);
        c.breakIt(*this);
        Choose("1000", "COM9");
        EXPECT_EQ(Selected("1000"), "COM3");
        EXPECT_TRUE(Claimed(3));
        EXPECT_FALSE(Claimed(9));
        EXPECT_TRUE(Targets("COM9").empty());
        EXPECT_EQ(registry().string(kSerialComm, nt::toUtf8(device)), "COM3");
        EXPECT_NE(PortName(PortNode("pci:1", 1)), "COM9");
        Click("Cancel");
        user.reset();
        machine.reset();
    }
}

TEST_F(CvCardTest, ThePortNameStepFailingTakesBackTheFriendlyNameTheDosNameAndTheClaim) {
    Boot(false);
    const std::u16string device = Targets("COM3").at(0);
    Open(kPciCard);
    // The port's instance is no longer active: the last step finds no instance to write to.
    registry().removeTree(PortNode("pci:1", 1)->enumKey() + "\\Control");
    Choose("1000", "COM9");
    EXPECT_EQ(Selected("1000"), "COM3");
    EXPECT_EQ(Friendly(PortNode("pci:1", 1)), "Quorvel Serial Port (COM3)");
    EXPECT_EQ(Targets("COM3"), std::vector<std::u16string>{device});
    EXPECT_TRUE(Targets("COM9").empty());
    EXPECT_EQ(registry().string(kSerialComm, nt::toUtf8(device)), "COM3");
    EXPECT_TRUE(Claimed(3));
    EXPECT_FALSE(Claimed(9));
}

TEST_F(CvCardTest, RenamingLpt1ToLpt3MovesItsNameAndItsParallelPortsValue) {
    Boot();
    Open(kPciCard);
    Choose("1020", "LPT3");
    w2k::DeviceNode* lpt = PortNode("pci:1", 5);
    EXPECT_EQ(Friendly(lpt), "Quorvel Parallel Port (LPT3)");
    EXPECT_EQ(PortName(lpt), "LPT3");
    EXPECT_TRUE(Targets("LPT1").empty());
    EXPECT_EQ(Targets("LPT3").size(), 1u);
    EXPECT_EQ(registry().string(kParallelPorts, "\\Device\\Parallel0"), "\\DosDevices\\LPT3");
    Click("OK");
    EXPECT_EQ(Port("pci:1", 5).name, "LPT3");
}

TEST_F(CvCardTest, CardSettingsReachTheDriverAndTheWireAtTheNextOpen) {
    Boot();
    Open(kPciCard);
    Click("Advanced");
    EXPECT_EQ(Caption(), "Card Settings");
    EXPECT_EQ(Items("1038"), (std::vector<std::string>{"921600", "460800", "230400", "115200"}));
    EXPECT_EQ(Selected("1038"), "921600");
    EXPECT_EQ(Control("1041").button->check, BST_CHECKED) << "the card uses its memory window";
    EXPECT_EQ(Selected("1039"), "3");
    // Another program holds COM4 open: its port is told it gets the settings at the next open.
    std::unique_ptr<nt::UserFile> held;
    {
        nt::KernelScope in(kernel());
        ASSERT_EQ(nt::UserFile::open(kernel(), "COM4", held), STATUS_SUCCESS);
    }
    desktop().answerNextBox(IDOK);
    Choose("1038", "230400");
    Click("&Port I/O");
    Choose("1039", "1");
    Click("OK");
    EXPECT_EQ(registry().dword(kService, "LogLevel"), 1u);
    EXPECT_EQ(registry().dword(kService + "Parameters\\Bus5\\Card1", "PlxBaudClockDivisor"), 4u);
    EXPECT_EQ(registry().dword(kService + "Parameters\\Bus5\\Card1", "AlwaysUsePortSpaceAccess"), 1u);
    EXPECT_TRUE(registry().exists(kService + "Parameters\\Bus5\\Card1\\ComPort1"));
    ASSERT_EQ(desktop().boxes().size(), 1u);
    EXPECT_NE(desktop().boxes()[0].text.find("Port number 4 could not be accessed"), std::string::npos);
    EXPECT_TRUE(desktop().unexpectedBoxes().empty());
    EXPECT_EQ(Caption(), kPciSheet);
    {
        nt::KernelScope in(kernel());
        held.reset();
    }
    // After the card restarts, its ports count with a quarter of the clock: each port publishes the new
    // divisor and maximum once it has been opened, and bytes still cross between ports of the card.
    Click("OK");
    ASSERT_TRUE(result.restarted);
    nt::KernelScope in(kernel());
    std::string report;
    auto a = Port("pci:1", 1), b = Port("pci:1", 2);
    EXPECT_TRUE(sim::runTraffic(*machine, {a.name, b.name, a.address, b.address, 57600, 256}, report))
        << report;
    const std::string published =
        machine->pnp()->cardNode("pci", 1)->enumKey() + "\\Device Parameters\\Card\\Port1";
    EXPECT_EQ(registry().dword(published, "PlxBaudClockDivisor"), 4u);
    // On the hardware: the bridge divides the UARTs' clock by 4, and the driver counts it in, so the
    // line runs at the rate the program asked for.
    EXPECT_EQ(machine->pciCard(0)->bridgeDivisor(1), 4u);
    EXPECT_NEAR(machine->uartAt(a.address)->baudRate(), 57600, 600);
}

TEST_F(CvCardTest, PortSettingsComeFromWhatThePortDriverPublished) {
    struct Case {
        const char* switches;
        int templateId;
    };
    const Case cases[] = {{"422485=1 flexible=1", 104},
                          {"422485=0 flexible=0", 112},
                          {"422485=1 flexible=0", 114},
                          {"422485=0 flexible=1", 116}};
    for (const Case& c : cases) {
        SCOPED_TRACE(c.switches);
        Boot();
        const std::string port =
            machine->pnp()->cardNode("pci", 1)->enumKey() + "\\Device Parameters\\Card\\Port1";
        const bool with485 = std::string(c.switches).find("422485=1") != std::string::npos;
        const bool flexible = std::string(c.switches).find("flexible=1") != std::string::npos;
        registry().setDword(port, "Enable_422485Settings", with485);
        registry().setDword(port, "DuplexOperation", 5);
        registry().setDword(port, "CtsTrue", 1);
        registry().setDword(port, "Enable_BaudrateSettingsFlexible", flexible);
        Open(kPciCard);
        Click("Port &1");
        win32::Window* dialog = desktop().activeWindow();
        ASSERT_TRUE(dialog && dialog->dialog);
        EXPECT_EQ(dialog->dialog->templateId, c.templateId);
        EXPECT_EQ(Caption(), "Port Settings - Port 1");
        if (with485) {
            EXPECT_EQ(Selected("1044"), "Transmit only");
            EXPECT_EQ(Control("1045").button->check, BST_CHECKED);
        }
        if (flexible) {
            EXPECT_EQ(Items("1046"), (std::vector<std::string>{"8", "4", "2", "1"}));
            EXPECT_EQ(Selected("1046"), "1");
        }
        EXPECT_EQ(Items("1047"), (std::vector<std::string>{"950", "750", "550"}));
        EXPECT_EQ(Selected("1047"), "950");
        EXPECT_EQ(Text("1048"), "128");
        Click("Cancel");
        Activate(kPciSheet);
        Click("Cancel");
        user.reset();
        machine.reset();
    }
}

TEST_F(CvCardTest, TheFastCardsMultipliersAndADetected16750) {
    Boot();
    const std::string port =
        machine->pnp()->cardNode("pci", 1)->enumKey() + "\\Device Parameters\\Card\\Port2";
    registry().setDword(port, "MaximumBaudrate", 15000000);
    registry().setDword(port, "BaudrateMultiplier", 33);
    registry().setDword(port, "DetectedUartType", 7);
    Open(kPciCard);
    Click("Port &2");
    EXPECT_EQ(Items("1046"),
              (std::vector<std::string>{"130", "65", "40", "33", "20", "17", "10", "4", "2", "1"}));
    EXPECT_EQ(Selected("1046"), "33");
    // A 16750 offers 750 and 550 only; the used type 9 selects nothing and is written unchanged.
    EXPECT_EQ(Items("1047"), (std::vector<std::string>{"750", "550"}));
    EXPECT_EQ(Selected("1047"), "");
    EXPECT_EQ(Text("1048"), "64");
    Click("OK");
    EXPECT_EQ(PortParameter("Bus5\\Card1", 2, "UartType"), 9u);
    EXPECT_EQ(PortParameter("Bus5\\Card1", 2, "BaudrateMultiplier"), 33u);
}

TEST_F(CvCardTest, OkWritesThePortsValuesInOrderAndTheDriverTakesThem) {
    Boot();
    Open(kPciCard);
    Click("Port &1");
    Slide("1042", 40);
    EXPECT_EQ(Text("1058"), "(40%)");
    Slide("1043", 60);
    Choose("1046", "2");
    Choose("1047", "750");
    registry().startWriteLog();
    Click("OK");
    std::vector<std::string> written;
    for (const auto& [key, value] : registry().writeLog())
        if (key.find("ComPort1") != std::string::npos)
            written.push_back(value);
    EXPECT_EQ(written, (std::vector<std::string>{"RxTriggerLevel", "SoftTxLimit", "TxTriggerLevel",
                                                 "PlxBaudClockDivisor", "BaudrateMultiplier", "UartType",
                                                 "TxTriggerLevel"}));
    EXPECT_EQ(PortParameter("Bus5\\Card1", 1, "RxTriggerLevel"), 40u);
    EXPECT_EQ(PortParameter("Bus5\\Card1", 1, "SoftTxLimit"), 60u);
    EXPECT_EQ(PortParameter("Bus5\\Card1", 1, "BaudrateMultiplier"), 2u);
    EXPECT_EQ(PortParameter("Bus5\\Card1", 1, "UartType"), 7u);
    // The port was opened to take them: it now publishes the new type and levels.
    const std::string published =
        machine->pnp()->cardNode("pci", 1)->enumKey() + "\\Device Parameters\\Card\\Port1";
    EXPECT_EQ(registry().dword(published, "UsedUartType"), 7u);
    EXPECT_EQ(registry().dword(published, "BaudrateMultiplier"), 2u);
}

TEST_F(CvCardTest, FifoOffAndApplyToAll) {
    Boot();
    const std::string port =
        machine->pnp()->cardNode("pci", 1)->enumKey() + "\\Device Parameters\\Card\\Port1";
    registry().setDword(port, "RxTriggerLevel", 0);
    registry().setDword(port, "TxTriggerLevel", 0);
    Open(kPciCard);
    Click("Port &1");
    EXPECT_FALSE(Control("1042").enabled);
    EXPECT_EQ(Control("1061").button->check, BST_CHECKED);
    EXPECT_EQ(Text("1048"), "1");
    // FIFO on again: the receiver slider comes back at 1, the depth is the chip's.
    Click("1061");
    EXPECT_TRUE(Control("1042").enabled);
    EXPECT_EQ(Control("1042").range->pos, 1);
    EXPECT_EQ(Text("1048"), "128");
    Click("1061");
    EXPECT_EQ(Text("1058"), "(0%)");
    // Apply To All writes every port of the card and leaves the dialog open without Cancel.
    desktop().answerNextBox(IDYES);
    Click("&Apply To All");
    for (int n = 1; n <= 4; ++n) {
        EXPECT_EQ(PortParameter("Bus5\\Card1", n, "RxTriggerLevel"), 0u) << n;
        EXPECT_EQ(PortParameter("Bus5\\Card1", n, "TxTriggerLevel"), 0u) << n;
    }
    EXPECT_EQ(Caption(), "Port Settings - Port 1");
    EXPECT_FALSE(Control("Cancel").enabled);
    Slide("1043", 30);
    EXPECT_TRUE(Control("Cancel").enabled);
    EXPECT_EQ(desktop().boxes().back().caption, "Apply To All");
}

TEST_F(CvCardTest, WhileOneDialogIsOpenTheOtherButtonsDoNothing) {
    Boot();
    Open(kPciCard);
    Click("Advanced");
    ASSERT_EQ(Caption(), "Card Settings");
    // The sheet is still usable; its port button opens nothing while the card dialog is up.
    Activate(kPciSheet);
    Click("Port &1");
    EXPECT_EQ(Caption(), kPciSheet);
    EXPECT_EQ(desktop().threadCount(), 2u);
    Activate("Card Settings");
    Click("Cancel");
    EXPECT_EQ(desktop().threadCount(), 1u) << "the dialog's thread ended";
    Click("Port &1");
    EXPECT_EQ(Caption(), "Port Settings - Port 1");
    // Help on a control names its topic in CvCard's help file.
    Do(user->help("1042", error));
    ASSERT_FALSE(desktop().helpRequests().empty());
    EXPECT_EQ(desktop().helpRequests().back().file, "CvCard.hlp");
    EXPECT_EQ(desktop().helpRequests().back().data, 1008u);
}

TEST_F(CvCardTest, ThePortPagesAdvancedButtonPointsToTheCardPage) {
    Boot();
    Open("Quorvel Serial Port (COM4)", false);
    Do(user->selectTab("Port Settings", error));
    desktop().answerNextBox(IDOK);
    Click("&Advanced...");
    ASSERT_EQ(desktop().boxes().size(), 1u);
    EXPECT_EQ(desktop().boxes()[0].text,
              "The Advanced settings for the port are\navailable under the card properties.");
    Click("Cancel");
}

} // namespace
