// The device extension of one CvNt port: the request queues and requests in progress, the receive ring
// buffer, the transmit cursor, flow-control and wait-mask state, timeouts, statistics, the deferred
// calls and timers, and the links to the port's UART object and card.
#pragma once

#include "ntddk.h"
#include "ntddser.h"

#include "CvCard.h"
#include "CvUart.h"

class CCvDevice {
public:
    ~CCvDevice();

    LIST_ENTRY TopLevelSharers;
    LIST_ENTRY CommonInterruptObject;
    LARGE_INTEGER IntervalTime;
    LARGE_INTEGER ShortIntervalAmount;
    LARGE_INTEGER LongIntervalAmount;
    LARGE_INTEGER CutOverAmount;
    LARGE_INTEGER LastReadTime;
    UNICODE_STRING DeviceName;
    UNICODE_STRING ObjectDirectory;
    UNICODE_STRING SymbolicLinkName;
    PLARGE_INTEGER IntervalTimeToUse;
    PDEVICE_OBJECT DeviceObject;
    PKSERVICE_ROUTINE OurIsr;
    PVOID OurIsrContext;
    PUCHAR InterruptStatus;
    PKINTERRUPT Interrupt;
    LIST_ENTRY ReadQueue;
    LIST_ENTRY WriteQueue;
    LIST_ENTRY MaskQueue;
    LIST_ENTRY PurgeQueue;
    PIRP CurrentReadIrp;
    PIRP CurrentWriteIrp;
    PIRP CurrentMaskIrp;
    PIRP CurrentPurgeIrp;
    PIRP CurrentWaitIrp;
    PIRP CurrentImmediateIrp;
    PIRP CurrentXoffIrp;
    ULONG WriteLength;
    PUCHAR WriteCurrentChar;
    PUCHAR InterruptReadBuffer;
    PUCHAR ReadBufferBase;
    ULONG CharsInInterruptBuffer;
    PUCHAR CurrentCharSlot;
    PUCHAR LastCharSlot;
    PUCHAR FirstReadableChar;
    PVOID LockPtr;
    ULONG BufferSize;
    ULONG BufferSizePt8;
    ULONG NumberNeededForRead;
    ULONG IsrWaitMask;
    ULONG HistoryMask;
    PULONG IrpMaskLocation;
    ULONG TXHolding;
    ULONG RXHolding;
    ULONG ErrorWord;
    ULONG TotalCharsQueued;
    LONG CountOnLastRead;
    ULONG ReadByIsr;
    LONG CountSinceXoff;
    ULONG CountOfTryingToLowerRTS;
    ULONG m_ulSupportedBauds;
    ULONG PermitShare;
    SERIAL_TIMEOUTS Timeouts;
    SERIAL_CHARS SpecialChars;
    SERIAL_HANDFLOW HandFlow;
    SERIALPERF_STATS PerfStats;
    UCHAR LineControl;
    BOOLEAN DeviceIsOpened;
    BOOLEAN HoldingEmpty;
    BOOLEAN TransmitImmediate;
    BOOLEAN EmptiedTransmit;
    BOOLEAN PortOnAMultiportCard;
    ULONG Vector;
    KIRQL Irql;
    ULONG OriginalVector;
    ULONG OriginalIrql;
    KINTERRUPT_MODE m_InterruptMode;
    KAFFINITY ProcessorAffinity;
    ULONG BusNumber;
    UCHAR ImmediateChar;
    UCHAR ValidDataMask;
    UCHAR EscapeChar;
    BOOLEAN SendXonChar;
    BOOLEAN SendXoffChar;
    BOOLEAN FifoPresent;
    BOOLEAN Jensen;
    BOOLEAN InterruptShareable;
    KSPIN_LOCK ControlLock;
    KDPC CompleteWriteDpc;
    KDPC CompleteReadDpc;
    KDPC TotalReadTimeoutDpc;
    KDPC IntervalReadTimeoutDpc;
    KDPC TotalWriteTimeoutDpc;
    KDPC CommErrorDpc;
    KDPC CommWaitDpc;
    KDPC CompleteImmediateDpc;
    KDPC TotalImmediateTimeoutDpc;
    KDPC XoffCountTimeoutDpc;
    KDPC XoffCountCompleteDpc;
    KDPC StartTimerLowerRTSDpc;
    KDPC PerhapsLowerRTSDpc;
    // The transmit-empty event waits for the shift register: one character time between checks.
    KDPC StartTimerTxEmptyDpc;
    KDPC TxEmptyDpc;
    KTIMER ReadRequestTotalTimer;
    KTIMER ReadRequestIntervalTimer;
    KTIMER WriteRequestTotalTimer;
    KTIMER ImmediateTotalTimer;
    KTIMER XoffCountTimer;
    KTIMER LowerRTSTimer;
    KTIMER TxEmptyTimer;
    ULONG TxEmptyChecks; // checks made since the write queue emptied
    CCvUart* pChip_Uart;
    CCvCard* pParentCard;
    UNICODE_STRING m_uniPathToPort;
    ULONG m_ulForcedComNumber;
    USHORT m_unPortOnCardNumber;
    PKSERVICE_ROUTINE m_CardDependentIsr;
    UCHAR m_ucCtsTrue;
    UCHAR m_ucDuplexOperation;
    UCHAR m_ucBusType;
    UCHAR m_ucBusRelativeInterruptLine;
    KIRQL m_Irql;
    BOOLEAN m_bDisabled;
    ULONG m_ulUartType;
    // Service routine calls that gave up because the UART kept reporting an interrupt.
    ULONG m_ulIsrLoopsAbandoned;
};

// Reasons reception is held (RXHolding) and transmission is held (TXHolding, with the published
// SERIAL_TX_WAITING_FOR_CTS, _DSR, _DCD and _XON bits).
#define SERIAL_RX_DTR_HOLD 0x00000001
#define SERIAL_RX_XOFF_HOLD 0x00000002
#define SERIAL_RX_RTS_HOLD 0x00000004
#define SERIAL_RX_WAITING_FOR_DSR_HOLD 0x00000008
#define SERIAL_TX_BREAK_HOLD 0x00000010

// Reference bits of a request in progress, kept in the fourth "other" parameter of its stack location.
// A request is completed only when its reference word is 0.
#define SERIAL_REF_ISR 0x00000001
#define SERIAL_REF_CANCEL 0x00000002
#define SERIAL_REF_TOTAL_TIMER 0x00000004
#define SERIAL_REF_INT_TIMER 0x00000008
#define SERIAL_REF_XOFF_REF 0x00000010

inline ULONG SerialReferenceCount(PIRP Irp) {
    return static_cast<ULONG>(
        reinterpret_cast<ULONG_PTR>(IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4));
}
inline VOID SerialSetReferenceWord(PIRP Irp, ULONG ulWord) {
    IoGetCurrentIrpStackLocation(Irp)->Parameters.Others.Argument4 =
        reinterpret_cast<PVOID>(ULONG_PTR(ulWord));
}
#define SERIAL_INIT_REFERENCE(Irp) SerialSetReferenceWord((Irp), 0)
#define SERIAL_REFERENCE_COUNT(Irp) SerialReferenceCount(Irp)
#define SERIAL_SET_REFERENCE(Irp, RefType)                                                                   \
    do {                                                                                                     \
        ASSERT(!(SerialReferenceCount(Irp) & (RefType)));                                                    \
        SerialSetReferenceWord((Irp), SerialReferenceCount(Irp) | (RefType));                                \
    } while (0)
#define SERIAL_CLEAR_REFERENCE(Irp, RefType)                                                                 \
    do {                                                                                                     \
        ASSERT(SerialReferenceCount(Irp) & (RefType));                                                       \
        SerialSetReferenceWord((Irp), SerialReferenceCount(Irp) & ~(RefType));                               \
    } while (0)

typedef NTSTATUS (*PSERIAL_START_ROUTINE)(CCvDevice* Extension);
typedef VOID (*PSERIAL_GET_NEXT_ROUTINE)(PIRP* CurrentOpIrp, PLIST_ENTRY QueueToProcess, PIRP* NewIrp,
                                         BOOLEAN CompleteCurrent);

// The state a port's extension starts with: empty queues, the control lock and timers initialised, the
// interval amounts, XON 0x11 and XOFF 0x13, DTR on and RTS on, a 7-bit data mask, closed. The deferred
// calls are initialised with their routines by the extension's creation.
VOID CvSetDeviceDefaults(CCvDevice* Extension);
// The defaults, the deferred calls with their routines, and a port with a UART reset to a closed port's
// state (DTR and RTS off), before its interrupt is connected.
VOID CvInitializeExtension(CCvDevice* Extension);

// Runs Routine synchronised with the port's interrupt: the port's own object, else its card's; when
// neither exists the routine is not run and FALSE is returned.
BOOLEAN CvSynchronizeWithIsr(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE Routine, PVOID Context);

NTSTATUS SerialStartOrQueue(CCvDevice* Extension, PIRP Irp, PLIST_ENTRY QueueToExamine, PIRP* CurrentOpIrp,
                            PSERIAL_START_ROUTINE Starter);
VOID SerialGetNextIrp(PIRP* CurrentOpIrp, PLIST_ENTRY QueueToProcess, PIRP* NextIrp, BOOLEAN CompleteCurrent);
VOID SerialTryToCompleteCurrent(CCvDevice* Extension, PKSYNCHRONIZE_ROUTINE SynchRoutine,
                                KIRQL IrqlForRelease, NTSTATUS StatusToUse, PIRP* CurrentOpIrp,
                                PLIST_ENTRY QueueToProcess, PKTIMER IntervalTimer, PKTIMER TotalTimer,
                                PSERIAL_START_ROUTINE Starter, PSERIAL_GET_NEXT_ROUTINE GetNextIrp,
                                LONG RefType);
VOID SerialRundownIrpRefs(PIRP* CurrentOpIrp, PKTIMER IntervalTimer, PKTIMER TotalTimer);
VOID SerialKillAllReadsOrWrites(PDEVICE_OBJECT DeviceObject, PLIST_ENTRY QueueToClean, PIRP* CurrentOpIrp);
VOID SerialCancelQueued(PDEVICE_OBJECT DeviceObject, PIRP Irp);
NTSTATUS SerialCompleteIfError(PDEVICE_OBJECT DeviceObject, PIRP Irp);
VOID SerialCommError(PKDPC Dpc, PVOID DeferredContext, PVOID SystemContext1, PVOID SystemContext2);
