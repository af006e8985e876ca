// CvNt's driver entry: the configuration read, the ISA sequence, the PCI sequence, the dispatch table
// filled last; and the failure path that leaves the machine as it found it.
#include "CvEngine.h"
#include "CvErrorLog.h"
#include "CvPortList.h"
#include "CvResourceKiller.h"
#include "CvUnicode.h"
#include "cvntmsg.h"

CCvLinkedList* pIsaCCvDeviceList = NULL;
CCvLinkedList* pPciCCvDeviceList = NULL;
UNICODE_STRING uniGlobalRegistryPath = {0, 0, NULL};

namespace {

CCvLinkedList* CreatePortList() {
    return new (NonPagedPool) CCvLinkedList(NonPagedPool);
}

// A step's result: severe ends the entry with the step's message; anything else goes on.
enum class Step { Go, Fail };

Step Check(NTSTATUS Status, ULONG ulSevereMessage) {
    if (Status != CV_STATUS_SEVERE)
        return Step::Go;
    Log(ulSevereMessage);
    return Step::Fail;
}

VOID DeleteWorkLists(CCvLinkedList*& pFunctions, PciBusStruct& Pci, IsaBusStruct& Isa) {
    if (pFunctions) {
        pFunctions->DeleteAllNodes(sizeof(PciDeviceStruct));
        delete pFunctions;
        pFunctions = NULL;
    }
    DeleteRegistrySettings(&Pci, &Isa);
}

// The ISA sequence; FALSE when a step failed severely (its message logged).
BOOLEAN RunIsaSequence(PDRIVER_OBJECT DriverObject, PUNICODE_STRING pPath, IsaBusStruct& IsaSettings) {
    CCvLinkedList* pList = pIsaCCvDeviceList;
    if (Check(BuildIsaCCvDeviceList(IsaSettings.pParametersCardList, pList), CVNT_ISA_LIST_ERROR) ==
            Step::Fail ||
        Check(AssignIsaComNumberToPort(pList), CVNT_ISA_COM_ASSIGN_ERROR) == Step::Fail ||
        Check(CreateDeviceObjectsAndSymbolicLinks(DriverObject, pList, ::Isa),
              CVNT_ISA_DEVICE_CREATE_ERROR) == Step::Fail ||
        Check(DeleteCurrentConfigKey(pPath), CVNT_ISA_CURRENTCONFIG_KEY_ERROR) == Step::Fail ||
        Check(BuildCurrentConfigKey(pPath, pList), CVNT_ISA_CURRENTCONFIG_CREATE_ERROR) == Step::Fail ||
        Check(AssignResources(pList, DriverObject), CVNT_ISA_RESOURCE_ERROR) == Step::Fail ||
        Check(AssignPortIoResources(pList, DriverObject), CVNT_SISR_PORT_RESOURCE_ERROR) == Step::Fail ||
        Check(AssignSisrResources(pList, DriverObject), CVNT_SISR_RESOURCE_ERROR) == Step::Fail ||
        Check(IsaCreateAndInitializeUart(pList), CVNT_ISA_UART_INIT_ERROR) == Step::Fail ||
        Check(InitializePlxChip(pList), CVNT_ISA_PLX_SETUP_ERROR) == Step::Fail)
        return FALSE;
    if (InitializeExtension(pList) != STATUS_SUCCESS)
        Log(CVNT_ISA_EXTENSION_INIT_FAILED);
    if (ConnectInterrupts(pList) != STATUS_SUCCESS)
        Log(CVNT_ISA_INTERRUPT_CONNECT_FAILED);
    if (ConnectSisrInterrupts(pList) != STATUS_SUCCESS)
        Log(CVNT_SISR_INTERRUPT_CONNECT_FAILED);
    NTSTATUS Status = FillCurrentConfigKeyIsa(pList);
    if (Status == CV_STATUS_SEVERE) {
        Log(CVNT_ISA_CURRENTCONFIG_ADD_ERROR);
        return FALSE;
    }
    if (Status != STATUS_SUCCESS)
        Log(CVNT_ISA_CURRENTCONFIG_VALUES_FAILED);
    return TRUE;
}

BOOLEAN RunPciSequence(PDRIVER_OBJECT DriverObject, PUNICODE_STRING pPath, CCvLinkedList* pFunctions,
                       PciBusStruct& PciSettings) {
    CCvLinkedList* pList = pPciCCvDeviceList;
    if (FindDevicesOnPciBus(pFunctions) != STATUS_SUCCESS) {
        Log(CVNT_PCI_SEARCH_ERROR);
        return FALSE;
    }
    if (Check(MatchPciDevicesWithTemplates(pFunctions, PciSettings.pTemplatesCardList),
              CVNT_PCI_TEMPLATE_MATCH_ERROR) == Step::Fail ||
        Check(BuildPciCCvDeviceList(pFunctions, pList), CVNT_PCI_LIST_ERROR) == Step::Fail)
        return FALSE;
    NTSTATUS Status = MatchPciCCvDevicesWithParameters(pList, PciSettings.pParametersCardList);
    if (Status == CV_STATUS_SEVERE) {
        Log(CVNT_PCI_PARAMETERS_MATCH_ERROR);
        return FALSE;
    }
    if (Status != STATUS_SUCCESS) {
        Log(CVNT_PCI_PARAMETERS_MATCH_FAILED);
        DoUnload(pList, DriverObject); // nothing is set up yet: the objects go with their nodes
        pList->DeleteAllNodes(sizeof(CCvDeviceStruct));
    }
    if (Check(AssignComNumberToPort(pList), CVNT_PCI_COM_ASSIGN_ERROR) == Step::Fail ||
        Check(CreateDeviceObjectsAndSymbolicLinks(DriverObject, pList, PCIBus),
              CVNT_PCI_DEVICE_CREATE_ERROR) == Step::Fail ||
        Check(BuildCurrentConfigKey(pPath, pList), CVNT_PCI_CURRENTCONFIG_CREATE_ERROR) == Step::Fail ||
        Check(AssignPciResources(pList, DriverObject), CVNT_PCI_RESOURCE_ERROR) == Step::Fail ||
        Check(CreateAndInitializeUart(pList), CVNT_PCI_UART_INIT_ERROR) == Step::Fail ||
        Check(InitializePlxChip(pList), CVNT_PCI_PLX_SETUP_ERROR) == Step::Fail)
        return FALSE;
    if (InitializeExtension(pList) != STATUS_SUCCESS)
        Log(CVNT_PCI_EXTENSION_INIT_FAILED);
    if (ConnectInterrupts(pList) != STATUS_SUCCESS)
        Log(CVNT_PCI_INTERRUPT_CONNECT_FAILED);
    CvNonComplient(pList);
    Status = FillCurrentConfigKey(pList);
    if (Status == CV_STATUS_SEVERE) {
        Log(CVNT_PCI_CURRENTCONFIG_ADD_ERROR);
        return FALSE;
    }
    if (Status != STATUS_SUCCESS)
        Log(CVNT_PCI_CURRENTCONFIG_VALUES_FAILED);
    return TRUE;
}

} // namespace

extern "C" NTSTATUS DriverEntry(PDRIVER_OBJECT DriverObject, PUNICODE_STRING RegistryPath) {
    pIsaCCvDeviceList = NULL;
    pPciCCvDeviceList = NULL;
    NTSTATUS Status = ConstructResourceKiller();
    if (Status != STATUS_SUCCESS) {
        DestructResourceKiller(); // a killer object without its first page would stay behind
        return Status;
    }
    PVOID pvLock = MmLockPagableDataSection(reinterpret_cast<PVOID>(SerialUnload));

    PciBusStruct Pci = {NULL, NULL};
    IsaBusStruct Isa = {NULL};
    CCvLinkedList* pFunctions = NULL;
    UNICODE_STRING uniPath = {0, 0, NULL};
    BOOLEAN bLoaded = FALSE;
    if (CvCopyUnicodeString(uniPath, RegistryPath, PagedPool) &&
        CvCopyUnicodeString(uniGlobalRegistryPath, RegistryPath, NonPagedPool)) {
        if (RegisterEventLogging(DriverObject, RegistryPath) != STATUS_SUCCESS) {
            // Nothing can be logged: the driver refuses to load silently.
            CvReleaseGlobalPath();
            deleteall();
            DestructResourceKiller();
            MmUnlockPagableImageSection(pvLock);
            return STATUS_SERIAL_NO_DEVICE_INITED;
        }
        if (GetRegistrySettings(&uniPath, &Pci, &Isa) != STATUS_SUCCESS) {
            Log(CVNT_REGISTRY_ERROR);
        } else if ((pIsaCCvDeviceList = CreatePortList()) != NULL &&
                   RunIsaSequence(DriverObject, &uniPath, Isa) &&
                   (pFunctions = new (PagedPool) CCvLinkedList(PagedPool)) != NULL &&
                   (pPciCCvDeviceList = CreatePortList()) != NULL &&
                   RunPciSequence(DriverObject, &uniPath, pFunctions, Pci)) {
            bLoaded = TRUE;
        }
    }
    if (bLoaded) {
        ExportEntryPoints(DriverObject);
        DeleteWorkLists(pFunctions, Pci, Isa);
        operator delete(uniPath.Buffer);
        MmUnlockPagableImageSection(pvLock);
        Log(CVNT_DRIVER_LOADED);
        return STATUS_SUCCESS;
    }

    // The failure path: everything made so far goes, ISA ports before PCI ports.
    CvDeletePortList(pIsaCCvDeviceList, DriverObject);
    CvDeletePortList(pPciCCvDeviceList, DriverObject);
    CvRemoveCurrentConfig();
    CvReleaseGlobalPath();
    Log(CVNT_DRIVER_NOT_LOADED);
    DeleteWorkLists(pFunctions, Pci, Isa);
    if (uniPath.Buffer)
        operator delete(uniPath.Buffer);
    deleteall();
    DestructResourceKiller();
    MmUnlockPagableImageSection(pvLock);
    return STATUS_SERIAL_NO_DEVICE_INITED;
}
