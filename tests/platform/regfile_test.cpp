// .reg text: reading both formats, refusing malformed text whole, and saving so that it reads back the same.
#include "platform/nt/kernel.h"
#include "platform/nt/registry.h"

#include <gtest/gtest.h>

namespace {

const char* const kSample = R"(Windows Registry Editor Version 5.00

; CvNt with one PCI template
[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt]
"LogLevel"=dword:00000003
"ImagePath"=hex(2):25,00,53,00,79,00,73,00,74,00,65,00,6d,00,52,00,6f,00,6f,00,\
  74,00,25,00,00,00
"Start"=dword:1
@="default \"quoted\" \\ value"

[HKEY_LOCAL_MACHINE\SYSTEM\CurrentControlSet\Services\CvNt\Templates\Bus5\Card1]
"Description"="Quad port card"
"Names"=hex(7):41,00,00,00,42,00,00,00,00,00
"Raw"=hex:01,02,03
"Empty"=hex(0):
"Resources"=hex(8):01,00,00,00
)";

std::string dwordValue(nt::Registry& r, const char* key, const char* name) {
    auto v = r.dword(key, name);
    return v ? std::to_string(*v) : "missing";
}

} // namespace

TEST(RegFile, ReadsEveryValueKind) {
    nt::Registry r;
    auto result = r.loadText(kSample, "cvnt.reg");
    ASSERT_TRUE(result) << result.error;
    const char* service = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt";
    EXPECT_EQ(dwordValue(r, service, "LogLevel"), "3");
    EXPECT_EQ(dwordValue(r, service, "Start"), "1");
    EXPECT_EQ(r.value(service, "ImagePath")->type, 2u);
    EXPECT_EQ(r.string(service, "ImagePath"), std::optional<std::string>("%SystemRoot%"));
    EXPECT_EQ(r.string(service, ""), std::optional<std::string>("default \"quoted\" \\ value"));
    const char* card =
        "\\Registry\\Machine\\SYSTEM\\CurrentControlSet\\Services\\CvNt\\Templates\\Bus5\\Card1";
    EXPECT_EQ(r.string(card, "description"), std::optional<std::string>("Quad port card"));
    EXPECT_EQ(r.value(card, "Names")->type, 7u);
    EXPECT_EQ(r.value(card, "Raw")->data, (std::vector<uint8_t>{1, 2, 3}));
    EXPECT_EQ(r.value(card, "Empty")->type, 0u);
    EXPECT_TRUE(r.value(card, "Empty")->data.empty());
    EXPECT_EQ(r.value(card, "Resources")->type, 8u);
    EXPECT_EQ(result.values, 9u);
}

TEST(RegFile, Regedit4StoresItsSingleByteTextAsWideText) {
    nt::Registry r;
    auto result = r.loadText("REGEDIT4\r\n\r\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\X]\r\n\"P\"=hex(2):41,42,00\r\n"
                             "\"S\"=\"caf\xC3\xA9\"\r\n",
                             "old.reg");
    ASSERT_TRUE(result) << result.error;
    auto p = r.value("HKEY_LOCAL_MACHINE\\SOFTWARE\\X", "P");
    EXPECT_EQ(p->data, (std::vector<uint8_t>{'A', 0, 'B', 0, 0, 0}));
    EXPECT_EQ(r.string("HKEY_LOCAL_MACHINE\\SOFTWARE\\X", "S"), std::optional<std::string>("caf\xC3\xA9"));
}

TEST(RegFile, ReadsUtf16WithItsByteOrderMark) {
    std::string text = "\xFF\xFE";
    for (char c : std::string("Windows Registry Editor Version "
                              "5.00\r\n[HKEY_USERS\\.DEFAULT\\K]\r\n\"A\"=dword:0000000a\r\n")) {
        text.push_back(c);
        text.push_back('\0');
    }
    nt::Registry r;
    ASSERT_TRUE(r.loadText(text, "utf16.reg"));
    EXPECT_EQ(r.dword("HKEY_USERS\\.DEFAULT\\K", "A"), std::optional<uint32_t>(10));
}

TEST(RegFile, DeletesKeysAndValues) {
    nt::Registry r;
    ASSERT_TRUE(r.loadText(kSample, "cvnt.reg"));
    auto result = r.loadText("Windows Registry Editor Version 5.00\n"
                             "[-HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt\\Templates]\n"
                             "[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt]\n"
                             "\"Start\"=-\n"
                             "\"NotThere\"=-\n",
                             "remove.reg");
    ASSERT_TRUE(result) << result.error;
    const char* service = "HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt";
    EXPECT_FALSE(r.exists(std::string(service) + "\\Templates"));
    EXPECT_FALSE(r.value(service, "Start"));
    EXPECT_TRUE(r.value(service, "LogLevel"));
}

TEST(RegFile, MalformedTextIsRefusedWithItsLineAndNothingIsApplied) {
    struct Case {
        std::string text;
        std::string error;
    } cases[] = {
        {"REGEDIT 4\n",
         "bad.reg:1: expected the header \"REGEDIT4\" or \"Windows Registry Editor Version 5.00\""},
        {"", "bad.reg:1: expected the header"},
        {"REGEDIT4\n\"A\"=dword:1\n", "bad.reg:2: expected a key line"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\n", "bad.reg:2: expected ']' at the end of the key line"},
        {"REGEDIT4\n[HKEY_NOWHERE\\A]\n", "bad.reg:2: expected a key under HKEY_LOCAL_MACHINE or HKEY_USERS"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A\\\\B]\n", "bad.reg:2: expected a key name between backslashes"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\" + std::string(256, 'k') + "]\n",
         "bad.reg:2: expected a key name of at most 255"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE" +
             [] {
                 std::string p;
                 for (int i = 0; i < 513; ++i)
                     p += "\\k";
                 return p;
             }() +
             "]\n",
         "bad.reg:2: expected a key at most 512 levels deep"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:123456789\n",
         "bad.reg:3: expected one to eight hex digits"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=dword:zz\n",
         "bad.reg:3: expected hex digits after dword:"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex:01,\\\n  02,zz\n",
         "bad.reg:4: expected a two-digit hex byte, found \"zz\""},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex:01,\\\n", "bad.reg:3: expected a continuation line"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=hex(q):01\n", "bad.reg:3: expected hex(n):"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X=\"1\"\n", "bad.reg:3: expected '=' after the value name"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"unterminated\n",
         "bad.reg:3: expected a closing double quote"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=\"a\\n\"\n",
         "bad.reg:3: expected \\\\ or \\\" after a backslash"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\nX=1\n", "bad.reg:3: expected a value name in double quotes"},
        {"REGEDIT4\n[HKEY_LOCAL_MACHINE\\A]\n\"X\"=1\n",
         "bad.reg:3: expected a quoted string, dword:, hex: or hex(n):"},
    };
    for (const auto& c : cases) {
        nt::Registry r;
        std::string before = r.dump();
        auto result = r.loadText(c.text, "bad.reg");
        EXPECT_FALSE(result) << c.text;
        EXPECT_EQ(result.error.substr(0, c.error.size()), c.error) << result.error;
        EXPECT_EQ(r.dump(), before) << "nothing applied for: " << c.text;
    }
    // A good first half does not get applied either.
    nt::Registry r;
    std::string before = r.dump();
    EXPECT_FALSE(r.loadText("REGEDIT4\n[HKEY_LOCAL_MACHINE\\Good]\n\"A\"=dword:1\n[HKEY_LOCAL_MACHINE\\Bad\n",
                            "x.reg"));
    EXPECT_EQ(r.dump(), before);
}

TEST(RegFile, SavingAndLoadingAgainGivesTheSameTree) {
    nt::Registry original;
    ASSERT_TRUE(original.loadText(kSample, "cvnt.reg"));
    // Values no quoted string can carry: no terminator, an inner zero, a line break, a lone surrogate.
    const char* odd = "HKEY_LOCAL_MACHINE\\SOFTWARE\\Odd \"Key\"";
    original.setValue(odd, "no terminator", 1, {'a', 0});
    original.setValue(odd, "inner zero", 1, {'a', 0, 0, 0, 'b', 0, 0, 0});
    original.setValue(odd, "line\\break \"name\"", 1, nt::stringData(u"one\ntwo"));
    original.setValue(odd, "surrogate", 1, nt::stringData(std::u16string(1, char16_t(0xD800))));
    original.setValue(odd, "short dword", 4, {1, 2});
    original.setValue(odd, "big", 3, std::vector<uint8_t>(200, 0xAB));
    original.setString(odd, "unicode", "\xE2\x82\xAC and \xF0\x9F\x98\x80");
    original.create("HKEY_USERS\\.DEFAULT\\Empty\\Key");

    std::string text = original.saveText();
    nt::Registry copy;
    auto result = copy.loadText(text, "saved.reg");
    ASSERT_TRUE(result) << result.error << "\n" << text;
    EXPECT_EQ(copy.dump(), original.dump());
    EXPECT_EQ(copy.saveText(), text);
    EXPECT_NE(text.find("\"LogLevel\"=dword:00000003\n"), std::string::npos);
    EXPECT_NE(text.find("\"Description\"=\"Quad port card\"\n"), std::string::npos);
}

TEST(RegFile, SavesOneSubtreeOnItsOwn) {
    nt::Registry r;
    ASSERT_TRUE(r.loadText(kSample, "cvnt.reg"));
    std::string text = r.saveText("HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\Services\\CvNt\\Templates");
    EXPECT_EQ(
        text.rfind("Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SYSTEM\\CurrentControlSet\\"
                   "Services\\CvNt\\Templates]\n",
                   0),
        0u);
    EXPECT_EQ(text.find("LogLevel"), std::string::npos);
}

namespace {

TEST(RegFile, AKeyWithAHundredThousandValuesLoadsWholeAndStaysSearchable) {
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\n";
    char line[64];
    for (int i = 0; i < 100000; ++i) {
        std::snprintf(line, sizeof line, "\"Value%d\"=dword:%08x\n", i, i);
        text += line;
    }
    nt::Registry registry;
    auto result = registry.loadText(text, "big.reg");
    ASSERT_TRUE(result.ok) << result.error;
    EXPECT_EQ(result.values, 100000u);
    auto key = registry.open(std::string("\\Registry\\Machine\\SOFTWARE\\Big"));
    ASSERT_TRUE(key);
    EXPECT_EQ(key->values.size(), 100000u);
    EXPECT_EQ(key->values[99999].name, u"Value99999") << "values keep the order they were made in";
    EXPECT_EQ(registry.dword("\\Registry\\Machine\\SOFTWARE\\Big", "VALUE54321"), 54321u);
    // Removing and setting keep the lookup right.
    EXPECT_TRUE(registry.removeValue("\\Registry\\Machine\\SOFTWARE\\Big", "Value0"));
    EXPECT_FALSE(registry.value("\\Registry\\Machine\\SOFTWARE\\Big", "Value0").has_value());
    EXPECT_EQ(registry.dword("\\Registry\\Machine\\SOFTWARE\\Big", "Value99999"), 99999u);
    registry.setDword("\\Registry\\Machine\\SOFTWARE\\Big", "Value0", 7);
    EXPECT_EQ(registry.dword("\\Registry\\Machine\\SOFTWARE\\Big", "value0"), 7u);
    EXPECT_EQ(key->values.back().name, u"Value0");
}

} // namespace
