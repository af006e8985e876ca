// The port's device control requests, flush, purge and file information, through the application side.
#include "engine_fixture.h"

#include <cstring>

namespace {

template <typename T>
std::vector<uint8_t> Bytes(const T& value) {
    std::vector<uint8_t> out(sizeof value);
    std::memcpy(out.data(), &value, sizeof value);
    return out;
}

template <typename T>
T As(const nt::IoResult& result) {
    T value{};
    EXPECT_GE(result.data.size(), sizeof value);
    std::memcpy(&value, result.data.data(), std::min(result.data.size(), sizeof value));
    return value;
}

class IoctlTest : public EngineTest {
public:
    // A 16550 on a 1.8432 MHz clock at 9600 bit/s.
    void MakeStandardPort() { MakePort(hw::UartKind::Uart16550, CV_UART_16550, 1843200, 9600, 1024); }

    NTSTATUS Set(ULONG code, const std::vector<uint8_t>& input) {
        return file->control(code, input, 0).status;
    }
};

TEST_F(IoctlTest, EveryCodeChecksItsBufferSizeAndUnknownCodesAreRefused) {
    MakeStandardPort();
    struct Sized {
        ULONG code;
        ULONG in, out;
    };
    const Sized sized[] = {
        {IOCTL_SERIAL_SET_BAUD_RATE, 4, 0},    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8, 0},
        {IOCTL_SERIAL_SET_LINE_CONTROL, 3, 0}, {IOCTL_SERIAL_IMMEDIATE_CHAR, 1, 0},
        {IOCTL_SERIAL_SET_TIMEOUTS, 20, 0},    {IOCTL_SERIAL_GET_TIMEOUTS, 0, 20},
        {IOCTL_SERIAL_GET_WAIT_MASK, 0, 4},    {IOCTL_SERIAL_SET_WAIT_MASK, 4, 0},
        {IOCTL_SERIAL_WAIT_ON_MASK, 0, 4},     {IOCTL_SERIAL_PURGE, 4, 0},
        {IOCTL_SERIAL_GET_BAUD_RATE, 0, 4},    {IOCTL_SERIAL_GET_LINE_CONTROL, 0, 3},
        {IOCTL_SERIAL_GET_CHARS, 0, 6},        {IOCTL_SERIAL_SET_CHARS, 6, 0},
        {IOCTL_SERIAL_GET_HANDFLOW, 0, 16},    {IOCTL_SERIAL_SET_HANDFLOW, 16, 0},
        {IOCTL_SERIAL_GET_MODEMSTATUS, 0, 4},  {IOCTL_SERIAL_GET_COMMSTATUS, 0, 20},
        {IOCTL_SERIAL_XOFF_COUNTER, 12, 0},    {IOCTL_SERIAL_GET_PROPERTIES, 0, 64},
        {IOCTL_SERIAL_GET_DTRRTS, 0, 4},       {IOCTL_SERIAL_LSRMST_INSERT, 1, 0},
        {IOCTL_SERIAL_CONFIG_SIZE, 0, 4},      {IOCTL_SERIAL_GET_STATS, 0, 24},
    };
    UCHAR lcrBefore = uart->read(3);
    for (const Sized& s : sized) {
        SCOPED_TRACE(s.code);
        auto r = s.in ? file->control(s.code, std::vector<uint8_t>(s.in - 1, 0x11), s.out)
                      : file->control(s.code, {}, s.out - 1);
        EXPECT_EQ(r.status, STATUS_BUFFER_TOO_SMALL);
        EXPECT_EQ(r.information, 0u);
        if (s.out) { // and the exact size is enough
            auto exact = file->control(s.code, {}, s.out);
            if (s.code != IOCTL_SERIAL_WAIT_ON_MASK) {
                EXPECT_EQ(exact.status, STATUS_SUCCESS);
                EXPECT_EQ(exact.information, s.out);
            }
        }
    }
    EXPECT_EQ(uart->read(3), lcrBefore) << "a refused request does not touch the port";

    for (ULONG code : {IOCTL_SERIAL_GET_COMMCONFIG, IOCTL_SERIAL_SET_COMMCONFIG,
                       CTL_CODE(FILE_DEVICE_SERIAL_PORT, 40, METHOD_BUFFERED, FILE_ANY_ACCESS),
                       CTL_CODE(0x22, 1, METHOD_BUFFERED, FILE_ANY_ACCESS)})
        EXPECT_EQ(file->control(code, std::vector<uint8_t>(64), 64).status, STATUS_INVALID_PARAMETER) << code;
    for (ULONG code : {IOCTL_SERIAL_RESET_DEVICE, IOCTL_SERIAL_CLEAR_STATS, IOCTL_SERIAL_SET_XON})
        EXPECT_EQ(Set(code, {}), STATUS_SUCCESS) << code;
}

TEST_F(IoctlTest, LineControlIsCheckedWrittenAndReadBack) {
    MakeStandardPort();
    auto set = [&](UCHAR stop, UCHAR parity, UCHAR length) {
        return Set(IOCTL_SERIAL_SET_LINE_CONTROL, Bytes(SERIAL_LINE_CONTROL{stop, parity, length}));
    };
    EXPECT_EQ(set(2, NO_PARITY, 5), STATUS_INVALID_PARAMETER) << "two stop bits with five data bits";
    EXPECT_EQ(set(1, NO_PARITY, 8), STATUS_INVALID_PARAMETER) << "one and a half only with five";
    EXPECT_EQ(set(0, 5, 8), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(set(0, NO_PARITY, 4), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(set(0, NO_PARITY, 9), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(set(3, NO_PARITY, 8), STATUS_INVALID_PARAMETER);

    EXPECT_EQ(set(1, EVEN_PARITY, 5), STATUS_SUCCESS);
    EXPECT_EQ(uart->read(3), 0x04 | 0x18) << "five bits, one and a half stop bits, even parity";
    EXPECT_EQ(ext->ValidDataMask, 0x1F);
    auto got = As<SERIAL_LINE_CONTROL>(file->control(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3));
    EXPECT_EQ(got.StopBits, 1);
    EXPECT_EQ(got.Parity, EVEN_PARITY);
    EXPECT_EQ(got.WordLength, 5);

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BREAK_ON, {}), STATUS_SUCCESS);
    EXPECT_EQ(set(2, SPACE_PARITY, 7), STATUS_SUCCESS);
    EXPECT_EQ(uart->read(3), 0x40 | 0x38 | 0x04 | 0x02) << "the break stays on";
    got = As<SERIAL_LINE_CONTROL>(file->control(IOCTL_SERIAL_GET_LINE_CONTROL, {}, 3));
    EXPECT_EQ(got.StopBits, 2);
    EXPECT_EQ(got.Parity, SPACE_PARITY);
    EXPECT_EQ(got.WordLength, 7);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BREAK_OFF, {}), STATUS_SUCCESS);
    EXPECT_EQ(uart->read(3) & 0x40, 0);
}

TEST_F(IoctlTest, SettingsWithInvalidContentsAreRefusedAndValidOnesReadBack) {
    MakeStandardPort();
    const ULONG all = MAXULONG;
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(SERIAL_TIMEOUTS{all, all, all, 0, 0})),
              STATUS_INVALID_PARAMETER);
    SERIAL_TIMEOUTS two{all, all, 7, 8, 9};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_TIMEOUTS, Bytes(two)), STATUS_SUCCESS);
    auto timeouts = As<SERIAL_TIMEOUTS>(file->control(IOCTL_SERIAL_GET_TIMEOUTS, {}, 20));
    EXPECT_EQ(std::memcmp(&timeouts, &two, sizeof two), 0);

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{0x2000})), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_WAIT_MASK, Bytes(ULONG{0x1FFF})), STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(file->control(IOCTL_SERIAL_GET_WAIT_MASK, {}, 4)), 0x1FFFu);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, Bytes(ULONG{0})), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, Bytes(ULONG{0x10})), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(IOCTL_SERIAL_XOFF_COUNTER, Bytes(SERIAL_XOFF_COUNTER{0, 0, 0x13})),
              STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(IOCTL_SERIAL_XOFF_COUNTER, Bytes(SERIAL_XOFF_COUNTER{0, -1, 0x13})),
              STATUS_INVALID_PARAMETER);

    // The escape character may not be a flow-control character, nor coexist with the error character.
    EXPECT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, {0x11}), STATUS_INVALID_PARAMETER) << "the XON character";
    EXPECT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, {0xFE}), STATUS_SUCCESS);
    EXPECT_EQ(ext->EscapeChar, 0xFE);
    SERIAL_CHARS chars{0x1A, 0x3F, 0, 0x7E, 0xFE, 0x13};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, Bytes(chars)), STATUS_INVALID_PARAMETER)
        << "XON equal to the escape";
    SERIAL_HANDFLOW errorChar{0, SERIAL_ERROR_CHAR, 512, 128};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, Bytes(errorChar)), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(Set(IOCTL_SERIAL_LSRMST_INSERT, {0}), STATUS_SUCCESS) << "0 turns insertion off";
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_CHARS, Bytes(chars)), STATUS_SUCCESS);
    auto gotChars = As<SERIAL_CHARS>(file->control(IOCTL_SERIAL_GET_CHARS, {}, 6));
    EXPECT_EQ(std::memcmp(&gotChars, &chars, sizeof chars), 0);

    for (SERIAL_HANDFLOW bad : {SERIAL_HANDFLOW{0x04, 0, 512, 128}, SERIAL_HANDFLOW{0x03, 0, 512, 128},
                                SERIAL_HANDFLOW{0, 0x20, 512, 128}, SERIAL_HANDFLOW{0, 0, 1025, 128},
                                SERIAL_HANDFLOW{0, 0, 512, -1}})
        EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, Bytes(bad)), STATUS_INVALID_PARAMETER)
            << bad.ControlHandShake << " " << bad.FlowReplace << " " << bad.XonLimit << " " << bad.XoffLimit;
    SERIAL_HANDFLOW good{SERIAL_DTR_HANDSHAKE | SERIAL_CTS_HANDSHAKE, SERIAL_TRANSMIT_TOGGLE, 1024, 0};
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, Bytes(good)), STATUS_SUCCESS);
    auto flow = As<SERIAL_HANDFLOW>(file->control(IOCTL_SERIAL_GET_HANDFLOW, {}, 16));
    EXPECT_EQ(std::memcmp(&flow, &good, sizeof good), 0);

    // Lines that the handshake owns cannot be set by hand.
    bool dtr = uart->read(4) & 0x01, rts = uart->read(4) & 0x02;
    for (ULONG code :
         {IOCTL_SERIAL_SET_DTR, IOCTL_SERIAL_CLR_DTR, IOCTL_SERIAL_SET_RTS, IOCTL_SERIAL_CLR_RTS})
        EXPECT_EQ(Set(code, {}), STATUS_INVALID_PARAMETER) << code;
    EXPECT_EQ(bool(uart->read(4) & 0x01), dtr);
    EXPECT_EQ(bool(uart->read(4) & 0x02), rts);
}

TEST_F(IoctlTest, RatesPropertiesLinesStatusAndStatistics) {
    MakeStandardPort();
    auto props = As<SERIAL_COMMPROP>(file->control(IOCTL_SERIAL_GET_PROPERTIES, {}, 64));
    EXPECT_EQ(props.PacketLength, 64);
    EXPECT_EQ(props.PacketVersion, 2);
    EXPECT_EQ(props.SettableBaud, 0x1006FFFFu);
    EXPECT_EQ(props.CurrentRxQueue, 1024u) << "the ring buffer size";
    EXPECT_EQ(props.MaxBaud, 0x10000000u);
    EXPECT_EQ(props.SettableStopParity, 0x1F07);

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(ULONG{19200})), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BAUD_RATE, Bytes(ULONG{1000000})), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(As<ULONG>(file->control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4)), 19200u) << "the old rate stays";

    EXPECT_EQ(Set(IOCTL_SERIAL_SET_DTR, {}), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_CLR_RTS, {}), STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(file->control(IOCTL_SERIAL_GET_DTRRTS, {}, 4)), SERIAL_DTR_STATE);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_RTS, {}), STATUS_SUCCESS);
    EXPECT_EQ(As<ULONG>(file->control(IOCTL_SERIAL_GET_DTRRTS, {}, 4)), SERIAL_DTR_STATE | SERIAL_RTS_STATE);

    peer->modemAt(kernel.now(), hw::ModemInputs{true, false, false, true});
    Run(1000);
    EXPECT_EQ(As<ULONG>(file->control(IOCTL_SERIAL_GET_MODEMSTATUS, {}, 4)) & 0xF0, 0x90u) << "CTS and DCD";

    peer->sendAt(kernel.now(), Pattern(5));
    Run(hw::kTicksPerSecond / 50);
    Synchronised([&] { ext->ErrorWord = SERIAL_ERROR_FRAMING; });
    auto status = As<SERIAL_STATUS>(file->control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20));
    EXPECT_EQ(status.Errors, SERIAL_ERROR_FRAMING);
    EXPECT_EQ(status.AmountInInQueue, 5u);
    EXPECT_EQ(status.AmountInOutQueue, 0u);
    EXPECT_EQ(As<SERIAL_STATUS>(file->control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20)).Errors, 0u)
        << "reading the status clears the errors";

    // A write under way counts only its unsent bytes.
    Synchronised([&] { ext->TXHolding |= SERIAL_TX_WAITING_FOR_XON; });
    auto held = file->startWrite(Pattern(30));
    status = As<SERIAL_STATUS>(file->control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20));
    EXPECT_EQ(status.AmountInOutQueue, 30u);
    EXPECT_EQ(status.HoldReasons, SERIAL_TX_WAITING_FOR_XON);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_XON, {}), STATUS_SUCCESS);
    EXPECT_EQ(file->wait(held, kernel.now() + hw::kTicksPerSecond).status, STATUS_SUCCESS);

    auto stats = As<SERIALPERF_STATS>(file->control(IOCTL_SERIAL_GET_STATS, {}, 24));
    EXPECT_EQ(stats.ReceivedCount, 5u);
    EXPECT_EQ(stats.TransmittedCount, 30u);
    EXPECT_EQ(Set(IOCTL_SERIAL_CLEAR_STATS, {}), STATUS_SUCCESS);
    stats = As<SERIALPERF_STATS>(file->control(IOCTL_SERIAL_GET_STATS, {}, 24));
    EXPECT_EQ(stats.ReceivedCount + stats.TransmittedCount, 0u);
    EXPECT_EQ(As<ULONG>(file->control(IOCTL_SERIAL_CONFIG_SIZE, {}, 4)), 0u);
}

TEST_F(IoctlTest, ALineErrorWithErrorAbortEndsTheRequestsUntilTheStatusIsRead) {
    MakeStandardPort();
    SERIAL_HANDFLOW flow{SERIAL_ERROR_ABORT | SERIAL_DTR_CONTROL, SERIAL_RTS_CONTROL, 512, 128};
    ASSERT_EQ(Set(IOCTL_SERIAL_SET_HANDFLOW, Bytes(flow)), STATUS_SUCCESS);
    Synchronised([&] { ext->TXHolding |= SERIAL_TX_WAITING_FOR_CTS; });
    auto read = file->startRead(10);
    auto write = file->startWrite(Pattern(10));
    Run(hw::kTicksPerSecond / 100);
    peer->sendWithErrorAt(kernel.now(), 0x55, false, true);
    Run(hw::kTicksPerSecond / 50);
    EXPECT_EQ(file->wait(read, kernel.now()).status, STATUS_CANCELLED);
    EXPECT_EQ(file->wait(write, kernel.now()).status, STATUS_CANCELLED);

    EXPECT_EQ(file->read(1, kernel.now() + hw::kTicksPerSecond).status, STATUS_CANCELLED) << "refused";
    EXPECT_EQ(file->write({1}, kernel.now() + hw::kTicksPerSecond).status, STATUS_CANCELLED);
    EXPECT_EQ(file->control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_CANCELLED);

    auto status = As<SERIAL_STATUS>(file->control(IOCTL_SERIAL_GET_COMMSTATUS, {}, 20));
    EXPECT_EQ(status.Errors & SERIAL_ERROR_FRAMING, SERIAL_ERROR_FRAMING);
    EXPECT_EQ(file->control(IOCTL_SERIAL_GET_BAUD_RATE, {}, 4).status, STATUS_SUCCESS) << "reading it clears";
    Synchronised([&] { ext->TXHolding = 0; });
    EXPECT_EQ(file->write({1}, kernel.now() + hw::kTicksPerSecond).status, STATUS_SUCCESS);
}

TEST_F(IoctlTest, ALineErrorWhileABreakHoldsAWriteDoesNotStormTheInterrupt) {
    // Found by the port fuzz target: the error stays flagged in the FIFO until its character is read,
    // and each pass of the service routine used to re-raise the transmit interrupt for the held write.
    MakePort(hw::UartKind::Uart16C950, CV_UART_16950, 14745600, 115200, 256);
    Synchronised([&] { ext->pChip_Uart->SetReceiverTriggerLevel(0x40); });
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BREAK_ON, {}), STATUS_SUCCESS);
    auto write = file->startWrite({4});
    int before = counters.isrCalls;
    peer->sendWithErrorAt(kernel.now() + 200, 0, false, true);
    Run(hw::kTicksPerSecond / 100);
    EXPECT_LE(counters.isrCalls - before, 4) << "one error, one character: a handful of interrupts";
    EXPECT_EQ(ext->ErrorWord & SERIAL_ERROR_BREAK, SERIAL_ERROR_BREAK);
    EXPECT_FALSE(write->completed);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_BREAK_OFF, {}), STATUS_SUCCESS);
    EXPECT_EQ(file->wait(write, kernel.now() + hw::kTicksPerSecond).status, STATUS_SUCCESS);
}

TEST_F(IoctlTest, FlushWaitsForTheWritesBeforeItAndPurgeEmptiesWhatItNames) {
    MakeStandardPort();
    auto idle = file->wait(file->startFlush(), kernel.now());
    EXPECT_EQ(idle.status, STATUS_SUCCESS) << "an idle port flushes at once";

    auto first = file->startWrite(Pattern(20));
    auto second = file->startWrite(Pattern(10));
    auto flush = file->startFlush();
    auto after = file->startWrite(Pattern(5));
    Run(hw::kTicksPerSecond / 100);
    EXPECT_FALSE(flush->completed);
    EXPECT_EQ(file->wait(flush, kernel.now() + hw::kTicksPerSecond).status, STATUS_SUCCESS);
    EXPECT_TRUE(first->completed);
    EXPECT_TRUE(second->completed);
    EXPECT_EQ(file->wait(after, kernel.now() + hw::kTicksPerSecond).status, STATUS_SUCCESS);

    // Abort both directions.
    auto write = file->startWrite(Pattern(500));
    auto queued = file->startWrite(Pattern(5));
    auto read = file->startRead(100);
    Run(hw::kTicksPerSecond / 100);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, Bytes(ULONG{SERIAL_PURGE_TXABORT | SERIAL_PURGE_RXABORT})),
              STATUS_SUCCESS);
    EXPECT_EQ(file->wait(write).status, STATUS_CANCELLED);
    EXPECT_EQ(file->wait(queued).status, STATUS_CANCELLED);
    EXPECT_EQ(file->wait(read).status, STATUS_CANCELLED);
    EXPECT_EQ(ext->TotalCharsQueued, 0u);

    // Clearing the receive buffer empties the ring, but not a read being filled directly.
    peer->sendAt(kernel.now(), Pattern(8));
    Run(hw::kTicksPerSecond / 50);
    EXPECT_EQ(ext->CharsInInterruptBuffer, 8u);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, Bytes(ULONG{SERIAL_PURGE_RXCLEAR})), STATUS_SUCCESS);
    EXPECT_EQ(ext->CharsInInterruptBuffer, 0u);
    auto filling = file->startRead(10);
    peer->sendAt(kernel.now(), Pattern(4));
    Run(hw::kTicksPerSecond / 50);
    EXPECT_EQ(Set(IOCTL_SERIAL_PURGE, Bytes(ULONG{SERIAL_PURGE_RXCLEAR | SERIAL_PURGE_TXCLEAR})),
              STATUS_SUCCESS);
    peer->sendAt(kernel.now(), Pattern(6));
    auto filled = file->wait(filling, kernel.now() + hw::kTicksPerSecond);
    EXPECT_EQ(filled.status, STATUS_SUCCESS);
    auto expected = Pattern(4);
    auto more = Pattern(6);
    expected.insert(expected.end(), more.begin(), more.end());
    EXPECT_EQ(filled.data, expected) << "the read's own bytes are left alone";
}

TEST_F(IoctlTest, FileInformationHasFixedAnswers) {
    MakeStandardPort();
    auto standard = file->wait(file->startQueryInformation(FileStandardInformation, 24));
    EXPECT_EQ(standard.status, STATUS_SUCCESS);
    EXPECT_EQ(standard.information, 24u);
    EXPECT_EQ(standard.data, std::vector<uint8_t>(24, 0));
    auto position = file->wait(file->startQueryInformation(FilePositionInformation, 8));
    EXPECT_EQ(position.status, STATUS_SUCCESS);
    EXPECT_EQ(position.data, std::vector<uint8_t>(8, 0));
    EXPECT_EQ(file->wait(file->startQueryInformation(FileStandardInformation, 23)).status,
              STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(file->wait(file->startQueryInformation(FileBasicInformation, 40)).status,
              STATUS_INVALID_PARAMETER);

    EXPECT_EQ(file->wait(file->startSetInformation(FileEndOfFileInformation, std::vector<uint8_t>(8))).status,
              STATUS_SUCCESS);
    EXPECT_EQ(
        file->wait(file->startSetInformation(FileAllocationInformation, std::vector<uint8_t>(8))).status,
        STATUS_SUCCESS);
    EXPECT_EQ(file->wait(file->startSetInformation(FileBasicInformation, std::vector<uint8_t>(40))).status,
              STATUS_INVALID_PARAMETER);
}

} // namespace
