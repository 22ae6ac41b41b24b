#include "untPrincipal.h"

#include "Mensagens.h"
#include "Registro.h"
#include "Servidor.h"
#include "untParametro.h"

#include <algorithm>
#include <cstdio>
#include <cstdlib>
#include <cstring>
#include <functional>

using componentes::TipoMensagem;

namespace {

// Restarts a timer when the scope ends, however it ends.
class ReiniciaAoSair {
public:
    explicit ReiniciaAoSair(componentes::ITimer* t) : t_(t) {}
    ~ReiniciaAoSair() { t_->SetEnabled(true); }
    ReiniciaAoSair(const ReiniciaAoSair&) = delete;
    ReiniciaAoSair& operator=(const ReiniciaAoSair&) = delete;

private:
    componentes::ITimer* t_;
};

bool TemByteVisivel(const std::string& linha) {
    for (unsigned char c : linha)
        if (c > 0x20) return true;
    return false;
}

}  // namespace

TfrmPrincipal::TfrmPrincipal(componentes::IAplicacao& app, const componentes::TComponentesPrincipal& componentes)
    : Application(app), C(componentes) {
    C.tmOculta->SetOnTimer([this] { tmOcultaTimer(); });
    C.tmVerifica->SetOnTimer([this] { tmVerificaTimer(); });
    C.tmShow->SetOnTimer([this] { tmShowTimer(); });
    C.tmCmds->SetOnTimer([this] { tmCmdsTimer(); });
    if (C.GeckoBrowser1)
        C.GeckoBrowser1->SetOnProgresso([this](int p, int m) { GeckoBrowser1ProgressChange(p, m); });
    if (C.GeckoBrowser1)
        C.GeckoBrowser1->SetOnFalhaCarga([this](const componentes::TFalhaCarga& f) {
            Application.ExecutaHandler("GeckoBrowser1LoadError", [&] { GeckoBrowser1FalhaCarga(f); });
        });
    if (C.Eventos) {
        C.Eventos->FormShow = [this] { FormShow(); };
        C.Eventos->FormClose = [this] { FormClose(); };
        C.Eventos->Panel1Resize = [this] { Panel1Resize(); };
        C.Eventos->SpeedButton1Click = [this] { SpeedButton1Click(); };
        C.Eventos->Restaurar1Click = [this] { Restaurar1Click(); };
        C.Eventos->Administrao1Click = [this] { Administrao1Click(); };
        C.Eventos->ParmetrosdoSistema1Click = [this] { ParmetrosdoSistema1Click(); };
        C.Eventos->FecharSistema1Click = [this] { FecharSistema1Click(); };
    }
    Application.Reporter().SetOnExceptionNotify(
        [this](const componentes::TRelatorioExcecao& r) { NotificaExcecao(r); });
    // Boxes for the operator open from the message loop, never in the middle
    // of the handler that met the error.
    tmAvisos = Application.CriaTimer("tmAvisos");
    tmAvisos->SetInterval(10);
    tmAvisos->SetOnTimer([this] { tmAvisosTimer(); });
}

std::string TfrmPrincipal::DiretorioExe() const {
    const std::string exe = Application.ExeName();
    const auto barra = exe.rfind('/');
    if (barra == std::string::npos) return "./";
    return exe.substr(0, barra + 1);
}

// ---- transaction state --------------------------------------------------------

void TfrmPrincipal::LimpaTransacao() {
    FComando.clear();
    FIdentificacao.clear();
    FDocumento.clear();
    FValorTexto.clear();
    FCampo012.clear();
    FNumCupom.clear();
    FCpf.clear();
    FRede.clear();
    FDataVenda.clear();
    FHoraVenda.clear();
    FControle.clear();
    FValor = 0;
    C.SpeedButton1->SetVisible(true);
    C.panEsconde->SetCaption(textos::AguardandoAplicativo);
}

// ---- request intake ---------------------------------------------------------------

void TfrmPrincipal::tmVerificaTimer() {
    C.tmVerifica->SetEnabled(false);
    // An error in this tick still goes to the error log, but polling must go
    // on: a manager that silently stops reading requests loses sales.
    ReiniciaAoSair reinicia(C.tmVerifica);
    // The event loop turns: what the service manager's watchdog waits for.
    if (Observador.Vivo) Observador.Vivo();
    if (FDirReq.empty()) return;
    GaranteAtivo();
    // The web system's messages leave in the background.
    EnviaConfirmacoes();
    // What could not be written goes out first, in order: a new request is
    // not taken before the answers of the earlier ones.
    if (!EscrevePendentes()) return;

    const auto pedido = EscolhePedido();
    if (!pedido) return;

    // The commercial application may still be finishing the file. When the
    // browser has to start something first (the engine, or a page process
    // after a rest), it starts now and the wait is the interval to the next
    // tick, in which the event loop lets that go on.
    const TAssinaturaPedido assinatura{pedido->tipo, pedido->tamanho, pedido->modificado};
    const bool esperou = FPedidoEmEspera && FPedidoEmEspera->first == pedido->caminho &&
                         FPedidoEmEspera->second == assinatura;
    FPedidoEmEspera.reset();
    if (!esperou) {
        if (C.GeckoBrowser1->Prepara()) {
            FPedidoEmEspera.emplace(pedido->caminho, assinatura);
            return;
        }
        Application.Sleep(500);
    }
    TLinhas linhas;
    try {
        linhas = CarregaLinhasRegular(pedido->caminho);
    } catch (const Exception& e) {
        // It stays; the others are not held up behind it.
        if (RegistraFalhaPedido(*pedido)) Relata(e, "tmVerificaTimer");
        return;
    }
    // Traced as read, before the deletion: also a request that cannot be
    // deleted reaches the trace, once while it stays.
    if (const auto r = FPedidosRastreados.find(pedido->caminho); r == FPedidosRastreados.end() || !(r->second == assinatura)) {
        GravaDebug("Req", linhas, pedido->caminho);
        FPedidosRastreados[pedido->caminho] = assinatura;
    }
    ApagaArquivo(pedido->caminho);
    if (ArquivoExiste(pedido->caminho)) {
        // Acting on a request that stays would act on it again every tick:
        // one sale charged twice.
        if (RegistraFalhaPedido(*pedido))
            Relata(Exception("Cannot delete file \"" + pedido->caminho +
                             "\": the request is not answered while it stays in req/"),
                   "tmVerificaTimer");
        return;
    }
    FPedidosFalhos.erase(pedido->caminho);
    FPedidosRastreados.erase(pedido->caminho);
    LimpaTransacao();
    for (const auto& linha : linhas) LeCampo(linha);
    DespachaComando();
}

std::optional<TEntradaDiretorio> TfrmPrincipal::EscolhePedido() {
    const auto entradas = ListaEntradas(FDirReq);
    std::erase_if(FPedidosFalhos, [&](const auto& falha) {
        return std::none_of(entradas.begin(), entradas.end(),
                            [&](const TEntradaDiretorio& e) { return e.caminho == falha.first; });
    });
    std::optional<TEntradaDiretorio> repetido;
    for (const auto& e : entradas) {
        if (MaiusculasAnsi(e.caminho).find(".001") == std::string::npos) continue;
        if (e.tipo != TTipoEntrada::Regular) {
            // A link could lead anywhere (another user's files); a FIFO or a
            // device would hang the reading.
            if (RegistraFalhaPedido(e))
                Relata(Exception("\"" + e.caminho + "\" is not a regular file: it is not read as a request"),
                       "tmVerificaTimer");
            continue;
        }
        const auto falha = FPedidosFalhos.find(e.caminho);
        if (falha == FPedidosFalhos.end() || !(falha->second == TAssinaturaPedido{e.tipo, e.tamanho, e.modificado}))
            return e;  // the first new request, in the directory's order
        // One that failed before is tried again only when nothing new waits,
        // and only once it can be opened.
        if (!repetido && PodeLer(e.caminho)) repetido = e;
    }
    return repetido;
}

bool TfrmPrincipal::RegistraFalhaPedido(const TEntradaDiretorio& pedido) {
    const TAssinaturaPedido assinatura{pedido.tipo, pedido.tamanho, pedido.modificado};
    const auto [it, nova] = FPedidosFalhos.try_emplace(pedido.caminho, assinatura);
    if (nova) return true;
    if (it->second == assinatura) return false;
    it->second = assinatura;
    return true;
}

void TfrmPrincipal::LeCampo(const std::string& linha) {
    const std::string chave = linha.substr(0, 7);
    const auto valor = [&] { return SubstituiTodos(linha, chave + " = ", ""); };
    if (chave == "000-000") {
        FComando = valor();
    } else if (chave == "001-000") {
        FIdentificacao = valor();
    } else if (chave == "002-000") {
        FDocumento = valor();
        FNumCupom = FDocumento;
    } else if (chave == "003-000") {
        FValorTexto = Apara(valor());
        FValor = ValorDoTexto(FValorTexto);
    } else if (chave == "007-000") {
        FCpf = valor();
    } else if (chave == "012-000") {
        FCampo012 = valor();
    } else if (chave == "010-000") {
        FRede = valor();
    } else if (chave == "022-000") {
        FDataVenda = valor();
    } else if (chave == "023-000") {
        FHoraVenda = valor();
    } else if (chave == "027-000") {
        FControle = valor();
    }
}

void TfrmPrincipal::DespachaComando() {
    if (FComando == "CRT" || FComando == "ADM") {
        AbrePedido();
    } else if (FComando == "CNC") {
        DespachaCnc();
    } else {
        // A confirmation or an undo goes to the web system too, on disk
        // before its acknowledgement.
        if ((FComando == "CNF" || FComando == "NCN") && !FUrlConfirmacao.empty())
            GuardaMensagem({{"000-000", FComando},
                            {"001-000", FIdentificacao},
                            {"002-000", FDocumento},
                            {"003-000", FValorTexto},
                            {"010-000", FRede},
                            {"012-000", FCampo012},
                            {"027-000", FControle}});
        TLinhas ack{"000-000 = " + FComando, "001-000 = " + FIdentificacao};
        if (!FCampo012.empty() && FComando != "CNF") ack.push_back("012-000 = " + FCampo012);
        ack.push_back("999-999 = 0");
        Entrega(FNomeConfirmacao, std::move(ack));
    }
}

void TfrmPrincipal::DespachaCnc() {
    // Every CNC is acknowledged: the commercial applications that send it
    // wait for it, as for any other request.
    const TLinhas ack = {"000-000 = CNC", "001-000 = " + FIdentificacao, "999-999 = 0"};
    // A transaction in progress: a request acknowledged (or about to be)
    // and not answered, or a screen of the operator's own. A window that
    // only waits to hide after its answer holds none.
    const bool emAndamento = FAberta || FConfirmacaoPendente ||
                             ((FTelaAberta || C.tmShow->Enabled()) && !C.tmOculta->Enabled());
    if (emAndamento) {
        Entrega(FNomeConfirmacao, ack);
        // Answered with the CNC's own fields; the request still open, if
        // any, ends with it.
        const std::optional<TTransacao> aberta = FAberta;
        if (aberta) FimDeTransacao(*aberta, "cancelada pelo pedido CNC " + FIdentificacao);
        // What the page still hands over belongs to a transaction that is over.
        if (FTelaAberta || C.tmShow->Enabled()) FDescartaAte = FDocumentoAtual;
        TTransacao cancelamento = TransacaoAtual();
        cancelamento.comando.clear();  // the screen's shape: CRT, or ADM during an administration
        CancelaTef(cancelamento, "");
        return;
    }
    if (FCampo012.empty() && FControle.empty()) {
        // Nothing names the sale to cancel: not done, and said why at once.
        TTransacao cnc = TransacaoAtual();
        cnc.comando = "CNC";
        cnc.tefComercial = true;
        Entrega(FNomeConfirmacao, ack);
        FimDeTransacao(cnc, "recusada: o CNC n\xE3o traz o NSU da venda");
        EntregaResposta(cnc, LinhasCancelamento(cnc, textos::CncSemVenda));
        return;
    }
    // The cancellation of an earlier sale, in the web system's screen for it.
    AbrePedido();
}

void TfrmPrincipal::AbrePedido() {
    {
        // The page of an earlier screen must never answer this request.
        EncerraTelaAnterior();
        const bool adm = FComando == "ADM";
        const bool cnc = FComando == "CNC";
        if (!adm) FTefComercial = true;
        TTransacao aberta = TransacaoAtual();
        aberta.comando = FComando;
        aberta.tefComercial = true;
        aberta.modoAdm = adm;
        aberta.inicioMs = MilissegundosDe(Application.Agora());
        // On disk before the acknowledgement is: whatever ends this process
        // from now on, the request is answered.
        GravaRegistroAberta(aberta);
        FConfirmacaoPendente = true;
        try {
            Entrega(
                FNomeConfirmacao, {"000-000 = " + FComando, "001-000 = " + FIdentificacao, "999-999 = 0"},
                [this, adm, cnc] {
                    if (cnc) AbreTela("Adm");
                    else if (adm) IniciaAdm();
                    else IniciaVenda();
                },
                [this, adm, cnc, aberta] {
                    FConfirmacaoPendente = false;
                    // A transaction that has just been answered is not in
                    // progress, even while its window waits to hide.
                    if (DesarmaOcultacao()) FModoAdm = false;
                    if (adm) {
                        FTefComercial = true;
                        FModoAdm = true;
                    }
                    if (cnc) {
                        FTefComercial = true;
                        FModoAdm = false;
                    }
                    FAberta = aberta;
                });
        } catch (Exception& e) {
            // Told once, in words about the sale; the log keeps the report.
            e.MostraAoOperador = false;
            const std::string palavras = mensagens::ParaOOperador(e);
            MostraErro(textos::TransacaoAguarda + "\r" + (palavras.empty() ? e.Message() : palavras));
            AguardaConfirmacao();
            throw;
        }
        if (!FPendentes.empty()) AguardaConfirmacao();
    }
}

void TfrmPrincipal::AguardaConfirmacao() {
    // Until the acknowledgement is out no screen opens: a window left in
    // front of the operator would show an earlier page that nobody may use.
    if (C.Janela->Visible()) C.tmOculta->SetEnabled(true);
}

void TfrmPrincipal::EncerraTelaAnterior() {
    // Whatever the page shown until now hands over belongs to the earlier
    // screen.
    if (FTelaAberta || C.tmShow->Enabled()) FDescartaAte = FDocumentoAtual;
    if (FAberta) {
        // Answered at once, as "Cancelar TEF" would answer it, so that its
        // commercial application is released and never takes this request's
        // answer for its own.
        const TTransacao anterior = *FAberta;
        FAberta.reset();
        FimDeTransacao(anterior, "cancelada: substitu\xED" "da pelo pedido " + FIdentificacao);
        try {
            EntregaResposta(anterior, LinhasCancelamento(anterior, textos::TefCancelado));
        } catch (Exception& e) {
            // Kept and written again before anything else; the request that
            // arrived must not be lost behind it.
            e.MostraAoOperador = true;
            Relata(e, "tmVerificaTimer");
        }
    }
    FTelaAberta = false;
    FModoAdm = false;
}

void TfrmPrincipal::IniciaVenda() {
    if (FValor > 0 || !FTefComercial) {
        AbreTela("Venda");
        return;
    }
    Avisa(TipoMensagem::Erro, textos::ValorZerado);
    CancelaTef(FAberta ? *FAberta : TransacaoAtual(), "recusada: valor zerado");
}

void TfrmPrincipal::IniciaAdm() { AbreTela("Adm"); }

bool TfrmPrincipal::RecusaTelaDoMenu() {
    // The request's screen opens as soon as its acknowledgement is out; a
    // screen of the operator's own would take its place.
    if (!FAberta && !FConfirmacaoPendente) return false;
    Avisa(TipoMensagem::Erro, textos::PedidoEmAndamento);
    return true;
}

void TfrmPrincipal::Restaurar1Click() {
    if (RecusaTelaDoMenu()) return;
    if (DesarmaOcultacao()) FModoAdm = false;
    FTefComercial = false;
    LimpaTransacao();
    IniciaVenda();
}

void TfrmPrincipal::Administrao1Click() {
    if (RecusaTelaDoMenu()) return;
    DesarmaOcultacao();
    FTefComercial = false;
    FModoAdm = true;
    IniciaAdm();
}

// ---- responses ------------------------------------------------------------------------

TTransacao TfrmPrincipal::TransacaoAtual() const {
    TTransacao t;
    t.comando = FComando;
    t.identificacao = FIdentificacao;
    t.documento = FDocumento;
    t.valorTexto = FValorTexto;
    t.numCupom = FNumCupom;
    t.cpf = FCpf;
    t.rede = FRede;
    t.nsu = FCampo012;
    t.dataVenda = FDataVenda;
    t.horaVenda = FHoraVenda;
    t.controle = FControle;
    t.modoAdm = FModoAdm;
    t.tefComercial = FTefComercial;
    return t;
}

TLinhas TfrmPrincipal::LinhasCancelamento(const TTransacao& t, const std::string& mensagem) {
    // A cancellation not done: its status says so (as a refusal does).
    if (t.comando == "CNC")
        return {"000-000 = CNC", "001-000 = " + t.identificacao, "009-000 = 5", "030-000 = " + mensagem, "999-999 = 0"};
    TLinhas linhas;
    if (t.modoAdm) {
        linhas = {"000-000 = ADM", "001-000 = " + t.identificacao};
    } else {
        linhas = {"000-000 = CRT", "001-000 = " + t.identificacao, "002-000 = " + t.documento,
                  "003-000 = " + t.valorTexto};
    }
    linhas.insert(linhas.end(), {"011-000 = 0", "028-000 = 0", "030-000 = " + mensagem, "999-999 = 0"});
    return linhas;
}

void TfrmPrincipal::CancelaTef() { CancelaTef(TransacaoAtual()); }

void TfrmPrincipal::CancelaTef(const TTransacao& t, const std::string& desfecho) {
    C.panEsconde->SetCaption(textos::AguardandoAplicativo);
    C.panEsconde->SetVisible(true);
    const bool eraAberta = FAberta.has_value();
    // A CNC ends the request still open with its own fields: the answer goes
    // on that request's record.
    TTransacao registro = t;
    if (registro.registro.empty() && FAberta) registro.registro = FAberta->registro;
    FAberta.reset();
    if (t.tefComercial) {
        if (eraAberta && !desfecho.empty()) FimDeTransacao(t, desfecho);
        // The window hides once the commercial application can read the answer.
        EntregaResposta(registro, LinhasCancelamento(t, textos::TefCancelado), [this] { C.tmOculta->SetEnabled(true); });
        return;
    }
    C.tmOculta->SetEnabled(true);
}

void TfrmPrincipal::RespondeVenda(TLinhas& linhas) { RespondeVenda(linhas, TransacaoAtual()); }

TLinhas TfrmPrincipal::MontaResposta(TLinhas linhas, const TTransacao& t) {
    if (linhas.size() >= 2 && linhas[0].find("CRT") != std::string::npos) {
        for (auto& linha : linhas) {
            if (linha.find("003-000") != std::string::npos) {
                linha = "003-000 = " + t.valorTexto;
                break;
            }
        }
    }
    const auto substitui = [&linhas](const char* marcador, const std::string& valor) {
        linhas = DivideLinhas(SubstituiTodos(TextoLinhas(linhas), marcador, valor));
    };
    substitui("#001#", t.identificacao);
    substitui("#002#", t.documento);
    substitui("#016#", DataHoraCompacta(Application.Agora()));

    TLinhas resposta;
    for (const auto& linha : linhas)
        if (TemByteVisivel(linha)) resposta.push_back(linha);
    if (t.comando == "CNC") {
        // The answer of the CNC itself, whatever the page put there.
        bool comando = false;
        for (auto& linha : resposta) {
            if (linha.rfind("000-000 = ", 0) == 0) {
                linha = "000-000 = CNC";
                comando = true;
            } else if (linha.rfind("001-000 = ", 0) == 0) {
                linha = "001-000 = " + t.identificacao;
            }
        }
        if (!comando) resposta.insert(resposta.begin(), "000-000 = CNC");
    }
    return resposta;
}

void TfrmPrincipal::RespondeVenda(TLinhas& linhas, const TTransacao& t) {
    TLinhas resposta = MontaResposta(std::move(linhas), t);
    linhas = resposta;
    const bool eraAberta = FAberta.has_value();
    FAberta.reset();
    std::string desfecho = "respondida";
    for (const auto& linha : resposta)
        if (linha.rfind("009-000 = ", 0) == 0) desfecho = Apara(linha.substr(10)) == "0" ? "aprovada" : "recusada";
    if (t.comando == "CNC") desfecho = desfecho == "aprovada" ? "cancelamento aprovado" : "cancelamento recusado";
    if (eraAberta) FimDeTransacao(t, desfecho);
    FTelaRespondida = true;
    // The payment is already made at the web system: its answer is kept
    // until it can be written, and the window hides only then.
    EntregaResposta(t, std::move(resposta), [this] { C.tmOculta->SetEnabled(true); });
}

// ---- exchange files ---------------------------------------------------------------------

void TfrmPrincipal::GravaResposta(const std::string& nome, const TLinhas& linhas, const std::function<void()>& noLugar) {
    if (!DiretorioExiste(FDirTemp)) CriaDiretorio(FDirTemp);
    const TDataHora t = Application.Agora();
    const std::string temporario = "ArqTemp_" + std::to_string(t.hora) + "_" + std::to_string(t.minuto) + "_" +
                                   std::to_string(t.segundo) + "_" + std::to_string(t.milissegundo) + ".tef";
    const std::string destino = FDirResp + nome;
    std::optional<TArquivoDeTrabalho> arquivo;
    try {
        // temp/ and resp/ are open to the whole group: the copy is made new,
        // never through whatever someone left under its name.
        arquivo.emplace(FDirTemp, temporario, [this](const std::string& c, const std::string& o) { RelataOcupado(c, o); });
        arquivo->Escreve(TextoLinhas(linhas));
    } catch (const Exception& e) {
        // The error names the file the commercial application waits for.
        const std::string motivo = e.Causa.empty() ? e.Message() : e.Causa;
        EFCreateError erro("Cannot create file \"" + destino + "\". " + motivo, e.Message());
        erro.Codigo = e.Codigo;
        throw erro;
    }
    // One rename puts the complete file in place: the commercial application
    // sees the old file or the new one, never none or half of one.
    arquivo->PoeNoLugar(destino);
    if (AposPorNoLugar) AposPorNoLugar(nome);
    // What must follow the rename (the record saying so) comes before the
    // trace: a reader may take the file at once.
    if (noLugar) noLugar();

    if (nome != FNomeAtivo) GravaDebug("Resp", linhas, destino);
}

void TfrmPrincipal::RelataOcupado(const std::string& caminho, const std::string& oQue) {
    if (!FOcupadosRelatados.insert(caminho + "\n" + oQue).second) return;
    Relata(Exception("\"" + caminho + "\" is " + oQue + ", not a staging copy of the manager: it is left alone and "
                     "another name is used"),
           "GravaResposta");
}

void TfrmPrincipal::GravaAtivo() {
    // A rewrite keeps the moment the manager started.
    if (!FInicio) FInicio = Application.Agora();
    GravaResposta(FNomeAtivo, {"000-000 = TEF", "016-000 = " + DataHoraCompacta(*FInicio), "999-999 = 0"});
    // Commercial applications written for Windows look for it in lower case;
    // a name of the configuration is the one they read.
    if (FNomeAtivo == "Ativo.001") CriaApelido(FDirResp + "Ativo.001", FDirResp + "ativo.001");
}

void TfrmPrincipal::GaranteAtivo() {
    if (FFechando || FDirResp.empty()) return;
    // Requests are taken once the marker is there: said once.
    const auto pronto = [this] {
        if (FProntoAvisado) return;
        FProntoAvisado = true;
        if (Observador.Pronto) Observador.Pronto();
    };
    const std::string ativo = FDirResp + FNomeAtivo;
    if (ArquivoExiste(ativo)) {
        if (FNomeAtivo == "Ativo.001") CriaApelido(ativo, FDirResp + "ativo.001");
        pronto();
        return;
    }
    try {
        GravaAtivo();
        FAtivoRelatado = false;
        pronto();
    } catch (Exception& e) {
        // Without the marker commercial applications take the manager for
        // stopped: the operator hears of it once, and every tick tries again.
        if (FAtivoRelatado) return;
        FAtivoRelatado = true;
        e.MostraAoOperador = true;
        Relata(e, "GravaAtivo");
    }
}

namespace {
// A start that cannot use its installation: what cannot be done to which
// path, by whom and why, and what would let it.
[[noreturn]] void FalhaDeInstalacao(const std::string& caminho, bool diretorio, bool criar, plataforma::TCodigo erro,
                                    const std::string& motivoSemCodigo) {
    namespace p = plataforma;
    const std::string usuario = p::NomeDoUsuario();
    const std::string oQue = diretorio ? "O diret\xF3rio " : "O arquivo ";
    const std::string motivo = erro != 0 ? mensagens::Motivo(erro) : motivoSemCodigo;
    EInstalacao e(oQue + caminho + " n\xE3o pode ser " + (criar ? "criado" : "gravado") + " pelo usu\xE1rio " + usuario +
                  ": " + motivo + ".");
    e.Codigo = erro;
    std::string conselho;
    const std::string acima = p::DiretorioDe(caminho.substr(0, caminho.size() - (diretorio ? 1 : 0)));
    if (erro != 0 && p::ErroSomenteLeitura(erro)) {
        conselho = "Monte para grava\xE7\xE3o o sistema de arquivos onde fica " + acima + ".";
    } else if (erro != 0 && p::ErroDiscoCheio(erro)) {
        conselho = "Libere espa\xE7o no disco onde fica " + acima + ".";
    } else if (erro != 0 && p::TipoDoErro(erro) == p::TTipoErro::AcessoNegado) {
        // Writing into a directory, or making one inside the one above.
        const std::string alvo = criar || !diretorio ? acima : caminho;
        if (const auto dono = p::DonoDe(alvo); dono && criar && dono->usuario != usuario) {
            const std::string grupo = dono->grupo == "root" ? "tef" : dono->grupo;
            conselho = "Crie-o para o grupo " + grupo + ": sudo install -d -g " + grupo + " -m 2770 " + caminho +
                       "; depois inclua " + usuario + " no grupo " + grupo + " (sudo adduser " + usuario + " " + grupo +
                       ") e entre de novo na sess\xE3o.";
        } else if (dono) {
            conselho = mensagens::ConselhoDeAcesso(usuario, *dono, alvo, mensagens::TAcesso::Gravacao, true);
        }
    }
    e.ParaOOperador = e.Message() + (conselho.empty() ? "" : "\r" + conselho);
    throw e;
}
}  // namespace

void TfrmPrincipal::ConfereInstalacao() {
    namespace p = plataforma;
    const std::string b = DiretorioExe();
    for (const char* nome : {"req/", "resp/", "temp/"}) {
        const std::string dir = b + nome;
        const std::string semBarra = dir.substr(0, dir.size() - 1);
        auto e = p::Consulta(semBarra);
        if (!e) {
            const p::TCodigo erro = p::CriaDiretorio(semBarra);
            if (erro != 0 && !p::ErroJaExiste(erro)) FalhaDeInstalacao(dir, true, true, erro, "");
            e = p::Consulta(semBarra);
        }
        if (!e || e->tipo != p::TTipoEntrada::Diretorio) {
            FalhaDeInstalacao(dir, true, true, 0, "o nome est\xE1 ocupado por algo que n\xE3o \xE9 um diret\xF3rio");
        }
        // A file made and removed, as every answer, acknowledgement and
        // staging copy will be.
        const std::string prova = dir + ".tef-gravacao-" + std::to_string(p::IdDoProcesso());
        (void)p::ApagaArquivo(prova);
        p::TCodigo erro = 0;
        {
            p::TArquivo f;
            erro = f.Abre(prova, p::TArquivo::Modo::Exclusiva);
            if (erro == 0) erro = f.Escreve("TEF\r\n");
            if (erro == 0) erro = f.Fecha();
        }
        (void)p::ApagaArquivo(prova);
        if (erro != 0) FalhaDeInstalacao(dir, true, false, erro, "");
    }
}

void TfrmPrincipal::GravaAtivoNaPartida() {
    try {
        GravaAtivo();
    } catch (const Exception& e) {
        FalhaDeInstalacao(FDirResp + FNomeAtivo, false, false, e.Codigo, e.Causa.empty() ? e.Message() : e.Causa);
    }
}

void TfrmPrincipal::Entrega(const std::string& nome, TLinhas linhas, std::function<void()> depois,
                            std::function<void()> aoGravar) {
    FPendentes.push_back({nome, std::move(linhas), std::move(depois), std::move(aoGravar)});
    EscrevePendentes();
}

bool TfrmPrincipal::EscrevePendentes() {
    // Only what is left waiting after a try counts for the status report.
    const auto informa = [&] {
        if (FPendentes.size() == FPendentesInformados) return;
        FPendentesInformados = FPendentes.size();
        if (Observador.Pendentes) Observador.Pendentes(FPendentesInformados);
    };
    // A message for the web system goes to disk before what follows it.
    if (!FMensagensEmEspera.empty() && !GravaMensagensEmEspera()) {
        informa();
        return false;
    }
    while (!FPendentes.empty()) {
        TEscritaPendente& pendente = FPendentes.front();
        try {
            GravaResposta(pendente.nome, pendente.linhas, [&pendente] {
                auto f = std::move(pendente.aoGravar);
                pendente.aoGravar = nullptr;
                if (f) f();
            });
        } catch (Exception& e) {
            if (pendente.relatada) {
                informa();
                return false;
            }
            pendente.relatada = true;
            e.MostraAoOperador = true;
            informa();
            throw;
        }
        const bool atrasada = pendente.relatada;
        auto depois = std::move(pendente.depois);
        const std::string nome = pendente.nome;
        FPendentes.pop_front();
        if (atrasada) {
            try {
                GravaLogErro("\"" + FDirResp + nome + "\" written after all");
            } catch (...) {
                // the answer is out; the log line is only a note
            }
        }
        // Nothing opens on screen once the close has begun.
        if (depois && !FFechando) depois();
    }
    informa();
    return true;
}

bool TfrmPrincipal::DesarmaOcultacao() {
    if (!C.tmOculta->Enabled()) return false;
    C.tmOculta->SetEnabled(false);
    C.tmOculta->SetInterval(1000);
    // The page shown belongs to the transaction just answered.
    if (FTelaAberta) FDescartaAte = FDocumentoAtual;
    FTelaAberta = false;
    return true;
}

void TfrmPrincipal::PreparaDiretorios() {
    const std::string b = DiretorioExe();
    FDirResp = b + "resp/";
    FDirReq = b + "req/";
    FDirTemp = b + "temp/";
    FDirDebug = b + "debug/";
    if (!DiretorioExiste(FDirResp)) CriaDiretorio(FDirResp);
    if (!DiretorioExiste(FDirReq)) CriaDiretorio(FDirReq);
    const std::set<std::string> mantidos = AnalisaRegistros();
    TLinhas respostas;
    ListaArquivos(FDirResp, respostas, false);
    for (const auto& arquivo : respostas)
        if (!mantidos.count(arquivo.substr(FDirResp.size()))) ApagaArquivo(arquivo);
    LimpaPedidosAntigos();
    // Staging copies left by a run that was killed in the middle of a write.
    TLinhas sobras;
    try {
        if (DiretorioExiste(FDirTemp)) sobras = ListaArquivosMascara(FDirTemp, "ArqTemp_*.tef");
    } catch (const EInOutError&) {
    }
    for (const auto& nome : sobras) ApagaArquivo(FDirTemp + nome);
    // An approval to undo by hand is said for a day.
    const std::int64_t agora = plataforma::AgoraDosArquivos();
    for (const auto& arquivo : AprovacoesADesfazer(FDirTemp)) {
        const auto e = plataforma::Consulta(arquivo, false);
        if (e && agora - e->modificado > 24LL * 3600 * 1000000000) ApagaArquivo(arquivo);
    }
    RespondeInterrompidas();
}

void TfrmPrincipal::LimpaPedidosAntigos() {
    // A request written while the last run was stopping, or while this one
    // starts, is younger than the time its client waits for the
    // acknowledgement: it is served. An older one was given up by its client.
    constexpr std::int64_t kEsperaDoCliente = 7'000'000'000;  // ns
    const std::int64_t agora = plataforma::AgoraDosArquivos();
    TLinhas pedidos;
    ListaArquivos(FDirReq, pedidos, false);
    for (const auto& arquivo : pedidos) {
        const auto e = plataforma::Consulta(arquivo, false);
        const std::int64_t idade = e ? agora - e->modificado : kEsperaDoCliente;
        if (e && e->tipo == plataforma::TTipoEntrada::Regular && idade < kEsperaDoCliente) continue;
        ApagaArquivo(arquivo);
        char segundos[32];
        std::snprintf(segundos, sizeof segundos, "%.0f s", static_cast<double>(idade) / 1e9);
        try {
            GravaLogErro("Request \"" + arquivo + "\" left by an earlier run " + segundos +
                         " ago, longer than its client waits for the acknowledgement: deleted unanswered");
        } catch (const std::exception&) {
        }
    }
}

// ---- the open transaction across ends of the process ------------------------------------
//
// One record per request acknowledged, in temp/: its state and, while the
// answer waits, the answer's lines. It is written at its full size before
// the acknowledgement, in two slots that are rewritten in place in turn, so
// a later state needs no new space (a full disk) and a write cut short leaves
// the other slot whole.

namespace {

constexpr const char* kCabecalhoRegistro = "TEF-REGISTRO ";
constexpr std::size_t kSlotRegistro = 32 * 1024;
// Anything larger is not a record of ours: never read whole.
constexpr std::size_t kMaximoRegistro = 1024 * 1024;

// A copy of the record: a header with its series, length and fingerprint,
// the lines, and NULs up to tamanho (at least one: older readers stop there).
std::string SlotDeRegistro(std::uint64_t serie, const std::string& conteudo, std::size_t tamanho = 0) {
    std::string s = kCabecalhoRegistro + std::to_string(serie) + " " + std::to_string(conteudo.size()) + " " +
                    Impressao(conteudo) + "\r\n" + conteudo;
    s.resize(std::max(tamanho, s.size() + 1), '\0');
    return s;
}

std::size_t TamanhoDoSlot(const std::string& conteudo) {
    const std::size_t preciso = conteudo.size() + 64;
    return std::max(kSlotRegistro, (preciso + 4095) / 4096 * 4096);
}

// The newest slot whose content is whole: (series, content).
std::optional<std::pair<std::uint64_t, std::string>> SlotValido(const std::string& bytes) {
    std::optional<std::pair<std::uint64_t, std::string>> melhor;
    const std::size_t metade = bytes.size() / 2;
    for (const std::size_t inicio : {std::size_t{0}, metade}) {
        if (metade == 0 || bytes.compare(inicio, std::strlen(kCabecalhoRegistro), kCabecalhoRegistro) != 0) continue;
        const auto fim = bytes.find("\r\n", inicio);
        if (fim == std::string::npos || fim >= inicio + metade) continue;
        unsigned long long serie = 0, tamanho = 0;
        char impressao[17] = {};
        const std::string cabecalho = bytes.substr(inicio, fim - inicio);
        if (std::sscanf(cabecalho.c_str(), "TEF-REGISTRO %llu %llu %16s", &serie, &tamanho, impressao) != 3) continue;
        if (tamanho > metade || fim + 2 + tamanho > inicio + metade) continue;
        std::string conteudo = bytes.substr(fim + 2, tamanho);
        if (Impressao(conteudo) != impressao) continue;
        if (!melhor || serie > melhor->first) melhor.emplace(serie, std::move(conteudo));
    }
    return melhor;
}

}  // namespace

std::string NomeDoPedido(const TTransacao& t) {
    std::string nome = t.registro.substr(t.registro.find_last_of("/\\") + 1);
    if (nome.size() > 4 && nome.compare(nome.size() - 4, 4, ".txt") == 0) nome.resize(nome.size() - 4);
    return nome;
}

std::string Impressao(const std::string& bytes) {
    std::uint64_t h = 14695981039346656037ull;
    for (unsigned char c : bytes) h = (h ^ c) * 1099511628211ull;
    char buf[17];
    std::snprintf(buf, sizeof buf, "%016llx", static_cast<unsigned long long>(h));
    return buf;
}

TLinhas LinhasDoRegistro(const TTransacao& t, const std::string& estado, const TLinhas& resposta,
                         const std::string& nome) {
    TLinhas l = {"estado = " + estado,
                 "comando = " + std::string(t.comando == "CNC" ? "CNC" : t.modoAdm ? "ADM" : "CRT"),
                 "identificacao = " + t.identificacao,
                 "documento = " + t.documento,
                 "valor = " + t.valorTexto,
                 "inicio = " + std::to_string(t.inicioMs)};
    if (!nome.empty()) l.push_back("nome = " + nome);
    for (const auto& linha : resposta) l.push_back("resposta = " + linha);
    return l;
}

std::optional<TTransacao> TransacaoDoRegistro(const TLinhas& linhas, std::string* estado, TLinhas* resposta,
                                              std::string* nome) {
    std::map<std::string, std::string> v;
    for (const auto& l : linhas) {
        const auto igual = l.find(" = ");
        if (igual == std::string::npos) continue;
        if (l.compare(0, igual, "resposta") == 0) {
            if (resposta) resposta->push_back(l.substr(igual + 3));
        } else {
            v[l.substr(0, igual)] = l.substr(igual + 3);
        }
    }
    if (!v.count("estado") || !v.count("identificacao") ||
        (v["comando"] != "CRT" && v["comando"] != "ADM" && v["comando"] != "CNC"))
        return std::nullopt;
    TTransacao t;
    t.comando = v["comando"];
    t.modoAdm = t.comando == "ADM";
    t.tefComercial = true;
    t.identificacao = v["identificacao"];
    t.documento = v["documento"];
    t.valorTexto = v["valor"];
    t.inicioMs = std::atoll(v["inicio"].c_str());
    if (estado) *estado = v["estado"];
    if (nome) *nome = v["nome"];
    return t;
}

std::vector<std::string> ArquivosDeRegistro(const std::string& dirTemp) {
    std::vector<std::string> r;
    const auto entradas = plataforma::ListaDiretorio(dirTemp);
    if (!entradas) return r;
    for (const auto& e : *entradas) {
        const std::string& n = e.nome;
        if (n.size() > 14 && n.compare(0, 10, "transacao-") == 0 && n.compare(n.size() - 4, 4, ".txt") == 0)
            r.push_back(JuntaCaminho(dirTemp, n));
    }
    std::sort(r.begin(), r.end());
    return r;
}

std::optional<TRegistroLido> LeRegistro(const std::string& arquivo, std::string* erro) {
    const auto falha = [&](const std::string& motivo) {
        if (erro) *erro = motivo;
        return std::nullopt;
    };
    std::string bytes;
    if (const auto codigo = plataforma::LeArquivo(arquivo, bytes, true, kMaximoRegistro)) {
        if (codigo == plataforma::ErroGrandeDemais())
            return falha("larger than " + std::to_string(kMaximoRegistro / 1024) + " KiB");
        return falha(DescreveEntrada(arquivo) + ": " + plataforma::TextoDoErro(codigo));
    }
    std::string conteudo = bytes;
    if (bytes.rfind(kCabecalhoRegistro, 0) == 0) {
        auto slot = SlotValido(bytes);
        if (!slot) return falha("no whole copy in it");
        conteudo = std::move(slot->second);
    }
    TRegistroLido r;
    auto t = TransacaoDoRegistro(DivideLinhas(conteudo), &r.estado, &r.resposta, &r.nome);
    if (!t) return falha("its lines are not a record");
    r.t = *t;
    r.t.registro = arquivo;
    if (r.nome.empty()) r.nome = "intpos.001";
    return r;
}

void GravaRegistro(const std::string& arquivo, const TLinhas& linhas) {
    const std::string conteudo = TextoLinhas(linhas);
    {
        // In place, in the slot that does not hold the newest copy.
        plataforma::TArquivo f;
        std::string bytes;
        if (f.Abre(arquivo, plataforma::TArquivo::Modo::Regravacao) == 0 && f.ConfereProprio() == 0 &&
            f.LeTudo(bytes, kMaximoRegistro) == 0 && bytes.size() % 2 == 0 && bytes.size() >= 2 * kSlotRegistro) {
            const std::size_t metade = bytes.size() / 2;
            const auto atual = SlotValido(bytes);
            const std::uint64_t serie = atual ? atual->first + 1 : 1;
            if (conteudo.size() + 64 <= metade) {
                // What lies after the copy's length in the slot is never read.
                const std::int64_t onde = static_cast<std::int64_t>(serie % 2 == 1 ? 0 : metade);
                if (const auto e = f.EscreveEm(onde, SlotDeRegistro(serie, conteudo)))
                    throw EWriteError("Stream write error", plataforma::TextoDoErro(e));
                if (const auto e = f.Sincroniza()) throw EWriteError("Stream write error", plataforma::TextoDoErro(e));
                return;
            }
        }
    }
    // A new record, or one that must grow: made whole beside it and renamed.
    const std::size_t slot = TamanhoDoSlot(conteudo);
    TArquivoDeTrabalho novo(plataforma::DiretorioDe(arquivo), ".transacao.novo");
    novo.Escreve(SlotDeRegistro(1, conteudo, slot) + std::string(slot, '\0'));
    novo.PoeNoLugar(arquivo);
}

bool TfrmPrincipal::EscreveRegistro(const TTransacao& t, const std::string& estado, const TLinhas& resposta) {
    if (t.registro.empty()) return false;
    try {
        GravaRegistro(t.registro, LinhasDoRegistro(t, estado, resposta, FNomeResposta));
        RecuperacaoLigada("");
        return true;
    } catch (Exception& e) {
        RecuperacaoLigada("the record of request " + t.identificacao + " (" + t.registro +
                          ") cannot be written: " + (e.Causa.empty() ? e.Message() : e.Causa));
        return false;
    }
}

void TfrmPrincipal::RecuperacaoLigada(const std::string& motivo) {
    if (motivo == FRecuperacaoDesligada) return;
    const bool nova = FRecuperacaoDesligada.empty();
    FRecuperacaoDesligada = motivo;
    if (Observador.Recuperacao) Observador.Recuperacao(motivo);
    // The sale goes on; only an end of the process in its middle would
    // leave it unanswered. Told once.
    if (!motivo.empty() && nova) Relata(Exception("Recovery after a crash is off: " + motivo), "GravaRegistroAberta");
}

void TfrmPrincipal::GravaRegistroAberta(TTransacao& t) {
    t.registro.clear();
    if (FDirTemp.empty()) return;
    // A name of its own, never one used before: an older answer's
    // bookkeeping must not take this record for its own.
    std::string motivo;
    try {
        if (!DiretorioExiste(FDirTemp)) CriaDiretorio(FDirTemp);
        const std::string conteudo = TextoLinhas(LinhasDoRegistro(t, "aberta", {}, FNomeResposta));
        const std::size_t slot = TamanhoDoSlot(conteudo);
        for (int tentativa = 0; tentativa < 100; ++tentativa) {
            const std::string nome = FDirTemp + "transacao-" + std::to_string(t.inicioMs) + "-" +
                                     std::to_string(plataforma::IdDoProcesso()) + "-" +
                                     std::to_string(++FContadorRegistro) + ".txt";
            TArquivoDeTrabalho novo(FDirTemp, ".transacao.novo",
                                    [this](const std::string& c, const std::string& o) { RelataOcupado(c, o); });
            novo.Escreve(SlotDeRegistro(1, conteudo, slot) + std::string(slot, '\0'));
            if (novo.PoeNoLugarSeLivre(nome)) {
                t.registro = nome;
                RecuperacaoLigada("");
                return;
            }
        }
        motivo = "no free name in " + FDirTemp;
    } catch (Exception& e) {
        motivo = e.Causa.empty() ? e.Message() : e.Causa;
    }
    RecuperacaoLigada("the record of request " + t.identificacao + " cannot be made in " + FDirTemp + ": " + motivo);
}

void TfrmPrincipal::Respondido(const std::string& registro) {
    // Only the newest answer can still be unread in resp/: older records go.
    for (const auto& r : FRegistrosRespondidos)
        if (r != registro) ApagaArquivo(r);
    FRegistrosRespondidos = {registro};
}

void TfrmPrincipal::EntregaResposta(const TTransacao& t, TLinhas linhas, std::function<void()> depois) {
    // On record before it is written: whatever ends the process from here
    // on, the next start gives this answer (once: it sees whether the
    // rename had happened).
    EscreveRegistro(t, "pendente", linhas);
    const TLinhas escritas = linhas;
    auto aoGravar = [this, t, escritas] {
        // Written: kept across a restart for its reader while unread.
        if (t.registro.empty()) return;
        if (EscreveRegistro(t, "respondida " + Impressao(TextoLinhas(escritas)) + " " + FNomeResposta))
            Respondido(t.registro);
    };
    Entrega(FNomeResposta, std::move(linhas), std::move(depois), std::move(aoGravar));
}

bool TfrmPrincipal::RespostaNoLugar(const std::string& nome, const std::string& impressao) const {
    const std::string arquivo = FDirResp + nome;
    if (!NomeDeArquivoValido(nome) || !ArquivoExiste(arquivo)) return false;
    try {
        return Impressao(TextoLinhas(CarregaLinhasRegular(arquivo))) == impressao;
    } catch (const Exception&) {
        return false;
    }
}

std::set<std::string> TfrmPrincipal::AnalisaRegistros() {
    FInterrompidas.clear();
    FRegistrosRespondidos.clear();
    std::set<std::string> mantidos;
    const auto nota = [this](const std::string& texto) {
        try {
            GravaLogErro(texto);
        } catch (...) {
        }
    };
    std::vector<TRegistroLido> registros;
    for (const auto& arquivo : ArquivosDeRegistro(FDirTemp)) {
        std::string erro;
        if (auto r = LeRegistro(arquivo, &erro)) {
            registros.push_back(std::move(*r));
            continue;
        }
        // Said as it is: what is gone, and what stays.
        const auto e = plataforma::Consulta(arquivo, false);
        const bool apagou =
            !(e && e->tipo == plataforma::TTipoEntrada::Diretorio) && plataforma::ApagaArquivo(arquivo) == 0;
        nota("\"" + arquivo + "\" is not a record of an open transaction (" + erro + "): " +
             (apagou ? std::string("removed") : "left in place: it is " + DescreveEntrada(arquivo) +
                                                    " that the manager does not remove"));
    }
    std::stable_sort(registros.begin(), registros.end(),
                     [](const TRegistroLido& a, const TRegistroLido& b) { return a.t.inicioMs < b.t.inicioMs; });
    for (auto& r : registros) {
        if (r.estado == "aberta") {
            FInterrompidas.push_back({r.t, {}});
            continue;
        }
        if (r.estado == "pendente") {
            // Written, and the process ended before the record said so: the
            // answer stays for its reader, and nothing is answered twice.
            const std::string impressao = Impressao(TextoLinhas(r.resposta));
            if (RespostaNoLugar(r.nome, impressao)) {
                mantidos.insert(r.nome);
                EscreveRegistro(r.t, "respondida " + impressao + " " + r.nome);
                FRegistrosRespondidos.push_back(r.t.registro);
            } else {
                FInterrompidas.push_back({r.t, r.resposta});
            }
            continue;
        }
        // "respondida <fingerprint> <name in resp/>": the answer stays until
        // its reader takes it, but only while it is still that very answer.
        const auto espaco = r.estado.find(' ', 11);
        if (r.estado.rfind("respondida ", 0) == 0 && espaco != std::string::npos &&
            RespostaNoLugar(r.estado.substr(espaco + 1), r.estado.substr(11, espaco - 11))) {
            mantidos.insert(r.estado.substr(espaco + 1));
            FRegistrosRespondidos.push_back(r.t.registro);
        } else {
            ApagaArquivo(r.t.registro);
        }
    }
    return mantidos;
}

void TfrmPrincipal::RespondeInterrompidas() {
    auto interrompidas = std::move(FInterrompidas);
    FInterrompidas.clear();
    for (auto& [t, resposta] : interrompidas) {
        // An answer that was waiting to be written goes out as it was;
        // without one, the web system says what the page gave, when it can;
        // else the request ended with the process.
        const bool pendente = !resposta.empty();
        std::string desfecho;
        std::optional<TLinhas> consultada = pendente ? std::nullopt : ConsultaResultado(t, desfecho);
        TLinhas linhas = pendente ? resposta
                         : consultada ? *consultada
                                      : LinhasCancelamento(t, textos::TefInterrompido);
        FimDeTransacao(t, pendente     ? "respondida depois de o gerenciador terminar"
                          : consultada ? desfecho
                                       : "interrompida: o gerenciador terminou antes de responder");
        try {
            EntregaResposta(t, std::move(linhas));
        } catch (Exception& e) {
            // The start goes on: the answer is kept and written by a later tick.
            Relata(e, "FormCreate");
        }
    }
}

void TfrmPrincipal::FimDeTransacao(const TTransacao& t, const std::string& desfecho) {
    if (!Observador.Transacao) return;
    TFimTransacao fim;
    fim.comando = t.comando == "CNC" ? "CNC" : t.modoAdm ? "ADM" : "CRT";
    fim.identificacao = t.identificacao;
    fim.valorTexto = t.valorTexto;
    fim.desfecho = desfecho;
    fim.duracaoMs = t.inicioMs > 0 ? MilissegundosDe(Application.Agora()) - t.inicioMs : 0;
    Observador.Transacao(fim);
}

// ---- trace and error log ------------------------------------------------------------------

void TfrmPrincipal::GravaDebug(const std::string& tipo, const TLinhas& linhas, const std::string& caminho) {
    if (FDirDebug.empty() || !DiretorioExiste(FDirDebug)) return;
    try {
        const std::string arquivo = FDirDebug + "Debug.txt";
        TLinhas lista;
        // Only the trace itself is read: never what a link there leads to.
        if (const auto e = plataforma::Consulta(arquivo, false); e && e->tipo == plataforma::TTipoEntrada::Regular)
            lista = CarregaLinhasRegular(arquivo);
        lista.push_back(std::string(56, '-'));
        lista.push_back("Tipo: " + tipo);
        lista.push_back("Nome do Arquivo: " + caminho);
        lista.push_back("Data: " + DataHoraRegional(Application.Agora()));
        // The lone CR becomes the empty line between header and content.
        const TLinhas corpo = DivideLinhas("\r" + TextoLinhas(linhas));
        lista.insert(lista.end(), corpo.begin(), corpo.end());
        // debug/ may be open to a group: the new trace is made beside it and
        // renamed over it, never written through a link.
        TArquivoDeTrabalho novo(FDirDebug, ".Debug.txt.novo");
        novo.Escreve(TextoLinhas(lista), /*sincroniza=*/false);
        novo.PoeNoLugar(arquivo);
    } catch (...) {
        // The trace must never disturb the exchange.
    }
}

namespace {
// The log as it stands becomes the previous one. A rename where the
// directory may be written; where only the two files are the writer's (the
// package's /opt/tef is root's), the content is copied over the previous
// file and the log emptied in place.
void GuardaLogAnterior(const std::string& arquivo) {
    const std::string anterior = arquivo + ".1";
    if (plataforma::Renomeia(arquivo, anterior, true) == 0) return;
    std::string conteudo, nota;
    try {
        if (const auto erro = plataforma::LeArquivo(arquivo, conteudo, true))
            throw Exception("\"" + arquivo + "\" cannot be read: " + plataforma::TextoDoErro(erro));
        SalvaTexto(anterior, conteudo);
    } catch (const Exception& e) {
        // Bounded all the same: a log that grows without end fills the disk
        // the exchange files need.
        nota = TextoLinhas({"The earlier entries of this log could not be kept in \"" + anterior + "\" (" +
                            MascaraSenha(e.what()) + "): they are lost"});
    }
    SalvaTexto(arquivo, nota);
}
}  // namespace

void AnexaLogErro(const std::string& arquivo, const std::string& texto, std::int64_t limite) {
    // Written at the end, never rewritten: earlier entries stay byte for byte.
    if (const auto e = plataforma::Consulta(arquivo); e && e->tipo == plataforma::TTipoEntrada::Regular && e->tamanho >= limite)
        GuardaLogAnterior(arquivo);
    AnexaTexto(arquivo, texto + "\r\n");
}

void TfrmPrincipal::GravaLogErro(const std::string& texto) { GravaLogErro(texto, texto); }

void TfrmPrincipal::GravaLogErro(const std::string& texto, const std::string& paraOJornal) {
    // The journal first: on a full disk the log cannot be written.
    if (Observador.Erro) Observador.Erro(MascaraSenha(paraOJornal));
    AnexaLogErro(DiretorioExe() + "LogErro.txt", MascaraSenha(texto));
}

void TfrmPrincipal::Avisa(TipoMensagem tipo, const std::string& texto) {
    if (!FSemOperador) {
        Application.MessageBox(tipo, texto);
        return;
    }
    // Nobody would ever close the box: the text goes where it is read.
    if (tipo == TipoMensagem::Erro) {
        try {
            GravaLogErro(texto);
        } catch (const std::exception&) {
        }
    } else if (Observador.Aviso) {
        Observador.Aviso(MascaraSenha(texto));
    }
}

int TfrmPrincipal::SaidaDaFalha(const std::exception& e) {
    if (dynamic_cast<const ENaoParametrizado*>(&e)) return saida::NaoParametrizado;
    if (dynamic_cast<const EInstalacao*>(&e)) return saida::InstalacaoIncompleta;
    if (dynamic_cast<const ERegistryException*>(&e)) {
        const std::string m = e.what();
        if (m.rfind("Failed to get data for", 0) == 0 || m.rfind("Invalid data type for", 0) == 0)
            return saida::ParametrosInvalidos;
        return saida::ArmazemIlegivel;
    }
    return saida::FalhaInicio;
}

void TfrmPrincipal::EurekaLog1ExceptionNotify(const std::string& relatorio) { GravaLogErro(relatorio); }

namespace {
// Handlers run because the operator did something: the operator waits for
// the outcome and must see an error, not only the log.
bool HandlerDoOperador(const std::string& handler) {
    static const std::set<std::string> nomes = {
        "SpeedButton1Click",        "Restaurar1Click",   "Administrao1Click",
        "ParmetrosdoSistema1Click", "FecharSistema1Click", "btnConfiguraClick",
        "TfrmParametro.FormShow",   "JvApplicationHotKey1HotKey"};
    return nomes.count(handler) != 0;
}
}  // namespace

void TfrmPrincipal::NotificaExcecao(const componentes::TRelatorioExcecao& relatorio) {
    // The box first: when the disk is full the log cannot be written either.
    // The operator and the journal get the Portuguese words; the log keeps
    // the report as it always has.
    if (relatorio.paraOperador || HandlerDoOperador(relatorio.handler))
        MostraErro(!relatorio.aoOperador.empty() ? relatorio.aoOperador
                   : relatorio.causa.empty()     ? relatorio.mensagem
                                                 : relatorio.mensagem + "\r" + relatorio.causa);
    GravaLogErro(relatorio.texto, relatorio.aoOperador.empty() ? relatorio.texto : relatorio.aoOperador);
}

void TfrmPrincipal::Relata(const std::exception& e, const std::string& handler) {
    Application.Reporter().RelataExcecao(handler, e, Application.Agora());
}

void TfrmPrincipal::MostraErro(const std::string& texto) {
    // Without an operator the log already holds it; a box would wait for ever.
    if (FSemOperador) return;
    const std::string t = MascaraSenha(texto);
    if (FAvisosAbertos.count(t) || std::find(FAvisos.begin(), FAvisos.end(), t) != FAvisos.end()) return;
    FAvisos.push_back(t);
    tmAvisos->SetEnabled(true);
}

void TfrmPrincipal::tmAvisosTimer() {
    if (FAvisos.empty()) {
        tmAvisos->SetEnabled(false);
        return;
    }
    const std::string texto = FAvisos.front();
    FAvisos.pop_front();
    if (FAvisos.empty()) tmAvisos->SetEnabled(false);
    FAvisosAbertos.insert(texto);
    Application.MessageBox(TipoMensagem::Erro, texto);
    FAvisosAbertos.erase(texto);
}

bool TfrmPrincipal::Inicia() {
    std::string texto;
    const bool iniciou = Application.ExecutaHandler("FormCreate", [&] {
        try {
            FormCreate();
        } catch (Exception& e) {
            texto = TextoFalhaInicio(e);
            FSaidaInicio = SaidaDaFalha(e);
            // The report of this error carries the operator's text: the
            // journal (standard error) hears the cause once, in those words.
            e.ParaOOperador = texto;
            throw;
        } catch (const std::exception& e) {
            texto = TextoFalhaInicio(e);
            FSaidaInicio = SaidaDaFalha(e);
            throw;
        }
    });
    if (iniciou) return true;
    FormClose();
    // Beside the report, the log keeps what the operator was told.
    try {
        AnexaLogErro(DiretorioExe() + "LogErro.txt", texto);
    } catch (const std::exception&) {
        // the journal has it
    }
    if (!FSemOperador) Application.MessageBox(TipoMensagem::Erro, texto);
    return false;
}

std::string TfrmPrincipal::TextoFalhaInicio(const std::exception& e) {
    const auto* ex = dynamic_cast<const Exception*>(&e);
    if (const std::string palavras = ex ? mensagens::ParaOOperador(*ex) : ""; !palavras.empty())
        return textos::InicioFalhou + "\r" + MascaraSenha(palavras);
    std::string t = textos::InicioFalhou + "\r" + MascaraSenha(e.what());
    if (ex && !ex->Causa.empty()) t += "\r" + MascaraSenha(ex->Causa);
    return t;
}

std::string TfrmPrincipal::TextoDeConfiguracao(const Exception& e, const std::string& armazem,
                                               const std::string& conselho) const {
    const bool semChave = dynamic_cast<const ENaoParametrizado*>(&e) != nullptr;
    std::string t = semChave ? e.Message() : mensagens::ParaOOperador(e);
    if (t.empty()) t = e.Message();
    t += "\rConfigura\xE7\xE3o: " + armazem + ", chave HKEY_LOCAL_MACHINE" + FChaveRegistro + ".";
    if (!conselho.empty()) return t + "\r" + conselho;
    // While the manager runs (the tray's menu), its own dialog; at start,
    // how this installation is configured.
    const std::string comando = C.tmVerifica->Enabled()
                                    ? std::string("\"Par\xE2metros do Sistema\" no menu do \xED" "cone da bandeja")
                                    : mensagens::ComandoDeConfiguracao(Application.ExeName());
    // A store that does not parse is never written over: it must be mended
    // (or removed) first.
    const std::string m = e.Message();
    // "<file>:<line>: <problem>"
    const auto fim = m.find(": ");
    const auto inicio = fim == std::string::npos || fim == 0 ? std::string::npos : m.rfind(':', fim - 1);
    const bool erroDeLinha = inicio != std::string::npos && inicio + 1 < fim &&
                             m.find_first_not_of("0123456789", inicio + 1) == fim;
    if (!semChave && erroDeLinha)
        return t + "\rCorrija essa linha, ou apague o arquivo e grave a configura\xE7\xE3o de novo com " + comando + ".";
    if (semChave) return t + "\rGrave a configura\xE7\xE3o com " + comando + ".";
    if (m.rfind("Failed to get data for", 0) == 0 || m.rfind("Invalid data type for", 0) == 0)
        return t + "\rGrave a configura\xE7\xE3o de novo com " + comando + ".";
    return t;
}

// ---- configuration --------------------------------------------------------------------------

void TfrmPrincipal::CarregaParametros() {
    if (MaiusculasAnsi(Application.ExeName()).find("TEFORVEXHOMOLOGA.EXE") == std::string::npos) {
        TRegistry reg;
        try {
            if (!reg.KeyExists(FChaveRegistro)) {
                // The dialog needs someone to fill it in.
                if (FSemOperador) throw ENaoParametrizado(textos::NaoParametrizado);
                Application.MessageBox(TipoMensagem::Erro, textos::NaoParametrizado);
                AbreParametros();
                return;
            }
            AbreSemFalhar(reg, FChaveRegistro, false);
            FUrl = reg.ReadString("Url");
            FLojCodigo = reg.ReadInteger("Lojcodigo");
            FUsuLogin = Cifra(reg.ReadString("Usulogin"));
            FUsuSenha = Cifra(reg.ReadString("Ususenha"));
            LeNomesDeArquivo(reg);
            LeUrlConfirmacao(reg);
        } catch (Exception& e) {
            if (!dynamic_cast<ERegistryException*>(&e) && !dynamic_cast<ENaoParametrizado*>(&e)) throw;
            // Which file and key: the operator has to find them to mend them.
            const std::string onde = "Registry store " + reg.Armazem().Descricao() + ", key HKEY_LOCAL_MACHINE" +
                                     FChaveRegistro;
            if (e.Causa.find(onde) == std::string::npos) e.Causa = e.Causa.empty() ? onde : e.Causa + "\r" + onde;
            // A store this user may not read: who may, and what would let them.
            std::string conselho;
            if (const auto* arquivo = dynamic_cast<const TArmazemRegistro*>(&reg.Armazem())) {
                const auto dono = plataforma::DonoDe(arquivo->Arquivo());
                if (dono && ArquivoExiste(arquivo->Arquivo()) && !PodeLer(arquivo->Arquivo())) {
                    char modo[8];
                    std::snprintf(modo, sizeof modo, "%04o", dono->modo);
                    const std::string usuario = plataforma::NomeDoUsuario();
                    conselho = "O usu\xE1rio " + usuario + " n\xE3o pode ler " + arquivo->Arquivo() + " (dono " +
                               dono->usuario + ", grupo " + dono->grupo + ", modo " + modo + "). " +
                               mensagens::ConselhoDeAcesso(usuario, *dono, arquivo->Arquivo(),
                                                           mensagens::TAcesso::Leitura, false);
                    e.Causa += "\r" + conselho;
                }
            }
            e.ParaOOperador = TextoDeConfiguracao(e, reg.Armazem().Descricao(), conselho);
            throw;
        }
        return;
    }
    FUrl = servidor::BaseHomologacao();
    FLojCodigo = 1;
    FUsuLogin = Cifra(servidor::LoginHomologacaoCifrado);
    FUsuSenha = Cifra(servidor::SenhaHomologacaoCifrada);
    C.ParmetrosdoSistema1->SetEnabled(false);
    C.Administrao1->SetEnabled(false);
    C.lblHomologa->SetVisible(true);
    Avisa(TipoMensagem::Informacao, textos::Homologacao);
}

std::optional<std::string> NomeDeArquivoValido(const std::string& valor) {
    if (valor.empty() || valor.size() > 64 || valor == "." || valor.find("..") != std::string::npos) return std::nullopt;
    // Nor what Windows cannot name: its devices, its reserved characters, a
    // trailing dot or blank.
    for (unsigned char c : valor)
        if (c < 0x20 || std::string_view("/\\:*?\"<>|").find(static_cast<char>(c)) != std::string_view::npos)
            return std::nullopt;
    if (valor.back() == '.' || valor.back() == ' ') return std::nullopt;
    const std::string base = MaiusculasAnsi(valor.substr(0, valor.find('.')));
    static const std::set<std::string> dispositivos = {"CON",  "PRN",  "AUX",  "NUL",  "COM1", "COM2", "COM3", "COM4",
                                                        "COM5", "COM6", "COM7", "COM8", "COM9", "LPT1", "LPT2", "LPT3",
                                                        "LPT4", "LPT5", "LPT6", "LPT7", "LPT8", "LPT9"};
    if (dispositivos.count(base)) return std::nullopt;
    return valor;
}

TNomesResp NomesDaConfiguracao(
    TRegistry& reg, const std::function<void(const std::string&, const std::string&, const std::string&)>& recusado) {
    TNomesResp r;
    struct TNome {
        const char* valor;
        std::string& campo;
        std::string descrito;
        std::string lido;
        bool legivel = true;
        std::optional<std::string> valido;
    };
    TNome nomes[] = {{"NomeConfirmacao", r.confirmacao, r.confirmacao, {}, true, {}},
                     {"NomeResposta", r.resposta, r.resposta, {}, true, {}},
                     {"NomeAtivo", r.ativo, r.ativo, {}, true, {}}};
    for (auto& n : nomes) {
        try {
            n.lido = reg.ReadString(n.valor);
        } catch (const ERegistryException&) {
            n.legivel = false;
        }
        n.valido = n.legivel ? NomeDeArquivoValido(n.lido) : std::nullopt;
    }
    // Two roles under one name would overwrite each other: an answer taken
    // for the marker and deleted.
    const auto efetivo = [](const TNome& n) { return MaiusculasAnsi(n.valido.value_or(n.descrito)); };
    for (int volta = 0; volta < 3; ++volta)
        for (auto& n : nomes)
            for (const auto& outro : nomes)
                if (&outro != &n && n.valido && efetivo(n) == efetivo(outro)) n.valido.reset();
    for (auto& n : nomes) {
        n.campo = n.valido.value_or(n.descrito);
        if (!n.valido && !(n.legivel && n.lido.empty()) && recusado) recusado(n.valor, n.lido, n.campo);
    }
    return r;
}

TNomesResp NomesConfigurados() {
    try {
        TRegistry reg;
        if (!reg.OpenKeyReadOnly(textos::ChaveRegistro)) return {};
        return NomesDaConfiguracao(reg);
    } catch (const std::exception&) {
        return {};
    }
}

std::vector<std::string> NomesDoMarcador(const TNomesResp& nomes) {
    std::vector<std::string> r;
    for (const std::string& nome : {std::string("Ativo.001"), std::string("ativo.001"), nomes.ativo}) {
        const std::string m = MaiusculasAnsi(nome);
        if (m == MaiusculasAnsi(nomes.confirmacao) || m == MaiusculasAnsi(nomes.resposta)) continue;
        if (std::find(r.begin(), r.end(), nome) == r.end()) r.push_back(nome);
    }
    return r;
}

bool EhMarcador(const std::string& arquivo) {
    const auto nome = plataforma::Consulta(arquivo, false);
    if (!nome) return false;
    const auto alvo = plataforma::Consulta(arquivo, true);
    if (!alvo) return nome->tipo == plataforma::TTipoEntrada::Link;
    if (alvo->tipo != plataforma::TTipoEntrada::Regular || alvo->tamanho > 4096) return false;
    std::string bytes;
    return plataforma::LeArquivo(arquivo, bytes, false, 4096) == 0 && bytes.rfind("000-000 = TEF", 0) == 0;
}

void TfrmPrincipal::LeUrlConfirmacao(TRegistry& reg) {
    std::string url;
    try {
        url = Apara(reg.ReadString("UrlConfirmacao"));
    } catch (const ERegistryException& e) {
        // Optional: a value of the wrong type must not stop the till.
        if (FNomesRelatados.insert("UrlConfirmacao\n?").second)
            Relata(Exception("The configuration value \"UrlConfirmacao\" cannot be read (" + std::string(e.what()) +
                             "): nothing is sent to the web system"),
                   "CarregaParametros");
        url.clear();
    }
    // Checked as the page's address is: an http or https address with a
    // host. Kept when it is not, so that what the commercial application
    // confirms waits on disk until it is mended.
    const std::string m = MinusculasAnsi(url);
    const auto resto = m.rfind("https://", 0) == 0 ? m.substr(8) : m.rfind("http://", 0) == 0 ? m.substr(7) : "";
    if (!url.empty() && (resto.empty() || resto[0] == '/' || resto[0] == ':' || resto[0] == '?') &&
        FNomesRelatados.insert("UrlConfirmacao\n" + url).second)
        Relata(Exception("The configuration value \"UrlConfirmacao\" is not an http:// or https:// address with a "
                         "host: \"" + url + "\"; what goes to the web system waits in " + DirSaida() +
                         " until it is mended"),
               "CarregaParametros");
    FUrlConfirmacao = url;
}

void TfrmPrincipal::LeNomesDeArquivo(TRegistry& reg) {
    const TNomesResp nomes =
        NomesDaConfiguracao(reg, [this](const std::string& valor, const std::string& lido, const std::string& usado) {
            // Told once per value: the start goes on with the described name.
            if (!FNomesRelatados.insert(valor + "\n" + lido).second) return;
            Relata(Exception("The configuration value \"" + valor + "\" is not a bare file name of at most 64 "
                             "bytes, distinct from the other two (no \"/\", \"\\\", \":\", \"..\", control character or "
                             "name Windows reserves): \"" + lido + "\"; \"" + usado + "\" is used"),
                   "CarregaParametros");
        });
    FNomeConfirmacao = nomes.confirmacao;
    FNomeResposta = nomes.resposta;
    FNomeAtivo = nomes.ativo;
}

void TfrmPrincipal::AbreParametros() {
    {
        std::unique_ptr<componentes::IDialogoParametro> dialogo = C.CriaDialogoParametro();
        TfrmParametro parametro(*dialogo, FChaveRegistro);
        dialogo->ShowModal();
    }
    CarregaParametros();
}
