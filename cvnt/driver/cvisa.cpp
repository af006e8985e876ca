// ISA cards: card and port objects from the installed-card records, the claims of each port's range and
// interrupt (or, for cards with a shared interrupt status register, the card's register and interrupt),
// and the UART objects.
#include "CvPortList.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "CvUart.h"
#include "cvntmsg.h"

namespace {

// A requirements list with a port range and, when ulVector is given, a latched interrupt. The range is
// asked for exactly (its last address as the maximum), so the claim cannot come back shifted.
PIO_RESOURCE_REQUIREMENTS_LIST MakeRequirements(ULONG ulBase, ULONG ulLength, ULONG ulAlignment,
                                                BOOLEAN bInterrupt, ULONG ulVector, PULONG pulSize) {
    ULONG ulCount = bInterrupt ? 2 : 1;
    ULONG ulSize = static_cast<ULONG>(offsetof(IO_RESOURCE_REQUIREMENTS_LIST, List[0].Descriptors) +
                                      ulCount * sizeof(IO_RESOURCE_DESCRIPTOR));
    auto* pList =
        static_cast<PIO_RESOURCE_REQUIREMENTS_LIST>(ExAllocatePoolWithTag(PagedPool, ulSize, CV_TAG_DDK));
    if (!pList)
        return NULL;
    RtlZeroMemory(pList, ulSize);
    pList->ListSize = ulSize;
    pList->InterfaceType = Isa;
    pList->AlternativeLists = 1;
    pList->List[0].Version = 1;
    pList->List[0].Revision = 1;
    pList->List[0].Count = ulCount;
    PIO_RESOURCE_DESCRIPTOR d = &pList->List[0].Descriptors[0];
    d->Type = CmResourceTypePort;
    d->ShareDisposition = CmResourceShareDeviceExclusive;
    d->Flags = CM_RESOURCE_PORT_IO;
    d->u.Port.Length = ulLength;
    d->u.Port.Alignment = ulAlignment;
    d->u.Port.MinimumAddress.QuadPart = ulBase;
    d->u.Port.MaximumAddress.QuadPart = static_cast<LONGLONG>(ulBase) + ulLength - 1;
    if (bInterrupt) {
        d = &pList->List[0].Descriptors[1];
        d->Type = CmResourceTypeInterrupt;
        d->ShareDisposition = CmResourceShareDeviceExclusive;
        d->Flags = CM_RESOURCE_INTERRUPT_LATCHED;
        d->u.Interrupt.MinimumVector = d->u.Interrupt.MaximumVector = ulVector;
    }
    *pulSize = ulSize;
    return pList;
}

// The claim's single full descriptor, when it has exactly ulPartials device-exclusive ones.
PCM_PARTIAL_RESOURCE_LIST ExpectedShape(PCM_RESOURCE_LIST pResources, ULONG ulPartials) {
    if (!pResources || pResources->Count != 1)
        return NULL;
    PCM_PARTIAL_RESOURCE_LIST pPartial = &pResources->List[0].PartialResourceList;
    if (pPartial->Count != ulPartials)
        return NULL;
    for (ULONG i = 0; i < ulPartials; i++)
        if (pPartial->PartialDescriptors[i].ShareDisposition != CmResourceShareDeviceExclusive)
            return NULL;
    return pPartial;
}

enum class ClaimResult { Taken, Unusable, Refused, Untranslatable, NoMemory };

// Claims for one port: its range and, unless bSisrPort, its interrupt. Stores what it got.
ClaimResult ClaimPort(PCCvDeviceStruct pNode, PDRIVER_OBJECT DriverObject, BOOLEAN bSisrPort) {
    CCvDevice* pDevice = pNode->pClass;
    PParametersCardPortStruct pPort = pNode->pAssociatedParametersCardPortStruct;
    ULONG ulSize = 0;
    PIO_RESOURCE_REQUIREMENTS_LIST pRequirements =
        MakeRequirements(pPort->ulBaseAddress, pPort->ulBaseAddressRange, pPort->ulBaseAddressAlignment,
                         !bSisrPort, pPort->ulInterruptLevel, &ulSize);
    if (!pRequirements)
        return ClaimResult::NoMemory;
    UNICODE_STRING uniClass;
    RtlInitUnicodeString(&uniClass, CV_DRIVER_CLASS);
    PCM_RESOURCE_LIST pResources = NULL;
    NTSTATUS Status = IoAssignResources(&pDevice->m_uniPathToPort, &uniClass, DriverObject,
                                        pDevice->DeviceObject, pRequirements, &pResources);
    ExFreePool(pRequirements);
    if (!NT_SUCCESS(Status) || !pResources) {
        if (pResources)
            ExFreePool(pResources);
        return ClaimResult::Refused;
    }
    ClaimResult Result = ClaimResult::Taken;
    PCM_PARTIAL_RESOURCE_LIST pPartial = ExpectedShape(pResources, bSisrPort ? 1 : 2);
    PCM_PARTIAL_RESOURCE_DESCRIPTOR pRange = NULL, pInterrupt = NULL;
    for (ULONG i = 0; pPartial && i < pPartial->Count; i++) {
        PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &pPartial->PartialDescriptors[i];
        if (d->Type == CmResourceTypePort && (d->Flags & CM_RESOURCE_PORT_IO))
            pRange = d;
        else if (d->Type == CmResourceTypeInterrupt && d->Flags == CM_RESOURCE_INTERRUPT_LATCHED)
            pInterrupt = d;
    }
    if (!pRange || (!bSisrPort && !pInterrupt)) {
        Result = ClaimResult::Unusable;
    } else {
        PHYSICAL_ADDRESS Translated;
        ULONG ulSpace = 1;
        pNode->ulBusRelativeBaseAddress = static_cast<ULONG>(pRange->u.Port.Start.QuadPart);
        pNode->unBaseAddressRange = static_cast<USHORT>(pRange->u.Port.Length);
        if (!HalTranslateBusAddress(Isa, 0, pRange->u.Port.Start, &ulSpace, &Translated) || ulSpace != 1) {
            Result = ClaimResult::Untranslatable;
        } else {
            pNode->unBaseAddress = static_cast<USHORT>(Translated.QuadPart);
            if (pInterrupt) {
                pDevice->OriginalIrql = pInterrupt->u.Interrupt.Level;
                pDevice->OriginalVector = pInterrupt->u.Interrupt.Vector;
                pDevice->Vector = HalGetInterruptVector(Isa, 0, pInterrupt->u.Interrupt.Level,
                                                        pInterrupt->u.Interrupt.Vector, &pDevice->Irql,
                                                        &pDevice->ProcessorAffinity);
                pDevice->m_InterruptMode = Latched;
            }
        }
    }
    ExFreePool(pResources);
    return Result;
}

// A port whose claim was refused or came back unusable: logged and disabled, with its names given back.
VOID RefusePort(CCvDevice* pDevice, ULONG ulMessage) {
    LogWithString(ulMessage, pDevice->m_uniPathToPort.Buffer);
    CvDisablePort(pDevice);
}

// After a claim step that ended early: the port and those not reached get no address, so they are
// disabled and never touched.
VOID DisableRest(CCvLinkedList* pList, PCCvDeviceStruct pFrom, BOOLEAN bSisrCards, ULONG ulMessage) {
    for (auto* pNode = pFrom; pNode;
         pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(sizeof(CCvDeviceStruct)))) {
        CCvDevice* pDevice = pNode->pClass;
        if ((pDevice->pParentCard->m_ulSisrAddress != 0) == bSisrCards && !pDevice->m_bDisabled)
            RefusePort(pDevice, ulMessage);
    }
}

NTSTATUS ClaimPorts(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject, BOOLEAN bSisrCards) {
    const ULONG ulSize = sizeof(CCvDeviceStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* pDevice = pNode->pClass;
        if (pDevice->m_bDisabled || (pDevice->pParentCard->m_ulSisrAddress != 0) != bSisrCards)
            continue;
        switch (ClaimPort(pNode, DriverObject, bSisrCards)) {
        case ClaimResult::Taken:
            break;
        case ClaimResult::NoMemory:
            return CV_STATUS_SEVERE;
        case ClaimResult::Unusable:
            RefusePort(pDevice, CVNT_PORT_CLAIM_REFUSED);
            break;
        case ClaimResult::Refused:
            if (bSisrCards) {
                RefusePort(pDevice, CVNT_PORT_CLAIM_REFUSED); // only this port of the card
                break;
            }
            RefusePort(pDevice, CVNT_PORT_CLAIM_REFUSED);
            DisableRest(pList, static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize)), FALSE,
                        CVNT_PORT_CLAIM_REFUSED);
            return STATUS_UNSUCCESSFUL;
        case ClaimResult::Untranslatable:
            DisableRest(pList, pNode, bSisrCards, CVNT_PORT_UNTRANSLATABLE);
            return STATUS_UNSUCCESSFUL;
        }
    }
    return STATUS_SUCCESS;
}

} // namespace

NTSTATUS BuildIsaCCvDeviceList(CCvLinkedList* pParametersCardList, CCvLinkedList* pIsaCCvDeviceList) {
    const ULONG ulCardSize = sizeof(ParametersCardStruct), ulPortSize = sizeof(ParametersCardPortStruct);
    if (!pParametersCardList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (auto* pRecord = static_cast<PParametersCardStruct>(pParametersCardList->GetStartNode(ulCardSize));
         pRecord;
         pRecord = static_cast<PParametersCardStruct>(pParametersCardList->GetNextNode(ulCardSize))) {
        auto* pCard = new (NonPagedPool) CCvCard;
        if (!pCard) {
            pIsaCCvDeviceList->DeleteAllNodes(sizeof(CCvDeviceStruct));
            return CV_STATUS_SEVERE;
        }
        pCard->m_ucPlxBaudClockType = static_cast<UCHAR>(pRecord->PlxBaudClockType);
        pCard->m_unPlxBaudClockDivisor = static_cast<USHORT>(pRecord->PlxBaudClockDivisor);
        pCard->m_unPlxBaudClockOffset = 0;
        pCard->m_ucBusRelativeInterruptLine = static_cast<UCHAR>(pRecord->ulInterruptLevel);
        pCard->m_ulSisrAddress = pRecord->ulSisrAddress;
        ULONG m = 0;
        CCvLinkedList* pPorts = pRecord->pParametersCardPortList;
        for (auto* pPort = static_cast<PParametersCardPortStruct>(pPorts->GetStartNode(ulPortSize));
             pPort && m < CV_MAX_PORTS_PER_CARD;
             pPort = static_cast<PParametersCardPortStruct>(pPorts->GetNextNode(ulPortSize))) {
            auto* pNode = static_cast<PCCvDeviceStruct>(
                pIsaCCvDeviceList->AllocateAndInsertNodeAtEnd(sizeof(CCvDeviceStruct)));
            CCvDevice* pDevice = pNode ? new (NonPagedPool) CCvDevice() : NULL;
            if (!pDevice) {
                if (m == 0)
                    delete pCard;
                for (auto* p = static_cast<PCCvDeviceStruct>(
                         pIsaCCvDeviceList->GetStartNode(sizeof(CCvDeviceStruct)));
                     p; p = static_cast<PCCvDeviceStruct>(
                            pIsaCCvDeviceList->GetNextNode(sizeof(CCvDeviceStruct))))
                    delete p->pClass;
                pIsaCCvDeviceList->DeleteAllNodes(sizeof(CCvDeviceStruct));
                return CV_STATUS_SEVERE;
            }
            m++;
            pDevice->pParentCard = pCard;
            pDevice->m_unPortOnCardNumber = static_cast<USHORT>(m);
            pDevice->m_ucBusType = Isa;
            pDevice->m_ucCtsTrue = 0;
            pDevice->m_ucDuplexOperation = 0;
            pDevice->m_ulForcedComNumber = static_cast<ULONG>(pPort->nCom);
            pDevice->m_ulUartType = pPort->UartType;
            pDevice->m_ucBusRelativeInterruptLine = static_cast<UCHAR>(pPort->ulInterruptLevel);
            pCard->apDevice[m - 1] = pDevice;
            pNode->pClass = pDevice;
            pNode->pAssociatedParametersCardStruct = pRecord;
            pNode->pAssociatedParametersCardPortStruct = pPort;
        }
        pCard->ulNumberComPorts = m;
    }
    return STATUS_SUCCESS;
}

NTSTATUS AssignResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject) {
    return ClaimPorts(pList, DriverObject, FALSE);
}

NTSTATUS AssignPortIoResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject) {
    return ClaimPorts(pList, DriverObject, TRUE);
}

NTSTATUS AssignSisrResources(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject) {
    const ULONG ulSize = sizeof(CCvDeviceStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    UNICODE_STRING uniClass;
    RtlInitUnicodeString(&uniClass, CV_DRIVER_CLASS);
    NTSTATUS Result = STATUS_SUCCESS;
    auto* pNode = static_cast<PCCvDeviceStruct>(pList->GetStartNode(ulSize));
    while (pNode) {
        CCvCard* pCard = pNode->pClass->pParentCard;
        if (!CvIsFirstPortOfCard(pNode) || !pCard->m_ulSisrAddress) {
            pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        PParametersCardStruct pRecord = pNode->pAssociatedParametersCardStruct;
        ULONG ulRequested = pRecord->ulSisrAddress;
        ULONG ulListSize = 0;
        PIO_RESOURCE_REQUIREMENTS_LIST pRequirements =
            MakeRequirements(ulRequested, 1, 2, TRUE, pRecord->ulInterruptLevel, &ulListSize);
        if (!pRequirements)
            return CV_STATUS_SEVERE;
        PCM_RESOURCE_LIST pResources = NULL;
        NTSTATUS Status = IoAssignResources(&pCard->m_uniPathToCard, &uniClass, DriverObject,
                                            pCard->DeviceObject, pRequirements, &pResources);
        ExFreePool(pRequirements);
        PCM_PARTIAL_RESOURCE_LIST pPartial = NT_SUCCESS(Status) ? ExpectedShape(pResources, 2) : NULL;
        PCM_PARTIAL_RESOURCE_DESCRIPTOR pRange = NULL, pInterrupt = NULL;
        for (ULONG i = 0; pPartial && i < pPartial->Count; i++) {
            PCM_PARTIAL_RESOURCE_DESCRIPTOR d = &pPartial->PartialDescriptors[i];
            if (d->Type == CmResourceTypePort && d->u.Port.Start.QuadPart == ulRequested &&
                d->u.Port.Length == 1)
                pRange = d;
            else if (d->Type == CmResourceTypeInterrupt && d->Flags == CM_RESOURCE_INTERRUPT_LATCHED)
                pInterrupt = d;
        }
        if (!pRange || !pInterrupt) {
            if (pResources)
                ExFreePool(pResources);
            LogWithString(CVNT_SISR_CLAIM_REFUSED, pCard->m_uniPathToCard.Buffer);
            pNode = UnloadOneCard(pList, DriverObject);
            continue;
        }
        PHYSICAL_ADDRESS Translated;
        ULONG ulSpace = 1;
        if (!HalTranslateBusAddress(Isa, 0, pRange->u.Port.Start, &ulSpace, &Translated) || ulSpace != 1) {
            // The card cannot be told apart from its ports' interrupts: its ports are disabled as ports
            // without an address are, and the other cards are handled on.
            ExFreePool(pResources);
            LogWithString(CVNT_SISR_UNTRANSLATABLE, pCard->m_uniPathToCard.Buffer);
            for (ULONG i = 0; i < CV_MAX_PORTS_PER_CARD; i++)
                if (pCard->apDevice[i] && !pCard->apDevice[i]->m_bDisabled)
                    CvDisablePort(pCard->apDevice[i]);
            Result = STATUS_UNSUCCESSFUL;
            pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
            continue;
        }
        pCard->m_ulSisrAddress = static_cast<ULONG>(Translated.QuadPart);
        pCard->OriginalIrql = pInterrupt->u.Interrupt.Level;
        pCard->OriginalVector = pInterrupt->u.Interrupt.Vector;
        pCard->Vector =
            HalGetInterruptVector(Isa, 0, pInterrupt->u.Interrupt.Level, pInterrupt->u.Interrupt.Vector,
                                  &pCard->Irql, &pCard->ProcessorAffinity);
        pCard->m_InterruptMode = Latched;
        ExFreePool(pResources);
        pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
    }
    return pList->m_pvStartStruct ? Result : CV_STATUS_SEVERE;
}

NTSTATUS IsaCreateAndInitializeUart(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* pDevice = pNode->pClass;
        if (pDevice->m_bDisabled)
            continue;
        PParametersCardStruct pCard = pNode->pAssociatedParametersCardStruct;
        PParametersCardPortStruct pPort = pNode->pAssociatedParametersCardPortStruct;
        NTSTATUS Status =
            CvCreatePortUart(pDevice, pPort->UartType, pNode->unBaseAddress, pNode->ulBusRelativeBaseAddress,
                             pNode->unBaseAddressRange, pCard->ClockFrequency,
                             pCard->ClockFrequencyAdjustment, pCard->PlxBaudClockDivisor,
                             pPort->RxTriggerLevel, pPort->TxTriggerLevel, pPort->SoftTxLimit, TRUE, 0);
        if (Status != STATUS_SUCCESS)
            return Status;
    }
    return STATUS_SUCCESS;
}
