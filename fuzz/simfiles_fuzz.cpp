// cvsim's own inputs: machine descriptions and scenarios. A description that is accepted must describe
// itself back to the same machine; one that is refused must say file and line. A scenario runs on the
// built-in machine with whatever it says: no crash, no verifier stop, and either a transcript or a
// refusal naming its line; nothing of CvNt stays in the pool once the driver is stopped.
#include "sim/machinefile.h"
#include "sim/scenario.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    if (size == 0)
        return 0;
    std::string text(reinterpret_cast<const char*>(data + 1), size - 1);
    if (data[0] & 1) {
        auto read = sim::ParseMachineText(text, "fuzz.machine");
        if (!read.ok) {
            if (read.error.rfind("fuzz.machine:", 0) != 0)
                std::abort();
            return 0;
        }
        std::string described = sim::DescribeMachine(read.spec);
        auto again = sim::ParseMachineText(described, "described");
        if (!again.ok || sim::DescribeMachine(again.spec) != described)
            std::abort();
        return 0;
    }
    // Scenarios: at most a few dozen lines, and no long waits, so that each run stays short.
    if (text.size() > 2000 || text.find("advance") != std::string::npos ||
        text.find("limit=") != std::string::npos)
        return 0;
    sim::Machine machine(sim::MachineSpec::builtInDefault());
    machine.kernel().setVerifierHandler([](const std::string&) { std::abort(); });
    auto result = sim::RunScenario(machine, text, "fuzz.scenario", data[0] & 2);
    if (!result.error.empty() && result.error.rfind("fuzz.scenario:", 0) != 0)
        std::abort();
    {
        nt::KernelScope scope(machine.kernel());
        machine.stopCvNt();
    }
    if (machine.kernel().pool().liveCount("CvNt") != 0)
        std::abort();
    return 0;
}
