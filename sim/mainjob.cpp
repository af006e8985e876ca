#include "sim/mainjob.h"

#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"

#include "CvDevice.h"
#include "CvUart.h"

#include <algorithm>
#include <chrono>
#include <cstdlib>
#include <cstdarg>
#include <cstdio>
#include <cstring>
#include <set>

namespace sim {

namespace {

const std::string kServiceKey = "\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt";
const std::string kSerialComm = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const std::string kResourceMap = "\\Registry\\Machine\\HARDWARE\\RESOURCEMAP";

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

void heading(std::string& out, const std::string& title) {
    out += "\n== " + title + "\n";
}

// A REG_SZ value's text, with or without its terminating zero.
std::string text(const nt::RegValue& value) {
    std::u16string wide(reinterpret_cast<const char16_t*>(value.data.data()), value.data.size() / 2);
    while (!wide.empty() && wide.back() == 0)
        wide.pop_back();
    return nt::toUtf8(wide);
}

} // namespace

std::set<std::string> Inventory(nt::Kernel& kernel) {
    std::set<std::string> items;
    if (auto key = kernel.registry().open(kSerialComm))
        for (const auto& v : key->values)
            items.insert("SERIALCOMM value " + nt::toUtf8(v.name) + " = " + text(v));
    items.insert("serial port count " + std::to_string(kernel.configuration().SerialCount));
    for (const auto& name : kernel.io().deviceNames())
        items.insert("device " + nt::toUtf8(name));
    for (const auto& name : kernel.io().linkNames())
        items.insert("link " + nt::toUtf8(name));
    for (const auto& claim : kernel.resources().claims())
        items.insert("claim " + nt::toUtf8(claim.className) + "\\" + nt::toUtf8(claim.driverName) + " " +
                     nt::toUtf8(claim.valueName));
    if (kernel.registry().exists(kServiceKey + "\\CurrentConfig"))
        items.insert("key CurrentConfig");
    items.insert("CvNt pool blocks " + std::to_string(kernel.pool().liveCount("CvNt")));
    return items;
}

namespace {

void describeResources(nt::Kernel& kernel, std::string& out) {
    for (const auto& claim : kernel.resources().claims()) {
        out += format("  %s\\%s  %s\n", nt::toUtf8(claim.className).c_str(),
                      nt::toUtf8(claim.driverName).c_str(),
                      claim.valueName.empty() ? "(driver)" : nt::toUtf8(claim.valueName).c_str());
        for (const auto& d : claim.resources) {
            if (d.Type == CmResourceTypePort)
                out += format("      I/O %04llX-%04llX\n", (unsigned long long)d.u.Port.Start.QuadPart,
                              (unsigned long long)(d.u.Port.Start.QuadPart + d.u.Port.Length - 1));
            else if (d.Type == CmResourceTypeMemory)
                out += format("      memory %08llX-%08llX\n", (unsigned long long)d.u.Memory.Start.QuadPart,
                              (unsigned long long)(d.u.Memory.Start.QuadPart + d.u.Memory.Length - 1));
            else if (d.Type == CmResourceTypeInterrupt)
                out += format("      interrupt level %lu, vector %lu, %s\n",
                              (unsigned long)d.u.Interrupt.Level, (unsigned long)d.u.Interrupt.Vector,
                              d.ShareDisposition == CmResourceShareShared ? "shared" : "exclusive");
        }
    }
}

template <typename T>
std::vector<uint8_t> bytesOf(const T& value) {
    std::vector<uint8_t> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

} // namespace

bool runTraffic(Machine& machine, const TrafficCheck& t, std::string& out) {
    nt::Kernel& kernel = machine.kernel();
    hw::Uart* a = machine.uartAt(t.fromAddress);
    hw::Uart* b = machine.uartAt(t.toAddress);
    if (!a || !b) {
        out += "  the machine has no UART at one of the cable's ends\n";
        return false;
    }
    hw::NullModemCable cable(*a, *b);
    std::unique_ptr<nt::UserFile> tx, rx;
    NTSTATUS txOpen = nt::UserFile::open(kernel, t.from, tx), rxOpen = nt::UserFile::open(kernel, t.to, rx);
    if (!NT_SUCCESS(txOpen) || !NT_SUCCESS(rxOpen)) {
        out += format("  open %s: 0x%08X, open %s: 0x%08X\n", t.from.c_str(), (unsigned)txOpen, t.to.c_str(),
                      (unsigned)rxOpen);
        return false;
    }
    for (auto* f : {tx.get(), rx.get()}) {
        SERIAL_BAUD_RATE rate{t.baud};
        SERIAL_LINE_CONTROL line{STOP_BIT_1, NO_PARITY, 8};
        f->control(IOCTL_SERIAL_SET_BAUD_RATE, bytesOf(rate), 0);
        f->control(IOCTL_SERIAL_SET_LINE_CONTROL, bytesOf(line), 0);
    }
    std::vector<uint8_t> payload(t.bytes);
    for (size_t i = 0; i < payload.size(); ++i)
        payload[i] = static_cast<uint8_t>((i * 131 + 7) ^ (i >> 8));
    const uint64_t start = kernel.now();
    auto cpuStart = std::chrono::steady_clock::now();
    auto read = rx->startRead(static_cast<ULONG>(payload.size()));
    auto written = tx->write(payload, start + 60 * hw::kTicksPerSecond);
    auto got = rx->wait(read, start + 60 * hw::kTicksPerSecond);
    const double seconds = double(kernel.now() - start) / hw::kTicksPerSecond;
    const double host = std::chrono::duration<double>(std::chrono::steady_clock::now() - cpuStart).count();
    bool intact = got.data == payload;
    out += format("  %s -> %s over a null-modem cable, %u baud 8N1, %zu bytes\n", t.from.c_str(),
                  t.to.c_str(), t.baud, payload.size());
    out +=
        format("  write: 0x%08X, %zu bytes; read: 0x%08X, %zu bytes; %s\n", (unsigned)written.status,
               written.information, (unsigned)got.status, got.information, intact ? "intact" : "NOT INTACT");
    out +=
        format("  %.4f s of machine time: %.0f bytes/s, %.1f %% of the line rate (%.0f bytes/s); %.3f s of "
               "host time\n",
               seconds, payload.size() / seconds, 100.0 * payload.size() / seconds / (t.baud / 10.0),
               t.baud / 10.0, host);
    for (auto [name, file] : {std::pair{t.from, tx.get()}, std::pair{t.to, rx.get()}}) {
        auto stats = file->control(IOCTL_SERIAL_GET_STATS, {}, sizeof(SERIALPERF_STATS));
        SERIALPERF_STATS s{};
        if (stats.data.size() == sizeof s)
            std::memcpy(&s, stats.data.data(), sizeof s);
        out +=
            format("  %s statistics: received %lu, transmitted %lu, frame errors %lu, overruns %lu, buffer "
                   "overruns %lu, parity errors %lu\n",
                   name.c_str(), (unsigned long)s.ReceivedCount, (unsigned long)s.TransmittedCount,
                   (unsigned long)s.FrameErrorCount, (unsigned long)s.SerialOverrunErrorCount,
                   (unsigned long)s.BufferOverrunErrorCount, (unsigned long)s.ParityErrorCount);
    }
    tx->close();
    rx->close();
    return intact;
}

std::vector<CvNtPort> CvNtPorts(Machine& machine) {
    nt::Kernel& kernel = machine.kernel();
    std::vector<CvNtPort> ports;
    auto key = kernel.registry().open(kSerialComm);
    if (!key)
        return ports;
    for (const auto& v : key->values) {
        PDEVICE_OBJECT device = kernel.io().device(u"\\Device\\" + v.name);
        if (!device || kernel.io().imageOf(device) != "CvNt" || !device->DeviceExtension)
            continue;
        const CCvUart* uart = static_cast<CCvDevice*>(device->DeviceExtension)->pChip_Uart;
        if (!uart)
            continue;
        CvNtPort port;
        port.name = text(v);
        port.address = uart->m_unBaseAddress;
        const CardSpec* card = machine.cardAt(port.address);
        port.card = card ? card->name : "";
        ports.push_back(port);
    }
    auto number = [](const std::string& name) {
        return std::atoi(name.c_str() + std::min<size_t>(3, name.size()));
    };
    std::stable_sort(ports.begin(), ports.end(),
                     [&](const CvNtPort& a, const CvNtPort& b) { return number(a.name) < number(b.name); });
    return ports;
}

bool ChooseTrafficPorts(Machine& machine, TrafficCheck& traffic, std::string& why) {
    const std::vector<CvNtPort> ports = CvNtPorts(machine);
    auto named = [&](const std::string& name) -> const CvNtPort* {
        for (const CvNtPort& p : ports)
            if (nt::namesEqual(nt::toUtf16(p.name), nt::toUtf16(name)))
                return &p;
        return nullptr;
    };
    if (!traffic.from.empty() || !traffic.to.empty()) {
        const CvNtPort* a = named(traffic.from);
        const CvNtPort* b = named(traffic.to);
        if (!a || !b) {
            why = "CvNt serves no port " + (a ? traffic.to : traffic.from);
            return false;
        }
        traffic.fromAddress = a->address;
        traffic.toAddress = b->address;
        return true;
    }
    // The first port, and the first of another card (else another of the same card).
    for (size_t i = 0; i < ports.size(); ++i)
        for (size_t j = 0; j < ports.size(); ++j)
            if (i != j && (ports[i].card != ports[j].card || ports.size() == 2)) {
                traffic.from = ports[i].name;
                traffic.fromAddress = ports[i].address;
                traffic.to = ports[j].name;
                traffic.toAddress = ports[j].address;
                return true;
            }
    why = "CvNt serves fewer than two ports on this machine";
    return false;
}

std::string ResourceMapText(nt::Kernel& kernel) {
    std::string out;
    describeResources(kernel, out);
    return out;
}

int runMainJob(Machine& machine, const TrafficCheck& traffic, std::string& out) {
    if (machine.windows2000())
        return runWindows2000MainJob(machine, out);
    nt::Kernel& kernel = machine.kernel();
    nt::KernelScope running(kernel);
    const std::set<std::string> before = Inventory(kernel);

    heading(out, "Starting the CvNt service");
    uint32_t error = machine.startCvNt();
    out +=
        format("  result: %u (entry status 0x%08X)\n", error, (unsigned)kernel.services().lastEntryStatus());

    heading(out, "Event log");
    out += kernel.eventLog().renderAll();
    if (error != 0) {
        // What a refused start left on the machine: a driver that cleaned up leaves nothing.
        heading(out, "Left behind by the refused start");
        const std::set<std::string> after = Inventory(kernel);
        bool any = false;
        for (const auto& item : after)
            if (!before.count(item)) {
                out += "  " + item + "\n";
                any = true;
            }
        for (const auto& item : before)
            if (!after.count(item)) {
                out += "  MISSING: " + item + "\n";
                any = true;
            }
        if (!any)
            out += "  nothing: the machine is as it was before the start\n";
        return 1;
    }

    heading(out, "HARDWARE\\DEVICEMAP\\SERIALCOMM");
    if (auto key = kernel.registry().open(kSerialComm))
        for (const auto& v : key->values)
            out += "  " + nt::toUtf8(v.name) + " = " + text(v) + "\n";
    out += format("  serial port count: %lu\n", (unsigned long)kernel.configuration().SerialCount);

    heading(out, "CurrentConfig");
    out += kernel.registry().saveText(kServiceKey + "\\CurrentConfig");

    heading(out, "Resource map");
    describeResources(kernel, out);

    heading(out, "Traffic check");
    TrafficCheck chosen = traffic;
    std::string why;
    bool intact = true;
    if (ChooseTrafficPorts(machine, chosen, why)) {
        out += format("  %s (UART %X) and %s (UART %X)\n", chosen.from.c_str(), chosen.fromAddress,
                      chosen.to.c_str(), chosen.toAddress);
        intact = runTraffic(machine, chosen, out);
    } else if (!traffic.from.empty()) {
        out += "  " + why + "\n";
        intact = false; // the ports asked for are not there
    } else {
        out += "  skipped: " + why + "\n";
    }

    heading(out, "Stopping the CvNt service");
    const std::set<std::string> during = Inventory(kernel);
    error = machine.stopCvNt();
    out += format("  result: %u\n", error);
    const std::set<std::string> after = Inventory(kernel);
    out += "  removed by the stop:\n";
    for (const auto& item : during)
        if (!after.count(item))
            out += "    " + item + "\n";
    for (const auto& item : after)
        if (!before.count(item))
            out += "  LEFT BEHIND: " + item + "\n";
    for (const auto& item : before)
        if (!after.count(item))
            out += "  MISSING AFTER THE STOP: " + item + "\n";
    bool restored = before == after;
    if (restored)
        out += "  the machine is as it was before the start\n";
    return intact && restored && error == 0 ? 0 : 1;
}

} // namespace sim
