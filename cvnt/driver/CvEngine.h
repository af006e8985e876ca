// The routines of the port engine: interrupt service, modem lines and flow control, wait-on-mask, and the
// read, write and immediate-character paths, device control, open and close, flush, purge and file
// information.
#pragma once

#include "CvDevice.h"

// Interrupt service (isr).
BOOLEAN SisrIsr(PKINTERRUPT InterruptObject, PVOID Context);
BOOLEAN SerialISR(PKINTERRUPT InterruptObject, PVOID Context);
VOID SerialPutChar(CCvDevice* Extension, UCHAR CharToPut);
UCHAR SerialProcessLSR(CCvDevice* Extension);

// Modem lines and flow control (modmflow). Routines with a PVOID context run synchronised with the
// interrupt and take the extension (SerialSetHandFlow: a CV_HANDFLOW_CONTEXT).
BOOLEAN SerialSetDTR(PVOID Context);
BOOLEAN SerialClrDTR(PVOID Context);
BOOLEAN SerialSetRTS(PVOID Context);
BOOLEAN SerialClrRTS(PVOID Context);
NTSTATUS SerialSetupNewHandFlow(CCvDevice* Extension, PSERIAL_HANDFLOW NewHandFlow);
typedef struct _CV_HANDFLOW_CONTEXT {
    CCvDevice* Extension;
    PSERIAL_HANDFLOW HandFlow;
} CV_HANDFLOW_CONTEXT;
BOOLEAN SerialSetHandFlow(PVOID Context);
BOOLEAN SerialTurnOnBreak(PVOID Context);
BOOLEAN SerialTurnOffBreak(PVOID Context);
BOOLEAN SerialPretendXoff(PVOID Context);
BOOLEAN SerialPretendXon(PVOID Context);
ULONG SerialHandleModemUpdate(CCvDevice* Extension, BOOLEAN DoingTX);
BOOLEAN SerialHandleReducedIntBuffer(PVOID Context);
VOID SerialProdXonXoff(CCvDevice* Extension, BOOLEAN SendXon);
BOOLEAN SerialPerhapsLowerRTS(PVOID Context);
VOID SerialStartTimerLowerRTS(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialInvokePerhapsLowerRTS(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1,
                                 PVOID SystemContext2);
BOOLEAN SerialDecrementRTSCounter(PVOID Context);
LARGE_INTEGER SerialGetCharTime(CCvDevice* Extension);

// Wait-on-mask (waitmask).
NTSTATUS SerialStartMask(CCvDevice* Extension);
typedef struct _CV_NEW_MASK_CONTEXT {
    CCvDevice* Extension;
    ULONG NewMask;
} CV_NEW_MASK_CONTEXT;
BOOLEAN SerialFinishOldWait(PVOID Context);
BOOLEAN SerialGiveWaitToIsr(PVOID Context);
BOOLEAN SerialGrabWaitFromIsr(PVOID Context);
VOID SerialCancelWait(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID SerialCompleteWait(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);

// Read path (read).
// How a read is timed under a port's timeouts: the interval timer (llInterval, 100 ns), the total timer
// (llTotal, relative 100 ns, negative), a return at once with what is buffered, a return as soon as
// anything arrived, and the shrinking of the request to one character.
typedef struct _CV_READ_TIMING {
    BOOLEAN bUseInterval;
    BOOLEAN bUseTotal;
    BOOLEAN bReturnWhatsPresent;
    BOOLEAN bReturnOnAny;
    BOOLEAN bCrunchToOne;
    LONGLONG llInterval;
    LONGLONG llTotal;
} CV_READ_TIMING;
VOID CvReadTiming(const SERIAL_TIMEOUTS* pTimeouts, ULONG ulLength, CV_READ_TIMING* pTiming);
NTSTATUS SerialRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialStartRead(CCvDevice* Extension);
VOID SerialCompleteRead(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialReadTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialIntervalReadTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialCancelCurrentRead(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN SerialGrabReadFromIsr(PVOID Context);
BOOLEAN SerialUpdateReadByIsr(PVOID Context);
ULONG SerialGetCharsFromIntBuffer(CCvDevice* Extension);
BOOLEAN SerialUpdateInterruptBuffer(PVOID Context);
BOOLEAN SerialUpdateAndSwitchToUser(PVOID Context);
VOID SerialResizeBuffer(CCvDevice* Extension);
BOOLEAN SerialUpdateAndSwitchToNew(PVOID Context);

// Write path and XOFF counter (write).
// The relative 100 ns due time of a write total timeout for Count bytes; 0 when none is set.
LONGLONG CvWriteTotalTimeout(ULONG Multiplier, ULONG Constant, ULONG Count);
NTSTATUS SerialWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialStartWrite(CCvDevice* Extension);
VOID SerialGetNextWrite(PIRP* CurrentOpIrp, PLIST_ENTRY QueueToProcess, PIRP* NewIrp,
                        BOOLEAN CompleteCurrent);
BOOLEAN SerialGiveWriteToIsr(PVOID Context);
VOID SerialCompleteWrite(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialWriteTimeout(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialCancelCurrentWrite(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN SerialGrabWriteFromIsr(PVOID Context);
BOOLEAN SerialProcessEmptyTransmit(PVOID Context);
VOID SerialStartTimerTxEmpty(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialInvokeProcessEmptyTransmit(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1,
                                      PVOID SystemContext2);
// Whether the transmitter has really emptied (holding register or FIFO, and the shift register); read
// synchronised with the interrupt.
BOOLEAN CvTransmitterEmpty(CCvDevice* Extension);
// Checks again one character time later whether the transmitter has emptied (bounded).
VOID CvCheckTransmitterSoon(CCvDevice* Extension);
BOOLEAN SerialGiveXoffToIsr(PVOID Context);
BOOLEAN SerialGrabXoffFromIsr(PVOID Context);
VOID SerialCompleteXoff(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialTimeoutXoff(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialCancelCurrentXoff(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Immediate character (immediat).
VOID SerialStartImmediate(CCvDevice* Extension);
BOOLEAN SerialGiveImmediateToIsr(PVOID Context);
BOOLEAN SerialGrabImmediateFromIsr(PVOID Context);
VOID SerialGetNextImmediate(PIRP* CurrentOpIrp, PLIST_ENTRY QueueToProcess, PIRP* NewIrp,
                            BOOLEAN CompleteCurrent);
VOID SerialCompleteImmediate(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialTimeoutImmediate(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
VOID SerialCancelImmediate(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Device control requests (ioctl).
NTSTATUS CvIoControl(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Flush, purge and file information (flush, purge, qsfile).
NTSTATUS SerialFlush(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialStartFlush(CCvDevice* Extension);
NTSTATUS SerialStartPurge(CCvDevice* Extension);
BOOLEAN SerialPurgeInterruptBuff(PVOID Context);
NTSTATUS SerialQueryInformationFile(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialSetInformationFile(PDEVICE_OBJECT DeviceObject, PIRP Irp);

// Open, close, cleanup and port resets (openclos).
NTSTATUS SerialCreateOpen(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialClose(PDEVICE_OBJECT DeviceObject, PIRP Irp);
// Ends every request of the port: the queues, the requests in progress and the wait.
VOID CvKillAllRequests(PDEVICE_OBJECT DeviceObject);
NTSTATUS SerialCleanup(PDEVICE_OBJECT DeviceObject, PIRP Irp);
BOOLEAN SerialReset(PVOID Context);
BOOLEAN CvSerialReset(PVOID Context);
BOOLEAN SerialMarkOpen(PVOID Context);
BOOLEAN SerialMarkClose(PVOID Context);
BOOLEAN SerialCheckOpen(PVOID Context);
BOOLEAN SerialNullSynch(PVOID Context);

// Shared steps.
// Hands the events seen to a waiting wait-on-mask request, when there is one and there are events.
VOID CvDeliverWaitEvents(CCvDevice* Extension);
// Queues an attempt to lower RTS after transmission (transmit-toggle mode), counting it when new.
VOID CvQueueLowerRtsAttempt(CCvDevice* Extension);
// Disables and re-enables the UART's interrupts so that it raises a fresh transmit interrupt.
VOID CvKickTransmitter(CCvDevice* Extension);
