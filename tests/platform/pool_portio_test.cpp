#include "kernel_fixture.h"

#include "hw/uart.h"

#include <cstring>

using PoolTest = KernelTest;
using PortIoTest = KernelTest;

TEST_F(PoolTest, BlocksAreAttributedToTheRunningImageAndReportedWhileLive) {
    void* system = ExAllocatePoolWithTag(NonPagedPool, 16, nt::makeTag("Sys "));
    void* driver;
    {
        nt::ImageScope image(kernel, "CvNt");
        driver = ExAllocatePoolWithTag(PagedPool, 40, nt::makeTag("Ddk "));
    }
    ASSERT_NE(system, nullptr);
    ASSERT_NE(driver, nullptr);
    EXPECT_EQ(kernel.pool().liveCount("CvNt"), 1u);
    EXPECT_EQ(kernel.pool().liveCount("system"), 1u);
    auto block = kernel.pool().block(driver);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size, 40u);
    EXPECT_EQ(nt::tagText(block->tag), "Ddk ");
    EXPECT_EQ(block->poolType, PagedPool);
    EXPECT_NE(kernel.pool().leakReport("CvNt").find("40 bytes, tag \"Ddk \", paged pool"), std::string::npos);
    ExFreePool(driver);
    ExFreePool(system);
    EXPECT_EQ(kernel.pool().liveCount(), 0u);
    EXPECT_EQ(kernel.pool().leakReport("CvNt"), "");
}

TEST_F(PoolTest, LowResourcesFailsTheNthAllocationOrATag) {
    kernel.pool().failNth(3);
    void* a = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
    void* b = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
    void* c = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
    void* d = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
    EXPECT_NE(a, nullptr);
    EXPECT_NE(b, nullptr);
    EXPECT_EQ(c, nullptr);
    EXPECT_NE(d, nullptr) << "only the n-th fails";

    kernel.pool().failNth(1, std::string("CvNt"));
    void* e = ExAllocatePoolWithTag(NonPagedPool, 8, 1); // the system's allocation is not counted
    void* f;
    {
        nt::ImageScope image(kernel, "CvNt");
        f = ExAllocatePoolWithTag(NonPagedPool, 8, 1);
    }
    EXPECT_NE(e, nullptr);
    EXPECT_EQ(f, nullptr);

    kernel.pool().failTag(nt::makeTag("CvKP"));
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, nt::makeTag("CvKP")), nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 8, nt::makeTag("CvKP")), nullptr);
    kernel.pool().clearFailures();
    void* g = ExAllocatePoolWithTag(NonPagedPool, 8, nt::makeTag("CvKP"));
    EXPECT_NE(g, nullptr);
    for (void* p : {a, b, d, e, g})
        ExFreePool(p);
    EXPECT_EQ(kernel.pool().failedCount(), 4u);
}

TEST_F(PoolTest, ThePoolIsBoundedAndAnOversizedRequestFailsCleanly) {
    const uint32_t tag = nt::makeTag("Big ");
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 0xFFFFFFFFu, tag), nullptr);
    void* most = ExAllocatePoolWithTag(NonPagedPool, nt::Pool::kCapacity - 64, tag);
    ASSERT_NE(most, nullptr);
    EXPECT_EQ(ExAllocatePoolWithTag(NonPagedPool, 65, tag), nullptr) << "past the pool's size";
    void* rest = ExAllocatePoolWithTag(NonPagedPool, 64, tag);
    EXPECT_NE(rest, nullptr);
    ExFreePool(most);
    ExFreePool(rest);
    EXPECT_EQ(kernel.pool().liveBytes(), 0u);
    EXPECT_EQ(kernel.pool().failedCount(), 2u);
}

TEST_F(PoolTest, VerifierStopsOnDoubleFreeAndWrongTagAndPagedPoolAtDispatch) {
    void* p = ExAllocatePoolWithTag(NonPagedPool, 8, nt::makeTag("Abcd"));
    EXPECT_THROW(ExFreePoolWithTag(p, nt::makeTag("Wxyz")), nt::VerifierStop);
    ExFreePool(p);
    EXPECT_THROW(ExFreePool(p), nt::VerifierStop);
    KSPIN_LOCK lock;
    KIRQL old;
    KeInitializeSpinLock(&lock);
    KeAcquireSpinLock(&lock, &old);
    EXPECT_EQ(KeGetCurrentIrql(), DISPATCH_LEVEL);
    EXPECT_THROW(ExAllocatePoolWithTag(PagedPool, 8, 1), nt::VerifierStop);
    EXPECT_THROW(KeAcquireSpinLock(&lock, &old), nt::VerifierStop);
    KeReleaseSpinLock(&lock, old);
    EXPECT_EQ(KeGetCurrentIrql(), PASSIVE_LEVEL);
    EXPECT_THROW(KeReleaseSpinLock(&lock, old), nt::VerifierStop);
}

TEST_F(PortIoTest, UndecodedAddressesFloatHighAndIgnoreWrites) {
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x2E8)), 0xFF);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x2EF), 0x12);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x2EF)), 0xFF);
    EXPECT_THROW(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x10000)), nt::VerifierStop);
}

TEST_F(PortIoTest, AccessesReachTheDecodingDeviceAndAreTraced) {
    hw::Uart uart(hw::UartKind::Uart16550, 1843200);
    kernel.ports().attach(0x3F8, 8, uart);
    EXPECT_THROW(kernel.ports().attach(0x3FC, 8, uart), std::invalid_argument);
    kernel.ports().setTracing(true);
    kernel.advance(5);
    WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x3FF), 0x5A);
    EXPECT_EQ(READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(0x3FF)), 0x5A);
    UCHAR bytes[3] = {1, 2, 3};
    WRITE_PORT_BUFFER_UCHAR(reinterpret_cast<PUCHAR>(0x3F8), bytes, 3);
    EXPECT_EQ(uart.takeTransmitted(), (std::vector<uint8_t>{1, 2, 3}));
    // A 16-bit write to an 8-bit device arrives as two byte writes, low byte first: LCR then MCR.
    WRITE_PORT_USHORT(reinterpret_cast<PUSHORT>(0x3FB), 0x0B03);
    EXPECT_EQ(uart.lcr(), 0x03);
    EXPECT_EQ(uart.mcr(), 0x0B);
    const auto& trace = kernel.ports().trace();
    ASSERT_EQ(trace.size(), 6u);
    EXPECT_EQ(trace[0].address, 0x3FF);
    EXPECT_EQ(trace[0].value, 0x5A);
    EXPECT_TRUE(trace[0].write);
    EXPECT_EQ(trace[0].time, 5u);
    EXPECT_FALSE(trace[1].write);
    EXPECT_EQ(trace[5].width, 2);
    EXPECT_EQ(trace[5].value, 0x0B03);
    EXPECT_EQ(kernel.ports().writes(), 5u);
    EXPECT_EQ(kernel.ports().reads(), 1u);
}

// Windows decode every address they cover, up to the top of the I/O space, and nothing beyond them;
// a detached window's addresses float high again and the space between windows stays empty.
TEST_F(PortIoTest, WindowsDecodeExactlyTheirAddressesUntilDetached) {
    hw::Uart low(hw::UartKind::Uart16550, 1843200), high(hw::UartKind::Uart16550, 1843200);
    kernel.ports().attach(0x2F8, 8, low);
    kernel.ports().attach(0xFFF8, 8, high);
    EXPECT_THROW(kernel.ports().attach(0xFFFC, 8, low), std::invalid_argument) << "past the top";
    EXPECT_THROW(kernel.ports().attach(0x2F0, 9, high), std::invalid_argument) << "overlaps by one";
    auto in = [](uint32_t address) { return READ_PORT_UCHAR(reinterpret_cast<PUCHAR>(uintptr_t(address))); };
    auto out = [](uint32_t address, UCHAR value) {
        WRITE_PORT_UCHAR(reinterpret_cast<PUCHAR>(uintptr_t(address)), value);
    };
    out(0x2FF, 0x11); // each window's scratch register, at its last address
    out(0xFFFF, 0x22);
    EXPECT_EQ(in(0x2FF), 0x11);
    EXPECT_EQ(in(0xFFFF), 0x22);
    EXPECT_EQ(low.scratch(), 0x11);
    EXPECT_EQ(high.scratch(), 0x22);
    EXPECT_EQ(in(0x2F7), 0xFF) << "just below the window";
    EXPECT_EQ(in(0x300), 0xFF) << "just above it, in the same page";
    kernel.ports().detach(0x2F8);
    EXPECT_EQ(in(0x2FF), 0xFF) << "detached";
    hw::Uart elsewhere(hw::UartKind::Uart16550, 1843200);
    kernel.ports().attach(0x3F8, 8, elsewhere);
    out(0x3FF, 0x33);
    EXPECT_EQ(in(0x2FF), 0xFF) << "the detached addresses still decode nothing";
    EXPECT_EQ(elsewhere.scratch(), 0x33);
    kernel.ports().detach(0x3F8);
    kernel.ports().attach(0x2F8, 8, high);
    EXPECT_EQ(in(0x2FF), 0x22) << "the new device answers there";
    kernel.ports().detach(0x1234); // nothing there: nothing happens
    EXPECT_EQ(in(0xFFFF), 0x22);
    kernel.ports().attach(0x0000, 8, elsewhere); // the bottom of the space decodes like any other place
    out(0x0007, 0x44);
    EXPECT_EQ(elsewhere.scratch(), 0x44);
    EXPECT_EQ(in(0x0008), 0xFF);
}
