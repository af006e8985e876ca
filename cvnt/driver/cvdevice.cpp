#include "CvDevice.h"

#include "CvEngine.h"
#include "CvPortList.h"
#include "CvResourceKiller.h"
#include "CvUart.h"
#include "CvUnicode.h"

namespace {

// The port's SERIALCOMM value goes, and the system's count of serial ports with it.
VOID RemoveSerialCommValue(CCvDevice* pDevice) {
    if (!pDevice->DeviceName.Buffer)
        return;
    if (NT_SUCCESS(
            RtlDeleteRegistryValue(RTL_REGISTRY_DEVICEMAP, u"SERIALCOMM", pDevice->DeviceName.Buffer)) &&
        IoGetConfigurationInformation()->SerialCount > 0)
        IoGetConfigurationInformation()->SerialCount--;
}

VOID DeleteLink(CCvDevice* pDevice) {
    if (!pDevice->SymbolicLinkName.Buffer)
        return;
    CCvUnicode uniLink(NonPagedPool, u"\\??\\");
    // Each step is checked: an append succeeds even on a prefix that failed.
    if (uniLink.Status == STATUS_SUCCESS &&
        uniLink.Append(static_cast<PCUNICODE_STRING>(&pDevice->SymbolicLinkName)) == STATUS_SUCCESS)
        IoDeleteSymbolicLink(uniLink);
}

VOID ReleaseClaim(PUNICODE_STRING puniPath, PDRIVER_OBJECT DriverObject, PDEVICE_OBJECT DeviceObject) {
    UNICODE_STRING uniClass;
    RtlInitUnicodeString(&uniClass, CV_DRIVER_CLASS);
    PCM_RESOURCE_LIST pList = NULL;
    IoAssignResources(puniPath, &uniClass, DriverObject, DeviceObject, NULL, &pList);
}

VOID FreeName(UNICODE_STRING& uni) {
    if (uni.Buffer)
        operator delete(uni.Buffer);
    RtlZeroMemory(&uni, sizeof uni);
}

// What names the port to the system: its SERIALCOMM value, its own claim, its link and its device.
VOID ReleasePortName(CCvDevice* Extension) {
    RemoveSerialCommValue(Extension);
    // PCI ports claim nothing of their own; releasing a claim that does not exist is harmless.
    if (Extension->DeviceObject)
        ReleaseClaim(&Extension->m_uniPathToPort, Extension->DeviceObject->DriverObject,
                     Extension->DeviceObject);
    DeleteLink(Extension);
    if (Extension->DeviceObject) {
        IoDeleteDevice(Extension->DeviceObject);
        Extension->DeviceObject = NULL;
    }
}

// The port's UART quiet and its interrupt gone (at the card's first port the card's too), and no
// timer or deferred call of it left queued.
VOID StopPort(CCvDevice* Extension, BOOLEAN bFirst) {
    CCvCard* pCard = Extension->pParentCard;
    if (Extension->pChip_Uart)
        Extension->pChip_Uart->ResetUart();
    if (Extension->Interrupt) {
        IoDisconnectInterrupt(Extension->Interrupt);
        Extension->Interrupt = NULL;
    }
    if (bFirst && pCard->Interrupt) {
        IoDisconnectInterrupt(pCard->Interrupt);
        pCard->Interrupt = NULL;
    }
    PKTIMER apTimers[] = {&Extension->ReadRequestTotalTimer,
                          &Extension->ReadRequestIntervalTimer,
                          &Extension->WriteRequestTotalTimer,
                          &Extension->ImmediateTotalTimer,
                          &Extension->XoffCountTimer,
                          &Extension->LowerRTSTimer,
                          &Extension->TxEmptyTimer};
    for (PKTIMER pTimer : apTimers)
        KeCancelTimer(pTimer);
    PKDPC apDpcs[] = {&Extension->CompleteWriteDpc,
                      &Extension->CompleteReadDpc,
                      &Extension->TotalReadTimeoutDpc,
                      &Extension->IntervalReadTimeoutDpc,
                      &Extension->TotalWriteTimeoutDpc,
                      &Extension->CommErrorDpc,
                      &Extension->CompleteImmediateDpc,
                      &Extension->TotalImmediateTimeoutDpc,
                      &Extension->CommWaitDpc,
                      &Extension->XoffCountTimeoutDpc,
                      &Extension->XoffCountCompleteDpc,
                      &Extension->StartTimerLowerRTSDpc,
                      &Extension->PerhapsLowerRTSDpc,
                      &Extension->StartTimerTxEmptyDpc,
                      &Extension->TxEmptyDpc};
    for (PKDPC pDpc : apDpcs)
        KeRemoveQueueDpc(pDpc);
}

} // namespace

VOID CvTearDownPort(PCCvDeviceStruct pNode, PCCvDeviceStruct pNext, PDRIVER_OBJECT DriverObject) {
    CCvDevice* Extension = pNode->pClass;
    if (!Extension)
        return;
    CCvCard* pCard = Extension->pParentCard;
    StopPort(Extension, CvIsFirstPortOfCard(pNode));
    ReleasePortName(Extension);
    // The card's claim covers its ports' registers: it goes with the last of them, once every port's
    // UART has been reset.
    const BOOLEAN bLast = !pNext || !pNext->pClass || pNext->pClass->pParentCard != pCard;
    if (bLast && pCard->DeviceObject) {
        if (pCard->m_uniPathToCard.Buffer)
            ReleaseClaim(&pCard->m_uniPathToCard, DriverObject, pCard->DeviceObject);
        IoDeleteDevice(pCard->DeviceObject);
        pCard->DeviceObject = NULL;
    }
}

VOID CvDisablePort(CCvDevice* Extension) {
    Extension->m_bDisabled = TRUE;
    ReleasePortName(Extension);
    FreeName(Extension->DeviceName);
    FreeName(Extension->SymbolicLinkName);
}

BOOLEAN CvCardHasEnabledPort(CCvCard* pCard) {
    for (ULONG i = 0; i < CV_MAX_PORTS_PER_CARD; i++)
        if (pCard->apDevice[i] && !pCard->apDevice[i]->m_bDisabled)
            return TRUE;
    return FALSE;
}

NTSTATUS InitializeExtension(CCvLinkedList* pList) {
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* Extension = pNode->pClass;
        if (Extension->m_bDisabled)
            continue;
        CvInitializeExtension(Extension);
    }
    return STATUS_SUCCESS;
}

VOID DoUnload(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject) {
    const ULONG ulSize = sizeof(CCvDeviceStruct);
    auto* pNode = static_cast<PCCvDeviceStruct>(pList->GetStartNode(ulSize));
    while (pNode) {
        auto* pNext = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize));
        CvTearDownPort(pNode, pNext, DriverObject);
        delete pNode->pClass; // the card goes with its last port
        pNode->pClass = NULL;
        pNode = pNext;
    }
}

PCCvDeviceStruct UnloadOneCard(CCvLinkedList* pList, PDRIVER_OBJECT DriverObject) {
    auto* pNode = static_cast<PCCvDeviceStruct>(pList->GetCurrentNode());
    if (!pNode)
        return NULL;
    CCvCard* pCard = pNode->pClass->pParentCard;
    for (ULONG i = 0; i < CV_MAX_PORTS_PER_CARD && pNode && pNode->pClass->pParentCard == pCard; i++) {
        BOOLEAN bLastNode = pNode == pList->m_pvEndStruct;
        CvTearDownPort(pNode, i + 1 < CV_MAX_PORTS_PER_CARD ? CvPortAfter(pList, pNode) : NULL, DriverObject);
        // The port object itself is left to the tracked allocator's final release.
        pList->DeleteCurrentNode(sizeof(CCvDeviceStruct));
        pNode = bLastNode ? NULL : static_cast<PCCvDeviceStruct>(pList->GetCurrentNode());
    }
    return pNode;
}

// Every port's UART is made to give up an interrupt it may still hold from before the driver started.
VOID CvNonComplient(CCvLinkedList* pList) {
    for (PCCvDeviceStruct pNode : CvPorts(pList)) {
        CCvDevice* Extension = pNode->pClass;
        if (Extension->m_bDisabled || !Extension->pChip_Uart)
            continue;
        Extension->pChip_Uart->EnableAllInterrupts();
        for (int i = 0;
             i < 5 && !(Extension->pChip_Uart->ReadInterruptStatusRegister() & UART_IIR_NO_INTERRUPT); i++) {
        }
        Extension->HoldingEmpty = TRUE;
        Extension->pChip_Uart->DisableAllInterrupts();
    }
}
