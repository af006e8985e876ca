// A port made real and taken down again: its UART object where its registers are, the bridge's clock
// divisor, its interrupt, its name (the child's "PortName", or a number from the COM port database), its
// link and SERIALCOMM value, and the values the port settings dialog reads under the card's device key.
// The changes a settings update leaves are applied here before an open.
#include "SpPort.h"

#include "CvBridge.h"
#include "CvEngine.h"
#include "CvResourceKiller.h"
#include "CvUart.h"

namespace {

const WCHAR kSerialComm[] = u"\\Registry\\Machine\\HARDWARE\\DEVICEMAP\\SERIALCOMM";
const WCHAR kComDbKey[] = u"\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Control\\COM Name Arbiter";
const ULONG kComDbMinimumPorts = 256;
const ULONG kComDbMaximumPorts = 4096;
const ULONG kMaximumPorts = 256;

CSpPort* g_apPorts[kMaximumPorts];

BOOLEAN CardWideDivisor(const SP_PORT_CONFIG& Config) {
    return Config.ulPlxType == CV_PLX_TYPE_BYTE || Config.ulPlxType == CV_PLX_TYPE_WORD;
}

// Whether a port of the card other than pPort is open.
BOOLEAN OtherPortOpen(const CSpPort* pPort) {
    for (CSpPort* pOther : g_apPorts)
        if (pOther && pOther != pPort && pOther->Config.CardPdo == pPort->Config.CardPdo &&
            pOther->DeviceIsOpened)
            return TRUE;
    return FALSE;
}

// A counted string over a buffer of the caller's.
UNICODE_STRING Counted(PCWSTR pText) {
    UNICODE_STRING uni;
    RtlInitUnicodeString(&uni, pText);
    return uni;
}

// Appends the decimal digits of ulNumber to the text in pBuffer (of ulCount characters).
VOID AppendNumber(PWCHAR pBuffer, ULONG ulCount, ULONG ulNumber) {
    ULONG ulLength = 0;
    while (ulLength < ulCount && pBuffer[ulLength])
        ulLength++;
    WCHAR aDigits[12];
    ULONG ulDigits = 0;
    do {
        aDigits[ulDigits++] = static_cast<WCHAR>(u'0' + ulNumber % 10);
        ulNumber /= 10;
    } while (ulNumber && ulDigits < 12);
    while (ulDigits && ulLength + 1 < ulCount)
        pBuffer[ulLength++] = aDigits[--ulDigits];
    pBuffer[ulLength] = 0;
}

VOID CopyText(PWCHAR pTo, ULONG ulCount, PCWSTR pFrom) {
    ULONG i = 0;
    for (; pFrom[i] && i + 1 < ulCount; i++)
        pTo[i] = pFrom[i];
    pTo[i] = 0;
}

// The number of a name "COMn" (n from 1 to the database's maximum), or 0.
ULONG ComNumberOf(const WCHAR* pName, ULONG ulLength) {
    if (ulLength < 4 || (pName[0] | 0x20) != u'c' || (pName[1] | 0x20) != u'o' || (pName[2] | 0x20) != u'm')
        return 0;
    ULONG ulNumber = 0;
    for (ULONG i = 3; i < ulLength; i++) {
        if (pName[i] < u'0' || pName[i] > u'9' || ulNumber > kComDbMaximumPorts)
            return 0;
        ulNumber = ulNumber * 10 + (pName[i] - u'0');
    }
    return ulNumber <= kComDbMaximumPorts ? ulNumber : 0;
}

// Reads a value of a key into pBuffer (at most ulSize bytes); its length, 0 when it is not there.
ULONG ReadValue(HANDLE hKey, PCWSTR pName, ULONG ulType, PVOID pBuffer, ULONG ulSize) {
    UCHAR aInfo[sizeof(KEY_VALUE_PARTIAL_INFORMATION) + 512];
    auto* pInfo = reinterpret_cast<PKEY_VALUE_PARTIAL_INFORMATION>(aInfo);
    ULONG ulResult = 0;
    UNICODE_STRING uniName = Counted(pName);
    if (!NT_SUCCESS(
            ZwQueryValueKey(hKey, &uniName, KeyValuePartialInformation, pInfo, sizeof aInfo, &ulResult)) ||
        pInfo->Type != ulType)
        return 0;
    ULONG ulLength = pInfo->DataLength < ulSize ? pInfo->DataLength : ulSize;
    RtlCopyMemory(pBuffer, pInfo->Data, ulLength);
    return ulLength;
}

HANDLE OpenKey(PCWSTR pPath, ACCESS_MASK Access, BOOLEAN bCreate) {
    UNICODE_STRING uniPath = Counted(pPath);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &uniPath, OBJ_CASE_INSENSITIVE, NULL, NULL);
    HANDLE hKey = NULL;
    NTSTATUS Status = bCreate ? ZwCreateKey(&hKey, Access, &Attributes, 0, NULL, 0, NULL)
                              : ZwOpenKey(&hKey, Access, &Attributes);
    return NT_SUCCESS(Status) ? hKey : NULL;
}

HANDLE CreateSubkey(HANDLE hParent, PCWSTR pName) {
    UNICODE_STRING uniName = Counted(pName);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, &uniName, OBJ_CASE_INSENSITIVE, hParent, NULL);
    HANDLE hKey = NULL;
    return NT_SUCCESS(ZwCreateKey(&hKey, KEY_ALL_ACCESS, &Attributes, 0, NULL, 0, NULL)) ? hKey : NULL;
}

NTSTATUS WriteDword(HANDLE hKey, PCWSTR pName, ULONG ulValue) {
    UNICODE_STRING uniName = Counted(pName);
    return ZwSetValueKey(hKey, &uniName, 0, REG_DWORD, &ulValue, sizeof ulValue);
}

// The lowest free number of the COM port database, claimed; 0 when none is free or the database cannot
// be written. (The Ports class installer names a port when it installs it; a port installed without it
// gets its number here, as the class installer would have given it.)
ULONG ClaimComNumber() {
    HANDLE hKey = OpenKey(kComDbKey, KEY_ALL_ACCESS, TRUE);
    if (!hKey)
        return 0;
    UCHAR aBits[kComDbMaximumPorts / 8];
    RtlZeroMemory(aBits, sizeof aBits);
    ULONG ulBytes = ReadValue(hKey, u"ComDB", REG_BINARY, aBits, sizeof aBits);
    if (ulBytes < kComDbMinimumPorts / 8)
        ulBytes = kComDbMinimumPorts / 8;
    ULONG ulCom = 0;
    for (ULONG i = 0; i < ulBytes * 8 && !ulCom; i++)
        if (!(aBits[i / 8] & (1u << (i % 8)))) {
            aBits[i / 8] = static_cast<UCHAR>(aBits[i / 8] | (1u << (i % 8)));
            ulCom = i + 1;
        }
    UNICODE_STRING uniName = Counted(u"ComDB");
    if (ulCom && !NT_SUCCESS(ZwSetValueKey(hKey, &uniName, 0, REG_BINARY, aBits, ulBytes)))
        ulCom = 0;
    ZwClose(hKey);
    return ulCom;
}

// The port's name: the child's "PortName", or a new number written there.
NTSTATUS FindPortName(CSpPort* pPort) {
    HANDLE hKey = NULL;
    NTSTATUS Status = IoOpenDeviceRegistryKey(pPort->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &hKey);
    if (!NT_SUCCESS(Status))
        return Status;
    WCHAR aName[SP_MAX_PORT_NAME + 1];
    RtlZeroMemory(aName, sizeof aName);
    ULONG ulLength =
        ReadValue(hKey, u"PortName", REG_SZ, aName, SP_MAX_PORT_NAME * sizeof(WCHAR)) / sizeof(WCHAR);
    while (ulLength && !aName[ulLength - 1])
        ulLength--;
    if (ulLength == 0) {
        ULONG ulCom = ClaimComNumber();
        if (!ulCom) {
            ZwClose(hKey);
            return STATUS_DEVICE_CONFIGURATION_ERROR;
        }
        CopyText(aName, SP_MAX_PORT_NAME, u"COM");
        AppendNumber(aName, SP_MAX_PORT_NAME, ulCom);
        ulLength = 0;
        while (aName[ulLength])
            ulLength++;
        UNICODE_STRING uniName = Counted(u"PortName");
        ZwSetValueKey(hKey, &uniName, 0, REG_SZ, aName, (ulLength + 1) * sizeof(WCHAR));
    }
    ZwClose(hKey);
    // Only a COM name is this driver's to serve.
    pPort->ulComNumber = ComNumberOf(aName, ulLength);
    if (!pPort->ulComNumber)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    CopyText(pPort->awcPortName, SP_MAX_PORT_NAME, u"COM");
    AppendNumber(pPort->awcPortName, SP_MAX_PORT_NAME, pPort->ulComNumber);
    return STATUS_SUCCESS;
}

// The divisor the bridge applies for the configured one: kinds with a register divide by 1, 2, 4 or 8.
ULONG AppliedDivisor(const SP_PORT_CONFIG& Config, ULONG ulDivisor) {
    if (Config.ulPlxType < CV_PLX_TYPE_BYTE || Config.ulPlxType > CV_PLX_TYPE_PER_PORT)
        return ulDivisor;
    BOOLEAN bValid = TRUE;
    return CvBridgeValuesFor(static_cast<USHORT>(ulDivisor), bValid).unDivisor;
}

// Programs the bridge's divisor register for the port (a PCI card's; the registers it must lie inside).
VOID ProgramBridge(CSpPort* pPort, ULONG ulDivisor) {
    const SP_PORT_CONFIG& Config = pPort->Config;
    BOOLEAN bValid = TRUE;
    const CV_BRIDGE_DIVISOR& Values = CvBridgeValuesFor(static_cast<USHORT>(ulDivisor), bValid);
    const ULONG ulOffset = Config.ulPlxOffset;
    switch (Config.ulPlxType) {
    case CV_PLX_TYPE_BYTE:
        if (Config.unPlxIo && ulOffset < Config.ulPlxRange)
            WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Config.unPlxIo + ulOffset)),
                             Values.ucByte);
        break;
    case CV_PLX_TYPE_WORD:
        if (Config.unPlxIo && ulOffset + 1 < Config.ulPlxRange)
            WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(static_cast<ULONG_PTR>(Config.unPlxIo + ulOffset)),
                              Values.unWord);
        break;
    case CV_PLX_TYPE_PER_PORT: {
        const ULONG ulPortOffset = CV_PLX_PER_PORT_STRIDE * (Config.unPortNumber - 1u);
        UCHAR ucValue =
            static_cast<UCHAR>(Values.ucPerPort | (pPort->m_ucDuplexOperation & CV_PLX_DUPLEX_MASK) |
                               (pPort->m_ucCtsTrue ? CV_PLX_CTS_TRUE : 0));
        if (Config.unWindow2Io && ulPortOffset < Config.ulWindow2Range)
            WRITE_PORT_UCHAR(
                reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(Config.unWindow2Io + ulPortOffset)), ucValue);
        break;
    }
    default:
        break;
    }
}

// A UART object of the type for the port's registers, set up with the port's clock and levels.
CCvUart* MakeUart(CSpPort* pPort, ULONG ulType, ULONG ulDivisor) {
    const SP_PORT_CONFIG& Config = pPort->Config;
    CCvUart* pUart = CvAllocateUart(static_cast<UCHAR>(ulType));
    if (!pUart)
        return NULL;
    pUart->m_unBaseAddress = Config.bMemory ? 0 : Config.unIoBase;
    pUart->m_pucMappedBase = Config.bMemory ? Config.pucMemoryBase : NULL;
    pUart->m_ulBusRelativeBaseAddress = Config.ulBusRelativeBase;
    pUart->m_unBaseAddressRange = static_cast<USHORT>(UART_REGISTER_COUNT);
    pUart->m_ulClockFrequency = Config.ulClock;
    pUart->m_ulClockFrequencyAdjustment = Config.ulClockAdjustment;
    pUart->m_unPlxBaudClockDivisor = AppliedDivisor(Config, ulDivisor);
    pUart->m_lRxTriggerLevel = Config.lRxTrigger;
    pUart->m_lTxTriggerLevel = Config.lTxTrigger;
    pUart->m_lSoftTxLimit = Config.lSoftTxLimit;
    pUart->m_ulBaudrateMultiplier = Config.ulMultiplier;
    CvCompleteUartSetUp(pUart);
    return pUart;
}

// Replaces the port's UART object (closed port only); its line settings stay.
BOOLEAN ReplaceUart(CSpPort* pPort, ULONG ulType, ULONG ulDivisor) {
    // The chip leaves the old type's modes before the new object sets up its own.
    pPort->pChip_Uart->RestoreCompatibleMode();
    CCvUart* pUart = MakeUart(pPort, ulType, ulDivisor);
    if (!pUart) {
        CvCompleteUartSetUp(pPort->pChip_Uart); // the old object takes the chip back
        return FALSE;
    }
    delete pPort->pChip_Uart;
    pPort->pChip_Uart = pUart;
    pPort->m_ulUartType = pUart->GetUartType();
    pPort->m_ulSupportedBauds = pUart->GetSupportedBauds();
    pUart->SetLineControl(pPort->LineControl);
    return TRUE;
}

// The values the port settings dialog reads, under "Card\Port<n>" of the card's device key.
VOID PublishPortSettings(CSpPort* pPort) {
    const SP_PORT_CONFIG& Config = pPort->Config;
    CCvUart* pUart = pPort->pChip_Uart;
    HANDLE hDevice = NULL;
    if (!Config.CardPdo || !pUart ||
        !NT_SUCCESS(
            IoOpenDeviceRegistryKey(Config.CardPdo, PLUGPLAY_REGKEY_DEVICE, KEY_ALL_ACCESS, &hDevice)))
        return;
    HANDLE hCard = CreateSubkey(hDevice, u"Card");
    WCHAR aPort[16] = u"Port";
    AppendNumber(aPort, 16, Config.unPortNumber);
    HANDLE hPort = hCard ? CreateSubkey(hCard, aPort) : NULL;
    if (hPort) {
        WriteDword(hPort, u"Enable_TriggerLevel", 1);
        WriteDword(hPort, u"RxTriggerLevel", static_cast<ULONG>(pUart->m_lRxTriggerLevel));
        WriteDword(hPort, u"SoftTxLimit", static_cast<ULONG>(pUart->m_lSoftTxLimit));
        WriteDword(hPort, u"TxTriggerLevel", static_cast<ULONG>(pUart->m_lTxTriggerLevel));
        // RS-422/485 for a port whose card gives it a duplex mode the transceivers know.
        const UCHAR ucDuplex = pPort->m_ucDuplexOperation;
        // (CvInstal gives an ISA card's ports no duplex setting.)
        const BOOLEAN b485 = Config.ulBusType != Isa && CvIsKnownDuplex(ucDuplex);
        WriteDword(hPort, u"Enable_422485Settings", b485 ? 1 : 0);
        WriteDword(hPort, u"DuplexOperation", ucDuplex);
        // A setting the card's template does not give reads 0xFF: CTS is then not forced.
        WriteDword(hPort, u"CtsTrue", pPort->m_ucCtsTrue && pPort->m_ucCtsTrue != 0xFF ? 1 : 0);
        // A card whose bridge divides the clock offers the divisions; any other a fixed maximum.
        const BOOLEAN bFlexible =
            Config.ulPlxType >= CV_PLX_TYPE_BYTE && Config.ulPlxType <= CV_PLX_TYPE_PER_PORT;
        ULONG ulDivisor = pUart->m_unPlxBaudClockDivisor ? pUart->m_unPlxBaudClockDivisor : 1;
        ULONG ulMaximum = Config.ulMaximumBaudrate;
        if (ulMaximum == 0) {
            // The rate at divisor 1 of the UART and the bridge, 16 samples a bit.
            CCvUart* pProbe = pUart;
            ULONG ulSaved = pProbe->m_unPlxBaudClockDivisor;
            pProbe->m_unPlxBaudClockDivisor = 0;
            ulMaximum = pProbe->GetBaudFromDivisor(1);
            pProbe->m_unPlxBaudClockDivisor = ulSaved;
        }
        WriteDword(hPort, u"Enable_BaudrateSettingsFixed", bFlexible ? 0 : 1);
        WriteDword(hPort, u"Enable_BaudrateSettingsFlexible", bFlexible ? 1 : 0);
        WriteDword(hPort, u"MaximumBaudrate", ulMaximum);
        WriteDword(hPort, u"PlxBaudClockDivisor", ulDivisor);
        WriteDword(hPort, u"BaudrateMultiplier", pUart->m_ulBaudrateMultiplier);
        WriteDword(hPort, u"Enable_UartType", 1);
        WriteDword(hPort, u"UsedUartType", pUart->GetUartType());
        WriteDword(hPort, u"DetectedUartType", pPort->ulDetectedUartType);
        ZwClose(hPort);
    }
    if (hCard)
        ZwClose(hCard);
    ZwClose(hDevice);
}

// The port's SERIALCOMM value and its link; the system's count of serial ports with them.
NTSTATUS Publish(CSpPort* pPort) {
    UNICODE_STRING uniLink;
    WCHAR aLink[32] = u"\\??\\";
    CopyText(aLink + 4, 28, pPort->awcPortName);
    RtlInitUnicodeString(&uniLink, aLink);
    NTSTATUS Status = IoCreateSymbolicLink(&uniLink, &pPort->DeviceName);
    if (!NT_SUCCESS(Status))
        return Status;
    ULONG ulBytes = 0;
    while (pPort->awcPortName[ulBytes / sizeof(WCHAR)])
        ulBytes += sizeof(WCHAR);
    Status = RtlWriteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSerialComm, pPort->DeviceName.Buffer, REG_SZ,
                                   pPort->awcPortName, ulBytes + sizeof(WCHAR));
    if (!NT_SUCCESS(Status)) {
        IoDeleteSymbolicLink(&uniLink);
        return Status;
    }
    pPort->bPublished = TRUE;
    IoGetConfigurationInformation()->SerialCount++;
    return STATUS_SUCCESS;
}

VOID Unpublish(CSpPort* pPort) {
    if (!pPort->bPublished)
        return;
    WCHAR aLink[32] = u"\\??\\";
    CopyText(aLink + 4, 28, pPort->awcPortName);
    UNICODE_STRING uniLink;
    RtlInitUnicodeString(&uniLink, aLink);
    IoDeleteSymbolicLink(&uniLink);
    // A port renamed while it ran (the device manager's rename defines the new name for this device and
    // writes it as PortName) takes that name away with it too; its next start creates it as its own.
    HANDLE hKey = NULL;
    if (NT_SUCCESS(IoOpenDeviceRegistryKey(pPort->Pdo, PLUGPLAY_REGKEY_DEVICE, KEY_READ, &hKey))) {
        WCHAR aName[SP_MAX_PORT_NAME + 1];
        RtlZeroMemory(aName, sizeof aName);
        ULONG ulLength =
            ReadValue(hKey, u"PortName", REG_SZ, aName, SP_MAX_PORT_NAME * sizeof(WCHAR)) / sizeof(WCHAR);
        ZwClose(hKey);
        while (ulLength && !aName[ulLength - 1])
            ulLength--;
        const ULONG ulCom = ComNumberOf(aName, ulLength);
        if (ulCom && ulCom != pPort->ulComNumber) {
            WCHAR aRenamed[32] = u"\\??\\COM";
            AppendNumber(aRenamed, 32, ulCom);
            UNICODE_STRING uniRenamed;
            RtlInitUnicodeString(&uniRenamed, aRenamed);
            IoDeleteSymbolicLink(&uniRenamed);
        }
    }
    RtlDeleteRegistryValue(RTL_REGISTRY_ABSOLUTE, kSerialComm, pPort->DeviceName.Buffer);
    IoGetConfigurationInformation()->SerialCount--;
    pPort->bPublished = FALSE;
}

} // namespace

NTSTATUS SpStartPort(CSpPort* pPort) {
    NTSTATUS Status = SpReadPortConfig(pPort->Pdo, &pPort->Config);
    if (!NT_SUCCESS(Status))
        return Status;
    const SP_PORT_CONFIG& Config = pPort->Config;
    Status = FindPortName(pPort);
    if (!NT_SUCCESS(Status))
        return Status;

    CV_UART_REGISTERS Regs = {Config.bMemory ? static_cast<USHORT>(0) : Config.unIoBase,
                              Config.bMemory ? Config.pucMemoryBase : NULL};
    pPort->ulDetectedUartType = DetectUartAt(Regs);
    // A forced type is believed; otherwise what answers there, and a port where nothing answers fails.
    ULONG ulType = Config.ulUartType ? Config.ulUartType : pPort->ulDetectedUartType;
    pPort->m_ucDuplexOperation = Config.ucDuplex;
    pPort->m_ucCtsTrue = Config.ucCtsTrue;
    pPort->m_unPortOnCardNumber = Config.unPortNumber;
    pPort->m_ucBusType = static_cast<UCHAR>(Config.ulBusType);
    ProgramBridge(pPort, Config.ulPlxDivisor);
    pPort->pChip_Uart = MakeUart(pPort, ulType, Config.ulPlxDivisor);
    if (!pPort->pChip_Uart)
        return STATUS_DEVICE_CONFIGURATION_ERROR;
    pPort->m_ulUartType = pPort->pChip_Uart->GetUartType();
    pPort->m_ulSupportedBauds = pPort->pChip_Uart->GetSupportedBauds();

    CvInitializeExtension(pPort);
    pPort->OurIsr = SerialISR;
    pPort->OurIsrContext = pPort;
    pPort->FifoPresent = TRUE;
    pPort->LineControl = UART_LCR_7_BITS | UART_LCR_EVEN_PARITY;
    pPort->pChip_Uart->SetLineControl(pPort->LineControl);
    pPort->Vector = Config.ulInterruptVector;
    pPort->OriginalVector = Config.ulBusRelativeVector;
    pPort->Irql = static_cast<KIRQL>(Config.ulInterruptLevel);
    pPort->OriginalIrql = Config.ulInterruptLevel;
    pPort->ProcessorAffinity = Config.Affinity;
    // The ports of a card share its line (a PCI card's, an ISA card's shared IRQ): level-sensitive and
    // shared, each port's routine claiming only what its UART asks for.
    pPort->m_InterruptMode = LevelSensitive;
    pPort->InterruptShareable = TRUE;
    Status = IoConnectInterrupt(&pPort->Interrupt, SerialISR, pPort, NULL, pPort->Vector, pPort->Irql,
                                pPort->Irql, LevelSensitive, TRUE, pPort->ProcessorAffinity, FALSE);
    if (!NT_SUCCESS(Status)) {
        pPort->Interrupt = NULL;
        SpStopPort(pPort);
        return Status;
    }
    Status = Publish(pPort);
    if (!NT_SUCCESS(Status)) {
        SpStopPort(pPort);
        return Status;
    }
    PublishPortSettings(pPort);
    pPort->bStarted = TRUE;
    return STATUS_SUCCESS;
}

VOID SpStopPort(CSpPort* pPort) {
    Unpublish(pPort);
    if (pPort->Interrupt) {
        IoDisconnectInterrupt(pPort->Interrupt);
        pPort->Interrupt = NULL;
    }
    if (pPort->pChip_Uart) {
        delete pPort->pChip_Uart;
        pPort->pChip_Uart = NULL;
    }
    pPort->bStarted = FALSE;
}

VOID SpApplyPendingChanges(CSpPort* pPort) {
    CCvUart* pUart = pPort->pChip_Uart;
    if (!pUart || pPort->DeviceIsOpened)
        return;
    SP_PENDING Pending;
    SpReadPending(pPort->Pdo, &Pending);
    SP_PORT_CONFIG& Config = pPort->Config;
    BOOLEAN bChanged = FALSE;
    if (Pending.bAccess && Config.ulBusType == PCIBus && Pending.bUsePortSpace == Config.bMemory) {
        // A new access method for a card that decodes the registers both ways.
        if (Pending.bUsePortSpace && Config.unIoAlternate) {
            Config.unIoBase = Config.unIoAlternate;
            Config.pucMemoryAlternate = Config.pucMemoryBase;
            Config.bMemory = FALSE;
            bChanged = TRUE;
        } else if (!Pending.bUsePortSpace && Config.pucMemoryAlternate) {
            Config.pucMemoryBase = Config.pucMemoryAlternate;
            Config.unIoAlternate = Config.unIoBase;
            Config.bMemory = TRUE;
            bChanged = TRUE;
        }
    }
    if (Pending.bDuplex && Pending.ucDuplex != pPort->m_ucDuplexOperation) {
        pPort->m_ucDuplexOperation = Pending.ucDuplex;
        bChanged = TRUE;
    }
    if (Pending.bCtsTrue && Pending.ucCtsTrue != pPort->m_ucCtsTrue) {
        pPort->m_ucCtsTrue = Pending.ucCtsTrue;
        bChanged = TRUE;
    }
    if (Pending.bTriggers &&
        (Pending.lRxTrigger != Config.lRxTrigger || Pending.lTxTrigger != Config.lTxTrigger)) {
        Config.lRxTrigger = Pending.lRxTrigger;
        Config.lTxTrigger = Pending.lTxTrigger;
        bChanged = TRUE;
    }
    if (Pending.bSoftTxLimit && Pending.lSoftTxLimit != Config.lSoftTxLimit) {
        Config.lSoftTxLimit = Pending.lSoftTxLimit;
        bChanged = TRUE;
    }
    if (Pending.bMultiplier && Pending.ulMultiplier && Pending.ulMultiplier != Config.ulMultiplier) {
        Config.ulMultiplier = Pending.ulMultiplier;
        bChanged = TRUE;
    }
    // A card-wide divisor changes the clock of every port of the card: it waits until none is open.
    BOOLEAN bCardDivisor = FALSE;
    if (Pending.bDivisor && Pending.ulDivisor && Pending.ulDivisor != Config.ulPlxDivisor &&
        !(CardWideDivisor(Config) && OtherPortOpen(pPort))) {
        Config.ulPlxDivisor = Pending.ulDivisor;
        bChanged = TRUE;
        bCardDivisor = CardWideDivisor(Config);
    }
    ULONG ulType = pUart->GetUartType();
    if (Pending.bUartType && Pending.ucUartType && Pending.ucUartType != ulType) {
        ulType = Pending.ucUartType;
        bChanged = TRUE;
    }
    if (!bChanged)
        return;
    ProgramBridge(pPort, Config.ulPlxDivisor);
    if (ReplaceUart(pPort, ulType, Config.ulPlxDivisor))
        PublishPortSettings(pPort);
    if (!bCardDivisor)
        return;
    // The card's other ports count with the new division from their next rate on.
    for (CSpPort* pOther : g_apPorts) {
        if (!pOther || pOther == pPort || pOther->Config.CardPdo != Config.CardPdo || !pOther->pChip_Uart)
            continue;
        pOther->Config.ulPlxDivisor = Config.ulPlxDivisor;
        pOther->pChip_Uart->m_unPlxBaudClockDivisor = AppliedDivisor(pOther->Config, Config.ulPlxDivisor);
        pOther->m_ulSupportedBauds = pOther->pChip_Uart->GetSupportedBauds();
        PublishPortSettings(pOther);
    }
}

VOID SpTrackPort(CSpPort* pPort, BOOLEAN bTrack) {
    for (CSpPort*& pSlot : g_apPorts)
        if (bTrack ? !pSlot : pSlot == pPort) {
            pSlot = bTrack ? pPort : NULL;
            return;
        }
}
