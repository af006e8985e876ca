// The null-modem benchmark's Windows 2000 row: the same pairs of 16C950 ports at 921 600 baud 8N1, now on
// PCI cards that CvInstal enumerates, each port served by the serial port driver's stand-in on its child
// (CvNt's engine and UART classes, reaching the UARTs through the card's mapped memory window). The
// figures are those of the engine behind another driver: they should match cvbench_nullmodem's.
//
//   cvbench_nullmodem_w2k [--pairs N]... [--mib M | --kib K] [--request BYTES] [--in-flight N]
//
// Without --pairs it runs one pair, then 8 pairs on 4 cards.
#include "transfer.h"

#include "sim/machine.h"
#include "sim/pnpdevices.h"

#include "hw/wiring.h"

#include <cstdlib>
#include <string>

namespace {

constexpr ULONG kBaud = 921600;
constexpr unsigned kPortsPerCard = 4;

struct Options {
    std::vector<unsigned> pairs;
    bench::TransferOptions transfer;
};

struct Result {
    bench::TransferTotals totals;
    double accessesPerByte = 0;
    uint64_t leftInPool = 0;
};

// The built-in Windows 2000 machine's PCI card, `cards` times, each in windows of its own.
sim::MachineSpec MachineWith(unsigned cards) {
    sim::MachineSpec builtIn = sim::MachineSpec::builtInWindows2000();
    sim::MachineSpec spec = builtIn;
    spec.cards.clear();
    const sim::CardSpec* pci = nullptr;
    for (const auto& card : builtIn.cards)
        if (card.bus == "PCI")
            pci = &card;
    for (unsigned c = 0; c < cards; ++c) {
        sim::CardSpec card = *pci;
        card.pciDevice = static_cast<uint8_t>(6 + c);
        card.pci.uartWindow = static_cast<uint16_t>(0xD000 + 0x100 * c);
        card.pci.bridgeIo = static_cast<uint16_t>(0xC000 + 0x100 * c);
        card.pci.window2 = static_cast<uint16_t>(0xB000 + 0x100 * c);
        card.pci.bridgeMemory = 0xFEB00000u + 0x2000u * c;
        card.pci.uartMemory = card.pci.bridgeMemory + 0x1000u;
        for (unsigned i = 0; i < card.uarts.size(); ++i)
            card.uarts[i].address = static_cast<uint16_t>(card.pci.uartWindow + 8 * i);
        spec.cards.push_back(card);
    }
    return spec;
}

bool Run(unsigned pairs, const Options& options, Result& result) {
    const unsigned portCount = 2 * pairs;
    const unsigned cards = (portCount + kPortsPerCard - 1) / kPortsPerCard;
    sim::Machine machine(MachineWith(cards));
    nt::Kernel& kernel = machine.kernel();
    nt::KernelScope scope(kernel);
    machine.boot();
    std::vector<sim::PnpDevices::Port> named;
    for (const auto& port : machine.pnp()->ports())
        if (!port.parallel)
            named.push_back(port);
    if (named.size() < portCount) {
        std::fprintf(stderr, "cvbench_nullmodem_w2k: the machine has %zu COM ports, not %u\n", named.size(),
                     portCount);
        return false;
    }
    std::vector<std::unique_ptr<bench::TransferPort>> ports;
    std::vector<std::unique_ptr<hw::NullModemCable>> cables;
    bool ok = true;
    for (unsigned i = 0; i < portCount; ++i) {
        auto port = std::make_unique<bench::TransferPort>();
        port->index = i;
        port->partner = i < pairs ? i + pairs : i - pairs; // pairs run between cards
        ports.push_back(std::move(port));
    }
    for (unsigned p = 0; p < pairs; ++p)
        cables.push_back(std::make_unique<hw::NullModemCable>(*machine.uartAt(named[p].address),
                                                              *machine.uartAt(named[p + pairs].address)));
    for (unsigned i = 0; i < portCount && ok; ++i)
        ok = bench::OpenForTransfer(kernel, *ports[i], named[i].name, kBaud);
    if (!ok) {
        std::fprintf(stderr, "cvbench_nullmodem_w2k: setting up %u pairs failed\n", pairs);
        return false;
    }
    auto accessesNow = [&] {
        return kernel.ports().reads() + kernel.ports().writes() + kernel.memory().reads() +
               kernel.memory().writes();
    };
    const uint64_t accessesBefore = accessesNow();
    std::vector<bench::TransferPort*> transfer;
    for (auto& port : ports)
        transfer.push_back(port.get());
    const bool finished =
        bench::RunTransfer(kernel, transfer, options.transfer, kBaud, result.totals, "cvbench_nullmodem_w2k");
    result.accessesPerByte =
        double(accessesNow() - accessesBefore) / (double(options.transfer.bytes) * portCount);
    cables.clear();
    // The cards go; the port drivers' stand-in must give back everything its ports had.
    for (w2k::DeviceNode* card : machine.pnp()->nodesServedBy("CvInstal"))
        machine.pnp()->manager().remove(*card);
    result.leftInPool = kernel.pool().liveCount("Serial");
    return finished;
}

bool Parse(int argc, char** argv, Options& options) {
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        auto value = [&](unsigned long& out) {
            if (i + 1 >= argc)
                return false;
            char* end = nullptr;
            out = std::strtoul(argv[++i], &end, 10);
            return *end == '\0' && out > 0;
        };
        unsigned long v = 0;
        if (arg == "--pairs" && value(v) && v <= 16)
            options.pairs.push_back(static_cast<unsigned>(v));
        else if (arg == "--mib" && value(v) && v <= 1024)
            options.transfer.bytes = size_t(v) << 20;
        else if (arg == "--kib" && value(v) && v <= (1u << 20))
            options.transfer.bytes = size_t(v) << 10;
        else if (arg == "--request" && value(v) && v <= (1u << 20))
            options.transfer.request = v;
        else if (arg == "--in-flight" && value(v) && v <= 16)
            options.transfer.inFlight = static_cast<unsigned>(v);
        else {
            std::fprintf(stderr, "usage: cvbench_nullmodem_w2k [--pairs N (1-16)]... [--mib M | --kib K] "
                                 "[--request BYTES] [--in-flight N (1-16)]\n");
            return false;
        }
    }
    if (options.pairs.empty())
        options.pairs = {1, 8};
    return true;
}

} // namespace

int main(int argc, char** argv) {
    Options options;
    if (!Parse(argc, argv, options))
        return 2;
    std::printf(
        "Windows 2000: 16C950 ports of CvInstal's PCI cards at %lu baud 8N1 on null-modem cables, %zu "
        "bytes each way per port in %zu-byte requests, %u of each outstanding\n\n",
        static_cast<unsigned long>(kBaud), options.transfer.bytes, options.transfer.request,
        options.transfer.inFlight);
    std::printf(
        "| pairs | cards | payload / line rate | overruns | lost | corrupted | register accesses/byte | "
        "simulated s | host CPU s | simulated s per CPU s | pool blocks left |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|\n");
    int rc = 0;
    for (unsigned pairs : options.pairs) {
        Result r;
        bool ok = Run(pairs, options, r);
        const auto& t = r.totals;
        std::printf("| %u | %u | %.5f | %llu | %llu | %llu | %.3f | %.3f | %.2f | %.2f | %llu |\n", pairs,
                    (2 * pairs + kPortsPerCard - 1) / kPortsPerCard, t.shareOfLineRate,
                    static_cast<unsigned long long>(t.overruns), static_cast<unsigned long long>(t.lost),
                    static_cast<unsigned long long>(t.corrupted), r.accessesPerByte, t.simulatedSeconds,
                    t.cpuSeconds, t.cpuSeconds > 0 ? t.simulatedSeconds / t.cpuSeconds : 0.0,
                    static_cast<unsigned long long>(r.leftInPool));
        std::fflush(stdout);
        if (!ok || t.lost || t.corrupted || t.overruns || r.leftInPool)
            rc = 1;
    }
    return rc;
}
