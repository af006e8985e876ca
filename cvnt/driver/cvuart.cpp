#include "CvUart.h"

#include "CvResourceKiller.h"

namespace {

// Register offsets from the base address.
enum : USHORT {
    REG_DATA = 0,
    REG_IER = 1,
    REG_IIR_FCR = 2,
    REG_LCR = 3,
    REG_MCR = 4,
    REG_LSR = 5,
    REG_MSR = 6,
    REG_SCRATCH = 7,
};

// Rates at which the accuracy check's 32-bit products (rate x 101) would wrap; no UART of the cards
// comes near them, and refusing them keeps a caller's rate from dividing by a wrapped zero.
const ULONG kHighestCheckableRate = 0xFFFFFFFFu / 101;

const UCHAR kPrimes[] = {2, 3, 5, 7, 11, 13, 17, 19, 23, 29, 31, 37};

inline PUCHAR PortAddress(USHORT unBase, USHORT unOffset) {
    return reinterpret_cast<PUCHAR>(static_cast<ULONG_PTR>(static_cast<USHORT>(unBase + unOffset)));
}

inline UCHAR In(USHORT unBase, USHORT unOffset) {
    return READ_PORT_UCHAR(PortAddress(unBase, unOffset));
}
inline VOID Out(USHORT unBase, USHORT unOffset, UCHAR ucValue) {
    WRITE_PORT_UCHAR(PortAddress(unBase, unOffset), ucValue);
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

UCHAR CCvUart::ReadRegister(USHORT unOffset) {
    return In(m_unBaseAddress, unOffset);
}
VOID CCvUart::WriteRegister(USHORT unOffset, UCHAR ucValue) {
    Out(m_unBaseAddress, unOffset, ucValue);
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
    WriteRegister(REG_DATA, ucValue);
}

VOID CCvUart::WriteDataMultiple(PUCHAR pucBuffer, ULONG ulCount) {
    WRITE_PORT_BUFFER_UCHAR(PortAddress(m_unBaseAddress, REG_DATA), pucBuffer, ulCount);
}

UCHAR CCvUart::ReadData() {
    return ReadRegister(REG_DATA);
}

VOID CCvUart::WriteDivisor(USHORT unDivisor) {
    SetDivisorLatchAccessBit();
    if ((unDivisor & 0xFF) == 0)
        unDivisor++;
    WriteRegister(REG_DATA, static_cast<UCHAR>(unDivisor & 0xFF));
    WriteRegister(REG_IER, static_cast<UCHAR>(unDivisor >> 8));
    ClearDivisorLatchAccessBit();
}

VOID CCvUart::EnableRxDataAvailableInterrupt() {
    SetBits(REG_IER, 0x01);
}
VOID CCvUart::DisableRxDataAvailableInterrupt() {
    ClearBits(REG_IER, 0x01);
}
VOID CCvUart::EnableTxHoldingRegisterEmptyInterrupt() {
    SetBits(REG_IER, 0x02);
}
VOID CCvUart::DisableTxHoldingRegisterEmptyInterrupt() {
    ClearBits(REG_IER, 0x02);
}
VOID CCvUart::EnableRxLineStatusInterrupt() {
    SetBits(REG_IER, 0x04);
}
VOID CCvUart::DisableRxLineStatusInterrupt() {
    ClearBits(REG_IER, 0x04);
}
VOID CCvUart::EnableModemStatusInterrupt() {
    SetBits(REG_IER, 0x08);
}
VOID CCvUart::DisableModemStatusInterrupt() {
    ClearBits(REG_IER, 0x08);
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
    m_ucFCR |= 0x07;
    WriteRegister(REG_IIR_FCR, m_ucFCR);
    return TRUE;
}

VOID CCvUart::DisableFifo() {
    m_ucFCR &= 0xFE;
    WriteRegister(REG_IIR_FCR, m_ucFCR);
}

VOID CCvUart::SetReceiverTriggerLevel(UCHAR ucLevel) {
    m_ucFCR &= 0x3F;
    if (ucLevel == 0x40 || ucLevel == 0x80 || ucLevel == 0xC0)
        m_ucFCR |= ucLevel;
    WriteRegister(REG_IIR_FCR, m_ucFCR);
}

VOID CCvUart::FlushRxHoldingRegister() {
    WriteRegister(REG_IIR_FCR, static_cast<UCHAR>(m_ucFCR | 0x02));
}
VOID CCvUart::FlushTxHoldingRegister() {
    WriteRegister(REG_IIR_FCR, static_cast<UCHAR>(m_ucFCR | 0x04));
}

VOID CCvUart::ClearDmaMode() {
    m_ucFCR &= 0xF7;
    WriteRegister(REG_IIR_FCR, m_ucFCR);
}

UCHAR CCvUart::ReadInterruptStatusRegister() {
    return ReadRegister(REG_IIR_FCR);
}

VOID CCvUart::SetDataLength(UCHAR ucCode) {
    UCHAR ucLcr = static_cast<UCHAR>(ReadRegister(REG_LCR) & ~0x03);
    if (ucCode == 2)
        ucLcr |= 0x01;
    else if (ucCode == 4)
        ucLcr |= 0x02;
    else if (ucCode == 8)
        ucLcr |= 0x03;
    WriteRegister(REG_LCR, ucLcr);
}

VOID CCvUart::SetNumberStopBits(UCHAR ucCode) {
    UCHAR ucLcr = static_cast<UCHAR>(ReadRegister(REG_LCR) & ~0x04);
    if (ucCode == 1 || ucCode == 2)
        ucLcr |= 0x04;
    WriteRegister(REG_LCR, ucLcr);
}

VOID CCvUart::SetParity(UCHAR ucCode) {
    UCHAR ucLcr = static_cast<UCHAR>(ReadRegister(REG_LCR) & 0xC7);
    static const UCHAR aucParity[] = {0x00, 0x08, 0x18, 0x28, 0x38};
    if (ucCode <= 4)
        ucLcr |= aucParity[ucCode];
    WriteRegister(REG_LCR, ucLcr);
}

VOID CCvUart::SetLineControl(UCHAR ucLcr) {
    WriteRegister(REG_LCR, ucLcr);
}

VOID CCvUart::SetBreak() {
    SetBits(REG_LCR, 0x40);
}
VOID CCvUart::ClearBreak() {
    ClearBits(REG_LCR, 0x40);
}
VOID CCvUart::SetDivisorLatchAccessBit() {
    SetBits(REG_LCR, 0x80);
}
VOID CCvUart::ClearDivisorLatchAccessBit() {
    ClearBits(REG_LCR, 0x80);
}
VOID CCvUart::SetDtr() {
    SetBits(REG_MCR, 0x01);
}
VOID CCvUart::ClearDtr() {
    ClearBits(REG_MCR, 0x01);
}
BOOLEAN CCvUart::GetDtr() {
    return (ReadRegister(REG_MCR) & 0x01) != 0;
}
VOID CCvUart::SetRts() {
    SetBits(REG_MCR, 0x02);
}
VOID CCvUart::ClearRts() {
    ClearBits(REG_MCR, 0x02);
}
BOOLEAN CCvUart::GetRts() {
    return (ReadRegister(REG_MCR) & 0x02) != 0;
}
VOID CCvUart::SetOut2() {
    SetBits(REG_MCR, 0x08);
}
VOID CCvUart::ClearOut2() {
    ClearBits(REG_MCR, 0x08);
}
VOID CCvUart::DisableInterrupts() {
    ClearBits(REG_MCR, 0x0C);
}
VOID CCvUart::ClearLoopbackMode() {
    ClearBits(REG_MCR, 0x10);
}
UCHAR CCvUart::ReadLineStatusRegister() {
    return ReadRegister(REG_LSR);
}
BOOLEAN CCvUart::GetDataReady() {
    return (ReadLineStatusRegister() & 0x01) != 0;
}
UCHAR CCvUart::ReadModemStatusRegister() {
    return ReadRegister(REG_MSR);
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

NTSTATUS CCvUart::SetBaudrate(ULONG ulBaudRate) {
    USHORT unDivisor = 0;
    NTSTATUS status = GetDivisorFromBaud(ulBaudRate, unDivisor);
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
        {75, 0x00000001},    {110, 0x00000002},    {135, 0x00000004},   {150, 0x00000008},
        {300, 0x00000010},   {600, 0x00000020},    {1200, 0x00000040},  {1800, 0x00000080},
        {2400, 0x00000100},  {4800, 0x00000200},   {7200, 0x00000400},  {9600, 0x00000800},
        {14400, 0x00001000}, {19200, 0x00002000},  {38400, 0x00004000}, {56000, 0x00008000},
        {57600, 0x00040000}, {115200, 0x00020000},
    };
    ULONG ulMask = 0x10000000; // user-defined rates allowed
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
    m_ucFCR |= 0x20;
    SetDivisorLatchAccessBit();
    WriteRegister(REG_IIR_FCR, m_ucFCR);
    ClearDivisorLatchAccessBit();
}

CCvUart950::CCvUart950() {
    m_ucFCR = 0;
    m_ucUartType = CV_UART_16950;
}
CCvUart950::~CCvUart950() {}

VOID CCvUart950::SetEnhancedMode() {
    UCHAR ucLcr = ReadRegister(REG_LCR);
    WriteRegister(REG_LCR, 0xBF);
    WriteRegister(REG_IIR_FCR, 0x10); // enhanced feature register: enhanced mode
    WriteRegister(REG_LCR, ucLcr);
}

VOID CCvUart950::EnableBaudPrescaler() {
    SetBits(REG_MCR, 0x80);
}

VOID CCvUart950::WriteTimesClockValue(UCHAR ucValue) {
    WriteRegister(REG_SCRATCH, 0x02);
    WriteRegister(REG_LSR, ucValue);
}

VOID CCvUart950::WriteClockPrescaler(UCHAR ucValue) {
    WriteRegister(REG_SCRATCH, 0x01);
    WriteRegister(REG_LSR, ucValue);
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
    NTSTATUS status = GetDivisorFromBaud(ulBaudRate, unDivisor, ucTimesClock, ucPrescaler);
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

UCHAR DetectUart(USHORT unBase) {
    // 16950: the identification bytes behind the indexed registers, with their read enable set.
    Out(unBase, 7, 0x00);
    Out(unBase, 5, 0x40);
    Out(unBase, 7, 0x08);
    BOOLEAN bIs950 = In(unBase, 5) == 0x16;
    if (bIs950) {
        Out(unBase, 7, 0x09);
        bIs950 = In(unBase, 5) == 0xC9;
    }
    if (bIs950) {
        Out(unBase, 7, 0x00);
        Out(unBase, 5, 0x00);
        Out(unBase, 7, 0x00);
        Out(unBase, 5, 0x40);
        Out(unBase, 7, 0x0A);
        bIs950 = (In(unBase, 5) & 0xF0) == 0x50;
    }
    Out(unBase, 7, 0x00);
    Out(unBase, 5, 0x00);
    if (bIs950)
        return CV_UART_16950;

    // Something must answer before the FIFO probes mean anything: an address that nothing decodes reads
    // 0xFF, which would pass them. Every supported type has a scratch register.
    Out(unBase, 7, 0x55);
    if (In(unBase, 7) != 0x55)
        return CV_UART_NONE;
    Out(unBase, 7, 0xAA);
    if (In(unBase, 7) != 0xAA)
        return CV_UART_NONE;
    Out(unBase, 7, 0x00);

    // 16750: the 64-byte FIFO bit, written with the divisor latch open, reads back in the IIR.
    Out(unBase, 3, 0x80);
    Out(unBase, 2, 0x21);
    Out(unBase, 3, 0x00);
    if (In(unBase, 2) & 0x20)
        return CV_UART_16750;

    // 16550: both FIFO-enabled bits of the IIR.
    Out(unBase, 2, 0x07);
    if ((In(unBase, 2) & 0xC0) == 0xC0)
        return CV_UART_16550;

    // 16450: a divisor latch that keeps its value while the holding register is written behind it,
    // tried in loopback so that nothing reaches the line.
    UCHAR ucType = CV_UART_NONE;
    Out(unBase, 4, 0x10);
    Out(unBase, 3, 0x80);
    Out(unBase, 0, 0x32);
    Out(unBase, 3, 0x00);
    Out(unBase, 0, 0x15);
    Out(unBase, 3, 0x80);
    if (In(unBase, 0) == 0x32)
        ucType = CV_UART_16450;
    Out(unBase, 3, 0x00);
    Out(unBase, 4, 0x00);
    return ucType;
}

CCvUart* CvAllocateUart(UCHAR ucUartType) {
    switch (ucUartType) {
    case CV_UART_16450:
        return new (NonPagedPool) CCvUart450;
    case CV_UART_16550:
        return new (NonPagedPool) CCvUart550;
    case CV_UART_16750:
        return new (NonPagedPool) CCvUart750;
    case CV_UART_16950:
        return new (NonPagedPool) CCvUart950;
    default:
        return NULL;
    }
}

VOID CvCompleteUartSetUp(CCvUart* pUart) {
    pUart->ResetUart();
    LONG lFifoDepth = 0;
    switch (pUart->GetUartType()) {
    case CV_UART_16550:
        lFifoDepth = 16;
        break;
    case CV_UART_16750:
        pUart->Set64Fifo();
        lFifoDepth = 64;
        break;
    case CV_UART_16950:
        pUart->SetEnhancedMode();
        pUart->EnableBaudPrescaler();
        lFifoDepth = 128;
        break;
    default:
        break;
    }
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
