#include "CvUart.h"
#include "ntddser.h"

#include "CvResourceKiller.h"

namespace {

// Rates at which the accuracy check's 32-bit products (rate x 101) would wrap; no UART of the cards
// comes near them, and refusing them keeps a caller's rate from dividing by a wrapped zero.
const ULONG kHighestCheckableRate = 0xFFFFFFFFu / 101;

const UCHAR kPrimes[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};

inline PUCHAR PortAddress(USHORT unBase, USHORT unOffset) {
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(static_cast<USHORT>(unBase + unOffset)));
}

inline UCHAR In(const CV_UART_REGISTERS& Regs, USHORT unOffset) {
    return Regs.pucMemory ? READ_REGISTER_UCHAR(Regs.pucMemory + unOffset)
                          : READ_PORT_UCHAR(PortAddress(Regs.unPort, unOffset));
}
inline VOID Out(const CV_UART_REGISTERS& Regs, USHORT unOffset, UCHAR ucValue) {
    if (Regs.pucMemory)
        WRITE_REGISTER_UCHAR(Regs.pucMemory + unOffset, ucValue);
    else
        WRITE_PORT_UCHAR(PortAddress(Regs.unPort, unOffset), ucValue);
}

// Accepts approx for rate when it is exact or within 1 % either way, the boundary included.
NTSTATUS WithinOnePercent(ULONG ulApprox, ULONG ulRate) {
    if (ulApprox == ulRate)
        return STATUS_SUCCESS;
    if (ulApprox > ulRate && ulApprox * 100 <= ulRate * 101)
        return STATUS_SUCCESS;
    if (ulRate > ulApprox && ulApprox * 100 >= ulRate * 99)
        return STATUS_SUCCESS;
    return STATUS_UNSUCCESSFUL;
}

// 32768 and 56000 are accepted with whatever divisor the computation gave.
inline BOOLEAN ExceptionRate(ULONG ulRate) {
    return ulRate == 32768 || ulRate == 56000;
}

} // namespace

// ---------------------------------------------------------------------------------------------
// CCvUart
// ---------------------------------------------------------------------------------------------

CCvUart::CCvUart() {
    m_unBaseAddress = 0;
    m_pucMappedBase = NULL;
    m_ulBaudrateMultiplier = 1;
    m_ulBusRelativeBaseAddress = 0;
    m_unBaseAddressRange = 0;
    m_ulClockFrequency = 0;
    m_ulBaudRate = 0;
    m_lTxTriggerLevel = 0;
    m_lRxTriggerLevel = 0;
    m_lSoftTxLimit = 0;
    m_lSoftTxLimitInBytes = 0;
    m_ulClockFrequencyAdjustment = 0;
    m_unPlxBaudClockDivisor = 0;
    m_ucFCR = 0;
    m_ucUartType = 0;
}

CCvUart::~CCvUart() {}

CV_UART_REGISTERS CCvUart::Registers() const {
    CV_UART_REGISTERS Regs = {m_unBaseAddress, m_pucMappedBase};
    return Regs;
}
UCHAR CCvUart::ReadRegister(USHORT unOffset) {
    return In(Registers(), unOffset);
}
VOID CCvUart::WriteRegister(USHORT unOffset, UCHAR ucValue) {
    Out(Registers(), unOffset, ucValue);
}
VOID CCvUart::SetBits(USHORT unOffset, UCHAR ucBits) {
    WriteRegister(unOffset, static_cast<UCHAR>(ReadRegister(unOffset) | ucBits));
}
VOID CCvUart::ClearBits(USHORT unOffset, UCHAR ucBits) {
    WriteRegister(unOffset, static_cast<UCHAR>(ReadRegister(unOffset) & ~ucBits));
}

ULONG CCvUart::RealClock() const {
    LONG lAdjustment = static_cast<LONG>(m_ulClockFrequencyAdjustment);
    ULONG ulClock;
    if (lAdjustment > 0)
        ulClock = m_ulClockFrequency * static_cast<ULONG>(lAdjustment);
    else if (lAdjustment < 0)
        ulClock = m_ulClockFrequency / (0u - m_ulClockFrequencyAdjustment);
    else
        ulClock = m_ulClockFrequency; // an adjustment of 0 leaves the clock as it is
    if (m_unPlxBaudClockDivisor != 0)
        ulClock /= m_unPlxBaudClockDivisor;
    return ulClock;
}

VOID CCvUart::WriteData(UCHAR ucValue) {
    WriteRegister(UART_THR, ucValue);
}

VOID CCvUart::WriteDataMultiple(PUCHAR pucBuffer, ULONG ulCount) {
    if (m_pucMappedBase)
        WRITE_REGISTER_BUFFER_UCHAR(m_pucMappedBase + UART_THR, pucBuffer, ulCount);
    else
        WRITE_PORT_BUFFER_UCHAR(PortAddress(m_unBaseAddress, UART_THR), pucBuffer, ulCount);
}

UCHAR CCvUart::ReadData() {
    return ReadRegister(UART_RBR);
}

VOID CCvUart::WriteDivisor(USHORT unDivisor) {
    SetDivisorLatchAccessBit();
    if ((unDivisor & 0xFF) == 0)
        unDivisor++;
    WriteRegister(UART_DLL, static_cast<UCHAR>(unDivisor & 0xFF));
    WriteRegister(UART_DLM, static_cast<UCHAR>(unDivisor >> 8));
    ClearDivisorLatchAccessBit();
}

VOID CCvUart::EnableRxDataAvailableInterrupt() {
    SetBits(UART_IER, UART_IER_RDA);
}
VOID CCvUart::DisableRxDataAvailableInterrupt() {
    ClearBits(UART_IER, UART_IER_RDA);
}
VOID CCvUart::EnableTxHoldingRegisterEmptyInterrupt() {
    SetBits(UART_IER, UART_IER_THRE);
}
VOID CCvUart::DisableTxHoldingRegisterEmptyInterrupt() {
    ClearBits(UART_IER, UART_IER_THRE);
}
VOID CCvUart::EnableRxLineStatusInterrupt() {
    SetBits(UART_IER, UART_IER_RLS);
}
VOID CCvUart::DisableRxLineStatusInterrupt() {
    ClearBits(UART_IER, UART_IER_RLS);
}
VOID CCvUart::EnableModemStatusInterrupt() {
    SetBits(UART_IER, UART_IER_MS);
}
VOID CCvUart::DisableModemStatusInterrupt() {
    ClearBits(UART_IER, UART_IER_MS);
}

VOID CCvUart::EnableAllInterrupts() {
    EnableRxDataAvailableInterrupt();
    EnableTxHoldingRegisterEmptyInterrupt();
    EnableRxLineStatusInterrupt();
    EnableModemStatusInterrupt();
}

VOID CCvUart::DisableAllInterrupts() {
    DisableRxDataAvailableInterrupt();
    DisableTxHoldingRegisterEmptyInterrupt();
    DisableRxLineStatusInterrupt();
    DisableModemStatusInterrupt();
}

BOOLEAN CCvUart::EnableFifoAndFlush() {
    if (m_lRxTriggerLevel == 0 && m_lTxTriggerLevel == 0) {
        DisableFifo();
        return FALSE;
    }
    // The clear bits stay in the image, so every later write of it clears both FIFOs again.
    m_ucFCR |= UART_FCR_ENABLE | UART_FCR_RX_CLEAR | UART_FCR_TX_CLEAR;
    WriteRegister(UART_FCR, m_ucFCR);
    return TRUE;
}

VOID CCvUart::DisableFifo() {
    m_ucFCR &= static_cast<UCHAR>(~UART_FCR_ENABLE);
    WriteRegister(UART_FCR, m_ucFCR);
}

VOID CCvUart::SetReceiverTriggerLevel(UCHAR ucLevel) {
    m_ucFCR &= static_cast<UCHAR>(~UART_FCR_TRIGGER_MASK);
    if (ucLevel && (ucLevel & ~UART_FCR_TRIGGER_MASK) == 0)
        m_ucFCR |= ucLevel;
    WriteRegister(UART_FCR, m_ucFCR);
}

VOID CCvUart::FlushRxHoldingRegister() {
    WriteRegister(UART_FCR, static_cast<UCHAR>(m_ucFCR | UART_FCR_RX_CLEAR));
}
VOID CCvUart::FlushTxHoldingRegister() {
    WriteRegister(UART_FCR, static_cast<UCHAR>(m_ucFCR | UART_FCR_TX_CLEAR));
}

VOID CCvUart::ClearDmaMode() {
    m_ucFCR &= static_cast<UCHAR>(~UART_FCR_DMA_MODE);
    WriteRegister(UART_FCR, m_ucFCR);
}

UCHAR CCvUart::ReadInterruptStatusRegister() {
    return ReadRegister(UART_IIR);
}

VOID CCvUart::SetDataLength(UCHAR ucCode) {
    UCHAR ucLcr = static_cast<UCHAR>(ReadRegister(UART_LCR) & ~UART_LCR_WORD_LENGTH_MASK);
    if (ucCode == 2)
        ucLcr |= UART_LCR_6_BITS;
    else if (ucCode == 4)
        ucLcr |= UART_LCR_7_BITS;
    else if (ucCode == 8)
        ucLcr |= UART_LCR_8_BITS;
    WriteRegister(UART_LCR, ucLcr);
}

VOID CCvUart::SetNumberStopBits(UCHAR ucCode) {
    UCHAR ucLcr = static_cast<UCHAR>(ReadRegister(UART_LCR) & ~UART_LCR_STOP_BITS);
    if (ucCode == 1 || ucCode == 2)
        ucLcr |= UART_LCR_STOP_BITS;
    WriteRegister(UART_LCR, ucLcr);
}

VOID CCvUart::SetParity(UCHAR ucCode) {
    UCHAR ucLcr = static_cast<UCHAR>(ReadRegister(UART_LCR) & ~UART_LCR_PARITY_MASK);
    static const UCHAR aucParity[] = {0, UART_LCR_ODD_PARITY, UART_LCR_EVEN_PARITY, UART_LCR_MARK_PARITY,
                                      UART_LCR_SPACE_PARITY};
    if (ucCode <= 4)
        ucLcr |= aucParity[ucCode];
    WriteRegister(UART_LCR, ucLcr);
}

VOID CCvUart::SetLineControl(UCHAR ucLcr) {
    WriteRegister(UART_LCR, ucLcr);
}

VOID CCvUart::SetBreak() {
    SetBits(UART_LCR, UART_LCR_BREAK);
}
VOID CCvUart::ClearBreak() {
    ClearBits(UART_LCR, UART_LCR_BREAK);
}
VOID CCvUart::SetDivisorLatchAccessBit() {
    SetBits(UART_LCR, UART_LCR_DLAB);
}
VOID CCvUart::ClearDivisorLatchAccessBit() {
    ClearBits(UART_LCR, UART_LCR_DLAB);
}
VOID CCvUart::SetDtr() {
    SetBits(UART_MCR, UART_MCR_DTR);
}
VOID CCvUart::ClearDtr() {
    ClearBits(UART_MCR, UART_MCR_DTR);
}
BOOLEAN CCvUart::GetDtr() {
    return (ReadRegister(UART_MCR) & UART_MCR_DTR) != 0;
}
VOID CCvUart::SetRts() {
    SetBits(UART_MCR, UART_MCR_RTS);
}
VOID CCvUart::ClearRts() {
    ClearBits(UART_MCR, UART_MCR_RTS);
}
BOOLEAN CCvUart::GetRts() {
    return (ReadRegister(UART_MCR) & UART_MCR_RTS) != 0;
}
VOID CCvUart::SetOut2() {
    SetBits(UART_MCR, UART_MCR_OUT2);
}
VOID CCvUart::ClearOut2() {
    ClearBits(UART_MCR, UART_MCR_OUT2);
}
VOID CCvUart::DisableInterrupts() {
    ClearBits(UART_MCR, UART_MCR_OUT1 | UART_MCR_OUT2);
}
VOID CCvUart::ClearLoopbackMode() {
    ClearBits(UART_MCR, UART_MCR_LOOP);
}
UCHAR CCvUart::ReadLineStatusRegister() {
    return ReadRegister(UART_LSR);
}
BOOLEAN CCvUart::GetDataReady() {
    return (ReadLineStatusRegister() & UART_LSR_DR) != 0;
}
UCHAR CCvUart::ReadModemStatusRegister() {
    return ReadRegister(UART_MSR);
}

VOID CCvUart::ResetUart() {
    ClearBreak();
    ClearDmaMode();
    ClearDtr();
    ClearLoopbackMode();
    ClearOut2();
    ClearRts();
    DisableAllInterrupts();
    DisableFifo();
    DisableInterrupts();
    FlushRxHoldingRegister();
    FlushTxHoldingRegister();
    SetDataLength(8);
    SetNumberStopBits(0);
    SetParity(0);
    SetBaudrate(1200);
}

// ---------------------------------------------------------------------------------------------
// Standard baud-rate engine (16 samples per bit, 16-bit divisor)
// ---------------------------------------------------------------------------------------------

NTSTATUS CCvUart::GetDivisorFromBaud(ULONG ulBaudRate, USHORT& unDivisor) {
    if (ulBaudRate == 0 || ulBaudRate > kHighestCheckableRate)
        return STATUS_UNSUCCESSFUL;
    unDivisor = static_cast<USHORT>(RealClock() / (ulBaudRate * 16));
    if (unDivisor == 0)
        return STATUS_UNSUCCESSFUL;
    NTSTATUS status = BaudRateAccChk(ulBaudRate, unDivisor);
    if (status != STATUS_SUCCESS && !ExceptionRate(ulBaudRate))
        return status;
    return STATUS_SUCCESS;
}

NTSTATUS CCvUart::BaudRateAccChk(ULONG ulBaudRate, USHORT unDivisor) {
    if (unDivisor == 0)
        return STATUS_UNSUCCESSFUL;
    return WithinOnePercent(RealClock() / (static_cast<ULONG>(unDivisor) * 16), ulBaudRate);
}

ULONG CCvUart::GetBaudFromDivisor(USHORT unDivisor) {
    if (unDivisor == 0)
        return 0;
    return RealClock() / (static_cast<ULONG>(unDivisor) * 16);
}

BOOLEAN CCvUart::LineRate(ULONG ulBaudRate, ULONG& ulLineRate) const {
    const ULONG ulMultiplier = m_ulBaudrateMultiplier ? m_ulBaudrateMultiplier : 1;
    if (ulBaudRate > 0xFFFFFFFFu / ulMultiplier)
        return FALSE;
    ulLineRate = ulBaudRate * ulMultiplier;
    return TRUE;
}

NTSTATUS CCvUart::SetBaudrate(ULONG ulBaudRate) {
    USHORT unDivisor = 0;
    ULONG ulLineRate = 0;
    if (!LineRate(ulBaudRate, ulLineRate))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = GetDivisorFromBaud(ulLineRate, unDivisor);
    if (status != STATUS_SUCCESS)
        return status;
    WriteDivisor(unDivisor);
    m_ulBaudRate = ulBaudRate;
    return STATUS_SUCCESS;
}

ULONG CCvUart::GetSupportedBauds() {
    static const struct {
        ULONG ulRate;
        ULONG ulBit;
    } aProbes[] = {
        {75, SERIAL_BAUD_075},      {110, SERIAL_BAUD_110},     {135, SERIAL_BAUD_134_5},
        {150, SERIAL_BAUD_150},     {300, SERIAL_BAUD_300},     {600, SERIAL_BAUD_600},
        {1200, SERIAL_BAUD_1200},   {1800, SERIAL_BAUD_1800},   {2400, SERIAL_BAUD_2400},
        {4800, SERIAL_BAUD_4800},   {7200, SERIAL_BAUD_7200},   {9600, SERIAL_BAUD_9600},
        {14400, SERIAL_BAUD_14400}, {19200, SERIAL_BAUD_19200}, {38400, SERIAL_BAUD_38400},
        {56000, SERIAL_BAUD_56K},   {57600, SERIAL_BAUD_57600}, {115200, SERIAL_BAUD_115200},
    };
    ULONG ulMask = SERIAL_BAUD_USER; // user-defined rates allowed
    for (const auto& probe : aProbes) {
        USHORT unDivisor = 0;
        if (GetDivisorFromBaud(probe.ulRate, unDivisor) == STATUS_SUCCESS)
            ulMask |= probe.ulBit;
    }
    return ulMask;
}

// ---------------------------------------------------------------------------------------------
// Derived classes
// ---------------------------------------------------------------------------------------------

CCvUart450::CCvUart450() {
    m_ucFCR = 0;
    m_ucUartType = CV_UART_16450;
}
CCvUart450::~CCvUart450() {}

CCvUart550::CCvUart550() {
    m_ucFCR = 0;
    m_ucUartType = CV_UART_16550;
}
CCvUart550::~CCvUart550() {}

CCvUart750::CCvUart750() {
    m_ucFCR = 0;
    m_ucUartType = CV_UART_16750;
}
CCvUart750::~CCvUart750() {}

VOID CCvUart750::Set64Fifo() {
    // The 16750 takes the 64-byte FIFO bit only while the divisor latch is open.
    m_ucFCR |= UART_FCR_64_BYTE_FIFO;
    SetDivisorLatchAccessBit();
    WriteRegister(UART_FCR, m_ucFCR);
    ClearDivisorLatchAccessBit();
}

VOID CCvUart750::RestoreCompatibleMode() {
    m_ucFCR = static_cast<UCHAR>(m_ucFCR & ~UART_FCR_64_BYTE_FIFO);
    SetDivisorLatchAccessBit();
    WriteRegister(UART_FCR, m_ucFCR);
    ClearDivisorLatchAccessBit();
}

CCvUart950::CCvUart950() {
    m_ucFCR = 0;
    m_ucUartType = CV_UART_16950;
}
CCvUart950::~CCvUart950() {}

VOID CCvUart950::SetEnhancedMode() {
    UCHAR ucLcr = ReadRegister(UART_LCR);
    WriteRegister(UART_LCR, UART_LCR_ENHANCED_ACCESS);
    WriteRegister(UART_EFR, UART_EFR_ENHANCED);
    WriteRegister(UART_LCR, ucLcr);
}

VOID CCvUart950::RestoreCompatibleMode() {
    // 16 samples a bit, the prescaler out of the clock's way, and the enhanced features off.
    WriteTimesClockValue(0);
    WriteClockPrescaler(UART_CPR_DIVIDE_BY_ONE);
    ClearBits(UART_MCR, UART_MCR_PRESCALER);
    UCHAR ucLcr = ReadRegister(UART_LCR);
    WriteRegister(UART_LCR, UART_LCR_ENHANCED_ACCESS);
    WriteRegister(UART_EFR, 0);
    WriteRegister(UART_LCR, ucLcr);
}

VOID CCvUart950::EnableBaudPrescaler() {
    SetBits(UART_MCR, UART_MCR_PRESCALER);
}

VOID CCvUart950::WriteTimesClockValue(UCHAR ucValue) {
    WriteRegister(UART_SPR, UART_ICR_TCR);
    WriteRegister(UART_ICR, ucValue);
}

VOID CCvUart950::WriteClockPrescaler(UCHAR ucValue) {
    WriteRegister(UART_SPR, UART_ICR_CPR);
    WriteRegister(UART_ICR, ucValue);
}

ULONG CCvUart950::GetBaudFromDivisor(USHORT) {
    return 0;
}

ULONG CCvUart950::PrimeDivisors(ULONG ulN, UCHAR& ucPrescaler) {
    for (;;) {
        ULONG ulF = ulN;
        for (UCHAR ucPrime : kPrimes) {
            if (ulF <= 255)
                break;
            while (ulF % ucPrime == 0 && ulF != ucPrime && ulF > 255)
                ulF /= ucPrime;
        }
        if (ulF <= 255) {
            if (ulF >= 8) {
                ucPrescaler = static_cast<UCHAR>(ulF);
                return ulN / ulF;
            }
            ucPrescaler = static_cast<UCHAR>(ulN / ulF);
            return ulF;
        }
        ULONG ulP = ulN / ulF;
        if (ulP >= 8 && ulP <= 255) {
            ucPrescaler = static_cast<UCHAR>(ulP);
            return ulF;
        }
        ulN++; // no small factor brings it down: try the next value up
    }
}

NTSTATUS CCvUart950::GetDivisorFromBaud(ULONG ulBaudRate, USHORT& unDivisor, UCHAR& ucTimesClock,
                                        UCHAR& ucPrescaler) {
    ULONG ulClock = RealClock();
    if (ulBaudRate == 0 || ulBaudRate > kHighestCheckableRate || ulClock < 4 * ulBaudRate)
        return STATUS_UNSUCCESSFUL;
    ULONG ulQ = ulClock / ulBaudRate;
    ucTimesClock = static_cast<UCHAR>(ulQ < 15 ? ulQ : 16);
    ULONG ulN = (ulClock * 8) / (ucTimesClock * ulBaudRate);
    if (ulN < 8)
        return STATUS_UNSUCCESSFUL;
    if (ulN <= 255) {
        unDivisor = 1;
        ucPrescaler = static_cast<UCHAR>(ulN);
    } else {
        unDivisor = static_cast<USHORT>(PrimeDivisors(ulN, ucPrescaler));
    }
    NTSTATUS status = BaudRateAccChk(ulBaudRate, unDivisor, ucTimesClock, ucPrescaler);
    if (status != STATUS_SUCCESS && !ExceptionRate(ulBaudRate))
        return status;
    return STATUS_SUCCESS;
}

NTSTATUS CCvUart950::BaudRateAccChk(ULONG ulBaudRate, USHORT unDivisor, UCHAR ucTimesClock,
                                    UCHAR ucPrescaler) {
    ULONG ulDenominator = static_cast<ULONG>(ucTimesClock) * unDivisor * ucPrescaler;
    if (ulDenominator == 0)
        return STATUS_UNSUCCESSFUL;
    return WithinOnePercent((RealClock() * 8) / ulDenominator, ulBaudRate);
}

NTSTATUS CCvUart950::SetBaudrate(ULONG ulBaudRate) {
    USHORT unDivisor = 0;
    UCHAR ucTimesClock = 0, ucPrescaler = 0;
    ULONG ulLineRate = 0;
    if (!LineRate(ulBaudRate, ulLineRate))
        return STATUS_INVALID_PARAMETER;
    NTSTATUS status = GetDivisorFromBaud(ulLineRate, unDivisor, ucTimesClock, ucPrescaler);
    if (status != STATUS_SUCCESS)
        return status;
    WriteDivisor(unDivisor);
    WriteTimesClockValue(ucTimesClock);
    WriteClockPrescaler(ucPrescaler);
    m_ulBaudRate = ulBaudRate;
    return STATUS_SUCCESS;
}

// ---------------------------------------------------------------------------------------------
// Detection and set-up
// ---------------------------------------------------------------------------------------------

// Reads an indexed control register of a 16950 (read enable set around it).
UCHAR ReadIndexed950(const CV_UART_REGISTERS& Regs, UCHAR ucIndex) {
    Out(Regs, UART_SPR, UART_ICR_ACR);
    Out(Regs, UART_ICR, UART_ACR_ICR_READ);
    Out(Regs, UART_SPR, ucIndex);
    return In(Regs, UART_ICR);
}

UCHAR DetectUart(USHORT unBaseAddress) {
    CV_UART_REGISTERS Regs = {unBaseAddress, NULL};
    return DetectUartAt(Regs);
}

UCHAR DetectUartAt(CV_UART_REGISTERS Regs) {
    // 16950: the identification bytes behind the indexed registers, with their read enable set.
    BOOLEAN bIs950 = ReadIndexed950(Regs, UART_ICR_ID1) == UART_ID1_16950;
    if (bIs950) {
        Out(Regs, UART_SPR, UART_ICR_ID2);
        bIs950 = In(Regs, UART_ICR) == UART_ID2_16950;
    }
    if (bIs950) {
        Out(Regs, UART_SPR, UART_ICR_ACR);
        Out(Regs, UART_ICR, 0x00);
        bIs950 = (ReadIndexed950(Regs, UART_ICR_ID3) & UART_ID3_MASK) == UART_ID3_16950;
    }
    Out(Regs, UART_SPR, UART_ICR_ACR);
    Out(Regs, UART_ICR, 0x00);
    if (bIs950)
        return CV_UART_16950;

    // Something must answer before the FIFO probes mean anything: an address that nothing decodes reads
    // 0xFF, which would pass them. Every supported type has a scratch register.
    Out(Regs, UART_SPR, 0x55);
    if (In(Regs, UART_SPR) != 0x55)
        return CV_UART_NONE;
    Out(Regs, UART_SPR, 0xAA);
    if (In(Regs, UART_SPR) != 0xAA)
        return CV_UART_NONE;
    Out(Regs, UART_SPR, 0x00);

    // 16750: the 64-byte FIFO bit, written with the divisor latch open, reads back in the IIR.
    Out(Regs, UART_LCR, UART_LCR_DLAB);
    Out(Regs, UART_FCR, UART_FCR_64_BYTE_FIFO | UART_FCR_ENABLE);
    Out(Regs, UART_LCR, 0x00);
    if (In(Regs, UART_IIR) & UART_IIR_64_BYTE_FIFO)
        return CV_UART_16750;

    // 16550: both FIFO-enabled bits of the IIR.
    Out(Regs, UART_FCR, UART_FCR_ENABLE | UART_FCR_RX_CLEAR | UART_FCR_TX_CLEAR);
    if ((In(Regs, UART_IIR) & UART_IIR_FIFOS_ENABLED) == UART_IIR_FIFOS_ENABLED)
        return CV_UART_16550;

    // 16450: a divisor latch that keeps its value while the holding register is written behind it,
    // tried in loopback so that nothing reaches the line.
    UCHAR ucType = CV_UART_NONE;
    Out(Regs, UART_MCR, UART_MCR_LOOP);
    Out(Regs, UART_LCR, UART_LCR_DLAB);
    Out(Regs, UART_DLL, 0x32);
    Out(Regs, UART_LCR, 0x00);
    Out(Regs, UART_THR, 0x15);
    Out(Regs, UART_LCR, UART_LCR_DLAB);
    if (In(Regs, UART_DLL) == 0x32)
        ucType = CV_UART_16450;
    Out(Regs, UART_LCR, 0x00);
    Out(Regs, UART_MCR, 0x00);
    return ucType;
}

namespace {

// What differs between the UART types at set-up: the class that drives the type and the depth of its
// transmit FIFO once the set-up has switched its deepest FIFO on (0: no FIFO).
struct UartKind {
    UCHAR ucType;
    LONG lFifoDepth;
    CCvUart* (*Make)();
};

const UartKind kUartKinds[] = {
    {CV_UART_16450, 0, []() -> CCvUart* { return new (NonPagedPool) CCvUart450; }},
    {CV_UART_16550, 16, []() -> CCvUart* { return new (NonPagedPool) CCvUart550; }},
    {CV_UART_16750, 64, []() -> CCvUart* { return new (NonPagedPool) CCvUart750; }},
    {CV_UART_16950, 128, []() -> CCvUart* { return new (NonPagedPool) CCvUart950; }},
};

const UartKind* KindOf(UCHAR ucType) {
    for (const UartKind& kind : kUartKinds)
        if (kind.ucType == ucType)
            return &kind;
    return NULL;
}

} // namespace

CCvUart* CvAllocateUart(UCHAR ucUartType) {
    const UartKind* pKind = KindOf(ucUartType);
    return pKind ? pKind->Make() : NULL;
}

VOID CvCompleteUartSetUp(CCvUart* pUart) {
    pUart->ResetUart();
    // Each type's own steps; the others' are empty: the 16750's 64-byte FIFO, the 16950's enhanced
    // mode (128-byte FIFO) and its prescaler.
    pUart->Set64Fifo();
    pUart->SetEnhancedMode();
    pUart->EnableBaudPrescaler();
    const UartKind* pKind = KindOf(pUart->GetUartType());
    LONG lFifoDepth = pKind ? pKind->lFifoDepth : 0;
    if (lFifoDepth == 0) {
        pUart->m_lSoftTxLimitInBytes = 1;
        return;
    }
    pUart->m_lSoftTxLimitInBytes = pUart->m_lSoftTxLimit * lFifoDepth / 100;
    if (pUart->m_lSoftTxLimitInBytes <= 0)
        pUart->m_lSoftTxLimitInBytes = 1;
}

VOID CvFreeUart(CCvUart* pUart) {
    delete pUart;
}
