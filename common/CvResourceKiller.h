// The tracked allocator: every pool block a driver obtains through operator new is recorded in a chain
// of resource pages, so that one call (deleteall) releases whatever is still held at unload.
#pragma once

#include "CvImage.h"

// Recorded block addresses per page; word 0 of a page links to the next page.
#define CV_RESOURCE_PAGE_SLOTS 20
#define CV_RESOURCE_PAGE_WORDS (CV_RESOURCE_PAGE_SLOTS + 1)

class CCvResourceKiller {
public:
#if defined(CV_IMAGE_CVNT)
    explicit CCvResourceKiller(POOL_TYPE PoolType);
#else
    CCvResourceKiller();
#endif
    ~CCvResourceKiller();

    NTSTATUS AddResource(PVOID pvResource);
    NTSTATUS FreeResource(PVOID pvPool);
    VOID KillResources();

    NTSTATUS Status;
    ULONG FreeAttemptsOnNotRegisteredPool;
    ULONG ResourcesRegistered;
#if defined(CV_IMAGE_CVINSTAL)
    ULONG PageAllocationFaults;
#endif
    ULONG m_ulCounter;
    PVOID m_pvFirstResourcePage;
    PVOID m_pvCurrentResourcePage;
#if defined(CV_IMAGE_CVNT)
    POOL_TYPE m_PoolType;
#else
    KSPIN_LOCK m_SpinLock;
#endif

private:
    // Where the two drivers' objects differ in layout: the pool of the pages, the lock of the chain
    // (none in CvNt) and the page fault count (CvInstal only).
    POOL_TYPE PagePool() const;
    PKSPIN_LOCK ChainLock();
    VOID CountPageFault();

    NTSTATUS AllocatePage(POOL_TYPE PoolType);
    PVOID GetAndRemoveLastResource();
    VOID KillPages();
    NTSTATUS AddResourceLocked(PVOID pvResource);
    NTSTATUS FreeResourceLocked(PVOID pvPool);
};

extern UCHAR __ResourceKiller__ON;
extern CCvResourceKiller* __CCv__Killer;

NTSTATUS ConstructResourceKiller();
VOID DestructResourceKiller();
VOID deleteall();

// The only way the drivers obtain and return pool memory. A failed allocation returns null.
void* operator new(size_t size, POOL_TYPE PoolType) noexcept;
void* operator new[](size_t size, POOL_TYPE PoolType) noexcept;
void operator delete(void* p) noexcept;
void operator delete[](void* p) noexcept;
void operator delete(void* p, size_t size) noexcept;
void operator delete[](void* p, size_t size) noexcept;

// The same allocation and release as the operators, for code outside the image (tests, the machine),
// whose own new and delete never reach the image's.
PVOID CvImageAllocate(POOL_TYPE PoolType, size_t size);
VOID CvImageFree(PVOID p);

#if defined(CV_IMAGE_CVINSTAL)
PVOID ExAllocate(POOL_TYPE PoolType, size_t size);
VOID ExFree(PVOID p);
#endif
