#include "CvBridge.h"

namespace {

const CV_BRIDGE_DIVISOR kDivisorValues[] = {
    {1, 0xD2, 0x4DB2, 0x30}, {2, 0xD6, 0x4D96, 0x20}, {4, 0xF2, 0x4CB6, 0x10}, {8, 0xF6, 0x45B6, 0x00}};

} // namespace

const CV_BRIDGE_DIVISOR& CvBridgeValuesFor(USHORT unDivisor, BOOLEAN& bValid) {
    for (const CV_BRIDGE_DIVISOR& v : kDivisorValues)
        if (v.unDivisor == unDivisor) {
            bValid = TRUE;
            return v;
        }
    bValid = FALSE;
    return kDivisorValues[3];
}
