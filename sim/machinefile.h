// Machine descriptions as text: one item per line, "#" starts a comment; numbers are hexadecimal for
// addresses and identifiers, decimal for interrupts, clocks and counts. See docs/cvsim.md.
#pragma once

#include "sim/machine.h"

#include <string>
#include <string_view>

namespace sim {

struct MachineFileResult {
    bool ok = true;
    std::string error; // "file:line: ..." when refused
    MachineSpec spec;
};

// Reads a description; the registry text of the result is empty (it comes from its own file).
MachineFileResult ParseMachineText(std::string_view text, std::string_view sourceName);
MachineFileResult ReadMachineFile(const std::string& path);
// The built-in machine as a description, for docs and examples.
std::string DescribeMachine(const MachineSpec& spec);

} // namespace sim
