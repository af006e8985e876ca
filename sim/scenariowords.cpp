#include "sim/scenariowords.h"
#include "sim/inputfile.h"

#include <algorithm>
#include <cctype>
#include <cerrno>
#include <cmath>
#include <cstdio>
#include <cstdlib>

namespace sim {

namespace {

constexpr double kMaxDurationTicks = 24.0 * 3600 * 1e7;

bool HexDigits(std::string::const_iterator from, std::string::const_iterator to) {
    return std::all_of(from, to, [](unsigned char c) { return std::isxdigit(c); });
}

} // namespace

std::string Hex32(uint32_t value) {
    char text[16];
    std::snprintf(text, sizeof text, "0x%08X", value);
    return text;
}

std::string Hex16(uint16_t value) {
    char text[8];
    std::snprintf(text, sizeof text, "%X", value);
    return text;
}

std::string Escaped(const std::vector<uint8_t>& data) {
    std::string out;
    char text[8];
    for (uint8_t b : data) {
        if (b == '"' || b == '\\') {
            out += '\\';
            out += char(b);
        } else if (b >= 0x20 && b < 0x7F) {
            out += char(b);
        } else {
            std::snprintf(text, sizeof text, "\\u%04x", b);
            out += text;
        }
    }
    return out;
}

std::string Escaped(const std::string& text) {
    return Escaped(std::vector<uint8_t>(text.begin(), text.end()));
}

bool Duration(const std::string& text, uint64_t& ticks) {
    char* end = nullptr;
    const double value = std::strtod(text.c_str(), &end);
    const std::string unit = end ? end : "";
    if (end == text.c_str() || !std::isfinite(value) || value < 0 ||
        text.find_first_of("xXpP") != std::string::npos)
        return false;
    const double scale = unit == "s" ? 1e7 : unit == "us" ? 10.0 : (unit == "ms" || unit.empty()) ? 1e4 : -1;
    // A duration up to a day: longer is no test a person waits for, and no sum of them can wrap.
    if (scale < 0 || value * scale > kMaxDurationTicks)
        return false;
    ticks = static_cast<uint64_t>(value * scale);
    return true;
}

bool Number(const std::string& word, uint64_t max, uint64_t& value, std::string& error, const char* what) {
    const bool digits =
        !word.empty() && word.size() <= 20 &&
        std::all_of(word.begin(), word.end(), [](unsigned char c) { return std::isdigit(c); });
    errno = 0;
    const unsigned long long n = digits ? std::strtoull(word.c_str(), nullptr, 10) : 0;
    if (!digits || errno == ERANGE || n > max) {
        error = Quoted(word) + " is not " + what + " (a decimal number up to " + std::to_string(max) + ")";
        return false;
    }
    value = n;
    return true;
}

std::vector<std::string> Words(const std::string& line, bool& unterminated) {
    std::vector<std::string> words;
    unterminated = false;
    size_t i = 0;
    while (i < line.size()) {
        while (i < line.size() && isspace(static_cast<unsigned char>(line[i])))
            ++i;
        if (i >= line.size() || line[i] == '#')
            break;
        std::string word;
        if (line[i] == '"') {
            word = "\"";
            for (++i; i < line.size() && line[i] != '"'; ++i) {
                if (line[i] == '\\' && i + 1 < line.size())
                    ++i;
                word += line[i];
            }
            if (i >= line.size())
                unterminated = true;
            ++i;
        } else {
            while (i < line.size() && !isspace(static_cast<unsigned char>(line[i])))
                word += line[i++];
        }
        words.push_back(word);
    }
    return words;
}

std::string Unquoted(const std::string& word) {
    return !word.empty() && word[0] == '"' ? word.substr(1) : word;
}

bool BytesOf(const std::string& word, std::vector<uint8_t>& data) {
    if (!word.empty() && word[0] == '"') {
        data.assign(word.begin() + 1, word.end());
        return true;
    }
    if (word.rfind("hex:", 0) != 0 || word.size() % 2 != 0 || !HexDigits(word.begin() + 4, word.end()))
        return false;
    for (size_t i = 4; i + 1 < word.size(); i += 2)
        data.push_back(static_cast<uint8_t>(std::strtoul(word.substr(i, 2).c_str(), nullptr, 16)));
    return true;
}

bool RawBits(const std::string& word, uint32_t& bits) {
    if (word.size() < 3 || word.size() > 10 || word.rfind("0x", 0) != 0 ||
        !HexDigits(word.begin() + 2, word.end()))
        return false;
    bits = static_cast<uint32_t>(std::strtoul(word.c_str() + 2, nullptr, 16));
    return true;
}

bool UartAddress(const std::string& word, uint16_t& address, std::string& error) {
    if (word.empty() || word.size() > 4 || !HexDigits(word.begin(), word.end())) {
        error = Quoted(word) + " is not a UART address (1 to 4 hexadecimal digits)";
        return false;
    }
    address = static_cast<uint16_t>(std::strtoul(word.c_str(), nullptr, 16));
    return true;
}

bool FormatOf(const std::string& word, CharacterFormat& format, std::string& error) {
    static const std::string kParities = "NOEMS";
    const std::string stop = word.size() >= 3 ? word.substr(2) : "";
    if (word.size() < 3 || word[0] < '5' || word[0] > '8' || kParities.find(word[1]) == std::string::npos ||
        (stop != "1" && stop != "2" && stop != "1.5")) {
        error = Quoted(word) + " is not a character format such as 8N1, 7E1, 8N2 or 5N1.5";
        return false;
    }
    format.dataBits = unsigned(word[0] - '0');
    format.parity = unsigned(kParities.find(word[1]));
    format.stopBits = stop == "1.5" ? 1.5 : stop == "2" ? 2 : 1;
    return true;
}

} // namespace sim
