#include "sim/inputfile.h"

#include <cerrno>
#include <cstdio>
#include <cstring>
#include <sys/stat.h>

namespace sim {

bool ReadInputFile(const std::string& path, std::string& text, std::string& error, size_t limit) {
    auto fail = [&](const std::string& reason) {
        error = path + ": cannot be read: " + reason;
        return false;
    };
    struct stat st {};
    if (::stat(path.c_str(), &st) != 0)
        return fail(std::strerror(errno));
    if (S_ISDIR(st.st_mode))
        return fail("it is a directory");
    std::FILE* file = std::fopen(path.c_str(), "rb");
    if (!file)
        return fail(std::strerror(errno));
    text.clear();
    char buffer[65536];
    bool tooLarge = false;
    // Read whatever it is (a device such as /dev/zero has no size), up to the limit.
    while (size_t n = std::fread(buffer, 1, sizeof buffer, file)) {
        if (text.size() + n > limit) {
            tooLarge = true;
            break;
        }
        text.append(buffer, n);
    }
    const bool readError = std::ferror(file) != 0;
    std::fclose(file);
    if (tooLarge)
        return fail("it is larger than " + std::to_string(limit / (1024 * 1024)) + " MiB");
    if (readError)
        return fail("a read failed");
    return true;
}

std::string NormalizedLines(std::string_view text) {
    if (text.substr(0, 3) == "\xEF\xBB\xBF")
        text.remove_prefix(3);
    std::string out;
    out.reserve(text.size());
    for (size_t i = 0; i < text.size(); ++i) {
        if (text[i] == '\r') {
            out += '\n';
            if (i + 1 < text.size() && text[i + 1] == '\n')
                ++i;
        } else {
            out += text[i];
        }
    }
    return out;
}

} // namespace sim
