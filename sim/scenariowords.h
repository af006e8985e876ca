// The words of a scenario line: how numbers, durations, data, masks, UART addresses and character formats
// are written, read and shown. Each reader takes all of its word or refuses it.
#pragma once

#include <cstdint>
#include <string>
#include <vector>

namespace sim {

// The largest read a scenario issues: a real program reads in buffers of its own size, not gigabytes.
inline constexpr uint64_t kMaxReadLength = 1024 * 1024;

std::string Hex32(uint32_t value); // "0x0000ABCD"
std::string Hex16(uint16_t value); // "ABCD"
// Printable ASCII as it is, quote and backslash escaped, anything else as \u00XX.
std::string Escaped(const std::vector<uint8_t>& data);
std::string Escaped(const std::string& text);

// "10ms", "2s", "500us" or a bare number of milliseconds, in 100 ns ticks, up to a day.
bool Duration(const std::string& text, uint64_t& ticks);
// A decimal number from 0 to `max`, all of the word; `error` says what was expected otherwise.
bool Number(const std::string& word, uint64_t max, uint64_t& value, std::string& error, const char* what);
// Words of a line, with "quoted text" kept whole (\" and \\ inside) and its opening quote kept to mark it;
// `unterminated` when a quote is not closed.
std::vector<std::string> Words(const std::string& line, bool& unterminated);
// A word as written: quoted text without its opening quote mark.
std::string Unquoted(const std::string& word);
// Data as a scenario writes it: "text" or hex: with pairs of hexadecimal digits.
bool BytesOf(const std::string& word, std::vector<uint8_t>& data);
// A mask written as bits: 0x and one to eight hexadecimal digits.
bool RawBits(const std::string& word, uint32_t& bits);
// A UART's address: one to four hexadecimal digits.
bool UartAddress(const std::string& word, uint16_t& address, std::string& error);

// A character format such as 8N1, 7E1, 8N2 or 5N1.5: data bits 5 to 8, parity as an index into "NOEMS"
// (none, odd, even, mark, space), stop bits 1, 1.5 or 2.
struct CharacterFormat {
    unsigned dataBits = 8;
    unsigned parity = 0;
    double stopBits = 1;
};
bool FormatOf(const std::string& word, CharacterFormat& format, std::string& error);

} // namespace sim
