// cvsim's main job: start CvNt on a machine through its service, show what it did (event log,
// SERIALCOMM, CurrentConfig, resource map), move data between two of its ports over a null-modem
// cable, stop it, and show what the stop removed.
#pragma once

#include "sim/machine.h"

#include <set>
#include <string>

namespace sim {

struct TrafficCheck {
    std::string from = "COM3", to = "COM5";
    uint16_t fromAddress = 0xE000, toAddress = 0x300;
    uint32_t baud = 115200;
    size_t bytes = 4096;
};

// Everything a driver's stop must give back, one line per item: SERIALCOMM values and the serial port
// count, devices, links, resource claims, the CurrentConfig key and CvNt's pool blocks.
std::set<std::string> Inventory(nt::Kernel& kernel);

// Writes the report to `out`; returns 0 when the driver started, the bytes arrived intact and the stop
// left the machine as before the start.
int runMainJob(Machine& machine, const TrafficCheck& traffic, std::string& out);

} // namespace sim
