// The main job on a Windows 2000 machine: the plug-and-play manager builds the device tree, loading
// CvInstal for the cards; the job shows what came of it, removes every card, and checks that CvInstal
// unloaded and left the machine as it found it.
#include "sim/mainjob.h"

#include "sim/pnpdevices.h"

#include <cstdarg>
#include <cstdio>

namespace sim {

namespace {

std::string format(const char* fmt, ...) __attribute__((format(printf, 1, 2)));
std::string format(const char* fmt, ...) {
    char buffer[512];
    va_list args;
    va_start(args, fmt);
    std::vsnprintf(buffer, sizeof buffer, fmt, args);
    va_end(args);
    return buffer;
}

const char kService[] = "CvInstal";
const char kSerialCommKey[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const char kParallelPortsKey[] = "\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\PARALLEL PORTS";

// A key's string values as name and text, in the key's order.
std::vector<std::pair<std::string, std::string>> ValuesOf(nt::Kernel& kernel, const std::string& key) {
    std::vector<std::pair<std::string, std::string>> out;
    if (auto k = kernel.registry().open(key))
        for (const auto& v : k->values)
            out.emplace_back(nt::toUtf8(v.name),
                             kernel.registry().string(key, nt::toUtf8(v.name)).value_or(""));
    return out;
}

std::string u8(const std::u16string& text) {
    return nt::toUtf8(text);
}

std::string ResourceText(const CM_PARTIAL_RESOURCE_DESCRIPTOR& d) {
    switch (d.Type) {
    case CmResourceTypePort:
        return format("I/O %04llX-%04llX", (unsigned long long)d.u.Port.Start.QuadPart,
                      (unsigned long long)(d.u.Port.Start.QuadPart + d.u.Port.Length - 1));
    case CmResourceTypeMemory:
        return format("memory %08llX-%08llX", (unsigned long long)d.u.Memory.Start.QuadPart,
                      (unsigned long long)(d.u.Memory.Start.QuadPart + d.u.Memory.Length - 1));
    case CmResourceTypeInterrupt:
        return format("IRQ %lu", (unsigned long)d.u.Interrupt.Vector);
    default:
        return "other";
    }
}

std::string StateText(const w2k::DeviceNode& node) {
    switch (node.problem) {
    case w2k::kProblemNone:
        return std::string(w2k::toString(node.state));
    case w2k::kProblemFailedInstall:
        return "no driver installed (problem 28)";
    case w2k::kProblemDisabled:
        return "disabled (problem 22)";
    case w2k::kProblemFailedStart:
        return "cannot start (problem 10)";
    case w2k::kProblemFailedAdd:
        return "driver refused the device (problem 31)";
    case w2k::kProblemFailedDriverEntry:
        return "driver failed to load (problem 37)";
    default:
        return "problem " + std::to_string(node.problem);
    }
}

void DescribeNode(const w2k::DeviceNode& node, int depth, std::string& out) {
    const std::string indent(2 + 2 * depth, ' ');
    out += indent + (node.description.empty() ? u8(node.deviceId) : u8(node.description)) + "  [" +
           u8(node.instancePath()) + "]  " + StateText(node);
    if (!node.service.empty())
        out += ", driver " + node.service;
    out += "\n";
    if (!node.hardwareIds.empty())
        out += indent + "    hardware ID " + u8(node.hardwareIds.front()) + "\n";
    if (!node.raw.empty() && node.state == w2k::NodeState::Started) {
        std::string resources;
        for (const auto& d : node.raw)
            resources += (resources.empty() ? "" : ", ") + ResourceText(d);
        out += indent + "    resources " + resources + "\n";
    }
    for (const auto& child : node.children)
        if (child->pdo || child->state != w2k::NodeState::Removed)
            DescribeNode(*child, depth + 1, out);
}

// What must be as it was once every card is gone: CvInstal not loaded, none of its pool, deferred
// work or devices, no request in flight, no interface enabled, and the resource claims and object
// names of before.
std::set<std::string> PnpInventory(Machine& machine) {
    nt::Kernel& kernel = machine.kernel();
    std::set<std::string> items = Inventory(kernel);
    items.insert(std::string("service CvInstal ") +
                 (kernel.services().running(kService) ? "running" : "stopped"));
    items.insert("CvInstal pool blocks " + std::to_string(kernel.pool().liveCount(kService)));
    items.insert("CvInstal deferred work " + std::to_string(kernel.queuedDeferredWork(kService)));
    items.insert("requests in flight " + std::to_string(kernel.io().outstanding()));
    items.insert("device objects " + std::to_string(kernel.io().deviceCount()));
    for (const auto& entry : machine.pnp()->manager().interfaces())
        if (entry->enabled)
            items.insert("interface enabled " + u8(entry->symbolicLink));
    return items;
}

} // namespace

std::string DeviceTreeText(Machine& machine) {
    std::string out;
    if (PnpDevices* pnp = machine.pnp())
        DescribeNode(pnp->manager().root(), 0, out);
    return out;
}

int runWindows2000MainJob(Machine& machine, std::string& out) {
    nt::Kernel& kernel = machine.kernel();
    nt::KernelScope running(kernel);
    PnpDevices& pnp = *machine.pnp();
    const std::set<std::string> before = PnpInventory(machine);

    out += "\n== Booting Windows 2000\n";
    machine.boot();
    std::vector<w2k::DeviceNode*> cards = pnp.nodesServedBy(kService);
    size_t started = 0, children = 0;
    for (w2k::DeviceNode* card : cards) {
        started += card->state == w2k::NodeState::Started;
        children += card->children.size();
    }
    out += format("  CvInstal %s; %zu card(s), %zu started, %zu child device(s)\n",
                  kernel.services().running(kService) ? "loaded" : "NOT LOADED", cards.size(), started,
                  children);

    out += "\n== Event log\n";
    out += kernel.eventLog().renderAll();

    out += "\n== Devices by connection\n";
    out += DeviceTreeText(machine);

    out += "\n== Card device keys\n";
    for (w2k::DeviceNode* card : cards)
        out += kernel.registry().saveText(card->enumKey() + "\\Device Parameters");

    out += "\n== Device interfaces\n";
    for (const auto& entry : pnp.manager().interfaces()) {
        out += format("  %s %s  %s\n", u8(w2k::guidText(entry->classGuid)).c_str(),
                      entry->enabled ? "enabled " : "disabled", u8(entry->symbolicLink).c_str());
        out += kernel.registry().saveText(u8(entry->registryKey) + "\\Device Parameters");
    }

    out += "\n== Ports\n";
    std::vector<PnpDevices::Port> ports = pnp.ports();
    for (const auto& port : ports)
        out += format("  %-6s %-9s port %u at %04X  \"%s\"\n", port.name.c_str(), port.card.c_str(),
                      port.number, port.address,
                      kernel.registry().string(port.node->enumKey(), "FriendlyName").value_or("").c_str());
    out += "  SERIALCOMM:\n";
    for (const auto& [name, value] : ValuesOf(kernel, kSerialCommKey))
        out += "    " + name + " = " + value + "\n";
    out += "  PARALLEL PORTS:\n";
    for (const auto& [name, value] : ValuesOf(kernel, kParallelPortsKey))
        out += "    " + name + " = " + value + "\n";

    out += "\n== Traffic check\n";
    bool intact = false;
    const PnpDevices::Port* from = nullptr;
    const PnpDevices::Port* to = nullptr;
    for (const auto& port : ports)
        if (!port.parallel && !port.name.empty()) {
            if (!from)
                from = &port;
            else if (!to && port.card != from->card)
                to = &port;
        }
    if (from && to)
        intact = runTraffic(machine, {from->name, to->name, from->address, to->address, 115200, 4096}, out);
    else
        out += "  the machine has no two COM ports on different cards\n";

    out += "\n== Removing the cards\n";
    bool removed = true;
    for (w2k::DeviceNode* card : cards) {
        std::string name = u8(card->instancePath());
        w2k::PnpResult result = pnp.manager().remove(*card);
        removed = removed && result.ok();
        out += format("  %s: 0x%08X%s\n", name.c_str(), (unsigned)result.status,
                      result.vetoedBy ? (" (refused by " + u8(result.vetoedBy->instancePath()) + ")").c_str()
                                      : "");
    }
    out += format("  CvInstal %s\n", kernel.services().running(kService) ? "STILL LOADED" : "unloaded");

    const std::set<std::string> after = PnpInventory(machine);
    for (const auto& item : after)
        if (!before.count(item))
            out += "  LEFT BEHIND: " + item + "\n";
    for (const auto& item : before)
        if (!after.count(item))
            out += "  MISSING: " + item + "\n";
    const bool restored = before == after;
    if (restored)
        out += "  the machine is as it was before the boot\n";
    const bool allStarted = !cards.empty() && started == cards.size();
    return allStarted && intact && removed && restored ? 0 : 1;
}

} // namespace sim
