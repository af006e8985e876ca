// One card of CvNt, shared by its ports: what discovery found, the resources claimed for it, its bridge
// registers and, for cards with a shared interrupt status register, its interrupt.
#pragma once

#include "ntddk.h"

class CCvDevice;

#define CV_MAX_PORTS_PER_CARD 8
// A shared interrupt status register reads the index of the lowest port that needs service, or this.
#define CV_SISR_IDLE 0xFF

class CCvCard {
public:
    CCvCard();
    ~CCvCard();

    CCvDevice* apDevice[CV_MAX_PORTS_PER_CARD]; // index = port number - 1; empty slots null
    ULONG ulVendorID;
    ULONG ulDeviceID;
    ULONG ulBusNumber;
    UCHAR ucDeviceNumber;
    UCHAR ucFunctionNumber;
    ULONG ulNumberComPorts;
    ULONG ulNumberLptPorts;
    ULONG ulBaseAddressRange;
    ULONG ulBaseAddressAlignment;
    ULONG m_ulBusRelativeBaseAddress;
    UCHAR m_ucBusRelativeInterruptLine;
    USHORT unBaseAddress;
    ULONG OriginalVector;
    ULONG OriginalIrql;
    KIRQL Irql;
    KAFFINITY ProcessorAffinity;
    ULONG Vector;
    KINTERRUPT_MODE m_InterruptMode;
    PDEVICE_OBJECT DeviceObject; // the card's own device object, owner of its resource claim
    UNICODE_STRING m_uniPathToCard;
    PKINTERRUPT Interrupt; // the card's interrupt object (cards with a shared status register)
    PKSERVICE_ROUTINE OurIsr;
    ULONG m_ulBusRelativePlxAddress;
    ULONG m_ulPlxAddressRange;
    USHORT m_unPlxAddress;
    UCHAR m_ucPlxBaudClockType;
    USHORT m_unPlxBaudClockDivisor;
    USHORT m_unPlxBaudClockOffset;
    ULONG m_ulBusRelativeIoWindow2Address;
    ULONG m_ulIoWindow2AddressRange;
    USHORT m_unIoWindow2Address;
    ULONG m_ulSisrAddress; // I/O address of the shared interrupt status register, 0 for none
    // Reads of the status register that named an invalid or disabled port, and service loops given up
    // because it kept doing so.
    ULONG m_ulSisrNoiseReads;
    ULONG m_ulSisrLoopsAbandoned;
};
