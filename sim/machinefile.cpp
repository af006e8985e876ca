#include "sim/machinefile.h"
#include "sim/inputfile.h"

#include <algorithm>

#include <cstdio>
#include <fstream>
#include <map>
#include <sstream>

namespace sim {

namespace {

struct Line {
    std::string verb;
    std::map<std::string, std::string> fields;
    std::vector<std::string> words;    // bare words after the verb
    std::vector<std::string> repeated; // fields given more than once
};

Line Split(const std::string& text) {
    Line line;
    std::istringstream in(text);
    in >> line.verb;
    std::string word;
    while (in >> word) {
        size_t eq = word.find('=');
        if (eq == std::string::npos)
            line.words.push_back(word);
        else if (!line.fields.emplace(word.substr(0, eq), word.substr(eq + 1)).second)
            line.repeated.push_back(word.substr(0, eq));
    }
    return line;
}

bool Number(const std::string& text, int base, uint64_t max, uint64_t& out) {
    // Digits only: no sign, no space, no prefix, nothing strtoull would take and wrap.
    const bool digits =
        !text.empty() && text.size() <= 20 && std::all_of(text.begin(), text.end(), [&](unsigned char c) {
            return base == 16 ? std::isxdigit(c) != 0 : std::isdigit(c) != 0;
        });
    if (!digits)
        return false;
    char* end = nullptr;
    unsigned long long value = std::strtoull(text.c_str(), &end, base);
    if (*end != '\0' || value > max)
        return false;
    out = value;
    return true;
}

bool Kind(const std::string& text, hw::UartKind& kind) {
    if (text == "16450")
        kind = hw::UartKind::Uart16450;
    else if (text == "16550")
        kind = hw::UartKind::Uart16550;
    else if (text == "16750")
        kind = hw::UartKind::Uart16750;
    else if (text == "16C950" || text == "16c950" || text == "16950")
        kind = hw::UartKind::Uart16C950;
    else
        return false;
    return true;
}

const char* KindName(hw::UartKind kind) {
    switch (kind) {
    case hw::UartKind::Uart16450:
        return "16450";
    case hw::UartKind::Uart16550:
        return "16550";
    case hw::UartKind::Uart16750:
        return "16750";
    default:
        return "16C950";
    }
}

class Reader;
bool HardwareId(const std::string& id, Reader& r);

class Reader {
public:
    Reader(std::string_view source, size_t lineNumber, const Line& line, std::string& error)
        : source_(source), lineNumber_(lineNumber), line_(line), error_(error) {}

    // A field: hexadecimal (hex) or decimal, within max; `fallback` when absent and optional.
    bool get(const char* name, bool hex, uint64_t max, uint64_t& out, bool required = true,
             uint64_t fallback = 0) {
        auto it = line_.fields.find(name);
        if (it == line_.fields.end()) {
            if (required)
                return fail(std::string("\"") + line_.verb + "\" needs " + name + "=");
            out = fallback;
            return true;
        }
        if (!Number(it->second, hex ? 16 : 10, max, out))
            return fail(std::string(name) + "=" + Short(it->second) + " is not a " +
                        (hex ? "hexadecimal" : "decimal") + " number up to " + std::to_string(max));
        return true;
    }
    bool kind(hw::UartKind& out) {
        auto it = line_.fields.find("uart");
        if (it == line_.fields.end())
            return fail("\"" + line_.verb + "\" needs uart= (16450, 16550, 16750 or 16C950)");
        if (!Kind(it->second, out))
            return fail("uart=" + it->second + " is not 16450, 16550, 16750 or 16C950");
        return true;
    }
    // Every field of the line must be one the item knows: a misspelt one would silently be ignored.
    bool only(std::initializer_list<const char*> known) {
        if (!line_.repeated.empty())
            return fail(line_.repeated.front() + "= is given twice");
        for (const auto& [name, value] : line_.fields) {
            bool ok = false;
            for (const char* k : known)
                ok = ok || name == k;
            if (!ok) {
                std::string list;
                for (const char* k : known)
                    list += std::string(list.empty() ? "" : ", ") + k;
                return fail("\"" + line_.verb + "\" has no field " + Short(name) + "= (it takes " + list +
                            ")");
            }
        }
        for (const auto& word : line_.words)
            return fail(Quoted(word) + " is not a field (name=value)");
        return true;
    }
    bool fail(const std::string& what) {
        error_ = std::string(source_) + ":" + std::to_string(lineNumber_) + ": " + what;
        return false;
    }

private:
    std::string_view source_;
    size_t lineNumber_;
    const Line& line_;
    std::string& error_;
};

// A plug-and-play hardware ID: printable, no spaces, at most 200 characters (device IDs are limited).
bool HardwareId(const std::string& id, Reader& r) {
    bool printable = !id.empty() && id.size() <= 200;
    for (char c : id)
        printable = printable && c > ' ' && c < 0x7F && c != ',';
    return printable || r.fail("hardware-id=" + id + " is not a hardware ID (1 to 200 printable characters)");
}

} // namespace

MachineFileResult ParseMachineText(std::string_view text, std::string_view sourceName) {
    MachineFileResult result;
    MachineSpec& spec = result.spec;
    std::istringstream in{NormalizedLines(text)};
    std::string raw;
    size_t number = 0;
    CardSpec* isaCard = nullptr;
    // The I/O windows the items take, each with its line: two items must never decode the same address.
    struct IoWindow {
        uint32_t start, length;
        size_t line;
    };
    std::vector<IoWindow> windows;
    auto claim = [&](Reader& r, uint32_t start, uint32_t length, const char* what) {
        char text[48];
        std::snprintf(text, sizeof text, "%X+%u", unsigned(start), unsigned(length));
        if (start + length > 0x10000)
            return r.fail(std::string(what) + " " + text + " runs past the I/O space (FFFF)");
        for (const IoWindow& w : windows)
            if (start < w.start + w.length && w.start < start + length)
                return r.fail(std::string(what) + " " + text + " overlaps what line " +
                              std::to_string(w.line) + " placed there");
        windows.push_back({start, length, number});
        return true;
    };
    size_t pcmciaLine = 0;
    auto refuse = [&](const std::string&) {
        result.ok = false;
        return result;
    };
    while (std::getline(in, raw)) {
        ++number;
        size_t hash = raw.find('#');
        if (hash != std::string::npos)
            raw.resize(hash);
        Line line = Split(raw);
        if (line.verb.empty())
            continue;
        Reader r(sourceName, number, line, result.error);
        uint64_t a = 0, b = 0, c = 0;
        if (line.verb == "system") {
            if (line.words.size() != 1 || !line.fields.empty() ||
                (line.words[0] != "nt4" && line.words[0] != "windows-2000")) {
                r.fail("\"system\" takes nt4 or windows-2000");
                return refuse("");
            }
            spec.system = line.words[0] == "nt4" ? System::Nt4 : System::Windows2000;
            continue;
        }
        if (line.verb == "standard-port") {
            if (!r.only({"address", "irq", "com"}) || !r.get("address", true, 0xFFF8, a) ||
                !r.get("irq", false, 15, b) || !r.get("com", false, 256, c))
                return refuse("");
            if (!claim(r, uint32_t(a), 8, "the port's registers"))
                return refuse("");
            spec.standardPorts.push_back(StandardPortSpec{uint16_t(a), ULONG(b), ULONG(c)});
        } else if (line.verb == "driver-file") {
            // A file name only: letters, digits, '.', '-' and '_', ending in ".sys".
            const std::string name = line.words.size() == 1 ? line.words[0] : "";
            const bool plain = !name.empty() && name.size() <= 64 &&
                               std::all_of(name.begin(), name.end(), [](unsigned char ch) {
                                   return std::isalnum(ch) || ch == '.' || ch == '-' || ch == '_';
                               });
            std::string lower = name;
            for (char& ch : lower)
                ch = static_cast<char>(std::tolower(static_cast<unsigned char>(ch)));
            if (!line.fields.empty() || !plain || lower.size() < 5 ||
                lower.substr(lower.size() - 4) != ".sys") {
                r.fail("\"driver-file\" takes one file name ending in .sys (letters, digits, '.', '-', '_')");
                return refuse("");
            }
            spec.driverFiles.push_back(name);
        } else if (line.verb == "pci-bus") {
            if (!r.only({"number"}) || !r.get("number", false, 255, a))
                return refuse("");
            spec.pciBuses.push_back(uint32_t(a));
        } else if (line.verb == "pci-card") {
            CardSpec card;
            card.bus = "PCI";
            uint64_t v = 0;
            hw::UartKind kind;
            if (!r.only({"bus",       "device",        "function",       "vendor",
                         "id",        "subsystem",     "revision",       "uart",
                         "ports",     "clock",         "uart-window",    "spacing",
                         "bridge-io", "bridge-memory", "uart-memory",    "window2",
                         "irq",       "divisor",       "divisor-offset", "uart-window-in-memory"}) ||
                !r.get("bus", false, 255, v))
                return refuse("");
            card.pciBus = uint32_t(v);
            if (!r.get("device", false, 31, v))
                return refuse("");
            card.pciDevice = uint8_t(v);
            if (!r.get("function", false, 7, v, false))
                return refuse("");
            card.pciFunction = uint8_t(v);
            if (!r.get("vendor", true, 0xFFFF, v, false, 0x10B5))
                return refuse("");
            card.pci.vendorId = uint16_t(v);
            if (!r.get("id", true, 0xFFFF, v))
                return refuse("");
            card.pci.deviceId = uint16_t(v);
            // The subsystem as the hardware ID writes it: subsystem ID, then subsystem vendor.
            if (!r.get("subsystem", true, 0xFFFFFFFF, v, false,
                       uint64_t(card.pci.deviceId) << 16 | card.pci.vendorId))
                return refuse("");
            card.pci.subsystemId = uint16_t(v >> 16);
            card.pci.subsystemVendorId = uint16_t(v);
            if (!r.get("revision", true, 0xFF, v, false, 1))
                return refuse("");
            card.pci.revision = uint8_t(v);
            if (!r.kind(kind) || !r.get("ports", false, 8, v))
                return refuse("");
            if (v == 0) {
                r.fail("ports=0: a card has 1 to 8 ports");
                return refuse("");
            }
            card.uarts.assign(size_t(v), UartSpec{0, kind});
            if (!r.get("clock", false, 100000000, v))
                return refuse("");
            if (v == 0) {
                r.fail("clock=0: a UART needs a clock");
                return refuse("");
            }
            card.clockHz = uint32_t(v);
            if (!r.get("uart-window", true, 0xFFF8, v))
                return refuse("");
            card.pci.uartWindow = uint16_t(v);
            if (!r.get("spacing", false, 256, v, false, 8))
                return refuse("");
            card.pci.spacing = unsigned(v);
            if (!r.get("bridge-io", true, 0xFF80, v))
                return refuse("");
            card.pci.bridgeIo = uint16_t(v);
            // 0 (the default): the machine places it, apart from every other card's.
            if (!r.get("bridge-memory", true, 0xFFFFFF80, v, false, 0))
                return refuse("");
            card.pci.bridgeMemory = uint32_t(v);
            if (!r.get("uart-memory", true, 0xFFFFF000, v, false, 0))
                return refuse("");
            card.pci.uartMemory = uint32_t(v);
            if ((card.pci.bridgeMemory & 0x7F) || (card.pci.uartMemory & 0xFFF)) {
                r.fail("bridge-memory= must lie on a 128-byte and uart-memory= on a 4096-byte boundary");
                return refuse("");
            }
            if (!r.get("window2", true, 0xFFF0, v, false, 0))
                return refuse("");
            card.pci.window2 = uint16_t(v);
            if (!r.get("irq", false, 15, v))
                return refuse("");
            card.pci.interruptLine = uint8_t(v);
            card.vector = nt::VectorForIrq(ULONG(v));
            if (!r.get("divisor-offset", true, 0x7E, v, false, 0x50))
                return refuse("");
            card.pci.divisorOffset = uint16_t(v);
            auto divisor = line.fields.count("divisor") ? line.fields["divisor"] : std::string("none");
            if (divisor == "none")
                card.pci.divisorKind = hw::BridgeDivisor::None;
            else if (divisor == "byte")
                card.pci.divisorKind = hw::BridgeDivisor::Byte;
            else if (divisor == "word")
                card.pci.divisorKind = hw::BridgeDivisor::Word;
            else if (divisor == "per-port")
                card.pci.divisorKind = hw::BridgeDivisor::PerPort;
            else {
                r.fail("divisor=" + divisor + " is not none, byte, word or per-port");
                return refuse("");
            }
            card.pci.uartWindowInMemory =
                line.fields.count("uart-window-in-memory") && line.fields["uart-window-in-memory"] == "yes";
            card.name = "PCI card " + std::to_string(spec.cards.size() + 1);
            if (!claim(r, card.pci.uartWindow, uint32_t(card.uarts.size() * card.pci.spacing),
                       "the UART window") ||
                !claim(r, card.pci.bridgeIo, 128, "the bridge's registers") ||
                (card.pci.window2 && !claim(r, card.pci.window2, 16, "the second window")))
                return refuse("");
            spec.cards.push_back(card);
            isaCard = nullptr;
        } else if (line.verb == "isa-card") {
            CardSpec card;
            card.bus = "ISA";
            uint64_t v = 0;
            if (!r.only({"clock", "sisr", "irq", "hardware-id"}) || !r.get("clock", false, 100000000, v))
                return refuse("");
            if (v == 0) {
                r.fail("clock=0: a UART needs a clock");
                return refuse("");
            }
            card.clockHz = uint32_t(v);
            if (!r.get("sisr", true, 0xFFFF, v, false, 0))
                return refuse("");
            card.sisrAddress = uint16_t(v);
            if (card.sisrAddress && !claim(r, card.sisrAddress, 1, "the status register"))
                return refuse("");
            if (card.sisrAddress) {
                if (!r.get("irq", false, 15, v))
                    return refuse("");
                card.vector = nt::VectorForIrq(ULONG(v));
            }
            if (line.fields.count("hardware-id") && !HardwareId(line.fields["hardware-id"], r))
                return refuse("");
            card.hardwareId = line.fields.count("hardware-id") ? line.fields["hardware-id"] : "";
            card.name = "ISA card " + std::to_string(spec.cards.size() + 1);
            spec.cards.push_back(card);
            isaCard = &spec.cards.back();
        } else if (line.verb == "uart") {
            if (!isaCard) {
                r.fail("\"uart\" belongs to an \"isa-card\" line before it");
                return refuse("");
            }
            UartSpec u;
            uint64_t v = 0;
            if (!r.only({"address", "uart", "irq"}) || !r.get("address", true, 0xFFF8, v) || !r.kind(u.kind))
                return refuse("");
            u.address = uint16_t(v);
            if (!claim(r, u.address, 8, "the UART's registers"))
                return refuse("");
            if (!isaCard->sisrAddress) {
                if (!r.get("irq", false, 15, v))
                    return refuse("");
                u.vector = nt::VectorForIrq(ULONG(v));
            }
            isaCard->uarts.push_back(u);
        } else if (line.verb == "isa-resource") {
            if (!isaCard || isaCard->hardwareId.empty()) {
                r.fail("\"isa-resource\" belongs to an \"isa-card\" line with a hardware-id= before it");
                return refuse("");
            }
            if (!r.only({"io", "length", "irq"}))
                return refuse("");
            IsaResourceSpec resource;
            if (line.fields.count("irq")) {
                if (line.fields.count("io") || line.fields.count("length")) {
                    r.fail("an \"isa-resource\" is either io= with length= or irq=");
                    return refuse("");
                }
                if (!r.get("irq", false, 15, a))
                    return refuse("");
                resource.interrupt = true;
                resource.irq = ULONG(a);
            } else {
                if (!r.get("io", true, 0xFFFF, a) || !r.get("length", true, 0x10000 - a, b))
                    return refuse("");
                if (b == 0) {
                    r.fail("length= must not be 0");
                    return refuse("");
                }
                resource.start = uint32_t(a);
                resource.length = uint32_t(b);
            }
            isaCard->isaResources.push_back(resource);
        } else if (line.verb == "pcmcia-card") {
            CardSpec card;
            card.bus = "PCMCIA";
            uint64_t v = 0;
            hw::UartKind kind;
            if (!r.only({"hardware-id", "uart", "ports", "clock", "io", "length", "spacing", "irq",
                         "inserted"}) ||
                !r.kind(kind) || !r.get("ports", false, 8, v))
                return refuse("");
            card.uarts.assign(size_t(v), UartSpec{0, kind});
            if (!r.get("clock", false, 100000000, v))
                return refuse("");
            card.clockHz = uint32_t(v);
            if (!r.get("spacing", false, 256, v, false, 8))
                return refuse("");
            if (v == 0 || v % 8) {
                r.fail("spacing= must be a non-zero multiple of 8");
                return refuse("");
            }
            card.spacing = unsigned(v);
            if (!r.get("io", true, 0xFFF8, a) ||
                !r.get("length", true, 0x10000 - a, b, false, card.uarts.size() * card.spacing))
                return refuse("");
            card.pcmciaIo = uint16_t(a);
            card.pcmciaIoLength = uint16_t(b);
            if (b < card.uarts.size() * card.spacing) {
                r.fail("length= leaves no room for the card's ports at their spacing");
                return refuse("");
            }
            if (!r.get("irq", false, 15, v))
                return refuse("");
            card.irq = ULONG(v);
            auto it = line.fields.find("hardware-id");
            if (it == line.fields.end()) {
                r.fail("\"pcmcia-card\" needs hardware-id=");
                return refuse("");
            }
            if (!HardwareId(it->second, r))
                return refuse("");
            card.hardwareId = it->second;
            std::string inserted = line.fields.count("inserted") ? line.fields["inserted"] : "yes";
            if (inserted != "yes" && inserted != "no") {
                r.fail("inserted=" + inserted + " is not yes or no");
                return refuse("");
            }
            card.inserted = inserted == "yes";
            if (!pcmciaLine)
                pcmciaLine = number;
            card.name = "PCMCIA card " + std::to_string(spec.cards.size() + 1);
            spec.cards.push_back(card);
            isaCard = nullptr;
        } else if (line.verb == "translate-to-memory" || line.verb == "untranslatable") {
            if (!r.only({"start", "length"}) || !r.get("start", true, 0xFFFF, a) ||
                !r.get("length", true, 0x10000, b))
                return refuse("");
            auto& ranges = line.verb == "untranslatable" ? spec.untranslatable : spec.ioInMemorySpace;
            ranges.push_back({uint32_t(a), uint32_t(b)});
        } else if (line.verb == "loopback") {
            if (!r.only({"address"}) || !r.get("address", true, 0xFFF8, a))
                return refuse("");
            spec.peers.push_back({false, uint16_t(a), 0, number});
        } else if (line.verb == "null-modem") {
            if (!r.only({"a", "b"}) || !r.get("a", true, 0xFFF8, a) || !r.get("b", true, 0xFFF8, b))
                return refuse("");
            spec.peers.push_back({true, uint16_t(a), uint16_t(b), number});
        } else if (line.verb == "empty") {
            if (!r.only({"address"}) || !r.get("address", true, 0xFFF8, a))
                return refuse("");
            spec.emptyAddresses.push_back(uint16_t(a));
        } else {
            r.fail("unknown item \"" + line.verb +
                   "\" (system, standard-port, driver-file, pci-bus, pci-card, isa-card, uart, isa-resource, "
                   "pcmcia-card, loopback, null-modem, empty, translate-to-memory or untranslatable)");
            return refuse("");
        }
    }
    // A peer is plugged into a UART the machine has, and a UART takes one plug or cable.
    std::vector<uint16_t> uarts;
    for (const StandardPortSpec& port : spec.standardPorts)
        uarts.push_back(port.address);
    for (const CardSpec& card : spec.cards)
        for (size_t i = 0; i < card.uarts.size(); ++i)
            uarts.push_back(card.bus == "PCI" ? uint16_t(card.pci.uartWindow + i * card.pci.spacing)
                                              : card.uarts[i].address);
    std::vector<uint16_t> plugged;
    for (const MachineSpec::Peer& peer : spec.peers)
        for (uint16_t address :
             peer.cable ? std::vector<uint16_t>{peer.a, peer.b} : std::vector<uint16_t>{peer.a}) {
            char at[16];
            std::snprintf(at, sizeof at, "%X", address);
            std::string problem;
            if (std::find(uarts.begin(), uarts.end(), address) == uarts.end())
                problem = std::string("no UART of the machine is at ") + at;
            else if (std::find(plugged.begin(), plugged.end(), address) != plugged.end())
                problem = std::string("the UART at ") + at + " has a plug or cable already";
            if (!problem.empty()) {
                result.error = std::string(sourceName) + ":" + std::to_string(peer.line) + ": " + problem;
                result.ok = false;
                return result;
            }
            plugged.push_back(address);
        }
    // Cards come and go from a socket only under a plug-and-play manager.
    if (pcmciaLine && spec.system != System::Windows2000) {
        result.error = std::string(sourceName) + ":" + std::to_string(pcmciaLine) +
                       ": a \"pcmcia-card\" needs \"system windows-2000\"";
        result.ok = false;
    }
    return result;
}

MachineFileResult ReadMachineFile(const std::string& path) {
    std::string text, error;
    if (!ReadInputFile(path, text, error)) {
        MachineFileResult result;
        result.ok = false;
        result.error = error;
        return result;
    }
    return ParseMachineText(text, path);
}

std::string DescribeMachine(const MachineSpec& spec) {
    std::string out;
    char line[256];
    if (spec.system == System::Windows2000)
        out += "system windows-2000\n";
    for (const auto& p : spec.standardPorts) {
        std::snprintf(line, sizeof line, "standard-port address=%X irq=%lu com=%lu\n", p.address,
                      (unsigned long)p.irq, (unsigned long)p.com);
        out += line;
    }
    for (const std::string& file : spec.driverFiles)
        out += "driver-file " + file + "\n";

    for (uint32_t bus : spec.pciBuses)
        out += "pci-bus number=" + std::to_string(bus) + "\n";
    for (const auto& card : spec.cards) {
        if (card.bus == "PCI") {
            const char* divisors[] = {"none", "byte", "word", "per-port"};
            std::snprintf(
                line, sizeof line,
                "pci-card bus=%u device=%u function=%u vendor=%04X id=%04X uart=%s ports=%zu clock=%u "
                "uart-window=%X spacing=%u bridge-io=%X window2=%X irq=%u divisor=%s divisor-offset=%X\n",
                card.pciBus, card.pciDevice, card.pciFunction, card.pci.vendorId, card.pci.deviceId,
                card.uarts.empty() ? "16C950" : KindName(card.uarts.front().kind), card.uarts.size(),
                card.clockHz, card.pci.uartWindow, card.pci.spacing, card.pci.bridgeIo, card.pci.window2,
                card.pci.interruptLine, divisors[int(card.pci.divisorKind)], card.pci.divisorOffset);
            out += line;
            // What only some cards set, after the rest.
            out.pop_back();
            const uint32_t subsystem = uint32_t(card.pci.subsystemId) << 16 | card.pci.subsystemVendorId;
            if (subsystem != (uint32_t(card.pci.deviceId) << 16 | card.pci.vendorId)) {
                std::snprintf(line, sizeof line, " subsystem=%08X", subsystem);
                out += line;
            }
            if (card.pci.revision != 1) {
                std::snprintf(line, sizeof line, " revision=%02X", card.pci.revision);
                out += line;
            }
            if (card.pci.bridgeMemory) {
                std::snprintf(line, sizeof line, " bridge-memory=%X", card.pci.bridgeMemory);
                out += line;
            }
            if (card.pci.uartMemory) {
                std::snprintf(line, sizeof line, " uart-memory=%X", card.pci.uartMemory);
                out += line;
            }
            if (card.pci.uartWindowInMemory)
                out += " uart-window-in-memory=yes";
            out += "\n";
            continue;
        }
        if (card.bus == "PCMCIA") {
            std::snprintf(
                line, sizeof line,
                "pcmcia-card hardware-id=%s uart=%s ports=%zu clock=%u io=%X length=%X spacing=%u irq=%lu "
                "inserted=%s\n",
                card.hardwareId.c_str(), card.uarts.empty() ? "16550" : KindName(card.uarts.front().kind),
                card.uarts.size(), card.clockHz, card.pcmciaIo, card.pcmciaIoLength, card.spacing,
                (unsigned long)card.irq, card.inserted ? "yes" : "no");
            out += line;
            continue;
        }
        std::snprintf(line, sizeof line, "isa-card clock=%u", card.clockHz);
        out += line;
        if (!card.hardwareId.empty())
            out += " hardware-id=" + card.hardwareId;
        if (card.sisrAddress) {
            std::snprintf(line, sizeof line, " sisr=%X irq=%lu", card.sisrAddress,
                          (unsigned long)(card.vector - nt::kIrqVectorBase));
            out += line;
        }
        out += "\n";
        for (const auto& u : card.uarts) {
            std::snprintf(line, sizeof line, "uart address=%X uart=%s", u.address, KindName(u.kind));
            out += line;
            if (!card.sisrAddress) {
                std::snprintf(line, sizeof line, " irq=%lu", (unsigned long)(u.vector - nt::kIrqVectorBase));
                out += line;
            }
            out += "\n";
        }
        for (const auto& r : card.isaResources) {
            if (r.interrupt)
                std::snprintf(line, sizeof line, "isa-resource irq=%lu\n", (unsigned long)r.irq);
            else
                std::snprintf(line, sizeof line, "isa-resource io=%X length=%X\n", r.start, r.length);
            out += line;
        }
    }
    for (const auto& range : spec.ioInMemorySpace) {
        std::snprintf(line, sizeof line, "translate-to-memory start=%X length=%X\n", range.start,
                      range.length);
        out += line;
    }
    for (const auto& range : spec.untranslatable) {
        std::snprintf(line, sizeof line, "untranslatable start=%X length=%X\n", range.start, range.length);
        out += line;
    }
    for (uint16_t a : spec.emptyAddresses) {
        std::snprintf(line, sizeof line, "empty address=%X\n", a);
        out += line;
    }
    for (const MachineSpec::Peer& peer : spec.peers) {
        if (peer.cable)
            std::snprintf(line, sizeof line, "null-modem a=%X b=%X\n", peer.a, peer.b);
        else
            std::snprintf(line, sizeof line, "loopback address=%X\n", peer.a);
        out += line;
    }
    return out;
}

} // namespace sim
