// cvsim: runs the simulated machine. Without arguments it runs the main job on the built-in machine:
// CvNt started through its service, what it did, a traffic check, and the stop.
#include "sim/machine.h"
#include "sim/mainjob.h"
#include "sim/uartcheck.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

int usage(FILE* out) {
    std::fputs("usage: cvsim [run | uarts [--json]]\n"
               "\n"
               "  run       start CvNt on the built-in machine through its service, print the event log,\n"
               "            SERIALCOMM, CurrentConfig and the resource map, move 4 KiB from COM3 (PCI) to\n"
               "            COM5 (ISA) over a null-modem cable, stop the driver and show what the stop\n"
               "            removed (the default)\n"
               "  uarts     detect the UART at every port of the built-in machine, set standard and high\n"
               "            rates through the UART classes and show the rate each produces\n"
               "  --json    with uarts: one JSON object per port and line\n",
               out);
    return out == stdout ? 0 : 2;
}

} // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string command = "run";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json")
            json = true;
        else if (arg == "--help" || arg == "-h")
            return usage(stdout);
        else if (arg == "uarts" || arg == "run")
            command = arg;
        else {
            std::fprintf(stderr, "cvsim: unknown argument \"%s\"\n", argv[i]);
            return usage(stderr);
        }
    }
    try {
        sim::Machine machine(sim::MachineSpec::builtInDefault());
        if (command == "run") {
            std::string report;
            int rc = sim::runMainJob(machine, sim::TrafficCheck{}, report);
            std::fwrite(report.data(), 1, report.size(), stdout);
            return rc;
        }
        auto reports = sim::runUartCheck(machine);
        std::string text = json ? sim::formatJsonLines(reports) : sim::formatText(reports);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cvsim: %s\n", e.what());
        return 1;
    }
}
