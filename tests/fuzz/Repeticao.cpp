// Replays committed inputs through a fuzz target without libFuzzer, so the
// corpus runs as an ordinary test in every build (g++ included). Arguments are
// files or directories; a directory's files run in name order. An empty or
// missing corpus is an error: a test that checks nothing must not pass.
#include "Verifica.h"

#include <algorithm>
#include <cstdio>
#include <filesystem>
#include <fstream>
#include <iterator>
#include <string>
#include <vector>

extern "C" int LLVMFuzzerInitialize(int* argc, char*** argv) __attribute__((weak));

namespace fs = std::filesystem;

int main(int argc, char** argv) {
    if (LLVMFuzzerInitialize) LLVMFuzzerInitialize(&argc, &argv);
    std::vector<fs::path> entradas;
    for (int i = 1; i < argc; ++i) {
        const fs::path p = argv[i];
        std::error_code ec;
        if (fs::is_directory(p, ec)) {
            std::vector<fs::path> arquivos;
            for (const auto& e : fs::directory_iterator(p, ec))
                if (e.is_regular_file()) arquivos.push_back(e.path());
            std::sort(arquivos.begin(), arquivos.end());
            entradas.insert(entradas.end(), arquivos.begin(), arquivos.end());
        } else if (fs::is_regular_file(p, ec)) {
            entradas.push_back(p);
        } else {
            std::fprintf(stderr, "%s: no such file or directory\n", argv[i]);
            return 2;
        }
    }
    if (entradas.empty()) {
        std::fprintf(stderr, "usage: %s CORPUS_DIR|FILE...: no input found\n", argc > 0 ? argv[0] : "replay");
        return 2;
    }
    for (const auto& p : entradas) {
        std::ifstream f(p, std::ios::binary);
        if (!f) {
            std::fprintf(stderr, "%s: cannot read\n", p.c_str());
            return 2;
        }
        const std::string bytes((std::istreambuf_iterator<char>(f)), std::istreambuf_iterator<char>());
        // Printed before the run, so a crash names its input.
        std::printf("%s (%zu bytes)\n", p.c_str(), bytes.size());
        std::fflush(stdout);
        LLVMFuzzerTestOneInput(reinterpret_cast<const std::uint8_t*>(bytes.data()), bytes.size());
    }
    std::printf("%zu inputs replayed, all checks held\n", entradas.size());
    return 0;
}
