// The UART class family: one object per port drives the port's UART through port I/O, hiding the
// differences between the 16450, 16550, 16750 and 16950, keeping the image of the write-only FIFO control
// register, and turning baud rates into divisors (and on the 16950 sample clock and prescaler).
#pragma once

#include "ntddk.h"

// UART type codes, as detected and as configured (0: none found / detect).
#define CV_UART_NONE 0
#define CV_UART_16450 4
#define CV_UART_16550 5
#define CV_UART_16750 7
#define CV_UART_16950 9

class CCvUart {
public:
    CCvUart();
    virtual ~CCvUart();

    virtual NTSTATUS SetBaudrate(ULONG ulBaudRate);
    virtual NTSTATUS GetDivisorFromBaud(ULONG ulBaudRate, USHORT& unDivisor);
    virtual ULONG GetBaudFromDivisor(USHORT unDivisor);
    virtual NTSTATUS BaudRateAccChk(ULONG ulBaudRate, USHORT unDivisor);
    virtual VOID SetEnhancedMode() {}
    virtual VOID EnableBaudPrescaler() {}
    virtual VOID Set64Fifo() {}

    VOID WriteData(UCHAR ucValue);
    VOID WriteDataMultiple(PUCHAR pucBuffer, ULONG ulCount);
    UCHAR ReadData();
    VOID WriteDivisor(USHORT unDivisor);
    VOID EnableRxDataAvailableInterrupt();
    VOID DisableRxDataAvailableInterrupt();
    VOID EnableTxHoldingRegisterEmptyInterrupt();
    VOID DisableTxHoldingRegisterEmptyInterrupt();
    VOID EnableRxLineStatusInterrupt();
    VOID DisableRxLineStatusInterrupt();
    VOID EnableModemStatusInterrupt();
    VOID DisableModemStatusInterrupt();
    VOID EnableAllInterrupts();
    VOID DisableAllInterrupts();
    BOOLEAN EnableFifoAndFlush();
    VOID DisableFifo();
    VOID SetReceiverTriggerLevel(UCHAR ucLevel);
    VOID FlushRxHoldingRegister();
    VOID FlushTxHoldingRegister();
    VOID ClearDmaMode();
    UCHAR ReadInterruptStatusRegister();
    VOID SetDataLength(UCHAR ucCode);
    VOID SetNumberStopBits(UCHAR ucCode);
    VOID SetParity(UCHAR ucCode);
    // Writes the whole line control register (length, stop bits, parity and break at once).
    VOID SetLineControl(UCHAR ucLcr);
    VOID SetBreak();
    VOID ClearBreak();
    VOID SetDivisorLatchAccessBit();
    VOID ClearDivisorLatchAccessBit();
    VOID SetDtr();
    VOID ClearDtr();
    BOOLEAN GetDtr();
    VOID SetRts();
    VOID ClearRts();
    BOOLEAN GetRts();
    VOID SetOut2();
    VOID ClearOut2();
    VOID DisableInterrupts();
    VOID ClearLoopbackMode();
    UCHAR ReadLineStatusRegister();
    BOOLEAN GetDataReady();
    UCHAR ReadModemStatusRegister();
    UCHAR GetUartType() { return m_ucUartType; }
    ULONG GetBaudrate() { return m_ulBaudRate; }
    ULONG GetSupportedBauds();
    VOID ResetUart();

    USHORT m_unBaseAddress;
    ULONG m_ulBusRelativeBaseAddress;
    USHORT m_unBaseAddressRange;
    ULONG m_ulClockFrequency;
    ULONG m_ulBaudRate;
    LONG m_lTxTriggerLevel;
    LONG m_lRxTriggerLevel;
    LONG m_lSoftTxLimit;
    LONG m_lSoftTxLimitInBytes;
    ULONG m_ulClockFrequencyAdjustment; // signed: a multiplier when positive, a divisor when negative
    ULONG m_unPlxBaudClockDivisor;      // the bridge's further division of the clock, 0 for none
    UCHAR m_ucFCR;
    UCHAR m_ucUartType;

protected:
    // The clock the UART divides: crystal, adjustment and bridge divisor applied.
    ULONG RealClock() const;
    UCHAR ReadRegister(USHORT unOffset);
    VOID WriteRegister(USHORT unOffset, UCHAR ucValue);
    VOID SetBits(USHORT unOffset, UCHAR ucBits);
    VOID ClearBits(USHORT unOffset, UCHAR ucBits);
};

class CCvUart450 : public CCvUart {
public:
    CCvUart450();
    ~CCvUart450() override;
};

class CCvUart550 : public CCvUart {
public:
    CCvUart550();
    ~CCvUart550() override;
};

class CCvUart750 : public CCvUart {
public:
    CCvUart750();
    ~CCvUart750() override;
    VOID Set64Fifo() override;
};

class CCvUart950 : public CCvUart550 {
public:
    CCvUart950();
    ~CCvUart950() override;

    using CCvUart::BaudRateAccChk;
    using CCvUart::GetDivisorFromBaud;
    NTSTATUS SetBaudrate(ULONG ulBaudRate) override;
    ULONG GetBaudFromDivisor(USHORT unDivisor) override;
    VOID SetEnhancedMode() override;
    VOID EnableBaudPrescaler() override;
    virtual NTSTATUS GetDivisorFromBaud(ULONG ulBaudRate, USHORT& unDivisor, UCHAR& ucTimesClock,
                                        UCHAR& ucPrescaler);
    virtual NTSTATUS BaudRateAccChk(ULONG ulBaudRate, USHORT unDivisor, UCHAR ucTimesClock,
                                    UCHAR ucPrescaler);

    ULONG PrimeDivisors(ULONG ulN, UCHAR& ucPrescaler);
    VOID WriteTimesClockValue(UCHAR ucValue);
    VOID WriteClockPrescaler(UCHAR ucValue);
};

// Probes the I/O address and returns the UART type code found there, or 0 when nothing answers.
UCHAR DetectUart(USHORT unBaseAddress);

// A new UART object of the given type from non-paged pool; null for an unknown type or no memory.
CCvUart* CvAllocateUart(UCHAR ucUartType);
// The last steps of a port's UART set-up once its addresses and clock are filled in: reset, the
// type's own completion and the soft transmit limit in bytes.
VOID CvCompleteUartSetUp(CCvUart* pUart);
// Deletes a UART object inside the image that allocated it.
VOID CvFreeUart(CCvUart* pUart);
