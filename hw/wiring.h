// What connects a UART's line side to something: a loopback plug, a null-modem cable between two UARTs,
// or a scripted peer that sends bytes, errors and breaks and drives modem lines at given times and
// records what it receives.
#pragma once

#include "hw/eventqueue.h"
#include "hw/uart.h"

#include <cstdint>
#include <functional>
#include <vector>

namespace hw {

// TX to RX of the same port; RTS to CTS; DTR to DSR and DCD; RI open.
class LoopbackPlug final : public LineSide {
public:
    explicit LoopbackPlug(Uart& uart);
    ~LoopbackPlug() override;
    void transmit(const Frame& frame) override { uart_.receiveFrame(frame); }
    void breakChanged(bool on) override { uart_.receiveBreak(on); }
    void modemOutputsChanged(bool dtr, bool rts) override;

private:
    Uart& uart_;
};

// TX to the other RX, RTS to the other CTS, DTR to the other DSR and DCD, both ways.
class NullModemCable {
public:
    NullModemCable(Uart& a, Uart& b);
    ~NullModemCable();
    NullModemCable(const NullModemCable&) = delete;
    NullModemCable& operator=(const NullModemCable&) = delete;

private:
    struct End final : LineSide {
        Uart* peer = nullptr;
        void transmit(const Frame& frame) override { peer->receiveFrame(frame); }
        void breakChanged(bool on) override { peer->receiveBreak(on); }
        void modemOutputsChanged(bool dtr, bool rts) override;
        const void* receiver() const override { return peer; }
    };
    Uart& a_;
    Uart& b_;
    End toB_, toA_;
};

// Several interrupt outputs on one level-sensitive line, as the UARTs of a PCI card share the card's
// interrupt: the line is asserted while any input is.
class WiredOrLine {
public:
    explicit WiredOrLine(std::function<void(bool level)> output) : output_(std::move(output)) {}
    // The sink for one more input.
    std::function<void(bool level)> input();

private:
    void set(size_t index, bool level);
    std::function<void(bool)> output_;
    std::vector<bool> inputs_;
    size_t asserted_ = 0;
};

// A device at the far end of a port's cable, driven by a script.
class ScriptedPeer final : public LineSide {
public:
    struct Received {
        Tick time; // end of the frame
        uint8_t data;
        uint8_t errors; // as the peer's receiver saw them (LSR bits PE, FE, BI)
    };
    struct ModemChange {
        Tick time;
        bool dtr, rts;
    };

    // `format` is the peer's own rate and character format (its start time is ignored).
    ScriptedPeer(EventQueue& clock, Uart& uart, Frame format);
    ~ScriptedPeer() override;

    // Sends the bytes back to back from `when` on; returns the time the last one ends.
    Tick sendAt(Tick when, const std::vector<uint8_t>& bytes);
    // Sends one character with a parity or framing error.
    Tick sendWithErrorAt(Tick when, uint8_t byte, bool badParity, bool badStop);
    void breakAt(Tick from, Tick until);
    // The modem lines the port sees (CTS, DSR, RI, DCD) from `when` on.
    void modemAt(Tick when, ModemInputs lines);
    void setFormat(Frame format) { format_ = format; }

    const std::vector<Received>& received() const { return received_; }
    const std::vector<ModemChange>& modemChanges() const { return modemChanges_; }
    std::vector<uint8_t> receivedBytes() const;

    void transmit(const Frame& frame) override;
    void breakChanged(bool on) override;
    void modemOutputsChanged(bool dtr, bool rts) override;

private:
    EventQueue::Handle schedule(Tick when, std::function<void()> action);

    EventQueue& clock_;
    Uart& uart_;
    Frame format_;
    std::vector<EventQueue::Handle> scheduled_;
    Tick lineFreeAt_ = 0; // the peer's own transmitter is busy until then
    std::vector<Received> received_;
    std::vector<ModemChange> modemChanges_;
};

// The shared interrupt status register of an ISA card: reads the index of the lowest port whose UART
// needs service, or 0xFF. Its card's interrupt line is the OR of the ports' interrupts.
class SisrRegister final : public PortDevice {
public:
    explicit SisrRegister(std::vector<Uart*> ports) : ports_(std::move(ports)) {}
    uint8_t read(uint16_t offset) override;
    void write(uint16_t, uint8_t) override {}
    uint64_t reads() const { return reads_; }

private:
    std::vector<Uart*> ports_;
    uint64_t reads_ = 0;
};

} // namespace hw
