// Startup, the window's return to the tray, and the small window and menu
// handlers.
#include "untPrincipal.h"

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
    const bool jaFechando = FFechando;
    FFechando = true;
    if (!jaFechando && Observador.Parando) Observador.Parando();
    if (FDirResp.empty()) return;  // startup ended before the directories were set
    // What waits to be written goes first, in order; an acknowledgement
    // written now opens its transaction, which is answered below.
    try {
        EscrevePendentes();
    } catch (const std::exception&) {
    }
    // A stop (SIGTERM, a package upgrade) never leaves a commercial
    // application waiting: the open request is answered as cancelled, and
    // the answer stays for its reader across the next start.
    if (FAberta && !FDirTemp.empty()) {
        const TTransacao t = *FAberta;
        FAberta.reset();
        const TLinhas linhas = LinhasCancelamento(t, textos::TefCancelado);
        FimDeTransacao(t, "cancelada por parada");
        try {
            EntregaResposta(LinhasCancelamento(t, textos::TefCancelado));
        } catch (const std::exception&) {
            // Not written: below, its lines go to the log, and the record
            // keeps them, so the next start gives them.
        }
    }
    // Under every name it may have: the described one, its alias, the
    // configuration's.
    for (const auto& nome : NomesDoMarcador(FNomeAtivo)) ApagaArquivo(FDirResp + nome);
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
