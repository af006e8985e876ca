// cvsim: runs the simulated machine. Without arguments it runs the UART check on the built-in machine.
#include "sim/machine.h"
#include "sim/uartcheck.h"

#include <cstdio>
#include <cstring>
#include <exception>
#include <string>

namespace {

int usage(FILE* out) {
    std::fputs("usage: cvsim [uarts [--json]]\n"
               "\n"
               "  uarts     detect the UART at every port of the built-in machine, set standard and high\n"
               "            rates through the UART classes and show the rate each produces (the default)\n"
               "  --json    one JSON object per port and line: address, type, supported_bauds, rates\n",
               out);
    return out == stdout ? 0 : 2;
}

} // namespace

int main(int argc, char** argv) {
    bool json = false;
    std::string command = "uarts";
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--json")
            json = true;
        else if (arg == "--help" || arg == "-h")
            return usage(stdout);
        else if (arg == "uarts")
            command = arg;
        else {
            std::fprintf(stderr, "cvsim: unknown argument \"%s\"\n", argv[i]);
            return usage(stderr);
        }
    }
    try {
        sim::Machine machine(sim::MachineSpec::builtInDefault());
        auto reports = sim::runUartCheck(machine);
        std::string text = json ? sim::formatJsonLines(reports) : sim::formatText(reports);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cvsim: %s\n", e.what());
        return 1;
    }
}
