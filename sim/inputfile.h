// Reading a file a person gave cvsim (a machine description, a registry export, a scenario): bounded in
// size, refused with the system's reason when it cannot be read, and never a directory read as empty.
#pragma once

#include <cstddef>
#include <string>
#include <string_view>

namespace sim {

// The largest input file cvsim reads: far above any description, export or scenario a person writes.
inline constexpr size_t kMaxInputFile = 64 * 1024 * 1024;

// The whole file in `text`; false with `error` ("PATH: cannot be read: REASON") otherwise.
bool ReadInputFile(const std::string& path, std::string& text, std::string& error,
                   size_t limit = kMaxInputFile);

// The text's lines whatever ended them (CR LF, LF or CR alone), without a byte order mark, each ended
// by LF.
std::string NormalizedLines(std::string_view text);

// A word of an input as a message repeats it: long ones cut short.
inline std::string Short(const std::string& word) {
    return word.size() <= 64 ? word : word.substr(0, 64) + "...";
}

// The word as a message quotes it: short, in double quotes.
inline std::string Quoted(const std::string& word) {
    std::string out(1, '"');
    out += Short(word);
    out += '"';
    return out;
}

} // namespace sim
