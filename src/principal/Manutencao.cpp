// Upkeep of the browser runtime and its profile: the runtime's registration,
// the disk cache, and the profile's certificate files.
#include "untPrincipal.h"

#include "Registro.h"
#include "Servidor.h"

#include "Plataforma.h"

#include <climits>

namespace {
const std::string kChaveGre = "SOFTWARE\\mozilla.org\\GRE";
const std::string kVersaoGre = "1.9.1.7";
}  // namespace

// ---- plain utilities --------------------------------------------------------------

void ApagaDiretorio(const std::string& diretorio, const std::function<void()>& aposCadaEntrada) {
    // A link in the directory's place is not followed: what it leads to is
    // not this tree.
    const auto proprio = plataforma::Consulta(diretorio, false);
    if (proprio && proprio->tipo == plataforma::TTipoEntrada::Link) {
        (void)plataforma::ApagaArquivo(diretorio);
        return;
    }
    const auto entradas = plataforma::ListaDiretorio(diretorio);
    if (!entradas) return;
    for (const auto& e : *entradas) {
        const std::string caminho = JuntaCaminho(diretorio, e.nome);
        // A symbolic link is removed itself, never followed.
        if (e.tipo == plataforma::TTipoEntrada::Diretorio) {
            ApagaDiretorio(caminho, aposCadaEntrada);
        } else {
            (void)plataforma::ApagaArquivo(caminho);
        }
        if (aposCadaEntrada) aposCadaEntrada();
    }
    (void)plataforma::RemoveDiretorio(diretorio);
}

std::int32_t TamanhoArquivo(const std::string& arquivo) {
    const auto e = plataforma::Consulta(arquivo, true);
    // Hidden and system entries do not count.
    if (!e || e->tipo != plataforma::TTipoEntrada::Regular || e->oculto || e->sistema) return -1;
    return e->tamanho > INT32_MAX ? INT32_MAX : static_cast<std::int32_t>(e->tamanho);
}

void SubstituiArquivo(const std::string& novo, const std::string& alvo) {
    const std::int32_t tamanhoNovo = TamanhoArquivo(novo);
    if (tamanhoNovo > 0) {
        const bool alvoExiste = plataforma::Consulta(alvo, false).has_value();
        // A copy of the same size counts as the same file. Otherwise one
        // rename replaces the current file, never leaving none in between.
        if (!alvoExiste || tamanhoNovo != TamanhoArquivo(alvo)) (void)plataforma::Renomeia(novo, alvo, true);
    }
    if (ArquivoExiste(novo)) ApagaArquivo(novo);
    if (TamanhoArquivo(alvo) <= 0) ApagaArquivo(alvo);
}

std::string LinhaDeComando(const std::string& programa, const std::string& parametros) {
    return "\"" + programa + "\" " + parametros;
}

bool ExecutaEEspera(const std::string& programa, const std::string& parametros, int /*mostra*/) {
    std::vector<std::string> argumentos;
    for (const auto& p : Divide(parametros, " "))
        if (!p.empty()) argumentos.push_back(p);
    return plataforma::ExecutaEEspera(programa, argumentos);
}

// ---- the controller's upkeep ---------------------------------------------------------------

bool TfrmPrincipal::VerificaRegistroGre() { return ::VerificaRegistroGre(DiretorioExe()); }

bool VerificaRegistroGre(const std::string& b) {
    bool resultado = true;
    const std::string casa = b + "mozembed";
    TRegistry reg;
    std::vector<std::string> nomes;
    try {
        if (!reg.OpenKey(kChaveGre, false)) return true;
        nomes = reg.GetKeyNames();
        reg.CloseKey();
    } catch (const ERegistryException&) {
        return true;  // a store that cannot be read: let the runtime register itself
    }
    for (const auto& nome : nomes) {
        const std::string chave = kChaveGre + "\\" + nome;
        if (nome == kVersaoGre) {
            if (reg.OpenKey(chave, false)) {
                if (reg.ReadString("GreHome") != casa) reg.WriteString("GreHome", casa);
                reg.CloseKey();
            }
            resultado = false;
        } else {
            bool abriu = false;
            try {
                abriu = reg.OpenKey(chave, false);
            } catch (const ERegistryException&) {
            }
            if (abriu) {
                const std::string casaOutra = reg.ReadString("GreHome");
                reg.CloseKey();
                if (casaOutra.find("/mozembed") != std::string::npos) {
                    try {
                        reg.DeleteKey(chave);
                    } catch (const ERegistryException&) {
                    }
                }
            }
        }
    }
    return resultado;
}

void TfrmPrincipal::LimpaCache() {
    const std::string cache = DiretorioExe() + "mozembed/Profiles/default/Cache";
    const auto e = plataforma::Consulta(cache, false);
    if (!e || (e->tipo != plataforma::TTipoEntrada::Diretorio && e->tipo != plataforma::TTipoEntrada::Link)) return;
    try {
        ApagaDiretorio(cache, [this] { Application.ProcessMessages(); });
    } catch (...) {
    }
    (void)plataforma::RemoveDiretorio(cache);
}

void TfrmPrincipal::AtualizaCertificados() {
    const std::string perfis = DiretorioExe() + "mozembed/Profiles";
    const std::string p = perfis + "/default";
    if (!DiretorioExiste(perfis)) CriaDiretorio(perfis);
    if (!DiretorioExiste(p)) CriaDiretorio(p);
    const std::string base = servidor::BaseProducao() + "/download/tef/profile/";
    bool baixouDb = false, baixouOverride = false;
    try {
        baixouDb = BaixaArquivo(base + "cert8.db", p + "/cert8.db_new");
        baixouOverride = BaixaArquivo(base + "cert_override.txt", p + "/cert_override.txt_new");
    } catch (...) {
    }
    if (!baixouDb) ApagaArquivo(p + "/cert8.db_new");
    if (!baixouOverride) ApagaArquivo(p + "/cert_override.txt_new");
    try {
        SubstituiArquivo(p + "/cert8.db_new", p + "/cert8.db");
    } catch (...) {
    }
    try {
        SubstituiArquivo(p + "/cert_override.txt_new", p + "/cert_override.txt");
    } catch (...) {
    }
}

bool TfrmPrincipal::BaixaArquivo(const std::string& endereco, const std::string& destino) {
    // The profile is open to the group: whatever lies under the download's
    // name (a link, say) goes, and the file is made new, never written through.
    (void)plataforma::ApagaArquivo(destino);
    plataforma::TArquivo f;
    if (const auto erro = f.Abre(destino, plataforma::TArquivo::Modo::Exclusiva)) {
        const std::string motivo = plataforma::TextoDoErro(erro);
        throw EFCreateError("Cannot create file \"" + destino + "\". " + motivo, motivo);
    }
    bool gravou = true;
    const auto escreve = [&](const char* dados, std::size_t n) {
        if (f.Escreve(std::string_view(dados, n)) != 0) gravou = false;
        return gravou;
    };
    componentes::TEventosTransferencia eventos;
    eventos.OnWorkBegin = [this](std::int64_t total) { IdHTTP1WorkBegin(total); };
    eventos.OnWork = [this](std::int64_t feitos) { IdHTTP1Work(feitos); };
    eventos.OnWorkEnd = [this] { IdHTTP1WorkEnd(); };
    const bool ok = C.IdHTTP1 != nullptr && C.IdHTTP1->Get(endereco, escreve, eventos);
    const bool fechou = f.Fecha() == 0;
    return ok && gravou && fechou;
}

void TfrmPrincipal::IdHTTP1WorkBegin(std::int64_t total) {
    try {
        C.JvXPProgressBar1->SetMax(static_cast<int>(std::min<std::int64_t>(total, INT_MAX)));
        C.JvXPProgressBar1->SetPosition(0);
    } catch (...) {
        // an unknown size leaves the (hidden) bar as it was
    }
    Application.ProcessMessages();
}

void TfrmPrincipal::IdHTTP1Work(std::int64_t feitos) {
    C.JvXPProgressBar1->SetPosition(static_cast<int>(std::min<std::int64_t>(feitos, INT_MAX)));
    Application.ProcessMessages();
}

void TfrmPrincipal::IdHTTP1WorkEnd() {
    C.JvXPProgressBar1->SetPosition(C.JvXPProgressBar1->Max());
    Application.ProcessMessages();
}
