#include "CvCard.h"

#include "CvResourceKiller.h"

CCvCard::CCvCard() {
    RtlZeroMemory(apDevice, sizeof apDevice);
    ulNumberComPorts = 0;
    Interrupt = NULL;
    m_ulSisrAddress = 0;
    RtlZeroMemory(&m_uniPathToCard, sizeof m_uniPathToCard);
    m_ulSisrNoiseReads = 0;
    m_ulSisrLoopsAbandoned = 0;
}

CCvCard::~CCvCard() {
    if (m_uniPathToCard.Buffer)
        operator delete(m_uniPathToCard.Buffer);
    m_uniPathToCard.Buffer = NULL;
}
