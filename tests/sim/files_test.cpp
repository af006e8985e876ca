// cvsim's files: machine descriptions (read back from the built-in one, refusals with their line) and
// scenarios run on a machine, as a transcript.
#include "sim/machinefile.h"
#include "sim/mainjob.h"
#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

std::string ReadExample(const std::string& name) {
    std::ifstream file(std::string(CV_SOURCE_DIR) + "/examples/" + name);
    std::stringstream text;
    text << file.rdbuf();
    return text.str();
}

TEST(MachineFile, TheBuiltInMachineReadsBackAsItIsDescribed) {
    sim::MachineSpec builtIn = sim::MachineSpec::builtInDefault();
    std::string text = sim::DescribeMachine(builtIn);
    auto read = sim::ParseMachineText(text, "built-in");
    ASSERT_TRUE(read.ok) << read.error;
    EXPECT_EQ(sim::DescribeMachine(read.spec), text);
    auto example = sim::ParseMachineText(ReadExample("default.machine"), "default.machine");
    ASSERT_TRUE(example.ok) << example.error;
    EXPECT_EQ(sim::DescribeMachine(example.spec), text) << "examples/default.machine is the built-in machine";
    EXPECT_EQ(ReadExample("default.reg"), builtIn.registryText) << "and examples/default.reg its registry";
}

TEST(MachineFile, MistakesAreRefusedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"isa-card clock=1843200\nuart address=300 uart=16551 irq=5\n", "t:2: uart=16551 is not"},
        {"uart address=300 uart=16550 irq=5\n", "t:1: \"uart\" belongs to an \"isa-card\""},
        {"pci-card bus=0 device=40 id=20 uart=16C950 ports=4 clock=1 uart-window=E000 bridge-io=EC00 "
         "irq=11\n",
         "t:1: device=40 is not a decimal number up to 31"},
        {"pci-card bus=0 device=1 id=20 uart=16C950 ports=9 clock=1 uart-window=E000 bridge-io=EC00 irq=11\n",
         "t:1: ports=9"},
        {"\n# fine\nmotherboard\n", "t:3: unknown item \"motherboard\""},
        {"standard-port address=3F8 com=1\n", "t:1: \"standard-port\" needs irq="},
    };
    for (auto [text, message] : cases) {
        auto read = sim::ParseMachineText(text, "t");
        EXPECT_FALSE(read.ok) << text;
        EXPECT_EQ(read.error.rfind(message, 0), 0u) << read.error;
    }
}

TEST(Scenario, TheExampleRunsAsItsTranscriptSays) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine, ReadExample("default.scenario"), "default.scenario", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    for (const char* line :
         {"start (Win32 error 0)", "read COM5: 0x00000000, 23 bytes \"Hello from the PCI card\"",
          "read COM3: 0x00000000, 4 bytes \"OK\\u000d\\u000a\"", "read COM5: 0x00000102, 0 bytes",
          "wait COM5: 0x00000000 (events 0x00000001)", "restart (Win32 error 0)", "stop (Win32 error 0)"})
        EXPECT_NE(result.transcript.find(line), std::string::npos) << line << "\n" << result.transcript;
    EXPECT_NE(result.transcript.find("0.2030381 s  read COM5: 0x00000102"), std::string::npos)
        << "the read timed out 200 ms after it started";
    EXPECT_EQ(machine.kernel().pool().liveCount("CvNt"), 0u);
}

TEST(Scenario, JsonLinesAndRefusedLines) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result =
        sim::RunScenario(machine, "start\nopen COM9\nopen COM3\nwrite COM3 \"a\\\"b\"\n", "s", true);
    ASSERT_TRUE(result.ok) << result.error;
    std::istringstream lines(result.transcript);
    std::vector<std::string> out;
    for (std::string line; std::getline(lines, line);)
        out.push_back(line);
    ASSERT_EQ(out.size(), 4u);
    EXPECT_EQ(out[1],
              "{\"time\": 0.0000000, \"op\": \"open\", \"port\": \"COM9\", \"status\": \"0xC0000034\"}")
        << "a port that does not exist";
    EXPECT_NE(out[3].find("\"bytes\": 3"), std::string::npos) << out[3];

    sim::Machine second(sim::MachineSpec::builtInDefault());
    auto refused = sim::RunScenario(second, "start\nset-line COM3 9600 8N1\n", "s", false);
    EXPECT_FALSE(refused.ok);
    EXPECT_EQ(refused.error, "s:2: COM3 is not open");
    auto unknown = sim::RunScenario(second, "fly COM3\n", "s", false);
    EXPECT_EQ(unknown.error.rfind("s:1: unknown command \"fly\"", 0), 0u) << unknown.error;
}

TEST(Scenario, APortTakesOneHandleAtATime) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result =
        sim::RunScenario(machine, "start\nopen COM5\nopen COM5\nclose COM5\nopen COM5\nstop\n", "s", false);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_NE(result.transcript.find("open COM5: 0xC0000022"), std::string::npos)
        << "the second open is refused without reaching the driver\n"
        << result.transcript;
    EXPECT_EQ(machine.kernel().pool().liveCount("CvNt"), 0u) << "no ring buffer was made twice";
}

} // namespace

TEST(Scenario, ThePersonAtTheControlPanelRenamesAPort) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine, ReadExample("cvpci.scenario"), "cvpci.scenario", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    for (const char* line :
         {"applet CvPci.cpl (\"Corvane for Windows NT\")",
          "open-row 1000 (\"Settings for communications port  COM3\")",
          "message-box \"Warning : Change may affect modems.\" (You have altered the COM number",
          "| Serial4 = COM9", "open COM9: 0x00000000", "close-window (the program ended)"})
        EXPECT_NE(result.transcript.find(line), std::string::npos) << line << "\n" << result.transcript;
}

TEST(Scenario, TheAdministratorInTheDeviceManagerRenamesAPortWithCvCard) {
    sim::Machine machine(sim::MachineSpec::builtInWindows2000());
    machine.boot();
    auto result = sim::RunScenario(machine, ReadExample("cvcard.scenario"), "cvcard.scenario", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    for (const char* line :
         {"page \"Card Properties\" dialog 107", "\"Port Settings - Port 2\" dialog 116",
          "| \\Device\\Serial0 = COM13", "read COM9: 0x00000000, 27 bytes \"Hello from the renamed port\""})
        EXPECT_NE(result.transcript.find(line), std::string::npos) << line << "\n" << result.transcript;
}

TEST(Scenario, TheUninstallersCleanupRunsToItsEnd) {
    auto parsed = sim::ParseMachineText(ReadExample("cvclean.machine"), "cvclean.machine");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    parsed.spec.registryText = ReadExample("cvclean.reg");
    sim::Machine machine(parsed.spec);
    auto result = sim::RunScenario(machine, ReadExample("cvclean.scenario"), "cvclean.scenario", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    for (const char* line :
         {"| CvPci: running", "| 1002 \"Launching unInstallSHIELD...\"", "| 1000 position 4",
          "| CvPci: not installed", "| Serial: running, ImagePath (none)", "IsUninst.exe"})
        EXPECT_NE(result.transcript.find(line), std::string::npos) << line << "\n" << result.transcript;
}

TEST(Scenario, DesktopLinesThatCannotBeDoneAndBoxesNobodyExpected) {
    const std::pair<const char*, const char*> refused[] = {
        {"click OK\n", "s:1: no program runs on the desktop"},
        {"applet CvPci.cpl\nclick &Delete\n", "s:2: control 1002 is disabled"},
        {"applet CvPci.cpl\nclick Nothing\n", "s:2: \"Corvane for Windows NT\" has no control Nothing"},
        {"applet CvPci.cpl\nslide 1000 3\n", "s:2: control 1000 is a listview, not a slider"},
        {"applet CvPci.cpl\nselect-row 1000 99\n", "s:2: control 1000 has no row 99"},
        {"answer Maybe\n", "s:1: \"Maybe\" is not an answer"},
        {"login root\n", "s:1: usage: login administrator|user"},
        {"applet CvPci.cpl\napplet CvPci.cpl\n", "s:2: \"Control Panel\" still runs"},
        {"show registry SOFTWARE\\Nowhere\n", "s:1: the registry has no key"},
    };
    for (auto [text, message] : refused) {
        sim::Machine machine(sim::MachineSpec::builtInDefault());
        auto result = sim::RunScenario(machine, text, "s", false);
        EXPECT_FALSE(result.ok) << text;
        EXPECT_EQ(result.error.rfind(message, 0), 0u) << result.error;
    }
    // A box nobody prepared an answer for is answered No and fails the scenario; so does an answer left
    // over at the end.
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto unexpected =
        sim::RunScenario(machine, "start\napplet CvPci.cpl\nselect-row 1000 4\nclick &Delete\n", "s", false);
    EXPECT_TRUE(unexpected.error.empty()) << unexpected.error;
    EXPECT_FALSE(unexpected.ok);
    EXPECT_NE(unexpected.transcript.find("message-box \"Delete Card\""), std::string::npos)
        << unexpected.transcript;
    EXPECT_NE(unexpected.transcript.find("-> No, unexpected"), std::string::npos) << unexpected.transcript;
    sim::Machine other(sim::MachineSpec::builtInDefault());
    auto leftover = sim::RunScenario(other, "applet CvPci.cpl\nanswer OK\nclose-window\n", "s", false);
    EXPECT_FALSE(leftover.ok);
    EXPECT_NE(leftover.transcript.find("1 answer(s) for message boxes that never came"), std::string::npos);
}

TEST(MachineFile, AMemoryMappedWindowExampleStopsTheLoad) {
    auto read = sim::ParseMachineText(ReadExample("memory-window.machine"), "memory-window.machine");
    ASSERT_TRUE(read.ok) << read.error;
    read.spec.registryText = sim::MachineSpec::builtInDefault().registryText;
    sim::Machine machine(read.spec);
    std::string report;
    EXPECT_EQ(sim::runMainJob(machine, sim::TrafficCheck{}, report), 1);
    EXPECT_NE(report.find("result: 1118"), std::string::npos) << report;
    EXPECT_NE(report.find("translated by NT to a Memory Mapped address"), std::string::npos);
    EXPECT_EQ(machine.kernel().pool().liveCount("CvNt"), 0u);
}

TEST(Scenario, CablesMoveAndComeOutByEitherEndAndTheirLinesFall) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    // E000 cabled to 300, then re-cabled to E008: both directions of the new cable carry bytes.
    auto result = sim::RunScenario(machine, R"(start
cable E000 300
cable E000 E008
open COM3
open COM4
set-line COM3 115200 8N1
set-line COM4 115200 8N1
write COM3 "there"
read COM4 5
write COM4 "back"
read COM3 4
uncable E008
close COM3
close COM4
)",
                                   "s", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    EXPECT_NE(result.transcript.find("read COM4: 0x00000000, 5 bytes \"there\""), std::string::npos)
        << result.transcript;
    EXPECT_NE(result.transcript.find("read COM3: 0x00000000, 4 bytes \"back\""), std::string::npos)
        << result.transcript;
    EXPECT_NE(result.transcript.find("uncable (E000 <-> E008 unplugged)"), std::string::npos)
        << result.transcript;
    // A pulled cable drops what it drove.
    for (uint16_t address : {uint16_t(0xE000), uint16_t(0xE008), uint16_t(0x300)}) {
        const hw::ModemInputs& lines = machine.uartAt(address)->modemInputs();
        EXPECT_FALSE(lines.cts || lines.dsr || lines.dcd || lines.ri) << std::hex << address;
    }
    sim::Machine second(sim::MachineSpec::builtInDefault());
    for (auto [line, message] : std::initializer_list<std::pair<const char*, const char*>>{
             {"uncable 300\n", "s:1: no cable is plugged into 300"},
             {"cable E000 zz\n", "s:1: \"zz\" is not a UART address"},
             {"cable E000 12345\n", "s:1: \"12345\" is not a UART address"},
             {"cable E000 E000\n", "s:1: a cable joins two different UARTs"},
             {"cable E000 2E8\n", "s:1: no UART at 2E8"}}) {
        auto refused = sim::RunScenario(second, line, "s", false);
        EXPECT_EQ(refused.error.rfind(message, 0), 0u) << refused.error;
    }
}

TEST(MachineFile, HostileDescriptionsAreRefusedWithFileAndLine) {
    const std::string pci = "pci-card bus=0 device=4 id=20 uart=16C950 ports=4 clock=1 uart-window=E000 "
                            "bridge-io=EC00 irq=11";
    const std::pair<std::string, const char*> cases[] = {
        {"isa-card clock=1843200\nuart address=300 uart=16550 irq=5\nisa-card clock=1843200\n"
         "uart address=304 uart=16550 irq=7\n",
         "t:4: the UART's registers 304+8 overlaps what line 2 placed there"},
        {"standard-port address=3F8 irq=4 com=1\n" + pci + " bridge-io=3F8\n",
         "t:2: bridge-io= is given twice"},
        {"pci-card bus=0 device=4 id=20 uart=16C950 ports=0 clock=1 uart-window=E000 bridge-io=EC00 irq=11\n",
         "t:1: ports=0"},
        {"pci-card bus=0 device=4 id=20 uart=16C950 ports=4 clock=0 uart-window=E000 bridge-io=EC00 irq=11\n",
         "t:1: clock=0"},
        {"pci-card bus=0 device=4 id=20 uart=16C950 ports=4 clock=1 uart-window=FFF0 bridge-io=EC00 irq=11\n",
         "t:1: the UART window FFF0+32 runs past the I/O space"},
        {"standard-port address=-8 irq=4 com=1\n", "t:1: address=-8 is not a hexadecimal number"},
        {"standard-port address=3F8 irq=+4 com=1\n", "t:1: irq=+4 is not a decimal number"},
        {"standard-port address=3F8 irq=4 com=1 " + std::string(100000, 'x') + "=1\n",
         "t:1: \"standard-port\" has no field xxxx"},
    };
    for (const auto& [text, message] : cases) {
        auto read = sim::ParseMachineText(text, "t");
        EXPECT_FALSE(read.ok) << text.substr(0, 200);
        EXPECT_EQ(read.error.rfind(message, 0), 0u) << read.error.substr(0, 300);
        EXPECT_LT(read.error.size(), 300u) << "a long name is not echoed whole";
    }
    // A byte order mark and CR line endings are only how the file was saved.
    auto saved = sim::ParseMachineText("\xEF\xBB\xBFstandard-port address=3F8 irq=4 com=1\r"
                                       "standard-port address=2F8 irq=3 com=2\r",
                                       "t");
    ASSERT_TRUE(saved.ok) << saved.error;
    EXPECT_EQ(saved.spec.standardPorts.size(), 2u);
}

TEST(Scenario, HostileLinesAreRefusedWithTheirLine) {
    const std::pair<const char*, const char*> cases[] = {
        {"read COM3 4294967295", "s:3: \"4294967295\" is not a byte count"},
        {"set-line COM3 4294967411 8N1", "s:3: \"4294967411\" is not a baud rate"},
        {"set-line COM3 abc 8N1", "s:3: \"abc\" is not a baud rate"},
        {"set-line COM3 9600 8N3", "s:3: \"8N3\" is not a character format"},
        {"write COM3 \"open", "s:3: a quoted text is not closed"},
        {"write COM3 hex:4G", "s:3: write takes \"text\" or hex:"},
        {"timeouts COM3 interval=-1", "s:3: \"-1\" is not a timeout"},
        {"chars COM3 xon=111", "s:3: \"xon=111\" does not give a character"},
        {"advance inf", "s:3: \"inf\" is not a duration"},
        {"advance nan", "s:3: \"nan\" is not a duration"},
        {"advance 1e300", "s:3: \"1e300\" is not a duration"},
        {"read COM3 1 limit=2e10s", "s:3: \"limit=2e10s\" is not a duration"},
    };
    for (auto [line, message] : cases) {
        sim::Machine machine(sim::MachineSpec::builtInDefault());
        auto result = sim::RunScenario(machine, std::string("start\nopen COM3\n") + line + "\n", "s", false);
        EXPECT_FALSE(result.ok) << line;
        EXPECT_EQ(result.error.rfind(message, 0), 0u) << result.error;
    }
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto crOnly = sim::RunScenario(machine, "start\ropen COM3\rclose COM3\r", "s", false);
    EXPECT_TRUE(crOnly.ok) << crOnly.error;
    EXPECT_NE(crOnly.transcript.find("close COM3: 0x00000000"), std::string::npos) << crOnly.transcript;
}

TEST(Scenario, ExpectationsHoldOrFailWithTheirLine) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine, R"(start
cable E000 300
open COM3
open COM5
set-line COM3 9600 7E2
set-line COM5 9600 7E2
write COM3 hex:414243
expect status 0
expect bytes 3
read COM5 3
expect data "ABC"
expect uart E000 LCR 1E
expect uart E000 divisor 4
show uart 300
expect shown "rate 9600.000 baud"
expect bytes 4
show eventlog
expect shown "The CvNt driver loaded successfully."
)",
                                   "s", false);
    EXPECT_FALSE(result.ok) << "one expectation fails";
    EXPECT_TRUE(result.error.empty()) << result.error;
    ASSERT_EQ(result.failures.size(), 1u) << result.transcript;
    EXPECT_EQ(result.failures[0], "s:16: expected bytes 4, got 3");
    EXPECT_NE(result.transcript.find("expect data \"ABC\" (holds)"), std::string::npos) << result.transcript;
    EXPECT_NE(result.transcript.find("expect uart E000 divisor 4 (holds)"), std::string::npos)
        << result.transcript;
    EXPECT_NE(result.transcript.find("expect shown \"The CvNt driver loaded successfully.\" (holds)"),
              std::string::npos)
        << result.transcript;
    for (auto [line, message] : std::initializer_list<std::pair<const char*, const char*>>{
             {"expect bytes 1\n", "s:1: no request has ended yet"},
             {"expect uart E000 THR 1\n", "s:1: \"THR\" is not IER"},
             {"start\nopen COM3\nexpect status zz\n", "s:3: \"zz\" is not a hexadecimal value"},
             {"show uart 2E8\n", "s:1: no UART at 2E8"},
             {"expect nothing 1\n", "s:1: usage: expect"}}) {
        sim::Machine other(sim::MachineSpec::builtInDefault());
        auto refused = sim::RunScenario(other, line, "s", false);
        EXPECT_EQ(refused.error.rfind(message, 0), 0u) << refused.error;
    }
}

TEST(Scenario, TheAcceptanceExampleHoldsEveryExpectation) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine, ReadExample("acceptance.scenario"), "acceptance.scenario", false);
    EXPECT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    EXPECT_TRUE(result.failures.empty());
    EXPECT_EQ(result.transcript.find("FAILED"), std::string::npos) << result.transcript;
    size_t checks = 0;
    for (size_t at = 0; (at = result.transcript.find("(holds)", at)) != std::string::npos; ++at)
        ++checks;
    EXPECT_EQ(checks, 10u);
}

TEST(MachineFile, TheRegistryReferencesWorkedExampleLoadsAndRuns) {
    auto parsed = sim::ParseMachineText(ReadExample("registry-example.machine"), "registry-example.machine");
    ASSERT_TRUE(parsed.ok) << parsed.error;
    parsed.spec.registryText = ReadExample("registry-example.reg");
    sim::Machine machine(parsed.spec);
    std::string report;
    EXPECT_EQ(sim::runMainJob(machine, sim::TrafficCheck{}, report), 0) << report;
    for (const char* line : {"Serial4 = COM9", "Serial7 = COM12", "Serial11 = COM8", "intact"})
        EXPECT_NE(report.find(line), std::string::npos) << line << "\n" << report;
    EXPECT_EQ(report.find("  Error "), std::string::npos) << "the event log has no error:\n" << report;
}

TEST(Scenario, AnySerialRequestByNameOrCodeWithItsOutputDecoded) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine, R"(start
open COM3
set-line COM3 9600 8N1
ioctl COM3 GET_BAUD_RATE
ioctl COM3 0x1B0050 out=4
ioctl COM3 SET_WAIT_MASK in=hex:08000000
ioctl COM3 GET_WAIT_MASK
expect bytes 4
ioctl COM3 GET_PROPERTIES
close COM3
)",
                                   "s", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    for (const char* line : {"ioctl COM3 GET_BAUD_RATE: 0x00000000, 4 bytes (baud rate 9600)",
                             "ioctl COM3 0x1B0050: 0x00000000, 4 bytes (baud rate 9600)",
                             "ioctl COM3 GET_WAIT_MASK: 0x00000000, 4 bytes (00000008)",
                             "ioctl COM3 GET_PROPERTIES: 0x00000000, 64 bytes (40000200"})
        EXPECT_NE(result.transcript.find(line), std::string::npos) << line << "\n" << result.transcript;
    sim::Machine other(sim::MachineSpec::builtInDefault());
    auto refused = sim::RunScenario(other, "start\nopen COM3\nioctl COM3 FLY\n", "s", false);
    EXPECT_EQ(refused.error.rfind("s:3: \"FLY\" is not a serial request name", 0), 0u) << refused.error;
}

TEST(Scenario, TraceShowsThePortAccessesUnderTheLineThatMadeThem) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(
        machine, "start\nopen COM3\ntrace on\nset-line COM3 9600 8N1\ntrace off\nset-line COM3 19200 8N1\n",
        "s", false);
    ASSERT_TRUE(result.ok) << result.error;
    const size_t on = result.transcript.find("trace (on)"), off = result.transcript.find("trace (off)");
    ASSERT_NE(off, std::string::npos);
    // The divisor latch written for 9600 baud (divisor 4 on the 16C950), between on and off only.
    const size_t divisor = result.transcript.find("out E000 04");
    EXPECT_TRUE(divisor > on && divisor < off) << result.transcript;
    EXPECT_EQ(result.transcript.find("| ", off), std::string::npos) << "nothing traced after off";
    auto refused = sim::RunScenario(machine, "trace maybe\n", "s", false);
    EXPECT_EQ(refused.error, "s:1: usage: trace on|off");
}

TEST(Scenario, MasksGivenAsBitsReachTheDriverAsTheyAre) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine,
                                   "start\nopen COM3\nwait-mask COM3 cts 0x0100\nioctl COM3 GET_WAIT_MASK\n"
                                   "wait-mask COM3 0x2000\npurge COM3 0x0F\nclose COM3\n",
                                   "s", false);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_NE(result.transcript.find("GET_WAIT_MASK: 0x00000000, 4 bytes (00000108)"), std::string::npos)
        << result.transcript;
    EXPECT_NE(result.transcript.find("wait-mask COM3: 0xC000000D"), std::string::npos)
        << "a bit the driver does not know is refused by the driver:\n"
        << result.transcript;
}

TEST(Scenario, TheHandflowSettingsByField) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine,
                                   "start\nopen COM3\nhandflow COM3 control=dtr-control+cts-handshake "
                                   "replace=rts-handshake+auto-transmit xon-limit=100 xoff-limit=200\n"
                                   "ioctl COM3 GET_HANDFLOW\nclose COM3\n",
                                   "s", false);
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_NE(
        result.transcript.find("(control handshake 00000009, flow replace 00000081, xon limit 100, xoff "
                               "limit 200)"),
        std::string::npos)
        << result.transcript;
    sim::Machine other(sim::MachineSpec::builtInDefault());
    auto refused = sim::RunScenario(other, "start\nopen COM3\nhandflow COM3 replace=sideways\n", "s", false);
    EXPECT_EQ(refused.error.rfind("s:3: \"sideways\" is not a replace bit", 0), 0u) << refused.error;
}

TEST(Scenario, RequestsThatDoNotWaitEndWhenAndHowTheTranscriptSays) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine, R"(start
cable E000 300
open COM3
open COM5
set-line COM3 9600 8N1
set-line COM5 9600 8N1
begin r1 read COM5 4
begin w1 write COM3 "ping"
await r1
expect data "ping"
begin r2 read COM5 10
cancel r2
await r2
expect status C0000120
wait-mask COM5 cts
begin wt wait COM5
await wt limit=10ms
expect status 103
cancel wt
await wt
await w1
close COM3
close COM5
)",
                                   "s", false);
    ASSERT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    EXPECT_NE(result.transcript.find("await r1: 0x00000000, 4 bytes \"ping\" (read COM5, began 0.0000000 s, "
                                     "ended 0.0041667 s)"),
              std::string::npos)
        << "four characters at 9600 baud take 4.17 ms:\n"
        << result.transcript;
    EXPECT_NE(result.transcript.find("await wt: 0x00000103 (still pending)"), std::string::npos);
    for (auto [text, message] : std::initializer_list<std::pair<const char*, const char*>>{
             {"await nobody\n", "s:1: no request named nobody is outstanding"},
             {"start\nopen COM3\nbegin a read COM3 1\nbegin a read COM3 1\n",
              "s:4: a request named a is still"},
             {"begin a fly COM3\n", "s:1: usage: begin NAME read"}}) {
        sim::Machine other(sim::MachineSpec::builtInDefault());
        auto refused = sim::RunScenario(other, text, "s", false);
        EXPECT_EQ(refused.error.rfind(message, 0), 0u) << refused.error;
    }
}
