// Random device control requests (every serial code and a few unknown ones, with buffer sizes of 0, 1,
// size - 1, size, size + 1 and 64 KiB and random contents), reads, writes, flushes, traffic, modem
// changes and cancellations on an open port. Every request must complete exactly once (the verifier
// stops the run on a second completion), nothing may be left outstanding after cleanup, and the
// driver may leave no pool block behind.
#include "engine_fixture.h"

#include <cstdlib>
#include <cstring>

namespace {

struct Input {
    const uint8_t* data;
    size_t size;
    uint8_t byte() {
        if (!size)
            return 0;
        --size;
        return *data++;
    }
    ULONG word() { return byte() | byte() << 8 | byte() << 16 | static_cast<ULONG>(byte()) << 24; }
    std::vector<uint8_t> bytes(size_t n) {
        std::vector<uint8_t> out(n);
        for (auto& b : out)
            b = byte();
        return out;
    }
};

struct Code {
    ULONG code;
    ULONG size; // the input or output structure's size, 0 for none
};
const Code kCodes[] = {
    {IOCTL_SERIAL_SET_BAUD_RATE, 4},
    {IOCTL_SERIAL_SET_QUEUE_SIZE, 8},
    {IOCTL_SERIAL_SET_LINE_CONTROL, 3},
    {IOCTL_SERIAL_SET_BREAK_ON, 0},
    {IOCTL_SERIAL_SET_BREAK_OFF, 0},
    {IOCTL_SERIAL_IMMEDIATE_CHAR, 1},
    {IOCTL_SERIAL_SET_TIMEOUTS, 20},
    {IOCTL_SERIAL_GET_TIMEOUTS, 20},
    {IOCTL_SERIAL_SET_DTR, 0},
    {IOCTL_SERIAL_CLR_DTR, 0},
    {IOCTL_SERIAL_RESET_DEVICE, 0},
    {IOCTL_SERIAL_SET_RTS, 0},
    {IOCTL_SERIAL_CLR_RTS, 0},
    {IOCTL_SERIAL_SET_XOFF, 0},
    {IOCTL_SERIAL_SET_XON, 0},
    {IOCTL_SERIAL_GET_WAIT_MASK, 4},
    {IOCTL_SERIAL_SET_WAIT_MASK, 4},
    {IOCTL_SERIAL_WAIT_ON_MASK, 4},
    {IOCTL_SERIAL_PURGE, 4},
    {IOCTL_SERIAL_GET_BAUD_RATE, 4},
    {IOCTL_SERIAL_GET_LINE_CONTROL, 3},
    {IOCTL_SERIAL_GET_CHARS, 6},
    {IOCTL_SERIAL_SET_CHARS, 6},
    {IOCTL_SERIAL_GET_HANDFLOW, 16},
    {IOCTL_SERIAL_SET_HANDFLOW, 16},
    {IOCTL_SERIAL_GET_MODEMSTATUS, 4},
    {IOCTL_SERIAL_GET_COMMSTATUS, 20},
    {IOCTL_SERIAL_XOFF_COUNTER, 12},
    {IOCTL_SERIAL_GET_PROPERTIES, 64},
    {IOCTL_SERIAL_GET_DTRRTS, 4},
    {IOCTL_SERIAL_LSRMST_INSERT, 1},
    {IOCTL_SERIAL_CONFIG_SIZE, 4},
    {IOCTL_SERIAL_GET_COMMCONFIG, 0},
    {IOCTL_SERIAL_SET_COMMCONFIG, 0},
    {IOCTL_SERIAL_GET_STATS, 24},
    {IOCTL_SERIAL_CLEAR_STATS, 0},
    {CTL_CODE(FILE_DEVICE_SERIAL_PORT, 0x7FF, METHOD_BUFFERED, FILE_ANY_ACCESS), 8},
};

ULONG PickSize(uint8_t choice, ULONG size) {
    switch (choice % 6) {
    case 0:
        return 0;
    case 1:
        return 1;
    case 2:
        return size ? size - 1 : 0;
    case 3:
        return size;
    case 4:
        return size + 1;
    default:
        return 64 * 1024;
    }
}

class PortFuzz : public EngineTest {
public:
    void TestBody() override {}

    void Run(Input in) {
        SetUp();
        realOpen = true;
        MakePort(hw::UartKind::Uart16C950, CV_UART_16950, 14745600, 115200, 0);
        if (nt::UserFile::open(kernel, "COM3", file) != STATUS_SUCCESS)
            std::abort();
        std::vector<std::shared_ptr<nt::IoRequest>> requests;
        while (in.size && requests.size() < 200) {
            uint8_t op = in.byte();
            switch (op % 9) {
            case 0:
            case 1: {
                const Code& c = kCodes[in.byte() % std::size(kCodes)];
                ULONG length = PickSize(in.byte(), c.size);
                auto input = in.bytes(std::min<ULONG>(length, 64));
                input.resize(length);
                requests.push_back(file->startControl(c.code, input, PickSize(in.byte(), c.size)));
                break;
            }
            case 2:
                requests.push_back(file->startRead(in.byte() % 3 == 0 ? 0 : 1 + in.byte()));
                break;
            case 3:
                requests.push_back(file->startWrite(in.bytes(in.byte() % 3 == 0 ? 0 : 1 + in.byte() % 64)));
                break;
            case 4:
                requests.push_back(file->startFlush());
                break;
            case 5:
                if (!requests.empty())
                    file->cancel(*requests[in.byte() % requests.size()]);
                break;
            case 6: {
                uint8_t what = in.byte();
                if (what & 1)
                    peer->sendWithErrorAt(kernel.now() + in.byte(), in.byte(), what & 2, what & 4);
                else
                    peer->sendAt(kernel.now() + in.byte(), in.bytes(1 + in.byte() % 32));
                break;
            }
            case 7: {
                uint8_t lines = in.byte();
                peer->modemAt(kernel.now() + in.byte(), hw::ModemInputs{bool(lines & 1), bool(lines & 2),
                                                                        bool(lines & 4), bool(lines & 8)});
                break;
            }
            default:
                EngineTest::Run(static_cast<uint64_t>(in.byte()) * 1000);
                break;
            }
        }
        EngineTest::Run(hw::kTicksPerSecond / 10);
        // Closing the handle sends cleanup, which must end whatever is still outstanding.
        file->close();
        for (auto& r : requests)
            if (!r->completed)
                std::abort();
        if (kernel.io().outstanding() != 0)
            std::abort();
        TearDown();
        if (::testing::UnitTest::GetInstance()->ad_hoc_test_result().Failed())
            std::abort();
    }
};

} // namespace

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    PortFuzz fuzz;
    fuzz.Run(Input{data, size});
    return 0;
}
