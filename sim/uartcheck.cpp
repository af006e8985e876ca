#include "sim/uartcheck.h"

#include "CvResourceKiller.h"
#include "CvUart.h"

#include <cmath>
#include <cstdio>
#include <stdexcept>

namespace sim {

const std::vector<uint32_t>& checkRates() {
    static const std::vector<uint32_t> rates = {75,    110,    135,    150,    300,    600,     1200,   1800,
                                                2400,  4800,   7200,   9600,   14400,  19200,   38400,  56000,
                                                57600, 115200, 230400, 460800, 921600, 1843200, 3686400};
    return rates;
}

std::vector<PortReport> runUartCheck(Machine& machine) {
    nt::Kernel& kernel = machine.kernel();
    nt::KernelScope running(kernel);
    nt::ImageScope image(kernel, "CvNt");
    if (ConstructResourceKiller() != STATUS_SUCCESS)
        throw std::runtime_error("the tracked allocator could not be set up");

    std::vector<PortReport> reports;
    for (uint16_t address : machine.probeAddresses()) {
        PortReport report;
        report.address = address;
        if (const CardSpec* card = machine.cardAt(address)) {
            report.card = card->name;
            report.clockHz = card->clockHz;
        }
        report.type = DetectUart(address);
        CCvUart* uart = CvAllocateUart(report.type);
        hw::Uart* model = machine.uartAt(address);
        if (uart && model) {
            uart->m_unBaseAddress = address;
            uart->m_ulBusRelativeBaseAddress = address;
            uart->m_unBaseAddressRange = 8;
            uart->m_ulClockFrequency = report.clockHz;
            uart->m_ulClockFrequencyAdjustment = 1;
            uart->m_lSoftTxLimit = 100;
            uart->m_lRxTriggerLevel = 0x40;
            uart->m_lTxTriggerLevel = 0x40;
            CvCompleteUartSetUp(uart);
            report.supportedBauds = uart->GetSupportedBauds();
            for (uint32_t rate : checkRates()) {
                RateResult result;
                result.requested = rate;
                result.status = static_cast<uint32_t>(uart->SetBaudrate(rate));
                result.produced = model->baudRate();
                report.rates.push_back(result);
            }
            uart->ResetUart();
        }
        if (uart)
            CvFreeUart(uart);
        reports.push_back(std::move(report));
    }
    deleteall();
    DestructResourceKiller();
    return reports;
}

namespace {

const char* typeName(uint8_t type) {
    switch (type) {
    case 4:
        return "16450";
    case 5:
        return "16550";
    case 7:
        return "16750";
    case 9:
        return "16C950";
    default:
        return "none";
    }
}

std::string number(double value) {
    char buf[40];
    if (value == std::floor(value) && std::fabs(value) < 1e15)
        std::snprintf(buf, sizeof buf, "%.0f", value);
    else
        std::snprintf(buf, sizeof buf, "%.6f", value);
    return buf;
}

} // namespace

std::string formatText(const std::vector<PortReport>& reports) {
    std::string out;
    char line[160];
    for (const PortReport& r : reports) {
        if (r.type == 0) {
            std::snprintf(line, sizeof line, "Port 0x%04X: no UART answers\n\n", r.address);
            out += line;
            continue;
        }
        std::snprintf(line, sizeof line,
                      "Port 0x%04X: %s UART (type %u) on the %s, clock %u Hz, supported bauds 0x%08X\n",
                      r.address, typeName(r.type), r.type, r.card.c_str(), r.clockHz, r.supportedBauds);
        out += line;
        out += "   requested  result        produced     error\n";
        for (const RateResult& rate : r.rates) {
            bool accepted = rate.status == 0;
            double error = (rate.produced - rate.requested) / rate.requested * 100.0;
            if (accepted)
                std::snprintf(line, sizeof line, "  %10u  accepted  %14.3f  %+7.3f %%\n", rate.requested,
                              rate.produced, error);
            else
                std::snprintf(line, sizeof line, "  %10u  refused   %14.3f  (unchanged)\n", rate.requested,
                              rate.produced);
            out += line;
        }
        out += "  (a rate's error is the divisor rule's: the UART's clock divided by 16 and a whole divisor\n"
               "   gives the nearest rate it can produce; 56000 is set as 57600 by that rule)\n\n";
    }
    return out;
}

std::string formatJsonLines(const std::vector<PortReport>& reports) {
    std::string out;
    for (const PortReport& r : reports) {
        char address[16], bauds[16];
        std::snprintf(address, sizeof address, "0x%04X", r.address);
        std::snprintf(bauds, sizeof bauds, "0x%08X", r.supportedBauds);
        out += "{\"address\": \"" + std::string(address) + "\", \"type\": " + std::to_string(r.type) +
               ", \"uart\": \"" + typeName(r.type) + "\", \"supported_bauds\": \"" + bauds +
               "\", \"rates\": [";
        for (size_t i = 0; i < r.rates.size(); ++i) {
            const RateResult& rate = r.rates[i];
            char status[16];
            std::snprintf(status, sizeof status, "0x%08X", unsigned(rate.status));
            out += (i ? ", " : "") + std::string("{\"requested\": ") + std::to_string(rate.requested) +
                   ", \"status\": \"" + status + "\", \"produced\": " + number(rate.produced) + "}";
        }
        out += "]}\n";
    }
    return out;
}

} // namespace sim
