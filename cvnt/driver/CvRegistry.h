// CvNt's configuration records as read from its service key: the PCI card templates, the installed PCI
// and ISA cards with their ports, and the two bus lists handed from the reading step to start-up.
#pragma once

#include "CvImage.h"
#include "CvLinkedList.h"

#define CV_BUS_ISA 1
#define CV_BUS_PCI 5

// The longest Description a template may have, in characters.
#define CV_MAX_DESCRIPTION_CHARS 256

typedef struct _TemplatesCardStruct {
    ULONG VendorID;
    ULONG DeviceID;
    ULONG ClockFrequency;
    ULONG ClockFrequencyAdjustment; // used as signed
    LONG nComPorts;
    UNICODE_STRING Description; // owns its buffer
    ULONG BaseAddressRange;     // never read, stays 0
    ULONG BaseAddressAlignment;
    ULONG PlxBaudClockType;
    ULONG PlxBaudClockDivisor;
    ULONG PlxBaudClockOffset;
    LONG nLptPorts;
    LONG DuplexOperation;
    LONG CtsTrue;
    LONG RxTriggerLevel;
    LONG SoftTxLimit;
    LONG TxTriggerLevel;
    ULONG UartType;
} TemplatesCardStruct, *PTemplatesCardStruct;

typedef struct _ParametersCardPortStruct {
    LONG RxTriggerLevel;
    LONG SoftTxLimit;
    LONG TxTriggerLevel;
    ULONG PlxBaudClockType; // never read, stays 0
    LONG PlxBaudClockDivisor;
    LONG CtsTrue;
    LONG DuplexOperation;
    ULONG UartType;
    ULONG ulBaseAddress;
    ULONG ulBaseAddressRange;
    ULONG ulBaseAddressAlignment;
    ULONG ulInterruptLevel;
    LONG nCom;
    UNICODE_STRING uniPathToPort; // owns its buffer
} ParametersCardPortStruct, *PParametersCardPortStruct;

typedef struct _ParametersCardStruct {
    ULONG VendorID;
    ULONG DeviceID;
    LONG nBus;
    LONG nSlot;
    ULONG PlxBaudClockDivisor;
    ULONG PlxBaudClockType;
    ULONG PlxBaudClockOffset; // never read, stays 0
    ULONG ulInterruptLevel;
    ULONG ulSisrAddress;
    ULONG ClockFrequency;
    ULONG ClockFrequencyAdjustment;
    CCvLinkedList* pParametersCardPortList; // of ParametersCardPortStruct
    UNICODE_STRING uniPathToCard;           // owns its buffer
} ParametersCardStruct, *PParametersCardStruct;

typedef struct _PciBusStruct {
    CCvLinkedList* pParametersCardList; // of ParametersCardStruct
    CCvLinkedList* pTemplatesCardList;  // of TemplatesCardStruct
} PciBusStruct, *PPciBusStruct;

typedef struct _IsaBusStruct {
    CCvLinkedList* pParametersCardList; // of ParametersCardStruct
} IsaBusStruct, *PIsaBusStruct;

NTSTATUS GetRegistrySettings(PUNICODE_STRING RegistryPath, PPciBusStruct pPciBusStruct,
                             PIsaBusStruct pIsaBusStruct);
// Releases the three lists and every record in them (also what a failed read left).
VOID DeleteRegistrySettings(PPciBusStruct pPciBusStruct, PIsaBusStruct pIsaBusStruct);

// Lists whose records release their owned buffers and nested lists with them.
CCvLinkedList* CvCreateTemplatesCardList();
CCvLinkedList* CvCreateParametersCardList();
CCvLinkedList* CvCreateParametersCardPortList();

// Readers: (branch path, list) -> 0 at the first missing key; STATUS_UNSUCCESSFUL on any failure (the
// list is then emptied); STATUS_INSUFFICIENT_RESOURCES when the query table cannot be had.
NTSTATUS GetTemplatesCardPci(PUNICODE_STRING puniBranch, CCvLinkedList* pList);
NTSTATUS GetParametersCardPci(PUNICODE_STRING puniBranch, CCvLinkedList* pList);
NTSTATUS GetParametersCardPortPci(PUNICODE_STRING puniCard, CCvLinkedList* pList);
NTSTATUS GetParametersCardIsa(PUNICODE_STRING puniBranch, CCvLinkedList* pList);
NTSTATUS GetParametersCardPortIsa(PUNICODE_STRING puniCard, CCvLinkedList* pList);

// Validators: repair in place, delete unusable records with their message; STATUS_NOT_FOUND when the
// list is empty before or after.
NTSTATUS EvaluateTemplatesCardPci(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardPci(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardPortPci(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardIsa(CCvLinkedList* pList);
NTSTATUS EvaluateParametersCardPortIsa(CCvLinkedList* pList);
