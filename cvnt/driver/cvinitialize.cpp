// Making the ports of a PCI card real: the bridge's baud clock divisor, and the divisor the port's UART
// object works with, which must be the one the bridge applies.
#include "CvPortList.h"

#include "CvErrorLog.h"
#include "cvntmsg.h"

namespace {

#define CV_PLX_TYPE_NONE 0
#define CV_PLX_TYPE_BYTE 1
#define CV_PLX_TYPE_WORD 2
#define CV_PLX_TYPE_PER_PORT 3
#define CV_PLX_TYPE_FIXED 4

// Register values for divisors 1, 2, 4 and 8; any other divisor is logged and set to /8.
UCHAR ByteValue(USHORT unDivisor, BOOLEAN& bValid) {
    bValid = TRUE;
    switch (unDivisor) {
    case 1:
        return 0xD2;
    case 2:
        return 0xD6;
    case 4:
        return 0xF2;
    case 8:
        return 0xF6;
    default:
        bValid = FALSE;
        return 0xF6;
    }
}

USHORT WordValue(USHORT unDivisor, BOOLEAN& bValid) {
    bValid = TRUE;
    switch (unDivisor) {
    case 1:
        return 0x4DB2;
    case 2:
        return 0x4D96;
    case 4:
        return 0x4CB6;
    case 8:
        return 0x45B6;
    default:
        bValid = FALSE;
        return 0x45B6;
    }
}

UCHAR PerPortValue(USHORT unDivisor, BOOLEAN& bValid) {
    bValid = TRUE;
    switch (unDivisor) {
    case 1:
        return 0x30;
    case 2:
        return 0x20;
    case 4:
        return 0x10;
    case 8:
        return 0x00;
    default:
        bValid = FALSE;
        return 0x00;
    }
}

PUCHAR PortAddress(ULONG ulAddress) {
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(ulAddress));
}

} // namespace

USHORT CvPciPortClockDivisor(PCCvDeviceStruct pNode) {
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

NTSTATUS InitializePlxChip(CCvLinkedList* pList) {
    const ULONG ulSize = sizeof(CCvDeviceStruct);
    if (!pList->m_pvStartStruct)
        return STATUS_NOT_FOUND;
    for (auto* pNode = static_cast<PCCvDeviceStruct>(pList->GetStartNode(ulSize)); pNode;
         pNode = static_cast<PCCvDeviceStruct>(pList->GetNextNode(ulSize))) {
        CCvDevice* pDevice = pNode->pClass;
        CCvCard* pCard = pDevice->pParentCard;
        BOOLEAN bValid = TRUE;
        USHORT unDivisor = pCard->m_unPlxBaudClockDivisor;
        switch (pCard->m_ucPlxBaudClockType) {
        case CV_PLX_TYPE_NONE:
        case CV_PLX_TYPE_FIXED:
            break;
        case CV_PLX_TYPE_BYTE:
            if (CvIsFirstPortOfCard(pNode))
                WRITE_PORT_UCHAR(PortAddress(pCard->m_unPlxAddress + pCard->m_unPlxBaudClockOffset),
                                 ByteValue(unDivisor, bValid));
            break;
        case CV_PLX_TYPE_WORD:
            if (CvIsFirstPortOfCard(pNode))
                WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(
                                      PortAddress(pCard->m_unPlxAddress + pCard->m_unPlxBaudClockOffset)),
                                  WordValue(unDivisor, bValid));
            break;
        case CV_PLX_TYPE_PER_PORT: {
            if (pDevice->pChip_Uart)
                unDivisor = static_cast<USHORT>(pDevice->pChip_Uart->m_unPlxBaudClockDivisor);
            UCHAR ucValue =
                static_cast<UCHAR>(PerPortValue(unDivisor, bValid) | (pDevice->m_ucDuplexOperation & 0x07) |
                                   (pDevice->m_ucCtsTrue & 0x08));
            // Port m's register is the m-th of the second window's registers, two bytes apart.
            WRITE_PORT_UCHAR(
                PortAddress(pCard->m_unIoWindow2Address + 2u * (pDevice->m_unPortOnCardNumber - 1u)),
                ucValue);
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
