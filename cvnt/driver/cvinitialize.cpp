// Making the ports of a PCI card real: the bridge's baud clock divisor, and the divisor the port's UART
// object works with, which must be the one the bridge applies.
#include "CvPortList.h"

#include "CvBridge.h"
#include "CvEngine.h"
#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "CvUart.h"
#include "CvUnicode.h"
#include "cvntmsg.h"

namespace {

PUCHAR PortAddress(ULONG ulAddress) {
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(ulAddress));
}

} // namespace

namespace {

// The divisor the configuration gives a port's bridge register.
USHORT ConfiguredDivisor(PCCvDeviceStruct pNode) {
    CCvCard* pCard = pNode->pClass->pParentCard;
    // The card's divisor is the template's, replaced by the installed card's only when it gives one:
    // exactly what a card-wide bridge register is programmed with.
    USHORT unDivisor = pCard->m_unPlxBaudClockDivisor;
    PParametersCardPortStruct pPort = pNode->pAssociatedParametersCardPortStruct;
    // A port's own divisor can be honoured only by a bridge with a register per port.
    if (pPort && pPort->PlxBaudClockDivisor != -1 && pCard->m_ucPlxBaudClockType == CV_PLX_TYPE_PER_PORT)
        unDivisor = static_cast<USHORT>(pPort->PlxBaudClockDivisor);
    return unDivisor;
}

} // namespace

USHORT CvPciPortClockDivisor(PCCvDeviceStruct pNode) {
    CCvCard* pCard = pNode->pClass->pParentCard;
    USHORT unDivisor = ConfiguredDivisor(pNode);
    // A bridge register can only divide by 1, 2, 4 or 8; any other divisor is written as /8, and the
    // UART must count with what the bridge really applies.
    BOOLEAN bValid = TRUE;
    const CV_BRIDGE_DIVISOR& Applied = CvBridgeValuesFor(unDivisor, bValid);
    if (pCard->m_ucPlxBaudClockType >= CV_PLX_TYPE_BYTE &&
        pCard->m_ucPlxBaudClockType <= CV_PLX_TYPE_PER_PORT)
        unDivisor = Applied.unDivisor;
    return unDivisor;
}

namespace {

// Whether a bridge register of ulWidth bytes at ulOffset lies inside a window of ulLength bytes; logs the
// register that does not (it is then not written: the driver writes nothing it did not claim).
BOOLEAN InsideWindow(CCvCard* pCard, ULONG ulOffset, ULONG ulWidth, ULONG ulLength) {
    if (ulOffset < ulLength && ulWidth <= ulLength - ulOffset)
        return TRUE;
    LogWithTwoNumbers(CVNT_BRIDGE_REGISTER_OUTSIDE_WINDOW, ulOffset, pCard->ulDeviceID, 16, 16);
    return FALSE;
}

} // namespace

NTSTATUS InitializePlxChip(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* pDevice = pNode->pClass;
        CCvCard* pCard = pDevice->pParentCard;
        BOOLEAN bValid = TRUE;
        USHORT unDivisor = pCard->m_unPlxBaudClockDivisor;
        UCHAR ucType = pCard->m_ucPlxBaudClockType;
        // The bridge registers live in windows only PCI cards have: an ISA card has none to program.
        if (pDevice->m_ucBusType == Isa && ucType >= CV_PLX_TYPE_BYTE && ucType <= CV_PLX_TYPE_PER_PORT)
            ucType = CV_PLX_TYPE_NONE;
        const ULONG ulOffset = pCard->m_unPlxBaudClockOffset;
        switch (ucType) {
        case CV_PLX_TYPE_NONE:
        case CV_PLX_TYPE_FIXED:
            break;
        case CV_PLX_TYPE_BYTE:
            if (CvIsFirstPortOfCard(pNode) && InsideWindow(pCard, ulOffset, 1, pCard->m_ulPlxAddressRange))
                WRITE_PORT_UCHAR(PortAddress(pCard->m_unPlxAddress + ulOffset),
                                 CvBridgeValuesFor(unDivisor, bValid).ucByte);
            break;
        case CV_PLX_TYPE_WORD:
            if (CvIsFirstPortOfCard(pNode) && InsideWindow(pCard, ulOffset, 2, pCard->m_ulPlxAddressRange))
                WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(PortAddress(pCard->m_unPlxAddress + ulOffset)),
                                  CvBridgeValuesFor(unDivisor, bValid).unWord);
            break;
        case CV_PLX_TYPE_PER_PORT: {
            if (pDevice->m_bDisabled)
                break;
            unDivisor = ConfiguredDivisor(pNode);
            UCHAR ucValue = static_cast<UCHAR>(CvBridgeValuesFor(unDivisor, bValid).ucPerPort |
                                               (pDevice->m_ucDuplexOperation & CV_PLX_DUPLEX_MASK) |
                                               (pDevice->m_ucCtsTrue & CV_PLX_CTS_TRUE));
            // Port m's register is the m-th of the second window's registers, two bytes apart.
            ULONG ulPortOffset = CV_PLX_PER_PORT_STRIDE * (pDevice->m_unPortOnCardNumber - 1u);
            if (InsideWindow(pCard, ulPortOffset, 1, pCard->m_ulIoWindow2AddressRange))
                WRITE_PORT_UCHAR(PortAddress(pCard->m_unIoWindow2Address + ulPortOffset), ucValue);
            break;
        }
        default:
            return CV_STATUS_SEVERE;
        }
        if (!bValid)
            LogWithNumber(CVNT_INVALID_BAUD_CLOCK_DIVISOR, unDivisor, 16);
    }
    return STATUS_SUCCESS;
}

namespace {

PUCHAR RegisterAt(USHORT unAddress) {
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(unAddress));
}

// Translates an I/O window; FALSE when it cannot be, with bMemory set when it landed in memory space.
BOOLEAN TranslateIo(INTERFACE_TYPE Bus, ULONG ulBus, ULONG ulAddress, PUSHORT punTranslated,
                    BOOLEAN& bMemory) {
    PHYSICAL_ADDRESS BusAddress, Translated;
    BusAddress.QuadPart = ulAddress;
    ULONG ulSpace = 1;
    bMemory = FALSE;
    if (!HalTranslateBusAddress(Bus, ulBus, BusAddress, &ulSpace, &Translated))
        return FALSE;
    if (ulSpace != 1) {
        bMemory = TRUE;
        return FALSE;
    }
    *punTranslated = static_cast<USHORT>(Translated.QuadPart);
    return TRUE;
}

// Deletes the card's resources result list.
VOID FreeResources(PCM_RESOURCE_LIST& pList) {
    if (pList)
        ExFreePool(pList);
    pList = NULL;
}

} // namespace

NTSTATUS CvCreatePortUart(CCvDevice* pDevice, ULONG ulConfiguredType, USHORT unBase, ULONG ulBusRelativeBase,
                          USHORT unRange, ULONG ulClock, ULONG ulClockAdjustment, ULONG ulDivisor,
                          LONG lRxTrigger, LONG lTxTrigger, LONG lSoftTxLimit, BOOLEAN bIsa,
                          ULONG ulDeviceId) {
    UCHAR ucType = ulConfiguredType ? static_cast<UCHAR>(ulConfiguredType) : DetectUart(unBase);
    ULONG ulMessage = 0;
    switch (ucType) {
    case CV_UART_16450:
        ulMessage = bIsa ? CVNT_ISA_UART450_DETECTED : CVNT_UART450_DETECTED;
        break;
    case CV_UART_16550:
        ulMessage = bIsa ? CVNT_ISA_UART550_DETECTED : CVNT_UART550_DETECTED;
        break;
    case CV_UART_16750:
        ulMessage = bIsa ? CVNT_ISA_UART750_DETECTED : CVNT_UART750_DETECTED;
        break;
    case CV_UART_16950:
        ulMessage = bIsa ? CVNT_ISA_UART950_DETECTED : CVNT_UART950_DETECTED;
        break;
    default:
        break;
    }
    CCvUart* pUart = ulMessage ? CvAllocateUart(ucType) : NULL;
    if (!pUart) {
        if (bIsa)
            Log(CVNT_ISA_UNKNOWN_UART);
        else
            LogWithNumber(CVNT_UNKNOWN_UART, ulDeviceId, 16);
        return CV_STATUS_SEVERE;
    }
    if (bIsa)
        Log(ulMessage);
    else
        LogWithNumber(ulMessage, ulDeviceId, 16);
    pUart->m_unBaseAddress = unBase;
    pUart->m_ulBusRelativeBaseAddress = ulBusRelativeBase;
    pUart->m_unBaseAddressRange = unRange;
    pUart->m_ulClockFrequency = ulClock;
    pUart->m_ulClockFrequencyAdjustment = ulClockAdjustment;
    pUart->m_unPlxBaudClockDivisor = ulDivisor;
    pUart->m_lRxTriggerLevel = lRxTrigger;
    pUart->m_lTxTriggerLevel = lTxTrigger;
    pUart->m_lSoftTxLimit = lSoftTxLimit;
    CvCompleteUartSetUp(pUart);
    if (pDevice->pChip_Uart)
        delete pDevice->pChip_Uart;
    pDevice->pChip_Uart = pUart;
    pDevice->m_ulSupportedBauds = pUart->GetSupportedBauds();
    return STATUS_SUCCESS;
}

NTSTATUS CreateDeviceObjectsAndSymbolicLinks(PDRIVER_OBJECT DriverObject, CCvLinkedList* pList,
                                             ULONG ulInterfaceType) {
    const ULONG ulSize = sizeof(CCvDeviceStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    NTSTATUS Result = STATUS_SUCCESS;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* pDevice = pNode->pClass;
        if (pDevice->m_bDisabled)
            continue;
        CCvUnicode uniName(NonPagedPool, u"\\Device\\"), uniLink(NonPagedPool, u"\\??\\");
        if (uniName.Status != STATUS_SUCCESS || uniLink.Status != STATUS_SUCCESS ||
            uniName.Append(static_cast<PCUNICODE_STRING>(&pDevice->DeviceName)) != STATUS_SUCCESS ||
            uniLink.Append(static_cast<PCUNICODE_STRING>(&pDevice->SymbolicLinkName)) != STATUS_SUCCESS)
            return CV_STATUS_SEVERE;
        PDEVICE_OBJECT pObject = NULL;
        if (!NT_SUCCESS(
                IoCreateDevice(DriverObject, 0, uniName, FILE_DEVICE_SERIAL_PORT, 0, TRUE, &pObject))) {
            // This port cannot be served: it gives its name back, and the other ports are made.
            LogWithString(CVNT_DEVICE_OBJECT_ERROR, uniName);
            CvDisablePort(pDevice);
            Result = STATUS_UNSUCCESSFUL;
            continue;
        }
        pObject->DeviceExtension = pDevice;
        pObject->Flags |= DO_BUFFERED_IO;
        pDevice->DeviceObject = pObject;
        IoCreateSymbolicLink(uniLink, uniName); // a link that cannot be made is not fatal
    }
    ULONG ulCards = 0;
    auto* pNode = static_cast<PCCvDeviceStruct>(pList->GetStartNode(ulSize));
    while (pNode) {
        if (!CvIsFirstPortOfCard(pNode)) {
            pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        CCvUnicode uniName(NonPagedPool,
                           ulInterfaceType == PCIBus ? u"\\Device\\CvNtPciCard" : u"\\Device\\CvNtIsaCard");
        if (uniName.Status != STATUS_SUCCESS || uniName.Append(++ulCards, 10) != STATUS_SUCCESS)
            return CV_STATUS_SEVERE;
        CCvCard* pCard = pNode->pClass->pParentCard;
        if (!NT_SUCCESS(IoCreateDevice(DriverObject, 0, uniName, FILE_DEVICE_SERIAL_PORT, 0, TRUE,
                                       &pCard->DeviceObject))) {
            // Without its own device the card can own no claim: it goes with its ports.
            pCard->DeviceObject = NULL;
            LogWithString(CVNT_CARD_DEVICE_OBJECT_ERROR, uniName);
            Log(CVNT_CARD_DEVICE_FAILED_REMOVED);
            Result = STATUS_UNSUCCESSFUL;
            pNode = UnloadOneCard(pList, DriverObject);
            continue;
        }
        pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
    }
    return Result;
}

NTSTATUS AssignPciResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject) {
    const ULONG ulSize = sizeof(CCvDeviceStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    UNICODE_STRING uniClass;
    RtlInitUnicodeString(&uniClass, CV_DRIVER_CLASS);
    BOOLEAN bAnyUntranslatable = FALSE;
    auto* pNode = static_cast<PCCvDeviceStruct>(pList->GetStartNode(ulSize));
    while (pNode) {
        if (!CvIsFirstPortOfCard(pNode)) {
            pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        CCvCard* pCard = pNode->pClass->pParentCard;
        PCI_SLOT_NUMBER Slot;
        Slot.u.AsULONG = 0;
        Slot.u.bits.DeviceNumber = pCard->ucDeviceNumber;
        Slot.u.bits.FunctionNumber = pCard->ucFunctionNumber;
        PCM_RESOURCE_LIST pResources = NULL;
        ULONG ulAttempt = 1;
        for (; ulAttempt <= 5; ulAttempt++) {
            if (NT_SUCCESS(HalAssignSlotResources(&pCard->m_uniPathToCard, &uniClass, DriverObject,
                                                  pCard->DeviceObject, PCIBus, pCard->ulBusNumber,
                                                  Slot.u.AsULONG, &pResources)) &&
                pResources)
                break;
            CCvUnicode uniAttempt(PagedPool, ulAttempt, 10);
            LogWithTwoStrings(CVNT_RESOURCE_ATTEMPT_FAILED, pCard->m_uniPathToCard.Buffer, uniAttempt);
        }
        if (ulAttempt > 5) {
            LogWithString(CVNT_RESOURCE_LAST_ATTEMPT_FAILED, pCard->m_uniPathToCard.Buffer);
            pNode = UnloadOneCard(pList, DriverObject);
            continue;
        }

        BOOLEAN bRemove = pResources->Count != 1, bUntranslatable = FALSE;
        if (bRemove)
            LogWithTwoNumbers(CVNT_RESOURCE_COUNT_WRONG, pCard->ulDeviceID, pResources->Count, 16, 16);
        PCM_PARTIAL_RESOURCE_LIST pPartial = &pResources->List[0].PartialResourceList;
        for (ULONG i = 0; pResources->Count >= 1 && i < pPartial->Count; i++) {
            PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &pPartial->PartialDescriptors[i];
            if (d->Type == CmResourceTypeInterrupt && d->Flags == CM_RESOURCE_INTERRUPT_LEVEL_SENSITIVE) {
                pCard->OriginalIrql = d->u.Interrupt.Level;
                pCard->OriginalVector = d->u.Interrupt.Vector;
                pCard->Vector =
                    HalGetInterruptVector(PCIBus, pCard->ulBusNumber, d->u.Interrupt.Level,
                                          d->u.Interrupt.Vector, &pCard->Irql, &pCard->ProcessorAffinity);
                pCard->m_InterruptMode = LevelSensitive;
                LogWithThreeNumbers(CVNT_INTERRUPT_ALLOCATED, pCard->OriginalVector, pCard->OriginalIrql,
                                    pCard->ulDeviceID, 16, 16, 16);
                continue;
            }
            if (d->Type != CmResourceTypePort || !(d->Flags & CM_RESOURCE_PORT_IO) || i < 2 || i > 4)
                continue;
            ULONG ulStart = static_cast<ULONG>(d->u.Port.Start.QuadPart);
            USHORT unTranslated = 0;
            BOOLEAN bMemory = FALSE;
            if (!TranslateIo(PCIBus, pCard->ulBusNumber, ulStart, &unTranslated, bMemory)) {
                FreeResources(pResources);
                if (!bMemory) {
                    bUntranslatable = TRUE;
                    break;
                }
                LogWithNumber(i == 3 ? CVNT_BASE_ADDRESS_MEMORY_MAPPED : CVNT_PLX_ADDRESS_MEMORY_MAPPED,
                              pCard->ulDeviceID, 16);
                return CV_STATUS_SEVERE;
            }
            if (i == 2) {
                pCard->m_ulBusRelativePlxAddress = ulStart;
                pCard->m_ulPlxAddressRange = d->u.Port.Length;
                pCard->m_unPlxAddress = unTranslated;
                LogWithTwoNumbers(CVNT_PLX_ADDRESS_ALLOCATED, unTranslated, pCard->ulDeviceID, 16, 16);
            } else if (i == 3) {
                pCard->m_ulBusRelativeBaseAddress = ulStart;
                pCard->ulBaseAddressRange = d->u.Port.Length;
                pCard->unBaseAddress = unTranslated;
                LogWithTwoNumbers(CVNT_BASE_ADDRESS_ALLOCATED, unTranslated, pCard->ulDeviceID, 16, 16);
            } else {
                pCard->m_ulBusRelativeIoWindow2Address = ulStart;
                pCard->m_ulIoWindow2AddressRange = d->u.Port.Length;
                pCard->m_unIoWindow2Address = unTranslated;
                LogWithTwoNumbers(CVNT_PLX_ADDRESS_ALLOCATED, unTranslated, pCard->ulDeviceID, 16, 16);
            }
        }
        FreeResources(pResources);
        if (bUntranslatable) {
            LogWithNumber(CVNT_PCI_WINDOW_UNTRANSLATABLE, pCard->ulDeviceID, 16);
            bAnyUntranslatable = TRUE;
            // This card and those not handled yet have no addresses: they go, so that no port without an
            // address is ever touched; the cards handled so far are served.
            while (pNode)
                pNode = UnloadOneCard(pList, DriverObject);
            break;
        }
        if (bRemove) {
            pNode = UnloadOneCard(pList, DriverObject);
            continue;
        }
        pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
    }

    if (!pList->m_pvStartStruct)
        return CV_STATUS_SEVERE;
    for (pNode = static_cast<PCCvDeviceStruct>(pList->GetStartNode(ulSize)); pNode;
         pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize))) {
        CCvDevice* pDevice = pNode->pClass;
        CCvCard* pCard = pDevice->pParentCard;
        pDevice->Vector = pCard->Vector;
        pDevice->Irql = pCard->Irql;
        pDevice->OriginalVector = pCard->OriginalVector;
        pDevice->OriginalIrql = pCard->OriginalIrql;
        pDevice->ProcessorAffinity = pCard->ProcessorAffinity;
        pDevice->m_InterruptMode = pCard->m_InterruptMode;
        pNode->unBaseAddress = pCard->unBaseAddress;
        pNode->ulBusRelativeBaseAddress = pCard->m_ulBusRelativeBaseAddress;
        pNode->unBaseAddressRange = static_cast<USHORT>(pCard->ulBaseAddressRange);
    }
    return bAnyUntranslatable ? STATUS_UNSUCCESSFUL : STATUS_SUCCESS;
}

NTSTATUS CreateAndInitializeUart(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    ULONG ulIndex = 0;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* pDevice = pNode->pClass;
        CCvCard* pCard = pDevice->pParentCard;
        ulIndex = CvIsFirstPortOfCard(pNode) ? 0 : ulIndex + 1;
        if (pDevice->m_bDisabled)
            continue;
        PTemplatesCardStruct t = pNode->pAssociatedTemplatesCardStruct;
        PParametersCardPortStruct pPort = pNode->pAssociatedParametersCardPortStruct;
        LONG lRx = t->RxTriggerLevel, lTx = t->TxTriggerLevel, lSoft = t->SoftTxLimit;
        if (pPort && pPort->RxTriggerLevel != -1)
            lRx = pPort->RxTriggerLevel;
        if (pPort && pPort->TxTriggerLevel != -1)
            lTx = pPort->TxTriggerLevel;
        if (pPort && pPort->SoftTxLimit != -1)
            lSoft = pPort->SoftTxLimit;
        // The port's registers must lie inside the card's UART window, which is all that was claimed.
        ULONG ulOffset = (pCard->ulBaseAddressAlignment & 0xFFFF) * ulIndex;
        if (ulOffset + UART_REGISTER_COUNT > pNode->unBaseAddressRange) {
            LogWithTwoNumbers(CVNT_PORT_OUTSIDE_WINDOW, pDevice->m_unPortOnCardNumber, pCard->ulDeviceID, 10,
                              16);
            CvDisablePort(pDevice);
            continue;
        }
        USHORT unBase = static_cast<USHORT>(pNode->unBaseAddress + ulOffset);
        NTSTATUS Status =
            CvCreatePortUart(pDevice, pDevice->m_ulUartType, unBase, pNode->ulBusRelativeBaseAddress,
                             pNode->unBaseAddressRange, t->ClockFrequency, t->ClockFrequencyAdjustment,
                             CvPciPortClockDivisor(pNode), lRx, lTx, lSoft, FALSE, pCard->ulDeviceID);
        if (Status != STATUS_SUCCESS)
            return Status;
    }
    return STATUS_SUCCESS;
}

namespace {

// What a port needs before its interrupt can arrive: its routine's context, the FIFO and the line
// settings of a closed port (7 data bits, even parity, 1 stop bit) in its line control register.
VOID PrepareForInterrupts(CCvDevice* Extension) {
    Extension->OurIsrContext = Extension;
    Extension->FifoPresent = TRUE;
    Extension->LineControl = UART_LCR_7_BITS | UART_LCR_EVEN_PARITY;
    WRITE_PORT_UCHAR(RegisterAt(static_cast<USHORT>(Extension->pChip_Uart->m_unBaseAddress + UART_LCR)),
                     Extension->LineControl);
}

} // namespace

NTSTATUS ConnectInterrupts(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* Extension = pNode->pClass;
        if (Extension->m_bDisabled || Extension->pParentCard->m_ulSisrAddress || !Extension->pChip_Uart ||
            Extension->Interrupt)
            continue;
        Extension->OurIsr = SerialISR;
        PrepareForInterrupts(Extension);
        if (!NT_SUCCESS(IoConnectInterrupt(
                &Extension->Interrupt, SerialISR, Extension, NULL, Extension->Vector, Extension->Irql,
                Extension->Irql, Extension->m_InterruptMode, TRUE, Extension->ProcessorAffinity, FALSE))) {
            Extension->Interrupt = NULL;
            LogWithNumber(CVNT_INTERRUPT_CONNECT_ERROR, Extension->pParentCard->ulDeviceID, 16);
            return CV_STATUS_SEVERE;
        }
    }
    return STATUS_SUCCESS;
}

NTSTATUS ConnectSisrInterrupts(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* Extension = pNode->pClass;
        CCvCard* pCard = Extension->pParentCard;
        if (!pCard->m_ulSisrAddress)
            continue; // connected by ConnectInterrupts
        if (!Extension->m_bDisabled && Extension->pChip_Uart) {
            Extension->m_CardDependentIsr = SerialISR;
            PrepareForInterrupts(Extension);
        }
        // The card's interrupt once, at its first port, whether or not that port is enabled; a card
        // whose ports are all disabled has nothing to serve.
        if (CvIsFirstPortOfCard(pNode) && !pCard->Interrupt && CvCardHasEnabledPort(pCard)) {
            pCard->OurIsr = SisrIsr;
            if (!NT_SUCCESS(IoConnectInterrupt(&pCard->Interrupt, SisrIsr, pCard, NULL, pCard->Vector,
                                               pCard->Irql, pCard->Irql, pCard->m_InterruptMode, TRUE,
                                               pCard->ProcessorAffinity, FALSE))) {
                pCard->Interrupt = NULL;
                Log(CVNT_SISR_INTERRUPT_CONNECT_ERROR);
                return CV_STATUS_SEVERE;
            }
        }
    }
    return STATUS_SUCCESS;
}
