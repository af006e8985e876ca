// CvNt's unload, and the tear-down both unload and a failed entry use: the port lists, the
// CurrentConfig branch and the kept service path.
#include "CvErrorLog.h"
#include "CvPortList.h"
#include "CvResourceKiller.h"
#include "CvUnicode.h"
#include "cvntmsg.h"

// Deletes <service key>\CurrentConfig with everything below it; failures are of no consequence here.
VOID CvRemoveCurrentConfig() {
    if (!uniGlobalRegistryPath.Buffer)
        return;
    CCvUnicode uniPath(PagedPool, &uniGlobalRegistryPath);
    if (uniPath.Status != STATUS_SUCCESS || uniPath.Append(u"\\CurrentConfig") != STATUS_SUCCESS ||
        !NT_SUCCESS(RtlCheckRegistryKey(RTL_REGISTRY_ABSOLUTE, uniPath)))
        return;
    DeleteSubkeys(uniPath);
    OBJECT_ATTRIBUTES Attributes;
    InitializeObjectAttributes(&Attributes, static_cast<PUNICODE_STRING>(uniPath), OBJ_CASE_INSENSITIVE, NULL,
                               NULL);
    HANDLE hKey = NULL;
    if (NT_SUCCESS(ZwOpenKey(&hKey, KEY_ALL_ACCESS, &Attributes))) {
        ZwDeleteKey(hKey);
        ZwClose(hKey);
    }
}

VOID CvDeletePortList(CCvLinkedList*& pList, PDRIVER_OBJECT DriverObject) {
    if (!pList)
        return;
    DoUnload(pList, DriverObject);
    pList->DeleteAllNodes(sizeof(CCvDeviceStruct));
    delete pList;
    pList = NULL;
}

VOID CvReleaseGlobalPath() {
    if (uniGlobalRegistryPath.Buffer)
        operator delete(uniGlobalRegistryPath.Buffer);
    RtlZeroMemory(&uniGlobalRegistryPath, sizeof uniGlobalRegistryPath);
}

VOID SerialUnload(PDRIVER_OBJECT DriverObject) {
    PVOID pvLock = MmLockPagableDataSection(reinterpret_cast<PVOID>(SerialUnload));
    Log(CVNT_UNLOAD_STARTS);
    CvDeletePortList(pPciCCvDeviceList, DriverObject);
    CvDeletePortList(pIsaCCvDeviceList, DriverObject);
    CvRemoveCurrentConfig();
    CvReleaseGlobalPath();
    Log(CVNT_UNLOAD_ENDS);
    deleteall();
    DestructResourceKiller();
    MmUnlockPagableImageSection(pvLock);
}
