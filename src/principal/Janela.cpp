// Startup, the window's return to the tray, and the small window and menu
// handlers.
#include "untPrincipal.h"

#include <memory>

void TfrmPrincipal::FormCreate() {
    const std::string b = DiretorioExe();
    if (C.DefinePerfilNavegador) C.DefinePerfilNavegador(b + "mozembed/Profiles/default");
    FChaveRegistro = textos::ChaveRegistro;
    if (MaiusculasAnsi(Application.PrimeiroParametro()) == "/CONFIG") AbreParametros();
    C.JvTrayIcon1->SetHint(textos::TituloJanela);
    CarregaParametros();
    // An installation this user cannot write ends the start (exit status 4).
    ConfereInstalacao();
    PreparaDiretorios();
    C.lblVersao->SetCaption(VersaoArquivo(Application.ExeName()));
    C.Verso1->SetCaption(C.lblVersao->Caption());
    try {
        LimpaCache();
    } catch (...) {
        // the cache is only a cache: a start must never stop here
    }
    try {
        AtualizaCertificados();
    } catch (...) {
        // the current certificate files stay
    }
    CarregaParametros();
    FModoAdm = false;
    // A marker that cannot be written at start ends it as well; later, a
    // disk that fills is retried every tick (GaranteAtivo).
    GravaAtivoNaPartida();
    C.tmOculta->SetEnabled(true);
    C.tmVerifica->SetEnabled(true);
    GaranteAtivo();
}

void TfrmPrincipal::tmOcultaTimer() {
    try {
        C.tmOculta->SetEnabled(false);
        C.tmOculta->SetInterval(1000);
        C.tmCmds->SetEnabled(false);
        C.panEsconde->SetCaption(textos::AguardandoAplicativo);
        C.panEsconde->SetVisible(true);
        // The transaction page is done with: nothing it still hands over is
        // read as a result.
        FDescartaAte = FDocumentoAtual;
        CarregaPaginaLocal();
        FModoAdm = false;
        FTelaAberta = false;
        FTransacaoTela.reset();
        C.Janela->Hide();
        C.JvTrayIcon1->SetActive(true);
    } catch (const Exception& e) {
        // Stay visible with the reason and try the whole hide again later.
        C.panEsconde->SetCaption("Erro: " + e.Message());
        C.panEsconde->SetVisible(true);
        Application.ProcessMessages();
        GravaLogErro(e.Message());
        Application.Sleep(500);
        C.tmOculta->SetEnabled(true);
    }
}

void TfrmPrincipal::FecharSistema1Click() { C.Janela->Close(); }

void TfrmPrincipal::FormClose() {
    // A second close while the first waits for the page (another SIGTERM):
    // the first one finishes the job.
    if (FNoFechamento) return;
    FNoFechamento = true;
    struct TFim {
        bool& b;
        ~TFim() { b = false; }
    } fim{FNoFechamento};
    const bool jaFechando = FFechando;
    FFechando = true;
    if (!jaFechando && Observador.Parando) Observador.Parando();
    if (FDirResp.empty()) return;  // startup ended before the directories were set
    // Nothing new is taken or opened while closing.
    for (componentes::ITimer* t : {C.tmVerifica, C.tmShow, C.tmCmds, C.tmOculta})
        if (t) t->SetEnabled(false);
    // What waits to be written goes first, in order; an acknowledgement
    // written now opens its transaction, which is answered below.
    try {
        EscrevePendentes();
    } catch (const std::exception&) {
    }
    // The page may have given its result since the channel was last read:
    // an approval there is the answer, not a cancellation.
    if (FAberta && !FDirTemp.empty()) LeCanalAoFechar();
    // A stop (SIGTERM, a package upgrade) never leaves a commercial
    // application waiting, and the answer stays for its reader across the
    // next start. Once the web system's page was there, the payment may have
    // been made: the answer says so, as after a crash; a request whose page
    // never loaded is cancelled.
    if (FAberta && !FDirTemp.empty()) {
        const TTransacao t = *FAberta;
        FAberta.reset();
        const bool pagina = FTransacaoTela && FTransacaoTela->registro == t.registro &&
                            FTransacaoTela->inicioMs == t.inicioMs && FNavegouWeb && FPaginaWebCarregada;
        // The page may have decided without writing into the channel yet:
        // the web system, when it can tell, says what it gave.
        std::string desfecho;
        std::optional<TLinhas> consultada = pagina ? ConsultaResultado(t, desfecho, false) : std::nullopt;
        if (consultada) desfecho = "por parada: " + desfecho;
        FimDeTransacao(t, consultada ? desfecho
                          : pagina   ? "interrompida por parada: a p\xE1gina do sistema web estava aberta"
                                     : "cancelada por parada");
        try {
            EntregaResposta(t, consultada ? std::move(*consultada)
                                          : LinhasCancelamento(t, pagina ? textos::TefInterrompido : textos::TefCancelado));
        } catch (const std::exception&) {
            // Not written: below, its lines go to the log, and the record
            // keeps them, so the next start gives them.
        }
    }
    // Under every name it may have (the described one, its alias, the
    // configuration's), never one another role uses.
    for (const auto& nome : NomesDoMarcador(Nomes()))
        if (EhMarcador(FDirResp + nome)) ApagaArquivo(FDirResp + nome);
    // Answers that never could be written: their full text goes to the log
    // so that nobody has to guess what the till was told.
    for (const auto& p : FPendentes) {
        const std::string nota = "Not written at close: \"" + FDirResp + p.nome + "\"";
        const std::string texto = nota + "\r\n" + TextoLinhas(p.linhas);
        try {
            GravaLogErro(texto, nota + " (its lines are in LogErro.txt)");
        } catch (const std::exception&) {
        }
    }
}

void TfrmPrincipal::LeCanalAoFechar() {
    // Only the open request's own page can answer it.
    if (!FTelaAberta || !FNavegouWeb || !FTransacaoTela || FTransacaoTela->registro != FAberta->registro ||
        FTransacaoTela->inicioMs != FAberta->inicioMs)
        return;
    // 0: waiting, 1: read, 2: given up (a late reply is ignored).
    auto estado = std::make_shared<int>(0);
    C.GeckoBrowser1->LeELimpaAtributo(
        u"ipt_imprime_gecko", u"value",
        [this, estado](std::optional<std::u16string> texto, componentes::TDocumento documento) {
            if (*estado != 0) return;
            *estado = 1;
            Application.ExecutaHandler("FormClose", [&] { TrataCanal(texto, documento); });
        });
    constexpr int kEsperaDoCanal = 3000;
    if (*estado == 0) Application.EsperaAte([estado] { return *estado != 0; }, kEsperaDoCanal);
    if (*estado != 0) return;
    *estado = 2;
    // A page that does not answer may have taken the payment all the same.
    FPaginaWebCarregada = true;
}

void TfrmPrincipal::SpeedButton1Click() {
    // The screen's own transaction, whatever requests came since.
    CancelaTela("cancelada pelo operador");
}

void TfrmPrincipal::ParmetrosdoSistema1Click() { AbreParametros(); }

void TfrmPrincipal::Panel1Resize() {
    C.Panel2->SetSize(C.Panel1->Width() - 6, C.Panel1->Height() - 6);
    Application.ProcessMessages();
}

void TfrmPrincipal::FormShow() {
    C.Janela->SetFundoTransparente();
    Application.ProcessMessages();
}
