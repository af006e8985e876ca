// CvInstal's driver entry and unload: the older service removed, the tracked allocator and event
// logging set up, the registry tree read into the six lists, the dispatch table filled; and all of it
// released again at unload.
#include "CvInstal.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"
#include "cvinstalmsg.h"

namespace {

// A copy of the registry path for the driver's lifetime (an untracked pool block).
BOOLEAN CopyRegistryPath(PUNICODE_STRING RegistryPath) {
    const USHORT usBytes = static_cast<USHORT>(RegistryPath->Length + sizeof(WCHAR));
    uniGlobalRegistryPath.Buffer = static_cast<PWSTR>(ExAllocatePoolWithTag(PagedPool, usBytes, CV_TAG_DDK));
    if (!uniGlobalRegistryPath.Buffer)
        return FALSE;
    RtlZeroMemory(uniGlobalRegistryPath.Buffer, usBytes);
    RtlCopyMemory(uniGlobalRegistryPath.Buffer, RegistryPath->Buffer, RegistryPath->Length);
    uniGlobalRegistryPath.Length = RegistryPath->Length;
    uniGlobalRegistryPath.MaximumLength = usBytes;
    return TRUE;
}

VOID ReleaseRegistryPath() {
    if (uniGlobalRegistryPath.Buffer)
        ExFreePool(uniGlobalRegistryPath.Buffer);
    RtlZeroMemory(&uniGlobalRegistryPath, sizeof uniGlobalRegistryPath);
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    // Nothing of the old service may stay beside this one: a load that finds it removes it and fails.
    if (CheckAndDeleteCvNt() != STATUS_SUCCESS)
        return STATUS_SERIAL_NO_DEVICE_INITED;
    NTSTATUS Status = ConstructResourceKiller();
    if (Status != STATUS_SUCCESS) {
        DestructResourceKiller(); // a killer object without its first page would stay behind
        return Status;
    }
    PVOID pvSection = MmLockPagableDataSection(reinterpret_cast<PVOID>(Unload));
    if (RegisterEventLogging(DriverObject, RegistryPath, &ulGlobalLogLevel) != STATUS_SUCCESS) {
        deleteall();
        DestructResourceKiller();
        MmUnlockPagableImageSection(pvSection);
        return STATUS_SERIAL_NO_DEVICE_INITED;
    }
    Log(CVINSTAL_LOGGING_STARTED);
    if (!CopyRegistryPath(RegistryPath)) {
        Log(CVINSTAL_REGISTRY_PATH_ERROR);
        Log(CVINSTAL_SEVERE_ERROR);
        ReleaseRegistryPath();
        deleteall();
        DestructResourceKiller();
        MmUnlockPagableImageSection(pvSection);
        return STATUS_SERIAL_NO_DEVICE_INITED;
    }
    if (GetRegistrySettings(&uniGlobalRegistryPath) != STATUS_SUCCESS) {
        Log(CVINSTAL_UNLOAD_FAILED);
        Log(CVINSTAL_SEVERE_ERROR);
        Unload(DriverObject);
        MmUnlockPagableImageSection(pvSection);
        return STATUS_SERIAL_NO_DEVICE_INITED;
    }
    ExportEntryPoints(DriverObject);
    MmUnlockPagableImageSection(pvSection);
    Log(CVINSTAL_SERVICE_STARTED);
    return STATUS_SUCCESS;
}

VOID Unload(PDRIVER_OBJECT) {
    PVOID pvSection = MmLockPagableDataSection(reinterpret_cast<PVOID>(Unload));
    ReleaseRegistryPath();
    DeleteRegistrySettings();
    Log(CVINSTAL_DRIVER_UNLOADED);
    deleteall();
    DestructResourceKiller();
    MmUnlockPagableImageSection(pvSection);
}
