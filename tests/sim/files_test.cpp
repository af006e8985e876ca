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
