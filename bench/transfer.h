// Moving a payload both ways between pairs of ports on null-modem cables, as a program does it: every
// port opened and set to the rate, 8N1 and no timeouts, then overlapped writes and reads in requests of
// a fixed size, a few of each outstanding, until every byte has arrived or ten times its line time has
// passed. Used by the null-modem benchmarks of both systems.
#pragma once

#include "hw/eventqueue.h"
#include "platform/nt/include/ntddser.h"
#include "platform/nt/kernel.h"
#include "platform/nt/userio.h"

#include <algorithm>
#include <cstdint>
#include <cstdio>
#include <cstring>
#include <ctime>
#include <deque>
#include <memory>
#include <string>
#include <vector>

namespace bench {

inline double CpuSeconds() {
    timespec t{};
    clock_gettime(CLOCK_PROCESS_CPUTIME_ID, &t);
    return double(t.tv_sec) + double(t.tv_nsec) * 1e-9;
}

// The payload each port sends: a stream no two ports share, so a lost, repeated or misdelivered byte
// shows.
inline uint8_t PayloadByte(unsigned port, size_t index) {
    uint64_t x = (uint64_t(port) << 40) ^ (index * 0x9E3779B97F4A7C15ull);
    x ^= x >> 29;
    x *= 0xBF58476D1CE4E5B9ull;
    return static_cast<uint8_t>(x >> 56);
}

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

struct TransferOptions {
    size_t bytes = 4u << 20;
    size_t request = 4096;
    unsigned inFlight = 2; // requests of each kind outstanding per port: double buffering
};

struct TransferPort {
    std::unique_ptr<nt::UserFile> file;
    unsigned index = 0, partner = 0;
    size_t written = 0, readAsked = 0, read = 0, mismatches = 0;
    std::deque<std::shared_ptr<nt::IoRequest>> writes, reads;
    uint64_t lastByteAt = 0;
};

struct TransferTotals {
    double shareOfLineRate = 0; // the slowest direction's
    uint64_t overruns = 0, lost = 0, corrupted = 0;
    double simulatedSeconds = 0, cpuSeconds = 0;
};

// Opens the port by name and sets the line; false when any step fails.
inline bool OpenForTransfer(nt::Kernel& kernel, TransferPort& port, const std::string& name, ULONG baud) {
    if (!NT_SUCCESS(nt::UserFile::open(kernel, name, port.file)))
        return false;
    SERIAL_BAUD_RATE rate{baud};
    SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
    SERIAL_TIMEOUTS timeouts{};
    return NT_SUCCESS(port.file->control(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate), 0).status) &&
           NT_SUCCESS(port.file->control(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(line), 0).status) &&
           NT_SUCCESS(port.file->control(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0).status);
}

// Runs the transfer between the opened ports, reads their statistics and closes them; false when a
// request failed or the time ran out.
inline bool RunTransfer(nt::Kernel& kernel, const std::vector<TransferPort*>& ports,
                        const TransferOptions& options, ULONG baud, TransferTotals& totals,
                        const char* program) {
    const size_t total = options.bytes, chunk = options.request;
    auto topUp = [&](TransferPort& port) {
        while (port.writes.size() < options.inFlight && port.written < total) {
            size_t length = std::min(chunk, total - port.written);
            std::vector<uint8_t> data(length);
            for (size_t k = 0; k < length; ++k)
                data[k] = PayloadByte(port.index, port.written + k);
            port.written += length;
            port.writes.push_back(port.file->startWrite(data));
        }
        while (port.reads.size() < options.inFlight && port.readAsked < total) {
            ULONG length = static_cast<ULONG>(std::min(chunk, total - port.readAsked));
            port.reads.push_back(port.file->startRead(length));
            port.readAsked += length;
        }
    };
    const uint64_t start = kernel.now();
    const double cpuStart = CpuSeconds();
    for (TransferPort* port : ports)
        topUp(*port);
    const uint64_t limit = start + uint64_t(10.0 * double(total) * 10.0 / baud * hw::kTicksPerSecond);
    // A port's requests complete in order, so once every completed one has been taken, a new completion
    // is what the program waits for; the count tells at once, with any number of ports.
    uint64_t taken = kernel.io().completions();
    auto anyFinished = [&] { return kernel.io().completions() != taken; };
    // Requests that ended while they were issued are taken at once, as before.
    for (TransferPort* port : ports)
        if ((!port->writes.empty() && port->writes.front()->completed) ||
            (!port->reads.empty() && port->reads.front()->completed))
            taken = ~uint64_t{0};
    bool failed = false;
    for (;;) {
        bool outstanding = false;
        for (TransferPort* port : ports)
            outstanding = outstanding || !port->writes.empty() || !port->reads.empty();
        if (!outstanding)
            break;
        if (!kernel.runUntil(anyFinished, limit)) {
            std::fprintf(stderr, "%s: the transfer did not finish in ten times its line time\n", program);
            failed = true;
            break;
        }
        taken = kernel.io().completions();
        for (TransferPort* port : ports) {
            while (!port->writes.empty() && port->writes.front()->completed) {
                failed = failed || port->writes.front()->status != STATUS_SUCCESS;
                port->writes.pop_front();
            }
            while (!port->reads.empty() && port->reads.front()->completed) {
                auto& done = *port->reads.front();
                failed = failed || done.status != STATUS_SUCCESS;
                for (size_t k = 0; k < done.information; ++k)
                    if (done.output[k] != PayloadByte(port->partner, port->read + k))
                        ++port->mismatches;
                port->read += done.information;
                port->lastByteAt = kernel.now();
                port->reads.pop_front();
            }
            topUp(*port);
        }
        if (failed)
            break;
    }
    totals.cpuSeconds = CpuSeconds() - cpuStart;
    totals.simulatedSeconds = double(kernel.now() - start) / hw::kTicksPerSecond;
    double slowest = 1e9;
    for (TransferPort* port : ports) {
        auto stats = port->file->control(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
        SERIALPERF_STATS perf{};
        if (stats.data.size() == sizeof perf)
            std::memcpy(&perf, stats.data.data(), sizeof perf);
        totals.overruns += perf.SerialOverrunErrorCount + perf.BufferOverrunErrorCount;
        totals.lost += total - std::min(total, port->read);
        totals.corrupted += port->mismatches;
        double seconds = double(port->lastByteAt - start) / hw::kTicksPerSecond;
        slowest = std::min(slowest, seconds > 0 ? double(port->read) / seconds / (baud / 10.0) : 0.0);
        port->file->close();
    }
    totals.shareOfLineRate = slowest;
    return !failed;
}

} // namespace bench
