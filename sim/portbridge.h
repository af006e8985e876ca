// A COM port as a program holds it, for the server and the benchmarks that measure it: opened through
// the driver, read without waiting, written in order, and watched for modem and line events with a
// wait-on-mask request that is always outstanding. Also the RFC 2217 codes the port's state is given in.
#pragma once

#include "sim/machine.h"

#include "platform/nt/include/ntddser.h"
#include "platform/nt/userio.h"

#include <algorithm>
#include <cstring>
#include <deque>
#include <memory>
#include <ostream>
#include <string>
#include <utility>
#include <vector>

namespace sim {

inline constexpr size_t kReadChunk = 4096;
// The longest wait for a device control request the server makes (machine time): they complete at once.
inline constexpr uint64_t kControlLimit = 10'000'000;

template <typename T>
inline std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> out(sizeof(T));
    std::memcpy(out.data(), &value, sizeof(T));
    return out;
}

template <typename T>
inline bool From(const nt::IoResult& result, T& value) {
    if (!NT_SUCCESS(result.status) || result.data.size() < sizeof(T))
        return false;
    std::memcpy(&value, result.data.data(), sizeof(T));
    return true;
}

enum class Flow { None, XonXoff, RtsCts, DtrDsr };

namespace rfc2217 {
// Client commands; the server answers with the command plus 100.
constexpr uint8_t kSignature = 0, kSetBaudrate = 1, kSetDatasize = 2, kSetParity = 3, kSetStopsize = 4,
                  kSetControl = 5, kNotifyLinestate = 6, kNotifyModemstate = 7, kFlowSuspend = 8,
                  kFlowResume = 9, kSetLinestateMask = 10, kSetModemstateMask = 11, kPurgeData = 12;
constexpr uint8_t kServerOffset = 100;
constexpr size_t kMaxSubnegotiation = 256;

// SET-CONTROL values.
constexpr uint8_t kQueryFlow = 0, kQueryBreak = 4, kBreakOn = 5, kBreakOff = 6, kQueryDtr = 7, kDtrOn = 8,
                  kDtrOff = 9, kQueryRts = 10, kRtsOn = 11, kRtsOff = 12, kQueryInboundFlow = 13;

// Each flow control of the port with the SET-CONTROL values that choose it (outbound and inbound) and
// any other value a client may use for it.
struct FlowCodes {
    Flow flow;
    uint8_t outbound, inbound, other;
};
constexpr FlowCodes kFlowCodes[] = {
    {Flow::None, 1, 14, 1}, {Flow::XonXoff, 2, 15, 2}, {Flow::RtsCts, 3, 16, 3}, {Flow::DtrDsr, 18, 16, 19}};

inline const FlowCodes* FlowCodesFor(uint8_t value) {
    for (const FlowCodes& codes : kFlowCodes)
        if (value == codes.outbound || value == codes.inbound || value == codes.other)
            return &codes;
    return nullptr;
}

inline const FlowCodes& FlowCodesOf(Flow flow) {
    for (const FlowCodes& codes : kFlowCodes)
        if (codes.flow == flow)
            return codes;
    return kFlowCodes[0];
}

// Modem state and line state bits.
constexpr uint8_t kModemCts = 0x10, kModemDsr = 0x20, kModemRi = 0x40, kModemDcd = 0x80;
constexpr uint8_t kDeltaCts = 0x01, kDeltaDsr = 0x02, kTrailingRi = 0x04, kDeltaDcd = 0x08;
constexpr uint8_t kLineOverrun = 0x02, kLineParity = 0x04, kLineFraming = 0x08, kLineBreak = 0x10;
} // namespace rfc2217

// ---------------------------------------------------------------------------------------------
// A COM port as a program holds it: opened through the driver, read without waiting, written in order,
// and watched for modem and line events with a wait-on-mask request that is always outstanding.
// ---------------------------------------------------------------------------------------------

class PortBridge {
public:
    PortBridge(Machine& machine, std::string name) : machine_(machine), name_(std::move(name)) {}
    ~PortBridge() { close(); }

    const std::string& name() const { return name_; }
    bool isOpen() const { return file_ != nullptr; }

    NTSTATUS open() {
        nt::Kernel& kernel = machine_.kernel();
        NTSTATUS status = nt::UserFile::open(kernel, name_, file_);
        if (!NT_SUCCESS(status)) {
            file_.reset();
            return status;
        }
        // Reads return at once with what has arrived; writes wait as long as the line needs.
        SERIAL_TIMEOUTS timeouts{MAXULONG, 0, 0, 0, 0};
        control(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(timeouts), 0);
        ULONG mask =
            SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING | SERIAL_EV_ERR | SERIAL_EV_BREAK;
        control(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(mask), 0);
        lastModem_ = modemStatus();
        startWait();
        return status;
    }

    void close() {
        if (!file_)
            return;
        pending_.clear();
        received_.clear();
        file_->close();
        file_.reset();
        wait_.reset();
        write_.reset();
    }

    // After the machine ran: what arrived, and the ends of the outstanding requests.
    // With `take` false the port's received bytes stay in the driver (the program behind is not reading),
    // so that the driver's own flow control holds the sender.
    void service(bool take = true) {
        if (!file_)
            return;
        if (take) {
            nt::IoResult read = file_->read(kReadChunk, machine_.kernel().now());
            if (NT_SUCCESS(read.status))
                received_.insert(received_.end(), read.data.begin(), read.data.end());
        }
        if (wait_ && wait_->completed) {
            nt::IoResult events = file_->wait(wait_, machine_.kernel().now());
            ULONG mask = 0;
            if (From(events, mask)) {
                if (mask & (SERIAL_EV_ERR | SERIAL_EV_BREAK))
                    noteLineErrors(mask);
                if (mask & (SERIAL_EV_CTS | SERIAL_EV_DSR | SERIAL_EV_RLSD | SERIAL_EV_RING))
                    modemChanged_ = true;
            }
            startWait();
        }
        pumpWrites();
    }

    void send(const uint8_t* data, size_t length) {
        pending_.insert(pending_.end(), data, data + length);
        pumpWrites();
    }
    size_t backlog() const { return pending_.size() + writing_; }
    std::vector<uint8_t> takeReceived() { return std::exchange(received_, {}); }
    bool takeModemChanged() { return std::exchange(modemChanged_, false); }
    uint8_t takeLineErrors() { return std::exchange(lineErrors_, uint8_t{0}); }

    // Settings, each through the driver; false when the driver refused it.
    bool setBaud(uint32_t baud) {
        SERIAL_BAUD_RATE rate{baud};
        return NT_SUCCESS(control(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(rate), 0).status);
    }
    uint32_t baud() {
        SERIAL_BAUD_RATE rate{};
        From(control(IOCTL_SERIAL_GET_BAUD_RATE, {}, sizeof rate), rate);
        return rate.BaudRate;
    }
    SERIAL_LINE_CONTROL line() {
        SERIAL_LINE_CONTROL lc{};
        From(control(IOCTL_SERIAL_GET_LINE_CONTROL, {}, sizeof lc), lc);
        return lc;
    }
    bool setLine(const SERIAL_LINE_CONTROL& lc) {
        return NT_SUCCESS(control(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(lc), 0).status);
    }
    bool setFlow(Flow flow) {
        SERIAL_HANDFLOW hf{};
        if (!From(control(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof hf), hf))
            return false;
        // The DTR and RTS lines keep their state unless the flow control takes them over.
        const bool dtrOn = (hf.ControlHandShake & SERIAL_DTR_MASK) != 0;
        const bool rtsOn = (hf.FlowReplace & SERIAL_RTS_MASK) != 0;
        hf.ControlHandShake &= ~(SERIAL_DTR_MASK | SERIAL_OUT_HANDSHAKEMASK);
        hf.FlowReplace &= ~(SERIAL_RTS_MASK | SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE);
        hf.ControlHandShake |= dtrOn ? SERIAL_DTR_CONTROL : 0;
        hf.FlowReplace |= rtsOn ? SERIAL_RTS_CONTROL : 0;
        switch (flow) {
        case Flow::None:
            break;
        case Flow::XonXoff:
            hf.FlowReplace |= SERIAL_AUTO_TRANSMIT | SERIAL_AUTO_RECEIVE;
            break;
        case Flow::RtsCts:
            hf.ControlHandShake |= SERIAL_CTS_HANDSHAKE;
            hf.FlowReplace = (hf.FlowReplace & ~SERIAL_RTS_MASK) | SERIAL_RTS_HANDSHAKE;
            break;
        case Flow::DtrDsr:
            hf.ControlHandShake =
                (hf.ControlHandShake & ~SERIAL_DTR_MASK) | SERIAL_DTR_HANDSHAKE | SERIAL_DSR_HANDSHAKE;
            break;
        }
        return NT_SUCCESS(control(IOCTL_SERIAL_SET_HANDFLOW, Bytes(hf), 0).status);
    }
    Flow flow() {
        SERIAL_HANDFLOW hf{};
        From(control(IOCTL_SERIAL_GET_HANDFLOW, {}, sizeof hf), hf);
        if ((hf.ControlHandShake & SERIAL_DTR_MASK) == SERIAL_DTR_HANDSHAKE)
            return Flow::DtrDsr;
        if (hf.ControlHandShake & SERIAL_CTS_HANDSHAKE)
            return Flow::RtsCts;
        if (hf.FlowReplace & SERIAL_AUTO_TRANSMIT)
            return Flow::XonXoff;
        return Flow::None;
    }
    bool setDtr(bool on) {
        return NT_SUCCESS(control(on ? IOCTL_SERIAL_SET_DTR : IOCTL_SERIAL_CLR_DTR, {}, 0).status);
    }
    bool setRts(bool on) {
        return NT_SUCCESS(control(on ? IOCTL_SERIAL_SET_RTS : IOCTL_SERIAL_CLR_RTS, {}, 0).status);
    }
    bool setBreak(bool on) {
        breakOn_ = on;
        return NT_SUCCESS(control(on ? IOCTL_SERIAL_SET_BREAK_ON : IOCTL_SERIAL_SET_BREAK_OFF, {}, 0).status);
    }
    bool breakOn() const { return breakOn_; }
    ULONG dtrRts() {
        ULONG lines = 0;
        From(control(IOCTL_SERIAL_GET_DTRRTS, {}, sizeof lines), lines);
        return lines;
    }
    void purge(bool rx, bool tx) {
        ULONG mask = (rx ? SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_RXABORT : 0) |
                     (tx ? SERIAL_PURGE_TXCLEAR | SERIAL_PURGE_TXABORT : 0);
        if (tx)
            pending_.clear();
        if (rx)
            received_.clear();
        control(IOCTL_SERIAL_PURGE, Bytes(mask), 0);
    }
    // The modem status register's lines (CTS, DSR, RI, DCD), placed as RFC 2217's modem state has them.
    uint8_t modemStatus() {
        ULONG status = 0;
        From(control(IOCTL_SERIAL_GET_MODEMSTATUS, {}, sizeof status), status);
        using namespace rfc2217;
        return static_cast<uint8_t>(status & (kModemCts | kModemDsr | kModemRi | kModemDcd));
    }
    // The modem state with the deltas since the last time it was reported.
    uint8_t modemState() {
        const uint8_t now = modemStatus();
        const uint8_t changed = now ^ lastModem_;
        uint8_t deltas = 0;
        using namespace rfc2217;
        for (auto [line, delta] : {std::pair<uint8_t, uint8_t>{kModemCts, kDeltaCts},
                                   {kModemDsr, kDeltaDsr},
                                   {kModemDcd, kDeltaDcd}})
            if (changed & line)
                deltas |= delta;
        if ((changed & kModemRi) && !(now & kModemRi))
            deltas |= kTrailingRi;
        lastModem_ = now;
        return now | deltas;
    }

private:
    nt::IoResult control(ULONG code, const std::vector<uint8_t>& input, ULONG outputLength) {
        if (!file_)
            return {};
        return file_->control(code, input, outputLength, machine_.kernel().now() + kControlLimit);
    }
    void startWait() { wait_ = file_->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, sizeof(ULONG)); }
    void noteLineErrors(ULONG events) {
        SERIAL_STATUS status{};
        From(control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof status), status);
        if (status.Errors & SERIAL_ERROR_OVERRUN)
            lineErrors_ |= rfc2217::kLineOverrun;
        if (status.Errors & SERIAL_ERROR_PARITY)
            lineErrors_ |= rfc2217::kLineParity;
        if (status.Errors & SERIAL_ERROR_FRAMING)
            lineErrors_ |= rfc2217::kLineFraming;
        if ((status.Errors & SERIAL_ERROR_BREAK) || (events & SERIAL_EV_BREAK))
            lineErrors_ |= rfc2217::kLineBreak;
    }
    // What holds the transmitter back while a write is outstanding, reported when it begins and ends.
    void watchHold() {
        ULONG hold = 0;
        if (write_ && !write_->completed) {
            SERIAL_STATUS status{};
            if (From(control(IOCTL_SERIAL_GET_COMMSTATUS, {}, sizeof status), status))
                hold = status.HoldReasons & (SERIAL_TX_WAITING_FOR_CTS | SERIAL_TX_WAITING_FOR_DSR |
                                             SERIAL_TX_WAITING_FOR_DCD | SERIAL_TX_WAITING_FOR_XON);
        }
        if (hold != hold_ && log_) {
            static const std::pair<ULONG, const char*> kReasons[] = {{SERIAL_TX_WAITING_FOR_CTS, "CTS"},
                                                                     {SERIAL_TX_WAITING_FOR_DSR, "DSR"},
                                                                     {SERIAL_TX_WAITING_FOR_DCD, "DCD"},
                                                                     {SERIAL_TX_WAITING_FOR_XON, "XON"}};
            std::string reasons;
            for (auto [bit, name] : kReasons)
                if (hold & bit)
                    reasons += std::string(reasons.empty() ? "" : ", ") + name;
            *log_ << "cvsim serve: " << name_
                  << (hold ? ": the transmitter waits for " + reasons
                           : std::string(": the transmitter runs again"))
                  << "\n";
        }
        hold_ = hold;
    }

    void pumpWrites() {
        if (!file_)
            return;
        watchHold();
        if (write_ && write_->completed) {
            file_->wait(write_, machine_.kernel().now());
            write_.reset();
            writing_ = 0;
        }
        if (write_ || pending_.empty())
            return;
        const size_t n = std::min(pending_.size(), kReadChunk);
        std::vector<uint8_t> chunk(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        pending_.erase(pending_.begin(), pending_.begin() + static_cast<std::ptrdiff_t>(n));
        writing_ = n;
        write_ = file_->startWrite(chunk);
    }

    Machine& machine_;
    std::string name_;
    std::unique_ptr<nt::UserFile> file_;
    std::shared_ptr<nt::IoRequest> wait_, write_;
    size_t writing_ = 0;
    std::deque<uint8_t> pending_;
    std::vector<uint8_t> received_;
    bool modemChanged_ = false;
    uint8_t lineErrors_ = 0;
    uint8_t lastModem_ = 0;
    bool breakOn_ = false;
    ULONG hold_ = 0;
    std::ostream* log_ = nullptr;

public:
    void setLog(std::ostream& log) { log_ = &log; }
};

} // namespace sim
