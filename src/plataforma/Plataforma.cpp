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

std::string MotivoEmPalavras(TCodigo codigo) {
    if (TipoDoErro(codigo) == TTipoErro::AcessoNegado) return "permiss\xE3o negada";
    if (ErroSomenteLeitura(codigo)) return "o sistema de arquivos est\xE1 montado somente para leitura";
    if (ErroDiscoCheio(codigo)) return "n\xE3o h\xE1 espa\xE7o livre no disco";
    if (TipoDoErro(codigo) == TTipoErro::NaoEncontrado) return "o arquivo ou diret\xF3rio n\xE3o existe";
    return "";
}

bool PodeLer(const std::string& caminho) {
    TArquivo f;
    return f.Abre(caminho, TArquivo::Modo::LeituraRegular) == 0;
}

}  // namespace plataforma
