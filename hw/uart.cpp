#include "hw/uart.h"

#include <algorithm>
#include <stdexcept>

namespace hw {

using namespace reg;

namespace {

constexpr std::array<unsigned, 4> k550Triggers{1, 4, 8, 14};

const UartVariant kVariants[] = {
    {UartKind::Uart16450, "16450", false, 1, 0, k550Triggers, k550Triggers, 0x0F, 0x0F, 0x1F, 0x1F, false,
     false},
    {UartKind::Uart16550, "16550", true, 16, 0, k550Triggers, k550Triggers, 0x0F, 0x0F, 0x1F, 0x1F, false,
     false},
    {UartKind::Uart16750,
     "16750",
     true,
     16,
     64,
     k550Triggers,
     {1, 16, 32, 56},
     0x3F,
     0x3F,
     0x3F,
     0x3F,
     true,
     false},
    {UartKind::Uart16C950,
     "16C950",
     true,
     16,
     128,
     k550Triggers,
     {16, 32, 112, 120},
     0x0F,
     0xFF,
     0x1F,
     0xFF,
     false,
     true},
};

// The transmit frame shares a cache line with the head of the transmit FIFO.
static_assert(sizeof(Frame) == 32, "a frame fills half a cache line");

} // namespace

const UartVariant& variantOf(UartKind kind) {
    for (const UartVariant& v : kVariants)
        if (v.kind == kind)
            return v;
    return kVariants[0];
}

std::string_view toString(UartKind kind) {
    return variantOf(kind).name;
}

bool Frame::parityBit(uint8_t parity, uint8_t data, unsigned dataBits) {
    unsigned ones = 0;
    for (unsigned i = 0; i < dataBits; ++i)
        ones += (data >> i) & 1;
    switch (parity & LCR_PARITY_MASK) {
    case LCR_ODD_PARITY:
        return ones % 2 == 0; // odd: the bit makes the count odd
    case LCR_EVEN_PARITY:
        return ones % 2 == 1; // even
    case LCR_MARK_PARITY:
        return true; // mark
    default:
        return false; // space
    }
}

bool Frame::level(double offset) const {
    if (bitTicks <= 0 || offset < 0)
        return true;
    auto bit = static_cast<unsigned>(offset / bitTicks);
    if (bit == 0)
        return false; // start bit
    if (bit <= dataBits)
        return ((data >> (bit - 1)) & 1) != 0;
    if (parity && bit == dataBits + 1)
        return parityBit(parity, data, dataBits) != badParity;
    if (badStop && bit == dataBits + 1 + (parity ? 1 : 0))
        return false;
    return true; // stop bits, then the idle line
}

Sampled sampleBits(const Frame& sent, const Frame& receiver) {
    Sampled out;
    double t = receiver.bitTicks;
    if (t <= 0 || sent.level(0.5 * t))
        return out; // no receive clock, or a start bit too short to be seen
    out.valid = true;
    bool anyMark = false;
    for (unsigned i = 0; i < receiver.dataBits; ++i) {
        bool bit = sent.level((1.5 + i) * t);
        out.data |= static_cast<uint8_t>(bit << i);
        anyMark |= bit;
    }
    double at = 1.5 + receiver.dataBits;
    if (receiver.parity) {
        bool bit = sent.level(at * t);
        anyMark |= bit;
        if (bit != Frame::parityBit(receiver.parity, out.data, receiver.dataBits))
            out.errors |= LSR_PE;
        at += 1;
    }
    if (!sent.level(at * t)) {
        out.errors |= LSR_FE;
        if (!anyMark)
            out.errors |= LSR_BI;
    }
    return out;
}

Uart::Uart(UartKind kind, uint32_t inputClockHz)
    : variant_(variantOf(kind)), inputClockHz_(inputClockHz), kind_(kind) {
    if (std::max(variant_.fifoDepth, variant_.extendedFifoDepth) > InPlaceFifo<uint8_t>::kCapacity)
        throw std::logic_error("a UART's FIFO is deeper than the model keeps");
    resetIcrs();
}

Uart::~Uart() {
    if (clock_) {
        // Nothing scheduled may reach the model once it is gone.
        for (EventQueue::Handle handle : {txEvent_, timeoutEvent_, breakEvent_})
            if (handle)
                clock_->cancel(handle);
    }
}

void Uart::refreshSettings() const {
    Settings& s = settings_;
    const double rate = baudRate();
    Frame& f = s.format;
    f.dataBits = 5 + (lcr_ & LCR_WORD_LENGTH_MASK);
    f.parity = (lcr_ & LCR_PARITY_ENABLE) ? (lcr_ & LCR_PARITY_MASK) : 0;
    f.stopBits = (lcr_ & LCR_STOP_BITS) ? (f.dataBits == 5 ? 1.5 : 2.0) : 1.0;
    f.bitTicks = rate > 0 ? double(kTicksPerSecond) / rate : 0.0;
    s.frameTicks = f.ticks();
    s.timeoutTicks = RoundTicks(4 * s.frameTicks);
    s.rxDepth = static_cast<uint16_t>(fifoDepth());
    s.txCapacity = fifoEnabled_ ? s.rxDepth : 1;
    s.rxTrigger = static_cast<uint16_t>(rxTriggerLevel());
    s.iirFifoBits = 0;
    if (variant_.fifoControl && fifoEnabled_) {
        s.iirFifoBits = IIR_FIFOS_ENABLED;
        if (variant_.fifo64Bit && fifo64_)
            s.iirFifoBits |= IIR_64_BYTE_FIFO;
    }
    s.lsrReadsIcr = variant_.enhancedFeatures && (icr_[ICR_ACR] & ACR_ICR_READ);
    settingsStale_ = false;
}

Frame Uart::currentFormat() const {
    Frame f = settings().format;
    f.start = clock_ ? clock_->now() : 0;
    return f;
}

uint8_t Uart::lsr() const {
    uint8_t value = lsr_;
    if (txFifo_.empty())
        value |= LSR_THRE;
    if (transmitterEmpty())
        value |= LSR_TEMT;
    return value;
}

void Uart::interruptChanged(bool level) {
    lastOutput_ = level;
    if (interruptSink_)
        interruptSink_(level);
}

void Uart::notifyModemOutputs() {
    bool dtr = (mcr_ & MCR_DTR) && !loopback(); // loopback holds the outputs inactive
    bool rts = (mcr_ & MCR_RTS) && !loopback();
    if (dtr == sentDtr_ && rts == sentRts_)
        return;
    sentDtr_ = dtr;
    sentRts_ = rts;
    if (line_)
        line_->modemOutputsChanged(dtr, rts);
}

void Uart::resetIcrs() {
    icr_.fill(0);
    icr_[ICR_CPR] = 0x20; // divide by 4 after reset, effective only once MCR bit 7 selects it
    icr_[ICR_ID1] = 0x16;
    icr_[ICR_ID2] = 0xC9;
    icr_[ICR_ID3] = 0x50;
    icr_[ICR_REV] = 0x03;
}

unsigned Uart::fifoDepth() const {
    if (!variant_.fifoControl)
        return 1;
    return extended() ? variant_.extendedFifoDepth : variant_.fifoDepth;
}

unsigned Uart::rxTriggerLevel() const {
    if (!fifoEnabled_)
        return 1;
    unsigned index = rxTriggerBits_ >> FCR_TRIGGER_SHIFT;
    return extended() ? variant_.extendedTriggers[index] : variant_.triggers[index];
}

unsigned Uart::samplesPerBit() const {
    if (!variant_.enhancedFeatures)
        return 16;
    unsigned tcr = icr_[ICR_TCR] & TCR_SAMPLES_MASK;
    return tcr < 4 ? 16 : tcr;
}

unsigned Uart::prescalerEighths() const {
    if (!variant_.enhancedFeatures || !(mcr_ & MCR_PRESCALER))
        return 8;
    unsigned cpr = icr_[ICR_CPR];
    return cpr < 8 ? 8 : cpr; // an integer part of 0 acts as 1
}

double Uart::baudRate() const {
    unsigned d = divisor();
    if (d == 0)
        return 0.0;
    return static_cast<double>(inputClockHz_) * 8.0 /
           (static_cast<double>(samplesPerBit()) * d * prescalerEighths());
}

uint8_t Uart::modemStatusBits() const {
    if (loopback()) {
        uint8_t bits = 0;
        if (mcr_ & MCR_RTS)
            bits |= MSR_CTS;
        if (mcr_ & MCR_DTR)
            bits |= MSR_DSR;
        if (mcr_ & MCR_OUT1)
            bits |= MSR_RI;
        if (mcr_ & MCR_OUT2)
            bits |= MSR_DCD;
        return bits;
    }
    return static_cast<uint8_t>((inputs_.cts ? MSR_CTS : 0) | (inputs_.dsr ? MSR_DSR : 0) |
                                (inputs_.ri ? MSR_RI : 0) | (inputs_.dcd ? MSR_DCD : 0));
}

uint8_t Uart::msr() const {
    return static_cast<uint8_t>(modemStatusBits() | msrDeltas_);
}

void Uart::updateModemStatus(uint8_t before) {
    uint8_t after = modemStatusBits();
    uint8_t changed = before ^ after;
    if (changed & MSR_CTS)
        msrDeltas_ |= MSR_DCTS;
    if (changed & MSR_DSR)
        msrDeltas_ |= MSR_DDSR;
    if ((before & MSR_RI) && !(after & MSR_RI))
        msrDeltas_ |= MSR_TERI; // trailing edge of ring only
    if (changed & MSR_DCD)
        msrDeltas_ |= MSR_DDCD;
}

void Uart::setModemInputs(const ModemInputs& inputs) {
    uint8_t before = modemStatusBits();
    inputs_ = inputs;
    updateModemStatus(before);
    updateInterrupt();
}

uint8_t Uart::pendingIdentification() const {
    const uint8_t fifoBits = settings().iirFifoBits;
    if ((ier_ & IER_RLS) && (lsr_ & (LSR_OE | LSR_PE | LSR_FE | LSR_BI)))
        return fifoBits | IIR_RX_LINE_STATUS;
    if ((ier_ & IER_RDA) && rxDataInterrupt())
        return fifoBits | IIR_RX_DATA;
    if ((ier_ & IER_RDA) && timeoutPending_)
        return fifoBits | IIR_CHAR_TIMEOUT;
    if ((ier_ & IER_THRE) && thrInterruptLatched_)
        return fifoBits | IIR_THR_EMPTY;
    if ((ier_ & IER_MS) && msrDeltas_)
        return fifoBits | IIR_MODEM_STATUS;
    return fifoBits | IIR_NO_INTERRUPT;
}

uint8_t Uart::readIir() {
    uint8_t id = pendingIdentification();
    if ((id & IIR_ID_MASK) == IIR_THR_EMPTY)
        thrInterruptLatched_ = false; // reading the IIR that names it clears the transmit interrupt
    return id;
}

uint8_t Uart::readRbr() {
    if (!fifoEnabled_) {
        lsr_ &= static_cast<uint8_t>(~LSR_DR);
        return rbr_;
    }
    if (!rxFifo_.empty()) {
        rbr_ = rxFifo_.front().character;
        rxErrorsInFifo_ -= rxFifo_.front().errors ? 1 : 0;
        rxFifo_.pop_front();
        if (!rxFifo_.empty())
            lsr_ |= rxFifo_.front().errors; // errors are shown as their character reaches the top
    }
    if (rxFifo_.empty())
        lsr_ &= static_cast<uint8_t>(~LSR_DR);
    restartTimeout();
    return rbr_;
}

void Uart::restartTimeout() {
    timeoutPending_ = false;
    timeoutDeadline_ = 0;
    if (!clock_ || !fifoEnabled_ || rxFifo_.empty())
        return; // an event still scheduled finds no deadline and does nothing
    const Settings& t = settings();
    if (t.format.bitTicks <= 0)
        return;
    // Four character times without a character arriving or being read.
    timeoutDeadline_ = clock_->now() + t.timeoutTicks;
    if (!timeoutEvent_ || timeoutEventAt_ > timeoutDeadline_)
        scheduleTimeout(timeoutDeadline_);
}

void Uart::scheduleTimeout(Tick when) {
    if (timeoutEvent_)
        clock_->cancel(timeoutEvent_);
    timeoutEventAt_ = when;
    timeoutEvent_ = clock_->at(
        when,
        [this] {
            timeoutEvent_ = 0;
            if (!timeoutDeadline_)
                return;
            if (clock_->now() < timeoutDeadline_) {
                scheduleTimeout(timeoutDeadline_);
                return;
            }
            timeoutDeadline_ = 0;
            timeoutPending_ = !rxFifo_.empty();
            updateInterrupt();
        },
        this);
}

uint8_t Uart::readLsr() {
    uint8_t value = lsr();
    if (fifoEnabled_ && rxErrorsInFifo_)
        value |= LSR_FIFO_ERROR;
    lsr_ &= static_cast<uint8_t>(~(LSR_OE | LSR_PE | LSR_FE | LSR_BI));
    return value;
}

uint8_t Uart::read(uint16_t offset) {
    uint8_t value = readRegister(offset);
    updateInterrupt();
    return value;
}

uint8_t Uart::readRegister(uint16_t offset) {
    offset &= kRegisterCount - 1;
    if (lcr_ == LCR_ENHANCED_ACCESS && variant_.enhancedFeatures) {
        switch (offset) {
        case DLL:
            return dll_;
        case DLM:
            return dlm_;
        case EFR:
            return efr_;
        case LCR:
            return lcr_;
        default:
            return flowRegs_[offset - MCR];
        }
    }
    if (lcr_ & LCR_DLAB) {
        if (offset == DLL)
            return dll_;
        if (offset == DLM)
            return dlm_;
    }
    switch (offset) {
    case RBR:
        return readRbr();
    case IER:
        return ier_;
    case IIR:
        return readIir();
    case LCR:
        return lcr_;
    case MCR:
        return mcr_;
    case LSR:
        if (settings().lsrReadsIcr)
            return spr_ < icr_.size() ? icr_[spr_] : 0;
        return readLsr();
    case MSR: {
        uint8_t value = msr();
        msrDeltas_ = 0;
        return value;
    }
    default:
        return spr_;
    }
}

void Uart::writeFcr(uint8_t value) {
    if (!variant_.fifoControl)
        return; // no FIFO control register: the IIR is read-only
    if (variant_.fifo64Bit && (lcr_ & LCR_DLAB))
        fifo64_ = (value & FCR_64_BYTE_FIFO) != 0; // the 64-byte bit is only accepted with the latch open
    bool enable = (value & FCR_ENABLE) != 0;
    if (enable != fifoEnabled_) {
        rxFifo_.clear();
        rxErrorsInFifo_ = 0;
        txFifo_.clear();
    }
    fifoEnabled_ = enable;
    if (!enable)
        return; // the other bits are programmed only together with the enable bit
    if (value & FCR_RX_CLEAR) {
        rxFifo_.clear();
        rxErrorsInFifo_ = 0;
        lsr_ &= static_cast<uint8_t>(~LSR_DR);
        restartTimeout();
    }
    if (value & FCR_TX_CLEAR)
        txFifo_.clear(); // the character in the shift register still goes out
    dmaMode_ = (value & FCR_DMA_MODE) != 0;
    rxTriggerBits_ = value & FCR_TRIGGER_MASK;
}

void Uart::transmit(uint8_t character) {
    thrInterruptLatched_ = false;
    if (!clock_) {
        // Without a timed line the character leaves at once and the holding register is empty again.
        Frame frame = currentFormat();
        frame.data = static_cast<uint8_t>(character & ((1u << frame.dataBits) - 1));
        if (loopback())
            receive(frame.data);
        else if (!breakOn())
            deliver(frame);
        thrInterruptLatched_ = true;
        return;
    }
    if (txFifo_.size() < settings().txCapacity)
        txFifo_.push_back(character);
    else if (!fifoEnabled_)
        txFifo_.back() = character; // the unsent character in the holding register is overwritten
    startTransmitter();
}

void Uart::startTransmitter() {
    if (!clock_ || tsrBusy_ || txFifo_.empty())
        return;
    const Settings& s = settings();
    if (s.format.bitTicks <= 0)
        return; // no baud clock: the character waits in the holding register
    // The frame in the shift register is kept here, so that the event carries no copy of it.
    Frame& frame = txFrame_;
    frame = s.format;
    frame.data = static_cast<uint8_t>(txFifo_.front() & ((1u << frame.dataBits) - 1));
    txFifo_.pop_front();
    if (txFifo_.empty())
        thrInterruptLatched_ = true;
    tsrBusy_ = true;
    if (!txContinuing_) {
        txEpoch_ = clock_->now();
        txOffset_ = 0;
    }
    // Back-to-back frames are placed on an exact timeline, so rounding to ticks never accumulates.
    frame.start = txEpoch_ + RoundTicks(txOffset_);
    txOffset_ += s.frameTicks;
    Tick end = txEpoch_ + RoundTicks(txOffset_);
    txEvent_ = clock_->at(
        end, [this] { finishFrame(txFrame_); }, this, line_ && !loopback() ? line_->receiver() : nullptr);
    updateInterrupt();
}

void Uart::finishFrame(Frame frame) {
    txEvent_ = 0;
    tsrBusy_ = false;
    if (!breakOn()) // a break holds the line at spacing: nothing readable leaves
        deliver(frame);
    txContinuing_ = !txFifo_.empty();
    startTransmitter();
    txContinuing_ = false;
    updateInterrupt();
}

void Uart::deliver(const Frame& frame) {
    ++charactersSent_;
    if (loopback())
        receiveFrame(frame);
    else if (line_)
        line_->transmit(frame);
    else
        transmitted_.push_back(frame.data);
}

void Uart::write(uint16_t offset, uint8_t value) {
    // A character for the transmitter changes no setting; any other write may.
    if ((offset & (kRegisterCount - 1)) != THR || (lcr_ & LCR_DLAB))
        settingsStale_ = true;
    writeRegister(offset, value);
    updateInterrupt();
}

void Uart::writeRun(uint16_t offset, const uint8_t* values, size_t count) {
    // Characters for the transmitter change no setting and need the register decoded only once. The
    // latch bit is also set in the enhanced access value: with it set, the writes are divisor bytes.
    if ((offset & (kRegisterCount - 1)) != THR || (lcr_ & LCR_DLAB)) {
        PortDevice::writeRun(offset, values, count);
        return;
    }
    for (size_t i = 0; i < count; ++i) {
        transmit(values[i]);
        updateInterrupt();
    }
}

void Uart::writeRegister(uint16_t offset, uint8_t value) {
    offset &= kRegisterCount - 1;
    if (lcr_ == LCR_ENHANCED_ACCESS && variant_.enhancedFeatures) {
        switch (offset) {
        case DLL:
            dll_ = value;
            return;
        case DLM:
            dlm_ = value;
            return;
        case EFR:
            efr_ = value;
            return;
        case LCR:
            lcr_ = value;
            return;
        default:
            flowRegs_[offset - MCR] = value;
            return;
        }
    }
    if (lcr_ & LCR_DLAB) {
        if (offset == DLL || offset == DLM) {
            (offset == DLL ? dll_ : dlm_) = value;
            startTransmitter(); // characters wait in the holding register until there is a clock
            return;
        }
    }
    switch (offset) {
    case THR:
        transmit(value);
        return;
    case IER: {
        bool enhanced = variant_.enhancedFeatures && enhancedMode();
        uint8_t before = ier_;
        ier_ = value & (enhanced ? variant_.extendedIerMask : variant_.ierMask);
        if (!(before & IER_THRE) && (ier_ & IER_THRE) && txFifo_.empty())
            thrInterruptLatched_ = true; // enabling the interrupt with the register empty raises it
        return;
    }
    case FCR:
        writeFcr(value);
        return;
    case LCR: {
        bool breakBefore = breakOn();
        lcr_ = value;
        if (breakOn() != breakBefore) {
            if (loopback())
                receiveBreak(breakOn());
            else if (line_)
                line_->breakChanged(breakOn());
        }
        return;
    }
    case MCR: {
        bool enhanced = variant_.enhancedFeatures && enhancedMode();
        uint8_t before = modemStatusBits();
        mcr_ = value & (enhanced ? variant_.extendedMcrMask : variant_.mcrMask);
        updateModemStatus(before);
        notifyModemOutputs();
        return;
    }
    case ICR:
        if (variant_.enhancedFeatures) {
            if (spr_ == ICR_CSR) {
                if (value == 0)
                    softwareReset();
            } else if (spr_ < icr_.size() && (spr_ < ICR_ID1 || spr_ > ICR_REV)) {
                icr_[spr_] = value;
            }
        }
        return; // the line status register itself is read-only
    case MSR:
        return;
    default:
        spr_ = value;
        return;
    }
}

void Uart::softwareReset() {
    uint8_t before = modemStatusBits();
    rbr_ = ier_ = lcr_ = mcr_ = spr_ = dll_ = dlm_ = efr_ = 0;
    lsr_ = 0;
    if (clock_) {
        clock_->cancel(txEvent_);
        clock_->cancel(timeoutEvent_);
        clock_->cancel(breakEvent_);
    }
    txEvent_ = timeoutEvent_ = breakEvent_ = 0;
    timeoutDeadline_ = 0;
    txFifo_.clear();
    tsrBusy_ = timeoutPending_ = false;
    fifoEnabled_ = dmaMode_ = fifo64_ = false;
    rxTriggerBits_ = 0;
    thrInterruptLatched_ = false;
    rxFifo_.clear();
    rxErrorsInFifo_ = 0;
    flowRegs_.fill(0);
    resetIcrs();
    updateModemStatus(before);
    notifyModemOutputs();
}

void Uart::receive(uint8_t character, uint8_t lineErrors) {
    ++charactersReceived_;
    lineErrors &= LSR_PE | LSR_FE | LSR_BI;
    if (!fifoEnabled_) {
        if (lsr_ & LSR_DR)
            lsr_ |= LSR_OE; // the unread character is overwritten
        rbr_ = character;
        lsr_ |= static_cast<uint8_t>(LSR_DR | lineErrors);
    } else if (rxFifo_.size() >= settings().rxDepth) {
        lsr_ |= LSR_OE; // the FIFO keeps its contents; the new character is lost
    } else {
        if (rxFifo_.empty())
            lsr_ |= lineErrors;
        rxFifo_.push_back({character, lineErrors});
        rxErrorsInFifo_ += lineErrors ? 1 : 0;
        lsr_ |= LSR_DR;
    }
    restartTimeout();
    updateInterrupt();
}

void Uart::receiveFrame(const Frame& frame) {
    Sampled got = sample(frame, settings().format);
    if (got.valid)
        receive(got.data, got.errors);
}

void Uart::receiveBreak(bool on) {
    if (on == breakIn_)
        return;
    breakIn_ = on;
    if (!on) {
        if (clock_ && breakEvent_)
            clock_->cancel(breakEvent_);
        breakEvent_ = 0;
        return;
    }
    const double charTicks = settings().frameTicks;
    if (!clock_ || charTicks <= 0) {
        receive(0, LSR_BI | LSR_FE);
        return;
    }
    // A break is recognised once the line has stayed at spacing for a whole character.
    breakEvent_ = clock_->after(RoundTicks(charTicks), [this] {
        breakEvent_ = 0;
        if (breakIn_)
            receive(0, LSR_BI | LSR_FE);
    });
}

std::vector<uint8_t> Uart::takeTransmitted() {
    std::vector<uint8_t> out;
    out.swap(transmitted_);
    return out;
}

} // namespace hw
