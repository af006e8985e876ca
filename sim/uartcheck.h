// The UART check of cvsim: detect the UART at each address of a machine, set it up through the UART
// classes, then set standard and high rates and compare what the hardware produces with what was asked.
#pragma once

#include "sim/machine.h"

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

struct RateResult {
    uint32_t requested = 0;
    uint32_t status = 0;   // NTSTATUS of SetBaudrate
    double produced = 0.0; // bit rate the UART's registers produce afterwards
};

struct PortReport {
    uint16_t address = 0;
    std::string card; // empty where nothing answers
    uint32_t clockHz = 0;
    uint8_t type = 0; // as DetectUart reports it
    uint32_t supportedBauds = 0;
    std::vector<RateResult> rates;
};

// The rates the check sets, standard ones first.
const std::vector<uint32_t>& checkRates();

std::vector<PortReport> runUartCheck(Machine& machine);
std::string formatText(const std::vector<PortReport>& reports);
// One JSON object per line and port.
std::string formatJsonLines(const std::vector<PortReport>& reports);

} // namespace sim
