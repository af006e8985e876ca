#include "hw/wiring.h"

#include <cmath>

namespace hw {

LoopbackPlug::LoopbackPlug(Uart& uart) : uart_(uart) {
    uart_.attachLine(this);
}
namespace {
// A plug or cable pulled out: the lines it drove fall, as they do at a real connector.
void DropModemInputs(Uart& uart) {
    ModemInputs lines = uart.modemInputs();
    lines.cts = lines.dsr = lines.dcd = lines.ri = false;
    uart.setModemInputs(lines);
}
} // namespace

LoopbackPlug::~LoopbackPlug() {
    uart_.attachLine(nullptr);
    DropModemInputs(uart_);
}

void LoopbackPlug::modemOutputsChanged(bool dtr, bool rts) {
    ModemInputs lines = uart_.modemInputs();
    lines.cts = rts;
    lines.dsr = lines.dcd = dtr; // RI is left open, as the usual test plugs wire it
    uart_.setModemInputs(lines);
}

std::function<void(bool)> WiredOrLine::input() {
    size_t index = inputs_.size();
    inputs_.push_back(false);
    return [this, index](bool level) { set(index, level); };
}

void WiredOrLine::set(size_t index, bool level) {
    if (inputs_[index] == level)
        return;
    inputs_[index] = level;
    bool before = asserted_ != 0;
    if (level)
        ++asserted_;
    else
        --asserted_;
    if (before != (asserted_ != 0))
        output_(asserted_ != 0);
}

NullModemCable::NullModemCable(Uart& a, Uart& b) : a_(a), b_(b) {
    toB_.peer = &b;
    toA_.peer = &a;
    a.attachLine(&toB_);
    b.attachLine(&toA_);
    // The lines each side drives now reach the other.
    toB_.modemOutputsChanged((a.mcr() & reg::MCR_DTR) && !a.loopback(),
                             (a.mcr() & reg::MCR_RTS) && !a.loopback());
    toA_.modemOutputsChanged((b.mcr() & reg::MCR_DTR) && !b.loopback(),
                             (b.mcr() & reg::MCR_RTS) && !b.loopback());
}

NullModemCable::~NullModemCable() {
    a_.attachLine(nullptr);
    b_.attachLine(nullptr);
    DropModemInputs(a_);
    DropModemInputs(b_);
}

void NullModemCable::End::modemOutputsChanged(bool dtr, bool rts) {
    ModemInputs lines = peer->modemInputs();
    lines.cts = rts;
    lines.dsr = lines.dcd = dtr;
    peer->setModemInputs(lines);
}

ScriptedPeer::ScriptedPeer(EventQueue& clock, Uart& uart, Frame format)
    : clock_(clock), uart_(uart), format_(format) {
    uart_.attachLine(this);
}

ScriptedPeer::~ScriptedPeer() {
    for (EventQueue::Handle handle : scheduled_)
        clock_.cancel(handle);
    uart_.attachLine(nullptr);
}

EventQueue::Handle ScriptedPeer::schedule(Tick when, std::function<void()> action) {
    // Handles of events that already ran are simply not found when cancelled.
    std::erase_if(scheduled_, [this](EventQueue::Handle h) { return !clock_.scheduled(h); });
    EventQueue::Handle handle = clock_.at(when, std::move(action));
    scheduled_.push_back(handle);
    return handle;
}

Tick ScriptedPeer::sendAt(Tick when, const std::vector<uint8_t>& bytes) {
    Tick at = std::max(when, lineFreeAt_);
    double offset = 0;
    for (uint8_t byte : bytes) {
        Frame frame = format_;
        frame.data = static_cast<uint8_t>(byte & ((1u << frame.dataBits) - 1));
        frame.start = at + static_cast<Tick>(std::llround(offset));
        offset += frame.ticks();
        Tick end = at + static_cast<Tick>(std::llround(offset));
        schedule(end, [this, frame] { uart_.receiveFrame(frame); });
    }
    lineFreeAt_ = at + static_cast<Tick>(std::llround(offset));
    return lineFreeAt_;
}

Tick ScriptedPeer::sendWithErrorAt(Tick when, uint8_t byte, bool badParity, bool badStop) {
    Frame frame = format_;
    frame.badParity = badParity;
    frame.badStop = badStop;
    frame.data = static_cast<uint8_t>(byte & ((1u << frame.dataBits) - 1));
    frame.start = std::max(when, lineFreeAt_);
    lineFreeAt_ = frame.start + static_cast<Tick>(std::llround(frame.ticks()));
    schedule(lineFreeAt_, [this, frame] { uart_.receiveFrame(frame); });
    return lineFreeAt_;
}

void ScriptedPeer::breakAt(Tick from, Tick until) {
    schedule(from, [this] { uart_.receiveBreak(true); });
    schedule(until, [this] { uart_.receiveBreak(false); });
    lineFreeAt_ = std::max(lineFreeAt_, until);
}

void ScriptedPeer::modemAt(Tick when, ModemInputs lines) {
    schedule(when, [this, lines] { uart_.setModemInputs(lines); });
}

void ScriptedPeer::transmit(const Frame& frame) {
    Sampled got = sample(frame, format_);
    if (got.valid)
        received_.push_back(Received{clock_.now(), got.data, got.errors});
}

void ScriptedPeer::breakChanged(bool on) {
    if (on)
        received_.push_back(Received{clock_.now(), 0, reg::LSR_BI | reg::LSR_FE});
}

void ScriptedPeer::modemOutputsChanged(bool dtr, bool rts) {
    modemChanges_.push_back(ModemChange{clock_.now(), dtr, rts});
}

std::vector<uint8_t> ScriptedPeer::receivedBytes() const {
    std::vector<uint8_t> bytes;
    for (const auto& r : received_)
        bytes.push_back(r.data);
    return bytes;
}

uint8_t SisrRegister::read(uint16_t) {
    ++reads_;
    for (size_t i = 0; i < ports_.size(); ++i)
        if (ports_[i] && ports_[i]->interruptPending())
            return static_cast<uint8_t>(i);
    return 0xFF;
}

} // namespace hw
