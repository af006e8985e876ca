#include "CvLinkedList.h"

#include "CvResourceKiller.h"

namespace {

// The trailer sits right behind a record of any size, so it is read and written bytewise.
inline _Node ReadNode(PVOID pvStruct, ULONG ulStructSize) {
    _Node node;
    RtlCopyMemory(&node, static_cast<PUCHAR>(pvStruct) + ulStructSize, sizeof node);
    return node;
}

inline VOID WriteNode(PVOID pvStruct, ULONG ulStructSize, const _Node& node) {
    RtlCopyMemory(static_cast<PUCHAR>(pvStruct) + ulStructSize, &node, sizeof node);
}

inline PVOID Next(PVOID pvStruct, ULONG ulStructSize) {
    return ReadNode(pvStruct, ulStructSize).pvNextStruct;
}
inline PVOID Previous(PVOID pvStruct, ULONG ulStructSize) {
    return ReadNode(pvStruct, ulStructSize).pvPreviousStruct;
}

inline VOID SetNext(PVOID pvStruct, ULONG ulStructSize, PVOID pvNext) {
    _Node node = ReadNode(pvStruct, ulStructSize);
    node.pvNextStruct = pvNext;
    WriteNode(pvStruct, ulStructSize, node);
}

inline VOID SetPrevious(PVOID pvStruct, ULONG ulStructSize, PVOID pvPrevious) {
    _Node node = ReadNode(pvStruct, ulStructSize);
    node.pvPreviousStruct = pvPrevious;
    WriteNode(pvStruct, ulStructSize, node);
}

inline PVOID ReadPointer(PVOID pvStruct, ULONG ulOffset) {
    PVOID pv;
    RtlCopyMemory(&pv, static_cast<PUCHAR>(pvStruct) + ulOffset, sizeof pv);
    return pv;
}

inline VOID WritePointer(PVOID pvStruct, ULONG ulOffset, PVOID pv) {
    RtlCopyMemory(static_cast<PUCHAR>(pvStruct) + ulOffset, &pv, sizeof pv);
}

// Records and pointer members: CvInstal goes through its tracked allocator, CvNt straight to the pool.
inline PVOID AllocateBlock(POOL_TYPE PoolType, size_t size) {
    return CvImage.bTrackedBuffers ? CvImageAllocate(PoolType, size)
                                   : ExAllocatePoolWithTag(PoolType, size, CV_TAG_DDK);
}

inline VOID ReleaseBlock(PVOID pv) {
    if (CvImage.bTrackedBuffers)
        CvImageFree(pv);
    else
        ExFreePool(pv);
}

} // namespace

CCvLinkedList::CCvLinkedList(POOL_TYPE PoolType) {
    RtlZeroMemory(aulToDeallocatePointer, sizeof aulToDeallocatePointer);
    RtlZeroMemory(aulToDeallocateLlist, sizeof aulToDeallocateLlist);
    m_pvStartStruct = NULL;
    m_pvEndStruct = NULL;
    m_pvCurrentStruct = NULL;
    m_PoolType = PoolType;
}

PVOID CCvLinkedList::NextOf(PVOID pvStruct, ULONG ulStructSize) {
    return pvStruct ? Next(pvStruct, ulStructSize) : NULL;
}

PVOID CCvLinkedList::PreviousOf(PVOID pvStruct, ULONG ulStructSize) {
    return pvStruct ? Previous(pvStruct, ulStructSize) : NULL;
}

VOID CCvLinkedList::RegisterPointerMember(ULONG ulOffset) {
    for (ULONG i = 0; i < CV_LLIST_POINTER_ENTRIES; i++) {
        if (aulToDeallocatePointer[i] == 0) {
            aulToDeallocatePointer[i] = ulOffset;
            return;
        }
    }
}

VOID CCvLinkedList::RegisterListMember(ULONG ulOffset, ULONG ulNestedStructSize) {
    for (ULONG i = 0; i < 2 * CV_LLIST_LIST_PAIRS; i += 2) {
        if (aulToDeallocateLlist[i] == 0) {
            aulToDeallocateLlist[i] = ulOffset;
            aulToDeallocateLlist[i + 1] = ulNestedStructSize;
            return;
        }
    }
}

PVOID CCvLinkedList::AllocateNode(ULONG ulStructSize) {
    size_t size = static_cast<size_t>(ulStructSize) + sizeof(_Node);
    PVOID pvStruct = AllocateBlock(m_PoolType, size);
    if (!pvStruct)
        return NULL;
    RtlZeroMemory(pvStruct, size);
    _Node node = {pvStruct, NULL, NULL};
    WriteNode(pvStruct, ulStructSize, node);
    return pvStruct;
}

PVOID CCvLinkedList::AllocateAndInsertNodeAtEnd(ULONG ulStructSize) {
    PVOID pvNew = AllocateNode(ulStructSize);
    if (!pvNew)
        return NULL;
    PVOID pvEnd = GetEndNode(ulStructSize);
    if (pvEnd) {
        SetNext(pvEnd, ulStructSize, pvNew);
        SetPrevious(pvNew, ulStructSize, pvEnd);
    } else {
        m_pvStartStruct = pvNew;
    }
    m_pvEndStruct = pvNew;
    m_pvCurrentStruct = pvNew;
    return pvNew;
}

#if defined(CV_IMAGE_CVNT)
PVOID CCvLinkedList::AllocateAndInsertNodeAtStart(ULONG ulStructSize) {
    PVOID pvNew = AllocateNode(ulStructSize);
    if (!pvNew)
        return NULL;
    PVOID pvStart = GetStartNode(ulStructSize);
    if (pvStart) {
        SetPrevious(pvStart, ulStructSize, pvNew);
        SetNext(pvNew, ulStructSize, pvStart);
    } else {
        m_pvEndStruct = pvNew;
    }
    m_pvStartStruct = pvNew;
    m_pvCurrentStruct = pvNew;
    return pvNew;
}

PVOID CCvLinkedList::AllocateAndInsertNode(ULONG ulStructSize, ULONG ulLocation) {
    if (ulLocation == 0)
        return NULL;
    if (ulLocation == 1)
        return AllocateAndInsertNodeAtStart(ulStructSize);
    PVOID pvBefore = GetStartNode(ulStructSize);
    if (!pvBefore)
        return NULL;
    for (ULONG i = 0; i < ulLocation - 2; i++) {
        pvBefore = Next(pvBefore, ulStructSize);
        if (!pvBefore)
            return NULL;
    }
    PVOID pvNew = AllocateNode(ulStructSize);
    if (!pvNew)
        return NULL;
    PVOID pvAfter = Next(pvBefore, ulStructSize);
    SetPrevious(pvNew, ulStructSize, pvBefore);
    SetNext(pvNew, ulStructSize, pvAfter);
    SetNext(pvBefore, ulStructSize, pvNew);
    if (pvAfter)
        SetPrevious(pvAfter, ulStructSize, pvNew);
    else
        m_pvEndStruct = pvNew;
    m_pvCurrentStruct = pvNew;
    return pvNew;
}

ULONG CCvLinkedList::GetCurrentNodeIndex(ULONG ulStructSize) {
    PVOID pvWanted = m_pvCurrentStruct;
    if (!pvWanted)
        return 0;
    ULONG ulIndex = 1;
    for (PVOID pv = GetStartNode(ulStructSize); pv; pv = Next(pv, ulStructSize), ulIndex++)
        if (pv == pvWanted)
            return ulIndex;
    return 0;
}
#endif

PVOID CCvLinkedList::GetStartNode(ULONG) {
    m_pvCurrentStruct = m_pvStartStruct;
    return m_pvCurrentStruct;
}

PVOID CCvLinkedList::GetEndNode(ULONG) {
    m_pvCurrentStruct = m_pvEndStruct;
    return m_pvCurrentStruct;
}

PVOID CCvLinkedList::GetNextNode(ULONG ulStructSize) {
    if (!m_pvCurrentStruct)
        return NULL;
    PVOID pvNext = Next(m_pvCurrentStruct, ulStructSize);
    if (!pvNext)
        return NULL;
    m_pvCurrentStruct = pvNext;
    return pvNext;
}

PVOID CCvLinkedList::GetPreviousNode(ULONG ulStructSize) {
    if (!m_pvCurrentStruct)
        return NULL;
    PVOID pvPrevious = Previous(m_pvCurrentStruct, ulStructSize);
    if (!pvPrevious)
        return NULL;
    m_pvCurrentStruct = pvPrevious;
    return pvPrevious;
}

PVOID CCvLinkedList::GetCurrentNode() {
    return m_pvCurrentStruct;
}

VOID CCvLinkedList::DeleteCurrentNode(ULONG ulStructSize) {
    PVOID pvStruct = m_pvCurrentStruct;
    if (!pvStruct)
        return;
    PVOID pvNext = Next(pvStruct, ulStructSize);
    PVOID pvPrevious = Previous(pvStruct, ulStructSize);
    if (pvNext)
        SetPrevious(pvNext, ulStructSize, pvPrevious);
    if (pvPrevious)
        SetNext(pvPrevious, ulStructSize, pvNext);
    if (!pvNext && !pvPrevious) {
        m_pvStartStruct = m_pvEndStruct = m_pvCurrentStruct = NULL;
    } else if (!pvNext) {
        m_pvEndStruct = pvPrevious;
        m_pvCurrentStruct = pvPrevious;
    } else {
        m_pvCurrentStruct = pvNext;
        if (!pvPrevious)
            m_pvStartStruct = pvNext;
    }
    ReleaseNode(pvStruct);
}

VOID CCvLinkedList::DeleteAllNodes(ULONG ulStructSize) {
    PVOID pvStruct = m_pvStartStruct;
    if (!pvStruct)
        return;
    while (pvStruct) {
        PVOID pvNext = Next(pvStruct, ulStructSize);
        ReleaseNode(pvStruct);
        pvStruct = pvNext;
    }
    m_pvStartStruct = m_pvEndStruct = m_pvCurrentStruct = NULL;
}

VOID CCvLinkedList::ReleaseNode(PVOID pvStruct) {
    DeleteInternalPointers(pvStruct);
    DeleteInternalLists(pvStruct);
    ReleaseBlock(pvStruct);
}

VOID CCvLinkedList::DeleteInternalPointers(PVOID pvStruct) {
    for (ULONG i = 0; i < CV_LLIST_POINTER_ENTRIES && aulToDeallocatePointer[i]; i++) {
        PVOID pv = ReadPointer(pvStruct, aulToDeallocatePointer[i]);
        if (!pv)
            continue;
        ReleaseBlock(pv);
        if (CvImage.bZeroesReleasedSlots)
            WritePointer(pvStruct, aulToDeallocatePointer[i], NULL);
    }
}

VOID CCvLinkedList::DeleteInternalLists(PVOID pvStruct) {
    for (ULONG i = 0; i < 2 * CV_LLIST_LIST_PAIRS && aulToDeallocateLlist[i]; i += 2) {
        auto* pList = static_cast<CCvLinkedList*>(ReadPointer(pvStruct, aulToDeallocateLlist[i]));
        if (!pList)
            continue;
        pList->DeleteAllNodes(aulToDeallocateLlist[i + 1]);
        delete pList;
        WritePointer(pvStruct, aulToDeallocateLlist[i], NULL);
    }
}
