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
    C.tmOculta->SetEnabled(true);
    C.tmVerifica->SetEnabled(true);
    GravaAtivo();
}

void TfrmPrincipal::tmOcultaTimer() {
    try {
        C.tmOculta->SetEnabled(false);
        C.tmOculta->SetInterval(1000);
        C.tmCmds->SetEnabled(false);
        C.panEsconde->SetCaption(textos::AguardandoAplicativo);
        C.panEsconde->SetVisible(true);
        CarregaPaginaLocal();
        FModoAdm = false;
        FTelaAberta = false;
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
    if (FDirResp.empty()) return;  // startup ended before the directories were set
    const std::string ativo = FDirResp + "Ativo.001";
    if (ArquivoExiste(ativo)) ApagaArquivo(ativo);
}

void TfrmPrincipal::SpeedButton1Click() { CancelaTef(); }

void TfrmPrincipal::ParmetrosdoSistema1Click() { AbreParametros(); }

void TfrmPrincipal::Panel1Resize() {
    C.Panel2->SetSize(C.Panel1->Width() - 6, C.Panel1->Height() - 6);
    Application.ProcessMessages();
}

void TfrmPrincipal::FormShow() {
    C.Janela->SetFundoTransparente();
    Application.ProcessMessages();
}
