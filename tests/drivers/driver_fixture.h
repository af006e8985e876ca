// Runs test code as code of one driver image on a fresh kernel, with the tracked allocator set up the way
// the driver entry sets it up, and checks at the end that the image left no pool block behind.
#pragma once

#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"

#include "CvErrorLog.h"
#include "CvResourceKiller.h"

#include <gtest/gtest.h>

#include <string>

#if defined(CV_IMAGE_CVNT)
inline const char* const kImage = "CvNt";
#else
inline const char* const kImage = "CvInstal";
#endif

class DriverTest : public ::testing::Test {
protected:
    void SetUp() override { ASSERT_EQ(ConstructResourceKiller(), STATUS_SUCCESS); }

    void TearDown() override {
        deleteall();
        DestructResourceKiller();
        pDriverObject = nullptr;
        ulMinID = ulMaxID = 0;
        EXPECT_EQ(kernel.pool().liveCount(kImage), 0u) << kernel.pool().leakReport(kImage);
    }

    size_t Live() { return kernel.pool().liveCount(kImage); }

    nt::Kernel kernel;
    nt::KernelScope scope{kernel};
    nt::ImageScope image{kernel, kImage};
};
