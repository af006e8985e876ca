#include "driver_fixture.h"

#include "CvUnicode.h"

#include <cstring>
#include <string>

namespace {

std::u16string Wide(CCvUnicode& s) {
    PWSTR text = s;
    return text ? std::u16string(text) : std::u16string(u"<none>");
}

std::string Ansi(const CCvUnicode& s) {
    return s.m_AnsiString.Buffer ? std::string(s.m_AnsiString.Buffer, s.m_AnsiString.Length) : "<none>";
}

using UnicodeTest = DriverTest;

} // namespace

TEST_F(UnicodeTest, NumbersInBase10And16AndAnyOtherBaseAs16) {
    CCvUnicode hex(PagedPool, 255, 16), dec(PagedPool, 255, 10), oct(PagedPool, 255, 8);
    EXPECT_EQ(Wide(hex), u"FF");
    EXPECT_EQ(Wide(dec), u"255");
    EXPECT_EQ(Wide(oct), u"FF");
    for (CCvUnicode* s : {&hex, &dec, &oct}) {
        EXPECT_EQ(s->Status, STATUS_SUCCESS);
        EXPECT_EQ(static_cast<ULONG>(*s), 255u);
        EXPECT_EQ(s->Status, STATUS_SUCCESS);
    }
    EXPECT_EQ(dec.m_uniUnicodeString.MaximumLength, 22);
    EXPECT_EQ(hex.m_uniUnicodeString.MaximumLength, 18);
    EXPECT_EQ(Ansi(dec), "255");
}

TEST_F(UnicodeTest, TheNumberValueNeedsTheWholeTextInHex) {
    CCvUnicode hex(PagedPool, u"1A"), name(PagedPool, u"COM3"), big(PagedPool, u"123456789");
    EXPECT_EQ(static_cast<ULONG>(hex), 0x1Au);
    EXPECT_TRUE(hex.m_bVariableSet);
    EXPECT_EQ(static_cast<ULONG>(name), 0u);
    EXPECT_EQ(name.Status, STATUS_NOT_FOUND);
    EXPECT_FALSE(big.m_bVariableSet) << "more than 32 bits";
}

TEST_F(UnicodeTest, AppendAndPrefixEveryKind) {
    CCvUnicode s(PagedPool, u"Card");
    EXPECT_EQ(s.Append(3, 10), STATUS_SUCCESS);
    EXPECT_EQ(Wide(s), u"Card3");
    EXPECT_EQ(s.Append(static_cast<PCWSTR>(nullptr)), STATUS_SUCCESS);
    EXPECT_EQ(Wide(s), u"Card3");
    UNICODE_STRING counted;
    RtlInitUnicodeString(&counted, u"\\ComPort");
    EXPECT_EQ(s.Append(&counted), STATUS_SUCCESS);
    EXPECT_EQ(s.Prefix(u"Parameters\\"), STATUS_SUCCESS);
    EXPECT_EQ(Wide(s), u"Parameters\\Card3\\ComPort");
    EXPECT_EQ(Ansi(s), "Parameters\\Card3\\ComPort");
    EXPECT_EQ(s.UnicodeLength(), 2 * 24);
    EXPECT_EQ(s.Concatenate(FALSE, 7, u"x", 0), STATUS_INVALID_PARAMETER);
    EXPECT_EQ(s.Status, STATUS_INVALID_PARAMETER);

    CCvUnicode number(PagedPool, u"1");
    number.Prefix(0xA, 16);
    EXPECT_EQ(static_cast<ULONG>(number), 0xA1u) << "the combined text is read as hex";
#if defined(CV_IMAGE_CVNT)
    CCvUnicode ansi(PagedPool, u"COM");
    EXPECT_EQ(ansi.Append("10"), STATUS_SUCCESS);
    EXPECT_EQ(Wide(ansi), u"COM10");
    ansi = 0x3F8u;
    EXPECT_EQ(Wide(ansi), u"3F8");
#else
    CCvUnicode other(PagedPool, u"Port");
    s = u"Com";
    EXPECT_EQ(s.Append(&other), STATUS_SUCCESS);
    EXPECT_EQ(s.Append(&s), STATUS_SUCCESS) << "appending an object to itself";
    EXPECT_EQ(Wide(s), u"ComPortComPort");
#endif
}

TEST_F(UnicodeTest, ConversionsWithoutTextReportNotFound) {
    CCvUnicode empty(PagedPool);
    EXPECT_EQ(empty.Status, STATUS_SUCCESS);
    EXPECT_EQ(static_cast<PWSTR>(empty), nullptr);
    EXPECT_EQ(empty.Status, STATUS_NOT_FOUND);
    EXPECT_EQ(static_cast<PUNICODE_STRING>(empty), nullptr);
    PWSTR copy = reinterpret_cast<PWSTR>(1);
    EXPECT_EQ(empty.ObtainCopy(copy), STATUS_NOT_FOUND);
    EXPECT_EQ(copy, nullptr);
}

TEST_F(UnicodeTest, CopiesArePlainPoolBlocksForTheCaller) {
    CCvUnicode s(PagedPool, u"COM5");
    PWSTR copy = nullptr;
    ASSERT_EQ(s.ObtainCopy(copy), STATUS_SUCCESS);
    EXPECT_EQ(std::u16string(copy), u"COM5");
    auto block = kernel.pool().block(copy);
    ASSERT_TRUE(block);
    EXPECT_EQ(block->size, 10u);
#if defined(CV_IMAGE_CVNT)
    EXPECT_EQ(nt::tagText(block->tag), "Ddk ");
#else
    EXPECT_EQ(nt::tagText(block->tag), "CvOC");
#endif
    ExFreePool(copy);
    UNICODE_STRING counted;
    ASSERT_EQ(s.ObtainCopy(counted), STATUS_SUCCESS);
    EXPECT_EQ(counted.Length, 8);
    EXPECT_EQ(counted.MaximumLength, 10);
    ExFreePool(counted.Buffer);
}

TEST_F(UnicodeTest, AssignmentReplacesTheTextAndSurvivesSelfAssignment) {
    CCvUnicode s(PagedPool, u"first");
    CCvUnicode t(PagedPool, u"second");
    size_t live = Live();
    s = t;
    EXPECT_EQ(Wide(s), u"second");
    s = s;
    EXPECT_EQ(Wide(s), u"second");
    s = s.m_uniUnicodeString.Buffer; // from its own buffer
    EXPECT_EQ(Wide(s), u"second");
    EXPECT_EQ(Live(), live) << "old buffers released";
}

TEST_F(UnicodeTest, FailuresLeaveTheOldTextOrAnEmptyObject) {
    CCvUnicode s(PagedPool, u"Keep");
    for (int n = 1; n <= 3; ++n) {
        kernel.pool().failNth(n);
        EXPECT_EQ(s.Append(u"Lost"), STATUS_NO_MEMORY) << "allocation " << n;
        kernel.pool().clearFailures();
        EXPECT_EQ(Wide(s), u"Keep");
        EXPECT_EQ(Ansi(s), "Keep");
    }
    kernel.pool().failNth(2); // the ANSI copy
    CCvUnicode failed(PagedPool, u"text");
    EXPECT_EQ(failed.Status, STATUS_NO_MEMORY);
    EXPECT_EQ(failed.m_uniUnicodeString.Buffer, nullptr);
    EXPECT_EQ(failed.m_AnsiString.Buffer, nullptr);
}

TEST_F(UnicodeTest, AnsiCopyFollowsTheCodePage) {
    CCvUnicode s(PagedPool, u"Gr\u00FC\u00DF");
    EXPECT_EQ(Ansi(s), "Gr\xFC\xDF");
    kernel.setMultiByteCodePage(true);
    CCvUnicode m(PagedPool, u"Gr\u00FC\u00DF");
    EXPECT_EQ(Ansi(m), "Gr\xC3\xBC\xC3\x9F");
}

#if defined(CV_IMAGE_CVINSTAL)
TEST_F(UnicodeTest, MultiSzCopyUpcaseNumberAndComparison) {
    CCvUnicode s(PagedPool, u"abc");
    PWSTR copy = nullptr;
    ASSERT_EQ(s.ObtainMultiSzCopy(copy), STATUS_SUCCESS);
    EXPECT_EQ(kernel.pool().block(copy)->size, 10u);
    EXPECT_EQ(std::memcmp(copy, u"abc\0\0", 10), 0);
    ExFreePool(copy);
    ASSERT_EQ(s.UpcaseString(), STATUS_SUCCESS);
    EXPECT_EQ(Wide(s), u"ABC");
    EXPECT_EQ(static_cast<ULONG>(s), 0xABCu);
    EXPECT_EQ(s.GetNumber(16), 0xABCu);
    CCvUnicode n(PagedPool, u"0x20");
    EXPECT_EQ(n.GetNumber(0), 0x20u);
    UNICODE_STRING same, other;
    RtlInitUnicodeString(&same, u"ABC");
    RtlInitUnicodeString(&other, u"abc");
    EXPECT_TRUE(s == &same);
    EXPECT_FALSE(s == &other) << "case-sensitive";
    CCvUnicode none(PagedPool);
    EXPECT_EQ(none.GetNumber(10), 0u);
    EXPECT_EQ(none.Status, STATUS_NOT_FOUND);
}
#endif
