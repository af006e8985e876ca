// msports' COM port database calls over the machine's database (w2k::ComDatabase).
#include "platform/win32/desktop.h"
#include "platform/win32/include/msports.h"
#include "platform/w2k/comdb.h"

#include <algorithm>
#include <memory>

using win32::Desktop;

namespace {

constexpr const char* kKind = "comdb";

// The database behind a handle, or null.
std::shared_ptr<w2k::ComDatabase> DatabaseOf(Desktop& desktop, HCOMDB handle) {
    return std::static_pointer_cast<w2k::ComDatabase>(
        desktop.handle(reinterpret_cast<HANDLE>(handle), kKind));
}

} // namespace

LONG WINAPI ComDBOpen(PHCOMDB PHComDB) {
    Desktop& desktop = Desktop::require("ComDBOpen");
    if (!PHComDB)
        return ERROR_INVALID_PARAMETER;
    if (!desktop.administrator()) {
        // The database key is written by administrators only.
        *PHComDB = HCOMDB_INVALID_HANDLE_VALUE;
        return ERROR_ACCESS_DENIED;
    }
    auto database = std::make_shared<w2k::ComDatabase>(desktop.kernel().registry());
    *PHComDB = reinterpret_cast<HCOMDB>(desktop.addHandle(database, kKind));
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClose(HCOMDB HComDB) {
    Desktop& desktop = Desktop::require("ComDBClose");
    if (!DatabaseOf(desktop, HComDB))
        return ERROR_INVALID_PARAMETER;
    desktop.closeHandle(reinterpret_cast<HANDLE>(HComDB));
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBGetCurrentPortUsage(HCOMDB HComDB, PBYTE Buffer, DWORD BufferSize, ULONG ReportType,
                                     LPDWORD MaxPortsReported) {
    Desktop& desktop = Desktop::require("ComDBGetCurrentPortUsage");
    auto database = DatabaseOf(desktop, HComDB);
    if (!database || (!Buffer && !MaxPortsReported))
        return ERROR_INVALID_PARAMETER;
    if (!Buffer) {
        *MaxPortsReported = database->size();
        return ERROR_SUCCESS;
    }
    if (ReportType != CDB_REPORT_BITS && ReportType != CDB_REPORT_BYTES)
        return ERROR_INVALID_PARAMETER;
    const std::vector<uint8_t> bits = database->bits();
    DWORD reported = 0;
    if (ReportType == CDB_REPORT_BITS) {
        const DWORD bytes = std::min<DWORD>(BufferSize, static_cast<DWORD>(bits.size()));
        std::copy(bits.begin(), bits.begin() + bytes, Buffer);
        reported = bytes * 8;
    } else {
        reported = std::min<DWORD>(BufferSize, static_cast<DWORD>(bits.size() * 8));
        for (DWORD i = 0; i < reported; ++i)
            Buffer[i] = static_cast<BYTE>(bits[i / 8] >> (i % 8) & 1);
    }
    if (MaxPortsReported)
        *MaxPortsReported = reported;
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClaimNextFreePort(HCOMDB HComDB, LPDWORD ComNumber) {
    Desktop& desktop = Desktop::require("ComDBClaimNextFreePort");
    auto database = DatabaseOf(desktop, HComDB);
    if (!database || !ComNumber)
        return ERROR_INVALID_PARAMETER;
    unsigned com = database->claimNextFree();
    if (com == 0)
        return ERROR_NO_MORE_ITEMS;
    *ComNumber = com;
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBClaimPort(HCOMDB HComDB, DWORD ComNumber, BOOL ForceClaim, PBOOL Forced) {
    Desktop& desktop = Desktop::require("ComDBClaimPort");
    auto database = DatabaseOf(desktop, HComDB);
    if (!database)
        return ERROR_INVALID_PARAMETER;
    bool forced = false;
    auto result = database->claim(ComNumber, ForceClaim != FALSE, &forced);
    if (Forced)
        *Forced = forced ? TRUE : FALSE;
    switch (result) {
    case w2k::ComDatabase::Claim::Claimed:
        return ERROR_SUCCESS;
    case w2k::ComDatabase::Claim::InUse:
        return ERROR_SHARING_VIOLATION;
    default:
        return ERROR_INVALID_PARAMETER;
    }
}

LONG WINAPI ComDBReleasePort(HCOMDB HComDB, DWORD ComNumber) {
    Desktop& desktop = Desktop::require("ComDBReleasePort");
    auto database = DatabaseOf(desktop, HComDB);
    if (!database || !database->release(ComNumber))
        return ERROR_INVALID_PARAMETER;
    return ERROR_SUCCESS;
}

LONG WINAPI ComDBResizeDatabase(HCOMDB HComDB, DWORD NewSize) {
    Desktop& desktop = Desktop::require("ComDBResizeDatabase");
    auto database = DatabaseOf(desktop, HComDB);
    if (!database || NewSize > COMDB_MAX_PORTS_ARBITRATED || NewSize % 1024 != 0)
        return ERROR_INVALID_PARAMETER;
    if (NewSize <= database->size())
        return ERROR_BAD_LENGTH;
    return database->resize(NewSize) ? ERROR_SUCCESS : ERROR_INVALID_PARAMETER;
}
