// Loading registry exports as they grow: one key with N values, and one key with N subkeys of a value
// each. A load whose cost per item stays flat as N grows is linear; the table gives the ratio.
//
//   cvbench_registry [--max N]
#include "platform/nt/registry.h"

#include <chrono>
#include <cstdio>
#include <cstdlib>
#include <string>

namespace {

std::string Export(size_t n, bool subkeys) {
    std::string text = "Windows Registry Editor Version 5.00\n\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big]\n";
    char line[96];
    for (size_t i = 0; i < n; ++i) {
        if (subkeys)
            std::snprintf(line, sizeof line,
                          "\n[HKEY_LOCAL_MACHINE\\SOFTWARE\\Big\\Key%zu]\n\"Value\"=dword:%08zx\n", i, i);
        else
            std::snprintf(line, sizeof line, "\"Value%zu\"=dword:%08zx\n", i, i);
        text += line;
    }
    return text;
}

double LoadMicroseconds(const std::string& text, size_t& loaded) {
    nt::Registry registry;
    const auto start = std::chrono::steady_clock::now();
    nt::RegLoadResult result = registry.loadText(text, "bench.reg");
    const auto end = std::chrono::steady_clock::now();
    loaded = result.ok ? result.values : 0;
    return std::chrono::duration<double, std::micro>(end - start).count();
}

} // namespace

int main(int argc, char** argv) {
    size_t max = 100000;
    if (argc == 3 && std::string(argv[1]) == "--max")
        max = std::strtoul(argv[2], nullptr, 10);
    if (max < 1000 || max > 1000000) {
        std::fprintf(stderr, "usage: cvbench_registry [--max N (1000 to 1000000)]\n");
        return 2;
    }
    std::printf("| items | shape | load ms | µs per item | per item against 1000 |\n|---|---|---|---|---|\n");
    for (bool subkeys : {false, true}) {
        double base = 0;
        for (size_t n = 1000; n <= max; n *= 10) {
            size_t loaded = 0;
            const double us = LoadMicroseconds(Export(n, subkeys), loaded);
            if (loaded != n) {
                std::fprintf(stderr, "cvbench_registry: %zu of %zu values loaded\n", loaded, n);
                return 1;
            }
            const double per = us / double(n);
            if (n == 1000)
                base = per;
            std::printf("| %zu | %s | %.1f | %.3f | %.2f |\n", n, subkeys ? "subkeys" : "values in one key",
                        us / 1000.0, per, per / base);
        }
    }
    return 0;
}
