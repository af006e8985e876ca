#include "sim/scenariopeer.h"
#include "sim/inputfile.h"
#include "sim/scenariowords.h"

#include <algorithm>
#include <cmath>
#include <cstdio>

namespace sim {

namespace {

// The characters of software flow control as devices send them unless set otherwise.
constexpr uint8_t kXon = 0x11, kXoff = 0x13;
// Parity as the UART's line control holds it, by its letter's index in "NOEMS".
constexpr uint8_t kParityBits[] = {0, hw::reg::LCR_ODD_PARITY, hw::reg::LCR_EVEN_PARITY,
                                   hw::reg::LCR_MARK_PARITY, hw::reg::LCR_SPACE_PARITY};
constexpr uint64_t kMaxPeerRate = 15'000'000;

bool FrameOf(const std::string& rate, const std::string& format, hw::Frame& frame, std::string& error) {
    uint64_t baud = 0;
    CharacterFormat f;
    if (!Number(rate, kMaxPeerRate, baud, error, "a baud rate") || !FormatOf(format, f, error))
        return false;
    if (baud < 50) {
        error = Quoted(rate) + " is not a baud rate (50 to " + std::to_string(kMaxPeerRate) + ")";
        return false;
    }
    frame = hw::Frame{};
    frame.dataBits = f.dataBits;
    frame.parity = kParityBits[f.parity];
    frame.stopBits = f.stopBits;
    frame.bitTicks = double(hw::kTicksPerSecond) / double(baud);
    return true;
}

std::string Seconds(hw::Tick t) {
    char text[32];
    std::snprintf(text, sizeof text, "%.7f s", double(t) / hw::kTicksPerSecond);
    return text;
}

} // namespace

const char* ScenarioPeers::usage() {
    return "usage: peer ADDRESS attach BAUD FORMAT | format BAUD FORMAT | send \"text\"|hex:.. | send-error "
           "\"c\"|hex:XX parity|framing | break DURATION | lines cts=on|off dsr=.. dcd=.. ri=.. | hold "
           "xoff|cts | release | received | detach; all but format and received take after=DURATION";
}

bool ScenarioPeers::run(const std::vector<std::string>& w, Outcome& outcome, std::string& error) {
    uint16_t address = 0;
    if (w.size() < 3 || !UartAddress(w[1], address, error))
        return error.empty() ? (error = usage(), false) : false;
    if (w[2] == "attach")
        return attach(w, address, outcome, error);
    auto it = peers_.find(address);
    if (it == peers_.end()) {
        error = "no peer is attached to " + w[1] + " (peer " + w[1] + " attach BAUD FORMAT first)";
        return false;
    }
    if (w[2] == "detach") {
        if (w.size() != 3)
            return error = usage(), false;
        peers_.erase(it);
        outcome.note = "detached";
        return true;
    }
    return act(w, it->second, outcome, error);
}

bool ScenarioPeers::attach(const std::vector<std::string>& w, uint16_t address, Outcome& outcome,
                           std::string& error) {
    hw::Frame frame;
    if (w.size() != 5 || !FrameOf(w[3], w[4], frame, error))
        return error.empty() ? (error = usage(), false) : false;
    hw::Uart* uart = machine_.uartAt(address);
    if (!uart) {
        error = "no UART at " + w[1];
        return false;
    }
    if (peers_.count(address)) {
        error = "a peer is attached to " + w[1] + " already";
        return false;
    }
    Peer& peer = peers_[address];
    peer.device = std::make_unique<hw::ScriptedPeer>(machine_.kernel().timeline(), *uart, frame);
    // A device just plugged in drives none of the port's modem inputs until told to.
    uart->setModemInputs(peer.lines);
    outcome.note = "attached, " + w[3] + " " + w[4];
    return true;
}

bool ScenarioPeers::act(const std::vector<std::string>& w, Peer& peer, Outcome& outcome, std::string& error) {
    hw::EventQueue& clock = machine_.kernel().timeline();
    const std::string& what = w[2];
    // The optional delay closing send, send-error, break and lines.
    std::vector<std::string> words = w;
    hw::Tick when = clock.now();
    if (words.back().rfind("after=", 0) == 0 && what != "format" && what != "received") {
        uint64_t delay = 0;
        if (!Duration(words.back().substr(6), delay)) {
            error = Quoted(words.back()) + " is not after=DURATION (10ms, 2s, 500us)";
            return false;
        }
        when += delay;
        words.pop_back();
    }
    hw::ScriptedPeer& device = *peer.device;
    if (what == "format") {
        hw::Frame frame;
        if (words.size() != 5 || !FrameOf(words[3], words[4], frame, error))
            return error.empty() ? (error = usage(), false) : false;
        device.setFormat(frame);
        outcome.note = words[3] + " " + words[4];
    } else if (what == "send") {
        std::vector<uint8_t> data;
        if (words.size() != 4 || !BytesOf(words[3], data) || data.size() > kMaxReadLength) {
            error = "peer ADDRESS send takes \"text\" or hex: with pairs of hexadecimal digits";
            return false;
        }
        outcome.note =
            std::to_string(data.size()) + " bytes, the last ending at " + Seconds(device.sendAt(when, data));
    } else if (what == "send-error") {
        std::vector<uint8_t> data;
        if (words.size() != 5 || !BytesOf(words[3], data) || data.size() != 1 ||
            (words[4] != "parity" && words[4] != "framing")) {
            error = "peer ADDRESS send-error takes one character (\"c\" or hex:XX) and parity or framing";
            return false;
        }
        const hw::Tick end =
            device.sendWithErrorAt(when, data[0], words[4] == "parity", words[4] == "framing");
        outcome.note = "a " + words[4] + " error, ending at " + Seconds(end);
    } else if (what == "break") {
        uint64_t length = 0;
        if (words.size() != 4 || !Duration(words[3], length) || length == 0) {
            error = "peer ADDRESS break takes a duration above 0 (10ms, 2s, 500us)";
            return false;
        }
        device.breakAt(when, when + length);
        outcome.note = "from " + Seconds(when) + " to " + Seconds(when + length);
    } else if (what == "lines") {
        if (words.size() < 4)
            return error = usage(), false;
        for (size_t i = 3; i < words.size(); ++i) {
            const std::string& item = words[i];
            const size_t eq = item.find('=');
            const std::string name = item.substr(0, eq),
                              value = eq == std::string::npos ? "" : item.substr(eq + 1);
            bool* line = name == "cts"   ? &peer.lines.cts
                         : name == "dsr" ? &peer.lines.dsr
                         : name == "dcd" ? &peer.lines.dcd
                         : name == "ri"  ? &peer.lines.ri
                                         : nullptr;
            if (!line || (value != "on" && value != "off")) {
                error = Quoted(item) + " is not cts=, dsr=, dcd= or ri= with on or off";
                return false;
            }
            *line = value == "on";
        }
        device.modemAt(when, peer.lines);
        outcome.note = "at " + Seconds(when) + ": CTS " + (peer.lines.cts ? "on" : "off") + ", DSR " +
                       (peer.lines.dsr ? "on" : "off") + ", DCD " + (peer.lines.dcd ? "on" : "off") +
                       ", RI " + (peer.lines.ri ? "on" : "off");
    } else if (what == "hold") {
        if (words.size() != 4 || (words[3] != "xoff" && words[3] != "cts")) {
            error = "peer ADDRESS hold takes xoff (it sends XOFF) or cts (it drops CTS)";
            return false;
        }
        peer.holdingByCts = words[3] == "cts";
        outcome.note = setHold(peer, true, when);
    } else if (what == "release") {
        if (words.size() != 3 || !peer.holding) {
            error = peer.holding ? usage() : "the peer is not holding (peer ADDRESS hold xoff|cts first)";
            return false;
        }
        outcome.note = setHold(peer, false, when);
    } else if (what == "received") {
        if (words.size() != 3)
            return error = usage(), false;
        outcome.report = report(device, outcome.data);
        outcome.hasData = true;
    } else {
        error = Quoted(what) + " is not something a peer does (" + usage() + ")";
        return false;
    }
    return true;
}

// Holds or releases the port the way the hold chose: CTS, or XOFF and XON after what the peer queued.
std::string ScenarioPeers::setHold(Peer& peer, bool hold, hw::Tick when) {
    peer.holding = hold;
    if (peer.holdingByCts) {
        peer.lines.cts = !hold;
        peer.device->modemAt(when, peer.lines);
        return hold ? "CTS dropped" : "CTS raised";
    }
    const hw::Tick end = peer.device->sendAt(when, {hold ? kXoff : kXon});
    return std::string(hold ? "XOFF" : "XON") + " sent, ending at " + Seconds(end);
}

// What the peer received, a line per character with the time it ended and the errors its receiver saw,
// and the changes of the port's DTR and RTS it saw, in the order of their times.
std::string ScenarioPeers::report(const hw::ScriptedPeer& device, std::vector<uint8_t>& data) {
    std::vector<std::pair<hw::Tick, std::string>> lines;
    char line[96];
    for (const hw::ScriptedPeer::Received& r : device.received()) {
        data.push_back(r.data);
        std::snprintf(line, sizeof line, "%s %02X%s%s%s", Seconds(r.time).c_str(), r.data,
                      r.errors & hw::reg::LSR_PE ? " parity error" : "",
                      r.errors & hw::reg::LSR_FE ? " framing error" : "",
                      r.errors & hw::reg::LSR_BI ? " break" : "");
        lines.emplace_back(r.time, line);
    }
    for (const hw::ScriptedPeer::ModemChange& m : device.modemChanges()) {
        std::snprintf(line, sizeof line, "%s DTR %s, RTS %s", Seconds(m.time).c_str(), m.dtr ? "on" : "off",
                      m.rts ? "on" : "off");
        lines.emplace_back(m.time, line);
    }
    std::stable_sort(lines.begin(), lines.end(),
                     [](const auto& x, const auto& y) { return x.first < y.first; });
    std::string text;
    for (const auto& l : lines)
        text += l.second + "\n";
    return text;
}

} // namespace sim
