// cvsim's main job: start CvNt on a machine through its service, show what it did (event log,
// SERIALCOMM, CurrentConfig, resource map), move data between two of its ports over a null-modem
// cable, stop it, and show what the stop removed.
#pragma once

#include "sim/machine.h"

#include <set>
#include <string>
#include <vector>

namespace sim {

// Bytes from one port to another over a null-modem cable. Without names (or addresses) the main job
// chooses two ports of different cards of the machine.
struct TrafficCheck {
    std::string from, to;
    uint16_t fromAddress = 0, toAddress = 0;
    uint32_t baud = 115200;
    size_t bytes = 4096;
};

// A COM port CvNt serves, with the UART behind it and its card.
struct CvNtPort {
    std::string name; // "COM3"
    uint16_t address = 0;
    std::string card;
};
// CvNt's ports on the running machine, in the order of SERIALCOMM.
std::vector<CvNtPort> CvNtPorts(Machine& machine);
// Fills in the check's ports: the named ones (their addresses), or two of different cards; false with
// `why` when the machine has no such pair.
bool ChooseTrafficPorts(Machine& machine, TrafficCheck& traffic, std::string& why);

// Every resource claim of the resource map, one line each.
std::string ResourceMapText(nt::Kernel& kernel);

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
