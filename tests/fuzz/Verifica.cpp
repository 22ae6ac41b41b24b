#include "Verifica.h"

#include <cstdio>
#include <cstdlib>
#include <filesystem>
#include <system_error>
#include <unistd.h>

namespace fuzz {

void Falha(const char* arquivo, int linha, const char* condicao, const std::string& detalhe) {
    std::fprintf(stderr, "\n%s:%d: check failed: %s\n  %s\n", arquivo, linha, condicao, detalhe.c_str());
    std::fflush(stderr);
    std::abort();
}

const std::string& DiretorioDeTrabalho() {
    // Never destroyed: the exit handler still needs it after static
    // destructors have run.
    static const std::string* diretorio = [] {
        namespace fs = std::filesystem;
        std::error_code ec;
        const std::string base = fs::is_directory("/dev/shm", ec) && ::access("/dev/shm", W_OK) == 0
                                     ? std::string("/dev/shm")
                                     : fs::temp_directory_path().string();
        std::string modelo = base + "/tef-fuzz-XXXXXX";
        if (::mkdtemp(modelo.data()) == nullptr) {
            std::perror("mkdtemp");
            std::abort();
        }
        auto* d = new std::string(modelo + "/");
        std::atexit([] {
            std::error_code e;
            std::filesystem::remove_all(*diretorio, e);
        });
        return d;
    }();
    return *diretorio;
}

std::string Visivel(std::string_view bytes) {
    static const char* hex = "0123456789abcdef";
    std::string r = "\"";
    std::size_t n = 0;
    for (unsigned char c : bytes) {
        if (++n > 400) {
            r += "\"...(" + std::to_string(bytes.size()) + " bytes)";
            return r;
        }
        if (c == '\\' || c == '"') {
            r += '\\';
            r += static_cast<char>(c);
        } else if (c == '\r') {
            r += "\\r";
        } else if (c == '\n') {
            r += "\\n";
        } else if (c < 0x20 || c >= 0x7F) {
            r += "\\x";
            r += hex[c >> 4];
            r += hex[c & 0xF];
        } else {
            r += static_cast<char>(c);
        }
    }
    return r + "\"";
}

std::string Visivel(std::u16string_view texto) {
    static const char* hex = "0123456789abcdef";
    std::string r = "u\"";
    std::size_t n = 0;
    for (char16_t c : texto) {
        if (++n > 400) return r + "\"...(" + std::to_string(texto.size()) + " units)";
        if (c >= 0x20 && c < 0x7F && c != '\\' && c != '"') {
            r += static_cast<char>(c);
        } else {
            r += "\\u";
            for (int s = 12; s >= 0; s -= 4) r += hex[(c >> s) & 0xF];
        }
    }
    return r + "\"";
}

}  // namespace fuzz
