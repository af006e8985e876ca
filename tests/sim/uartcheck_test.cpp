// cvsim's UART check on the built-in machine, as a person or a script reads it.
#include "sim/machine.h"
#include "sim/uartcheck.h"

#include <gtest/gtest.h>

#include <cmath>
#include <regex>
#include <sstream>

namespace {

std::vector<sim::PortReport> RunCheck() {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto reports = sim::runUartCheck(machine);
    EXPECT_EQ(machine.kernel().pool().liveCount("CvNt"), 0u) << machine.kernel().pool().leakReport("CvNt");
    return reports;
}

} // namespace

TEST(UartCheck, DetectsTheBuiltInMachinesUartsAndTheEmptyAddress) {
    auto reports = RunCheck();
    ASSERT_EQ(reports.size(), 7u);
    EXPECT_EQ(reports[0].address, 0x2E8);
    EXPECT_EQ(reports[0].type, 0);
    EXPECT_TRUE(reports[0].rates.empty());
    for (int i : {1, 2}) {
        EXPECT_EQ(reports[i].type, 5);
        EXPECT_EQ(reports[i].supportedBauds, 0x1006FFFFu);
    }
    for (int i = 3; i < 7; ++i) {
        EXPECT_EQ(reports[i].type, 9);
        EXPECT_EQ(reports[i].clockHz, 14745600u);
    }
}

TEST(UartCheck, AcceptedRatesAreProducedWithinOnePercentAndRefusedOnesChangeNothing) {
    for (const auto& report : RunCheck()) {
        double previous = 0;
        for (const auto& rate : report.rates) {
            if (rate.status == 0 && rate.requested != 56000) {
                EXPECT_LT(std::fabs(rate.produced - rate.requested) / rate.requested, 0.01)
                    << report.address << " " << rate.requested;
            }
            if (rate.status != 0) {
                EXPECT_EQ(rate.produced, previous) << "a refused rate leaves the UART as it was";
            }
            previous = rate.produced;
        }
    }
    auto reports = RunCheck();
    EXPECT_NE(reports[1].rates.back().status, 0u) << "3686400 is beyond a 1.8432 MHz 16550";
    EXPECT_EQ(reports[3].rates.back().status, 0u) << "a 16950 at 14.7456 MHz reaches 3686400";
}

TEST(UartCheck, JsonLinesCarryTheDocumentedKeys) {
    std::string json = sim::formatJsonLines(RunCheck());
    std::istringstream lines(json);
    std::string line;
    std::regex shape(R"(^\{"address": \d+, "type": \d, "supported_bauds": \d+, "rates": \[.*\]\}$)");
    int count = 0;
    while (std::getline(lines, line)) {
        EXPECT_TRUE(std::regex_match(line, shape)) << line;
        ++count;
    }
    EXPECT_EQ(count, 7);
    EXPECT_NE(
        json.find(
            "{\"address\": 768, \"type\": 5, \"supported_bauds\": 268894207, \"rates\": [{\"requested\": 75, "
            "\"status\": 0, \"produced\": "),
        std::string::npos);
    EXPECT_NE(json.find("{\"requested\": 921600, \"status\": 0, \"produced\": 921600}"), std::string::npos);
    EXPECT_NE(json.find("{\"requested\": 230400, \"status\": 3221225473, \"produced\": 115200}"),
              std::string::npos);
}

TEST(UartCheck, TextReportNamesEachPort) {
    std::string text = sim::formatText(RunCheck());
    EXPECT_NE(text.find("Port 0x02E8: no UART answers"), std::string::npos);
    EXPECT_NE(
        text.find("Port 0xE000: 16950 UART (type 9) on the PCI card, clock 14745600 Hz, supported bauds "
                  "0x1006FFFF"),
        std::string::npos)
        << text;
    EXPECT_NE(text.find("      921600  accepted      921600.000   +0.000 %"), std::string::npos) << text;
}

TEST(Machine, BothDriverImagesShareTheProcessEachWithItsOwnCatalogue) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto& registry = machine.kernel().registry();
    const std::string sources = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\";
    registry.setString(sources + "CvNt", "EventMessageFile", "%SystemRoot%\\System32\\Drivers\\CvNt.sys", 2);
    registry.setString(sources + "CvInstal", "EventMessageFile",
                       "%SystemRoot%\\System32\\Drivers\\CvInstal.sys", 2);
    auto cvnt = machine.kernel().eventLog().messageText("CvNt", 0x60070001);
    auto cvinstal = machine.kernel().eventLog().messageText("CvInstal", 0x60070001);
    ASSERT_TRUE(cvnt && cvinstal);
    EXPECT_EQ(*cvinstal, u"Event Logging for this driver has been started.\r\n");
    EXPECT_NE(*cvnt, *cvinstal);
    // And CvNt's code runs with its own tracked allocator while CvInstal's image is present.
    auto reports = sim::runUartCheck(machine);
    EXPECT_EQ(reports.size(), 7u);
}
