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

#if defined(CV_IMAGE_CVNT)
const ULONG kBlockTag = CV_TAG_DDK;
const ULONG kUntrackedTag = CV_TAG_DDK;
#else
const ULONG kBlockTag = CV_TAG_KILLER_BLOCK;
const ULONG kUntrackedTag = CV_TAG_KILLER_OFF;
#endif

inline ULONG Saturating(ULONG ulValue) {
    return ulValue == 0xFFFFFFFF ? ulValue : ulValue + 1;
}

#if defined(CV_IMAGE_CVINSTAL)
// CvInstal guards the chain with its spin lock: it allocates and releases up to dispatch level.
class CChainLock {
public:
    explicit CChainLock(KSPIN_LOCK& Lock) : m_Lock(Lock) { KeAcquireSpinLock(&m_Lock, &m_OldIrql); }
    ~CChainLock() { KeReleaseSpinLock(&m_Lock, m_OldIrql); }

private:
    KSPIN_LOCK& m_Lock;
    KIRQL m_OldIrql;
};
#endif

} // namespace

#if defined(CV_IMAGE_CVNT)
CCvResourceKiller::CCvResourceKiller(POOL_TYPE PoolType)
#else
CCvResourceKiller::CCvResourceKiller()
#endif
{
    Status = STATUS_SUCCESS;
    FreeAttemptsOnNotRegisteredPool = 0;
    ResourcesRegistered = 0;
#if defined(CV_IMAGE_CVINSTAL)
    PageAllocationFaults = 0;
    KeInitializeSpinLock(&m_SpinLock);
    const POOL_TYPE PoolType = NonPagedPool;
#else
    m_PoolType = PoolType;
#endif
    m_ulCounter = 1;
    m_pvFirstResourcePage = NULL;
    m_pvCurrentResourcePage = NULL;
    Status = AllocatePage(PoolType);
    if (Status == STATUS_SUCCESS)
        m_pvFirstResourcePage = m_pvCurrentResourcePage;
}

CCvResourceKiller::~CCvResourceKiller() {
    KillResources();
    if (m_pvFirstResourcePage) {
        ExFreePool(m_pvFirstResourcePage);
        m_pvFirstResourcePage = NULL;
        m_pvCurrentResourcePage = NULL;
    }
}

NTSTATUS CCvResourceKiller::AllocatePage(POOL_TYPE PoolType) {
#if defined(CV_IMAGE_CVINSTAL)
    PVOID pvPage = ExAllocatePoolWithTag(NonPagedPool, kPageBytes, CV_TAG_KILLER_PAGE);
    (void)PoolType;
#else
    PVOID pvPage = ExAllocatePoolWithTag(PoolType, kPageBytes, CV_TAG_DDK);
#endif
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
#if defined(CV_IMAGE_CVINSTAL)
    CChainLock Lock(m_SpinLock);
#endif
    return AddResourceLocked(pvResource);
}

NTSTATUS CCvResourceKiller::AddResourceLocked(PVOID pvResource) {
    if (m_ulCounter > CV_RESOURCE_PAGE_SLOTS) {
#if defined(CV_IMAGE_CVINSTAL)
        NTSTATUS status = AllocatePage(NonPagedPool);
#else
        NTSTATUS status = AllocatePage(m_PoolType);
#endif
        if (status != STATUS_SUCCESS) {
            // No room to record: give recording up. The blocks recorded so far stay with their owners,
            // and from now on every allocation is a plain untracked one.
#if defined(CV_IMAGE_CVINSTAL)
            PageAllocationFaults = Saturating(PageAllocationFaults);
            DbgPrint("\n          Resource Killer - Resource Page allocation fault !!");
#endif
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
#if defined(CV_IMAGE_CVINSTAL)
    CChainLock Lock(m_SpinLock);
#endif
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
#if defined(CV_IMAGE_CVINSTAL)
    FreeAttemptsOnNotRegisteredPool = Saturating(FreeAttemptsOnNotRegisteredPool);
    DbgPrint("\n          Resource Free Attempt on not registered pool.");
    DbgPrint("\n          Number of attempts in total : %d\n", (int)FreeAttemptsOnNotRegisteredPool);
#endif
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
#if defined(CV_IMAGE_CVINSTAL)
    if (__ResourceKiller__ON != 1)
        return;
    DbgPrint("\n\t\tFreeAttemptsOnNotRegisteredPool at deleteall = %d", (int)FreeAttemptsOnNotRegisteredPool);
    DbgPrint("\n\t\tResourcesRegistered at deleteall = %d", (int)ResourcesRegistered);
#endif
    PVOID pvPage = m_pvFirstResourcePage;
    while (pvPage) {
        PVOID pvNext = Page(pvPage)[0];
        for (ULONG ulSlot = 1; ulSlot <= CV_RESOURCE_PAGE_SLOTS; ulSlot++) {
            if (Page(pvPage)[ulSlot]) {
                ExFreePool(Page(pvPage)[ulSlot]);
#if defined(CV_IMAGE_CVINSTAL)
                Page(pvPage)[ulSlot] = NULL;
#endif
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
        return ExAllocatePoolWithTag(PoolType, size, kUntrackedTag);
    PVOID pv = ExAllocatePoolWithTag(PoolType, size, kBlockTag);
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
#if defined(CV_IMAGE_CVINSTAL)
    if (__ResourceKiller__ON)
        __CCv__Killer->FreeResource(p);
    ExFreePool(p);
#else
    if (!__ResourceKiller__ON) {
        ExFreePool(p);
        return;
    }
    // A block that was never recorded is not ours to release while recording is on.
    if (__CCv__Killer->FreeResource(p) == STATUS_SUCCESS)
        ExFreePool(p);
    else
        __CCv__Killer->FreeAttemptsOnNotRegisteredPool =
            Saturating(__CCv__Killer->FreeAttemptsOnNotRegisteredPool);
#endif
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
