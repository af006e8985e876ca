// The tracked allocator, built into whichever image this executable links.
#include "driver_fixture.h"

#include <memory>
#include <vector>

namespace {

PVOID* Page(PVOID pv) {
    return static_cast<PVOID*>(pv);
}

class ResourceKillerTest : public DriverTest {
protected:
    std::vector<PVOID> AllocateBlocks(int count) {
        std::vector<PVOID> blocks;
        for (int i = 0; i < count; ++i)
            blocks.push_back(CvImageAllocate(NonPagedPool, 8 + i));
        return blocks;
    }
    CCvResourceKiller& K() { return *__CCv__Killer; }
};

} // namespace

TEST_F(ResourceKillerTest, TheTwentyFirstBlockTakesASecondPageThatGoesAgainWithIt) {
    size_t before = Live(); // the object and its first page
    auto blocks = AllocateBlocks(20);
    EXPECT_EQ(K().m_ulCounter, 21u) << "the first page is full";
    EXPECT_EQ(K().m_pvCurrentResourcePage, K().m_pvFirstResourcePage);
    EXPECT_EQ(Live(), before + 20);

    PVOID twentyFirst = CvImageAllocate(NonPagedPool, 4);
    EXPECT_EQ(Live(), before + 22) << "the block and a new page";
    ASSERT_NE(K().m_pvCurrentResourcePage, K().m_pvFirstResourcePage);
    EXPECT_EQ(Page(K().m_pvFirstResourcePage)[0], K().m_pvCurrentResourcePage);
    EXPECT_EQ(Page(K().m_pvCurrentResourcePage)[1], twentyFirst);
    EXPECT_EQ(K().m_ulCounter, 2u);
    EXPECT_EQ(K().ResourcesRegistered, 21u);

    CvImageFree(twentyFirst);
    EXPECT_EQ(Live(), before + 20) << "the emptied page is released";
    EXPECT_EQ(K().m_pvCurrentResourcePage, K().m_pvFirstResourcePage);
    EXPECT_EQ(Page(K().m_pvFirstResourcePage)[0], nullptr);
    EXPECT_EQ(K().m_ulCounter, 21u);

    // A block from the middle: the last one moves into its slot.
    CvImageFree(blocks[4]);
    EXPECT_EQ(Page(K().m_pvFirstResourcePage)[5], blocks[19]);
    EXPECT_EQ(Page(K().m_pvFirstResourcePage)[20], nullptr);
    EXPECT_EQ(K().m_ulCounter, 20u);
    EXPECT_EQ(K().ResourcesRegistered, 19u);
}

TEST_F(ResourceKillerTest, TheFirstPageStaysWhenItsOnlyBlockGoes) {
    PVOID block = CvImageAllocate(NonPagedPool, 16);
    CvImageFree(block);
    EXPECT_EQ(K().m_ulCounter, 1u);
    ASSERT_NE(K().m_pvFirstResourcePage, nullptr);
    EXPECT_EQ(Page(K().m_pvFirstResourcePage)[1], nullptr);
    EXPECT_EQ(K().ResourcesRegistered, 0u);
}

TEST_F(ResourceKillerTest, DeleteallReleasesEverythingRecordedAndCanBeRepeated) {
    size_t before = Live();
    AllocateBlocks(45); // three pages
    EXPECT_EQ(Live(), before + 45 + 2);
    deleteall();
    EXPECT_EQ(Live(), before) << kernel.pool().leakReport(kImage);
    EXPECT_EQ(K().m_ulCounter, 1u);
    EXPECT_EQ(K().m_pvCurrentResourcePage, K().m_pvFirstResourcePage);
    EXPECT_EQ(K().ResourcesRegistered, 0u);
    for (int i = 0; i < CV_RESOURCE_PAGE_WORDS; ++i)
        EXPECT_EQ(Page(K().m_pvFirstResourcePage)[i], nullptr);
    deleteall();
    EXPECT_EQ(Live(), before);
}

TEST_F(ResourceKillerTest, CountersStopAtTheirMaximum) {
    K().ResourcesRegistered = 0xFFFFFFFF;
    PVOID block = CvImageAllocate(NonPagedPool, 8);
    EXPECT_EQ(K().ResourcesRegistered, 0xFFFFFFFFu);
    CvImageFree(block);
}

TEST_F(ResourceKillerTest, AllocationsOfTheRestOfTheProcessNeverPassThroughTheImage) {
    ULONG registered = K().ResourcesRegistered;
    size_t live = kernel.pool().liveCount();
    {
        std::vector<int> v(1000, 7);
        auto p = std::make_unique<std::string>(200, 'x');
    }
    EXPECT_EQ(K().ResourcesRegistered, registered);
    EXPECT_EQ(K().FreeAttemptsOnNotRegisteredPool, 0u);
    EXPECT_EQ(kernel.pool().liveCount(), live);
}

TEST_F(ResourceKillerTest, BlocksCarryTheImagesTags) {
    PVOID block = CvImageAllocate(PagedPool, 8);
    auto info = kernel.pool().block(block);
    ASSERT_TRUE(info);
    EXPECT_EQ(info->poolType, PagedPool);
    auto page = kernel.pool().block(K().m_pvFirstResourcePage);
    ASSERT_TRUE(page);
#if defined(CV_IMAGE_CVNT)
    EXPECT_EQ(nt::tagText(info->tag), "Ddk ");
    EXPECT_EQ(nt::tagText(page->tag), "Ddk ");
#else
    EXPECT_EQ(nt::tagText(info->tag), "CvKi");
    EXPECT_EQ(nt::tagText(page->tag), "CvKP");
    EXPECT_EQ(nt::tagText(kernel.pool().block(__CCv__Killer)->tag), "CvKO") << "made while recording was off";
#endif
    CvImageFree(block);
}

TEST_F(ResourceKillerTest, AFailedFurtherPageGivesRecordingUpAndLeavesNothingBehind) {
    AllocateBlocks(20);
    kernel.pool().failNth(2); // the block succeeds, the page for it does not
    PVOID block = CvImageAllocate(NonPagedPool, 8);
    EXPECT_EQ(block, nullptr);
    EXPECT_EQ(__ResourceKiller__ON, 0);
    EXPECT_EQ(K().m_ulCounter, 1u);
    EXPECT_EQ(K().ResourcesRegistered, 0u);
#if defined(CV_IMAGE_CVINSTAL)
    EXPECT_EQ(K().PageAllocationFaults, 1u);
    ASSERT_FALSE(kernel.debugOutput().empty());
    EXPECT_EQ(kernel.debugOutput().back(), "\n          Resource Killer - Resource Page allocation fault !!");
#endif
    // From now on allocations are plain ones, released when deleted.
    PVOID plain = CvImageAllocate(NonPagedPool, 8);
    ASSERT_NE(plain, nullptr);
    EXPECT_EQ(K().ResourcesRegistered, 0u);
    CvImageFree(plain);
    EXPECT_FALSE(kernel.pool().isLive(plain));
    // The twenty blocks recorded before are the test's to release: they were forgotten, not freed.
    EXPECT_EQ(Live(), 20u + 2);
    for (const auto& b : kernel.pool().live(kImage))
        if (b.address != __CCv__Killer && b.address != K().m_pvFirstResourcePage)
            CvImageFree(const_cast<void*>(b.address));
}

TEST(ResourceKillerConstruction, FailuresOfTheObjectOrItsFirstPage) {
    nt::Kernel kernel;
    nt::KernelScope scope(kernel);
    nt::ImageScope image(kernel, kImage);

    kernel.pool().failNth(1);
    EXPECT_EQ(ConstructResourceKiller(), STATUS_UNSUCCESSFUL) << "no memory for the object";
    EXPECT_EQ(__ResourceKiller__ON, 0);
    DestructResourceKiller();

    kernel.pool().failNth(2);
    EXPECT_EQ(ConstructResourceKiller(), STATUS_NO_MEMORY) << "no memory for the first page";
    EXPECT_EQ(__ResourceKiller__ON, 0);
    ASSERT_NE(__CCv__Killer, nullptr);
    EXPECT_EQ(__CCv__Killer->m_pvFirstResourcePage, nullptr);
    DestructResourceKiller();
    EXPECT_EQ(kernel.pool().liveCount(kImage), 0u) << kernel.pool().leakReport(kImage);

    ASSERT_EQ(ConstructResourceKiller(), STATUS_SUCCESS);
    DestructResourceKiller();
    EXPECT_EQ(kernel.pool().liveCount(kImage), 0u);
}

#if defined(CV_IMAGE_CVNT)
TEST_F(ResourceKillerTest, AnUnrecordedBlockIsNeitherReleasedNorFatalWhileRecording) {
    __ResourceKiller__ON = 0;
    PVOID untracked = CvImageAllocate(NonPagedPool, 8);
    __ResourceKiller__ON = 1;
    CvImageFree(untracked);
    EXPECT_TRUE(kernel.pool().isLive(untracked));
    EXPECT_EQ(K().FreeAttemptsOnNotRegisteredPool, 1u);
    EXPECT_EQ(K().FreeResource(untracked), STATUS_INVALID_PARAMETER);
    __ResourceKiller__ON = 0;
    CvImageFree(untracked); // with recording off it is released
    __ResourceKiller__ON = 1;
    EXPECT_FALSE(kernel.pool().isLive(untracked));
}
#else
TEST_F(ResourceKillerTest, AnUnrecordedBlockIsCountedReportedAndStillReleased) {
    __ResourceKiller__ON = 0;
    PVOID untracked = ExAllocate(NonPagedPool, 8);
    __ResourceKiller__ON = 1;
    EXPECT_EQ(nt::tagText(kernel.pool().block(untracked)->tag), "CvKO");
    ExFree(untracked);
    EXPECT_FALSE(kernel.pool().isLive(untracked));
    EXPECT_EQ(K().FreeAttemptsOnNotRegisteredPool, 1u);
    const auto& out = kernel.debugOutput();
    ASSERT_GE(out.size(), 2u);
    EXPECT_EQ(out[out.size() - 2], "\n          Resource Free Attempt on not registered pool.");
    EXPECT_EQ(out.back(), "\n          Number of attempts in total : 1\n");
}

TEST_F(ResourceKillerTest, DeleteallDoesNothingOnceRecordingIsOff) {
    PVOID block = ExAllocate(NonPagedPool, 8);
    __ResourceKiller__ON = 0;
    deleteall();
    EXPECT_TRUE(kernel.pool().isLive(block));
    __ResourceKiller__ON = 1;
    deleteall();
    EXPECT_FALSE(kernel.pool().isLive(block));
    EXPECT_NE(kernel.debugOutput().back().find("ResourcesRegistered at deleteall = 1"), std::string::npos);
}
#endif
