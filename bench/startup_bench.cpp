// Cost of CvNt's start and stop as the machine grows: N PCI cards of 8 16C950 ports and up to 4 ISA
// cards with a shared interrupt status register and 4 16550 ports each. Reported per port: host CPU
// time of the start and of the stop, pool allocations and register accesses of the start. The goal is
// a cost linear in ports (the per-port figures stay flat as N grows).
//
//   cvbench_startup [--cards N]... [--repeat R]
#include "sim/machine.h"
#include "cardmachine.h"

#include <cstdio>
#include <cstdlib>
#include <ctime>
#include <string>
#include <vector>

namespace {

double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The registry without the driver's event-source registration, which stays after a stop by design.
std::string WithoutEventSource(const std::string& dump) {
    std::string out;
    bool skipping = false;
    size_t at = 0;
    while (at < dump.size()) {
        size_t end = dump.find('\n', at);
        std::string line = dump.substr(at, end == std::string::npos ? std::string::npos : end - at + 1);
        at = end == std::string::npos ? dump.size() : end + 1;
        if (!line.empty() && line[0] == '\\')
            skipping = line.find("\\Services\\EventLog") != std::string::npos;
        if (!skipping)
            out += line;
    }
    return out;
}

} // namespace

int main(int argc, char** argv) {
    std::vector<unsigned> counts;
    unsigned repeat = 5;
    for (int i = 1; i < argc; ++i) {
        std::string arg = argv[i];
        if (arg == "--cards" && i + 1 < argc)
            counts.push_back(static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10)));
        else if (arg == "--repeat" && i + 1 < argc)
            repeat = static_cast<unsigned>(std::strtoul(argv[++i], nullptr, 10));
        else {
            std::fprintf(stderr, "usage: cvbench_startup [--cards N (1-16)]... [--repeat R]\n");
            return 2;
        }
    }
    if (counts.empty())
        counts = {1, 4, 16};
    std::printf(
        "| PCI cards | ISA cards | ports | start µs/port | stop µs/port | allocations/port | register "
        "accesses/port | machine restored |\n|---|---|---|---|---|---|---|---|\n");
    int rc = 0;
    for (unsigned n : counts) {
        if (n < 1 || n > 16) {
            std::fprintf(stderr, "cvbench_startup: --cards takes 1 to 16\n");
            return 2;
        }
        const unsigned isa = n < 4 ? n : 4;
        const unsigned ports = 8 * n + 4 * isa;
        double start = 0, stop = 0;
        uint64_t allocations = 0, accesses = 0;
        bool restored = true;
        for (unsigned r = 0; r < repeat; ++r) {
            sim::Machine machine(bench::CardMachine(n, isa));
            nt::Kernel& kernel = machine.kernel();
            nt::KernelScope scope(kernel);
            const std::string before = kernel.registry().dump();
            const uint64_t a0 = kernel.pool().allocationCount();
            const uint64_t p0 = kernel.ports().reads() + kernel.ports().writes();
            double t0 = CpuSeconds();
            if (machine.startCvNt() != 0) {
                std::fprintf(stderr, "cvbench_startup: the driver did not start with %u cards\n", n);
                return 1;
            }
            double t1 = CpuSeconds();
            allocations = kernel.pool().allocationCount() - a0;
            accesses = kernel.ports().reads() + kernel.ports().writes() - p0;
            machine.stopCvNt();
            double t2 = CpuSeconds();
            start += t1 - t0;
            stop += t2 - t1;
            restored = restored &&
                       WithoutEventSource(kernel.registry().dump()) == WithoutEventSource(before) &&
                       kernel.pool().liveCount("CvNt") == 0 && kernel.io().deviceCount() == 0;
        }
        std::printf("| %u | %u | %u | %.1f | %.1f | %.1f | %.1f | %s |\n", n, isa, ports,
                    1e6 * start / repeat / ports, 1e6 * stop / repeat / ports, double(allocations) / ports,
                    double(accesses) / ports, restored ? "yes" : "NO");
        if (!restored)
            rc = 1;
    }
    return rc;
}
