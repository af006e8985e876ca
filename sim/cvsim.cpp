// cvsim: runs the simulated machine. Without arguments it runs the main job on the built-in machine:
// CvNt started through its service, what it did, a traffic check, and the stop.
#include "sim/inputfile.h"
#include "sim/machine.h"
#include "sim/machinefile.h"
#include "sim/mainjob.h"
#include "sim/scenario.h"
#include "sim/serve.h"
#ifdef CV_HAVE_UI
#include "sim/ui.h"
#endif
#include "sim/uartcheck.h"

#include <fstream>
#include <sstream>

#include <atomic>
#include <csignal>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <iostream>
#include <optional>
#include <exception>
#include <string>

namespace {

int usage(FILE* out) {
    std::fputs(
        "usage: cvsim [run] [--windows-2000] [--machine FILE] [--registry FILE] [--scenario FILE] [--json]\n"
        "             [--traffic COMa,COMb]\n"
        "       cvsim uarts [--json]\n"
        "       cvsim describe [--windows-2000 | --machine FILE]\n"
        "       cvsim serve [--machine FILE] [--registry FILE] [--rfc2217 COMn=TCPPORT]... [--pty "
        "COMn=PATH]...\n"
        "                   [--speed FACTOR]\n"
        "       cvsim ui [--windows-2000 | --machine FILE] [--registry FILE] [--port N]\n"
        "\n"
        "  run         start CvNt through its service, print the event log, SERIALCOMM, CurrentConfig and\n"
        "              the resource map, move 4 KiB between two ports of different cards (or the ports\n"
        "              --traffic names) over a null-modem cable, stop the\n"
        "              driver and show what the stop removed (the default). With --scenario the\n"
        "              scenario's commands run instead and each becomes a line of the transcript.\n"
        "              On a Windows 2000 machine: boot it (CvInstal loads for the cards), print the event\n"
        "              log, the device tree, the card device keys and the device interfaces, remove every\n"
        "              card and show that CvInstal unloaded and left the machine as it was.\n"
        "  --windows-2000  the built-in Windows 2000 machine (a PCI, an ISA and a PCMCIA card)\n"
        "  --machine   a machine description instead of the built-in machine (docs/cvsim.md)\n"
        "  --registry  a .reg file loaded into the machine's registry (instead of the built-in one)\n"
        "  --scenario  commands to run on the machine (docs/cvsim.md)\n"
        "  --json      the transcript (or the UART check) as one JSON object per line\n"
        "  uarts       detect and set up every UART of the built-in machine through CvNt's UART classes\n"
        "  describe    print the built-in machine (or the one --machine reads) as a machine description\n"
        "  serve       load the driver and run the machine paced to the wall clock until interrupted, "
        "serving\n"
        "              COM ports to real programs: --rfc2217 COM3=7000 is a Telnet server on 127.0.0.1:7000\n"
        "              speaking RFC 2217 (port 0: any free one, printed), --pty COM5=run/com5 a "
        "pseudo-terminal\n"
        "              linked at that path; --speed runs machine time that many times the wall clock\n"
        "  ui          load the drivers and serve a web page on 127.0.0.1 (--port N, else any free port,\n"
        "              printed) with the machine's desktop, every open dialog of the suite's tools, the\n"
        "              event log, SERIALCOMM, the driver's registry tree, the services and the ports, and a\n"
        "              terminal on any COM port; it runs until interrupted\n",
        out);
    return out == stdout ? 0 : 2;
}

std::atomic<bool> g_stopServing{false};

void StopServing(int) {
    g_stopServing.store(true);
}

} // namespace

int main(int argc, char** argv) {
    sim::ServeOptions serve;
    struct {
        int port = 0;
    } uiOptions;
    sim::TrafficCheck traffic;
    bool json = false, windows2000 = false;
    std::string command = "run", machinePath, registryPath, scenarioPath;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        // "--option=value" as well as "--option value".
        std::optional<std::string> inlineValue;
        if (const size_t equals = arg.find('='); arg.rfind("--", 0) == 0 && equals != std::string::npos) {
            inlineValue = arg.substr(equals + 1);
            arg.resize(equals);
        }
        auto value = [&](std::string& out) {
            if (inlineValue) {
                out = *inlineValue;
                inlineValue.reset();
                return true;
            }
            if (i + 1 >= argc)
                return false;
            out = argv[++i];
            return true;
        };
        if (inlineValue && (arg == "--json" || arg == "--windows-2000" || arg == "--help")) {
            std::fprintf(stderr, "cvsim: %s takes no value\n", arg.c_str());
            return usage(stderr);
        }
        if (arg == "--json")
            json = true;
        else if (arg == "--windows-2000")
            windows2000 = true;
        else if (arg == "--help" || arg == "-h")
            return usage(stdout);
        else if (arg == "uarts" || arg == "run" || arg == "describe" || arg == "serve" || arg == "ui")
            command = arg;
        else if (arg == "--traffic") {
            std::string text;
            const size_t comma = value(text) ? text.find(',') : std::string::npos;
            if (comma == std::string::npos || comma == 0 || comma + 1 >= text.size() || text.size() > 32) {
                std::fprintf(stderr, "cvsim: --traffic takes two port names: COMa,COMb\n");
                return 2;
            }
            traffic.from = text.substr(0, comma);
            traffic.to = text.substr(comma + 1);
        } else if (arg == "--port") {
            std::string text;
            char* end = nullptr;
            const long port = value(text) ? std::strtol(text.c_str(), &end, 10) : 0;
            if (!end || *end || port < 1 || port > 65535) {
                std::fprintf(stderr, "cvsim: --port takes a TCP port (1 to 65535)\n");
                return 2;
            }
            uiOptions.port = int(port);
        } else if (arg == "--rfc2217" || arg == "--pty" || arg == "--speed") {
            std::string text, error;
            if (!value(text)) {
                std::fprintf(stderr, "cvsim: %s needs a value\n", arg.c_str());
                return usage(stderr);
            }
            bool ok = true;
            if (arg == "--rfc2217") {
                serve.rfc2217.emplace_back();
                ok = sim::ParseServeRfc2217(text, serve.rfc2217.back(), error);
            } else if (arg == "--pty") {
                serve.ptys.emplace_back();
                ok = sim::ParseServePty(text, serve.ptys.back(), error);
            } else {
                char* end = nullptr;
                serve.speed = std::strtod(text.c_str(), &end);
                ok = end && !*end && serve.speed >= 0.001 && serve.speed <= 1000;
                error = std::string(1, '"').append(text, 0, 32) + "\" is not a speed (0.001 to 1000)";
            }
            if (!ok) {
                std::fprintf(stderr, "cvsim: %s %s\n", arg.c_str(), error.c_str());
                return 2;
            }
        } else if ((arg == "--machine" && value(machinePath)) ||
                   (arg == "--registry" && value(registryPath)) ||
                   (arg == "--scenario" && value(scenarioPath)))
            continue;
        else {
            std::fprintf(stderr, "cvsim: unknown or incomplete argument \"%s\"\n", argv[i]);
            return usage(stderr);
        }
    }
    // JSON is what a scenario's transcript and the UART check can be written as; nothing else is.
    if (json && !((command == "run" && !scenarioPath.empty()) || command == "uarts")) {
        std::fprintf(stderr, "cvsim: --json is for a scenario's transcript (--scenario) and for \"uarts\"\n");
        return 2;
    }
    try {
        sim::MachineSpec spec =
            windows2000 ? sim::MachineSpec::builtInWindows2000() : sim::MachineSpec::builtInDefault();
        if (!machinePath.empty()) {
            sim::MachineFileResult read = sim::ReadMachineFile(machinePath);
            if (!read.ok) {
                std::fprintf(stderr, "cvsim: %s\n", read.error.c_str());
                return 2;
            }
            // Without --registry a machine gets the built-in registry of its system.
            spec = read.spec;
            spec.registryText = spec.system == sim::System::Windows2000
                                    ? sim::MachineSpec::builtInWindows2000().registryText
                                    : sim::MachineSpec::builtInDefault().registryText;
        }
        if (command == "describe") {
            // The built-in machine, or the one --machine names, as a description.
            std::string text = sim::DescribeMachine(spec);
            std::fwrite(text.data(), 1, text.size(), stdout);
            return 0;
        }
        if (!registryPath.empty()) {
            std::string error;
            if (!sim::ReadInputFile(registryPath, spec.registryText, error)) {
                std::fprintf(stderr, "cvsim: %s\n", error.c_str());
                return 2;
            }
            // A registry export starts with its header: an empty file is no export.
            if (spec.registryText.find_first_not_of(" \t\r\n") == std::string::npos) {
                std::fprintf(stderr,
                             "cvsim: %s: is empty (a .reg file starts with \"Windows Registry Editor "
                             "Version 5.00\")\n",
                             registryPath.c_str());
                return 2;
            }
            spec.registrySource = registryPath;
        }
        sim::Machine machine(spec);
        if (command == "serve") {
            if (serve.rfc2217.empty() && serve.ptys.empty()) {
                std::fprintf(stderr, "cvsim: serve needs at least one --rfc2217 or --pty\n");
                return 2;
            }
            std::signal(SIGINT, StopServing);
            std::signal(SIGTERM, StopServing);
            std::signal(SIGPIPE, SIG_IGN);
            return sim::RunServe(machine, serve, g_stopServing, std::cout, std::cerr);
        }
        if (command == "ui") {
            std::signal(SIGINT, StopServing);
            std::signal(SIGTERM, StopServing);
            std::signal(SIGPIPE, SIG_IGN);
#ifdef CV_HAVE_UI
            return sim::RunUi(machine, sim::UiOptions{uiOptions.port}, g_stopServing, std::cout, std::cerr);
#else
            std::fprintf(stderr,
                         "cvsim: this build has no web page (it needs cpp-httplib and nlohmann-json)\n");
            return 2;
#endif
        }
        if (command == "run" && !scenarioPath.empty()) {
            std::string text, error;
            if (!sim::ReadInputFile(scenarioPath, text, error)) {
                std::fprintf(stderr, "cvsim: %s\n", error.c_str());
                return 2;
            }
            sim::ScenarioResult result = sim::RunScenario(machine, text, scenarioPath, json);
            std::fwrite(result.transcript.data(), 1, result.transcript.size(), stdout);
            if (!result.error.empty()) {
                std::fprintf(stderr, "cvsim: %s\n", result.error.c_str());
                return 2;
            }
            for (const std::string& failure : result.failures)
                std::fprintf(stderr, "cvsim: %s\n", failure.c_str());
            return result.ok ? 0 : 1;
        }
        if (command == "run") {
            std::string report;
            int rc = sim::runMainJob(machine, traffic, report);
            std::fwrite(report.data(), 1, report.size(), stdout);
            return rc;
        }
        auto reports = sim::runUartCheck(machine);
        std::string text = json ? sim::formatJsonLines(reports) : sim::formatText(reports);
        std::fwrite(text.data(), 1, text.size(), stdout);
        return 0;
    } catch (const sim::InputError& e) {
        std::fprintf(stderr, "cvsim: %s\n", e.what());
        return 2;
    } catch (const std::exception& e) {
        std::fprintf(stderr, "cvsim: %s\n", e.what());
        return 1;
    }
}
