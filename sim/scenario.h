// Scenarios: what a program does with the ports of a running machine, one command per line (open,
// line settings, handshake, special characters, timeouts, wait masks, writes, reads, waits, purges,
// close, the passing of time, cables, and starting, stopping or restarting the driver). Each command
// becomes one line of the transcript, as text or as a JSON object. See docs/cvsim.md.
#pragma once

#include "sim/machine.h"

#include <string>
#include <vector>
#include <string_view>

namespace sim {

struct ScenarioResult {
    bool ok = true;                    // every line was understood and the driver did what was asked of it
    std::string transcript;            // text or JSON lines
    std::string error;                 // "file:line: ..." for a line that could not be understood
    std::vector<std::string> failures; // "file:line: expected ..., got ..." for each failed expectation
};

ScenarioResult RunScenario(Machine& machine, std::string_view text, std::string_view sourceName, bool json);

} // namespace sim
