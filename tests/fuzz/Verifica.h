// Checks of the fuzz targets. They stay on in release builds (NDEBUG does not
// switch them off) and abort with what broke, so libFuzzer keeps the input and
// a replay under CTest fails.
#pragma once

#include <cstddef>
#include <cstdint>
#include <string>
#include <string_view>

namespace fuzz {

[[noreturn]] void Falha(const char* arquivo, int linha, const char* condicao, const std::string& detalhe);

// Bytes as a C-like literal, cut after a few hundred, for failure messages.
std::string Visivel(std::string_view bytes);
std::string Visivel(std::u16string_view texto);

// A private directory for the whole run, with a trailing "/", removed at exit.
// It is made in /dev/shm when there is one: the manager syncs every file it
// writes, and on a disk that alone would slow a fuzz run to a crawl.
const std::string& DiretorioDeTrabalho();

}  // namespace fuzz

#define VERIFICA(condicao, detalhe)                                              \
    do {                                                                         \
        if (!(condicao)) ::fuzz::Falha(__FILE__, __LINE__, #condicao, (detalhe)); \
    } while (0)

extern "C" int LLVMFuzzerTestOneInput(const std::uint8_t* dados, std::size_t tamanho);
