// Costs of the first slice, as counts that do not depend on the host: register accesses per baud-rate
// change for each UART type, and for the whole UART check of the built-in machine.
#include "sim/machine.h"
#include "sim/uartcheck.h"

#include "CvResourceKiller.h"
#include "CvUart.h"

#include <benchmark/benchmark.h>

namespace {

void SetBaudrate(benchmark::State& state) {
    auto kind = static_cast<hw::UartKind>(state.range(0));
    const UCHAR codes[] = {4, 5, 7, 9};
    nt::Kernel kernel;
    nt::KernelScope scope(kernel);
    nt::ImageScope image(kernel, "CvNt");
    hw::Uart model(kind, 14745600);
    kernel.ports().attach(0x300, 8, model);
    ConstructResourceKiller();
    CCvUart* uart = CvAllocateUart(codes[state.range(0)]);
    uart->m_unBaseAddress = 0x300;
    uart->m_ulClockFrequency = 14745600;
    uart->m_ulClockFrequencyAdjustment = 1;
    CvCompleteUartSetUp(uart);
    const ULONG rates[] = {9600, 19200, 38400, 57600, 115200};
    uint64_t before = kernel.ports().reads() + kernel.ports().writes();
    size_t i = 0;
    for (auto _ : state)
        benchmark::DoNotOptimize(uart->SetBaudrate(rates[i++ % 5]));
    uint64_t accesses = kernel.ports().reads() + kernel.ports().writes() - before;
    state.counters["accesses_per_change"] = double(accesses) / double(state.iterations());
    state.SetLabel(std::string(hw::toString(kind)));
    CvFreeUart(uart);
    deleteall();
    DestructResourceKiller();
}
BENCHMARK(SetBaudrate)->DenseRange(0, 3);

void UartCheck(benchmark::State& state) {
    uint64_t accesses = 0, allocations = 0;
    for (auto _ : state) {
        sim::Machine machine(sim::MachineSpec::builtInDefault());
        benchmark::DoNotOptimize(sim::runUartCheck(machine));
        accesses = machine.kernel().ports().reads() + machine.kernel().ports().writes();
        allocations = machine.kernel().pool().allocationCount();
    }
    state.counters["port_accesses"] = double(accesses);
    state.counters["pool_allocations"] = double(allocations);
}
BENCHMARK(UartCheck);

} // namespace

BENCHMARK_MAIN();
