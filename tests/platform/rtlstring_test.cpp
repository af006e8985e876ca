#include "kernel_fixture.h"

using RtlStringTest = KernelTest;

TEST_F(RtlStringTest, IntegerToUnicodeStringInEachBaseAndOnOverflow) {
    WCHAR buffer[12];
    UNICODE_STRING s{0, sizeof buffer, buffer};
    ASSERT_EQ(RtlIntegerToUnicodeString(0x3F8, 16, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"3F8");
    EXPECT_EQ(buffer[3], 0) << "terminated when there is room";
    ASSERT_EQ(RtlIntegerToUnicodeString(4294967295u, 0, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"4294967295");
    ASSERT_EQ(RtlIntegerToUnicodeString(5, 2, &s), STATUS_SUCCESS);
    EXPECT_EQ(Text(s), u"101");
    EXPECT_EQ(RtlIntegerToUnicodeString(5, 7, &s), STATUS_INVALID_PARAMETER);
    UNICODE_STRING small{0, 4, buffer};
    EXPECT_EQ(RtlIntegerToUnicodeString(123, 10, &small), STATUS_BUFFER_OVERFLOW);
}

TEST_F(RtlStringTest, UnicodeStringToIntegerStopsAtTheFirstNonDigit) {
    struct Case {
        const char16_t* text;
        ULONG base;
        ULONG value;
    } cases[] = {
        {u"123", 10, 123},          {u"  -345", 10, 0u - 345}, {u"xyz", 10, 0},  {u"+678abc", 10, 678},
        {u"+678abc", 16, 0x678ABC}, {u"0x1F", 0, 0x1F},        {u"0b101", 0, 5}, {u"COM3", 16, 0xC},
    };
    for (const auto& c : cases) {
        UNICODE_STRING s = Us(c.text);
        ULONG value = 77;
        EXPECT_EQ(RtlUnicodeStringToInteger(&s, c.base, &value), STATUS_SUCCESS);
        EXPECT_EQ(value, c.value);
    }
    UNICODE_STRING empty = Us(u"");
    ULONG value;
    EXPECT_EQ(RtlUnicodeStringToInteger(&empty, 10, &value), STATUS_INVALID_PARAMETER);
}

TEST_F(RtlStringTest, AnsiConversionsFollowTheCodePage) {
    const char latin[] = "Gr\xFC\xDF";
    ANSI_STRING a;
    RtlInitAnsiString(&a, latin);
    EXPECT_EQ(RtlAnsiStringToUnicodeSize(&a), 10u) << "single-byte: two bytes per character and a terminator";
    UNICODE_STRING w{};
    ASSERT_EQ(RtlAnsiStringToUnicodeString(&w, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(w), u"Gr\u00FC\u00DF");
    ANSI_STRING back{};
    ASSERT_EQ(RtlUnicodeStringToAnsiString(&back, &w, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(std::string(back.Buffer, back.Length), latin);
    RtlFreeAnsiString(&back);
    RtlFreeUnicodeString(&w);

    kernel.setMultiByteCodePage(true);
    const char utf8[] = "\xE4\xB8\xAD\xE6\x96\x87"; // two characters of three bytes each
    RtlInitAnsiString(&a, utf8);
    EXPECT_EQ(RtlAnsiStringToUnicodeSize(&a), 6u) << "multi-byte: the size follows the characters";
    WCHAR buffer[2];
    UNICODE_STRING tight{0, sizeof buffer, buffer};
    EXPECT_EQ(RtlAnsiStringToUnicodeString(&tight, &a, FALSE), STATUS_BUFFER_OVERFLOW);
    EXPECT_EQ(kernel.pool().liveCount(), 0u);
}

TEST_F(RtlStringTest, CompareUpcaseCopyAndAppend) {
    UNICODE_STRING a = Us(u"Serial"), b = Us(u"SERIAL");
    EXPECT_FALSE(RtlEqualUnicodeString(&a, &b, FALSE));
    EXPECT_TRUE(RtlEqualUnicodeString(&a, &b, TRUE));
    UNICODE_STRING up{};
    ASSERT_EQ(RtlUpcaseUnicodeString(&up, &a, TRUE), STATUS_SUCCESS);
    EXPECT_EQ(Text(up), u"SERIAL");
    RtlFreeUnicodeString(&up);

    WCHAR buffer[8];
    UNICODE_STRING dest{0, sizeof buffer, buffer};
    RtlCopyUnicodeString(&dest, &a);
    EXPECT_EQ(Text(dest), u"Serial");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"1"), STATUS_SUCCESS);
    EXPECT_EQ(Text(dest), u"Serial1");
    EXPECT_EQ(RtlAppendUnicodeToString(&dest, u"23"), STATUS_BUFFER_TOO_SMALL);
    EXPECT_EQ(Text(dest), u"Serial1");
}
