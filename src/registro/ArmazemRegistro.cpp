#include "DocumentoReg.h"
#include "Plataforma.h"
#include "Registro.h"

#include <cstdlib>

namespace p = plataforma;

std::function<void(const std::string&)> TArmazemRegistro::AntesDeRenomear;

namespace {

const char* const kCaminhoPadrao = "/etc/orvex/tef.reg";

[[noreturn]] void FalhaSistema(const std::string& caminho, p::TCodigo erro) {
    throw ERegistryException(caminho + ": " + p::TextoDoErro(erro));
}

// Nothing when the file does not exist.
std::optional<std::string> LeArquivo(const std::string& arquivo) {
    std::string texto;
    if (const auto erro = p::LeArquivo(arquivo, texto)) {
        if (p::TipoDoErro(erro) == p::TTipoErro::NaoEncontrado) return std::nullopt;
        FalhaSistema(arquivo, erro);
    }
    return texto;
}

TDocumentoReg Carrega(const std::string& arquivo) {
    auto texto = LeArquivo(arquivo);
    if (!texto) return {};
    return TDocumentoReg::Interpreta(*texto, arquivo);
}

std::string DiretorioDe(const std::string& arquivo) {
    std::size_t barra = arquivo.find_last_of("/\\");
    if (barra == std::string::npos) return ".";
    if (barra == 0) return "/";
    return arquivo.substr(0, barra);
}

std::vector<std::string> ValidaChave(const std::string& arquivo, const std::string& chave) {
    if (chave.find_first_of(std::string("\n\0", 2)) != std::string::npos)
        throw ERegistryException(arquivo + ": invalid key name '" + chave + "'");
    return PartesDaChave(chave);
}

void ValidaNome(const std::string& arquivo, const std::string& nome) {
    if (nome.find_first_of(std::string("\n\0", 2)) != std::string::npos)
        throw ERegistryException(arquivo + ": invalid value name '" + nome + "'");
}

// Reads the store under an exclusive lock, lets mudanca change it and, when
// it did, replaces the file atomically. The lock lives in a companion file
// because the store itself is replaced on every write.
void Altera(const std::string& arquivo, const std::function<bool(TDocumentoReg&)>& mudanca) {
    // A store reached through a symbolic link stays a link.
    const std::string real = p::CaminhoReal(arquivo);
    const std::string diretorio = DiretorioDe(real);
    if (!p::Consulta(diretorio)) {
        const auto erro = p::CriaDiretorio(diretorio);
        if (erro != 0 && !p::ErroJaExiste(erro)) FalhaSistema(diretorio, erro);
    }

    // The store holds credentials: nothing it leaves beside it is open to
    // others (a group can be given access by the installer).
    const std::string nomeTrava = real + ".lock";
    p::TTrava trava;
    if (const auto erro = trava.Toma(nomeTrava)) FalhaSistema(nomeTrava, erro);

    TDocumentoReg doc = Carrega(arquivo);
    if (!mudanca(doc)) return;
    const std::string texto = doc.Texto();

    // Only lock holders create the temporary file, so one left here belongs
    // to a writer that died: it can go.
    const std::string temporario = real + ".tmp";
    p::ApagaArquivo(temporario);
    p::TArquivo novo;
    if (const auto erro = novo.Abre(temporario, p::TArquivo::Modo::EscritaNova)) FalhaSistema(temporario, erro);
    try {
        // An existing store keeps its mode (an installer may have given a
        // group access); a new one is never readable by others.
        const bool existia = p::Consulta(real).has_value();
        if (const auto erro = novo.HerdaPermissoes(existia ? real : "")) FalhaSistema(temporario, erro);
        if (const auto erro = novo.Escreve(texto)) FalhaSistema(temporario, erro);
        if (const auto erro = novo.Sincroniza()) FalhaSistema(temporario, erro);
        if (const auto erro = novo.Fecha()) FalhaSistema(temporario, erro);
        if (TArmazemRegistro::AntesDeRenomear) TArmazemRegistro::AntesDeRenomear(temporario);
        if (const auto erro = p::Renomeia(temporario, real, true)) FalhaSistema(arquivo, erro);
    } catch (...) {
        novo.Fecha();
        p::ApagaArquivo(temporario);
        throw;
    }
    // Makes the rename itself durable. Not reported: every process already
    // sees the change, and some file systems refuse it.
    p::SincronizaDiretorio(diretorio);
}

}  // namespace

TArmazemRegistro::TArmazemRegistro(std::string arquivo) : arquivo_(std::move(arquivo)) {}

std::string TArmazemRegistro::CaminhoPadrao() {
    const char* env = std::getenv("TEF_REGISTRO");
    return env && *env ? env : kCaminhoPadrao;
}

bool TArmazemRegistro::ChaveExiste(const std::string& chave) const {
    const auto partes = ValidaChave(arquivo_, chave);
    TDocumentoReg doc = Carrega(arquivo_);
    return partes.empty() || doc.Procura(partes) != nullptr;
}

bool TArmazemRegistro::CriaChave(const std::string& chave) {
    const auto partes = ValidaChave(arquivo_, chave);
    // Opening an existing key must not need write access to the store.
    if (partes.empty() || ChaveExiste(chave)) return false;
    bool criou = false;
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        if (doc.Procura(partes)) return false;
        doc.Garante(partes);
        criou = true;
        return true;
    });
    return criou;
}

std::vector<std::string> TArmazemRegistro::SubChaves(const std::string& chave) const {
    const auto partes = ValidaChave(arquivo_, chave);
    return Carrega(arquivo_).Filhas(partes);
}

std::optional<TValorRegistro> TArmazemRegistro::LeValor(const std::string& chave, const std::string& nome) const {
    const auto partes = ValidaChave(arquivo_, chave);
    TDocumentoReg doc = Carrega(arquivo_);
    TChaveArquivo* k = doc.Procura(partes);
    const TValorArquivo* v = k ? k->Valor(nome) : nullptr;
    if (!v) return std::nullopt;
    return TValorRegistro{v->tipo, v->dados};
}

void TArmazemRegistro::GravaValor(const std::string& chave, const std::string& nome, std::uint32_t tipo,
                                  const std::string& dados) {
    const auto partes = ValidaChave(arquivo_, chave);
    ValidaNome(arquivo_, nome);
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        TChaveArquivo* k = doc.Procura(partes);
        if (!k && partes.empty()) k = &doc.Garante(partes);
        if (!k) throw ERegistryException(arquivo_ + ": key '" + chave + "' does not exist");
        if (TValorArquivo* v = k->Valor(nome)) {
            v->tipo = tipo;
            v->dados = dados;
        } else {
            k->valores.push_back({nome, tipo, dados});
        }
        return true;
    });
}

bool TArmazemRegistro::ApagaValor(const std::string& chave, const std::string& nome) {
    if (!LeValor(chave, nome)) return false;
    const auto partes = ValidaChave(arquivo_, chave);
    bool apagou = false;
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        TChaveArquivo* k = doc.Procura(partes);
        const TValorArquivo* v = k ? k->Valor(nome) : nullptr;
        if (!v) return false;
        k->valores.erase(k->valores.begin() + (v - k->valores.data()));
        apagou = true;
        return true;
    });
    return apagou;
}

bool TArmazemRegistro::ApagaChave(const std::string& chave) {
    const auto partes = ValidaChave(arquivo_, chave);
    if (partes.empty()) throw ERegistryException(arquivo_ + ": the root key cannot be removed");
    if (!ChaveExiste(chave)) return false;
    bool apagou = false;
    Altera(arquivo_, [&](TDocumentoReg& doc) {
        apagou = doc.Remove(partes);
        return apagou;
    });
    return apagou;
}
