// The parts of the seam that are the same on every system, built on the
// system's own operations.
#include "Plataforma.h"

namespace plataforma {

namespace {
// "\\" is a separator on Windows and a plain character of a name on POSIX.
#ifdef _WIN32
constexpr const char* kSeparadores = "/\\";
#else
constexpr const char* kSeparadores = "/";
#endif
}  // namespace

std::string DiretorioDe(const std::string& caminho) {
    const auto barra = caminho.find_last_of(kSeparadores);
    return barra == std::string::npos ? "./" : caminho.substr(0, barra + 1);
}

std::string NomeDe(const std::string& caminho) {
    const auto barra = caminho.find_last_of(kSeparadores);
    return barra == std::string::npos ? caminho : caminho.substr(barra + 1);
}

TCodigo LeArquivo(const std::string& caminho, std::string& conteudo, bool soRegular, std::size_t limite) {
    TArquivo f;
    if (const TCodigo c = f.Abre(caminho, soRegular ? TArquivo::Modo::LeituraRegular : TArquivo::Modo::Leitura))
        return c;
    return f.LeTudo(conteudo, limite);
}

bool PodeLer(const std::string& caminho) {
    TArquivo f;
    return f.Abre(caminho, TArquivo::Modo::LeituraRegular) == 0;
}

}  // namespace plataforma
