// Renaming a port: the COM port database's claim, the DOS name with its device map value, the friendly
// name and the port device's PortName move in turn; a step that fails takes back the steps before it, so
// that the old name stays in force.
#include "CvCard.h"

#include <cstdio>
#include <cstring>

namespace {

const GUID kPortsClass = {0x4D36E978, 0xE325, 0x11CE, {0xBF, 0xC1, 0x08, 0x00, 0x2B, 0xE1, 0x03, 0x18}};
const char kSerialMap[] = "Hardware\\DeviceMap\\SERIALCOMM";
const char kParallelMap[] = "Hardware\\DeviceMap\\PARALLEL PORTS";
// The old LPT name may be defined more than once; each pass moves one definition.
const int kMaxDefinitions = 16;

BOOL SameText(const std::string& a, const std::string& b) {
    if (a.size() != b.size())
        return FALSE;
    for (size_t i = 0; i < a.size(); ++i)
        if (std::toupper(static_cast<unsigned char>(a[i])) != std::toupper(static_cast<unsigned char>(b[i])))
            return FALSE;
    return TRUE;
}

std::string PortName(BOOL bSerial, int nNumber) {
    return AfxFormat(bSerial ? "COM%d" : "LPT%d", nNumber);
}

std::string FriendlyName(BOOL bSerial, int nNumber) {
    return AfxFormat(bSerial ? "Quorvel Serial Port (COM%d)" : "Quorvel Parallel Port (LPT%d)", nNumber);
}

// The name's current device path ("" when it is not defined).
std::string DevicePathOf(const char* pszName) {
    char szTargets[1024];
    if (!QueryDosDeviceA(pszName, szTargets, sizeof szTargets))
        return {};
    return szTargets;
}

BOOL MoveDefinition(const char* pszFrom, const char* pszTo, const std::string& strPath) {
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH, pszTo, strPath.c_str()))
        return FALSE;
    if (!DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, pszFrom,
                          strPath.c_str())) {
        DefineDosDeviceA(DDD_RAW_TARGET_PATH | DDD_REMOVE_DEFINITION | DDD_EXACT_MATCH_ON_REMOVE, pszTo,
                         strPath.c_str());
        return FALSE;
    }
    return TRUE;
}

BOOL WriteMapValue(const char* pszMap, const std::string& strName, const std::string& strData) {
    HKEY hMap = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, pszMap, 0, KEY_READ | KEY_WRITE, &hMap) != ERROR_SUCCESS)
        return FALSE;
    const BOOL bWritten =
        RegSetValueExA(hMap, strName.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(strData.c_str()),
                       static_cast<DWORD>(strData.size() + 1)) == ERROR_SUCCESS;
    RegCloseKey(hMap);
    return bWritten;
}

// The PARALLEL PORTS value whose data is the old name moves to the new one.
BOOL MoveParallelMapValue(const char* pszFrom, const char* pszTo) {
    HKEY hMap = nullptr;
    if (RegOpenKeyExA(HKEY_LOCAL_MACHINE, kParallelMap, 0, KEY_READ | KEY_WRITE, &hMap) != ERROR_SUCCESS)
        return FALSE;
    const std::string strOld = std::string("\\DosDevices\\") + pszFrom;
    const std::string strNew = std::string("\\DosDevices\\") + pszTo;
    BOOL bMoved = FALSE;
    for (int n = 0; n <= CV_MAX_DOS_NUMBER && !bMoved; ++n) {
        const std::string strValue = AfxFormat("\\Device\\Parallel%d", n);
        char szData[256] = {};
        DWORD dwType = 0, dwSize = sizeof szData - 1;
        if (RegQueryValueExA(hMap, strValue.c_str(), nullptr, &dwType, reinterpret_cast<BYTE*>(szData),
                             &dwSize) != ERROR_SUCCESS ||
            dwType != REG_SZ || !SameText(szData, strOld))
            continue;
        bMoved =
            RegSetValueExA(hMap, strValue.c_str(), 0, REG_SZ, reinterpret_cast<const BYTE*>(strNew.c_str()),
                           static_cast<DWORD>(strNew.size() + 1)) == ERROR_SUCCESS;
    }
    RegCloseKey(hMap);
    return bMoved;
}

} // namespace

BOOL CCardPropertiesPage::RenamePort(int nRow, int nOld, int nNew) {
    const BOOL bSerial = nRow < static_cast<int>(m_dwComCount);
    if (nOld < 1 || nNew < 1 || nOld > CV_MAX_DOS_NUMBER || nNew > CV_MAX_DOS_NUMBER)
        return FALSE;
    const std::string strOld = PortName(bSerial, nOld), strNew = PortName(bSerial, nNew);
    if (bSerial) {
        if (static_cast<DWORD>(nNew) <= m_dwArbiterLength && m_pArbiter[nNew - 1] &&
            MessageBox(CvCardString(IDS_RESOLVE_CONFLICT), CvCardString(IDS_RESOLVE_CONFLICT_CAPTION),
                       MB_YESNO | MB_ICONQUESTION) != IDYES)
            return FALSE;
        if (!MoveDatabaseClaim(nOld, nNew))
            return FALSE;
    }
    if (!MoveDosName(strOld.c_str(), strNew.c_str(), bSerial)) {
        if (bSerial)
            MoveDatabaseClaim(nNew, nOld);
        return FALSE;
    }
    if (!RenameFriendlyName(nOld, nNew, bSerial)) {
        MoveDosName(strNew.c_str(), strOld.c_str(), bSerial);
        if (bSerial)
            MoveDatabaseClaim(nNew, nOld);
        return FALSE;
    }
    if (!WritePortName(nRow, nNew, bSerial)) {
        RenameFriendlyName(nNew, nOld, bSerial);
        MoveDosName(strNew.c_str(), strOld.c_str(), bSerial);
        if (bSerial)
            MoveDatabaseClaim(nNew, nOld);
        return FALSE;
    }
    if (bSerial) {
        if (static_cast<DWORD>(nOld) <= m_dwArbiterLength)
            m_pArbiter[nOld - 1] = 0;
        if (static_cast<DWORD>(nNew) <= m_dwArbiterLength)
            m_pArbiter[nNew - 1] = 1;
    }
    BOOL* pPresent = bSerial ? m_abComPresent : m_abLptPresent;
    pPresent[nOld - 1] = FALSE;
    pPresent[nNew - 1] = TRUE;
    m_anCurrent[nRow] = nNew;
    return TRUE;
}

BOOL CCardPropertiesPage::MoveDatabaseClaim(int nFrom, int nTo) {
    HCOMDB hDatabase = nullptr;
    if (ComDBOpen(&hDatabase) != ERROR_SUCCESS || hDatabase == HCOMDB_INVALID_HANDLE_VALUE)
        return FALSE;
    ComDBReleasePort(hDatabase, static_cast<DWORD>(nFrom));
    const BOOL bClaimed = ComDBClaimPort(hDatabase, static_cast<DWORD>(nTo), TRUE, nullptr) == ERROR_SUCCESS;
    if (!bClaimed)
        ComDBClaimPort(hDatabase, static_cast<DWORD>(nFrom), TRUE, nullptr);
    ComDBClose(hDatabase);
    return bClaimed;
}

BOOL CCardPropertiesPage::MoveDosName(const char* pszFrom, const char* pszTo, BOOL bSerial) {
    std::string strPath = DevicePathOf(pszFrom);
    if (strPath.empty() || !MoveDefinition(pszFrom, pszTo, strPath))
        return FALSE;
    if (bSerial) {
        // The device's SERIALCOMM value names the port.
        if (!WriteMapValue(kSerialMap, strPath, pszTo)) {
            MoveDefinition(pszTo, pszFrom, strPath);
            return FALSE;
        }
        return TRUE;
    }
    for (int n = 0; n < kMaxDefinitions && !(strPath = DevicePathOf(pszFrom)).empty(); ++n)
        if (!MoveDefinition(pszFrom, pszTo, strPath))
            break;
    if (!MoveParallelMapValue(pszFrom, pszTo)) {
        for (int n = 0; n < kMaxDefinitions && !(strPath = DevicePathOf(pszTo)).empty(); ++n)
            if (!MoveDefinition(pszTo, pszFrom, strPath))
                break;
        return FALSE;
    }
    return TRUE;
}

BOOL CCardPropertiesPage::RenameFriendlyName(int nFrom, int nTo, BOOL bSerial) {
    HDEVINFO hSet = SetupDiGetClassDevsA(&kPortsClass, nullptr, nullptr, DIGCF_PRESENT);
    if (hSet == INVALID_HANDLE_VALUE)
        return FALSE;
    const std::string strOld = FriendlyName(bSerial, nFrom), strNew = FriendlyName(bSerial, nTo);
    BOOL bRenamed = FALSE;
    SP_DEVINFO_DATA Device{};
    Device.cbSize = sizeof Device;
    for (DWORD i = 0; !bRenamed && SetupDiEnumDeviceInfo(hSet, i, &Device); ++i) {
        char szName[256] = {};
        if (!SetupDiGetDeviceRegistryPropertyA(hSet, &Device, SPDRP_FRIENDLYNAME, nullptr,
                                               reinterpret_cast<BYTE*>(szName), sizeof szName - 1, nullptr) ||
            strOld != szName)
            continue;
        bRenamed = SetupDiSetDeviceRegistryPropertyA(hSet, &Device, SPDRP_FRIENDLYNAME,
                                                     reinterpret_cast<const BYTE*>(strNew.c_str()),
                                                     static_cast<DWORD>(strNew.size() + 1));
    }
    SetupDiDestroyDeviceInfoList(hSet);
    return bRenamed;
}

BOOL CCardPropertiesPage::WritePortName(int nRow, int nNumber, BOOL bSerial) {
    HKEY hInstance = OpenActiveInstance(nRow + 1, KEY_WRITE);
    if (!hInstance)
        return FALSE;
    HKEY hParameters = nullptr;
    BOOL bWritten = FALSE;
    if (RegCreateKeyExA(hInstance, "Device Parameters", 0, nullptr, REG_OPTION_NON_VOLATILE, KEY_WRITE,
                        nullptr, &hParameters, nullptr) == ERROR_SUCCESS) {
        const std::string strName = PortName(bSerial, nNumber);
        bWritten =
            RegSetValueExA(hParameters, "PortName", 0, REG_SZ, reinterpret_cast<const BYTE*>(strName.c_str()),
                           static_cast<DWORD>(strName.size() + 1)) == ERROR_SUCCESS;
        RegCloseKey(hParameters);
    }
    RegCloseKey(hInstance);
    return bWritten;
}
