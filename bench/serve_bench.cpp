// The headroom of `cvsim serve`: the default machine with its six CvNt ports on null-modem cables in
// pairs (the PCI card's four at 921 600 baud, the ISA card's two at 115 200, 8N1), each port held as the
// server holds it (reads polled, writes kept outstanding, wait-on-mask pending) and streaming both ways,
// with the machine run in the server's steps of one millisecond as fast as the host allows. The headroom
// is the machine seconds the host runs per CPU second: above 1 the server keeps pace with the wall clock.
//
// With --pci-cards N the machine is N PCI cards of eight 16C950 ports instead (16: an installation's
// largest, 128 ports), the cards joined in pairs port by port, every port at 921 600 baud.
//
//   cvbench_serve [--seconds S] [--step-us U] [--pci-cards N]
#include "cardmachine.h"
#include "sim/mainjob.h"
#include "sim/portbridge.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

struct Stream {
    std::unique_ptr<sim::PortBridge> port;
    uint32_t baud = 0;
    uint64_t sent = 0, received = 0, corrupted = 0;
};

uint8_t PatternAt(uint64_t i) {
    return static_cast<uint8_t>(i * 131 + (i >> 8));
}

} // namespace

int main(int argc, char** argv) {
    double seconds = 5;
    unsigned stepUs = 1000, pciCards = 0;
    for (int i = 1; i < argc; ++i) {
        const std::string arg = argv[i];
        if (arg == "--seconds" && i + 1 < argc)
            seconds = std::atof(argv[++i]);
        else if (arg == "--step-us" && i + 1 < argc)
            stepUs = static_cast<unsigned>(std::atoi(argv[++i]));
        else if (arg == "--pci-cards" && i + 1 < argc)
            pciCards = static_cast<unsigned>(std::atoi(argv[++i]));
        else {
            std::fprintf(
                stderr,
                "usage: cvbench_serve [--seconds S (0.1-600)] [--step-us U (10-100000)] [--pci-cards N "
                "(2-16, even)]\n");
            return 2;
        }
    }
    if (seconds < 0.1 || seconds > 600 || stepUs < 10 || stepUs > 100000) {
        std::fprintf(stderr, "cvbench_serve: --seconds 0.1 to 600, --step-us 10 to 100000\n");
        return 2;
    }
    if (pciCards && (pciCards < 2 || pciCards > 16 || pciCards % 2)) {
        std::fprintf(stderr, "cvbench_serve: --pci-cards 2 to 16, an even number\n");
        return 2;
    }
    sim::MachineSpec spec = sim::MachineSpec::builtInDefault();
    spec.peers = {{true, 0xE000, 0xE008, 0}, {true, 0xE010, 0xE018, 0}, {true, 0x300, 0x308, 0}};
    if (pciCards) {
        spec = bench::CardMachine(pciCards, 0);
        spec.peers.clear();
        for (unsigned c = 0; c < pciCards; c += 2)
            for (unsigned p = 0; p < 8; ++p)
                spec.peers.push_back(
                    {true, bench::CardPortAddress(c, p), bench::CardPortAddress(c + 1, p), 0});
    }
    sim::Machine machine(spec);
    nt::Kernel& kernel = machine.kernel();
    {
        nt::KernelScope scope(kernel);
        if (machine.startCvNt() != 0) {
            std::fprintf(stderr, "cvbench_serve: CvNt did not start\n");
            return 1;
        }
    }
    // COM3, COM4, COM7, COM8 on the PCI card; COM5 and COM6 on the ISA card; or every port of the cards.
    std::vector<std::pair<std::string, uint32_t>> ports = {{"COM3", 921600}, {"COM4", 921600},
                                                           {"COM7", 921600}, {"COM8", 921600},
                                                           {"COM5", 115200}, {"COM6", 115200}};
    if (pciCards) {
        ports.clear();
        for (const sim::CvNtPort& port : sim::CvNtPorts(machine))
            if (port.address >= bench::CardPortAddress(0, 0))
                ports.emplace_back(port.name, 921600);
    }
    std::vector<Stream> streams;
    for (const auto& [name, baud] : ports) {
        Stream s;
        s.port = std::make_unique<sim::PortBridge>(machine, name);
        s.baud = baud;
        const SERIAL_LINE_CONTROL eightN1{STOP_BIT_1, NO_PARITY, 8};
        if (!NT_SUCCESS(s.port->open()) || !s.port->setBaud(baud) || !s.port->setLine(eightN1)) {
            std::fprintf(stderr, "cvbench_serve: %s could not be opened at %u baud\n", name.c_str(), baud);
            return 1;
        }
        streams.push_back(std::move(s));
    }
    const uint64_t step = uint64_t(stepUs) * 10;
    const uint64_t start = kernel.now(), end = start + uint64_t(seconds * 10'000'000);
    const double cpuStart = CpuSeconds();
    std::vector<uint8_t> chunk(4096);
    while (kernel.now() < end) {
        {
            nt::KernelScope scope(kernel);
            kernel.runUntil(kernel.now() + step);
        }
        for (Stream& s : streams) {
            // Writes kept ahead of the line, as a client that always has more to send.
            while (s.port->backlog() < 2 * chunk.size()) {
                for (size_t i = 0; i < chunk.size(); ++i)
                    chunk[i] = PatternAt(s.sent + i);
                s.port->send(chunk.data(), chunk.size());
                s.sent += chunk.size();
            }
            s.port->service();
        }
        // What each port received is its partner's stream.
        for (size_t i = 0; i < streams.size(); ++i) {
            Stream& s = streams[i];
            for (uint8_t b : s.port->takeReceived())
                s.corrupted += b != PatternAt(s.received++);
        }
    }
    const double cpu = CpuSeconds() - cpuStart;
    const double machineSeconds = double(kernel.now() - start) / 1e7;
    std::printf("| port | rate | payload / line rate | corrupted |\n|---|---|---|---|\n");
    bool intact = true;
    for (size_t i = 0; i < streams.size(); ++i) {
        const Stream& s = streams[i];
        const double line = s.baud / 10.0 * machineSeconds;
        std::printf("| %s | %u | %.3f | %llu |\n", ports[i].first.c_str(), s.baud, double(s.received) / line,
                    static_cast<unsigned long long>(s.corrupted));
        intact = intact && s.corrupted == 0 && s.received > 0;
    }
    std::printf("\n%.2f machine s in %.2f CPU s: headroom %.2f machine s per CPU s (1.00 keeps pace)\n",
                machineSeconds, cpu, machineSeconds / cpu);
    for (Stream& s : streams)
        s.port->close();
    {
        nt::KernelScope scope(kernel);
        machine.stopCvNt();
    }
    return intact ? 0 : 1;
}
