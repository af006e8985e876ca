// Text between the kernel's UTF-16 and the ANSI calls of the Win32 side, as those calls convert it.
#pragma once

#include <algorithm>
#include <cctype>
#include <string>
#include <string_view>

namespace win32 {

// UTF-16 as an ANSI program sees it: characters outside the first 256 become '?'.
inline std::string Narrow(std::u16string_view text) {
    std::string out;
    for (char16_t c : text)
        out += c < 0x100 ? static_cast<char>(c) : '?';
    return out;
}

// Equal without regard to case, as Windows compares names.
inline bool SameText(std::string_view a, std::string_view b) {
    return a.size() == b.size() && std::equal(a.begin(), a.end(), b.begin(), [](char x, char y) {
               return std::toupper(static_cast<unsigned char>(x)) ==
                      std::toupper(static_cast<unsigned char>(y));
           });
}

} // namespace win32
