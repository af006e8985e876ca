// Cost of CvInstal's card start and removal as cards are added: a Windows 2000 machine with N PCI cards
// of eight 16C950 ports each. The boot loads CvInstal and starts every card (children created, card
// keys written, interfaces registered); the removal takes every card away and unloads CvInstal.
// Reported per child: host CPU time of the starts and of the removals, CvInstal's pool allocations
// during the starts, and those of them made through its tracked allocator. The goal is a cost linear in
// children (the per-child figures stay flat as N grows).
//
//   cvbench_w2k [--cards N]... [--repeat R]
#include "cardmachine.h"
#include "sim/machine.h"
#include "sim/pnpdevices.h"

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

constexpr uint32_t kTrackedTag = 'C' | 'v' << 8 | 'K' << 16 | 'i' << 24; // the tracked allocator's blocks

sim::MachineSpec Spec(unsigned cards) {
    sim::MachineSpec spec;
    spec.system = sim::System::Windows2000;
    const std::string service = "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvInstal";
    spec.registryText =
        "Windows Registry Editor Version 5.00\n\n" + service +
        "]\n\"Type\"=dword:1\n\"Start\"=dword:3\n\"LogLevel\"=dword:1\n\n" + service +
        "\\Templates\\Bus5\\Card1]\n\"VendorID\"=dword:000010b5\n\"DeviceID\"=dword:00000480\n"
        "\"SubsysID\"=dword:048010b5\n\"ClockFrequency\"=dword:00e10000\n\"nComPorts\"=dword:8\n"
        "\"nLptPorts\"=dword:0\n\"Description\"=\"Corvane PCI 8\"\n\"ComBaseAddressAlignment\"=dword:8\n"
        "\"UartType\"=dword:9\n\n" +
        service +
        "\\Parameters\\Bus5]\n\n"
        "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Control\\CriticalDeviceDatabase\\PCI#VEN_10B5&DEV_"
        "0480]\n"
        "\"Service\"=\"CvInstal\"\n\"ClassGUID\"=\"{50906CB8-BA12-11D1-BF5D-0000F805F530}\"\n";
    for (unsigned c = 0; c < cards; ++c) {
        sim::CardSpec card = bench::PciCard(c);
        card.pci.deviceId = card.pci.subsystemId = 0x0480;
        card.pci.bridgeMemory = 0; // placed by the machine
        spec.cards.push_back(card);
    }
    return spec;
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
            std::fprintf(stderr, "usage: cvbench_w2k [--cards N (1-16)]... [--repeat R]\n");
            return 2;
        }
    }
    if (counts.empty())
        counts = {1, 4, 16};
    if (repeat == 0)
        repeat = 1;
    std::printf("| PCI cards | children | start µs/child | removal µs/child | allocations/child | tracked "
                "allocations/child | all removed, CvInstal unloaded |\n|---|---|---|---|---|---|---|\n");
    int rc = 0;
    for (unsigned n : counts) {
        if (n < 1 || n > 16) {
            std::fprintf(stderr, "cvbench_w2k: --cards takes 1 to 16\n");
            return 2;
        }
        const unsigned children = 8 * n;
        double start = 0, removal = 0;
        uint64_t allocations = 0, tracked = 0;
        bool clean = true;
        for (unsigned r = 0; r < repeat; ++r) {
            sim::Machine machine(Spec(n));
            nt::Kernel& kernel = machine.kernel();
            nt::KernelScope scope(kernel);
            // Load the driver first, so that the starts are measured without its entry.
            if (kernel.services().start("CvInstal") != 0) {
                std::fprintf(stderr, "cvbench_w2k: CvInstal did not load\n");
                return 1;
            }
            allocations = tracked = 0;
            kernel.pool().failWhen([&](size_t, uint32_t tag, const std::string& image) {
                if (image == "CvInstal") {
                    ++allocations;
                    tracked += tag == kTrackedTag;
                }
                return false; // counts, never fails
            });
            double t0 = CpuSeconds();
            machine.boot();
            double t1 = CpuSeconds();
            kernel.pool().clearFailures();
            auto cards = machine.pnp()->nodesServedBy("CvInstal");
            size_t made = 0;
            for (auto* card : cards)
                made += card->children.size();
            if (cards.size() != n || made != children) {
                std::fprintf(stderr, "cvbench_w2k: %zu of %u cards with %zu children started\n", cards.size(),
                             n, made);
                return 1;
            }
            double t2 = CpuSeconds();
            for (auto* card : cards)
                clean = machine.pnp()->manager().remove(*card).ok() && clean;
            double t3 = CpuSeconds();
            start += t1 - t0;
            removal += t3 - t2;
            clean =
                clean && !kernel.services().running("CvInstal") && kernel.pool().liveCount("CvInstal") == 0;
        }
        std::printf("| %u | %u | %.2f | %.2f | %.2f | %.2f | %s |\n", n, children,
                    1e6 * start / repeat / children, 1e6 * removal / repeat / children,
                    double(allocations) / children, double(tracked) / children, clean ? "yes" : "NO");
        if (!clean)
            rc = 1;
    }
    return rc;
}
