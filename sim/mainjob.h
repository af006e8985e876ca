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

// Joins the two ports' UARTs with a null-modem cable, sends the check's bytes from one to the other at
// its rate (8N1) and reports the transfer to `out`; true when the bytes arrived intact.
bool runTraffic(Machine& machine, const TrafficCheck& traffic, std::string& out);

// Writes the report to `out`; returns 0 when the driver started, the bytes arrived intact and the stop
// left the machine as before the start. A Windows 2000 machine runs its own job instead.
int runMainJob(Machine& machine, const TrafficCheck& traffic, std::string& out);

// On Windows 2000: boots the machine, shows the event log, the device tree by connection, the card
// device keys and the device interfaces, removes every card of CvInstal and says whether CvInstal
// unloaded and left the machine as it was. 0 when every card started and all of that held.
int runWindows2000MainJob(Machine& machine, std::string& out);
// The device tree as a device manager shows it by connection: each node with its description, instance
// path, state, driver, first hardware ID and resources.
std::string DeviceTreeText(Machine& machine);

} // namespace sim
