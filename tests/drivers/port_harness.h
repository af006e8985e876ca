// What port creation, interrupt connection and open will do for the engine tests and benchmarks until
// start-up exists: a driver object whose every major function is `dispatch`, the port's device
// \Device\Serial<n> with its link COM<n+3>, a UART model behind it with the engine's deferred calls
// wired, and an open that needs no request.
#pragma once

#include "CvDevice.h"
#include "CvEngine.h"
#include "CvImage.h"
#include "hw/uart.h"
#include "platform/nt/kernel.h"

#include <functional>
#include <memory>
#include <string>

inline NTSTATUS CreateHarnessPort(DRIVER_OBJECT& driver, PDRIVER_DISPATCH dispatch, PDEVICE_OBJECT* device,
                                  ULONG index = 0) {
    RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvNt");
    driver.Type = IO_TYPE_DRIVER;
    for (auto& f : driver.MajorFunction)
        f = dispatch;
    std::u16string deviceName = u"\\Device\\Serial", linkName = u"\\DosDevices\\COM";
    for (char c : std::to_string(index))
        deviceName += char16_t(c);
    for (char c : std::to_string(index + 3))
        linkName += char16_t(c);
    UNICODE_STRING name, link;
    RtlInitUnicodeString(&name, deviceName.c_str());
    RtlInitUnicodeString(&link, linkName.c_str());
    NTSTATUS status =
        IoCreateDevice(&driver, sizeof(CCvDevice), &name, FILE_DEVICE_SERIAL_PORT, 0, TRUE, device);
    if (!NT_SUCCESS(status))
        return status;
    (*device)->Flags |= DO_BUFFERED_IO;
    static_cast<CCvDevice*>((*device)->DeviceExtension)->DeviceObject = *device;
    status = IoCreateSymbolicLink(&link, &name);
    return status == STATUS_OBJECT_NAME_COLLISION ? STATUS_SUCCESS
                                                  : status; // the link may remain from before
}

// Every request of a port to the engine's routine for it.
inline NTSTATUS HarnessDispatch(PDEVICE_OBJECT device, PIRP irp) {
    switch (IoGetCurrentIrpStackLocation(irp)->MajorFunction) {
    case IRP_MJ_CREATE:
        return SerialCreateOpen(device, irp);
    case IRP_MJ_CLOSE:
        return SerialClose(device, irp);
    case IRP_MJ_CLEANUP:
        return SerialCleanup(device, irp);
    case IRP_MJ_WRITE:
        return SerialWrite(device, irp);
    case IRP_MJ_READ:
        return SerialRead(device, irp);
    case IRP_MJ_DEVICE_CONTROL:
        return CvIoControl(device, irp);
    case IRP_MJ_FLUSH_BUFFERS:
        return SerialFlush(device, irp);
    case IRP_MJ_QUERY_INFORMATION:
        return SerialQueryInformationFile(device, irp);
    case IRP_MJ_SET_INFORMATION:
        return SerialSetInformationFile(device, irp);
    default:
        irp->IoStatus.Status = STATUS_INVALID_DEVICE_REQUEST;
        irp->IoStatus.Information = 0;
        IoCompleteRequest(irp, IO_NO_INCREMENT);
        return STATUS_INVALID_DEVICE_REQUEST;
    }
}

struct HarnessPortConfig {
    ULONG index = 0; // \Device\Serial<index>, COM<index+3>
    USHORT base = 0xE000;
    ULONG vector = nt::VectorForIrq(11);
    hw::UartKind kind = hw::UartKind::Uart16550;
    UCHAR type = 5; // the engine's UART type code
    uint32_t clock = 1843200;
    ULONG baud = 9600;
    LONG softLimit = 100;
    LONG rxTriggerLevel = 1;
};

// One port of the harness. The caller keeps the kernel, the driver object and the interrupt sink alive
// for the port's life.
class HarnessPort {
public:
    HarnessPort() = default;
    HarnessPort(const HarnessPort&) = delete;
    HarnessPort& operator=(const HarnessPort&) = delete;
    ~HarnessPort() { destroy(); }

    // The device, its UART at 8 data bits and the configured rate, and the engine's deferred calls.
    NTSTATUS create(nt::Kernel& kernel, DRIVER_OBJECT& driver, PDRIVER_DISPATCH dispatch,
                    const HarnessPortConfig& config, std::function<void(bool)> interruptSink) {
        kernel_ = &kernel;
        config_ = config;
        uart = std::make_unique<hw::Uart>(config.kind, config.clock);
        uart->attachClock(&kernel.timeline());
        kernel.ports().attach(config.base, 8, *uart);
        uart->setInterruptSink(std::move(interruptSink));
        NTSTATUS status = CreateHarnessPort(driver, dispatch, &device, config.index);
        if (!NT_SUCCESS(status))
            return status;
        ext = static_cast<CCvDevice*>(device->DeviceExtension);
        CvSetDeviceDefaults(ext);
        KeInitializeDpc(&ext->CompleteWriteDpc, SerialCompleteWrite, ext);
        KeInitializeDpc(&ext->TotalWriteTimeoutDpc, SerialWriteTimeout, ext);
        KeInitializeDpc(&ext->CompleteImmediateDpc, SerialCompleteImmediate, ext);
        KeInitializeDpc(&ext->TotalImmediateTimeoutDpc, SerialTimeoutImmediate, ext);
        KeInitializeDpc(&ext->XoffCountCompleteDpc, SerialCompleteXoff, ext);
        KeInitializeDpc(&ext->XoffCountTimeoutDpc, SerialTimeoutXoff, ext);
        KeInitializeDpc(&ext->CompleteReadDpc, SerialCompleteRead, ext);
        KeInitializeDpc(&ext->TotalReadTimeoutDpc, SerialReadTimeout, ext);
        KeInitializeDpc(&ext->IntervalReadTimeoutDpc, SerialIntervalReadTimeout, ext);
        KeInitializeDpc(&ext->CommErrorDpc, SerialCommError, ext);
        KeInitializeDpc(&ext->CommWaitDpc, SerialCompleteWait, ext);
        KeInitializeDpc(&ext->StartTimerLowerRTSDpc, SerialStartTimerLowerRTS, ext);
        KeInitializeDpc(&ext->PerhapsLowerRTSDpc, SerialInvokePerhapsLowerRTS, ext);
        KeInitializeDpc(&ext->StartTimerTxEmptyDpc, SerialStartTimerTxEmpty, ext);
        KeInitializeDpc(&ext->TxEmptyDpc, SerialInvokeProcessEmptyTransmit, ext);

        ext->ValidDataMask = 0xFF; // 8 data bits
        ext->HandFlow.ControlHandShake = 0;
        ext->HandFlow.FlowReplace = 0;

        ext->pChip_Uart = CvAllocateUart(config.type);
        if (!ext->pChip_Uart)
            return STATUS_INSUFFICIENT_RESOURCES;
        ext->pChip_Uart->m_unBaseAddress = config.base;
        ext->pChip_Uart->m_ulClockFrequency = config.clock;
        ext->pChip_Uart->m_ulClockFrequencyAdjustment = 1;
        ext->pChip_Uart->m_lSoftTxLimit = config.softLimit;
        ext->pChip_Uart->m_lRxTriggerLevel = config.rxTriggerLevel;
        CvCompleteUartSetUp(ext->pChip_Uart);
        status = ext->pChip_Uart->SetBaudrate(config.baud);
        if (!NT_SUCCESS(status))
            return status;
        ext->LineControl = 0x03;
        uart->write(3, ext->LineControl);
        ext->FifoPresent = ext->pChip_Uart->EnableFifoAndFlush();
        return STATUS_SUCCESS;
    }

    // The routine's context is the extension unless another is given.
    NTSTATUS connect(PKSERVICE_ROUTINE isr, BOOLEAN shareVector = TRUE, PVOID context = nullptr) {
        return IoConnectInterrupt(&ext->Interrupt, isr, context ? context : ext, nullptr, config_.vector, 11,
                                  11, LevelSensitive, shareVector, 1, FALSE);
    }

    // What open leaves behind, without an open request: a ring buffer, the port marked open with its
    // interrupts enabled.
    NTSTATUS openInPlace(ULONG bufferSize) {
        auto buffer =
            static_cast<PUCHAR>(ExAllocatePoolWithTag(NonPagedPool, bufferSize, CV_TAG_RING_BUFFER));
        if (!buffer)
            return STATUS_INSUFFICIENT_RESOURCES;
        ext->InterruptReadBuffer = ext->ReadBufferBase = ext->CurrentCharSlot = ext->FirstReadableChar =
            buffer;
        ext->LastCharSlot = buffer + bufferSize - 1;
        ext->BufferSize = bufferSize;
        ext->BufferSizePt8 = (bufferSize / 4) * 3 + bufferSize / 16;
        ext->HandFlow.XoffLimit = static_cast<LONG>(bufferSize / 8);
        ext->HandFlow.XonLimit = static_cast<LONG>(bufferSize / 2);
        ext->DeviceIsOpened = TRUE;
        ext->HoldingEmpty = TRUE;
        ext->pChip_Uart->EnableAllInterrupts();
        return STATUS_SUCCESS;
    }

    // Undoes create, connect and open, whatever the port's state.
    void destroy() {
        if (ext) {
            if (ext->Interrupt)
                IoDisconnectInterrupt(ext->Interrupt);
            for (PKTIMER timer : {&ext->LowerRTSTimer, &ext->WriteRequestTotalTimer,
                                  &ext->ReadRequestTotalTimer, &ext->ReadRequestIntervalTimer,
                                  &ext->XoffCountTimer, &ext->ImmediateTotalTimer, &ext->TxEmptyTimer})
                KeCancelTimer(timer);
            // A queue-size request may have replaced the buffer; an engine close frees it.
            if (ext->InterruptReadBuffer)
                ExFreePool(ext->InterruptReadBuffer);
            ext->~CCvDevice(); // frees the UART object
            ext = nullptr;
        }
        if (device) {
            IoDeleteDevice(device);
            device = nullptr;
        }
        if (uart) {
            kernel_->ports().detach(config_.base);
            uart.reset();
        }
    }

    std::unique_ptr<hw::Uart> uart;
    PDEVICE_OBJECT device = nullptr;
    CCvDevice* ext = nullptr;

private:
    nt::Kernel* kernel_ = nullptr;
    HarnessPortConfig config_;
};
