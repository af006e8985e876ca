// The one container of both drivers: a doubly linked list of fixed-size records, each allocated together
// with a link trailer, with a cursor on the current record. Registered pointer members and nested lists
// of a record are released with it, so one call tears down a whole tree of configuration records.
#pragma once

#include "CvImage.h"

// The link trailer stored right behind each record.
struct _Node {
    PVOID pvThisStruct;
    PVOID pvNextStruct;
    PVOID pvPreviousStruct;
};

#define CV_LLIST_POINTER_ENTRIES 10
#define CV_LLIST_LIST_PAIRS 10

class CCvLinkedList {
public:
    explicit CCvLinkedList(POOL_TYPE PoolType);
    ~CCvLinkedList() {}

    PVOID AllocateNode(ULONG ulStructSize);
    PVOID AllocateAndInsertNodeAtEnd(ULONG ulStructSize);
#if defined(CV_IMAGE_CVNT)
    PVOID AllocateAndInsertNodeAtStart(ULONG ulStructSize);
    PVOID AllocateAndInsertNode(ULONG ulStructSize, ULONG ulLocation);
    ULONG GetCurrentNodeIndex(ULONG ulStructSize);
#endif
    PVOID GetStartNode(ULONG ulStructSize);
    PVOID GetEndNode(ULONG ulStructSize);
    PVOID GetNextNode(ULONG ulStructSize);
    PVOID GetPreviousNode(ULONG ulStructSize);
    PVOID GetCurrentNode();
    VOID DeleteCurrentNode(ULONG ulStructSize);
    VOID DeleteAllNodes(ULONG ulStructSize);
    NTSTATUS StatusSuccess() {
        return STATUS_SUCCESS;
    }
    NTSTATUS StatusUnsuccessful() {
        return STATUS_UNSUCCESSFUL;
    }

    // Registers a member of the records at ulOffset: a pool block, or a nested list with records of
    // ulNestedStructSize. Offset 0 cannot be registered; a full table ignores further members.
    VOID RegisterPointerMember(ULONG ulOffset);
    VOID RegisterListMember(ULONG ulOffset, ULONG ulNestedStructSize);

    // The record after (before) pvStruct, or null: walks that leave the cursor alone, for lookups that
    // may run beside one another on a list nobody changes meanwhile.
    static PVOID NextOf(PVOID pvStruct, ULONG ulStructSize);
    static PVOID PreviousOf(PVOID pvStruct, ULONG ulStructSize);

    ULONG aulToDeallocatePointer[CV_LLIST_POINTER_ENTRIES];
    ULONG aulToDeallocateLlist[2 * CV_LLIST_LIST_PAIRS];
    PVOID m_pvStartStruct;
    PVOID m_pvEndStruct;
    PVOID m_pvCurrentStruct;
    POOL_TYPE m_PoolType;

private:
    VOID DeleteInternalPointers(PVOID pvStruct);
    VOID DeleteInternalLists(PVOID pvStruct);
    VOID ReleaseNode(PVOID pvStruct);
};

// The records of a list in order, for a range-based loop: `for (auto* p : CvRecords<DosName>(pList))`.
// The walk moves the list's cursor; a loop body that deletes or inserts nodes walks by hand instead.
template <typename TRecord>
class CvRecords {
public:
    explicit CvRecords(CCvLinkedList* pList) : m_pList(pList) {}
    class Cursor {
    public:
        Cursor(CCvLinkedList* pList, TRecord* pRecord) : m_pList(pList), m_pRecord(pRecord) {}
        TRecord* operator*() const { return m_pRecord; }
        Cursor& operator++() {
            m_pRecord = static_cast<TRecord*>(m_pList->GetNextNode(sizeof(TRecord)));
            return *this;
        }
        bool operator!=(const Cursor& Other) const { return m_pRecord != Other.m_pRecord; }

    private:
        CCvLinkedList* m_pList;
        TRecord* m_pRecord;
    };
    Cursor begin() const {
        return Cursor(m_pList, static_cast<TRecord*>(m_pList->GetStartNode(sizeof(TRecord))));
    }
    Cursor end() const { return Cursor(m_pList, NULL); }

private:
    CCvLinkedList* m_pList;
};
