// Open, close and cleanup of a port through the application side.
#include "engine_fixture.h"

#include "CvImage.h"

#include <cstring>

namespace {

// A card whose transmitter never reports itself empty: the line status reads without the
// transmitter bits.
class StuckTransmitter final : public hw::PortDevice {
public:
    explicit StuckTransmitter(hw::Uart& uart) : uart_(uart) {}
    uint8_t read(uint16_t offset) override {
        uint8_t value = uart_.read(offset);
        return offset == 5 ? static_cast<uint8_t>(value & ~0x60) : value;
    }
    void write(uint16_t offset, uint8_t value) override { uart_.write(offset, value); }

private:
    hw::Uart& uart_;
};

class OpenCloseTest : public EngineTest {
public:
    void MakeClosedPort(ULONG baud = 9600) {
        realOpen = true;
        MakePort(hw::UartKind::Uart16550, CV_UART_16550, 1843200, baud, 0);
    }
    NTSTATUS Open(ULONG options = 0) { return nt::UserFile::open(kernel, "COM3", file, options); }
    uint8_t Mcr() { return uart->read(4); }
    NTSTATUS Set(ULONG code) { return file->control(code, {}, 0).status; }
};

TEST_F(OpenCloseTest, OpenSizesTheRingBufferBySystemSizeAndCloseGivesItBack) {
    MakeClosedPort();
    kernel.setSystemSize(MmMediumSystem);
    EXPECT_EQ(Open(FILE_DIRECTORY_FILE), STATUS_NOT_A_DIRECTORY);
    EXPECT_EQ(ext->InterruptReadBuffer, nullptr) << "a refused open allocates nothing";
    EXPECT_FALSE(ext->DeviceIsOpened);

    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_TRUE(ext->DeviceIsOpened);
    EXPECT_EQ(ext->BufferSize, 1024u);
    EXPECT_EQ(ext->HandFlow.XoffLimit, 128);
    EXPECT_EQ(ext->HandFlow.XonLimit, 512);
    EXPECT_EQ(ext->BufferSizePt8, 832u);
    EXPECT_TRUE(Mcr() & 0x08) << "OUT2 lets the interrupt through";
    peer->sendAt(kernel.now(), Pattern(3));
    EXPECT_EQ(file->read(3, kernel.now() + hw::kTicksPerSecond).data, Pattern(3)) << "the port works";

    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    EXPECT_FALSE(ext->DeviceIsOpened);
    EXPECT_EQ(ext->InterruptReadBuffer, nullptr);
    EXPECT_EQ(ext->BufferSize, 0u);
    EXPECT_EQ(Mcr() & 0x0B, 0) << "DTR, RTS and OUT2 low after close";

    for (auto [size, bytes] : {std::pair{MmSmallSystem, 128u}, std::pair{MmLargeSystem, 4096u}}) {
        kernel.setSystemSize(size);
        ASSERT_EQ(Open(), STATUS_SUCCESS);
        EXPECT_EQ(ext->BufferSize, bytes);
        EXPECT_EQ(file->close(), STATUS_SUCCESS);
    }

    // A refused 4096 falls back to 1024, and with nothing left the open fails.
    kernel.pool().failNth(1);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(ext->BufferSize, 1024u);
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    kernel.pool().failTag(CV_TAG_RING_BUFFER);
    EXPECT_EQ(Open(), STATUS_INSUFFICIENT_RESOURCES);
    EXPECT_EQ(ext->BufferSize, 0u);
    EXPECT_FALSE(ext->DeviceIsOpened);
    kernel.pool().clearFailures();
}

TEST_F(OpenCloseTest, CloseSendsXonBeforeDroppingDtrWhenTheReceiverHadSentXoff) {
    MakeClosedPort();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(Set(IOCTL_SERIAL_SET_DTR), STATUS_SUCCESS);
    Synchronised([&] { ext->RXHolding |= SERIAL_RX_XOFF_HOLD; });
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    const auto& wire = peer->received();
    ASSERT_EQ(wire.size(), 1u);
    EXPECT_EQ(wire[0].data, ext->SpecialChars.XonChar);
    const auto& lines = peer->modemChanges();
    ASSERT_FALSE(lines.empty());
    EXPECT_FALSE(lines.back().dtr);
    EXPECT_GT(lines.back().time, wire[0].time) << "DTR drops after the XON has gone";
    EXPECT_EQ(ext->RXHolding, 0u);
}

TEST_F(OpenCloseTest, CloseDoesNotHangOnATransmitterThatNeverEmpties) {
    MakeClosedPort(9600);
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    StuckTransmitter stuck(*uart);
    kernel.ports().detach(kBase);
    kernel.ports().attach(kBase, 8, stuck);
    Synchronised([&] { ext->RXHolding |= SERIAL_RX_XOFF_HOLD; });
    hw::Tick start = kernel.now();
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    const hw::Tick charTime = static_cast<hw::Tick>(SerialGetCharTime(ext).QuadPart);
    EXPECT_LE(kernel.now() - start, (3 * 256 + 20) * charTime) << "each drain gives up after its bound";
    EXPECT_GE(kernel.now() - start, 256 * charTime);
    EXPECT_EQ(Mcr() & 0x03, 0) << "and the lines still drop";
    kernel.ports().detach(kBase);
    kernel.ports().attach(kBase, 8, *uart);
}

TEST_F(OpenCloseTest, CleanupCancelsEverythingOutstanding) {
    MakeClosedPort();
    ASSERT_EQ(Open(), STATUS_SUCCESS);
    Synchronised([&] { ext->TXHolding |= SERIAL_TX_WAITING_FOR_CTS; });
    ULONG mask = SERIAL_EV_RXFLAG;
    std::vector<uint8_t> maskBytes(4);
    std::memcpy(maskBytes.data(), &mask, 4);
    EXPECT_EQ(file->control(IOCTL_SERIAL_SET_WAIT_MASK, maskBytes, 0).status, STATUS_SUCCESS);
    SERIAL_XOFF_COUNTER counter{0, 10, 0x13};
    std::vector<uint8_t> counterBytes(sizeof counter);
    std::memcpy(counterBytes.data(), &counter, sizeof counter);

    std::vector<std::shared_ptr<nt::IoRequest>> pending = {
        file->startRead(10),
        file->startRead(5),
        file->startWrite(Pattern(10)),
        file->startControl(IOCTL_SERIAL_XOFF_COUNTER, counterBytes, 0),
        file->startWrite(Pattern(3)),
        file->startControl(IOCTL_SERIAL_WAIT_ON_MASK, {}, 4),
        file->startControl(IOCTL_SERIAL_IMMEDIATE_CHAR, {0x42}, 0),
    };
    Run(hw::kTicksPerSecond / 100);
    for (auto& r : pending)
        EXPECT_FALSE(r->completed);
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    for (auto& r : pending) {
        EXPECT_TRUE(r->completed);
        EXPECT_EQ(r->status, STATUS_CANCELLED);
    }
    EXPECT_EQ(kernel.io().outstanding(), 0u);
    EXPECT_EQ(ext->TotalCharsQueued, 0u);
}

// Two ports on one interrupt, linked as start-up links ports that share a vector: while one is open the
// other opens only when both are ports of a multiport card, or when the port may share.
TEST_F(OpenCloseTest, PortsOnACommonInterruptOpenOneAtATimeUnlessOnAMultiportCard) {
    MakeClosedPort();
    HarnessPort second;
    HarnessPortConfig config;
    config.index = 1; // COM4
    config.base = kBase + 8;
    config.vector = kVector;
    ASSERT_EQ(second.create(kernel, driver, Dispatch, config, [](bool) {}), STATUS_SUCCESS);
    ASSERT_EQ(second.connect(CountingIsr), STATUS_SUCCESS);
    InsertTailList(&ext->CommonInterruptObject, &second.ext->CommonInterruptObject);
    std::unique_ptr<nt::UserFile> other;

    ASSERT_EQ(Open(), STATUS_SUCCESS);
    EXPECT_EQ(nt::UserFile::open(kernel, "COM4", other), STATUS_SHARED_IRQ_BUSY);
    EXPECT_FALSE(second.ext->DeviceIsOpened);
    EXPECT_EQ(second.ext->InterruptReadBuffer, nullptr) << "the refused open keeps no buffer";
    ext->PortOnAMultiportCard = TRUE;
    EXPECT_EQ(nt::UserFile::open(kernel, "COM4", other), STATUS_SHARED_IRQ_BUSY) << "both must be";

    second.ext->PortOnAMultiportCard = TRUE;
    ASSERT_EQ(nt::UserFile::open(kernel, "COM4", other), STATUS_SUCCESS);
    EXPECT_TRUE(second.ext->DeviceIsOpened);
    EXPECT_EQ(other->close(), STATUS_SUCCESS);

    // Apart again: the second waits for the first to close, or is allowed to share.
    ext->PortOnAMultiportCard = second.ext->PortOnAMultiportCard = FALSE;
    EXPECT_EQ(nt::UserFile::open(kernel, "COM4", other), STATUS_SHARED_IRQ_BUSY);
    second.ext->PermitShare = 1;
    ASSERT_EQ(nt::UserFile::open(kernel, "COM4", other), STATUS_SUCCESS);
    EXPECT_EQ(other->close(), STATUS_SUCCESS);
    second.ext->PermitShare = 0;
    EXPECT_EQ(file->close(), STATUS_SUCCESS);
    ASSERT_EQ(nt::UserFile::open(kernel, "COM4", other), STATUS_SUCCESS) << "the first has closed";
    EXPECT_EQ(Open(), STATUS_SHARED_IRQ_BUSY) << "and now the first waits";
    EXPECT_EQ(other->close(), STATUS_SUCCESS);

    RemoveEntryList(&second.ext->CommonInterruptObject);
    second.destroy();
}

} // namespace
