// Scripted peers driven from scenarios, and device control requests that do not wait.
#include "sim/scenario.h"

#include <gtest/gtest.h>

#include <fstream>
#include <sstream>

namespace {

sim::ScenarioResult RunOnDefault(const std::string& text) {
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    return sim::RunScenario(machine, text, "s", false);
}

bool Has(const sim::ScenarioResult& r, const std::string& text) {
    return r.transcript.find(text) != std::string::npos;
}

TEST(ScenarioPeer, TheExampleHoldsEveryExpectation) {
    std::ifstream file(std::string(CV_SOURCE_DIR) + "/examples/peer.scenario");
    std::stringstream text;
    text << file.rdbuf();
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    auto result = sim::RunScenario(machine, text.str(), "peer.scenario", false);
    EXPECT_TRUE(result.ok) << result.error << "\n" << result.transcript;
    EXPECT_TRUE(result.failures.empty()) << result.failures.front();
    size_t checks = 0;
    for (size_t at = 0; (at = result.transcript.find("(holds)", at)) != std::string::npos; ++at)
        ++checks;
    EXPECT_EQ(checks, 18u) << result.transcript;
}

TEST(ScenarioPeer, ItSendsAtItsOwnRateAndRecordsWhatItReceivesWithTimes) {
    auto r = RunOnDefault(R"(start
peer E000 attach 9600 8N1
open COM3
set-line COM3 9600 8N1
peer E000 send "hi" after=1ms
read COM3 2 limit=10ms
expect data "hi"
write COM3 "ok"
advance 5ms
peer E000 received
expect data "ok"
peer E000 format 4800 8N1
peer E000 send "U"
advance 5ms
ioctl COM3 GET_COMMSTATUS
expect shown "errors 00000002"
)");
    ASSERT_TRUE(r.ok) << r.error << "\n" << r.transcript;
    // Two characters of ten bits at 9600 baud from 1 ms on end at 3.083 ms.
    EXPECT_TRUE(Has(r, "peer E000 send (2 bytes, the last ending at 0.0030833 s)")) << r.transcript;
    // The peer saw the port raise DTR and RTS at the open, then each character at the end of its frame.
    EXPECT_TRUE(Has(r, "| 0.0000000 s DTR on, RTS on")) << r.transcript;
    const size_t o = r.transcript.find(" 6F\n"), k = r.transcript.find(" 6B\n");
    ASSERT_NE(o, std::string::npos) << r.transcript;
    ASSERT_NE(k, std::string::npos);
    EXPECT_LT(o, k) << "in the order received";
    // At half the port's rate the port samples a stop bit where the peer still sends data: a framing error.
    EXPECT_TRUE(r.failures.empty()) << r.failures.front() << "\n" << r.transcript;
}

TEST(ScenarioPeer, ModemLinesChangeWhenToldAndHoldByCtsStopsTheTransmitter) {
    auto r = RunOnDefault(R"(start
peer E000 attach 115200 8N1
open COM3
set-line COM3 115200 8N1
ioctl COM3 GET_MODEMSTATUS
expect shown "00000000"
peer E000 lines dcd=on ri=on after=2ms
advance 1ms
ioctl COM3 GET_MODEMSTATUS
expect shown "00000000"
advance 1ms
ioctl COM3 GET_MODEMSTATUS
expect shown "000000C0"
peer E000 lines cts=on
handshake COM3 rts-cts
peer E000 hold cts
begin w write COM3 "held"
advance 5ms
ioctl COM3 GET_COMMSTATUS
expect shown "hold reasons 00000001"
peer E000 release
await w limit=10ms
expect status 0
advance 1ms
peer E000 received
expect data "held"
)");
    ASSERT_TRUE(r.ok) << r.error << "\n" << r.transcript;
    EXPECT_TRUE(r.failures.empty()) << r.failures.front() << "\n" << r.transcript;
}

TEST(ScenarioPeer, WrongLinesAndOccupiedPortsAreRefused) {
    for (auto [text, message] : std::initializer_list<std::pair<const char*, const char*>>{
             {"peer E000 send \"x\"\n", "s:1: no peer is attached to E000"},
             {"peer 1234 attach 9600 8N1\n", "s:1: no UART at 1234"},
             {"peer E000 attach 9600 8N3\n", "s:1: \"8N3\" is not a character format"},
             {"peer E000 attach 20 8N1\n", "s:1: \"20\" is not a baud rate"},
             {"peer E000 attach 99999999999 8N1\n", "s:1: \"99999999999\" is not a baud rate"},
             {"plug E000\npeer E000 attach 9600 8N1\n", "s:2: the UART at E000 has a loopback plug in it"},
             {"peer E000 attach 9600 8N1\nplug E000\n", "s:2: the UART at E000 has a scripted peer in it"},
             {"peer E000 attach 9600 8N1\ncable 300 E000\n", "s:2: the UART at E000 has a scripted peer"},
             {"peer E000 attach 9600 8N1\npeer E000 attach 9600 8N1\n",
              "s:2: the UART at E000 has a scripted peer in it"},
             {"peer E000 attach 9600 8N1\npeer E000 lines cts=maybe\n", "s:2: \"cts=maybe\" is not cts="},
             {"peer E000 attach 9600 8N1\npeer E000 release\n", "s:2: the peer is not holding"},
             {"peer E000 attach 9600 8N1\npeer E000 break 0\n", "s:2: peer ADDRESS break takes a duration"},
             {"peer E000 attach 9600 8N1\npeer E000 send-error hex:4142 parity\n",
              "s:2: peer ADDRESS send-error takes one character"},
             {"peer E000 attach 9600 8N1\npeer E000 send \"x\" after=inf\n", "s:2: \"after=inf\" is not"},
             {"peer E000 attach 9600 8N1\npeer E000 dance\n", "s:2: \"dance\" is not something a peer does"},
         }) {
        auto r = RunOnDefault(text);
        EXPECT_FALSE(r.ok) << text;
        EXPECT_EQ(r.error.rfind(message, 0), 0u) << text << " -> " << r.error;
    }
    // Detached, the UART takes a plug again.
    auto r = RunOnDefault("peer E000 attach 9600 8N1\npeer E000 detach\nplug E000\n");
    EXPECT_TRUE(r.ok) << r.error;
}

TEST(ScenarioPeer, DeviceControlRequestsThatDoNotWaitShowTheirDecodedOutput) {
    auto r = RunOnDefault(R"(start
peer E000 attach 115200 8N1
open COM3
set-line COM3 115200 8N1
wait-mask COM3 dsr
begin w ioctl COM3 WAIT_ON_MASK
begin s ioctl COM3 GET_BAUD_RATE
await s
expect shown "baud rate 115200"
peer E000 lines dsr=on after=3ms
await w
expect events 10
begin x ioctl COM3 0x1B0068 out=4
await x
begin c ioctl COM3 WAIT_ON_MASK
cancel c
await c
expect status C0000120
)");
    ASSERT_TRUE(r.ok) << r.error << "\n" << r.transcript;
    EXPECT_TRUE(r.failures.empty()) << r.failures.front() << "\n" << r.transcript;
    EXPECT_TRUE(Has(r, "begin w (ioctl COM3 WAIT_ON_MASK, pending)")) << r.transcript;
    EXPECT_TRUE(Has(r, "await w: 0x00000000, 4 bytes (ioctl COM3 WAIT_ON_MASK, began 0.0000000 s, ended "
                       "0.0030000 s, events 00000010)"))
        << r.transcript;
    EXPECT_TRUE(Has(r, "cancel c (cancelled)")) << r.transcript;
    auto bad = RunOnDefault("start\nopen COM3\nbegin x ioctl COM3 GET_NOTHING\n");
    EXPECT_EQ(bad.error.rfind("s:3: \"GET_NOTHING\" is not a serial request name", 0), 0u) << bad.error;
}

} // namespace
