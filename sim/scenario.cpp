#include "sim/scenario.h"
#include "sim/inputfile.h"
#include "sim/scenariopeer.h"
#include "sim/scenariowords.h"
#include "sim/mainjob.h"

#include "sim/pnpdevices.h"

#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"
#include "platform/win32/devmgr.h"
#include "platform/win32/user.h"

#include <algorithm>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstring>
#include <functional>
#include <map>
#include <memory>
#include <sstream>
#include <vector>

namespace sim {

namespace {

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

class Runner {
public:
    Runner(Machine& machine, bool json)
        : machine_(machine), kernel_(machine.kernel()), json_(json), peers_(machine) {}
    ~Runner() {
        files_.clear();
        peers_.clear();
        cables_.clear();
        plugs_.clear();
    }

    // Runs one line; false with `error` set when the line cannot be understood.
    bool run(const std::vector<std::string>& w, std::string& error);
    // The port accesses traced since the last line, each as a line under it.
    void emitTrace();
    // The end of the scenario: answers prepared for message boxes that never came count as failures.
    void conclude();
    std::string transcript;
    bool allSucceeded = true;                    // every start, stop and restart the scenario asked for
    std::vector<std::string> failedExpectations; // each "what was expected, what was there"

private:
    struct Record {
        std::string op, port;
        NTSTATUS status = STATUS_SUCCESS;
        bool hasStatus = true;
        size_t bytes = 0;
        bool hasBytes = false;
        std::vector<uint8_t> data;
        bool hasData = false;
        std::string note;
    };
    void emit(const Record& r);
    // Text shown under the line that showed it: a transcript line per line of it, empty ones left out.
    void emitLines(const std::string& text);
    void emitLine(const std::string& text);
    bool expect(const std::vector<std::string>& w, Record& r, std::string& error);
    bool runIoctl(const std::vector<std::string>& w, nt::UserFile* f, Record& r, std::string& error);
    // A device control request as a line writes it from w[from] on: NAME|CODE [in=hex:...] [out=N].
    struct Control {
        ULONG code = 0;
        std::vector<uint8_t> input;
        ULONG output = 0;
    };
    bool controlOf(const std::vector<std::string>& w, size_t from, Control& c, std::string& error);
    // A request's output: decoded where its layout is known, else in hexadecimal.
    void showOutput(ULONG code, const std::vector<uint8_t>& data, Record& r);
    bool runHandflow(const std::vector<std::string>& w, nt::UserFile* f, Record& r, std::string& error);
    // Requests that do not wait: begin, await, cancel.
    bool runPending(const std::vector<std::string>& w, Record& r, std::string& error);
    struct Pending {
        std::string port, op;
        std::shared_ptr<nt::IoRequest> request;
        uint64_t began = 0;
        ULONG code = 0;          // of a device control request
        std::string requestName; // its name or code as the line gave it
    };
    std::map<std::string, Pending> pending_;

    Record last_; // the last request's result
    bool hasLast_ = false;
    std::string shown_; // what the last show showed
    nt::UserFile* file(const std::string& port, std::string& error);
    NTSTATUS control(nt::UserFile* f, ULONG code, const std::vector<uint8_t>& input);
    bool limitOf(const std::vector<std::string>& w, size_t from, uint64_t& ticks, std::string& error);
    // The plug-and-play commands of a Windows 2000 machine; false when `op` is none of them.
    bool runPnp(const std::vector<std::string>& w, Record& r, std::string& error, bool& handled);
    w2k::DeviceNode* card(const std::string& name, std::string& error);
    // What a person does on the machine's desktop; false when `op` is none of it.
    bool runDesktop(const std::vector<std::string>& w, Record& r, std::string& error, bool& handled);
    bool act(const std::vector<std::string>& w, win32::User& user, std::string& error);
    void emitBoxes(size_t from);
    // Waits for a request at most `limit`; one still pending then is cancelled and noted.
    nt::IoResult finish(nt::UserFile* f, const std::shared_ptr<nt::IoRequest>& request, uint64_t limit,
                        Record& r);

    Machine& machine_;
    nt::Kernel& kernel_;
    bool json_;
    std::map<std::string, std::unique_ptr<nt::UserFile>> files_;
    struct Cable {
        uint16_t a, b;
        std::unique_ptr<hw::NullModemCable> cable;
    };
    std::vector<Cable> cables_;
    std::map<uint16_t, std::unique_ptr<hw::LoopbackPlug>> plugs_;
    ScenarioPeers peers_;
    // What is plugged into the UART at `address` by the scenario or the machine's description, or empty.
    std::string pluggedInto(uint16_t address) const;
    bool runPeer(const std::vector<std::string>& w, Record& r, std::string& error);
};

std::string Runner::pluggedInto(uint16_t address) const {
    if (plugs_.count(address))
        return "a loopback plug";
    if (peers_.has(address))
        return "a scripted peer";
    for (const Cable& c : cables_)
        if (c.a == address || c.b == address)
            return "a cable";
    for (const MachineSpec::Peer& p : machine_.spec().peers)
        if (p.a == address || (p.cable && p.b == address))
            return p.cable ? "the description's cable" : "the description's loopback plug";
    return "";
}

bool Runner::runPeer(const std::vector<std::string>& w, Record& r, std::string& error) {
    uint16_t address = 0;
    if (w.size() >= 3 && w[2] == "attach" && UartAddress(w[1], address, error)) {
        if (const std::string there = pluggedInto(address); !there.empty()) {
            error = "the UART at " + w[1] + " has " + there + " in it";
            return false;
        }
    }
    error.clear();
    ScenarioPeers::Outcome outcome;
    if (!peers_.run(w, outcome, error))
        return false;
    r.hasStatus = false;
    r.port = w[1] + " " + w[2];
    r.note = outcome.note;
    if (outcome.hasData) {
        r.hasBytes = true;
        r.bytes = outcome.data.size();
        r.hasData = true;
        r.data = outcome.data;
        shown_ = outcome.report;
    }
    emit(r);
    emitLines(outcome.report);
    return true;
}

void Runner::emitLine(const std::string& text) {
    Record shown;
    shown.op = "|";
    shown.hasStatus = false;
    shown.note = text;
    emit(shown);
}

void Runner::emitLines(const std::string& text) {
    std::istringstream lines(text);
    for (std::string line; std::getline(lines, line);) {
        if (line.empty())
            continue;
        emitLine(line);
    }
}

void Runner::emit(const Record& r) {
    if ((r.hasStatus || r.hasData) && r.op != "expect") {
        last_ = r;
        hasLast_ = true;
    }
    const double seconds = double(kernel_.now()) / hw::kTicksPerSecond;
    char time[32];
    std::snprintf(time, sizeof time, "%.7f", seconds);
    if (json_) {
        std::string line = std::string("{\"time\": ") + time + ", \"op\": \"" + r.op + "\"";
        if (!r.port.empty())
            line += ", \"port\": \"" + Escaped(r.port) + "\"";
        if (r.hasStatus)
            line += ", \"status\": \"" + Hex32(uint32_t(r.status)) + "\"";
        if (r.hasBytes)
            line += ", \"bytes\": " + std::to_string(r.bytes);
        if (r.hasData)
            line += ", \"data\": \"" + Escaped(r.data) + "\"";
        if (!r.note.empty())
            line += ", \"note\": \"" + Escaped(r.note) + "\"";
        transcript += line + "}\n";
        return;
    }
    if (r.op == "|") { // a line of a window shown as text
        transcript += std::string(time) + " s    | " + r.note + "\n";
        return;
    }
    std::string line = std::string(time) + " s  " + r.op;
    if (!r.port.empty())
        line += " " + r.port;
    if (r.hasStatus)
        line += ": " + Hex32(uint32_t(r.status));
    if (r.hasBytes)
        line += ", " + std::to_string(r.bytes) + " bytes";
    if (r.hasData)
        line += " \"" + Escaped(r.data) + "\"";
    if (!r.note.empty())
        line += " (" + r.note + ")";
    transcript += line + "\n";
}

nt::UserFile* Runner::file(const std::string& port, std::string& error) {
    auto it = files_.find(port);
    if (it == files_.end()) {
        error = port + " is not open";
        return nullptr;
    }
    return it->second.get();
}

NTSTATUS Runner::control(nt::UserFile* f, ULONG code, const std::vector<uint8_t>& input) {
    return f->control(code, input, 0).status;
}

nt::IoResult Runner::finish(nt::UserFile* f, const std::shared_ptr<nt::IoRequest>& request, uint64_t limit,
                            Record& r) {
    auto result = f->wait(request, kernel_.now() + limit);
    if (!result.finished) {
        f->cancel(*request);
        result = f->wait(request);
        r.note = "gave up at the limit";
    }
    return result;
}

bool Runner::limitOf(const std::vector<std::string>& w, size_t from, uint64_t& ticks, std::string& error) {
    ticks = hw::kTicksPerSecond; // one second unless given
    for (size_t i = from; i < w.size(); ++i) {
        if (w[i].rfind("limit=", 0) == 0) {
            if (!Duration(w[i].substr(6), ticks)) {
                error = "\"" + w[i] + "\" is not a duration (10ms, 2s, 500us)";
                return false;
            }
        }
    }
    return true;
}

w2k::DeviceNode* Runner::card(const std::string& name, std::string& error) {
    // pci:1, isa:2, pcmcia:1: the card's bus and its number among that bus's cards in the description.
    size_t colon = name.find(':');
    std::string bus = name.substr(0, colon);
    char* end = nullptr;
    unsigned long number = colon == std::string::npos ? 0 : std::strtoul(name.c_str() + colon + 1, &end, 10);
    if ((bus != "pci" && bus != "isa" && bus != "pcmcia") || number == 0 || !end || *end) {
        error = "\"" + name + "\" is not a card (pci:N, isa:N or pcmcia:N)";
        return nullptr;
    }
    w2k::DeviceNode* node = machine_.pnp()->cardNode(bus, number);
    if (!node)
        error = "the machine has no " + name + (bus == "pcmcia" ? " (or its socket is empty)" : "");
    return node;
}

bool Runner::runPnp(const std::vector<std::string>& w, Record& r, std::string& error, bool& handled) {
    static const char* const kCommands[] = {"insert",    "pull",  "disable", "enable",
                                            "open-card", "sleep", "wake",    "state"};
    const std::string& op = w[0];
    if (std::find(std::begin(kCommands), std::end(kCommands), op) == std::end(kCommands))
        return true;
    handled = true;
    PnpDevices* pnp = machine_.pnp();
    if (!pnp) {
        error = "\"" + op + "\" needs a Windows 2000 machine (\"system windows-2000\")";
        return false;
    }
    w2k::PnpManager& manager = pnp->manager();
    if (op == "sleep" || op == "wake") {
        w2k::PnpResult result = op == "sleep" ? manager.sleep() : manager.wake();
        r.status = result.status;
        if (result.vetoedBy)
            r.note = "refused by " + nt::toUtf8(result.vetoedBy->instancePath());
        allSucceeded = allSucceeded && result.ok();
        return true;
    }
    if (w.size() < 2) {
        error =
            "usage: " + op + (op == "insert" || op == "pull" ? " SOCKET" : " CARD (pci:N, isa:N, pcmcia:N)");
        return false;
    }
    r.port = w[1];
    if (op == "insert" || op == "pull") {
        char* end = nullptr;
        unsigned long socket = std::strtoul(w[1].c_str(), &end, 10);
        if (socket == 0 || *end) {
            error = "\"" + w[1] + "\" is not a socket number (1, 2, ...)";
            return false;
        }
        if (!(op == "insert" ? pnp->insert(socket - 1, error) : pnp->pull(socket - 1, error)))
            return false;
        r.hasStatus = false;
        return true;
    }
    w2k::DeviceNode* node = card(w[1], error);
    if (!node)
        return false;
    if (op == "disable" || op == "enable") {
        w2k::PnpResult result = op == "disable" ? manager.stop(*node) : manager.start(*node);
        r.status = result.status;
        if (result.vetoedBy)
            r.note = "refused by " + nt::toUtf8(result.vetoedBy->instancePath());
        allSucceeded = allSucceeded && result.ok();
    } else if (op == "open-card") {
        // As the configuration tools do: open the card through its device interface, then close it.
        const w2k::DeviceInterface* found = nullptr;
        for (const auto& entry : manager.interfaces())
            if (entry->node == node && entry->enabled)
                found = entry.get();
        if (!found) {
            r.status = STATUS_OBJECT_NAME_NOT_FOUND;
            r.note = "the card has no enabled interface";
            return true;
        }
        std::unique_ptr<nt::UserFile> f;
        r.status = nt::UserFile::open(kernel_, "\\\\?\\" + nt::toUtf8(found->symbolicLink.substr(4)), f);
        if (f)
            f->close();
    } else {
        r.hasStatus = false;
        r.note = std::string(w2k::toString(node->state)) + ", problem " + std::to_string(node->problem) +
                 ", D" + std::to_string(node->devicePower ? node->devicePower - 1 : 0) + ", " +
                 std::to_string(node->children.size()) + " child node(s)";
    }
    return true;
}

// A string value's text.
std::string RegText(const nt::RegValue& value) {
    std::u16string wide(value.data.size() / 2, u'\0');
    std::memcpy(wide.data(), value.data.data(), wide.size() * 2);
    while (!wide.empty() && wide.back() == 0)
        wide.pop_back();
    return nt::toUtf8(wide);
}

// Every command a scenario line may start with, for the message that refuses any other.
const std::string kCommandList =
    "start, stop, restart, advance, cable, uncable, plug, unplug, peer, open, close, set-line, handshake, "
    "chars, "
    "timeouts, wait-mask, wait, write, read, purge, ioctl, handflow, begin, await, cancel; on the desktop "
    "applet, run, properties, "
    "login, "
    "window, answer, click, command, choose, type, slide, key, select-row, open-row, tab, close-window, "
    "activate, help, control-panel, refuse-program, watch; show, expect, trace; on Windows 2000 also insert, "
    "pull, disable, enable, open-card, sleep, wake, state";

// Every register of a UART model as it holds it, with the divisor and the rate it gives (and the 16C950's
// sampling).
std::string UartText(const hw::Uart& u) {
    char text[512];
    std::snprintf(text, sizeof text,
                  "IER %02X\nIIR %02X\nLCR %02X\nMCR %02X\nLSR %02X\nMSR %02X\nSPR %02X\n"
                  "divisor %u\nrate %.3f baud\nFIFO %s, depth %u, receive trigger %u\n",
                  u.ier(), u.pendingIdentification(), u.lcr(), u.mcr(), u.lsr(), u.msr(), u.scratch(),
                  unsigned(u.divisor()), u.baudRate(), u.fifoEnabled() ? "on" : "off", u.fifoDepth(),
                  u.rxTriggerLevel());
    std::string out = text;
    if (u.kind() == hw::UartKind::Uart16C950) {
        std::snprintf(text, sizeof text, "EFR %02X\nsamples per bit %u\nprescaler %u/8\n", u.efr(),
                      u.samplesPerBit(), u.prescalerEighths());
        out += text;
    }
    return out;
}

void Runner::emitBoxes(size_t from) {
    const auto& boxes = machine_.desktop().boxes();
    for (size_t i = from; i < boxes.size(); ++i) {
        const win32::MessageBoxRecord& box = boxes[i];
        Record r;
        r.op = "message-box";
        r.hasStatus = false;
        r.port = "\"" + box.caption + "\"";
        std::string text = box.text;
        std::replace(text.begin(), text.end(), '\n', ' ');
        static const char* const kAnswers[] = {"", "OK", "Cancel", "Abort", "Retry", "Ignore", "Yes", "No"};
        const char* answer = box.answer >= 1 && box.answer <= 7 ? kAnswers[box.answer] : "?";
        r.note = text + " -> " + answer + (box.expected ? "" : ", unexpected");
        allSucceeded = allSucceeded && box.expected;
        emit(r);
    }
}

bool Runner::act(const std::vector<std::string>& w, win32::User& user, std::string& error) {
    const std::string& op = w[0];
    auto number = [&](const std::string& word, int& value) {
        char* end = nullptr;
        long n = std::strtol(word.c_str(), &end, 10);
        if (word.empty() || *end || n < 0 || n > 1'000'000) {
            error = "\"" + word + "\" is not a number (0, 1, ...)";
            return false;
        }
        value = static_cast<int>(n);
        return true;
    };
    int n = 0;
    if (op == "click")
        return user.click(Unquoted(w[1]), error);
    if (op == "command")
        return user.command(Unquoted(w[1]), error);
    if (op == "close-window")
        return user.close(error);
    if (op == "activate")
        return user.activate(Unquoted(w[1]), error);
    if (op == "help")
        return user.help(Unquoted(w[1]), error);
    if (op == "tab")
        return user.selectTab(Unquoted(w[1]), error);
    if (w.size() < 3) {
        error = "usage: " + op + " CONTROL " +
                (op == "choose" ? "ITEM"
                 : op == "type" ? "TEXT"
                 : op == "key"  ? "KEY"
                                : "N");
        return false;
    }
    const std::string control = Unquoted(w[1]);
    if (op == "choose")
        return user.choose(control, Unquoted(w[2]), error);
    if (op == "type")
        return user.type(control, Unquoted(w[2]), error);
    if (op == "key") {
        static const std::map<std::string, WORD> kKeys = {
            {"up", VK_UP},         {"down", VK_DOWN},   {"home", VK_HOME},    {"end", VK_END},
            {"delete", VK_DELETE}, {"space", VK_SPACE}, {"return", VK_RETURN}};
        auto key = kKeys.find(w[2]);
        if (key == kKeys.end()) {
            error = "\"" + w[2] + "\" is not a key (up, down, home, end, delete, space, return)";
            return false;
        }
        return user.key(control, key->second, error);
    }
    if (!number(w[2], n))
        return false;
    if (op == "slide")
        return user.slide(control, n, error);
    return user.selectRow(control, n, op == "open-row", error);
}

bool Runner::runDesktop(const std::vector<std::string>& w, Record& r, std::string& error, bool& handled) {
    static const char* const kCommands[] = {
        "applet",     "login",    "window",     "answer",   "click",         "choose",         "type",
        "slide",      "key",      "select-row", "open-row", "tab",           "close-window",   "command",
        "properties", "activate", "help",       "run",      "control-panel", "refuse-program", "watch"};
    const std::string& op = w[0];
    if (std::find(std::begin(kCommands), std::end(kCommands), op) == std::end(kCommands))
        return true;
    handled = true;
    win32::Desktop& desktop = machine_.desktop();
    win32::User user(desktop);
    r.hasStatus = false;
    if (op == "login") {
        if (w.size() != 2 || (w[1] != "administrator" && w[1] != "user")) {
            error = "usage: login administrator|user";
            return false;
        }
        desktop.setAdministrator(w[1] == "administrator");
        r.note = w[1];
        return true;
    }
    if (op == "answer") {
        static const std::map<std::string, int> kAnswers = {
            {"OK", IDOK},         {"Cancel", IDCANCEL}, {"Abort", IDABORT}, {"Retry", IDRETRY},
            {"Ignore", IDIGNORE}, {"Yes", IDYES},       {"No", IDNO}};
        // "while control-panel close" at the end: what the person does before the first answer, while
        // the box is up.
        size_t last = w.size();
        std::function<void()> meanwhile;
        if (w.size() >= 4 && w[w.size() - 3] == "while") {
            if (w[w.size() - 2] != "control-panel" || w.back() != "close") {
                error = "usage: answer ANSWER... [while control-panel close]";
                return false;
            }
            last = w.size() - 3;
            meanwhile = [&desktop] { desktop.closeShellWindow("CabinetWClass", "Control Panel"); };
        }
        if (last < 2) {
            error = "usage: answer OK|Cancel|Yes|No|Retry|Abort|Ignore ... [while control-panel close]";
            return false;
        }
        for (size_t i = 1; i < last; ++i)
            if (!kAnswers.count(w[i])) {
                error = "\"" + w[i] + "\" is not an answer (OK, Cancel, Yes, No, Retry, Abort, Ignore)";
                return false;
            }
        for (size_t i = 1; i < last; ++i)
            desktop.answerNextBox(kAnswers.at(w[i]), i == 1 ? meanwhile : std::function<void()>());
        r.note = std::to_string(desktop.pendingAnswers()) + " answer(s) waiting";
        return true;
    }
    if (op == "window") {
        emit(r);
        std::istringstream lines(user.describe().empty() ? "(no window)" : user.describe());
        for (std::string line; std::getline(lines, line);) {
            emitLine(line);
        }
        r.op.clear();
        return true;
    }
    if (op == "control-panel") {
        // The Control Panel's folder window, as a person opens and closes it.
        if (w.size() != 2 || (w[1] != "open" && w[1] != "close")) {
            error = "usage: control-panel open|close";
            return false;
        }
        if (w[1] == "open")
            desktop.openShellWindow("CabinetWClass", "Control Panel");
        else if (!desktop.closeShellWindow("CabinetWClass", "Control Panel")) {
            error = "no Control Panel window is open";
            return false;
        }
        r.note = w[1] == "open" ? "opened" : "closed";
        return true;
    }
    if (op == "refuse-program" || op == "watch") {
        if (w.size() != 2) {
            error = op == "watch" ? "usage: watch CONTROL (an id)" : "usage: refuse-program \"COMMAND LINE\"";
            return false;
        }
        if (op == "watch") {
            char* end = nullptr;
            const long id = std::strtol(w[1].c_str(), &end, 10);
            if (w[1].empty() || *end || id < -1 || id > 0xFFFF) {
                error = "\"" + w[1] + "\" is not a control id";
                return false;
            }
            desktop.watch(static_cast<int>(id));
        } else {
            desktop.refuseCommandLine(Unquoted(w[1]));
        }
        r.port = w[1];
        return true;
    }
    const size_t boxes = desktop.boxes().size();
    if (op == "run") {
        if (w.size() != 2) {
            error = "usage: run \"COMMAND LINE\" (a program of the machine and its parameters)";
            return false;
        }
        const std::string commandLine = Unquoted(w[1]);
        r.port = w[1][0] == '"' ? w[1] + "\"" : w[1];
        if (!desktop.start(commandLine, [commandLine] { win32::RunProgram(commandLine); })) {
            error = "\"" + desktop.programName() + "\" still runs; close its windows first";
            return false;
        }
    } else if (op == "applet") {
        if (w.size() < 2 || w.size() > 3) {
            error = "usage: applet LIBRARY [N]";
            return false;
        }
        const std::string library = w[1];
        int index = w.size() == 3 ? std::atoi(w[2].c_str()) : 0;
        r.port = library;
        if (!desktop.start("Control Panel", [library, index] { win32::RunControlPanel(library, index); })) {
            error = "\"" + desktop.programName() + "\" still runs; close its windows first";
            return false;
        }
    } else if (op == "properties") {
        if (w.size() != 2) {
            error = "usage: properties DEVICE (its instance path, friendly name or description)";
            return false;
        }
        if (!machine_.pnp()) {
            error = "the device manager runs on Windows 2000 machines only";
            return false;
        }
        const std::string device = Unquoted(w[1]);
        r.port = w[1];
        if (!desktop.start("Device Manager", [device] { win32::RunDeviceProperties(device); })) {
            error = "\"" + desktop.programName() + "\" still runs; close its windows first";
            return false;
        }
    } else {
        if (w.size() < 2 && op != "close-window") {
            error = "usage: " + op + " CONTROL ...";
            return false;
        }
        if (!desktop.programRunning()) {
            error = "no program runs on the desktop (start one with \"applet\", \"properties\" or \"run\")";
            return false;
        }
        if (!act(w, user, error))
            return false;
        if (w.size() > 1)
            r.port = w[1][0] == '"' ? w[1] + "\"" : w[1];
    }
    std::string caption = user.activeCaption();
    r.note = desktop.programRunning() ? (caption.empty() ? "no window" : "\"" + caption + "\"")
                                      : "the program ended";
    emit(r);
    r.op.clear();
    for (const std::string& change : desktop.takeChanges()) {
        emitLine(change);
    }
    emitBoxes(boxes);
    return true;
}

void Runner::conclude() {
    if (!machine_.hasDesktop() || machine_.desktop().pendingAnswers() == 0)
        return;
    Record r;
    r.op = "answer";
    r.hasStatus = false;
    r.note =
        std::to_string(machine_.desktop().pendingAnswers()) + " answer(s) for message boxes that never came";
    allSucceeded = false;
    emit(r);
}

bool Runner::run(const std::vector<std::string>& w, std::string& error) {
    const std::string& op = w[0];
    auto need = [&](size_t n, const char* form) {
        if (w.size() >= n)
            return true;
        error = std::string("usage: ") + form;
        return false;
    };
    Record r;
    r.op = op;
    if (op == "expect")
        return expect(w, r, error);
    if (op == "begin" || op == "await" || op == "cancel")
        return runPending(w, r, error);
    if (op == "trace") {
        // Port I/O as the drivers make it, printed under each later line until "trace off".
        if (w.size() != 2 || (w[1] != "on" && w[1] != "off")) {
            error = "usage: trace on|off";
            return false;
        }
        kernel_.ports().clearTrace();
        kernel_.ports().setTracing(w[1] == "on");
        r.hasStatus = false;
        r.note = w[1];
        emit(r);
        return true;
    }
    if (op == "start" || op == "stop" || op == "restart") {
        // CvNt, or another driver service named on the line.
        const std::string service = w.size() > 1 ? w[1] : "CvNt";
        const bool cvnt = nt::namesEqual(nt::toUtf16(service), u"CvNt");
        uint32_t result = 0;
        if (op != "start") {
            files_.clear(); // programs end before the driver stops
            result = cvnt ? machine_.stopCvNt() : kernel_.services().stop(service);
        }
        if (op != "stop" && result == 0) {
            nt::KernelScope scope(kernel_);
            result = cvnt ? machine_.startCvNt() : kernel_.services().start(service);
        }
        if (!cvnt)
            r.port = service;
        r.hasStatus = false;
        r.note = "Win32 error " + std::to_string(result);
        allSucceeded = allSucceeded && result == 0;
        emit(r);
        return true;
    }
    if (op == "advance") {
        uint64_t ticks = 0;
        if (!need(2, "advance DURATION") || !Duration(w[1], ticks)) {
            error = error.empty() ? "\"" + w[1] + "\" is not a duration (10ms, 2s, 500us)" : error;
            return false;
        }
        r.hasStatus = false;
        if (machine_.hasDesktop()) {
            // A program on the desktop sees the time pass: its timers fire.
            const size_t boxes = machine_.desktop().boxes().size();
            machine_.desktop().passTime(ticks);
            emit(r);
            emitBoxes(boxes);
            return true;
        }
        kernel_.runUntil(kernel_.now() + ticks);
        emit(r);
        return true;
    }
    if (op == "show") {
        if (!need(2, "show serialcomm | currentconfig | eventlog | resourcemap | devices | uart ADDRESS | "
                     "registry "
                     "KEY | services NAME... | programs"))
            return false;
        std::string text;
        if (w[1] == "services") {
            // Each named service: whether it is installed and runs, and the image it loads.
            for (size_t i = 2; i < w.size(); ++i) {
                const std::string key = "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\" + w[i];
                text += w[i] + ": ";
                if (!kernel_.registry().exists(key)) {
                    text += "not installed\n";
                    continue;
                }
                text += kernel_.services().running(w[i]) ? "running" : "stopped";
                auto image = kernel_.registry().string(key, "ImagePath");
                text += ", ImagePath " + (image ? "\"" + *image + "\"" : std::string("(none)")) + "\n";
            }
        } else if (w[1] == "programs") {
            // What programs started with CreateProcess: command line, handles inherited, priority.
            if (machine_.hasDesktop())
                for (const auto& p : machine_.desktop().startedProcesses()) {
                    char flags[64];
                    std::snprintf(flags, sizeof flags, "handles %s, creation flags %08X",
                                  p.inheritHandles ? "inherited" : "not inherited",
                                  unsigned(p.creationFlags));
                    text += "\"" + p.commandLine + "\" (" + flags + ")\n";
                }
            if (text.empty())
                text = "(no program started)\n";
        } else if (w[1] == "serialcomm") {
            if (auto key = kernel_.registry().open(
                    std::string("\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM")))
                for (const auto& v : key->values)
                    text += nt::toUtf8(v.name) + " = " + RegText(v) + "\n";
        } else if (w[1] == "registry" && w.size() == 3) {
            // A key under HKEY_LOCAL_MACHINE, as a .reg export shows it.
            const std::string path = "\\Registry\\Machine\\" + Unquoted(w[2]);
            if (!kernel_.registry().exists(path)) {
                error = "the registry has no key HKEY_LOCAL_MACHINE\\" + Unquoted(w[2]);
                return false;
            }
            text = kernel_.registry().saveText(path);
        } else if (w[1] == "eventlog") {
            text = kernel_.eventLog().renderAll();
        } else if (w[1] == "resourcemap") {
            text = ResourceMapText(kernel_);
        } else if (w[1] == "currentconfig") {
            text =
                kernel_.registry().saveText("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\CvNt"
                                            "\\CurrentConfig");
        } else if (w[1] == "devices") {
            for (const std::u16string& name : kernel_.io().deviceNames())
                text += nt::toUtf8(name) + "\n";
            for (const std::u16string& link : kernel_.io().linkNames())
                text += nt::toUtf8(link) + " -> " + nt::toUtf8(kernel_.io().linkTarget(link).value_or(u"")) +
                        "\n";
        } else if (w[1] == "uart" && w.size() == 3) {
            uint16_t address = 0;
            if (!UartAddress(w[2], address, error))
                return false;
            const hw::Uart* uart = machine_.uartAt(address);
            if (!uart) {
                error = "no UART at " + w[2];
                return false;
            }
            text = UartText(*uart);
        } else {
            error =
                "usage: show serialcomm | currentconfig | eventlog | resourcemap | devices | uart ADDRESS | "
                "registry KEY (a key under HKEY_LOCAL_MACHINE) | services NAME... | programs";
            return false;
        }
        r.hasStatus = false;
        r.port = w.size() == 3 ? w[1] + " " + w[2] : w[1];
        shown_ = text;
        emit(r);
        emitLines(text);
        return true;
    }
    if (op == "peer")
        return runPeer(w, r, error);
    if (op == "plug" || op == "unplug") {
        // A loopback plug: TX to RX, RTS to CTS, DTR to DSR and DCD, RI open.
        uint16_t a = 0;
        if (w.size() != 2 || !UartAddress(w[1], a, error)) {
            error =
                error.empty() ? "usage: plug ADDRESS | unplug ADDRESS (a hexadecimal UART address)" : error;
            return false;
        }
        hw::Uart* uart = machine_.uartAt(a);
        if (!uart) {
            error = "no UART at " + w[1];
            return false;
        }
        auto it = plugs_.find(a);
        if (op == "unplug") {
            if (it == plugs_.end()) {
                error = "no plug is in " + w[1];
                return false;
            }
            plugs_.erase(it);
        } else {
            if (const std::string there = pluggedInto(a); !there.empty()) {
                error = "the UART at " + w[1] + " has " + there + " in it";
                return false;
            }
            plugs_[a] = std::make_unique<hw::LoopbackPlug>(*uart);
        }
        r.hasStatus = false;
        r.note = Hex16(a);
        emit(r);
        return true;
    }
    if (op == "cable" || op == "uncable") {
        if (w.size() != (op == "cable" ? 3u : 2u)) {
            error = "usage: cable ADDRESS ADDRESS | uncable ADDRESS (hexadecimal UART addresses)";
            return false;
        }
        uint16_t a = 0, b = 0;
        if (!UartAddress(w[1], a, error) || (op == "cable" && !UartAddress(w[2], b, error)))
            return false;
        // A cable is found by either of its ends.
        auto at = [&](uint16_t address) {
            return std::find_if(cables_.begin(), cables_.end(),
                                [&](const Cable& c) { return c.a == address || c.b == address; });
        };
        if (op == "uncable") {
            auto it = at(a);
            if (it == cables_.end()) {
                error = "no cable is plugged into " + w[1];
                return false;
            }
            r.note = Hex16(it->a) + " <-> " + Hex16(it->b) + " unplugged";
            cables_.erase(it);
        } else {
            hw::Uart* ua = machine_.uartAt(a);
            hw::Uart* ub = machine_.uartAt(b);
            if (!ua || !ub || a == b) {
                error = a == b ? "a cable joins two different UARTs" : "no UART at " + w[!ua ? 1 : 2];
                return false;
            }
            for (size_t end : {1, 2})
                if (const std::string there = pluggedInto(end == 1 ? a : b);
                    !there.empty() && there != "a cable") {
                    error = "the UART at " + w[end] + " has " + there + " in it";
                    return false;
                }
            // A cable already at either end is pulled first, so that no end is left with a dead line.
            for (uint16_t end : {a, b})
                if (auto it = at(end); it != cables_.end())
                    cables_.erase(it);
            cables_.push_back({a, b, std::make_unique<hw::NullModemCable>(*ua, *ub)});
            r.note = Hex16(a) + " <-> " + Hex16(b);
        }
        r.hasStatus = false;
        emit(r);
        return true;
    }
    bool handled = false;
    if (!runPnp(w, r, error, handled) || !runDesktop(w, r, error, handled))
        return false;
    if (handled) {
        if (!r.op.empty())
            emit(r);
        return true;
    }
    static const char* const kPortCommands[] = {"ioctl",     "handflow", "open",     "close",     "set-line",
                                                "handshake", "chars",    "timeouts", "wait-mask", "wait",
                                                "write",     "read",     "purge"};
    if (std::find(std::begin(kPortCommands), std::end(kPortCommands), op) == std::end(kPortCommands)) {
        error = "unknown command \"" + op + "\" (" + kCommandList + ")";
        return false;
    }
    if (!need(2, (op + " PORT ...").c_str()))
        return false;
    const std::string& port = w[1];
    r.port = port;
    if (op == "open") {
        std::unique_ptr<nt::UserFile> f;
        r.status = nt::UserFile::open(kernel_, port, f);
        if (NT_SUCCESS(r.status))
            files_[port] = std::move(f);
    } else if (op == "close") {
        nt::UserFile* f = file(port, error);
        if (!f)
            return false;
        r.status = f->close();
        files_.erase(port);
    } else {
        nt::UserFile* f = file(port, error);
        if (!f)
            return false;
        if (op == "set-line") {
            if (!need(4, "set-line PORT BAUD 8N1"))
                return false;
            uint64_t rate = 0;
            if (!Number(w[2], 0xFFFFFFFFu, rate, error, "a baud rate"))
                return false;
            SERIAL_BAUD_RATE baud{static_cast<ULONG>(rate)};
            CharacterFormat format;
            if (!FormatOf(w[3], format, error))
                return false;
            SERIAL_LINE_CONTROL line{};
            line.WordLength = static_cast<UCHAR>(format.dataBits);
            line.Parity = static_cast<UCHAR>(format.parity);
            line.StopBits = format.stopBits == 2     ? STOP_BITS_2
                            : format.stopBits == 1.5 ? STOP_BITS_1_5
                                                     : STOP_BIT_1;
            r.status = control(f, IOCTL_SERIAL_SET_BAUD_RATE, Bytes(baud));
            if (NT_SUCCESS(r.status))
                r.status = control(f, IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(line));
        } else if (op == "handshake") {
            if (!need(3, "handshake PORT none|rts-cts|dtr-dsr|xon-xoff"))
                return false;
            SERIAL_HANDFLOW flow{};
            flow.ControlHandShake = SERIAL_DTR_CONTROL;
            flow.FlowReplace = SERIAL_RTS_CONTROL;
            if (w[2] == "rts-cts") {
                flow.ControlHandShake = SERIAL_DTR_CONTROL | SERIAL_CTS_HANDSHAKE;
                flow.FlowReplace = SERIAL_RTS_HANDSHAKE;
            } else if (w[2] == "dtr-dsr") {
                flow.ControlHandShake = SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
            } else if (w[2] == "xon-xoff") {
                flow.FlowReplace |= SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
            } else if (w[2] != "none") {
                error = "\"" + w[2] + "\" is not none, rts-cts, dtr-dsr or xon-xoff";
                return false;
            }
            flow.XonLimit = 2048;
            flow.XoffLimit = 512;
            r.note = w[2];
            r.status = control(f, IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow));
        } else if (op == "handflow") {
            if (!runHandflow(w, f, r, error))
                return false;
        } else if (op == "chars") {
            SERIAL_CHARS chars{0, 0, 0, 0, 0x11, 0x13};
            for (size_t i = 2; i < w.size(); ++i) {
                size_t eq = w[i].find('=');
                const std::string text = eq == std::string::npos ? "" : w[i].substr(eq + 1);
                if (text.empty() || text.size() > 2 ||
                    !std::all_of(text.begin(), text.end(),
                                 [](unsigned char c) { return std::isxdigit(c); })) {
                    error = Quoted(w[i]) + " does not give a character as two hexadecimal digits (xon=11)";
                    return false;
                }
                auto value = static_cast<UCHAR>(std::strtoul(text.c_str(), nullptr, 16));
                std::string name = w[i].substr(0, eq);
                if (name == "xon")
                    chars.XonChar = value;
                else if (name == "xoff")
                    chars.XoffChar = value;
                else if (name == "event")
                    chars.EventChar = value;
                else if (name == "error")
                    chars.ErrorChar = value;
                else if (name == "eof")
                    chars.EofChar = value;
                else if (name == "break")
                    chars.BreakChar = value;
                else {
                    error =
                        "\"" + w[i] + "\" is not xon=, xoff=, event=, error=, eof= or break= (hexadecimal)";
                    return false;
                }
            }
            r.status = control(f, IOCTL_SERIAL_SET_CHARS, Bytes(chars));
        } else if (op == "timeouts") {
            SERIAL_TIMEOUTS t{};
            for (size_t i = 2; i < w.size(); ++i) {
                size_t eq = w[i].find('=');
                std::string name = w[i].substr(0, eq);
                // A value in milliseconds, or MAXDWORD.
                const std::string text = eq == std::string::npos ? "" : w[i].substr(eq + 1);
                uint64_t number = 0;
                if (text == "MAXDWORD")
                    number = MAXULONG;
                else if (!Number(text, MAXULONG, number, error, "a timeout in milliseconds or MAXDWORD"))
                    return false;
                const ULONG value = static_cast<ULONG>(number);
                if (name == "interval")
                    t.ReadIntervalTimeout = value;
                else if (name == "read-multiplier")
                    t.ReadTotalTimeoutMultiplier = value;
                else if (name == "read-constant")
                    t.ReadTotalTimeoutConstant = value;
                else if (name == "write-multiplier")
                    t.WriteTotalTimeoutMultiplier = value;
                else if (name == "write-constant")
                    t.WriteTotalTimeoutConstant = value;
                else {
                    error = "\"" + w[i] +
                            "\" is not interval=, read-multiplier=, read-constant=, write-multiplier= "
                            "or write-constant= (milliseconds)";
                    return false;
                }
            }
            r.status = control(f, IOCTL_SERIAL_SET_TIMEOUTS, Bytes(t));
        } else if (op == "wait-mask") {
            static const std::map<std::string, ULONG> events = {
                {"rxchar", SERIAL_EV_RXCHAR},    {"rxflag", SERIAL_EV_RXFLAG}, {"txempty", SERIAL_EV_TXEMPTY},
                {"cts", SERIAL_EV_CTS},          {"dsr", SERIAL_EV_DSR},       {"rlsd", SERIAL_EV_RLSD},
                {"break", SERIAL_EV_BREAK},      {"err", SERIAL_EV_ERR},       {"ring", SERIAL_EV_RING},
                {"rx80full", SERIAL_EV_RX80FULL}};
            ULONG mask = 0;
            for (size_t i = 2; i < w.size(); ++i) {
                if (ULONG bits = 0; RawBits(w[i], bits)) {
                    mask |= bits; // any bits, valid or not, as a program may pass them
                    continue;
                }
                auto it = events.find(w[i]);
                if (it == events.end()) {
                    error = Quoted(w[i]) +
                            " is not an event (rxchar, rxflag, txempty, cts, dsr, rlsd, break, err, "
                            "ring, rx80full) or bits as 0x...";
                    return false;
                }
                mask |= it->second;
            }
            r.status = control(f, IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask));
        } else if (op == "wait") {
            uint64_t limit = 0;
            if (!limitOf(w, 2, limit, error))
                return false;
            auto result = finish(f, f->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)), limit, r);
            r.status = result.status;
            ULONG events = 0;
            if (result.data.size() == sizeof events)
                std::memcpy(&events, result.data.data(), sizeof events);
            r.note += (r.note.empty() ? "" : ", ") + std::string("events ") + Hex32(events);
        } else if (op == "write") {
            if (!need(3, "write PORT \"text\" | hex:414243 [limit=DURATION]"))
                return false;
            std::vector<uint8_t> data;
            if (!BytesOf(w[2], data)) {
                error = "write takes \"text\" or hex: with pairs of hexadecimal digits (hex:414243)";
                return false;
            }
            uint64_t limit = 0;
            if (!limitOf(w, 3, limit, error))
                return false;
            auto result = finish(f, f->startWrite(data), limit, r);
            r.status = result.status;
            r.hasBytes = true;
            r.bytes = result.information;
        } else if (op == "read") {
            if (!need(3, "read PORT COUNT [limit=DURATION]"))
                return false;
            uint64_t count = 0;
            if (!Number(w[2], kMaxReadLength, count, error, "a byte count"))
                return false;
            uint64_t limit = 0;
            if (!limitOf(w, 3, limit, error))
                return false;
            auto result = finish(f, f->startRead(static_cast<ULONG>(count)), limit, r);
            r.status = result.status;
            r.hasBytes = r.hasData = true;
            r.bytes = result.information;
            r.data = result.data;
        } else if (op == "purge") {
            static const std::map<std::string, ULONG> kinds = {{"rx", SERIAL_PURGE_RXCLEAR},
                                                               {"tx", SERIAL_PURGE_TXCLEAR},
                                                               {"rxabort", SERIAL_PURGE_RXABORT},
                                                               {"txabort", SERIAL_PURGE_TXABORT}};
            ULONG mask = 0;
            for (size_t i = 2; i < w.size(); ++i) {
                if (ULONG bits = 0; RawBits(w[i], bits)) {
                    mask |= bits;
                    continue;
                }
                auto it = kinds.find(w[i]);
                if (it == kinds.end()) {
                    error = Quoted(w[i]) + " is not rx, tx, rxabort, txabort or bits as 0x...";
                    return false;
                }
                mask |= it->second;
            }
            r.status = control(f, IOCTL_SERIAL_PURGE, Bytes(mask));
        } else if (op == "ioctl") {
            if (!runIoctl(w, f, r, error))
                return false;
        } else {
            error = "unknown command \"" + op + "\" (" + kCommandList + ")";
            return false;
        }
    }
    emit(r);
    return true;
}

} // namespace

void Runner::emitTrace() {
    auto& ports = kernel_.ports();
    const auto& trace = ports.trace();
    constexpr size_t kMaxTraceLines = 10000;
    for (size_t i = 0; i < trace.size() && i < kMaxTraceLines; ++i) {
        const nt::PortAccess& a = trace[i];
        char text[80];
        std::snprintf(text, sizeof text, "%.7f s %s %04X %0*X", double(a.time) / hw::kTicksPerSecond,
                      a.write ? "out" : "in ", a.address, int(std::min<unsigned>(a.width, 4) * 2), a.value);
        emitLine(text);
    }
    if (trace.size() > kMaxTraceLines) {
        Record more;
        more.op = "|";
        more.hasStatus = false;
        more.note = std::to_string(trace.size() - kMaxTraceLines) + " more accesses not shown";
        emit(more);
    }
    ports.clearTrace();
}

// A request issued without waiting (begin NAME read|write|wait PORT ...), waited for later (await NAME
// [limit=DURATION]) or cancelled as CancelIo does (cancel NAME); await shows when and how it ended.
bool Runner::runPending(const std::vector<std::string>& w, Record& r, std::string& error) {
    const std::string& op = w[0];
    if (op == "begin") {
        if (w.size() < 4 || (w[2] != "read" && w[2] != "write" && w[2] != "wait" && w[2] != "ioctl")) {
            error = "usage: begin NAME read PORT COUNT | begin NAME write PORT \"text\"|hex:.. | begin NAME "
                    "wait PORT | begin NAME ioctl PORT NAME|CODE [in=hex:...] [out=N]";
            return false;
        }
        if (pending_.count(w[1])) {
            error = "a request named " + Short(w[1]) + " is still outstanding (await or cancel it first)";
            return false;
        }
        nt::UserFile* f = file(w[3], error);
        if (!f)
            return false;
        Pending p{w[3], w[2], nullptr, kernel_.now(), 0, ""};
        if (w[2] == "read") {
            uint64_t count = 0;
            if (w.size() != 5 || !Number(w[4], kMaxReadLength, count, error, "a byte count"))
                return error.empty() ? (error = "usage: begin NAME read PORT COUNT", false) : false;
            p.request = f->startRead(static_cast<ULONG>(count));
        } else if (w[2] == "write") {
            std::vector<uint8_t> data;
            if (w.size() != 5 || !BytesOf(w[4], data)) {
                error = "begin NAME write PORT takes \"text\" or hex: with pairs of hexadecimal digits";
                return false;
            }
            p.request = f->startWrite(data);
        } else if (w[2] == "ioctl") {
            Control c;
            if (!controlOf(w, 4, c, error))
                return false;
            p.code = c.code;
            p.requestName = " " + w[4];
            p.request = f->startControl(c.code, c.input, c.output);
        } else {
            p.request = f->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG));
        }
        pending_[w[1]] = p;
        r.hasStatus = false;
        r.port = w[1];
        r.note = w[2] + " " + w[3] + p.requestName + (p.request->completed ? ", ended at once" : ", pending");
        emit(r);
        return true;
    }
    if (w.size() < 2) {
        error = "usage: " + op + " NAME" + (op == "await" ? " [limit=DURATION]" : "");
        return false;
    }
    auto it = pending_.find(w[1]);
    if (it == pending_.end()) {
        error = "no request named " + Short(w[1]) + " is outstanding";
        return false;
    }
    Pending& p = it->second;
    nt::UserFile* f = file(p.port, error);
    if (!f)
        return false;
    if (op == "cancel") {
        const bool cancelled = f->cancel(*p.request);
        r.hasStatus = false;
        r.port = w[1];
        r.note = cancelled ? "cancelled" : "it had ended";
        emit(r);
        return true;
    }
    uint64_t limit = 10 * hw::kTicksPerSecond;
    if (!limitOf(w, 2, limit, error))
        return false;
    nt::IoResult result = f->wait(p.request, kernel_.now() + limit);
    r.port = w[1];
    if (!result.finished) {
        r.status = STATUS_PENDING;
        r.note = "still pending";
        emit(r);
        return true;
    }
    r.status = result.status;
    if (p.op == "ioctl") {
        showOutput(p.code, result.data, r);
    } else if (p.op != "wait") {
        r.hasBytes = true;
        r.bytes = result.information;
    }
    if (p.op == "read") {
        r.hasData = true;
        r.data = result.data;
    }
    char when[160];
    std::snprintf(when, sizeof when, "%s %s%s, began %.7f s, ended %.7f s", p.op.c_str(), p.port.c_str(),
                  p.requestName.c_str(), double(p.began) / hw::kTicksPerSecond,
                  double(p.request->completedAt) / hw::kTicksPerSecond);
    r.note = r.note.empty() ? when : std::string(when) + ", " + r.note;
    if (p.op == "wait") {
        ULONG events = 0;
        if (result.data.size() == sizeof events)
            std::memcpy(&events, result.data.data(), sizeof events);
        r.note += ", events " + Hex32(events);
    }
    pending_.erase(it);
    emit(r);
    return true;
}

// A check of what the scenario saw: the last request's status, byte count, data or events, what the last
// show showed, or a register of a UART. A failed one is a line of the transcript and makes the exit
// status non-zero.
bool Runner::expect(const std::vector<std::string>& w, Record& r, std::string& error) {
    static const char* const kUsage =
        "usage: expect status CODE | bytes N | data \"text\"|hex:.. | events MASK | shown \"text\" | "
        "uart ADDRESS REGISTER VALUE";
    if (w.size() < 3) {
        error = kUsage;
        return false;
    }
    const std::string& what = w[1];
    std::string got;
    bool held = false;
    auto hexNumber = [&](const std::string& word, uint64_t max, uint64_t& value) {
        std::string digits = word.rfind("0x", 0) == 0 || word.rfind("0X", 0) == 0 ? word.substr(2) : word;
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), [](unsigned char c) { return std::isxdigit(c); }) ||
            std::strtoull(digits.c_str(), nullptr, 16) > max) {
            error = Quoted(word) + " is not a hexadecimal value up to " + Hex32(uint32_t(max));
            return false;
        }
        value = std::strtoull(digits.c_str(), nullptr, 16);
        return true;
    };
    if (what == "shown") {
        const std::string text = Unquoted(w[2]);
        held = shown_.find(text) != std::string::npos;
        got = shown_.empty() ? "nothing shown" : "not in what was shown";
    } else if (what == "uart") {
        uint16_t address = 0;
        uint64_t want = 0;
        if (w.size() != 5 || !UartAddress(w[2], address, error) || !hexNumber(w[4], 0xFFFF, want))
            return error.empty() ? (error = kUsage, false) : false;
        const hw::Uart* u = machine_.uartAt(address);
        if (!u) {
            error = "no UART at " + w[2];
            return false;
        }
        static const std::map<std::string, uint16_t (*)(const hw::Uart&)> kRegisters = {
            {"IER", [](const hw::Uart& x) { return uint16_t(x.ier()); }},
            {"IIR", [](const hw::Uart& x) { return uint16_t(x.pendingIdentification()); }},
            {"LCR", [](const hw::Uart& x) { return uint16_t(x.lcr()); }},
            {"MCR", [](const hw::Uart& x) { return uint16_t(x.mcr()); }},
            {"LSR", [](const hw::Uart& x) { return uint16_t(x.lsr()); }},
            {"MSR", [](const hw::Uart& x) { return uint16_t(x.msr()); }},
            {"SPR", [](const hw::Uart& x) { return uint16_t(x.scratch()); }},
            {"EFR", [](const hw::Uart& x) { return uint16_t(x.efr()); }},
            {"divisor", [](const hw::Uart& x) { return x.divisor(); }}};
        auto reg = kRegisters.find(w[3]);
        if (reg == kRegisters.end()) {
            error = Quoted(w[3]) + " is not IER, IIR, LCR, MCR, LSR, MSR, SPR, EFR or divisor";
            return false;
        }
        const uint16_t value = reg->second(*u);
        held = value == want;
        char text[16];
        std::snprintf(text, sizeof text, "%X", value);
        got = text;
    } else {
        if (what != "status" && what != "bytes" && what != "data" && what != "events") {
            error = kUsage;
            return false;
        }
        if (!hasLast_) {
            error = "no request has ended yet to check";
            return false;
        }
        if (what == "status") {
            uint64_t want = 0;
            if (!hexNumber(w[2], 0xFFFFFFFFu, want))
                return false;
            held = uint32_t(last_.status) == uint32_t(want);
            got = Hex32(uint32_t(last_.status));
        } else if (what == "bytes") {
            uint64_t want = 0;
            if (!Number(w[2], 0xFFFFFFFFu, want, error, "a byte count"))
                return false;
            held = last_.hasBytes && last_.bytes == want;
            got = last_.hasBytes ? std::to_string(last_.bytes) : "no byte count";
        } else if (what == "data") {
            std::vector<uint8_t> want;
            if (!BytesOf(w[2], want)) {
                error = "expect data takes \"text\" or hex: with pairs of hexadecimal digits";
                return false;
            }
            held = last_.hasData && last_.data == want;
            got = last_.hasData ? "\"" + Escaped(last_.data) + "\"" : "no data";
        } else if (what == "events") {
            uint64_t want = 0;
            if (!hexNumber(w[2], 0xFFFFFFFFu, want))
                return false;
            const size_t at = last_.note.find("events ");
            const uint32_t events = at == std::string::npos
                                        ? 0
                                        : uint32_t(std::strtoul(last_.note.c_str() + at + 7, nullptr, 16));
            held = at != std::string::npos && events == want;
            got = at == std::string::npos ? "no events" : Hex32(events);
        } else {
            error = kUsage;
            return false;
        }
    }
    r.hasStatus = false;
    std::string wanted;
    for (size_t i = 1; i < w.size(); ++i)
        wanted += (i > 1 ? " " : "") + (w[i][0] == '"' ? w[i] + "\"" : w[i]);
    r.port = wanted;
    r.note = held ? "holds" : "FAILED: got " + got;
    if (!held)
        failedExpectations.push_back("expected " + wanted + ", got " + got);
    emit(r);
    return true;
}

namespace {

// The serial device control requests by name, with the size of what each returns.
struct IoctlName {
    const char* name;
    ULONG code;
    ULONG output;
};
const IoctlName kIoctls[] = {
    {"SET_BAUD_RATE", IOCTL_SERIAL_SET_BAUD_RATE, 0},
    {"GET_BAUD_RATE", IOCTL_SERIAL_GET_BAUD_RATE, sizeof(SERIAL_BAUD_RATE)},
    {"SET_LINE_CONTROL", IOCTL_SERIAL_SET_LINE_CONTROL, 0},
    {"GET_LINE_CONTROL", IOCTL_SERIAL_GET_LINE_CONTROL, sizeof(SERIAL_LINE_CONTROL)},
    {"SET_TIMEOUTS", IOCTL_SERIAL_SET_TIMEOUTS, 0},
    {"GET_TIMEOUTS", IOCTL_SERIAL_GET_TIMEOUTS, sizeof(SERIAL_TIMEOUTS)},
    {"SET_CHARS", IOCTL_SERIAL_SET_CHARS, 0},
    {"GET_CHARS", IOCTL_SERIAL_GET_CHARS, sizeof(SERIAL_CHARS)},
    {"SET_HANDFLOW", IOCTL_SERIAL_SET_HANDFLOW, 0},
    {"GET_HANDFLOW", IOCTL_SERIAL_GET_HANDFLOW, sizeof(SERIAL_HANDFLOW)},
    {"SET_DTR", IOCTL_SERIAL_SET_DTR, 0},
    {"CLR_DTR", IOCTL_SERIAL_CLR_DTR, 0},
    {"SET_RTS", IOCTL_SERIAL_SET_RTS, 0},
    {"CLR_RTS", IOCTL_SERIAL_CLR_RTS, 0},
    {"SET_XOFF", IOCTL_SERIAL_SET_XOFF, 0},
    {"SET_XON", IOCTL_SERIAL_SET_XON, 0},
    {"SET_BREAK_ON", IOCTL_SERIAL_SET_BREAK_ON, 0},
    {"SET_BREAK_OFF", IOCTL_SERIAL_SET_BREAK_OFF, 0},
    {"IMMEDIATE_CHAR", IOCTL_SERIAL_IMMEDIATE_CHAR, 0},
    {"SET_QUEUE_SIZE", IOCTL_SERIAL_SET_QUEUE_SIZE, 0},
    {"SET_WAIT_MASK", IOCTL_SERIAL_SET_WAIT_MASK, 0},
    {"GET_WAIT_MASK", IOCTL_SERIAL_GET_WAIT_MASK, sizeof(ULONG)},
    {"PURGE", IOCTL_SERIAL_PURGE, 0},
    {"GET_MODEMSTATUS", IOCTL_SERIAL_GET_MODEMSTATUS, sizeof(ULONG)},
    {"GET_COMMSTATUS", IOCTL_SERIAL_GET_COMMSTATUS, sizeof(SERIAL_STATUS)},
    {"GET_DTRRTS", IOCTL_SERIAL_GET_DTRRTS, sizeof(ULONG)},
    {"GET_PROPERTIES", IOCTL_SERIAL_GET_PROPERTIES, sizeof(SERIAL_COMMPROP)},
    {"GET_STATS", IOCTL_SERIAL_GET_STATS, sizeof(SERIALPERF_STATS)},
    {"CLEAR_STATS", IOCTL_SERIAL_CLEAR_STATS, 0},
    {"RESET_DEVICE", IOCTL_SERIAL_RESET_DEVICE, 0},
    {"CONFIG_SIZE", IOCTL_SERIAL_CONFIG_SIZE, sizeof(ULONG)},
    {"WAIT_ON_MASK", IOCTL_SERIAL_WAIT_ON_MASK, sizeof(ULONG)},
    {"XOFF_COUNTER", IOCTL_SERIAL_XOFF_COUNTER, 0},
    {"LSRMST_INSERT", IOCTL_SERIAL_LSRMST_INSERT, 0},
    {"GET_COMMCONFIG", IOCTL_SERIAL_GET_COMMCONFIG, 0},
    {"SET_COMMCONFIG", IOCTL_SERIAL_SET_COMMCONFIG, 0},
};

template <typename T>
bool Layout(const std::vector<uint8_t>& data, T& value) {
    if (data.size() < sizeof(T))
        return false;
    std::memcpy(&value, data.data(), sizeof(T));
    return true;
}

// What a request returned, in its known layout's fields; empty when its layout is not known.
std::string Decoded(ULONG code, const std::vector<uint8_t>& data) {
    char text[256] = "";
    ULONG u = 0;
    if (code == IOCTL_SERIAL_GET_BAUD_RATE && Layout(data, u)) {
        std::snprintf(text, sizeof text, "baud rate %lu", (unsigned long)u);
    } else if (code == IOCTL_SERIAL_GET_LINE_CONTROL) {
        SERIAL_LINE_CONTROL lc{};
        if (Layout(data, lc))
            std::snprintf(text, sizeof text, "word length %u, parity %u, stop bits %u", lc.WordLength,
                          lc.Parity, lc.StopBits);
    } else if (code == IOCTL_SERIAL_GET_TIMEOUTS) {
        SERIAL_TIMEOUTS t{};
        if (Layout(data, t))
            std::snprintf(text, sizeof text,
                          "interval %lu, read multiplier %lu, read constant %lu, write multiplier %lu, write "
                          "constant %lu",
                          (unsigned long)t.ReadIntervalTimeout, (unsigned long)t.ReadTotalTimeoutMultiplier,
                          (unsigned long)t.ReadTotalTimeoutConstant,
                          (unsigned long)t.WriteTotalTimeoutMultiplier,
                          (unsigned long)t.WriteTotalTimeoutConstant);
    } else if (code == IOCTL_SERIAL_GET_CHARS) {
        SERIAL_CHARS c{};
        if (Layout(data, c))
            std::snprintf(text, sizeof text,
                          "eof %02X, error %02X, break %02X, event %02X, xon %02X, xoff %02X", c.EofChar,
                          c.ErrorChar, c.BreakChar, c.EventChar, c.XonChar, c.XoffChar);
    } else if (code == IOCTL_SERIAL_GET_HANDFLOW) {
        SERIAL_HANDFLOW h{};
        if (Layout(data, h))
            std::snprintf(text, sizeof text,
                          "control handshake %08lX, flow replace %08lX, xon limit %ld, xoff limit %ld",
                          (unsigned long)h.ControlHandShake, (unsigned long)h.FlowReplace, (long)h.XonLimit,
                          (long)h.XoffLimit);
    } else if (code == IOCTL_SERIAL_GET_COMMSTATUS) {
        SERIAL_STATUS st{};
        if (Layout(data, st))
            std::snprintf(
                text, sizeof text,
                "errors %08lX, hold reasons %08lX, in queue %lu, out queue %lu, eof %u, waiting for "
                "immediate %u",
                (unsigned long)st.Errors, (unsigned long)st.HoldReasons, (unsigned long)st.AmountInInQueue,
                (unsigned long)st.AmountInOutQueue, st.EofReceived, st.WaitForImmediate);
    } else if (code == IOCTL_SERIAL_GET_STATS) {
        SERIALPERF_STATS st{};
        if (Layout(data, st))
            std::snprintf(
                text, sizeof text,
                "received %lu, transmitted %lu, frame errors %lu, overruns %lu, buffer overruns %lu, "
                "parity errors %lu",
                (unsigned long)st.ReceivedCount, (unsigned long)st.TransmittedCount,
                (unsigned long)st.FrameErrorCount, (unsigned long)st.SerialOverrunErrorCount,
                (unsigned long)st.BufferOverrunErrorCount, (unsigned long)st.ParityErrorCount);
    } else if ((code == IOCTL_SERIAL_GET_MODEMSTATUS || code == IOCTL_SERIAL_GET_WAIT_MASK ||
                code == IOCTL_SERIAL_GET_DTRRTS || code == IOCTL_SERIAL_CONFIG_SIZE) &&
               Layout(data, u)) {
        std::snprintf(text, sizeof text, "%08lX", (unsigned long)u);
    } else if (code == IOCTL_SERIAL_WAIT_ON_MASK && Layout(data, u)) {
        std::snprintf(text, sizeof text, "events %08lX", (unsigned long)u);
    }
    return text;
}

} // namespace

// The whole handflow settings by field: the control handshake and flow replace bits by name, and the
// XON and XOFF limits; what is not named is 0.
bool Runner::runHandflow(const std::vector<std::string>& w, nt::UserFile* f, Record& r, std::string& error) {
    static const std::map<std::string, ULONG> kControl = {
        {"dtr-control", SERIAL_DTR_CONTROL},     {"dtr-handshake", SERIAL_DTR_HANDSHAKE},
        {"cts-handshake", SERIAL_CTS_HANDSHAKE}, {"dsr-handshake", SERIAL_DSR_HANDSHAKE},
        {"dcd-handshake", SERIAL_DCD_HANDSHAKE}, {"dsr-sensitivity", SERIAL_DSR_SENSITIVITY},
        {"error-abort", SERIAL_ERROR_ABORT}};
    static const std::map<std::string, ULONG> kReplace = {
        {"auto-transmit", SERIAL_AUTO_TRANSMIT}, {"auto-receive", SERIAL_AUTO_RECEIVE},
        {"error-char", SERIAL_ERROR_CHAR},       {"null-stripping", SERIAL_NULL_STRIPPING},
        {"break-char", SERIAL_BREAK_CHAR},       {"rts-control", SERIAL_RTS_CONTROL},
        {"rts-handshake", SERIAL_RTS_HANDSHAKE}, {"transmit-toggle", SERIAL_TRANSMIT_TOGGLE},
        {"xoff-continue", SERIAL_XOFF_CONTINUE}};
    SERIAL_HANDFLOW flow{};
    for (size_t i = 2; i < w.size(); ++i) {
        const size_t eq = w[i].find('=');
        const std::string name = w[i].substr(0, eq),
                          value = eq == std::string::npos ? "" : w[i].substr(eq + 1);
        if (name == "control" || name == "replace") {
            const auto& table = name == "control" ? kControl : kReplace;
            ULONG& bits = name == "control" ? flow.ControlHandShake : flow.FlowReplace;
            // Names joined by '+', or bits as 0x...
            for (size_t from = 0; from <= value.size();) {
                const size_t plus = value.find('+', from);
                const std::string item =
                    value.substr(from, plus == std::string::npos ? std::string::npos : plus - from);
                ULONG raw = 0;
                if (auto it = table.find(item); it != table.end())
                    bits |= it->second;
                else if (RawBits(item, raw))
                    bits |= raw;
                else {
                    std::string names;
                    for (const auto& [known, bit] : table)
                        names += (names.empty() ? "" : ", ") + known;
                    error = Quoted(item) + " is not a " + name + " bit (" + names + ") or 0x...";
                    return false;
                }
                if (plus == std::string::npos)
                    break;
                from = plus + 1;
            }
        } else if (name == "xon-limit" || name == "xoff-limit") {
            uint64_t n = 0;
            if (!Number(value, 0x7FFFFFFF, n, error, "a limit in bytes"))
                return false;
            (name == "xon-limit" ? flow.XonLimit : flow.XoffLimit) = static_cast<LONG>(n);
        } else {
            error = Quoted(w[i]) + " is not control=, replace=, xon-limit= or xoff-limit=";
            return false;
        }
    }
    r.status = control(f, IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow));
    char note[96];
    std::snprintf(note, sizeof note, "control %08lX, replace %08lX, xon limit %ld, xoff limit %ld",
                  (unsigned long)flow.ControlHandShake, (unsigned long)flow.FlowReplace, (long)flow.XonLimit,
                  (long)flow.XoffLimit);
    r.note = note;
    return true;
}

// Any serial device control request, by name or code, with an input as hex: and room for an output; the
// output is shown in its layout's fields where the layout is known, else in hexadecimal.
bool Runner::controlOf(const std::vector<std::string>& w, size_t from, Control& c, std::string& error) {
    if (w.size() <= from) {
        error = "usage: ioctl PORT NAME|CODE [in=hex:...] [out=N]";
        return false;
    }
    bool known = false;
    for (const IoctlName& n : kIoctls)
        if (w[from] == n.name) {
            c.code = n.code;
            c.output = n.output;
            known = true;
        }
    if (!known) {
        const std::string digits = w[from].rfind("0x", 0) == 0 ? w[from].substr(2) : "";
        if (digits.empty() || digits.size() > 8 ||
            !std::all_of(digits.begin(), digits.end(), [](unsigned char ch) { return std::isxdigit(ch); })) {
            error =
                Quoted(w[from]) + " is not a serial request name (GET_MODEMSTATUS, ...) or a code (0x1B0068)";
            return false;
        }
        c.code = static_cast<ULONG>(std::strtoul(digits.c_str(), nullptr, 16));
    }
    for (size_t i = from + 1; i < w.size(); ++i) {
        if (w[i].rfind("in=hex:", 0) == 0 && BytesOf(w[i].substr(3), c.input)) {
            continue;
        } else if (w[i].rfind("out=", 0) == 0) {
            uint64_t n = 0;
            if (!Number(w[i].substr(4), 4096, n, error, "an output size"))
                return false;
            c.output = static_cast<ULONG>(n);
        } else {
            error = Quoted(w[i]) + " is not in=hex:... or out=N";
            return false;
        }
    }
    return true;
}

void Runner::showOutput(ULONG code, const std::vector<uint8_t>& data, Record& r) {
    shown_.clear();
    if (data.empty())
        return;
    r.hasBytes = true;
    r.bytes = data.size();
    r.note = Decoded(code, data);
    if (!r.note.empty()) {
        shown_ = r.note;
        return;
    }
    for (uint8_t b : data) {
        char hex[4];
        std::snprintf(hex, sizeof hex, "%02X", b);
        r.note += hex;
    }
    shown_ = r.note; // what `expect shown` checks, as after a show
}

bool Runner::runIoctl(const std::vector<std::string>& w, nt::UserFile* f, Record& r, std::string& error) {
    Control c;
    if (!controlOf(w, 2, c, error))
        return false;
    nt::IoResult result = f->control(c.code, c.input, c.output, kernel_.now() + 10'000'000);
    r.status = result.status;
    r.port = w[1] + " " + w[2];
    showOutput(c.code, result.data, r);
    return true;
}

ScenarioResult RunScenario(Machine& machine, std::string_view text, std::string_view sourceName, bool json) {
    ScenarioResult result;
    nt::KernelScope scope(machine.kernel());
    machine.boot(); // a Windows 2000 machine's devices are there before the first command
    Runner runner(machine, json);
    std::istringstream in{NormalizedLines(text)};
    std::string line;
    size_t number = 0;
    while (std::getline(in, line)) {
        ++number;
        bool unterminated = false;
        auto words = Words(line, unterminated);
        if (words.empty())
            continue;
        std::string error;
        if (unterminated) {
            result.ok = false;
            result.error =
                std::string(sourceName) + ":" + std::to_string(number) + ": a quoted text is not closed";
            break;
        }
        const size_t failedBefore = runner.failedExpectations.size();
        if (!runner.run(words, error)) {
            result.ok = false;
            result.error = std::string(sourceName) + ":" + std::to_string(number) + ": " + error;
            break;
        }
        runner.emitTrace();
        if (runner.failedExpectations.size() > failedBefore)
            result.failures.push_back(std::string(sourceName) + ":" + std::to_string(number) + ": " +
                                      runner.failedExpectations.back());
    }
    if (result.ok)
        runner.conclude();
    result.transcript = runner.transcript;
    result.ok = result.ok && runner.allSucceeded && result.failures.empty();
    return result;
}

} // namespace sim
