// Register-level models of the 16450, 16550, 16750 and 16C950 UARTs.
//
// A model is a register file that behaves as the datasheets describe: divisor latch behind DLAB, the
// write-only FIFO control register, interrupt identification by priority, line and modem status with
// their delta and error bits, scratch, loopback, and on the 16C950 the enhanced feature register behind
// line control 0xBF, the indexed control registers (read enable, identification bytes, sample clock,
// prescaler) and 128-byte FIFOs. The line side (serialisation with timing, wiring) attaches through
// `LineSide`; without one, a transmitted character leaves at once and is kept for inspection.
#pragma once

#include "hw/bus.h"
#include "hw/eventqueue.h"

#include <array>
#include <cstdint>
#include <functional>
#include <string_view>
#include <vector>

namespace hw {

enum class UartKind { Uart16450, Uart16550, Uart16750, Uart16C950 };

std::string_view toString(UartKind kind);

// Register offsets and bits the models and their tests share.
namespace reg {
inline constexpr uint16_t RBR = 0, THR = 0, DLL = 0, IER = 1, DLM = 1, IIR = 2, FCR = 2, EFR = 2, LCR = 3,
                          MCR = 4, LSR = 5, ICR = 5, MSR = 6, SPR = 7;
inline constexpr uint16_t kRegisterCount = 8;
inline constexpr uint8_t IER_RDA = 0x01, IER_THRE = 0x02, IER_RLS = 0x04, IER_MS = 0x08;
inline constexpr uint8_t IIR_NO_INTERRUPT = 0x01, IIR_MODEM_STATUS = 0x00, IIR_THR_EMPTY = 0x02,
                         IIR_RX_DATA = 0x04, IIR_RX_LINE_STATUS = 0x06, IIR_CHAR_TIMEOUT = 0x0C,
                         IIR_ID_MASK = 0x0F, IIR_64_BYTE_FIFO = 0x20, IIR_FIFOS_ENABLED = 0xC0;
inline constexpr uint8_t FCR_ENABLE = 0x01, FCR_RX_CLEAR = 0x02, FCR_TX_CLEAR = 0x04, FCR_DMA_MODE = 0x08,
                         FCR_64_BYTE_FIFO = 0x20, FCR_TRIGGER_MASK = 0xC0, FCR_TRIGGER_SHIFT = 6;
inline constexpr uint8_t LCR_WORD_LENGTH_MASK = 0x03, LCR_STOP_BITS = 0x04, LCR_PARITY_ENABLE = 0x08,
                         LCR_PARITY_MASK = 0x38, LCR_ODD_PARITY = 0x08, LCR_EVEN_PARITY = 0x18,
                         LCR_MARK_PARITY = 0x28, LCR_SPACE_PARITY = 0x38;
inline constexpr uint8_t LCR_DLAB = 0x80, LCR_BREAK = 0x40, LCR_ENHANCED_ACCESS = 0xBF;
inline constexpr uint8_t MCR_DTR = 0x01, MCR_RTS = 0x02, MCR_OUT1 = 0x04, MCR_OUT2 = 0x08, MCR_LOOP = 0x10,
                         MCR_PRESCALER = 0x80;
inline constexpr uint8_t LSR_DR = 0x01, LSR_OE = 0x02, LSR_PE = 0x04, LSR_FE = 0x08, LSR_BI = 0x10,
                         LSR_THRE = 0x20, LSR_TEMT = 0x40, LSR_FIFO_ERROR = 0x80;
inline constexpr uint8_t MSR_DCTS = 0x01, MSR_DDSR = 0x02, MSR_TERI = 0x04, MSR_DDCD = 0x08, MSR_CTS = 0x10,
                         MSR_DSR = 0x20, MSR_RI = 0x40, MSR_DCD = 0x80;
inline constexpr uint8_t EFR_ENHANCED = 0x10;
// Indexed control registers of the 16C950.
inline constexpr uint8_t ICR_ACR = 0x00, ICR_CPR = 0x01, ICR_TCR = 0x02, ICR_ID1 = 0x08, ICR_ID2 = 0x09,
                         ICR_ID3 = 0x0A, ICR_REV = 0x0B, ICR_CSR = 0x0C;
inline constexpr uint8_t ACR_ICR_READ = 0x40;
inline constexpr uint8_t TCR_SAMPLES_MASK = 0x0F;
} // namespace reg

// One character as it crossed the wire: its bits and the timing the sender gave them, so a receiver can
// sample it with its own settings (a wrong divisor anywhere shows as garbage and framing errors).
struct Frame {
    double bitTicks = 0;   // length of one bit in ticks
    double stopBits = 1;   // 1, 1.5 or 2
    Tick start = 0;        // falling edge of the start bit
    unsigned dataBits = 8; // 5 to 8
    uint8_t data = 0;      // the data bits sent, least significant first
    uint8_t parity = 0;    // line control bits 3 to 5: 0 none, 0x08 odd, 0x18 even, 0x28 mark, 0x38 space

    bool badParity = false; // a peer's injected parity error: the parity bit is inverted
    bool badStop = false;   // a peer's injected framing error: the stop bit is held at spacing

    unsigned bits() const { return 1 + dataBits + (parity ? 1 : 0); }
    double ticks() const { return (bits() + stopBits) * bitTicks; }
    // The line level (true = mark) at `offset` ticks after the start edge; idle after the frame.
    bool level(double offset) const;
    static bool parityBit(uint8_t parity, uint8_t data, unsigned dataBits);
};

// What a receiver with format `receiver` makes of `sent`: the data bits it samples and the line errors
// (parity, framing, break) it sees; nothing when the start bit was too short to be seen.
struct Sampled {
    bool valid = false;
    uint8_t data = 0;
    uint8_t errors = 0; // LSR bits PE, FE, BI
};
Sampled sampleBits(const Frame& sent, const Frame& receiver);
inline Sampled sample(const Frame& sent, const Frame& receiver) {
    // The usual case, a character sent as the receiver expects it: every sample falls in the middle of
    // the bit it is meant for, so the result is the character itself, without errors.
    if (receiver.bitTicks > 0 && sent.bitTicks == receiver.bitTicks && sent.dataBits == receiver.dataBits &&
        sent.parity == receiver.parity && !sent.badParity && !sent.badStop)
        return {true, static_cast<uint8_t>(sent.data & ((1u << sent.dataBits) - 1)), 0};
    return sampleBits(sent, receiver);
}

// What a UART drives onto its side of the wiring.
class LineSide {
public:
    virtual ~LineSide() = default;
    // A character has left the shift register (called at the end of its last stop bit).
    virtual void transmit(const Frame& frame) = 0;
    // The transmit line was forced to spacing (break) or released.
    virtual void breakChanged(bool on) { (void)on; }
    // The modem control outputs changed (true = asserted).
    virtual void modemOutputsChanged(bool dtr, bool rts) { (void)dtr, (void)rts; }
    // The object a frame sent on the line reaches first, for the timeline to bring into the cache
    // before the frame ends; none when there is no such object.
    virtual const void* receiver() const { return nullptr; }
};

// A FIFO in place, as deep as the deepest UART's: no allocation as characters come and go.
template <class T>
class InPlaceFifo {
public:
    static constexpr size_t kCapacity = 128;

    bool empty() const { return count_ == 0; }
    size_t size() const { return count_; }
    const T& front() const { return items_[first_]; }
    T& back() { return items_[(first_ + count_ + kCapacity - 1) % kCapacity]; } // not empty
    void push_back(const T& item) { // the caller keeps within the capacity its UART has
        items_[(first_ + count_) % kCapacity] = item;
        ++count_;
    }
    void pop_front() {
        first_ = static_cast<uint8_t>((first_ + 1) % kCapacity);
        --count_;
    }
    void clear() { first_ = 0, count_ = 0; }

private:
    uint8_t first_ = 0;
    uint16_t count_ = 0;
    std::array<T, kCapacity> items_{};
};

// A tick count rounded to the nearest, halves away from zero: what std::llround gives for the
// non-negative times the line works with, without a library call per character.
inline Tick RoundTicks(double ticks) {
    const auto whole = static_cast<Tick>(ticks);
    return ticks - static_cast<double>(whole) >= 0.5 ? whole + 1 : whole;
}

// Modem input lines as the wiring presents them (true = asserted).
struct ModemInputs {
    bool cts = false, dsr = false, ri = false, dcd = false;
};

// What differs between the UART types, one row per type. "Extended" is the 16750 with its 64-byte FIFO
// bit set, or the 16C950 in enhanced mode.
struct UartVariant {
    UartKind kind;
    std::string_view name;
    bool fifoControl;                 // a FIFO control register (the 16450 has none)
    unsigned fifoDepth;               // with the FIFO enabled
    unsigned extendedFifoDepth;       // 0: no extended mode
    std::array<unsigned, 4> triggers; // receive trigger levels for FCR bits 6 and 7
    std::array<unsigned, 4> extendedTriggers;
    uint8_t ierMask, extendedIerMask; // bits the interrupt enable register keeps
    uint8_t mcrMask, extendedMcrMask; // bits the modem control register keeps
    bool fifo64Bit;                   // the 16750's 64-byte FIFO bit, taken while DLAB is set
    bool enhancedFeatures;            // the 16C950's EFR, indexed registers, sample clock, prescaler
};
const UartVariant& variantOf(UartKind kind);

class alignas(64) Uart final : public PortDevice {
public:
    Uart(UartKind kind, uint32_t inputClockHz);
    ~Uart() override;
    Uart(const Uart&) = delete;
    Uart& operator=(const Uart&) = delete;

    uint8_t read(uint16_t offset) override;
    void write(uint16_t offset, uint8_t value) override;
    void writeRun(uint16_t offset, const uint8_t* values, size_t count) override;

    UartKind kind() const { return kind_; }
    uint32_t inputClock() const { return inputClockHz_; }
    void setInputClock(uint32_t hz) {
        inputClockHz_ = hz;
        settingsStale_ = true;
    }

    // The bit rate the registers currently produce from the input clock; 0 with a zero divisor.
    double baudRate() const;
    uint16_t divisor() const { return static_cast<uint16_t>(dll_ | (dlm_ << 8)); }
    unsigned samplesPerBit() const;
    // Prescaler in eighths (8 = divide by 1), as it acts on the clock now.
    unsigned prescalerEighths() const;

    // Register images for observers; reading them has none of a port read's side effects.
    uint8_t ier() const { return ier_; }
    uint8_t lcr() const { return lcr_; }
    uint8_t mcr() const { return mcr_; }
    uint8_t lsr() const;
    uint8_t msr() const;
    uint8_t scratch() const { return spr_; }
    uint8_t efr() const { return efr_; }
    uint8_t icr(uint8_t index) const { return index < icr_.size() ? icr_[index] : 0; }
    bool fifoEnabled() const { return fifoEnabled_; }
    bool dmaMode() const { return dmaMode_; }
    bool fifo64() const { return fifo64_; }
    bool enhancedMode() const { return (efr_ & reg::EFR_ENHANCED) != 0; }
    bool loopback() const { return (mcr_ & reg::MCR_LOOP) != 0; }
    bool breakOn() const { return (lcr_ & reg::LCR_BREAK) != 0; }
    unsigned fifoDepth() const;
    unsigned rxTriggerLevel() const;
    size_t rxCount() const { return fifoEnabled_ ? rxFifo_.size() : ((lsr_ & reg::LSR_DR) ? 1 : 0); }

    // The interrupt identification the IIR would give now (without reading it).
    uint8_t pendingIdentification() const;
    // Whether any enabled source is pending: what the interrupt identification would show, asked for
    // after every access without working out which source it is.
    bool interruptPending() const {
        const uint8_t enabled = ier_;
        return ((enabled & reg::IER_THRE) && thrInterruptLatched_) ||
               ((enabled & reg::IER_RLS) &&
                (lsr_ & (reg::LSR_OE | reg::LSR_PE | reg::LSR_FE | reg::LSR_BI))) ||
               ((enabled & reg::IER_RDA) && (timeoutPending_ || rxDataInterrupt())) ||
               ((enabled & reg::IER_MS) && msrDeltas_);
    }

    // Line-side entry points.
    void receive(uint8_t character, uint8_t lineErrors = 0);
    // A frame arriving on the receive line, sampled with this UART's own rate and format.
    void receiveFrame(const Frame& frame);
    // The receive line held at spacing (a break from the other end) or released.
    void receiveBreak(bool on);
    void setModemInputs(const ModemInputs& inputs);
    const ModemInputs& modemInputs() const { return inputs_; }
    void attachLine(LineSide* line) { line_ = line; }
    std::vector<uint8_t> takeTransmitted();

    // Timing. Without a clock the model is a register file whose characters leave at once; with one,
    // characters are serialised at the rate the registers produce and every delay is real.
    void attachClock(EventQueue* clock) { clock_ = clock; }
    // The frame this UART would send now (its rate and format), and the length of one character in ticks.
    Frame currentFormat() const;
    bool transmitterEmpty() const { return txFifo_.empty() && !tsrBusy_; }
    size_t txCount() const { return txFifo_.size(); }
    // Characters that crossed this UART's side of the line: sent from its shift register (to the wire, or
    // back to itself in loopback), and received (sampled, whether or not they found room in the FIFO).
    uint64_t charactersSent() const { return charactersSent_; }
    uint64_t charactersReceived() const { return charactersReceived_; }

    // The interrupt output. On ISA cards the OUT2 output gates it onto the bus.
    bool interruptOutput() const {
        if (!interruptPending())
            return false;
        // OUT2 reaches the bus only from the output pin, which loopback holds inactive.
        return !gateWithOut2_ || ((mcr_ & reg::MCR_OUT2) && !loopback());
    }
    void setGateWithOut2(bool gate) { gateWithOut2_ = gate; }
    // Called whenever the interrupt output changes level.
    void setInterruptSink(std::function<void(bool level)> sink) { interruptSink_ = std::move(sink); }

private:
    void startTransmitter();
    void finishFrame(Frame frame); // by value: the shift register may take the next frame meanwhile
    void deliver(const Frame& frame);
    void restartTimeout();
    void scheduleTimeout(Tick when);
    // After every access and line event: tells the sink when the interrupt output changed.
    void updateInterrupt() {
        if (const bool level = interruptOutput(); level != lastOutput_)
            interruptChanged(level);
    }
    void interruptChanged(bool level);
    void notifyModemOutputs();
    void writeFcr(uint8_t value);
    uint8_t readRegister(uint16_t offset);
    void writeRegister(uint16_t offset, uint8_t value);
    uint8_t readRbr();
    uint8_t readIir();
    uint8_t readLsr();
    void transmit(uint8_t character);
    bool rxDataInterrupt() const {
        if (!fifoEnabled_)
            return (lsr_ & reg::LSR_DR) != 0;
        return rxFifo_.size() >= settings().rxTrigger;
    }
    uint8_t modemStatusBits() const;
    void updateModemStatus(uint8_t before);
    void resetIcrs();
    void softwareReset();

    bool extended() const {
        return (variant_.fifo64Bit && fifo64_) || (variant_.enhancedFeatures && enhancedMode());
    }

    // What every character touches comes first, in as few cache lines as it fits: with many ports, each
    // is out of the processor's nearest caches by the time its next character comes. The first line
    // holds the registers and the transmitter's timeline, the second the events and counts, the third
    // the settings and the head of the receive FIFO; the transmit frame shares a line with the head of
    // the transmit FIFO.
    EventQueue* clock_ = nullptr;
    uint8_t rbr_ = 0, ier_ = 0, lcr_ = 0, mcr_ = 0, lsr_ = 0, spr_ = 0; // lsr_: receive bits only
    uint8_t dll_ = 0, dlm_ = 0, efr_ = 0;
    uint8_t msrDeltas_ = 0;
    uint8_t rxTriggerBits_ = 0;
    bool fifoEnabled_ = false, dmaMode_ = false, fifo64_ = false;
    bool thrInterruptLatched_ = false;
    bool tsrBusy_ = false;
    bool txContinuing_ = false; // the next frame starts where the last one ended
    bool timeoutPending_ = false;
    mutable bool settingsStale_ = true;
    bool breakIn_ = false;
    bool gateWithOut2_ = false;
    bool lastOutput_ = false;
    bool sentDtr_ = false, sentRts_ = false;
    ModemInputs inputs_;
    uint32_t rxErrorsInFifo_ = 0; // characters in the receive FIFO that came with an error
    Tick txEpoch_ = 0;
    double txOffset_ = 0; // ticks since the epoch, kept exact across back-to-back frames

    LineSide* line_ = nullptr;
    EventQueue::Handle txEvent_ = 0;
    // The receive timeout is due at the deadline (0: none). One scheduled event serves every restart
    // while characters keep arriving: it moves on to the deadline when it fires early.
    Tick timeoutDeadline_ = 0;
    Tick timeoutEventAt_ = 0;
    EventQueue::Handle timeoutEvent_ = 0;
    uint64_t charactersSent_ = 0, charactersReceived_ = 0;
    EventQueue::Handle breakEvent_ = 0;

    // What the registers make of the input clock, the dividers, the line control and the FIFO control,
    // asked for at every character and access: worked out again only after a register write other than
    // a character for the transmitter, or a new input clock.
    struct Settings {
        Frame format;             // `start` unset
        double frameTicks = 0;    // one character
        Tick timeoutTicks = 0;    // four character times
        uint16_t txCapacity = 1;  // the holding register, or the transmit FIFO
        uint16_t rxDepth = 1;     // the receive FIFO, when enabled
        uint16_t rxTrigger = 1;   // characters in the enabled receive FIFO that raise the data interrupt
        uint8_t iirFifoBits = 0;  // what the interrupt identification shows of the FIFOs
        bool lsrReadsIcr = false; // the 16C950's indexed registers are read in place of the line status
    };
    const Settings& settings() const {
        if (settingsStale_)
            refreshSettings();
        return settings_;
    }
    void refreshSettings() const;
    mutable Settings settings_;
    struct Received {
        uint8_t character;
        uint8_t errors; // the line errors (LSR bits) that came with it
    };
    InPlaceFifo<Received> rxFifo_;
    Frame txFrame_;               // the character in the transmit shift register
    InPlaceFifo<uint8_t> txFifo_; // the holding register, or the transmit FIFO

    const UartVariant& variant_;
    uint32_t inputClockHz_;
    UartKind kind_;
    std::function<void(bool)> interruptSink_;
    std::vector<uint8_t> transmitted_;
    std::array<uint8_t, 0x14> icr_{};
    std::array<uint8_t, 4> flowRegs_{}; // XON1, XON2, XOFF1, XOFF2 behind LCR 0xBF
};

} // namespace hw
