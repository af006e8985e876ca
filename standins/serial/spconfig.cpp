// The child's records, read into the port's settings: what CvInstal handed the port (its share of the
// card's resources, its UART settings) and the changes a settings update left for it. Nothing is taken on
// trust: a register range outside what the card was given, or a record of another kind, fails the start.
#include "SpConfig.h"

#include "CvInstalRecords.h"
#include "CvUart.h"

namespace {

// A range of `ulLength` bytes at `ulStart` that lies inside the window [ulWindow, ulWindow + ulWindowLength).
BOOLEAN Inside(ULONG ulStart, ULONG ulLength, ULONG ulWindow, ULONG ulWindowLength) {
    return ulWindowLength != 0 && ulStart >= ulWindow && ulStart - ulWindow <= ulWindowLength &&
           ulLength <= ulWindowLength - (ulStart - ulWindow);
}

// An I/O range that port I/O can reach (16-bit addresses).
BOOLEAN IoReachable(ULONG ulStart, ULONG ulLength) {
    return ulStart != 0 && ulStart <= 0x10000u && ulLength <= 0x10000u - ulStart;
}

// The port's registers in the card's mapped window, found by their bus-relative address (the record's
// translated field holds a 32-bit platform's pointer); null when they are not inside it.
PUCHAR MappedRegisters(const CCvCard* pCard, ULONG ulBusRelative, ULONG ulLength) {
    if (!pCard->pvBaseMemory ||
        !Inside(ulBusRelative, ulLength, pCard->ulBusRelativeBaseMemory, pCard->ulBaseMemoryRange))
        return NULL;
    return static_cast<PUCHAR>(pCard->pvBaseMemory) + (ulBusRelative - pCard->ulBusRelativeBaseMemory);
}

// The card's I/O window that holds port n's registers: the UART window (PCI, PCMCIA) or the port's own
// range (ISA).
VOID CardIoWindow(const CCvCard* pCard, ULONG ulBusType, USHORT n, ULONG& ulStart, ULONG& ulLength) {
    if (ulBusType == Isa) {
        ulStart = pCard->aulPortAddress[n - 1];
        ulLength = pCard->aulPortAddressRange[n - 1];
    } else {
        ulStart = pCard->ulBaseAddress;
        ulLength = pCard->ulBaseAddressRange;
    }
}

const CCvPort* PortRecord(PDEVICE_OBJECT Pdo) {
    const CCvPort* pRecord = Pdo ? static_cast<const CCvPort*>(Pdo->DeviceExtension) : NULL;
    if (!pRecord || pRecord->ulExtensionType != CV_KIND_PORT || pRecord->ulPortType != CV_PORT_COM ||
        !pRecord->pCard || pRecord->pCard->ulExtensionType != CV_KIND_CARD || pRecord->unPortNumber < 1 ||
        pRecord->unPortNumber > CV_MAX_CHILDREN)
        return NULL;
    return pRecord;
}

} // namespace

NTSTATUS SpReadPortConfig(PDEVICE_OBJECT Pdo, SP_PORT_CONFIG* pConfig) {
    RtlZeroMemory(pConfig, sizeof *pConfig);
    const CCvPort* pRecord = PortRecord(Pdo);
    if (!pRecord)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    const CCvCard* pCard = pRecord->pCard;
    const USHORT n = pRecord->unPortNumber;
    pConfig->ulBusType = pRecord->ulBusType;
    pConfig->unPortNumber = n;
    pConfig->ulRange = pRecord->ulBaseAddressRange;
    pConfig->ulBusRelativeBase = pRecord->ulBusRelativeBaseAddress;
    if (pConfig->ulRange < UART_REGISTER_COUNT)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    // The registers, where the record says, and inside the window the card was given.
    ULONG ulWindow = 0, ulWindowLength = 0;
    CardIoWindow(pCard, pRecord->ulBusType, n, ulWindow, ulWindowLength);
    const ULONG ulOffset = pConfig->ulRange * (n - 1u);
    if (pRecord->ulAddressSpace == 0) {
        pConfig->bMemory = TRUE;
        pConfig->pucMemoryBase =
            MappedRegisters(pCard, pRecord->ulBusRelativeBaseAddress, UART_REGISTER_COUNT);
        if (!pConfig->pucMemoryBase)
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        // The same port in the UART window, for a later change to I/O access.
        if (ulOffset < ulWindowLength &&
            Inside(ulWindow + ulOffset, UART_REGISTER_COUNT, ulWindow, ulWindowLength) &&
            IoReachable(ulWindow + ulOffset, UART_REGISTER_COUNT))
            pConfig->unIoAlternate = static_cast<USHORT>(ulWindow + ulOffset);
    } else {
        if (!Inside(pRecord->ulBaseAddress, UART_REGISTER_COUNT, ulWindow, ulWindowLength) ||
            !IoReachable(pRecord->ulBaseAddress, UART_REGISTER_COUNT))
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        pConfig->unIoBase = static_cast<USHORT>(pRecord->ulBaseAddress);
        if (pRecord->ulBusType == PCIBus)
            pConfig->pucMemoryAlternate =
                MappedRegisters(pCard, pCard->ulBusRelativeBaseMemory + ulOffset, UART_REGISTER_COUNT);
    }

    pConfig->ulInterruptLevel = pRecord->ulInterruptLevel;
    pConfig->ulInterruptVector = pRecord->ulInterruptVector;
    pConfig->Affinity = pRecord->ulInterruptAffinity;
    pConfig->ulBusRelativeVector = pRecord->ulBusRelativeInterruptVector;
    if (pConfig->ulInterruptVector == 0)
        return STATUS_DEVICE_CONFIGURATION_ERROR;

    pConfig->ulClock = pRecord->ulClockFrequency;
    pConfig->ulClockAdjustment = pRecord->ulClockFrequencyAdjustment;
    pConfig->ulPlxType = pRecord->ulPlxBaudClockType;
    pConfig->ulPlxDivisor = pRecord->ulPlxBaudClockDivisor;
    pConfig->ulPlxOffset = pRecord->ulPlxBaudClockOffset;
    if (pRecord->ulBusType == PCIBus) {
        if (IoReachable(pCard->ulPlxAddress, pCard->ulPlxAddressRange)) {
            pConfig->unPlxIo = static_cast<USHORT>(pCard->ulPlxAddress);
            pConfig->ulPlxRange = pCard->ulPlxAddressRange;
        }
        if (IoReachable(pCard->ulIoWindow2Address, pCard->ulIoWindow2AddressRange)) {
            pConfig->unWindow2Io = static_cast<USHORT>(pCard->ulIoWindow2Address);
            pConfig->ulWindow2Range = pCard->ulIoWindow2AddressRange;
        }
    }
    pConfig->ucDuplex = static_cast<UCHAR>(pRecord->ulDuplexOperation);
    pConfig->ucCtsTrue = static_cast<UCHAR>(pRecord->ulCtsTrue);
    pConfig->lRxTrigger = pRecord->lRxTriggerLevel;
    pConfig->lTxTrigger = pRecord->lTxTriggerLevel;
    pConfig->lSoftTxLimit = pRecord->lSoftTxLimit;
    pConfig->ulUartType = pRecord->ulUartType;
    pConfig->ulMultiplier = pRecord->ulBaudrateMultiplier ? pRecord->ulBaudrateMultiplier : 1;
    pConfig->ulMaximumBaudrate = pCard->ulMaximumBaudrate;
    pConfig->CardPdo = pCard->PhysicalDeviceObject;
    return pConfig->ulClock ? STATUS_SUCCESS : STATUS_DEVICE_CONFIGURATION_ERROR;
}

VOID SpReadPending(PDEVICE_OBJECT Pdo, SP_PENDING* pPending) {
    RtlZeroMemory(pPending, sizeof *pPending);
    const CCvPort* pRecord = PortRecord(Pdo);
    if (!pRecord)
        return;
    pPending->bUartType = pRecord->bUartTypeChanged != 0;
    pPending->ucUartType = pRecord->ucNewUartType;
    pPending->bCtsTrue = pRecord->bCtsTrueChanged != 0;
    pPending->ucCtsTrue = static_cast<UCHAR>(pRecord->ulNewCtsTrue);
    pPending->bDuplex = pRecord->bDuplexChanged != 0;
    pPending->ucDuplex = static_cast<UCHAR>(pRecord->ulNewDuplexOperation);
    pPending->bTriggers = pRecord->bTriggerLevelsChanged != 0;
    pPending->lRxTrigger = pRecord->lNewRxTriggerLevel;
    pPending->lTxTrigger = pRecord->lNewTxTriggerLevel;
    pPending->bSoftTxLimit = pRecord->bSoftTxLimitChanged != 0;
    pPending->lSoftTxLimit = pRecord->lNewSoftTxLimit;
    // A port's own divisor comes before the card's.
    if (pRecord->bDivisorChanged) {
        pPending->bDivisor = TRUE;
        pPending->ulDivisor = pRecord->ulNewPlxBaudClockDivisor;
    } else if (pRecord->pCard->bDivisorChanged) {
        pPending->bDivisor = TRUE;
        pPending->ulDivisor = pRecord->pCard->ulNewPlxBaudClockDivisor;
    }
    pPending->bMultiplier = pRecord->bBaudrateMultiplierChanged != 0;
    pPending->ulMultiplier = pRecord->ulNewBaudrateMultiplier;
    pPending->bAccess = pRecord->pCard->bAccessChanged != 0;
    pPending->bUsePortSpace = pRecord->pCard->bNewUsePortSpaceAccess != 0;
}
