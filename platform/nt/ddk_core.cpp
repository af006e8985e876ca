// The DDK's pool, spin lock, time, debugger, HAL port I/O and error-log calls over the current kernel.
#include "platform/nt/include/ntddk.h"
#include "platform/nt/kernel.h"

#include <cstdarg>
#include <cstdio>

using nt::Kernel;

PVOID ExAllocatePoolWithTag(POOL_TYPE PoolType, size_t NumberOfBytes, ULONG Tag) {
    Kernel& k = Kernel::require("ExAllocatePoolWithTag");
    k.checkpoint();
    if ((PoolType & 1) && k.irql() > APC_LEVEL)
        k.verifierStop("ExAllocatePoolWithTag", "paged pool requested at IRQL " + std::to_string(k.irql()));
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("ExAllocatePoolWithTag", "called above DISPATCH_LEVEL");
    return k.pool().allocate(PoolType, NumberOfBytes, Tag, k.currentImage());
}

PVOID ExAllocatePool(POOL_TYPE PoolType, size_t NumberOfBytes) {
    return ExAllocatePoolWithTag(PoolType, NumberOfBytes, nt::makeTag("None"));
}

VOID ExFreePool(PVOID P) {
    Kernel& k = Kernel::require("ExFreePool");
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("ExFreePool", "called above DISPATCH_LEVEL");
    k.pool().free(P, "ExFreePool");
}

VOID ExFreePoolWithTag(PVOID P, ULONG Tag) {
    Kernel& k = Kernel::require("ExFreePoolWithTag");
    auto block = k.pool().block(P);
    if (block && block->tag != Tag)
        k.verifierStop("ExFreePoolWithTag", "tag \"" + nt::tagText(Tag) + "\" does not match the block's \"" +
                                                nt::tagText(block->tag) + "\"");
    k.pool().free(P, "ExFreePoolWithTag");
}

VOID KeInitializeSpinLock(PKSPIN_LOCK SpinLock) {
    *SpinLock = 0;
}

VOID KeAcquireSpinLock(PKSPIN_LOCK SpinLock, PKIRQL OldIrql) {
    Kernel& k = Kernel::require("KeAcquireSpinLock");
    k.checkpoint();
    if (k.irql() > DISPATCH_LEVEL)
        k.verifierStop("KeAcquireSpinLock", "called above DISPATCH_LEVEL");
    if (*SpinLock)
        k.verifierStop("KeAcquireSpinLock", "the lock is already held (it would spin forever)");
    k.lockAcquired("KeAcquireSpinLock", SpinLock, Kernel::LockKind::Ordinary);
    *SpinLock = 1;
    *OldIrql = k.irql();
    k.setIrql(DISPATCH_LEVEL);
}

VOID KeReleaseSpinLock(PKSPIN_LOCK SpinLock, KIRQL NewIrql) {
    Kernel& k = Kernel::require("KeReleaseSpinLock");
    if (!*SpinLock)
        k.verifierStop("KeReleaseSpinLock", "the lock is not held");
    if (k.irql() != DISPATCH_LEVEL)
        k.verifierStop("KeReleaseSpinLock", "released at IRQL " + std::to_string(k.irql()));
    k.lockReleased("KeReleaseSpinLock", SpinLock);
    *SpinLock = 0;
    k.setIrql(NewIrql);
    k.checkpoint();
}

KIRQL KeGetCurrentIrql(void) {
    return Kernel::require("KeGetCurrentIrql").irql();
}

VOID KeQuerySystemTime(PLARGE_INTEGER CurrentTime) {
    Kernel& k = Kernel::require("KeQuerySystemTime");
    CurrentTime->QuadPart = static_cast<LONGLONG>(k.bootTime() + k.now());
}

VOID KeStallExecutionProcessor(ULONG MicroSeconds) {
    Kernel::require("KeStallExecutionProcessor").advance(static_cast<uint64_t>(MicroSeconds) * 10);
}

ULONG DbgPrint(PCSTR Format, ...) {
    char buffer[512];
    va_list args;
    va_start(args, Format);
    std::vsnprintf(buffer, sizeof buffer, Format, args);
    va_end(args);
    Kernel::require("DbgPrint").debugPrint(buffer);
    return STATUS_SUCCESS;
}

VOID RtlAssert(PVOID FailedAssertion, PVOID FileName, ULONG LineNumber, PCHAR Message) {
    std::string what = std::string(static_cast<const char*>(FailedAssertion)) + " at " +
                       static_cast<const char*>(FileName) + ":" + std::to_string(LineNumber);
    if (Message)
        what += std::string(" (") + Message + ")";
    Kernel::require("RtlAssert").verifierStop("ASSERT", what);
}

BOOLEAN NtNlsMbCodePageTag(void) {
    return Kernel::require("NLS_MB_CODE_PAGE_TAG").multiByteCodePage();
}

namespace {
[[noreturn, gnu::cold]] void outsideIoSpace(Kernel& k, uintptr_t address, const char* call) {
    k.verifierStop(call, "port address " + std::to_string(address) + " is outside the 16-bit I/O space");
}
inline uint32_t portAddress(Kernel& k, const void* port, const char* call) {
    auto address = reinterpret_cast<uintptr_t>(port);
    if (address > 0xFFFF) [[unlikely]]
        outsideIoSpace(k, address, call);
    return static_cast<uint32_t>(address);
}
} // namespace

UCHAR READ_PORT_UCHAR(PUCHAR Port) {
    Kernel& k = Kernel::require("READ_PORT_UCHAR");
    k.checkpoint();
    return k.ports().read8(portAddress(k, Port, "READ_PORT_UCHAR"));
}

VOID WRITE_PORT_UCHAR(PUCHAR Port, UCHAR Value) {
    Kernel& k = Kernel::require("WRITE_PORT_UCHAR");
    k.checkpoint();
    k.ports().write8(portAddress(k, Port, "WRITE_PORT_UCHAR"), Value);
}

VOID WRITE_PORT_BUFFER_UCHAR(PUCHAR Port, PUCHAR Buffer, ULONG Count) {
    Kernel& k = Kernel::require("WRITE_PORT_BUFFER_UCHAR");
    k.checkpoint();
    k.ports().writeRun8(portAddress(k, Port, "WRITE_PORT_BUFFER_UCHAR"), Buffer, Count);
}

USHORT READ_PORT_USHORT(PUSHORT Port) {
    Kernel& k = Kernel::require("READ_PORT_USHORT");
    k.checkpoint();
    return k.ports().read16(portAddress(k, Port, "READ_PORT_USHORT"));
}

VOID WRITE_PORT_USHORT(PUSHORT Port, USHORT Value) {
    Kernel& k = Kernel::require("WRITE_PORT_USHORT");
    k.checkpoint();
    k.ports().write16(portAddress(k, Port, "WRITE_PORT_USHORT"), Value);
}

PVOID IoAllocateErrorLogEntry(PVOID IoObject, UCHAR EntrySize) {
    return Kernel::require("IoAllocateErrorLogEntry").eventLog().allocateEntry(IoObject, EntrySize);
}

VOID IoWriteErrorLogEntry(PVOID ElEntry) {
    Kernel::require("IoWriteErrorLogEntry").eventLog().writeEntry(ElEntry);
}

VOID IoFreeErrorLogEntry(PVOID ElEntry) {
    Kernel::require("IoFreeErrorLogEntry").eventLog().freeEntry(ElEntry);
}
