// Feeds arbitrary bytes to the .reg reader. Whatever it accepts must save and read back to the same tree;
// whatever it refuses must leave the registry untouched and say where.
#include "platform/nt/registry.h"

#include <cstdint>
#include <cstdlib>
#include <string>

extern "C" int LLVMFuzzerTestOneInput(const uint8_t* data, size_t size) {
    std::string text(reinterpret_cast<const char*>(data), size);
    nt::Registry registry;
    std::string before = registry.dump();
    nt::RegLoadResult result = registry.loadText(text, "fuzz.reg");
    if (!result) {
        if (registry.dump() != before || result.error.rfind("fuzz.reg:", 0) != 0)
            std::abort();
        return 0;
    }
    std::string saved = registry.saveText();
    nt::Registry copy;
    if (!copy.loadText(saved, "saved.reg"))
        std::abort();
    // Value names with line breaks have no .reg form; everything else must come back the same.
    if (saved.find('\r') == std::string::npos && copy.saveText() != saved)
        std::abort();
    return 0;
}
