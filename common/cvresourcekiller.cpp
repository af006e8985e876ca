#include "CvResourceKiller.h"

UCHAR __ResourceKiller__ON = 0;
CCvResourceKiller* __CCv__Killer = NULL;

namespace {

// A resource page: word 0 is the next page, words 1..20 the recorded blocks (0 = empty slot).
typedef PVOID* PRESOURCE_PAGE;

inline PRESOURCE_PAGE Page(PVOID pv) {
    return static_cast<PRESOURCE_PAGE>(pv);
}

const size_t kPageBytes = CV_RESOURCE_PAGE_WORDS * sizeof(PVOID);

inline ULONG Saturating(ULONG ulValue) {
    return ulValue == 0xFFFFFFFF ? ulValue : ulValue + 1;
}

// Holds the chain's spin lock, where the image has one, for the scope.
class CChainLock {
public:
    explicit CChainLock(PKSPIN_LOCK pLock) : m_pLock(pLock) {
        if (m_pLock)
            KeAcquireSpinLock(m_pLock, &m_OldIrql);
    }
    ~CChainLock() {
        if (m_pLock)
            KeReleaseSpinLock(m_pLock, m_OldIrql);
    }

private:
    PKSPIN_LOCK m_pLock;
    KIRQL m_OldIrql = 0;
};

} // namespace

#if defined(CV_IMAGE_CVNT)
CCvResourceKiller::CCvResourceKiller(POOL_TYPE PoolType) {
    m_PoolType = PoolType;
#else
CCvResourceKiller::CCvResourceKiller() {
    PageAllocationFaults = 0;
    KeInitializeSpinLock(&m_SpinLock);
#endif
    Status = STATUS_SUCCESS;
    FreeAttemptsOnNotRegisteredPool = 0;
    ResourcesRegistered = 0;
    m_ulCounter = 1;
    m_pvFirstResourcePage = NULL;
    m_pvCurrentResourcePage = NULL;
    Status = AllocatePage(PagePool());
    if (Status == STATUS_SUCCESS)
        m_pvFirstResourcePage = m_pvCurrentResourcePage;
}

#if defined(CV_IMAGE_CVNT)
POOL_TYPE CCvResourceKiller::PagePool() const {
    return m_PoolType;
}
PKSPIN_LOCK CCvResourceKiller::ChainLock() {
    return NULL;
}
VOID CCvResourceKiller::CountPageFault() {}
#else
POOL_TYPE CCvResourceKiller::PagePool() const {
    return NonPagedPool;
}
PKSPIN_LOCK CCvResourceKiller::ChainLock() {
    return &m_SpinLock;
}
VOID CCvResourceKiller::CountPageFault() {
    PageAllocationFaults = Saturating(PageAllocationFaults);
}
#endif

CCvResourceKiller::~CCvResourceKiller() {
    KillResources();
    if (m_pvFirstResourcePage) {
        ExFreePool(m_pvFirstResourcePage);
        m_pvFirstResourcePage = NULL;
        m_pvCurrentResourcePage = NULL;
    }
}

NTSTATUS CCvResourceKiller::AllocatePage(POOL_TYPE PoolType) {
    PVOID pvPage = ExAllocatePoolWithTag(PoolType, kPageBytes, CvImage.ulPageTag);
    if (!pvPage)
        return STATUS_NO_MEMORY;
    RtlZeroMemory(pvPage, kPageBytes);
    if (m_pvCurrentResourcePage)
        Page(m_pvCurrentResourcePage)[0] = pvPage;
    m_pvCurrentResourcePage = pvPage;
    m_ulCounter = 1;
    return STATUS_SUCCESS;
}

NTSTATUS CCvResourceKiller::AddResource(PVOID pvResource) {
    CChainLock Lock(ChainLock());
    return AddResourceLocked(pvResource);
}

NTSTATUS CCvResourceKiller::AddResourceLocked(PVOID pvResource) {
    if (m_ulCounter > CV_RESOURCE_PAGE_SLOTS) {
        NTSTATUS status = AllocatePage(PagePool());
        if (status != STATUS_SUCCESS) {
            // No room to record: give recording up. The blocks recorded so far stay with their owners,
            // and from now on every allocation is a plain untracked one.
            CountPageFault();
            if (CvImage.bDebuggerReports)
                DbgPrint("\n          Resource Killer - Resource Page allocation fault !!");
            KillPages();
            __ResourceKiller__ON = 0;
            return status;
        }
    }
    Page(m_pvCurrentResourcePage)[m_ulCounter] = pvResource;
    m_ulCounter++;
    ResourcesRegistered = Saturating(ResourcesRegistered);
    return STATUS_SUCCESS;
}

NTSTATUS CCvResourceKiller::FreeResource(PVOID pvPool) {
    CChainLock Lock(ChainLock());
    return FreeResourceLocked(pvPool);
}

NTSTATUS CCvResourceKiller::FreeResourceLocked(PVOID pvPool) {
    for (PVOID pvPage = m_pvFirstResourcePage; pvPage; pvPage = Page(pvPage)[0]) {
        for (ULONG ulSlot = 1; ulSlot <= CV_RESOURCE_PAGE_SLOTS; ulSlot++) {
            if (Page(pvPage)[ulSlot] != pvPool)
                continue;
            BOOLEAN bLast = pvPage == m_pvCurrentResourcePage && ulSlot == m_ulCounter - 1;
            if (bLast) {
                GetAndRemoveLastResource();
            } else {
                // The last recorded block moves into the hole, so the chain never has gaps.
                PVOID pvMoved = GetAndRemoveLastResource();
                Page(pvPage)[ulSlot] = pvMoved;
            }
            if (ResourcesRegistered)
                ResourcesRegistered--;
            return STATUS_SUCCESS;
        }
    }
    // Where operator delete keeps such a block, it counts the attempt itself.
    if (!CvImage.bKeepsUnrecordedBlocks)
        FreeAttemptsOnNotRegisteredPool = Saturating(FreeAttemptsOnNotRegisteredPool);
    if (CvImage.bDebuggerReports) {
        DbgPrint("\n          Resource Free Attempt on not registered pool.");
        DbgPrint("\n          Number of attempts in total : %d\n", (int)FreeAttemptsOnNotRegisteredPool);
    }
    return STATUS_INVALID_PARAMETER;
}

PVOID CCvResourceKiller::GetAndRemoveLastResource() {
    PVOID pvLast = m_pvFirstResourcePage;
    PVOID pvBefore = m_pvFirstResourcePage;
    while (Page(pvLast)[0]) {
        pvBefore = pvLast;
        pvLast = Page(pvLast)[0];
    }
    PVOID pvBlock;
    if (m_ulCounter != 2) {
        pvBlock = Page(pvLast)[m_ulCounter - 1];
        Page(pvLast)[m_ulCounter - 1] = NULL;
        m_ulCounter--;
    } else {
        pvBlock = Page(pvLast)[1];
        if (pvLast == m_pvFirstResourcePage) {
            Page(pvLast)[1] = NULL;
            m_ulCounter = 1;
        } else {
            Page(pvBefore)[0] = NULL;
            ExFreePool(pvLast);
            m_pvCurrentResourcePage = pvBefore;
            m_ulCounter = CV_RESOURCE_PAGE_WORDS; // the page before is full
        }
    }
    return pvBlock;
}

VOID CCvResourceKiller::KillResources() {
    // CvInstal's release works only while recording is on, and reports its counts first.
    if (CvImage.bDebuggerReports) {
        if (__ResourceKiller__ON != 1)
            return;
        DbgPrint("\n\t\tFreeAttemptsOnNotRegisteredPool at deleteall = %d",
                 (int)FreeAttemptsOnNotRegisteredPool);
        DbgPrint("\n\t\tResourcesRegistered at deleteall = %d", (int)ResourcesRegistered);
    }
    PVOID pvPage = m_pvFirstResourcePage;
    while (pvPage) {
        PVOID pvNext = Page(pvPage)[0];
        for (ULONG ulSlot = 1; ulSlot <= CV_RESOURCE_PAGE_SLOTS; ulSlot++) {
            if (Page(pvPage)[ulSlot]) {
                ExFreePool(Page(pvPage)[ulSlot]);
                if (CvImage.bZeroesReleasedSlots)
                    Page(pvPage)[ulSlot] = NULL;
            }
        }
        if (pvPage != m_pvFirstResourcePage)
            ExFreePool(pvPage);
        pvPage = pvNext;
    }
    m_pvCurrentResourcePage = m_pvFirstResourcePage;
    m_ulCounter = 1;
    if (m_pvFirstResourcePage)
        RtlZeroMemory(m_pvFirstResourcePage, kPageBytes);
    FreeAttemptsOnNotRegisteredPool = 0;
    ResourcesRegistered = 0;
}

VOID CCvResourceKiller::KillPages() {
    PVOID pvPage = m_pvFirstResourcePage ? Page(m_pvFirstResourcePage)[0] : NULL;
    while (pvPage) {
        PVOID pvNext = Page(pvPage)[0];
        ExFreePool(pvPage);
        pvPage = pvNext;
    }
    m_pvCurrentResourcePage = m_pvFirstResourcePage;
    m_ulCounter = 1;
    if (m_pvFirstResourcePage)
        RtlZeroMemory(m_pvFirstResourcePage, kPageBytes);
    FreeAttemptsOnNotRegisteredPool = 0;
    ResourcesRegistered = 0;
}

NTSTATUS ConstructResourceKiller() {
    __ResourceKiller__ON = 0;
#if defined(CV_IMAGE_CVNT)
    __CCv__Killer = new (NonPagedPool) CCvResourceKiller(NonPagedPool);
#else
    __CCv__Killer = new (NonPagedPool) CCvResourceKiller();
#endif
    if (!__CCv__Killer)
        return STATUS_UNSUCCESSFUL;
    if (__CCv__Killer->Status != STATUS_SUCCESS)
        return __CCv__Killer->Status;
    __ResourceKiller__ON = 1;
    return STATUS_SUCCESS;
}

VOID DestructResourceKiller() {
    __ResourceKiller__ON = 0;
    if (__CCv__Killer) {
        delete __CCv__Killer;
        __CCv__Killer = NULL;
    }
}

VOID deleteall() {
    if (__CCv__Killer)
        __CCv__Killer->KillResources();
}

// ---------------------------------------------------------------------------------------------
// Allocation operators of the image
// ---------------------------------------------------------------------------------------------

static PVOID CvAllocate(POOL_TYPE PoolType, size_t size) {
    if (!__ResourceKiller__ON)
        return ExAllocatePoolWithTag(PoolType, size, CvImage.ulUntrackedTag);
    PVOID pv = ExAllocatePoolWithTag(PoolType, size, CvImage.ulRecordedTag);
    if (!pv)
        return NULL;
    if (__CCv__Killer->AddResource(pv) != STATUS_SUCCESS) {
        ExFreePool(pv);
        return NULL;
    }
    return pv;
}

static VOID CvFree(PVOID p) {
    if (!p)
        return;
    if (!__ResourceKiller__ON) {
        ExFreePool(p);
        return;
    }
    BOOLEAN bRecorded = __CCv__Killer->FreeResource(p) == STATUS_SUCCESS;
    // In CvNt a block that was never recorded is not ours to release while recording is on.
    if (bRecorded || !CvImage.bKeepsUnrecordedBlocks) {
        ExFreePool(p);
        return;
    }
    __CCv__Killer->FreeAttemptsOnNotRegisteredPool =
        Saturating(__CCv__Killer->FreeAttemptsOnNotRegisteredPool);
}

void* operator new(size_t size, POOL_TYPE PoolType) noexcept {
    return CvAllocate(PoolType, size);
}
void* operator new[](size_t size, POOL_TYPE PoolType) noexcept {
    return CvAllocate(PoolType, size);
}
void operator delete(void* p) noexcept {
    CvFree(p);
}
void operator delete[](void* p) noexcept {
    CvFree(p);
}
void operator delete(void* p, size_t) noexcept {
    CvFree(p);
}
void operator delete[](void* p, size_t) noexcept {
    CvFree(p);
}

PVOID CvImageAllocate(POOL_TYPE PoolType, size_t size) {
    return CvAllocate(PoolType, size);
}
VOID CvImageFree(PVOID p) {
    CvFree(p);
}

#if defined(CV_IMAGE_CVINSTAL)
PVOID ExAllocate(POOL_TYPE PoolType, size_t size) {
    return CvAllocate(PoolType, size);
}
VOID ExFree(PVOID p) {
    CvFree(p);
}
#endif
