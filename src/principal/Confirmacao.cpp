// Closing the loop with the web system: the CNF and NCN the commercial
// application sends and the undos the manager decides go to the web system's
// confirmation address from an outbox on disk; after a crash, the web system
// is asked what the open request's page gave.
#include "untPrincipal.h"

#include "Plataforma.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>

using componentes::TCampos;
using componentes::TRespostaHttp;

namespace {

// A message is a few fields: anything larger is not one.
constexpr std::size_t kMaximoMensagem = 64 * 1024;
// How long one delivery may take, and the retries after a failure: from 5 s,
// doubling, at most every 5 minutes.
constexpr int kLimiteEnvioMs = 10000;
constexpr int kPrimeiraEsperaMs = 5000;
constexpr int kMaiorEsperaMs = 300000;
// How long the start waits for the web system's answer about a request.
constexpr int kLimiteConsultaMs = 5000;

std::string Campo(const TCampos& campos, const std::string& nome) {
    for (const auto& [n, v] : campos)
        if (n == nome) return v;
    return "";
}

bool SoDigitos(const std::string& s) { return !s.empty() && s.find_first_not_of("0123456789") == std::string::npos; }

// "CNF 1234 (NSU 5)": which message, for the journal.
std::string DescreveMensagem(const TCampos& campos) {
    std::string d = Campo(campos, "000-000") + " " + Campo(campos, "001-000");
    if (!Campo(campos, "012-000").empty()) d += " (NSU " + Campo(campos, "012-000") + ")";
    return d;
}

// "10,00" from the cents the commercial application sent.
std::string Reais(const std::string& centavos) {
    if (!SoDigitos(centavos)) return centavos;
    std::string c = centavos;
    while (c.size() < 3) c = "0" + c;
    return c.substr(0, c.size() - 2) + "," + c.substr(c.size() - 2);
}

// The value of a result line "NNN-NNN = value" among the page's items.
std::string DoResultado(const TLinhas& itens, const std::string& chave) {
    for (const auto& item : itens)
        if (item.rfind(chave + " = ", 0) == 0) return Apara(item.substr(chave.size() + 3));
    return "";
}

}  // namespace

// ---- the outbox --------------------------------------------------------------------------------

std::vector<std::string> MensagensDaSaida(const std::string& dir) {
    std::vector<std::string> r;
    const auto entradas = plataforma::ListaDiretorio(dir);
    if (!entradas) return r;
    for (const auto& e : *entradas) {
        // Exactly the names GravaMensagem gives: anything else is not ours.
        if (e.nome.size() != 16 || e.nome.compare(12, 4, ".txt") != 0 || !SoDigitos(e.nome.substr(0, 12))) continue;
        r.push_back(JuntaCaminho(dir, e.nome));
    }
    std::sort(r.begin(), r.end());
    return r;
}

TCampos LeMensagem(const std::string& arquivo) {
    std::string bytes;
    if (const auto erro = plataforma::LeArquivo(arquivo, bytes, true, kMaximoMensagem))
        throw EFOpenError("Cannot open file \"" + arquivo + "\". " + plataforma::TextoDoErro(erro),
                          plataforma::TextoDoErro(erro));
    TCampos campos;
    for (const auto& linha : DivideLinhas(bytes)) {
        const auto igual = linha.find(" = ");
        if (igual == std::string::npos) continue;
        campos.emplace_back(linha.substr(0, igual), linha.substr(igual + 3));
    }
    if (Campo(campos, "000-000").empty()) throw Exception("\"" + arquivo + "\" is no message for the web system");
    return campos;
}

void GravaMensagem(const std::string& dir, const TCampos& campos) {
    const std::string temp = plataforma::DiretorioDe(dir.substr(0, dir.size() - 1));
    if (!DiretorioExiste(temp)) CriaDiretorio(temp);
    if (!DiretorioExiste(dir)) CriaDiretorio(dir);
    TLinhas linhas;
    for (const auto& [n, v] : campos) linhas.push_back(n + " = " + v);
    // The next number after the newest waiting; one taken meanwhile (another
    // writer, a leftover) is never replaced.
    unsigned long long numero = 0;
    const auto existentes = MensagensDaSaida(dir);
    if (!existentes.empty()) numero = std::strtoull(plataforma::NomeDe(existentes.back()).c_str(), nullptr, 10);
    for (int tentativa = 0; tentativa < 100; ++tentativa) {
        char nome[32];
        std::snprintf(nome, sizeof nome, "%012llu.txt", ++numero);
        TArquivoDeTrabalho novo(dir, ".mensagem.nova");
        novo.Escreve(TextoLinhas(linhas));
        if (novo.PoeNoLugarSeLivre(dir + nome)) return;
    }
    throw EFCreateError("Cannot create file \"" + dir + "\". no free name", "no free name");
}

std::vector<std::string> AprovacoesADesfazer(const std::string& dirTemp) {
    std::vector<std::string> r;
    const auto entradas = plataforma::ListaDiretorio(dirTemp);
    if (!entradas) return r;
    for (const auto& e : *entradas)
        if (e.tipo == plataforma::TTipoEntrada::Regular && e.nome.rfind("desfazer-", 0) == 0)
            r.push_back(JuntaCaminho(dirTemp, e.nome));
    std::sort(r.begin(), r.end());
    return r;
}

void TfrmPrincipal::GuardaMensagem(const TCampos& campos) {
    FMensagensEmEspera.push_back(campos);
    GravaMensagensEmEspera();
}

bool TfrmPrincipal::GravaMensagensEmEspera() {
    while (!FMensagensEmEspera.empty()) {
        try {
            GravaMensagem(DirSaida(), FMensagensEmEspera.front());
        } catch (Exception& e) {
            // Kept, and before it nothing goes to resp/: the commercial
            // application is not told a message was taken that is not safe.
            if (!FMensagemRelatada) {
                FMensagemRelatada = true;
                e.MostraAoOperador = true;
                Relata(Exception("A message for the web system (" + DescreveMensagem(FMensagensEmEspera.front()) +
                                     ") cannot be written to " + DirSaida() + ": " +
                                     (e.Causa.empty() ? e.Message() : e.Causa),
                                 e.Causa),
                       "GuardaMensagem");
            }
            return false;
        }
        FMensagensEmEspera.pop_front();
        FMensagemRelatada = false;
    }
    return true;
}

TCampos TfrmPrincipal::Credenciais() const {
    return {{"lojcodigo_logado", std::to_string(FLojCodigo)},
            {"usulogin_logado", FUsuLogin},
            {"ususenha_logado", FUsuSenha}};
}

void TfrmPrincipal::Jornal(int prioridade, const std::string& texto) {
    if (Observador.Jornal) Observador.Jornal(prioridade, texto);
}

void TfrmPrincipal::EnviaConfirmacoes() {
    if (FEnviando || FUrlConfirmacao.empty() || C.Postador == nullptr || FDirTemp.empty()) return;
    if (MilissegundosDe(Application.Agora()) < FProximoEnvioMs) return;
    const auto mensagens = MensagensDaSaida(DirSaida());
    if (mensagens.empty()) return;
    const std::string arquivo = mensagens.front();
    TCampos campos;
    try {
        campos = LeMensagem(arquivo);
    } catch (const Exception& e) {
        // Not a message of ours: set aside, so the queue goes on.
        (void)plataforma::Renomeia(arquivo, arquivo + ".invalida", false);
        GravaLogErro("\"" + arquivo + "\" set aside as \"" + arquivo + ".invalida\": " + e.Message());
        return;
    }
    TCampos envio = campos;
    for (auto& c : Credenciais()) envio.push_back(std::move(c));
    FEnviando = true;
    C.Postador->Posta(FUrlConfirmacao, envio, kLimiteEnvioMs, [this, arquivo, campos](const TRespostaHttp& r) {
        Application.ExecutaHandler("EnviaConfirmacoes", [&] { AoEnviar(arquivo, campos, r); });
    });
}

void TfrmPrincipal::AoEnviar(const std::string& arquivo, const TCampos& campos, const TRespostaHttp& r) {
    FEnviando = false;
    const std::string descricao = DescreveMensagem(campos);
    if (r.respondeu && r.status >= 200 && r.status <= 299) {
        ApagaArquivo(arquivo);
        FEsperaEnvioMs = 0;
        FProximoEnvioMs = 0;
        Jornal(6, descricao + " entregue ao sistema web");
        // The manager's own undo, taken but not done (the web system says the
        // approval's state, and it is not undone): a person must do it.
        const std::string estado = r.Cabecalho("x-tef-estado");
        if (!Campo(campos, "motivo").empty() && !estado.empty() && estado != "desfeita" && estado != "cancelada")
            AvisaAprovacaoADesfazer(Campo(campos, "001-000"), Campo(campos, "003-000"), Campo(campos, "012-000"),
                                    "O sistema web n\xE3o a desfez (" + estado + "). ");
        // The next one at once: the queue empties as fast as the web system takes it.
        EnviaConfirmacoes();
        return;
    }
    FEsperaEnvioMs = FEsperaEnvioMs == 0 ? kPrimeiraEsperaMs : std::min(FEsperaEnvioMs * 2, kMaiorEsperaMs);
    FProximoEnvioMs = MilissegundosDe(Application.Agora()) + FEsperaEnvioMs;
    const std::string motivo = r.respondeu ? "HTTP " + std::to_string(r.status) : r.erro;
    Jornal(4, descricao + " n\xE3o entregue ao sistema web (" + motivo + "); nova tentativa em " +
                  std::to_string(FEsperaEnvioMs / 1000) + " s, " + std::to_string(MensagensDaSaida(DirSaida()).size()) +
                  " na fila");
}

// ---- after a crash: what the page gave ---------------------------------------------------------

std::optional<TLinhas> TfrmPrincipal::ConsultaResultado(const TTransacao& t, std::string& desfecho,
                                                        bool nenhumCancela) {
    if (FUrlConfirmacao.empty() || C.Postador == nullptr) return std::nullopt;
    TCampos campos = {{"000-000", "CNS"},
                      {"001-000", t.identificacao},
                      {"002-000", t.documento},
                      {"003-000", t.valorTexto}};
    if (!NomeDoPedido(t).empty()) campos.emplace_back("pedido", NomeDoPedido(t));
    for (auto& c : Credenciais()) campos.push_back(std::move(c));
    const TRespostaHttp r = C.Postador->PostaEEspera(FUrlConfirmacao, campos, kLimiteConsultaMs);
    const std::string resultado = r.respondeu && r.status >= 200 && r.status <= 299 ? r.Cabecalho("x-tef-resultado") : "";
    // An approval undone since (by the web system itself, or cancelled) is
    // no payment any more.
    const std::string estado = r.Cabecalho("x-tef-estado");
    if (resultado == "nenhum" || (resultado == "encontrado" && (estado == "desfeita" || estado == "cancelada"))) {
        if (!nenhumCancela) return std::nullopt;
        // Nothing was decided at the web system: nothing was charged.
        desfecho = "cancelada: o sistema web n\xE3o tem resultado da p\xE1gina";
        return LinhasCancelamento(t, textos::TefCancelado);
    }
    if (resultado != "encontrado") {
        Jornal(4, "o sistema web n\xE3o disse o que a p\xE1gina do pedido " + t.identificacao + " deu (" +
                      (r.respondeu ? "HTTP " + std::to_string(r.status) : r.erro) + ")");
        return std::nullopt;
    }
    TLinhas itens = Divide(Utf8ParaCp1252(r.corpo), "\xA7");
    // Only what a page writes is an answer: exchange lines with a command
    // or a status, or its own cancellation.
    const bool cancelou = itens.size() >= 2 && itens[0] == "COMMAND_TEF";
    if (!cancelou && std::none_of(itens.begin(), itens.end(), [](const std::string& i) {
            return i.rfind("000-000 = ", 0) == 0 || i.rfind("009-000 = ", 0) == 0;
        })) {
        Jornal(4, "o sistema web respondeu sobre o pedido " + t.identificacao + " algo que n\xE3o \xE9 um resultado");
        return std::nullopt;
    }
    if (cancelou) {
        desfecho = "cancelada na p\xE1gina (dito pelo sistema web)";
        return LinhasCancelamento(t, textos::TefCancelado);
    }
    TLinhas linhas = MontaResposta(std::move(itens), t);
    const std::string status = DoResultado(linhas, "009-000");
    desfecho = std::string(status == "0" ? "aprovada" : "recusada") + " (dito pelo sistema web)";
    return linhas;
}

// ---- a page of a screen that is over --------------------------------------------------------------

void TfrmPrincipal::DescartaResultado(const std::optional<std::u16string>& texto, componentes::TDocumento documento) {
    if (!texto || texto->empty()) return;
    // A page of a screen that is over: its transaction was answered already
    // and another may be open now. Kept in the log for the shop to check in
    // the web system.
    const std::string bruto = SubstituiTodos(Utf16ParaCp1252(*texto), std::string(1, '\0'), "?");
    const std::string nota = "Result of the page of an earlier screen, not written to resp/";
    GravaLogErro(nota + ": " + bruto, nota + " (its lines are in LogErro.txt)");
    // An approval there is a payment the commercial application was told did
    // not happen: it must not stay charged.
    const TLinhas itens = Divide(bruto, "\xA7");
    const auto tela = FTelasPorDocumento.find(documento);
    if (itens.empty() || itens[0] == "COMMAND_TEF" || DoResultado(itens, "009-000") != "0" ||
        tela == FTelasPorDocumento.end() || !tela->second.tefComercial)
        return;
    const TTransacao& t = tela->second;
    const std::string nsu = DoResultado(itens, "012-000");
    // Without its NSU the web system cannot tell which approval to undo.
    if (!FUrlConfirmacao.empty() && !nsu.empty()) {
        GuardaMensagem({{"000-000", "NCN"},
                        {"001-000", t.identificacao},
                        {"002-000", t.documento},
                        {"003-000", t.valorTexto},
                        {"010-000", DoResultado(itens, "010-000")},
                        {"012-000", nsu},
                        {"027-000", DoResultado(itens, "027-000")},
                        {"motivo", textos::MotivoTelaSubstituida}});
        Jornal(4, "A venda " + t.identificacao + " de R$ " + Reais(t.valorTexto) + " (NSU " + nsu +
                      ") foi aprovada depois de a tela ser substitu\xED" "da: desfeita com um NCN ao sistema web");
        return;
    }
    AvisaAprovacaoADesfazer(t.identificacao, t.valorTexto, nsu, "");
}

void TfrmPrincipal::AvisaAprovacaoADesfazer(const std::string& identificacao, const std::string& valorTexto,
                                            const std::string& nsu, const std::string& porque) {
    const std::string aviso = "A venda " + identificacao + " de R$ " + Reais(valorTexto) +
                              " foi aprovada pelo sistema web (NSU " + (nsu.empty() ? "?" : nsu) +
                              ") depois de a tela ser substitu\xED" "da: o aplicativo comercial a recebeu como "
                              "cancelada. " + porque + "Desfa\xE7" "a-a no sistema web.";
    // For a day the status report says so too.
    try {
        TArquivoDeTrabalho marca(FDirTemp, ".desfazer.novo");
        marca.Escreve(TextoLinhas({aviso}));
        std::string digitos;
        for (char c : nsu)
            if (c >= '0' && c <= '9' && digitos.size() < 20) digitos += c;
        marca.PoeNoLugarSeLivre(FDirTemp + "desfazer-" + std::to_string(MilissegundosDe(Application.Agora())) + "-" +
                                (digitos.empty() ? "0" : digitos) + ".txt");
    } catch (const Exception&) {
    }
    if (FSemOperador) {
        GravaLogErro(aviso);
    } else {
        MostraErro(aviso);
        Jornal(3, aviso);
    }
}
