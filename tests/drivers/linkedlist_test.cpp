#include "driver_fixture.h"

#include "CvLinkedList.h"

#include <cstring>
#include <new>
#include <vector>

namespace {

struct Record {
    ULONG ulTag;
    PVOID pvBlock;          // a registered pool block
    CCvLinkedList* pNested; // a registered nested list of Record
};
const ULONG kSize = sizeof(Record);

class LinkedListTest : public DriverTest {
protected:
    Record* Add(CCvLinkedList& list, ULONG tag) {
        auto* r = static_cast<Record*>(list.AllocateAndInsertNodeAtEnd(kSize));
        if (r)
            r->ulTag = tag;
        return r;
    }

    std::vector<ULONG> Tags(CCvLinkedList& list) {
        std::vector<ULONG> tags;
        for (auto* r = static_cast<Record*>(list.GetStartNode(kSize)); r;
             r = static_cast<Record*>(list.GetNextNode(kSize)))
            tags.push_back(r->ulTag);
        return tags;
    }

    // A list object made inside the image, as owners make nested lists.
    CCvLinkedList* NewList() {
        void* memory = CvImageAllocate(NonPagedPool, sizeof(CCvLinkedList));
        return memory ? new (memory) CCvLinkedList(NonPagedPool) : nullptr;
    }
};

} // namespace

TEST_F(LinkedListTest, NewRecordsAreZeroedAndCarryTheirTrailer) {
    CCvLinkedList list(NonPagedPool);
    auto* r = static_cast<Record*>(list.AllocateAndInsertNodeAtEnd(kSize));
    ASSERT_NE(r, nullptr);
    EXPECT_EQ(r->ulTag, 0u);
    EXPECT_EQ(r->pvBlock, nullptr);
    _Node node;
    std::memcpy(&node, reinterpret_cast<char*>(r) + kSize, sizeof node);
    EXPECT_EQ(node.pvThisStruct, r);
    EXPECT_EQ(kernel.pool().block(r)->size, kSize + sizeof(_Node));
    list.DeleteAllNodes(kSize);
}

TEST_F(LinkedListTest, CursorStopsAtTheEnds) {
    CCvLinkedList list(NonPagedPool);
    EXPECT_EQ(list.GetNextNode(kSize), nullptr) << "empty list";
    Add(list, 1);
    Add(list, 2);
    Record* last = Add(list, 3);
    EXPECT_EQ(list.GetNextNode(kSize), nullptr);
    EXPECT_EQ(list.GetCurrentNode(), last) << "the cursor stays on the last record";
    EXPECT_EQ(static_cast<Record*>(list.GetPreviousNode(kSize))->ulTag, 2u);
    list.GetStartNode(kSize);
    EXPECT_EQ(list.GetPreviousNode(kSize), nullptr);
    EXPECT_EQ(static_cast<Record*>(list.GetCurrentNode())->ulTag, 1u);
    list.DeleteAllNodes(kSize);
}

TEST_F(LinkedListTest, DeletingTheCurrentRecordMovesTheCursorSensibly) {
    CCvLinkedList list(NonPagedPool);
    for (ULONG t = 1; t <= 4; ++t)
        Add(list, t);
    list.GetEndNode(kSize);
    list.DeleteCurrentNode(kSize); // the last: the cursor goes to the new last
    EXPECT_EQ(static_cast<Record*>(list.GetCurrentNode())->ulTag, 3u);
    EXPECT_EQ(list.m_pvEndStruct, list.GetCurrentNode());
    list.GetStartNode(kSize);
    list.DeleteCurrentNode(kSize); // the first: to the new first
    EXPECT_EQ(static_cast<Record*>(list.GetCurrentNode())->ulTag, 2u);
    EXPECT_EQ(list.m_pvStartStruct, list.GetCurrentNode());
    list.GetNextNode(kSize);
    list.GetPreviousNode(kSize);
    EXPECT_EQ(Tags(list), (std::vector<ULONG>{2, 3}));
    list.DeleteCurrentNode(kSize);
    list.DeleteCurrentNode(kSize);
    EXPECT_EQ(list.m_pvStartStruct, nullptr);
    EXPECT_EQ(list.m_pvEndStruct, nullptr);
    EXPECT_EQ(list.GetCurrentNode(), nullptr);
    list.DeleteCurrentNode(kSize); // nothing to delete
    list.DeleteAllNodes(kSize);    // an empty list stays empty
}

TEST_F(LinkedListTest, RegisteredMembersGoWithTheirRecord) {
    CCvLinkedList list(NonPagedPool);
    list.RegisterPointerMember(offsetof(Record, pvBlock));
    list.RegisterListMember(offsetof(Record, pNested), kSize);
    EXPECT_EQ(list.aulToDeallocatePointer[0], offsetof(Record, pvBlock));
    EXPECT_EQ(list.aulToDeallocateLlist[0], offsetof(Record, pNested));
    EXPECT_EQ(list.aulToDeallocateLlist[1], kSize);

    Record* withBoth = Add(list, 1);
#if defined(CV_IMAGE_CVNT)
    withBoth->pvBlock =
        ExAllocatePoolWithTag(NonPagedPool, 10, CV_TAG_DDK); // CvNt's members are plain blocks
#else
    withBoth->pvBlock = ExAllocate(PagedPool, 10);
#endif
    withBoth->pNested = NewList();
    Record* inner = static_cast<Record*>(withBoth->pNested->AllocateAndInsertNodeAtEnd(kSize));
    inner->ulTag = 7;
    Add(list, 2); // null members release nothing
    size_t before = Live();
    list.GetStartNode(kSize);
    list.DeleteCurrentNode(kSize);
    EXPECT_EQ(Live(), before - 4) << "record, block, nested list object and its record";
    list.DeleteAllNodes(kSize);
}

TEST_F(LinkedListTest, RegistrationTablesIgnoreMembersPastTheirSize) {
    CCvLinkedList list(NonPagedPool);
    for (ULONG i = 1; i <= 12; ++i) {
        list.RegisterPointerMember(8 * i);
        list.RegisterListMember(8 * i, 4);
    }
    EXPECT_EQ(list.aulToDeallocatePointer[9], 80u);
    EXPECT_EQ(list.aulToDeallocateLlist[18], 80u);
}

#if defined(CV_IMAGE_CVNT)
TEST_F(LinkedListTest, PositionalInsertionBuildsSortedListsWithTheCurrentIndex) {
    CCvLinkedList list(NonPagedPool);
    EXPECT_EQ(list.AllocateAndInsertNode(kSize, 2), nullptr) << "an empty list has only position 1";
    static_cast<Record*>(list.AllocateAndInsertNode(kSize, 1))->ulTag = 10;
    static_cast<Record*>(list.AllocateAndInsertNodeAtStart(kSize))->ulTag = 5;
    static_cast<Record*>(list.AllocateAndInsertNode(kSize, 3))->ulTag = 20; // count + 1 appends
    EXPECT_EQ(list.m_pvEndStruct, list.GetCurrentNode());
    static_cast<Record*>(list.AllocateAndInsertNode(kSize, 3))->ulTag = 15;
    EXPECT_EQ(list.GetCurrentNodeIndex(kSize), 3u);
    EXPECT_EQ(static_cast<Record*>(list.GetCurrentNode())->ulTag, 5u)
        << "the index walk leaves the cursor first";
    size_t before = Live();
    EXPECT_EQ(list.AllocateAndInsertNode(kSize, 6), nullptr) << "count + 2 is out of range";
    EXPECT_EQ(Live(), before) << "and allocates nothing";
    EXPECT_EQ(list.AllocateAndInsertNode(kSize, 0), nullptr);
    EXPECT_EQ(Tags(list), (std::vector<ULONG>{5, 10, 15, 20}));
    // Walking backwards gives the reverse.
    std::vector<ULONG> reverse;
    for (auto* r = static_cast<Record*>(list.GetEndNode(kSize)); r;
         r = static_cast<Record*>(list.GetPreviousNode(kSize)))
        reverse.push_back(r->ulTag);
    EXPECT_EQ(reverse, (std::vector<ULONG>{20, 15, 10, 5}));
    list.DeleteAllNodes(kSize);
}
#endif

TEST_F(LinkedListTest, AFailedAllocationLeavesTheListAsItWas) {
    CCvLinkedList list(NonPagedPool);
    Add(list, 1);
    kernel.pool().failNth(1);
    EXPECT_EQ(Add(list, 2), nullptr);
    EXPECT_EQ(Tags(list), std::vector<ULONG>{1});
    list.DeleteAllNodes(kSize);
}
