// Event logging as each driver does it: registration, the log-level window, entry sizes and strings,
// and the catalogue texts as an event viewer renders them.
#include "driver_fixture.h"

#if defined(CV_IMAGE_CVNT)
#include "cvntmsg.h"
#define TABLE CvNtMessageTable
#define FILE_NAME "CvNt.sys"
#define MESSAGES 103u
#else
#include "cvinstalmsg.h"
#define TABLE CvInstalMessageTable
#define FILE_NAME "CvInstal.sys"
#define MESSAGES 17u
#endif

#include <string>

namespace {

const std::string kServiceKey =
    std::string("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\") + kImage;
const std::string kSourceKey =
    std::string("\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\EventLog\\System\\") + kImage;

class ErrorLogTest : public DriverTest {
protected:
    void SetUp() override {
        DriverTest::SetUp();
        name = nt::toUtf16(std::string("\\Driver\\") + kImage);
        RtlInitUnicodeString(&driver.DriverName, name.c_str());
        driver.Type = IO_TYPE_DRIVER;
        path = nt::toUtf16(kServiceKey);
        RtlInitUnicodeString(&servicePath, path.c_str());
        kernel.registry().create(kServiceKey);
        kernel.eventLog().registerMessageFile(FILE_NAME, TABLE);
    }

    NTSTATUS Register(ULONG* level = nullptr) {
#if defined(CV_IMAGE_CVNT)
        NTSTATUS status = RegisterEventLogging(&driver, &servicePath);
        if (level)
            *level = 0;
#else
        ULONG ignored = 0;
        NTSTATUS status = RegisterEventLogging(&driver, &servicePath, level ? level : &ignored);
#endif
        return status;
    }

    const std::vector<nt::EventRecord>& Records() {
        return kernel.eventLog().records();
    }

    std::u16string name, path;
    UNICODE_STRING servicePath{};
    DRIVER_OBJECT driver{};
};

} // namespace

TEST_F(ErrorLogTest, RegistrationMakesTheDriverAnEventSource) {
    ASSERT_EQ(Register(), STATUS_SUCCESS);
    auto file = kernel.registry().value(kSourceKey, "EventMessageFile");
    ASSERT_TRUE(file);
    EXPECT_EQ(file->type, (ULONG)REG_EXPAND_SZ);
    std::string expected =
        std::string("%SystemRoot%\\System32\\IoLogMsg.dll;%SystemRoot%\\System32\\Drivers\\") + FILE_NAME;
    EXPECT_EQ(file->data.size(), 2 * expected.size()) << "the length leaves out the terminator";
    EXPECT_EQ(
        nt::toUtf8(std::u16string(reinterpret_cast<const char16_t*>(file->data.data()), expected.size())),
        expected);
    EXPECT_EQ(kernel.registry().dword(kSourceKey, "TypesSupported"), std::optional<uint32_t>(7));
    EXPECT_EQ(pDriverObject, &driver);
    EXPECT_EQ(kernel.registry().openHandles(), 0u);
}

TEST_F(ErrorLogTest, TheLogLevelSelectsWhichSeveritiesAreWritten) {
    struct Case {
        std::optional<uint32_t> level;
        size_t written; // of one information, one warning and one error message
    } cases[] = {{std::nullopt, 1}, {0, 0}, {1, 1}, {2, 2}, {3, 3}, {7, 1}};
    for (const auto& c : cases) {
        kernel.eventLog().clear();
        kernel.registry().removeValue(kServiceKey, "LogLevel");
        if (c.level)
            kernel.registry().setDword(kServiceKey, "LogLevel", *c.level);
        ASSERT_EQ(Register(), STATUS_SUCCESS);
        Log(0x60070007);
        Log(0xA0070403);
        Log(0xE0070812);
        EXPECT_EQ(Records().size(), c.written)
            << "LogLevel " << (c.level ? std::to_string(*c.level) : "missing");
    }
}

TEST_F(ErrorLogTest, AFilteredMessageCostsNoAllocation) {
    kernel.registry().setDword(kServiceKey, "LogLevel", 1);
    ASSERT_EQ(Register(), STATUS_SUCCESS);
    uint64_t before = kernel.pool().allocationCount();
    LogWithTwoNumbers(0x60070001, 1, 2, 16, 16);
    EXPECT_EQ(kernel.pool().allocationCount(), before);
    EXPECT_TRUE(Records().empty());
}

TEST_F(ErrorLogTest, EntriesCarryTheirNumbersAndStringsFromByte40) {
    kernel.registry().setDword(kServiceKey, "LogLevel", 3);
    ASSERT_EQ(Register(), STATUS_SUCCESS);
    Log(0xE0070812);
    LogWithNumber(0x6007000A, 0x3F8, 16);
    LogWithNumber(0x60070008, 5, 10);
    LogWithString(0x60070001, u"abc");
    LogWithTwoNumbers(0x6007000B, 17, 0x1A, 10, 16);
    ASSERT_EQ(Records().size(), 5u);
    EXPECT_EQ(Records()[0].packet.size(), 48u);
    EXPECT_EQ(Records()[0].numberOfStrings(), 0);
    EXPECT_EQ(Records()[1].strings(), std::vector<std::u16string>{u"3F8"});
    EXPECT_EQ(Records()[1].stringOffset(), 40);
    EXPECT_EQ(Records()[1].packet.size(), 50u + 8) << "one string: 50 + its length with terminator";
    EXPECT_EQ(Records()[2].strings(), std::vector<std::u16string>{u"5"});
    EXPECT_EQ(Records()[3].packet.size(), 58u) << "a string of three characters asks for 58 bytes";
    EXPECT_EQ(Records()[4].strings(), (std::vector<std::u16string>{u"17", u"1A"}));
    EXPECT_EQ(Records()[4].packet.size(), 52u + 6 + 6);
    for (const auto& r : Records())
        EXPECT_EQ(r.source, kImage);
}

TEST_F(ErrorLogTest, NothingIsWrittenWhenNoEntryIsGrantedOrTheStringsCannotBeBuilt) {
    kernel.registry().setDword(kServiceKey, "LogLevel", 3);
    ASSERT_EQ(Register(), STATUS_SUCCESS);
    kernel.eventLog().setRefuseEntries(true);
    LogWithNumber(0x6007000A, 1, 16);
    kernel.eventLog().setRefuseEntries(false);
    kernel.pool().failNth(1);
    LogWithNumber(0x6007000A, 1, 16);
    EXPECT_TRUE(Records().empty());
}

TEST_F(ErrorLogTest, AStringTooLongForAnEntryKeepsItsEnd) {
    kernel.registry().setDword(kServiceKey, "LogLevel", 3);
    ASSERT_EQ(Register(), STATUS_SUCCESS);
    // 48 + 104 + 2 bytes: more than the I/O manager grants; the entry keeps the string's end.
    std::u16string path = u"\\Registry\\Machine\\System\\CurrentControlSet\\Services\\CvNt\\CurrentConfig"
                          u"\\Bus5\\Card1";
    LogWithString(0x60070001, path.c_str());
    ASSERT_EQ(Records().size(), 1u);
    ASSERT_EQ(Records()[0].strings().size(), 1u);
    std::u16string kept = Records()[0].strings()[0];
    EXPECT_EQ(kept.substr(0, 3), u"...");
    EXPECT_EQ(path.substr(path.size() - (kept.size() - 3)), kept.substr(3)) << "the path's end";
    EXPECT_LE(Records()[0].packet.size(), size_t{ERROR_LOG_MAXIMUM_SIZE});
    EXPECT_GE(Records()[0].packet.size(), size_t{ERROR_LOG_MAXIMUM_SIZE} - 2) << "as much as fits";
}

TEST_F(ErrorLogTest, RegistrationFailsSeverelyWhenTheServiceKeyCannotBeRead) {
    kernel.registry().removeTree(kServiceKey);
    EXPECT_EQ(Register(), CV_STATUS_SEVERE);
    kernel.registry().create(kServiceKey);
    kernel.pool().failNth(1);
    EXPECT_EQ(Register(), CV_STATUS_SEVERE) << "no value buffer";
}

TEST_F(ErrorLogTest, TheCatalogueIsCompleteAndRendersWithItsInserts) {
    EXPECT_EQ(TABLE.Count, MESSAGES);
    for (ULONG i = 0; i < TABLE.Count; ++i) {
        std::u16string text = TABLE.Entries[i].Text;
        EXPECT_EQ(text.substr(text.size() - 2), u"\r\n");
        ULONG id = TABLE.Entries[i].Id;
        EXPECT_EQ(id & 0x2FFF0000u, 0x20070000u) << std::hex << id << ": customer bit, facility 7";
    }
    kernel.registry().setDword(kServiceKey, "LogLevel", 3);
    ASSERT_EQ(Register(), STATUS_SUCCESS);
#if defined(CV_IMAGE_CVNT)
    LogWithTwoNumbers(CVNT_PCI_CARD_FOUND, 0x9050, 0x10B5, 16, 16);
    LogWithThreeNumbers(CVNT_INTERRUPT_ALLOCATED, 0x33, 11, 0x9050, 16, 10, 16);
    LogWithTwoStrings(CVNT_NCOM_ASSIGN_ERROR, u"7", u"9050");
    std::string all = kernel.eventLog().renderAll();
    EXPECT_NE(
        all.find(
            "Information  CvNt          1  A card with the Device ID 9050 and Vendor ID 10B5 was found on "
            "the PCI Bus."),
        std::string::npos)
        << all;
    EXPECT_NE(
        all.find("The Interrupt Vector 33 and the Interrupt Level 11 was allocated for the card with the "
                 "Device ID 9050."),
        std::string::npos)
        << all;
    EXPECT_NE(
        all.find(
            "Error        CvNt       2068  An error occured while assigning the nCom COM port number 7 to "
            "the device with the Device ID 9050. Check the registry structure under the CvNt key."),
        std::string::npos)
        << all;
#else
    LogWithTwoNumbers(CVINSTAL_WARNING_MESSAGE_1, 1, 2, 10, 10);
    std::string all = kernel.eventLog().renderAll();
    EXPECT_NE(all.find("Warning      CvInstal   1025  Quorvel - Warning Message 1 (CvInstal) (1) (2)."),
              std::string::npos)
        << all;
#endif
}

#if defined(CV_IMAGE_CVINSTAL)
TEST_F(ErrorLogTest, CvInstalWritesAMissingLevelBackAndRefreshesWithoutWriting) {
    ULONG level = 99;
    ASSERT_EQ(Register(&level), STATUS_SUCCESS);
    EXPECT_EQ(level, 1u);
    EXPECT_EQ(kernel.registry().dword(kServiceKey, "LogLevel"), std::optional<uint32_t>(1));

    kernel.registry().setDword(kServiceKey, "LogLevel", 3);
    ASSERT_EQ(RefreshEventLogging(&servicePath, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 3u);
    EXPECT_EQ(ulMinID, 1u);
    kernel.registry().removeValue(kServiceKey, "LogLevel");
    ASSERT_EQ(RefreshEventLogging(&servicePath, &level), STATUS_SUCCESS);
    EXPECT_EQ(level, 1u);
    EXPECT_FALSE(kernel.registry().value(kServiceKey, "LogLevel")) << "a refresh does not create the value";
    kernel.pool().failNth(1);
    EXPECT_EQ(RefreshEventLogging(&servicePath, &level), CV_STATUS_SEVERE);
    EXPECT_EQ(ulMinID, 0x800u) << "the window is unchanged on failure";
}
#endif
