// The engine test fixture: a port device on a UART model wired to a scripted peer, with the engine's
// dispatch routines; a harness does what port creation and open will do.
#pragma once

#include "driver_fixture.h"

#include "CvEngine.h"
#include "port_harness.h"
#include "hw/uart.h"
#include "hw/wiring.h"
#include "platform/nt/userio.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <map>
#include <random>
#include <functional>
#include <cstring>
#include <new>

namespace {

constexpr USHORT kBase = 0xE000;
constexpr ULONG kVector = nt::VectorForIrq(11);

struct Counters {
    int isrCalls = 0;
};
Counters* gCounters = nullptr;

BOOLEAN CountingIsr(PKINTERRUPT interrupt, PVOID context) {
    ++gCounters->isrCalls;
    return SerialISR(interrupt, context);
}

// Whether create, close and cleanup go to the engine; otherwise they simply succeed on a port that
// the harness has opened.
bool gRealOpenClose = false;

NTSTATUS Dispatch(PDEVICE_OBJECT device, PIRP irp) {
    UCHAR major = IoGetCurrentIrpStackLocation(irp)->MajorFunction;
    bool openClose = major == IRP_MJ_CREATE || major == IRP_MJ_CLOSE || major == IRP_MJ_CLEANUP;
    if ((openClose && !gRealOpenClose) || major == IRP_MJ_SHUTDOWN) {
        irp->IoStatus.Status = STATUS_SUCCESS;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_SUCCESS;
    }
    return HarnessDispatch(device, irp);
}

class EngineTest : public DriverTest {
public:
    void SetUp() override { DriverTest::SetUp(); }

    // Creates, opens and connects the port as start-up and open will. With realOpen set, the port is
    // created and connected but left closed, for the engine's own open.
    void MakePort(hw::UartKind kind, UCHAR type, uint32_t clock, ULONG baud, ULONG bufferSize,
                  LONG softLimit = 100) {
        gRealOpenClose = realOpen;
        gCounters = &counters;
        HarnessPortConfig config;
        config.base = kBase;
        config.vector = kVector;
        config.kind = kind;
        config.type = type;
        config.clock = clock;
        config.baud = baud;
        config.softLimit = softLimit;
        ASSERT_EQ(port.create(kernel, driver, Dispatch, config,
                              [this](bool level) { kernel.setInterruptLine(kVector, level); }),
                  STATUS_SUCCESS);
        uart = port.uart.get();
        device = port.device;
        ext = port.ext;
        peer = std::make_unique<hw::ScriptedPeer>(kernel.timeline(), *uart, Format(baud));
        ASSERT_EQ(port.connect(CountingIsr), STATUS_SUCCESS);
        if (realOpen)
            return;
        ASSERT_EQ(port.openInPlace(bufferSize), STATUS_SUCCESS);
        buffer = ext->InterruptReadBuffer;
        ASSERT_EQ(nt::UserFile::open(kernel, "COM3", file), STATUS_SUCCESS);
    }

    void TearDown() override {
        file.reset();
        peer.reset();
        port.destroy();
        gCounters = nullptr;
        gRealOpenClose = false;
        DriverTest::TearDown();
    }

    static hw::Frame Format(double baud) {
        hw::Frame f;
        f.bitTicks = hw::kTicksPerSecond / baud;
        return f;
    }

    template <typename Routine>
    void Synchronised(Routine routine) {
        struct Box {
            Routine* r;
        } box{&routine};
        CvSynchronizeWithIsr(
            ext, [](PVOID c) -> BOOLEAN { return (*static_cast<Box*>(c)->r)(), FALSE; }, &box);
    }

    std::vector<uint8_t> RingContents() {
        std::vector<uint8_t> out;
        PUCHAR p = ext->FirstReadableChar;
        for (ULONG i = 0; i < ext->CharsInInterruptBuffer; ++i) {
            out.push_back(*p);
            p = p == ext->LastCharSlot ? ext->InterruptReadBuffer : p + 1;
        }
        return out;
    }

    // Takes characters out of the ring buffer as a read would, then lets holds go.
    void Drain(ULONG count) {
        Synchronised([&] {
            for (ULONG i = 0; i < count && ext->CharsInInterruptBuffer; ++i) {
                ext->FirstReadableChar = ext->FirstReadableChar == ext->LastCharSlot
                                             ? ext->InterruptReadBuffer
                                             : ext->FirstReadableChar + 1;
                ext->CharsInInterruptBuffer--;
            }
        });
        CvSynchronizeWithIsr(ext, SerialHandleReducedIntBuffer, ext);
    }

    void Run(uint64_t ticks) { kernel.runUntil(kernel.now() + ticks); }

    Counters counters;
    HarnessPort port;
    hw::Uart* uart = nullptr;
    std::unique_ptr<hw::ScriptedPeer> peer;
    DRIVER_OBJECT driver{};
    PDEVICE_OBJECT device = nullptr;
    CCvDevice* ext = nullptr;
    PUCHAR buffer = nullptr;
    bool realOpen = false;
    std::unique_ptr<nt::UserFile> file;
};

[[maybe_unused]] std::vector<uint8_t> Pattern(size_t n) {
    std::vector<uint8_t> bytes(n);
    for (size_t i = 0; i < n; ++i)
        bytes[i] = static_cast<uint8_t>('A' + i % 26);
    return bytes;
}

} // namespace
