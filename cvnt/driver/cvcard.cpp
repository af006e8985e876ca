#include "CvCard.h"

#include "CvResourceKiller.h"

CCvCard::CCvCard() {
    // Every field starts empty; discovery and start-up fill them in.
    RtlZeroMemory(this, sizeof *this);
    m_InterruptMode = LevelSensitive;
}

CCvCard::~CCvCard() {
    if (m_uniPathToCard.Buffer)
        operator delete(m_uniPathToCard.Buffer);
    m_uniPathToCard.Buffer = NULL;
}
