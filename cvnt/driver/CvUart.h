// The UART class family: one object per port drives the port's UART through port I/O, hiding the
// differences between the 16450, 16550, 16750 and 16950, keeping the image of the write-only FIFO control
// register, and turning baud rates into divisors (and on the 16950 sample clock and prescaler).
#pragma once

#include "ntddk.h"

// The UART's registers, as offsets from its base address, and their bits.
#define UART_RBR 0 // receive buffer (read)
#define UART_THR 0 // transmit holding register (write)
#define UART_DLL 0 // divisor latch, low byte (with DLAB set)
#define UART_IER 1 // interrupt enable
#define UART_DLM 1 // divisor latch, high byte (with DLAB set)
#define UART_IIR 2 // interrupt identification (read)
#define UART_FCR 2 // FIFO control (write only)
#define UART_EFR 2 // 16950 enhanced features (while LCR holds UART_LCR_ENHANCED_ACCESS)
#define UART_LCR 3 // line control
#define UART_MCR 4 // modem control
#define UART_LSR 5 // line status
#define UART_ICR 5 // 16950 indexed control register, the one UART_SPR names
#define UART_MSR 6 // modem status
#define UART_SPR 7 // scratch pad; on the 16950 the index of the indexed control registers
#define UART_REGISTER_COUNT 8

#define UART_IER_RDA 0x01  // received data available
#define UART_IER_THRE 0x02 // transmit holding register empty
#define UART_IER_RLS 0x04  // receiver line status
#define UART_IER_MS 0x08   // modem status

#define UART_IIR_NO_INTERRUPT 0x01
#define UART_IIR_ID_MASK 0x0E // which interrupt, the character timeout included
#define UART_IIR_ID_FULL_MASK 0x3F
#define UART_IIR_MODEM_STATUS 0x00
#define UART_IIR_THR_EMPTY 0x02
#define UART_IIR_RX_DATA 0x04
#define UART_IIR_RX_LINE_STATUS 0x06
#define UART_IIR_CHAR_TIMEOUT 0x0C
#define UART_IIR_64_BYTE_FIFO 0x20
#define UART_IIR_FIFOS_ENABLED 0xC0

#define UART_FCR_ENABLE 0x01
#define UART_FCR_RX_CLEAR 0x02
#define UART_FCR_TX_CLEAR 0x04
#define UART_FCR_DMA_MODE 0x08
#define UART_FCR_64_BYTE_FIFO 0x20 // 16750, written while DLAB is set
#define UART_FCR_TRIGGER_MASK 0xC0
#define UART_FCR_TRIGGER_1 0x00 // receive trigger levels of a 16-byte FIFO, in characters
#define UART_FCR_TRIGGER_4 0x40
#define UART_FCR_TRIGGER_8 0x80
#define UART_FCR_TRIGGER_14 0xC0

#define UART_LCR_WORD_LENGTH_MASK 0x03
#define UART_LCR_5_BITS 0x00
#define UART_LCR_6_BITS 0x01
#define UART_LCR_7_BITS 0x02
#define UART_LCR_8_BITS 0x03
#define UART_LCR_STOP_BITS 0x04 // 1.5 or 2 stop bits
#define UART_LCR_PARITY_MASK 0x38
#define UART_LCR_ODD_PARITY 0x08
#define UART_LCR_EVEN_PARITY 0x18
#define UART_LCR_MARK_PARITY 0x28
#define UART_LCR_SPACE_PARITY 0x38
#define UART_LCR_BREAK 0x40
#define UART_LCR_DLAB 0x80
#define UART_LCR_ENHANCED_ACCESS 0xBF // opens the 16950's EFR

#define UART_MCR_DTR 0x01
#define UART_MCR_RTS 0x02
#define UART_MCR_OUT1 0x04
#define UART_MCR_OUT2 0x08
#define UART_MCR_LOOP 0x10
#define UART_MCR_PRESCALER 0x80 // 16950: the clock prescaler acts

#define UART_LSR_DR 0x01
#define UART_LSR_OE 0x02
#define UART_LSR_PE 0x04
#define UART_LSR_FE 0x08
#define UART_LSR_BI 0x10
#define UART_LSR_THRE 0x20
#define UART_LSR_TEMT 0x40
#define UART_LSR_FIFO_ERROR 0x80
#define UART_LSR_ERRORS (UART_LSR_OE | UART_LSR_PE | UART_LSR_FE | UART_LSR_BI)
#define UART_LSR_CHARACTER_ERRORS (UART_LSR_OE | UART_LSR_PE | UART_LSR_FE)

#define UART_MSR_DCTS 0x01
#define UART_MSR_DDSR 0x02
#define UART_MSR_TERI 0x04
#define UART_MSR_DDCD 0x08
#define UART_MSR_DELTAS 0x0F
#define UART_MSR_CTS 0x10
#define UART_MSR_DSR 0x20
#define UART_MSR_RI 0x40
#define UART_MSR_DCD 0x80

#define UART_EFR_ENHANCED 0x10
// 16950 indexed control registers and their values.
#define UART_ICR_ACR 0x00 // additional control
#define UART_ICR_CPR 0x01 // clock prescaler
#define UART_ICR_TCR 0x02 // times clock (samples per bit)
#define UART_ICR_ID1 0x08
#define UART_ICR_ID2 0x09
#define UART_ICR_ID3 0x0A
#define UART_ACR_ICR_READ 0x40      // the indexed registers read back
#define UART_CPR_DIVIDE_BY_ONE 0x08 // the prescaler in eighths: 8 leaves the clock as it is
#define UART_ID1_16950 0x16
#define UART_ID2_16950 0xC9
#define UART_ID3_16950 0x50
#define UART_ID3_MASK 0xF0

// UART type codes, as detected and as configured (0: none found / detect).
#define CV_UART_NONE 0
#define CV_UART_16450 4
#define CV_UART_16550 5
#define CV_UART_16750 7
#define CV_UART_16950 9

// Where a UART's registers are: at a port address in I/O space, or, when pucMemory is set, in a memory
// window mapped for the driver (one byte per register, as in I/O space).
typedef struct _CV_UART_REGISTERS {
    USHORT unPort;
    PUCHAR pucMemory;
} CV_UART_REGISTERS;

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
    // Puts the chip back into the 16550-compatible mode it resets to, undoing what this type's set-up
    // switched on (before another type's object takes the port over).
    virtual VOID RestoreCompatibleMode() {}

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
    PUCHAR m_pucMappedBase; // the registers in a mapped memory window; null: at m_unBaseAddress
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
    ULONG m_ulBaudrateMultiplier;       // a rate asked for runs this many times faster on the line
    UCHAR m_ucFCR;
    UCHAR m_ucUartType;

protected:
    // The clock the UART divides: crystal, adjustment and bridge divisor applied.
    ULONG RealClock() const;
    CV_UART_REGISTERS Registers() const;
    // The rate on the line for a rate asked for (the multiplier applied); FALSE when it does not fit.
    BOOLEAN LineRate(ULONG ulBaudRate, ULONG& ulLineRate) const;
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
    VOID RestoreCompatibleMode() override;
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
    VOID RestoreCompatibleMode() override;
    virtual NTSTATUS GetDivisorFromBaud(ULONG ulBaudRate, USHORT& unDivisor, UCHAR& ucTimesClock,
                                        UCHAR& ucPrescaler);
    virtual NTSTATUS BaudRateAccChk(ULONG ulBaudRate, USHORT unDivisor, UCHAR ucTimesClock,
                                    UCHAR ucPrescaler);

    ULONG PrimeDivisors(ULONG ulN, UCHAR& ucPrescaler);
    VOID WriteTimesClockValue(UCHAR ucValue);
    VOID WriteClockPrescaler(UCHAR ucValue);
};

// Probes the registers and returns the UART type code found there, or 0 when nothing answers.
UCHAR DetectUartAt(CV_UART_REGISTERS Registers);
// The same at an I/O address.
UCHAR DetectUart(USHORT unBaseAddress);

// A new UART object of the given type from non-paged pool; null for an unknown type or no memory.
CCvUart* CvAllocateUart(UCHAR ucUartType);
// The last steps of a port's UART set-up once its addresses and clock are filled in: reset, the
// type's own completion and the soft transmit limit in bytes.
VOID CvCompleteUartSetUp(CCvUart* pUart);
// Deletes a UART object inside the image that allocated it.
VOID CvFreeUart(CCvUart* pUart);
