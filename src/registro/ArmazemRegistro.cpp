#include "DocumentoReg.h"
#include "Plataforma.h"
#include "Registro.h"

#include <cstdlib>

namespace p = plataforma;

std::function<void(const std::string&)> TArmazemRegistro::AntesDeRenomear;

namespace {

const char* const kCaminhoPadrao = "/etc/orvex/tef.reg";
// A store holds a few values: anything much larger is not one, and reading
// it whole would take the memory of the till.
constexpr std::size_t kTamanhoMaximo = 1024 * 1024;
// A writer holds the lock for a moment; one that holds it longer is not
// waited for (the store is read all the same).
constexpr int kEsperaLeitura = 2000;
// A writer waits longer, then gives up with the cause: a member of the group
// holding the lock must not hang root's provisioning for ever.
constexpr int kEsperaEscrita = 10000;

[[noreturn]] void FalhaSistema(const std::string& caminho, p::TCodigo erro) {
    if (erro == p::ErroTravaOcupada())
        throw ERegistryException(caminho + ": held by another program for " + std::to_string(kEsperaEscrita / 1000) +
                                 " s: nothing was saved");
    if (erro == p::ErroGrandeDemais())
        throw ERegistryException(caminho + ": larger than " + std::to_string(kTamanhoMaximo / 1024) +
                                 " KiB: not a configuration store");
    throw ERegistryException(caminho + ": " + p::TextoDoErro(erro));
}

// The store is only ever a regular file: a link could lead anywhere (root
// writes the store when a till is provisioned), and a FIFO or a device would
// hang every reader.
void ConfereTipo(const std::string& arquivo) {
    const auto e = p::Consulta(arquivo, false);
    if (!e || e->tipo == p::TTipoEntrada::Regular) return;
    const char* oQue = e->tipo == p::TTipoEntrada::Link        ? "a symbolic link"
                       : e->tipo == p::TTipoEntrada::Diretorio ? "a directory"
                                                                : "a FIFO, socket or device";
    throw ERegistryException(arquivo + ": " + oQue +
                             ", not a regular file: the configuration store is only read from and written to a "
                             "regular file");
}

// Nothing when the file does not exist. A writer that rewrites the store in
// place holds its lock meanwhile: readers take it shared, unless comLock is
// false (the writer itself).
std::optional<std::string> LeArquivo(const std::string& arquivo, bool comTrava) {
    ConfereTipo(arquivo);
    p::TTrava trava;
    if (comTrava) (void)trava.TomaCompartilhada(arquivo + ".lock", kEsperaLeitura);
    std::string texto;
    if (const auto erro = p::LeArquivo(arquivo, texto, true, kTamanhoMaximo)) {
        if (p::TipoDoErro(erro) == p::TTipoErro::NaoEncontrado) return std::nullopt;
        ConfereTipo(arquivo);  // replaced meanwhile: say what it is now
        FalhaSistema(arquivo, erro);
    }
    return texto;
}

TDocumentoReg Carrega(const std::string& arquivo, bool comTrava = true) {
    auto texto = LeArquivo(arquivo, comTrava);
    if (!texto) return {};
    return TDocumentoReg::Interpreta(*texto, arquivo);
}

// Rewrites the store in place: a member of the store's group whose
// directory is sticky may not replace a file another user owns, but may
// write it. Readers hold the shared lock, so none sees it half written.
void RegravaNoLugar(const std::string& arquivo, const std::string& texto) {
    p::TArquivo f;
    if (const auto erro = f.Abre(arquivo, p::TArquivo::Modo::Regravacao)) {
        ConfereTipo(arquivo);
        FalhaSistema(arquivo, erro);
    }
    // Never a moment, nor a crash, that leaves half a store: the space is
    // there before the first byte changes, and a shorter text is padded with
    // blank lines (which the store ignores) instead of being cut.
    const auto antes = p::Consulta(arquivo, false);
    const std::size_t tamanhoAntes = antes ? static_cast<std::size_t>(antes->tamanho) : 0;
    std::string novo = texto;
    if (novo.size() > tamanhoAntes) {
        if (const auto erro = f.Reserva(static_cast<std::int64_t>(novo.size()))) FalhaSistema(arquivo, erro);
    } else {
        while (novo.size() + 2 <= tamanhoAntes) novo += "\r\n";
        if (novo.size() < tamanhoAntes) novo += ' ';
    }
    if (const auto erro = f.EscreveEm(0, novo)) FalhaSistema(arquivo, erro);
    if (const auto erro = f.Sincroniza()) FalhaSistema(arquivo, erro);
    if (const auto erro = f.Fecha()) FalhaSistema(arquivo, erro);
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
void Altera(const std::string& real, const std::function<bool(TDocumentoReg&)>& mudanca) {
    // Never through a link: the name itself is replaced or rewritten.
    const std::string& arquivo = real;
    const std::string diretorio = DiretorioDe(real);
    if (!p::Consulta(diretorio)) {
        const auto erro = p::CriaDiretorio(diretorio);
        if (erro != 0 && !p::ErroJaExiste(erro)) FalhaSistema(diretorio, erro);
    }

    // The store holds credentials: nothing it leaves beside it is open to
    // others (a group can be given access by the installer).
    const std::string nomeTrava = real + ".lock";
    p::TTrava trava;
    if (const auto erro = trava.Toma(nomeTrava, kEsperaEscrita)) FalhaSistema(nomeTrava, erro);

    TDocumentoReg doc = Carrega(arquivo, false);
    if (!mudanca(doc)) return;
    const std::string texto = doc.Texto();
    const bool existia = p::Consulta(real, false).has_value();

    // Only lock holders create the temporary file, so one left here belongs
    // to a writer that died: it can go (a sticky directory may keep another
    // user's: then the store is written in place).
    const std::string temporario = real + ".tmp";
    p::ApagaArquivo(temporario);
    p::TArquivo novo;
    if (const auto erro = novo.Abre(temporario, p::TArquivo::Modo::EscritaNova)) {
        if (!existia || (!p::ErroJaExiste(erro) && p::TipoDoErro(erro) != p::TTipoErro::AcessoNegado))
            FalhaSistema(temporario, erro);
        RegravaNoLugar(arquivo, texto);
        return;
    }
    try {
        // An existing store keeps its mode (an installer may have given a
        // group access); a new one is never readable by others.
        if (const auto erro = novo.HerdaPermissoes(existia ? real : "")) FalhaSistema(temporario, erro);
        if (const auto erro = novo.Escreve(texto)) FalhaSistema(temporario, erro);
        if (const auto erro = novo.Sincroniza()) FalhaSistema(temporario, erro);
        if (const auto erro = novo.Fecha()) FalhaSistema(temporario, erro);
        if (TArmazemRegistro::AntesDeRenomear) TArmazemRegistro::AntesDeRenomear(temporario);
        if (const auto erro = p::Renomeia(temporario, real, true)) {
            // A sticky directory: another user's store may be written, not replaced.
            if (!existia || p::TipoDoErro(erro) != p::TTipoErro::AcessoNegado) FalhaSistema(arquivo, erro);
            p::ApagaArquivo(temporario);
            RegravaNoLugar(arquivo, texto);
            return;
        }
        // The name must hold what was written: a swap in between would
        // leave the values somewhere nobody reads.
        std::string escrito;
        if (p::LeArquivo(real, escrito, true, kTamanhoMaximo) != 0 || escrito != texto)
            throw ERegistryException(arquivo + ": replaced by something else while it was written");
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
