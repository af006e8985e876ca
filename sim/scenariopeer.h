// Scripted peers a scenario plugs into UARTs in place of a cable: each is a device of its own that sends
// at its own rate and character format (a mismatch with the port shows as framing or parity errors),
// sends breaks and characters with errors, drives the modem lines the port sees at given times, holds and
// releases its own flow control, and records what it receives with the time each character ended.
#pragma once

#include "hw/wiring.h"
#include "sim/machine.h"

#include <map>
#include <memory>
#include <string>
#include <vector>

namespace sim {

class ScenarioPeers {
public:
    explicit ScenarioPeers(Machine& machine) : machine_(machine) {}

    // Runs one `peer ADDRESS ...` line. `note` is what the transcript says of it; `report` the lines a
    // `received` shows, with `data` the bytes received. False with `error` when the line cannot be done.
    struct Outcome {
        std::string note, report;
        std::vector<uint8_t> data;
        bool hasData = false;
    };
    bool run(const std::vector<std::string>& w, Outcome& outcome, std::string& error);
    bool has(uint16_t address) const { return peers_.count(address) != 0; }
    void clear() { peers_.clear(); }

    static const char* usage();

private:
    struct Peer {
        std::unique_ptr<hw::ScriptedPeer> device;
        hw::ModemInputs lines;     // what the peer drives after every change it was told to make
        bool holdingByCts = false; // its hold dropped CTS (else it sent XOFF)
        bool holding = false;
    };
    bool attach(const std::vector<std::string>& w, uint16_t address, Outcome& outcome, std::string& error);
    bool act(const std::vector<std::string>& w, Peer& peer, Outcome& outcome, std::string& error);
    static std::string setHold(Peer& peer, bool hold, hw::Tick when);
    static std::string report(const hw::ScriptedPeer& device, std::vector<uint8_t>& data);

    Machine& machine_;
    std::map<uint16_t, Peer> peers_;
};

} // namespace sim
