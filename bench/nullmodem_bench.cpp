// Throughput of the port engine: pairs of 16C950 ports at 921 600 baud 8N1 joined by null-modem cables
// move a payload both ways in 4 KiB requests, through open, the line settings and overlapped reads and
// writes as a program would issue them. Four ports sit on each card and share its interrupt line.
//
// Reported as counts and ratios: the payload rate as a share of the line rate, overruns and lost
// bytes, transmit and receive interrupts per KiB, register accesses per byte, and simulated seconds
// per host CPU second.
//
//   cvbench_nullmodem [--pairs N]... [--ports-per-card N] [--mib M | --kib K] [--request BYTES]
//                     [--in-flight N]
//
// Without --pairs it runs one pair, then 8 pairs on 4 cards. Cards carry 4 ports unless
// --ports-per-card says otherwise (an installation's largest: 16 cards of 8 ports, --pairs 64
// --ports-per-card 8).
#include "port_harness.h"
#include "transfer.h"

#include "CvResourceKiller.h"
#include "hw/wiring.h"
#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"

#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace {

constexpr ULONG kBaud = 921600;
constexpr uint32_t kClock = 14745600;

struct Options {
    std::vector<unsigned> pairs;
    unsigned portsPerCard = 4;
    bench::TransferOptions transfer;
};

struct InterruptCounts {
    uint64_t transmit = 0, receive = 0, lineStatus = 0, modem = 0, notMine = 0;
};

struct Port : bench::TransferPort {
    HarnessPort harness;
    InterruptCounts interrupts;
};

// Counts what the UART asked for before the engine's routine serves it; the model's state is read
// directly, not through a register, so the count costs the engine nothing.
BOOLEAN CountingIsr(PKINTERRUPT interrupt, PVOID context) {
    auto* port = static_cast<Port*>(context);
    switch (port->harness.uart->pendingIdentification() & 0x0F) {
    case 0x02:
        ++port->interrupts.transmit;
        break;
    case 0x04:
    case 0x0C:
        ++port->interrupts.receive;
        break;
    case 0x06:
        ++port->interrupts.lineStatus;
        break;
    case 0x00:
        ++port->interrupts.modem;
        break;
    default:
        ++port->interrupts.notMine;
        break;
    }
    return SerialISR(interrupt, port->harness.ext);
}

struct Result {
    double shareOfLineRate = 0; // the slowest direction's
    uint64_t overruns = 0, lost = 0, corrupted = 0;
    double transmitPerKiB = 0, receivePerKiB = 0, otherPerKiB = 0, sharedMissesPerKiB = 0;
    double accessesPerByte = 0;
    double simulatedSeconds = 0, cpuSeconds = 0;
    uint64_t leftInPool = 0;
};

bool Run(unsigned pairs, const Options& options, Result& result) {
    nt::Kernel kernel;
    nt::KernelScope scope(kernel);
    nt::ImageScope image(kernel, "CvNt");
    if (!NT_SUCCESS(ConstructResourceKiller()))
        return false;
    DRIVER_OBJECT driver{};
    const unsigned portCount = 2 * pairs;
    const unsigned perCard = options.portsPerCard;
    const unsigned cards = (portCount + perCard - 1) / perCard;
    std::vector<std::unique_ptr<hw::WiredOrLine>> lines;
    for (unsigned c = 0; c < cards; ++c) {
        ULONG vector = 0x40 + c;
        lines.push_back(std::make_unique<hw::WiredOrLine>(
            [&kernel, vector](bool level) { kernel.setInterruptLine(vector, level); }));
    }
    std::vector<std::unique_ptr<Port>> ports;
    bool ok = true;
    for (unsigned i = 0; i < portCount && ok; ++i) {
        auto port = std::make_unique<Port>();
        port->index = i;
        port->partner = i < pairs ? i + pairs : i - pairs; // pairs run between cards
        HarnessPortConfig config;
        config.index = i;
        config.base = static_cast<USHORT>(0xE000 + 8 * i);
        config.vector = 0x40 + i / perCard;
        config.kind = hw::UartKind::Uart16C950;
        config.type = CV_UART_16950;
        config.clock = kClock;
        config.baud = kBaud;
        ok = NT_SUCCESS(
            port->harness.create(kernel, driver, HarnessDispatch, config, lines[i / perCard]->input()));
        if (ok) {
            ok = NT_SUCCESS(port->harness.connect(CountingIsr, TRUE, port.get()));
            port->harness.ext->PortOnAMultiportCard = TRUE;
        }
        ports.push_back(std::move(port));
    }
    std::vector<std::unique_ptr<hw::NullModemCable>> cables;
    for (unsigned p = 0; p < pairs && ok; ++p)
        cables.push_back(
            std::make_unique<hw::NullModemCable>(*ports[p]->harness.uart, *ports[p + pairs]->harness.uart));

    // Open and set the line as a program would: 921 600 baud, 8N1, no timeouts (reads wait until full).
    for (auto& port : ports)
        ok = ok && bench::OpenForTransfer(kernel, *port, "COM" + std::to_string(port->index + 3), kBaud);
    if (!ok) {
        std::fprintf(stderr, "cvbench_nullmodem: setting up %u pairs failed\n", pairs);
        return false;
    }
    const uint64_t accessesBefore = kernel.ports().reads() + kernel.ports().writes();
    std::vector<bench::TransferPort*> transfer;
    for (auto& port : ports)
        transfer.push_back(port.get());
    bench::TransferTotals totals;
    const bool failed =
        !bench::RunTransfer(kernel, transfer, options.transfer, kBaud, totals, "cvbench_nullmodem");
    const uint64_t accesses = kernel.ports().reads() + kernel.ports().writes() - accessesBefore;
    InterruptCounts sum;
    for (auto& port : ports) {
        sum.transmit += port->interrupts.transmit;
        sum.receive += port->interrupts.receive;
        sum.lineStatus += port->interrupts.lineStatus;
        sum.modem += port->interrupts.modem;
        sum.notMine += port->interrupts.notMine;
    }
    const size_t total = options.transfer.bytes;
    const double kib = double(total) * portCount / 1024.0; // KiB sent, and as many received
    result.shareOfLineRate = totals.shareOfLineRate;
    result.overruns = totals.overruns;
    result.lost = totals.lost;
    result.corrupted = totals.corrupted;
    result.transmitPerKiB = double(sum.transmit) / kib;
    result.receivePerKiB = double(sum.receive) / kib;
    result.otherPerKiB = double(sum.lineStatus + sum.modem) / kib;
    result.sharedMissesPerKiB = double(sum.notMine) / kib;
    result.accessesPerByte = double(accesses) / (double(total) * portCount);
    result.simulatedSeconds = totals.simulatedSeconds;
    result.cpuSeconds = totals.cpuSeconds;

    cables.clear();
    for (auto& port : ports)
        port->harness.destroy();
    deleteall();
    DestructResourceKiller();
    result.leftInPool = kernel.pool().liveCount("CvNt");
    return !failed;
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
        if (arg == "--pairs" && value(v) && v <= 64)
            options.pairs.push_back(static_cast<unsigned>(v));
        else if (arg == "--ports-per-card" && value(v) && v <= 8)
            options.portsPerCard = static_cast<unsigned>(v);
        else if (arg == "--mib" && value(v) && v <= 1024)
            options.transfer.bytes = size_t(v) << 20;
        else if (arg == "--kib" && value(v) && v <= (1u << 20))
            options.transfer.bytes = size_t(v) << 10;
        else if (arg == "--request" && value(v) && v <= (1u << 20))
            options.transfer.request = v;
        else if (arg == "--in-flight" && value(v) && v <= 16)
            options.transfer.inFlight = static_cast<unsigned>(v);
        else {
            std::fprintf(
                stderr,
                "usage: cvbench_nullmodem [--pairs N (1-64)]... [--ports-per-card N (1-8)] [--mib M | "
                "--kib K] [--request BYTES] [--in-flight N (1-16)]\n");
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
    std::printf("16C950 ports at %lu baud 8N1 on null-modem cables, %zu bytes each way per port in %zu-byte "
                "requests, %u of each outstanding\n\n",
                static_cast<unsigned long>(kBaud), options.transfer.bytes, options.transfer.request,
                options.transfer.inFlight);
    std::printf(
        "| pairs | cards | payload / line rate | overruns | lost | corrupted | TX int/KiB | RX int/KiB | "
        "other int/KiB | shared-line calls not for the port /KiB | register accesses/byte | "
        "simulated s | host CPU s | simulated s per CPU s | pool blocks left |\n");
    std::printf("|---|---|---|---|---|---|---|---|---|---|---|---|---|---|---|\n");
    int rc = 0;
    for (unsigned pairs : options.pairs) {
        Result r;
        bool ok = Run(pairs, options, r);
        std::printf(
            "| %u | %u | %.5f | %llu | %llu | %llu | %.2f | %.2f | %.2f | %.2f | %.3f | %.3f | %.2f | %.2f | "
            "%llu |\n",
            pairs, (2 * pairs + options.portsPerCard - 1) / options.portsPerCard, r.shareOfLineRate,
            static_cast<unsigned long long>(r.overruns), static_cast<unsigned long long>(r.lost),
            static_cast<unsigned long long>(r.corrupted), r.transmitPerKiB, r.receivePerKiB, r.otherPerKiB,
            r.sharedMissesPerKiB, r.accessesPerByte, r.simulatedSeconds, r.cpuSeconds,
            r.cpuSeconds > 0 ? r.simulatedSeconds / r.cpuSeconds : 0.0,
            static_cast<unsigned long long>(r.leftInPool));
        std::fflush(stdout);
        if (!ok || r.lost || r.corrupted || r.overruns || r.leftInPool)
            rc = 1;
    }
    return rc;
}
