#include "kernel_fixture.h"

#include "platform/nt/include/msgtable.h"

#include <cstring>

namespace {

const MESSAGE_TABLE_ENTRY kEntries[] = {
    {0x60070001, u"A card with the Device ID %2 and Vendor ID %3 was found on the PCI Bus.\r\n"},
    {0xE0070812, u"The driver did not load successfully.\r\n"},
    {0xA0070401, u"%1 says 100%% of %2.\r\n"},
};
const MESSAGE_TABLE kTable = {3, kEntries};

class EventLogTest : public KernelTest {
protected:
    EventLogTest() {
        RtlInitUnicodeString(&driver.DriverName, u"\\Driver\\CvNt");
        driver.Type = IO_TYPE_DRIVER;
        kernel.eventLog().registerMessageFile("CvNt.sys", kTable);
        kernel.registry().setString(
            "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\CvNt",
            "EventMessageFile",
            "%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\CvNt.sys", REG_EXPAND_SZ);
    }

    void Write(ULONG code, std::initializer_list<std::u16string> strings) {
        size_t size = 48;
        for (const auto& s : strings)
            size += (s.size() + 1) * 2;
        auto* packet = static_cast<PIO_ERROR_LOG_PACKET>(IoAllocateErrorLogEntry(&driver, (UCHAR)size));
        ASSERT_NE(packet, nullptr);
        packet->ErrorCode = (NTSTATUS)code;
        packet->NumberOfStrings = (USHORT)strings.size();
        packet->StringOffset = 40;
        auto* at = reinterpret_cast<UCHAR*>(packet) + 40;
        for (const auto& s : strings) {
            std::memcpy(at, s.c_str(), (s.size() + 1) * 2);
            at += (s.size() + 1) * 2;
        }
        IoWriteErrorLogEntry(packet);
    }

    DRIVER_OBJECT driver{};
};

} // namespace

TEST_F(EventLogTest, EntriesAreKeptAsWrittenAndRenderedFromTheCatalogue) {
    kernel.advance(12345678);
    Write(0x60070001, {u"9050", u"10B5"});
    ASSERT_EQ(kernel.eventLog().records().size(), 1u);
    const nt::EventRecord& record = kernel.eventLog().records()[0];
    EXPECT_EQ(record.packet.size(), 48u + 10 + 10);
    EXPECT_EQ(record.errorCode(), 0x60070001u);
    EXPECT_EQ(record.numberOfStrings(), 2);
    EXPECT_EQ(record.strings(), (std::vector<std::u16string>{u"9050", u"10B5"}));
    EXPECT_EQ(record.source, "CvNt");
    EXPECT_EQ(
        kernel.eventLog().render(record),
        "   1.2345678 s  Information  CvNt          1  A card with the Device ID 9050 and Vendor ID 10B5 was "
        "found on the PCI Bus.");
}

TEST_F(EventLogTest, TypeComesFromTheSeverityBitsAndPercentOneIsTheDriver) {
    Write(0xE0070812, {});
    Write(0xA0070401, {u"everything"});
    Write(0x6007FFFF, {u"x"});
    std::string all = kernel.eventLog().renderAll();
    EXPECT_NE(all.find("Error        CvNt       2066  The driver did not load successfully."),
              std::string::npos)
        << all;
    EXPECT_NE(all.find("Warning      CvNt       1025  CvNt says 100% of everything."), std::string::npos)
        << all;
    EXPECT_NE(
        all.find("The description for Event ID ( 65535 ) in Source ( CvNt ) cannot be found. The following "
                 "information is part of the event: x."),
        std::string::npos)
        << all;
}

TEST_F(EventLogTest, NoEntryIsGrantedAboveTheMaximumOrWhenRefused) {
    EXPECT_EQ(IoAllocateErrorLogEntry(&driver, ERROR_LOG_MAXIMUM_SIZE + 1), nullptr);
    EXPECT_EQ(IoAllocateErrorLogEntry(&driver, 40), nullptr) << "smaller than a packet";
    kernel.eventLog().setRefuseEntries(true);
    EXPECT_EQ(IoAllocateErrorLogEntry(&driver, 48), nullptr);
    kernel.eventLog().setRefuseEntries(false);
    void* entry = IoAllocateErrorLogEntry(&driver, ERROR_LOG_MAXIMUM_SIZE);
    ASSERT_NE(entry, nullptr);
    EXPECT_EQ(kernel.eventLog().outstandingEntries(), 1u);
    IoFreeErrorLogEntry(entry);
    EXPECT_EQ(kernel.eventLog().outstandingEntries(), 0u);
    EXPECT_TRUE(kernel.eventLog().records().empty());
    EXPECT_THROW(IoWriteErrorLogEntry(entry), nt::VerifierStop);
}

TEST(FormatMessage, FillsInsertsAndLeavesUnknownOnesAlone) {
    EXPECT_EQ(nt::formatMessage(u"%1 %2 %3 %10 %%\r\n", {u"a", u"b"}), u"a b %3 %10 %");
}
