// The machine's registry through the operating system (Windows).
#include "Plataforma.h"
#include "Registro.h"

#include <cstdlib>

namespace nativo = plataforma::registro;

bool TArmazemNativo::ChaveExiste(const std::string& chave) const { return nativo::ChaveExiste(chave); }

bool TArmazemNativo::CriaChave(const std::string& chave) { return nativo::CriaChave(chave); }

std::vector<std::string> TArmazemNativo::SubChaves(const std::string& chave) const { return nativo::SubChaves(chave); }

std::optional<TValorRegistro> TArmazemNativo::LeValor(const std::string& chave, const std::string& nome) const {
    const auto v = nativo::LeValor(chave, nome);
    if (!v) return std::nullopt;
    return TValorRegistro{v->tipo, v->dados};
}

void TArmazemNativo::GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo,
                                const std::string& dados) {
    nativo::GravaValor(chave, nome, tipo, dados);
}

bool TArmazemNativo::ApagaValor(const std::string& chave, const std::string& nome) {
    return nativo::ApagaValor(chave, nome);
}

bool TArmazemNativo::ApagaChave(const std::string& chave) { return nativo::ApagaChave(chave); }

std::unique_ptr<IArmazemRegistro> ArmazemPadrao() {
    const char* arquivo = std::getenv("TEF_REGISTRO");
    if ((arquivo == nullptr || *arquivo == '\0') && nativo::Disponivel()) return std::make_unique<TArmazemNativo>();
    return std::make_unique<TArmazemRegistro>(TArmazemRegistro::CaminhoPadrao());
}
