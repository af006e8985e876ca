// The web page of cvsim ui (ui/*.html, *.js, *.css), built into the program so that it needs no files.
#pragma once

#include <vector>

namespace sim {

struct UiFile {
    const char* path; // "/", "/app.js", ...
    const char* type; // its content type
    const char* text;
};

const std::vector<UiFile>& UiFiles();

} // namespace sim
