// The records CvInstal keeps behind its device objects: a CCvCard behind each card device, a CCvPort
// behind each child port device. The port drivers that load on the children read them through the
// child's DeviceExtension (and the card through the port's pCard), so their layouts are fixed as the
// drivers' 32-bit platform lays them out.
#pragma once

#include "ntddk.h"

#define CV_KIND_PORT 1
#define CV_KIND_CARD 2
#define CV_MAX_CHILDREN 8

#define CV_PORT_COM 1
#define CV_PORT_LPT 2

// Plug-and-play states of cards and children.
#define CV_PNP_NOT_STARTED 0
#define CV_PNP_STARTED 1
#define CV_PNP_STOPPED 2
#define CV_PNP_STOP_PENDING 3
#define CV_PNP_REMOVED 4
#define CV_PNP_REMOVE_PENDING 5
#define CV_PNP_SURPRISE_REMOVED 6

#define CV_NOT_GIVEN 0xFFFFFFFF

class CCvPort;

class CCvCard {
public:
    CCvCard();
    ~CCvCard();

    ULONG ulExtensionType;
    PDEVICE_OBJECT DeviceObject;
    PDEVICE_OBJECT PhysicalDeviceObject;
    PDEVICE_OBJECT LowerDeviceObject;
    ULONG ulPnpState;
    ULONG ulPagingPathCount;
    ULONG ulUsageNotificationCount;
    ULONG DevicePowerState;
    USHORT unVendorID;
    USHORT unDeviceID;
    ULONG ulSubsysID;
    ULONG ulBusType;
    ULONG ulBusNumber;
    PCI_SLOT_NUMBER SlotNumber;
    PDEVICE_OBJECT apChildPdo[CV_MAX_CHILDREN];
    CCvPort* apPort[CV_MAX_CHILDREN];
    USHORT unNumberComPorts;
    USHORT unNumberLptPorts;
    ULONG ulPlxAddress;
    ULONG ulPlxAddressRange;
    ULONG ulBaseAddress;
    ULONG ulBaseAddressRange;
    ULONG ulBusRelativeBaseAddress;
    ULONG ulIoWindow2Address;
    ULONG ulIoWindow2AddressRange;
    ULONG ulBusRelativeIoWindow2Address;
    ULONG ulInterruptLevel;
    ULONG ulInterruptVector;
    ULONG ulInterruptAffinity;
    ULONG ulBusRelativeInterruptVector;
    PVOID pvPlxMemory;
    ULONG ulPlxMemoryRange;
    PVOID pvBaseMemory;
    ULONG ulBaseMemoryRange;
    ULONG ulBusRelativeBaseMemory;
    UCHAR aucReserved1[12];
    UCHAR bUsePortSpaceAccess;
    UCHAR ucReserved2;
    UCHAR ucPlxBaudClockType;
    USHORT unPlxBaudClockDivisor;
    ULONG ulMaximumBaudrate;
    UNICODE_STRING uniHardwareID;
    ULONG ulDeviceReference;
    ULONG aulPortAddress[CV_MAX_CHILDREN];
    ULONG aulPortAddressRange[CV_MAX_CHILDREN];
    ULONG aulBusRelativePortAddress[CV_MAX_CHILDREN];
    ULONG aulInterruptLevel[CV_MAX_CHILDREN];
    ULONG aulInterruptVector[CV_MAX_CHILDREN];
    ULONG aulInterruptAffinity[CV_MAX_CHILDREN];
    ULONG aulBusRelativeInterruptVector[CV_MAX_CHILDREN];
    UCHAR bPowerPagable;
    ULONG ulLogLevel;
    UNICODE_STRING uniInterfaceName;
    UCHAR bAccessChanged;
    UCHAR bNewUsePortSpaceAccess;
    UCHAR bDivisorChanged;
    ULONG ulNewPlxBaudClockDivisor;
};

class CCvPort {
public:
    CCvPort();
    ~CCvPort() {}

    ULONG ulExtensionType;
    PDEVICE_OBJECT DeviceObject;
    ULONG ulBusType;
    ULONG ulPortType;
    ULONG ulPnpState;
    ULONG DevicePowerState;
    CCvCard* pCard;
    USHORT unPortNumber;
    ULONG ulAddressSpace;
    ULONG ulBaseAddress;
    ULONG ulBaseAddressRange;
    ULONG ulBusRelativeBaseAddress;
    ULONG ulInterruptLevel;
    ULONG ulInterruptVector;
    ULONG ulInterruptAffinity;
    ULONG ulBusRelativeInterruptVector;
    UCHAR aucReserved1[12];
    ULONG ulClockFrequency;
    ULONG ulClockFrequencyAdjustment;
    UCHAR aucReserved2[20];
    ULONG ulPlxBaudClockType;
    ULONG ulPlxBaudClockDivisor;
    ULONG ulPlxBaudClockOffset;
    UCHAR aucReserved3[4];
    ULONG ulDuplexOperation;
    ULONG ulCtsTrue;
    LONG lRxTriggerLevel;
    LONG lSoftTxLimit;
    LONG lTxTriggerLevel;
    ULONG ulUartType;
    ULONG ulNoSleepMode;
    UCHAR bUsePortSpaceAccess;
    ULONG ulBaudrateMultiplier;
    UCHAR bUartTypeChanged;
    UCHAR ucNewUartType;
    UCHAR bCtsTrueChanged;
    ULONG ulNewCtsTrue;
    UCHAR bDuplexChanged;
    ULONG ulNewDuplexOperation;
    UCHAR bTriggerLevelsChanged;
    LONG lNewRxTriggerLevel;
    LONG lNewTxTriggerLevel;
    UCHAR bSoftTxLimitChanged;
    LONG lNewSoftTxLimit;
    UCHAR bDivisorChanged;
    ULONG ulNewPlxBaudClockDivisor;
    UCHAR bBaudrateMultiplierChanged;
    ULONG ulNewBaudrateMultiplier;
};

// The interface classes of the cards, one per bus.
extern const GUID GUID_CV_PCI_CARD_INTERFACE;
extern const GUID GUID_CV_ISA_CARD_INTERFACE;
extern const GUID GUID_CV_PCMCIA_CARD_INTERFACE;
// The bus type the children report.
extern const GUID GUID_CV_CHILD_BUS_TYPE;

// Layouts that the port drivers and the tools rely on, as the drivers' 32-bit platform lays them out.
#if UINTPTR_MAX == 0xFFFFFFFFu
static_assert(sizeof(CCvCard) == 472, "card record");
static_assert(offsetof(CCvCard, ulExtensionType) == 0 && offsetof(CCvCard, DeviceObject) == 4 &&
                  offsetof(CCvCard, PhysicalDeviceObject) == 8 &&
                  offsetof(CCvCard, LowerDeviceObject) == 12 && offsetof(CCvCard, ulPnpState) == 16 &&
                  offsetof(CCvCard, ulPagingPathCount) == 20 &&
                  offsetof(CCvCard, ulUsageNotificationCount) == 24 &&
                  offsetof(CCvCard, DevicePowerState) == 28,
              "card record: states");
static_assert(offsetof(CCvCard, unVendorID) == 32 && offsetof(CCvCard, unDeviceID) == 34 &&
                  offsetof(CCvCard, ulSubsysID) == 36 && offsetof(CCvCard, ulBusType) == 40 &&
                  offsetof(CCvCard, ulBusNumber) == 44 && offsetof(CCvCard, SlotNumber) == 48 &&
                  offsetof(CCvCard, apChildPdo) == 52 && offsetof(CCvCard, apPort) == 84 &&
                  offsetof(CCvCard, unNumberComPorts) == 116 && offsetof(CCvCard, unNumberLptPorts) == 118,
              "card record: identity and children");
static_assert(offsetof(CCvCard, ulPlxAddress) == 120 && offsetof(CCvCard, ulPlxAddressRange) == 124 &&
                  offsetof(CCvCard, ulBaseAddress) == 128 && offsetof(CCvCard, ulBaseAddressRange) == 132 &&
                  offsetof(CCvCard, ulBusRelativeBaseAddress) == 136 &&
                  offsetof(CCvCard, ulIoWindow2Address) == 140 &&
                  offsetof(CCvCard, ulIoWindow2AddressRange) == 144 &&
                  offsetof(CCvCard, ulBusRelativeIoWindow2Address) == 148 &&
                  offsetof(CCvCard, ulInterruptLevel) == 152 && offsetof(CCvCard, ulInterruptVector) == 156 &&
                  offsetof(CCvCard, ulInterruptAffinity) == 160 &&
                  offsetof(CCvCard, ulBusRelativeInterruptVector) == 164,
              "card record: I/O resources");
static_assert(offsetof(CCvCard, pvPlxMemory) == 168 && offsetof(CCvCard, ulPlxMemoryRange) == 172 &&
                  offsetof(CCvCard, pvBaseMemory) == 176 && offsetof(CCvCard, ulBaseMemoryRange) == 180 &&
                  offsetof(CCvCard, ulBusRelativeBaseMemory) == 184 &&
                  offsetof(CCvCard, bUsePortSpaceAccess) == 200 &&
                  offsetof(CCvCard, ucPlxBaudClockType) == 202 &&
                  offsetof(CCvCard, unPlxBaudClockDivisor) == 204 &&
                  offsetof(CCvCard, ulMaximumBaudrate) == 208 && offsetof(CCvCard, uniHardwareID) == 212 &&
                  offsetof(CCvCard, ulDeviceReference) == 220,
              "card record: memory and settings");
static_assert(
    offsetof(CCvCard, aulPortAddress) == 224 && offsetof(CCvCard, aulPortAddressRange) == 256 &&
        offsetof(CCvCard, aulBusRelativePortAddress) == 288 && offsetof(CCvCard, aulInterruptLevel) == 320 &&
        offsetof(CCvCard, aulInterruptVector) == 352 && offsetof(CCvCard, aulInterruptAffinity) == 384 &&
        offsetof(CCvCard, aulBusRelativeInterruptVector) == 416 && offsetof(CCvCard, bPowerPagable) == 448 &&
        offsetof(CCvCard, ulLogLevel) == 452 && offsetof(CCvCard, uniInterfaceName) == 456 &&
        offsetof(CCvCard, bAccessChanged) == 464 && offsetof(CCvCard, bNewUsePortSpaceAccess) == 465 &&
        offsetof(CCvCard, bDivisorChanged) == 466 && offsetof(CCvCard, ulNewPlxBaudClockDivisor) == 468,
    "card record: ISA ports and pending changes");
static_assert(sizeof(CCvPort) == 208, "port record");
static_assert(offsetof(CCvPort, ulExtensionType) == 0 && offsetof(CCvPort, DeviceObject) == 4 &&
                  offsetof(CCvPort, ulBusType) == 8 && offsetof(CCvPort, ulPortType) == 12 &&
                  offsetof(CCvPort, ulPnpState) == 16 && offsetof(CCvPort, DevicePowerState) == 20 &&
                  offsetof(CCvPort, pCard) == 24 && offsetof(CCvPort, unPortNumber) == 28 &&
                  offsetof(CCvPort, ulAddressSpace) == 32 && offsetof(CCvPort, ulBaseAddress) == 36 &&
                  offsetof(CCvPort, ulBaseAddressRange) == 40 &&
                  offsetof(CCvPort, ulBusRelativeBaseAddress) == 44,
              "port record: identity and address");
static_assert(offsetof(CCvPort, ulInterruptLevel) == 48 && offsetof(CCvPort, ulInterruptVector) == 52 &&
                  offsetof(CCvPort, ulInterruptAffinity) == 56 &&
                  offsetof(CCvPort, ulBusRelativeInterruptVector) == 60 &&
                  offsetof(CCvPort, ulClockFrequency) == 76 &&
                  offsetof(CCvPort, ulClockFrequencyAdjustment) == 80 &&
                  offsetof(CCvPort, ulPlxBaudClockType) == 104 &&
                  offsetof(CCvPort, ulPlxBaudClockDivisor) == 108 &&
                  offsetof(CCvPort, ulPlxBaudClockOffset) == 112 &&
                  offsetof(CCvPort, ulDuplexOperation) == 120 && offsetof(CCvPort, ulCtsTrue) == 124,
              "port record: interrupt, clock and bridge");
static_assert(offsetof(CCvPort, lRxTriggerLevel) == 128 && offsetof(CCvPort, lSoftTxLimit) == 132 &&
                  offsetof(CCvPort, lTxTriggerLevel) == 136 && offsetof(CCvPort, ulUartType) == 140 &&
                  offsetof(CCvPort, ulNoSleepMode) == 144 && offsetof(CCvPort, bUsePortSpaceAccess) == 148 &&
                  offsetof(CCvPort, ulBaudrateMultiplier) == 152,
              "port record: UART settings");
static_assert(offsetof(CCvPort, bUartTypeChanged) == 156 && offsetof(CCvPort, ucNewUartType) == 157 &&
                  offsetof(CCvPort, bCtsTrueChanged) == 158 && offsetof(CCvPort, ulNewCtsTrue) == 160 &&
                  offsetof(CCvPort, bDuplexChanged) == 164 &&
                  offsetof(CCvPort, ulNewDuplexOperation) == 168 &&
                  offsetof(CCvPort, bTriggerLevelsChanged) == 172 &&
                  offsetof(CCvPort, lNewRxTriggerLevel) == 176 &&
                  offsetof(CCvPort, lNewTxTriggerLevel) == 180 &&
                  offsetof(CCvPort, bSoftTxLimitChanged) == 184 &&
                  offsetof(CCvPort, lNewSoftTxLimit) == 188 && offsetof(CCvPort, bDivisorChanged) == 192 &&
                  offsetof(CCvPort, ulNewPlxBaudClockDivisor) == 196 &&
                  offsetof(CCvPort, bBaudrateMultiplierChanged) == 200 &&
                  offsetof(CCvPort, ulNewBaudrateMultiplier) == 204,
              "port record: pending changes");
#endif
