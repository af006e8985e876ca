// How a scenario's words are read: each reader takes all of its word or refuses it, and nothing wraps.
#include "sim/scenariowords.h"

#include <gtest/gtest.h>

namespace {

TEST(ScenarioWords, DurationsInTheirUnitsUpToADay) {
    const std::pair<const char*, uint64_t> good[] = {{"10ms", 100'000}, {"2s", 20'000'000},
                                                     {"500us", 5'000},  {"7", 70'000},
                                                     {"0.5ms", 5'000},  {"86400s", 864'000'000'000}};
    for (auto [text, ticks] : good) {
        uint64_t got = 0;
        EXPECT_TRUE(sim::Duration(text, got)) << text;
        EXPECT_EQ(got, ticks) << text;
    }
    for (const char* text :
         {"", "ms", "-1", "inf", "nan", "1e300", "86401s", "0x10", "5min", "1e3xs", "2 s"}) {
        uint64_t got = 42;
        EXPECT_FALSE(sim::Duration(text, got)) << text;
        EXPECT_EQ(got, 42u) << text << " left its result alone";
    }
}

TEST(ScenarioWords, NumbersAreDecimalAndBounded) {
    uint64_t value = 0;
    std::string error;
    EXPECT_TRUE(sim::Number("4294967295", 0xFFFFFFFFu, value, error, "a count"));
    EXPECT_EQ(value, 0xFFFFFFFFu);
    for (const char* text : {"4294967296", "18446744073709551616", "-1", "+1", "1.0", "0x10", "abc", ""}) {
        error.clear();
        EXPECT_FALSE(sim::Number(text, 0xFFFFFFFFu, value, error, "a count")) << text;
        EXPECT_NE(error.find("is not a count (a decimal number up to 4294967295)"), std::string::npos)
            << error;
    }
}

TEST(ScenarioWords, WordsKeepQuotedTextWholeAndMarkIt) {
    bool open = false;
    auto w = sim::Words(R"(write COM3 "a \"b\" c\\" hex:41 # a comment)", open);
    ASSERT_EQ(w.size(), 4u);
    EXPECT_EQ(w[2], "\"a \"b\" c\\");
    EXPECT_EQ(sim::Unquoted(w[2]), "a \"b\" c\\");
    EXPECT_FALSE(open);
    sim::Words("write COM3 \"never closed", open);
    EXPECT_TRUE(open);
}

TEST(ScenarioWords, DataMasksAndAddresses) {
    std::vector<uint8_t> data;
    EXPECT_TRUE(sim::BytesOf("hex:00ff7F", data));
    EXPECT_EQ(data, (std::vector<uint8_t>{0x00, 0xFF, 0x7F}));
    for (const char* text : {"hex:0", "hex:0g", "41", "hex", "text"}) {
        std::vector<uint8_t> none;
        EXPECT_FALSE(sim::BytesOf(text, none)) << text;
        EXPECT_TRUE(none.empty()) << text << " left nothing behind";
    }
    uint32_t bits = 0;
    EXPECT_TRUE(sim::RawBits("0xFFFFFFFF", bits));
    EXPECT_EQ(bits, 0xFFFFFFFFu);
    for (const char* text : {"0x", "0x100000000", "FF", "0xG1", "0X1"})
        EXPECT_FALSE(sim::RawBits(text, bits)) << text;
    uint16_t address = 0;
    std::string error;
    EXPECT_TRUE(sim::UartAddress("e000", address, error));
    EXPECT_EQ(address, 0xE000);
    EXPECT_FALSE(sim::UartAddress("10000", address, error)) << "five digits would wrap";
    EXPECT_FALSE(sim::UartAddress("", address, error));
    EXPECT_FALSE(sim::UartAddress(std::string(100, 'A'), address, error));
    EXPECT_LT(error.size(), 120u) << "a long word is cut short in the message";
}

TEST(ScenarioWords, CharacterFormats) {
    sim::CharacterFormat f;
    std::string error;
    ASSERT_TRUE(sim::FormatOf("7E2", f, error));
    EXPECT_EQ(f.dataBits, 7u);
    EXPECT_EQ(f.parity, 2u);
    EXPECT_EQ(f.stopBits, 2.0);
    ASSERT_TRUE(sim::FormatOf("5S1.5", f, error));
    EXPECT_EQ(f.parity, 4u);
    EXPECT_EQ(f.stopBits, 1.5);
    for (const char* text : {"8N3", "9N1", "4N1", "8X1", "8N", "8N1.0", "8N15", "8n1", ""}) {
        error.clear();
        EXPECT_FALSE(sim::FormatOf(text, f, error)) << text;
        EXPECT_NE(error.find("is not a character format"), std::string::npos) << text;
    }
    EXPECT_EQ(sim::Escaped(std::vector<uint8_t>{'a', '"', '\\', 0x0D, 0xFF}), "a\\\"\\\\\\u000d\\u00ff");
    EXPECT_EQ(sim::Hex32(0xC0000120), "0xC0000120");
    EXPECT_EQ(sim::Hex16(0xE0), "E0");
}

} // namespace
